#include "app/menus.h"

namespace vemo {

QAction* MakeCommandAction(QMenu* menu, int id, const QString& text,
                           const std::function<void(int)>& on_command) {
    QAction* action = menu->addAction(text);
    action->setData(id);
    action->setObjectName(QString::number(id));
    QObject::connect(action, &QAction::triggered, action, [on_command, id] { on_command(id); });
    return action;
}

EngineMenus BuildMenuBar(QMenuBar* bar, const std::function<void(int)>& on_command) {
    EngineMenus menus;
    auto add = [&](QMenu* menu, int id, const char* text) {
        menus.actions[id] = MakeCommandAction(menu, id, QString::fromUtf8(text), on_command);
    };

    menus.file = bar->addMenu(QString::fromUtf8("ファイル(&F)"));
    add(menus.file, kCmdCamera, "カメラ");
    add(menus.file, kCmdScreen, "スクリーン");
    menus.actions[kCmdCamera]->setCheckable(true);
    menus.actions[kCmdScreen]->setCheckable(true);
    menus.file->addSeparator();
    add(menus.file, kCmdClose, "閉じる(&X)");

    // The camera items (16 to 25) are added when the devices are listed.
    menus.devices = bar->addMenu(QString::fromUtf8("デバイス(&D)"));
    menus.devices->addSeparator();

    menus.properties = bar->addMenu(QString::fromUtf8("プロパティ(&P)"));
    add(menus.properties, kCmdCameraProperties, "カメラ プロパティ");
    menus.properties->addSeparator();
    add(menus.properties, kCmdScreenProperties, "スクリーン プロパティ");
    menus.properties->addSeparator();

    menus.help = bar->addMenu(QString::fromUtf8("ヘルプ(&H)"));
    add(menus.help, kCmdHelpContents, "目次(&C)...");
    menus.help->addSeparator();
    add(menus.help, kCmdAbout, "バージョン情報(&A)");
    return menus;
}

}  // namespace vemo
