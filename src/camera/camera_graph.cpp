#include "camera/camera_graph.h"

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include "camera/picture_check.h"

namespace vemo {

// The bus's sync handler and the appsink's callback, on GStreamer's threads.
struct GraphCallbacks {
    // Errors, end of stream and the engine's own messages stay on the bus for
    // the window, which is told to look; everything else is dropped at once.
    // A handler that drops a message owns it: each one dropped unreleased
    // would keep its source, the pipeline among them, alive for good.
    static GstBusSyncReply OnGraphMessage(GstBus*, GstMessage* message, gpointer data) {
        const auto* graph = static_cast<const CameraGraph*>(data);
        const GstMessageType type = GST_MESSAGE_TYPE(message);
        if (type != GST_MESSAGE_ERROR && type != GST_MESSAGE_APPLICATION &&
            type != GST_MESSAGE_EOS) {
            gst_message_unref(message);
            return GST_BUS_DROP;
        }
        if (graph->media_event_.load()) graph->events_.Post(kGraphEvent);
        return GST_BUS_PASS;
    }

    static GstFlowReturn OnNewSample(GstAppSink* sink, gpointer data) {
        auto* graph = static_cast<CameraGraph*>(data);
        gst::SamplePtr sample{gst_app_sink_pull_sample(sink)};
        if (!sample) return GST_FLOW_OK;
        GstVideoInfo info;
        GstBuffer* buffer = gst_sample_get_buffer(sample.get());
        GstCaps* caps = gst_sample_get_caps(sample.get());
        if (buffer == nullptr || caps == nullptr || !gst_video_info_from_caps(&info, caps)) {
            return GST_FLOW_OK;
        }
        GstVideoFrame frame;
        if (!gst_video_frame_map(&frame, &info, buffer, GST_MAP_READ)) return GST_FLOW_OK;
        const std::size_t offset = GST_VIDEO_INFO_PLANE_OFFSET(&frame.info, 0);
        const std::size_t mapped = frame.map[0].size;
        FrameView view;
        view.data = static_cast<const std::uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0));
        view.size = mapped > offset ? mapped - offset : 0;
        view.width = GST_VIDEO_FRAME_WIDTH(&frame);
        view.height = GST_VIDEO_FRAME_HEIGHT(&frame);
        const int stride = GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0);
        view.stride = stride > 0 ? static_cast<std::size_t>(stride) : 0;
        // A camera without time stamps cannot tell its pictures apart here:
        // the last check then stands for them all.
        const std::uint64_t checked = graph->checked_picture_pts_.load();
        view.publishable = !graph->check_pictures_.load() || checked == GST_CLOCK_TIME_NONE ||
                           GST_BUFFER_PTS(buffer) == checked;
        if (graph->grab_frames_.load()) graph->grabber_.FrameGrabberCallback(view);
        if (graph->video_window_.load()) graph->grabber_.OfferPreviewFrame(view);
        gst_video_frame_unmap(&frame);
        return GST_FLOW_OK;
    }
};

namespace {

// The elements every graph is made of.
const std::vector<std::string> kGraphElements = {"capsfilter", "tee", "queue", "videoconvert",
                                                 "appsink"};

constexpr char kConnectFailed[] =
    "Could not connect capture pin #0 to grabber.\r\nIs the capture device being used by another "
    "application?";

std::vector<gst::PadRef> SourcePads(GstElement* element) {
    std::vector<gst::PadRef> pads;
    gst::IteratorPtr iterator{gst_element_iterate_src_pads(element)};
    GValue item = G_VALUE_INIT;
    for (bool done = false; !done;) {
        switch (gst_iterator_next(iterator.get(), &item)) {
            case GST_ITERATOR_OK:
                pads.push_back(gst::PadRef::Share(GST_PAD(g_value_get_object(&item))));
                g_value_reset(&item);
                break;
            case GST_ITERATOR_RESYNC:
                pads.clear();
                gst_iterator_resync(iterator.get());
                break;
            default:
                done = true;
                break;
        }
    }
    if (G_IS_VALUE(&item)) g_value_unset(&item);
    return pads;
}

// The camera's output pad: "src", else its first source pad.
gst::PadRef CameraPad(GstElement* camera) {
    if (GstPad* pad = gst_element_get_static_pad(camera, "src"); pad != nullptr) {
        return gst::PadRef::Adopt(pad);
    }
    std::vector<gst::PadRef> pads = SourcePads(camera);
    return pads.empty() ? gst::PadRef{} : pads.front();
}

}  // namespace

gst::ElementRef MakeElement(const char* factory, const char* name) {
    GstElement* element = gst_element_factory_make(factory, name);
    if (element == nullptr) return {};
    return gst::ElementRef::Adopt(GST_ELEMENT(gst_object_ref_sink(element)));
}

std::string NotInstalled(const std::string& element) {
    return "GStreamer element \"" + element + "\" is not installed";
}

std::string MissingElement(const std::vector<std::string>& names) {
    for (const std::string& name : names) {
        GstElementFactory* factory = gst_element_factory_find(name.c_str());
        if (factory == nullptr) return name;
        gst_object_unref(factory);
    }
    return {};
}

CameraGraph::CameraGraph() = default;

CameraGraph::~CameraGraph() {
    ReleaseCameraFilters();
}

bool CameraGraph::EnsureGraphBuilder(std::string* why) {
    if (graph_builder_) return true;
    std::string reason;
    if (!EnsureGStreamer(&reason)) {
        if (why != nullptr) *why = reason;
        return false;
    }
    if (std::string missing = MissingElement(kGraphElements); !missing.empty()) {
        if (why != nullptr) *why = NotInstalled(missing);
        return false;
    }
    graph_builder_ = true;
    return true;
}

bool CameraGraph::EnsureFilterGraph() {
    if (filter_graph_) return true;
    GstElement* pipeline = gst_pipeline_new("camera");
    if (pipeline == nullptr) return false;
    filter_graph_ = gst::ElementRef::Adopt(GST_ELEMENT(gst_object_ref_sink(pipeline)));
    gst_bus_set_sync_handler(GraphBus().get(), GraphCallbacks::OnGraphMessage, this, nullptr);
    return true;
}

gst::BusRef CameraGraph::GraphBus() const {
    if (!filter_graph_) return {};
    return gst::BusRef::Adopt(gst_element_get_bus(filter_graph_.get()));
}

CameraResult CameraGraph::BuildFailure(CameraMessage message) {
    ReleaseCameraFilters();
    return CameraResult::Failure(std::move(message));
}

CameraResult CameraGraph::BuildCameraFilters(const std::optional<CaptureDevice>& device,
                                             std::optional<FrameSize> size) {
    std::string why;
    if (!EnsureGraphBuilder(&why)) {
        return CameraResult::Failure({"Cannot instantiate graph builder", 0, why});
    }
    video_capture_.reset();
    if (device) {
        device_name_ = device->name.value_or("");
        if (device->device) {
            if (GstElement* made = gst_device_create_element(device->device.get(), "Cap");
                made != nullptr) {
                video_capture_ = gst::ElementRef::Adopt(GST_ELEMENT(gst_object_ref_sink(made)));
            }
        }
    }
    if (!video_capture_) {
        return BuildFailure(
            {"Error " + HexCode(kGraphFailure) + ": Cannot create video capture filter",
             kGraphFailure,
             device ? "GStreamer cannot make the camera's source element" : "no camera is chosen"});
    }
    if (!EnsureFilterGraph()) return BuildFailure({"Cannot instantiate filtergraph", 0, {}});
    GstElement* camera = video_capture_.get();
    if (!gst_bin_add(GST_BIN(filter_graph_.get()), camera)) {
        return BuildFailure({"Error Cannot find video device OR " + HexCode(kGraphFailure) +
                                 ": Cannot add vidcap to filtergraph",
                             kGraphFailure,
                             {}});
    }
    // Opening the camera tells what it offers; a camera that has gone away or
    // cannot be opened fails here.
    if (gst_element_set_state(camera, GST_STATE_READY) == GST_STATE_CHANGE_FAILURE) {
        const BusError error = TakeBusError();
        return BuildFailure(
            {"Error " + HexCode(error.code) + ": Cannot create video capture filter", error.code,
             error.text});
    }
    gst::CapsPtr offered;
    if (gst::PadRef pad = CameraPad(camera); pad) {
        offered.reset(gst_pad_query_caps(pad.get(), nullptr));
    }
    gst_element_set_state(camera, GST_STATE_NULL);

    grabber_filter_ = MakeElement("appsink", "Grabber");
    if (grabber_filter_) {
        gst::CapsPtr caps{
            gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "BGR", nullptr)};
        // Frames go to the callback as they come: no clock sync, and never more
        // than one waiting, so a slow callback drops frames instead of piling up.
        g_object_set(grabber_filter_.get(), "caps", caps.get(), "sync", FALSE, "max-buffers", 1u,
                     "drop", TRUE, "enable-last-sample", FALSE, nullptr);
        GstAppSinkCallbacks callbacks{};
        callbacks.new_sample = GraphCallbacks::OnNewSample;
        gst_app_sink_set_callbacks(GST_APP_SINK(grabber_filter_.get()), &callbacks, this, nullptr);
    }
    format_ = ChooseFormat(offered.get(), why, size ? size : device->preferred_size);
    if (!format_ || !LinkGrabberChain(why)) return BuildFailure({kConnectFailed, 0, why});
    return {};
}

void CameraGraph::ReleaseCameraFilters() {
    media_event_.store(false);
    video_window_.store(false);
    StopPipeline();
    if (gst::BusRef bus = GraphBus(); bus) {
        gst_bus_set_sync_handler(bus.get(), nullptr, nullptr, nullptr);
    }
    if (grabber_filter_) {
        GstAppSinkCallbacks none{};
        gst_app_sink_set_callbacks(GST_APP_SINK(grabber_filter_.get()), &none, nullptr, nullptr);
    }
    graph_builder_ = false;
    split_.reset();
    grab_frames_.store(true);
    grabber_filter_.reset();
    video_stream_config_.reset();
    video_capture_.reset();
    filter_graph_.reset();
    format_.reset();
    frame_period_ns_ = 0;
    asked_rate_ = {};
    // Without a pipeline nothing previews and no branch is built.
    previewing_ = false;
    capture_running_ = false;
    preview_graph_built_ = false;
    capture_graph_built_ = false;
}

void CameraGraph::DismantleGraph() {
    media_event_.store(false);
    video_window_.store(false);
    if (filter_graph_) gst_element_set_state(filter_graph_.get(), GST_STATE_NULL);
    capture_running_ = false;
    if (video_capture_) RemoveDownstream(video_capture_.get());
    video_stream_config_.reset();
    split_.reset();
    grab_frames_.store(true);
    capture_graph_built_ = false;
    preview_graph_built_ = false;
}

void CameraGraph::RemoveDownstream(GstElement* element) {
    GstElement* pipeline = filter_graph_.get();
    if (element == nullptr || pipeline == nullptr) return;
    for (const gst::PadRef& pad : SourcePads(element)) {
        gst::PadRef peer = gst::PadRef::Adopt(gst_pad_get_peer(pad.get()));
        if (!peer || GST_PAD_DIRECTION(peer.get()) != GST_PAD_SINK) continue;
        gst::ElementRef next = gst::ElementRef::Adopt(gst_pad_get_parent_element(peer.get()));
        if (next) RemoveDownstream(next.get());
        gst_pad_unlink(pad.get(), peer.get());
        if (next && GST_OBJECT_PARENT(next.get()) == GST_OBJECT(pipeline)) {
            gst_element_set_state(next.get(), GST_STATE_NULL);
            gst_bin_remove(GST_BIN(pipeline), next.get());
        }
    }
}

// Puts the chain behind the camera and links it:
//
//   camera -> "Format" -> "Split" (tee) -> "PreviewQueue" -> ["Decoder"]
//     -> "Convert" -> "Grabber"
//
// A recording hangs its file branch on the split while the chain runs. The
// grabber is kept across a dismantle; the others are made anew.
bool CameraGraph::LinkGrabberChain(std::string& why) {
    GstElement* camera = video_capture_.get();
    GstElement* grabber = grabber_filter_.get();
    if (camera == nullptr || grabber == nullptr || !filter_graph_ || !format_) return false;
    const bool decode = format_->decode_jpeg;
    gst::ElementRef format = MakeElement("capsfilter", "Format");
    gst::ElementRef split = MakeElement("tee", "Split");
    gst::ElementRef queue = MakeElement("queue", "PreviewQueue");
    gst::ElementRef decoder = decode ? MakeElement(kJpegDecoder, "Decoder") : gst::ElementRef{};
    gst::ElementRef convert = MakeElement("videoconvert", "Convert");
    const char* missing = !format                ? "capsfilter"
                          : !split               ? "tee"
                          : !queue               ? "queue"
                          : (decode && !decoder) ? kJpegDecoder
                          : !convert             ? "videoconvert"
                                                 : nullptr;
    if (missing != nullptr) {
        why = NotInstalled(missing);
        return false;
    }
    // The split goes on feeding the preview while a recording's branch comes
    // and goes; the preview never holds the camera back (the newest frames
    // count, older ones go).
    g_object_set(split.get(), "allow-not-linked", TRUE, nullptr);
    g_object_set(queue.get(), "leaky", 2, "max-size-buffers", 2u, "max-size-bytes", 0u,
                 "max-size-time", guint64{0}, nullptr);
    GstBin* bin = GST_BIN(filter_graph_.get());
    gst_bin_add_many(bin, format.get(), split.get(), queue.get(), convert.get(), nullptr);
    checked_picture_pts_.store(kNoPictureChecked);
    if (decoder) gst_bin_add(bin, decoder.get());
    if (GstObject* parent = gst_object_get_parent(GST_OBJECT(grabber)); parent != nullptr) {
        gst_object_unref(parent);
    } else {
        gst_bin_add(bin, grabber);
    }
    video_stream_config_ = format;
    split_ = split;
    check_pictures_.store(decode);
    SetFormatCaps(std::nullopt);
    const bool linked =
        gst_element_link_many(camera, format.get(), split.get(), queue.get(), nullptr) &&
        (decoder ? gst_element_link_many(queue.get(), decoder.get(), convert.get(), nullptr)
                 : gst_element_link(queue.get(), convert.get())) &&
        gst_element_link(convert.get(), grabber);
    if (!linked) {
        why = "the camera's formats cannot be converted to 24-bit BGR";
        return false;
    }
    if (decoder) {
        // A broken picture costs that picture, never the stream: by default
        // the decoder gives up after ten in a row.
        g_object_set(decoder.get(), "max-errors", -1, nullptr);
    }
    // Every picture entering the split is judged once: one the camera sent
    // broken or not of its format is marked corrupted, so that the preview
    // drops it before its decoder and a recording's file branch counts it as
    // dropped and never writes it. Both counts feed the lost-camera check: a
    // camera that sends only unusable pictures is still there.
    const gst::PadRef entry = gst::PadRef::Adopt(gst_element_get_static_pad(split.get(), "sink"));
    gst_pad_add_probe(
        entry.get(), GST_PAD_PROBE_TYPE_BUFFER,
        [](GstPad* pad, GstPadProbeInfo* info, gpointer data) {
            auto* graph = static_cast<CameraGraph*>(data);
            const std::int64_t now = SteadyNowNs();
            graph->camera_pictures_.Note(now);
            GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
            if (graph->check_pictures_.load() && !IsUsablePicture(pad, buffer)) {
                // Only the buffer's header is copied when it is shared.
                buffer = gst_buffer_make_writable(buffer);
                GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_CORRUPTED);
                GST_PAD_PROBE_INFO_DATA(info) = buffer;
                return GST_PAD_PROBE_OK;
            }
            graph->usable_pictures_.Note(now);
            return GST_PAD_PROBE_OK;
        },
        this, nullptr);
    // Frames nobody looks at (a recording with the camera off, or more than
    // the preview draws and publishing takes) are not decoded or converted.
    // While a frame is requested for publishing, a Motion JPEG picture is
    // first decoded to its end: one cut short and closed with an end marker
    // looks whole, and a decoder fills its missing rows with grey.
    const gst::PadRef preview = gst::PadRef::Adopt(gst_element_get_static_pad(queue.get(), "sink"));
    gst_pad_add_probe(
        preview.get(), GST_PAD_PROBE_TYPE_BUFFER,
        [](GstPad*, GstPadProbeInfo* info, gpointer data) {
            auto* graph = static_cast<CameraGraph*>(data);
            if (!graph->grab_frames_.load() ||
                !graph->grabber_.WantsFrame(graph->video_window_.load())) {
                return GST_PAD_PROBE_DROP;
            }
            GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
            if (IsCorruptedPicture(buffer)) return GST_PAD_PROBE_DROP;
            if (graph->check_pictures_.load() &&
                graph->grabber_.frame_buffer().frame_requested.load()) {
                if (!DecodesWholePicture(buffer)) return GST_PAD_PROBE_DROP;
                graph->checked_picture_pts_.store(GST_BUFFER_PTS(buffer));
            }
            return GST_PAD_PROBE_OK;
        },
        this, nullptr);
    return true;
}

}  // namespace vemo
