#include "app/logging.h"

#include <atomic>

namespace vemo {
namespace {

QtMessageHandler previous_handler = nullptr;
std::atomic<void (*)()> display_lost_handler{nullptr};

// The two lines Qt's Wayland client logs right before its _exit(1).
bool SaysDisplayLost(QtMsgType type, const QString& text) {
    return type == QtWarningMsg &&
           (text.startsWith(QLatin1String("The Wayland connection broke.")) ||
            text.startsWith(QLatin1String("The Wayland connection experienced a fatal error")));
}

void HandleMessage(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    previous_handler(type, context, text);
    if (!SaysDisplayLost(type, text)) return;
    if (void (*handler)() = display_lost_handler.load()) handler();
}

}  // namespace

// Debug lines only when asked for: information and above by default.
Q_LOGGING_CATEGORY(logStartup, "vemo.startup", QtInfoMsg)
Q_LOGGING_CATEGORY(logCamera, "vemo.camera", QtInfoMsg)
Q_LOGGING_CATEGORY(logScreen, "vemo.screen", QtInfoMsg)
Q_LOGGING_CATEGORY(logPublish, "vemo.publish", QtInfoMsg)
Q_LOGGING_CATEGORY(logMessage, "vemo.message", QtInfoMsg)
Q_LOGGING_CATEGORY(logCommand, "vemo.command", QtInfoMsg)

void SetUpLogging(bool verbose) {
    // Every line names its category, Qt's own ("qt.qpa.xcb") and "default" for
    // a message without one included, so a line in the journal says where it
    // came from.
    if (!qEnvironmentVariableIsSet("QT_MESSAGE_PATTERN")) {
        qSetMessagePattern("%{time yyyy-MM-ddThh:mm:ss.zzz} %{category}: %{message}");
    }
    if (verbose) QLoggingCategory::setFilterRules(QStringLiteral("vemo.*.debug=true"));
    // Once: a second call would make this handler its own predecessor.
    if (previous_handler == nullptr) previous_handler = qInstallMessageHandler(HandleMessage);
}

void SetDisplayLostHandler(void (*handler)()) {
    display_lost_handler.store(handler);
}

}  // namespace vemo
