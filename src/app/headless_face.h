#pragma once

// The face of a run without a display: nobody answers, so boxes go to the
// log (or to scripted answers), file choices to a scripted chooser if one is
// installed, the go-ahead is refused with why, and the close ends the event
// loop.

#include "engine/engine_face.h"

namespace vemo {

class Engine;

class HeadlessFace : public EngineFace {
  public:
    void set_engine(Engine* engine) { engine_ = engine; }

    int ShowMessage(const MessageRequest& request) override;
    std::optional<std::string> ChooseFile(const FileQuestion& question) override;
    void Close() override;

  private:
    Engine* engine_ = nullptr;
};

}  // namespace vemo
