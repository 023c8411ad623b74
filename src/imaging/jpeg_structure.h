#pragma once

// Whether a picture a Motion JPEG camera sent is whole, judged by its
// structure alone and without decoding it: on a busy USB bus pictures arrive
// cut short or with garbage in their headers, and such a picture is dropped
// rather than shown, published or recorded.

#include <cstddef>
#include <cstdint>
#include <optional>
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

// How a picture's components are to be read, as decoders infer it from the
// component count and the JFIF and Adobe markers.
enum class JpegColour { kGrey, kYCbCr, kRgb, kCmyk, kYcck, kOther };

// What a picture's frame header states.
struct JpegFrame {
    int width = 0;
    int height = 0;
    int precision = 0;  // bits per sample
    int components = 0;
    JpegColour colour = JpegColour::kYCbCr;
};

// What the structure of the picture at the start of a buffer says.
struct JpegLayout {
    // Starts with a start-of-image marker, every header segment is well
    // formed in form and content (tables complete and in range, Huffman
    // codes that fit their lengths, a frame header of a kind decoders read,
    // scans whose components the frame has and whose tables exist or are
    // the standard ones), and an end-of-image marker ends it.
    bool whole = false;
    // One past the end-of-image marker: where anything after the picture
    // (a camera's padding, the next picture of a stream) starts. 0 when not
    // whole.
    std::size_t end = 0;
    // The frame header, when one was read.
    std::optional<JpegFrame> frame;
};

// Reads the structure of the picture that starts at `bytes[0]`: its header
// segments, then each scan's entropy-coded data up to the marker that ends
// it, up to the end-of-image marker. Huffman tables may be missing: Motion
// JPEG cameras often leave them out, and decoders use the standard ones.
// Reads each byte at most once and decodes nothing.
JpegLayout ReadJpegLayout(std::span<const std::uint8_t> bytes);

// True when `picture` holds a whole picture (ReadJpegLayout); bytes after
// its end-of-image marker, as some cameras pad their pictures, are allowed,
// as decoders allow them.
bool IsWholeJpeg(std::span<const std::uint8_t> picture);

}  // namespace vemo
