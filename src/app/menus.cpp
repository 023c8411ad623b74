#include "app/menus.h"

#include <QProxyStyle>

#include "base/engine_command_list.h"

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
    auto add = [&](QMenu* menu, int id) {
        const std::string_view text = MenuItemText(id);
        menus.actions[id] = MakeCommandAction(
            menu, id, QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())),
            on_command);
    };

    menus.file = bar->addMenu(QString::fromUtf8("ファイル(&F)"));
    add(menus.file, kCmdCamera);
    add(menus.file, kCmdScreen);
    menus.actions[kCmdCamera]->setCheckable(true);
    menus.actions[kCmdScreen]->setCheckable(true);
    menus.file->addSeparator();
    add(menus.file, kCmdClose);

    // The camera items (16 to 25) are added when the devices are listed.
    menus.devices = bar->addMenu(QString::fromUtf8("デバイス(&D)"));
    menus.devices->addSeparator();

    menus.properties = bar->addMenu(QString::fromUtf8("プロパティ(&P)"));
    add(menus.properties, kCmdCameraProperties);
    menus.properties->addSeparator();
    add(menus.properties, kCmdScreenProperties);
    menus.properties->addSeparator();

    // Help stands at the right end of the bar. It stays in the bar itself,
    // so the arrow keys and Alt+H reach it as they reach the other menus.
    auto* style = new RightAlignedHelpStyle;
    style->setParent(bar);
    bar->setStyle(style);
    bar->addSeparator();
    menus.help = bar->addMenu(QString::fromUtf8("ヘルプ(&H)"));
    add(menus.help, kCmdHelpContents);
    menus.help->addSeparator();
    add(menus.help, kCmdAbout);
    return menus;
}

}  // namespace vemo
