#pragma once

// Every command id the engine acts on, with the menu item that carries it
// (empty for those no menu shows) and what it does. The window's menus take
// their texts from here and `vemoctl command --list` prints it, so the list
// other programs read is the one the engine runs. Ids not listed do nothing.

#include <array>
#include <string_view>

namespace vemo {

struct EngineCommand {
    int first;
    int last;               // the same as first for a single id
    std::string_view menu;  // the menu item's text, as the menu shows it
    std::string_view does;  // for scripts
};

inline constexpr std::array kEngineCommands{
    EngineCommand{4, 4, "ファイル > 閉じる(&X)", "close the engine"},
    EngineCommand{5, 5, "", "choose the capture file in a file dialog"},
    EngineCommand{6, 6, "", "pre-allocate the capture file (Set File Size dialog)"},
    EngineCommand{7, 7, "", "start recording; asks for the go-ahead in the window"},
    EngineCommand{8, 8, "", "stop recording, or cancel a start waiting for its go-ahead"},
    EngineCommand{9, 9, "", "closed captions on or off for recordings"},
    EngineCommand{12, 12, "", "audio capture on or off for recordings"},
    EngineCommand{14, 14, "", "the frame rate dialog"},
    EngineCommand{15, 15, "ファイル > カメラ", "camera publishing on or off"},
    EngineCommand{16, 25, "デバイス > (a camera)", "choose the Nth listed camera, from 16"},
    EngineCommand{26, 35, "", "keep the chosen camera; refresh the marks and status"},
    EngineCommand{36, 36, "ヘルプ > バージョン情報(&A)", "the About box"},
    EngineCommand{37, 37, "", "save a copy of the capture file (file dialog)"},
    EngineCommand{38, 40, "", "master stream none, audio, video (recordings)"},
    EngineCommand{41, 41, "", "the recording time limit dialog"},
    EngineCommand{42, 57, "プロパティ > (a camera page)", "the chosen camera's property pages"},
    EngineCommand{60, 60, "ファイル > スクリーン", "screen publishing on or off"},
    EngineCommand{61, 61, "プロパティ > カメラ プロパティ", "the camera properties dialog"},
    EngineCommand{62, 62, "プロパティ > スクリーン プロパティ", "the screen properties dialog"},
    EngineCommand{63, 63, "ヘルプ > 目次(&C)...", "the manual"},
};

// The menu item's own text: what follows the last "> " of its path.
constexpr std::string_view MenuItemText(int id) {
    for (const EngineCommand& command : kEngineCommands) {
        if (command.first == id && command.last == id) {
            const std::size_t step = command.menu.rfind("> ");
            return step == std::string_view::npos ? command.menu : command.menu.substr(step + 2);
        }
    }
    return {};
}

}  // namespace vemo
