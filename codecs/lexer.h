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
    bool scan = true;    // false: prescan, structure only, up to the first outer token with a datatype
    bool load = true;    // false: scan-only, type of one token, no value
    bool wrap = false;   // always give a block, even for one value
};

// A scan's trace callback and the series it reports positions in.
//
// The callback (function! or routine!) takes five arguments: the event word
// (prescan, scan, load, open, close, error), the trace input positioned at
// the token, the token's type (a datatype!, none, or for tokens without a
// datatype a value of exit_states()), the line number, and the token: the
// loaded value for `load`, else a pair! of its 1-based start and end
// positions (characters for a string! input, bytes for a binary!). A false
// or none answer skips the token, drops the loaded value, or for `error`
// keeps the error from being raised: the scan then goes on from where the
// callback moved its input, and stops there when it did not move it. Only
// the events named by a block at the head of the callback's body are sent.
struct Trace {
    Cell callback;  // function! or routine!
    Cell input;     // string! or binary!, at the character (byte) where the scanned text starts
};

// Scans size bytes of UTF-8 at src. With the load flag the values go into a
// new block! written to *out (or, in one-value mode without wrap, the first
// value itself); *out may be nullptr when only the type is wanted. Returns
// the token type of the last token (34 error! after an error suppressed in a
// scan-only mode, 0 when nothing was found); *consumed receives the bytes
// used. Syntax errors are raised as syntax/invalid, syntax/missing,
// syntax/bad-char or syntax/malconstruct with the line number. With a trace,
// its callback sees every token.
i32 scan(Cell* out, const u8* src, i32 size, Mode mode, i32* consumed, const Trace* trace = nullptr);

// Scans run since the process began (every load of text goes through scan):
// start-up must run none, since the library comes decoded from the boot image.
extern u64 scan_count;

// Encodes the characters of a string! from its position (count characters,
// -1 for all) as UTF-8 into the shared scratch buffer, or into a private
// buffer when the room left there is smaller than the worst case, and scans
// them; *consumed is counted in characters. With a callback the string is
// the trace input.
i32 load_string(Cell* out, const Cell& text, i32 count, Mode mode, i32* consumed, const Cell* callback = nullptr);

// The names of the token kinds without a datatype, one per final state from
// 66 on (34 values: eof, error!, block!, ...); the boot program installs it
// as system/lexer/exit-states. Made by init, marked by mark.
const Cell& exit_states();

// What running scans hold, for checks that a scan left nothing behind: bytes
// of the scratch buffer in use, lexer states linked, value-buffer cells in
// use, and private text buffers made since init.
struct Usage {
    i32 scratch = 0;
    i32 states = 0;
    i32 cells = 0;
    i32 private_buffers = 0;
};
Usage usage();

// The 32-bit value of decimal text (an optional sign, digits, "'" skipped),
// characters stored unit bytes each. *error: 0, -1 for a bad character (the
// value read so far is returned), -2 on overflow (0 returned).
i32 scan_integer(const u8* p, u32 unit, i32 count, i32* error);

// The double the characters spell ("," read as "."); *error -1 and NaN when
// they are not a float.
double scan_float(const u8* p, u32 unit, i32 count, i32* error);

// Builds the tables and installs the hooks of the word and block modules.
void init();

// Calls mark_cells on the cells every running scan holds (values being
// built, trace callbacks and inputs) and on exit_states().
void mark(void (*mark_cells)(Cell* first, Cell* last));

}  // namespace oru::lexer
