#include "screen/desktop_composition.h"

#include <algorithm>

namespace vemo::screen {
namespace {

// `a` clipped to [0, width) x [0, height).
SourceRect Clip(SourceRect a, int width, int height) {
    const int x0 = std::max(a.x, 0), y0 = std::max(a.y, 0);
    const int x1 = std::min(a.x + a.width, width), y1 = std::min(a.y + a.height, height);
    if (x1 <= x0 || y1 <= y0) return {};
    return {x0, y0, x1 - x0, y1 - y0};
}

}  // namespace

SourceRect DesktopBounds(std::span<const SourceRect> monitors) {
    bool any = false;
    int left = 0, top = 0, right = 0, bottom = 0;
    for (const SourceRect& m : monitors) {
        if (m.width <= 0 || m.height <= 0) continue;
        left = any ? std::min(left, m.x) : m.x;
        top = any ? std::min(top, m.y) : m.y;
        right = any ? std::max(right, m.x + m.width) : m.x + m.width;
        bottom = any ? std::max(bottom, m.y + m.height) : m.y + m.height;
        any = true;
    }
    return {left, top, right - left, bottom - top};
}

void PlaceFrame(const GrabbedPixels& frame, SourceRect part, int x, int y, std::uint8_t* desktop,
                int desktop_width, int desktop_height, std::size_t desktop_stride) {
    if (frame.data == nullptr || desktop == nullptr) return;
    // Clipped to the frame, then, moved to the desktop, to the desktop.
    const SourceRect in_frame = Clip(part, frame.width, frame.height);
    const SourceRect on_desktop =
        Clip({x + in_frame.x, y + in_frame.y, in_frame.width, in_frame.height}, desktop_width,
             desktop_height);
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

}  // namespace vemo::screen
