#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vemo {

// The engine's persistent settings, each an unsigned 32-bit number.
enum SettingId : std::uint32_t {
    SETTING_CAMERA_CAPTURE = 0,
    SETTING_CAMERA_TIMER = 1,
    SETTING_CAMERA_GIF_COLOR = 2,
    SETTING_SCREEN_CAPTURE = 10,
    SETTING_SCREEN_TIMER = 11,
    SETTING_SCREEN_GIF_COLOR = 12,
    SETTING_SCREEN_ONE = 13,
    SETTING_SCREEN_DIVISION = 14,
    SETTING_SCREEN_DIVISION_W = 15,
    SETTING_SCREEN_DIVISION_H = 16,
    SETTING_IMODE_WIDTH = 17,
    SETTING_IMODE_HEIGHT = 18,
    SETTING_IMODE_ROTATE = 19,
    SETTING_IMODE_CAMERA_WIDTH = 20,
};

struct SettingInfo {
    SettingId id;
    const char* name;  // value name in the settings file
    std::uint32_t default_value;
};

// The fourteen settings, in id order.
std::span<const SettingInfo> SettingsTable();

// The range of the camera and screen timer intervals, in seconds (at most
// seven days): an interval of 0 would make a timer fire without pause.
inline constexpr std::uint32_t kMinIntervalSeconds = 1;
inline constexpr std::uint32_t kMaxIntervalSeconds = 604800;

// The table entry of a value name, or null when no setting has that name.
const SettingInfo* FindSetting(std::string_view name);

// A stored value as the store reads it: an unsigned 32-bit decimal number of
// ASCII digits only. Anything else (a sign, spaces, hex, more than
// 4294967295) is not a value and gives nullopt.
std::optional<std::uint32_t> ParseSettingValue(std::string_view text);

// The settings file: $VEMO_SETTINGS_FILE, else
// $XDG_CONFIG_HOME (or ~/.config)/Lumetra/Corvexa Capture 4.0.ini.
std::string SettingsFilePath();

// Creates the settings file when it does not exist yet; writes no values.
void EnsureSettingsKey();

// The stored value, or the setting's default when the file or the value is
// missing or not an unsigned 32-bit decimal number. Ids outside the table read 0.
std::uint32_t ReadSetting(SettingId id);

// Stores a value; ids outside the table and unwritable files change nothing.
void WriteSetting(SettingId id, std::uint32_t value);

// WriteSetting for callers that want to know: true when the value reached the
// settings file, false for an id outside the table or an unwritable file.
bool TryWriteSetting(SettingId id, std::uint32_t value);

}  // namespace vemo
