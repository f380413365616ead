// Conditional, loop, function-making and unwinding natives: if, unless,
// either, any, all, switch, case, while, until, loop, repeat, forever,
// break, continue, func, function, does, has, exit, return, throw, catch
// and try.
//
// Each is a native::Entry: its arguments sit at stack::arguments, its result
// goes into the first of them. Blocks run through interpreter::eval_block.
// break, continue, return, exit and throw end with the evaluator's signal_*
// calls (no C++ exception); the loops, catch and try take the code through
// interpreter::guard, which sees both roads (a pending code, or the
// system-level throw of C++ frames that cannot pass a code on). Blocks being
// run stay on the data stack while they run, so nothing here keeps a buffer
// address across an evaluation.
#pragma once

#include "runtime/cell.h"

namespace oru::natives {

u32 if_(bool check, const i32* refinements);
u32 unless(bool check, const i32* refinements);
u32 either(bool check, const i32* refinements);
u32 any(bool check, const i32* refinements);
u32 all(bool check, const i32* refinements);
u32 while_(bool check, const i32* refinements);
u32 until(bool check, const i32* refinements);
u32 loop(bool check, const i32* refinements);
u32 repeat(bool check, const i32* refinements);
u32 forever(bool check, const i32* refinements);
u32 func(bool check, const i32* refinements);
u32 function(bool check, const i32* refinements);
u32 does(bool check, const i32* refinements);
u32 has(bool check, const i32* refinements);
u32 switch_(bool check, const i32* refinements);
u32 case_(bool check, const i32* refinements);
u32 try_(bool check, const i32* refinements);
u32 break_(bool check, const i32* refinements);
u32 continue_(bool check, const i32* refinements);
u32 exit(bool check, const i32* refinements);
u32 return_(bool check, const i32* refinements);
u32 throw_(bool check, const i32* refinements);
u32 catch_(bool check, const i32* refinements);

}  // namespace oru::natives

namespace oru::natives_control {

// Hands the routines above to the native table (natives::provide) for
// their fixed slots: 1-10 if ... forever, 14-19 func ... case, 70 try,
// 77-82 break ... catch.
void register_all();

}  // namespace oru::natives_control
