// The general evaluator: blocks, expressions, words, set-words, parens and
// the infix operators after a value. Its neighbours: call.h and call.cpp
// (argument fetching and the call protocol), path.cpp (paths), apply.cpp
// (apply's entry), unwind.cpp (break, continue, return, exit and throw),
// trace.cpp (the trace hook); eval_core.h and eval_words.h hold the small
// inline steps they all share.
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
// Every shortcut tests general_road first (trace.h): with it set, while
// tracing or under ORU_EVAL_GENERAL=1, only the general road runs.
#include "interpreter/evaluator.h"

#include "interpreter/call.h"
#include "interpreter/eval_core.h"
#include "interpreter/unwind.h"
#include "runtime/budget.h"
#include "runtime/halt.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/object.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/unset.h"

namespace oru::interpreter::eval {

GlobalValues globals;
RunningFunction running;
KeptIntOp kept_int_ops[8];

[[gnu::noinline]] void refresh_globals() {
    globals = GlobalValues{};
    const Node ctx = context::global;
    // On the general road nothing is kept: every read goes through the context.
    if (!ctx || general_road) return;
    const Cell& c = *context::cell_of(ctx);
    // Only a values block of a context that is no object's: its slots are
    // read and written as they are.
    if ((c.header & context::on_stack) || context::kind_of(ctx) == context::kind::object) return;
    SeriesBuffer* b = memory::buffer(c.data2);
    globals = GlobalValues{ctx, memory::moves, b, b->cells()};
}

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

[[gnu::noinline]] IntOp find_int_op(const Cell& op_value) {
    const IntOp op = int_op_of(op_value);
    if (op == IntOp::none || !integer_args_q(op_value)) return IntOp::none;
    kept_int_ops[op_value.data1 & 7] = KeptIntOp{op_value, memory::moves, op};
    return op;
}

namespace {
[[gnu::always_inline]] inline i32 expression(const Cell& code_value, i32 pc, i32 end, bool no_infix, bool sub,
                                             bool passive, const Cell* first = nullptr, bool at_base = false);
inline i32 eval_value(const Cell& code, i32 pc, i32 end, bool passive, const Cell* first, bool& ended);
void paren_value(const Cell& paren);
}  // namespace

// A paren that is one expression computed in place to an integer! (a plain
// value and integer operators whose right operands are read in place) gives
// that integer without its two frames: nothing in it can raise, trace or
// unwind, so nothing could see them. False when the paren must be evaluated.
[[gnu::noinline]] bool paren_integer(const Cell& paren, i32& out, i32 kept) {
    if (general_road || !room_q()) return false;
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

namespace {

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
        if (!general_road) [[likely]] {
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
        ORU_TRACE(event::fetch, &code, pc, nullptr, &w);
        const Cell fn = unwrap_op(*v);
        stack::top = start + 1;  // the value so far is the left operand, in place
        Call call{fn, w, nullptr, 0, 0, true};
        pc = call_value(call, code, pc + 1, end);
        if (pending) return pc;
    }
    stack::top = start + 1;
    return pc;
}

}  // namespace

// apply_infix out of line with no in-place attempt first, for a caller that
// knows the first operator's right operand cannot be read in place.
[[gnu::noinline]] i32 infix_general(const Cell& code_value, i32 pc, i32 end, Cell* start) {
    const Cell code = code_value;
    return apply_infix(code, pc, end, start);
}

namespace {
// apply_infix out of line, for the value just pushed at `start`: the
// operators computed in place come first, on the pushed cell itself (a
// data-stack cell never moves), each word read on its own (the chains met
// here are short: checking the kept global values once first costs more
// than it saves). What is left goes to infix_general, so that this road
// saves and restores only the few registers the in-place operators need.
[[gnu::noinline]] i32 infix_chain(const Cell& code, i32 pc, i32 end, Cell* start) {
    if (!general_road) [[likely]] {
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

}  // namespace

// The same, with one operator whose right operand ends the expression (the
// code ends after it, or a value that is not a word follows) computed first
// with no call (quick_op), so that this road saves no registers.
[[gnu::noinline]] i32 infix_after(const Cell& code, i32 pc, i32 end, Cell* start) {
    if (!general_road) [[likely]] {
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

namespace {

// The slot a set-word stores into when it is reached through the kept
// global values or the running function; else null.
inline Cell* set_slot(const Cell& set_word, i32 kept) {
    if (Cell* slot = kept_slot(set_word, kept)) return slot;
    if (global_values(set_word)) [[likely]] return globals.cells + word::index_of(set_word);
    return running_slot(set_word);
}

}  // namespace

// A set-word whose value is computed in place (a value plain_read takes
// and the integer operators after it, int_chain, with nothing left to the
// ordinary road), its word reached through the kept global values or the
// running function: the value is stored and pushed as the set-word's
// result in one step. Its frame is not opened: nothing between could raise,
// trace or unwind, so nothing could see it, and with the room room_q asks
// for it could not have overflowed either. Returns the next pc, or -1 with
// nothing done when the ordinary road must run.
[[gnu::noinline]] i32 set_plain(const Cell& set_word, const Cell& code, i32 pc, i32 end) {
    if (general_road || !room_q()) return -1;
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

namespace {

// The end of a set-word's road, its value evaluated (pending not set) and
// on top of its open frame: the store, the result, the frame closed.
[[gnu::always_inline]] inline i32 set_store(const Cell& set_word, const Cell& code, i32 pc) {
    ORU_TRACE(event::set, &code, pc, &set_word, stack::top - 1);
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
    if (!in_place && !general_road) {
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
        ORU_TRACE(event::push, &code, pc, nullptr, &set_word);
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
    ORU_TRACE(event::fetch, &code, pc, nullptr, &v);
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
        ORU_TRACE(event::push, &code, pc, nullptr, stack::top - 1);
        return pc + 1;
    }
    if (vt0 < 64 && !(active_types & type_bit(vt0))) {
        push_inline(v);
        ORU_TRACE(event::push, &code, pc, nullptr, stack::top - 1);
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
            ORU_TRACE(event::push, &code, pc, nullptr, &v);
            pc = eval_expression(code, pc + 1, end, false, true, false);
            if (pending) return pc;
            ORU_TRACE(event::set, &code, pc, &v, stack::top - 1);
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
    ORU_TRACE(event::push, &code, pc, nullptr, stack::top - 1);
    return pc + 1;
}

// --- Blocks ----------------------------------------------------------------

// Fills the `near` of an error being raised from this evaluation: the
// innermost evaluation sees it first.
void fill_near() {
    Cell* e = stack::last_pushed();
    if (!error::error_q(*e)) return;
    Cell* nf = error::field_at(*e, error::field::near);
    if (cell::type_of(*nf) == type::none) *nf = current_code;
}

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
    if (!sub) ORU_TRACE(event::expr, &code, pc, nullptr, stack::arguments);
    return pc;
}

// Whose frame a block runs in: its own (opened and closed here), the one
// the caller keeps open (eval_in_frame: the result stays in that frame's
// result slot), or its own opened by the caller, which also closes it
// (paren_value).
enum class BlockFrame { own, caller, opened };

// eval_block's frame and evaluation from the expression at i on (the
// block's head, or the next expression when the ones before it were
// computed where no frame could be seen: run_branch).
// A pending halt request (Ctrl+C in the console): the throw of `halt`,
// made here as its native would make it, from a frame of its own.
[[gnu::noinline, gnu::cold]] u32 raise_halt() {
    halt::requested.store(false, std::memory_order_relaxed);
    static const Cell value = word::load("halt-request");
    static const Cell name = word::load("console");
    stack::mark_native(body_name());
    stack::push(value);
    stack::push(name);
    return signal_throw(throw_code::throw_);
}

template <BlockFrame frame>
[[gnu::always_inline]] inline u32 block_from(const Cell& block_value, i32 i, bool chain) {
    // Every loop iteration and every function body passes here.
    if (halt::pending()) [[unlikely]] return raise_halt();
    // The node and index are read from the caller's cell, before anything
    // can move it, rather than back from the fresh copy (a wide store read
    // back narrow waits on the store).
    const Node n = cell::node(block_value);
    const Cell block = block_value;
    // Saved and put back whole (one 16-byte move each way).
    const __m128i saved = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&current_code));
    if constexpr (frame == BlockFrame::own) stack::mark_interp_eval(body_name());
    ORU_TRACE(event::enter, &block, i, nullptr, nullptr);
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
    ORU_TRACE(event::exit, &block, length_of(n), nullptr, stack::arguments);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&current_code), saved);
    if constexpr (frame == BlockFrame::caller) {
        stack::keep();
    } else if constexpr (frame == BlockFrame::own) {
        if (chain) close_frame_last();
        else close_frame();
    }
    return 0;
}

// A paren met as a value: it stays on the stack below its frame while it
// runs (the code may lose it meanwhile, and the collector must still see
// it); its value then takes the paren's place. The block's evaluation is
// inlined here, so that the paren costs eval_block's one machine frame.
// Its two frames (a native one, then the block's own, both <body>) are
// opened in one step (stack::mark_interp_native_eval) and closed in one
// step: both start at hold + 1, so the block's result slot is the native
// frame's too, and its value then moves into the paren's cell.
[[gnu::noinline]] void paren_value(const Cell& paren) {
    push_inline(paren);
    stack::mark_interp_native_eval(body_name());
    if (block_from<BlockFrame::opened>(paren, cell::head_index(paren), true)) return;
    if (stack::frame_top - stack::frame_bottom < 2) __builtin_unreachable();
    stack::unwind_below(2);
}

}  // namespace

// A block whose first expression was computed without its frame: the frame
// is opened where eval_block opened it (the top back where the block began)
// and the evaluation goes on from the expression at i, the result chained.
[[gnu::noinline]] void block_rest(const Cell& block_value, i32 i) {
    (void)block_from<BlockFrame::own>(block_value, i, true);
}

namespace {

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
}  // namespace oru::interpreter::eval

namespace oru::interpreter {

using namespace eval;

Cell current_code{type::unset, 0, 0, 0};

u32 eval_block(const Cell& block_value, bool chain) {
    return block_from<BlockFrame::own>(block_value, cell::head_index(block_value), chain);
}

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

const Cell* word_value(const Cell& w) { return lookup(w); }

void init() {
    pending = 0;
    current_code = unset::value;
    trace_init();
    globals = GlobalValues{};
    running = RunningFunction{};
    object::set_spec_evaluator(evaluate_spec);
    object::set_handler_caller(call_handler);
    error::set_eval_hook(evaluate_block);
}

}  // namespace oru::interpreter
