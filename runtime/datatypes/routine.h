// routine!: a function whose body is C++ code.
//
// A routine cell is {header type 29, plus flag external (0x8000) and the
// arity in bits 25-29; context node made from the spec; spec node; extra-block
// node}. The extra block has the five cells of a function's (function.h):
// the body (kept for reflection and mold only) or none, the cached arguments
// description, the entry as an integer! index into the routine entry table
// below, unset! (the op! slot), and the return type number as an integer!
// (0: the routine sets its own result). A cell never holds a code address:
// entries are registered once and known by their index.
//
// routine! inherits reflect from function!; the action table is at the
// bottom of routine.cpp.
#pragma once

#include "runtime/cell.h"

namespace oru::routine {

constexpr u32 external = 0x8000;  // takes its argument cells, returns a result cell
constexpr u32 arity_shift = 25;
constexpr u32 arity_mask = 0x1F;

// A machine argument or result. A plain routine gets each argument converted
// by its type (logic!: 0 or 1 in `integer`, integer!, float!, anything else
// the cell's address) and returns an integer, logic or float as its return
// type says, or sets the result slot itself. An external routine gets the
// argument cells' addresses, last first, and returns the result cell.
union Machine {
    i32 integer;
    double float_;
    Cell* cell;
};
using Entry = Machine (*)(const Machine* args, i32 count);

// The extra-block cell (0-based) holding the return type number.
constexpr i32 return_cell = 4;

// The return type numbers a routine may carry besides 0.
constexpr u32 return_logic = type::logic;
constexpr u32 return_integer = type::integer;
constexpr u32 return_float = type::float_;

// Adds an entry to the table (an entry already there keeps its index);
// returns its index, from 1.
u32 register_entry(Entry fn);
// The entry at an index; null when the index is not in the table.
Entry entry(u32 index);

// Pushes a routine value: a context made from the spec, the body as given
// (kept for reflection and mold; unset! stands for none), the entry index, the return type (0 or below for none; 4, 11 and 12 are
// the others) and the external flag.
void push(const Cell& spec, const Cell& body, u32 entry, i32 return_type, bool external_);

// The arity kept in the header, and setting it from the count of word!
// values in the spec (script/bad-func-def when there are more than 31).
u32 get_arity(const Cell& routine);
void set_arity(Cell& routine);

// The return type number kept in the extra block.
u32 return_type(const Cell& routine);

// Registers routine! (parent function!).
void init();

}  // namespace oru::routine
