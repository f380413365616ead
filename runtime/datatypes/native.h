// native!, action! and op!: the values the evaluator calls without a body of
// language code.
//
// native! (type 21, no parent) and action! (22, parent native!) cells are
// {header, entry, spec node, auxiliary node}. The entry is an index, never an
// address: slot number - 1 of the native table (below) or of the action
// table (actions::table). The auxiliary block holds two cells: a copy of the
// context cell of an empty function context (kind 1, values on the data
// stack), then none, which the evaluator replaces by the cached arguments
// description. op! (23, parent native!) wraps a native, action, function or
// routine: its payload is the wrapped value's, its header 23 | (wrapped type
// << 16). An op of a function or routine shares the function's extra block
// and leaves the function itself in the block's fourth cell, where the
// evaluator finds it.
//
// The native table lives here because make native! must know which slots
// hold an entry: it has 120 slots, 107 of them filled by the natives module
// at start-up; slots past the last registered one stay empty, and no value is
// made for an empty slot, nor for a spec of another shape than the one the
// slot's routine reads (shape_fits). The handlers and the three
// registrations are at the bottom of native.cpp.
#pragma once

#include "runtime/cell.h"

#include <string>

namespace oru::native {

// A native's routine: `check` asks for argument type checks (off from the
// evaluator, on from compiled code); `refinements` holds one position per
// refinement of its spec, in spec order, -1 when absent, else the cell
// position of its first argument from the argument base (null when the
// native has no refinements). Arguments are on the data stack at
// stack::arguments; the result goes into the first of them. The returned
// code is a pending break, continue, return or exit for the compiled caller
// to continue, else 0.
using Entry = u32 (*)(bool check, const i32* refinements);

constexpr i32 table_slots = 120;
// Slot n (1-based) at index n - 1; null when empty.
extern Entry table[table_slots];
// The next free slot number: 1 when empty, 108 once the natives are in.
extern i32 table_count;

// Empties the table (slot count back to 1).
void reset_table();
// Stores count entries from the next free slot on. Entries past slot 120 are
// a programming error of the caller and are dropped.
void register_entries(i32 count, const Entry* entries);

// The entry of slot n (1-based), null when empty or outside 1-120.
inline Entry entry_at(i32 slot) { return slot >= 1 && slot <= table_slots ? table[slot - 1] : nullptr; }

// The slot number (1-based) a native! or action! cell refers to; for an op!
// of a native or action, the wrapped one's.
inline i32 slot_of(const Cell& v) { return static_cast<i32>(v.data1) + 1; }
inline Node spec_of(const Cell& v) { return v.data2; }
inline Node auxiliary_of(const Cell& v) { return v.data3; }
// The routine of a native! cell (or of an op! wrapping one).
inline Entry entry_of(const Cell& v) { return v.data1 < static_cast<u32>(table_slots) ? table[v.data1] : nullptr; }

// True when a spec block (read from its first cell) has the shape the
// routine of `slot` reads: native! t for the native table, action! for the
// action table (natives::shape_of, actions::shape_of). The slot must hold an
// entry and a shape; the spec must have as many arguments and refinements,
// in the same order, each argument fetched the same way (evaluated, get-word
// or lit-word), and with `types` each argument's types must be among the
// shape's, the type blocks read as the evaluator reads them. Without `types`
// only the structure is compared (the boot image, whose type words may have
// no values yet while it loads). Nothing allocates or raises.
bool shape_fits(u32 t, i32 slot, const Cell& spec, bool types);

// Checks the natives and actions that start-up defined against the shapes
// their routines read: each slot with a shape must have the global word of
// its name hold a native! or action! of that slot whose spec has the shape
// exactly (the same arguments with the same types, the same refinement
// names), so that the library's specs and the C++ lists cannot drift apart.
// Returns one line per fault, empty when all agree. symbol::make may add a
// symbol; nothing else allocates.
std::string check_defined();

// Pushes a new native! or action! (t) for the slot and the spec's node and
// returns it; with `describe` its arguments description is built and kept
// now (see function::build_arguments), else on its first call. The shape is
// the caller's to check first.
Cell* build(u32 t, i32 slot, const Cell& spec, bool describe);

// make native! and make action!: `spec` must be a block holding exactly a
// spec block and a slot number whose routine reads that spec's shape
// (shape_fits with types), else script/bad-make-arg (the datatype, the
// argument). Pushes the new value and returns it.
Cell* make(Cell* proto, Cell* spec, u32 type);

// reflect of native!, action! and op!: `spec` gives the spec block (not
// copied); `body` gives, for an op! of a function or routine, a copy of the
// function's body, otherwise the 1-based table slot as an integer!. Another
// field raises internal/not-done. Writes the result slot.
void reflect(Cell* value, u32 field);

// Registers native! (type 21, no parent) and empties the native table.
void init();

}  // namespace oru::native

namespace oru::action {

// Registers action! (type 22, parent native!).
void init();

}  // namespace oru::action

namespace oru::op {

// The type an op! wraps: native!, action!, function! or routine!.
inline u32 wrapped_type(const Cell& op) { return (op.header & flag::op_fn_type_mask) >> flag::op_fn_type_shift; }

// The extra-block cell (0-based) that holds the function an op! wraps.
constexpr i32 extra_function_cell = 3;

// True when a spec (walked from its head) has exactly two arguments and the
// first is a word!: lit-words and get-words count as arguments but may not
// come first; a set-word (return:) ends the walk, as do /local and /extern;
// any other refinement makes the spec invalid; other values are skipped.
bool valid_spec_q(const Cell& spec);

// make op!: `spec` must be a native!, action!, function! or routine! (else
// script/invalid-type with its datatype) with a spec valid for an op (else
// script/bad-op-spec). Pushes the new op! and returns it.
Cell* make(Cell* proto, Cell* spec, u32 type);

// Registers op! (type 23, parent native!).
void init();

}  // namespace oru::op
