// money!: an exact decimal amount with an optional currency ($1'234.50,
// -USD$0.05).
//
// Header type 49, bit 14 the sign; payload byte 0 the currency (0 none, else
// the 1-based position in system/locale/currencies/list, see money_text.h);
// payload bytes 1-11 hold 22 packed BCD digits, most significant first, 17
// before the decimal point and 5 after it. A value whose 22 digits are all 0
// is zero whatever its sign bit; the makers here never set the sign of a
// zero amount. The arithmetic reads the digits into one binary magnitude
// counted in hundred-thousandths (below 10^22, so 128 bits hold any product
// of two of them) and packs the result back; results are truncated toward
// zero after the fifth fraction digit, and a result of 10^17 or more raises
// script/type-limit (money!). The action table is at the bottom of money.cpp.
#pragma once

#include "runtime/cell.h"
#include "runtime/datatypes/money_text.h"

namespace oru::money {

constexpr u32 negative_flag = 1u << 14;  // header bit 14
constexpr i32 digits = 22, integer_digits = 17, fraction_digits = 5;
constexpr i32 max_fraction = 99999;  // the largest fraction a make block gives

// A magnitude in hundred-thousandths: below 10^22 in every value.
using Amount = unsigned __int128;
constexpr u64 scale = 100000;  // 10^5: one unit of the amount
constexpr Amount limit = static_cast<Amount>(100000000000ull) * 100000000000ull;  // 10^22

inline bool negative_bit(const Cell& m) { return (m.header & negative_flag) != 0; }
inline u32 currency_of(const Cell& m) { return m.data1 & 0xFF; }
// Digit k (1-22) of the amount.
i32 digit_at(const Cell& m, i32 k);
Amount amount_of(const Cell& m);

// A money! cell; the sign is dropped for a zero amount. The amount must be
// below `limit`.
Cell make(bool negative, u32 currency, Amount amount);

// Fills a money! cell from a sign, a currency code (n = 0: none) and the
// integer and fraction digit texts ("'" skipped; the digits are aligned on
// the decimal point; fraction digits past the fifth are dropped). False when
// the currency is unknown, or found past max_currency_index (its index
// cannot be stored), or more than 17 integer digits remain once leading
// zeros are dropped. The lexer's loader.
bool make_at(Cell& out, bool negative, const u8* code, i32 code_n, const u8* int_digits, i32 int_n,
             const u8* frac_digits, i32 frac_n);
// The cell as stored: sign, currency index and the 11 digit bytes.
Cell make_at_raw(bool negative, u32 currency, const u8* bytes);

// A money! of the integer's amount, no currency (-2147483648 included).
Cell from_integer(i32 n);
// A money! of the float's amount, no currency: its shortest round-trip
// digits, cut after the fifth fraction digit (0.1 is $0.10000, 0.29 is
// $0.29000, never the digits of the binary value's expansion). A non-finite
// value, a magnitude of 1e17 or more, a non-zero magnitude below 1e-05 and,
// when strict, more than five fraction digits raise script/bad-make-arg
// (money! and the float).
Cell from_float(double d, bool strict);
// The amount as the nearest double.
double to_float(const Cell& m);
// The integer part with the sign; script/type-limit (integer!) when it does
// not fit 32 bits.
i32 to_integer_part(const Cell& m);
void set_currency(Cell& m, i32 index);

bool zero_q(const Cell& m);
bool negative_q(const Cell& m);
bool positive_q(const Cell& m);
i32 sign(const Cell& m);  // -1, 0 or 1

// The arithmetic of integer::op add through remainder on the two operands at
// stack::arguments (money!, integer!, float! or percent!, at least one of
// them money!), the result in the first slot. The integer! and float!
// arithmetic hand a money! right operand to it.
void do_math(i32 op);

// Registers money! (type 49, no parent).
void init();

}  // namespace oru::money
