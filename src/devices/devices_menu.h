#pragma once

// The video capture devices: listing them into the Devices menu (ids 16 to
// 25), choosing one, and following devices that arrive or go away. Devices
// come from GStreamer's device monitor (class "Video/Source"), the test
// cameras included. Everything here runs on the user-interface thread.

#include <QString>

#include <array>
#include <functional>
#include <optional>
#include <string>

#include "camera/capture_device.h"

class QAction;
class QMenu;

namespace vemo {

inline constexpr int CMD_VIDEO_DEVICE_BASE = 16;
inline constexpr int kVideoDeviceSlots = 10;

// Slot i is the device of menu item 16 + i, in list order; a device without
// a readable name keeps its slot empty and gets no item.
extern std::array<std::optional<CaptureDevice>, kVideoDeviceSlots> video_device_table;
// Devices the last listing went through, those without an item included.
extern int video_device_count;

// What the device list needs of the window, installed by the window.
struct DevicesMenuHooks {
    QMenu* menu = nullptr;  // the Devices menu
    // Makes a menu item that sends command `id`.
    std::function<QAction*(QMenu* menu, int id, const QString& text)> make_item;
    std::function<void(const QString& text)> set_status_text;
    // Rebuilds the Properties menu's device pages after a device change; the
    // property pages come with their own work and until then this is unset.
    std::function<void()> build_property_pages_menu;
};
void SetDevicesMenuHooks(DevicesMenuHooks hooks);

// Lists the devices into the menu unless it is current
// (engine_state.devices_menu_current). No device while the camera is on:
// "カメラが見つかりません", and the camera goes off, stored as 0.
void BuildDevicesMenu();

// Makes `video` the engine's camera: unless it is the camera already (and
// working), the graph is torn down and built again around it, and the
// preview runs when the camera is on. Then the check marks and the status
// text follow the chosen camera.
void ChooseDevices(const std::optional<CaptureDevice>& video);
// Command 16 + slot.
void ChooseDeviceAt(int slot);
// Commands 26 to 35: nothing is rebuilt; marks and status text are refreshed.
void ChooseCurrentDevice();
// The listed device whose identity or name is `name`, else the first listed
// device; nothing when none is listed.
void ChooseDevicesByName(const std::string& name);

// From now on device arrivals and removals reach the window as
// kDeviceChangeEvent; HandleDeviceChanges then takes them.
void WatchDeviceChanges();
// Marks the menu stale on any arrival or removal; the removal of the chosen
// camera while its preview is built goes to the graph as a device loss.
void HandleDeviceChanges();

// Stops watching and forgets every device (the window's close).
void ReleaseDevices();

}  // namespace vemo
