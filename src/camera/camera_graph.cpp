#include "camera/camera_graph.h"

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "app/message_box.h"
#include "camera/camera_events.h"
#include "camera/frame_grabber.h"
#include "imaging/camera_publish.h"
#include "imaging/engine_state.h"
#include "imaging/published_files.h"
#include "settings/settings_store.h"

namespace vemo {

CameraGraph camera_graph;
std::optional<CaptureDevice> current_video_device;
bool current_device_lost = false;

namespace {

CameraWindowHooks window_hooks;

// The elements every graph is made of; the decoder only for cameras that
// offer Motion JPEG alone.
const std::vector<std::string> kGraphElements = {"capsfilter", "videoconvert", "appsink"};
constexpr char kJpegDecoder[] = "jpegdec";

constexpr char kConnectFailed[] =
    "Could not connect capture pin #0 to grabber.\r\nIs the capture device being used by another "
    "application?";

// Application messages the engine posts on the graph's own bus, so that every
// graph event reaches the window the same way.
constexpr char kDeviceLostMessage[] = "vemo-device-lost";
constexpr char kFramesStoppedMessage[] = "vemo-frames-stopped";

// Of the sizes a camera offers, the one nearest to the common webcam size.
constexpr int kPreferredWidth = 640;
constexpr int kPreferredHeight = 480;

// How often the lost-camera check looks at the frame counters.
constexpr GstClockTime kWatchdogInterval = 250 * GST_MSECOND;

// Read on the streaming and bus threads: whether graph events and preview
// pictures go to the window (camera_graph.media_event and video_window).
std::atomic<bool> graph_events_wanted{false};
std::atomic<bool> preview_wanted{false};

// The lost-camera check of the running preview.
GstClockID watchdog_id = nullptr;
std::atomic<std::int64_t> run_started_ns{0};
std::atomic<std::int64_t> watched_period_ns{0};
std::atomic<bool> silence_reported{false};

// When the preview was last restarted after an error, and how long a
// restarted camera must run before another error restarts it again.
std::int64_t last_restart_ns = 0;
constexpr std::int64_t kRestartQuietNs = 10'000'000'000;

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    char text[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    return text;
}

// The message as the engine words it, and what GStreamer said about the
// cause, when it said anything, on a line of its own.
void ReportLines(const std::string& message, const std::string& detail) {
    if (detail.empty()) {
        ReportError("%s", message.c_str());
    } else {
        ReportError("%s\n%s", message.c_str(), detail.c_str());
    }
}

GstElement* Pipeline() {
    return camera_graph.filter_graph.get();
}

gst::BusRef GraphBus() {
    if (Pipeline() == nullptr) return {};
    return gst::BusRef::Adopt(gst_element_get_bus(Pipeline()));
}

// A new element, owned by the returned handle (its floating reference sunk).
gst::ElementRef MakeElement(const char* factory, const char* name) {
    GstElement* element = gst_element_factory_make(factory, name);
    if (element == nullptr) return {};
    return gst::ElementRef::Adopt(GST_ELEMENT(gst_object_ref_sink(element)));
}

struct BusError {
    std::uint32_t code = kGraphFailure;
    std::string text;
};

// Takes the first error off the graph's bus.
BusError TakeBusError() {
    BusError result;
    gst::BusRef bus = GraphBus();
    if (!bus) return result;
    gst::MessagePtr message{gst_bus_pop_filtered(bus.get(), GST_MESSAGE_ERROR)};
    if (!message) return result;
    GError* raw = nullptr;
    gst_message_parse_error(message.get(), &raw, nullptr);
    gst::ErrorPtr error{raw};
    result.code = GraphErrorCode(error.get());
    if (error) result.text = error->message;
    return result;
}

void FlushGraphBus() {
    if (gst::BusRef bus = GraphBus(); bus) {
        gst_bus_set_flushing(bus.get(), TRUE);
        gst_bus_set_flushing(bus.get(), FALSE);
    }
}

// The bus's sync handler, on whatever thread posts: errors and the engine's
// own messages stay on the bus for the window, which is told to look;
// everything else is dropped at once.
GstBusSyncReply OnGraphMessage(GstBus*, GstMessage* message, gpointer) {
    const GstMessageType type = GST_MESSAGE_TYPE(message);
    if (type != GST_MESSAGE_ERROR && type != GST_MESSAGE_APPLICATION) return GST_BUS_DROP;
    if (graph_events_wanted.load()) PostEngineEvent(kGraphEvent);
    return GST_BUS_PASS;
}

// The appsink's callback, on the streaming thread.
GstFlowReturn OnNewSample(GstAppSink* sink, gpointer) {
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
    FrameGrabberCallback(view);
    if (preview_wanted.load()) OfferPreviewFrame(view);
    gst_video_frame_unmap(&frame);
    return GST_FLOW_OK;
}

// On the system clock's thread: a running camera that stopped delivering.
gboolean OnWatchdogTick(GstClock*, GstClockTime, GstClockID, gpointer user_data) {
    const GrabberCounters counters = ReadGrabberCounters();
    const bool first = counters.frames == 0;
    const std::int64_t since = first ? run_started_ns.load() : counters.last_frame_ns;
    if (SteadyNowNs() - since > FrameSilenceLimitNs(watched_period_ns.load(), first) &&
        !silence_reported.exchange(true)) {
        gst_bus_post(
            GST_BUS(user_data),
            gst_message_new_application(nullptr, gst_structure_new_empty(kFramesStoppedMessage)));
    }
    return TRUE;
}

void StopWatchdog() {
    if (watchdog_id == nullptr) return;
    gst_clock_id_unschedule(watchdog_id);
    gst_clock_id_unref(watchdog_id);
    watchdog_id = nullptr;
}

void StartWatchdog() {
    StopWatchdog();
    gst::BusRef bus = GraphBus();
    if (!bus) return;
    run_started_ns.store(SteadyNowNs());
    watched_period_ns.store(camera_graph.frame_period_ns);
    silence_reported.store(false);
    GstClock* clock = gst_system_clock_obtain();
    watchdog_id = gst_clock_new_periodic_id(clock, gst_clock_get_time(clock) + kWatchdogInterval,
                                            kWatchdogInterval);
    gst_object_unref(clock);
    // The tick holds its own reference to the bus, dropped with the id.
    gst_clock_id_wait_async(watchdog_id, OnWatchdogTick, gst_object_ref(bus.get()),
                            [](gpointer data) { gst_object_unref(data); });
}

std::vector<gst::PadRef> SourcePads(GstElement* element) {
    std::vector<gst::PadRef> pads;
    GstIterator* iterator = gst_element_iterate_src_pads(element);
    GValue item = G_VALUE_INIT;
    for (bool done = false; !done;) {
        switch (gst_iterator_next(iterator, &item)) {
            case GST_ITERATOR_OK:
                pads.push_back(gst::PadRef::Share(GST_PAD(g_value_get_object(&item))));
                g_value_reset(&item);
                break;
            case GST_ITERATOR_RESYNC:
                pads.clear();
                gst_iterator_resync(iterator);
                break;
            default:
                done = true;
                break;
        }
    }
    if (G_IS_VALUE(&item)) g_value_unset(&item);
    gst_iterator_free(iterator);
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

bool IsSystemMemory(GstCapsFeatures* features) {
    return features == nullptr ||
           gst_caps_features_is_equal(features, GST_CAPS_FEATURES_MEMORY_SYSTEM_MEMORY);
}

// Chooses, from what the camera offers, one format: raw video where offered,
// else Motion JPEG; of its sizes the one nearest 640 x 480. The rate stays as
// offered until the preview picks one.
bool ChooseFormat(std::string* why) {
    GstCaps* offered = camera_graph.device_caps.get();
    if (offered == nullptr || gst_caps_is_empty(offered) || gst_caps_is_any(offered)) {
        *why = "the camera offers no video format";
        return false;
    }
    int best = -1;
    long best_score = 0;
    int best_width = 0, best_height = 0;
    for (guint i = 0; i < gst_caps_get_size(offered); ++i) {
        if (!IsSystemMemory(gst_caps_get_features(offered, i))) continue;
        GstStructure* offer = gst_caps_get_structure(offered, i);
        const bool raw = gst_structure_has_name(offer, "video/x-raw");
        if (!raw && !gst_structure_has_name(offer, "image/jpeg")) continue;
        GstStructure* sized = gst_structure_copy(offer);
        int width = 0, height = 0;
        // Fixating a field that is fixed already leaves it (and says false).
        gst_structure_fixate_field_nearest_int(sized, "width", kPreferredWidth);
        gst_structure_fixate_field_nearest_int(sized, "height", kPreferredHeight);
        const bool fixed = gst_structure_get_int(sized, "width", &width) &&
                           gst_structure_get_int(sized, "height", &height);
        gst_structure_free(sized);
        if (!fixed || width <= 0 || height <= 0) continue;
        // Raw video needs no decoder, so it comes first whatever its size.
        const long score = (raw ? 0L : 1'000'000L) + std::labs(width - kPreferredWidth) +
                           std::labs(height - kPreferredHeight);
        if (best < 0 || score < best_score) {
            best = static_cast<int>(i);
            best_score = score;
            best_width = width;
            best_height = height;
        }
    }
    if (best < 0) {
        *why = "the camera offers neither raw video nor Motion JPEG";
        return false;
    }
    GstStructure* offer = gst_caps_get_structure(offered, static_cast<guint>(best));
    camera_graph.decode_jpeg = gst_structure_has_name(offer, "image/jpeg");
    GstStructure* chosen =
        gst_structure_new(gst_structure_get_name(offer), "width", G_TYPE_INT, best_width, "height",
                          G_TYPE_INT, best_height, nullptr);
    if (const GValue* format = gst_structure_get_value(offer, "format"); format != nullptr) {
        GstStructure* first = gst_structure_copy(offer);
        gst_structure_fixate_field(first, "format");
        gst_structure_set_value(chosen, "format", gst_structure_get_value(first, "format"));
        gst_structure_free(first);
    }
    if (const GValue* rate = gst_structure_get_value(offer, "framerate"); rate != nullptr) {
        gst_structure_set_value(chosen, "framerate", rate);
    }
    GstCaps* caps = gst_caps_new_empty();
    gst_caps_append_structure(caps, chosen);
    camera_graph.chosen_format.reset(caps);
    camera_graph.frame_width = best_width;
    camera_graph.frame_height = best_height;
    if (camera_graph.decode_jpeg) {
        if (std::string missing = MissingElement({kJpegDecoder}); !missing.empty()) {
            *why = "GStreamer element \"" + missing + "\" is not installed";
            return false;
        }
    }
    return true;
}

// Asks the camera for the chosen format at `rate` frames a second (nullopt:
// the camera's own rate). Returns false when the camera offers no rate to
// choose from; the format then stays at the camera's own rate.
bool SetFormatCaps(std::optional<double> rate) {
    GstElement* format = camera_graph.video_stream_config.get();
    if (format == nullptr || !camera_graph.chosen_format) return false;
    GstCaps* caps = gst_caps_copy(camera_graph.chosen_format.get());
    GstStructure* structure = gst_caps_get_structure(caps, 0);
    bool applied = true;
    if (rate) {
        int numerator = 0, denominator = 1;
        gst_util_double_to_fraction(*rate, &numerator, &denominator);
        // A camera offers a few rates; the nearest one is taken, as a driver
        // rounds a frame period it is given.
        int fixed_numerator = 0, fixed_denominator = 0;
        applied = numerator > 0 && gst_structure_has_field(structure, "framerate");
        if (applied) {
            gst_structure_fixate_field_nearest_fraction(structure, "framerate", numerator,
                                                        denominator);
            applied = gst_structure_get_fraction(structure, "framerate", &fixed_numerator,
                                                 &fixed_denominator) &&
                      fixed_numerator > 0;
        }
        if (!applied) {
            gst_caps_unref(caps);
            caps = gst_caps_copy(camera_graph.chosen_format.get());
            structure = gst_caps_get_structure(caps, 0);
        }
    }
    camera_graph.frame_period_ns = 0;
    int numerator = 0, denominator = 0;
    if (gst_structure_get_fraction(structure, "framerate", &numerator, &denominator) &&
        numerator > 0) {
        camera_graph.frame_period_ns = static_cast<std::int64_t>(
            gst_util_uint64_scale_int(GST_SECOND, denominator, numerator));
    }
    g_object_set(format, "caps", caps, nullptr);
    gst_caps_unref(caps);
    return applied;
}

// Puts "Format", the decoder if needed, "Convert" and "Grabber" behind the
// camera and links them. The grabber is kept across a dismantle; the others
// are made anew.
bool LinkGrabberChain(std::string* why) {
    GstElement* camera = camera_graph.video_capture.get();
    GstElement* grabber = camera_graph.grabber_filter.get();
    if (camera == nullptr || grabber == nullptr || Pipeline() == nullptr) return false;
    gst::ElementRef format = MakeElement("capsfilter", "Format");
    gst::ElementRef decoder =
        camera_graph.decode_jpeg ? MakeElement(kJpegDecoder, "Decoder") : gst::ElementRef{};
    gst::ElementRef convert = MakeElement("videoconvert", "Convert");
    const char* missing = !format                                  ? "capsfilter"
                          : (camera_graph.decode_jpeg && !decoder) ? kJpegDecoder
                          : !convert                               ? "videoconvert"
                                                                   : nullptr;
    if (missing != nullptr) {
        *why = std::string("GStreamer element \"") + missing + "\" is not installed";
        return false;
    }
    GstBin* bin = GST_BIN(Pipeline());
    gst_bin_add(bin, format.get());
    if (decoder) gst_bin_add(bin, decoder.get());
    gst_bin_add(bin, convert.get());
    if (GstObject* parent = gst_object_get_parent(GST_OBJECT(grabber)); parent != nullptr) {
        gst_object_unref(parent);
    } else {
        gst_bin_add(bin, grabber);
    }
    camera_graph.video_stream_config = format;
    SetFormatCaps(std::nullopt);
    const bool linked = gst_element_link(camera, format.get()) &&
                        (decoder ? gst_element_link(format.get(), decoder.get()) &&
                                       gst_element_link(decoder.get(), convert.get())
                                 : gst_element_link(format.get(), convert.get())) &&
                        gst_element_link(convert.get(), grabber);
    if (!linked) *why = "the camera's formats cannot be converted to 24-bit BGR";
    return linked;
}

gst::ElementRef MakeGrabber() {
    gst::ElementRef grabber = MakeElement("appsink", "Grabber");
    if (!grabber) return grabber;
    GstCaps* caps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "BGR", nullptr);
    // Frames go to the callback as they come: no clock sync, and never more
    // than one waiting, so a slow callback drops frames instead of piling up.
    g_object_set(grabber.get(), "caps", caps, "sync", FALSE, "max-buffers", 1u, "drop", TRUE,
                 "enable-last-sample", FALSE, nullptr);
    gst_caps_unref(caps);
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = OnNewSample;
    gst_app_sink_set_callbacks(GST_APP_SINK(grabber.get()), &callbacks, nullptr, nullptr);
    return grabber;
}

// Stops the pipeline without touching the published pictures.
void StopPipeline() {
    StopWatchdog();
    if (Pipeline() != nullptr) gst_element_set_state(Pipeline(), GST_STATE_NULL);
    DiscardGrabbedFrame();
    FlushGraphBus();
}

}  // namespace

void SetCameraWindowHooks(CameraWindowHooks hooks) {
    window_hooks = std::move(hooks);
}

std::string MissingElement(const std::vector<std::string>& names) {
    for (const std::string& name : names) {
        GstElementFactory* factory = gst_element_factory_find(name.c_str());
        if (factory == nullptr) return name;
        gst_object_unref(factory);
    }
    return {};
}

bool EnsureGraphBuilder(std::string* why) {
    if (camera_graph.graph_builder) return true;
    std::string reason;
    if (!EnsureGStreamer(&reason)) {
        if (why != nullptr) *why = reason;
        return false;
    }
    if (std::string missing = MissingElement(kGraphElements); !missing.empty()) {
        if (why != nullptr) *why = "GStreamer element \"" + missing + "\" is not installed";
        return false;
    }
    camera_graph.graph_builder = true;
    return true;
}

bool EnsureFilterGraph() {
    if (camera_graph.filter_graph) return true;
    GstElement* pipeline = gst_pipeline_new("camera");
    if (pipeline == nullptr) return false;
    camera_graph.filter_graph = gst::ElementRef::Adopt(GST_ELEMENT(gst_object_ref_sink(pipeline)));
    gst::BusRef bus = GraphBus();
    gst_bus_set_sync_handler(bus.get(), OnGraphMessage, nullptr, nullptr);
    return true;
}

bool BuildCameraFilters() {
    engine_state.cc_available = 0;
    std::string why;
    if (!EnsureGraphBuilder(&why)) {
        ReportLines("Cannot instantiate graph builder", why);
        return false;
    }
    camera_graph.video_capture.reset();
    if (current_video_device) {
        camera_graph.device_name = current_video_device->name.value_or("");
        if (current_video_device->device) {
            if (GstElement* made =
                    gst_device_create_element(current_video_device->device.get(), "Cap");
                made != nullptr) {
                camera_graph.video_capture =
                    gst::ElementRef::Adopt(GST_ELEMENT(gst_object_ref_sink(made)));
            }
        }
    }
    if (!camera_graph.video_capture) {
        ReportLines(Format("Error %x: Cannot create video capture filter", kGraphFailure),
                    current_video_device ? "GStreamer cannot make the camera's source element"
                                         : "no camera is chosen");
        ReleaseCameraFilters();
        return false;
    }
    if (!EnsureFilterGraph()) {
        ReportError("Cannot instantiate filtergraph");
        ReleaseCameraFilters();
        return false;
    }
    GstElement* camera = camera_graph.video_capture.get();
    if (!gst_bin_add(GST_BIN(Pipeline()), camera)) {
        ReportError("Error Cannot find video device OR %x: Cannot add vidcap to filtergraph",
                    kGraphFailure);
        ReleaseCameraFilters();
        return false;
    }
    // Opening the camera tells what it offers; a camera that has gone away or
    // cannot be opened fails here.
    if (gst_element_set_state(camera, GST_STATE_READY) == GST_STATE_CHANGE_FAILURE) {
        const BusError error = TakeBusError();
        ReportLines(Format("Error %x: Cannot create video capture filter", error.code), error.text);
        ReleaseCameraFilters();
        return false;
    }
    if (gst::PadRef pad = CameraPad(camera); pad) {
        camera_graph.device_caps.reset(gst_pad_query_caps(pad.get(), nullptr));
    }
    gst_element_set_state(camera, GST_STATE_NULL);

    camera_graph.grabber_filter = MakeGrabber();
    if (!ChooseFormat(&why) || !LinkGrabberChain(&why)) {
        ReportLines(kConnectFailed, why);
        ReleaseCameraFilters();
        return false;
    }
    if (window_hooks.resize_window) {
        window_hooks.resize_window(camera_graph.frame_width, camera_graph.frame_height);
    } else {
        engine_state.frame_width = camera_graph.frame_width;
        engine_state.frame_height = camera_graph.frame_height;
    }
    engine_state.frame_rate_settable = 1;
    // No audio device is ever chosen, and no camera here offers captions.
    engine_state.capture_audio = 0;
    engine_state.capture_cc = 0;
    return true;
}

void ReleaseCameraFilters() {
    graph_events_wanted.store(false);
    preview_wanted.store(false);
    StopPipeline();
    if (gst::BusRef bus = GraphBus(); bus)
        gst_bus_set_sync_handler(bus.get(), nullptr, nullptr, nullptr);
    // The name stays: the status bar shows it even when building failed.
    std::string device_name = std::move(camera_graph.device_name);
    camera_graph = CameraGraph{};
    camera_graph.device_name = std::move(device_name);
    // Without a pipeline nothing previews and no branch is built.
    engine_state.previewing = 0;
    engine_state.preview_graph_built = 0;
    engine_state.capture_graph_built = 0;
}

void DismantleGraph() {
    // The capture-to-file objects are released here once a capture exists.
    camera_graph.media_event = false;
    graph_events_wanted.store(false);
    camera_graph.video_window = false;
    preview_wanted.store(false);
    if (Pipeline() != nullptr) gst_element_set_state(Pipeline(), GST_STATE_NULL);
    if (camera_graph.video_capture) RemoveDownstream(camera_graph.video_capture.get());
    camera_graph.video_stream_config.reset();
    engine_state.capture_graph_built = 0;
    engine_state.preview_graph_built = 0;
}

void RemoveDownstream(GstElement* element) {
    if (element == nullptr || Pipeline() == nullptr) return;
    for (const gst::PadRef& pad : SourcePads(element)) {
        gst::PadRef peer = gst::PadRef::Adopt(gst_pad_get_peer(pad.get()));
        if (!peer || GST_PAD_DIRECTION(peer.get()) != GST_PAD_SINK) continue;
        gst::ElementRef next = gst::ElementRef::Adopt(gst_pad_get_parent_element(peer.get()));
        if (next) RemoveDownstream(next.get());
        gst_pad_unlink(pad.get(), peer.get());
        if (next && GST_OBJECT_PARENT(next.get()) == GST_OBJECT(Pipeline())) {
            gst_element_set_state(next.get(), GST_STATE_NULL);
            gst_bin_remove(GST_BIN(Pipeline()), next.get());
        }
    }
}

bool BuildPreviewBranch() {
    if (engine_state.preview_graph_built) return true;
    if (engine_state.capturing || engine_state.previewing || !camera_graph.video_capture ||
        engine_state.capture_audio) {
        return false;
    }
    if (engine_state.capture_graph_built) DismantleGraph();
    // No camera here offers a caption stream.
    if (engine_state.capture_cc) ReportError("Cannot render closed captioning");
    // Events of an earlier run are of no interest to this one.
    FlushGraphBus();
    // After a dismantle the grabber chain goes back in: every preview that
    // runs also feeds the grabber.
    std::string why;
    if (camera_graph.video_stream_config || LinkGrabberChain(&why)) {
        camera_graph.video_window = true;
        preview_wanted.store(true);
    } else {
        ReportLines("This graph cannot preview properly", why);
    }
    if (engine_state.use_frame_rate != 0 && camera_graph.video_stream_config) {
        if (!SetFormatCaps(engine_state.frame_rate)) {
            ReportError("%x: Cannot set frame rate for preview", kGraphFailure);
        }
    } else {
        SetFormatCaps(std::nullopt);
    }
    camera_graph.media_event = true;
    graph_events_wanted.store(true);
    engine_state.preview_graph_built = 1;
    return true;
}

bool RunPreview() {
    if (engine_state.previewing) return true;
    if (!engine_state.preview_graph_built) return false;
    if (Pipeline() == nullptr) {
        ReportError("Error %x: Cannot run preview graph", kGraphFailure);
        return false;
    }
    ResetGrabberCounters();
    if (gst_element_set_state(Pipeline(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        const BusError error = TakeBusError();
        gst_element_set_state(Pipeline(), GST_STATE_NULL);
        FlushGraphBus();
        ReportLines(Format("Error %x: Cannot run preview graph", error.code), error.text);
        return false;
    }
    engine_state.camera_timer = ReadSetting(SETTING_CAMERA_TIMER);
    engine_state.camera_gif_color = ReadSetting(SETTING_CAMERA_GIF_COLOR);
    engine_state.imode_camera_width = ReadSetting(SETTING_IMODE_CAMERA_WIDTH);
    PrepareCameraJobs(engine_state.frame_width, engine_state.frame_height,
                      engine_state.imode_camera_width, engine_state.camera_gif_color);
    engine_state.previewing = 1;
    if (window_hooks.set_camera_timer)
        window_hooks.set_camera_timer(engine_state.camera_timer * 1000);
    PublishCameraPreviewStarted();
    engine_state.frame_requested = 1;
    StartWatchdog();
    return true;
}

bool HaltPreview() {
    if (!engine_state.previewing) return false;
    if (Pipeline() == nullptr) {
        ReportError("Error %x: Cannot stop preview graph", kGraphFailure);
        return false;
    }
    StopWatchdog();
    if (gst_element_set_state(Pipeline(), GST_STATE_NULL) == GST_STATE_CHANGE_FAILURE) {
        const BusError error = TakeBusError();
        ReportLines(Format("Error %x: Cannot stop preview graph", error.code), error.text);
        return false;
    }
    // A frame grabbed just before the stop is not published after the off
    // pictures, and the stopped run's events are not handled any more.
    DiscardGrabbedFrame();
    FlushGraphBus();
    engine_state.previewing = 0;
    if (window_hooks.repaint) window_hooks.repaint();
    PublishCameraPreviewStopped();
    return true;
}

std::vector<GraphEvent> DrainGraphEvents() {
    std::vector<GraphEvent> events;
    gst::BusRef bus = GraphBus();
    if (!bus) return events;
    while (gst::MessagePtr message{gst_bus_pop(bus.get())}) {
        if (!camera_graph.media_event) continue;
        GraphEvent event;
        if (GST_MESSAGE_TYPE(message.get()) == GST_MESSAGE_ERROR) {
            GError* raw = nullptr;
            gst_message_parse_error(message.get(), &raw, nullptr);
            gst::ErrorPtr error{raw};
            event.code = GraphErrorCode(error.get());
            if (error) event.detail = error->message;
            if (error && error->domain == GST_RESOURCE_ERROR &&
                error->code == GST_RESOURCE_ERROR_BUSY) {
                event.kind = GraphEventKind::kDeviceBusy;
            } else if (current_video_device && !DevicePresent(*current_video_device)) {
                // A camera that vanished often shows as a read error first.
                event.kind = GraphEventKind::kDeviceLost;
                event.identity = current_video_device->identity;
            } else {
                event.kind = GraphEventKind::kErrorAbort;
            }
        } else if (GST_MESSAGE_TYPE(message.get()) == GST_MESSAGE_APPLICATION) {
            const GstStructure* structure = gst_message_get_structure(message.get());
            if (gst_structure_has_name(structure, kDeviceLostMessage)) {
                event.kind = GraphEventKind::kDeviceLost;
                const char* identity = gst_structure_get_string(structure, "identity");
                event.identity = identity != nullptr ? identity : "";
            } else if (gst_structure_has_name(structure, kFramesStoppedMessage)) {
                // Only the run that is still going counts.
                if (!engine_state.previewing || !current_video_device) continue;
                event.kind = GraphEventKind::kDeviceLost;
                event.identity = current_video_device->identity;
                event.detail = "the camera stopped delivering frames";
            } else {
                continue;
            }
        } else {
            continue;
        }
        events.push_back(std::move(event));
    }
    return events;
}

void PostDeviceLost(const std::string& identity) {
    gst::BusRef bus = GraphBus();
    if (!bus || !camera_graph.media_event) return;
    GstStructure* structure =
        gst_structure_new(kDeviceLostMessage, "identity", G_TYPE_STRING, identity.c_str(), nullptr);
    gst_bus_post(bus.get(), gst_message_new_application(nullptr, structure));
}

bool IsCurrentCamera(const std::string& identity) {
    return current_video_device && current_video_device->identity == identity;
}

void StopLostCamera() {
    current_device_lost = true;
    if (engine_state.previewing) {
        HaltPreview();
    } else {
        StopPipeline();
    }
}

bool RestartPreviewAfterError() {
    if (!engine_state.previewing) return false;
    const bool delivered = ReadGrabberCounters().frames > 0;
    // A camera that fails again soon after being restarted would keep the
    // user answering messages; it is halted instead.
    const std::int64_t now = SteadyNowNs();
    const bool recently_restarted = last_restart_ns != 0 && now - last_restart_ns < kRestartQuietNs;
    if (engine_state.camera_on == 0 || !delivered || recently_restarted) {
        HaltPreview();
        return false;
    }
    last_restart_ns = now;
    StopPipeline();
    engine_state.previewing = 0;
    return BuildPreviewBranch() && RunPreview();
}

std::uint32_t GraphErrorCode(const GError* error) {
    if (error == nullptr) return kGraphFailure;
    std::uint32_t domain = 0;
    if (error->domain == GST_CORE_ERROR) {
        domain = 1;
    } else if (error->domain == GST_LIBRARY_ERROR) {
        domain = 2;
    } else if (error->domain == GST_RESOURCE_ERROR) {
        domain = 3;
    } else if (error->domain == GST_STREAM_ERROR) {
        domain = 4;
    }
    return 0x80470000u | (domain << 8) | (static_cast<std::uint32_t>(error->code) & 0xFFu);
}

std::int64_t FrameSilenceLimitNs(std::int64_t frame_period_ns, bool first_frame) {
    const std::int64_t floor = first_frame ? 5'000'000'000 : 2'000'000'000;
    return std::max(floor, 8 * frame_period_ns);
}

}  // namespace vemo
