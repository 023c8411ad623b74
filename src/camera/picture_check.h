#pragma once

// What the camera graph judges of a Motion JPEG camera's pictures before
// anything uses them, on the streaming threads.

struct _GstBuffer;
struct _GstPad;

namespace vemo {

// A Motion JPEG camera's picture can be used: whole, and of the format the
// stream on `pad` carries (the size its caps state, 8-bit grey or YCbCr).
// A picture whole in form but not the camera's (a frame header claiming
// 65500 x 65500, a CMYK picture among YCbCr ones) would make the preview's
// decoder renegotiate or fail, and a recording store what no player reads.
bool IsUsablePicture(_GstPad* pad, _GstBuffer* buffer);
// The split marked the picture as one that cannot be used: it is neither
// shown, published nor recorded.
bool IsCorruptedPicture(_GstBuffer* buffer);
// The picture decodes to its last row (imaging/jpeg_decode_check.h); only
// such a picture is published.
bool DecodesWholePicture(_GstBuffer* buffer);

}  // namespace vemo
