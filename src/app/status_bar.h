#pragma once

// The one-line status bar along the bottom of the main window: a frame
// widget holding one text child that draws its text on the button-face
// colour inside a sunken one-pixel frame.

#include <QString>
#include <QWidget>

#include <functional>
#include <utility>

namespace vemo {

inline constexpr int kStatusTextLimit = 127;  // characters drawn at most

// Height of a status bar whose font's text is `text_height` pixels high.
constexpr int StatusBarHeightFor(int text_height) {
    return text_height * 3 / 2;
}

class StatusText : public QWidget {
  public:
    explicit StatusText(QWidget* parent);
    void setText(const QString& text);
    const QString& text() const { return text_; }
    QString drawnText() const { return text_.left(kStatusTextLimit); }
    // Told the new text each time it changes.
    void setChangeObserver(std::function<void(const QString&)> observer) {
        observer_ = std::move(observer);
    }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    QString text_;
    std::function<void(const QString&)> observer_;
};

class StatusBar : public QWidget {
  public:
    explicit StatusBar(QWidget* parent);
    StatusText* textWidget() const { return text_; }

  protected:
    void resizeEvent(QResizeEvent* event) override;

  private:
    StatusText* text_;
};

// The status font and the bar's height in pixels.
QFont StatusFont();
int StatusBarHeight();

// Shows `text` in the bar; an empty text clears it.
void SetStatusText(StatusBar* bar, const QString& text);

}  // namespace vemo
