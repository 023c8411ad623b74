#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace vemo::test {

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes away.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }

  private:
    std::filesystem::path path_;
};

// While it lives, files this process writes cannot grow past `bytes`: a
// write beyond fails with EFBIG, as on a full disk, for regular files that
// can then be checked for being removed.
class FileSizeLimit {
  public:
    explicit FileSizeLimit(std::uint64_t bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

  private:
    std::uint64_t previous_cur_ = 0;
    void (*previous_handler_)(int) = nullptr;
};

// Makes a character device node with /dev/null's numbers at `path`; false
// where this user may not (only root may).
bool MakeNullDevice(const std::string& path);

std::vector<std::uint8_t> ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const std::vector<std::uint8_t>& bytes);

// A picture decoded by libjpeg, used as an independent reader of our JPEGs.
struct DecodedJpeg {
    bool ok = false;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    int components = 0;
    std::vector<std::uint8_t> samples;  // top-down, components per pixel

    const std::uint8_t* at(std::uint32_t x, std::uint32_t y) const {
        return samples.data() + (std::size_t{y} * width + x) * static_cast<std::size_t>(components);
    }
};
DecodedJpeg DecodeJpeg(const std::string& path);

// A GIF decoded by giflib.
struct DecodedGif {
    bool ok = false;
    int width = 0;
    int height = 0;
    int color_count = 0;                // entries of the global colour table
    std::vector<std::uint8_t> palette;  // red, green, blue per entry
    std::vector<std::uint8_t> indices;  // width * height, top-down

    // The colour at (x, y) as red, green, blue.
    const std::uint8_t* rgb(int x, int y) const {
        return palette.data() + 3 * std::size_t{indices[static_cast<std::size_t>(y * width + x)]};
    }
};
DecodedGif DecodeGif(const std::string& path);

// A bottom-up blue-green-red picture with padded rows, as the JPEG writer
// takes it, filled with colour(x, y) (x, y counted from the top-left).
struct Rgb {
    std::uint8_t r, g, b;
};
std::vector<std::uint8_t> MakeBottomUpPicture(std::uint32_t width, std::uint32_t height,
                                              Rgb (*colour)(std::uint32_t x, std::uint32_t y));

// A real photograph that Debian ships (package python-matplotlib-data): a
// 512 x 600 baseline JPEG from a camera, for material no one here coded.
inline constexpr char kPhotograph[] = "/usr/share/matplotlib/mpl-data/sample_data/grace_hopper.jpg";

// Writes a baseline JPEG of the given size and pattern through libjpeg
// directly (colour, or greyscale when components == 1; CMYK when 4).
void WriteTestJpeg(const std::string& path, std::uint32_t width, std::uint32_t height,
                   int components = 3);

// Largest per-channel difference between two colours.
int ColourDistance(const std::uint8_t* a, Rgb b);

}  // namespace vemo::test

namespace vemo::test {

// Runs a program to its end with the given arguments; collects its exit
// status and both output streams.
struct ProcessResult {
    int exit_code = -1;
    std::string out;
    std::string err;
};
ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const std::vector<std::string>& extra_environment = {});

}  // namespace vemo::test
