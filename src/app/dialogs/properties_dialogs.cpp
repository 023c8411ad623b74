#include "app/dialogs/properties_dialogs.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>

#include <iterator>

#include "app/dialogs/dialog_layout.h"

namespace vemo {

void PropertiesDialog::Take(SettingId id, const QLineEdit* edit) {
    settings_.Set(id, DialogNumber(edit->text()));
}

CameraPropertiesDialog::CameraPropertiesDialog(QWidget* parent, const Settings& shown)
    : PropertiesDialog(parent, shown) {
    setObjectName("612");
    PrepareDialog(this, "カメラ プロパティ", 121, 50);
    QLabel* timer_label = AddLabel(this, "タイマー(&T)", 3, 4, 43, 8);
    timer_ = AddEdit(this, 414, settings_.Get(SETTING_CAMERA_TIMER), 44, 4, 44, 12);
    timer_label->setBuddy(timer_);
    AddLabel(this, "秒", 93, 4, 18, 8);
    AddButtons(this, 18, 69, 33);
    PlaceControls(this);
}

void CameraPropertiesDialog::accept() {
    Take(SETTING_CAMERA_TIMER, timer_);
    QDialog::accept();
}

ScreenPropertiesDialog::ScreenPropertiesDialog(QWidget* parent, const Settings& shown)
    : PropertiesDialog(parent, shown) {
    setObjectName("613");
    PrepareDialog(this, "スクリーン プロパティ", 121, 110);
    QLabel* timer_label = AddLabel(this, "タイマー(&T)", 3, 4, 43, 8);
    timer_ = AddEdit(this, 416, settings_.Get(SETTING_SCREEN_TIMER), 44, 4, 44, 12);
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
    const bool rotated = settings_.Get(SETTING_IMODE_ROTATE) != 0;
    rotate_ = AddCheckBox(this, 423, "回転(&R)", rotated, 31, 69, 82, 8);
    AddButtons(this, 18, 69, 90);
    PlaceControls(this);

    const bool whole = settings_.Get(SETTING_SCREEN_ONE) != 0;
    whole_->setChecked(whole);
    imode_->setChecked(!whole);

    connect(whole_, &QRadioButton::clicked, this, [this] {
        whole_->setChecked(true);
        imode_->setChecked(false);
        rotate_->setChecked(false);
    });
    connect(imode_, &QRadioButton::clicked, this, [this, rotated] {
        imode_->setChecked(true);
        whole_->setChecked(false);
        rotate_->setChecked(rotated);
    });
    // Rotation belongs to the i-mode picture only.
    connect(rotate_, &QCheckBox::clicked, this, [this] {
        if (whole_->isChecked()) rotate_->setChecked(false);
    });
}

void ScreenPropertiesDialog::accept() {
    Take(SETTING_SCREEN_TIMER, timer_);
    settings_.Set(SETTING_SCREEN_ONE, whole_->isChecked() ? 1 : 0);
    settings_.Set(SETTING_IMODE_ROTATE, rotate_->isChecked() ? 1 : 0);
    QDialog::accept();
}

namespace {

struct ImageField {
    int id;
    const char* label;
    const char* unit;
    int label_y;
    int edit_y;
    SettingId setting;
};

constexpr ImageField kImageFields[5] = {
    {415, "カメラのGIFの色数(&C)", "色", 4, 4, SETTING_CAMERA_GIF_COLOR},
    {417, "スクリーンのGIFの色数(&G)", "色", 18, 16, SETTING_SCREEN_GIF_COLOR},
    {418, "スクリーンの分割数(&D)", "分割", 32, 30, SETTING_SCREEN_DIVISION},
    {421, "i-modeの画像の横(&W)", "ピクセル", 46, 44, SETTING_IMODE_WIDTH},
    {424, "i-modeのカメラの横(&H)", "ピクセル", 60, 58, SETTING_IMODE_CAMERA_WIDTH},
};

}  // namespace

ImagePropertiesDialog::ImagePropertiesDialog(QWidget* parent, const Settings& shown)
    : PropertiesDialog(parent, shown) {
    setObjectName("614");
    PrepareDialog(this, "カメラ/スクリーン プロパティ", 140, 100);
    for (std::size_t i = 0; i < std::size(kImageFields); ++i) {
        const ImageField& field = kImageFields[i];
        QLabel* label = AddLabel(this, field.label, 3, field.label_y, 93, 8);
        edits_[i] = AddEdit(this, field.id, settings_.Get(field.setting), 87, field.edit_y, 20, 12);
        label->setBuddy(edits_[i]);
        AddLabel(this, field.unit, 107, field.label_y, 30, 8);
    }
    AddButtons(this, 28, 79, 74);
    PlaceControls(this);
}

void ImagePropertiesDialog::accept() {
    for (std::size_t i = 0; i < std::size(kImageFields); ++i) {
        Take(kImageFields[i].setting, edits_[i]);
    }
    QDialog::accept();
}

}  // namespace vemo
