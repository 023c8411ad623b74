#pragma once

// Opens what a capture device lets the user adjust: a V4L2 camera's device
// node, or a test camera's own controls.

#include <memory>

#include "camera/camera_controls.h"
#include "camera/capture_device.h"

namespace vemo {

// The controls of `device`: a test camera's for "test-camera:N", the
// device node's for "/dev/video..."; nullptr for any other device, or when
// the camera is gone or its node cannot be opened.
std::unique_ptr<CameraControls> OpenCameraControls(const CaptureDevice& device);

}  // namespace vemo
