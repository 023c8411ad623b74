// Costs of one screen grab at 1920 x 1080 on a private Xvfb: the whole-screen
// JPEG published as vemo/vemosc1.jpg, and the i-mode picture with 5 x 5 tiles
// (pauses off). Also reports the resident memory a session adds.
//
//   build/release/bench/screen_bench --benchmark_repetitions=9
//       --benchmark_report_aggregates_only=true
//
// Files go to a private directory under $VEMO_BENCH_DIR (default: the system's
// temporary directory), removed at exit. VEMO_BENCH_NOSYNC=1 skips the flush
// before each published rename, to show what the disk adds.

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "imaging/published_files.h"
#include "screen/screen_capture.h"
#include "screen/xvfb_display.h"

namespace {

namespace fs = std::filesystem;
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
    bool Sync(const std::string&) override { return true; }
};
NoSync no_sync;

// The server and the working directory, made once for the whole run.
struct Setup {
    std::unique_ptr<vemo::test::XvfbDisplay> display;
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
        const char* base = std::getenv("VEMO_BENCH_DIR");
        std::string pattern =
            ((base != nullptr ? fs::path(base) : fs::temp_directory_path()) / "vemo-bench-XXXXXX")
                .string();
        if (mkdtemp(pattern.data()) == nullptr) return;
        dir = pattern;
        fs::create_directories(dir / "vemo");
        fs::current_path(dir);
        // The stored settings play no part.
        setenv("VEMO_SETTINGS_FILE", (dir / "settings.ini").c_str(), 1);
        capture.set_pause_ms(0);
        baseline_kib = ResidentKiB("VmRSS:");
        if (std::getenv("VEMO_BENCH_NOSYNC") != nullptr) vemo::SetFileOperations(&no_sync);
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

void Report(const std::string& message) {
    std::fprintf(stderr, "screen_bench: %s\n", message.c_str());
}

// Grabs in the mode `choose` sets on the stored settings, which are read once
// the setup has pointed them at its own (missing) file.
void RunGrabs(benchmark::State& state, void (*choose)(vemo::ScreenSettings&), const char* picture) {
    Setup& setup = TheSetup();
    if (!setup.ok) {
        state.SkipWithError("no display to grab");
        return;
    }
    vemo::ScreenSettings settings = vemo::ReadScreenSettings();
    choose(settings);
    vemo::ScreenCapture& capture = setup.capture;
    const vemo::ScreenStartResult started = capture.Start(settings);
    if (!started.error.empty()) Report(started.error);
    if (!started.grabbable) {
        state.SkipWithError("no display to grab");
        return;
    }
    for (auto _ : state) {
        const vemo::ScreenGrabResult result = capture.Grab();
        if (result.report) Report(result.error);
        if (!result.ok) {
            state.SkipWithError(result.error.c_str());
            break;
        }
    }
    state.counters["session_MB"] =
        static_cast<double>(ResidentKiB("VmRSS:") - setup.baseline_kib) / 1024.0;
    std::error_code error;
    state.counters["picture_KB"] = static_cast<double>(fs::file_size(picture, error)) / 1024.0;
    capture.Stop();
}

void BM_WholeScreenGrab(benchmark::State& state) {
    RunGrabs(
        state, [](vemo::ScreenSettings& settings) { settings.screen_one = 1; }, "vemo/vemosc1.jpg");
}
BENCHMARK(BM_WholeScreenGrab)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ImodeGrabDivision5(benchmark::State& state) {
    RunGrabs(
        state,
        [](vemo::ScreenSettings& settings) {
            settings.screen_one = 0;
            settings.screen_division = 5;
            settings.imode_width = 160;
            settings.imode_rotate = 0;
        },
        "vemo/vemosc.jpg");
}
BENCHMARK(BM_ImodeGrabDivision5)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
