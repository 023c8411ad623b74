#pragma once

// The camera graph: one GStreamer pipeline holding the chosen camera and the
// grabber chain behind it,
//
//   camera ("Cap") -> "Format" (capsfilter: size, rate) -> ["Decoder" (jpegdec)]
//     -> "Convert" (videoconvert) -> "Grabber" (appsink, BGR)
//
// The grabber's callback does the grabber's work (frame_grabber.h) and feeds
// the preview the window draws, so every preview that runs also feeds the
// grabber. Everything here runs on the user-interface thread and reports its
// failures itself through ReportError.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "camera/capture_device.h"
#include "camera/gst_ptr.h"

namespace vemo {

struct CameraGraph {
    // The GStreamer elements the graph uses were found (EnsureGraphBuilder).
    bool graph_builder = false;
    gst::ElementRef filter_graph;         // the pipeline
    gst::ElementRef video_capture;        // the camera's source element, "Cap"
    gst::ElementRef video_stream_config;  // "Format": the size and rate asked of the camera
    gst::ElementRef grabber_filter;       // "Grabber", the appsink
    // What the camera offers, read when it was opened, and the one format
    // chosen from it (size fixed; rate left to the preview).
    gst::CapsPtr device_caps;
    gst::CapsPtr chosen_format;
    bool decode_jpeg = false;  // the chosen format is Motion JPEG
    std::string device_name;   // the camera's display name; empty when unread
    int frame_width = 0;
    int frame_height = 0;
    std::int64_t frame_period_ns = 0;  // of the running preview; 0 when unknown
    // Graph events reach the window (the preview branch is built).
    bool media_event = false;
    // Preview pictures reach the window.
    bool video_window = false;
    // A capture to file adds its multiplexer and file writer here.
};
extern CameraGraph camera_graph;

// The chosen camera; none until a device is chosen.
extern std::optional<CaptureDevice> current_video_device;
// The chosen camera went away (device lost); choosing it again rebuilds.
extern bool current_device_lost;

// What the camera needs of the window, installed by the window.
struct CameraWindowHooks {
    // ResizeWindow: the area above the status bar becomes width x height and
    // engine_state.frame_width/height record it.
    std::function<void(int width, int height)> resize_window;
    // Timer 1 at this interval.
    std::function<void(unsigned interval_ms)> set_camera_timer;
    // The preview stopped: the client area is drawn afresh.
    std::function<void()> repaint;
};
void SetCameraWindowHooks(CameraWindowHooks hooks);

// GStreamer is initialised and every element the graph needs exists; when
// one is missing, `why` names it. Cached until ReleaseCameraFilters.
bool EnsureGraphBuilder(std::string* why = nullptr);
// The pipeline exists, its bus watched.
bool EnsureFilterGraph();

// Builds the camera and the grabber chain for current_video_device, opening
// the camera to learn its formats and choosing one; records the frame size
// through the resize hook. Reports and returns false on failure.
bool BuildCameraFilters();
// Stops and drops every object of the graph.
void ReleaseCameraFilters();
// Takes out everything downstream of the camera (the grabber chain
// included) and clears the branch flags.
void DismantleGraph();
// Removes from the pipeline every element reachable downstream of `element`.
void RemoveDownstream(_GstElement* element);
// The name of the first element of `names` that GStreamer cannot make, or "".
std::string MissingElement(const std::vector<std::string>& names);

// The camera preview: build it on the graph, run it (publishing starts), halt it.
bool BuildPreviewBranch();
bool RunPreview();
bool HaltPreview();

// What the graph's bus carried, as the window handles it.
enum class GraphEventKind {
    kErrorAbort,  // the pipeline failed; code and detail say how
    kDeviceLost,  // the camera with `identity` went away or stopped delivering
    kDeviceBusy,  // the camera is held by another program
};
struct GraphEvent {
    GraphEventKind kind = GraphEventKind::kErrorAbort;
    std::uint32_t code = 0;
    std::string identity;
    std::string detail;
};
// Takes every queued event off the bus. Empty while the preview branch is not
// built (events then are dropped).
std::vector<GraphEvent> DrainGraphEvents();
// Queues a device-lost event for the camera `identity` (the device list
// calls it when the device is removed).
void PostDeviceLost(const std::string& identity);
// Whether `identity` names the chosen camera.
bool IsCurrentCamera(const std::string& identity);

// After a device loss: the camera is marked lost and the preview halted,
// with the camera-off pictures.
void StopLostCamera();
// After an error abort: the failed run is stopped and, when the camera is
// on, built and run again. A run that failed before delivering one frame, or
// within ten seconds of the last such restart, is not retried (it would fail
// the same way, over and over): it is halted with the camera-off pictures
// instead. Returns whether the preview runs again.
bool RestartPreviewAfterError();

// The code shown for a GStreamer error: 0x8047DDCC, DD the error domain
// (1 core, 2 library, 3 resource, 4 stream, 0 other) and CC its code.
std::uint32_t GraphErrorCode(const _GError* error);
// The code shown where no GStreamer error says more.
inline constexpr std::uint32_t kGraphFailure = 0x80004005;

// The lost-camera check: a running preview that has delivered no frame for
// this long counts as a lost camera. At least two seconds, or eight frame
// periods; a camera gets five seconds for its first frame.
std::int64_t FrameSilenceLimitNs(std::int64_t frame_period_ns, bool first_frame);

}  // namespace vemo
