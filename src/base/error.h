#pragma once

// One way to say that something failed: a kind the code can branch on, and
// the words for a person, one line that names what failed and why. Each
// layer adds its context in front ("Cannot set output file: PATH: No such
// file or directory"); the faces (the window, the bus, vemoctl) turn it into
// their own form once.

#include <cerrno>
#include <cstring>
#include <expected>
#include <string>
#include <string_view>
#include <utility>

namespace vemo {

enum class ErrorKind {
    kNotFound,      // a file, folder or device that is not there
    kNotAFile,      // a link, FIFO, device or kernel file where a file belongs
    kPermission,    // not allowed
    kNoSpace,       // a full disk, a quota, a file-size limit
    kReadOnly,      // a read-only file system
    kBusy,          // held by another program
    kInvalidValue,  // a value outside what is allowed
    kUnavailable,   // something needed is missing: no display, no camera, a plug-in
    kIo,            // any other failure of the system
};

struct Error {
    ErrorKind kind = ErrorKind::kIo;
    std::string text;

    // The same failure seen from further out: "CONTEXT: TEXT".
    Error Within(std::string_view context) const {
        return {kind, std::string(context) + ": " + text};
    }
};

template <typename T = void>
using Result = std::expected<T, Error>;

inline std::unexpected<Error> Failure(ErrorKind kind, std::string text) {
    return std::unexpected(Error{kind, std::move(text)});
}

// The kind of a system error number.
inline ErrorKind KindOfErrno(int error_number) {
    switch (error_number) {
        case ENOENT:
        case ENOTDIR:
        case ENODEV:
        case ENXIO:
            return ErrorKind::kNotFound;
        case EACCES:
        case EPERM:
            return ErrorKind::kPermission;
        case ENOSPC:
        case EDQUOT:
        case EFBIG:
            return ErrorKind::kNoSpace;
        case EROFS:
            return ErrorKind::kReadOnly;
        case EBUSY:
            return ErrorKind::kBusy;
        case EINVAL:
            return ErrorKind::kInvalidValue;
        default:
            return ErrorKind::kIo;
    }
}

// "WHAT: the system's words for `error_number`".
inline Error SystemError(std::string_view what, int error_number) {
    return {KindOfErrno(error_number), std::string(what) + ": " + std::strerror(error_number)};
}

}  // namespace vemo
