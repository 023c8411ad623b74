#include "imaging/engine_state.h"

namespace vemo {

EngineState engine_state;

}  // namespace vemo
