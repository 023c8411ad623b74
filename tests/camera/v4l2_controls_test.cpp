// What a V4L2 camera's answers become: records written down as a UVC webcam
// reports them through VIDIOC_QUERY_EXT_CTRL and VIDIOC_QUERYMENU.

#include "camera/v4l2_controls.h"

#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

namespace vemo {
namespace {

using Menu = std::vector<std::pair<std::int64_t, std::string>>;

// Copies `text` into a driver's name array, NUL-terminated, as drivers do.
void Name(void* name, std::size_t size, std::string_view text) {
    std::memcpy(name, text.data(), std::min(text.size(), size - 1));
}

v4l2_query_ext_ctrl Query(std::uint32_t id, std::uint32_t type, const char* name,
                          std::int64_t minimum, std::int64_t maximum, std::uint64_t step,
                          std::int64_t default_value, std::uint32_t flags = 0) {
    v4l2_query_ext_ctrl query{};
    query.id = id;
    query.type = type;
    Name(query.name, sizeof query.name, name);
    query.minimum = minimum;
    query.maximum = maximum;
    query.step = step;
    query.default_value = default_value;
    query.flags = flags;
    query.elem_size = type == V4L2_CTRL_TYPE_INTEGER64 ? 8 : 4;
    query.elems = 1;
    return query;
}

v4l2_querymenu Item(std::uint32_t id, std::uint32_t index, const char* name) {
    v4l2_querymenu item{};
    item.id = id;
    item.index = index;
    Name(item.name, sizeof item.name, name);
    return item;
}

TEST(V4l2ControlsTest, KeysFollowTheDriversNames) {
    EXPECT_EQ(ControlKey("White Balance Temperature, Auto"), "white_balance_temperature_auto");
    EXPECT_EQ(ControlKey("  Exposure (Absolute) "), "exposure_absolute");
    EXPECT_EQ(ControlKey("Pan, Reset"), "pan_reset");
    EXPECT_EQ(ControlKey("--"), "");
}

TEST(V4l2ControlsTest, AnIntegerKeepsItsRangeClassAndValue) {
    const auto brightness =
        ControlFromQuery(Query(V4L2_CID_BRIGHTNESS, V4L2_CTRL_TYPE_INTEGER, "Brightness", 0, 255, 1,
                               128, V4L2_CTRL_FLAG_SLIDER),
                         {}, 140, "User Controls");
    ASSERT_TRUE(brightness);
    EXPECT_EQ(brightness->id, V4L2_CID_BRIGHTNESS);
    EXPECT_EQ(brightness->name, "Brightness");
    EXPECT_EQ(brightness->key, "brightness");
    EXPECT_EQ(brightness->kind, CameraControl::Kind::kInteger);
    EXPECT_EQ(brightness->minimum, 0);
    EXPECT_EQ(brightness->maximum, 255);
    EXPECT_EQ(brightness->step, 1);
    EXPECT_EQ(brightness->default_value, 128);
    EXPECT_EQ(brightness->value, 140);
    EXPECT_EQ(brightness->control_class, V4L2_CTRL_CLASS_USER);
    EXPECT_EQ(brightness->class_name, "User Controls");
    EXPECT_FALSE(brightness->inactive || brightness->grabbed || brightness->read_only);
}

TEST(V4l2ControlsTest, WhiteBalanceFollowsItsAutomaticControl) {
    const auto automatic = ControlFromQuery(
        Query(V4L2_CID_AUTO_WHITE_BALANCE, V4L2_CTRL_TYPE_BOOLEAN,
              "White Balance Temperature, Auto", 0, 1, 1, 1, V4L2_CTRL_FLAG_UPDATE),
        {}, 1, "User Controls");
    ASSERT_TRUE(automatic);
    EXPECT_EQ(automatic->kind, CameraControl::Kind::kBoolean);
    EXPECT_EQ(automatic->key, "white_balance_temperature_auto");
    EXPECT_EQ(automatic->value, 1);

    const auto temperature = ControlFromQuery(
        Query(V4L2_CID_WHITE_BALANCE_TEMPERATURE, V4L2_CTRL_TYPE_INTEGER,
              "White Balance Temperature", 2800, 6500, 1, 4600, V4L2_CTRL_FLAG_INACTIVE),
        {}, 4600, "User Controls");
    ASSERT_TRUE(temperature);
    EXPECT_EQ(temperature->minimum, 2800);
    EXPECT_EQ(temperature->maximum, 6500);
    EXPECT_TRUE(temperature->inactive) << "shown, but not editable while auto is on";
    EXPECT_FALSE(temperature->read_only);
}

TEST(V4l2ControlsTest, MenusListOnlyTheItemsTheDriverNames) {
    // A UVC camera's auto exposure: QUERYMENU refuses items 0 and 2.
    const auto exposure = ControlFromQuery(
        Query(V4L2_CID_EXPOSURE_AUTO, V4L2_CTRL_TYPE_MENU, "Exposure, Auto", 0, 3, 1, 3),
        {Item(V4L2_CID_EXPOSURE_AUTO, 1, "Manual Mode"),
         Item(V4L2_CID_EXPOSURE_AUTO, 3, "Aperture Priority Mode")},
        3, "Camera Controls");
    ASSERT_TRUE(exposure);
    EXPECT_EQ(exposure->kind, CameraControl::Kind::kMenu);
    EXPECT_EQ(exposure->key, "exposure_auto");
    EXPECT_EQ(exposure->menu, (Menu{{1, "Manual Mode"}, {3, "Aperture Priority Mode"}}));
    EXPECT_EQ(exposure->control_class, V4L2_CTRL_CLASS_CAMERA);
    EXPECT_EQ(exposure->class_name, "Camera Controls");

    const auto power_line =
        ControlFromQuery(Query(V4L2_CID_POWER_LINE_FREQUENCY, V4L2_CTRL_TYPE_MENU,
                               "Power Line Frequency", 0, 2, 1, 2),
                         {Item(V4L2_CID_POWER_LINE_FREQUENCY, 0, "Disabled"),
                          Item(V4L2_CID_POWER_LINE_FREQUENCY, 1, "50 Hz"),
                          Item(V4L2_CID_POWER_LINE_FREQUENCY, 2, "60 Hz")},
                         1, "User Controls");
    ASSERT_TRUE(power_line);
    EXPECT_EQ(power_line->menu, (Menu{{0, "Disabled"}, {1, "50 Hz"}, {2, "60 Hz"}}));
    EXPECT_EQ(power_line->value, 1);
    EXPECT_EQ(power_line->default_value, 2);
}

TEST(V4l2ControlsTest, IntegerMenusAreLabelledWithTheirNumbers) {
    v4l2_querymenu low{};
    low.id = V4L2_CID_LINK_FREQ;
    low.index = 0;
    low.value = 336000000;
    v4l2_querymenu high = low;
    high.index = 1;
    high.value = 672000000;
    const auto link =
        ControlFromQuery(Query(V4L2_CID_LINK_FREQ, V4L2_CTRL_TYPE_INTEGER_MENU, "Link Frequency", 0,
                               1, 0, 0, V4L2_CTRL_FLAG_READ_ONLY),
                         {low, high}, 0, "Image Processing Controls");
    ASSERT_TRUE(link);
    EXPECT_EQ(link->kind, CameraControl::Kind::kIntegerMenu);
    EXPECT_EQ(link->menu, (Menu{{0, "336000000"}, {1, "672000000"}}));
    EXPECT_TRUE(link->read_only);
}

TEST(V4l2ControlsTest, HeadingsDisabledAndCompoundControlsAreLeftOut) {
    EXPECT_FALSE(
        ControlFromQuery(Query(V4L2_CID_USER_CLASS, V4L2_CTRL_TYPE_CTRL_CLASS, "User Controls", 0,
                               0, 0, 0, V4L2_CTRL_FLAG_READ_ONLY | V4L2_CTRL_FLAG_WRITE_ONLY),
                         {}, 0, ""));
    EXPECT_FALSE(ControlFromQuery(Query(V4L2_CID_HUE, V4L2_CTRL_TYPE_INTEGER, "Hue", -180, 180, 1,
                                        0, V4L2_CTRL_FLAG_DISABLED),
                                  {}, 0, "User Controls"));
    v4l2_query_ext_ctrl area = Query(V4L2_CID_UNIT_CELL_SIZE, V4L2_CTRL_TYPE_AREA, "Unit Cell Size",
                                     0, 0, 0, 0, V4L2_CTRL_FLAG_HAS_PAYLOAD);
    area.elem_size = 8;
    EXPECT_FALSE(ControlFromQuery(area, {}, 0, "Camera Controls"));
}

TEST(V4l2ControlsTest, ANodeThatIsNoCameraAnswersNothing) {
    const auto absent = V4l2Controls::Open("/dev/video-vemo-absent");
    ASSERT_FALSE(absent);
    EXPECT_EQ(absent.error().text, "No such file or directory");
    EXPECT_EQ(absent.error().kind, ErrorKind::kNotFound);

    // Every ioctl fails on it: nothing is listed, and a set says why.
    const auto null = V4l2Controls::Open("/dev/null");
    ASSERT_TRUE(null && *null);
    V4l2Controls& controls = **null;
    EXPECT_TRUE(controls.Controls().empty());
    EXPECT_TRUE(controls.Inputs().empty());
    EXPECT_FALSE(controls.CurrentInput());
    EXPECT_FALSE(controls.Tuner());
    const Result<> set = controls.SetControl(V4L2_CID_BRIGHTNESS, 128);
    ASSERT_FALSE(set);
    EXPECT_EQ(set.error().text, "Inappropriate ioctl for device");
    EXPECT_FALSE(controls.SetInput(1));
    EXPECT_FALSE(controls.SetFrequency(1000));
}

}  // namespace
}  // namespace vemo
