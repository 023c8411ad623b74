// The X11 grabber. Xlib's headers define None, Bool and Status, so they stay
// in this folder's files.

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#include <signal.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "screen/screen_grabber.h"
#include "screen/x11/x11_resources.h"

namespace vemo::screen {
namespace {

// Beyond this many changed rectangles the screen counts as changed anywhere:
// checking each tile against them would cost more than it saves.
constexpr int kMaxChangedRectangles = 64;

class X11Grabber;

// The grabbers alive, as an intrusive list: a plain pointer outlives every
// static object, so a session destroyed at process exit can still unlink.
// Grabbers live on screen workers, and one left stuck behind may meet its
// error while another is made, hence the lock (constant-initialised, with
// nothing to destroy).
X11Grabber* first_grabber = nullptr;
std::mutex grabber_list_mutex;

// Xlib's error handlers are process-wide and its defaults end the process.
// Ours note errors on the displays the grabbers own and return, so a refused
// request or a lost server becomes a failed grab; errors on any other
// connection go to whichever handler was installed before.
XErrorHandler previous_error_handler = nullptr;
XIOErrorHandler previous_io_error_handler = nullptr;

X11Grabber* GrabberOf(Display* display);
int OnXError(Display* display, XErrorEvent* event);
int OnXIoError(Display* display);

// Called after the I/O error handler; Xlib's own version ends the process.
// Returning here leaves the connection marked dead, every later request on it
// failing at once.
void KeepRunningAfterIoError(Display*, void*) {}

void InstallErrorHandlers() {
    static std::once_flag installed;
    std::call_once(installed, [] {
        previous_error_handler = XSetErrorHandler(OnXError);
        previous_io_error_handler = XSetIOErrorHandler(OnXIoError);
        // A server that goes away while a request is being written raises
        // SIGPIPE, whose default action ends the process. Ignored, the write
        // fails instead and Xlib reports a lost connection. A handler someone
        // else installed is left alone.
        struct sigaction pipe_action {};
        if (sigaction(SIGPIPE, nullptr, &pipe_action) == 0 && pipe_action.sa_handler == SIG_DFL) {
            std::signal(SIGPIPE, SIG_IGN);
        }
    });
}

class X11Grabber final : public ScreenGrabber {
  public:
    X11Grabber() {
        const std::lock_guard lock(grabber_list_mutex);
        next_ = first_grabber;
        first_grabber = this;
    }
    ~X11Grabber() override {
        image_.reset();
        segment_.Release(!lost_);
        display_.reset();
        const std::lock_guard lock(grabber_list_mutex);
        X11Grabber** link = &first_grabber;
        while (*link != this)
            link = &(*link)->next_;
        *link = next_;
    }
    X11Grabber(const X11Grabber&) = delete;
    X11Grabber& operator=(const X11Grabber&) = delete;

    bool Open(bool use_shm, std::string& error) {
        const char* name = std::getenv("DISPLAY");
        display_name_ = name != nullptr ? name : "";
        InstallErrorHandlers();
        display_.reset(XOpenDisplay(nullptr));
        if (!display_) {
            error = "cannot open the X display \"" + display_name_ + "\"";
            return false;
        }
        Display* d = display_.get();
        XSetIOErrorExitHandler(d, KeepRunningAfterIoError, nullptr);

        const int screen = DefaultScreen(d);
        root_ = RootWindow(d, screen);
        visual_ = DefaultVisual(d, screen);
        depth_ = DefaultDepth(d, screen);
        width_ = DisplayWidth(d, screen);
        height_ = DisplayHeight(d, screen);
        if (visual_->c_class != TrueColor && visual_->c_class != DirectColor) {
            error = "the X display \"" + display_name_ + "\" has no true-colour visual (depth " +
                    std::to_string(depth_) + "); its screen cannot be captured";
            return false;
        }

        if (use_shm && XShmQueryExtension(d) && AttachSharedImage()) {
            shared_ = true;
        } else if (!ProbePlainLayout()) {
            error = "the X display \"" + display_name_ + "\" refused to hand over its screen";
            return false;
        }
        if (std::string reason = UnsupportedLayoutReason(layout_); !reason.empty()) {
            error = "X display \"" + display_name_ + "\": " + reason;
            return false;
        }
        TrackDamage();
        return true;
    }

    int width() const override { return width_; }

    bool SizeChanged() override {
        if (lost_) return false;
        Window root_return = 0;
        int x = 0, y = 0;
        unsigned int w = 0, h = 0, border = 0, depth = 0;
        error_code_ = 0;
        return XGetGeometry(display_.get(), root_, &root_return, &x, &y, &w, &h, &border, &depth) &&
               error_code_ == 0 &&
               (static_cast<int>(w) != width_ || static_cast<int>(h) != height_);
    }
    int height() const override { return height_; }

    std::string Describe() const override {
        return "X11 \"" + display_name_ + "\"" + (shared_ ? " with MIT-SHM" : " without MIT-SHM") +
               (damage_ != 0 ? " and DAMAGE" : "");
    }

    ScreenChanges PeekChanges() override {
        ScreenChanges changes;
        if (damage_ == 0 || !changes_known_ || lost_) return changes;
        CollectDamage();
        FetchPending(changes);
        return changes;
    }

    bool Grab(GrabbedPixels& pixels, ScreenChanges& changes, std::string& error) override {
        changes = {};
        if (lost_) {
            error = LostMessage();
            return false;
        }
        // Taken before the pixels are read: a change that comes while they
        // are read is then reported by the next grab, never lost.
        ScreenChanges seen;
        const bool tracked = TakeDamage(seen);
        Display* d = display_.get();
        error_code_ = 0;
        bool ok = false;
        if (shared_) {
            ok = XShmGetImage(d, root_, image_.get(), 0, 0, AllPlanes) != 0;
        } else {
            image_.reset(XGetImage(d, root_, 0, 0, static_cast<unsigned>(width_),
                                   static_cast<unsigned>(height_), AllPlanes, ZPixmap));
            ok = image_ != nullptr;
        }
        if (!ok || lost_ || error_code_ != 0) {
            // The changes taken are gone with the failed grab.
            changes_known_ = false;
            error = FailureMessage();
            return false;
        }
        if (changes_known_ && tracked) changes = std::move(seen);
        changes_known_ = tracked;
        pixels.data = reinterpret_cast<const std::uint8_t*>(image_->data);
        pixels.width = image_->width;
        pixels.height = image_->height;
        pixels.stride = static_cast<std::size_t>(image_->bytes_per_line);
        pixels.layout = LayoutOf(*image_);
        return true;
    }

    Display* display() const { return display_.get(); }
    X11Grabber* next() const { return next_; }
    void NoteError(const XErrorEvent& event) { error_code_ = event.error_code; }
    void NoteLost() { lost_ = true; }

  private:
    static PixelLayout LayoutOf(const XImage& image) {
        PixelLayout layout;
        layout.bits_per_pixel = image.bits_per_pixel;
        layout.msb_first = image.byte_order == MSBFirst;
        layout.red_mask = static_cast<std::uint32_t>(image.red_mask);
        layout.green_mask = static_cast<std::uint32_t>(image.green_mask);
        layout.blue_mask = static_cast<std::uint32_t>(image.blue_mask);
        return layout;
    }

    bool AttachSharedImage() {
        Display* d = display_.get();
        image_.reset(XShmCreateImage(d, visual_, static_cast<unsigned>(depth_), ZPixmap, nullptr,
                                     segment_.info(), static_cast<unsigned>(width_),
                                     static_cast<unsigned>(height_)));
        if (!image_) return false;
        const std::size_t size =
            static_cast<std::size_t>(image_->bytes_per_line) * static_cast<std::size_t>(height_);
        if (!segment_.Create(size)) {
            image_.reset();
            return false;
        }
        image_->data = segment_.address();
        error_code_ = 0;
        segment_.Attach(d);
        if (error_code_ != 0 || lost_) {
            image_.reset();
            segment_.Release(false);  // the server holds no attachment
            return false;
        }
        layout_ = LayoutOf(*image_);
        return true;
    }

    // Asks the server to note every change of the root window and what is
    // drawn in it, where the server has the DAMAGE extension. Damage objects
    // and regions belong to the connection, which frees them when it closes.
    void TrackDamage() {
        Display* d = display_.get();
        int event_base = 0, error_base = 0, fixes_event_base = 0, fixes_error_base = 0;
        int damage_major = 1, damage_minor = 1, fixes_major = 2, fixes_minor = 0;
        if (!XDamageQueryExtension(d, &event_base, &error_base) ||
            !XFixesQueryExtension(d, &fixes_event_base, &fixes_error_base) ||
            XDamageQueryVersion(d, &damage_major, &damage_minor) == 0 ||
            XFixesQueryVersion(d, &fixes_major, &fixes_minor) == 0 || fixes_major < 2) {
            return;
        }
        error_code_ = 0;
        const Damage damage = XDamageCreate(d, root_, XDamageReportNonEmpty);
        pending_ = XFixesCreateRegion(d, nullptr, 0);
        taken_ = XFixesCreateRegion(d, nullptr, 0);
        XSync(d, False);
        if (error_code_ == 0 && !lost_) {
            damage_ = damage;
            damage_notify_ = event_base + XDamageNotify;
        }
        error_code_ = 0;
    }

    // Moves what the server noted since the last call into pending_. Its
    // notices only say that something was noted; the region says what.
    void CollectDamage() {
        Display* d = display_.get();
        XEvent event;
        while (XCheckTypedEvent(d, damage_notify_, &event)) {
        }
        error_code_ = 0;
        XDamageSubtract(d, damage_, None, taken_);
        XFixesUnionRegion(d, pending_, pending_, taken_);
    }

    // Reads pending_ into `changes`, waiting for the server's answer, so
    // every change drawn before this call is in it. An error leaves the
    // changes unknown, for good: the server would likely refuse again.
    bool FetchPending(ScreenChanges& changes) {
        int count = 0;
        RectanglesPtr rectangles(XFixesFetchRegion(display_.get(), pending_, &count));
        if (lost_ || error_code_ != 0 || (rectangles == nullptr && count != 0)) {
            // Destroyed, if it still exists, so that no more notices queue up.
            if (!lost_) {
                XDamageDestroy(display_.get(), damage_);
                XSync(display_.get(), False);
            }
            damage_ = 0;
            changes_known_ = false;
            error_code_ = 0;
            changes = {};
            return false;
        }
        if (count == 0) {
            changes.kind = ScreenChanges::Kind::kNothing;
        } else if (count <= kMaxChangedRectangles) {
            changes.kind = ScreenChanges::Kind::kRegions;
            for (int i = 0; i < count; ++i) {
                const XRectangle& r = rectangles.get()[i];
                changes.regions.push_back({r.x, r.y, r.width, r.height});
            }
        }
        return true;
    }

    // The changes since the last successful grab, for this grab to report;
    // pending_ starts afresh. False when they are not known.
    bool TakeDamage(ScreenChanges& changes) {
        if (damage_ == 0) return false;
        CollectDamage();
        if (!FetchPending(changes)) return false;
        XFixesSetRegion(display_.get(), pending_, nullptr, 0);
        return true;
    }

    // Without shared memory the layout is learnt from one pixel.
    bool ProbePlainLayout() {
        error_code_ = 0;
        ImagePtr probe(XGetImage(display_.get(), root_, 0, 0, 1, 1, AllPlanes, ZPixmap));
        if (!probe || error_code_ != 0 || lost_) return false;
        layout_ = LayoutOf(*probe);
        return true;
    }

    std::string LostMessage() const {
        return "the connection to the X display \"" + display_name_ +
               "\" was lost; the screen is not captured until screen capture is started again";
    }

    std::string FailureMessage() {
        if (lost_) return LostMessage();
        // A screen made smaller makes the old rectangle invalid.
        Window root_return = 0;
        int x = 0, y = 0;
        unsigned int w = 0, h = 0, border = 0, depth = 0;
        error_code_ = 0;
        if (XGetGeometry(display_.get(), root_, &root_return, &x, &y, &w, &h, &border, &depth) &&
            (static_cast<int>(w) != width_ || static_cast<int>(h) != height_)) {
            return "the screen changed size from " + std::to_string(width_) + "x" +
                   std::to_string(height_) + " to " + std::to_string(w) + "x" + std::to_string(h);
        }
        if (lost_) return LostMessage();
        return "the X display \"" + display_name_ + "\" did not hand over the screen (X error " +
               std::to_string(error_code_) + ")";
    }

    X11Grabber* next_ = nullptr;
    DisplayPtr display_;
    SharedSegment segment_;
    ImagePtr image_;
    std::string display_name_;
    Window root_ = 0;
    Visual* visual_ = nullptr;
    int depth_ = 0;
    int width_ = 0;
    int height_ = 0;
    bool shared_ = false;
    bool lost_ = false;
    int error_code_ = 0;
    PixelLayout layout_;
    // The root window's damage, 0 without the extension or after it failed.
    Damage damage_ = 0;
    int damage_notify_ = 0;
    XserverRegion pending_ = 0;  // changed since the last successful grab
    XserverRegion taken_ = 0;    // what one subtraction took
    // pending_ holds every change since a successful grab: false before the
    // first and after a failed one.
    bool changes_known_ = false;
};

X11Grabber* GrabberOf(Display* display) {
    const std::lock_guard lock(grabber_list_mutex);
    for (X11Grabber* grabber = first_grabber; grabber != nullptr; grabber = grabber->next()) {
        if (grabber->display() == display) return grabber;
    }
    return nullptr;
}

int OnXError(Display* display, XErrorEvent* event) {
    if (X11Grabber* grabber = GrabberOf(display)) {
        grabber->NoteError(*event);
        return 0;
    }
    return previous_error_handler != nullptr ? previous_error_handler(display, event) : 0;
}

int OnXIoError(Display* display) {
    if (X11Grabber* grabber = GrabberOf(display)) {
        grabber->NoteLost();
        return 0;
    }
    return previous_io_error_handler != nullptr ? previous_io_error_handler(display) : 0;
}

}  // namespace

std::unique_ptr<ScreenGrabber> OpenX11Grabber(bool use_shm, std::string& error) {
    auto grabber = std::make_unique<X11Grabber>();
    if (!grabber->Open(use_shm, error)) return nullptr;
    return grabber;
}

}  // namespace vemo::screen
