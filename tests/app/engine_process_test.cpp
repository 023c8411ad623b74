// The vemo program as the product meets it: real shared memory, real files,
// real signals. Message boxes are answered through VEMO_MESSAGE_ANSWERS.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine_marker.h"
#include "screen/xvfb_display.h"
#include "support/engine_harness.h"

namespace vemo {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::EngineProcess;
using test::WaitFor;

class EngineProcessTest : public testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(install_.ok()); }

    bool Running() const { return install_.block().engine_running() == 1; }

    test::EngineInstallation install_;
};

TEST_F(EngineProcessTest, WaitsForTheProductAndCanBeCancelled) {
    EngineProcess cancelled(install_, "1,2");
    EXPECT_EQ(cancelled.Wait(), 1);
    const std::string errors = cancelled.Errors();
    EXPECT_NE(errors.find("Vemo : Corvexaが起動していません。"), std::string::npos) << errors;
    EXPECT_EQ(install_.block().engine_running(), 0);

    // OK is answered until the product says it is ready.
    EngineProcess waiting(install_, "1");
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(Running());
    install_.block().set_product_ready(1);
    ASSERT_TRUE(WaitFor([&] { return Running(); }));
    EXPECT_EQ(install_.block().engine_pid(), static_cast<std::uint32_t>(waiting.pid()));
    EXPECT_EQ(waiting.Stop(), 0);
    EXPECT_FALSE(Running());
}

TEST_F(EngineProcessTest, WithoutADisplayNoBoxIsWaitedOn) {
    // The product is not ready: a log line, and the engine looks again every
    // second instead of asking a question nobody sees.
    EngineProcess waiting(install_, "", {"VEMO_TEST_CAMERAS="});
    ASSERT_TRUE(WaitFor([&] {
        return waiting.Errors().find("Corvexaが起動していません") != std::string::npos;
    })) << waiting.Errors();
    EXPECT_FALSE(Running());
    install_.block().set_product_ready(1);
    ASSERT_TRUE(WaitFor([&] { return Running(); })) << waiting.Errors();
    EXPECT_EQ(waiting.Stop(), 0) << waiting.Errors();
    // A box during start-up ("no camera") is logged with a time stamp and answered.
    install_.WriteSettings("[General]\ncamera_capture=1\n");
    EngineProcess started(install_, "", {"VEMO_TEST_CAMERAS="});
    ASSERT_TRUE(WaitFor([&] { return Running(); })) << started.Errors();
    ASSERT_TRUE(WaitFor([&] {
        return started.Errors().find("vemo.message: Vemo : カメラが見つかりません") !=
               std::string::npos;
    })) << started.Errors();
    EXPECT_EQ(started.Stop(), 0);

    // A signal while waiting for the product ends the wait.
    install_.block().set_product_ready(0);
    EngineProcess given_up(install_, "", {"VEMO_TEST_CAMERAS="});
    ASSERT_TRUE(WaitFor(
        [&] { return given_up.Errors().find("Corvexaが起動していません") != std::string::npos; }));
    EXPECT_NE(given_up.Errors().find("; without it: vemoctl product ready 1)"), std::string::npos)
        << "nobody can click: the wait says what ends it";
    EXPECT_EQ(given_up.Stop(), 1);
    EXPECT_FALSE(Running());
}

// With no display to be found the engine runs without a window: no Qt
// platform plugin is even looked for.
TEST_F(EngineProcessTest, WithoutADisplayTheEngineRunsWithoutAWindow) {
    install_.block().set_product_ready(1);
    const std::vector<std::string> no_display{"VEMO_TEST_CAMERAS=", "DISPLAY", "WAYLAND_DISPLAY"};
    std::vector<std::string> default_platforms = no_display;
    default_platforms.push_back("QT_QPA_PLATFORM");
    default_platforms.push_back("QT_DEBUG_PLUGINS=1");
    EngineProcess headless(install_, "", default_platforms);
    ASSERT_TRUE(WaitFor([&] { return Running(); })) << headless.Errors();
    EXPECT_EQ(headless.Stop(), 0);
    const std::string errors = headless.Errors();
    EXPECT_EQ(errors.find("platforms"), std::string::npos) << errors;
    EXPECT_NE(errors.find(" on the headless platform"), std::string::npos) << errors;

    // X alone: nothing to go on with, and Qt's own lines say so.
    std::vector<std::string> x_only = no_display;
    x_only.push_back("QT_QPA_PLATFORM=xcb");
    EngineProcess failed(install_, "", x_only);
    EXPECT_NE(failed.Wait(), 0);
    EXPECT_NE(failed.Errors().find("Could not load the Qt platform plugin \"xcb\""),
              std::string::npos)
        << failed.Errors();
    EXPECT_EQ(failed.Errors().find("going on with"), std::string::npos) << failed.Errors();
}

TEST_F(EngineProcessTest, ASignalEndsTheEngineWhileARealBoxIsOpen) {
    // A real box on a real display, open during start-up.
    test::XvfbDisplay display(640, 480, 24);
    ASSERT_TRUE(display.ok()) << display.error();
    install_.block().set_product_ready(1);
    install_.WriteSettings("[General]\ncamera_capture=1\n");
    EngineProcess engine(
        install_, "", {"VEMO_TEST_CAMERAS=", "QT_QPA_PLATFORM=xcb", "DISPLAY=" + display.name()});
    ASSERT_TRUE(WaitFor([&] {
        return engine.Errors().find("カメラが見つかりません") != std::string::npos;
    })) << engine.Errors();
    EXPECT_EQ(engine.Stop(), 0) << engine.Errors();
    EXPECT_FALSE(Running());
}

TEST_F(EngineProcessTest, OneEngineAtATimeAndStaleMarkersAreTakenOver) {
    install_.block().set_product_ready(1);
    EngineProcess first(install_, "1");
    ASSERT_TRUE(WaitFor([&] { return Running(); })) << first.Errors();

    EngineProcess second(install_, "1");
    EXPECT_EQ(second.Wait(), 1);
    const std::string first_pid = std::to_string(first.pid());
    EXPECT_NE(second.Errors().find("キャプチャー・エンジンはすでに起動しています。\n(process " +
                                   first_pid + "; end it with: kill " + first_pid + ")"),
              std::string::npos)
        << second.Errors();
    // Without a person to answer, the box is one log line, its lines joined.
    EngineProcess logged(install_, "");
    EXPECT_EQ(logged.Wait(), 1);
    EXPECT_NE(logged.Errors().find("すでに起動しています。 (process " + first_pid + ";"),
              std::string::npos)
        << logged.Errors();
    EXPECT_TRUE(Running()) << "the first engine's marker stays";
    EXPECT_EQ(install_.block().engine_pid(), static_cast<std::uint32_t>(first.pid()));

    // SIGTERM closes the engine like its close box: off pictures, marker cleared.
    EXPECT_EQ(first.Stop(), 0);
    EXPECT_EQ(first.Errors().find("propagateSizeHints"), std::string::npos) << first.Errors();
    EXPECT_FALSE(Running());
    EXPECT_EQ(install_.Published("screenon.gif"), install_.Bak("screenoff.gif"));
    EXPECT_EQ(install_.Published("vemosc1.jpg"), install_.Bak("screenoff.jpg"));
    EXPECT_EQ(install_.Published("vemosc.gif"), install_.Bak("vemoscoff.gif"));

    // An engine killed outright leaves its marker; the next one takes it over.
    EngineProcess killed(install_, "1");
    ASSERT_TRUE(WaitFor([&] { return Running(); }));
    kill(killed.pid(), SIGKILL);
    killed.Wait();
    EXPECT_TRUE(Running());
    EngineProcess next(install_, "1");
    ASSERT_TRUE(WaitFor([&] {
        return install_.block().engine_pid() == static_cast<std::uint32_t>(next.pid());
    })) << next.Errors();
    kill(next.pid(), SIGINT);
    EXPECT_EQ(next.Wait(), 0);
    EXPECT_FALSE(Running());
}

TEST_F(EngineProcessTest, OnlyALiveProcessOfTheEngineProgramHoldsTheMarker) {
    int until_closed[2];
    ASSERT_EQ(pipe(until_closed), 0);
    const pid_t child = fork();
    if (child == 0) {
        close(until_closed[1]);
        (void)!read(until_closed[0], until_closed, 1);
        _exit(0);
    }
    ASSERT_GT(child, 0);
    close(until_closed[0]);
    SharedStatusBlock block = install_.block();
    block.set_engine_pid(static_cast<std::uint32_t>(child));
    block.set_engine_running(1);
    // Renamed, as a recording into /proc/self/comm renames an engine: the
    // child runs this same program still, as a second engine would.
    char name[16] = {};
    prctl(PR_GET_NAME, name);
    prctl(PR_SET_NAME, "renamed");
    EXPECT_FALSE(ClaimEngineMarker(block));
    prctl(PR_SET_NAME, name);
    // Ended but not reaped: a zombie of this name is no engine.
    close(until_closed[1]);
    siginfo_t ended{};
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(child), &ended, WEXITED | WNOWAIT), 0);
    EXPECT_TRUE(ClaimEngineMarker(block));
    waitpid(child, nullptr, 0);
}

TEST_F(EngineProcessTest, RunsOnWithoutItsDirectory) {
    install_.block().set_product_ready(1);
    fs::remove_all(install_.dir() / "vemo");
    EngineProcess engine(install_, "1");
    ASSERT_TRUE(WaitFor([&] { return Running(); }));
    ASSERT_TRUE(WaitFor(
        [&] { return engine.Errors().find("vemo/ directory not found in") != std::string::npos; }));
    kill(engine.pid(), SIGHUP);
    EXPECT_EQ(engine.Wait(), 0);
}

// Needs a display: the screen is published once as soon as the engine is up.
TEST_F(EngineProcessTest, ASignalWhileAStartUpBoxIsOpenEndsTheEngineWithNothingStarted) {
    // The box stays open for three seconds inside a nested event loop, as a
    // real one does: the signal is handled there, and once the box is
    // answered start-up goes no further.
    install_.block().set_product_ready(1);
    install_.WriteSettings("[General]\ncamera_capture=1\nscreen_capture=1\n");
    EngineProcess engine(install_, "1", {"VEMO_MESSAGE_NESTED=3000", "VEMO_TEST_CAMERAS="});
    const std::string box = "message: Vemo : カメラが見つかりません";
    if (!WaitFor([&] { return engine.Errors().find(box) != std::string::npos; }, 10s)) {
        GTEST_SKIP() << "a real camera is attached: " << engine.Errors();
    }
    EXPECT_EQ(engine.Stop(), 0) << engine.Errors();
    EXPECT_FALSE(Running());
    // Only the off pictures of the close: screen publishing never started.
    EXPECT_EQ(install_.Published("screenon.gif"), install_.Bak("screenoff.gif"));
    EXPECT_EQ(install_.Published("vemosc1.jpg"), install_.Bak("screenoff.jpg"));
}

TEST_F(EngineProcessTest, StartsScreenPublishingWhenStoredOn) {
    if (std::getenv("DISPLAY") == nullptr) GTEST_SKIP() << "no DISPLAY";
    install_.block().set_product_ready(1);
    install_.WriteSettings("[General]\nscreen_capture=1\n");
    EngineProcess engine(install_, "1", {"QT_QPA_PLATFORM=xcb"});
    ASSERT_TRUE(WaitFor([&] { return install_.Inode("vemosc1.jpg") != 0; })) << engine.Errors();
    EXPECT_TRUE(test::DecodeJpeg((install_.dir() / "vemo/vemosc1.jpg").string()).ok);
    EXPECT_EQ(install_.Published("screenon.gif"), install_.Bak("screenon.gif"));
    EXPECT_EQ(engine.Stop(), 0) << engine.Errors();
    EXPECT_EQ(install_.Published("vemosc1.jpg"), install_.Bak("screenoff.jpg"));
}

TEST_F(EngineProcessTest, ScreenPublishingEndsOffWhenTheXServerDies) {
    test::XvfbDisplay display(640, 480, 24);
    ASSERT_TRUE(display.ok()) << display.error();
    install_.block().set_product_ready(1);
    install_.WriteSettings("[General]\nscreen_capture=1\nscreen_timer=1\n");
    // Qt ends the process itself; what it leaves allocated is no leak of ours.
    EngineProcess engine(install_, "1",
                         {"QT_QPA_PLATFORM=xcb", "DISPLAY=" + display.name(),
                          "ASAN_OPTIONS=detect_leaks=0:abort_on_error=1"});
    ASSERT_TRUE(WaitFor([&] { return install_.Inode("vemosc1.jpg") != 0; })) << engine.Errors();
    ASSERT_TRUE(Running());
    display.Kill();
    EXPECT_NE(engine.Wait(), -1) << "the engine ends with its display";
    EXPECT_FALSE(Running());
    EXPECT_EQ(install_.Published("screenon.gif"), install_.Bak("screenoff.gif")) << engine.Errors();
    EXPECT_EQ(install_.Published("vemosc1.jpg"), install_.Bak("screenoff.jpg"));
}

}  // namespace
}  // namespace vemo
