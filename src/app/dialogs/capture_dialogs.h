#pragma once

// The four dialogs of a capture to file, in English unlike the rest of the
// window: the space to pre-allocate (601), the frame rate (602), the go-ahead
// before recording (603) and the time limit (604). Each starts from the
// values given, and only OK stores into them. Every control's object name is
// its numeric id ("401").

#include <QDialog>

#include <cstdint>
#include <string>

#include "camera/offered_format.h"
#include "capfile/capture_file.h"

class QCheckBox;
class QLineEdit;

namespace vemo {

// Opening reads the capture file's size and the free space beside it: the
// bound becomes the two together (kept from the last opening when the free
// space is unknown) and the size field shows the file's size. The field is
// corrected as the user types; OK takes a size from 1 up to the bound, or
// beeps and stays open.
class SetFileSizeDialog : public QDialog {
  public:
    SetFileSizeDialog(QWidget* parent, CaptureFileValues& values);
    void accept() override;

  private:
    void CorrectSize(const QString& text);

    CaptureFileValues& values_;
    QLineEdit* size_;
    bool correcting_ = false;
};

// The field shows the camera's rate as the camera states it ("15",
// "29.970030") when one is known, else the stored rate ("14.990000": the
// camera is asked for its rate nearest that). OK takes a frame rate above 0;
// anything else is reported and the dialog stays open.
class FrameRateDialog : public QDialog {
  public:
    FrameRateDialog(QWidget* parent, double& frame_rate, bool& use_frame_rate,
                    FrameRate camera_rate = {});
    void accept() override;

  private:
    double& frame_rate_;
    bool& use_frame_rate_;
    QLineEdit* rate_;
    QCheckBox* use_;
};

// Shows where the recording will go; OK starts it.
class ReadyToCaptureDialog : public QDialog {
  public:
    ReadyToCaptureDialog(QWidget* parent, const std::string& file_name);
};

// OK takes any text: a field without a number gives 0 seconds.
class TimeLimitDialog : public QDialog {
  public:
    TimeLimitDialog(QWidget* parent, std::uint32_t& time_limit, bool& use_time_limit);
    void accept() override;

  private:
    std::uint32_t& time_limit_;
    bool& use_time_limit_;
    QLineEdit* limit_;
    QCheckBox* use_;
};

}  // namespace vemo
