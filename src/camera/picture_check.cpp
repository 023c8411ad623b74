#include "camera/picture_check.h"

#include <gst/gst.h>

#include "camera/gst_ptr.h"
#include "imaging/jpeg_decode_check.h"
#include "imaging/jpeg_structure.h"

namespace vemo {

bool IsCorruptedPicture(GstBuffer* buffer) {
    return GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_CORRUPTED);
}

bool IsUsablePicture(GstPad* pad, GstBuffer* buffer) {
    GstMapInfo map;
    if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) return false;
    const JpegLayout layout = ReadJpegLayout({map.data, map.size});
    gst_buffer_unmap(buffer, &map);
    if (!layout.whole) return false;
    const JpegFrame& frame = *layout.frame;
    if (frame.colour != JpegColour::kYCbCr && frame.colour != JpegColour::kGrey) return false;
    const gst::CapsPtr caps{gst_pad_get_current_caps(pad)};
    if (!caps || gst_caps_get_size(caps.get()) == 0) return true;
    const GstStructure* format = gst_caps_get_structure(caps.get(), 0);
    int width = 0;
    int height = 0;
    if (gst_structure_get_int(format, "width", &width) && width != frame.width) return false;
    return !gst_structure_get_int(format, "height", &height) || height == frame.height;
}

bool DecodesWholePicture(GstBuffer* buffer) {
    GstMapInfo map;
    if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) return false;
    const bool whole = DecodesToTheEnd({map.data, map.size});
    gst_buffer_unmap(buffer, &map);
    return whole;
}

}  // namespace vemo
