// Runtime calls of compiled code.
//
// Library functions compiled ahead of time do not walk blocks of values;
// they call these operations: fetch a literal cell or a context handle by its
// root-record number, check argument types on entry, clear refinement
// arguments, look a key up for compiled select and switch, and convert
// numbers with range checks. All of them work on the data stack
// (interpreter/stack.h): arguments at stack::arguments, the result slot first.
// Errors go out through `fire` (fire.h). They also call natives and actions
// with refinement positions, evaluate paths given as item lists, load values
// from text and report errors without unwinding.
//
// Argument numbers count the called function's arguments from 1.
#pragma once

#include "runtime/cell.h"

#include <span>

namespace oru {

// Start-up hands over the root block: a fixed cell buffer (it never moves).
void set_root_block(Node root);
Node root_block();

// Root record n: the n-th cell of the root block. A record number outside
// the block's used cells raises internal/limit-hit.
Cell* literal_cell(i32 n);
// Word 1 of root record n: the node of a context or object record.
Node literal_node(i32 n);

// Raises script/bad-make-arg ("cannot MAKE" arg1 "from:" arg2).
[[noreturn]] void fire_55(const Cell& arg1, const Cell& arg2);

// Raises script/expect-arg: the innermost named call, the datatype given, and
// the argument's word from the called function's spec (its number when the
// innermost named call has no spec to read it from).
[[noreturn]] void fire_expect_arg(i32 arg_number, u32 type);

// The value when its type is in the typeset; else script/expect-arg.
Cell* check_arg_type(const Cell& typeset, i32 arg_number, Cell* value);
// check_arg_type on the stack argument at stack::arguments + index; a negative
// index (a refinement that is absent) is returned unchanged, as is any other.
i32 check_arg_type_index(i32 index, const Cell& typeset, i32 arg_number);
// check_arg_type only when the refinement is set (true); else the value.
Cell* check_arg_type_at(const Cell& refinement, const Cell& typeset, i32 arg_number, Cell* value);
// The value unless it is unset!; else script/expect-arg naming unset!.
Cell* check_arg_set(i32 arg_number, Cell* value);

// The integer of an integer!, or a float! (or percent!) truncated toward zero.
// A float above 2147483647.0 or below -2147483648.0, or a NaN, raises
// script/out-of-range with the value; other types raise script/invalid-arg.
i32 check_float_range(const Cell& value);

// When the value is true (anything but none and false) the refinement's slot
// at stack::arguments + index becomes true; otherwise the `count` argument
// cells after that slot become none.
void clear_refinement_args(const Cell& value, i32 index, i32 count);

// The lookup of compiled select (block_flag off) and switch (block_flag on):
// the key is the first stack argument, the block the second. See calls.cpp.
// The result is pushed when push_flag is set, else stored in the result slot.
void find_in_block(bool push_flag, bool block_flag);

// One refinement of a compiled call: its value (set when true: anything but
// none and false), its position in the called spec (1-based), the stack
// offset of its first argument from stack::arguments, and its argument count.
struct RefinementGroup {
    Cell value;
    i32 position;
    i32 offset;
    i32 count;
};

// Calls native slot `number` (natives_table on) or action slot `number`
// (off) with a table of `slots` refinement positions: -1 for each slot, the
// stack offset of its first argument for each set refinement; the argument
// cells of a refinement that is not set become none. Natives get check on.
// A position outside 1..slots, or argument cells outside the data stack,
// raise internal/limit-hit; a slot with no
// entry point internal/not-done. Returns the callee's pending unwinding code
// (0 for actions).
u32 call_with_refinements(i32 number, bool natives_table, i32 slots, std::span<const RefinementGroup> groups);

// Evaluates a path item by item through the eval-path action of each value's
// type. The first item, when a word!, is replaced by its value. With `set`
// the last item stores the value at stack::arguments. The final value goes
// into the last stack cell (pushed when the frame has none). The items must
// not lie in a buffer that allocation can move: they are read between steps.
void eval_path_items(bool set, const Cell& path, std::span<const Cell> items);

// Loads the string! text (from its head) into a block stored in *target.
// When the lexer stopped before the end of the text the result is none; when
// the block is empty *target becomes unset! and that is the result;
// otherwise the block's first value. Syntax errors are raised.
Cell load_value_in(const Cell& text, Cell* target);
// load_value_in of the text into stack::arguments.
Cell load_value(const Cell& text);

// Makes the error of the category and id words with the three arguments
// (null: none) and prints it with the print native inside a native call
// frame; the frame's result, left as the last pushed cell, is unset!.
// The error is not thrown.
void report_error(const Cell& category, const Cell& id, const Cell* arg1, const Cell* arg2, const Cell* arg3);

}  // namespace oru
