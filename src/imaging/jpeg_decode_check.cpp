#include "imaging/jpeg_decode_check.h"

#include <vector>

#include "imaging/jpeg_error.h"

#include <jerror.h>

namespace vemo {
namespace {

// The same cap as the GIF conversion's: a hostile header cannot make the
// check exhaust memory.
constexpr long kMaxDecoderMemory = 256L * 1024 * 1024;

// Warnings are counted, not printed; the two that say the data ended early
// mark the picture.
void NoteCutShort(j_common_ptr cinfo, int level) {
    if (level >= 0) return;
    const int code = cinfo->err->msg_code;
    if (code == JWRN_JPEG_EOF || code == JWRN_HIT_MARKER) {
        reinterpret_cast<detail::JpegErrorManager*>(cinfo->err)->cut_short = true;
    }
}

}  // namespace

bool DecodesToTheEnd(std::span<const std::uint8_t> picture) {
    if (picture.empty()) return false;
    detail::DecompressObject decompress;
    jpeg_decompress_struct& cinfo = decompress.cinfo;
    decompress.errors.pub.emit_message = NoteCutShort;
    std::vector<JSAMPLE> row;
    const bool decoded = RunGuarded(decompress.errors, [&] {
        jpeg_create_decompress(&cinfo);
        cinfo.mem->max_memory_to_use = kMaxDecoderMemory;
        jpeg_mem_src(&cinfo, picture.data(), static_cast<unsigned long>(picture.size()));
        jpeg_read_header(&cinfo, TRUE);
        cinfo.scale_num = 1;
        cinfo.scale_denom = 8;
        cinfo.dct_method = JDCT_IFAST;
        cinfo.do_fancy_upsampling = FALSE;
        if (cinfo.jpeg_color_space == JCS_YCbCr) cinfo.out_color_space = JCS_GRAYSCALE;
        jpeg_start_decompress(&cinfo);
        row.resize(static_cast<std::size_t>(cinfo.output_width) *
                   static_cast<std::size_t>(cinfo.output_components));
        JSAMPROW rows[] = {row.data()};
        while (cinfo.output_scanline < cinfo.output_height && !decompress.errors.cut_short) {
            if (jpeg_read_scanlines(&cinfo, rows, 1) != 1) break;
        }
    });
    return decoded && !decompress.errors.cut_short && cinfo.output_scanline == cinfo.output_height;
}

}  // namespace vemo
