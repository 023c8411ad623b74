// Screen capture against private Xvfb servers painted with a known pattern:
// top-left red, top-right green, bottom-left blue, bottom-right a grey ramp.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <tuple>

#include "engine/screen_settings.h"
#include "imaging/published_files.h"
#include "product/shared_status_block.h"
#include "screen/screen_capture.h"
#include "screen/screen_folder.h"
#include "screen/screen_grabber.h"
#include "screen/xvfb_display.h"
#include "settings/settings_store.h"
#include "support/test_support.h"

namespace vemo {
namespace {

namespace fs = std::filesystem;
using test::DecodedGif;
using test::DecodedJpeg;
using test::DecodeGif;
using test::DecodeJpeg;
using test::Rgb;
using test::TempDir;
using test::XvfbDisplay;

constexpr Rgb kRed{255, 0, 0}, kGreen{0, 255, 0}, kBlue{0, 0, 255}, kBlack{0, 0, 0};

// Starts a server of the given kind with the pattern on its root window.
std::unique_ptr<XvfbDisplay> PatternDisplay(int width, int height, int depth = 24,
                                            std::vector<std::string> extra = {}) {
    auto display = std::make_unique<XvfbDisplay>(width, height, depth, std::move(extra));
    if (!display->ok()) {
        ADD_FAILURE() << display->error();
        return display;
    }
    std::string error;
    EXPECT_TRUE(test::PaintRootWindow(
        display->name(), [&](int x, int y) { return test::QuadrantPattern(x, y, width, height); },
        error))
        << error;
    return display;
}

// The stored settings with i-mode and the given sizes.
ScreenSettings Imode(std::uint32_t division, std::uint32_t width, bool rotate = false) {
    ScreenSettings o = ScreenSettingsOf(ReadSettings());
    o.screen_one = 0;
    o.screen_division = division;
    o.imode_width = width;
    o.imode_rotate = rotate ? 1 : 0;
    return o;
}

// The stored settings with the whole screen.
ScreenSettings Whole() {
    ScreenSettings o = ScreenSettingsOf(ReadSettings());
    o.screen_one = 1;
    return o;
}

// Records screen_busy whenever a picture is renamed into place.
class BusyWatch : public FileOperations {
  public:
    bool Rename(const std::string& from, const std::string& to) override {
        busy_seen.insert(shared_status_block().screen_busy());
        return FileOperations::Rename(from, to);
    }
    std::set<int> busy_seen;
};

// Each test works in a fresh directory holding vemo/ and the status pictures
// in vemo/bak/, against the suite's 1024 x 768 x 24 server unless it starts
// its own.
class ScreenCaptureTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { display_ = PatternDisplay(1024, 768).release(); }
    static void TearDownTestSuite() {
        delete display_;
        display_ = nullptr;
    }

    void SetUp() override {
        ASSERT_TRUE(display_ != nullptr && display_->ok());
        UseDisplay(*display_);
        setenv("VEMO_SETTINGS_FILE", (dir_ / "settings.ini").c_str(), 1);
        unsetenv("VEMO_SCREEN_BACKEND");
        test::MakeScreenFolder(dir_);
        previous_dir_ = fs::current_path();
        fs::current_path(dir_.path());
        capture_.set_pause_ms(0);
    }

    void TearDown() override {
        capture_.Stop();
        fs::current_path(previous_dir_);
    }

    static void UseDisplay(const XvfbDisplay& display) {
        setenv("DISPLAY", display.name().c_str(), 1);
    }

    // Starts as the engine does: shows the failure.
    bool Start(const ScreenSettings& settings) {
        const ScreenStartResult started = capture_.Start(settings);
        if (!started.error.empty()) reports_.push_back(started.error);
        return started.grabbable;
    }

    // Grabs as the window does: shows the failures it is told to.
    ScreenGrabResult Grab() {
        ScreenGrabResult result = capture_.Grab();
        if (result.report) reports_.push_back(result.error);
        return result;
    }

    // Starts with `settings`, grabs once, and expects the grab to succeed.
    ScreenGrabResult StartAndGrab(const ScreenSettings& settings) {
        EXPECT_TRUE(Start(settings)) << (reports_.empty() ? "" : reports_.back());
        ScreenGrabResult result = Grab();
        EXPECT_TRUE(result.ok) << result.error;
        EXPECT_EQ(shared_status_block().screen_busy(), 0);
        return result;
    }

    std::vector<std::uint8_t> File(const std::string& name) const {
        return test::ReadBytes(dir_ / name);
    }
    bool Exists(const std::string& name) const { return fs::exists(dir_.path() / name); }

    static XvfbDisplay* display_;
    TempDir dir_;
    fs::path previous_dir_;
    ScreenCapture capture_;
    std::vector<std::string> reports_;  // the failures shown, in order
};

XvfbDisplay* ScreenCaptureTest::display_ = nullptr;

void ExpectColour(const DecodedJpeg& jpeg, std::uint32_t x, std::uint32_t y, Rgb want,
                  int tolerance = 24) {
    ASSERT_TRUE(jpeg.ok);
    ASSERT_LT(x, jpeg.width);
    ASSERT_LT(y, jpeg.height);
    EXPECT_LE(test::ColourDistance(jpeg.at(x, y), want), tolerance)
        << "at " << x << "," << y << ": " << int{jpeg.at(x, y)[0]} << " " << int{jpeg.at(x, y)[1]}
        << " " << int{jpeg.at(x, y)[2]};
}

// The quadrant colours and the ramp of a full-size picture of the pattern.
void ExpectPattern(const DecodedJpeg& jpeg, int ramp_tolerance) {
    const std::uint32_t w = jpeg.width, h = jpeg.height;
    ExpectColour(jpeg, w / 4, h / 4, kRed);
    ExpectColour(jpeg, 3 * w / 4, h / 4, kGreen);
    ExpectColour(jpeg, w / 4, 3 * h / 4, kBlue);
    for (std::uint32_t x = w / 2 + 8; x < w - 8; x += 37) {
        const auto grey = static_cast<std::uint8_t>((x - w / 2) * 255 / (w - w / 2 - 1));
        ExpectColour(jpeg, x, 3 * h / 4, {grey, grey, grey}, ramp_tolerance);
    }
}

std::vector<std::string> TileNames(int division) {
    std::vector<std::string> names;
    for (int a = 0; a < division; ++a) {
        for (int b = 0; b < division; ++b) {
            names.push_back(published::TileName(a, b, ".jpg"));
            names.push_back(published::TileName(a, b, ".gif"));
        }
    }
    return names;
}

TEST_F(ScreenCaptureTest, WholeScreenPublishesOneFullSizeJpegAndNothingElse) {
    // Pictures of an earlier i-mode run stay as they were.
    test::WriteBytes(dir_ / "vemo/vemosc.jpg", {1, 2, 3});
    test::WriteBytes(dir_ / "vemo/vemosc.gif", {4, 5, 6});
    test::WriteBytes(dir_ / "vemo/vemosc20.jpg", {7});
    ScreenSettings rotate_too = Whole();
    rotate_too.imode_rotate = 1;  // changes nothing in whole-screen mode
    ASSERT_TRUE(Start(rotate_too));
    BusyWatch watch;
    SetFileOperations(&watch);
    const ScreenGrabResult result = Grab();
    SetFileOperations(nullptr);
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_EQ(shared_status_block().screen_busy(), 0);

    EXPECT_EQ(result.published, std::vector<std::string>{"vemo/vemosc1.jpg"});
    EXPECT_EQ(watch.busy_seen, std::set<int>{1});
    const DecodedJpeg jpeg = DecodeJpeg(dir_ / "vemo/vemosc1.jpg");
    ASSERT_TRUE(jpeg.ok);
    EXPECT_EQ(jpeg.width, 1024u);
    EXPECT_EQ(jpeg.height, 768u);
    ExpectPattern(jpeg, 12);

    EXPECT_EQ(File("vemo/vemosc.jpg"), (std::vector<std::uint8_t>{1, 2, 3}));
    EXPECT_EQ(File("vemo/vemosc.gif"), (std::vector<std::uint8_t>{4, 5, 6}));
    EXPECT_EQ(File("vemo/vemosc20.jpg"), (std::vector<std::uint8_t>{7}));
    EXPECT_FALSE(Exists("vemo/tmpsc1.jpg"));
    std::size_t files = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir_.path() / "vemo"))
        ++files;
    EXPECT_EQ(files, 6u);  // bak, screenon.gif, vemosc1.jpg and the three above
}

TEST_F(ScreenCaptureTest, ImodeSizesFollowTheGeometryTable) {
    struct Row {
        std::uint32_t division, width;
        bool rotate;
        std::uint32_t jpeg_width, jpeg_height;  // as published, turned when rotating
    };
    for (const Row& row :
         {Row{5, 160, false, 160, 120}, Row{3, 50, true, 40, 52}, Row{10, 200, false, 200, 149}}) {
        SCOPED_TRACE("D=" + std::to_string(row.division));
        const ScreenGrabResult result = StartAndGrab(Imode(row.division, row.width, row.rotate));
        EXPECT_EQ(result.published.size(), 2 + 2 * row.division * row.division);
        for (const char* name : {"vemo/vemosc.jpg", "vemo/vemosc00.jpg", "vemo/vemosc11.jpg"}) {
            const DecodedJpeg jpeg = DecodeJpeg(dir_ / name);
            EXPECT_EQ(jpeg.width, row.jpeg_width) << name;
            EXPECT_EQ(jpeg.height, row.jpeg_height) << name;
        }
        const DecodedGif gif = DecodeGif(dir_ / "vemo/vemosc.gif");
        ASSERT_TRUE(gif.ok);
        EXPECT_EQ(static_cast<std::uint32_t>(gif.width), row.jpeg_width);
        EXPECT_EQ(static_cast<std::uint32_t>(gif.height), row.jpeg_height);
        EXPECT_LE(gif.color_count, 8);  // the default "screen_gif_color"
        EXPECT_EQ(capture_.settings().imode_width,
                  row.rotate ? (row.width + 3) / 4 * 4 : row.width);
        capture_.Stop();
    }
}

TEST_F(ScreenCaptureTest, TilesAreNamedByTheirPlaceInTheGrid) {
    // D = 3: top-left tile red, top-right green, bottom-left blue.
    StartAndGrab(Imode(3, 160));
    ExpectColour(DecodeJpeg(dir_ / "vemo/vemosc20.jpg"), 80, 60, kRed);
    ExpectColour(DecodeJpeg(dir_ / "vemo/vemosc00.jpg"), 80, 60, kGreen);
    ExpectColour(DecodeJpeg(dir_ / "vemo/vemosc22.jpg"), 80, 60, kBlue);
    for (const std::string& name : TileNames(3))
        EXPECT_TRUE(Exists(name)) << name;
    EXPECT_FALSE(Exists("vemo/vemosc33.jpg"));
    capture_.Stop();

    StartAndGrab(Imode(3, 160, true));
    ExpectColour(DecodeJpeg(dir_ / "vemo/vemosc00.jpg"), 60, 80, kRed);
    ExpectColour(DecodeJpeg(dir_ / "vemo/vemosc02.jpg"), 60, 80, kGreen);
    ExpectColour(DecodeJpeg(dir_ / "vemo/vemosc20.jpg"), 60, 80, kBlue);
    for (const std::string& name : TileNames(3)) {
        EXPECT_TRUE(Exists(name)) << name;
        EXPECT_FALSE(Exists("vemo/tmpsc" + name.substr(11))) << "temporary of " << name;
    }
    capture_.Stop();

    // D = 1: the one tile is the i-mode picture itself.
    const ScreenGrabResult one = StartAndGrab(Imode(1, 160));
    EXPECT_EQ(one.published, (std::vector<std::string>{"vemo/vemosc.jpg", "vemo/vemosc.gif",
                                                       "vemo/vemosc00.jpg", "vemo/vemosc00.gif"}));
    EXPECT_EQ(File("vemo/vemosc00.jpg"), File("vemo/vemosc.jpg"));
    EXPECT_EQ(File("vemo/vemosc00.gif"), File("vemo/vemosc.gif"));
}

TEST_F(ScreenCaptureTest, TurnedPictureStartsAtTheScreensBottomLeft) {
    StartAndGrab(Imode(5, 160, true));
    const DecodedJpeg jpeg = DecodeJpeg(dir_ / "vemo/vemosc.jpg");
    ASSERT_TRUE(jpeg.ok);
    EXPECT_EQ(jpeg.width, 120u);  // H x W
    EXPECT_EQ(jpeg.height, 160u);
    ExpectColour(jpeg, 4, 4, kBlue);                              // bottom-left of the screen
    ExpectColour(jpeg, jpeg.width - 5, 4, kRed);                  // top-left
    ExpectColour(jpeg, jpeg.width - 5, jpeg.height - 5, kGreen);  // top-right
}

TEST_F(ScreenCaptureTest, LastTileRowAndColumnAreBlackBeyondTheEdge) {
    // 1024 x 768 in 10 x 10 tiles of 103 x 77: the last column reaches 6
    // pixels and the last row 2 pixels past the screen (200 x 149 tiles: about
    // 12 columns and 4 rows of black).
    StartAndGrab(Imode(10, 200));
    const DecodedJpeg top_right = DecodeJpeg(dir_ / "vemo/vemosc00.jpg");  // row 0, column 9
    ExpectColour(top_right, 199, 70, kBlack, 40);
    ExpectColour(top_right, 180, 70, kGreen);
    const DecodedJpeg inner = DecodeJpeg(dir_ / "vemo/vemosc10.jpg");  // row 0, column 8
    ExpectColour(inner, 199, 70, kGreen);
    const DecodedJpeg bottom_left = DecodeJpeg(dir_ / "vemo/vemosc99.jpg");  // row 9, column 0
    ExpectColour(bottom_left, 100, 148, kBlack, 40);
    ExpectColour(bottom_left, 100, 135, kBlue);
    const DecodedJpeg above = DecodeJpeg(dir_ / "vemo/vemosc98.jpg");  // row 8, column 0
    ExpectColour(above, 100, 148, kBlue);
}

TEST_F(ScreenCaptureTest, StopRemovesEveryTileAndLeavesTheOffPictures) {
    StartAndGrab(Imode(4, 120));
    EXPECT_EQ(File("vemo/screenon.gif"), File("vemo/bak/screenon.gif"));
    EXPECT_EQ(capture_.Stop(), 1);
    EXPECT_FALSE(capture_.screen_on());
    EXPECT_FALSE(Exists("vemo/vemosc.jpg"));
    for (const std::string& name : TileNames(4))
        EXPECT_FALSE(Exists(name)) << name;
    EXPECT_EQ(File("vemo/screenon.gif"), File("vemo/bak/screenoff.gif"));
    EXPECT_EQ(File("vemo/vemosc1.jpg"), File("vemo/bak/screenoff.jpg"));
    EXPECT_EQ(File("vemo/vemosc.gif"), File("vemo/bak/vemoscoff.gif"));

    // A second stop finds nothing to release; a grab after it does nothing.
    EXPECT_EQ(capture_.Stop(), 1);
    const ScreenGrabResult after = Grab();
    EXPECT_FALSE(after.ok);
    EXPECT_TRUE(after.published.empty());
    EXPECT_EQ(shared_status_block().screen_busy(), 0);
    EXPECT_EQ(File("vemo/screenon.gif"), File("vemo/bak/screenoff.gif"));
}

TEST_F(ScreenCaptureTest, StoredValuesComeIntoRangeAndOthersAreRefused) {
    WriteSetting(SETTING_SCREEN_ONE, 0);
    WriteSetting(SETTING_SCREEN_DIVISION, 0);
    WriteSetting(SETTING_IMODE_WIDTH, 5000);
    WriteSetting(SETTING_SCREEN_GIF_COLOR, 2);
    StartAndGrab(ScreenSettingsOf(ReadSettings()));
    EXPECT_EQ(capture_.session().geometry.division, 1);
    EXPECT_EQ(capture_.session().geometry.imode_width, 200);
    EXPECT_EQ(capture_.settings().screen_gif_color, 8u);
    EXPECT_TRUE(Exists("vemo/vemosc00.jpg"));

    // Values that cannot make a picture never reach the geometry: the start
    // says why and the capture running goes on as it was.
    for (const auto& [division, width, colors] :
         {std::tuple{0u, 160u, 8u}, {11u, 160u, 8u}, {5u, 0u, 8u}, {5u, 160u, 300u}}) {
        ScreenSettings wrong = Imode(division, width);
        wrong.screen_gif_color = colors;
        EXPECT_FALSE(Start(wrong));
        EXPECT_NE(reports_.back().find("is outside"), std::string::npos) << reports_.back();
    }
    EXPECT_TRUE(capture_.screen_on());
    EXPECT_EQ(capture_.session().geometry.division, 1);
    EXPECT_TRUE(Grab().ok);
}

TEST_F(ScreenCaptureTest, GifColoursApplyFromTheNextGrabWithoutARestart) {
    StartAndGrab(Imode(2, 160));
    const DecodedGif before = DecodeGif(dir_ / "vemo/vemosc.gif");
    ASSERT_TRUE(before.ok);
    EXPECT_LE(before.color_count, 8);

    capture_.set_screen_gif_color(256);
    EXPECT_EQ(capture_.settings().screen_gif_color, 256u);
    ASSERT_TRUE(Grab().ok);
    const DecodedGif after = DecodeGif(dir_ / "vemo/vemosc.gif");
    ASSERT_TRUE(after.ok);
    EXPECT_GT(after.color_count, 8);  // the grey ramp alone has more

    capture_.set_screen_gif_color(1000);
    capture_.set_screen_gif_color(2);
    EXPECT_EQ(capture_.settings().screen_gif_color, 256u) << "counts it cannot make are ignored";
}

TEST_F(ScreenCaptureTest, StopBeforeAnyStartRemovesTheTilesOfTheStoredDivision) {
    for (const char* name : {"vemo/vemosc33.jpg", "vemo/vemosc44.jpg"})
        test::WriteBytes(dir_ / name, {1});
    ScreenCapture never_started;
    never_started.set_division_before_start(4);
    EXPECT_EQ(never_started.Stop(), 1);
    EXPECT_FALSE(Exists("vemo/vemosc33.jpg"));
    EXPECT_TRUE(Exists("vemo/vemosc44.jpg"));
    EXPECT_EQ(File("vemo/screenon.gif"), File("vemo/bak/screenoff.gif"));
    ScreenCapture untold;
    untold.Stop();
    EXPECT_FALSE(Exists("vemo/vemosc44.jpg"));
}

TEST_F(ScreenCaptureTest, OtherScreenSizesFollowTheGeometryTable) {
    struct Row {
        int screen_width, screen_height;
        std::uint32_t width;
        bool rotate;
        std::uint32_t jpeg_width, jpeg_height;
    };
    for (const Row& row :
         {Row{800, 600, 160, false, 160, 120}, Row{1280, 1024, 160, false, 160, 128},
          Row{1280, 1024, 150, true, 124, 152}}) {
        SCOPED_TRACE(std::to_string(row.screen_width) + "x" + std::to_string(row.screen_height));
        const auto display = PatternDisplay(row.screen_width, row.screen_height);
        ASSERT_TRUE(display->ok());
        UseDisplay(*display);
        StartAndGrab(Imode(5, row.width, row.rotate));
        for (const char* name : {"vemo/vemosc.jpg", "vemo/vemosc44.jpg"}) {
            const DecodedJpeg jpeg = DecodeJpeg(dir_ / name);
            EXPECT_EQ(jpeg.width, row.jpeg_width) << name;
            EXPECT_EQ(jpeg.height, row.jpeg_height) << name;
        }
        capture_.Stop();
    }
}

TEST_F(ScreenCaptureTest, ColoursAreRightAtDepth16AndWithoutSharedMemory) {
    struct Kind {
        const char* name;
        int depth;
        std::vector<std::string> extra;
        int ramp_tolerance;
        const char* backend;
    };
    const Kind kinds[] = {
        {"depth 16", 16, {}, 16, "with MIT-SHM"},
        {"no MIT-SHM", 24, {"-extension", "MIT-SHM"}, 12, "without MIT-SHM"},
        {"depth 16, no MIT-SHM", 16, {"-extension", "MIT-SHM"}, 16, "without MIT-SHM"},
    };
    for (const Kind& kind : kinds) {
        SCOPED_TRACE(kind.name);
        const auto display = PatternDisplay(800, 600, kind.depth, kind.extra);
        ASSERT_TRUE(display->ok());
        UseDisplay(*display);
        StartAndGrab(Whole());
        EXPECT_NE(capture_.session().grabber->Describe().find(kind.backend), std::string::npos)
            << capture_.session().grabber->Describe();
        ExpectPattern(DecodeJpeg(dir_ / "vemo/vemosc1.jpg"), kind.ramp_tolerance);
        capture_.Stop();
        StartAndGrab(Imode(2, 160));
        ExpectColour(DecodeJpeg(dir_ / "vemo/vemosc10.jpg"), 80, 60, kRed);  // top-left tile
        capture_.Stop();
    }
}

TEST_F(ScreenCaptureTest, LostDisplayFailsTheGrabsButNotTheProcess) {
    const auto display = PatternDisplay(640, 480);
    ASSERT_TRUE(display->ok());
    UseDisplay(*display);
    StartAndGrab(Whole());
    const std::vector<std::uint8_t> picture = File("vemo/vemosc1.jpg");

    display->Kill();
    for (int i = 0; i < 3; ++i) {
        const ScreenGrabResult grab = Grab();
        EXPECT_FALSE(grab.ok);
        EXPECT_TRUE(grab.published.empty());
        EXPECT_NE(grab.error.find("lost"), std::string::npos) << grab.error;
        EXPECT_EQ(shared_status_block().screen_busy(), 0);
    }
    EXPECT_EQ(reports_.size(), 1u);  // reported once, not at every tick
    EXPECT_EQ(File("vemo/vemosc1.jpg"), picture);

    // The next start finds no display, says so, and grabs publish nothing.
    capture_.Stop();
    EXPECT_FALSE(Start(Whole()));
    EXPECT_EQ(reports_.size(), 2u);
    EXPECT_FALSE(Grab().ok);
    EXPECT_EQ(reports_.size(), 2u);
}

TEST_F(ScreenCaptureTest, WithoutADisplayTheFirstGrabReportsOnceAndGrabsPublishNothing) {
    unsetenv("DISPLAY");
    // A Wayland session asks the screen-cast portal, here on a bus that is
    // not there: the start waits for the answer, and its grab tells it.
    setenv("WAYLAND_DISPLAY", "wayland-test", 1);
    const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    const std::string saved_bus = bus != nullptr ? bus : "";
    setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus", 1);
    EXPECT_TRUE(Start(Imode(3, 160)));
    EXPECT_TRUE(reports_.empty());
    for (int i = 0; i < 2; ++i) {
        const ScreenGrabResult grab = Grab();
        EXPECT_FALSE(grab.ok);
        EXPECT_TRUE(grab.published.empty());
        EXPECT_EQ(shared_status_block().screen_busy(), 0);
    }
    unsetenv("WAYLAND_DISPLAY");
    if (bus != nullptr) {
        setenv("DBUS_SESSION_BUS_ADDRESS", saved_bus.c_str(), 1);
    } else {
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
    }
    ASSERT_EQ(reports_.size(), 1u);  // once, not at every tick
    EXPECT_NE(reports_[0].find("no screen-cast portal"), std::string::npos) << reports_[0];
    EXPECT_NE(reports_[0].find("cannot be captured"), std::string::npos) << reports_[0];
    EXPECT_TRUE(capture_.screen_on());
    EXPECT_EQ(File("vemo/screenon.gif"), File("vemo/bak/screenon.gif"));
    EXPECT_FALSE(Exists("vemo/vemosc.jpg"));
    capture_.Stop();
    EXPECT_EQ(File("vemo/vemosc.gif"), File("vemo/bak/vemoscoff.gif"));
}

TEST_F(ScreenCaptureTest, AResizedScreenIsFollowedByItself) {
    // Xephyr's screen changes size as a desktop's does (the suite's Xvfb cannot).
    const XvfbDisplay resizable(*display_, 640, 480);
    ASSERT_TRUE(resizable.ok()) << resizable.error();
    UseDisplay(resizable);
    ScreenSettings imode = Whole();
    imode.screen_one = 0;
    imode.screen_division = 3;
    StartAndGrab(imode);
    EXPECT_TRUE(Exists("vemo/vemosc22.jpg"));

    const auto xrandr =
        test::RunProcess({"/usr/bin/xrandr", "-s", "800x600"}, {"DISPLAY=" + resizable.name()});
    ASSERT_EQ(xrandr.exit_code, 0) << xrandr.err;
    const ScreenGrabResult resized = Grab();
    EXPECT_TRUE(resized.restarted);
    EXPECT_TRUE(resized.ok) << resized.error;
    EXPECT_EQ(capture_.session().geometry.screen_width, 800);
    EXPECT_EQ(capture_.session().geometry.screen_height, 600);
    EXPECT_TRUE(reports_.empty()) << reports_.front();
    const ScreenGrabResult next = Grab();
    EXPECT_FALSE(next.restarted) << "once for each change";
    EXPECT_TRUE(next.ok) << next.error;
    capture_.Stop();
    UseDisplay(*display_);
}

// Whether (x, y) lies in one of the changes' rectangles.
bool Covered(const screen::ScreenChanges& changes, int x, int y) {
    return std::any_of(changes.regions.begin(), changes.regions.end(), [&](const auto& r) {
        return x >= r.x && x < r.x + r.width && y >= r.y && y < r.y + r.height;
    });
}

TEST_F(ScreenCaptureTest, TheX11GrabberReportsWhatChangedSinceItsLastGrab) {
    using Kind = screen::ScreenChanges::Kind;
    const auto display = PatternDisplay(640, 480);
    ASSERT_TRUE(display->ok());
    UseDisplay(*display);
    test::RootInverter inverter(display->name());
    ASSERT_TRUE(inverter.ok());
    std::string error;
    const auto grabber = screen::OpenX11Grabber(true, error);
    ASSERT_TRUE(grabber) << error;
    EXPECT_NE(grabber->Describe().find("DAMAGE"), std::string::npos) << grabber->Describe();
    screen::GrabbedPixels pixels;
    screen::ScreenChanges changes;
    ASSERT_TRUE(grabber->Grab(pixels, changes, error)) << error;
    EXPECT_EQ(changes.kind, Kind::kUnknown);  // nothing to compare the first with
    EXPECT_EQ(grabber->PeekChanges().kind, Kind::kNothing);

    // Two changes, looked at in between without being taken; the grab
    // reports both, exactly where they are.
    inverter.Invert(10, 20, 30, 40);
    const screen::ScreenChanges seen = grabber->PeekChanges();
    ASSERT_EQ(seen.kind, Kind::kRegions);
    EXPECT_TRUE(Covered(seen, 10, 20) && Covered(seen, 39, 59));
    EXPECT_FALSE(Covered(seen, 9, 20) || Covered(seen, 40, 59) || Covered(seen, 39, 60));
    inverter.Invert(600, 400, 5, 5);
    ASSERT_TRUE(grabber->Grab(pixels, changes, error)) << error;
    ASSERT_EQ(changes.kind, Kind::kRegions);
    for (int y = 0; y < 480; y += 3) {
        for (int x = 0; x < 640; x += 3) {
            const bool changed = (x >= 10 && x < 40 && y >= 20 && y < 60) ||
                                 (x >= 600 && x < 605 && y >= 400 && y < 405);
            ASSERT_EQ(Covered(changes, x, y), changed) << x << "," << y;
        }
    }
    EXPECT_EQ(grabber->PeekChanges().kind, Kind::kNothing);
    ASSERT_TRUE(grabber->Grab(pixels, changes, error)) << error;
    EXPECT_EQ(changes.kind, Kind::kNothing);

    // Changes scattered into more rectangles than are worth checking one by
    // one count as a change anywhere.
    for (int i = 0; i < 70; ++i)
        inverter.Invert(7 * i, 5 * i, 2, 2);
    ASSERT_TRUE(grabber->Grab(pixels, changes, error)) << error;
    EXPECT_EQ(changes.kind, Kind::kUnknown);
    EXPECT_EQ(grabber->PeekChanges().kind, Kind::kNothing);
}

TEST_F(ScreenCaptureTest, WithoutDamageAStillScreenIsReadAndPublishedAgainUncoded) {
    const auto display = PatternDisplay(640, 480, 24, {"-extension", "DAMAGE"});
    ASSERT_TRUE(display->ok());
    UseDisplay(*display);
    StartAndGrab(Imode(2, 80));
    const std::string backend = capture_.session().grabber->Describe();
    EXPECT_EQ(backend.find("DAMAGE"), std::string::npos) << backend;
    EXPECT_EQ(capture_.session().grabber->PeekChanges().kind,
              screen::ScreenChanges::Kind::kUnknown);
    const ScreenGrabResult again = Grab();
    ASSERT_TRUE(again.ok) << again.error;
    EXPECT_EQ(again.coded, 0);
    EXPECT_EQ(again.republished, 10);
    EXPECT_GE(again.pixels_read, 640 * 480);  // every tile's digest
}

TEST_F(ScreenCaptureTest, FailedWriteKeepsThePreviousPicture) {
    StartAndGrab(Imode(2, 160));
    const std::vector<std::uint8_t> picture = File("vemo/vemosc.jpg");
    // A directory where the temporary file goes makes the write fail.
    fs::create_directory(dir_.path() / "vemo/tmpsc.jpg");
    for (int i = 0; i < 2; ++i) {
        const ScreenGrabResult grab = Grab();
        EXPECT_FALSE(grab.ok);
        EXPECT_NE(grab.error.find("vemo/tmpsc.jpg"), std::string::npos) << grab.error;
        EXPECT_EQ(shared_status_block().screen_busy(), 0);
    }
    EXPECT_EQ(reports_.size(), 1u);
    EXPECT_EQ(File("vemo/vemosc.jpg"), picture);
    fs::remove(dir_.path() / "vemo/tmpsc.jpg");
    EXPECT_TRUE(Grab().ok);
}

// vemoctl grab as an integrator runs it.
class GrabCommandTest : public ScreenCaptureTest {
  protected:
    test::ProcessResult Vemoctl(std::vector<std::string> arguments, bool with_display = true) {
        arguments.insert(arguments.begin(), VEMOCTL_PATH);
        std::vector<std::string> environment = {"VEMO_SETTINGS_FILE=" + (dir_ / "settings.ini")};
        if (with_display) {
            environment.push_back("DISPLAY=" + display_->name());
        } else {
            environment.insert(environment.end(),
                               {"DISPLAY=", "WAYLAND_DISPLAY=", "XDG_SESSION_TYPE="});
        }
        return test::RunProcess(arguments, environment);
    }
};

TEST_F(GrabCommandTest, PublishesIntoTheGivenDirectoryAndPrintsEveryFile) {
    const auto whole = Vemoctl({"grab", "--dir", dir_.path().string(), "--whole"});
    EXPECT_EQ(whole.exit_code, 0) << whole.err;
    EXPECT_EQ(whole.out, "vemo/screenon.gif\nvemo/vemosc1.jpg\n");
    EXPECT_EQ(DecodeJpeg(dir_ / "vemo/vemosc1.jpg").width, 1024u);

    const auto imode = Vemoctl({"grab", "--dir", dir_.path().string(), "--imode", "--division", "2",
                                "--width", "80", "--rotate", "--colors", "16", "--stop"});
    EXPECT_EQ(imode.exit_code, 0) << imode.err;
    EXPECT_EQ(imode.out,
              "vemo/screenon.gif\nvemo/vemosc.jpg\nvemo/vemosc.gif\n"
              "vemo/vemosc00.jpg\nvemo/vemosc00.gif\nvemo/vemosc01.jpg\nvemo/vemosc01.gif\n"
              "vemo/vemosc10.jpg\nvemo/vemosc10.gif\nvemo/vemosc11.jpg\nvemo/vemosc11.gif\n"
              "vemo/screenon.gif\nvemo/vemosc1.jpg\nvemo/vemosc.gif\n");
    EXPECT_FALSE(Exists("vemo/vemosc00.jpg"));  // the stop removed the tiles
    EXPECT_FALSE(Exists("settings.ini"));       // the options were not stored
}

TEST_F(GrabCommandTest, RefusesWhatItCannotDo) {
    const TempDir empty;
    struct Case {
        std::vector<std::string> arguments;
        bool with_display;
        const char* message;
        int exit_code;  // 1: the grab failed; 2: the command was wrongly given
    };
    const Case cases[] = {
        {{"grab", "--dir", empty.path().string()}, true, "does not exist", 1},
        {{"grab", "--dir", dir_.path().string()}, false, "no X display", 1},
        {{"grab", "--dir", dir_.path().string(), "--division", "11"}, true, "1 to 10", 2},
        {{"grab", "--dir", dir_.path().string(), "--width", "49"}, true, "50 to 200", 2},
        {{"grab", "--dir", dir_.path().string(), "--whole", "--imode"}, true, "exclude", 2},
    };
    for (const Case& c : cases) {
        const auto result = Vemoctl(c.arguments, c.with_display);
        EXPECT_EQ(result.exit_code, c.exit_code) << c.message;
        EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
        EXPECT_TRUE(result.out.empty()) << result.out;
    }
}

TEST_F(GrabCommandTest, AServerThatDoesNotAnswerEndsTheGrabWithAnError) {
    display_->Freeze(true);
    const auto result = Vemoctl({"grab", "--dir", dir_.path().string(), "--timeout", "1"});
    display_->Freeze(false);
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_NE(result.err.find("did not answer within 1 s"), std::string::npos) << result.err;
}

}  // namespace
}  // namespace vemo
