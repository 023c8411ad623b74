#pragma once

// What the screen cast's PipeWire streams ask for (formats, buffers and
// metadata) and how a buffer's picture is read: plain functions over SPA
// types for this library's own files, kept apart from the streams' life cycle.

#include <spa/buffer/buffer.h>
#include <spa/param/video/raw.h>
#include <spa/pod/builder.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "screen/pixel_format.h"
#include "screen/screen_grabber.h"
#include "screen/screen_scaler.h"

namespace vemo::screen {

// More regions than this in one frame are one rectangle around them all.
inline constexpr std::size_t kDamageRegions = 16;
// The largest picture the streams are asked for; a format outside it is not
// one that was agreed.
inline constexpr std::uint32_t kLargestSide = 16384;

// The layout of a four-byte format; false for any other format.
bool LayoutOf(spa_video_format format, PixelLayout& layout);
// The formats a stream takes, the size hinted when known (else 0).
const spa_pod* FormatParam(spa_pod_builder& b, int width_hint, int height_hint);
// The buffers and metadata a stream asks for; returns how many params.
int BufferParams(spa_pod_builder& b, std::array<const spa_pod*, 4>& params);
// The part of `frame` the buffer's crop names, clipped to the frame, and the
// damage moved to it; the frame as it is without a crop.
void ApplyCrop(const spa_buffer* buffer, GrabbedPixels& frame, std::vector<SourceRect>& damage);

}  // namespace vemo::screen
