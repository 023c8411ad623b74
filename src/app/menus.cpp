#include "app/menus.h"

#include <QProxyStyle>

namespace vemo {
namespace {

// A menu bar style that sets the menus after a separator at the bar's right
// end, as Qt does for styles that draw menu bar separators. Everything else
// is the application's style.
class RightAlignedHelpStyle : public QProxyStyle {
  public:
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returned) const override {
        if (hint == SH_DrawMenuBarSeparator) return 1;
        return QProxyStyle::styleHint(hint, option, widget, returned);
    }
};

}  // namespace

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

    // Help stands at the right end of the bar. It stays in the bar itself,
    // so the arrow keys and Alt+H reach it as they reach the other menus.
    auto* style = new RightAlignedHelpStyle;
    style->setParent(bar);
    bar->setStyle(style);
    bar->addSeparator();
    menus.help = bar->addMenu(QString::fromUtf8("ヘルプ(&H)"));
    add(menus.help, kCmdHelpContents, "目次(&C)...");
    menus.help->addSeparator();
    add(menus.help, kCmdAbout, "バージョン情報(&A)");
    return menus;
}

}  // namespace vemo
