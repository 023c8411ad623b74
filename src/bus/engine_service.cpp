#include "bus/engine_service.h"

#include <filesystem>
#include <utility>

#include "bus/dbus_service.h"
#include "engine/camera_controller.h"
#include "engine/engine.h"
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

DBusAnswer Refusal(std::string text, const char* error = nullptr) {
    return {false, std::move(text), false, error, {}};
}

// The engine's answer as the bus sends it.
DBusAnswer ToDBus(const EngineAnswer& answer) {
    using Kind = EngineAnswer::Refusal;
    switch (answer.refusal) {
        case Kind::kNone:
            return {true, answer.text};
        case Kind::kRefused:
            break;
        case Kind::kInvalidValue:
            return {false, answer.text, true};
        case Kind::kCancelled:
            return Refusal(answer.text, kDBusCancelledError);
        case Kind::kWaiting:
            return Refusal(answer.text, kDBusWaitingError);
    }
    return Refusal(answer.text);
}

}  // namespace

EngineService::EngineService() {
    DBusServiceCallbacks callbacks;
    // Every call but those answered while starting finds the engine here:
    // they are refused until it is attached.
    callbacks.starting = [this]() -> std::optional<std::string> {
        if (engine_) return std::nullopt;
        if (attached_) return kClosing;
        const std::optional<Waiting> wait = WaitingFor();
        return "the engine is still starting" +
               (wait ? ": \"" + wait->title + "\" waits for an answer: " + wait->text
                     : std::string());
    };
    callbacks.command = [this](int id) { engine_->PostCommand(id); };
    callbacks.set_capture_file_name =
        [this](const std::string& path) -> std::optional<std::string> {
        const EngineAnswer answer = engine_->SetCaptureFileName(path);
        if (answer.ok()) return std::nullopt;
        return answer.text;
    };
    callbacks.status_text = [this] { return engine_ ? engine_->status() : QString(); };
    callbacks.camera_controls = [this] { return ToDBus(engine_->camera().ControlsText()); };
    callbacks.camera_control_list = [this](std::vector<CameraControl>& controls) {
        return ToDBus(engine_->camera().ControlList(controls));
    };
    callbacks.set_camera_control = [this](const std::string& name, const std::string& value) {
        return ToDBus(engine_->camera().SetControlByName(name, value));
    };
    callbacks.camera_formats = [this] { return ToDBus(engine_->camera().FormatsText()); };
    callbacks.camera_format_list = [this](std::vector<OfferedFormat>& formats) {
        return ToDBus(engine_->camera().FormatList(formats));
    };
    callbacks.set_camera_format = [this](const std::string& format) {
        // Reopening the camera under an open dialog would change what it shows.
        if (const Result<> idle = NotWaiting("change the format"); !idle) {
            return Refusal(idle.error().text, kDBusWaitingError);
        }
        return ToDBus(engine_->camera().UseFormatNamed(format));
    };
    callbacks.reload_settings = [this] { return ToDBus(engine_->ReloadSettings()); };
    callbacks.settings_file = AbsoluteSettingsFile;
    callbacks.recording_file = [this] {
        return engine_ ? engine_->Snapshot().recording_file : std::string();
    };
    callbacks.start_recording = [this](bool without_go_ahead, DBusLaterAnswer done) {
        if (const Result<> idle = NotWaiting("record"); !idle) {
            return done(Refusal(idle.error().text, kDBusWaitingError));
        }
        engine_->StartRecording(!without_go_ahead,
                                [done](const EngineAnswer& a) { done(ToDBus(a)); });
    };
    callbacks.stop_recording = [this](DBusLaterAnswer done) {
        if (engine_->Snapshot().recording == RecorderState::kRecording) {
            if (const Result<> idle = NotWaiting("stop"); !idle) {
                return done(Refusal(idle.error().text, kDBusWaitingError));
            }
        }
        engine_->StopRecording([done](const EngineAnswer& a) { done(ToDBus(a)); });
    };
    callbacks.properties = [this] {
        EngineProperties properties;
        properties.settings_path = AbsoluteSettingsFile();
        if (const std::optional<Waiting> wait = WaitingFor()) {
            properties.waiting_title = wait->title;
            properties.waiting_text = wait->text;
        }
        if (!engine_) return properties;
        const EngineSnapshot shown = engine_->Snapshot();
        properties.ready = true;
        properties.status = shown.status.toStdString();
        properties.capture_file = shown.capture_file;
        properties.recording_state = RecordingStateName(shown.recording);
        properties.camera_publishing = shown.camera_on;
        properties.camera_timer = shown.camera_timer;
        properties.camera_device = shown.camera_device;
        properties.screen_publishing = shown.screen_on;
        properties.screen_timer = shown.screen_timer;
        properties.screen_backend = screen::ScreenBackendName(screen::ChooseScreenBackend());
        return properties;
    };
    service_ = StartDBusService(std::move(callbacks));
}

EngineService::~EngineService() = default;

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

void EngineService::Attach(Engine& engine) {
    engine_ = &engine;
    attached_ = true;
    startup_wait_.clear();
    told_status_ = engine.status();
    QObject::connect(&engine, &Engine::changed, service_.get(), [this] {
        if (engine_ && engine_->status() != told_status_) {
            told_status_ = engine_->status();
            service_->NotifyStatusText(told_status_);
        }
        Changed();
    });
    Changed();
}

std::optional<Waiting> EngineService::WaitingFor() const {
    if (!open_boxes_.empty()) return open_boxes_.back();
    if (engine_) {
        if (std::optional<Waiting> modal = engine_->face().ModalWaiting()) return modal;
    }
    if (!startup_wait_.empty()) return Waiting{"Vemo", startup_wait_};
    return std::nullopt;
}

Result<> EngineService::NotWaiting(const char* doing) const {
    return vemo::NotWaiting(WaitingFor(), doing);
}

void EngineService::Changed() {
    if (service_) service_->NotifyPropertiesMayHaveChanged();
}

}  // namespace vemo
