#pragma once

// Where the session bus is, found the same way by every part of the engine
// that talks to it without Qt.

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <string_view>

namespace vemo {

// `value` escaped for a D-Bus address (bytes outside the optionally-escaped
// set become %xx).
inline std::string EscapeDBusAddressValue(std::string_view value) {
    constexpr char kHex[] = "0123456789abcdef";
    std::string escaped;
    for (const char c : value) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '/' || c == '.' ||
                           c == '\\' || c == '*';
        if (plain) {
            escaped.push_back(c);
            continue;
        }
        const auto byte = static_cast<unsigned char>(c);
        escaped.append({'%', kHex[byte >> 4], kHex[byte & 0xf]});
    }
    return escaped;
}

// $DBUS_SESSION_BUS_ADDRESS when set, else the user's bus socket
// $XDG_RUNTIME_DIR/bus when it exists; "" when there is neither. Never the
// last resort of libdbus and GLib, a bus started through the X display: a
// process that finds no bus says so instead of talking to a bus nobody else
// is on.
inline std::string SessionBusAddress() {
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address != nullptr && *address != '\0') return address;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime == nullptr || *runtime == '\0') return {};
    const std::string socket = std::string(runtime) + "/bus";
    if (::access(socket.c_str(), F_OK) != 0) return {};
    return "unix:path=" + EscapeDBusAddressValue(socket);
}

}  // namespace vemo
