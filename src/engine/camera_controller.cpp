#include "engine/camera_controller.h"

#include "engine/capture_file_control.h"
#include "engine/engine_face.h"
#include "engine/logging.h"
#include "settings/settings_model.h"

namespace vemo {
namespace {

constexpr char kNoCamera[] = "カメラが見つかりません";

}  // namespace

CameraController::CameraController(EngineState& state, CameraHost& host,
                                   CaptureFileControl& capture_file)
    : state_(state), host_(host), capture_file_(capture_file) {
    graph_.events().Set(host_.event_target());
    devices_.events().Set(host_.event_target());
    // A time limit stops a recording exactly as command 8 does.
    time_limit_.setSingleShot(true);
    QObject::connect(&time_limit_, &QTimer::timeout, [this] { host_.RunCommand(kCmdStopCapture); });
    // A writer that has not finished by then will not: its file is closed
    // as it stands.
    finish_limit_.setSingleShot(true);
    QObject::connect(&finish_limit_, &QTimer::timeout, [this] { OnFinishEnded(); });
}

CameraController::~CameraController() {
    graph_.events().Set(nullptr);
    devices_.events().Set(nullptr);
}

void CameraController::Queue(CameraResult result) {
    for (CameraMessage& message : result.messages)
        pending_.push_back(std::move(message));
}

// The messages of a finished state change, in order. Each box runs a nested
// event loop; whatever runs inside it finds the state whole. Once the engine
// is closing nothing more is shown.
void CameraController::ShowPending() {
    while (!pending_.empty() && !closed_) {
        const CameraMessage message = std::move(pending_.front());
        qCDebug(logCamera).noquote() << "reporting:" << QString::fromStdString(message.Shown());
        pending_.erase(pending_.begin());
        ReportError(host_.face(), "%s", message.Shown().c_str());
    }
    if (closed_) pending_.clear();
}

void CameraController::BuildDevicesMenu() {
    if (closed_ || state_.devices_menu_current) return;
    state_.devices_menu_current = true;
    CameraResult listed = devices_.List();
    const bool none = listed.ok && devices_.video_device_count() == 0;
    Queue(std::move(listed));
    if (none && state_.camera_on) {
        Queue(kNoCamera);
        state_.camera_on = false;
        host_.StoreCameraCapture(false);
    }
    const std::string chosen = current_video_device_ ? current_video_device_->identity : "";
    host_.SetDeviceEntries(DeviceEntries(devices_, chosen));
    ShowPending();
}

bool CameraController::BuildCameraFilters() {
    CameraResult built = graph_.BuildCameraFilters(current_video_device_, chosen_size_);
    const bool ok = built.ok;
    Queue(std::move(built));
    if (!ok) return false;
    // The camera opened: it is there, whatever was lost before.
    current_device_lost_ = false;
    state_.frame_width = graph_.frame_width();
    state_.frame_height = graph_.frame_height();
    host_.face().ResizePreview(state_.frame_width, state_.frame_height);
    // No audio device is ever chosen, and no camera here offers captions.
    state_.capture_audio = false;
    state_.capture_cc = false;
    return true;
}

void CameraController::ChooseDevices(const std::optional<CaptureDevice>& video) {
    if (closed_) return;
    // The chosen camera, still there and doing what it should (recording
    // included), is left alone.
    const bool unchanged = video && current_video_device_ &&
                           video->identity == current_video_device_->identity &&
                           !current_device_lost_ && graph_.built() &&
                           (recorder_.busy() || !state_.camera_on || graph_.previewing());
    if (!unchanged) {
        qCInfo(logCamera).noquote()
            << "camera chosen:"
            << QString::fromStdString(video ? video->name.value_or(video->identity) : "none");
        current_video_device_ = video;
        current_device_lost_ = false;
        chosen_size_.reset();
        EndRecordingBeforeGraphChange();
        if (graph_.previewing()) HaltPreview();
        if (graph_.preview_graph_built() || graph_.capture_graph_built()) DismantleGraph();
        ReleaseCameraFilters();
        BuildCameraFilters();
        if (state_.camera_on) {
            BuildPreviewBranch();
            RunPreview();
        }
        BuildPropertyPagesMenu();
    }
    // A recording the change ended shows its statistics line once finished.
    RefreshMarksAndStatus();
    ShowPending();
}

void CameraController::ChooseDeviceAt(int slot) {
    // A copy: choosing may list the devices again.
    const std::optional<CaptureDevice> device = devices_.slot(slot);
    if (device) ChooseDevices(device);
}

void CameraController::ChooseCurrentDevice() {
    RefreshMarksAndStatus();
}

void CameraController::ChooseDevicesByName(const std::string& name) {
    if (!name.empty()) {
        for (int slot = 0; slot < kVideoDeviceSlots; ++slot) {
            const std::optional<CaptureDevice>& device = devices_.slot(slot);
            if (device && (device->identity == name || device->name == name)) {
                ChooseDeviceAt(slot);
                return;
            }
        }
    }
    if (devices_.video_device_count() == 0) return;
    // The first listed device; a first device without a name is passed over.
    for (int slot = 0; slot < kVideoDeviceSlots; ++slot) {
        if (devices_.slot(slot)) {
            ChooseDeviceAt(slot);
            return;
        }
    }
}

void CameraController::WatchDeviceChanges() {
    devices_.Watch();
}

void CameraController::HandleDeviceChanges() {
    for (const DeviceChange& change : devices_.TakeChanges()) {
        state_.devices_menu_current = false;
        // Is this lost device our camera? Then the graph hears of it.
        if (change.kind == DeviceChange::Kind::kRemoved && IsCurrentCamera(change.identity)) {
            graph_.PostDeviceLost(change.identity);
        }
    }
}

// Check marks over every filled slot, then the chosen camera's name in the
// status bar.
void CameraController::RefreshMarksAndStatus() {
    host_.SetDeviceEntries(
        DeviceEntries(devices_, current_video_device_ ? current_video_device_->identity : ""));
    host_.SetStatus(QString::fromStdString(graph_.device_name()));
}

bool CameraController::IsCurrentCamera(const std::string& identity) const {
    return current_video_device_ && current_video_device_->identity == identity;
}

EngineAnswer CameraController::ToggleCamera() {
    if (closed_) return EngineAnswer::Refused("the engine is closing");
    // The menu item is grayed meanwhile; other programs are told.
    if (recorder_.busy()) {
        const QString why = QStringLiteral("Cannot switch the camera while recording");
        host_.SetStatus(why);
        return EngineAnswer::Refused(why.toStdString());
    }
    // Nothing to publish from: said, and camera publishing is not claimed.
    if (!state_.camera_on && !current_video_device_) {
        Queue(kNoCamera);
        ShowPending();
        return EngineAnswer::Refused(kNoCamera);
    }
    state_.camera_on = !state_.camera_on;
    if (state_.camera_on) {
        BuildPreviewBranch();
        RunPreview();
    } else {
        HaltPreview();
    }
    host_.StoreCameraCapture(state_.camera_on);
    host_.face().RepaintPreview();
    ShowPending();
    return EngineAnswer::Done();
}

bool CameraController::BuildPreviewBranch() {
    if (graph_.preview_graph_built()) return true;
    if (recorder_.on_graph()) return false;
    // No camera here offers a caption stream.
    if (state_.capture_cc && !graph_.previewing() && graph_.built()) {
        Queue("Cannot render closed captioning");
    }
    CameraResult built = graph_.BuildPreviewBranch(
        state_.use_frame_rate ? std::optional<double>(state_.frame_rate) : std::nullopt);
    const bool ok = built.ok;
    Queue(std::move(built));
    return ok;
}

bool CameraController::RunPreview() {
    if (closed_) return false;
    const bool was_previewing = graph_.previewing();
    CameraResult run = graph_.RunPreview();
    const bool ok = run.ok;
    Queue(std::move(run));
    if (!ok || was_previewing) return ok;
    // Every preview start reads the camera's settings afresh.
    LoadCameraSettings(ReadSettings());
    qCInfo(logCamera) << "preview running at" << state_.frame_width << "x" << state_.frame_height
                      << "publishing every" << state_.camera_timer << "s";
    jobs_ = PrepareCameraJobs(state_.frame_width, state_.frame_height, state_.imode_camera_width,
                              state_.camera_gif_color);
    host_.SetCameraTimer(state_.camera_timer * 1000);
    return true;
}

bool CameraController::HaltPreview() {
    CameraResult halted = graph_.HaltPreview();
    const bool ok = halted.ok;
    Queue(std::move(halted));
    // The preview stopped: the client area is drawn afresh.
    if (ok) {
        qCInfo(logCamera) << "preview halted";
        host_.face().ClearPreview();
    }
    return ok;
}

void CameraController::LoadCameraSettings(const Settings& settings) {
    state_.camera_timer = settings.Get(SETTING_CAMERA_TIMER);
    state_.camera_gif_color = settings.Get(SETTING_CAMERA_GIF_COLOR);
    state_.imode_camera_width = settings.Get(SETTING_IMODE_CAMERA_WIDTH);
}

void CameraController::RequestFrame() {
    graph_.grabber().frame_buffer().frame_requested.store(true);
}

PublishResult CameraController::PublishRequestedFrame() {
    return PublishCameraFrame(graph_.grabber().frame_buffer(), jobs_, state_.camera_gif_color);
}

bool CameraController::EndRecordingWithoutWindow() {
    const bool publishing = graph_.previewing() || recorder_.busy();
    switch (recorder_.state()) {
        case RecorderState::kIdle:
            break;
        case RecorderState::kHeld:
            // The go-ahead dialog stays as it is: closing it would talk to
            // the display.
            recorder_.Abandon();
            break;
        case RecorderState::kRecording:
        case RecorderState::kFinishing: {
            // The process ends next: the file is finished here, waiting.
            if (recorder_.state() == RecorderState::kRecording) StartFinishing(kFinishLimitMs);
            WaitForFinishing();
            std::string problem;
            EndFinishingWithoutWindow(problem);
            break;
        }
    }
    graph_.StopPipeline();
    return publishing;
}

void CameraController::Close() {
    if (closed_) return;
    closed_ = true;
    pending_.clear();
    EndRecordingBeforeGraphChange();
    // The camera's off pictures go in place and its graph comes down.
    graph_.HaltPreview();
    graph_.DismantleGraph();
    graph_.ReleaseCameraFilters();
    devices_.Release();
    controls_.reset();
    current_video_device_.reset();
    current_device_lost_ = false;
    state_.devices_menu_current = false;
    // The recording's file is finished before the engine goes, here on the
    // window's thread: nothing is left to answer meanwhile.
    WaitForFinishing();
    EndFinishing();
}

}  // namespace vemo
