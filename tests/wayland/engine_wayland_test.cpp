// The engine and vemoctl on a Wayland desktop, as a user of GNOME, Plasma or
// sway meets them: the window runs on Wayland itself, the screen arrives
// through the screen-cast portal and is published exactly as on X11, a still
// screen is published again without being read, and a portal that goes away
// leaves the engine running and tells why, until the next screen start.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "engine/screen_settings.h"
#include "imaging/published_files.h"
#include "screen/portal/restore_token.h"
#include "screen/screen_capture.h"
#include "screen/screen_geometry.h"
#include "support/engine_harness.h"
#include "wayland/wayland_desktop.h"

namespace vemo::test {
namespace {

using namespace std::chrono_literals;

constexpr int kWidth = 1024;
constexpr int kHeight = 768;

// One colour a quadrant; `variant` changes the top-left one.
Rgb Quadrants(int x, int y, int variant) {
    if (y < kHeight / 2) {
        if (x >= kWidth / 2) return {30, 200, 30};
        return variant == 0 ? Rgb{200, 30, 30} : Rgb{230, 230, 40};
    }
    return x < kWidth / 2 ? Rgb{30, 30, 200} : Rgb{240, 240, 240};
}

// Whether the decoded picture shows each quadrant's colour at its centre
// (JPEG's loss allowed for); otherwise what it shows there.
std::string QuadrantsDiffer(const DecodedJpeg& jpeg, int variant) {
    if (!jpeg.ok || jpeg.width == 0) return "the picture does not decode";
    for (const auto& [qx, qy] : {std::pair{0, 0}, {1, 0}, {0, 1}, {1, 1}}) {
        const std::uint32_t x = jpeg.width * static_cast<std::uint32_t>(2 * qx + 1) / 4;
        const std::uint32_t y = jpeg.height * static_cast<std::uint32_t>(2 * qy + 1) / 4;
        const Rgb want = Quadrants(qx * kWidth / 2 + 1, qy * kHeight / 2 + 1, variant);
        if (ColourDistance(jpeg.at(x, y), want) > 24) {
            const std::uint8_t* got = jpeg.at(x, y);
            return "quadrant " + std::to_string(qx) + "," + std::to_string(qy) + " shows " +
                   std::to_string(got[0]) + "," + std::to_string(got[1]) + "," +
                   std::to_string(got[2]);
        }
    }
    return "";
}

class WaylandEngineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(desktop_.ok()) << desktop_.error();
        ASSERT_TRUE(desktop_.Show(kWidth, kHeight, [](int x, int y) { return Quadrants(x, y, 0); }))
            << desktop_.error();
    }

    // The windows sway shows, as its tree lists them.
    static std::string Windows() {
        return RunProcess({"/usr/bin/swaymsg", "-t", "get_tree", "-r"}).out;
    }

    static ProcessResult Vemoctl(const std::vector<std::string>& arguments,
                                 const std::vector<std::string>& environment = {}) {
        std::vector<std::string> argv{VEMOCTL_PATH};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return RunProcess(argv, environment);
    }

    WaylandDesktop desktop_;
};

TEST_F(WaylandEngineTest, VemoctlGrabPublishesTheScreenWholeAndInTiles) {
    EngineInstallation install;
    ASSERT_TRUE(install.ok());
    install.WriteSettings("[General]\nimode_rotate=0\n");
    const std::string settings = "VEMO_SETTINGS_FILE=" + (install.dir() / "settings.ini").string();
    const std::string dir = install.dir().string();

    const ProcessResult whole = Vemoctl({"grab", "--dir", dir, "--whole"}, {settings});
    ASSERT_EQ(whole.exit_code, 0) << whole.err;
    const DecodedJpeg picture = DecodeJpeg(dir + "/" + published::kScreenWholeJpeg);
    EXPECT_EQ(picture.width, static_cast<std::uint32_t>(kWidth));
    EXPECT_EQ(picture.height, static_cast<std::uint32_t>(kHeight));
    EXPECT_EQ(QuadrantsDiffer(picture, 0), "");

    // Two by two tiles: each shows one quadrant, enlarged, in one colour.
    const ProcessResult imode =
        Vemoctl({"grab", "--dir", dir, "--imode", "--division", "2"}, {settings});
    ASSERT_EQ(imode.exit_code, 0) << imode.err;
    EXPECT_EQ(QuadrantsDiffer(DecodeJpeg(dir + "/" + published::kScreenJpeg), 0), "");
    for (int row = 0; row < 2; ++row) {
        for (int column = 0; column < 2; ++column) {
            const auto digits = screen::TileDigitsFor(row, column, 2, false);
            const std::string name = published::TileName(digits.first, digits.second, ".jpg");
            const DecodedJpeg tile = DecodeJpeg(dir + "/" + name);
            ASSERT_TRUE(tile.ok) << name;
            const Rgb want = Quadrants(column * kWidth / 2 + 1, row * kHeight / 2 + 1, 0);
            EXPECT_LE(ColourDistance(tile.at(tile.width / 2, tile.height / 2), want), 24) << name;
        }
    }
}

// A new mode of the output is followed by its stream alone: the screen is
// published at the new size and nobody is asked for the screen again.
TEST_F(WaylandEngineTest, AResizedOutputIsFollowedWithoutAskingAgain) {
    if (desktop_.gnome()) {
        GTEST_SKIP() << "mutter's virtual monitors have one mode, and its permission is granted "
                        "before the run";
    }
    EngineInstallation install;
    ASSERT_TRUE(install.ok());
    ASSERT_EQ(chdir(install.dir().c_str()), 0);
    ScreenCapture capture;
    capture.set_pause_ms(0);
    ScreenSettings settings = ScreenSettingsOf(Settings{});
    settings.screen_timer = 1;
    settings.screen_one = 1;
    ASSERT_TRUE(capture.Start(settings).grabbable);
    ASSERT_TRUE(capture.Grab().ok);
    // Without the kept permission a new handshake would ask again.
    std::filesystem::remove(screen::RestoreTokenPath());
    const int asked = desktop_.TimesAsked();
    ASSERT_TRUE(desktop_.Resize(800, 600)) << desktop_.error();
    ScreenGrabResult grab;
    ASSERT_TRUE(WaitFor([&] {
        grab = capture.Grab();
        return grab.restarted;
    }));
    EXPECT_EQ(grab.screen_width, 800);
    EXPECT_TRUE(WaitFor([&] {
        capture.Grab();
        return DecodeJpeg(published::kScreenWholeJpeg).width == 800;
    }));
    EXPECT_EQ(desktop_.TimesAsked(), asked);
    capture.Stop();
    ASSERT_TRUE(desktop_.Resize(kWidth, kHeight)) << desktop_.error();
}

TEST_F(WaylandEngineTest, AStillScreenIsPublishedAgainWithoutReadingIt) {
    EngineInstallation install;
    ASSERT_TRUE(install.ok());
    ASSERT_EQ(chdir(install.dir().c_str()), 0);
    ScreenCapture capture;
    capture.set_pause_ms(0);
    ScreenSettings settings = ScreenSettingsOf(Settings{});
    settings.screen_timer = 1;
    settings.screen_one = 0;
    settings.screen_division = 2;
    settings.imode_width = 120;
    settings.screen_gif_color = 16;
    const ScreenStartResult started = capture.Start(settings);
    ASSERT_TRUE(started.grabbable) << started.error;

    const ScreenGrabResult first = capture.Grab();
    ASSERT_TRUE(first.ok) << first.error;
    const auto picture = install.Published("vemosc.jpg");
    struct stat before {};
    ASSERT_EQ(stat(published::kScreenJpeg, &before), 0);
    std::this_thread::sleep_for(20ms);  // a later modification time

    const ScreenGrabResult still = capture.Grab();
    ASSERT_TRUE(still.ok) << still.error;
    EXPECT_EQ(still.coded, 0);
    EXPECT_EQ(still.republished, static_cast<int>(first.published.size()));
    EXPECT_EQ(still.pixels_read, 0u);
    EXPECT_EQ(install.Published("vemosc.jpg"), picture);
    struct stat after {};
    ASSERT_EQ(stat(published::kScreenJpeg, &after), 0);
    EXPECT_GT(std::chrono::seconds(after.st_mtim.tv_sec) +
                  std::chrono::nanoseconds(after.st_mtim.tv_nsec),
              std::chrono::seconds(before.st_mtim.tv_sec) +
                  std::chrono::nanoseconds(before.st_mtim.tv_nsec));

    // A change reaches the next grab: the top-left tile and the small picture.
    ASSERT_TRUE(desktop_.Show(kWidth, kHeight, [](int x, int y) { return Quadrants(x, y, 1); }))
        << desktop_.error();
    ScreenGrabResult changed;
    ASSERT_TRUE(WaitFor(
        [&] {
            changed = capture.Grab();
            return changed.ok && changed.coded > 0;
        },
        5s))
        << changed.error;
    EXPECT_EQ(QuadrantsDiffer(DecodeJpeg(published::kScreenJpeg), 1), "");
    EXPECT_LT(changed.coded, static_cast<int>(first.published.size()));
    capture.Stop();
}

TEST_F(WaylandEngineTest, TheEngineRunsOnWaylandAndOutlivesThePortal) {
    if (desktop_.gnome()) {
        GTEST_SKIP() << "sway's: the window is found with swaymsg, typed into with wtype and put "
                        "aside in sway's scratchpad";
    }
    EngineInstallation install;
    ASSERT_TRUE(install.ok());
    install.WriteSettings("[General]\nscreen_capture=1\nscreen_timer=1\nscreen_one=1\n");
    install.block().set_product_ready(1);
    // Qt chooses the platform: nothing set but the desktop's own variables. A
    // full unwind lets the leak check see through the platform's unloaded
    // modules to the libraries that keep their objects to the end.
    const char* asan = std::getenv("ASAN_OPTIONS");
    EngineProcess engine(
        install, "1",
        {"QT_QPA_PLATFORM", "VEMO_TEST_CAMERAS=",
         "ASAN_OPTIONS=" + std::string(asan ? asan : "") + ":fast_unwind_on_malloc=0"});
    ASSERT_TRUE(WaitFor([&] {
        return engine.Errors().find("on the wayland platform") != std::string::npos;
    })) << engine.Errors();
    // The window and its menus on Wayland: Alt+H, A opens the About box, whose
    // OK closes it again.
    ASSERT_TRUE(WaitFor([&] {
        return Windows().find("Vemo キャプチャー・エンジン") != std::string::npos;
    })) << Windows();
    // The window takes keys once it has the focus, which sway gives it a
    // moment after mapping it: the keys are typed again until the box opens.
    const auto about_open = [] { return Windows().find("バージョン情報") != std::string::npos; };
    ASSERT_TRUE(WaitFor([&] {
        RunProcess({"/usr/bin/wtype", "-M", "alt", "-k", "h", "-m", "alt", "-s", "300", "a"});
        return WaitFor(about_open, 2s);
    })) << Windows();
    ASSERT_EQ(RunProcess({"/usr/bin/wtype", "-k", "Return"}).exit_code, 0);
    EXPECT_TRUE(WaitFor([&] { return Windows().find("バージョン情報") == std::string::npos; }, 10s))
        << Windows();

    // The window put aside, the screen shows the desktop's picture, and so do
    // the published ones; a change reaches the next picture.
    ASSERT_EQ(RunProcess({"/usr/bin/swaymsg", "[app_id=vemo] move scratchpad"}).exit_code, 0);
    ASSERT_TRUE(desktop_.Show(kWidth, kHeight, [](int x, int y) { return Quadrants(x, y, 0); }))
        << desktop_.error();
    ASSERT_TRUE(WaitFor([&] {
        return QuadrantsDiffer(DecodeJpeg((install.dir() / published::kScreenWholeJpeg).string()),
                               0)
            .empty();
    })) << engine.Errors();
    ASSERT_TRUE(desktop_.Show(kWidth, kHeight, [](int x, int y) { return Quadrants(x, y, 1); }))
        << desktop_.error();
    ASSERT_TRUE(WaitFor([&] {
        return QuadrantsDiffer(DecodeJpeg((install.dir() / published::kScreenWholeJpeg).string()),
                               1)
            .empty();
    })) << engine.Errors();

    // The portal goes away: the engine runs on and says why, once.
    ASSERT_TRUE(desktop_.StopPortal()) << desktop_.error();
    ASSERT_TRUE(WaitFor([&] {
        return engine.Errors().find("message: Vemo : the screen-cast portal went away") !=
               std::string::npos;
    })) << engine.Errors();
    std::this_thread::sleep_for(2500ms);  // two more ticks
    const std::string errors = engine.Errors();
    const auto first = errors.find("the screen-cast portal went away");
    EXPECT_EQ(errors.find("the screen-cast portal went away", first + 1), std::string::npos)
        << errors;
    ASSERT_EQ(waitpid(engine.pid(), nullptr, WNOHANG), 0) << errors;

    // The next screen start, from the File menu's command, captures again.
    ASSERT_TRUE(desktop_.Start()) << desktop_.error();
    ASSERT_TRUE(desktop_.Show(kWidth, kHeight, [](int x, int y) { return Quadrants(x, y, 0); }))
        << desktop_.error();
    ASSERT_EQ(Vemoctl({"command", "60"}).exit_code, 0);  // off
    ASSERT_EQ(Vemoctl({"command", "60"}).exit_code, 0);  // on
    EXPECT_TRUE(WaitFor([&] {
        return QuadrantsDiffer(DecodeJpeg((install.dir() / published::kScreenWholeJpeg).string()),
                               0)
            .empty();
    })) << engine.Errors();
    EXPECT_EQ(engine.Stop(), 0) << engine.Errors();
}

// A cast that ends under a still screen (no frame would come anyway) is no
// still screen: the next grab says so once and leaves the off pictures,
// nothing is published afresh after them, and the next start captures again.
TEST_F(WaylandEngineTest, AScreenCastThatEndsOnAStillScreenLeavesTheOffPictures) {
    EngineInstallation install;
    ASSERT_TRUE(install.ok());
    ASSERT_EQ(chdir(install.dir().c_str()), 0);
    ScreenCapture capture;
    capture.set_pause_ms(0);
    ScreenSettings settings = ScreenSettingsOf(Settings{});
    settings.screen_timer = 1;
    settings.screen_one = 1;
    settings.screen_gif_color = 16;
    for (const std::string component : {"pipewire", "wireplumber", "portal-backend"}) {
        SCOPED_TRACE(component);
        const ScreenStartResult started = capture.Start(settings);
        ASSERT_TRUE(started.grabbable) << started.error;
        ASSERT_TRUE(capture.Grab().ok);
        ASSERT_EQ(capture.Grab().republished, 1) << "a still screen";
        ASSERT_TRUE(component == "pipewire" ? desktop_.StopPipeWire() : desktop_.Stop(component))
            << desktop_.error();
        ScreenGrabResult lost;
        ASSERT_TRUE(WaitFor(
            [&] {
                lost = capture.Grab();
                return !lost.ok;
            },
            10s));
        EXPECT_TRUE(lost.report);
        EXPECT_TRUE(lost.error.ends_with("until screen capture is started again")) << lost.error;
        EXPECT_EQ(install.Published("vemosc1.jpg"), install.Bak("screenoff.jpg"));
        EXPECT_EQ(install.Published("screenon.gif"), install.Bak("screenoff.gif"));
        const ino_t off = install.Inode("vemosc1.jpg");
        const ScreenGrabResult again = capture.Grab();
        EXPECT_FALSE(again.ok);
        EXPECT_FALSE(again.report);
        EXPECT_EQ(install.Inode("vemosc1.jpg"), off);
        ASSERT_TRUE(desktop_.Start()) << desktop_.error();
    }
    const ScreenStartResult restarted = capture.Start(settings);
    ASSERT_TRUE(restarted.grabbable) << restarted.error;
    const ScreenGrabResult grabbed = capture.Grab();
    EXPECT_TRUE(grabbed.ok) << grabbed.error;
    EXPECT_EQ(QuadrantsDiffer(DecodeJpeg(published::kScreenWholeJpeg), 0), "");
    capture.Stop();
}

// The compositor ends while the engine publishes the screen and records the
// camera: Qt ends the process without unwinding, and still the engine leaves
// everything off and the recording a finished file.
TEST_F(WaylandEngineTest, TheEngineLeavesEverythingOffWhenTheCompositorEnds) {
    EngineInstallation install;
    ASSERT_TRUE(install.ok());
    install.WriteSettings(
        "[General]\nscreen_capture=1\nscreen_timer=1\nscreen_one=1\ncamera_capture=1\n");
    install.block().set_product_ready(1);
    EngineProcess engine(install, "1",
                         {"QT_QPA_PLATFORM", "VEMO_TEST_CAMERAS=Desk|fps=30",
                          "ASAN_OPTIONS=detect_leaks=0:abort_on_error=1"});
    ASSERT_TRUE(WaitFor([&] {
        return DecodeJpeg((install.dir() / published::kScreenWholeJpeg).string()).width ==
               static_cast<std::uint32_t>(kWidth);
    })) << engine.Errors();

    const std::string file = (install.dir() / "cap.avi").string();
    ASSERT_EQ(Vemoctl({"record", "file", file}).exit_code, 0);
    ASSERT_EQ(Vemoctl({"record", "start", "--now"}).exit_code, 0) << engine.Errors();
    ASSERT_NE(Vemoctl({"status"}).out.find("recording to " + file), std::string::npos);
    std::this_thread::sleep_for(1500ms);
    ASSERT_NE(install.Published("vemosc1.jpg"), install.Bak("screenoff.jpg"));

    ASSERT_TRUE(desktop_.Stop("compositor")) << desktop_.error();
    EXPECT_EQ(engine.Wait(), 1) << engine.Errors();
    EXPECT_EQ(install.block().engine_running(), 0) << engine.Errors();
    EXPECT_EQ(install.Published("screenon.gif"), install.Bak("screenoff.gif"));
    EXPECT_EQ(install.Published("vemosc1.jpg"), install.Bak("screenoff.jpg"));
    EXPECT_EQ(install.Published("cameraon.gif"), install.Bak("cameraoff.gif"));
    // A finished file: the header tells its length, the index follows the
    // frames, and GStreamer's demuxer reads it.
    const std::vector<std::uint8_t> avi = ReadBytes(file);
    ASSERT_GT(avi.size(), 12u);
    std::uint32_t riff_size = 0;
    std::memcpy(&riff_size, avi.data() + 4, 4);
    EXPECT_EQ(riff_size + 8u, avi.size());
    EXPECT_NE(std::string(avi.begin(), avi.end()).find("idx1"), std::string::npos);
    const ProcessResult read = RunProcess({"/usr/bin/gst-launch-1.0", "-q", "filesrc",
                                           "location=" + file, "!", "avidemux", "!", "fakesink"});
    EXPECT_EQ(read.exit_code, 0) << read.err;
    ASSERT_TRUE(desktop_.Start()) << desktop_.error();
}

}  // namespace
}  // namespace vemo::test
