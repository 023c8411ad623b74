#pragma once

// The screen cast's PipeWire side: one stream per monitor on the connection
// the portal opened, each stream's newest frame placed into one desktop
// picture with the damage the compositor reports. libpipewire stays inside
// the .cpp file; its callbacks run on a thread of its own, which never
// writes the picture a grab hands out.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/unique_fd.h"
#include "screen/portal/desktop_composition.h"
#include "screen/screen_grabber.h"

namespace vemo::screen {

// Where one monitor's stream comes from and where it lies on the desktop.
struct StreamSource {
    std::uint32_t node_id = 0;
    int x = 0;
    int y = 0;
    int width = 0;  // the size expected, or 0
    int height = 0;
};

// How long a start waits for every stream's first frame.
struct FirstFrameWait {
    // At most, from the connection on.
    std::chrono::milliseconds unsized{5000};
    // Once every stream has agreed its format, when every source's size is
    // known. Some compositors send a cast's first frame only when something
    // on the screen changes (wlroots keeps screen-copy damage per client, so
    // a later cast of the same portal process starts without any): such a
    // cast starts at the agreed sizes and delivers its picture when the
    // frame comes.
    std::chrono::milliseconds sized{1000};
};

class PipeWireCapture {
  public:
    // Connects to the PipeWire remote `remote` and opens a stream for each
    // source; returns once every stream has delivered a frame, or, when every
    // source has a size, once the streams have had their formats for
    // `wait.sized`. nullptr with `error` when a stream fails, or when
    // `wait.unsized` passes before that.
    static std::unique_ptr<PipeWireCapture> Open(UniqueFd remote,
                                                 const std::vector<StreamSource>& sources,
                                                 const FirstFrameWait& wait, std::string& error);
    ~PipeWireCapture();
    PipeWireCapture(const PipeWireCapture&) = delete;
    PipeWireCapture& operator=(const PipeWireCapture&) = delete;

    // The desktop's size as the streams agreed it at the start, or at the
    // last AdoptNewSize.
    int width() const;
    int height() const;
    // True once a stream has changed to another size.
    bool SizeChanged() const;
    // Lays the desktop out at the streams' new sizes (width() and height()
    // tell it from now on) with no new connection; false unless SizeChanged.
    bool AdoptNewSize();
    // kUnknown once a stream is lost: no frame coming is then no still screen.
    ScreenChanges PeekChanges() const;
    // A stream went away: no picture comes again.
    bool Lost() const;

    enum class Taken {
        kPicture,
        kNoFirstFrame,  // a stream has not sent its first frame yet
        kMalformed,     // a stream's frames so far could not be read (a stride shorter than a row)
        kLost,          // a stream went away: no picture comes again
    };
    // As DesktopFrames::Take once every stream has sent a frame; else
    // nothing is taken and `error` says why.
    Taken Take(std::uint8_t* out, ScreenChanges& changes, std::string& error);
    // Frames the streams delivered so far.
    std::uint64_t frames() const;
    std::string Describe() const;

    struct Impl;
    explicit PipeWireCapture(std::unique_ptr<Impl> impl);

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace vemo::screen
