// Ownership tracking. Walks over nested blocks and objects share the mold
// cycle stack, so cyclic structures are walked once; each record is keyed by
// the owned node and the flags travel with the buffers.
#include "runtime/ownership.h"

#include "interpreter/stack.h"
#include "runtime/cycles.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/object.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/unset.h"
#include "runtime/hashtable.h"
#include "runtime/memory.h"
#include "runtime/records.h"

namespace oru::ownership {

namespace {

Node table = 0;
u32 made_in = 0;  // memory generation of the table

bool block_like(u32 t) {
    return t == type::block || t == type::paren || t == type::hash || t == type::path || t == type::lit_path ||
           t == type::set_path || t == type::get_path;
}

// Types whose buffer carries the owned flag (an image's is its record's).
bool series_like(u32 t) {
    return block_like(t) || t == type::string || t == type::file || t == type::url || t == type::tag ||
           t == type::email || t == type::ref || t == type::binary || t == type::vector || t == type::bitset ||
           t == type::image;
}

bool owner_q(Node ctx) { return (context::cell_of(ctx)->header & object::owner_flag) != 0; }

// Pops the cycle stack on every way out.
struct CycleEntry {
    explicit CycleEntry(Node n) { cycles::push(n); }
    ~CycleEntry() { cycles::pop(); }
};

// Walks the cells [index, tail) of a block node one at a time, fetching the
// buffer again for each: binding allocates records.
template <class F>
void each_cell(Node n, i32 from, F&& f) {
    for (i32 i = from;; i++) {
        SeriesBuffer* s = memory::buffer(n);
        if (i < 0 || static_cast<u32>(i) >= s->length()) return;
        Cell c = s->cells()[i];
        f(c);
    }
}

}  // namespace

Node* live_table_slot() { return table && made_in == memory::generation ? &table : nullptr; }

void init() {
    table = hashtable::init(initial_size, nullptr, hashtable::kind::ownership, 3);
    made_in = memory::generation;
    series::ownership = series::Ownership{
        [](const Cell& v, const Cell& a, const Cell* x, i32 i, i32 n) { return check(v, a, x, i, n); },
        [](const Cell& v) {
            u32 t = cell::type_of(v);
            Node key = t == type::object ? v.data1 : v.data2;
            Cell* o = series_like(t) || t == type::object ? owner_of(key) : nullptr;
            return o ? *o : cell::make(type::none, 0, 0, 0);
        },
        [](const Cell& v) { unbind(v); },
        [](const Cell& v, const Cell& o, const Cell& w) { set(v, o, w); },
    };
}

void set(const Cell& value, const Cell& owner, const Cell& word) {
    Cell v = value, o = owner, w = word;  // the records' growth may move the originals
    bind(v, o, w);
    context::cell_of(object::context_of(o))->header |= object::owner_flag;
}

void bind(const Cell& value_in, const Cell& owner_in, const Cell& word_in) {
    if (!live_table_slot()) return;
    const Cell value = value_in, owner = owner_in, word = word_in;
    u32 t = cell::type_of(value);
    if (t == type::object) {
        Node ctx = object::context_of(value);
        if (!ctx || owner_q(ctx) || cycles::find(ctx)) return;
        CycleEntry entry(ctx);
        for (i32 i = 0, n = context::length(ctx); i < n; i++) {
            Cell field = context::values(ctx)[i];
            if (cell::type_of(field) == type::object && field.data1 == object::context_of(owner)) continue;
            Cell field_word = *context::word_at(ctx, i);
            bind(field, owner, field_word);
        }
        return;
    }
    if (!series_like(t) || !value.data2) return;
    Node n = value.data2;
    if (!(memory::buffer(n)->flags & sflag::owned)) {
        Cell* rec = hashtable::put_ptr(table, n);
        rec[0] = value;
        rec[1] = owner;
        rec[2] = word;
        memory::buffer(n)->flags |= sflag::owned;
    }
    if (!block_like(t) || cycles::find(n)) return;
    CycleEntry entry(n);
    each_cell(n, static_cast<i32>(value.data1), [&](const Cell& c) { bind(c, owner, word); });
}

void unbind(const Cell& value_in) {
    if (!live_table_slot()) return;
    const Cell value = value_in;
    u32 t = cell::type_of(value);
    if (t == type::object) {
        Node ctx = object::context_of(value);
        if (!ctx || owner_q(ctx) || cycles::find(ctx)) return;
        CycleEntry entry(ctx);
        for (i32 i = 0, n = context::length(ctx); i < n; i++) unbind(Cell{context::values(ctx)[i]});
        return;
    }
    if (!series_like(t) || !value.data2) return;
    Node n = value.data2;
    memory::buffer(n)->flags &= ~sflag::owned;
    Cell* rec = hashtable::get_ptr(table, n);
    if (!rec) return;  // also ends walks over cyclic blocks
    rec[0] = rec[1] = rec[2] = cell::make(type::unset, 0, 0, 0);
    hashtable::delete_ptr(table, n);
    if (!block_like(t)) return;
    each_cell(n, static_cast<i32>(value.data1), [&](const Cell& c) { unbind(c); });
}

void unbind_range(const Cell& block, i32 index, i32 count) {
    Node n = block.data2;
    for (i32 k = 0; k < count; k++) {
        SeriesBuffer* s = memory::buffer(n);
        i64 at = static_cast<i64>(block.data1) + index + k;
        if (at < 0 || at >= static_cast<i64>(s->length())) return;
        unbind(Cell{s->cells()[at]});
    }
}

Cell* owner_of(Node n) {
    if (!live_table_slot() || !n) return nullptr;
    Cell* rec = hashtable::get_ptr(table, n);
    return rec ? rec + 1 : nullptr;
}

i32 check(const Cell& value, const Cell& action, const Cell* new_value, i32 index, i32 count) {
    if (!live_table_slot()) return 0;
    u32 t = cell::type_of(value);
    Node key = t == type::object ? value.data1 : value.data2;
    if (!key) return 0;
    if (t != type::object && !(memory::buffer(key)->flags & sflag::owned)) return 0;
    Cell* rec = hashtable::get_ptr(table, key);
    if (!rec || !object::record_of(rec[1])) return 0;
    // The handler evaluates: everything it is handed goes on the data stack,
    // which never moves, before it runs.
    Cell* owner = stack::push(rec[1]);
    Cell* word = stack::push(rec[2]);
    Cell* target = stack::push(value);
    Cell* act = stack::push(action);
    Cell* fresh = new_value ? stack::push(*new_value) : nullptr;
    object::fire_on_deep(*owner, *word, *target, *act, fresh, index, count);
    stack::pop(fresh ? 5 : 4);
    return 1;
}

}  // namespace oru::ownership
