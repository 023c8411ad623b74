#include "screen/picture_cache.h"

#include <fcntl.h>
#include <unistd.h>
#include <xxhash.h>

#include <algorithm>
#include <cerrno>

#include "base/freer.h"
#include "base/unique_fd.h"
#include "base/write_all.h"
#include "imaging/output_file.h"

namespace vemo::screen {

struct PixelHasher::State {
    std::unique_ptr<XXH3_state_t, Freer<XXH3_freeState>> xxh3{XXH3_createState()};
};

PixelHasher::PixelHasher() : state_(std::make_unique<State>()) {}
PixelHasher::~PixelHasher() = default;

namespace {

PixelDigest FromXxh(const XXH128_hash_t& hash) {
    return {hash.low64, hash.high64};
}

}  // namespace

PixelDigest PixelHasher::Digest(const GrabbedPixels& pixels, SourceRect rect) {
    const int x0 = std::max(rect.x, 0), y0 = std::max(rect.y, 0);
    const int x1 = std::min(rect.x + rect.width, pixels.width);
    const int y1 = std::min(rect.y + rect.height, pixels.height);
    if (x1 <= x0 || y1 <= y0 || pixels.data == nullptr) return {};
    const auto bytes_per_pixel = static_cast<std::size_t>(pixels.layout.bits_per_pixel / 8);
    const std::size_t row_bytes = bytes_per_pixel * static_cast<std::size_t>(x1 - x0);
    const std::uint8_t* first = pixels.data + pixels.stride * static_cast<std::size_t>(y0) +
                                bytes_per_pixel * static_cast<std::size_t>(x0);
    if (row_bytes == pixels.stride) {
        // Whole rows without padding: one stretch of memory.
        return FromXxh(XXH3_128bits(first, row_bytes * static_cast<std::size_t>(y1 - y0)));
    }
    XXH3_state_t* state = state_->xxh3.get();
    XXH3_128bits_reset(state);
    for (int y = y0; y < y1; ++y) {
        XXH3_128bits_update(state, first + pixels.stride * static_cast<std::size_t>(y - y0),
                            row_bytes);
    }
    return FromXxh(XXH3_128bits_digest(state));
}

PixelDigest PixelHasher::Combine(std::span<const PixelDigest> digests) {
    return FromXxh(XXH3_128bits(digests.data(), digests.size_bytes()));
}

const std::vector<std::uint8_t>* PictureCache::Find(const std::string& name,
                                                    const PixelDigest& digest) const {
    const auto found = kept_.find(name);
    if (found == kept_.end() || !(found->second.digest == digest)) return nullptr;
    return &found->second.bytes;
}

const PixelDigest* PictureCache::KeptDigest(const std::string& name) const {
    const auto found = kept_.find(name);
    return found != kept_.end() ? &found->second.digest : nullptr;
}

const std::vector<std::uint8_t>* PictureCache::KeptBytes(const std::string& name) const {
    const auto found = kept_.find(name);
    return found != kept_.end() ? &found->second.bytes : nullptr;
}

void PictureCache::Keep(const std::string& name, const PixelDigest& digest,
                        std::vector<std::uint8_t> bytes) {
    kept_[name] = Kept{digest, std::move(bytes)};
}

bool ReadWholeFile(const std::string& path, std::vector<std::uint8_t>& bytes) {
    bytes.clear();
    const UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) return false;
    std::uint8_t buffer[64 * 1024];
    for (;;) {
        const ssize_t got = read(fd.get(), buffer, sizeof buffer);
        if (got == 0) return true;
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.insert(bytes.end(), buffer, buffer + got);
    }
}

ImagingResult WriteWholeFile(const std::string& path, std::span<const std::uint8_t> bytes) {
    UniqueFd fd(CreateFreshFile(path));
    if (!fd) return ImagingFailure(kErrCreateOutput);
    bool written = WriteAll(fd.get(), bytes.data(), bytes.size());
    written = fd.Close() && written;
    if (written) return {};
    unlink(path.c_str());
    return ImagingFailure(kErrCloseOutput);
}

}  // namespace vemo::screen
