#include "engine/logging.h"

#include <QRegularExpression>
#include <QStringList>

#include <atomic>
#include <optional>
#include <string>

#include "screen/screen_log.h"

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

// While the application starts, Qt tries the platforms of QT_QPA_PLATFORM in
// turn ("xcb;offscreen" outside a Wayland session). One without its display
// says so as if the start had failed ("Could not load the Qt platform plugin
// "xcb" in "" even though it was found."), and yet the next one starts. That
// line is replaced by one saying what happens instead. For the list's last
// platform it stays as it is: then nothing starts, and Qt's fatal line
// follows.
std::optional<QString> PlatformFallback(QtMsgType type, const QMessageLogContext& context,
                                        const QString& text) {
    // Qt logs it as information; a warning of the same text is the same case.
    if ((type != QtInfoMsg && type != QtWarningMsg) ||
        qstrcmp(context.category, "qt.qpa.plugin") != 0) {
        return {};
    }
    static const QRegularExpression failed(
        QStringLiteral("^Could not load the Qt platform plugin \"([^\"]+)\""));
    const QRegularExpressionMatch match = failed.match(text);
    if (!match.hasMatch()) return {};
    const QString platform = match.captured(1);
    const QStringList platforms =
        qEnvironmentVariable("QT_QPA_PLATFORM").split(u';', Qt::SkipEmptyParts);
    const qsizetype at = platforms.indexOf(platform);
    if (at < 0 || at + 1 >= platforms.size()) return {};
    const QString& next = platforms[at + 1];
    QString line = QStringLiteral("Qt's \"%1\" platform has no display; going on with \"%2\"")
                       .arg(platform, next);
    if (next == QLatin1String("offscreen")) {
        line += QStringLiteral(": no window, and every message box is logged and answered OK");
    }
    return line;
}

// A message's lines joined, its blank ones dropped.
QString OneLine(const QString& text) {
    if (!text.contains(QLatin1Char('\n'))) return text;
    QStringList lines = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (QString& line : lines)
        line = line.trimmed();
    lines.removeAll(QString());
    return lines.join(QLatin1Char(' '));
}

void HandleMessage(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (const std::optional<QString> fallback = PlatformFallback(type, context, text)) {
        if (logStartup().isInfoEnabled()) {
            const QMessageLogContext startup(context.file, context.line, context.function,
                                             logStartup().categoryName());
            previous_handler(QtInfoMsg, startup, *fallback);
        }
        return;
    }
    // One line per message, so that a journal or a grep keeps it whole.
    previous_handler(type, context, OneLine(text));
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
    // The screen code has no Qt; its lines join the others here.
    screen::SetScreenLogSink(+[](const std::string& text) {
        qCWarning(logScreen).noquote() << QString::fromStdString(text);
    });
    // Once: a second call would make this handler its own predecessor.
    if (previous_handler == nullptr) previous_handler = qInstallMessageHandler(HandleMessage);
}

void SetDisplayLostHandler(void (*handler)()) {
    display_lost_handler.store(handler);
}

}  // namespace vemo
