// The evaluator: runs blocks of values as code.
//
// It evaluates one expression after another, looks words up, calls natives,
// actions, functions and routines with the arguments their specs ask for
// (the arguments description, cached per function value), applies infix
// operators strictly left to right, evaluates paths and reports each step to
// the trace hook when tracing is on.
//
// Any evaluation may allocate and so move every buffer: nothing here keeps a
// buffer address across a call; values held across calls sit on the data
// stack.
#pragma once

#include "interpreter/stack.h"
#include "interpreter/trace.h"
#include "interpreter/unwind.h"
#include "runtime/cell.h"
#include "runtime/system.h"

namespace oru::interpreter {

// --- Evaluation ----------------------------------------------------------------

// Evaluates the block from its position. The last expression's value is the
// result: with chain on it goes into the caller's result slot (the current
// stack::arguments cell when eval_block was called), else it stays in the
// closed frame's slot (at the top of the caller's stack). Returns the
// pending code (0 normally).
[[nodiscard]] u32 eval_block(const Cell& block, bool chain = true);
// eval_block with a pending code turned into a throw.
void eval_block_throwing(const Cell& block, bool chain = true);
// eval_block inside the evaluation frame the caller opened as eval_block
// opens its own (stack::mark_interp_eval named <body>), the stack at that
// frame's argument base: the same evaluation and events, the frame left
// open with the value in its result slot and top just above it. Loops use
// it to keep one body frame open across the runs of their body (see
// natives_control.cpp).
[[nodiscard]] u32 eval_in_frame(const Cell& block);

// Evaluates one expression of `code` (a block-like value) at cell index pc
// (absolute, from the buffer's first cell), stopping at index `end`. With
// sub on the result is pushed; else it is written to the result slot with
// the stack trimmed to it. no_infix: no operator after it is applied.
// passive: a function value met literally is pushed, not called. Returns the
// index after the expression (when `pending` is set, the caller stops).
i32 eval_expression(const Cell& code, i32 pc, i32 end, bool no_infix, bool sub, bool passive);

// Evaluates the expression at the block's position; returns the index after
// it (an empty block: unset and its own index). The result is pushed.
i32 eval_next(const Cell& block);

// Calls a function-like value (native!, action!, op!, function!, routine!)
// with its arguments already on the stack in a frame the caller opened:
// arguments from stack::arguments, refinements as for natives (-1 absent).
// Leaves the result in the result slot. Used by callbacks (sort, parse).
// A callback_bit other than 0 names the internal callback: while tracing,
// its events are delivered only when that bit is set in callback_bits, and an
// interpreted function then gets call and return events around it (ref:
// name). Returns the pending code.
[[nodiscard]] u32 call_function(const Cell& fn, Node context, const Cell& name, u32 callback_bit);

// Calls a function-like value (native!, action!, op!, function!, routine!)
// with its arguments taken from args_block, one value at a time: a word
// gives its value, anything else is evaluated alone (get-word and lit-word
// arguments take the block's value as it is); a missing value at the end of
// the block is none. With `all` the block gives every argument and
// every refinement's on/off value in spec order. Without it the block holds
// the mandatory arguments, then refinement! values, each followed by the
// value that turns it on when truthy and by its arguments (script/bad-refine
// for another value where a refinement is expected, script/no-refine for one
// the function lacks, script/dup-refine for one named twice). With `safer`
// the arguments of a refinement that is off are skipped unevaluated. The
// frame is named by `name` when it is a word, else <applied>. The result is
// pushed; returns the pending code (0 normally; nothing pushed otherwise).
// A path (on the data stack) names refinements to turn on besides: with
// `all` they are on whatever the block says; without it their arguments
// follow the mandatory ones in the block, in the path's order.
[[nodiscard]] u32 apply(const Cell& fn, const Cell& args_block, bool all, bool safer, const Cell* name = nullptr,
                        const Cell* path = nullptr);

// Runs a function!'s code after the caller opened the frame and pushed its
// arguments (the object module's handler caller). Pending codes are thrown.
void call_handler(const Cell& fn);

// The value of a word for evaluation (context/get with the no-value check).
const Cell* word_value(const Cell& word);

// --- State ---------------------------------------------------------------------

// The block being evaluated, its head index at the current expression (copied
// into an error's `near`). Unset outside evaluation.
extern Cell current_code;

// Installs the evaluator's hooks (object spec evaluation, handler calls,
// make error!'s block evaluation); start-up, after the natives.
void init();

}  // namespace oru::interpreter
