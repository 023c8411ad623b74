// The frame grabber's hand-over to the window, the test camera descriptions
// and the small rules of the camera graph, without a running pipeline.

#include "camera/frame_grabber.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QObject>

#include <mutex>
#include <vector>

#include "camera/camera_events.h"
#include "camera/graph_events.h"
#include "devices/test_cameras.h"

namespace vemo {
namespace {

// Counts the events the grabber posts.
class EventCounter : public QObject {
  public:
    int frame_ready = 0;
    int preview = 0;

  protected:
    bool event(QEvent* event) override {
        if (event->type() == kFrameReadyEvent) ++frame_ready;
        if (event->type() == kPreviewFrameEvent) ++preview;
        return true;
    }
};

// A top-down BGR frame whose pixel (x, y) is (x, y, seed), rows of `stride`.
std::vector<std::uint8_t> TopDownFrame(int width, int height, std::size_t stride, int seed) {
    std::vector<std::uint8_t> bytes(stride * static_cast<std::size_t>(height), 0xEE);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p =
                &bytes[static_cast<std::size_t>(y) * stride + 3 * static_cast<std::size_t>(x)];
            p[0] = static_cast<std::uint8_t>(x);
            p[1] = static_cast<std::uint8_t>(y);
            p[2] = static_cast<std::uint8_t>(seed);
        }
    }
    return bytes;
}

FrameView View(const std::vector<std::uint8_t>& bytes, int width, int height, std::size_t stride) {
    return {bytes.data(), bytes.size(), width, height, stride};
}

class FrameGrabberTest : public testing::Test {
  protected:
    void SetUp() override { events_.Set(&counter_); }
    void TearDown() override { events_.Set(nullptr); }
    int PostedFrames() {
        QCoreApplication::sendPostedEvents(&counter_);
        return counter_.frame_ready;
    }

    EventCounter counter_;
    EventTarget events_;
    FrameGrabber grabber_{events_};
    FrameBuffer& frame_buffer = grabber_.frame_buffer();
};

TEST_F(FrameGrabberTest, NothingHappensWhileNoFrameIsRequested) {
    const auto bytes = TopDownFrame(8, 4, 24, 1);
    for (int i = 0; i < 5; ++i)
        EXPECT_FALSE(grabber_.FrameGrabberCallback(View(bytes, 8, 4, 24)));
    EXPECT_TRUE(frame_buffer.pixels.empty());
    EXPECT_FALSE(frame_buffer.fresh);
    EXPECT_EQ(PostedFrames(), 0);
}

TEST_F(FrameGrabberTest, CopiesBottomUpWithPaddedRowsAndPosts) {
    // 5 pixels: 15 bytes a row, padded to 16 in the buffer; the camera's rows
    // are 20 bytes apart.
    const auto bytes = TopDownFrame(5, 3, 20, 7);
    frame_buffer.frame_requested = true;
    ASSERT_TRUE(grabber_.FrameGrabberCallback(View(bytes, 5, 3, 20)));
    EXPECT_EQ(frame_buffer.width, 5);
    EXPECT_EQ(frame_buffer.height, 3);
    EXPECT_TRUE(frame_buffer.fresh);
    ASSERT_EQ(frame_buffer.pixels.size(), 16u * 3);
    for (int row = 0; row < 3; ++row) {
        const int y = 2 - row;  // the bottom row first
        for (int x = 0; x < 5; ++x) {
            const std::uint8_t* p =
                &frame_buffer.pixels[static_cast<std::size_t>(row) * 16 + 3 * x];
            EXPECT_EQ(p[0], x);
            EXPECT_EQ(p[1], y);
            EXPECT_EQ(p[2], 7);
        }
    }
    EXPECT_EQ(PostedFrames(), 1);
    // While the request stays open every frame is copied over the last.
    const auto next = TopDownFrame(5, 3, 20, 8);
    ASSERT_TRUE(grabber_.FrameGrabberCallback(View(next, 5, 3, 20)));
    EXPECT_EQ(frame_buffer.pixels[2], 8);
    EXPECT_EQ(PostedFrames(), 2);
}

TEST_F(FrameGrabberTest, LargeFramesAreKeptWhole) {
    frame_buffer.frame_requested = true;
    for (auto [width, height] : {std::pair{1600, 1200}, {1920, 1080}}) {
        const std::size_t stride = static_cast<std::size_t>(width) * 3;
        auto bytes = TopDownFrame(width, height, stride, 3);
        bytes[0] = 0x5A;  // the top-left pixel: the last row of the buffer
        ASSERT_TRUE(grabber_.FrameGrabberCallback(View(bytes, width, height, stride)));
        ASSERT_EQ(frame_buffer.pixels.size(), stride * static_cast<std::size_t>(height));
        EXPECT_GT(frame_buffer.pixels.size(), 5u * 1024 * 1024);
        EXPECT_EQ(frame_buffer.pixels[stride * static_cast<std::size_t>(height - 1)], 0x5A);
    }
}

TEST_F(FrameGrabberTest, ShortOrEmptyFramesAreSkippedAndTheRequestStays) {
    frame_buffer.frame_requested = true;
    auto bytes = TopDownFrame(8, 4, 24, 1);
    bytes.resize(bytes.size() - 1);  // the last row is one byte short
    EXPECT_FALSE(grabber_.FrameGrabberCallback(View(bytes, 8, 4, 24)));
    EXPECT_FALSE(grabber_.FrameGrabberCallback({nullptr, 0, 8, 4, 24}));
    EXPECT_FALSE(grabber_.FrameGrabberCallback(View(bytes, 8, 4, 12)));  // rows overlapping
    EXPECT_FALSE(frame_buffer.fresh);
    EXPECT_EQ(PostedFrames(), 0);
    EXPECT_TRUE(frame_buffer.frame_requested);
    // The last row needs its pixels only, not the padding after them.
    bytes.resize(24 * 3 + 8 * 3);
    EXPECT_TRUE(grabber_.FrameGrabberCallback(View(bytes, 8, 4, 24)));
}

TEST_F(FrameGrabberTest, NeverWaitsForThePublisher) {
    frame_buffer.frame_requested = true;
    const auto bytes = TopDownFrame(4, 2, 12, 1);
    {
        std::lock_guard publishing(frame_buffer.mutex);
        EXPECT_FALSE(grabber_.FrameGrabberCallback(View(bytes, 4, 2, 12)));
    }
    EXPECT_TRUE(grabber_.FrameGrabberCallback(View(bytes, 4, 2, 12)));
    // A stop drops a frame that waits for its message.
    grabber_.DiscardGrabbedFrame();
    EXPECT_FALSE(frame_buffer.fresh);
}

TEST_F(FrameGrabberTest, PreviewPicturesComeOneAtATime) {
    const auto bytes = TopDownFrame(6, 2, 20, 9);
    grabber_.OfferPreviewFrame(View(bytes, 6, 2, 20));
    grabber_.OfferPreviewFrame(View(bytes, 6, 2, 20));  // the window has not taken the first
    QCoreApplication::sendPostedEvents(&counter_);
    EXPECT_EQ(counter_.preview, 1);
    int taken = 0;
    grabber_.TakePreviewPicture([&](const PreviewPicture& picture) {
        ++taken;
        EXPECT_EQ(picture.width, 6);
        EXPECT_EQ(picture.stride, 18u);
        EXPECT_EQ(picture.pixels[18 + 2], 9);
    });
    EXPECT_EQ(taken, 1);
}

TEST(TestCameraDescriptions, CountsNamesAndOptions) {
    const auto two = ParseTestCameras("2");
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(two[0].name, "Test Camera 1");
    EXPECT_EQ(two[1].name, "Test Camera 2");
    EXPECT_EQ(two[1].width, 640);

    const auto listed =
        ParseTestCameras("Front;;Back|1920x1080|fps=30;Flaky|error-after=20,busy", "320x240");
    ASSERT_EQ(listed.size(), 4u);
    EXPECT_EQ(listed[0].name, "Front");
    EXPECT_EQ(listed[0].width, 320);
    EXPECT_FALSE(listed[1].name.has_value()) << "an empty name cannot be read";
    EXPECT_EQ(listed[2].width, 1920);
    EXPECT_EQ(listed[2].height, 1080);
    EXPECT_EQ(listed[2].fps, 30);
    EXPECT_EQ(listed[3].error_after, 20);
    EXPECT_TRUE(listed[3].busy);
    EXPECT_TRUE(ParseTestCameras("").empty());
    EXPECT_EQ(ParseTestCameras("Odd|1x1").at(0).width, 640) << "nonsense sizes are ignored";
}

TEST(CameraGraphRules, ErrorCodesAndSilence) {
    EXPECT_EQ(GraphErrorCode(nullptr), kGraphFailure);
    EXPECT_EQ(FrameSilenceLimitNs(33'000'000, false), 2'000'000'000);
    EXPECT_EQ(FrameSilenceLimitNs(1'000'000'000, false), 8'000'000'000) << "eight slow frames";
    EXPECT_EQ(FrameSilenceLimitNs(0, true), 5'000'000'000) << "time to start";
}

}  // namespace
}  // namespace vemo
