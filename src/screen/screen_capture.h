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
// a reader never sees half a picture. A picture whose screen pixels have not
// changed since the last grab is published again from the bytes kept of it,
// without scaling or coding.
//
// Everything that talks to the X server runs on a worker thread of its own,
// so a grab with its pauses never holds up the owner's thread (the window's).
// The owner calls every member from one thread. No Qt.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include "imaging/jpeg_to_gif.h"  // the range of GIF colour counts
#include "screen/screen_session.h"

namespace vemo {

namespace screen {
class CaptureCore;
class GrabWorker;
}  // namespace screen

// Screen capture of one display: started, grabbed at every tick of timer 2
// and stopped by its owner, which arms the timer and shows the failures.
// Nothing here reports or arms anything by itself.
class ScreenCapture {
  public:
    using GrabDone = std::function<void(ScreenGrabResult)>;

    // How long a start, a stop or the end waits for the worker, which may be
    // stuck in a call to an X server or a PipeWire stream that does not
    // answer. Past it the worker is left behind (said in the log) and capture
    // carries on without it.
    static constexpr std::chrono::milliseconds kDefaultAnswerTimeout{3000};

    ScreenCapture();
    // Ends a running grab as a stop does, but leaves the files as they are.
    ~ScreenCapture();
    ScreenCapture(const ScreenCapture&) = delete;
    ScreenCapture& operator=(const ScreenCapture&) = delete;

    // Opens the display, computes the geometry, allocates the buffers,
    // prepares the two screen jobs, turns capture on and shows the "on"
    // status picture. A division, i-mode width or colour count outside its
    // range is refused with `error`, and nothing changes. A start while
    // running begins afresh and
    // picks up a new screen size. When no screen can be grabbed (no display,
    // Wayland without XWayland, a server that does not answer, ...)
    // `grabbable` is false and `error` says why; capture is on all the same
    // and every grab publishes nothing. A running grab ends first, as at a
    // stop. A portal start returns at once, `pending` set: the portal's
    // handshake runs on a thread of its own (a permission dialog waits for
    // the user), grabs asked for meanwhile are skipped, and the answer
    // installs the grabber and grabs, its result going to the grab-done
    // callback.
    ScreenStartResult Start(const ScreenSettings& settings);

    // Releases what the start acquired, turns capture off, removes the i-mode
    // picture and every tile, and puts the "off" status pictures in place.
    // A running grab ends first: after the file it is writing, without
    // waiting out its pauses. A portal start still waiting for the user is
    // not withdrawn: the next start carries on with its question. Safe to
    // call at any time, twice in a row included. Returns 1.
    int Stop();

    // Takes one picture of the screen and publishes it, with screen_busy
    // raised in the shared status block for the whole grab, and waits for
    // it (and for a portal start's answer first). Does nothing while capture is off. A failure
    // publishes nothing further, leaves the pictures already published in place and lowers
    // screen_busy.
    ScreenGrabResult Grab();

    // Asks for a grab on the worker and returns at once. A request made
    // while a grab runs gives one more grab after it, however many are made.
    // The result goes to the grab-done callback, on the worker's thread.
    void RequestGrab();
    void set_grab_done(GrabDone done);

    // For a process that ends without closing its window (the X server went
    // away): a running grab is ended and the stop's files are put in place,
    // without a word to the X server. Does nothing while capture is off.
    void LeaveOffWithoutDisplay();

    bool screen_on() const;

    // A grab runs on the worker now (stuck in it, perhaps). For tests.
    bool grab_running() const;

    // The settings in force since the last start, with the i-mode width and
    // height the geometry computed. All 0 before the
    // first start.
    ScreenSettings settings() const;

    // The GIF colour count, unlike the sizes, applies from the next grab on
    // without a restart. A count outside 8 to 256 is ignored.
    void set_screen_gif_color(std::uint32_t colors);

    // The division whose tiles a stop before any start removes: the stored
    // one. Untold, every tile name goes.
    void set_division_before_start(std::uint32_t division);

    // Only while no grab runs.
    const ScreenSession& session() const;

    // Benchmarks set 0.
    void set_pause_ms(int milliseconds);
    void set_answer_timeout(std::chrono::milliseconds timeout) { answer_timeout_ = timeout; }

  private:
    // Ends a running grab and drops a requested one.
    void Quiesce(const char* doing);
    // Leaves the stuck worker and its core behind; a fresh pair carries on.
    void LeaveBehind(const char* doing);
    // What the portal's thread calls with its answer.
    std::function<void()> AnswerHook();

    std::shared_ptr<screen::CaptureCore> core_;
    std::unique_ptr<screen::GrabWorker> worker_;  // after core_: it goes first
    GrabDone done_;
    std::chrono::milliseconds answer_timeout_ = kDefaultAnswerTimeout;
    // A portal start waits for its answer (see Start).
    bool start_pending_ = false;
};

}  // namespace vemo
