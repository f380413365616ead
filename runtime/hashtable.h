// Hash tables: the one open-addressing index behind every keyed structure.
//
// An index never holds keys. The keys stay in an ordinary block (a hash!'s or
// map!'s own block, the symbol block, a context's word block, or a block of
// records) and each bucket holds the position of its key in that block, so
// iteration, molding and saving follow the block and the index can always be
// rebuilt from it. Capacities are powers of two with two flag bits per bucket
// (empty, deleted), probing is triangular (home, +1, +2, +3 ...), the fill
// limit is 0.77 of the capacity, and hashing is MurmurHash3 x86_32 with one
// process-wide seed.
//
// A table is the node of a byte buffer holding the eleven words of `Table`;
// the flags, keys, item slots and duplicates are buffers of their own. Any
// allocation may move any of them: nothing here keeps a buffer address across
// an allocation, and the addresses handed out (cells found, record values)
// are valid only until the caller's next allocation.
//
// Item positions: every position of a key (bucket entries, item slots, the
// first item of put_block and remove_range, the head of find) is counted in
// cells from the first cell of the block's buffer, not from a series' head
// index, so positions stay put when the block's head moves.
//
// The record tables (kinds 3 and 4) and the collector's node remap map are in
// runtime/records.h.
#pragma once

#include "runtime/cell.h"
#include "runtime/fire.h"
#include "runtime/memory.h"

namespace oru::hashtable {

namespace kind {
constexpr i32 hash = 0;       // hash! values and the temporary indexes of block set operations
constexpr i32 map = 1;        // map!: key, value pairs, keys at every second cell
constexpr i32 symbols = 2;    // the symbol table and context word lists
constexpr i32 pointer = 3;    // pointer-keyed record tables
constexpr i32 ownership = 4;  // the ownership table: records whose owner died are swept
}  // namespace kind

// Compare operation codes the lookups pass to the datatypes' compare
// handlers (the action dispatcher spells out the others).
namespace op {
constexpr i32 equal = 0, not_equal = 1, strict_equal = 2;
}

// The length-limited string: a string cell whose word 3, when not negative,
// caps the characters that hash and compare.
constexpr u32 limited_string = 56;

// hash!: inserting or removing more items than this in one go rebuilds the
// index instead of shifting its entries.
constexpr i32 shift_limit = 30000;

// The table record: eleven signed words, in this order.
struct Table {
    i32 size;        // live keys (kind 0: live buckets; kind 1: pairs not removed; 3, 4: live records)
    i32 slots;       // kind 0: item-slot buffer; kinds 3, 4: record size in bytes
    i32 duplicates;  // kind 0: array of group arrays
    i32 flags;       // 2 bits a bucket: capacity / 4 bytes
    i32 keys;        // one entry a bucket: capacity * 4 bytes
    i32 block;       // the block holding the keys
    i32 occupied;    // live plus deleted buckets
    i32 capacity;    // buckets: a power of two, at least 4
    i32 limit;       // occupied may not reach it without the table growing first
    i32 kind;
    i32 stamp;       // 0, or the collector's cycle count + 1 when the index was (re)built
};
static_assert(sizeof(Table) == 44, "eleven 32-bit words");

inline Table* record(Node table) { return reinterpret_cast<Table*>(memory::buffer(table)->data()); }

// Bucket flags: bucket i has bits 2 (i mod 16) and 2 (i mod 16) + 1 of flag
// word i / 16; 2 is empty, 1 deleted, 0 live. New flag buffers hold 0xAA
// bytes: every bucket empty.
namespace bucket {
constexpr u32 live = 0, deleted = 1, empty = 2;
inline u32 state(const u32* flags, u32 i) { return (flags[i >> 4] >> ((i & 15) * 2)) & 3; }
inline void set(u32* flags, u32 i, u32 st) {
    u32 shift = (i & 15) * 2;
    flags[i >> 4] = (flags[i >> 4] & ~(3u << shift)) | (st << shift);
}

// Re-buckets the live entries of the old flags into the new flags, in place
// in `entries` (which holds max(old, new) entries): resize-in-place of the
// maps and of the node remap map. Each old live bucket is marked deleted
// once its entry is handled; an entry landing on an old bucket not yet
// handled takes that bucket's entry out and re-inserts it next, so no
// second entry buffer is needed.
template <class Entry, class Home>
void rebucket(u32* old_flags, u32 old_cap, u32* new_flags, u32 new_cap, Entry* entries, Home home) {
    u32 mask = new_cap - 1;
    for (u32 j = 0; j < old_cap; j++) {
        if (bucket::state(old_flags, j) != bucket::live) continue;
        bucket::set(old_flags, j, bucket::deleted);
        Entry e = entries[j];
        for (;;) {
            u32 p = home(e) & mask;
            u32 k = 1;
            while (bucket::state(new_flags, p) != bucket::empty) {
                if (k > new_cap) fire(ErrorId::internal_no_memory);  // more entries than buckets: a broken invariant
                p = (p + k++) & mask;
            }
            bucket::set(new_flags, p, bucket::live);
            if (p < old_cap && bucket::state(old_flags, p) == bucket::live) {
                Entry taken = entries[p];
                entries[p] = e;
                bucket::set(old_flags, p, bucket::deleted);
                e = taken;
            } else {
                entries[p] = e;
                break;
            }
        }
    }
}

}  // namespace bucket

// --- Hashing ---------------------------------------------------------------

// The process seed: set once at start-up from the random generator, before
// any table exists (tables made under another seed would no longer find
// their keys).
void set_seed(u32 seed);
u32 seed();

// MurmurHash3 x86_32 of len bytes with the process seed.
u32 murmur3_hash(const void* data, i32 len);

// The MurmurHash3 finaliser, used alone for integer-like keys.
inline u32 mix32(u32 x) {
    x ^= x >> 16;
    x *= 0x85EBCA6Bu;
    x ^= x >> 13;
    x *= 0xC2B2AE35u;
    x ^= x >> 16;
    return x;
}

// MurmurHash3 of a name with the ASCII letters A-Z lowered: the symbol-name hash.
u32 name_hash(const u8* name, i32 len);

// The hash of a key cell by its type; strings fold case unless case_ is set
// (every table operation passes false: equal strings of different case share
// a bucket and the equality test decides).
u32 hash_value(const Cell& key, bool case_);

// True for the types whose hash rests on a node or an entry point: an index
// holding them is rebuilt after a collection that moved nodes.
bool address_key_q(u32 type);

// Buffers of a table of `capacity` buckets: the 2-bit flags (all empty) and
// the keys (all 0). The record tables share them.
Node alloc_flags(u32 capacity);
Node alloc_keys(u32 capacity);

// The map! module's preprocessing of a key that put_block has just indexed
// (word keys become set-word!, strings are copied, ...): the key is the cell
// at `index` (counted from the buffer's data start) of the block. The hook
// may allocate, so it is given the block's node rather than an address.
// The default only retypes the word family, on which every map! lookup
// relies.
using KeyHook = void (*)(Node block, i32 index);
void set_map_key_hook(KeyHook hook);

// Key equality of the lookups: the datatype's compare handler with the given
// operation code when the type registered one, else the built-in rules for
// the types whose layout this module knows (integer!, char!, float!,
// percent!, the word family, symbol!, the string family). The types must
// already match. Later datatypes extend it by registering their compare
// handler.
bool equal_q(const Cell& a, const Cell& b, i32 op);

// The smallest power of two >= n (n >= 1; 1 for n = 0). Raises
// internal/no-memory above 2^30.
u32 next_pow2(u64 n);

// --- Tables ----------------------------------------------------------------

// Makes a table for about `size` keys over `block` (a block cell, or null
// for a new block of `size` cells) of the given kind; `values` is the count
// of value cells of a record (kinds 3, 4). A symbols-kind table made with
// values = 2 and a context! cell as block copies that context's word list.
// While a hash! or map! index is built over a given block, a value naming
// the table is held on the data stack (once the stacks exist).
Node init(i32 size, const Cell* block, i32 kind, i32 values);

// Indexes the key cell (a cell of the table's block).
void put(Node table, Cell* key);

// As put; *flag becomes 2 when the put rebuilt the whole index instead (the
// key is indexed too). Returns the key cell, fetched again.
Cell* put_key(Node table, Cell* key, i32* flag);

// Puts the cells at first, first + step, ... up to the block's tail. A map!
// folds a repeated key into the earlier pair (the later value wins) and drops
// the repeated pair from the block.
void put_block(Node table, i32 first, i32 step);

// The block cell matching key under `op`, or null. Kind 0: the matching item
// j >= head closest to head (with `last`: the farthest), whose offset from
// head is a multiple of skip; with `reverse` the closest item before head.
// Kind 1: a word-family key is looked up as a set-word!.
Cell* find(Node table, const Cell* key, i32 head, i32 skip, i32 op, bool last, bool reverse);

// Walks the live buckets of key's probe sequence: *bucket is -1 to start,
// *home receives the home bucket + 1, *step carries the probe step. Returns
// the next block cell of key's type equal to it under op 0, or null at the
// end of the sequence. A kind 0 group answers with its first item.
Cell* find_next(Node table, const Cell* key, i32* bucket, i32* home, i32* step);

// Removes the key cell from the index. A map! pair is only marked removed (its
// value's header becomes 0) and keeps its bucket.
void delete_(Node table, Cell* key);

// Kind 0: removes count items from first on.
void remove_range(Node table, i32 first, i32 count);

// Kind 0: moves the bucket entries of count items from first by delta. With
// drop, the |delta| items before first are removed from the index first
// (delta < 0), and the item slots follow their items. Returns 1, doing
// nothing, when count exceeds shift_limit (the caller rebuilds with resize).
i32 shift(Node table, i32 delta, i32 first, i32 count, bool drop);

// Kind 0: keeps the index in step when the run of count items at first moves
// to target inside the block. Call it after the cells have moved.
void move(Node table, i32 target, i32 first, i32 count);

// Kind 0: rebuilds the index from the block for about size items.
void resize(Node table, i32 size);

// Kinds 1, 2: re-buckets the keys into max(4, next-pow2(requested)) buckets
// in place (the keys buffer only grows).
void resize_in_place(Node table, i32 requested);

// Rebuilds a kind 0 index (resize) or a record table (resize_records) for
// about size keys with node compaction held off (maps and word lists
// re-bucket in place).
void grow(Node table, i32 size);

// Rebuilds an index whose keys rest on nodes when a collection ran since it
// was built.
void refresh(Node table);

// The symbol table: the id of the symbol named by len UTF-8 bytes, interned
// when needed. With case_ any spelling that differs only in ASCII case
// matches (the earliest one is returned); without it a new case variant gets
// its own symbol whose alias is the earliest spelling's id.
i32 put_symbol(Node table, const u8* name, i32 len, bool case_);

// The symbol table: the id of the symbol spelled exactly so, or 0.
i32 find_symbol(Node table, const u8* name, i32 len);

// A context word list: the slot of symbol sym (with case_ any symbol of the
// same canonical id matches), or -1. With a context node, an absent symbol is
// added (a word! cell bound to context with the new slot), *slot receives
// the slot and the result is -1; a found one is stored in *slot too.
i32 find_word(Node table, i32 sym, bool case_, Node context, i32* slot);

// A new table with copies of the record, flags, keys, item slots, duplicates
// and groups, over the given block.
Node copy(Node table, Node block);

// Empties the index (keys buffer and block kept; a record table's records
// are dropped).
void reset(Node table);

// Nothing: the collector reclaims the buffers.
void destroy(Node table);

// --- Contexts ----------------------------------------------------------------

// The word list of a context (the node of its two-cell buffer): cell i of
// the block, the block's node, the flags' node.
Cell* block_cell(Node context, i32 i);
Node get_block(Node context);
Node flags(Node context);

// --- Collector support -----------------------------------------------------------

struct MarkHooks {
    // Marks the buffer of *slot (first replacing a node that moved); true
    // when it was not marked yet.
    bool (*node)(Node* slot);
    // Marks the values of a cell range by their types.
    void (*cells)(Cell* first, Cell* end);
};

// Marks the table and its block; kind 0 also its groups; record tables also
// every live record's key node (with its cells when it holds cells). The
// ownership table holds its owners weakly: only the key and the owned value
// of a record are marked, so that sweep can drop the records of dead owners.
void mark(Node* table, const MarkHooks& hooks);

// After marking, on a record table: deletes every live record whose key node
// is unmarked or (ownership) whose owner's node is unmarked, zeroing the first
// two words of its key cell.
void sweep(Node table);

// The shift scratch table (kind 3), 0 until the first shift that needs it;
// the collector keeps it alive.
Node scratch_table();

// Forgets module state made under an earlier memory manager (the shift
// scratch table). Start-up calls it through symbol::init.
void init_module();

// Prints the live and deleted buckets of a table (a debugging aid).
void dump(Node table);

}  // namespace oru::hashtable
