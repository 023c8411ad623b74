#pragma once

// What the camera controller needs of the window it works in, and no more:
// the menus it fills, checks and grays, the status text, the video area, the
// camera timer, a parent for its dialogs and a receiver for the camera's
// events. The window implements it; the controller never sees the window
// itself, so it can be driven without one.

#include <QImage>
#include <QString>

class QMenu;
class QObject;
class QWidget;

namespace vemo {

class CameraWindow {
  public:
    virtual ~CameraWindow() = default;

    virtual QMenu* devices_menu() const = 0;
    virtual QMenu* properties_menu() const = 0;
    virtual void SetStatus(const QString& text) = 0;
    // A preview picture for the video area; a null one clears it.
    virtual void ShowVideo(QImage frame) = 0;
    // The video area drawn afresh (the camera switched on or off).
    virtual void RepaintVideo() = 0;
    // The area above the status bar becomes width x height.
    virtual void ResizeVideo(int width, int height) = 0;
    // Timer 1; setting it again replaces its interval.
    virtual void SetCameraTimer(unsigned interval_ms) = 0;
    virtual void KillCameraTimer() = 0;
    virtual QWidget* dialog_parent() = 0;
    // Receives the graph's and the device list's posted events.
    virtual QObject* event_target() = 0;
    // Carries out a menu command, as the menu does (the controller's own
    // menu items and a recording's time limit run through here).
    virtual void RunCommand(int id) = 0;
    // What other programs see of the engine may have changed (a recording
    // held for its go-ahead).
    virtual void StateChanged() {}
};

}  // namespace vemo
