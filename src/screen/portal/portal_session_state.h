#pragma once

// What one attempt at a portal session holds, for this folder's files: the
// bus connection and main context, the calls on their way, the request whose
// Response is awaited, and what the handshake found. It lives on the
// session's thread.

#include <gio/gio.h>
#include <gio/gunixfdlist.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <vector>

#include "base/unique_fd.h"
#include "screen/portal/glib_support.h"
#include "screen/portal/portal_session.h"

namespace vemo::screen {

inline constexpr const char* kPortalName = "org.freedesktop.portal.Desktop";
inline constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
inline constexpr const char* kScreenCast = "org.freedesktop.portal.ScreenCast";
inline constexpr const char* kRequest = "org.freedesktop.portal.Request";
inline constexpr const char* kSession = "org.freedesktop.portal.Session";
// What the session ends with when it is closed at our end.
inline constexpr std::chrono::milliseconds kCloseLimit{1000};

struct PortalSession::State {
    // One D-Bus call on its way; its reply lands here.
    struct PendingCall {
        State* state = nullptr;
        ObjectPtr<GCancellable> cancellable{g_cancellable_new()};
        bool done = false;
        VariantPtr reply;
        ObjectPtr<GUnixFDList> fds;
        ErrorSlot error;
        bool with_fds = false;
    };

    // The request whose Response is awaited.
    struct Response {
        std::string path;
        bool done = false;
        std::uint32_t code = 2;
        VariantPtr results;
        std::string malformed;  // the type of a Response that was not (ua{sv})
    };

    enum class Outcome { kOpened, kFailed, kTokenRefused };

    State(const PortalLimits& l, const std::atomic<bool>& s) : limits(l), stop(s) {}
    ~State() { Shut(); }
    State(const State&) = delete;
    State& operator=(const State&) = delete;

    Outcome Handshake(const std::string& token, std::string& error);
    bool Connect(std::string& error);
    bool Call(const char* path, const char* interface, const char* method, GVariant* parameters,
              const GVariantType* reply_type, bool with_fds, std::chrono::milliseconds limit,
              const std::string& doing, VariantPtr& reply, ObjectPtr<GUnixFDList>* fds,
              std::string& error);
    bool Request(const char* method, GVariant* parameters, const std::string& token,
                 const std::string& doing, VariantPtr& results, std::string& error);
    guint Subscribe(const char* sender, const char* interface, const char* member, const char* path,
                    const char* arg0, GDBusSignalCallback callback);
    void NoteEnded(std::string reason);
    void Abandon(PendingCall& call);
    void Shut();
    std::chrono::milliseconds CallLimit() const;
    std::string CallError(const ErrorSlot& slot, const std::string& doing,
                          std::chrono::milliseconds limit) const;

    PortalLimits limits;
    // Raised to give up the handshake; its waits end at the next wake-up.
    const std::atomic<bool>& stop;
    Clock::time_point deadline;
    ContextPtr context{g_main_context_new()};
    ObjectPtr<GDBusConnection> connection;
    std::string unique_name;
    std::string session_path;
    std::vector<PortalStream> streams;
    std::string restore_token;
    UniqueFd pipewire_fd;
    std::list<PendingCall> pending;
    Response response;
    std::vector<guint> subscriptions;
    gulong closed_handler = 0;
    // Set on the session's thread; read by others under the mutex.
    std::mutex ended_mutex;
    bool ended = false;
    std::string ended_reason;
    int token_serial = 0;
};

}  // namespace vemo::screen
