// vemoctl as integrators run it: a real process, its exit status and output.

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sstream>

#include "support/test_support.h"

namespace vemo {
namespace {

using test::DecodeGif;
using test::DecodeJpeg;
using test::RunProcess;
using test::TempDir;

test::ProcessResult Vemoctl(std::vector<std::string> args,
                            const std::vector<std::string>& environment = {}) {
    args.insert(args.begin(), VEMOCTL_PATH);
    return RunProcess(args, environment);
}

// A 64x48 PPM: left half orange, right half teal, with comments in the
// header, one straight after a number.
void WritePpm(const std::string& path) {
    std::string data = "P6\n# made by the test\n64 48# rows\n255\n";
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
    ExpectOneLineError(Vemoctl({"record", "start", "--nowx"}),
                       "record start: unknown option '--nowx' (see vemoctl record --help)", 2);
    ExpectOneLineError(Vemoctl({"--version", "now"}), "--version takes no arguments", 2);
    ExpectOneLineError(Vemoctl({"camera", "format", "abc"}), "a format is WIDTHxHEIGHT", 2);
    ExpectOneLineError(Vemoctl({"camera", "format", "640x480@"}), "a format is WIDTHxHEIGHT", 2);

    // Without a bus address the engine cannot be reached: say why. No
    // runtime directory or display either, where a bus could be found or
    // started instead.
    const std::vector<std::string> no_bus{"DBUS_SESSION_BUS_ADDRESS", "DISPLAY",
                                          "XDG_RUNTIME_DIR=" + dir.path().string()};
    ExpectOneLineError(
        Vemoctl({"status"}, no_bus),
        "no running engine (DBUS_SESSION_BUS_ADDRESS is not set: run vemoctl in the session "
        "the engine runs in, or set it to the engine's bus)");
    // After "--" a word is an argument, even one that starts with a dash.
    ExpectOneLineError(Vemoctl({"record", "file", "--", "-x.avi"}, no_bus), "no running engine");

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

// PPMs of any maxval: one byte a sample up to 255, two (most significant
// first) above, each scaled to 8 bits.
TEST(Vemoctl, ReadsPpmsOfAnyMaxval) {
    TempDir dir;
    const auto write = [&dir](const std::string& name, unsigned maxval,
                              std::array<unsigned, 3> left, std::array<unsigned, 3> right) {
        std::string data = "P6\n16 8\n" + std::to_string(maxval) + "\n";
        for (int y = 0; y < 8; ++y) {
            for (int x = 0; x < 16; ++x) {
                for (const unsigned sample : x < 8 ? left : right) {
                    if (maxval > 255) data += static_cast<char>(sample >> 8);
                    data += static_cast<char>(sample & 0xff);
                }
            }
        }
        test::WriteBytes(dir / name, {data.begin(), data.end()});
    };
    write("16bit.ppm", 65535, {0xF0F0, 0x9090, 0x2020}, {0x1010, 0x9090, 0xA0A0});
    write("1000.ppm", 1000, {941, 565, 125}, {63, 565, 627});
    write("1.ppm", 1, {1, 0, 0}, {0, 1, 1});
    const std::pair<const char*, std::array<std::uint8_t, 3>> expected[] = {
        {"16bit.ppm", {0xF0, 0x90, 0x20}},
        {"1000.ppm", {0xF0, 0x90, 0x20}},
        {"1.ppm", {0xFF, 0x00, 0x00}},
    };
    for (const auto& [name, left] : expected) {
        const auto jpeg = Vemoctl({"jpeg", dir / name, dir / "out.jpg"});
        ASSERT_EQ(jpeg.exit_code, 0) << name << ": " << jpeg.err;
        const auto decoded = DecodeJpeg(dir / "out.jpg");
        ASSERT_TRUE(decoded.ok) << name;
        EXPECT_EQ(decoded.width, 16u) << name;
        EXPECT_LT(test::ColourDistance(decoded.at(2, 4), {left[0], left[1], left[2]}), 24) << name;
    }
    ExpectOneLineError(Vemoctl({"jpeg", dir / "none.ppm", dir / "o.jpg"}), "cannot open input");
    write("65536.ppm", 65536, {0, 0, 0}, {0, 0, 0});
    ExpectOneLineError(Vemoctl({"jpeg", dir / "65536.ppm", dir / "o.jpg"}),
                       "a maxval from 1 to 65535");
    // Two bytes a sample make the data twice as long: half of it is too little.
    auto bytes = test::ReadBytes(dir / "16bit.ppm");
    bytes.resize(bytes.size() / 2 + 8);
    test::WriteBytes(dir / "short.ppm", bytes);
    ExpectOneLineError(Vemoctl({"jpeg", dir / "short.ppm", dir / "o.jpg"}), "PPM data ends early");
}

// The text of a manual page as a reader sees it, on one line: the requests'
// arguments kept (those of the font-alternating ones joined), font changes
// dropped, "\-" as "-", white space collapsed.
std::string ManText(const std::string& source) {
    static const std::regex kArgument(R"re("([^"]*)"|(\S+))re");
    static const std::regex kFont(R"(\\f[BIRP])");
    std::string text;
    std::istringstream lines(source);
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with(".")) {
            const std::size_t space = line.find(' ');
            const std::string request =
                line.substr(1, space == std::string::npos ? space : space - 1);
            const bool alternating = request.size() == 2 && request != "TP" && request != "PP" &&
                                     request != "SH" && request != "RS" && request != "RE" &&
                                     request != "TH" && request != "nf" && request != "fi" &&
                                     request != "br";
            if (!alternating && request != "B" && request != "I" && request != "SH") continue;
            const std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
            std::string joined;
            for (auto it = std::sregex_iterator(rest.begin(), rest.end(), kArgument);
                 it != std::sregex_iterator(); ++it) {
                if (!alternating && !joined.empty()) joined += ' ';
                joined += (*it)[1].matched ? (*it)[1].str() : (*it)[2].str();
            }
            line = joined;
        }
        line = std::regex_replace(line, kFont, "");
        for (std::size_t at; (at = line.find("\\-")) != std::string::npos;)
            line.replace(at, 2, "-");
        text += line + " ";
    }
    return std::regex_replace(text, std::regex(R"(\s+)"), " ");
}

std::string OneLine(const std::string& text) {
    return std::regex_replace(text, std::regex(R"(\s+)"), " ");
}

// The entries of a help text after its usage: a term at the margin or two
// columns in ("--max WxH", "list"), two spaces or more, its description, and
// the description's further lines indented beyond the term.
std::vector<std::pair<std::string, std::string>> HelpEntries(const std::string& help) {
    static const std::regex kEntry(R"(^( {0,2})(\S+(?: \S+)*)  +(\S.*)$)");
    std::vector<std::pair<std::string, std::string>> entries;
    std::istringstream lines(help.substr(help.find("\n\n")));
    std::size_t indent = 0;
    bool in_entry = false;
    for (std::string line; std::getline(lines, line);) {
        std::smatch match;
        const std::size_t start = line.find_first_not_of(' ');
        if (std::regex_match(line, match, kEntry)) {
            entries.emplace_back(match[2], match[3]);
            indent = match[1].length();
            in_entry = true;
        } else if (in_entry && start != std::string::npos && start > indent) {
            entries.back().second += " " + line.substr(start);
        } else {
            in_entry = false;
        }
    }
    return entries;
}

// vemoctl(1) says what --help says: each command's entries (options and
// actions) with their descriptions, and the exit statuses.
TEST(Vemoctl, ManualPageAgreesWithTheHelp) {
    const auto bytes = test::ReadBytes(VEMOCTL_MAN_PAGE);
    const std::string page = ManText({bytes.begin(), bytes.end()});
    int entries = 0;
    for (const char* command :
         {"jpeg", "gif", "grab", "settings", "product", "command", "status", "record", "camera"}) {
        const std::string help = Vemoctl({command, "--help"}).out;
        // Each form of the usage, as the page must render it.
        const std::string usage = OneLine(help.substr(0, help.find("\n\n"))) + " vemoctl ";
        for (std::size_t at = usage.find("vemoctl ") + 8, end; at < usage.size(); at = end + 9) {
            end = usage.find(" vemoctl ", at);
            EXPECT_NE(page.find(usage.substr(at, end - at)), std::string::npos) << usage;
        }
        for (const auto& [term, description] : HelpEntries(help)) {
            ++entries;
            EXPECT_NE(page.find(OneLine(term)), std::string::npos) << command << ": " << term;
            EXPECT_NE(page.find(OneLine(description)), std::string::npos)
                << command << " " << term << ": " << OneLine(description);
        }
    }
    EXPECT_GE(entries, 24);

    const std::string usage = Vemoctl({"--help"}).out;
    const std::size_t exit_status = usage.find("Exit status: ");
    ASSERT_NE(exit_status, std::string::npos);
    const std::string statuses =
        usage.substr(exit_status + 13, usage.find("\n\n", exit_status) - exit_status - 13);
    const std::size_t section = page.find("EXIT STATUS ");
    ASSERT_NE(section, std::string::npos);
    EXPECT_EQ(page.find(OneLine(statuses), section), section + 12) << OneLine(statuses) << "\n"
                                                                   << page.substr(section);
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
