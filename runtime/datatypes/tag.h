// tag!: markup text, written between angle brackets (<b>).
//
// A tag! value is a string! cell with type 44: the text without its
// brackets. Form and mold both put the brackets around string!'s form of the
// text; every other handler it has is string!'s (no random, sort or trim).
// The action table is at the bottom of tag.cpp.
#pragma once

#include "runtime/cell.h"

namespace oru::tag {

// Pushes a copy of the value on the data stack.
Cell* push(const Cell& value);

// Registers tag! (type 44, parent string!).
void init();

}  // namespace oru::tag
