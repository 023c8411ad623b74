// vemoctl grab: one screen grab from the command line, published under
// DIR/vemo/ exactly as the engine publishes it.

#include <QDir>
#include <QFileInfo>

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <thread>

#include "imaging/published_files.h"
#include "screen/screen_capture.h"
#include "tools/command.h"

namespace vemo::tools {
namespace {

// Parses option `name` as a number within [low, high].
std::optional<std::uint32_t> RangedValue(const QCommandLineParser& parser,
                                         const QCommandLineOption& option, std::uint32_t low,
                                         std::uint32_t high) {
    bool number = false;
    const uint value = parser.value(option).toUInt(&number);
    if (!number || value < low || value > high) return std::nullopt;
    return value;
}

std::string RangeMessage(const char* option, std::uint32_t low, std::uint32_t high) {
    return std::string("grab: ") + option + " takes a number from " + std::to_string(low) + " to " +
           std::to_string(high);
}

// The settings the options give, which replace the stored ones for this grab
// only; the settings file is not written.
struct GrabOptions {
    std::optional<std::uint32_t> screen_one;
    std::optional<std::uint32_t> imode_rotate;
    std::optional<std::uint32_t> screen_division;
    std::optional<std::uint32_t> imode_width;
    std::optional<std::uint32_t> screen_gif_color;

    ScreenSettings Apply(ScreenSettings settings) const {
        settings.screen_one = screen_one.value_or(settings.screen_one);
        settings.imode_rotate = imode_rotate.value_or(settings.imode_rotate);
        settings.screen_division = screen_division.value_or(settings.screen_division);
        settings.imode_width = imode_width.value_or(settings.imode_width);
        settings.screen_gif_color = screen_gif_color.value_or(settings.screen_gif_color);
        return settings;
    }
};

// Xlib waits for a reply for ever, so a stopped or hung X server would hold
// vemoctl with it. Past the deadline the process ends with a clear error.
class ServerDeadline {
  public:
    ServerDeadline(std::chrono::milliseconds limit, std::string message)
        : message_(std::move(message)), watcher_([this, limit] { Watch(limit); }) {}
    ~ServerDeadline() {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        changed_.notify_one();
        watcher_.join();
    }
    ServerDeadline(const ServerDeadline&) = delete;
    ServerDeadline& operator=(const ServerDeadline&) = delete;

  private:
    void Watch(std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex_);
        if (changed_.wait_for(lock, limit, [this] { return done_; })) return;
        Fail(message_);
        std::fflush(stdout);
        std::fflush(stderr);
        _exit(1);
    }

    std::string message_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool done_ = false;
    std::thread watcher_;  // last: it uses the members above
};

}  // namespace

int RunGrabCommand(const QStringList& arguments) {
    QCommandLineParser parser;
    const QCommandLineOption dir_option("dir", "Working directory.", "DIR");
    const QCommandLineOption whole_option("whole", "Whole-screen picture.");
    const QCommandLineOption imode_option("imode", "i-mode picture and tiles.");
    const QCommandLineOption division_option("division", "Tiles across and down.", "D");
    const QCommandLineOption width_option("width", "i-mode picture width.", "W");
    const QCommandLineOption rotate_option("rotate", "Turn the i-mode pictures.");
    const QCommandLineOption colors_option("colors", "Colours of the GIFs.", "N");
    const QCommandLineOption stop_option("stop", "Stop screen capture afterwards.");
    const QCommandLineOption timeout_option("timeout", "Seconds to wait for the X server.", "S",
                                            "10");
    parser.addOptions({dir_option, whole_option, imode_option, division_option, width_option,
                       rotate_option, colors_option, stop_option, timeout_option});
    if (!ParseCommand(parser, arguments, 0, 0)) return kExitUsage;

    GrabOptions options;
    if (parser.isSet(whole_option) && parser.isSet(imode_option)) {
        return UsageError("grab: --whole and --imode exclude each other");
    }
    if (parser.isSet(whole_option)) options.screen_one = 1;
    if (parser.isSet(imode_option)) options.screen_one = 0;
    if (parser.isSet(rotate_option)) options.imode_rotate = 1;
    if (parser.isSet(division_option)) {
        options.screen_division =
            RangedValue(parser, division_option, screen::kMinDivision, screen::kMaxDivision);
        if (!options.screen_division) {
            return UsageError(
                RangeMessage("--division", screen::kMinDivision, screen::kMaxDivision));
        }
    }
    if (parser.isSet(width_option)) {
        options.imode_width =
            RangedValue(parser, width_option, screen::kMinImodeWidth, screen::kMaxImodeWidth);
        if (!options.imode_width) {
            return UsageError(
                RangeMessage("--width", screen::kMinImodeWidth, screen::kMaxImodeWidth));
        }
    }
    if (parser.isSet(colors_option)) {
        options.screen_gif_color = RangedValue(parser, colors_option, kMinGifColors, kMaxGifColors);
        if (!options.screen_gif_color) {
            return UsageError(RangeMessage("--colors", kMinGifColors, kMaxGifColors));
        }
    }

    bool number = false;
    const double timeout = parser.value(timeout_option).toDouble(&number);
    if (!number || !(timeout > 0) || timeout > 3600) {
        return UsageError("grab: --timeout takes a number of seconds from 0 to 3600, e.g. 10");
    }

    const QString dir = parser.isSet(dir_option) ? parser.value(dir_option) : QDir::currentPath();
    if (!QFileInfo(dir).isDir()) return Fail("grab: " + dir.toStdString() + ": no such directory");
    if (!QFileInfo(QDir(dir).filePath(published::kDirectory)).isDir()) {
        return Fail("grab: " + QDir(dir).filePath(published::kDirectory).toStdString() +
                    " does not exist; create it first (the pictures are published there)");
    }
    if (!QDir::setCurrent(dir)) {
        return Fail("grab: cannot change to the directory " + dir.toStdString());
    }

    const char* display = std::getenv("DISPLAY");
    const ServerDeadline deadline(
        std::chrono::milliseconds(static_cast<long long>(timeout * 1000)),
        "grab: the X server " + std::string(display != nullptr ? display : "") +
            " did not answer within " + parser.value(timeout_option).toStdString() + " s");
    // Failures come back as this command's own diagnostics.
    ScreenCapture capture;
    int status = 0;
    const ScreenStartResult started = capture.Start(options.Apply(ReadScreenSettings()));
    if (!started.grabbable) {
        status = Fail("grab: " + started.error);
    } else {
        if (QFileInfo::exists(published::kBakScreenOnGif)) PrintLine(published::kScreenStatus);
        const ScreenGrabResult grab = capture.Grab();
        for (const std::string& file : grab.published)
            PrintLine(file);
        if (!grab.ok) status = Fail("grab: " + grab.error);
    }

    if (parser.isSet(stop_option)) {
        capture.Stop();
        const std::pair<const char*, const char*> off_pictures[] = {
            {published::kBakScreenOffGif, published::kScreenStatus},
            {published::kBakScreenOffJpeg, published::kScreenWholeJpeg},
            {published::kBakVemoScOffGif, published::kScreenGif},
        };
        for (const auto& [source, target] : off_pictures) {
            if (QFileInfo::exists(source) && QFileInfo::exists(target)) PrintLine(target);
        }
    }
    return status;
}

}  // namespace vemo::tools
