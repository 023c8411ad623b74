#include "app/dialogs/dialog_layout.h"

#include <QBoxLayout>
#include <QCheckBox>
#include <QDialog>
#include <QFontMetrics>
#include <QFormLayout>
#include <QGroupBox>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QTextLayout>

#include <algorithm>
#include <cmath>
#include <map>
#include <vector>

namespace vemo {
namespace {

// Where a control's template place and a dialog's template size are kept.
constexpr char kTemplateRect[] = "vemo_template_rect";
constexpr char kTemplateSize[] = "vemo_template_size";

// One axis of a template: units to pixels, `base` pixels to `per_base`
// units, rounded to the nearest pixel, plus the stretches made where a text
// needed more room. A stretch at a unit position moves every edge at or
// beyond it.
class Axis {
  public:
    Axis(int base, int per_base) : base_(base), per_base_(per_base) {}

    int Map(int units) const {
        int pixels = (units * base_ + per_base_ / 2) / per_base_;
        for (const auto& [at, extra] : stretches_) {
            if (at > units) break;
            pixels += extra;
        }
        return pixels;
    }
    void Stretch(int at, int pixels) { stretches_[at] += pixels; }

  private:
    int base_;
    int per_base_;
    std::map<int, int> stretches_;
};

// A control and its template place; right and bottom are the edges beyond
// it (x + width, y + height), as the mapping works on edges.
struct Placed {
    QWidget* widget;
    int left, top, right, bottom;
    bool push = false;
    // The edges its text may use: its own, or the next control's on its row
    // (below it, in its column) where that comes first. A template may let
    // a label's place run on under the field beside it.
    int text_right = 0;
    int text_bottom = 0;

    bool Contains(const Placed& other) const {
        return left <= other.left && top <= other.top && other.right <= right &&
               other.bottom <= bottom;
    }
};

void FindTextLimits(std::vector<Placed>& controls) {
    const auto related = [](const Placed& a, const Placed& b) {
        return &a == &b || a.Contains(b) || b.Contains(a);
    };
    for (Placed& placed : controls) {
        placed.text_right = placed.right;
        for (const Placed& other : controls) {
            const bool same_row = placed.top < other.bottom && other.top < placed.bottom;
            if (!related(placed, other) && same_row && other.left > placed.left)
                placed.text_right = std::min(placed.text_right, other.left);
        }
    }
    // Down, with the places as cut across: a label whose place runs on
    // under the field beside it does not share the field's column.
    for (Placed& placed : controls) {
        placed.text_bottom = placed.bottom;
        for (const Placed& other : controls) {
            const bool same_column =
                placed.left < other.text_right && other.left < placed.text_right;
            if (!related(placed, other) && same_column && other.top > placed.top)
                placed.text_bottom = std::min(placed.text_bottom, other.top);
        }
    }
}

int WidestPiece(const QFontMetrics& metrics, const QStringList& pieces) {
    int widest = 0;
    for (const QString& piece : pieces)
        widest = std::max(widest, metrics.horizontalAdvance(piece));
    return widest;
}

}  // namespace

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

DialogBaseUnits BaseUnitsOf(const QFont& font) {
    // The templates were drawn against this measure, not against the font's
    // declared average width, which many faces give far narrower.
    static const QString kLetters = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    const QFontMetrics metrics(font);
    // Half of the advance of 26 letters, rounded: the average of 52.
    const int across = (metrics.horizontalAdvance(kLetters) / 26 + 1) / 2;
    return {std::max(1, across), std::max(1, metrics.height())};
}

QRect DialogRect(const QWidget* dialog, int x, int y, int width, int height) {
    const DialogBaseUnits base = BaseUnitsOf(dialog->font());
    const Axis across(base.x, 4);
    const Axis down(base.y, 8);
    const int left = across.Map(x);
    const int top = down.Map(y);
    return {left, top, across.Map(x + width) - left, down.Map(y + height) - top};
}

void PrepareDialog(QDialog* dialog, const char* title, int width, int height) {
    dialog->setWindowTitle(QString::fromUtf8(title));
    dialog->setFont(DialogFont());
    dialog->setModal(true);
    dialog->setProperty(kTemplateSize, QSize(width, height));
    dialog->setFixedSize(DialogRect(dialog, 0, 0, width, height).size());
}

void Place(QWidget* control, int x, int y, int width, int height) {
    control->setProperty(kTemplateRect, QRect(x, y, width, height));
    control->setGeometry(DialogRect(control->parentWidget(), x, y, width, height));
}

QRect TemplateRect(const QWidget* control) {
    return control->property(kTemplateRect).toRect();
}

QSize TemplateSize(const QDialog* dialog) {
    return dialog->property(kTemplateSize).toSize();
}

QLabel* AddLabel(QDialog* dialog, const char* text, int x, int y, int width, int height) {
    auto* label = new QLabel(QString::fromUtf8(text), dialog);
    Place(label, x, y, width, height);
    return label;
}

QLineEdit* AddEdit(QDialog* dialog, int id, std::uint32_t value, int x, int y, int width,
                   int height) {
    auto* edit = new QLineEdit(QString::number(value), dialog);
    edit->setObjectName(QString::number(id));
    Place(edit, x, y, width, height);
    return edit;
}

QCheckBox* AddCheckBox(QDialog* dialog, int id, const char* text, bool checked, int x, int y,
                       int width, int height) {
    auto* box = new QCheckBox(QString::fromUtf8(text), dialog);
    box->setObjectName(QString::number(id));
    box->setChecked(checked);
    Place(box, x, y, width, height);
    return box;
}

void AddButtons(QDialog* dialog, int ok_x, int cancel_x, int y, int width,
                const char* cancel_text) {
    auto* ok = new QPushButton("OK", dialog);
    ok->setObjectName("1");
    ok->setDefault(true);
    Place(ok, ok_x, y, width, 14);
    QObject::connect(ok, &QPushButton::clicked, dialog, &QDialog::accept);
    auto* cancel = new QPushButton(QString::fromUtf8(cancel_text), dialog);
    cancel->setObjectName("2");
    Place(cancel, cancel_x, y, width, 14);
    QObject::connect(cancel, &QPushButton::clicked, dialog, &QDialog::reject);
}

namespace {

// A path laid out in `width` pixels: at spaces where it has them, anywhere
// in a part that has none.
void LayOutPath(QTextLayout& layout, int width) {
    QTextOption option(Qt::AlignLeft | Qt::AlignTop);
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    qreal y = 0;
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(std::max(1, width));
        line.setPosition(QPointF(0, y));
        y += line.height();
    }
    layout.endLayout();
}

}  // namespace

int PathLabel::heightForWidth(int width) const {
    const QMargins margins = contentsMargins();
    QTextLayout layout(text(), font());
    LayOutPath(layout, width - margins.left() - margins.right());
    return static_cast<int>(std::ceil(layout.boundingRect().height())) + margins.top() +
           margins.bottom();
}

void PathLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setPen(
        palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, foregroundRole()));
    const QRect room = contentsRect();
    QTextLayout layout(text(), font());
    LayOutPath(layout, room.width());
    layout.draw(&painter, room.topLeft());
}

void PlaceControls(QDialog* dialog) {
    dialog->ensurePolished();
    const DialogBaseUnits base = BaseUnitsOf(dialog->font());
    Axis across(base.x, 4);
    Axis down(base.y, 8);
    std::vector<Placed> controls;
    for (QWidget* widget : dialog->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        const QRect units = TemplateRect(widget);
        if (units.isNull()) continue;
        controls.push_back({widget, units.x(), units.y(), units.x() + units.width(),
                            units.y() + units.height(),
                            qobject_cast<QPushButton*>(widget) != nullptr});
    }
    FindTextLimits(controls);
    // A label that starts where a control on its row ends (a unit after its
    // field) keeps a unit's space from it.
    for (const Placed& placed : controls) {
        auto* label = qobject_cast<QLabel*>(placed.widget);
        if (label == nullptr) continue;
        for (const Placed& other : controls) {
            const bool same_row = placed.top < other.bottom && other.top < placed.bottom;
            if (&other != &placed && same_row && other.text_right == placed.left) {
                label->setContentsMargins((base.x + 2) / 4, 0, 0, 0);
                break;
            }
        }
    }
    const QSize size = TemplateSize(dialog);

    const auto place = [&] {
        // Buttons side by side look alike: one width for all of them.
        int button_width = 0;
        for (const Placed& placed : controls) {
            if (placed.push)
                button_width = std::max(button_width, TextSizeNeeded(placed.widget).width());
        }
        for (const Placed& placed : controls) {
            const int right = placed.push ? placed.right : placed.text_right;
            const int bottom = placed.push ? placed.bottom : placed.text_bottom;
            QRect rect(QPoint(across.Map(placed.left), down.Map(placed.top)),
                       QPoint(across.Map(right) - 1, down.Map(bottom) - 1));
            if (placed.push && rect.width() < button_width) {
                const int grow = button_width - rect.width();
                rect.adjust(-grow / 2, 0, grow - grow / 2, 0);
            }
            placed.widget->setGeometry(rect);
        }
        dialog->setFixedSize(across.Map(size.width()), down.Map(size.height()));
    };

    // A stretch moves what follows, and a wrapped text needs fewer lines
    // when it gets wider: measure again until every text fits.
    for (int round = 0; round < 8; ++round) {
        place();
        std::map<int, int> wider;
        std::map<int, int> taller;
        for (const Placed& placed : controls) {
            if (placed.push) continue;
            const QSize needed = TextSizeNeeded(placed.widget);
            const QSize has = placed.widget->size();
            // Controls that end at the same edge share the stretch there.
            if (needed.width() > has.width()) {
                int& extra = wider[placed.text_right];
                extra = std::max(extra, needed.width() - has.width());
            }
            if (needed.height() > has.height()) {
                int& extra = taller[placed.text_bottom];
                extra = std::max(extra, needed.height() - has.height());
            }
        }
        if (wider.empty() && taller.empty()) return;
        for (const auto& [at, extra] : wider)
            across.Stretch(at, extra);
        for (const auto& [at, extra] : taller)
            down.Stretch(at, extra);
    }
    place();
}

namespace {

// A control's text as drawn: "&" marks the shortcut, "&&" stands for "&".
QString Drawn(const QString& text) {
    QString drawn;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == '&' && i + 1 < text.size()) ++i;
        drawn += text[i];
    }
    return drawn;
}

}  // namespace

QSize TextSizeNeeded(const QWidget* control) {
    const QFontMetrics metrics = control->fontMetrics();
    const QStyle* style = control->style();
    const int frame = style->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, control);
    if (const auto* push = qobject_cast<const QPushButton*>(control)) {
        // The text and the style's margins, not the style's least button width.
        if (push->text().isEmpty()) return {};
        return {metrics.horizontalAdvance(Drawn(push->text())) +
                    2 * style->pixelMetric(QStyle::PM_ButtonMargin, nullptr, push),
                metrics.height() + 2 * frame};
    }
    if (const auto* button = qobject_cast<const QAbstractButton*>(control)) {
        // A check or radio button: its indicator, the spacing and its text
        // across; down, the taller of the indicator and a line.
        const bool radio = qobject_cast<const QRadioButton*>(control) != nullptr;
        const int indicator = style->pixelMetric(
            radio ? QStyle::PM_ExclusiveIndicatorHeight : QStyle::PM_IndicatorHeight, nullptr,
            control);
        return {button->sizeHint().width(),
                std::max(indicator, button->text().isEmpty() ? 0 : metrics.height())};
    }
    if (const auto* label = qobject_cast<const QLabel*>(control)) {
        const QString text = label->text();
        if (text.isEmpty()) return {};
        const QMargins margins = label->contentsMargins();
        const int sides = margins.left() + margins.right() + 2 * label->margin();
        if (dynamic_cast<const PathLabel*>(label) != nullptr) {
            // Any character may start a line.
            QStringList characters;
            for (const QChar c : text)
                characters << QString(c);
            return {WidestPiece(metrics, characters) + sides,
                    label->heightForWidth(label->width())};
        }
        if (label->wordWrap()) {
            return {WidestPiece(metrics, text.split(' ', Qt::SkipEmptyParts)) + sides,
                    label->heightForWidth(label->width())};
        }
        return label->sizeHint();
    }
    if (const auto* edit = qobject_cast<const QLineEdit*>(control)) {
        // The edit keeps 2 pixels inside its frame on each side, and the cursor 1.
        if (edit->text().isEmpty()) return {};
        return {metrics.horizontalAdvance(edit->text()) + 2 * frame + 2 * 2 + 1,
                metrics.height() + 2 * frame};
    }
    if (const auto* group = qobject_cast<const QGroupBox*>(control)) {
        if (group->title().isEmpty()) return {};
        return {group->minimumSizeHint().width(), 0};
    }
    return {};
}

int TextWidthNeeded(const QWidget* control) {
    return TextSizeNeeded(control).width();
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

QLabel* AddStatusLine(QDialog* dialog, QFormLayout* form) {
    auto* status = new QLabel(dialog);
    status->setObjectName("status");
    // A driver's message is never markup.
    status->setTextFormat(Qt::PlainText);
    status->setWordWrap(true);
    form->addRow(status);
    return status;
}

}  // namespace vemo
