#include "camera/capture_counters.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

namespace vemo {

void CaptureCounters::Start() {
    Reset();
    counting_.store(true);
}

void CaptureCounters::Reset() {
    counting_.store(false);
    stopping_.store(false);
    no_room_.store(false);
    frames_in_.store(0);
    first_offset_.store(0);
    last_offset_.store(0);
    offsets_valid_.store(true);
    delivered_.store(0);
    bytes_.store(0);
    file_end_.store(0);
    std::lock_guard lock(mutex_);
    finished_ = false;
}

void CaptureCounters::FrameIn(std::uint64_t offset, bool offset_valid) {
    if (!counting_.load()) return;
    if (frames_in_.fetch_add(1) == 0) first_offset_.store(offset);
    if (!offset_valid) offsets_valid_.store(false);
    last_offset_.store(offset);
}

void CaptureCounters::FrameWritten(std::uint64_t bytes) {
    if (!counting_.load()) return;
    delivered_.fetch_add(1);
    bytes_.fetch_add(bytes);
}

void CaptureCounters::WriterAt(std::uint64_t end) {
    std::uint64_t seen = file_end_.load();
    while (end > seen && !file_end_.compare_exchange_weak(seen, end)) {
    }
}

void CaptureCounters::WriterFinished() {
    {
        std::lock_guard lock(mutex_);
        finished_ = true;
    }
    finished_changed_.notify_all();
}

bool CaptureCounters::WaitFinished(int milliseconds) {
    std::unique_lock lock(mutex_);
    return finished_changed_.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                      [this] { return finished_; });
}

CaptureStats CaptureCounters::Read() const {
    CaptureStats stats;
    stats.delivered = delivered_.load();
    stats.bytes = bytes_.load();
    stats.file_end = file_end_.load();
    // The camera numbers its frames: a gap is a frame it made that never
    // reached the branch; frames the branch took but did not write count too.
    const std::uint64_t frames_in = frames_in_.load();
    std::uint64_t produced = frames_in;
    if (offsets_valid_.load() && frames_in > 0 && last_offset_.load() >= first_offset_.load()) {
        produced = std::max(produced, last_offset_.load() - first_offset_.load() + 1);
    }
    stats.dropped = produced > stats.delivered ? produced - stats.delivered : 0;
    std::lock_guard lock(mutex_);
    stats.finished = finished_;
    return stats;
}

std::string CaptureResultText(std::uint64_t delivered, std::uint64_t dropped,
                              std::int32_t duration_ms, std::uint64_t average_frame_bytes) {
    double fps = 0;
    std::int32_t bytes_per_second = 0;
    if (duration_ms > 0) {
        fps = static_cast<double>(delivered) * 1000.0 / duration_ms;
        bytes_per_second =
            static_cast<std::int32_t>(static_cast<double>(delivered) / duration_ms *
                                      static_cast<double>(average_frame_bytes) * 1000.0);
    }
    const auto whole_fps = static_cast<std::int32_t>(fps);
    char text[160];
    std::snprintf(text, sizeof text,
                  "Captured %d frames in %d.%d sec (%d dropped): %d.%d fps %d.%03d Meg/sec",
                  static_cast<int>(delivered), duration_ms / 1000,
                  duration_ms / 100 - (duration_ms / 1000) * 10, static_cast<int>(dropped),
                  whole_fps, static_cast<std::int32_t>(fps * 10) - whole_fps * 10,
                  bytes_per_second / 1'000'000,
                  bytes_per_second / 1000 - (bytes_per_second / 1'000'000) * 1000);
    return text;
}

}  // namespace vemo
