#pragma once

// Whether a picture a Motion JPEG camera sent is whole, judged by its
// structure alone and without decoding it: on a busy USB bus pictures arrive
// cut short or with garbage in their headers, and such a picture is dropped
// rather than shown, published or recorded.

#include <cstdint>
#include <span>

namespace vemo {

// The JPEG marker codes read without decoding: by the check below and by
// the test cameras that split Motion JPEG files into pictures.
inline constexpr std::uint8_t kJpegMarker = 0xFF;  // every marker's first byte
inline constexpr std::uint8_t kJpegStartOfImage = 0xD8;
inline constexpr std::uint8_t kJpegEndOfImage = 0xD9;
inline constexpr std::uint8_t kJpegStartOfScan = 0xDA;

// A frame header (SOF0 to SOF15), less DHT (C4), JPG (C8) and DAC (CC),
// which share the range.
constexpr bool IsJpegFrameHeader(std::uint8_t marker) {
    return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

// True when `picture` starts with a start-of-image marker, its header
// segments (up to the start of the scan) are well formed and include a frame
// header, and it ends with an end-of-image marker (trailing zero bytes, as
// some cameras pad their pictures, allowed). Huffman tables may be missing:
// Motion JPEG cameras often leave them out, and decoders use the standard
// ones.
bool IsWholeJpeg(std::span<const std::uint8_t> picture);

}  // namespace vemo
