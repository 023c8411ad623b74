#pragma once

// The elements behind the test cameras that are more than a pattern:
//
// - the replay source sends a replay file's pictures (test_camera_replay.h)
//   in a loop, as a live source: picture n is stamped with the pipeline's
//   running time at the first picture plus n frame periods, and pushed when
//   the clock reaches that time, the bytes as the file holds them, in
//   image/jpeg caps with the file's size and rate;
// - the webcam-like camera offers a USB webcam's modes (WebcamCaps) and
//   makes the one the element downstream asks for when it starts: a live
//   pattern in YUY2, or the pattern coded by jpegenc for a Motion JPEG mode.

#include <functional>
#include <memory>

#include "camera/gst_ptr.h"
#include "devices/test_camera_replay.h"

namespace vemo {

// image/jpeg at the file's size and rate.
gst::CapsPtr ReplayCaps(const ReplayFile& file);
gst::ElementRef MakeReplaySource(std::shared_ptr<const ReplayFile> file, const char* name);

// YUY2 320x240 and 640x480 at 30 and 15 frames a second; Motion JPEG
// 1280x720 and 1920x1080 at 30.
gst::CapsPtr WebcamCaps();
// `built` is called with the pattern source and its balance each time the
// camera builds its insides, before they run.
using WebcamBuilt = std::function<void(_GstElement* pattern, _GstElement* balance)>;
gst::ElementRef MakeWebcam(const char* name, WebcamBuilt built);

}  // namespace vemo
