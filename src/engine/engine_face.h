#pragma once

// What the engine needs answered or shown by whoever runs it: the window, or
// nobody (a service without a display). Each question returns its answer;
// what a face does not implement is answered as a run without a person
// answers it: boxes logged and answered OK, choices cancelled, the go-ahead
// refused with why.

#include <cstdarg>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/error.h"
#include "camera/camera_controls.h"
#include "camera/frame_grabber.h"
#include "camera/offered_format.h"
#include "engine/engine_state.h"

namespace vemo {

enum class MessageKind {
    kWarning,   // exclamation icon, OK button
    kOkCancel,  // exclamation icon, OK and Cancel buttons
};

inline constexpr int kMessageOk = 1;
inline constexpr int kMessageCancel = 2;

struct MessageRequest {
    MessageKind kind = MessageKind::kWarning;
    std::string text;
    std::string caption;  // empty: the default caption
};

// Shows the message and returns the button pressed (kMessageOk, kMessageCancel).
using MessageSink = std::function<int(const MessageRequest&)>;

struct FileQuestion {
    std::string title;       // the dialog's title
    std::string filter;      // e.g. "Microsoft AVI (*.avi)"
    std::string start_path;  // the folder and name it starts with
    // Whether choosing an existing file asks before replacing it: a file the
    // choice overwrites asks, the capture file (reused as it is) does not.
    bool confirm_overwrite = true;
};

// A box or dialog that waits for its answer.
struct Waiting {
    std::string title;
    std::string text;
};

// Refused (kBusy) while `wait` waits for an answer: what a program asked
// for (`doing`) waits on nobody's box.
inline Result<> NotWaiting(const std::optional<Waiting>& wait, const char* doing) {
    if (!wait) return {};
    return Failure(ErrorKind::kBusy,
                   std::string("cannot ") + doing + " while \"" + wait->title +
                       "\" waits for an answer in the engine's window: " + wait->text);
}

// The go-ahead of a recording: given, or refused with why (empty when the
// user just cancelled).
struct GoAhead {
    bool given = false;
    std::string refusal;
};

// The dialogs of the Properties menu and the keyboard.
enum class SettingsPage { kCamera, kScreen, kImage };

class EngineFace {
  public:
    virtual ~EngineFace() = default;

    // The button pressed (kMessageOk, kMessageCancel).
    virtual int ShowMessage(const MessageRequest& request);
    // The chosen path; nullopt when cancelled.
    virtual std::optional<std::string> ChooseFile(const FileQuestion& question);
    // Asked while the recording is held; CancelGoAhead ends an open question
    // (command 8, or anything that takes the graph apart).
    virtual GoAhead AskGoAhead(const std::string& file_name);
    virtual void CancelGoAhead() {}

    // Dialogs that edit the run's values in `state`; true on OK.
    virtual bool EditFrameRate(EngineState& state, FrameRate camera_rate);
    virtual bool EditTimeLimit(EngineState& state);
    virtual bool EditFileSize(CaptureFileValues& values);
    // The properties dialogs: they apply what they change through the engine.
    virtual void EditSettings(SettingsPage page) { (void)page; }
    virtual void ShowAbout() {}
    virtual void ShowManual() {}
    // The camera's property pages. The controls stay the dialog's for as long
    // as it is open, whatever becomes of the camera meanwhile.
    virtual void EditCameraControls(std::shared_ptr<CameraControls> controls,
                                    const std::string& camera_name);
    virtual std::optional<OfferedFormat> ChooseFormat(const std::vector<OfferedFormat>& formats,
                                                      const OfferedFormat& current);
    virtual void EditCameraInput(std::shared_ptr<CameraControls> controls);
    virtual void EditTuner(std::shared_ptr<CameraControls> controls);

    // The preview area: a picture, nothing (the camera off or rebuilt), and
    // its size.
    virtual void ShowPreview(const PreviewPicture& picture) { (void)picture; }
    virtual void ClearPreview() {}
    // The preview area drawn afresh (the idle picture back, say).
    virtual void RepaintPreview() {}
    virtual void ResizePreview(int width, int height);
    // Whatever the face shows is brought up to date now, not once the event
    // loop runs (a long step follows).
    virtual void ShowNow() {}

    // Command 4: the face closes, which closes the engine.
    virtual void Close() = 0;
    // A box or dialog of the face's own waits for an answer; commands from
    // other programs wait for it to close.
    virtual std::optional<Waiting> ModalWaiting() const { return std::nullopt; }
};

// The messages through `face`: "Vemo : " and the printf-formatted text (at
// most 1024 characters). ReportError returns 0; AskOkCancel the button.
int ReportError(EngineFace& face, const char* format, ...) __attribute__((format(printf, 2, 3)));
int AskOkCancel(EngineFace& face, const char* format, ...) __attribute__((format(printf, 2, 3)));
// The same text without a face.
std::string VemoMessage(const char* format, std::va_list arguments);

}  // namespace vemo
