// Runtime calls of compiled code.
//
// Library functions compiled ahead of time do not walk blocks of values;
// they call these operations: fetch a literal cell or a context handle by its
// root-record number, check argument types on entry, clear refinement
// arguments, look a key up for compiled select and switch, and convert
// numbers with range checks. All of them work on the data stack
// (interpreter/stack.h): arguments at stack::arguments, the result slot first.
// Errors go out through `fire` (fire.h).
//
// Argument numbers count the called function's arguments from 1.
#pragma once

#include "runtime/cell.h"

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
// the argument.
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

}  // namespace oru
