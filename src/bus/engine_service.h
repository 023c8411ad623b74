#pragma once

// The bus face: the engine as other programs reach it over the session bus.
// The service joins the bus before start-up can wait on anything, refuses
// what needs the engine meanwhile (saying what start-up waits for), and once
// an engine is attached hands it commands, recordings and questions, and
// shows its snapshot as properties.

#include <QPointer>
#include <QString>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/engine_face.h"

namespace vemo {

class DBusService;
class Engine;

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
    // Start-up is done: calls reach `engine` from now on.
    void Attach(Engine& engine);

  private:
    // The box or dialog that waits for an answer, if one does.
    std::optional<Waiting> WaitingFor() const;
    Result<> NotWaiting(const char* doing) const;
    void Changed();

    // Callbacks into this object: it goes first.
    std::unique_ptr<DBusService> service_;
    QPointer<Engine> engine_;
    bool attached_ = false;
    std::vector<Waiting> open_boxes_;
    std::string startup_wait_;
    QString told_status_;
};

}  // namespace vemo
