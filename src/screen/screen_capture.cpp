#include "screen/screen_capture.h"

#include <cstdlib>
#include <mutex>
#include <string>
#include <utility>

#include "product/shared_status_block.h"
#include "screen/capture_core.h"
#include "screen/grab_worker.h"
#include "screen/screen_grabber.h"
#include "screen/screen_log.h"

namespace vemo {

using screen::CaptureCore;
using screen::GrabWorker;

ScreenCapture::ScreenCapture()
    : core_(std::make_shared<CaptureCore>()), worker_(std::make_unique<GrabWorker>()) {
    core_->set_on_answer(AnswerHook());
}

ScreenCapture::~ScreenCapture() {
    Quiesce("ending screen capture");
    if (!worker_->Run([core = core_] { core->Release(true); }, answer_timeout_)) {
        LeaveBehind("ending screen capture");
    }
    core_->set_grab_done(nullptr);
}

ScreenStartResult ScreenCapture::Start(const ScreenSettings& settings) {
    Quiesce("starting screen capture");
    start_pending_ = false;
    // Shared with the job, which may outlive the wait.
    auto started = std::make_shared<ScreenStartResult>();
    if (worker_->Run([core = core_, settings, started] { *started = core->Start(settings); },
                     answer_timeout_)) {
        // A portal start returns at once; the grabs asked for until its
        // answer are skipped, and the answer grabs.
        start_pending_ = started->pending;
        return *started;
    }
    LeaveBehind("starting screen capture");
    if (screen::ChooseScreenBackend() == screen::ScreenBackend::kPortal) {
        return core_->Start(settings,
                            "the screen cast's PipeWire stream did not answer; the screen is not "
                            "captured until screen capture is started again");
    }
    const char* display = std::getenv("DISPLAY");
    return core_->Start(settings, "the X display \"" + std::string(display ? display : "") +
                                      "\" did not answer; the screen is not captured until "
                                      "screen capture is started again");
}

// The portal's answer comes on its own thread; the worker takes it, queued
// rather than merged with a grab asked for, so that it is never lost.
std::function<void()> ScreenCapture::AnswerHook() {
    return [queue = worker_->Queuer(), core = std::weak_ptr<CaptureCore>(core_)] {
        queue([core] {
            if (const auto taker = core.lock()) taker->TakeAnswer();
        });
    };
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
    worker_->Run(
        [core = core_, result] {
            core->WaitForStart();
            *result = core->Grab();
        },
        GrabWorker::kForever);
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

void ScreenCapture::set_division_before_start(std::uint32_t division) {
    core_->set_division_before_start(division);
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
    core_->set_on_answer(AnswerHook());
    // The grab left behind may have raised it; it is no longer the engine's.
    shared_status_block().set_screen_busy(0);
}

}  // namespace vemo
