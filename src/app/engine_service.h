#pragma once

// The engine as other programs reach it: the bus service joined before
// start-up can wait on anything, what waits for an answer meanwhile, and,
// once the window exists, its commands, recordings and state.

#include <QPointer>
#include <QString>

#include <optional>
#include <string>
#include <vector>

#include "app/message_box.h"

namespace vemo {

class DBusService;
class MainWindow;

class EngineService {
  public:
    EngineService();
    ~EngineService();
    EngineService(const EngineService&) = delete;
    EngineService& operator=(const EngineService&) = delete;

    // `sink` with each box it shows known as waiting while it is open.
    MessageSink Tracked(MessageSink sink);
    // Start-up waits without a box (no display): what it waits for.
    void SetStartupWait(std::string text);
    // Start-up is done: calls reach `window` from now on.
    void Attach(MainWindow& window);

  private:
    struct Wait {
        std::string title;
        std::string text;
    };
    // The box or dialog that waits for an answer, if one does.
    std::optional<Wait> Waiting() const;
    std::optional<std::string> WaitingRefusal(const char* doing) const;
    void Changed();

    QPointer<DBusService> service_;
    QPointer<MainWindow> window_;
    bool attached_ = false;
    std::vector<Wait> open_boxes_;
    std::string startup_wait_;
};

// Without a display (the offscreen platform) nobody can answer a box or a
// dialog: the engine must never wait on one.
bool Headless();

}  // namespace vemo
