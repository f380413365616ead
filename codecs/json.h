// JSON text to values and values to JSON text: the scanner and the writer
// behind load-json and to-json (library/json.oru).
//
// The scanner follows the decoder grammar rule by rule in one pass without
// backtracking: the grammar is deterministic, and every rule that fails
// inside a value makes the whole text fail, so the state a failure reports
// (the line count, the position after the last complete token, the position
// after the last line feed) is the state at the point where scanning stops,
// with line feeds counted as the whitespace rules meet them. Values are held
// in held_cells until their container closes. The writer walks a value
// depth first into a private UTF-8 buffer and makes the string once at the
// end; molding and forming inside it can allocate, so it keeps nodes and
// indexes, never buffer addresses, across those calls.
#pragma once

#include "runtime/cell.h"
#include "runtime/datatypes/routine.h"

#include <vector>

namespace oru::json {

// Where the scanner gave up, in characters from the input's position.
struct Failure {
    i32 line = 1;
    i32 mark = 0;
    i32 last_lf = 0;
};

// Decodes the string from its position. On success writes the value to
// *out (a cell the collector sees) and answers true; otherwise fills *f.
// A bad surrogate escape raises script/invalid-data.
bool decode(const Cell& text, Cell* out, Failure* f);

// Decodes JSON escapes of src into out. On failure answers false, with out
// holding what was decoded before the bad sequence.
bool unescape_chars(const u32* src, i32 n, std::vector<u32>& out);

// The JSON text of the value: indent is a string! (pretty layout) or none.
// Pushes the new string and returns its stack cell.
Cell* encode(const Cell& value, const Cell& indent, bool ascii);

// Routine entries (external: argument cells last first).
// decode-json input: a block of the value, or of line, mark and last-lf.
routine::Machine decode_entry(const routine::Machine* a, i32 n);
// unescape str: escapes decoded in place; returns str.
routine::Machine unescape_entry(const routine::Machine* a, i32 n);
// encode-json data indent ascii?
routine::Machine encode_entry(const routine::Machine* a, i32 n);

}  // namespace oru::json
