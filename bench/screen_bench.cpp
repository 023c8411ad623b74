// Costs of screen grabs at 1920 x 1080 on a private Xvfb, pauses off: the
// whole screen (vemo/vemosc1.jpg) and the i-mode picture with 5 x 5 tiles,
// each with the screen unchanged since the last grab (pictures published
// again from the bytes kept), with one tile changed, and with everything
// changed. The CPU column is the whole process's (the grab runs on the screen
// worker), without the X server's own work; coded and republished count the
// pictures per grab. Also reports the resident memory a session adds.
//
// BM_EngineCameraAndScreen: the engine's window running a 640 x 480 test
// camera published every second while i-mode grabs (5 x 5, real pauses) are
// asked for every second, for 60 s ($VEMO_BENCH_SECONDS to change), with the
// whole screen changing every second ($VEMO_BENCH_STILL=1: never;
// $VEMO_BENCH_NO_SCREEN=1: the camera alone, for comparison). Reports
// the longest gap between two camera publishes and the longest gap between
// two ticks of a 5 ms probe timer on the window's thread (how long its event
// loop was held up, plus 5 ms).
//
//   build/release/bench/screen_bench --benchmark_repetitions=9
//       --benchmark_report_aggregates_only=true
//
// Files go to a private directory under $VEMO_BENCH_DIR (default: the system's
// temporary directory), removed at exit. VEMO_BENCH_NOSYNC=1 skips the flush
// before each published rename, to show what the disk adds.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QEventLoop>
#include <QTimer>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/camera_controller.h"
#include "app/main_window.h"
#include "app/message_box.h"
#include "devices/test_cameras.h"
#include "imaging/published_files.h"
#include "screen/screen_capture.h"
#include "screen/xvfb_display.h"
#include "settings/settings_store.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using vemo::test::PatternColour;

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

// Something like a desktop, so the coders get realistic work: a gradient
// background, flat windows with title bars, and lines of text in them (a few
// glyph shapes, 8 x 18 pixel cells, words of varying length).
PatternColour Desktop(int x, int y) {
    const auto hash = [](std::uint32_t v) {
        v ^= v >> 16;
        v *= 0x7feb352dU;
        v ^= v >> 15;
        v *= 0x846ca68bU;
        return v ^ (v >> 16);
    };
    // 5 x 9 glyphs, one row of bits per byte.
    static const std::uint8_t glyphs[6][9] = {
        {0x0e, 0x11, 0x11, 0x1f, 0x11, 0x11, 0x11, 0x00, 0x00},
        {0x1e, 0x11, 0x1e, 0x11, 0x11, 0x11, 0x1e, 0x00, 0x00},
        {0x00, 0x00, 0x0e, 0x01, 0x0f, 0x11, 0x0f, 0x00, 0x00},
        {0x10, 0x10, 0x16, 0x19, 0x11, 0x11, 0x11, 0x00, 0x00},
        {0x00, 0x00, 0x0f, 0x11, 0x11, 0x0f, 0x01, 0x11, 0x0e},
        {0x04, 0x00, 0x0c, 0x04, 0x04, 0x04, 0x0e, 0x00, 0x00},
    };
    struct Window {
        int x, y, w, h;
        PatternColour face;
    };
    static const Window windows[] = {{100, 80, 900, 600, {240, 240, 240}},
                                     {700, 300, 1000, 650, {255, 255, 255}},
                                     {1300, 100, 500, 400, {250, 245, 230}}};
    for (int i = 2; i >= 0; --i) {
        const Window& w = windows[i];
        if (x < w.x || x >= w.x + w.w || y < w.y || y >= w.y + w.h) continue;
        if (y < w.y + 28) return {40, 70, 140};  // title bar
        const int line = (y - w.y - 36) / 18, gy = (y - w.y - 36) % 18 - 4;
        const int cell = (x - w.x - 12) / 8, gx = (x - w.x - 12) % 8 - 1;
        if (line >= 0 && gy >= 0 && gy < 9 && cell >= 0 && gx >= 0 && gx < 5 &&
            x < w.x + w.w - 12 -
                    8 * static_cast<int>(hash(static_cast<std::uint32_t>(line)) % 40)) {
            const std::uint32_t h =
                hash(static_cast<std::uint32_t>(i * 100000 + line * 512 + cell));
            const bool space = h % 7 == 0;
            if (!space && ((glyphs[h % 6][gy] >> (4 - gx)) & 1) != 0) return {20, 20, 20};
        }
        return w.face;
    }
    return {static_cast<std::uint8_t>(30 + x * 60 / kWidth),
            static_cast<std::uint8_t>(80 + y * 60 / kHeight), 150};
}

long ResidentKiB(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
    }
    return 0;
}

// File operations without the flush (VEMO_BENCH_NOSYNC).
class NoSync : public vemo::FileOperations {
  public:
    bool Sync(const std::string& path) override {
        return no_sync_ || vemo::FileOperations::Sync(path);
    }
    bool no_sync_ = std::getenv("VEMO_BENCH_NOSYNC") != nullptr;
};

// The server and the working directory, made once for the whole run.
struct Setup {
    std::unique_ptr<vemo::test::XvfbDisplay> display;
    std::unique_ptr<vemo::test::RootInverter> inverter;
    vemo::ScreenCapture capture;
    fs::path dir;
    long baseline_kib = 0;
    bool ok = false;

    Setup() {
        display = std::make_unique<vemo::test::XvfbDisplay>(kWidth, kHeight, 24);
        std::string error;
        if (!display->ok() || !vemo::test::PaintRootWindow(display->name(), Desktop, error)) {
            std::fprintf(stderr, "screen_bench: no Xvfb: %s %s\n", display->error().c_str(),
                         error.c_str());
            return;
        }
        setenv("DISPLAY", display->name().c_str(), 1);
        inverter = std::make_unique<vemo::test::RootInverter>(display->name());
        const char* base = std::getenv("VEMO_BENCH_DIR");
        std::string pattern =
            ((base != nullptr ? fs::path(base) : fs::temp_directory_path()) / "vemo-bench-XXXXXX")
                .string();
        if (mkdtemp(pattern.data()) == nullptr) return;
        dir = pattern;
        fs::create_directories(dir / "vemo");
        fs::current_path(dir);
        // The stored settings play no part in the grab benchmarks.
        setenv("VEMO_SETTINGS_FILE", (dir / "settings.ini").c_str(), 1);
        capture.set_pause_ms(0);
        baseline_kib = ResidentKiB("VmRSS:");
        ok = inverter->ok();
    }
    ~Setup() {
        capture.Stop();
        if (!dir.empty()) {
            fs::current_path("/");
            fs::remove_all(dir);
        }
    }
};

Setup& TheSetup() {
    static Setup setup;
    return setup;
}

NoSync& TheFileOperations() {
    static NoSync operations;
    return operations;
}

void Report(const std::string& message) {
    std::fprintf(stderr, "screen_bench: %s\n", message.c_str());
}

// What changes on the screen before each grab.
enum class Change { kNothing, kOneTile, kEverything };

// Grabs in the mode `choose` sets on the stored settings, which are read once
// the setup has pointed them at its own (missing) file.
void BM_Grab(benchmark::State& state, void (*choose)(vemo::ScreenSettings&), const char* picture,
             Change change) {
    Setup& setup = TheSetup();
    if (!setup.ok) {
        state.SkipWithError("no display to grab");
        return;
    }
    vemo::SetFileOperations(&TheFileOperations());
    vemo::ScreenSettings settings = vemo::ReadScreenSettings();
    choose(settings);
    vemo::ScreenCapture& capture = setup.capture;
    const vemo::ScreenStartResult started = capture.Start(settings);
    if (!started.error.empty()) Report(started.error);
    if (!started.grabbable) {
        state.SkipWithError("no display to grab");
        return;
    }
    // The first grab codes everything; the measured ones follow it.
    capture.Grab();
    double coded = 0, republished = 0;
    for (auto _ : state) {
        if (change != Change::kNothing) {
            state.PauseTiming();
            // A rectangle inside the tile in the third row and column, or the screen.
            if (change == Change::kOneTile) {
                setup.inverter->Invert(2 * kWidth / 5 + 40, 2 * kHeight / 5 + 40, 120, 60);
            } else {
                setup.inverter->Invert(0, 0, kWidth, kHeight);
            }
            state.ResumeTiming();
        }
        const vemo::ScreenGrabResult result = capture.Grab();
        if (result.report) Report(result.error);
        if (!result.ok) {
            state.SkipWithError(result.error.c_str());
            break;
        }
        coded += result.coded;
        republished += result.republished;
    }
    const auto per_grab = [&](double count) {
        return benchmark::Counter(count / static_cast<double>(state.iterations()));
    };
    state.counters["coded"] = per_grab(coded);
    state.counters["republished"] = per_grab(republished);
    state.counters["session_MB"] =
        static_cast<double>(ResidentKiB("VmRSS:") - setup.baseline_kib) / 1024.0;
    std::error_code error;
    state.counters["picture_KB"] = static_cast<double>(fs::file_size(picture, error)) / 1024.0;
    capture.Stop();
    vemo::SetFileOperations(nullptr);
}

void Whole(vemo::ScreenSettings& settings) {
    settings.screen_one = 1;
}

void Imode5(vemo::ScreenSettings& settings) {
    settings.screen_one = 0;
    settings.screen_division = 5;
    settings.imode_width = 160;
    settings.imode_rotate = 0;
}

#define VEMO_GRAB_BENCHMARK(name, mode, picture, change)    \
    BENCHMARK_CAPTURE(BM_Grab, name, mode, picture, change) \
        ->Unit(benchmark::kMillisecond)                     \
        ->UseRealTime()                                     \
        ->MeasureProcessCPUTime()
VEMO_GRAB_BENCHMARK(WholeScreenUnchanged, Whole, vemo::published::kScreenWholeJpeg,
                    Change::kNothing);
VEMO_GRAB_BENCHMARK(WholeScreenChanged, Whole, vemo::published::kScreenWholeJpeg,
                    Change::kEverything);
VEMO_GRAB_BENCHMARK(ImodeD5Unchanged, Imode5, vemo::published::kScreenJpeg, Change::kNothing);
VEMO_GRAB_BENCHMARK(ImodeD5OneTileChanged, Imode5, vemo::published::kScreenJpeg, Change::kOneTile);
VEMO_GRAB_BENCHMARK(ImodeD5AllChanged, Imode5, vemo::published::kScreenJpeg, Change::kEverything);

// Notes when a camera picture and an i-mode picture are put in place, from
// whichever thread puts them.
class PublishClock : public vemo::FileOperations {
  public:
    bool Rename(const std::string& from, const std::string& to) override {
        const bool renamed = vemo::FileOperations::Rename(from, to);
        if (to == vemo::published::kCameraJpeg || to == vemo::published::kScreenJpeg) {
            const std::lock_guard lock(mutex_);
            (to == vemo::published::kCameraJpeg ? camera_ : screen_).push_back(Clock::now());
        }
        return renamed;
    }
    // The longest gap between camera pictures, and the i-mode pictures, since `from`.
    std::pair<Clock::duration, std::size_t> CameraGap(Clock::time_point from) {
        const std::lock_guard lock(mutex_);
        Clock::duration longest{};
        std::size_t count = 0;
        for (std::size_t i = 1; i < camera_.size(); ++i) {
            if (camera_[i - 1] < from) continue;
            longest = std::max(longest, camera_[i] - camera_[i - 1]);
            ++count;
        }
        return {longest, count};
    }
    std::size_t ScreenPictures(Clock::time_point from) {
        const std::lock_guard lock(mutex_);
        return static_cast<std::size_t>(
            std::count_if(screen_.begin(), screen_.end(), [&](auto t) { return t >= from; }));
    }

  private:
    std::mutex mutex_;
    std::vector<Clock::time_point> camera_, screen_;
};

void BM_EngineCameraAndScreen(benchmark::State& state) {
    Setup& setup = TheSetup();
    if (!setup.ok) {
        state.SkipWithError("no display to grab");
        return;
    }
    const char* seconds_text = std::getenv("VEMO_BENCH_SECONDS");
    const int seconds = seconds_text != nullptr ? std::max(1, std::atoi(seconds_text)) : 60;
    const bool still = std::getenv("VEMO_BENCH_STILL") != nullptr;
    const bool screen = std::getenv("VEMO_BENCH_NO_SCREEN") == nullptr;
    vemo::WriteSetting(vemo::SETTING_CAMERA_TIMER, 1);
    vemo::WriteSetting(vemo::SETTING_SCREEN_TIMER, 1);
    vemo::WriteSetting(vemo::SETTING_SCREEN_ONE, 0);
    vemo::WriteSetting(vemo::SETTING_SCREEN_DIVISION, 5);
    vemo::WriteSetting(vemo::SETTING_IMODE_WIDTH, 160);
    vemo::SetMessageSink([&](const vemo::MessageRequest& request) {
        state.SkipWithError(request.text.c_str());
        return vemo::kMessageOk;
    });
    PublishClock clock;
    vemo::SetFileOperations(&clock);
    vemo::TestCameraConfig config;
    config.name = "Bench Camera";
    config.fps = 30;
    vemo::PlugTestCamera(config);

    auto window = std::make_unique<vemo::MainWindow>();
    window->show();
    window->state().camera_on = true;
    vemo::CameraController& camera = window->camera();
    camera.BuildDevicesMenu();
    camera.ChooseDevicesByName("");
    if (screen) window->StartScreenPublishing();

    // The screen changes every second, from a thread of its own.
    std::atomic<bool> changing{!still};
    std::thread changer([&] {
        vemo::test::RootInverter inverter(setup.display->name());
        while (changing.load()) {
            inverter.Invert(0, 0, kWidth, kHeight);
            std::this_thread::sleep_for(std::chrono::seconds(1));
        }
    });

    // Ticks every 5 ms while the window's event loop runs.
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    Clock::time_point last_tick = Clock::now();
    Clock::duration longest_tick_gap{};
    QObject::connect(&probe, &QTimer::timeout, [&] {
        const Clock::time_point now = Clock::now();
        longest_tick_gap = std::max(longest_tick_gap, now - last_tick);
        last_tick = now;
    });
    probe.start(5);

    const auto run_for = [](std::chrono::milliseconds time) {
        QEventLoop loop;
        QTimer::singleShot(time, &loop, &QEventLoop::quit);
        loop.exec();
    };
    run_for(std::chrono::milliseconds(3000));  // settle: the first grab and frames
    const Clock::time_point from = Clock::now();
    last_tick = from;
    longest_tick_gap = {};
    for (auto _ : state)
        run_for(std::chrono::seconds(seconds));
    probe.stop();
    changing.store(false);
    changer.join();

    const auto ms = [](Clock::duration d) {
        return std::chrono::duration<double, std::milli>(d).count();
    };
    const auto [camera_gap, camera_publishes] = clock.CameraGap(from);
    state.counters["camera_publishes"] = static_cast<double>(camera_publishes);
    state.counters["camera_gap_max_ms"] = ms(camera_gap);
    state.counters["loop_gap_max_ms"] = ms(longest_tick_gap);
    state.counters["imode_pictures"] = static_cast<double>(clock.ScreenPictures(from));

    window->close();
    window.reset();
    vemo::UnplugAllTestCameras();
    vemo::SetMessageSink(nullptr);
    vemo::SetFileOperations(nullptr);
}
BENCHMARK(BM_EngineCameraAndScreen)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();

}  // namespace

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
