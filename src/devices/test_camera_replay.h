#pragma once

// The pictures a replay camera sends: where each lies in its file, found once
// when the camera is plugged in, and the size and rate the camera offers.
//
// An AVI's pictures are the chunks of its Motion JPEG stream ("00dc"/"00db"
// in the 'movi' lists, OpenDML's 'AVIX' parts included), one chunk one
// picture; empty chunks (frames the writer dropped) are passed over.
//
// A raw stream (JPEG pictures back to back) is split by each picture's
// structure: a picture starts at an SOI (FFD8) and, when whole, ends at its
// own EOI (FFD9), found by walking its header segments by their lengths, so
// that a picture carried inside a segment (an EXIF thumbnail) neither ends it
// nor is sent on its own. A broken picture runs to the first EOI or SOI after
// its start, whichever comes first, or to the end of the file: one cut short
// ends where the next one starts. Bytes between a picture's end and the next
// SOI belong to no picture.
//
// A file's headers are not trusted: the camera offers the size its pictures'
// own frame headers state, at most kReplayMaxSide a side (a picture stating
// more is sent as it is, as a camera's garbled ones), and at most
// kReplayMaxRate pictures a second.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "camera/camera_format.h"

namespace vemo {

inline constexpr int kReplayMaxSide = 8192;
inline constexpr int kReplayMaxRate = 120;

struct ReplayPicture {
    std::uint64_t offset = 0;
    std::uint32_t size = 0;
    bool operator==(const ReplayPicture&) const = default;
};

struct ReplayFile {
    std::string path;
    FrameSize size;
    int rate_numerator = 30;
    int rate_denominator = 1;
    std::vector<ReplayPicture> pictures;
};

// Splits a raw Motion JPEG stream fed in pieces, by the rule above.
class MotionJpegSplitter {
  public:
    // The next `bytes` of the stream.
    void Feed(std::span<const std::uint8_t> bytes);
    // The stream ends here; a picture still open runs to its end.
    std::vector<ReplayPicture> Finish();

  private:
    void Split(bool finished);
    void Close(std::uint64_t start, std::uint64_t end);

    std::vector<ReplayPicture> pictures_;
    // The stream from held_at_ on: at least a picture's start and what
    // follows it until the picture can be judged whole or broken.
    std::vector<std::uint8_t> held_;
    std::uint64_t held_at_ = 0;
    std::size_t scan_ = 0;                // in held_: where the search goes on
    std::optional<std::uint64_t> start_;  // of a broken picture whose end is searched
};

// The size the frame header before the picture's scan states, whatever it
// is; nullopt when none can be read or it gives no pixels.
std::optional<FrameSize> JpegFrameSize(std::span<const std::uint8_t> picture);

// Finds the pictures of the AVI or raw stream at `path`. The rate is the
// AVI's own (a raw stream's is 30); `fps` > 0 replaces it; either is held to
// kReplayMaxRate. On failure `error` names the file and says what is wrong
// with it.
std::optional<ReplayFile> OpenReplayFile(const std::string& path, int fps, std::string& error);

// Reads `picture` of the open `fd`; false when it cannot be read whole.
bool ReadReplayPicture(int fd, const ReplayPicture& picture, std::uint8_t* out);

}  // namespace vemo
