// Recording the camera into an AVI file: the file branch of the camera graph.
//
//   camera -> "Format" -> "Split" (tee) -> "CaptureQueue" -> "StreamControl" (valve)
//        -> ["CaptureConvert" -> "Encoder" (jpegenc), for raw cameras] -> "Mux" (avimux)
//        -> "Writer" (fdsink on the capture file)
//                          "Split" -> "PreviewQueue" -> ["Decoder"] -> "Convert" -> "Grabber"

#include <fcntl.h>
#include <gst/gst.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "camera/camera_graph.h"

namespace vemo {
namespace {

const std::vector<std::string> kCaptureElements = {"tee", "queue", "valve", "avimux", "fdsink"};

// A queue that never holds the camera back: when the writer falls behind,
// the oldest frames go (and count as dropped).
gst::ElementRef MakeLeakyQueue(const char* name, guint frames) {
    gst::ElementRef queue = MakeElement("queue", name);
    if (queue) {
        g_object_set(queue.get(), "leaky", 2, "max-size-buffers", frames, "max-size-bytes", 0u,
                     "max-size-time", guint64{0}, nullptr);
    }
    return queue;
}

// Frames entering the capture branch: counted while recording, dropped once
// the recording is being finished.
GstPadProbeReturn OnCaptureEntry(GstPad*, GstPadProbeInfo* info, gpointer data) {
    auto* counters = static_cast<CaptureCounters*>(data);
    GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    if (counters->stopping()) return GST_PAD_PROBE_DROP;
    counters->FrameIn(GST_BUFFER_OFFSET(buffer), GST_BUFFER_OFFSET_IS_VALID(buffer));
    return GST_PAD_PROBE_OK;
}

// Coded frames entering the multiplexer.
GstPadProbeReturn OnFrameToFile(GstPad*, GstPadProbeInfo* info, gpointer data) {
    static_cast<CaptureCounters*>(data)->FrameWritten(
        gst_buffer_get_size(GST_PAD_PROBE_INFO_BUFFER(info)));
    return GST_PAD_PROBE_OK;
}

// What the writer writes where: the multiplexer seeks back to finish the
// header, so the file's end is the furthest byte written, and its end of
// stream means the index is in the file.
struct WriterPosition {
    CaptureCounters* counters;
    std::uint64_t position = 0;
};

GstPadProbeReturn OnWriter(GstPad*, GstPadProbeInfo* info, gpointer data) {
    auto* writer = static_cast<WriterPosition*>(data);
    if ((GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_BUFFER) != 0) {
        writer->position += gst_buffer_get_size(GST_PAD_PROBE_INFO_BUFFER(info));
        writer->counters->WriterAt(writer->position);
        return GST_PAD_PROBE_OK;
    }
    GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
    if (GST_EVENT_TYPE(event) == GST_EVENT_SEGMENT) {
        const GstSegment* segment = nullptr;
        gst_event_parse_segment(event, &segment);
        if (segment->format == GST_FORMAT_BYTES) writer->position = segment->start;
    } else if (GST_EVENT_TYPE(event) == GST_EVENT_EOS) {
        writer->counters->WriterFinished();
    }
    return GST_PAD_PROBE_OK;
}

void AddProbe(GstElement* element, const char* pad_name, GstPadProbeType type,
              GstPadProbeCallback callback, gpointer data, GDestroyNotify destroy = nullptr) {
    const gst::PadRef pad = gst::PadRef::Adopt(gst_element_get_static_pad(element, pad_name));
    if (pad) gst_pad_add_probe(pad.get(), type, callback, data, destroy);
}

}  // namespace

CameraResult CameraGraph::BuildCaptureBranch(const CaptureBranchOptions& options) {
    if (capture_graph_built_) return {};
    if (previewing_ || !video_capture_ || !format_) return CameraResult{false, {}};
    if (preview_graph_built_) DismantleGraph();
    if (std::string missing = MissingElement(kCaptureElements); !missing.empty()) {
        DismantleGraph();
        return CameraResult::Failure(
            {"Cannot render video capture stream", 0, NotInstalled(missing)});
    }
    // Written in place: a pre-allocated file keeps its space, and the end of
    // the recording is cut to length when it is finished.
    capture_file_.reset(open(options.file_name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
    if (!capture_file_) {
        const std::string why = options.file_name + ": " + std::strerror(errno);
        DismantleGraph();
        return CameraResult::Failure({"Cannot set output file", 0, why});
    }
    CameraResult result;
    if (!LinkCaptureChain(options, result)) {
        DismantleGraph();
        result.ok = false;
        return result;
    }
    if (options.frame_rate) {
        if (!SetFormatCaps(options.frame_rate)) {
            result.Warn({"Cannot set frame rate for capture", 0, {}});
        }
    } else {
        SetFormatCaps(std::nullopt);
    }
    grab_frames_.store(false);
    video_window_.store(options.preview);
    media_event_.store(true);
    capture_graph_built_ = true;
    return result;
}

bool CameraGraph::LinkCaptureChain(const CaptureBranchOptions& options, CameraResult& result) {
    GstBin* bin = GST_BIN(filter_graph_.get());
    const bool coded = format_->decode_jpeg;  // the camera's frames are JPEG already
    gst::ElementRef format = MakeElement("capsfilter", "Format");
    gst::ElementRef split = MakeElement("tee", "Split");
    gst::ElementRef queue = MakeLeakyQueue("CaptureQueue", 60);
    gst::ElementRef control = MakeElement("valve", "StreamControl");
    gst::ElementRef convert =
        coded ? gst::ElementRef{} : MakeElement("videoconvert", "CaptureConvert");
    gst::ElementRef encoder = coded ? gst::ElementRef{} : MakeElement("jpegenc", "Encoder");
    gst::ElementRef mux = MakeElement("avimux", "Mux");
    gst::ElementRef writer = MakeElement("fdsink", "Writer");
    if (!coded && (!convert || !encoder)) {
        result.Warn({"Cannot render video capture stream", 0,
                     NotInstalled(!convert ? "videoconvert" : "jpegenc")});
        return false;
    }
    g_object_set(control.get(), "drop", TRUE, nullptr);
    g_object_set(writer.get(), "fd", capture_file_.get(), "sync", FALSE, "async", FALSE, nullptr);
    for (GstElement* element : {format.get(), split.get(), queue.get(), control.get(),
                                convert.get(), encoder.get(), mux.get(), writer.get()}) {
        if (element != nullptr) gst_bin_add(bin, element);
    }
    video_stream_config_ = format;
    GstElement* last = control.get();
    bool linked = gst_element_link_many(video_capture_.get(), format.get(), split.get(),
                                        queue.get(), control.get(), nullptr);
    if (linked && !coded) {
        linked = gst_element_link_many(control.get(), convert.get(), encoder.get(), nullptr);
        last = encoder.get();
    }
    linked = linked && gst_element_link_many(last, mux.get(), writer.get(), nullptr);
    if (!linked) {
        result.Warn({"Cannot render video capture stream", 0,
                     "the camera's format cannot be written to an AVI file"});
        return false;
    }
    if (options.preview) {
        gst::ElementRef preview_queue = MakeLeakyQueue("PreviewQueue", 2);
        gst::ElementRef decoder = coded ? MakeElement(kJpegDecoder, "Decoder") : gst::ElementRef{};
        gst::ElementRef preview_convert = MakeElement("videoconvert", "Convert");
        GstElement* grabber = grabber_filter_.get();
        bool previewed =
            preview_queue && preview_convert && grabber != nullptr && (!coded || decoder);
        if (previewed) {
            gst_bin_add_many(bin, preview_queue.get(), preview_convert.get(), nullptr);
            if (decoder) gst_bin_add(bin, decoder.get());
            if (GstObject* parent = gst_object_get_parent(GST_OBJECT(grabber)); parent != nullptr) {
                gst_object_unref(parent);
            } else {
                gst_bin_add(bin, grabber);
            }
            previewed = gst_element_link(split.get(), preview_queue.get()) &&
                        (decoder ? gst_element_link_many(preview_queue.get(), decoder.get(),
                                                         preview_convert.get(), nullptr)
                                 : gst_element_link(preview_queue.get(), preview_convert.get())) &&
                        gst_element_link(preview_convert.get(), grabber);
        }
        if (!previewed) {
            result.Warn({"Cannot render video preview stream", 0, {}});
            return false;
        }
    }
    stream_control_ = control;
    capture_entry_ = gst::PadRef::Adopt(gst_element_get_static_pad(queue.get(), "sink"));
    AddProbe(queue.get(), "sink", GST_PAD_PROBE_TYPE_BUFFER, OnCaptureEntry, &counters_);
    AddProbe(last, "src", GST_PAD_PROBE_TYPE_BUFFER, OnFrameToFile, &counters_);
    AddProbe(
        writer.get(), "sink",
        static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER |
                                     GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
        OnWriter, std::make_unique<WriterPosition>(WriterPosition{&counters_}).release(),
        [](gpointer data) { std::unique_ptr<WriterPosition>(static_cast<WriterPosition*>(data)); });
    return true;
}

CameraResult CameraGraph::RunHeldCapture() {
    if (!capture_graph_built_ || !filter_graph_) return CameraResult{false, {}};
    counters_.Reset();
    g_object_set(stream_control_.get(), "drop", TRUE, nullptr);
    if (gst_element_set_state(filter_graph_.get(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        const BusError error = TakeBusError();
        StopPipeline();
        return CameraResult::Failure(
            {"Error " + HexCode(error.code) + ": Cannot start graph", error.code, error.text});
    }
    return {};
}

void CameraGraph::ReleaseCaptureStream() {
    counters_.Start();
    if (stream_control_) g_object_set(stream_control_.get(), "drop", FALSE, nullptr);
}

CaptureStats CameraGraph::FinishCapture(int limit_ms) {
    counters_.Stop();
    // The end of the stream goes into the capture branch itself: it arrives
    // even when the camera has failed or gone.
    bool finished = false;
    if (capture_entry_) {
        gst_pad_send_event(capture_entry_.get(), gst_event_new_eos());
        finished = counters_.WaitFinished(limit_ms);
    }
    StopPipeline();
    CaptureStats stats = counters_.Read();
    stats.finished = finished;
    // No bytes of an earlier, longer recording stay past the end.
    if (capture_file_ && stats.file_end > 0) {
        static_cast<void>(ftruncate(capture_file_.get(), static_cast<off_t>(stats.file_end)));
    }
    counters_.Reset();
    return stats;
}

void CameraGraph::AbandonCapture() {
    counters_.Reset();
    StopPipeline();
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

void CameraGraph::CloseCaptureFile() {
    if (capture_file_) static_cast<void>(capture_file_.Close());
}

}  // namespace vemo
