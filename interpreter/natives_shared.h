// Routines shared by several natives: the comparison core of max and min,
// the argument and result conversions of the trigonometric natives, the
// block form of set, and the loop steps of loop, repeat and foreach.
//
// Compiled library code runs the same loops without the natives and calls
// the steps directly: there the loop's hidden cells lie just below the
// argument base (the series two cells below, the loop word or word block one
// cell below). Every routine here re-fetches buffer addresses after a call
// that can allocate or call back (set, pick, change handlers).
#pragma once

#include "runtime/cell.h"

namespace oru::natives {

// The integer indefinite value: what a float count outside the 32-bit range
// (or NaN) becomes. It is negative, so a loop over it never runs.
constexpr i32 integer_indefinite = INT32_MIN;

// Truncates toward zero; NaN, infinities and values outside the 32-bit range
// give integer_indefinite.
i32 truncate_count(double d);

// The core of max (max_q on) and min: the two values are the current call's
// first two argument cells; the result goes into the first.
void max_min(bool max_q);

// integer! as it is; a float! truncated toward zero, one outside the 32-bit
// range, infinite or NaN raising script/type-limit with integer!.
i32 to_int_arg(const Cell& value);
// integer! or float! as a 32-bit float.
float to_float32_arg(const Cell& value);
// Turns the first argument (integer!, float! or percent!) into a float! in place.
void to_float_arg();
// The angle argument of sine, cosine, tangent: to_float_arg, then degrees to
// radians unless `radians` (kind: 0 tangent, 1 cosine, 2 sine).
void trig_arg(bool radians, i32 kind);
// arcsine (kind 2), arccosine (1), arctangent (0) of the first argument,
// in degrees unless `radians`; left in the result slot.
void arc_result(bool radians, i32 kind);

// The block form of set: word i of `words` (a block, or a single any-word
// when count is 1) gets item i of `values`. See natives_shared.cpp.
void set_words(const Cell& words, const Cell& values, i32 count, bool any, bool only, bool some);
// Sets word i to item i of the series for i = 1..count (strings, binaries,
// vectors), through the pick action.
void set_words_from_series(const Cell& words, const Cell& series, i32 count);

// True while the series index is before its tail.
bool not_tail_q(const Cell& series);

// foreach with one word: when `series` is not at its tail, the word gets the
// next item and the index advances by one. Returns whether a step was made.
bool foreach_next(Cell& series, const Cell& word);
// foreach with a block of words: count items a step.
bool foreach_next_block(Cell& series, const Cell& words, i32 count);

// The count in the first argument slot: a float! becomes an integer! by
// truncation (integer_indefinite when out of range); anything else stays.
void loop_count(Cell& count);
// The loop step of loop: loop_count on the first argument slot.
void loop_next();
// The step of repeat: the integer! held by the counter word is incremented
// in place; in an object's context it is stored again through the context
// setter so that the object's change handler sees it.
void repeat_next(Cell& word);

}  // namespace oru::natives
