#pragma once

// Answers for runs nobody watches (tests of the whole program): message
// boxes and file choices answered from a script instead of shown.

#include <QString>

#include "app/dialogs/file_dialog.h"
#include "app/message_box.h"

namespace vemo {

// VEMO_MESSAGE_ANSWERS="1,2": answers the boxes in turn (1 OK, 2 Cancel; the
// last answer repeats) and writes each text to standard error as
// "message: TEXT". Each answer comes after a pause of `pause_ms`; with
// `nested` the pause runs a nested event loop, as a real box does, so that
// timers, graph events and a close can run while the box is "open".
MessageSink ScriptedMessageSink(const QString& answers, int pause_ms = 50, bool nested = false);

// Wraps `answer`: the box stays "open" for `milliseconds` in a nested event
// loop before `answer` gives the button.
MessageSink AnswerInNestedLoop(MessageSink answer, int milliseconds);

// VEMO_FILE_ANSWERS="a.avi;;b.avi": answers the file choices in turn (an
// empty entry cancels; the last answer repeats) and writes each request to
// standard error as "file: TITLE".
FileChooser ScriptedFileChooser(const QString& answers);

}  // namespace vemo
