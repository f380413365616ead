// vector!: packed series of numbers of one element type and one width.
//
// A vector value is a series cell: word 1 the head index in elements, word 2
// the buffer node, word 3 the element type (integer!, char!, float! or
// percent!). The buffer's unit is the element width in bytes: integer! and
// char! 1, 2 or 4 (two's complement, little-endian), float! 4 or 8 (IEEE
// single or double), percent! 8 (the fraction, 50% being 0.5). Narrow
// integer! elements read back sign-extended; char! elements read back as the
// unsigned code point they store. vector! is a child of string!, whose
// positional and searching handlers reach the elements through the
// series::vector_service installed here.
//
// Every allocation may move the buffer: handlers keep the node and element
// indexes and fetch addresses again after a call that can allocate. Values
// to be written are checked against the element type before the first
// element changes, so an error leaves the vector as it was. The action table
// is at the bottom of vector.cpp.
#pragma once

#include "runtime/cell.h"

namespace oru::vector {

// The element type of a vector value.
inline u32 element_type(const Cell& vec) { return vec.data3; }

// The default width in bytes of an element type: 4 for integer! and char!,
// 8 for float! and percent!.
inline u32 default_width(u32 element) { return element == type::integer || element == type::char_ ? 4 : 8; }

// Makes the cell an empty vector with room for `count` elements (1 when
// count is below 1) of the element type and width (bytes). A room past the
// largest buffer raises internal/no-memory. The cell must not lie in a
// buffer the allocation can move.
void make_at(Cell& cell, i64 count, u32 element, u32 width);

// The element at an absolute index (from the buffer's first element) as an
// integer!, char!, float! or percent! value. No bounds check.
Cell get_value(const Cell& vec, i32 abs_index);

// Stores a value of the vector's element type at an absolute index: the low
// bits of an integer! or char!, a float! or percent! as a double (width 8) or
// a single (width 4). Any other type raises script/invalid-type with its
// datatype; a float! into an integer! vector is the caller's check.
void set_value(const Cell& vec, i32 abs_index, const Cell& value);

// Makes `result` (a cell no allocation can move) a new block! of the element
// values from the vector's head.
void to_block(const Cell& vec, Cell& result);

// For the system dialect: elements from the head, emptying from the head,
// and appending a 32-bit element.
i32 rs_length(const Cell& vec);
void rs_clear(const Cell& vec);
void rs_append_int(const Cell& vec, i32 n);

// Element-wise arithmetic with a scalar (integer!, char!, float! or
// percent!; another type raises internal/not-done), in place from the
// vector's head. `op` is an integer::op code. With scalar_left the scalar is
// the left operand of each element's operation (scalar - element); adding or
// subtracting 0 and multiplying or dividing by 1 on the right leave the
// elements unvisited. A float scalar for an integer! or char! vector is
// truncated; NaN or a value outside 32 bits is math/overflow.
void do_math_scalar(i32 op, const Cell& vec, const Cell& scalar, bool scalar_left = false);

// Registers vector! (type 35, parent string!) and installs the element
// service of the series handlers.
void init();

}  // namespace oru::vector
