#include "engine/engine.h"

#include <QDir>
#include <QFileInfo>

#include "engine/camera_controller.h"
#include "engine/capture_file_control.h"
#include "engine/engine_marker.h"
#include "engine/logging.h"
#include "engine/screen_settings.h"
#include "imaging/published_files.h"
#include "product/shared_status_block.h"

namespace vemo {
Engine::Engine(EngineFace& face) : face_(face), settings_(ReadSettings()) {
    waiting_check_.setInterval(50);
    connect(&waiting_check_, &QTimer::timeout, this, [this] { RunWaitingCommands(); });
    camera_timer_.setObjectName("timer1");
    screen_timer_.setObjectName("timer2");
    connect(&camera_timer_, &QTimer::timeout, this, [this] { camera_->RequestFrame(); });
    // Timer 2 keeps running after a stop; its ticks find screen_on clear.
    connect(&screen_timer_, &QTimer::timeout, this, [this] { GrabScreen(); });
    // Grabs run on the screen worker; their results are taken on this thread.
    screen_.set_grab_done([this](ScreenGrabResult grab) {
        QMetaObject::invokeMethod(
            this, [this, grab = std::move(grab)] { TakeScreenGrab(grab); }, Qt::QueuedConnection);
    });
    state_.screen = ScreenSettingsOf(settings_);
    // The camera and the device list post their events here.
    CameraHost& host = *this;
    capture_file_ = std::make_unique<CaptureFileControl>(state_, host);
    camera_ = std::make_unique<CameraController>(state_, host, *capture_file_);
}

Engine::~Engine() {
    camera_.reset();
}

void Engine::Start() {
    EnsureSettingsKey();
    settings_ = ReadSettings();
    state_.camera_on = settings_.Get(SETTING_CAMERA_CAPTURE) != 0;
    state_.devices_menu_current = false;
    // The cameras are listed (no camera turns camera publishing off), the
    // first is chosen, which starts its preview when camera publishing is on,
    // and from then on cameras plugged in or out reach the engine.
    camera_->BuildDevicesMenu();
    camera_->LoadCameraSettings(settings_);
    state_.screen = ScreenSettingsOf(settings_);
    screen_.set_division_before_start(settings_.Get(SETTING_SCREEN_DIVISION));
    camera_->ChooseDevicesByName("");
    camera_->WatchDeviceChanges();

    if (!QFileInfo(QStringLiteral("vemo")).isDir()) {
        const QString text =
            QStringLiteral("vemo/ directory not found in %1").arg(QDir::currentPath());
        qCWarning(logPublish).noquote()
            << text + QStringLiteral(": nothing is published until it exists");
        SetStatus(text);
    }
    if (settings_.Get(SETTING_SCREEN_CAPTURE) != 0) StartScreenPublishing();
}

void Engine::SetStatus(const QString& text) {
    status_ = text;
    emit changed();
}

void Engine::SetDeviceEntries(std::vector<MenuEntry> entries) {
    device_entries_ = std::move(entries);
    emit changed();
}

void Engine::SetPropertyPages(std::vector<MenuEntry> entries) {
    property_pages_ = std::move(entries);
    emit changed();
}

// Intervals come from the settings, at least a second and at most a week,
// or from a recording (33 ms): all within what a timer counts.
void Engine::SetCameraTimer(unsigned interval_ms) {
    camera_timer_.start(static_cast<int>(interval_ms));
    emit changed();
}

void Engine::SetScreenTimer(unsigned interval_ms) {
    screen_timer_.start(static_cast<int>(interval_ms));
    emit changed();
}

void Engine::KillCameraTimer() {
    camera_timer_.stop();
    emit changed();
}

bool Engine::event(QEvent* event) {
    if (event->type() == kFrameReadyEvent) {
        PublishRequestedFrame();
        return true;
    }
    if (event->type() == kGraphEvent) {
        camera_->HandleGraphEvents();
        return true;
    }
    if (event->type() == kPreviewFrameEvent) {
        ShowPreviewPicture();
        return true;
    }
    if (event->type() == kDeviceChangeEvent) {
        camera_->HandleDeviceChanges();
        return true;
    }
    return QObject::event(event);
}

void Engine::PublishRequestedFrame() {
    const PublishResult result = camera_->PublishRequestedFrame();
    if (result.published) {
        last_problem_.clear();
    } else if (!result.error.ok()) {
        ReportPublishProblem(
            QString::fromStdString("Camera picture not published: " + result.error.message));
    }
}

void Engine::ShowPreviewPicture() {
    CameraGraph& graph = camera_->graph();
    graph.grabber().TakePreviewPicture([this, &graph](const PreviewPicture& picture) {
        if (graph.showing_preview()) face_.ShowPreview(picture);
    });
}

void Engine::ReportPublishProblem(const QString& text) {
    // Shown in the status text and logged once, not in a box: the next frame
    // comes within seconds and would pile up boxes.
    SetStatus(text);
    if (text != last_problem_) qCWarning(logPublish).noquote() << text;
    last_problem_ = text;
}

EngineAnswer Engine::StartScreenPublishing() {
    if (closed_) return EngineAnswer::Refused("the engine is closing");
    // Every start reads the settings afresh.
    settings_ = ReadSettings();
    const ScreenStartResult started = screen_.Start(ScreenSettingsOf(settings_));
    // What the start settled on is what the dialogs show.
    screen_start_pending_ = started.pending;
    if (!started.pending) state_.screen = screen_.settings();
    if (!started.grabbable) {
        // Nothing can be grabbed: the off pictures stay, and the stored
        // choice is the next start's.
        screen_.Stop();
        emit changed();
        ReportError(face_, "%s", started.error.c_str());
        return EngineAnswer::Refused(started.error);
    }
    SetScreenTimer(settings_.Get(SETTING_SCREEN_TIMER) * 1000);
    if (!started.error.empty()) ReportError(face_, "%s", started.error.c_str());
    GrabScreen();
    return EngineAnswer::Done();
}

void Engine::StopScreenPublishing() {
    screen_.Stop();
    emit changed();
}

void Engine::ToggleScreen() {
    bool on = false;
    if (screen_.screen_on()) {
        StopScreenPublishing();
    } else {
        on = StartScreenPublishing().ok();
    }
    // What is in force is stored: a start with nothing to grab stores off.
    Store(SETTING_SCREEN_CAPTURE, on ? 1 : 0);
}

void Engine::Store(SettingId id, std::uint32_t value) {
    // Written whatever the engine last read: the file may have changed since.
    settings_.Set(id, value);
    WriteSetting(id, settings_.Get(id));
}

void Engine::GrabScreen() {
    // A request while a grab runs becomes one grab after it.
    screen_.RequestGrab();
}

void Engine::TakeScreenGrab(const ScreenGrabResult& grab) {
    const bool tell = screen_start_pending_ || grab.restarted || grab.report;
    if (screen_start_pending_) {
        screen_start_pending_ = false;
        state_.screen = screen_.settings();
    }
    if (grab.restarted) {
        state_.screen = screen_.settings();
        SetStatus(QStringLiteral("Screen size changed to %1x%2: screen capture restarted")
                      .arg(grab.screen_width)
                      .arg(grab.screen_height));
    }
    if (tell) emit changed();
    if (grab.report) ReportError(face_, "%s", grab.error.c_str());
}

EngineAnswer Engine::ApplySettings(const Settings& now, bool restart_screen) {
    if (closed_) return EngineAnswer::Refused("the engine is closing");
    const Settings old = settings_;
    WriteSettings(old, now);
    settings_ = now;
    const auto changed_any = [&](std::initializer_list<SettingId> ids) {
        return std::ranges::any_of(ids, [&](SettingId id) { return old.Get(id) != now.Get(id); });
    };
    // The camera's values apply from its next picture; its timer at once.
    camera_->LoadCameraSettings(now);
    if (changed_any({SETTING_CAMERA_TIMER}) && camera_->graph().previewing()) {
        SetCameraTimer(state_.camera_timer * 1000);
    }
    // Publishing switched as the File menu switches it, when the stored
    // choice changed and differs from what runs.
    EngineAnswer answer = EngineAnswer::Done();
    const bool camera_wanted = now.Get(SETTING_CAMERA_CAPTURE) != 0;
    if (changed_any({SETTING_CAMERA_CAPTURE}) && camera_wanted != state_.camera_on) {
        answer = camera_->ToggleCamera();
    }
    const bool screen_wanted = now.Get(SETTING_SCREEN_CAPTURE) != 0;
    const bool screen_switched =
        changed_any({SETTING_SCREEN_CAPTURE}) && screen_wanted != screen_.screen_on();
    if (screen_switched && !screen_wanted) {
        StopScreenPublishing();
        return answer;
    }
    // The screen's geometry is prepared by its start: a new one restarts it.
    if (restart_screen || screen_switched ||
        (screen_.screen_on() && changed_any({SETTING_SCREEN_ONE, SETTING_IMODE_ROTATE,
                                             SETTING_SCREEN_DIVISION, SETTING_IMODE_WIDTH}))) {
        screen_.Stop();
        const EngineAnswer started = StartScreenPublishing();
        return answer.ok() ? started : answer;
    }
    if (!screen_.screen_on()) {
        state_.screen = ScreenSettingsOf(now);
        screen_.set_division_before_start(now.Get(SETTING_SCREEN_DIVISION));
        emit changed();
        return answer;
    }
    if (changed_any({SETTING_SCREEN_GIF_COLOR})) {
        screen_.set_screen_gif_color(now.Get(SETTING_SCREEN_GIF_COLOR));
        state_.screen.screen_gif_color = now.Get(SETTING_SCREEN_GIF_COLOR);
    }
    if (changed_any({SETTING_SCREEN_TIMER})) {
        state_.screen.screen_timer = now.Get(SETTING_SCREEN_TIMER);
        SetScreenTimer(state_.screen.screen_timer * 1000);
    }
    emit changed();
    return answer;
}

Settings Engine::shown_settings() const {
    Settings shown = settings_;
    shown.Set(SETTING_IMODE_WIDTH, state_.screen.imode_width);
    return shown;
}

void Engine::LeaveOffPictures() {
    if (camera_->EndRecordingWithoutWindow()) PublishCameraPreviewStopped();
    screen_.LeaveOffWithoutDisplay();
}

void Engine::Close() {
    if (closed_) return;
    closed_ = true;
    waiting_commands_.clear();
    waiting_check_.stop();
    // A copy of the recording in progress stops within a chunk and leaves
    // nothing behind; its loop then lets the close finish.
    capture_file_->AbortSave();
    // The camera's off pictures go in place and its graph comes down, then
    // the screen's.
    camera_->Close();
    screen_.Stop();
    ReleaseEngineMarker(shared_status_block());
    emit changed();
}

}  // namespace vemo
