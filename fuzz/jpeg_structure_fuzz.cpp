// The whole-picture check against libjpeg as its referee: whatever the check
// calls whole must get through libjpeg's header reading and the start of
// its decompression (where it builds its Huffman tables and reads the later
// scans' headers) without an error. The check may refuse more than libjpeg
// does; it must never pass a picture libjpeg refuses, for such a picture
// would reach the preview's decoder or the capture file.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "imaging/jpeg_error.h"
#include "imaging/jpeg_structure.h"

namespace {

bool LibjpegAccepts(const std::uint8_t* data, std::size_t size, bool start) {
    vemo::detail::DecompressObject decompress;
    jpeg_decompress_struct& cinfo = decompress.cinfo;
    return RunGuarded(decompress.errors, [&] {
        jpeg_create_decompress(&cinfo);
        jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(size));
        jpeg_read_header(&cinfo, TRUE);
        if (start) jpeg_start_decompress(&cinfo);
    });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const vemo::JpegLayout layout = vemo::ReadJpegLayout({data, size});
    if (!layout.whole) return 0;
    if (layout.end < 4 || layout.end > size || !layout.frame) std::abort();
    // Starting a huge picture's decompression would only measure memory.
    const bool start =
        std::int64_t{layout.frame->width} * layout.frame->height <= std::int64_t{4096} * 4096;
    if (!LibjpegAccepts(data, size, start)) std::abort();
    return 0;
}
