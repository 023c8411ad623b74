// One desktop picture composed of monitors' frames in the byte orders
// compositors hand out, checked pixel by pixel against where each monitor is.

#include "screen/portal/desktop_composition.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <tuple>
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

bool Overlap(const SourceRect& a, const SourceRect& b) {
    return a.x < b.x + b.width && b.x < a.x + a.width && a.y < b.y + b.height &&
           b.y < a.y + a.height;
}

// Monitors placed in logical units, each sending physical pixels: every
// monitor keeps its pixels, touching ones touch, none overlaps.
TEST(DesktopComposition, ScaledMonitorsKeepTheirPixelsAndTouchAsTheyDoOnTheDesk) {
    struct Case {
        const char* what;
        std::vector<SourceRect> logical, physical, want;
    };
    const Case cases[] = {
        {"a laptop at 200 % left of a monitor at 100 %",
         {{0, 0, 800, 600}, {800, 0, 1280, 720}},
         {{0, 0, 1600, 1200}, {0, 0, 1280, 720}},
         {{0, 0, 1600, 1200}, {1600, 0, 1280, 720}}},
        {"at 150 % right of and above one at 125 %, a row below them",
         {{-1024, 0, 1024, 576}, {0, 0, 1280, 720}, {0, 720, 1920, 1080}},
         {{0, 0, 1280, 720}, {0, 0, 1920, 1080}, {0, 0, 1920, 1080}},
         {{0, 0, 1280, 720}, {1280, 0, 1920, 1080}, {1280, 1080, 1920, 1080}}},
        {"unscaled with a gap: the layout itself",
         {{0, 0, 640, 480}, {700, 10, 320, 240}},
         {{0, 0, 640, 480}, {0, 0, 320, 240}},
         {{0, 0, 640, 480}, {700, 10, 320, 240}}},
        {"no logical size told: unscaled, side by side",
         {{0, 0, 0, 0}, {500, 0, 0, 0}},
         {{0, 0, 500, 400}, {0, 0, 300, 200}},
         {{0, 0, 500, 400}, {500, 0, 300, 200}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<SourceRect> placed = PhysicalPlaces(c.logical, c.physical);
        ASSERT_EQ(placed.size(), c.want.size());
        for (std::size_t i = 0; i < placed.size(); ++i) {
            EXPECT_EQ(std::tie(placed[i].x, placed[i].y, placed[i].width, placed[i].height),
                      std::tie(c.want[i].x, c.want[i].y, c.want[i].width, c.want[i].height))
                << "monitor " << i;
            for (std::size_t j = 0; j < i; ++j)
                EXPECT_FALSE(Overlap(placed[i], placed[j])) << i << " and " << j;
        }
    }
    // Positions far out stay within what a picture can address.
    const std::vector<SourceRect> far{{0, 0, 1, 1}, {2000000000, 0, 1, 1}};
    const std::vector<SourceRect> big{{0, 0, 2000000000, 1}, {0, 0, 2000000000, 1}};
    for (const SourceRect& place : PhysicalPlaces(far, big))
        EXPECT_LE(place.x, 1 << 28);
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
