#pragma once

// The capture file's commands: choosing it (5), pre-allocating it (6) and
// saving a copy of a recording (37), and the name other programs set.

#include <QString>

#include <atomic>
#include <optional>
#include <string>

#include "base/error.h"
#include "engine/camera_host.h"
#include "engine/engine_state.h"

namespace vemo {

class CaptureFileControl {
  public:
    CaptureFileControl(EngineState& state, CameraHost& host) : state_(state), host_(host) {}

    // While a copy runs (saving()), the four below refuse: the commands with
    // a status text, SetCaptureFileName with its reason.

    // Lets the user choose the capture file; a file that does not exist yet
    // is pre-allocated at once. True when a capture file is set up.
    bool SetCaptureFile();
    // Asks for a size and reserves that much disk space for the file.
    bool AllocateCaptureFile();
    // Copies the recording to a file the user chooses, with the progress in
    // the status bar; Escape aborts it. True when saved, or when the user
    // chose no name.
    bool SaveCaptureFile();
    // A name given without a dialog (D-Bus), absolute; refused with why.
    Result<> SetCaptureFileName(const std::string& path);

    bool saving() const { return saving_; }
    void AbortSave() { abort_save_.store(true); }

  private:
    bool ChooseCaptureFileName(std::string& name, bool confirm_overwrite);
    // True, with `text` in the status bar, when a copy is running.
    bool RefusedWhileSaving(const QString& text);

    EngineState& state_;
    CameraHost& host_;
    bool saving_ = false;
    std::atomic<bool> abort_save_{false};
};

}  // namespace vemo
