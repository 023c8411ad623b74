#include "app/dialogs/capture_dialogs.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QScopedValueRollback>

#include <cctype>
#include <charconv>
#include <cmath>
#include <optional>

#include "app/dialogs/dialog_layout.h"
#include "app/message_box.h"
#include "capfile/file_size_rules.h"

namespace vemo {
namespace {

QLineEdit* AddTextEdit(QDialog* dialog, int id, const QString& text, int x, int y, int width,
                       int height) {
    auto* edit = new QLineEdit(text, dialog);
    edit->setObjectName(QString::number(id));
    Place(edit, x, y, width, height);
    return edit;
}

// OK and Cancel in English, as the rest of these dialogs.
void AddEnglishButtons(QDialog* dialog, int ok_x, int cancel_x, int y, int width) {
    AddButtons(dialog, ok_x, cancel_x, y, width, "Cancel");
}

// "%f" without the user's locale: the field must read back the same way.
QString SixDecimals(double value) {
    char text[400];
    const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 6);
    return QString::fromLatin1(text, result.ec == std::errc() ? result.ptr - text : 0);
}

// A camera's rate as it states it: a whole rate as a whole number, any other
// to six decimals, as a stored rate.
QString RateText(FrameRate rate) {
    if (rate.numerator % rate.denominator == 0)
        return QString::number(rate.numerator / rate.denominator);
    return SixDecimals(rate.value());
}

// The floating number at the start of the first 31 characters, after blanks;
// 0 when there is none. Infinity and NaN count as none: no frame rate.
double LeadingDouble(const QString& field) {
    const std::string text = field.left(31).toStdString();
    const char* at = text.data();
    const char* const end = at + text.size();
    while (at < end && std::isspace(static_cast<unsigned char>(*at)) != 0)
        ++at;
    if (at < end && *at == '+') ++at;
    double value = 0;
    if (std::from_chars(at, end, value).ec != std::errc() || !std::isfinite(value)) return 0;
    return value;
}

}  // namespace

SetFileSizeDialog::SetFileSizeDialog(QWidget* parent, CaptureFileValues& values)
    : QDialog(parent), values_(values) {
    setObjectName("601");
    PrepareDialog(this, "Set File Size", 160, 105);
    AddLabel(this, "Enter the amount of disk space to set ", 5, 9, 130, 8);
    AddLabel(this, "aside for the capture file.  Existing video", 5, 19, 135, 8);
    AddLabel(this, "data in the file will be lost.", 5, 29, 93, 8);
    AddLabel(this, "Free disk space:", 5, 50, 59, 8);
    QLabel* free_space = AddLabel(this, "     ", 73, 50, 20, 8);
    free_space->setObjectName("400");
    AddLabel(this, "MBytes", 96, 50, 27, 8);
    QLabel* size_label = AddLabel(this, "Capture file size:", 5, 64, 60, 8);
    size_ = AddTextEdit(this, 401, QString(), 65, 64, 28, 12);
    size_label->setBuddy(size_);
    AddLabel(this, "MBytes", 96, 64, 27, 8);
    AddEnglishButtons(this, 38, 88, 84, 40);

    const std::uint64_t existing = FileSize64(values_.capture_file_name);
    const std::int32_t free_kb = FreeDiskSpaceKB(values_.capture_file_name);
    if (free_kb != -1) {
        values_.max_capture_file_mb = MaxCaptureFileMb(existing, free_kb);
        free_space->setText(QString::number(values_.max_capture_file_mb));
    } else {
        free_space->setEnabled(false);
    }
    values_.capture_file_mb = ExistingCaptureMb(existing);
    size_->setText(QString::number(values_.capture_file_mb));
    // After the texts are in: the free space and the size may need more room
    // than their places give.
    PlaceControls(this);
    connect(size_, &QLineEdit::textChanged, this, &SetFileSizeDialog::CorrectSize);
}

void SetFileSizeDialog::CorrectSize(const QString& text) {
    // The replacement notifies again; it is final already.
    if (correcting_) return;
    const std::string typed = text.toStdString();
    const std::string corrected = CorrectSizeField(typed, values_.max_capture_file_mb);
    if (corrected == typed) return;
    const QScopedValueRollback<bool> guard(correcting_, true);
    size_->setText(QString::fromStdString(corrected));
}

void SetFileSizeDialog::accept() {
    const std::string text = size_->text().toStdString();
    if (const std::optional<std::uint16_t> mb = AcceptSize(text, values_.max_capture_file_mb)) {
        values_.capture_file_mb = *mb;
        QDialog::accept();
        return;
    }
    size_->setText(QString::number(SizeFieldNumber(text)));
    // Written back, the number is corrected as an edit is, even when the
    // text is the same and no change is signalled.
    CorrectSize(size_->text());
    size_->setFocus();
    QApplication::beep();
}

FrameRateDialog::FrameRateDialog(QWidget* parent, double& frame_rate, bool& use_frame_rate,
                                 FrameRate camera_rate)
    : QDialog(parent), frame_rate_(frame_rate), use_frame_rate_(use_frame_rate) {
    setObjectName("602");
    PrepareDialog(this, "Choose Frame Rate", 121, 50);
    // The box and the text beside it, as one control that the text toggles.
    use_ = AddCheckBox(this, 406, "Use Frame Rate", use_frame_rate_, 3, 4, 83, 8);
    QLabel* rate_label = AddLabel(this, "&Frame Rate:", 3, 18, 43, 8);
    rate_ = AddTextEdit(this, 402,
                        camera_rate.known() ? RateText(camera_rate) : SixDecimals(frame_rate_), 44,
                        16, 44, 12);
    rate_label->setBuddy(rate_);
    AddLabel(this, "f/sec", 93, 18, 18, 8);
    AddEnglishButtons(this, 18, 69, 33, 32);
    PlaceControls(this);
}

void FrameRateDialog::accept() {
    const double rate = LeadingDouble(rate_->text());
    if (!(rate > 0)) {
        ReportError("Invalid frame rate.");
        return;
    }
    frame_rate_ = rate;
    use_frame_rate_ = use_->isChecked();
    QDialog::accept();
}

ReadyToCaptureDialog::ReadyToCaptureDialog(QWidget* parent, const std::string& file_name)
    : QDialog(parent) {
    setObjectName("603");
    PrepareDialog(this, "Ready to Capture", 121, 60);
    AddLabel(this, "Select OK to start capture of video sequence to:", 5, 4, 100, 16)
        ->setWordWrap(true);
    // The dialog keeps its width: a long path takes more lines, and the
    // buttons move down under it.
    auto* name = new PathLabel(this);
    name->setObjectName("403");
    // A file name is never markup.
    name->setTextFormat(Qt::PlainText);
    name->setText(QString::fromStdString(file_name));
    Place(name, 5, 23, 100, 16);
    AddEnglishButtons(this, 18, 69, 42, 32);
    PlaceControls(this);
}

TimeLimitDialog::TimeLimitDialog(QWidget* parent, std::uint32_t& time_limit, bool& use_time_limit)
    : QDialog(parent), time_limit_(time_limit), use_time_limit_(use_time_limit) {
    setObjectName("604");
    PrepareDialog(this, "Capture Time Limit", 121, 50);
    use_ = AddCheckBox(this, 405, "Use Time Limit", use_time_limit_, 3, 4, 83, 8);
    QLabel* limit_label = AddLabel(this, "&Time Limit:", 3, 18, 43, 8);
    // Unsigned, as it is read back: a large limit must not come back negative.
    limit_ = AddEdit(this, 404, time_limit_, 44, 16, 44, 12);
    limit_label->setBuddy(limit_);
    AddLabel(this, "sec", 93, 18, 18, 8);
    AddEnglishButtons(this, 18, 69, 33, 32);
    PlaceControls(this);
}

void TimeLimitDialog::accept() {
    time_limit_ = DialogNumber(limit_->text());
    use_time_limit_ = use_->isChecked();
    QDialog::accept();
}

}  // namespace vemo
