#pragma once

// Where screen pictures come from. The X11 grabber reads the root window of
// the default screen of the display named by DISPLAY; on Wayland the portal
// grabber takes the newest frames of the screen-cast portal's PipeWire
// streams; the null grabber stands in when neither can be had, so screen
// capture can be switched on and off as usual while every grab publishes
// nothing and says why.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "screen/pixel_format.h"

namespace vemo::screen {

// What changed on the screen since the last successful Grab, as far as the
// grabber knows without reading the pixels (the X server's damage reports, the
// compositor's damage regions, or no new frame at all).
struct ScreenChanges {
    enum class Kind {
        kUnknown,  // anything may have changed: every pixel is to be looked at
        kNothing,  // no pixel changed
        kRegions,  // every changed pixel lies in one of `regions`
    };
    Kind kind = Kind::kUnknown;
    std::vector<SourceRect> regions;  // screen coordinates, possibly overlapping
};

class ScreenGrabber {
  public:
    virtual ~ScreenGrabber() = default;

    // The screen size when the grabber was opened. A screen that changes size
    // later keeps this size until screen capture is started again.
    virtual int width() const = 0;
    virtual int height() const = 0;

    // Whether the screen's size now differs from the one it was opened with.
    virtual bool SizeChanged() { return false; }
    // After SizeChanged: takes the new size without opening anew (width()
    // and height() tell it from now on, the next Grab is a whole change).
    // False when the grabber cannot: screen capture then starts afresh.
    virtual bool AdoptNewSize() { return false; }

    // What changed since the last successful Grab, without reading a pixel
    // and without forgetting it: the next Grab reports it again. Never
    // kNothing once the source is gone: a still picture is not a lost one.
    virtual ScreenChanges PeekChanges() { return {}; }

    // Takes one picture of the whole screen. The pixels stay valid until the
    // next Grab or the grabber's end. `changes` tells what changed since the
    // last successful Grab (kUnknown for the first). On failure `error` says
    // why.
    virtual bool Grab(GrabbedPixels& pixels, ScreenChanges& changes, std::string& error) = 0;

    // The screen's source went away for good (the screen cast ended): every
    // Grab fails, saying why, until screen capture is started again.
    virtual bool Gone() { return false; }

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

class PortalSession;

// The screen-cast portal's grabber while the portal is asked for it: the
// handshake asks for every monitor, with the restore token kept from the
// last time so that an allowed capture is not asked for again. It runs on a
// thread of its own, since a permission dialog waits for as long as the user
// takes, and the grabber is made once the portal has answered.
class PortalStart {
  public:
    // Begins the handshake; `answered` is called on its thread once the
    // portal has answered, either way.
    static std::unique_ptr<PortalStart> Begin(std::function<void()> answered);
    // A handshake still waiting for the user is given up.
    ~PortalStart();
    PortalStart(const PortalStart&) = delete;
    PortalStart& operator=(const PortalStart&) = delete;

    bool answered() const;
    void WaitForAnswer() const;
    // Once answered: the grabber with its PipeWire streams open, returned
    // once the first picture is there, or soon without it when the portal
    // told the monitors' sizes (grabs then fail, saying so, until the
    // compositor sends it). Else the null grabber, with `error` saying why:
    // no portal, a refusal, no picture.
    std::unique_ptr<ScreenGrabber> Finish(std::string& error);

    // The restore token's file and what it held at the start.
    struct Kept;
    PortalStart(std::unique_ptr<PortalSession> session, std::unique_ptr<Kept> kept);

  private:
    std::unique_ptr<PortalSession> session_;  // until Finish
    std::unique_ptr<Kept> kept_;
};

enum class ScreenBackend { kX11, kX11NoShm, kPortal, kNull };

// The backend screen capture uses: VEMO_SCREEN_BACKEND=x11|x11-noshm|portal|
// null when set, else the portal on a Wayland session (WAYLAND_DISPLAY set
// or XDG_SESSION_TYPE=wayland) and X11 otherwise.
ScreenBackend ChooseScreenBackend();
// As VEMO_SCREEN_BACKEND names it: "x11", "x11-noshm", "portal", "null".
const char* ScreenBackendName(ScreenBackend backend);

// ChooseScreenBackend() for a screen start, saying in the log when
// VEMO_SCREEN_BACKEND names none.
ScreenBackend ScreenBackendForStart();

// The grabber of `backend` (of ScreenBackendForStart() when not given), or
// the null grabber with the reason when it cannot be opened. `error` is empty
// when a screen can be grabbed.
std::unique_ptr<ScreenGrabber> OpenScreenGrabber(ScreenBackend backend, std::string& error);
std::unique_ptr<ScreenGrabber> OpenScreenGrabber(std::string& error);

}  // namespace vemo::screen
