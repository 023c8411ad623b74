#include "imaging/jpeg_structure.h"

#include <cstddef>

namespace vemo {

bool IsWholeJpeg(std::span<const std::uint8_t> picture) {
    std::size_t end = picture.size();
    while (end > 0 && picture[end - 1] == 0)
        --end;
    if (end < 4 || picture[0] != kJpegMarker || picture[1] != kJpegStartOfImage ||
        picture[end - 2] != kJpegMarker || picture[end - 1] != kJpegEndOfImage) {
        return false;
    }
    bool frame_header = false;
    for (std::size_t at = 2; at + 4 <= end;) {
        if (picture[at] != kJpegMarker) return false;
        // Any number of fill bytes may stand before a marker.
        std::size_t code = at + 1;
        while (code < end && picture[code] == kJpegMarker)
            ++code;
        if (code + 3 > end) return false;
        const std::uint8_t marker = picture[code];
        // Only segments with a length belong in the header.
        if (marker == 0x00 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD9)) return false;
        const std::size_t length = std::size_t{picture[code + 1]} << 8 | picture[code + 2];
        if (length < 2 || code + 1 + length > end) return false;
        if (IsJpegFrameHeader(marker)) frame_header = true;
        if (marker == kJpegStartOfScan) return frame_header;
        at = code + 1 + length;
    }
    return false;
}

}  // namespace vemo
