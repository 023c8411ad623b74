// libtandrel.so loaded as the engine loads it, on real shared-memory objects
// with names of their own.

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "product/shared_status_block.h"

namespace vemo {
namespace {

using AllocFunction = void* (*)();

struct LibraryCloser {
    void operator()(void* handle) const { ::dlclose(handle); }
};

struct Unmapper {
    void operator()(void* record) const { ::munmap(record, SharedStatusBlock::kSize); }
};
using Record = std::unique_ptr<void, Unmapper>;

// A fresh object name in CORVEXA_SHM; the object is removed afterwards.
class ObjectName {
  public:
    ObjectName() {
        static int counter = 0;
        name_ = "/vemo-test-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
        ::setenv("CORVEXA_SHM", name_.c_str(), 1);
    }
    ~ObjectName() {
        ::shm_unlink(name_.c_str());
        ::unsetenv("CORVEXA_SHM");
    }
    ObjectName(const ObjectName&) = delete;
    ObjectName& operator=(const ObjectName&) = delete;

    const char* c_str() const { return name_.c_str(); }

    struct stat Stat() const {
        struct stat info {};
        const int fd = ::shm_open(name_.c_str(), O_RDONLY, 0);
        EXPECT_GE(fd, 0) << name_;
        if (fd >= 0) {
            ::fstat(fd, &info);
            ::close(fd);
        }
        return info;
    }

    // Leaves an object as someone else might have: this mode and size.
    void Squat(mode_t mode, off_t size) const {
        const int fd = ::shm_open(name_.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(::fchmod(fd, mode), 0);
        EXPECT_EQ(::ftruncate(fd, size), 0);
        ::close(fd);
    }

  private:
    std::string name_;
};

class Tandrel : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        library_.reset(::dlopen(TANDREL_PATH, RTLD_NOW | RTLD_LOCAL));
        ASSERT_NE(library_, nullptr) << ::dlerror();
        alloc_ = reinterpret_cast<AllocFunction>(::dlsym(library_.get(), "AllocSharedMemoryExt"));
        ASSERT_NE(alloc_, nullptr) << ::dlerror();
    }
    static void TearDownTestSuite() { library_.reset(); }

    static Record Alloc() { return Record(alloc_()); }

    static inline std::unique_ptr<void, LibraryCloser> library_;
    static inline AllocFunction alloc_ = nullptr;
};

TEST_F(Tandrel, CreatesAPrivateZeroedRecordWhateverTheUmask) {
    for (const mode_t mask : {000, 077, 0277}) {
        ObjectName name;
        const mode_t previous = ::umask(mask);
        const Record record = Alloc();
        ::umask(previous);
        ASSERT_NE(record, nullptr) << "umask " << mask;
        const struct stat info = name.Stat();
        EXPECT_EQ(info.st_mode & 07777, 0600u) << "umask " << mask;
        EXPECT_EQ(info.st_size, 4096);
        const auto* bytes = static_cast<const unsigned char*>(record.get());
        EXPECT_EQ(bytes[0] | bytes[4] | bytes[5] | bytes[13] | bytes[14] | bytes[4095], 0);
    }
}

TEST_F(Tandrel, RefusesObjectsItCannotTrust) {
    for (const mode_t mode : {0666, 0620, 0602}) {
        ObjectName name;
        name.Squat(mode, 4096);
        EXPECT_EQ(Alloc(), nullptr) << std::oct << mode;
        EXPECT_EQ(name.Stat().st_mode & 07777, mode);  // left as it was
    }
    for (const off_t size : {100, 4095, 8192}) {
        ObjectName name;
        name.Squat(0600, size);
        EXPECT_EQ(Alloc(), nullptr) << size;
        EXPECT_EQ(name.Stat().st_size, size);
    }
    if (::geteuid() == 0) {  // only root can give an object away
        ObjectName name;
        name.Squat(0600, 4096);
        const int fd = ::shm_open(name.c_str(), O_RDWR, 0);
        ASSERT_EQ(::fchown(fd, 65534, 65534), 0);
        ::close(fd);
        EXPECT_EQ(Alloc(), nullptr);
    }
    {
        // Size 0: another process between its create and its ftruncate, or
        // one that died there. The record is usable and sized.
        ObjectName name;
        name.Squat(0600, 0);
        EXPECT_NE(Alloc(), nullptr);
        EXPECT_EQ(name.Stat().st_size, 4096);
    }
    {
        ObjectName name;
        name.Squat(0600, 4096);
        EXPECT_NE(Alloc(), nullptr);
    }
}

TEST_F(Tandrel, EveryMappingSeesTheSameBytes) {
    ObjectName name;
    const Record first = Alloc();
    const Record second = Alloc();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first.get(), second.get());
    SharedStatusBlock a(first.get()), b(second.get());
    a.set_camera_busy(1);
    EXPECT_EQ(b.camera_busy(), 1);

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        void* record = alloc_();
        if (record == nullptr) ::_exit(1);
        SharedStatusBlock block(record);
        block.set_screen_busy(block.camera_busy() == 1 ? 1 : 0);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(a.screen_busy(), 1);
}

}  // namespace
}  // namespace vemo
