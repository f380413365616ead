// The call protocol's shared roads (call.cpp has the rest): running a
// function!'s body in the frame its caller opened, the kept plans of
// refined calls, either's and if's branch, and call_value, which sends every
// call made from code to its road. Inline: the evaluator's expressions and
// path steps call through here on every call.
#pragma once

#include "interpreter/eval_core.h"
#include "interpreter/natives_control.h"
#include "runtime/collector.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/unset.h"

namespace oru::interpreter::eval {

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
    // Nothing is kept on the general road (nor for a context whose values
    // are not on the stack).
    if (!(ctx_cell->header & context::on_stack) | general_road) [[unlikely]] {
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
    if (!opened) stack::set_body_flag(true);
    const bool was_tracing = tracing;
    const bool flagged = (fn.header & function::attribute::mask) != 0;
    if (flagged) [[unlikely]] {
        if (fn.header & function::attribute::trace) set_tracing(trace_run);
        else if (fn.header & function::attribute::no_trace) set_tracing(false);
    }
    const Cell body = *extra_at(fn, function::extra::body);
    // A caller that `opened` runs while tracing is off: only a trace
    // attribute can have turned it on.
    if (!opened || flagged) ORU_TRACE(event::prolog, &body, -1, &name, &fn);
    u32 code = 0;
    try {
        if (cell::type_of(body) == type::block) code = eval_block(body, true);
        else stack::set_result(unset::value);
    } catch (const SystemThrow& t) {
        if (t.code != throw_code::return_ && t.code != throw_code::exit) {
            context::cell_of(ctx)->data2 = saved;
            running = outer;
            if (flagged) set_tracing(was_tracing);
            throw;
        }
        runtime.pending_code = 0;
        code = t.code;
    }
    if (tracing) [[unlikely]] {
        // The tracer runs with no code pending; the body's is kept aside.
        const u32 kept = pending;
        pending = 0;
        {
            ResultAtTop at_top(kept || code);
            fire_event(event::epilog, &body, -1, &name, &fn);
        }
        pending = kept;
    }
    if (flagged) set_tracing(was_tracing);
    context::cell_of(ctx)->data2 = saved;
    running = outer;
    if (code == throw_code::return_ || code == throw_code::exit) {
        pending = 0;
        code = 0;
        stack::top = stack::arguments + 1;
    }
    if (code) return code;
    if (stack::frame_top == stack::frame_bottom) __builtin_unreachable();
    if (!opened) stack::set_body_flag(false);
    return 0;
}

// run_body out of line (call_value's general road, call_plain, apply).
// Inlined, its unwinding state made every call_value, native calls
// included, save more registers.
u32 run_function(const Cell& fn, const Cell& name);

// Runs a routine! whose arguments are in the current frame.
void call_routine(const Cell& r, const Cell& name);

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

extern RefinedPlan refined_plans[refined_plan_count];
inline RefinedPlan& plan_for(Node desc, i32 sym) {
    return refined_plans[(desc ^ static_cast<u32>(sym) * 5u) & (refined_plan_count - 1)];
}

// A plan whose moves is stale still holds when no collection cycle has run
// since it was kept (not even one running now) under the same memory
// manager: then moves is brought up to date, and the next use takes one
// compare again.
bool plan_current(RefinedPlan& plan);
inline bool plan_holds(RefinedPlan& plan) {
    if (plan.moves == memory::moves) [[likely]] return true;
    return plan_current(plan);
}

// --- either and if ---------------------------------------------------------

// either and if, recognised here only: the count of blocks the native takes
// after its condition (2 for either, 1 for if), 0 for any other entry. Their
// calls run the chosen block from the call itself (choose_branch), inside
// the native's frame, as the natives would.
inline i32 branch_blocks(native::Entry entry) {
    return entry == natives::either ? 2 : entry == natives::if_ ? 1 : 0;
}

// The block either or if chose, without its frame when it is computed in
// place (call.cpp); false when eval_block must run it whole.
bool branch_value(const Cell& block, const Cell* cells, i32 i, i32 length);

// The first cell decides whether branch_value is worth a call: a word or a
// value that stands for itself.
[[gnu::always_inline]] inline void run_branch(const Cell& block) {
    if (!general_road) [[likely]] {
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

// either (blocks 2) or if (1) after its arguments, for branch_blocks' count.
[[gnu::always_inline]] inline void choose(i32 blocks, Cell* args) {
    if (blocks == 2) choose_branch<true>(args);
    else choose_branch<false>(args);
}

// --- Call roads (call.cpp) ---------------------------------------------------

i32 call_general(Call& call, const Cell& code, i32 pc, i32 end);
i32 call_direct_function(Call& call, Node desc, u32 sig, const Cell& code, i32 pc, i32 end);
i32 call_refined_function(Call& call, Node desc, u32 sig, const Cell& code, i32 pc, i32 end);
// either's (blocks 2) and if's (1) road.
template <i32 blocks>
i32 call_branching(Call& call, Node desc, const Cell& code, i32 pc, i32 end);
// The direct road of a native or action, not infix or infix.
template <bool infix>
i32 call_direct_native(Call& call, Node desc, u32 sig, const Cell& code, i32 pc, i32 end);

// Every call made from code. While not tracing, a function or native whose
// description is cached (it is never built here) takes a road of its own:
// the direct roads for a direct description not refined by a path (plain
// too for a function; natives only when infix), the refined road for any
// other function not infix; the rest takes call_general. either and if,
// called directly and not infix, take call_branching.

[[gnu::always_inline]] inline i32 call_value(Call& call, const Cell& code, i32 pc, i32 end) {
    constexpr u32 valid_direct = function::signature::valid | function::signature::direct;
    const u32 t = cell::type_of(call.fn);
    if (!general_road && (t == type::function || t == type::native || t == type::action)) [[likely]] {
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
                    const i32 blocks = branch_blocks(entry);
                    if (blocks == 2 && arity == 3) return call_branching<2>(call, cell::node(*cached), code, pc, end);
                    if (blocks == 1 && arity == 2) return call_branching<1>(call, cell::node(*cached), code, pc, end);
                }
                return call_direct_native<false>(call, cell::node(*cached), sig, code, pc, end);
            }
        }
    }
    return call_general(call, code, pc, end);
}

}  // namespace oru::interpreter::eval
