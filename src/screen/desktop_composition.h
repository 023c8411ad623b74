#pragma once

// One desktop picture out of several monitors' pictures, each placed where
// the desktop has its monitor, as an X server's root window shows them: the
// bounding box of the monitors, black where no monitor is.

#include <cstddef>
#include <cstdint>
#include <span>

#include "screen/pixel_format.h"
#include "screen/screen_scaler.h"

namespace vemo::screen {

// The smallest rectangle holding every monitor at its position (positions may
// be negative). Monitors without area count for nothing; all 0 when none has.
SourceRect DesktopBounds(std::span<const SourceRect> monitors);

// Copies `part` of `frame` (frame coordinates, clipped to the frame) as
// top-down BGRX to (x + part.x, y + part.y) of the desktop picture, clipped
// to the desktop; (x, y) is where the frame's top-left corner goes. Nothing
// else of the desktop is touched, and the fourth byte of a pixel is unused,
// whatever it holds. Frames of any layout pixel_format reads (alpha
// ignored); BGRX frames are copied row by row, cheap enough for every
// damaged rectangle of every frame.
void PlaceFrame(const GrabbedPixels& frame, SourceRect part, int x, int y, std::uint8_t* desktop,
                int desktop_width, int desktop_height, std::size_t desktop_stride);

}  // namespace vemo::screen
