// A PipeWire capture's life cycle: the connection to the portal's remote, a
// stream per monitor, the wait for the first frames, and what a grab takes.

#include "screen/portal/pipewire_stream.h"

#include <fcntl.h>
#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/buffers.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>

#include "screen/portal/pipewire_capture_impl.h"
#include "screen/portal/pipewire_params.h"

namespace vemo::screen {
namespace {

constexpr const char* kNoFirstFrame =
    "the screen cast has not sent its first picture yet: the compositor sends one once the "
    "screen changes";

void InitPipeWire() {
    static std::once_flag done;
    std::call_once(done, [] { pw_init(nullptr, nullptr); });
}

}  // namespace

bool PipeWireCapture::Impl::Start(UniqueFd remote, const std::vector<StreamSource>& sources,
                                  std::string& error) {
    InitPipeWire();
    loop.reset(pw_thread_loop_new("vemo-screencast", nullptr));
    if (!loop) {
        error = "cannot start PipeWire's thread for the screen cast";
        return false;
    }
    context.reset(pw_context_new(pw_thread_loop_get_loop(loop.get()), nullptr, 0));
    if (!context || pw_thread_loop_start(loop.get()) < 0) {
        error = "cannot set up PipeWire for the screen cast";
        return false;
    }

    static const pw_core_events core_events = [] {
        pw_core_events events{};
        events.version = PW_VERSION_CORE_EVENTS;
        events.error = [](void* data, std::uint32_t id, int, int, const char* message) {
            if (id != PW_ID_CORE) return;
            static_cast<Impl*>(data)->NoteLost(std::string("the PipeWire stream went away (") +
                                               (message != nullptr ? message : "") + ")");
        };
        return events;
    }();
    static const pw_registry_events registry_events = [] {
        pw_registry_events events{};
        events.version = PW_VERSION_REGISTRY_EVENTS;
        events.global_remove = [](void* data, std::uint32_t id) {
            auto* self = static_cast<Impl*>(data);
            for (const auto& m : self->monitors) {
                if (m->source.node_id == id) {
                    self->NoteLost("the PipeWire stream went away (its source ended)");
                }
            }
        };
        return events;
    }();
    static const pw_stream_events stream_events = [] {
        pw_stream_events events{};
        events.version = PW_VERSION_STREAM_EVENTS;
        events.state_changed = [](void* data, pw_stream_state old, pw_stream_state state,
                                  const char* message) {
            auto& m = *static_cast<Monitor*>(data);
            if (old == PW_STREAM_STATE_STREAMING && state == PW_STREAM_STATE_PAUSED) {
                // Its link went (the session manager that made it ended):
                // no frame comes, though nothing reports an error.
                m.owner->NoteLost("the PipeWire stream went away (its link to the screen ended)");
                return;
            }
            if (state == PW_STREAM_STATE_ERROR) {
                m.owner->NoteLost(std::string("the PipeWire stream went away (") +
                                  (message != nullptr ? message : "an error") + ")");
            } else if (state == PW_STREAM_STATE_UNCONNECTED) {
                m.owner->NoteLost("the PipeWire stream went away");
            }
        };
        events.param_changed = [](void* data, std::uint32_t id, const spa_pod* param) {
            auto& m = *static_cast<Monitor*>(data);
            if (id == SPA_PARAM_Format && param != nullptr) m.owner->OnFormat(m, param);
        };
        events.process = [](void* data) {
            auto& m = *static_cast<Monitor*>(data);
            m.owner->OnProcess(m);
        };
        return events;
    }();

    pw_thread_loop_lock(loop.get());
    struct Unlock {
        pw_thread_loop* l;
        ~Unlock() { pw_thread_loop_unlock(l); }
    } unlock{loop.get()};

    // The core owns the descriptor from here on.
    core.reset(pw_context_connect_fd(context.get(), remote.release(), nullptr, 0));
    if (!core) {
        error = "cannot connect to PipeWire through the screen-cast portal's connection";
        return false;
    }
    pw_core_add_listener(core.get(), &core_listener, &core_events, this);
    registry.reset(pw_core_get_registry(core.get(), PW_VERSION_REGISTRY, 0));
    if (registry)
        pw_registry_add_listener(registry.get(), &registry_listener, &registry_events, this);

    for (const StreamSource& source : sources) {
        auto& m = *monitors.emplace_back(std::make_unique<Monitor>());
        m.owner = this;
        m.index = monitors.size() - 1;
        m.source = source;
    }
    for (const auto& m : monitors) {
        pw_properties* props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                                 "Capture", PW_KEY_MEDIA_ROLE, "Screen", nullptr);
        m->stream.reset(pw_stream_new(core.get(), "vemo screen", props));
        if (!m->stream) {
            error = "cannot make a PipeWire stream for the screen cast";
            return false;
        }
        pw_stream_add_listener(m->stream.get(), &m->listener, &stream_events, m.get());
        std::array<std::uint8_t, 1024> buffer{};
        spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer.data(), buffer.size());
        const spa_pod* format = FormatParam(b, m->source.width, m->source.height);
        const int result = pw_stream_connect(
            m->stream.get(), PW_DIRECTION_INPUT, m->source.node_id,
            static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS),
            &format, 1);
        if (result < 0) {
            error = "cannot connect the PipeWire stream of node " +
                    std::to_string(m->source.node_id) + ": " + std::strerror(-result);
            return false;
        }
    }
    return true;
}

PipeWireCapture::PipeWireCapture(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

PipeWireCapture::~PipeWireCapture() = default;

std::unique_ptr<PipeWireCapture> PipeWireCapture::Open(UniqueFd remote,
                                                       const std::vector<StreamSource>& sources,
                                                       const FirstFrameWait& wait,
                                                       std::string& error) {
    auto impl = std::make_unique<Impl>();
    if (sources.empty()) {
        error = "the screen cast has no stream";
        return nullptr;
    }
    const bool sized = std::all_of(sources.begin(), sources.end(), [](const StreamSource& source) {
        return source.width > 0 && source.height > 0;
    });
    if (!impl->Start(std::move(remote), sources, error)) return nullptr;
    Impl& s = *impl;
    std::unique_lock lock(s.mutex);
    // A slow start (linking, negotiation) is waited for in full; a stream
    // that has its format and still sends nothing only briefly.
    const auto until = std::chrono::steady_clock::now() + wait.unsized;
    while (s.lost.empty() && !s.AllDelivered()) {
        auto deadline = until;
        if (sized && s.laid_out) deadline = std::min(deadline, s.laid_out_at + wait.sized);
        if (std::chrono::steady_clock::now() >= deadline) break;
        s.changed.wait_until(lock, deadline);
    }
    if (!s.lost.empty()) {
        error = s.lost;
        return nullptr;
    }
    if (!s.AllDelivered() && !(sized && s.laid_out)) {
        error = !s.malformed.empty() ? s.malformed
                                     : "the PipeWire stream delivered no picture within " +
                                           std::to_string(wait.unsized.count() / 1000) + " s";
        return nullptr;
    }
    lock.unlock();
    return std::make_unique<PipeWireCapture>(std::move(impl));
}

int PipeWireCapture::width() const {
    const std::lock_guard lock(impl_->mutex);
    return impl_->desktop.width();
}

int PipeWireCapture::height() const {
    const std::lock_guard lock(impl_->mutex);
    return impl_->desktop.height();
}

bool PipeWireCapture::SizeChanged() const {
    const std::lock_guard lock(impl_->mutex);
    return impl_->size_changed;
}

bool PipeWireCapture::AdoptNewSize() {
    Impl& s = *impl_;
    const std::lock_guard lock(s.mutex);
    if (!s.size_changed || !s.lost.empty()) return false;
    s.LayOut();
    s.size_changed = false;
    // The frames that came at the new size, whole.
    for (const auto& m : s.monitors) {
        if (m->held.empty()) continue;
        GrabbedPixels frame = m->held_frame;
        frame.data = m->held.data();
        s.desktop.Place(m->index, frame, nullptr);
        m->held = {};
    }
    return true;
}

ScreenChanges PipeWireCapture::PeekChanges() const {
    const std::lock_guard lock(impl_->mutex);
    if (!impl_->lost.empty()) return {};
    return impl_->desktop.Peek();
}

bool PipeWireCapture::Lost() const {
    const std::lock_guard lock(impl_->mutex);
    return !impl_->lost.empty();
}

PipeWireCapture::Taken PipeWireCapture::Take(std::uint8_t* out, ScreenChanges& changes,
                                             std::string& error) {
    const std::lock_guard lock(impl_->mutex);
    if (!impl_->lost.empty()) {
        error = impl_->lost;
        return Taken::kLost;
    }
    if (!impl_->AllDelivered()) {
        if (!impl_->malformed.empty()) {
            error = impl_->malformed;
            return Taken::kMalformed;
        }
        error = kNoFirstFrame;
        return Taken::kNoFirstFrame;
    }
    changes = impl_->desktop.Take(out);
    return Taken::kPicture;
}

std::uint64_t PipeWireCapture::frames() const {
    const std::lock_guard lock(impl_->mutex);
    return impl_->frame_count;
}

std::string PipeWireCapture::Describe() const {
    const std::lock_guard lock(impl_->mutex);
    return "PipeWire: " + std::to_string(impl_->monitors.size()) +
           (impl_->monitors.size() == 1 ? " monitor, " : " monitors, ") +
           std::to_string(impl_->desktop.width()) + "x" + std::to_string(impl_->desktop.height());
}

}  // namespace vemo::screen
