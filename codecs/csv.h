// CSV text to blocks and maps of strings, and values to CSV text: the
// reader and the writer behind load-csv and to-csv (library/csv.oru).
//
// The reader follows the grammar that load-csv builds for each call (a
// field is a quoted field when one matches, else a plain one; a line is
// fields joined by the delimiter, ended by a line end or the end of the
// text), over a private copy of the text, holding the fields and rows it
// makes in held_cells until the result is made. The writer forms each value
// and quotes it when it holds a space, a line feed, a carriage return, the
// quote character or a character of the delimiter.
#pragma once

#include "runtime/cell.h"
#include "runtime/datatypes/routine.h"

namespace oru::csv {

// Results that are no value: the library turns them into its errors. A
// negative result -N names line N of the text, which could not be read.
constexpr i32 not_aligned = 1;
constexpr i32 too_small = 2;

// Reads the string from its position into *out (a cell the collector
// sees): the rows as `shape` (rows, flat, records or columns) wants them.
// Returns 0, or not_aligned, too_small or -N (line N unreadable) with *out
// unchanged.
i32 decode(const Cell& data, const Cell& delim, u32 qt, const char* shape, bool header, bool trim, bool ignore_empty,
           bool strict, Cell* out);

// The text of `data` by mode (map, maps, flat, blocks, line, value), the
// block of columns (columns) or of distinct datatypes (types), or the
// integer not_aligned; pushed, and the stack cell returned. With `bytes` the
// text comes as a binary! of its UTF-8 instead of a string!.
Cell* encode(const Cell& data, const Cell& delim, u32 qt, const char* mode, i32 size, bool strict, bool bytes = false);

// decode-csv data delimiter quote-char shape header? trim? ignore-empty?
// strict?: the rows (shape rows, flat, records or columns), or the integer
// not_aligned, too_small or -N.
routine::Machine decode_entry(const routine::Machine* a, i32 n);
// encode-csv data delimiter quote-char mode size strict? bytes?: the text of
// mode map, maps, flat, blocks, line or value (its UTF-8 as a binary! when
// bytes? is true); the block of columns (mode
// columns) or of distinct datatypes (mode types); or the integer not_aligned.
routine::Machine encode_entry(const routine::Machine* a, i32 n);

}  // namespace oru::csv
