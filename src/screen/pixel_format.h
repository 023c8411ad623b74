#pragma once

// Turning the pixels a display hands over into the two layouts the screen
// capture works with, using the picture's own description (bits per pixel,
// byte order, colour masks) rather than assuming one kind of display.

#include <cstddef>
#include <cstdint>
#include <string>

#include "screen/screen_scaler.h"

namespace vemo::screen {

// How the pixels of a grabbed picture are stored.
struct PixelLayout {
    int bits_per_pixel = 0;  // 8, 16, 24 or 32
    bool msb_first = false;  // byte order of a pixel's value in memory
    std::uint32_t red_mask = 0;
    std::uint32_t green_mask = 0;
    std::uint32_t blue_mask = 0;
};

// A grabbed picture: top-down rows of `stride` bytes.
struct GrabbedPixels {
    const std::uint8_t* data = nullptr;
    int width = 0;
    int height = 0;
    std::size_t stride = 0;
    PixelLayout layout;
};

// Empty when the layout can be converted, else why not.
std::string UnsupportedLayoutReason(const PixelLayout& layout);

// True when the pixels already are blue, green, red, unused bytes (a 24-bit
// colour display with 32-bit pixels, as almost every display today), so the
// scaler can read them where they are.
bool IsBgrx(const PixelLayout& layout);

// Converts the whole picture to top-down BGRX rows of `out_stride` bytes
// into `out` (width * 4 bytes a row when 0).
void ConvertToBgrx(const GrabbedPixels& in, std::uint8_t* out, std::size_t out_stride = 0);

// Converts the whole picture to bottom-up blue-green-red rows of `out_stride`
// bytes into `out`, the layout the JPEG writer takes.
void ConvertToBottomUpBgr(const GrabbedPixels& in, std::uint8_t* out, std::size_t out_stride);

// The picture as a BGRX view: the grabbed pixels themselves when they are
// BGRX already, else converted into `scratch` (width * height * 4 bytes).
BgrxImage BgrxView(const GrabbedPixels& in, std::uint8_t* scratch);

}  // namespace vemo::screen
