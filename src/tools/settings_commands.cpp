// vemoctl settings: the engine's settings store, for integrators.

#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>

#include "imaging/jpeg_to_gif.h"
#include "screen/screen_geometry.h"
#include "settings/settings_store.h"
#include "tools/command.h"

namespace vemo::tools {
namespace {

// The store states again the ranges of modules it cannot see: they agree.
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

int UnknownSetting(const std::string& command, const std::string& name) {
    return UsageError(command + ": no setting is named '" + name +
                      "' (vemoctl settings list shows them)");
}

// Whether two names reach one file; a file not written yet is compared by
// its absolute, normalised name.
bool SameSettingsFile(const std::string& a, const std::string& b) {
    std::error_code error;
    if (std::filesystem::equivalent(a, b, error)) return true;
    const auto normal = [](const std::string& path) {
        std::error_code ignored;
        return std::filesystem::weakly_canonical(std::filesystem::absolute(path, ignored), ignored);
    };
    return normal(a) == normal(b);
}

// A running engine reads the file it was started with, which need not be
// the one this shell would name: it is asked which, and the commands use
// that file unless VEMO_SETTINGS_FILE names one. Returns the engine's answer
// and whether the variable names a file.
std::pair<EngineSettingsFile, bool> UseEngineSettingsFile() {
    EngineSettingsFile engine = AskEngineSettingsFile();
    const char* named = std::getenv("VEMO_SETTINGS_FILE");
    const bool file_named = named != nullptr && *named != '\0';
    if (engine.status == EngineSettingsFile::Status::kKnown && !file_named) {
        // The store reads the variable at each access; this process is
        // single-threaded and short-lived.
        ::setenv("VEMO_SETTINGS_FILE", engine.path.c_str(), 1);
    }
    return {std::move(engine), file_named};
}

std::string Range(const SettingInfo& info) {
    return std::to_string(info.minimum) + ".." + std::to_string(info.maximum);
}

int List(const Arguments& arguments) {
    if (!ParseAction(arguments, {}, 0, 0)) return kExitUsage;
    UseEngineSettingsFile();
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

int Get(const Arguments& arguments) {
    const auto parsed = ParseAction(arguments, {}, 1, 1);
    if (!parsed) return kExitUsage;
    const std::string& name = parsed->positional()[0];
    const SettingInfo* info = FindSetting(name);
    if (info == nullptr) return UnknownSetting("settings get", name);
    UseEngineSettingsFile();
    PrintLine(std::to_string(ReadSetting(info->id)));
    return kExitOk;
}

int Set(const Arguments& arguments) {
    const auto parsed = ParseAction(arguments, {}, 2, 2);
    if (!parsed) return kExitUsage;
    const std::string& name = parsed->positional()[0];
    const std::string& text = parsed->positional()[1];
    const SettingInfo* info = FindSetting(name);
    if (info == nullptr) return UnknownSetting("settings set", name);
    const auto value = ParseSettingValue(text);
    if (!value || *value < info->minimum || *value > info->maximum) {
        return UsageError("settings set: " + std::string(info->name) +
                          " takes a whole number from " + std::to_string(info->minimum) + " to " +
                          std::to_string(info->maximum) + ", not '" + text + "'");
    }
    const auto [engine, file_named] = UseEngineSettingsFile();
    // The engine's own writes are lost silently when the file is unwritable;
    // someone setting a value by hand wants to know.
    if (!TryWriteSetting(info->id, *value)) {
        return Fail("settings set: cannot write the settings file " + SettingsFilePath());
    }
    if (engine.status == EngineSettingsFile::Status::kKnown && file_named &&
        !SameSettingsFile(engine.path, SettingsFilePath())) {
        PrintLine("stored; not applied to the running engine");
        Fail("settings set: the running engine reads " + engine.path + ", not " +
             SettingsFilePath() + " (VEMO_SETTINGS_FILE)");
        return kExitOk;
    }
    if (engine.status == EngineSettingsFile::Status::kFailed) {
        PrintLine("stored; not applied to the running engine");
        Fail("settings set: " + engine.error);
        return kExitOk;
    }
    std::string error;
    switch (engine.status == EngineSettingsFile::Status::kNoEngine ? ReloadResult::kNoEngine
                                                                   : ReloadEngineSettings(error)) {
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

int RunSettingsCommand(const Arguments& arguments) {
    const std::string action = arguments.size() > 1 ? arguments[1] : std::string();
    if (action == "list") return List(arguments);
    if (action == "get") return Get(arguments);
    if (action == "set") return Set(arguments);
    return UnknownAction(
        arguments,
        "settings: expected list, get NAME or set NAME VALUE (see vemoctl settings --help)");
}

}  // namespace vemo::tools
