// vemoctl grab: one screen grab from the command line, published under
// DIR/vemo/ exactly as the engine publishes it.
//
// Built as a module of its own, which vemoctl loads for this command only:
// Xlib, GIO and libpipewire, and the libraries behind them, are loaded by no
// other command.

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <optional>
#include <thread>

#include "engine/screen_settings.h"
#include "imaging/published_files.h"
#include "screen/screen_capture.h"
#include "screen/screen_grabber.h"
#include "tools/command.h"
#include "tools/grab_module.h"

namespace vemo::tools {
namespace {

// Parses option `name`'s value as a number within [low, high].
std::optional<std::uint32_t> RangedValue(const ParsedCommand& parsed, std::string_view name,
                                         std::uint32_t low, std::uint32_t high) {
    const std::optional<std::uint64_t> value = ParseUnsigned(parsed.value(name).value_or(""));
    if (!value || *value < low || *value > high) return std::nullopt;
    return static_cast<std::uint32_t>(*value);
}

bool IsDirectory(const std::filesystem::path& path) {
    std::error_code error;
    return std::filesystem::is_directory(path, error);
}

bool Exists(const char* path) {
    std::error_code error;
    return std::filesystem::exists(path, error);
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

// What the screen start and grab wait on: the X server, or the screen-cast
// portal and the PipeWire stream behind it.
std::string WhatAGrabWaitsFor() {
    switch (screen::ChooseScreenBackend()) {
        case screen::ScreenBackend::kPortal:
            return "the screen-cast portal or its PipeWire stream";
        case screen::ScreenBackend::kNull:
            return "the screen capture";
        case screen::ScreenBackend::kX11:
        case screen::ScreenBackend::kX11NoShm:
            break;
    }
    const char* display = std::getenv("DISPLAY");
    return "the X server " + std::string(display != nullptr ? display : "");
}

// Xlib waits for a reply for ever, so a stopped or hung X server would hold
// vemoctl with it; a portal or a stream may never answer too. Past the
// deadline the process ends with a clear error.
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

int RunGrab(const Arguments& arguments) {
    const auto parsed = ParseCommand("grab", arguments,
                                     {{"dir", true},
                                      {"whole", false},
                                      {"imode", false},
                                      {"division", true},
                                      {"width", true},
                                      {"rotate", false},
                                      {"colors", true},
                                      {"stop", false},
                                      {"timeout", true}},
                                     0, 0);
    if (!parsed) return kExitUsage;

    GrabOptions options;
    if (parsed->has("whole") && parsed->has("imode")) {
        return UsageError("grab: --whole and --imode exclude each other");
    }
    if (parsed->has("whole")) options.screen_one = 1;
    if (parsed->has("imode")) options.screen_one = 0;
    if (parsed->has("rotate")) options.imode_rotate = 1;
    if (parsed->has("division")) {
        options.screen_division =
            RangedValue(*parsed, "division", screen::kMinDivision, screen::kMaxDivision);
        if (!options.screen_division) {
            return UsageError(
                RangeMessage("--division", screen::kMinDivision, screen::kMaxDivision));
        }
    }
    if (parsed->has("width")) {
        options.imode_width =
            RangedValue(*parsed, "width", screen::kMinImodeWidth, screen::kMaxImodeWidth);
        if (!options.imode_width) {
            return UsageError(
                RangeMessage("--width", screen::kMinImodeWidth, screen::kMaxImodeWidth));
        }
    }
    if (parsed->has("colors")) {
        options.screen_gif_color = RangedValue(*parsed, "colors", kMinGifColors, kMaxGifColors);
        if (!options.screen_gif_color) {
            return UsageError(RangeMessage("--colors", kMinGifColors, kMaxGifColors));
        }
    }

    const std::string timeout_text = parsed->value("timeout").value_or("10");
    const std::optional<double> timeout = ParseDecimal(timeout_text);
    if (!timeout || !(*timeout > 0) || *timeout > 3600) {
        return UsageError("grab: --timeout takes a number of seconds from 0 to 3600, e.g. 10");
    }

    std::error_code error;
    const std::filesystem::path dir =
        parsed->value("dir").value_or(std::filesystem::current_path(error).string());
    if (!IsDirectory(dir)) return Fail("grab: " + dir.string() + ": no such directory");
    const std::filesystem::path published_dir = dir / published::kDirectory;
    if (!IsDirectory(published_dir)) {
        return Fail("grab: " + published_dir.string() +
                    " does not exist; create it first (the pictures are published there)");
    }
    if (::chdir(dir.c_str()) != 0) {
        return Fail("grab: cannot change to the directory " + dir.string());
    }

    const ServerDeadline deadline(
        std::chrono::milliseconds(static_cast<long long>(*timeout * 1000)),
        "grab: " + WhatAGrabWaitsFor() + " did not answer within " + timeout_text + " s");
    // Failures come back as this command's own diagnostics.
    ScreenCapture capture;
    int status = 0;
    const ScreenStartResult started =
        capture.Start(options.Apply(ScreenSettingsOf(ReadSettings())));
    if (!started.grabbable) {
        status = Fail("grab: " + started.error);
    } else {
        if (Exists(published::kBakScreenOnGif)) PrintLine(published::kScreenStatus);
        const ScreenGrabResult grab = capture.Grab();
        for (const std::string& file : grab.published)
            PrintLine(file);
        if (!grab.ok) status = Fail("grab: " + grab.error);
    }

    if (parsed->has("stop")) {
        capture.Stop();
        const std::pair<const char*, const char*> off_pictures[] = {
            {published::kBakScreenOffGif, published::kScreenStatus},
            {published::kBakScreenOffJpeg, published::kScreenWholeJpeg},
            {published::kBakVemoScOffGif, published::kScreenGif},
        };
        for (const auto& [source, target] : off_pictures) {
            if (Exists(source) && Exists(target)) PrintLine(target);
        }
    }
    return status;
}

}  // namespace
}  // namespace vemo::tools

extern "C" int vemoctl_grab_main(int argc, const char* const* argv) {
    return vemo::tools::RunGrab(vemo::tools::Arguments(argv, argv + argc));
}
