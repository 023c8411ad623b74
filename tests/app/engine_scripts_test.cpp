// Scripts and services drive the engine with nobody at its window: the real
// engine on the offscreen platform with test cameras, the real vemoctl, and
// QtDBus in this process for the properties and their signals, all on one
// private bus (the test runs under dbus-run-session).

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusReply>
#include <QObject>
#include <QVariantMap>

#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/engine_harness.h"

namespace vemo {
namespace {

using namespace std::chrono_literals;
using test::EngineProcess;
using test::WaitFor;

test::ProcessResult Vemoctl(std::vector<std::string> args) {
    args.insert(args.begin(), VEMOCTL_PATH);
    return test::RunProcess(args);
}

std::string LastLine(const std::string& text) {
    const std::size_t end = text.find_last_not_of('\n');
    const std::size_t start = text.rfind('\n', end);
    return text.substr(start == std::string::npos ? 0 : start + 1, end - start);
}

class EngineScriptsTest : public testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(install_.ok()); }

    test::EngineInstallation install_;
};

// Offscreen nobody can give a go-ahead: a plain start is refused at once and
// names --now, which records; the stop tells the statistics line.
TEST_F(EngineScriptsTest, RecordsFromAScriptWithoutADisplay) {
    install_.block().set_product_ready(1);
    install_.WriteSettings("[General]\ncamera_capture=1\n");
    EngineProcess engine(install_, "1", {"VEMO_TEST_CAMERAS=Desk|fps=30"});
    ASSERT_TRUE(WaitFor([] { return Vemoctl({"status"}).out.starts_with("Desk\n"); }))
        << engine.Errors();

    const auto unnamed = Vemoctl({"record", "start", "--now"});
    EXPECT_EQ(unnamed.exit_code, 1);
    EXPECT_EQ(unnamed.err, "vemoctl: record start: no capture file is named: name one first\n");
    const std::string file = (install_.dir() / "cap.avi").string();
    ASSERT_EQ(Vemoctl({"record", "file", file}).exit_code, 0);
    const auto asked = Vemoctl({"record", "start"});
    EXPECT_EQ(asked.exit_code, 1);
    EXPECT_NE(asked.err.find("no display to ask for the go-ahead"), std::string::npos) << asked.err;
    EXPECT_NE(asked.err.find("--now"), std::string::npos) << asked.err;
    EXPECT_FALSE(std::filesystem::exists(file));

    const auto started = Vemoctl({"record", "start", "--now"});
    EXPECT_EQ(started.exit_code, 0) << started.err;
    EXPECT_EQ(started.out, "recording to " + file + "\n");
    EXPECT_NE(Vemoctl({"status"}).out.find("\nrecording: running, into " + file + "\n"),
              std::string::npos);
    std::this_thread::sleep_for(1500ms);
    const auto stopped = Vemoctl({"record", "stop"});
    EXPECT_EQ(stopped.exit_code, 0) << stopped.err;
    EXPECT_TRUE(stopped.out.starts_with("Captured ")) << stopped.out;
    EXPECT_EQ(Vemoctl({"record", "stop"}).err, "vemoctl: record stop: no recording is running\n");
    const auto played = test::RunProcess({"/usr/bin/gst-launch-1.0", "-q", "filesrc",
                                          "location=" + file, "!", "avidemux", "!", "fakesink"});
    EXPECT_EQ(played.exit_code, 0) << played.err;
    EXPECT_EQ(engine.Stop(), 0);
    EXPECT_NE(engine.Errors().find("without the go-ahead"), std::string::npos) << engine.Errors();
}

// A --now start that fails answers its caller at once with the reason,
// while the box telling the window's user stays open (twenty seconds here):
// a camera of 1x1 pictures cannot be recorded into an AVI file.
TEST_F(EngineScriptsTest, AFailedStartAnswersBeforeItsBoxCloses) {
    const std::string dot = (install_.dir() / "dot.jpg").string();
    test::WriteTestJpeg(dot, 1, 1);
    install_.block().set_product_ready(1);
    install_.WriteSettings("[General]\ncamera_capture=1\n");
    EngineProcess engine(install_, "1",
                         {"VEMO_MESSAGE_NESTED=20000", "VEMO_TEST_CAMERAS=Dot|replay=" + dot});
    ASSERT_TRUE(WaitFor([] { return Vemoctl({"status"}).out.starts_with("Dot\n"); }))
        << engine.Errors();
    ASSERT_EQ(Vemoctl({"record", "file", install_.dir() / "cap.avi"}).exit_code, 0);
    const auto failed = Vemoctl({"record", "start", "--now"});
    EXPECT_EQ(failed.exit_code, 1);
    EXPECT_TRUE(failed.err.starts_with("vemoctl: record start: Cannot render video capture"))
        << failed.err;
    EXPECT_NE(Vemoctl({"status"}).out.find("Vemo : Cannot render video capture stream"),
              std::string::npos)
        << Vemoctl({"status"}).out;
    EXPECT_EQ(engine.Stop(), 0);
}

// While start-up waits on a box, the engine is on the bus already: status
// names the box and a command is refused with its text.
TEST_F(EngineScriptsTest, TheBusAnswersWhileStartUpWaitsOnABox) {
    // The product is not ready: its box stays "open" three seconds a time.
    EngineProcess engine(install_, "1", {"VEMO_MESSAGE_NESTED=3000", "VEMO_TEST_CAMERAS="});
    ASSERT_TRUE(WaitFor([] { return Vemoctl({"status"}).exit_code == 0; })) << engine.Errors();
    const std::string status = Vemoctl({"status"}).out;
    EXPECT_TRUE(status.starts_with("the engine is starting\n")) << status;
    EXPECT_TRUE(
        LastLine(status).starts_with("waiting: \"Vemo\" waits for an answer: Vemo : "
                                     "Corvexaが起動していません。"))
        << status;
    // Every property holds one of its documented values meanwhile.
    EXPECT_NE(test::RunProcess({"/usr/bin/dbus-send", "--session", "--print-reply",
                                "--dest=com.lumetra.Vemo", "/Engine",
                                "org.freedesktop.DBus.Properties.Get",
                                "string:com.lumetra.Vemo.Engine", "string:RecordingState"})
                  .out.find("string \"idle\""),
              std::string::npos);
    const auto refused = Vemoctl({"command", "15"});
    EXPECT_EQ(refused.exit_code, 1);
    EXPECT_TRUE(
        refused.err.starts_with("vemoctl: command: the engine is still starting: \"Vemo\" "
                                "waits for an answer: Vemo : Corvexa"))
        << refused.err;

    install_.block().set_product_ready(1);
    ASSERT_TRUE(WaitFor([] {
        return Vemoctl({"status"}).out.find("\ncamera: ") != std::string::npos;
    })) << engine.Errors();
    EXPECT_EQ(Vemoctl({"status"}).out.find("waiting:"), std::string::npos);
    EXPECT_EQ(engine.Stop(), 0);
}

// Receives PropertiesChanged in this process.
class PropertiesSpy : public QObject {
    Q_OBJECT
  public:
    QVariantMap changed;  // every change so far, the last value of each
  public slots:
    void Changed(const QString&, const QVariantMap& properties, const QStringList&) {
        for (auto entry = properties.cbegin(); entry != properties.cend(); ++entry)
            changed.insert(entry.key(), entry.value());
    }
};

TEST_F(EngineScriptsTest, PropertiesTellTheEngineStateAndSignalEachChange) {
    int argc = 1;
    char name[] = "engine_scripts_test";
    char* argv[] = {name, nullptr};
    QCoreApplication application(argc, argv);
    QDBusConnection bus = QDBusConnection::sessionBus();
    PropertiesSpy spy;
    ASSERT_TRUE(bus.connect("com.lumetra.Vemo", "/Engine", "org.freedesktop.DBus.Properties",
                            "PropertiesChanged", &spy,
                            SLOT(Changed(QString, QVariantMap, QStringList))));
    const auto changed_to = [&spy](const char* property, const QVariant& value) {
        return WaitFor([&] {
            QCoreApplication::processEvents();
            return spy.changed.value(property) == value;
        });
    };

    install_.block().set_product_ready(1);
    install_.WriteSettings("[General]\ncamera_capture=1\ncamera_timer=3\n");
    // On the test's X server: the dialog below needs a window to open on.
    EngineProcess engine(install_, "1", {"VEMO_TEST_CAMERAS=2", "QT_QPA_PLATFORM=xcb"});
    ASSERT_TRUE(changed_to("Ready", true)) << engine.Errors();
    // Plain calls: QDBusInterface would build (and keep) proxies of its own.
    const auto call = [&bus](const char* interface, const char* method,
                             const QVariantList& arguments = {}) {
        QDBusMessage message =
            QDBusMessage::createMethodCall("com.lumetra.Vemo", "/Engine", interface, method);
        message.setArguments(arguments);
        return bus.call(message);
    };
    const QDBusReply<QVariantMap> all =
        call("org.freedesktop.DBus.Properties", "GetAll", {"com.lumetra.Vemo.Engine"});
    ASSERT_TRUE(all.isValid()) << all.error().message().toStdString();
    EXPECT_EQ(all.value().value("CameraDevice"), "Test Camera 1");
    EXPECT_EQ(all.value().value("CameraPublishing"), true);
    EXPECT_EQ(all.value().value("CameraTimer"), 3u);
    EXPECT_EQ(all.value().value("ScreenBackend"), "x11");
    EXPECT_EQ(all.value().value("RecordingState"), "idle");
    const QDBusReply<QString> described = call("org.freedesktop.DBus.Introspectable", "Introspect");
    EXPECT_TRUE(described.value().contains("<property name=\"Waiting\" type=\"(ss)\""))
        << described.value().toStdString();

    // The camera switch, screen publishing, a device switch and a recording
    // each reach the signal.
    ASSERT_EQ(Vemoctl({"command", "15"}).exit_code, 0);
    EXPECT_TRUE(changed_to("CameraPublishing", false));
    ASSERT_EQ(Vemoctl({"command", "60"}).exit_code, 0);
    EXPECT_TRUE(changed_to("ScreenPublishing", true));
    ASSERT_EQ(Vemoctl({"command", "17"}).exit_code, 0);
    EXPECT_TRUE(changed_to("CameraDevice", "Test Camera 2"));
    EXPECT_TRUE(changed_to("Status", "Test Camera 2"));
    const std::string file = (install_.dir() / "cap.avi").string();
    ASSERT_EQ(Vemoctl({"record", "file", file}).exit_code, 0);
    EXPECT_TRUE(changed_to("CaptureFile", QString::fromStdString(file)));
    ASSERT_EQ(Vemoctl({"record", "start", "--now"}).exit_code, 0);
    EXPECT_TRUE(changed_to("RecordingState", "running"));
    ASSERT_EQ(Vemoctl({"record", "stop"}).exit_code, 0);
    EXPECT_TRUE(changed_to("RecordingState", "idle"));

    // The typed formats: (pixels, width, height, rate numerator, denominator).
    const QDBusMessage formats = call("com.lumetra.Vemo.Engine", "CameraFormatList");
    ASSERT_EQ(formats.type(), QDBusMessage::ReplyMessage) << formats.errorMessage().toStdString();
    EXPECT_EQ(formats.signature(), "a(suuuu)");
    const QDBusMessage controls = call("com.lumetra.Vemo.Engine", "CameraControlList");
    EXPECT_EQ(controls.signature(), "a(sssxxxxxba(xs))") << controls.errorMessage().toStdString();
    const QDBusArgument listed = formats.arguments().value(0).value<QDBusArgument>();
    bool found = false;
    listed.beginArray();
    while (!listed.atEnd()) {
        QString pixels;
        uint width = 0, height = 0, numerator = 0, denominator = 0;
        listed.beginStructure();
        listed >> pixels >> width >> height >> numerator >> denominator;
        listed.endStructure();
        found = found || (width == 1280 && height == 720 && numerator == 30 && denominator == 1);
    }
    listed.endArray();
    EXPECT_TRUE(found);

    // A dialog left open where nobody sees it is told, and status names it.
    ASSERT_EQ(Vemoctl({"command", "61"}).exit_code, 0);
    EXPECT_TRUE(WaitFor([&] {
        QCoreApplication::processEvents();
        QString title;
        const QVariant waiting = spy.changed.value("Waiting");
        if (waiting.canConvert<QDBusArgument>()) {
            const QDBusArgument structure = waiting.value<QDBusArgument>();
            structure.beginStructure();
            structure >> title;
            structure.endStructure();
        }
        return !title.isEmpty();
    }));
    EXPECT_NE(Vemoctl({"status"}).out.find("\nwaiting: \""), std::string::npos);
    EXPECT_EQ(engine.Stop(), 0);
}

// The command ids the engine acts on are the ones its documents list.
TEST(EngineDocuments, ListEveryCommandIdAndEveryBusMember) {
    const auto listed = Vemoctl({"command", "--list"});
    ASSERT_EQ(listed.exit_code, 0);
    std::ifstream readme_file(README_PATH), manual_file(VEMO_MAN_PAGE);
    std::stringstream readme, manual;
    readme << readme_file.rdbuf();
    manual << manual_file.rdbuf();
    std::istringstream lines(listed.out);
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        EXPECT_NE(readme.str().find(line), std::string::npos) << "README: " << line;
    }
    EXPECT_GE(count, 20);
    std::ifstream xml_file(INTERFACE_XML);
    std::stringstream xml;
    xml << xml_file.rdbuf();
    std::vector<std::string> members{"com.lumetra.Vemo.Error.Refused",
                                     "com.lumetra.Vemo.Error.Cancelled",
                                     "com.lumetra.Vemo.Error.Waiting"};
    const std::string text = xml.str();
    for (std::size_t at = 0; (at = text.find(" name=\"", at)) != std::string::npos; at += 7) {
        if (text.compare(at - 4, 4, "<arg") == 0) continue;
        const std::size_t start = at + 7;
        members.push_back(text.substr(start, text.find('"', start) - start));
    }
    EXPECT_GE(members.size(), 30u);
    for (const std::string& member : members) {
        EXPECT_TRUE(readme.str().find("`" + member + "`") != std::string::npos ||
                    readme.str().find("`" + member + "(") != std::string::npos)
            << "README: " << member;
        EXPECT_NE(manual.str().find(member), std::string::npos) << "vemo(1): " << member;
    }
}

}  // namespace
}  // namespace vemo

#include "engine_scripts_test.moc"
