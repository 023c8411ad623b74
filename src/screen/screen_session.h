#pragma once

// The records screen capture works with: the settings one start uses, the
// session a start prepares, and what a start and a grab report.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "screen/screen_geometry.h"
#include "screen/screen_scaler.h"

namespace vemo {

namespace screen {
class ScreenGrabber;
}

// A snapshot of the settings one start uses: seconds, counts and pixels,
// each within the settings' ranges (a start refuses others). The interval is
// the caller's: screen capture grabs when it is asked to.
struct ScreenSettings {
    std::uint32_t screen_timer = 0;
    std::uint32_t screen_one = 0;
    std::uint32_t imode_rotate = 0;
    std::uint32_t screen_gif_color = 0;
    std::uint32_t screen_division = 0;
    std::uint32_t imode_width = 0;
    std::uint32_t imode_height = 0;
};

// What a start prepares and the grabs use. The geometry stays after a stop;
// the grabber and the buffers exist only between a start and a stop.
struct ScreenSession {
    std::unique_ptr<screen::ScreenGrabber> grabber;
    screen::ScreenGeometry geometry;
    // Screen width x height x 4 bytes: the screen as the JPEG writer takes it
    // (whole screen), or converted to BGRX when the display's pixels are not
    // BGRX already (i-mode).
    std::unique_ptr<std::uint8_t[]> grab_buffer;
    // The small picture, bottom-up blue-green-red (i-mode).
    std::unique_ptr<std::uint8_t[]> picture_buffer;
    // The i-mode picture as the last grab made it, for the next grab to make
    // again only where the screen changed (i-mode).
    std::unique_ptr<std::uint8_t[]> imode_buffer;
    // The small picture turned a quarter turn (i-mode with rotate).
    std::unique_ptr<std::uint8_t[]> rotation_buffer;
    screen::PictureScaler scaler;

    bool holds_resources() const { return grabber != nullptr; }
};

// The pause after the i-mode picture and after every tile, which spreads a
// grab's work instead of taking the processor for the whole burst.
inline constexpr int kScreenGrabPauseMs = 100;

struct ScreenStartResult {
    bool grabbable = false;  // false: no screen can be grabbed; capture is on all the same
    std::string error;       // a failure the user should be told of; empty when none
    // The start still waits for the desktop (the screen-cast portal asking the
    // user) and goes on on the worker; the settings in force and the first
    // grab's result follow when it ends.
    bool pending = false;
};

struct ScreenGrabResult {
    bool ok = false;                     // every picture of the grab was published
    std::vector<std::string> published;  // the files put in place, in order
    std::string error;                   // why the grab stopped short
    // `error` differs from the failure shown last and should be shown. A
    // failure that repeats on every tick is shown once, until a grab succeeds
    // or capture is started again.
    bool report = false;
    // The screen had changed size: screen capture was started afresh at the
    // new size (as a stop and a start would) before this grab.
    bool restarted = false;
    int screen_width = 0;  // the screen's size for this grab
    int screen_height = 0;
    // A stop, a start or the end of screen capture cut the grab short after
    // the file being written; nothing about it is to be shown.
    bool interrupted = false;
    int coded = 0;        // pictures coded (JPEG or GIF)
    int republished = 0;  // unchanged pictures published again from the kept bytes
    // Screen pixels this grab passed over to digest, convert, scale or code
    // them (a pixel passed over twice counts twice); 0 when the grabber knew
    // the screen still and the kept pictures were published again unread.
    std::int64_t pixels_read = 0;
};

}  // namespace vemo
