// vemoctl product: the product's side of the shared record, for a machine
// that does not have the product.

#include <sys/mman.h>

#include <QDateTime>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <thread>

#include "product/shared_status_block.h"
#include "product/tandrel.h"
#include "tools/command.h"

namespace vemo::tools {
namespace {

struct RecordUnmapper {
    void operator()(void* record) const { ::munmap(record, SharedStatusBlock::kSize); }
};
using RecordPtr = std::unique_ptr<void, RecordUnmapper>;

std::string RecordName() {
    const char* name = std::getenv(tandrel::kNameVariable);
    return name != nullptr && *name != '\0' ? name : tandrel::kDefaultName;
}

int FailNoRecord() {
    return Fail("product: cannot get the shared memory " + RecordName() +
                " (it may belong to another user, be writable by others or have the wrong size)");
}

std::string StatusLine(const SharedStatusBlock& block) {
    return "product_ready=" + std::to_string(block.product_ready()) +
           " engine_running=" + std::to_string(block.engine_running()) +
           " camera_busy=" + std::to_string(block.camera_busy()) +
           " screen_busy=" + std::to_string(block.screen_busy());
}

// Polls the busy bytes every millisecond and prints each change as it is
// seen; a busy period shorter than the poll interval can go unseen (the
// engine's last for a whole publish, many milliseconds).
int Watch(const SharedStatusBlock& block, std::optional<double> seconds) {
    using Clock = std::chrono::steady_clock;
    std::optional<Clock::time_point> deadline;
    if (seconds) {
        deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(*seconds));
    }
    std::uint8_t camera = block.camera_busy();
    std::uint8_t screen = block.screen_busy();
    while (!deadline || Clock::now() < *deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const std::uint8_t now_camera = block.camera_busy();
        const std::uint8_t now_screen = block.screen_busy();
        if (now_camera == camera && now_screen == screen) continue;
        camera = now_camera;
        screen = now_screen;
        const QString stamp = QDateTime::currentDateTime().toString(Qt::ISODateWithMs);
        PrintLine(stamp.toStdString() + " camera_busy=" + std::to_string(camera) +
                  " screen_busy=" + std::to_string(screen));
        std::fflush(stdout);  // a reader of a pipe sees each change as it happens
    }
    return 0;
}

// Parses "product watch [--for SECONDS]"; false after printing the complaint.
bool ParseWatch(const QStringList& arguments, std::optional<double>& seconds) {
    QCommandLineParser parser;
    const QCommandLineOption for_option("for", "Stop after SECONDS.", "SECONDS");
    parser.addOption(for_option);
    if (!ParseCommand(parser, QStringList{"product watch"} + arguments.mid(2), 0, 0)) return false;
    if (parser.isSet(for_option)) {
        bool number = false;
        seconds = parser.value(for_option).toDouble(&number);
        if (!number || !std::isfinite(*seconds) || *seconds < 0 || *seconds > 1e9) {
            Fail("product watch: --for takes a number of seconds, e.g. 10 or 0.5");
            return false;
        }
    }
    return true;
}

}  // namespace

int RunProductCommand(const QStringList& arguments) {
    const QString action = arguments.size() > 1 ? arguments[1] : QString();
    if (action != "status" && action != "ready" && action != "watch") {
        return Fail(
            "product: expected status, ready 0|1 or watch [--for SECONDS]"
            " (see vemoctl --help)");
    }
    if (action == "status" && arguments.size() != 2) {
        return Fail("product status: wrong number of arguments (see vemoctl --help)");
    }
    if (action == "ready" &&
        (arguments.size() != 3 || (arguments[2] != "0" && arguments[2] != "1"))) {
        return Fail("product ready: takes 0 or 1");
    }
    std::optional<double> seconds;
    if (action == "watch" && !ParseWatch(arguments, seconds)) return 1;

    const RecordPtr record(AllocSharedMemoryExt());
    if (!record) return FailNoRecord();
    SharedStatusBlock block(record.get());
    if (action == "status") {
        PrintLine(StatusLine(block));
        return 0;
    }
    if (action == "ready") {
        block.set_product_ready(arguments[2] == "1" ? 1 : 0);
        return 0;
    }
    return Watch(block, seconds);
}

}  // namespace vemo::tools
