// Raising language errors from C++: the pending error record, the hand-over
// to the data stack's error unwinding, and the report of an error nothing
// catches.
#include "runtime/fire.h"

#include "interpreter/stack.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/console.h"
#include "runtime/system.h"

#include <cstdlib>
#include <cstring>

namespace oru {

PendingError pending_error{};

namespace {

constexpr Cell none_cell{type::none, 0, 0, 0};

[[noreturn]] void raise(ErrorId id, int argc, const Cell* a1, const Cell* a2, const Cell* a3) {
    // Copy the arguments first: they may live in the record being refilled.
    const Cell args[3] = {a1 ? *a1 : none_cell, a2 ? *a2 : none_cell, a3 ? *a3 : none_cell};
    pending_error.id = id;
    pending_error.argc = argc;
    for (int i = 0; i < 3; i++) pending_error.args[i] = args[i];
    pending_error.where = none_cell;
    pending_error.stack = none_cell;
    // (Trace hook: once the tracer exists, an active trace run receives the
    // error event here, with the pending system code saved around it.)
    if (!stack::ready()) system_throw(throw_code::error);
    stack::throw_error(error_cell(id));
}

const char* const category_names[] = {
#define ORU_ERR_CAT(name, code, type) #name,
    ORU_ERROR_CATEGORIES(ORU_ERR_CAT)
#undef ORU_ERR_CAT
};
const char* const category_types[] = {
#define ORU_ERR_CAT(name, code, type) type,
    ORU_ERROR_CATEGORIES(ORU_ERR_CAT)
#undef ORU_ERR_CAT
};
struct IdName {
    u32 code;
    const char* name;
};
constexpr IdName id_names[] = {
#define ORU_ERR_ID(cat, name, code, spelling) {code, spelling},
    ORU_ERRORS(ORU_ERR_ID)
#undef ORU_ERR_ID
};
static_assert(sizeof id_names / sizeof id_names[0] == error_id_count);

}  // namespace

[[noreturn]] void fire(ErrorId id) { raise(id, 0, nullptr, nullptr, nullptr); }
[[noreturn]] void fire(ErrorId id, const Cell& a1) { raise(id, 1, &a1, nullptr, nullptr); }
[[noreturn]] void fire(ErrorId id, const Cell& a1, const Cell& a2) { raise(id, 2, &a1, &a2, nullptr); }
[[noreturn]] void fire(ErrorId id, const Cell& a1, const Cell& a2, const Cell& a3) { raise(id, 3, &a1, &a2, &a3); }

// The report until error! values can be formed: the category's type, the
// id's spelling, how many arguments came with it and the call it came from.
[[noreturn]] void report_uncaught(const Cell& error) {
    ErrorId id = error_id_of(error);
    const char* kind = error_category_type(category_of(id));
    console::print_text("*** ");
    console::print_text(kind);
    console::print_text(": ");
    console::print_text(error_id_name(id));
    console::print_text("\n*** Arguments: ");
    console::print_integer(id == pending_error.id ? pending_error.argc : 0);
    const Cell& where = pending_error.where;
    const i32 sym = static_cast<i32>(where.data2);
    if (cell::type_of(where) == type::word && sym > 0 && sym != stack::not_found_symbol) {
        console::print_text("\n*** Where: ");
        console::print_text(symbol::get_c_string(sym));
    }
    console::print_text("\n");
    console::flush();
    std::_Exit(uncaught_error_status);
}

const char* error_category_name(ErrorCategory c) {
    u32 i = static_cast<u32>(c);
    if (i >= sizeof category_names / sizeof category_names[0]) return "?";
    const char* n = category_names[i];
    return std::strcmp(n, "throw_") == 0 ? "throw" : n;  // the enum spells it throw_
}

const char* error_category_type(ErrorCategory c) {
    u32 i = static_cast<u32>(c);
    return i < sizeof category_types / sizeof category_types[0] ? category_types[i] : "?";
}

const char* error_id_name(ErrorId id) {
    for (const IdName& e : id_names)
        if (e.code == static_cast<u32>(id)) return e.name;
    return "?";
}

}  // namespace oru
