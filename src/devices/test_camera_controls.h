#pragma once

// What a test camera lets the user adjust, answered as a webcam's driver
// answers (the same V4L2 ids, names and ranges): brightness, contrast,
// saturation and hue through a videobalance behind the pattern, a colour
// killer, the pattern itself as a menu, and its inputs. The values belong to
// the camera, not to one element, so a rebuilt pipeline starts as the user
// left it.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "camera/camera_controls.h"
#include "devices/test_cameras.h"

struct _GstElement;
struct _GstPad;

namespace vemo {

class TestCameraControlState : public CameraControls {
  public:
    explicit TestCameraControlState(const TestCameraConfig& config);

    // Bumped by every change of a value. A camera element compares it on its
    // streaming thread before each frame and applies the values when it
    // moved, so nothing is set on a running element from another thread.
    std::uint64_t generation() const { return generation_.load(); }
    // Gives a camera element's pattern source and balance the current values.
    void ApplyTo(_GstElement* pattern, _GstElement* balance);
    // The same for the element whose pattern source puts out on `pad`, on
    // its streaming thread: the balance is found beside it in its bin.
    void ApplyAt(_GstPad* pad);

    std::vector<CameraControl> Controls() override;
    Result<> SetControl(std::uint32_t id, std::int64_t value) override;
    std::vector<CameraInput> Inputs() override;
    std::optional<std::uint32_t> CurrentInput() override;
    Result<> SetInput(std::uint32_t index) override;
    // Test cameras have no tuner.
    std::optional<TunerState> Tuner() override { return std::nullopt; }
    Result<> SetFrequency(std::uint32_t frequency) override;
    Result<> SetStandard(std::uint64_t standard) override;

  private:
    const bool has_controls_;
    const std::uint32_t input_count_;
    std::atomic<std::uint64_t> generation_{0};
    std::mutex mutex_;
    std::map<std::uint32_t, std::int64_t> values_;  // by control id
    std::uint32_t input_ = 0;
};

// A controls object of its own for the caller, over the camera's state.
std::unique_ptr<CameraControls> ShareTestCameraControls(
    std::shared_ptr<TestCameraControlState> state);

}  // namespace vemo
