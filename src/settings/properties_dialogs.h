#pragma once

// The three properties dialogs: camera interval (612), screen interval and
// picture kind (613), and colour counts, division and i-mode widths (614,
// reached with Ctrl+Alt+F12). Each shows the engine's current values; OK
// clamps every entry into its range, stores it in the engine state and the
// settings file, and re-arms what depends on it. Cancel changes nothing.
// Every control's object name is its numeric id ("414").

#include <QDialog>

#include <cstdint>
#include <functional>

class QLineEdit;
class QRadioButton;
class QCheckBox;

namespace vemo {

// What confirming a dialog does beyond storing the values.
struct PropertiesEffects {
    std::function<void(unsigned interval_ms)> set_camera_timer;  // timer 1
    std::function<void(unsigned interval_ms)> set_screen_timer;  // timer 2
    std::function<void()> restart_screen_capture;                // stop, start, grab once
};

// An edit field's number: unsigned decimal; anything else reads as 0, and a
// number too large for 32 bits as the largest 32-bit number.
std::uint32_t DialogNumber(const QString& text);

// The dialogs' font and their layout unit (a quarter of the average
// character width across, an eighth of the character height down).
QFont DialogFont();
QRect DialogRect(const QWidget* dialog, int x, int y, int width, int height);

class CameraPropertiesDialog : public QDialog {
  public:
    CameraPropertiesDialog(QWidget* parent, PropertiesEffects effects);
    void accept() override;

  private:
    PropertiesEffects effects_;
    QLineEdit* timer_;
};

class ScreenPropertiesDialog : public QDialog {
  public:
    ScreenPropertiesDialog(QWidget* parent, PropertiesEffects effects);
    void accept() override;

  private:
    PropertiesEffects effects_;
    QLineEdit* timer_;
    QRadioButton* whole_;
    QRadioButton* imode_;
    QCheckBox* rotate_;
};

class ImagePropertiesDialog : public QDialog {
  public:
    ImagePropertiesDialog(QWidget* parent, PropertiesEffects effects);
    void accept() override;

  private:
    PropertiesEffects effects_;
    QLineEdit* edits_[5];
};

}  // namespace vemo
