// The camera inside the engine's window: real GStreamer pipelines fed by test
// cameras, the real Devices menu, real published files in a temporary
// directory. Message boxes are recorded instead of shown.

#include <gst/gst.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QColor>
#include <QImage>
#include <QMenu>
#include <QPixmap>
#include <QThread>
#include <QTimer>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

#include "app/main_window.h"
#include "app/message_box.h"
#include "app/scripted_answers.h"
#include "app/status_bar.h"
#include "camera/camera_graph.h"
#include "camera/camera_window_fixture.h"
#include "devices/test_cameras.h"
#include "engine/camera_controller.h"
#include "imaging/published_files.h"
#include "settings/settings_store.h"
#include "support/test_support.h"

namespace vemo {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::Camera;

constexpr char kDeviceLost[] = "Vemo : Stopping Capture (Device Lost). Select New Capture Device";

class CameraPipelineTest : public test::CameraWindowTest {
  protected:
    std::vector<int> DeviceItemIds() const {
        std::vector<int> ids;
        for (QAction* item : window_->menus().devices->actions()) {
            ids.push_back(item->isSeparator() ? 0 : item->data().toInt());
        }
        return ids;
    }
    bool Checked(int id) const {
        for (QAction* item : window_->menus().devices->actions()) {
            if (!item->isSeparator() && item->data().toInt() == id) return item->isChecked();
        }
        return false;
    }
    // The frame rate the grabber receives, as the running pipeline agreed
    // it; 0 before it is agreed.
    double NegotiatedRate() {
        GstElement* grabber = gst_bin_get_by_name(GST_BIN(graph().filter_graph()), "Grabber");
        if (grabber == nullptr) return 0;
        GstPad* pad = gst_element_get_static_pad(grabber, "sink");
        GstCaps* caps = gst_pad_get_current_caps(pad);
        int numerator = 0, denominator = 1;
        if (caps != nullptr) {
            gst_structure_get_fraction(gst_caps_get_structure(caps, 0), "framerate", &numerator,
                                       &denominator);
            gst_caps_unref(caps);
        }
        gst_object_unref(pad);
        gst_object_unref(grabber);
        return denominator > 0 ? static_cast<double>(numerator) / denominator : 0;
    }
    int PipelineChildren() const {
        return static_cast<int>(
            GST_BIN_NUMCHILDREN(GST_BIN(window_->camera().graph().filter_graph())));
    }
};

TEST_F(CameraPipelineTest, PublishesAtOnceThenOnTimerOne) {
    PlugTestCamera(Camera("Test Camera 1"));
    StartCamera();
    EXPECT_EQ(Published("cameraon.gif"), Bak("cameraon.gif"));
    ASSERT_TRUE(graph().previewing()) << testing::PrintToString(messages_);
    EXPECT_EQ(window_->cameraTimer().interval(), 1000);
    EXPECT_EQ(window_->statusBarWidget()->textWidget()->text(), "Test Camera 1");
    EXPECT_TRUE(Checked(16));
    EXPECT_EQ(state().frame_width, 640) << "the window takes the camera's size";

    ASSERT_TRUE(WaitFor([&] { return files_.jpeg_publishes >= 1; }));
    const auto jpeg = test::DecodeJpeg("vemo/vemo.jpg");
    const auto gif = test::DecodeGif("vemo/vemo.gif");
    ASSERT_TRUE(jpeg.ok);
    ASSERT_TRUE(gif.ok);
    EXPECT_EQ(jpeg.width, 640u);
    EXPECT_EQ(jpeg.height, 480u);
    EXPECT_LE(gif.width, 120) << "within imode_camera_width";
    EXPECT_LE(gif.color_count, 16) << "at most camera_gif_color colours";
    EXPECT_FALSE(FrameRequested());
    // The preview is drawn in the window: the white bar at the top left.
    EXPECT_TRUE(WaitFor([&] {
        return QColor(window_->videoArea()->grab().toImage().pixel(10, 10)).lightness() > 200;
    }));

    // Timer 1 asks for the next one a second later.
    const auto first_publish = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitFor([&] { return files_.jpeg_publishes >= 2; }, 3s));
    EXPECT_GE(std::chrono::steady_clock::now() - first_publish, 500ms);
    EXPECT_TRUE(messages_.empty()) << testing::PrintToString(messages_);
}

TEST_F(CameraPipelineTest, StoredCameraSettingsOutsideTheirRangesAreBroughtIntoThem) {
    WriteSetting(SETTING_CAMERA_GIF_COLOR, 3);  // fewer than the converter makes
    WriteSetting(SETTING_CAMERA_TIMER, 4294967295u);
    PlugTestCamera(Camera("Test Camera 1"));
    StartCamera();
    EXPECT_EQ(window_->cameraTimer().interval(), 604800 * 1000) << "seven days";
    ASSERT_TRUE(WaitFor([&] { return test::DecodeGif("vemo/vemo.gif").ok; }));
    EXPECT_LE(test::DecodeGif("vemo/vemo.gif").color_count, 8);
    EXPECT_EQ(state().camera_gif_color, 8u);
    EXPECT_TRUE(messages_.empty()) << testing::PrintToString(messages_);
}

TEST_F(CameraPipelineTest, QueuedFrameMessagesForOneRequestPublishOnce) {
    PlugTestCamera(Camera("Test Camera 1"));
    StartCamera();
    ASSERT_TRUE(WaitFor([&] { return files_.jpeg_publishes >= 1; }));
    window_->engine().KillCameraTimer();
    RunEvents(100ms);
    const int before = files_.jpeg_publishes;
    const std::uint64_t posted = Counters().frames_posted;
    // One request while the window is busy: every frame meanwhile is grabbed
    // and announced.
    FrameRequested() = true;
    const auto waited = std::chrono::steady_clock::now();
    while (Counters().frames_posted < posted + 2 && std::chrono::steady_clock::now() - waited < 5s)
        QThread::msleep(5);
    EXPECT_GE(Counters().frames_posted, posted + 2);
    RunEvents(300ms);
    EXPECT_EQ(files_.jpeg_publishes, before + 1);
}

TEST_F(CameraPipelineTest, SwitchingOffLeavesTheOffPicturesAndOnPublishesAgain) {
    PlugTestCamera(Camera("Test Camera 1"));
    StartCamera();
    ASSERT_TRUE(WaitFor([&] { return files_.jpeg_publishes >= 1; }));
    GstElement* pipeline = graph().filter_graph();

    window_->OnCommand(kCmdCamera);
    EXPECT_FALSE(state().camera_on);
    EXPECT_FALSE(graph().previewing());
    EXPECT_EQ(ReadSetting(SETTING_CAMERA_CAPTURE), 0u);
    EXPECT_TRUE(CameraOffPicturesInPlace());
    FrameRequested() = true;  // as timer 1 still does
    RunEvents(400ms);
    EXPECT_TRUE(CameraOffPicturesInPlace()) << "nothing published after the stop";

    const int before = files_.jpeg_publishes;
    window_->OnCommand(kCmdCamera);
    EXPECT_EQ(ReadSetting(SETTING_CAMERA_CAPTURE), 1u);
    EXPECT_EQ(graph().filter_graph(), pipeline) << "the built preview runs again";
    ASSERT_TRUE(WaitFor([&] { return files_.jpeg_publishes > before; }));
    EXPECT_EQ(Published("cameraon.gif"), Bak("cameraon.gif"));
}

TEST_F(CameraPipelineTest, ThreeCamerasWithTheSecondNamelessGiveItems16And18) {
    PlugTestCamera(Camera("Left"));
    PlugTestCamera(Camera(std::nullopt));
    PlugTestCamera(Camera("Right"));
    StartCamera();
    EXPECT_EQ(DeviceItemIds(), (std::vector<int>{16, 18, 0}));
    EXPECT_EQ(camera().devices().video_device_count(), 3);
    EXPECT_TRUE(Checked(16));
    EXPECT_FALSE(Checked(18));
    GstElement* pipeline = graph().filter_graph();
    GstElement* camera = graph().video_capture();

    // The checked camera again: nothing is rebuilt.
    window_->OnCommand(16);
    EXPECT_EQ(graph().filter_graph(), pipeline);
    EXPECT_EQ(graph().video_capture(), camera);
    EXPECT_TRUE(graph().previewing());

    window_->OnCommand(18);
    EXPECT_NE(graph().video_capture(), camera);
    EXPECT_FALSE(Checked(16));
    EXPECT_TRUE(Checked(18)) << "a camera behind a nameless one is checked too";
    EXPECT_EQ(window_->statusBarWidget()->textWidget()->text(), "Right");
    EXPECT_TRUE(graph().previewing());
    const int before = files_.jpeg_publishes;
    ASSERT_TRUE(WaitFor([&] { return files_.jpeg_publishes > before; }));

    // Items are disabled while a capture to file runs, the screen's too.
    ASSERT_TRUE(StartRecording(dir_ / "menus.avi"));
    window_->UpdateMenuStates();
    for (QAction* item : window_->menus().devices->actions()) {
        if (!item->isSeparator()) {
            EXPECT_FALSE(item->isEnabled());
        }
    }
    EXPECT_FALSE(window_->action(kCmdScreen)->isEnabled());
    window_->OnCommand(kCmdStopCapture);
    ASSERT_TRUE(WaitFor([&] { return !window_->camera().recording(); }));
    window_->UpdateMenuStates();
    EXPECT_TRUE(window_->action(kCmdScreen)->isEnabled());
    EXPECT_TRUE(messages_.empty()) << testing::PrintToString(messages_);
}

TEST_F(CameraPipelineTest, UnpluggingTheCameraIsADeviceLossAndPluggingMarksTheMenu) {
    const std::string first = PlugTestCamera(Camera("First"));
    PlugTestCamera(Camera("Second"));
    StartCamera();
    ASSERT_TRUE(WaitFor([&] { return files_.jpeg_publishes >= 1; }));

    ASSERT_TRUE(UnplugTestCamera(first));
    ASSERT_TRUE(WaitFor([&] { return Said(kDeviceLost); }));
    EXPECT_EQ(messages_.size(), 1u) << testing::PrintToString(messages_);
    EXPECT_FALSE(graph().previewing());
    EXPECT_TRUE(state().camera_on) << "the next camera chosen runs at once";
    EXPECT_TRUE(CameraOffPicturesInPlace());
    EXPECT_FALSE(state().devices_menu_current);
    EXPECT_EQ(DeviceItemIds(), (std::vector<int>{16, 17, 0})) << "unchanged until it opens";

    state().devices_menu_current = true;
    PlugTestCamera(Camera("Third"));
    ASSERT_TRUE(WaitFor([&] { return !state().devices_menu_current; }));
    emit window_->menus().devices->aboutToShow();
    EXPECT_EQ(DeviceItemIds(), (std::vector<int>{16, 17, 0}));
    EXPECT_EQ(window_->menus().devices->actions()[0]->text(), "Second");
    EXPECT_EQ(window_->menus().devices->actions()[1]->text(), "Third");
    EXPECT_FALSE(Checked(16));

    window_->OnCommand(17);
    EXPECT_TRUE(graph().previewing());
    const int before = files_.jpeg_publishes;
    ASSERT_TRUE(WaitFor([&] { return files_.jpeg_publishes > before; }));
}

// Descriptors the process holds open.
int OpenDescriptors() {
    return static_cast<int>(
        std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
}

TEST_F(CameraPipelineTest, SwitchingCamerasLeavesNoPipelineBehind) {
    PlugTestCamera(Camera("First"));
    PlugTestCamera(Camera("Second"));
    StartCamera();
    ASSERT_TRUE(WaitFor([&] { return files_.jpeg_publishes >= 1; }));
    window_->OnCommand(17);
    window_->OnCommand(16);
    const int descriptors = OpenDescriptors();
    // The pipelines of earlier choices: each, once released, must be gone.
    std::vector<GObject*> released;
    for (int i = 0; i < 50; ++i) {
        released.push_back(G_OBJECT(graph().filter_graph()));
        g_object_add_weak_pointer(released.back(), reinterpret_cast<gpointer*>(&released.back()));
        window_->OnCommand(i % 2 == 0 ? 17 : 16);
        ASSERT_TRUE(graph().previewing()) << i;
    }
    RunEvents(200ms);
    const auto alive = std::count_if(released.begin(), released.end(),
                                     [](GObject* pipeline) { return pipeline != nullptr; });
    for (GObject*& pipeline : released) {
        if (pipeline != nullptr)
            g_object_remove_weak_pointer(pipeline, reinterpret_cast<gpointer*>(&pipeline));
    }
    EXPECT_EQ(alive, 0) << "pipelines still alive after their camera was switched away";
    EXPECT_LE(OpenDescriptors(), descriptors + 4);
    EXPECT_TRUE(messages_.empty()) << testing::PrintToString(messages_);
}

TEST_F(CameraPipelineTest, TheChosenCameraIsKnownByIdentityNotPosition) {
    const std::string first = PlugTestCamera(Camera("First"));
    PlugTestCamera(Camera("Second"));
    StartCamera();
    window_->OnCommand(17);
    ASSERT_TRUE(Checked(17));
    GstElement* camera = graph().video_capture();

    // Another camera goes: no loss of ours, only a stale menu.
    ASSERT_TRUE(UnplugTestCamera(first));
    ASSERT_TRUE(WaitFor([&] { return !state().devices_menu_current; }));
    RunEvents(200ms);
    EXPECT_TRUE(messages_.empty()) << testing::PrintToString(messages_);
    EXPECT_TRUE(graph().previewing());

    emit window_->menus().devices->aboutToShow();
    EXPECT_EQ(DeviceItemIds(), (std::vector<int>{16, 0}));
    EXPECT_TRUE(Checked(16)) << "Second moved up and is still the chosen camera";
    window_->OnCommand(16);
    EXPECT_EQ(graph().video_capture(), camera) << "nothing rebuilt";
    window_->OnCommand(26);  // the current camera, by the command without a menu item
    EXPECT_EQ(graph().video_capture(), camera);
    EXPECT_EQ(window_->statusBarWidget()->textWidget()->text(), "Second");
}

TEST_F(CameraPipelineTest, AnErroringCameraTakesTheErrorAbortPath) {
    TestCameraConfig flaky = Camera("Flaky");
    flaky.error_after = 5;
    PlugTestCamera(flaky);
    StartCamera();
    ASSERT_TRUE(WaitFor([&] { return !messages_.empty(); }));
    ASSERT_EQ(messages_.size(), 1u);
    // A stream error (domain 4, code 1).
    EXPECT_TRUE(Said("Vemo : ERROR during capture, error code=80470401")) << messages_[0];
    // The preview was rebuilt before the message and publishes again.
    EXPECT_TRUE(graph().previewing());
    const int before = files_.jpeg_publishes;
    ASSERT_TRUE(WaitFor([&] { return files_.jpeg_publishes > before; }, 3s));
}

TEST_F(CameraPipelineTest, ACloseWhileABoxIsOpenLeavesNothingBuiltOrRunning) {
    // The box runs a nested event loop, as a real one does, and the engine is
    // closed while it is open. The box comes from building the preview: no
    // frame rate can be asked of the camera.
    const MessageSink answer_later = AnswerInNestedLoop(
        [this](const MessageRequest& request) {
            messages_.push_back(request.text);
            return kMessageOk;
        },
        300);
    SetMessageSink([&](const MessageRequest& request) {
        QTimer::singleShot(0, window_.get(), [this] { window_->close(); });
        return answer_later(request);
    });
    state().frame_rate = 0;
    PlugTestCamera(Camera("Test Camera 1"));
    StartCamera();
    EXPECT_EQ(messages_,
              (std::vector<std::string>{"Vemo : 80004005: Cannot set frame rate for preview"}));
    EXPECT_FALSE(graph().preview_graph_built());
    EXPECT_FALSE(graph().previewing());
    EXPECT_EQ(graph().filter_graph(), nullptr);
    EXPECT_TRUE(CameraOffPicturesInPlace());

    // What start-up does next starts nothing, and nothing is published.
    camera().ChooseDevicesByName("");
    camera().ToggleCamera();
    const int publishes = files_.jpeg_publishes;
    RunEvents(400ms);
    EXPECT_EQ(graph().filter_graph(), nullptr);
    EXPECT_EQ(files_.jpeg_publishes, publishes);
    EXPECT_TRUE(CameraOffPicturesInPlace());
    EXPECT_EQ(messages_.size(), 1u) << testing::PrintToString(messages_);
}

TEST_F(CameraPipelineTest, AFullHdCameraIsPublishedUncut) {
    TestCameraConfig hd = Camera("HD");
    hd.width = 1920;
    hd.height = 1080;
    hd.fps = 5;
    PlugTestCamera(hd);
    StartCamera();
    ASSERT_TRUE(WaitFor([&] { return files_.jpeg_publishes >= 1; }));
    const auto jpeg = test::DecodeJpeg("vemo/vemo.jpg");
    ASSERT_TRUE(jpeg.ok);
    ASSERT_EQ(jpeg.width, 1920u);
    ASSERT_EQ(jpeg.height, 1080u);
    // The colour bars reach the top row: the first bar is white, the last
    // blue. A frame cut at 5 MiB would have lost its top 170 rows.
    EXPECT_LT(test::ColourDistance(jpeg.at(60, 2), {255, 255, 255}), 40);
    EXPECT_LT(test::ColourDistance(jpeg.at(1860, 2), {0, 0, 255}), 40);
    EXPECT_LT(test::ColourDistance(jpeg.at(60, 500), {255, 255, 255}), 40);
    const auto gif = test::DecodeGif("vemo/vemo.gif");
    ASSERT_TRUE(gif.ok);
    EXPECT_EQ(gif.width, 240) << "an eighth, the most the converter reduces";
}

TEST_F(CameraPipelineTest, ACameraThatStopsDeliveringIsLost) {
    TestCameraConfig stalling = Camera("Stalling");
    stalling.stall_after = 3;
    PlugTestCamera(stalling);
    StartCamera();
    ASSERT_TRUE(WaitFor([&] { return Said(kDeviceLost); }, 5s));
    EXPECT_FALSE(graph().previewing());
    EXPECT_TRUE(CameraOffPicturesInPlace());
}

// A camera that goes on sending pictures none of which can be used (empty
// ones here) is not a lost one: that is said, and once its pictures can be
// used again it is published again without anyone choosing it anew.
TEST_F(CameraPipelineTest, ACameraSendingOnlyUnusablePicturesIsSaidAndKept) {
    const std::vector<std::uint8_t> photograph = test::ReadBytes(test::kPhotograph);
    std::vector<std::uint8_t> stream;
    const auto add = [&](const std::vector<std::uint8_t>& picture, int times) {
        for (int n = 0; n < times; ++n)
            stream.insert(stream.end(), picture.begin(), picture.end());
    };
    add(photograph, 5);
    add({0xFF, 0xD8, 0xFF, 0xD9}, 120);  // four seconds at the replay's 30 a second
    add(photograph, 90);
    test::WriteBytes(dir_ / "camera.mjpeg", stream);
    TestCameraConfig clip = Camera("Clip");
    clip.replay = dir_ / "camera.mjpeg";
    PlugTestCamera(clip);
    StartCamera();
    const auto status = [&] { return window_->statusBarWidget()->textWidget()->text(); };
    ASSERT_TRUE(WaitFor([&] { return status() == "the camera sends no usable pictures"; }, 10s));
    const int published = files_.jpeg_publishes;
    ASSERT_TRUE(WaitFor([&] { return files_.jpeg_publishes > published; }, 5s));
    EXPECT_TRUE(WaitFor([&] { return status() == "Clip"; })) << status().toStdString();
    EXPECT_TRUE(graph().previewing());
    EXPECT_TRUE(messages_.empty()) << testing::PrintToString(messages_);
}

// Frames the preview and publishing do not want are not decoded, but a
// window too busy to take any (here: asleep for longer than the lost-camera
// check allows) still sees the camera alive.
TEST_F(CameraPipelineTest, ABusyWindowDoesNotTakeItsCameraForLost) {
    PlugTestCamera(Camera("Test Camera 1"));
    StartCamera();
    ASSERT_TRUE(WaitFor([&] { return files_.jpeg_publishes >= 1; }));
    QThread::msleep(3000);
    RunEvents(1s);
    EXPECT_FALSE(Said(kDeviceLost)) << testing::PrintToString(messages_);
    EXPECT_TRUE(graph().previewing());
}

TEST_F(CameraPipelineTest, ACameraHeldElsewhereGivesTheConnectMessage) {
    TestCameraConfig busy = Camera("Busy");
    busy.busy = true;
    PlugTestCamera(busy);
    StartCamera();
    ASSERT_TRUE(WaitFor([&] { return !messages_.empty(); }));
    EXPECT_TRUE(
        Said("Vemo : Could not connect capture pin #0 to grabber.\r\nIs the capture device "
             "being used by another application?"))
        << messages_[0];
    EXPECT_FALSE(graph().previewing());
    EXPECT_TRUE(CameraOffPicturesInPlace());
    RunEvents(300ms);
    EXPECT_EQ(messages_.size(), 1u) << "no retry loop";
}

TEST_F(CameraPipelineTest, AMissingElementIsReportedByName) {
    PlugTestCamera(Camera("Test Camera 1"));
    camera().BuildDevicesMenu();
    GstRegistry* registry = gst_registry_get();
    GstPluginFeature* convert = gst_registry_lookup_feature(registry, "videoconvert");
    ASSERT_NE(convert, nullptr);
    gst_registry_remove_feature(registry, convert);
    camera().ChooseDevicesByName("");
    gst_registry_add_feature(registry, convert);
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0],
              "Vemo : Cannot instantiate graph builder: GStreamer element \"videoconvert\" is not "
              "installed");
    EXPECT_FALSE(graph().previewing());
    EXPECT_EQ(graph().filter_graph(), nullptr);

    // With the element back, choosing the camera again builds it.
    window_->OnCommand(16);
    EXPECT_TRUE(graph().previewing());
}

TEST_F(CameraPipelineTest, NoCameraTurnsCameraPublishingOff) {
    WriteSetting(SETTING_CAMERA_CAPTURE, 1);
    StartCamera();
    if (camera().devices().video_device_count() > 0) GTEST_SKIP() << "a real camera is attached";
    EXPECT_EQ(messages_, (std::vector<std::string>{"Vemo : カメラが見つかりません"}));
    EXPECT_FALSE(state().camera_on);
    EXPECT_EQ(ReadSetting(SETTING_CAMERA_CAPTURE), 0u);
    EXPECT_TRUE(window_->menus().devices->actions().isEmpty());
    EXPECT_FALSE(camera().current_video_device().has_value());

    // With the camera off, an empty list says nothing.
    state().devices_menu_current = false;
    camera().BuildDevicesMenu();
    EXPECT_EQ(messages_.size(), 1u);
}

TEST_F(CameraPipelineTest, FrameRateFollowsTheSetting) {
    PlugTestCamera(Camera("Test Camera 1"));  // offers 30, 15 and 5 a second
    StartCamera();
    ASSERT_TRUE(graph().previewing());
    EXPECT_EQ(graph().frame_period_ns(), 1'000'000'000 / 15) << "14.99 comes nearest 15";
    ASSERT_TRUE(WaitFor([&] { return NegotiatedRate() > 0; }));
    EXPECT_EQ(NegotiatedRate(), 15.0);
    EXPECT_EQ(graph().frame_rate(), (FrameRate{15, 1}));
    std::uint64_t start = Counters().frames;
    EXPECT_TRUE(WaitFor([&] { return Counters().frames >= start + 5; }));

    camera().HaltPreview();
    graph().DismantleGraph();
    state().use_frame_rate = false;
    ASSERT_TRUE(camera().BuildPreviewBranch());
    ASSERT_TRUE(camera().RunPreview());
    ASSERT_TRUE(WaitFor([&] { return NegotiatedRate() > 0; }));
    EXPECT_EQ(NegotiatedRate(), 30.0) << "the camera's own rate";
    EXPECT_EQ(graph().frame_rate(), (FrameRate{30, 1})) << "as the camera and the graph agreed";
    start = Counters().frames;
    EXPECT_TRUE(WaitFor([&] { return Counters().frames >= start + 5; }));
}

TEST_F(CameraPipelineTest, DismantledPreviewStillFeedsTheGrabber) {
    PlugTestCamera(Camera("Test Camera 1"));
    StartCamera();
    ASSERT_TRUE(WaitFor([&] { return files_.jpeg_publishes >= 1; }));
    ASSERT_TRUE(camera().HaltPreview());
    EXPECT_FALSE(camera().HaltPreview()) << "not previewing any more";
    EXPECT_EQ(PipelineChildren(), 6) << "Cap, Format, Split, PreviewQueue, Convert and Grabber";
    graph().DismantleGraph();
    EXPECT_EQ(PipelineChildren(), 1) << "only the camera stays";
    EXPECT_FALSE(graph().preview_graph_built());
    graph().RemoveDownstream(graph().video_capture());  // nothing left to remove
    EXPECT_EQ(PipelineChildren(), 1);

    const int before = files_.jpeg_publishes;
    ASSERT_TRUE(camera().BuildPreviewBranch());
    ASSERT_TRUE(camera().RunPreview());
    EXPECT_TRUE(camera().RunPreview()) << "a second run changes nothing";
    ASSERT_TRUE(WaitFor([&] { return files_.jpeg_publishes > before; }));
    EXPECT_GT(Counters().frames, 0u);
}

}  // namespace
}  // namespace vemo
