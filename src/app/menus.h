#pragma once

// Menu 1000 of the main window: the four top-level menus with their command
// ids. Every action carries its id as data and as object name.

#include <QMenuBar>

#include <functional>
#include <map>

#include "engine/command_ids.h"

namespace vemo {

struct EngineMenus {
    QMenu* file = nullptr;
    QMenu* devices = nullptr;
    QMenu* properties = nullptr;
    QMenu* help = nullptr;
    std::map<int, QAction*> actions;  // the fixed items, by command id
};

// Fills `bar` with the engine's menus; choosing an item calls on_command(id).
EngineMenus BuildMenuBar(QMenuBar* bar, const std::function<void(int)>& on_command);

// An action for a command id, as every menu item of the engine is made.
QAction* MakeCommandAction(QMenu* menu, int id, const QString& text,
                           const std::function<void(int)>& on_command);

}  // namespace vemo
