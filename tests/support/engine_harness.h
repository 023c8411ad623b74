#pragma once

// The vemo program as the product meets it: a working directory laid out as
// a product installation leaves it, a private shared record in real shared
// memory, and the program started there as a child process whose message
// boxes are answered through VEMO_MESSAGE_ANSWERS.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "product/shared_status_block.h"
#include "support/test_support.h"

namespace vemo::test {

// Polls `condition` every 20 ms until it holds or `limit` has passed.
bool WaitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds limit = std::chrono::seconds(20));

class EngineInstallation {
  public:
    EngineInstallation();
    ~EngineInstallation();
    EngineInstallation(const EngineInstallation&) = delete;
    EngineInstallation& operator=(const EngineInstallation&) = delete;

    bool ok() const { return record_ != nullptr; }
    const std::filesystem::path& dir() const { return dir_.path(); }
    const std::string& shm_name() const { return shm_name_; }
    SharedStatusBlock block() const { return SharedStatusBlock(record_); }

    void WriteSettings(const std::string& text) const;
    std::vector<std::uint8_t> Published(const std::string& name) const;  // vemo/NAME
    std::vector<std::uint8_t> Bak(const std::string& name) const;        // vemo/bak/NAME
    ino_t Inode(const std::string& name) const;  // of vemo/NAME, 0 when absent

  private:
    TempDir dir_;
    std::string shm_name_;
    void* record_ = nullptr;
};

class EngineProcess {
  public:
    // Starts vemo in the installation on the offscreen platform, its message
    // boxes answered by `answers` (none: the engine's own, which with no
    // display only log); `environment` holds further "NAME=value" settings (a
    // platform among them overrides) and bare "NAME"s to unset (the platform
    // too: Qt's choice); `program` is the vemo to start, by
    // default the one built here.
    EngineProcess(const EngineInstallation& installation, const std::string& answers,
                  const std::vector<std::string>& environment = {},
                  const std::string& program = {});
    ~EngineProcess();  // a process still running is killed
    EngineProcess(const EngineProcess&) = delete;
    EngineProcess& operator=(const EngineProcess&) = delete;

    pid_t pid() const { return pid_; }
    // The exit code (128 + signal when killed), or -1 when it did not end in time.
    int Wait(std::chrono::milliseconds limit = std::chrono::seconds(20));
    int Stop();  // SIGTERM, then Wait
    std::string Errors() const;

  private:
    pid_t pid_ = -1;
    bool exited_ = false;
    int exit_code_ = -1;
    std::string err_;
};

}  // namespace vemo::test
