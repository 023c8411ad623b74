// The desktop picture the screen cast's streams fill: frames placed where
// their monitors lie, only the damaged parts copied, and what changed since
// the last grab told without looking at a pixel.

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <vector>

#include "screen/portal/pipewire_stream.h"

namespace vemo::screen {
namespace {

using Kind = ScreenChanges::Kind;

constexpr PixelLayout kBgrx{32, false, 0xff0000u, 0xff00u, 0xffu};
constexpr PixelLayout kRgbx{32, false, 0xffu, 0xff00u, 0xff0000u};

// A frame whose pixel (x, y) has blue x, green y and red `tag`, stored in
// `layout`'s byte order.
struct Frame {
    Frame(int w, int h, std::uint8_t tag, PixelLayout layout = kBgrx)
        : bytes(static_cast<std::size_t>(w * h) * 4) {
        const bool rgb = layout.red_mask == 0xffu;
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                std::uint8_t* p = &bytes[static_cast<std::size_t>((y * w + x) * 4)];
                p[rgb ? 2 : 0] = static_cast<std::uint8_t>(x);
                p[1] = static_cast<std::uint8_t>(y);
                p[rgb ? 0 : 2] = tag;
                p[3] = 0xff;
            }
        }
        pixels = {bytes.data(), w, h, static_cast<std::size_t>(w) * 4, layout};
    }
    std::vector<std::uint8_t> bytes;
    GrabbedPixels pixels;
};

// Blue, green, red of the desktop picture at (x, y).
struct Bgr {
    int b, g, r;
    bool operator==(const Bgr&) const = default;
};
Bgr At(const std::vector<std::uint8_t>& picture, int width, int x, int y) {
    const std::uint8_t* p = &picture[static_cast<std::size_t>((y * width + x) * 4)];
    return {p[0], p[1], p[2]};
}

bool SameRects(const std::vector<SourceRect>& a, const std::vector<SourceRect>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].x != b[i].x || a[i].y != b[i].y || a[i].width != b[i].width ||
            a[i].height != b[i].height) {
            return false;
        }
    }
    return true;
}

TEST(PortalFrames, TheFirstGrabTakesAllThenOnlyWhatTheDamageSays) {
    DesktopFrames desktop;
    desktop.LayOut({{0, 0, 6, 4}});
    ASSERT_EQ(desktop.width(), 6);
    ASSERT_EQ(desktop.height(), 4);
    std::vector<std::uint8_t> out(6 * 4 * 4, 0x55);

    const Frame first(6, 4, 10, kRgbx);
    desktop.Place(0, first.pixels, nullptr);
    EXPECT_EQ(desktop.Peek().kind, Kind::kUnknown);
    EXPECT_EQ(desktop.Take(out.data()).kind, Kind::kUnknown);
    EXPECT_EQ(At(out, 6, 5, 3), (Bgr{5, 3, 10}));  // converted to BGRX

    // No frame since: nothing changed, and nothing is copied.
    EXPECT_EQ(desktop.Peek().kind, Kind::kNothing);
    out[0] = 0x77;
    EXPECT_EQ(desktop.Take(out.data()).kind, Kind::kNothing);
    EXPECT_EQ(out[0], 0x77);

    // A frame that differs everywhere, whose damage names two rectangles:
    // only they are placed, and only they are taken.
    const Frame second(6, 4, 20);
    const std::vector<SourceRect> damage{{1, 1, 2, 1}, {5, 3, 1, 1}};
    desktop.Place(0, second.pixels, &damage);
    const ScreenChanges peeked = desktop.Peek();
    ASSERT_EQ(peeked.kind, Kind::kRegions);
    EXPECT_TRUE(SameRects(peeked.regions, damage));
    // Peeking forgets nothing.
    EXPECT_EQ(desktop.Peek().kind, Kind::kRegions);
    const ScreenChanges taken = desktop.Take(out.data());
    ASSERT_EQ(taken.kind, Kind::kRegions);
    EXPECT_TRUE(SameRects(taken.regions, damage));
    EXPECT_EQ(At(out, 6, 1, 1), (Bgr{1, 1, 20}));
    EXPECT_EQ(At(out, 6, 2, 1), (Bgr{2, 1, 20}));
    EXPECT_EQ(At(out, 6, 5, 3), (Bgr{5, 3, 20}));
    EXPECT_EQ(At(out, 6, 3, 1), (Bgr{3, 1, 10}));  // outside the damage: the old frame
    EXPECT_EQ(out[0], 0x77);                       // and nothing else copied

    // Damage of several frames adds up until the next grab.
    const Frame third(6, 4, 30);
    const std::vector<SourceRect> one{{0, 0, 1, 1}};
    const std::vector<SourceRect> other{{4, 2, 2, 2}};
    desktop.Place(0, third.pixels, &one);
    desktop.Place(0, third.pixels, &other);
    const ScreenChanges both = desktop.Take(out.data());
    ASSERT_EQ(both.kind, Kind::kRegions);
    EXPECT_TRUE(SameRects(both.regions, {{0, 0, 1, 1}, {4, 2, 2, 2}}));
    EXPECT_EQ(At(out, 6, 0, 0), (Bgr{0, 0, 30}));
    EXPECT_EQ(At(out, 6, 4, 2), (Bgr{4, 2, 30}));

    // A frame without damage makes the whole picture unknown again.
    desktop.Place(0, third.pixels, &one);
    desktop.Place(0, second.pixels, nullptr);
    EXPECT_EQ(desktop.Peek().kind, Kind::kUnknown);
    EXPECT_EQ(desktop.Take(out.data()).kind, Kind::kUnknown);
    EXPECT_EQ(At(out, 6, 3, 1), (Bgr{3, 1, 20}));
}

TEST(PortalFrames, MonitorsArePlacedWhereTheyLieWithBlackBetween) {
    // Two monitors at desktop positions with a gap and an offset origin.
    DesktopFrames desktop;
    desktop.LayOut({{10, 5, 2, 2}, {12, 7, 3, 1}});
    ASSERT_EQ(desktop.width(), 5);
    ASSERT_EQ(desktop.height(), 3);
    std::vector<std::uint8_t> out(5 * 3 * 4, 0x55);

    const Frame left(2, 2, 1);
    const Frame right(3, 1, 2, kRgbx);
    desktop.Place(0, left.pixels, nullptr);
    desktop.Place(1, right.pixels, nullptr);
    desktop.Take(out.data());
    EXPECT_EQ(At(out, 5, 1, 1), (Bgr{1, 1, 1}));
    EXPECT_EQ(At(out, 5, 2, 2), (Bgr{0, 0, 2}));
    EXPECT_EQ(At(out, 5, 4, 2), (Bgr{2, 0, 2}));
    EXPECT_EQ(At(out, 5, 3, 0), (Bgr{0, 0, 0}));  // no monitor there
    EXPECT_EQ(At(out, 5, 2, 1), (Bgr{0, 0, 0}));
    EXPECT_EQ(At(out, 5, 0, 2), (Bgr{0, 0, 0}));

    // Damage of the second monitor in desktop coordinates.
    const Frame changed(3, 1, 9);
    const std::vector<SourceRect> damage{{1, 0, 1, 1}};
    desktop.Place(1, changed.pixels, &damage);
    const ScreenChanges changes = desktop.Take(out.data());
    ASSERT_EQ(changes.kind, Kind::kRegions);
    EXPECT_TRUE(SameRects(changes.regions, {{3, 2, 1, 1}}));
    EXPECT_EQ(At(out, 5, 3, 2), (Bgr{1, 0, 9}));
    EXPECT_EQ(At(out, 5, 2, 2), (Bgr{0, 0, 2}));
}

TEST(PortalFrames, NothingIsWrittenOutsideAMonitorsPlace) {
    DesktopFrames desktop;
    desktop.LayOut({{0, 0, 2, 2}, {2, 0, 2, 2}});
    std::vector<std::uint8_t> out(4 * 2 * 4, 0);
    desktop.Place(1, Frame(2, 2, 5).pixels, nullptr);
    // A frame grown larger than its place, and damage reaching past it.
    const Frame big(4, 4, 7);
    const std::vector<SourceRect> damage{{0, 0, 4, 4}, {-3, -3, 2, 2}};
    desktop.Place(0, big.pixels, &damage);
    desktop.Take(out.data());
    EXPECT_EQ(At(out, 4, 1, 1), (Bgr{1, 1, 7}));
    EXPECT_EQ(At(out, 4, 2, 0), (Bgr{0, 0, 5}));  // the neighbour untouched
    EXPECT_EQ(At(out, 4, 3, 1), (Bgr{1, 1, 5}));

    // A storm of small regions is kept as the rectangle around them.
    const Frame storm(2, 2, 8);
    std::vector<SourceRect> many;
    for (int i = 0; i < 40; ++i)
        many.push_back({i % 2, (i / 2) % 2, 1, 1});
    for (const SourceRect& r : many) {
        const std::vector<SourceRect> one{r};
        desktop.Place(1, storm.pixels, &one);
    }
    const ScreenChanges changes = desktop.Peek();
    ASSERT_EQ(changes.kind, Kind::kRegions);
    EXPECT_LE(changes.regions.size(), 32u);
    desktop.Take(out.data());
    EXPECT_EQ(At(out, 4, 3, 1), (Bgr{1, 1, 8}));
}

// Places and sizes near the end of int, as a compositor may report them:
// nothing overflows, and a desktop too large to hold is refused, not made.
TEST(PortalFrames, PlacesAndSizesNearTheEndOfIntOverflowNothing) {
    const std::vector<SourceRect> far{{INT_MAX - 10, 0, 100, 10}, {-20, INT_MAX - 5, 10, 100}};
    const SourceRect bounds = DesktopBounds(far);
    EXPECT_EQ(bounds.x, -20);
    EXPECT_EQ(bounds.width, INT_MAX);

    DesktopFrames desktop;
    EXPECT_FALSE(desktop.LayOut(far));
    EXPECT_EQ(desktop.width(), 0);
    EXPECT_EQ(desktop.height(), 0);

    ASSERT_TRUE(desktop.LayOut({{0, 0, 4, 4}}));
    const Frame frame(4, 4, 10, kRgbx);
    // Damage reaching past the end of int is cut to the frame.
    const std::vector<SourceRect> damage{{2, 2, INT_MAX, INT_MAX}};
    std::vector<std::uint8_t> out(4 * 4 * 4, 0);
    desktop.Take(out.data());
    desktop.Place(0, frame.pixels, &damage);
    const ScreenChanges changes = desktop.Take(out.data());
    ASSERT_EQ(changes.regions.size(), 1u);
    EXPECT_EQ(changes.regions[0].width, 2);
    EXPECT_EQ(changes.regions[0].height, 2);
}

}  // namespace
}  // namespace vemo::screen
