#pragma once

// Publishing the pictures of one grab: each picture is scaled, coded and
// renamed into place. The first failure ends the grab, and so does an
// interrupt, after the file being written.

#include <cstdint>
#include <optional>
#include <string>

#include "imaging/jpeg_to_gif.h"
#include "imaging/jpeg_writer.h"
#include "screen/grab_worker.h"
#include "screen/pixel_format.h"
#include "screen/screen_session.h"

namespace vemo::screen {

// What one grab works with; all of it outlives the grab.
struct GrabContext {
    ScreenSession& session;
    JpegWriteJob& jpeg_job;
    GifConvertJob& gif_job;
    GrabInterrupt& interrupt;
    std::int32_t gif_colors;
    int pause_ms;
};

class GrabPublisher {
  public:
    GrabPublisher(const GrabContext& context, ScreenGrabResult& result)
        : c_(context), result_(result) {}

    bool PublishWholeScreen(const GrabbedPixels& pixels);
    bool PublishImode(const GrabbedPixels& pixels);

    // Ends the grab with `message` as its error.
    bool Fail(std::string message);

  private:
    bool PublishJpeg(const std::string& temp, const std::string& name, bool tile);
    bool PublishGif(const std::string& jpeg_name, const std::string& temp, const std::string& name,
                    bool tile);
    bool Move(const std::string& temp, const std::string& name, bool tile);
    void MakeSmallPicture(const GrabbedPixels& pixels, SourceRect rect);
    bool Pause();
    bool Interrupted();

    const GrabContext c_;
    ScreenGrabResult& result_;
    std::optional<BgrxImage> view_;  // made when the first picture is scaled
};

}  // namespace vemo::screen
