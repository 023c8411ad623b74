#pragma once

// What a PipeWire capture holds: its loop, connection and one stream per
// monitor, and the desktop picture the stream thread places frames into.
// For the capture's own files: the life cycle (pipewire_stream.cpp) and the
// frames (pipewire_frames.cpp).

#include <pipewire/pipewire.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/freer.h"
#include "screen/portal/desktop_composition.h"
#include "screen/portal/pipewire_stream.h"

namespace vemo::screen {

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

}  // namespace vemo::screen
