#include "devices/device_list.h"

#include <gst/gst.h>

#include <algorithm>
#include <tuple>

#include "devices/test_cameras.h"

namespace vemo {

// The monitor bus's sync handler, on whatever thread a provider posts from:
// arrivals and removals stay queued for the window, which is told to look.
struct DeviceCallbacks {
    static GstBusSyncReply OnDeviceMessage(GstBus*, GstMessage* message, gpointer data) {
        const auto* list = static_cast<const DeviceList*>(data);
        switch (GST_MESSAGE_TYPE(message)) {
            case GST_MESSAGE_DEVICE_ADDED:
            case GST_MESSAGE_DEVICE_REMOVED:
            case GST_MESSAGE_DEVICE_CHANGED:
                if (!list->watching_.load()) break;
                list->events_.Post(kDeviceChangeEvent);
                return GST_BUS_PASS;
            default:
                break;
        }
        // A handler that drops a message owns it.
        gst_message_unref(message);
        return GST_BUS_DROP;
    }
};

namespace {

// Real devices first, then test cameras; within each, by identity with
// numbers in numeric order (/dev/video2 before /dev/video10).
auto SortKey(const CaptureDevice& device) {
    const std::string& identity = device.identity;
    std::size_t digits = identity.size();
    while (digits > 0 && identity[digits - 1] >= '0' && identity[digits - 1] <= '9')
        --digits;
    const std::string number = identity.substr(digits);
    return std::make_tuple(identity.starts_with("test-camera:"), identity.substr(0, digits),
                           number.size(), number);
}

// Cameras are V4L2 devices, whose controls the engine drives itself.
// PipeWire's device provider lists the same cameras again as its own nodes,
// and the one in Debian 12 (0.3.65) frees a proxy twice when it is stopped
// (seen at the engine's close on a desktop running PipeWire), so the monitor
// leaves it out.
void LeaveOutPipeWireProvider() {
    GstPluginFeature* feature =
        gst_registry_lookup_feature(gst_registry_get(), "pipewiredeviceprovider");
    if (feature == nullptr) return;
    gst_plugin_feature_set_rank(feature, GST_RANK_NONE);
    gst_object_unref(feature);
}

}  // namespace

gst::BusRef DeviceList::MonitorBus() const {
    if (!device_monitor_) return {};
    return gst::BusRef::Adopt(gst_device_monitor_get_bus(device_monitor_.get()));
}

// The monitor of video sources, started so that it follows hot-plug. A
// monitor that cannot start (no provider can) still lists by probing.
bool DeviceList::EnsureDeviceMonitor(std::string* why, CameraResult& result) {
    if (device_monitor_) return true;
    if (!EnsureGStreamer(why)) return false;
    for (CameraMessage& message : PlugTestCamerasFromEnvironment().messages) {
        result.Warn(std::move(message));
    }
    LeaveOutPipeWireProvider();
    GstDeviceMonitor* monitor = gst_device_monitor_new();
    if (monitor == nullptr) {
        *why = "GStreamer has no device monitor";
        return false;
    }
    if (g_object_is_floating(monitor)) gst_object_ref_sink(monitor);
    device_monitor_ = gst::ObjectRef<GstDeviceMonitor>::Adopt(monitor);
    gst_device_monitor_add_filter(monitor, "Video/Source", nullptr);
    gst_bus_set_sync_handler(MonitorBus().get(), DeviceCallbacks::OnDeviceMessage, this, nullptr);
    gst_device_monitor_start(monitor);
    return true;
}

CameraResult DeviceList::List() {
    video_device_count_ = 0;
    for (auto& slot : video_device_table_)
        slot.reset();
    CameraResult result;
    std::string why;
    if (!EnsureDeviceMonitor(&why, result)) {
        result.ok = false;
        result.Warn({"Error Creating Device Enumerator", 0, why});
        return result;
    }
    std::vector<CaptureDevice> devices;
    gst::ObjectListPtr list{gst_device_monitor_get_devices(device_monitor_.get())};
    for (GList* item = list.get(); item != nullptr; item = item->next) {
        devices.push_back(DescribeDevice(GST_DEVICE(item->data)));
    }
    std::stable_sort(
        devices.begin(), devices.end(),
        [](const CaptureDevice& a, const CaptureDevice& b) { return SortKey(a) < SortKey(b); });
    for (const CaptureDevice& device : devices) {
        // Ten slots at most; a device without a name keeps its slot empty.
        if (video_device_count_ < kVideoDeviceSlots && device.name) {
            video_device_table_[static_cast<std::size_t>(video_device_count_)] = device;
        }
        ++video_device_count_;
    }
    return result;
}

const std::optional<CaptureDevice>& DeviceList::slot(int index) const {
    static const std::optional<CaptureDevice> none;
    if (index < 0 || index >= kVideoDeviceSlots) return none;
    return video_device_table_[static_cast<std::size_t>(index)];
}

std::vector<DeviceChange> DeviceList::TakeChanges() {
    std::vector<DeviceChange> changes;
    gst::BusRef bus = MonitorBus();
    if (!bus) return changes;
    while (gst::MessagePtr message{gst_bus_pop(bus.get())}) {
        switch (GST_MESSAGE_TYPE(message.get())) {
            case GST_MESSAGE_DEVICE_ADDED:
                changes.push_back({DeviceChange::Kind::kAdded, {}});
                break;
            case GST_MESSAGE_DEVICE_CHANGED:
                changes.push_back({DeviceChange::Kind::kChanged, {}});
                break;
            case GST_MESSAGE_DEVICE_REMOVED: {
                GstDevice* raw = nullptr;
                gst_message_parse_device_removed(message.get(), &raw);
                const gst::DeviceRef removed = gst::DeviceRef::Adopt(raw);
                changes.push_back(
                    {DeviceChange::Kind::kRemoved, DescribeDevice(removed.get()).identity});
                break;
            }
            default:
                break;
        }
    }
    return changes;
}

void DeviceList::Release() {
    watching_.store(false);
    if (device_monitor_) {
        gst_device_monitor_stop(device_monitor_.get());
        gst_bus_set_sync_handler(MonitorBus().get(), nullptr, nullptr, nullptr);
        device_monitor_.reset();
    }
    for (auto& slot : video_device_table_)
        slot.reset();
    video_device_count_ = 0;
}

}  // namespace vemo
