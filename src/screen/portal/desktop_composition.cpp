#include "screen/portal/desktop_composition.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <cstring>

namespace vemo::screen {
namespace {

// More regions than this kept between two grabs are one rectangle around
// them all.
constexpr std::size_t kKeptRegions = 32;

constexpr PixelLayout kBgrx{32, false, 0xff0000u, 0xff00u, 0xffu};

// Ends are summed in 64 bits: rectangles come from the compositor, and a
// place near the end of int plus a width would overflow.
std::int64_t End(int start, int extent) {
    return std::int64_t{start} + extent;
}

// An extent between two ends, at most what int holds.
int Extent(std::int64_t from, std::int64_t to) {
    return static_cast<int>(std::min<std::int64_t>(to - from, INT_MAX));
}

SourceRect Intersect(SourceRect a, SourceRect b) {
    const int left = std::max(a.x, b.x);
    const int top = std::max(a.y, b.y);
    const std::int64_t right = std::min(End(a.x, a.width), End(b.x, b.width));
    const std::int64_t bottom = std::min(End(a.y, a.height), End(b.y, b.height));
    if (right <= left || bottom <= top) return {};
    return {left, top, Extent(left, right), Extent(top, bottom)};
}

// Picture coordinates must stay within int with room for a width added.
constexpr std::int64_t kFarthest = std::int64_t{1} << 28;

// One monitor on one axis of PhysicalPlaces: its start and extent in the
// layout, its extent in pixels, and its span across the other axis in the
// layout.
struct AxisPlace {
    std::int64_t start = 0;
    std::int64_t logical_extent = 0;
    std::int64_t extent = 0;
    std::int64_t across_start = 0;
    std::int64_t across_end = 0;
};

// The picture coordinate of each monitor's start on one axis. A monitor
// goes after those that end before it in the layout and share some of its
// span across (its row or column): monitors of other rows are kept apart by
// the other axis already.
std::vector<std::int64_t> PhysicalStarts(const std::vector<AxisPlace>& places) {
    const std::size_t count = places.size();
    std::vector<std::size_t> order(count);
    for (std::size_t i = 0; i < count; ++i)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&places](std::size_t a, std::size_t b) {
        return places[a].start < places[b].start;
    });
    const std::int64_t origin = count > 0 ? places[order.front()].start : 0;
    std::vector<std::int64_t> placed(count, 0);
    for (std::size_t k = 0; k < count;) {
        // Monitors that start together in the layout start together in the
        // picture, at the farthest any of them must.
        std::size_t group_end = k;
        std::int64_t group_at = 0;
        for (; group_end < count && places[order[group_end]].start == places[order[k]].start;
             ++group_end) {
            const AxisPlace& it = places[order[group_end]];
            // Nothing before it: as far from the layout's start as in the layout.
            std::int64_t at = it.start - origin;
            for (std::size_t before = 0; before < k; ++before) {
                const AxisPlace& other = places[order[before]];
                const std::int64_t end = other.start + other.logical_extent;
                const bool same_row =
                    other.across_start < it.across_end && it.across_start < other.across_end;
                if (end > it.start || !same_row) continue;
                at = std::max(at, placed[order[before]] + other.extent + (it.start - end));
            }
            group_at = std::max(group_at, at);
        }
        for (; k < group_end; ++k)
            placed[order[k]] = std::clamp<std::int64_t>(group_at, 0, kFarthest);
    }
    return placed;
}

}  // namespace

std::vector<SourceRect> PhysicalPlaces(std::span<const SourceRect> logical,
                                       std::span<const SourceRect> physical) {
    const std::size_t count = std::min(logical.size(), physical.size());
    std::vector<AxisPlace> across_x, across_y;
    for (std::size_t i = 0; i < count; ++i) {
        const SourceRect& place = logical[i];
        const std::int64_t width = std::max(physical[i].width, 0);
        const std::int64_t height = std::max(physical[i].height, 0);
        // An unknown logical size: the monitor is taken as unscaled.
        const std::int64_t logical_width = place.width > 0 ? place.width : width;
        const std::int64_t logical_height = place.height > 0 ? place.height : height;
        across_x.push_back({place.x, logical_width, width, place.y, place.y + logical_height});
        across_y.push_back({place.y, logical_height, height, place.x, place.x + logical_width});
    }
    const std::vector<std::int64_t> left = PhysicalStarts(across_x);
    const std::vector<std::int64_t> top = PhysicalStarts(across_y);
    std::vector<SourceRect> places;
    for (std::size_t i = 0; i < count; ++i) {
        places.push_back({static_cast<int>(left[i]), static_cast<int>(top[i]),
                          std::max(physical[i].width, 0), std::max(physical[i].height, 0)});
    }
    return places;
}

SourceRect DesktopBounds(std::span<const SourceRect> monitors) {
    bool any = false;
    int left = 0, top = 0;
    std::int64_t right = 0, bottom = 0;
    for (const SourceRect& m : monitors) {
        if (m.width <= 0 || m.height <= 0) continue;
        left = any ? std::min(left, m.x) : m.x;
        top = any ? std::min(top, m.y) : m.y;
        right = any ? std::max(right, End(m.x, m.width)) : End(m.x, m.width);
        bottom = any ? std::max(bottom, End(m.y, m.height)) : End(m.y, m.height);
        any = true;
    }
    return {left, top, Extent(left, right), Extent(top, bottom)};
}

void PlaceFrame(const GrabbedPixels& frame, SourceRect part, int x, int y, std::uint8_t* desktop,
                int desktop_width, int desktop_height, std::size_t desktop_stride) {
    if (frame.data == nullptr || desktop == nullptr) return;
    // Clipped to the frame, then, moved to the desktop, to the desktop.
    const SourceRect in_frame = Intersect(part, {0, 0, frame.width, frame.height});
    const SourceRect on_desktop =
        Intersect({x + in_frame.x, y + in_frame.y, in_frame.width, in_frame.height},
                  {0, 0, desktop_width, desktop_height});
    if (on_desktop.width <= 0) return;
    // The clipped part as a picture of its own, converted where it goes.
    const int from_x = on_desktop.x - x, from_y = on_desktop.y - y;
    GrabbedPixels clipped = frame;
    clipped.data = frame.data + frame.stride * static_cast<std::size_t>(from_y) +
                   static_cast<std::size_t>(frame.layout.bits_per_pixel / 8) *
                       static_cast<std::size_t>(from_x);
    clipped.width = on_desktop.width;
    clipped.height = on_desktop.height;
    ConvertToBgrx(clipped,
                  desktop + desktop_stride * static_cast<std::size_t>(on_desktop.y) +
                      4 * static_cast<std::size_t>(on_desktop.x),
                  desktop_stride);
}

bool DesktopFrames::LayOut(const std::vector<SourceRect>& monitors) {
    SourceRect bounds = DesktopBounds(monitors);
    const bool fits = std::int64_t{bounds.width} * bounds.height <= kMostDesktopPixels;
    if (!fits) bounds = {};
    monitors_.clear();
    for (const SourceRect& m : monitors) {
        if (fits) monitors_.push_back({m.x - bounds.x, m.y - bounds.y, m.width, m.height});
    }
    width_ = bounds.width;
    height_ = bounds.height;
    picture_.assign(static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_) * 4, 0);
    taken_ = false;
    fresh_ = false;
    unknown_ = true;
    regions_.clear();
    return fits;
}

void DesktopFrames::NoteChange(SourceRect rect) {
    if (unknown_ || rect.width <= 0 || rect.height <= 0) return;
    regions_.push_back(rect);
    if (regions_.size() > kKeptRegions) {
        SourceRect all;
        for (const SourceRect& r : regions_)
            all = DesktopBounds(std::array{all, r});
        regions_.assign(1, all);
    }
}

void DesktopFrames::Place(std::size_t index, const GrabbedPixels& frame,
                          const std::vector<SourceRect>* damage) {
    if (index >= monitors_.size()) return;
    const SourceRect place = monitors_[index];
    // The part of the frame that fits the monitor's place.
    const SourceRect usable{0, 0, std::min(frame.width, place.width),
                            std::min(frame.height, place.height)};
    const std::size_t stride = static_cast<std::size_t>(width_) * 4;
    fresh_ = true;
    if (damage == nullptr) {
        PlaceFrame(frame, usable, place.x, place.y, picture_.data(), width_, height_, stride);
        unknown_ = true;
        regions_.clear();
        return;
    }
    for (const SourceRect& d : *damage) {
        const SourceRect part = Intersect(d, usable);
        if (part.width <= 0) continue;
        PlaceFrame(frame, part, place.x, place.y, picture_.data(), width_, height_, stride);
        NoteChange({place.x + part.x, place.y + part.y, part.width, part.height});
    }
}

ScreenChanges DesktopFrames::Peek() const {
    ScreenChanges changes;
    if (!taken_ || (fresh_ && unknown_)) return changes;
    if (!fresh_) {
        changes.kind = ScreenChanges::Kind::kNothing;
        return changes;
    }
    changes.kind = ScreenChanges::Kind::kRegions;
    changes.regions = regions_;
    return changes;
}

ScreenChanges DesktopFrames::Take(std::uint8_t* out) {
    ScreenChanges changes = Peek();
    const std::size_t stride = static_cast<std::size_t>(width_) * 4;
    if (changes.kind == ScreenChanges::Kind::kUnknown) {
        std::memcpy(out, picture_.data(), picture_.size());
    } else if (changes.kind == ScreenChanges::Kind::kRegions) {
        const GrabbedPixels kept{picture_.data(), width_, height_, stride, kBgrx};
        for (const SourceRect& r : changes.regions)
            PlaceFrame(kept, r, 0, 0, out, width_, height_, stride);
    }
    taken_ = true;
    fresh_ = false;
    unknown_ = false;
    regions_.clear();
    return changes;
}

}  // namespace vemo::screen
