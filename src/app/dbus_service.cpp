#include "app/dbus_service.h"

#include <QDBusArgument>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusVariant>
#include <QFile>
#include <QPointer>
#include <QTimer>

#include <algorithm>

#include <memory>
#include <utility>

#include "app/logging.h"

namespace vemo {
namespace {

constexpr char kPropertiesInterface[] = "org.freedesktop.DBus.Properties";

// The interface as described in the XML file beside this one, built into
// the program: QtDBus wants the <interface> element alone.
QString InterfaceXml() {
    QFile file(QStringLiteral(":/vemo/com.lumetra.Vemo.Engine.xml"));
    if (!file.open(QIODevice::ReadOnly)) return {};
    const QString xml = QString::fromUtf8(file.readAll());
    const qsizetype from = xml.indexOf(QLatin1String("<interface "));
    const QLatin1String end("</interface>");
    const qsizetype to = xml.indexOf(end, from);
    return from < 0 || to < 0 ? QString() : xml.mid(from, to + end.size() - from) + '\n';
}

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

void RegisterTypes() {
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

// A callback the window has not given answers as a refusal.
template <typename Function, typename... Arguments>
DBusAnswer Ask(const Function& function, Arguments&&... arguments) {
    if (!function) return {false, "the engine cannot answer this"};
    return function(std::forward<Arguments>(arguments)...);
}

// A list's answer with its items as Entry structures, as QtDBus sends them.
template <typename Entry, typename Item>
DBusAnswer TypedList(const std::function<DBusAnswer(std::vector<Item>&)>& list) {
    std::vector<Item> items;
    DBusAnswer answer = Ask(list, items);
    QList<Entry> entries;
    for (Item& item : items)
        entries.push_back({std::move(item)});
    answer.value = QVariant::fromValue(entries);
    return answer;
}

QDBusMessage InvalidArguments(const QDBusMessage& message, const QString& text) {
    return message.createErrorReply(QDBusError::InvalidArgs, text);
}

}  // namespace

DBusService::DBusService(DBusServiceCallbacks callbacks, QDBusConnection connection,
                         QObject* parent)
    : QDBusVirtualObject(parent),
      callbacks_(std::move(callbacks)),
      connection_(std::move(connection)) {
    RegisterTypes();
}

DBusService::~DBusService() {
    if (name_taken_) connection_.unregisterService(kDBusServiceName);
    if (object_registered_) connection_.unregisterObject(kDBusObjectPath);
}

std::optional<QString> DBusService::Register() {
    if (!connection_.isConnected()) {
        const QString reason = connection_.lastError().message();
        return QStringLiteral("no D-Bus session bus") +
               (reason.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(reason));
    }
    // The object first: whoever sees the name finds it.
    object_registered_ = connection_.registerVirtualObject(kDBusObjectPath, this);
    if (!object_registered_) {
        return QStringLiteral("cannot export %1 on the session bus").arg(kDBusObjectPath);
    }
    name_taken_ = connection_.registerService(kDBusServiceName);
    if (!name_taken_) {
        connection_.unregisterObject(kDBusObjectPath);
        object_registered_ = false;
        return QStringLiteral("%1 is already taken on the session bus").arg(kDBusServiceName);
    }
    return std::nullopt;
}

void DBusService::NotifyStatusText(const QString& text) {
    if (!name_taken_) return;
    QDBusMessage signal =
        QDBusMessage::createSignal(kDBusObjectPath, kDBusInterface, "StatusTextChanged");
    signal << text;
    connection_.send(signal);
}

void DBusService::NotifyPropertiesMayHaveChanged() {
    if (!name_taken_ || comparison_queued_) return;
    comparison_queued_ = true;
    QTimer::singleShot(0, this, [this] {
        comparison_queued_ = false;
        SendChangedProperties();
    });
}

void DBusService::SendChangedProperties() {
    if (!callbacks_.properties) return;
    const EngineProperties now = callbacks_.properties();
    if (told_ && *told_ == now) return;
    const QVariantMap current = PropertyMap(now);
    QVariantMap changed;
    if (told_) {
        const QVariantMap before = PropertyMap(*told_);
        for (auto entry = current.cbegin(); entry != current.cend(); ++entry) {
            // Structures compare by their marshalled form alone.
            const bool same = entry.key() == QLatin1String("Waiting")
                                  ? now.waiting_title == told_->waiting_title &&
                                        now.waiting_text == told_->waiting_text
                                  : before.value(entry.key()) == entry.value();
            if (!same) changed.insert(entry.key(), entry.value());
        }
    } else {
        changed = current;
    }
    told_ = now;
    QDBusMessage signal =
        QDBusMessage::createSignal(kDBusObjectPath, kPropertiesInterface, "PropertiesChanged");
    signal << QString::fromLatin1(kDBusInterface) << changed << QStringList();
    connection_.send(signal);
}

QString DBusService::introspect(const QString&) const {
    return InterfaceXml();
}

bool DBusService::handleMessage(const QDBusMessage& message, const QDBusConnection&) {
    // Introspection and the standard interfaces are QtDBus's to answer.
    const QString interface = message.interface();
    if (message.type() != QDBusMessage::MethodCallMessage) return false;
    if (interface == QLatin1String(kPropertiesInterface)) {
        AnswerProperties(message);
        return true;
    }
    if (!interface.isEmpty() && interface != kDBusInterface) return false;
    const QString member = message.member();
    // Until start-up is done only what needs no engine is answered.
    static const QStringList kNeedTheEngine{
        "Command",          "SetCaptureFileName", "StartRecording",   "StopRecording",
        "CameraControls",   "CameraControlList",  "SetCameraControl", "CameraFormats",
        "CameraFormatList", "SetCameraFormat",    "ReloadSettings"};
    if (callbacks_.starting && kNeedTheEngine.contains(member)) {
        if (const std::optional<std::string> waiting = callbacks_.starting()) {
            Reply(message,
                  message.createErrorReply(kDBusWaitingError, QString::fromStdString(*waiting)));
            return true;
        }
    }
    if (member == "Command") {
        AnswerCommand(message);
    } else if (member == "SetCaptureFileName") {
        AnswerSetCaptureFileName(message);
    } else if (member == "StatusText") {
        AnswerStatusText(message);
    } else if (member == "ReloadSettings") {
        AnswerText(message, "", [this](const QStringList&) {
            if (!callbacks_.reload_settings) return DBusAnswer{false, "the engine cannot reload"};
            callbacks_.reload_settings();
            return DBusAnswer{true, {}};
        });
    } else if (member == "SettingsFile") {
        AnswerText(message, "", [this](const QStringList&) {
            if (!callbacks_.settings_file) return DBusAnswer{false, "the engine cannot tell"};
            return DBusAnswer{true, callbacks_.settings_file()};
        });
    } else if (member == "RecordingFile") {
        AnswerText(message, "", [this](const QStringList&) {
            if (!callbacks_.recording_file) return DBusAnswer{false, "the engine cannot tell"};
            return DBusAnswer{true, callbacks_.recording_file()};
        });
    } else if (member == "StartRecording") {
        AnswerLater(message, "b", [this](const QStringList& arguments, DBusLaterAnswer done) {
            if (!callbacks_.start_recording) {
                done({false, "the engine cannot record"});
                return;
            }
            callbacks_.start_recording(arguments[0] == QLatin1String("true"), std::move(done));
        });
    } else if (member == "StopRecording") {
        AnswerLater(message, "", [this](const QStringList&, DBusLaterAnswer done) {
            if (!callbacks_.stop_recording) {
                done({false, "the engine cannot record"});
                return;
            }
            callbacks_.stop_recording(std::move(done));
        });
    } else if (member == "CameraControlList") {
        AnswerText(message, "", [this](const QStringList&) {
            return TypedList<ControlEntry>(callbacks_.camera_control_list);
        });
    } else if (member == "CameraFormatList") {
        AnswerText(message, "", [this](const QStringList&) {
            return TypedList<FormatEntry>(callbacks_.camera_format_list);
        });
    } else if (member == "CameraControls") {
        AnswerText(message, "",
                   [this](const QStringList&) { return callbacks_.camera_controls(); });
    } else if (member == "SetCameraControl") {
        AnswerText(message, "ss", [this](const QStringList& arguments) {
            return Ask(callbacks_.set_camera_control, arguments[0].toStdString(),
                       arguments[1].toStdString());
        });
    } else if (member == "CameraFormats") {
        AnswerText(message, "", [this](const QStringList&) { return callbacks_.camera_formats(); });
    } else if (member == "SetCameraFormat") {
        AnswerText(message, "s", [this](const QStringList& arguments) {
            return Ask(callbacks_.set_camera_format, arguments[0].toStdString());
        });
    } else if (interface.isEmpty()) {
        return false;  // Introspect and the like, called without their interface
    } else {
        Reply(message, message.createErrorReply(
                           QDBusError::UnknownMethod,
                           QStringLiteral("%1 has no method %2").arg(kDBusInterface, member)));
    }
    // A call may have changed what the properties show (the capture file's
    // name, a control): they are compared once it has run.
    NotifyPropertiesMayHaveChanged();
    return true;
}

void DBusService::AnswerCommand(const QDBusMessage& message) {
    if (message.signature() != "u") {
        Reply(message, InvalidArguments(message, "Command takes one command id (u)"));
        return;
    }
    const unsigned id = message.arguments().constFirst().toUInt();
    if (id > kDBusLastCommandId) {
        Reply(
            message,
            InvalidArguments(
                message,
                QStringLiteral("command ids are 0 to %1, not %2").arg(kDBusLastCommandId).arg(id)));
        return;
    }
    // Queued, as a posted command is: a command that opens a modal dialog
    // must not hold the caller until the dialog closes.
    QTimer::singleShot(0, this, [this, id] {
        if (callbacks_.command) callbacks_.command(static_cast<int>(id));
    });
    Reply(message, message.createReply());
}

void DBusService::AnswerSetCaptureFileName(const QDBusMessage& message) {
    if (message.signature() != "s") {
        Reply(message, InvalidArguments(message, "SetCaptureFileName takes one path (s)"));
        return;
    }
    const std::string path = message.arguments().constFirst().toString().toStdString();
    const std::optional<std::string> refusal =
        callbacks_.set_capture_file_name
            ? callbacks_.set_capture_file_name(path)
            : std::optional<std::string>("the capture file cannot be named");
    Reply(message,
          refusal ? message.createErrorReply(kDBusRefusedError, QString::fromStdString(*refusal))
                  : message.createReply());
}

void DBusService::AnswerStatusText(const QDBusMessage& message) {
    if (!message.signature().isEmpty()) {
        Reply(message, InvalidArguments(message, "StatusText takes no arguments"));
        return;
    }
    Reply(message,
          message.createReply(callbacks_.status_text ? callbacks_.status_text() : QString()));
}

void DBusService::AnswerText(
    const QDBusMessage& message, const char* signature,
    const std::function<DBusAnswer(const QStringList& arguments)>& answer) {
    if (message.signature() != QLatin1String(signature)) {
        Reply(message,
              InvalidArguments(message,
                               QStringLiteral("%1 takes (%2)").arg(message.member(), signature)));
        return;
    }
    QStringList arguments;
    for (const QVariant& argument : message.arguments())
        arguments << argument.toString();
    const DBusAnswer answered = answer(arguments);
    // Calls without arguments ask for something: their answer carries it.
    Reply(message,
          ReplyTo(message, answered,
                  message.signature().isEmpty()
                      ? (answered.value.isValid() ? answered.value
                                                  : QVariant(QString::fromStdString(answered.text)))
                      : QVariant()));
}

QDBusMessage DBusService::ReplyTo(const QDBusMessage& message, const DBusAnswer& answered,
                                  const QVariant& value) const {
    const QString text = QString::fromStdString(answered.text);
    if (answered.ok) return value.isValid() ? message.createReply(value) : message.createReply();
    if (answered.invalid_value) return InvalidArguments(message, text);
    return message.createErrorReply(
        QString::fromLatin1(answered.error != nullptr ? answered.error : kDBusRefusedError), text);
}

// The caller's answer comes once `start` has called back, from whatever
// event-loop turn finishes it; a caller that has gone by then gets nothing.
void DBusService::AnswerLater(
    const QDBusMessage& message, const char* signature,
    const std::function<void(const QStringList&, DBusLaterAnswer)>& start) {
    if (message.signature() != QLatin1String(signature)) {
        Reply(message,
              InvalidArguments(message,
                               QStringLiteral("%1 takes (%2)").arg(message.member(), signature)));
        return;
    }
    QStringList arguments;
    for (const QVariant& argument : message.arguments())
        arguments << argument.toString();
    message.setDelayedReply(true);
    start(arguments, [service = QPointer<DBusService>(this), message](const DBusAnswer& answered) {
        if (service) {
            service->Reply(message, service->ReplyTo(message, answered,
                                                     QString::fromStdString(answered.text)));
        }
    });
}

void DBusService::AnswerProperties(const QDBusMessage& message) {
    const QList<QVariant> arguments = message.arguments();
    const QString member = message.member();
    const QString interface = arguments.isEmpty() ? QString() : arguments[0].toString();
    if (interface != QLatin1String(kDBusInterface)) {
        Reply(message,
              message.createErrorReply(
                  QDBusError::UnknownInterface,
                  QStringLiteral("%1 has no properties of %2").arg(kDBusObjectPath, interface)));
        return;
    }
    const QVariantMap properties =
        PropertyMap(callbacks_.properties ? callbacks_.properties() : EngineProperties{});
    if (member == QLatin1String("GetAll") && message.signature() == QLatin1String("s")) {
        Reply(message, message.createReply(properties));
    } else if (member == QLatin1String("Get") && message.signature() == QLatin1String("ss")) {
        const QString name = arguments[1].toString();
        if (!properties.contains(name)) {
            Reply(message, message.createErrorReply(
                               QDBusError::UnknownProperty,
                               QStringLiteral("%1 has no property %2").arg(kDBusInterface, name)));
            return;
        }
        Reply(message, message.createReply(QVariant::fromValue(QDBusVariant(properties[name]))));
    } else if (member == QLatin1String("Set") && message.signature() == QLatin1String("ssv")) {
        Reply(message, message.createErrorReply(
                           QDBusError::PropertyReadOnly,
                           QStringLiteral("the engine's properties are read-only: use its methods "
                                          "or vemoctl to change its state")));
    } else {
        Reply(message,
              InvalidArguments(message,
                               QStringLiteral("%1 takes other arguments").arg(message.member())));
    }
}

void DBusService::Reply(const QDBusMessage& call, const QDBusMessage& reply) {
    if (call.isReplyRequired()) connection_.send(reply);
}

DBusService* StartDBusService(DBusServiceCallbacks callbacks, QObject* parent) {
    auto service =
        std::make_unique<DBusService>(std::move(callbacks), QDBusConnection::sessionBus());
    if (const std::optional<QString> failure = service->Register()) {
        qCWarning(logCommand).noquote()
            << *failure + QStringLiteral(": other programs cannot send the engine commands");
        return nullptr;
    }
    service->setParent(parent);
    return service.release();  // owned by the parent from here
}

}  // namespace vemo
