#pragma once

// A session with the desktop's screen-cast portal
// (org.freedesktop.portal.ScreenCast): the handshake that asks for every
// monitor, the PipeWire descriptor it leads to, and the watch on the session
// ending. GDBus stays inside the .cpp file; the session runs on its own bus
// connection and main context, iterated only while it waits (with a time
// limit) and when asked whether it has ended.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/unique_fd.h"

namespace vemo::screen {

// One monitor the portal shares: its PipeWire node, and where it lies on the
// desktop when the portal says so.
struct PortalStream {
    std::uint32_t node_id = 0;
    bool has_position = false;
    int x = 0;
    int y = 0;
    int width = 0;  // the portal's idea of the size; the stream's own may differ
    int height = 0;
};

// The part of a request's object path that stands for the caller: the unique
// bus name without its ':' and with '.' as '_' (":1.42" gives "1_42").
std::string PortalSenderPart(std::string_view unique_name);

// The object path of the request the portal makes for a call carrying
// `handle_token`, known before the call so its Response is never missed.
std::string PortalRequestPath(std::string_view unique_name, std::string_view handle_token);

struct PortalLimits {
    // The whole handshake, a permission dialog included: as long as a user
    // may take to read it (the window does not wait for it meanwhile).
    std::chrono::milliseconds handshake{120000};
    // Each call's own reply (not the Response that may wait for the user).
    std::chrono::milliseconds call{5000};
};

class PortalSession {
  public:
    // Runs the handshake: CreateSession, SelectSources (monitors, several,
    // the cursor hidden where the portal can, persistent) with
    // `restore_token` when not empty, Start, OpenPipeWireRemote. nullptr with
    // `error` saying why ("no screen-cast portal on the session bus…",
    // "the screen-cast permission was refused", …).
    static std::unique_ptr<PortalSession> Open(const std::string& restore_token,
                                               const PortalLimits& limits, std::string& error);

    // Closes the portal's session.
    ~PortalSession();
    PortalSession(const PortalSession&) = delete;
    PortalSession& operator=(const PortalSession&) = delete;

    const std::vector<PortalStream>& streams() const;
    // The token Start returned for the next session, or empty.
    const std::string& restore_token() const;
    // The descriptor of the PipeWire remote the portal opened (once).
    UniqueFd TakePipeWireFd();

    // Handles what the bus delivered meanwhile, without waiting; true with
    // `reason` once the compositor ended the session or the bus went away.
    bool Ended(std::string& reason);

    // Made by Open only: State is the .cpp file's.
    struct State;
    explicit PortalSession(std::unique_ptr<State> state);

  private:
    std::unique_ptr<State> state_;
};

}  // namespace vemo::screen
