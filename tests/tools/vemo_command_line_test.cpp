// The engine's own command line: answered before Qt, a display or the
// product is needed.

#include <gtest/gtest.h>

#include <sstream>

#include "support/test_support.h"

namespace vemo {
namespace {

// No display Qt could open: starting the window would end the process.
test::ProcessResult Vemo(const std::string& argument) {
    return test::RunProcess({VEMO_PATH, argument},
                            {"DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM=xcb"});
}

TEST(VemoCommandLine, AnswersHelpAndVersionAndRefusesUnknownOptions) {
    const auto version = Vemo("--version");
    EXPECT_EQ(version.exit_code, 0) << version.err;
    EXPECT_EQ(version.out, "vemo " VEMO_VERSION "\n");

    const auto help = Vemo("--help");
    EXPECT_EQ(help.exit_code, 0) << help.err;
    EXPECT_EQ(help.out.rfind("usage: vemo ", 0), 0u) << help.out;
    for (const char* word : {"--verbose", "VEMO_SETTINGS_FILE", "CORVEXA_SHM", "VEMO_TEST_CAMERAS",
                             "VEMO_TEST_CAMERA_SIZE", "VEMO_MESSAGE_ANSWERS", "VEMO_MESSAGE_NESTED",
                             "VEMO_FILE_ANSWERS", "VEMO_SCREEN_BACKEND", "portal", "x11",
                             "x11-noshm", "null", "QT_LOGGING_RULES", "Exit status"}) {
        EXPECT_NE(help.out.find(word), std::string::npos) << word;
    }
    std::istringstream lines(help.out);
    for (std::string line; std::getline(lines, line);)
        EXPECT_LE(line.size(), 80u) << line;

    const auto bogus = Vemo("--bogus");
    EXPECT_EQ(bogus.exit_code, 2);
    EXPECT_EQ(bogus.out, "");
    EXPECT_EQ(bogus.err, "vemo: unknown option '--bogus' (see vemo --help)\n");
}

}  // namespace
}  // namespace vemo
