// Costs of screen grabs at 1920 x 1080, pauses off: the whole screen
// (vemo/vemosc1.jpg) and the i-mode picture with 5 x 5 tiles, each with the
// screen unchanged since the last grab (the grabber knows it still: the kept
// pictures are published again unread), with one tile changed, and with
// everything changed. The CPU column is the whole process's (the grab runs on
// the screen worker); server_cpu_ms is what the screen's server spent per
// grab (the X server's copy of the screen; the compositor's where known),
// pixels_read the screen pixels the grab passed over, coded and republished
// the pictures per grab. Also reports the resident memory a session adds.
//
// BM_StartToFirstPicture: from the screen start (opening the display or the
// portal session) to the first screen picture in place (first_picture_ms),
// and to the end of that first grab (the time column), the session stopped
// between runs. late_first_frames: starts whose portal cast had not sent its
// first frame by the first grab (grabbed again until it publishes).
//
// The screen's backend is VEMO_SCREEN_BACKEND's, as for the engine: x11 (the
// default here; a private Xvfb) or portal, inside the headless Wayland test
// desktop at the same size (built with the tests), sway's or GNOME's:
//
//   VEMO_SCREEN_BACKEND=portal tests/wayland/desktop [--gnome] run --size 1920x1080
//       build/release/bench/screen_bench --benchmark_filter='Grab|First'
//
// On the portal a changed screen reaches the engine as stream frames, copied
// by the stream's thread before the grab; stream_cpu_ms is that thread's CPU
// per grab (the CPU column leaves it out, as it leaves out the changes made
// between grabs).
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

#include <dirent.h>

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
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/main_window.h"
#include "app/message_box.h"
#include "devices/test_cameras.h"
#include "engine/camera_controller.h"
#include "engine/screen_settings.h"
#include "imaging/published_files.h"
#include "screen/portal/desktop_composition.h"
#include "screen/screen_capture.h"
#include "screen/screen_grabber.h"
#include "screen/xvfb_display.h"
#include "settings/settings_store.h"
#ifdef VEMO_BENCH_WAYLAND
#include "bench_support.h"
#include "wayland/wayland_desktop.h"
#endif

namespace {

using vemo::bench::ChildRunning;
using vemo::bench::ProcessCpuSeconds;
using vemo::bench::StatCpuSeconds;

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

void Report(const std::string& message) {
    std::fprintf(stderr, "screen_bench: %s\n", message.c_str());
}

// What changes on the screen before each grab.
enum class Change { kNothing, kOneTile, kEverything };

// The screen a benchmark grabs, on one backend.
class BenchScreen {
  public:
    virtual ~BenchScreen() = default;
    // Changes a rectangle inside the tile in the third row and column, or the
    // whole screen, and returns once the screen shows it.
    virtual bool Make(Change change) = 0;
    // Returns once a grab of `capture` sees all that the last Make changed:
    // at once where a grab reads the screen itself.
    virtual bool AwaitGrabbable(const vemo::ScreenCapture& /*capture*/, Change /*change*/) {
        return true;
    }
    // CPU seconds the screen's server has used so far; negative when unknown.
    virtual double ServerCpuSeconds() const = 0;
};

// A private Xvfb showing the desktop picture; changes drawn by inverting.
class X11BenchScreen final : public BenchScreen {
  public:
    bool Open(std::string& error) {
        display_ = std::make_unique<vemo::test::XvfbDisplay>(kWidth, kHeight, 24);
        if (!display_->ok()) {
            error = "no Xvfb: " + display_->error();
            return false;
        }
        if (!vemo::test::PaintRootWindow(display_->name(), Desktop, error)) return false;
        setenv("DISPLAY", display_->name().c_str(), 1);
        inverter_ = std::make_unique<vemo::test::RootInverter>(display_->name());
        server_ = ChildRunning("Xvfb");
        if (!inverter_->ok()) error = "cannot draw on " + display_->name();
        return inverter_->ok();
    }
    bool Make(Change change) override {
        if (change == Change::kOneTile) {
            inverter_->Invert(2 * kWidth / 5 + 40, 2 * kHeight / 5 + 40, 120, 60);
        } else if (change == Change::kEverything) {
            inverter_->Invert(0, 0, kWidth, kHeight);
        }
        return true;
    }
    double ServerCpuSeconds() const override {
        return server_ > 0 ? ProcessCpuSeconds(server_) : -1;
    }

  private:
    std::unique_ptr<vemo::test::XvfbDisplay> display_;
    std::unique_ptr<vemo::test::RootInverter> inverter_;
    pid_t server_ = -1;
};

// The CPU seconds thread `name` of this process has used so far; negative
// when there is no such thread.
double ThreadCpuSeconds(const std::string& name) {
    std::unique_ptr<DIR, int (*)(DIR*)> tasks(opendir("/proc/self/task"), closedir);
    if (!tasks) return -1;
    while (const dirent* entry = readdir(tasks.get())) {
        if (entry->d_name[0] == '.') continue;
        const std::string task = std::string("/proc/self/task/") + entry->d_name;
        std::ifstream comm(task + "/comm");
        std::string command;
        std::getline(comm, command);
        if (command == name) return StatCpuSeconds(task + "/stat");
    }
    return -1;
}

#ifdef VEMO_BENCH_WAYLAND
// The headless Wayland test desktop's screen (tests/wayland/desktop run
// --size 1920x1080): the desktop picture shown full-screen, a change shown as
// the same picture with the rectangle or everything inverted. The server is
// the compositor (sway or mutter) with the portal's backend (on sway the one
// that copies the screen for the cast; mutter casts itself).
class PortalBenchScreen final : public BenchScreen {
  public:
    bool Open(std::string& error) {
        if (!desktop_.ok()) {
            error = desktop_.error();
            return false;
        }
        picture_.resize(static_cast<std::size_t>(kWidth) * kHeight);
        for (int y = 0; y < kHeight; ++y) {
            for (int x = 0; x < kWidth; ++x) {
                const PatternColour c = Desktop(x, y);
                picture_[static_cast<std::size_t>(y) * kWidth + static_cast<std::size_t>(x)] = {
                    c.r, c.g, c.b};
            }
        }
        if (!ShowPicture()) {
            error = "the test desktop cannot show the benchmark's picture (run it with --size " +
                    std::to_string(kWidth) + "x" + std::to_string(kHeight) +
                    "): " + desktop_.error();
            return false;
        }
        compositor_ = ComponentPid(desktop_.gnome() ? "mutter" : "sway");
        backend_ = ComponentPid("portal-backend");
        return true;
    }
    bool Make(Change change) override {
        if (change == Change::kNothing) return true;
        (change == Change::kOneTile ? tile_inverted_ : all_inverted_) ^= true;
        if (ShowPicture()) return true;
        Report("the test desktop did not show the change: " + desktop_.error());
        return false;
    }
    bool AwaitGrabbable(const vemo::ScreenCapture& capture, Change change) override {
        if (change == Change::kNothing || !capture.session().grabber) return true;
        const vemo::screen::SourceRect want = change == Change::kOneTile
                                                  ? vemo::screen::SourceRect{kTile}
                                                  : vemo::screen::SourceRect{0, 0, kWidth, kHeight};
        // The portal backend's casts share one screen-copy client: a cast
        // that was stopped may take the compositor's damage for itself once
        // more, and then the live cast waits for the next change. The same
        // picture shown again is one. (No grab runs meanwhile: the grabber
        // is this thread's to ask.)
        for (int attempt = 0; attempt < 3; ++attempt) {
            if (attempt > 0 && !ShowPicture()) break;
            const auto until = Clock::now() + std::chrono::seconds(2);
            while (Clock::now() < until) {
                const vemo::screen::ScreenChanges changes =
                    capture.session().grabber->PeekChanges();
                if (changes.kind == vemo::screen::ScreenChanges::Kind::kUnknown) return true;
                if (changes.kind == vemo::screen::ScreenChanges::Kind::kRegions &&
                    Covers(vemo::screen::DesktopBounds(changes.regions), want)) {
                    return true;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        }
        Report("the screen cast did not deliver the change");
        return false;
    }
    double ServerCpuSeconds() const override {
        if (compositor_ <= 0 || backend_ <= 0) return -1;
        return ProcessCpuSeconds(compositor_) + ProcessCpuSeconds(backend_);
    }

  private:
    static constexpr vemo::screen::SourceRect kTile{2 * kWidth / 5 + 40, 2 * kHeight / 5 + 40, 120,
                                                    60};

    static bool Covers(vemo::screen::SourceRect outer, vemo::screen::SourceRect inner) {
        return outer.x <= inner.x && outer.y <= inner.y &&
               outer.x + outer.width >= inner.x + inner.width &&
               outer.y + outer.height >= inner.y + inner.height;
    }

    pid_t ComponentPid(const std::string& name) const {
        std::ifstream file(desktop_.folder() + "/pids/" + name);
        pid_t pid = -1;
        file >> pid;
        return pid;
    }

    bool ShowPicture() {
        const bool shown = desktop_.Show(kWidth, kHeight, [this](int x, int y) {
            vemo::test::Rgb c =
                picture_[static_cast<std::size_t>(y) * kWidth + static_cast<std::size_t>(x)];
            const bool in_tile = x >= kTile.x && x < kTile.x + kTile.width && y >= kTile.y &&
                                 y < kTile.y + kTile.height;
            if (all_inverted_ != (tile_inverted_ && in_tile)) {
                c = {static_cast<std::uint8_t>(255 - c.r), static_cast<std::uint8_t>(255 - c.g),
                     static_cast<std::uint8_t>(255 - c.b)};
            }
            return c;
        });
        // Each picture shown stays in the desktop's folder; all but the newest go.
        std::error_code error;
        fs::path newest;
        fs::file_time_type newest_time{};
        std::vector<fs::path> pictures;
        for (const auto& entry : fs::directory_iterator(desktop_.folder(), error)) {
            const std::string name = entry.path().filename().string();
            if (!name.starts_with("picture-") || !name.ends_with(".ppm")) continue;
            pictures.push_back(entry.path());
            const auto time = entry.last_write_time(error);
            if (newest.empty() || time > newest_time) newest = entry.path(), newest_time = time;
        }
        for (const fs::path& picture : pictures) {
            if (picture != newest) fs::remove(picture, error);
        }
        return shown;
    }

    vemo::test::WaylandDesktop desktop_;
    std::vector<vemo::test::Rgb> picture_;
    bool tile_inverted_ = false;
    bool all_inverted_ = false;
    pid_t compositor_ = -1;
    pid_t backend_ = -1;
};
#endif

std::unique_ptr<BenchScreen> OpenPortalBenchScreen(std::string& error) {
#ifdef VEMO_BENCH_WAYLAND
    auto screen = std::make_unique<PortalBenchScreen>();
    if (!screen->Open(error)) return nullptr;
    return screen;
#else
    error =
        "the portal's benchmark screen is the Wayland test desktop, built with the tests "
        "(configure with VEMO_BUILD_TESTS=ON)";
    return nullptr;
#endif
}

// The benchmark screen of the backend VEMO_SCREEN_BACKEND names ("x11" when
// unset), which screen capture then uses too.
std::unique_ptr<BenchScreen> OpenBenchScreen(std::string& backend, std::string& error) {
    const char* named = std::getenv("VEMO_SCREEN_BACKEND");
    backend = named != nullptr && *named != '\0' ? named : "x11";
    setenv("VEMO_SCREEN_BACKEND", backend.c_str(), 1);
    if (backend == "portal") return OpenPortalBenchScreen(error);
    if (backend != "x11" && backend != "x11-noshm") {
        error = "no benchmark screen for VEMO_SCREEN_BACKEND=" + backend;
        return nullptr;
    }
    auto screen = std::make_unique<X11BenchScreen>();
    if (!screen->Open(error)) return nullptr;
    return screen;
}

// The screen and the working directory, made once for the whole run.
struct Setup {
    std::string backend;
    std::unique_ptr<BenchScreen> screen;
    vemo::ScreenCapture capture;
    fs::path dir;
    long baseline_kib = 0;
    bool ok = false;

    Setup() {
        std::string error;
        screen = OpenBenchScreen(backend, error);
        if (!screen) {
            std::fprintf(stderr, "screen_bench: %s\n", error.c_str());
            return;
        }
        std::fprintf(stderr, "screen_bench: screen backend %s\n", backend.c_str());
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
        ok = true;
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
    vemo::ScreenSettings settings = vemo::ScreenSettingsOf(vemo::ReadSettings());
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
    // The portal's stream thread (none on X11).
    const double stream_cpu_before = ThreadCpuSeconds("vemo-screencast");
    double coded = 0, republished = 0, pixels_read = 0, server_cpu = 0;
    for (auto _ : state) {
        if (change != Change::kNothing) {
            state.PauseTiming();
            const bool made =
                setup.screen->Make(change) && setup.screen->AwaitGrabbable(capture, change);
            state.ResumeTiming();
            if (!made) {
                state.SkipWithError("the screen did not change");
                break;
            }
        }
        const double server_before = setup.screen->ServerCpuSeconds();
        const vemo::ScreenGrabResult result = capture.Grab();
        server_cpu += setup.screen->ServerCpuSeconds() - server_before;
        if (result.report) Report(result.error);
        if (!result.ok) {
            state.SkipWithError(result.error.c_str());
            break;
        }
        coded += result.coded;
        republished += result.republished;
        pixels_read += static_cast<double>(result.pixels_read);
    }
    const auto per_grab = [&](double count) {
        return benchmark::Counter(count / static_cast<double>(state.iterations()));
    };
    state.counters["coded"] = per_grab(coded);
    state.counters["republished"] = per_grab(republished);
    state.counters["pixels_read"] = per_grab(pixels_read);
    if (setup.screen->ServerCpuSeconds() >= 0)
        state.counters["server_cpu_ms"] = per_grab(server_cpu * 1000);
    if (stream_cpu_before >= 0) {
        state.counters["stream_cpu_ms"] =
            per_grab((ThreadCpuSeconds("vemo-screencast") - stream_cpu_before) * 1000);
    }
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

// Notes when the first screen picture of a grab is put in place.
class FirstPictureClock : public vemo::FileOperations {
  public:
    bool Rename(const std::string& from, const std::string& to) override {
        const bool renamed = vemo::FileOperations::Rename(from, to);
        if (!first_ &&
            (to == vemo::published::kScreenJpeg || to == vemo::published::kScreenWholeJpeg)) {
            first_ = Clock::now();
        }
        return renamed;
    }
    void Reset() { first_.reset(); }
    std::optional<Clock::time_point> first() const { return first_; }

  private:
    // Written by the screen worker, read after the grab it ran in returned.
    std::optional<Clock::time_point> first_;
};

// How a grab fails while the portal's cast has not sent its first frame.
constexpr std::string_view kNoFirstPictureYet =
    "the screen cast has not sent its first picture yet";

void BM_StartToFirstPicture(benchmark::State& state, void (*choose)(vemo::ScreenSettings&)) {
    Setup& setup = TheSetup();
    if (!setup.ok) {
        state.SkipWithError("no screen to grab");
        return;
    }
    FirstPictureClock clock;
    vemo::SetFileOperations(&clock);
    vemo::ScreenSettings settings = vemo::ScreenSettingsOf(vemo::ReadSettings());
    choose(settings);
    vemo::ScreenCapture& capture = setup.capture;
    double first_ms = 0, late = 0;
    for (auto _ : state) {
        clock.Reset();
        const Clock::time_point start = Clock::now();
        const vemo::ScreenStartResult started = capture.Start(settings);
        vemo::ScreenGrabResult grab = started.grabbable ? capture.Grab() : vemo::ScreenGrabResult{};
        // A cast that started before its first frame: the engine's next
        // grabs publish once it is there.
        const Clock::time_point give_up = Clock::now() + std::chrono::seconds(5);
        if (!grab.ok && grab.error.starts_with(kNoFirstPictureYet)) ++late;
        while (!grab.ok && grab.error.starts_with(kNoFirstPictureYet) && Clock::now() < give_up) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            grab = capture.Grab();
        }
        if (!grab.ok || !clock.first()) {
            state.SkipWithError(started.grabbable ? grab.error.c_str() : started.error.c_str());
            break;
        }
        first_ms += std::chrono::duration<double, std::milli>(*clock.first() - start).count();
        state.PauseTiming();
        capture.Stop();
        state.ResumeTiming();
    }
    state.counters["first_picture_ms"] = benchmark::Counter(
        first_ms / static_cast<double>(std::max<std::int64_t>(state.iterations(), 1)));
    if (late > 0) state.counters["late_first_frames"] = late;
    capture.Stop();
    vemo::SetFileOperations(nullptr);
}
BENCHMARK_CAPTURE(BM_StartToFirstPicture, WholeScreen, Whole)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();
BENCHMARK_CAPTURE(BM_StartToFirstPicture, ImodeD5, Imode5)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();

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
        state.SkipWithError("no screen to grab");
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
        while (changing.load()) {
            setup.screen->Make(Change::kEverything);
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
