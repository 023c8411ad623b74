#pragma once

// A private X server for tests and benchmarks: Xvfb on a free display number,
// ended when the object goes away, and a painter for its root window.

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vemo::test {

class XvfbDisplay {
  public:
    // Starts Xvfb with one screen of width x height at `depth` bits;
    // `extra_arguments` go to Xvfb as they are (e.g. "-extension", "MIT-SHM").
    XvfbDisplay(int width, int height, int depth, std::vector<std::string> extra_arguments = {});
    // Starts Xephyr in a window of `host`: a server whose screen can change
    // size (xrandr -s WxH), as a desktop's can.
    XvfbDisplay(const XvfbDisplay& host, int width, int height);
    ~XvfbDisplay();
    XvfbDisplay(const XvfbDisplay&) = delete;
    XvfbDisplay& operator=(const XvfbDisplay&) = delete;

    bool ok() const { return !name_.empty(); }
    const std::string& error() const { return error_; }
    const std::string& name() const { return name_; }  // ":N"

    // Ends the server, as a crash or a logout would.
    void Kill();
    // Stops the server without ending it (it answers nothing), or lets it go on.
    void Freeze(bool frozen);

  private:
    void Launch(std::vector<std::string> argv, const std::string& host);

    pid_t pid_ = -1;
    std::string name_;
    std::string error_;
};

struct PatternColour {
    std::uint8_t r, g, b;
};

// Fills the root window of `display_name` with colour(x, y) and waits until
// the server has drawn it. Returns false with `error` set on failure.
bool PaintRootWindow(const std::string& display_name,
                     const std::function<PatternColour(int x, int y)>& colour, std::string& error);

// Inverts rectangles of a display's root window through a connection of its
// own, kept open: a cheap way to change screen pixels again and again.
class RootInverter {
  public:
    explicit RootInverter(const std::string& display_name);
    ~RootInverter();
    RootInverter(const RootInverter&) = delete;
    RootInverter& operator=(const RootInverter&) = delete;

    bool ok() const { return connection_ != nullptr; }
    // Inverts every pixel of the rectangle and waits until the server has.
    void Invert(int x, int y, int width, int height);

  private:
    struct Connection;
    std::unique_ptr<Connection> connection_;
};

// The test pattern: top-left quadrant red, top-right green, bottom-left blue,
// bottom-right a grey ramp from black at its left to white at the screen's
// right edge.
PatternColour QuadrantPattern(int x, int y, int width, int height);

}  // namespace vemo::test
