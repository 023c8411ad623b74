#pragma once

// The engine's only top-level window: the camera preview (or the idle
// picture while the camera is off) above a one-line status bar, the menus,
// the two timers, and the messages the rest of the engine posts to it.

#include <QEvent>
#include <QImage>
#include <QMainWindow>
#include <QPixmap>
#include <QTimer>

#include <deque>
#include <functional>
#include <memory>

#include "app/camera_window.h"
#include "app/engine_state.h"
#include "app/menus.h"
#include "camera/camera_events.h"
#include "screen/screen_capture.h"

namespace vemo {

class CameraController;
class CaptureFileControl;
class StatusBar;

// Messages the engine posts to its window from any thread (MSG_FRAME_READY,
// MSG_GRAPH_EVENT and their event types) are declared in camera_events.h.

inline constexpr int TIMER_CAMERA = 1;
inline constexpr int TIMER_SCREEN = 2;

// The client area above the status bar: the preview, or the idle picture.
class VideoArea : public QWidget {
  public:
    VideoArea(QWidget* parent, const EngineState& state);
    void ShowFrame(QImage frame);

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    const EngineState& state_;
    QPixmap idle_;
    QImage frame_;
};

class MainWindow : public QMainWindow, public CameraWindow {
  public:
    MainWindow();
    ~MainWindow() override;

    EngineState& state() { return state_; }
    CameraController& camera() { return *camera_; }
    CaptureFileControl& capture_file() { return *capture_file_; }
    ScreenCapture& screen() { return screen_; }
    StatusBar* statusBarWidget() const { return status_; }
    VideoArea* videoArea() const { return video_; }
    const EngineMenus& menus() const { return menus_; }
    QAction* action(int id) const;

    // Sizes the window so that the area above the status bar is
    // width x height, and records that as the camera frame size.
    void ResizeWindow(int width, int height);

    // Timers 1 and 2; setting one again replaces its interval.
    void SetCameraTimer(unsigned interval_ms) override;
    void SetScreenTimer(unsigned interval_ms);
    void KillCameraTimer() override;
    const QTimer& cameraTimer() const { return camera_timer_; }
    const QTimer& screenTimer() const { return screen_timer_; }

    // Carries out one menu command; ids outside 4 to 63 do nothing.
    int OnCommand(int id);
    // A command from another program. While a modal dialog is open it waits
    // until the dialog has closed (one dialog never opens on top of
    // another), except the close, and command 8 while the go-ahead of a
    // recording is being asked, which cancels it.
    void PostCommand(int id);

    // What the camera controller uses of the window.
    QMenu* devices_menu() const override { return menus_.devices; }
    QMenu* properties_menu() const override { return menus_.properties; }
    void SetStatus(const QString& text) override;
    void ShowVideo(QImage frame) override { video_->ShowFrame(std::move(frame)); }
    void RepaintVideo() override { video_->update(); }
    void ResizeVideo(int width, int height) override { ResizeWindow(width, height); }
    QWidget* dialog_parent() override { return this; }
    QObject* event_target() override { return this; }
    void RunCommand(int id) override { OnCommand(id); }
    // Told, once the event loop runs, whenever something other programs see
    // of the engine may have changed: a command, a timer, the status text.
    void StateChanged() override {
        if (state_observer_) state_observer_();
    }
    void set_state_observer(std::function<void()> observer) {
        state_observer_ = std::move(observer);
    }

    // The menu states kept up to date whenever a menu opens.
    void UpdateMenuStates();

    // Dialogs reached from the menu and the keyboard.
    void OpenCameraProperties();
    void OpenScreenProperties();
    void OpenImageProperties();
    void OpenAbout();

    // Screen publishing on or off, as the File menu does it. The start takes
    // the stored screen settings; a failure is reported once.
    // GrabScreen asks the screen worker for a grab and returns at once; the
    // result is shown when it arrives.
    void StartScreenPublishing();
    void StopScreenPublishing();
    void GrabScreen();

    // Applies the stored settings as the properties dialogs' OK would: the
    // camera's read again and its timer re-armed, the screen's timer and
    // colours at once, and screen capture started afresh when its geometry
    // (whole screen or i-mode, rotation, division, width) changed.
    void ReloadSettings();

    // The window was closed: the camera and the screen are down and nothing
    // starts any more.
    bool closed() const { return closed_; }

    // For a process that ends without closing the window (its display went
    // away): a running recording is finished, then the off pictures of
    // whatever publishes are put in place by file operations alone. Nothing
    // here talks to the display: on Wayland any request on the broken
    // connection would end the process on the spot.
    void LeaveOffPictures();

  protected:
    bool event(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    void LayoutChildren();
    void PublishRequestedFrame();
    void ShowPreviewPicture();
    void ReportPublishProblem(const QString& text);
    void ShowScreenGrab(const ScreenGrabResult& grab);
    void RunWaitingCommands();

    EngineState state_;
    ScreenCapture screen_;
    // A screen start still waits for the desktop's permission: the settings
    // it settles on are taken with its first grab.
    bool screen_start_pending_ = false;
    VideoArea* video_;
    StatusBar* status_;
    EngineMenus menus_;
    QTimer camera_timer_;
    QTimer screen_timer_;
    QString last_problem_;
    // Commands from other programs that wait for a modal dialog to close.
    std::deque<int> waiting_commands_;
    QTimer waiting_check_;
    bool closed_ = false;
    std::function<void()> state_observer_;
    std::unique_ptr<CaptureFileControl> capture_file_;
    // Last, so that it goes first: it stops the camera's threads.
    std::unique_ptr<CameraController> camera_;
};

// The window the engine runs, once start-up has made it.
MainWindow* main_window();

}  // namespace vemo
