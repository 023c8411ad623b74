#pragma once

// vemoctl grab lives in a module of its own, vemoctl-grab.so, that vemoctl
// loads only for that command: the screen grab brings Xlib and its
// extensions for X11 sessions, and GIO (the screen-cast portal) and
// libpipewire for Wayland ones, with the libraries behind them, which no
// other command needs.

namespace vemo::tools {

// The module's file name, found on vemoctl's run path, and its entry point.
inline constexpr char kGrabModule[] = "vemoctl-grab.so";
inline constexpr char kGrabEntry[] = "vemoctl_grab_main";

}  // namespace vemo::tools

// Runs `vemoctl grab`: argv[0] is "grab", the rest its arguments. Returns
// the exit status.
extern "C" __attribute__((visibility("default"))) int vemoctl_grab_main(int argc,
                                                                        const char* const* argv);
