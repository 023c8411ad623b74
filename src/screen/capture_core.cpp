#include "screen/capture_core.h"

#include <algorithm>
#include <memory>
#include <string>
#include <utility>

#include "imaging/jpeg_to_gif.h"
#include "imaging/published_files.h"
#include "product/shared_status_block.h"
#include "screen/grab_publisher.h"
#include "screen/screen_grabber.h"

namespace vemo {

namespace screen {
namespace {

// Why `settings` cannot make a picture, or empty. The engine and vemoctl
// pass values already in range; a division or width of 0 would divide by
// zero, and a division above 10 would give tiles whose names repeat.
std::string OutOfRange(const ScreenSettings& settings) {
    const auto outside = [](std::uint32_t value, std::uint32_t low, std::uint32_t high) {
        return value < low || value > high;
    };
    if (outside(settings.screen_division, kMinDivision, kMaxDivision)) {
        return "the screen division " + std::to_string(settings.screen_division) +
               " is outside 1 to 10";
    }
    if (outside(settings.imode_width, kMinImodeWidth, kMaxImodeWidth)) {
        return "the i-mode width " + std::to_string(settings.imode_width) + " is outside 50 to 200";
    }
    if (outside(settings.screen_gif_color, kMinGifColors, kMaxGifColors)) {
        return "the GIF colour count " + std::to_string(settings.screen_gif_color) +
               " is outside 8 to 256";
    }
    return {};
}

// Lowers screen_busy however the grab ends, unless the grab was left behind
// meanwhile and screen_busy is another grab's.
class ScreenBusyScope {
  public:
    explicit ScreenBusyScope(const std::atomic<bool>& disowned) : disowned_(disowned) {}
    ScreenBusyScope(const ScreenBusyScope&) = delete;
    ScreenBusyScope& operator=(const ScreenBusyScope&) = delete;
    ~ScreenBusyScope() {
        if (!disowned_.load()) shared_status_block().set_screen_busy(0);
    }

  private:
    const std::atomic<bool>& disowned_;
};

}  // namespace

CaptureCore::CaptureCore() = default;

// Here, where the grabber is a complete type.
CaptureCore::~CaptureCore() = default;

ScreenStartResult CaptureCore::Start(const ScreenSettings& requested,
                                     const std::string& unanswered) {
    ScreenStartResult result;
    // Refused before anything changes: a running capture keeps running.
    if (result.error = OutOfRange(requested); !result.error.empty()) return result;
    Release();
    cache_.Clear();
    gone_left_off_ = false;

    // A start without a screen opens no backend.
    const ScreenBackend backend =
        unanswered.empty() ? ScreenBackendForStart() : ScreenBackend::kNull;
    if (backend == ScreenBackend::kPortal) {
        // The user may be asked, for as long as the user takes: the start
        // returns now and the answer installs the grabber. A question a stop
        // left open is still on the screen: it is this start's.
        if (left_asking_ && !left_asking_->answered()) {
            asking_ = std::move(left_asking_);
        } else {
            asking_ = PortalStart::Begin(on_answer_);
        }
        left_asking_.reset();
        {
            std::lock_guard lock(settings_mutex_);
            requested_ = requested;
        }
        last_reported_.clear();
        result.pending = true;
        result.grabbable = true;
        return result;
    }
    if (unanswered.empty()) {
        session_.grabber = OpenScreenGrabber(backend, result.error);
    } else {
        result.error = unanswered;
        session_.grabber = MakeNullGrabber(unanswered);
    }
    // The failures shown before are forgotten. The caller shows this one now,
    // so grabs that fail the same way stay quiet.
    last_reported_ = result.error;
    return SizeSession(requested, std::move(result));
}

// The geometry, buffers and jobs for the grabber's size, and capture on.
ScreenStartResult CaptureCore::SizeSession(const ScreenSettings& requested,
                                           ScreenStartResult result) {
    ScreenSession& s = session_;
    // What the geometry settles on: the i-mode size follows the screen's shape.
    ScreenSettings settings = requested;
    const bool whole_screen = settings.screen_one != 0;
    s.geometry = ComputeScreenGeometry(
        s.grabber->width(), s.grabber->height(), whole_screen, settings.imode_rotate != 0,
        static_cast<int>(settings.screen_division), static_cast<int>(settings.imode_width));
    const ScreenGeometry& g = s.geometry;
    if (g.screen_width > 0 && g.screen_height > 0) {
        settings.imode_width = static_cast<std::uint32_t>(g.imode_width);
        settings.imode_height = static_cast<std::uint32_t>(g.imode_height);
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
            s.imode_buffer = std::make_unique<std::uint8_t[]>(picture_bytes);
            s.rotation_buffer =
                std::make_unique<std::uint8_t[]>(static_cast<std::size_t>(g.imode_width) *
                                                 static_cast<std::size_t>(g.imode_height) * 3);
        }
    }
    division_.store(g.division);
    {
        std::lock_guard lock(settings_mutex_);
        requested_ = requested;
        settings_ = settings;
    }

    jpeg_job_ = {};
    jpeg_job_.width = static_cast<std::uint32_t>(g.bitmap_width);
    jpeg_job_.height = static_cast<std::uint32_t>(g.bitmap_height);
    jpeg_job_.bits_per_pixel = 24;
    jpeg_job_.quality = 75;
    jpeg_job_.force_baseline = 0;

    gif_job_ = {};
    gif_job_.max_width = static_cast<std::uint32_t>(g.imode_width);
    gif_job_.max_height = static_cast<std::uint32_t>(g.imode_height);
    gif_job_.colors = static_cast<std::int32_t>(settings.screen_gif_color);

    screen_on_.store(true);
    if (!disowned_.load()) PublishScreenCaptureStarted();

    if (!whole_screen && g.rotate) {
        std::swap(jpeg_job_.width, jpeg_job_.height);
        std::swap(gif_job_.max_width, gif_job_.max_height);
    }
    result.grabbable = result.error.empty();
    return result;
}

void CaptureCore::Release(bool ending) {
    ScreenSession& s = session_;
    s.rotation_buffer.reset();
    s.imode_buffer.reset();
    s.picture_buffer.reset();
    s.grab_buffer.reset();
    s.scaler = PictureScaler();
    s.grabber.reset();
    if (asking_ && !asking_->answered() && !ending) left_asking_ = std::move(asking_);
    asking_.reset();
    if (ending || (left_asking_ && left_asking_->answered())) left_asking_.reset();
}

void CaptureCore::TakeAnswer() {
    if (left_asking_ && left_asking_->answered()) left_asking_.reset();
    if (asking_ && asking_->answered()) Deliver(Grab());
}

void CaptureCore::WaitForStart() const {
    if (asking_) asking_->WaitForAnswer();
}

void CaptureCore::InstallAnswer() {
    std::string error;
    session_.grabber = asking_->Finish(error);
    asking_.reset();
    SizeSession(requested(), {});
}

void CaptureCore::PublishStopped() {
    const int division = division_.load() > 0 ? division_.load() : division_before_start_.load();
    screen_on_.store(false);
    cache_.Clear();
    PublishScreenCaptureStopped(division);
}

ScreenGrabResult CaptureCore::Grab() {
    grab_running_.store(true);
    struct Ended {
        std::atomic<bool>& running;
        ~Ended() { running.store(false); }
    } ended{grab_running_};
    ScreenGrabResult result;
    if (asking_) {
        // Nothing to show until the portal answers: its answer grabs.
        if (!asking_->answered()) {
            result.interrupted = true;
            return result;
        }
        InstallAnswer();
    }
    if (!screen_on_.load()) {
        result.error = "screen capture is off";
        return result;
    }
    // A resized screen makes the session's geometry, buffers and tiles wrong:
    // capture starts afresh at the new size, once for each change.
    const bool resized = session_.grabber && session_.grabber->SizeChanged();
    // The server may have kept us waiting until a stop, or until this grab
    // was left behind: then nothing more is shown, screen_busy included.
    if (interrupt_.raised()) {
        result.interrupted = true;
        return result;
    }
    if (resized) {
        // A grabber that takes the new size keeps its session (a screen
        // cast's permission and streams); the rest is sized afresh.
        ScreenStartResult started;
        if (session_.grabber->AdoptNewSize()) {
            session_.scaler = PictureScaler();
            cache_.Clear();
            started = SizeSession(requested(), {});
        } else {
            Release();
            PublishStopped();
            started = Start(requested());
            // The portal asked anew: its answer grabs.
            if (started.pending) {
                result.interrupted = true;
                return result;
            }
        }
        result.restarted = true;
        result.screen_width = session_.geometry.screen_width;
        result.screen_height = session_.geometry.screen_height;
        if (!started.grabbable) {
            result.error = started.error;
            result.report = true;
            return result;
        }
    }
    result.screen_width = session_.geometry.screen_width;
    result.screen_height = session_.geometry.screen_height;
    if (interrupt_.raised()) {
        result.interrupted = true;
        return result;
    }

    SharedStatusBlock& status = shared_status_block();
    status.set_screen_busy(1);
    if (status.screen_busy() == 0) {
        result.error = "screen_busy could not be raised in the shared status block";
        return result;
    }
    const std::uint32_t colors = settings().screen_gif_color;
    // GIFs kept with another colour count are no longer what a grab makes.
    if (colors != cache_colors_) {
        cache_.Clear();
        cache_colors_ = colors;
    }
    {
        ScreenBusyScope busy(disowned_);
        result.ok = GrabAndPublish(result, colors);
    }
    // After a failure the files may not hold what was kept.
    if (!result.ok) cache_.Clear();
    if (result.interrupted) return result;
    // A source gone for good leaves the off pictures, once: what was
    // published last must not pass for the screen as it is now. Capture stays
    // on, failing, until it is started again.
    if (!result.ok && !gone_left_off_ && session_.grabber && session_.grabber->Gone()) {
        gone_left_off_ = true;
        if (!disowned_.load()) PublishScreenCaptureStopped(division_.load());
    }
    if (result.ok) {
        last_reported_.clear();
    } else if (result.error != last_reported_) {
        last_reported_ = result.error;
        result.report = true;
    }
    return result;
}

bool CaptureCore::GrabAndPublish(ScreenGrabResult& result, std::uint32_t gif_colors) {
    ScreenSession& s = session_;
    const GrabContext context{s,
                              jpeg_job_,
                              gif_job_,
                              cache_,
                              hasher_,
                              interrupt_,
                              static_cast<std::int32_t>(gif_colors),
                              pause_ms_.load()};
    GrabPublisher publisher(context, result);
    if (!s.holds_resources()) return publisher.Fail("screen capture has not been started");
    // A screen the grabber knows to be unchanged since the grab that made the
    // kept pictures is neither read nor coded: they are published again.
    if (publisher.KeepsEveryPicture() &&
        s.grabber->PeekChanges().kind == ScreenChanges::Kind::kNothing) {
        return publisher.RepublishKept();
    }
    GrabbedPixels pixels;
    ScreenChanges changes;
    std::string error;
    if (!s.grabber->Grab(pixels, changes, error)) return publisher.Fail(error);
    // The session was sized at the start; a grabber always delivers that size.
    if (pixels.width != s.geometry.screen_width || pixels.height != s.geometry.screen_height) {
        return publisher.Fail(
            "the grabbed screen does not have the size screen capture started with");
    }
    return s.geometry.whole_screen ? publisher.PublishWholeScreen(pixels, changes)
                                   : publisher.PublishImode(pixels, changes);
}

void CaptureCore::Deliver(ScreenGrabResult result) {
    std::lock_guard lock(done_mutex_);
    if (done_ && !result.interrupted) done_(std::move(result));
}

void CaptureCore::set_grab_done(GrabDone done) {
    std::lock_guard lock(done_mutex_);
    done_ = std::move(done);
}

void CaptureCore::Disown() {
    disowned_.store(true);
    interrupt_.Raise();
    set_grab_done(nullptr);
}

void CaptureCore::TakeOver(const CaptureCore& other) {
    screen_on_.store(other.screen_on_.load());
    division_.store(other.division_.load());
    pause_ms_.store(other.pause_ms_.load());
    {
        std::scoped_lock lock(settings_mutex_, other.settings_mutex_);
        requested_ = other.requested_;
        settings_ = other.settings_;
    }
}

ScreenSettings CaptureCore::requested() const {
    std::lock_guard lock(settings_mutex_);
    return requested_;
}

ScreenSettings CaptureCore::settings() const {
    std::lock_guard lock(settings_mutex_);
    return settings_;
}

void CaptureCore::set_screen_gif_color(std::uint32_t colors) {
    // A count the converter cannot make keeps the one in use.
    if (colors < kMinGifColors || colors > kMaxGifColors) return;
    std::lock_guard lock(settings_mutex_);
    settings_.screen_gif_color = colors;
}

}  // namespace screen
}  // namespace vemo
