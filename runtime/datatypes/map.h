// map!: the dictionary, key/value pairs in a block found through a hash index.
//
// A map value is a cell {header, 0, pair block node, hash table node}. The
// pair block holds key, value, key, value ... in insertion order; the table
// (hashtable kind "map") indexes the keys. A removed pair stays in the block
// with its value cell's header set to 0 and keeps its bucket, so putting
// the key again revives it in place; every walk over the pairs skips such
// pairs, and the table's size counts the live ones. When removed pairs
// outnumber live ones as a new key comes in, the block is compacted (order
// kept) and the index rebuilt, so a map used as a cache does not grow
// without bound.
//
// Keys are normalised when they go in: any word becomes a set-word! (a, a:,
// 'a and :a are one key), a series key is copied (later changes to the
// caller's series do not touch it). Lookups ignore case unless asked for
// /case, or compare identity under /same. Any allocation may move the pair
// block: nothing here keeps a cell address across one. The action table is
// at the bottom of map.cpp.
#pragma once

#include "runtime/cell.h"

namespace oru::map {

// The 24 key types a map accepts; the lexer checks "#[...]" keys with it.
bool valid_key_q(u32 t);

// Makes the cell (not in a movable buffer; its new-line marker is kept) a
// map over `pairs`, a new block
// holding the keys and values (an even count, new-line markers already
// cleared) that becomes the map's own; a repeated key keeps its first
// place with the later value. An invalid key raises script/invalid-path.
void make_from_pairs(Cell& result, Node pairs);

// map/extend: adds or replaces the pairs of a block!, hash! or map! spec;
// case_ makes the key lookup case-sensitive. An odd block raises
// script/invalid-arg, an invalid key script/invalid-path before anything
// changes.
void extend(const Cell& map, const Cell& spec, bool case_);

// One foreach step: the map at a pair position (its head index counts cells
// of the pair block) and a block of two words. Sets the words to the key (a
// set-word key as a word!) and the value; false, setting nothing, when that
// pair was removed. A loop word that is not a word!, set-word!, lit-word! or
// get-word! raises script/invalid-arg.
bool match_keys(const Cell& map, const Cell& words);

// Registers map! (type 40, no parent) and installs the key normalisation
// in the hash tables, extend and the foreach step in the natives.
void init();

}  // namespace oru::map
