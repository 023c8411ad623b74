#pragma once

// The Devices menu: one checkable item per listed camera (ids 16 to 25),
// the chosen camera checked.

#include <QString>

#include <functional>
#include <string>

#include "devices/device_list.h"

class QAction;
class QMenu;

namespace vemo {

inline constexpr int CMD_VIDEO_DEVICE_BASE = 16;

// Makes a menu item that sends command `id`.
using MakeMenuItem = std::function<QAction*(QMenu* menu, int id, const QString& text)>;

// Empties `menu` and, when `list` has devices, puts an item for each filled
// slot (id 16 + slot) and a separator. Items are enabled when `enabled`.
void FillDevicesMenu(QMenu* menu, const DeviceList& list, const std::string& chosen_identity,
                     bool enabled, const MakeMenuItem& make_item);

// Check marks over every filled slot (past any empty one): the camera with
// `chosen_identity` is checked.
void RefreshDeviceMarks(QMenu* menu, const DeviceList& list, const std::string& chosen_identity);

}  // namespace vemo
