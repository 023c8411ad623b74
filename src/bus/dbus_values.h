#pragma once

// The engine's values as its bus interface sends them: the interface's
// description, the typed camera lists and the properties. QtDBus types stay
// here, out of the service's logic.

#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <vector>

#include "bus/dbus_service.h"
#include "camera/camera_controls.h"
#include "camera/offered_format.h"

namespace vemo {

// The <interface> element of com.lumetra.Vemo.Engine.xml, built into the program.
QString EngineInterfaceXml();
// Once, before any of the values below is sent.
void RegisterEngineDBusTypes();
// a(sssxxxxxba(xs)) and a(suuuu).
QVariant ControlListValue(std::vector<CameraControl> controls);
QVariant FormatListValue(std::vector<OfferedFormat> formats);
// Every property by name, as Properties.GetAll answers them.
QVariantMap PropertyMap(const EngineProperties& properties);

}  // namespace vemo
