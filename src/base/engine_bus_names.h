#pragma once

// Where the running engine answers on the session bus: its service, object
// and interface, the error it refuses with, and the widest command id. The
// engine's D-Bus service and vemoctl both use these; no Qt, no libdbus.

namespace vemo {

inline constexpr char kDBusServiceName[] = "com.lumetra.Vemo";
inline constexpr char kDBusObjectPath[] = "/Engine";
inline constexpr char kDBusInterface[] = "com.lumetra.Vemo.Engine";
inline constexpr char kDBusRefusedError[] = "com.lumetra.Vemo.Error.Refused";
// A person cancelled, in the engine's window, what the call started.
inline constexpr char kDBusCancelledError[] = "com.lumetra.Vemo.Error.Cancelled";
// Start-up, a box or a dialog waits for an answer; the message names it.
inline constexpr char kDBusWaitingError[] = "com.lumetra.Vemo.Error.Waiting";

// Command ids are 16 bits wide, as a menu item's.
inline constexpr unsigned kDBusLastCommandId = 65535;

}  // namespace vemo
