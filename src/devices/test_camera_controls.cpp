#include "devices/test_camera_controls.h"

#include <gst/gst.h>
#include <linux/videodev2.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include "camera/camera_graph.h"
#include "camera/v4l2_controls.h"

namespace vemo {
namespace {

using Kind = CameraControl::Kind;
using Menu = std::vector<std::pair<std::int64_t, std::string>>;

struct ControlSpec {
    std::uint32_t id;
    const char* name;
    Kind kind;
    std::int64_t minimum;
    std::int64_t maximum;
    std::int64_t default_value;
};

// A webcam's ranges: 128 is the neutral middle of 0..255.
constexpr ControlSpec kUserControls[] = {
    {V4L2_CID_BRIGHTNESS, "Brightness", Kind::kInteger, 0, 255, 128},
    {V4L2_CID_CONTRAST, "Contrast", Kind::kInteger, 0, 255, 128},
    {V4L2_CID_SATURATION, "Saturation", Kind::kInteger, 0, 255, 128},
    {V4L2_CID_HUE, "Hue", Kind::kInteger, -180, 180, 0},
    {V4L2_CID_COLOR_KILLER, "Color Killer", Kind::kBoolean, 0, 1, 0},
};
constexpr char kUserClass[] = "User Controls";
constexpr char kImageProcessingClass[] = "Image Processing Controls";

// A pattern's name as a menu item: videotestsrc's own, with a comma's aside
// put in parentheses ("SMPTE test pattern, RP 219 conformant" becomes
// "SMPTE test pattern (RP 219 conformant)"), since scripts read the items of
// a menu as a comma-separated list.
std::string PatternLabel(std::string name) {
    const std::size_t comma = name.find(", ");
    if (comma != std::string::npos)
        name = name.substr(0, comma) + " (" + name.substr(comma + 2) + ")";
    std::replace(name.begin(), name.end(), ',', ';');
    return name;
}

// The patterns videotestsrc can draw, as its "pattern" property names them.
// It names two values alike (smpte and smpte100 draw the same bars): the
// first of each name is offered, since a menu's items are chosen by name.
const Menu& PatternItems() {
    static const Menu items = [] {
        Menu menu;
        const gst::ElementRef source = MakeElement("videotestsrc", nullptr);
        if (!source) return menu;
        GParamSpec* spec =
            g_object_class_find_property(G_OBJECT_GET_CLASS(source.get()), "pattern");
        if (spec == nullptr || !G_IS_PARAM_SPEC_ENUM(spec)) return menu;
        const GEnumClass* patterns = G_PARAM_SPEC_ENUM(spec)->enum_class;
        for (guint i = 0; i < patterns->n_values; ++i) {
            std::string label = PatternLabel(patterns->values[i].value_name);
            if (std::none_of(menu.begin(), menu.end(),
                             [&label](const auto& item) { return item.second == label; })) {
                menu.emplace_back(patterns->values[i].value, std::move(label));
            }
        }
        return menu;
    }();
    return items;
}

// 0..255 onto low..high with 128 on `middle`, each half linear, so that both
// ends are reached exactly.
double Scale(std::int64_t value, double low, double middle, double high) {
    return value < 128 ? low + (middle - low) * static_cast<double>(value) / 128.0
                       : middle + (high - middle) * static_cast<double>(value - 128) / 127.0;
}

std::unexpected<Error> Refuse(int code) {
    return Failure(KindOfErrno(code), std::strerror(code));
}

}  // namespace

TestCameraControlState::TestCameraControlState(const TestCameraConfig& config)
    : has_controls_(config.controls),
      input_count_(static_cast<std::uint32_t>(std::clamp(config.inputs, 1, 64))) {
    for (const ControlSpec& spec : kUserControls)
        values_[spec.id] = spec.default_value;
    // The camera starts on videotestsrc's own default, the colour bars.
    values_[V4L2_CID_TEST_PATTERN] = 0;
}

void TestCameraControlState::ApplyTo(GstElement* pattern, GstElement* balance) {
    std::lock_guard lock(mutex_);
    if (pattern != nullptr) {
        int current = 0;
        g_object_get(pattern, "pattern", &current, nullptr);
        // Set only when it differs: a change of another control leaves it be.
        const auto wanted = static_cast<int>(values_[V4L2_CID_TEST_PATTERN]);
        if (current != wanted) g_object_set(pattern, "pattern", wanted, nullptr);
    }
    if (balance != nullptr) {
        const bool killed = values_[V4L2_CID_COLOR_KILLER] != 0;
        g_object_set(balance, "brightness", Scale(values_[V4L2_CID_BRIGHTNESS], -1.0, 0.0, 1.0),
                     "contrast", Scale(values_[V4L2_CID_CONTRAST], 0.0, 1.0, 2.0), "saturation",
                     killed ? 0.0 : Scale(values_[V4L2_CID_SATURATION], 0.0, 1.0, 2.0), "hue",
                     static_cast<double>(values_[V4L2_CID_HUE]) / 180.0, nullptr);
    }
}

void TestCameraControlState::ApplyAt(GstPad* pad) {
    const gst::ElementRef source = gst::ElementRef::Adopt(gst_pad_get_parent_element(pad));
    if (!source) return;
    const auto bin =
        gst::ObjectRef<GstObject>::Adopt(gst_object_get_parent(GST_OBJECT(source.get())));
    gst::ElementRef balance;
    if (bin && GST_IS_BIN(bin.get())) {
        balance = gst::ElementRef::Adopt(gst_bin_get_by_name(GST_BIN(bin.get()), "balance"));
    }
    ApplyTo(source.get(), balance.get());
}

std::vector<CameraControl> TestCameraControlState::Controls() {
    std::vector<CameraControl> controls;
    if (!has_controls_) return controls;
    std::lock_guard lock(mutex_);
    const auto add = [&](const ControlSpec& spec, std::uint32_t control_class,
                         const char* class_name) {
        CameraControl& control = controls.emplace_back();
        control.id = spec.id;
        control.name = spec.name;
        control.key = ControlKey(spec.name);
        control.kind = spec.kind;
        control.minimum = spec.minimum;
        control.maximum = spec.maximum;
        control.default_value = spec.default_value;
        control.value = values_[spec.id];
        control.control_class = control_class;
        control.class_name = class_name;
    };
    for (const ControlSpec& spec : kUserControls)
        add(spec, V4L2_CTRL_CLASS_USER, kUserClass);
    // As a driver marks what follows an automatic control that is on.
    for (CameraControl& control : controls) {
        control.inactive = control.id == V4L2_CID_SATURATION && values_[V4L2_CID_COLOR_KILLER] != 0;
    }
    const Menu& patterns = PatternItems();
    if (!patterns.empty()) {
        add({V4L2_CID_TEST_PATTERN, "Test Pattern", Kind::kMenu, patterns.front().first,
             patterns.back().first, 0},
            V4L2_CTRL_CLASS_IMAGE_PROC, kImageProcessingClass);
        controls.back().menu = patterns;
    }
    return controls;
}

Result<> TestCameraControlState::SetControl(std::uint32_t id, std::int64_t value) {
    if (!has_controls_) return Refuse(EINVAL);
    const auto spec = std::find_if(std::begin(kUserControls), std::end(kUserControls),
                                   [&](const ControlSpec& s) { return s.id == id; });
    if (spec != std::end(kUserControls)) {
        // As the V4L2 core does, a number out of range is brought into it.
        value = std::clamp(value, spec->minimum, spec->maximum);
    } else if (id == V4L2_CID_TEST_PATTERN) {
        const Menu& patterns = PatternItems();
        if (std::none_of(patterns.begin(), patterns.end(),
                         [&](const auto& item) { return item.first == value; })) {
            return Refuse(EINVAL);
        }
    } else {
        return Refuse(EINVAL);
    }
    {
        std::lock_guard lock(mutex_);
        values_[id] = value;
    }
    ++generation_;
    return {};
}

std::vector<CameraInput> TestCameraControlState::Inputs() {
    std::vector<CameraInput> inputs;
    if (input_count_ == 1) return {{0, "Camera 1", false}};
    for (std::uint32_t i = 0; i < input_count_; ++i)
        inputs.push_back({i, "Input " + std::to_string(i + 1), false});
    return inputs;
}

std::optional<std::uint32_t> TestCameraControlState::CurrentInput() {
    std::lock_guard lock(mutex_);
    return input_;
}

Result<> TestCameraControlState::SetInput(std::uint32_t index) {
    if (index >= input_count_) return Refuse(EINVAL);
    std::lock_guard lock(mutex_);
    input_ = index;
    return {};
}

Result<> TestCameraControlState::SetFrequency(std::uint32_t) {
    return Refuse(ENOTTY);
}

Result<> TestCameraControlState::SetStandard(std::uint64_t) {
    return Refuse(ENOTTY);
}

namespace {

// Forwards to the camera's state, which outlives the camera's unplugging
// while a caller still holds its controls.
class SharedTestCameraControls final : public CameraControls {
  public:
    explicit SharedTestCameraControls(std::shared_ptr<TestCameraControlState> state)
        : state_(std::move(state)) {}

    std::vector<CameraControl> Controls() override { return state_->Controls(); }
    Result<> SetControl(std::uint32_t id, std::int64_t value) override {
        return state_->SetControl(id, value);
    }
    std::vector<CameraInput> Inputs() override { return state_->Inputs(); }
    std::optional<std::uint32_t> CurrentInput() override { return state_->CurrentInput(); }
    Result<> SetInput(std::uint32_t index) override { return state_->SetInput(index); }
    std::optional<TunerState> Tuner() override { return state_->Tuner(); }
    Result<> SetFrequency(std::uint32_t frequency) override {
        return state_->SetFrequency(frequency);
    }
    Result<> SetStandard(std::uint64_t standard) override { return state_->SetStandard(standard); }

  private:
    std::shared_ptr<TestCameraControlState> state_;
};

}  // namespace

std::unique_ptr<CameraControls> ShareTestCameraControls(
    std::shared_ptr<TestCameraControlState> state) {
    return std::make_unique<SharedTestCameraControls>(std::move(state));
}

}  // namespace vemo
