#pragma once

// The settings as the engine uses them: every value of the settings table,
// each brought into its range as it is read or set, so that nothing past
// here checks a range again.

#include <array>
#include <cstdint>

#include "settings/settings_store.h"

namespace vemo {

class Settings {
  public:
    // The defaults.
    Settings();

    std::uint32_t Get(SettingId id) const;
    // Takes `value` into the setting's range.
    void Set(SettingId id, std::uint32_t value);

    bool operator==(const Settings&) const = default;

  private:
    std::array<std::uint32_t, kSettingsTable.size()> values_{};
};

// `value` brought into the range of setting `id`.
std::uint32_t InRange(SettingId id, std::uint32_t value);

// The settings file as the engine uses it: missing or unreadable values are
// their defaults, values outside their range come into it.
Settings ReadSettings();

// Stores each value of `now` that differs from `old`; false when one did not
// reach the settings file.
bool WriteSettings(const Settings& old, const Settings& now);

}  // namespace vemo
