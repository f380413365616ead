// Routines shared by several natives: the comparison core of max and min,
// the argument and result conversions of the trigonometric natives, the
// block form of set, and the loop steps of loop, repeat, foreach, forall and
// remove-each.
//
// The loop state lives in hidden cells just below the argument base of the
// running loop frame (foreach, forall, remove-each) or function (compiled
// library code that runs the same loops without the natives):
//   arguments - 3  remove-each only: the record size (integer!)
//   arguments - 2  the series being walked (forall: the starting series)
//   arguments - 1  the loop word or word block
// The steps without a series argument read and update those cells in place.
// Every routine here re-fetches buffer addresses after a call that can
// allocate or call back (set, pick, remove, change handlers); the series
// cells they are given must lie on the data stack, which never moves.
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
// integer! or float! as a 32-bit float (beyond its range, an infinity).
float to_float32_arg(const Cell& value);
// Turns the first argument (integer!, float! or percent!) into a float! in place.
void to_float_arg();
// The angle argument of sine, cosine, tangent: to_float_arg, then degrees to
// radians unless `radians` (kind: 0 tangent, 1 cosine, 2 sine).
void trig_arg(bool radians, i32 kind);
// arcsine (kind 2), arccosine (1), arctangent (0) of the first argument,
// in degrees unless `radians`; left in the result slot.
void arc_result(bool radians, i32 kind);

// The block form of set: word i of `words` (a block, or a single word when
// count is 1) gets item i of `values` (of a block-like series or a map!'s
// key/value block, unless `only`); every word must be a word!, set-word!,
// lit-word! or get-word!. See natives_shared.cpp.
void set_words(const Cell& words, const Cell& values, i32 count, bool any, bool only, bool some);
// Sets word i to item i of the series for i = 1..count (strings, binaries,
// vectors), through the pick action.
void set_words_from_series(const Cell& words, const Cell& series, i32 count);

// map! and image! iteration, which their modules provide. Until a module
// installs its entries, a loop over such a value raises internal/not-done.
struct IterationService {
    // map! at an iteration position (its head index counts cells of the
    // key/value block) and a block of two words: sets the words from the
    // pair there; false when that pair was removed.
    bool (*map_match_keys)(const Cell& map, const Cell& words);
    // image! at an iteration position (in pixels) and a word block: sets the
    // words from the pixels there.
    void (*image_set_words)(const Cell& image, const Cell& words);
    // width x height of the image.
    i32 (*image_pixels)(const Cell& image);
};
extern IterationService iteration_service;

// True while the series index is before its tail; for image! while it is
// below width x height. map! positions count the cells of its key/value block.
bool not_tail_q(const Cell& series);

// foreach with one word: when `series` (a data-stack cell) is not at its
// tail, the word gets the next item (a block's cell itself, else what pick
// gives at 1) and the index advances by one. Returns whether a step was made.
bool foreach_next(Cell& series, const Cell& word);
// foreach with a block of words: `count` items a step (a map! takes two
// words, key and value; a block series fills words past its tail with none).
bool foreach_next_block(Cell& series, const Cell& words, i32 count);
// The same on the hidden cells (series at arguments - 2, word or word block
// at arguments - 1).
bool foreach_next();
bool foreach_next_block(i32 count);

// forall: the loop word is at arguments - 1, the starting series at
// arguments - 2. With `advance` the word's series index moves by one in place
// (the body may have moved it; a word that no longer refers to the starting
// series raises script/bad-loop-series). Returns whether the word's series is
// now at its tail.
bool forall_next(bool advance);
// Sets the loop word back to the starting series.
void forall_end();

// remove-each, after the body ran with its value at the argument base: when
// it is truthy the `count` items just visited are removed from the series at
// arguments - 2, whose index moves back to where they were.
void remove_each_next(i32 count);

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
