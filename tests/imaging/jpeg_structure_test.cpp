// Whole and broken Motion JPEG pictures, made from a real JPEG.

#include "imaging/jpeg_structure.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/test_support.h"

namespace vemo {
namespace {

// The picture with every Huffman table segment (DHT) cut out, as many Motion
// JPEG cameras send them.
std::vector<std::uint8_t> WithoutHuffmanTables(std::vector<std::uint8_t> jpeg) {
    for (std::size_t at = 2; at + 4 <= jpeg.size() && jpeg[at + 1] != 0xDA;) {
        const std::size_t length = std::size_t{jpeg[at + 2]} << 8 | jpeg[at + 3];
        if (jpeg[at + 1] == 0xC4) {
            jpeg.erase(jpeg.begin() + static_cast<std::ptrdiff_t>(at),
                       jpeg.begin() + static_cast<std::ptrdiff_t>(at + 2 + length));
        } else {
            at += 2 + length;
        }
    }
    return jpeg;
}

TEST(JpegStructure, TellsWholePicturesFromBrokenOnes) {
    test::TempDir dir;
    test::WriteTestJpeg(dir / "whole.jpg", 64, 48);
    const std::vector<std::uint8_t> whole = test::ReadBytes(dir / "whole.jpg");
    ASSERT_TRUE(IsWholeJpeg(whole));

    std::vector<std::uint8_t> padded = whole;
    padded.resize(padded.size() + 100, 0);
    EXPECT_TRUE(IsWholeJpeg(padded)) << "a camera's zero padding";
    const std::vector<std::uint8_t> no_tables = WithoutHuffmanTables(whole);
    ASSERT_LT(no_tables.size(), whole.size());
    EXPECT_TRUE(IsWholeJpeg(no_tables)) << "decoders use the standard tables";

    const std::vector<std::uint8_t> cut(whole.begin(), whole.begin() + whole.size() / 2);
    EXPECT_FALSE(IsWholeJpeg(cut));
    std::vector<std::uint8_t> garbage = whole;
    for (std::size_t at = 2; at < 40; ++at)
        garbage[at] = static_cast<std::uint8_t>(at * 37);
    EXPECT_FALSE(IsWholeJpeg(garbage));
    std::vector<std::uint8_t> long_segment = whole;
    long_segment[4] = 0xFF;  // the first segment claims more than the picture holds
    EXPECT_FALSE(IsWholeJpeg(long_segment));
    EXPECT_FALSE(IsWholeJpeg({}));
}

}  // namespace
}  // namespace vemo
