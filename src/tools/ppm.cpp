#include "tools/ppm.h"

#include <algorithm>
#include <cctype>
#include <fstream>

#include "imaging/jpeg_writer.h"

namespace vemo::tools {
namespace {

// Reads one header number, skipping white space and # comments.
bool ReadHeaderNumber(std::istream& in, std::uint32_t& value) {
    int c = in.get();
    while (c != EOF && (std::isspace(c) || c == '#')) {
        if (c == '#') {
            while (c != EOF && c != '\n')
                c = in.get();
        }
        c = in.get();
    }
    if (c == EOF || !std::isdigit(c)) return false;
    std::uint64_t number = 0;
    while (c != EOF && std::isdigit(c)) {
        number = number * 10 + static_cast<std::uint64_t>(c - '0');
        if (number > 0xffffffffu) return false;
        c = in.get();
    }
    value = static_cast<std::uint32_t>(number);
    // Exactly one white-space byte ends the number; after maxval the data begins.
    return c != EOF && std::isspace(c);
}

}  // namespace

bool ReadPpm(const std::string& path, BottomUpPicture& picture, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open input file";
        return false;
    }
    char magic[2] = {};
    std::uint32_t width = 0, height = 0, maxval = 0;
    if (!in.read(magic, 2) || magic[0] != 'P' || magic[1] != '6' || !ReadHeaderNumber(in, width) ||
        !ReadHeaderNumber(in, height) || !ReadHeaderNumber(in, maxval)) {
        error = "not a binary PPM (P6) file";
        return false;
    }
    if (width == 0 || height == 0 || maxval == 0 || maxval > 255) {
        error = "unsupported PPM: needs a non-empty picture with 8-bit samples";
        return false;
    }
    if (width > 65500 || height > 65500) {
        error = "PPM picture too large (at most 65500 pixels a side)";
        return false;
    }
    // Check the data is all there before making room for it.
    const std::streampos data_start = in.tellg();
    in.seekg(0, std::ios::end);
    const std::streamoff available = in.tellg() - data_start;
    in.seekg(data_start);
    if (available < static_cast<std::streamoff>(std::uint64_t{width} * height * 3)) {
        error = "PPM data ends early";
        return false;
    }

    const std::size_t stride = JpegRowStride(width, 24);
    picture.width = width;
    picture.height = height;
    picture.pixels.assign(stride * height, 0);
    std::vector<char> row(std::size_t{width} * 3);
    for (std::uint32_t y = 0; y < height; ++y) {
        if (!in.read(row.data(), static_cast<std::streamsize>(row.size()))) {
            error = "PPM data ends early";
            return false;
        }
        // The top row of the file becomes the last row in memory.
        std::uint8_t* out = picture.pixels.data() + stride * (height - 1 - y);
        for (std::size_t x = 0; x < width; ++x) {
            for (std::size_t c = 0; c < 3; ++c) {
                const unsigned sample =
                    std::min<unsigned>(static_cast<unsigned char>(row[3 * x + c]), maxval);
                out[3 * x + 2 - c] = static_cast<std::uint8_t>(sample * 255u / maxval);
            }
        }
    }
    return true;
}

}  // namespace vemo::tools
