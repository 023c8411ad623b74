#include "screen/screen_geometry.h"

#include <algorithm>
#include <cstring>

namespace vemo::screen {
namespace {

int CeilDiv(int value, int divisor) {
    return value / divisor + (value % divisor != 0 ? 1 : 0);
}

int RoundUpTo4(int value) {
    return (value + 3) & ~3;
}

// The JPEG format cannot describe a taller picture; an absurdly tall, narrow
// screen must not make a picture the writer refuses.
constexpr int kMaxPictureSide = 65500;

}  // namespace

ScreenGeometry ComputeScreenGeometry(int screen_width, int screen_height, bool whole_screen,
                                     bool rotate, int division, int imode_width) {
    ScreenGeometry g;
    g.screen_width = screen_width;
    g.screen_height = screen_height;
    g.whole_screen = whole_screen;
    g.rotate = rotate;
    g.division = division;
    if (screen_width <= 0 || screen_height <= 0 || division <= 0) return g;

    g.tile_width = CeilDiv(screen_width, division);
    g.tile_height = CeilDiv(screen_height, division);

    int w = imode_width;
    if (rotate) w = RoundUpTo4(w);
    // The i-mode picture has the shape of one tile; truncated toward zero.
    const double tile_shape = static_cast<double>(g.tile_width) / g.tile_height;
    int h = static_cast<int>(std::min(static_cast<double>(w) / tile_shape, 1e9));
    h = std::clamp(h, 1, kMaxPictureSide);
    if (rotate) h = RoundUpTo4(h);
    g.imode_width = w;
    g.imode_height = h;

    if (whole_screen) {
        g.bitmap_width = screen_width;
        g.bitmap_height = screen_height;
    } else {
        g.bitmap_width = w;
        g.bitmap_height = h;
    }
    return g;
}

TileDigits TileDigitsFor(int row, int column, int division, bool rotate) {
    if (rotate) return {row, column};
    return {division - 1 - column, row};
}

void RotateQuarterClockwise(const std::uint8_t* in, int width, int height, std::uint8_t* out) {
    // Source memory row i (from the bottom), column j lands at pixel
    // (width - 1 - j) * height + i of the result.
    const std::size_t w = static_cast<std::size_t>(width);
    const std::size_t h = static_cast<std::size_t>(height);
    for (std::size_t i = 0; i < h; ++i) {
        const std::uint8_t* row = in + 3 * w * i;
        for (std::size_t j = 0; j < w; ++j) {
            std::memcpy(out + 3 * ((w - 1 - j) * h + i), row + 3 * j, 3);
        }
    }
}

}  // namespace vemo::screen
