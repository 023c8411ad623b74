#include "app/dialogs/properties_dialogs.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>

#include <algorithm>

#include "app/dialogs/dialog_layout.h"
#include "app/message_box.h"
#include "settings/settings_store.h"

namespace vemo {
namespace {

std::uint32_t Clamped(const QLineEdit* edit, std::uint32_t low, std::uint32_t high) {
    return std::clamp(DialogNumber(edit->text()), low, high);
}

}  // namespace

CameraPropertiesDialog::CameraPropertiesDialog(QWidget* parent, EngineState& state,
                                               PropertiesEffects effects)
    : QDialog(parent), state_(state), effects_(std::move(effects)) {
    setObjectName("612");
    PrepareDialog(this, "カメラ プロパティ", 121, 50);
    QLabel* timer_label = AddLabel(this, "タイマー(&T)", 3, 4, 43, 8);
    timer_ = AddEdit(this, 414, state_.camera_timer, 44, 4, 44, 12);
    timer_label->setBuddy(timer_);
    AddLabel(this, "秒", 93, 4, 18, 8);
    AddButtons(this, 18, 69, 33);
    PlaceControls(this);
}

void CameraPropertiesDialog::accept() {
    const std::uint32_t seconds = Clamped(timer_, kMinIntervalSeconds, kMaxIntervalSeconds);
    state_.camera_timer = seconds;
    WriteSetting(SETTING_CAMERA_TIMER, seconds);
    if (effects_.set_camera_timer) effects_.set_camera_timer(seconds * 1000);
    QDialog::accept();
}

ScreenPropertiesDialog::ScreenPropertiesDialog(QWidget* parent, EngineState& state,
                                               PropertiesEffects effects)
    : QDialog(parent), state_(state), effects_(std::move(effects)) {
    setObjectName("613");
    PrepareDialog(this, "スクリーン プロパティ", 121, 110);
    QLabel* timer_label = AddLabel(this, "タイマー(&T)", 3, 4, 43, 8);
    timer_ = AddEdit(this, 416, state_.screen.screen_timer, 44, 4, 44, 12);
    timer_label->setBuddy(timer_);
    AddLabel(this, "秒", 93, 4, 18, 8);
    auto* group = new QGroupBox(QString::fromUtf8("キャプチャオプション(&O)"), this);
    Place(group, 3, 32, 113, 52);
    // The buttons are children of the dialog, not of the group, so the
    // dialog decides which one is checked.
    whole_ = new QRadioButton(QString::fromUtf8("スクリーン全体(&W)"), this);
    whole_->setObjectName("419");
    whole_->setAutoExclusive(false);
    Place(whole_, 11, 45, 87, 10);
    imode_ = new QRadioButton(QString::fromUtf8("i-mode(&I)"), this);
    imode_->setObjectName("420");
    imode_->setAutoExclusive(false);
    Place(imode_, 11, 57, 86, 10);
    // The box and the label beside it in the template, as one control: a
    // click on the text toggles the box.
    rotate_ = AddCheckBox(this, 423, "回転(&R)", state_.screen.imode_rotate != 0, 31, 69, 82, 8);
    AddButtons(this, 18, 69, 90);
    PlaceControls(this);

    const bool whole = state_.screen.screen_one != 0;
    whole_->setChecked(whole);
    imode_->setChecked(!whole);

    connect(whole_, &QRadioButton::clicked, this, [this] {
        whole_->setChecked(true);
        imode_->setChecked(false);
        rotate_->setChecked(false);
    });
    connect(imode_, &QRadioButton::clicked, this, [this] {
        imode_->setChecked(true);
        whole_->setChecked(false);
        rotate_->setChecked(state_.screen.imode_rotate != 0);
    });
    // Rotation belongs to the i-mode picture only.
    connect(rotate_, &QCheckBox::clicked, this, [this] {
        if (whole_->isChecked()) rotate_->setChecked(false);
    });
}

void ScreenPropertiesDialog::accept() {
    const std::uint32_t seconds = Clamped(timer_, kMinIntervalSeconds, kMaxIntervalSeconds);
    state_.screen.screen_timer = seconds;
    WriteSetting(SETTING_SCREEN_TIMER, seconds);
    if (effects_.set_screen_timer) effects_.set_screen_timer(seconds * 1000);
    state_.screen.screen_one = whole_->isChecked() ? 1 : 0;
    WriteSetting(SETTING_SCREEN_ONE, state_.screen.screen_one);
    state_.screen.imode_rotate = rotate_->isChecked() ? 1 : 0;
    WriteSetting(SETTING_IMODE_ROTATE, state_.screen.imode_rotate);
    if (effects_.restart_screen_capture) effects_.restart_screen_capture();
    QDialog::accept();
}

namespace {

struct ImageField {
    int id;
    const char* label;
    const char* unit;
    int label_y;
    int edit_y;
    std::uint32_t& (*value)(EngineState& state);
    SettingId setting;
    std::uint32_t low, high;
};

constexpr ImageField kImageFields[5] = {
    {415, "カメラのGIFの色数(&C)", "色", 4, 4,
     [](EngineState& state) -> std::uint32_t& { return state.camera_gif_color; },
     SETTING_CAMERA_GIF_COLOR, 8, 256},
    {417, "スクリーンのGIFの色数(&G)", "色", 18, 16,
     [](EngineState& state) -> std::uint32_t& { return state.screen.screen_gif_color; },
     SETTING_SCREEN_GIF_COLOR, 8, 256},
    {418, "スクリーンの分割数(&D)", "分割", 32, 30,
     [](EngineState& state) -> std::uint32_t& { return state.screen.screen_division; },
     SETTING_SCREEN_DIVISION, 1, 10},
    {421, "i-modeの画像の横(&W)", "ピクセル", 46, 44,
     [](EngineState& state) -> std::uint32_t& { return state.screen.imode_width; },
     SETTING_IMODE_WIDTH, 50, 200},
    {424, "i-modeのカメラの横(&H)", "ピクセル", 60, 58,
     [](EngineState& state) -> std::uint32_t& { return state.imode_camera_width; },
     SETTING_IMODE_CAMERA_WIDTH, 50, 200},
};

}  // namespace

ImagePropertiesDialog::ImagePropertiesDialog(QWidget* parent, EngineState& state,
                                             PropertiesEffects effects)
    : QDialog(parent), state_(state), effects_(std::move(effects)) {
    setObjectName("614");
    PrepareDialog(this, "カメラ/スクリーン プロパティ", 140, 100);
    for (std::size_t i = 0; i < std::size(kImageFields); ++i) {
        const ImageField& field = kImageFields[i];
        QLabel* label = AddLabel(this, field.label, 3, field.label_y, 93, 8);
        edits_[i] = AddEdit(this, field.id, field.value(state_), 87, field.edit_y, 20, 12);
        label->setBuddy(edits_[i]);
        AddLabel(this, field.unit, 107, field.label_y, 30, 8);
    }
    AddButtons(this, 28, 79, 74);
    PlaceControls(this);
}

void ImagePropertiesDialog::accept() {
    for (std::size_t i = 0; i < std::size(kImageFields); ++i) {
        const ImageField& field = kImageFields[i];
        const std::uint32_t value = Clamped(edits_[i], field.low, field.high);
        field.value(state_) = value;
        WriteSetting(field.setting, value);
    }
    if (effects_.set_screen_gif_color)
        effects_.set_screen_gif_color(state_.screen.screen_gif_color);
    if (effects_.set_camera_timer) effects_.set_camera_timer(state_.camera_timer * 1000);
    QDialog::accept();
    // The screen's sizes are fixed when its capture starts: say so.
    ShowMessage({MessageKind::kWarning, "Restart Vemo CAPTURE", "Vemo CAPTURE"});
}

}  // namespace vemo
