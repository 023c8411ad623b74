#include "camera/camera_events.h"

#include <QCoreApplication>

#include <memory>

namespace vemo {

void EventTarget::Set(QObject* target) {
    std::lock_guard lock(mutex_);
    target_ = target;
}

bool EventTarget::Post(QEvent::Type type) const {
    // The lock keeps the receiver alive across the post while the window
    // clears it on the way out.
    std::lock_guard lock(mutex_);
    if (target_ == nullptr) return false;
    // postEvent takes ownership of the event.
    QCoreApplication::postEvent(target_, std::make_unique<QEvent>(type).release());
    return true;
}

}  // namespace vemo
