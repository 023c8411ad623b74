#pragma once

// The pictures a replay camera sends: where each lies in its file, found once
// when the camera is plugged in, and the size and rate the camera offers.
//
// An AVI's pictures are the chunks of its Motion JPEG stream ("00dc"/"00db"
// in the 'movi' lists, OpenDML's 'AVIX' parts included), one chunk one
// picture; empty chunks (frames the writer dropped) are passed over. A raw
// stream (JPEG pictures back to back) is split at markers only, never parsed:
// a picture starts at an SOI (FFD8) and runs to its EOI (FFD9) or to the next
// SOI, whichever comes first, or to the end of the file. So a picture cut
// short ends where the next one starts, and bytes between an EOI and the next
// SOI belong to no picture. An SOI or EOI inside a segment's data (an EXIF
// thumbnail, an ICC profile) splits there too; cameras' Motion JPEG carries
// neither.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "camera/camera_format.h"

namespace vemo {

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
    void Close(std::uint64_t end);

    std::vector<ReplayPicture> pictures_;
    std::uint64_t position_ = 0;
    std::optional<std::uint64_t> start_;  // of the open picture
    bool after_ff_ = false;
};

// The size an SOF segment before the picture's scan gives; nullopt when none
// can be read. Only the replay file's size is taken from it.
std::optional<FrameSize> JpegFrameSize(std::span<const std::uint8_t> picture);

// Finds the pictures of the AVI or raw stream at `path`. The rate is the
// AVI's own (a raw stream's is 30); `fps` > 0 replaces it. On failure
// `error` names the file and says what is wrong with it.
std::optional<ReplayFile> OpenReplayFile(const std::string& path, int fps, std::string& error);

// Reads `picture` of the open `fd`; false when it cannot be read whole.
bool ReadReplayPicture(int fd, const ReplayPicture& picture, std::uint8_t* out);

}  // namespace vemo
