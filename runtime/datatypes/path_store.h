// Storing back a value changed through a path field.
//
// pair!, tuple!, the points, time! and date! live entirely in their cell, so
// a path step works on a copy: `p/x: 5` changes the pair on the data stack,
// not the one the word `p` holds. After the field write the changed value is stored
// back where the path found it: into the container the step came from
// (object field, block slot, map key) through that container's own eval-path
// handler, or into the head word's slot. Those stores run the usual
// notifications: an object field's on-change* handler (old and new value),
// the ownership check of a block owned by an object, on-change* of an object
// whose context binds the head word.
#pragma once

#include "runtime/cell.h"

namespace oru::path_store {

// Stores `changed` where the last path step found it: `container` is the
// value that held it (none or null at the path's head), `previous` the
// element that selected it (the head word at the path's head), `path` the
// path or null and `index` the position of the element being written. A
// container that is a reference (object, block-like series, map) takes the
// store through its eval-path handler; at the path's head (no container, or
// the function whose local word it is) the word in `previous` is set; a
// container that is itself a copy (the time! read from a date!) raises
// script/bad-path-set, as the change would be lost. Every argument must lie
// on the data stack or in a local: the stores run language code.
void store_back(const Cell& changed, Cell* container, Cell* previous, Cell* path, i32 index);

}  // namespace oru::path_store
