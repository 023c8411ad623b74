#pragma once

// What a recording counts on the streaming threads, read on the window's
// thread: the camera's frames entering the capture branch, the frames and
// bytes reaching the file, and the file writer's furthest byte and end of
// stream.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

namespace vemo {

struct CaptureStats {
    std::uint64_t delivered = 0;  // frames written to the file
    std::uint64_t dropped = 0;    // camera frames of the recording that did not reach it
    std::uint64_t bytes = 0;      // coded bytes of the frames written
    std::uint64_t file_end = 0;   // the furthest byte the writer wrote
    bool finished = false;        // the writer saw the end of the stream
};

class CaptureCounters {
  public:
    // From now on frames count (the capture stream is released).
    void Start();
    // Frames entering the capture branch from now on are dropped.
    void Stop() { stopping_.store(true); }
    bool stopping() const { return stopping_.load(); }
    // The file has no more room: frames already in the branch go no further
    // than the multiplexer's door either.
    void NoRoom() {
        no_room_.store(true);
        Stop();
    }
    bool no_room() const { return no_room_.load(); }

    // On the streaming threads.
    void FrameIn(std::uint64_t offset, bool offset_valid);
    void FrameWritten(std::uint64_t bytes);
    void WriterAt(std::uint64_t end);
    void WriterFinished();
    // A frame has gone to the multiplexer: until then nothing it makes (the
    // header it writes even for no frame) reaches the file.
    bool frame_written() const { return delivered_.load() > 0; }
    std::uint64_t frames_written() const { return delivered_.load(); }

    // Waits up to `milliseconds` for the writer to finish.
    bool WaitFinished(int milliseconds);
    CaptureStats Read() const;
    void Reset();

  private:
    std::atomic<bool> counting_{false};
    std::atomic<bool> stopping_{false};
    std::atomic<bool> no_room_{false};
    std::atomic<std::uint64_t> frames_in_{0};
    std::atomic<std::uint64_t> first_offset_{0};
    std::atomic<std::uint64_t> last_offset_{0};
    std::atomic<bool> offsets_valid_{true};
    std::atomic<std::uint64_t> delivered_{0};
    std::atomic<std::uint64_t> bytes_{0};
    std::atomic<std::uint64_t> file_end_{0};
    mutable std::mutex mutex_;
    std::condition_variable finished_changed_;
    bool finished_ = false;
};

// The status line of a finished recording: "Captured 300 frames in 20.0 sec
// (0 dropped): 15.0 fps 3.456 Meg/sec" for 300 frames of 230,400 bytes in
// 20,000 ms. The thousands after the megabytes always take three digits
// (3,050,000 bytes a second is "3.050"), so the figure reads as a decimal.
std::string CaptureResultText(std::uint64_t delivered, std::uint64_t dropped,
                              std::int32_t duration_ms, std::uint64_t average_frame_bytes);

}  // namespace vemo
