#include "app/dialogs/dialog_layout.h"

#include <QDialog>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

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
    return QFont(QString::fromUtf8("ＭＳ Ｐゴシック"), 8);
}

QRect DialogRect(const QWidget* dialog, int x, int y, int width, int height) {
    const QFontMetrics metrics(dialog->font());
    const int across = std::max(1, metrics.averageCharWidth());
    const int down = std::max(1, metrics.height());
    return {x * across / 4, y * down / 8, width * across / 4, height * down / 8};
}

}  // namespace vemo
