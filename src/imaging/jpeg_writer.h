#pragma once

#include <cstdint>
#include <string>

#include "imaging/imaging_result.h"

namespace vemo {

// One picture to code as a baseline JPEG. Callers value-initialise the record
// ({}), then set the fields they need.
struct JpegWriteJob {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::int32_t quality = 0;          // every caller uses 75
    std::int32_t force_baseline = 0;   // only the low byte counts
    std::string path;                  // output file, created or truncated
    std::uint8_t* pixels = nullptr;    // bottom-up blue-green-red rows
    std::uint32_t bits_per_pixel = 0;  // sets the row stride; 24 for camera frames

    // For pictures taken straight from a display: with bits_per_pixel 32 the
    // pixels are blue, green, red, unused, coded as they are (the buffer is
    // left untouched); top_down says the first row in memory is the top one;
    // row_stride, when not 0, replaces the computed stride.
    bool top_down = false;
    std::uint32_t row_stride = 0;
    // For pictures read from files that hold red-green-blue samples (PPM):
    // with bits_per_pixel 24 the rows are already red, green, blue and are
    // coded as they are, the buffer left untouched.
    bool rgb = false;
};

inline constexpr std::uint32_t kBgrxBitsPerPixel = 32;

// Bytes per row: the packed row rounded up to a multiple of 4.
std::size_t JpegRowStride(std::uint32_t width, std::uint32_t bits_per_pixel);

// Codes the job's picture into job.path, upright. Rows of 3-byte pixels are
// turned from blue-green-red into red-green-blue in place: refill before
// reusing. On failure no file is left at job.path.
ImagingResult WriteJpegFrame(JpegWriteJob& job);

}  // namespace vemo
