#pragma once

// Where screen pictures come from. The X11 grabber reads the root window of
// the default screen of the display named by DISPLAY; the null grabber stands
// in when there is no display, so screen capture can be switched on and off
// as usual while every grab publishes nothing and says why.

#include <memory>
#include <string>

#include "screen/pixel_format.h"

namespace vemo::screen {

class ScreenGrabber {
  public:
    virtual ~ScreenGrabber() = default;

    // The screen size when the grabber was opened. A screen that changes size
    // later keeps this size until screen capture is started again.
    virtual int width() const = 0;
    virtual int height() const = 0;

    // Whether the screen's size now differs from the one it was opened with.
    virtual bool SizeChanged() { return false; }

    // Takes one picture of the whole screen. The pixels stay valid until the
    // next Grab or the grabber's end. On failure `error` says why.
    virtual bool Grab(GrabbedPixels& pixels, std::string& error) = 0;

    // Short description for diagnostics ("X11 :0 with MIT-SHM", "none").
    virtual std::string Describe() const = 0;
};

// A grabber that has no screen: every Grab fails with `reason`.
std::unique_ptr<ScreenGrabber> MakeNullGrabber(std::string reason);

// Opens the X display named by DISPLAY. Without MIT-SHM, or when the server
// refuses the shared segment (a remote connection), pictures are read with
// plain XGetImage. Returns nullptr with `error` set when there is no usable
// display. `use_shm` = false forces the plain path.
std::unique_ptr<ScreenGrabber> OpenX11Grabber(bool use_shm, std::string& error);

// The grabber screen capture uses: VEMO_SCREEN_BACKEND may say "null" (no
// screen) or "x11-noshm" (no shared memory), for tests and measurements;
// otherwise X11, and the null grabber with the reason when that fails.
// `error` is empty when a screen can be grabbed.
std::unique_ptr<ScreenGrabber> OpenScreenGrabber(std::string& error);

}  // namespace vemo::screen
