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
    if (const Result<> set = controls_.SetControl(id, value); set) {
        status_->clear();
    } else {
        status_->setText(QString::fromStdString(set.error().text));
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
        if (!controls_.SetControl(control.id, target)) refused.emplace_back(control.id, target);
    }
    // A control that comes before the automatic one it follows is editable
    // only once that one is set.
    std::string error;
    for (const auto& [id, target] : refused) {
        if (const Result<> set = controls_.SetControl(id, target); !set) error = set.error().text;
    }
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

}  // namespace vemo
