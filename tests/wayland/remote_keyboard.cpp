// The GNOME test desktop's keyboard: keys pressed through mutter's remote
// desktop interface (org.gnome.Mutter.RemoteDesktop on the session bus), so
// they reach the focused window through the compositor as a user's would. (On
// sway the launcher uses wtype; mutter speaks no virtual-keyboard protocol.)
//
//   remote_keyboard COMMANDS
//
// COMMANDS is a FIFO from which each line is a list of key names (Tab,
// Return, Escape, space, Shift_L), pressed and released one after the other.
// The seat has a keyboard only once a key was pressed, and a window binds its
// keyboard when the seat announces one, so a Shift goes first: "ready" on
// standard output says the seat has its keyboard from now on. Each line gets
// "typed N" (N counting from 1) once mutter took its keys, or "refused N:
// why". The keyboard lasts as long as the program; it ends when the FIFO
// cannot be read or mutter leaves the bus.

#include <fcntl.h>
#include <gio/gio.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>

namespace {

void Say(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

[[noreturn]] void Die(const std::string& why) {
    std::fprintf(stderr, "remote_keyboard: %s\n", why.c_str());
    std::exit(1);
}

const std::map<std::string, std::uint32_t>& Keysyms() {
    static const std::map<std::string, std::uint32_t> names = {
        {"Tab", 0xff09}, {"Return", 0xff0d},  {"Escape", 0xff1b},
        {"space", 0x20}, {"Shift_L", 0xffe1},
    };
    return names;
}

// Calls `method` on the remote desktop; false with `error` set when it failed.
bool Call(GDBusConnection* bus, const char* path, const char* interface, const char* method,
          GVariant* arguments, GVariant** reply, std::string& error) {
    GError* failure = nullptr;
    GVariant* result = g_dbus_connection_call_sync(bus, "org.gnome.Mutter.RemoteDesktop", path,
                                                   interface, method, arguments, nullptr,
                                                   G_DBUS_CALL_FLAGS_NONE, -1, nullptr, &failure);
    if (result == nullptr) {
        error = std::string(method) + ": " + failure->message;
        g_error_free(failure);
        return false;
    }
    if (reply != nullptr) {
        *reply = result;
    } else {
        g_variant_unref(result);
    }
    return true;
}

bool Press(GDBusConnection* bus, const std::string& session, std::uint32_t keysym,
           std::string& error) {
    for (const bool down : {true, false}) {
        if (!Call(bus, session.c_str(), "org.gnome.Mutter.RemoteDesktop.Session",
                  "NotifyKeyboardKeysym", g_variant_new("(ub)", keysym, down), nullptr, error)) {
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) Die("usage: remote_keyboard FIFO");
    // Read and write: the FIFO never reaches its end while we hold it.
    const int commands = open(argv[1], O_RDWR | O_CLOEXEC);
    if (commands < 0) Die(std::string("cannot open ") + argv[1]);
    std::FILE* lines = fdopen(commands, "r");
    if (lines == nullptr) Die(std::string("cannot read ") + argv[1]);

    GError* failure = nullptr;
    // The session belongs to this connection: mutter takes calls on it from
    // its creator alone, and closes it when the connection goes.
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &failure);
    if (bus == nullptr) Die(std::string("no session bus: ") + failure->message);
    std::string error;
    GVariant* created = nullptr;
    if (!Call(bus, "/org/gnome/Mutter/RemoteDesktop", "org.gnome.Mutter.RemoteDesktop",
              "CreateSession", nullptr, &created, error)) {
        Die(error);
    }
    const gchar* path = nullptr;
    g_variant_get(created, "(&o)", &path);
    const std::string session = path;
    g_variant_unref(created);
    if (!Call(bus, session.c_str(), "org.gnome.Mutter.RemoteDesktop.Session", "Start", nullptr,
              nullptr, error) ||
        !Press(bus, session, Keysyms().at("Shift_L"), error)) {
        Die(error);
    }
    Say("ready");

    char buffer[1024];
    for (int line = 1; std::fgets(buffer, sizeof buffer, lines) != nullptr; ++line) {
        std::istringstream names(buffer);
        std::string name;
        std::string why;
        while (why.empty() && names >> name) {
            const auto found = Keysyms().find(name);
            if (found == Keysyms().end()) {
                why = "no key " + name;
            } else if (!Press(bus, session, found->second, error)) {
                // Mutter is gone, or the session with it: nothing more can be typed.
                Say("refused " + std::to_string(line) + ": " + error);
                Die(error);
            }
        }
        Say(why.empty() ? "typed " + std::to_string(line)
                        : "refused " + std::to_string(line) + ": " + why);
    }
    Die(std::string("cannot read ") + argv[1]);
}
