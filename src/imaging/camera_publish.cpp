#include "imaging/camera_publish.h"

#include <algorithm>

#include "imaging/engine_state.h"
#include "imaging/published_files.h"
#include "product/shared_status_block.h"

namespace vemo {

FrameBuffer frame_buffer;
JpegWriteJob camera_jpeg_job;
GifConvertJob camera_gif_job;

namespace {

// Lowers camera_busy on every way out of a publish.
struct CameraBusy {
    ~CameraBusy() { shared_status_block().set_camera_busy(0); }
};

}  // namespace

void PrepareCameraJobs(int frame_width, int frame_height, std::uint32_t imode_camera_width,
                       std::uint32_t camera_gif_color) {
    camera_jpeg_job = JpegWriteJob{};
    camera_jpeg_job.path = published::kCameraJpegTemp;
    camera_jpeg_job.quality = 75;
    camera_jpeg_job.force_baseline = 0;
    camera_jpeg_job.bits_per_pixel = 24;

    camera_gif_job = GifConvertJob{};
    camera_gif_job.max_width = imode_camera_width;
    // The frame's shape decides the height: 120 wide gives 90 for 4:3.
    if (frame_width > 0 && frame_height > 0) {
        camera_gif_job.max_height = static_cast<std::uint32_t>(
            imode_camera_width / (static_cast<double>(frame_width) / frame_height));
    }
    camera_gif_job.colors = static_cast<std::int32_t>(camera_gif_color);
    camera_gif_job.input_path = published::kCameraJpeg;
    camera_gif_job.output_path = published::kCameraGifTemp;
}

PublishResult PublishCameraFrame() {
    PublishResult result;
    if (engine_state.frame_requested.load() == 0) return result;
    std::unique_lock frame_lock(frame_buffer.mutex);
    if (!frame_buffer.fresh) return result;
    SharedStatusBlock& status = shared_status_block();
    status.set_camera_busy(1);
    if (status.camera_busy() == 0) return result;
    CameraBusy lower_when_done;

    // The frame's own size: the grabber copied it as the camera delivered it.
    camera_jpeg_job.width = static_cast<std::uint32_t>(std::max(frame_buffer.width, 0));
    camera_jpeg_job.height = static_cast<std::uint32_t>(std::max(frame_buffer.height, 0));
    camera_jpeg_job.pixels = frame_buffer.pixels.data();
    camera_gif_job.colors = static_cast<std::int32_t>(engine_state.camera_gif_color);
    engine_state.frame_requested.store(0);
    frame_buffer.fresh = false;

    const std::size_t needed =
        JpegRowStride(camera_jpeg_job.width, camera_jpeg_job.bits_per_pixel) *
        camera_jpeg_job.height;
    if (needed > frame_buffer.pixels.size()) {
        result.error = ImagingFailure(kErrFrameIncomplete);
        return result;
    }
    result.error = WriteJpegFrame(camera_jpeg_job);
    frame_lock.unlock();
    if (!result.error) return result;
    if (!ReplacePublishedFile(published::kCameraJpegTemp, published::kCameraJpeg)) {
        result.error = ImagingFailure(kErrReplaceFailed);
        return result;
    }
    result.error = ConvertJpegToGif(camera_gif_job);
    if (!result.error) return result;
    if (!ReplacePublishedFile(published::kCameraGifTemp, published::kCameraGif)) {
        result.error = ImagingFailure(kErrReplaceFailed);
        return result;
    }
    result.published = true;
    return result;
}

}  // namespace vemo
