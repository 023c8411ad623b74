#pragma once

// The one place that sequences the camera: choosing a device, the camera
// switch, the graph's events (error abort, device lost, busy), the restart
// after an error, the lost camera, and the close. The camera graph and the
// device list only do and say; the controller decides what follows and shows
// their messages once its own state change is complete, because a message
// box runs a nested event loop in which timers, graph events and a close may
// run.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <QTimer>

#include "app/dbus_service.h"
#include "app/engine_state.h"
#include "camera/camera_controls.h"
#include "camera/camera_graph.h"
#include "camera/camera_publish.h"
#include "devices/device_list.h"
#include "devices/properties_menu.h"

namespace vemo {

class CaptureFileControl;
class MainWindow;

// How long a stopped recording may take to write its index before the graph
// stops anyway.
inline constexpr int kFinishLimitMs = 5000;

class CameraController {
  public:
    CameraController(EngineState& state, MainWindow& window, CaptureFileControl& capture_file);
    ~CameraController();
    CameraController(const CameraController&) = delete;
    CameraController& operator=(const CameraController&) = delete;

    CameraGraph& graph() { return graph_; }
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
    // halts it; the choice is stored.
    void ToggleCamera();
    // The preview, with the window's part: the camera timer armed at the
    // start, the client area drawn afresh at the halt.
    bool BuildPreviewBranch();
    bool RunPreview();
    bool HaltPreview();

    // Reads the camera's settings into the engine state, each within the
    // range the dialogs allow; every preview start reads them afresh.
    void LoadCameraSettings();

    // Timer 1 and the About box ask for the next frame.
    void RequestFrame();
    // MSG_FRAME_READY: publishes the requested frame.
    PublishResult PublishRequestedFrame();
    // MSG_GRAPH_EVENT.
    void HandleGraphEvents();

    // Recording to file (camera_recording.cpp). Command 7 stops the preview
    // and records; command 8 (and Escape) stops the recording and brings the
    // preview back. A recording stopped by any path, the close, a lost camera
    // and an error included, is a finished, playable file.
    void StartCapture();
    void StopCapture();
    bool BuildCaptureBranch();
    bool RunCapture();
    bool HaltCapture();
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
    DBusAnswer ControlsText();
    DBusAnswer SetControlByName(const std::string& name, const std::string& value);
    DBusAnswer FormatsText();
    DBusAnswer UseFormatNamed(const std::string& format);

    // The window closes: the preview halts with the camera-off pictures, the
    // graph and the device list are released, and nothing runs afterwards.
    void Close();
    bool closed() const { return closed_; }

  private:
    void Queue(CameraResult result);
    void Queue(std::string text) { pending_.push_back({std::move(text), 0, {}}); }
    void ShowPending();
    bool BuildCameraFilters();
    void RefreshMarksAndStatus();
    void StopLostCamera();
    bool RestartPreviewAfterError();
    bool IsCurrentCamera(const std::string& identity) const;
    bool FinishRecording(int limit_ms);
    void RebuildPreview();
    std::vector<OfferedFormat> Formats() const;
    void UseFormat(const OfferedFormat& format);

    EngineState& state_;
    MainWindow& window_;
    CaptureFileControl& capture_file_;
    CameraGraph graph_;
    DeviceList devices_;
    CameraJobs jobs_;
    std::optional<CaptureDevice> current_video_device_;
    // The chosen camera went away (device lost); choosing it again rebuilds.
    bool current_device_lost_ = false;
    // When the preview was last restarted after an error.
    std::int64_t last_restart_ns_ = 0;
    std::vector<CameraMessage> pending_;
    bool closed_ = false;
    // The running recording: when it started, and its time limit.
    std::int64_t capture_start_ns_ = 0;
    QTimer time_limit_;
    // What the chosen camera lets the user adjust, the Properties menu's
    // entries, and the size the user chose for it (until another camera).
    std::unique_ptr<CameraControls> controls_;
    PropertyEntryPosition property_entries_;
    std::optional<FrameSize> chosen_size_;
};

}  // namespace vemo
