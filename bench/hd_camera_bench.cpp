// What an HD camera costs the engine, beside the plain GStreamer chain that
// does the same work.
//
// A 1920 x 1080 Motion JPEG camera at 30 frames a second: a replay camera of
// an AVI made at the start of the run (GStreamer's moving test pattern coded
// by jpegenc, so the engine's own encoder wrote none of it), played in a loop.
//
//   Hd1080Mjpeg/plain_chain        gst-launch-1.0 decoding and showing the
//                                  same file: filesrc ! avidemux ! jpegdec !
//                                  videoconvert ! ximagesink sync=true
//   Hd1080Mjpeg/engine             the engine's window with the camera,
//                                  preview drawn, a picture published every
//                                  second
//   Hd1080Mjpeg/engine_recording   the same while recording the camera to an
//                                  AVI (its pictures as they come)
//   Yuy2720p/plain_chain           gst-launch-1.0 recording a live 1280 x 720
//                                  YUY2 pattern: videotestsrc ! jpegenc !
//                                  avimux ! filesink
//   Yuy2720p/engine_recording      the engine recording a 1280 x 720 YUY2 test
//                                  camera (preview and publishing on)
//   Yuy2720p/engine                the same camera not recording
//
// Everything draws on one private Xvfb (1920 x 1080), the engine's window
// through Qt's xcb platform. Each case runs 2 s, then is measured for 10 s
// ($VEMO_BENCH_SECONDS to change). Counters: cpu_pct, the process's CPU time
// per wall time (100 = one core busy; the engine's is this process's, the
// plain chain's the child's); xserver_cpu_pct, what Xvfb spent meanwhile
// (drawing the pictures); rss_avg_mib, the resident memory sampled every
// 200 ms; rss_peak_mib, the process's high-water mark (VmHWM; the engine's
// from just before its window is made); grabbed_fps, the frames the engine
// decoded and handed to its grabber each second (it may leave out frames that
// neither the preview nor publishing wants); fps, the frames a recording
// wrote each second. A table at the end sets the
// engine beside the plain chain. Each engine run also prints its threads'
// CPU on standard error (GStreamer names a streaming thread after its
// element and pad: "PreviewQueue:sr" decodes, converts and copies for the
// preview and grabber, the camera's thread delivers the pictures).
//
//   build/bench/bench/hd_camera_bench

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QDialog>
#include <QEventLoop>
#include <QTimer>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/main_window.h"
#include "app/message_box.h"
#include "app/status_bar.h"
#include "bench_support.h"
#include "camera/camera_graph.h"
#include "devices/test_cameras.h"
#include "engine/camera_controller.h"
#include "screen/xvfb_display.h"
#include "settings/settings_store.h"

extern char** environ;

namespace {

using vemo::bench::ChildRunning;
using vemo::bench::ProcessCpuSeconds;
using vemo::bench::StatCpuSeconds;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr auto kWarmUp = std::chrono::seconds(2);

int MeasuredSeconds() {
    const char* text = std::getenv("VEMO_BENCH_SECONDS");
    return text != nullptr ? std::max(1, std::atoi(text)) : 10;
}

const fs::path& WorkDir() {
    return vemo::bench::WorkDir("vemo-hd-bench-", VEMO_BAK_DIR);
}

// ---- processes -------------------------------------------------------------

// VmRSS and VmHWM of a process, MiB.
struct Memory {
    double rss = 0;
    double peak = 0;
};

Memory ProcessMemory(pid_t pid) {
    Memory memory;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) memory.rss = std::stod(line.substr(6)) / 1024.0;
        if (line.rfind("VmHWM:", 0) == 0) memory.peak = std::stod(line.substr(6)) / 1024.0;
    }
    return memory;
}

// Starts this process's VmHWM again from its current VmRSS.
void ResetPeakMemory() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

// CPU seconds of each thread of this process, by thread id, with its name.
std::map<std::string, std::pair<std::string, double>> ThreadCpu() {
    std::map<std::string, std::pair<std::string, double>> threads;
    std::error_code ignored;
    for (const auto& task : fs::directory_iterator("/proc/self/task", ignored)) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        std::getline(comm, name);
        threads[task.path().filename().string()] = {name, StatCpuSeconds(task.path() / "stat")};
    }
    return threads;
}

// A child process, stopped (SIGINT, then SIGKILL) and reaped when it goes.
class Child {
  public:
    explicit Child(const std::vector<std::string>& argv) {
        std::vector<char*> args;
        for (const std::string& arg : argv)
            args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        // gst-launch's progress lines are of no interest; its errors are.
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        if (posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Child() {
        if (pid_ <= 0) return;
        kill(pid_, SIGINT);
        for (int waited = 0; waited < 300; ++waited) {
            if (Exited()) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    bool Exited() {
        if (exited_) return true;
        int status = 0;
        exited_ = waitpid(pid_, &status, WNOHANG) == pid_;
        return exited_;
    }

  private:
    pid_t pid_ = -1;
    bool exited_ = false;
};

// ---- measuring ---------------------------------------------------------------

void RunEventLoopFor(std::chrono::milliseconds time) {
    QEventLoop loop;
    QTimer::singleShot(time, &loop, &QEventLoop::quit);
    loop.exec();
}

struct Figures {
    double cpu_pct = 0;
    double xserver_cpu_pct = 0;
    double rss_avg_mib = 0;
    double rss_peak_mib = 0;
    double grabbed_fps = 0;
    double fps = 0;
    bool measured = false;
};

// The figures of the whole run, by benchmark name, for the table at the end.
std::map<std::string, Figures>& Results() {
    static std::map<std::string, Figures> results;
    return results;
}

// Measures process `pid` over the measured time (the event loop runs
// meanwhile): its CPU and Xvfb's per wall time, its resident memory every
// 200 ms and its high-water mark at the end.
Figures Measure(pid_t pid, int seconds) {
    const pid_t server = ChildRunning("Xvfb");
    const double server_before = server > 0 ? ProcessCpuSeconds(server) : 0;
    const double before = ProcessCpuSeconds(pid);
    const Clock::time_point start = Clock::now();
    double rss_sum = 0;
    int samples = 0;
    double rss_max = 0;
    QTimer sampler;
    sampler.setInterval(200);
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        const double rss = ProcessMemory(pid).rss;
        rss_sum += rss;
        rss_max = std::max(rss_max, rss);
        ++samples;
    });
    sampler.start();
    RunEventLoopFor(std::chrono::seconds(seconds));
    sampler.stop();
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    Figures figures;
    figures.cpu_pct = 100.0 * (ProcessCpuSeconds(pid) - before) / wall;
    if (server > 0) {
        figures.xserver_cpu_pct = 100.0 * (ProcessCpuSeconds(server) - server_before) / wall;
    }
    figures.rss_avg_mib = samples > 0 ? rss_sum / samples : 0;
    figures.rss_peak_mib = std::max(ProcessMemory(pid).peak, rss_max);
    figures.measured = true;
    return figures;
}

void Report(benchmark::State& state, const std::string& key, const Figures& figures) {
    state.counters["cpu_pct"] = figures.cpu_pct;
    state.counters["xserver_cpu_pct"] = figures.xserver_cpu_pct;
    state.counters["rss_avg_mib"] = figures.rss_avg_mib;
    state.counters["rss_peak_mib"] = figures.rss_peak_mib;
    if (figures.grabbed_fps > 0) state.counters["grabbed_fps"] = figures.grabbed_fps;
    if (figures.fps > 0) state.counters["fps"] = figures.fps;
    Results()[key] = figures;
}

// ---- material ----------------------------------------------------------------

// The 1920 x 1080 Motion JPEG AVI at 30 frames a second, made once: long
// enough that the plain chain (which cannot loop a file) plays through its
// warm-up and measured time; the replay camera loops it. GStreamer makes it
// rather than ffmpeg's testsrc2: ffmpeg is large and not installed here,
// and GStreamer's scrolling colour bars give pictures of a webcam's size
// (about 170 KB each at jpegenc's quality 85).
const std::optional<fs::path>& HdMaterial() {
    static const std::optional<fs::path> material = []() -> std::optional<fs::path> {
        const fs::path path = WorkDir() / "hd1080.avi";
        const int frames = std::max(300, 30 * (2 + MeasuredSeconds() + 3));
        const std::string command =
            "gst-launch-1.0 -q videotestsrc num-buffers=" + std::to_string(frames) +
            " pattern=smpte horizontal-speed=4"
            " ! video/x-raw,width=1920,height=1080,framerate=30/1"
            " ! jpegenc ! avimux ! filesink location=" +
            path.string();
        if (std::system(command.c_str()) != 0 || !fs::exists(path)) return std::nullopt;
        return path;
    }();
    return material;
}

// ---- the cases ---------------------------------------------------------------

// A plain chain run by gst-launch-1.0 on the private display.
void RunPlainChain(benchmark::State& state, const std::string& key,
                   const std::vector<std::string>& chain) {
    std::vector<std::string> argv = {"gst-launch-1.0"};
    argv.insert(argv.end(), chain.begin(), chain.end());
    Child child(argv);
    if (child.pid() <= 0) {
        state.SkipWithError("gst-launch-1.0 cannot be started");
        return;
    }
    RunEventLoopFor(kWarmUp);
    if (child.Exited()) {
        state.SkipWithError("the plain chain ended during its warm-up");
        return;
    }
    Figures figures;
    for (auto _ : state)
        figures = Measure(child.pid(), MeasuredSeconds());
    if (child.Exited()) {
        state.SkipWithError("the plain chain ended before the measured time did");
        return;
    }
    Report(state, key, figures);
}

enum class Camera { kHdReplay, kYuy2 };

// The engine's window with one camera, publishing every second, and (with
// `record`) recording it to an AVI file.
void RunEngine(benchmark::State& state, const std::string& key, Camera kind, bool record) {
    WorkDir();
    vemo::TestCameraConfig config;
    config.name = "Bench Camera";
    if (kind == Camera::kHdReplay) {
        if (!HdMaterial()) {
            state.SkipWithError("the 1080p Motion JPEG file could not be made");
            return;
        }
        config.replay = HdMaterial()->string();
    } else {
        config.width = 1280;
        config.height = 720;
        config.fps = 30;
    }
    vemo::WriteSetting(vemo::SETTING_CAMERA_TIMER, 1);
    vemo::SetMessageSink([&](const vemo::MessageRequest& request) {
        state.SkipWithError(request.text.c_str());
        return vemo::kMessageOk;
    });
    std::string why;
    if (vemo::PlugTestCamera(config, &why).empty()) {
        state.SkipWithError(("no test camera: " + why).c_str());
        vemo::SetMessageSink(nullptr);
        return;
    }

    ResetPeakMemory();
    auto window = std::make_unique<vemo::MainWindow>();
    window->show();
    vemo::EngineState& engine = window->state();
    engine.camera_on = true;
    engine.use_frame_rate = true;
    engine.frame_rate = 30;
    vemo::CameraController& camera = window->camera();
    camera.BuildDevicesMenu();
    camera.ChooseDevicesByName("");
    camera.WatchDeviceChanges();

    // A recording starts with the go-ahead answered at once.
    QTimer answer;
    const fs::path file = WorkDir() / "bench.avi";
    if (record) {
        engine.capture_file.capture_file_name = file.string();
        answer.setInterval(10);
        QObject::connect(&answer, &QTimer::timeout, [] {
            if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
                dialog->accept();
            }
        });
        answer.start();
        window->OnCommand(vemo::kCmdStartCapture);
        if (!camera.recording()) state.SkipWithError("the recording did not start");
    }

    RunEventLoopFor(kWarmUp);
    const auto frames = [&camera] { return camera.graph().grabber().ReadGrabberCounters().frames; };
    const std::uint64_t frames_before = frames();
    const auto threads_before = ThreadCpu();
    const Clock::time_point start = Clock::now();
    Figures figures;
    for (auto _ : state)
        figures = Measure(getpid(), MeasuredSeconds());
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    figures.grabbed_fps = static_cast<double>(frames() - frames_before) / wall;

    // Where the time went, thread by thread.
    std::string busy;
    for (const auto& [tid, thread] : ThreadCpu()) {
        const auto before = threads_before.find(tid);
        const double spent =
            thread.second - (before != threads_before.end() ? before->second.second : 0);
        const double pct = 100.0 * spent / wall;
        if (pct >= 0.5) {
            char text[64];
            std::snprintf(text, sizeof text, " %s %.1f%%", thread.first.c_str(), pct);
            busy += text;
        }
    }
    std::fprintf(stderr, "%s threads:%s\n", key.c_str(), busy.c_str());

    if (record) {
        window->OnCommand(vemo::kCmdStopCapture);
        // The statistics line comes once the file is finished.
        while (window->camera().recording())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        const std::string line = window->statusBarWidget()->textWidget()->text().toStdString();
        int written = 0;
        double recorded_seconds = 0;
        if (std::sscanf(line.c_str(), "Captured %d frames in %lf sec", &written,
                        &recorded_seconds) == 2 &&
            recorded_seconds > 0) {
            figures.fps = written / recorded_seconds;
        }
        std::error_code ignored;
        state.counters["file_mib"] =
            static_cast<double>(fs::file_size(file, ignored)) / (1024 * 1024);
    }
    Report(state, key, figures);
    window->close();
    window.reset();
    vemo::UnplugAllTestCameras();
    vemo::SetMessageSink(nullptr);
    std::error_code ignored;
    fs::remove(file, ignored);
}

void BM_Hd1080Mjpeg_PlainChain(benchmark::State& state) {
    if (!HdMaterial()) {
        state.SkipWithError("the 1080p Motion JPEG file could not be made");
        return;
    }
    RunPlainChain(state, "hd_plain",
                  {"filesrc", "location=" + HdMaterial()->string(), "!", "avidemux", "!", "jpegdec",
                   "!", "videoconvert", "!", "ximagesink", "sync=true"});
}
void BM_Hd1080Mjpeg_Engine(benchmark::State& state) {
    RunEngine(state, "hd_engine", Camera::kHdReplay, false);
}
void BM_Hd1080Mjpeg_EngineRecording(benchmark::State& state) {
    RunEngine(state, "hd_engine_recording", Camera::kHdReplay, true);
}
void BM_Yuy2720p_PlainChain(benchmark::State& state) {
    WorkDir();
    RunPlainChain(
        state, "yuy2_plain",
        {"videotestsrc", "is-live=true", "!",
         "video/x-raw,format=YUY2,width=1280,height=720,framerate=30/1", "!", "jpegenc", "!",
         "avimux", "!", "filesink", "location=" + (WorkDir() / "plain720.avi").string()});
}
void BM_Yuy2720p_EngineRecording(benchmark::State& state) {
    RunEngine(state, "yuy2_engine_recording", Camera::kYuy2, true);
}
void BM_Yuy2720p_Engine(benchmark::State& state) {
    RunEngine(state, "yuy2_engine", Camera::kYuy2, false);
}

#define VEMO_WHOLE_RUN(name) BENCHMARK(name)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime()
VEMO_WHOLE_RUN(BM_Hd1080Mjpeg_PlainChain);
VEMO_WHOLE_RUN(BM_Hd1080Mjpeg_Engine);
VEMO_WHOLE_RUN(BM_Hd1080Mjpeg_EngineRecording);
VEMO_WHOLE_RUN(BM_Yuy2720p_PlainChain);
VEMO_WHOLE_RUN(BM_Yuy2720p_EngineRecording);
VEMO_WHOLE_RUN(BM_Yuy2720p_Engine);

// The engine beside the plain chain: CPU (the process alone, and with what
// Xvfb spent drawing) and memory, against the goals (at most 1.0 x the plain
// chain's CPU, 0.7 x the stretch; 200 MB resident).
constexpr double kRssGoalMib = 200e6 / (1 << 20);  // 200 MB

void PrintTable() {
    const auto& results = Results();
    const auto find = [&results](const std::string& key) -> const Figures* {
        const auto found = results.find(key);
        return found != results.end() && found->second.measured ? &found->second : nullptr;
    };
    struct Row {
        const char* label;
        const char* engine;
        const char* plain;
    };
    const Row rows[] = {
        {"1080p MJPEG, preview + publish", "hd_engine", "hd_plain"},
        {"1080p MJPEG, recording", "hd_engine_recording", "hd_plain"},
        {"720p YUY2, recording", "yuy2_engine_recording", "yuy2_plain"},
        {"720p YUY2, preview + publish", "yuy2_engine", "yuy2_plain"},
    };
    std::printf("\n%-32s %21s %21s %9s %9s %15s %6s\n", "case", "CPU % engine / plain",
                "+Xvfb engine / plain", "CPU x", "+Xvfb x", "RSS avg / peak", "goal");
    for (const Row& row : rows) {
        const Figures* engine = find(row.engine);
        const Figures* plain = find(row.plain);
        if (engine == nullptr || plain == nullptr) continue;
        const double ratio = engine->cpu_pct / plain->cpu_pct;
        const double with_server =
            (engine->cpu_pct + engine->xserver_cpu_pct) / (plain->cpu_pct + plain->xserver_cpu_pct);
        const bool met = ratio <= 1.0 && engine->rss_peak_mib <= kRssGoalMib;
        std::printf("%-32s %10.1f / %-8.1f %10.1f / %-8.1f %8.2fx %8.2fx %6.0f / %-4.0f MiB %6s\n",
                    row.label, engine->cpu_pct, plain->cpu_pct,
                    engine->cpu_pct + engine->xserver_cpu_pct,
                    plain->cpu_pct + plain->xserver_cpu_pct, ratio, with_server,
                    engine->rss_avg_mib, engine->rss_peak_mib,
                    !met           ? "missed"
                    : ratio <= 0.7 ? "0.7x"
                                   : "1.0x");
    }
    for (const char* plain : {"hd_plain", "yuy2_plain"}) {
        if (const Figures* figures = find(plain)) {
            std::printf("%-32s RSS avg / peak %.0f / %.0f MiB\n", plain, figures->rss_avg_mib,
                        figures->rss_peak_mib);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    // The engine's window and the plain chains' sink draw on one private X
    // server, made before Qt opens its display.
    vemo::test::XvfbDisplay display(1920, 1080, 24);
    if (!display.ok()) {
        std::fprintf(stderr, "hd_camera_bench: no Xvfb: %s\n", display.error().c_str());
        return 1;
    }
    setenv("DISPLAY", display.name().c_str(), 1);
    qputenv("QT_QPA_PLATFORM", "xcb");
    {
        QApplication application(argc, argv);
        benchmark::Initialize(&argc, argv);
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
        PrintTable();
    }
    std::error_code ignored;
    fs::current_path(fs::temp_directory_path());
    fs::remove_all(fs::temp_directory_path() / ("vemo-hd-bench-" + std::to_string(getpid())),
                   ignored);
    return 0;
}
