#include "imaging/jpeg_writer.h"

#include <utility>

#include "imaging/jpeg_error.h"
#include "imaging/output_file.h"

namespace vemo {
namespace {

// Turns blue-green-red pixels into red-green-blue in place. Four pixels at a
// time: a whole-screen picture has two million of them.
void SwapBlueAndRed(std::uint8_t* __restrict row, std::size_t width) {
    std::size_t i = 0;
    for (; i + 4 <= width; i += 4) {
        std::uint8_t* p = row + 3 * i;
        const std::uint8_t b0 = p[0], b1 = p[3], b2 = p[6], b3 = p[9];
        p[0] = p[2];
        p[2] = b0;
        p[3] = p[5];
        p[5] = b1;
        p[6] = p[8];
        p[8] = b2;
        p[9] = p[11];
        p[11] = b3;
    }
    for (; i < width; ++i)
        std::swap(row[3 * i], row[3 * i + 2]);
}

}  // namespace

std::size_t JpegRowStride(std::uint32_t width, std::uint32_t bits_per_pixel) {
    const std::size_t packed = std::size_t{bits_per_pixel} * width / 8;
    return (packed + 3) & ~std::size_t{3};
}

ImagingResult WriteJpegFrame(JpegWriteJob& job) {
    const bool bgrx = job.bits_per_pixel == kBgrxBitsPerPixel;
    const std::size_t pixel_bytes = bgrx ? 4 : 3;
    const std::size_t stride =
        job.row_stride != 0 ? job.row_stride : JpegRowStride(job.width, job.bits_per_pixel);
    // Rows are read as whole pixels; a narrower stride would read past them.
    if (job.bits_per_pixel < 24 || stride < pixel_bytes * job.width ||
        (job.pixels == nullptr && job.width != 0 && job.height != 0)) {
        return ImagingFailure(kErrBadPixelFormat);
    }
    detail::CompressObject compress;
    jpeg_compress_struct& cinfo = compress.cinfo;
    bool created = RunGuarded(compress.errors, [&] {
        jpeg_create_compress(&cinfo);
        cinfo.in_color_space = JCS_RGB;
        jpeg_set_defaults(&cinfo);
    });
    if (!created) return detail::FailureOf(compress.errors);

    detail::OutputFile output(job.path);
    if (!output.is_open()) return ImagingFailure(kErrCreateOutput);

    auto code = [&] {
        cinfo.image_width = job.width;
        cinfo.image_height = job.height;
        // libjpeg-turbo reads display pixels directly: no copy, no exchange.
        cinfo.input_components = static_cast<int>(pixel_bytes);
        cinfo.in_color_space = bgrx ? JCS_EXT_BGRX : JCS_RGB;
        cinfo.data_precision = 8;
        jpeg_default_colorspace(&cinfo);
        jpeg_set_quality(&cinfo, job.quality, static_cast<boolean>(job.force_baseline & 0xff));
        jpeg_stdio_dest(&cinfo, output.get());
        jpeg_start_compress(&cinfo, TRUE);

        // Bottom-up rows are coded from the end back, so the picture comes out upright.
        std::uint8_t* const end = job.pixels + stride * cinfo.image_height;
        while (cinfo.next_scanline < cinfo.image_height) {
            std::uint8_t* row = job.top_down ? job.pixels + stride * cinfo.next_scanline
                                             : end - stride * (cinfo.next_scanline + 1);
            if (!bgrx && !job.rgb) SwapBlueAndRed(row, cinfo.image_width);
            JSAMPROW rows[1] = {row};
            jpeg_write_scanlines(&cinfo, rows, 1);
        }
        jpeg_finish_compress(&cinfo);
    };
    if (!RunGuarded(compress.errors, code)) return detail::FailureOf(compress.errors);
    if (!output.Close()) return ImagingFailure(kErrCloseOutput);
    return {};
}

}  // namespace vemo
