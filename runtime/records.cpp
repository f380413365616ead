// Record tables over the hash index, and the collector's node remap map.
// Record addresses are fetched again after every allocation (a record put
// can grow the block of records, which moves it).
#include "runtime/records.h"

#include "runtime/collector.h"
#include "runtime/fire.h"
#include "runtime/system.h"

#include <cstring>

namespace oru::hashtable {

namespace {

inline u8* data_of(i32 node) { return memory::buffer(static_cast<Node>(node))->data(); }
inline u32* flags_of(const Table* t) { return reinterpret_cast<u32*>(data_of(t->flags)); }
inline i32* keys_of(const Table* t) { return reinterpret_cast<i32*>(data_of(t->keys)); }
inline Cell* record_at(const Table* t, i32 offset) { return reinterpret_cast<Cell*>(data_of(t->block) + offset); }
inline i32 cells_per_record(const Table* t) { return t->slots / static_cast<i32>(sizeof(Cell)); }
inline i32 current_stamp() { return static_cast<i32>(collector::cycles() + 1); }


struct Found {
    i32 bucket = -1;
    bool matched = false;
    bool was_empty = false;
};

// Probes for key: its live bucket, else where it would go (the first deleted
// bucket seen, else the empty bucket ending the probe).
Found probe(const Table* t, u32 key) {
    u32 cap = static_cast<u32>(t->capacity), mask = cap - 1;
    const u32* flags = flags_of(t);
    const i32* keys = keys_of(t);
    u32 b = mix32(key) & mask;
    i32 first_deleted = -1;
    for (u32 k = 1, n = 0; n < cap; n++, b = (b + k++) & mask) {
        u32 st = bucket::state(flags, b);
        if (st == bucket::empty) {
            if (first_deleted >= 0) return {first_deleted, false, false};
            return {static_cast<i32>(b), false, true};
        }
        if (st == bucket::deleted) {
            if (first_deleted < 0) first_deleted = static_cast<i32>(b);
            continue;
        }
        if (record_at(t, keys[b])->data1 == key) return {static_cast<i32>(b), true, false};
    }
    return {first_deleted, false, false};
}

// put_ptr without the refresh (the rebuilds themselves put records).
Cell* put_record(Node table, u32 key) {
    Table* t = record(table);
    if (t->occupied >= t->limit) {
        i64 request = 2 * static_cast<i64>(t->size) < t->capacity ? t->capacity - 1 : static_cast<i64>(t->capacity) + 1;
        grow(table, request > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<i32>(request));
        t = record(table);
    }
    Found at = probe(t, key);
    if (at.bucket < 0) fire(ErrorId::internal_no_memory);  // a full table: never written to
    i32 offset;
    if (at.matched) {
        offset = keys_of(t)[at.bucket];
    } else if (at.was_empty) {
        Node blk = static_cast<Node>(t->block);
        offset = static_cast<i32>(memory::buffer(blk)->tail);
        u8* fresh = memory::reserve_bytes(blk, t->slots);
        std::memset(fresh, 0, static_cast<size_t>(record(table)->slots));
        t = record(table);
        keys_of(t)[at.bucket] = offset;
        bucket::set(flags_of(t), static_cast<u32>(at.bucket), bucket::live);
        t->size++;
        t->occupied++;
    } else {
        // The deleted bucket still names its old record: reuse it.
        offset = keys_of(t)[at.bucket];
        bucket::set(flags_of(t), static_cast<u32>(at.bucket), bucket::live);
        t->size++;
    }
    Cell* rec = record_at(t, offset);
    for (i32 i = 0, n = cells_per_record(t); i < n; i++) rec[i].header = type::unset;
    rec->data1 = key;
    return rec + 1;
}

}  // namespace

Cell* put_ptr(Node table, u32 key) {
    refresh(table);
    return put_record(table, key);
}

Cell* get_ptr(Node table, u32 key) {
    refresh(table);
    Table* t = record(table);
    Found at = probe(t, key);
    return at.matched ? record_at(t, keys_of(t)[at.bucket]) + 1 : nullptr;
}

Cell* delete_ptr(Node table, u32 key) {
    refresh(table);
    Table* t = record(table);
    Found at = probe(t, key);
    if (!at.matched) return nullptr;
    bucket::set(flags_of(t), static_cast<u32>(at.bucket), bucket::deleted);
    t->size--;
    Cell* rec = record_at(t, keys_of(t)[at.bucket]);
    rec->header = 0;
    return rec + 1;
}

void resize_records(Node table, i32 requested) {
    u32 cap = next_pow2(static_cast<u64>(requested < 1 ? 1 : requested));
    if (cap < 4) cap = 4;
    i32 limit = static_cast<i32>(cap * 0.77 + 0.5);
    Table* t = record(table);
    t->stamp = 0;
    i32 per = cells_per_record(t);
    Node old_block = static_cast<Node>(t->block);
    i64 cells = static_cast<i64>(per) * (t->size > 0 ? t->size : 1);
    if (cells > 0x7FFFFFF) fire(ErrorId::internal_no_memory);
    Node f = hashtable::alloc_flags(cap);
    Node k = hashtable::alloc_keys(cap);
    Node blk = memory::alloc_cells(static_cast<i32>(cells));
    t = record(table);
    t->size = t->occupied = 0;
    t->capacity = static_cast<i32>(cap);
    t->limit = limit;
    t->flags = static_cast<i32>(f);
    t->keys = static_cast<i32>(k);
    t->block = static_cast<i32>(blk);
    i32 rsize = t->slots;
    for (i32 off = 0; off + rsize <= static_cast<i32>(memory::buffer(old_block)->tail); off += rsize) {
        auto* old = reinterpret_cast<Cell*>(memory::buffer(old_block)->data() + off);
        if (old->header != type::unset) continue;  // deleted
        Cell* values = put_record(table, old->data1);
        old = reinterpret_cast<Cell*>(memory::buffer(old_block)->data() + off);  // the put may have moved it
        std::memcpy(values, old + 1, static_cast<size_t>(per - 1) * sizeof(Cell));
    }
    record(table)->stamp = current_stamp();
}

void rehash_records(Node table) {
    Table* t = record(table);
    SeriesBuffer* f = memory::buffer(static_cast<Node>(t->flags));
    memory::fill_bytes(f->data(), f->end_ptr(), 0xAA);
    t->size = t->occupied = 0;
    u32 cap = static_cast<u32>(t->capacity), mask = cap - 1;
    u32* flags = flags_of(t);
    i32* keys = keys_of(t);
    i32 end = static_cast<i32>(memory::buffer(static_cast<Node>(t->block))->tail);
    for (i32 off = 0; off + t->slots <= end; off += t->slots) {
        Cell* rec = record_at(t, off);
        if (rec->header != type::unset) continue;
        u32 b = mix32(rec->data1) & mask;
        for (u32 k = 1; bucket::state(flags, b) != bucket::empty; b = (b + k++) & mask)
            if (k > cap) fire(ErrorId::internal_no_memory);
        keys[b] = off;
        bucket::set(flags, b, bucket::live);
        t->size++;
        t->occupied++;
    }
    t->stamp = current_stamp();
}

}  // namespace oru::hashtable

// ---------------------------------------------------------------------------
// The node remap map

namespace oru::ptrmap {

u64 max_pair_bytes = u64{1} << 31;

namespace {

struct Pair {
    u32 key;
    u32 value;
};

inline Pair* pairs_of(PtrMap* m) { return reinterpret_cast<Pair*>(m->pairs); }

u32* alloc_flags(u32 capacity) {
    size_t bytes = capacity / 4 < 4 ? 4 : capacity / 4;  // read as 32-bit words
    auto* f = static_cast<u32*>(heap::allocate(bytes));
    std::memset(f, 0xAA, bytes);
    return f;
}

struct Found {
    i32 bucket = -1;
    bool matched = false;
    bool was_empty = false;
};

Found probe(PtrMap* m, u32 key) {
    u32 cap = static_cast<u32>(m->capacity), mask = cap - 1;
    u32 b = hashtable::mix32(key) & mask;
    i32 first_deleted = -1;
    for (u32 k = 1, n = 0; n < cap; n++, b = (b + k++) & mask) {
        u32 st = hashtable::bucket::state(m->flags, b);
        if (st == hashtable::bucket::empty) {
            if (first_deleted >= 0) return {first_deleted, false, false};
            return {static_cast<i32>(b), false, true};
        }
        if (st == hashtable::bucket::deleted) {
            if (first_deleted < 0) first_deleted = static_cast<i32>(b);
            continue;
        }
        if (pairs_of(m)[b].key == key) return {static_cast<i32>(b), true, false};
    }
    return {first_deleted, false, false};
}

}  // namespace

PtrMap* create(i32 size) {
    i64 s = size < 4 ? 4 : size;
    u32 cap = hashtable::next_pow2(static_cast<u64>(static_cast<double>(s) / 0.77));
    if (u64{cap} * sizeof(Pair) > max_pair_bytes) fire(ErrorId::internal_no_memory);
    auto* m = static_cast<PtrMap*>(heap::allocate(sizeof(PtrMap)));
    *m = PtrMap{};
    m->capacity = static_cast<i32>(cap);
    m->limit = static_cast<i32>(cap * 0.77);
    m->flags = alloc_flags(cap);
    m->pairs = static_cast<u32*>(heap::allocate(cap * sizeof(Pair)));
    return m;
}

i32 resize(PtrMap* m, i32 requested) {
    u32 n = hashtable::next_pow2(static_cast<u64>(requested < 1 ? 1 : requested));
    if (n < 4) n = 4;
    i32 limit = static_cast<i32>(n * 0.77 + 0.5);
    if (m->size >= limit) return 0;
    u32* nf = alloc_flags(n);
    u32 old_cap = static_cast<u32>(m->capacity);
    if (n > old_cap) {
        if (u64{n} * sizeof(Pair) > max_pair_bytes) {
            heap::free(nf);
            return -1;
        }
        m->pairs = static_cast<u32*>(heap::reallocate(m->pairs, n * sizeof(Pair)));
    }
    hashtable::bucket::rebucket(m->flags, old_cap, nf, n, pairs_of(m),
                                [](const Pair& p) { return hashtable::mix32(p.key); });
    heap::free(m->flags);
    m->flags = nf;
    m->capacity = static_cast<i32>(n);
    m->limit = limit;
    m->occupied = m->size;
    return 0;
}

void put(PtrMap* m, u32 key, u32 value) {
    if (m->occupied >= m->limit) {
        i64 request = 2 * static_cast<i64>(m->size) < m->capacity ? m->capacity - 1 : static_cast<i64>(m->capacity) + 1;
        // A refused resize leaves the map as it was; it goes on past its
        // limit (the probe still visits every bucket) until no bucket is free.
        resize(m, request > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<i32>(request));
    }
    Found at = probe(m, key);
    // A new key and not one free bucket: refused, never written over another.
    if (at.bucket < 0) fire(ErrorId::internal_no_memory);
    Pair& p = pairs_of(m)[at.bucket];
    if (!at.matched) {
        p.key = key;
        hashtable::bucket::set(m->flags, static_cast<u32>(at.bucket), hashtable::bucket::live);
        m->size++;
        if (at.was_empty) m->occupied++;
    }
    p.value = value;
}

u32* get(PtrMap* m, u32 key) {
    Found at = probe(m, key);
    return at.matched ? &pairs_of(m)[at.bucket].value : nullptr;
}

i32 find(PtrMap* m, u32 key) {
    Found at = probe(m, key);
    return at.matched ? at.bucket : -1;
}

void delete_(PtrMap* m, u32 key) {
    Found at = probe(m, key);
    if (!at.matched) return;
    hashtable::bucket::set(m->flags, static_cast<u32>(at.bucket), hashtable::bucket::deleted);
    m->size--;
}

u32* next(PtrMap* m, u32* pair) {
    u32 b = pair ? static_cast<u32>(reinterpret_cast<Pair*>(pair) - pairs_of(m)) + 1 : 0;
    for (u32 cap = static_cast<u32>(m->capacity); b < cap; b++)
        if (hashtable::bucket::state(m->flags, b) == hashtable::bucket::live) return &pairs_of(m)[b].key;
    return nullptr;
}

i32 size_q(PtrMap* m) { return m->size; }

void clear(PtrMap* m) {
    u32 cap = static_cast<u32>(m->capacity);
    std::memset(m->flags, 0xAA, cap / 4 < 4 ? 4 : cap / 4);
    m->size = m->occupied = 0;
}

void destroy(PtrMap* m) {
    if (!m) return;
    heap::free(m->flags);
    heap::free(m->pairs);
    heap::free(m);
}

}  // namespace oru::ptrmap
