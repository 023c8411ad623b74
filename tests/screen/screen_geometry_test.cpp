// The display-free parts of screen capture: geometry, tile names, the quarter
// turn, the scaler and the pixel conversions.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "screen/pixel_format.h"
#include "screen/screen_geometry.h"
#include "screen/screen_scaler.h"

namespace vemo::screen {
namespace {

struct GeometryRow {
    int screen_width, screen_height, division, imode_width;
    bool rotate;
    int tile_width, tile_height, w, h;
};

TEST(ScreenGeometry, MatchesTheGeometryTable) {
    const GeometryRow rows[] = {
        {1024, 768, 5, 160, false, 205, 154, 160, 120},
        {800, 600, 5, 160, false, 160, 120, 160, 120},
        {1280, 1024, 5, 160, false, 256, 205, 160, 128},
        {1280, 1024, 5, 150, true, 256, 205, 152, 124},
        {1024, 768, 3, 50, true, 342, 256, 52, 40},
        {1024, 768, 10, 200, false, 103, 77, 200, 149},
    };
    for (const GeometryRow& row : rows) {
        SCOPED_TRACE(std::to_string(row.screen_width) + "x" + std::to_string(row.screen_height) +
                     " D=" + std::to_string(row.division));
        const ScreenGeometry g = ComputeScreenGeometry(row.screen_width, row.screen_height, false,
                                                       row.rotate, row.division, row.imode_width);
        EXPECT_EQ(g.tile_width, row.tile_width);
        EXPECT_EQ(g.tile_height, row.tile_height);
        EXPECT_EQ(g.imode_width, row.w);
        EXPECT_EQ(g.imode_height, row.h);
        EXPECT_EQ(g.bitmap_width, row.w);
        EXPECT_EQ(g.bitmap_height, row.h);
    }
}

TEST(ScreenGeometry, DegenerateScreensStillGiveAPicture) {
    // A one-pixel-high screen: the tile shape would make H zero.
    const ScreenGeometry flat = ComputeScreenGeometry(4000, 1, false, false, 1, 200);
    EXPECT_GE(flat.imode_height, 1);
    const ScreenGeometry tiny = ComputeScreenGeometry(3, 2, false, false, 10, 50);
    EXPECT_EQ(tiny.tile_width, 1);
    EXPECT_EQ(tiny.tile_height, 1);
}

TEST(TileDigits, FollowTheGridOrderOfEachMode) {
    // Upright, D = 3: top-left 2 0, top-right 0 0, bottom-left 2 2.
    EXPECT_EQ(TileDigitsFor(0, 0, 3, false).first, 2);
    EXPECT_EQ(TileDigitsFor(0, 0, 3, false).second, 0);
    EXPECT_EQ(TileDigitsFor(0, 2, 3, false).first, 0);
    EXPECT_EQ(TileDigitsFor(0, 2, 3, false).second, 0);
    EXPECT_EQ(TileDigitsFor(2, 0, 3, false).first, 2);
    EXPECT_EQ(TileDigitsFor(2, 0, 3, false).second, 2);
    // Turned: top-left 0 0, top-right 0 2.
    EXPECT_EQ(TileDigitsFor(0, 0, 3, true).first, 0);
    EXPECT_EQ(TileDigitsFor(0, 2, 3, true).second, 2);
    // D = 1: one tile, 0 0, either way.
    EXPECT_EQ(TileDigitsFor(0, 0, 1, false).first, 0);
    EXPECT_EQ(TileDigitsFor(0, 0, 1, false).second, 0);
}

TEST(RotateQuarterClockwise, TurnsTheUprightPictureClockwise) {
    // 4 x 2 upright, bottom-up, each pixel tagged by its (x, y from the top).
    constexpr int kW = 4, kH = 2;
    std::vector<std::uint8_t> in(3 * kW * kH);
    for (int y = 0; y < kH; ++y) {
        for (int x = 0; x < kW; ++x) {
            std::uint8_t* p = &in[static_cast<std::size_t>(3 * ((kH - 1 - y) * kW + x))];
            p[0] = static_cast<std::uint8_t>(x);
            p[1] = static_cast<std::uint8_t>(y);
            p[2] = 7;
        }
    }
    std::vector<std::uint8_t> out(in.size(), 0xee);
    RotateQuarterClockwise(in.data(), kW, kH, out.data());
    // The result is kH wide and kW high; source (x, y) lands at column
    // kH - 1 - y of row x from the top.
    for (int y = 0; y < kH; ++y) {
        for (int x = 0; x < kW; ++x) {
            const int column = kH - 1 - y, row_from_top = x;
            const std::uint8_t* p =
                &out[static_cast<std::size_t>(3 * ((kW - 1 - row_from_top) * kH + column))];
            EXPECT_EQ(p[0], x);
            EXPECT_EQ(p[1], y);
            EXPECT_EQ(p[2], 7);
        }
    }
}

// A BGRX picture filled by a function, and the scaler's output read back.
struct TestImage {
    int width, height;
    std::vector<std::uint8_t> pixels;
    TestImage(int w, int h, std::uint8_t (*value)(int x, int y))
        : width(w), height(h), pixels(static_cast<std::size_t>(4 * w * h)) {
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                std::uint8_t* p = &pixels[static_cast<std::size_t>(4 * (y * w + x))];
                p[0] = p[1] = p[2] = value(x, y);
                p[3] = 0x55;
            }
        }
    }
    BgrxImage view() const {
        return {pixels.data(), width, height, static_cast<std::size_t>(4 * width)};
    }
};

struct Scaled {
    int width, height;
    std::size_t stride;
    std::vector<std::uint8_t> bytes;
    // Blue sample at (x, y from the top); all three equal for grey input.
    int at(int x, int y) const {
        return bytes[stride * static_cast<std::size_t>(height - 1 - y) +
                     3 * static_cast<std::size_t>(x)];
    }
};

Scaled Scale(const TestImage& image, SourceRect rect, int w, int h) {
    Scaled out{w, h, static_cast<std::size_t>((3 * w + 3) & ~3), {}};
    out.bytes.assign(out.stride * static_cast<std::size_t>(h), 0);
    PictureScaler scaler;
    scaler.Scale(image.view(), rect, w, h, out.bytes.data(), out.stride);
    return out;
}

TEST(PictureScaler, FlatColourStaysExactWhenShrinkingOrEnlarging) {
    const TestImage flat(37, 23, [](int, int) -> std::uint8_t { return 201; });
    for (auto [w, h] : {std::pair{5, 3}, std::pair{37, 23}, std::pair{160, 99}}) {
        const Scaled s = Scale(flat, {0, 0, 37, 23}, w, h);
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x)
                ASSERT_EQ(s.at(x, y), 201) << w << "x" << h << " at " << x << "," << y;
        }
    }
}

TEST(PictureScaler, ShrinkingAveragesTheCoveredArea) {
    // Columns alternate 0 and 200: halving averages each pair to 100.
    const TestImage stripes(8, 4, [](int x, int) -> std::uint8_t { return x % 2 ? 200 : 0; });
    const Scaled half = Scale(stripes, {0, 0, 8, 4}, 4, 2);
    for (int x = 0; x < 4; ++x)
        EXPECT_EQ(half.at(x, 0), 100);
    // 3 -> 2 columns: output 0 covers pixel 0 and half of pixel 1.
    const TestImage ramp(3, 1, [](int x, int) -> std::uint8_t { return x == 0 ? 0 : 90; });
    const Scaled thirds = Scale(ramp, {0, 0, 3, 1}, 2, 1);
    EXPECT_EQ(thirds.at(0, 0), 30);  // (0 * 1 + 90 * 0.5) / 1.5
    EXPECT_EQ(thirds.at(1, 0), 90);
}

TEST(PictureScaler, SameSizeCopiesExactly) {
    const TestImage image(
        9, 5, [](int x, int y) -> std::uint8_t { return static_cast<std::uint8_t>(x * 20 + y); });
    const Scaled s = Scale(image, {0, 0, 9, 5}, 9, 5);
    for (int y = 0; y < 5; ++y) {
        for (int x = 0; x < 9; ++x)
            EXPECT_EQ(s.at(x, y), x * 20 + y);
    }
}

TEST(PictureScaler, EnlargingInterpolatesBetweenNeighbours) {
    const TestImage pair(2, 1, [](int x, int) -> std::uint8_t { return x ? 200 : 0; });
    const Scaled s = Scale(pair, {0, 0, 2, 1}, 8, 1);
    // The screen's edge pixels repeat outwards; in between the ramp rises.
    EXPECT_EQ(s.at(0, 0), 0);
    EXPECT_EQ(s.at(7, 0), 200);
    for (int x = 1; x < 8; ++x)
        EXPECT_GE(s.at(x, 0), s.at(x - 1, 0));
    EXPECT_NEAR(s.at(3, 0), 75, 1);  // centre 0.875: 0.375 of the way from 0 to 1
}

TEST(PictureScaler, BeyondTheScreenEdgeIsBlack) {
    const TestImage white(10, 10, [](int, int) -> std::uint8_t { return 255; });
    // Shrinking: a 4 x 4 tile at (8, 8) has only 2 x 2 pixels on screen.
    const Scaled shrunk = Scale(white, {8, 8, 4, 4}, 2, 2);
    EXPECT_EQ(shrunk.at(0, 0), 255);
    EXPECT_EQ(shrunk.at(1, 0), 0);
    EXPECT_EQ(shrunk.at(0, 1), 0);
    // A pixel half on screen is half bright.
    const Scaled thirds = Scale(white, {6, 0, 5, 10}, 2, 1);
    EXPECT_EQ(thirds.at(0, 0), 255);
    EXPECT_EQ(thirds.at(1, 0), 153);  // covers 8.5..11: 1.5 of 2.5 on screen
    // Enlarging: outputs whose centres fall past the edge are black.
    const Scaled grown = Scale(white, {8, 0, 4, 10}, 8, 4);
    EXPECT_EQ(grown.at(3, 0), 255);
    EXPECT_EQ(grown.at(4, 0), 0);
    EXPECT_EQ(grown.at(7, 3), 0);
}

TEST(PictureScaler, ReadRegionHoldsEveryPixelScalingReads) {
    const TestImage image(
        40, 30, [](int x, int y) -> std::uint8_t { return static_cast<std::uint8_t>(x * 9 + y); });
    const SourceRect rect{10, 10, 10, 10};
    struct Case {
        int w, h;
        SourceRect read;
    };
    // Shrinking reads the rectangle; enlarging interpolates with the pixels
    // just past it.
    for (const Case& c : {Case{4, 4, rect}, Case{25, 25, {9, 9, 12, 12}}}) {
        const SourceRect read = PictureScaler::ReadRegion(40, 30, rect, c.w, c.h);
        EXPECT_EQ(read.x, c.read.x);
        EXPECT_EQ(read.y, c.read.y);
        EXPECT_EQ(read.width, c.read.width);
        EXPECT_EQ(read.height, c.read.height);
        // Everything outside makes no difference.
        TestImage outside = image;
        for (int y = 0; y < 30; ++y) {
            for (int x = 0; x < 40; ++x) {
                const bool in = x >= read.x && x < read.x + read.width && y >= read.y &&
                                y < read.y + read.height;
                if (!in) outside.pixels[static_cast<std::size_t>(4 * (y * 40 + x))] ^= 0xff;
            }
        }
        EXPECT_EQ(Scale(outside, rect, c.w, c.h).bytes, Scale(image, rect, c.w, c.h).bytes);
    }
}

TEST(PictureScaler, MadeAgainWhereTheSourceChangedIsTheSameAsMadeAfresh) {
    const TestImage image(97, 61, [](int x, int y) -> std::uint8_t {
        return static_cast<std::uint8_t>(x * 7 + y * 13);
    });
    const SourceRect whole{0, 0, 97, 61};
    for (auto [w, h] : {std::pair{20, 13}, std::pair{160, 120}}) {
        for (const SourceRect changed :
             {SourceRect{10, 5, 3, 2}, SourceRect{0, 0, 97, 1}, SourceRect{96, 60, 1, 1}}) {
            TestImage after = image;
            for (int y = changed.y; y < changed.y + changed.height; ++y) {
                for (int x = changed.x; x < changed.x + changed.width; ++x)
                    after.pixels[static_cast<std::size_t>(4 * (y * 97 + x)) + 1] ^= 0xff;
            }
            Scaled remade = Scale(image, whole, w, h);
            PictureScaler scaler;
            scaler.ScalePart(after.view(), whole, w, h, remade.bytes.data(), remade.stride,
                             changed);
            EXPECT_EQ(remade.bytes, Scale(after, whole, w, h).bytes)
                << w << "x" << h << ", changed at " << changed.x << "," << changed.y;
        }
    }
}

// One pixel in each supported layout converts to the same colours.
TEST(PixelFormat, ReadsEachLayoutWithItsMasksAndByteOrder) {
    struct Case {
        const char* name;
        PixelLayout layout;
        std::vector<std::uint8_t> bytes;  // one pixel of red 255, green 128, blue 0
        int tolerance;
    };
    const Case cases[] = {
        {"32-bit BGRX", {32, false, 0xff0000, 0xff00, 0xff}, {0x00, 0x80, 0xff, 0x00}, 0},
        {"32-bit big-endian", {32, true, 0xff0000, 0xff00, 0xff}, {0x00, 0xff, 0x80, 0x00}, 0},
        {"32-bit RGBX masks", {32, false, 0xff, 0xff00, 0xff0000}, {0xff, 0x80, 0x00, 0x00}, 0},
        {"24-bit packed", {24, false, 0xff0000, 0xff00, 0xff}, {0x00, 0x80, 0xff}, 0},
        // 5-6-5: red 31, green 32 of 63, blue 0 = 0xfc00 -> bytes 00 fc.
        {"16-bit 565", {16, false, 0xf800, 0x07e0, 0x001f}, {0x00, 0xfc}, 2},
        {"15-bit 555", {16, false, 0x7c00, 0x03e0, 0x001f}, {0x00, 0x7e}, 4},
        {"30-bit", {32, false, 0x3ff00000, 0xffc00, 0x3ff}, {0x00, 0x00, 0xf8, 0x3f}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(UnsupportedLayoutReason(c.layout), "");
        const GrabbedPixels in{c.bytes.data(), 1, 1, c.bytes.size(), c.layout};
        std::uint8_t bgrx[4] = {};
        ConvertToBgrx(in, bgrx);
        std::uint8_t bgr[4] = {};
        ConvertToBottomUpBgr(in, bgr, 4);
        const std::uint8_t* converted[] = {bgrx, bgr};
        for (const std::uint8_t* p : converted) {
            EXPECT_NEAR(p[2], 255, c.tolerance);
            EXPECT_NEAR(p[1], 128, c.tolerance);
            EXPECT_NEAR(p[0], 0, c.tolerance);
        }
    }
}

TEST(PixelFormat, WholeRowsComeOutBottomUpInBothPaths) {
    // W x 2 pictures, each pixel (blue, green, red) = (x, y, 100 + x); widths
    // on both sides of the 4-pixel steps of the fast path.
    const PixelLayout bgrx{32, false, 0xff0000, 0xff00, 0xff};
    const PixelLayout big_endian{32, true, 0xff0000, 0xff00, 0xff};
    for (const PixelLayout& layout : {bgrx, big_endian}) {
        for (int width : {1, 3, 5, 6, 9, 13, 64}) {
            SCOPED_TRACE("width " + std::to_string(width) + (layout.msb_first ? " MSB" : ""));
            const std::size_t in_stride = 4 * static_cast<std::size_t>(width) + 8;
            std::vector<std::uint8_t> bytes(2 * in_stride, 0);
            for (int y = 0; y < 2; ++y) {
                for (int x = 0; x < width; ++x) {
                    const std::uint32_t value =
                        static_cast<std::uint32_t>((100 + x) << 16 | y << 8 | x);
                    std::uint8_t* p = &bytes[in_stride * static_cast<std::size_t>(y) +
                                             4 * static_cast<std::size_t>(x)];
                    for (int i = 0; i < 4; ++i)
                        p[layout.msb_first ? 3 - i : i] =
                            static_cast<std::uint8_t>(value >> (8 * i));
                }
            }
            const GrabbedPixels in{bytes.data(), width, 2, in_stride, layout};
            const std::size_t stride = (3 * static_cast<std::size_t>(width) + 3) & ~std::size_t{3};
            std::vector<std::uint8_t> out(2 * stride + 4, 0xcd);
            ConvertToBottomUpBgr(in, out.data(), stride);
            for (int y = 0; y < 2; ++y) {
                const std::uint8_t* row = &out[stride * static_cast<std::size_t>(1 - y)];
                for (int x = 0; x < width; ++x) {
                    EXPECT_EQ(row[3 * x], x);
                    EXPECT_EQ(row[3 * x + 1], y);
                    EXPECT_EQ(row[3 * x + 2], 100 + x);
                }
                for (std::size_t i = 3 * static_cast<std::size_t>(width); i < stride; ++i)
                    EXPECT_EQ(row[i], 0xcd) << "padding";
            }
            EXPECT_EQ(out[2 * stride], 0xcd);
        }
    }
}

TEST(PixelFormat, RefusesWhatIsNotTrueColour) {
    EXPECT_NE(UnsupportedLayoutReason({8, false, 0, 0, 0}), "");               // palette
    EXPECT_NE(UnsupportedLayoutReason({4, false, 0xf, 0xf, 0xf}), "");         // 4-bit pixels
    EXPECT_NE(UnsupportedLayoutReason({16, false, 0xf801, 0x7e0, 0x1f}), "");  // split mask
    EXPECT_TRUE(IsBgrx({32, false, 0xff0000, 0xff00, 0xff}));
    EXPECT_FALSE(IsBgrx({32, true, 0xff0000, 0xff00, 0xff}));
}

}  // namespace
}  // namespace vemo::screen
