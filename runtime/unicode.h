// Unicode text: UTF-8 and UTF-16 conversion, string units, case and width tables.
//
// A string buffer keeps code points in the narrowest unit that holds them all:
// 1 byte (every code point below 0x100), 2 bytes (below 0x10000, no
// surrogates) or 4 bytes; the unit is in the buffer's flag bits 0-4. A string
// value is a series cell: word 1 the head index in characters, word 2 the
// buffer node, word 3 the node of its conversion cache (0 when none), a byte
// buffer that the conversions to UTF-8 and UTF-16 reuse.
//
// Any allocation may move any series buffer: functions that allocate (the
// loaders, widening, the conversions into the cache) fetch buffers again
// through their nodes, and return addresses valid only until the next
// allocation. Text handed to a loader by address must not lie in a series
// buffer (the cache of load_utf16 excepted, which it re-reads by node); a
// string cell passed by reference must not lie in one either, as the
// conversions store the cache node into it after allocating.
//
// Decoders never read past the end they are given. Malformed UTF-8 raises
// access/invalid-utf8 in the strict decoder; UTF-16 from the OS is decoded
// leniently (an unpaired surrogate becomes U+FFFD).
#pragma once

#include "runtime/cell.h"
#include "runtime/memory.h"
#include "runtime/unicode_tables.h"

namespace oru::unicode {

constexpr i32 invalid = -1;              // decoder result for a bad or cut-off sequence
constexpr u32 replacement_char = 0xFFFD; // stands for an unpaired UTF-16 surrogate
constexpr u32 max_code_point = 0x10FFFF;

// The published UTF-8 decoding automaton: 256 byte classes, then the
// transitions; states are multiples of 12, 0 accepts, 12 rejects.
extern const u8 utf8_dfa[364];
constexpr u32 utf8_accept = 0;
constexpr u32 utf8_reject = 12;

// --- UTF-8 ---------------------------------------------------------------

// Decodes one sequence at p (p < end) with the automaton. Returns the address
// after it and sets *cp; *cp is -1 for an invalid sequence (the address is
// then just past the rejected byte) or one cut off by end (the address is end).
const u8* fast_decode_utf8_char(const u8* p, const u8* end, i32* cp);

// Code points between start and end, each sequence counted once by the fast decoder.
i32 utf8_length(const u8* start, const u8* end);

// The address n code points after start, never beyond end.
const u8* utf8_skip_chars(const u8* start, const u8* end, i32 n);

// Sequence length announced by a lead byte: 4 for 0xF0-0xFF, 3 for 0xE0-0xEF,
// 2 for 0xC0-0xDF, else 0.
int utf8_seq_length(u8 lead);

// UTF-8 bytes of one code point; above 0x10FFFF raises script/invalid-char.
int utf8_char_size(u32 cp);

// UTF-8 bytes of the code points stored at `unit` bytes each between start and end.
i32 utf8_encoded_size(const u8* start, const u8* end, u32 unit);

// Writes the UTF-8 form of cp (1-4 bytes) and returns the count; a code point
// above 0x10FFFF raises script/invalid-char.
int encode_utf8_char(u32 cp, u8* dst);

// As encode_utf8_char, writing only the leading bytes that fit in `room`
// (0 when there is none); returns the bytes written.
int encode_utf8_char_limit(u32 cp, u8* dst, i32 room);

// Strict decoder of the loaders. *count holds the bytes available at p (at
// least 1) and receives the bytes used. Returns the code point, or -1 when the
// sequence is cut off by the end of the input (*count is then 0). Overlong
// forms, surrogates, code points above 0x10FFFF, bad continuation bytes and
// bytes that cannot lead raise access/invalid-utf8 with the lead byte, also
// when the input ends inside such a sequence: no more input could mend it,
// and reporting it as cut off would drop the bytes silently.
i32 decode_utf8_char(const u8* p, i32* count);

// --- String buffers ------------------------------------------------------

// Rewrite a buffer in place at a wider unit (1 -> 2, 1 -> 4, 2 -> 4),
// growing it when short; the tail follows. Return the buffer, which may have
// moved: callers fetch it again through the node.
SeriesBuffer* widen_to_ucs2(SeriesBuffer* s);
SeriesBuffer* widen_to_ucs4(SeriesBuffer* s);
SeriesBuffer* widen_ucs2_to_ucs4(SeriesBuffer* s);

// Cuts the head index of a string value back to its buffer's length and
// returns the number of characters from the head to the tail.
i32 clip_head(Cell& str);

// Data address of the string's conversion cache, made or grown to at least size bytes.
u8* scratch_buffer(Cell& str, i32 size);

// Decodes size bytes of UTF-8 into the buffer of `node` (written from its
// head, kept at its unit or widened, grown when short) or into a new buffer
// when node is 0; returns the node. A leading byte-order mark is skipped.
// With crlf, CR LF becomes LF and a lone CR becomes LF. A sequence cut off by
// the end stops the decoding: *remaining (when given) receives the bytes left,
// else 0.
Node load_utf8(const u8* src, i32 size, Node node, i32* remaining, bool crlf);

// load_utf8 into the string's own buffer, without CRLF handling.
Node load_utf8_into(const u8* src, i32 size, Cell& str, i32* remaining);

// load_utf8 into a new buffer.
Node load(const u8* src, i32 size);

// The new buffer a UTF-8 load is filling, else 0: a collection during the
// load keeps it alive (a root of the collector).
Node loading_node();

// --- Conversion to UTF-8 -------------------------------------------------

// The string's text from its head as NUL-terminated UTF-8 in its conversion
// cache. *length: code points to convert (-1 or past the tail: to the tail);
// receives the byte count without the NUL.
u8* to_utf8(Cell& str, i32* length);
// The same, writing each LF as CR LF when crlf is set.
u8* to_utf8_crlf(Cell& str, i32* length, bool crlf);

// Writes the string's UTF-8 from its head into dst (at most limit code
// points, -1 = no limit) and a 0 byte when nul is set; returns the bytes
// written without the 0. dst must have room for 4 bytes a code point + 1.
i32 to_utf8_into(const Cell& str, u8* dst, i32 limit, bool nul);

// As to_utf8_into, never writing more than room bytes (the 0 included); a
// code point that does not fit is written as far as the room goes. A limit
// below 1 means none.
i32 to_utf8_into_limit(const Cell& str, u8* dst, i32 room, i32 limit, bool nul);

// --- UTF-16LE ------------------------------------------------------------

// The unit a string needs for count UTF-16LE units at src: 4 when a unit's
// high byte is 0xD8-0xDF, else 2 when a high byte is not 0, else 1.
u32 utf16_unit(const u8* src, i32 count);

// Decodes count UTF-16LE units into the string's buffer (grown when short, set
// to the needed unit) or, with str null, into a new buffer; returns the node.
// src null means the data of the string's conversion cache. An unpaired
// surrogate becomes U+FFFD. With cr every CR unit is dropped.
Node load_utf16(const u8* src, i32 count, Cell* str, bool cr);

// 2 for each LF and each code point from 0x10000 stored at `unit` bytes each
// between start and end: the extra bytes a UTF-16 conversion may need.
i32 count_utf16_extra(const u8* start, const u8* end, u32 unit);

// Widens NUL-terminated bytes to UTF-16 units, ending with a 0 unit.
void ascii_to_utf16(const char* src, u16* dst);

// Writes one unit below 0x10000 or a surrogate pair below 0x110000; returns 1,
// 2, or 0 (nothing written) for larger code points.
int encode_utf16_char(u32 cp, u16* dst);

// NUL-terminated UTF-16 of the whole string, LF written as CR LF, in the cache.
u16* to_utf16(Cell& str);

// UTF-16 of the string's first *length code points (-1: to the tail) in the
// cache, NUL-terminated; *length receives the units written. Null (and
// *length 0) when a code point is above 0x10FFFF.
u16* to_utf16_part(Cell& str, i32* length, bool crlf);

// --- Single-byte text ----------------------------------------------------

// Windows-1251 bytes (below 0x80 unchanged) into the string's buffer or a new
// one; with crlf, CR LF and a lone CR become LF. Returns the node.
Node load_cp1251(const u8* src, i32 size, Cell* str, bool crlf);

// --- Case ----------------------------------------------------------------

// Fills the upper- and lower-case tables of the BMP (start-up; may run again).
void init_case_tables();

// cp upper-cased (upper set) or lower-cased; unchanged when it has no mapping.
u32 case_fold(u32 cp, bool upper);
u32 to_upper(u32 cp);
// The upper-case mapping, or the lower-case one when the upper leaves cp unchanged.
u32 to_lower_or_upper(u32 cp);

// The core of the uppercase and lowercase natives on a string value: clips the
// head index, then maps min(count, characters to the tail) characters from
// the head in place (a negative count maps none), widening the buffer when a
// mapped code point needs a wider unit.
void change_case_chars(Cell& str, i32 count, bool upper);

// --- Display width -------------------------------------------------------

// True when cp lies in one of the inclusive ranges of a sorted flat list of
// {first, last} words; words is the list length in words.
bool in_ranges_q(u32 cp, const u32* ranges, i32 words);

// Terminal columns of a code point: 0 for NUL and combining marks, 1 for
// controls, 2 for wide characters, else 1.
int display_width(u32 cp);

// 2 in the East Asian ambiguous ranges, else display_width.
int display_width_cjk(u32 cp);

}  // namespace oru::unicode
