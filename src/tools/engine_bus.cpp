#include "tools/engine_bus.h"

#include <dlfcn.h>

#include <string>
#include <utility>

#include "base/session_bus.h"

namespace vemo::tools {
namespace {

constexpr char kLibrary[] = "libdbus-1.so.3";

}  // namespace

void LibraryCloser::operator()(void* library) const {
    ::dlclose(library);
}

DBusApi::DBusApi() {
    // Kept loaded to the end: libdbus holds process-wide allocations past
    // its last connection, and unloading it would leave them pointing
    // into unmapped code (and hide whose they are from leak checkers).
    library.reset(::dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE));
    if (!library) {
        error = std::string("cannot load the D-Bus library: ") + ::dlerror();
        return;
    }
#define VEMO_DBUS_LOOKUP(name)                                              \
    name = reinterpret_cast<decltype(name)>(::dlsym(library.get(), #name)); \
    if (name == nullptr) {                                                  \
        error = std::string(kLibrary) + " has no " + #name;                 \
        return;                                                             \
    }
    VEMO_DBUS_FUNCTIONS(VEMO_DBUS_LOOKUP)
#undef VEMO_DBUS_LOOKUP
}
#undef VEMO_DBUS_FUNCTIONS

const DBusApi& Api() {
    static const DBusApi api;
    return api;
}

// Without any bus address the likeliest cause is a shell that was not given
// the one of the engine's bus.
std::string NoEngineMessage() {
    if (!SessionBusAddress().empty()) return "no running engine";
    return "no running engine (DBUS_SESSION_BUS_ADDRESS is not set: run vemoctl in the "
           "session the engine runs in, or set it to the engine's bus)";
}

Engine::Engine(bool start) : start_(start) {
    if (!Api().ok()) return;
    // The bus the engine and the screen-cast portal code find, never one
    // libdbus would start through the X display.
    const std::string address = SessionBusAddress();
    if (address.empty()) return;
    Error error;
    ConnectionPtr bus(Api().dbus_connection_open_private(address.c_str(), error.get()));
    if (!bus) return;
    Api().dbus_connection_set_exit_on_disconnect(bus.get(), false);
    if (!Api().dbus_bus_register(bus.get(), error.get())) return;
    bus_ = std::move(bus);
}

}  // namespace vemo::tools
