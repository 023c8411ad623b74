// vemoctl settings: the engine's settings store, for integrators.

#include <string>

#include "imaging/jpeg_to_gif.h"
#include "screen/screen_geometry.h"
#include "settings/settings_store.h"
#include "tools/command.h"

namespace vemo::tools {
namespace {

// The store keeps its own copy of the ranges the engine clamps to.
static_assert(SettingOf(SETTING_CAMERA_GIF_COLOR).minimum == kMinGifColors);
static_assert(SettingOf(SETTING_CAMERA_GIF_COLOR).maximum == kMaxGifColors);
static_assert(SettingOf(SETTING_SCREEN_GIF_COLOR).minimum == kMinGifColors);
static_assert(SettingOf(SETTING_SCREEN_GIF_COLOR).maximum == kMaxGifColors);
static_assert(SettingOf(SETTING_SCREEN_DIVISION).minimum == screen::kMinDivision);
static_assert(SettingOf(SETTING_SCREEN_DIVISION).maximum == screen::kMaxDivision);
static_assert(SettingOf(SETTING_IMODE_WIDTH).minimum == screen::kMinImodeWidth);
static_assert(SettingOf(SETTING_IMODE_WIDTH).maximum == screen::kMaxImodeWidth);
static_assert(SettingOf(SETTING_IMODE_CAMERA_WIDTH).minimum == screen::kMinImodeWidth);
static_assert(SettingOf(SETTING_IMODE_CAMERA_WIDTH).maximum == screen::kMaxImodeWidth);

constexpr const char* kWrongCount = "wrong number of arguments (see vemoctl settings --help)";

int UnknownSetting(const std::string& command, const QString& name) {
    return UsageError(command + ": no setting is named '" + name.toStdString() +
                      "' (vemoctl settings list shows them)");
}

std::string Range(const SettingInfo& info) {
    return std::to_string(info.minimum) + ".." + std::to_string(info.maximum);
}

int List(const QStringList& arguments) {
    if (arguments.size() != 2) return UsageError("settings list: " + std::string(kWrongCount));
    for (const SettingInfo& info : SettingsTable()) {
        const std::uint32_t value = ReadSetting(info.id);
        const std::string default_note = value == info.default_value
                                             ? "default"
                                             : "default " + std::to_string(info.default_value);
        PrintLine(std::string(info.name) + "=" + std::to_string(value) + " (" + Range(info) + ", " +
                  default_note + ")");
    }
    return kExitOk;
}

int Get(const QStringList& arguments) {
    if (arguments.size() != 3) return UsageError("settings get: " + std::string(kWrongCount));
    const SettingInfo* info = FindSetting(arguments[2].toStdString());
    if (info == nullptr) return UnknownSetting("settings get", arguments[2]);
    PrintLine(std::to_string(ReadSetting(info->id)));
    return kExitOk;
}

int Set(const QStringList& arguments) {
    if (arguments.size() != 4) return UsageError("settings set: " + std::string(kWrongCount));
    const SettingInfo* info = FindSetting(arguments[2].toStdString());
    if (info == nullptr) return UnknownSetting("settings set", arguments[2]);
    const auto value = ParseSettingValue(arguments[3].toStdString());
    if (!value || *value < info->minimum || *value > info->maximum) {
        return UsageError("settings set: " + std::string(info->name) +
                          " takes a whole number from " + std::to_string(info->minimum) + " to " +
                          std::to_string(info->maximum) + ", not '" + arguments[3].toStdString() +
                          "'");
    }
    // The engine's own writes are lost silently when the file is unwritable;
    // someone setting a value by hand wants to know.
    if (!TryWriteSetting(info->id, *value)) {
        return Fail("settings set: cannot write the settings file " + SettingsFilePath());
    }
    std::string error;
    switch (ReloadEngineSettings(error)) {
        case ReloadResult::kApplied:
            PrintLine("applied to the running engine");
            break;
        case ReloadResult::kNoEngine:
            PrintLine("stored; no running engine");
            break;
        case ReloadResult::kFailed:
            // Stored all the same: the engine reads it at its next start.
            PrintLine("stored; not applied to the running engine");
            Fail("settings set: " + error);
            break;
    }
    return kExitOk;
}

}  // namespace

int RunSettingsCommand(const QStringList& arguments) {
    const QString action = arguments.size() > 1 ? arguments[1] : QString();
    if (action == "list") return List(arguments);
    if (action == "get") return Get(arguments);
    if (action == "set") return Set(arguments);
    return UsageError(
        "settings: expected list, get NAME or set NAME VALUE (see vemoctl settings --help)");
}

}  // namespace vemo::tools
