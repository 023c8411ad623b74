// Test cameras answer as a webcam does: controls with a webcam's ranges that
// show in the pictures, inputs, and a webcam's sizes and rates, of which the
// camera's own size is the one it is opened at.

#include <gst/gst.h>
#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <algorithm>
#include <numeric>
#include <string>
#include <vector>

#include "camera/camera_format.h"
#include "camera/capture_device.h"
#include "devices/camera_controls_factory.h"
#include "devices/device_list.h"
#include "devices/test_cameras.h"

namespace vemo {
namespace {

using Strings = std::vector<std::string>;
using Item = std::pair<std::int64_t, std::string>;

class CameraControlsTest : public testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(EnableTestCameras()); }
    void TearDown() override {
        devices_.Release();
        UnplugAllTestCameras();
    }

    // Plugs in a camera described as VEMO_TEST_CAMERAS describes one, and
    // finds it in the device list as the engine does.
    CaptureDevice Plug(std::string_view description) {
        const std::string identity = PlugTestCamera(ParseTestCameras(description).at(0));
        devices_.List();
        for (int i = 0; i < kVideoDeviceSlots; ++i) {
            if (devices_.slot(i) && devices_.slot(i)->identity == identity) {
                return *devices_.slot(i);
            }
        }
        ADD_FAILURE() << identity << " is not listed";
        return {};
    }

    DeviceList devices_;
};

const CameraControl* Find(const std::vector<CameraControl>& controls, std::uint32_t id) {
    const auto found = std::find_if(controls.begin(), controls.end(),
                                    [&](const CameraControl& control) { return control.id == id; });
    return found != controls.end() ? &*found : nullptr;
}

// "WxH@rate,rate" for each structure of `caps`.
Strings Formats(const gst::CapsPtr& caps) {
    Strings formats;
    for (guint i = 0; i < gst_caps_get_size(caps.get()); ++i) {
        const GstStructure* structure = gst_caps_get_structure(caps.get(), i);
        int width = 0, height = 0;
        gst_structure_get_int(structure, "width", &width);
        gst_structure_get_int(structure, "height", &height);
        std::string format = std::to_string(width) + "x" + std::to_string(height) + "@";
        const GValue* rates = gst_structure_get_value(structure, "framerate");
        if (rates != nullptr && GST_VALUE_HOLDS_FRACTION(rates)) {
            format += std::to_string(gst_value_get_fraction_numerator(rates));
        }
        for (guint r = 0;
             rates != nullptr && GST_VALUE_HOLDS_LIST(rates) && r < gst_value_list_get_size(rates);
             ++r) {
            if (r > 0) format += ",";
            format += std::to_string(
                gst_value_get_fraction_numerator(gst_value_list_get_value(rates, r)));
        }
        formats.push_back(format);
    }
    return formats;
}

std::string Size(const ChosenFormat& format) {
    return std::to_string(format.width) + "x" + std::to_string(format.height);
}

// The mean grey level of the next frame `sink` receives; -1 when none comes.
double NextFrameMean(GstElement* sink) {
    GstSample* sample = nullptr;
    // Only a safety net against a pipeline that never delivers.
    g_signal_emit_by_name(sink, "try-pull-sample", 10 * GST_SECOND, &sample);
    if (sample == nullptr) return -1;
    GstMapInfo map;
    double mean = -1;
    if (gst_buffer_map(gst_sample_get_buffer(sample), &map, GST_MAP_READ)) {
        mean = std::accumulate(map.data, map.data + map.size, 0.0) / static_cast<double>(map.size);
        gst_buffer_unmap(gst_sample_get_buffer(sample), &map);
    }
    gst_sample_unref(sample);
    return mean;
}

TEST_F(CameraControlsTest, ControlsHaveAWebcamsRanges) {
    const CaptureDevice device = Plug("Desk");
    const auto controls = OpenCameraControls(device);
    ASSERT_NE(controls, nullptr);
    const std::vector<CameraControl> listed = controls->Controls();
    Strings keys;
    for (const CameraControl& control : listed)
        keys.push_back(control.key);
    EXPECT_EQ(keys, (Strings{"brightness", "contrast", "saturation", "hue", "color_killer",
                             "test_pattern"}));
    for (std::uint32_t id : {V4L2_CID_BRIGHTNESS, V4L2_CID_CONTRAST, V4L2_CID_SATURATION}) {
        const CameraControl* control = Find(listed, id);
        ASSERT_NE(control, nullptr);
        EXPECT_EQ(control->kind, CameraControl::Kind::kInteger);
        EXPECT_EQ(std::vector(
                      {control->minimum, control->maximum, control->default_value, control->value}),
                  std::vector<std::int64_t>({0, 255, 128, 128}))
            << control->name;
        EXPECT_EQ(control->class_name, "User Controls");
    }
    const CameraControl* hue = Find(listed, V4L2_CID_HUE);
    EXPECT_EQ(std::vector({hue->minimum, hue->maximum, hue->default_value}),
              std::vector<std::int64_t>({-180, 180, 0}));
    EXPECT_EQ(Find(listed, V4L2_CID_COLOR_KILLER)->kind, CameraControl::Kind::kBoolean);
    EXPECT_EQ(Find(listed, V4L2_CID_COLOR_KILLER)->name, "Color Killer");

    const CameraControl* pattern = Find(listed, V4L2_CID_TEST_PATTERN);
    EXPECT_EQ(pattern->kind, CameraControl::Kind::kMenu);
    EXPECT_EQ(pattern->control_class, static_cast<std::uint32_t>(V4L2_CTRL_CLASS_IMAGE_PROC));
    ASSERT_GE(pattern->menu.size(), 8u);
    EXPECT_EQ(pattern->menu[0], (Item{0, "SMPTE 100% color bars"}));
    EXPECT_EQ(pattern->menu[7], (Item{7, "Checkers 1px"}));
    EXPECT_EQ(pattern->default_value, 0);
    EXPECT_FALSE(controls->Tuner());

    // As a driver does: a number out of range is clamped, a menu index that
    // is no item refused; the colour killer takes saturation over.
    EXPECT_TRUE(controls->SetControl(V4L2_CID_HUE, 500));
    const Result<> refused = controls->SetControl(V4L2_CID_TEST_PATTERN, 1000);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().text, "Invalid argument");
    EXPECT_TRUE(controls->SetControl(V4L2_CID_COLOR_KILLER, 1));
    const std::vector<CameraControl> changed = OpenCameraControls(device)->Controls();
    EXPECT_EQ(Find(changed, V4L2_CID_HUE)->value, 180);
    EXPECT_TRUE(Find(changed, V4L2_CID_SATURATION)->inactive);
    EXPECT_FALSE(Find(changed, V4L2_CID_BRIGHTNESS)->inactive);
}

TEST_F(CameraControlsTest, BrightnessShowsInTheFrames) {
    const CaptureDevice device = Plug("Desk|fps=30");
    const auto controls = OpenCameraControls(device);
    ASSERT_NE(controls, nullptr);
    // Set before the camera's element exists: the element starts with it.
    ASSERT_TRUE(controls->SetControl(V4L2_CID_BRIGHTNESS, 0));

    GstElement* pipeline = gst_pipeline_new("frames");
    GstElement* camera = gst_device_create_element(device.device.get(), "camera");
    GstElement* convert = gst_element_factory_make("videoconvert", nullptr);
    GstElement* sink = gst_element_factory_make("appsink", nullptr);
    ASSERT_TRUE(camera != nullptr && convert != nullptr && sink != nullptr);
    GstCaps* grey = gst_caps_from_string("video/x-raw,format=GRAY8");
    g_object_set(sink, "caps", grey, "sync", FALSE, "max-buffers", 1u, "drop", TRUE, nullptr);
    gst_caps_unref(grey);
    gst_bin_add_many(GST_BIN(pipeline), camera, convert, sink, nullptr);
    ASSERT_TRUE(gst_element_link_many(camera, convert, sink, nullptr));
    ASSERT_NE(gst_element_set_state(pipeline, GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);

    const double dark = NextFrameMean(sink);
    EXPECT_GE(dark, 0);
    EXPECT_LT(dark, 20) << "brightness 0 makes the colour bars black";

    // Set while it runs: frames made from now on are brighter. A frame or
    // two made before may still be on the way.
    ASSERT_TRUE(controls->SetControl(V4L2_CID_BRIGHTNESS, 255));
    double bright = -1;
    for (int frame = 0; frame < 10 && bright < 235; ++frame)
        bright = NextFrameMean(sink);
    EXPECT_GE(bright, 235) << "brightness 255 makes them white";

    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(pipeline);
}

TEST_F(CameraControlsTest, NoControlsStillHasInputAndFormats) {
    const CaptureDevice device = Plug("Bare|nocontrols");
    const auto controls = OpenCameraControls(device);
    ASSERT_NE(controls, nullptr);
    EXPECT_TRUE(controls->Controls().empty());
    const Result<> refused = controls->SetControl(V4L2_CID_BRIGHTNESS, 10);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().text, "Invalid argument");
    ASSERT_EQ(controls->Inputs().size(), 1u);
    EXPECT_EQ(controls->Inputs()[0].name, "Camera 1");
    const gst::CapsPtr caps{gst_device_get_caps(device.device.get())};
    EXPECT_EQ(Formats(caps).size(), 3u) << "640x480 is its own size and a webcam's";
}

TEST_F(CameraControlsTest, InputsAreListedAndSwitched) {
    const auto controls = OpenCameraControls(Plug("Switcher|inputs=3"));
    ASSERT_NE(controls, nullptr);
    Strings names;
    for (const CameraInput& input : controls->Inputs())
        names.push_back(input.name);
    EXPECT_EQ(names, (Strings{"Input 1", "Input 2", "Input 3"}));
    EXPECT_EQ(controls->CurrentInput(), 0u);
    EXPECT_TRUE(controls->SetInput(2));
    EXPECT_EQ(controls->CurrentInput(), 2u);
    EXPECT_FALSE(controls->SetInput(3));
    EXPECT_EQ(controls->CurrentInput(), 2u);
}

TEST_F(CameraControlsTest, OffersAWebcamsSizesAndOpensAtItsOwn) {
    const CaptureDevice hd = Plug("HD|1920x1080");
    ASSERT_EQ(hd.preferred_size, (FrameSize{1920, 1080}));
    const gst::CapsPtr caps{gst_device_get_caps(hd.device.get())};
    EXPECT_EQ(Formats(caps), (Strings{"1920x1080@30,15,5", "320x240@30,15,5", "640x480@30,15,5",
                                      "1280x720@30,15,5"}));

    std::string why;
    const auto own = ChooseFormat(caps.get(), why, hd.preferred_size);
    ASSERT_TRUE(own) << why;
    EXPECT_EQ(Size(*own), "1920x1080");
    const auto common = ChooseFormat(caps.get(), why);
    ASSERT_TRUE(common) << why;
    EXPECT_EQ(Size(*common), "640x480") << "without a preferred size, the size nearest 640x480";
    const auto not_offered = ChooseFormat(caps.get(), why, FrameSize{800, 600});
    ASSERT_TRUE(not_offered) << why;
    EXPECT_EQ(Size(*not_offered), "640x480");

    const CaptureDevice slow = Plug("Slow|fps=5");
    const gst::CapsPtr slow_caps{gst_device_get_caps(slow.device.get())};
    EXPECT_EQ(Formats(slow_caps), (Strings{"640x480@5", "320x240@5", "1280x720@5"}));
}

}  // namespace
}  // namespace vemo
