#include "screen/screen_log.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>

namespace vemo::screen {
namespace {

std::atomic<ScreenLogSink> log_sink{nullptr};

// Local time to the millisecond, as the engine's log stamps its lines.
void StampedLine(const std::string& text) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &local);
    // One write per line, so lines from several threads do not mix.
    std::fprintf(stderr, "%s.%03d vemo.screen: %s\n", stamp, static_cast<int>(millis),
                 text.c_str());
}

}  // namespace

void SetScreenLogSink(ScreenLogSink sink) {
    log_sink.store(sink);
}

void ScreenLog(const std::string& text) {
    if (const ScreenLogSink sink = log_sink.load()) {
        sink(text);
    } else {
        StampedLine(text);
    }
}

}  // namespace vemo::screen
