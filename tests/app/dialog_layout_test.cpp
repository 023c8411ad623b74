// Every dialog of the engine as it is shown: each text fits its control,
// no two controls overlap, every control lies inside its dialog, controls
// that share a column (or a row) in a dialog template share it on screen,
// and a check box's text toggles it. With VEMO_SCREENSHOT_DIR set, each
// dialog walked is also saved there as a PNG (scripts/screenshots).

#include <QAbstractItemView>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMainWindow>
#include <QMenuBar>
#include <QPushButton>
#include <QSlider>
#include <QStyle>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/dialogs/about_dialog.h"
#include "app/dialogs/camera_dialogs.h"
#include "app/dialogs/capture_dialogs.h"
#include "app/dialogs/dialog_layout.h"
#include "app/dialogs/properties_dialogs.h"
#include "app/menus.h"
#include "support/camera_control_maker.h"
#include "support/test_support.h"

namespace vemo {
namespace {

// What the user sees as one control; the parts of a spin box, a combo box or
// a list are theirs to arrange.
bool IsControl(const QWidget* widget, const QWidget* dialog) {
    for (const QWidget* up = widget->parentWidget(); up != nullptr && up != dialog;
         up = up->parentWidget()) {
        if (qobject_cast<const QAbstractSpinBox*>(up) != nullptr ||
            qobject_cast<const QComboBox*>(up) != nullptr ||
            qobject_cast<const QAbstractItemView*>(up) != nullptr) {
            return false;
        }
    }
    return widget->isVisibleTo(dialog) &&
           (qobject_cast<const QLabel*>(widget) != nullptr ||
            qobject_cast<const QAbstractButton*>(widget) != nullptr ||
            qobject_cast<const QLineEdit*>(widget) != nullptr ||
            qobject_cast<const QComboBox*>(widget) != nullptr ||
            qobject_cast<const QAbstractSpinBox*>(widget) != nullptr ||
            qobject_cast<const QAbstractItemView*>(widget) != nullptr ||
            qobject_cast<const QGroupBox*>(widget) != nullptr ||
            qobject_cast<const QSlider*>(widget) != nullptr);
}

std::string Name(const QWidget* control) {
    QString text;
    if (const auto* label = qobject_cast<const QLabel*>(control)) text = label->text();
    if (const auto* button = qobject_cast<const QAbstractButton*>(control)) text = button->text();
    if (const auto* group = qobject_cast<const QGroupBox*>(control)) text = group->title();
    return (control->objectName() + " \"" + text + "\"").toStdString();
}

void ExpectLaidOut(QDialog& dialog) {
    dialog.show();
    QApplication::processEvents();
    const std::string title = dialog.windowTitle().toStdString();
    std::vector<QWidget*> controls;
    for (QWidget* widget : dialog.findChildren<QWidget*>()) {
        if (IsControl(widget, &dialog)) controls.push_back(widget);
    }
    ASSERT_FALSE(controls.empty()) << title;
    std::map<int, std::map<int, QWidget*>> columns;  // template x: pixel x: a control
    std::map<int, std::map<int, QWidget*>> rows;
    for (QWidget* control : controls) {
        const QSize needed = TextSizeNeeded(control);
        EXPECT_LE(needed.width(), control->width()) << title << ": " << Name(control);
        EXPECT_LE(needed.height(), control->height()) << title << ": " << Name(control);
        const QRect in_dialog(control->mapTo(&dialog, QPoint(0, 0)), control->size());
        EXPECT_TRUE(dialog.rect().contains(in_dialog)) << title << ": " << Name(control);
        // A list shows each entry whole: the text and the delegate's margins.
        if (const auto* list = qobject_cast<const QListWidget*>(control)) {
            const int margin = list->style()->pixelMetric(QStyle::PM_FocusFrameHMargin) + 1;
            for (int row = 0; row < list->count(); ++row) {
                EXPECT_LE(
                    list->fontMetrics().horizontalAdvance(list->item(row)->text()) + 2 * margin,
                    list->viewport()->width())
                    << title << ": " << list->item(row)->text().toStdString();
            }
        }
        for (const QWidget* other : controls) {
            if (other == control || other->parentWidget() != control->parentWidget()) continue;
            // A group box frames the controls within it.
            const bool framed = qobject_cast<const QGroupBox*>(control) != nullptr &&
                                control->geometry().contains(other->geometry());
            const bool framing = qobject_cast<const QGroupBox*>(other) != nullptr &&
                                 other->geometry().contains(control->geometry());
            if (framed || framing) continue;
            EXPECT_FALSE(control->geometry().intersects(other->geometry()))
                << title << ": " << Name(control) << " and " << Name(other);
        }
        const QRect units = TemplateRect(control);
        if (!units.isNull()) {
            columns[units.x()][control->x()] = control;
            rows[units.y()][control->y()] = control;
        }
    }
    for (const auto& [units, at] : columns) {
        EXPECT_EQ(at.size(), 1u) << title << ": the column at x " << units << " holds "
                                 << Name(at.begin()->second) << " and "
                                 << Name(at.rbegin()->second);
    }
    for (const auto& [units, at] : rows) {
        EXPECT_EQ(at.size(), 1u) << title << ": the row at y " << units << " holds "
                                 << Name(at.begin()->second) << " and "
                                 << Name(at.rbegin()->second);
    }
    // For the README's pictures.
    if (const char* directory = std::getenv("VEMO_SCREENSHOT_DIR")) {
        const QString file = QString::fromLocal8Bit(directory) + "/" + dialog.objectName() + ".png";
        EXPECT_TRUE(dialog.grab().save(file)) << file.toStdString();
    }
}

// A webcam's usual controls, one of each kind of widget; it takes every value.
class WebcamControls : public CameraControls {
  public:
    WebcamControls() {
        using Kind = CameraControl::Kind;
        Add(0x00980900, "Brightness", "brightness", Kind::kInteger, -64, 64, 0);
        Add(0x00980902, "Saturation", "saturation", Kind::kInteger, 0, 128, 64);
        Add(0x0098090c, "White Balance, Automatic", "white_balance_automatic", Kind::kBoolean, 0, 1,
            1);
        Add(0x00980918, "Power Line Frequency", "power_line_frequency", Kind::kMenu, 0, 2, 1);
        controls_.back().menu = {{0, "Disabled"}, {1, "50 Hz"}, {2, "60 Hz"}};
        Add(0x009a0903, "Pan, Reset", "pan_reset", Kind::kButton, 0, 0, 0);
    }
    std::vector<CameraControl> Controls() override { return controls_; }
    Result<> SetControl(std::uint32_t, std::int64_t) override { return {}; }
    std::vector<CameraInput> Inputs() override { return {}; }
    std::optional<std::uint32_t> CurrentInput() override { return std::nullopt; }
    Result<> SetInput(std::uint32_t) override { return {}; }
    std::optional<TunerState> Tuner() override { return std::nullopt; }
    Result<> SetFrequency(std::uint32_t) override { return {}; }
    Result<> SetStandard(std::uint64_t) override { return {}; }

  private:
    void Add(std::uint32_t id, const char* name, const char* key, CameraControl::Kind kind,
             std::int64_t minimum, std::int64_t maximum, std::int64_t value) {
        controls_.push_back(
            test::MakeControl(id, name, key, kind, minimum, maximum, 1, value, value));
    }

    std::vector<CameraControl> controls_;
};

// Clicks `box` on its text, past the indicator.
void ClickText(QCheckBox* box) {
    const int indicator = box->style()->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, box) +
                          box->style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, box);
    QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(indicator + 4, box->height() / 2));
}

class DialogLayoutTest : public testing::Test {
  protected:
    void SetUp() override {
        setenv("VEMO_SETTINGS_FILE", (dir_ / "settings.ini").c_str(), 1);
        // The widest values each entry can show.
        shown_.Set(SETTING_SCREEN_TIMER, 604800);
        shown_.Set(SETTING_SCREEN_GIF_COLOR, 256);
        shown_.Set(SETTING_SCREEN_DIVISION, 10);
        shown_.Set(SETTING_IMODE_WIDTH, 200);
        shown_.Set(SETTING_SCREEN_ONE, 0);
        shown_.Set(SETTING_IMODE_ROTATE, 1);
        capture_.capture_file_name = dir_ / "capture.avi";
        std::ofstream(capture_.capture_file_name).put('x');
    }

    test::TempDir dir_;
    Settings shown_;
    CaptureFileValues capture_;
};

TEST_F(DialogLayoutTest, TemplatesMapByTheLetterAverageAndTheFontHeight) {
    // The stand-in face of the dialog font, at 8 points: its letters average
    // 6.5 pixels, where its declared average width is 5.
    const QFont font = DialogFont();
    ASSERT_EQ(QFontInfo(font).family(), "IPAPGothic");
    EXPECT_EQ(BaseUnitsOf(font), (DialogBaseUnits{7, 12}));
    // With that unit every text fits as the templates were drawn: the
    // dialogs keep their template size.
    CameraPropertiesDialog camera(nullptr, shown_);
    EXPECT_EQ(camera.size(), QSize(212, 75));
    ImagePropertiesDialog image(nullptr, shown_);
    EXPECT_EQ(image.size(), QSize(245, 150));
}

TEST_F(DialogLayoutTest, EveryDialogIsLaidOutWhole) {
    {
        AboutDialog about(nullptr);
        ExpectLaidOut(about);
        CameraPropertiesDialog camera(nullptr, shown_);
        ExpectLaidOut(camera);
        ScreenPropertiesDialog screen(nullptr, shown_);
        ExpectLaidOut(screen);
        ImagePropertiesDialog image(nullptr, shown_);
        ExpectLaidOut(image);
    }
    {
        SetFileSizeDialog size(nullptr, capture_);
        ExpectLaidOut(size);
        double frame_rate = 14.99;
        bool use_frame_rate = true;
        FrameRateDialog rate(nullptr, frame_rate, use_frame_rate);
        ExpectLaidOut(rate);
        std::uint32_t time_limit = 4000000000u;
        bool use_time_limit = false;
        TimeLimitDialog limit(nullptr, time_limit, use_time_limit);
        ExpectLaidOut(limit);
    }
    {
        // A path longer than the dialog is wide, with a part that has no
        // place to break but between its characters.
        const std::string path = "/home/recordings/" + std::string(60, 'v') +
                                 "/evening rehearsal, second camera/capture.avi";
        ReadyToCaptureDialog ready(nullptr, path);
        ExpectLaidOut(ready);
        EXPECT_EQ(ready.width(), DialogRect(&ready, 0, 0, 121, 60).width()) << "as wide as drawn";
        EXPECT_GT(ready.height(), DialogRect(&ready, 0, 0, 121, 60).height()) << "taller";
        // OK and Cancel where the template has them across.
        const QRect ok = DialogRect(&ready, 18, 42, 32, 14);
        const QRect cancel = DialogRect(&ready, 69, 42, 32, 14);
        EXPECT_NEAR(ready.findChild<QPushButton*>("1")->geometry().center().x(), ok.center().x(),
                    1);
        EXPECT_NEAR(ready.findChild<QPushButton*>("2")->geometry().center().x(),
                    cancel.center().x(), 1);
    }
    {
        // More sizes than the list shows at once: it scrolls, and still
        // shows each entry whole.
        std::vector<OfferedFormat> formats;
        for (const auto& [width, height] :
             {std::pair{160, 120}, {320, 240}, {640, 480}, {800, 600}, {1280, 720}, {1920, 1080}}) {
            formats.push_back({"YUY2", width, height, 30, 1});
            formats.push_back({"YUY2", width, height, 30000, 1001});
        }
        formats.push_back({"MJPG", 1920, 1080, 30000, 1001});
        CameraFormatDialog format(nullptr, formats, formats[9]);
        ExpectLaidOut(format);
        WebcamControls camera;
        CameraControlsDialog controls(nullptr, camera, "USB Camera");
        ExpectLaidOut(controls);
    }
}

TEST_F(DialogLayoutTest, ACheckBoxsTextTogglesIt) {
    double frame_rate = 14.99;
    bool use_frame_rate = true;
    FrameRateDialog rate(nullptr, frame_rate, use_frame_rate);
    std::uint32_t time_limit = 0;
    bool use_time_limit = false;
    TimeLimitDialog limit(nullptr, time_limit, use_time_limit);
    ScreenPropertiesDialog screen(nullptr, shown_);  // i-mode chosen: rotation may change
    const std::pair<QDialog*, const char*> boxes[] = {
        {&rate, "406"}, {&limit, "405"}, {&screen, "423"}};
    for (const auto& [dialog, id] : boxes) {
        dialog->show();
        auto* box = dialog->findChild<QCheckBox*>(id);
        ASSERT_NE(box, nullptr) << id;
        EXPECT_FALSE(box->text().isEmpty()) << id;
        const bool before = box->isChecked();
        ClickText(box);
        EXPECT_NE(box->isChecked(), before) << id;
    }
}

TEST_F(DialogLayoutTest, HelpStandsAtTheRightEndOfTheMenuBar) {
    QMainWindow window;
    const EngineMenus menus = BuildMenuBar(window.menuBar(), [](int) {});
    window.resize(640, 200);
    window.show();
    QApplication::processEvents();
    QMenuBar* bar = window.menuBar();
    const QRect properties = bar->actionGeometry(menus.properties->menuAction());
    const QRect help = bar->actionGeometry(menus.help->menuAction());
    EXPECT_LT(properties.right(), bar->width() / 2);
    EXPECT_GT(help.left(), bar->width() / 2);
    EXPECT_GE(help.right(), bar->width() - 8);
    // Still one of the bar's own menus, which the arrow keys and Alt+H reach.
    EXPECT_TRUE(bar->actions().contains(menus.help->menuAction()));
    if (const char* directory = std::getenv("VEMO_SCREENSHOT_DIR")) {
        window.setWindowTitle("Vemo");
        EXPECT_TRUE(bar->grab().save(QString::fromLocal8Bit(directory) + "/menu_bar.png"));
    }
}

}  // namespace
}  // namespace vemo
