// Feeds arbitrary bytes to the JPEG-to-GIF conversion. The input and output
// live in memory files, reached through /proc/self/fd, so no disk is touched.

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "imaging/jpeg_to_gif.h"

namespace {

struct MemoryFile {
    int fd = memfd_create("vemo-fuzz", MFD_CLOEXEC);
    ~MemoryFile() {
        if (fd >= 0) close(fd);
    }
    std::string path() const { return "/proc/self/fd/" + std::to_string(fd); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    MemoryFile input, output;
    if (input.fd < 0 || output.fd < 0) return 0;
    // The first two bytes choose the size limit and the colour count.
    const std::uint32_t limit = 16u + data[0];
    const int colors = data[1];
    if (write(input.fd, data + 2, size - 2) != static_cast<ssize_t>(size - 2)) return 0;

    vemo::GifConvertJob job{};
    job.max_width = limit;
    job.max_height = limit;
    job.colors = colors;
    job.input_path = input.path();
    job.output_path = output.path();
    vemo::ConvertJpegToGif(job);
    return 0;
}
