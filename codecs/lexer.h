// The lexer: UTF-8 source text to values.
//
// A table-driven automaton maps each byte to one of 40 character classes and
// walks a 65-state transition table; a state above 65 names the token just
// recognised and selects its handler (lexer.cpp). Values are built in one
// value buffer shared by nested scans, open containers being marker cells
// there, and copied once into their block when the container closes. The
// value buffer lives outside the series frames; its cells hold nodes, so the
// collector reaches them through `mark`.
#pragma once

#include "runtime/cell.h"

namespace oru::lexer {

// Mode flags of a scan.
struct Mode {
    bool one = false;    // stop after the first complete value (or token)
    bool scan = true;    // false: prescan, structure only
    bool load = true;    // false: scan-only, type of one token, no value
    bool wrap = false;   // always give a block, even for one value
};

// Scans size bytes of UTF-8 at src. With the load flag the values go into a
// new block! written to *out (or, in one-value mode without wrap, the first
// value itself); *out may be nullptr when only the type is wanted. Returns
// the token type of the last token (34 error! after an error suppressed in a
// scan-only mode, 0 when nothing was found); *consumed receives the bytes
// used. Syntax errors are raised as syntax/invalid, syntax/missing,
// syntax/bad-char or syntax/malconstruct with the line number.
i32 scan(Cell* out, const u8* src, i32 size, Mode mode, i32* consumed);

// Encodes the characters of a string! from its head (count characters, -1
// for all) as UTF-8 and scans them; *consumed is counted in characters.
i32 load_string(Cell* out, const Cell& text, i32 count, Mode mode, i32* consumed);

// The 32-bit value of decimal text (an optional sign, digits, "'" skipped),
// characters stored unit bytes each. *error: 0, -1 for a bad character (the
// value read so far is returned), -2 on overflow (0 returned).
i32 scan_integer(const u8* p, u32 unit, i32 count, i32* error);

// The double the characters spell ("," read as "."); *error -1 and NaN when
// they are not a float.
double scan_float(const u8* p, u32 unit, i32 count, i32* error);

// Builds the tables and installs the hooks of the word and block modules.
void init();

// Calls mark_cells on the cells every running scan holds.
void mark(void (*mark_cells)(Cell* first, Cell* last));

}  // namespace oru::lexer
