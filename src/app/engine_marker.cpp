#include "app/engine_marker.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <string>

namespace vemo {
namespace {

std::string ProcessName(long pid) {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

// A process id is reused after its process ends: only a live process running
// the same program as this one counts as an engine.
bool IsLiveEngine(std::uint32_t pid) {
    if (pid == 0 || pid == static_cast<std::uint32_t>(getpid())) return false;
    if (kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM) return false;
    return ProcessName(pid) == ProcessName(getpid());
}

}  // namespace

bool MarkerHeldByLiveEngine(const SharedStatusBlock& block) {
    return block.engine_running() != 0 && IsLiveEngine(block.engine_pid());
}

bool ClaimEngineMarker(SharedStatusBlock& block) {
    if (MarkerHeldByLiveEngine(block)) return false;
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
