#pragma once

// The engine's two message operations. Every part of the engine reports
// through them; the window installs a sink that shows a message box, tests
// install one that records the text and answers, and without a sink the
// message goes to standard error and is answered with OK.

#include <functional>
#include <string>

namespace vemo {

enum class MessageKind {
    kWarning,   // exclamation icon, OK button
    kOkCancel,  // exclamation icon, OK and Cancel buttons
};

inline constexpr int kMessageOk = 1;
inline constexpr int kMessageCancel = 2;

struct MessageRequest {
    MessageKind kind = MessageKind::kWarning;
    std::string text;
    std::string caption;  // empty: the default caption
};

// Shows the message and returns the button pressed (kMessageOk, kMessageCancel).
using MessageSink = std::function<int(const MessageRequest&)>;

void SetMessageSink(MessageSink sink);  // an empty sink restores the default
int ShowMessage(const MessageRequest& request);

// "Vemo : " followed by the printf-formatted text (at most 1024 characters).
// ReportError returns 0; AskOkCancel returns the button pressed.
int ReportError(const char* format, ...) __attribute__((format(printf, 1, 2)));
int AskOkCancel(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace vemo
