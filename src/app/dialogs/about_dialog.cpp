#include "app/dialogs/about_dialog.h"

#include <QLabel>
#include <QPushButton>

#include "app/dialogs/dialog_layout.h"

namespace vemo {

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent) {
    setObjectName("600");
    PrepareDialog(this, "バージョン情報", 187, 94);
    const char* lines[] = {"Corvexa", "Version 4.0", "Capture engine Ver 1.0",
                           "Copyright (C) Lumetra. All rights reserved."};
    int y = 5;
    for (const char* line : lines) {
        auto* label = new QLabel(QString::fromUtf8(line), this);
        label->setAlignment(Qt::AlignCenter);
        Place(label, 6, y, 175, 8);
        y += 15;
    }
    auto* ok = new QPushButton("OK", this);
    ok->setObjectName("1");
    ok->setDefault(true);
    Place(ok, 77, 74, 32, 14);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    PlaceControls(this);
}

}  // namespace vemo
