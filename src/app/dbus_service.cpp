#include "app/dbus_service.h"

#include <QDBusError>
#include <QDBusMessage>
#include <QTimer>

#include <memory>
#include <utility>

#include "app/logging.h"

namespace vemo {
namespace {

constexpr char kIntrospection[] =
    "  <interface name=\"com.lumetra.Vemo.Engine\">\n"
    "    <method name=\"Command\">\n"
    "      <arg name=\"id\" type=\"u\" direction=\"in\"/>\n"
    "    </method>\n"
    "    <method name=\"SetCaptureFileName\">\n"
    "      <arg name=\"path\" type=\"s\" direction=\"in\"/>\n"
    "    </method>\n"
    "    <method name=\"StatusText\">\n"
    "      <arg name=\"text\" type=\"s\" direction=\"out\"/>\n"
    "    </method>\n"
    "    <method name=\"CameraControls\">\n"
    "      <arg name=\"lines\" type=\"s\" direction=\"out\"/>\n"
    "    </method>\n"
    "    <method name=\"SetCameraControl\">\n"
    "      <arg name=\"name\" type=\"s\" direction=\"in\"/>\n"
    "      <arg name=\"value\" type=\"s\" direction=\"in\"/>\n"
    "    </method>\n"
    "    <method name=\"CameraFormats\">\n"
    "      <arg name=\"lines\" type=\"s\" direction=\"out\"/>\n"
    "    </method>\n"
    "    <method name=\"SetCameraFormat\">\n"
    "      <arg name=\"format\" type=\"s\" direction=\"in\"/>\n"
    "    </method>\n"
    "    <method name=\"ReloadSettings\"/>\n"
    "    <method name=\"SettingsFile\">\n"
    "      <arg name=\"path\" type=\"s\" direction=\"out\"/>\n"
    "    </method>\n"
    "    <method name=\"RecordingFile\">\n"
    "      <arg name=\"path\" type=\"s\" direction=\"out\"/>\n"
    "    </method>\n"
    "    <signal name=\"StatusTextChanged\">\n"
    "      <arg name=\"text\" type=\"s\"/>\n"
    "    </signal>\n"
    "  </interface>\n";

// A callback the window has not given answers as a refusal.
template <typename Function, typename... Arguments>
DBusAnswer Ask(const Function& function, const Arguments&... arguments) {
    if (!function) return {false, "the engine cannot answer this"};
    return function(arguments...);
}

QDBusMessage InvalidArguments(const QDBusMessage& message, const QString& text) {
    return message.createErrorReply(QDBusError::InvalidArgs, text);
}

}  // namespace

DBusService::DBusService(DBusServiceCallbacks callbacks, QDBusConnection connection,
                         QObject* parent)
    : QDBusVirtualObject(parent),
      callbacks_(std::move(callbacks)),
      connection_(std::move(connection)) {}

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

QString DBusService::introspect(const QString&) const {
    return QString::fromLatin1(kIntrospection);
}

bool DBusService::handleMessage(const QDBusMessage& message, const QDBusConnection&) {
    // Introspection and the standard interfaces are QtDBus's to answer.
    const QString interface = message.interface();
    if (message.type() != QDBusMessage::MethodCallMessage ||
        (!interface.isEmpty() && interface != kDBusInterface)) {
        return false;
    }
    const QString member = message.member();
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
    const QString text = QString::fromStdString(answered.text);
    if (answered.ok) {
        Reply(message,
              message.signature().isEmpty() ? message.createReply(text) : message.createReply());
    } else {
        Reply(message, answered.invalid_value ? InvalidArguments(message, text)
                                              : message.createErrorReply(kDBusRefusedError, text));
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
