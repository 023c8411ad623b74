#pragma once

// The command ids the engine acts on, as the menus and other programs send
// them (the list with their texts is base/engine_command_list.h).

#include "devices/property_entries.h"

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

}  // namespace vemo
