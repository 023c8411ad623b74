#pragma once

// The private headless Wayland desktop that a `wayland` test runs in
// (tests/wayland/desktop run TEST): what a test changes on it and reads back.
// All tests of one program share its desktop, so a test leaves it as it found
// it (everything running, nobody told to refuse, the first size).

#include <functional>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace vemo::test {

class WaylandDesktop {
  public:
    // The desktop named by this process's environment; ok() is false outside one.
    WaylandDesktop();

    bool ok() const { return !script_.empty(); }
    // Whether it is the GNOME desktop (mutter and GNOME's portal backend)
    // rather than sway's: no resize, no scale changes, a dialog rather than an
    // output chooser (the permission is granted before the run, so it shows
    // only to a start without the restore token), no damage with the frames.
    bool gnome() const { return gnome_; }
    // How many monitors it has (sway: one).
    int monitors() const { return monitors_; }
    // Why there is no desktop, or why the last step failed (the launcher's words).
    const std::string& error() const { return error_; }
    // The desktop's own folder (logs, pictures); the test user may write there.
    const std::string& folder() const { return folder_; }

    // Each step returns false and sets error() when it failed.

    // Ends the screen-cast portal (frontend and backend), as a crash would.
    bool StopPortal();
    // Ends PipeWire and WirePlumber; the portal stays, holding a dead connection.
    bool StopPipeWire();
    // Ends one component alone: "portal-backend", "wireplumber", or
    // "compositor" (sway or mutter: its clients lose their connection).
    bool Stop(const std::string& component);
    // Starts again whatever is not running; a new PipeWire gets a new portal,
    // a new compositor (on the same socket) too.
    bool Start();
    // Sets the output's mode and waits until it holds.
    bool Resize(int width, int height);
    // Sets the output's scale ("1.5"): its logical size shrinks, its pixels stay.
    bool Scale(const std::string& factor);
    // Shows colour(x, y) full-screen at the (first) output's size in pixels
    // and waits until the screen shows exactly that.
    bool Show(int width, int height, const std::function<Rgb(int x, int y)>& colour);

    // How the next question for the screen-cast permission is answered: the
    // screen, or a refusal (as a user cancelling). Returns at once, before the
    // question: sway's output chooser answers so when it runs (and allows when
    // not told), GNOME's dialog is answered with the keys a user would press
    // once it shows (and waits when not told).
    bool AnswerDialog(bool allow);
    // How many times the permission was asked for since the desktop started
    // (the chooser run, the dialog shown); -1 when it cannot be read.
    int TimesAsked();

  private:
    bool Run(const std::vector<std::string>& arguments, std::string* out = nullptr);

    std::string script_;
    std::string folder_;
    std::string error_;
    int pictures_ = 0;
    bool gnome_ = false;
    int monitors_ = 1;
};

}  // namespace vemo::test
