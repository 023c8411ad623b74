#pragma once

// The one-engine marker in the shared record. Beside the marker byte the
// engine keeps its process id, so that a marker left by an engine that was
// killed does not lock every later engine out.

#include <cstdint>

#include "product/shared_status_block.h"

namespace vemo {

// True when the marker is set by an engine process that still runs: a live
// process (not a zombie) of the same program file as this one. Its name is
// not asked, as a process can rename itself.
bool MarkerHeldByLiveEngine(const SharedStatusBlock& block);

// The process id of the live engine that holds the marker, 0 when none does.
std::uint32_t LiveEngineHoldingMarker(const SharedStatusBlock& block);

// Sets the marker for this process unless a live engine holds it; a stale
// marker is taken over. Returns whether this process now holds it; when it
// does not, `holder` (if given) receives the live engine's process id.
bool ClaimEngineMarker(SharedStatusBlock& block, std::uint32_t* holder = nullptr);

// Clears the marker if this process holds it.
void ReleaseEngineMarker(SharedStatusBlock& block);

}  // namespace vemo
