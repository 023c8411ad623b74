// Recording the camera to file: commands 7, 8, 9, 12 and 14, sequenced by
// the camera controller.

#include "app/camera_controller.h"
#include "app/capture_file_control.h"
#include "app/dialogs/capture_dialogs.h"
#include "app/logging.h"
#include "app/main_window.h"
#include "app/status_bar.h"

namespace vemo {
namespace {

// Timer 1's interval while recording.
constexpr unsigned kRecordingTimerMs = 33;

}  // namespace

void CameraController::StartCapture() {
    if (closed_) return;
    if (graph_.previewing()) HaltPreview();
    if (graph_.preview_graph_built()) graph_.DismantleGraph();
    if (BuildCaptureBranch()) RunCapture();
    ShowPending();
}

void CameraController::StopCapture() {
    if (closed_) return;
    HaltCapture();
    RebuildPreview();
    ShowPending();
}

void CameraController::RebuildPreview() {
    if (!state_.camera_on) return;
    BuildPreviewBranch();
    RunPreview();
}

bool CameraController::BuildCaptureBranch() {
    if (graph_.capture_graph_built()) return true;
    if (state_.capturing || graph_.previewing() || !graph_.built() || state_.capture_audio) {
        return false;
    }
    if (state_.capture_file.capture_file_name.empty() && !capture_file_.SetCaptureFile()) {
        return false;
    }
    if (closed_) return false;
    CaptureBranchOptions options;
    options.file_name = state_.capture_file.capture_file_name;
    options.preview = state_.camera_on;
    if (state_.use_frame_rate) options.frame_rate = state_.frame_rate;
    CameraResult built = graph_.BuildCaptureBranch(options);
    const bool ok = built.ok;
    Queue(std::move(built));
    // No camera here has a caption stream: the recording is video only.
    if (ok && state_.capture_cc) Queue("Cannot render closed captioning");
    return ok;
}

bool CameraController::RunCapture() {
    if (state_.capturing) return true;
    if (graph_.previewing()) HaltPreview();
    if (!graph_.capture_graph_built()) return false;
    CameraResult held = graph_.RunHeldCapture();
    if (!held.ok) {
        Queue(std::move(held));
        return false;
    }
    // The graph runs and previews; the file gets nothing until the go-ahead.
    ShowPending();
    ReadyToCaptureDialog ready(&window_, state_.capture_file.capture_file_name);
    const bool confirmed = ready.exec() == QDialog::Accepted;
    if (closed_) return false;
    if (!confirmed) {
        graph_.AbandonCapture();
        RebuildPreview();
        return false;
    }
    graph_.ReleaseCaptureStream();
    qCInfo(logCamera).noquote() << "recording to"
                                << QString::fromStdString(state_.capture_file.capture_file_name);
    capture_start_ns_ = SteadyNowNs();
    window_.SetCameraTimer(kRecordingTimerMs);
    state_.capturing = true;
    if (state_.use_time_limit && state_.time_limit > 0) {
        time_limit_.start(static_cast<int>(
            std::min<std::uint64_t>(std::uint64_t{state_.time_limit} * 1000, 0x7fffffff)));
    }
    return true;
}

bool CameraController::HaltCapture() {
    if (!state_.capturing) return false;
    return FinishRecording(kFinishLimitMs);
}

// Ends the recording with its statistics line, waiting at most `limit_ms`
// for the file to be finished.
bool CameraController::FinishRecording(int limit_ms) {
    time_limit_.stop();
    const CaptureStats stats = graph_.FinishCapture(limit_ms);
    const auto duration_ms =
        static_cast<std::int32_t>((SteadyNowNs() - capture_start_ns_) / 1'000'000);
    window_.KillCameraTimer();
    state_.capturing = false;
    QString text;
    if (!stats.finished) {
        text = "Recording stopped before the file's index was written: it may not play";
    } else {
        const std::uint64_t average = stats.delivered > 0 ? stats.bytes / stats.delivered : 0;
        text = QString::fromStdString(
            CaptureResultText(stats.delivered, stats.dropped, duration_ms, average));
    }
    qCInfo(logCamera).noquote() << "recording stopped:" << text;
    SetStatusText(window_.statusBarWidget(), text);
    window_.videoArea()->update();
    return true;
}

void CameraController::ChangeFrameRate() {
    if (closed_) return;
    const double remembered = state_.frame_rate;
    FrameRateDialog dialog(&window_, state_.frame_rate, state_.use_frame_rate);
    dialog.exec();
    if (closed_ || !state_.use_frame_rate || state_.frame_rate == remembered) return;
    if (graph_.previewing()) HaltPreview();
    Queue(graph_.ChangeFrameRate(state_.frame_rate));
    if (state_.camera_on) RunPreview();
    ShowPending();
}

void CameraController::ToggleCaptureOption(bool EngineState::*option) {
    if (closed_) return;
    if (graph_.previewing()) HaltPreview();
    state_.*option = !(state_.*option);
    if (graph_.capture_graph_built() || graph_.preview_graph_built()) graph_.DismantleGraph();
    RebuildPreview();
    ShowPending();
}

}  // namespace vemo
