// Recording the camera to file: commands 7, 8, 9, 12 and 14, sequenced by
// the camera controller, and the one guard that stands between a recording
// and everything that takes the camera graph apart.

#include <algorithm>
#include <cmath>

#include "engine/camera_controller.h"
#include "engine/capture_file_control.h"
#include "engine/engine_face.h"
#include "engine/logging.h"

namespace vemo {

CameraController::CaptureStart CameraController::StartCapture(
    bool ask_go_ahead, const std::function<void(const CaptureStart&)>& answer) {
    const CaptureStart start = TryStartCapture(ask_go_ahead);
    // The caller hears first: the boxes below wait for whoever reads them.
    if (answer) answer(start);
    ShowPending();
    return start;
}

CameraController::CaptureStart CameraController::TryStartCapture(bool ask_go_ahead) {
    using Outcome = CaptureStart::Outcome;
    const auto refuse = [this](const QString& text) {
        qCInfo(logCamera).noquote() << text;
        host_.SetStatus(text);
        return CaptureStart{Outcome::kRefused, text.toStdString()};
    };
    // A second start while one is held or running changes nothing.
    if (closed_) return {Outcome::kRefused, "the engine is closing"};
    if (recorder_.state() == RecorderState::kFinishing) {
        return {Outcome::kRefused,
                "the last recording is still being finished, into " + recorder_.file_name()};
    }
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
    // No audio capture device ever exists: the graph built for the recording
    // drops the audio request, as every build does, and records the video
    // alone. That is said once, as the request goes.
    if (state_.capture_audio) {
        state_.capture_audio = false;
        const QString said =
            QStringLiteral("there is no audio capture device: recording the video alone");
        qCInfo(logCamera).noquote() << said;
        host_.SetStatus(said);
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
            start.reason += (start.reason.empty() ? "" : "; ") + message.Shown();
        if (!go_ahead_refusal_.empty()) {
            start = {Outcome::kRefused, std::move(go_ahead_refusal_)};
            go_ahead_refusal_.clear();
        } else if (!graph_.built()) {
            start = {Outcome::kRefused, "there is no camera to record"};
        } else if (start.reason.empty()) {
            start.reason = held_start_stopped_ ? "cancelled by a stop before its go-ahead"
                                               : "cancelled in the engine's window";
        }
        if (recorder_.busy()) GiveUpHeldRecording();
        graph_.EndCaptureRun();
        RebuildPreview();
    }
    return start;
}

void CameraController::StopCapture() {
    if (closed_) return;
    if (recorder_.state() == RecorderState::kHeld) {
        // The go-ahead is still being asked: the start is cancelled once its
        // dialog has closed.
        held_start_stopped_ = true;
        if (asking_go_ahead_) host_.face().CancelGoAhead();
        return;
    }
    HaltCapture();
    RebuildPreview();
    ShowPending();
}

void CameraController::RebuildPreview() {
    // A camera that went away is not run again until it is chosen anew. A
    // recording being finished has left the graph already.
    if (!state_.camera_on || recorder_.on_graph() || current_device_lost_ || closed_) return;
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
    // nothing until the go-ahead, whose dialog follows what was said so far.
    // A start without it tells its caller first.
    if (ask_go_ahead) ShowPending();
    bool confirmed = !ask_go_ahead;
    host_.StateChanged();
    if (ask_go_ahead && recorder_.state() == RecorderState::kHeld && !closed_) {
        asking_go_ahead_ = true;
        const GoAhead answer = host_.face().AskGoAhead(recorder_.file_name());
        asking_go_ahead_ = false;
        confirmed = answer.given;
        if (!answer.given && !answer.refusal.empty()) {
            qCInfo(logCamera).noquote() << QString::fromStdString(answer.refusal);
            go_ahead_refusal_ = answer.refusal;
        }
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
    return FinishRecording(kFinishLimitMs);
}

// A held start given up: nothing is recorded, a file the start created goes
// again, and a graph that ran for the recording alone stops.
void CameraController::GiveUpHeldRecording() {
    if (asking_go_ahead_) host_.face().CancelGoAhead();
    recorder_.Abandon();
    graph_.EndCaptureRun();
}

// The one guard in front of everything that takes the camera graph apart or
// builds it anew (a device or format change, a frame rate, the caption and
// audio switches, a lost camera, the close): a running recording leaves the
// graph to be finished on its own, with its statistics line when it ends,
// and a held one is given up. Neither waits.
void CameraController::EndRecordingBeforeGraphChange() {
    switch (recorder_.state()) {
        case RecorderState::kIdle:
        case RecorderState::kFinishing:
            return;
        case RecorderState::kHeld:
            GiveUpHeldRecording();
            return;
        case RecorderState::kRecording:
            BeginFinishing(kFinishLimitMs);
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

void CameraController::WhenRecordingEnds(std::function<void(const QString& line)> ended) {
    if (recorder_.state() == RecorderState::kFinishing) {
        finish_waiters_.push_back(std::move(ended));
    } else {
        ended(last_recording_line_);
    }
}

// The running recording's end of stream, touching nothing of the window: its
// branch leaves the graph (a graph that ran for it alone stops; a preview
// goes on) and finishes on its own. Its end is posted to the window's thread,
// from whichever streaming thread sees it.
void CameraController::StartFinishing(int limit_ms) {
    time_limit_.stop();
    capture_stop_ns_ = SteadyNowNs();
    finish_deadline_ns_ = capture_stop_ns_ + std::int64_t{limit_ms} * 1'000'000;
    recorder_.SendEndOfStream([this] {
        QMetaObject::invokeMethod(
            &finish_limit_, [this] { OnFinishEnded(); }, Qt::QueuedConnection);
    });
    graph_.EndCaptureRun();
    finish_limit_.start(limit_ms);
}

void CameraController::BeginFinishing(int limit_ms) {
    StartFinishing(limit_ms);
    qCInfo(logCamera).noquote() << "finishing the recording to"
                                << QString::fromStdString(recorder_.file_name());
    host_.StateChanged();
}

// The writer's end of stream, an error of the finishing branch, or the time
// limit: the finish ends here, and the preview of a camera chosen meanwhile
// runs.
void CameraController::OnFinishEnded() {
    if (!EndFinishing()) return;
    RebuildPreview();
    ShowPending();
}

// The recording being finished is detached and its file closed, whether
// its index came or not, touching nothing of the window. Whoever waits for
// it gets the statistics line, logged too, and a problem with the file at
// the end is returned in `problem`.
QString CameraController::EndFinishingWithoutWindow(std::string& problem) {
    finish_limit_.stop();
    RecordingResult ended = recorder_.Detach();
    const auto duration_ms =
        static_cast<std::int32_t>((capture_stop_ns_ - capture_start_ns_) / 1'000'000);
    QString text;
    const CaptureStats& stats = ended.stats;
    if (ended.file_untouched) {
        text = QString::fromStdString(CaptureResultText(0, stats.dropped, duration_ms, 0)) +
               QStringLiteral(" - nothing recorded: the capture file is as it was");
    } else if (!stats.finished) {
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
    last_recording_line_ = text;
    // Taken first: an answer may start what ends in another finish.
    std::vector<std::function<void(const QString&)>> waiters;
    waiters.swap(finish_waiters_);
    for (const auto& waiter : waiters)
        waiter(text);
    return text;
}

// Ends the recording being finished, with its statistics line in the status
// bar and a problem with the file queued for its box. Returns whether one was
// being finished.
bool CameraController::EndFinishing() {
    if (recorder_.state() != RecorderState::kFinishing) return false;
    std::string trouble;
    const QString text = EndFinishingWithoutWindow(trouble);
    host_.SetStatus(text);
    host_.face().RepaintPreview();
    if (!trouble.empty()) Queue(trouble);
    host_.StateChanged();
    return true;
}

// Where the engine goes away and the file must be finished first: the
// window's thread waits for the end, at most what is left of the limit.
void CameraController::WaitForFinishing() {
    if (recorder_.state() != RecorderState::kFinishing) return;
    const std::int64_t left_ms = (finish_deadline_ns_ - SteadyNowNs()) / 1'000'000;
    recorder_.WaitEnded(static_cast<int>(std::clamp<std::int64_t>(left_ms, 0, kFinishLimitMs)));
}

// Ends the running recording: its file finishes on its own within
// `limit_ms`; with none (its writer failed, no index will come) it is closed
// as it stands at once, the statistics line in the status bar before
// anything else is shown.
bool CameraController::FinishRecording(int limit_ms) {
    if (recorder_.state() != RecorderState::kRecording) return false;
    BeginFinishing(limit_ms);
    if (limit_ms <= 0) EndFinishing();
    return true;
}

void CameraController::ChangeFrameRate() {
    if (closed_) return;
    const double remembered = state_.frame_rate;
    const FrameRate running = graph_.frame_rate();
    host_.face().EditFrameRate(state_, running);
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
// and the next recording's build drops the request.
void CameraController::ToggleCaptureOption(bool EngineState::*option) {
    if (closed_) return;
    EndRecordingBeforeGraphChange();
    state_.*option = !(state_.*option);
    ShowPending();
}

}  // namespace vemo
