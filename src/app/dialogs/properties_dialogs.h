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

#include "engine/engine_state.h"

class QLineEdit;
class QRadioButton;
class QCheckBox;

namespace vemo {

// What confirming a dialog does beyond storing the values.
struct PropertiesEffects {
    std::function<void(unsigned interval_ms)> set_camera_timer;      // timer 1
    std::function<void(unsigned interval_ms)> set_screen_timer;      // timer 2
    std::function<void()> restart_screen_capture;                    // stop, start, grab once
    std::function<void(std::uint32_t colors)> set_screen_gif_color;  // from the next grab on
};

class CameraPropertiesDialog : public QDialog {
  public:
    CameraPropertiesDialog(QWidget* parent, EngineState& state, PropertiesEffects effects);
    void accept() override;

  private:
    EngineState& state_;
    PropertiesEffects effects_;
    QLineEdit* timer_;
};

class ScreenPropertiesDialog : public QDialog {
  public:
    ScreenPropertiesDialog(QWidget* parent, EngineState& state, PropertiesEffects effects);
    void accept() override;

  private:
    EngineState& state_;
    PropertiesEffects effects_;
    QLineEdit* timer_;
    QRadioButton* whole_;
    QRadioButton* imode_;
    QCheckBox* rotate_;
};

class ImagePropertiesDialog : public QDialog {
  public:
    ImagePropertiesDialog(QWidget* parent, EngineState& state, PropertiesEffects effects);
    void accept() override;

  private:
    EngineState& state_;
    PropertiesEffects effects_;
    QLineEdit* edits_[5];
};

}  // namespace vemo
