// typeset!: a set of datatypes, 96 type bits in the three payload words.
//
// Type t is the bit 0x80 >> (t % 8) of byte t / 8, the bytes counted in
// memory order from the first byte of payload word 1. Type 0 and numbers above
// the registered types have bits too: datatypes never set them, complement
// and the default typeset do. Every argument check of the interpreter and of
// compiled code tests membership this way. The action table is at the bottom
// of typeset.cpp.
#pragma once

#include "runtime/cell.h"

#include <cstddef>
#include <span>
#include <string_view>

namespace oru::typeset {

constexpr u32 bits = 96;

// Byte t / 8 of the payload (t < 96), in memory order.
inline u8 payload_byte(const Cell& ts, u32 t) {
    const u8* p = reinterpret_cast<const u8*>(&ts) + offsetof(Cell, data1);
    return p[t >> 3];
}

// True when type t is a member; numbers from 96 on are never members.
inline bool member_q(const Cell& ts, u32 t) { return t < bits && (payload_byte(ts, t) & (0x80u >> (t & 7))) != 0; }

// Adds type t (t < 96; larger numbers are ignored).
inline void set_bit(Cell& ts, u32 t) {
    if (t >= bits) return;
    u8* p = reinterpret_cast<u8*>(&ts) + offsetof(Cell, data1);
    p[t >> 3] |= static_cast<u8>(0x80u >> (t & 7));
}

// Removes type t (t < 96; larger numbers are ignored).
inline void clear_bit(Cell& ts, u32 t) {
    if (t >= bits) return;
    u8* p = reinterpret_cast<u8*>(&ts) + offsetof(Cell, data1);
    p[t >> 3] &= static_cast<u8>(~(0x80u >> (t & 7)));
}

// An empty typeset value.
inline Cell make() { return cell::make(type::typeset); }

// All 96 bits to 0.
inline void clear(Cell& ts) { ts.data1 = ts.data2 = ts.data3 = 0; }

// Member types among 1 to the highest registered type.
i32 count(const Cell& ts);

// Appends a typeset with the given payload words to the block.
void make_in(const Cell& block, u32 w1, u32 w2, u32 w3);

// Appends the default typeset of an argument without a type block: every bit
// set except the bit of unset!.
void make_default(const Cell& block);

// The typeset of a type block of a function spec: a word! is replaced by
// its value (read through its context, the global one when unbound), then a
// datatype! adds its bit, a typeset! its members, a word! value adds
// object!, a block! is skipped. False for any other element, or a word
// without a value, which then goes to *bad (when given); nothing allocates.
bool build(const Cell& spec, Cell& out, Cell* bad);

// Appends the typeset of build; an element it refuses raises
// script/invalid-type-spec with that element.
void make_with(const Cell& block, const Cell& spec);

// Adds a value to the typeset: a word! by its value (script/no-value when it
// has none), a typeset! by its members, a datatype! by its bit; anything else
// raises script/invalid-arg.
void set_type(Cell& ts, const Cell& value);

// Makes `result` a new block holding the word of every member type in
// type-number order. `result` must not lie in a buffer the allocation can move.
void to_block(const Cell& ts, Cell& result);

// The set operation of the set natives and the bitwise actions, on the typeset
// in the result slot and the value after it: 8 unique (the first value),
// 5 or~ and 9 union, 6 and~ and 10 intersect, 7 xor~ and 12 difference,
// 11 exclude. The second value must be a typeset! or a datatype!.
void set_op(i32 op);

// The named typesets (any-type!, series!, number! ...) as type bits by
// number. Their words are defined by the library source; this list stays
// because the shapes of the native and action routines name typesets and
// are read before any library word exists (by the image decoder, which
// checks every native spec against its shape while it decodes, and by the
// image generator). The generator checks that the library's typesets are
// these, in this order and with these members.
struct Named {
    const char* name;
    Cell value;
};
std::span<const Named> predefined();
// The typeset of a name with its "!", false for no such name.
bool named(std::string_view name, Cell& out);

// Registers typeset! (no parent).
void init();

}  // namespace oru::typeset
