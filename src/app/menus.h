#pragma once

// Menu 1000 of the main window: the four top-level menus with their command
// ids. Every action carries its id as data and as object name.

#include <QMenuBar>

#include <functional>
#include <map>

#include "devices/devices_menu.h"

namespace vemo {

enum CommandId : int {
    kCmdClose = 4,
    kCmdChooseCaptureFile = 5,
    kCmdAllocCaptureFile = 6,
    kCmdStartCapture = 7,
    kCmdStopCapture = 8,
    kCmdToggleClosedCaptions = 9,
    kCmdToggleAudio = 12,
    kCmdAudioFormat = 13,
    kCmdFrameRate = 14,
    kCmdCamera = 15,
    kCmdFirstDevice = CMD_VIDEO_DEVICE_BASE,
    kCmdLastDevice = CMD_VIDEO_DEVICE_BASE + kVideoDeviceSlots - 1,
    kCmdFirstCurrentDevice = 26,
    kCmdLastCurrentDevice = 35,
    kCmdAbout = 36,
    kCmdSaveCaptureFile = 37,
    kCmdMasterNone = 38,
    kCmdMasterAudio = 39,
    kCmdMasterVideo = 40,
    kCmdTimeLimit = 41,
    kCmdFirstPropertyPage = 42,
    kCmdLastPropertyPage = 57,
    kCmdScreen = 60,
    kCmdCameraProperties = 61,
    kCmdScreenProperties = 62,
    kCmdHelpContents = 63,
};

struct EngineMenus {
    QMenu* file = nullptr;
    QMenu* devices = nullptr;
    QMenu* properties = nullptr;
    QMenu* help = nullptr;
    std::map<int, QAction*> actions;  // the fixed items, by command id
};

// Fills `bar` with the engine's menus; choosing an item calls on_command(id).
EngineMenus BuildMenuBar(QMenuBar* bar, const std::function<void(int)>& on_command);

// An action for a command id, as every menu item of the engine is made.
QAction* MakeCommandAction(QMenu* menu, int id, const QString& text,
                           const std::function<void(int)>& on_command);

}  // namespace vemo
