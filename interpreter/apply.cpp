// apply's entry: a function-like value called with its arguments taken from
// a block one value at a time (evaluator.h states the contract),
// with or without /all, /safer, and refinements named by a path. The frame
// and the call are the call protocol's (call.h); only the arguments come
// another way.
#include "interpreter/call.h"

#include "runtime/datatypes/none.h"
#include "runtime/datatypes/symbol.h"

#include <vector>

namespace oru::interpreter::eval {

namespace {

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

}  // namespace
}  // namespace oru::interpreter::eval

namespace oru::interpreter {

using namespace eval;

u32 apply(const Cell& fn_value, const Cell& args_block, bool all, bool safer, const Cell* name, const Cell* path) {
    const Cell fn = cell::type_of(fn_value) == type::op ? unwrap_op(fn_value) : fn_value;
    const u32 t = cell::type_of(fn);
    if (!callable_q(t)) fire(ErrorId::script_invalid_arg, fn);
    const Node bn = cell::node(args_block);
    Applied a{Call{fn, name && cell::type_of(*name) == type::word ? *name : words::word::tag_applied, nullptr, 0, 0,
                   false},
              args_block, cell::head_index(args_block), length_of(bn), safer};
    if (path) a.path = *path;
    ORU_TRACE(event::open, &a.block, a.pc, nullptr, &a.call.name);
    stack::push(fn);  // the placeholder the result replaces
    if (t == type::function) stack::mark_interp_func(a.call.name, function::context_of(fn));
    else stack::mark_interp_native(a.call.name);
    i32 refs[max_refinements];
    i32 ref_count = 0, locals = 0;
    if (!applied_args(a, all, refs, ref_count, locals)) return pending;
    if (locals > 0 && (t == type::function || t == type::routine)) function::init_locals(locals);
    // No position (offset -1): an applied call has no code after its
    // arguments; the code is still the argument block.
    ORU_TRACE(event::call, &a.block, -1, &a.call.name, &a.call.fn);
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
    ORU_TRACE(event::return_, &a.block, a.pc, &a.call.name, stack::top - 1);
    Cell* result = stack::top - 1;
    result[-1] = *result;
    stack::top = result;
    return 0;
}

}  // namespace oru::interpreter
