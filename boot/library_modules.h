// What start-up and the image generator share: evaluating a library
// module's code and the set-up the action words need.
//
// The generator evaluates the library in its own runtime as a check of the
// source; start-up evaluates the same code as decoded from the boot image.
// A code block stays on the data stack while it runs.
#pragma once

#include "runtime/cell.h"

namespace oru::boot {

// Records each action's first argument word, which the no-handler error
// names, from the specs of the action! values of the global context.
void record_first_arguments();

// Runs body (its result a pending code, as eval_block's) under a try frame
// whose argument cell, given to body, holds `held` meanwhile (the code being
// run, kept there for the collector). An error it raises is reported after
// the line "*** Error in library <kind> <file>", and the process ends with
// the uncaught-error status.
void run_reporting(const char* kind, const char* file, const Cell& held, u32 (*body)(Cell* held, void*), void* arg);

// Evaluates a module's code block (its words bound to the global context).
// An error that the module does not catch is reported with the module's
// file, and the process ends with the uncaught-error status.
void run_module(const Cell& code, const char* file);

// The first argument word of an action's spec (a word!, lit-word! or
// get-word! before any refinement); -1 when there is none.
i32 first_argument(const Cell& spec);

}  // namespace oru::boot
