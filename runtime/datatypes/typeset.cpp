// typeset!: building typesets from type specs, the set operations, and the
// handlers. Typesets are plain cells: nothing here keeps a buffer address
// across an allocation (blocks are walked by index through their node).
#include "runtime/datatypes/typeset.h"

#include "interpreter/stack.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/string.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/registry.h"

#include <initializer_list>

namespace oru::typeset {

namespace {

// The value of a word in a type spec, read through its context (the global
// context for an unbound word); null when it has none.
const Cell* word_value(const Cell& w) {
    i32 sym = static_cast<i32>(w.data2);
    Node ctx = w.data1;
    if (!ctx && !context::global) return nullptr;  // no global context yet
    const Cell* v = ctx ? context::find_value(sym, ctx) : context::global_slot(sym);
    return v && cell::type_of(*v) != type::unset ? v : nullptr;
}

// Adds a datatype's bit or a typeset's members; false for other values.
bool add(Cell& ts, const Cell& v) {
    switch (cell::type_of(v)) {
        case type::datatype: set_bit(ts, datatype::get(v)); return true;
        case type::typeset:
            ts.data1 |= v.data1;
            ts.data2 |= v.data2;
            ts.data3 |= v.data3;
            return true;
        default: return false;
    }
}

// The cells of a block from its position to its tail, by index: the buffer
// is fetched again for every cell.
template <class F>
void each_cell(const Cell& block, F&& f) {
    const Node node = cell::node(block);
    i32 i = cell::head_index(block);
    if (i < 0) i = 0;
    for (;; i++) {
        SeriesBuffer* s = memory::buffer(node);
        if (static_cast<u32>(i) >= s->length()) return;
        const Cell v = s->cells()[i];
        f(v);
    }
}

}  // namespace

i32 count(const Cell& ts) {
    i32 n = 0;
    for (u32 t = 1; t <= registry::highest_type && t < bits; t++) n += member_q(ts, t);
    return n;
}

void make_in(const Cell& block, u32 w1, u32 w2, u32 w3) {
    *memory::alloc_tail(cell::node(block)) = cell::make(type::typeset, w1, w2, w3);
}

void make_default(const Cell& block) {
    Cell ts = cell::make(type::typeset, ~0u, ~0u, ~0u);
    clear_bit(ts, type::unset);
    *memory::alloc_tail(cell::node(block)) = ts;
}

bool build(const Cell& spec, Cell& out, Cell* bad) {
    Cell ts = make();
    bool ok = true;
    each_cell(spec, [&](const Cell& element) {
        if (!ok) return;
        const Cell* v = &element;
        if (cell::type_of(element) == type::word) v = word_value(element);
        if (v && add(ts, *v)) return;
        if (v && cell::type_of(*v) == type::word) return set_bit(ts, type::object);
        if (v && cell::type_of(*v) == type::block) return;
        ok = false;
        if (bad) *bad = element;
    });
    if (ok) out = ts;
    return ok;
}

void make_with(const Cell& block, const Cell& spec) {
    Cell ts, bad;
    if (!build(spec, ts, &bad)) fire(ErrorId::script_invalid_type_spec, bad);
    *memory::alloc_tail(cell::node(block)) = ts;
}

void set_type(Cell& ts, const Cell& value) {
    const Cell* v = &value;
    if (cell::type_of(value) == type::word) {
        v = word_value(value);
        if (!v) fire(ErrorId::script_no_value, value);
    }
    if (!add(ts, *v)) fire(ErrorId::script_invalid_arg, *v);
}

void to_block(const Cell& ts, Cell& result) {
    const Cell copy = ts;  // `ts` may lie in a buffer the allocations move
    // The new block goes into `result` at once, so that it is reachable while
    // interning a name or growing the block allocates; its node is read back
    // from there after every such call.
    result = cell::make(type::block, 0, memory::alloc_cells(4), 0);
    for (u32 t = 1; t <= registry::highest_type && t < bits; t++) {
        if (!member_q(copy, t) || !registry::datatypes[t].name) continue;
        const u32 sym = datatype::symbol_of(t);
        *memory::alloc_tail(cell::node(result)) = cell::make(type::word, 0, sym, 0xFFFFFFFFu);
    }
}

void set_op(i32 op) {
    Cell* args = stack::arguments;
    if (op == 8) return;  // unique: the first value as it is
    Cell other = args[1];
    if (cell::type_of(other) == type::datatype) {
        const u32 t = datatype::get(other);
        other = make();
        set_bit(other, t);
    } else if (cell::type_of(other) != type::typeset) {
        fire(ErrorId::script_invalid_arg, args[1]);
    }
    Cell& ts = args[0];
    auto apply = [&](u32 a, u32 b) -> u32 {
        switch (op) {
            case 5: case 9: return a | b;
            case 6: case 10: return a & b;
            case 7: case 12: return a ^ b;
            case 11: return a & ~b;
            default: return a;
        }
    };
    ts = cell::make(type::typeset, apply(ts.data1, other.data1), apply(ts.data2, other.data2),
                    apply(ts.data3, other.data3));
}

namespace {

// --- Actions ---------------------------------------------------------------

Cell* make_(Cell*, Cell* spec, u32) {
    switch (cell::type_of(*spec)) {
        case type::typeset: return spec;
        case type::block: {
            Cell ts = make();
            each_cell(*spec, [&](const Cell& element) { set_type(ts, element); });
            return stack::push(ts);
        }
        default: fire(ErrorId::script_bad_to_arg, datatype::make(type::typeset), *spec);
    }
}

i32 mold(Cell* value, Cell* buffer, bool only, bool, bool, Cell* part, i32 limit, i32) {
    const Cell ts = *value;
    i32 budget = limit;
    if (!only) budget -= string::concatenate_literal(*buffer, "make typeset! [");
    bool wrote = false;
    for (u32 t = 1; t <= registry::highest_type && t < bits; t++) {
        if (!member_q(ts, t) || !registry::datatypes[t].name) continue;
        if (part && budget <= 0) return budget;
        budget -= string::concatenate_literal(*buffer, registry::datatypes[t].name);
        budget -= string::concatenate_literal(*buffer, " ");
        wrote = true;
    }
    if (wrote) {  // drop the last space
        SeriesBuffer* s = memory::buffer(cell::node(*buffer));
        s->tail -= s->unit();
        budget += 1;
    }
    if (!only) budget -= string::concatenate_literal(*buffer, "]");
    return budget;
}

// form is mold without /only.
i32 form(Cell* value, Cell* buffer, Cell* part, i32 limit) {
    return mold(value, buffer, false, false, false, part, limit, 0);
}

i32 compare(Cell* value1, Cell* value2, i32 op) {
    if (cell::type_of(*value2) != type::typeset) return -2;
    switch (op) {
        case 0: case 1: case 2: case 9: case 12:
            return value1->data1 == value2->data1 && value1->data2 == value2->data2 &&
                           value1->data3 == value2->data3
                       ? 0
                       : 1;
        case 7: case 8: {
            const i32 a = count(*value1), b = count(*value2);
            return a < b ? -1 : a > b ? 1 : 0;
        }
        default: return -2;
    }
}

// A new typeset with all 96 bits inverted; the argument is not changed.
Cell* complement(Cell* value) {
    return stack::push(cell::make(type::typeset, ~value->data1, ~value->data2, ~value->data3));
}

Cell* find(Cell* series, Cell* value, Cell*, bool, bool, bool, bool, Cell*, Cell*, bool, bool, bool, bool) {
    if (cell::type_of(*value) != type::datatype) fire(ErrorId::script_invalid_arg, *value);
    return logic::push(member_q(*series, datatype::get(*value)));
}

void and_() { set_op(6); }
void or_() { set_op(5); }
void xor_() { set_op(7); }

constexpr ActionTable typeset_actions = {
    .make = make_, .to = make_, .form = form, .mold = mold, .compare = compare,
    .and_ = and_, .complement = complement, .or_ = or_, .xor_ = xor_, .find = find,
};

}  // namespace

// --- Named typesets ------------------------------------------------------------

namespace {

Cell of(std::initializer_list<u32> types, std::initializer_list<const Cell*> with = {}) {
    Cell ts = make();
    for (u32 t : types) set_bit(ts, t);
    for (const Cell* o : with) {
        ts.data1 |= o->data1;
        ts.data2 |= o->data2;
        ts.data3 |= o->data3;
    }
    return ts;
}

struct NamedList {
    Named items[18];
    NamedList() {
        namespace t = type;
        static const Cell internal = of({t::unset});
        static const Cell external = of({t::event});
        static const Cell number = of({t::integer, t::float_, t::percent});
        static const Cell planar = of({t::pair, t::point2D});
        static const Cell any_point = of({t::point2D, t::point3D});
        static const Cell scalar = of({t::money, t::char_, t::pair, t::tuple, t::time, t::date}, {&number, &any_point});
        static const Cell any_word = of({t::word, t::set_word, t::lit_word, t::get_word});
        static const Cell all_word = of({t::refinement, t::issue}, {&any_word});
        static const Cell any_list = of({t::block, t::paren, t::hash});
        static const Cell any_path = of({t::path, t::lit_path, t::set_path, t::get_path});
        static const Cell any_block = of({}, {&any_path, &any_list});
        static const Cell any_function = of({t::native, t::action, t::op, t::function, t::routine});
        static const Cell any_object = of({t::object, t::error, t::port});
        static const Cell any_string = of({t::string, t::file, t::url, t::tag, t::email, t::ref});
        static const Cell series = of({t::binary, t::image, t::vector}, {&any_block, &any_string});
        static const Cell immediate =
            of({t::none, t::logic, t::datatype, t::typeset, t::handle, t::date}, {&scalar, &all_word});
        static const Cell default_ = of({t::map, t::bitset}, {&series, &immediate, &any_object, &external, &any_function});
        static const Cell any_type = of({}, {&default_, &internal});
        const Named named[] = {
            {"internal!", internal},     {"external!", external},     {"number!", number},
            {"planar!", planar},         {"any-point!", any_point},   {"scalar!", scalar},
            {"any-word!", any_word},     {"all-word!", all_word},     {"any-list!", any_list},
            {"any-path!", any_path},     {"any-block!", any_block},   {"any-function!", any_function},
            {"any-object!", any_object}, {"any-string!", any_string}, {"series!", series},
            {"immediate!", immediate},   {"default!", default_},      {"any-type!", any_type},
        };
        static_assert(sizeof named / sizeof named[0] == sizeof items / sizeof items[0]);
        for (size_t i = 0; i < sizeof named / sizeof named[0]; i++) items[i] = named[i];
    }
};

const NamedList& named_list() {
    static const NamedList list;
    return list;
}

}  // namespace

std::span<const Named> predefined() { return named_list().items; }

bool named(std::string_view name, Cell& out) {
    for (const Named& n : predefined())
        if (name == n.name) {
            out = n.value;
            return true;
        }
    return false;
}

void init() { registry::add(type::typeset, 0, "typeset!", typeset_actions); }

}  // namespace oru::typeset
