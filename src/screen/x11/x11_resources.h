#pragma once

// The X resources the X11 grabber holds, each freed by its owner: the
// display connection, images, rectangle lists and the shared-memory segment
// the server writes pictures into. Xlib's headers define None, Bool and
// Status, so this header is for the X11 grabber's own files only.

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstddef>
#include <memory>

#include "base/freer.h"

namespace vemo::screen {

struct DisplayCloser {
    void operator()(Display* display) const { XCloseDisplay(display); }
};
using DisplayPtr = std::unique_ptr<Display, DisplayCloser>;

struct ImageDestroyer {
    // For a shared-memory image this frees the record only; the segment is
    // the SharedSegment's to release.
    void operator()(XImage* image) const { XDestroyImage(image); }
};
using ImagePtr = std::unique_ptr<XImage, ImageDestroyer>;

using RectanglesPtr = std::unique_ptr<XRectangle, Freer<XFree>>;

// A System V shared-memory segment attached here and, once Attach succeeds,
// by the X server.
class SharedSegment {
  public:
    SharedSegment() = default;
    SharedSegment(const SharedSegment&) = delete;
    SharedSegment& operator=(const SharedSegment&) = delete;
    ~SharedSegment() { Release(); }

    bool Create(std::size_t size) {
        info_.shmid = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
        if (info_.shmid < 0) return false;
        void* address = shmat(info_.shmid, nullptr, 0);
        if (address == reinterpret_cast<void*>(-1)) {
            shmctl(info_.shmid, IPC_RMID, nullptr);
            info_.shmid = -1;
            return false;
        }
        info_.shmaddr = static_cast<char*>(address);
        info_.readOnly = False;
        return true;
    }

    // Asks the server to attach; the answer (BadAccess over a remote
    // connection) arrives through the error handler, hence the sync.
    void Attach(Display* display) {
        XShmAttach(display, &info_);
        XSync(display, False);
        display_ = display;
        // Marked for removal now, so the segment disappears with the last
        // process that has it attached, even after a crash.
        shmctl(info_.shmid, IPC_RMID, nullptr);
    }

    // The server's attachment is released with the connection when the
    // server has gone; only a live connection is asked to detach.
    void Release(bool connection_alive = true) {
        if (display_ != nullptr && connection_alive) {
            XShmDetach(display_, &info_);
            XSync(display_, False);
        }
        display_ = nullptr;
        if (info_.shmaddr != nullptr) shmdt(info_.shmaddr);
        if (info_.shmid >= 0) shmctl(info_.shmid, IPC_RMID, nullptr);
        info_ = {};
        info_.shmid = -1;
    }

    XShmSegmentInfo* info() { return &info_; }
    char* address() const { return info_.shmaddr; }

  private:
    XShmSegmentInfo info_{0, -1, nullptr, False};
    Display* display_ = nullptr;
};

}  // namespace vemo::screen
