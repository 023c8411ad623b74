#pragma once

// A session with the desktop's screen-cast portal
// (org.freedesktop.portal.ScreenCast): the handshake that asks for every
// monitor, the PipeWire descriptor it leads to, and the watch on the session
// ending. GDBus stays inside this folder's .cpp files. Each session has a
// thread, a bus connection and a GLib main context of its own: the handshake
// is driven there by the portal's replies and signals (a permission dialog
// may keep it waiting for as long as the user takes), and the thread then
// watches for the session's end until the session is closed.

#include <chrono>
#include <cstdint>
#include <functional>
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
    using Answered = std::function<void()>;

    // Starts the handshake on the session's thread and returns at once:
    // CreateSession, SelectSources (monitors, several, the cursor hidden
    // where the portal can, persistent) with `restore_token` when not empty,
    // Start, OpenPipeWireRemote. `answered` is called on that thread once the
    // handshake has ended, either way.
    static std::unique_ptr<PortalSession> Begin(const std::string& restore_token,
                                                const PortalLimits& limits, Answered answered = {});
    // Begin, waiting for the answer: nullptr with `error` saying why ("no
    // screen-cast portal on the session bus…", "the screen-cast permission
    // was refused", …).
    static std::unique_ptr<PortalSession> Open(const std::string& restore_token,
                                               const PortalLimits& limits, std::string& error);

    // Closes the portal's session and ends its thread. A handshake still
    // waiting is given up: only for the engine's end, since a desktop may not
    // take a question withdrawn while its dialog shows.
    ~PortalSession();
    PortalSession(const PortalSession&) = delete;
    PortalSession& operator=(const PortalSession&) = delete;

    // Whether the handshake has ended (the portal answered, failed or ran
    // out of time).
    bool answered() const;
    void WaitForAnswer() const;
    // Once answered: whether the screen cast started; else `error` says why.
    bool Started(std::string& error) const;

    // Once started:
    const std::vector<PortalStream>& streams() const;
    // The token Start returned for the next session, or empty.
    const std::string& restore_token() const;
    // The descriptor of the PipeWire remote the portal opened (once).
    UniqueFd TakePipeWireFd();

    // True with `reason` once the compositor ended the session or the bus
    // went away.
    bool Ended(std::string& reason) const;

    // Made by Begin only: Runner is the .cpp file's.
    struct State;
    struct Runner;
    explicit PortalSession(std::unique_ptr<Runner> runner);

  private:
    std::unique_ptr<Runner> runner_;
};

}  // namespace vemo::screen
