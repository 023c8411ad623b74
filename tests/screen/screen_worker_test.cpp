// Screen grabs on the screen worker against a private Xvfb painted with the
// quadrant pattern: unchanged pictures published again without coding, a
// still screen published again without being read, a stop that cuts a grab
// short, and an X server that stops answering.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "engine/screen_settings.h"
#include "imaging/published_files.h"
#include "product/shared_status_block.h"
#include "screen/grab_worker.h"
#include "screen/screen_capture.h"
#include "screen/screen_folder.h"
#include "screen/screen_grabber.h"
#include "screen/xvfb_display.h"
#include "support/test_support.h"

namespace vemo {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr int kWidth = 1024, kHeight = 768;

// Polls `condition` until it holds, for at most 20 s.
bool WaitFor(const std::function<bool()>& condition) {
    for (int i = 0; i < 1000; ++i) {
        if (condition()) return true;
        std::this_thread::sleep_for(20ms);
    }
    return condition();
}

bool Paint(const test::XvfbDisplay& display, bool white_top_left) {
    std::string error;
    const bool painted = test::PaintRootWindow(
        display.name(),
        [&](int x, int y) {
            if (white_top_left && x < kWidth / 2 && y < kHeight / 2) {
                return test::PatternColour{255, 255, 255};
            }
            return test::QuadrantPattern(x, y, kWidth, kHeight);
        },
        error);
    EXPECT_TRUE(painted) << error;
    return painted;
}

// Every screen picture of vemo/ with its bytes.
using Files = std::map<std::string, std::vector<std::uint8_t>>;

// Records every name a picture is renamed to, on any thread.
class RenameWatch : public FileOperations {
  public:
    bool Rename(const std::string& from, const std::string& to) override {
        const bool renamed = FileOperations::Rename(from, to);
        std::unique_lock lock(mutex_);
        renamed_.push_back(to);
        changed_.notify_all();
        changed_.wait(lock, [&] { return to != held_; });
        return renamed;
    }
    // The renaming thread waits after the rename to `name` until let go.
    void HoldAt(std::string name) {
        std::lock_guard lock(mutex_);
        held_ = std::move(name);
    }
    void LetGo() {
        std::lock_guard lock(mutex_);
        held_.clear();
        changed_.notify_all();
    }
    bool WaitForRename(const std::string& name) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 20s, [&] {
            return std::find(renamed_.begin(), renamed_.end(), name) != renamed_.end();
        });
    }
    std::vector<std::string> renamed() {
        std::lock_guard lock(mutex_);
        return renamed_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> renamed_;
    std::string held_;
};

class ScreenWorkerTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        display_ = std::make_unique<test::XvfbDisplay>(kWidth, kHeight, 24);
        if (display_->ok()) Paint(*display_, false);
    }
    static void TearDownTestSuite() { display_.reset(); }

    void SetUp() override {
        ASSERT_TRUE(display_->ok()) << display_->error();
        setenv("DISPLAY", display_->name().c_str(), 1);
        setenv("VEMO_SETTINGS_FILE", (dir_ / "settings.ini").c_str(), 1);
        unsetenv("VEMO_SCREEN_BACKEND");
        test::MakeScreenFolder(dir_);
        previous_dir_ = fs::current_path();
        fs::current_path(dir_.path());
        capture_ = std::make_unique<ScreenCapture>();
        capture_->set_pause_ms(0);
    }

    void TearDown() override {
        capture_->Stop();
        capture_.reset();
        SetFileOperations(nullptr);
        fs::current_path(previous_dir_);
    }

    static ScreenSettings Imode(std::uint32_t division) {
        ScreenSettings settings = ScreenSettingsOf(ReadSettings());
        settings.screen_one = 0;
        settings.screen_division = division;
        settings.imode_width = 160;
        return settings;
    }

    // The screen pictures published, each made older than any grab to come.
    Files PublishedAndAged() const {
        Files files;
        for (const auto& entry : fs::directory_iterator(dir_.path() / "vemo")) {
            const std::string name = entry.path().filename().string();
            if (name.rfind("vemosc", 0) != 0) continue;
            files[name] = test::ReadBytes(entry.path());
            fs::last_write_time(entry.path(), kLongAgo);
        }
        return files;
    }

    bool Exists(const std::string& name) const { return fs::exists(dir_.path() / name); }
    std::vector<std::uint8_t> File(const std::string& name) const {
        return test::ReadBytes(dir_ / name);
    }

    static inline const fs::file_time_type kLongAgo =
        fs::file_time_type::clock::now() - std::chrono::hours(24 * 365);
    static inline std::unique_ptr<test::XvfbDisplay> display_;
    test::TempDir dir_;
    fs::path previous_dir_;
    RenameWatch watch_;  // installed by the tests that use it
    std::unique_ptr<ScreenCapture> capture_;
};

TEST_F(ScreenWorkerTest, AnUnchangedScreenIsPublishedAgainWithoutCoding) {
    ASSERT_TRUE(capture_->Start(Imode(2)).grabbable);
    const ScreenGrabResult first = capture_->Grab();
    ASSERT_TRUE(first.ok) << first.error;
    EXPECT_EQ(first.coded, 10);  // the i-mode picture and 4 tiles, JPEG and GIF each
    const Files before = PublishedAndAged();
    ASSERT_EQ(before.size(), 10u);

    const ScreenGrabResult again = capture_->Grab();
    ASSERT_TRUE(again.ok) << again.error;
    EXPECT_EQ(again.coded, 0);
    EXPECT_EQ(again.republished, 10);
    EXPECT_EQ(again.published, first.published);  // the same files, in the same order
    for (const auto& [name, bytes] : before) {
        EXPECT_EQ(File("vemo/" + name), bytes) << name;
        EXPECT_GT(fs::last_write_time(dir_.path() / "vemo" / name), kLongAgo) << name;
        EXPECT_FALSE(Exists("vemo/tmpsc" + name.substr(6))) << name;
    }
    EXPECT_EQ(shared_status_block().screen_busy(), 0);

    // Another colour count makes other GIFs: everything is coded afresh.
    capture_->set_screen_gif_color(16);
    EXPECT_EQ(capture_->Grab().coded, 10);
    capture_->Stop();

    // The whole screen too, and a restart drops what was kept.
    ScreenSettings whole = ScreenSettingsOf(ReadSettings());
    whole.screen_one = 1;
    ASSERT_TRUE(capture_->Start(whole).grabbable);
    EXPECT_EQ(capture_->Grab().coded, 1);
    const std::vector<std::uint8_t> picture = File("vemo/vemosc1.jpg");
    const ScreenGrabResult unchanged = capture_->Grab();
    EXPECT_EQ(unchanged.coded, 0);
    EXPECT_EQ(unchanged.published, std::vector<std::string>{"vemo/vemosc1.jpg"});
    EXPECT_EQ(File("vemo/vemosc1.jpg"), picture);
    ASSERT_TRUE(capture_->Start(whole).grabbable);
    EXPECT_EQ(capture_->Grab().coded, 1);
}

TEST_F(ScreenWorkerTest, AChangedQuadrantChangesExactlyTheTilesOverIt) {
    // 4 x 4 tiles of 256 x 192: the top-left quadrant is tiles 0 and 1 of
    // rows 0 and 1, named (3 - column) then row.
    ASSERT_TRUE(capture_->Start(Imode(4)).grabbable);
    ASSERT_TRUE(capture_->Grab().ok);
    const Files before = PublishedAndAged();
    ASSERT_TRUE(Paint(*display_, true));
    const ScreenGrabResult changed = capture_->Grab();
    ASSERT_TRUE(Paint(*display_, false));
    ASSERT_TRUE(changed.ok) << changed.error;
    EXPECT_EQ(changed.coded, 2 * 5);
    EXPECT_EQ(changed.republished, 2 * 12);

    const std::set<std::string> over_quadrant = {"30", "20", "31", "21"};
    for (const auto& [name, bytes] : before) {
        const bool tile = name.size() == 12;  // vemoscXY.ext
        const bool should_change = !tile || over_quadrant.count(name.substr(6, 2)) != 0;
        EXPECT_EQ(File("vemo/" + name) != bytes, should_change) << name;
    }
}

TEST_F(ScreenWorkerTest, AnIModePictureMadeAgainWhereTheScreenChangedIsTheSameAsAFreshOne) {
    // A small change inside one tile, off the tile grid and off the i-mode
    // picture's pixel grid, with the picture turned.
    ScreenSettings settings = Imode(4);
    settings.imode_rotate = 1;
    test::RootInverter inverter(display_->name());
    ASSERT_TRUE(inverter.ok());
    ASSERT_TRUE(capture_->Start(settings).grabbable);
    ASSERT_TRUE(capture_->Grab().ok);
    inverter.Invert(301, 203, 37, 29);
    const ScreenGrabResult changed = capture_->Grab();
    EXPECT_EQ(changed.coded, 2 * 2);
    const std::vector<std::uint8_t> remade = File(published::kScreenJpeg);

    ASSERT_TRUE(capture_->Start(settings).grabbable);  // nothing kept
    const ScreenGrabResult fresh = capture_->Grab();
    inverter.Invert(301, 203, 37, 29);
    EXPECT_EQ(fresh.coded, 2 * 17);
    EXPECT_EQ(File(published::kScreenJpeg), remade);
}

// The bytes of each of `names` (paths under the working directory).
Files Snapshot(const test::TempDir& dir, const std::vector<std::string>& names) {
    Files files;
    for (const std::string& name : names)
        files[name] = test::ReadBytes(dir / name);
    return files;
}

// The names in `files` whose bytes differ from what the files hold now.
std::set<std::string> Differing(const test::TempDir& dir, const Files& files) {
    std::set<std::string> differing;
    for (const auto& [name, bytes] : files) {
        if (test::ReadBytes(dir / name) != bytes) differing.insert(name);
    }
    return differing;
}

TEST_F(ScreenWorkerTest, AStillScreenIsNotReadAndAChangeReachesTheNextPicture) {
    // 4 x 4 tiles of 256 x 192. The change lies well inside the tile at row
    // 1, column 1 (named 21), red on the screen, so no other tile reads it.
    constexpr int kX = 301, kY = 203, kW = 37, kH = 29;
    test::RootInverter inverter(display_->name());
    ASSERT_TRUE(inverter.ok());
    ScreenSettings whole = ScreenSettingsOf(ReadSettings());
    whole.screen_one = 1;
    for (const ScreenSettings& settings : {Imode(4), whole}) {
        const bool imode = settings.screen_one == 0;
        SCOPED_TRACE(imode ? "i-mode" : "whole screen");
        ASSERT_TRUE(capture_->Start(settings).grabbable);
        const std::string backend = capture_->session().grabber->Describe();
        ASSERT_NE(backend.find("DAMAGE"), std::string::npos) << backend;
        const ScreenGrabResult first = capture_->Grab();
        ASSERT_TRUE(first.ok) << first.error;
        EXPECT_GT(first.pixels_read, 0);
        const Files before = Snapshot(dir_, first.published);
        for (const auto& [name, bytes] : before)
            fs::last_write_time(dir_.path() / name, kLongAgo);

        const ScreenGrabResult still = capture_->Grab();
        ASSERT_TRUE(still.ok) << still.error;
        EXPECT_EQ(still.pixels_read, 0);
        EXPECT_EQ(still.coded, 0);
        EXPECT_EQ(still.published, first.published);  // the same files, in the same order
        EXPECT_EQ(Differing(dir_, before), std::set<std::string>{});
        for (const auto& [name, bytes] : before)
            EXPECT_GT(fs::last_write_time(dir_.path() / name), kLongAgo) << name;

        // Right after a grab that read nothing, a change must still show.
        inverter.Invert(kX, kY, kW, kH);
        const ScreenGrabResult changed = capture_->Grab();
        ASSERT_TRUE(changed.ok) << changed.error;
        EXPECT_EQ(changed.published, first.published);
        if (imode) {
            EXPECT_EQ(changed.coded, 2 * 2);
            EXPECT_EQ(Differing(dir_, before),
                      (std::set<std::string>{"vemo/vemosc.gif", "vemo/vemosc.jpg",
                                             "vemo/vemosc21.gif", "vemo/vemosc21.jpg"}));
            // Only about the changed tile was read: 3 passes over its 49152
            // pixels (digest, the i-mode picture's part, the tile) and a fringe.
            EXPECT_GT(changed.pixels_read, 0);
            EXPECT_LT(changed.pixels_read, kWidth * kHeight / 4);
            // Inverted red is cyan, at (45..82, 11..40) of the tile, 0.625 to 1.
            const test::DecodedJpeg tile = test::DecodeJpeg(dir_ / "vemo/vemosc21.jpg");
            ASSERT_TRUE(tile.ok);
            EXPECT_LE(test::ColourDistance(tile.at(40, 16), {0, 255, 255}), 24);
            EXPECT_LE(test::ColourDistance(tile.at(100, 16), {255, 0, 0}), 24);
        } else {
            EXPECT_EQ(changed.coded, 1);
            const test::DecodedJpeg screen = test::DecodeJpeg(dir_ / published::kScreenWholeJpeg);
            ASSERT_TRUE(screen.ok);
            EXPECT_LE(test::ColourDistance(screen.at(kX + kW / 2, kY + kH / 2), {0, 255, 255}), 24);
            EXPECT_LE(test::ColourDistance(screen.at(kX - 10, kY), {255, 0, 0}), 24);
        }
        const Files remade = Snapshot(dir_, first.published);

        // What the grab made where the screen changed is what a grab with
        // nothing kept makes of the same screen.
        ASSERT_TRUE(capture_->Start(settings).grabbable);
        const ScreenGrabResult fresh = capture_->Grab();
        ASSERT_TRUE(fresh.ok) << fresh.error;
        EXPECT_EQ(fresh.coded, imode ? 2 * 17 : 1);
        EXPECT_EQ(Differing(dir_, remade), std::set<std::string>{});

        // Changed back, the screen is published as it first was.
        inverter.Invert(kX, kY, kW, kH);
        ASSERT_TRUE(capture_->Grab().ok);
        EXPECT_EQ(Differing(dir_, before), std::set<std::string>{});
        capture_->Stop();
    }
}

TEST_F(ScreenWorkerTest, AFailedWriteDropsWhatIsKept) {
    ASSERT_TRUE(capture_->Start(Imode(2)).grabbable);
    ASSERT_TRUE(capture_->Grab().ok);
    // The last tile's temporary name is taken: the grab fails there.
    const fs::path blocked = dir_.path() / published::TileTempName(1, 1, ".gif");
    fs::create_directory(blocked);
    const ScreenGrabResult failed = capture_->Grab();
    EXPECT_FALSE(failed.ok);
    EXPECT_EQ(failed.coded, 0);
    EXPECT_NE(failed.error.find("tmpsc11.gif"), std::string::npos) << failed.error;
    fs::remove(blocked);
    const ScreenGrabResult after = capture_->Grab();
    EXPECT_TRUE(after.ok) << after.error;
    EXPECT_EQ(after.coded, 10);
}

TEST_F(ScreenWorkerTest, RequestsDuringAGrabMergeIntoOneGrabAfterIt) {
    SetFileOperations(&watch_);
    std::atomic<int> delivered{0};
    capture_->set_grab_done([&](ScreenGrabResult grab) {
        EXPECT_TRUE(grab.ok) << grab.error;
        ++delivered;
    });
    ASSERT_TRUE(capture_->Start(Imode(2)).grabbable);
    watch_.HoldAt(published::kScreenGif);
    capture_->RequestGrab();
    ASSERT_TRUE(watch_.WaitForRename(published::kScreenGif));
    for (int tick = 0; tick < 3; ++tick)
        capture_->RequestGrab();
    watch_.LetGo();
    capture_->Grab();  // runs after every grab asked for before it
    EXPECT_EQ(delivered.load(), 2);
}

TEST_F(ScreenWorkerTest, AStopCutsAGrabShortAndLeavesTheStopsFilesAndNoTile) {
    RenameWatch& watch = watch_;
    SetFileOperations(&watch);
    capture_->set_pause_ms(60'000);  // a stop that waited the pause out would be left behind
    std::vector<ScreenGrabResult> delivered;
    capture_->set_grab_done([&](ScreenGrabResult grab) { delivered.push_back(std::move(grab)); });
    ASSERT_TRUE(capture_->Start(Imode(5)).grabbable);
    capture_->RequestGrab();
    capture_->RequestGrab();  // merged into one more grab, dropped by the stop
    ASSERT_TRUE(watch.WaitForRename(published::kScreenGif));
    testing::internal::CaptureStderr();
    EXPECT_EQ(capture_->Stop(), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(screen::GrabWorker::abandoned_running(), 0);

    for (const std::string& name : watch.renamed()) {
        const bool tile = name.rfind("vemo/vemosc", 0) == 0 && name.size() == 17;
        EXPECT_FALSE(tile) << name << " was published after the stop was asked for";
    }
    EXPECT_FALSE(Exists(published::kScreenJpeg));
    for (int a = 0; a < 5; ++a) {
        for (int b = 0; b < 5; ++b)
            EXPECT_FALSE(Exists(published::TileName(a, b, ".jpg")));
    }
    EXPECT_EQ(File(published::kScreenStatus), File(published::kBakScreenOffGif));
    EXPECT_EQ(File(published::kScreenGif), File(published::kBakVemoScOffGif));
    EXPECT_EQ(File(published::kScreenWholeJpeg), File(published::kBakScreenOffJpeg));
    EXPECT_EQ(shared_status_block().screen_busy(), 0);
    EXPECT_TRUE(delivered.empty()) << "a grab cut short is not reported";
}

TEST_F(ScreenWorkerTest, AServerThatStopsAnsweringHoldsNobodyUp) {
    test::XvfbDisplay frozen(640, 480, 24);
    ASSERT_TRUE(frozen.ok()) << frozen.error();
    setenv("DISPLAY", frozen.name().c_str(), 1);
    ScreenSettings whole = ScreenSettingsOf(ReadSettings());
    whole.screen_one = 1;
    ASSERT_TRUE(capture_->Start(whole).grabbable);
    capture_->set_answer_timeout(300ms);

    frozen.Freeze(true);
    capture_->RequestGrab();  // returns at once; the grab hangs on the worker
    ASSERT_TRUE(WaitFor([&] { return capture_->grab_running(); }));
    testing::internal::CaptureStderr();
    capture_->Stop();
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("left behind"), std::string::npos) << said;
    EXPECT_EQ(File(published::kScreenWholeJpeg), File(published::kBakScreenOffJpeg));
    EXPECT_EQ(File(published::kScreenStatus), File(published::kBakScreenOffGif));
    EXPECT_EQ(shared_status_block().screen_busy(), 0);

    // Once the server answers, the grab left behind ends without publishing.
    frozen.Freeze(false);
    ASSERT_TRUE(WaitFor([] { return screen::GrabWorker::abandoned_running() == 0; }));
    EXPECT_EQ(File(published::kScreenWholeJpeg), File(published::kBakScreenOffJpeg));
    EXPECT_EQ(File(published::kScreenStatus), File(published::kBakScreenOffGif));
    EXPECT_EQ(shared_status_block().screen_busy(), 0);

    // Screen capture carries on with a fresh worker.
    ASSERT_TRUE(capture_->Start(whole).grabbable);
    EXPECT_TRUE(capture_->Grab().ok);
    capture_->Stop();  // while its server is there
}

}  // namespace
}  // namespace vemo
