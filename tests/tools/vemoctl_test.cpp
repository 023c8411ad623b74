// vemoctl as integrators run it: a real process, its exit status and output.

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

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

// Exit status 1: the operation failed; 2: the command line is wrong.
void ExpectOneLineError(const test::ProcessResult& result, const std::string& words,
                        int exit_code = 1) {
    EXPECT_EQ(result.exit_code, exit_code) << result.err;
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
}

TEST(Vemoctl, NamesEveryProblemInOneLine) {
    TempDir dir;
    WritePpm(dir / "in.ppm");
    test::WriteBytes(dir / "text.jpg", {'h', 'i', '\n'});
    test::WriteTestJpeg(dir / "cmyk.jpg", 16, 16, 4);
    test::WriteTestJpeg(dir / "good.jpg", 16, 16);

    ExpectOneLineError(Vemoctl({}), "no command given", 2);
    ExpectOneLineError(Vemoctl({"frobnicate"}), "unknown command", 2);
    ExpectOneLineError(Vemoctl({"jpeg", dir / "in.ppm"}), "wrong number of arguments", 2);
    ExpectOneLineError(Vemoctl({"gif", dir / "good.jpg", dir / "o.gif", "--bogus"}), "bogus", 2);
    ExpectOneLineError(Vemoctl({"gif", dir / "good.jpg", dir / "o.gif", "--max", "big"}), "--max",
                       2);
    // A colour count the converter refuses is the option's fault, not the picture's.
    for (const char* colors : {"1", "7", "257", "many"}) {
        ExpectOneLineError(Vemoctl({"gif", dir / "good.jpg", dir / "o.gif", "--colors", colors}),
                           "gif: --colors takes a number from 8 to 256", 2);
    }
    ExpectOneLineError(Vemoctl({"grab", "--division", "11"}), "--division", 2);
    ExpectOneLineError(Vemoctl({"command", "65536"}), "ID is a number", 2);
    ExpectOneLineError(Vemoctl({"record", "begin"}), "expected file PATH", 2);

    ExpectOneLineError(Vemoctl({"jpeg", dir / "none.ppm", dir / "o.jpg"}), "cannot open input");
    ExpectOneLineError(Vemoctl({"jpeg", dir / "text.jpg", dir / "o.jpg"}), "not a binary PPM");
    ExpectOneLineError(Vemoctl({"jpeg", dir / "in.ppm", dir / "no/dir/o.jpg"}),
                       "cannot create output");
    ExpectOneLineError(Vemoctl({"gif", dir / "text.jpg", dir / "o.gif"}), "not a JPEG");
    ExpectOneLineError(Vemoctl({"gif", dir / "cmyk.jpg", dir / "o.gif"}), "colour space");
    ExpectOneLineError(Vemoctl({"gif", dir / "good.jpg", "/dev/full"}), "cannot write");
    EXPECT_FALSE(std::filesystem::exists(dir / "o.gif"));
}

TEST(Vemoctl, TellsItsVersionAndHelpsWithEachCommandIn80Columns) {
    const auto version = Vemoctl({"--version"});
    EXPECT_EQ(version.exit_code, 0);
    EXPECT_EQ(version.out, "vemoctl " VEMO_VERSION "\n");

    const auto expect_help = [](const test::ProcessResult& help, const std::string& start) {
        EXPECT_EQ(help.exit_code, 0) << help.err;
        EXPECT_EQ(help.out.rfind(start, 0), 0u) << help.out;
        std::istringstream lines(help.out);
        for (std::string line; std::getline(lines, line);)
            EXPECT_LE(line.size(), 80u) << start << ": " << line;
    };
    expect_help(Vemoctl({"--help"}), "usage: vemoctl COMMAND");
    for (const char* command :
         {"jpeg", "gif", "grab", "settings", "product", "command", "status", "record", "camera"}) {
        const std::string start = "usage: vemoctl " + std::string(command);
        expect_help(Vemoctl({command, "--help"}), start);
        expect_help(Vemoctl({command, "-h"}), start);
    }
    // Help wins over whatever else is on the line.
    expect_help(Vemoctl({"settings", "set", "x", "--help"}), "usage: vemoctl settings ");
    EXPECT_NE(Vemoctl({"gif", "-h"}).out.find("1/1, 1/2, 1/4 or 1/8"), std::string::npos);
}

TEST(Vemoctl, ReadsStandardInputAndWritesStandardOutputForADash) {
    TempDir dir;
    WritePpm(dir / "in.ppm");
    // Both ends pipes, which cannot be sought in; the status is vemoctl's own.
    const auto through = [&dir](const std::string& command, const std::string& in,
                                const std::string& out) {
        const auto run = RunProcess(
            {"/bin/sh", "-c",
             "cat \"$1\" | { \"$0\" " + command + " - -; echo $? >\"$3\"; } | cat >\"$2\"",
             VEMOCTL_PATH, in, out, dir / "status"});
        EXPECT_EQ(run.err, "");
        const auto status = test::ReadBytes(dir / "status");
        return std::string(status.begin(), status.end());
    };
    ASSERT_EQ(through("jpeg", dir / "in.ppm", dir / "out.jpg"), "0\n");
    const auto decoded = DecodeJpeg(dir / "out.jpg");
    ASSERT_TRUE(decoded.ok);
    EXPECT_EQ(decoded.width, 64u);
    EXPECT_LT(test::ColourDistance(decoded.at(8, 8), {0xF0, 0x90, 0x20}), 24);

    ASSERT_EQ(through("gif", dir / "out.jpg", dir / "out.gif"), "0\n");
    EXPECT_EQ(DecodeGif(dir / "out.gif").width, 64);

    // A failure names the stream and writes nothing to standard output.
    const auto bad = RunProcess({"/bin/sh", "-c", "echo hi | exec \"$0\" jpeg - -", VEMOCTL_PATH});
    ExpectOneLineError(bad, "standard input: not a binary PPM");
    EXPECT_EQ(bad.out, "");
}

// The bytes of `path` with the two bytes at `at` set to `value`, big-endian.
std::vector<std::uint8_t> Patched(const std::string& path, std::size_t at, unsigned value) {
    auto bytes = test::ReadBytes(path);
    bytes.at(at) = static_cast<std::uint8_t>(value >> 8);
    bytes.at(at + 1) = static_cast<std::uint8_t>(value);
    return bytes;
}

// Where a marker's segment starts (the byte after FF xx), from the start of the file.
std::size_t SegmentOf(const std::vector<std::uint8_t>& bytes, std::uint8_t marker) {
    for (std::size_t i = 0; i + 1 < bytes.size(); ++i) {
        if (bytes[i] == 0xFF && bytes[i + 1] == marker) return i + 2;
    }
    return 0;
}

TEST(Vemoctl, AFailedConversionKeepsTheOutputAndHugeClaimsAreRefusedUndecoded) {
    TempDir dir;
    test::WriteTestJpeg(dir / "grey.jpg", 64, 64, 1);
    const auto keep = test::ReadBytes(dir / "grey.jpg");
    ASSERT_EQ(Vemoctl({"gif", dir / "grey.jpg", dir / "out.gif"}).exit_code, 0);
    const auto before = test::ReadBytes(dir / "out.gif");

    // A second scan in a one-scan picture: the decoder finds it only once the
    // picture has been coded, with the output already written.
    const std::size_t scan = SegmentOf(keep, 0xDA);
    ASSERT_GT(scan, 0u);
    const std::size_t data = scan + ((std::size_t{keep[scan]} << 8) | keep[scan + 1]);
    std::vector<std::uint8_t> broken(keep.begin(), keep.end() - 2);  // without the end marker
    broken.insert(broken.end(), keep.begin() + static_cast<std::ptrdiff_t>(scan - 2),
                  keep.begin() + static_cast<std::ptrdiff_t>(data));
    broken.insert(broken.end(), {0, 0, 0, 0, 0xFF, 0xD9});
    test::WriteBytes(dir / "broken.jpg", broken);
    EXPECT_EQ(Vemoctl({"gif", dir / "broken.jpg", dir / "out.gif"}).exit_code, 1);
    EXPECT_EQ(test::ReadBytes(dir / "out.gif"), before) << "the earlier output stays";

    // The input as its own output is refused and left alone.
    EXPECT_EQ(Vemoctl({"gif", dir / "grey.jpg", dir / "grey.jpg"}).exit_code, 1);
    EXPECT_EQ(test::ReadBytes(dir / "grey.jpg"), keep);

    // A header claiming 14000 x 65000 pixels: refused before decoding.
    const std::size_t frame = SegmentOf(keep, 0xC0);
    ASSERT_GT(frame, 0u);
    auto claim = Patched(dir / "grey.jpg", frame + 3, 65000);  // height
    test::WriteBytes(dir / "claim.jpg", claim);
    claim = Patched(dir / "claim.jpg", frame + 5, 14000);  // width
    test::WriteBytes(dir / "claim.jpg", claim);
    const auto huge = Vemoctl({"gif", dir / "claim.jpg", dir / "huge.gif"});
    EXPECT_EQ(huge.exit_code, 1);
    EXPECT_NE(huge.err.find("picture too large: 14000 x 65000 pixels"), std::string::npos)
        << huge.err;
    EXPECT_FALSE(std::filesystem::exists(dir / "huge.gif"));
    // The limit is the caller's to set.
    EXPECT_EQ(Vemoctl({"gif", dir / "grey.jpg", dir / "o.gif", "--max-pixels", "4095"}).exit_code,
              1);
    EXPECT_EQ(Vemoctl({"gif", dir / "grey.jpg", dir / "o.gif", "--max-pixels", "4096"}).exit_code,
              0);
}

}  // namespace
}  // namespace vemo
