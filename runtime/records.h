// Record tables and the node remap map: the pointer-keyed structures.
//
// A record table (kinds 3 and 4 of the hash tables) maps a 32-bit key, in
// practice a node, to a fixed number of value cells. Each record is one key
// cell (header unset! while the record lives, 0 once deleted; word 1 the key)
// followed by its value cells, in a block that the table makes and owns; the
// bucket entries are byte offsets of records in that block. The ownership
// table, the serialization encoder's table of series already written and the
// shift scratch table are record tables. Because node compaction moves the
// nodes used as keys, a table is stamped with the collector's cycle count and
// re-inserts its records on the first access after a collection.
//
// The node remap map (ptrmap) is a plain 32-bit key/value map in system
// memory that the collector fills with old and new nodes while it compacts
// node frames. Both hash with mix32 and share the bucket flags, triangular
// probing and the 0.77 fill limit of runtime/hashtable.h.
//
// Record addresses handed out are valid until the caller's next allocation.
#pragma once

#include "runtime/hashtable.h"

namespace oru::hashtable {

// The record of key, made when absent. Every cell of the record comes back
// as unset! (the key cell holding the key); the result is the first value
// cell.
Cell* put_ptr(Node table, u32 key);

// The first value cell of key's record, or null.
Cell* get_ptr(Node table, u32 key);

// Deletes key's record and returns its first value cell, or null when absent.
Cell* delete_ptr(Node table, u32 key);

// Rebuilds the table into a new block with max(4, next-pow2(requested))
// buckets, dropping deleted records.
void resize_records(Node table, i32 requested);

// Re-inserts every live record in block order (after node compaction).
void rehash_records(Node table);

}  // namespace oru::hashtable

namespace oru::ptrmap {

struct PtrMap {
    i32 size;
    u32* flags;     // 2 bits a bucket
    u32* pairs;     // key, value: 8 bytes a bucket
    i32 occupied;
    i32 capacity;
    i32 limit;
};

// The largest pair array, in bytes, that a resize may take; above it the
// resize is refused and the map stays as it was.
extern u64 max_pair_bytes;

PtrMap* create(i32 size);
// Stores value for key, adding the key when absent. A map at its limit that
// cannot grow goes on taking keys while a bucket is free; a new key with no
// free bucket left raises internal/no-memory and the map stays as it was.
void put(PtrMap* map, u32 key, u32 value);
// The address of key's value, or null.
u32* get(PtrMap* map, u32 key);
// The bucket holding key, or -1.
i32 find(PtrMap* map, u32 key);
void delete_(PtrMap* map, u32 key);
// The pair after `pair` in bucket order (the first with null), or null. A
// pair is two words: key, value.
u32* next(PtrMap* map, u32* pair);
i32 size_q(PtrMap* map);
void clear(PtrMap* map);
void destroy(PtrMap* map);
// Re-buckets in place into max(4, next-pow2(requested)) buckets; -1, the map
// unchanged, when the pairs cannot be reallocated.
i32 resize(PtrMap* map, i32 requested);

}  // namespace oru::ptrmap
