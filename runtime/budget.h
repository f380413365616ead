// Limits a test harness puts on one program run: evaluation steps and bytes
// taken from the OS.
//
// Only a harness sets them (the program fuzzer, so that a generated program
// that loops or grows without end stops where the harness says); a normal
// run never does, and then the step count starts at its maximum, which no
// run reaches (one step costs a decrement), and the byte limit is 0, which
// the memory manager tests only when it goes to the OS. When a limit is
// passed, `spent` runs: the harness's handler throws a code of its own,
// which every catch point of the language passes on, or, for the step
// count, may give more steps and return (to check the time now and then).
#pragma once

#include "runtime/cell.h"

namespace oru::budget {

// Steps left: one is taken by each block the evaluator enters and by each
// expression of a block after the first.
extern u64 steps_left;
// Bytes the memory manager may hold from the OS (series frames, big
// buffers, node frames); 0: no limit.
extern u64 os_bytes;
// The harness's handler of a passed limit; null outside a harness.
extern void (*spent)();

// Called when steps_left reaches 0: the handler, or with none the count
// starts again from its maximum.
void out_of_steps();

inline void step() {
    if (--steps_left == 0) [[unlikely]] out_of_steps();
}

// Called before the memory manager takes `bytes` more from the OS while
// holding `total`: the handler runs when that would pass the byte limit.
void check_os_bytes(u64 total, u64 bytes);

inline void take_os_bytes(u64 total, u64 bytes) {
    if (os_bytes) [[unlikely]] check_os_bytes(total, bytes);
}

}  // namespace oru::budget
