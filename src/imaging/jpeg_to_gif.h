#pragma once

#include <cstdint>
#include <string>

#include "imaging/imaging_result.h"

struct jpeg_decompress_struct;

namespace vemo {

// A GIF palette holds at most 256 colours, and the two-pass quantizer makes
// no fewer than 8: the converter refuses counts outside that range, so the
// engine clamps the colour counts it is given into it.
inline constexpr std::uint32_t kMinGifColors = 8;
inline constexpr std::uint32_t kMaxGifColors = 256;

// The most pixels a picture to convert may have, unless the job says otherwise.
inline constexpr std::uint64_t kDefaultMaxPixels = 100'000'000;

// One JPEG to turn into a small GIF. Callers value-initialise the record ({}),
// then set the fields they need.
struct GifConvertJob {
    std::uint32_t max_width = 0;   // wanted size limit; the JPEG is decoded at
    std::uint32_t max_height = 0;  // 1/1, 1/2, 1/4 or 1/8 to fit within it
    std::int32_t colors = 0;       // palette size; 0 keeps the library default
    std::string input_path;
    std::string output_path;
    // Pictures whose header claims more pixels are refused before decoding:
    // a few bytes can claim a size that takes minutes and megabytes to code.
    std::uint64_t max_pixels = kDefaultMaxPixels;
};

// The scale denominator (1, 2, 4 or 8) that fits a picture into the limits.
int GifScaleDenominator(std::uint32_t image_width, std::uint32_t image_height,
                        std::uint32_t max_width, std::uint32_t max_height);

// Decodes job.input_path scaled to fit, quantizes it and writes job.output_path
// as a GIF. On failure no file is left at job.output_path; an input that cannot
// be read or is not a picture we can convert leaves it untouched.
ImagingResult ConvertJpegToGif(const GifConvertJob& job);

// Marker handler for comment and APP12 blocks: reads past them, keeps nothing.
int SkipTextMarker(jpeg_decompress_struct* cinfo);

}  // namespace vemo
