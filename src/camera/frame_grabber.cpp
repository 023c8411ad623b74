#include "camera/frame_grabber.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>

#include "camera/camera_events.h"
#include "imaging/camera_publish.h"
#include "imaging/engine_state.h"

namespace vemo {
namespace {

std::atomic<std::uint64_t> frames_delivered{0};
std::atomic<std::int64_t> last_frame_ns{0};
std::atomic<std::uint64_t> frames_copied{0};
std::atomic<std::uint64_t> frames_posted{0};

// The preview hand-over: one picture at a time. The streaming thread fills
// it only while the window has taken the previous one (pending clear), so in
// steady state the vector is reused and nothing is allocated per frame.
struct PreviewSlot {
    std::mutex mutex;
    PreviewPicture picture;
    std::atomic<bool> pending{false};
    std::atomic<std::int64_t> last_offer_ns{0};
};
PreviewSlot preview_slot;

// Rows that the frame actually delivers: the last row needs only its pixels,
// not its padding.
bool FrameIsWhole(const FrameView& frame) {
    if (frame.data == nullptr || frame.width <= 0 || frame.height <= 0) return false;
    const std::size_t row_bytes = static_cast<std::size_t>(frame.width) * 3;
    if (frame.stride < row_bytes) return false;
    const std::size_t needed =
        frame.stride * static_cast<std::size_t>(frame.height - 1) + row_bytes;
    return needed <= frame.size;
}

}  // namespace

std::int64_t SteadyNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool FrameGrabberCallback(const FrameView& frame) {
    frames_delivered.fetch_add(1, std::memory_order_relaxed);
    last_frame_ns.store(SteadyNowNs(), std::memory_order_relaxed);
    if (engine_state.frame_requested.load() == 0) return false;
    if (!FrameIsWhole(frame)) return false;

    std::unique_lock lock(frame_buffer.mutex, std::try_to_lock);
    // The publisher holds the buffer only after it took up the request.
    if (!lock.owns_lock()) return false;
    if (engine_state.frame_requested.load() == 0) return false;
    const std::size_t row_bytes = static_cast<std::size_t>(frame.width) * 3;
    const std::size_t padded = (row_bytes + 3) & ~std::size_t{3};
    const auto rows = static_cast<std::size_t>(frame.height);
    // Grows once to the camera's frame size; later frames reuse the storage.
    frame_buffer.pixels.resize(padded * rows);
    std::uint8_t* bottom_up = frame_buffer.pixels.data();
    for (std::size_t y = 0; y < rows; ++y) {
        std::memcpy(bottom_up + (rows - 1 - y) * padded, frame.data + y * frame.stride, row_bytes);
    }
    frame_buffer.width = frame.width;
    frame_buffer.height = frame.height;
    frame_buffer.fresh = true;
    lock.unlock();
    frames_copied.fetch_add(1, std::memory_order_relaxed);
    if (PostEngineEvent(kFrameReadyEvent)) frames_posted.fetch_add(1, std::memory_order_relaxed);
    return true;
}

void DiscardGrabbedFrame() {
    std::lock_guard lock(frame_buffer.mutex);
    frame_buffer.fresh = false;
}

void OfferPreviewFrame(const FrameView& frame) {
    if (preview_slot.pending.load()) return;
    // Large frames cost more to copy and draw: they come less often, down to
    // four a second at 1920 x 1080.
    const std::int64_t pixels = std::int64_t{frame.width} * frame.height;
    const std::int64_t interval_ms = std::clamp<std::int64_t>(
        kPreviewIntervalMs * pixels / (640 * 480), kPreviewIntervalMs, kPreviewIntervalMs * 5 / 2);
    const std::int64_t now = SteadyNowNs();
    if (now - preview_slot.last_offer_ns.load() < interval_ms * 1'000'000) return;
    if (!FrameIsWhole(frame)) return;
    {
        std::lock_guard lock(preview_slot.mutex);
        PreviewPicture& picture = preview_slot.picture;
        const std::size_t row_bytes = static_cast<std::size_t>(frame.width) * 3;
        picture.width = frame.width;
        picture.height = frame.height;
        picture.stride = row_bytes;
        picture.pixels.resize(row_bytes * static_cast<std::size_t>(frame.height));
        for (std::size_t y = 0; y < static_cast<std::size_t>(frame.height); ++y) {
            std::memcpy(picture.pixels.data() + y * row_bytes, frame.data + y * frame.stride,
                        row_bytes);
        }
    }
    preview_slot.last_offer_ns.store(now);
    preview_slot.pending.store(true);
    if (!PostEngineEvent(kPreviewFrameEvent)) preview_slot.pending.store(false);
}

void TakePreviewPicture(const std::function<void(const PreviewPicture&)>& use) {
    {
        std::lock_guard lock(preview_slot.mutex);
        if (preview_slot.picture.width > 0) use(preview_slot.picture);
    }
    preview_slot.pending.store(false);
}

GrabberCounters ReadGrabberCounters() {
    return {frames_delivered.load(), last_frame_ns.load(), frames_copied.load(),
            frames_posted.load()};
}

void ResetGrabberCounters() {
    frames_delivered.store(0);
    last_frame_ns.store(0);
    frames_copied.store(0);
    frames_posted.store(0);
}

}  // namespace vemo
