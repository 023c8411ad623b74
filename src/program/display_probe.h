#pragma once

#include <string>

namespace vemo {

// Whether a display answers (the Wayland compositor's socket, else the X
// server): without one the engine runs with no window and loads no Qt
// platform plugin. A platform named outright (`platform`, QT_QPA_PLATFORM)
// is taken as it is, the offscreen one meaning no display.
bool DisplayReachable(const std::string& platform);

}  // namespace vemo
