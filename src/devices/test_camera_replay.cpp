#include "devices/test_camera_replay.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <utility>

#include "base/unique_fd.h"
#include "imaging/jpeg_structure.h"

namespace vemo {
namespace {

// Headers are small; a list claiming more is not read whole.
constexpr std::uint32_t kMaxHeaderList = 1 << 20;
// How much of a picture is read for its frame header: first what holds a
// camera's headers, then what holds the largest segments (an EXIF block)
// before it; and of how many pictures.
constexpr std::uint32_t kShortHead = 4096;
constexpr std::uint32_t kLongHead = 3 << 16;
constexpr std::size_t kSizeVotes = 100;

std::string Quoted(const std::string& path) {
    return "the replay file \"" + path + "\"";
}

std::uint32_t Le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

bool IsFourCc(const std::uint8_t* p, const char* code) {
    return std::memcmp(p, code, 4) == 0;
}

bool ReadAt(int fd, std::uint64_t offset, std::uint8_t* out, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = ::pread(fd, out + done, size - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        done += static_cast<std::size_t>(got);
    }
    return true;
}

// Up to `size` bytes at `offset`, fewer at the end of the file.
std::vector<std::uint8_t> ReadSome(int fd, std::uint64_t offset, std::uint64_t size,
                                   std::uint64_t file_size) {
    if (offset >= file_size) return {};
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(std::min(size, file_size - offset)));
    if (!ReadAt(fd, offset, bytes.data(), bytes.size())) bytes.clear();
    return bytes;
}

bool ValidSize(FrameSize size) {
    return size.width > 0 && size.height > 0 && size.width <= kReplayMaxSide &&
           size.height <= kReplayMaxSide;
}

bool IsMotionJpeg(const std::uint8_t* code) {
    char upper[4];
    for (int i = 0; i < 4; ++i)
        upper[i] = static_cast<char>(std::toupper(code[i]));
    return std::memcmp(upper, "MJPG", 4) == 0 || std::memcmp(upper, "JPEG", 4) == 0;
}

// What the AVI's headers say about its first video stream.
struct AviVideo {
    bool found = false;
    int stream = -1;
    std::uint8_t compression[4] = {};
    FrameSize size;
    FrameSize main_size;                // from 'avih'
    std::uint32_t usec_per_frame = 0;   // from 'avih'
    std::uint32_t scale = 0, rate = 0;  // from the stream's 'strh'
};

void ReadStreamList(const std::uint8_t* p, std::size_t size, int stream, AviVideo& video) {
    bool is_video = false;
    for (std::size_t at = 0; at + 8 <= size;) {
        const std::uint32_t length = Le32(p + at + 4);
        const std::uint8_t* data = p + at + 8;
        if (length > size - at - 8) break;
        if (IsFourCc(p + at, "strh") && length >= 28) {
            is_video = IsFourCc(data, "vids") && !video.found;
            if (is_video) {
                video.found = true;
                video.stream = stream;
                video.scale = Le32(data + 20);
                video.rate = Le32(data + 24);
                std::memcpy(video.compression, data + 4, 4);
            }
        } else if (IsFourCc(p + at, "strf") && is_video && length >= 20) {
            // BITMAPINFOHEADER; a bottom-up height is negative.
            const auto height =
                static_cast<std::int64_t>(static_cast<std::int32_t>(Le32(data + 8)));
            video.size = {static_cast<int>(std::min<std::uint32_t>(Le32(data + 4), INT32_MAX)),
                          static_cast<int>(std::min<std::int64_t>(std::abs(height), INT32_MAX))};
            std::memcpy(video.compression, data + 16, 4);
        }
        at += 8 + length + (length & 1);
    }
}

void ReadHeaderList(const std::uint8_t* p, std::size_t size, AviVideo& video) {
    int stream = 0;
    for (std::size_t at = 0; at + 8 <= size;) {
        const std::uint32_t length = Le32(p + at + 4);
        if (length > size - at - 8) break;
        const std::uint8_t* data = p + at + 8;
        if (IsFourCc(p + at, "avih") && length >= 40) {
            video.usec_per_frame = Le32(data);
            video.main_size = {static_cast<int>(Le32(data + 32)),
                               static_cast<int>(Le32(data + 36))};
        } else if (IsFourCc(p + at, "LIST") && length >= 4 && IsFourCc(data, "strl")) {
            ReadStreamList(data + 4, length - 4, stream++, video);
        }
        at += 8 + length + (length & 1);
    }
}

// The pictures of one 'movi' list (and the 'rec ' lists in it, one level
// deep as writers make them) between `begin` and `end`; a chunk running past
// the end of the file is cut there.
void ReadMovieList(int fd, std::uint64_t begin, std::uint64_t end, std::uint64_t file_size,
                   const char (&dc)[5], const char (&db)[5], std::vector<ReplayPicture>& out,
                   bool nested = false) {
    std::uint8_t header[12];
    for (std::uint64_t at = begin; at + 8 <= end;) {
        if (!ReadAt(fd, at, header, 8)) return;
        const std::uint32_t length = Le32(header + 4);
        if (!nested && IsFourCc(header, "LIST") && length >= 4 &&
            ReadAt(fd, at + 8, header + 8, 4) && IsFourCc(header + 8, "rec ")) {
            ReadMovieList(fd, at + 12, std::min(end, at + 8 + length), file_size, dc, db, out,
                          true);
        } else if ((IsFourCc(header, dc) || IsFourCc(header, db)) && length > 0) {
            const std::uint64_t size = std::min<std::uint64_t>(length, file_size - (at + 8));
            if (size > 0) out.push_back({at + 8, static_cast<std::uint32_t>(size)});
        }
        at += 8 + static_cast<std::uint64_t>(length) + (length & 1);
    }
}

std::optional<ReplayFile> ReadAvi(int fd, std::uint64_t file_size, ReplayFile file,
                                  std::string& error) {
    AviVideo video;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> movies;  // data begin, end
    std::uint8_t header[12];
    // Each 'RIFF' part: the first "AVI ", OpenDML's further ones "AVIX". A
    // size of 0 (a writer that never finished) runs to the end of the file.
    for (std::uint64_t part = 0; part + 12 <= file_size;) {
        if (!ReadAt(fd, part, header, 12) || !IsFourCc(header, "RIFF")) break;
        const std::uint32_t part_length = Le32(header + 4);
        const std::uint64_t part_end =
            part_length < 4 ? file_size : std::min(file_size, part + 8 + part_length);
        for (std::uint64_t at = part + 12; at + 12 <= part_end;) {
            if (!ReadAt(fd, at, header, 12)) break;
            const std::uint32_t length = Le32(header + 4);
            const bool list = IsFourCc(header, "LIST");
            if (list && IsFourCc(header + 8, "hdrl") && !video.found && length >= 4) {
                const std::vector<std::uint8_t> headers =
                    ReadSome(fd, at + 12, std::min(length - 4, kMaxHeaderList), file_size);
                ReadHeaderList(headers.data(), headers.size(), video);
            } else if (list && IsFourCc(header + 8, "movi")) {
                if (length < 4) {
                    movies.emplace_back(at + 12, part_end);
                    break;
                }
                movies.emplace_back(at + 12, std::min(part_end, at + 8 + length));
            }
            at += 8 + static_cast<std::uint64_t>(length) + (length & 1);
        }
        if (part_length < 4) break;
        part += 8 + static_cast<std::uint64_t>(part_length) + (part_length & 1);
    }
    if (!video.found) {
        error = Quoted(file.path) + " is an AVI without a video stream";
        return std::nullopt;
    }
    if (!IsMotionJpeg(video.compression)) {
        error = Quoted(file.path) + " holds \"" +
                std::string(reinterpret_cast<const char*>(video.compression), 4) +
                "\" video, not Motion JPEG";
        return std::nullopt;
    }
    const char dc[5] = {static_cast<char>('0' + video.stream / 10 % 10),
                        static_cast<char>('0' + video.stream % 10), 'd', 'c', 0};
    const char db[5] = {dc[0], dc[1], 'd', 'b', 0};
    for (const auto& [begin, end] : movies)
        ReadMovieList(fd, begin, end, file_size, dc, db, file.pictures);
    if (video.scale > 0 && video.rate > 0 && video.rate <= INT32_MAX && video.scale <= INT32_MAX) {
        file.rate_numerator = static_cast<int>(video.rate);
        file.rate_denominator = static_cast<int>(video.scale);
    } else if (video.usec_per_frame > 0 && video.usec_per_frame <= INT32_MAX) {
        file.rate_numerator = 1'000'000;
        file.rate_denominator = static_cast<int>(video.usec_per_frame);
    }
    file.size = ValidSize(video.size) ? video.size : video.main_size;
    return file;
}

// The size `picture`'s frame header states; nullopt when its head gives none.
std::optional<FrameSize> StatedSize(int fd, const ReplayPicture& picture, std::uint64_t file_size) {
    std::optional<FrameSize> size =
        JpegFrameSize(ReadSome(fd, picture.offset, std::min(picture.size, kShortHead), file_size));
    if (!size && picture.size > kShortHead) {
        size = JpegFrameSize(
            ReadSome(fd, picture.offset, std::min(picture.size, kLongHead), file_size));
    }
    return size;
}

std::string SizeText(FrameSize size) {
    return std::to_string(size.width) + "x" + std::to_string(size.height);
}

std::optional<ReplayFile> ReadRawStream(int fd, ReplayFile file, std::string& error) {
    MotionJpegSplitter splitter;
    std::vector<std::uint8_t> block(1 << 20);
    for (off_t at = 0;;) {
        const ssize_t got = ::pread(fd, block.data(), block.size(), at);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            error = "cannot read " + Quoted(file.path) + ": " + std::strerror(errno);
            return std::nullopt;
        }
        if (got == 0) break;
        splitter.Feed({block.data(), static_cast<std::size_t>(got)});
        at += got;
    }
    file.pictures = splitter.Finish();
    if (file.pictures.empty()) {
        error = Quoted(file.path) +
                " is neither an AVI with Motion JPEG video nor a Motion JPEG stream";
        return std::nullopt;
    }
    return file;
}

}  // namespace

std::optional<FrameSize> JpegFrameSize(std::span<const std::uint8_t> picture) {
    std::size_t at = 2;  // after the SOI
    while (at + 4 <= picture.size()) {
        if (picture[at] != kJpegMarker) return std::nullopt;
        const std::uint8_t marker = picture[at + 1];
        if (marker == kJpegMarker) {  // fill byte
            ++at;
            continue;
        }
        if (marker == kJpegStartOfScan || marker == kJpegEndOfImage) return std::nullopt;
        const std::size_t length = picture[at + 2] << 8 | picture[at + 3];
        if (IsJpegFrameHeader(marker) && length >= 7 && at + 9 <= picture.size()) {
            const FrameSize size{picture[at + 7] << 8 | picture[at + 8],
                                 picture[at + 5] << 8 | picture[at + 6]};
            return size.width > 0 && size.height > 0 ? std::optional(size) : std::nullopt;
        }
        if (length < 2) return std::nullopt;
        at += 2 + length;
    }
    return std::nullopt;
}

std::optional<ReplayFile> OpenReplayFile(const std::string& path, int fps, std::string& error) {
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat info {};
    if (!fd || ::fstat(fd.get(), &info) != 0) {
        error = "cannot read " + Quoted(path) + ": " + std::strerror(errno);
        return std::nullopt;
    }
    if (!S_ISREG(info.st_mode)) {
        error = "cannot read " + Quoted(path) + ": not a file";
        return std::nullopt;
    }
    const auto file_size = static_cast<std::uint64_t>(info.st_size);
    ReplayFile file;
    file.path = path;
    std::uint8_t head[12] = {};
    const bool avi = file_size >= 12 && ReadAt(fd.get(), 0, head, 12) && IsFourCc(head, "RIFF") &&
                     IsFourCc(head + 8, "AVI ");
    std::optional<ReplayFile> read = avi ? ReadAvi(fd.get(), file_size, std::move(file), error)
                                         : ReadRawStream(fd.get(), std::move(file), error);
    if (!read) return std::nullopt;
    if (read->pictures.empty()) {
        error = Quoted(path) + " holds no pictures";
        return std::nullopt;
    }
    // The size the camera offers is the one most of its first pictures'
    // frame headers state (the first such in a tie), whatever the container
    // says; the container's only where none states one. A size larger than
    // a camera sends is never offered: pictures stating one are sent as they
    // are, as a camera's garbled ones, and the engine takes them for none of
    // the camera's own.
    std::map<std::pair<int, int>, std::pair<std::size_t, std::size_t>> stated;  // count, first
    std::optional<FrameSize> too_large;
    for (std::size_t i = 0; i < read->pictures.size() && i < kSizeVotes; ++i) {
        const std::optional<FrameSize> size = StatedSize(fd.get(), read->pictures[i], file_size);
        if (size && !ValidSize(*size)) too_large = size;
        if (size && ValidSize(*size)) {
            ++stated.try_emplace({size->width, size->height}, 0, stated.size()).first->second.first;
        }
    }
    if (!stated.empty()) {
        const auto most = std::max_element(stated.begin(), stated.end(), [](auto& a, auto& b) {
            return a.second.first != b.second.first ? a.second.first < b.second.first
                                                    : a.second.second > b.second.second;
        });
        read->size = {most->first.first, most->first.second};
    } else if (too_large) {
        error = Quoted(path) + " holds pictures of " + SizeText(*too_large) + ", larger than the " +
                SizeText({kReplayMaxSide, kReplayMaxSide}) + " a replay camera sends";
        return std::nullopt;
    }
    if (!ValidSize(read->size)) {
        error = "no picture of " + Quoted(path) + " gives its size";
        return std::nullopt;
    }
    if (fps > 0) {
        read->rate_numerator = fps;
        read->rate_denominator = 1;
    }
    // Nor is the rate believed beyond what a camera sends: a file's header
    // (or a description) asking for more would have the camera flood the
    // engine.
    if (std::int64_t{read->rate_numerator} >
        std::int64_t{kReplayMaxRate} * read->rate_denominator) {
        read->rate_numerator = kReplayMaxRate;
        read->rate_denominator = 1;
    }
    return read;
}

bool ReadReplayPicture(int fd, const ReplayPicture& picture, std::uint8_t* out) {
    return ReadAt(fd, picture.offset, out, picture.size);
}

}  // namespace vemo
