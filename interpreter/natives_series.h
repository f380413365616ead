// Series iteration natives: foreach, forall and remove-each.
//
// Each walks a series with the loop steps of natives_shared. The native
// pushes the loop's hidden cells (remove-each: the record size first; then
// the series being walked, then the loop word or word block) and opens a
// loop frame above them, so that the steps find them just below the frame's
// argument base, where compiled library code keeps them too. Bodies (and the
// steps, which can run an object's change handlers when they set a loop word
// or remove a record) run under interpreter::guard at the break level: break
// and continue arrive as the evaluator's pending code (or as the system-level
// throw from C++ frames that cannot pass one on), never as a C++ exception
// per iteration.
#pragma once

#include "runtime/cell.h"

namespace oru::natives {

u32 foreach(bool check, const i32* refinements);
u32 forall(bool check, const i32* refinements);
u32 remove_each(bool check, const i32* refinements);

}  // namespace oru::natives

namespace oru::natives_series {

// Hands the routines above to the native table (natives::provide) for
// their fixed slots 11-13.
void register_all();

}  // namespace oru::natives_series
