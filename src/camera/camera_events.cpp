#include "camera/camera_events.h"

#include <QCoreApplication>

#include <memory>
#include <mutex>

namespace vemo {
namespace {

// Posts happen on streaming threads; the lock keeps the target alive across
// a post while the window clears it on the way out.
std::mutex target_mutex;
QObject* event_target = nullptr;

}  // namespace

void SetEngineEventTarget(QObject* target) {
    std::lock_guard lock(target_mutex);
    event_target = target;
}

QObject* EngineEventTarget() {
    std::lock_guard lock(target_mutex);
    return event_target;
}

bool PostEngineEvent(QEvent::Type type) {
    std::lock_guard lock(target_mutex);
    if (event_target == nullptr) return false;
    // postEvent takes ownership of the event.
    QCoreApplication::postEvent(event_target, std::make_unique<QEvent>(type).release());
    return true;
}

}  // namespace vemo
