// bitset!: a set of non-negative integers (mostly code points) as a bit array.
//
// A bitset value is a cell {header, 0, buffer node, 0}; the buffer has a
// unit of 1 and its head is always at the data start. Number n is bit
// 7 - (n mod 8) of byte n / 8, most significant bit first, and a set bit is
// membership itself. The buffer flag `complement` (bit 19) makes every
// number at or past 8 x the byte count a member as well: that is how a "not"
// set holds everything but its exceptions. Growing a bitset fills the new
// bytes with the flag's answer (0 or 255), so growth never changes
// membership. The flag lives on the buffer, not on the cell, so every value
// sharing the buffer agrees; copies keep it.
//
// The parse engine, string find and binary matching read the bits directly
// through test(). Any allocation may move the buffer: addresses from
// rs_head hold until the next allocation. The action table is at the bottom
// of bitset.cpp.
#pragma once

#include "runtime/cell.h"
#include "runtime/memory.h"

namespace oru::bitset {

// The buffer flag of a complemented set.
constexpr u32 complement_flag = sflag::complement;

inline SeriesBuffer* buffer_of(const Cell& bits) { return memory::buffer(cell::node(bits)); }
inline bool complement_q(const Cell& bits) { return (buffer_of(bits)->flags & complement_flag) != 0; }
// Address of the first byte of the bits.
inline u8* rs_head(const Cell& bits) { return buffer_of(bits)->head_ptr(); }
// Bytes of stored bits.
inline i32 byte_length(const Cell& bits) {
    const SeriesBuffer* s = buffer_of(bits);
    return static_cast<i32>(s->tail - s->head);
}
// 8 x the byte count.
inline i64 length_q(const Cell& bits) { return static_cast<i64>(byte_length(bits)) * 8; }

// Membership of n in a run of `bytes` bytes with the complement answer for
// numbers past them (the form the matchers use on a buffer they hold).
inline bool test(const u8* p, u64 bytes, bool complement, u32 n) {
    return n / 8 >= bytes ? complement : (p[n / 8] & (0x80u >> (n % 8))) != 0;
}
inline bool test(const Cell& bits, u32 n) {
    SeriesBuffer* s = buffer_of(bits);
    return test(s->head_ptr(), s->tail - s->head, (s->flags & complement_flag) != 0, n);
}

// A new bitset of `bytes` bytes, all 0 (or all 255 with complement, which
// also sets the flag), pushed on the data stack; returns the cell.
Cell* push_empty(i32 bytes, bool complement);

// The set operation of the set natives and the bitwise actions (string::
// set_op codes 8-12, and the math codes 5 or~, 6 and~, 7 xor~) on the two
// bitsets in the first two argument slots; the result replaces the first.
// A second operand that is not a bitset raises script/invalid-type.
void do_bitwise(i32 op);

// Registers bitset! (type 30, no parent) and installs do_bitwise in the set
// natives.
void init();

}  // namespace oru::bitset
