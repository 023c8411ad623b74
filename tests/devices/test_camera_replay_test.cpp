// Test cameras that play real pictures: a replay camera sends a Motion JPEG
// file's pictures byte for byte, in a loop, live at the file's rate; a
// webcam-like camera offers a USB webcam's modes and codes Motion JPEG live.
// The material is made here by GStreamer's own encoder and multiplexer.

#include <gst/gst.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "camera/camera_format.h"
#include "camera/camera_graph.h"
#include "camera/capture_device.h"
#include "devices/device_list.h"
#include "devices/test_camera_replay.h"
#include "devices/test_cameras.h"
#include "support/test_support.h"

namespace vemo {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Runs a gst-launch description until its end; "" or what went wrong.
std::string RunToEnd(const std::string& description) {
    GError* error = nullptr;
    const gst::ElementRef pipeline = gst::ElementRef::Adopt(
        GST_ELEMENT(gst_object_ref_sink(gst_parse_launch(description.c_str(), &error))));
    if (error != nullptr) {
        const std::string text = error->message;
        g_error_free(error);
        return text;
    }
    gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);
    const gst::BusRef bus = gst::BusRef::Adopt(gst_element_get_bus(pipeline.get()));
    const gst::MessagePtr message{gst_bus_timed_pop_filtered(
        bus.get(), 30 * GST_SECOND,
        static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR))};
    gst_element_set_state(pipeline.get(), GST_STATE_NULL);
    if (!message) return "no end";
    return GST_MESSAGE_TYPE(message.get()) == GST_MESSAGE_EOS ? "" : "an error";
}

// `count` pictures coded by jpegenc, each as its own file and all in an AVI.
struct Material {
    std::string avi;
    std::vector<Bytes> pictures;
};

Material MakeMaterial(const test::TempDir& dir, int count, const std::string& format) {
    Material material;
    material.avi = dir / "clip.avi";
    const std::string error =
        RunToEnd("videotestsrc num-buffers=" + std::to_string(count) + " pattern=ball ! " + format +
                 " ! jpegenc ! tee name=t ! queue ! avimux ! filesink location=" + material.avi +
                 " t. ! queue ! multifilesink location=" + (dir / "picture%03d.jpg"));
    EXPECT_EQ(error, "");
    for (int i = 0; i < count; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "picture%03d.jpg", i);
        material.pictures.push_back(test::ReadBytes(dir / name));
    }
    return material;
}

// `picture` without its Huffman tables, as many cameras send Motion JPEG.
Bytes WithoutHuffmanTables(Bytes picture) {
    for (std::size_t at = 2; at + 4 <= picture.size() && picture[at + 1] != 0xDA;) {
        const std::size_t length = picture[at + 2] << 8 | picture[at + 3];
        if (picture[at + 1] == 0xC4) {
            picture.erase(picture.begin() + static_cast<long>(at),
                          picture.begin() + static_cast<long>(at + 2 + length));
        } else {
            at += 2 + length;
        }
    }
    return picture;
}

// The pictures a broken stream holds: a whole one, one cut short, one of
// garbage, one without Huffman tables, a whole one.
std::vector<Bytes> BrokenPictures(const std::vector<Bytes>& good) {
    const Bytes cut(good[1].begin(), good[1].begin() + static_cast<long>(good[1].size() / 2));
    const Bytes garbage = {0xFF, 0xD8, 0xFF, 0xE9, 0x01, 0x7F, 0x23, 0x00, 0x42, 0xFF, 0xD9};
    const Bytes tableless = WithoutHuffmanTables(good[2]);
    EXPECT_LT(tableless.size(), good[2].size());
    return {good[0], cut, garbage, tableless, good[3]};
}

// Caps `actual` say at least what `expected` says.
bool Within(const std::string& actual, const char* expected) {
    const gst::CapsPtr got{gst_caps_from_string(actual.c_str())};
    const gst::CapsPtr wanted{gst_caps_from_string(expected)};
    return got && wanted && gst_caps_is_subset(got.get(), wanted.get());
}

struct Received {
    Bytes bytes;
    GstClockTime pts = GST_CLOCK_TIME_NONE;
    GstClockTime arrived = GST_CLOCK_TIME_NONE;  // the pipeline's running time
    std::string caps;
};

class TestCameraMediaTest : public testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(EnableTestCameras()); }
    void TearDown() override {
        Stop();
        devices_.Release();
        UnplugAllTestCameras();
    }

    // The plugged camera as the engine's device list finds it.
    CaptureDevice Find(const std::string& identity) {
        devices_.List();
        for (int i = 0; i < kVideoDeviceSlots; ++i) {
            if (devices_.slot(i) && devices_.slot(i)->identity == identity) {
                return *devices_.slot(i);
            }
        }
        ADD_FAILURE() << identity << " is not listed";
        return {};
    }

    // What the camera's element offers when opened, as the engine asks it.
    static gst::CapsPtr Offered(GstElement* camera) {
        gst_element_set_state(camera, GST_STATE_READY);
        const gst::PadRef pad = gst::PadRef::Adopt(gst_element_get_static_pad(camera, "src"));
        gst::CapsPtr caps{gst_pad_query_caps(pad.get(), nullptr)};
        gst_element_set_state(camera, GST_STATE_NULL);
        return caps;
    }

    // Opens `device` as the engine's graph does: its format chosen from what
    // it offers, asked for by a capsfilter behind it.
    ChosenFormat Start(const CaptureDevice& device) {
        const gst::ElementRef camera = gst::ElementRef::Adopt(GST_ELEMENT(
            gst_object_ref_sink(gst_device_create_element(device.device.get(), "Cap"))));
        std::string why;
        std::optional<ChosenFormat> chosen =
            ChooseFormat(Offered(camera.get()).get(), why, device.preferred_size);
        EXPECT_TRUE(chosen) << why;
        if (!chosen) return {};
        pipeline_ = gst::ElementRef::Adopt(GST_ELEMENT(gst_object_ref_sink(gst_pipeline_new("p"))));
        const gst::ElementRef format = MakeElement("capsfilter", "Format");
        g_object_set(format.get(), "caps", chosen->caps.get(), nullptr);
        sink_ = MakeElement("appsink", "Grabber");
        g_object_set(sink_.get(), "sync", FALSE, nullptr);
        gst_bin_add_many(GST_BIN(pipeline_.get()), camera.get(), format.get(), sink_.get(),
                         nullptr);
        EXPECT_TRUE(gst_element_link_many(camera.get(), format.get(), sink_.get(), nullptr));
        EXPECT_NE(gst_element_set_state(pipeline_.get(), GST_STATE_PLAYING),
                  GST_STATE_CHANGE_FAILURE);
        return std::move(*chosen);
    }

    void Stop() {
        if (pipeline_) gst_element_set_state(pipeline_.get(), GST_STATE_NULL);
        pipeline_.reset();
        sink_.reset();
    }

    GstClockTime RunningTime() const {
        GstClock* clock = gst_element_get_clock(pipeline_.get());
        if (clock == nullptr) return GST_CLOCK_TIME_NONE;
        const GstClockTime now = gst_clock_get_time(clock);
        gst_object_unref(clock);
        return now - gst_element_get_base_time(pipeline_.get());
    }

    // The next picture the camera delivers within `wait`; nullopt when none.
    std::optional<Received> Next(GstClockTime wait = 5 * GST_SECOND) {
        GstSample* sample = nullptr;
        g_signal_emit_by_name(sink_.get(), "try-pull-sample", wait, &sample);
        if (sample == nullptr) return std::nullopt;
        Received received;
        received.arrived = RunningTime();
        GstBuffer* buffer = gst_sample_get_buffer(sample);
        received.pts = GST_BUFFER_PTS(buffer);
        GstMapInfo map;
        if (gst_buffer_map(buffer, &map, GST_MAP_READ)) {
            received.bytes.assign(map.data, map.data + map.size);
            gst_buffer_unmap(buffer, &map);
        }
        const gst::StringPtr caps{gst_caps_to_string(gst_sample_get_caps(sample))};
        received.caps = caps.get();
        gst_sample_unref(sample);
        return received;
    }

    // The camera sends `pictures` in order and again from the first, each
    // stamped one frame period after the last with the running time it is
    // delivered at, in `caps`.
    void ExpectReplayed(const std::vector<Bytes>& pictures, const std::string& caps,
                        GstClockTime period) {
        GstClockTime first = GST_CLOCK_TIME_NONE;
        const std::size_t count = pictures.size() * 2 + 1;
        for (std::size_t i = 0; i < count; ++i) {
            const std::optional<Received> received = Next();
            ASSERT_TRUE(received) << "picture " << i;
            EXPECT_TRUE(received->bytes == pictures[i % pictures.size()])
                << "picture " << i << " differs (" << received->bytes.size() << " bytes, not "
                << pictures[i % pictures.size()].size() << ")";
            EXPECT_EQ(received->caps, caps);
            if (i == 0) first = received->pts;
            EXPECT_EQ(received->pts, first + i * period) << "picture " << i;
            // Sent when its time comes, not before, and not much after.
            EXPECT_GE(received->arrived + GST_MSECOND, received->pts) << "picture " << i;
            EXPECT_LT(received->arrived, received->pts + 150 * GST_MSECOND) << "picture " << i;
        }
    }

    test::TempDir dir_;
    DeviceList devices_;
    gst::ElementRef pipeline_;
    gst::ElementRef sink_;
};

TestCameraConfig Replay(const std::string& name, const std::string& path, int fps = 0) {
    TestCameraConfig config;
    config.name = name;
    config.replay = path;
    config.fps = fps;
    return config;
}

TEST_F(TestCameraMediaTest, AnAviIsSentPictureForPictureAtItsRateAndTakenAsMotionJpeg) {
    const Material material =
        MakeMaterial(dir_, 6, "video/x-raw,width=160,height=120,framerate=10/1");
    std::string why;
    const std::string identity = PlugTestCamera(Replay("Clip", material.avi), &why);
    ASSERT_NE(identity, "") << why;
    const CaptureDevice device = Find(identity);
    ASSERT_TRUE(device.device);
    EXPECT_EQ(device.preferred_size, (FrameSize{160, 120}));
    const std::vector<OfferedFormat> formats = DeviceFormats(device);
    ASSERT_EQ(formats.size(), 1u) << "one Motion JPEG mode";
    EXPECT_EQ(formats[0].pixel_format, "MJPG");
    EXPECT_EQ(formats[0].width, 160);
    EXPECT_EQ(formats[0].rate_numerator, 10);
    EXPECT_TRUE(OpenTestCameraControls(identity)->Controls().empty());

    const ChosenFormat chosen = Start(device);
    EXPECT_TRUE(chosen.decode_jpeg) << "the engine takes the camera's Motion JPEG";
    EXPECT_EQ(chosen.width, 160);
    ExpectReplayed(material.pictures,
                   "image/jpeg, width=(int)160, height=(int)120, "
                   "framerate=(fraction)10/1",
                   100 * GST_MSECOND);
}

TEST_F(TestCameraMediaTest, BrokenPicturesAreSentAsTheFileHoldsThem) {
    const Material material =
        MakeMaterial(dir_, 4, "video/x-raw,width=96,height=64,framerate=25/1");
    const std::vector<Bytes> pictures = BrokenPictures(material.pictures);

    // An AVI written by avimux from an application's buffers: no parser
    // between them and the file. (A raw stream's broken pictures: the
    // splitter's tests and the engine's recording test.)
    const std::string avi = dir_ / "broken.avi";
    GError* error = nullptr;
    const gst::ElementRef writer = gst::ElementRef::Adopt(GST_ELEMENT(gst_object_ref_sink(
        gst_parse_launch(("appsrc name=in format=time caps=image/jpeg,width=96,height=64,"
                          "framerate=20/1 ! mux.video_0 avimux name=mux ! filesink location=" +
                          avi)
                             .c_str(),
                         &error))));
    ASSERT_EQ(error, nullptr) << error->message;
    const gst::ElementRef in =
        gst::ElementRef::Adopt(gst_bin_get_by_name(GST_BIN(writer.get()), "in"));
    gst_element_set_state(writer.get(), GST_STATE_PLAYING);
    for (std::size_t i = 0; i < pictures.size(); ++i) {
        GstBuffer* buffer = gst_buffer_new_memdup(pictures[i].data(), pictures[i].size());
        GST_BUFFER_PTS(buffer) = i * 50 * GST_MSECOND;
        GST_BUFFER_DURATION(buffer) = 50 * GST_MSECOND;
        GstFlowReturn flow = GST_FLOW_OK;
        g_signal_emit_by_name(in.get(), "push-buffer", buffer, &flow);
        gst_buffer_unref(buffer);
        ASSERT_EQ(flow, GST_FLOW_OK);
    }
    GstFlowReturn flow = GST_FLOW_OK;
    g_signal_emit_by_name(in.get(), "end-of-stream", &flow);
    const gst::BusRef bus = gst::BusRef::Adopt(gst_element_get_bus(writer.get()));
    const gst::MessagePtr end{gst_bus_timed_pop_filtered(
        bus.get(), 10 * GST_SECOND,
        static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR))};
    gst_element_set_state(writer.get(), GST_STATE_NULL);
    ASSERT_TRUE(end && GST_MESSAGE_TYPE(end.get()) == GST_MESSAGE_EOS) << "the AVI is written";
    std::string why;
    const std::string identity = PlugTestCamera(Replay("Avi", avi), &why);
    ASSERT_NE(identity, "") << why;
    Start(Find(identity));
    ExpectReplayed(pictures, "image/jpeg, width=(int)96, height=(int)64, framerate=(fraction)20/1",
                   50 * GST_MSECOND);
}

TEST_F(TestCameraMediaTest, AReplayCameraStallsFailsAndGoesAwayAsTold) {
    const Material material =
        MakeMaterial(dir_, 3, "video/x-raw,width=64,height=48,framerate=25/1");
    TestCameraConfig stalling = Replay("Stalling", material.avi);
    stalling.stall_after = 4;
    const std::string stalls = PlugTestCamera(stalling);
    Start(Find(stalls));
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(Next()) << "picture " << i;
    EXPECT_FALSE(Next(600 * GST_MSECOND)) << "nothing after the fourth";
    Stop();

    TestCameraConfig busy = Replay("Busy", material.avi);
    busy.busy = true;
    Start(Find(PlugTestCamera(busy)));
    const gst::BusRef bus = gst::BusRef::Adopt(gst_element_get_bus(pipeline_.get()));
    const gst::MessagePtr error{
        gst_bus_timed_pop_filtered(bus.get(), 5 * GST_SECOND, GST_MESSAGE_ERROR)};
    ASSERT_TRUE(error);
    GError* gerror = nullptr;
    gst_message_parse_error(error.get(), &gerror, nullptr);
    EXPECT_TRUE(g_error_matches(gerror, GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_BUSY));
    g_error_free(gerror);
    Stop();

    const std::string unplugged = PlugTestCamera(Replay("Going", material.avi));
    Start(Find(unplugged));
    ASSERT_TRUE(Next());
    ASSERT_TRUE(UnplugTestCamera(unplugged));
    while (Next(200 * GST_MSECOND)) {
        // what was on its way when it went
    }
    EXPECT_FALSE(Next(600 * GST_MSECOND)) << "an unplugged camera sends nothing";
}

TEST_F(TestCameraMediaTest, AWebcamOffersItsModesAndCodesMotionJpegWhenAskedFor) {
    TestCameraConfig config;
    config.name = "Desk";
    config.uvc = true;
    const CaptureDevice plain = Find(PlugTestCamera(config));
    std::vector<std::string> modes;
    for (const OfferedFormat& format : DeviceFormats(plain)) {
        modes.push_back(format.pixel_format + " " + std::to_string(format.width) + "x" +
                        std::to_string(format.height) + "@" +
                        std::to_string(format.rate_numerator));
    }
    EXPECT_EQ(modes, (std::vector<std::string>{"YUY2 320x240@30", "YUY2 320x240@15",
                                               "YUY2 640x480@30", "YUY2 640x480@15",
                                               "MJPG 1280x720@30", "MJPG 1920x1080@30"}));

    // Nothing asked: raw video at the common size, as the engine prefers.
    ChosenFormat chosen = Start(plain);
    EXPECT_FALSE(chosen.decode_jpeg);
    std::optional<Received> frame = Next();
    ASSERT_TRUE(frame);
    EXPECT_TRUE(Within(frame->caps, "video/x-raw,format=YUY2,width=640,height=480,framerate=30/1"))
        << frame->caps;
    EXPECT_EQ(frame->bytes.size(), 640u * 480u * 2u);
    Stop();

    // Opened at 1280x720: Motion JPEG coded live, then decoded by the engine.
    config.width = 1280;
    config.height = 720;
    const CaptureDevice hd = Find(PlugTestCamera(config));
    chosen = Start(hd);
    EXPECT_TRUE(chosen.decode_jpeg);
    frame = Next();
    ASSERT_TRUE(frame);
    EXPECT_TRUE(Within(frame->caps, "image/jpeg,width=1280,height=720,framerate=30/1"))
        << frame->caps;
    test::WriteBytes(dir_ / "hd.jpg", frame->bytes);
    const test::DecodedJpeg decoded = test::DecodeJpeg(dir_ / "hd.jpg");
    EXPECT_TRUE(decoded.ok);
    EXPECT_EQ(decoded.width, 1280u);
    EXPECT_EQ(decoded.height, 720u);
}

// The photograph coded by jpegenc at `size`: alone, or three times in an AVI
// whose header says 1,000,000 pictures a second.
Bytes Photograph(const test::TempDir& dir, const std::string& size, bool avi = false) {
    const std::string path = dir / (size + (avi ? ".avi" : ".jpg"));
    EXPECT_EQ("", RunToEnd(std::string("filesrc location=") + test::kPhotograph +
                           " ! jpegdec ! videoscale ! imagefreeze num-buffers=3 ! video/x-raw," +
                           size + ",framerate=1000000/1 ! jpegenc ! " +
                           (avi ? "avimux ! filesink" : "multifilesink max-files=1") +
                           " location=" + path));
    return test::ReadBytes(path);
}

TEST_F(TestCameraMediaTest, AReplayCameraBelievesItsPicturesNotItsHeadersAndWithinBounds) {
    // An AVI that also says 640x480: the pictures' size, at 120 a second.
    Bytes avi = Photograph(dir_, "width=256,height=300", true);
    const Bytes strf = {'s', 't', 'r', 'f'}, vga = {0x80, 0x02, 0, 0, 0xE0, 0x01, 0, 0};
    std::ranges::copy(vga, std::ranges::search(avi, strf).begin() + 12);
    test::WriteBytes(dir_ / "lying.avi", avi);
    const auto offered = DeviceFormats(Find(PlugTestCamera(Replay("Lying", dir_ / "lying.avi"))));
    EXPECT_TRUE(offered.size() == 1 && offered[0].width == 256 && offered[0].height == 300 &&
                offered[0].rate_numerator == 120 && offered[0].rate_denominator == 1);
    // Raw streams: photographs whose EXIF block holds a whole JPEG, one cut short, longer than a
    // picture is held to be judged; one claiming 16000x16000 (sent as it is) among others; it.
    const Bytes plain = Photograph(dir_, "width=256,height=300"),
                thumbnail = Photograph(dir_, "width=64,height=75");
    Bytes photo = {0xFF, 0xD8, 0xFF, 0xE1, 0, 0, 'E', 'x', 'i', 'f', 0, 0}, huge = plain;
    photo[4] = (thumbnail.size() + 8) >> 8;
    photo[5] = (thumbnail.size() + 8) & 0xFF;
    photo.insert(photo.end(), thumbnail.begin(), thumbnail.end());
    photo.insert(photo.end(), plain.begin() + 2, plain.end());
    const Bytes cut(plain.begin(), plain.begin() + static_cast<long>(plain.size() / 2));
    const Bytes sof = {0xFF, 0xC0}, sides = {0x3E, 0x80, 0x3E, 0x80};
    std::ranges::copy(sides, std::ranges::search(huge, sof).begin() + 5);
    std::string error;
    const auto size_if_found_as_put = [&](const std::vector<Bytes>& pictures, std::size_t least) {
        Bytes stream;
        std::vector<ReplayPicture> put;
        do {
            for (const Bytes& picture : pictures) {
                put.push_back({stream.size(), static_cast<std::uint32_t>(picture.size())});
                stream.insert(stream.end(), picture.begin(), picture.end());
            }
        } while (stream.size() < least);
        test::WriteBytes(dir_ / "stream.mjpeg", stream);
        const std::optional<ReplayFile> file = OpenReplayFile(dir_ / "stream.mjpeg", 0, error);
        return file && file->pictures == put ? std::optional(file->size) : std::nullopt;
    };
    EXPECT_EQ(size_if_found_as_put({photo, cut, photo}, 40u << 20), (FrameSize{256, 300})) << error;
    EXPECT_EQ(size_if_found_as_put({huge, plain, plain}, 0), (FrameSize{256, 300}));
    EXPECT_FALSE(size_if_found_as_put({huge}, 0));
    EXPECT_NE(error.find("16000x16000, larger than the 8192x8192"), std::string::npos) << error;
}

}  // namespace
}  // namespace vemo
