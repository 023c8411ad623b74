#pragma once

#include <atomic>
#include <cstdint>

namespace vemo {

// The engine's run-time state: flags (0 = false), capture values, the camera
// frame size and the cached settings. Owned by the user-interface thread; the
// camera's streaming thread only reads frame_requested, hence the atomic.
struct EngineState {
    std::int32_t camera_on = 0;
    std::int32_t screen_on = 0;
    std::int32_t previewing = 0;
    std::int32_t capturing = 0;
    std::int32_t preview_graph_built = 0;
    std::int32_t capture_graph_built = 0;
    std::atomic<std::int32_t> frame_requested{0};
    std::uint8_t devices_menu_current = 0;
    std::int32_t capture_audio = 0;
    std::int32_t capture_cc = 0;
    std::int32_t cc_available = 0;
    std::int32_t frame_rate_settable = 0;

    std::int32_t master_stream = 0;
    double frame_rate = 14.99;
    std::int32_t use_frame_rate = 1;
    std::int32_t use_time_limit = 0;
    std::uint32_t time_limit = 0;

    int frame_width = 0;
    int frame_height = 0;

    // Cached settings.
    std::uint32_t camera_timer = 0;
    std::uint32_t camera_gif_color = 0;
    std::uint32_t screen_timer = 0;
    std::uint32_t screen_gif_color = 0;
    std::uint32_t screen_one = 0;
    std::uint32_t screen_division = 0;
    std::uint32_t imode_width = 0;
    std::uint32_t imode_height = 0;
    std::uint32_t imode_rotate = 0;
    std::uint32_t imode_camera_width = 0;
};

// The one engine state of the process.
extern EngineState engine_state;

}  // namespace vemo
