#include "app/logging.h"

namespace vemo {

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
}

}  // namespace vemo
