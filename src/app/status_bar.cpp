#include "app/status_bar.h"

#include <QFontMetrics>
#include <QPainter>

namespace vemo {

QFont StatusFont() {
    // "Helv" falls back to the desktop's sans-serif face, 12 pixels high.
    QFont font("Helv");
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(12);
    font.setWeight(QFont::Normal);
    return font;
}

int StatusBarHeight() {
    // The font's own size, not the line height its face happens to have.
    return StatusBarHeightFor(StatusFont().pixelSize());
}

StatusText::StatusText(QWidget* parent) : QWidget(parent) {
    setObjectName("1");
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void StatusText::setText(const QString& text) {
    const bool changed = text != text_;
    text_ = text;
    repaint();
    if (changed && observer_) observer_(text_);
}

void StatusText::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect r = rect();
    const QPalette& colours = palette();
    painter.fillRect(r, colours.color(QPalette::Button));
    painter.setFont(StatusFont());
    painter.setPen(colours.color(QPalette::ButtonText));
    painter.setClipRect(r.adjusted(1, 1, -1, -1));
    const QFontMetrics metrics(painter.font());
    painter.drawText(4, 1 + metrics.ascent(), drawnText());
    painter.setClipping(false);
    // Sunken frame: shadow on the top and left, highlight on the bottom and right.
    painter.fillRect(r.left(), r.top(), 1, r.height(), colours.color(QPalette::Dark));
    painter.fillRect(r.left(), r.top(), r.width(), 1, colours.color(QPalette::Dark));
    painter.fillRect(r.right(), r.top() + 1, 1, r.height() - 1, colours.color(QPalette::Light));
    painter.fillRect(r.left() + 1, r.bottom(), r.width() - 1, 1, colours.color(QPalette::Light));
}

StatusBar::StatusBar(QWidget* parent) : QWidget(parent), text_(new StatusText(this)) {
    setObjectName("StatusClass");
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Button);
}

void StatusBar::resizeEvent(QResizeEvent*) {
    text_->setGeometry(2, 1, width() - 4, height() - 2);
}

void SetStatusText(StatusBar* bar, const QString& text) {
    if (bar != nullptr) bar->textWidget()->setText(text);
}

}  // namespace vemo
