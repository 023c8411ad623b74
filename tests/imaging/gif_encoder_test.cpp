#include "imaging/gif_encoder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>

#include "imaging/imaging_result.h"
#include "support/test_support.h"

namespace vemo {
namespace {

using test::DecodeGif;
using test::ReadBytes;
using test::TempDir;

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Codes `indices` (width * height, top-down) into `path` with a colour map
// whose entry i is (i, 255 - i, i / 2).
int Encode(const std::string& path, int width, int height, const std::vector<std::uint8_t>& indices,
           int count, bool with_map = true) {
    std::vector<std::uint8_t> red(256), green(256), blue(256);
    for (int i = 0; i < 256; ++i) {
        red[i] = static_cast<std::uint8_t>(i);
        green[i] = static_cast<std::uint8_t>(255 - i);
        blue[i] = static_cast<std::uint8_t>(i / 2);
    }
    const std::uint8_t* map[3] = {red.data(), green.data(), blue.data()};
    File file(std::fopen(path.c_str(), "wb"));
    GifEncoder encoder(file.get(), {static_cast<std::uint32_t>(width),
                                    static_cast<std::uint32_t>(height), 8, true});
    if (int status = encoder.StartImage(count, with_map ? map : nullptr); status != 0)
        return status;
    for (int y = 0; y < height; ++y) {
        std::copy_n(indices.begin() + y * width, width, encoder.row());
        encoder.WriteRow(1);
    }
    return encoder.FinishImage();
}

// The LZW codes of a GIF's image data, read with a decoder's width rules:
// the width grows when the decoder's next entry reaches 2^width (at most 12)
// and falls back after a clear code.
struct Code {
    int value;
    int width;
};
std::vector<Code> ReadCodes(const std::vector<std::uint8_t>& gif, std::size_t data_start,
                            int min_code_size) {
    std::vector<std::uint8_t> data;
    std::size_t at = data_start;
    while (at < gif.size() && gif[at] != 0) {
        data.insert(data.end(), gif.begin() + static_cast<long>(at) + 1,
                    gif.begin() + static_cast<long>(at) + 1 + gif[at]);
        at += gif[at] + 1u;
    }
    const int clear = 1 << min_code_size;
    int width = min_code_size + 1, next = clear + 2;
    bool first = true;
    std::vector<Code> codes;
    std::size_t bit = 0;
    while (bit + static_cast<std::size_t>(width) <= data.size() * 8) {
        int value = 0;
        for (int i = 0; i < width; ++i, ++bit)
            value |= ((data[bit / 8] >> (bit % 8)) & 1) << i;
        codes.push_back({value, width});
        if (value == clear) {
            width = min_code_size + 1;
            next = clear + 2;
            first = true;
            continue;
        }
        if (value == clear + 1) break;
        if (!first && next < 4096 && ++next == (1 << width) && width < 12) ++width;
        first = false;
    }
    return codes;
}

TEST(GifEncoder, HeaderFollowsColourCount) {
    struct Row {
        int count, table_entries, min_code_size, first_width;
    };
    const Row rows[] = {
        {2, 2, 2, 3}, {4, 4, 2, 3}, {8, 8, 3, 4}, {200, 256, 8, 9}, {256, 256, 8, 9}};
    TempDir dir;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.count);
        const int width = 7, height = 3;
        std::vector<std::uint8_t> indices(width * height);
        for (std::size_t i = 0; i < indices.size(); ++i) {
            indices[i] = static_cast<std::uint8_t>(i % static_cast<std::size_t>(row.count));
        }
        const std::string path = dir / "header.gif";
        ASSERT_EQ(Encode(path, width, height, indices, row.count), 0);

        const auto bytes = ReadBytes(path);
        const int b = std::countr_zero(static_cast<unsigned>(row.table_entries));
        EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 6), "GIF87a");
        EXPECT_EQ(bytes[6], width);
        EXPECT_EQ(bytes[8], height);
        EXPECT_EQ(bytes[10], 0x80 + ((b - 1) << 4) + (b - 1));
        for (int i = 0; i < row.table_entries; ++i) {
            const std::uint8_t* entry = &bytes[13 + 3 * static_cast<std::size_t>(i)];
            if (i < row.count) {
                EXPECT_EQ(entry[0], i);
                EXPECT_EQ(entry[1], 255 - i);
            } else {
                EXPECT_EQ(entry[0] | entry[1] | entry[2], 0) << "entry " << i << " must be black";
            }
        }
        const std::size_t descriptor = 13 + 3 * static_cast<std::size_t>(row.table_entries);
        EXPECT_EQ(bytes[descriptor], 0x2C);
        EXPECT_EQ(bytes[descriptor + 9], 0x00);
        EXPECT_EQ(bytes[descriptor + 10], row.min_code_size);
        const auto codes = ReadCodes(bytes, descriptor + 11, row.min_code_size);
        ASSERT_FALSE(codes.empty());
        EXPECT_EQ(codes.front().value, 1 << row.min_code_size) << "starts with a clear code";
        EXPECT_EQ(codes.front().width, row.first_width);
        EXPECT_EQ(codes.back().value, (1 << row.min_code_size) + 1) << "ends with the end code";
        EXPECT_EQ(bytes[bytes.size() - 2], 0x00);
        EXPECT_EQ(bytes.back(), 0x3B);

        const auto gif = DecodeGif(path);
        ASSERT_TRUE(gif.ok);
        EXPECT_EQ(gif.color_count, row.table_entries);
        EXPECT_EQ(gif.indices, indices);
    }
}

TEST(GifEncoder, OnePixelCodesExactly) {
    TempDir dir;
    const std::string path = dir / "one.gif";
    ASSERT_EQ(Encode(path, 1, 1, {1}, 2), 0);
    // Clear (4), index 1, end (5), three bits each, least significant first.
    const std::vector<std::uint8_t> expected = {
        'G',  'I',  'F',  '8',  '7', 'a', 1, 0, 1, 0,    0x80, 0, 0,  // screen
        0,    255,  0,    1,    254, 0,                               // colour table
        0x2C, 0,    0,    0,    0,   1,   0, 1, 0, 0x00, 2,           // image descriptor
        2,    0x4C, 0x01, 0x00, 0x3B};
    EXPECT_EQ(ReadBytes(path), expected);
}

TEST(GifEncoder, FullTableSendsClearAtTwelveBitsThenNarrows) {
    TempDir dir;
    const std::string path = dir / "noise.gif";
    const int width = 300, height = 200;
    std::mt19937 random(7);
    std::vector<std::uint8_t> indices(width * height);
    for (auto& index : indices)
        index = static_cast<std::uint8_t>(random() & 0xff);
    ASSERT_EQ(Encode(path, width, height, indices, 256), 0);

    const auto bytes = ReadBytes(path);
    const auto codes = ReadCodes(bytes, 13 + 3 * 256 + 11, 8);
    std::size_t clears = 0;
    for (std::size_t i = 1; i + 1 < codes.size(); ++i) {
        if (codes[i].value != 256) continue;
        ++clears;
        EXPECT_EQ(codes[i].width, 12);
        EXPECT_EQ(codes[i + 1].width, 9);
        EXPECT_EQ(codes[i - 1].width, 12);
    }
    EXPECT_GE(clears, 2u) << "noise of this size fills the table more than once";
    EXPECT_EQ(codes.back().value, 257);

    const auto gif = DecodeGif(path);
    ASSERT_TRUE(gif.ok);
    EXPECT_EQ(gif.indices, indices);
}

TEST(GifEncoder, RoundTripsOddShapesAndGreyRamp) {
    TempDir dir;
    std::mt19937 random(11);
    for (auto [width, height] : {std::pair{1, 37}, {37, 1}, {5, 3}, {640, 480}}) {
        SCOPED_TRACE(testing::Message() << width << "x" << height);
        std::vector<std::uint8_t> indices(static_cast<std::size_t>(width * height));
        // Runs of repeated indices, as quantized pictures have them.
        for (std::size_t i = 0; i < indices.size(); ++i) {
            indices[i] = static_cast<std::uint8_t>((i / (1 + random() % 9)) % 16);
        }
        const std::string path = dir / "shape.gif";
        ASSERT_EQ(Encode(path, width, height, indices, 256, false), 0);
        const auto gif = DecodeGif(path);
        ASSERT_TRUE(gif.ok);
        EXPECT_EQ(gif.indices, indices);
        for (int i = 0; i < 256; ++i) {
            EXPECT_EQ(gif.palette[3 * static_cast<std::size_t>(i)], i) << "grey ramp";
        }
    }
}

TEST(GifEncoder, RefusesTooManyColoursBeforeWriting) {
    TempDir dir;
    const std::string path = dir / "many.gif";
    File file(std::fopen(path.c_str(), "wb"));
    GifEncoder encoder(file.get(), {4, 4, 8, true});
    EXPECT_EQ(encoder.StartImage(257, nullptr), kErrTooManyColors);
    EXPECT_EQ(std::ftell(file.get()), 0);
}

TEST(GifEncoder, ReportsWriteFailure) {
    File file(std::fopen("/dev/full", "wb"));
    ASSERT_TRUE(file);
    GifEncoder encoder(file.get(), {64, 64, 8, true});
    ASSERT_EQ(encoder.StartImage(256, nullptr), 0);
    for (int y = 0; y < 64; ++y) {
        for (int x = 0; x < 64; ++x)
            encoder.row()[x] = static_cast<std::uint8_t>(x * y);
        encoder.WriteRow(1);
    }
    EXPECT_EQ(encoder.FinishImage(), kErrFileWrite);
}

}  // namespace
}  // namespace vemo
