#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/error.h"

namespace vemo::tools {

// A PPM's picture as the JPEG writer codes it without converting it:
// top-down rows of red-green-blue pixels, 3 bytes a pixel, rows packed. A
// file of 8-bit samples is used where it lies, mapped; other files are
// scaled into a buffer of their own.
class PpmPicture {
  public:
    PpmPicture() = default;
    ~PpmPicture();
    PpmPicture(const PpmPicture&) = delete;
    PpmPicture& operator=(const PpmPicture&) = delete;

    std::uint32_t width() const { return width_; }
    std::uint32_t height() const { return height_; }
    const std::uint8_t* rgb() const { return rgb_; }

  private:
    friend Result<> ReadPpm(const std::string&, PpmPicture&);

    std::uint32_t width_ = 0;
    std::uint32_t height_ = 0;
    const std::uint8_t* rgb_ = nullptr;
    void* mapping_ = nullptr;  // the whole file, when mapped
    std::size_t mapping_size_ = 0;
    std::vector<std::uint8_t> scaled_;
};

// Reads a binary PPM (P6, any maxval from 1 to 65535: samples of one byte,
// or of two most significant first, scaled to 8 bits), or says why not.
Result<> ReadPpm(const std::string& path, PpmPicture& picture);

}  // namespace vemo::tools
