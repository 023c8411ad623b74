#include "support/dialog_checks.h"

#include <QAbstractButton>
#include <QDialog>
#include <QLabel>

#include <gtest/gtest.h>

#include "app/dialogs/dialog_layout.h"

namespace vemo::test {

void ExpectTextsFit(QDialog& dialog) {
    dialog.ensurePolished();
    for (QWidget* control : dialog.findChildren<QWidget*>()) {
        QString text;
        if (auto* label = qobject_cast<QLabel*>(control)) {
            text = label->text();
            if (text.contains('&')) {
                EXPECT_NE(label->buddy(), nullptr) << text.toStdString();
            }
        } else if (auto* button = qobject_cast<QAbstractButton*>(control)) {
            text = button->text();
        }
        if (text.isEmpty()) continue;
        const int needed = TextWidthNeeded(control);
        EXPECT_GE(control->width(), needed)
            << dialog.objectName().toStdString() << ": " << text.toStdString();
        EXPECT_LE(control->geometry().right(), dialog.width())
            << dialog.objectName().toStdString() << ": " << text.toStdString();
        // Nothing else on its row starts before its text ends.
        for (QWidget* other : dialog.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            const bool same_row = other->y() < control->geometry().bottom() &&
                                  control->y() < other->geometry().bottom();
            if (other == control || !same_row || other->x() <= control->x() ||
                other->geometry().contains(control->geometry())) {
                continue;
            }
            EXPECT_GE(other->x(), control->x() + needed)
                << dialog.objectName().toStdString() << ": " << text.toStdString();
        }
    }
}

}  // namespace vemo::test
