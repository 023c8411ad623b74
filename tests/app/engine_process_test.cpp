// The vemo program as the product meets it: real shared memory, real files,
// real signals. Message boxes are answered through VEMO_MESSAGE_ANSWERS.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "product/shared_status_block.h"
#include "support/test_support.h"

namespace vemo {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A running vemo (or one that ran), started in `dir` with its own shared
// record, settings file and message answers.
class Engine {
  public:
    Engine(const fs::path& dir, const std::string& shm, const std::string& answers,
           const std::string& qpa = "offscreen") {
        out_ = (dir / ("out" + std::to_string(counter_))).string();
        err_ = (dir / ("err" + std::to_string(counter_++))).string();
        pid_ = fork();
        if (pid_ == 0) {
            if (chdir(dir.c_str()) != 0 || !std::freopen(out_.c_str(), "w", stdout) ||
                !std::freopen(err_.c_str(), "w", stderr)) {
                _exit(127);
            }
            setenv("CORVEXA_SHM", shm.c_str(), 1);
            setenv("VEMO_SETTINGS_FILE", (dir / "settings.ini").c_str(), 1);
            setenv("VEMO_MESSAGE_ANSWERS", answers.c_str(), 1);
            setenv("QT_QPA_PLATFORM", qpa.c_str(), 1);
            execl(VEMO_PATH, VEMO_PATH, nullptr);
            _exit(127);
        }
    }
    ~Engine() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    pid_t pid() const { return pid_; }

    // The exit code, or -1 when it did not end within the time.
    int Wait(std::chrono::milliseconds limit = 20s) {
        const auto end = std::chrono::steady_clock::now() + limit;
        int status = 0;
        while (std::chrono::steady_clock::now() < end) {
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(20ms);
        }
        return -1;
    }
    std::string Errors() const {
        const auto bytes = test::ReadBytes(err_);
        return {bytes.begin(), bytes.end()};
    }

  private:
    static inline int counter_ = 0;
    pid_t pid_ = -1;
    bool exited_ = false;
    std::string out_, err_;
};

class EngineProcessTest : public testing::Test {
  protected:
    void SetUp() override {
        shm_name_ = "/vemo-engine-test-" + std::to_string(getpid());
        const int fd = shm_open(shm_name_.c_str(), O_CREAT | O_RDWR | O_EXCL, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(fchmod(fd, 0600), 0);
        ASSERT_EQ(ftruncate(fd, SharedStatusBlock::kSize), 0);
        record_ =
            mmap(nullptr, SharedStatusBlock::kSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        close(fd);
        ASSERT_NE(record_, MAP_FAILED);
        fs::create_directories(dir_.path() / "vemo/bak");
        for (const auto& entry : fs::directory_iterator(VEMO_BAK_DIR)) {
            fs::copy_file(entry.path(), dir_.path() / "vemo/bak" / entry.path().filename());
        }
    }
    void TearDown() override {
        munmap(record_, SharedStatusBlock::kSize);
        shm_unlink(shm_name_.c_str());
    }

    SharedStatusBlock block() { return SharedStatusBlock(record_); }

    bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = 20s) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            if (condition()) return true;
            std::this_thread::sleep_for(20ms);
        }
        return condition();
    }

    std::vector<std::uint8_t> Published(const char* name) {
        return test::ReadBytes((dir_.path() / "vemo" / name).string());
    }
    std::vector<std::uint8_t> Bak(const char* name) {
        return test::ReadBytes((dir_.path() / "vemo/bak" / name).string());
    }

    test::TempDir dir_;
    std::string shm_name_;
    void* record_ = nullptr;
};

TEST_F(EngineProcessTest, WaitsForTheProductAndCanBeCancelled) {
    Engine cancelled(dir_.path(), shm_name_, "1,2");
    EXPECT_EQ(cancelled.Wait(), 1);
    const std::string errors = cancelled.Errors();
    EXPECT_NE(errors.find("Vemo : Corvexaが起動していません。"), std::string::npos) << errors;
    EXPECT_EQ(block().engine_running(), 0);

    // OK is answered until the product says it is ready.
    Engine waiting(dir_.path(), shm_name_, "1");
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(block().engine_running(), 0);
    block().set_product_ready(1);
    ASSERT_TRUE(WaitFor([&] { return block().engine_running() == 1; }));
    EXPECT_EQ(block().engine_pid(), static_cast<std::uint32_t>(waiting.pid()));
    kill(waiting.pid(), SIGTERM);
    EXPECT_EQ(waiting.Wait(), 0);
    EXPECT_EQ(block().engine_running(), 0);
}

TEST_F(EngineProcessTest, OneEngineAtATimeAndStaleMarkersAreTakenOver) {
    block().set_product_ready(1);
    Engine first(dir_.path(), shm_name_, "1");
    ASSERT_TRUE(WaitFor([&] { return block().engine_running() == 1; })) << first.Errors();

    Engine second(dir_.path(), shm_name_, "1");
    EXPECT_EQ(second.Wait(), 1);
    EXPECT_NE(second.Errors().find("キャプチャー・エンジンはすでに起動しています。"),
              std::string::npos);
    EXPECT_EQ(block().engine_running(), 1) << "the first engine's marker stays";
    EXPECT_EQ(block().engine_pid(), static_cast<std::uint32_t>(first.pid()));

    // SIGTERM closes the engine like its close box: off pictures, marker cleared.
    kill(first.pid(), SIGTERM);
    EXPECT_EQ(first.Wait(), 0);
    EXPECT_EQ(block().engine_running(), 0);
    EXPECT_EQ(Published("screenon.gif"), Bak("screenoff.gif"));
    EXPECT_EQ(Published("vemosc1.jpg"), Bak("screenoff.jpg"));
    EXPECT_EQ(Published("vemosc.gif"), Bak("vemoscoff.gif"));

    // An engine killed outright leaves its marker; the next one takes it over.
    Engine killed(dir_.path(), shm_name_, "1");
    ASSERT_TRUE(WaitFor([&] { return block().engine_running() == 1; }));
    kill(killed.pid(), SIGKILL);
    killed.Wait();
    EXPECT_EQ(block().engine_running(), 1);
    Engine next(dir_.path(), shm_name_, "1");
    ASSERT_TRUE(WaitFor([&] {
        return block().engine_pid() == static_cast<std::uint32_t>(next.pid());
    })) << next.Errors();
    kill(next.pid(), SIGINT);
    EXPECT_EQ(next.Wait(), 0);
    EXPECT_EQ(block().engine_running(), 0);
}

TEST_F(EngineProcessTest, RunsOnWithoutItsDirectory) {
    block().set_product_ready(1);
    fs::remove_all(dir_.path() / "vemo");
    Engine engine(dir_.path(), shm_name_, "1");
    ASSERT_TRUE(WaitFor([&] { return block().engine_running() == 1; }));
    ASSERT_TRUE(WaitFor(
        [&] { return engine.Errors().find("vemo/ directory not found in") != std::string::npos; }));
    kill(engine.pid(), SIGHUP);
    EXPECT_EQ(engine.Wait(), 0);
}

// Needs a display: the screen is published once as soon as the engine is up.
TEST_F(EngineProcessTest, StartsScreenPublishingWhenStoredOn) {
    if (getenv("DISPLAY") == nullptr) GTEST_SKIP() << "no DISPLAY";
    block().set_product_ready(1);
    const std::string settings = "[General]\nscreen_capture=1\n";
    test::WriteBytes((dir_.path() / "settings.ini").string(), {settings.begin(), settings.end()});
    Engine engine(dir_.path(), shm_name_, "1", "xcb");
    const fs::path picture = dir_.path() / "vemo/vemosc1.jpg";
    ASSERT_TRUE(WaitFor([&] { return fs::exists(picture); })) << engine.Errors();
    EXPECT_TRUE(test::DecodeJpeg(picture.string()).ok);
    EXPECT_EQ(Published("screenon.gif"), Bak("screenon.gif"));
    kill(engine.pid(), SIGTERM);
    EXPECT_EQ(engine.Wait(), 0) << engine.Errors();
    EXPECT_EQ(Published("vemosc1.jpg"), Bak("screenoff.jpg"));
}

}  // namespace
}  // namespace vemo
