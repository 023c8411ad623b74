#include "app/dialogs/camera_dialogs.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QSlider>
#include <QSpinBox>
#include <QVBoxLayout>

#include <algorithm>
#include <climits>
#include <utility>

#include "app/dialogs/dialog_layout.h"
#include "app/message_box.h"

namespace vemo {
namespace {

void PrepareLaidOut(QDialog* dialog, const QString& title) {
    dialog->setWindowTitle(title);
    dialog->setFont(DialogFont());
    dialog->setModal(true);
}

// A stretch, then OK ("1", the default: accepts) and Cancel ("2": rejects).
void AddOkCancel(QDialog* dialog, QBoxLayout* row) {
    row->addStretch();
    auto* ok = new QPushButton("OK", dialog);
    ok->setObjectName("1");
    ok->setDefault(true);
    QObject::connect(ok, &QPushButton::clicked, dialog, &QDialog::accept);
    row->addWidget(ok);
    auto* cancel = new QPushButton("Cancel", dialog);
    cancel->setObjectName("2");
    QObject::connect(cancel, &QPushButton::clicked, dialog, &QDialog::reject);
    row->addWidget(cancel);
}

// The fields of `form` above OK and Cancel, the dialog as small as they let it be.
void LayOut(QDialog* dialog, QFormLayout* form) {
    auto* buttons = new QHBoxLayout;
    AddOkCancel(dialog, buttons);
    auto* outer = new QVBoxLayout(dialog);
    outer->addLayout(form);
    outer->addLayout(buttons);
    outer->setSizeConstraint(QLayout::SetFixedSize);
}

// A label with an Alt shortcut for `field`.
QLabel* Caption(QDialog* dialog, const char* text, QWidget* field) {
    auto* label = new QLabel(QString::fromUtf8(text), dialog);
    label->setBuddy(field);
    return label;
}

// A driver's name shown as it is: an "&" is not a shortcut.
QString Literal(const std::string& text) {
    return QString::fromStdString(text).replace('&', "&&");
}

int ToInt(std::int64_t value) {
    return static_cast<int>(std::clamp<std::int64_t>(value, INT_MIN, INT_MAX));
}

// The value on the control's step nearest `value`: a slider moves by pixels.
std::int64_t OnStep(const CameraControl& control, std::int64_t value) {
    const std::int64_t step = std::max<std::int64_t>(control.step, 1);
    std::int64_t snapped = control.minimum + (value - control.minimum + step / 2) / step * step;
    if (snapped > control.maximum) snapped -= step;
    return std::max(snapped, control.minimum);
}

const CameraControl* Find(const std::vector<CameraControl>& controls, std::uint32_t id) {
    const auto found =
        std::find_if(controls.begin(), controls.end(),
                     [id](const CameraControl& control) { return control.id == id; });
    return found == controls.end() ? nullptr : &*found;
}

}  // namespace

CameraControlsDialog::CameraControlsDialog(QWidget* parent, CameraControls& controls,
                                           const std::string& camera_name)
    : QDialog(parent), controls_(controls), opening_(controls_.Controls()) {
    setObjectName("camera_controls");
    PrepareLaidOut(this, QString::fromStdString(camera_name) + " - Video Capture Filter");

    // Many controls scroll; a few show without a scroll bar.
    auto* scroll = new QScrollArea(this);
    auto* content = new QWidget(scroll);
    auto* groups = new QVBoxLayout(content);
    // A driver lists its controls class by class (the class is in the id).
    QGridLayout* grid = nullptr;
    for (const CameraControl& control : opening_) {
        if (grid == nullptr || control.class_name != rows_.back().control.class_name) {
            auto* group = new QGroupBox(
                control.class_name.empty() ? QString("Controls") : Literal(control.class_name),
                content);
            grid = new QGridLayout(group);
            grid->setColumnStretch(1, 1);
            groups->addWidget(group);
        }
        AddRow(grid, control);
    }
    groups->addStretch();
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setWidgetResizable(true);
    scroll->setWidget(content);
    // Measured as it will be shown: the style's margins come with polishing.
    content->ensurePolished();
    scroll->setMinimumWidth(content->sizeHint().width() +
                            scroll->verticalScrollBar()->sizeHint().width());
    // Tall enough for every control of a usual camera, not for every screen.
    scroll->setMinimumHeight(
        std::min(content->sizeHint().height(), 40 * scroll->fontMetrics().height()));

    status_ = new QLabel(this);
    status_->setObjectName("status");
    status_->setTextFormat(Qt::PlainText);
    status_->setWordWrap(true);

    auto* buttons = new QHBoxLayout;
    auto* defaults = new QPushButton("&Defaults", this);
    defaults->setObjectName("defaults");
    defaults->setAutoDefault(false);
    connect(defaults, &QPushButton::clicked, this, [this] { SetAll(controls_.Controls(), true); });
    buttons->addWidget(defaults);
    AddOkCancel(this, buttons);

    auto* outer = new QVBoxLayout(this);
    outer->addWidget(scroll, 1);
    outer->addWidget(status_);
    outer->addLayout(buttons);
    Refresh();
}

void CameraControlsDialog::AddRow(QGridLayout* grid, const CameraControl& control) {
    QWidget* group = grid->parentWidget();
    Row row{control};
    const int line = grid->rowCount();
    const std::uint32_t id = control.id;
    switch (control.kind) {
        case CameraControl::Kind::kInteger: {
            auto* slider = new QSlider(Qt::Horizontal, group);
            slider->setRange(ToInt(control.minimum), ToInt(control.maximum));
            const int step = ToInt(std::max<std::int64_t>(control.step, 1));
            slider->setSingleStep(step);
            slider->setPageStep(std::max(step, (slider->maximum() - slider->minimum()) / 10));
            slider->setMinimumWidth(160);
            connect(slider, &QSlider::valueChanged, this,
                    [this, id, index = rows_.size()](int value) {
                        Change(id, OnStep(rows_[index].control, value));
                    });
            row.editor = slider;
            row.value = new QLabel(group);
            row.value->setObjectName(QString::fromStdString(control.key + "_value"));
            row.value->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
            // As wide as the widest value: the slider does not move as the value changes.
            const QFontMetrics metrics = row.value->fontMetrics();
            row.value->setMinimumWidth(
                std::max(metrics.horizontalAdvance(QString::number(control.minimum)),
                         metrics.horizontalAdvance(QString::number(control.maximum))));
            grid->addWidget(row.value, line, 2);
            break;
        }
        case CameraControl::Kind::kBoolean: {
            auto* box = new QCheckBox(group);
            connect(box, &QCheckBox::toggled, this,
                    [this, id](bool checked) { Change(id, checked ? 1 : 0); });
            row.editor = box;
            break;
        }
        case CameraControl::Kind::kMenu:
        case CameraControl::Kind::kIntegerMenu: {
            auto* combo = new QComboBox(group);
            for (const auto& [index, label] : control.menu)
                combo->addItem(QString::fromStdString(label),
                               QVariant::fromValue<qlonglong>(index));
            connect(combo, &QComboBox::currentIndexChanged, this, [this, id, combo](int index) {
                if (index >= 0) Change(id, combo->itemData(index).toLongLong());
            });
            row.editor = combo;
            break;
        }
        case CameraControl::Kind::kButton: {
            // The button names itself; pressing it is the change.
            auto* button = new QPushButton(Literal(control.name), group);
            button->setAutoDefault(false);
            connect(button, &QPushButton::clicked, this, [this, id] { Change(id, 1); });
            row.editor = button;
            break;
        }
    }
    row.editor->setObjectName(QString::fromStdString(control.key));
    if (control.kind != CameraControl::Kind::kButton) {
        row.name = new QLabel(Literal(control.name), group);
        row.name->setBuddy(row.editor);
        grid->addWidget(row.name, line, 0);
    }
    // A button is as wide as its name, not as the column.
    grid->addWidget(row.editor, line, 1,
                    control.kind == CameraControl::Kind::kButton ? Qt::AlignLeft : Qt::Alignment());
    rows_.push_back(std::move(row));
}

void CameraControlsDialog::Change(std::uint32_t id, std::int64_t value) {
    std::string error;
    if (controls_.SetControl(id, value, &error)) {
        status_->clear();
    } else {
        status_->setText(QString::fromStdString(error));
    }
    // A refused value gives way to the driver's, and one control may make
    // another editable (an automatic control turned off).
    Refresh();
}

void CameraControlsDialog::SetAll(const std::vector<CameraControl>& values, bool defaults) {
    // Only what differs is set: an untouched control that follows an
    // automatic one may refuse to be set at all.
    const std::vector<CameraControl> now = controls_.Controls();
    std::vector<std::pair<std::uint32_t, std::int64_t>> refused;
    for (const CameraControl& control : values) {
        if (control.kind == CameraControl::Kind::kButton || control.read_only) continue;
        const std::int64_t target = defaults ? control.default_value : control.value;
        const CameraControl* current = Find(now, control.id);
        if (current != nullptr && current->value == target) continue;
        std::string ignored;
        if (!controls_.SetControl(control.id, target, &ignored))
            refused.emplace_back(control.id, target);
    }
    // A control that comes before the automatic one it follows is editable
    // only once that one is set.
    std::string error;
    for (const auto& [id, target] : refused)
        controls_.SetControl(id, target, &error);
    status_->setText(QString::fromStdString(error));
    Refresh();
}

void CameraControlsDialog::Refresh() {
    const std::vector<CameraControl> now = controls_.Controls();
    for (Row& row : rows_) {
        const CameraControl* found = Find(now, row.control.id);
        if (found == nullptr) {
            // The driver no longer offers it.
            row.editor->setEnabled(false);
            continue;
        }
        row.control = *found;
        const QSignalBlocker blocker(row.editor);
        const std::int64_t value = row.control.value;
        if (auto* slider = qobject_cast<QSlider*>(row.editor)) {
            slider->setValue(ToInt(value));
            row.value->setText(QString::number(value));
        } else if (auto* box = qobject_cast<QCheckBox*>(row.editor)) {
            box->setChecked(value != 0);
        } else if (auto* combo = qobject_cast<QComboBox*>(row.editor)) {
            combo->setCurrentIndex(combo->findData(QVariant::fromValue<qlonglong>(value)));
        }
        const bool editable =
            !row.control.inactive && !row.control.grabbed && !row.control.read_only;
        row.editor->setEnabled(editable);
        if (row.name != nullptr) row.name->setEnabled(editable);
        if (row.value != nullptr) row.value->setEnabled(editable);
    }
}

void CameraControlsDialog::reject() {
    SetAll(opening_, false);
    QDialog::reject();
}

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
    LayOut(this, form);
}

void CameraInputDialog::accept() {
    if (input_->currentIndex() >= 0) {
        const std::uint32_t index = input_->currentData().toUInt();
        // Switching a streaming device to the input it has may be refused
        // as busy: only a change is asked for.
        std::string error;
        if (current_ != index && !controls_.SetInput(index, &error)) {
            ReportError("The camera cannot switch to %s: %s",
                        input_->currentText().toStdString().c_str(), error.c_str());
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
    LayOut(this, form);
}

void TunerDialog::accept() {
    if (has_tuner_) {
        std::string error;
        // The standard first: changing it may retune.
        if (standard_->currentIndex() >= 0 &&
            !controls_.SetStandard(standard_->currentData().toULongLong(), &error)) {
            ReportError("The tuner cannot take the standard %s: %s",
                        standard_->currentText().toStdString().c_str(), error.c_str());
            return;
        }
        if (!controls_.SetFrequency(static_cast<std::uint32_t>(frequency_->value()), &error)) {
            ReportError("The tuner cannot take the frequency %d: %s", frequency_->value(),
                        error.c_str());
            return;
        }
    }
    QDialog::accept();
}

}  // namespace vemo
