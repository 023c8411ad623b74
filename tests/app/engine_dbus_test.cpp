// Other programs drive the vemo program over the session bus: the real
// engine with test cameras, the real vemoctl, and one private bus that this
// test, the engines and vemoctl share (the test runs under dbus-run-session).

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QObject>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "screen/xvfb_display.h"
#include "support/engine_harness.h"

namespace vemo {
namespace {

using namespace std::chrono_literals;
using test::EngineProcess;
using test::WaitFor;

test::ProcessResult Vemoctl(std::vector<std::string> args,
                            const std::vector<std::string>& environment = {}) {
    args.insert(args.begin(), VEMOCTL_PATH);
    return test::RunProcess(args, environment);
}

// One line on stderr; exit 1 for a failed operation, 2 for a usage error.
void ExpectOneLineError(const test::ProcessResult& result, const std::string& line_start,
                        int exit_code = 1) {
    EXPECT_EQ(result.exit_code, exit_code);
    EXPECT_EQ(result.err.rfind(line_start, 0), 0u) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    return lines;
}

// The engine's log lines: time stamp, category, text.
bool IsLogLine(const std::string& line) {
    static const QRegularExpression format(
        QRegularExpression::anchoredPattern(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3} [\w.]+: .+)"));
    return format.match(QString::fromStdString(line)).hasMatch();
}

// The lines of the engine's notice that it takes no commands.
std::vector<std::string> BusNotices(const std::string& errors) {
    std::vector<std::string> notices = Lines(errors);
    std::erase_if(notices, [](const std::string& line) {
        return line.find(": other programs cannot send the engine commands") == std::string::npos;
    });
    return notices;
}

class EngineDBusTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(install_.ok());
        install_.block().set_product_ready(1);
    }

    std::unique_ptr<EngineProcess> Start(const test::EngineInstallation& install,
                                         const std::string& settings,
                                         std::vector<std::string> environment = {}) {
        install.WriteSettings(settings);
        environment.push_back("VEMO_TEST_CAMERAS=2");
        return std::make_unique<EngineProcess>(install, "1", environment);
    }

    // The status bar's text, the first line `vemoctl status` prints.
    bool StatusIs(const std::string& text) {
        return Vemoctl({"status"}).out.starts_with(text + "\n");
    }

    std::string Settings() const {
        const auto bytes = test::ReadBytes((install_.dir() / "settings.ini").string());
        return {bytes.begin(), bytes.end()};
    }

    test::EngineInstallation install_;
};

TEST_F(EngineDBusTest, CarriesCommandsAsTheMenuDoes) {
    ExpectOneLineError(Vemoctl({"status"}), "vemoctl: no running engine\n");

    const auto engine = Start(install_, "[General]\ncamera_capture=1\n");
    ASSERT_TRUE(WaitFor([&] { return StatusIs("Test Camera 1"); })) << engine->Errors();
    ASSERT_TRUE(WaitFor(
        [&] { return install_.Published("cameraon.gif") == install_.Bak("cameraon.gif"); }));

    // The camera switch, as File > Camera does it.
    const auto off = Vemoctl({"command", "15"});
    EXPECT_EQ(off.exit_code, 0) << off.err;
    EXPECT_TRUE(WaitFor(
        [&] { return install_.Published("cameraon.gif") == install_.Bak("cameraoff.gif"); }));
    EXPECT_TRUE(WaitFor([&] { return Settings().find("camera_capture=0") != std::string::npos; }))
        << Settings();

    // The camera properties dialog is modal: the call is answered before it
    // opens, and the engine answers the next one while it is open.
    const auto dialog = Vemoctl({"command", "61"});
    EXPECT_EQ(dialog.exit_code, 0) << dialog.err;
    EXPECT_TRUE(StatusIs("Test Camera 1"));
    EXPECT_EQ(Vemoctl({"command", "13"}).exit_code, 0);  // does nothing

    ExpectOneLineError(Vemoctl({"record", "file", "/" + std::string(299, 'a')}),
                       "vemoctl: record file: ");
    ExpectOneLineError(Vemoctl({"record", "file", "/tmp/two\nlines.avi"}),
                       "vemoctl: record file: the name holds a control character\n");
    ASSERT_EQ(Vemoctl({"record", "file", install_.dir() / "a \"b\\c.avi"}).exit_code, 0);
    EXPECT_NE(
        Vemoctl({"status"})
            .out.find("; capture file \"" + install_.dir().string() + "/a \\\"b\\\\c.avi\"\n"),
        std::string::npos)
        << Vemoctl({"status"}).out;
    ExpectOneLineError(Vemoctl({"command", "65536"}), "vemoctl: command: ", 2);
    ExpectOneLineError(Vemoctl({"command", "x"}), "vemoctl: command: ", 2);

    // A shell without VEMO_SETTINGS_FILE sets the file the engine reads.
    const auto set = Vemoctl({"settings", "set", "camera_timer", "9"},
                             {"VEMO_SETTINGS_FILE", "XDG_CONFIG_HOME=" + install_.dir().string()});
    EXPECT_EQ(set.out, "applied to the running engine\n") << set.err;
    EXPECT_NE(Settings().find("camera_timer=9"), std::string::npos) << Settings();

    EXPECT_EQ(Vemoctl({"command", "4"}).exit_code, 0);
    EXPECT_EQ(engine->Wait(), 0) << engine->Errors();
    EXPECT_EQ(install_.block().engine_running(), 0);
    ExpectOneLineError(Vemoctl({"record", "start"}), "vemoctl: no running engine\n");
}

// Receives StatusTextChanged in this process.
class StatusTextSpy : public QObject {
    Q_OBJECT
  public:
    QStringList texts;
  public slots:
    void Changed(const QString& text) { texts << text; }
};

TEST_F(EngineDBusTest, TellsEachNewStatusText) {
    int argc = 1;
    char name[] = "engine_dbus_test";
    char* argv[] = {name, nullptr};
    QCoreApplication application(argc, argv);
    QDBusConnection bus = QDBusConnection::sessionBus();
    ASSERT_TRUE(bus.isConnected());
    StatusTextSpy spy;
    ASSERT_TRUE(bus.connect("com.lumetra.Vemo", "/Engine", "com.lumetra.Vemo.Engine",
                            "StatusTextChanged", &spy, SLOT(Changed(QString))));

    const auto engine = Start(install_, "[General]\ncamera_capture=1\n");
    ASSERT_TRUE(WaitFor([&] { return StatusIs("Test Camera 1"); })) << engine->Errors();
    // The second camera from the Devices menu.
    EXPECT_EQ(Vemoctl({"command", "17"}).exit_code, 0);
    EXPECT_TRUE(WaitFor([&] {
        QCoreApplication::processEvents();
        return spy.texts.contains("Test Camera 2");
    })) << spy.texts.join('|').toStdString();
    EXPECT_TRUE(StatusIs("Test Camera 2"));
    EXPECT_EQ(engine->Stop(), 0);
}

TEST_F(EngineDBusTest, RunsOnWithoutTheService) {
    const auto first = Start(install_, "[General]\ncamera_capture=0\n");
    ASSERT_TRUE(WaitFor([&] { return Vemoctl({"status"}).exit_code == 0; })) << first->Errors();

    // A second engine (another installation) finds the name taken.
    test::EngineInstallation other;
    ASSERT_TRUE(other.ok());
    other.block().set_product_ready(1);
    const auto second = Start(other, "[General]\ncamera_capture=0\n");
    ASSERT_TRUE(WaitFor([&] { return !BusNotices(second->Errors()).empty(); })) << second->Errors();
    // The name is tried before start-up claims the record: wait for the claim.
    EXPECT_TRUE(WaitFor([&] { return other.block().engine_running() == 1; }));
    EXPECT_EQ(Vemoctl({"status"}).exit_code, 0) << "the first engine still answers";
    EXPECT_EQ(second->Stop(), 0);
    const std::vector<std::string> taken = BusNotices(second->Errors());
    ASSERT_EQ(taken.size(), 1u) << second->Errors();
    EXPECT_TRUE(IsLogLine(taken[0])) << taken[0];
    EXPECT_NE(taken[0].find(" vemo.command: com.lumetra.Vemo is already taken on the session bus"),
              std::string::npos)
        << taken[0];

    // No bus at all, and no display either: Qt says so while it starts, in
    // the same format as the engine's own lines.
    const std::vector<std::string> no_bus{"DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/bus"};
    std::vector<std::string> no_display = no_bus;
    no_display.insert(no_display.end(), {"DISPLAY=", "QT_QPA_PLATFORM=xcb;offscreen"});
    const auto alone = Start(other, "[General]\ncamera_capture=0\n", no_display);
    ASSERT_TRUE(WaitFor([&] { return !BusNotices(alone->Errors()).empty(); })) << alone->Errors();
    EXPECT_TRUE(WaitFor([&] { return other.block().engine_running() == 1; }));
    EXPECT_EQ(alone->Stop(), 0);
    const std::vector<std::string> alone_notices = BusNotices(alone->Errors());
    ASSERT_EQ(alone_notices.size(), 1u) << alone->Errors();
    EXPECT_NE(alone_notices[0].find(" vemo.command: no D-Bus session bus"), std::string::npos)
        << alone_notices[0];
    EXPECT_NE(alone->Errors().find(" qt.qpa.xcb: could not connect to display"), std::string::npos)
        << alone->Errors();
    for (const std::string& line : Lines(alone->Errors()))
        EXPECT_TRUE(IsLogLine(line)) << line;
    ExpectOneLineError(Vemoctl({"status"}, no_bus), "vemoctl: no running engine\n");

    EXPECT_EQ(first->Stop(), 0);
}

// xdotool on `display`: searches a window by its title, or presses keys into
// the focused window through the X keymap, as a person at the keyboard would.
test::ProcessResult Xdotool(const std::string& display, std::vector<std::string> args) {
    args.insert(args.begin(), "/usr/bin/xdotool");
    return test::RunProcess(args, {"DISPLAY=" + display});
}

TEST_F(EngineDBusTest, RecordsFromTheCommandLineWithTheGoAheadFromTheKeyboard) {
    // A real X display, so that the dialogs take the keyboard.
    test::XvfbDisplay display(800, 600, 24);
    ASSERT_TRUE(display.ok()) << display.error();
    install_.WriteSettings("[General]\ncamera_capture=1\n");
    EngineProcess engine(
        install_, "1",
        {"VEMO_TEST_CAMERAS=Desk|fps=30", "QT_QPA_PLATFORM=xcb", "DISPLAY=" + display.name()});
    ASSERT_TRUE(WaitFor([&] { return StatusIs("Desk"); })) << engine.Errors();

    const std::string file = (install_.dir() / "cap.avi").string();
    ASSERT_EQ(Vemoctl({"record", "file", file}).exit_code, 0);
    // The start answers once the go-ahead is given or refused in the window.
    const auto answer_dialog = [&](const char* key) {
        auto started = std::async(std::launch::async, [] { return Vemoctl({"record", "start"}); });
        EXPECT_TRUE(WaitFor([&] {
            return Xdotool(display.name(), {"search", "--name", "Ready to Capture"}).exit_code == 0;
        })) << engine.Errors();
        EXPECT_EQ(started.wait_for(0s), std::future_status::timeout);
        EXPECT_NE(Vemoctl({"status"}).out.find("\nrecording: held for its go-ahead"),
                  std::string::npos);
        EXPECT_EQ(Xdotool(display.name(), {"key", key}).exit_code, 0);
        return started.get();
    };
    ExpectOneLineError(answer_dialog("Escape"),
                       "vemoctl: record start: cancelled in the engine's window\n");
    const auto started = answer_dialog("Return");
    EXPECT_EQ(started.exit_code, 0) << started.err;
    EXPECT_EQ(started.out, "recording to " + file + "\n");
    // While it records, status tells into which file.
    EXPECT_TRUE(WaitFor([&] {
        const std::vector<std::string> lines = Lines(Vemoctl({"status"}).out);
        return lines.size() > 2 && lines[1] == "recording to " + file;
    })) << Vemoctl({"status"}).out;
    std::this_thread::sleep_for(1500ms);
    const auto stopped = Vemoctl({"record", "stop"});
    EXPECT_EQ(stopped.exit_code, 0) << stopped.err;
    EXPECT_TRUE(stopped.out.starts_with("Captured ")) << stopped.out;
    EXPECT_TRUE(StatusIs(stopped.out.substr(0, stopped.out.size() - 1))) << Vemoctl({"status"}).out;
    EXPECT_EQ(Lines(Vemoctl({"status"}).out)[1], "camera: Desk, publishing every 5 s")
        << "no recording, no recording line";
    const auto played = test::RunProcess({"/usr/bin/gst-launch-1.0", "-q", "filesrc",
                                          "location=" + file, "!", "avidemux", "!", "fakesink"});
    EXPECT_EQ(played.exit_code, 0) << played.err;

    // The frame rate dialog opens and the caller goes on.
    ASSERT_EQ(Vemoctl({"command", "14"}).exit_code, 0);
    EXPECT_TRUE(WaitFor([&] {
        return Xdotool(display.name(), {"search", "--name", "Choose Frame Rate"}).exit_code == 0;
    })) << engine.Errors();
    ASSERT_EQ(Xdotool(display.name(), {"key", "Escape"}).exit_code, 0);
    EXPECT_EQ(Vemoctl({"command", "4"}).exit_code, 0);
    EXPECT_EQ(engine.Wait(), 0) << engine.Errors();
}

// A copy of the recording (command 37) cut short by the engine's end, asked
// for (SIGTERM) or not (SIGKILL): nothing under the chosen name, nothing
// beside it.
TEST_F(EngineDBusTest, ACopyCutShortByTheEndOfTheEngineLeavesNoFile) {
    // Sparse, so that it costs no disk yet takes the copy a while.
    const std::filesystem::path source = install_.dir() / "big.avi";
    test::WriteBytes(source.string(), {'x'});
    std::filesystem::resize_file(source, std::uint64_t{8} << 30);
    const std::filesystem::path copies = install_.dir() / "copies";
    std::filesystem::create_directory(copies);
    install_.WriteSettings("[General]\ncamera_capture=0\n");
    for (const int signal : {SIGTERM, SIGKILL}) {
        SCOPED_TRACE(signal);
        EngineProcess engine(
            install_, "1",
            {"VEMO_TEST_CAMERAS=", "VEMO_FILE_ANSWERS=" + (copies / "copy.avi").string()});
        ASSERT_TRUE(WaitFor([&] { return Vemoctl({"status"}).exit_code == 0; })) << engine.Errors();
        ASSERT_EQ(Vemoctl({"record", "file", source.string()}).exit_code, 0);
        ASSERT_EQ(Vemoctl({"command", "37"}).exit_code, 0);
        ASSERT_TRUE(WaitFor([&] {
            return Vemoctl({"status"}).out.starts_with("Save File Progress: ");
        })) << Vemoctl({"status"}).out
            << engine.Errors();
        kill(engine.pid(), signal);
        EXPECT_EQ(engine.Wait(), signal == SIGTERM ? 0 : 128 + SIGKILL) << engine.Errors();
        EXPECT_TRUE(std::filesystem::is_empty(copies));
        if (signal == SIGTERM) {
            EXPECT_EQ(install_.block().engine_running(), 0);
        }
    }
}

TEST_F(EngineDBusTest, AdjustsTheCameraFromTheCommandLine) {
    const auto engine = Start(install_, "[General]\ncamera_capture=1\n");
    ASSERT_TRUE(WaitFor([&] { return StatusIs("Test Camera 1"); })) << engine->Errors();
    const auto controls = Vemoctl({"camera", "controls"});
    ASSERT_EQ(controls.exit_code, 0) << controls.err;
    EXPECT_NE(controls.out.find("brightness=128 (0..255 step 1, default 128)\n"), std::string::npos)
        << controls.out;
    EXPECT_EQ(Vemoctl({"camera", "set", "brightness", "200"}).exit_code, 0);
    EXPECT_NE(Vemoctl({"camera", "controls"}).out.find("brightness=200 "), std::string::npos);
    ExpectOneLineError(Vemoctl({"camera", "set", "loudness", "1"}),
                       "vemoctl: camera set: the camera has no control loudness");
    // A value the control cannot take is the caller's mistake, named with
    // the range; the control keeps its value.
    for (const char* value : {"999", "-1", "256", "abc", "1.5", ""}) {
        ExpectOneLineError(Vemoctl({"camera", "set", "brightness", value}),
                           "vemoctl: camera set: brightness takes a whole number from 0 to 255, "
                           "not '" +
                               std::string(value) + "'",
                           2);
    }
    ExpectOneLineError(Vemoctl({"camera", "set", "hue", "-500"}),
                       "vemoctl: camera set: hue takes a whole number from -180 to 180", 2);
    EXPECT_EQ(Vemoctl({"camera", "set", "hue", "-180"}).exit_code, 0);
    ExpectOneLineError(Vemoctl({"camera", "set", "test_pattern", "Plaid"}),
                       "vemoctl: camera set: test_pattern takes one of its menu's items", 2);
    EXPECT_NE(Vemoctl({"camera", "controls"}).out.find("brightness=200 "), std::string::npos);

    // The test pattern's menu: items "N label", each label once, none with
    // a comma (the list's separator).
    const std::string listed = Vemoctl({"camera", "controls"}).out;
    const std::size_t pattern = listed.find("test_pattern=");
    ASSERT_NE(pattern, std::string::npos) << listed;
    const std::size_t open = listed.find(" [", pattern), close = listed.find("]\n", pattern);
    ASSERT_LT(open, close);
    std::vector<std::string> labels;
    const std::string items = listed.substr(open + 2, close - open - 2) + ", ";
    for (std::size_t at = 0, end; (end = items.find(", ", at)) != std::string::npos; at = end + 2) {
        const std::string item = items.substr(at, end - at);
        const std::size_t space = item.find(' ');
        EXPECT_TRUE(space != std::string::npos && space > 0 &&
                    item.find_first_not_of("0123456789") == space)
            << item;
        labels.push_back(item.substr(space + 1));
    }
    EXPECT_GT(labels.size(), 10u);
    std::sort(labels.begin(), labels.end());
    EXPECT_EQ(std::adjacent_find(labels.begin(), labels.end()), labels.end()) << items;
    EXPECT_EQ(Vemoctl({"camera", "set", "test_pattern", "Moving ball"}).exit_code, 0);

    // Smaller sizes first, and at one size the slower rates first.
    const auto formats = Vemoctl({"camera", "formats"});
    EXPECT_NE(formats.out.find("1280x720@30 YUY2\n"), std::string::npos) << formats.out;
    std::vector<std::tuple<int, int, double>> order;
    for (const std::string& line : Lines(formats.out)) {
        int width = 0, height = 0;
        double rate = 0;
        ASSERT_GE(std::sscanf(line.c_str(), "%dx%d@%lf", &width, &height, &rate), 3) << line;
        order.emplace_back(width, height, rate);
    }
    EXPECT_GT(order.size(), 2u);
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end())) << formats.out;
    ExpectOneLineError(Vemoctl({"camera", "format", "640x480@fast"}),
                       "vemoctl: camera format: a format is WIDTHxHEIGHT", 2);
    ASSERT_EQ(Vemoctl({"camera", "format", "1280x720@15"}).exit_code, 0);
    EXPECT_TRUE(WaitFor([&] {
        return test::DecodeJpeg((install_.dir() / "vemo/vemo.jpg").string()).width == 1280;
    }));
    ExpectOneLineError(Vemoctl({"camera", "format", "1000x1000"}),
                       "vemoctl: camera format: the camera does not offer 1000x1000");
    EXPECT_EQ(engine->Stop(), 0);

    // Without a camera.
    test::EngineInstallation bare;
    bare.block().set_product_ready(1);
    bare.WriteSettings("[General]\ncamera_capture=0\n");
    EngineProcess alone(bare, "1", {"VEMO_TEST_CAMERAS="});
    ASSERT_TRUE(WaitFor([&] { return Vemoctl({"status"}).exit_code == 0; })) << alone.Errors();
    ExpectOneLineError(Vemoctl({"camera", "controls"}), "vemoctl: camera controls: no camera");
    EXPECT_EQ(alone.Stop(), 0);
}

}  // namespace
}  // namespace vemo

#include "engine_dbus_test.moc"
