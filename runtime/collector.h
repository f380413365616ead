// The collector's entry points used by the memory manager.
//
// Collection reclaims unreachable buffers and nodes and compacts series
// frames. It runs only when enabled, inside a series allocation that finds no
// room, or on request. In stress mode (ORU_GC_STRESS=1) every series
// allocation collects while collection is enabled.
#pragma once

#include "runtime/cell.h"

namespace oru::collector {

// Collects when collection is enabled; otherwise does nothing.
void collect_if_enabled();

// Completed collection cycles.
u32 cycles();

// True when stress mode is on and collection is enabled.
bool stress();

// Turns collection on or off; returns the previous state.
bool enable(bool on);

}  // namespace oru::collector
