#include "camera/camera_format.h"

#include <gst/gst.h>

#include <algorithm>
#include <cstdlib>

#include "camera/camera_graph.h"

namespace vemo {
namespace {

// Of the sizes a camera offers, the one nearest to the common webcam size.
constexpr int kPreferredWidth = 640;
constexpr int kPreferredHeight = 480;

bool IsSystemMemory(GstCapsFeatures* features) {
    return features == nullptr ||
           gst_caps_features_is_equal(features, GST_CAPS_FEATURES_MEMORY_SYSTEM_MEMORY);
}

// The size `offer` takes when fixated nearest to `target`; false when it
// cannot be fixed.
bool SizeNearest(const GstStructure* offer, FrameSize target, FrameSize& size) {
    gst::StructurePtr sized{gst_structure_copy(offer)};
    // Fixating a field that is fixed already leaves it (and says false).
    gst_structure_fixate_field_nearest_int(sized.get(), "width", target.width);
    gst_structure_fixate_field_nearest_int(sized.get(), "height", target.height);
    return gst_structure_get_int(sized.get(), "width", &size.width) &&
           gst_structure_get_int(sized.get(), "height", &size.height) && size.width > 0 &&
           size.height > 0;
}

}  // namespace

std::optional<ChosenFormat> ChooseFormat(const GstCaps* offered, std::string& why,
                                         std::optional<FrameSize> preferred) {
    if (offered == nullptr || gst_caps_is_empty(offered) || gst_caps_is_any(offered)) {
        why = "the camera offers no video format";
        return std::nullopt;
    }
    constexpr FrameSize kCommon{kPreferredWidth, kPreferredHeight};
    int best = -1;
    long best_score = 0;
    FrameSize best_size;
    for (guint i = 0; i < gst_caps_get_size(offered); ++i) {
        if (!IsSystemMemory(gst_caps_get_features(offered, i))) continue;
        const GstStructure* offer = gst_caps_get_structure(offered, i);
        const bool raw = gst_structure_has_name(offer, "video/x-raw");
        if (!raw && !gst_structure_has_name(offer, "image/jpeg")) continue;
        FrameSize size;
        long score = 0;
        if (preferred && SizeNearest(offer, *preferred, size) && size == *preferred) {
            // The size the camera asks for beats every other; raw still first.
            score = raw ? -2 : -1;
        } else if (SizeNearest(offer, kCommon, size)) {
            // Raw video needs no decoder, so it comes first whatever its size.
            score = (raw ? 0L : 1'000'000L) + std::labs(size.width - kCommon.width) +
                    std::labs(size.height - kCommon.height);
        } else {
            continue;
        }
        if (best < 0 || score < best_score) {
            best = static_cast<int>(i);
            best_score = score;
            best_size = size;
        }
    }
    if (best < 0) {
        why = "the camera offers neither raw video nor Motion JPEG";
        return std::nullopt;
    }
    const GstStructure* offer = gst_caps_get_structure(offered, static_cast<guint>(best));
    ChosenFormat chosen;
    chosen.decode_jpeg = gst_structure_has_name(offer, "image/jpeg");
    chosen.width = best_size.width;
    chosen.height = best_size.height;
    GstStructure* structure =
        gst_structure_new(gst_structure_get_name(offer), "width", G_TYPE_INT, best_size.width,
                          "height", G_TYPE_INT, best_size.height, nullptr);
    if (gst_structure_get_value(offer, "format") != nullptr) {
        gst::StructurePtr first{gst_structure_copy(offer)};
        gst_structure_fixate_field(first.get(), "format");
        gst_structure_set_value(structure, "format",
                                gst_structure_get_value(first.get(), "format"));
    }
    if (const GValue* rate = gst_structure_get_value(offer, "framerate"); rate != nullptr) {
        gst_structure_set_value(structure, "framerate", rate);
    }
    chosen.caps.reset(gst_caps_new_empty());
    gst_caps_append_structure(chosen.caps.get(), structure);
    if (chosen.decode_jpeg) {
        if (std::string missing = MissingElement({kJpegDecoder}); !missing.empty()) {
            why = NotInstalled(missing);
            return std::nullopt;
        }
    }
    return chosen;
}

FormatAtRate FormatWithRate(const GstCaps* chosen, std::optional<double> rate) {
    FormatAtRate result;
    result.caps.reset(gst_caps_copy(chosen));
    GstStructure* structure = gst_caps_get_structure(result.caps.get(), 0);
    if (rate) {
        int numerator = 0, denominator = 1;
        gst_util_double_to_fraction(*rate, &numerator, &denominator);
        int fixed_numerator = 0, fixed_denominator = 0;
        result.applied = numerator > 0 && gst_structure_has_field(structure, "framerate");
        if (result.applied) {
            gst_structure_fixate_field_nearest_fraction(structure, "framerate", numerator,
                                                        denominator);
            result.applied = gst_structure_get_fraction(structure, "framerate", &fixed_numerator,
                                                        &fixed_denominator) &&
                             fixed_numerator > 0;
        }
        if (!result.applied) {
            result.caps.reset(gst_caps_copy(chosen));
            structure = gst_caps_get_structure(result.caps.get(), 0);
        }
    }
    int numerator = 0, denominator = 0;
    if (gst_structure_get_fraction(structure, "framerate", &numerator, &denominator) &&
        numerator > 0) {
        result.frame_period_ns = static_cast<std::int64_t>(
            gst_util_uint64_scale_int(GST_SECOND, denominator, numerator));
        result.rate = FrameRate{numerator, denominator};
    }
    return result;
}

namespace {

// The values of a caps field: one, or each of a list.
std::vector<const GValue*> Values(const GstStructure* structure, const char* field) {
    std::vector<const GValue*> values;
    const GValue* value = gst_structure_get_value(structure, field);
    if (value == nullptr) return values;
    if (GST_VALUE_HOLDS_LIST(value)) {
        for (guint i = 0; i < gst_value_list_get_size(value); ++i)
            values.push_back(gst_value_list_get_value(value, i));
    } else {
        values.push_back(value);
    }
    return values;
}

}  // namespace

std::vector<OfferedFormat> OfferedFormats(const GstCaps* caps) {
    std::vector<OfferedFormat> formats;
    if (caps == nullptr || gst_caps_is_any(caps)) return formats;
    for (guint i = 0; i < gst_caps_get_size(caps); ++i) {
        const GstStructure* structure = gst_caps_get_structure(caps, i);
        OfferedFormat format;
        if (!gst_structure_get_int(structure, "width", &format.width) ||
            !gst_structure_get_int(structure, "height", &format.height)) {
            continue;  // sizes given as ranges are not a choice to list
        }
        std::vector<std::string> pixel_formats;
        if (gst_structure_has_name(structure, "image/jpeg")) {
            pixel_formats.push_back("MJPG");
        } else if (gst_structure_has_name(structure, "video/x-raw")) {
            for (const GValue* value : Values(structure, "format")) {
                if (G_VALUE_HOLDS_STRING(value)) pixel_formats.push_back(g_value_get_string(value));
            }
        }
        std::vector<std::pair<int, int>> rates;
        for (const GValue* value : Values(structure, "framerate")) {
            if (GST_VALUE_HOLDS_FRACTION(value)) {
                rates.emplace_back(gst_value_get_fraction_numerator(value),
                                   gst_value_get_fraction_denominator(value));
            } else if (GST_VALUE_HOLDS_FRACTION_RANGE(value)) {
                const GValue* top = gst_value_get_fraction_range_max(value);
                rates.emplace_back(gst_value_get_fraction_numerator(top),
                                   gst_value_get_fraction_denominator(top));
            }
        }
        if (rates.empty()) rates.emplace_back(0, 1);
        for (const std::string& pixel_format : pixel_formats) {
            for (const auto& [numerator, denominator] : rates) {
                format.pixel_format = pixel_format;
                format.rate_numerator = numerator;
                format.rate_denominator = denominator;
                if (std::find(formats.begin(), formats.end(), format) == formats.end()) {
                    formats.push_back(format);
                }
            }
        }
    }
    return formats;
}

}  // namespace vemo
