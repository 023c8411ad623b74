#pragma once

// The frame grabber: the camera pipeline's appsink calls it on the
// streaming thread for every frame. While a frame is requested
// (frame_buffer().frame_requested) it copies the frame into the frame buffer
// and posts MSG_FRAME_READY; otherwise it touches nothing. It also hands a
// picture to the window's preview now and then, and notes when frames
// arrive, so a camera that stops delivering can be noticed.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "camera/camera_events.h"
#include "camera/camera_publish.h"

namespace vemo {

// One delivered frame: top-down blue-green-red rows of `stride` bytes.
struct FrameView {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;  // bytes readable at data
    int width = 0;
    int height = 0;
    std::size_t stride = 0;
    // May answer a frame request: false for a Motion JPEG picture that was
    // not seen to decode to its end.
    bool publishable = true;
};

// The preview picture the window draws: top-down blue-green-red rows.
struct PreviewPicture {
    int width = 0;
    int height = 0;
    std::size_t stride = 0;
    std::vector<std::uint8_t> pixels;
};

// Counts of the running preview, for the lost-camera check and tests.
struct GrabberCounters {
    std::uint64_t frames = 0;         // delivered since the last reset
    std::int64_t last_frame_ns = 0;   // steady clock; 0 before the first
    std::uint64_t frames_copied = 0;  // copies into the frame buffer
    std::uint64_t frames_posted = 0;  // MSG_FRAME_READY posted
};

// Preview pictures come at most every kPreviewIntervalMs (longer for frames
// larger than 640 x 480, up to two and a half times).
inline constexpr int kPreviewIntervalMs = 100;

class FrameGrabber {
  public:
    // Posts MSG_FRAME_READY and the preview event to `events`.
    explicit FrameGrabber(const EventTarget& events) : events_(events) {}
    FrameGrabber(const FrameGrabber&) = delete;
    FrameGrabber& operator=(const FrameGrabber&) = delete;

    FrameBuffer& frame_buffer() { return frame_buffer_; }

    // Copies `frame` into the frame buffer when a frame is requested and
    // posts MSG_FRAME_READY. The buffer is sized for the frame, however large:
    // bottom row first, rows padded to 4 bytes, never cut. A frame whose rows
    // do not fit in what was delivered is skipped and the request stays open.
    // Never waits for the publisher: while it holds the buffer the frame is
    // skipped, since the request it serves is being answered. Returns true
    // when copied.
    bool FrameGrabberCallback(const FrameView& frame);

    // A grabbed frame may still wait for its MSG_FRAME_READY when the preview
    // stops; this makes sure it is not published after the off pictures.
    void DiscardGrabbedFrame();

    // Offers `frame` to the preview, only once the window has taken the last
    // picture, so a busy window never falls behind. Posts kPreviewFrameEvent.
    void OfferPreviewFrame(const FrameView& frame);
    // Whether the camera's next frame is of any use, asked before it is
    // decoded and converted: a picture is requested, the preview (when
    // `preview`) is ready for its next picture, or no frame has come through
    // for a while (the lost-camera check counts the frames that do). The
    // others are not worth decoding: a 1080p camera sends thirty a second,
    // the preview draws four and one a second is published.
    bool WantsFrame(bool preview) const;
    // Gives the latest preview picture to `use` (on the window's thread) and
    // lets the next one come.
    void TakePreviewPicture(const std::function<void(const PreviewPicture&)>& use);

    GrabberCounters ReadGrabberCounters() const;
    void ResetGrabberCounters();

  private:
    const EventTarget& events_;
    FrameBuffer frame_buffer_;

    std::atomic<std::uint64_t> frames_delivered_{0};
    std::atomic<std::int64_t> last_frame_ns_{0};
    std::atomic<std::uint64_t> frames_copied_{0};
    std::atomic<std::uint64_t> frames_posted_{0};

    // The preview hand-over: one picture at a time. The streaming thread
    // fills it only while the window has taken the previous one (pending
    // clear), so in steady state nothing is allocated per frame.
    std::mutex preview_mutex_;
    PreviewPicture preview_;
    std::atomic<bool> preview_pending_{false};
    std::atomic<std::int64_t> last_offer_ns_{0};
    std::atomic<std::int64_t> preview_interval_ns_{0};  // for the last frame size
};

// Steady-clock nanoseconds, as the counters use them.
std::int64_t SteadyNowNs();

}  // namespace vemo
