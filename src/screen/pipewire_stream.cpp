#include "screen/pipewire_stream.h"

#include "screen/desktop_composition.h"
#include "screen/pipewire_params.h"

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

#include "base/freer.h"

namespace vemo::screen {
namespace {

constexpr const char* kNoFirstFrame =
    "the screen cast has not sent its first picture yet: the compositor sends one once the "
    "screen changes";

SourceRect Bounds(SourceRect a, SourceRect b) {
    const SourceRect both[] = {a, b};
    return DesktopBounds(both);
}

}  // namespace

namespace {

using ThreadLoopPtr = std::unique_ptr<pw_thread_loop, Freer<pw_thread_loop_destroy>>;
using ContextPtr = std::unique_ptr<pw_context, Freer<pw_context_destroy>>;
using CorePtr = std::unique_ptr<pw_core, Freer<pw_core_disconnect>>;
using StreamPtr = std::unique_ptr<pw_stream, Freer<pw_stream_destroy>>;
struct RegistryFreer {
    void operator()(pw_registry* registry) const {
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry));
    }
};
using RegistryPtr = std::unique_ptr<pw_registry, RegistryFreer>;

void InitPipeWire() {
    static std::once_flag done;
    std::call_once(done, [] { pw_init(nullptr, nullptr); });
}

}  // namespace

struct PipeWireCapture::Impl {
    struct Monitor {
        Impl* owner = nullptr;
        std::size_t index = 0;
        StreamSource source;
        spa_hook listener{};
        StreamPtr stream;  // after the hook, which it unhooks on the way out
        // Stream thread only.
        PixelLayout layout;
        int width = 0;
        int height = 0;
        bool whole_next = true;  // a frame was missed: the next is copied whole
        std::vector<SourceRect> damage;
        // Under the mutex.
        bool negotiated = false;
        int format_width = 0;  // the size negotiated last
        int format_height = 0;
        int laid_width = 0;  // the size the desktop was laid out with
        int laid_height = 0;
        bool delivered = false;
        // The newest frame of a new size, kept whole until the desktop is
        // laid out at it: a still screen sends no other.
        std::vector<std::uint8_t> held;
        GrabbedPixels held_frame;
    };

    ~Impl() {
        // Callbacks end with the loop's thread; then the objects go, streams
        // first.
        if (loop) pw_thread_loop_stop(loop.get());
        for (const auto& m : monitors)
            m->stream.reset();
        monitors.clear();
        registry.reset();
        core.reset();
        context.reset();
        loop.reset();
    }

    bool Start(UniqueFd remote, const std::vector<StreamSource>& sources, std::string& error);
    void LayOut();
    void NoteLost(std::string reason);
    void OnFormat(Monitor& m, const spa_pod* param);
    void OnProcess(Monitor& m);
    void Hold(Monitor& m, const GrabbedPixels& frame);
    bool AllDelivered() const;

    ThreadLoopPtr loop;
    ContextPtr context;
    spa_hook core_listener{};
    CorePtr core;
    spa_hook registry_listener{};
    RegistryPtr registry;
    std::vector<std::unique_ptr<Monitor>> monitors;

    mutable std::mutex mutex;
    std::condition_variable changed;
    DesktopFrames desktop;
    bool laid_out = false;
    std::chrono::steady_clock::time_point laid_out_at;
    bool size_changed = false;
    std::string lost;
    std::string malformed;  // why the last frame that could not be read was dropped
    std::uint64_t frame_count = 0;
};

void PipeWireCapture::Impl::NoteLost(std::string reason) {
    {
        const std::lock_guard lock(mutex);
        if (!lost.empty()) return;
        lost = std::move(reason);
    }
    changed.notify_all();
}

// Under the mutex, once every stream has its format: the desktop at the
// streams' sizes.
void PipeWireCapture::Impl::LayOut() {
    // The desktop may place its monitors in logical units while each stream
    // sends physical pixels: every monitor keeps its pixels.
    std::vector<SourceRect> layout;
    std::vector<SourceRect> sizes;
    for (const auto& m : monitors) {
        m->laid_width = m->format_width;
        m->laid_height = m->format_height;
        layout.push_back({m->source.x, m->source.y, m->source.width, m->source.height});
        sizes.push_back({0, 0, m->laid_width, m->laid_height});
    }
    if (!desktop.LayOut(PhysicalPlaces(layout, sizes)) && lost.empty()) {
        lost = "the screen cast's monitors span more than " +
               std::to_string(kMostDesktopPixels / 1000000) +
               " million pixels, more than the screen capture takes";
    }
    laid_out = true;
    laid_out_at = std::chrono::steady_clock::now();
}

void PipeWireCapture::Impl::OnFormat(Monitor& m, const spa_pod* param) {
    std::uint32_t media_type = 0;
    std::uint32_t media_subtype = 0;
    spa_video_info_raw info{};
    if (spa_format_parse(param, &media_type, &media_subtype) < 0 ||
        media_type != SPA_MEDIA_TYPE_video || media_subtype != SPA_MEDIA_SUBTYPE_raw ||
        spa_format_video_raw_parse(param, &info) < 0 || !LayoutOf(info.format, m.layout)) {
        NoteLost("the PipeWire stream offers no picture format the screen capture reads");
        return;
    }
    if (info.size.width < 1 || info.size.width > kLargestSide || info.size.height < 1 ||
        info.size.height > kLargestSide) {
        NoteLost("the PipeWire stream sends pictures of " + std::to_string(info.size.width) + "x" +
                 std::to_string(info.size.height) + ", outside the sizes asked for");
        return;
    }
    m.width = static_cast<int>(info.size.width);
    m.height = static_cast<int>(info.size.height);
    m.whole_next = true;
    {
        const std::lock_guard lock(mutex);
        m.negotiated = true;
        m.format_width = m.width;
        m.format_height = m.height;
        if (!laid_out) {
            const bool all = std::all_of(monitors.begin(), monitors.end(),
                                         [](const auto& other) { return other->negotiated; });
            if (all) LayOut();
        } else if (m.width != m.laid_width || m.height != m.laid_height) {
            size_changed = true;
        }
    }
    // A start may be waiting for the formats.
    changed.notify_all();
    std::array<std::uint8_t, 1024> buffer{};
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer.data(), buffer.size());
    std::array<const spa_pod*, 4> params{};
    const int count = BufferParams(b, params);
    pw_stream_update_params(m.stream.get(), params.data(), static_cast<std::uint32_t>(count));
}

void PipeWireCapture::Impl::OnProcess(Monitor& m) {
    // The newest buffer is placed; older ones go straight back, their damage
    // kept. PipeWire's buffers are never held past this callback.
    pw_buffer* newest = nullptr;
    bool damage_known = !m.whole_next;
    m.damage.clear();
    while (pw_buffer* next = pw_stream_dequeue_buffer(m.stream.get())) {
        spa_buffer* buffer = next->buffer;
        const auto* header = static_cast<const spa_meta_header*>(
            spa_buffer_find_meta_data(buffer, SPA_META_Header, sizeof(spa_meta_header)));
        const bool corrupted =
            buffer->n_datas < 1 || buffer->datas[0].data == nullptr ||
            buffer->datas[0].chunk->size == 0 ||
            (buffer->datas[0].chunk->flags & SPA_CHUNK_FLAG_CORRUPTED) != 0 ||
            (header != nullptr && (header->flags & SPA_META_HEADER_FLAG_CORRUPTED) != 0);
        if (corrupted) {
            // What changed in it is lost with it.
            damage_known = false;
            pw_stream_queue_buffer(m.stream.get(), next);
            continue;
        }
        if (newest != nullptr) pw_stream_queue_buffer(m.stream.get(), newest);
        newest = next;
        const spa_meta* meta = spa_buffer_find_meta(buffer, SPA_META_VideoDamage);
        std::size_t valid = 0;
        if (meta != nullptr && damage_known) {
            const auto* regions = static_cast<const spa_meta_region*>(meta->data);
            const std::size_t count = meta->size / sizeof(spa_meta_region);
            for (; valid < count && spa_meta_region_is_valid(&regions[valid]); ++valid) {
                const spa_region& r = regions[valid].region;
                m.damage.push_back({r.position.x, r.position.y, static_cast<int>(r.size.width),
                                    static_cast<int>(r.size.height)});
            }
        }
        if (valid == 0) damage_known = false;
    }
    if (newest == nullptr) {
        if (!damage_known) m.whole_next = true;
        return;
    }

    const spa_data& data = newest->buffer->datas[0];
    const spa_chunk& chunk = *data.chunk;
    GrabbedPixels frame;
    frame.layout = m.layout;
    frame.width = m.width;
    frame.stride = chunk.stride > 0 ? static_cast<std::size_t>(chunk.stride)
                                    : static_cast<std::size_t>(m.width) * 4;
    const std::size_t offset = data.maxsize > 0 ? chunk.offset % data.maxsize : 0;
    frame.data = static_cast<const std::uint8_t*>(data.data) + offset;
    // Never past the end of the memory the buffer has.
    const std::size_t row_bytes = static_cast<std::size_t>(m.width) * 4;
    const std::size_t available = data.maxsize - offset;
    frame.height = m.height;
    std::string malformed_why;
    if (row_bytes > frame.stride) {
        malformed_why = "its rows are " + std::to_string(frame.stride) +
                        " bytes apart, less than the " + std::to_string(row_bytes) +
                        " bytes of a row";
    } else if (available < row_bytes) {
        malformed_why = "its memory holds less than a row";
    }
    if (!malformed_why.empty()) {
        frame.height = 0;
    } else {
        frame.height =
            std::min<int>(m.height, static_cast<int>((available - row_bytes) / frame.stride + 1));
    }
    if (frame.height > 0) ApplyCrop(newest->buffer, frame, m.damage);
    bool placed = false;
    {
        const std::lock_guard lock(mutex);
        if (laid_out && frame.height > 0 &&
            (m.format_width != m.laid_width || m.format_height != m.laid_height)) {
            Hold(m, frame);
            placed = true;
        } else if (laid_out && frame.height > 0) {
            if (damage_known && m.damage.size() > kDamageRegions) {
                SourceRect all;
                for (const SourceRect& r : m.damage)
                    all = Bounds(all, r);
                m.damage.assign(1, all);
            }
            desktop.Place(m.index, frame, damage_known ? &m.damage : nullptr);
            malformed.clear();
            placed = true;
            ++frame_count;
            m.delivered = true;
        }
        // Dropped, and said instead of waiting for a first picture.
        if (!malformed_why.empty())
            malformed = "the screen cast sent a malformed picture: " + malformed_why;
    }
    m.whole_next = !placed;
    pw_stream_queue_buffer(m.stream.get(), newest);
    if (placed) changed.notify_all();
}

void PipeWireCapture::Impl::Hold(Monitor& m, const GrabbedPixels& frame) {
    const std::size_t row = static_cast<std::size_t>(frame.width) *
                            static_cast<std::size_t>(frame.layout.bits_per_pixel / 8);
    m.held.resize(row * static_cast<std::size_t>(frame.height));
    for (int y = 0; y < frame.height; ++y) {
        std::memcpy(m.held.data() + row * static_cast<std::size_t>(y),
                    frame.data + frame.stride * static_cast<std::size_t>(y), row);
    }
    m.held_frame = frame;
    m.held_frame.stride = row;
}

bool PipeWireCapture::Impl::AllDelivered() const {
    return std::all_of(monitors.begin(), monitors.end(),
                       [](const auto& m) { return m->delivered; });
}

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
