// The grabber screen capture uses: the X11 one, the screen-cast portal's, or
// the null one that says why no screen can be grabbed.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "screen/screen_grabber.h"
#include "screen/screen_log.h"

namespace vemo::screen {
namespace {

class NullGrabber final : public ScreenGrabber {
  public:
    explicit NullGrabber(std::string reason) : reason_(std::move(reason)) {}
    int width() const override { return 0; }
    int height() const override { return 0; }
    bool Grab(GrabbedPixels&, ScreenChanges&, std::string& error) override {
        error = reason_;
        return false;
    }
    std::string Describe() const override { return "none"; }

  private:
    std::string reason_;
};

bool IsWaylandSession() {
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    const char* session = std::getenv("XDG_SESSION_TYPE");
    return (wayland != nullptr && *wayland != '\0') ||
           (session != nullptr && std::strcmp(session, "wayland") == 0);
}

// The backend VEMO_SCREEN_BACKEND names; nullopt when it names none.
std::optional<ScreenBackend> NamedBackend(std::string_view name) {
    if (name == "null") return ScreenBackend::kNull;
    if (name == "x11") return ScreenBackend::kX11;
    if (name == "x11-noshm") return ScreenBackend::kX11NoShm;
    if (name == "portal") return ScreenBackend::kPortal;
    return std::nullopt;
}

}  // namespace

std::unique_ptr<ScreenGrabber> MakeNullGrabber(std::string reason) {
    return std::make_unique<NullGrabber>(std::move(reason));
}

const char* ScreenBackendName(ScreenBackend backend) {
    switch (backend) {
        case ScreenBackend::kX11:
            return "x11";
        case ScreenBackend::kX11NoShm:
            return "x11-noshm";
        case ScreenBackend::kPortal:
            return "portal";
        case ScreenBackend::kNull:
            break;
    }
    return "null";
}

ScreenBackend ChooseScreenBackend() {
    if (const char* named = std::getenv("VEMO_SCREEN_BACKEND"); named != nullptr) {
        if (const std::optional<ScreenBackend> backend = NamedBackend(named)) return *backend;
    }
    return IsWaylandSession() ? ScreenBackend::kPortal : ScreenBackend::kX11;
}

ScreenBackend ScreenBackendForStart() {
    // A misspelt choice is said at every start rather than passed over.
    if (const char* named = std::getenv("VEMO_SCREEN_BACKEND");
        named != nullptr && *named != '\0' && !NamedBackend(named)) {
        ScreenLog("VEMO_SCREEN_BACKEND=\"" + std::string(named) +
                  "\" is none of x11, x11-noshm, portal and null; the session's own choice is "
                  "used");
    }
    return ChooseScreenBackend();
}

std::unique_ptr<ScreenGrabber> OpenScreenGrabber(std::string& error) {
    return OpenScreenGrabber(ScreenBackendForStart(), error);
}

std::unique_ptr<ScreenGrabber> OpenScreenGrabber(ScreenBackend backend, std::string& error) {
    error.clear();
    if (backend == ScreenBackend::kNull) {
        error = "screen capture is switched off for this run (VEMO_SCREEN_BACKEND=null)";
        return MakeNullGrabber(error);
    }
    if (backend == ScreenBackend::kPortal) {
        const std::unique_ptr<PortalStart> start = PortalStart::Begin({});
        start->WaitForAnswer();
        return start->Finish(error);
    }

    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || *display == '\0') {
        error = IsWaylandSession()
                    ? "the screen cannot be captured: this Wayland session offers no X11 "
                      "(XWayland) display to read it from"
                    : "the screen cannot be captured: there is no X display (DISPLAY is not set)";
        return MakeNullGrabber(error);
    }
    std::unique_ptr<ScreenGrabber> grabber =
        OpenX11Grabber(backend != ScreenBackend::kX11NoShm, error);
    if (grabber) return grabber;
    if (IsWaylandSession()) {
        error +=
            ": this Wayland session gives no XWayland access, so the screen cannot be captured";
    } else {
        error = "the screen cannot be captured: " + error;
    }
    return MakeNullGrabber(error);
}

}  // namespace vemo::screen
