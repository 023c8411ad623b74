#include "support/engine_harness.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace vemo::test {

namespace fs = std::filesystem;

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return condition();
}

EngineInstallation::EngineInstallation() {
    static std::atomic<int> counter{0};
    shm_name_ = "/vemo-engine-test-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
    const int fd = shm_open(shm_name_.c_str(), O_CREAT | O_RDWR | O_EXCL, 0600);
    if (fd < 0) return;
    if (fchmod(fd, 0600) == 0 && ftruncate(fd, SharedStatusBlock::kSize) == 0) {
        void* record =
            mmap(nullptr, SharedStatusBlock::kSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (record != MAP_FAILED) record_ = record;
    }
    close(fd);
    fs::create_directories(dir() / "vemo/bak");
    for (const auto& entry : fs::directory_iterator(VEMO_BAK_DIR)) {
        fs::copy_file(entry.path(), dir() / "vemo/bak" / entry.path().filename());
    }
}

EngineInstallation::~EngineInstallation() {
    if (record_ != nullptr) munmap(record_, SharedStatusBlock::kSize);
    shm_unlink(shm_name_.c_str());
}

void EngineInstallation::WriteSettings(const std::string& text) const {
    WriteBytes((dir() / "settings.ini").string(), {text.begin(), text.end()});
}

std::vector<std::uint8_t> EngineInstallation::Published(const std::string& name) const {
    return ReadBytes((dir() / "vemo" / name).string());
}

std::vector<std::uint8_t> EngineInstallation::Bak(const std::string& name) const {
    return ReadBytes((dir() / "vemo/bak" / name).string());
}

ino_t EngineInstallation::Inode(const std::string& name) const {
    struct stat info {};
    return stat((dir() / "vemo" / name).c_str(), &info) == 0 ? info.st_ino : 0;
}

EngineProcess::EngineProcess(const EngineInstallation& installation, const std::string& answers,
                             const std::vector<std::string>& environment,
                             const std::string& program) {
    static std::atomic<int> counter{0};
    const std::string path = program.empty() ? VEMO_PATH : program;
    err_ = (installation.dir() / ("engine-" + std::to_string(counter++) + ".err")).string();
    const std::string settings = (installation.dir() / "settings.ini").string();
    pid_ = fork();
    if (pid_ != 0) return;
    if (chdir(installation.dir().c_str()) != 0 || !std::freopen("/dev/null", "w", stdout) ||
        !std::freopen(err_.c_str(), "w", stderr)) {
        _exit(127);
    }
    setenv("CORVEXA_SHM", installation.shm_name().c_str(), 1);
    setenv("VEMO_SETTINGS_FILE", settings.c_str(), 1);
    // No answers: the engine's own boxes (with no display, logged only).
    if (!answers.empty()) setenv("VEMO_MESSAGE_ANSWERS", answers.c_str(), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    for (const std::string& assignment : environment) {
        const auto equals = assignment.find('=');
        if (equals == std::string::npos) {
            unsetenv(assignment.c_str());
        } else {
            setenv(assignment.substr(0, equals).c_str(), assignment.substr(equals + 1).c_str(), 1);
        }
    }
    execl(path.c_str(), path.c_str(), nullptr);
    _exit(127);
}

EngineProcess::~EngineProcess() {
    if (pid_ > 0 && !exited_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

int EngineProcess::Wait(std::chrono::milliseconds limit) {
    WaitFor(
        [&] {
            int status = 0;
            if (!exited_ && waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            return exited_;
        },
        limit);
    return exited_ ? exit_code_ : -1;
}

int EngineProcess::Stop() {
    kill(pid_, SIGTERM);
    return Wait();
}

std::string EngineProcess::Errors() const {
    const auto bytes = ReadBytes(err_);
    return {bytes.begin(), bytes.end()};
}

}  // namespace vemo::test
