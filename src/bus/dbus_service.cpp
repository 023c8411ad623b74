#include "bus/dbus_service.h"

#include <QDBusError>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QPointer>
#include <QTimer>

#include <memory>
#include <utility>

#include "bus/dbus_values.h"
#include "engine/logging.h"

namespace vemo {
namespace {

constexpr char kPropertiesInterface[] = "org.freedesktop.DBus.Properties";

// A callback the window has not given answers as a refusal.
template <typename Function, typename... Arguments>
DBusAnswer Ask(const Function& function, Arguments&&... arguments) {
    if (!function) return {false, "the engine cannot answer this"};
    return function(std::forward<Arguments>(arguments)...);
}

// A list's answer with its items in their typed form.
template <typename Item>
DBusAnswer TypedList(const std::function<DBusAnswer(std::vector<Item>&)>& list,
                     QVariant (*typed)(std::vector<Item>)) {
    std::vector<Item> items;
    DBusAnswer answer = Ask(list, items);
    answer.value = typed(std::move(items));
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
    RegisterEngineDBusTypes();
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
    return EngineInterfaceXml();
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
            return callbacks_.reload_settings();
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
            return TypedList(callbacks_.camera_control_list, ControlListValue);
        });
    } else if (member == "CameraFormatList") {
        AnswerText(message, "", [this](const QStringList&) {
            return TypedList(callbacks_.camera_format_list, FormatListValue);
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

// The call's arguments as text when it has `signature`; else nullopt, the
// caller told what it takes.
std::optional<QStringList> DBusService::ArgumentsAsText(const QDBusMessage& message,
                                                        const char* signature) {
    if (message.signature() != QLatin1String(signature)) {
        Reply(message,
              InvalidArguments(message,
                               QStringLiteral("%1 takes (%2)").arg(message.member(), signature)));
        return std::nullopt;
    }
    QStringList arguments;
    for (const QVariant& argument : message.arguments())
        arguments << argument.toString();
    return arguments;
}

void DBusService::AnswerText(
    const QDBusMessage& message, const char* signature,
    const std::function<DBusAnswer(const QStringList& arguments)>& answer) {
    const std::optional<QStringList> arguments = ArgumentsAsText(message, signature);
    if (!arguments) return;
    const DBusAnswer answered = answer(*arguments);
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
    const std::optional<QStringList> arguments = ArgumentsAsText(message, signature);
    if (!arguments) return;
    message.setDelayedReply(true);
    start(*arguments, [service = QPointer<DBusService>(this), message](const DBusAnswer& answered) {
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

std::unique_ptr<DBusService> StartDBusService(DBusServiceCallbacks callbacks) {
    auto service =
        std::make_unique<DBusService>(std::move(callbacks), QDBusConnection::sessionBus());
    if (const std::optional<QString> failure = service->Register()) {
        qCWarning(logCommand).noquote()
            << *failure + QStringLiteral(": other programs cannot send the engine commands");
        return nullptr;
    }
    return service;
}

}  // namespace vemo
