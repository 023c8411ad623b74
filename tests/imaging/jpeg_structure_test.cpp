// Whole and broken Motion JPEG pictures, made from a real JPEG.

#include "imaging/jpeg_structure.h"

#include "imaging/jpeg_decode_check.h"

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

// Where the first segment with `marker` starts (its 0xFF) in a picture's
// header.
std::size_t SegmentAt(const std::vector<std::uint8_t>& jpeg, std::uint8_t marker) {
    for (std::size_t at = 2; at + 4 <= jpeg.size();
         at += 2 + (std::size_t{jpeg[at + 2]} << 8 | jpeg[at + 3])) {
        if (jpeg[at + 1] == marker) return at;
    }
    ADD_FAILURE() << "no segment " << int{marker};
    return 0;
}

TEST(JpegStructure, RefusesTheHeadersADecoderRefuses) {
    const std::vector<std::uint8_t> photograph = test::ReadBytes(test::kPhotograph);
    const JpegLayout layout = ReadJpegLayout(photograph);
    ASSERT_TRUE(layout.whole);
    EXPECT_EQ(layout.end, photograph.size());
    ASSERT_TRUE(layout.frame);
    EXPECT_EQ(layout.frame->width, 512);
    EXPECT_EQ(layout.frame->height, 600);
    EXPECT_EQ(layout.frame->colour, JpegColour::kYCbCr);

    const std::size_t dht = SegmentAt(photograph, 0xC4);
    const std::size_t dqt = SegmentAt(photograph, 0xDB);
    const std::size_t sof = SegmentAt(photograph, 0xC0);
    const std::size_t sos = SegmentAt(photograph, 0xDA);
    const struct {
        const char* bend;
        std::size_t at;
        std::uint8_t value;
        std::size_t count;
    } bends[] = {
        {"Huffman code counts that cannot fit", dht + 5, 0xFF, 16},
        {"a Huffman table id of 15", dht + 4, 0x0F, 1},
        {"a quantisation table of 16-bit values in the room of 8-bit ones", dqt + 4, 0x10, 1},
        {"a scan of a component the frame lacks", sos + 5, 9, 1},
        {"a precision of 12 bits", sof + 4, 12, 1},
        {"a frame of no lines", sof + 5, 0, 2},
    };
    for (const auto& bend : bends) {
        std::vector<std::uint8_t> bent = photograph;
        std::fill_n(bent.begin() + static_cast<std::ptrdiff_t>(bend.at), bend.count, bend.value);
        EXPECT_FALSE(IsWholeJpeg(bent)) << bend.bend;
    }
}

TEST(JpegStructure, APictureEndsAtItsOwnEndMarkerWhateverFollowsOrIsEmbedded) {
    test::TempDir dir;
    const std::vector<std::uint8_t> photograph = test::ReadBytes(test::kPhotograph);
    std::vector<std::uint8_t> padded = photograph;
    padded.insert(padded.end(), 100, 0x11);
    JpegLayout layout = ReadJpegLayout(padded);
    EXPECT_TRUE(layout.whole) << "a camera's padding after the end marker";
    EXPECT_EQ(layout.end, photograph.size());

    // An EXIF thumbnail is a whole picture inside an APP1 segment.
    test::WriteTestJpeg(dir / "thumbnail.jpg", 16, 12);
    std::vector<std::uint8_t> app1 = {0xFF, 0xE1, 0, 0, 'E', 'x', 'i', 'f', 0, 0};
    const std::vector<std::uint8_t> thumbnail = test::ReadBytes(dir / "thumbnail.jpg");
    app1.insert(app1.end(), thumbnail.begin(), thumbnail.end());
    app1[2] = static_cast<std::uint8_t>((app1.size() - 2) >> 8);
    app1[3] = static_cast<std::uint8_t>(app1.size() - 2);
    std::vector<std::uint8_t> with_exif = photograph;
    with_exif.insert(with_exif.begin() + 2, app1.begin(), app1.end());
    layout = ReadJpegLayout(with_exif);
    EXPECT_TRUE(layout.whole);
    EXPECT_EQ(layout.end, with_exif.size()) << "not the thumbnail's end";

    EXPECT_FALSE(IsWholeJpeg(std::vector<std::uint8_t>{0xFF, 0xD8, 0xFF, 0xD9}));
    test::WriteTestJpeg(dir / "cmyk.jpg", 16, 12, 4);
    layout = ReadJpegLayout(test::ReadBytes(dir / "cmyk.jpg"));
    ASSERT_TRUE(layout.whole && layout.frame);
    EXPECT_EQ(layout.frame->colour, JpegColour::kCmyk);
}

TEST(JpegDecodeCheck, APictureCutShortIsToldFromAWholeOne) {
    const std::vector<std::uint8_t> photograph = test::ReadBytes(test::kPhotograph);
    EXPECT_TRUE(DecodesToTheEnd(photograph));
    std::vector<std::uint8_t> cut(photograph.begin(), photograph.begin() + photograph.size() / 2);
    cut.insert(cut.end(), {0xFF, 0xD9});
    ASSERT_TRUE(IsWholeJpeg(cut)) << "its structure cannot tell";
    EXPECT_FALSE(DecodesToTheEnd(cut));
    EXPECT_FALSE(DecodesToTheEnd({}));
}

}  // namespace
}  // namespace vemo
