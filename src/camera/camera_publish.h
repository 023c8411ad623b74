#pragma once

// Publishing one requested camera frame as vemo/vemo.jpg and vemo/vemo.gif.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "imaging/imaging_result.h"
#include "imaging/jpeg_to_gif.h"
#include "imaging/jpeg_writer.h"

namespace vemo {

// The latest grabbed camera frame: bottom-up blue-green-red rows, each padded
// to a multiple of 4 bytes, of width x height pixels as the camera delivered
// it. The grabber sizes the pixels for each frame, so a large frame is kept
// whole. Whoever writes or reads any field but frame_requested holds the
// mutex, so a frame is never coded while the grabber is still copying it.
struct FrameBuffer {
    // Set by timer 1 and the preview start on the window's thread, read by the
    // streaming thread: the next frame is to be copied and published.
    std::atomic<bool> frame_requested{false};
    std::mutex mutex;
    std::vector<std::uint8_t> pixels;
    int width = 0;
    int height = 0;
    // A frame was copied since the last publish. A frame message that comes
    // late (queued before the last publish, handled after a new request) finds
    // it clear and waits for the frame the new request gets.
    bool fresh = false;
};

// The two long-lived camera jobs, prepared at every preview start.
struct CameraJobs {
    JpegWriteJob jpeg{};
    GifConvertJob gif{};
};

// The camera jobs for frames of the given size: the GIF's largest width is
// `imode_camera_width`, its largest height follows the frame's shape.
CameraJobs PrepareCameraJobs(int frame_width, int frame_height, std::uint32_t imode_camera_width,
                             std::uint32_t camera_gif_color);

struct PublishResult {
    bool published = false;  // both files were replaced
    ImagingResult error;     // why not, when a request was pending but failed
};

// Publishes the frame in `buffer` when one was requested and a fresh frame is
// there (otherwise nothing changes, the request included): raises
// camera_busy, clears the request, writes vemo/tmp.jpg and moves it over
// vemo/vemo.jpg, converts that into vemo/tmp.gif with `gif_colors` colours and
// moves it over vemo/vemo.gif, lowers camera_busy. A failed step publishes
// nothing more and leaves the previous pictures in place.
PublishResult PublishCameraFrame(FrameBuffer& buffer, CameraJobs& jobs, std::uint32_t gif_colors);

}  // namespace vemo
