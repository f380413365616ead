// float!: the 64-bit IEEE double, its text forms, tolerant equality and the
// float arithmetic.
//
// Header type 12; the double in payload words 2-3 (low half first, moved
// with memcpy). percent! and time! register as children of float! and
// inherit its arithmetic, so every handler here takes a float!, percent! or
// time! on the left (and an integer! when integer! hands an operation over).
// Division by zero is no error: it yields IEEE infinities and NaN, which form
// as "1.#INF", "-1.#INF" and "1.#NaN". Results go into the first argument
// slot. The action table is at the bottom of float.cpp.
#pragma once

#include "runtime/cell.h"

#include <bit>

namespace oru::float_ {

// Float constants, by bit pattern.
inline const double largest = std::bit_cast<double>(u64{0x7FEFFFFFFFFFFFFF});
inline const double plus_inf = std::bit_cast<double>(u64{0x7FF0000000000000});
inline const double minus_inf = std::bit_cast<double>(u64{0xFFF0000000000000});
inline const double nan = std::bit_cast<double>(u64{0x7FF8000000000000});
// Just below one half: x + bias truncated rounds halves down.
inline const double rounding_bias = std::bit_cast<double>(u64{0x3FDFFFFFFFFFFFFF});

// Below this magnitude a value forms as zero with pretty printing on.
constexpr double zero_threshold = 2.220446049250313e-16;

// Mirrors of system/options/float: pretty? (default on) and full? (default
// off); the change handler of that object sets them. Only pretty_print_q is
// consulted, by form_float.
extern bool pretty_print_q;
extern bool full_support_q;

// The callers of form_float.
namespace kind {
constexpr int float32 = 0, float_ = 1, percent32 = 2, percent = 3, time = 4, point = 5;
}

inline double get(const Cell& c) { return cell::get_float(c); }
// Writes a float! into the first argument slot and returns it.
Cell* box(double d);
inline Cell* make_at(Cell& c, double d) {
    c = cell::float_(d);
    return &c;
}
// Appends a float! to a block.
void make_in(const Cell& block, double d);
// Pushes a float! on the data stack.
Cell* push(double d);
Cell* push64(u32 low, u32 high);

// x + 0.49999999999999994 truncated toward zero (coordinates); beyond the
// 32-bit range the result saturates at its ends, NaN gives 0.
i32 round_to_int(double x);
double abs_bits(double x);
bool NaN_q(double x);
bool NaN32_q(float x);
// +INF, -INF or NaN.
bool special_q(double x);

// Tolerant equality: NaN never equal; equal when a = b, when they differ by
// less than 2.220446049250313e-16, or when they lie at most 10 units in the
// last place apart.
bool almost_equal_q(double a, double b);
// The same for 32-bit floats (the point types).
bool almost_equal32_q(float a, float b);

// The text of x for a kind of caller, in a static buffer overwritten by the
// next call: printf-style significant digits (7 for 32-bit values and
// points, 13 for percent!, 16 for float!, 6 for time! seconds), with pretty
// printing a second, shorter try when the digits end in rounding noise
// ("01" or "99"), the exponent written as e20 / e-5, ".0" added to float
// texts without a point and "%" to percent texts.
const char* form_float(double x, int kind);

// l op r for the operator codes 0 add, 1 subtract, 2 multiply, 3 divide,
// 4 remainder (integer::op); another operator raises script/cannot-use.
double do_math_op(double l, double r, i32 op);
// The arithmetic entry of the math actions: operands at stack::arguments,
// the result in the first.
void do_math(i32 op);

// A random double between 0 and x (from the kernel's generator when
// `secure`).
double random_scaled(double x, bool secure);

// Registers float! (type 12, no parent).
void init();

}  // namespace oru::float_
