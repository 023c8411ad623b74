#pragma once

namespace vemo {

// The program: start-up (the product's library and shared record, the wait
// for the product, the one-engine check), then the engine with its window,
// or with no window when no display answers, until it closes.
int RunEngine(int argc, char** argv);

}  // namespace vemo
