// The camera's dialogs on a camera kept in memory: which widget each
// control gets, that a change reaches the camera at once and what the
// camera answers comes back, and what OK, Cancel and Defaults do.

#include "app/dialogs/camera_dialogs.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>

#include <gtest/gtest.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "app/message_box.h"
#include "support/camera_control_maker.h"
#include "support/dialog_checks.h"

namespace vemo {
namespace {

constexpr std::uint32_t kBrightness = 0x00980900;
constexpr std::uint32_t kAutoWhiteBalance = 0x0098090c;
constexpr std::uint32_t kPowerLine = 0x00980918;
constexpr std::uint32_t kTemperature = 0x0098091a;
constexpr std::uint32_t kPanReset = 0x009a0903;
constexpr std::uint32_t kExposureBias = 0x009a0913;

using Call = std::pair<std::uint32_t, std::int64_t>;

using test::MakeControl;

// A camera in memory, in the driver's order: white balance temperature
// follows its automatic control while that is on, brightness above 200 is
// refused, and every call is recorded.
class FakeCamera : public CameraControls {
  public:
    FakeCamera() {
        using Kind = CameraControl::Kind;
        controls_ = {
            MakeControl(kBrightness, "Brightness", "brightness", Kind::kInteger, 0, 255, 1, 128,
                        100),
            MakeControl(kAutoWhiteBalance, "White Balance, Automatic",
                        "white_balance_temperature_auto", Kind::kBoolean, 0, 1, 1, 1, 1),
            MakeControl(kPowerLine, "Power Line Frequency", "power_line_frequency", Kind::kMenu, 0,
                        2, 1, 1, 2),
            MakeControl(kTemperature, "White Balance Temperature", "white_balance_temperature",
                        Kind::kInteger, 2800, 6500, 10, 4600, 4000),
            MakeControl(kPanReset, "Pan, Reset", "pan_reset", Kind::kButton, 0, 0, 0, 0, 0),
            MakeControl(kExposureBias, "Auto Exposure, Bias", "auto_exposure_bias",
                        Kind::kIntegerMenu, 0, 2, 1, 1, 0),
        };
        controls_[2].menu = {{0, "Disabled"}, {1, "50 Hz"}, {2, "60 Hz"}};
        controls_[5].menu = {{0, "-2000"}, {1, "0"}, {2, "2000"}};
    }

    std::vector<CameraControl> Controls() override {
        std::vector<CameraControl> list = controls_;
        list[3].inactive = Value(kAutoWhiteBalance) != 0;
        return list;
    }
    Result<> SetControl(std::uint32_t id, std::int64_t value) override {
        calls.emplace_back(id, value);
        if (id == kBrightness && value > 200) {
            return Failure(ErrorKind::kInvalidValue, "Invalid argument");
        }
        CameraControl& control = Find(id);
        if (control.kind != CameraControl::Kind::kButton) control.value = value;
        return {};
    }

    std::vector<CameraInput> Inputs() override {
        return {{0, "Camera 1", false}, {1, "Tuner", true}};
    }
    std::optional<std::uint32_t> CurrentInput() override { return input; }
    Result<> SetInput(std::uint32_t index) override {
        inputs_set.push_back(index);
        if (refuse) return Failure(ErrorKind::kBusy, "Device or resource busy");
        input = index;
        return {};
    }

    std::optional<TunerState> Tuner() override { return tuner; }
    Result<> SetFrequency(std::uint32_t frequency) override {
        if (refuse) return Failure(ErrorKind::kInvalidValue, "Numerical result out of range");
        tuner.frequency = frequency;
        return {};
    }
    Result<> SetStandard(std::uint64_t standard) override {
        tuner.standard = standard;
        return {};
    }

    std::int64_t Value(std::uint32_t id) { return Find(id).value; }
    CameraControl& Find(std::uint32_t id) {
        return *std::find_if(controls_.begin(), controls_.end(),
                             [id](const CameraControl& c) { return c.id == id; });
    }

    std::vector<Call> calls;
    std::vector<std::uint32_t> inputs_set;
    std::uint32_t input = 0;
    bool refuse = false;
    TunerState tuner{3000, 700, 15000, {{0x000000ff, "PAL"}, {0x0000b000, "NTSC"}}, 0x0000b000};

  private:
    std::vector<CameraControl> controls_;
};

QStringList Items(const QComboBox* combo) {
    QStringList items;
    for (int i = 0; i < combo->count(); ++i)
        items << combo->itemText(i);
    return items;
}

QStringList Items(const QListWidget* list) {
    QStringList items;
    for (int i = 0; i < list->count(); ++i)
        items << list->item(i)->text();
    return items;
}

class CameraDialogsTest : public testing::Test {
  protected:
    void SetUp() override {
        SetMessageSink([this](const MessageRequest& request) {
            messages_.push_back(request.text);
            return kMessageOk;
        });
    }
    void TearDown() override { SetMessageSink(nullptr); }

    template <typename T>
    static T* Widget(QDialog& dialog, const char* name) {
        T* widget = dialog.findChild<T*>(name);
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }
    static void Press(QDialog& dialog, const char* name) {
        Widget<QPushButton>(dialog, name)->click();
    }

    FakeCamera camera_;
    std::vector<std::string> messages_;
};

TEST_F(CameraDialogsTest, EveryControlGetsAWidgetOfItsKind) {
    CameraControlsDialog dialog(nullptr, camera_, "USB Camera");
    EXPECT_EQ(dialog.windowTitle(), "USB Camera - Video Capture Filter");

    auto* brightness = Widget<QSlider>(dialog, "brightness");
    EXPECT_EQ(brightness->minimum(), 0);
    EXPECT_EQ(brightness->maximum(), 255);
    EXPECT_EQ(brightness->value(), 100);
    EXPECT_EQ(Widget<QLabel>(dialog, "brightness_value")->text(), "100");
    auto* temperature = Widget<QSlider>(dialog, "white_balance_temperature");
    EXPECT_EQ(temperature->minimum(), 2800);
    EXPECT_EQ(temperature->maximum(), 6500);
    EXPECT_EQ(temperature->singleStep(), 10);
    EXPECT_FALSE(temperature->isEnabled()) << "it follows the automatic white balance";
    EXPECT_TRUE(Widget<QCheckBox>(dialog, "white_balance_temperature_auto")->isChecked());
    auto* power_line = Widget<QComboBox>(dialog, "power_line_frequency");
    EXPECT_EQ(Items(power_line), QStringList({"Disabled", "50 Hz", "60 Hz"}));
    EXPECT_EQ(power_line->currentText(), "60 Hz");
    auto* bias = Widget<QComboBox>(dialog, "auto_exposure_bias");
    EXPECT_EQ(Items(bias), QStringList({"-2000", "0", "2000"}));
    EXPECT_EQ(bias->currentText(), "-2000");
    EXPECT_EQ(Widget<QPushButton>(dialog, "pan_reset")->text(), "Pan, Reset");

    const auto group_of = [](const QWidget* widget) {
        return qobject_cast<const QGroupBox*>(widget->parentWidget())->title();
    };
    EXPECT_EQ(group_of(brightness), "User Controls");
    EXPECT_EQ(group_of(power_line), "User Controls");
    EXPECT_EQ(group_of(bias), "Camera Controls");
    EXPECT_EQ(dialog.findChildren<QGroupBox*>().size(), 2);
    EXPECT_TRUE(camera_.calls.empty()) << "opening changes nothing";
}

TEST_F(CameraDialogsTest, ChangesReachTheCameraAtOnce) {
    CameraControlsDialog dialog(nullptr, camera_, "USB Camera");
    Widget<QSlider>(dialog, "brightness")->setValue(150);
    EXPECT_EQ(camera_.calls, std::vector<Call>({{kBrightness, 150}}));
    EXPECT_EQ(Widget<QLabel>(dialog, "brightness_value")->text(), "150");
    Widget<QComboBox>(dialog, "power_line_frequency")->setCurrentIndex(1);
    Widget<QComboBox>(dialog, "auto_exposure_bias")->setCurrentIndex(2);
    Press(dialog, "pan_reset");
    EXPECT_EQ(camera_.calls,
              std::vector<Call>(
                  {{kBrightness, 150}, {kPowerLine, 1}, {kExposureBias, 2}, {kPanReset, 1}}));
    EXPECT_EQ(camera_.Value(kPowerLine), 1);
}

TEST_F(CameraDialogsTest, ARefusedValueGivesWayToTheDrivers) {
    CameraControlsDialog dialog(nullptr, camera_, "USB Camera");
    auto* brightness = Widget<QSlider>(dialog, "brightness");
    brightness->setValue(230);
    EXPECT_EQ(camera_.calls, std::vector<Call>({{kBrightness, 230}}));
    EXPECT_EQ(brightness->value(), 100);
    EXPECT_EQ(Widget<QLabel>(dialog, "brightness_value")->text(), "100");
    EXPECT_EQ(Widget<QLabel>(dialog, "status")->text(), "Invalid argument");
}

TEST_F(CameraDialogsTest, TurningAutomaticWhiteBalanceOffMakesTheTemperatureEditable) {
    CameraControlsDialog dialog(nullptr, camera_, "USB Camera");
    auto* automatic = Widget<QCheckBox>(dialog, "white_balance_temperature_auto");
    auto* temperature = Widget<QSlider>(dialog, "white_balance_temperature");
    automatic->click();
    EXPECT_EQ(camera_.Value(kAutoWhiteBalance), 0);
    EXPECT_TRUE(temperature->isEnabled());
    temperature->setValue(5004);
    EXPECT_EQ(camera_.calls.back(), Call(kTemperature, 5000)) << "on the control's step";
    automatic->click();
    EXPECT_FALSE(temperature->isEnabled());
}

TEST_F(CameraDialogsTest, DefaultsSetsEveryControlToItsDefault) {
    CameraControlsDialog dialog(nullptr, camera_, "USB Camera");
    Widget<QCheckBox>(dialog, "white_balance_temperature_auto")->click();
    Press(dialog, "defaults");
    for (const CameraControl& control : camera_.Controls()) {
        if (control.kind != CameraControl::Kind::kButton) {
            EXPECT_EQ(control.value, control.default_value) << control.key;
        }
    }
    EXPECT_EQ(Widget<QSlider>(dialog, "brightness")->value(), 128);
    EXPECT_EQ(Widget<QComboBox>(dialog, "power_line_frequency")->currentText(), "50 Hz");
    EXPECT_FALSE(Widget<QSlider>(dialog, "white_balance_temperature")->isEnabled());
}

TEST_F(CameraDialogsTest, CancelPutsBackTheOpeningValuesInOrder) {
    CameraControlsDialog dialog(nullptr, camera_, "USB Camera");
    dialog.show();
    Widget<QSlider>(dialog, "brightness")->setValue(150);
    Widget<QCheckBox>(dialog, "white_balance_temperature_auto")->click();
    Widget<QSlider>(dialog, "white_balance_temperature")->setValue(5000);
    Widget<QComboBox>(dialog, "power_line_frequency")->setCurrentIndex(0);
    camera_.calls.clear();

    Press(dialog, "2");
    EXPECT_EQ(dialog.result(), QDialog::Rejected);
    EXPECT_EQ(
        camera_.calls,
        std::vector<Call>(
            {{kBrightness, 100}, {kAutoWhiteBalance, 1}, {kPowerLine, 2}, {kTemperature, 4000}}));
}

TEST_F(CameraDialogsTest, FormatDialogListsTheSizesOfEachPixelFormat) {
    const std::vector<OfferedFormat> formats = {{"YUY2", 640, 480, 30, 1},
                                                {"YUY2", 1280, 720, 10, 1},
                                                {"MJPG", 1280, 720, 30, 1},
                                                {"MJPG", 1920, 1080, 30000, 1001}};
    CameraFormatDialog dialog(nullptr, formats, formats[2]);
    dialog.show();
    EXPECT_EQ(dialog.windowTitle(), "Video Capture Pin");
    auto* pixel_format = Widget<QComboBox>(dialog, "pixel_format");
    auto* sizes = Widget<QListWidget>(dialog, "sizes");
    EXPECT_EQ(Items(pixel_format), QStringList({"YUY2", "MJPG"}));
    EXPECT_EQ(pixel_format->currentText(), "MJPG");
    EXPECT_EQ(Items(sizes), QStringList({"1280 x 720, 30 fps", "1920 x 1080, 29.97 fps"}));
    EXPECT_EQ(sizes->currentRow(), 0);

    pixel_format->setCurrentIndex(0);
    EXPECT_EQ(Items(sizes), QStringList({"640 x 480, 30 fps", "1280 x 720, 10 fps"}));
    EXPECT_EQ(sizes->currentRow(), 1) << "the size kept";
    EXPECT_EQ(dialog.chosen(), formats[2]) << "until OK";
    sizes->setCurrentRow(0);
    Press(dialog, "1");
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(dialog.chosen(), formats[0]);
}

TEST_F(CameraDialogsTest, InputDialogSwitchesOnOkAndStaysOpenWhenRefused) {
    camera_.input = 1;
    CameraInputDialog dialog(nullptr, camera_);
    dialog.show();
    EXPECT_EQ(dialog.windowTitle(), "Video Crossbar");
    auto* input = Widget<QComboBox>(dialog, "input");
    EXPECT_EQ(Items(input), QStringList({"Camera 1", "Tuner"}));
    EXPECT_EQ(input->currentText(), "Tuner");

    input->setCurrentIndex(0);
    camera_.refuse = true;
    Press(dialog, "1");
    EXPECT_TRUE(dialog.isVisible());
    // Said in the dialog, not in a message box over it.
    EXPECT_TRUE(messages_.empty());
    const QString status = Widget<QLabel>(dialog, "status")->text();
    EXPECT_TRUE(status.contains("Camera 1") && status.contains("Device or resource busy"))
        << status.toStdString();
    camera_.refuse = false;
    Press(dialog, "1");
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(camera_.inputs_set, std::vector<std::uint32_t>({0, 0}));
    EXPECT_EQ(camera_.input, 0u);
}

TEST_F(CameraDialogsTest, TunerDialogAppliesFrequencyAndStandardOnOk) {
    TunerDialog dialog(nullptr, camera_);
    dialog.show();
    EXPECT_EQ(dialog.windowTitle(), "TV Tuner");
    auto* frequency = Widget<QSpinBox>(dialog, "frequency");
    auto* standard = Widget<QComboBox>(dialog, "standard");
    EXPECT_EQ(frequency->minimum(), 700);
    EXPECT_EQ(frequency->maximum(), 15000);
    EXPECT_EQ(frequency->value(), 3000);
    EXPECT_EQ(Items(standard), QStringList({"PAL", "NTSC"}));
    EXPECT_EQ(standard->currentText(), "NTSC");

    frequency->setValue(4000);
    standard->setCurrentIndex(0);
    EXPECT_EQ(camera_.tuner.frequency, 3000u) << "until OK";
    camera_.refuse = true;
    Press(dialog, "1");
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_TRUE(messages_.empty());
    EXPECT_TRUE(Widget<QLabel>(dialog, "status")->text().contains("Numerical result out of range"));
    camera_.refuse = false;
    Press(dialog, "1");
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(camera_.tuner.frequency, 4000u);
    EXPECT_EQ(camera_.tuner.standard, 0x000000ffu);
}

TEST_F(CameraDialogsTest, EveryTextFits) {
    CameraFormatDialog format(nullptr, {{"YUY2", 1920, 1080, 30000, 1001}},
                              {"YUY2", 1920, 1080, 30000, 1001});
    CameraInputDialog input(nullptr, camera_);
    TunerDialog tuner(nullptr, camera_);
    for (QDialog* dialog : std::initializer_list<QDialog*>{&format, &input, &tuner}) {
        dialog->show();
        test::ExpectTextsFit(*dialog);
    }
}

}  // namespace
}  // namespace vemo
