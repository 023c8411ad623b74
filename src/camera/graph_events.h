#pragma once

// What the camera graph's bus carries to the window, and the lost-camera
// watchdog that posts there when a running camera goes quiet.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "camera/gst_ptr.h"

class QTimer;

namespace vemo {

// Frames a running graph has received, and when the last one came (steady
// clock; 0 before the first): every picture the camera sent, and those of
// them that could be used (whole, of the camera's format, decoded).
struct FrameArrivals {
    std::uint64_t frames = 0;
    std::int64_t last_frame_ns = 0;
    std::uint64_t usable = 0;
    std::int64_t last_usable_ns = 0;
};
// One of those counts, kept on a streaming thread.
struct AtomicArrivals {
    std::atomic<std::uint64_t> frames{0};
    std::atomic<std::int64_t> last_frame_ns{0};

    void Note(std::int64_t now_ns) {
        frames.fetch_add(1);
        last_frame_ns.store(now_ns);
    }
    void Reset() {
        frames.store(0);
        last_frame_ns.store(0);
    }
};

enum class GraphEventKind {
    kErrorAbort,  // the pipeline failed; code and detail say how
    kDeviceLost,  // the camera with `identity` went away or stopped delivering
    kDeviceBusy,  // the camera is held by another program
    // The camera goes on sending pictures, but none of them can be used
    // (broken, or not of its format); and when usable ones come back.
    kNoUsablePictures,
    kUsablePicturesAgain,
    // The recording's file has no more room (a full disk, a quota, the
    // file-size limit); detail says why. Its writer takes no more frames, and
    // the room held for its index is still there.
    kNoRoom,
};
struct GraphEvent {
    GraphEventKind kind = GraphEventKind::kErrorAbort;
    std::uint32_t code = 0;
    std::string identity;
    std::string detail;
    // The error came from the capture file's multiplexer or writer (a full
    // disk): that branch can no longer finish the file.
    bool from_file_writer = false;
};

// The code shown for a GStreamer error: 0x8047DDCC, DD the error domain
// (1 core, 2 library, 3 resource, 4 stream, 0 other) and CC its code.
std::uint32_t GraphErrorCode(const _GError* error);
// The code shown where no GStreamer error says more.
inline constexpr std::uint32_t kGraphFailure = 0x80004005;

// The lost-camera check: a running preview that has delivered no frame for
// this long counts as a lost camera. At least two seconds, or eight frame
// periods; a camera gets five seconds for its first frame.
std::int64_t FrameSilenceLimitNs(std::int64_t frame_period_ns, bool first_frame);

// Application messages the engine posts on the graph's own bus, so that every
// graph event reaches the window the same way.
inline constexpr char kDeviceLostMessage[] = "vemo-device-lost";
inline constexpr char kFramesStoppedMessage[] = "vemo-frames-stopped";
inline constexpr char kNoUsablePicturesMessage[] = "vemo-no-usable-pictures";
inline constexpr char kUsablePicturesAgainMessage[] = "vemo-usable-pictures-again";
inline constexpr char kNoRoomMessage[] = "vemo-no-room";

// Looks at the running graph's frame arrivals four times a second, on the
// thread that starts it (the window's), and posts kFramesStoppedMessage on
// `bus` once when frames stop: the message then reaches the window as every
// graph event does. A camera that goes on sending pictures none of which can
// be used is not a lost one: that is posted as kNoUsablePicturesMessage,
// and kUsablePicturesAgainMessage once a usable one comes.
class FrameWatchdog {
  public:
    FrameWatchdog();
    ~FrameWatchdog();
    FrameWatchdog(const FrameWatchdog&) = delete;
    FrameWatchdog& operator=(const FrameWatchdog&) = delete;

    void Start(_GstBus* bus, std::int64_t frame_period_ns, std::function<FrameArrivals()> arrivals);
    void Stop();

  private:
    void Tick();

    std::function<FrameArrivals()> arrivals_;
    std::unique_ptr<QTimer> timer_;
    gst::BusRef bus_;
    std::int64_t run_started_ns_ = 0;
    std::int64_t period_ns_ = 0;
    bool reported_ = false;
    // No usable picture was reported; how many had come by then.
    bool none_usable_reported_ = false;
    std::uint64_t usable_at_report_ = 0;
};

}  // namespace vemo
