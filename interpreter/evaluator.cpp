// The evaluator: expressions, calls, arguments, paths, and the pending
// unwinding of break, continue, return, exit and throw.
//
// Every value computed here is pushed on the data stack before anything
// else can run, and code is walked by node and index: evaluation may
// allocate, and any allocation may move every buffer. The arguments
// description of a callee is read one cell at a time by node and index for
// the same reason.
#include "interpreter/evaluator.h"

#include "interpreter/actions.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/function.h"
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
#include "runtime/words.h"

namespace oru::interpreter {

u32 pending = 0;
Cell current_code{type::unset, 0, 0, 0};
bool tracing = false;
bool trace_run = false;

namespace {

// --- Small helpers ---------------------------------------------------------

inline i32 length_of(Node n) { return static_cast<i32>(memory::buffer(n)->length()); }
// Cell i of a buffer of cells; valid until the next allocation.
inline Cell* cell_at(Node n, i32 i) { return memory::buffer(n)->cells() + i; }
inline Cell with_index(const Cell& series, i32 i) {
    Cell c = series;
    c.data1 = static_cast<u32>(i);
    return c;
}

inline bool callable_q(u32 t) {
    return t == type::native || t == type::action || t == type::function || t == type::routine;
}

// The two frame names that error reports skip.
inline const Cell& anon_name() { return words::word::tag_anon; }
inline const Cell& body_name() { return words::word::tag_body; }

// The value a word reads for evaluation: unset raises script/no-value.
const Cell* lookup(const Cell& w) {
    const Cell* v = context::get(w);
    if (cell::type_of(*v) == type::unset) fire(ErrorId::script_no_value, w);
    return v;
}

// The value of a bound word without raising anything (the infix lookahead):
// null when the word is unbound, unknown or its function is not running.
const Cell* peek(const Cell& w) {
    const Node ctx = word::context_of(w);
    if (ctx == 0) return nullptr;
    i32 i = word::index_of(w);
    if (i < 0) {
        i = context::find_word(ctx, word::symbol_of(w), true);
        if (i < 0) return nullptr;
    }
    Cell* values = context::values(ctx);
    if (!values || i >= context::length(ctx)) return nullptr;
    return values + i;
}

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

// The tracer comes with the tracing natives; until one is installed the
// hook points cost one test of `tracing`.
enum class Event : u32 {
    init = 0x1, end = 0x2, prolog = 0x4, epilog = 0x8, enter = 0x10, exit = 0x20, open = 0x40,
    return_ = 0x80, fetch = 0x100, push = 0x200, set = 0x400, call = 0x800, error = 0x1000,
    throw_ = 0x2000, catch_ = 0x4000, expr = 0x8000,
};
inline void trace(Event, const Cell*, i32, const Cell*, const Cell*) {}
#define ORU_TRACE(...) \
    do {                                \
        if (tracing) [[unlikely]]       \
            trace(__VA_ARGS__);         \
    } while (0)

// --- The arguments description -----------------------------------------------

Node description_of(const Cell& fn) {
    const u32 t = cell::type_of(fn);
    if (t == type::function || t == type::routine) return function::arguments(fn);
    const Node aux = native::auxiliary_of(fn);
    const Cell cached = *cell_at(aux, 1);
    if (cell::type_of(cached) == type::block) return cell::node(cached);
    const Node desc = function::build_arguments(cell::make(type::block, 0, native::spec_of(fn), 0), true);
    *cell_at(native::auxiliary_of(fn), 1) = cell::make(type::block, 0, desc, 0);
    return desc;
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
Cell unwrap_op(const Cell& op_value) {
    Cell fn = op_value;
    cell::set_type(fn, op::wrapped_type(fn));
    fn.header &= ~flag::op_fn_type_mask;
    if (cell::type_of(fn) == type::function || cell::type_of(fn) == type::routine) {
        const Cell wrapped = *function::extra_cell(fn, op::extra_function_cell);
        if (callable_q(cell::type_of(wrapped))) fn = wrapped;
    }
    return fn;
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

i32 call_value(Call& call, const Cell& code, i32 pc, i32 end);
i32 eval_path(const Cell& path, const Cell& code, i32 pc, i32 end, bool set, bool get, const Cell* value);
i32 eval_value(const Cell& code, i32 pc, i32 end, bool passive);

[[noreturn]] void expect_arg(const Call& call, i32 d, const Cell& value) {
    fire(ErrorId::script_expect_arg, call.name, datatype::make(cell::type_of(value)), argument_word(call.fn, d));
}

void check_type(const Call& call, const Cell& ts, i32 d, const Cell& value) {
    if (!typeset::member_q(ts, cell::type_of(value))) expect_arg(call, d, value);
}

// Fetches one argument of kind `kind` (pushed); returns the next pc.
i32 fetch_one(const Call& call, const Cell& ts, i32 d, const Cell& code, i32 pc, i32 end) {
    const u32 kind = ts.header & function::arg_kind::mask;
    if (pc >= end) {
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
            stack::mark_interp_native(anon_name());
            u32 c = eval_block(v, true);
            if (c) return pc + 1;
            stack::unwind();
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

// A native's refinement positions: at most this many refinements.
constexpr i32 max_refinements = 32;

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
    for (i32 d = 0; d < length_of(desc); d++) {
        const Cell item = *cell_at(desc, d);
        const u32 it = cell::type_of(item);
        if (it == type::typeset) {
            if ((item.header & function::arg_kind::mask) == function::arg_kind::return_) continue;
            if (active) {
                if (!(first && call.infix)) {
                    pc = fetch_one(call, item, d, code, pc, end);
                    if (pending) return pc;
                }
                check_type(call, item, d, *(stack::top - 1));
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
            locals = static_cast<i32>(item.data2);
        }
    }
    // Refinements named by the path, in the path's order.
    if (call.path) {
        const Node pn = cell::node(*call.path);
        const i32 plen = length_of(pn);
        for (i32 p = call.path_index + 1; p < plen; p++) {
            const Cell el = *cell_at(pn, p);
            const u32 et = cell::type_of(el);
            if (et != type::word && et != type::get_word) fire(ErrorId::script_bad_refine, el);
            if (et == type::get_word && !logic::truth(*context::get(el))) continue;
            const i32 want = symbol::canonical(word::symbol_of(el));
            // Find the refinement and the stack slot of its first argument.
            i32 slot = 0, found = -1, ordinal = 0;
            for (i32 d = 0; d < length_of(desc); d++) {
                const Cell item = *cell_at(desc, d);
                const u32 it = cell::type_of(item);
                if (it == type::refinement) {
                    ordinal++;
                    if (symbol::canonical(word::symbol_of(item)) == want) {
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
            // Its arguments: the typesets that follow it up to the next refinement.
            i32 k = 1;
            for (i32 d = found + 1; d < length_of(desc); d++) {
                const Cell item = *cell_at(desc, d);
                if (cell::type_of(item) != type::typeset) break;
                if ((item.header & function::arg_kind::mask) == function::arg_kind::return_) continue;
                pc = fetch_one(call, item, d, code, pc, end);
                if (pending) return pc;
                check_type(call, item, d, *(stack::top - 1));
                if (!native_like) {
                    const Cell v = *--stack::top;
                    stack::arguments[slot + k] = v;
                }
                k++;
            }
        }
    }
    ORU_TRACE(Event::call, &code, pc, &call.name, &call.fn);
    if (t == type::native) {
        const native::Entry entry = native::entry_of(call.fn);
        if (!entry) fire(ErrorId::internal_not_done);
        const u32 c = entry(false, ref_count ? refs : nullptr);
        if (c && !pending) pending = c;
    } else if (t == type::action) {
        const u32 slot_index = call.fn.data1;
        if (slot_index >= action::count || !actions::table[slot_index]) fire(ErrorId::internal_not_done);
        actions::table[slot_index](ref_count ? refs : nullptr);
    } else if (t == type::function) {
        if (locals > 0) function::init_locals(locals);
    }
    return pc;
}

// Runs a routine! whose arguments are in the current frame.
void call_routine(const Cell& r) {
    const routine::Entry entry = routine::entry(function::extra_cell(r, function::extra::entry)->data2);
    if (!entry) fire(ErrorId::internal_not_done);
    const i32 n = static_cast<i32>(stack::top - stack::arguments);
    constexpr i32 max_args = 32;
    if (n > max_args) fire(ErrorId::internal_not_done);
    routine::Machine args[max_args];
    if (r.header & routine::external) {
        for (i32 i = 0; i < n; i++) args[i].cell = stack::arguments + (n - 1 - i);
        stack::mark_native(body_name());
        const Cell result = *entry(args, n).cell;
        stack::unwind();
        stack::set_last(result);
        return;
    }
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

i32 call_value(Call& call, const Cell& code, i32 pc, i32 end) {
    ORU_TRACE(Event::open, &code, pc, nullptr, &call.name);
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
        call_routine(call.fn);
    } else if (t == type::function) {
        Node context = call.object_ctx && call.object_ctx != context::global ? call.object_ctx : 0;
        if (!context) {
            const Cell owner = *function::extra_cell(call.fn, function::extra::owner);
            context = cell::type_of(owner) == type::integer ? owner.data2 : word::context_of(call.name);
        }
        if (interpreter::call_function(call.fn, context, call.name, 0)) return pc;
    }
    stack::unwind();
    ORU_TRACE(Event::return_, &code, pc, &call.name, stack::top - 1);
    if (!call.infix) {
        const Cell result = *(stack::top - 1);
        stack::pop(1);
        *(stack::top - 1) = result;
    }
    return pc;
}

// Evaluates the value at pc and pushes its result; returns the next pc.
i32 eval_value(const Cell& code, i32 pc, i32 end, bool passive) {
    const Node n = cell::node(code);
    const Cell v = *cell_at(n, pc);
    ORU_TRACE(Event::fetch, &code, pc, nullptr, &v);
    switch (cell::type_of(v)) {
        case type::paren: {
            stack::mark_interp_native(body_name());
            if (eval_block(v, true)) return pc + 1;
            stack::unwind();
            return pc + 1;
        }
        case type::set_word: {
            if (pc + 1 >= end) fire(ErrorId::script_need_value, v);
            stack::mark_interp_native(v);
            stack::push(v);
            pc = eval_expression(code, pc + 1, end, false, true, false);
            if (pending) return pc;
            ORU_TRACE(Event::set, &code, pc, &v, stack::top - 1);
            word::set_from_args();
            stack::unwind();
            return pc;
        }
        case type::set_path: {
            if (pc + 1 >= end) fire(ErrorId::script_need_value, v);
            stack::mark_interp_native(words::word::set_path);
            pc = eval_expression(code, pc + 1, end, false, true, false);
            if (pending) return pc;
            ORU_TRACE(Event::set, &code, pc, &v, stack::top - 1);
            const Cell value = *(stack::top - 1);
            eval_path(v, code, pc, end, true, false, &value);
            if (pending) return pc;
            stack::set_result(value);
            stack::unwind();
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
        case type::path: return eval_path(v, code, pc + 1, end, false, false, nullptr);
        case type::get_path: return eval_path(v, code, pc + 1, end, false, true, nullptr);
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
    const Cell head_value = *context::get(first);
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
            el = *context::get(el);
        } else if (cell::type_of(el) == type::paren) {
            Cell* mark = stack::top;
            stack::push(none::value);
            stack::mark_interp_native(anon_name());
            if (eval_block(el, true)) return pc;
            stack::unwind();
            el = *mark;
            stack::top = mark;
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

u32 eval_block(const Cell& block_value, bool chain) {
    const Cell block = block_value;
    const Cell saved = current_code;
    stack::mark_interp_eval(body_name());
    ORU_TRACE(Event::enter, &block, cell::head_index(block), nullptr, nullptr);
    const Node n = cell::node(block);
    i32 i = cell::head_index(block);
    try {
        if (i >= length_of(n)) {
            stack::set_result(unset::value);
        } else {
            while (i < length_of(n)) {
                current_code = with_index(block, i);
                i = eval_expression(block, i, length_of(n), false, false, false);
                if (pending) [[unlikely]] {
                    current_code = saved;
                    return pending;
                }
                if (i < length_of(n)) stack::reset();
            }
        }
    } catch (const SystemThrow& t) {
        if (t.code == throw_code::error) fill_near();
        current_code = saved;
        throw;
    }
    ORU_TRACE(Event::exit, &block, length_of(n), nullptr, stack::arguments);
    current_code = saved;
    if (chain) stack::unwind_last();
    else stack::unwind();
    return 0;
}

void eval_block_throwing(const Cell& block, bool chain) {
    if (eval_block(block, chain)) throw_pending();
}

i32 eval_expression(const Cell& code_value, i32 pc, i32 end, bool no_infix, bool sub, bool passive) {
    const Cell code = code_value;
    Cell* const start = stack::top;
    pc = eval_value(code, pc, end, passive);
    if (pending) return pc;
    if (!no_infix) {
        while (pc < end && pc < length_of(cell::node(code))) {
            const Cell w = *cell_at(cell::node(code), pc);
            if (cell::type_of(w) != type::word) break;
            const Cell* v = peek(w);
            if (!v || cell::type_of(*v) != type::op) break;
            ORU_TRACE(Event::fetch, &code, pc, nullptr, &w);
            const Cell fn = unwrap_op(*v);
            stack::top = start + 1;  // the value so far is the left operand, in place
            Call call{fn, w, nullptr, 0, 0, true};
            pc = call_value(call, code, pc + 1, end);
            if (pending) return pc;
        }
    }
    if (!sub) stack::set_result(*start);
    else stack::top = start + 1;
    ORU_TRACE(Event::expr, &code, pc, nullptr, start);
    return pc;
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

u32 call_function(const Cell& fn_value, Node, const Cell& name, u32) {
    const Cell fn = cell::type_of(fn_value) == type::op ? unwrap_op(fn_value) : fn_value;
    const u32 t = cell::type_of(fn);
    if (t == type::native || t == type::action) {
        // Every refinement absent: the callback gives positional arguments only.
        const Node desc = description_of(fn);
        i32 refs[max_refinements];
        i32 ref_count = 0;
        for (i32 d = 0; d < length_of(desc); d++) {
            if (cell::type_of(*cell_at(desc, d)) != type::refinement) continue;
            if (ref_count >= max_refinements) fire(ErrorId::internal_not_done);
            refs[ref_count++] = -1;
        }
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
        call_routine(fn);
        return 0;
    }
    if (t != type::function) fire(ErrorId::script_invalid_arg, fn);
    const Node ctx = function::context_of(fn);
    const u32 saved = context::cell_of(ctx)->data2;
    context::cell_of(ctx)->data2 = stack::index_of(stack::arguments) + 1;
    stack::set_body_flag(true);
    const bool was_tracing = tracing;
    if (fn.header & function::attribute::trace) tracing = trace_run;
    else if (fn.header & function::attribute::no_trace) tracing = false;
    ORU_TRACE(Event::prolog, nullptr, -1, &name, &fn);
    const Cell body = *function::extra_cell(fn, function::extra::body);
    u32 code = 0;
    try {
        if (cell::type_of(body) == type::block) code = eval_block(body, true);
        else stack::set_result(unset::value);
    } catch (const SystemThrow& t) {
        if (t.code != throw_code::return_ && t.code != throw_code::exit) {
            context::cell_of(ctx)->data2 = saved;
            tracing = was_tracing;
            throw;
        }
        runtime.pending_code = 0;
        code = t.code;
    }
    ORU_TRACE(Event::epilog, nullptr, -1, &name, &fn);
    tracing = was_tracing;
    context::cell_of(ctx)->data2 = saved;
    if (code == throw_code::return_ || code == throw_code::exit) {
        pending = 0;
        code = 0;
        stack::top = stack::arguments + 1;
    }
    if (code) return code;
    stack::set_body_flag(false);
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
    object::set_spec_evaluator(evaluate_spec);
    object::set_handler_caller(call_handler);
    error::set_eval_hook(evaluate_block);
}

}  // namespace oru::interpreter
