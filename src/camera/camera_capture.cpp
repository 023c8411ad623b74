// The camera graph's side of a recording: the split the recorder hangs its
// file branch on, with the preview beside it, and running the graph while
// the recorder holds its frames back.
//
//   camera -> "Format" -> "Split" (tee) -> [recorder's file branch]
//                          "Split" -> "PreviewQueue" -> ["Decoder"] -> "Convert" -> "Grabber"

#include <gst/gst.h>

#include "camera/camera_graph.h"

namespace vemo {
namespace {

// Frames leaving the camera for the split, for the lost-camera check while
// the graph records.
GstPadProbeReturn OnSplitFrame(GstPad*, GstPadProbeInfo*, gpointer data) {
    auto* arrivals = static_cast<AtomicArrivals*>(data);
    arrivals->frames.fetch_add(1);
    arrivals->last_frame_ns.store(SteadyNowNs());
    return GST_PAD_PROBE_OK;
}

}  // namespace

CameraResult CameraGraph::BuildCaptureBranch(bool preview, std::optional<double> frame_rate) {
    if (capture_graph_built_) return {};
    if (previewing_ || !video_capture_ || !format_) return CameraResult{false, {}};
    // Whatever hangs behind the camera goes first: the preview branch, or the
    // grabber chain a camera that is off still has from its build.
    DismantleGraph();
    if (std::string missing = MissingElement({"tee", "queue"}); !missing.empty()) {
        return CameraResult::Failure(
            {"Cannot render video capture stream", 0, NotInstalled(missing)});
    }
    CameraResult result;
    if (!LinkSplit(preview, result)) {
        DismantleGraph();
        result.ok = false;
        return result;
    }
    if (frame_rate) {
        if (!SetFormatCaps(frame_rate)) {
            result.Warn({"Cannot set frame rate for capture", 0, {}});
        }
    } else {
        SetFormatCaps(std::nullopt);
    }
    grab_frames_.store(false);
    video_window_.store(preview);
    media_event_.store(true);
    capture_graph_built_ = true;
    return result;
}

bool CameraGraph::LinkSplit(bool preview, CameraResult& result) {
    GstBin* bin = GST_BIN(filter_graph_.get());
    const bool coded = format_->decode_jpeg;  // the camera's frames are JPEG already
    gst::ElementRef format = MakeElement("capsfilter", "Format");
    gst::ElementRef split = MakeElement("tee", "Split");
    if (!format || !split || !gst_bin_add(bin, format.get()) || !gst_bin_add(bin, split.get())) {
        result.Warn({"Cannot render video capture stream", 0, "the graph cannot be split"});
        return false;
    }
    video_stream_config_ = format;
    split_ = split;
    if (!gst_element_link_many(video_capture_.get(), format.get(), split.get(), nullptr)) {
        result.Warn({"Cannot render video capture stream", 0,
                     "the camera's format cannot be written to an AVI file"});
        return false;
    }
    const gst::PadRef entry = gst::PadRef::Adopt(gst_element_get_static_pad(split.get(), "sink"));
    gst_pad_add_probe(entry.get(), GST_PAD_PROBE_TYPE_BUFFER, OnSplitFrame, &split_arrivals_,
                      nullptr);
    if (!preview) return true;
    gst::ElementRef queue = MakeElement("queue", "PreviewQueue");
    if (queue) {
        g_object_set(queue.get(), "leaky", 2, "max-size-buffers", 2u, "max-size-bytes", 0u,
                     "max-size-time", guint64{0}, nullptr);
    }
    gst::ElementRef decoder = coded ? MakeElement(kJpegDecoder, "Decoder") : gst::ElementRef{};
    gst::ElementRef convert = MakeElement("videoconvert", "Convert");
    GstElement* grabber = grabber_filter_.get();
    bool previewed = queue && convert && grabber != nullptr && (!coded || decoder) &&
                     gst_bin_add(bin, queue.get()) && gst_bin_add(bin, convert.get()) &&
                     (!decoder || gst_bin_add(bin, decoder.get()));
    if (previewed && GST_OBJECT_PARENT(grabber) == nullptr) previewed = gst_bin_add(bin, grabber);
    previewed = previewed && gst_element_link(split.get(), queue.get()) &&
                (decoder ? gst_element_link_many(queue.get(), decoder.get(), convert.get(), nullptr)
                         : gst_element_link(queue.get(), convert.get())) &&
                gst_element_link(convert.get(), grabber);
    if (!previewed) {
        result.Warn({"Cannot render video preview stream", 0, {}});
        return false;
    }
    return true;
}

CameraResult CameraGraph::RunCaptureGraph() {
    if (!capture_graph_built_ || !filter_graph_) return CameraResult{false, {}};
    split_arrivals_.frames.store(0);
    split_arrivals_.last_frame_ns.store(0);
    if (gst_element_set_state(filter_graph_.get(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        const BusError error = TakeBusError();
        StopPipeline();
        return CameraResult::Failure(
            {"Error " + HexCode(error.code) + ": Cannot start graph", error.code, error.text});
    }
    capture_running_ = true;
    // A camera that stops while the graph records is noticed as a lost one.
    watchdog_.Start(GraphBus().get(), frame_period_ns_, [this] {
        return FrameArrivals{split_arrivals_.frames.load(), split_arrivals_.last_frame_ns.load()};
    });
    return {};
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

}  // namespace vemo
