// Paths met as code: a path's head word looked up, then each further
// element handed to the eval-path action of the value so far, a function
// met on the way called with the elements after it as refinements (a
// function held in an object's field runs as that object's method), and
// set-paths and get-paths. A path whose head word holds a function with a
// cached description takes the refined call road at once, and one naming a
// single refinement whose plan is kept writes its call's cells in one go.
//
// The current value and the one that held it stay on the data stack while
// each step runs: a step may allocate and move every buffer.
#include "interpreter/call.h"

#include "runtime/datatypes/none.h"

namespace oru::interpreter::eval {

namespace {

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
    ORU_TRACE(event::push, &code, at, nullptr, stack::top - 1);
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
        // The frame mark_interp_func opens, with the body flag run_body sets
        // (its room is checked above).
        const Node fn_ctx = function::context_of(fn);
        Cell* const ctx_cell = context::cell_of(fn_ctx);
        stack::top = args;
        stack::mark_interp_body(name, fn_ctx, ctx_cell->data2);
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
            ORU_TRACE(event::return_, &code, pc, &name, stack::top - 1);
        }
        // The result goes from the function's result slot to the path's cell
        // at once (take_result would copy it over the function value first,
        // above the final top, where no one reads it).
        *base = *(stack::top - 1);
        stack::top = base + 1;
        ORU_TRACE(event::push, &code, at, nullptr, stack::top - 1);
        return pc;
    }
declined:
    kept.declined_code = code_node;
    kept.declined_at = at;
    return path_refined(fn, first, desc, sig, code, at, end);
}

}  // namespace

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
    if (!get && !general_road) [[likely]] {
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
    if (!pending) ORU_TRACE(event::push, &code, pc, nullptr, stack::top - 1);
    return next;
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
    ORU_TRACE(event::enter, &path_value, head, nullptr, nullptr);
    ORU_TRACE(event::fetch, &path_value, head, nullptr, &first);
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
        ORU_TRACE(event::fetch, &path_value, i, nullptr, &el);
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
    ORU_TRACE(event::exit, &path_value, length_of(pn), nullptr, &result);
    stack::top = base;
    stack::push(result);
    return pc;
}

}  // namespace oru::interpreter::eval
