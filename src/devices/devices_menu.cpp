#include "devices/devices_menu.h"

#include <gst/gst.h>

#include <QAction>
#include <QMenu>

#include <algorithm>
#include <atomic>
#include <tuple>
#include <vector>

#include "app/message_box.h"
#include "camera/camera_events.h"
#include "camera/camera_graph.h"
#include "devices/test_cameras.h"
#include "imaging/engine_state.h"
#include "settings/settings_store.h"

namespace vemo {

std::array<std::optional<CaptureDevice>, kVideoDeviceSlots> video_device_table;
int video_device_count = 0;

namespace {

constexpr char kNoCamera[] = "カメラが見つかりません";

DevicesMenuHooks menu_hooks;
gst::ObjectRef<GstDeviceMonitor> device_monitor;
// Read on the threads that post device messages.
std::atomic<bool> watching{false};

// The monitor bus's sync handler, on whatever thread a provider posts from:
// arrivals and removals stay queued for the window, which is told to look.
GstBusSyncReply OnDeviceMessage(GstBus*, GstMessage* message, gpointer) {
    switch (GST_MESSAGE_TYPE(message)) {
        case GST_MESSAGE_DEVICE_ADDED:
        case GST_MESSAGE_DEVICE_REMOVED:
        case GST_MESSAGE_DEVICE_CHANGED:
            if (!watching.load()) return GST_BUS_DROP;
            PostEngineEvent(kDeviceChangeEvent);
            return GST_BUS_PASS;
        default:
            return GST_BUS_DROP;
    }
}

gst::BusRef MonitorBus() {
    if (!device_monitor) return {};
    return gst::BusRef::Adopt(gst_device_monitor_get_bus(device_monitor.get()));
}

// The monitor of video sources, started so that it follows hot-plug. A
// monitor that cannot start (no provider can) still lists by probing.
bool EnsureDeviceMonitor(std::string* why) {
    if (device_monitor) return true;
    if (!EnsureGStreamer(why)) return false;
    PlugTestCamerasFromEnvironment();
    GstDeviceMonitor* monitor = gst_device_monitor_new();
    if (monitor == nullptr) {
        *why = "GStreamer has no device monitor";
        return false;
    }
    if (g_object_is_floating(monitor)) gst_object_ref_sink(monitor);
    device_monitor = gst::ObjectRef<GstDeviceMonitor>::Adopt(monitor);
    gst_device_monitor_add_filter(monitor, "Video/Source", nullptr);
    gst_bus_set_sync_handler(MonitorBus().get(), OnDeviceMessage, nullptr, nullptr);
    gst_device_monitor_start(monitor);
    return true;
}

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

std::vector<CaptureDevice> ListDevices() {
    std::vector<CaptureDevice> devices;
    GList* list = gst_device_monitor_get_devices(device_monitor.get());
    for (GList* item = list; item != nullptr; item = item->next) {
        devices.push_back(DescribeDevice(GST_DEVICE(item->data)));
    }
    g_list_free_full(list, gst_object_unref);
    std::stable_sort(
        devices.begin(), devices.end(),
        [](const CaptureDevice& a, const CaptureDevice& b) { return SortKey(a) < SortKey(b); });
    return devices;
}

QAction* DeviceItem(int id) {
    if (menu_hooks.menu == nullptr) return nullptr;
    for (QAction* item : menu_hooks.menu->actions()) {
        if (item->data().toInt() == id && !item->isSeparator()) return item;
    }
    return nullptr;
}

bool IsChosen(const CaptureDevice& device) {
    return current_video_device && current_video_device->identity == device.identity;
}

// Check marks over every filled slot (past any empty one), then the chosen
// camera's name in the status bar.
void RefreshMarksAndStatus() {
    for (int slot = 0; slot < kVideoDeviceSlots; ++slot) {
        if (!video_device_table[slot]) continue;
        if (QAction* item = DeviceItem(CMD_VIDEO_DEVICE_BASE + slot); item != nullptr) {
            item->setChecked(IsChosen(*video_device_table[slot]));
        }
    }
    if (menu_hooks.set_status_text) {
        menu_hooks.set_status_text(QString::fromStdString(camera_graph.device_name));
    }
}

}  // namespace

void SetDevicesMenuHooks(DevicesMenuHooks hooks) {
    menu_hooks = std::move(hooks);
}

void BuildDevicesMenu() {
    if (engine_state.devices_menu_current != 0) return;
    engine_state.devices_menu_current = 1;
    video_device_count = 0;
    if (menu_hooks.menu != nullptr) menu_hooks.menu->clear();
    for (auto& slot : video_device_table)
        slot.reset();

    std::string why;
    if (!EnsureDeviceMonitor(&why)) {
        ReportError("Error Creating Device Enumerator\n%s", why.c_str());
        return;
    }
    const std::vector<CaptureDevice> devices = ListDevices();
    if (devices.empty()) {
        if (engine_state.camera_on != 0) {
            ReportError("%s", kNoCamera);
            engine_state.camera_on = 0;
            WriteSetting(SETTING_CAMERA_CAPTURE, 0);
        }
        return;
    }
    int index = 0;
    for (const CaptureDevice& device : devices) {
        // Ten items at most (ids 16 to 25); a device without a name keeps its
        // slot and its id but gets no item.
        if (index < kVideoDeviceSlots && device.name) {
            if (menu_hooks.menu != nullptr && menu_hooks.make_item) {
                QAction* item = menu_hooks.make_item(menu_hooks.menu, CMD_VIDEO_DEVICE_BASE + index,
                                                     QString::fromStdString(*device.name));
                item->setCheckable(true);
                item->setChecked(IsChosen(device));
                item->setEnabled(engine_state.capturing == 0);
            }
            video_device_table[static_cast<std::size_t>(index)] = device;
        }
        ++index;
    }
    video_device_count = index;
    if (menu_hooks.menu != nullptr) menu_hooks.menu->addSeparator();
}

void ChooseDevices(const std::optional<CaptureDevice>& video) {
    // The chosen camera, still there and doing what it should, is left alone.
    const bool unchanged = video && current_video_device &&
                           video->identity == current_video_device->identity &&
                           !current_device_lost && camera_graph.video_capture &&
                           (engine_state.camera_on == 0 || engine_state.previewing != 0);
    if (!unchanged) {
        current_video_device = video;
        current_device_lost = false;
        if (engine_state.previewing != 0) HaltPreview();
        if (engine_state.preview_graph_built != 0 || engine_state.capture_graph_built != 0) {
            DismantleGraph();
        }
        ReleaseCameraFilters();
        BuildCameraFilters();
        if (engine_state.camera_on != 0) {
            BuildPreviewBranch();
            RunPreview();
        }
        if (menu_hooks.build_property_pages_menu) menu_hooks.build_property_pages_menu();
    }
    RefreshMarksAndStatus();
}

void ChooseDeviceAt(int slot) {
    if (slot < 0 || slot >= kVideoDeviceSlots || !video_device_table[slot]) return;
    // A copy: choosing may list the devices again.
    const std::optional<CaptureDevice> device = video_device_table[slot];
    ChooseDevices(device);
}

void ChooseCurrentDevice() {
    RefreshMarksAndStatus();
}

void ChooseDevicesByName(const std::string& name) {
    if (!name.empty()) {
        for (const auto& slot : video_device_table) {
            if (slot && (slot->identity == name || slot->name == name)) {
                const std::optional<CaptureDevice> device = slot;
                ChooseDevices(device);
                return;
            }
        }
    }
    if (video_device_count == 0) return;
    // The first listed device; a first device without a name is passed over.
    for (const auto& slot : video_device_table) {
        if (slot) {
            const std::optional<CaptureDevice> device = slot;
            ChooseDevices(device);
            return;
        }
    }
}

void WatchDeviceChanges() {
    watching.store(true);
}

void HandleDeviceChanges() {
    gst::BusRef bus = MonitorBus();
    if (!bus) return;
    while (gst::MessagePtr message{gst_bus_pop(bus.get())}) {
        switch (GST_MESSAGE_TYPE(message.get())) {
            case GST_MESSAGE_DEVICE_ADDED:
            case GST_MESSAGE_DEVICE_CHANGED:
                engine_state.devices_menu_current = 0;
                break;
            case GST_MESSAGE_DEVICE_REMOVED: {
                engine_state.devices_menu_current = 0;
                GstDevice* removed = nullptr;
                gst_message_parse_device_removed(message.get(), &removed);
                const CaptureDevice device = DescribeDevice(removed);
                if (removed != nullptr) gst_object_unref(removed);
                // Is this lost device our camera? Then the graph hears of it.
                if (IsCurrentCamera(device.identity)) PostDeviceLost(device.identity);
                break;
            }
            default:
                break;
        }
    }
}

void ReleaseDevices() {
    watching.store(false);
    if (device_monitor) {
        gst_device_monitor_stop(device_monitor.get());
        gst_bus_set_sync_handler(MonitorBus().get(), nullptr, nullptr, nullptr);
        device_monitor.reset();
    }
    for (auto& slot : video_device_table)
        slot.reset();
    video_device_count = 0;
    current_video_device.reset();
    current_device_lost = false;
    engine_state.devices_menu_current = 0;
}

}  // namespace vemo
