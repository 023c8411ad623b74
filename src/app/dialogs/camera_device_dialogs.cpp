// The dialogs of a camera's format, inputs and tuner.

#include <QComboBox>
#include <QFormLayout>
#include <QLabel>
#include <QListWidget>
#include <QScrollBar>
#include <QSpinBox>

#include <algorithm>
#include <climits>

#include "app/dialogs/camera_dialogs.h"
#include "app/dialogs/dialog_layout.h"

namespace vemo {
namespace {

// Qt's widgets count in int.
int ToInt(std::int64_t value) {
    return static_cast<int>(std::clamp<std::int64_t>(value, INT_MIN, INT_MAX));
}

}  // namespace

CameraFormatDialog::CameraFormatDialog(QWidget* parent, std::vector<OfferedFormat> formats,
                                       const OfferedFormat& current)
    : QDialog(parent), formats_(std::move(formats)), chosen_(current) {
    setObjectName("camera_format");
    PrepareLaidOut(this, "Video Capture Pin");
    pixel_format_ = new QComboBox(this);
    pixel_format_->setObjectName("pixel_format");
    for (const OfferedFormat& format : formats_) {
        const QString name = QString::fromStdString(format.pixel_format);
        if (pixel_format_->findText(name) < 0) pixel_format_->addItem(name);
    }
    sizes_ = new QListWidget(this);
    sizes_->setObjectName("sizes");

    auto* form = new QFormLayout;
    form->addRow(Caption(this, "&Pixel format:", pixel_format_), pixel_format_);
    form->addRow(Caption(this, "&Size and frame rate:", sizes_), sizes_);
    LayOut(this, form);

    // Sized once, with every label listed, so that choosing another pixel
    // format does not resize the dialog.
    for (const OfferedFormat& format : formats_)
        sizes_->addItem(QString::fromStdString(format.Label()));
    const int row_height =
        sizes_->count() > 0 ? sizes_->sizeHintForRow(0) : sizes_->fontMetrics().height();
    sizes_->setFixedSize(sizes_->sizeHintForColumn(0) + 2 * sizes_->frameWidth() +
                             sizes_->verticalScrollBar()->sizeHint().width(),
                         8 * row_height + 2 * sizes_->frameWidth());

    pixel_format_->setCurrentIndex(
        std::max(0, pixel_format_->findText(QString::fromStdString(current.pixel_format))));
    ListSizes(current);
    connect(pixel_format_, &QComboBox::currentIndexChanged, this, [this] {
        const int row = sizes_->currentRow();
        ListSizes(row >= 0 ? formats_[listed_[row]] : chosen_);
    });
}

void CameraFormatDialog::ListSizes(const OfferedFormat& like) {
    const std::string pixel_format = pixel_format_->currentText().toStdString();
    sizes_->clear();
    listed_.clear();
    int best = -1;
    int best_score = -1;
    for (std::size_t i = 0; i < formats_.size(); ++i) {
        const OfferedFormat& format = formats_[i];
        if (format.pixel_format != pixel_format) continue;
        // The same size counts most, then the same rate.
        const bool same_size = format.width == like.width && format.height == like.height;
        const bool same_rate =
            static_cast<std::int64_t>(format.rate_numerator) * like.rate_denominator ==
            static_cast<std::int64_t>(like.rate_numerator) * format.rate_denominator;
        const int score = (same_size ? 2 : 0) + (same_rate ? 1 : 0);
        if (score > best_score) {
            best_score = score;
            best = static_cast<int>(listed_.size());
        }
        sizes_->addItem(QString::fromStdString(format.Label()));
        listed_.push_back(i);
    }
    sizes_->setCurrentRow(best);
}

void CameraFormatDialog::accept() {
    const int row = sizes_->currentRow();
    if (row >= 0) chosen_ = formats_[listed_[row]];
    QDialog::accept();
}

CameraInputDialog::CameraInputDialog(QWidget* parent, CameraControls& controls)
    : QDialog(parent), controls_(controls), current_(controls_.CurrentInput()) {
    setObjectName("camera_input");
    PrepareLaidOut(this, "Video Crossbar");
    input_ = new QComboBox(this);
    input_->setObjectName("input");
    for (const CameraInput& input : controls_.Inputs()) {
        input_->addItem(QString::fromStdString(input.name), input.index);
        if (current_ == input.index) input_->setCurrentIndex(input_->count() - 1);
    }
    auto* form = new QFormLayout;
    form->addRow(Caption(this, "&Input:", input_), input_);
    status_ = AddStatusLine(this, form);
    LayOut(this, form);
}

void CameraInputDialog::accept() {
    if (input_->currentIndex() >= 0) {
        const std::uint32_t index = input_->currentData().toUInt();
        // Switching a streaming device to the input it has may be refused
        // as busy: only a change is asked for.
        const Result<> set = current_ != index ? controls_.SetInput(index) : Result<>();
        if (!set) {
            // Said where the choice was made; the user may choose again.
            status_->setText(
                QString("The camera cannot switch to %1: %2")
                    .arg(input_->currentText(), QString::fromStdString(set.error().text)));
            return;
        }
    }
    QDialog::accept();
}

TunerDialog::TunerDialog(QWidget* parent, CameraControls& controls)
    : QDialog(parent), controls_(controls) {
    setObjectName("tuner");
    PrepareLaidOut(this, "TV Tuner");
    frequency_ = new QSpinBox(this);
    frequency_->setObjectName("frequency");
    standard_ = new QComboBox(this);
    standard_->setObjectName("standard");
    const std::optional<TunerState> tuner = controls_.Tuner();
    has_tuner_ = tuner.has_value();
    if (tuner) {
        frequency_->setRange(ToInt(tuner->minimum), ToInt(tuner->maximum));
        frequency_->setValue(ToInt(tuner->frequency));
        for (const auto& [id, name] : tuner->standards) {
            standard_->addItem(QString::fromStdString(name), QVariant::fromValue<qulonglong>(id));
            if (id == tuner->standard) standard_->setCurrentIndex(standard_->count() - 1);
        }
    } else {
        frequency_->setEnabled(false);
        standard_->setEnabled(false);
    }
    auto* form = new QFormLayout;
    form->addRow(Caption(this, "&Frequency:", frequency_), frequency_);
    form->addRow(Caption(this, "&Video standard:", standard_), standard_);
    status_ = AddStatusLine(this, form);
    LayOut(this, form);
}

void TunerDialog::accept() {
    if (has_tuner_) {
        // The standard first: changing it may retune.
        const Result<> standard =
            standard_->currentIndex() >= 0
                ? controls_.SetStandard(standard_->currentData().toULongLong())
                : Result<>();
        if (!standard) {
            status_->setText(
                QString("The tuner cannot take the standard %1: %2")
                    .arg(standard_->currentText(), QString::fromStdString(standard.error().text)));
            return;
        }
        const Result<> tuned =
            controls_.SetFrequency(static_cast<std::uint32_t>(frequency_->value()));
        if (!tuned) {
            status_->setText(QString("The tuner cannot take the frequency %1: %2")
                                 .arg(frequency_->value())
                                 .arg(QString::fromStdString(tuned.error().text)));
            return;
        }
    }
    QDialog::accept();
}

}  // namespace vemo
