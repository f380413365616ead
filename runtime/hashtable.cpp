// Hash tables: hashing, probing, the five kinds, growth and the collector's
// support. Every function fetches the table's buffers again after anything
// that can allocate (a put, a group made, a compare handler): the views
// below are rebuilt rather than kept.
#include "runtime/hashtable.h"

#include "interpreter/stack.h"
#include "runtime/array.h"
#include "runtime/collector.h"
#include "runtime/console.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/fire.h"
#include "runtime/records.h"
#include "runtime/registry.h"
#include "runtime/unicode.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

namespace oru::hashtable {

namespace {

// Any fixed value serves until start-up sets the seed: no stored data
// depends on it.
u32 process_seed = 0x6F727531u;

Node shift_scratch = 0;

// --- MurmurHash3 x86_32 ------------------------------------------------------

constexpr u32 c1 = 0xCC9E2D51u;
constexpr u32 c2 = 0x1B873593u;

inline u32 rotl(u32 x, int r) { return (x << r) | (x >> (32 - r)); }

inline u32 murmur_block(u32 h, u32 k) {
    k *= c1;
    k = rotl(k, 15);
    k *= c2;
    h ^= k;
    h = rotl(h, 13);
    return h * 5 + 0xE6546B64u;
}

inline u32 murmur_tail(u32 h, u32 k) {
    k *= c1;
    k = rotl(k, 15);
    k *= c2;
    return h ^ k;
}

inline u32 load32(const u8* p) {
    u32 v;
    std::memcpy(&v, p, sizeof v);  // the host is little-endian, as the hash wants
    return v;
}

// Lowers the bytes 0x41-0x5A of a word and leaves every other byte alone.
inline u32 fold_ascii(u32 w) {
    u32 low7 = w & 0x7F7F7F7Fu;
    u32 ge_a = low7 + 0x3F3F3F3Fu;  // high bit set where the byte is >= 0x41
    u32 gt_z = low7 + 0x25252525u;  // high bit set where the byte is >= 0x5B
    u32 upper = ge_a & ~gt_z & ~w & 0x80808080u;
    return w | (upper >> 2);
}

inline u8 fold_byte(u8 b) { return b >= 'A' && b <= 'Z' ? static_cast<u8>(b | 0x60) : b; }

bool ascii_iequal(const u8* a, const u8* b, i32 n) {
    for (i32 i = 0; i < n; i++)
        if (a[i] != b[i] && fold_byte(a[i]) != fold_byte(b[i])) return false;
    return true;
}

// --- Key rules by type -----------------------------------------------------------

enum class Rule : u8 {
    zero, mix1, mix2, mix3, word, symbol, string, bytes12, bytes23, bytes123, none, unset, money, binary, tuple
};

constexpr u32 rule_types = 57;  // type numbers 0-56

constexpr std::array<Rule, rule_types> make_rules() {
    std::array<Rule, rule_types> r{};
    for (u32 t : {type::integer, type::char_, type::map, type::handle, type::event}) r[t] = Rule::mix2;
    for (u32 t = type::word; t <= type::issue; t++) r[t] = Rule::word;
    r[type::symbol] = Rule::symbol;
    for (u32 t : {type::string, type::file, type::url, type::tag, type::email, type::ref, limited_string})
        r[t] = Rule::string;
    for (u32 t : {type::float_, type::percent, type::pair, type::time}) r[t] = Rule::bytes23;
    r[type::point2D] = Rule::bytes12;
    r[type::point3D] = Rule::bytes123;
    r[type::none] = Rule::none;
    r[type::unset] = Rule::unset;
    r[type::money] = Rule::money;
    r[type::binary] = Rule::binary;
    r[type::tuple] = Rule::tuple;
    for (u32 t : {type::op, type::function, type::triple, type::typeset, type::date}) r[t] = Rule::bytes123;
    for (u32 t : {type::object, type::error, type::port, type::logic, type::datatype}) r[t] = Rule::mix1;
    for (u32 t : {type::native, type::action}) r[t] = Rule::mix3;
    for (u32 t : {type::block, type::paren, type::hash, type::image, type::path, type::lit_path, type::set_path,
                  type::get_path})
        r[t] = Rule::bytes12;
    return r;
}
constexpr std::array<Rule, rule_types> rules = make_rules();

constexpr std::array<bool, rule_types> make_address_keys() {
    std::array<bool, rule_types> a{};
    for (u32 t : {type::block, type::paren, type::native, type::action, type::op, type::function, type::path,
                  type::lit_path, type::set_path, type::get_path, type::object, type::error, type::hash, type::map,
                  type::port, type::image, type::event})
        a[t] = true;
    return a;
}
constexpr std::array<bool, rule_types> address_keys = make_address_keys();

inline Rule rule_of(u32 t) { return t < rule_types ? rules[t] : Rule::zero; }

bool word_type_q(u32 t) { return t >= type::word && t <= type::issue; }

// The characters of a string value from its head to the tail (limited by
// word 3 for the length-limited type). Valid until the next allocation.
struct Text {
    const u8* p = nullptr;
    i32 count = 0;
    u32 unit = 1;
};

Text text_of(const Cell& s) {
    Text t;
    Node n = cell::node(s);
    if (!n) return t;
    SeriesBuffer* b = memory::buffer(n);
    t.unit = b->unit();
    if (t.unit != 2 && t.unit != 4) t.unit = 1;
    i32 total = static_cast<i32>((b->tail - b->head) / t.unit);
    i32 head = cell::head_index(s);
    if (head < 0) head = 0;
    if (head > total) head = total;
    t.p = b->head_ptr() + static_cast<size_t>(head) * t.unit;
    t.count = total - head;
    if (cell::type_of(s) == limited_string && static_cast<i32>(s.data3) >= 0 &&
        static_cast<i32>(s.data3) < t.count)
        t.count = static_cast<i32>(s.data3);
    return t;
}

inline u32 char_at(const Text& t, i32 i) {
    const u8* p = t.p + static_cast<size_t>(i) * t.unit;
    if (t.unit == 1) return *p;
    if (t.unit == 2) {
        u16 v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
    return load32(p);
}

inline u32 lower(u32 cp) { return unicode::case_fold(cp, false); }

// The string hash: the text read as 32-bit code points, lowered unless case_.
u32 string_hash(const Cell& s, bool case_) {
    Text t = text_of(s);
    u32 h = process_seed;
    if (t.unit == 1) {
        // Byte strings: ASCII lowers inline, the rest of Latin-1 by the table.
        for (i32 i = 0; i < t.count; i++) {
            u32 cp = t.p[i];
            h = murmur_block(h, case_ ? cp : cp < 0x80 ? fold_byte(static_cast<u8>(cp)) : lower(cp));
        }
        return mix32(h ^ (static_cast<u32>(t.count) * 4));
    }
    for (i32 i = 0; i < t.count; i++) {
        u32 cp = char_at(t, i);
        h = murmur_block(h, case_ ? cp : lower(cp));
    }
    return mix32(h ^ (static_cast<u32>(t.count) * 4));
}

bool strings_equal(const Cell& a, const Cell& b, bool fold) {
    Text x = text_of(a), y = text_of(b);
    if (x.count != y.count) return false;
    if (x.unit == 1 && y.unit == 1) {
        if (std::memcmp(x.p, y.p, static_cast<size_t>(x.count)) == 0) return true;
        if (!fold) return false;
    }
    for (i32 i = 0; i < x.count; i++) {
        u32 p = char_at(x, i), q = char_at(y, i);
        if (p != q && (!fold || lower(p) != lower(q))) return false;
    }
    return true;
}

// The UTF-8 name of a symbol cell. Valid until the next allocation.
struct Name {
    const u8* p;
    i32 len;
};

inline Name name_of(const Cell& sym) {
    SeriesBuffer* b = memory::buffer(sym.data3);
    return {b->head_ptr(), static_cast<i32>(b->tail - b->head)};
}

bool builtin_equal(const Cell& a, const Cell& b, i32 op) {
    u32 t = cell::type_of(a);
    switch (rule_of(t)) {
        case Rule::word:
            if (op == op::strict_equal || op == 10) return a.data2 == b.data2;
            if (op == 9) return a.data2 == b.data2 && a.data1 == b.data1;
            return symbol::canonical(static_cast<i32>(a.data2)) == symbol::canonical(static_cast<i32>(b.data2));
        case Rule::symbol: {
            Name x = name_of(a), y = name_of(b);
            if (x.len != y.len) return false;
            if (op == op::strict_equal) return std::memcmp(x.p, y.p, static_cast<size_t>(x.len)) == 0;
            return ascii_iequal(x.p, y.p, x.len);
        }
        case Rule::string: return strings_equal(a, b, op != op::strict_equal);
        case Rule::none:
        case Rule::unset: return true;
        default: break;
    }
    switch (t) {
        case type::integer:
        case type::char_: return a.data2 == b.data2;
        case type::float_:
        case type::percent: return a.data2 == b.data2 && a.data3 == b.data3;  // bitwise, as they hash
        case type::logic:
        case type::datatype: return a.data1 == b.data1;
        default: return a.data1 == b.data1 && a.data2 == b.data2 && a.data3 == b.data3;
    }
}

// --- Table buffers -------------------------------------------------------------

inline u8* data_of(i32 node) { return memory::buffer(static_cast<Node>(node))->data(); }
inline u32* flags_of(const Table* t) { return reinterpret_cast<u32*>(data_of(t->flags)); }
inline i32* keys_of(const Table* t) { return reinterpret_cast<i32*>(data_of(t->keys)); }
inline Cell* cells_of(const Table* t) { return reinterpret_cast<Cell*>(data_of(t->block)); }

// A map!'s buckets hold its key's position and full hash side by side:
// probing compares the hashes before reading a key, and growth re-buckets by
// the stored hash without hashing a key again.
struct MapEntry {
    i32 item;
    u32 hash;
};
inline MapEntry* map_entries_of(const Table* t) { return reinterpret_cast<MapEntry*>(data_of(t->keys)); }
inline u32 entry_bytes(i32 k) { return k == kind::map ? sizeof(MapEntry) : sizeof(i32); }
inline i32 entry_at(const Table* t, u32 b) {
    return t->kind == kind::map ? map_entries_of(t)[b].item : keys_of(t)[b];
}

// The block's first and end positions, in cells from the buffer's data start.
inline i32 block_first(Node block) { return static_cast<i32>(memory::buffer(block)->head / sizeof(Cell)); }
inline i32 block_end(Node block) { return static_cast<i32>(memory::buffer(block)->tail / sizeof(Cell)); }
inline i32 block_end(const Table* t) { return block_end(static_cast<Node>(t->block)); }

inline i32 index_in_block(const Table* t, const Cell* c) { return static_cast<i32>(c - cells_of(t)); }

// The request of a growth step: the same capacity when fewer than half the
// buckets are live (so deleted buckets are dropped), else the next one up.
inline i64 growth_request(const Table* t) {
    return 2 * static_cast<i64>(t->size) < t->capacity ? t->capacity - 1 : static_cast<i64>(t->capacity) + 1;
}


void fill_node(i32 node, u8 byte) {
    SeriesBuffer* s = memory::buffer(static_cast<Node>(node));
    memory::fill_bytes(s->data(), s->end_ptr(), byte);
}

// --- Item slots and groups (kind 0) ------------------------------------------

inline i32 slot_get(const Table* t, i32 item) {
    SeriesBuffer* s = memory::buffer(static_cast<Node>(t->slots));
    if (item < 0 || static_cast<i64>(item) * 4 + 4 > s->size) return -1;
    i32 v;
    std::memcpy(&v, s->data() + static_cast<size_t>(item) * 4, sizeof v);
    return v;
}

// Makes the item-slot buffer hold items 0 .. count - 1: twice the need,
// new entries -1.
void ensure_slots(Node table, i64 count) {
    SeriesBuffer* s = memory::buffer(static_cast<Node>(record(table)->slots));
    if (count * 4 <= s->size) return;
    i64 want = 2 * count * 4;
    if (want > 0x7FFFFFF0) fire(ErrorId::internal_no_memory);
    memory::expand_series_filled(s, static_cast<i32>(want), 0xFF);
}

void slot_set(Node table, i32 item, i32 bucket_number) {
    ensure_slots(table, static_cast<i64>(item) + 1);
    u8* p = data_of(record(table)->slots) + static_cast<size_t>(item) * 4;
    std::memcpy(p, &bucket_number, sizeof bucket_number);
}

inline i32* slots_of(const Table* t) { return reinterpret_cast<i32*>(data_of(t->slots)); }

void poke_int(Node a, i32 position, i32 v) {
    std::memcpy(array::data(a) + static_cast<size_t>(position - 1) * 4, &v, sizeof v);
}

inline Node group_of(const Table* t, i32 entry) {
    return static_cast<Node>(array::pick_int(static_cast<Node>(t->duplicates), -entry));
}

// The item that stands for a live bucket: the entry, or the group's first item.
inline i32 first_item(const Table* t, i32 entry) {
    return entry >= 0 ? entry : array::pick_int(group_of(t, entry), 1);
}

// Removes one item from a kind 0 index.
void delete_item(Node table, i32 item) {
    Table* t = record(table);
    i32 b = slot_get(t, item);
    if (b <= 0 || b > t->capacity || bucket::state(flags_of(t), static_cast<u32>(b - 1)) != bucket::live) return;
    i32 e = keys_of(t)[b - 1];
    if (e < 0) {
        Node g = group_of(t, e);
        i32 at = array::find_int(g, item);
        if (at < 0) return;
        array::remove_at(g, at, 4);
        slot_set(table, item, -1);
        if (array::length_q(g) > 0) return;
        poke_int(static_cast<Node>(t->duplicates), -e, 0);
    } else if (e != item) {
        return;  // a stale slot: the bucket belongs to another item
    }
    bucket::set(flags_of(t), static_cast<u32>(b - 1), bucket::deleted);
    t->size--;
    slot_set(table, item, -1);
}

// Empties a kind 0 index.
void empty_index(Node table) {
    Table* t = record(table);
    t->size = t->occupied = 0;
    fill_node(t->flags, 0xAA);
    fill_node(t->slots, 0xFF);
    array::clear(static_cast<Node>(t->duplicates));
}

// Applies `to` to the bucket entries of the items lo .. hi - 1: each single
// entry once, each group once, on its members that lie in the range. The
// groups already handled are kept in the shift scratch table, keyed by the
// group's node: the collector marks a pointer table's keys as nodes.
template <class F>
void remap_items(Node table, i32 lo, i32 hi, F to) {
    if (!shift_scratch) shift_scratch = init(1024, nullptr, kind::pointer, 0);
    for (i32 x = lo; x < hi; x++) {
        Table* t = record(table);
        i32 b = slot_get(t, x);
        if (b <= 0 || b > t->capacity || bucket::state(flags_of(t), static_cast<u32>(b - 1)) != bucket::live)
            continue;
        i32 e = keys_of(t)[b - 1];
        if (e >= 0) {
            if (e == x) keys_of(t)[b - 1] = to(x);
            continue;
        }
        Node g = group_of(t, e);
        if (get_ptr(shift_scratch, g)) continue;
        put_ptr(shift_scratch, g);
        g = group_of(record(table), e);  // fetched again: the put may have collected
        for (i32 m = 1, n = array::length_q(g); m <= n; m++) {
            i32 v = array::pick_int(g, m);
            if (v >= lo && v < hi) poke_int(g, m, to(v));
        }
    }
    reset(shift_scratch);
}

// --- Probing -------------------------------------------------------------------

// Where a put lands: a matching live bucket, else the first deleted bucket
// seen, else the empty bucket that ended the probe.
struct Target {
    i32 bucket = -1;
    bool matched = false;
    bool was_empty = false;
};

// Finds where key (whose hash is h) goes in a kind 0-2 table: kind 0 matches
// a group equal under op 0, maps and word lists a key equal under strict
// equality.
Target probe_put(Node table, const Cell& key, u32 h) {
    Table* t = record(table);
    u32 cap = static_cast<u32>(t->capacity), mask = cap - 1;
    u32 b = h & mask;
    i32 first_deleted = -1;
    i32 kind = t->kind;
    i32 op = kind == kind::hash ? op::equal : op::strict_equal;
    for (u32 k = 1, n = 0; n < cap; n++, b = (b + k++) & mask) {
        u32 st = bucket::state(flags_of(t), b);
        if (st == bucket::empty) {
            if (first_deleted >= 0) return {first_deleted, false, false};
            return {static_cast<i32>(b), false, true};
        }
        if (st == bucket::deleted) {
            if (first_deleted < 0) first_deleted = static_cast<i32>(b);
            continue;
        }
        if (kind == kind::map && map_entries_of(t)[b].hash != h) continue;
        i32 item = first_item(t, entry_at(t, b));
        Cell stored = cells_of(t)[item];
        bool match = cell::type_of(stored) == cell::type_of(key) && equal_q(stored, key, op);
        t = record(table);  // a compare handler may have allocated
        if (match) return {static_cast<i32>(b), true, false};
    }
    // The probe went round: occupied stays below the limit, so a deleted
    // bucket was seen; a full table is a broken invariant, never written to.
    if (first_deleted < 0) fire(ErrorId::internal_no_memory);
    return {first_deleted, false, false};
}

void default_map_key(Node block, i32 index) {
    Cell* key = reinterpret_cast<Cell*>(memory::buffer(block)->data()) + index;
    u32 t = cell::type_of(*key);
    if (t == type::word || t == type::lit_word || t == type::get_word) cell::set_type(*key, type::set_word);
}

KeyHook map_key_hook = default_map_key;

// Holds node compaction off while an index is rebuilt, also when a throw
// passes. The collector has no separate node-compaction switch yet, so
// collection as a whole is held off.
struct CompactionOff {
    bool was;
    CompactionOff() : was(collector::enable(false)) {}
    ~CompactionOff() { collector::enable(was); }
    CompactionOff(const CompactionOff&) = delete;
    CompactionOff& operator=(const CompactionOff&) = delete;
};

inline i32 current_stamp() { return static_cast<i32>(collector::cycles() + 1); }

// Keeps a value on the data stack (when the stacks exist) until the scope
// ends: a root for a table that only a local holds.
struct OnDataStack {
    std::optional<stack::Mark> mark;
    OnDataStack(const Cell& value, bool wanted) {
        if (!wanted || !stack::ready()) return;
        mark.emplace();
        stack::push(value);
    }
};

// The symbol-table probe shared by put_symbol and find_symbol.
struct SymbolProbe {
    i32 found = 0;        // the id matched
    i32 alias = 0;        // the first ASCII case variant met, canonicalised
    i32 target = -1;      // where a new symbol goes
    bool was_empty = false;
};

SymbolProbe probe_symbol(Node table, const u8* name, i32 len, bool case_) {
    SymbolProbe r;
    Table* t = record(table);
    u32 cap = static_cast<u32>(t->capacity), mask = cap - 1;
    const u32* flags = flags_of(t);
    const i32* keys = keys_of(t);
    const Cell* cells = cells_of(t);
    u32 b = name_hash(name, len) & mask;
    i32 first_deleted = -1;
    for (u32 k = 1, n = 0; n < cap; n++, b = (b + k++) & mask) {
        u32 st = bucket::state(flags, b);
        if (st == bucket::empty) {
            r.target = first_deleted >= 0 ? first_deleted : static_cast<i32>(b);
            r.was_empty = first_deleted < 0;
            return r;
        }
        if (st == bucket::deleted) {
            if (first_deleted < 0) first_deleted = static_cast<i32>(b);
            continue;
        }
        i32 e = keys[b];
        Name nm = name_of(cells[e]);
        if (nm.len != len) continue;
        if (std::memcmp(nm.p, name, static_cast<size_t>(len)) == 0) {
            // Ignoring case, the answer is the earliest spelling even when
            // this exact one is a later variant.
            i32 a = case_ ? static_cast<i32>(cells[e].data1) : 0;
            r.found = a > 0 ? a : e + 1;
            break;
        }
        if (r.alias == 0 && ascii_iequal(nm.p, name, len)) {
            // The probe order is not insertion order once the table has been
            // re-bucketed: resolve, so an alias always names a canonical symbol.
            i32 a = static_cast<i32>(cells[e].data1);
            r.alias = a > 0 ? a : e + 1;
            if (case_) {
                r.found = r.alias;
                break;
            }
        }
    }
    if (!r.found) {
        r.target = first_deleted;
        r.was_empty = false;
    }
    return r;
}

// A copy of a name that may lie in a series buffer, made before anything
// allocates (an allocation may move that buffer).
struct NameCopy {
    u8 small[256];
    std::vector<u8> large;
    const u8* p = small;
    NameCopy(const u8* name, i32 len) {
        if (len <= static_cast<i32>(sizeof small)) {
            if (len > 0) std::memcpy(small, name, static_cast<size_t>(len));
        } else {
            large.assign(name, name + len);
            p = large.data();
        }
    }
    NameCopy(const NameCopy&) = delete;
    NameCopy& operator=(const NameCopy&) = delete;
};

// Appends a new symbol cell and indexes it at the probe's target.
i32 add_symbol(Node table, const u8* name, i32 len, i32 alias, const SymbolProbe& at) {
    if (at.target < 0) fire(ErrorId::internal_no_memory);
    NameCopy copy(name, len);
    const u8* src = copy.p;
    Node blk = static_cast<Node>(record(table)->block);
    i32 index = block_end(blk);
    memory::alloc_tail(blk);  // unset! until complete: the collector passes it over
    Node nm = memory::alloc_bytes(len + 1);
    SeriesBuffer* s = memory::buffer(nm);
    if (len > 0) std::memcpy(s->data(), src, static_cast<size_t>(len));
    s->data()[len] = 0;
    s->tail = static_cast<u32>(len);
    Cell* c = reinterpret_cast<Cell*>(memory::buffer(blk)->data()) + index;
    *c = Cell{type::symbol, static_cast<u32>(alias), 0, nm};
    Table* t = record(table);
    keys_of(t)[at.target] = index;
    bucket::set(flags_of(t), static_cast<u32>(at.target), bucket::live);
    t->size++;
    if (at.was_empty) t->occupied++;
    return index + 1;
}

i32 clamp_request(i64 r) { return r > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<i32>(r); }

}  // namespace

Node alloc_flags(u32 capacity) { return memory::alloc_bytes_filled(static_cast<i32>(capacity / 4), 0xAA); }

Node alloc_keys(u32 capacity) { return memory::alloc_bytes_filled(static_cast<i32>(capacity * 4), 0); }

namespace {
Node alloc_entries(u32 capacity, i32 k) {
    return memory::alloc_bytes_filled(static_cast<i32>(capacity * entry_bytes(k)), 0);
}
}  // namespace

// ---------------------------------------------------------------------------
// Hashing

void set_seed(u32 s) { process_seed = s; }
u32 seed() { return process_seed; }

u32 murmur3_hash(const void* data, i32 len) {
    const u8* p = static_cast<const u8*>(data);
    if (len < 0) len = 0;
    u32 h = process_seed;
    i32 blocks = len / 4;
    for (i32 i = 0; i < blocks; i++) h = murmur_block(h, load32(p + 4 * i));
    const u8* tail = p + 4 * blocks;
    u32 k = 0;
    switch (len & 3) {
        case 3: k ^= static_cast<u32>(tail[2]) << 16; [[fallthrough]];
        case 2: k ^= static_cast<u32>(tail[1]) << 8; [[fallthrough]];
        case 1:
            k ^= tail[0];
            h = murmur_tail(h, k);
    }
    return mix32(h ^ static_cast<u32>(len));
}

u32 name_hash(const u8* name, i32 len) {
    // The same as MurmurHash3 over a copy of the name with A-Z lowered,
    // folding each block as it is read.
    u32 h = process_seed;
    i32 blocks = len / 4;
    for (i32 i = 0; i < blocks; i++) h = murmur_block(h, fold_ascii(load32(name + 4 * i)));
    const u8* tail = name + 4 * blocks;
    u32 k = 0;
    switch (len & 3) {
        case 3: k ^= static_cast<u32>(fold_byte(tail[2])) << 16; [[fallthrough]];
        case 2: k ^= static_cast<u32>(fold_byte(tail[1])) << 8; [[fallthrough]];
        case 1:
            k ^= fold_byte(tail[0]);
            h = murmur_tail(h, k);
    }
    return mix32(h ^ static_cast<u32>(len));
}

u32 hash_value(const Cell& c, bool case_) {
    switch (rule_of(cell::type_of(c))) {
        case Rule::zero: return 0;
        case Rule::mix1: return mix32(c.data1);
        case Rule::mix2: return mix32(c.data2);
        case Rule::mix3: return mix32(c.data3);
        case Rule::word: return mix32(static_cast<u32>(symbol::canonical(static_cast<i32>(c.data2))));
        case Rule::symbol: {
            Name n = name_of(c);
            return name_hash(n.p, n.len);
        }
        case Rule::string: return string_hash(c, case_);
        case Rule::bytes12: return murmur3_hash(&c.data1, 8);
        case Rule::bytes23: return murmur3_hash(&c.data2, 8);
        case Rule::bytes123: return murmur3_hash(&c.data1, 12);
        case Rule::none: return 0xFFFFFFFFu;   // -1
        case Rule::unset: return 0xFFFFFFFEu;  // -2
        case Rule::money: {
            // The type, the sign bit of a non-zero amount (-$0 is $0), the
            // currency byte and the 22 digits.
            Cell m = c;
            const bool zero = (m.data1 >> 8) == 0 && m.data2 == 0 && m.data3 == 0;
            m.header &= zero ? flag::type_mask : flag::type_mask | 0x4000;
            return murmur3_hash(&m, sizeof m);
        }
        case Rule::binary: {
            Node n = cell::node(c);
            if (!n) return murmur3_hash(nullptr, 0);
            SeriesBuffer* s = memory::buffer(n);
            i64 used = static_cast<i64>(s->tail) - s->head;
            i64 head = cell::head_index(c);
            if (head < 0) head = 0;
            if (head > used) head = used;
            return murmur3_hash(s->head_ptr() + head, static_cast<i32>(used - head));
        }
        case Rule::tuple: {
            i32 len = static_cast<i32>((c.header >> 19) & 0xF);
            return murmur3_hash(&c.data1, len > 12 ? 12 : len);
        }
    }
    return 0;
}

bool address_key_q(u32 t) { return t < rule_types && address_keys[t]; }

bool equal_q(const Cell& a, const Cell& b, i32 op) {
    u32 t = cell::type_of(a);
    // An amount with no currency equals the same amount in any currency, but
    // keys hash with their currency: in a table, currencies must be the same,
    // or a match would hang on two hashes sharing a bucket.
    if (t == type::money && (a.data1 & 0xFF) != (b.data1 & 0xFF)) return op == op::not_equal;
    // Address keys hash by their node, so they must compare by identity too
    // (a value compare would fold distinct blocks that share a bucket); the
    // length-limited string has no handler of its own that honours its limit.
    if (t < registry::table_types && !address_key_q(t) && t != limited_string) {
        if (auto handler = registry::handler<action_fn::Compare>(t, action::compare)) {
            Cell x = a, y = b;
            i32 r = handler(&x, &y, op);
            return op == op::not_equal ? r != 0 : r == 0;
        }
    }
    bool eq = builtin_equal(a, b, op);
    return op == op::not_equal ? !eq : eq;
}

void set_map_key_hook(KeyHook hook) { map_key_hook = hook ? hook : default_map_key; }

u32 next_pow2(u64 n) {
    if (n > (u64{1} << 30)) fire(ErrorId::internal_no_memory);
    u32 p = 1;
    while (p < n) p <<= 1;
    return p;
}

// ---------------------------------------------------------------------------
// Making and putting

Node init(i32 size, const Cell* block, i32 kind, i32 values) {
    if (kind == kind::symbols && values == 2 && block && cell::type_of(*block) == type::context) {
        // A new context starts from a copy of another context's word list.
        // The new buffers live only in locals until copy links them.
        CompactionOff hold;
        Node source = block->data1;
        Node words = memory::copy_series_buffer(memory::buffer(static_cast<Node>(record(source)->block)));
        return copy(source, words);
    }
    i64 s = size;
    if (kind == kind::symbols && s >= 4000) s *= 2;
    if (s < 4) s = 4;
    u32 cap = next_pow2(static_cast<u64>(static_cast<double>(s) / 0.77));
    i32 limit = static_cast<i32>(cap * 0.77);

    Node table;
    {
        // The record and its buffers are reachable from nothing until init
        // returns: no collection while they are made.
        CompactionOff hold;
        table = memory::alloc_bytes(sizeof(Table));
        {
            SeriesBuffer* r = memory::buffer(table);
            memory::fill_bytes(r->data(), r->end_ptr(), 0);
            r->tail = sizeof(Table);
        }
        Node f = alloc_flags(cap);
        Node k = alloc_entries(cap, kind);
        Node slots = 0, dups = 0;
        if (kind == kind::hash) {
            if (s * 4 > 0x7FFFFFF0) fire(ErrorId::internal_no_memory);
            slots = memory::alloc_bytes_filled(static_cast<i32>(s * 4), 0xFF);
            dups = array::make(4, array::int_unit);
        }
        Table* t = record(table);
        t->kind = kind;
        t->flags = static_cast<i32>(f);
        t->keys = static_cast<i32>(k);
        t->capacity = static_cast<i32>(cap);
        t->limit = limit;
        t->slots = static_cast<i32>(slots);
        t->duplicates = static_cast<i32>(dups);
        if (kind >= kind::pointer) {
            t->slots = (values + 1) * static_cast<i32>(sizeof(Cell));
            t->stamp = current_stamp();
        }
        if (!block || kind >= kind::pointer) {
            Node blk = memory::alloc_cells(static_cast<i32>(s));
            record(table)->block = static_cast<i32>(blk);
            return table;
        }
        record(table)->block = static_cast<i32>(cell::node(*block));
    }
    // Indexing can allocate (item slots, groups, the map! key hook): a hash!
    // or map! value naming the table stays on the data stack meanwhile so
    // that the collector keeps the table.
    Cell held = *block;
    cell::set_type(held, kind == kind::map ? type::map : type::hash);
    held.data3 = table;
    OnDataStack keep(held, kind != kind::symbols);
    Node blk = cell::node(*block);
    i32 head = cell::head_index(*block);
    put_block(table, block_first(blk) + (head > 0 ? head : 0), kind == kind::map ? 2 : 1);
    return table;
}

void put(Node table, Cell* key) {
    i32 flag = 0;
    put_key(table, key, &flag);
}

Cell* put_key(Node table, Cell* key, i32* flag) {
    Table* t = record(table);
    i32 item = index_in_block(t, key);
    Cell c = *key;
    if (t->occupied >= t->limit) {
        i64 request = growth_request(t);
        switch (t->kind) {
            case kind::hash:
                grow(table, clamp_request(request));  // indexes every item, this one included
                if (flag) *flag = 2;
                return cells_of(record(table)) + item;
            case kind::map: resize_in_place(table, clamp_request(static_cast<i64>(t->capacity) + 1)); break;
            default: resize_in_place(table, clamp_request(request)); break;
        }
        t = record(table);
    }
    if (t->kind == kind::hash && t->stamp == 0 && address_key_q(cell::type_of(c))) t->stamp = current_stamp();

    const u32 h = hash_value(c, false);
    Target at = probe_put(table, c, h);
    t = record(table);
    if (!at.matched) {
        if (t->kind == kind::map)
            map_entries_of(t)[at.bucket] = {item, h};
        else
            keys_of(t)[at.bucket] = item;
        bucket::set(flags_of(t), static_cast<u32>(at.bucket), bucket::live);
        t->size++;
        if (at.was_empty) t->occupied++;
    } else if (t->kind == kind::hash) {
        // An equal key: the bucket holds a group of every equal item.
        i32 e = keys_of(t)[at.bucket];
        Node g;
        if (e >= 0) {
            // The duplicates array takes its entry (0, skipped by marking)
            // before the group is made, so the new group is never held by a
            // local alone across an allocation.
            Node dups = static_cast<Node>(t->duplicates);
            array::append_int(dups, 0);
            i32 position = array::length_q(dups);
            g = array::make(4, array::int_unit);
            poke_int(static_cast<Node>(record(table)->duplicates), position, static_cast<i32>(g));
            array::append_int(g, e);
            keys_of(record(table))[at.bucket] = -position;
        } else {
            g = group_of(t, e);
        }
        array::append_int(g, item);
    }
    if (record(table)->kind == kind::hash) slot_set(table, item, at.bucket + 1);
    return cells_of(record(table)) + item;
}

void put_block(Node table, i32 first, i32 step) {
    if (step < 1) step = 1;
    if (record(table)->kind != kind::map) {
        for (i32 i = first; i < block_end(record(table)); i += step) {
            i32 flag = 0;
            put_key(table, cells_of(record(table)) + i, &flag);
            if (flag == 2) return;  // the whole block was indexed
        }
        return;
    }
    for (i32 i = first; i < block_end(record(table));) {
        Cell key = cells_of(record(table))[i];
        Cell* found = find(table, &key, 0, 1, op::strict_equal, false, false);
        Table* t = record(table);
        if (!found) {
            put_key(table, cells_of(t) + i, nullptr);
            map_key_hook(static_cast<Node>(record(table)->block), i);
            i += step;
            continue;
        }
        // A repeated key: its value goes to the earlier pair, and the
        // repeated pair leaves the block; the same position is handled again.
        i32 j = index_in_block(t, found);
        SeriesBuffer* s = memory::buffer(static_cast<Node>(t->block));
        Cell* cells = reinterpret_cast<Cell*>(s->data());
        i32 end = block_end(t);
        if (i + 1 < end) cells[j + 1] = cells[i + 1];
        i32 gone = i + 2 <= end ? 2 : 1;
        std::memmove(cells + i, cells + i + gone, static_cast<size_t>(end - i - gone) * sizeof(Cell));
        s->tail -= static_cast<u32>(gone) * sizeof(Cell);
    }
}

// ---------------------------------------------------------------------------
// Finding

Cell* find(Node table, const Cell* key, i32 head, i32 skip, i32 op, bool last, bool reverse) {
    refresh(table);
    Cell c = *key;
    Table* t = record(table);
    if (t->kind == kind::map && word_type_q(cell::type_of(c)) && cell::type_of(c) != type::refinement &&
        cell::type_of(c) != type::issue)
        cell::set_type(c, type::set_word);  // map! keys of the word family are stored as set-words
    if (reverse) last = true;
    u32 cap = static_cast<u32>(t->capacity), mask = cap - 1;
    const u32 h = hash_value(c, false);
    u32 b = h & mask;

    if (t->kind != kind::hash) {
        bool any_type = cell::type_of(c) == limited_string;
        const bool hashed = t->kind == kind::map;
        for (u32 k = 1, n = 0; n < cap; n++, b = (b + k++) & mask) {
            u32 st = bucket::state(flags_of(t), b);
            if (st == bucket::empty) return nullptr;
            if (st == bucket::deleted) continue;
            if (hashed && map_entries_of(t)[b].hash != h) continue;
            i32 e = entry_at(t, b);
            Cell stored = cells_of(t)[e];
            bool match = (any_type || cell::type_of(stored) == cell::type_of(c)) && equal_q(stored, c, op);
            t = record(table);
            if (match) return cells_of(t) + e;
        }
        return nullptr;
    }

    i64 step = skip < 0 ? -static_cast<i64>(skip) : skip;
    if (step == 0) step = 1;
    i64 best = last ? -1 : block_end(t);
    for (u32 k = 1, n = 0; n < cap; n++, b = (b + k++) & mask) {
        u32 st = bucket::state(flags_of(t), b);
        if (st == bucket::empty) break;
        if (st == bucket::deleted) continue;
        i32 e = keys_of(t)[b];
        Cell rep = cells_of(t)[first_item(t, e)];
        bool same = cell::type_of(rep) == cell::type_of(c) && equal_q(rep, c, op::equal);
        t = record(table);
        if (!same) continue;
        i32 count = e >= 0 ? 1 : array::length_q(group_of(t, e));
        bool replaced = false;
        for (i32 m = 0; m < count; m++) {
            i64 j = e >= 0 ? e : array::pick_int(group_of(record(table), e), m + 1);
            Cell item = cells_of(record(table))[j];
            if (!equal_q(item, c, op)) continue;
            i64 offset = last ? head - 1 - j : j - head;
            if (((offset % step) + step) % step != 0) continue;
            if (!reverse) {
                if (j >= head && (last ? j > best : j < best)) best = j, replaced = true;
            } else if (j < head && j > best) {
                best = j, replaced = true;
            }
        }
        t = record(table);
        if (replaced) return cells_of(t) + best;
    }
    return nullptr;
}

Cell* find_next(Node table, const Cell* key, i32* bucket_io, i32* home, i32* step_io) {
    Cell c = *key;
    Table* t = record(table);
    u32 cap = static_cast<u32>(t->capacity), mask = cap - 1;
    u32 b, k;
    if (*bucket_io < 0) {
        b = hash_value(c, false) & mask;
        *home = static_cast<i32>(b) + 1;
        k = 1;
    } else {
        k = static_cast<u32>(*step_io);
        b = (static_cast<u32>(*bucket_io) + k) & mask;
        k++;
    }
    for (; k <= cap; b = (b + k++) & mask) {
        u32 st = bucket::state(flags_of(t), b);
        if (st == bucket::empty) break;
        if (st == bucket::deleted) continue;
        i32 item = first_item(t, entry_at(t, b));
        Cell stored = cells_of(t)[item];
        bool match = cell::type_of(stored) == cell::type_of(c) && equal_q(stored, c, op::equal);
        t = record(table);
        if (match) {
            *bucket_io = static_cast<i32>(b);
            *step_io = static_cast<i32>(k);
            return cells_of(t) + item;
        }
    }
    *bucket_io = static_cast<i32>(b);
    *step_io = static_cast<i32>(k);
    return nullptr;
}

// ---------------------------------------------------------------------------
// Removing, shifting, moving

void delete_(Node table, Cell* key) {
    Table* t = record(table);
    switch (t->kind) {
        case kind::hash: delete_item(table, index_in_block(t, key)); return;
        case kind::map: {
            i32 i = index_in_block(t, key);
            if (i + 1 >= block_end(t)) return;
            Cell& value = cells_of(t)[i + 1];
            if (value.header == 0) return;  // already removed
            value.header = 0;
            t->size--;
            return;
        }
        case kind::symbols: {
            i32 i = index_in_block(t, key);
            u32 cap = static_cast<u32>(t->capacity), mask = cap - 1;
            u32 b = hash_value(*key, false) & mask;
            for (u32 k = 1, n = 0; n < cap; n++, b = (b + k++) & mask) {
                u32 st = bucket::state(flags_of(t), b);
                if (st == bucket::empty) return;
                if (st == bucket::live && keys_of(t)[b] == i) {
                    bucket::set(flags_of(t), b, bucket::deleted);
                    t->size--;
                    return;
                }
            }
            return;
        }
        default: delete_ptr(table, key->data1); return;
    }
}

void remove_range(Node table, i32 first, i32 count) {
    Table* t = record(table);
    Node blk = static_cast<Node>(t->block);
    i32 end = block_end(blk);
    if (first < 0) first = 0;
    if (count > end - first) count = end - first;
    if (count <= 0) return;
    if (first <= block_first(blk) && count >= end - block_first(blk)) {
        empty_index(table);
        return;
    }
    for (i32 i = first; i < first + count; i++) delete_item(table, i);
}

i32 shift(Node table, i32 delta, i32 first, i32 count, bool drop) {
    if (count > shift_limit) return 1;
    if (count < 0) count = 0;
    if (drop && delta < 0) {
        for (i32 i = first + delta < 0 ? 0 : first + delta; i < first; i++) delete_item(table, i);
    }
    remap_items(table, first, first + count, [delta](i32 v) { return v + delta; });
    if (drop && delta != 0 && count > 0) {
        i64 from = first, to = static_cast<i64>(first) + delta;
        if (to < 0) return 0;
        ensure_slots(table, (from > to ? from : to) + count);
        i32* slots = slots_of(record(table));
        std::memmove(slots + to, slots + from, static_cast<size_t>(count) * 4);
        // The entries left behind belong to no item until something is put there.
        i64 lo = delta > 0 ? from : to + count;
        i64 hi = delta > 0 ? (to < from + count ? to : from + count) : from + count;
        if (lo < from) lo = from;
        for (i64 i = lo; i < hi; i++) slots[i] = -1;
    }
    return 0;
}

void move(Node table, i32 target, i32 first, i32 count) {
    if (count <= 0 || (target >= first && target < first + count)) return;
    i64 dist = static_cast<i64>(target) - first;
    if (dist > 0) dist -= count - 1;
    if (count > shift_limit || dist > shift_limit || dist < -shift_limit) {
        resize(table, block_end(record(table)) - block_first(static_cast<Node>(record(table)->block)));
        return;
    }
    i32 lo = static_cast<i32>(dist > 0 ? first : first + dist);
    i32 hi = static_cast<i32>(dist > 0 ? first + count + dist : first + count);
    if (lo < 0) return;
    // The run moves by dist; the items it passes over move by count the other way.
    auto to = [=](i32 v) -> i32 {
        if (v >= first && v < first + count) return static_cast<i32>(v + dist);
        return dist > 0 ? v - count : v + count;
    };
    remap_items(table, lo, hi, to);
    ensure_slots(table, hi);
    std::vector<i32> old(slots_of(record(table)) + lo, slots_of(record(table)) + hi);
    i32* slots = slots_of(record(table));
    for (i32 x = lo; x < hi; x++) slots[to(x)] = old[static_cast<size_t>(x - lo)];
}

// ---------------------------------------------------------------------------
// Growth

void resize(Node table, i32 size) {
    i32 began = current_stamp();
    i64 want = static_cast<i64>(static_cast<double>(size < 0 ? 0 : size) * 1.5);
    u32 c = next_pow2(static_cast<u64>(want < 1 ? 1 : want));
    i32 limit = static_cast<i32>(c * 0.77);
    if (c < 4) c = 4;
    // Each new buffer replaces the old one at once, so none is held only by
    // a local while the next is allocated (the old ones are dropped anyway).
    Node f = alloc_flags(c);
    record(table)->flags = static_cast<i32>(f);
    Node k = alloc_keys(c);
    Table* t = record(table);
    t->keys = static_cast<i32>(k);
    t->stamp = 0;
    t->size = t->occupied = 0;
    t->capacity = static_cast<i32>(c);
    t->limit = limit;
    array::clear(static_cast<Node>(t->duplicates));
    fill_node(t->slots, 0xFF);
    put_block(table, block_first(static_cast<Node>(t->block)), 1);
    t = record(table);
    if (t->stamp != 0) t->stamp = began;
}

void resize_in_place(Node table, i32 requested) {
    Table* t = record(table);
    u32 n = next_pow2(static_cast<u64>(requested < 1 ? 1 : requested));
    if (n < 4) n = 4;
    i32 limit = static_cast<i32>(n * 0.77 + 0.5);
    if (t->size >= limit) return;
    u32 old_cap = static_cast<u32>(t->capacity);
    if (n > old_cap) {
        memory::expand_series_copy(memory::buffer(static_cast<Node>(t->keys)),
                                   static_cast<i32>(n * entry_bytes(t->kind)));
    }
    // The new flags are made last: nothing allocates between here and their
    // taking the old flags' place.
    Node nf = alloc_flags(n);
    t = record(table);
    auto* new_flags = reinterpret_cast<u32*>(memory::buffer(nf)->data());
    if (t->kind == kind::map) {
        bucket::rebucket(flags_of(t), old_cap, new_flags, n, map_entries_of(t), [](const MapEntry& e) { return e.hash; });
    } else {
        const Cell* cells = cells_of(t);
        bucket::rebucket(flags_of(t), old_cap, new_flags, n, keys_of(t),
                         [cells](i32 e) { return hash_value(cells[e], false); });
    }
    t->flags = static_cast<i32>(nf);
    t->capacity = static_cast<i32>(n);
    t->limit = limit;
    if (t->kind != kind::map) t->occupied = t->size;  // a map!'s removed pairs keep their buckets
}

void grow(Node table, i32 size) {
    CompactionOff hold;
    switch (record(table)->kind) {
        case kind::hash: resize(table, size); break;
        case kind::map:
        case kind::symbols: resize_in_place(table, size); break;  // their keys never rest on nodes
        default: resize_records(table, size); break;
    }
}

void refresh(Node table) {
    Table* t = record(table);
    if (t->stamp == 0 || t->stamp == current_stamp()) return;
    if (t->kind == kind::hash)
        grow(table, block_end(t) - block_first(static_cast<Node>(t->block)));
    else if (t->kind >= kind::pointer)
        rehash_records(table);
}

// ---------------------------------------------------------------------------
// Symbols and context word lists

i32 put_symbol(Node table, const u8* name, i32 len, bool case_) {
    Table* t = record(table);
    if (t->occupied >= t->limit) {
        // Growing allocates: the name is copied first.
        NameCopy copy(name, len);
        resize_in_place(table, clamp_request(growth_request(t) * 16));
        SymbolProbe at = probe_symbol(table, copy.p, len, case_);
        if (at.found) return at.found;
        return add_symbol(table, copy.p, len, at.alias > 0 ? at.alias : -1, at);
    }
    SymbolProbe at = probe_symbol(table, name, len, case_);
    if (at.found) return at.found;
    return add_symbol(table, name, len, at.alias > 0 ? at.alias : -1, at);
}

i32 find_symbol(Node table, const u8* name, i32 len) {
    SymbolProbe at = probe_symbol(table, name, len, false);
    return at.found;
}

i32 find_word(Node table, i32 sym, bool case_, Node context, i32* slot) {
    Table* t = record(table);
    if (context && t->occupied >= t->limit) {
        resize_in_place(table, clamp_request(growth_request(t) * 16));
        t = record(table);
    }
    i32 canon = symbol::canonical(sym);
    u32 cap = static_cast<u32>(t->capacity), mask = cap - 1;
    const u32* flags = flags_of(t);
    const i32* keys = keys_of(t);
    const Cell* words = cells_of(t);
    u32 b = mix32(static_cast<u32>(canon)) & mask;
    i32 target = -1;
    bool was_empty = false;
    for (u32 k = 1, n = 0; n < cap; n++, b = (b + k++) & mask) {
        u32 st = bucket::state(flags, b);
        if (st == bucket::empty) {
            if (target < 0) target = static_cast<i32>(b), was_empty = true;
            break;
        }
        if (st == bucket::deleted) {
            if (target < 0) target = static_cast<i32>(b);
            continue;
        }
        i32 e = keys[b];
        i32 s = static_cast<i32>(words[e].data2);
        if (s == sym || (case_ && symbol::canonical(s) == canon)) {
            if (slot) *slot = e;
            return e;
        }
    }
    if (!context) return -1;
    if (target < 0) fire(ErrorId::internal_no_memory);
    Node blk = static_cast<Node>(t->block);
    i32 index = block_end(blk);
    Cell* w = memory::alloc_tail(blk);
    *w = Cell{type::word, context, static_cast<u32>(sym), static_cast<u32>(index)};
    t = record(table);
    keys_of(t)[target] = index;
    bucket::set(flags_of(t), static_cast<u32>(target), bucket::live);
    t->size++;
    if (was_empty) t->occupied++;
    if (slot) *slot = index;
    return -1;
}

// ---------------------------------------------------------------------------
// Copying and resetting

Node copy(Node table, Node block) {
    // The copy is reachable from nothing until it is returned.
    CompactionOff hold;
    Node r = memory::copy_series_buffer(memory::buffer(table));
    Node f = memory::copy_series_buffer(memory::buffer(static_cast<Node>(record(r)->flags)));
    record(r)->flags = static_cast<i32>(f);
    Node k = memory::copy_series_buffer(memory::buffer(static_cast<Node>(record(r)->keys)));
    record(r)->keys = static_cast<i32>(k);
    record(r)->block = static_cast<i32>(block);
    if (record(r)->kind == kind::hash) {
        Node s = memory::copy_series_buffer(memory::buffer(static_cast<Node>(record(r)->slots)));
        record(r)->slots = static_cast<i32>(s);
        Node d = array::copy(static_cast<Node>(record(r)->duplicates));
        record(r)->duplicates = static_cast<i32>(d);
        // The copy owns its groups: changing one table must not change the other.
        for (i32 m = 1, n = array::length_q(d); m <= n; m++) {
            Node g = static_cast<Node>(array::pick_int(d, m));
            if (g) poke_int(d, m, static_cast<i32>(array::copy(g)));
        }
    }
    return r;
}

void reset(Node table) {
    Table* t = record(table);
    t->size = t->occupied = 0;
    fill_node(t->flags, 0xAA);
    if (t->kind == kind::hash) {
        array::clear(static_cast<Node>(t->duplicates));
        fill_node(t->slots, 0xFF);
    } else if (t->kind >= kind::pointer) {
        // Records left in the block would come back on the next re-insertion.
        SeriesBuffer* s = memory::buffer(static_cast<Node>(t->block));
        s->tail = s->head;
    }
}

void destroy(Node) {}

// ---------------------------------------------------------------------------
// Contexts

namespace {
inline Table* context_table(Node context) {
    return record(static_cast<Node>(memory::buffer(context)->cells()[0].data1));
}
}  // namespace

Cell* block_cell(Node context, i32 i) { return cells_of(context_table(context)) + i; }
Node get_block(Node context) { return static_cast<Node>(context_table(context)->block); }
Node flags(Node context) { return static_cast<Node>(context_table(context)->flags); }

// ---------------------------------------------------------------------------
// Collector support

void mark(Node* table_slot, const MarkHooks& hooks) {
    if (!hooks.node(table_slot)) return;
    Table* t = record(*table_slot);
    hooks.node(reinterpret_cast<Node*>(&t->flags));
    hooks.node(reinterpret_cast<Node*>(&t->keys));
    if (hooks.node(reinterpret_cast<Node*>(&t->block)) && t->kind != kind::ownership) {
        SeriesBuffer* s = memory::buffer(static_cast<Node>(t->block));
        hooks.cells(s->cells(), reinterpret_cast<Cell*>(s->tail_ptr()));
    }
    if (t->kind == kind::hash) {
        hooks.node(reinterpret_cast<Node*>(&t->slots));
        hooks.node(reinterpret_cast<Node*>(&t->duplicates));
        Node d = static_cast<Node>(t->duplicates);
        auto* groups = reinterpret_cast<Node*>(array::data(d));
        for (i32 m = 0, n = array::length_q(d); m < n; m++)
            if (groups[m]) hooks.node(&groups[m]);
        return;
    }
    if (t->kind < kind::pointer) return;
    u32 cap = static_cast<u32>(t->capacity);
    for (u32 b = 0; b < cap; b++) {
        if (bucket::state(flags_of(t), b) != bucket::live) continue;
        auto* rec = reinterpret_cast<Cell*>(data_of(t->block) + keys_of(t)[b]);
        Node* key = &rec->data1;
        if (*key && hooks.node(key)) {
            SeriesBuffer* s = memory::buffer(*key);
            if (s->unit() == sizeof(Cell)) hooks.cells(s->cells(), reinterpret_cast<Cell*>(s->tail_ptr()));
        }
        if (t->kind == kind::ownership) hooks.cells(rec + 1, rec + 2);  // the owned value; owners stay weak
    }
}

void sweep(Node table) {
    Table* t = record(table);
    if (t->kind < kind::pointer) return;
    auto marked = [](Node n) {
        SeriesBuffer* s = n ? memory::buffer(n) : nullptr;
        return s && (s->flags & sflag::mark);
    };
    u32 cap = static_cast<u32>(t->capacity);
    for (u32 b = 0; b < cap; b++) {
        if (bucket::state(flags_of(t), b) != bucket::live) continue;
        auto* rec = reinterpret_cast<Cell*>(data_of(t->block) + keys_of(t)[b]);
        bool dead = !marked(rec->data1) || (t->kind == kind::ownership && !marked(rec[2].data1));
        if (!dead) continue;
        bucket::set(flags_of(t), b, bucket::deleted);
        t->size--;
        rec->header = 0;
        rec->data1 = 0;
    }
}

Node scratch_table() { return shift_scratch; }

void init_module() { shift_scratch = 0; }

void dump(Node table) {
    Table* t = record(table);
    u32 cap = static_cast<u32>(t->capacity);
    char line[64];
    for (u32 pass = 0; pass < 2; pass++) {
        console::print_text(pass == 0 ? "== Alive keys ==\n" : "\n== Deleted keys ==\n");
        u32 want = pass == 0 ? bucket::live : bucket::deleted;
        for (u32 b = 0; b < cap; b++) {
            if (bucket::state(flags_of(t), b) != want) continue;
            i32 e = t->kind < kind::pointer ? entry_at(t, b) : keys_of(t)[b];
            u32 type = t->kind < kind::pointer && e >= 0 ? cell::type_of(cells_of(t)[e]) : 0u;
            std::snprintf(line, sizeof line, "%u: %d (type %u)\n", b, e, type);
            console::print_text(line);
        }
    }
    console::flush();
}

}  // namespace oru::hashtable
