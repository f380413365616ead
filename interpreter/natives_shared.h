// Routines shared by several natives: the comparison core of max and min,
// the argument and result conversions of the trigonometric natives, the
// block form of set, the loop steps of loop, repeat, foreach, forall and
// remove-each, and the frame the loop natives run their bodies in.
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

#include "interpreter/evaluator.h"
#include "interpreter/stack.h"
#include "runtime/cell.h"
#include "runtime/datatypes/logic.h"
#include "runtime/words.h"

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

// script/expect-arg for an argument outside the types a native's code reads
// (a caller that skipped the spec's checks): the running call's name, the
// value's datatype and the argument's word.
[[noreturn]] void expect_arg(const Cell& value, const char* argument);

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
// foreach_next() when the step can run no code and raise nothing: one word
// whose setting is a plain store (plain_slot) and a block-like series, whose
// cells are taken as they are. Returns -1 for any other step (nothing done),
// else 1 for a step made and 0 at the tail.
i32 foreach_next_plain();

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

// The slot of a word when setting it is one store that runs no code and
// raises nothing: bound and resolved in a context that is no object's (no
// change handler, nothing to flag), its values reachable. Null otherwise
// (context::set's road). Valid until the next allocation.
Cell* plain_slot(const Cell& word);

// The frame of a loop's body. eval_block opens an evaluation frame named
// <body> for each run of the body (and of while's condition) and closes it
// after; between two runs only the loop native's own steps run. The loop
// natives open that frame once and keep it open from one run to the next
// (interpreter::eval_in_frame), closing it before any step of theirs that
// can run code or raise an error, so that every frame code or an error
// report can see is one eval_block would have opened. The frame's argument
// base is the loop frame's (the stack is reset to it before each run), so
// the body's value lands in the loop's result slot, where eval_block's
// chaining puts it, and the hidden cells below that base are found from
// either frame. A code that ends a run has dropped the frame (break and
// continue land on the loop frame, the others below it). While tracing,
// each run takes eval_block itself.
class BodyFrame {
public:
    // Runs the block (a data-stack cell below the loop frame) from the loop
    // frame's base; returns the code that ended it, taken (0 when it
    // completed). With chain off, while tracing, the value is dropped from
    // the top as the natives that run the body that way expect.
    u32 run(const Cell& block, bool chain = true) {
        stack::reset();
        if (interpreter::tracing) [[unlikely]] {
            close();
            stack::reset();
            return interpreter::guard(throw_code::break_, [&] {
                u32 c = interpreter::eval_block(block, chain);
                if (!chain && c == 0 && !interpreter::pending) stack::pop(1);
                return c;
            });
        }
        if (!open_) {
            stack::mark_interp_eval(words::word::tag_body);
            open_ = true;
        }
        const u32 code = interpreter::guard(throw_code::break_, [&] { return interpreter::eval_in_frame(block); });
        if (code) [[unlikely]] open_ = false;
        return code;
    }
    // Closes the frame if it is open; the stack is left as eval_block leaves
    // it, the last value in the loop's result slot just below the top.
    void close() {
        if (!open_) return;
        stack::unwind();
        open_ = false;
    }
    // For a code that came from the loop native's own step: the unwinding
    // dropped the frame if it was open.
    void dropped() { open_ = false; }
    // logic::truth_strict of the last value: the unset value raises from
    // the loop frame, the body's frame closed.
    bool truth() {
        const Cell& v = *stack::arguments;
        if (cell::type_of(v) == type::unset) [[unlikely]] {
            close();
            return logic::truth_strict(*stack::arguments);
        }
        return logic::truth(v);
    }

private:
    bool open_ = false;
};

}  // namespace oru::natives
