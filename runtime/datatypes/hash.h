// hash!: a block with a hash index over its values.
//
// A hash value is a block cell {header, head index, block node, table node}
// whose table (hashtable kind "hash") indexes every cell of the block, equal
// values sharing a bucket, so find and select on large blocks run in
// constant time. It is a child of block! and behaves as one: the block!
// and series! handlers keep the index in step with every change they make
// (series.h, "hash! index upkeep"). This module owns only what differs:
// making, converting, copying, molding and sorting. The action table is at
// the bottom of hash.cpp.
#pragma once

#include "runtime/cell.h"

namespace oru::hash {

// Registers hash! (type 36, parent block!).
void init();

}  // namespace oru::hash
