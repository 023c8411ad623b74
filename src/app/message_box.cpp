#include "app/message_box.h"

#include <cstdarg>
#include <cstdio>

namespace vemo {
namespace {

MessageSink current_sink;

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
    const std::string text = VemoMessage(format, arguments);
    va_end(arguments);
    ShowMessage({MessageKind::kWarning, text, {}});
    return 0;
}

int AskOkCancel(const char* format, ...) {
    std::va_list arguments;
    va_start(arguments, format);
    const std::string text = VemoMessage(format, arguments);
    va_end(arguments);
    return ShowMessage({MessageKind::kOkCancel, text, {}});
}

}  // namespace vemo
