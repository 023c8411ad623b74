#pragma once

// The camera graph: one GStreamer pipeline holding the chosen camera and the
// grabber chain behind it,
//
//   camera ("Cap") -> "Format" (capsfilter: size, rate) -> "Split" (tee)
//     -> "PreviewQueue" -> ["Decoder" (jpegdec)] -> "Convert" (videoconvert)
//     -> "Grabber" (appsink, BGR)
//
// with a recording's file branch beside the preview on the split.
//
// The grabber's callback does the grabber's work (frame_grabber.h) and feeds
// the preview the window draws, so every preview that runs also feeds the
// grabber. The graph's operations run on the user-interface thread; they
// show nothing and return what the user is to be told.

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "camera/camera_events.h"
#include "camera/camera_format.h"
#include "camera/camera_publish.h"
#include "camera/camera_result.h"
#include "camera/capture_device.h"
#include "camera/frame_grabber.h"
#include "camera/graph_events.h"
#include "camera/gst_ptr.h"

namespace vemo {

// The decoder, made only for cameras that offer Motion JPEG alone.
inline constexpr char kJpegDecoder[] = "jpegdec";

// The name of the first element of `names` that GStreamer cannot make, or "".
std::string MissingElement(const std::vector<std::string>& names);
// "GStreamer element "NAME" is not installed".
std::string NotInstalled(const std::string& element);
// A new element, owned by the returned handle (its floating reference sunk);
// empty when GStreamer cannot make it.
gst::ElementRef MakeElement(const char* factory, const char* name);

class CameraGraph {
  public:
    CameraGraph();
    ~CameraGraph();
    CameraGraph(const CameraGraph&) = delete;
    CameraGraph& operator=(const CameraGraph&) = delete;

    // Graph events, grabbed frames and preview pictures are posted here.
    EventTarget& events() { return events_; }
    FrameGrabber& grabber() { return grabber_; }

    // GStreamer is initialised and every element the graph needs exists; when
    // one is missing, `why` names it. Cached until ReleaseCameraFilters.
    bool EnsureGraphBuilder(std::string* why = nullptr);

    // Builds the camera and the grabber chain for `device`, opening the
    // camera to learn its formats and choosing one. On failure everything is
    // released again (the device's name stays for the status bar).
    // `size`, when offered, is the size to open the camera at (a choice the
    // user made); else the device's own preferred size or the usual rule.
    CameraResult BuildCameraFilters(const std::optional<CaptureDevice>& device,
                                    std::optional<FrameSize> size = std::nullopt);
    // Stops and drops every object of the graph.
    void ReleaseCameraFilters();
    // Takes out everything downstream of the camera (the grabber chain
    // included) and clears the branch flags.
    void DismantleGraph();
    // Removes from the pipeline every element reachable downstream of `element`.
    void RemoveDownstream(_GstElement* element);

    // The camera preview: build it on the graph at `frame_rate` frames a
    // second (nullopt: the camera's own rate), run it (the camera-on picture
    // goes in place and a frame is requested at once), halt it (the
    // camera-off pictures go in place). Build refuses while a preview runs
    // or no camera is built; a built branch is kept.
    CameraResult BuildPreviewBranch(std::optional<double> frame_rate);
    CameraResult RunPreview();
    CameraResult HaltPreview();
    // Stops the pipeline without touching the published pictures; a running
    // preview counts as stopped.
    void StopPipeline();

    // Recording to file (camera_capture.cpp). The recorder hangs its file
    // branch (recorder.h) on the split, beside the preview, while the graph
    // runs: a recording's start and stop rebuild and stop nothing. Prepares
    // the graph for a recording (the chain back in after a dismantle; the
    // rate asked for when no preview runs).
    CameraResult BuildCaptureBranch(std::optional<double> frame_rate);
    // Runs the graph for the recording when no preview runs (the camera is
    // off): frames reach the split only, neither decoded nor shown. A camera
    // that stops delivering meanwhile posts a lost-camera event, as during a
    // preview. With a preview running, nothing to do.
    CameraResult RunCaptureGraph();
    // The recording is over: a graph that ran for it alone stops; a preview
    // goes on.
    void EndCaptureRun();
    // Where the recorder hangs its branch; none until the chain is built.
    _GstElement* split() const { return video_stream_config_ ? split_.get() : nullptr; }
    // The camera's frames are Motion JPEG (they go into a file as they come).
    bool jpeg_frames() const { return format_ && format_->decode_jpeg; }
    // Asks the camera for `frame_rate` from its next run.
    CameraResult ChangeFrameRate(double frame_rate);

    // Takes every queued event off the bus. Empty while the preview branch is
    // not built (events then are dropped). `current` is the chosen camera.
    std::vector<GraphEvent> DrainGraphEvents(const CaptureDevice* current);
    // Queues a device-lost event for the camera `identity` (the device list
    // reports the removal).
    void PostDeviceLost(const std::string& identity);

    bool built() const { return static_cast<bool>(video_capture_); }
    bool previewing() const { return previewing_; }
    bool preview_graph_built() const { return preview_graph_built_; }
    bool capture_graph_built() const { return capture_graph_built_; }
    // Preview pictures are coming: a preview runs, or a recording with the
    // camera on.
    bool showing_preview() const {
        return previewing_ || (capture_running_ && video_window_.load());
    }
    _GstElement* filter_graph() const { return filter_graph_.get(); }
    _GstElement* video_capture() const { return video_capture_.get(); }
    // The camera's display name; empty when unread. It stays after a release:
    // the status bar shows it even when building failed.
    const std::string& device_name() const { return device_name_; }
    int frame_width() const { return format_ ? format_->width : 0; }
    int frame_height() const { return format_ ? format_->height : 0; }
    // Of the running preview; 0 when unknown.
    std::int64_t frame_period_ns() const { return frame_period_ns_; }
    // The camera's rate as it states it: what the camera and the graph agreed
    // on while it runs, else the rate it was asked for; not known when the
    // graph left the choice to the camera and it has not run.
    FrameRate frame_rate() const;

  private:
    bool EnsureFilterGraph();
    bool LinkGrabberChain(std::string& why);
    bool SetFormatCaps(std::optional<double> rate);
    gst::BusRef GraphBus() const;
    void FlushGraphBus();
    struct BusError {
        std::uint32_t code = kGraphFailure;
        std::string text;
    };
    BusError TakeBusError();
    CameraResult BuildFailure(CameraMessage message);

    // The bus and appsink callbacks, on GStreamer's threads.
    friend struct GraphCallbacks;

    EventTarget events_;
    FrameGrabber grabber_{events_};
    FrameWatchdog watchdog_;

    // The GStreamer elements the graph uses were found.
    bool graph_builder_ = false;
    gst::ElementRef filter_graph_;         // the pipeline
    gst::ElementRef video_capture_;        // the camera's source element, "Cap"
    gst::ElementRef video_stream_config_;  // "Format": the size and rate asked of the camera
    gst::ElementRef grabber_filter_;       // "Grabber", the appsink
    std::optional<ChosenFormat> format_;   // what the camera was asked for
    std::string device_name_;
    std::int64_t frame_period_ns_ = 0;
    FrameRate asked_rate_;

    bool previewing_ = false;
    bool preview_graph_built_ = false;
    bool capture_graph_built_ = false;
    // The split graph runs (a recording is held or under way).
    bool capture_running_ = false;
    // Read on the streaming and bus threads: graph events reach the window
    // (the preview branch is built), preview pictures reach the window.
    std::atomic<bool> media_event_{false};
    std::atomic<bool> video_window_{false};
    // Frames go on from the split to the grabber; not while the graph runs
    // for a recording alone.
    std::atomic<bool> grab_frames_{true};
    // The camera's pictures are Motion JPEG: broken ones are dropped.
    std::atomic<bool> check_pictures_{false};

    // The split, and the camera's pictures reaching it: all of them, and
    // those that could be used (counted on the streaming thread).
    gst::ElementRef split_;
    AtomicArrivals camera_pictures_;
    AtomicArrivals usable_pictures_;
    // The time stamp of the last Motion JPEG picture checked to decode to its
    // end while a frame was requested: only that one may be published.
    // (kNoPictureChecked before the first; GStreamer's "no time" for one
    // without a time stamp).
    static constexpr std::uint64_t kNoPictureChecked = ~std::uint64_t{0} - 1;
    std::atomic<std::uint64_t> checked_picture_pts_{kNoPictureChecked};
};

}  // namespace vemo
