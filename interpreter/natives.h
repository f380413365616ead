// The native table's contents: the 107 natives in their fixed slot order.
//
// A native! value made by the boot image names its routine by slot number,
// so the order below is part of the system (ORDER NATIVES: one list, from
// which the slot numbers and the table derive). Slots 108-120 stay empty.
// The natives' routines live in their own groups (control flow, functions,
// series, math...); each group hands its routines over with `provide`, and
// a slot nobody provided raises internal/not-done when called, so the table
// is always complete and no call reaches an empty entry.
//
// Calling convention (native::Entry): check? then one position per
// refinement (-1 when absent, else the argument index of its first
// argument); arguments on the data stack at stack::arguments, the result in
// the first of them; the return value is the pending unwinding code
// (interpreter::pending, see evaluator.h), 0 normally.
#pragma once

#include "runtime/cell.h"
#include "runtime/datatypes/native.h"

namespace oru::natives {

// ORDER NATIVES: slot n is the n-th entry. X(c++ name, word)
#define ORU_NATIVES(X)                                                                                         \
    X(if_, "if") X(unless, "unless") X(either, "either") X(any, "any") X(all, "all") X(while_, "while")         \
    X(until, "until") X(loop, "loop") X(repeat, "repeat") X(forever, "forever") X(foreach, "foreach")           \
    X(forall, "forall") X(remove_each, "remove-each") X(func, "func") X(function, "function") X(does, "does")   \
    X(has, "has") X(switch_, "switch") X(case_, "case") X(do_, "do") X(get, "get") X(set, "set")                \
    X(print, "print") X(prin, "prin") X(equal_q, "equal?") X(not_equal_q, "not-equal?")                         \
    X(strict_equal_q, "strict-equal?") X(lesser_q, "lesser?") X(greater_q, "greater?")                          \
    X(lesser_or_equal_q, "lesser-or-equal?") X(greater_or_equal_q, "greater-or-equal?") X(same_q, "same?")      \
    X(not_, "not") X(type_q, "type?") X(reduce, "reduce") X(compose, "compose") X(stats, "stats")              \
    X(bind, "bind") X(in, "in") X(parse, "parse") X(union_, "union") X(intersect, "intersect")                 \
    X(unique, "unique") X(difference, "difference") X(exclude, "exclude") X(complement_q, "complement?")       \
    X(dehex, "dehex") X(enhex, "enhex") X(negative_q, "negative?") X(positive_q, "positive?") X(max, "max")     \
    X(min, "min") X(shift, "shift") X(to_hex, "to-hex") X(sine, "sine") X(cosine, "cosine")                     \
    X(tangent, "tangent") X(arcsine, "arcsine") X(arccosine, "arccosine") X(arctangent, "arctangent")           \
    X(arctangent2, "arctangent2") X(NaN_q, "NaN?") X(log_2, "log-2") X(log_10, "log-10") X(log_e, "log-e")      \
    X(exp, "exp") X(square_root, "square-root") X(construct, "construct") X(value_q, "value?") X(try_, "try")   \
    X(uppercase, "uppercase") X(lowercase, "lowercase") X(as_pair, "as-pair") X(as_point2D, "as-point2D")       \
    X(as_point3D, "as-point3D") X(as_money, "as-money") X(break_, "break") X(continue_, "continue")             \
    X(exit, "exit") X(return_, "return") X(throw_, "throw") X(catch_, "catch") X(extend, "extend")             \
    X(debase, "debase") X(to_local_file, "to-local-file") X(wait, "wait") X(checksum, "checksum")              \
    X(unset, "unset") X(new_line, "new-line") X(new_line_q, "new-line?") X(enbase, "enbase")                    \
    X(context_q, "context?") X(set_env, "set-env") X(get_env, "get-env") X(list_env, "list-env") X(now, "now")  \
    X(sign_q, "sign?") X(as, "as") X(call, "call") X(zero_q, "zero?") X(size_q, "size?") X(browse, "browse")   \
    X(compress, "compress") X(decompress, "decompress") X(recycle, "recycle") X(transcode, "transcode")         \
    X(apply, "apply")

// Slot numbers (1-based): slot::if_ == 1 ... slot::apply == 107.
namespace slot {
enum : i32 {
    none_ = 0,
#define ORU_NATIVE_SLOT(name, word) name,
    ORU_NATIVES(ORU_NATIVE_SLOT)
#undef ORU_NATIVE_SLOT
    count_plus_one
};
}  // namespace slot
constexpr i32 count = slot::count_plus_one - 1;
static_assert(count == 107, "107 natives in fixed slots");

// The word of a slot ("if" for 1), null outside 1-107.
const char* name_of(i32 slot);

// Hands over a native's routine. Before init the routine is kept for it;
// after init it replaces the slot's entry at once.
void provide(i32 slot, native::Entry entry);

// A routine and its slot, as each group of natives lists its own.
struct Provided {
    i32 slot;
    native::Entry entry;
};

// Hands over every routine of a group's list.
template <size_t N>
void provide_all(const Provided (&group)[N]) {
    for (const Provided& p : group) provide(p.slot, p.entry);
}

// The stand-in of a slot with no routine yet: raises internal/not-done.
u32 not_done(bool check, const i32* refinements);

// The block of 32 cells that print and prin reduce into (in the root block).
Cell& print_buffer();

// Fills the native table: every slot 1-107 in order (provided routines, else
// the stand-in), through native::register_entries; makes the print buffer.
// Start-up, after the predefined words and before the parse work blocks.
void init();

}  // namespace oru::natives
