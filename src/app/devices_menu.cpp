#include "app/devices_menu.h"

#include <QAction>
#include <QMenu>

#include "app/menus.h"

namespace vemo {
namespace {

// The fixed items before the dynamic ones: camera properties, a separator,
// screen properties, a separator.
constexpr int kFixedItems = 4;
constexpr int kRemovedAtMost = 10;

}  // namespace

void FillDevicesMenu(QMenu* menu, const std::vector<MenuEntry>& entries, bool enabled,
                     const std::function<void(int)>& on_command) {
    menu->clear();
    if (entries.empty()) return;
    for (const MenuEntry& entry : entries) {
        QAction* item =
            MakeCommandAction(menu, entry.id, QString::fromStdString(entry.text), on_command);
        item->setCheckable(true);
        item->setChecked(entry.checked);
        item->setEnabled(enabled);
    }
    menu->addSeparator();
}

void FillPropertyPagesMenu(QMenu* menu, const std::vector<MenuEntry>& entries,
                           const std::function<void(int)>& on_command) {
    for (int removed = 0; removed < kRemovedAtMost; ++removed) {
        const QList<QAction*> items = menu->actions();
        if (items.size() <= kFixedItems) break;
        QAction* item = items[kFixedItems];
        menu->removeAction(item);
        item->deleteLater();
    }
    for (const MenuEntry& entry : entries)
        MakeCommandAction(menu, entry.id, QString::fromUtf8(entry.text.c_str()), on_command);
}

}  // namespace vemo
