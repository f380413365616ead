// The evaluator's inner helpers, shared by its modules (evaluator.cpp,
// call.cpp, path.cpp, apply.cpp): cells of code read by node and index, the
// cached arguments description, the integer operators computed in place,
// the values read in place and the in-place operator chains. They are small
// and inline: the evaluator's hot roads call one another across its files,
// and each keeps these steps in its own body.
//
// Any evaluation may allocate and so move every buffer: what reads a buffer
// here reads it in place, and nothing read so is held across a call that can
// allocate or evaluate; values held across such calls sit on the data stack.
#pragma once

#include "interpreter/actions.h"
#include "interpreter/eval_words.h"
#include "interpreter/evaluator.h"
#include "interpreter/natives.h"
#include "interpreter/stack.h"
#include "interpreter/trace.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/function.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/native.h"
#include "runtime/datatypes/typeset.h"
#include "runtime/datatypes/word.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/words.h"

#include <emmintrin.h>

#include <algorithm>

namespace oru::interpreter::eval {

// --- Small helpers ---------------------------------------------------------

// Cells in use in a buffer of cells (every buffer the evaluator walks holds
// cells: blocks, parens, paths, specs, descriptions).
inline i32 length_of(Node n) {
    const SeriesBuffer* s = memory::buffer(n);
    return static_cast<i32>((s->tail - s->head) / sizeof(Cell));
}
// Cell i of a buffer of cells; valid until the next allocation.
inline Cell* cell_at(Node n, i32 i) { return memory::buffer(n)->cells() + i; }
inline Cell with_index(const Cell& series, i32 i) {
    Cell c = series;
    c.data1 = static_cast<u32>(i);
    return c;
}

// Closes the frame the road at hand opened, which is still open there
// (every road returns before this when pending is set, and whatever ran
// in between closed the frames it opened); the compiler is told so, and
// drops unwind's test of an empty frame stack.
inline void close_frame() {
    if (stack::frame_top == stack::frame_bottom) __builtin_unreachable();
    stack::unwind();
}
inline void close_frame_last() {
    if (stack::frame_top == stack::frame_bottom) __builtin_unreachable();
    stack::unwind_last();
}

inline bool callable_q(u32 t) {
    return t == type::native || t == type::action || t == type::function || t == type::routine;
}

// The two frame names that error reports skip.
inline const Cell& anon_name() { return words::word::tag_anon; }
inline const Cell& body_name() { return words::word::tag_body; }

// Cell i of a function's extra block; valid until the next allocation.
inline Cell* extra_at(const Cell& fn, i32 i) { return cell_at(function::extra_of(fn), i); }

// --- The arguments description -----------------------------------------------

// A native's refinement positions: at most this many refinements.
constexpr i32 max_refinements = static_cast<i32>(function::signature::most_refinements);

// The description and its signature (function::signature), as cached.
struct Description {
    Node node;
    u32 sig;
};

// Builds and caches the description of a native or action (a function's or
// routine's is made with it); the slow road of described.
Description build_description(const Cell& fn);

// The cached description is the second cell of the auxiliary block of a
// native or action, of the extra block of a function or routine.
inline Description described(const Cell& fn) {
    const u32 t = cell::type_of(fn);
    const Node holder = t == type::function || t == type::routine ? function::extra_of(fn) : native::auxiliary_of(fn);
    const Cell* cached = cell_at(holder, 1);
    if (cell::type_of(*cached) == type::block) [[likely]] {
        const Description d{cell::node(*cached), cached->data3};
        if (d.sig & function::signature::valid) [[likely]] return d;
        return {d.node, function::signature_of(d.node)};
    }
    return build_description(fn);
}
inline Node description_of(const Cell& fn) { return described(fn).node; }

// Every refinement of a native or action absent: one -1 per refinement.
// Returns the count (the positions go to refs).
inline i32 absent_refinements(u32 sig, i32* refs) {
    const i32 n = static_cast<i32>(function::signature::refinements(sig));
    if (n > max_refinements) fire(ErrorId::internal_not_done);
    for (i32 i = 0; i < n; i++) refs[i] = -1;
    return n;
}

// The function an op! wraps, as a value of the wrapped function's type.
inline Cell unwrap_op(const Cell& op_value) {
    Cell fn = op_value;
    cell::set_type(fn, op::wrapped_type(fn));
    fn.header &= ~flag::op_fn_type_mask;
    if (cell::type_of(fn) == type::function || cell::type_of(fn) == type::routine) {
        const Cell wrapped = *extra_at(fn, op::extra_function_cell);
        if (callable_q(cell::type_of(wrapped))) fn = wrapped;
    }
    return fn;
}

// --- Integer operators -------------------------------------------------------------

// An operator between two integer! values whose outcome needs no handler
// and no error: the evaluator computes it in place of the call, with no
// frame when the right operand is a literal or a word (integer_operand),
// in the operator's own frame when it must be evaluated first
// (integer_infix_known). What it computes is exactly what the wrapped action
// or native gives for two integers (integer.cpp's arithmetic core and
// compare handler); a case that could raise an error (a zero divisor,
// -2147483648 by -1) or any other operand type goes to the operator's
// routine, so every error still comes from inside the operator's frame.
enum class IntOp : u8 {
    none, add, subtract, multiply, divide, remainder, and_, or_, xor_,
    equal, not_equal, strict_equal, lesser, lesser_equal, greater, greater_equal,
};

// Which operation an op! performs on two integers, by the slot it wraps.
struct IntOpTables {
    IntOp action[action::count + 1]{};
    IntOp native[native::table_slots + 1]{};
    constexpr IntOpTables() {
        action[action::add] = IntOp::add;
        action[action::subtract] = IntOp::subtract;
        action[action::multiply] = IntOp::multiply;
        action[action::divide] = IntOp::divide;
        action[action::remainder] = IntOp::remainder;
        action[action::and_] = IntOp::and_;
        action[action::or_] = IntOp::or_;
        action[action::xor_] = IntOp::xor_;
        native[natives::slot::equal_q] = IntOp::equal;
        native[natives::slot::not_equal_q] = IntOp::not_equal;
        native[natives::slot::strict_equal_q] = IntOp::strict_equal;
        native[natives::slot::lesser_q] = IntOp::lesser;
        native[natives::slot::lesser_or_equal_q] = IntOp::lesser_equal;
        native[natives::slot::greater_q] = IntOp::greater;
        native[natives::slot::greater_or_equal_q] = IntOp::greater_equal;
    }
};
constexpr IntOpTables int_op_tables;

// The operation of the action or native in slot `slot_index` (the cell's
// first payload word) of the given type on two integers, else none.
[[gnu::always_inline]] inline IntOp int_op_for(u32 t, u32 slot_index) {
    const u32 slot = slot_index + 1;
    if (t == type::action) return slot <= action::count ? int_op_tables.action[slot] : IntOp::none;
    if (t == type::native)
        return slot <= static_cast<u32>(native::table_slots) ? int_op_tables.native[slot] : IntOp::none;
    return IntOp::none;
}
[[gnu::always_inline]] inline IntOp int_op_of(const Cell& op_value) {
    return int_op_for(op::wrapped_type(op_value), op_value.data1);
}

// An argument item that takes an evaluated integer!.
inline bool takes_integer(const Cell& item) {
    return cell::type_of(item) == type::typeset &&
           (item.header & function::arg_kind::mask) == function::arg_kind::word &&
           typeset::member_q(item, type::integer);
}

// Whether the op's own spec lets two integers through as its two evaluated
// arguments (a native made with another spec may not): the cached
// description, once the first ordinary call has built it. The in-place
// roads ask integer_op_of, which keeps what this finds per op.
[[gnu::always_inline]] inline bool integer_args_q(const Cell& op_value) {
    const Cell* cached = cell_at(native::auxiliary_of(op_value), 1);
    if (cell::type_of(*cached) != type::block) return false;
    if (cached->data3 & function::signature::valid) [[likely]]
        return (cached->data3 & function::signature::integer_pair) != 0;
    const Node desc = cell::node(*cached);
    const i32 length = length_of(desc);
    if (length < 2) return false;
    const Cell* items = cell_at(desc, 0);
    if (!takes_integer(items[0]) || !takes_integer(items[1])) return false;
    // No third argument before the refinements (an op's spec has two).
    for (i32 d = 2; d < length; d++) {
        const u32 t = cell::type_of(items[d]);
        if (t == type::refinement) break;
        if (t == type::typeset && (items[d].header & function::arg_kind::mask) != function::arg_kind::return_)
            return false;
    }
    return true;
}

// A paren computed in place to an integer! (evaluator.cpp).
bool paren_integer(const Cell& paren, i32& out, i32 kept);

// The operation an op! performs in place on two integers when its own spec
// lets them through (int_op_of and integer_args_q both hold), else none.
// What was found for an op is kept, one op per slot hash, with memory::moves
// as it was: an op's cell names its auxiliary block, whose cached
// description, once built, is never rebuilt or changed, and the block is
// that op's for as long as moves keeps its value (only a collection frees
// or renumbers a node). Only an op found to be one is kept: one whose
// description is not built yet may be one later.
struct KeptIntOp {
    Cell op{};
    u64 moves = ~u64{0};
    IntOp result = IntOp::none;
};

extern KeptIntOp kept_int_ops[8];
// Finds and keeps what an op! performs in place (the slow road).
IntOp find_int_op(const Cell& op_value);
// What is kept for op_value while it is current, else null.
[[gnu::always_inline]] inline const KeptIntOp* kept_int_op(const Cell& op_value) {
    const KeptIntOp& k = kept_int_ops[op_value.data1 & 7];
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&k.op));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&op_value));
    return _mm_movemask_epi8(_mm_cmpeq_epi32(a, b)) == 0xFFFF && k.moves == memory::moves ? &k : nullptr;
}
[[gnu::always_inline]] inline IntOp integer_op_of(const Cell& op_value) {
    if (const KeptIntOp* k = kept_int_op(op_value)) [[likely]] return k->result;
    return find_int_op(op_value);
}

// The value of the right operand at pc when reading it cannot raise
// anything and yields an integer!: an integer! literal, a word whose slot
// holds an integer!, or (with `parens`) a paren whose one expression is
// computed in place to an integer! (paren_integer). False otherwise.
// `cells` and `length` are the code block's, fetched by the caller with
// nothing evaluated since; the code may have shrunk below `end` while the
// left operand was evaluated.
template <bool parens>
inline bool integer_operand(const Cell* cells, i32 length, i32 pc, i32 end, i32& out, i32 kept) {
    if (pc >= end || pc >= length) return false;
    const Cell* v = cells + pc;
    const u32 t = cell::type_of(*v);
    if (t == type::word) {
        const Cell* slot = kept_slot(*v, kept);
        if (!slot) slot = quiet_slot(*v);
        if (!slot) return false;
        v = slot;
    } else if (t != type::integer) {
        if (parens && t == type::paren) return paren_integer(*v, out, kept);
        return false;
    }
    if (cell::type_of(*v) != type::integer) return false;
    out = static_cast<i32>(v->data2);
    return true;
}

// Stores the integer value into the cell, its header and other words kept
// (the arithmetic handlers write only the value word). The cell is written
// whole: it is read whole right after, and a narrow store followed by a wide
// load of the same cell stalls the processor.
inline void store_integer(Cell* c, i32 v) {
    const __m128i whole = _mm_set_epi32(static_cast<int>(c->data3), v, static_cast<int>(c->data1),
                                        static_cast<int>(c->header));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(c), whole);
}

// Computes `left op right` into the left operand's cell; false when the
// ordinary call must run instead. Without `calls`, false also for the cases
// the arithmetic core computes (an overflow, a division), so that the
// caller's road makes no call; its cell is then a local the compiler keeps
// in registers, where the value word is written alone.
template <bool calls = true>
[[gnu::always_inline]] inline bool integer_op(IntOp op, Cell* left, i32 r) {
    const auto store = [left](i32 v) __attribute__((always_inline)) {
        if constexpr (calls) store_integer(left, v);
        else left->data2 = static_cast<u32>(v);
    };
    const i32 l = static_cast<i32>(left->data2);
    // Add, subtract, multiply and the bitwise operators through the integer
    // core of the actions' fast paths (actions.h), which integer!'s own
    // handler shares.
    const auto arith = [&](i32 code) __attribute__((always_inline)) {
        i32 v;
        if (integer::math(code, l, r, &v)) [[likely]] {
            store(v);
            return true;
        }
        if (!calls) return false;
        *left = cell::float_(integer::overflow_value(code, l, r));
        return true;
    };
    switch (op) {
        case IntOp::add: return arith(integer::op::add);
        case IntOp::subtract: return arith(integer::op::subtract);
        case IntOp::multiply: return arith(integer::op::multiply);
        case IntOp::divide:
            if (!calls || r == 0 || (l == INT32_MIN && r == -1)) return false;  // the handler raises the error
            integer::do_math_op(l, r, integer::op::divide, left);
            return true;
        case IntOp::remainder:
            if (r == 0 || (l == INT32_MIN && r == -1)) return false;  // the handler raises the error
            store(l % r);  // the sign of l, as the handler gives it
            return true;
        case IntOp::and_: return arith(integer::op::and_);
        case IntOp::or_: return arith(integer::op::or_);
        case IntOp::xor_: return arith(integer::op::xor_);
        case IntOp::equal: *left = logic::make(integer::compare_values(actions::op::equal, l, r)); return true;
        case IntOp::strict_equal:
            *left = logic::make(integer::compare_values(actions::op::strict_equal, l, r));
            return true;
        case IntOp::not_equal: *left = logic::make(integer::compare_values(actions::op::not_equal, l, r)); return true;
        case IntOp::lesser: *left = logic::make(integer::compare_values(actions::op::lesser, l, r)); return true;
        case IntOp::lesser_equal:
            *left = logic::make(integer::compare_values(actions::op::lesser_equal, l, r));
            return true;
        case IntOp::greater: *left = logic::make(integer::compare_values(actions::op::greater, l, r)); return true;
        case IntOp::greater_equal:
            *left = logic::make(integer::compare_values(actions::op::greater_equal, l, r));
            return true;
        case IntOp::none: return false;
    }
    return false;
}

// --- Calls -----------------------------------------------------------------------

struct Call {
    Cell fn;
    Cell name;           // a word, or <anon>
    const Cell* path;    // refinements named by a path (elements after path_index), or null
    i32 path_index;
    Node object_ctx;     // the object a method was taken from, or 0
    bool infix;
};

// script/expect-arg for argument item d of the call.
[[noreturn]] void expect_arg(const Call& call, i32 d, const Cell& value);

// A typeset's bit array as register values: the bit for type t is bit
// (0x80 >> (t & 7)) of payload byte t >> 3, the bytes in memory order (the
// first eight are words 1 and 2, little-endian).
struct TypeBits {
    u64 low;   // types 0-63
    u32 high;  // types 64-95
    bool has(u32 t) const {
        if (t < 64) return (low >> ((t & ~7u) + 7 - (t & 7))) & 1;
        if (t < 96) return (high >> ((t & 0x18) + 7 - (t & 7))) & 1;
        return false;
    }
};
inline TypeBits type_bits(const Cell& ts) { return {ts.data1 | (u64{ts.data2} << 32), ts.data3}; }

inline void check_type(const Call& call, const Cell& ts, i32 d, const Cell& value) {
    if (!typeset::member_q(ts, cell::type_of(value))) [[unlikely]] expect_arg(call, d, value);
}

// The types eval_value pushes as they are (its `default` case).
constexpr u64 type_bit(u32 t) { return u64{1} << t; }
constexpr u64 active_types =
    type_bit(type::paren) | type_bit(type::set_word) | type_bit(type::set_path) | type_bit(type::get_word) |
    type_bit(type::lit_word) | type_bit(type::word) | type_bit(type::path) | type_bit(type::get_path) |
    type_bit(type::lit_path) | type_bit(type::op) | type_bit(type::native) | type_bit(type::action) |
    type_bit(type::function) | type_bit(type::routine) | type_bit(type::issue);
inline bool plain_q(u32 t) { return t >= 64 || !(active_types & type_bit(t)); }

// --- Values read in place ------------------------------------------------------

// The value the cell at `v` evaluates to when that takes no evaluation of
// its own: a value that stands for itself, or a word holding a value that is
// not called (nor unset, nor an op). Null when evaluation must run (it also
// raises the errors). Reads only.
inline const Cell* plain_read(const Cell* v) {
    const u32 t = cell::type_of(*v);
    if (t == type::word) {
        v = quiet_slot(*v);
        if (!v) return nullptr;
        const u32 vt = cell::type_of(*v);
        if (vt == type::unset || vt == type::op || callable_q(vt)) return nullptr;
        return v;
    }
    return plain_q(t) ? v : nullptr;
}
// The same, a word of the global context read through kept_slot.
inline const Cell* plain_read(const Cell* v, i32 kept) {
    if (cell::type_of(*v) == type::word) {
        if (const Cell* slot = kept_slot(*v, kept)) {
            const u32 vt = cell::type_of(*slot);
            return vt == type::unset || vt == type::op || callable_q(vt) ? nullptr : slot;
        }
    }
    return plain_read(v);
}

// `left op right`, the op named by the word w, the right operand the cell
// at `right` (read through kept_word_slot when it is a word), computed into
// `value` with no call when both are integers, the op's operation is kept
// (integer_op_of) and what is kept is current; false otherwise, with
// nothing done but reads. `left` is a value (read in place by the caller).
[[gnu::always_inline]] inline bool quick_op(const Cell& left, const Cell& w, const Cell* right, Cell& value) {
    if (cell::type_of(*right) == type::word) right = kept_word_slot(*right);
    if (!right || cell::type_of(left) != type::integer || cell::type_of(*right) != type::integer) return false;
    if (cell::type_of(w) != type::word || word::context_of(w) != globals.ctx || word::index_of(w) < 0 ||
        globals.moves != memory::moves)
        return false;
    const Cell& op = globals.cells[word::index_of(w)];
    const KeptIntOp* const k = cell::type_of(op) == type::op ? kept_int_op(op) : nullptr;
    if (!k) return false;
    value = left;
    return integer_op<false>(k->result, &value, static_cast<i32>(right->data2));
}

// The operators after a value, from pc, applied to `value` (a copy held
// aside: nothing is pushed) while each is an integer operator computed in
// place, its right operand read as integer_operand reads it. Returns the pc
// of the first cell not taken; `more` says whether it is an operator left
// to the ordinary road (else the expression ends there). Nothing here allocates, evaluates or
// raises, so `cells` stays current and stopping anywhere leaves the
// ordinary road the same state it would have reached itself.
template <bool parens>
[[gnu::always_inline]] inline i32 int_chain_from(Cell& value, const Cell* cells, i32 length, i32 pc, i32 end, bool& more,
                                                i32 kept) {
    const i32 limit = std::min(end, length);
    if (pc >= limit) return pc;
    // Walked by address: the cell after the last one taken is its own test,
    // with no count of the steps left to keep.
    const Cell* p = cells + pc;
    const Cell* const last = cells + limit - 1;
    for (;;) {
        const Cell& w = p[0];
        if (cell::type_of(w) != type::word) break;
        // A right operand that cannot be read in place (none, a path, a
        // call...): the ordinary road looks at the word, an operator or not.
        if (p == last) {
            more = true;
            break;
        }
        const Cell& r = p[1];
        const u32 rt = cell::type_of(r);
        if (rt != type::integer && rt != type::word && !(parens && rt == type::paren)) {
            more = true;
            break;
        }
        const Cell* op = kept_slot(w, kept);
        if (!op) op = op_peek(w);
        if (!op || cell::type_of(*op) != type::op) break;
        // integer_operand's steps, the bounds and the operand's kind known.
        more = true;
        if (cell::type_of(value) != type::integer) break;
        i32 right;
        if (rt == type::integer) {
            right = static_cast<i32>(r.data2);
        } else if (!parens || rt == type::word) {
            const Cell* slot = kept_slot(r, kept);
            if (!slot) slot = quiet_slot(r);
            if (!slot || cell::type_of(*slot) != type::integer) break;
            right = static_cast<i32>(slot->data2);
        } else if (!paren_integer(r, right, kept)) {
            break;
        }
        const IntOp iop = integer_op_of(*op);
        if (iop == IntOp::none || !integer_op(iop, &value, right)) break;
        more = false;
        p += 2;
        if (p > last) break;
    }
    return static_cast<i32>(p - cells);
}
// The machine call only when a word follows.
template <bool parens>
[[gnu::always_inline]] inline i32 int_chain(Cell& value, const Cell* cells, i32 length, i32 pc, i32 end, bool& more,
                                           i32 kept) {
    more = false;
    if (pc >= end || pc >= length || cell::type_of(cells[pc]) != type::word) return pc;
    return int_chain_from<parens>(value, cells, length, pc, end, more, kept);
}

// Room on both stacks for every frame and cell the ordinary road opens and
// pushes on its way to a result computed in place (an operator's frame, a
// paren's two, a set-word's, and their few cells): the in-place roads run
// only with room to spare, so that an overflow is raised by the ordinary
// road exactly where it was.
inline bool room_q() { return stack::frame_end - stack::frame_top >= 8 && stack::end - stack::top >= 16; }

// stack::push(value) kept inline in the call roads, where the compiler would
// call it out of line. The cell is moved whole (one 16-byte load and
// store): copied word by word after a caller read some of its words, it
// took twice as many instructions.
[[gnu::always_inline]] inline Cell* push_inline(const Cell& value) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&value));
    Cell* const c = stack::push();
    _mm_storeu_si128(reinterpret_cast<__m128i*>(c), v);
    return c;
}

// The operators after the value at `start` (its left operand), from pc
// (evaluator.cpp): infix_general takes them on the ordinary road,
// infix_after first tries one computed with no call. Return the pc after
// them; pending may be set. The top is left at start + 1.
i32 infix_general(const Cell& code_value, i32 pc, i32 end, Cell* start);
i32 infix_after(const Cell& code, i32 pc, i32 end, Cell* start);

// An evaluated argument that needs no evaluation of its own: a value that
// stands for itself, or a word holding a value that is not called. It is
// pushed as eval_expression would push it, and the operators after it apply;
// returns the next pc (pending may be set), or -1 with nothing pushed when
// eval_expression must run (it also raises the errors). `in_place` off:
// the caller found the first right operand not readable in place.
[[gnu::always_inline]] inline i32 fetch_plain(bool no_infix, const Cell& code, i32 pc, i32 end, bool in_place = true) {
    if (general_road) return -1;
    SeriesBuffer* b = memory::buffer(cell::node(code));
    const i32 length = static_cast<i32>((b->tail - b->head) / sizeof(Cell));
    if (pc >= length) return -1;
    const Cell* cells = b->cells();
    const Cell* v = plain_read(cells + pc);
    if (!v) return -1;
    // An operator may follow unless the call is infix (its right operand
    // takes no operator): the value is its left operand.
    Cell* const start = stack::push(*v);
    if (!no_infix && pc + 1 < end && pc + 1 < length && cell::type_of(cells[pc + 1]) == type::word)
        return in_place ? infix_after(code, pc + 1, end, start) : infix_general(code, pc + 1, end, start);
    return pc + 1;
}

// Whether the value at pc may be computed in place (set_plain): false when
// the first operator's right operand cannot be read in place (a path, a
// call...), which sends the expression to the ordinary road before
// anything is read.
[[gnu::always_inline]] inline bool plain_shape_q(const Cell& code, i32 pc, i32 end) {
    SeriesBuffer* const b = memory::buffer(cell::node(code));
    const i32 limit = std::min(end, static_cast<i32>((b->tail - b->head) / sizeof(Cell)));
    if (pc + 2 >= limit) return true;
    const Cell* const cells = b->cells() + pc;
    if (cell::type_of(cells[1]) != type::word) return true;
    const u32 rt = cell::type_of(cells[2]);
    return rt == type::integer || rt == type::word || rt == type::paren;
}

// A set-word whose value is computed in place, stored in one step
// (evaluator.cpp): the next pc, or -1 with nothing done.
i32 set_plain(const Cell& set_word, const Cell& code, i32 pc, i32 end);
// The rest of a block whose first expression was computed without its
// frame (evaluator.cpp), run from the expression at i.
void block_rest(const Cell& block_value, i32 i);

// A path or get-path met as a value: its result is pushed (path.cpp).
i32 path_value(const Cell& path, const Cell& code, i32 pc, i32 end, bool get);
// The path walk (path.cpp): the path's value (or with `set`, `value` stored
// through it) is pushed; with get, a function met is not called.
i32 eval_path(const Cell& path, const Cell& code, i32 pc, i32 end, bool set, bool get, const Cell* value);

}  // namespace oru::interpreter::eval
