#include "camera/capture_device.h"

#include <gst/gst.h>

#include <charconv>
#include <filesystem>
#include <string_view>

#include "camera/camera_format.h"

namespace vemo {
namespace {

// The property keys providers use for a device node or a serial, in order.
constexpr const char* kIdentityKeys[] = {"device.path",   "api.v4l2.path", "object.path",
                                         "device.serial", "node.name",     "api.libcamera.id"};

// "WxH" with both positive, else nullopt.
std::optional<FrameSize> ParseFrameSize(std::string_view text) {
    const std::size_t x = text.find('x');
    if (x == std::string_view::npos) return std::nullopt;
    const auto number = [](std::string_view digits, int& value) {
        const auto [end, error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), value);
        return error == std::errc{} && end == digits.data() + digits.size() && value > 0;
    };
    FrameSize size;
    if (!number(text.substr(0, x), size.width) || !number(text.substr(x + 1), size.height)) {
        return std::nullopt;
    }
    return size;
}

}  // namespace

bool EnsureGStreamer(std::string* why) {
    GError* raw = nullptr;
    if (gst_init_check(nullptr, nullptr, &raw)) return true;
    gst::ErrorPtr error{raw};
    if (why != nullptr) *why = error ? error->message : "GStreamer cannot be initialised";
    return false;
}

CaptureDevice DescribeDevice(GstDevice* device) {
    CaptureDevice described;
    described.device = gst::DeviceRef::Share(device);
    if (device == nullptr) return described;
    if (GstObject* provider = gst_object_get_parent(GST_OBJECT(device)); provider != nullptr) {
        described.monitored = true;
        gst_object_unref(provider);
    }
    // GStreamer gives "" for a device without a name.
    if (gst::StringPtr name{gst_device_get_display_name(device)}; name && *name != '\0') {
        described.name = std::string(name.get());
    }
    gst::StructurePtr properties{gst_device_get_properties(device)};
    if (properties) {
        for (const char* key : kIdentityKeys) {
            const char* value = gst_structure_get_string(properties.get(), key);
            if (value != nullptr && *value != '\0') {
                described.identity = value;
                break;
            }
        }
        if (const char* size = gst_structure_get_string(properties.get(), "vemo.preferred-size");
            size != nullptr) {
            described.preferred_size = ParseFrameSize(size);
        }
    }
    if (described.identity.empty()) {
        // Nothing better: the provider's object name, unique while it runs.
        gst::StringPtr object_name{gst_object_get_name(GST_OBJECT(device))};
        described.identity = object_name ? object_name.get() : "";
    }
    return described;
}

std::vector<OfferedFormat> DeviceFormats(const CaptureDevice& device) {
    if (!device.device) return {};
    const gst::CapsPtr caps{gst_device_get_caps(device.device.get())};
    return OfferedFormats(caps.get());
}

bool DevicePresent(const CaptureDevice& device) {
    if (!device.device) return false;
    // A provider unparents the devices it removes.
    if (device.monitored) {
        GstObject* provider = gst_object_get_parent(GST_OBJECT(device.device.get()));
        if (provider == nullptr) return false;
        gst_object_unref(provider);
    }
    if (device.identity.starts_with("/dev/")) {
        std::error_code error;
        return std::filesystem::exists(device.identity, error);
    }
    return true;
}

}  // namespace vemo
