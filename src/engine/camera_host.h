#pragma once

// What the camera controller and the capture-file control need of the
// engine they work in, and no more: the status text, the camera timer, the
// menus' entries, a receiver for the camera's events, the commands they run
// as the menus do, the camera switch's stored choice, and the face that
// answers their questions.

#include <QString>

#include <vector>

#include "devices/property_entries.h"

class QObject;

namespace vemo {

class EngineFace;

class CameraHost {
  public:
    virtual ~CameraHost() = default;

    virtual void SetStatus(const QString& text) = 0;
    // Timer 1; setting it again replaces its interval.
    virtual void SetCameraTimer(unsigned interval_ms) = 0;
    virtual void KillCameraTimer() = 0;
    // The listed cameras and the chosen camera's property pages.
    virtual void SetDeviceEntries(std::vector<MenuEntry> entries) = 0;
    virtual void SetPropertyPages(std::vector<MenuEntry> entries) = 0;
    // Receives the graph's and the device list's posted events.
    virtual QObject* event_target() = 0;
    // Carries out a menu command, as the menu does (a recording's time limit
    // runs through here).
    virtual void RunCommand(int id) = 0;
    // What faces show of the engine may have changed.
    virtual void StateChanged() = 0;
    // Camera publishing switched on or off: the choice is stored.
    virtual void StoreCameraCapture(bool on) = 0;
    virtual EngineFace& face() = 0;
};

}  // namespace vemo
