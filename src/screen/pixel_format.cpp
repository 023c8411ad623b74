#include "screen/pixel_format.h"

#include <bit>
#include <cstdio>
#include <cstring>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VEMO_HAVE_SSSE3_PATH 1
#endif

namespace vemo::screen {
namespace {

// One colour channel: where its bits sit in a pixel value, and a table that
// stretches its value range to 0..255 (5 bits of 31 become 255, not 248).
struct Channel {
    int shift = 0;
    std::uint32_t max = 0;
    std::vector<std::uint8_t> to_8bit;

    explicit Channel(std::uint32_t mask) {
        if (mask == 0) return;
        shift = std::countr_zero(mask);
        max = mask >> shift;
        to_8bit.resize(std::size_t{max} + 1);
        for (std::uint32_t v = 0; v <= max; ++v) {
            to_8bit[v] = static_cast<std::uint8_t>((v * 255 + max / 2) / max);
        }
    }
    std::uint8_t operator()(std::uint32_t pixel) const {
        return max == 0 ? 0 : to_8bit[(pixel >> shift) & max];
    }
};

std::uint32_t ReadPixel(const std::uint8_t* p, int bytes, bool msb_first) {
    std::uint32_t value = 0;
    if (msb_first) {
        for (int i = 0; i < bytes; ++i)
            value = (value << 8) | p[i];
    } else {
        for (int i = bytes - 1; i >= 0; --i)
            value = (value << 8) | p[i];
    }
    return value;
}

// Calls put(x, y, blue, green, red) for every pixel, in memory order.
template <typename Put>
void ForEachPixel(const GrabbedPixels& in, Put put) {
    const PixelLayout& l = in.layout;
    const Channel red(l.red_mask), green(l.green_mask), blue(l.blue_mask);
    const int bytes = l.bits_per_pixel / 8;
    for (int y = 0; y < in.height; ++y) {
        const std::uint8_t* p = in.data + in.stride * static_cast<std::size_t>(y);
        for (int x = 0; x < in.width; ++x, p += bytes) {
            const std::uint32_t v = ReadPixel(p, bytes, l.msb_first);
            put(x, y, blue(v), green(v), red(v));
        }
    }
}

// Packs one row of BGRX pixels into BGR: four bytes copied per pixel, three
// advanced, the spare byte overwritten by the next pixel; the last pixel is
// copied exactly so the row's end is never passed.
void PackRowScalar(const std::uint8_t* src, std::uint8_t* dst, int width) {
    int x = 0;
    for (; x + 1 < width; ++x, src += 4, dst += 3)
        std::memcpy(dst, src, 4);
    if (x < width) std::memcpy(dst, src, 3);
}

#ifdef VEMO_HAVE_SSSE3_PATH
// The same with one byte shuffle per four pixels. Stores are 16 bytes wide
// of which 12 count, so the vector loop stops while 16 bytes still fit.
__attribute__((target("ssse3"))) void PackRowSsse3(const std::uint8_t* src, std::uint8_t* dst,
                                                   int width) {
    const __m128i pack = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    int x = 0;
    for (; x + 6 <= width; x += 4, src += 16, dst += 12) {
        const __m128i pixels = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm_shuffle_epi8(pixels, pack));
    }
    PackRowScalar(src, dst, width - x);
}
#endif

using PackRow = void (*)(const std::uint8_t*, std::uint8_t*, int);

PackRow BestPackRow() {
#ifdef VEMO_HAVE_SSSE3_PATH
    if (__builtin_cpu_supports("ssse3")) return PackRowSsse3;
#endif
    return PackRowScalar;
}

}  // namespace

std::string UnsupportedLayoutReason(const PixelLayout& l) {
    if (l.bits_per_pixel != 8 && l.bits_per_pixel != 16 && l.bits_per_pixel != 24 &&
        l.bits_per_pixel != 32) {
        return "pixels of " + std::to_string(l.bits_per_pixel) + " bits cannot be read";
    }
    const std::uint32_t masks[] = {l.red_mask, l.green_mask, l.blue_mask};
    for (std::uint32_t mask : masks) {
        // Each channel must be one run of at most 16 bits inside the pixel.
        const std::uint32_t run = mask == 0 ? 0 : mask >> std::countr_zero(mask);
        if (mask == 0 || (run & (run + 1)) != 0 || std::popcount(run) > 16 ||
            (l.bits_per_pixel < 32 && (mask >> l.bits_per_pixel) != 0)) {
            char masks_text[80];
            std::snprintf(masks_text, sizeof masks_text, "red 0x%x, green 0x%x, blue 0x%x",
                          static_cast<unsigned>(l.red_mask), static_cast<unsigned>(l.green_mask),
                          static_cast<unsigned>(l.blue_mask));
            return std::string("the colour masks of the pixels (") + masks_text +
                   ") cannot be read";
        }
    }
    return {};
}

bool IsBgrx(const PixelLayout& l) {
    // With the low byte first, the value 0x00RRGGBB is stored as B, G, R, 0.
    return l.bits_per_pixel == 32 && !l.msb_first && l.red_mask == 0xff0000u &&
           l.green_mask == 0xff00u && l.blue_mask == 0xffu;
}

void ConvertToBgrx(const GrabbedPixels& in, std::uint8_t* out, std::size_t out_stride) {
    const std::size_t row_bytes = 4 * static_cast<std::size_t>(in.width);
    if (out_stride == 0) out_stride = row_bytes;
    if (IsBgrx(in.layout)) {
        for (int y = 0; y < in.height; ++y) {
            std::memcpy(out + out_stride * static_cast<std::size_t>(y),
                        in.data + in.stride * static_cast<std::size_t>(y), row_bytes);
        }
        return;
    }
    ForEachPixel(in, [&](int x, int y, std::uint8_t b, std::uint8_t g, std::uint8_t r) {
        std::uint8_t* p =
            out + out_stride * static_cast<std::size_t>(y) + 4 * static_cast<std::size_t>(x);
        p[0] = b;
        p[1] = g;
        p[2] = r;
        p[3] = 0;
    });
}

void ConvertToBottomUpBgr(const GrabbedPixels& in, std::uint8_t* out, std::size_t out_stride) {
    const auto out_row = [&](int y) {
        return out + out_stride * static_cast<std::size_t>(in.height - 1 - y);
    };
    if (IsBgrx(in.layout)) {
        static const PackRow pack_row = BestPackRow();
        // Bottom row first: the JPEG writer starts at the top, which is then
        // the part most recently written and still in the cache.
        for (int y = in.height - 1; y >= 0; --y) {
            pack_row(in.data + in.stride * static_cast<std::size_t>(y), out_row(y), in.width);
        }
        return;
    }
    ForEachPixel(in, [&](int x, int y, std::uint8_t b, std::uint8_t g, std::uint8_t r) {
        std::uint8_t* p = out_row(y) + 3 * static_cast<std::size_t>(x);
        p[0] = b;
        p[1] = g;
        p[2] = r;
    });
}

BgrxImage BgrxView(const GrabbedPixels& in, std::uint8_t* scratch) {
    if (IsBgrx(in.layout)) return {in.data, in.width, in.height, in.stride};
    ConvertToBgrx(in, scratch);
    return {scratch, in.width, in.height, 4 * static_cast<std::size_t>(in.width)};
}

}  // namespace vemo::screen
