// The recording's file branch: its elements, linked in the order recorder.h
// draws, and the probes that count what goes through it.

#include <gst/gst.h>

#include <algorithm>

#include "camera/camera_graph.h"
#include "camera/graph_events.h"
#include "camera/picture_check.h"
#include "camera/recorder.h"

namespace vemo {
namespace {

// Raw frames are coded as JPEG readers read them: full-range samples. Camera
// frames are usually video range (black 16, white 235), and coded unchanged
// they play washed out. videoconvert keeps the range between two YUV
// formats, and a detour through RGB triples the cost of coding, so the
// samples are stretched in place: Y' = (Y - 16) * 255 / 219 and
// C' = (C - 128) * 255 / 224 + 128, which is what videobalance does with
// these settings (its tables make it cheap).
constexpr char kPlanarCaps[] = "video/x-raw,format=I420";
constexpr double kFullRangeContrast = 255.0 / 219.0;
constexpr double kFullRangeBrightness = -16.0 / 255.0;
constexpr double kFullRangeSaturation = 255.0 / 224.0;

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

// Frames entering the branch: counted while recording, dropped once the
// recording is being finished. A picture the camera graph's split marked as
// unusable (a Motion JPEG camera's picture cut short, with garbage in its
// header or not of the camera's format) counts as dropped and never reaches
// the file.
GstPadProbeReturn OnCaptureEntry(GstPad*, GstPadProbeInfo* info, gpointer data) {
    auto* counters = static_cast<CaptureCounters*>(data);
    GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    if (counters->stopping()) return GST_PAD_PROBE_DROP;
    counters->FrameIn(GST_BUFFER_OFFSET(buffer), GST_BUFFER_OFFSET_IS_VALID(buffer));
    if (IsCorruptedPicture(buffer)) return GST_PAD_PROBE_DROP;
    return GST_PAD_PROBE_OK;
}

// Coded frames entering the multiplexer, none once the file has no more room.
GstPadProbeReturn OnFrameToFile(GstPad*, GstPadProbeInfo* info, gpointer data) {
    if (static_cast<CaptureCounters*>(data)->no_room()) return GST_PAD_PROBE_DROP;
    static_cast<CaptureCounters*>(data)->FrameWritten(
        gst_buffer_get_size(GST_PAD_PROBE_INFO_BUFFER(info)));
    return GST_PAD_PROBE_OK;
}

// What the writer writes where: the multiplexer seeks back to finish the
// header, so the file's end is the furthest byte written, and its end of
// stream means the index is in the file.
struct WriterPosition {
    CaptureCounters* counters;
    Recorder::EndSignal* end;
    FileRoom* room;
    std::uint64_t position = 0;
    std::uint64_t furthest = 0;
    bool out_of_room = false;
};

// Keeps room ahead of the writer. Once there is none, no more frames come in
// and the engine is told to finish the recording: what is on its way and the
// index still fit in the room held.
void KeepRoom(GstPad* pad, WriterPosition& writer) {
    if (writer.out_of_room) return;
    const Result<> room = writer.room->MakeRoom(writer.furthest, writer.counters->frames_written());
    if (room) return;
    writer.out_of_room = true;
    writer.counters->NoRoom();
    gst::ElementRef element = gst::ElementRef::Adopt(gst_pad_get_parent_element(pad));
    if (!element) return;
    GstStructure* structure = gst_structure_new(kNoRoomMessage, "reason", G_TYPE_STRING,
                                                room.error().text.c_str(), nullptr);
    gst_element_post_message(element.get(),
                             gst_message_new_application(GST_OBJECT(element.get()), structure));
}

GstPadProbeReturn OnWriter(GstPad* pad, GstPadProbeInfo* info, gpointer data) {
    auto* writer = static_cast<WriterPosition*>(data);
    if ((GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_BUFFER) != 0) {
        // A recording that ends before its first frame would leave only a
        // header with no stream format in place of what the file held.
        if (!writer->counters->frame_written()) return GST_PAD_PROBE_DROP;
        writer->position += gst_buffer_get_size(GST_PAD_PROBE_INFO_BUFFER(info));
        writer->counters->WriterAt(writer->position);
        writer->furthest = std::max(writer->furthest, writer->position);
        KeepRoom(pad, *writer);
        return GST_PAD_PROBE_OK;
    }
    GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
    if (GST_EVENT_TYPE(event) == GST_EVENT_SEGMENT) {
        const GstSegment* segment = nullptr;
        gst_event_parse_segment(event, &segment);
        if (segment->format == GST_FORMAT_BYTES) writer->position = segment->start;
    } else if (GST_EVENT_TYPE(event) == GST_EVENT_EOS) {
        writer->counters->WriterFinished();
        writer->end->End();
    }
    return GST_PAD_PROBE_OK;
}

void AddProbe(GstElement* element, const char* pad_name, GstPadProbeType type,
              GstPadProbeCallback callback, gpointer data, GDestroyNotify destroy = nullptr) {
    const gst::PadRef pad = gst::PadRef::Adopt(gst_element_get_static_pad(element, pad_name));
    if (pad) gst_pad_add_probe(pad.get(), type, callback, data, destroy);
}

}  // namespace

bool Recorder::LinkBranch(bool jpeg_frames, CameraResult& result) {
    gst::ElementRef queue = MakeLeakyQueue("CaptureQueue", 60);
    gst::ElementRef valve = MakeElement("valve", "StreamControl");
    gst::ElementRef convert, planar, range, encoder;
    if (!jpeg_frames) {
        convert = MakeElement("videoconvert", "CaptureConvert");
        planar = MakeElement("capsfilter", "Planar");
        range = MakeElement("videobalance", "FullRange");
        encoder = MakeElement("jpegenc", "Encoder");
        if (!convert || !planar || !range || !encoder) {
            result.Warn({"Cannot render video capture stream", 0,
                         NotInstalled(!convert  ? "videoconvert"
                                      : !planar ? "capsfilter"
                                      : !range  ? "videobalance"
                                                : "jpegenc")});
            return false;
        }
        gst::CapsPtr caps{gst_caps_from_string(kPlanarCaps)};
        g_object_set(planar.get(), "caps", caps.get(), nullptr);
        g_object_set(range.get(), "contrast", kFullRangeContrast, "brightness",
                     kFullRangeBrightness, "saturation", kFullRangeSaturation, nullptr);
    }
    gst::ElementRef mux = MakeElement("avimux", "Mux");
    gst::ElementRef writer = MakeElement("fdsink", "Writer");
    g_object_set(valve.get(), "drop", TRUE, nullptr);
    g_object_set(writer.get(), "fd", file_.get(), "sync", FALSE, "async", FALSE, nullptr);

    gst::ElementRef branch = MakeElement("bin", "FileBranch");
    if (!branch) {
        result.Warn({"Cannot render video capture stream", 0, NotInstalled("bin")});
        return false;
    }
    for (gst::ElementRef* element :
         {&queue, &valve, &convert, &planar, &range, &encoder, &mux, &writer}) {
        if (*element) gst_bin_add(GST_BIN(branch.get()), element->get());
    }
    // A branch left in the pipeline by an earlier recording would make the
    // add fail; the branch is then not half built.
    if (!gst_bin_add(GST_BIN(pipeline_.get()), branch.get())) {
        result.Warn({"Cannot render video capture stream", 0,
                     std::string("the pipeline already holds an element named ") +
                         GST_OBJECT_NAME(branch.get())});
        return false;
    }
    branch_ = branch;
    valve_ = valve;
    GstElement* coded = jpeg_frames ? valve.get() : encoder.get();
    bool linked = !jpeg_frames ? gst_element_link_many(valve.get(), convert.get(), planar.get(),
                                                       range.get(), encoder.get(), nullptr)
                               : true;
    // The multiplexer's video pad by name: the valve's pads take any caps,
    // and a link left to choose would take its first pad, an audio one.
    const gst::PadRef coded_out = gst::PadRef::Adopt(gst_element_get_static_pad(coded, "src"));
    const gst::PadRef video_in =
        gst::PadRef::Adopt(gst_element_request_pad_simple(mux.get(), "video_%u"));
    linked = linked && gst_element_link(queue.get(), valve.get()) && coded_out && video_in &&
             gst_pad_link(coded_out.get(), video_in.get()) == GST_PAD_LINK_OK &&
             gst_element_link(mux.get(), writer.get());
    // The bin's way in: the split's pad links to it, and the end of stream
    // goes into it.
    const gst::PadRef queue_in =
        gst::PadRef::Adopt(gst_element_get_static_pad(queue.get(), "sink"));
    if (queue_in) {
        // Floating until the bin takes it.
        GstPad* ghost = gst_ghost_pad_new("sink", queue_in.get());
        if (ghost != nullptr && gst_element_add_pad(branch.get(), ghost)) {
            entry_ = gst::PadRef::Share(ghost);
        } else if (ghost != nullptr) {
            gst_object_unref(gst_object_ref_sink(ghost));
        }
    }
    if (!linked || !entry_) {
        result.Warn({"Cannot render video capture stream", 0,
                     "the camera's format cannot be written to an AVI file"});
        return false;
    }
    AddProbe(queue.get(), "sink", GST_PAD_PROBE_TYPE_BUFFER, OnCaptureEntry, &counters_);
    AddProbe(coded, "src", GST_PAD_PROBE_TYPE_BUFFER, OnFrameToFile, &counters_);
    AddProbe(
        writer.get(), "sink",
        static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER |
                                     GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
        OnWriter,
        std::make_unique<WriterPosition>(WriterPosition{&counters_, &end_, &*room_}).release(),
        [](gpointer data) { std::unique_ptr<WriterPosition>(static_cast<WriterPosition*>(data)); });
    // The branch takes the pipeline's state before the split feeds it: a
    // running split that pushed into elements still stopped would stop the
    // camera for everything behind it.
    gst_element_sync_state_with_parent(branch.get());
    split_pad_ = gst::PadRef::Adopt(gst_element_request_pad_simple(split_.get(), "src_%u"));
    if (!split_pad_ || gst_pad_link(split_pad_.get(), entry_.get()) != GST_PAD_LINK_OK) {
        result.Warn({"Cannot render video capture stream", 0,
                     "the file branch cannot be hung on the camera's split"});
        return false;
    }
    return true;
}

}  // namespace vemo
