#include "tools/ppm.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <string_view>

#include "base/unique_fd.h"

namespace vemo::tools {
namespace {

// Reads one header number at `at`, skipping white space and # comments
// before it; `at` is left past the one white-space byte (or comment line)
// that must end it.
bool ReadHeaderNumber(std::string_view data, std::size_t& at, std::uint32_t& value) {
    while (at < data.size() &&
           (std::isspace(static_cast<unsigned char>(data[at])) || data[at] == '#')) {
        if (data[at] == '#') {
            while (at < data.size() && data[at] != '\n')
                ++at;
        } else {
            ++at;
        }
    }
    std::uint64_t number = 0;
    const std::size_t start = at;
    for (; at < data.size() && std::isdigit(static_cast<unsigned char>(data[at])); ++at) {
        number = number * 10 + static_cast<std::uint64_t>(data[at] - '0');
        if (number > 0xffffffffu) return false;
    }
    value = static_cast<std::uint32_t>(number);
    if (at == start || at == data.size()) return false;
    // A comment straight after the number ends it as its line's end would,
    // as netpbm reads it.
    if (data[at] == '#') {
        at = data.find('\n', at);
        if (at == std::string_view::npos) return false;
    }
    // Exactly one white-space byte ends the number; after maxval the data begins.
    if (!std::isspace(static_cast<unsigned char>(data[at]))) return false;
    ++at;
    return true;
}

}  // namespace

PpmPicture::~PpmPicture() {
    if (mapping_ != nullptr) ::munmap(mapping_, mapping_size_);
}

Result<> ReadPpm(const std::string& path, PpmPicture& picture) {
    // Mapped rather than read: a picture of 8-bit samples is then coded
    // straight from the page cache, with no copy and no conversion.
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat info {};
    if (!fd || ::fstat(fd.get(), &info) != 0) {
        return Failure(KindOfErrno(errno), "cannot open input file");
    }
    const auto size = static_cast<std::size_t>(std::max<off_t>(info.st_size, 0));
    void* mapping =
        size > 0 ? ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd.get(), 0) : MAP_FAILED;
    if (mapping == MAP_FAILED) {
        return Failure(ErrorKind::kInvalidValue,
                       size > 0 ? "cannot open input file" : "not a binary PPM (P6) file");
    }
    picture.mapping_ = mapping;
    picture.mapping_size_ = size;
    const std::string_view data(static_cast<const char*>(mapping), size);

    std::size_t at = 2;
    std::uint32_t width = 0, height = 0, maxval = 0;
    if (!data.starts_with("P6") || !ReadHeaderNumber(data, at, width) ||
        !ReadHeaderNumber(data, at, height) || !ReadHeaderNumber(data, at, maxval)) {
        return Failure(ErrorKind::kInvalidValue, "not a binary PPM (P6) file");
    }
    // Samples of one byte up to a maxval of 255, else of two, most
    // significant byte first, as the netpbm format has them.
    if (width == 0 || height == 0 || maxval == 0 || maxval > 65535) {
        return Failure(ErrorKind::kInvalidValue,
                       "unsupported PPM: needs a non-empty picture with a maxval from 1 to 65535");
    }
    if (width > 65500 || height > 65500) {
        return Failure(ErrorKind::kInvalidValue,
                       "PPM picture too large (at most 65500 pixels a side)");
    }
    const std::size_t sample_size = maxval < 256 ? 1 : 2;
    const std::size_t samples = std::size_t{width} * height * 3;
    if (size - at < samples * sample_size) {
        return Failure(ErrorKind::kInvalidValue, "PPM data ends early");
    }
    picture.width_ = width;
    picture.height_ = height;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(data.data() + at);
    if (maxval == 255) {
        picture.rgb_ = bytes;
        return {};
    }

    // Each sample's 8-bit value, rounded to the nearest; one above maxval
    // counts as maxval. A table, since a division per sample would cost as
    // much as the JPEG coding.
    std::vector<std::uint8_t> to_8_bits(std::size_t{maxval} + 1);
    for (std::uint32_t sample = 0; sample <= maxval; ++sample)
        to_8_bits[sample] = static_cast<std::uint8_t>((sample * 255u + maxval / 2) / maxval);
    picture.scaled_.resize(samples);
    for (std::size_t i = 0; i < samples; ++i) {
        const std::uint32_t raw =
            sample_size == 1 ? bytes[i] : (std::uint32_t{bytes[2 * i]} << 8) | bytes[2 * i + 1];
        picture.scaled_[i] = to_8_bits[std::min(raw, maxval)];
    }
    picture.rgb_ = picture.scaled_.data();
    return {};
}

}  // namespace vemo::tools
