#include "imaging/jpeg_writer.h"

#include <utility>

#include "imaging/jpeg_error.h"
#include "imaging/output_file.h"

namespace vemo {

std::size_t JpegRowStride(std::uint32_t width, std::uint32_t bits_per_pixel) {
    const std::size_t packed = std::size_t{bits_per_pixel} * width / 8;
    return (packed + 3) & ~std::size_t{3};
}

ImagingResult WriteJpegFrame(JpegWriteJob& job) {
    // Rows are read as 3-byte pixels; a narrower stride would read past them.
    if (job.bits_per_pixel < 24 || (job.pixels == nullptr && job.width != 0 && job.height != 0)) {
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

    const std::size_t stride = JpegRowStride(job.width, job.bits_per_pixel);
    auto code = [&] {
        cinfo.image_width = job.width;
        cinfo.image_height = job.height;
        cinfo.input_components = 3;
        cinfo.in_color_space = JCS_RGB;
        cinfo.data_precision = 8;
        jpeg_default_colorspace(&cinfo);
        jpeg_set_quality(&cinfo, job.quality, static_cast<boolean>(job.force_baseline & 0xff));
        jpeg_stdio_dest(&cinfo, output.get());
        jpeg_start_compress(&cinfo, TRUE);

        // The first row in memory is the bottom row: code from the end back.
        std::uint8_t* const end = job.pixels + stride * cinfo.image_height;
        while (cinfo.next_scanline < cinfo.image_height) {
            std::uint8_t* row = end - stride * (cinfo.next_scanline + 1);
            for (std::uint8_t *pixel = row, *stop = row + 3 * std::size_t{cinfo.image_width};
                 pixel != stop; pixel += 3) {
                std::swap(pixel[0], pixel[2]);
            }
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
