#pragma once

// The video capture devices GStreamer's device monitor knows (class
// "Video/Source", the test cameras included): listed into ten slots, and
// followed as they arrive and go away. Everything here runs on the
// user-interface thread except the monitor's own posting; nothing is shown.

#include <array>
#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "camera/camera_events.h"
#include "camera/camera_result.h"
#include "camera/capture_device.h"
#include "camera/gst_ptr.h"

struct _GstDeviceMonitor;

namespace vemo {

inline constexpr int kVideoDeviceSlots = 10;

// A device that came, went or changed since the last look.
struct DeviceChange {
    enum class Kind { kAdded, kRemoved, kChanged };
    Kind kind = Kind::kAdded;
    std::string identity;
};

class DeviceList {
  public:
    DeviceList() = default;
    ~DeviceList() { Release(); }
    DeviceList(const DeviceList&) = delete;
    DeviceList& operator=(const DeviceList&) = delete;

    // Device arrivals and removals are posted here as kDeviceChangeEvent.
    EventTarget& events() { return events_; }

    // Lists the devices afresh: real devices first, then test cameras. Slot i
    // holds the i-th device when it has a readable name; a nameless device
    // keeps its slot empty. Fails (with the table empty) when no device
    // enumerator can be made.
    CameraResult List();
    const std::optional<CaptureDevice>& slot(int index) const;
    // Devices the last listing went through, those without a slot included.
    int video_device_count() const { return video_device_count_; }

    // From now on arrivals and removals are posted.
    void Watch() { watching_.store(true); }
    // What came and went since the last call.
    std::vector<DeviceChange> TakeChanges();

    // Stops watching and forgets every device.
    void Release();

  private:
    friend struct DeviceCallbacks;  // the monitor bus's handler
    bool EnsureDeviceMonitor(std::string* why, CameraResult& result);
    gst::BusRef MonitorBus() const;

    EventTarget events_;
    gst::ObjectRef<_GstDeviceMonitor> device_monitor_;
    // Read on the threads that post device messages.
    std::atomic<bool> watching_{false};
    std::array<std::optional<CaptureDevice>, kVideoDeviceSlots> video_device_table_;
    int video_device_count_ = 0;
};

}  // namespace vemo
