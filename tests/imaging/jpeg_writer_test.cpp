#include "imaging/jpeg_writer.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <jerror.h>

#include "support/test_support.h"

namespace vemo {
namespace {

using test::ColourDistance;
using test::DecodeJpeg;
using test::Rgb;
using test::TempDir;

constexpr Rgb kRed{220, 30, 30}, kGreen{30, 200, 40}, kBlue{20, 40, 210};

// Three bands of 16 rows, top to bottom red, green, blue.
Rgb Bands(std::uint32_t, std::uint32_t y) {
    return y < 16 ? kRed : y < 32 ? kGreen : kBlue;
}

JpegWriteJob Job(const std::string& path, std::uint32_t width, std::uint32_t height,
                 std::vector<std::uint8_t>& pixels) {
    JpegWriteJob job{};
    job.width = width;
    job.height = height;
    job.quality = 75;
    job.bits_per_pixel = 24;
    job.path = path;
    job.pixels = pixels.data();
    return job;
}

void ExpectBands(const std::string& path, std::uint32_t width, Rgb top, Rgb bottom) {
    const auto jpeg = DecodeJpeg(path);
    ASSERT_TRUE(jpeg.ok);
    ASSERT_EQ(jpeg.width, width);
    ASSERT_EQ(jpeg.height, 48u);
    EXPECT_EQ(jpeg.components, 3);
    for (std::uint32_t x = 0; x < width; ++x) {
        EXPECT_LT(ColourDistance(jpeg.at(x, 8), top), 40) << "x " << x;
        EXPECT_LT(ColourDistance(jpeg.at(x, 24), kGreen), 40) << "x " << x;
        EXPECT_LT(ColourDistance(jpeg.at(x, 40), bottom), 40) << "x " << x;
    }
}

TEST(JpegWriter, PaddedRowsComeOutUpright) {
    EXPECT_EQ(JpegRowStride(1, 24), 4u);
    EXPECT_EQ(JpegRowStride(2, 24), 8u);
    EXPECT_EQ(JpegRowStride(5, 24), 16u);
    EXPECT_EQ(JpegRowStride(4, 24), 12u);
    EXPECT_EQ(JpegRowStride(640, 24), 1920u);

    TempDir dir;
    for (std::uint32_t width : {1u, 2u, 4u, 5u, 33u}) {
        SCOPED_TRACE(width);
        auto pixels = test::MakeBottomUpPicture(width, 48, Bands);
        auto job = Job(dir / "bands.jpg", width, 48, pixels);
        ASSERT_TRUE(WriteJpegFrame(job).ok());
        ExpectBands(job.path, width, kRed, kBlue);
    }
}

TEST(JpegWriter, SwapsChannelsInPlace) {
    TempDir dir;
    auto pixels = test::MakeBottomUpPicture(5, 48, Bands);
    auto job = Job(dir / "swap.jpg", 5, 48, pixels);
    ASSERT_TRUE(WriteJpegFrame(job).ok());
    // The first pixel in memory is the bottom-left one: blue, now red-green-blue.
    EXPECT_EQ(pixels[0], kBlue.r);
    EXPECT_EQ(pixels[1], kBlue.g);
    EXPECT_EQ(pixels[2], kBlue.b);
    EXPECT_EQ(pixels[15], 0xA5) << "padding is left alone";

    // A second call on the same buffer codes red and blue exchanged.
    ASSERT_TRUE(WriteJpegFrame(job).ok());
    const Rgb swapped_red{kRed.b, kRed.g, kRed.r}, swapped_blue{kBlue.b, kBlue.g, kBlue.r};
    ExpectBands(job.path, 5, swapped_red, swapped_blue);
}

TEST(JpegWriter, CodesDisplayPixelsWhereTheyAre) {
    // Top-down blue-green-red-unused rows with padding, as a display hands them over.
    TempDir dir;
    const std::uint32_t width = 37, height = 48, stride = 4 * width + 12;
    std::vector<std::uint8_t> pixels(stride * height, 0xA5);
    for (std::uint32_t y = 0; y < height; ++y) {
        for (std::uint32_t x = 0; x < width; ++x) {
            const Rgb c = Bands(x, y);
            std::uint8_t* p = &pixels[y * stride + 4 * x];
            p[0] = c.b;
            p[1] = c.g;
            p[2] = c.r;
        }
    }
    const auto before = pixels;
    auto job = Job(dir / "display.jpg", width, height, pixels);
    job.bits_per_pixel = kBgrxBitsPerPixel;
    job.top_down = true;
    job.row_stride = stride;
    ASSERT_TRUE(WriteJpegFrame(job).ok());
    ExpectBands(job.path, width, kRed, kBlue);
    EXPECT_EQ(pixels, before) << "display pixels are left as they are";

    job.row_stride = 4 * width - 1;
    EXPECT_EQ(WriteJpegFrame(job).code, kErrBadPixelFormat) << "a stride shorter than a row";
}

TEST(JpegWriter, FailuresAreReturnedAndLeaveNoFile) {
    TempDir dir;
    auto pixels = test::MakeBottomUpPicture(64, 48, Bands);

    auto missing_dir = Job(dir / "no/such/dir.jpg", 64, 48, pixels);
    EXPECT_EQ(WriteJpegFrame(missing_dir).code, kErrCreateOutput);

    auto full = Job(dir / "full.jpg", 64, 48, pixels);
    {
        const test::FileSizeLimit disk_full(100);
        const ImagingResult result = WriteJpegFrame(full);
        EXPECT_EQ(result.code, kErrFileWrite);
        EXPECT_FALSE(result.message.empty());
    }
    EXPECT_FALSE(std::filesystem::exists(full.path)) << "no partial file is left";
    // A device at the name is neither written into nor removed.
    auto device = Job("/dev/full", 64, 48, pixels);
    EXPECT_EQ(WriteJpegFrame(device).code, kErrCreateOutput);
    EXPECT_TRUE(std::filesystem::is_character_file("/dev/full"));

    auto empty = Job(dir / "empty.jpg", 0, 48, pixels);
    EXPECT_EQ(WriteJpegFrame(empty).code, JERR_EMPTY_IMAGE);
    EXPECT_FALSE(std::filesystem::exists(empty.path)) << "no truncated file is left";

    auto huge = Job(dir / "huge.jpg", 70000, 1, pixels);
    EXPECT_EQ(WriteJpegFrame(huge).code, JERR_IMAGE_TOO_BIG);

    auto narrow = Job(dir / "narrow.jpg", 64, 48, pixels);
    narrow.bits_per_pixel = 16;
    EXPECT_EQ(WriteJpegFrame(narrow).code, kErrBadPixelFormat);
    EXPECT_FALSE(std::filesystem::exists(narrow.path));

    // The writer is still usable after every failure.
    auto good = Job(dir / "good.jpg", 64, 48, pixels);
    EXPECT_TRUE(WriteJpegFrame(good).ok());
    EXPECT_TRUE(DecodeJpeg(good.path).ok);
}

}  // namespace
}  // namespace vemo
