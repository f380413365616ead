// String values and their buffers: the character-level helpers.
//
// A string value is a series cell: word 1 the head index in characters,
// word 2 the buffer node, word 3 the node of its conversion cache (0 when
// none, see unicode.h). The buffer keeps the narrowest unit that holds its
// characters (1, 2 or 4 bytes, flag bits 0-4); writing a wider character
// rewrites the whole buffer at the wider unit. Every operation that can grow
// or widen may move the buffer, so it returns the buffer to use afterwards and
// callers re-read addresses from it, never from before the call.
#pragma once

#include "runtime/cell.h"
#include "runtime/memory.h"

namespace oru::string {

// The code point stored at p in a buffer of `unit` bytes per character.
inline u32 get_char(const u8* p, u32 unit) {
    switch (unit) {
        case 1: return *p;
        case 2: {
            u16 v;
            std::memcpy(&v, p, sizeof v);
            return v;
        }
        default: {
            u32 v;
            std::memcpy(&v, p, sizeof v);
            return v;
        }
    }
}

// Makes the cell an empty string with a fresh 1-byte buffer of n characters
// (1 when n is 0). The cell must not lie in a buffer the allocation can move.
void make_at(Cell& str, i32 n);

// The same with a given unit; n = 0 gives 16 bytes' worth of characters.
void make_at_unit(Cell& str, i32 n, u32 unit);

// Characters from the head index to the tail (0 when the head lies past it).
i32 rs_length_q(const Cell& str);

// Address of the character at the head index; a head index past the tail is
// first set back to the buffer's length. Valid until the next allocation.
u8* rs_head(Cell& str);

// Stores cp at the tail and advances the tail by one unit, growing the
// buffer as needed. A 1-byte buffer keeps code points up to 127 and widens for
// any larger one (to 2 bytes up to 0xFFFF, else to 4); a 2-byte buffer widens
// to 4 above 0xFFFF. Returns the buffer to use afterwards.
SeriesBuffer* append_char(SeriesBuffer* s, u32 cp);
SeriesBuffer* append_char(Node n, u32 cp);

// Appends each byte of a NUL-terminated text as one code point; returns the
// number of characters appended.
i32 concatenate_literal(const Cell& str, const char* text);

// Appends n bytes, each as one code point. The bytes must not lie in a
// series buffer: appending can move it.
void concatenate_bytes(const Cell& str, const u8* bytes, i32 n);

}  // namespace oru::string
