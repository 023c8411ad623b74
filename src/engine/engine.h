#pragma once

// The engine apart from any window: its state, the camera and its
// recordings, the capture file, screen capture, timers 1 and 2, and the
// dispatch of the command ids. Faces drive it (the window, the bus, a run
// without a display), read one snapshot of what it shows and hear one
// change signal; what it needs asked or shown goes to its EngineFace.
// Qt Core only: the event loop, timers and posted events.

#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "camera/recorder.h"
#include "engine/camera_host.h"
#include "engine/command_ids.h"
#include "engine/engine_answer.h"
#include "engine/engine_face.h"
#include "engine/engine_state.h"
#include "screen/screen_capture.h"
#include "settings/settings_model.h"

namespace vemo {

class CameraController;
class CaptureFileControl;

inline constexpr int TIMER_CAMERA = 1;
inline constexpr int TIMER_SCREEN = 2;

// What the faces show of the engine.
struct EngineSnapshot {
    bool closed = false;
    QString status;
    bool camera_on = false;
    bool screen_on = false;
    RecorderState recording = RecorderState::kIdle;
    // The file of a running recording; empty otherwise.
    std::string recording_file;
    std::string capture_file;
    std::uint32_t camera_timer = 0;
    std::uint32_t screen_timer = 0;
    std::string camera_device;
    std::vector<MenuEntry> devices;
    std::vector<MenuEntry> property_pages;
    // The face's box or dialog that waits for an answer.
    std::optional<Waiting> waiting;
};

class Engine : public QObject, private CameraHost {
    Q_OBJECT

  public:
    explicit Engine(EngineFace& face);
    ~Engine() override;
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    EngineState& state() { return state_; }
    const EngineState& state() const { return state_; }
    CameraController& camera() { return *camera_; }
    const CameraController& camera() const { return *camera_; }
    CaptureFileControl& capture_file() { return *capture_file_; }
    ScreenCapture& screen() { return screen_; }
    const QTimer& cameraTimer() const { return camera_timer_; }
    const QTimer& screenTimer() const { return screen_timer_; }
    EngineFace& face() override { return face_; }

    // Start-up once the face is up: the settings read, the cameras listed and
    // the first chosen (its preview runs when camera publishing is on),
    // hot-plug followed, and screen publishing started when it is stored on.
    void Start();

    // Carries out one command id; ids outside 4 to 63 do nothing.
    int OnCommand(int id);
    // A command from another program. While the face waits for an answer it
    // waits until that has closed (one dialog never opens on top of
    // another), except the close, and command 8 while the go-ahead of a
    // recording is being asked, which cancels it.
    void PostCommand(int id);

    EngineSnapshot Snapshot() const;
    const QString& status() const { return status_; }
    const std::vector<MenuEntry>& device_entries() const { return device_entries_; }
    const std::vector<MenuEntry>& property_pages() const { return property_pages_; }
    void SetStatus(const QString& text) override;

    // Timers 1 and 2; setting one again replaces its interval.
    void SetCameraTimer(unsigned interval_ms) override;
    void SetScreenTimer(unsigned interval_ms);
    void KillCameraTimer() override;

    // Screen publishing on or off, as the File menu does it. A start with
    // nothing to grab (no display) is reported once and refused: screen
    // publishing is not claimed. GrabScreen asks the screen worker for a grab
    // and returns at once; the result is taken when it arrives.
    EngineAnswer StartScreenPublishing();
    void StopScreenPublishing();
    void GrabScreen();

    // The settings in force, and the one step every change goes through (a
    // properties dialog's OK, the bus's reload, vemoctl settings set on a
    // running engine): what changed is stored and takes effect, each as it
    // needs (a timer re-armed, screen publishing restarted, the colour count
    // from the next picture on, camera or screen publishing switched as the
    // File menu switches it). Refused, with why, when a change could not
    // take effect; the values are stored all the same.
    // `restart_screen`: screen publishing starts afresh whatever changed.
    const Settings& settings() const { return settings_; }
    // What the properties dialogs show: the settings, with the i-mode width
    // the screen's geometry settled on while screen capture runs.
    Settings shown_settings() const;
    EngineAnswer ApplySettings(const Settings& now, bool restart_screen = false);
    // The settings file was changed by someone else.
    EngineAnswer ReloadSettings() { return ApplySettings(ReadSettings()); }

    // Requests from other programs, each answered with what became of it.
    // A start answers once it runs (or why not) before any box about it
    // opens; a stop once the file is finished, with its statistics line.
    void StartRecording(bool ask_go_ahead, std::function<void(const EngineAnswer&)> done);
    void StopRecording(std::function<void(const EngineAnswer&)> done);
    EngineAnswer SetCaptureFileName(const std::string& path);
    // Refused while the face waits for an answer.
    Result<> NotWaiting(const char* doing) const;

    // The close: a copy in progress aborted, the camera's and the screen's
    // off pictures in place, nothing runs afterwards.
    void Close();
    bool closed() const { return closed_; }
    // For a process that ends without closing (its display went away): a
    // running recording is finished, then the off pictures of whatever
    // publishes are put in place by file operations alone.
    void LeaveOffPictures();

  signals:
    // Anything the snapshot shows may have changed. Sent at once, so that a
    // face shows a long step's progress as it goes.
    void changed();

  protected:
    bool event(QEvent* event) override;

  private:
    void SetDeviceEntries(std::vector<MenuEntry> entries) override;
    void SetPropertyPages(std::vector<MenuEntry> entries) override;
    QObject* event_target() override { return this; }
    void RunCommand(int id) override { OnCommand(id); }
    void StateChanged() override { emit changed(); }
    void StoreCameraCapture(bool on) override { Store(SETTING_CAMERA_CAPTURE, on ? 1 : 0); }
    // One value stored, as a switch stores its choice.
    void Store(SettingId id, std::uint32_t value);

    void ToggleScreen();
    void PublishRequestedFrame();
    void ShowPreviewPicture();
    void ReportPublishProblem(const QString& text);
    void TakeScreenGrab(const ScreenGrabResult& grab);
    void RunWaitingCommands();

    EngineFace& face_;
    EngineState state_;
    Settings settings_;
    ScreenCapture screen_;
    // A screen start still waits for the desktop's permission.
    bool screen_start_pending_ = false;
    QString status_;
    std::vector<MenuEntry> device_entries_;
    std::vector<MenuEntry> property_pages_;
    QTimer camera_timer_;
    QTimer screen_timer_;
    QString last_problem_;
    // Commands from other programs that wait for the face's answer.
    std::deque<int> waiting_commands_;
    QTimer waiting_check_;
    bool closed_ = false;
    std::unique_ptr<CaptureFileControl> capture_file_;
    // Last, so that it goes first: it stops the camera's threads.
    std::unique_ptr<CameraController> camera_;
};

}  // namespace vemo
