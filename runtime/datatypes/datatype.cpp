// datatype!: support routines, the type-name words, form, mold and compare.
#include "runtime/datatypes/datatype.h"

#include "interpreter/stack.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/memory.h"
#include "runtime/registry.h"

#include <array>
#include <cstring>
#include <string>

namespace oru::datatype {

namespace {

// The name every type number has whether its datatype has registered or not
// (the lexer makes values of types that have no handlers yet): the ORDER
// TYPES entry with "-" for "_", no trailing "_", and "!".
const char* fixed_name(u32 t) {
    static const auto names = [] {
        std::array<std::string, type::count + 1> n;
        auto spell = [](std::string s) {
            if (s.back() == '_') s.pop_back();
            for (char& c : s)
                if (c == '_') c = '-';
            return s + "!";
        };
#define ORU_TYPE_NAME(name, number) n[number] = spell(#name);
        ORU_TYPES(ORU_TYPE_NAME)
#undef ORU_TYPE_NAME
        return n;
    }();
    return t >= 1 && t <= type::count ? names[t].c_str() : "";
}

}  // namespace

const char* name_of(u32 t) {
    if (t >= registry::table_types) return "";
    return registry::datatypes[t].name ? registry::datatypes[t].name : fixed_name(t);
}

void make_in(const Cell& block, u32 t) { *memory::alloc_tail(cell::node(block)) = make(t); }

Cell* push(u32 t) { return stack::push(make(t)); }

void make_words() {
    for (u32 t = 1; t <= registry::highest_type; t++)
        if (registry::datatypes[t].name) registry::datatypes[t].word = static_cast<u32>(symbol::make(name_of(t)));
}

u32 symbol_of(u32 t) {
    if (t >= registry::table_types || !*name_of(t)) return 0;
    u32& word = registry::datatypes[t].word;
    if (word == 0) word = static_cast<u32>(symbol::make(name_of(t)));
    return word;
}

namespace {

// --- Actions ---------------------------------------------------------------

i32 form(Cell* value, Cell* buffer, Cell*, i32 limit) {
    const char* name = name_of(get(*value));
    i32 n = static_cast<i32>(std::strlen(name));
    if (n > 0) n--;  // without the "!"
    string::concatenate_bytes(*buffer, reinterpret_cast<const u8*>(name), n);
    return limit - n;
}

i32 mold(Cell* value, Cell* buffer, bool, bool all, bool, Cell*, i32 limit, i32) {
    i32 n = 0;
    if (all) n += string::concatenate_literal(*buffer, "#(");
    n += string::concatenate_literal(*buffer, name_of(get(*value)));
    if (all) n += string::concatenate_literal(*buffer, ")");
    return limit - n;
}

i32 compare(Cell* value1, Cell* value2, i32 op) {
    switch (op) {
        case 0: case 1: case 2: case 9: case 12:
            return cell::type_of(*value2) == type::datatype && get(*value2) == get(*value1) ? 0 : 1;
        default: return -2;
    }
}

constexpr ActionTable datatype_actions = {
    .form = form, .mold = mold, .compare = compare,
};

}  // namespace

void init() { registry::add(type::datatype, 0, "datatype!", datatype_actions); }

}  // namespace oru::datatype
