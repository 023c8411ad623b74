#include "support/private_bus.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

namespace vemo::test {
PrivateBus::PrivateBus(const TempDir& dir) {
    const std::string config = dir / "bus.conf";
    std::FILE* file = std::fopen(config.c_str(), "w");
    std::fprintf(file,
                 "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration "
                 "1.0//EN\" \"http://www.freedesktop.org/standards/dbus/1.0/"
                 "busconfig.dtd\">\n<busconfig><type>session</type>"
                 "<listen>unix:tmpdir=%s</listen><auth>EXTERNAL</auth>"
                 "<policy context=\"default\"><allow send_destination=\"*\" "
                 "eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow own=\"*\"/>"
                 "</policy></busconfig>\n",
                 dir.path().c_str());
    std::fclose(file);
    // A child of this process rather than one that forks away, so that
    // its end can be waited for: it removes its socket from `dir` as it
    // ends, which would race with the removal of `dir`.
    const std::string config_option = "--config-file=" + config;
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::execlp("dbus-daemon", "dbus-daemon", "--nofork", "--print-address=1",
                 config_option.c_str(), nullptr);
        ::_exit(127);
    }
    ::close(out[1]);
    std::FILE* address = ::fdopen(out[0], "r");
    char line[512] = {};
    if (address != nullptr && std::fgets(line, sizeof line, address) != nullptr) {
        address_ = line;
        if (!address_.empty() && address_.back() == '\n') address_.pop_back();
    }
    if (address != nullptr) std::fclose(address);
}

PrivateBus::~PrivateBus() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
}

}  // namespace vemo::test
