// Ownership tracking: series owned by objects with an on-deep-change* handler.
//
// An object with an on-deep-change* handler owns the series, bitsets and
// images held in its fields, inside nested blocks too, and inside nested
// objects that have no handler of their own. The link from an owned buffer's
// node (an object's context node) to its owner lives in one record table of
// the ownership kind: record cells 1 the owned value, 2 the owner object!,
// 3 the owner's field word. Owned buffers carry sflag::owned, so unowned
// values cost one flag test to bind; the collector holds owned values
// strongly and owners weakly, dropping the records of dead owners.
//
// check() runs language code (the handler): every buffer may have moved
// when it returns.
#pragma once

#include "runtime/cell.h"

namespace oru::ownership {

constexpr i32 initial_size = 1000;

// Makes the ownership table and installs the series module's notification
// hooks (runtime start-up, step 16).
void init();

// The table's node slot when init ran under the current memory manager, else
// null (the collector marks and sweeps through it).
Node* live_table_slot();

// bind, then the owner's context becomes an owner.
void set(const Cell& value, const Cell& owner, const Cell& word);
// Records the value and everything reachable from it as owned by owner
// under the field word; the first owner of a buffer wins.
void bind(const Cell& value, const Cell& owner, const Cell& word);
// Removes the value and everything reachable from it from the table.
void unbind(const Cell& value);
// unbind of count cells of the block from index (from the head).
void unbind_range(const Cell& block, i32 index, i32 count);
// The owner recorded for the node, or null (valid until the next allocation).
Cell* owner_of(Node n);
// When the value is owned and its owner has a change-handler record, calls
// the owner's on-deep-change* and returns 1; else 0.
i32 check(const Cell& value, const Cell& action, const Cell* new_value, i32 index, i32 count);

}  // namespace oru::ownership
