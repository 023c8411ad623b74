#include "app/message_box.h"

#include <cstdarg>
#include <cstdio>

namespace vemo {
namespace {

MessageSink current_sink;

std::string Prefixed(const char* format, std::va_list arguments) {
    char text[1025];
    std::vsnprintf(text, sizeof text, format, arguments);
    return std::string("Vemo : ") + text;
}

}  // namespace

void SetMessageSink(MessageSink sink) {
    current_sink = std::move(sink);
}

int ShowMessage(const MessageRequest& request) {
    if (current_sink) return current_sink(request);
    std::fprintf(stderr, "%s\n", request.text.c_str());
    return kMessageOk;
}

int ReportError(const char* format, ...) {
    std::va_list arguments;
    va_start(arguments, format);
    const std::string text = Prefixed(format, arguments);
    va_end(arguments);
    ShowMessage({MessageKind::kWarning, text, {}});
    return 0;
}

int AskOkCancel(const char* format, ...) {
    std::va_list arguments;
    va_start(arguments, format);
    const std::string text = Prefixed(format, arguments);
    va_end(arguments);
    return ShowMessage({MessageKind::kOkCancel, text, {}});
}

}  // namespace vemo
