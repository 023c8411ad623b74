#pragma once

// What the Devices and Properties menus list, as plain entries: one per
// listed camera (ids 16 to 25, the chosen camera checked), and one per thing
// the chosen camera lets the user adjust (ids 42 + position). The window
// turns them into menu items; the engine keeps them with its state.

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "devices/device_list.h"

namespace vemo {

inline constexpr int CMD_VIDEO_DEVICE_BASE = 16;
inline constexpr int CMD_PROPERTY_PAGE_BASE = 42;
inline constexpr int kPropertyPageSlots = 16;  // ids 42 to 57

struct MenuEntry {
    int id = 0;
    std::string text;
    bool checked = false;
    bool operator==(const MenuEntry&) const = default;
};

// An entry for each filled slot of `list`; the camera with `chosen_identity`
// is checked.
std::vector<MenuEntry> DeviceEntries(const DeviceList& list, const std::string& chosen_identity);

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

// The entries `offer` allows, in their order, and where each stands.
PropertyEntryPosition PlacePropertyEntries(const PropertyOffer& offer,
                                           std::vector<MenuEntry>& entries);

}  // namespace vemo
