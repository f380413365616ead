// Evaluation, binding and access natives: do, reduce, compose, get, set,
// bind, in, construct, value?, type?, unset, new-line, new-line?, context?,
// and transcode (the lexer's native front end).
//
// Each is a native::Entry: arguments at stack::arguments, the result in the
// first of them. Every value held across an evaluation or an allocation sits
// on the data stack (a fixed buffer, so stack addresses stay valid); series
// cells are fetched again by index after each such call.
#pragma once

#include "runtime/cell.h"

namespace oru::natives {

u32 do_(bool check, const i32* refinements);
u32 reduce(bool check, const i32* refinements);
u32 compose(bool check, const i32* refinements);
u32 get(bool check, const i32* refinements);
u32 set(bool check, const i32* refinements);
u32 bind(bool check, const i32* refinements);
u32 in(bool check, const i32* refinements);
u32 construct(bool check, const i32* refinements);
u32 value_q(bool check, const i32* refinements);
u32 type_q(bool check, const i32* refinements);
u32 unset(bool check, const i32* refinements);
u32 new_line(bool check, const i32* refinements);
u32 new_line_q(bool check, const i32* refinements);
u32 context_q(bool check, const i32* refinements);
u32 transcode(bool check, const i32* refinements);

}  // namespace oru::natives

namespace oru::natives_eval {

// Hands the routines above to the native table (natives::provide) for their
// fixed slots.
void register_all();

}  // namespace oru::natives_eval
