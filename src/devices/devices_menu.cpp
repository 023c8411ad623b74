#include "devices/devices_menu.h"

#include <QAction>
#include <QMenu>

namespace vemo {
namespace {

QAction* DeviceItem(QMenu* menu, int id) {
    for (QAction* item : menu->actions()) {
        if (item->data().toInt() == id && !item->isSeparator()) return item;
    }
    return nullptr;
}

bool IsChosen(const std::optional<CaptureDevice>& device, const std::string& chosen_identity) {
    return device && !chosen_identity.empty() && device->identity == chosen_identity;
}

}  // namespace

void FillDevicesMenu(QMenu* menu, const DeviceList& list, const std::string& chosen_identity,
                     bool enabled, const MakeMenuItem& make_item) {
    if (menu == nullptr) return;
    menu->clear();
    if (list.video_device_count() == 0) return;
    for (int slot = 0; slot < kVideoDeviceSlots; ++slot) {
        const std::optional<CaptureDevice>& device = list.slot(slot);
        if (!device) continue;
        QAction* item = make_item(menu, CMD_VIDEO_DEVICE_BASE + slot,
                                  QString::fromStdString(device->name.value_or("")));
        item->setCheckable(true);
        item->setChecked(IsChosen(device, chosen_identity));
        item->setEnabled(enabled);
    }
    menu->addSeparator();
}

void RefreshDeviceMarks(QMenu* menu, const DeviceList& list, const std::string& chosen_identity) {
    if (menu == nullptr) return;
    for (int slot = 0; slot < kVideoDeviceSlots; ++slot) {
        const std::optional<CaptureDevice>& device = list.slot(slot);
        if (!device) continue;
        if (QAction* item = DeviceItem(menu, CMD_VIDEO_DEVICE_BASE + slot); item != nullptr) {
            item->setChecked(IsChosen(device, chosen_identity));
        }
    }
}

}  // namespace vemo
