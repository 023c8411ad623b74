// The installed engine: `cmake --install` of this build into a temporary
// prefix, then the installed programs run from there, as from a package.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "screen/xvfb_display.h"
#include "support/engine_harness.h"

namespace vemo {
namespace {

namespace fs = std::filesystem;

class InstallTest : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        prefix_ = new test::TempDir;
        install_ = test::RunProcess(
            {CMAKE_COMMAND, "--install", BUILD_DIR, "--prefix", prefix_->path().string()});
    }
    static void TearDownTestSuite() {
        delete prefix_;
        prefix_ = nullptr;
    }
    void SetUp() override { ASSERT_EQ(install_.exit_code, 0) << install_.out << install_.err; }

    static fs::path Installed(const std::string& name) { return prefix_->path() / name; }

    static test::TempDir* prefix_;
    static test::ProcessResult install_;
};

test::TempDir* InstallTest::prefix_ = nullptr;
test::ProcessResult InstallTest::install_;

TEST_F(InstallTest, LaysOutTheProgramsAndTheirFiles) {
    for (const char* name :
         {"bin/vemo", "bin/vemoctl", PRIVATE_LIBDIR "/libtandrel.so",
          "share/vemo/bak/cameraoff.jpg", "share/vemo/bak/vemoscoff.gif",
          "share/vemo/help/wmanual.htm", "share/icons/hicolor/64x64/apps/vemo.png",
          "share/applications/vemo.desktop", "share/man/man1/vemo.1.gz",
          "share/man/man1/vemoctl.1.gz", "lib/systemd/user/vemo.service",
          "share/doc/vemo/copyright", "share/dbus-1/interfaces/com.lumetra.Vemo.Engine.xml",
          "share/dbus-1/services/com.lumetra.Vemo.service"}) {
        EXPECT_TRUE(fs::is_regular_file(Installed(name))) << name;
    }
    // The stand-in stays out of the public library directory, where it would
    // be found in place of a product installation's own.
    EXPECT_FALSE(fs::exists(Installed(LIBDIR "/libtandrel.so")));
    // What a product installation copies into vemo/bak/: every picture.
    const auto count = [](const fs::path& dir) {
        return std::distance(fs::directory_iterator(dir), fs::directory_iterator());
    };
    EXPECT_EQ(count(Installed("share/vemo/bak")), count(VEMO_BAK_DIR));
}

TEST_F(InstallTest, TheDesktopEntryValidates) {
    if (std::string(DESKTOP_FILE_VALIDATE).empty()) GTEST_SKIP() << "no desktop-file-validate";
    const auto result = test::RunProcess(
        {DESKTOP_FILE_VALIDATE, Installed("share/applications/vemo.desktop").string()});
    EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
    EXPECT_EQ(result.out + result.err, "");
}

TEST_F(InstallTest, VemoctlRunsFromThePrefix) {
    const auto result = test::RunProcess({Installed("bin/vemoctl").string(), "--version"});
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.out, "vemoctl " VEMO_VERSION "\n");
}

TEST_F(InstallTest, TheEngineTakesAProductsLibraryBeforeItsOwn) {
    test::EngineInstallation folder;
    ASSERT_TRUE(folder.ok());
    folder.block().set_product_ready(1);
    // The product's library, on the loader's path, hands out no record.
    test::EngineProcess engine(folder, "1", {"LD_LIBRARY_PATH=" PRODUCT_LIBRARY_DIR},
                               Installed("bin/vemo").string());
    EXPECT_EQ(engine.Wait(), 1) << engine.Errors();
    EXPECT_NE(engine.Errors().find("Failed to get shared memory."), std::string::npos)
        << engine.Errors();
}

// The user unit runs the installed engine as systemd would: its
// environment, no display. The engine waits for the product without a box,
// then starts.
TEST_F(InstallTest, TheUserUnitRunsTheEngineHeadless) {
    std::ifstream unit(Installed("lib/systemd/user/vemo.service"));
    ASSERT_TRUE(unit) << "no unit";
    std::string line, exec_start, working_directory, type, bus_name;
    std::vector<std::string> environment{"DISPLAY", "WAYLAND_DISPLAY", "LD_LIBRARY_PATH="};
    while (std::getline(unit, line)) {
        if (line.starts_with("ExecStart=")) exec_start = line.substr(10);
        if (line.starts_with("Type=")) type = line.substr(5);
        if (line.starts_with("BusName=")) bus_name = line.substr(8);
        if (line.starts_with("WorkingDirectory=")) working_directory = line.substr(17);
        if (line.starts_with("Environment=")) environment.push_back(line.substr(12));
    }
    EXPECT_EQ(exec_start, Installed("bin/vemo").string());
    EXPECT_EQ(working_directory, "%h/Corvexa");
    // The session bus starts this unit for a call to the engine's name, and
    // systemd takes it as started once the engine holds that name.
    EXPECT_EQ(type, "dbus");
    EXPECT_EQ(bus_name, "com.lumetra.Vemo");
    std::ifstream activation(Installed("share/dbus-1/services/com.lumetra.Vemo.service"));
    const std::string service{std::istreambuf_iterator<char>(activation), {}};
    EXPECT_NE(service.find("\nName=com.lumetra.Vemo\n"), std::string::npos) << service;
    EXPECT_NE(service.find("\nSystemdService=vemo.service\n"), std::string::npos) << service;
    EXPECT_NE(std::find(environment.begin(), environment.end(), "QT_QPA_PLATFORM=offscreen"),
              environment.end());

    test::EngineInstallation folder;
    ASSERT_TRUE(folder.ok());
    folder.block().set_product_ready(0);
    // The platform the harness sets goes: the unit's own must stand alone.
    environment.insert(environment.begin(), "QT_QPA_PLATFORM");
    test::EngineProcess engine(folder, "", environment, exec_start);
    ASSERT_TRUE(test::WaitFor([&] {
        return engine.Errors().find("waiting for the product") != std::string::npos;
    })) << engine.Errors();
    folder.block().set_product_ready(1);
    ASSERT_TRUE(test::WaitFor([&] { return folder.block().engine_running() == 1; }))
        << engine.Errors();
    EXPECT_EQ(engine.Stop(), 0) << engine.Errors();
}

TEST_F(InstallTest, TheEngineStartsAndStopsFromThePrefix) {
    test::XvfbDisplay display(800, 600, 24);
    ASSERT_TRUE(display.ok()) << display.error();
    // A product installation's folder, its status pictures the installed ones.
    test::EngineInstallation folder;
    ASSERT_TRUE(folder.ok());
    fs::remove_all(folder.dir() / "vemo/bak");
    fs::copy(Installed("share/vemo/bak"), folder.dir() / "vemo/bak");
    folder.block().set_product_ready(1);

    test::EngineProcess engine(
        folder, "1", {"QT_QPA_PLATFORM=xcb", "DISPLAY=" + display.name(), "LD_LIBRARY_PATH="},
        Installed("bin/vemo").string());
    ASSERT_TRUE(test::WaitFor([&] { return folder.block().engine_running() == 1; }))
        << engine.Errors();
    EXPECT_EQ(engine.Stop(), 0) << engine.Errors();
    EXPECT_EQ(folder.block().engine_running(), 0);
    EXPECT_EQ(folder.Published("vemosc1.jpg"), folder.Bak("screenoff.jpg"));
}

}  // namespace
}  // namespace vemo
