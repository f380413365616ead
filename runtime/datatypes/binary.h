// binary!: the byte series, its buffer primitives and the bytes of values.
//
// A binary! value is a series cell (word 1 the head index in bytes, word 2
// the buffer node) whose buffer always has a unit of 1; it is a child of
// string! and inherits the positional and searching handlers. Anything that
// allocates may move every buffer: the rs- primitives return addresses that
// hold only until the next allocation, and the ones that copy bytes in take
// a source that must not lie in a series buffer. The base 2/16/58/64 text
// codecs are in binary_base.h. The action table is at the bottom of
// binary.cpp.
//
// For other modules (codecs, I/O, natives) the whole interface is:
//   make:  Cell* r = binary::load_in(bytes, n, nullptr);   // pushed, rooted
//          or binary::make_at(cell, capacity) + binary::rs_append(...)
//   read:  binary::rs_head(v) and binary::rs_length_q(v), fetched again
//          after anything that allocates.
#pragma once

#include "runtime/cell.h"

#include <vector>

namespace oru::binary {

// --- Buffer primitives ---------------------------------------------------------

// Bytes from the head index to the tail (0 when the head lies past it).
i32 rs_length_q(const Cell& bin);
// Address of the byte at the head index (clamped to the tail), and of the tail.
u8* rs_head(const Cell& bin);
u8* rs_tail(const Cell& bin);
// True when the head index is at or past the tail.
bool rs_tail_q(const Cell& bin);
// The byte at an offset from the buffer's first byte, ignoring the head
// index; script/out-of-range outside the bytes.
u8 rs_abs_at(const Cell& bin, i32 offset);
// Moves the tail back to the head index.
void rs_clear(const Cell& bin);
// Moves the head index by n when it stays within [0, tail]; answers whether
// it is then at the tail.
bool rs_skip(Cell& bin, i32 n);
inline bool rs_next(Cell& bin) { return rs_skip(bin, 1); }

// Each copies n bytes from src (outside every series buffer) into the
// buffer, growing it (to twice the size needed, or exactly when that is
// already the largest buffer); internal/no-memory beyond the largest buffer.
// rs_append writes at the tail; rs_insert at an offset from the head (clamped
// to the tail), the bytes from there moving up; rs_overwrite over the bytes
// at an offset from the head, the tail moving only when the write ends past it.
void rs_append(const Cell& bin, const u8* src, i32 n);
void rs_insert(const Cell& bin, i32 offset, const u8* src, i32 n);
void rs_overwrite(const Cell& bin, i32 offset, const u8* src, i32 n);

// --- Making values --------------------------------------------------------------

// Makes the cell an empty binary! with room for `capacity` bytes. The cell
// must not lie in a buffer the allocation can move.
void make_at(Cell& cell, i32 capacity);
// The same as a new cell appended to a block; returns the cell (valid until
// the next allocation).
Cell* make_in(const Cell& blk, i32 capacity);
// A new binary! (head 0) holding a copy of the n bytes at src (outside every
// series buffer). The cell is not rooted: store it before anything else
// allocates. The lexer builds its binary literals with it.
Cell load(const u8* src, i32 n);
// load, with the value appended to the block when one is given, else pushed
// on the data stack; returns the new cell.
Cell* load_in(const u8* src, i32 n, const Cell* blk);
// Pushes a copy of the cell on the data stack.
Cell* push(const Cell& bin);

// --- Bytes of values -------------------------------------------------------------

// Stores the low 8 bits of an integer! or char! at dst; any other value
// raises script/invalid-arg with it.
void to_byte(u8* dst, const Cell& value);

// Appends the UTF-8 of an any-string's characters from its head.
void append_utf8(const Cell& str, std::vector<u8>& out);

// How a value's bytes are wanted: append, insert and to binary! refuse the
// types that have no bytes (script/bad-to-arg); change writes their formed text.
enum class Use { append, change };

// Appends the bytes a value contributes: a char!'s UTF-8, an integer! in
// -128..255 as one byte (else script/invalid-arg), a binary!'s bytes, a
// tuple!'s bytes, an any-string's UTF-8, the bytes of each value of a
// block!, paren! or hash! in turn. At most `cap` bytes in all when cap >= 0.
void get_bytes(const Cell& value, Use use, i64 cap, std::vector<u8>& out);

// --- Comparing bytes ---------------------------------------------------------------

// The byte comparison of a binary (from its head) with a binary! or
// any-string (its UTF-8) under a compare code: -1, 0, 1, or -2 for another
// type. In compare mode lengths that differ answer 1 for the equality codes,
// and the common part then the length decide an ordering. In match mode only
// the right-hand bytes are compared (a shorter left-hand side answers 1); an
// empty right-hand side answers 0 for codes 0, 2 and 12, else 1.
i32 compare_bytes(const Cell& bin, const Cell& value, i32 op, bool match);
// True when the bytes at the head match a binary! or any-string (match
// mode), or the byte at the head equals a char! or integer!.
bool match_q(const Cell& bin, const Cell& value, i32 op);
// True when the byte b at the head is in the bitset (bit 128 >> (b mod 8) of
// byte b / 8); beyond the bitset's bytes the answer is its complement flag.
bool match_bitset_q(const Cell& bin, const Cell& bits);

// --- Services ------------------------------------------------------------------------

// image!'s pixels as RGB bytes for to binary!, installed by the image module;
// until then that conversion raises internal/not-done.
using ImageBytes = void (*)(const Cell& image, std::vector<u8>& out);
extern ImageBytes image_bytes;

// Registers binary! (type 41, parent string!), installs string!'s binary
// maker and the base codecs of enbase and debase (natives::set_service).
void init();

}  // namespace oru::binary
