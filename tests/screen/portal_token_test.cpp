// The restore token's file: where it lives, who may read it, and that a
// reader never finds half a token.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "screen/portal/restore_token.h"
#include "support/test_support.h"

namespace vemo::screen {
namespace {

using test::ReadBytes;
using test::TempDir;
using test::WriteBytes;

std::string Text(const std::string& path) {
    const std::vector<std::uint8_t> bytes = ReadBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

mode_t ModeOf(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

// Sets an environment variable for one test, restoring it afterwards.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value != nullptr) {
            ::setenv(name, value, 1);
        } else {
            ::unsetenv(name);
        }
    }
    ~ScopedEnv() {
        if (old_) {
            ::setenv(name_.c_str(), old_->c_str(), 1);
        } else {
            ::unsetenv(name_.c_str());
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::string name_;
    std::optional<std::string> old_;
};

TEST(PortalRestoreToken, LivesInTheStateFolder) {
    {
        const ScopedEnv state("XDG_STATE_HOME", "/state/here");
        EXPECT_EQ(RestoreTokenPath(), "/state/here/vemo/screencast-token");
    }
    const ScopedEnv home("HOME", "/home/someone");
    for (const char* unusable : {static_cast<const char*>(nullptr), "", "relative/state"}) {
        const ScopedEnv state("XDG_STATE_HOME", unusable);
        EXPECT_EQ(RestoreTokenPath(), "/home/someone/.local/state/vemo/screencast-token");
    }
    const ScopedEnv state("XDG_STATE_HOME", nullptr);
    const ScopedEnv no_home("HOME", nullptr);
    EXPECT_EQ(RestoreTokenPath(), "");
}

TEST(PortalRestoreToken, IsWrittenForTheUserOnlyAndReadBack) {
    const TempDir dir;
    const std::string folder = dir / "state/vemo";
    const std::string path = folder + "/screencast-token";
    EXPECT_EQ(ReadRestoreToken(path), "");

    std::string error;
    ASSERT_TRUE(WriteRestoreToken(path, "2c4b1e9a-0f3d-4b7e-9a55-7e1c3f0d2b61", error)) << error;
    EXPECT_EQ(ModeOf(path), 0600u);
    EXPECT_EQ(ModeOf(folder), 0700u);
    EXPECT_EQ(ModeOf(dir / "state"), 0700u);
    EXPECT_EQ(ReadRestoreToken(path), "2c4b1e9a-0f3d-4b7e-9a55-7e1c3f0d2b61");

    // Each session's token replaces the last; no temporary file stays.
    ASSERT_TRUE(WriteRestoreToken(path, "second-token", error)) << error;
    EXPECT_EQ(Text(path), "second-token\n");
    EXPECT_EQ(ModeOf(path), 0600u);
    int entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder))
        ++entries;
    EXPECT_EQ(entries, 1);
}

TEST(PortalRestoreToken, IsReplacedWholeNeverRewrittenInPlace) {
    const TempDir dir;
    const std::string folder = dir / "vemo";
    const std::string path = folder + "/screencast-token";
    std::string error;
    ASSERT_TRUE(WriteRestoreToken(path, "old-token", error)) << error;

    // A second name for the old file sees what a reader that opened it
    // before the write sees: the old token, never a part of the new one.
    const std::string reader = dir / "reader";
    std::filesystem::create_hard_link(path, reader);
    ASSERT_TRUE(WriteRestoreToken(path, "new-token", error)) << error;
    EXPECT_EQ(Text(reader), "old-token\n");
    EXPECT_EQ(ReadRestoreToken(path), "new-token");

    // A failed write leaves the old token and no temporary file.
    const std::string taken = folder + "/taken";
    std::filesystem::create_directories(taken + "/inside");
    EXPECT_FALSE(WriteRestoreToken(taken, "other-token", error));
    EXPECT_NE(error.find("cannot replace " + taken), std::string::npos) << error;
    int entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder))
        ++entries;
    EXPECT_EQ(entries, 2) << "a temporary file was left behind";

    WriteBytes(dir / "file", {'x'});
    EXPECT_FALSE(WriteRestoreToken(dir / "file/vemo/screencast-token", "t", error));
    EXPECT_NE(error.find("cannot create the folder"), std::string::npos) << error;
}

TEST(PortalRestoreToken, WhatIsNotATokenIsNone) {
    const TempDir dir;
    const std::string path = dir / "screencast-token";
    for (const std::string& text :
         {std::string(""), std::string("\n"), std::string("two words\n"), std::string("tab\there"),
          std::string("nul\0x", 5), std::string("caf\xc3\xa9"), std::string(2000, 'a')}) {
        WriteBytes(path, std::vector<std::uint8_t>(text.begin(), text.end()));
        EXPECT_EQ(ReadRestoreToken(path), "") << text;
    }
    WriteBytes(path, {'a', 'b', 'c'});
    EXPECT_EQ(ReadRestoreToken(path), "abc");
    // A folder, or a link, in the token's place is no token.
    std::filesystem::remove(path);
    std::filesystem::create_directory(path);
    EXPECT_EQ(ReadRestoreToken(path), "");
    std::filesystem::remove(path);
    WriteBytes(dir / "elsewhere", {'a', 'b', 'c'});
    std::filesystem::create_symlink(dir / "elsewhere", path);
    EXPECT_EQ(ReadRestoreToken(path), "");

    std::string error;
    EXPECT_FALSE(WriteRestoreToken(dir / "t", "two words", error));
    EXPECT_FALSE(WriteRestoreToken(dir / "t", "", error));
}

}  // namespace
}  // namespace vemo::screen
