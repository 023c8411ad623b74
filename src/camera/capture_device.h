#pragma once

// A video capture device as the engine knows it: GStreamer's device object,
// a stable identity and the name shown in the Devices menu.

#include <optional>
#include <string>
#include <vector>

#include "camera/camera_format.h"
#include "camera/gst_ptr.h"
#include "camera/offered_format.h"

namespace vemo {

struct CaptureDevice {
    gst::DeviceRef device;
    // What stays the same for one device while it is plugged in, whatever
    // its position in the list: its device node (/dev/video0), else its
    // serial, else what its provider names it by.
    std::string identity;
    // The display name; nullopt when the device gives none (or an empty one).
    std::optional<std::string> name;
    // The device came from a running monitor: its provider owns it until the
    // device goes away. Devices found by a one-off probe have no owner.
    bool monitored = false;
    // The size the device asks to be opened at (its "vemo.preferred-size"
    // property, "WxH"), when it names one: test cameras name their own size,
    // which the nearest-to-640x480 rule would otherwise pass over.
    std::optional<FrameSize> preferred_size;
};

// Initialises GStreamer once; on failure `why` says why.
bool EnsureGStreamer(std::string* why = nullptr);

// Describes `device`, keeping a reference of its own.
CaptureDevice DescribeDevice(_GstDevice* device);

// The formats the device offers (its caps), as the user picks them.
std::vector<OfferedFormat> DeviceFormats(const CaptureDevice& device);

// Whether the device is still there: its provider has not removed it and,
// for a device node, the node still exists.
bool DevicePresent(const CaptureDevice& device);

}  // namespace vemo
