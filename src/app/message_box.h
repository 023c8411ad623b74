#pragma once

// The message boxes of start-up and of the window: one sink shows them. The
// program installs one that shows a box (or, without a display, logs the
// text), tests one that records the text and answers, and without a sink the
// text goes to standard error and is answered with OK.

#include "engine/engine_face.h"

namespace vemo {

void SetMessageSink(MessageSink sink);  // an empty sink restores the default
int ShowMessage(const MessageRequest& request);

// "Vemo : " followed by the printf-formatted text (at most 1024 characters).
// ReportError returns 0; AskOkCancel returns the button pressed.
int ReportError(const char* format, ...) __attribute__((format(printf, 1, 2)));
int AskOkCancel(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace vemo
