// Values of the later token kinds: the checks of their literal text and the
// cells they make.
//
// The lexer recognises times, dates, money, pairs, tuples, binaries and the
// string-like kinds with its automaton; the parsers here check the text of
// one token as the lexer's rules say and fill the value cell with the layout
// of its datatype. Parsers allocate nothing: they return 0, or the datatype
// of the syntax error to raise, and the lexer raises it. The value builders
// (namespaces date, time, money, ...) are the few operations of those
// datatypes that loading needs; their modules take them over when they land.
// The builders of binary!, money!, pair!, percent!, tuple! and the points
// live in their modules, whose headers are included below.
#pragma once

#include "runtime/cell.h"
#include "runtime/datatypes/binary.h"
#include "runtime/datatypes/date.h"
#include "runtime/datatypes/money.h"
#include "runtime/datatypes/pair.h"
#include "runtime/datatypes/percent.h"
#include "runtime/datatypes/point.h"
#include "runtime/datatypes/time.h"
#include "runtime/datatypes/tuple.h"

#include <vector>

namespace oru {

// --- Value builders -----------------------------------------------------------


// --- Token parsers --------------------------------------------------------------

namespace lexer {

// Each checks one token's text [s, e) and, when out is given, fills the
// value. Returns 0 or the datatype of the syntax error.
u32 parse_time(const u8* s, const u8* e, Cell* out);
u32 parse_date(const u8* s, const u8* e, Cell* out);
u32 parse_money(const u8* s, const u8* e, Cell* out);
u32 parse_pair(const u8* s, const u8* e, Cell* out);
u32 parse_tuple(const u8* s, const u8* e, Cell* out);
// A binary token from its base prefix to its "}" (e at the "}"): the bytes.
u32 parse_binary(const u8* s, const u8* e, std::vector<u8>& bytes);

// Money from text (`to money!` of a string), characters of unit bytes each:
// an optional sign, an optional three-letter currency code followed by "$"
// and at least one more character (without a code the "$" is optional), then
// digits with "'" groups and at most one ".". *error 0, or -1 (and none) when
// the text is not money.
Cell scan_money(const u8* p, u32 unit, i32 count, i32* error);

}  // namespace lexer
}  // namespace oru
