#include "camera/camera_publish.h"

#include <algorithm>

#include "imaging/published_files.h"
#include "product/shared_status_block.h"

namespace vemo {
namespace {

// Lowers camera_busy on every way out of a publish.
struct CameraBusy {
    ~CameraBusy() { shared_status_block().set_camera_busy(0); }
};

}  // namespace

CameraJobs PrepareCameraJobs(int frame_width, int frame_height, std::uint32_t imode_camera_width,
                             std::uint32_t camera_gif_color) {
    CameraJobs jobs;
    jobs.jpeg.path = published::kCameraJpegTemp;
    jobs.jpeg.quality = 75;
    jobs.jpeg.force_baseline = 0;
    jobs.jpeg.bits_per_pixel = 24;

    jobs.gif.max_width = imode_camera_width;
    // The frame's shape decides the height: 120 wide gives 90 for 4:3.
    if (frame_width > 0 && frame_height > 0) {
        jobs.gif.max_height = static_cast<std::uint32_t>(
            imode_camera_width / (static_cast<double>(frame_width) / frame_height));
    }
    jobs.gif.colors = static_cast<std::int32_t>(camera_gif_color);
    jobs.gif.input_path = published::kCameraJpeg;
    jobs.gif.output_path = published::kCameraGifTemp;
    return jobs;
}

PublishResult PublishCameraFrame(FrameBuffer& buffer, CameraJobs& jobs, std::uint32_t gif_colors) {
    PublishResult result;
    if (!buffer.frame_requested.load()) return result;
    std::unique_lock frame_lock(buffer.mutex);
    if (!buffer.fresh) return result;
    SharedStatusBlock& status = shared_status_block();
    status.set_camera_busy(1);
    if (status.camera_busy() == 0) return result;
    CameraBusy lower_when_done;

    // The frame's own size: the grabber copied it as the camera delivered it.
    jobs.jpeg.width = static_cast<std::uint32_t>(std::max(buffer.width, 0));
    jobs.jpeg.height = static_cast<std::uint32_t>(std::max(buffer.height, 0));
    jobs.jpeg.pixels = buffer.pixels.data();
    jobs.gif.colors = static_cast<std::int32_t>(gif_colors);
    buffer.frame_requested.store(false);
    buffer.fresh = false;

    const std::size_t needed =
        JpegRowStride(jobs.jpeg.width, jobs.jpeg.bits_per_pixel) * jobs.jpeg.height;
    if (needed > buffer.pixels.size()) {
        result.error = ImagingFailure(kErrFrameIncomplete);
        return result;
    }
    result.error = WriteJpegFrame(jobs.jpeg);
    frame_lock.unlock();
    if (!result.error) return result;
    if (!ReplacePublishedFile(published::kCameraJpegTemp, published::kCameraJpeg)) {
        result.error = ImagingFailure(kErrReplaceFailed);
        return result;
    }
    result.error = ConvertJpegToGif(jobs.gif);
    if (!result.error) return result;
    if (!ReplacePublishedFile(published::kCameraGifTemp, published::kCameraGif)) {
        result.error = ImagingFailure(kErrReplaceFailed);
        return result;
    }
    result.published = true;
    return result;
}

}  // namespace vemo
