// symbol!: the interned names of words.
//
// Every name that words, refinements, issues, object fields and function
// arguments use is stored once, in the symbol block, and known by its symbol
// id: position + 1 in that block. Ids are never reused. Each symbol cell
// (type 13) holds its alias (word 1: the canonical id, or -1 when the symbol
// is canonical itself), the node of its name decoded into a string! (word 2,
// 0 until first needed) and the node of its UTF-8 name (word 3: a byte buffer
// whose tail ends the name, with a 0 byte at the tail).
//
// The canonical symbol of a name is the first one interned among the
// spellings that differ only in the case of ASCII letters; word lookups in
// contexts compare canonical ids, so they ignore case while every spelling
// keeps its own symbol for molding. The symbol hash table (kind 2,
// runtime/hashtable.h) indexes the block.
//
// Cell addresses handed out are valid only until the next allocation.
#pragma once

#include "runtime/cell.h"

#include <cstring>

namespace oru::symbol {

// The symbol block and its hash table (runtime globals; the collector marks
// both as roots).
extern Node block;
extern Node table;

// Counts init calls: a cache of ids made under an earlier table checks it.
extern u32 generation;

// Makes the symbol block with room for capacity symbols and its hash table
// (start-up passes 4000; calling it again starts an empty table).
void init(i32 capacity);

// A cheap 64-bit hash of a name for the caches in front of the symbol table
// (not the table's own hash): the first and the last eight bytes (or four,
// overlapping, when the name is shorter) and the length. Take the top bits.
inline u64 quick_hash(const u8* p, u32 len) {
    u64 a = 0, b = 0;
    if (len >= 8) {
        std::memcpy(&a, p, 8);
        std::memcpy(&b, p + len - 8, 8);
    } else if (len >= 4) {
        u32 lo, hi;
        std::memcpy(&lo, p, 4);
        std::memcpy(&hi, p + len - 4, 4);
        a = lo | u64{hi} << 32;
    } else {
        for (u32 i = 0; i < len; i++) a |= u64{p[i]} << (8 * i);
    }
    u64 h = (a * 0x9E3779B97F4A7C15ull) ^ (b * 0xC2B2AE3D27D4EB4Full) ^ (u64{len} << 56);
    h ^= h >> 29;
    return h * 0xBF58476D1CE4E5B9ull;
}

// Interns a NUL-terminated UTF-8 name: an existing spelling returns its id; a
// new ASCII case variant of an existing name gets a new id whose canonical id
// is the first-interned spelling.
i32 make(const char* utf8);
// Interns len bytes of UTF-8 (no NUL needed). The bytes may lie anywhere,
// series buffers included.
i32 make_from(const u8* utf8, i32 len);
// Any existing spelling that matches ignoring ASCII case gives the canonical
// id; a new canonical symbol is made only when none matches.
i32 make_nocase(const char* utf8);
// Interns the text of a string-family value from its head.
i32 make_from_string(const Cell& str);

// The id of an existing exact spelling, or 0 (nothing is interned).
i32 find(const char* utf8);

// The symbol cell of id.
Cell* at(i32 id);
// The symbol cell with its cached string made (word 2).
Cell* get(i32 id);
// Makes the cached string of id when it is missing; returns the cell.
Cell* cache_string(i32 id);

// The canonical id: the alias when it is > 0, else id.
i32 resolve(i32 id);
inline i32 canonical(i32 id) { return resolve(id); }
// The raw alias word (-1 for a canonical symbol).
i32 alias_of(i32 id);

// The NUL-terminated UTF-8 name (a 0 byte is written at the tail first).
const char* get_c_string(i32 id);
// The name's UTF-8 length in bytes.
i32 name_length(i32 id);

// The compare handler of symbol!: the two names compared as text, letter
// case folded except for strict equality and the case-sensitive ordering;
// same? (9) is 0 only for the same symbol, else -1; -2 when the other value
// is not a symbol.
i32 compare(Cell* a, Cell* b, i32 op);

// True when the word's symbol has the canonical id of `any-type!`.
bool any_type_word_q(const Cell& word);

// Registers symbol! (type 13, no parent); its only action is compare.
void init_datatype();

}  // namespace oru::symbol
