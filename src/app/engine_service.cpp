#include "app/engine_service.h"

#include <QApplication>
#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QTimer>

#include <filesystem>
#include <utility>

#include "app/camera_controller.h"
#include "app/capture_file_control.h"
#include "app/dbus_service.h"
#include "app/main_window.h"
#include "app/menus.h"
#include "app/status_bar.h"
#include "screen/screen_grabber.h"
#include "settings/settings_store.h"

namespace vemo {
namespace {

constexpr char kClosing[] = "the engine is closing";

// The settings file as an absolute path: the caller's working directory is
// not the engine's.
std::string AbsoluteSettingsFile() {
    std::error_code error;
    const std::filesystem::path file = std::filesystem::absolute(SettingsFilePath(), error);
    return error ? SettingsFilePath() : file.string();
}

const char* RecordingStateName(RecorderState state) {
    switch (state) {
        case RecorderState::kIdle:
            break;
        case RecorderState::kHeld:
            return "held";
        case RecorderState::kRecording:
            return "running";
        case RecorderState::kFinishing:
            return "finishing";
    }
    return "idle";
}

// What a dialog says: a box's text, else its labels'.
QString DialogText(QWidget* dialog) {
    if (auto* box = qobject_cast<QMessageBox*>(dialog)) return box->text();
    QStringList texts;
    for (const QLabel* label : dialog->findChildren<QLabel*>()) {
        if (!label->text().isEmpty() && label->pixmap().isNull()) texts << label->text();
    }
    return texts.join(' ');
}

DBusAnswer Refusal(std::string text, const char* error = nullptr) {
    return {false, std::move(text), false, error, {}};
}

}  // namespace

bool Headless() {
    return QGuiApplication::platformName() == QLatin1String("offscreen");
}

EngineService::EngineService() {
    DBusServiceCallbacks callbacks;
    // Every call but those answered while starting finds the window here:
    // they are refused until it is attached.
    callbacks.starting = [this]() -> std::optional<std::string> {
        if (window_) return std::nullopt;
        if (attached_) return kClosing;
        const std::optional<Wait> wait = Waiting();
        return "the engine is still starting" +
               (wait ? ": \"" + wait->title + "\" waits for an answer: " + wait->text
                     : std::string());
    };
    callbacks.command = [this](int id) {
        // A closed window has no menus left to carry a command.
        if (window_ && !window_->closed()) window_->PostCommand(id);
    };
    callbacks.set_capture_file_name = [this](const std::string& path) {
        return window_->capture_file().SetCaptureFileName(path);
    };
    callbacks.status_text = [this] {
        return window_ ? window_->statusBarWidget()->textWidget()->text() : QString();
    };
    callbacks.camera_controls = [this] { return window_->camera().ControlsText(); };
    callbacks.camera_control_list = [this](std::vector<CameraControl>& controls) {
        return window_->camera().ControlList(controls);
    };
    callbacks.set_camera_control = [this](const std::string& name, const std::string& value) {
        return window_->camera().SetControlByName(name, value);
    };
    callbacks.camera_formats = [this] { return window_->camera().FormatsText(); };
    callbacks.camera_format_list = [this](std::vector<OfferedFormat>& formats) {
        return window_->camera().FormatList(formats);
    };
    callbacks.set_camera_format = [this](const std::string& format) {
        // Reopening the camera under an open dialog would change what it shows.
        if (const std::optional<std::string> waiting = WaitingRefusal("change the format")) {
            return Refusal(*waiting, kDBusWaitingError);
        }
        return window_->camera().UseFormatNamed(format);
    };
    callbacks.reload_settings = [this] { window_->ReloadSettings(); };
    callbacks.settings_file = AbsoluteSettingsFile;
    callbacks.recording_file = [this] {
        if (!window_) return std::string();
        const Recorder& recorder = window_->camera().recorder();
        return recorder.state() == RecorderState::kRecording ? recorder.file_name() : std::string();
    };
    callbacks.start_recording = [this](bool without_go_ahead, DBusLaterAnswer done) {
        if (window_->closed()) return done(Refusal(kClosing));
        if (!without_go_ahead && Headless()) {
            return done(
                Refusal("the engine has no display to ask for the go-ahead on: start the recording "
                        "without it (vemoctl record start --now)"));
        }
        if (const std::optional<std::string> waiting = WaitingRefusal("record")) {
            return done(Refusal(*waiting, kDBusWaitingError));
        }
        // The go-ahead dialog runs an event loop of its own: not inside the
        // bus's dispatch.
        QTimer::singleShot(0, window_, [window = window_, without_go_ahead, done] {
            if (!window || window->closed()) return done(Refusal(kClosing));
            using Start = CameraController::CaptureStart;
            // Answered before a box about the start opens: the box waits for
            // whoever reads it, the caller does not.
            window->camera().StartCapture(!without_go_ahead, [window, done](const Start& start) {
                if (start.outcome == Start::Outcome::kStarted) {
                    done({true, window->camera().recorder().file_name()});
                } else {
                    done(Refusal(start.reason, start.outcome == Start::Outcome::kCancelled
                                                   ? kDBusCancelledError
                                                   : nullptr));
                }
            });
        });
    };
    callbacks.stop_recording = [this](DBusLaterAnswer done) {
        if (window_->closed()) return done(Refusal(kClosing));
        const RecorderState state = window_->camera().recorder().state();
        switch (state) {
            case RecorderState::kIdle:
                return done(Refusal("no recording is running"));
            case RecorderState::kHeld:
                // Closes the go-ahead dialog; the start's caller hears of it.
                window_->PostCommand(kCmdStopCapture);
                return done({true, "the start that waited for its go-ahead was cancelled"});
            case RecorderState::kRecording:
            case RecorderState::kFinishing:
                break;
        }
        // A stop already made needs no command: this one, too, hears the line
        // once the file is finished.
        if (state == RecorderState::kRecording) {
            if (const std::optional<std::string> waiting = WaitingRefusal("stop")) {
                return done(Refusal(*waiting, kDBusWaitingError));
            }
        }
        QTimer::singleShot(0, window_, [window = window_, done] {
            if (!window || window->closed()) return done(Refusal(kClosing));
            const RecorderState now = window->camera().recorder().state();
            if (now != RecorderState::kRecording && now != RecorderState::kFinishing) {
                return done(Refusal("no recording is running"));
            }
            // Answered with the statistics line once the file is finished;
            // other calls are answered meanwhile.
            if (now == RecorderState::kRecording) window->OnCommand(kCmdStopCapture);
            window->camera().WhenRecordingEnds([done](const QString& line) {
                done({true, line.toStdString()});
            });
        });
    };
    callbacks.properties = [this] {
        EngineProperties properties;
        properties.settings_path = AbsoluteSettingsFile();
        if (const std::optional<Wait> wait = Waiting()) {
            properties.waiting_title = wait->title;
            properties.waiting_text = wait->text;
        }
        if (!window_) return properties;
        properties.ready = true;
        properties.status = window_->statusBarWidget()->textWidget()->text().toStdString();
        const EngineState& state = window_->state();
        properties.capture_file = state.capture_file.capture_file_name;
        const CameraController& camera = window_->camera();
        properties.recording_state = RecordingStateName(camera.recorder().state());
        properties.camera_publishing = state.camera_on;
        properties.camera_timer = state.camera_timer;
        if (camera.current_video_device()) {
            const CaptureDevice& device = *camera.current_video_device();
            properties.camera_device = device.name.value_or(device.identity);
        }
        properties.screen_publishing = window_->screen().screen_on();
        properties.screen_timer = state.screen.screen_timer;
        properties.screen_backend = screen::ScreenBackendName(screen::ChooseScreenBackend());
        return properties;
    };
    service_ = StartDBusService(std::move(callbacks), QCoreApplication::instance());
}

EngineService::~EngineService() {
    // The sink that tracks boxes goes with the service.
    SetMessageSink({});
}

MessageSink EngineService::Tracked(MessageSink sink) {
    return [this, sink = std::move(sink)](const MessageRequest& request) {
        open_boxes_.push_back({request.caption.empty() ? "Vemo" : request.caption, request.text});
        Changed();
        const int answer = sink(request);
        open_boxes_.pop_back();
        Changed();
        return answer;
    };
}

void EngineService::SetStartupWait(std::string text) {
    startup_wait_ = std::move(text);
    Changed();
}

void EngineService::Attach(MainWindow& window) {
    window_ = &window;
    attached_ = true;
    startup_wait_.clear();
    window.set_state_observer([this] { Changed(); });
    if (service_) {
        window.statusBarWidget()->textWidget()->setChangeObserver(
            [service = service_](const QString& text) {
                if (!service) return;
                service->NotifyStatusText(text);
                service->NotifyPropertiesMayHaveChanged();
            });
    }
    Changed();
}

std::optional<EngineService::Wait> EngineService::Waiting() const {
    if (!open_boxes_.empty()) return open_boxes_.back();
    if (QWidget* modal = QApplication::activeModalWidget()) {
        return Wait{modal->windowTitle().toStdString(), DialogText(modal).toStdString()};
    }
    if (!startup_wait_.empty()) return Wait{"Vemo", startup_wait_};
    return std::nullopt;
}

std::optional<std::string> EngineService::WaitingRefusal(const char* doing) const {
    const std::optional<Wait> wait = Waiting();
    if (!wait) return std::nullopt;
    return std::string("cannot ") + doing + " while \"" + wait->title +
           "\" waits for an answer in the engine's window: " + wait->text;
}

void EngineService::Changed() {
    if (service_) service_->NotifyPropertiesMayHaveChanged();
}

}  // namespace vemo
