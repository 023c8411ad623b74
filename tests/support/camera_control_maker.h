#pragma once

// A camera control as a driver would describe it, for tests of the dialogs
// that show controls.

#include <cstdint>

#include "camera/camera_controls.h"

namespace vemo::test {

inline CameraControl MakeControl(std::uint32_t id, const char* name, const char* key,
                                 CameraControl::Kind kind, std::int64_t minimum,
                                 std::int64_t maximum, std::int64_t step,
                                 std::int64_t default_value, std::int64_t value) {
    CameraControl control;
    control.id = id;
    control.name = name;
    control.key = key;
    control.kind = kind;
    control.minimum = minimum;
    control.maximum = maximum;
    control.step = step;
    control.default_value = default_value;
    control.value = value;
    // V4L2's user class (0x0098xxxx) is the "User Controls" page.
    const bool user = (id & 0xffff0000) == 0x00980000;
    control.control_class = id & 0xffff0000;
    control.class_name = user ? "User Controls" : "Camera Controls";
    return control;
}

}  // namespace vemo::test
