// The settings store on real files: defaults, values it must not take,
// QSettings reading the same file, writers in several processes at once, and
// places it cannot write.

#include "settings/settings_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QSettings>

#include <filesystem>

#include "support/test_support.h"

namespace vemo {
namespace {

using test::TempDir;

class SettingsStore : public ::testing::Test {
  protected:
    SettingsStore() { UseFile(dir_ / "config/settings.ini"); }
    ~SettingsStore() override { ::unsetenv("VEMO_SETTINGS_FILE"); }

    void UseFile(const std::string& path) {
        path_ = path;
        ::setenv("VEMO_SETTINGS_FILE", path.c_str(), 1);
    }
    void WriteFile(const std::string& text) {
        std::filesystem::create_directories(std::filesystem::path(path_).parent_path());
        test::WriteBytes(path_, {text.begin(), text.end()});
    }
    std::string FileText() const {
        const auto bytes = test::ReadBytes(path_);
        return {bytes.begin(), bytes.end()};
    }

    TempDir dir_;
    std::string path_;
};

void ExpectAllDefaults() {
    for (const SettingInfo& info : SettingsTable())
        EXPECT_EQ(ReadSetting(info.id), info.default_value) << info.name;
}

TEST_F(SettingsStore, ReadsDefaultsUntilAValueIsStored) {
    EXPECT_EQ(ReadSetting(SETTING_SCREEN_TIMER), 60u);
    EXPECT_EQ(ReadSetting(SETTING_CAMERA_GIF_COLOR), 256u);
    ExpectAllDefaults();
    EXPECT_EQ(ReadSetting(SettingId{5}), 0u);

    EnsureSettingsKey();
    ASSERT_TRUE(std::filesystem::exists(path_));
    EXPECT_EQ(FileText(), "");
    ExpectAllDefaults();

    WriteSetting(SettingId{5}, 7);
    EXPECT_FALSE(TryWriteSetting(SettingId{21}, 7));
    EXPECT_EQ(FileText(), "");
    EXPECT_EQ(ReadSetting(SettingId{5}), 0u);

    WriteFile("[General]\n");
    ExpectAllDefaults();
    WriteFile("camera_timer=9\n");
    EnsureSettingsKey();  // an existing file is left as it is
    EXPECT_EQ(ReadSetting(SETTING_CAMERA_TIMER), 9u);
}

TEST_F(SettingsStore, ReturnsStoredNumbersUnchangedAndNothingElse) {
    WriteSetting(SETTING_CAMERA_TIMER, 0);
    EXPECT_EQ(ReadSetting(SETTING_CAMERA_TIMER), 0u);
    WriteSetting(SETTING_IMODE_CAMERA_WIDTH, 4294967295u);
    EXPECT_EQ(ReadSetting(SETTING_IMODE_CAMERA_WIDTH), 4294967295u);
    for (const SettingInfo& info : SettingsTable())
        WriteSetting(info.id, 1000 + info.id);
    for (const SettingInfo& info : SettingsTable())
        EXPECT_EQ(ReadSetting(info.id), 1000 + info.id) << info.name;

    WriteFile(
        "; written by hand\n"
        "[General]\n"
        "camera_timer=4294967296\n"
        "camera_gif_color=abc\n"
        "screen_timer=-1\n"
        "screen_gif_color=0x10\n"
        "screen_one=\n"
        "imode_rotate=1.5\n"
        "imode_width = 77 ; narrow\n"
        "\n"
        "[Other]\n"
        "screen_division=3\n");
    EXPECT_EQ(ReadSetting(SETTING_CAMERA_TIMER), 5u);
    EXPECT_EQ(ReadSetting(SETTING_CAMERA_GIF_COLOR), 256u);
    EXPECT_EQ(ReadSetting(SETTING_SCREEN_TIMER), 60u);
    EXPECT_EQ(ReadSetting(SETTING_SCREEN_GIF_COLOR), 8u);
    EXPECT_EQ(ReadSetting(SETTING_SCREEN_ONE), 1u);
    EXPECT_EQ(ReadSetting(SETTING_IMODE_ROTATE), 0u);
    EXPECT_EQ(ReadSetting(SETTING_IMODE_WIDTH), 77u);
    EXPECT_EQ(ReadSetting(SETTING_SCREEN_DIVISION), 5u);  // not in the top level

    // A write changes its own line only.
    WriteSetting(SETTING_SCREEN_DIVISION, 4);
    WriteSetting(SETTING_CAMERA_TIMER, 8);
    EXPECT_EQ(FileText(),
              "; written by hand\n"
              "[General]\n"
              "camera_timer=8\n"
              "camera_gif_color=abc\n"
              "screen_timer=-1\n"
              "screen_gif_color=0x10\n"
              "screen_one=\n"
              "imode_rotate=1.5\n"
              "imode_width = 77 ; narrow\n"
              "screen_division=4\n"
              "\n"
              "[Other]\n"
              "screen_division=3\n");
}

TEST_F(SettingsStore, SharesItsFileWithQSettings) {
    WriteSetting(SETTING_SCREEN_TIMER, 30);
    WriteFile(FileText() + "\n[Window]\ngeometry=10 20\n");
    QSettings settings(QString::fromStdString(path_), QSettings::IniFormat);
    EXPECT_EQ(settings.value("screen_timer").toString(), "30");
    EXPECT_EQ(settings.value("Window/geometry").toString(), "10 20");
    settings.setValue("imode_width", 90u);
    settings.sync();
    ASSERT_EQ(settings.status(), QSettings::NoError);
    EXPECT_EQ(ReadSetting(SETTING_IMODE_WIDTH), 90u);
    EXPECT_EQ(ReadSetting(SETTING_SCREEN_TIMER), 30u);
}

// Two writer processes of different values, and this process reading while
// they write: no read ever goes back to an older value (a lost update would),
// and both final values are in the file.
TEST_F(SettingsStore, ConcurrentWritersKeepBothValues) {
    constexpr std::uint32_t kWrites = 150;
    const SettingId ids[2] = {SETTING_CAMERA_TIMER, SETTING_SCREEN_TIMER};
    pid_t writers[2];
    for (int k = 0; k < 2; ++k) {
        writers[k] = ::fork();
        ASSERT_GE(writers[k], 0);
        if (writers[k] == 0) {
            bool ok = true;
            for (std::uint32_t i = 1; i <= kWrites; ++i)
                ok = TryWriteSetting(ids[k], 1000 + i) && ok;
            ::_exit(ok ? 0 : 1);
        }
    }
    std::uint32_t seen[2] = {0, 0};
    int statuses[2] = {-1, -1};
    bool done[2] = {false, false};
    while (!done[0] || !done[1]) {
        for (int k = 0; k < 2; ++k) {
            const std::uint32_t value = ReadSetting(ids[k]);
            if (value > 1000) {
                EXPECT_LE(value, 1000 + kWrites);
                EXPECT_GE(value, seen[k]) << "an update was lost";
                seen[k] = value;
            }
            if (!done[k]) done[k] = ::waitpid(writers[k], &statuses[k], WNOHANG) == writers[k];
        }
    }
    for (const int status : statuses)
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(ReadSetting(SETTING_CAMERA_TIMER), 1000 + kWrites);
    EXPECT_EQ(ReadSetting(SETTING_SCREEN_TIMER), 1000 + kWrites);
    const std::string text = FileText();
    EXPECT_TRUE(text == "[General]\ncamera_timer=1150\nscreen_timer=1150\n" ||
                text == "[General]\nscreen_timer=1150\ncamera_timer=1150\n")
        << text;
    // No temporary file is left beside it.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_ / "config"),
                            std::filesystem::directory_iterator{}),
              1);

    // Without caching, a value another process wrote a moment ago is the one read.
    for (std::uint32_t i = 0; i < 20; ++i) {
        WriteSetting(SETTING_CAMERA_TIMER, 100 + i);
        const pid_t child = ::fork();
        if (child == 0) ::_exit(TryWriteSetting(SETTING_CAMERA_TIMER, 200 + i) ? 0 : 1);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_EQ(ReadSetting(SETTING_CAMERA_TIMER), 200 + i);
    }
}

TEST_F(SettingsStore, UnwritablePlacesReadDefaultsAndLoseWritesQuietly) {
    test::WriteBytes(dir_ / "file", {'x'});
    UseFile(dir_ / "file/settings.ini");
    testing::internal::CaptureStderr();
    EnsureSettingsKey();
    WriteSetting(SETTING_CAMERA_TIMER, 9);
    EXPECT_FALSE(TryWriteSetting(SETTING_CAMERA_TIMER, 9));
    EXPECT_EQ(ReadSetting(SETTING_CAMERA_TIMER), 5u);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    // Something that is not a file in its place is neither read nor replaced;
    // a FIFO must not hang the reader.
    UseFile(dir_ / "fifo");
    ASSERT_EQ(::mkfifo(path_.c_str(), 0600), 0);
    EXPECT_EQ(ReadSetting(SETTING_SCREEN_TIMER), 60u);
    EXPECT_FALSE(TryWriteSetting(SETTING_SCREEN_TIMER, 9));
    EXPECT_TRUE(std::filesystem::is_fifo(path_));
}

TEST_F(SettingsStore, ALinkAtTheSettingsPathStaysALinkEvenBeforeItsTargetExists) {
    // A dotfile manager's link, relative, to a file not written yet.
    std::filesystem::create_directories(dir_.path() / "config" / "dotfiles");
    std::filesystem::create_symlink("dotfiles/vemo.ini", path_);
    ASSERT_TRUE(TryWriteSetting(SETTING_CAMERA_TIMER, 9));
    EXPECT_TRUE(std::filesystem::is_symlink(path_));
    EXPECT_EQ(ReadSetting(SETTING_CAMERA_TIMER), 9u);
    EXPECT_TRUE(std::filesystem::is_regular_file(dir_.path() / "config/dotfiles/vemo.ini"));
}

}  // namespace
}  // namespace vemo
