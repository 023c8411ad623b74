#include "camera/recorder.h"

#include <gst/gst.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>

#include "camera/camera_graph.h"
#include "capfile/capture_file.h"

namespace vemo {
namespace {

const std::vector<std::string> kRecorderElements = {"bin", "queue", "valve", "avimux", "fdsink"};

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
    Recorder::EndSignal* end;
    std::uint64_t position = 0;
};

GstPadProbeReturn OnWriter(GstPad*, GstPadProbeInfo* info, gpointer data) {
    auto* writer = static_cast<WriterPosition*>(data);
    if ((GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_BUFFER) != 0) {
        // A recording that ends before its first frame would leave only a
        // header with no stream format in place of what the file held.
        if (!writer->counters->frame_written()) return GST_PAD_PROBE_DROP;
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
        writer->end->End();
    }
    return GST_PAD_PROBE_OK;
}

// Messages of a finishing branch's own pipeline, on the thread that posts
// them: an error ends the finish (the index will not come); nothing else is
// kept.
GstBusSyncReply OnFinishingMessage(GstBus*, GstMessage* message, gpointer data) {
    if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR ||
        GST_MESSAGE_TYPE(message) == GST_MESSAGE_EOS) {
        static_cast<Recorder::EndSignal*>(data)->End();
    }
    return GST_BUS_DROP;
}

void AddProbe(GstElement* element, const char* pad_name, GstPadProbeType type,
              GstPadProbeCallback callback, gpointer data, GDestroyNotify destroy = nullptr) {
    const gst::PadRef pad = gst::PadRef::Adopt(gst_element_get_static_pad(element, pad_name));
    if (pad) gst_pad_add_probe(pad.get(), type, callback, data, destroy);
}

}  // namespace

void Recorder::EndSignal::Reset() {
    std::lock_guard lock(mutex_);
    ended_ = false;
    notify_ = nullptr;
}

void Recorder::EndSignal::End() {
    std::function<void()> notify;
    {
        std::lock_guard lock(mutex_);
        if (ended_) return;
        ended_ = true;
        notify = std::move(notify_);
        notify_ = nullptr;
    }
    changed_.notify_all();
    if (notify) notify();
}

void Recorder::EndSignal::OnEnd(std::function<void()> ended) {
    {
        std::lock_guard lock(mutex_);
        if (!ended_) {
            notify_ = std::move(ended);
            return;
        }
    }
    if (ended) ended();
}

bool Recorder::EndSignal::Wait(int limit_ms) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(std::max(limit_ms, 0)),
                             [this] { return ended_; });
}

Recorder::Recorder() = default;

Recorder::~Recorder() {
    // The owner finishes or abandons a recording before it goes; this only
    // makes sure no probe outlives the counters.
    RemoveBranch();
}

CameraResult Recorder::Attach(GstElement* pipeline, GstElement* split, const std::string& file_name,
                              bool jpeg_frames) {
    if (busy() || pipeline == nullptr || split == nullptr) return CameraResult{false, {}};
    if (std::string missing = MissingElement(kRecorderElements); !missing.empty()) {
        return CameraResult::Failure(
            {"Cannot render video capture stream", 0, NotInstalled(missing)});
    }
    OpenedCaptureFile opened = OpenCaptureFileForWriting(file_name);
    if (!opened.fd) return CameraResult::Failure({"Cannot set output file", 0, opened.error});
    file_ = std::move(opened.fd);
    file_created_ = opened.created;
    file_name_ = file_name;
    pipeline_ = gst::ElementRef::Share(pipeline);
    split_ = gst::ElementRef::Share(split);
    counters_.Reset();
    end_.Reset();
    CameraResult result;
    if (!LinkBranch(jpeg_frames, result)) {
        Discard();
        result.ok = false;
        return result;
    }
    state_ = RecorderState::kHeld;
    return result;
}

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
        OnWriter, std::make_unique<WriterPosition>(WriterPosition{&counters_, &end_}).release(),
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

// Takes the branch off the split between two frames, so that the camera and
// the preview beside it never see it go. On a split that is not running the
// unlink happens at once.
void Recorder::UnlinkFromSplit() {
    if (!split_pad_ || !entry_) return;
    struct Unlink {
        gst::PadRef entry;
        std::mutex mutex;
        std::condition_variable done_changed;
        bool done = false;
    };
    auto unlink = std::make_shared<Unlink>();
    unlink->entry = entry_;
    gst_pad_add_probe(
        split_pad_.get(), GST_PAD_PROBE_TYPE_IDLE,
        [](GstPad* pad, GstPadProbeInfo*, gpointer data) {
            Unlink& step = **static_cast<std::shared_ptr<Unlink>*>(data);
            gst_pad_unlink(pad, step.entry.get());
            {
                std::lock_guard lock(step.mutex);
                step.done = true;
            }
            step.done_changed.notify_all();
            return GST_PAD_PROBE_REMOVE;
        },
        std::make_unique<std::shared_ptr<Unlink>>(unlink).release(),
        [](gpointer data) {
            std::unique_ptr<std::shared_ptr<Unlink>>(static_cast<std::shared_ptr<Unlink>*>(data));
        });
    std::unique_lock lock(unlink->mutex);
    // A push under way ends within a frame; one that never ends (a stuck
    // writer cannot hold the split: the branch starts with a leaky queue)
    // leaves the unlink to the removal below.
    unlink->done_changed.wait_for(lock, std::chrono::seconds(2), [&] { return unlink->done; });
}

void Recorder::Release() {
    if (state_ != RecorderState::kHeld) return;
    counters_.Start();
    g_object_set(valve_.get(), "drop", FALSE, nullptr);
    state_ = RecorderState::kRecording;
}

bool Recorder::SendEndOfStream(std::function<void()> ended) {
    if (state_ != RecorderState::kRecording) return false;
    state_ = RecorderState::kFinishing;
    counters_.Stop();
    end_.OnEnd(std::move(ended));
    if (!entry_ || !branch_) {
        end_.End();
        return true;
    }
    // The end of stream goes into the branch alone: sent while it hangs on
    // the split, it would reach the split's other branches and end the
    // camera's stream for the preview too.
    ReleaseSplitPad();
    // Out of the camera's pipeline, whose changes (a stop, another camera, a
    // teardown) would stop the branch before its index is written. Taking the
    // bin out leaves its elements running and linked among themselves; its
    // own pipeline, running already, takes it as it is and hears its errors.
    gst::ElementRef finishing = MakeElement("pipeline", "RecordingFinish");
    if (finishing) {
        const gst::BusRef bus = gst::BusRef::Adopt(gst_element_get_bus(finishing.get()));
        gst_bus_set_sync_handler(bus.get(), OnFinishingMessage, &end_, nullptr);
        gst_element_set_state(finishing.get(), GST_STATE_PLAYING);
    }
    if (pipeline_ && GST_OBJECT_PARENT(branch_.get()) == GST_OBJECT(pipeline_.get())) {
        gst_bin_remove(GST_BIN(pipeline_.get()), branch_.get());
    }
    pipeline_.reset();
    if (finishing && gst_bin_add(GST_BIN(finishing.get()), branch_.get())) {
        finishing_ = std::move(finishing);
    } else if (finishing) {
        gst_element_set_state(finishing.get(), GST_STATE_NULL);
    }
    gst_pad_send_event(entry_.get(), gst_event_new_eos());
    return true;
}

bool Recorder::WaitEnded(int limit_ms) {
    return state_ == RecorderState::kFinishing && end_.Wait(limit_ms);
}

RecordingResult Recorder::Detach() {
    RecordingResult result;
    if (!busy()) return result;
    counters_.Stop();
    RemoveBranch();
    result.stats = counters_.Read();
    if (result.stats.file_end == 0) {
        // No frame came: the file keeps what it held, and one the start made
        // goes again.
        result.file_untouched = true;
        result.stats.delivered = 0;
        result.stats.bytes = 0;
        Discard();
        return result;
    }
    // No bytes of an earlier, longer recording (or of the reserved space)
    // stay past the end.
    if (file_ && ftruncate(file_.get(), static_cast<off_t>(result.stats.file_end)) != 0) {
        result.problem =
            "cannot cut " + file_name_ + " to the recording's length: " + std::strerror(errno);
    }
    if (file_ && !file_.Close() && result.problem.empty()) {
        result.problem = "cannot close " + file_name_ + ": " + std::strerror(errno);
    }
    // The frames that reached the multiplexer are counted on their way;
    // what the finished file states is what a player will find.
    if (result.stats.finished) {
        if (const std::optional<std::uint64_t> frames = RecordedFrames(file_name_);
            frames && *frames < result.stats.delivered) {
            result.stats.dropped += result.stats.delivered - *frames;
            result.stats.delivered = *frames;
        }
    }
    counters_.Reset();
    end_.Reset();
    file_name_.clear();
    file_created_ = false;
    state_ = RecorderState::kIdle;
    return result;
}

void Recorder::Abandon() {
    // Only a held start: a recording being finished keeps what it wrote.
    if (state_ == RecorderState::kHeld) Discard();
}

void Recorder::Discard() {
    RemoveBranch();
    end_.Reset();
    file_.reset();
    // Only a file this start made; an existing file (a pre-allocated one
    // among them) is never removed.
    if (file_created_) unlink(file_name_.c_str());
    counters_.Reset();
    file_name_.clear();
    file_created_ = false;
    state_ = RecorderState::kIdle;
}

// Takes the branch off the split and gives the tee its pad back.
void Recorder::ReleaseSplitPad() {
    if (!split_pad_) return;
    UnlinkFromSplit();
    if (entry_) gst_pad_unlink(split_pad_.get(), entry_.get());
    if (split_) gst_element_release_request_pad(split_.get(), split_pad_.get());
    split_pad_.reset();
    split_.reset();
}

// Takes the branch off the split and out of the pipeline it is in, the
// camera's, which may go on running (or the graph took the branch down with
// it already), or its own finishing one, which goes too.
void Recorder::RemoveBranch() {
    ReleaseSplitPad();
    if (branch_) {
        gst_element_set_state(branch_.get(), GST_STATE_NULL);
        if (GstObject* parent = GST_OBJECT_PARENT(branch_.get()); parent != nullptr) {
            gst_bin_remove(GST_BIN(parent), branch_.get());
        }
    }
    if (finishing_) gst_element_set_state(finishing_.get(), GST_STATE_NULL);
    finishing_.reset();
    branch_.reset();
    entry_.reset();
    valve_.reset();
    split_.reset();
    pipeline_.reset();
}

}  // namespace vemo
