// The output natives print and prin, and the print hook that writes printed
// values to standard output.
//
// print and prin share one routine with a new-line flag. A block is reduced
// into the natives' print buffer from its tail, so a print reached while an
// outer print reduces its block appends after the outer values and removes
// only its own. Evaluation can move every buffer: the print buffer is kept as
// a cell and re-fetched after each expression.
#pragma once

#include "runtime/cell.h"

namespace oru::natives {

u32 print(bool check, const i32* refinements);
u32 prin(bool check, const i32* refinements);

// The new-line flag of the last print or prin.
extern bool last_lf_q;

}  // namespace oru::natives

namespace oru::natives_output {

// The value hook that writes a printed string to standard output (console
// module), then a line end when new_line is set.
void stdout_hook(const Cell* value, bool new_line);

// Hands print and prin to the native table (slots 23 and 24).
void register_all();

}  // namespace oru::natives_output
