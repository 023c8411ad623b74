// vemoctl settings and vemoctl product as integrators run them: real
// processes, a settings file in a temporary directory, a shared record of the
// test's own.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <thread>

#include "product/shared_status_block.h"
#include "support/test_support.h"

namespace vemo {
namespace {

using test::RunProcess;
using test::TempDir;
using namespace std::chrono_literals;

test::ProcessResult Vemoctl(std::vector<std::string> args, const std::string& environment) {
    args.insert(args.begin(), VEMOCTL_PATH);
    return RunProcess(args, {environment});
}

void ExpectOneLineError(const test::ProcessResult& result, const std::string& words) {
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.err.rfind("vemoctl: ", 0), 0u) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    EXPECT_NE(result.err.find(words), std::string::npos) << result.err;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// "2026-01-02T03:04:05.678 camera_busy=1 screen_busy=0" gives "10"; a line
// of any other form gives "".
std::string BusyState(const std::string& line) {
    static const std::string kForm = "####-##-##T##:##:##.### camera_busy=? screen_busy=?";
    if (line.size() != kForm.size()) return {};
    std::string state;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char form = kForm[i], c = line[i];
        if (form == '#' && (c < '0' || c > '9')) return {};
        if (form == '?' && c != '0' && c != '1') return {};
        if (form != '#' && form != '?' && c != form) return {};
        if (form == '?') state += c;
    }
    return state;
}

TEST(VemoctlSettings, ListsGetsAndSetsTheStore) {
    TempDir dir;
    const std::string env = "VEMO_SETTINGS_FILE=" + dir / "conf/settings.ini";

    auto list = Vemoctl({"settings", "list"}, env);
    ASSERT_EQ(list.exit_code, 0) << list.err;
    const auto lines = Lines(list.out);
    ASSERT_EQ(lines.size(), 14u);
    EXPECT_EQ(lines.front(), "camera_capture=0 (default)");
    EXPECT_EQ(lines.back(), "imode_camera_width=120 (default)");
    EXPECT_NE(list.out.find("\nscreen_timer=60 (default)\n"), std::string::npos);

    EXPECT_EQ(Vemoctl({"settings", "set", "camera_timer", "7"}, env).exit_code, 0);
    EXPECT_EQ(Vemoctl({"settings", "set", "imode_width", "4294967295"}, env).exit_code, 0);
    EXPECT_EQ(Vemoctl({"settings", "get", "camera_timer"}, env).out, "7\n");
    EXPECT_EQ(Vemoctl({"settings", "get", "imode_width"}, env).out, "4294967295\n");
    list = Vemoctl({"settings", "list"}, env);
    EXPECT_NE(list.out.find("\ncamera_timer=7\n"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("\ncamera_gif_color=256 (default)\n"), std::string::npos);

    for (const char* bad : {"abc", "-1", "4294967296", "", "0x10", "1.5"}) {
        ExpectOneLineError(Vemoctl({"settings", "set", "camera_timer", bad}, env),
                           "is not a whole number from 0 to 4294967295");
    }
    ExpectOneLineError(Vemoctl({"settings", "set", "camera_timers", "1"}, env),
                       "no setting is named 'camera_timers'");
    ExpectOneLineError(Vemoctl({"settings", "get", "nothing"}, env), "no setting is named");
    ExpectOneLineError(Vemoctl({"settings", "get"}, env), "wrong number of arguments");
    ExpectOneLineError(Vemoctl({"settings", "list", "x"}, env), "wrong number of arguments");
    ExpectOneLineError(Vemoctl({"settings", "remove"}, env), "expected list, get");
    EXPECT_EQ(Vemoctl({"settings", "get", "camera_timer"}, env).out, "7\n");  // untouched

    test::WriteBytes(dir / "file", {'x'});
    const std::string unwritable = "VEMO_SETTINGS_FILE=" + dir / "file/settings.ini";
    ExpectOneLineError(Vemoctl({"settings", "set", "camera_timer", "9"}, unwritable),
                       "cannot write the settings file");
    EXPECT_EQ(Vemoctl({"settings", "get", "camera_timer"}, unwritable).out, "5\n");
}

// A shared-memory name of the test's own, removed afterwards.
struct ObjectName {
    ObjectName() : name("/vemo-test-" + std::to_string(::getpid()) + "-vemoctl-" + Next()) {}
    ~ObjectName() { ::shm_unlink(name.c_str()); }
    static std::string Next() {
        static int counter = 0;
        return std::to_string(++counter);
    }
    std::string env() const { return "CORVEXA_SHM=" + name; }
    std::string name;
};

TEST(VemoctlProduct, ReadsAndSetsTheSharedRecord) {
    const ObjectName shm;
    EXPECT_EQ(Vemoctl({"product", "status"}, shm.env()).out,
              "product_ready=0 engine_running=0 camera_busy=0 screen_busy=0\n");
    EXPECT_EQ(Vemoctl({"product", "ready", "1"}, shm.env()).exit_code, 0);
    EXPECT_EQ(Vemoctl({"product", "status"}, shm.env()).out,
              "product_ready=1 engine_running=0 camera_busy=0 screen_busy=0\n");
    EXPECT_EQ(Vemoctl({"product", "ready", "0"}, shm.env()).exit_code, 0);
    EXPECT_EQ(Vemoctl({"product", "status"}, shm.env()).out,
              "product_ready=0 engine_running=0 camera_busy=0 screen_busy=0\n");

    ExpectOneLineError(Vemoctl({"product", "ready", "2"}, shm.env()), "takes 0 or 1");
    ExpectOneLineError(Vemoctl({"product", "ready"}, shm.env()), "takes 0 or 1");
    ExpectOneLineError(Vemoctl({"product", "start"}, shm.env()), "expected status");
    ExpectOneLineError(Vemoctl({"product", "watch", "--for", "soon"}, shm.env()),
                       "--for takes a number of seconds");

    const ObjectName squatted;
    const int fd = ::shm_open(squatted.name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    ::fchmod(fd, 0666);
    ::ftruncate(fd, 4096);
    ::close(fd);
    ExpectOneLineError(Vemoctl({"product", "status"}, squatted.env()),
                       "cannot get the shared memory " + squatted.name);
}

TEST(VemoctlProduct, WatchPrintsEachChangeOfTheBusyBytes) {
    const ObjectName shm;
    ASSERT_EQ(Vemoctl({"product", "status"}, shm.env()).exit_code, 0);  // creates it
    const int fd = ::shm_open(shm.name.c_str(), O_RDWR, 0);
    ASSERT_GE(fd, 0);
    void* record =
        ::mmap(nullptr, SharedStatusBlock::kSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    ASSERT_NE(record, MAP_FAILED);

    // The engine's side changes one busy byte at a time and waits until the
    // watcher has printed the change before the next one, however slowly the
    // watcher runs. Changes made before it started are simply not printed.
    const test::TempDir dir;
    const std::string out = dir / "watch.out";
    const auto printed = [&out] {
        const auto bytes = test::ReadBytes(out);
        return std::count(bytes.begin(), bytes.end(), '\n');
    };
    std::thread engine([&] {
        SharedStatusBlock block(record);
        const auto start = std::chrono::steady_clock::now();
        for (int step = 0; printed() < 8 && std::chrono::steady_clock::now() - start < 20s;
             ++step) {
            const auto before = printed();
            if (step % 4 < 2)
                block.set_camera_busy(step % 4 == 0 ? 1 : 0);
            else
                block.set_screen_busy(step % 4 == 2 ? 1 : 0);
            // Until the watcher prints its first line it may not be running yet.
            const auto wait = before == 0 ? 500ms : 10s;
            for (const auto changed = std::chrono::steady_clock::now();
                 printed() == before && std::chrono::steady_clock::now() - changed < wait;) {
                std::this_thread::sleep_for(1ms);
            }
        }
    });
    const auto watch = RunProcess(
        {"/bin/sh", "-c", "exec \"$0\" product watch --for 3 >\"$1\"", VEMOCTL_PATH, out},
        {shm.env()});
    engine.join();
    ::munmap(record, SharedStatusBlock::kSize);
    const auto watch_out = test::ReadBytes(out);
    ASSERT_EQ(watch.exit_code, 0) << watch.err;
    const std::string text(watch_out.begin(), watch_out.end());
    const auto lines = Lines(text);
    ASSERT_GE(lines.size(), 8u) << text;
    std::string previous;
    for (const std::string& line : lines) {
        const std::string state = BusyState(line);
        ASSERT_FALSE(state.empty()) << line;
        if (!previous.empty()) {
            // Each line is one change: exactly one of the two bytes differs.
            EXPECT_EQ((state[0] != previous[0]) + (state[1] != previous[1]), 1) << text;
        }
        previous = state;
    }
}

}  // namespace
}  // namespace vemo
