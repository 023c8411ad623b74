// How a raw Motion JPEG stream is cut into pictures, how a camera's size is
// read from a picture, and how VEMO_TEST_CAMERAS descriptions are taken.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "devices/test_camera_replay.h"
#include "devices/test_cameras.h"
#include "support/test_support.h"

namespace vemo {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

std::vector<ReplayPicture> SplitInPieces(const Bytes& stream, std::size_t piece) {
    MotionJpegSplitter splitter;
    for (std::size_t at = 0; at < stream.size(); at += piece)
        splitter.Feed(std::span(stream).subspan(at, std::min(piece, stream.size() - at)));
    return splitter.Finish();
}

TEST(MotionJpegSplit, PicturesRunFromStartToEndOrToTheNextStart) {
    const Bytes whole = {0xFF, 0xD8, 0x11, 0xFF, 0x00, 0x22, 0xFF, 0xD9};  // 0..8
    const Bytes cut = {0xFF, 0xD8, 0x33, 0x44, 0xFF};                      // no end
    const Bytes garbage = {0xFF, 0xD8, 0x01, 0x02, 0x03, 0xFF, 0xD9};      // no header at all
    const Bytes between = {0x55, 0x66};                                    // after an end
    const Bytes last = {0xFF, 0xD8, 0x77};                                 // the file ends
    const Bytes stream = Join({between, whole, cut, garbage, between, whole, last});
    const std::vector<ReplayPicture> expected = {{2, 8}, {10, 5}, {15, 7}, {24, 8}, {32, 3}};
    // Markers split across the pieces it is read in are found all the same.
    for (std::size_t piece : {stream.size(), std::size_t{1}, std::size_t{2}, std::size_t{5}}) {
        EXPECT_EQ(SplitInPieces(stream, piece), expected) << "in pieces of " << piece;
    }
    EXPECT_TRUE(SplitInPieces({0x00, 0xFF, 0xD9, 0x12}, 3).empty()) << "no start, no picture";
}

TEST(MotionJpegSplit, TheSizeComesFromTheFrameHeaderBeforeTheScan) {
    // SOI, APP0 (4 bytes), a fill byte, SOF2 of 352x288, SOS.
    const Bytes progressive = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x04, 0xAA, 0xBB, 0xFF,
                               0xFF, 0xC2, 0x00, 0x0B, 0x08, 0x01, 0x20, 0x01, 0x60,
                               0x01, 0x01, 0x11, 0x00, 0xFF, 0xDA, 0x00, 0x02};
    EXPECT_EQ(JpegFrameSize(progressive), (FrameSize{352, 288}));
    // A DHT (C4) is no frame header; a scan before any ends the search.
    const Bytes tables_only = {0xFF, 0xD8, 0xFF, 0xC4, 0x00, 0x09, 0x00, 0x01, 0x20,
                               0x01, 0x60, 0x01, 0x01, 0xFF, 0xDA, 0x00, 0x02};
    EXPECT_EQ(JpegFrameSize(tables_only), std::nullopt);
    const Bytes cut_short = {0xFF, 0xD8, 0xFF, 0xC0, 0x00, 0x0B, 0x08, 0x01};
    EXPECT_EQ(JpegFrameSize(cut_short), std::nullopt);
    const Bytes zero_width = {0xFF, 0xD8, 0xFF, 0xC0, 0x00, 0x0B, 0x08, 0x00, 0x10, 0x00, 0x00};
    EXPECT_EQ(JpegFrameSize(zero_width), std::nullopt);
}

TEST(MotionJpegSplit, ARawStreamIsReadFromItsFile) {
    test::TempDir dir;
    const Bytes sized = {0xFF, 0xD8, 0xFF, 0xC0, 0x00, 0x0B, 0x08, 0x00, 0x30,
                         0x00, 0x40, 0x01, 0x01, 0x11, 0x00, 0xFF, 0xD9};  // 64x48
    const Bytes headless = {0xFF, 0xD8, 0x12, 0x34, 0xFF, 0xD9};
    test::WriteBytes(dir / "clip.mjpeg", Join({headless, sized, headless}));
    std::string error;
    const auto file = OpenReplayFile(dir / "clip.mjpeg", 0, error);
    ASSERT_TRUE(file) << error;
    EXPECT_EQ(file->size, (FrameSize{64, 48})) << "the first picture that tells its size";
    EXPECT_EQ(file->rate_numerator, 30);
    EXPECT_EQ(file->rate_denominator, 1);
    EXPECT_EQ(file->pictures, (std::vector<ReplayPicture>{{0, 6}, {6, 17}, {23, 6}}));
    EXPECT_EQ(OpenReplayFile(dir / "clip.mjpeg", 12, error)->rate_numerator, 12);

    test::WriteBytes(dir / "sizeless.mjpeg", headless);
    EXPECT_FALSE(OpenReplayFile(dir / "sizeless.mjpeg", 0, error));
    EXPECT_EQ(error,
              "no picture of the replay file \"" + dir / "sizeless.mjpeg" + "\" gives its size");
    test::WriteBytes(dir / "text.txt", {'h', 'e', 'l', 'l', 'o'});
    EXPECT_FALSE(OpenReplayFile(dir / "text.txt", 0, error));
    EXPECT_EQ(error, "the replay file \"" + dir / "text.txt" +
                         "\" is neither an AVI with Motion JPEG video nor a Motion JPEG stream");
    EXPECT_FALSE(OpenReplayFile(dir.path().string(), 0, error)) << "a folder";
}

TEST(TestCameraDescriptions, UnknownOptionsAndReplayFilesAreTaken) {
    const auto cameras = ParseTestCameras(
        "Desk|colour=red|uvc;Clip|replay=/tmp/a,b.avi|fps=12;Web|uvc,1280x720;Both|uvc|replay=x;"
        "Empty|replay=|busy");
    ASSERT_EQ(cameras.size(), 5u);
    EXPECT_EQ(cameras[0].error, "unknown option \"colour=red\"");
    EXPECT_TRUE(cameras[0].uvc) << "the options after it are still read";
    EXPECT_EQ(cameras[1].error, "");
    EXPECT_EQ(cameras[1].replay, "/tmp/a,b.avi") << "a path runs to the next '|'";
    EXPECT_EQ(cameras[1].fps, 12);
    EXPECT_EQ(cameras[2].error, "");
    EXPECT_TRUE(cameras[2].uvc);
    EXPECT_EQ(cameras[2].width, 1280);
    EXPECT_EQ(cameras[3].error, "uvc and replay= do not go together");
    EXPECT_EQ(cameras[4].error, "replay= names no file");
    EXPECT_TRUE(cameras[4].busy);
    EXPECT_EQ(ParseTestCameras("Odd|640x480x2").at(0).error, "unknown option \"640x480x2\"");
    EXPECT_EQ(ParseTestCameras("Trailing|busy|").at(0).error, "") << "an empty option is none";
}

}  // namespace
}  // namespace vemo
