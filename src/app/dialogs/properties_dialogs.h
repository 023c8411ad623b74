#pragma once

// The three properties dialogs: camera interval (612), screen interval and
// picture kind (613), and colour counts, division and i-mode widths (614,
// reached with Ctrl+Alt+F12). Each shows the values it is given; OK takes
// every entry into its range (the settings' own), and the engine applies
// what `taken()` holds. Cancel changes nothing. Every control's object name
// is its numeric id ("414").

#include <QDialog>

#include "settings/settings_model.h"

class QLineEdit;
class QRadioButton;
class QCheckBox;

namespace vemo {

class PropertiesDialog : public QDialog {
  public:
    // The values shown, with the entries OK took.
    const Settings& taken() const { return settings_; }

  protected:
    PropertiesDialog(QWidget* parent, const Settings& shown) : QDialog(parent), settings_(shown) {}
    // Takes the number typed into `edit` into setting `id`'s range.
    void Take(SettingId id, const QLineEdit* edit);

    Settings settings_;
};

class CameraPropertiesDialog : public PropertiesDialog {
  public:
    CameraPropertiesDialog(QWidget* parent, const Settings& shown);
    void accept() override;

  private:
    QLineEdit* timer_;
};

class ScreenPropertiesDialog : public PropertiesDialog {
  public:
    ScreenPropertiesDialog(QWidget* parent, const Settings& shown);
    void accept() override;

  private:
    QLineEdit* timer_;
    QRadioButton* whole_;
    QRadioButton* imode_;
    QCheckBox* rotate_;
};

class ImagePropertiesDialog : public PropertiesDialog {
  public:
    ImagePropertiesDialog(QWidget* parent, const Settings& shown);
    void accept() override;

  private:
    QLineEdit* edits_[5];
};

}  // namespace vemo
