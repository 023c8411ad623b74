// The engine with no display, no window and no desktop: a scripted face
// answers its questions, a test camera stands in for a camera, and the
// settings file and published pictures are real files.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QThread>
#include <QVariantMap>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "bus/engine_service.h"
#include "devices/test_cameras.h"
#include "engine/camera_controller.h"
#include "engine/engine.h"
#include "settings/settings_model.h"
#include "support/private_bus.h"
#include "support/test_support.h"

namespace vemo {
namespace {

using namespace std::chrono_literals;

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = 10s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        if (condition()) return true;
        QThread::msleep(5);
    }
    return condition();
}

// Answers as the test says and remembers what it was asked.
class ScriptedFace : public EngineFace {
  public:
    int ShowMessage(const MessageRequest& request) override {
        messages.push_back(request.text);
        return kMessageOk;
    }
    GoAhead AskGoAhead(const std::string& file_name) override {
        asked_go_ahead.push_back(file_name);
        if (while_asked) while_asked();
        return go_ahead;
    }
    void CancelGoAhead() override { ++cancels; }
    void EditSettings(SettingsPage page) override { pages.push_back(page); }
    void Close() override { ++closes; }
    std::optional<Waiting> ModalWaiting() const override { return modal; }

    std::vector<std::string> messages;
    std::vector<std::string> asked_go_ahead;
    GoAhead go_ahead{true, {}};
    std::function<void()> while_asked;
    int cancels = 0;
    std::vector<SettingsPage> pages;
    int closes = 0;
    std::optional<Waiting> modal;
};

class EngineCoreTest : public testing::Test {
  protected:
    void SetUp() override {
        previous_dir_ = std::filesystem::current_path();
        std::filesystem::create_directories(dir_.path() / "vemo");
        std::filesystem::current_path(dir_.path());
        setenv("VEMO_SETTINGS_FILE", (dir_ / "settings.ini").c_str(), 1);
        TestCameraConfig camera;
        camera.name = "Test Camera 1";
        ASSERT_FALSE(PlugTestCamera(camera).empty());
        WriteSetting(SETTING_CAMERA_CAPTURE, 1);
        WriteSetting(SETTING_CAMERA_TIMER, 1);
        engine_.emplace(face_);
        QObject::connect(&*engine_, &Engine::changed, [this] { ++changes_; });
        engine_->Start();
    }
    void TearDown() override {
        engine_->Close();
        engine_.reset();
        UnplugAllTestCameras();
        std::filesystem::current_path(previous_dir_);
    }
    RecorderState Recording() { return engine_->Snapshot().recording; }
    // A start as another program makes it; its answer.
    EngineAnswer Start(bool ask) {
        engine_->state().capture_file.capture_file_name = dir_ / "take.avi";
        std::optional<EngineAnswer> answer;
        engine_->StartRecording(ask, [&](const EngineAnswer& a) { answer = a; });
        EXPECT_TRUE(WaitFor([&] { return answer.has_value(); }));
        return answer.value_or(EngineAnswer::Refused("no answer"));
    }

    test::TempDir dir_;
    std::filesystem::path previous_dir_;
    ScriptedFace face_;
    std::optional<Engine> engine_;
    int changes_ = 0;
};

TEST_F(EngineCoreTest, CommandsRunThroughOneDispatchAndTheSnapshotFollows) {
    const EngineSnapshot started = engine_->Snapshot();
    EXPECT_TRUE(started.camera_on);
    ASSERT_EQ(started.devices.size(), 1u);
    EXPECT_EQ(started.devices[0].id, kCmdFirstDevice);
    EXPECT_TRUE(started.devices[0].checked);
    EXPECT_EQ(started.status, "Test Camera 1");
    EXPECT_EQ(engine_->cameraTimer().interval(), 1000);

    changes_ = 0;
    engine_->OnCommand(kCmdCamera);
    EXPECT_FALSE(engine_->Snapshot().camera_on);
    EXPECT_EQ(ReadSetting(SETTING_CAMERA_CAPTURE), 0u);
    EXPECT_GT(changes_, 0) << "the faces are told";
    engine_->OnCommand(kCmdCameraProperties);
    engine_->OnCommand(kCmdScreenProperties);
    EXPECT_EQ(face_.pages, (std::vector{SettingsPage::kCamera, SettingsPage::kScreen}));
    engine_->OnCommand(3);
    engine_->OnCommand(64);
    engine_->OnCommand(kCmdClose);
    EXPECT_EQ(face_.closes, 1);

    // Another program's command waits while the face waits for an answer.
    face_.modal = Waiting{"Vemo", "a box"};
    engine_->PostCommand(kCmdCamera);
    WaitFor([] { return false; }, 200ms);
    EXPECT_FALSE(engine_->Snapshot().camera_on);
    EXPECT_FALSE(engine_->NotWaiting("record"));
    face_.modal.reset();
    EXPECT_TRUE(WaitFor([&] { return engine_->Snapshot().camera_on; }));
    EXPECT_TRUE(face_.messages.empty());
}

TEST_F(EngineCoreTest, ARecordingGoesThroughItsStatesWhateverTheFaceAnswers) {
    // Refused by a face that cannot ask: nothing is held, the reason reaches
    // the caller.
    face_.go_ahead = {false, "nobody can answer"};
    const EngineAnswer refused = Start(true);
    EXPECT_EQ(refused.refusal, EngineAnswer::Refusal::kRefused);
    EXPECT_EQ(refused.text, "nobody can answer");
    EXPECT_EQ(Recording(), RecorderState::kIdle);

    // A refusal keeps its reason, on one line, to the caller.
    const std::string gone = dir_ / "gone/take.avi";
    engine_->state().capture_file.capture_file_name = gone;
    std::optional<EngineAnswer> missing;
    engine_->StartRecording(false, [&](const EngineAnswer& a) { missing = a; });
    ASSERT_TRUE(WaitFor([&] { return missing.has_value(); }));
    EXPECT_EQ(missing->text, "Cannot set output file: " + gone + ": No such file or directory");

    // A stop while the go-ahead is asked cancels the start.
    face_.go_ahead = {false, {}};
    face_.while_asked = [&] {
        EXPECT_EQ(Recording(), RecorderState::kHeld);
        std::optional<EngineAnswer> stopped;
        engine_->StopRecording([&](const EngineAnswer& a) { stopped = a; });
        ASSERT_TRUE(stopped && stopped->ok());
        EXPECT_GE(face_.cancels, 1);
    };
    EXPECT_EQ(Start(true).refusal, EngineAnswer::Refusal::kCancelled);
    EXPECT_EQ(Recording(), RecorderState::kIdle);

    // Given: it runs; two stops, the second while finishing, both hear the
    // statistics line once the file is whole.
    face_.go_ahead = {true, {}};
    face_.while_asked = nullptr;
    const EngineAnswer started = Start(true);
    ASSERT_TRUE(started.ok()) << started.text;
    EXPECT_EQ(Recording(), RecorderState::kRecording);
    EXPECT_EQ(engine_->Snapshot().recording_file, dir_ / "take.avi");
    WaitFor([] { return false; }, 1s);
    std::vector<EngineAnswer> lines;
    // The second stop runs once the first has begun finishing: both are
    // queued behind the caller, in order.
    engine_->StopRecording([&](const EngineAnswer& a) { lines.push_back(a); });
    engine_->StopRecording([&](const EngineAnswer& a) { lines.push_back(a); });
    ASSERT_TRUE(WaitFor([&] { return lines.size() == 2; }));
    EXPECT_EQ(Recording(), RecorderState::kIdle);
    EXPECT_TRUE(lines[0].ok() && lines[1].ok());
    EXPECT_EQ(lines[0].text, lines[1].text);
    EXPECT_NE(lines[0].text.find("frames"), std::string::npos) << lines[0].text;
    EXPECT_EQ(engine_->status().toStdString(), lines[0].text);
    EXPECT_FALSE(engine_->Snapshot().recording_file.size());
}

TEST_F(EngineCoreTest, SettingsApplyInOneStepEachAsItNeeds) {
    // Values outside their range come into it as they are read.
    WriteSetting(SETTING_SCREEN_DIVISION, 40);
    WriteSetting(SETTING_CAMERA_TIMER, 0);
    const Settings read = ReadSettings();
    EXPECT_EQ(read.Get(SETTING_SCREEN_DIVISION), 10u);
    EXPECT_EQ(read.Get(SETTING_CAMERA_TIMER), 1u);

    Settings now = engine_->settings();
    now.Set(SETTING_CAMERA_TIMER, 9);
    now.Set(SETTING_SCREEN_TIMER, 7);
    engine_->ApplySettings(now);
    EXPECT_EQ(engine_->cameraTimer().interval(), 9000) << "re-armed while the preview runs";
    EXPECT_FALSE(engine_->screenTimer().isActive()) << "nothing while the screen is off";
    EXPECT_EQ(engine_->state().screen.screen_timer, 7u);
    EXPECT_EQ(ReadSetting(SETTING_CAMERA_TIMER), 9u);
    EXPECT_EQ(ReadSetting(SETTING_SCREEN_DIVISION), 40u) << "only what changed is written";

    // The screen switched on without a display to grab: said once, and
    // screen publishing is not claimed; the File menu stores off.
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    engine_->OnCommand(kCmdScreen);
    EXPECT_FALSE(engine_->Snapshot().screen_on);
    ASSERT_EQ(face_.messages.size(), 1u);
    EXPECT_EQ(ReadSetting(SETTING_SCREEN_CAPTURE), 0u);
    // From the settings: refused with the same why, the choice stored for the
    // next start, and not tried again at every other change.
    now = engine_->settings();
    now.Set(SETTING_SCREEN_CAPTURE, 1);
    const EngineAnswer screen = engine_->ApplySettings(now);
    EXPECT_FALSE(screen.ok());
    EXPECT_EQ("Vemo : " + screen.text, face_.messages.back());
    EXPECT_EQ(ReadSetting(SETTING_SCREEN_CAPTURE), 1u);
    now.Set(SETTING_SCREEN_TIMER, 3);
    EXPECT_TRUE(engine_->ApplySettings(now).ok());
    EXPECT_EQ(face_.messages.size(), 2u);
    // camera_capture switches the camera as command 15 does.
    now.Set(SETTING_CAMERA_CAPTURE, 0);
    EXPECT_TRUE(engine_->ApplySettings(now).ok());
    EXPECT_FALSE(engine_->Snapshot().camera_on);
    now.Set(SETTING_CAMERA_CAPTURE, 1);
    EXPECT_TRUE(engine_->ApplySettings(now).ok());
    EXPECT_TRUE(engine_->Snapshot().camera_on);
}

TEST_F(EngineCoreTest, WithoutACameraTheCameraSwitchSaysSo) {
    engine_->Close();
    engine_.reset();
    UnplugAllTestCameras();
    engine_.emplace(face_);
    engine_->Start();
    ASSERT_EQ(face_.messages, std::vector<std::string>{"Vemo : カメラが見つかりません"});
    engine_->OnCommand(kCmdCamera);
    EXPECT_FALSE(engine_->Snapshot().camera_on);
    EXPECT_EQ(face_.messages.size(), 2u) << "said again, and nothing claimed";
    Settings now = engine_->settings();
    now.Set(SETTING_CAMERA_CAPTURE, 1);
    EXPECT_EQ(engine_->ApplySettings(now).text, "カメラが見つかりません");
}

// What another program sees change on the engine's object.
class PropertiesSpy : public QObject {
    Q_OBJECT
  public:
    QVariantMap seen;
  public slots:
    void Changed(const QString&, const QVariantMap& changed, const QStringList&) {
        seen.insert(changed);
    }
};

TEST_F(EngineCoreTest, TheBusFaceShowsTheCoreAndTellsEachChange) {
    const test::PrivateBus bus(dir_);
    ASSERT_FALSE(bus.address().empty());
    // Read by the service's connection, which nothing in this process made before.
    setenv("DBUS_SESSION_BUS_ADDRESS", bus.address().c_str(), 1);
    EngineService service;
    service.Attach(*engine_);
    QDBusConnection other =
        QDBusConnection::connectToBus(QString::fromStdString(bus.address()), "other");
    PropertiesSpy spy;
    ASSERT_TRUE(other.connect("com.lumetra.Vemo", "/Engine", "org.freedesktop.DBus.Properties",
                              "PropertiesChanged", &spy,
                              SLOT(Changed(QString, QVariantMap, QStringList))));

    // A change made on the core reaches the bus as a property change.
    engine_->OnCommand(kCmdCamera);
    EXPECT_TRUE(WaitFor([&] {
        return spy.seen.contains("CameraPublishing") && !spy.seen["CameraPublishing"].toBool();
    }));
    // A command from the bus reaches the core and comes back as one.
    // Asynchronous: the service answers on this thread.
    QDBusMessage command = QDBusMessage::createMethodCall("com.lumetra.Vemo", "/Engine",
                                                          "com.lumetra.Vemo.Engine", "Command");
    command << uint{kCmdCamera};
    const QDBusPendingCall call = other.asyncCall(command);
    ASSERT_TRUE(WaitFor([&] { return call.isFinished(); }));
    EXPECT_FALSE(call.isError()) << call.error().message().toStdString();
    EXPECT_TRUE(engine_->Snapshot().camera_on);
    EXPECT_TRUE(WaitFor([&] { return spy.seen.value("CameraPublishing").toBool(); }));
    EXPECT_EQ(spy.seen.value("Status").toString(), engine_->status());
    QDBusConnection::disconnectFromBus("other");
}

}  // namespace
}  // namespace vemo

int main(int argc, char** argv) {
    // No display of any kind: the engine needs none.
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    QCoreApplication application(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

#include "engine_core_test.moc"
