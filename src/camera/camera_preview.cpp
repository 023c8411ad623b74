// The preview on the camera graph: building its branch, running and halting it.

#include <gst/gst.h>

#include "camera/camera_graph.h"
#include "imaging/published_files.h"

namespace vemo {
namespace {

// "Error <code>: <what>", with GStreamer's detail.
CameraMessage ErrorMessage(std::uint32_t code, const char* what, std::string detail = {}) {
    return {"Error " + HexCode(code) + ": " + what, code, std::move(detail)};
}

}  // namespace

CameraResult CameraGraph::BuildPreviewBranch(std::optional<double> frame_rate) {
    if (preview_graph_built_) return {};
    if (previewing_ || !video_capture_) return CameraResult{false, {}};
    // Events of an earlier run are of no interest to this one.
    FlushGraphBus();
    CameraResult result;
    // After a dismantle the grabber chain goes back in: every preview that
    // runs also feeds the grabber.
    std::string why;
    if (video_stream_config_ || LinkGrabberChain(why)) {
        video_window_.store(true);
    } else {
        result.Warn({"This graph cannot preview properly", 0, why});
    }
    if (frame_rate && video_stream_config_) {
        if (!SetFormatCaps(frame_rate)) {
            result.Warn({HexCode(kGraphFailure) + ": Cannot set frame rate for preview",
                         kGraphFailure,
                         {}});
        }
    } else {
        SetFormatCaps(std::nullopt);
    }
    media_event_.store(true);
    preview_graph_built_ = true;
    return result;
}

CameraResult CameraGraph::RunPreview() {
    if (previewing_) return {};
    if (!preview_graph_built_) return CameraResult{false, {}};
    if (!filter_graph_) {
        return CameraResult::Failure(ErrorMessage(kGraphFailure, "Cannot run preview graph"));
    }
    grabber_.ResetGrabberCounters();
    grab_frames_.store(true);
    if (gst_element_set_state(filter_graph_.get(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        const BusError error = TakeBusError();
        gst_element_set_state(filter_graph_.get(), GST_STATE_NULL);
        FlushGraphBus();
        return CameraResult::Failure(
            ErrorMessage(error.code, "Cannot run preview graph", error.text));
    }
    previewing_ = true;
    PublishCameraPreviewStarted();
    grabber_.frame_buffer().frame_requested.store(true);
    camera_pictures_.Reset();
    watchdog_.Start(GraphBus().get(), frame_period_ns_, [this] {
        const GrabberCounters counters = grabber_.ReadGrabberCounters();
        return FrameArrivals{camera_pictures_.frames.load(), camera_pictures_.last_frame_ns.load(),
                             counters.frames, counters.last_frame_ns};
    });
    return {};
}

CameraResult CameraGraph::HaltPreview() {
    if (!previewing_) return CameraResult{false, {}};
    if (!filter_graph_) {
        return CameraResult::Failure(ErrorMessage(kGraphFailure, "Cannot stop preview graph"));
    }
    watchdog_.Stop();
    if (gst_element_set_state(filter_graph_.get(), GST_STATE_NULL) == GST_STATE_CHANGE_FAILURE) {
        const BusError error = TakeBusError();
        return CameraResult::Failure(
            ErrorMessage(error.code, "Cannot stop preview graph", error.text));
    }
    // A frame grabbed just before the stop is not published after the off
    // pictures, and the stopped run's events are not handled any more.
    grabber_.DiscardGrabbedFrame();
    FlushGraphBus();
    previewing_ = false;
    PublishCameraPreviewStopped();
    return {};
}

void CameraGraph::StopPipeline() {
    watchdog_.Stop();
    if (filter_graph_) gst_element_set_state(filter_graph_.get(), GST_STATE_NULL);
    grabber_.DiscardGrabbedFrame();
    FlushGraphBus();
    previewing_ = false;
    capture_running_ = false;
}

}  // namespace vemo
