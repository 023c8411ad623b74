#pragma once

#include <cstdint>

#include "capfile/capture_file.h"
#include "screen/screen_capture.h"

namespace vemo {

// The engine's run-time state that the window and its camera controller own:
// the user's switches, the capture values, the camera frame size and the
// settings as last read or edited. Everything here lives on the
// user-interface thread. The camera graph keeps its own flags (previewing,
// branches built), the recorder whether a recording is held or running,
// screen capture its own (screen_on), and the frame buffer the frame request.
struct EngineState {
    bool camera_on = false;
    bool devices_menu_current = false;
    bool capture_audio = false;
    bool capture_cc = false;

    std::int32_t master_stream = 1;  // audio
    double frame_rate = 14.99;
    bool use_frame_rate = true;
    bool use_time_limit = false;
    std::uint32_t time_limit = 0;

    int frame_width = 0;
    int frame_height = 0;

    // The capture file: its name and the sizes the "Set File Size" dialog
    // keeps; for the run only.
    CaptureFileValues capture_file;

    // Settings as last read or edited. The preview and screen capture each
    // take a snapshot of theirs when they start; the screen's are those its
    // last start settled on.
    std::uint32_t camera_timer = 0;
    std::uint32_t camera_gif_color = 0;
    std::uint32_t imode_camera_width = 0;
    ScreenSettings screen;
};

}  // namespace vemo
