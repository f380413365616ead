// Growable arrays of 32-bit integers, pointers and bytes on series buffers.
//
// An array is an ordinary series buffer, so the memory manager allocates it
// and the collector moves and reclaims it like any series: the array is its
// node, and every function fetches the buffer through the node, after
// anything that can grow it. Elements run from head to tail; the buffer's
// unit is the element size (4 for integers, 8 for pointers, 1 for bytes).
// Positions are 1-based in pick and poke, byte offsets from the head in find
// and remove; callers keep positions within the array.
//
// Addresses handed out (data, append_bytes) are valid only until the next
// allocation.
#pragma once

#include "runtime/cell.h"

namespace oru::array {

constexpr u32 int_unit = 4;
constexpr u32 ptr_unit = sizeof(void*);
constexpr u32 byte_unit = 1;

// An empty array with room for count elements of `unit` bytes.
Node make(i32 count, u32 unit);
// Number of elements.
i32 length_q(Node a);
void clear(Node a);
// A new array holding the same elements.
Node copy(Node a);
// Address of the first element.
u8* data(Node a);

void append_int(Node a, i32 value);
void append_ptr(Node a, void* value);
void append_byte(Node a, u8 value);
// Appends count bytes copied from src and returns the address of the copy.
// src may lie inside the array's elements; it must not lie in any other
// buffer the collector can move.
u8* append_bytes(Node a, const void* src, i32 count);

i32 pick_int(Node a, i32 position);
void* pick_ptr(Node a, i32 position);
u8 pick_byte(Node a, i32 position);
void poke_ptr(Node a, i32 position, void* value);

// Byte offset of the first element equal to value, or -1.
i32 find_int(Node a, i32 value);
i32 find_ptr(Node a, void* value);

// Inserts value before the element at 0-based index (index = length appends).
void insert_int(Node a, i32 value, i32 index);
// Removes count bytes at byte offset (clamped to the used part).
void remove_at(Node a, i32 offset, i32 count);
// Removes the first element equal to value, if any.
void remove_ptr(Node a, void* value);

}  // namespace oru::array
