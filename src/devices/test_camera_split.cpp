// The raw stream's splitter (test_camera_replay.h): JPEG pictures back to
// back, cut by each picture's structure.

#include <cstring>

#include "devices/test_camera_replay.h"
#include "imaging/jpeg_structure.h"

namespace vemo {
namespace {

// How much of a raw stream after a picture's start is held to judge the
// picture whole: room for one of the largest size coded at high quality. A
// whole picture longer than this is split at its markers, as a broken one.
constexpr std::size_t kJudgedBytes = std::size_t{32} << 20;

// The first marker at or after `from` whose code is `code` or `other`; when
// there is none, nullopt and in `rest` where a marker may yet begin (a last
// 0xFF) or the end.
std::optional<std::size_t> FindMarker(std::span<const std::uint8_t> bytes, std::size_t from,
                                      std::uint8_t code, std::uint8_t other, std::size_t& rest) {
    for (std::size_t at = from; at < bytes.size();) {
        const void* found = std::memchr(bytes.data() + at, kJpegMarker, bytes.size() - at);
        if (found == nullptr) break;
        at = static_cast<std::size_t>(static_cast<const std::uint8_t*>(found) - bytes.data());
        if (at + 1 == bytes.size()) {
            rest = at;
            return std::nullopt;
        }
        if (bytes[at + 1] == code || bytes[at + 1] == other) return at;
        ++at;
    }
    rest = bytes.size();
    return std::nullopt;
}

}  // namespace

void MotionJpegSplitter::Feed(std::span<const std::uint8_t> bytes) {
    held_.insert(held_.end(), bytes.begin(), bytes.end());
    Split(false);
}

std::vector<ReplayPicture> MotionJpegSplitter::Finish() {
    Split(true);
    if (start_) Close(*start_, held_at_ + held_.size());
    start_.reset();
    return std::move(pictures_);
}

void MotionJpegSplitter::Split(bool finished) {
    const std::span<const std::uint8_t> held(held_);
    for (;;) {
        std::size_t rest = 0;
        if (start_) {
            // A broken picture: its first end or the next start ends it.
            const std::optional<std::size_t> marker =
                FindMarker(held, scan_, kJpegStartOfImage, kJpegEndOfImage, rest);
            if (!marker) {
                scan_ = rest;
                break;
            }
            scan_ = held[*marker + 1] == kJpegEndOfImage ? *marker + 2 : *marker;
            Close(*start_, held_at_ + scan_);
            start_.reset();
            continue;
        }
        const std::optional<std::size_t> begin =
            FindMarker(held, scan_, kJpegStartOfImage, kJpegStartOfImage, rest);
        scan_ = begin.value_or(rest);
        if (!begin) break;
        // A picture is judged once as much of it as a picture may take is
        // here, or the stream has ended.
        const std::size_t ahead = held.size() - *begin;
        if (ahead < kJudgedBytes && !finished) break;
        const JpegLayout layout =
            ReadJpegLayout(held.subspan(*begin, std::min(ahead, kJudgedBytes)));
        if (layout.whole) {
            scan_ = *begin + layout.end;
            Close(held_at_ + *begin, held_at_ + scan_);
        } else {
            start_ = held_at_ + *begin;
            scan_ = *begin + 2;
        }
    }
    // What lies before scan_ is settled; it is let go once it is at least
    // half of what is held, so that each byte is moved a bounded number of
    // times.
    if (scan_ > 0 && scan_ >= held_.size() / 2) {
        held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(scan_));
        held_at_ += scan_;
        scan_ = 0;
    }
}

void MotionJpegSplitter::Close(std::uint64_t start, std::uint64_t end) {
    // A picture a caller cannot hold in one buffer is not sent.
    if (end - start <= UINT32_MAX) {
        pictures_.push_back({start, static_cast<std::uint32_t>(end - start)});
    }
}

}  // namespace vemo
