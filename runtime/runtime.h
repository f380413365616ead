// Runtime start-up and shutdown.
//
// runtime_init builds everything in one fixed order that later modules rely
// on: parents register before their children, and each table exists before
// the modules that use it (see runtime.cpp for the steps). Collection stays
// disabled throughout; the boot program enables it once its handles are
// fetched. runtime_shutdown releases the memory frames, big buffers and every
// tracked heap block, and forgets the stacks, so that start-up can run again.
#pragma once

#include "runtime/cell.h"

namespace oru {

// Root-allocation mode: while on, words and values that the runtime makes for
// compiled code go to the root block instead of the data stack. Start-up
// turns it on; the boot program turns it off after fetching its handles.
extern bool root_allocation;

namespace startup {
constexpr i32 root_cells = 9696;
constexpr i32 symbol_capacity = 4000;
constexpr u32 first_node_frame = 10000;
}  // namespace startup

void runtime_init();
void runtime_shutdown();

}  // namespace oru
