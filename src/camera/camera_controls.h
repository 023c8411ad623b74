#pragma once

// What a camera lets the user adjust, as the Properties menu and vemoctl
// present it: its controls (brightness, white balance, exposure, ...), its
// inputs and its tuner. A V4L2 camera answers through ioctls on its device
// node; a test camera answers the same questions about its test pattern.
// Formats are not here: they come from the device's caps (camera_format.h).

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/error.h"

namespace vemo {

struct CameraControl {
    enum class Kind { kInteger, kBoolean, kMenu, kIntegerMenu, kButton };

    std::uint32_t id = 0;  // the V4L2 control id (test cameras use the same ids)
    std::string name;      // as the driver names it: "White Balance Temperature"
    std::string key;       // for scripts: "white_balance_temperature"
    Kind kind = Kind::kInteger;
    std::int64_t minimum = 0;
    std::int64_t maximum = 0;
    std::int64_t step = 1;
    std::int64_t default_value = 0;
    std::int64_t value = 0;
    // Menus: the items the driver names, as (index, label); integer menus
    // label each index with its number.
    std::vector<std::pair<std::int64_t, std::string>> menu;
    std::uint32_t control_class = 0;  // V4L2_CTRL_CLASS_*: the dialog groups by it
    std::string class_name;           // "User Controls", "Camera Controls"
    // Shown but not editable: it follows an automatic control that is on
    // (exposure while auto exposure runs), or another program holds it.
    bool inactive = false;
    bool grabbed = false;
    bool read_only = false;
};

struct CameraInput {
    std::uint32_t index = 0;
    std::string name;
    bool tuner = false;  // the input is a TV tuner
};

struct TunerState {
    std::uint32_t frequency = 0;  // in the tuner's units (62.5 kHz, or 62.5 Hz when fine)
    std::uint32_t minimum = 0;
    std::uint32_t maximum = 0;
    std::vector<std::pair<std::uint64_t, std::string>> standards;  // (v4l2_std_id, name)
    std::uint64_t standard = 0;
};

class CameraControls {
  public:
    virtual ~CameraControls() = default;

    // Every control the camera reports now (values included), disabled ones
    // and class headings left out, in the driver's order.
    virtual std::vector<CameraControl> Controls() = 0;
    // Sets one control; refused with the driver's reason (the control then
    // keeps the driver's value, which Controls() reads again).
    virtual Result<> SetControl(std::uint32_t id, std::int64_t value) = 0;

    virtual std::vector<CameraInput> Inputs() = 0;
    virtual std::optional<std::uint32_t> CurrentInput() = 0;
    virtual Result<> SetInput(std::uint32_t index) = 0;

    // The tuner of the current input, when it has one.
    virtual std::optional<TunerState> Tuner() = 0;
    virtual Result<> SetFrequency(std::uint32_t frequency) = 0;
    virtual Result<> SetStandard(std::uint64_t standard) = 0;
};

}  // namespace vemo
