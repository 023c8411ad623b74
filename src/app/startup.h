#pragma once

#include <memory>

namespace vemo {

class EngineService;
class MainWindow;

// Start-up up to the message loop: the product's library and shared record,
// the wait for the product, the one-engine check, the window, the settings
// and screen publishing. Returns 0 when the engine is up (the window is in
// `window`), otherwise the process's exit code. What start-up waits for is
// told to other programs through `service`.
int InitApplication(std::unique_ptr<MainWindow>& window, EngineService* service = nullptr);

// The program: start-up, then the message loop until the window closes.
int RunEngine(int argc, char** argv);

}  // namespace vemo
