#pragma once

// The arithmetic of a screen capture session: tile size, i-mode picture size,
// tile file digits and the quarter turn of a small picture. No display needed.

#include <cstddef>
#include <cstdint>

namespace vemo::screen {

// The ranges the settings allow (the settings table states them again, and
// vemoctl checks that the two agree). A start refuses values outside them,
// since a division of 0 or an i-mode width of 0 cannot make a picture, and
// a division above 10 would give tiles whose names repeat.
inline constexpr std::uint32_t kMinDivision = 1;
inline constexpr std::uint32_t kMaxDivision = 10;
inline constexpr std::uint32_t kMinImodeWidth = 50;
inline constexpr std::uint32_t kMaxImodeWidth = 200;

struct ScreenGeometry {
    int screen_width = 0;
    int screen_height = 0;
    bool whole_screen = false;
    bool rotate = false;
    int division = 0;       // D: the screen is cut into D x D tiles
    int tile_width = 0;     // one grid cell on the screen; the last column and row
    int tile_height = 0;    // may reach past the screen's edge
    int imode_width = 0;    // W, upright (before the quarter turn)
    int imode_height = 0;   // H
    int bitmap_width = 0;   // the picture a grab makes before turning:
    int bitmap_height = 0;  // the screen, or W x H
};

// Geometry for a screen of the given size. `division` and `imode_width` must
// already be within their ranges. With `rotate`, W and H are rounded up to
// multiples of 4 so that neither the upright nor the turned rows need padding.
ScreenGeometry ComputeScreenGeometry(int screen_width, int screen_height, bool whole_screen,
                                     bool rotate, int division, int imode_width);

// The two digits naming the tile at row `row`, column `column` of the grid,
// in the order the product's reader expects: upright tiles are named
// D - 1 - column then row, turned tiles row then column.
struct TileDigits {
    int first = 0;
    int second = 0;
};
TileDigits TileDigitsFor(int row, int column, int division, bool rotate);

// Turns a bottom-up 24-bit picture of width x height pixels (rows of
// 3 * width bytes, no padding) a quarter turn clockwise into `out`, which
// becomes height pixels wide and width pixels high, bottom-up, unpadded.
void RotateQuarterClockwise(const std::uint8_t* in, int width, int height, std::uint8_t* out);

}  // namespace vemo::screen
