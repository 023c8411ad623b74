// The size dialog's rules where the dialog cannot reach them on a real disk:
// sizes beyond the 16-bit range and beyond 32 bits.

#include "capfile/file_size_rules.h"

#include <gtest/gtest.h>

namespace vemo {
namespace {

TEST(FileSizeRulesTest, BoundIsTheFreeSpaceAndTheFile) {
    EXPECT_EQ(MaxCaptureFileMb(50ull << 20, 1000 * 1024), 1050);
    EXPECT_EQ(MaxCaptureFileMb(0, 1023), 0);
    // Large files neither wrap nor overflow the bound.
    EXPECT_EQ(MaxCaptureFileMb(8ull << 40, 0), 8 << 20) << "not 0";
    EXPECT_EQ(MaxCaptureFileMb(~0ull, 0x7fffffff), 0x7fffffff);
    EXPECT_EQ(ExistingCaptureMb((50ull << 20) + 5), 50);
    EXPECT_EQ(ExistingCaptureMb(64ull << 30), 65535) << "not 0";
}

TEST(FileSizeRulesTest, SizesStayWithinSixteenBits) {
    EXPECT_EQ(CorrectSizeField("70000", 100000), "65535");
    EXPECT_EQ(CorrectSizeField("65535", 100000), "65535");
    EXPECT_EQ(AcceptSize("65535", 100000), 65535);
    EXPECT_EQ(AcceptSize("70000", 100000), std::nullopt) << "would be stored as 4464";
}

TEST(FileSizeRulesTest, FieldReading) {
    EXPECT_EQ(CorrectSizeField(" -3", 100), "1");
    EXPECT_EQ(CorrectSizeField("", 100), "1");
    EXPECT_EQ(CorrectSizeField("99999999999999999999999", 100), "100");
    EXPECT_EQ(CorrectSizeField("500", 0), "500") << "no bound yet";
    EXPECT_EQ(SizeFieldNumber(" 42 "), 42);
    EXPECT_EQ(SizeFieldNumber("4 2"), 0);
    EXPECT_EQ(SizeFieldNumber("-7"), -7);
    EXPECT_EQ(AcceptSize(" 42", 42), 42);
    EXPECT_EQ(AcceptSize("0", 42), std::nullopt);
}

}  // namespace
}  // namespace vemo
