#include "screen/grab_publisher.h"

#include <utility>

#include "imaging/published_files.h"

namespace vemo::screen {

bool GrabPublisher::PublishWholeScreen(const GrabbedPixels& pixels) {
    JpegWriteJob& job = c_.jpeg_job;
    if (IsBgrx(pixels.layout)) {
        // The usual display: the writer codes the grabbed pixels where they
        // are and leaves them untouched.
        job.bits_per_pixel = kBgrxBitsPerPixel;
        job.top_down = true;
        job.row_stride = static_cast<std::uint32_t>(pixels.stride);
        job.pixels = const_cast<std::uint8_t*>(pixels.data);
    } else {
        // The writer turns the rows' colour order in place, so the buffer is
        // filled afresh from the grab every time.
        ConvertToBottomUpBgr(pixels, c_.session.grab_buffer.get(),
                             JpegRowStride(static_cast<std::uint32_t>(pixels.width), 24));
        job.bits_per_pixel = 24;
        job.top_down = false;
        job.row_stride = 0;
        job.pixels = c_.session.grab_buffer.get();
    }
    return PublishJpeg(published::kScreenWholeJpegTemp, published::kScreenWholeJpeg, false);
}

bool GrabPublisher::PublishImode(const GrabbedPixels& pixels) {
    const ScreenGeometry& g = c_.session.geometry;
    MakeSmallPicture(pixels, {0, 0, g.screen_width, g.screen_height});
    if (!PublishJpeg(published::kScreenJpegTemp, published::kScreenJpeg, false) ||
        !PublishGif(published::kScreenJpeg, published::kScreenGifTemp, published::kScreenGif,
                    false) ||
        !Pause()) {
        return false;
    }

    const int d = g.division;
    for (int row = 0; row < d; ++row) {
        for (int column = 0; column < d; ++column) {
            MakeSmallPicture(
                pixels, {column * g.tile_width, row * g.tile_height, g.tile_width, g.tile_height});
            const TileDigits digits = TileDigitsFor(row, column, d, g.rotate);
            const std::string jpeg = published::TileName(digits.first, digits.second, ".jpg");
            const std::string gif = published::TileName(digits.first, digits.second, ".gif");
            if (!PublishJpeg(published::TileTempName(digits.first, digits.second, ".jpg"), jpeg,
                             true) ||
                !PublishGif(jpeg, published::TileTempName(digits.first, digits.second, ".gif"), gif,
                            true) ||
                !Pause()) {
                return false;
            }
        }
    }
    return true;
}

bool GrabPublisher::Fail(std::string message) {
    result_.error = std::move(message);
    return false;
}

bool GrabPublisher::PublishJpeg(const std::string& temp, const std::string& name, bool tile) {
    if (c_.interrupt.raised()) return Interrupted();
    c_.jpeg_job.path = temp;
    if (ImagingResult written = WriteJpegFrame(c_.jpeg_job); !written) {
        return Fail("cannot write " + temp + ": " + written.message);
    }
    return Move(temp, name, tile);
}

bool GrabPublisher::PublishGif(const std::string& jpeg_name, const std::string& temp,
                               const std::string& name, bool tile) {
    if (c_.interrupt.raised()) return Interrupted();
    GifConvertJob& job = c_.gif_job;
    job.input_path = jpeg_name;
    job.output_path = temp;
    job.colors = c_.gif_colors;
    if (ImagingResult converted = ConvertJpegToGif(job); !converted) {
        return Fail("cannot write " + temp + ": " + converted.message);
    }
    return Move(temp, name, tile);
}

bool GrabPublisher::Move(const std::string& temp, const std::string& name, bool tile) {
    // Tiles are not flushed to the disk first: a grab replaces up to 200 tile
    // files, a flush each made a 5 x 5 grab about 40% slower, and a tile lost
    // in a crash is replaced by the next grab anyway.
    const bool moved =
        ReplacePublishedFile(temp, name, tile ? Durability::kUnflushed : Durability::kFlushed);
    if (!moved) return Fail("cannot replace " + name + "; it keeps its previous picture");
    result_.published.push_back(name);
    return true;
}

void GrabPublisher::MakeSmallPicture(const GrabbedPixels& pixels, SourceRect rect) {
    ScreenSession& s = c_.session;
    const ScreenGeometry& g = s.geometry;
    if (!view_) view_ = BgrxView(pixels, s.grab_buffer.get());
    s.scaler.Scale(*view_, rect, g.imode_width, g.imode_height, s.picture_buffer.get(),
                   JpegRowStride(static_cast<std::uint32_t>(g.imode_width), 24));
    if (g.rotate) {
        RotateQuarterClockwise(s.picture_buffer.get(), g.imode_width, g.imode_height,
                               s.rotation_buffer.get());
        c_.jpeg_job.pixels = s.rotation_buffer.get();
    } else {
        c_.jpeg_job.pixels = s.picture_buffer.get();
    }
}

bool GrabPublisher::Pause() {
    if (c_.pause_ms > 0 && !c_.interrupt.Pause(c_.pause_ms)) return Interrupted();
    return true;
}

bool GrabPublisher::Interrupted() {
    result_.interrupted = true;
    return Fail("the grab was cut short by a stop or a start of screen capture");
}

}  // namespace vemo::screen
