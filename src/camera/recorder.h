#pragma once

// The recording to file: one object that owns everything a recording has,
// the capture file's descriptor, the file branch hung on the camera graph's
// split and the tee pad it hangs on, the valve that holds frames back until
// the user gives the go-ahead, and what the streaming threads count.
//
//   "Split" (tee) -> "CaptureQueue" -> "StreamControl" (valve)
//      -> ["CaptureConvert" -> "Planar" (I420) -> "FullRange" (videobalance)
//          -> "Encoder" (jpegenc), for raw cameras]
//      -> "Mux" (avimux) -> "Writer" (fdsink on the capture file)
//
// Its states follow one recording:
//
//   idle -> held (attached, frames held back: the go-ahead dialog is open)
//        -> recording (frames reach the file)
//        -> finishing (off the split, in a pipeline of its own, end of stream
//           sent, waiting for the writer's index)
//        -> idle (detached: the file cut to length and closed)
//
// The branch's elements live in one bin ("FileBranch"), so that a finishing
// branch can leave the camera's pipeline whole: the camera graph is free to
// be switched or taken apart while the file is still being finished, and
// nobody waits for the writer on the window's thread.
//
// A held recording that is given up goes back to idle with nothing written,
// and a file the attach created is removed again. Each recording opens the
// capture file it is given, so a new name takes effect at the next start.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/unique_fd.h"
#include "camera/camera_result.h"
#include "camera/capture_counters.h"
#include "camera/gst_ptr.h"
#include "capfile/file_room.h"

namespace vemo {

enum class RecorderState { kIdle, kHeld, kRecording, kFinishing };

// What a recording that ended left: its counts (the frames those in the
// file), whether no frame reached the file, which is then as it was before
// the start, and a problem with the file found at the end (the file could
// not be cut to length or closed).
struct RecordingResult {
    CaptureStats stats;
    bool file_untouched = false;
    std::string problem;
};

class Recorder {
  public:
    Recorder();
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    RecorderState state() const { return state_; }
    // A recording is held, running or being finished: nothing may take the
    // graph apart under it.
    bool busy() const { return state_ != RecorderState::kIdle; }
    // The branch hangs on the camera graph (held or recording); a finishing
    // one has left it, and the graph may change under it.
    bool on_graph() const {
        return state_ == RecorderState::kHeld || state_ == RecorderState::kRecording;
    }
    // The file of the recording attached; empty when idle.
    const std::string& file_name() const { return file_name_; }

    // Opens `file_name` (never truncated: a pre-allocated file keeps its
    // space) and hangs the file branch on `split` in `pipeline`, frames held
    // back. The pipeline may be running: the preview and the camera's
    // pictures behind the split go on undisturbed, at the start and at the
    // end of the recording. `jpeg_frames`: the camera's frames are Motion JPEG already and go
    // into the file as they come; raw frames are coded, in full range as JPEG
    // readers expect. Idle only; on failure nothing stays attached.
    CameraResult Attach(_GstElement* pipeline, _GstElement* split, const std::string& file_name,
                        bool jpeg_frames);
    // Held -> recording: frames from now on reach the file.
    void Release();
    // Recording -> finishing, without waiting: the branch leaves the split
    // and the camera's pipeline for a pipeline of its own and gets its end of
    // stream there, so it arrives even when the camera has failed or gone.
    // `ended` is called once, on whichever thread sees it first, when the
    // writer has the end of stream (the index is in the file) or the
    // finishing branch failed; Detach follows, on the owner's thread.
    bool SendEndOfStream(std::function<void()> ended);
    // Waits up to `limit_ms` for that end; whether it came.
    bool WaitEnded(int limit_ms);
    // The branch leaves the pipeline (which may go on running) and the file
    // is cut to the recording's length and closed; a recording with no
    // frame wrote nothing, and a file the attach created is removed.
    // Finishing (or recording, when the end was never sent) -> idle.
    RecordingResult Detach();
    // Held -> idle without recording: the branch leaves the pipeline and a
    // file the attach created is removed.
    void Abandon();

    // The end of a finishing branch, shared with the streaming threads: set
    // once by the writer's end of stream or an error, and told to whoever
    // waits for it.
    class EndSignal {
      public:
        void Reset();
        void End();
        // `ended` runs at once when the end came already.
        void OnEnd(std::function<void()> ended);
        bool Wait(int limit_ms);

      private:
        std::mutex mutex_;
        std::condition_variable changed_;
        bool ended_ = false;
        std::function<void()> notify_;
    };

  private:
    bool LinkBranch(bool jpeg_frames, CameraResult& result);
    void UnlinkFromSplit();
    void ReleaseSplitPad();
    void RemoveBranch();
    // Takes the branch out, closes the file and removes it when this
    // recording made it; idle again.
    void Discard();

    RecorderState state_ = RecorderState::kIdle;
    std::string file_name_;
    UniqueFd file_;
    bool file_created_ = false;
    // Claimed ahead of the writer, on its streaming thread, while it writes.
    std::optional<FileRoom> room_;

    gst::ElementRef pipeline_;
    gst::ElementRef split_;
    gst::PadRef split_pad_;  // the tee's request pad the branch hangs on
    gst::PadRef entry_;      // the branch bin's sink pad
    gst::ElementRef valve_;
    gst::ElementRef branch_;  // the bin holding the branch's elements
    // The finishing branch's own pipeline, from the end of stream on.
    gst::ElementRef finishing_;
    // Read and written on the streaming threads through the probes; they
    // outlive every probe, which are removed with the branch.
    CaptureCounters counters_;
    EndSignal end_;
};

}  // namespace vemo
