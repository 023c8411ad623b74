#include "imaging/jpeg_to_gif.h"

#include <algorithm>

#include "imaging/gif_encoder.h"
#include "imaging/jpeg_error.h"
#include "imaging/output_file.h"

namespace vemo {
namespace {

constexpr int kApp12Marker = JPEG_APP0 + 12;

// Caps what one conversion may allocate, so that a hostile header cannot make
// the quantizer's whole-picture buffer exhaust memory.
constexpr long kMaxDecoderMemory = 256L * 1024 * 1024;

int NextMarkerByte(j_decompress_ptr cinfo) {
    jpeg_source_mgr* source = cinfo->src;
    if (source->bytes_in_buffer == 0 && !(*source->fill_input_buffer)(cinfo)) {
        detail::RaiseJpegError(reinterpret_cast<j_common_ptr>(cinfo), kErrCantSuspend);
    }
    --source->bytes_in_buffer;
    return *source->next_input_byte++;
}

}  // namespace

int GifScaleDenominator(std::uint32_t image_width, std::uint32_t image_height,
                        std::uint32_t max_width, std::uint32_t max_height) {
    // The smallest q with size < q * (limit + 1); 64-bit so a limit of
    // 0xffffffff cannot wrap to a division by zero.
    const std::uint64_t wq = image_width / (std::uint64_t{max_width} + 1) + 1;
    const std::uint64_t hq = image_height / (std::uint64_t{max_height} + 1) + 1;
    const std::uint64_t r = std::max(wq, hq);
    if (r <= 1) return 1;
    if (r == 2) return 2;
    if (r <= 4) return 4;
    return 8;
}

int SkipTextMarker(jpeg_decompress_struct* cinfo) {
    long length = NextMarkerByte(cinfo) << 8;
    length += NextMarkerByte(cinfo);
    for (length -= 2; length > 0; --length)
        NextMarkerByte(cinfo);
    return TRUE;
}

ImagingResult ConvertJpegToGif(const GifConvertJob& job) {
    detail::DecompressObject decompress;
    jpeg_decompress_struct& cinfo = decompress.cinfo;
    bool created = RunGuarded(decompress.errors, [&] {
        jpeg_create_decompress(&cinfo);
        cinfo.mem->max_memory_to_use = kMaxDecoderMemory;
        jpeg_set_marker_processor(&cinfo, JPEG_COM, SkipTextMarker);
        jpeg_set_marker_processor(&cinfo, kApp12Marker, SkipTextMarker);
    });
    if (!created) return detail::FailureOf(decompress.errors);

    detail::FilePtr input(std::fopen(job.input_path.c_str(), "rb"));
    if (!input) return ImagingFailure(kErrOpenInput);

    // Everything that can refuse the input (header, colour space, quantizer,
    // which also takes its histogram pass here) runs before the output is
    // created, so an input we cannot convert leaves the output file as it was.
    auto read_header = [&] {
        jpeg_stdio_src(&cinfo, input.get());
        jpeg_read_header(&cinfo, TRUE);
    };
    if (!RunGuarded(decompress.errors, read_header)) return detail::FailureOf(decompress.errors);
    if (std::uint64_t{cinfo.image_width} * cinfo.image_height > job.max_pixels) {
        return {kErrTooManyPixels, "picture too large: " + std::to_string(cinfo.image_width) +
                                       " x " + std::to_string(cinfo.image_height) +
                                       " pixels, more than " + std::to_string(job.max_pixels)};
    }
    auto prepare = [&] {
        if (job.colors != 0) {
            cinfo.desired_number_of_colors = job.colors;
            cinfo.quantize_colors = TRUE;
        }
        cinfo.scale_num = 1;
        cinfo.scale_denom = static_cast<unsigned int>(GifScaleDenominator(
            cinfo.image_width, cinfo.image_height, job.max_width, job.max_height));

        const auto common = reinterpret_cast<j_common_ptr>(&cinfo);
        if (cinfo.out_color_space != JCS_GRAYSCALE && cinfo.out_color_space != JCS_RGB) {
            detail::RaiseJpegError(common, kErrColorSpace);
        }
        if (cinfo.out_color_space != JCS_GRAYSCALE || cinfo.data_precision > 8) {
            cinfo.quantize_colors = TRUE;
            cinfo.desired_number_of_colors = std::min(cinfo.desired_number_of_colors, 256);
        }
        jpeg_calc_output_dimensions(&cinfo);
        if (cinfo.output_components != 1) detail::RaiseJpegError(common, kErrTooFewComponents);
        jpeg_start_decompress(&cinfo);
    };
    if (!RunGuarded(decompress.errors, prepare)) return detail::FailureOf(decompress.errors);

    detail::OutputFile output(job.output_path);
    if (!output.is_open()) return ImagingFailure(kErrCreateOutput);
    GifEncoder encoder(output.get(), {.width = cinfo.output_width,
                                      .height = cinfo.output_height,
                                      .data_precision = cinfo.data_precision,
                                      .rgb = cinfo.out_color_space == JCS_RGB});

    auto convert = [&] {
        const auto common = reinterpret_cast<j_common_ptr>(&cinfo);
        const int status = cinfo.quantize_colors
                               ? encoder.StartImage(cinfo.actual_number_of_colors, cinfo.colormap)
                               : encoder.StartImage(256, nullptr);
        if (status != 0) detail::RaiseJpegError(common, status, cinfo.actual_number_of_colors);
        JSAMPROW rows[1] = {encoder.row()};
        while (cinfo.output_scanline < cinfo.output_height) {
            jpeg_read_scanlines(&cinfo, rows, 1);
            encoder.WriteRow(1);
            // Stop at the first failed write rather than decode into a full disk.
            if (encoder.failed()) detail::RaiseJpegError(common, kErrFileWrite);
        }
        if (encoder.FinishImage() != 0) detail::RaiseJpegError(common, kErrFileWrite);
        jpeg_finish_decompress(&cinfo);
    };
    if (!RunGuarded(decompress.errors, convert)) return detail::FailureOf(decompress.errors);
    input.reset();
    if (!output.Close()) return ImagingFailure(kErrCloseOutput);
    return {};
}

}  // namespace vemo
