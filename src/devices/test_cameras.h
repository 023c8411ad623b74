#pragma once

// Test cameras: GStreamer test-pattern sources that the device list shows as
// if they were cameras, so that a machine without one runs the whole camera
// path. They come from a device provider of their own, registered with
// GStreamer beside the real ones: plugging and unplugging one posts the same
// device-added and device-removed messages a real camera's hot-plug posts.
//
// VEMO_TEST_CAMERAS describes the cameras present at start:
//   "2"                     "Test Camera 1" and "Test Camera 2";
//   "Front;;Back"           cameras named "Front", nameless (a device whose
//                           name cannot be read) and "Back";
// each name may carry options after '|', separated by '|' or ',':
//   WxH                     frame size (default 640x480, or
//                           $VEMO_TEST_CAMERA_SIZE): the size it is opened
//                           at; 320x240, 640x480 and 1280x720 are offered
//                           beside it, like a webcam's;
//   fps=N                   offer only N frames a second (default: 30, 15
//                           and 5, like a webcam);
//   nocontrols              no controls to adjust (test_camera_controls.h);
//   inputs=N                N inputs, "Input 1".."Input N" (default: one,
//                           "Camera 1");
//   error-after=N           fail once with a stream error after N frames;
//   stall-after=N           stop delivering after N frames, posting nothing;
//   busy                    fail at start as a camera held by another program;
//   uvc                     a USB webcam's modes instead: YUY2 320x240 and
//                           640x480 at 30 and 15 frames a second, Motion
//                           JPEG 1280x720 and 1920x1080 at 30 (the pattern
//                           coded live); it makes the mode the element after
//                           it asks for; WxH is the mode it is opened at;
//   replay=PATH             a camera that sends the pictures of PATH in a
//                           loop, in its one Motion JPEG mode at the size of
//                           its pictures: an AVI with Motion JPEG video at
//                           the AVI's rate, or JPEG pictures back to back at
//                           30 (fps=N replaces either rate). Bytes as the
//                           file holds them, broken pictures included
//                           (test_camera_replay.h says how a raw stream is
//                           split); no controls. PATH runs to the next '|'.
// An unknown option, or a replay file that cannot be read, leaves that camera
// out and says why.
// e.g. VEMO_TEST_CAMERAS="Desk|1920x1080;Flaky|error-after=30;Clip|replay=/tmp/a.avi".

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "camera/camera_controls.h"
#include "camera/camera_result.h"

namespace vemo {

struct TestCameraConfig {
    std::optional<std::string> name;  // nullopt: the name cannot be read
    int width = 640;
    int height = 480;
    int fps = 0;  // 0: 30, 15 and 5 frames a second
    int error_after = -1;
    int stall_after = -1;
    bool busy = false;
    bool controls = true;
    int inputs = 1;
    bool uvc = false;    // a USB webcam's modes
    std::string replay;  // a Motion JPEG file to send; empty: a pattern
    std::string error;   // what is wrong with the description; never plugged
};

// The cameras `text` describes, in order; sizes default to `default_size`
// ("WxH"; empty or invalid: 640x480). A camera with an unknown option
// carries an error naming it.
std::vector<TestCameraConfig> ParseTestCameras(std::string_view text,
                                               std::string_view default_size = {});

// Registers the test cameras' device provider with GStreamer (once). False
// when GStreamer or its "videotestsrc" element is missing; `why` says which.
bool EnableTestCameras(std::string* why = nullptr);

// Plugs in the cameras of VEMO_TEST_CAMERAS, once per process, before the
// device list is first read. Does nothing when it is unset; warns when the
// test cameras cannot be had, and for each camera left out, naming it and why.
CameraResult PlugTestCamerasFromEnvironment();

// Plugs in a camera and returns its identity (as CaptureDevice::identity),
// or "" when it cannot be: test cameras cannot be enabled, the config
// carries an error, or its replay file cannot be read; `why` then says which.
std::string PlugTestCamera(const TestCameraConfig& config, std::string* why = nullptr);
// Unplugs the camera with `identity`; false when there is none.
bool UnplugTestCamera(const std::string& identity);
void UnplugAllTestCameras();

// The controls of the plugged camera with `identity` ("test-camera:N");
// nullptr when there is none. They stay usable after it is unplugged.
std::unique_ptr<CameraControls> OpenTestCameraControls(const std::string& identity);

}  // namespace vemo
