// The evaluator: expressions, calls, arguments, paths, and the pending
// unwinding of break, continue, return, exit and throw.
//
// Every value computed here is pushed on the data stack before anything
// else can run, and code is walked by node and index: evaluation may
// allocate, and any allocation may move every buffer. The arguments
// description of a callee is read one cell at a time by node and index for
// the same reason.
//
// The common cases take shorter roads that give exactly the general road's
// results and errors (the general road runs whenever tracing is on):
// operators between two integers are computed in place (no frame, no
// handler) unless the outcome could be an error; arguments that stand for
// themselves, or words holding values that are not called, are pushed
// without a nested evaluation; words of the global context and of the
// innermost running function are read through values kept at hand and
// checked against their context on every read; the cached arguments
// description carries a signature (function::signature) so that operators
// and callbacks need not walk it, and calls whose arguments are all
// evaluated take one loop over them (a function's body run in the same
// machine frame); a path naming one refinement of a function has it found
// during the walk of the description, and what the walk found is kept per
// description and refinement (checked against memory::moves on each use,
// and once that has changed, against the collection cycles run since); a
// path whose head word holds a function calls it without the path walk's
// set-up, and with what was kept for its refinement, when every argument is
// read in place, writes its cells and opens its frame in one go; arguments
// that need no evaluation of their own are taken in one run, integer
// operators computed in place after them included; `either` and `if` have
// a call road of their own that takes a plain condition (and the integer
// operators computed in place after it) and the blocks after it in one
// step, and run their block from the call itself, inside the native's
// frame; a chosen block that is one value computed in place (or starts with
// a set-word computed in place) is taken without opening its frame first,
// as nothing could see it; one integer operator between values read in
// place, in such a block or after an argument, is computed with no call at
// all while everything kept is current; a paren's two frames are opened and
// closed in one step, as are a call's frame and its result's move.
// Expression and either/if evaluation are inlined into their callers so
// that each level of interpreted recursion costs fewer machine frames.
#include "interpreter/evaluator.h"

#include "interpreter/actions.h"
#include "interpreter/natives.h"
#include "interpreter/natives_control.h"
#include "interpreter/natives_eval.h"
#include "runtime/budget.h"
#include "runtime/collector.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/function.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/native.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/object.h"
#include "runtime/datatypes/routine.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/typeset.h"
#include "runtime/datatypes/unset.h"
#include "runtime/datatypes/word.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/system_object.h"
#include "runtime/words.h"

#include <emmintrin.h>

#include <algorithm>
#include <vector>

namespace oru::interpreter {

u32 pending = 0;
u32 callback_bits = 0;
Cell current_code{type::unset, 0, 0, 0};
bool tracing = false;
bool trace_run = false;

namespace {

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

// --- Global words --------------------------------------------------------------------

// Most words the evaluator reads are bound in the global context, whose
// values are reached through two buffers (the context's, then its values
// block's), one load depending on the next. The evaluator keeps the address
// of the values block's buffer and of its first cell with memory::moves as
// it was then: while moves keeps that value, neither the buffer nor its head
// has moved (a collection, the block growing and a restarted runtime all
// bump it), so a read is the word's context compared with the kept one, one
// compare of moves and the slot's load. On a mismatch the slow road reads
// through the context again and refreshes what is kept. The node of the
// values block is the context's for its whole life.
// ctx is never a node (all ones) while nothing is kept, so that no word,
// not even an unbound one (context 0), matches it.
struct GlobalValues {
    Node ctx = ~0u;
    u64 moves = 0;
    const SeriesBuffer* buffer = nullptr;
    Cell* cells = nullptr;
};
GlobalValues globals;

[[gnu::noinline]] void refresh_globals() {
    globals = GlobalValues{};
    const Node ctx = context::global;
    if (!ctx) return;
    const Cell& c = *context::cell_of(ctx);
    // Only a values block of a context that is no object's: its slots are
    // read and written as they are.
    if ((c.header & context::on_stack) || context::kind_of(ctx) == context::kind::object) return;
    SeriesBuffer* b = memory::buffer(c.data2);
    globals = GlobalValues{ctx, memory::moves, b, b->cells()};
}

// The global values block when the word is bound there (slot resolved) and
// what is kept is current; else null. Only a word of the kept context
// refreshes what is kept here, so that words of other contexts pay one
// compare; word_slot and set_word_value take the first global word they
// meet while nothing is kept (or another global context is) and keep it.
inline const SeriesBuffer* global_values(const Cell& w) {
    if (word::context_of(w) == globals.ctx && word::index_of(w) >= 0) [[likely]] {
        if (globals.moves == memory::moves) [[likely]] {
            // Kept only with its buffer (refresh_globals), so never null
            // here: callers testing the result then need no second test.
            if (!globals.buffer) __builtin_unreachable();
            return globals.buffer;
        }
        refresh_globals();
    }
    return nullptr;
}

// On the slow road: keeps the global values when the word is a global one
// while they are not kept.
inline void keep_globals_for(const Cell& w) {
    const Node ctx = word::context_of(w);
    if (ctx != globals.ctx && ctx && ctx == context::global) [[unlikely]] refresh_globals();
}

// The innermost running function's context and where its values start on
// the data stack (run_function sets it right after it stores the values
// reference, and puts the outer one back), so that its words are read the
// same way. What is kept is current while stack::reference_writes keeps the
// value it had when it was made: every other write of a function context's
// values reference (a frame opened with mark_func, closed or dropped) bumps
// it. The evaluator's own writes keep it in step: run_function makes and
// restores the whole record, and land_on puts back only references of
// frames whose calls have ended, each the reference in force where the
// frame was opened. On a mismatch the context's cell is read again.
// ctx is never a node (all ones) while no function runs.
struct RunningFunction {
    Node ctx = ~0u;
    u32 ref = 0;       // the context's values reference: cell index + 1
    Cell* values = nullptr;
    u64 writes = stack::reference_writes;  // as it was when the record was made
};
RunningFunction running;

// Reads the running function's context cell again: the record is brought up
// to date when the context's values are on the stack, else null.
[[gnu::noinline]] Cell* refresh_running(const Cell& w) {
    const Cell& c = *context::cell_of(running.ctx);
    if (!(c.header & context::on_stack) || c.data2 == 0) return nullptr;
    running.ref = c.data2;
    running.values = stack::at_index(c.data2 - 1);
    running.writes = stack::reference_writes;
    return running.values + word::index_of(w);
}

[[gnu::always_inline]] inline Cell* running_slot(const Cell& w) {
    if (word::context_of(w) != running.ctx || word::index_of(w) < 0) return nullptr;
    if (running.writes != stack::reference_writes) [[unlikely]] return refresh_running(w);
    // A record naming a context always has its values (a place on the data
    // stack), so that a caller's test of the slot is no second test.
    if (!running.values) __builtin_unreachable();
    return running.values + word::index_of(w);
}

// context::get through the kept global values and running function.
inline Cell* word_slot(const Cell& w) {
    if (global_values(w)) [[likely]] return globals.cells + word::index_of(w);
    if (Cell* slot = running_slot(w)) return slot;
    keep_globals_for(w);
    return context::get(w);
}

// context::set through the kept global values and running function.
[[gnu::always_inline]] inline void set_word_value(Cell& w, const Cell& value) {
    if (global_values(w)) [[likely]] {
        globals.cells[word::index_of(w)] = value;
        return;
    }
    if (Cell* slot = running_slot(w)) {
        *slot = value;
        return;
    }
    keep_globals_for(w);
    context::set(w, value);
}

// The value a word reads for evaluation: unset raises script/no-value.
inline const Cell* lookup(const Cell& w) {
    const Cell* v = word_slot(w);
    if (cell::type_of(*v) == type::unset) [[unlikely]] fire(ErrorId::script_no_value, w);
    return v;
}

// The value of a bound word without raising anything (the infix lookahead):
// null when the word is unbound, unknown or its function is not running.
const Cell* peek_slow(const Cell& w, Node ctx, i32 i) {
    if (i < 0) {
        i = context::find_word(ctx, word::symbol_of(w), true);
        if (i < 0) return nullptr;
    }
    Cell* values = context::values(ctx);
    if (!values || i >= context::length(ctx)) return nullptr;
    return values + i;
}

// The common case reads the slot straight from a values block: its length
// is the word list's (a context's invariant), so the bound check needs no
// word-list lookup.
inline const Cell* peek(const Cell& w) {
    if (const SeriesBuffer* b = global_values(w)) [[likely]] {
        const i32 i = word::index_of(w);
        return i < static_cast<i32>((b->tail - b->head) / sizeof(Cell)) ? globals.cells + i : nullptr;
    }
    const Node ctx = word::context_of(w);
    if (ctx == 0) return nullptr;
    const i32 i = word::index_of(w);
    const Cell& c = *context::cell_of(ctx);
    if (i < 0 || (c.header & context::on_stack)) [[unlikely]]
        return peek_slow(w, ctx, i);
    const SeriesBuffer* vals = memory::buffer(c.data2);
    if (i >= static_cast<i32>((vals->tail - vals->head) / sizeof(Cell))) return nullptr;
    return reinterpret_cast<const Cell*>(const_cast<SeriesBuffer*>(vals)->head_ptr()) + i;
}

// Cell i of a function's extra block; valid until the next allocation.
inline Cell* extra_at(const Cell& fn, i32 i) { return cell_at(function::extra_of(fn), i); }

// Restores the values reference of the function context a frame called.
inline void restore_frame(const CallFrame& f) {
    if (f.fn_ctx && stack::kind_of(f) == frame_kind::function) context::cell_of(f.fn_ctx)->data2 = f.values;
}

// The argument base a frame's callee runs with: the base saved by the frame
// above it, or the current one for the top frame.
inline Cell* own_base(CallFrame* f) {
    return f + 1 < stack::frame_top ? stack::at_index(f[1].base) : stack::arguments;
}

// Drops every frame above f (restoring function contexts), leaves f open
// with arguments = top = its own argument base, and the result slot set.
void land_on(CallFrame* f, const Cell& result) {
    Cell* base = own_base(f);
    for (CallFrame* g = stack::frame_top; g-- > f + 1;) restore_frame(*g);
    stack::frame_top = f + 1;
    stack::arguments = stack::top = base;
    stack::set_last(result);
}

// --- Trace hook points -----------------------------------------------------

// Each hook point costs one test of `tracing` while no trace run delivers
// events; the delivery itself (the mask, the tracer call) is fire_event's,
// kept out of line so the hot paths carry only the test and a call.
enum class Event : u32 {
    init = 0x1, end = 0x2, prolog = 0x4, epilog = 0x8, enter = 0x10, exit = 0x20, open = 0x40,
    return_ = 0x80, fetch = 0x100, push = 0x200, set = 0x400, call = 0x800, error = 0x1000,
    throw_ = 0x2000, catch_ = 0x4000, expr = 0x8000,
};
[[gnu::noinline, gnu::cold]] void trace(Event e, const Cell* code, i32 pos, const Cell* ref, const Cell* value) {
    fire_event(static_cast<u32>(e), code, pos, ref, value);
}
// ORDER TRACE EVENTS: the bits are interpreter::event's.
static_assert(static_cast<u32>(Event::init) == event::init && static_cast<u32>(Event::error) == event::error &&
              static_cast<u32>(Event::expr) == event::expr && static_cast<u32>(Event::set) == event::set);
#define ORU_TRACE(...) \
    do {                                \
        if (tracing) [[unlikely]]       \
            trace(__VA_ARGS__);         \
    } while (0)

// --- The arguments description -----------------------------------------------

// A native's refinement positions: at most this many refinements.
constexpr i32 max_refinements = static_cast<i32>(function::signature::most_refinements);

// The description and its signature (function::signature), as cached.
struct Description {
    Node node;
    u32 sig;
};

[[gnu::noinline]] Description build_description(const Cell& fn) {
    const u32 t = cell::type_of(fn);
    if (t == type::function || t == type::routine) {
        const Node desc = function::arguments(fn);
        return {desc, function::extra_cell(fn, 1)->data3};
    }
    const Node desc = function::build_arguments(cell::make(type::block, 0, native::spec_of(fn), 0), true);
    const u32 sig = function::signature_of(desc);
    *cell_at(native::auxiliary_of(fn), 1) = cell::make(type::block, 0, desc, sig);
    return {desc, sig};
}

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

// The spec word behind item d of the description (as a word!), for error
// messages: the description keeps one item per argument, refinement and
// return: of the spec, in spec order, up to /local.
Cell argument_word(const Cell& fn, i32 d) {
    const Node spec = fn.data2;
    i32 seen = 0;
    for (i32 i = 0; i < length_of(spec); i++) {
        Cell v = *cell_at(spec, i);
        const u32 t = cell::type_of(v);
        if (t == type::refinement && symbol::canonical(word::symbol_of(v)) == symbol::canonical(static_cast<i32>(words::refinement::local.data2)))
            break;
        if (t == type::word || t == type::get_word || t == type::lit_word || t == type::refinement ||
            t == type::set_word) {
            if (seen++ == d) {
                cell::set_type(v, type::word);
                return v;
            }
        }
    }
    return none::value;
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

[[gnu::always_inline]] inline IntOp int_op_of(const Cell& op_value) {
    const u32 wrapped = op::wrapped_type(op_value);
    const u32 slot = op_value.data1 + 1;
    if (wrapped == type::action) return slot <= action::count ? int_op_tables.action[slot] : IntOp::none;
    if (wrapped == type::native)
        return slot <= static_cast<u32>(native::table_slots) ? int_op_tables.native[slot] : IntOp::none;
    return IntOp::none;
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
KeptIntOp kept_int_ops[8];
[[gnu::noinline]] IntOp find_int_op(const Cell& op_value) {
    const IntOp op = int_op_of(op_value);
    if (op == IntOp::none || !integer_args_q(op_value)) return IntOp::none;
    kept_int_ops[op_value.data1 & 7] = KeptIntOp{op_value, memory::moves, op};
    return op;
}
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

// Within one computation that allocates nothing, what is kept of the global
// values, once found current, stays current: kept_globals makes
// global_values' check once and gives the count of values (-1 when the
// check fails or nothing is kept), and kept_slot then reads a word of the
// global context with the context test alone (null otherwise: the word
// goes the usual way). What is kept must be the global context's: then no
// read in between can refresh it (global_values refreshes only on a failed
// check or for a global context other than the kept one).
inline i32 kept_globals() {
    // ctx is all ones while nothing is kept, never the global context's node.
    if (globals.ctx != context::global) return -1;
    if (globals.moves != memory::moves) return -1;
    const SeriesBuffer* b = globals.buffer;
    return static_cast<i32>((b->tail - b->head) / sizeof(Cell));
}
inline Cell* kept_slot(const Cell& w, i32 kept) {
    const i32 i = word::index_of(w);
    return word::context_of(w) == globals.ctx && i >= 0 && i < kept ? globals.cells + i : nullptr;
}

// The slot a word reads without raising anything: through the kept global
// values or running function, else its context's values; null when the
// word is unbound or unresolved or its context has no values.
[[gnu::always_inline]] inline const Cell* quiet_slot(const Cell& w) {
    if (global_values(w)) [[likely]] return globals.cells + word::index_of(w);
    if (Cell* slot = running_slot(w)) return slot;
    const Node ctx = word::context_of(w);
    const i32 i = word::index_of(w);
    if (!ctx || i < 0) return nullptr;
    const Cell* values = context::values(ctx);
    return values ? values + i : nullptr;
}

// The value of a word that may hold an op!, as peek reads it: a global
// word's slot straight from the kept values, whose length its index is
// within (word_slot reads it the same way), else peek's.
[[gnu::always_inline]] inline const Cell* op_peek(const Cell& w) {
    if (global_values(w)) [[likely]] return globals.cells + word::index_of(w);
    return peek(w);
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
        if (actions::integer_math(code, l, r, &v)) [[likely]] {
            store(v);
            return true;
        }
        if (!calls) return false;
        *left = cell::float_(actions::integer_overflow(code, l, r));
        return true;
    };
    switch (op) {
        case IntOp::add: return arith(actions::math_code::add);
        case IntOp::subtract: return arith(actions::math_code::subtract);
        case IntOp::multiply: return arith(actions::math_code::multiply);
        case IntOp::divide:
            if (!calls || r == 0 || (l == INT32_MIN && r == -1)) return false;  // the handler raises the error
            integer::do_math_op(l, r, integer::op::divide, left);
            return true;
        case IntOp::remainder:
            if (r == 0 || (l == INT32_MIN && r == -1)) return false;  // the handler raises the error
            store(l % r);  // the sign of l, as the handler gives it
            return true;
        case IntOp::and_: return arith(actions::math_code::and_);
        case IntOp::or_: return arith(actions::math_code::or_);
        case IntOp::xor_: return arith(actions::math_code::xor_);
        case IntOp::equal: *left = logic::make(actions::integer_compare(actions::op::equal, l, r)); return true;
        case IntOp::strict_equal:
            *left = logic::make(actions::integer_compare(actions::op::strict_equal, l, r));
            return true;
        case IntOp::not_equal: *left = logic::make(actions::integer_compare(actions::op::not_equal, l, r)); return true;
        case IntOp::lesser: *left = logic::make(actions::integer_compare(actions::op::lesser, l, r)); return true;
        case IntOp::lesser_equal:
            *left = logic::make(actions::integer_compare(actions::op::lesser_equal, l, r));
            return true;
        case IntOp::greater: *left = logic::make(actions::integer_compare(actions::op::greater, l, r)); return true;
        case IntOp::greater_equal:
            *left = logic::make(actions::integer_compare(actions::op::greater_equal, l, r));
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

[[gnu::always_inline]] inline i32 call_value(Call& call, const Cell& code, i32 pc, i32 end);
i32 eval_path(const Cell& path, const Cell& code, i32 pc, i32 end, bool set, bool get, const Cell* value);
i32 path_value(const Cell& path, const Cell& code, i32 pc, i32 end, bool get);
inline i32 eval_value(const Cell& code, i32 pc, i32 end, bool passive, const Cell* first, bool& ended);
void paren_value(const Cell& paren);
[[gnu::always_inline]] inline i32 expression(const Cell& code_value, i32 pc, i32 end, bool no_infix, bool sub,
                                             bool passive, const Cell* first = nullptr, bool at_base = false);

[[noreturn]] void expect_arg(const Call& call, i32 d, const Cell& value) {
    fire(ErrorId::script_expect_arg, call.name, datatype::make(cell::type_of(value)), argument_word(call.fn, d));
}

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

// Fetches one argument of kind `kind` (pushed); returns the next pc.
i32 fetch_one(const Call& call, const Cell& ts_item, i32 d, const Cell& code, i32 pc, i32 end) {
    const Cell ts = ts_item;  // the item's buffer may move while the argument is evaluated
    const u32 kind = ts.header & function::arg_kind::mask;
    // The code ends at `end`, or sooner when an earlier argument cut it
    // short: the cells past its tail are no longer its values.
    if (pc >= end || pc >= length_of(cell::node(code))) {
        if (kind == function::arg_kind::lit_word && typeset::member_q(ts, type::unset)) {
            stack::push(unset::value);
            return pc;
        }
        fire(ErrorId::script_no_arg, call.name, argument_word(call.fn, d));
    }
    if (kind == function::arg_kind::word) {
        pc = eval_expression(code, pc, end, call.infix, true, false);
    } else if (kind == function::arg_kind::get_word) {
        stack::push(*cell_at(cell::node(code), pc++));
    } else {
        const Cell v = *cell_at(cell::node(code), pc);
        const u32 t = cell::type_of(v);
        if (t == type::paren) {
            // The paren stays on the stack while it runs: the code may lose
            // it meanwhile. Its value lands in the cell above, then in its place.
            Cell* const hold = stack::push(v);
            stack::mark_interp_native(anon_name());
            u32 c = eval_block(v, true);
            if (c) return pc + 1;
            stack::unwind();
            *hold = hold[1];
            stack::top = hold + 1;
        } else if (t == type::get_word) {
            word::push_value(v);
        } else if (t == type::get_path) {
            eval_path(v, code, pc, end, false, true, nullptr);
            if (pending) return pc + 1;
        } else {
            stack::push(v);
        }
        pc++;
    }
    return pc;
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

// A word's slot through the kept global values or running function when
// what is kept is current, with no call to bring it up to date; else null.
[[gnu::always_inline]] inline const Cell* kept_word_slot(const Cell& w) {
    const Node ctx = word::context_of(w);
    const i32 i = word::index_of(w);
    if (i < 0) return nullptr;
    if (ctx == globals.ctx && globals.moves == memory::moves) return globals.cells + i;
    if (ctx == running.ctx && running.writes == stack::reference_writes) return running.values + i;
    return nullptr;
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

// A paren that is one expression computed in place to an integer! (a plain
// value and integer operators whose right operands are read in place) gives
// that integer without its two frames: nothing in it can raise, trace or
// unwind, so nothing could see them. False when the paren must be evaluated.
[[gnu::noinline]] bool paren_integer(const Cell& paren, i32& out, i32 kept) {
    if (tracing || !room_q()) return false;
    SeriesBuffer* const b = memory::buffer(cell::node(paren));
    const i32 length = static_cast<i32>((b->tail - b->head) / sizeof(Cell));
    const i32 i = cell::head_index(paren);
    if (i < 0 || i >= length) return false;
    const Cell* const cells = b->cells();
    const Cell* v = plain_read(cells + i, kept);
    if (!v || cell::type_of(*v) != type::integer) return false;
    Cell value = *v;
    bool more;
    if (int_chain<false>(value, cells, length, i + 1, length, more, kept) < length) return false;
    if (cell::type_of(value) != type::integer) return false;
    out = static_cast<i32>(value.data2);
    return true;
}


// The ordinary call of an integer operator whose right operand was not an
// integer (or whose outcome needs the handler), in its open frame with both
// operands pushed: the right one is type-checked and the operator's routine
// runs, as fetch_args would have it. Out of line: the integer case is the
// one worth the room.
[[gnu::noinline]] void integer_infix_routine(const Cell& op_value, const Cell& name) {
    // The description was checked when the op passed integer_args_q: its
    // first two items take evaluated arguments; the left one is an
    // integer, which they accept.
    const Cell fn = unwrap_op(op_value);
    const Cell right = stack::arguments[1];
    const Description desc = described(fn);
    if (!typeset::member_q(*cell_at(desc.node, 1), cell::type_of(right)))
        expect_arg(Call{fn, name, nullptr, 0, 0, true}, 1, right);
    i32 refs[max_refinements];
    const i32 ref_count = absent_refinements(desc.sig, refs);
    if (cell::type_of(fn) == type::native) {
        const native::Entry entry = native::entry_of(fn);
        if (!entry) fire(ErrorId::internal_not_done);
        const u32 c = entry(false, ref_count ? refs : nullptr);
        if (c && !pending) pending = c;
    } else {
        const u32 slot_index = fn.data1;
        if (slot_index >= action::count || !actions::table[slot_index]) fire(ErrorId::internal_not_done);
        actions::table[slot_index](ref_count ? refs : nullptr);
    }
}

// An integer operator whose right operand must be evaluated (a call, a
// paren...): the ordinary call's steps without its general machinery. The
// operator's frame is opened as call_value opens it, so that whatever the
// right operand raises names the operator; two integers are then computed
// in place, anything else goes to integer_infix_routine. The caller found
// what the ordinary call would check first: `op` is the op's operation
// (integer_op_of), the left operand is an integer!,
// and the right operand's cell, at `right` (fetched with nothing evaluated
// since), is at pc, below end and the code's length. Returns the pc after
// the right operand (pending may be set).
[[gnu::always_inline]] inline i32 integer_infix_body(IntOp op, const Cell& op_value, const Cell& name,
                                                     const Cell& code, i32 pc, i32 end, Cell* left,
                                                     const Cell* right) {
    // The op's cell may move while the right operand is evaluated: a copy,
    // moved whole.
    __m128i op_cell = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&op_value));
    asm("" : "+x"(op_cell));  // kept whole (the compiler would copy it word by word)
    stack::top = left;
    stack::mark_interp_native(name);
    stack::top = stack::arguments + 1;
    if (cell::type_of(*right) == type::path) {
        // eval_value's step for a path, without its dispatch.
        const Cell path = *right;
        pc = path_value(path, code, pc, end, false);
        if (pending) return pc;
        stack::top = stack::arguments + 2;
    } else {
        pc = expression(code, pc, end, true, true, false, right);
        if (pending) return pc;
    }
    Cell* const args = stack::arguments;
    const bool in_place = cell::type_of(args[1]) == type::integer && integer_op(op, args, static_cast<i32>(args[1].data2));
    if (!in_place) [[unlikely]] {
        Cell op_copy;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(&op_copy), op_cell);
        integer_infix_routine(op_copy, name);
        if (pending) return pc;
    }
    close_frame();
    return pc;
}

// integer_infix_body out of line, for apply_infix.
[[gnu::noinline]] i32 integer_infix_known(IntOp op, const Cell& op_value, const Cell& name, const Cell& code, i32 pc,
                                          i32 end, Cell* left, const Cell* right) {
    return integer_infix_body(op, op_value, name, code, pc, end, left, right);
}

// The infix operators after the value at `start` (their left operand),
// from pc: while the next cell is a word holding an op!, the op applies to
// the value so far, which it replaces in place (see eval_expression). Returns
// the pc after the last right operand; when `pending` is set the caller
// stops. The top is left at start + 1.
[[gnu::always_inline]] inline i32 apply_infix(const Cell& code, i32 pc, i32 end, Cell* start) {
    while (pc < end) {
        // One fetch of the buffer for the length check and the cell.
        SeriesBuffer* const b = memory::buffer(cell::node(code));
        const i32 length = static_cast<i32>((b->tail - b->head) / sizeof(Cell));
        if (pc >= length) break;
        const Cell w = b->cells()[pc];
        if (cell::type_of(w) != type::word) break;
        const Cell* v = peek(w);
        if (!v || cell::type_of(*v) != type::op) break;
        if (!tracing) [[likely]] {
            // Nothing has run since b was fetched: its cells are current.
            const Cell* const cells = b->cells();
            // Computed in place when the right operand is read in place;
            // else the operator's own road for a right operand that must be
            // evaluated (or an outcome the handler gives).
            i32 next = -1;
            if (pc + 1 < end && pc + 1 < length && cell::type_of(*start) == type::integer) {
                const IntOp op = integer_op_of(*v);
                if (op != IntOp::none) {
                    i32 right;
                    if (integer_operand<false>(cells, length, pc + 1, end, right, -1) && integer_op(op, start, right))
                        next = pc + 2;
                    else
                        next = integer_infix_known(op, *v, w, code, pc + 1, end, start, cells + pc + 1);
                }
            }
            if (next >= 0) {
                stack::top = start + 1;
                pc = next;
                if (pending) return pc;
                continue;
            }
        }
        ORU_TRACE(Event::fetch, &code, pc, nullptr, &w);
        const Cell fn = unwrap_op(*v);
        stack::top = start + 1;  // the value so far is the left operand, in place
        Call call{fn, w, nullptr, 0, 0, true};
        pc = call_value(call, code, pc + 1, end);
        if (pending) return pc;
    }
    stack::top = start + 1;
    return pc;
}

// apply_infix out of line with no in-place attempt first, for a caller that
// knows the first operator's right operand cannot be read in place.
[[gnu::noinline]] i32 infix_general(const Cell& code_value, i32 pc, i32 end, Cell* start) {
    const Cell code = code_value;
    return apply_infix(code, pc, end, start);
}
// apply_infix out of line, for the value just pushed at `start`: the
// operators computed in place come first, on the pushed cell itself (a
// data-stack cell never moves), each word read on its own (the chains met
// here are short: checking the kept global values once first costs more
// than it saves). What is left goes to infix_general, so that this road
// saves and restores only the few registers the in-place operators need.
[[gnu::noinline]] i32 infix_chain(const Cell& code, i32 pc, i32 end, Cell* start) {
    if (!tracing) [[likely]] {
        SeriesBuffer* const b = memory::buffer(cell::node(code));
        const i32 length = static_cast<i32>((b->tail - b->head) / sizeof(Cell));
        bool more = false;
        pc = int_chain_from<false>(*start, b->cells(), length, pc, end, more, -1);
        if (!more) {
            stack::top = start + 1;
            return pc;
        }
    }
    return infix_general(code, pc, end, start);
}
// The same, with one operator whose right operand ends the expression (the
// code ends after it, or a value that is not a word follows) computed first
// with no call (quick_op), so that this road saves no registers.
[[gnu::noinline]] i32 infix_after(const Cell& code, i32 pc, i32 end, Cell* start) {
    if (!tracing) [[likely]] {
        SeriesBuffer* const b = memory::buffer(cell::node(code));
        const i32 limit = std::min(end, static_cast<i32>((b->tail - b->head) / sizeof(Cell)));
        const Cell* const cells = b->cells();
        Cell value;
        if (pc + 2 <= limit && (pc + 2 == limit || cell::type_of(cells[pc + 2]) != type::word) &&
            quick_op(*start, cells[pc], cells + pc + 1, value)) {
            // Written whole: the cell is read whole right after.
            _mm_storeu_si128(reinterpret_cast<__m128i*>(start), _mm_loadu_si128(reinterpret_cast<const __m128i*>(&value)));
            stack::top = start + 1;
            return pc + 2;
        }
    }
    return infix_chain(code, pc, end, start);
}

// An evaluated argument that needs no evaluation of its own: a value that
// stands for itself, or a word holding a value that is not called. It is
// pushed as eval_expression would push it, and the operators after it apply;
// returns the next pc (pending may be set), or -1 with nothing pushed when
// eval_expression must run (it also raises the errors). `in_place` off:
// the caller found the first right operand not readable in place.
[[gnu::always_inline]] inline i32 fetch_plain(bool no_infix, const Cell& code, i32 pc, i32 end, bool in_place = true) {
    if (tracing) return -1;
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

// The slot a set-word stores into when it is reached through the kept
// global values or the running function; else null.
inline Cell* set_slot(const Cell& set_word, i32 kept) {
    if (Cell* slot = kept_slot(set_word, kept)) return slot;
    if (global_values(set_word)) [[likely]] return globals.cells + word::index_of(set_word);
    return running_slot(set_word);
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

// A set-word whose value is computed in place (a value plain_read takes
// and the integer operators after it, int_chain, with nothing left to the
// ordinary road), its word reached through the kept global values or the
// running function: the value is stored and pushed as the set-word's
// result in one step. Its frame is not opened: nothing between could raise,
// trace or unwind, so nothing could see it, and with the room room_q asks
// for it could not have overflowed either. Returns the next pc, or -1 with
// nothing done when the ordinary road must run.
[[gnu::noinline]] i32 set_plain(const Cell& set_word, const Cell& code, i32 pc, i32 end) {
    if (tracing || !room_q()) return -1;
    const i32 kept = kept_globals();
    SeriesBuffer* const b = memory::buffer(cell::node(code));
    const i32 length = static_cast<i32>((b->tail - b->head) / sizeof(Cell));
    if (pc >= length) return -1;
    const Cell* const cells = b->cells();
    const Cell* const v = plain_read(cells + pc, kept);
    if (!v || cell::type_of(*v) == type::unset) return -1;
    Cell value = *v;
    bool more = false;
    if (pc + 1 < end && pc + 1 < length && cell::type_of(cells[pc + 1]) == type::word) {
        pc = int_chain_from<true>(value, cells, length, pc + 1, end, more, kept);
        if (more) return -1;
    } else {
        pc++;
    }
    Cell* const slot = set_slot(set_word, kept);
    if (!slot) return -1;
    *slot = value;
    stack::push(value);
    return pc;
}

// Fetches argument item d (of the given kind) of the description.
[[gnu::always_inline]] inline i32 fetch_arg(const Call& call, Node desc, i32 d, u32 kind, const Cell& code, i32 pc,
                                            i32 end) {
    if (kind == function::arg_kind::word && pc < end) [[likely]] {
        const i32 next = fetch_plain(call.infix, code, pc, end);
        if (next >= 0) return next;
        // An earlier argument may have cut the code short: fetch_one then
        // reports the missing argument.
        if (pc < length_of(cell::node(code))) [[likely]]
            return eval_expression(code, pc, end, call.infix, true, false);
    }
    return fetch_one(call, *cell_at(desc, d), d, code, pc, end);
}

// Fetches argument item d (of the given kind) and checks its type against
// the item, whose accepted types are taken first: the description's buffer
// may move while the argument is evaluated. Returns the next pc; the caller
// tests pending (nothing is checked then).
[[gnu::always_inline]] inline i32 fetch_checked(const Call& call, Node desc, i32 d, u32 kind, const Cell& code,
                                                i32 pc, i32 end) {
    const TypeBits accepted = type_bits(*cell_at(desc, d));
    pc = fetch_arg(call, desc, d, kind, code, pc, end);
    if (pending) [[unlikely]] return pc;
    const Cell& value = *(stack::top - 1);
    if (!accepted.has(cell::type_of(value))) [[unlikely]] expect_arg(call, d, value);
    return pc;
}

// The arguments of the refinement at description item `found`: the
// typesets after it up to the next refinement, each fetched and
// type-checked. A function's go into the slots after its flag (flag_slot);
// a native's stay pushed (flag_slot -1). Returns the next pc; the caller
// tests pending.
[[gnu::always_inline]] inline i32 refinement_args(const Call& call, Node desc, i32 found, i32 flag_slot,
                                                  const Cell& code, i32 pc, i32 end) {
    const i32 desc_items = length_of(desc);
    i32 k = 1;
    for (i32 d = found + 1; d < desc_items; d++) {
        const Cell* item = cell_at(desc, d);
        if (cell::type_of(*item) != type::typeset) break;
        const u32 kind = item->header & function::arg_kind::mask;
        if (kind == function::arg_kind::return_) continue;
        pc = fetch_checked(call, desc, d, kind, code, pc, end);
        if (pending) [[unlikely]] return pc;
        if (flag_slot >= 0) stack::arguments[flag_slot + k] = *--stack::top;
        k++;
    }
    return pc;
}

// Refinements named by the path, in the path's order (call.path is set),
// after the fixed arguments and default slots: a function's flag turns true
// and its arguments replace the none slots; a native's or action's position
// goes to refs (one per refinement, -1 while absent). Returns the next pc;
// the caller tests pending.
i32 path_refinements(const Call& call, Node desc, bool native_like, i32* refs, const Cell& code, i32 pc, i32 end) {
    const Node pn = cell::node(*call.path);
    const i32 plen = length_of(pn);
    for (i32 p = call.path_index + 1; p < plen; p++) {
        const Cell el = *cell_at(pn, p);
        const u32 et = cell::type_of(el);
        if (et != type::word && et != type::get_word) fire(ErrorId::script_bad_refine, el);
        if (et == type::get_word && !logic::truth(*word_slot(el))) continue;
        // Find the refinement and the stack slot of its first argument.
        // The same symbol needs no canonical lookup.
        const i32 sym = word::symbol_of(el);
        i32 want = 0;
        bool want_known = false;
        i32 slot = 0, found = -1, ordinal = 0;
        const i32 desc_items = length_of(desc);
        // Nothing in the search allocates: the items are read in place.
        const Cell* const items = cell_at(desc, 0);
        for (i32 d = 0; d < desc_items; d++) {
            const Cell& item = items[d];
            const u32 it = cell::type_of(item);
            if (it == type::refinement) {
                ordinal++;
                const i32 item_sym = word::symbol_of(item);
                if (item_sym != sym && !want_known) {
                    want = symbol::canonical(sym);
                    want_known = true;
                }
                if (item_sym == sym || symbol::canonical(item_sym) == want) {
                    found = d;
                    break;
                }
                slot++;
            } else if (it == type::typeset) {
                if ((item.header & function::arg_kind::mask) != function::arg_kind::return_) slot++;
            }
        }
        if (found < 0) {
            Cell r = el;
            cell::set_type(r, type::word);
            fire(ErrorId::script_no_refine, call.name, r);
        }
        if (native_like) {
            i32& pos = refs[ordinal - 1];
            if (pos >= 0) fire(ErrorId::script_dup_refine, *call.path);
            pos = static_cast<i32>(stack::top - stack::arguments);
        } else {
            Cell* flag = stack::arguments + slot;
            if (cell::type_of(*flag) == type::logic && logic::get(*flag))
                fire(ErrorId::script_dup_refine, *call.path);
            *flag = logic::true_value;
        }
        pc = refinement_args(call, desc, found, native_like ? -1 : slot, code, pc, end);
        if (pending) [[unlikely]] return pc;
    }
    return pc;
}

// Collects the arguments described for call.fn (the frame is open) and, for
// natives and actions, makes the call. Returns the next pc.
i32 fetch_args(Call& call, const Cell& code, i32 pc, i32 end) {
    const u32 t = cell::type_of(call.fn);
    const bool native_like = t == type::native || t == type::action;
    const Node desc = description_of(call.fn);
    i32 refs[max_refinements];
    i32 ref_count = 0;
    i32 locals = 0;
    bool active = true;
    bool first = true;
    // Fixed arguments and, for functions and routines, the default slots.
    // Items are read in place and read again after each fetch, which may
    // evaluate and so move the description's buffer; its length never changes.
    const i32 desc_length = length_of(desc);
    for (i32 d = 0; d < desc_length; d++) {
        const Cell* item = cell_at(desc, d);
        const u32 it = cell::type_of(*item);
        if (it == type::typeset) {
            const u32 kind = item->header & function::arg_kind::mask;
            if (kind == function::arg_kind::return_) continue;
            if (active) {
                // The accepted types, taken now: the description's buffer
                // may move while the argument is evaluated.
                const TypeBits accepted = type_bits(*item);
                if (!(first && call.infix)) {
                    pc = fetch_arg(call, desc, d, kind, code, pc, end);
                    if (pending) return pc;
                }
                const Cell& value = *(stack::top - 1);
                if (!accepted.has(cell::type_of(value))) [[unlikely]] expect_arg(call, d, value);
                first = false;
            } else if (!native_like) {
                stack::push(none::value);
            }
        } else if (it == type::refinement) {
            active = false;
            if (native_like) {
                if (ref_count >= max_refinements) fire(ErrorId::internal_not_done);
                refs[ref_count++] = -1;
            } else {
                stack::push(logic::false_value);
            }
        } else if (it == type::integer && !native_like) {
            locals = static_cast<i32>(item->data2);
        }
    }
    // Refinements named by the path, in the path's order.
    if (call.path) {
        pc = path_refinements(call, desc, native_like, refs, code, pc, end);
        if (pending) return pc;
    }
    ORU_TRACE(Event::call, &code, pc, &call.name, &call.fn);
    // An operator whose right operand needed evaluating: two integers are
    // done here as in eval_expression, without the handler.
    if (call.infix && native_like && !tracing) {
        Cell* args = stack::arguments;
        if (cell::type_of(args[0]) == type::integer && cell::type_of(args[1]) == type::integer &&
            stack::top == args + 2) {
            const u32 slot = call.fn.data1 + 1;
            const IntOp op = t == type::action ? (slot <= action::count ? int_op_tables.action[slot] : IntOp::none)
                                               : (slot <= static_cast<u32>(native::table_slots)
                                                      ? int_op_tables.native[slot] : IntOp::none);
            if (op != IntOp::none && integer_op(op, args, static_cast<i32>(args[1].data2))) return pc;
        }
    }
    if (t == type::native) {
        const native::Entry entry = native::entry_of(call.fn);
        if (!entry) fire(ErrorId::internal_not_done);
        // either and if run their block from here, as their natives would
        // (same frame, same result), without the native's machine frame.
        if (entry == natives::either) {
            Cell* args = stack::arguments;
            if (cell::type_of(args[0]) == type::unset) [[unlikely]] logic::truth_strict(args[0]);
            Cell* branch = logic::truth(args[0]) ? args + 1 : args + 2;
            stack::top = branch + 1;
            (void)eval_block(*branch, true);
            return pc;
        }
        if (entry == natives::if_) {
            Cell* args = stack::arguments;
            if (!logic::truth(args[0])) {
                stack::set_result(none::value);
                return pc;
            }
            stack::top = args + 2;
            (void)eval_block(args[1], true);
            return pc;
        }
        const u32 c = entry(false, ref_count ? refs : nullptr);
        if (c && !pending) pending = c;
    } else if (t == type::action) {
        const u32 slot_index = call.fn.data1;
        if (slot_index >= action::count || !actions::table[slot_index]) fire(ErrorId::internal_not_done);
        actions::table[slot_index](ref_count ? refs : nullptr);
    } else if (t == type::function) {
        if (locals > 0) function::init_locals(locals);
    } else if (locals > 0) {
        function::init_locals(locals);  // a routine's
    }
    return pc;
}

// Checks a plain routine's argument cells against the type blocks of its
// spec, walked in step with the slots (arguments, refinement flags and
// refinement arguments in spec order, up to /local). A type block's first
// value must be a word; any-type! accepts everything, a typeset! by its bit,
// a datatype! by equality. The none placeholders of a refinement that is
// off are not checked: they stand for arguments never given. Returns the
// count of argument slots (locals excluded).
[[gnu::noinline]] i32 check_routine_args(const Cell& r, const Cell& name, i32 available) {
    const Node spec = function::spec_of(r);
    const i32 any_type = symbol::canonical(words::sym::any_type);
    i32 slot = 0;
    bool active = true;
    for (i32 i = 0; i < length_of(spec) && slot < available; i++) {
        const Cell item = *cell_at(spec, i);
        const u32 it = cell::type_of(item);
        if (it == type::refinement) {
            if (symbol::canonical(word::symbol_of(item)) ==
                symbol::canonical(static_cast<i32>(words::refinement::local.data2)))
                break;
            active = logic::truth(stack::arguments[slot]);
            slot++;
            continue;
        }
        if (it != type::word && it != type::get_word && it != type::lit_word) continue;
        const i32 arg = slot++;
        // The argument's type block follows it, past a doc string.
        i32 at = i + 1;
        if (at < length_of(spec) && cell::type_of(*cell_at(spec, at)) == type::string) at++;
        if (!active || at >= length_of(spec)) continue;
        const Cell types = *cell_at(spec, at);
        if (cell::type_of(types) != type::block) continue;
        const Node tn = cell::node(types);
        const i32 th = cell::head_index(types);
        if (th >= length_of(tn)) continue;
        const Cell first = *cell_at(tn, th);
        if (cell::type_of(first) != type::word) fire(ErrorId::script_invalid_type_spec, first);
        if (symbol::canonical(word::symbol_of(first)) == any_type) continue;
        const Cell accepted = *lookup(first);
        const Cell value = stack::arguments[arg];
        const u32 vt = cell::type_of(value);
        bool ok;
        if (cell::type_of(accepted) == type::typeset) ok = typeset::member_q(accepted, vt);
        else if (cell::type_of(accepted) == type::datatype) ok = datatype::get(accepted) == vt;
        else fire(ErrorId::script_invalid_type_spec, first);
        if (!ok) {
            Cell w = item;
            cell::set_type(w, type::word);
            fire(ErrorId::script_expect_arg, cell::type_of(name) == type::word ? name : anon_name(),
                 datatype::make(vt), w);
        }
    }
    return slot;
}

// Runs a routine! whose arguments are in the current frame.
[[gnu::noinline]] void call_routine(const Cell& r, const Cell& name) {
    const routine::Entry entry = routine::entry(function::extra_cell(r, function::extra::entry)->data2);
    if (!entry) fire(ErrorId::internal_not_done);
    i32 n = static_cast<i32>(stack::top - stack::arguments);
    constexpr i32 max_args = 32;
    if (n > max_args) fire(ErrorId::internal_not_done);
    routine::Machine args[max_args];
    if (r.header & routine::external) {
        for (i32 i = 0; i < n; i++) args[i].cell = stack::arguments + (n - 1 - i);
        stack::mark_native(body_name());
        // A routine that hands back no cell gives unset rather than a read
        // through a null address.
        const Cell* const given = entry(args, n).cell;
        const Cell result = given ? *given : unset::value;
        stack::unwind();
        stack::set_last(result);
        return;
    }
    n = check_routine_args(r, name, n);
    for (i32 i = 0; i < n; i++) {
        Cell* a = stack::arguments + i;
        switch (cell::type_of(*a)) {
            case type::logic: args[i].integer = logic::get(*a) ? 1 : 0; break;
            case type::integer: args[i].integer = static_cast<i32>(a->data2); break;
            case type::float_: args[i].float_ = cell::get_float(*a); break;
            default: args[i].cell = a; break;
        }
    }
    const u32 rt = routine::return_type(r);
    const routine::Machine m = entry(args, n);
    if (rt == routine::return_logic) stack::set_last(logic::make(m.integer != 0));
    else if (rt == routine::return_integer) stack::set_last(cell::integer(m.integer));
    else if (rt == routine::return_float) stack::set_last(cell::float_(m.float_));
}

// Runs a function!'s body in the frame its caller opened, with its
// arguments pushed. Returns the pending code. Inlined into the direct call
// road; everyone else goes through run_function. A caller that opened the
// frame with the body flag set and fetched the context's cell (nothing
// allocating since), while tracing is off, passes that cell (`opened`); it
// closes the frame as soon as the body ends, so that the body flag is left
// as it is there (no one reads the flag of a closed frame).
template <bool opened = false>
[[gnu::always_inline]] inline u32 run_body(const Cell& fn, const Cell& name, Cell* opened_cell = nullptr) {
    const Node ctx = function::context_of(fn);
    // The context's cell, fetched once: nothing allocates before the body runs.
    Cell* const ctx_cell = opened ? opened_cell : context::cell_of(ctx);
    const u32 saved = ctx_cell->data2;
    const u32 ref = stack::index_of(stack::arguments) + 1;
    ctx_cell->data2 = ref;
    const RunningFunction outer = running;
    if (!(ctx_cell->header & context::on_stack)) [[unlikely]] {
        running = RunningFunction{};
    } else {
        running.ctx = ctx;
        running.ref = ref;
        running.values = stack::arguments;
        running.writes = stack::reference_writes;
    }
    // The caller's frame is the top one (stack::set_body_flag without its
    // test for an empty frame stack).
    if (stack::frame_top == stack::frame_bottom) __builtin_unreachable();
    if (!opened) stack::frame_top[-1].header |= frame_flag::body;
    const bool was_tracing = tracing;
    const bool flagged = (fn.header & function::attribute::mask) != 0;
    if (flagged) [[unlikely]] {
        if (fn.header & function::attribute::trace) tracing = trace_run;
        else if (fn.header & function::attribute::no_trace) tracing = false;
    }
    const Cell body = *extra_at(fn, function::extra::body);
    // A caller that `opened` runs while tracing is off: only a trace
    // attribute can have turned it on.
    if (!opened || flagged) ORU_TRACE(Event::prolog, &body, -1, &name, &fn);
    u32 code = 0;
    try {
        if (cell::type_of(body) == type::block) code = eval_block(body, true);
        else stack::set_result(unset::value);
    } catch (const SystemThrow& t) {
        if (t.code != throw_code::return_ && t.code != throw_code::exit) {
            context::cell_of(ctx)->data2 = saved;
            running = outer;
            if (flagged) tracing = was_tracing;
            throw;
        }
        runtime.pending_code = 0;
        code = t.code;
    }
    if (tracing) [[unlikely]] {
        // The tracer runs with no code pending; the body's is kept aside.
        const u32 kept = pending;
        pending = 0;
        trace(Event::epilog, &body, -1, &name, &fn);
        pending = kept;
    }
    if (flagged) tracing = was_tracing;
    context::cell_of(ctx)->data2 = saved;
    running = outer;
    if (code == throw_code::return_ || code == throw_code::exit) {
        pending = 0;
        code = 0;
        stack::top = stack::arguments + 1;
    }
    if (code) return code;
    if (stack::frame_top == stack::frame_bottom) __builtin_unreachable();
    if (!opened) stack::frame_top[-1].header &= ~frame_flag::body;
    return 0;
}

// run_body out of line (call_value's general road, call_plain, apply).
// Inlined, its unwinding state made every call_value, native calls
// included, save more registers.
[[gnu::noinline]] u32 run_function(const Cell& fn, const Cell& name) { return run_body(fn, name); }

// The open event's value: the function's name, or without one the cell
// that named the call (the one before its arguments).
[[gnu::noinline, gnu::cold]] void trace_open(const Call& call, const Cell& code, i32 pc) {
    Cell named = call.name;
    const bool unnamed = cell::type_of(named) != type::word || named.data2 == anon_name().data2;
    if (unnamed && pc > 0 && pc <= length_of(cell::node(code)))
        named = *cell_at(cell::node(code), pc - 1);
    trace(Event::open, &code, pc, nullptr, &named);
}

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

// The arguments of a direct description (function::signature::direct):
// items `from` to arity - 1, each evaluated and checked against its typeset,
// as fetch_args takes them. Returns the next pc; the caller tests pending.
// Arguments that need no evaluation of their own (plain_read's values) are
// taken in one run, fetch_plain's steps with the code's and the
// description's cells read in place: nothing between them allocates or
// evaluates. Operators after such an argument are applied as fetch_plain
// applies them; the run goes on when they were all computed in place, and
// ends (the cells read afresh after) when the ordinary road applied some.
// It also ends at an argument that must be evaluated (eval_expression, as
// fetch_arg would call it).
[[gnu::always_inline]] inline i32 fetch_items(const Call& call, Node desc, i32 from, i32 arity, const Cell& code,
                                              i32 pc, i32 end) {
    i32 d = from;
    while (d < arity) {
        if (!tracing && pc < end) [[likely]] {
            SeriesBuffer* const b = memory::buffer(cell::node(code));
            const i32 limit = std::min(end, static_cast<i32>((b->tail - b->head) / sizeof(Cell)));
            const Cell* const cells = b->cells();
            const Cell* const items = cell_at(desc, 0);
            const Cell* v = nullptr;
            while (pc < limit) {
                v = plain_read(cells + pc);
                if (!v) break;
                Cell* const value = push_inline(*v);
                if (!call.infix && pc + 1 < limit && cell::type_of(cells[pc + 1]) == type::word) {
                    // Operators may follow: they apply to the pushed value
                    // as infix_after applies them, those computed in place
                    // first. When they all were, nothing has run and the
                    // cells are still current.
                    bool more = false;
                    pc = int_chain_from<false>(*value, cells, limit, pc + 1, end, more, -1);
                    if (more) {
                        pc = infix_general(code, pc, end, value);
                        if (pending) [[unlikely]] return pc;
                        if (!type_bits(*cell_at(desc, d)).has(cell::type_of(*value))) [[unlikely]]
                            expect_arg(call, d, *value);
                        break;
                    }
                    if (!type_bits(items[d]).has(cell::type_of(*value))) [[unlikely]] expect_arg(call, d, *value);
                    if (++d >= arity) return pc;
                    v = nullptr;
                    continue;
                }
                if (!type_bits(items[d]).has(cell::type_of(*value))) [[unlikely]] expect_arg(call, d, *value);
                pc++;
                if (++d >= arity) return pc;
                v = nullptr;
            }
            if (v) {
                d++;  // taken with its operators
                continue;
            }
            if (pc < limit) {
                // plain_read declined: the argument is evaluated.
                pc = eval_expression(code, pc, end, call.infix, true, false);
                if (pending) [[unlikely]] return pc;
                const Cell& value = *(stack::top - 1);
                if (!type_bits(*cell_at(desc, d)).has(cell::type_of(value))) [[unlikely]] expect_arg(call, d, value);
                d++;
                continue;
            }
        }
        // The accepted types, taken now: the description's buffer may move
        // while the argument is evaluated.
        pc = fetch_checked(call, desc, d, function::arg_kind::word, code, pc, end);
        if (pending) [[unlikely]] return pc;
        d++;
    }
    return pc;
}

[[gnu::always_inline]] inline i32 fetch_direct(const Call& call, Node desc, u32 sig, i32 from, const Cell& code,
                                               i32 pc, i32 end) {
    return fetch_items(call, desc, from, function::signature::arity(sig), code, pc, end);
}

// fetch_items out of line, for the rare roads of a caller that has it inline.
[[gnu::noinline]] i32 fetch_items_apart(const Call& call, Node desc, i32 from, i32 arity, const Cell& code, i32 pc,
                                        i32 end) {
    return fetch_items(call, desc, from, arity, code, pc, end);
}

// The blocks of either or if (items arity - blocks to arity - 1, after the
// condition): when they are blocks in a row, their typesets take block!
// and no word follows the last (so that no operator could apply to it),
// they are pushed as they are in one step, as fetch_items would push them
// one by one; else fetch_items takes them. Returns the next pc; the caller
// tests pending.
[[gnu::always_inline]] inline i32 fetch_blocks(const Call& call, Node desc, i32 blocks, i32 arity, const Cell& code,
                                               i32 pc, i32 end) {
    if (!tracing && stack::end - stack::top > blocks) [[likely]] {
        SeriesBuffer* const b = memory::buffer(cell::node(code));
        const i32 limit = std::min(end, static_cast<i32>((b->tail - b->head) / sizeof(Cell)));
        const i32 after = pc + blocks;
        if (after <= limit && (after == limit || cell::type_of(b->cells()[after]) != type::word)) {
            const Cell* const cells = b->cells() + pc;
            const Cell* const items = cell_at(desc, arity - blocks);
            bool taken = true;
            for (i32 k = 0; k < blocks; k++)
                taken = taken && cell::type_of(cells[k]) == type::block && type_bits(items[k]).has(type::block);
            if (taken) [[likely]] {
                Cell* const to = stack::top;
                for (i32 k = 0; k < blocks; k++) to[k] = cells[k];
                stack::top = to + blocks;
                return after;
            }
        }
    }
    return fetch_items_apart(call, desc, arity - blocks, arity, code, pc, end);
}

// The result slot of a closed call replaces the function value pushed
// below its frame.
inline void take_result() {
    Cell* result = stack::top - 1;
    result[-1] = *result;
    stack::top = result;
}
// Closes a call's frame (still open, as for close_frame) and lets its result
// take the function value's place: close_frame then take_result in one
// step, the return event between them delivered while tracing.
[[gnu::always_inline]] inline void close_call(const Cell& code, i32 pc, const Cell& name) {
    if (tracing) [[unlikely]] {
        close_frame();
        trace(Event::return_, &code, pc, &name, stack::top - 1);
        take_result();
        return;
    }
    if (stack::frame_top == stack::frame_bottom) __builtin_unreachable();
    Cell* const result = stack::arguments;
    stack::arguments = stack::bottom + (--stack::frame_top)->base;
    result[-1] = *result;
    stack::top = result;
}

// The block either or if chose, run in the native's frame as eval_block
// runs it (its result in the frame's result slot). A block that is one
// value read in place, with integer operators computed in place after it
// (`[n]`, `[n + 1]`), gives that value without its block frame: nothing in
// it can raise, trace or unwind, so nothing could see the frame (room_q
// leaves any overflow to eval_block). A block whose first expression is a
// set-word computed in place (set_plain) has it computed before the frame
// is opened, for the same reason; the rest of the block, if any, then runs
// in the frame opened where eval_block would have opened it. True when the
// block was run here, false when eval_block must run it whole (nothing done).
// `cells` and `length` are the block's, i its head (below length), fetched
// by the caller with nothing evaluated since.
void block_rest(const Cell& block_value, i32 i);
[[gnu::noinline]] bool branch_block(const Cell& block, const Cell* const cells, i32 i, i32 length) {
    if (!room_q()) return false;
    if (cell::type_of(cells[i]) == type::set_word) {
        if (i + 1 >= length || !plain_shape_q(block, i + 1, length)) return false;
        const Cell set_word = cells[i];
        Cell* const start = stack::top;
        const i32 next = set_plain(set_word, block, i + 1, length);
        if (next < 0) return false;
        stack::top = start;
        if (next >= length) {
            stack::set_last(*start);
            return true;
        }
        block_rest(block, next);
        return true;
    }
    if (i + 3 == length) {
        // One operator between two values (`[x * k]`, `[n + 1]`): int_chain's
        // steps for one operator, with no walk to keep.
        if (cell::type_of(cells[i + 1]) != type::word) return false;
        const Cell* const left = plain_read(cells + i);
        if (!left || cell::type_of(*left) != type::integer) return false;
        const Cell& r = cells[i + 2];
        i32 right;
        if (cell::type_of(r) == type::integer) {
            right = static_cast<i32>(r.data2);
        } else {
            if (cell::type_of(r) != type::word) return false;
            const Cell* const slot = quiet_slot(r);
            if (!slot || cell::type_of(*slot) != type::integer) return false;
            right = static_cast<i32>(slot->data2);
        }
        const Cell* const op = op_peek(cells[i + 1]);
        if (!op || cell::type_of(*op) != type::op) return false;
        const IntOp iop = integer_op_of(*op);
        if (iop == IntOp::none) return false;
        Cell value = *left;
        if (!integer_op(iop, &value, right)) return false;
        stack::set_last(value);
        return true;
    }
    const Cell* const v = plain_read(cells + i);
    if (!v) return false;
    Cell value = *v;
    bool more;
    if (i + 1 < length && int_chain<false>(value, cells, length, i + 1, length, more, -1) < length) return false;
    stack::set_last(value);
    return true;
}

// branch_value: one integer operator between two values read in place
// (`[x * k]`, `[n + 1]`) computed with no call (quick_op), so that this road
// saves no registers; anything else goes to branch_block, which takes the
// block whole.
[[gnu::noinline]] bool branch_value(const Cell& block, const Cell* const cells, i32 i, i32 length) {
    if (i + 3 == length && room_q()) {
        const Cell* left = cells + i;
        if (cell::type_of(*left) == type::word) left = kept_word_slot(*left);
        Cell value;
        if (left && quick_op(*left, cells[i + 1], cells + i + 2, value)) {
            stack::set_last(value);
            return true;
        }
    }
    return branch_block(block, cells, i, length);
}
// The first cell decides whether branch_value is worth a call: a word or a
// value that stands for itself.
[[gnu::always_inline]] inline void run_branch(const Cell& block) {
    if (!tracing) [[likely]] {
        SeriesBuffer* const b = memory::buffer(cell::node(block));
        const i32 i = cell::head_index(block);
        const i32 length = static_cast<i32>((b->tail - b->head) / sizeof(Cell));
        if (i >= 0 && i < length) {
            const Cell* const cells = b->cells();
            const u32 t = cell::type_of(cells[i]);
            if (i + 1 == length && t != type::set_word) {
                // One value (`[n]`): branch_value's road without its call.
                const Cell* const v = room_q() ? plain_read(cells + i) : nullptr;
                if (v) {
                    stack::set_last(*v);
                    return;
                }
            } else if ((t == type::word || t == type::set_word || plain_q(t)) && branch_value(block, cells, i, length)) {
                return;
            }
        }
    }
    (void)eval_block(block, true);
}

// call_value's road for a function! with a direct description, called by a
// word or as a value (no path, not infix) while not tracing: the same
// frame, arguments, events and body run, without walking the description.
[[gnu::noinline]] i32 call_direct_function(Call& call, Node desc, u32 sig, const Cell& code, i32 pc, i32 end) {
    push_inline(call.fn);
    stack::mark_interp_func(call.name, function::context_of(call.fn));
    pc = fetch_direct(call, desc, sig, 0, code, pc, end);
    if (pending) [[unlikely]] return pc;
    ORU_TRACE(Event::call, &code, pc, &call.name, &call.fn);
    if (const i32 locals = function::signature::locals(sig)) function::init_locals(locals);
    if (run_body(call.fn, call.name)) return pc;
    close_call(code, pc, call.name);
    return pc;
}

// What the refined road's walk finds for a direct description and a path
// naming one refinement by a word of symbol `sym`, kept for the next call
// of the same kind: the cells pushed after the fixed arguments (a flag false
// or a none each), the named refinement's flag slot, its argument items and
// the /local count. A description never changes once built, and its node
// stays the same description until a collection frees or renumbers it (or
// the memory manager is set up again): path_value uses a plan while
// memory::moves keeps its value; the refined road also when no cycle has
// run since it was kept, under the same memory manager (plan_current), and
// then brings moves up to date, so that buffers growing between two calls
// cost one call on the refined road, not the plan. Kept only when the
// refinement's arguments are evaluated ones, in a row, and at most 64 cells
// follow the fixed arguments.
struct RefinedPlan {
    Node desc = 0;
    u32 generation = 0;  // memory::generation when kept
    u64 moves = ~u64{0};
    i32 sym = 0;
    i32 slots = 0;       // cells pushed after the fixed arguments
    u64 flags = 0;       // bit i set: the i-th of them is a refinement's flag
    i32 found_slot = 0;  // the named refinement's flag, from stack::arguments
    i32 first_arg = 0;   // its argument items: first_arg to first_arg + arg_count - 1
    i32 arg_count = 0;
    i32 locals = 0;
    // The cells planned_path_call writes from the data stack's top: the
    // path, the function, the fixed arguments and the cells after them.
    i32 room = 0;
    // Where path_value's planned road last found an argument it cannot read
    // in place (the code's node and the path's position): it is not tried
    // there again while the plan lasts. Only a hint: code that has changed
    // since then just takes the ordinary road.
    Node declined_code = 0;
    i32 declined_at = -1;
    u32 cycles = 0;  // collector::cycles() when kept
    // Bit k set: argument k of the call (the fixed ones, then the
    // refinement's) has a typeset that refuses some type other than unset!
    // (which no argument read in place has), so that its type is checked.
    u64 checked = ~u64{0};
    // The first template_cells of the cells after the fixed arguments as
    // they are once the named refinement's flag is set, before its
    // arguments are taken: a flag false or true, or a none (then unused).
    Cell cells[4];
};
constexpr i32 template_cells = 4;
// A few plans, one per (description, symbol) hash, so that calls naming
// different refinements in turn keep theirs.
constexpr u32 refined_plan_count = 8;
RefinedPlan refined_plans[refined_plan_count];
inline RefinedPlan& plan_for(Node desc, i32 sym) {
    return refined_plans[(desc ^ static_cast<u32>(sym) * 5u) & (refined_plan_count - 1)];
}

// A plan whose moves is stale still holds when no collection cycle has run
// since it was kept (not even one running now) under the same memory
// manager: then moves is brought up to date, and the next use takes one
// compare again.
[[gnu::noinline]] bool plan_current(RefinedPlan& plan) {
    if (collector::active() || plan.cycles != collector::cycles() || plan.generation != memory::generation)
        return false;
    plan.moves = memory::moves;
    return true;
}
inline bool plan_holds(RefinedPlan& plan) {
    if (plan.moves == memory::moves) [[likely]] return true;
    return plan_current(plan);
}

[[gnu::noinline]] void keep_plan(Node desc, i32 from, i32 found, i32 found_slot, i32 sym) {
    RefinedPlan plan;
    const i32 n = length_of(desc);
    const Cell* const items = cell_at(desc, 0);
    for (i32 d = from; d < n; d++) {
        const u32 it = cell::type_of(items[d]);
        if (it == type::refinement) {
            if (plan.slots >= 64) return;
            plan.flags |= u64{1} << plan.slots;
            plan.slots++;
        } else if (it == type::typeset) {
            if ((items[d].header & function::arg_kind::mask) == function::arg_kind::return_) continue;
            if (plan.slots >= 64) return;
            plan.slots++;
        } else if (it == type::integer) {
            plan.locals = static_cast<i32>(items[d].data2);
        }
    }
    // Its arguments: evaluated ones, in a row (a return: after them ends them).
    bool returned = false;
    for (i32 d = found + 1; d < n && cell::type_of(items[d]) == type::typeset; d++) {
        const u32 kind = items[d].header & function::arg_kind::mask;
        if (kind == function::arg_kind::return_) returned = true;
        else if (kind != function::arg_kind::word || returned) return;
        else plan.arg_count++;
    }
    // The arguments whose types need a check: the fixed ones are the items
    // before `from`. A call of more than 64 arguments keeps no plan.
    if (from + plan.arg_count > 64) return;
    const auto refuses = [](const Cell& ts) {
        for (u32 t = 0; t < typeset::bits; t++)
            if (t != type::unset && !typeset::member_q(ts, t)) return true;
        return false;
    };
    plan.checked = 0;
    for (i32 k = 0; k < from + plan.arg_count; k++) {
        const i32 d = k < from ? k : found + 1 + (k - from);
        if (refuses(items[d])) plan.checked |= u64{1} << k;
    }
    for (i32 i = 0; i < template_cells; i++)
        plan.cells[i] = i < plan.slots && ((plan.flags >> i) & 1) == 0 ? none::value : logic::false_value;
    if (found_slot - from < template_cells) plan.cells[found_slot - from] = logic::true_value;
    // The ordinary road pushes each of the refinement's arguments above the
    // cells after the fixed arguments before moving it into its slot: one
    // cell more at its peak when there is one, so that both roads overflow
    // at the same call.
    plan.room = 2 + from + std::max(plan.slots + (plan.arg_count > 0 ? 1 : 0), template_cells);
    plan.first_arg = found + 1;
    plan.found_slot = found_slot;
    plan.sym = sym;
    plan.desc = desc;
    plan.moves = memory::moves;
    plan.cycles = collector::cycles();
    plan.generation = memory::generation;
    plan_for(desc, sym) = plan;
}

// The refined road after a direct description's fixed arguments, by the
// kept plan when it is this description's and the path (read now, as the
// walk would read it) names its refinement: the same cells pushed, then the
// refinement's arguments fetched and checked in order and each moved to its
// slot as the walk does. The pushes are made at once only when the stack
// has room for all of them; else the walk makes them (and overflows where
// it would). False when the walk must run; true when the arguments are
// taken (the caller tests pending).
[[gnu::always_inline]] inline bool planned_refinement(const Call& call, Node desc, const Cell& code, i32& pc, i32 end,
                                                      i32& locals) {
    const Node pn = cell::node(*call.path);
    if (length_of(pn) != call.path_index + 2) return false;
    const Cell& want = *cell_at(pn, call.path_index + 1);
    if (cell::type_of(want) != type::word) return false;
    const i32 sym = word::symbol_of(want);
    RefinedPlan& kept = plan_for(desc, sym);
    if (kept.desc != desc || kept.sym != sym || !plan_holds(kept)) return false;
    const RefinedPlan plan = kept;  // a call in an argument may keep another in its place
    if (stack::end - stack::top <= plan.slots) return false;
    Cell* const cells = stack::top;
    for (i32 i = 0; i < plan.slots; i++) cells[i] = (plan.flags >> i) & 1 ? logic::false_value : none::value;
    stack::top = cells + plan.slots;
    stack::arguments[plan.found_slot] = logic::true_value;
    if (plan.arg_count == 1) {
        // One argument: taken as a direct call's, then moved to its slot.
        pc = fetch_items(call, desc, plan.first_arg, plan.first_arg + 1, code, pc, end);
        if (pending) [[unlikely]] return true;
        stack::arguments[plan.found_slot + 1] = *--stack::top;
        locals = plan.locals;
        return true;
    }
    for (i32 k = 0; k < plan.arg_count; k++) {
        const i32 d = plan.first_arg + k;
        pc = fetch_checked(call, desc, d, function::arg_kind::word, code, pc, end);
        if (pending) [[unlikely]] return true;
        stack::arguments[plan.found_slot + 1 + k] = *--stack::top;
    }
    locals = plan.locals;
    return true;
}

// call_value's road for any other function! call while not tracing (not
// infix): fetch_args' walk for a function (fixed arguments, then false and
// none for each refinement and its arguments, the /local count) and the
// refinements a path names, then the body as call_direct_function runs it.
// A path naming one refinement by a word (f/ref) has it looked for during
// the walk: the fixed arguments all come before the first refinement item,
// so the path is read there, after they are evaluated, as path_refinements
// would read it, and nothing is evaluated until the walk ends.
[[gnu::noinline]] i32 call_refined_function(Call& call, Node desc, u32 sig, const Cell& code, i32 pc, i32 end) {
    push_inline(call.fn);
    stack::mark_interp_func(call.name, function::context_of(call.fn));
    // A direct description's fixed arguments are the items before arity:
    // taken as the direct roads take them, the walk goes on from there.
    i32 from = 0;
    i32 locals = 0;
    if (sig & function::signature::direct) {
        pc = fetch_direct(call, desc, sig, 0, code, pc, end);
        if (pending) [[unlikely]] return pc;
        from = function::signature::arity(sig);
        if (call.path && planned_refinement(call, desc, code, pc, end, locals)) {
            if (pending) [[unlikely]] return pc;
            goto run;
        }
    }
    {
        bool active = true;
        // The one refinement the path names: its word, its symbol (and the
        // canonical one once needed), the item and flag slot found for it.
        enum { unread, single, other } named = unread;
        Cell want{};
        i32 want_canonical = -1;
        i32 found = -1, found_slot = 0;
        // Items are read again after each fetch, which may evaluate and so move
        // the description's buffer; its length never changes.
        const i32 desc_length = length_of(desc);
        for (i32 d = from; d < desc_length; d++) {
            const Cell* item = cell_at(desc, d);
            const u32 it = cell::type_of(*item);
            if (it == type::typeset) {
                const u32 kind = item->header & function::arg_kind::mask;
                if (kind == function::arg_kind::return_) continue;
                if (active) {
                    pc = fetch_checked(call, desc, d, kind, code, pc, end);
                    if (pending) [[unlikely]] return pc;
                } else {
                    stack::push(none::value);
                }
            } else if (it == type::refinement) {
                active = false;
                if (named == unread) {
                    named = other;
                    if (call.path) {
                        const Node pn = cell::node(*call.path);
                        if (length_of(pn) == call.path_index + 2) {
                            want = *cell_at(pn, call.path_index + 1);
                            if (cell::type_of(want) == type::word) named = single;
                        }
                    }
                }
                bool on = false;
                if (named == single && found < 0) {
                    const i32 item_sym = word::symbol_of(*item);
                    const i32 sym = word::symbol_of(want);
                    if (item_sym != sym && want_canonical < 0) want_canonical = symbol::canonical(sym);
                    on = item_sym == sym || symbol::canonical(item_sym) == want_canonical;
                }
                if (on) {
                    found = d;
                    found_slot = static_cast<i32>(stack::top - stack::arguments);
                }
                stack::push(on ? logic::true_value : logic::false_value);
            } else if (it == type::integer) {
                locals = static_cast<i32>(item->data2);
            }
        }
        if (named == single) {
            if (found < 0) fire(ErrorId::script_no_refine, call.name, want);
            if (sig & function::signature::direct) keep_plan(desc, from, found, found_slot, word::symbol_of(want));
            pc = refinement_args(call, desc, found, found_slot, code, pc, end);
            if (pending) [[unlikely]] return pc;
        } else if (call.path) {
            pc = path_refinements(call, desc, false, nullptr, code, pc, end);
            if (pending) [[unlikely]] return pc;
        }
    }
run:
    ORU_TRACE(Event::call, &code, pc, &call.name, &call.fn);
    if (locals > 0) function::init_locals(locals);
    if (run_body(call.fn, call.name)) return pc;
    close_frame();
    ORU_TRACE(Event::return_, &code, pc, &call.name, stack::top - 1);
    take_result();
    return pc;
}

// either (two blocks) or if (one) after its arguments: the block the
// condition in the first argument slot chose runs in the native's frame;
// if with a false condition gives none. The caller tests pending.
template <bool either>
[[gnu::always_inline]] inline void choose_branch(Cell* args) {
    if constexpr (either) {
        if (cell::type_of(args[0]) == type::unset) [[unlikely]] logic::truth_strict(args[0]);
        Cell* const branch = logic::truth(args[0]) ? args + 1 : args + 2;
        stack::top = branch + 1;
        run_branch(*branch);
    } else if (!logic::truth(args[0])) {
        stack::set_result(none::value);
    } else {
        stack::top = args + 2;
        run_branch(args[1]);
    }
}

// The direct native road for either and if (not infix): the same frame,
// arguments, events and branch run. The condition and the blocks are
// taken in one step when the condition is a value plain_read takes, the
// blocks follow it, no word follows the last one (so that no operator
// applies to it) and the typesets accept them all: each pushed as
// fetch_items would push it. A condition plain_read takes with operators
// after it is pushed and they are applied as infix_after applies them,
// with the cells read once: those computed in place, then (if any are
// left) the ordinary road's; when nothing was evaluated the blocks are
// taken from the same cells, else as fetch_blocks takes them. Any other
// condition is taken as fetch_items takes it, then the blocks as
// fetch_blocks takes them.
template <i32 blocks>
[[gnu::noinline]] i32 call_branching(Call& call, Node desc, const Cell& code, i32 pc, i32 end) {
    constexpr i32 arity = blocks + 1;
    push_inline(call.fn);
    stack::mark_interp_native(call.name);
    i32 next = -1;
    if (!tracing && stack::end - stack::top > arity) [[likely]] {
        SeriesBuffer* const b = memory::buffer(cell::node(code));
        const i32 limit = std::min(end, static_cast<i32>((b->tail - b->head) / sizeof(Cell)));
        const Cell* const cells = b->cells();
        const Cell* const condition = pc < limit ? plain_read(cells + pc) : nullptr;
        if (condition && pc + 1 < limit && cell::type_of(cells[pc + 1]) == type::word) {
            Cell* const value = push_inline(*condition);
            bool more = false;
            i32 at = int_chain_from<false>(*value, cells, limit, pc + 1, end, more, -1);
            if (more) {
                at = infix_general(code, at, end, value);
                if (pending) [[unlikely]] return at;
            }
            const Cell* const items = cell_at(desc, 0);
            if (!type_bits(items[0]).has(cell::type_of(*value))) [[unlikely]] expect_arg(call, 0, *value);
            if (!more) {
                // Nothing has run since the cells were read: they are current.
                const i32 after = at + blocks;
                bool taken = after <= limit && (after == limit || cell::type_of(cells[after]) != type::word);
                for (i32 k = 0; k < blocks; k++) taken = taken && cell::type_of(cells[at + k]) == type::block;
                for (i32 k = 1; k <= blocks; k++) taken = taken && type_bits(items[k]).has(type::block);
                if (taken) [[likely]] {
                    Cell* const to = value + 1;
                    for (i32 k = 0; k < blocks; k++) to[k] = cells[at + k];
                    stack::top = to + blocks;
                    next = after;
                }
            }
            if (next < 0) {
                next = fetch_blocks(call, desc, blocks, arity, code, at, end);
                if (pending) [[unlikely]] return next;
            }
        } else if (condition) {
            const i32 after = pc + arity;
            const Cell* const here = cells + pc;
            bool taken = after <= limit && (after == limit || cell::type_of(here[arity]) != type::word);
            for (i32 k = 1; k < arity; k++) taken = taken && cell::type_of(here[k]) == type::block;
            const Cell* const items = cell_at(desc, 0);
            taken = taken && type_bits(items[0]).has(cell::type_of(*condition));
            for (i32 k = 1; k < arity; k++) taken = taken && type_bits(items[k]).has(type::block);
            if (taken) [[likely]] {
                Cell* const to = push_inline(*condition);
                for (i32 k = 1; k < arity; k++) to[k] = here[k];
                stack::top = to + arity;
                next = after;
            }
        }
    }
    if (next >= 0) {
        pc = next;
    } else {
        pc = fetch_items(call, desc, 0, 1, code, pc, end);
        if (pending) [[unlikely]] return pc;
        pc = fetch_blocks(call, desc, blocks, arity, code, pc, end);
        if (pending) [[unlikely]] return pc;
    }
    ORU_TRACE(Event::call, &code, pc, &call.name, &call.fn);
    choose_branch<blocks == 2>(stack::arguments);
    if (pending) return pc;
    close_call(code, pc, call.name);
    return pc;
}

// The same for a native! or action! called without refinements (its
// routine gets -1 for each it has); either and if run their block from here
// as fetch_args does. Infix (an operator whose right operand is not done in
// place), the value so far is the first argument, in place: it is checked
// and two integers are computed as fetch_args does, and no function value
// lies below the frame.
template <bool infix>
[[gnu::noinline]] i32 call_direct_native(Call& call, Node desc, u32 sig, const Cell& code, i32 pc, i32 end) {
    if constexpr (infix) {
        stack::top--;
        stack::mark_interp_native(call.name);
        stack::top = stack::arguments + 1;
        const Cell& left = *stack::arguments;
        if (!type_bits(*cell_at(desc, 0)).has(cell::type_of(left))) [[unlikely]] expect_arg(call, 0, left);
    } else {
        push_inline(call.fn);
        stack::mark_interp_native(call.name);
    }
    pc = fetch_direct(call, desc, sig, infix ? 1 : 0, code, pc, end);
    if (pending) [[unlikely]] return pc;
    ORU_TRACE(Event::call, &code, pc, &call.name, &call.fn);
    const bool action_q = cell::type_of(call.fn) == type::action;
    if constexpr (infix) {
        Cell* args = stack::arguments;
        if (!tracing && cell::type_of(args[0]) == type::integer && cell::type_of(args[1]) == type::integer &&
            stack::top == args + 2) {
            const u32 slot = call.fn.data1 + 1;
            const IntOp op = action_q ? (slot <= action::count ? int_op_tables.action[slot] : IntOp::none)
                                      : (slot <= static_cast<u32>(native::table_slots) ? int_op_tables.native[slot]
                                                                                       : IntOp::none);
            if (op != IntOp::none && integer_op(op, args, static_cast<i32>(args[1].data2))) {
                close_frame();
                ORU_TRACE(Event::return_, &code, pc, &call.name, stack::top - 1);
                return pc;
            }
        }
    }
    // A direct description has at most max_refinements refinements, so
    // that this never raises anything.
    i32 refs[max_refinements];
    if (!action_q) {
        // either and if are entries, so the test for a missing one is made
        // only on the road that calls it.
        const native::Entry entry = native::entry_of(call.fn);
        if (entry == natives::either) {
            choose_branch<true>(stack::arguments);
            if (pending) return pc;
        } else if (entry == natives::if_) {
            choose_branch<false>(stack::arguments);
            if (pending) return pc;
        } else {
            if (!entry) fire(ErrorId::internal_not_done);
            const u32 c = entry(false, absent_refinements(sig, refs) ? refs : nullptr);
            if (c && !pending) pending = c;
            if (pending) return pc;
        }
    } else {
        const u32 slot_index = call.fn.data1;
        if (slot_index >= action::count || !actions::table[slot_index]) fire(ErrorId::internal_not_done);
        actions::table[slot_index](absent_refinements(sig, refs) ? refs : nullptr);
        if (pending) return pc;
    }
    close_frame();
    ORU_TRACE(Event::return_, &code, pc, &call.name, stack::top - 1);
    if constexpr (!infix) take_result();
    return pc;
}

// Every call made from code. While not tracing, a function or native whose
// description is cached (it is never built here) takes a road of its own:
// the direct roads for a direct description not refined by a path (plain
// too for a function; natives only when infix), the refined road for any
// other function not infix; the rest takes call_general. either and if,
// called directly and not infix, take call_branching.
i32 call_general(Call& call, const Cell& code, i32 pc, i32 end);
[[gnu::always_inline]] inline i32 call_value(Call& call, const Cell& code, i32 pc, i32 end) {
    constexpr u32 valid_direct = function::signature::valid | function::signature::direct;
    const u32 t = cell::type_of(call.fn);
    if (!tracing && (t == type::function || t == type::native || t == type::action)) [[likely]] {
        const Node holder = t == type::function ? function::extra_of(call.fn) : native::auxiliary_of(call.fn);
        const Cell* cached = cell_at(holder, 1);
        const u32 sig = cached->data3;
        if (cell::type_of(*cached) == type::block && (sig & function::signature::valid)) {
            const bool direct = (sig & valid_direct) == valid_direct && !call.path;
            if (call.infix) {
                if (t == type::function || !direct || function::signature::arity(sig) == 0)
                    return call_general(call, code, pc, end);
                if (cell::type_of(call.name) != type::word) call.name = anon_name();
                return call_direct_native<true>(call, cell::node(*cached), sig, code, pc, end);
            }
            if (cell::type_of(call.name) != type::word) call.name = anon_name();
            if (t == type::function) {
                if (direct && (sig & function::signature::plain))
                    return call_direct_function(call, cell::node(*cached), sig, code, pc, end);
                return call_refined_function(call, cell::node(*cached), sig, code, pc, end);
            }
            if (direct) {
                // either and if (entries, never null) take their own road.
                if (t == type::native) {
                    const native::Entry entry = native::entry_of(call.fn);
                    const i32 arity = function::signature::arity(sig);
                    if (entry == natives::either && arity == 3)
                        return call_branching<2>(call, cell::node(*cached), code, pc, end);
                    if (entry == natives::if_ && arity == 2)
                        return call_branching<1>(call, cell::node(*cached), code, pc, end);
                }
                return call_direct_native<false>(call, cell::node(*cached), sig, code, pc, end);
            }
        }
    }
    return call_general(call, code, pc, end);
}

// Any call: the frame, the arguments as the description says, the call.
[[gnu::noinline]] i32 call_general(Call& call, const Cell& code, i32 pc, i32 end) {
    if (tracing) [[unlikely]] trace_open(call, code, pc);
    if (cell::type_of(call.name) != type::word) call.name = anon_name();
    if (!call.infix) stack::push(call.fn);
    Cell* const left = stack::top - 1;  // the left operand of an infix call
    if (call.infix) stack::top = left;
    const u32 t = cell::type_of(call.fn);
    Node fn_ctx = 0;
    if (t == type::function) {
        fn_ctx = function::context_of(call.fn);
        stack::mark_interp_func(call.name, fn_ctx);
    } else {
        stack::mark_interp_native(call.name);
    }
    if (call.infix) stack::top = stack::arguments + 1;
    pc = fetch_args(call, code, pc, end);
    if (pending) return pc;
    if (t == type::routine) {
        call_routine(call.fn, call.name);
    } else if (t == type::function) {
        // The context (the object's, else the owner's, else the name's) is
        // what a compiled entry would receive; an interpreted body runs in
        // its own function context and needs none, so it is not worked out.
        if (run_function(call.fn, call.name)) return pc;
    }
    stack::unwind();
    ORU_TRACE(Event::return_, &code, pc, &call.name, stack::top - 1);
    if (!call.infix) {
        // The result replaces the function value pushed below the frame.
        Cell* result = stack::top - 1;
        result[-1] = *result;
        stack::top = result;
    }
    return pc;
}

// path_value's road for a path (at `at` in the code) whose head word `first`
// holds a function! (`fn`) with a cached description and signature: the
// path pushed (it stays rooted while the arguments run; path_value has
// written it in the cell at the stack's top), the call on the refined road
// call_value would choose, the result left in the path's cell.
[[gnu::always_inline]] inline i32 path_refined(const Cell& fn, const Cell& first, Node desc, u32 sig,
                                               const Cell& code, i32 at, i32 end) {
    Cell* const base = stack::top;
    Cell* const held = push_inline(*base);  // the path, written there by the caller
    Call call{fn, first, held, cell::head_index(*held), 0, false};
    const i32 next = call_refined_function(call, desc, sig, code, at + 1, end);
    if (pending) return next;
    *base = *(stack::top - 1);
    stack::top = base + 1;
    ORU_TRACE(Event::push, &code, at, nullptr, stack::top - 1);
    return next;
}

// path_value's road for a path that names one refinement of a function with
// a direct description, by word, when the refinement's plan is kept (`kept`,
// checked by path_value) and every argument (the fixed ones, then the
// refinement's) is read in place: plain_read gives it, its type is accepted,
// and no operator follows it. Then nothing is evaluated before the body
// runs, so the code and the values are read first, and the cells the
// ordinary road pushes (the path, the function, the fixed arguments, the
// plan's cells with the refinement's arguments in their slots) are written
// in one go, the frame opened where it opens it. When an argument is not
// read in place or either stack lacks room, nothing is done but cells
// written above the data stack's top (no one reads them), and path_refined
// runs: the ordinary road then raises what it raises where it raises it. The
// place of an argument not read in place is kept with the plan, so that the
// next call from there goes to path_refined at once. Arguments as
// path_refined's.
[[gnu::always_inline]] inline i32 planned_path_call(const Cell& fn, const Cell& first, Node desc, u32 sig,
                                                    const Cell& code, i32 at, i32 end, RefinedPlan& kept) {
    const Node code_node = cell::node(code);
    const Cell& name = first;
    // What is used below, in registers: the cell writes cannot change it
    // (the rest is read where it is used: nothing else writes the plan).
    const i32 slots = kept.slots, found_slot = kept.found_slot, first_arg = kept.first_arg;
    const i32 arg_count = kept.arg_count;
    const u64 checked = kept.checked;
    const i32 arity = function::signature::arity(sig);
    // Room for the path, the function, the fixed arguments and the cells
    // after them, as each push would find it; and for the frame.
    Cell* const base = stack::top;  // the path is there already
    if (stack::end - base <= kept.room || stack::frame_top >= stack::frame_end)
        return path_refined(fn, first, desc, sig, code, at, end);
    const SeriesBuffer* const b = memory::buffer(code_node);
    const i32 limit = std::min(end, static_cast<i32>((b->tail - b->head) / sizeof(Cell)));
    const Cell* const cells = const_cast<SeriesBuffer*>(b)->cells();
    const Cell* const items = cell_at(desc, 0);
    Cell* const args = base + 2;  // stack::arguments once the frame is open
    Cell* const after = args + arity;
    // Every argument within the code (else the ordinary road reports the
    // one missing).
    const i32 count = arity + arg_count;
    const Cell* const code_args = cells + at + 1;
    i32 pc = at + 1 + count;
    if (pc > limit) goto declined;
    // The plan's cells first (the fixed arguments lie below them), then every
    // argument in one run: argument k is the code's cell at + 1 + k, for
    // item k (a fixed one) or first_arg + k - arity, written to args + k or
    // to its slot after the named refinement's flag.
    if (slots <= template_cells) {
        for (i32 i = 0; i < template_cells; i++) after[i] = kept.cells[i];
    } else {
        for (i32 i = 0; i < slots; i++) after[i] = (kept.flags >> i) & 1 ? logic::false_value : none::value;
        args[found_slot] = logic::true_value;
    }
    {
        // Where argument k goes and its item (count is at most 64: keep_plan).
        Cell* to = args;
        const Cell* item = items;
        u64 bit = 1;  // argument k's in checked
        for (i32 k = 0; k < count; k++, to++, item++, bit <<= 1) {
            if (k == arity) {
                to = args + found_slot + 1;
                item = items + first_arg;
            }
            // A value that stands for itself is tested here; a word's goes to
            // plain_read. An unset! value in the code goes the ordinary road
            // (checked leaves unset! out): plain_q with unset! refused.
            constexpr u64 refused = active_types | type_bit(type::unset);
            const Cell* v = code_args + k;
            const u32 t = cell::type_of(*v);
            if (t == type::word) {
                v = plain_read(v);
                if (!v) goto declined;
            } else if (t < 64 && (refused & type_bit(t))) {
                goto declined;
            }
            if ((checked & bit) && !type_bits(*item).has(cell::type_of(*v))) goto declined;
            *to = *v;
        }
    }
    // A word after the last argument may be an operator taking it as its
    // left operand. One after any other argument is the next argument, and a
    // word holding an operator is not read in place (plain_read), so that
    // the run above has declined it already.
    if (pc < limit && cell::type_of(cells[pc]) == type::word) {
        const Cell* const op = peek(cells[pc]);
        if (op && cell::type_of(*op) == type::op) goto declined;
    }
    {
        base[1] = fn;
        // The frame mark_interp_func opens, with the body flag run_body sets,
        // written as stack::mark_frame writes it (its room is checked above).
        const Node fn_ctx = function::context_of(fn);
        Cell* const ctx_cell = context::cell_of(fn_ctx);
        CallFrame* const frame = stack::frame_top++;
        frame->header = stack::encode_symbol(name.data2) | (frame_kind::function << frame_flag::kind_shift) |
                        frame_flag::interp | frame_flag::body;
        frame->base = stack::index_of(stack::arguments);
        frame->name_ctx = name.data1;
        frame->fn_ctx = fn_ctx;
        frame->values = fn_ctx ? ctx_cell->data2 : 0;
        stack::arguments = args;
        stack::top = after + slots;
        // No call event: tracing is off (path_value's test), and nothing has
        // run since.
        if (const i32 locals = kept.locals; locals > 0) function::init_locals(locals);
        // As path_value ends the ordinary road: the result replaces the
        // function value, then the path.
        if (run_body<true>(fn, name, ctx_cell)) {
            if (pending) return pc;
        } else {
            close_frame();
            ORU_TRACE(Event::return_, &code, pc, &name, stack::top - 1);
        }
        // The result goes from the function's result slot to the path's cell
        // at once (take_result would copy it over the function value first,
        // above the final top, where no one reads it).
        *base = *(stack::top - 1);
        stack::top = base + 1;
        ORU_TRACE(Event::push, &code, at, nullptr, stack::top - 1);
        return pc;
    }
declined:
    kept.declined_code = code_node;
    kept.declined_at = at;
    return path_refined(fn, first, desc, sig, code, at, end);
}

// A path or get-path met as a value: its result is pushed (and traced).
// A path (not a get-path) whose head word (read through the kept global
// values or the running function) holds a function! with a cached signature
// takes eval_path's steps up to the call without its walk set-up: the path
// pushed (it stays rooted while the arguments run), the call on the refined
// road call_value would choose, the result left in the path's cell. Only
// reads come before the push, so every error is raised where eval_path
// raises it. A path naming one refinement by a word whose plan is kept
// takes planned_path_call unless it was declined at this place.
[[gnu::noinline]] i32 path_value(const Cell& path, const Cell& code, i32 pc, i32 end, bool get) {
    if (!get && !tracing) [[likely]] {
        const SeriesBuffer* const b = memory::buffer(cell::node(path));
        const i32 head = cell::head_index(path);
        const i32 len = static_cast<i32>((b->tail - b->head) / sizeof(Cell));
        if (head >= 0 && head < len) {
            const Cell* const pcells = const_cast<SeriesBuffer*>(b)->cells();
            const Cell first = pcells[head];
            const Cell* slot = nullptr;
            if (cell::type_of(first) == type::word) {
                if (global_values(first)) [[likely]] slot = globals.cells + word::index_of(first);
                else slot = running_slot(first);
            }
            if (slot && cell::type_of(*slot) == type::function) {
                const Cell fn = *slot;
                const Cell* cached = cell_at(function::extra_of(fn), 1);
                if (cell::type_of(*cached) == type::block && (cached->data3 & function::signature::valid)) {
                    const Node desc = cell::node(*cached);
                    const u32 sig = cached->data3;
                    // The path is written where the road pushes it, not
                    // pushed yet: the planned road checks the room first.
                    // The top is always below the end (an overflow lowers it).
                    *stack::top = path;
                    // One refinement named by a word whose plan is kept, at a
                    // place it has not been declined: the planned road.
                    if ((sig & function::signature::direct) && len == head + 2 &&
                        cell::type_of(pcells[head + 1]) == type::word) {
                        const i32 sym = word::symbol_of(pcells[head + 1]);
                        RefinedPlan& kept = plan_for(desc, sym);
                        if (kept.desc == desc && kept.sym == sym && kept.moves == memory::moves &&
                            (kept.declined_at != pc || kept.declined_code != cell::node(code)))
                            return planned_path_call(fn, first, desc, sig, code, pc, end, kept);
                    }
                    return path_refined(fn, first, desc, sig, code, pc, end);
                }
            }
        }
    }
    const i32 next = eval_path(path, code, pc + 1, end, false, get, nullptr);
    if (!pending) ORU_TRACE(Event::push, &code, pc, nullptr, stack::top - 1);
    return next;
}

// The end of a set-word's road, its value evaluated (pending not set) and
// on top of its open frame: the store, the result, the frame closed.
[[gnu::always_inline]] inline i32 set_store(const Cell& set_word, const Cell& code, i32 pc) {
    ORU_TRACE(Event::set, &code, pc, &set_word, stack::top - 1);
    // word::set_from_args, with the context's inline store.
    Cell* args = stack::arguments;
    if (cell::type_of(args[1]) == type::unset) [[unlikely]] fire(ErrorId::script_need_value, args[0]);
    set_word_value(args[0], args[1]);
    stack::set_last(stack::arguments[1]);
    close_frame();
    return pc;
}

// A set-word whose value is a plain value (plain_read) and an integer
// operator whose right operand must be evaluated (a call, a path...), the
// shape plain_shape_q turns away from set_plain: the ordinary road's steps
// up to the value (the set-word's frame and cell, the value pushed, the
// operator's frame, the right operand, the operators after it), each as it
// takes them, with what it would find before the first frame read once:
// nothing before mark_interp_native allocates, raises or evaluates. The
// caller found the value at pc + 1, pc + 3 below end and the code's length,
// the cell at pc + 2 a word, and is not tracing. Returns the pc after the
// value (the set-word's frame open, or pending set), or -1 with nothing
// done when the value or the operator is not such.
[[gnu::always_inline]] inline i32 set_infix(const Cell& set_word, const Cell& code, i32 pc, i32 end) {
    const Cell* const cells = memory::buffer(cell::node(code))->cells() + pc;
    // plain_read's value when it is an integer!: an integer! literal or a
    // word whose slot holds one.
    const Cell* left = cells + 1;
    if (cell::type_of(*left) == type::word) left = quiet_slot(*left);
    if (!left || cell::type_of(*left) != type::integer) return -1;
    const Cell name = cells[2];
    const Cell* const op_value = op_peek(name);
    if (!op_value || cell::type_of(*op_value) != type::op) return -1;
    const IntOp op = integer_op_of(*op_value);
    if (op == IntOp::none) return -1;
    // The set-word and the left operand pushed as push would push them,
    // with room for both found once (push needs the top below the end
    // after each; else the ordinary road pushes them and raises the
    // overflow).
    if (stack::end - stack::top <= 2) return -1;
    stack::mark_interp_native(set_word);
    Cell* const start = stack::top + 1;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(start - 1), _mm_loadu_si128(reinterpret_cast<const __m128i*>(&set_word)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(start), _mm_loadu_si128(reinterpret_cast<const __m128i*>(left)));
    stack::top = start + 1;
    pc = integer_infix_body(op, *op_value, name, code, pc + 3, end, start, cells + 3);
    if (pending) return pc;
    // More operators: apply_infix goes on from the operand's end.
    if (pc < end) {
        pc = infix_general(code, pc, end, start);
        if (pending) return pc;
    } else {
        stack::top = start + 1;
    }
    return set_store(set_word, code, pc);
}

// The set-word at pc whose value set_plain did not take (`in_place` as
// plain_shape_q found it): its frame, its value evaluated, the store. Out of
// line, so that the roads inlined into eval_value stay small.
[[gnu::noinline]] i32 set_general(const Cell& set_word, const Cell& code, i32 pc, i32 end, bool in_place) {
    if (!in_place && !tracing) {
        const i32 infix = set_infix(set_word, code, pc, end);
        if (infix >= 0) return infix;
    }
    stack::mark_interp_native(set_word);
    push_inline(set_word);
    // fetch_plain takes nothing while tracing, so the push event
    // (before the value's own events) costs the plain road nothing.
    const i32 plain = pc + 1 < end ? fetch_plain(false, code, pc + 1, end, in_place) : -1;
    if (plain >= 0) {
        pc = plain;
    } else {
        ORU_TRACE(Event::push, &code, pc, nullptr, &set_word);
        pc = eval_expression(code, pc + 1, end, false, true, false);
    }
    if (pending) return pc;
    return set_store(set_word, code, pc);
}

// Evaluates the value at pc and pushes its result; returns the next pc.
// Inlined into eval_expression, its only caller. `first` is the cell at pc
// when the caller has it at hand (nothing evaluated since it was fetched).
// `ended` is set when the expression is known to end at the returned pc
// (no operator follows), so that the caller looks for none.
[[gnu::always_inline]] inline i32 eval_value(const Cell& code, i32 pc, i32 end, bool passive, const Cell* first,
                                             bool& ended) {
    const Node n = cell::node(code);
    const Cell v = first ? *first : *cell_at(n, pc);
    ORU_TRACE(Event::fetch, &code, pc, nullptr, &v);
    // The common kinds first, each behind one well-predicted test: words,
    // then values that stand for themselves; the rest through the switch.
    const u32 vt0 = cell::type_of(v);
    if (vt0 == type::word) [[likely]] {
        const Cell value = *lookup(v);
        const u32 vt = cell::type_of(value);
        if (callable_q(vt)) {
            Call call{value, v, nullptr, 0, 0, false};
            return call_value(call, code, pc + 1, end);
        }
        if (vt == type::op) fire(ErrorId::script_no_op_arg, v);
        stack::push(value);
        ORU_TRACE(Event::push, &code, pc, nullptr, stack::top - 1);
        return pc + 1;
    }
    if (vt0 < 64 && !(active_types & type_bit(vt0))) {
        push_inline(v);
        ORU_TRACE(Event::push, &code, pc, nullptr, stack::top - 1);
        return pc + 1;
    }
    // A set-word (most statements that are no call) and a paren skip the
    // jump table.
    if (vt0 == type::set_word) goto set_word;
    if (vt0 == type::paren) {
        paren_value(v);
        return pc + 1;
    }
    switch (vt0) {
        case type::set_word:
        set_word: {
            if (pc + 1 >= end) fire(ErrorId::script_need_value, v);
            // A value computed in place is stored in one step (set_plain);
            // else the ordinary road, which tries no in-place operators when
            // the shape already ruled them out.
            const bool in_place = plain_shape_q(code, pc + 1, end);
            if (in_place) [[likely]] {
                // set_plain takes the value only when its operators stop at
                // a cell that is not a word holding an op!: none follows.
                const i32 next = set_plain(v, code, pc + 1, end);
                if (next >= 0) {
                    ended = true;
                    return next;
                }
            }
            return set_general(v, code, pc, end, in_place);
        }
        case type::set_path: {
            if (pc + 1 >= end) fire(ErrorId::script_need_value, v);
            // The path stays on the stack while the value is evaluated: the
            // code may lose it meanwhile. The result then takes its place.
            Cell* const hold = stack::push(v);
            stack::mark_interp_native(words::word::set_path);
            ORU_TRACE(Event::push, &code, pc, nullptr, &v);
            pc = eval_expression(code, pc + 1, end, false, true, false);
            if (pending) return pc;
            ORU_TRACE(Event::set, &code, pc, &v, stack::top - 1);
            const Cell value = *(stack::top - 1);
            eval_path(*hold, code, pc, end, true, false, &value);
            if (pending) return pc;
            stack::set_result(value);
            stack::unwind();
            *hold = hold[1];
            stack::top = hold + 1;
            return pc;
        }
        case type::get_word: word::push_value(v); break;
        case type::lit_word: {
            Cell w = v;
            cell::set_type(w, type::word);
            stack::push(w);
            break;
        }
        case type::word: {
            const Cell value = *lookup(v);
            const u32 vt = cell::type_of(value);
            if (callable_q(vt)) {
                Call call{value, v, nullptr, 0, 0, false};
                return call_value(call, code, pc + 1, end);
            }
            if (vt == type::op) fire(ErrorId::script_no_op_arg, v);
            stack::push(value);
            break;
        }
        case type::path: return path_value(v, code, pc, end, false);
        case type::get_path: return path_value(v, code, pc, end, true);
        case type::lit_path: {
            Cell p = v;
            cell::set_type(p, type::path);
            p.data3 = 0;
            stack::push(p);
            break;
        }
        case type::op: fire(ErrorId::internal_not_done);
        case type::native:
        case type::action:
        case type::function:
        case type::routine: {
            if (passive) {
                stack::push(v);
                break;
            }
            Call call{v, anon_name(), nullptr, 0, 0, false};
            return call_value(call, code, pc + 1, end);
        }
        case type::issue: {
            if (pc + 1 < end && cell::type_of(*cell_at(n, pc + 1)) == type::block) {
                const i32 s = symbol::canonical(word::symbol_of(v));
                if (s == symbol::canonical(words::sym::system) || s == symbol::canonical(words::sym::system_global))
                    fire(ErrorId::internal_oru_system);
            }
            stack::push(v);
            break;
        }
        default: stack::push(v); break;
    }
    ORU_TRACE(Event::push, &code, pc, nullptr, stack::top - 1);
    return pc + 1;
}

// The path walk. The current value and the one that held it stay on the
// stack while each step runs.
i32 eval_path(const Cell& path_value, const Cell& code, i32 pc, i32 end, bool set, bool get, const Cell* value) {
    Cell* const base = stack::top;
    Cell* const path = stack::push(path_value);
    const Node pn = cell::node(path_value);
    const i32 head = cell::head_index(path_value);
    if (head >= length_of(pn)) fire(ErrorId::script_empty_path);
    const Cell first = *cell_at(pn, head);
    if (cell::type_of(first) != type::word) fire(ErrorId::script_word_first, path_value);
    ORU_TRACE(Event::enter, &path_value, head, nullptr, nullptr);
    ORU_TRACE(Event::fetch, &path_value, head, nullptr, &first);
    const Cell head_value = *word_slot(first);
    const u32 ht = cell::type_of(head_value);
    if (ht == type::unset) fire(ErrorId::script_unset_path, path_value, first);
    if (callable_q(ht)) {
        if (set) fire(ErrorId::script_invalid_path_set, path_value);
        if (get) fire(ErrorId::script_invalid_path_get, path_value);
        Call call{head_value, first, path, head, 0, false};
        pc = call_value(call, code, pc, end);
        if (pending) return pc;
        const Cell result = *(stack::top - 1);
        stack::top = base;
        stack::push(result);
        return pc;
    }
    Cell* holder = stack::push(none::value);  // the value that held the current one
    Cell* current = stack::push(head_value);
    Cell* previous = stack::push(first);
    Cell* element = stack::push(none::value);
    Cell* store = stack::push(value ? *value : none::value);
    for (i32 i = head + 1; i < length_of(pn); i++) {
        Cell el = *cell_at(pn, i);
        ORU_TRACE(Event::fetch, &path_value, i, nullptr, &el);
        if (cell::type_of(el) == type::get_word) {
            el = *word_slot(el);
        } else if (cell::type_of(el) == type::paren) {
            // The paren stays on the stack while it runs: the path may lose
            // it meanwhile, and the collector must still see it. Its value
            // lands in the frame's result slot, the cell above it.
            Cell* const hold = stack::push(el);
            stack::mark_interp_native(anon_name());
            if (eval_block(el, true)) return pc;
            stack::unwind();
            el = hold[1];
            stack::top = hold;
        }
        if (cell::type_of(el) == type::unset) fire(ErrorId::script_invalid_path, path_value, el);
        *element = el;
        const bool last = i + 1 >= length_of(pn);
        Cell* const work = stack::top;
        Cell* r = actions::eval_path(current, element, set && last ? store : nullptr, path, holder, previous, i,
                                     false, get, last, true);
        const Cell result = r ? *r : none::value;
        stack::top = work;
        *holder = *current;
        *current = result;
        *previous = el;
        if (!set && !get && callable_q(cell::type_of(result))) {
            const Node obj = cell::type_of(*holder) == type::object ? holder->data1 : 0;
            Cell name = el;
            if (cell::type_of(name) != type::word) name = anon_name();
            Call call{result, name, path, i, obj, false};
            pc = call_value(call, code, pc, end);
            if (pending) return pc;
            const Cell out = *(stack::top - 1);
            stack::top = base;
            stack::push(out);
            return pc;
        }
    }
    const Cell result = set && value ? *value : *current;
    ORU_TRACE(Event::exit, &path_value, length_of(pn), nullptr, &result);
    stack::top = base;
    stack::push(result);
    return pc;
}

// --- apply ---------------------------------------------------------------------

// The state of one applied call: the argument block walked one value at a
// time, and what a missing value at its end gives.
struct Applied {
    Call call;
    Cell block;  // the argument block (rooted by the caller's argument)
    i32 pc;
    i32 end;
    bool safer;
    // A path naming the function: its words after the first are refinements
    // turned on (rooted by the caller's argument); none when there is none.
    Cell path = {type::none, 0, 0, 0};
};

// The words of the applied path after its first, as refinement names.
i32 path_refinement_count(const Applied& a) {
    if (cell::type_of(a.path) == type::none) return 0;
    const i32 n = length_of(cell::node(a.path)) - std::max(cell::head_index(a.path), 0) - 1;
    return n > 0 ? n : 0;
}
Cell path_refinement(const Applied& a, i32 i) {
    Cell r = *cell_at(cell::node(a.path), std::max(cell::head_index(a.path), 0) + 1 + i);
    if (cell::type_of(r) != type::word) fire(ErrorId::script_bad_refine, r);
    return r;
}
// True when the path names the refinement (a description item).
bool path_names(const Applied& a, const Cell& item) {
    const i32 want = symbol::canonical(word::symbol_of(item));
    for (i32 i = 0, n = path_refinement_count(a); i < n; i++)
        if (symbol::canonical(word::symbol_of(path_refinement(a, i))) == want) return true;
    return false;
}

// Takes the next value of the argument block as an argument: a word gives
// its value (a function is not called: each argument is one value), any
// other value is evaluated alone (no operator after it, a literal function
// pushed as it is). `evaluate` off (an argument of a refinement that is off,
// under /safer) skips the value unevaluated and pushes none. At the end of
// the block none is pushed. Returns false when a pending code stopped it.
bool applied_value(Applied& a, bool evaluate) {
    const i32 length = std::min(a.end, length_of(cell::node(a.block)));
    if (a.pc >= length) {
        stack::push(none::value);
        return true;
    }
    const Cell v = *cell_at(cell::node(a.block), a.pc);
    if (!evaluate) {
        a.pc++;
        stack::push(none::value);
        return true;
    }
    if (cell::type_of(v) == type::word) {
        stack::push(*lookup(v));
        a.pc++;
        return true;
    }
    a.pc = eval_expression(a.block, a.pc, length, true, true, true);
    return !pending;
}

// Fetches the argument of description item d into a new cell on top and
// checks its type. Get-word and lit-word arguments take the value as it is.
bool applied_arg(Applied& a, Node desc, i32 d, bool evaluate) {
    const Cell ts = *cell_at(desc, d);
    const u32 kind = ts.header & function::arg_kind::mask;
    if (kind != function::arg_kind::word && evaluate) {
        const i32 length = std::min(a.end, length_of(cell::node(a.block)));
        stack::push(a.pc < length ? *cell_at(cell::node(a.block), a.pc++) : none::value);
    } else if (!applied_value(a, evaluate)) {
        return false;
    }
    if (evaluate) check_type(a.call, ts, d, *(stack::top - 1));
    return true;
}

// The description index of the refinement named by a refinement! value, and
// its ordinal (from 1); script/no-refine when the function has none such.
i32 find_refinement(const Applied& a, Node desc, const Cell& r, i32& ordinal) {
    const i32 want = symbol::canonical(word::symbol_of(r));
    ordinal = 0;
    for (i32 d = 0; d < length_of(desc); d++) {
        const Cell& item = *cell_at(desc, d);
        if (cell::type_of(item) != type::refinement) continue;
        ordinal++;
        if (symbol::canonical(word::symbol_of(item)) == want) return d;
    }
    Cell w = r;
    cell::set_type(w, type::word);
    fire(ErrorId::script_no_refine, a.call.name, w);
}

// Collects the arguments of an applied call (the frame is open). With
// `all` every argument and every refinement's on/off value come in the
// description's order; without it the mandatory arguments come first, then
// refinement! values, each followed by its switch and its arguments.
// Function and routine slots take the description's layout (false and none
// for what is off); natives and actions get their refinements' positions.
// Returns false when a pending code stopped the walk.
bool applied_args(Applied& a, bool all, i32* refs, i32& ref_count, i32& locals) {
    const u32 t = cell::type_of(a.call.fn);
    const bool native_like = t == type::native || t == type::action;
    const Node desc = description_of(a.call.fn);
    const i32 desc_length = length_of(desc);
    bool active = true;      // the current refinement is on (or none seen yet)
    bool mandatory = true;   // before the first refinement
    for (i32 d = 0; d < desc_length; d++) {
        const Cell item = *cell_at(desc, d);
        const u32 it = cell::type_of(item);
        if (it == type::typeset) {
            if ((item.header & function::arg_kind::mask) == function::arg_kind::return_) continue;
            if (mandatory || (all && active)) {
                if (!applied_arg(a, desc, d, true)) return false;
            } else if (all) {
                // A refinement that is off: its value is consumed, evaluated
                // unless /safer, and dropped.
                if (!applied_value(a, !a.safer)) return false;
                if (native_like) stack::top--;
                else *(stack::top - 1) = none::value;
            } else if (!native_like) {
                stack::push(none::value);
            }
        } else if (it == type::refinement) {
            mandatory = false;
            // Only natives and actions keep a position per refinement.
            if (native_like && ref_count >= max_refinements) fire(ErrorId::internal_not_done);
            if (all) {
                if (!applied_value(a, true)) return false;
                active = logic::truth(*(stack::top - 1)) || path_names(a, item);
                if (native_like) {
                    stack::top--;
                    refs[ref_count++] = active ? static_cast<i32>(stack::top - stack::arguments) : -1;
                } else {
                    *(stack::top - 1) = logic::make(active);
                }
            } else if (native_like) {
                refs[ref_count++] = -1;
            } else {
                stack::push(logic::false_value);
            }
        } else if (it == type::integer && !native_like) {
            locals = static_cast<i32>(item.data2);
        }
    }
    if (all) return true;
    // Refinements named by the path (on, their arguments next in the
    // block), then those named in the block after the mandatory arguments.
    std::vector<bool> named;  // by ordinal: each may be named once
    const i32 from_path = path_refinement_count(a);
    for (i32 p = 0;; p++) {
        Cell r;
        if (p < from_path) {
            r = path_refinement(a, p);
        } else {
            const i32 length = std::min(a.end, length_of(cell::node(a.block)));
            if (a.pc >= length) return true;
            r = *cell_at(cell::node(a.block), a.pc);
            if (cell::type_of(r) != type::refinement) fire(ErrorId::script_bad_refine, r);
            a.pc++;
        }
        i32 ordinal = 0;
        const i32 found = find_refinement(a, desc, r, ordinal);
        // The slot of the refinement's flag in a function's layout.
        i32 slot = 0;
        for (i32 d = 0; d < found; d++) {
            const Cell& item = *cell_at(desc, d);
            if (cell::type_of(item) == type::refinement ||
                (cell::type_of(item) == type::typeset &&
                 (item.header & function::arg_kind::mask) != function::arg_kind::return_))
                slot++;
        }
        if (named.size() < static_cast<size_t>(ordinal)) named.resize(static_cast<size_t>(ordinal), false);
        if (named[static_cast<size_t>(ordinal - 1)]) fire(ErrorId::script_dup_refine, a.block);
        named[static_cast<size_t>(ordinal - 1)] = true;
        bool on = true;
        if (p >= from_path) {
            if (!applied_value(a, true)) return false;
            on = logic::truth(*--stack::top);
        }
        if (on) {
            if (native_like) refs[ordinal - 1] = static_cast<i32>(stack::top - stack::arguments);
            else stack::arguments[slot] = logic::true_value;
        }
        i32 k = 1;
        for (i32 d = found + 1; d < desc_length; d++) {
            const Cell item = *cell_at(desc, d);
            if (cell::type_of(item) != type::typeset) break;
            if ((item.header & function::arg_kind::mask) == function::arg_kind::return_) continue;
            if (on) {
                if (!applied_arg(a, desc, d, true)) return false;
            } else if (!applied_value(a, !a.safer)) {
                return false;
            }
            const Cell v = *--stack::top;
            if (on && native_like) stack::push(v);
            else if (on) stack::arguments[slot + k] = v;
            k++;
        }
    }
}

// Fills the `near` of an error being raised from this evaluation: the
// innermost evaluation sees it first.
void fill_near() {
    Cell* e = stack::last_pushed();
    if (!error::error_q(*e)) return;
    Cell* nf = error::field_at(*e, error::field::near);
    if (cell::type_of(*nf) == type::none) *nf = current_code;
}

// Hooks for the object and error modules.
void evaluate_spec(const Cell& body) {
    stack::mark_interp_native(body_name());
    stack::push(unset::value);
    eval_block_throwing(body, false);
    stack::unroll();
}

void evaluate_block(const Cell& body) {
    stack::mark_interp_native(body_name());
    stack::push(unset::value);
    eval_block_throwing(body, false);
    stack::unroll();
}

}  // namespace

// --- Pending unwinding -------------------------------------------------------

u32 signal_break(bool value, bool continue_) {
    const ErrorId no_loop = continue_ ? ErrorId::throw_continue : ErrorId::throw_break;
    const u32 n = stack::depth();
    for (i64 i = static_cast<i64>(n) - 2; i >= 0; --i) {
        CallFrame* f = stack::frame_bottom + i;
        const u32 k = stack::kind_of(*f);
        if (k == frame_kind::try_all) fire(no_loop);
        if (k != frame_kind::loop) continue;
        land_on(f, value && !continue_ ? *stack::arguments : unset::value);
        return pending = continue_ ? throw_code::continue_ : throw_code::break_;
    }
    fire(no_loop);
}

u32 signal_return(bool return_, bool keep_top) {
    const u32 n = stack::depth();
    for (i64 i = static_cast<i64>(n) - (keep_top ? 1 : 2); i >= 0; --i) {
        CallFrame* f = stack::frame_bottom + i;
        if (stack::kind_of(*f) == frame_kind::try_all) fire(ErrorId::throw_return);
        if (!(f->header & frame_flag::body)) continue;
        land_on(f, return_ ? *stack::arguments : unset::value);
        return pending = return_ ? throw_code::return_ : throw_code::exit;
    }
    fire(ErrorId::throw_return);
}

u32 signal_throw(u32 code) {
    const u32 n = stack::depth();
    const Cell value = *stack::arguments;
    const Cell name = stack::arguments + 1 < stack::top ? stack::arguments[1] : unset::value;
    if (!stack::throw_origin) stack::throw_origin = n ? stack::frame_top - 1 : stack::frame_top;
    for (i64 i = static_cast<i64>(n) - 2; i >= 0; --i) {
        CallFrame* f = stack::frame_bottom + i;
        const u32 k = stack::kind_of(*f);
        if (k == frame_kind::try_all) fire(ErrorId::throw_throw, value);
        if (k != frame_kind::catch_) continue;
        land_on(f, value);
        stack::top = stack::arguments;
        stack::push_value(value);
        stack::push_value(name);
        return pending = code;
    }
    fire(ErrorId::throw_throw, value);
}

void throw_pending() {
    if (!pending) return;
    const u32 c = take_pending();
    system_throw(c);
}

// --- Evaluation ----------------------------------------------------------------

namespace {
// eval_expression's body, inlined into eval_block as well: one machine frame
// less per block level keeps deep interpreted recursion cheaper (fewer
// calls and returns, which the processor predicts only a few dozen deep).
// at_base: the caller knows that the expression starts at stack::arguments.
[[gnu::always_inline]] inline i32 expression(const Cell& code_value, i32 pc, i32 end, bool no_infix, bool sub,
                                             bool passive, const Cell* first, bool at_base) {
    const Cell code = code_value;
    Cell* const start = stack::top;
    bool ended = false;
    pc = eval_value(code, pc, end, passive, first, ended);
    if (pending) return pc;
    if (!no_infix && !ended) {
        pc = apply_infix(code, pc, end, start);
        if (pending) return pc;
    }
    if (sub) stack::top = start + 1;
    else if (at_base || start == stack::arguments) stack::keep();
    else stack::set_result(*start);
    // expr marks the end of a top-level expression, not of an argument.
    if (!sub) ORU_TRACE(Event::expr, &code, pc, nullptr, stack::arguments);
    return pc;
}
}  // namespace

namespace {
// Whose frame a block runs in: its own (opened and closed here), the one
// the caller keeps open (eval_in_frame: the result stays in that frame's
// result slot), or its own opened by the caller, which also closes it
// (paren_value).
enum class BlockFrame { own, caller, opened };

// eval_block's frame and evaluation from the expression at i on (the
// block's head, or the next expression when the ones before it were
// computed where no frame could be seen: run_branch).
template <BlockFrame frame>
[[gnu::always_inline]] inline u32 block_from(const Cell& block_value, i32 i, bool chain) {
    // The node and index are read from the caller's cell, before anything
    // can move it, rather than back from the fresh copy (a wide store read
    // back narrow waits on the store).
    const Node n = cell::node(block_value);
    const Cell block = block_value;
    // Saved and put back whole (one 16-byte move each way).
    const __m128i saved = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&current_code));
    if constexpr (frame == BlockFrame::own) stack::mark_interp_eval(body_name());
    ORU_TRACE(Event::enter, &block, i, nullptr, nullptr);
    try {
        // A harness's step limit: every loop and every self-extending block
        // passes here (budget.h).
        budget::step();
        // The length and the next cell come from one fetch of the buffer,
        // made again after each expression (which may move or change it).
        SeriesBuffer* b = memory::buffer(n);
        i32 length = static_cast<i32>((b->tail - b->head) / sizeof(Cell));
        if (i >= length) {
            stack::set_result(unset::value);
        } else {
            // Every evaluation below puts current_code back as it found it,
            // so only the index changes from one expression to the next.
            current_code = block;
            for (;;) {
                current_code.data1 = static_cast<u32>(i);
                // Each expression starts at the frame's base: a frame of the
                // block's own opens at the top, eval_in_frame's caller has
                // the stack there, and it is reset there between them.
                i = expression(block, i, length, false, false, false, b->cells() + i, true);
                if (pending) [[unlikely]] {
                    _mm_storeu_si128(reinterpret_cast<__m128i*>(&current_code), saved);
                    return pending;
                }
                b = memory::buffer(n);
                length = static_cast<i32>((b->tail - b->head) / sizeof(Cell));
                if (i >= length) break;
                stack::reset();
                budget::step();
            }
        }
    } catch (const SystemThrow& t) {
        if (t.code == throw_code::error) fill_near();
        _mm_storeu_si128(reinterpret_cast<__m128i*>(&current_code), saved);
        throw;
    }
    ORU_TRACE(Event::exit, &block, length_of(n), nullptr, stack::arguments);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&current_code), saved);
    if constexpr (frame == BlockFrame::caller) {
        stack::keep();
    } else if constexpr (frame == BlockFrame::own) {
        if (chain) close_frame_last();
        else close_frame();
    }
    return 0;
}
}  // namespace

u32 eval_block(const Cell& block_value, bool chain) {
    return block_from<BlockFrame::own>(block_value, cell::head_index(block_value), chain);
}

namespace {
// A paren met as a value: it stays on the stack below its frame while it
// runs (the code may lose it meanwhile, and the collector must still see
// it); its value then takes the paren's place. The block's evaluation is
// inlined here, so that the paren costs eval_block's one machine frame.
// Its two frames (a native one, then the block's own, both <body>) are
// opened in one step when both fit, else one by one, so that the overflow
// is raised with the first one open; they are closed in one step: both
// start at hold + 1, so the block's result slot is the native frame's too.
[[gnu::noinline]] void paren_value(const Cell& paren) {
    Cell* const hold = push_inline(paren);
    if (stack::frame_end - stack::frame_top >= 2) [[likely]] {
        const Cell& name = body_name();
        const u32 header = stack::encode_symbol(name.data2) | frame_flag::interp;
        CallFrame* const f = stack::frame_top;
        f[0] = CallFrame{header | (frame_kind::native << frame_flag::kind_shift), stack::index_of(stack::arguments),
                         name.data1, 0, 0};
        f[1] = CallFrame{header | (frame_kind::eval << frame_flag::kind_shift), stack::index_of(stack::top),
                         name.data1, 0, 0};
        stack::frame_top = f + 2;
        stack::arguments = stack::top;
    } else {
        stack::mark_interp_native(body_name());
        stack::mark_interp_eval(body_name());
    }
    if (block_from<BlockFrame::opened>(paren, cell::head_index(paren), true)) return;
    if (stack::frame_top - stack::frame_bottom < 2) __builtin_unreachable();
    stack::frame_top -= 2;
    *hold = *stack::arguments;
    stack::arguments = stack::bottom + stack::frame_top->base;
    stack::top = hold + 1;
}

// A block whose first expression was computed without its frame: the frame
// is opened where eval_block opened it (the top back where the block began)
// and the evaluation goes on from the expression at i, the result chained.
[[gnu::noinline]] void block_rest(const Cell& block_value, i32 i) {
    (void)block_from<BlockFrame::own>(block_value, i, true);
}
}  // namespace

void eval_block_throwing(const Cell& block, bool chain) {
    if (eval_block(block, chain)) throw_pending();
}

// eval_block's evaluation in the frame the caller keeps open.
u32 eval_in_frame(const Cell& block_value) {
    return block_from<BlockFrame::caller>(block_value, cell::head_index(block_value), false);
}

i32 eval_expression(const Cell& code, i32 pc, i32 end, bool no_infix, bool sub, bool passive) {
    return expression(code, pc, end, no_infix, sub, passive);
}


i32 eval_next(const Cell& block) {
    const Node n = cell::node(block);
    const i32 i = cell::head_index(block);
    if (i >= length_of(n)) {
        stack::push(unset::value);
        return i;
    }
    const Cell saved = current_code;
    current_code = with_index(block, i);
    const i32 next = eval_expression(block, i, length_of(n), false, true, false);
    current_code = saved;
    return next;
}

namespace {
u32 call_plain(const Cell& fn_value, const Cell& name) {
    const Cell fn = cell::type_of(fn_value) == type::op ? unwrap_op(fn_value) : fn_value;
    const u32 t = cell::type_of(fn);
    if (t == type::native || t == type::action) {
        // Every refinement absent: the callback gives positional arguments only.
        i32 refs[max_refinements];
        const i32 ref_count = absent_refinements(described(fn).sig, refs);
        if (t == type::native) {
            const native::Entry entry = native::entry_of(fn);
            if (!entry) fire(ErrorId::internal_not_done);
            const u32 c = entry(false, ref_count ? refs : nullptr);
            if (c && !pending) pending = c;
            return pending;
        }
        const u32 slot_index = fn.data1;
        if (slot_index >= action::count || !actions::table[slot_index]) fire(ErrorId::internal_not_done);
        actions::table[slot_index](ref_count ? refs : nullptr);
        return pending;
    }
    if (t == type::routine) {
        call_routine(fn, name);
        return 0;
    }
    if (t != type::function) fire(ErrorId::script_invalid_arg, fn);
    return run_function(fn, name);
}

// An internal callback while tracing: traced only when its bit is on in
// callback_bits, and then an interpreted function gets call and return
// events around it, named by the callback's name. Tracing is put back
// however the call ends.
// system/state/callbacks/bits, read through the system object on each call;
// callback_bits stands in while the object has no such field.
u32 traced_callbacks() {
    static system_object::Path bits_path{"state", "callbacks", "bits"};
    return static_cast<u32>(system_object::integer_at(bits_path, static_cast<i32>(callback_bits)));
}

[[gnu::noinline]] u32 call_traced_callback(const Cell& fn_value, const Cell& name, u32 callback_bit) {
    const bool was_tracing = tracing;
    const bool traced = (traced_callbacks() & callback_bit) != 0;
    if (!traced) tracing = false;
    const Cell fn = fn_value;
    const Cell ref = name;
    const bool interpreted = tracing && cell::type_of(fn) == type::function &&
                             cell::type_of(*function::extra_cell(fn, function::extra::entry)) != type::integer;
    u32 code = 0;
    try {
        if (interpreted) trace(Event::call, nullptr, -1, &ref, &fn);
        code = call_plain(fn, ref);
        if (interpreted && !code) trace(Event::return_, nullptr, -1, &ref, stack::arguments);
    } catch (const SystemThrow&) {
        tracing = was_tracing;
        throw;
    }
    // A code passed on leaves tracing as the unwinding finds it, unless this
    // call turned it off: then nothing inside could deliver events (a tracer
    // that threw included), and the call's own switch must not outlive it.
    if (!code || !traced) tracing = was_tracing;
    return code;
}
}  // namespace

u32 call_function(const Cell& fn, Node, const Cell& name, u32 callback_bit) {
    if (callback_bit && tracing) [[unlikely]] return call_traced_callback(fn, name, callback_bit);
    return call_plain(fn, name);
}

u32 apply(const Cell& fn_value, const Cell& args_block, bool all, bool safer, const Cell* name, const Cell* path) {
    const Cell fn = cell::type_of(fn_value) == type::op ? unwrap_op(fn_value) : fn_value;
    const u32 t = cell::type_of(fn);
    if (!callable_q(t)) fire(ErrorId::script_invalid_arg, fn);
    const Node bn = cell::node(args_block);
    Applied a{Call{fn, name && cell::type_of(*name) == type::word ? *name : words::word::tag_applied, nullptr, 0, 0,
                   false},
              args_block, cell::head_index(args_block), length_of(bn), safer};
    if (path) a.path = *path;
    ORU_TRACE(Event::open, &a.block, a.pc, nullptr, &a.call.name);
    stack::push(fn);  // the placeholder the result replaces
    if (t == type::function) stack::mark_interp_func(a.call.name, function::context_of(fn));
    else stack::mark_interp_native(a.call.name);
    i32 refs[max_refinements];
    i32 ref_count = 0, locals = 0;
    if (!applied_args(a, all, refs, ref_count, locals)) return pending;
    if (locals > 0 && (t == type::function || t == type::routine)) function::init_locals(locals);
    // No position (offset -1): an applied call has no code after its
    // arguments; the code is still the argument block.
    ORU_TRACE(Event::call, &a.block, -1, &a.call.name, &a.call.fn);
    if (t == type::native) {
        const native::Entry entry = native::entry_of(fn);
        if (!entry) fire(ErrorId::internal_not_done);
        const u32 c = entry(false, ref_count ? refs : nullptr);
        if (c && !pending) pending = c;
        if (pending) return pending;
    } else if (t == type::action) {
        const u32 slot_index = fn.data1;
        if (slot_index >= action::count || !actions::table[slot_index]) fire(ErrorId::internal_not_done);
        actions::table[slot_index](ref_count ? refs : nullptr);
        if (pending) return pending;
    } else if (t == type::routine) {
        call_routine(fn, a.call.name);
    } else if (const u32 c = run_function(fn, a.call.name)) {
        return c;
    }
    stack::unwind();
    ORU_TRACE(Event::return_, &a.block, a.pc, &a.call.name, stack::top - 1);
    Cell* result = stack::top - 1;
    result[-1] = *result;
    stack::top = result;
    return 0;
}

void call_handler(const Cell& fn) {
    if (call_function(fn, 0, anon_name(), 0)) throw_pending();
}

const Cell* word_value(const Cell& w) { return lookup(w); }

void init() {
    pending = 0;
    current_code = unset::value;
    tracing = trace_run = false;
    callback_bits = 0;
    globals = GlobalValues{};
    running = RunningFunction{};
    object::set_spec_evaluator(evaluate_spec);
    object::set_handler_caller(call_handler);
    error::set_eval_hook(evaluate_block);
}

}  // namespace oru::interpreter
