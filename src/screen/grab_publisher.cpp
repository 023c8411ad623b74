#include "screen/grab_publisher.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <utility>

#include "imaging/published_files.h"

namespace vemo::screen {
namespace {

// The smallest rectangle holding both.
SourceRect Union(SourceRect a, SourceRect b) {
    if (a.width <= 0 || a.height <= 0) return b;
    if (b.width <= 0 || b.height <= 0) return a;
    const int left = std::min(a.x, b.x), top = std::min(a.y, b.y);
    const int right = std::max(a.x + a.width, b.x + b.width);
    const int bottom = std::max(a.y + a.height, b.y + b.height);
    return {left, top, right - left, bottom - top};
}

bool Overlaps(SourceRect a, SourceRect b) {
    return a.x < b.x + b.width && b.x < a.x + a.width && a.y < b.y + b.height &&
           b.y < a.y + a.height;
}

// Whether no pixel of `area` is known to have changed.
bool Untouched(SourceRect area, const ScreenChanges& changes) {
    switch (changes.kind) {
        case ScreenChanges::Kind::kNothing:
            return true;
        case ScreenChanges::Kind::kRegions:
            return std::none_of(changes.regions.begin(), changes.regions.end(),
                                [&](SourceRect region) { return Overlaps(area, region); });
        case ScreenChanges::Kind::kUnknown:
            break;
    }
    return false;
}

}  // namespace

bool GrabPublisher::KeepsEveryPicture() const {
    if (c_.session.geometry.whole_screen) {
        return c_.cache.KeptBytes(published::kScreenWholeJpeg) != nullptr;
    }
    const std::vector<Names> pictures = ImodeNames();
    return std::all_of(pictures.begin(), pictures.end(), [&](const Names& names) {
        return c_.cache.KeptBytes(names.jpeg) != nullptr &&
               c_.cache.KeptBytes(names.gif) != nullptr;
    });
}

bool GrabPublisher::RepublishKept() {
    const auto again = [&](const std::string& temp, const std::string& name, bool tile) {
        const std::vector<std::uint8_t>* kept = c_.cache.KeptBytes(name);
        if (kept == nullptr) return Fail("the picture kept for " + name + " is gone");
        return Republish(*kept, temp, name, tile);
    };
    if (c_.session.geometry.whole_screen) {
        return again(published::kScreenWholeJpegTemp, published::kScreenWholeJpeg, false);
    }
    bool tile = false;  // the i-mode picture comes first
    for (const Names& names : ImodeNames()) {
        if (!again(names.jpeg_temp, names.jpeg, tile) || !again(names.gif_temp, names.gif, tile) ||
            !Pause()) {
            return false;
        }
        tile = true;
    }
    return true;
}

bool GrabPublisher::PublishWholeScreen(const GrabbedPixels& pixels, const ScreenChanges& changes) {
    // A changed region may have been changed back (a blinking caret), so
    // only a screen known to be still keeps its digest unhashed.
    const ScreenChanges still_or_unknown =
        changes.kind == ScreenChanges::Kind::kNothing ? changes : ScreenChanges{};
    const PixelDigest digest = DigestOf(pixels, {0, 0, pixels.width, pixels.height},
                                        published::kScreenWholeJpeg, still_or_unknown);
    if (const auto* kept = c_.cache.Find(published::kScreenWholeJpeg, digest)) {
        return Republish(*kept, published::kScreenWholeJpegTemp, published::kScreenWholeJpeg,
                         false);
    }
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
    CountRead({0, 0, pixels.width, pixels.height});
    return PublishJpeg(published::kScreenWholeJpegTemp, published::kScreenWholeJpeg, false, digest);
}

bool GrabPublisher::PublishImode(const GrabbedPixels& pixels, const ScreenChanges& changes) {
    const ScreenGeometry& g = c_.session.geometry;
    const int d = g.division;
    const std::vector<Names> names = ImodeNames();

    // Each tile's digest covers its own rectangle and every pixel its scaling
    // reads, so together they cover the whole screen: the i-mode picture's
    // digest is made of theirs.
    std::vector<Tile> tiles;
    std::vector<PixelDigest> digests;
    for (int row = 0; row < d; ++row) {
        for (int column = 0; column < d; ++column) {
            const SourceRect rect{column * g.tile_width, row * g.tile_height, g.tile_width,
                                  g.tile_height};
            const SourceRect read = PictureScaler::ReadRegion(pixels.width, pixels.height, rect,
                                                              g.imode_width, g.imode_height);
            const Names& tile_names = names[1 + static_cast<std::size_t>(row * d + column)];
            tiles.push_back(
                {rect, DigestOf(pixels, Union(rect, read), tile_names.jpeg, changes), tile_names});
            digests.push_back(tiles.back().digest);
        }
    }

    const auto make_imode = [&] { MakeImodePicture(pixels, ChangedArea(tiles)); };
    if (!PublishPicture(c_.hasher.Combine(digests), names.front(), false, make_imode) || !Pause()) {
        return false;
    }
    for (const Tile& tile : tiles) {
        const auto make_tile = [&] { MakeTilePicture(pixels, tile.rect); };
        if (!PublishPicture(tile.digest, tile.names, true, make_tile) || !Pause()) return false;
    }
    return true;
}

std::vector<GrabPublisher::Names> GrabPublisher::ImodeNames() const {
    const ScreenGeometry& g = c_.session.geometry;
    std::vector<Names> names{{published::kScreenJpegTemp, published::kScreenJpeg,
                              published::kScreenGifTemp, published::kScreenGif}};
    for (int row = 0; row < g.division; ++row) {
        for (int column = 0; column < g.division; ++column) {
            const TileDigits digits = TileDigitsFor(row, column, g.division, g.rotate);
            names.push_back({published::TileTempName(digits.first, digits.second, ".jpg"),
                             published::TileName(digits.first, digits.second, ".jpg"),
                             published::TileTempName(digits.first, digits.second, ".gif"),
                             published::TileName(digits.first, digits.second, ".gif")});
        }
    }
    return names;
}

PixelDigest GrabPublisher::DigestOf(const GrabbedPixels& pixels, SourceRect area,
                                    const std::string& name, const ScreenChanges& changes) {
    // The kept digest is that of the last grab's pixels: the grabber's changes
    // are counted from that grab, and any failure since dropped what was kept.
    if (const PixelDigest* kept = c_.cache.KeptDigest(name);
        kept != nullptr && Untouched(area, changes)) {
        return *kept;
    }
    CountRead(area);
    return c_.hasher.Digest(pixels, area);
}

void GrabPublisher::CountRead(SourceRect area) {
    const ScreenGeometry& g = c_.session.geometry;
    const int x0 = std::max(area.x, 0), y0 = std::max(area.y, 0);
    const int x1 = std::min(area.x + area.width, g.screen_width);
    const int y1 = std::min(area.y + area.height, g.screen_height);
    if (x1 > x0 && y1 > y0) {
        result_.pixels_read += static_cast<std::int64_t>(x1 - x0) * (y1 - y0);
    }
}

std::optional<SourceRect> GrabPublisher::ChangedArea(const std::vector<Tile>& tiles) const {
    // The i-mode picture kept is the last grab's, whose tiles are kept too
    // (a failure drops everything).
    if (c_.cache.KeptDigest(published::kScreenJpeg) == nullptr) return std::nullopt;
    SourceRect changed{};
    for (const Tile& tile : tiles) {
        const PixelDigest* kept = c_.cache.KeptDigest(tile.names.jpeg);
        if (kept == nullptr) return std::nullopt;
        if (!(*kept == tile.digest)) changed = Union(changed, tile.rect);
    }
    return changed;
}

bool GrabPublisher::Fail(std::string message) {
    result_.error = std::move(message);
    return false;
}

bool GrabPublisher::PublishPicture(const PixelDigest& digest, const Names& names, bool tile,
                                   const std::function<void()>& make) {
    const auto* jpeg = c_.cache.Find(names.jpeg, digest);
    const auto* gif = c_.cache.Find(names.gif, digest);
    if (jpeg != nullptr && gif != nullptr) {
        return Republish(*jpeg, names.jpeg_temp, names.jpeg, tile) &&
               Republish(*gif, names.gif_temp, names.gif, tile);
    }
    make();
    return PublishJpeg(names.jpeg_temp, names.jpeg, tile, digest) &&
           PublishGif(names.jpeg, names.gif_temp, names.gif, tile, digest);
}

bool GrabPublisher::PublishJpeg(const std::string& temp, const std::string& name, bool tile,
                                const PixelDigest& digest) {
    if (c_.interrupt.raised()) return Interrupted();
    c_.jpeg_job.path = temp;
    if (ImagingResult written = WriteJpegFrame(c_.jpeg_job); !written) {
        return Fail("cannot write " + temp + ": " + written.message);
    }
    ++result_.coded;
    Keep(temp, name, digest);
    return Move(temp, name, tile);
}

bool GrabPublisher::PublishGif(const std::string& jpeg_name, const std::string& temp,
                               const std::string& name, bool tile, const PixelDigest& digest) {
    if (c_.interrupt.raised()) return Interrupted();
    GifConvertJob& job = c_.gif_job;
    job.input_path = jpeg_name;
    job.output_path = temp;
    job.colors = c_.gif_colors;
    if (ImagingResult converted = ConvertJpegToGif(job); !converted) {
        return Fail("cannot write " + temp + ": " + converted.message);
    }
    ++result_.coded;
    Keep(temp, name, digest);
    return Move(temp, name, tile);
}

bool GrabPublisher::Republish(const std::vector<std::uint8_t>& bytes, const std::string& temp,
                              const std::string& name, bool tile) {
    if (c_.interrupt.raised()) return Interrupted();
    if (ImagingResult written = WriteWholeFile(temp, bytes); !written) {
        return Fail("cannot write " + temp + ": " + written.message);
    }
    ++result_.republished;
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

void GrabPublisher::Keep(const std::string& temp, const std::string& name,
                         const PixelDigest& digest) {
    // Kept before the rename; a failed rename fails the grab, which drops
    // everything kept.
    if (ReadWholeFile(temp, bytes_)) {
        c_.cache.Keep(name, digest, std::move(bytes_));
    } else {
        c_.cache.Forget(name);
    }
}

void GrabPublisher::MakeImodePicture(const GrabbedPixels& pixels,
                                     const std::optional<SourceRect>& changed) {
    ScreenSession& s = c_.session;
    const ScreenGeometry& g = s.geometry;
    MakeView(pixels);
    const SourceRect screen{0, 0, g.screen_width, g.screen_height};
    const std::size_t stride = JpegRowStride(static_cast<std::uint32_t>(g.imode_width), 24);
    // Made again only where the changed tiles are: every output pixel is
    // computed from its own source pixels, so the result is the same.
    if (changed) {
        s.scaler.ScalePart(*view_, screen, g.imode_width, g.imode_height, s.imode_buffer.get(),
                           stride, *changed);
        CountRead(*changed);  // and a fringe of about an output pixel around it
    } else {
        s.scaler.Scale(*view_, screen, g.imode_width, g.imode_height, s.imode_buffer.get(), stride);
        CountRead(screen);
    }
    // The writer turns the colour order of upright rows in place, and the
    // picture must stay as scaled for the next grab to remake it in part:
    // it is coded from a copy (turning one makes a copy anyway).
    if (g.rotate) {
        PointJobAt(s.imode_buffer.get());
    } else {
        std::memcpy(s.picture_buffer.get(), s.imode_buffer.get(),
                    stride * static_cast<std::size_t>(g.imode_height));
        PointJobAt(s.picture_buffer.get());
    }
}

void GrabPublisher::MakeTilePicture(const GrabbedPixels& pixels, SourceRect rect) {
    ScreenSession& s = c_.session;
    const ScreenGeometry& g = s.geometry;
    MakeView(pixels);
    s.scaler.Scale(*view_, rect, g.imode_width, g.imode_height, s.picture_buffer.get(),
                   JpegRowStride(static_cast<std::uint32_t>(g.imode_width), 24));
    CountRead(PictureScaler::ReadRegion(pixels.width, pixels.height, rect, g.imode_width,
                                        g.imode_height));
    PointJobAt(s.picture_buffer.get());
}

void GrabPublisher::MakeView(const GrabbedPixels& pixels) {
    if (view_) return;
    view_ = BgrxView(pixels, c_.session.grab_buffer.get());
    // Any display but a BGRX one has the whole screen converted.
    if (view_->pixels != pixels.data) CountRead({0, 0, pixels.width, pixels.height});
}

void GrabPublisher::PointJobAt(std::uint8_t* picture) {
    ScreenSession& s = c_.session;
    const ScreenGeometry& g = s.geometry;
    if (g.rotate) {
        RotateQuarterClockwise(picture, g.imode_width, g.imode_height, s.rotation_buffer.get());
        c_.jpeg_job.pixels = s.rotation_buffer.get();
    } else {
        c_.jpeg_job.pixels = picture;
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
