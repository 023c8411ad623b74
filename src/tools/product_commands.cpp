// vemoctl product: the product's side of the shared record, for a machine
// that does not have the product.

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <optional>
#include <thread>

#include "base/unique_fd.h"
#include "product/product_library.h"
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

// The record mapped read-only, never created: looking at it must not make
// one, which the engine would then take as the product's. Null after
// printing why, and an object the engine would refuse is refused here too.
RecordPtr OpenRecordToRead() {
    const std::string name = RecordName();
    const UniqueFd fd(::shm_open(name.c_str(), O_RDONLY | O_CLOEXEC, 0));
    if (!fd) {
        if (errno == ENOENT)
            Fail("product: no shared record " + name);
        else
            FailNoRecord();
        return nullptr;
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid() ||
        (info.st_mode & (S_IWGRP | S_IWOTH)) != 0 ||
        info.st_size != static_cast<off_t>(SharedStatusBlock::kSize)) {
        FailNoRecord();
        return nullptr;
    }
    void* record = ::mmap(nullptr, SharedStatusBlock::kSize, PROT_READ, MAP_SHARED, fd.get(), 0);
    if (record == MAP_FAILED) {
        FailNoRecord();
        return nullptr;
    }
    return RecordPtr(record);
}

std::string StatusLine(const SharedStatusBlock& block) {
    return "product_ready=" + std::to_string(block.product_ready()) +
           " engine_running=" + std::to_string(block.engine_running()) +
           " camera_busy=" + std::to_string(block.camera_busy()) +
           " screen_busy=" + std::to_string(block.screen_busy());
}

// The local time as 2026-01-02T03:04:05.678.
std::string TimeStamp() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    ::localtime_r(&now.tv_sec, &local);
    char text[40];
    const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    std::snprintf(text + length, sizeof text - length, ".%03ld", now.tv_nsec / 1000000);
    return text;
}

void PrintStamped(const std::string& text) {
    PrintLine(TimeStamp() + " " + text);
    std::fflush(stdout);  // a reader of a pipe sees each change as it happens
}

// Polls the record every millisecond and prints each change as it is seen; a
// busy period shorter than the poll interval can go unseen (the engine's
// last for a whole publish, many milliseconds). An engine that starts is
// reported before its first busy change, one that ends after its last.
int Watch(const SharedStatusBlock& block, std::optional<double> seconds) {
    using Clock = std::chrono::steady_clock;
    std::optional<Clock::time_point> deadline;
    if (seconds) {
        deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(*seconds));
    }
    std::uint8_t running = block.engine_running() != 0;
    std::uint8_t camera = block.camera_busy();
    std::uint8_t screen = block.screen_busy();
    while (!deadline || Clock::now() < *deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const std::uint8_t now_running = block.engine_running() != 0;
        const std::uint8_t now_camera = block.camera_busy();
        const std::uint8_t now_screen = block.screen_busy();
        const std::string running_line = "engine_running=" + std::to_string(now_running);
        if (now_running != running && now_running) PrintStamped(running_line);
        if (now_camera != camera || now_screen != screen) {
            PrintStamped("camera_busy=" + std::to_string(now_camera) +
                         " screen_busy=" + std::to_string(now_screen));
        }
        if (now_running != running && !now_running) PrintStamped(running_line);
        running = now_running;
        camera = now_camera;
        screen = now_screen;
    }
    return kExitOk;
}

// Parses "product watch [--for SECONDS]"; false after printing the complaint.
bool ParseWatch(const Arguments& arguments, std::optional<double>& seconds) {
    const auto parsed = ParseAction(arguments, {{"for", true}}, 0, 0);
    if (!parsed) return false;
    if (const auto text = parsed->value("for")) {
        seconds = ParseDecimal(*text);
        if (!seconds || !std::isfinite(*seconds) || *seconds < 0 || *seconds > 1e9) {
            UsageError("product watch: --for takes a number of seconds, e.g. 10 or 0.5");
            return false;
        }
    }
    return true;
}

struct LibraryCloser {
    void operator()(void* library) const { ::dlclose(library); }
};

// The product's own call, AllocSharedMemoryExt, from its library found as
// the engine finds it: only `product ready` needs it, so no other command
// pays for loading it. Null after printing why.
void* AllocateRecord() {
    const std::unique_ptr<void, LibraryCloser> library(OpenProductLibrary());
    using Alloc = void* (*)();
    const auto alloc =
        library ? reinterpret_cast<Alloc>(::dlsym(library.get(), "AllocSharedMemoryExt")) : nullptr;
    if (alloc == nullptr) {
        const char* why = ::dlerror();
        Fail("product ready: " + (why != nullptr ? std::string(why) : "cannot load libtandrel.so"));
        return nullptr;
    }
    void* record = alloc();
    if (record == nullptr) FailNoRecord();
    // The mapping is the process's: it outlives the library's code.
    return record;
}

}  // namespace

int RunProductCommand(const Arguments& arguments) {
    const std::string action = arguments.size() > 1 ? arguments[1] : std::string();
    if (action == "status") {
        if (!ParseAction(arguments, {}, 0, 0)) return kExitUsage;
        const RecordPtr record = OpenRecordToRead();
        if (!record) return kExitFailed;
        PrintLine(StatusLine(SharedStatusBlock(record.get())));
        return kExitOk;
    }
    if (action == "watch") {
        std::optional<double> seconds;
        if (!ParseWatch(arguments, seconds)) return kExitUsage;
        const RecordPtr record = OpenRecordToRead();
        if (!record) return kExitFailed;
        return Watch(SharedStatusBlock(record.get()), seconds);
    }
    if (action == "ready") {
        const auto parsed = ParseAction(arguments, {}, 0, SIZE_MAX);
        if (!parsed) return kExitUsage;
        const std::vector<std::string>& words = parsed->positional();
        if (words.size() != 1 || (words[0] != "0" && words[0] != "1")) {
            return UsageError("product ready: takes 0 or 1");
        }
        // The product's own call: creates the record when there is none.
        void* record = AllocateRecord();
        if (record == nullptr) return kExitFailed;
        SharedStatusBlock(record).set_product_ready(words[0] == "1" ? 1 : 0);
        return kExitOk;
    }
    return UnknownAction(
        arguments,
        "product: expected status, ready 0|1 or watch [--for SECONDS] (see vemoctl product "
        "--help)");
}

}  // namespace vemo::tools
