// The capture dialogs on real files: what they show, how the size field is
// corrected while typing and what OK accepts.

#include "app/dialogs/capture_dialogs.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "app/message_box.h"
#include "support/dialog_checks.h"
#include "support/test_support.h"

namespace vemo {
namespace {

class CaptureDialogsTest : public testing::Test {
  protected:
    void SetUp() override {
        SetMessageSink([this](const MessageRequest& request) {
            messages_.push_back(request.text);
            return kMessageOk;
        });
    }
    void TearDown() override { SetMessageSink(nullptr); }

    static QLineEdit* Field(QDialog& dialog, const char* id) {
        return dialog.findChild<QLineEdit*>(id);
    }
    static void PressOk(QDialog& dialog) { dialog.findChild<QPushButton*>("1")->click(); }

    test::TempDir dir_;
    std::vector<std::string> messages_;
};

TEST_F(CaptureDialogsTest, FileSizeCountsTheExistingFileAsFree) {
    CaptureFileValues values;
    values.capture_file_name = dir_ / "capture.avi";
    {
        // Sparse: the free space stays as it is.
        const int fd = open(values.capture_file_name.c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, 50 << 20), 0);
        close(fd);
    }
    // Other programs use the disk meanwhile: the dialog's reading lies
    // between two of ours.
    const std::int32_t free_before = FreeDiskSpaceKB(values.capture_file_name);
    SetFileSizeDialog dialog(nullptr, values);
    const std::int32_t free_after = FreeDiskSpaceKB(values.capture_file_name);
    dialog.show();

    const QLabel* free_space = dialog.findChild<QLabel*>("400");
    EXPECT_TRUE(free_space->isEnabled());
    bool number = false;
    const int shown = free_space->text().toInt(&number);
    ASSERT_TRUE(number) << free_space->text().toStdString();
    EXPECT_EQ(shown, values.max_capture_file_mb);
    EXPECT_GE(shown, (50 * 1024 + std::min(free_before, free_after)) / 1024);
    EXPECT_LE(shown, (50 * 1024 + std::max(free_before, free_after)) / 1024);
    QLineEdit* size = Field(dialog, "401");
    EXPECT_EQ(size->text(), "50");
    EXPECT_EQ(values.capture_file_mb, 50);

    size->selectAll();
    QTest::keyClicks(size, "0");
    EXPECT_EQ(size->text(), "1");
    size->selectAll();
    QTest::keyClicks(size, "12a");
    EXPECT_EQ(size->text(), "1");
    size->setText("1.5");  // as pasted
    EXPECT_EQ(size->text(), "1");
    size->setText(QString::number(shown + 1));
    EXPECT_EQ(size->text(), QString::number(std::min(shown, 65535))) << "the bound";

    size->setText("50");
    PressOk(dialog);
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(values.capture_file_mb, 50);
}

TEST_F(CaptureDialogsTest, FileSizeRefusesLessThanOne) {
    CaptureFileValues values;
    values.capture_file_name = dir_ / "new.avi";
    values.capture_file_mb = 20;
    SetFileSizeDialog dialog(nullptr, values);
    dialog.show();
    EXPECT_EQ(values.capture_file_mb, 0) << "no file yet";
    QLineEdit* size = Field(dialog, "401");
    EXPECT_EQ(size->text(), "0");

    PressOk(dialog);
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(values.capture_file_mb, 0);
    EXPECT_EQ(dialog.focusWidget(), size);
    EXPECT_EQ(size->text(), "1") << "0 written back, then corrected";
    PressOk(dialog);
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(values.capture_file_mb, 1);
}

TEST_F(CaptureDialogsTest, UnknownFreeSpaceKeepsTheLastBound) {
    CaptureFileValues values;
    values.capture_file_name = dir_ / "missing/capture.avi";
    {
        // The first opening has no bound: nothing is accepted.
        SetFileSizeDialog dialog(nullptr, values);
        dialog.show();
        EXPECT_FALSE(dialog.findChild<QLabel*>("400")->isEnabled());
        EXPECT_EQ(values.max_capture_file_mb, 0);
        QLineEdit* size = Field(dialog, "401");
        size->setText("5");
        EXPECT_EQ(size->text(), "5");
        PressOk(dialog);
        EXPECT_TRUE(dialog.isVisible());
        dialog.findChild<QPushButton*>("2")->click();
        EXPECT_EQ(dialog.result(), QDialog::Rejected);
        EXPECT_EQ(values.capture_file_mb, 0);
    }
    values.max_capture_file_mb = 300;  // from an opening that knew the space
    SetFileSizeDialog dialog(nullptr, values);
    dialog.show();
    QLineEdit* size = Field(dialog, "401");
    size->setText("500");
    EXPECT_EQ(size->text(), "300");
    PressOk(dialog);
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(values.capture_file_mb, 300);
    EXPECT_EQ(values.max_capture_file_mb, 300);
}

TEST_F(CaptureDialogsTest, FrameRateMustBePositive) {
    double frame_rate = 14.99;
    bool use_frame_rate = true;
    FrameRateDialog dialog(nullptr, frame_rate, use_frame_rate);
    dialog.show();
    QLineEdit* rate = Field(dialog, "402");
    EXPECT_EQ(rate->text(), "14.990000");
    EXPECT_TRUE(dialog.findChild<QCheckBox*>("406")->isChecked());

    for (const char* entry : {"0", "-5", "abc"}) {
        messages_.clear();
        rate->setText(entry);
        PressOk(dialog);
        EXPECT_TRUE(dialog.isVisible()) << entry;
        ASSERT_EQ(messages_.size(), 1u) << entry;
        EXPECT_TRUE(QString::fromStdString(messages_[0]).endsWith("Invalid frame rate."));
    }
    EXPECT_EQ(frame_rate, 14.99);
    EXPECT_TRUE(use_frame_rate);

    dialog.findChild<QCheckBox*>("406")->setChecked(false);
    rate->setText("29.97");
    PressOk(dialog);
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(frame_rate, 29.97);
    EXPECT_FALSE(use_frame_rate);
}

TEST_F(CaptureDialogsTest, FrameRateShowsTheCamerasRateAsItStatesIt) {
    double frame_rate = 14.99;
    bool use_frame_rate = true;
    FrameRateDialog whole(nullptr, frame_rate, use_frame_rate, FrameRate{15, 1});
    EXPECT_EQ(Field(whole, "402")->text(), "15");
    FrameRateDialog ntsc(nullptr, frame_rate, use_frame_rate, FrameRate{30000, 1001});
    EXPECT_EQ(Field(ntsc, "402")->text(), "29.970030");
    // No rate known: the stored one, which the camera is asked to come near.
    FrameRateDialog unknown(nullptr, frame_rate, use_frame_rate, FrameRate{});
    EXPECT_EQ(Field(unknown, "402")->text(), "14.990000");

    whole.show();
    PressOk(whole);
    EXPECT_EQ(whole.result(), QDialog::Accepted);
    EXPECT_EQ(frame_rate, 15.0);
}

TEST_F(CaptureDialogsTest, ReadyShowsTheFileAndTimeLimitTakesAnyText) {
    const std::string name = dir_ / "<b>capture</b>.avi";
    ReadyToCaptureDialog ready(nullptr, name);
    const QLabel* shown = ready.findChild<QLabel*>("403");
    EXPECT_EQ(shown->text().toStdString(), name);
    EXPECT_EQ(shown->textFormat(), Qt::PlainText);

    std::uint32_t time_limit = 30;
    bool use_time_limit = false;
    TimeLimitDialog limit(nullptr, time_limit, use_time_limit);
    limit.show();
    EXPECT_EQ(Field(limit, "404")->text(), "30");
    Field(limit, "404")->setText("abc");
    limit.findChild<QCheckBox*>("405")->setChecked(true);
    PressOk(limit);
    EXPECT_EQ(limit.result(), QDialog::Accepted);
    EXPECT_EQ(time_limit, 0u);
    EXPECT_TRUE(use_time_limit);
}

TEST_F(CaptureDialogsTest, TextsAreEnglishAndFit) {
    CaptureFileValues values;
    values.capture_file_name = dir_ / "capture.avi";
    double frame_rate = 14.99;
    bool use = true;
    std::uint32_t time_limit = 4000000000u;
    SetFileSizeDialog size(nullptr, values);
    FrameRateDialog rate(nullptr, frame_rate, use);
    ReadyToCaptureDialog ready(nullptr, values.capture_file_name);
    TimeLimitDialog limit(nullptr, time_limit, use);
    const std::pair<QDialog*, const char*> dialogs[] = {{&size, "Set File Size"},
                                                        {&rate, "Choose Frame Rate"},
                                                        {&ready, "Ready to Capture"},
                                                        {&limit, "Capture Time Limit"}};
    for (const auto& [dialog, title] : dialogs) {
        EXPECT_EQ(dialog->windowTitle(), title);
        EXPECT_EQ(dialog->findChild<QPushButton*>("1")->text(), "OK");
        EXPECT_EQ(dialog->findChild<QPushButton*>("2")->text(), "Cancel");
        test::ExpectTextsFit(*dialog);
        // Each field shows all of the number it starts with.
        for (const QLineEdit* edit : dialog->findChildren<QLineEdit*>()) {
            EXPECT_GT(edit->width(), edit->fontMetrics().horizontalAdvance(edit->text()));
            for (const QWidget* other : dialog->findChildren<QLabel*>()) {
                if (other->x() > edit->x() && other->y() < edit->geometry().bottom() &&
                    edit->y() < other->geometry().bottom()) {
                    EXPECT_GT(other->x(), edit->geometry().right()) << title;
                }
            }
        }
    }
    EXPECT_EQ(size.objectName(), "601");
    EXPECT_EQ(limit.objectName(), "604");
}

}  // namespace
}  // namespace vemo
