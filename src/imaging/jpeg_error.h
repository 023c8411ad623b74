#pragma once

// libjpeg reports fatal errors by calling error_exit, which by default prints
// and ends the process. This manager jumps back to RunGuarded instead, so a
// corrupt picture or a full disk becomes an ImagingResult.

#include <csetjmp>
#include <cstdio>
#include <type_traits>

#include <jpeglib.h>

#include "imaging/imaging_result.h"

namespace vemo::detail {

struct JpegErrorManager {
    jpeg_error_mgr pub;  // first: libjpeg hands error_exit a pointer to it
    std::jmp_buf jump;
    int code = 0;
    char text[JMSG_LENGTH_MAX] = {};
    int param = 0;
    // A warning said the data ended before the picture (a checker's note).
    bool cut_short = false;
};

// Prepares `manager`; assign the result to cinfo.err before creating cinfo.
jpeg_error_mgr* InitErrorManager(JpegErrorManager& manager);

// Runs body(context); returns false when libjpeg raised a fatal error in it.
// The body is left by longjmp then, so it must own nothing with a destructor:
// every resource lives in the caller, outside the guarded call.
bool RunGuarded(JpegErrorManager& manager, void (*body)(void*), void* context);

template <typename Body>
bool RunGuarded(JpegErrorManager& manager, Body&& body) {
    using Callable = std::remove_reference_t<Body>;
    return RunGuarded(
        manager, [](void* context) { (*static_cast<Callable*>(context))(); }, &body);
}

// The failure recorded by the last jump.
ImagingResult FailureOf(const JpegErrorManager& manager);

// Raises a fatal error through cinfo's manager, as libjpeg's ERREXIT1 does.
[[noreturn]] void RaiseJpegError(j_common_ptr cinfo, int code, int param = 0);

// RAII owners of libjpeg's codec objects, each with its guarding manager.
struct CompressObject {
    jpeg_compress_struct cinfo{};
    JpegErrorManager errors;

    CompressObject() { cinfo.err = InitErrorManager(errors); }
    ~CompressObject() { jpeg_destroy_compress(&cinfo); }
    CompressObject(const CompressObject&) = delete;
    CompressObject& operator=(const CompressObject&) = delete;
};

struct DecompressObject {
    jpeg_decompress_struct cinfo{};
    JpegErrorManager errors;

    DecompressObject() { cinfo.err = InitErrorManager(errors); }
    ~DecompressObject() { jpeg_destroy_decompress(&cinfo); }
    DecompressObject(const DecompressObject&) = delete;
    DecompressObject& operator=(const DecompressObject&) = delete;
};

}  // namespace vemo::detail
