#include "devices/camera_controls_factory.h"

#include "camera/v4l2_controls.h"
#include "devices/test_cameras.h"

namespace vemo {

std::unique_ptr<CameraControls> OpenCameraControls(const CaptureDevice& device) {
    if (device.identity.starts_with("test-camera:")) return OpenTestCameraControls(device.identity);
    // A node that cannot be opened has no controls to offer: the pages say
    // there are none.
    if (device.identity.starts_with("/dev/video")) {
        return V4l2Controls::Open(device.identity).value_or(nullptr);
    }
    return nullptr;
}

}  // namespace vemo
