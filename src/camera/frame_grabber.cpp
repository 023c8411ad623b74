#include "camera/frame_grabber.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace vemo {
namespace {

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

bool FrameGrabber::FrameGrabberCallback(const FrameView& frame) {
    frames_delivered_.fetch_add(1, std::memory_order_relaxed);
    last_frame_ns_.store(SteadyNowNs(), std::memory_order_relaxed);
    FrameBuffer& buffer = frame_buffer_;
    if (!buffer.frame_requested.load()) return false;
    if (!frame.publishable || !FrameIsWhole(frame)) return false;

    std::unique_lock lock(buffer.mutex, std::try_to_lock);
    // The publisher holds the buffer only after it took up the request.
    if (!lock.owns_lock()) return false;
    if (!buffer.frame_requested.load()) return false;
    const std::size_t row_bytes = static_cast<std::size_t>(frame.width) * 3;
    const std::size_t padded = (row_bytes + 3) & ~std::size_t{3};
    const auto rows = static_cast<std::size_t>(frame.height);
    // Grows once to the camera's frame size; later frames reuse the storage.
    buffer.pixels.resize(padded * rows);
    std::uint8_t* bottom_up = buffer.pixels.data();
    for (std::size_t y = 0; y < rows; ++y) {
        std::memcpy(bottom_up + (rows - 1 - y) * padded, frame.data + y * frame.stride, row_bytes);
    }
    buffer.width = frame.width;
    buffer.height = frame.height;
    buffer.fresh = true;
    lock.unlock();
    frames_copied_.fetch_add(1, std::memory_order_relaxed);
    if (events_.Post(kFrameReadyEvent)) frames_posted_.fetch_add(1, std::memory_order_relaxed);
    return true;
}

void FrameGrabber::DiscardGrabbedFrame() {
    std::lock_guard lock(frame_buffer_.mutex);
    frame_buffer_.fresh = false;
}

bool FrameGrabber::WantsFrame(bool preview) const {
    // Well inside the lost-camera check's two seconds.
    constexpr std::int64_t kKeepAliveNs = 500'000'000;
    if (frame_buffer_.frame_requested.load()) return true;
    const std::int64_t now = SteadyNowNs();
    if (now - last_frame_ns_.load(std::memory_order_relaxed) >= kKeepAliveNs) return true;
    return preview && !preview_pending_.load() &&
           now - last_offer_ns_.load() >= preview_interval_ns_.load();
}

void FrameGrabber::OfferPreviewFrame(const FrameView& frame) {
    if (preview_pending_.load()) return;
    // Large frames cost more to copy and draw: they come less often, down to
    // four a second at 1920 x 1080.
    const std::int64_t pixels = std::int64_t{frame.width} * frame.height;
    const std::int64_t interval_ms = std::clamp<std::int64_t>(
        kPreviewIntervalMs * pixels / (640 * 480), kPreviewIntervalMs, kPreviewIntervalMs * 5 / 2);
    preview_interval_ns_.store(interval_ms * 1'000'000);
    const std::int64_t now = SteadyNowNs();
    if (now - last_offer_ns_.load() < interval_ms * 1'000'000) return;
    if (!FrameIsWhole(frame)) return;
    {
        std::lock_guard lock(preview_mutex_);
        const std::size_t row_bytes = static_cast<std::size_t>(frame.width) * 3;
        preview_.width = frame.width;
        preview_.height = frame.height;
        preview_.stride = row_bytes;
        preview_.pixels.resize(row_bytes * static_cast<std::size_t>(frame.height));
        for (std::size_t y = 0; y < static_cast<std::size_t>(frame.height); ++y) {
            std::memcpy(preview_.pixels.data() + y * row_bytes, frame.data + y * frame.stride,
                        row_bytes);
        }
    }
    last_offer_ns_.store(now);
    preview_pending_.store(true);
    if (!events_.Post(kPreviewFrameEvent)) preview_pending_.store(false);
}

void FrameGrabber::TakePreviewPicture(const std::function<void(const PreviewPicture&)>& use) {
    {
        std::lock_guard lock(preview_mutex_);
        if (preview_.width > 0) use(preview_);
    }
    preview_pending_.store(false);
}

GrabberCounters FrameGrabber::ReadGrabberCounters() const {
    return {frames_delivered_.load(), last_frame_ns_.load(), frames_copied_.load(),
            frames_posted_.load()};
}

void FrameGrabber::ResetGrabberCounters() {
    frames_delivered_.store(0);
    last_frame_ns_.store(0);
    frames_copied_.store(0);
    frames_posted_.store(0);
}

}  // namespace vemo
