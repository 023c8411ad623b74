#pragma once

// The format the camera graph asks of a camera: chosen once from what the
// camera offers when it is opened, and given a frame rate when a preview is
// built. No GStreamer headers here; the caps are owned handles.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "camera/gst_ptr.h"
#include "camera/offered_format.h"

namespace vemo {

struct FrameSize {
    int width = 0;
    int height = 0;
    bool operator==(const FrameSize&) const = default;
};

struct ChosenFormat {
    gst::CapsPtr caps;         // one structure, its size fixed, its rate as offered
    bool decode_jpeg = false;  // Motion JPEG: the graph needs a decoder
    int width = 0;
    int height = 0;
};

// Chooses, from what the camera offers, one format: the `preferred` size
// when it is offered (raw video before Motion JPEG); else raw video where
// offered, else Motion JPEG, of its sizes the one nearest 640 x 480. Returns
// nullopt and says why when nothing offered can be used.
std::optional<ChosenFormat> ChooseFormat(const _GstCaps* offered, std::string& why,
                                         std::optional<FrameSize> preferred = std::nullopt);

struct FormatAtRate {
    gst::CapsPtr caps;
    std::int64_t frame_period_ns = 0;  // 0 when the rate is not known
    FrameRate rate;                    // the same, as the caps state it
    bool applied = true;               // false: the camera offers no rate to choose from
};

// The chosen format at `rate` frames a second (nullopt: the camera's own
// rate). A camera offers a few rates; the nearest one is taken, as a driver
// rounds a frame period it is given. When no rate can be chosen the format
// stays at the camera's own rate and `applied` is false.
FormatAtRate FormatWithRate(const _GstCaps* chosen, std::optional<double> rate);

// Every format `caps` offers, one for each pixel format, size and rate (a
// range of rates gives its highest), in the caps' order without repeats.
std::vector<OfferedFormat> OfferedFormats(const _GstCaps* caps);

}  // namespace vemo
