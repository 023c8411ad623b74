#pragma once

#include <algorithm>
#include <array>
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
    // The values the engine uses; it brings a stored value outside them into
    // range (or, for imode_height, computes its own).
    std::uint32_t minimum;
    std::uint32_t maximum;
};

// The range of the camera and screen timer intervals, in seconds (at most
// seven days): an interval of 0 would make a timer fire without pause.
inline constexpr std::uint32_t kMinIntervalSeconds = 1;
inline constexpr std::uint32_t kMaxIntervalSeconds = 604800;

// The settings, in id order. The colour counts are those the GIF converter
// makes (8-256), the divisions and widths those of the screen geometry; the
// store cannot see those modules, so vemoctl checks that they agree.
inline constexpr std::array<SettingInfo, 14> kSettingsTable = {{
    {SETTING_CAMERA_CAPTURE, "camera_capture", 0, 0, 1},
    {SETTING_CAMERA_TIMER, "camera_timer", 5, kMinIntervalSeconds, kMaxIntervalSeconds},
    {SETTING_CAMERA_GIF_COLOR, "camera_gif_color", 256, 8, 256},
    {SETTING_SCREEN_CAPTURE, "screen_capture", 0, 0, 1},
    {SETTING_SCREEN_TIMER, "screen_timer", 60, kMinIntervalSeconds, kMaxIntervalSeconds},
    {SETTING_SCREEN_GIF_COLOR, "screen_gif_color", 8, 8, 256},
    {SETTING_SCREEN_ONE, "screen_one", 1, 0, 1},
    {SETTING_SCREEN_DIVISION, "screen_division", 5, 1, 10},
    {SETTING_SCREEN_DIVISION_W, "screen_division_w", 5, 1, 10},
    {SETTING_SCREEN_DIVISION_H, "screen_division_h", 5, 1, 10},
    {SETTING_IMODE_WIDTH, "imode_width", 160, 50, 200},
    // Computed from imode_width and the screen's shape, up to the tallest
    // picture a JPEG can hold.
    {SETTING_IMODE_HEIGHT, "imode_height", 160, 1, 65500},
    {SETTING_IMODE_ROTATE, "imode_rotate", 0, 0, 1},
    {SETTING_IMODE_CAMERA_WIDTH, "imode_camera_width", 120, 50, 200},
}};
static_assert(std::ranges::all_of(kSettingsTable, [](const SettingInfo& info) {
    return info.minimum <= info.default_value && info.default_value <= info.maximum;
}));

// The table entry of `id`, for checks at compile time.
consteval const SettingInfo& SettingOf(SettingId id) {
    return *std::ranges::find(kSettingsTable, id, &SettingInfo::id);
}

// The table, for callers that walk it.
std::span<const SettingInfo> SettingsTable();

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
