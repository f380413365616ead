// The trace hook's tracer and switches: which run is active, which events
// its tracer asked for, and the delivery of one event as a call of the
// tracer with the event word, the code, the position, the value, the name
// and the stack's extent (a pair of cell indexes).
//
// The tracer cell is a copy of the do/trace argument, which stays on the
// data stack for the whole run and so keeps the function alive. Delivery is
// off while the tracer runs, so that nothing it evaluates is traced.
#include "interpreter/trace.h"

#include "interpreter/natives_eval.h"
#include "interpreter/stack.h"
#include "interpreter/unwind.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/series.h"
#include "runtime/words.h"

#include <cstdlib>
#include <cstring>

namespace oru::interpreter {

bool tracing = false;
bool trace_run = false;
bool result_at_top = false;
bool general_road = false;
u32 callback_bits = 0;

bool general_only = false;

namespace {

// The tracer of the running trace run (none outside one), its mask.
Cell tracer{type::none, 0, 0, 0};
u32 tracer_mask = 0;

inline bool path_code_q(u32 t) { return t >= type::path && t <= type::get_path; }
inline bool series_code_q(u32 t) { return t == type::block || t == type::paren || path_code_q(t); }

// The event words, bit i's at index i.
const Cell* events() {
    static Cell words_in_order[event::count];
#define ORU_EVENT_WORD(name) &words::word::name,
    const Cell* const w[event::count] = {ORU_TRACE_EVENTS(ORU_EVENT_WORD)};
#undef ORU_EVENT_WORD
    for (u32 i = 0; i < event::count; i++) words_in_order[i] = *w[i];
    return words_in_order;
}

inline i32 bit_index(u32 bit) { return __builtin_ctz(bit); }

}  // namespace

void trace_init() {
    const char* g = std::getenv("ORU_EVAL_GENERAL");
    general_only = g && std::strcmp(g, "1") == 0;
    trace_run = false;
    tracer = none::value;
    tracer_mask = 0;
    callback_bits = 0;
    set_tracing(false);
}

void tracer_install(const Cell& fn) {
    const bool on = cell::type_of(fn) != type::none;
    tracer_mask = on ? event_mask(fn) : 0;
    tracer = fn;
    trace_run = on;
    set_tracing(on);
}

u32 event_mask(const Cell& tracer_fn) { return natives::event_filter(tracer_fn, events(), event::count, event::all); }

void fire_event(u32 bit, const Cell* code, i32 position, const Cell* ref, const Cell* value) {
    if (!tracing || !trace_run || !(tracer_mask & bit)) return;
    const u32 base = stack::index_of(stack::arguments);
    const u32 top = stack::index_of(stack::top);
    Cell args[6];
    args[0] = events()[bit_index(bit)];
    args[1] = code ? *code : none::value;
    i32 offset = -1;
    if (code && series_code_q(cell::type_of(*code))) {
        const i32 tail = series::abs_length_q(*code);
        if (position >= cell::head_index(*code) && position <= tail) offset = position;
    }
    args[2] = cell::integer(offset);
    args[3] = value && cell::type_of(*value) != type::unset ? *value : none::value;
    const bool named = bit & (event::set | event::prolog | event::epilog | event::return_ | event::call);
    args[4] = named && ref ? *ref : none::value;
    args[5] = cell::make(type::pair, 0, base, top);
    const Cell fn = tracer;
    set_tracing(false);
    const bool keep_top = result_at_top || pending != 0;
    natives::call_callback(fn, words::word::tag_interp_callback, 0, args, 6, keep_top);
    set_tracing(trace_run);
}

}  // namespace oru::interpreter
