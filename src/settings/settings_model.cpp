#include "settings/settings_model.h"

#include <algorithm>

namespace vemo {
namespace {

std::size_t IndexOf(SettingId id) {
    const auto found = std::ranges::find(kSettingsTable, id, &SettingInfo::id);
    return static_cast<std::size_t>(found - kSettingsTable.begin());
}

}  // namespace

Settings::Settings() {
    for (std::size_t i = 0; i < kSettingsTable.size(); ++i)
        values_[i] = kSettingsTable[i].default_value;
}

std::uint32_t Settings::Get(SettingId id) const {
    const std::size_t index = IndexOf(id);
    return index < values_.size() ? values_[index] : 0;
}

void Settings::Set(SettingId id, std::uint32_t value) {
    const std::size_t index = IndexOf(id);
    if (index < values_.size()) values_[index] = InRange(id, value);
}

std::uint32_t InRange(SettingId id, std::uint32_t value) {
    const std::size_t index = IndexOf(id);
    if (index >= kSettingsTable.size()) return value;
    const SettingInfo& info = kSettingsTable[index];
    return std::clamp(value, info.minimum, info.maximum);
}

Settings ReadSettings() {
    Settings settings;
    for (const SettingInfo& info : kSettingsTable)
        settings.Set(info.id, ReadSetting(info.id));
    return settings;
}

bool WriteSettings(const Settings& old, const Settings& now) {
    bool written = true;
    for (const SettingInfo& info : kSettingsTable) {
        if (old.Get(info.id) != now.Get(info.id)) {
            written = TryWriteSetting(info.id, now.Get(info.id)) && written;
        }
    }
    return written;
}

}  // namespace vemo
