#include "screen/screen_capture.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <utility>

#include "imaging/engine_state.h"
#include "imaging/published_files.h"
#include "product/shared_status_block.h"
#include "screen/pixel_format.h"
#include "screen/screen_grabber.h"
#include "settings/settings_store.h"

namespace vemo {

ScreenSession screen_session;
JpegWriteJob screen_jpeg_job{};
GifConvertJob screen_gif_job{};
int screen_grab_pause_ms = kScreenGrabPauseMs;
std::function<void(unsigned interval_ms)> screen_timer_hook;
std::function<void(const std::string& message)> screen_report_hook;

namespace {

using screen::BgrxImage;
using screen::SourceRect;

constexpr std::uint32_t kMinGifColors = kMinScreenGifColors;
constexpr std::uint32_t kMaxGifColors = kMaxScreenGifColors;

void Report(const std::string& message) {
    if (message == screen_session.last_report) return;
    screen_session.last_report = message;
    if (screen_report_hook) {
        screen_report_hook(message);
    } else {
        std::fprintf(stderr, "Vemo : %s\n", message.c_str());
    }
}

int ClampedDivision(std::uint32_t value) {
    return static_cast<int>(std::clamp(value, screen::kMinDivision, screen::kMaxDivision));
}

std::int32_t CurrentGifColors() {
    return static_cast<std::int32_t>(
        std::clamp(engine_state.screen_gif_color, kMinGifColors, kMaxGifColors));
}

// Lowers screen_busy however the grab ends.
struct ScreenBusyScope {
    ScreenBusyScope() = default;
    ScreenBusyScope(const ScreenBusyScope&) = delete;
    ScreenBusyScope& operator=(const ScreenBusyScope&) = delete;
    ~ScreenBusyScope() { shared_status_block().set_screen_busy(0); }
};

class GrabPublisher {
  public:
    explicit GrabPublisher(ScreenGrabResult& result) : result_(result) {}

    // Writes the picture the job points at under `temp` and moves it to `name`.
    bool PublishJpeg(const std::string& temp, const std::string& name, bool tile) {
        screen_jpeg_job.path = temp;
        if (ImagingResult written = WriteJpegFrame(screen_jpeg_job); !written) {
            return Fail("cannot write " + temp + ": " + written.message);
        }
        return Move(temp, name, tile);
    }

    // Makes the GIF of the published JPEG `jpeg_name`.
    bool PublishGif(const std::string& jpeg_name, const std::string& temp, const std::string& name,
                    bool tile) {
        screen_gif_job.input_path = jpeg_name;
        screen_gif_job.output_path = temp;
        screen_gif_job.colors = CurrentGifColors();
        if (ImagingResult converted = ConvertJpegToGif(screen_gif_job); !converted) {
            return Fail("cannot write " + temp + ": " + converted.message);
        }
        return Move(temp, name, tile);
    }

    bool Fail(std::string message) {
        Report(message);
        result_.error = std::move(message);
        return false;
    }

  private:
    bool Move(const std::string& temp, const std::string& name, bool tile) {
        // Tiles are not flushed to the disk first: a grab replaces up to 200 tile
        // files, a flush each made a 5 x 5 grab about 40% slower, and a tile lost
        // in a crash is replaced by the next grab anyway.
        const bool moved =
            ReplacePublishedFile(temp, name, tile ? Durability::kUnflushed : Durability::kFlushed);
        if (!moved) return Fail("cannot replace " + name + "; it keeps its previous picture");
        result_.published.push_back(name);
        return true;
    }

    ScreenGrabResult& result_;
};

// Scales `rect` of the screen into the small picture and points the JPEG job
// at it, turned when the session rotates.
void MakeSmallPicture(const BgrxImage& screen_view, SourceRect rect) {
    ScreenSession& s = screen_session;
    const screen::ScreenGeometry& g = s.geometry;
    s.scaler.Scale(screen_view, rect, g.imode_width, g.imode_height, s.picture_buffer.get(),
                   JpegRowStride(static_cast<std::uint32_t>(g.imode_width), 24));
    if (g.rotate) {
        screen::RotateQuarterClockwise(s.picture_buffer.get(), g.imode_width, g.imode_height,
                                       s.rotation_buffer.get());
        screen_jpeg_job.pixels = s.rotation_buffer.get();
    } else {
        screen_jpeg_job.pixels = s.picture_buffer.get();
    }
}

void Pause() {
    if (screen_grab_pause_ms > 0) file_operations().Pause(screen_grab_pause_ms);
}

bool PublishWholeScreen(const screen::GrabbedPixels& pixels, GrabPublisher& publisher) {
    if (screen::IsBgrx(pixels.layout)) {
        // The usual display: the writer codes the grabbed pixels where they
        // are and leaves them untouched.
        screen_jpeg_job.bits_per_pixel = kBgrxBitsPerPixel;
        screen_jpeg_job.top_down = true;
        screen_jpeg_job.row_stride = static_cast<std::uint32_t>(pixels.stride);
        screen_jpeg_job.pixels = const_cast<std::uint8_t*>(pixels.data);
    } else {
        // The writer turns the rows' colour order in place, so the buffer is
        // filled afresh from the grab every time.
        screen::ConvertToBottomUpBgr(pixels, screen_session.grab_buffer.get(),
                                     JpegRowStride(static_cast<std::uint32_t>(pixels.width), 24));
        screen_jpeg_job.bits_per_pixel = 24;
        screen_jpeg_job.top_down = false;
        screen_jpeg_job.row_stride = 0;
        screen_jpeg_job.pixels = screen_session.grab_buffer.get();
    }
    return publisher.PublishJpeg(published::kScreenWholeJpegTemp, published::kScreenWholeJpeg,
                                 false);
}

bool PublishImode(const screen::GrabbedPixels& pixels, GrabPublisher& publisher) {
    const screen::ScreenGeometry& g = screen_session.geometry;
    const BgrxImage view = screen::BgrxView(pixels, screen_session.grab_buffer.get());

    MakeSmallPicture(view, {0, 0, g.screen_width, g.screen_height});
    if (!publisher.PublishJpeg(published::kScreenJpegTemp, published::kScreenJpeg, false) ||
        !publisher.PublishGif(published::kScreenJpeg, published::kScreenGifTemp,
                              published::kScreenGif, false)) {
        return false;
    }
    Pause();

    const int d = g.division;
    for (int row = 0; row < d; ++row) {
        for (int column = 0; column < d; ++column) {
            MakeSmallPicture(
                view, {column * g.tile_width, row * g.tile_height, g.tile_width, g.tile_height});
            const screen::TileDigits digits = screen::TileDigitsFor(row, column, d, g.rotate);
            const std::string jpeg = published::TileName(digits.first, digits.second, ".jpg");
            const std::string gif = published::TileName(digits.first, digits.second, ".gif");
            if (!publisher.PublishJpeg(published::TileTempName(digits.first, digits.second, ".jpg"),
                                       jpeg, true) ||
                !publisher.PublishGif(jpeg,
                                      published::TileTempName(digits.first, digits.second, ".gif"),
                                      gif, true)) {
                return false;
            }
            Pause();
        }
    }
    return true;
}

void ReleaseSession() {
    ScreenSession& s = screen_session;
    s.rotation_buffer.reset();
    s.picture_buffer.reset();
    s.grab_buffer.reset();
    s.scaler = screen::PictureScaler();
    s.grabber.reset();
}

}  // namespace

bool StartScreenCapture(const ScreenCaptureOverrides& overrides) {
    EngineState& e = engine_state;
    e.screen_timer = ReadSetting(SETTING_SCREEN_TIMER);
    e.screen_one = overrides.screen_one.value_or(ReadSetting(SETTING_SCREEN_ONE));
    e.imode_rotate = overrides.imode_rotate.value_or(ReadSetting(SETTING_IMODE_ROTATE));
    e.screen_gif_color = overrides.screen_gif_color.value_or(ReadSetting(SETTING_SCREEN_GIF_COLOR));
    e.screen_division = overrides.screen_division.value_or(ReadSetting(SETTING_SCREEN_DIVISION));
    e.imode_width = overrides.imode_width.value_or(ReadSetting(SETTING_IMODE_WIDTH));
    e.imode_height = ReadSetting(SETTING_IMODE_HEIGHT);
    e.imode_camera_width = ReadSetting(SETTING_IMODE_CAMERA_WIDTH);

    // Values only an edited settings file can hold are brought into the
    // ranges the properties dialogs allow.
    e.screen_timer = std::clamp(e.screen_timer, kMinIntervalSeconds, kMaxIntervalSeconds);
    e.screen_division = std::clamp(e.screen_division, screen::kMinDivision, screen::kMaxDivision);
    e.imode_width = std::clamp(e.imode_width, screen::kMinImodeWidth, screen::kMaxImodeWidth);
    e.screen_gif_color = std::clamp(e.screen_gif_color, kMinGifColors, kMaxGifColors);

    // A start while running begins afresh, and picks up a new screen size.
    ScreenSession& s = screen_session;
    ReleaseSession();
    s.last_report.clear();

    std::string error;
    s.grabber = screen::OpenScreenGrabber(error);
    if (!error.empty()) Report(error);

    const bool whole_screen = e.screen_one != 0;
    s.geometry = screen::ComputeScreenGeometry(
        s.grabber->width(), s.grabber->height(), whole_screen, e.imode_rotate != 0,
        static_cast<int>(e.screen_division), static_cast<int>(e.imode_width));
    const screen::ScreenGeometry& g = s.geometry;
    if (g.screen_width > 0 && g.screen_height > 0) {
        e.imode_width = static_cast<std::uint32_t>(g.imode_width);
        e.imode_height = static_cast<std::uint32_t>(g.imode_height);
        // Left uninitialised: pages nobody writes (the BGRX copy on a display
        // that delivers BGRX already) cost no memory.
        const auto screen_bytes = static_cast<std::size_t>(g.screen_width) *
                                  static_cast<std::size_t>(g.screen_height) * 4;
        s.grab_buffer = std::make_unique_for_overwrite<std::uint8_t[]>(screen_bytes);
        if (!whole_screen) {
            const std::size_t picture_bytes =
                JpegRowStride(static_cast<std::uint32_t>(g.imode_width), 24) *
                static_cast<std::size_t>(g.imode_height);
            s.picture_buffer = std::make_unique<std::uint8_t[]>(picture_bytes);
            s.rotation_buffer =
                std::make_unique<std::uint8_t[]>(static_cast<std::size_t>(g.imode_width) *
                                                 static_cast<std::size_t>(g.imode_height) * 3);
        }
    }

    if (screen_timer_hook) screen_timer_hook(e.screen_timer * 1000u);

    screen_jpeg_job = {};
    screen_jpeg_job.width = static_cast<std::uint32_t>(g.bitmap_width);
    screen_jpeg_job.height = static_cast<std::uint32_t>(g.bitmap_height);
    screen_jpeg_job.bits_per_pixel = 24;
    screen_jpeg_job.quality = 75;
    screen_jpeg_job.force_baseline = 0;

    screen_gif_job = {};
    screen_gif_job.max_width = static_cast<std::uint32_t>(g.imode_width);
    screen_gif_job.max_height = static_cast<std::uint32_t>(g.imode_height);
    screen_gif_job.colors = CurrentGifColors();

    e.screen_on = 1;
    PublishScreenCaptureStarted();

    if (!whole_screen && g.rotate) {
        std::swap(screen_jpeg_job.width, screen_jpeg_job.height);
        std::swap(screen_gif_job.max_width, screen_gif_job.max_height);
    }
    return error.empty();
}

int StopScreenCapture() {
    ScreenSession& s = screen_session;
    // Before any start the tiles to remove follow the engine's setting.
    const int division = s.geometry.division > 0 ? s.geometry.division
                                                 : ClampedDivision(engine_state.screen_division);
    ReleaseSession();
    engine_state.screen_on = 0;
    PublishScreenCaptureStopped(division);
    return 1;
}

ScreenGrabResult GrabScreen() {
    ScreenGrabResult result;
    if (engine_state.screen_on == 0) {
        result.error = "screen capture is off";
        return result;
    }
    SharedStatusBlock& status = shared_status_block();
    status.set_screen_busy(1);
    if (status.screen_busy() == 0) {
        result.error = "screen_busy could not be raised in the shared status block";
        return result;
    }
    ScreenBusyScope busy;

    ScreenSession& s = screen_session;
    GrabPublisher publisher(result);
    if (!s.holds_resources()) {
        publisher.Fail("screen capture has not been started");
        return result;
    }
    screen::GrabbedPixels pixels;
    std::string error;
    if (!s.grabber->Grab(pixels, error)) {
        publisher.Fail(error);
        return result;
    }
    // The session was sized at the start; a grabber always delivers that size.
    if (pixels.width != s.geometry.screen_width || pixels.height != s.geometry.screen_height) {
        publisher.Fail("the grabbed screen does not have the size screen capture started with");
        return result;
    }

    result.ok = s.geometry.whole_screen ? PublishWholeScreen(pixels, publisher)
                                        : PublishImode(pixels, publisher);
    if (result.ok) s.last_report.clear();
    return result;
}

}  // namespace vemo
