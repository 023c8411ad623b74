#include "imaging/jpeg_structure.h"

#include <cstddef>

namespace vemo {
namespace {

constexpr std::uint8_t kMarker = 0xFF;
constexpr std::uint8_t kStartOfImage = 0xD8;
constexpr std::uint8_t kEndOfImage = 0xD9;
constexpr std::uint8_t kStartOfScan = 0xDA;

// SOF0 to SOF15, less DHT (C4), JPG (C8) and DAC (CC), which share the range.
bool IsFrameHeader(std::uint8_t marker) {
    return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

}  // namespace

bool IsWholeJpeg(std::span<const std::uint8_t> picture) {
    std::size_t end = picture.size();
    while (end > 0 && picture[end - 1] == 0)
        --end;
    if (end < 4 || picture[0] != kMarker || picture[1] != kStartOfImage ||
        picture[end - 2] != kMarker || picture[end - 1] != kEndOfImage) {
        return false;
    }
    bool frame_header = false;
    for (std::size_t at = 2; at + 4 <= end;) {
        if (picture[at] != kMarker) return false;
        // Any number of fill bytes may stand before a marker.
        std::size_t code = at + 1;
        while (code < end && picture[code] == kMarker)
            ++code;
        if (code + 3 > end) return false;
        const std::uint8_t marker = picture[code];
        // Only segments with a length belong in the header.
        if (marker == 0x00 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD9)) return false;
        const std::size_t length = std::size_t{picture[code + 1]} << 8 | picture[code + 2];
        if (length < 2 || code + 1 + length > end) return false;
        if (IsFrameHeader(marker)) frame_header = true;
        if (marker == kStartOfScan) return frame_header;
        at = code + 1 + length;
    }
    return false;
}

}  // namespace vemo
