// The camera graph's events as the engine takes them: errors, a lost or busy
// camera, pictures that cannot be used, a recording's file out of room; and
// the restart after an error.

#include <cstdio>

#include "engine/camera_controller.h"
#include "engine/engine_face.h"
#include "engine/logging.h"

namespace vemo {
namespace {

constexpr char kDeviceLost[] = "Stopping Capture (Device Lost). Select New Capture Device";
constexpr char kNoUsablePictures[] = "the camera sends no usable pictures";
constexpr char kNoRoom[] = "Recording stopped: the capture file has no more room";
constexpr char kDeviceBusy[] =
    "Could not connect capture pin #0 to grabber.\r\nIs the capture device being used by another "
    "application?";

// A camera that fails again this soon after being restarted is halted: a
// restart would keep the user answering messages.
constexpr std::int64_t kRestartQuietNs = 10'000'000'000;

}  // namespace

void CameraController::HandleGraphEvents() {
    if (closed_) return;
    bool error_abort = false;
    bool writer_failed = false;
    std::uint32_t error_code = 0;
    std::string error_detail;
    const CaptureDevice* current = current_video_device_ ? &*current_video_device_ : nullptr;
    for (const GraphEvent& event : graph_.DrainGraphEvents(current)) {
        switch (event.kind) {
            case GraphEventKind::kErrorAbort:
                error_abort = true;
                writer_failed = writer_failed || event.from_file_writer;
                error_code = event.code;
                error_detail = event.detail;
                break;
            case GraphEventKind::kDeviceLost:
                // Another device than ours (an earlier camera) changes nothing.
                if (!IsCurrentCamera(event.identity)) break;
                StopLostCamera();
                Queue(kDeviceLost);
                ShowPending();
                return;
            case GraphEventKind::kNoUsablePictures:
                // Not a lost camera: publishing and a recording take up the
                // camera's pictures again by themselves once usable ones come.
                qCWarning(logCamera).noquote() << kNoUsablePictures;
                host_.SetStatus(QString::fromLatin1(kNoUsablePictures));
                break;
            case GraphEventKind::kUsablePicturesAgain:
                qCInfo(logCamera) << "the camera sends usable pictures again";
                host_.SetStatus(QString::fromStdString(graph_.device_name()));
                break;
            case GraphEventKind::kNoRoom:
                // Stopped while the index still fits: the file is finished and
                // plays to its last frame, and the statistics line counts it.
                if (!FinishRecording(kFinishLimitMs)) break;
                pending_.push_back({kNoRoom, 0, event.detail});
                ShowPending();
                return;
            case GraphEventKind::kDeviceBusy:
                // Trying again would only fail again: the preview stays halted
                // until the camera is switched on or chosen anew.
                HaltPreview();
                pending_.push_back({kDeviceBusy, event.code, event.detail});
                ShowPending();
                return;
        }
    }
    if (!error_abort) return;
    if (recorder_.state() == RecorderState::kRecording) {
        // The recording so far is finished and kept, its statistics line in
        // the status bar and the reason in the message that follows; a writer
        // that failed (a full disk) cannot finish it, so it is not waited for.
        FinishRecording(writer_failed ? 0 : kFinishLimitMs);
    } else if (recorder_.busy()) {
        // Failed while the go-ahead was being asked: the start is given up.
        GiveUpHeldRecording();
    }
    // The error may have stopped the camera's stream for the preview too.
    RestartPreviewAfterError();
    char text[64];
    std::snprintf(text, sizeof text, "ERROR during capture, error code=%08x", error_code);
    pending_.push_back({text, error_code, error_detail});
    ShowPending();
}

// After a device loss: the camera is marked lost and the preview halted,
// with the camera-off pictures.
void CameraController::StopLostCamera() {
    // What was recorded until the camera went is finished and kept.
    EndRecordingBeforeGraphChange();
    current_device_lost_ = true;
    if (graph_.previewing()) {
        HaltPreview();
    } else {
        graph_.StopPipeline();
    }
}

// After an error abort: the failed run is stopped and, when the camera is
// on, built and run again. A run that failed before delivering one frame, or
// within ten seconds of the last such restart, is not retried (it would fail
// the same way, over and over): it is halted with the camera-off pictures
// instead. Returns whether the preview runs again.
bool CameraController::RestartPreviewAfterError() {
    if (!graph_.previewing()) return false;
    const bool delivered = graph_.grabber().ReadGrabberCounters().frames > 0;
    const std::int64_t now = SteadyNowNs();
    const bool recently_restarted =
        last_restart_ns_ != 0 && now - last_restart_ns_ < kRestartQuietNs;
    if (!state_.camera_on || !delivered || recently_restarted) {
        HaltPreview();
        return false;
    }
    last_restart_ns_ = now;
    graph_.StopPipeline();
    return BuildPreviewBranch() && RunPreview();
}

}  // namespace vemo
