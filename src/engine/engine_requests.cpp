// What other programs ask of the engine, and what every face shows of it.

#include <QPointer>
#include <QTimer>

#include "engine/camera_controller.h"
#include "engine/capture_file_control.h"
#include "engine/engine.h"

namespace vemo {
namespace {

constexpr char kClosing[] = "the engine is closing";

}  // namespace

EngineSnapshot Engine::Snapshot() const {
    EngineSnapshot shown;
    shown.closed = closed_;
    shown.status = status_;
    shown.camera_on = state_.camera_on;
    shown.screen_on = screen_.screen_on();
    shown.recording = camera_->recorder().state();
    if (shown.recording == RecorderState::kRecording) {
        shown.recording_file = camera_->recorder().file_name();
    }
    shown.capture_file = state_.capture_file.capture_file_name;
    shown.camera_timer = state_.camera_timer;
    shown.screen_timer = state_.screen.screen_timer;
    if (const std::optional<CaptureDevice>& device = camera_->current_video_device()) {
        shown.camera_device = device->name.value_or(device->identity);
    }
    shown.devices = device_entries_;
    shown.property_pages = property_pages_;
    shown.waiting = face_.ModalWaiting();
    return shown;
}

Result<> Engine::NotWaiting(const char* doing) const {
    return vemo::NotWaiting(face_.ModalWaiting(), doing);
}

EngineAnswer Engine::SetCaptureFileName(const std::string& path) {
    if (closed_) return EngineAnswer::Refused(kClosing);
    if (const Result<> taken = capture_file_->SetCaptureFileName(path); !taken) {
        return EngineAnswer::Refused(taken.error().text);
    }
    emit changed();
    return EngineAnswer::Done();
}

void Engine::StartRecording(bool ask_go_ahead, std::function<void(const EngineAnswer&)> done) {
    if (closed_) return done(EngineAnswer::Refused(kClosing));
    if (const Result<> idle = NotWaiting("record"); !idle) {
        return done(EngineAnswer::Refused(idle.error().text, EngineAnswer::Refusal::kWaiting));
    }
    // The go-ahead runs an event loop of its own: not inside the caller's.
    QTimer::singleShot(0, this, [engine = QPointer<Engine>(this), ask_go_ahead, done] {
        if (!engine || engine->closed()) return done(EngineAnswer::Refused(kClosing));
        using Start = CameraController::CaptureStart;
        // Answered before a box about the start opens: the box waits for
        // whoever reads it, the caller does not.
        engine->camera().StartCapture(ask_go_ahead, [engine, done](const Start& start) {
            switch (start.outcome) {
                case Start::Outcome::kStarted:
                    return done(EngineAnswer::Done(engine->camera().recorder().file_name()));
                case Start::Outcome::kCancelled:
                    return done(
                        EngineAnswer::Refused(start.reason, EngineAnswer::Refusal::kCancelled));
                case Start::Outcome::kRefused:
                    break;
            }
            done(EngineAnswer::Refused(start.reason));
        });
    });
}

void Engine::StopRecording(std::function<void(const EngineAnswer&)> done) {
    if (closed_) return done(EngineAnswer::Refused(kClosing));
    const RecorderState state = camera_->recorder().state();
    switch (state) {
        case RecorderState::kIdle:
            return done(EngineAnswer::Refused("no recording is running"));
        case RecorderState::kHeld:
            // Cancels the go-ahead; the start's caller hears of it.
            PostCommand(kCmdStopCapture);
            return done(EngineAnswer::Done("the start that waited for its go-ahead was cancelled"));
        case RecorderState::kRecording:
        case RecorderState::kFinishing:
            break;
    }
    // A stop already made needs no command: this one, too, hears the line
    // once the file is finished.
    if (state == RecorderState::kRecording) {
        if (const Result<> idle = NotWaiting("stop"); !idle) {
            return done(EngineAnswer::Refused(idle.error().text, EngineAnswer::Refusal::kWaiting));
        }
    }
    QTimer::singleShot(0, this, [engine = QPointer<Engine>(this), done] {
        if (!engine || engine->closed()) return done(EngineAnswer::Refused(kClosing));
        const RecorderState now = engine->camera().recorder().state();
        if (now != RecorderState::kRecording && now != RecorderState::kFinishing) {
            return done(EngineAnswer::Refused("no recording is running"));
        }
        // Answered with the statistics line once the file is finished;
        // other calls are answered meanwhile.
        if (now == RecorderState::kRecording) engine->OnCommand(kCmdStopCapture);
        engine->camera().WhenRecordingEnds(
            [done](const QString& line) { done(EngineAnswer::Done(line.toStdString())); });
    });
}

}  // namespace vemo
