#pragma once

// Where the screen code's lines for the log go. Most of what goes wrong in a
// grab travels back to the caller as a result's message; these lines are
// for what the caller never hears about (a setting ignored, a grab left
// behind, a permission not kept). The engine points them into its own log
// at start-up; until then, and in programs without that log (vemoctl), each
// is one line on stderr in the log's format:
// "2024-05-01T12:34:56.789 vemo.screen: text".

#include <string>

namespace vemo::screen {

using ScreenLogSink = void (*)(const std::string& text);

// Sends the screen code's lines to `sink`; nullptr restores stderr. Safe to
// call from any thread.
void SetScreenLogSink(ScreenLogSink sink);

// One line for the log.
void ScreenLog(const std::string& text);

}  // namespace vemo::screen
