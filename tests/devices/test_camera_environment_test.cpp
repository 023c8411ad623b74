// VEMO_TEST_CAMERAS as the engine takes it at start: a camera with an option
// no camera knows, or with a replay file that cannot be read, is left out
// with a warning that names the camera and the option or file; the others
// are plugged.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "camera/capture_device.h"
#include "devices/device_list.h"
#include "devices/test_cameras.h"

namespace vemo {
namespace {

TEST(TestCameraEnvironment, BadCamerasAreNamedAndLeftOut) {
    ASSERT_EQ(::setenv("VEMO_TEST_CAMERAS",
                       "Desk|colour=red;Clip|replay=/nonexistent/clip.avi;Fine|uvc;|fps=x", 1),
              0);
    const CameraResult result = PlugTestCamerasFromEnvironment();
    std::vector<std::string> texts;
    for (const CameraMessage& message : result.messages)
        texts.push_back(message.text);
    EXPECT_EQ(texts, (std::vector<std::string>{
                         "VEMO_TEST_CAMERAS: the camera \"Desk\" is not plugged: unknown option "
                         "\"colour=red\"",
                         "VEMO_TEST_CAMERAS: the camera \"Clip\" is not plugged: cannot read the "
                         "replay file \"/nonexistent/clip.avi\": No such file or directory"}));

    DeviceList devices;
    devices.List();
    std::vector<std::optional<std::string>> names;
    for (int i = 0; i < kVideoDeviceSlots; ++i) {
        if (devices.slot(i) && devices.slot(i)->identity.starts_with("test-camera:")) {
            names.push_back(devices.slot(i)->name);
        }
    }
    EXPECT_EQ(names, (std::vector<std::optional<std::string>>{"Fine"}));
    // The nameless one keeps its slot empty; a known option's nonsense value
    // is ignored, as before.
    EXPECT_EQ(devices.video_device_count(), 2);
    devices.Release();
    UnplugAllTestCameras();
}

}  // namespace
}  // namespace vemo
