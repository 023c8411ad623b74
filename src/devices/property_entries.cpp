#include "devices/property_entries.h"

namespace vemo {

std::vector<MenuEntry> DeviceEntries(const DeviceList& list, const std::string& chosen_identity) {
    std::vector<MenuEntry> entries;
    for (int slot = 0; slot < kVideoDeviceSlots; ++slot) {
        const std::optional<CaptureDevice>& device = list.slot(slot);
        if (!device) continue;
        entries.push_back({CMD_VIDEO_DEVICE_BASE + slot, device->name.value_or(""),
                           !chosen_identity.empty() && device->identity == chosen_identity});
    }
    return entries;
}

std::optional<PropertyEntry> PropertyEntryPosition::EntryOf(int id) const {
    if (id < CMD_PROPERTY_PAGE_BASE || id >= CMD_PROPERTY_PAGE_BASE + kPropertyPageSlots) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < positions_.size(); ++i) {
        if (positions_[i] == id - CMD_PROPERTY_PAGE_BASE) return static_cast<PropertyEntry>(i);
    }
    return std::nullopt;
}

PropertyEntryPosition PlacePropertyEntries(const PropertyOffer& offer,
                                           std::vector<MenuEntry>& entries) {
    PropertyEntryPosition positions;
    entries.clear();
    const auto append = [&](PropertyEntry entry, const char* text) {
        positions.Set(entry, static_cast<int>(entries.size()));
        entries.push_back({CMD_PROPERTY_PAGE_BASE + static_cast<int>(entries.size()), text});
    };
    if (!offer.camera) return positions;
    if (offer.controls) append(PropertyEntry::kVideoCaptureFilter, "Video Capture Filter...");
    if (offer.several_formats) append(PropertyEntry::kVideoCapturePin, "Video Capture Pin...");
    if (offer.several_inputs) append(PropertyEntry::kVideoCrossbar, "Video Crossbar...");
    if (offer.tuner) append(PropertyEntry::kTvTuner, "TV Tuner...");
    return positions;
}

}  // namespace vemo
