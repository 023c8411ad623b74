// The camera graph's side of a recording. The recorder hangs its file branch
// on the split the chain always has (camera_graph.cpp), so a recording
// neither stops nor rebuilds the preview: with the camera on the running
// preview carries it; with the camera off the graph runs for the recording
// alone, its frames neither decoded nor shown.

#include <gst/gst.h>

#include "camera/camera_graph.h"

namespace vemo {

CameraResult CameraGraph::BuildCaptureBranch(std::optional<double> frame_rate) {
    if (capture_graph_built_) return {};
    if (!video_capture_ || !format_) return CameraResult{false, {}};
    CameraResult result;
    // After a dismantle the chain, and with it the split, goes back in.
    if (std::string why; !video_stream_config_ && !LinkGrabberChain(why)) {
        DismantleGraph();
        return CameraResult::Failure({"Cannot render video capture stream", 0, why});
    }
    // A running preview keeps the rate it runs at; a graph that runs for the
    // recording alone takes the one asked for.
    if (!previewing_) {
        if (!SetFormatCaps(frame_rate) && frame_rate) {
            result.Warn({"Cannot set frame rate for capture", 0, {}});
        }
    }
    media_event_.store(true);
    capture_graph_built_ = true;
    return result;
}

CameraResult CameraGraph::RunCaptureGraph() {
    if (!capture_graph_built_ || !filter_graph_) return CameraResult{false, {}};
    if (previewing_ || capture_running_) return {};
    FlushGraphBus();
    camera_pictures_.Reset();
    usable_pictures_.Reset();
    grab_frames_.store(false);
    video_window_.store(false);
    if (gst_element_set_state(filter_graph_.get(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        const BusError error = TakeBusError();
        EndCaptureRun();
        return CameraResult::Failure(
            {"Error " + HexCode(error.code) + ": Cannot start graph", error.code, error.text});
    }
    capture_running_ = true;
    // A camera that stops while the graph records is noticed as a lost one.
    watchdog_.Start(GraphBus().get(), frame_period_ns_, [this] {
        return FrameArrivals{camera_pictures_.frames.load(), camera_pictures_.last_frame_ns.load(),
                             usable_pictures_.frames.load(), usable_pictures_.last_frame_ns.load()};
    });
    return {};
}

void CameraGraph::EndCaptureRun() {
    capture_graph_built_ = false;
    if (capture_running_) StopPipeline();
    grab_frames_.store(true);
}

CameraResult CameraGraph::ChangeFrameRate(double frame_rate) {
    if (!video_stream_config_ || !format_) {
        return CameraResult::Failure({"Cannot set frame rate for capture", 0, {}});
    }
    if (!SetFormatCaps(frame_rate)) {
        CameraResult result = CameraResult::Failure(
            {HexCode(kGraphFailure) + ": Cannot set new frame rate", kGraphFailure, {}});
        result.Warn({"Cannot set frame rate for capture", 0, {}});
        return result;
    }
    return {};
}

FrameRate CameraGraph::frame_rate() const {
    if (video_stream_config_) {
        const gst::PadRef pad =
            gst::PadRef::Adopt(gst_element_get_static_pad(video_stream_config_.get(), "src"));
        const gst::CapsPtr caps{pad ? gst_pad_get_current_caps(pad.get()) : nullptr};
        FrameRate agreed;
        if (caps && gst_caps_get_size(caps.get()) > 0 &&
            gst_structure_get_fraction(gst_caps_get_structure(caps.get(), 0), "framerate",
                                       &agreed.numerator, &agreed.denominator) &&
            agreed.known()) {
            return agreed;
        }
    }
    return asked_rate_;
}

// Asks the camera for the chosen format at `rate`; false when the camera
// offers no rate to choose from (it then keeps its own).
bool CameraGraph::SetFormatCaps(std::optional<double> rate) {
    if (!video_stream_config_ || !format_) return false;
    FormatAtRate at_rate = FormatWithRate(format_->caps.get(), rate);
    frame_period_ns_ = at_rate.frame_period_ns;
    asked_rate_ = at_rate.rate;
    g_object_set(video_stream_config_.get(), "caps", at_rate.caps.get(), nullptr);
    return at_rate.applied;
}

}  // namespace vemo
