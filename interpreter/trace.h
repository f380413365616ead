// The trace hook: the events the evaluator, the unwinding natives and the
// error raiser report to the tracer of a do/trace run, and the switches that
// say whether they are delivered and whether the evaluator may take its
// shortcuts.
//
// ORU_TRACE_EVENTS is the one list of events: their bits (in list order,
// init = 0x1), the names a tracer's filter block matches (the words of the
// same names) and the word each delivery hands the tracer all derive from it.
// A hook point costs one test of `tracing` while no run delivers events; the
// delivery (the mask, the call of the tracer) is fire_event's, out of line.
#pragma once

#include "runtime/cell.h"

namespace oru::interpreter {

// ORDER TRACE EVENTS: bit i is the i-th entry; each name is also a word of
// words::word.
#define ORU_TRACE_EVENTS(X) \
    X(init) X(end) X(prolog) X(epilog) X(enter) X(exit) X(open) X(return_) X(fetch) X(push) X(set) X(call) \
        X(error) X(throw_) X(catch_) X(expr)

namespace event {
enum Index : u32 {
#define ORU_EVENT_INDEX(name) name##_index,
    ORU_TRACE_EVENTS(ORU_EVENT_INDEX)
#undef ORU_EVENT_INDEX
    count
};
#define ORU_EVENT_BIT(name) constexpr u32 name = 1u << name##_index;
ORU_TRACE_EVENTS(ORU_EVENT_BIT)
#undef ORU_EVENT_BIT
// Every event (a tracer without a filter block).
constexpr u32 all = (1u << count) - 1;
static_assert(count == 16 && init == 0x1 && expr == 0x8000);
}  // namespace event

// Events are delivered now (a trace run is active and not switched off for
// the code at hand) / a trace run is active. Written only through
// set_tracing and tracer_install, which keep general_road in step.
extern bool tracing;
extern bool trace_run;

// Set while an unwinding's value sits unpushed in the result slot at the
// top and its code is kept aside for an event: the tracer's callback then
// keeps that cell as it is instead of clearing it. A code still pending
// says the same.
extern bool result_at_top;
struct ResultAtTop {
    bool was;
    explicit ResultAtTop(bool on) : was(result_at_top) { result_at_top = on; }
    ~ResultAtTop() { result_at_top = was; }
    ResultAtTop(const ResultAtTop&) = delete;
    ResultAtTop& operator=(const ResultAtTop&) = delete;
};

// The evaluator takes only its general road: set while tracing and, under
// the environment variable ORU_EVAL_GENERAL=1, always. Every shortcut of the
// evaluator tests this one switch before anything else, so that with it set
// each expression, call and operator runs exactly as the general road runs
// it (the test suite runs once so to compare).
extern bool general_road;

// ORU_EVAL_GENERAL=1 was set at start-up.
extern bool general_only;

// Switches delivery on or off (the previous state is the caller's to put
// back); general_road follows.
inline void set_tracing(bool on) {
    tracing = on;
    general_road = on || general_only;
}

// Reads ORU_EVAL_GENERAL and clears every switch (start-up).
void trace_init();

// What stands in for system/state/callbacks/bits while the system object
// has no such field: which internal callbacks (lexer 1, parse 2, sort 4,
// change 8, deep 16, port 32) are traced while a trace run delivers events.
// 0 at start-up.
extern u32 callback_bits;

// Makes fn the tracer of a new trace run (both switches on), or with none
// ends the run (both off).
void tracer_install(const Cell& fn);

// The events a tracer wants (its filter block over the event words, all of
// them without one).
u32 event_mask(const Cell& tracer);

// Delivers one event to the tracer of the running trace run: nothing when no
// run is active or the event is not in the tracer's mask. `code` is the
// block, paren or path being evaluated (or null) and `position` an absolute
// cell index in it; `ref` and `value` may be null. Delivery is off while the
// tracer runs; an unwinding out of the tracer goes on (delivery stays off).
[[gnu::cold]] void fire_event(u32 event, const Cell* code, i32 position, const Cell* ref, const Cell* value);

// A hook point: the event when tracing.
#define ORU_TRACE(...)                            \
    do {                                          \
        if (::oru::interpreter::tracing) [[unlikely]] \
            ::oru::interpreter::fire_event(__VA_ARGS__); \
    } while (0)

}  // namespace oru::interpreter
