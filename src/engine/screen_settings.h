#pragma once

// The screen's values out of the settings: what a start of screen capture is
// given, by the engine and by vemoctl's one-off grab alike.

#include "screen/screen_session.h"
#include "settings/settings_model.h"

namespace vemo {

inline ScreenSettings ScreenSettingsOf(const Settings& settings) {
    return {settings.Get(SETTING_SCREEN_TIMER),    settings.Get(SETTING_SCREEN_ONE),
            settings.Get(SETTING_IMODE_ROTATE),    settings.Get(SETTING_SCREEN_GIF_COLOR),
            settings.Get(SETTING_SCREEN_DIVISION), settings.Get(SETTING_IMODE_WIDTH),
            settings.Get(SETTING_IMODE_HEIGHT)};
}

}  // namespace vemo
