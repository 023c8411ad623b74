// A PipeWire capture's frames, on the stream thread: each stream's format,
// its newest buffer placed into the desktop picture with its damage, and the
// layout of the desktop at the streams' sizes.

#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "screen/portal/pipewire_capture_impl.h"
#include "screen/portal/pipewire_params.h"

namespace vemo::screen {
namespace {

SourceRect Bounds(SourceRect a, SourceRect b) {
    const SourceRect both[] = {a, b};
    return DesktopBounds(both);
}

}  // namespace

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

}  // namespace vemo::screen
