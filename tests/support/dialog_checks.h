#pragma once

// Checks shared by the tests of the engine's dialogs.

class QDialog;

namespace vemo::test {

// Every text of `dialog` fits its control and the dialog, and a label with
// an Alt shortcut has a field to take the focus (else it shows a bare "&").
void ExpectTextsFit(QDialog& dialog);

}  // namespace vemo::test
