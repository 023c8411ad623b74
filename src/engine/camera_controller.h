#pragma once

// The one place that sequences the camera: choosing a device, the camera
// switch, the graph's events (error abort, device lost, busy), the restart
// after an error, the lost camera, and the close. The camera graph and the
// device list only do and say; the controller decides what follows and shows
// their messages once its own state change is complete, because a message
// box runs a nested event loop in which timers, graph events and a close may
// run.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QTimer>

#include "camera/camera_controls.h"
#include "camera/camera_graph.h"
#include "camera/camera_publish.h"
#include "camera/recorder.h"
#include "devices/device_list.h"
#include "devices/property_entries.h"
#include "engine/camera_host.h"
#include "engine/command_ids.h"
#include "engine/engine_answer.h"
#include "engine/engine_state.h"
#include "settings/settings_model.h"

namespace vemo {

class CaptureFileControl;

// How long a stopped recording may take to write its index before its file
// is closed as it stands.
inline constexpr int kFinishLimitMs = 5000;

class CameraController {
  public:
    CameraController(EngineState& state, CameraHost& host, CaptureFileControl& capture_file);
    ~CameraController();
    CameraController(const CameraController&) = delete;
    CameraController& operator=(const CameraController&) = delete;

    CameraGraph& graph() { return graph_; }
    const Recorder& recorder() const { return recorder_; }
    // A recording is held (its go-ahead is being asked), running or being
    // finished: the camera's menus are grayed and the capture file stays.
    bool recording() const { return recorder_.busy(); }
    const DeviceList& devices() const { return devices_; }
    // The chosen camera; none until a device is chosen.
    const std::optional<CaptureDevice>& current_video_device() const {
        return current_video_device_;
    }

    // Lists the devices into the Devices menu unless it is current. No device
    // while the camera is on: "カメラが見つかりません", and the camera goes
    // off, stored as 0.
    void BuildDevicesMenu();
    // Makes `video` the engine's camera: unless it is the camera already (and
    // working), the graph is torn down and built again around it, and the
    // preview runs when the camera is on. Then the check marks and the status
    // text follow the chosen camera.
    void ChooseDevices(const std::optional<CaptureDevice>& video);
    // Command 16 + slot.
    void ChooseDeviceAt(int slot);
    // Commands 26 to 35: nothing is rebuilt; marks and status text are refreshed.
    void ChooseCurrentDevice();
    // The listed device whose identity or name is `name`, else the first listed
    // device; nothing when none is listed.
    void ChooseDevicesByName(const std::string& name);
    // From now on device arrivals and removals reach the window.
    void WatchDeviceChanges();
    // Marks the menu stale on any arrival or removal; the removal of the chosen
    // camera goes to the graph as a device loss.
    void HandleDeviceChanges();

    // The camera switch (command 15): on builds and runs the preview, off
    // halts it; the choice is stored. Refused, with why, while recording and
    // without a camera to switch on.
    EngineAnswer ToggleCamera();
    // The preview, with the window's part: the camera timer armed at the
    // start, the client area drawn afresh at the halt.
    bool BuildPreviewBranch();
    bool RunPreview();
    bool HaltPreview();

    // Takes the camera's settings into the engine state; every preview start
    // reads them afresh.
    void LoadCameraSettings(const Settings& settings);

    // Timer 1 and the About box ask for the next frame.
    void RequestFrame();
    // MSG_FRAME_READY: publishes the requested frame.
    PublishResult PublishRequestedFrame();
    // MSG_GRAPH_EVENT.
    void HandleGraphEvents();

    // Recording to file (camera_recording.cpp). Command 7 stops the preview
    // and records (during a recording it does nothing); command 8 (and
    // Escape) stops the recording, or cancels the go-ahead dialog, and brings
    // the preview back. A recording stopped by any path, the close, a lost
    // camera, an error and every change that takes the graph apart included,
    // is a finished, playable file; a start that fails or is cancelled brings
    // the preview back as it was.
    //
    // A start reports what became of it; one for another program may skip
    // the go-ahead dialog, and is refused rather than ask for a capture file.
    // `answer`, when given, hears the outcome before any box about it opens
    // (a box waits for its reader; the program that asked does not).
    //
    // A stop never waits for the file on the window's thread: the branch
    // leaves the camera graph at once (which is then free for any change),
    // and the statistics line and the state change come once the writer has
    // written the index, or after kFinishLimitMs with the file as it stands.
    struct CaptureStart {
        enum class Outcome { kStarted, kCancelled, kRefused } outcome = Outcome::kRefused;
        std::string reason;  // why it was refused
    };
    CaptureStart StartCapture(bool ask_go_ahead = true,
                              const std::function<void(const CaptureStart&)>& answer = {});
    void StopCapture();
    bool BuildCaptureBranch();
    bool RunCapture(bool ask_go_ahead);
    bool HaltCapture();
    // `ended` gets the statistics line once the recording being finished has
    // ended; at once (the last line) when none is being finished.
    void WhenRecordingEnds(std::function<void(const QString& line)> ended);
    // Command 14: the frame rate dialog and the new rate.
    void ChangeFrameRate();
    // Commands 9 and 12: captions or audio on or off, the preview rebuilt.
    void ToggleCaptureOption(bool EngineState::*option);

    // The Properties menu (camera_properties.cpp): the chosen camera's
    // entries, rebuilt at every device change, and commands 42 to 57.
    void BuildPropertyPagesMenu();
    void OpenPropertyPage(int id);
    // The same for scripts: the controls and formats as text lines, and a
    // change as the dialogs make it.
    EngineAnswer ControlsText();
    EngineAnswer ControlList(std::vector<CameraControl>& controls);
    EngineAnswer FormatList(std::vector<OfferedFormat>& formats);
    EngineAnswer SetControlByName(const std::string& name, const std::string& value);
    EngineAnswer FormatsText();
    EngineAnswer UseFormatNamed(const std::string& format);

    // For a process that ends without closing its window (its display went
    // away): a running recording is finished as command 8 finishes it, a
    // playable file, its statistics line logged rather than shown; a held one
    // is given up. Touches nothing of the window. Returns whether the camera
    // published until now (previewing or recording).
    bool EndRecordingWithoutWindow();

    // The window closes: the preview halts with the camera-off pictures, the
    // graph and the device list are released, and nothing runs afterwards.
    void Close();
    bool closed() const { return closed_; }
    // The statistics line of the last recording that ended.
    const QString& last_recording_line() const { return last_recording_line_; }

  private:
    void Queue(CameraResult result);
    void Queue(std::string text) { pending_.push_back({std::move(text), 0, {}}); }
    void ShowPending();
    bool BuildCameraFilters();
    void RefreshMarksAndStatus();
    void StopLostCamera();
    bool RestartPreviewAfterError();
    bool IsCurrentCamera(const std::string& identity) const;
    void EndRecordingBeforeGraphChange();
    CaptureStart TryStartCapture(bool ask_go_ahead);
    void StartFinishing(int limit_ms);
    void BeginFinishing(int limit_ms);
    bool FinishRecording(int limit_ms);
    bool EndFinishing();
    void OnFinishEnded();
    QString EndFinishingWithoutWindow(std::string& problem);
    void WaitForFinishing();
    void GiveUpHeldRecording();
    void DismantleGraph();
    void ReleaseCameraFilters();
    void RebuildPreview();
    std::vector<OfferedFormat> Formats() const;
    void UseFormat(const OfferedFormat& format);

    EngineState& state_;
    CameraHost& host_;
    CaptureFileControl& capture_file_;
    CameraGraph graph_;
    // The time limit of a finishing recording. Declared before the recorder
    // so that it outlives it: the recorder's streaming threads post the end
    // of a finish to it.
    QTimer finish_limit_;
    // Declared after the graph, so that it goes first: its branch hangs on
    // the graph's pipeline.
    Recorder recorder_;
    // The go-ahead is being asked: command 8 and every change that takes the
    // graph apart cancel it. A face's refusal of it, for the start's caller.
    bool asking_go_ahead_ = false;
    std::string go_ahead_refusal_;
    // A stop came while the go-ahead was asked.
    bool held_start_stopped_ = false;
    DeviceList devices_;
    CameraJobs jobs_;
    std::optional<CaptureDevice> current_video_device_;
    // The chosen camera went away (device lost); choosing it again rebuilds.
    bool current_device_lost_ = false;
    // When the preview was last restarted after an error.
    std::int64_t last_restart_ns_ = 0;
    std::vector<CameraMessage> pending_;
    bool closed_ = false;
    // The running recording: when it started, and its time limit; the
    // statistics line of the last one.
    std::int64_t capture_start_ns_ = 0;
    // The stop of a recording being finished, and when its time is up.
    std::int64_t capture_stop_ns_ = 0;
    std::int64_t finish_deadline_ns_ = 0;
    // Who waits for the finish's statistics line.
    std::vector<std::function<void(const QString&)>> finish_waiters_;
    QString last_recording_line_;
    QTimer time_limit_;
    // What the chosen camera lets the user adjust, the Properties menu's
    // entries, and the size the user chose for it (until another camera).
    // Shared with an open dialog, so that a device change while it is open
    // (a command from another program) cannot pull them from under it.
    std::shared_ptr<CameraControls> controls_;
    PropertyEntryPosition property_entries_;
    std::optional<FrameSize> chosen_size_;
};

}  // namespace vemo
