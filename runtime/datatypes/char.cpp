// char!: value helpers, conversions, text forms, comparison and the
// code-point arithmetic.
//
// Arithmetic runs through integer!'s core without a result cell, so an
// overflow of 32 bits is math/overflow rather than a float!, and a division
// truncates; a result outside 0 to 0x10FFFF is math/overflow too. A float!
// operand is truncated toward zero after a range check.
#include "runtime/datatypes/char.h"

#include "interpreter/actions.h"
#include "interpreter/stack.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/string.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/registry.h"
#include "runtime/unicode.h"

#include <cmath>

namespace oru::char_ {

Cell* push(i32 cp) { return stack::push(make_cell(cp)); }

void make_in(const Cell& block, i32 cp) { *memory::alloc_tail(cell::node(block)) = make_cell(cp); }

namespace {

inline bool valid(i64 cp) { return cp >= 0 && cp <= max_code_point; }

// The action slot of each operator code. ORDER MATH OPS (integer::op).
constexpr u32 op_slots[] = {action::add,       action::subtract, action::multiply, action::divide,
                            action::remainder, action::or_,      action::and_,     action::xor_};
static_assert(sizeof op_slots / sizeof op_slots[0] == 8);

}  // namespace

void do_math(i32 op) {
    if (op < integer::op::add || op > integer::op::xor_) fire(ErrorId::internal_not_done);
    Cell* args = stack::arguments;
    const u32 right = cell::type_of(args[1]);
    i32 r;
    switch (right) {
        case type::char_:
        case type::integer:
            r = integer::get(args[1]);
            break;
        case type::float_: {
            const double d = cell::get_float(args[1]);
            // Truncated toward zero; beyond 32 bits (or NaN) no code point can result.
            if (!(d > -2147483649.0 && d < 2147483648.0)) fire(ErrorId::math_overflow);
            r = static_cast<i32>(d);
            break;
        }
        case type::vector:
            // The vector arithmetic takes the character as its scalar.
            reinterpret_cast<action_fn::Stack>(actions::get_action(right, &args[1], op_slots[op]))();
            return;
        default:
            fire(ErrorId::script_invalid_type, datatype::make(right));
    }
    // No result cell: an overflow raises math/overflow, a quotient truncates.
    const i32 v = integer::do_math_op(get(args[0]), r, op, nullptr);
    if (!valid(v)) fire(ErrorId::math_overflow);
    args[0].data2 = static_cast<u32>(v);
}

namespace {

// --- Actions ---------------------------------------------------------------

bool string_family(u32 t) {
    return t == type::string || t == type::file || t == type::url || t == type::tag || t == type::email ||
           t == type::ref;
}

// make and to, one handler.
Cell* to(Cell*, Cell* spec, u32) {
    const u32 st = cell::type_of(*spec);
    switch (st) {
        case type::char_:
        case type::integer: {
            const i32 cp = integer::get(*spec);
            if (!valid(cp)) fire(ErrorId::script_out_of_range, *spec);
            return push(cp);
        }
        case type::float_:
        case type::percent: {
            const double d = cell::get_float(*spec);
            // Truncation toward zero keeps (-1, 0x110000) inside the range.
            if (!(d > -1.0 && d < max_code_point + 1.0)) fire(ErrorId::script_out_of_range, *spec);
            return push(static_cast<i32>(d));
        }
        case type::binary: {
            SeriesBuffer* s = memory::buffer(cell::node(*spec));
            const i32 length = static_cast<i32>(s->length());
            i32 head = cell::head_index(*spec);
            if (head < 0) head = 0;
            if (head >= length) fire(ErrorId::script_bad_to_arg, datatype::make(type::char_), *spec);
            const u8* p = s->head_ptr() + head;
            i32 count = length - head;
            const i32 cp = unicode::decode_utf8_char(p, &count);
            // A sequence cut off by the end is as invalid as a broken one.
            if (cp < 0) fire(ErrorId::access_invalid_utf8, cell::integer(*p));
            return push(cp);
        }
        default:
            if (string_family(st)) {
                Cell str = *spec;
                if (string::rs_length_q(str) <= 0)
                    fire(ErrorId::script_bad_to_arg, datatype::make(type::char_), *spec);
                const u8* p = string::rs_head(str);
                const u32 unit = memory::buffer(cell::node(str))->unit();
                return push(static_cast<i32>(string::get_char(p, unit)));
            }
            fire(ErrorId::script_bad_to_arg, datatype::make(type::char_), *spec);
    }
}

i32 form(Cell* value, Cell* buffer, Cell*, i32 limit) {
    string::append_char(cell::node(*buffer), static_cast<u32>(get(*value)));
    return limit - 1;
}

// #"a", #"^-", #"^(85)"; the budget goes down by what was written.
i32 mold(Cell* value, Cell* buffer, bool, bool all, bool, Cell*, i32 limit, i32) {
    const i32 open = string::concatenate_literal(*buffer, "#\"");
    const i32 body = string::append_escaped_char(cell::node(*buffer), static_cast<u32>(get(*value)), all);
    const i32 close = string::concatenate_literal(*buffer, "\"");
    return limit - (open + body + close);
}

// Code points only: callers that want letter case ignored fold it first.
i32 compare(Cell* value1, Cell* value2, i32 op) {
    const u32 t = cell::type_of(*value2);
    if ((op == actions::op::strict_equal || op == actions::op::hash) && t != type::char_) return 1;
    if (t != type::char_ && t != type::integer) return -2;
    const i32 a = get(*value1), b = integer::get(*value2);
    return a < b ? -1 : a > b ? 1 : 0;
}

void add() { do_math(integer::op::add); }
void subtract() { do_math(integer::op::subtract); }
void multiply() { do_math(integer::op::multiply); }
void divide() { do_math(integer::op::divide); }
void remainder() { do_math(integer::op::remainder); }
void and_() { do_math(integer::op::and_); }
void or_() { do_math(integer::op::or_); }
void xor_() { do_math(integer::op::xor_); }

// random, absolute, even? and odd? come from integer!.
constexpr ActionTable char_actions = {
    .make = to, .random = inherit, .to = to, .form = form, .mold = mold, .compare = compare,
    .absolute = inherit, .add = add, .divide = divide, .multiply = multiply, .remainder = remainder,
    .subtract = subtract, .even_q = inherit, .odd_q = inherit, .and_ = and_, .or_ = or_, .xor_ = xor_,
};

}  // namespace

void init() { registry::add(type::char_, type::integer, "char!", char_actions); }

}  // namespace oru::char_
