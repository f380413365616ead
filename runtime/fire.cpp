// Raising language errors from C++: the pending error record and the throw.
#include "runtime/fire.h"

#include "runtime/system.h"

namespace oru {

PendingError pending_error{};

namespace {

[[noreturn]] void raise(ErrorId id, int argc, const Cell* a1, const Cell* a2, const Cell* a3) {
    pending_error.id = id;
    pending_error.argc = argc;
    const Cell none = cell::make(type::none);
    pending_error.args[0] = a1 ? *a1 : none;
    pending_error.args[1] = a2 ? *a2 : none;
    pending_error.args[2] = a3 ? *a3 : none;
    system_throw(throw_code::error);
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

const char* error_category_name(ErrorCategory c) {
    u32 i = static_cast<u32>(c);
    if (i >= sizeof category_names / sizeof category_names[0]) return "?";
    const char* n = category_names[i];
    return n[0] == 't' && n[5] == '_' ? "throw" : n;  // the enum spells it throw_
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
