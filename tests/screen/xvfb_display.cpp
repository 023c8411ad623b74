#include "screen/xvfb_display.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <memory>

namespace vemo::test {
namespace {

constexpr int kStartTimeoutMs = 15000;

std::uint32_t Place(std::uint8_t value, unsigned long mask) {
    if (mask == 0) return 0;
    const int shift = std::countr_zero(mask);
    const unsigned long max = mask >> shift;
    return static_cast<std::uint32_t>(((value * max + 127) / 255) << shift);
}

}  // namespace

XvfbDisplay::XvfbDisplay(int width, int height, int depth,
                         std::vector<std::string> extra_arguments) {
    std::vector<std::string> argv = {
        "Xvfb",
        "-screen",
        "0",
        std::to_string(width) + "x" + std::to_string(height) + "x" + std::to_string(depth),
        "-nolisten",
        "tcp",
        "-noreset"};
    argv.insert(argv.end(), extra_arguments.begin(), extra_arguments.end());
    Launch(std::move(argv), {});
}

XvfbDisplay::XvfbDisplay(const XvfbDisplay& host, int width, int height) {
    if (!host.ok()) {
        error_ = "no host display for Xephyr";
        return;
    }
    Launch({"Xephyr", "-screen", std::to_string(width) + "x" + std::to_string(height),
            "-resizeable", "-nolisten", "tcp", "-noreset"},
           host.name());
}

void XvfbDisplay::Launch(std::vector<std::string> argv, const std::string& host) {
    int fds[2];
    if (pipe(fds) != 0) {
        error_ = "pipe failed";
        return;
    }
    argv.insert(argv.begin() + 1, {"-displayfd", std::to_string(fds[1])});
    std::vector<char*> args;
    for (std::string& arg : argv)
        args.push_back(arg.data());
    args.push_back(nullptr);

    pid_ = fork();
    if (pid_ == 0) {
        close(fds[0]);
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0) {
            dup2(null, STDOUT_FILENO);
            dup2(null, STDERR_FILENO);
        }
        if (!host.empty()) setenv("DISPLAY", host.c_str(), 1);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(fds[1]);
    if (pid_ < 0) {
        close(fds[0]);
        error_ = "fork failed";
        return;
    }
    // The server writes the display number it chose, then a newline, once
    // it accepts connections.
    std::string number;
    pollfd waiting{fds[0], POLLIN, 0};
    while (poll(&waiting, 1, kStartTimeoutMs) > 0) {
        char c = 0;
        if (read(fds[0], &c, 1) != 1 || c == '\n') break;
        number += c;
    }
    close(fds[0]);
    if (number.empty()) {
        error_ = argv[0] + " did not start (is it installed?)";
        Kill();
        return;
    }
    name_ = ":" + number;
}

XvfbDisplay::~XvfbDisplay() {
    Kill();
}

void XvfbDisplay::Freeze(bool frozen) {
    if (pid_ > 0) kill(pid_, frozen ? SIGSTOP : SIGCONT);
}

void XvfbDisplay::Kill() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
}

bool PaintRootWindow(const std::string& display_name,
                     const std::function<PatternColour(int x, int y)>& colour, std::string& error) {
    struct Closer {
        void operator()(Display* d) const { XCloseDisplay(d); }
    };
    std::unique_ptr<Display, Closer> display(XOpenDisplay(display_name.c_str()));
    if (!display) {
        error = "cannot open " + display_name;
        return false;
    }
    Display* d = display.get();
    const int screen = DefaultScreen(d);
    Visual* visual = DefaultVisual(d, screen);
    const int width = DisplayWidth(d, screen);
    const int height = DisplayHeight(d, screen);

    // One band of rows at a time keeps the client-side image small.
    constexpr int kBand = 64;
    std::vector<char> data;
    for (int top = 0; top < height; top += kBand) {
        const int rows = std::min(kBand, height - top);
        XImage* image =
            XCreateImage(d, visual, static_cast<unsigned>(DefaultDepth(d, screen)), ZPixmap, 0,
                         nullptr, static_cast<unsigned>(width), static_cast<unsigned>(rows), 32, 0);
        if (image == nullptr) {
            error = "XCreateImage failed";
            return false;
        }
        data.assign(
            static_cast<std::size_t>(image->bytes_per_line) * static_cast<std::size_t>(rows), 0);
        image->data = data.data();
        for (int y = 0; y < rows; ++y) {
            for (int x = 0; x < width; ++x) {
                const PatternColour c = colour(x, top + y);
                XPutPixel(image, x, y,
                          Place(c.r, visual->red_mask) | Place(c.g, visual->green_mask) |
                              Place(c.b, visual->blue_mask));
            }
        }
        XPutImage(d, RootWindow(d, screen), DefaultGC(d, screen), image, 0, 0, 0, top,
                  static_cast<unsigned>(width), static_cast<unsigned>(rows));
        image->data = nullptr;  // owned by `data`
        XDestroyImage(image);
    }
    XSync(d, False);
    return true;
}

struct RootInverter::Connection {
    struct Closer {
        void operator()(Display* d) const { XCloseDisplay(d); }
    };
    std::unique_ptr<Display, Closer> display;
    GC gc = nullptr;
};

RootInverter::RootInverter(const std::string& display_name) {
    auto connection = std::make_unique<Connection>();
    connection->display.reset(XOpenDisplay(display_name.c_str()));
    if (!connection->display) return;
    Display* d = connection->display.get();
    XGCValues values{};
    values.function = GXinvert;
    values.subwindow_mode = IncludeInferiors;
    connection->gc = XCreateGC(d, DefaultRootWindow(d), GCFunction | GCSubwindowMode, &values);
    connection_ = std::move(connection);
}

RootInverter::~RootInverter() {
    if (connection_) XFreeGC(connection_->display.get(), connection_->gc);
}

void RootInverter::Invert(int x, int y, int width, int height) {
    if (!connection_) return;
    Display* d = connection_->display.get();
    XFillRectangle(d, DefaultRootWindow(d), connection_->gc, x, y, static_cast<unsigned>(width),
                   static_cast<unsigned>(height));
    XSync(d, False);
}

PatternColour QuadrantPattern(int x, int y, int width, int height) {
    const int half_w = width / 2, half_h = height / 2;
    if (y < half_h) return x < half_w ? PatternColour{255, 0, 0} : PatternColour{0, 255, 0};
    if (x < half_w) return {0, 0, 255};
    const int span = width - half_w - 1;
    const auto grey = static_cast<std::uint8_t>(span > 0 ? (x - half_w) * 255 / span : 255);
    return {grey, grey, grey};
}

}  // namespace vemo::test
