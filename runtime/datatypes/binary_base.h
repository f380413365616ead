// Binary-to-text encodings: bytes as text in bases 2, 16, 58 and 64, and back.
//
// Base 2 writes 8 digits a byte, most significant bit first; base 16 two
// upper-case digits a byte; base 58 the bytes as one big-endian number in the
// alphabet without 0, I, O and l, each leading zero byte written as "1"; base
// 64 the standard alphabet with "=" padding and no line breaks.
//
// The encoders write into room their caller made (encoded_room is always
// enough), never allocate and never fail. The decoders read text of 1, 2 or
// 4 bytes a character from its first character and answer a new byte buffer
// (unit 1, head 0), or nothing for text that is not valid in their base. A
// ";" starts a comment that runs to the next line feed; in bases 2 and 16
// every character up to 32 is skipped, in bases 58 and 64 backspace, tab,
// line feed, form feed, carriage return, space and the apostrophe. Nothing is
// dropped silently: any other character that is not a digit (a character
// above 127 included) makes the text invalid, and so do digits that do not
// fill a byte (an odd count in base 16, a count that is no multiple of 8 in
// base 2, one digit left over in base 64) and anything but skipped
// characters, comments or the padding's second "=" after a base-64 "=".
// Base-64 digits left without padding decode as though padded.
//
// A decoder allocates its output before it reads the text, which may move
// every series buffer: the text it is given must lie outside them. encode and
// decode below take values and look their bytes up again after allocating.
#pragma once

#include "runtime/cell.h"

namespace oru::binary {

// Each writes the text of n bytes at out and returns the address after it.
u8* encode_2(const u8* bytes, u8* out, i32 n);
u8* encode_16(const u8* bytes, u8* out, i32 n);
u8* encode_58(const u8* bytes, u8* out, i32 n);
u8* encode_64(const u8* bytes, u8* out, i32 n);

// Each reads count characters of `unit` bytes (1, 2 or 4) and returns the
// node of a new buffer holding the bytes, or 0 when the text is invalid.
Node decode_2(const u8* text, i32 count, u32 unit);
Node decode_16(const u8* text, i32 count, u32 unit);
Node decode_58(const u8* text, i32 count, u32 unit);
Node decode_64(const u8* text, i32 count, u32 unit);

// The same work without allocating: decodes count characters of `unit`
// bytes into out, which has decoded_room(base, count) bytes; answers the
// byte count, or -1 when the text is invalid. The base must be one above.
i64 decode_into(i32 base, const u8* text, i32 count, u32 unit, u8* out);
i64 decoded_room(i32 base, i64 count);

// True for the bases above.
bool base_q(i32 base);

// Bytes of room the encoder of a base needs for n bytes (with the slack the
// enbase native gives: it is never less than the text written), or -1 for
// another base.
i64 encoded_room(i64 n, i32 base);

// The text of a value in a base, as a new string! (1-byte unit, position 0)
// pushed on the data stack: the bytes of a binary! from its position, or the
// UTF-8 of an any-string from its position. script/invalid-arg with the base
// for another base, or with the value for another type; script/too-long when
// the text would not fit in a buffer.
Cell* encode(i32 base, const Cell& value);

// The bytes of an any-string's text from its position (a binary!'s bytes
// read as characters) in a base, as a new binary! pushed on the data stack,
// or none pushed when the text is invalid. script/invalid-arg with the base
// for another base, or with the value for another type.
Cell* decode(i32 base, const Cell& text);

}  // namespace oru::binary
