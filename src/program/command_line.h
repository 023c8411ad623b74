#pragma once

// The engine's own options, read before Qt sees the command line.

#include <optional>

namespace vemo {

// Answers --help and --version, and refuses what is neither an engine option
// nor one of Qt's (a line on standard error). Returns the exit status when
// the engine is not to start, nullopt when it is.
std::optional<int> HandleCommandLine(int argc, char** argv);

// Whether --verbose was given.
bool VerboseRequested(int argc, char** argv);

}  // namespace vemo
