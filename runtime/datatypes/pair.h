// pair!: two signed 32-bit integers written x, "x", y (10x20).
//
// Header type 37; payload word 2 the x coordinate, word 3 y. The
// arithmetic stays in integers and never wraps: a float! or percent! factor
// or divisor, a point2D! operand, or a coordinate that would leave 32 bits
// makes the result a point2D! instead. Every float-to-coordinate conversion
// is range-checked first. The action table is at the bottom of pair.cpp.
#pragma once

#include "runtime/cell.h"

namespace oru::pair {

inline Cell make(i32 x, i32 y) { return cell::make(type::pair, 0, static_cast<u32>(x), static_cast<u32>(y)); }
inline Cell* make_at(Cell& c, i32 x, i32 y) {
    c = make(x, y);
    return &c;
}
// Appends a pair! to a block.
void make_in(const Cell& block, i32 x, i32 y);
// Pushes a pair! on the data stack.
Cell* push(i32 x, i32 y);

inline i32 x_of(const Cell& p) { return static_cast<i32>(p.data2); }
inline i32 y_of(const Cell& p) { return static_cast<i32>(p.data3); }

// The pair arithmetic: the pair at stack::arguments op the operand after it
// (integer!, float!, percent!, pair! or point2D!), the result in the first
// slot; op is integer::op's add through xor~. The integer! and float!
// arithmetic hand a pair operand to it.
void do_math(i32 op);
// (-x, -y) in place; a coordinate of -2147483648 raises math/overflow.
void negate(Cell* value);

// Registers pair! (type 37, no parent).
void init();

}  // namespace oru::pair
