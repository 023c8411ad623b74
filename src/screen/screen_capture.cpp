#include "screen/screen_capture.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "imaging/published_files.h"
#include "product/shared_status_block.h"
#include "screen/pixel_format.h"
#include "screen/screen_grabber.h"
#include "settings/settings_store.h"

namespace vemo {

namespace {

using screen::BgrxImage;
using screen::SourceRect;

int ClampedDivision(std::uint32_t value) {
    return static_cast<int>(std::clamp(value, screen::kMinDivision, screen::kMaxDivision));
}

// Lowers screen_busy however the grab ends.
struct ScreenBusyScope {
    ScreenBusyScope() = default;
    ScreenBusyScope(const ScreenBusyScope&) = delete;
    ScreenBusyScope& operator=(const ScreenBusyScope&) = delete;
    ~ScreenBusyScope() { shared_status_block().set_screen_busy(0); }
};

// Publishes the pictures of one grab through the session's two jobs. The first
// failure ends the grab.
class GrabPublisher {
  public:
    GrabPublisher(ScreenSession& session, JpegWriteJob& jpeg_job, GifConvertJob& gif_job,
                  std::uint32_t gif_colors, int pause_ms, ScreenGrabResult& result)
        : session_(session),
          jpeg_job_(jpeg_job),
          gif_job_(gif_job),
          gif_colors_(static_cast<std::int32_t>(gif_colors)),
          pause_ms_(pause_ms),
          result_(result) {}

    bool PublishWholeScreen(const screen::GrabbedPixels& pixels) {
        if (screen::IsBgrx(pixels.layout)) {
            // The usual display: the writer codes the grabbed pixels where they
            // are and leaves them untouched.
            jpeg_job_.bits_per_pixel = kBgrxBitsPerPixel;
            jpeg_job_.top_down = true;
            jpeg_job_.row_stride = static_cast<std::uint32_t>(pixels.stride);
            jpeg_job_.pixels = const_cast<std::uint8_t*>(pixels.data);
        } else {
            // The writer turns the rows' colour order in place, so the buffer is
            // filled afresh from the grab every time.
            screen::ConvertToBottomUpBgr(
                pixels, session_.grab_buffer.get(),
                JpegRowStride(static_cast<std::uint32_t>(pixels.width), 24));
            jpeg_job_.bits_per_pixel = 24;
            jpeg_job_.top_down = false;
            jpeg_job_.row_stride = 0;
            jpeg_job_.pixels = session_.grab_buffer.get();
        }
        return PublishJpeg(published::kScreenWholeJpegTemp, published::kScreenWholeJpeg, false);
    }

    bool PublishImode(const screen::GrabbedPixels& pixels) {
        const screen::ScreenGeometry& g = session_.geometry;
        const BgrxImage view = screen::BgrxView(pixels, session_.grab_buffer.get());

        MakeSmallPicture(view, {0, 0, g.screen_width, g.screen_height});
        if (!PublishJpeg(published::kScreenJpegTemp, published::kScreenJpeg, false) ||
            !PublishGif(published::kScreenJpeg, published::kScreenGifTemp, published::kScreenGif,
                        false)) {
            return false;
        }
        Pause();

        const int d = g.division;
        for (int row = 0; row < d; ++row) {
            for (int column = 0; column < d; ++column) {
                MakeSmallPicture(view, {column * g.tile_width, row * g.tile_height, g.tile_width,
                                        g.tile_height});
                const screen::TileDigits digits = screen::TileDigitsFor(row, column, d, g.rotate);
                const std::string jpeg = published::TileName(digits.first, digits.second, ".jpg");
                const std::string gif = published::TileName(digits.first, digits.second, ".gif");
                if (!PublishJpeg(published::TileTempName(digits.first, digits.second, ".jpg"), jpeg,
                                 true) ||
                    !PublishGif(jpeg, published::TileTempName(digits.first, digits.second, ".gif"),
                                gif, true)) {
                    return false;
                }
                Pause();
            }
        }
        return true;
    }

    bool Fail(std::string message) {
        result_.error = std::move(message);
        return false;
    }

  private:
    // Writes the picture the job points at under `temp` and moves it to `name`.
    bool PublishJpeg(const std::string& temp, const std::string& name, bool tile) {
        jpeg_job_.path = temp;
        if (ImagingResult written = WriteJpegFrame(jpeg_job_); !written) {
            return Fail("cannot write " + temp + ": " + written.message);
        }
        return Move(temp, name, tile);
    }

    // Makes the GIF of the published JPEG `jpeg_name`.
    bool PublishGif(const std::string& jpeg_name, const std::string& temp, const std::string& name,
                    bool tile) {
        gif_job_.input_path = jpeg_name;
        gif_job_.output_path = temp;
        gif_job_.colors = gif_colors_;
        if (ImagingResult converted = ConvertJpegToGif(gif_job_); !converted) {
            return Fail("cannot write " + temp + ": " + converted.message);
        }
        return Move(temp, name, tile);
    }

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

    // Scales `rect` of the screen into the small picture and points the JPEG
    // job at it, turned when the session rotates.
    void MakeSmallPicture(const BgrxImage& screen_view, SourceRect rect) {
        const screen::ScreenGeometry& g = session_.geometry;
        session_.scaler.Scale(screen_view, rect, g.imode_width, g.imode_height,
                              session_.picture_buffer.get(),
                              JpegRowStride(static_cast<std::uint32_t>(g.imode_width), 24));
        if (g.rotate) {
            screen::RotateQuarterClockwise(session_.picture_buffer.get(), g.imode_width,
                                           g.imode_height, session_.rotation_buffer.get());
            jpeg_job_.pixels = session_.rotation_buffer.get();
        } else {
            jpeg_job_.pixels = session_.picture_buffer.get();
        }
    }

    void Pause() {
        if (pause_ms_ > 0) file_operations().Pause(pause_ms_);
    }

    ScreenSession& session_;
    JpegWriteJob& jpeg_job_;
    GifConvertJob& gif_job_;
    const std::int32_t gif_colors_;
    const int pause_ms_;
    ScreenGrabResult& result_;
};

}  // namespace

ScreenSettings ReadScreenSettings() {
    ScreenSettings settings;
    settings.screen_timer = ReadSetting(SETTING_SCREEN_TIMER);
    settings.screen_one = ReadSetting(SETTING_SCREEN_ONE);
    settings.imode_rotate = ReadSetting(SETTING_IMODE_ROTATE);
    settings.screen_gif_color = ReadSetting(SETTING_SCREEN_GIF_COLOR);
    settings.screen_division = ReadSetting(SETTING_SCREEN_DIVISION);
    settings.imode_width = ReadSetting(SETTING_IMODE_WIDTH);
    settings.imode_height = ReadSetting(SETTING_IMODE_HEIGHT);
    return settings;
}

ScreenCapture::ScreenCapture() = default;

// Here, where the grabber is a complete type.
ScreenCapture::~ScreenCapture() = default;

ScreenStartResult ScreenCapture::Start(const ScreenSettings& settings) {
    requested_ = settings;
    settings_ = settings;
    // Values only an edited settings file can hold are brought into the
    // ranges the properties dialogs allow.
    settings_.screen_timer =
        std::clamp(settings_.screen_timer, kMinIntervalSeconds, kMaxIntervalSeconds);
    settings_.screen_division =
        std::clamp(settings_.screen_division, screen::kMinDivision, screen::kMaxDivision);
    settings_.imode_width =
        std::clamp(settings_.imode_width, screen::kMinImodeWidth, screen::kMaxImodeWidth);
    settings_.screen_gif_color =
        std::clamp(settings_.screen_gif_color, kMinGifColors, kMaxGifColors);

    ScreenSession& s = session_;
    ReleaseSession();

    ScreenStartResult result;
    s.grabber = screen::OpenScreenGrabber(result.error);
    // The failures shown before are forgotten. The caller shows this one now,
    // so grabs that fail the same way stay quiet.
    last_reported_ = result.error;

    const bool whole_screen = settings_.screen_one != 0;
    s.geometry = screen::ComputeScreenGeometry(
        s.grabber->width(), s.grabber->height(), whole_screen, settings_.imode_rotate != 0,
        static_cast<int>(settings_.screen_division), static_cast<int>(settings_.imode_width));
    const screen::ScreenGeometry& g = s.geometry;
    if (g.screen_width > 0 && g.screen_height > 0) {
        settings_.imode_width = static_cast<std::uint32_t>(g.imode_width);
        settings_.imode_height = static_cast<std::uint32_t>(g.imode_height);
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
    result.timer_interval_ms = settings_.screen_timer * 1000u;

    jpeg_job_ = {};
    jpeg_job_.width = static_cast<std::uint32_t>(g.bitmap_width);
    jpeg_job_.height = static_cast<std::uint32_t>(g.bitmap_height);
    jpeg_job_.bits_per_pixel = 24;
    jpeg_job_.quality = 75;
    jpeg_job_.force_baseline = 0;

    gif_job_ = {};
    gif_job_.max_width = static_cast<std::uint32_t>(g.imode_width);
    gif_job_.max_height = static_cast<std::uint32_t>(g.imode_height);
    gif_job_.colors = static_cast<std::int32_t>(settings_.screen_gif_color);

    screen_on_ = true;
    PublishScreenCaptureStarted();

    if (!whole_screen && g.rotate) {
        std::swap(jpeg_job_.width, jpeg_job_.height);
        std::swap(gif_job_.max_width, gif_job_.max_height);
    }
    result.grabbable = result.error.empty();
    return result;
}

int ScreenCapture::Stop() {
    // Before any start the tiles to remove follow the stored setting.
    const int division = session_.geometry.division > 0
                             ? session_.geometry.division
                             : ClampedDivision(ReadSetting(SETTING_SCREEN_DIVISION));
    ReleaseSession();
    screen_on_ = false;
    PublishScreenCaptureStopped(division);
    return 1;
}

void ScreenCapture::set_screen_gif_color(std::uint32_t colors) {
    settings_.screen_gif_color = std::clamp(colors, kMinGifColors, kMaxGifColors);
}

ScreenGrabResult ScreenCapture::Grab() {
    ScreenGrabResult result;
    if (!screen_on_) {
        result.error = "screen capture is off";
        return result;
    }
    // A resized screen makes the session's geometry, buffers and tiles wrong:
    // capture starts afresh at the new size, once for each change.
    if (session_.grabber && session_.grabber->SizeChanged()) {
        Stop();
        const ScreenStartResult started = Start(requested_);
        result.restarted = true;
        if (!started.grabbable) {
            result.error = started.error;
            result.report = true;
            return result;
        }
    }
    SharedStatusBlock& status = shared_status_block();
    status.set_screen_busy(1);
    if (status.screen_busy() == 0) {
        result.error = "screen_busy could not be raised in the shared status block";
        return result;
    }
    {
        ScreenBusyScope busy;
        result.ok = GrabAndPublish(result);
    }
    if (result.ok) {
        last_reported_.clear();
    } else if (result.error != last_reported_) {
        last_reported_ = result.error;
        result.report = true;
    }
    return result;
}

bool ScreenCapture::GrabAndPublish(ScreenGrabResult& result) {
    ScreenSession& s = session_;
    GrabPublisher publisher(s, jpeg_job_, gif_job_, settings_.screen_gif_color, pause_ms_, result);
    if (!s.holds_resources()) return publisher.Fail("screen capture has not been started");
    screen::GrabbedPixels pixels;
    std::string error;
    if (!s.grabber->Grab(pixels, error)) return publisher.Fail(error);
    // The session was sized at the start; a grabber always delivers that size.
    if (pixels.width != s.geometry.screen_width || pixels.height != s.geometry.screen_height) {
        return publisher.Fail(
            "the grabbed screen does not have the size screen capture started with");
    }
    return s.geometry.whole_screen ? publisher.PublishWholeScreen(pixels)
                                   : publisher.PublishImode(pixels);
}

void ScreenCapture::ReleaseSession() {
    ScreenSession& s = session_;
    s.rotation_buffer.reset();
    s.picture_buffer.reset();
    s.grab_buffer.reset();
    s.scaler = screen::PictureScaler();
    s.grabber.reset();
}

}  // namespace vemo
