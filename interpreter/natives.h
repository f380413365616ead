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

// ORDER NATIVES: slot n is the n-th entry. X(c++ name, word, shape)
//
// The shape is what the slot's routine reads from the data stack: one item
// per argument in spec order, each its type block ("[]": any value but
// unset!), a lit-word argument marked "'", a get-word argument ":", and each
// refinement ("/name") followed by its arguments' items. A native! made for
// the slot (make native!, a serialized native!) must have this shape, with
// argument types no wider than these; nullptr marks a slot whose routine is
// not built yet, for which no value is made. A routine that starts to read
// more (a new refinement, a wider type) changes its shape here with it.
#define ORU_NATIVES(X) \
    X(if_, "if", "[any-type!] [block!]") \
    X(unless, "unless", "[any-type!] [block!]") \
    X(either, "either", "[any-type!] [block!] [block!]") \
    X(any, "any", "[block!]") \
    X(all, "all", "[block!]") \
    X(while_, "while", "[block!] [block!]") \
    X(until, "until", "[block!]") \
    X(loop, "loop", "[integer! float!] [block!]") \
    X(repeat, "repeat", "'[word!] [integer! float!] [block!]") \
    X(forever, "forever", "[block!]") \
    X(foreach, "foreach", "'[word! block!] [series! map!] [block!]") \
    X(forall, "forall", "'[word!] [block!]") \
    X(remove_each, "remove-each", "'[word! block!] [series!] [block!]") \
    X(func, "func", "[block!] [block!]") \
    X(function, "function", "[block!] [block!]") \
    X(does, "does", "[block!]") \
    X(has, "has", "[block!] [block!]") \
    X(switch_, "switch", "[any-type!] [block!] /default [block!]") \
    X(case_, "case", "[block!] /all") \
    X(do_, "do", "[any-type!] /expand /args [any-type!] /next [word!] /trace [function!]") \
    X(get, "get", "[any-word! any-path! object!] /any /case") \
    X(set, "set", "[any-word! block! object! any-path!] [any-type!] /any /case /only /some") \
    X(print, "print", "[any-type!]") \
    X(prin, "prin", "[any-type!]") \
    X(equal_q, "equal?", "[any-type!] [any-type!]") \
    X(not_equal_q, "not-equal?", "[any-type!] [any-type!]") \
    X(strict_equal_q, "strict-equal?", "[any-type!] [any-type!]") \
    X(lesser_q, "lesser?", "[any-type!] [any-type!]") \
    X(greater_q, "greater?", "[any-type!] [any-type!]") \
    X(lesser_or_equal_q, "lesser-or-equal?", "[any-type!] [any-type!]") \
    X(greater_or_equal_q, "greater-or-equal?", "[any-type!] [any-type!]") \
    X(same_q, "same?", "[any-type!] [any-type!]") \
    X(not_, "not", "[any-type!]") \
    X(type_q, "type?", "[any-type!] /word") \
    X(reduce, "reduce", "[any-type!] /into [any-block!]") \
    X(compose, "compose", "[block!] /deep /only /into [any-block!]") \
    X(stats, "stats", "/show /info") \
    X(bind, "bind", "[block! any-word!] [any-word! any-object! function!] /copy") \
    X(in, "in", "[any-object! any-function!] [any-word! refinement!]") \
    X(parse, "parse", "[binary! any-block! any-string!] [block!] /case /part [number! series!] /trace [function!]") \
    X(union_, "union", "[block! hash! string! bitset! typeset!] [block! hash! string! bitset! typeset!] /case /skip [integer!]") \
    X(intersect, "intersect", "[block! hash! string! bitset! typeset!] [block! hash! string! bitset! typeset!] /case /skip [integer!]") \
    X(unique, "unique", "[block! hash! string!] /case /skip [integer!]") \
    X(difference, "difference", "[block! hash! string! bitset! typeset! date!] [block! hash! string! bitset! typeset! date!] /case /skip [integer!]") \
    X(exclude, "exclude", "[block! hash! string! bitset! typeset!] [block! hash! string! bitset! typeset!] /case /skip [integer!]") \
    X(complement_q, "complement?", "[bitset!]") \
    X(dehex, "dehex", "[any-string!]") \
    X(enhex, "enhex", "[any-string!]") \
    X(negative_q, "negative?", "[number! money! time!]") \
    X(positive_q, "positive?", "[number! money! time!]") \
    X(max, "max", "[scalar! series!] [scalar! series!]") \
    X(min, "min", "[scalar! series!] [scalar! series!]") \
    X(shift, "shift", "[integer!] [integer!] /left /logical") \
    X(to_hex, "to-hex", "[integer!] /size [integer!]") \
    X(sine, "sine", "[float! integer!] /radians") \
    X(cosine, "cosine", "[float! integer!] /radians") \
    X(tangent, "tangent", "[float! integer!] /radians") \
    X(arcsine, "arcsine", "[float! integer!] /radians") \
    X(arccosine, "arccosine", "[float! integer!] /radians") \
    X(arctangent, "arctangent", "[float! integer!] /radians") \
    X(arctangent2, "arctangent2", "[float! integer!] [float! integer!] /radians") \
    X(NaN_q, "NaN?", "[number!]") \
    X(log_2, "log-2", "[float! integer!]") \
    X(log_10, "log-10", "[float! integer!]") \
    X(log_e, "log-e", "[float! integer!]") \
    X(exp, "exp", "[float! integer!]") \
    X(square_root, "square-root", "[float! integer!]") \
    X(construct, "construct", "[block!] /with [object!] /only") \
    X(value_q, "value?", "[any-type!]") \
    X(try_, "try", "[block!] /all /keep") \
    X(uppercase, "uppercase", "[any-string! char!] /part [number! any-string!]") \
    X(lowercase, "lowercase", "[any-string! char!] /part [number! any-string!]") \
    X(as_pair, "as-pair", "[integer! float!] [integer! float!]") \
    X(as_point2D, "as-point2D", "[integer! float!] [integer! float!]") \
    X(as_point3D, "as-point3D", "[integer! float!] [integer! float!] [integer! float!]") \
    X(as_money, "as-money", "[word!] [integer! float!]") \
    X(break_, "break", "/return [any-type!]") \
    X(continue_, "continue", "") \
    X(exit, "exit", "") \
    X(return_, "return", "[any-type!]") \
    X(throw_, "throw", "[any-type!] /name [word!]") \
    X(catch_, "catch", "[block!] /name [word! block!]") \
    X(extend, "extend", "[object! map!] [block! hash! map!] /case") \
    X(debase, "debase", "[string!] /base [integer!]") \
    X(to_local_file, "to-local-file", "[file! string!] /full") \
    X(wait, "wait", "[number! time! block! none!] /all") \
    X(checksum, "checksum", "[series!] [word!] /with [series! integer!]") \
    X(unset, "unset", "[word! block!]") \
    X(new_line, "new-line", "[any-list!] [logic!] /all /skip [integer!]") \
    X(new_line_q, "new-line?", "[any-list!]") \
    X(enbase, "enbase", "[binary! string!] /base [integer!]") \
    X(context_q, "context?", "[any-word!]") \
    X(set_env, "set-env", "[any-string! any-word!] [string! none!]") \
    X(get_env, "get-env", "[any-string! any-word!]") \
    X(list_env, "list-env", "") \
    X(now, "now", "/year /month /day /time /zone /date /weekday /yearday /precise /utc") \
    X(sign_q, "sign?", "[number! money! time!]") \
    X(as, "as", "[datatype! block! paren! any-path! any-string!] [block! paren! any-path! any-string!]") \
    X(call, "call", "[string! file!] /wait /show /console /shell /input [] /output [] /error []") \
    X(zero_q, "zero?", "[number! money! pair! time! char! tuple! any-point!]") \
    X(size_q, "size?", "[file!]") \
    X(browse, "browse", "[url! file!]") \
    X(compress, "compress", "[any-string! binary!] [word!]") \
    X(decompress, "decompress", "[binary!] [word!] /size [integer!]") \
    X(recycle, "recycle", "/on /off") \
    X(transcode, "transcode", "[string! binary!] /next /one /prescan /scan /part [integer! string!] /into [block!] /trace []") \
    X(apply, "apply", "[word! path! any-function!] [block!] /all /safer")

// Slot numbers (1-based): slot::if_ == 1 ... slot::apply == 107.
namespace slot {
enum : i32 {
    none_ = 0,
#define ORU_NATIVE_SLOT(name, word, shape) name,
    ORU_NATIVES(ORU_NATIVE_SLOT)
#undef ORU_NATIVE_SLOT
    count_plus_one
};
}  // namespace slot
constexpr i32 count = slot::count_plus_one - 1;
static_assert(count == 107, "107 natives in fixed slots");

// The word of a slot ("if" for 1), null outside 1-107.
const char* name_of(i32 slot);

// The shape of a slot (see ORU_NATIVES), null outside 1-107 or for a
// routine not built yet.
const char* shape_of(i32 slot);

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
