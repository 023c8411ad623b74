#include "devices/test_camera_sources.h"

#include <fcntl.h>
#include <gst/base/gstpushsrc.h>
#include <gst/gst.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "base/unique_fd.h"
#include "camera/camera_graph.h"

namespace vemo {
namespace {

// What one replay source holds; its fields are touched by the streaming
// thread while it runs, by start and stop otherwise.
struct ReplayRun {
    std::shared_ptr<const ReplayFile> file;
    UniqueFd fd;
    std::uint64_t frame = 0;  // sent in this run
    GstClockTime first = GST_CLOCK_TIME_NONE;
};

// What one webcam-like camera holds.
struct WebcamParts {
    WebcamBuilt built;
    std::vector<gst::ElementRef> inside;
};

GstClockTime FramePeriod(const ReplayFile& file) {
    return gst_util_uint64_scale_int(GST_SECOND, file.rate_denominator, file.rate_numerator);
}

}  // namespace
}  // namespace vemo

struct VemoReplaySource {
    GstPushSrc parent;
    vemo::ReplayRun* run;  // owned; freed in finalize
};
struct VemoReplaySourceClass {
    GstPushSrcClass parent_class;
};
struct VemoWebcam {
    GstBin parent;
    vemo::WebcamParts* parts;  // owned; freed in finalize
    GstPad* output;            // the ghost "src" pad, owned by the element
};
struct VemoWebcamClass {
    GstBinClass parent_class;
};

G_DEFINE_TYPE(VemoReplaySource, vemo_replay_source, GST_TYPE_PUSH_SRC)
G_DEFINE_TYPE(VemoWebcam, vemo_webcam, GST_TYPE_BIN)

namespace {

GstStaticPadTemplate replay_template =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS("image/jpeg"));
GstStaticPadTemplate webcam_template = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS("video/x-raw,format=YUY2;image/jpeg"));

vemo::ReplayRun& RunOf(GstBaseSrc* source) {
    return *reinterpret_cast<VemoReplaySource*>(source)->run;
}

GstCaps* ReplayGetCaps(GstBaseSrc* source, GstCaps* filter) {
    const vemo::ReplayRun& run = RunOf(source);
    if (!run.file) return gst_caps_new_empty();
    GstCaps* caps = vemo::ReplayCaps(*run.file).release();
    if (filter == nullptr) return caps;
    GstCaps* both = gst_caps_intersect_full(filter, caps, GST_CAPS_INTERSECT_FIRST);
    gst_caps_unref(caps);
    return both;
}

gboolean ReplayStart(GstBaseSrc* source) {
    vemo::ReplayRun& run = RunOf(source);
    run.frame = 0;
    run.first = GST_CLOCK_TIME_NONE;
    if (!run.file) return FALSE;
    run.fd.reset(::open(run.file->path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!run.fd) {
        GST_ELEMENT_ERROR(source, RESOURCE, OPEN_READ,
                          ("Cannot open the replay file \"%s\"", run.file->path.c_str()),
                          ("%s", std::strerror(errno)));
        return FALSE;
    }
    return TRUE;
}

gboolean ReplayStop(GstBaseSrc* source) {
    RunOf(source).fd.reset();
    return TRUE;
}

// As a live source: waited for until the clock reaches its timestamp.
void ReplayGetTimes(GstBaseSrc*, GstBuffer* buffer, GstClockTime* start, GstClockTime* end) {
    *start = GST_BUFFER_PTS(buffer);
    *end = GST_CLOCK_TIME_IS_VALID(*start) && GST_BUFFER_DURATION_IS_VALID(buffer)
               ? *start + GST_BUFFER_DURATION(buffer)
               : GST_CLOCK_TIME_NONE;
}

// A picture is ready one frame period after it was taken, as a camera's.
gboolean ReplayQuery(GstBaseSrc* source, GstQuery* query) {
    const vemo::ReplayRun& run = RunOf(source);
    if (GST_QUERY_TYPE(query) == GST_QUERY_LATENCY && run.file) {
        const GstClockTime period = vemo::FramePeriod(*run.file);
        gst_query_set_latency(query, TRUE, period, period);
        return TRUE;
    }
    return GST_BASE_SRC_CLASS(vemo_replay_source_parent_class)->query(source, query);
}

GstFlowReturn ReplayCreate(GstPushSrc* push, GstBuffer** out) {
    GstBaseSrc* source = GST_BASE_SRC(push);
    vemo::ReplayRun& run = RunOf(source);
    const vemo::ReplayFile& file = *run.file;
    const vemo::ReplayPicture& picture = file.pictures[run.frame % file.pictures.size()];
    GstBuffer* buffer = gst_buffer_new_allocate(nullptr, picture.size, nullptr);
    GstMapInfo map;
    bool read = false;
    errno = 0;
    if (buffer != nullptr && gst_buffer_map(buffer, &map, GST_MAP_WRITE)) {
        read = vemo::ReadReplayPicture(run.fd.get(), picture, map.data);
        gst_buffer_unmap(buffer, &map);
    }
    if (!read) {
        const int error = errno;
        if (buffer != nullptr) gst_buffer_unref(buffer);
        GST_ELEMENT_ERROR(source, RESOURCE, READ,
                          ("Cannot read the replay file \"%s\"", file.path.c_str()),
                          ("%s", error != 0 ? std::strerror(error) : "the file got shorter"));
        return GST_FLOW_ERROR;
    }
    // The first picture is taken now; the others follow at the file's rate.
    if (!GST_CLOCK_TIME_IS_VALID(run.first)) {
        run.first = 0;
        if (GstClock* clock = gst_element_get_clock(GST_ELEMENT(source)); clock != nullptr) {
            const GstClockTime now = gst_clock_get_time(clock);
            const GstClockTime base = gst_element_get_base_time(GST_ELEMENT(source));
            if (now > base) run.first = now - base;
            gst_object_unref(clock);
        }
    }
    const GstClockTime period = vemo::FramePeriod(file);
    GST_BUFFER_PTS(buffer) =
        run.first + gst_util_uint64_scale(run.frame, GST_SECOND * file.rate_denominator,
                                          static_cast<guint64>(file.rate_numerator));
    GST_BUFFER_DURATION(buffer) = period;
    GST_BUFFER_OFFSET(buffer) = run.frame;
    GST_BUFFER_OFFSET_END(buffer) = run.frame + 1;
    ++run.frame;
    *out = buffer;
    return GST_FLOW_OK;
}

void ReplayFinalize(GObject* object) {
    std::unique_ptr<vemo::ReplayRun>(reinterpret_cast<VemoReplaySource*>(object)->run);
    G_OBJECT_CLASS(vemo_replay_source_parent_class)->finalize(object);
}

}  // namespace

static void vemo_replay_source_class_init(VemoReplaySourceClass* klass) {
    G_OBJECT_CLASS(klass)->finalize = ReplayFinalize;
    GstElementClass* element_class = GST_ELEMENT_CLASS(klass);
    gst_element_class_add_static_pad_template(element_class, &replay_template);
    gst_element_class_set_static_metadata(element_class, "Vemo replay camera", "Source/Video",
                                          "Sends a Motion JPEG file's pictures as a camera",
                                          "Vemo");
    GstBaseSrcClass* base_class = GST_BASE_SRC_CLASS(klass);
    base_class->get_caps = ReplayGetCaps;
    base_class->start = ReplayStart;
    base_class->stop = ReplayStop;
    base_class->get_times = ReplayGetTimes;
    base_class->query = ReplayQuery;
    GST_PUSH_SRC_CLASS(klass)->create = ReplayCreate;
}

static void vemo_replay_source_init(VemoReplaySource* source) {
    source->run = std::make_unique<vemo::ReplayRun>().release();
    gst_base_src_set_live(GST_BASE_SRC(source), TRUE);
    gst_base_src_set_format(GST_BASE_SRC(source), GST_FORMAT_TIME);
}

namespace {

vemo::WebcamParts& PartsOf(GstElement* element) {
    return *reinterpret_cast<VemoWebcam*>(element)->parts;
}

// Until it is built inside, the camera answers with the modes it offers.
gboolean WebcamOutputQuery(GstPad* pad, GstObject* parent, GstQuery* query) {
    if (GST_QUERY_TYPE(query) == GST_QUERY_CAPS) {
        if (GstPad* target = gst_ghost_pad_get_target(GST_GHOST_PAD(pad)); target != nullptr) {
            gst_object_unref(target);
        } else {
            GstCaps* filter = nullptr;
            gst_query_parse_caps(query, &filter);
            const vemo::gst::CapsPtr offered = vemo::WebcamCaps();
            const vemo::gst::CapsPtr answer{
                filter != nullptr
                    ? gst_caps_intersect_full(filter, offered.get(), GST_CAPS_INTERSECT_FIRST)
                    : gst_caps_ref(offered.get())};
            gst_query_set_caps_result(query, answer.get());
            return TRUE;
        }
    }
    return gst_pad_query_default(pad, parent, query);
}

void TearDownInside(GstElement* camera) {
    vemo::WebcamParts& parts = PartsOf(camera);
    gst_ghost_pad_set_target(GST_GHOST_PAD(reinterpret_cast<VemoWebcam*>(camera)->output), nullptr);
    for (const vemo::gst::ElementRef& element : parts.inside) {
        gst_element_set_state(element.get(), GST_STATE_NULL);
        gst_bin_remove(GST_BIN(camera), element.get());
    }
    parts.inside.clear();
}

// Builds the camera's insides for the mode downstream asks for: the first
// of what it accepts of the camera's modes, fixated.
bool BuildInside(GstElement* camera) {
    vemo::WebcamParts& parts = PartsOf(camera);
    GstPad* output = reinterpret_cast<VemoWebcam*>(camera)->output;
    const vemo::gst::CapsPtr offered = vemo::WebcamCaps();
    vemo::gst::CapsPtr wanted{gst_pad_peer_query_caps(output, offered.get())};
    if (!wanted || gst_caps_is_empty(wanted.get())) wanted.reset(gst_caps_copy(offered.get()));
    wanted.reset(gst_caps_fixate(wanted.release()));
    const GstStructure* mode = gst_caps_get_structure(wanted.get(), 0);
    int width = 0, height = 0, numerator = 0, denominator = 1;
    gst_structure_get_int(mode, "width", &width);
    gst_structure_get_int(mode, "height", &height);
    gst_structure_get_fraction(mode, "framerate", &numerator, &denominator);
    const bool jpeg = gst_structure_has_name(mode, "image/jpeg");

    vemo::gst::ElementRef pattern = vemo::MakeElement("videotestsrc", "pattern");
    vemo::gst::ElementRef balance = vemo::MakeElement("videobalance", "balance");
    vemo::gst::ElementRef raw = vemo::MakeElement("capsfilter", "raw");
    vemo::gst::ElementRef encoder =
        jpeg ? vemo::MakeElement("jpegenc", "encoder") : vemo::gst::ElementRef{};
    const char* missing = !pattern           ? "videotestsrc"
                          : !balance         ? "videobalance"
                          : !raw             ? "capsfilter"
                          : jpeg && !encoder ? "jpegenc"
                                             : nullptr;
    if (missing != nullptr) {
        GST_ELEMENT_ERROR(camera, CORE, MISSING_PLUGIN, ("%s", vemo::NotInstalled(missing).c_str()),
                          (nullptr));
        return false;
    }
    g_object_set(pattern.get(), "is-live", TRUE, nullptr);
    const vemo::gst::CapsPtr raw_caps{
        gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, jpeg ? "I420" : "YUY2", "width",
                            G_TYPE_INT, width, "height", G_TYPE_INT, height, "framerate",
                            GST_TYPE_FRACTION, numerator, denominator, nullptr)};
    g_object_set(raw.get(), "caps", raw_caps.get(), nullptr);
    parts.inside = {pattern, balance, raw};
    if (encoder) parts.inside.push_back(encoder);
    for (const vemo::gst::ElementRef& element : parts.inside) {
        gst_bin_add(GST_BIN(camera), element.get());
        // At the bin's state, from which the bin takes them on.
        gst_element_set_state(element.get(), GST_STATE_READY);
    }
    bool linked = true;
    for (std::size_t i = 1; i < parts.inside.size(); ++i)
        linked = linked && gst_element_link(parts.inside[i - 1].get(), parts.inside[i].get());
    const vemo::gst::PadRef last =
        vemo::gst::PadRef::Adopt(gst_element_get_static_pad(parts.inside.back().get(), "src"));
    if (!linked || !gst_ghost_pad_set_target(GST_GHOST_PAD(output), last.get())) {
        GST_ELEMENT_ERROR(camera, CORE, NEGOTIATION, ("The test camera cannot be built"),
                          (nullptr));
        return false;
    }
    if (parts.built) parts.built(pattern.get(), balance.get());
    return true;
}

GstStateChangeReturn WebcamChangeState(GstElement* camera, GstStateChange transition) {
    if (transition == GST_STATE_CHANGE_READY_TO_PAUSED && !BuildInside(camera)) {
        TearDownInside(camera);
        return GST_STATE_CHANGE_FAILURE;
    }
    const GstStateChangeReturn result =
        GST_ELEMENT_CLASS(vemo_webcam_parent_class)->change_state(camera, transition);
    if (transition == GST_STATE_CHANGE_PAUSED_TO_READY ||
        (transition == GST_STATE_CHANGE_READY_TO_PAUSED && result == GST_STATE_CHANGE_FAILURE)) {
        TearDownInside(camera);
    }
    return result;
}

void WebcamFinalize(GObject* object) {
    std::unique_ptr<vemo::WebcamParts>(reinterpret_cast<VemoWebcam*>(object)->parts);
    G_OBJECT_CLASS(vemo_webcam_parent_class)->finalize(object);
}

}  // namespace

static void vemo_webcam_class_init(VemoWebcamClass* klass) {
    G_OBJECT_CLASS(klass)->finalize = WebcamFinalize;
    GstElementClass* element_class = GST_ELEMENT_CLASS(klass);
    element_class->change_state = WebcamChangeState;
    gst_element_class_add_static_pad_template(element_class, &webcam_template);
    gst_element_class_set_static_metadata(element_class, "Vemo webcam-like camera", "Source/Video",
                                          "A USB webcam's modes from a pattern", "Vemo");
}

static void vemo_webcam_init(VemoWebcam* camera) {
    camera->parts = std::make_unique<vemo::WebcamParts>().release();
    camera->output = gst_ghost_pad_new_no_target("src", GST_PAD_SRC);
    gst_pad_set_query_function(camera->output, WebcamOutputQuery);
    gst_element_add_pad(GST_ELEMENT(camera), camera->output);
}

namespace vemo {

gst::CapsPtr ReplayCaps(const ReplayFile& file) {
    return gst::CapsPtr{gst_caps_new_simple(
        "image/jpeg", "width", G_TYPE_INT, file.size.width, "height", G_TYPE_INT, file.size.height,
        "framerate", GST_TYPE_FRACTION, file.rate_numerator, file.rate_denominator, nullptr)};
}

gst::ElementRef MakeReplaySource(std::shared_ptr<const ReplayFile> file, const char* name) {
    auto* source = static_cast<VemoReplaySource*>(
        g_object_new(vemo_replay_source_get_type(), "name", name, nullptr));
    source->run->file = std::move(file);
    return gst::ElementRef::Adopt(GST_ELEMENT(gst_object_ref_sink(source)));
}

gst::CapsPtr WebcamCaps() {
    gst::CapsPtr caps{gst_caps_new_empty()};
    for (const FrameSize size : {FrameSize{320, 240}, FrameSize{640, 480}}) {
        GValue rates = G_VALUE_INIT;
        g_value_init(&rates, GST_TYPE_LIST);
        for (int rate : {30, 15}) {
            GValue value = G_VALUE_INIT;
            g_value_init(&value, GST_TYPE_FRACTION);
            gst_value_set_fraction(&value, rate, 1);
            gst_value_list_append_value(&rates, &value);
            g_value_unset(&value);
        }
        GstStructure* structure =
            gst_structure_new("video/x-raw", "format", G_TYPE_STRING, "YUY2", "width", G_TYPE_INT,
                              size.width, "height", G_TYPE_INT, size.height, nullptr);
        gst_structure_take_value(structure, "framerate", &rates);
        gst_caps_append_structure(caps.get(), structure);
    }
    for (const FrameSize size : {FrameSize{1280, 720}, FrameSize{1920, 1080}}) {
        gst_caps_append_structure(
            caps.get(),
            gst_structure_new("image/jpeg", "width", G_TYPE_INT, size.width, "height", G_TYPE_INT,
                              size.height, "framerate", GST_TYPE_FRACTION, 30, 1, nullptr));
    }
    return caps;
}

gst::ElementRef MakeWebcam(const char* name, WebcamBuilt built) {
    auto* camera =
        static_cast<VemoWebcam*>(g_object_new(vemo_webcam_get_type(), "name", name, nullptr));
    camera->parts->built = std::move(built);
    return gst::ElementRef::Adopt(GST_ELEMENT(gst_object_ref_sink(camera)));
}

}  // namespace vemo
