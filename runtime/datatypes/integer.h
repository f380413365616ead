// integer!: the signed 32-bit integer, its helpers and its arithmetic core.
//
// Header type 11, payload word 2 the value (two's complement); the other
// payload words carry nothing. Arithmetic never wraps: add, subtract and
// multiply that overflow 32 bits, and a division that leaves a remainder,
// give a float! in the result cell; only division (and remainder) by zero
// and -2147483648 / -1 raise math errors. Results go into the first argument
// slot, which is the result slot. char! (type 10) registers as a child of
// integer! and inherits the handlers it does not replace. The action table is
// at the bottom of integer.cpp.
#pragma once

#include "runtime/cell.h"

namespace oru::integer {

// Operator codes of the arithmetic core. ORDER MATH OPS: do_math maps them
// onto action slots in this order.
namespace op {
constexpr i32 add = 0, subtract = 1, multiply = 2, divide = 3, remainder = 4, or_ = 5, and_ = 6, xor_ = 7;
}

// The one core of the integer operators, shared by integer!'s handlers, the
// math and comparison actions' fast paths and the evaluator's operators
// computed in place, so that every road gives the same value.
//
// l op r for add, subtract, multiply, or~, and~ and xor~ into *out; false
// when add, subtract or multiply leave 32 bits (the result is then the
// float! of overflow_value) and for divide and remainder (do_math_op's).
[[gnu::always_inline]] inline bool math(i32 code, i32 l, i32 r, i32* out) {
    switch (code) {
        case op::add: return !__builtin_add_overflow(l, r, out);
        case op::subtract: return !__builtin_sub_overflow(l, r, out);
        case op::multiply: return !__builtin_mul_overflow(l, r, out);
        case op::or_: *out = l | r; return true;
        case op::and_: *out = l & r; return true;
        case op::xor_: *out = l ^ r; return true;
        default: return false;
    }
}
// The value an overflowing add, subtract or multiply gives, in double
// precision from the two integers.
inline double overflow_value(i32 code, i32 l, i32 r) {
    const double a = l, b = r;
    return code == op::add ? a + b : code == op::subtract ? a - b : a * b;
}
// The comparison codes 0-6 of the compare action (equal, not-equal,
// strict-equal, lesser, lesser-or-equal, greater, greater-or-equal) on two
// integers.
[[gnu::always_inline]] inline bool compare_values(i32 code, i32 l, i32 r) {
    switch (code) {
        case 1: return l != r;
        case 3: return l < r;
        case 4: return l <= r;
        case 5: return l > r;
        case 6: return l >= r;
        default: return l == r;
    }
}

// True when a float! (or percent!) cell's value is above 2147483647.0, below
// -2147483648.0, or NaN: it cannot become an integer!.
bool float_out_of_range_q(const Cell& f);

inline i32 sign_of(i32 n) { return n > 0 ? 1 : n < 0 ? -1 : 0; }
// |n|; -2147483648 raises math/overflow.
i32 abs(i32 n);

inline i32 get(const Cell& c) { return static_cast<i32>(c.data2); }
// The value in the first argument slot.
i32 arg_value();
// The same, or 0 when the slot does not hold an integer!.
i32 get_arg();

// Writes an integer! n into the first argument slot and returns it.
Cell* box(i32 n);
// Makes the cell an integer! n.
inline Cell* make_at(Cell& c, i32 n) {
    c = cell::integer(n);
    return &c;
}
// Appends an integer! n to a block.
void make_in(const Cell& block, i32 n);
// Pushes an integer! n on the data stack.
Cell* push(i32 n);

// Big-endian value of the first min(4, length) bytes from a binary!'s head.
i32 from_binary(const Cell& bin);
// The text of an issue! read as hexadecimal: at most 8 digits 0-9, a-f, A-F,
// else script/invalid-data with the issue.
i32 from_issue(const Cell& issue);

// Decimal text of n in one static buffer, overwritten by the next call.
const char* form_signed(i32 n);

// The arithmetic core: l op r. Add, subtract and multiply that overflow and
// a divide that leaves a remainder turn the result cell into a float! (with
// no result cell, an overflow raises math/overflow and a divide truncates);
// any integer result is stored into the result cell's value word and
// returned. Divide and remainder by 0 raise math/zero-divide, -2147483648 by
// -1 math/overflow.
i32 do_math_op(i32 l, i32 r, i32 op, Cell* result);
// The arithmetic action entry: left operand at stack::arguments, right after
// it, the result in the first.
void do_math(i32 op);

// Registers integer! (type 11, no parent).
void init();

}  // namespace oru::integer
