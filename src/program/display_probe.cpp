#include "program/display_probe.h"

#include <X11/Xlib.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstdlib>
#include <cstring>

#include "base/unique_fd.h"

namespace vemo {
namespace {

bool WaylandAnswers(const char* name) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string path =
        name[0] == '/' ? name : std::string(runtime != nullptr ? runtime : "") + '/' + name;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, path.c_str(), path.size());
    const UniqueFd socket_fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    return socket_fd.valid() &&
           connect(socket_fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) ==
               0;
}

}  // namespace

bool DisplayReachable(const std::string& platform) {
    if (!platform.empty()) return !platform.starts_with("offscreen") && platform != "minimal";
    if (const char* wayland = std::getenv("WAYLAND_DISPLAY");
        wayland != nullptr && *wayland != '\0' && WaylandAnswers(wayland)) {
        return true;
    }
    const char* x_display = std::getenv("DISPLAY");
    if (x_display == nullptr || *x_display == '\0') return false;
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) return false;
    XCloseDisplay(display);
    return true;
}

}  // namespace vemo
