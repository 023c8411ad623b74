// What the camera costs while it publishes.
//
// BM_CameraFrameCopy, BM_PublishCameraFrame: the grabber's copy of one frame
// into the frame buffer, and that plus the publish (JPEG, GIF, renames) at
// 640 x 480, from a real test-pattern frame.
//
// BM_CameraEngine30s: the engine's window running one 640 x 480 test camera
// at 30 frames a second with the preview drawn and a frame published every
// second, for 30 s ($VEMO_BENCH_SECONDS to change). Reports the process's
// CPU per second of wall time (100 = one core busy), split into the
// pipeline's streaming threads (pattern, conversion, grabber copy, preview
// copy) and the window's thread (publishing, preview drawing), and the
// resident memory at the end.
//
// BM_CameraRecording30s: the same camera recorded to an AVI file (its raw
// frames coded as Motion JPEG) with the preview beside it.

#include <benchmark/benchmark.h>
#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include <QApplication>
#include <QDialog>
#include <QEventLoop>
#include <QTimer>

#include <unistd.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/main_window.h"
#include "app/message_box.h"
#include "app/status_bar.h"
#include "bench_support.h"
#include "camera/camera_graph.h"
#include "devices/test_cameras.h"
#include "engine/camera_controller.h"
#include "imaging/published_files.h"
#include "settings/settings_store.h"

namespace {

namespace fs = std::filesystem;

const fs::path& WorkDir() {
    return vemo::bench::WorkDir("vemo-camera-bench-", VEMO_BAK_DIR);
}

// One 640 x 480 test-pattern frame as the grabber receives it.
struct Frame {
    std::vector<std::uint8_t> bytes;
    int width = 0, height = 0;
    std::size_t stride = 0;
};

Frame PatternFrame(int width, int height) {
    gst_init(nullptr, nullptr);
    const std::string description =
        "videotestsrc num-buffers=1 ! video/x-raw,format=BGR,width=" + std::to_string(width) +
        ",height=" + std::to_string(height) + " ! appsink name=sink";
    GstElement* pipeline = gst_parse_launch(description.c_str(), nullptr);
    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    GstSample* sample = gst_app_sink_pull_sample(GST_APP_SINK(sink));
    Frame frame;
    GstVideoInfo info;
    GstVideoFrame mapped;
    if (sample != nullptr && gst_video_info_from_caps(&info, gst_sample_get_caps(sample)) &&
        gst_video_frame_map(&mapped, &info, gst_sample_get_buffer(sample), GST_MAP_READ)) {
        frame.width = width;
        frame.height = height;
        frame.stride = static_cast<std::size_t>(GST_VIDEO_FRAME_PLANE_STRIDE(&mapped, 0));
        const auto* data = static_cast<const std::uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&mapped, 0));
        frame.bytes.assign(data, data + frame.stride * static_cast<std::size_t>(height));
        gst_video_frame_unmap(&mapped);
    }
    if (sample != nullptr) gst_sample_unref(sample);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(sink);
    gst_object_unref(pipeline);
    return frame;
}

vemo::FrameView View(const Frame& frame) {
    return {frame.bytes.data(), frame.bytes.size(), frame.width, frame.height, frame.stride};
}

void BM_CameraFrameCopy(benchmark::State& state) {
    const Frame frame =
        PatternFrame(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    if (frame.bytes.empty()) state.SkipWithError("no test-pattern frame");
    vemo::EventTarget nowhere;
    vemo::FrameGrabber grabber(nowhere);
    for (auto _ : state) {
        grabber.frame_buffer().frame_requested = true;
        benchmark::DoNotOptimize(grabber.FrameGrabberCallback(View(frame)));
    }
}
BENCHMARK(BM_CameraFrameCopy)->Args({640, 480})->Args({1920, 1080})->Unit(benchmark::kMicrosecond);

void BM_PublishCameraFrame(benchmark::State& state) {
    WorkDir();
    const Frame frame = PatternFrame(640, 480);
    if (frame.bytes.empty()) state.SkipWithError("no test-pattern frame");
    vemo::CameraJobs jobs = vemo::PrepareCameraJobs(640, 480, 120, 256);
    vemo::EventTarget nowhere;
    vemo::FrameGrabber grabber(nowhere);
    for (auto _ : state) {
        grabber.frame_buffer().frame_requested = true;
        grabber.FrameGrabberCallback(View(frame));
        if (!vemo::PublishCameraFrame(grabber.frame_buffer(), jobs, 256).published) {
            state.SkipWithError("publish failed");
        }
    }
}
BENCHMARK(BM_PublishCameraFrame)->Unit(benchmark::kMillisecond);

// CPU time (user + system, seconds) of each thread of this process, by name.
struct ThreadTimes {
    double all = 0;
    double window = 0;  // the main thread
};

ThreadTimes ReadThreadTimes() {
    ThreadTimes times;
    const std::string self = std::to_string(getpid());
    for (const auto& task : fs::directory_iterator("/proc/self/task")) {
        const double seconds = vemo::bench::StatCpuSeconds(task.path() / "stat");
        if (seconds < 0) continue;
        times.all += seconds;
        if (task.path().filename() == self) times.window += seconds;
    }
    return times;
}

double ResidentMiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
    }
    return 0;
}

// The engine with one 30-frames-a-second camera for the measured time,
// previewing and publishing, or (with `record`) recording to an AVI file.
void RunCameraEngine(benchmark::State& state, bool record) {
    WorkDir();
    const char* seconds_text = std::getenv("VEMO_BENCH_SECONDS");
    const int seconds = seconds_text != nullptr ? std::max(1, std::atoi(seconds_text)) : 30;
    vemo::WriteSetting(vemo::SETTING_CAMERA_TIMER, 1);
    vemo::SetMessageSink([&](const vemo::MessageRequest& request) {
        state.SkipWithError(request.text.c_str());
        return vemo::kMessageOk;
    });
    vemo::TestCameraConfig config;
    config.name = "Bench Camera";
    config.fps = 30;
    vemo::PlugTestCamera(config);

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
    const auto counters = [&camera] { return camera.graph().grabber().ReadGrabberCounters(); };

    // A recording starts with the go-ahead answered at once.
    QTimer answer;
    if (record) {
        engine.capture_file.capture_file_name = (WorkDir() / "bench.avi").string();
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

    // Let it settle, then measure.
    const auto run_for = [](std::chrono::milliseconds time) {
        QEventLoop loop;
        QTimer::singleShot(time, &loop, &QEventLoop::quit);
        loop.exec();
    };
    run_for(std::chrono::milliseconds(1500));
    const ThreadTimes before = ReadThreadTimes();
    const vemo::GrabberCounters counted_before = counters();
    const std::uint64_t frames_before = counted_before.frames;
    const std::uint64_t copies_before = counted_before.frames_copied;
    for (auto _ : state)
        run_for(std::chrono::seconds(seconds));
    const ThreadTimes after = ReadThreadTimes();
    const vemo::GrabberCounters counted = counters();

    state.counters["cpu_pct"] = 100.0 * (after.all - before.all) / seconds;
    state.counters["pipeline_cpu_pct"] =
        100.0 * ((after.all - after.window) - (before.all - before.window)) / seconds;
    state.counters["window_cpu_pct"] = 100.0 * (after.window - before.window) / seconds;
    state.counters["rss_mib"] = ResidentMiB();
    state.counters["fps"] = static_cast<double>(counted.frames - frames_before) / seconds;
    state.counters["publishes"] = static_cast<double>(counted.frames_copied - copies_before);

    if (record) {
        window->OnCommand(vemo::kCmdStopCapture);
        // The statistics line comes once the file is finished.
        while (window->camera().recording())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        // The frames written come from the statistics line.
        const std::string line = window->statusBarWidget()->textWidget()->text().toStdString();
        int frames = 0;
        std::sscanf(line.c_str(), "Captured %d frames", &frames);
        state.counters["fps"] = static_cast<double>(frames) / seconds;
        state.counters["file_mib"] =
            static_cast<double>(fs::file_size(WorkDir() / "bench.avi")) / (1024 * 1024);
    }
    window->close();
    window.reset();
    vemo::UnplugAllTestCameras();
    vemo::SetMessageSink(nullptr);
}

void BM_CameraEngine30s(benchmark::State& state) {
    RunCameraEngine(state, false);
}
BENCHMARK(BM_CameraEngine30s)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

void BM_CameraRecording30s(benchmark::State& state) {
    RunCameraEngine(state, true);
}
BENCHMARK(BM_CameraRecording30s)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ignored;
    fs::current_path(fs::temp_directory_path());
    fs::remove_all(fs::temp_directory_path() / ("vemo-camera-bench-" + std::to_string(getpid())),
                   ignored);
    return 0;
}
