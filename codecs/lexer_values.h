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
// The builders of binary!, pair!, percent!, tuple! and the points live in
// their modules, whose headers are included below.
#pragma once

#include "runtime/cell.h"
#include "runtime/datatypes/binary.h"
#include "runtime/datatypes/date.h"
#include "runtime/datatypes/money_text.h"
#include "runtime/datatypes/pair.h"
#include "runtime/datatypes/percent.h"
#include "runtime/datatypes/point.h"
#include "runtime/datatypes/time.h"
#include "runtime/datatypes/tuple.h"

#include <vector>

namespace oru {

// --- Value builders -----------------------------------------------------------

namespace url {
// Percent decoding of UTF-8 text into code points: "%XX" gives the byte XX
// as a code point, or starts an escaped UTF-8 sequence when XX is a lead
// byte (U+FFFE when the escaped sequence is not valid UTF-8); anything else,
// an incomplete escape included, is decoded as it stands. False when the
// text itself is not valid UTF-8.
bool decode(const u8* p, const u8* e, std::vector<u32>& out);
}  // namespace url

namespace money {

constexpr u32 negative_flag = 1u << 14;  // header bit 14
constexpr i32 digits = 22, integer_digits = 17, fraction_digits = 5;

// The currency lookup (find_currency, lookup) is in money_text.h: the live
// system/locale/currencies/list when the system object holds it, else the
// start-up list.

// Fills a money! cell from a sign, a currency code (n = 0: none) and the
// integer and fraction digit texts ("'" skipped; the digits are aligned on
// the decimal point; fraction digits past the fifth are dropped). False when
// the currency is unknown, or found past max_currency_index (its index
// cannot be stored), or more than 17 integer digits remain once leading
// zeros are dropped.
bool make_at(Cell& out, bool negative, const u8* code, i32 code_n, const u8* int_digits, i32 int_n,
             const u8* frac_digits, i32 frac_n);
// The currency index and the 22 digits of a money! cell.
inline u32 currency_of(const Cell& m) { return m.data1 & 0xFF; }
i32 digit_at(const Cell& m, i32 k);  // k = 1..22

}  // namespace money

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
