#pragma once

// What a camera or device operation tells its caller: whether it worked, and
// the messages the user is to see, in order. The camera and the device list
// show nothing themselves; the controller shows these once its state change
// is complete.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace vemo {

struct CameraMessage {
    std::string text;        // as the engine words it
    std::uint32_t code = 0;  // the error code the text carries, when it has one
    std::string detail;      // what GStreamer said about the cause, when anything

    // The text with its cause after it on the same line ("Cannot set output
    // file: PATH: No such file or directory"): a box, a log line and a
    // caller's error all say the same. The text stays as it is worded.
    std::string Shown() const {
        if (detail.empty()) return text;
        std::string cause = detail;
        std::ranges::replace(cause, '\n', ' ');
        return text + ": " + cause;
    }
};

// A code as the messages show it: lower-case hexadecimal, no prefix.
inline std::string HexCode(std::uint32_t code) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", code);
    return text;
}

struct CameraResult {
    bool ok = true;
    std::vector<CameraMessage> messages;

    explicit operator bool() const { return ok; }
    static CameraResult Failure(CameraMessage message) {
        CameraResult result;
        result.ok = false;
        result.messages.push_back(std::move(message));
        return result;
    }
    // A message that does not stop the operation.
    void Warn(CameraMessage message) { messages.push_back(std::move(message)); }
};

}  // namespace vemo
