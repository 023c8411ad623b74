// Recording the camera to an AVI file inside the engine's window: a real
// pipeline fed by a test camera, a real capture file, and the file read back
// by GStreamer's own AVI demuxer.

#include <gst/gst.h>
#include <gtest/gtest.h>

#include <QDialog>
#include <QTest>
#include <QTimer>

#include <QLineEdit>
#include <QListWidget>

#include <sys/mount.h>
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>
#include <thread>

#include "app/dialogs/file_dialog.h"
#include "app/status_bar.h"
#include "camera/camera_window_fixture.h"
#include "camera/capture_counters.h"
#include "engine/capture_file_control.h"

namespace vemo {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// What GStreamer's demuxer finds in an AVI file: its video frames and size,
// and the first frame as stored (a JPEG picture in the engine's recordings).
struct AviContents {
    bool readable = false;
    int frames = 0;
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> first_frame;
    bool keep_frames = false;
    std::vector<std::vector<std::uint8_t>> all_frames;  // when kept
};

// `decoder`: a decoder put after the demuxer, whose pictures are counted.
AviContents ReadAvi(const std::string& path, bool keep_frames = false,
                    const std::string& decoder = {}) {
    AviContents contents;
    const std::string description = "filesrc location=\"" + path + "\" ! avidemux ! " +
                                    (decoder.empty() ? "" : decoder + " ! ") + "fakesink name=sink";
    GError* error = nullptr;
    GstElement* pipeline = gst_parse_launch(description.c_str(), &error);
    if (error != nullptr) g_error_free(error);
    if (pipeline == nullptr) return contents;
    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
    GstPad* pad = gst_element_get_static_pad(sink, "sink");
    gst_pad_add_probe(
        pad, GST_PAD_PROBE_TYPE_BUFFER,
        [](GstPad* probed, GstPadProbeInfo* info, gpointer data) {
            auto* read = static_cast<AviContents*>(data);
            if (read->keep_frames) {
                GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
                std::vector<std::uint8_t>& frame = read->all_frames.emplace_back();
                frame.resize(gst_buffer_get_size(buffer));
                gst_buffer_extract(buffer, 0, frame.data(), frame.size());
            }
            if (++read->frames == 1) {
                GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
                read->first_frame.resize(gst_buffer_get_size(buffer));
                gst_buffer_extract(buffer, 0, read->first_frame.data(), read->first_frame.size());
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
    contents.keep_frames = keep_frames;
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

// Files may grow no further than `size` while it lasts, as on a full disk:
// writes past it fail (EFBIG, its signal ignored).
class FileGrowthStopped {
  public:
    explicit FileGrowthStopped(rlim_t size) {
        std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &saved_);
        rlimit limit = saved_;
        limit.rlim_cur = size;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileGrowthStopped() { setrlimit(RLIMIT_FSIZE, &saved_); }
    FileGrowthStopped(const FileGrowthStopped&) = delete;
    FileGrowthStopped& operator=(const FileGrowthStopped&) = delete;

  private:
    rlimit saved_{};
};

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
            auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            if (dialog == nullptr) return;
            if (dialog->objectName() != "603") {
                if (other_dialog_) other_dialog_(dialog);
            } else if (ready_dialog_) {
                ready_dialog_(dialog);
            } else {
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
    // Command 8, and the finish of the file it starts, which ends on its own.
    void StopAndFinish() {
        window_->OnCommand(kCmdStopCapture);
        EXPECT_TRUE(WaitFor([&] { return !camera().recorder().busy(); }, 10s));
    }
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

    // Records into `name` in the test's folder until `stop` has run; the
    // recording must then be a playable file with the frames its status line
    // reports, and the engine idle. Returns the frames reported.
    int RecordUntil(const std::string& name, const std::function<void()>& stop) {
        const std::string path = dir_ / name;
        EXPECT_TRUE(StartRecording(path)) << name << testing::PrintToString(messages_);
        RunEvents(700ms);
        stop();
        EXPECT_TRUE(WaitFor([&] { return !camera().recording(); }, 10s)) << name;
        const int reported = CapturedFrames();
        EXPECT_GT(reported, 0) << name << ": " << StatusText().toStdString();
        const AviContents avi = ReadAvi(path);
        EXPECT_TRUE(avi.readable) << name;
        EXPECT_EQ(avi.frames, reported) << name;
        return reported;
    }

    // "Captured N frames in S sec (D dropped)..." gives D; -1 for another text.
    int DroppedFrames() const {
        int dropped = -1;
        std::sscanf(StatusText().toStdString().c_str(), "Captured %*d frames in %*d.%*d sec (%d",
                    &dropped);
        return dropped;
    }

    // Plugs a camera in while the engine runs and lists it, as opening the
    // Devices menu does.
    void PlugAndList(const TestCameraConfig& config) {
        const int listed = camera().devices().video_device_count();
        PlugTestCamera(config);
        ASSERT_TRUE(WaitFor([&] { return !state().devices_menu_current; }));
        camera().BuildDevicesMenu();
        ASSERT_EQ(camera().devices().video_device_count(), listed + 1);
    }

    std::string file_;
    QTimer answer_;
    bool confirm_ = true;
    int ready_dialogs_ = 0;
    // Answers for the go-ahead (instead of confirm_) and for other dialogs.
    std::function<void(QDialog*)> ready_dialog_;
    std::function<void(QDialog*)> other_dialog_;
};

TEST(CaptureResultText, MatchesTheWorkedExampleAndAZeroDuration) {
    EXPECT_EQ(CaptureResultText(300, 0, 20000, 230400),
              "Captured 300 frames in 20.0 sec (0 dropped): 15.0 fps 3.456 Meg/sec");
    EXPECT_EQ(CaptureResultText(0, 0, 0, 0),
              "Captured 0 frames in 0.0 sec (0 dropped): 0.0 fps 0.000 Meg/sec");
    // Whole thousands above the megabytes, always three digits: 3,050,000 a
    // second is 3.050, not 3.50.
    EXPECT_EQ(CaptureResultText(10, 2, 1000, 305000),
              "Captured 10 frames in 1.0 sec (2 dropped): 10.0 fps 3.050 Meg/sec");
}

// The camera's pictures go on through a recording's start, run and stop:
// the preview is never halted (no off picture in between) and the pictures
// keep coming at the publishing interval.
TEST_F(CameraRecordingTest, ARecordingIsAPlayableAviAndTheCamerasPicturesGoOnThroughIt) {
    const int status_pictures = files_.status_publishes;
    window_->OnCommand(kCmdStartCapture);
    ASSERT_TRUE(camera().recording()) << testing::PrintToString(messages_);
    EXPECT_EQ(ready_dialogs_, 1);
    EXPECT_EQ(window_->cameraTimer().interval(), 1000);
    const int published = files_.jpeg_publishes;
    RunEvents(3s);
    EXPECT_GE(files_.jpeg_publishes, published + 2) << "published while recording";
    StopAndFinish();
    EXPECT_EQ(files_.status_publishes, status_pictures) << "the preview never halted";
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

// The frame-rate dialog shows the rate the camera runs at (it offers 30 a
// second only: the stored 14.99 comes nearest that), and OK on it changes
// nothing that runs.
TEST_F(CameraRecordingTest, TheFrameRateDialogShowsTheCamerasOwnRate) {
    QString shown;
    other_dialog_ = [&](QDialog* dialog) {
        if (dialog->objectName() != "602") return;
        shown = dialog->findChild<QLineEdit*>("402")->text();
        dialog->accept();
    };
    window_->OnCommand(kCmdStartCapture);
    ASSERT_TRUE(camera().recording()) << testing::PrintToString(messages_);
    window_->OnCommand(kCmdFrameRate);
    EXPECT_EQ(shown.toStdString(), "30");
    EXPECT_EQ(state().frame_rate, 30.0);
    EXPECT_TRUE(camera().recording()) << "the camera runs at that rate already";
    RunEvents(500ms);
    StopAndFinish();
    EXPECT_GT(CapturedFrames(), 0) << StatusText().toStdString();
}

TEST_F(CameraRecordingTest, CancellingTheGoAheadRecordsNothingAndPreviewsAgain) {
    confirm_ = false;
    window_->OnCommand(kCmdStartCapture);
    EXPECT_EQ(ready_dialogs_, 1);
    EXPECT_FALSE(camera().recording());
    EXPECT_TRUE(graph().previewing());
    EXPECT_FALSE(fs::exists(file_) && fs::file_size(file_) > 0) << "nothing recorded";
}

TEST_F(CameraRecordingTest, EscapeAndTheTimeLimitStopARecording) {
    window_->OnCommand(kCmdStartCapture);
    ASSERT_TRUE(camera().recording());
    RunEvents(300ms);
    QTest::keyClick(window_.get(), Qt::Key_Escape);
    EXPECT_TRUE(WaitFor([&] { return !camera().recorder().busy(); }));
    EXPECT_GT(CapturedFrames(), 0) << StatusText().toStdString();
    EXPECT_TRUE(ReadAvi(file_).readable);

    state().use_time_limit = true;
    state().time_limit = 1;
    window_->OnCommand(kCmdStartCapture);
    ASSERT_TRUE(camera().recording());
    EXPECT_TRUE(WaitFor([&] { return !camera().recording(); }, 10s)) << "stopped by itself";
    EXPECT_GT(CapturedFrames(), 0) << StatusText().toStdString();
    EXPECT_TRUE(graph().previewing());
}

TEST_F(CameraRecordingTest, APreallocatedFileEndsAtTheRecordingsLength) {
    ASSERT_TRUE(AllocCapFile(file_, 50u * 1024 * 1024).has_value());
    window_->OnCommand(kCmdStartCapture);
    ASSERT_TRUE(camera().recording());
    RunEvents(1s);
    StopAndFinish();
    const auto size = fs::file_size(file_);
    EXPECT_LT(size, 50u * 1024 * 1024) << "no stale bytes past the recording";
    EXPECT_EQ(RecordingLength(file_), size);
    const AviContents avi = ReadAvi(file_);
    EXPECT_TRUE(avi.readable);
    EXPECT_EQ(avi.frames, CapturedFrames());
}

TEST_F(CameraRecordingTest, ALostCameraLeavesAPlayableRecording) {
    window_->OnCommand(kCmdStartCapture);
    ASSERT_TRUE(camera().recording());
    RunEvents(1s);
    ASSERT_TRUE(UnplugTestCamera(camera().current_video_device()->identity));
    ASSERT_TRUE(WaitFor([&] { return !camera().recording(); }));
    EXPECT_TRUE(WaitFor([&] { return Said("Vemo : Stopping Capture (Device Lost)"); }));
    const AviContents avi = ReadAvi(file_);
    EXPECT_TRUE(avi.readable);
    EXPECT_GT(avi.frames, 0);
}

TEST_F(CameraRecordingTest, AStartOnALostCameraIsRefusedAndTouchesNoFile) {
    RecordUntil("good.avi", [&] { window_->OnCommand(kCmdStopCapture); });
    const std::string good = dir_ / "good.avi";
    const std::vector<std::uint8_t> recording = test::ReadBytes(good);
    PlugAndList(test::Camera("Test Camera 2"));
    ASSERT_TRUE(UnplugTestCamera(camera().current_video_device()->identity));
    ASSERT_TRUE(WaitFor([&] { return Said("Vemo : Stopping Capture (Device Lost)"); }));

    state().capture_file.capture_file_name = good;
    const int dialogs = ready_dialogs_;
    window_->OnCommand(kCmdStartCapture);
    EXPECT_FALSE(camera().recorder().busy());
    EXPECT_EQ(ready_dialogs_, dialogs) << "no go-ahead asked";
    EXPECT_EQ(StatusText(), "Cannot record: the camera was lost. Select New Capture Device");
    RunEvents(1500ms);
    window_->OnCommand(kCmdStopCapture);
    EXPECT_EQ(test::ReadBytes(good), recording);
}

// The camera goes as the go-ahead is given: the recording gets no frame.
TEST_F(CameraRecordingTest, ARecordingWithNoFrameLeavesTheCaptureFileAsItWas) {
    RecordUntil("earlier.avi", [&] { window_->OnCommand(kCmdStopCapture); });
    const std::string earlier = dir_ / "earlier.avi";
    const std::string reserved = dir_ / "reserved.avi";
    ASSERT_TRUE(AllocCapFile(reserved, 1024 * 1024).has_value());
    const std::string fresh = dir_ / "fresh.avi";
    int plugged = 1;
    for (const std::string& file : {earlier, reserved, fresh}) {
        SCOPED_TRACE(file);
        const bool existed = fs::exists(file);
        const std::vector<std::uint8_t> before =
            existed ? test::ReadBytes(file) : std::vector<std::uint8_t>{};
        const std::string name = "Camera " + std::to_string(++plugged);
        PlugTestCamera(test::Camera(name));
        ASSERT_TRUE(WaitFor([&] { return !state().devices_menu_current; }));
        camera().BuildDevicesMenu();
        camera().ChooseDevicesByName(name);
        ASSERT_EQ(camera().current_video_device()->name, name);
        state().capture_file.capture_file_name = file;
        ready_dialog_ = [&](QDialog* dialog) {
            UnplugTestCamera(camera().current_video_device()->identity);
            // Frames already on their way when the camera went meet the
            // held recording's closed valve, not the file: on a busy machine
            // they can take a while.
            RunEvents(500ms);
            dialog->accept();
        };
        window_->OnCommand(kCmdStartCapture);
        ASSERT_TRUE(WaitFor([&] { return !camera().recorder().busy(); }, 10s));
        EXPECT_EQ(fs::exists(file), existed);
        if (existed) {
            EXPECT_EQ(test::ReadBytes(file), before);
        }
        if (StatusText().startsWith("Captured ")) {
            EXPECT_TRUE(StatusText().endsWith(" - nothing recorded: the capture file is as it was"))
                << StatusText().toStdString();
        }
    }
}

// A Motion JPEG camera as sold: pictures without Huffman tables, pictures cut
// short or with garbage in their headers, and a run of pictures whole in
// form that no decoder reads (more than a decoder's default limit of errors
// in a row). They never stop the camera: the broken ones are dropped (and
// counted), the others published as complete JPEGs and recorded as they
// came, in a file GStreamer's own decoder plays.
TEST_F(CameraRecordingTest, AMotionJpegCameraIsPublishedAndRecordedWhateverItsPicturesHold) {
    const std::string made =
        test::RunProcess({"/usr/bin/gst-launch-1.0", "-q", "videotestsrc", "num-buffers=4", "!",
                          "video/x-raw,width=320,height=240", "!", "jpegenc", "!", "multifilesink",
                          "location=" + (dir_ / "p%d.jpg")})
            .err;
    ASSERT_EQ(made, "");
    std::vector<std::vector<std::uint8_t>> good;
    for (int n = 0; n < 4; ++n)
        good.push_back(test::ReadBytes(dir_ / ("p" + std::to_string(n) + ".jpg")));
    std::vector<std::uint8_t> no_tables;  // the Huffman tables (DHT) cut out
    for (std::size_t at = 0; at < good[1].size(); ++at) {
        if (at + 3 < good[1].size() && good[1][at] == 0xFF && good[1][at + 1] == 0xC4) {
            at += 1 + (std::size_t{good[1][at + 2]} << 8 | good[1][at + 3]);
        } else {
            no_tables.push_back(good[1][at]);
        }
    }
    const std::vector<std::uint8_t> cut(good[2].begin(), good[2].begin() + good[2].size() / 2);
    std::vector<std::uint8_t> garbage = good[3];
    for (std::size_t at = 2; at < 30; ++at)
        garbage[at] = static_cast<std::uint8_t>(at * 41);
    // Whole in form, but a frame header no decoder takes (12 components).
    std::vector<std::uint8_t> unreadable = good[0];
    for (std::size_t at = 2; at + 9 < unreadable.size(); ++at) {
        if (unreadable[at] == 0xFF && unreadable[at + 1] == 0xC0) {
            unreadable[at + 9] = 12;
            break;
        }
    }
    std::vector<std::uint8_t> stream;
    const auto add = [&](const std::vector<std::uint8_t>& picture, int times) {
        for (int n = 0; n < times; ++n)
            stream.insert(stream.end(), picture.begin(), picture.end());
    };
    add(good[0], 3);
    add(no_tables, 3);
    add(cut, 1);
    add(garbage, 1);
    add(unreadable, 12);
    add(good[3], 3);
    test::WriteBytes(dir_ / "camera.mjpeg", stream);

    TestCameraConfig clip = test::Camera("Clip");
    clip.replay = dir_ / "camera.mjpeg";
    PlugAndList(clip);
    camera().ChooseDevicesByName("Clip");
    ASSERT_TRUE(graph().jpeg_frames());
    for (int published = files_.jpeg_publishes + 3; files_.jpeg_publishes < published;) {
        const int before = files_.jpeg_publishes;
        ASSERT_TRUE(WaitFor([&] { return files_.jpeg_publishes > before; }));
        EXPECT_EQ(test::DecodeJpeg("vemo/vemo.jpg").width, 320u);
        EXPECT_TRUE(test::DecodeGif("vemo/vemo.gif").ok);
    }

    ASSERT_TRUE(StartRecording(dir_ / "clip.avi"));
    RunEvents(1800ms);  // more than two rounds of the clip
    StopAndFinish();
    const int reported = CapturedFrames();
    ASSERT_GT(reported, 0) << StatusText().toStdString();
    const int dropped = DroppedFrames();
    EXPECT_GE(dropped, 1) << "broken pictures count as dropped";
    const AviContents avi = ReadAvi(dir_ / "clip.avi", true);
    ASSERT_EQ(avi.all_frames.size(), static_cast<std::size_t>(reported));
    for (const std::vector<std::uint8_t>& frame : avi.all_frames) {
        EXPECT_TRUE(frame == good[0] || frame == no_tables || frame == unreadable ||
                    frame == good[3])
            << "recorded as the camera sent it, broken pictures left out";
    }
    const int readable =
        static_cast<int>(std::count_if(avi.all_frames.begin(), avi.all_frames.end(),
                                       [&](const auto& frame) { return frame != unreadable; }));
    EXPECT_EQ(ReadAvi(dir_ / "clip.avi", false, "jpegdec max-errors=-1").frames, readable)
        << "pictures without Huffman tables play";
    EXPECT_TRUE(graph().previewing());
    EXPECT_TRUE(messages_.empty()) << testing::PrintToString(messages_);
}

// Pictures whole in form that are not the camera's (a frame header claiming
// 65500 x 65500, a CMYK picture among YCbCr ones), whose tables no decoder
// takes, or that were cut short and closed with an end marker, made from a
// real photograph. The camera goes on: the first three kinds are counted as
// dropped and never recorded, and no published picture is one cut short
// (flat grey rows; decoders play such a picture, so it is recorded).
TEST_F(CameraRecordingTest, PicturesThatAreNotTheCamerasNeverStopItOrReachAFile) {
    ASSERT_EQ(test::RunProcess({"/usr/bin/gst-launch-1.0", "-q", "filesrc",
                                std::string("location=") + test::kPhotograph, "!", "jpegdec", "!",
                                "videoscale", "!", "video/x-raw,width=320,height=240", "!",
                                "jpegenc", "!", "filesink", "location=" + (dir_ / "good.jpg")})
                  .err,
              "");
    const std::vector<std::uint8_t> good = test::ReadBytes(dir_ / "good.jpg");
    const auto bent = [&](std::uint8_t marker, std::size_t from, std::vector<std::uint8_t> values) {
        std::vector<std::uint8_t> picture = good;
        for (std::size_t at = 2; at + 4 < picture.size(); ++at) {
            if (picture[at] == 0xFF && picture[at + 1] == marker) {
                std::copy(values.begin(), values.end(),
                          picture.begin() + static_cast<std::ptrdiff_t>(at + from));
                break;
            }
        }
        return picture;
    };
    test::WriteTestJpeg(dir_ / "cmyk.jpg", 320, 240, 4);
    std::vector<std::uint8_t> cut(good.begin(), good.begin() + good.size() / 2);
    cut.insert(cut.end(), {0xFF, 0xD9});
    std::vector<std::uint8_t> stream;
    for (const auto& picture :
         {good, bent(0xC0, 5, {0xFF, 0xDC, 0xFF, 0xDC}), good, test::ReadBytes(dir_ / "cmyk.jpg"),
          good, bent(0xC4, 5, std::vector<std::uint8_t>(16, 0xFF)), cut, cut, cut, cut, cut, cut,
          cut, cut, cut, cut, cut, cut}) {
        stream.insert(stream.end(), picture.begin(), picture.end());
    }
    test::WriteBytes(dir_ / "camera.mjpeg", stream);
    TestCameraConfig clip = test::Camera("Bent");
    clip.replay = dir_ / "camera.mjpeg";
    PlugAndList(clip);
    camera().ChooseDevicesByName("Bent");
    for (int published = files_.jpeg_publishes + 4; files_.jpeg_publishes < published;) {
        const int before = files_.jpeg_publishes;
        ASSERT_TRUE(WaitFor([&] { return files_.jpeg_publishes > before; }));
        const test::DecodedJpeg picture = test::DecodeJpeg("vemo/vemo.jpg");
        ASSERT_EQ(picture.height, 240u);
        const std::size_t row = picture.width * 3;
        for (std::size_t y = picture.height * 3 / 4; y < picture.height; ++y) {
            const auto first = picture.samples.begin() + static_cast<std::ptrdiff_t>(y * row);
            const auto [low, high] =
                std::minmax_element(first, first + static_cast<std::ptrdiff_t>(row));
            ASSERT_GT(*high - *low, 8) << "row " << y << " is flat: a picture cut short";
        }
    }

    ASSERT_TRUE(StartRecording(dir_ / "bent.avi"));
    RunEvents(1500ms);
    StopAndFinish();
    const int reported = CapturedFrames();
    ASSERT_GT(reported, 0) << StatusText().toStdString();
    const int dropped = DroppedFrames();
    EXPECT_GE(dropped, 3) << "the bent pictures count as dropped";
    const AviContents avi = ReadAvi(dir_ / "bent.avi", true);
    ASSERT_EQ(avi.all_frames.size(), static_cast<std::size_t>(reported));
    for (const std::vector<std::uint8_t>& frame : avi.all_frames)
        EXPECT_TRUE(frame == good || frame == cut) << "only pictures a decoder reads";
    EXPECT_EQ(ReadAvi(dir_ / "bent.avi", false, "jpegdec").frames, reported);
    EXPECT_TRUE(graph().previewing());
    EXPECT_TRUE(messages_.empty()) << testing::PrintToString(messages_);
}

// Audio capture (command 12), for which no device exists: the camera goes
// on publishing, and the next recording drops the request and records the
// video.
TEST_F(CameraRecordingTest, AudioCaptureIsDroppedByTheRecordingsBuildAndNeverStopsTheCamera) {
    window_->PostCommand(kCmdToggleAudio);
    const int published = files_.jpeg_publishes;
    EXPECT_TRUE(WaitFor([&] { return files_.jpeg_publishes > published; }, 3s));
    EXPECT_TRUE(graph().previewing());
    window_->PostCommand(kCmdStartCapture);
    EXPECT_TRUE(camera().recording()) << "the video alone: " << StatusText().toStdString();
    EXPECT_FALSE(state().capture_audio);
    RunEvents(500ms);
    StopAndFinish();
    EXPECT_GT(CapturedFrames(), 0) << StatusText().toStdString();
}

TEST_F(CameraRecordingTest, ASavedCopyHoldsTheRecordingWithItsProgress) {
    window_->OnCommand(kCmdStartCapture);
    RunEvents(1s);
    StopAndFinish();
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

TEST_F(CameraRecordingTest, EveryPathThatRebuildsTheGraphFinishesTheRecordingFirst) {
    PlugAndList(test::Camera("Test Camera 2"));
    // Commands from another program (Command(u)) and the D-Bus camera methods.
    RecordUntil("captions.avi", [&] { window_->PostCommand(kCmdToggleClosedCaptions); });
    window_->PostCommand(kCmdToggleClosedCaptions);
    RecordUntil("audio.avi", [&] { window_->PostCommand(kCmdToggleAudio); });
    window_->PostCommand(kCmdToggleAudio);
    RecordUntil("device.avi", [&] { window_->PostCommand(kCmdFirstDevice + 1); });
    EXPECT_EQ(camera().current_video_device()->name, "Test Camera 2");
    RecordUntil("format.avi", [&] { EXPECT_TRUE(camera().UseFormatNamed("320x240").ok()); });
    EXPECT_EQ(state().frame_width, 320);
    other_dialog_ = [](QDialog* dialog) {
        if (dialog->objectName() != "602") return;
        dialog->findChild<QLineEdit*>("402")->setText("5");
        dialog->accept();
    };
    RecordUntil("rate.avi", [&] { window_->PostCommand(kCmdFrameRate); });
    EXPECT_EQ(state().frame_rate, 5.0);
    // The format page: another size chosen reopens the camera.
    other_dialog_ = [](QDialog* dialog) {
        if (dialog->objectName() != "camera_format") return;
        auto* sizes = dialog->findChild<QListWidget*>("sizes");
        for (int row = 0; row < sizes->count(); ++row) {
            if (sizes->item(row)->text().startsWith("640")) sizes->setCurrentRow(row);
        }
        dialog->accept();
    };
    RecordUntil("pin.avi", [&] { window_->OnCommand(43); });
    EXPECT_EQ(state().frame_width, 640);
    other_dialog_ = {};

    // What must not touch a running recording: the file commands are
    // refused, a second start does nothing, and the preview runs on.
    RecordUntil("refusals.avi", [&] {
        const int dialogs = ready_dialogs_;
        window_->PostCommand(kCmdStartCapture);
        EXPECT_EQ(ready_dialogs_, dialogs);
        EXPECT_TRUE(graph().previewing());
        const std::string name = state().capture_file.capture_file_name;
        window_->PostCommand(kCmdChooseCaptureFile);
        EXPECT_EQ(StatusText(), "Cannot change the capture file while recording");
        window_->PostCommand(kCmdAllocCaptureFile);
        EXPECT_EQ(StatusText(), "Cannot change the capture file while recording");
        window_->PostCommand(kCmdSaveCaptureFile);
        EXPECT_EQ(StatusText(), "Cannot save a copy of the capture file while recording");
        EXPECT_EQ(state().capture_file.capture_file_name, name);
        EXPECT_TRUE(camera().recording());
        window_->PostCommand(kCmdStopCapture);
    });
    EXPECT_TRUE(WaitFor([&] { return graph().previewing(); }));
}

TEST_F(CameraRecordingTest, CommandEightCancelsTheGoAheadAndNoDialogOpensOnAnother) {
    int opened = 0;
    int most_open = 0;
    ready_dialog_ = [&](QDialog* dialog) {
        if (dialog->property("seen").toBool()) return;
        dialog->setProperty("seen", true);
        ++opened;
        int open = 0;
        for (QWidget* widget : QApplication::topLevelWidgets())
            open += widget->isVisible() && widget->objectName() == "603";
        most_open = std::max(most_open, open);
        if (opened == 1) {
            // Further starts from another program wait for this dialog, and
            // a stop cancels it.
            window_->PostCommand(kCmdStartCapture);
            window_->PostCommand(kCmdStartCapture);
            window_->PostCommand(kCmdStopCapture);
        } else {
            dialog->reject();
        }
    };
    // A capture file that exists already is never removed by a cancelled
    // start; one the start made is.
    test::WriteBytes(file_, {'k', 'e', 'e', 'p'});
    window_->PostCommand(kCmdStartCapture);
    ASSERT_TRUE(WaitFor([&] { return opened == 3 && !QApplication::activeModalWidget(); }));
    EXPECT_EQ(most_open, 1);
    EXPECT_FALSE(camera().recording());
    EXPECT_EQ(test::ReadBytes(file_), (std::vector<std::uint8_t>{'k', 'e', 'e', 'p'}));
    const std::string fresh = dir_ / "fresh.avi";
    state().capture_file.capture_file_name = fresh;
    window_->PostCommand(kCmdStartCapture);
    ASSERT_TRUE(WaitFor([&] { return opened == 4 && !QApplication::activeModalWidget(); }));
    EXPECT_FALSE(fs::exists(fresh));
    // The preview and the camera's pictures are back.
    EXPECT_TRUE(graph().previewing());
    const int before = files_.jpeg_publishes;
    EXPECT_TRUE(WaitFor([&] { return files_.jpeg_publishes > before; }));
}

TEST_F(CameraRecordingTest, AControlsDialogSurvivesACameraSwitchUnderIt) {
    PlugAndList(test::Camera("Test Camera 2"));
    bool switched = false;
    other_dialog_ = [&](QDialog* dialog) {
        if (dialog->objectName() != "camera_controls") return;
        if (!switched) {
            switched = true;
            window_->OnCommand(kCmdFirstDevice + 1);
        }
        QTest::keyClick(dialog, Qt::Key_Escape);
    };
    window_->OnCommand(kCmdFirstPropertyPage);
    EXPECT_TRUE(switched);
    EXPECT_EQ(camera().current_video_device()->name, "Test Camera 2");
}

TEST_F(CameraRecordingTest, ACameraThatStallsOrFailsFinishesTheRecordingWithItsLine) {
    TestCameraConfig stalling = test::Camera("Stalling");
    stalling.fps = 30;
    stalling.stall_after = 45;
    PlugAndList(stalling);
    TestCameraConfig failing = test::Camera("Failing");
    failing.fps = 30;
    failing.error_after = 30;
    PlugAndList(failing);
    camera().ChooseDevicesByName("Stalling");
    RecordUntil("stall.avi", [] {});
    EXPECT_TRUE(Said("Vemo : Stopping Capture (Device Lost)"));
    messages_.clear();
    camera().ChooseDevicesByName("Failing");
    RecordUntil("error.avi", [] {});
    EXPECT_TRUE(Said("Vemo : ERROR during capture")) << testing::PrintToString(messages_);
}

// A full disk or a file-size limit stops the recording while its index still
// fits: the file plays to its last frame, and the statistics line counts it.
TEST_F(CameraRecordingTest, NoMoreRoomLeavesAFinishedRecording) {
    const auto record_until_full = [&](const std::string& path) {
        messages_.clear();
        ASSERT_TRUE(StartRecording(path));
        ASSERT_TRUE(WaitFor([&] { return !camera().recorder().busy(); }, 30s)) << path;
        EXPECT_GT(CapturedFrames(), 0) << StatusText().toStdString();
        EXPECT_EQ(ReadAvi(path).frames, CapturedFrames());
        const std::vector<std::uint8_t> bytes = test::ReadBytes(path);
        EXPECT_NE(std::search(bytes.begin(), bytes.end(), std::begin("idx1"), std::end("idx1") - 1),
                  bytes.end())
            << "the index is in the file";
        EXPECT_TRUE(Said("Vemo : Recording stopped: the capture file has no more room: "))
            << testing::PrintToString(messages_);
    };
    {
        const FileGrowthStopped limit(12 << 20);
        record_until_full(dir_ / "limit.avi");
    }
    EXPECT_TRUE(
        Said("Vemo : Recording stopped: the capture file has no more room: the file-size "
             "limit"));
    // A small disk of its own, where this machine allows one.
    const fs::path disk = dir_ / "disk";
    fs::create_directory(disk);
    if (::mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=12m") != 0) {
        std::cout << "no tmpfs could be mounted (" << std::strerror(errno)
                  << "): the full disk is not tried\n";
        return;
    }
    record_until_full(disk / "full.avi");
    EXPECT_TRUE(
        Said("Vemo : Recording stopped: the capture file has no more room: no room for "
             "the recording to go on: No space left on device"));
    ::umount2(disk.c_str(), MNT_DETACH);
}

// A file whose writes fail holds nothing up: command 8 and a camera switch
// that come before the window hears of the failure are back at once, while
// the file is finished on its own. It is closed as it stands, and kept, once
// the writer has had its time.
TEST_F(CameraRecordingTest, AFileThatCannotBeWrittenHoldsUpNeitherAStopNorASwitch) {
    PlugAndList(test::Camera("Test Camera 2"));
    for (const bool by_switch : {false, true}) {
        SCOPED_TRACE(by_switch ? "a camera switch" : "command 8");
        const std::string path = dir_ / (by_switch ? "switch.avi" : "stop.avi");
        ASSERT_TRUE(StartRecording(path));
        RunEvents(300ms);
        {
            const FileGrowthStopped full(fs::file_size(path));
            std::this_thread::sleep_for(300ms);  // the writer fails meanwhile
            window_->OnCommand(by_switch ? kCmdFirstDevice + 1 : kCmdStopCapture);
        }
        EXPECT_EQ(camera().recorder().state(), RecorderState::kFinishing);
        if (by_switch) {
            EXPECT_EQ(camera().current_video_device()->name, "Test Camera 2");
        }
        EXPECT_EQ(camera().StartCapture(false).outcome,
                  CameraController::CaptureStart::Outcome::kRefused);
        ASSERT_TRUE(WaitFor([&] { return !camera().recorder().busy(); }, 10s));
        EXPECT_EQ(StatusText(),
                  "Recording stopped before the file's index was written: it may not play");
        EXPECT_GT(fs::file_size(path), 0u);
    }
}

TEST_F(CameraRecordingTest, ARecordingShowsItsPreviewAndCodesRawFramesInFullRange) {
    ASSERT_TRUE(StartRecording(file_));
    // The preview runs on through the recording: the white bar at the top left.
    EXPECT_TRUE(WaitFor([&] {
        return QColor(window_->videoArea()->grab().toImage().pixel(10, 10)).lightness() > 200;
    }));
    RunEvents(500ms);
    StopAndFinish();
    const std::string picture = dir_ / "frame.jpg";
    test::WriteBytes(picture, ReadAvi(file_).first_frame);
    const test::DecodedJpeg frame = test::DecodeJpeg(picture);
    ASSERT_TRUE(frame.ok);
    // White and black as JPEG readers take them, not video range (235, 16).
    int brightest = 0;
    int darkest = 255;
    for (std::uint32_t y = 0; y < frame.height; y += 4) {
        for (std::uint32_t x = 0; x < frame.width; x += 4) {
            const std::uint8_t* rgb = frame.at(x, y);
            const int level = (rgb[0] + rgb[1] + rgb[2]) / 3;
            brightest = std::max(brightest, level);
            darkest = std::min(darkest, level);
        }
    }
    EXPECT_GE(brightest, 250);
    EXPECT_LE(darkest, 5);
}

TEST_F(CameraRecordingTest, EachRecordingWritesTheFileNamedAtItsStartCameraOffOrOn) {
    for (const bool camera_on : {false, true}) {
        if (state().camera_on != camera_on) window_->OnCommand(kCmdCamera);
        // The camera opened afresh while it is off, as at a start-up with
        // camera publishing off: its grabber chain hangs behind it.
        if (!camera_on) {
            ASSERT_TRUE(camera().UseFormatNamed("640x480").ok());
        }
        const std::string a = dir_ / (camera_on ? "on-a.avi" : "off-a.avi");
        const std::string b = dir_ / (camera_on ? "on-b.avi" : "off-b.avi");
        RecordUntil(fs::path(a).filename(), [&] { window_->OnCommand(kCmdStopCapture); });
        const std::vector<std::uint8_t> first = test::ReadBytes(a);
        RecordUntil(fs::path(b).filename(), [&] { window_->OnCommand(kCmdStopCapture); });
        EXPECT_EQ(test::ReadBytes(a), first) << "the first recording stays as it was";
        EXPECT_EQ(graph().previewing(), camera_on);
    }
    // A start that fails brings the preview and the camera's pictures back.
    state().capture_file.capture_file_name = dir_ / "missing/cap.avi";
    window_->OnCommand(kCmdStartCapture);
    EXPECT_TRUE(Said("Vemo : Cannot set output file")) << testing::PrintToString(messages_);
    EXPECT_TRUE(graph().previewing());
    const int before = files_.jpeg_publishes;
    EXPECT_TRUE(WaitFor([&] { return files_.jpeg_publishes > before; }));
}

}  // namespace
}  // namespace vemo
