#include "imaging/imaging_result.h"

#include <string_view>

#include <cstdio>

#include <jpeglib.h>
// jerror.h after jpeglib.h: it needs the message-code enum's JMESSAGE macro.
#include <jerror.h>

namespace vemo {
namespace {

struct MessageEntry {
    int code;
    std::string_view text;  // may hold one %d for the parameter
};

constexpr MessageEntry kMessages[] = {
    {kErrCantSuspend, "JPEG data ended inside a marker"},
    {kErrFileWrite, "cannot write output (disk full?)"},
    {kErrTooFewComponents, "decoder does not deliver one colour index per pixel"},
    {kErrColorSpace, "unsupported colour space (only colour and greyscale JPEGs convert)"},
    {kErrTooManyColors, "too many colours: %d (a GIF holds at most 256)"},
    {kErrOpenInput, "cannot open input file"},
    {kErrCreateOutput, "cannot create output file"},
    {kErrCloseOutput, "cannot close output file (disk full?)"},
    {kErrBadPixelFormat, "pixel rows must hold 24 bits per pixel"},
    {kErrFrameIncomplete, "the camera frame is incomplete"},
    {kErrReplaceFailed, "cannot move the new picture into place"},
    {kErrTooManyPixels, "picture too large: more pixels than allowed"},
    {JERR_INPUT_EMPTY, "empty input file"},
    {JERR_NO_SOI, "not a JPEG file"},
    {JERR_EMPTY_IMAGE, "empty picture (zero width or height)"},
    {JERR_IMAGE_TOO_BIG, "picture too large (at most %d pixels a side)"},
    {JERR_QUANT_FEW_COLORS, "too few colours: the quantizer needs at least %d"},
    {JERR_QUANT_MANY_COLORS, "too many colours: the quantizer allows at most %d"},
    {JERR_OUT_OF_MEMORY, "out of memory"},
};

}  // namespace

std::string ImagingErrorText(int code, int param) {
    for (const MessageEntry& entry : kMessages) {
        if (entry.code != code) continue;
        std::string text(entry.text);
        if (auto at = text.find("%d"); at != std::string::npos) {
            text.replace(at, 2, std::to_string(param));
        }
        return text;
    }
    return {};
}

ImagingResult ImagingFailure(int code, int param) {
    return {code, ImagingErrorText(code, param)};
}

}  // namespace vemo
