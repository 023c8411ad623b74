// The test cameras' descriptions, as VEMO_TEST_CAMERAS gives them.

#include <algorithm>
#include <charconv>

#include "devices/test_cameras.h"

namespace vemo {
namespace {

constexpr int kMaxCountedCameras = 64;
bool ParseInt(std::string_view text, int& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc{} && end == text.data() + text.size();
}

bool ParseSize(std::string_view text, int& width, int& height) {
    const std::size_t x = text.find('x');
    int w = 0, h = 0;
    if (x == std::string_view::npos || !ParseInt(text.substr(0, x), w) ||
        !ParseInt(text.substr(x + 1), h) || w < 16 || h < 16 || w > 7680 || h > 4320) {
        return false;
    }
    width = w;
    height = h;
    return true;
}

bool LooksLikeSize(std::string_view text) {
    const std::size_t x = text.find('x');
    int w = 0, h = 0;
    return x != std::string_view::npos && ParseInt(text.substr(0, x), w) &&
           ParseInt(text.substr(x + 1), h);
}

// False for an option no camera knows. A known option's value that makes no
// sense is ignored, the default kept.
bool ApplyOption(std::string_view option, TestCameraConfig& config) {
    const auto number_after = [&](std::string_view key, int& value) {
        if (!option.starts_with(key)) return false;
        int parsed = 0;
        if (ParseInt(option.substr(key.size()), parsed) && parsed >= 0) value = parsed;
        return true;
    };
    if (option == "busy") {
        config.busy = true;
    } else if (option == "nocontrols") {
        config.controls = false;
    } else if (option == "uvc") {
        config.uvc = true;
    } else if (number_after("fps=", config.fps) ||
               number_after("error-after=", config.error_after) ||
               number_after("stall-after=", config.stall_after) ||
               number_after("inputs=", config.inputs)) {
    } else if (LooksLikeSize(option)) {
        ParseSize(option, config.width, config.height);
    } else {
        return false;
    }
    return true;
}

// Takes the options after a camera's name; a path given to replay= runs to
// the next '|', so that it may hold commas.
void ApplyOptions(std::string_view options, TestCameraConfig& config) {
    constexpr std::string_view kReplay = "replay=";
    while (!options.empty()) {
        const bool replay = options.starts_with(kReplay);
        const std::size_t cut = options.find_first_of(replay ? "|" : "|,");
        const std::string_view option = options.substr(0, cut);
        if (replay) {
            config.replay = std::string(option.substr(kReplay.size()));
            if (config.replay.empty() && config.error.empty()) {
                config.error = "replay= names no file";
            }
        } else if (!option.empty() && !ApplyOption(option, config) && config.error.empty()) {
            config.error = "unknown option \"" + std::string(option) + "\"";
        }
        options = cut == std::string_view::npos ? std::string_view{} : options.substr(cut + 1);
    }
    if (config.uvc && !config.replay.empty() && config.error.empty()) {
        config.error = "uvc and replay= do not go together";
    }
}

}  // namespace

std::vector<TestCameraConfig> ParseTestCameras(std::string_view text,
                                               std::string_view default_size) {
    TestCameraConfig defaults;
    ParseSize(default_size, defaults.width, defaults.height);
    std::vector<TestCameraConfig> configs;
    if (text.empty()) return configs;
    if (int count = 0; ParseInt(text, count)) {
        for (int i = 1; i <= std::min(count, kMaxCountedCameras); ++i) {
            TestCameraConfig config = defaults;
            config.name = "Test Camera " + std::to_string(i);
            configs.push_back(config);
        }
        return configs;
    }
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(';', start);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view entry = text.substr(start, end - start);
        TestCameraConfig config = defaults;
        const std::size_t bar = entry.find('|');
        const std::string_view name = entry.substr(0, bar);
        if (!name.empty()) config.name = std::string(name);
        if (bar != std::string_view::npos) ApplyOptions(entry.substr(bar + 1), config);
        configs.push_back(config);
        start = end + 1;
    }
    return configs;
}

}  // namespace vemo
