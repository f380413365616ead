// char!: one Unicode code point.
//
// Header type 10; the code point in payload word 2 as a signed 32-bit
// integer (where an integer! keeps its value), valid from 0 to 0x10FFFF.
// char! registers as a child of integer! and inherits random, absolute,
// even? and odd?; it has its own make/to, form, mold, compare and the eight
// arithmetic and bitwise actions, whose results must stay code points. The
// action table is at the bottom of char.cpp.
#pragma once

#include "runtime/cell.h"

namespace oru::char_ {

constexpr i32 max_code_point = 0x10FFFF;

inline Cell make_cell(i32 cp) { return Cell{type::char_, 0, static_cast<u32>(cp), 0}; }
inline i32 get(const Cell& c) { return static_cast<i32>(c.data2); }

// Pushes a char! on the data stack.
Cell* push(i32 cp);
// Appends a char! to a block.
void make_in(const Cell& block, i32 cp);

// The arithmetic entry of the math actions (integer::op codes): the right
// operand is a char!, integer! or float! (truncated); the result must be a
// code point, else math/overflow.
void do_math(i32 op);

// Registers char! (type 10, parent integer!).
void init();

}  // namespace oru::char_
