#pragma once

#include <string>

namespace vemo {

// Error codes of the imaging layer. Codes below 1000 are libjpeg's own message
// codes (jerror.h); the engine's codes start at 1000.
enum ImagingErrorCode : int {
    kImagingOk = 0,

    // libjpeg codes the engine raises itself or meets often.
    kErrCantSuspend = 24,  // a marker handler ran out of data
    kErrFileWrite = 37,    // a write failed (full disk, broken device)

    kErrTooFewComponents = 1012,  // decoder would not deliver one sample per pixel
    kErrColorSpace = 1014,        // JPEG colour space cannot become a GIF
    kErrTooManyColors = 1039,     // a GIF holds at most 256 colours

    kErrOpenInput = 1100,        // the input file cannot be opened
    kErrCreateOutput = 1101,     // the output file cannot be created
    kErrCloseOutput = 1102,      // closing the output file failed
    kErrBadPixelFormat = 1103,   // rows of fewer than 24 bits per pixel, or no pixels
    kErrFrameIncomplete = 1104,  // the frame buffer holds less than the frame size
    kErrReplaceFailed = 1105,    // the new picture could not be moved into place
    kErrTooManyPixels = 1106,    // the picture claims more pixels than the job allows
};

// What an imaging operation reports: code 0 on success, otherwise an
// ImagingErrorCode or a libjpeg message code, with a one-line message.
struct ImagingResult {
    int code = kImagingOk;
    std::string message;

    bool ok() const { return code == kImagingOk; }
    explicit operator bool() const { return ok(); }
};

// The one message table of the imaging layer. `param` fills the "%d" of a
// text that has one. Codes without an entry give an empty string; the libjpeg
// error manager then falls back to libjpeg's own wording.
std::string ImagingErrorText(int code, int param = 0);

ImagingResult ImagingFailure(int code, int param = 0);

}  // namespace vemo
