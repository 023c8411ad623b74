#pragma once

// What a grab keeps of the pictures it published, so that a picture whose
// screen pixels have not changed since is published again as it was, without
// scaling or coding it: for each published name, a digest of the screen
// pixels it was made from and the bytes written.

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "imaging/imaging_result.h"
#include "screen/pixel_format.h"

namespace vemo::screen {

// A 128-bit digest (XXH3) of screen pixels.
struct PixelDigest {
    std::uint64_t low = 0;
    std::uint64_t high = 0;
    bool operator==(const PixelDigest&) const = default;
};

class PixelHasher {
  public:
    PixelHasher();
    ~PixelHasher();
    PixelHasher(const PixelHasher&) = delete;
    PixelHasher& operator=(const PixelHasher&) = delete;

    // The pixels of `rect` within the picture, as grabbed (before any
    // conversion); the part beyond the picture's edge counts for nothing,
    // since the scaler makes it black whatever the screen shows.
    PixelDigest Digest(const GrabbedPixels& pixels, SourceRect rect);

    // A digest of digests: the i-mode picture's, from those of the tiles
    // that together cover the screen.
    PixelDigest Combine(std::span<const PixelDigest> digests);

  private:
    struct State;
    std::unique_ptr<State> state_;
};

class PictureCache {
  public:
    // The bytes kept for `name` when they were made from pixels with
    // `digest`; nullptr otherwise.
    const std::vector<std::uint8_t>* Find(const std::string& name, const PixelDigest& digest) const;
    // The digest of the pixels the bytes kept for `name` were made from.
    const PixelDigest* KeptDigest(const std::string& name) const;
    // The bytes kept for `name`, whatever they were made from; nullptr when none.
    const std::vector<std::uint8_t>* KeptBytes(const std::string& name) const;
    void Keep(const std::string& name, const PixelDigest& digest, std::vector<std::uint8_t> bytes);
    void Forget(const std::string& name) { kept_.erase(name); }
    void Clear() { kept_.clear(); }
    bool empty() const { return kept_.empty(); }

  private:
    struct Kept {
        PixelDigest digest;
        std::vector<std::uint8_t> bytes;
    };
    std::unordered_map<std::string, Kept> kept_;
};

// The whole of a (small) file; false when it cannot be read.
bool ReadWholeFile(const std::string& path, std::vector<std::uint8_t>& bytes);

// Writes `bytes` as a fresh file at `path` (see CreateFreshFile), failing as
// the picture coders do; on failure no file is left there.
ImagingResult WriteWholeFile(const std::string& path, std::span<const std::uint8_t> bytes);

}  // namespace vemo::screen
