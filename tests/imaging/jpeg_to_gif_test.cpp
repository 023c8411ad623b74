#include "imaging/jpeg_to_gif.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include <jerror.h>

#include "support/test_support.h"

namespace vemo {
namespace {

using test::DecodeGif;
using test::DecodeJpeg;
using test::ReadBytes;
using test::TempDir;
using test::WriteBytes;
using test::WriteTestJpeg;

GifConvertJob Job(const std::string& input, const std::string& output, std::uint32_t max_width,
                  std::uint32_t max_height, int colors = 256) {
    GifConvertJob job{};
    job.max_width = max_width;
    job.max_height = max_height;
    job.colors = colors;
    job.input_path = input;
    job.output_path = output;
    return job;
}

TEST(JpegToGif, ScalesToFitTheLimits) {
    struct Row {
        std::uint32_t width, height, max_width, max_height;
        int denominator, gif_width, gif_height;
    };
    const Row rows[] = {
        {120, 90, 120, 90, 1, 120, 90},     {121, 90, 120, 90, 2, 61, 45},
        {160, 120, 120, 90, 2, 80, 60},     {320, 240, 120, 90, 4, 80, 60},
        {352, 288, 120, 98, 4, 88, 72},     {640, 480, 120, 90, 8, 80, 60},
        {2000, 1500, 120, 90, 8, 250, 188},
    };
    TempDir dir;
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.width << "x" << row.height);
        EXPECT_EQ(GifScaleDenominator(row.width, row.height, row.max_width, row.max_height),
                  row.denominator);
        WriteTestJpeg(dir / "in.jpg", row.width, row.height);
        ASSERT_TRUE(ConvertJpegToGif(
                        Job(dir / "in.jpg", dir / "out.gif", row.max_width, row.max_height, 64))
                        .ok());
        const auto gif = DecodeGif(dir / "out.gif");
        ASSERT_TRUE(gif.ok);
        EXPECT_EQ(gif.width, row.gif_width);
        EXPECT_EQ(gif.height, row.gif_height);
    }
    EXPECT_EQ(GifScaleDenominator(100, 100, 0xffffffffu, 0xffffffffu), 1);
    EXPECT_EQ(GifScaleDenominator(100, 100, 0, 0), 8);
}

TEST(JpegToGif, QuantizesToTheColourCount) {
    TempDir dir;
    WriteTestJpeg(dir / "in.jpg", 160, 120);
    const auto jpeg = DecodeJpeg(dir / "in.jpg");
    for (int colors : {0, 8, 64, 256}) {
        SCOPED_TRACE(colors);
        ASSERT_TRUE(ConvertJpegToGif(Job(dir / "in.jpg", dir / "out.gif", 160, 120, colors)).ok());
        const auto gif = DecodeGif(dir / "out.gif");
        ASSERT_TRUE(gif.ok);
        EXPECT_EQ(gif.color_count, colors == 0 ? 256 : colors);
        const std::set<std::uint8_t> used(gif.indices.begin(), gif.indices.end());
        EXPECT_LE(used.size(), static_cast<std::size_t>(gif.color_count));
        // Dithered, but on average close to the picture.
        long error = 0;
        for (int y = 0; y < gif.height; ++y) {
            for (int x = 0; x < gif.width; ++x) {
                for (int c = 0; c < 3; ++c) {
                    error += std::abs(gif.rgb(x, y)[c] - jpeg.at(static_cast<std::uint32_t>(x),
                                                                 static_cast<std::uint32_t>(y))[c]);
                }
            }
        }
        EXPECT_LT(error / (gif.width * gif.height * 3), colors == 8 ? 40 : 12);
    }
}

TEST(JpegToGif, GreyscaleWithoutCountKeepsEveryLevel) {
    TempDir dir;
    WriteTestJpeg(dir / "grey.jpg", 256, 16, 1);
    ASSERT_TRUE(ConvertJpegToGif(Job(dir / "grey.jpg", dir / "grey.gif", 256, 16, 0)).ok());
    const auto gif = DecodeGif(dir / "grey.gif");
    const auto jpeg = DecodeJpeg(dir / "grey.jpg");
    ASSERT_TRUE(gif.ok);
    ASSERT_EQ(gif.color_count, 256);
    for (int i = 0; i < 256; ++i) {
        for (int c = 0; c < 3; ++c)
            EXPECT_EQ(gif.palette[3 * static_cast<std::size_t>(i) + static_cast<std::size_t>(c)],
                      i);
    }
    EXPECT_EQ(gif.indices, jpeg.samples);
}

TEST(JpegToGif, CommentAndApp12ConvertLikeWithout) {
    TempDir dir;
    WriteTestJpeg(dir / "plain.jpg", 200, 150);
    auto bytes = ReadBytes(dir / "plain.jpg");
    // After SOI: a comment and an APP12 block, as some cameras write them.
    const std::vector<std::uint8_t> extra = {0xFF, 0xFE, 0x00, 0x07, 'h', 'e', 'l', 'l', 'o',
                                             0xFF, 0xEC, 0x00, 0x06, 'D', 'u', 'c', 'k'};
    bytes.insert(bytes.begin() + 2, extra.begin(), extra.end());
    WriteBytes(dir / "marked.jpg", bytes);

    ASSERT_TRUE(ConvertJpegToGif(Job(dir / "plain.jpg", dir / "plain.gif", 120, 90)).ok());
    ASSERT_TRUE(ConvertJpegToGif(Job(dir / "marked.jpg", dir / "marked.gif", 120, 90)).ok());
    EXPECT_EQ(ReadBytes(dir / "plain.gif"), ReadBytes(dir / "marked.gif"));
}

TEST(JpegToGif, TruncatedJpegConvertsAsFarAsItGoes) {
    TempDir dir;
    WriteTestJpeg(dir / "whole.jpg", 320, 240);
    auto bytes = ReadBytes(dir / "whole.jpg");
    bytes.resize(bytes.size() / 2);
    WriteBytes(dir / "half.jpg", bytes);
    ASSERT_TRUE(ConvertJpegToGif(Job(dir / "half.jpg", dir / "half.gif", 320, 240)).ok());
    const auto gif = DecodeGif(dir / "half.gif");
    ASSERT_TRUE(gif.ok);
    EXPECT_EQ(gif.width, 320);
    EXPECT_EQ(gif.height, 240);
}

TEST(JpegToGif, FailuresAreReturnedAndLoseNothing) {
    TempDir dir;
    const std::string out = dir / "out.gif";
    const std::vector<std::uint8_t> previous = {'o', 'l', 'd'};
    WriteTestJpeg(dir / "good.jpg", 64, 48);
    WriteTestJpeg(dir / "cmyk.jpg", 64, 48, 4);
    WriteBytes(dir / "text.jpg", {'h', 'e', 'l', 'l', 'o', '\n'});
    WriteBytes(dir / "empty.jpg", {});

    struct Case {
        std::string input, output;
        int colors, code;
    };
    const Case cases[] = {
        {dir / "missing.jpg", out, 256, kErrOpenInput},
        {dir / "empty.jpg", out, 256, JERR_INPUT_EMPTY},
        {dir / "text.jpg", out, 256, JERR_NO_SOI},
        {dir / "cmyk.jpg", out, 256, kErrColorSpace},
        {dir / "good.jpg", out, 4, JERR_QUANT_FEW_COLORS},
        {dir / "good.jpg", dir / "no/such/dir.gif", 256, kErrCreateOutput},
        {dir / "good.jpg", "/dev/full", 256, kErrCreateOutput},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input + " -> " + c.output);
        WriteBytes(out, previous);
        const ImagingResult result = ConvertJpegToGif(Job(c.input, c.output, 120, 90, c.colors));
        EXPECT_EQ(result.code, c.code);
        EXPECT_FALSE(result.message.empty());
        EXPECT_EQ(ReadBytes(out), previous) << "the previous output is untouched";
    }
    EXPECT_TRUE(std::filesystem::is_character_file("/dev/full"));
    {
        const test::FileSizeLimit disk_full(100);
        EXPECT_EQ(ConvertJpegToGif(Job(dir / "good.jpg", dir / "full.gif", 120, 90)).code,
                  kErrFileWrite);
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "full.gif")) << "no partial file is left";
    EXPECT_TRUE(ConvertJpegToGif(Job(dir / "good.jpg", out, 120, 90)).ok());
    EXPECT_TRUE(DecodeGif(out).ok);
}

}  // namespace
}  // namespace vemo
