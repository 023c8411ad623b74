// The screen-cast portal's grabber on a real desktop: the picture on screen
// arrives whole and exact, a change arrives as the regions the compositor
// damaged, a still screen as nothing, and every way the cast can end is told
// in one clear error; a second start reuses the permission. And the cast's
// PipeWire side against a source of the test's own on the desktop's PipeWire
// that sends its first frame late, as some compositors do: the start does not
// wait for it, and it is delivered when it comes.

#include <gtest/gtest.h>
#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "base/freer.h"
#include "base/unique_fd.h"
#include "screen/portal/pipewire_stream.h"
#include "screen/portal/restore_token.h"
#include "screen/screen_grabber.h"
#include "wayland/wayland_desktop.h"

namespace vemo::test {
namespace {

using screen::GrabbedPixels;
using screen::ScreenChanges;
using screen::ScreenGrabber;
using Kind = ScreenChanges::Kind;
using namespace std::chrono_literals;

constexpr int kWidth = 1024;
constexpr int kHeight = 768;

// Four quadrants and a ramp; `box` paints one rectangle white.
Rgb Pattern(int x, int y, bool box) {
    if (box && x >= 100 && x < 300 && y >= 50 && y < 150) return {255, 255, 255};
    if (y < kHeight / 2) return x < kWidth / 2 ? Rgb{200, 30, 30} : Rgb{30, 200, 30};
    if (x < kWidth / 2) return {30, 30, 200};
    const auto grey = static_cast<std::uint8_t>((x - kWidth / 2) * 255 / (kWidth / 2));
    return {grey, grey, grey};
}

// Where the grabbed picture differs from the pattern, or "".
std::string Difference(const GrabbedPixels& pixels, bool box) {
    if (pixels.width != kWidth || pixels.height != kHeight) {
        return "the picture is " + std::to_string(pixels.width) + "x" +
               std::to_string(pixels.height);
    }
    if (!screen::IsBgrx(pixels.layout)) return "the picture is not BGRX";
    for (int y = 0; y < kHeight; ++y) {
        const std::uint8_t* p = pixels.data + pixels.stride * static_cast<std::size_t>(y);
        for (int x = 0; x < kWidth; ++x, p += 4) {
            const Rgb want = Pattern(x, y, box);
            if (p[0] != want.b || p[1] != want.g || p[2] != want.r) {
                return "pixel " + std::to_string(x) + "," + std::to_string(y) + " differs";
            }
        }
    }
    return "";
}

std::unique_ptr<ScreenGrabber> OpenGrabber(std::string& error) {
    return screen::OpenScreenGrabber(error);
}

// Polls `done` until it holds or 15 s pass (a still screen sends nothing, so
// nothing is awaited without an end).
template <class Done>
bool Eventually(Done done) {
    const auto until = std::chrono::steady_clock::now() + 15s;
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

class PortalGrabberTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(desktop_.ok()) << desktop_.error();
        ASSERT_EQ(screen::ChooseScreenBackend(), screen::ScreenBackend::kPortal);
    }
    WaylandDesktop desktop_;
};

TEST_F(PortalGrabberTest, GrabsTheScreenThenOnlyWhatChanged) {
    ASSERT_TRUE(desktop_.Show(kWidth, kHeight, [](int x, int y) { return Pattern(x, y, false); }))
        << desktop_.error();
    std::string error;
    const auto grabber = OpenGrabber(error);
    ASSERT_EQ(error, "");
    EXPECT_EQ(grabber->width(), kWidth);
    EXPECT_EQ(grabber->height(), kHeight);
    EXPECT_NE(grabber->Describe().find("screen-cast portal"), std::string::npos);

    GrabbedPixels pixels;
    ScreenChanges changes;
    ASSERT_TRUE(grabber->Grab(pixels, changes, error)) << error;
    EXPECT_EQ(changes.kind, Kind::kUnknown);
    EXPECT_EQ(Difference(pixels, false), "");

    // A still screen: nothing new, the same picture.
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(grabber->PeekChanges().kind, Kind::kNothing);
    ASSERT_TRUE(grabber->Grab(pixels, changes, error)) << error;
    EXPECT_EQ(changes.kind, Kind::kNothing);
    EXPECT_EQ(Difference(pixels, false), "");

    // A change arrives, in frames at the stream's low rate, each with the
    // compositor's damage; together they cover it.
    ASSERT_TRUE(desktop_.Show(kWidth, kHeight, [](int x, int y) { return Pattern(x, y, true); }))
        << desktop_.error();
    std::vector<screen::SourceRect> damaged;
    bool unknown = false;
    std::string difference = "no new frame";
    EXPECT_TRUE(Eventually([&] {
        if (grabber->PeekChanges().kind == Kind::kNothing) return false;
        if (!grabber->Grab(pixels, changes, error)) return true;
        unknown = unknown || changes.kind == Kind::kUnknown;
        damaged.insert(damaged.end(), changes.regions.begin(), changes.regions.end());
        difference = Difference(pixels, true);
        return difference.empty();
    })) << difference;
    EXPECT_EQ(error, "");
    // mutter sends no damage with its frames: each is a whole new picture.
    if (desktop_.gnome()) return;
    EXPECT_FALSE(unknown);
    bool covered = false;
    for (const screen::SourceRect& r : damaged) {
        covered =
            covered || (r.x <= 100 && r.y <= 50 && r.x + r.width >= 300 && r.y + r.height >= 150);
    }
    EXPECT_TRUE(covered) << damaged.size() << " regions";
}

TEST_F(PortalGrabberTest, TheSecondStartReusesThePermission) {
    // Without the token the desktop granted before the run: asked afresh.
    const std::string token_path = screen::RestoreTokenPath();
    std::filesystem::remove(token_path);
    const int asked = desktop_.TimesAsked();
    ASSERT_TRUE(desktop_.AnswerDialog(true)) << desktop_.error();
    std::string error;
    {
        const auto grabber = OpenGrabber(error);
        ASSERT_EQ(error, "");
    }
    EXPECT_EQ(desktop_.TimesAsked(), asked + 1);
    struct stat info {};
    ASSERT_EQ(::stat(token_path.c_str(), &info), 0) << token_path;
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    const std::string first_token = screen::ReadRestoreToken(token_path);
    EXPECT_NE(first_token, "");

    // Restored without asking, and on a still screen the first picture
    // still comes.
    const auto grabber = OpenGrabber(error);
    ASSERT_EQ(error, "");
    EXPECT_EQ(desktop_.TimesAsked(), asked + 1);
    GrabbedPixels pixels;
    ScreenChanges changes;
    EXPECT_TRUE(grabber->Grab(pixels, changes, error)) << error;
}

TEST_F(PortalGrabberTest, ARefusalSaysSo) {
    // Without the token, so that the desktop asks; the tests after this one
    // find it again.
    const std::string token_path = screen::RestoreTokenPath();
    const std::string kept = screen::ReadRestoreToken(token_path);
    std::filesystem::remove(token_path);
    const int asked = desktop_.TimesAsked();
    ASSERT_TRUE(desktop_.AnswerDialog(false)) << desktop_.error();
    std::string error;
    const auto grabber = OpenGrabber(error);
    EXPECT_EQ(desktop_.TimesAsked(), asked + 1);
    EXPECT_EQ(error, "the screen cannot be captured: the screen-cast permission was refused");
    GrabbedPixels pixels;
    ScreenChanges changes;
    std::string grab_error;
    EXPECT_FALSE(grabber->Grab(pixels, changes, grab_error));
    EXPECT_EQ(grab_error, error);
    std::string write_error;
    EXPECT_TRUE(kept.empty() || screen::WriteRestoreToken(token_path, kept, write_error))
        << write_error;
}

// Grabs until one fails, and says how.
std::string FirstFailure(ScreenGrabber& grabber) {
    std::string error;
    Eventually([&] {
        GrabbedPixels pixels;
        ScreenChanges changes;
        return !grabber.Grab(pixels, changes, error);
    });
    return error;
}

TEST_F(PortalGrabberTest, TheEndOfTheCastIsToldAndTheNextStartWorks) {
    const std::string until_restart =
        "; the screen is not captured until screen capture is started again";
    for (const bool portal : {true, false}) {
        std::string error;
        auto grabber = OpenGrabber(error);
        ASSERT_EQ(error, "");
        ASSERT_TRUE(portal ? desktop_.StopPortal() : desktop_.StopPipeWire()) << desktop_.error();
        const std::string failure = FirstFailure(*grabber);
        if (portal) {
            // The frontend's end, or the stream's that the backend took along.
            EXPECT_TRUE(failure ==
                            "the screen-cast portal went away, which ended the screen "
                            "cast" +
                                until_restart ||
                        failure.starts_with("the PipeWire stream went away"))
                << failure;
        } else {
            // mutter closes the session once its PipeWire goes, which may be
            // seen first.
            EXPECT_TRUE(
                failure.starts_with("the PipeWire stream went away") ||
                (desktop_.gnome() && failure.starts_with("the compositor ended the screen cast")))
                << failure;
        }
        EXPECT_TRUE(failure.ends_with(until_restart)) << failure;
        // The same words each time, not a new fault.
        GrabbedPixels pixels;
        ScreenChanges changes;
        EXPECT_FALSE(grabber->Grab(pixels, changes, error));
        EXPECT_EQ(error, failure);
        grabber.reset();

        ASSERT_TRUE(desktop_.Start()) << desktop_.error();
        grabber = OpenGrabber(error);
        ASSERT_EQ(error, "") << (portal ? "after the portal" : "after PipeWire");
        EXPECT_TRUE(grabber->Grab(pixels, changes, error)) << error;
    }

    // Without a portal on the bus.
    ASSERT_TRUE(desktop_.StopPortal()) << desktop_.error();
    std::string error;
    const auto grabber = OpenGrabber(error);
    EXPECT_EQ(error,
              "the screen cannot be captured: no screen-cast portal on the session bus "
              "(org.freedesktop.portal.Desktop is not running)");
    ASSERT_TRUE(desktop_.Start()) << desktop_.error();
}

TEST_F(PortalGrabberTest, AResizedOutputIsNoticed) {
    if (desktop_.gnome()) GTEST_SKIP() << "mutter's virtual monitors have one mode each";
    std::string error;
    const auto grabber = OpenGrabber(error);
    ASSERT_EQ(error, "");
    EXPECT_FALSE(grabber->SizeChanged());
    ASSERT_TRUE(desktop_.Resize(800, 600)) << desktop_.error();
    EXPECT_TRUE(Eventually([&] { return grabber->SizeChanged(); }));
    // The size stays the one opened with until it is taken, by the stream
    // alone: nobody is asked again.
    EXPECT_EQ(grabber->width(), kWidth);
    const int asked = desktop_.TimesAsked();
    ASSERT_TRUE(grabber->AdoptNewSize());
    EXPECT_FALSE(grabber->SizeChanged());
    EXPECT_EQ(grabber->width(), 800);
    EXPECT_EQ(grabber->height(), 600);
    ASSERT_TRUE(desktop_.Show(800, 600, [](int, int) {
        return Rgb{10, 20, 30};
    })) << desktop_.error();
    GrabbedPixels pixels;
    ScreenChanges changes;
    EXPECT_TRUE(Eventually([&] {
        if (!grabber->Grab(pixels, changes, error)) return false;
        const std::uint8_t* corner = pixels.data + pixels.stride * 599 + 799 * 4;
        return pixels.width == 800 && corner[0] == 30 && corner[1] == 20 && corner[2] == 10;
    })) << error;
    EXPECT_EQ(desktop_.TimesAsked(), asked);
    ASSERT_TRUE(desktop_.Resize(kWidth, kHeight)) << desktop_.error();
}

// An output at 150 %: the grab has the output's pixels, not its logical size.
TEST_F(PortalGrabberTest, AScaledOutputIsGrabbedInItsOwnPixels) {
    if (desktop_.gnome()) {
        GTEST_SKIP()
            << "a scale is set when mutter starts; TwoMonitorsAtTwoScales… has one at 200 %";
    }
    ASSERT_TRUE(desktop_.Scale("1.5")) << desktop_.error();
    std::string error;
    const auto grabber = OpenGrabber(error);
    ASSERT_TRUE(desktop_.Scale("1")) << desktop_.error();
    ASSERT_EQ(error, "");
    EXPECT_EQ(grabber->width(), kWidth);
    EXPECT_EQ(grabber->height(), kHeight);
    GrabbedPixels pixels;
    ScreenChanges changes;
    EXPECT_TRUE(grabber->Grab(pixels, changes, error)) << error;
    EXPECT_EQ(pixels.width, kWidth);
}

// GNOME with a monitor at 200 % (1600 x 1200 pixels, 800 x 600 logical)
// beside one at 100 % (1280 x 720) in logical layout: the portal places the
// second at x 800, and the grab holds every pixel of both side by side,
// 2880 x 1200, the scaled one not shrunk to its logical size.
TEST_F(PortalGrabberTest, TwoMonitorsAtTwoScalesKeepTheirOwnPixels) {
    if (desktop_.monitors() != 2) {
        GTEST_SKIP() << "needs the GNOME desktop's two monitors (--monitors 1600x1200@2,1280x720)";
    }
    // Every pixel its own colour: a picture drawn at another size and scaled
    // back would not keep it.
    const auto pattern = [](int x, int y) {
        return Rgb{static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(y),
                   static_cast<std::uint8_t>((x >> 8) * 16 + (y >> 8))};
    };
    ASSERT_TRUE(desktop_.Show(1600, 1200, pattern)) << desktop_.error();
    std::string error;
    const auto grabber = OpenGrabber(error);
    ASSERT_EQ(error, "");
    ASSERT_EQ(grabber->width(), 2880);
    ASSERT_EQ(grabber->height(), 1200);
    GrabbedPixels pixels;
    ScreenChanges changes;
    ASSERT_TRUE(grabber->Grab(pixels, changes, error)) << error;
    ASSERT_EQ(pixels.width, 2880);
    ASSERT_TRUE(screen::IsBgrx(pixels.layout));
    // The first monitor's pattern, the second's first colour (#602040) to
    // its right, and nothing below the second, where no monitor lies.
    const auto want = [&](int x, int y) {
        if (x < 1600) return pattern(x, y);
        return y < 720 ? Rgb{0x60, 0x20, 0x40} : Rgb{0, 0, 0};
    };
    std::string difference;
    for (int y = 0; y < 1200 && difference.empty(); ++y) {
        const std::uint8_t* p = pixels.data + pixels.stride * static_cast<std::size_t>(y);
        for (int x = 0; x < 2880; ++x, p += 4) {
            const Rgb w = want(x, y);
            if (p[0] != w.b || p[1] != w.g || p[2] != w.r) {
                difference = "pixel " + std::to_string(x) + "," + std::to_string(y) + " is " +
                             std::to_string(p[2]) + "," + std::to_string(p[1]) + "," +
                             std::to_string(p[0]);
                break;
            }
        }
    }
    EXPECT_EQ(difference, "");
}

// A video source of the test's own on the desktop's PipeWire, as a cast
// whose compositor sends a frame only when the screen changes: one frame of
// one colour when asked. Its calls wait at most 10 s for PipeWire.
class FrameSource {
  public:
    FrameSource(int width, int height) : width_(width), height_(height) {
        pw_init(nullptr, nullptr);
        loop_.reset(pw_thread_loop_new("vemo-test-source", nullptr));
        if (loop_) context_.reset(pw_context_new(pw_thread_loop_get_loop(loop_.get()), nullptr, 0));
        if (!context_ || pw_thread_loop_start(loop_.get()) < 0) return;
        static const pw_stream_events events = [] {
            pw_stream_events e{};
            e.version = PW_VERSION_STREAM_EVENTS;
            e.state_changed = [](void* data, pw_stream_state, pw_stream_state, const char*) {
                pw_thread_loop_signal(static_cast<FrameSource*>(data)->loop_.get(), false);
            };
            e.param_changed = [](void* data, std::uint32_t id, const spa_pod* param) {
                if (id == SPA_PARAM_Format && param != nullptr)
                    static_cast<FrameSource*>(data)->OnFormat(param);
            };
            return e;
        }();
        const Lock lock(loop_.get());
        core_.reset(pw_context_connect(context_.get(), nullptr, 0));
        if (!core_) return;
        stream_.reset(
            pw_stream_new(core_.get(), "vemo test source",
                          pw_properties_new(PW_KEY_MEDIA_CLASS, "Video/Source", nullptr)));
        if (!stream_) return;
        pw_stream_add_listener(stream_.get(), &listener_, &events, this);
        std::array<std::uint8_t, 1024> buffer{};
        spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer.data(), buffer.size());
        const spa_pod* format = Format(b, width_, height_);
        pw_stream_connect(
            stream_.get(), PW_DIRECTION_OUTPUT, PW_ID_ANY,
            static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS),
            &format, 1);
    }
    ~FrameSource() {
        if (loop_) pw_thread_loop_stop(loop_.get());
        stream_.reset();
        core_.reset();
        context_.reset();
    }
    FrameSource(const FrameSource&) = delete;
    FrameSource& operator=(const FrameSource&) = delete;

    // The source's node, once PipeWire has it; 0 when it has none.
    std::uint32_t NodeId() {
        if (!stream_) return 0;
        const Lock lock(loop_.get());
        const auto until = std::chrono::steady_clock::now() + 10s;
        std::uint32_t id = SPA_ID_INVALID;
        while ((id = pw_stream_get_node_id(stream_.get())) == SPA_ID_INVALID &&
               std::chrono::steady_clock::now() < until) {
            pw_thread_loop_timed_wait(loop_.get(), 1);
        }
        return id == SPA_ID_INVALID ? 0 : id;
    }

    // Sends one frame of `colour` at the size negotiated last; with a crop,
    // `colour` inside it and `outside` around it, and the crop in the
    // buffer's metadata, as a compositor that sends more than the monitor.
    // Its stride says its rows are `short_by` bytes closer than they are.
    bool Send(Rgb colour, const spa_region* crop = nullptr, Rgb outside = {}, int short_by = 0) {
        const auto until = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < until) {
            {
                const Lock lock(loop_.get());
                if (pw_buffer* next = pw_stream_dequeue_buffer(stream_.get())) {
                    spa_data& data = next->buffer->datas[0];
                    const auto stride = static_cast<std::size_t>(format_width_) * 4;
                    const std::size_t size = stride * static_cast<std::size_t>(format_height_);
                    if (data.data == nullptr || data.maxsize < size) return false;
                    auto* p = static_cast<std::uint8_t*>(data.data);
                    for (std::size_t i = 0; i < size; i += 4) {
                        const int x = static_cast<int>(i % stride / 4);
                        const int y = static_cast<int>(i / stride);
                        const bool inside =
                            crop == nullptr ||
                            (x >= crop->position.x && y >= crop->position.y &&
                             x < crop->position.x + static_cast<int>(crop->size.width) &&
                             y < crop->position.y + static_cast<int>(crop->size.height));
                        const Rgb& c = inside ? colour : outside;
                        p[i] = c.b;
                        p[i + 1] = c.g;
                        p[i + 2] = c.r;
                        p[i + 3] = 0xff;
                    }
                    if (auto* meta = static_cast<spa_meta_region*>(spa_buffer_find_meta_data(
                            next->buffer, SPA_META_VideoCrop, sizeof(spa_meta_region)))) {
                        meta->region = crop != nullptr ? *crop : spa_region{};
                    }
                    data.chunk->offset = 0;
                    data.chunk->size = static_cast<std::uint32_t>(size);
                    data.chunk->stride = static_cast<std::int32_t>(stride) - short_by;
                    data.chunk->flags = 0;
                    pw_stream_queue_buffer(stream_.get(), next);
                    return true;
                }
            }
            // No buffer before the reader is linked.
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

    // Offers frames of another size from now on, as a resized output.
    void Resize(int width, int height) {
        const Lock lock(loop_.get());
        std::array<std::uint8_t, 1024> buffer{};
        spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer.data(), buffer.size());
        const spa_pod* format = Format(b, width, height);
        pw_stream_update_params(stream_.get(), &format, 1);
    }

  private:
    struct Lock {
        explicit Lock(pw_thread_loop* l) : loop(l) { pw_thread_loop_lock(loop); }
        ~Lock() { pw_thread_loop_unlock(loop); }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;
        pw_thread_loop* loop;
    };

// The SPA builder macros are C (statement expressions).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic"
    static const spa_pod* Format(spa_pod_builder& b, int width, int height) {
        spa_rectangle size{static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height)};
        spa_fraction rate{0, 1};
        spa_fraction most{30, 1};
        spa_fraction least{1, 1};
        return static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
            SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
            SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
            SPA_POD_Id(SPA_VIDEO_FORMAT_BGRx), SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size),
            SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&rate), SPA_FORMAT_VIDEO_maxFramerate,
            SPA_POD_CHOICE_RANGE_Fraction(&most, &least, &most)));
    }

    // On the loop's thread: buffers for the size negotiated.
    void OnFormat(const spa_pod* param) {
        spa_video_info_raw info{};
        if (spa_format_video_raw_parse(param, &info) < 0) return;
        format_width_ = static_cast<int>(info.size.width);
        format_height_ = static_cast<int>(info.size.height);
        const int stride = format_width_ * 4;
        std::array<std::uint8_t, 1024> buffer{};
        spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer.data(), buffer.size());
        const spa_pod* params[3] = {
            static_cast<const spa_pod*>(spa_pod_builder_add_object(
                &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
                SPA_POD_CHOICE_RANGE_Int(4, 2, 8), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1),
                SPA_PARAM_BUFFERS_size, SPA_POD_Int(stride * format_height_),
                SPA_PARAM_BUFFERS_stride, SPA_POD_Int(stride), SPA_PARAM_BUFFERS_dataType,
                SPA_POD_CHOICE_FLAGS_Int(1 << SPA_DATA_MemFd))),
            static_cast<const spa_pod*>(spa_pod_builder_add_object(
                &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
                SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size,
                SPA_POD_Int(static_cast<int>(sizeof(spa_meta_header))))),
            static_cast<const spa_pod*>(spa_pod_builder_add_object(
                &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
                SPA_POD_Id(SPA_META_VideoCrop), SPA_PARAM_META_size,
                SPA_POD_Int(static_cast<int>(sizeof(spa_meta_region))))),
        };
        pw_stream_update_params(stream_.get(), params, 3);
    }
#pragma GCC diagnostic pop

    int width_;
    int height_;
    int format_width_ = 0;  // on the loop's thread or under its lock
    int format_height_ = 0;
    std::unique_ptr<pw_thread_loop, Freer<pw_thread_loop_destroy>> loop_;
    std::unique_ptr<pw_context, Freer<pw_context_destroy>> context_;
    std::unique_ptr<pw_core, Freer<pw_core_disconnect>> core_;
    spa_hook listener_{};
    std::unique_ptr<pw_stream, Freer<pw_stream_destroy>> stream_;  // unhooks the listener
};

// A connection of our own to the desktop's PipeWire, as the portal opens one.
UniqueFd PipeWireConnection() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = std::string(runtime != nullptr ? runtime : "") + "/pipewire-0";
    if (!fd || path.size() >= sizeof address.sun_path) return {};
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return {};
    return fd;
}

// Short waits: what is awaited never comes in these tests.
constexpr screen::FirstFrameWait kShortWait{.unsized = 1000ms, .sized = 200ms};

TEST(PipeWireCaptureTest, AStartWithTheSizesKnownDeliversALateFirstFrame) {
    FrameSource source(320, 240);
    const std::uint32_t node = source.NodeId();
    ASSERT_NE(node, 0u);
    std::string error;
    const auto capture = screen::PipeWireCapture::Open(PipeWireConnection(),
                                                       {{node, 0, 0, 320, 240}}, kShortWait, error);
    ASSERT_NE(capture, nullptr) << error;
    EXPECT_EQ(capture->width(), 320);
    EXPECT_EQ(capture->height(), 240);

    // The same words each time, so they are reported once.
    std::vector<std::uint8_t> picture(320 * 240 * 4);
    ScreenChanges changes;
    const std::string not_yet =
        "the screen cast has not sent its first picture yet: the compositor sends one once the "
        "screen changes";
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(capture->Take(picture.data(), changes, error),
                  screen::PipeWireCapture::Taken::kNoFirstFrame);
        EXPECT_EQ(error, not_yet);
    }

    ASSERT_TRUE(source.Send({10, 120, 230}));
    auto taken = screen::PipeWireCapture::Taken::kNoFirstFrame;
    EXPECT_TRUE(Eventually([&] {
        taken = capture->Take(picture.data(), changes, error);
        return taken != screen::PipeWireCapture::Taken::kNoFirstFrame;
    }));
    ASSERT_EQ(taken, screen::PipeWireCapture::Taken::kPicture) << error;
    EXPECT_EQ(changes.kind, Kind::kUnknown);
    EXPECT_FALSE(capture->SizeChanged());
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < picture.size(); i += 4) {
        wrong += picture[i] != 230 || picture[i + 1] != 120 || picture[i + 2] != 10;
    }
    EXPECT_EQ(wrong, 0u);
}

TEST(PipeWireCaptureTest, AFrameWhoseStrideIsShorterThanARowIsDroppedAsMalformed) {
    FrameSource source(320, 240);
    const std::uint32_t node = source.NodeId();
    ASSERT_NE(node, 0u);
    std::string error;
    const auto capture = screen::PipeWireCapture::Open(PipeWireConnection(),
                                                       {{node, 0, 0, 320, 240}}, kShortWait, error);
    ASSERT_NE(capture, nullptr) << error;
    ASSERT_TRUE(source.Send({10, 120, 230}, nullptr, {}, 4));
    std::vector<std::uint8_t> picture(320 * 240 * 4);
    ScreenChanges changes;
    auto taken = screen::PipeWireCapture::Taken::kNoFirstFrame;
    EXPECT_TRUE(Eventually([&] {
        taken = capture->Take(picture.data(), changes, error);
        return taken != screen::PipeWireCapture::Taken::kNoFirstFrame;
    }));
    EXPECT_EQ(taken, screen::PipeWireCapture::Taken::kMalformed);
    EXPECT_EQ(error,
              "the screen cast sent a malformed picture: its rows are 1276 bytes apart, less than "
              "the 1280 bytes of a row");

    // A well-formed frame after it is taken as usual.
    ASSERT_TRUE(source.Send({10, 120, 230}));
    EXPECT_TRUE(Eventually([&] {
        return capture->Take(picture.data(), changes, error) ==
               screen::PipeWireCapture::Taken::kPicture;
    })) << error;
}

TEST(PipeWireCaptureTest, ALateFirstFrameOfAnotherSizeIsASizeChange) {
    FrameSource source(320, 240);
    const std::uint32_t node = source.NodeId();
    ASSERT_NE(node, 0u);
    std::string error;
    const auto capture = screen::PipeWireCapture::Open(PipeWireConnection(),
                                                       {{node, 0, 0, 320, 240}}, kShortWait, error);
    ASSERT_NE(capture, nullptr) << error;
    EXPECT_FALSE(capture->SizeChanged());
    source.Resize(400, 300);
    ASSERT_TRUE(source.Send({0, 0, 0}));
    EXPECT_TRUE(Eventually([&] { return capture->SizeChanged(); }));
    EXPECT_EQ(capture->width(), 320);
}

// A desktop at 200 % beside one at 100 %: the portal tells the places in
// logical units, the streams send physical pixels, and the picture holds
// every pixel of both, side by side.
TEST(PipeWireCaptureTest, MonitorsAtDifferentScalesAreComposedInTheirOwnPixels) {
    FrameSource scaled(640, 480);
    FrameSource plain(200, 100);
    ASSERT_NE(scaled.NodeId(), 0u);
    ASSERT_NE(plain.NodeId(), 0u);
    std::string error;
    const auto capture = screen::PipeWireCapture::Open(
        PipeWireConnection(),
        {{scaled.NodeId(), 0, 0, 320, 240}, {plain.NodeId(), 320, 0, 200, 100}}, kShortWait, error);
    ASSERT_NE(capture, nullptr) << error;
    ASSERT_EQ(capture->width(), 840);
    ASSERT_EQ(capture->height(), 480);
    ASSERT_TRUE(scaled.Send({200, 0, 0}));
    ASSERT_TRUE(plain.Send({0, 200, 0}));
    std::vector<std::uint8_t> picture(840 * 480 * 4);
    ScreenChanges changes;
    const auto red_at = [&picture](int x, int y) { return picture[(y * 840 + x) * 4 + 2]; };
    const auto green_at = [&picture](int x, int y) { return picture[(y * 840 + x) * 4 + 1]; };
    EXPECT_TRUE(Eventually([&] {
        capture->Take(picture.data(), changes, error);
        return red_at(639, 479) == 200 && green_at(640, 0) == 200;
    })) << error;
    EXPECT_EQ(red_at(0, 0), 200);
    EXPECT_EQ(green_at(839, 99), 200);
    EXPECT_EQ(red_at(640, 100) + green_at(640, 100), 0) << "no monitor lies there";
    EXPECT_FALSE(capture->SizeChanged());
}

// A buffer larger than the monitor with a crop: only the crop is the
// picture, placed at the monitor's corner.
TEST(PipeWireCaptureTest, TheCropIsThePicture) {
    FrameSource source(320, 240);
    ASSERT_NE(source.NodeId(), 0u);
    std::string error;
    const auto capture = screen::PipeWireCapture::Open(
        PipeWireConnection(), {{source.NodeId(), 0, 0, 320, 240}}, kShortWait, error);
    ASSERT_NE(capture, nullptr) << error;
    const spa_region crop{{10, 20}, {300, 200}};
    ASSERT_TRUE(source.Send({0, 0, 200}, &crop, {200, 0, 0}));
    std::vector<std::uint8_t> picture(320 * 240 * 4);
    ScreenChanges changes;
    ASSERT_TRUE(Eventually([&] {
        return capture->Take(picture.data(), changes, error) ==
               screen::PipeWireCapture::Taken::kPicture;
    })) << error;
    std::size_t outside_shown = 0, crop_missing = 0;
    for (int y = 0; y < 240; ++y) {
        for (int x = 0; x < 320; ++x) {
            const std::uint8_t* p = &picture[(y * 320 + x) * 4];
            outside_shown += p[2] != 0;
            crop_missing += x < 300 && y < 200 && p[0] != 200;
        }
    }
    EXPECT_EQ(outside_shown, 0u);
    EXPECT_EQ(crop_missing, 0u);
}

TEST(PipeWireCaptureTest, WithoutSizesAStartWithoutAFrameFails) {
    FrameSource source(320, 240);
    const std::uint32_t node = source.NodeId();
    ASSERT_NE(node, 0u);
    std::string error;
    EXPECT_EQ(screen::PipeWireCapture::Open(PipeWireConnection(), {{node, 0, 0, 0, 0}}, kShortWait,
                                            error),
              nullptr);
    EXPECT_EQ(error, "the PipeWire stream delivered no picture within 1 s");
}

}  // namespace
}  // namespace vemo::test
