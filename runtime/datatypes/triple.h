// triple!: an internal record of three signed 32-bit integers.
//
// Header type 31; payload words 1, 2 and 3 the three integers. No action
// makes one from a spec: the runtime builds them, and their only action is
// the text form "make triple! [1 -2 3]". The action table is at the bottom
// of triple.cpp.
#pragma once

#include "runtime/cell.h"

namespace oru::triple {

inline Cell make(i32 a, i32 b, i32 c) {
    return cell::make(type::triple, static_cast<u32>(a), static_cast<u32>(b), static_cast<u32>(c));
}

// Registers triple! (type 31, no parent).
void init();

}  // namespace oru::triple
