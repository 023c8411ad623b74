#pragma once

// The messages the camera and the device list post to the engine's window,
// from any thread, and the target that carries them there.

#include <QEvent>

#include <mutex>

class QObject;

namespace vemo {

inline constexpr int MSG_FRAME_READY = 0x8001;
inline constexpr int MSG_GRAPH_EVENT = 1025;
// Beyond the two messages of the window procedure: a preview picture is ready
// (the window draws it), and a capture device arrived or went away.
inline constexpr int MSG_PREVIEW_FRAME = 0x8002;
inline constexpr int MSG_DEVICE_CHANGE = 0x0219;

inline constexpr QEvent::Type kFrameReadyEvent =
    static_cast<QEvent::Type>(QEvent::User + MSG_FRAME_READY);
inline constexpr QEvent::Type kGraphEvent =
    static_cast<QEvent::Type>(QEvent::User + MSG_GRAPH_EVENT);
inline constexpr QEvent::Type kPreviewFrameEvent =
    static_cast<QEvent::Type>(QEvent::User + MSG_PREVIEW_FRAME);
inline constexpr QEvent::Type kDeviceChangeEvent =
    static_cast<QEvent::Type>(QEvent::User + MSG_DEVICE_CHANGE);

// Where one object's events go. Each object that posts from its own threads
// owns one; the window sets itself as the target and clears it on the way out.
class EventTarget {
  public:
    // Sets (or, with nullptr, clears) the receiver. A post that runs on
    // another thread at the same time either reaches the old receiver before
    // this returns or is dropped.
    void Set(QObject* target);

    // Posts an event of `type`, like PostMessage; thread-safe. Returns false
    // when there is no receiver.
    bool Post(QEvent::Type type) const;

  private:
    mutable std::mutex mutex_;
    QObject* target_ = nullptr;
};

}  // namespace vemo
