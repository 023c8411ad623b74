#pragma once

// A V4L2 camera's controls, inputs and tuner, asked of its device node by
// raw ioctls. Nothing here holds the node open longer than the object; the
// kernel's own headers stay in the .cpp files (the records are only named).

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/unique_fd.h"
#include "camera/camera_controls.h"

struct v4l2_query_ext_ctrl;
struct v4l2_querymenu;

namespace vemo {

// The name scripts use for a control: the driver's name in lower case,
// every run of other characters than letters and digits one '_', none at
// either end ("White Balance Temperature, Auto" ->
// "white_balance_temperature_auto").
std::string ControlKey(std::string_view name);

// The control `query` describes, with the menu items QUERYMENU answered
// (those it refused left out), its current value and the name of its class;
// nullopt for what is not listed: disabled controls, class headings and
// controls whose value is not a single number (compound types, strings).
std::optional<CameraControl> ControlFromQuery(const v4l2_query_ext_ctrl& query,
                                              const std::vector<v4l2_querymenu>& items,
                                              std::int64_t value, std::string_view class_name);

class V4l2Controls : public CameraControls {
  public:
    // Opens `device_node` (/dev/videoN), or says why it cannot.
    static Result<std::unique_ptr<V4l2Controls>> Open(const std::string& device_node);
    explicit V4l2Controls(UniqueFd fd) : fd_(std::move(fd)) {}

    std::vector<CameraControl> Controls() override;
    Result<> SetControl(std::uint32_t id, std::int64_t value) override;

    std::vector<CameraInput> Inputs() override;
    std::optional<std::uint32_t> CurrentInput() override;
    Result<> SetInput(std::uint32_t index) override;

    std::optional<TunerState> Tuner() override;
    Result<> SetFrequency(std::uint32_t frequency) override;
    Result<> SetStandard(std::uint64_t standard) override;

  private:
    // The ioctl, retried when a signal interrupts it; false with errno set.
    bool Ioctl(unsigned long request, void* argument) const;
    // The tuner index of the current input, when that input is a tuner.
    std::optional<std::uint32_t> CurrentTunerIndex();

    UniqueFd fd_;
};

}  // namespace vemo
