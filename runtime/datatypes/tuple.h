// tuple!: 3 to 12 bytes written with dots (1.2.3, 255.0.0.128).
//
// Header type 39 with the length in bits 19-22; the bytes in payload words
// 1-3, byte 1 first (12 bytes of room); bytes beyond the length are 0. A
// tuple lives entirely in its cell. Its arithmetic works byte by byte and
// clamps every result to 0-255 (NaN to 0), so no result wraps or leaves a
// byte undefined. The action table is at the bottom of tuple.cpp.
#pragma once

#include "runtime/cell.h"

namespace oru::tuple {

constexpr u32 length_shift = 19;
constexpr u32 length_mask = 15u << length_shift;
constexpr i32 min_length = 3, max_length = 12;

// The length of a tuple! cell.
inline i32 length_of(const Cell& t) { return static_cast<i32>((t.header & length_mask) >> length_shift); }
// A tuple! cell of n bytes (clamped to 0-12): the bytes from `bytes`, the
// rest zero.
Cell make(const u8* bytes, i32 n);
// Pushes a tuple of that length with those three payload words.
Cell* push(i32 length, u32 w1, u32 w2, u32 w3);
// Pushes a tuple of the count values' low bytes (at most 12), zero-padded
// to at least 3.
Cell* make_from_ints(i32 count, const i32* values);
// True when every byte within the length is 0.
bool zero_q(const Cell& t);
// Byte order: the bytes up to the longer length, a missing byte counting as
// 0; -2 when value2 is no tuple.
i32 compare(Cell* value1, Cell* value2, i32 op);

// The tuple arithmetic on the operands at stack::arguments (op is
// integer::op's add through xor~): a tuple on the left with an integer!,
// float!, percent! or tuple!; a tuple on the right swaps for the
// commutative operations and is script/not-related for subtract and divide.
void do_math(i32 op);

// Registers tuple! (type 39, no parent).
void init();

}  // namespace oru::tuple
