// Float text conversion: doubles to decimal text and back, correctly rounded.
//
// Output: the shortest digit string that reads back to the same double (the
// closest one to it when several are as short), or a fixed number of
// significant digits rounded to nearest with ties to even; `form_float` lays
// the digits out as the language writes numbers. Input: `text_to_float` reads
// a decimal number to the nearest double (ties to even), whatever the number
// of digits or the size of the exponent.
//
// Both directions use a table of 128-bit approximations of the powers of ten
// for the common case and fall back to exact big-integer arithmetic when the
// approximation cannot decide the rounding; so every result is exact, and
// the slow path runs only near a rounding tie. The table is computed exactly
// on first use. Results that are returned as a `const char*` live in one
// static buffer, overwritten by the next conversion (one thread runs all of
// this).
#pragma once

#include "runtime/cell.h"

namespace oru::float_text {

// Decimal-point codes of `dtoa` for values that have no digits.
constexpr int point_special = 9999;  // infinities and NaN
constexpr int point_zero = 9998;     // +0.0 and -0.0

// The largest precision (significant digits) the fixed-precision forms give;
// a larger request is served with this many digits.
constexpr int max_precision = 19;

// Room a caller-supplied text buffer needs for any result of this module.
constexpr int text_room = 40;

// The digits of a finite, non-zero |x| (the sign is ignored): writes them to
// `digits` (no leading or trailing zeros, no terminator) and returns their
// count; *point receives the position of the decimal point relative to the
// first digit (|x| = 0.d1d2... x 10^point). precision <= 0 asks for the
// shortest digits that read back to x; a positive precision for at most that
// many significant digits, correctly rounded with ties to even. `digits`
// needs max_precision bytes.
int digits_of(double x, int precision, char* digits, int* point);

// The digit generator as other modules call it: the digits of x (NUL
// terminated) in the static buffer, or a fixed text: "1.#NaN", "1.#INF",
// "-1.#INF" with *point = point_special; "0", "-0" ("0.0", "-0.0" with the
// point-zero flag) with *point = point_zero. *negative is the sign bit (false
// for NaN), *count the number of digits.
const char* dtoa(double x, int precision, int* point, bool* negative, int* count, bool point_zero_flag);

// The text of x: plain positional notation while the decimal point falls
// within 17 digits of the first digit and 6 zeros after the point, else the
// exponent form "d.ddde-8". A number with nothing after its point keeps
// "N.0" with the point-zero flag and drops the point without it. Returns the
// static buffer.
const char* form_float(double x, int precision, bool point_zero_flag);
// The same into a caller's buffer of text_room bytes; returns the length.
int form_float_into(char* out, double x, int precision, bool point_zero_flag);

// The text C's printf gives for "%.<precision>g" (precision 0 counts as 1;
// at most max_precision digits), into a buffer of text_room bytes; returns the
// length. Infinities and NaN give "inf", "-inf", "nan".
int format_g(char* out, double x, int precision);

// Reads the number in the bytes [start, end): an optional sign, digits with
// one optional decimal point ("." or ","), an optional exponent ("e" or "E",
// an optional sign, at least one digit). "1.#INF", "-1.#INF" and "1.#NaN"
// (any one digit, letters in any case) read back as the special values.
// extra_exponent is added to the decimal exponent. *remaining receives the
// count of bytes after the last byte read. The result is the nearest double
// (ties to even): an overflow gives an infinity with the text's sign, an
// underflow +0.0. Text with no significant digit gives +0.0, or -0.0 when it
// begins with "-" and has more than zeros after the sign.
double text_to_float(const char* start, const char* end, i32 extra_exponent, i32* remaining);

// The nearest double to w x 10^e.
double decimal_to_double(u64 w, i64 e);

}  // namespace oru::float_text
