// vemoctl as integrators run it: a real process, its exit status and output.

#include <gtest/gtest.h>

#include <filesystem>

#include "support/test_support.h"

namespace vemo {
namespace {

using test::DecodeGif;
using test::DecodeJpeg;
using test::RunProcess;
using test::TempDir;

test::ProcessResult Vemoctl(std::vector<std::string> args) {
    args.insert(args.begin(), VEMOCTL_PATH);
    return RunProcess(args);
}

// A 64x48 PPM: left half orange, right half teal, with a comment in the header.
void WritePpm(const std::string& path) {
    std::string data = "P6\n# made by the test\n64 48\n255\n";
    for (int y = 0; y < 48; ++y) {
        for (int x = 0; x < 64; ++x)
            data += x < 32 ? "\xF0\x90\x20" : "\x10\x90\xA0";
    }
    test::WriteBytes(path, {data.begin(), data.end()});
}

void ExpectOneLineError(const test::ProcessResult& result, const std::string& words) {
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.err.rfind("vemoctl: ", 0), 0u) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    EXPECT_NE(result.err.find(words), std::string::npos) << result.err;
}

TEST(Vemoctl, TurnsAPictureIntoJpegAndGif) {
    TempDir dir;
    WritePpm(dir / "in.ppm");
    auto jpeg = Vemoctl({"jpeg", dir / "in.ppm", dir / "out.jpg"});
    ASSERT_EQ(jpeg.exit_code, 0) << jpeg.err;
    const auto decoded = DecodeJpeg(dir / "out.jpg");
    ASSERT_TRUE(decoded.ok);
    EXPECT_EQ(decoded.width, 64u);
    EXPECT_LT(test::ColourDistance(decoded.at(8, 8), {0xF0, 0x90, 0x20}), 24);
    EXPECT_LT(test::ColourDistance(decoded.at(56, 40), {0x10, 0x90, 0xA0}), 24);

    auto gif =
        Vemoctl({"gif", dir / "out.jpg", dir / "out.gif", "--max", "20x20", "--colors", "8"});
    ASSERT_EQ(gif.exit_code, 0) << gif.err;
    const auto decoded_gif = DecodeGif(dir / "out.gif");
    ASSERT_TRUE(decoded_gif.ok);
    EXPECT_EQ(decoded_gif.width, 16);       // 64 / 4
    EXPECT_LE(decoded_gif.color_count, 8);  // two colours need no more

    auto whole = Vemoctl({"gif", dir / "out.jpg", dir / "whole.gif"});
    ASSERT_EQ(whole.exit_code, 0) << whole.err;
    EXPECT_EQ(DecodeGif(dir / "whole.gif").width, 64);

    auto help = Vemoctl({"--help"});
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_NE(help.out.find("usage: vemoctl"), std::string::npos);
}

TEST(Vemoctl, NamesEveryProblemInOneLine) {
    TempDir dir;
    WritePpm(dir / "in.ppm");
    test::WriteBytes(dir / "text.jpg", {'h', 'i', '\n'});
    test::WriteTestJpeg(dir / "cmyk.jpg", 16, 16, 4);
    test::WriteTestJpeg(dir / "good.jpg", 16, 16);

    ExpectOneLineError(Vemoctl({}), "usage");
    ExpectOneLineError(Vemoctl({"frobnicate"}), "unknown command");
    ExpectOneLineError(Vemoctl({"jpeg", dir / "in.ppm"}), "wrong number of arguments");
    ExpectOneLineError(Vemoctl({"jpeg", dir / "none.ppm", dir / "o.jpg"}), "cannot open input");
    ExpectOneLineError(Vemoctl({"jpeg", dir / "text.jpg", dir / "o.jpg"}), "not a binary PPM");
    ExpectOneLineError(Vemoctl({"jpeg", dir / "in.ppm", dir / "no/dir/o.jpg"}),
                       "cannot create output");
    ExpectOneLineError(Vemoctl({"gif", dir / "text.jpg", dir / "o.gif"}), "not a JPEG");
    ExpectOneLineError(Vemoctl({"gif", dir / "cmyk.jpg", dir / "o.gif"}), "colour space");
    ExpectOneLineError(Vemoctl({"gif", dir / "good.jpg", dir / "o.gif", "--colors", "300"}),
                       "too many colours");
    ExpectOneLineError(Vemoctl({"gif", dir / "good.jpg", dir / "o.gif", "--max", "big"}), "--max");
    ExpectOneLineError(Vemoctl({"gif", dir / "good.jpg", "/dev/full"}), "cannot write");
    ExpectOneLineError(Vemoctl({"gif", dir / "good.jpg", dir / "o.gif", "--bogus"}), "bogus");
    EXPECT_FALSE(std::filesystem::exists(dir / "o.gif"));
}

}  // namespace
}  // namespace vemo
