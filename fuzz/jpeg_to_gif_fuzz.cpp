// Feeds arbitrary bytes to the JPEG-to-GIF conversion. The first two bytes
// choose the size limit and the colour count; the rest is the JPEG. Input and
// output are real files in a private temporary folder: the converter creates
// its output afresh (O_EXCL, O_NOFOLLOW), which a /proc/self/fd name refuses,
// so the encoder would never be reached.

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "base/unique_fd.h"
#include "imaging/jpeg_to_gif.h"

namespace {

// The folder lives for the whole run and is removed with its files at exit.
class ScratchFolder {
  public:
    ScratchFolder() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern =
            std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/vemo-fuzz-XXXXXX";
        if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    }
    ~ScratchFolder() {
        if (path_.empty()) return;
        unlink(input().c_str());
        unlink(output().c_str());
        rmdir(path_.c_str());
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    bool ok() const { return !path_.empty(); }
    std::string input() const { return path_ + "/in.jpg"; }
    std::string output() const { return path_ + "/out.gif"; }

  private:
    std::string path_;
};

bool WriteFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
    vemo::UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!fd) return false;
    for (std::size_t done = 0; done < size;) {
        const ssize_t put = write(fd.get(), data + done, size - done);
        if (put <= 0) return false;
        done += static_cast<std::size_t>(put);
    }
    return fd.Close();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const ScratchFolder folder;
    if (size < 3 || !folder.ok()) return 0;
    if (!WriteFile(folder.input(), data + 2, size - 2)) std::abort();

    vemo::GifConvertJob job{};
    job.max_width = 16u + data[0];
    job.max_height = 16u + data[0];
    job.colors = data[1];
    job.input_path = folder.input();
    job.output_path = folder.output();
    vemo::ConvertJpegToGif(job);
    return 0;
}
