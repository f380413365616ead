// map!: keys, making, lookups, the text forms, comparison, copying and the
// editing handlers, with the action table at the bottom.
//
// Pair positions count cells from the pair block's head. A cell of the pair
// block handed to anything that can allocate or dispatch (a mold, a compare
// handler, a copy) is copied to the data stack first, and the block is read
// again through its node afterwards.
#include "runtime/datatypes/map.h"

#include "interpreter/actions.h"
#include "interpreter/natives_shared.h"
#include "interpreter/natives_system.h"
#include "interpreter/stack.h"
#include "runtime/cycles.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/word.h"
#include "runtime/fire.h"
#include "runtime/hashtable.h"
#include "runtime/memory.h"
#include "runtime/registry.h"
#include "runtime/words.h"

#include <climits>
#include <cmath>
#include <cstring>

namespace oru::map {

namespace {

constexpr i64 max_bytes = 0x7FFFFFF0;
constexpr i32 cell_bytes = sizeof(Cell);

inline Node pairs_of(const Cell& m) { return cell::node(m); }
inline Node table_of(const Cell& m) { return m.data3; }
inline Cell* cells(Node n) { return memory::buffer(n)->cells(); }
inline i32 length(Node n) { return static_cast<i32>(memory::buffer(n)->length()); }
inline i32 live_count(const Cell& m) { return hashtable::record(table_of(m))->size; }
inline bool removed_q(const Cell& value) { return value.header == 0; }

inline bool word_key_q(u32 t) { return t >= type::word && t <= type::get_word; }
inline bool copied_key_q(u32 t) {
    return series::string_like_q(t) || t == type::binary;
}

// The lookup codes of the hash table: caseless, case-sensitive, identity.
inline i32 lookup_op(bool case_, bool same) { return same ? 9 : case_ ? hashtable::op::strict_equal : hashtable::op::equal; }

// The key cell of key's pair (live or removed), or null; valid until the
// next allocation.
Cell* lookup(const Cell& m, const Cell& key, i32 op) {
    return hashtable::find(table_of(m), &key, 0, 1, op, false, false);
}

// The value cell of key's live pair, or null.
Cell* live_value(const Cell& m, const Cell& key, i32 op) {
    Cell* k = lookup(m, key, op);
    return k && !removed_q(k[1]) ? k + 1 : nullptr;
}

[[noreturn]] void invalid_key(const Cell& key) {
    fire(ErrorId::script_invalid_path, datatype::make(cell::type_of(key)), key);
}

// The stored form of a key, in place (a data-stack cell): words become
// set-words, series are copied from their head.
void normalise(Cell& key) {
    const u32 t = cell::type_of(key);
    cell::clear_new_line(key);
    if (word_key_q(t)) {
        cell::set_type(key, type::set_word);
    } else if (copied_key_q(t)) {
        stack::Mark mark;
        Cell* source = stack::push(key);
        Cell* copy = series::copy(source, stack::push(none::value), nullptr, false, nullptr);
        key = *copy;
    } else if (!valid_key_q(t)) {
        invalid_key(key);
    }
}

// The hash tables' key hook: normalises the key just indexed at cell
// `index` (from the buffer's data start) of the pair block.
void preprocess_key(Node block, i32 index) {
    stack::Mark mark;
    Cell* key = stack::push(reinterpret_cast<Cell*>(memory::buffer(block)->data())[index]);
    normalise(*key);
    reinterpret_cast<Cell*>(memory::buffer(block)->data())[index] = *key;
}

// The key as find and reflect give it: a set-word as a word.
Cell shown_key(const Cell& key) {
    Cell k = key;
    cell::clear_new_line(k);
    if (cell::type_of(k) == type::set_word) cell::set_type(k, type::word);
    return k;
}

// Drops the removed pairs (order kept) and rebuilds the index, once they
// outnumber the live ones: each compaction follows at least as many
// removals as it moves pairs. It runs only as a new key is appended, so a
// removal never moves pairs under a loop and a key put back before then
// revives in its place.
void compact_if_sparse(const Cell& m) {
    const Node pb = pairs_of(m), table = table_of(m);
    const i32 pairs = length(pb) / 2;
    const i32 live = hashtable::record(table)->size;
    if (pairs - live <= live) return;
    SeriesBuffer* s = memory::buffer(pb);
    Cell* c = s->cells();
    i32 kept = 0;
    for (i32 i = 0; i < pairs; i++) {
        if (removed_q(c[2 * i + 1])) continue;
        c[2 * kept] = c[2 * i];
        c[2 * kept + 1] = c[2 * i + 1];
        kept++;
    }
    s->tail = s->head + static_cast<u32>(kept) * 2 * cell_bytes;
    hashtable::reset(table);
    for (i32 i = 0; i < kept; i++) hashtable::put(table, cells(pb) + 2 * i);  // a put may grow the table
}

// Sets key to value: a live pair gets the value, a removed one is revived
// in its place, a new key is normalised and appended with it.
void set_pair(const Cell& m_arg, const Cell& key_arg, const Cell& value_arg, bool case_) {
    stack::Mark mark;
    Cell* m = stack::push(m_arg);
    Cell* key = stack::push(key_arg);
    Cell* value = stack::push(value_arg);
    cell::clear_new_line(*value);
    if (Cell* k = lookup(*m, *key, lookup_op(case_, false))) {
        if (removed_q(k[1])) hashtable::record(table_of(*m))->size++;
        k[1] = *value;
        return;
    }
    normalise(*key);  // raises for an invalid key before anything is appended
    compact_if_sparse(*m);
    const Node pb = pairs_of(*m);
    *memory::alloc_tail(pb) = *key;
    *memory::alloc_tail(pb) = *value;
    hashtable::put(table_of(*m), cells(pb) + length(pb) - 2);
}

// --- Making ---------------------------------------------------------------------

// A map whose pair block has room for `entries` pairs.
Cell* push_sized(i64 entries) {
    const i64 cells_wanted = entries > 0 ? entries * 2 : 2;
    if (cells_wanted * cell_bytes > max_bytes) fire(ErrorId::internal_no_memory);
    Cell* r = stack::push(none::value);
    block::make_at(*r, static_cast<i32>(cells_wanted));
    const Node table = hashtable::init(static_cast<i32>(entries > 0 ? entries : 2), r, hashtable::kind::map, 0);
    r->header = type::map;
    r->data3 = table;
    return r;
}

// A map of the values of a block-like series from its head.
Cell* push_from_block(const Cell& blk_arg) {
    const Cell blk = blk_arg;
    const i32 head = std::max(0, cell::head_index(blk));
    const i32 count = std::max(0, length(cell::node(blk)) - head);
    if (count % 2) fire(ErrorId::script_invalid_arg, blk);
    Cell* r = stack::push(none::value);
    const Node pb = memory::copy_series_part(cell::node(blk), head, count);
    *r = cell::make(type::block, 0, pb, 0);  // held while the index is built
    for (Cell *c = cells(pb), *end = c + count; c < end; c++) cell::clear_new_line(*c);
    make_from_pairs(*r, pb);
    return r;
}

// The entries make map! n makes room for: a negative count or NaN is out of
// range, a huge one more than memory allows.
i64 entries_of(const Cell& spec) {
    double d = cell::type_of(spec) == type::integer ? static_cast<i32>(spec.data2) : cell::get_float(spec);
    if (std::isnan(d)) fire(ErrorId::script_out_of_range, spec);
    d = std::trunc(d);
    if (d < 0) fire(ErrorId::script_out_of_range, spec);
    if (d > static_cast<double>(max_bytes)) fire(ErrorId::internal_no_memory);
    return static_cast<i64>(d);
}

Cell* copy(Cell* value, Cell* result, Cell* part, bool deep, Cell* types);

Cell* make_map(Cell* spec, u32 action_slot) {
    const u32 st = cell::type_of(*spec);
    if (st == type::block || st == type::paren || st == type::hash) return push_from_block(*spec);
    if ((st == type::integer || st == type::float_) && action_slot == action::make) return push_sized(entries_of(*spec));
    if (st == type::map) return copy(spec, nullptr, nullptr, false, nullptr);
    fire(ErrorId::script_bad_to_arg, datatype::make(type::map), *spec);
}

Cell* make(Cell*, Cell* spec, u32) { return make_map(spec, action::make); }
Cell* to(Cell*, Cell* spec, u32) { return make_map(spec, action::to); }

// --- Reflection and the text forms -------------------------------------------------

// words: the keys of the live pairs (set-words as words); values: their
// values; body: key and value, each key starting a new line.
void reflect(Cell* value, u32 field) {
    const i32 f = symbol::canonical(static_cast<i32>(field));
    const bool keys = f == symbol::canonical(words::sym::words), values = f == symbol::canonical(words::sym::values),
               body = f == symbol::canonical(words::sym::body);
    if (!keys && !values && !body) fire(ErrorId::internal_not_done);
    stack::Mark mark;
    const Cell m = *value;
    Cell* r = stack::push(none::value);
    block::make_at(*r, live_count(m) * (body ? 2 : 1));
    const Node pb = pairs_of(m);
    for (i32 i = 0; i + 1 < length(pb); i += 2) {
        const Cell k = cells(pb)[i], v = cells(pb)[i + 1];
        if (removed_q(v)) continue;
        if (keys) {
            block::rs_append(*r, shown_key(k));
        } else if (values) {
            block::rs_append(*r, v);
        } else {
            Cell key = k;
            key.header |= flag::new_line;
            block::rs_append(*r, key);
            block::rs_append(*r, v);
        }
    }
    *value = *r;
}

inline void put_text(const Cell& buffer, const char* text) { string::concatenate_literal(buffer, text); }

// "#[", the live pairs, "]": in the normal form a line break, then each
// pair on a line of its own one level in; /flat on one line; /only
// without brackets, a pair a line.
i32 mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, i32 limit, i32 indent) {
    i32 budget = limit;
    if (cycles::mold_marker(*value, *buffer, budget, true)) return budget;
    const Cell m = *value;
    const Node pb = pairs_of(m);
    const bool lines = !only && !flat;
    if (!only) {
        put_text(*buffer, "#[");
        budget -= 2;
    }
    if (lines && live_count(m) > 0) {
        put_text(*buffer, "\n");
        budget--;
    }
    bool written = false;
    {
        cycles::Guard guard(pb);
        for (i32 i = 0; i + 1 < length(pb); i += 2) {
            if (part && budget <= 0) break;
            if (removed_q(cells(pb)[i + 1])) continue;
            stack::Mark mark;
            Cell* k = stack::push(cells(pb)[i]);
            Cell* v = stack::push(cells(pb)[i + 1]);
            if (lines) {
                budget = mold_indent(*buffer, indent + 1, budget);
            } else if (written) {
                put_text(*buffer, flat ? " " : "\n");
                budget--;
            }
            budget = actions::mold(k, buffer, false, all, flat, part, budget, indent + 1);
            put_text(*buffer, " ");
            budget--;
            budget = actions::mold(v, buffer, false, all, flat, part, budget, indent + 1);
            if (lines) {
                put_text(*buffer, "\n");
                budget--;
            }
            written = true;
        }
    }
    if (!only) {
        if (lines && written && indent >= 1) budget = mold_indent(*buffer, indent, budget);
        put_text(*buffer, "]");
        budget--;
    }
    return budget;
}

// The live pairs as "key value" (both molded), a pair a line.
i32 form(Cell* value, Cell* buffer, Cell* part, i32 limit) {
    i32 budget = limit;
    if (cycles::mold_marker(*value, *buffer, budget, false)) return budget;
    const Node pb = pairs_of(*value);
    cycles::Guard guard(pb);
    bool written = false;
    for (i32 i = 0; i + 1 < length(pb); i += 2) {
        if (part && budget <= 0) break;
        if (removed_q(cells(pb)[i + 1])) continue;
        stack::Mark mark;
        Cell* k = stack::push(cells(pb)[i]);
        Cell* v = stack::push(cells(pb)[i + 1]);
        if (written) {
            put_text(*buffer, "\n");
            budget--;
        }
        budget = actions::mold(k, buffer, false, false, false, part, budget, 0);
        put_text(*buffer, " ");
        budget--;
        budget = actions::mold(v, buffer, false, false, false, part, budget, 0);
        written = true;
    }
    return budget;
}

// --- Comparison --------------------------------------------------------------------

// The equality codes compare contents: every live pair of the first map
// must find an equal key in the second with an equal value (strictly under
// code 2). Codes 7 and 8 order maps by their pair blocks' identity.
i32 compare(Cell* value1, Cell* value2, i32 op) {
    if (cell::type_of(*value2) != type::map) return -2;
    const Node na = pairs_of(*value1), nb = pairs_of(*value2);
    if (op == actions::op::sort || op == actions::op::sort_reverse) return na < nb ? -1 : na > nb ? 1 : 0;
    if (op != actions::op::equal && op != actions::op::not_equal && op != actions::op::strict_equal &&
        op != actions::op::same && op != actions::op::hash)
        return -2;
    if (op == actions::op::same) return na == nb ? 0 : -1;
    if (na == nb) return 0;
    const i32 ca = live_count(*value1), cb = live_count(*value2);
    if (ca != cb) return 1;
    if (ca == 0) return 0;
    if (cycles::find(na)) return cycles::find(nb) ? 0 : -1;
    cycles::Guard guard_a(na);
    cycles::Guard guard_b(nb);
    const bool strict = op == actions::op::strict_equal;
    const Cell other = *value2;
    for (i32 i = 0; i + 1 < length(na); i += 2) {
        if (removed_q(cells(na)[i + 1])) continue;
        stack::Mark mark;
        Cell* key = stack::push(cells(na)[i]);
        Cell* v1 = stack::push(cells(na)[i + 1]);
        const Cell* found = live_value(other, *key, lookup_op(strict, false));
        if (!found) return 1;
        Cell* v2 = stack::push(*found);
        if (actions::compare_value(v1, v2, strict ? actions::op::strict_equal : actions::op::equal) != 0) return 1;
    }
    return 0;
}

// --- Path access and the lookups ---------------------------------------------------

// map/key reads the value (none when absent); map/key: value sets it. A
// word names the word's key or, when the map has none, a string key spelled
// as the word: m/k reaches the key "K".
Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell*, Cell*, Cell*, i32, bool case_, bool, bool, bool) {
    if (!valid_key_q(cell::type_of(*element))) invalid_key(*element);
    const i32 op = lookup_op(case_, false);
    Cell* key = element;
    if (cell::type_of(*element) == type::word && !lookup(*parent, *element, op)) {
        Cell* spelling = word::push_as_string(*element);
        if (live_value(*parent, *spelling, op)) key = spelling;
    }
    if (value) {
        set_pair(*parent, *key, *value, case_);
        return value;
    }
    const Cell* v = live_value(*parent, *key, op);
    return stack::push(v ? *v : none::value);
}

Cell* put(Cell* series, Cell* key, Cell* value, bool case_) {
    set_pair(*series, *key, *value, case_);
    return value;
}

Cell* find(Cell* series, Cell* value, Cell*, bool, bool case_, bool same, bool, Cell*, Cell*, bool, bool, bool,
           bool) {
    const Cell* v = live_value(*series, *value, lookup_op(case_, same));
    return stack::push(v ? shown_key(v[-1]) : none::value);
}

Cell* select(Cell* series, Cell* value, Cell*, bool, bool case_, bool same, bool, Cell*, Cell*, bool, bool) {
    const Cell* v = live_value(*series, *value, lookup_op(case_, same));
    return stack::push(v ? *v : none::value);
}

// remove/key: the pair of the key (looked up case-sensitively) is removed.
void remove(Cell* series, Cell*, Cell* key) {
    if (!key) fire(ErrorId::script_missing_arg);
    Cell* k = lookup(*series, *key, hashtable::op::strict_equal);
    if (!k || removed_q(k[1])) return;
    hashtable::delete_(table_of(*series), k);
}

void clear(Cell* value) {
    hashtable::reset(table_of(*value));
    SeriesBuffer* s = memory::buffer(pairs_of(*value));
    s->tail = s->head;
}

i32 length_q(Cell* value) { return live_count(*value); }

// A new map with a copy of the pair block and of the index; /deep copies
// the series values too (/types: the values of those types).
Cell* copy(Cell* value, Cell* result, Cell*, bool deep, Cell* types) {
    const Cell m = *value;
    const Node source = pairs_of(m);
    if (!result) result = stack::push(none::value);
    {
        const Node pb = memory::copy_series_buffer(memory::buffer(source));
        memory::buffer(pb)->flags &= ~sflag::owned;
        *result = cell::make(type::block, 0, pb, 0);  // held while the index is copied
        const Node table = hashtable::copy(table_of(m), pb);
        *result = cell::make(type::map, 0, pb, table);
    }
    if (!deep && !types) return result;
    stack::Mark mark;
    const Cell pairs = cell::make(type::block, 0, pairs_of(*result), 0);
    if (!deep) {
        block::copy_nested_types(pairs, false, *types);
        return result;
    }
    if (cycles::find(source)) {
        cycles::reset();
        fire(ErrorId::internal_no_cycle);
    }
    cycles::Guard guard(source);
    if (types) block::copy_nested_types(pairs, true, *types);
    else block::deep_copy_cells(pairs);
    return result;
}

// A pair list to add: the values of a block or hash! from its head, or the
// live pairs of a map, each key checked before anything changes.
Cell* pairs_to_add(const Cell& spec) {
    if (cell::type_of(spec) == type::map) {
        Cell* body = stack::push(spec);
        reflect(body, static_cast<u32>(words::sym::body));
        return body;
    }
    const i32 head = std::max(0, cell::head_index(spec));
    const i32 count = std::max(0, length(cell::node(spec)) - head);
    if (count % 2) fire(ErrorId::script_invalid_arg, spec);
    for (i32 i = head; i < head + count; i += 2) {
        const Cell key = cells(cell::node(spec))[i];
        if (!valid_key_q(cell::type_of(key))) invalid_key(key);
    }
    return stack::push(spec);
}

constexpr ActionTable map_actions = {
    .make = make, .reflect = reflect, .to = to, .form = form, .mold = mold,
    .eval_path = eval_path, .compare = compare,
    .clear = clear, .copy = copy, .find = find, .length_q = length_q, .put = put, .remove = remove,
    .select = select,
};

void extend_service(Cell& m, const Cell& spec, bool case_) { extend(m, spec, case_); }

}  // namespace

bool valid_key_q(u32 t) {
    switch (t) {
        case type::string: case type::file: case type::url: case type::char_: case type::integer:
        case type::float_: case type::word: case type::set_word: case type::lit_word: case type::get_word:
        case type::refinement: case type::issue: case type::pair: case type::percent: case type::tuple:
        case type::binary: case type::time: case type::tag: case type::email: case type::date:
        case type::money: case type::ref: case type::point2D: case type::point3D:
            return true;
        default:
            return false;
    }
}

void make_from_pairs(Cell& result, Node pairs) {
    const u32 line = result.header & flag::new_line;
    result = cell::make(type::block | line, 0, pairs, 0);
    const i32 count = length(pairs);
    const Node table = hashtable::init(count > 0 ? count : 2, &result, hashtable::kind::map, 0);
    result = cell::make(type::map | line, 0, pairs, table);
}

void extend(const Cell& map_arg, const Cell& spec_arg, bool case_) {
    stack::Mark mark;
    Cell* m = stack::push(map_arg);
    Cell* pairs = pairs_to_add(spec_arg);
    const Node pn = cell::node(*pairs);
    const i32 head = std::max(0, cell::head_index(*pairs));
    for (i32 i = head; i + 1 < length(pn); i += 2) {
        stack::Mark each;
        Cell* key = stack::push(cells(pn)[i]);
        Cell* value = stack::push(cells(pn)[i + 1]);
        set_pair(*m, *key, *value, case_);
    }
}

bool match_keys(const Cell& map_arg, const Cell& words_arg) {
    stack::Mark mark;
    Cell* m = stack::push(map_arg);
    Cell* words = stack::push(words_arg);
    const Node pb = pairs_of(*m);
    const i32 at = cell::head_index(*m);
    if (at < 0 || at + 1 >= length(pb) || removed_q(cells(pb)[at + 1])) return false;
    Cell* key = stack::push(shown_key(cells(pb)[at]));
    Cell* value = stack::push(cells(pb)[at + 1]);
    Cell* w[2];
    for (i32 i = 0; i < 2; i++) {
        const Node wn = cell::node(*words);
        const i32 wi = cell::head_index(*words) + i;
        w[i] = stack::push(wi < length(wn) ? cells(wn)[wi] : none::value);
        if (!word_key_q(cell::type_of(*w[i]))) fire(ErrorId::script_invalid_arg, *w[i]);
    }
    context::set(*w[0], *key);
    context::set(*w[1], *value);
    return true;
}

void init() {
    registry::add(type::map, 0, "map!", map_actions);
    hashtable::set_map_key_hook(preprocess_key);
    natives_system::services.map_extend = extend_service;
    natives::iteration_service.map_match_keys = match_keys;
}

}  // namespace oru::map
