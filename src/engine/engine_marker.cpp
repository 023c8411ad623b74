#include "engine/engine_marker.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <fstream>
#include <iterator>
#include <string>

namespace vemo {
namespace {

// The state letter of /proc/PID/stat, or 0 when the process is gone. It
// follows the process's name in parentheses; the name may hold ") " and
// line breaks itself, so the last parenthesis ends it.
char ProcessState(const std::string& proc_dir) {
    std::ifstream stat_file(proc_dir + "/stat");
    const std::string line{std::istreambuf_iterator<char>(stat_file),
                           std::istreambuf_iterator<char>()};
    const std::size_t name_end = line.rfind(')');
    if (name_end == std::string::npos || name_end + 2 >= line.size()) return 0;
    return line[name_end + 2];
}

std::string ProgramPath(const std::string& proc_dir) {
    std::array<char, 4096> path{};
    const ssize_t length = readlink((proc_dir + "/exe").c_str(), path.data(), path.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= path.size()) return {};
    std::string program(path.data(), static_cast<std::size_t>(length));
    // The program of an engine started before its file was replaced.
    constexpr std::string_view kDeleted = " (deleted)";
    if (program.ends_with(kDeleted)) program.resize(program.size() - kDeleted.size());
    return program;
}

// Whether two processes run the same program file. The kernel keeps that
// file from the exec on, and nothing the process does renames it, unlike
// its name in /proc/PID/comm, which a write to /proc/self/comm changes.
// The same file, or one put in its place (an update while an engine runs).
bool SameProgram(const std::string& proc_dir, const std::string& other_dir) {
    struct stat program {};
    struct stat other {};
    if (stat((proc_dir + "/exe").c_str(), &program) != 0 ||
        stat((other_dir + "/exe").c_str(), &other) != 0) {
        // Gone, a zombie, or another user's process: none of ours.
        return false;
    }
    if (program.st_dev == other.st_dev && program.st_ino == other.st_ino) return true;
    const std::string path = ProgramPath(proc_dir);
    return !path.empty() && path == ProgramPath(other_dir);
}

// A process id is reused after its process ends: only a live process running
// the same program as this one counts as an engine. A zombie has ended, only
// its exit status waits to be collected.
bool IsLiveEngine(std::uint32_t pid) {
    if (pid == 0 || pid == static_cast<std::uint32_t>(getpid())) return false;
    const std::string proc_dir = "/proc/" + std::to_string(pid);
    const char state = ProcessState(proc_dir);
    if (state == 0 || state == 'Z' || state == 'X' || state == 'x') return false;
    return SameProgram(proc_dir, "/proc/self");
}

}  // namespace

std::uint32_t LiveEngineHoldingMarker(const SharedStatusBlock& block) {
    if (block.engine_running() == 0) return 0;
    // Read once: the engine may end, and another take its place, meanwhile.
    const std::uint32_t pid = block.engine_pid();
    return IsLiveEngine(pid) ? pid : 0;
}

bool MarkerHeldByLiveEngine(const SharedStatusBlock& block) {
    return LiveEngineHoldingMarker(block) != 0;
}

bool ClaimEngineMarker(SharedStatusBlock& block, std::uint32_t* holder) {
    if (const std::uint32_t live = LiveEngineHoldingMarker(block); live != 0) {
        if (holder != nullptr) *holder = live;
        return false;
    }
    block.set_engine_pid(static_cast<std::uint32_t>(getpid()));
    block.set_engine_running(1);
    return true;
}

void ReleaseEngineMarker(SharedStatusBlock& block) {
    if (block.engine_pid() != static_cast<std::uint32_t>(getpid())) return;
    block.set_engine_running(0);
    block.set_engine_pid(0);
}

}  // namespace vemo
