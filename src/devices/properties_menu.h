#pragma once

// The camera's entries in the Properties menu: after the four fixed items,
// one entry for each thing the chosen camera lets the user adjust, with
// command ids 42 + position.

#include <array>
#include <optional>

#include "devices/devices_menu.h"

class QMenu;

namespace vemo {

inline constexpr int CMD_PROPERTY_PAGE_BASE = 42;
inline constexpr int kPropertyPageSlots = 16;  // ids 42 to 57

enum class PropertyEntry {
    kVideoFormat,
    kVideoSource,
    kVideoDisplay,
    kVideoCaptureFilter,
    kVideoCrossbar,
    kTvTuner,
    kSecondCrossbar,
    kVideoCapturePin,
    kVideoPreviewPin,
    kCount,
};

// Where each entry stands among the dynamic items; -1 when absent.
class PropertyEntryPosition {
  public:
    PropertyEntryPosition() { positions_.fill(-1); }
    void Set(PropertyEntry entry, int position) { positions_[Index(entry)] = position; }
    // The entry of command `id` (42 to 57), if one stands there.
    std::optional<PropertyEntry> EntryOf(int id) const;

  private:
    static std::size_t Index(PropertyEntry entry) { return static_cast<std::size_t>(entry); }
    std::array<int, static_cast<std::size_t>(PropertyEntry::kCount)> positions_{};
};

// What the chosen camera offers. Older-style driver dialogs do not exist
// here, and the preview is drawn from the capture stream: no separate pin.
struct PropertyOffer {
    bool camera = false;           // a camera is built
    bool controls = false;         // at least one adjustable control
    bool several_formats = false;  // more than one format to choose from
    bool several_inputs = false;   // more than one input
    bool tuner = false;            // one input is a tuner
};

// Removes the dynamic items of `menu` (at most ten, from position 4) and
// appends the entries `offer` allows, in their order.
PropertyEntryPosition BuildPropertyPagesMenu(QMenu* menu, const PropertyOffer& offer,
                                             const MakeMenuItem& make_item);

}  // namespace vemo
