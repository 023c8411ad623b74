#include "screen/screen_capture.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <string>
#include <utility>

#include "product/shared_status_block.h"
#include "screen/capture_core.h"
#include "screen/grab_worker.h"
#include "screen/screen_grabber.h"
#include "screen/screen_log.h"
#include "settings/settings_store.h"

namespace vemo {

using screen::CaptureCore;
using screen::GrabWorker;

ScreenCapture::ScreenCapture()
    : core_(std::make_shared<CaptureCore>()), worker_(std::make_unique<GrabWorker>()) {}

ScreenCapture::~ScreenCapture() {
    Quiesce("ending screen capture");
    if (!worker_->Run([core = core_] { core->Release(); }, answer_timeout_)) {
        LeaveBehind("ending screen capture");
    }
    core_->set_grab_done(nullptr);
}

ScreenStartResult ScreenCapture::Start(const ScreenSettings& settings) {
    Quiesce("starting screen capture");
    start_pending_ = false;
    // The start's result, and whether its caller stopped waiting for it.
    struct Started {
        std::mutex mutex;
        bool done = false;
        bool caller_gone = false;
        ScreenStartResult result;
    };
    auto started = std::make_shared<Started>();
    const bool answered = worker_->Run(
        [core = core_, settings, started] {
            ScreenStartResult result = core->Start(settings);
            const std::lock_guard lock(started->mutex);
            started->done = true;
            started->result = std::move(result);
            // Nobody shows this start's failure: the first grab does.
            if (started->caller_gone) core->ForgetReported();
        },
        answer_timeout_);
    {
        const std::lock_guard lock(started->mutex);
        if (answered || started->done) return started->result;
        started->caller_gone = true;
    }
    if (screen::ChooseScreenBackend() == screen::ScreenBackend::kPortal) {
        // The desktop may be asking the user whether to allow the capture,
        // which takes as long as the user takes: the start goes on on the
        // worker, bounded by the portal's own limits, and the grabs asked for
        // meanwhile follow it there. A start that fails says why at the first
        // grab.
        start_pending_ = true;
        ScreenStartResult pending;
        pending.grabbable = true;
        pending.pending = true;
        pending.timer_interval_ms =
            std::clamp(settings.screen_timer, kMinIntervalSeconds, kMaxIntervalSeconds) * 1000u;
        return pending;
    }
    LeaveBehind("starting screen capture");
    const char* display = std::getenv("DISPLAY");
    return core_->Start(settings, "the X display \"" + std::string(display ? display : "") +
                                      "\" did not answer; the screen is not captured until "
                                      "screen capture is started again");
}

int ScreenCapture::Stop() {
    Quiesce("stopping screen capture");
    start_pending_ = false;
    if (!worker_->Run([core = core_] { core->Release(); }, answer_timeout_)) {
        LeaveBehind("stopping screen capture");
    }
    core_->PublishStopped();
    return 1;
}

ScreenGrabResult ScreenCapture::Grab() {
    auto result = std::make_shared<ScreenGrabResult>();
    worker_->Run([core = core_, result] { *result = core->Grab(); }, GrabWorker::kForever);
    return *result;
}

void ScreenCapture::RequestGrab() {
    if (!core_->screen_on() && !start_pending_) return;
    worker_->Post([core = core_] { core->Deliver(core->Grab()); });
}

void ScreenCapture::set_grab_done(GrabDone done) {
    done_ = std::move(done);
    core_->set_grab_done(done_);
}

void ScreenCapture::LeaveOffWithoutDisplay() {
    if (!core_->screen_on()) return;
    Quiesce("ending the engine");
    core_->PublishStopped();
}

bool ScreenCapture::screen_on() const {
    return core_->screen_on();
}

bool ScreenCapture::grab_running() const {
    return core_->grab_running();
}

ScreenSettings ScreenCapture::settings() const {
    return core_->settings();
}

void ScreenCapture::set_screen_gif_color(std::uint32_t colors) {
    core_->set_screen_gif_color(colors);
}

const ScreenSession& ScreenCapture::session() const {
    return core_->session();
}

void ScreenCapture::set_pause_ms(int milliseconds) {
    core_->set_pause_ms(milliseconds);
}

void ScreenCapture::Quiesce(const char* doing) {
    worker_->DropPosted();
    core_->interrupt().Raise();
    if (!worker_->Run([] {}, answer_timeout_)) {
        LeaveBehind(doing);
        return;
    }
    core_->interrupt().Clear();
}

void ScreenCapture::LeaveBehind(const char* doing) {
    const bool portal = screen::ChooseScreenBackend() == screen::ScreenBackend::kPortal;
    screen::ScreenLog(std::string(doing) + ": the screen grab has not ended after " +
                      std::to_string(answer_timeout_.count()) + " ms (" +
                      (portal ? "the screen-cast portal or its PipeWire stream" : "the X server") +
                      " does not answer); it is left behind");
    core_->Disown();
    worker_->Abandon();
    auto fresh = std::make_shared<CaptureCore>();
    fresh->TakeOver(*core_);
    fresh->set_grab_done(done_);
    core_ = std::move(fresh);
    worker_ = std::make_unique<GrabWorker>();
    // The grab left behind may have raised it; it is no longer the engine's.
    shared_status_block().set_screen_busy(0);
}

}  // namespace vemo
