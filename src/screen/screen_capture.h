#pragma once

// Screen capture: the session a start prepares, the periodic grab that
// publishes the screen under vemo/, and the stop that takes it all down and
// puts the "off" pictures in place.
//
// Two modes, chosen by "screen_one" at the start:
//   whole screen  the screen at full size as vemo/vemosc1.jpg;
//   i-mode        a small picture of the whole screen (vemo/vemosc.jpg and
//                 vemo/vemosc.gif) and a D x D grid of tiles, each enlarged
//                 to the same small size (vemo/vemoscXY.jpg and .gif),
//                 optionally turned a quarter turn clockwise.
// Every picture is written under a temporary name and renamed into place, so
// a reader never sees half a picture. Everything here runs on the
// user-interface thread; no Qt.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "imaging/jpeg_to_gif.h"
#include "imaging/jpeg_writer.h"
#include "screen/screen_geometry.h"
#include "screen/screen_scaler.h"

namespace vemo {

namespace screen {
class ScreenGrabber;
}

// A GIF palette holds at most 256 colours, and the two-pass quantizer makes
// no fewer than 8: the converter refuses counts outside that range, so the
// screen GIF's colour count is clamped into it.
inline constexpr std::uint32_t kMinScreenGifColors = 8;
inline constexpr std::uint32_t kMaxScreenGifColors = 256;

// Values that replace the stored settings for one start only (vemoctl grab);
// the settings file is neither read for them nor written.
struct ScreenCaptureOverrides {
    std::optional<std::uint32_t> screen_one;
    std::optional<std::uint32_t> imode_rotate;
    std::optional<std::uint32_t> screen_division;
    std::optional<std::uint32_t> imode_width;
    std::optional<std::uint32_t> screen_gif_color;
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
    // The small picture turned a quarter turn (i-mode with rotate).
    std::unique_ptr<std::uint8_t[]> rotation_buffer;
    screen::PictureScaler scaler;
    // The last failure reported: a failure that repeats on every tick is
    // reported once, until a grab succeeds or capture is started again.
    std::string last_report;

    bool holds_resources() const { return grabber != nullptr; }
};

extern ScreenSession screen_session;
extern JpegWriteJob screen_jpeg_job;
extern GifConvertJob screen_gif_job;

// The pause after the i-mode picture and after every tile, which spreads a
// grab's work instead of taking the processor for the whole burst. Benchmarks
// set screen_grab_pause_ms to 0.
inline constexpr int kScreenGrabPauseMs = 100;
extern int screen_grab_pause_ms;

// Arms the window's timer 2 with the interval, in milliseconds, at which
// GrabScreen is to be called. The window installs it; when it is unset (as in
// vemoctl) nothing is armed and grabs run only when called.
extern std::function<void(unsigned interval_ms)> screen_timer_hook;

// Receives every failure the user should see, as one sentence. Unset, the
// message goes to standard error as "Vemo : message".
extern std::function<void(const std::string& message)> screen_report_hook;

// Reads the screen settings (overridden by `overrides`), opens the display,
// computes the geometry, allocates the buffers, prepares the two screen jobs,
// arms timer 2, sets screen_on and shows the "on" status picture. A division
// outside 1-10 and an i-mode width outside 50-200 are clamped into range.
// Returns false when no screen can be grabbed (no display, Wayland without
// XWayland, ...): that has been reported, screen capture is on all the same,
// and every grab publishes nothing.
bool StartScreenCapture(const ScreenCaptureOverrides& overrides = {});

// Releases what the start acquired, clears screen_on, removes the i-mode
// picture and every tile, and puts the "off" status pictures in place.
// Safe to call at any time, twice in a row included. Returns 1.
int StopScreenCapture();

struct ScreenGrabResult {
    bool ok = false;                     // every picture of the grab was published
    std::vector<std::string> published;  // the files put in place, in order
    std::string error;                   // why the grab stopped short
};

// Takes one picture of the screen and publishes it, with screen_busy raised
// in the shared status block for the whole grab. Does nothing while
// screen_on is clear. A failure publishes nothing further, leaves the
// pictures already published in place, is reported once and lowers
// screen_busy.
ScreenGrabResult GrabScreen();

}  // namespace vemo
