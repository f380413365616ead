// Raising language errors from C++: making the error value, handing it to
// the data stack's error unwinding, and the report of an error nothing
// catches.
#include "runtime/fire.h"

#include "interpreter/evaluator.h"
#include "interpreter/natives_eval.h"
#include "interpreter/stack.h"
#include "runtime/console.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/string.h"
#include "runtime/error_catalog.h"
#include "runtime/system.h"
#include "runtime/unicode.h"

#include <cstdlib>

namespace oru {

PendingError pending_error{};

namespace {

constexpr Cell none_cell{type::none, 0, 0, 0};

// Data-stack cells that building the catalog needs at most.
constexpr long catalog_room = 64;

// Set while an uncaught error is being reported: an error raised by the
// report itself must not start another report.
bool reporting = false;

// A trace run receives the error event before the unwinding starts. The
// tracer's own evaluation may raise and catch errors of its own, so the
// pending error and system code are put back afterwards. The error stays on
// the data stack while the tracer runs (a collection may renumber its node)
// and is read back from there. Near a data-stack overflow the event is
// skipped: pushing would raise the overflow again, and so on without end.
// An error out of the tracer replaces this one, as an error of the traced
// code would.
[[gnu::noinline, gnu::cold]] void deliver_error_event(Cell& error) {
    if (stack::end - stack::top < catalog_room) return;
    const PendingError saved_error = pending_error;
    const u32 saved_code = runtime.pending_code;
    Cell* const held = stack::push(error);
    interpreter::fire_event(interpreter::event::error, nullptr, -1, nullptr, held);
    error = *held;
    stack::top = held;
    pending_error = saved_error;
    runtime.pending_code = saved_code;
}

// Raises internal/no-memory without allocating: the error made ahead of
// need, its fields of an earlier raise cleared. No trace event either: the
// tracer is language code, which needs memory to run.
[[noreturn]] void raise_no_memory() {
    const Cell error = error::no_memory_error();
    if (!error::error_q(error)) stack::throw_error(none_cell);
    for (i32 f : {error::field::arg1, error::field::arg2, error::field::arg3, error::field::near,
                  error::field::where, error::field::stack, error::field::files})
        *error::field_at(error, f) = none_cell;
    if (cell::type_of(interpreter::current_code) != type::unset)
        *error::field_at(error, error::field::near) = interpreter::current_code;
    stack::throw_error(error);
}

[[noreturn]] void raise(ErrorId id, int argc, const Cell* a1, const Cell* a2, const Cell* a3) {
    // Copy the arguments first: they may live in the record being refilled,
    // or in a buffer that making the error moves.
    const Cell args[3] = {a1 ? *a1 : none_cell, a2 ? *a2 : none_cell, a3 ? *a3 : none_cell};
    pending_error.id = id;
    pending_error.argc = argc;
    for (int i = 0; i < 3; i++) pending_error.args[i] = args[i];
    pending_error.where = none_cell;
    pending_error.stack = none_cell;
    if (!stack::ready()) system_throw(throw_code::error);
    if (id == ErrorId::internal_no_memory) raise_no_memory();
    // Start-up builds the catalog; without it (a runtime started without
    // that step) it is built here, which takes more stack than an overflow
    // leaves: then the unwinding goes ahead with no error value.
    if (!error::ready()) {
        if (stack::end - stack::top < catalog_room) stack::throw_error(none_cell);
        error::init_catalog();
    }
    // On the stack the arguments stay reachable while the error is made (an
    // overflow leaves room for the three and the error). Then they go:
    // nothing allocates until stack::throw_error has pushed the error again.
    Cell* held = stack::top;
    for (int i = 0; i < argc; i++) stack::push_value(args[i]);
    Cell error = *error::create(id, argc > 0 ? held : nullptr, argc > 1 ? held + 1 : nullptr,
                                      argc > 2 ? held + 2 : nullptr);
    stack::top = held;
    // The code being evaluated is the error's near, even when no try frame
    // catches it and the report comes before any evaluation level unwinds.
    Cell* near = error::field_at(error, error::field::near);
    if (cell::type_of(*near) == type::none && cell::type_of(interpreter::current_code) != type::unset)
        *near = interpreter::current_code;
    if (interpreter::tracing) [[unlikely]] deliver_error_event(error);
    stack::throw_error(error);
}

// The report when the error cannot be formed: its category's type, the id's
// spelling and where it was raised, from pending_error.
[[noreturn]] void report_plainly() {
    const ErrorId id = pending_error.id;
    console::print_text("*** ");
    console::print_text(error_category_type(category_of(id)));
    console::print_text(": ");
    console::print_text(error_id_name(id));
    console::print_text("\n");
    console::flush();
    std::_Exit(uncaught_error_status);
}

}  // namespace

[[noreturn]] void fire(ErrorId id) { raise(id, 0, nullptr, nullptr, nullptr); }
[[noreturn]] void fire(ErrorId id, const Cell& a1) { raise(id, 1, &a1, nullptr, nullptr); }
[[noreturn]] void fire(ErrorId id, const Cell& a1, const Cell& a2) { raise(id, 2, &a1, &a2, nullptr); }
[[noreturn]] void fire(ErrorId id, const Cell& a1, const Cell& a2, const Cell& a3) { raise(id, 3, &a1, &a2, &a3); }

[[noreturn]] void raise_value(const Cell& value) {
    Cell error = value;
    pending_error.id = error_id_of(error);
    pending_error.argc = 0;
    for (Cell& arg : pending_error.args) arg = none_cell;
    pending_error.where = none_cell;
    pending_error.stack = none_cell;
    if (interpreter::tracing) [[unlikely]] deliver_error_event(error);
    stack::throw_error(error);
}

ErrorId error_id_of(const Cell& error) {
    return error::error_q(error) ? error::id_of(error) : ErrorId::internal_invalid_error;
}

[[noreturn]] void report_uncaught(const Cell& error) {
    if (reporting || !error::error_q(error) || !stack::ready()) report_plainly();
    reporting = true;
    // The process ends here: the whole data stack is the report's.
    stack::arguments = stack::top = stack::bottom;
    Cell* err = stack::push(error);
    Cell* text = stack::push(none_cell);
    string::make_at(*text, 256);
    error::form(err, text, nullptr, 0x7FFFFFFF);
    i32 length = -1;
    const u8* utf8 = unicode::to_utf8(*text, &length);
    console::print_text(reinterpret_cast<const char*>(utf8));
    console::print_text("\n");
    console::flush();
    std::_Exit(uncaught_error_status);
}

const char* error_category_name(ErrorCategory c) {
    const u32 i = static_cast<u32>(c);
    return i < error_category_count ? error_catalog::categories[i].spelling : "?";
}

const char* error_category_type(ErrorCategory c) {
    const u32 i = static_cast<u32>(c);
    return i < error_category_count ? error_catalog::categories[i].type : "?";
}

const char* error_id_name(ErrorId id) {
    const error_catalog::Entry* e = error_catalog::find(id);
    return e ? e->spelling : "?";
}

}  // namespace oru
