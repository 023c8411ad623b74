// vemoctl settings: the engine's settings store, for integrators.

#include <string>

#include "settings/settings_store.h"
#include "tools/command.h"

namespace vemo::tools {
namespace {

constexpr const char* kWrongCount = "wrong number of arguments (see vemoctl --help)";

const SettingInfo* Lookup(const QString& name) {
    return FindSetting(name.toStdString());
}

int UnknownSetting(const std::string& command, const QString& name) {
    return Fail(command + ": no setting is named '" + name.toStdString() +
                "' (vemoctl settings list shows them)");
}

int List(const QStringList& arguments) {
    if (arguments.size() != 2) return Fail("settings list: " + std::string(kWrongCount));
    for (const SettingInfo& info : SettingsTable()) {
        const std::uint32_t value = ReadSetting(info.id);
        PrintLine(std::string(info.name) + "=" + std::to_string(value) +
                  (value == info.default_value ? " (default)" : ""));
    }
    return 0;
}

int Get(const QStringList& arguments) {
    if (arguments.size() != 3) return Fail("settings get: " + std::string(kWrongCount));
    const SettingInfo* info = Lookup(arguments[2]);
    if (info == nullptr) return UnknownSetting("settings get", arguments[2]);
    PrintLine(std::to_string(ReadSetting(info->id)));
    return 0;
}

int Set(const QStringList& arguments) {
    if (arguments.size() != 4) return Fail("settings set: " + std::string(kWrongCount));
    const SettingInfo* info = Lookup(arguments[2]);
    if (info == nullptr) return UnknownSetting("settings set", arguments[2]);
    const auto value = ParseSettingValue(arguments[3].toStdString());
    if (!value) {
        return Fail("settings set: '" + arguments[3].toStdString() +
                    "' is not a whole number from 0 to 4294967295");
    }
    // The engine's own writes are lost silently when the file is unwritable;
    // someone setting a value by hand wants to know.
    if (!TryWriteSetting(info->id, *value)) {
        return Fail("settings set: cannot write the settings file " + SettingsFilePath());
    }
    return 0;
}

}  // namespace

int RunSettingsCommand(const QStringList& arguments) {
    const QString action = arguments.size() > 1 ? arguments[1] : QString();
    if (action == "list") return List(arguments);
    if (action == "get") return Get(arguments);
    if (action == "set") return Set(arguments);
    return Fail("settings: expected list, get NAME or set NAME VALUE (see vemoctl --help)");
}

}  // namespace vemo::tools
