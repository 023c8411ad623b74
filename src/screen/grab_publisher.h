#pragma once

// Publishing the pictures of one grab: each picture is scaled, coded and
// renamed into place, or, when the screen pixels it is made from have not
// changed since it was last published, its kept bytes are published again
// the same way. The first failure ends the grab, and so does an interrupt,
// after the file being written. What the grabber knows of the screen's
// changes spares hashing the parts it knows to be untouched.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "imaging/jpeg_to_gif.h"
#include "imaging/jpeg_writer.h"
#include "screen/grab_worker.h"
#include "screen/picture_cache.h"
#include "screen/screen_grabber.h"
#include "screen/screen_session.h"

namespace vemo::screen {

// What one grab works with; all of it outlives the grab.
struct GrabContext {
    ScreenSession& session;
    JpegWriteJob& jpeg_job;
    GifConvertJob& gif_job;
    PictureCache& cache;
    PixelHasher& hasher;
    GrabInterrupt& interrupt;
    std::int32_t gif_colors;
    int pause_ms;
};

class GrabPublisher {
  public:
    GrabPublisher(const GrabContext& context, ScreenGrabResult& result)
        : c_(context), result_(result) {}

    // Whether every picture this session's mode publishes is kept.
    bool KeepsEveryPicture() const;
    // Publishes every kept picture again, in a grab's order and with its
    // pauses, without looking at the screen: for a screen that has not
    // changed since the grab that made them.
    bool RepublishKept();

    // `changes` is what the grabber reported with `pixels`.
    bool PublishWholeScreen(const GrabbedPixels& pixels, const ScreenChanges& changes);
    bool PublishImode(const GrabbedPixels& pixels, const ScreenChanges& changes);

    // Ends the grab with `message` as its error.
    bool Fail(std::string message);

  private:
    struct Names {
        std::string jpeg_temp, jpeg, gif_temp, gif;
    };
    struct Tile {
        SourceRect rect;
        PixelDigest digest;
        Names names;
    };

    // The i-mode picture's names, then each tile's, row by row.
    std::vector<Names> ImodeNames() const;
    // The digest of `area` for the picture published as `name`: the kept one
    // when `changes` shows the area untouched, else hashed afresh.
    PixelDigest DigestOf(const GrabbedPixels& pixels, SourceRect area, const std::string& name,
                         const ScreenChanges& changes);
    // Adds the part of `area` on the screen to the pixels this grab read.
    void CountRead(SourceRect area);
    // Publishes the kept bytes again when they were made from pixels with
    // `digest`; otherwise `make` points the JPEG job at the picture to code.
    bool PublishPicture(const PixelDigest& digest, const Names& names, bool tile,
                        const std::function<void()>& make);
    // Where the tiles changed since the last grab; nullopt when not known.
    std::optional<SourceRect> ChangedArea(const std::vector<Tile>& tiles) const;
    bool PublishJpeg(const std::string& temp, const std::string& name, bool tile,
                     const PixelDigest& digest);
    bool PublishGif(const std::string& jpeg_name, const std::string& temp, const std::string& name,
                    bool tile, const PixelDigest& digest);
    bool Republish(const std::vector<std::uint8_t>& bytes, const std::string& temp,
                   const std::string& name, bool tile);
    bool Move(const std::string& temp, const std::string& name, bool tile);
    void Keep(const std::string& temp, const std::string& name, const PixelDigest& digest);
    void MakeImodePicture(const GrabbedPixels& pixels, const std::optional<SourceRect>& changed);
    void MakeTilePicture(const GrabbedPixels& pixels, SourceRect rect);
    // The screen as BGRX, made once per grab.
    void MakeView(const GrabbedPixels& pixels);
    // Points the JPEG job at `picture`, turned when the session rotates.
    void PointJobAt(std::uint8_t* picture);
    bool Pause();
    bool Interrupted();

    const GrabContext c_;
    ScreenGrabResult& result_;
    std::optional<BgrxImage> view_;  // made when the first picture is scaled
    std::vector<std::uint8_t> bytes_;
};

}  // namespace vemo::screen
