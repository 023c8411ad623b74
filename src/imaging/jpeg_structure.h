#pragma once

// Whether a picture a Motion JPEG camera sent is whole, judged by its
// structure alone and without decoding it: on a busy USB bus pictures arrive
// cut short or with garbage in their headers, and such a picture is dropped
// rather than shown, published or recorded.

#include <cstdint>
#include <span>

namespace vemo {

// True when `picture` starts with a start-of-image marker, its header
// segments (up to the start of the scan) are well formed and include a frame
// header, and it ends with an end-of-image marker (trailing zero bytes, as
// some cameras pad their pictures, allowed). Huffman tables may be missing:
// Motion JPEG cameras often leave them out, and decoders use the standard
// ones.
bool IsWholeJpeg(std::span<const std::uint8_t> picture);

}  // namespace vemo
