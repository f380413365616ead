// Datatype registry: the datatype table and the per-type action table.
//
// Every datatype module registers once at start-up with its type number, its
// parent and one ActionTable naming its handlers by action. An absent entry
// means the type does not support the action; `inherit` takes the parent's
// entry for the same slot (absent included). Parents register before their
// children. The action dispatcher (interpreter/actions.h) reads the rows.
//
// Handler conventions (all cells are addresses on the data stack or in a
// buffer; a refinement argument is nullptr when the refinement is absent):
// the "stored" handlers return a cell that the dispatcher copies into the
// result slot; the others write the result slot themselves; stack-convention
// handlers read their operands at stack::arguments.
#pragma once

#include "runtime/cell.h"

namespace oru {

// Handler types, one per action family.
namespace action_fn {
using Make = Cell* (*)(Cell* proto, Cell* spec, u32 type);
using Random = void (*)(Cell* value, bool seed, bool secure, bool only);
using Reflect = void (*)(Cell* value, u32 field);
using Form = i32 (*)(Cell* value, Cell* buffer, Cell* part, i32 limit);
using Mold = i32 (*)(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, i32 limit, i32 indent);
using EvalPath = Cell* (*)(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* container, Cell* previous,
                           i32 index, bool case_, bool get, bool tail, bool notify);
using Compare = i32 (*)(Cell* value1, Cell* value2, i32 op);
using Stack = void (*)();
using Value = void (*)(Cell* value);  // writes the result slot
using Round = void (*)(Cell* value, Cell* scale, bool even, bool down, bool half_down, bool floor, bool ceiling,
                       bool half_ceiling);
using Predicate = bool (*)(Cell* value);
using Stored = Cell* (*)(Cell* value);
using Append = void (*)(Cell* series, Cell* value, i32 part, bool only, i32 dup, bool append);
using Change = void (*)(Cell* series, Cell* value, Cell* part, bool only, i32 dup);
using Copy = Cell* (*)(Cell* value, Cell* result, Cell* part, bool deep, Cell* types);
using Find = Cell* (*)(Cell* series, Cell* value, Cell* part, bool only, bool case_, bool same, bool any, Cell* with,
                       Cell* skip, bool last, bool reverse, bool tail, bool match);
using Length = i32 (*)(Cell* value);  // -1 means none
using Move = Cell* (*)(Cell* origin, Cell* target, Cell* part);
using Pick = Cell* (*)(Cell* series, i32 index, Cell* index_cell);
using Poke = Cell* (*)(Cell* series, i32 index, Cell* value, Cell* index_cell);
using Put = Cell* (*)(Cell* series, Cell* key, Cell* value, bool case_);
using Remove = void (*)(Cell* series, Cell* part, Cell* key);
using Reverse = void (*)(Cell* series, Cell* part, Cell* skip);
using Select = Cell* (*)(Cell* series, Cell* value, Cell* part, bool only, bool case_, bool same, bool any,
                         Cell* with, Cell* skip, bool last, bool reverse);
using Sort = Cell* (*)(Cell* series, bool case_, Cell* skip, Cell* compare, Cell* part, bool all, bool reverse,
                       bool stable);
using Swap = void (*)(Cell* series1, Cell* series2);
using Take = Cell* (*)(Cell* series, Cell* part, bool deep, bool last);
using Trim = void (*)(Cell* series, bool head, bool tail, bool auto_, bool lines, bool all, Cell* with);
using Modify = Cell* (*)(Cell* target, Cell* field, Cell* value, bool case_);
using Open = Cell* (*)(Cell* port, bool new_, bool read, bool write, bool seek, Cell* allow);
using Read = Cell* (*)(Cell* source, Cell* part, Cell* seek, bool binary, bool lines, Cell* info, Cell* as);
using Rename = Cell* (*)(Cell* from, Cell* to);
using Write = Cell* (*)(Cell* destination, Cell* data, bool binary, bool lines, Cell* info, bool append, Cell* part,
                        Cell* seek, Cell* allow, Cell* as);
}  // namespace action_fn

// The 62 actions in slot order: X(slot, member, spelling, handler type).
// ORDER ACTIONS: slots are fixed; action! values and the dispatcher use them.
#define ORU_ACTIONS(X)                                   \
    X(1, make, "make", Make)                             \
    X(2, random, "random", Random)                       \
    X(3, reflect, "reflect", Reflect)                    \
    X(4, to, "to", Make)                                 \
    X(5, form, "form", Form)                             \
    X(6, mold, "mold", Mold)                             \
    X(7, eval_path, "eval-path", EvalPath)               \
    X(8, set_path, "set-path", Stack)                    \
    X(9, compare, "compare", Compare)                    \
    X(10, absolute, "absolute", Stack)                   \
    X(11, add, "add", Stack)                             \
    X(12, divide, "divide", Stack)                       \
    X(13, multiply, "multiply", Stack)                   \
    X(14, negate, "negate", Value)                       \
    X(15, power, "power", Stack)                         \
    X(16, remainder, "remainder", Stack)                 \
    X(17, round, "round", Round)                         \
    X(18, subtract, "subtract", Stack)                   \
    X(19, even_q, "even?", Predicate)                    \
    X(20, odd_q, "odd?", Predicate)                      \
    X(21, and_, "and~", Stack)                           \
    X(22, complement, "complement", Stored)              \
    X(23, or_, "or~", Stack)                             \
    X(24, xor_, "xor~", Stack)                           \
    X(25, append, "append", Append)                      \
    X(26, at, "at", Stack)                               \
    X(27, back, "back", Stack)                           \
    X(28, change, "change", Change)                      \
    X(29, clear, "clear", Value)                         \
    X(30, copy, "copy", Copy)                            \
    X(31, find, "find", Find)                            \
    X(32, head, "head", Stack)                           \
    X(33, head_q, "head?", Stack)                        \
    X(34, index_q, "index?", Stack)                      \
    X(35, insert, "insert", Append)                      \
    X(36, length_q, "length?", Length)                   \
    X(37, move, "move", Move)                            \
    X(38, next, "next", Stack)                           \
    X(39, pick, "pick", Pick)                            \
    X(40, poke, "poke", Poke)                            \
    X(41, put, "put", Put)                               \
    X(42, remove, "remove", Remove)                      \
    X(43, reverse, "reverse", Reverse)                   \
    X(44, select, "select", Select)                      \
    X(45, sort, "sort", Sort)                            \
    X(46, skip, "skip", Stack)                           \
    X(47, swap, "swap", Swap)                            \
    X(48, tail, "tail", Stack)                           \
    X(49, tail_q, "tail?", Stack)                        \
    X(50, take, "take", Take)                            \
    X(51, trim, "trim", Trim)                            \
    X(52, create, "create", Stored)                      \
    X(53, close, "close", Stored)                        \
    X(54, delete_, "delete", Stored)                     \
    X(55, modify, "modify", Modify)                      \
    X(56, open, "open", Open)                            \
    X(57, open_q, "open?", Stored)                       \
    X(58, query, "query", Stored)                        \
    X(59, read, "read", Read)                            \
    X(60, rename, "rename", Rename)                      \
    X(61, update, "update", Stored)                      \
    X(62, write, "write", Write)

namespace action {
#define ORU_ACTION_SLOT(n, member, spelling, fn) constexpr u32 member = n;
ORU_ACTIONS(ORU_ACTION_SLOT)
#undef ORU_ACTION_SLOT
constexpr u32 count = 62;
}  // namespace action

// Marks an entry as taken from the parent type.
struct Inherit {};
inline constexpr Inherit inherit{};

// One entry of a registration: a handler, nothing (not supported) or inherit.
template <class F>
struct ActionSlot {
    F fn = nullptr;
    bool from_parent = false;
    constexpr ActionSlot() = default;
    constexpr ActionSlot(F f) : fn(f) {}
    constexpr ActionSlot(Inherit) : from_parent(true) {}
};

// A registration's 62 entries, named by action.
struct ActionTable {
#define ORU_ACTION_MEMBER(n, member, spelling, fn) ActionSlot<action_fn::fn> member{};
    ORU_ACTIONS(ORU_ACTION_MEMBER)
#undef ORU_ACTION_MEMBER
};

// A stored entry: the handler address cast to one common type, or null.
using ActionEntry = void (*)();
// A raw registration entry meaning "inherit".
inline const ActionEntry inherit_entry = reinterpret_cast<ActionEntry>(uintptr_t{1});

namespace registry {

constexpr u32 table_types = 57;   // type numbers 0-56
constexpr u32 row_size = 256;     // action slots a type

struct DatatypeEntry {
    const char* name;   // "block!"
    u32 name_length;    // without the "!"
    u32 word;           // symbol id of the name's word, 0 until words exist
};

extern DatatypeEntry datatypes[table_types];
extern ActionEntry actions[table_types * row_size];
extern u32 highest_type;

// Registers a type from its table of named handlers.
void add(u32 type, u32 parent, const char* name, const ActionTable& table);

// The raw form: exactly 62 entries (handler, null or inherit_entry) in slot
// order. Another count is a programming error of the module: the report goes
// to standard output and the process ends with a failure status.
void register_datatype(u32 type, u32 parent, const char* name, const ActionEntry* entries, int count);

// The stored entry of `slot` (1-62) for a type, null when not supported.
inline ActionEntry entry(u32 type, u32 slot) { return actions[type * row_size + slot - 1]; }

// The typed handler of an action for a type, e.g. handler<action_fn::Form>(t, action::form).
template <class F>
F handler(u32 type, u32 slot) {
    return reinterpret_cast<F>(entry(type, slot));
}

}  // namespace registry
}  // namespace oru
