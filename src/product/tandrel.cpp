// libtandrel.so: opens or creates the shared record and maps it.
//
// The record is trusted by the engine (it decides whether the engine may
// start), so an object left under the name by someone else is refused rather
// than used: it must belong to this user, be writable by nobody else, and
// have the record's size.

#include "product/tandrel.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <utility>

namespace {

using vemo::tandrel::kRecordSize;

// How long an object that is still being set up by another process (it
// exists, but cannot be opened yet, or has vanished again) is waited for.
constexpr auto kSettleTime = std::chrono::milliseconds(500);

class UniqueFd {
  public:
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() {
        if (fd_ >= 0) ::close(fd_);
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

  private:
    int fd_;
};

void* Map(int fd) {
    void* record = ::mmap(nullptr, kRecordSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return record == MAP_FAILED ? nullptr : record;
}

enum class Step { kDone, kExists, kRetry, kRefuse };

Step Create(const char* name, void*& record) {
    UniqueFd fd(::shm_open(name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!fd) return errno == EEXIST ? Step::kExists : Step::kRefuse;
    // The umask may have taken bits off the creation mode; fchmod sets
    // exactly 0600 whatever it is.
    if (::fchmod(fd.get(), 0600) != 0 || ::ftruncate(fd.get(), kRecordSize) != 0 ||
        (record = Map(fd.get())) == nullptr) {
        ::shm_unlink(name);  // ours, and unusable: leave no half-made object
        return Step::kRefuse;
    }
    return Step::kDone;
}

Step Open(const char* name, void*& record) {
    UniqueFd fd(::shm_open(name, O_RDWR | O_CLOEXEC, 0));
    if (!fd) {
        // ENOENT: removed since our create found it. EACCES: its creator's
        // umask left it without owner write for a moment, before its fchmod.
        return errno == ENOENT || errno == EACCES ? Step::kRetry : Step::kRefuse;
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid() ||
        (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return Step::kRefuse;
    }
    if (info.st_size == 0) {
        // Created by another process that has not sized it yet, or whose
        // creator died before it could: a private object of this user, so
        // size it here (the creator's own ftruncate to the same size is
        // harmless).
        if (::ftruncate(fd.get(), kRecordSize) != 0 || ::fstat(fd.get(), &info) != 0) {
            return Step::kRefuse;
        }
    }
    if (info.st_size != static_cast<off_t>(kRecordSize)) return Step::kRefuse;
    record = Map(fd.get());
    return record != nullptr ? Step::kDone : Step::kRefuse;
}

}  // namespace

extern "C" void* AllocSharedMemoryExt() {
    const char* name = std::getenv(vemo::tandrel::kNameVariable);
    if (name == nullptr || *name == '\0') name = vemo::tandrel::kDefaultName;

    const auto deadline = std::chrono::steady_clock::now() + kSettleTime;
    for (;;) {
        void* record = nullptr;
        Step step = Create(name, record);
        if (step == Step::kExists) step = Open(name, record);
        if (step == Step::kDone) return record;
        if (step == Step::kRefuse || std::chrono::steady_clock::now() >= deadline) return nullptr;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}
