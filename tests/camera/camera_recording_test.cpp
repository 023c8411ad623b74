// Recording the camera to an AVI file inside the engine's window: a real
// pipeline fed by a test camera, a real capture file, and the file read back
// by GStreamer's own AVI demuxer.

#include <gst/gst.h>
#include <gtest/gtest.h>

#include <QDialog>
#include <QTest>
#include <QTimer>

#include <cstdio>

#include "app/capture_file_control.h"
#include "app/dialogs/file_dialog.h"
#include "app/status_bar.h"
#include "camera/camera_window_fixture.h"
#include "camera/capture_counters.h"

namespace vemo {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// What GStreamer's demuxer finds in an AVI file: its video frames and size.
struct AviContents {
    bool readable = false;
    int frames = 0;
    int width = 0;
    int height = 0;
};

AviContents ReadAvi(const std::string& path) {
    AviContents contents;
    const std::string description =
        "filesrc location=\"" + path + "\" ! avidemux ! fakesink name=sink";
    GError* error = nullptr;
    GstElement* pipeline = gst_parse_launch(description.c_str(), &error);
    if (error != nullptr) g_error_free(error);
    if (pipeline == nullptr) return contents;
    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
    GstPad* pad = gst_element_get_static_pad(sink, "sink");
    gst_pad_add_probe(
        pad, GST_PAD_PROBE_TYPE_BUFFER,
        [](GstPad* probed, GstPadProbeInfo*, gpointer data) {
            auto* read = static_cast<AviContents*>(data);
            if (++read->frames == 1) {
                if (GstCaps* caps = gst_pad_get_current_caps(probed); caps != nullptr) {
                    const GstStructure* structure = gst_caps_get_structure(caps, 0);
                    gst_structure_get_int(structure, "width", &read->width);
                    gst_structure_get_int(structure, "height", &read->height);
                    gst_caps_unref(caps);
                }
            }
            return GST_PAD_PROBE_OK;
        },
        &contents, nullptr);
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    GstBus* bus = gst_element_get_bus(pipeline);
    GstMessage* end = gst_bus_timed_pop_filtered(
        bus, 20 * GST_SECOND, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
    contents.readable = end != nullptr && GST_MESSAGE_TYPE(end) == GST_MESSAGE_EOS;
    if (end != nullptr) gst_message_unref(end);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(bus);
    gst_object_unref(pad);
    gst_object_unref(sink);
    gst_object_unref(pipeline);
    return contents;
}

class CameraRecordingTest : public test::CameraWindowTest {
  protected:
    void SetUp() override {
        CameraWindowTest::SetUp();
        file_ = (dir_.path() / "cap.avi").string();
        state().capture_file.capture_file_name = file_;
        TestCameraConfig camera = test::Camera("Test Camera 1");
        camera.fps = 30;
        PlugTestCamera(camera);
        StartCamera();
        ASSERT_TRUE(WaitFor([&] { return files_.jpeg_publishes >= 1; }));
        // The "Ready to Capture" dialog is answered as it opens.
        answer_.setInterval(10);
        QObject::connect(&answer_, &QTimer::timeout, [this] {
            if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
                dialog != nullptr && dialog->objectName() == "603") {
                ++ready_dialogs_;
                if (confirm_) {
                    dialog->accept();
                } else {
                    dialog->reject();
                }
            }
        });
        answer_.start();
    }
    void TearDown() override {
        answer_.stop();
        SetFileChooser({});
        CameraWindowTest::TearDown();
    }

    QString StatusText() const { return window_->statusBarWidget()->textWidget()->text(); }
    // "Captured N frames in ..." gives N; -1 for any other text.
    int CapturedFrames() const {
        const std::string text = StatusText().toStdString();
        int frames = -1, seconds = 0, tenths = 0, dropped = 0;
        if (std::sscanf(text.c_str(), "Captured %d frames in %d.%d sec (%d dropped): ", &frames,
                        &seconds, &tenths, &dropped) != 4 ||
            text.find(" fps ") == std::string::npos || !text.ends_with(" Meg/sec")) {
            return -1;
        }
        return frames;
    }

    std::string file_;
    QTimer answer_;
    bool confirm_ = true;
    int ready_dialogs_ = 0;
};

TEST(CaptureResultText, MatchesTheWorkedExampleAndAZeroDuration) {
    EXPECT_EQ(CaptureResultText(300, 0, 20000, 230400),
              "Captured 300 frames in 20.0 sec (0 dropped): 15.0 fps 3.456 Meg/sec");
    EXPECT_EQ(CaptureResultText(0, 0, 0, 0),
              "Captured 0 frames in 0.0 sec (0 dropped): 0.0 fps 0.0 Meg/sec");
    // Whole thousands above the megabytes, printed plainly: 3,050,000 a second.
    EXPECT_EQ(CaptureResultText(10, 2, 1000, 305000),
              "Captured 10 frames in 1.0 sec (2 dropped): 10.0 fps 3.50 Meg/sec");
}

TEST_F(CameraRecordingTest, ARecordingIsAPlayableAviWithTheFramesItReports) {
    window_->OnCommand(kCmdStartCapture);
    ASSERT_TRUE(state().capturing) << testing::PrintToString(messages_);
    EXPECT_EQ(ready_dialogs_, 1);
    EXPECT_EQ(window_->cameraTimer().interval(), 33);
    RunEvents(3s);
    window_->OnCommand(kCmdStopCapture);
    EXPECT_FALSE(state().capturing);
    const int reported = CapturedFrames();
    ASSERT_GT(reported, 30) << StatusText().toStdString();
    const AviContents avi = ReadAvi(file_);
    ASSERT_TRUE(avi.readable);
    EXPECT_EQ(avi.frames, reported);
    EXPECT_EQ(avi.width, 640);
    EXPECT_EQ(avi.height, 480);
    // The preview comes back and publishes again.
    EXPECT_TRUE(graph().previewing());
    const int before = files_.jpeg_publishes;
    EXPECT_TRUE(WaitFor([&] { return files_.jpeg_publishes > before; }));
    EXPECT_TRUE(messages_.empty()) << testing::PrintToString(messages_);
}

TEST_F(CameraRecordingTest, CancellingTheGoAheadRecordsNothingAndPreviewsAgain) {
    confirm_ = false;
    window_->OnCommand(kCmdStartCapture);
    EXPECT_EQ(ready_dialogs_, 1);
    EXPECT_FALSE(state().capturing);
    EXPECT_TRUE(graph().previewing());
    EXPECT_FALSE(fs::exists(file_) && fs::file_size(file_) > 0) << "nothing recorded";
}

TEST_F(CameraRecordingTest, EscapeAndTheTimeLimitStopARecording) {
    window_->OnCommand(kCmdStartCapture);
    ASSERT_TRUE(state().capturing);
    RunEvents(300ms);
    QTest::keyClick(window_.get(), Qt::Key_Escape);
    EXPECT_FALSE(state().capturing);
    EXPECT_GT(CapturedFrames(), 0) << StatusText().toStdString();
    EXPECT_TRUE(ReadAvi(file_).readable);

    state().use_time_limit = true;
    state().time_limit = 1;
    window_->OnCommand(kCmdStartCapture);
    ASSERT_TRUE(state().capturing);
    EXPECT_TRUE(WaitFor([&] { return !state().capturing; }, 10s)) << "stopped by itself";
    EXPECT_GT(CapturedFrames(), 0) << StatusText().toStdString();
    EXPECT_TRUE(graph().previewing());
}

TEST_F(CameraRecordingTest, APreallocatedFileEndsAtTheRecordingsLength) {
    std::string why;
    ASSERT_TRUE(AllocCapFile(file_, 50u * 1024 * 1024, &why)) << why;
    window_->OnCommand(kCmdStartCapture);
    ASSERT_TRUE(state().capturing);
    RunEvents(1s);
    window_->OnCommand(kCmdStopCapture);
    const auto size = fs::file_size(file_);
    EXPECT_LT(size, 50u * 1024 * 1024) << "no stale bytes past the recording";
    EXPECT_EQ(RecordingLength(file_), size);
    const AviContents avi = ReadAvi(file_);
    EXPECT_TRUE(avi.readable);
    EXPECT_EQ(avi.frames, CapturedFrames());
}

TEST_F(CameraRecordingTest, ALostCameraLeavesAPlayableRecording) {
    window_->OnCommand(kCmdStartCapture);
    ASSERT_TRUE(state().capturing);
    RunEvents(1s);
    ASSERT_TRUE(UnplugTestCamera(camera().current_video_device()->identity));
    ASSERT_TRUE(WaitFor([&] { return !state().capturing; }));
    EXPECT_TRUE(WaitFor([&] { return Said("Vemo : Stopping Capture (Device Lost)"); }));
    const AviContents avi = ReadAvi(file_);
    EXPECT_TRUE(avi.readable);
    EXPECT_GT(avi.frames, 0);
}

TEST_F(CameraRecordingTest, ASavedCopyHoldsTheRecordingWithItsProgress) {
    window_->OnCommand(kCmdStartCapture);
    RunEvents(1s);
    window_->OnCommand(kCmdStopCapture);
    const std::string copy = (dir_.path() / "copy.avi").string();
    SetFileChooser(
        [&](const FileRequest&) { return std::optional<QString>(QString::fromStdString(copy)); });
    std::vector<QString> texts;
    window_->statusBarWidget()->textWidget()->setChangeObserver(
        [&texts](const QString& text) { texts.push_back(text); });
    window_->OnCommand(kCmdSaveCaptureFile);
    ASSERT_GE(texts.size(), 4u);
    EXPECT_EQ(texts.front(), "Saving capture file - please wait...");
    EXPECT_EQ(texts[1], "Save File Progress: 0%");
    EXPECT_EQ(texts[texts.size() - 2], "Save File Progress: 100%");
    EXPECT_EQ(texts.back(), "Capture file saved");
    EXPECT_EQ(test::ReadBytes(copy), test::ReadBytes(file_));
    // Onto itself is an error, not a copy.
    SetFileChooser(
        [&](const FileRequest&) { return std::optional<QString>(QString::fromStdString(file_)); });
    window_->OnCommand(kCmdSaveCaptureFile);
    EXPECT_EQ(StatusText(), "Capture file save ERROR");
    EXPECT_TRUE(ReadAvi(file_).readable);
}

}  // namespace
}  // namespace vemo
