// paren!: a block evaluated in place. Same cell and buffer as block!; it
// inherits every block! handler and molds itself between parentheses. The
// action table is at the bottom of paren.cpp.
#pragma once

#include "runtime/cell.h"

namespace oru::paren {

// Retypes the block value to paren! and pushes a copy on the data stack.
Cell* push(Cell& blk);

// Molds "(" values ")" with the new-line markers and indentation of blocks;
// with only the parentheses are left out. A paren already being written
// molds as "(...)".
i32 mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, i32 limit, i32 indent);

// Registers paren! (type 6, parent block!).
void init();

}  // namespace oru::paren
