#pragma once

// The messages the camera and the device list post to the engine's window,
// from any thread, and where they go. The window registers itself as the
// target at start-up; until then (and after it is gone) nothing is posted.

#include <QEvent>

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

// Sets (or, with nullptr, clears) the object that receives the events. A
// post that runs on another thread at the same time either reaches the old
// target before this returns or is dropped.
void SetEngineEventTarget(QObject* target);
QObject* EngineEventTarget();

// Posts an event of `type` to the target, like PostMessage; thread-safe.
// Returns false when there is no target.
bool PostEngineEvent(QEvent::Type type);

}  // namespace vemo
