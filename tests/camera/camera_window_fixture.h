#pragma once

// The camera inside the engine's window, for tests: real GStreamer pipelines
// fed by test cameras, the real Devices menu, real published files in a
// temporary directory. Message boxes are recorded instead of shown.

#include <gst/gst.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/main_window.h"
#include "app/message_box.h"
#include "camera/camera_graph.h"
#include "devices/test_cameras.h"
#include "engine/camera_controller.h"
#include "imaging/published_files.h"
#include "settings/settings_store.h"
#include "support/test_support.h"

namespace vemo::test {

using namespace std::chrono_literals;

// Real file calls that count how often a published camera picture, and the
// camera's status picture (on or off), is put in place.
class CountingFiles : public FileOperations {
  public:
    int jpeg_publishes = 0;
    int status_publishes = 0;
    bool Rename(const std::string& from, const std::string& to) override {
        if (to == published::kCameraJpeg) ++jpeg_publishes;
        if (to == published::kCameraStatus) ++status_publishes;
        return FileOperations::Rename(from, to);
    }
};

inline TestCameraConfig Camera(std::optional<std::string> name) {
    TestCameraConfig config;
    config.name = std::move(name);
    return config;
}

class CameraWindowTest : public testing::Test {
  protected:
    void SetUp() override {
        namespace fs = std::filesystem;
        previous_dir_ = fs::current_path();
        fs::create_directories(dir_.path() / "vemo/bak");
        for (const auto& entry : fs::directory_iterator(VEMO_BAK_DIR)) {
            fs::copy_file(entry.path(), dir_.path() / "vemo/bak" / entry.path().filename());
        }
        fs::current_path(dir_.path());
        setenv("VEMO_SETTINGS_FILE", (dir_.path() / "settings.ini").c_str(), 1);
        WriteSetting(SETTING_CAMERA_TIMER, 1);
        WriteSetting(SETTING_CAMERA_GIF_COLOR, 16);
        SetMessageSink([this](const MessageRequest& request) {
            messages_.push_back(request.text);
            return kMessageOk;
        });
        window_ = std::make_unique<MainWindow>();
        state().camera_on = true;
        window_->ResizeWindow(320, 260);
        window_->show();
        SetFileOperations(&files_);
    }
    void TearDown() override {
        window_->close();
        window_.reset();
        UnplugAllTestCameras();
        SetFileOperations(nullptr);
        SetMessageSink(nullptr);
        std::filesystem::current_path(previous_dir_);
    }

    // Start-up's camera steps: list, choose the first, follow hot-plug.
    void StartCamera() {
        camera().BuildDevicesMenu();
        camera().ChooseDevicesByName("");
        camera().WatchDeviceChanges();
    }
    // Starts a real recording into `path`, the go-ahead answered as it
    // opens; whether it runs.
    bool StartRecording(const std::string& path) {
        state().capture_file.capture_file_name = path;
        QTimer answer;
        answer.setInterval(10);
        QObject::connect(&answer, &QTimer::timeout, [] {
            if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
                dialog != nullptr && dialog->objectName() == "603") {
                dialog->accept();
            }
        });
        answer.start();
        window_->OnCommand(kCmdStartCapture);
        return camera().recorder().state() == RecorderState::kRecording;
    }
    EngineState& state() { return window_->state(); }
    CameraController& camera() { return window_->camera(); }
    CameraGraph& graph() { return camera().graph(); }
    GrabberCounters Counters() { return graph().grabber().ReadGrabberCounters(); }
    std::atomic<bool>& FrameRequested() { return graph().grabber().frame_buffer().frame_requested; }

    // Runs the window's events until `condition` holds or the time is up.
    static bool WaitFor(const std::function<bool()>& condition,
                        std::chrono::milliseconds limit = 5s) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            QApplication::processEvents(QEventLoop::AllEvents, 20);
            if (condition()) return true;
            QThread::msleep(5);
        }
        return condition();
    }
    static void RunEvents(std::chrono::milliseconds time) {
        WaitFor([] { return false; }, time);
    }

    static std::vector<std::uint8_t> Published(const char* name) {
        return ReadBytes(std::string("vemo/") + name);
    }
    static std::vector<std::uint8_t> Bak(const char* name) {
        return ReadBytes(std::string("vemo/bak/") + name);
    }
    bool CameraOffPicturesInPlace() const {
        return Published("cameraon.gif") == Bak("cameraoff.gif") &&
               Published("vemo.jpg") == Bak("cameraoff.jpg") &&
               Published("vemo.gif") == Bak("vemooff.gif");
    }
    bool Said(const std::string& text) const {
        for (const std::string& message : messages_) {
            if (message.rfind(text, 0) == 0) return true;
        }
        return false;
    }
    TempDir dir_;
    std::filesystem::path previous_dir_;
    std::unique_ptr<MainWindow> window_;
    std::vector<std::string> messages_;
    CountingFiles files_;
};

}  // namespace vemo::test
