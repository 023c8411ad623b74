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
#include <memory>
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

// A snapshot of the settings one start uses: seconds, counts and pixels.
struct ScreenSettings {
    std::uint32_t screen_timer = 0;
    std::uint32_t screen_one = 0;
    std::uint32_t imode_rotate = 0;
    std::uint32_t screen_gif_color = 0;
    std::uint32_t screen_division = 0;
    std::uint32_t imode_width = 0;
    std::uint32_t imode_height = 0;
};

// The stored settings as a start uses them, read from the settings store.
ScreenSettings ReadScreenSettings();

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

    bool holds_resources() const { return grabber != nullptr; }
};

// The pause after the i-mode picture and after every tile, which spreads a
// grab's work instead of taking the processor for the whole burst.
inline constexpr int kScreenGrabPauseMs = 100;

struct ScreenStartResult {
    bool grabbable = false;          // false: no screen can be grabbed; capture is on all the same
    unsigned timer_interval_ms = 0;  // what timer 2 is to be armed with
    std::string error;               // a failure the user should be told of; empty when none
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
};

// Screen capture of one display: started, grabbed at every tick of timer 2
// and stopped by its owner, which arms the timer and shows the failures.
// Nothing here reports or arms anything by itself.
class ScreenCapture {
  public:
    ScreenCapture();
    ~ScreenCapture();
    ScreenCapture(const ScreenCapture&) = delete;
    ScreenCapture& operator=(const ScreenCapture&) = delete;

    // Opens the display, computes the geometry, allocates the buffers,
    // prepares the two screen jobs, turns capture on and shows the "on"
    // status picture. A timer, division, i-mode width or colour count outside
    // its range is clamped into it. A start while running begins afresh and
    // picks up a new screen size. When no screen can be grabbed (no display,
    // Wayland without XWayland, ...) `grabbable` is false and `error` says
    // why; capture is on all the same and every grab publishes nothing.
    ScreenStartResult Start(const ScreenSettings& settings);

    // Releases what the start acquired, turns capture off, removes the i-mode
    // picture and every tile, and puts the "off" status pictures in place.
    // Safe to call at any time, twice in a row included. Returns 1.
    int Stop();

    // Takes one picture of the screen and publishes it, with screen_busy
    // raised in the shared status block for the whole grab. Does nothing
    // while capture is off. A failure publishes nothing further, leaves the
    // pictures already published in place and lowers screen_busy.
    ScreenGrabResult Grab();

    bool screen_on() const { return screen_on_; }

    // The settings in force since the last start: clamped into range, with
    // the i-mode width and height the geometry computed. All 0 before the
    // first start.
    const ScreenSettings& settings() const { return settings_; }

    // The GIF colour count, unlike the sizes, applies from the next grab on
    // without a restart. Clamped into range.
    void set_screen_gif_color(std::uint32_t colors);

    const ScreenSession& session() const { return session_; }

    // Benchmarks set 0.
    void set_pause_ms(int milliseconds) { pause_ms_ = milliseconds; }

  private:
    void ReleaseSession();
    // Grabs and publishes into `result`; false with `result.error` set when
    // the grab stopped short.
    bool GrabAndPublish(ScreenGrabResult& result);

    ScreenSession session_;
    JpegWriteJob jpeg_job_{};
    GifConvertJob gif_job_{};
    int pause_ms_ = kScreenGrabPauseMs;
    bool screen_on_ = false;
    ScreenSettings requested_;  // as the last start was given them
    ScreenSettings settings_;
    std::string last_reported_;
};

}  // namespace vemo
