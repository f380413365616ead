// The path family: path!, lit-path!, set-path! and get-path!.
//
// Blocks with another type byte: the same cell and buffer of cells, the
// block! handlers for access and editing, and their own make, to, form and
// mold. path! has parent block!; the other three have parent path! and only
// their own mold (the prefix or suffix they carry). The evaluator gives them
// their meaning; selection through a path runs each step's eval-path
// handler. The action tables are at the bottom of path.cpp.
#pragma once

#include "runtime/cell.h"

namespace oru::path {

// Retypes the block value to path! and pushes a copy on the data stack.
Cell* push(Cell& blk);
// Makes the cell an empty path! with room for capacity cells, head 0.
Cell* make_at(Cell& c, i32 capacity);

// make for the four types: a block-like spec gives a new series of the
// target type holding its values; a number an empty one with room for that
// many (at least 1); anything else raises script/bad-make-arg.
Cell* make(Cell* proto, Cell* spec, u32 t);
// to for the four types: an object!, typeset! or map! becomes the one value
// of a new series; anything else converts as to block! does.
Cell* to(Cell* proto, Cell* spec, u32 t);
// The values from the head, separated by "/"; the set, get and lit forms
// add their ":" or "'" when molded. A path being written writes "...".
i32 form(Cell* value, Cell* buffer, Cell* part, i32 limit);
i32 mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, i32 limit, i32 indent);

// Registers path! (type 25, parent block!).
void init();

}  // namespace oru::path

namespace oru::lit_path {
Cell* push(Cell& blk);
void init();  // type 26, parent path!
}  // namespace oru::lit_path

namespace oru::set_path {
Cell* push(Cell& blk);
void init();  // type 27, parent path!
}  // namespace oru::set_path

namespace oru::get_path {
Cell* push(Cell& blk);
void init();  // type 28, parent path!
}  // namespace oru::get_path
