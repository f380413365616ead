// String values and their buffers: the character-level helpers.
//
// A string value is a series cell: word 1 the head index in characters,
// word 2 the buffer node, word 3 the node of its conversion cache (0 when
// none, see unicode.h). The buffer keeps the narrowest unit that holds its
// characters (1, 2 or 4 bytes, flag bits 0-4); writing a wider character
// rewrites the whole buffer at the wider unit. Every operation that can grow
// or widen may move the buffer, so it returns the buffer to use afterwards and
// callers re-read addresses from it, never from before the call.
//
// Positions: "absolute" indexes count characters from the buffer's first
// used unit, ignoring the value's head index; the rs- helpers and the others
// count from the head index, clamped to the tail.
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

// --- Reading and small helpers ----------------------------------------------

// Stores cp at p in a buffer of `unit` bytes per character (no widening).
inline void put_char(u8* p, u32 unit, u32 cp) {
    switch (unit) {
        case 1: *p = static_cast<u8>(cp); break;
        case 2: {
            u16 v = static_cast<u16>(cp);
            std::memcpy(p, &v, sizeof v);
            break;
        }
        default: std::memcpy(p, &cp, sizeof cp); break;
    }
}

// Characters in the whole buffer, ignoring the head index.
i32 rs_abs_length_q(const Cell& str);

// True when the head index is at or past the tail.
bool rs_tail_q(const Cell& str);

// The code point at an absolute index. An index outside the buffer's
// characters raises script/out-of-range with the index.
u32 rs_abs_at(const Cell& str, i32 index);

// Empties the buffer (tail back to the first unit), sets its unit back to 1
// and the value's head index to 0. The only way a buffer gets narrower.
void rs_reset(Cell& str);

// Offset from the head of the first character equal to cp (exact), or -1.
i32 rs_find_char(const Cell& str, u32 cp);

// True when the character at the head, head + skip, head + 2 x skip ...
// equals cp; both sides are case-folded unless case_ is set. A skip below 1
// counts as 1.
bool find_char_skip(const Cell& str, u32 cp, i32 skip, bool case_);

// True when the string, from its head, begins with the bytes of the
// NUL-terminated text (compared as code points 0-255). False when the string
// is shorter, or a character above 255 comes before the text ends.
bool starts_with_q(const Cell& str, const char* text);

// Moves the tail back to character n (from the first unit) when n characters
// fit in the buffer and end before the current tail; otherwise nothing.
void rs_truncate(SeriesBuffer* s, i32 n);

// Removes n characters at an absolute index (n cut to what lies between the
// index and the tail); the rest moves down. Nothing when the index is
// negative or at or past the tail, or n is below 1.
void remove_chars(const Cell& str, i32 index, i32 n);

// Copies the value onto the data stack and returns the stack slot.
Cell* push(const Cell& str);

// Two upper-case hex digits of a byte, NUL-terminated, in one static buffer
// that the next call overwrites.
const char* byte_to_hex(u8 b);

// Upper-case hex text of a 32-bit integer, NUL-terminated, in one static
// buffer that the next call overwrites. Digits come from the low end until
// the remaining value equals its sign (0, or -1 when negative). The long form
// pads to 8 digits with "0" ("F" for a negative value); the short form is
// only the digits produced, "00" for 0 and "FF" for -1.
const char* to_hex(i32 value, bool short_form);

// --- Writing characters -------------------------------------------------------
// Unlike append_char, these keep a 1-byte buffer for code points up to 255;
// 256-0xFFFF widen it to 2 bytes, larger ones to 4; a 2-byte buffer widens
// to 4 above 0xFFFF. Each returns the buffer to use afterwards.

// Stores cp at address p of the buffer (a character position inside its data
// area), widening first when needed; the position is kept as a character
// index, so after widening the store lands at the same character. A p
// outside the data area raises script/out-of-range.
SeriesBuffer* poke_char(SeriesBuffer* s, u8* p, u32 cp);

// Stores cp at an absolute character index, widening and growing the buffer
// as needed; an index at or past the tail moves the tail to index + 1 (the
// characters skipped over, if any, read as 0). A negative index raises
// script/out-of-range.
SeriesBuffer* overwrite_char(SeriesBuffer* s, i32 index, u32 cp);

// Inserts cp at an absolute index (clamped to [0, length]): widens as needed,
// shifts the characters from the index up by one and advances the tail.
SeriesBuffer* insert_char_at(SeriesBuffer* s, i32 index, u32 cp);

// Moves the characters of `bytes` bytes (at the source's unit, cut to its
// rest) from the source's head into the target at the target's head index,
// then removes them from the source. Within one buffer the run lands where
// the target index pointed before the move; a target inside the run itself
// leaves both unchanged.
void move_chars(const Cell& source, i32 bytes, const Cell& target);

// How concatenate writes the source into the target.
namespace mode {
constexpr i32 append = 0;     // at the tail
constexpr i32 insert = 1;     // at head + offset, the rest moved up
constexpr i32 overwrite = 2;  // at head + offset, over what is there
}  // namespace mode

// Writes the source's characters (from its head; at most `part` of them
// when 0 <= part) into the target. The target widens to a wider source; a
// narrower source is widened in place to the target's unit unless `keep` is
// set, in which case its characters are converted one by one. `how` is a
// mode:: value; `offset` (characters from the target's head, the position
// clamped to the target's characters) places insert and overwrite. A
// symbol! on either side stands for its name string from position 0. Source
// and target may share the buffer: the run written is the source as it was
// before the write. Returns the number of characters written.
i32 concatenate(const Cell& target, const Cell& source, i32 part, i32 offset, bool keep, i32 how);

// Exchanges two memory runs: A (a bytes at base) and B (b bytes at second,
// which lies `gap` bytes after A's end). Afterwards B comes first, then the
// gap's bytes unchanged, then A. The smaller run passes through a shared
// scratch buffer, grown for a large run and shrunk back afterwards. Nothing
// happens when second is not base + a + gap or a length is negative.
void swap_bytes(u8* base, i32 a, u8* second, i32 b, i32 gap);

// --- Comparison ---------------------------------------------------------------

// Three-way comparison (-1, 0, 1) of two strings from their heads under a
// compare code (0 equal? ... 12). Letter case is folded except for codes 2
// (strict-equal?) and 8 (case-sensitive sorting). Code 9 is identity: 0 only
// for the same buffer at the same index. With `prefix`, s2 only has to be a
// prefix of s1: a longer s2 gives 1, an empty one 0 (1 for code 12).
// Without it, strings of different lengths differ for the equality codes;
// for orderings the common part decides, then the lengths. A symbol! stands
// for its name.
i32 compare_strings(const Cell& s1, const Cell& s2, i32 op, bool prefix);

// True when the string at its head matches the value: a string-family value
// (string!, file!, url!, email!, ref!) as a prefix; a char! against the
// character at the head (exact for code 2, else case-folded); a tag! when
// "<" is at the head, ">" follows the tag's length, and the tag's text is a
// prefix of what lies between. Any other type: false.
bool equal_q(const Cell& str, const Cell& value, i32 op);

// --- Molded text ----------------------------------------------------------------

// Appends cp to the buffer as molded text writes it: 0x1E, 0x80-0x9F (and
// with `all` every code point above 0x7F) as "^(" + short hex + ")"; the
// controls 0-31 as a caret and a letter ("^@" ... "^_", tab "^-", line feed
// "^/", escape "^["); a double quote as ^", a caret as "^^", 127 as "^~";
// anything else unchanged. Returns the characters appended.
i32 append_escaped_char(Node buffer, u32 cp, bool all);

struct QuotesAndLines {
    i32 quotes;  // double quotes
    i32 lines;   // line feeds
};
// Counts the double quotes and line feeds among n characters from the head
// (n below 0 or past the tail: to the tail).
QuotesAndLines count_quotes_and_lines(const Cell& str, i32 n);

// Scans the absolute character range [from, to) (to cut to the tail), which
// starts at a "{", and tells whether that brace is closed: nesting counted,
// true at the first "}" that brings the depth back to 0.
bool brace_balanced_q(const Cell& str, i32 from, i32 to);

// --- Loading external text -----------------------------------------------------

namespace encoding {
constexpr i32 utf8 = 0;
constexpr i32 utf16le = -1;
}  // namespace encoding

// Decodes external text into a new string: `size` bytes of UTF-8, or `size`
// units of UTF-16LE. The string goes into `target` when given (a cell that no
// allocation can move), else into a new data-stack slot; returns that cell.
// Any other encoding raises script/invalid-arg with the encoding.
// The text must not lie in a series buffer: decoding allocates.
Cell* load_star(const u8* src, i32 size, Cell* target, i32 enc);

// load_star into a new data-stack slot.
Cell* load(const u8* src, i32 size, i32 enc);

// load_star into a new cell appended to the block; returns that cell (valid
// until the next allocation).
Cell* load_in(const u8* src, i32 size, const Cell& blk, i32 enc);

// Decodes UTF-8 into a new string pushed on the data stack. Bytes that are
// not valid UTF-8, or a sequence cut off by the end, raise
// access/invalid-utf8 with a binary! of the bytes from that sequence on.
Cell* load_utf8_checked(const u8* src, i32 size);
// The same over a binary! value's bytes from its head.
Cell* load_utf8_checked(const Cell& bin);

// --- Numbers in text -------------------------------------------------------------

// The double of len bytes of number text (see float_text::text_to_float);
// *error is set when bytes are left over after the number, else cleared.
double to_float(const u8* p, i32 len, bool* error);

// A character's membership in a bitset: bitset::test (bitset.h).

// --- The string! actions (string_actions.cpp) -------------------------------

// The maker of binary! values for make and to of binary! (every spec but a
// money! one); the binary module installs it. Until then such requests raise
// internal/not-done.
using BinaryMaker = Cell* (*)(Cell* spec, u32 t);
extern BinaryMaker binary_maker;

// The operation codes of the set natives.
namespace set_op {
constexpr i32 unique = 8, union_ = 9, intersect = 10, exclude = 11, difference = 12;
}

// The set operations on strings, for the set natives: the two series are in
// the first two argument slots (stack::arguments; the second is unused by
// unique). Records are `skip` characters long (below 1 raises
// script/invalid-refine-arg); a record is kept when its first character
// passes the operation's membership test against the other series and is not
// yet the first character of a record in the result (letter case folded
// unless case_). union and difference walk the first series, then the
// second. The new string (the first series' type, position 0) replaces the
// first argument, which is returned.
Cell* do_set_op(bool case_, i32 skip, i32 op);

// Registers string! (type 7, parent series!).
void init();

}  // namespace oru::string
