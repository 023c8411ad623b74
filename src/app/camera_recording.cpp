// Recording the camera to file: commands 7, 8, 9, 12 and 14, sequenced by
// the camera controller, and the one guard that stands between a recording
// and everything that takes the camera graph apart.

#include <algorithm>
#include <cmath>

#include "app/camera_controller.h"
#include "app/capture_file_control.h"
#include "app/dialogs/capture_dialogs.h"
#include "app/logging.h"

namespace vemo {

CameraController::CaptureStart CameraController::StartCapture(bool ask_go_ahead) {
    using Outcome = CaptureStart::Outcome;
    const auto refuse = [this](const QString& text) {
        qCInfo(logCamera).noquote() << text;
        window_.SetStatus(text);
        return CaptureStart{Outcome::kRefused, text.toStdString()};
    };
    // A second start while one is held or running changes nothing.
    if (closed_) return {Outcome::kRefused, "the engine is closing"};
    if (recorder_.busy()) {
        return {Outcome::kRefused,
                "a recording is already under way, into " + recorder_.file_name()};
    }
    if (capture_file_.saving()) {
        return refuse(QStringLiteral("Cannot record while the capture file is being saved"));
    }
    // A camera that went away records nothing: the start is refused before
    // the capture file is touched.
    if (current_device_lost_) {
        return refuse(
            QStringLiteral("Cannot record: the camera was lost. Select New Capture Device"));
    }
    // No audio capture device ever exists: a recording with audio cannot be
    // made, and the camera goes on as it is.
    if (state_.capture_audio) {
        return refuse(QStringLiteral(
            "Cannot record: there is no audio capture device (switch audio capture off)"));
    }
    // Nobody may be there to pick a file for a program's start.
    if (!ask_go_ahead && state_.capture_file.capture_file_name.empty()) {
        return {Outcome::kRefused, "no capture file is named: name one first"};
    }
    // The preview and camera publishing go on throughout; a start that fails
    // or is cancelled, at any step, leaves the camera as it was before it.
    CaptureStart start{Outcome::kStarted, {}};
    held_start_stopped_ = false;
    if (!BuildCaptureBranch() || !RunCapture(ask_go_ahead)) {
        // What went wrong is in the messages about to be shown; without one,
        // the go-ahead was refused or the start given up meanwhile.
        start.outcome = pending_.empty() ? Outcome::kCancelled : Outcome::kRefused;
        for (const CameraMessage& message : pending_)
            start.reason += (start.reason.empty() ? "" : "; ") + message.text;
        if (!graph_.built()) {
            start = {Outcome::kRefused, "there is no camera to record"};
        } else if (start.reason.empty()) {
            start.reason = held_start_stopped_ ? "cancelled by a stop before its go-ahead"
                                               : "cancelled in the engine's window";
        }
        if (recorder_.busy()) GiveUpHeldRecording();
        graph_.EndCaptureRun();
        RebuildPreview();
    }
    ShowPending();
    return start;
}

void CameraController::StopCapture() {
    if (closed_) return;
    if (recorder_.state() == RecorderState::kHeld) {
        // The go-ahead is still being asked: the start is cancelled once its
        // dialog has closed.
        held_start_stopped_ = true;
        if (ready_dialog_ != nullptr) ready_dialog_->reject();
        return;
    }
    HaltCapture();
    RebuildPreview();
    ShowPending();
}

void CameraController::RebuildPreview() {
    // A camera that went away is not run again until it is chosen anew.
    if (!state_.camera_on || recorder_.busy() || current_device_lost_ || closed_) return;
    BuildPreviewBranch();
    RunPreview();
}

bool CameraController::BuildCaptureBranch() {
    if (recorder_.busy()) return true;
    if (!graph_.built() || state_.capture_audio) return false;
    if (state_.capture_file.capture_file_name.empty() && !capture_file_.SetCaptureFile()) {
        return false;
    }
    if (closed_ || recorder_.busy()) return false;
    CameraResult built = graph_.BuildCaptureBranch(
        state_.use_frame_rate ? std::optional<double>(state_.frame_rate) : std::nullopt);
    bool ok = built.ok;
    Queue(std::move(built));
    if (!ok) return false;
    // The recorder opens the file that is the capture file now, for this
    // recording alone.
    CameraResult attached =
        recorder_.Attach(graph_.filter_graph(), graph_.split(),
                         state_.capture_file.capture_file_name, graph_.jpeg_frames());
    ok = attached.ok;
    Queue(std::move(attached));
    if (!ok) return false;
    // No camera here has a caption stream: the recording is video only.
    if (state_.capture_cc) Queue("Cannot render closed captioning");
    return true;
}

bool CameraController::RunCapture(bool ask_go_ahead) {
    if (recorder_.state() == RecorderState::kRecording) return true;
    if (recorder_.state() != RecorderState::kHeld || !graph_.capture_graph_built()) return false;
    CameraResult held = graph_.RunCaptureGraph();
    if (!held.ok) {
        Queue(std::move(held));
        return false;
    }
    // The graph runs (and previews when the camera is on); the file gets
    // nothing until the go-ahead.
    ShowPending();
    bool confirmed = !ask_go_ahead;
    window_.StateChanged();
    if (ask_go_ahead && recorder_.state() == RecorderState::kHeld && !closed_) {
        ReadyToCaptureDialog ready(window_.dialog_parent(), recorder_.file_name());
        ready_dialog_ = &ready;
        confirmed = ready.exec() == QDialog::Accepted;
        ready_dialog_ = nullptr;
    }
    // Whatever ran meanwhile (a close, a lost camera, command 8) may have
    // given the recording up already.
    if (!confirmed || closed_ || recorder_.state() != RecorderState::kHeld) return false;
    recorder_.Release();
    qCInfo(logCamera).noquote() << "recording to" << QString::fromStdString(recorder_.file_name())
                                << (ask_go_ahead
                                        ? ""
                                        : "(started by another program without the go-ahead)");
    capture_start_ns_ = SteadyNowNs();
    if (state_.use_time_limit && state_.time_limit > 0) {
        time_limit_.start(static_cast<int>(
            std::min<std::uint64_t>(std::uint64_t{state_.time_limit} * 1000, 0x7fffffff)));
    }
    return true;
}

bool CameraController::HaltCapture() {
    if (recorder_.state() != RecorderState::kRecording) return false;
    return FinishRecording(kFinishLimitMs);
}

// A held start given up: nothing is recorded, a file the start created goes
// again, and a graph that ran for the recording alone stops.
void CameraController::GiveUpHeldRecording() {
    if (ready_dialog_ != nullptr) ready_dialog_->reject();
    recorder_.Abandon();
    graph_.EndCaptureRun();
}

// The one guard in front of everything that takes the camera graph apart or
// builds it anew (a device or format change, a frame rate, the caption and
// audio switches, a lost camera, the close): a running recording is finished
// first, with its statistics line, and a held one is given up.
void CameraController::EndRecordingBeforeGraphChange() {
    switch (recorder_.state()) {
        case RecorderState::kIdle:
        case RecorderState::kFinishing:
            return;
        case RecorderState::kHeld:
            GiveUpHeldRecording();
            return;
        case RecorderState::kRecording:
            FinishRecording(kFinishLimitMs);
            return;
    }
}

void CameraController::DismantleGraph() {
    EndRecordingBeforeGraphChange();
    graph_.DismantleGraph();
}

void CameraController::ReleaseCameraFilters() {
    EndRecordingBeforeGraphChange();
    graph_.ReleaseCameraFilters();
}

// The recording's end of stream (waiting at most `limit_ms` for the file to
// be finished) and the file closed, touching nothing of the window; a preview
// goes on. Returns the statistics line, logged, and a problem with the file
// at the end in `problem`.
QString CameraController::StopRecordingToFile(int limit_ms, std::string& problem) {
    time_limit_.stop();
    const bool finished = recorder_.SendEndOfStream(limit_ms);
    RecordingResult ended = recorder_.Detach();
    graph_.EndCaptureRun();
    const auto duration_ms =
        static_cast<std::int32_t>((SteadyNowNs() - capture_start_ns_) / 1'000'000);
    QString text;
    const CaptureStats& stats = ended.stats;
    if (ended.file_untouched) {
        text = QString::fromStdString(CaptureResultText(0, stats.dropped, duration_ms, 0)) +
               QStringLiteral(" - nothing recorded: the capture file is as it was");
    } else if (!finished) {
        text = "Recording stopped before the file's index was written: it may not play";
    } else {
        const std::uint64_t average = stats.delivered > 0 ? stats.bytes / stats.delivered : 0;
        text = QString::fromStdString(
            CaptureResultText(stats.delivered, stats.dropped, duration_ms, average));
    }
    qCInfo(logCamera).noquote() << "recording stopped:" << text;
    if (!ended.problem.empty())
        qCWarning(logCamera).noquote() << QString::fromStdString(ended.problem);
    problem = std::move(ended.problem);
    return text;
}

// Ends the recording with its statistics line in the status bar, waiting at
// most `limit_ms` for the file to be finished. A problem with the file at
// the end is returned in `problem` when asked for, else reported.
bool CameraController::FinishRecording(int limit_ms, std::string* problem) {
    if (recorder_.state() != RecorderState::kRecording) return false;
    std::string trouble;
    const QString text = StopRecordingToFile(limit_ms, trouble);
    last_recording_line_ = text;
    window_.SetStatus(text);
    window_.RepaintVideo();
    if (!trouble.empty()) {
        if (problem != nullptr) {
            *problem = trouble;
        } else {
            Queue(trouble);
        }
    }
    return true;
}

void CameraController::ChangeFrameRate() {
    if (closed_) return;
    const double remembered = state_.frame_rate;
    const FrameRate running = graph_.frame_rate();
    FrameRateDialog dialog(window_.dialog_parent(), state_.frame_rate, state_.use_frame_rate,
                           running);
    dialog.exec();
    if (closed_ || !state_.use_frame_rate || state_.frame_rate == remembered) return;
    // OK on the camera's rate as shown (to six decimals): the camera runs at
    // it already, and a running recording goes on.
    if (running.known() && std::abs(state_.frame_rate - running.value()) < 5e-7) return;
    // The new rate is the camera's from its next run: a recording ends here.
    EndRecordingBeforeGraphChange();
    if (graph_.previewing()) HaltPreview();
    Queue(graph_.ChangeFrameRate(state_.frame_rate));
    if (state_.camera_on) RunPreview();
    ShowPending();
}

// Captions and audio: a recording under way ends, as for any change of what
// it records. No camera here has a caption stream and no audio device
// exists, so nothing else changes: the preview and camera publishing go on,
// and a start says what it cannot record.
void CameraController::ToggleCaptureOption(bool EngineState::*option) {
    if (closed_) return;
    EndRecordingBeforeGraphChange();
    state_.*option = !(state_.*option);
    ShowPending();
}

}  // namespace vemo
