// none!: the empty value. Header type 3, no payload. The action table is at
// the bottom of none.cpp.
#pragma once

#include "runtime/cell.h"

namespace oru::none {

// The shared constant: code that needs a none value copies this cell.
inline constexpr Cell value{type::none, 0, 0, 0};

// Turns the result slot into none and returns it.
Cell* box();
// Pushes a none cell.
Cell* push();
// Appends a none cell to a block.
void make_in(const Cell& block);

// Registers none! (no parent).
void init();

}  // namespace oru::none
