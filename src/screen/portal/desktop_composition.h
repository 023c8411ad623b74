#pragma once

// One desktop picture out of several monitors' pictures, each placed where
// the desktop has its monitor, as an X server's root window shows them: the
// bounding box of the monitors, black where no monitor is; and the desktop
// picture a screen cast keeps, with what changed in it between two grabs.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "screen/pixel_format.h"
#include "screen/screen_grabber.h"
#include "screen/screen_scaler.h"

namespace vemo::screen {

// The smallest rectangle holding every monitor at its position (positions may
// be negative). Monitors without area count for nothing; all 0 when none has.
SourceRect DesktopBounds(std::span<const SourceRect> monitors);

// Where each monitor's pixels go, when the desktop gives its monitors'
// places in logical units (a desktop with scaling) while each stream sends
// physical pixels. `logical` holds the desktop's rectangles, `physical` the
// streams' sizes (x and y unused); a monitor whose logical size is unknown
// (0) counts as unscaled. Each monitor keeps its own pixels, and a monitor
// that starts where others end in the layout starts where the widest (or
// tallest) of them ends in the picture: monitors that touch in the layout
// touch, none overlaps another it did not overlap, and a gap in the layout
// stays as wide as it was. At scale 1 the result is the layout itself.
std::vector<SourceRect> PhysicalPlaces(std::span<const SourceRect> logical,
                                       std::span<const SourceRect> physical);

// Copies `part` of `frame` (frame coordinates, clipped to the frame) as
// top-down BGRX to (x + part.x, y + part.y) of the desktop picture, clipped
// to the desktop; (x, y) is where the frame's top-left corner goes. Nothing
// else of the desktop is touched, and the fourth byte of a pixel is unused,
// whatever it holds. Frames of any layout pixel_format reads (alpha
// ignored); BGRX frames are copied row by row, cheap enough for every
// damaged rectangle of every frame.
void PlaceFrame(const GrabbedPixels& frame, SourceRect part, int x, int y, std::uint8_t* desktop,
                int desktop_width, int desktop_height, std::size_t desktop_stride);

// The desktop picture the monitors' frames are placed into, and what changed
// in it since it was last taken. Not locked: its owner does that.
// The largest desktop picture a screen cast is composed into: 1 GiB of
// BGRX, sixteen 4K monitors and more.
inline constexpr std::int64_t kMostDesktopPixels = std::int64_t{1} << 28;

class DesktopFrames {
  public:
    // Lays the desktop out: one rectangle per monitor, anywhere; the picture
    // covers their bounding box and is black where no monitor lies. False,
    // and an empty desktop, when the box holds more than kMostDesktopPixels.
    bool LayOut(const std::vector<SourceRect>& monitors);
    int width() const { return width_; }
    int height() const { return height_; }

    // Places a frame of monitor `index`: only the `damage` rectangles (frame
    // coordinates) when given, else the whole frame. A frame larger than the
    // monitor's place is cut to it.
    void Place(std::size_t index, const GrabbedPixels& frame,
               const std::vector<SourceRect>* damage);

    // What changed since the last Take: kUnknown before the first Take or
    // after a frame without damage, kNothing when no frame came.
    ScreenChanges Peek() const;

    // Brings `out` (width * height * 4 bytes of BGRX, holding what the last
    // Take gave) up to date, copying only what changed, and says what that was.
    ScreenChanges Take(std::uint8_t* out);

  private:
    void NoteChange(SourceRect rect);

    std::vector<std::uint8_t> picture_;
    int width_ = 0;
    int height_ = 0;
    std::vector<SourceRect> monitors_;  // desktop coordinates, origin at the top left
    bool taken_ = false;
    bool fresh_ = false;
    bool unknown_ = true;
    std::vector<SourceRect> regions_;
};

}  // namespace vemo::screen
