// symbol!: interning through the symbol hash table, canonical ids, names.
// Interning appends to the symbol block and allocates the name buffer, so
// symbol cells are fetched by id again after anything that allocates.
#include "runtime/datatypes/symbol.h"

#include "runtime/hashtable.h"
#include "runtime/memory.h"
#include "runtime/registry.h"
#include "runtime/unicode.h"

#include <cstring>
#include <vector>

namespace oru::symbol {

Node block = 0;
Node table = 0;
u32 generation = 0;

namespace {

i32 any_type_id = 0;  // the id of `any-type!`, found on first need

inline Cell* cells() { return reinterpret_cast<Cell*>(memory::buffer(block)->data()); }
inline SeriesBuffer* name_buffer(i32 id) { return memory::buffer(cells()[id - 1].data3); }

// The UTF-8 name as code points, one at a time; a byte that does not decode
// stands for itself.
struct Chars {
    const u8* p;
    const u8* end;
    u32 next() {
        if (p >= end) return 0;
        i32 cp;
        const u8* after = unicode::fast_decode_utf8_char(p, end, &cp);
        if (cp < 0) {
            cp = *p;
            after = p + 1;
        }
        p = after;
        return static_cast<u32>(cp);
    }
};

}  // namespace

void init(i32 capacity) {
    generation++;
    hashtable::init_module();
    if (capacity < 1) capacity = 1;
    table = 0;
    block = memory::alloc_cells(capacity);
    Cell b = cell::make(type::block, 0, block);
    table = hashtable::init(capacity, &b, hashtable::kind::symbols, 1);
    any_type_id = 0;
}

i32 make_from(const u8* utf8, i32 len) {
    return hashtable::put_symbol(table, utf8, len < 0 ? 0 : len, false);
}

i32 make(const char* utf8) {
    return make_from(reinterpret_cast<const u8*>(utf8), static_cast<i32>(std::strlen(utf8)));
}

i32 make_nocase(const char* utf8) {
    return hashtable::put_symbol(table, reinterpret_cast<const u8*>(utf8), static_cast<i32>(std::strlen(utf8)),
                                 true);
}

i32 make_from_string(const Cell& str) {
    Cell s = str;  // the conversion stores its cache node in the cell
    i32 len = -1;
    u8* text = unicode::to_utf8(s, &len);
    return make_from(text, len);  // make_from copies the name before it allocates
}

i32 find(const char* utf8) {
    return hashtable::find_symbol(table, reinterpret_cast<const u8*>(utf8), static_cast<i32>(std::strlen(utf8)));
}

Cell* at(i32 id) { return cells() + (id - 1); }

Cell* cache_string(i32 id) {
    if (at(id)->data2 == 0) {
        // The decoder allocates: it gets a copy of the name, not the buffer.
        SeriesBuffer* s = name_buffer(id);
        std::vector<u8> name(s->head_ptr(), s->tail_ptr());
        Node str = unicode::load(name.data(), static_cast<i32>(name.size()));
        at(id)->data2 = str;
    }
    return at(id);
}

Cell* get(i32 id) { return cache_string(id); }

i32 resolve(i32 id) {
    i32 alias = static_cast<i32>(at(id)->data1);
    return alias > 0 ? alias : id;
}

i32 alias_of(i32 id) { return static_cast<i32>(at(id)->data1); }

const char* get_c_string(i32 id) {
    SeriesBuffer* s = name_buffer(id);
    if (s->tail >= static_cast<u32>(s->size)) s = memory::expand_series_copy(s, s->size + 1);
    *s->tail_ptr() = 0;
    return reinterpret_cast<const char*>(s->head_ptr());
}

i32 name_length(i32 id) {
    SeriesBuffer* s = name_buffer(id);
    return static_cast<i32>(s->tail - s->head);
}

i32 compare(Cell* a, Cell* b, i32 op) {
    if (cell::type_of(*b) != type::symbol) return -2;
    if (op == 9) return a->data3 == b->data3 ? 0 : -1;  // same?: the same name buffer, so the same symbol
    SeriesBuffer* x = memory::buffer(a->data3);
    SeriesBuffer* y = memory::buffer(b->data3);
    i32 l1 = unicode::utf8_length(x->head_ptr(), x->tail_ptr());
    i32 l2 = unicode::utf8_length(y->head_ptr(), y->tail_ptr());
    bool equality = op <= 2 || op >= 9;
    if (l1 != l2 && (equality || l2 == 0)) return 1;
    bool fold = op != 2 && op != 8;  // strict equality and the case-sensitive ordering
    Chars p{x->head_ptr(), x->tail_ptr()}, q{y->head_ptr(), y->tail_ptr()};
    for (i32 i = 0, n = l1 < l2 ? l1 : l2; i < n; i++) {
        u32 c1 = p.next(), c2 = q.next();
        if (fold) {
            c1 = unicode::case_fold(c1, false);
            c2 = unicode::case_fold(c2, false);
        }
        if (c1 != c2) return c1 > c2 ? 1 : -1;
    }
    return l1 > l2 ? 1 : l1 < l2 ? -1 : 0;
}

bool any_type_word_q(const Cell& word) {
    if (!any_type_id) any_type_id = find("any-type!");
    return any_type_id && resolve(static_cast<i32>(word.data2)) == resolve(any_type_id);
}

constexpr ActionTable symbol_actions = {.compare = compare};

void init_datatype() { registry::add(type::symbol, 0, "symbol!", symbol_actions); }

}  // namespace oru::symbol
