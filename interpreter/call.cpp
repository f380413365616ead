// Argument fetching and the call protocol: every call made from code, by
// its road. The general road walks the callee's arguments description
// (fetch_args), opens the frame through the stack module, takes each
// argument as its kind says and checks its type, turns on the refinements a
// path names, then calls the native's or action's routine, runs the
// function's body or converts a routine's arguments. The direct roads take
// the same steps for the common shapes (a direct description, either and
// if, one refinement named by a path through a kept plan) without the walk.
// call.h has the roads every file needs inline (run_body, call_value).
//
// Any argument's evaluation may allocate and so move every buffer: the
// description and the code are read again by node and index after each.
#include "interpreter/call.h"

#include "interpreter/natives_eval.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/routine.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/system_object.h"

namespace oru::interpreter::eval {

RefinedPlan refined_plans[refined_plan_count];

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

namespace {

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

}  // namespace

[[noreturn]] void expect_arg(const Call& call, i32 d, const Cell& value) {
    fire(ErrorId::script_expect_arg, call.name, datatype::make(cell::type_of(value)), argument_word(call.fn, d));
}

namespace {

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
    ORU_TRACE(event::call, &code, pc, &call.name, &call.fn);
    // An operator whose right operand needed evaluating: two integers are
    // done here as in eval_expression, without the handler.
    if (call.infix && native_like && !general_road) {
        Cell* args = stack::arguments;
        if (cell::type_of(args[0]) == type::integer && cell::type_of(args[1]) == type::integer &&
            stack::top == args + 2) {
            const IntOp op = int_op_for(t, call.fn.data1);
            if (op != IntOp::none && integer_op(op, args, static_cast<i32>(args[1].data2))) return pc;
        }
    }
    if (t == type::native) {
        const native::Entry entry = native::entry_of(call.fn);
        if (!entry) fire(ErrorId::internal_not_done);
        // either and if run their block from here, as their natives would
        // (same frame, same result), without the native's machine frame.
        if (const i32 blocks = general_road ? 0 : branch_blocks(entry)) {
            choose(blocks, stack::arguments);
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

}  // namespace

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

[[gnu::noinline]] u32 run_function(const Cell& fn, const Cell& name) { return run_body(fn, name); }

namespace {

// The open event's value: the function's name, or without one the cell
// that named the call (the one before its arguments).
[[gnu::noinline, gnu::cold]] void trace_open(const Call& call, const Cell& code, i32 pc) {
    Cell named = call.name;
    const bool unnamed = cell::type_of(named) != type::word || named.data2 == anon_name().data2;
    if (unnamed && pc > 0 && pc <= length_of(cell::node(code)))
        named = *cell_at(cell::node(code), pc - 1);
    fire_event(event::open, &code, pc, nullptr, &named);
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
        if (!general_road && pc < end) [[likely]] {
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
    if (!general_road && stack::end - stack::top > blocks) [[likely]] {
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
        fire_event(event::return_, &code, pc, &name, stack::top - 1);
        take_result();
        return;
    }
    if (stack::frame_top == stack::frame_bottom) __builtin_unreachable();
    stack::unwind_below();
}

}  // namespace

namespace {

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

}  // namespace

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

// call_value's road for a function! with a direct description, called by a
// word or as a value (no path, not infix) while not tracing: the same
// frame, arguments, events and body run, without walking the description.
[[gnu::noinline]] i32 call_direct_function(Call& call, Node desc, u32 sig, const Cell& code, i32 pc, i32 end) {
    push_inline(call.fn);
    stack::mark_interp_func(call.name, function::context_of(call.fn));
    pc = fetch_direct(call, desc, sig, 0, code, pc, end);
    if (pending) [[unlikely]] return pc;
    ORU_TRACE(event::call, &code, pc, &call.name, &call.fn);
    if (const i32 locals = function::signature::locals(sig)) function::init_locals(locals);
    if (run_body(call.fn, call.name)) return pc;
    close_call(code, pc, call.name);
    return pc;
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

namespace {

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

}  // namespace

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
    ORU_TRACE(event::call, &code, pc, &call.name, &call.fn);
    if (locals > 0) function::init_locals(locals);
    if (run_body(call.fn, call.name)) return pc;
    close_frame();
    ORU_TRACE(event::return_, &code, pc, &call.name, stack::top - 1);
    take_result();
    return pc;
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
    if (!general_road && stack::end - stack::top > arity) [[likely]] {
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
    ORU_TRACE(event::call, &code, pc, &call.name, &call.fn);
    choose_branch<blocks == 2>(stack::arguments);
    if (pending) return pc;
    close_call(code, pc, call.name);
    return pc;
}

template i32 call_branching<1>(Call& call, Node desc, const Cell& code, i32 pc, i32 end);
template i32 call_branching<2>(Call& call, Node desc, const Cell& code, i32 pc, i32 end);

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
    ORU_TRACE(event::call, &code, pc, &call.name, &call.fn);
    const bool action_q = cell::type_of(call.fn) == type::action;
    if constexpr (infix) {
        Cell* args = stack::arguments;
        if (!general_road && cell::type_of(args[0]) == type::integer && cell::type_of(args[1]) == type::integer &&
            stack::top == args + 2) {
            const IntOp op = int_op_for(cell::type_of(call.fn), call.fn.data1);
            if (op != IntOp::none && integer_op(op, args, static_cast<i32>(args[1].data2))) {
                close_frame();
                ORU_TRACE(event::return_, &code, pc, &call.name, stack::top - 1);
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
        if (const i32 blocks = branch_blocks(entry)) {
            choose(blocks, stack::arguments);
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
    ORU_TRACE(event::return_, &code, pc, &call.name, stack::top - 1);
    if constexpr (!infix) take_result();
    return pc;
}

template i32 call_direct_native<false>(Call& call, Node desc, u32 sig, const Cell& code, i32 pc, i32 end);
template i32 call_direct_native<true>(Call& call, Node desc, u32 sig, const Cell& code, i32 pc, i32 end);

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
    ORU_TRACE(event::return_, &code, pc, &call.name, stack::top - 1);
    if (!call.infix) {
        // The result replaces the function value pushed below the frame.
        Cell* result = stack::top - 1;
        result[-1] = *result;
        stack::top = result;
    }
    return pc;
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
    if (!traced) set_tracing(false);
    const Cell fn = fn_value;
    const Cell ref = name;
    const bool interpreted = tracing && cell::type_of(fn) == type::function &&
                             cell::type_of(*function::extra_cell(fn, function::extra::entry)) != type::integer;
    u32 code = 0;
    try {
        if (interpreted) fire_event(event::call, nullptr, -1, &ref, &fn);
        code = call_plain(fn, ref);
        if (interpreted && !code) fire_event(event::return_, nullptr, -1, &ref, stack::arguments);
    } catch (const SystemThrow&) {
        set_tracing(was_tracing);
        throw;
    }
    // A code passed on leaves tracing as the unwinding finds it, unless this
    // call turned it off: then nothing inside could deliver events (a tracer
    // that threw included), and the call's own switch must not outlive it.
    if (!code || !traced) set_tracing(was_tracing);
    return code;
}

}  // namespace
}  // namespace oru::interpreter::eval

namespace oru::interpreter {

using namespace eval;

u32 call_function(const Cell& fn, Node, const Cell& name, u32 callback_bit) {
    if (callback_bit && tracing) [[unlikely]] return call_traced_callback(fn, name, callback_bit);
    return call_plain(fn, name);
}

void call_handler(const Cell& fn) {
    if (call_function(fn, 0, anon_name(), 0)) throw_pending();
}

}  // namespace oru::interpreter
