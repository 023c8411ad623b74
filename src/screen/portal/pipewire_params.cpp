#include "screen/portal/pipewire_params.h"

#include <spa/buffer/meta.h>
#include <spa/param/buffers.h>
#include <spa/param/video/format-utils.h>

#include <algorithm>

namespace vemo::screen {
namespace {

// A low rate: a busy screen then costs the compositor little, and a grab
// every second or more needs no more.
constexpr spa_fraction kMaxFramerate{2, 1};

}  // namespace

// The layout of a four-byte format, read as a little-endian value (an
// alpha byte counts as unused).
bool LayoutOf(spa_video_format format, PixelLayout& layout) {
    std::uint32_t red = 0, green = 0, blue = 0;
    switch (format) {
        case SPA_VIDEO_FORMAT_BGRx:
        case SPA_VIDEO_FORMAT_BGRA:
            red = 0xff0000u, green = 0xff00u, blue = 0xffu;
            break;
        case SPA_VIDEO_FORMAT_RGBx:
        case SPA_VIDEO_FORMAT_RGBA:
            red = 0xffu, green = 0xff00u, blue = 0xff0000u;
            break;
        case SPA_VIDEO_FORMAT_xRGB:
        case SPA_VIDEO_FORMAT_ARGB:
            red = 0xff00u, green = 0xff0000u, blue = 0xff000000u;
            break;
        case SPA_VIDEO_FORMAT_xBGR:
        case SPA_VIDEO_FORMAT_ABGR:
            red = 0xff000000u, green = 0xff0000u, blue = 0xff00u;
            break;
        default:
            return false;
    }
    layout = PixelLayout{32, false, red, green, blue};
    return true;
}

// The SPA builder macros are C (statement expressions); kept to these two
// functions.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic"

const spa_pod* FormatParam(spa_pod_builder& b, int width_hint, int height_hint) {
    spa_rectangle preferred{static_cast<std::uint32_t>(std::max(width_hint, 1)),
                            static_cast<std::uint32_t>(std::max(height_hint, 1))};
    spa_rectangle smallest{1, 1};
    spa_rectangle largest{kLargestSide, kLargestSide};
    spa_fraction any_rate{0, 1};
    spa_fraction max_rate = kMaxFramerate;
    spa_fraction lowest{0, 1};
    return static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
        SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
        SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
        SPA_POD_CHOICE_ENUM_Id(9, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx,
                               SPA_VIDEO_FORMAT_BGRA, SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA,
                               SPA_VIDEO_FORMAT_xRGB, SPA_VIDEO_FORMAT_ARGB, SPA_VIDEO_FORMAT_xBGR,
                               SPA_VIDEO_FORMAT_ABGR),
        SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&preferred, &smallest, &largest),
        SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&any_rate), SPA_FORMAT_VIDEO_maxFramerate,
        SPA_POD_CHOICE_RANGE_Fraction(&max_rate, &lowest, &max_rate)));
}

// Shared memory only (no DMA-BUF), and the header, damage and crop metadata.
int BufferParams(spa_pod_builder& b, std::array<const spa_pod*, 4>& params) {
    const int region = static_cast<int>(sizeof(spa_meta_region));
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_dataType,
        SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))));
    params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
        SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size,
        SPA_POD_Int(static_cast<int>(sizeof(spa_meta_header)))));
    params[2] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
        SPA_POD_Id(SPA_META_VideoDamage), SPA_PARAM_META_size,
        SPA_POD_CHOICE_RANGE_Int(region * static_cast<int>(kDamageRegions), region,
                                 region * static_cast<int>(kDamageRegions))));
    // A compositor may send more than the monitor (GNOME does): the crop
    // says which part is the picture.
    params[3] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
        SPA_POD_Id(SPA_META_VideoCrop), SPA_PARAM_META_size, SPA_POD_Int(region)));
    return 4;
}

// The part of `frame` the buffer's crop names, clipped to the frame, and the
// damage moved to it; the frame as it is without a crop.
void ApplyCrop(const spa_buffer* buffer, GrabbedPixels& frame, std::vector<SourceRect>& damage) {
    const auto* crop = static_cast<const spa_meta_region*>(
        spa_buffer_find_meta_data(buffer, SPA_META_VideoCrop, sizeof(spa_meta_region)));
    if (crop == nullptr || !spa_meta_region_is_valid(crop)) return;
    const std::int64_t x = std::clamp<std::int64_t>(crop->region.position.x, 0, frame.width);
    const std::int64_t y = std::clamp<std::int64_t>(crop->region.position.y, 0, frame.height);
    const std::int64_t width = std::min<std::int64_t>(crop->region.size.width, frame.width - x);
    const std::int64_t height = std::min<std::int64_t>(crop->region.size.height, frame.height - y);
    if (width <= 0 || height <= 0) return;
    frame.data +=
        static_cast<std::size_t>(y) * frame.stride +
        static_cast<std::size_t>(x) * static_cast<std::size_t>(frame.layout.bits_per_pixel / 8);
    frame.width = static_cast<int>(width);
    frame.height = static_cast<int>(height);
    for (SourceRect& r : damage) {
        r.x -= static_cast<int>(x);
        r.y -= static_cast<int>(y);
    }
}

#pragma GCC diagnostic pop

}  // namespace vemo::screen
