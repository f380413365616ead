// native!, action! and op!: the native table, the makers, reflection, and
// the printing and comparison handlers the three types share.
//
// The makers allocate (the auxiliary block, the empty context): they read
// everything they need from their argument before the first allocation, and
// the value they build sits on the data stack before any node hangs from it,
// so the collector always reaches what is made.
#include "runtime/datatypes/native.h"

#include "interpreter/actions.h"
#include "interpreter/natives.h"
#include "interpreter/stack.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/function.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/typeset.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/registry.h"
#include "runtime/words.h"

#include <algorithm>
#include <cctype>
#include <array>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace oru::native {

Entry table[table_slots];
i32 table_count = 1;

void reset_table() {
    for (Entry& e : table) e = nullptr;
    table_count = 1;
}

void register_entries(i32 count, const Entry* entries) {
    for (i32 i = 0; i < count && table_count <= table_slots; i++) table[table_count++ - 1] = entries[i];
}

namespace {

// The context cell of a new empty function context (values on the data
// stack). Only this copy of the cell is kept, not the context's own buffer.
Cell empty_context_cell() {
    const Node ctx = context::create(0, true, false, 0, context::kind::function);
    return *context::cell_of(ctx);
}

[[noreturn]] void bad_make_arg(u32 t, const Cell& arg) { fire(ErrorId::script_bad_make_arg, datatype::make(t), arg); }

// --- Shapes --------------------------------------------------------------------

// One item of a shape: an argument (its fetch kind, function::arg_kind, and
// its types) or a refinement.
struct Item {
    bool refinement = false;
    u32 kind = 0;
    Cell types{};
    std::string_view name;  // a refinement's spelling
};

constexpr i32 max_items = 32;

struct Shape {
    i32 count = 0;
    Item items[max_items];
    bool add(const Item& item) {
        if (count == max_items) return false;
        items[count++] = item;
        return true;
    }
};

Cell default_types() {
    Cell ts = cell::make(type::typeset, ~0u, ~0u, ~0u);
    typeset::clear_bit(ts, type::unset);
    return ts;
}

// A type name of a shape text: a datatype's (by number, registered or not)
// or a named typeset's; any-type! there is every value, whatever its type.
bool type_named(std::string_view name, Cell& out) {
    if (name == "any-type!") {
        out = cell::make(type::typeset, ~0u, ~0u, ~0u);
        return true;
    }
    if (typeset::named(name, out)) return true;
    static const auto spellings = [] {
        std::array<std::string, type::count + 1> a;
#define ORU_TYPE_SPELLING(cname, n)                  \
    a[n] = #cname;                                    \
    if (a[n].back() == '_') a[n].pop_back();          \
    std::replace(a[n].begin(), a[n].end(), '_', '-'); \
    a[n] += '!';
        ORU_TYPES(ORU_TYPE_SPELLING)
#undef ORU_TYPE_SPELLING
        return a;
    }();
    for (u32 t = 1; t <= type::count; t++)
        if (name == spellings[t]) {
            out = typeset::make();
            typeset::set_bit(out, t);
            return true;
        }
    return false;
}

// A shape text of the natives' or the actions' list. A text that does not
// read is a fault of that list: reported, and the process ends.
Shape parse_shape(const char* text) {
    Shape sh;
    auto fault = [&](const char* why) {
        std::fprintf(stderr, "*** native shape \"%s\": %s\n", text, why);
        std::exit(1);
    };
    for (const char* p = text; *p;) {
        if (*p == ' ') {
            p++;
            continue;
        }
        Item item;
        if (*p == '/') {
            item.refinement = true;
            const char* from = ++p;
            while (*p && *p != ' ') p++;
            item.name = std::string_view(from, static_cast<size_t>(p - from));
        } else {
            if (*p == '\'') item.kind = function::arg_kind::lit_word, p++;
            else if (*p == ':') item.kind = function::arg_kind::get_word, p++;
            if (*p++ != '[') fault("an argument is a type block");
            item.types = typeset::make();
            bool any = false;
            for (;;) {
                while (*p == ' ') p++;
                if (!*p) fault("an unclosed type block");
                if (*p == ']') break;
                const char* from = p;
                while (*p && *p != ' ' && *p != ']') p++;
                Cell ts;
                if (!type_named(std::string_view(from, static_cast<size_t>(p - from)), ts))
                    fault("an unknown type name");
                item.types.data1 |= ts.data1;
                item.types.data2 |= ts.data2;
                item.types.data3 |= ts.data3;
                any = true;
            }
            p++;
            if (!any) item.types = default_types();
        }
        if (!sh.add(item)) fault("too many items");
    }
    return sh;
}

// The shapes of the two lists, read once, by slot; a slot without one (no
// routine yet, or no action! for it) is absent.
struct Canonical {
    Shape natives[table_slots + 1];
    bool native_known[table_slots + 1] = {};
    Shape actions[action::count + 1];
    bool action_known[action::count + 1] = {};
    Canonical() {
        for (i32 s = 1; s <= table_slots; s++)
            if (const char* text = natives::shape_of(s)) natives[s] = parse_shape(text), native_known[s] = true;
        for (u32 s = 1; s <= action::count; s++)
            if (const char* text = actions::shape_of(s)) actions[s] = parse_shape(text), action_known[s] = true;
    }
};

const Shape* canonical_shape(u32 t, i32 slot) {
    static const Canonical canonical;
    if (t == type::native && slot >= 1 && slot <= table_slots && canonical.native_known[slot])
        return &canonical.natives[slot];
    if (t == type::action && slot >= 1 && slot <= static_cast<i32>(action::count) && canonical.action_known[slot])
        return &canonical.actions[slot];
    return nullptr;
}

// The shape of a spec block, read as function::build_arguments reads a
// native's spec, so that the description the evaluator builds from it has
// these items. With `types` the argument types are built from the type
// blocks as the description builds them. False for what that description
// cannot hold or would refuse: /local, a set-word other than return:, a type
// block that does not build, too many items. Nothing allocates.
bool read_shape(const Cell& spec, bool types, Shape& out) {
    const Node n = cell::node(spec);
    auto length = [&] { return static_cast<i32>(memory::buffer(n)->length()); };
    auto at = [&](i32 i) { return memory::buffer(n)->cells()[i]; };
    const i32 return_sym = symbol::canonical(words::sym::return_);
    const i32 local_sym = symbol::canonical(static_cast<i32>(words::refinement::local.data2));
    for (i32 i = 0; i < length();) {
        const Cell v = at(i++);
        const u32 t = cell::type_of(v);
        Item item;
        switch (t) {
            case type::word: case type::get_word: case type::lit_word:
                item.kind = t == type::word       ? function::arg_kind::word
                            : t == type::get_word ? function::arg_kind::get_word
                                                  : function::arg_kind::lit_word;
                item.types = default_types();
                if (i < length() && cell::type_of(at(i)) == type::block) {
                    const Cell block = at(i++);
                    const bool empty =
                        cell::head_index(block) >= static_cast<i32>(memory::buffer(cell::node(block))->length());
                    if (types && !empty && !typeset::build(block, item.types, nullptr)) return false;
                }
                break;
            case type::refinement:
                if (symbol::canonical(static_cast<i32>(v.data2)) == local_sym) return false;
                item.refinement = true;
                item.name = symbol::get_c_string(static_cast<i32>(v.data2));
                break;
            case type::set_word:
                if (symbol::canonical(static_cast<i32>(v.data2)) != return_sym) return false;
                if (i < length() && cell::type_of(at(i)) == type::block) i++;
                continue;
            default:
                continue;  // doc strings, the attribute block
        }
        if (!out.add(item)) return false;
    }
    return true;
}

// True when every type of a is one of b.
bool within(const Cell& a, const Cell& b) {
    return (a.data1 & ~b.data1) == 0 && (a.data2 & ~b.data2) == 0 && (a.data3 & ~b.data3) == 0;
}

// The types of an item as a spec states them: bits of types no value can
// have (symbol!, context!...) are dropped, so that any-type! in a shape and
// in a spec mean the same.
Cell stated_types(const Cell& ts) {
    static const Cell any = [] {
        Cell c;
        if (!typeset::named("any-type!", c)) c = cell::make(type::typeset, ~0u, ~0u, ~0u);
        return c;
    }();
    return cell::make(type::typeset, ts.data1 & any.data1, ts.data2 & any.data2, ts.data3 & any.data3);
}

bool same_spelling(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

// Why a spec differs from its slot's shape: null when it has exactly the
// shape (the same items, refinements of the same names, arguments fetched
// the same way with the same types).
const char* shape_difference(u32 t, i32 slot, const Cell& spec) {
    const Shape* want = canonical_shape(t, slot);
    if (!want) return "its slot has no shape";
    Shape got;
    if (!read_shape(spec, true, got)) return "its spec does not read";
    if (got.count != want->count) return "another count of arguments and refinements";
    for (i32 k = 0; k < got.count; k++) {
        const Item& g = got.items[k];
        const Item& w = want->items[k];
        if (g.refinement != w.refinement) return "an argument where the shape has a refinement, or the reverse";
        if (g.refinement) {
            if (!same_spelling(g.name, w.name)) return "another refinement name";
            continue;
        }
        if (g.kind != w.kind) return "an argument fetched another way";
        const Cell a = stated_types(g.types), b = stated_types(w.types);
        if (a.data1 != b.data1 || a.data2 != b.data2 || a.data3 != b.data3) return "other argument types";
    }
    return nullptr;
}

// The words of the action slots, by slot.
constexpr const char* action_words[] = {
#define ORU_ACTION_WORD(n, member, spelling, fn) spelling,
    ORU_ACTIONS(ORU_ACTION_WORD)
#undef ORU_ACTION_WORD
};

}  // namespace

std::string check_defined() {
    std::string faults;
    auto check = [&](u32 t, i32 slot, const char* name) {
        const Cell* v = context::global_slot(symbol::make(name));
        const char* why = nullptr;
        if (!v || cell::type_of(*v) != t || slot_of(*v) != slot)
            why = t == type::native ? "the word holds no native! of its slot" : "the word holds no action! of its slot";
        else
            why = shape_difference(t, slot, cell::make(type::block, 0, spec_of(*v), 0));
        if (!why) return;
        faults += name;
        faults += " (slot " + std::to_string(slot) + "): " + why + "\n";
    };
    for (i32 s = 1; s <= natives::count; s++)
        if (natives::shape_of(s)) check(type::native, s, natives::name_of(s));
    for (u32 s = 1; s <= action::count; s++)
        if (actions::shape_of(s)) check(type::action, static_cast<i32>(s), action_words[s - 1]);
    return faults;
}

bool shape_fits(u32 t, i32 slot, const Cell& spec, bool types) {
    if (t == type::native ? !entry_at(slot)
                          : slot < 1 || slot > static_cast<i32>(action::count) || !actions::table[slot - 1])
        return false;
    const Shape* want = canonical_shape(t, slot);
    if (!want || cell::type_of(spec) != type::block) return false;
    Shape got;
    if (!read_shape(spec, types, got) || got.count != want->count) return false;
    for (i32 k = 0; k < got.count; k++) {
        const Item& g = got.items[k];
        const Item& w = want->items[k];
        if (g.refinement != w.refinement) return false;
        if (g.refinement) continue;
        if (g.kind != w.kind || (types && !within(g.types, w.types))) return false;
    }
    return true;
}

Cell* build(u32 t, i32 slot, const Cell& spec_value, bool describe) {
    const Cell spec = spec_value;
    Cell* value = stack::push(cell::make(t, static_cast<u32>(slot - 1), cell::node(spec), 0));
    const Node aux = memory::alloc_cells(2);
    value->data3 = aux;  // rooted through the pushed value from here on
    const Cell ctx = empty_context_cell();
    *memory::alloc_tail(aux) = ctx;  // room for both cells: no allocation
    *memory::alloc_tail(aux) = none::value;
    if (describe) {
        // Described now, from the spec as it was checked: the evaluator keeps
        // this description, so neither a type word set later nor a change of
        // the spec block can widen what reaches the routine.
        const Node desc = function::build_arguments(cell::make(type::block, 0, cell::node(spec), 0), true);
        memory::buffer(aux)->cells()[1] = cell::make(type::block, 0, desc, function::signature_of(desc));
    }
    return value;
}

Cell* make(Cell*, Cell* spec, u32 t) {
    const Cell arg = *spec;
    if (cell::type_of(arg) != type::block) bad_make_arg(t, arg);
    SeriesBuffer* s = memory::buffer(cell::node(arg));
    const i32 head = cell::head_index(arg);
    if (head < 0 || static_cast<i32>(s->length()) - head != 2) bad_make_arg(t, arg);
    const Cell first = s->cells()[head];
    const Cell second = s->cells()[head + 1];
    // The spec must be a block, the slot one that holds an entry, and the
    // spec of the shape that entry reads: a value on an empty slot would
    // call nothing, one of another shape would have its routine read
    // arguments and refinement positions that are not there. The spec is
    // read from its first cell, as the value keeps only its node.
    if (cell::type_of(first) != type::block || cell::type_of(second) != type::integer) bad_make_arg(t, arg);
    const i32 slot = static_cast<i32>(second.data2);
    const Cell whole = cell::make(type::block, 0, cell::node(first), 0);
    if (!shape_fits(t, slot, whole, true)) bad_make_arg(t, arg);
    return build(t, slot, whole, true);
}

void reflect(Cell* value, u32 field) {
    const Cell v = *value;
    const i32 f = symbol::canonical(static_cast<i32>(field));
    if (f == symbol::canonical(words::sym::spec)) {
        *stack::arguments = cell::make(type::block, 0, spec_of(v), 0);
        return;
    }
    if (f != symbol::canonical(words::sym::body)) fire(ErrorId::internal_not_done);
    const u32 wrapped = cell::type_of(v) == type::op ? op::wrapped_type(v) : 0;
    if (wrapped == type::function || wrapped == type::routine) {
        SeriesBuffer* x = memory::buffer(v.data3);
        Cell body = x->length() > 0 ? x->cells()[0] : none::value;
        if (cell::type_of(body) == type::block) {
            const Node copy = memory::copy_series_part(cell::node(body), cell::head_index(body), INT32_MAX);
            body = cell::make(type::block, 0, copy, 0);
        }
        *stack::arguments = body;
        return;
    }
    // Entries are table indexes, so the slot needs no search of the table.
    *stack::arguments = cell::integer(slot_of(v));
}

namespace {

// --- Actions shared by native!, action! and op! ------------------------------

i32 form(Cell* value, Cell* buffer, Cell*, i32 limit) {
    const char* text = "?op?";
    if (cell::type_of(*value) == type::native) text = "?native?";
    else if (cell::type_of(*value) == type::action) text = "?action?";
    return limit - string::concatenate_literal(*buffer, text);
}

// Molds v from a data-stack cell, so the collector sees it while molding allocates.
i32 mold_value(const Cell& v, Cell* buffer, bool all, bool flat, Cell* part, i32 limit, i32 indent) {
    Cell* saved = stack::top;
    Cell* c = stack::push(v);
    limit = actions::mold(c, buffer, false, all, flat, part, limit, indent);
    stack::top = saved;
    return limit;
}

// "make native! [" spec "]", "make action! [" spec "]".
i32 mold(Cell* value, Cell* buffer, bool, bool all, bool flat, Cell* part, i32 limit, i32 indent) {
    const Cell v = *value;
    limit -= string::concatenate_literal(*buffer, cell::type_of(v) == type::native ? "make native! [" : "make action! [");
    limit = mold_value(cell::make(type::block, 0, spec_of(v), 0), buffer, all, flat, part, limit, indent);
    return limit - string::concatenate_literal(*buffer, "]");
}

// "make op! func " spec body for an op of a function; else "make op! [" spec "]".
// An anonymous native frame is open meanwhile, so that an error raised while
// molding names no caller.
i32 mold_op(Cell* value, Cell* buffer, bool, bool all, bool flat, Cell* part, i32 limit, i32 indent) {
    const Cell v = *value;
    const bool function = op::wrapped_type(v) == type::function;
    const Cell spec = cell::make(type::block, 0, spec_of(v), 0);
    limit -= string::concatenate_literal(*buffer, "make op! ");
    limit -= string::concatenate_literal(*buffer, function ? "func " : "[");
    Cell* saved = stack::top;
    stack::mark_native(stack::word(stack::anon_symbol));
    limit = mold_value(spec, buffer, all, flat, part, limit, indent);
    stack::unwind();
    stack::top = saved;
    if (!function) return limit - string::concatenate_literal(*buffer, "]");
    SeriesBuffer* x = memory::buffer(v.data3);
    const Cell body = x->length() > 0 ? x->cells()[0] : none::value;
    return mold_value(body, buffer, all, flat, part, limit, indent);
}

inline i32 three_way(u32 a, u32 b) { return a < b ? -1 : a > b ? 1 : 0; }

// Equal when the same entry (or, for ops of functions, the same function
// context). An op's wrapped type is compared first: a native's and an
// action's entries are indexes into different tables.
i32 compare(Cell* value1, Cell* value2, i32 code) {
    const u32 t = cell::type_of(*value1);
    if (cell::type_of(*value2) != t) return -2;
    switch (code) {
        case 0: case 1: case 2: case 7: case 8: case 9: case 12:
            if (t == type::op) {
                if (const i32 r = three_way(op::wrapped_type(*value1), op::wrapped_type(*value2))) return r;
            }
            return three_way(value1->data1, value2->data1);
        default:
            return -2;
    }
}

constexpr ActionTable native_actions = {
    .make = make, .reflect = reflect, .form = form, .mold = mold, .compare = compare,
};

}  // namespace

void init() {
    reset_table();
    registry::add(type::native, 0, "native!", native_actions);
}

}  // namespace oru::native

namespace oru::action {

namespace {

constexpr ActionTable action_actions = {
    .make = native::make, .reflect = inherit, .form = inherit, .mold = inherit, .compare = inherit,
};

}  // namespace

void init() { registry::add(type::action, type::native, "action!", action_actions); }

}  // namespace oru::action

namespace oru::op {

bool valid_spec_q(const Cell& spec) {
    SeriesBuffer* s = memory::buffer(cell::node(spec));
    const i32 length = static_cast<i32>(s->length());
    const i32 local = symbol::canonical(static_cast<i32>(words::refinement::local.data2));
    const i32 extern_ = symbol::canonical(static_cast<i32>(words::refinement::extern_.data2));
    i32 arguments = 0;
    for (i32 i = cell::head_index(spec) < 0 ? 0 : cell::head_index(spec); i < length; i++) {
        const Cell& c = s->cells()[i];
        switch (cell::type_of(c)) {
            case type::word:
                arguments++;
                break;
            case type::lit_word:
            case type::get_word:
                if (arguments == 0) return false;  // the left operand is always evaluated
                arguments++;
                break;
            case type::set_word:
                return arguments == 2;
            case type::refinement: {
                const i32 sym = symbol::canonical(static_cast<i32>(c.data2));
                if (sym != local && sym != extern_) return false;
                return arguments == 2;
            }
            default:
                break;  // doc strings, type blocks
        }
    }
    return arguments == 2;
}

Cell* make(Cell*, Cell* spec, u32) {
    const Cell v = *spec;
    const u32 t = cell::type_of(v);
    if (t != type::native && t != type::action && t != type::function && t != type::routine)
        fire(ErrorId::script_invalid_type, datatype::make(t));
    if (!valid_spec_q(cell::make(type::block, 0, native::spec_of(v), 0))) fire(ErrorId::script_bad_op_spec);
    Cell* result = stack::push(v);
    result->header = type::op | (t << flag::op_fn_type_shift);
    if (t == type::function || t == type::routine) {
        // The op shares the extra block; the function waits in its fourth cell.
        SeriesBuffer* x = memory::buffer(v.data3);
        if (static_cast<i32>(x->length()) > extra_function_cell) x->cells()[extra_function_cell] = v;
    }
    return result;
}

namespace {

constexpr ActionTable op_actions = {
    .make = make, .reflect = inherit, .form = inherit, .mold = native::mold_op, .compare = inherit,
};

}  // namespace

void init() { registry::add(type::op, type::native, "op!", op_actions); }

}  // namespace oru::op
