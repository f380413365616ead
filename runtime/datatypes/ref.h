// ref!: a reference name written after an at sign (@name).
//
// A ref! value is a string! cell with type 50 holding the name without the
// "@". Mold writes the "@" before string!'s form of the name; form is the
// name alone. It has string!'s positional and editing handlers except
// append and put, and no path access. The action table is at the bottom of
// ref.cpp.
#pragma once

#include "runtime/cell.h"

namespace oru::ref {

// Pushes a copy of the value on the data stack.
Cell* push(const Cell& value);

// Registers ref! (type 50, parent string!).
void init();

}  // namespace oru::ref
