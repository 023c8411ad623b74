// vemoctl settings and vemoctl product as integrators run them: real
// processes, a settings file in a temporary directory, a shared record of the
// test's own.

#include <dbus/dbus.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "product/shared_status_block.h"
#include "support/test_support.h"

namespace vemo {
namespace {

using test::RunProcess;
using test::TempDir;
using namespace std::chrono_literals;

test::ProcessResult Vemoctl(std::vector<std::string> args,
                            const std::vector<std::string>& environment) {
    args.insert(args.begin(), VEMOCTL_PATH);
    return RunProcess(args, environment);
}

test::ProcessResult Vemoctl(std::vector<std::string> args, const std::string& environment) {
    return Vemoctl(std::move(args), std::vector<std::string>{environment});
}

// Exit status 1: the operation failed; 2: the command line is wrong.
void ExpectOneLineError(const test::ProcessResult& result, const std::string& words,
                        int exit_code = 1) {
    EXPECT_EQ(result.exit_code, exit_code) << result.err;
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

// "2026-01-02T03:04:05.678 camera_busy=1" gives "camera_busy=1"; a line
// without the time stamp gives "".
std::string AfterStamp(const std::string& line) {
    static const std::string kStamp = "####-##-##T##:##:##.### ";
    if (line.size() <= kStamp.size()) return {};
    for (std::size_t i = 0; i < kStamp.size(); ++i) {
        const char form = kStamp[i], c = line[i];
        if (form == '#' ? c < '0' || c > '9' : c != form) return {};
    }
    return line.substr(kStamp.size());
}

// Stands in for a running engine on the test's private session bus: tells
// `settings_file` as the file it reads, answers ReloadSettings, or refuses it
// with `refusal`, and notes the settings file's value of screen_timer at each
// call.
class FakeEngine {
  public:
    FakeEngine(std::string settings_file, std::string refusal)
        : file_(std::move(settings_file)), refusal_(std::move(refusal)) {
        DBusError error;
        dbus_error_init(&error);
        bus_ = dbus_bus_get_private(DBUS_BUS_SESSION, &error);
        if (bus_ != nullptr) {
            owned_ = dbus_bus_request_name(bus_, "com.lumetra.Vemo", DBUS_NAME_FLAG_DO_NOT_QUEUE,
                                           &error) == DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER;
        }
        dbus_error_free(&error);
        if (owned_) thread_ = std::thread([this] { Serve(); });
    }
    ~FakeEngine() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (bus_ != nullptr) {
            dbus_connection_close(bus_);
            dbus_connection_unref(bus_);
        }
    }
    bool ok() const { return owned_; }
    std::vector<std::string> seen() {
        std::lock_guard lock(mutex_);
        return seen_;
    }

  private:
    void Serve() {
        while (!stop_ && dbus_connection_read_write(bus_, 20)) {
            while (DBusMessage* call = dbus_connection_pop_message(bus_)) {
                if (dbus_message_is_method_call(call, "com.lumetra.Vemo.Engine",
                                                "ReloadSettings")) {
                    Answer(call);
                } else if (dbus_message_is_method_call(call, DBUS_INTERFACE_PROPERTIES, "GetAll")) {
                    AnswerReady(call);
                } else if (dbus_message_is_method_call(call, "com.lumetra.Vemo.Engine",
                                                       "SettingsFile")) {
                    DBusMessage* reply = dbus_message_new_method_return(call);
                    const char* path = file_.c_str();
                    dbus_message_append_args(reply, DBUS_TYPE_STRING, &path, DBUS_TYPE_INVALID);
                    dbus_connection_send(bus_, reply, nullptr);
                    dbus_connection_flush(bus_);
                    dbus_message_unref(reply);
                }
                dbus_message_unref(call);
            }
        }
    }
    // The properties of a ready engine whose status bar text is empty (left out).
    void AnswerReady(DBusMessage* call) {
        DBusMessage* reply = dbus_message_new_method_return(call);
        DBusMessageIter args, all, entry, value;
        const char* name = "Ready";
        const dbus_bool_t ready = true;
        dbus_message_iter_init_append(reply, &args);
        dbus_message_iter_open_container(&args, DBUS_TYPE_ARRAY, "{sv}", &all);
        dbus_message_iter_open_container(&all, DBUS_TYPE_DICT_ENTRY, nullptr, &entry);
        dbus_message_iter_append_basic(&entry, DBUS_TYPE_STRING, &name);
        dbus_message_iter_open_container(&entry, DBUS_TYPE_VARIANT, "b", &value);
        dbus_message_iter_append_basic(&value, DBUS_TYPE_BOOLEAN, &ready);
        dbus_message_iter_close_container(&entry, &value);
        dbus_message_iter_close_container(&all, &entry);
        dbus_message_iter_close_container(&args, &all);
        dbus_connection_send(bus_, reply, nullptr);
        dbus_connection_flush(bus_);
        dbus_message_unref(reply);
    }
    void Answer(DBusMessage* call) {
        const auto bytes = test::ReadBytes(file_);
        const std::string text(bytes.begin(), bytes.end());
        const auto at = text.find("screen_timer=");
        {
            std::lock_guard lock(mutex_);
            seen_.push_back(at == std::string::npos ? ""
                                                    : text.substr(at, text.find('\n', at) - at));
        }
        DBusMessage* reply =
            refusal_.empty()
                ? dbus_message_new_method_return(call)
                : dbus_message_new_error(call, "com.lumetra.Vemo.Error.Refused", refusal_.c_str());
        dbus_connection_send(bus_, reply, nullptr);
        dbus_connection_flush(bus_);
        dbus_message_unref(reply);
    }

    std::string file_;
    std::string refusal_;
    DBusConnection* bus_ = nullptr;
    bool owned_ = false;
    std::atomic<bool> stop_ = false;
    std::mutex mutex_;
    std::vector<std::string> seen_;
    std::thread thread_;  // last: it uses the members above
};

TEST(VemoctlSettings, ListsGetsAndSetsTheStoreWithinTheEnginesRanges) {
    TempDir dir;
    const std::string env = "VEMO_SETTINGS_FILE=" + dir / "conf/settings.ini";

    auto list = Vemoctl({"settings", "list"}, env);
    ASSERT_EQ(list.exit_code, 0) << list.err;
    const auto lines = Lines(list.out);
    ASSERT_EQ(lines.size(), 14u);
    EXPECT_EQ(lines.front(), "camera_capture=0 (0..1, default)");
    EXPECT_EQ(lines.back(), "imode_camera_width=120 (50..200, default)");
    EXPECT_NE(list.out.find("\nscreen_timer=60 (1..604800, default)\n"), std::string::npos);

    const auto set = Vemoctl({"settings", "set", "camera_timer", "7"}, env);
    EXPECT_EQ(set.exit_code, 0) << set.err;
    EXPECT_EQ(set.out, "stored; no running engine\n");
    EXPECT_EQ(set.err, "");
    EXPECT_EQ(Vemoctl({"settings", "set", "camera_timer", "604800"}, env).exit_code, 0);
    EXPECT_EQ(Vemoctl({"settings", "set", "imode_width", "200"}, env).exit_code, 0);
    EXPECT_EQ(Vemoctl({"settings", "get", "camera_timer"}, env).out, "604800\n");
    list = Vemoctl({"settings", "list"}, env);
    EXPECT_NE(list.out.find("\ncamera_timer=604800 (1..604800, default 5)\n"), std::string::npos)
        << list.out;
    EXPECT_NE(list.out.find("\nimode_width=200 (50..200, default 160)\n"), std::string::npos);

    // Refused, naming the range, and the file is left as it was.
    for (const char* bad : {"0", "604801", "abc", "-1", "4294967296", "", "0x10", "1.5"}) {
        ExpectOneLineError(Vemoctl({"settings", "set", "camera_timer", bad}, env),
                           "camera_timer takes a whole number from 1 to 604800", 2);
    }
    ExpectOneLineError(Vemoctl({"settings", "set", "screen_gif_color", "7"}, env), "from 8 to 256",
                       2);
    ExpectOneLineError(Vemoctl({"settings", "set", "screen_division_h", "11"}, env), "from 1 to 10",
                       2);
    ExpectOneLineError(Vemoctl({"settings", "set", "screen_one", "2"}, env), "from 0 to 1", 2);
    ExpectOneLineError(Vemoctl({"settings", "set", "camera_timers", "1"}, env),
                       "no setting is named 'camera_timers'", 2);
    ExpectOneLineError(Vemoctl({"settings", "get", "nothing"}, env), "no setting is named", 2);
    ExpectOneLineError(Vemoctl({"settings", "get"}, env), "wrong number of arguments", 2);
    ExpectOneLineError(Vemoctl({"settings", "list", "x"}, env), "wrong number of arguments", 2);
    ExpectOneLineError(Vemoctl({"settings", "remove"}, env), "expected list, get", 2);
    EXPECT_EQ(Vemoctl({"settings", "get", "camera_timer"}, env).out, "604800\n");

    test::WriteBytes(dir / "file", {'x'});
    const std::string unwritable = "VEMO_SETTINGS_FILE=" + dir / "file/settings.ini";
    ExpectOneLineError(Vemoctl({"settings", "set", "camera_timer", "9"}, unwritable),
                       "cannot write the settings file");
    EXPECT_EQ(Vemoctl({"settings", "get", "camera_timer"}, unwritable).out, "5\n");
}

TEST(VemoctlSettings, SetTellsARunningEngineToApplyTheStoredFile) {
    TempDir dir;
    const std::string file = dir / "settings.ini";
    const std::string env = "VEMO_SETTINGS_FILE=" + file;
    {
        FakeEngine engine(file, "");
        ASSERT_TRUE(engine.ok()) << "no session bus (the test runs under dbus-run-session)";
        const auto applied = Vemoctl({"settings", "set", "screen_timer", "30"}, env);
        EXPECT_EQ(applied.exit_code, 0) << applied.err;
        EXPECT_EQ(applied.out, "applied to the running engine\n");
        EXPECT_EQ(applied.err, "");
        EXPECT_EQ(engine.seen(), std::vector<std::string>{"screen_timer=30"}) << "stored first";

        ExpectOneLineError(Vemoctl({"settings", "set", "screen_timer", "0"}, env), "1 to 604800",
                           2);
        EXPECT_EQ(engine.seen().size(), 1u) << "a refused value is not announced";
    }
    {
        FakeEngine engine(file, "the screen is busy");
        ASSERT_TRUE(engine.ok());
        const auto failed = Vemoctl({"settings", "set", "screen_timer", "40"}, env);
        EXPECT_EQ(failed.exit_code, 0);
        EXPECT_EQ(failed.out, "stored; not applied to the running engine\n");
        EXPECT_EQ(failed.err,
                  "vemoctl: settings set: the running engine did not apply it: the screen is "
                  "busy\n");
        EXPECT_EQ(Vemoctl({"settings", "get", "screen_timer"}, env).out, "40\n");
    }
    EXPECT_EQ(Vemoctl({"settings", "set", "screen_timer", "50"}, env).out,
              "stored; no running engine\n");

    // A shell without VEMO_SETTINGS_FILE writes the file the engine reads,
    // not its own default one.
    const std::vector<std::string> unnamed{"VEMO_SETTINGS_FILE", "XDG_CONFIG_HOME=" + dir / "xdg"};
    const std::string elsewhere = dir / "other.ini";
    {
        FakeEngine engine(file, "");
        ASSERT_TRUE(engine.ok());
        const auto applied = Vemoctl({"settings", "set", "screen_timer", "60"}, unnamed);
        EXPECT_EQ(applied.out, "applied to the running engine\n") << applied.err;
        EXPECT_EQ(engine.seen(), std::vector<std::string>{"screen_timer=60"});
        EXPECT_FALSE(std::filesystem::exists(dir / "xdg"));

        // One naming another file stores it there and says the engine was
        // not told.
        const auto apart =
            Vemoctl({"settings", "set", "screen_timer", "70"}, "VEMO_SETTINGS_FILE=" + elsewhere);
        EXPECT_EQ(apart.exit_code, 0);
        EXPECT_EQ(apart.out, "stored; not applied to the running engine\n");
        EXPECT_EQ(apart.err, "vemoctl: settings set: the running engine reads " + file + ", not " +
                                 elsewhere + " (VEMO_SETTINGS_FILE)\n");
        EXPECT_EQ(engine.seen().size(), 1u);
        EXPECT_EQ(Vemoctl({"settings", "get", "screen_timer"}, env).out, "60\n");
    }
    EXPECT_EQ(Vemoctl({"settings", "get", "screen_timer"}, "VEMO_SETTINGS_FILE=" + elsewhere).out,
              "70\n");
}

// Scripts read the status text on the first line: an empty one keeps its line.
TEST(VemoctlEngine, StatusKeepsTheFirstLineForAnEmptyStatusText) {
    FakeEngine engine("", "");
    ASSERT_TRUE(engine.ok());
    EXPECT_EQ(Vemoctl({"status"}, std::vector<std::string>{}).out.substr(0, 3), "\"\"\n");
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

TEST(VemoctlProduct, ReadsAndSetsTheSharedRecordAndLookingCreatesNone) {
    const ObjectName shm;
    ExpectOneLineError(Vemoctl({"product", "status"}, shm.env()), "no shared record " + shm.name);
    const int absent = ::shm_open(shm.name.c_str(), O_RDONLY, 0);
    EXPECT_LT(absent, 0) << "status created the record";
    if (absent >= 0) ::close(absent);
    ExpectOneLineError(Vemoctl({"product", "watch", "--for", "0"}, shm.env()), "no shared record");

    EXPECT_EQ(Vemoctl({"product", "ready", "1"}, shm.env()).exit_code, 0);  // creates it
    EXPECT_EQ(Vemoctl({"product", "status"}, shm.env()).out,
              "product_ready=1 engine_running=0 camera_busy=0 screen_busy=0\n");
    EXPECT_EQ(Vemoctl({"product", "ready", "0"}, shm.env()).exit_code, 0);
    EXPECT_EQ(Vemoctl({"product", "status"}, shm.env()).out,
              "product_ready=0 engine_running=0 camera_busy=0 screen_busy=0\n");

    ExpectOneLineError(Vemoctl({"product", "ready", "2"}, shm.env()), "takes 0 or 1", 2);
    ExpectOneLineError(Vemoctl({"product", "ready"}, shm.env()), "takes 0 or 1", 2);
    ExpectOneLineError(Vemoctl({"product", "start"}, shm.env()), "expected status", 2);
    ExpectOneLineError(Vemoctl({"product", "status", "x"}, shm.env()), "wrong number", 2);
    ExpectOneLineError(Vemoctl({"product", "watch", "--for", "soon"}, shm.env()),
                       "--for takes a number of seconds", 2);

    // An object the engine would refuse is no record to read either.
    const ObjectName squatted;
    const int fd = ::shm_open(squatted.name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    ::fchmod(fd, 0666);
    ::ftruncate(fd, 4096);
    ::close(fd);
    ExpectOneLineError(Vemoctl({"product", "status"}, squatted.env()),
                       "cannot get the shared memory " + squatted.name);
}

TEST(VemoctlProduct, WatchPrintsEachChangeOfTheBusyBytesAndOfTheEngine) {
    const ObjectName shm;
    ASSERT_EQ(Vemoctl({"product", "ready", "1"}, shm.env()).exit_code, 0);  // creates it
    const int fd = ::shm_open(shm.name.c_str(), O_RDWR, 0);
    ASSERT_GE(fd, 0);
    void* record =
        ::mmap(nullptr, SharedStatusBlock::kSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    ASSERT_NE(record, MAP_FAILED);

    // The engine's side starts, changes one busy byte at a time, ends, and
    // waits after each step until the watcher has printed it, however slowly
    // the watcher runs. Changes made before it started are simply not printed.
    const test::TempDir dir;
    const std::string out = dir / "watch.out";
    const auto printed = [&out] {
        const auto bytes = test::ReadBytes(out);
        return std::count(bytes.begin(), bytes.end(), '\n');
    };
    std::thread engine([&] {
        SharedStatusBlock block(record);
        const std::function<void()> steps[] = {
            [&] { block.set_engine_running(1); }, [&] { block.set_camera_busy(1); },
            [&] { block.set_camera_busy(0); },    [&] { block.set_screen_busy(1); },
            [&] { block.set_screen_busy(0); },    [&] { block.set_engine_running(0); },
        };
        const auto start = std::chrono::steady_clock::now();
        for (int step = 0; printed() < 12 && std::chrono::steady_clock::now() - start < 20s;
             ++step) {
            const auto before = printed();
            steps[step % std::size(steps)]();
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
    ASSERT_GE(lines.size(), 12u) << text;
    // Each line is one change: the engine starting or ending, or exactly one
    // busy byte.
    std::string busy, running;
    int engine_lines = 0;
    for (const std::string& line : lines) {
        const std::string change = AfterStamp(line);
        if (change == "engine_running=1" || change == "engine_running=0") {
            if (!running.empty()) {
                EXPECT_NE(change, running) << text;
            }
            running = change;
            ++engine_lines;
            continue;
        }
        ASSERT_EQ(change.size(), std::string("camera_busy=0 screen_busy=0").size()) << line;
        ASSERT_EQ(change.substr(0, 12) + change.substr(13, 13), "camera_busy= screen_busy=")
            << line;
        const std::string state = {change[12], change[26]};
        if (!busy.empty()) {
            EXPECT_EQ((state[0] != busy[0]) + (state[1] != busy[1]), 1) << text;
        }
        busy = state;
    }
    EXPECT_GE(engine_lines, 2) << text;
}

}  // namespace
}  // namespace vemo
