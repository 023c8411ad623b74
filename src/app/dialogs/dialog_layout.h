#pragma once

// What every dialog of the engine is built with: the dialog font, the
// layout unit of dialog templates, labels, number fields and the OK and
// Cancel buttons, each control named by its numeric id.

#include <QFont>
#include <QRect>
#include <QString>

#include <cstdint>

class QBoxLayout;
class QDialog;
class QFormLayout;
class QLabel;
class QLineEdit;
class QWidget;

namespace vemo {

// The dialogs' font and their layout unit (a quarter of the average
// character width across, an eighth of the character height down).
QFont DialogFont();
QRect DialogRect(const QWidget* dialog, int x, int y, int width, int height);

// Title, font, modality and a fixed size of width x height units.
void PrepareDialog(QDialog* dialog, const char* title, int width, int height);
QLabel* AddLabel(QDialog* dialog, const char* text, int x, int y, int width, int height);
// A number field named `id`, showing `value`.
QLineEdit* AddEdit(QDialog* dialog, int id, std::uint32_t value, int x, int y, int width,
                   int height);
// OK (id 1, the default: accepts) and キャンセル (id 2: rejects), 32 x 14 units.
void AddButtons(QDialog* dialog, int ok_x, int cancel_x, int y);

// No text is cut: every label and button is made at least as wide as its
// text, what stands to its right on the same row moves right as far as that
// takes, and the dialog grows to hold it all. Called once a dialog's controls
// are placed; the templates' arrangement is kept.
void FitTextsToControls(QDialog* dialog);

// The width `control`'s text needs: a label's or a check or radio button's
// own size hint, a push button's text and the style's margins; 0 for
// controls without text.
int TextWidthNeeded(const QWidget* control);

// Dialogs laid out by Qt's layouts rather than dialog-unit templates: the
// title, font and modality; OK ("1", the default) and Cancel ("2") after a
// stretch in `row`; the fields of `form` above them, the dialog as small as
// they let it be; a label with an Alt shortcut for `field`.
void PrepareLaidOut(QDialog* dialog, const QString& title);
void AddOkCancel(QDialog* dialog, QBoxLayout* row);
void LayOut(QDialog* dialog, QFormLayout* form);
QLabel* Caption(QDialog* dialog, const char* text, QWidget* field);

// An edit field's number: unsigned decimal; anything else reads as 0, and a
// number too large for 32 bits as the largest 32-bit number.
std::uint32_t DialogNumber(const QString& text);

}  // namespace vemo
