#include "app/dialogs/about_dialog.h"

#include <QLabel>
#include <QPushButton>

#include "app/dialogs/dialog_layout.h"

namespace vemo {

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent) {
    setObjectName("600");
    setWindowTitle(QString::fromUtf8("バージョン情報"));
    setFont(DialogFont());
    setFixedSize(DialogRect(this, 0, 0, 187, 94).size());
    const char* lines[] = {"Corvexa", "Version 4.0", "Capture engine Ver 1.0",
                           "Copyright (C) Lumetra. All rights reserved."};
    int y = 5;
    for (const char* line : lines) {
        auto* label = new QLabel(QString::fromUtf8(line), this);
        label->setAlignment(Qt::AlignCenter);
        label->setGeometry(DialogRect(this, 6, y, 175, 8));
        y += 15;
    }
    auto* ok = new QPushButton("OK", this);
    ok->setObjectName("1");
    ok->setDefault(true);
    ok->setGeometry(DialogRect(this, 77, 74, 32, 14));
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    FitTextsToControls(this);
}

}  // namespace vemo
