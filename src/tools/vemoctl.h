#pragma once

namespace vemo::tools {

// Runs one vemoctl command line; returns the process exit status.
int RunVemoctl(int argc, char** argv);

}  // namespace vemo::tools
