#include "app/dialogs/dialog_layout.h"

#include <QBoxLayout>
#include <QDialog>
#include <QFontMetrics>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>

#include <algorithm>

namespace vemo {

void PrepareDialog(QDialog* dialog, const char* title, int width, int height) {
    dialog->setWindowTitle(QString::fromUtf8(title));
    dialog->setFont(DialogFont());
    dialog->setModal(true);
    dialog->setFixedSize(DialogRect(dialog, 0, 0, width, height).size());
}

QLabel* AddLabel(QDialog* dialog, const char* text, int x, int y, int width, int height) {
    auto* label = new QLabel(QString::fromUtf8(text), dialog);
    label->setGeometry(DialogRect(dialog, x, y, width, height));
    return label;
}

QLineEdit* AddEdit(QDialog* dialog, int id, std::uint32_t value, int x, int y, int width,
                   int height) {
    auto* edit = new QLineEdit(QString::number(value), dialog);
    edit->setObjectName(QString::number(id));
    edit->setGeometry(DialogRect(dialog, x, y, width, height));
    return edit;
}

void AddButtons(QDialog* dialog, int ok_x, int cancel_x, int y) {
    auto* ok = new QPushButton("OK", dialog);
    ok->setObjectName("1");
    ok->setDefault(true);
    ok->setGeometry(DialogRect(dialog, ok_x, y, 32, 14));
    QObject::connect(ok, &QPushButton::clicked, dialog, &QDialog::accept);
    auto* cancel = new QPushButton(QString::fromUtf8("キャンセル"), dialog);
    cancel->setObjectName("2");
    cancel->setGeometry(DialogRect(dialog, cancel_x, y, 32, 14));
    QObject::connect(cancel, &QPushButton::clicked, dialog, &QDialog::reject);
}

int TextWidthNeeded(const QWidget* control) {
    if (const auto* push = qobject_cast<const QPushButton*>(control)) {
        // The text and the style's margins, not the style's least button width.
        if (push->text().isEmpty()) return 0;
        return push->fontMetrics().horizontalAdvance(QString(push->text()).remove('&')) +
               2 * push->style()->pixelMetric(QStyle::PM_ButtonMargin, nullptr, push);
    }
    if (const auto* label = qobject_cast<const QLabel*>(control)) {
        return label->text().isEmpty() ? 0 : label->sizeHint().width();
    }
    if (const auto* button = qobject_cast<const QAbstractButton*>(control)) {
        return button->text().isEmpty() ? 0 : button->sizeHint().width();
    }
    return 0;
}

void FitTextsToControls(QDialog* dialog) {
    constexpr int kGap = 2;  // pixels between a text and what follows it
    dialog->ensurePolished();
    QList<QWidget*> controls = dialog->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    std::sort(controls.begin(), controls.end(),
              [](const QWidget* a, const QWidget* b) { return a->x() < b->x(); });
    const auto same_row = [](const QWidget* a, const QWidget* b) {
        return a->y() < b->geometry().bottom() && b->y() < a->geometry().bottom();
    };
    for (QWidget* control : controls) {
        const int needed = TextWidthNeeded(control);
        if (needed == 0) continue;
        if (control->width() < needed) control->resize(needed, control->height());
        const int text_end = control->x() + needed + kGap;
        // The first control to its right on its row, a frame around it aside.
        QWidget* next = nullptr;
        for (QWidget* other : controls) {
            if (other == control || other->x() <= control->x() || !same_row(control, other) ||
                other->geometry().contains(control->geometry())) {
                continue;
            }
            if (next == nullptr || other->x() < next->x()) next = other;
        }
        if (next == nullptr || next->x() >= text_end) continue;
        const int shift = text_end - next->x();
        const int from = next->x();
        for (QWidget* other : controls) {
            if (other != control && other->x() >= from && same_row(control, other)) {
                other->move(other->x() + shift, other->y());
            }
        }
    }
    int right = dialog->width();
    for (const QWidget* control : controls)
        right = std::max(right, control->geometry().right() + 1 + kGap);
    if (right > dialog->width()) dialog->setFixedSize(right, dialog->height());
}

std::uint32_t DialogNumber(const QString& text) {
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty() || !std::all_of(trimmed.begin(), trimmed.end(),
                                          [](QChar c) { return c >= '0' && c <= '9'; })) {
        return 0;
    }
    bool fits = false;
    const std::uint32_t value = trimmed.toUInt(&fits);
    return fits ? value : 0xffffffffu;
}

QFont DialogFont() {
    // The dialogs' face is rarely installed here; IPAPGothic has its metrics
    // (package fonts-ipafont-gothic), so the dialog templates keep their fit.
    static const bool substituted = [] {
        QFont::insertSubstitutions(QString::fromUtf8("ＭＳ Ｐゴシック"),
                                   {"IPAPGothic", "IPAexGothic", "Noto Sans CJK JP", "VL PGothic"});
        return true;
    }();
    static_cast<void>(substituted);
    return QFont(QString::fromUtf8("ＭＳ Ｐゴシック"), 8);
}

QRect DialogRect(const QWidget* dialog, int x, int y, int width, int height) {
    const QFontMetrics metrics(dialog->font());
    const int across = std::max(1, metrics.averageCharWidth());
    const int down = std::max(1, metrics.height());
    return {x * across / 4, y * down / 8, width * across / 4, height * down / 8};
}

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

}  // namespace vemo
