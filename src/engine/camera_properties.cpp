// The chosen camera's entries in the Properties menu and what they open,
// and the same adjustments for scripts.

#include <algorithm>
#include <charconv>
#include <cmath>

#include "devices/camera_controls_factory.h"
#include "engine/camera_controller.h"
#include "engine/engine_face.h"

namespace vemo {
namespace {

template <typename Number>
std::optional<Number> NumberOf(std::string_view text) {
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

// The value a script gives a control, as the control takes it: a whole
// number within its range, or one of its menu's items by number or label.
// The driver would bring a number outside the range into it without a word;
// the caller is told instead.
EngineAnswer ControlValue(const CameraControl& control, const std::string& text,
                          std::int64_t& value) {
    const std::optional<std::int64_t> number = NumberOf<std::int64_t>(text);
    if (!control.menu.empty()) {
        for (const auto& [index, label] : control.menu) {
            if ((number && *number == index) || (!number && label == text)) {
                value = index;
                return {};
            }
        }
        return EngineAnswer::Refused(control.key +
                                         " takes one of its menu's items, by number or name "
                                         "(vemoctl camera controls lists them), not '" +
                                         text + "'",
                                     EngineAnswer::Refusal::kInvalidValue);
    }
    if (!number || *number < control.minimum || *number > control.maximum) {
        return EngineAnswer::Refused(control.key + " takes a whole number from " +
                                         std::to_string(control.minimum) + " to " +
                                         std::to_string(control.maximum) + ", not '" + text + "'",
                                     EngineAnswer::Refusal::kInvalidValue);
    }
    value = *number;
    return {};
}

// A format as scripts name it: WIDTHxHEIGHT, and @RATE with RATE a decimal
// number or N/D as FormatLine prints it.
struct NamedFormat {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::optional<double> rate;
};

std::optional<NamedFormat> ParseFormat(std::string_view text) {
    const std::size_t x = text.find('x');
    const std::size_t at = text.find('@');
    if (x == std::string_view::npos || (at != std::string_view::npos && at < x)) {
        return std::nullopt;
    }
    NamedFormat format;
    const auto width = NumberOf<std::uint32_t>(text.substr(0, x));
    const auto height =
        NumberOf<std::uint32_t>(text.substr(x + 1, at == std::string_view::npos ? at : at - x - 1));
    if (!width || !height || *width == 0 || *height == 0) return std::nullopt;
    format.width = *width;
    format.height = *height;
    if (at == std::string_view::npos) return format;
    const std::string_view rate = text.substr(at + 1);
    if (const std::size_t slash = rate.find('/'); slash != std::string_view::npos) {
        const auto numerator = NumberOf<std::uint32_t>(rate.substr(0, slash));
        const auto denominator = NumberOf<std::uint32_t>(rate.substr(slash + 1));
        if (!numerator || !denominator || *numerator == 0 || *denominator == 0) {
            return std::nullopt;
        }
        format.rate = static_cast<double>(*numerator) / *denominator;
    } else {
        format.rate = NumberOf<double>(rate);
        if (!format.rate || !(*format.rate > 0)) return std::nullopt;
    }
    return format;
}

// Smaller pictures first, and at one size the slower rates first; a rate
// the driver does not tell counts as the slowest.
bool ListedBefore(const OfferedFormat& a, const OfferedFormat& b) {
    if (a.width != b.width) return a.width < b.width;
    if (a.height != b.height) return a.height < b.height;
    const auto rate = [](const OfferedFormat& format) {
        return format.rate_numerator > 0 && format.rate_denominator > 0
                   ? static_cast<double>(format.rate_numerator) / format.rate_denominator
                   : 0.0;
    };
    if (rate(a) != rate(b)) return rate(a) < rate(b);
    return a.pixel_format < b.pixel_format;
}

std::string ControlLine(const CameraControl& control) {
    std::string line = control.key + "=" + std::to_string(control.value) + " (" +
                       std::to_string(control.minimum) + ".." + std::to_string(control.maximum) +
                       " step " + std::to_string(control.step) + ", default " +
                       std::to_string(control.default_value) + ")";
    if (!control.menu.empty()) {
        line += " [";
        for (std::size_t i = 0; i < control.menu.size(); ++i) {
            if (i > 0) line += ", ";
            line += std::to_string(control.menu[i].first) + " " + control.menu[i].second;
        }
        line += "]";
    }
    if (control.inactive) line += " inactive";
    return line;
}

std::string FormatLine(const OfferedFormat& format) {
    std::string rate = "?";
    if (format.rate_numerator > 0 && format.rate_denominator > 0) {
        rate = format.rate_numerator % format.rate_denominator == 0
                   ? std::to_string(format.rate_numerator / format.rate_denominator)
                   : std::to_string(format.rate_numerator) + "/" +
                         std::to_string(format.rate_denominator);
    }
    return std::to_string(format.width) + "x" + std::to_string(format.height) + "@" + rate + " " +
           format.pixel_format;
}

}  // namespace

std::vector<OfferedFormat> CameraController::Formats() const {
    return current_video_device_ ? DeviceFormats(*current_video_device_)
                                 : std::vector<OfferedFormat>{};
}

void CameraController::BuildPropertyPagesMenu() {
    controls_ = current_video_device_ && graph_.built() ? OpenCameraControls(*current_video_device_)
                                                        : nullptr;
    PropertyOffer offer;
    offer.camera = graph_.built();
    if (controls_) {
        offer.controls = !controls_->Controls().empty();
        const std::vector<CameraInput> inputs = controls_->Inputs();
        offer.several_inputs = inputs.size() > 1;
        offer.tuner = std::any_of(inputs.begin(), inputs.end(),
                                  [](const CameraInput& input) { return input.tuner; });
    }
    offer.several_formats = Formats().size() > 1;
    std::vector<MenuEntry> entries;
    property_entries_ = PlacePropertyEntries(offer, entries);
    host_.SetPropertyPages(std::move(entries));
}

void CameraController::OpenPropertyPage(int id) {
    if (closed_) return;
    const std::optional<PropertyEntry> entry = property_entries_.EntryOf(id);
    if (!entry) return;
    // The dialog keeps the controls it shows: a device change while it is
    // open replaces the controller's, not these.
    const std::shared_ptr<CameraControls> controls = controls_;
    switch (*entry) {
        case PropertyEntry::kVideoCaptureFilter:
            if (controls) host_.face().EditCameraControls(controls, graph_.device_name());
            break;
        case PropertyEntry::kVideoCapturePin: {
            // The preview stops for the dialog and comes back after it, at the
            // format chosen; a recording goes on unless another format is
            // chosen.
            if (state_.camera_on && graph_.previewing() && !recorder_.busy()) HaltPreview();
            const std::vector<OfferedFormat> formats = Formats();
            OfferedFormat current;
            current.width = graph_.frame_width();
            current.height = graph_.frame_height();
            for (const OfferedFormat& format : formats) {
                if (format.width == current.width && format.height == current.height) {
                    current = format;
                    break;
                }
            }
            const std::optional<OfferedFormat> chosen = host_.face().ChooseFormat(formats, current);
            if (chosen && !closed_ && !(*chosen == current)) {
                UseFormat(*chosen);
            } else {
                RebuildPreview();
            }
            break;
        }
        case PropertyEntry::kVideoCrossbar:
            if (controls) host_.face().EditCameraInput(controls);
            break;
        case PropertyEntry::kTvTuner:
            if (controls) host_.face().EditTuner(controls);
            break;
        default:
            break;
    }
    ShowPending();
}

// Opens the camera again at `format`'s size (the window takes the new frame
// size) and rebuilds and restarts the preview when the camera is on.
void CameraController::UseFormat(const OfferedFormat& format) {
    chosen_size_ = FrameSize{format.width, format.height};
    if (format.rate_numerator > 0 && format.rate_denominator > 0) {
        state_.frame_rate = static_cast<double>(format.rate_numerator) / format.rate_denominator;
    }
    EndRecordingBeforeGraphChange();
    if (graph_.previewing()) HaltPreview();
    if (graph_.preview_graph_built() || graph_.capture_graph_built()) DismantleGraph();
    ReleaseCameraFilters();
    BuildCameraFilters();
    RebuildPreview();
}

EngineAnswer CameraController::ControlList(std::vector<CameraControl>& controls) {
    if (!controls_ || closed_) return EngineAnswer::Refused("no camera");
    controls = controls_->Controls();
    return {};
}

EngineAnswer CameraController::ControlsText() {
    std::vector<CameraControl> controls;
    EngineAnswer answer = ControlList(controls);
    for (const CameraControl& control : controls)
        answer.text += ControlLine(control) + "\n";
    return answer;
}

EngineAnswer CameraController::SetControlByName(const std::string& name, const std::string& value) {
    if (!controls_ || closed_) return EngineAnswer::Refused("no camera");
    for (const CameraControl& control : controls_->Controls()) {
        if (control.key != name) continue;
        std::int64_t number = 0;
        if (EngineAnswer refusal = ControlValue(control, value, number); !refusal.ok()) {
            return refusal;
        }
        if (const Result<> set = controls_->SetControl(control.id, number); !set) {
            return EngineAnswer::Refused(name + ": " + set.error().text);
        }
        return {};
    }
    return EngineAnswer::Refused("the camera has no control " + name);
}

EngineAnswer CameraController::FormatList(std::vector<OfferedFormat>& formats) {
    if (!current_video_device_ || closed_) return EngineAnswer::Refused("no camera");
    formats = Formats();
    std::stable_sort(formats.begin(), formats.end(), ListedBefore);
    return {};
}

EngineAnswer CameraController::FormatsText() {
    std::vector<OfferedFormat> formats;
    EngineAnswer answer = FormatList(formats);
    for (const OfferedFormat& format : formats)
        answer.text += FormatLine(format) + "\n";
    return answer;
}

EngineAnswer CameraController::UseFormatNamed(const std::string& text) {
    if (!current_video_device_ || closed_) return EngineAnswer::Refused("no camera");
    const std::optional<NamedFormat> named = ParseFormat(text);
    if (!named) {
        return EngineAnswer::Refused(
            "a format is WIDTHxHEIGHT[@RATE], e.g. 640x480@30, not '" + text + "'",
            EngineAnswer::Refusal::kInvalidValue);
    }
    for (const OfferedFormat& format : Formats()) {
        if (format.width != static_cast<int>(named->width) ||
            format.height != static_cast<int>(named->height)) {
            continue;
        }
        const double offered =
            format.rate_denominator > 0
                ? static_cast<double>(format.rate_numerator) / format.rate_denominator
                : 0;
        if (named->rate && std::fabs(offered - *named->rate) > 0.01) continue;
        UseFormat(format);
        ShowPending();
        return {};
    }
    return EngineAnswer::Refused("the camera does not offer " + text);
}

}  // namespace vemo
