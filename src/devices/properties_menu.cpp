#include "devices/properties_menu.h"

#include <QAction>
#include <QMenu>

namespace vemo {
namespace {

// The fixed items before the dynamic ones: camera properties, a separator,
// screen properties, a separator.
constexpr int kFixedItems = 4;
constexpr int kRemovedAtMost = 10;

}  // namespace

std::optional<PropertyEntry> PropertyEntryPosition::EntryOf(int id) const {
    if (id < CMD_PROPERTY_PAGE_BASE || id >= CMD_PROPERTY_PAGE_BASE + kPropertyPageSlots) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < positions_.size(); ++i) {
        if (positions_[i] == id - CMD_PROPERTY_PAGE_BASE) return static_cast<PropertyEntry>(i);
    }
    return std::nullopt;
}

PropertyEntryPosition BuildPropertyPagesMenu(QMenu* menu, const PropertyOffer& offer,
                                             const MakeMenuItem& make_item) {
    PropertyEntryPosition positions;
    if (menu == nullptr) return positions;
    for (int removed = 0; removed < kRemovedAtMost; ++removed) {
        const QList<QAction*> items = menu->actions();
        if (items.size() <= kFixedItems) break;
        QAction* item = items[kFixedItems];
        menu->removeAction(item);
        item->deleteLater();
    }
    int position = 0;
    const auto append = [&](PropertyEntry entry, const char* text) {
        make_item(menu, CMD_PROPERTY_PAGE_BASE + position, QString::fromUtf8(text));
        positions.Set(entry, position++);
    };
    if (!offer.camera) return positions;
    if (offer.controls) append(PropertyEntry::kVideoCaptureFilter, "Video Capture Filter...");
    if (offer.several_formats) append(PropertyEntry::kVideoCapturePin, "Video Capture Pin...");
    if (offer.several_inputs) append(PropertyEntry::kVideoCrossbar, "Video Crossbar...");
    if (offer.tuner) append(PropertyEntry::kTvTuner, "TV Tuner...");
    return positions;
}

}  // namespace vemo
