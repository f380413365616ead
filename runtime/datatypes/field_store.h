// Writing back a value held by copy after a path changed one of its fields.
//
// time!, date! (and the other values that live in their cell alone) are
// copied onto the data stack when a path reads them, so a path write such
// as `t/hour: 5` changes only that copy. Their eval-path handlers change the
// copy and then hand it here: the value is stored where the path found it,
// the word that named it or the slot of the value that held it (an object
// field, a block position, a map key), through that holder's own store,
// which tells the holder's owner (the object's on-change*, the ownership
// check of an owned series).
#pragma once

#include "runtime/cell.h"

namespace oru::field_store {

// Stores `value` (the changed copy) where the path step before found it:
// `container` is the value that held it (none for the path's first word),
// `previous` the element that selected it, `index` the current element's
// position in the path (the one before it selected the value). A holder
// that is itself a copy (the time! read from a date!) has nowhere to store
// it: script/bad-path-set, rather than a change silently lost.
void write_back(const Cell& value, Cell* path, Cell* container, Cell* previous, i32 index);

}  // namespace oru::field_store
