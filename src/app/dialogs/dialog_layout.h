#pragma once

// What every dialog of the engine is built with: the dialog font, the
// layout unit of dialog templates, labels, number fields, check boxes and
// the OK and Cancel buttons, each control named by its numeric id.

#include <QFont>
#include <QLabel>
#include <QRect>
#include <QString>

#include <cstdint>

class QBoxLayout;
class QCheckBox;
class QDialog;
class QFormLayout;
class QLineEdit;
class QWidget;

namespace vemo {

// The dialogs' font.
QFont DialogFont();

// The base units of dialog templates in `font`, in pixels: across, the
// average advance of the 52 letters A-Z and a-z, rounded to a whole pixel;
// down, the font's height. A dialog unit is a quarter of the first across
// and an eighth of the second down.
struct DialogBaseUnits {
    int x = 1;
    int y = 1;
    friend bool operator==(const DialogBaseUnits&, const DialogBaseUnits&) = default;
};
DialogBaseUnits BaseUnitsOf(const QFont& font);

// A rectangle in dialog units in pixels, in the dialog's font. Each edge is
// mapped on its own, so controls that share an edge in the template share
// it on screen.
QRect DialogRect(const QWidget* dialog, int x, int y, int width, int height);

// Title, font, modality and a size of width x height units.
void PrepareDialog(QDialog* dialog, const char* title, int width, int height);
// Gives `control` its place in the template, in dialog units; PlaceControls
// puts it there.
void Place(QWidget* control, int x, int y, int width, int height);
// The place given with Place; a null rectangle for controls without one.
QRect TemplateRect(const QWidget* control);
// The dialog's size in units, as given to PrepareDialog.
QSize TemplateSize(const QDialog* dialog);

QLabel* AddLabel(QDialog* dialog, const char* text, int x, int y, int width, int height);
// A number field named `id`, showing `value`.
QLineEdit* AddEdit(QDialog* dialog, int id, std::uint32_t value, int x, int y, int width,
                   int height);
// A check box named `id` whose text is its own: clicking the text toggles it.
QCheckBox* AddCheckBox(QDialog* dialog, int id, const char* text, bool checked, int x, int y,
                       int width, int height);
// OK (id 1, the default: accepts) and Cancel (id 2: rejects), `width` x 14
// units, at y; Cancel reads `cancel_text`.
void AddButtons(QDialog* dialog, int ok_x, int cancel_x, int y, int width = 32,
                const char* cancel_text = "キャンセル");

// A file name shown whole within its width: it wraps at any character, as
// a path has no spaces to wrap at, and asks for the height that takes.
class PathLabel : public QLabel {
  public:
    using QLabel::QLabel;
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;

  protected:
    void paintEvent(QPaintEvent* event) override;
};

// Puts every control of `dialog` at its template place, mapped in the
// dialog's font, and sizes the dialog. Called once the controls' texts are
// in. Where a text needs more room than its place gives, up to the next
// control on its row (or below it, for wrapped text), the template is
// stretched at that edge: every edge from there on moves by the same
// amount, so columns and rows stay aligned and the dialog grows. Push
// buttons keep their centres and are all made as wide as the widest needs.
void PlaceControls(QDialog* dialog);

// The least size at which `control` shows all of its text: across, a
// label's or a check or radio button's own size hint (a wrapped label's
// widest word), a push button's text and the style's margins, a field's
// text with its frame; down, the text's lines and a check box's indicator.
// Empty for controls without text.
QSize TextSizeNeeded(const QWidget* control);
int TextWidthNeeded(const QWidget* control);

// Dialogs laid out by Qt's layouts rather than dialog-unit templates: the
// title, font and modality; OK ("1", the default) and Cancel ("2") after a
// stretch in `row`; the fields of `form` above them, the dialog as small as
// they let it be; a label with an Alt shortcut for `field`.
void PrepareLaidOut(QDialog* dialog, const QString& title);
void AddOkCancel(QDialog* dialog, QBoxLayout* row);
void LayOut(QDialog* dialog, QFormLayout* form);
QLabel* Caption(QDialog* dialog, const char* text, QWidget* field);
// A line under the fields that says why the last change was refused;
// empty until then.
QLabel* AddStatusLine(QDialog* dialog, QFormLayout* form);

// An edit field's number: unsigned decimal; anything else reads as 0, and a
// number too large for 32 bits as the largest 32-bit number.
std::uint32_t DialogNumber(const QString& text);

}  // namespace vemo
