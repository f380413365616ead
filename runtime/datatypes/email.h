// email!: an e-mail address written as it is (user@host).
//
// An email! value is a string! cell with type 45. Form and mold both write
// the text as it is. Paths read and write its two parts: `user`, the text
// before the first "@" (all of it when there is none), and `host`, the text
// after it; an integer in a path is string!'s. Everything else is string!'s
// (no random, sort or trim). The action table is at the bottom of email.cpp.
#pragma once

#include "runtime/cell.h"

namespace oru::email {

// Pushes a copy of the value on the data stack.
Cell* push(const Cell& value);

// Registers email! (type 45, parent string!).
void init();

}  // namespace oru::email
