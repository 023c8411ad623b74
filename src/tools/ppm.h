#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vemo::tools {

// A picture laid out as the JPEG writer takes it: bottom-up rows of
// blue-green-red pixels, each row padded to a multiple of 4 bytes.
struct BottomUpPicture {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<std::uint8_t> pixels;
};

// Reads a binary PPM (P6, maxval up to 255). On failure returns false and
// says why in `error`.
bool ReadPpm(const std::string& path, BottomUpPicture& picture, std::string& error);

}  // namespace vemo::tools
