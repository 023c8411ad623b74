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
    Result<OpenedCaptureFile> opened = OpenCaptureFileForWriting(file_name);
    if (!opened) return CameraResult::Failure({"Cannot set output file", 0, opened.error().text});
    file_ = std::move(opened->fd);
    file_created_ = opened->created;
    room_.emplace(file_.get());
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
    if (room_) room_->GiveBack(result.stats.file_end);
    room_.reset();
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
    room_.reset();
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
