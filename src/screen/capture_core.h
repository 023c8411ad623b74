#pragma once

// The work of screen capture, done on the screen worker's thread: the start
// that opens the display and sizes the session, the grab, and the release.
// ScreenCapture drives it from its owner's thread; the values its owner may
// read while a grab runs (on/off, the settings) are guarded here.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "imaging/jpeg_to_gif.h"
#include "imaging/jpeg_writer.h"
#include "screen/grab_worker.h"
#include "screen/picture_cache.h"
#include "screen/screen_grabber.h"
#include "screen/screen_session.h"

namespace vemo::screen {

class CaptureCore {
  public:
    using GrabDone = std::function<void(ScreenGrabResult)>;

    CaptureCore();
    ~CaptureCore();
    CaptureCore(const CaptureCore&) = delete;
    CaptureCore& operator=(const CaptureCore&) = delete;

    // Opens the display, sizes the session, prepares the jobs, turns capture
    // on and shows the "on" status picture (see ScreenCapture::Start). With
    // `unanswered` set no display is opened: the start is one without a
    // screen, for that reason. On the portal the start only asks (`pending`):
    // the portal's answer does the rest (TakeAnswer).
    ScreenStartResult Start(const ScreenSettings& settings, const std::string& unanswered = {});

    // Gives back the grabber and the buffers; the geometry stays. Talks to
    // the X server. A portal start still waiting for the user is kept, not
    // withdrawn, for a desktop may not take a question withdrawn while its
    // dialog shows: the next start carries on with it, and otherwise it is
    // closed once answered. At the `ending` it goes too.
    void Release(bool ending = false);

    // Called on the portal's thread when a portal start has been answered.
    void set_on_answer(std::function<void()> on_answer) { on_answer_ = std::move(on_answer); }
    // On the worker, after the portal's answer: a start still wanted gets its
    // grabber and its first grab, which goes to the grab-done callback; one
    // no longer wanted is closed.
    void TakeAnswer();
    // Waits for a portal start's answer, for a caller that waits anyway.
    void WaitForStart() const;
    ScreenStartResult SizeSession(const ScreenSettings& requested, ScreenStartResult result);

    // Turns capture off and puts the files of a stop in place: the i-mode
    // picture and the tiles removed, the "off" pictures. Touches no display.
    void PublishStopped();

    ScreenGrabResult Grab();

    // Hands `result` to the grab-done callback, unless the grab was cut
    // short or the callback was taken away.
    void Deliver(ScreenGrabResult result);
    void set_grab_done(GrabDone done);

    // This core was left behind with a stuck worker: from now on it changes
    // nothing the engine shows (screen_busy included).
    void Disown();

    // Carries on where `other` (left behind) stopped: on/off, the settings,
    // the division a stop removes the tiles of, and the pause.
    void TakeOver(const CaptureCore& other);

    bool screen_on() const { return screen_on_.load(); }
    bool grab_running() const { return grab_running_.load(); }
    ScreenSettings settings() const;
    void set_screen_gif_color(std::uint32_t colors);
    void set_division_before_start(std::uint32_t division) {
        division_before_start_.store(static_cast<int>(division));
    }
    const ScreenSession& session() const { return session_; }
    void set_pause_ms(int milliseconds) { pause_ms_.store(milliseconds); }
    GrabInterrupt& interrupt() { return interrupt_; }

  private:
    ScreenSettings requested() const;
    bool GrabAndPublish(ScreenGrabResult& result, std::uint32_t gif_colors);
    // The grabber of an answered portal start, the session sized for it.
    void InstallAnswer();

    // A portal start that waits for its answer, and one a stop left waiting.
    std::unique_ptr<PortalStart> asking_;
    std::unique_ptr<PortalStart> left_asking_;
    std::function<void()> on_answer_;

    ScreenSession session_;
    JpegWriteJob jpeg_job_{};
    GifConvertJob gif_job_{};
    PictureCache cache_;
    PixelHasher hasher_;
    std::uint32_t cache_colors_ = 0;  // the GIF colour count the kept GIFs have
    std::string last_reported_;
    GrabInterrupt interrupt_;
    bool gone_left_off_ = false;  // the off pictures of a gone source are in place

    std::atomic<bool> screen_on_{false};
    std::atomic<bool> disowned_{false};
    std::atomic<bool> grab_running_{false};
    std::atomic<int> pause_ms_{kScreenGrabPauseMs};
    std::atomic<int> division_{0};  // of the last start; 0 before any
    // Whose tiles a stop before any start removes.
    std::atomic<int> division_before_start_{static_cast<int>(kMaxDivision)};

    mutable std::mutex settings_mutex_;
    ScreenSettings requested_;  // as the last start was given them
    ScreenSettings settings_;

    std::mutex done_mutex_;
    GrabDone done_;
};

}  // namespace vemo::screen
