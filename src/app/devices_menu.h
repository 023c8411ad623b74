#pragma once

// The camera entries of the Devices and Properties menus, made from the
// engine's lists.

#include <functional>
#include <vector>

#include "devices/property_entries.h"

class QMenu;

namespace vemo {

// Empties `menu` and, when there are entries, puts a checkable item for
// each and a separator. Items are enabled when `enabled`.
void FillDevicesMenu(QMenu* menu, const std::vector<MenuEntry>& entries, bool enabled,
                     const std::function<void(int)>& on_command);

// Removes the dynamic items of `menu` (at most ten, after its four fixed
// ones) and appends `entries` in their order.
void FillPropertyPagesMenu(QMenu* menu, const std::vector<MenuEntry>& entries,
                           const std::function<void(int)>& on_command);

}  // namespace vemo
