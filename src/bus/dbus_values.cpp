#include "bus/dbus_values.h"

#include <QDBusArgument>
#include <QDBusMetaType>
#include <QFile>

#include <algorithm>
#include <utility>

namespace vemo {
namespace {

// The typed forms of a camera's controls and formats, as QtDBus marshals them.
struct ControlEntry {
    CameraControl control;
};
struct FormatEntry {
    OfferedFormat format;
};
struct MenuItemEntry {
    qint64 index = 0;
    QString label;
};
struct WaitingEntry {
    QString title;
    QString text;
};

}  // namespace
}  // namespace vemo

Q_DECLARE_METATYPE(vemo::ControlEntry)
Q_DECLARE_METATYPE(vemo::MenuItemEntry)
Q_DECLARE_METATYPE(vemo::FormatEntry)
Q_DECLARE_METATYPE(vemo::WaitingEntry)

namespace vemo {
namespace {

const char* KindName(CameraControl::Kind kind) {
    switch (kind) {
        case CameraControl::Kind::kInteger:
            return "integer";
        case CameraControl::Kind::kBoolean:
            return "boolean";
        case CameraControl::Kind::kMenu:
            return "menu";
        case CameraControl::Kind::kIntegerMenu:
            return "integer-menu";
        case CameraControl::Kind::kButton:
            return "button";
    }
    return "integer";
}

QDBusArgument& operator<<(QDBusArgument& argument, const ControlEntry& entry) {
    const CameraControl& control = entry.control;
    argument.beginStructure();
    argument << QString::fromStdString(control.key) << QString::fromStdString(control.name)
             << QString::fromLatin1(KindName(control.kind)) << qint64{control.minimum}
             << qint64{control.maximum} << qint64{control.step} << qint64{control.default_value}
             << qint64{control.value}
             << !(control.inactive || control.grabbed || control.read_only);
    QList<MenuItemEntry> items;
    for (const auto& [index, label] : control.menu)
        items.push_back({index, QString::fromStdString(label)});
    argument << items;
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const FormatEntry& entry) {
    const OfferedFormat& format = entry.format;
    const auto unsigned_value = [](int value) { return static_cast<uint>(std::max(value, 0)); };
    argument.beginStructure();
    argument << QString::fromStdString(format.pixel_format) << unsigned_value(format.width)
             << unsigned_value(format.height)
             << unsigned_value(format.rate_numerator > 0 ? format.rate_numerator : 0)
             << unsigned_value(format.rate_numerator > 0 ? format.rate_denominator : 1);
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const MenuItemEntry& entry) {
    argument.beginStructure();
    argument << entry.index << entry.label;
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const WaitingEntry& entry) {
    argument.beginStructure();
    argument << entry.title << entry.text;
    argument.endStructure();
    return argument;
}

// The engine only sends these; reading one back is never asked of it.
const QDBusArgument& operator>>(const QDBusArgument& argument, ControlEntry&) {
    return argument;
}
const QDBusArgument& operator>>(const QDBusArgument& argument, MenuItemEntry&) {
    return argument;
}
const QDBusArgument& operator>>(const QDBusArgument& argument, FormatEntry&) {
    return argument;
}
const QDBusArgument& operator>>(const QDBusArgument& argument, WaitingEntry&) {
    return argument;
}

}  // namespace

// QtDBus wants the <interface> element alone.
QString EngineInterfaceXml() {
    QFile file(QStringLiteral(":/vemo/com.lumetra.Vemo.Engine.xml"));
    if (!file.open(QIODevice::ReadOnly)) return {};
    const QString xml = QString::fromUtf8(file.readAll());
    const qsizetype from = xml.indexOf(QLatin1String("<interface "));
    const QLatin1String end("</interface>");
    const qsizetype to = xml.indexOf(end, from);
    return from < 0 || to < 0 ? QString() : xml.mid(from, to + end.size() - from) + '\n';
}

void RegisterEngineDBusTypes() {
    static const bool registered = [] {
        qDBusRegisterMetaType<MenuItemEntry>();
        qDBusRegisterMetaType<QList<MenuItemEntry>>();
        qDBusRegisterMetaType<ControlEntry>();
        qDBusRegisterMetaType<QList<ControlEntry>>();
        qDBusRegisterMetaType<FormatEntry>();
        qDBusRegisterMetaType<QList<FormatEntry>>();
        qDBusRegisterMetaType<WaitingEntry>();
        return true;
    }();
    (void)registered;
}

QVariantMap PropertyMap(const EngineProperties& p) {
    const auto text = [](const std::string& value) { return QString::fromStdString(value); };
    return {
        {"Ready", p.ready},
        {"Status", text(p.status)},
        {"SettingsPath", text(p.settings_path)},
        {"CaptureFile", text(p.capture_file)},
        {"RecordingState", text(p.recording_state)},
        {"CameraPublishing", p.camera_publishing},
        {"CameraTimer", uint{p.camera_timer}},
        {"CameraDevice", text(p.camera_device)},
        {"ScreenPublishing", p.screen_publishing},
        {"ScreenTimer", uint{p.screen_timer}},
        {"ScreenBackend", text(p.screen_backend)},
        {"Waiting", QVariant::fromValue(WaitingEntry{text(p.waiting_title), text(p.waiting_text)})},
    };
}

QVariant ControlListValue(std::vector<CameraControl> controls) {
    QList<ControlEntry> entries;
    for (CameraControl& control : controls)
        entries.push_back({std::move(control)});
    return QVariant::fromValue(entries);
}

QVariant FormatListValue(std::vector<OfferedFormat> formats) {
    QList<FormatEntry> entries;
    for (OfferedFormat& format : formats)
        entries.push_back({std::move(format)});
    return QVariant::fromValue(entries);
}

}  // namespace vemo
