#include "support/test_support.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include <gif_lib.h>
#include <jpeglib.h>

namespace vemo::test {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vemo-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::vector<std::uint8_t> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

namespace {

struct TestErrorManager {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
};

void JumpOut(j_common_ptr cinfo) {
    std::longjmp(reinterpret_cast<TestErrorManager*>(cinfo->err)->jump, 1);
}
void Quiet(j_common_ptr) {}

// Decoding with every libjpeg object set up before setjmp and nothing with a
// destructor created after it.
bool DecodeInto(std::FILE* file, DecodedJpeg& out) {
    jpeg_decompress_struct cinfo{};
    TestErrorManager errors{};
    cinfo.err = jpeg_std_error(&errors.pub);
    errors.pub.error_exit = JumpOut;
    errors.pub.output_message = Quiet;
    jpeg_create_decompress(&cinfo);
    if (setjmp(errors.jump) != 0) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_stdio_src(&cinfo, file);
    jpeg_read_header(&cinfo, TRUE);
    jpeg_start_decompress(&cinfo);
    out.width = cinfo.output_width;
    out.height = cinfo.output_height;
    out.components = cinfo.output_components;
    out.samples.resize(std::size_t{out.width} * out.height *
                       static_cast<std::size_t>(out.components));
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = out.samples.data() + std::size_t{cinfo.output_scanline} * out.width *
                                                static_cast<std::size_t>(out.components);
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    // A picture whose data ended early decodes with a warning: not whole.
    const bool whole = errors.pub.num_warnings == 0;
    jpeg_destroy_decompress(&cinfo);
    return whole;
}

}  // namespace

DecodedJpeg DecodeJpeg(const std::string& path) {
    DecodedJpeg out;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return out;
    out.ok = DecodeInto(file, out);
    std::fclose(file);
    return out;
}

DecodedGif DecodeGif(const std::string& path) {
    DecodedGif out;
    int error = 0;
    GifFileType* gif = DGifOpenFileName(path.c_str(), &error);
    if (gif == nullptr) return out;
    if (DGifSlurp(gif) == GIF_OK && gif->ImageCount == 1 && gif->SColorMap != nullptr) {
        const SavedImage& image = gif->SavedImages[0];
        out.width = gif->SWidth;
        out.height = gif->SHeight;
        out.color_count = gif->SColorMap->ColorCount;
        for (int i = 0; i < out.color_count; ++i) {
            const GifColorType& c = gif->SColorMap->Colors[i];
            out.palette.insert(out.palette.end(), {c.Red, c.Green, c.Blue});
        }
        const auto size = static_cast<std::size_t>(image.ImageDesc.Width * image.ImageDesc.Height);
        out.indices.assign(image.RasterBits, image.RasterBits + size);
        out.ok = image.ImageDesc.Width == out.width && image.ImageDesc.Height == out.height;
    }
    DGifCloseFile(gif, &error);
    return out;
}

std::vector<std::uint8_t> MakeBottomUpPicture(std::uint32_t width, std::uint32_t height,
                                              Rgb (*colour)(std::uint32_t, std::uint32_t)) {
    const std::size_t stride = (std::size_t{width} * 3 + 3) & ~std::size_t{3};
    // Padding bytes hold a marker that must never show up in a picture.
    std::vector<std::uint8_t> pixels(stride * height, 0xA5);
    for (std::uint32_t y = 0; y < height; ++y) {
        std::uint8_t* row = pixels.data() + stride * (height - 1 - y);
        for (std::uint32_t x = 0; x < width; ++x) {
            const Rgb c = colour(x, y);
            row[3 * x] = c.b;
            row[3 * x + 1] = c.g;
            row[3 * x + 2] = c.r;
        }
    }
    return pixels;
}

void WriteTestJpeg(const std::string& path, std::uint32_t width, std::uint32_t height,
                   int components) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) throw std::runtime_error("cannot create " + path);
    jpeg_compress_struct cinfo{};
    jpeg_error_mgr errors{};
    cinfo.err = jpeg_std_error(&errors);
    jpeg_create_compress(&cinfo);
    jpeg_stdio_dest(&cinfo, file);
    cinfo.image_width = width;
    cinfo.image_height = height;
    cinfo.input_components = components;
    cinfo.in_color_space = components == 1 ? JCS_GRAYSCALE : components == 4 ? JCS_CMYK : JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 90, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    std::vector<std::uint8_t> row(std::size_t{width} * static_cast<std::size_t>(components));
    while (cinfo.next_scanline < height) {
        const std::uint32_t y = cinfo.next_scanline;
        for (std::uint32_t x = 0; x < width; ++x) {
            const int across = static_cast<int>(x * 255 / (width > 1 ? width - 1 : 1));
            const int down = static_cast<int>(y * 255 / (height > 1 ? height - 1 : 1));
            // Smooth gradients with a little texture: many distinct colours.
            const int values[4] = {across, down,
                                   std::min(255, (across + down) / 2 + int((x ^ y) & 7)), 0};
            for (int c = 0; c < components; ++c) {
                row[std::size_t{x} * static_cast<std::size_t>(components) +
                    static_cast<std::size_t>(c)] = static_cast<std::uint8_t>(values[c]);
            }
        }
        JSAMPROW rows[1] = {row.data()};
        jpeg_write_scanlines(&cinfo, rows, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::fclose(file);
}

int ColourDistance(const std::uint8_t* a, Rgb b) {
    const int dr = std::abs(a[0] - b.r), dg = std::abs(a[1] - b.g), db = std::abs(a[2] - b.b);
    return std::max({dr, dg, db});
}

}  // namespace vemo::test

#include <sys/wait.h>
#include <unistd.h>

namespace vemo::test {

ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const std::vector<std::string>& extra_environment) {
    TempDir dir;
    const std::string out_path = dir / "out", err_path = dir / "err";
    ProcessResult result;
    const pid_t pid = fork();
    if (pid == 0) {
        std::FILE* out = std::freopen(out_path.c_str(), "w", stdout);
        std::FILE* err = std::freopen(err_path.c_str(), "w", stderr);
        if (out == nullptr || err == nullptr) _exit(127);
        for (const std::string& assignment : extra_environment) {
            putenv(const_cast<char*>(assignment.c_str()));
        }
        std::vector<char*> args;
        for (const std::string& arg : argv)
            args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
        result.exit_code = WEXITSTATUS(status);
    }
    const auto out = ReadBytes(out_path), err = ReadBytes(err_path);
    result.out.assign(out.begin(), out.end());
    result.err.assign(err.begin(), err.end());
    return result;
}

}  // namespace vemo::test

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <csignal>

namespace vemo::test {

FileSizeLimit::FileSizeLimit(std::uint64_t bytes) {
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    previous_cur_ = limit.rlim_cur;
    // Without this the write past the limit would end the process.
    previous_handler_ = std::signal(SIGXFSZ, SIG_IGN);
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
}

FileSizeLimit::~FileSizeLimit() {
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = previous_cur_;
    setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, previous_handler_);
}

bool MakeNullDevice(const std::string& path) {
    return mknod(path.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;
}

}  // namespace vemo::test
