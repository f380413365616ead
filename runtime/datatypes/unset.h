// unset!: the value of nothing. Header type 2, no payload. The action table
// is at the bottom of unset.cpp.
#pragma once

#include "runtime/cell.h"

namespace oru::unset {

// The shared constant: code that needs an unset value copies this cell.
inline constexpr Cell value{type::unset, 0, 0, 0};

// Turns the result slot into unset and returns it.
Cell* box();
// Pushes an unset cell.
Cell* push();
// Appends an unset cell to a block.
void make_in(const Cell& block);

// Registers unset! (no parent).
void init();

}  // namespace oru::unset
