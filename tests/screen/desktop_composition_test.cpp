// One desktop picture composed of monitors' frames in the byte orders
// compositors hand out, checked pixel by pixel against where each monitor is.

#include "screen/desktop_composition.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace vemo::screen {
namespace {

struct Bgr {
    std::uint8_t b, g, r;
    bool operator==(const Bgr&) const = default;
};

// A frame whose pixels are stored in `order` (e.g. "RGBx": red first in
// memory), with `padding` spare bytes after each row. With `msb_first` the
// same bytes are described as a big-endian value, as an X server of the
// other byte order would describe them.
struct Frame {
    std::vector<std::uint8_t> bytes;
    GrabbedPixels pixels;

    Frame(int width, int height, const std::string& order, int padding, bool msb_first,
          Bgr (*colour)(int x, int y)) {
        const std::size_t stride = 4 * static_cast<std::size_t>(width) + padding;
        bytes.assign(stride * static_cast<std::size_t>(height), 0x5a);
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                const Bgr c = colour(x, y);
                std::uint8_t* p = bytes.data() + stride * y + 4 * x;
                for (int i = 0; i < 4; ++i) {
                    p[i] = order[i] == 'B'   ? c.b
                           : order[i] == 'G' ? c.g
                           : order[i] == 'R' ? c.r
                                             : 0xee;
                }
            }
        }
        pixels = {bytes.data(), width, height, stride, {32, msb_first, 0, 0, 0}};
        for (int i = 0; i < 4; ++i) {
            const std::uint32_t mask = 0xffu << (8 * (msb_first ? 3 - i : i));
            if (order[i] == 'R') pixels.layout.red_mask = mask;
            if (order[i] == 'G') pixels.layout.green_mask = mask;
            if (order[i] == 'B') pixels.layout.blue_mask = mask;
        }
    }
};

// Distinct colours per monitor and per pixel.
Bgr Left(int x, int y) {
    return {10, static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(y)};
}
Bgr Top(int x, int y) {
    return {20, static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(y)};
}
Bgr Below(int x, int y) {
    return {30, static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(y)};
}

struct Desktop {
    int width, height;
    std::size_t stride;
    std::vector<std::uint8_t> bytes;

    Desktop(int w, int h, int padding, std::uint8_t fill)
        : width(w),
          height(h),
          stride(4 * static_cast<std::size_t>(w) + padding),
          bytes(stride * static_cast<std::size_t>(h), fill) {}
    const std::uint8_t* at(int x, int y) const { return bytes.data() + stride * y + 4 * x; }
    Bgr bgr(int x, int y) const { return {at(x, y)[0], at(x, y)[1], at(x, y)[2]}; }
};

TEST(DesktopComposition, MonitorsSideBySideAndStackedFillTheirBoundingBoxAndNothingElse) {
    // A monitor left of the origin, one at it and one below that; the
    // corners the three leave free are gaps.
    //    x: -4   0     5
    //  y 0:     [Top  ]
    //    1: [Lf][Top  ]
    //    4: [Lf][Bl ]
    //    6:
    const Frame left(4, 4, "BGRx", 8, false, Left);   // BGRx with padded rows
    const Frame top(5, 3, "RGBx", 0, false, Top);     // RGBx
    const Frame below(3, 3, "xRGB", 4, true, Below);  // xRGB, described big-endian
    const std::array<SourceRect, 3> monitors{{{-4, 1, 4, 4}, {0, 0, 5, 3}, {0, 3, 3, 3}}};
    const SourceRect bounds = DesktopBounds(monitors);
    EXPECT_EQ(bounds.x, -4);
    EXPECT_EQ(bounds.y, 0);
    ASSERT_EQ(bounds.width, 9);
    ASSERT_EQ(bounds.height, 6);

    Desktop desktop(bounds.width, bounds.height, 12, 0);  // a fresh desktop is black
    const Frame* frames[] = {&left, &top, &below};
    for (int i = 0; i < 3; ++i) {
        const GrabbedPixels& f = frames[i]->pixels;
        PlaceFrame(f, {0, 0, f.width, f.height}, monitors[i].x - bounds.x, monitors[i].y - bounds.y,
                   desktop.bytes.data(), desktop.width, desktop.height, desktop.stride);
    }

    Bgr (*const colours[])(int, int) = {Left, Top, Below};
    for (int y = 0; y < desktop.height; ++y) {
        for (int x = 0; x < desktop.width; ++x) {
            Bgr want{0, 0, 0};
            for (int i = 0; i < 3; ++i) {
                const SourceRect& m = monitors[i];
                const int mx = x + bounds.x - m.x, my = y + bounds.y - m.y;
                if (mx >= 0 && mx < m.width && my >= 0 && my < m.height) want = colours[i](mx, my);
            }
            EXPECT_EQ(desktop.bgr(x, y), want) << "at " << x << "," << y;
        }
        // The row's padding is not part of the picture.
        for (std::size_t p = 4 * desktop.width; p < desktop.stride; ++p)
            EXPECT_EQ(desktop.bytes[desktop.stride * y + p], 0);
    }

    // No monitor, or none with area: an empty desktop.
    const std::array<SourceRect, 2> empty{{{3, 3, 0, 5}, {-1, -1, 4, 0}}};
    const SourceRect nothing = DesktopBounds(empty);
    EXPECT_EQ(nothing.width, 0);
    EXPECT_EQ(nothing.height, 0);
}

TEST(DesktopComposition, ADamagedPartIsClippedToTheFrameAndToTheDesktop) {
    // A 6 x 5 frame whose top-left corner lands at (-2, 3) of a 5 x 6
    // desktop; the damaged part reaches past the frame's right and bottom.
    const Frame frame(6, 5, "xBGR", 0, false, Top);
    const SourceRect part{1, 1, 9, 9};
    const int at_x = -2, at_y = 3;
    Desktop desktop(5, 6, 4, 0x77);
    PlaceFrame(frame.pixels, part, at_x, at_y, desktop.bytes.data(), desktop.width, desktop.height,
               desktop.stride);
    for (int y = 0; y < desktop.height; ++y) {
        for (int x = 0; x < desktop.width; ++x) {
            const int fx = x - at_x, fy = y - at_y;
            const bool placed =
                fx >= part.x && fy >= part.y && fx < frame.pixels.width && fy < frame.pixels.height;
            const Bgr want = placed ? Top(fx, fy) : Bgr{0x77, 0x77, 0x77};
            EXPECT_EQ(desktop.bgr(x, y), want) << "at " << x << "," << y;
        }
    }
    // Outside the desktop's rows nothing was written: the padding too.
    for (int y = 0; y < desktop.height; ++y) {
        for (std::size_t p = 4 * desktop.width; p < desktop.stride; ++p)
            EXPECT_EQ(desktop.bytes[desktop.stride * y + p], 0x77);
    }

    // A part wholly off the frame, or a frame wholly off the desktop, changes nothing.
    const std::vector<std::uint8_t> before = desktop.bytes;
    PlaceFrame(frame.pixels, {6, 0, 3, 3}, 0, 0, desktop.bytes.data(), desktop.width,
               desktop.height, desktop.stride);
    PlaceFrame(frame.pixels, {0, 0, 6, 5}, 5, 0, desktop.bytes.data(), desktop.width,
               desktop.height, desktop.stride);
    PlaceFrame(frame.pixels, {0, 0, 6, 5}, -6, -5, desktop.bytes.data(), desktop.width,
               desktop.height, desktop.stride);
    EXPECT_EQ(desktop.bytes, before);
}

}  // namespace
}  // namespace vemo::screen
