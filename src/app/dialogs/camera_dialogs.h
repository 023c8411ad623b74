#pragma once

// The camera's own settings, in English as the driver names them: its
// controls (brightness, white balance, ...), its format, its input and its
// tuner. The controls dialog applies every change at once, so the preview
// shows it; the others apply on OK. Each control's widget is named by its
// key ("brightness"); OK is named "1" and Cancel "2", as in the other
// dialogs.

#include <QDialog>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "camera/camera_controls.h"
#include "camera/offered_format.h"

class QComboBox;
class QGridLayout;
class QLabel;
class QListWidget;
class QSpinBox;

namespace vemo {

class CameraControlsDialog : public QDialog {
  public:
    CameraControlsDialog(QWidget* parent, CameraControls& controls, const std::string& camera_name);
    // Puts back the values the dialog opened with.
    void reject() override;

  private:
    struct Row {
        CameraControl control;  // as last read
        QWidget* editor = nullptr;
        QLabel* name = nullptr;
        QLabel* value = nullptr;  // sliders only
    };

    void AddRow(QGridLayout* grid, const CameraControl& control);
    void Change(std::uint32_t id, std::int64_t value);
    // Sets each control, in order, to its value in `values` (its default
    // value when `defaults`).
    void SetAll(const std::vector<CameraControl>& values, bool defaults);
    // Reads the controls again and shows their values and whether they can
    // be changed.
    void Refresh();

    CameraControls& controls_;
    std::vector<CameraControl> opening_;
    std::vector<Row> rows_;
    QLabel* status_ = nullptr;
};

// The pixel formats in one combo box; the sizes and rates of the chosen one
// in a list.
class CameraFormatDialog : public QDialog {
  public:
    CameraFormatDialog(QWidget* parent, std::vector<OfferedFormat> formats,
                       const OfferedFormat& current);
    // The selected format; the current one until OK takes another.
    const OfferedFormat& chosen() const { return chosen_; }
    void accept() override;

  private:
    // Lists the sizes of the pixel format in the combo box, selecting the
    // one most like `like`.
    void ListSizes(const OfferedFormat& like);

    std::vector<OfferedFormat> formats_;
    std::vector<std::size_t> listed_;  // the list's rows, as indexes into formats_
    OfferedFormat chosen_;
    QComboBox* pixel_format_;
    QListWidget* sizes_;
};

// OK switches to the selected input; a refusal is said in the dialog's
// status line ("status") and the dialog stays open.
class CameraInputDialog : public QDialog {
  public:
    CameraInputDialog(QWidget* parent, CameraControls& controls);
    void accept() override;

  private:
    CameraControls& controls_;
    std::optional<std::uint32_t> current_;
    QComboBox* input_;
    QLabel* status_;
};

// OK sets the standard, then the frequency; a refusal is said in the
// dialog's status line ("status") and the dialog stays open.
class TunerDialog : public QDialog {
  public:
    TunerDialog(QWidget* parent, CameraControls& controls);
    void accept() override;

  private:
    CameraControls& controls_;
    bool has_tuner_ = false;
    QSpinBox* frequency_;
    QComboBox* standard_;
    QLabel* status_;
};

}  // namespace vemo
