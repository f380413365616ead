// Action dispatch: the 62 action entry points and the typed dispatchers.
//
// An action is one operation implemented separately by every datatype that
// supports it; the registry (runtime/registry.h) keeps a row of handlers per
// type. Every action picks its handler by the type of its first argument,
// except make and to, which take it from the prototype (a datatype!
// prototype names the type). An empty entry is script/expect-arg.
//
// Two ways in:
// - the stack entries (actions::table, one per slot): what action! values
//   and the evaluator call. Arguments are on the data stack at
//   stack::arguments; refinements come as an array of positions (-1 when
//   absent, else the argument index of the refinement's first argument), in
//   the order of the action's spec. The entry decodes them, calls the typed
//   dispatcher and stores the result in the result slot.
// - the typed dispatchers (actions::form, actions::copy, ...): the handler's
//   own arguments as machine arguments; natives and compiled code call them.
//
// Compare operation codes: 0 equal?, 1 not-equal?, 2 strict-equal?,
// 3 lesser?, 4 lesser-or-equal?, 5 greater?, 6 greater-or-equal?, 7 and 8
// three-way for sorting, 9-12 further equality tests. A compare handler
// answers -1, 0, 1, or -2 when the values cannot be compared.
#pragma once

#include "interpreter/stack.h"
#include "runtime/registry.h"

namespace oru::actions {

// A stack entry: refinement positions in spec order (null when the action
// has no refinements).
using StackEntry = void (*)(const i32* refinements);

// Slot n (1-62) at index n - 1; slot 8 (set-path) has no entry.
extern StackEntry table[action::count];

// Fills the table with the 62 stack entries (after every datatype module has
// registered).
void init();
// Stores count entry points from slot 1 on.
void register_entries(int count, const StackEntry* entries);

// What the entry of a slot (1-62) reads from the data stack, in the
// notation of natives::shape_of; null for a slot no action! is made for.
const char* shape_of(u32 slot);

// The compare code spelled out.
namespace op {
constexpr i32 equal = 0, not_equal = 1, strict_equal = 2, lesser = 3, lesser_equal = 4, greater = 5,
              greater_equal = 6, sort = 7, sort_reverse = 8, same = 9, find = 10, strict_find = 11, hash = 12;
}

// ---------------------------------------------------------------------------
// Handler lookup

// The raised error for an empty entry: script/expect-arg with the innermost
// call's name, the value's datatype and the action's first argument.
[[noreturn]] void no_handler(u32 t, u32 slot);

// Records the symbol of the first argument word of the action in a slot
// (1-62), which the no-handler error names; 0 names none.
void set_first_argument(u32 slot, i32 symbol);
// A port! value's handler for the port actions (slot 25 on): from the
// native actor table its handle! actor names, else the port! row.
ActionEntry port_action(const Cell* value, u32 slot);

// The native actor table a handle! names: 38 handlers for the slots 25
// (append) to 62 (write) in slot order, null for an action it does not
// support; null when the handle names no table. port::init installs
// port::native_actor; a handle naming no table leaves the port to the
// port! row, whose handlers answer access/invalid-port.
using NativeActors = const ActionEntry* (*)(const Cell& handle);
extern NativeActors native_actors;

// The handler of `slot` for `type`; `value` is the value being dispatched on.
inline ActionEntry get_action(u32 t, const Cell* value, u32 slot) {
    if (t == type::port && slot >= action::append) [[unlikely]]
        return port_action(value, slot);
    // A type number beyond the table can only come from a damaged cell.
    ActionEntry e = t < registry::table_types ? registry::entry(t, slot) : nullptr;
    if (!e) [[unlikely]] no_handler(t, slot);
    return e;
}

inline ActionEntry get_action_ptr(const Cell* value, u32 slot) {
    return get_action(cell::type_of(*value), value, slot);
}

template <class F>
inline F handler(const Cell* value, u32 slot) {
    return reinterpret_cast<F>(get_action_ptr(value, slot));
}

// The type make and to dispatch on: a datatype! prototype names it.
inline u32 target_type(const Cell* proto) {
    u32 t = cell::type_of(*proto);
    return t == type::datatype ? proto->data1 : t;
}

// ---------------------------------------------------------------------------
// Typed dispatchers, in slot order.

inline Cell* make(Cell* proto, Cell* spec) {
    u32 t = target_type(proto);
    return reinterpret_cast<action_fn::Make>(get_action(t, proto, action::make))(proto, spec, t);
}
inline void random(Cell* value, bool seed, bool secure, bool only) {
    handler<action_fn::Random>(value, action::random)(value, seed, secure, only);
}
inline void reflect(Cell* value, u32 field) { handler<action_fn::Reflect>(value, action::reflect)(value, field); }
inline Cell* to(Cell* proto, Cell* spec) {
    u32 t = target_type(proto);
    return reinterpret_cast<action_fn::Make>(get_action(t, proto, action::to))(proto, spec, t);
}
inline i32 form(Cell* value, Cell* buffer, Cell* part, i32 limit) {
    return handler<action_fn::Form>(value, action::form)(value, buffer, part, limit);
}
inline i32 mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, i32 limit, i32 indent) {
    return handler<action_fn::Mold>(value, action::mold)(value, buffer, only, all, flat, part, limit, indent);
}
// Its own lookup: an empty entry raises script/bad-path-type2 without a path
// (path null or none), else script/bad-path-type.
Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* container, Cell* previous, i32 index,
                bool case_, bool get, bool tail, bool notify);

// The handler's three-way answer (-2: cannot compare).
inline i32 compare_raw(Cell* value1, Cell* value2, i32 op) {
    return handler<action_fn::Compare>(value1, action::compare)(value1, value2, op);
}
// The test of `op` on the handler's answer. -2 raises script/invalid-compare
// for the ordering codes 3-6 and means "they differ" for the equality codes.
bool compare(Cell* value1, Cell* value2, i32 op);
// The three-way comparison of sorting.
i32 compare_value(Cell* value1, Cell* value2, i32 op);

// Stack convention: operands at stack::arguments, result in the result slot.
#define ORU_STACK_ACTION(member) \
    inline void member() { handler<action_fn::Stack>(stack::arguments, action::member)(); }
ORU_STACK_ACTION(absolute)
ORU_STACK_ACTION(add)
ORU_STACK_ACTION(divide)
ORU_STACK_ACTION(multiply)
ORU_STACK_ACTION(power)
ORU_STACK_ACTION(remainder)
ORU_STACK_ACTION(subtract)
ORU_STACK_ACTION(and_)
ORU_STACK_ACTION(or_)
ORU_STACK_ACTION(xor_)
ORU_STACK_ACTION(at)
ORU_STACK_ACTION(back)
ORU_STACK_ACTION(head)
ORU_STACK_ACTION(head_q)
ORU_STACK_ACTION(index_q)
ORU_STACK_ACTION(next)
ORU_STACK_ACTION(skip)
ORU_STACK_ACTION(tail)
ORU_STACK_ACTION(tail_q)
#undef ORU_STACK_ACTION

inline void negate(Cell* value) { handler<action_fn::Value>(value, action::negate)(value); }
inline void round(Cell* value, Cell* scale, bool even, bool down, bool half_down, bool floor, bool ceiling,
                  bool half_ceiling) {
    handler<action_fn::Round>(value, action::round)(value, scale, even, down, half_down, floor, ceiling, half_ceiling);
}
inline bool even_q(Cell* value) { return handler<action_fn::Predicate>(value, action::even_q)(value); }
inline bool odd_q(Cell* value) { return handler<action_fn::Predicate>(value, action::odd_q)(value); }
inline Cell* complement(Cell* value) { return handler<action_fn::Stored>(value, action::complement)(value); }
inline void append(Cell* series, Cell* value, i32 part, bool only, i32 dup) {
    handler<action_fn::Append>(series, action::append)(series, value, part, only, dup, true);
}
inline void change(Cell* series, Cell* value, Cell* part, bool only, i32 dup) {
    handler<action_fn::Change>(series, action::change)(series, value, part, only, dup);
}
inline void clear(Cell* series) { handler<action_fn::Value>(series, action::clear)(series); }
inline Cell* copy(Cell* value, Cell* result, Cell* part, bool deep, Cell* types) {
    return handler<action_fn::Copy>(value, action::copy)(value, result, part, deep, types);
}
inline Cell* find(Cell* series, Cell* value, Cell* part, bool only, bool case_, bool same, bool any, Cell* with,
                  Cell* skip, bool last, bool reverse, bool tail, bool match) {
    return handler<action_fn::Find>(series, action::find)(series, value, part, only, case_, same, any, with, skip,
                                                          last, reverse, tail, match);
}
inline void insert(Cell* series, Cell* value, i32 part, bool only, i32 dup) {
    handler<action_fn::Append>(series, action::insert)(series, value, part, only, dup, false);
}
inline i32 length_q(Cell* value) { return handler<action_fn::Length>(value, action::length_q)(value); }
inline Cell* move(Cell* origin, Cell* target, Cell* part) {
    return handler<action_fn::Move>(origin, action::move)(origin, target, part);
}
inline Cell* pick(Cell* series, i32 index, Cell* index_cell) {
    return handler<action_fn::Pick>(series, action::pick)(series, index, index_cell);
}
inline Cell* poke(Cell* series, i32 index, Cell* value, Cell* index_cell) {
    return handler<action_fn::Poke>(series, action::poke)(series, index, value, index_cell);
}
inline Cell* put(Cell* series, Cell* key, Cell* value, bool case_) {
    return handler<action_fn::Put>(series, action::put)(series, key, value, case_);
}
inline void remove(Cell* series, Cell* part, Cell* key) {
    handler<action_fn::Remove>(series, action::remove)(series, part, key);
}
inline void reverse(Cell* series, Cell* part, Cell* skip) {
    handler<action_fn::Reverse>(series, action::reverse)(series, part, skip);
}
inline Cell* select(Cell* series, Cell* value, Cell* part, bool only, bool case_, bool same, bool any, Cell* with,
                    Cell* skip, bool last, bool reverse) {
    return handler<action_fn::Select>(series, action::select)(series, value, part, only, case_, same, any, with,
                                                              skip, last, reverse);
}
inline Cell* sort(Cell* series, bool case_, Cell* skip, Cell* compare, Cell* part, bool all, bool reverse,
                  bool stable) {
    return handler<action_fn::Sort>(series, action::sort)(series, case_, skip, compare, part, all, reverse, stable);
}
inline void swap(Cell* series1, Cell* series2) { handler<action_fn::Swap>(series1, action::swap)(series1, series2); }
inline Cell* take(Cell* series, Cell* part, bool deep, bool last) {
    return handler<action_fn::Take>(series, action::take)(series, part, deep, last);
}
inline void trim(Cell* series, bool head, bool tail, bool auto_, bool lines, bool all, Cell* with) {
    handler<action_fn::Trim>(series, action::trim)(series, head, tail, auto_, lines, all, with);
}
inline Cell* create(Cell* port) { return handler<action_fn::Stored>(port, action::create)(port); }
inline Cell* close(Cell* port) { return handler<action_fn::Stored>(port, action::close)(port); }
inline Cell* delete_(Cell* file) { return handler<action_fn::Stored>(file, action::delete_)(file); }
inline Cell* modify(Cell* target, Cell* field, Cell* value, bool case_) {
    return handler<action_fn::Modify>(target, action::modify)(target, field, value, case_);
}
inline Cell* open(Cell* port, bool new_, bool read, bool write, bool seek, Cell* allow) {
    return handler<action_fn::Open>(port, action::open)(port, new_, read, write, seek, allow);
}
inline Cell* open_q(Cell* port) { return handler<action_fn::Stored>(port, action::open_q)(port); }
inline Cell* query(Cell* target) { return handler<action_fn::Stored>(target, action::query)(target); }
inline Cell* read(Cell* source, Cell* part, Cell* seek, bool binary, bool lines, Cell* info, Cell* as) {
    return handler<action_fn::Read>(source, action::read)(source, part, seek, binary, lines, info, as);
}
inline Cell* rename(Cell* from, Cell* to) { return handler<action_fn::Rename>(from, action::rename)(from, to); }
inline Cell* update(Cell* port) { return handler<action_fn::Stored>(port, action::update)(port); }
inline Cell* write(Cell* destination, Cell* data, bool binary, bool lines, Cell* info, bool append, Cell* part,
                   Cell* seek, Cell* allow, Cell* as) {
    return handler<action_fn::Write>(destination, action::write)(destination, data, binary, lines, info, append, part,
                                                                 seek, allow, as);
}

// ---------------------------------------------------------------------------
// Fast paths for compiled code
//
// Arithmetic, comparisons and block stepping with the common types handled
// inline and everything else handed to the full action, inside a native
// frame named by `word` (the operator or action performed), so that errors
// name the right function. Integers and blocks allocate nothing, open no
// frame and look up no handler; the results are exactly the actions'.

// Math codes: add 0, subtract 1, multiply 2, or~ 5, and~ 6, xor~ 7 (the
// integer module's codes, whose core integer::math computes two integers).
namespace math_code {
constexpr i32 add = 0, subtract = 1, multiply = 2, or_ = 5, and_ = 6, xor_ = 7;
}
// Step codes of fast_step.
namespace step_code {
constexpr i32 length_q = 1, index_q = 2, head_q = 3, tail_q = 4, next = 5, back = 6, head = 7, tail = 8;
}

// Pushes value1 op value2 (math codes) and returns its cell.
Cell* math_op(i32 op, const Cell& word, const Cell& value1, const Cell& value2);
// As math_op with an integer! second operand.
Cell* math_op_int(i32 op, const Cell& word, const Cell& value, i32 constant);
// As math_op; the result replaces the last pushed value (the first
// operand's slot) instead of being pushed.
Cell* math_op_top(i32 op, const Cell& word, const Cell& value1, const Cell& value2);
Cell* math_op_top_int(i32 op, const Cell& word, const Cell& value, i32 constant);

// Pushes the logic! of the comparison (codes 0-6) and returns its cell.
Cell* compare_op(i32 op, const Cell& word, const Cell& value1, const Cell& value2);
Cell* compare_op_int(i32 op, const Cell& word, const Cell& value, i32 constant);
// As compare_op; the logic! replaces the last pushed value.
Cell* compare_op_top(i32 op, const Cell& word, const Cell& value1, const Cell& value2);
Cell* compare_op_top_int(i32 op, const Cell& word, const Cell& value, i32 constant);
// The comparison as a machine boolean (inverted with negate); the data stack
// is left as it was.
bool compare_test(i32 op, const Cell& word, const Cell& value1, const Cell& value2, bool negate);
bool compare_test_int(i32 op, const Cell& word, const Cell& value, i32 constant, bool negate);
// Stores the logic! into the result slot and returns it as a machine boolean.
bool compare_set(i32 op, const Cell& word, const Cell& value1, const Cell& value2);
bool compare_set_int(i32 op, const Cell& word, const Cell& value, i32 constant);

// Pushes the step's result (step codes) and returns its cell.
Cell* fast_step(const Cell& value, i32 op, const Cell& word);
// Pushes item n of the value (value/n) and returns its cell: for a block!,
// from its position, none outside 1..length.
Cell* fast_pick(const Cell& value, i32 n, const Cell& word);

// The two arguments at the argument base compared (codes 0-6); the logic!
// goes into the result slot. The comparison natives are this.
void compare_logic(i32 op);

// ---------------------------------------------------------------------------
// Refinement decoding shared by the stack entries and the natives.

// The /part count of append, insert and change against `series` (the value
// being inserted, or for change the series being changed): an integer!, or a
// position in the same series (same type and node; a position past the tail
// counts as the tail). script/invalid-part when `series` is no series with a
// buffer; script/invalid-refine-arg (word `part`) for anything else.
i32 part_count(const Cell& series, const Cell& part);

// The index of pick and poke: an integer! or char! gives its value, true 1,
// false 2, anything else 0 (the handler reads the index cell itself).
i32 pick_index(const Cell& index);

}  // namespace oru::actions
