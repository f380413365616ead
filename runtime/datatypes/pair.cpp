// pair!: value helpers, the arithmetic with its move to point2D!, and the
// handlers.
//
// Coordinate arithmetic runs in 64 bits and is checked against the 32-bit
// range before it is stored, so nothing wraps; a float that becomes a
// coordinate must be finite and within 32 bits (script/invalid-arg with the
// value otherwise). Handlers read the coordinates into locals first.
#include "runtime/datatypes/pair.h"

#include "interpreter/actions.h"
#include "interpreter/stack.h"
#include "runtime/calls.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/path_store.h"
#include "runtime/datatypes/point.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/unset.h"
#include "runtime/datatypes/word.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/random.h"
#include "runtime/registry.h"
#include "runtime/words.h"

#include <cmath>

namespace oru::pair {

void make_in(const Cell& block, i32 x, i32 y) { *memory::alloc_tail(cell::node(block)) = make(x, y); }

Cell* push(i32 x, i32 y) { return stack::push(make(x, y)); }

namespace {

inline bool in_range(double d) { return d > -2147483649.0 && d < 2147483648.0; }

// A float! (or percent!) truncated toward zero to a coordinate; NaN, the
// infinities and values beyond 32 bits raise script/invalid-arg.
i32 coordinate(const Cell& f) {
    const double d = cell::get_float(f);
    if (!in_range(d)) fire(ErrorId::script_invalid_arg, f);
    return static_cast<i32>(d);
}

// l op r for one coordinate; false when the result leaves 32 bits. Division
// and remainder by 0 raise math/zero-divide; division truncates.
bool coordinate_op(i32 l, i32 r, i32 op, i32* out) {
    i64 v;
    switch (op) {
        case integer::op::add: v = static_cast<i64>(l) + r; break;
        case integer::op::subtract: v = static_cast<i64>(l) - r; break;
        case integer::op::multiply: v = static_cast<i64>(l) * r; break;
        case integer::op::divide:
            if (r == 0) fire(ErrorId::math_zero_divide);
            v = static_cast<i64>(l) / r;
            break;
        case integer::op::remainder:
            if (r == 0) fire(ErrorId::math_zero_divide);
            v = static_cast<i64>(l) % r;
            break;
        case integer::op::or_: v = l | r; break;
        case integer::op::and_: v = l & r; break;
        default: v = l ^ r; break;
    }
    if (v < INT32_MIN || v > INT32_MAX) return false;
    *out = static_cast<i32>(v);
    return true;
}

}  // namespace

void do_math(i32 op) {
    if (op < integer::op::add || op > integer::op::xor_) fire(ErrorId::internal_not_done);
    Cell* args = stack::arguments;
    const Cell right = args[1];
    const u32 rt = cell::type_of(right);
    const i32 x = x_of(args[0]), y = y_of(args[0]);
    i32 rx, ry;
    switch (rt) {
        case type::integer:
            rx = ry = integer::get(right);
            break;
        case type::pair:
            rx = x_of(right);
            ry = y_of(right);
            break;
        case type::float_:
        case type::percent: {
            const double f = cell::get_float(right);
            if (op == integer::op::multiply || op == integer::op::divide) {
                // A factor or divisor scales into a point2D!.
                if (op == integer::op::multiply ? std::isinf(f) : std::isnan(f))
                    fire(ErrorId::script_invalid_arg, right);
                args[0] = point::make2D(float_::do_math_op(x, f, op), float_::do_math_op(y, f, op));
                return;
            }
            rx = ry = coordinate(right);
            break;
        }
        case type::point2D:
            if (op > integer::op::remainder) fire(ErrorId::script_invalid_type, datatype::make(rt));
            args[0] = point::make2D(x, y);
            point::do_math(op);
            return;
        default:
            fire(ErrorId::script_invalid_type, datatype::make(rt));
    }
    // Both coordinates first, so that a zero divisor of y is raised too.
    i32 rx_out = 0, ry_out = 0;
    const bool x_fits = coordinate_op(x, rx, op, &rx_out);
    const bool y_fits = coordinate_op(y, ry, op, &ry_out);
    if (x_fits && y_fits) {
        args[0] = make(rx_out, ry_out);
        return;
    }
    // A coordinate left 32 bits: the operation again on point2D! values.
    args[0] = point::make2D(float_::do_math_op(x, rx, op), float_::do_math_op(y, ry, op));
}

void negate(Cell* value) {
    const i32 x = x_of(*value), y = y_of(*value);
    if (x == INT32_MIN || y == INT32_MIN) fire(ErrorId::math_overflow);
    *value = make(-x, -y);
}

namespace {

// --- Actions ---------------------------------------------------------------

inline Cell none_cell() { return Cell{type::none, 0, 0, 0}; }

[[noreturn]] void refuse(const Cell& spec) { fire(ErrorId::script_bad_to_arg, datatype::make(type::pair), spec); }

// make and to: a pair, n for nxn, a float or point2D! truncated, a block
// whose first two values are numbers, or the text of a pair.
Cell* make_(Cell*, Cell* spec, u32) {
    switch (cell::type_of(*spec)) {
        case type::pair: return spec;
        case type::integer: return push(integer::get(*spec), integer::get(*spec));
        case type::float_: {
            const i32 c = coordinate(*spec);
            return push(c, c);
        }
        case type::point2D: {
            const double x = point::get(*spec, 0), y = point::get(*spec, 1);
            if (!in_range(x) || !in_range(y)) fire(ErrorId::script_invalid_arg, *spec);
            return push(static_cast<i32>(x), static_cast<i32>(y));
        }
        case type::block: {
            SeriesBuffer* s = series::buffer_of(*spec);
            const i32 length = static_cast<i32>(s->length());
            i32 head = cell::head_index(*spec);
            if (head < 0) head = 0;
            if (length - head < 2) fire(ErrorId::syntax_malconstruct, *spec);
            i32 c[2];
            for (int i = 0; i < 2; i++) {
                const Cell v = s->cells()[head + i];
                const u32 vt = cell::type_of(v);
                if (vt == type::integer) c[i] = integer::get(v);
                else if (vt == type::float_) c[i] = coordinate(v);
                else fire(ErrorId::syntax_malconstruct, *spec);
            }
            return push(c[0], c[1]);
        }
        case type::string: {
            Cell* out = stack::push(none_cell());
            const Cell loaded = load_value_in(*spec, out);
            if (cell::type_of(loaded) != type::pair) refuse(*spec);
            *out = loaded;
            return out;
        }
        default: refuse(*spec);
    }
}

i32 form(Cell* value, Cell* buffer, Cell*, i32 limit) {
    const i32 x = x_of(*value), y = y_of(*value);
    i32 written = string::concatenate_literal(*buffer, integer::form_signed(x));
    written += string::concatenate_literal(*buffer, "x");
    written += string::concatenate_literal(*buffer, integer::form_signed(y));
    return limit - written;
}

i32 mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* part, i32 limit, i32) {
    return form(value, buffer, part, limit);
}

bool named(const Cell& element, i32 sym) {
    const u32 t = cell::type_of(element);
    return t >= type::word && t <= type::get_word &&
           symbol::canonical(word::symbol_of(element)) == symbol::canonical(sym);
}

// The coordinate an accessor names: 0 for 1 or x, 1 for 2 or y; -1 for an
// integer outside them, -2 for anything else.
int coordinate_of(const Cell& element) {
    if (cell::type_of(element) == type::integer) {
        const i32 k = integer::get(element);
        return k == 1 || k == 2 ? k - 1 : -1;
    }
    if (named(element, words::sym::x)) return 0;
    if (named(element, words::sym::y)) return 1;
    return -2;
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* container, Cell* previous, i32 index,
                bool, bool, bool, bool) {
    const int k = coordinate_of(*element);
    if (k < 0) fire(ErrorId::script_invalid_path, path ? *path : none_cell(), *element);
    if (!value) return integer::push(k == 0 ? x_of(*parent) : y_of(*parent));
    if (cell::type_of(*value) != type::integer) fire(ErrorId::script_invalid_type, datatype::make(cell::type_of(*value)));
    (k == 0 ? parent->data2 : parent->data3) = value->data2;
    path_store::store_back(*parent, container, previous, path, index);
    return value;
}

// pick: 1, 2, x or y. An integer outside them is out of range, any other
// accessor an invalid path.
Cell* pick(Cell* series, i32, Cell* index) {
    const int k = coordinate_of(*index);
    if (k == -1) fire(ErrorId::script_out_of_range, *index);
    if (k < 0) fire(ErrorId::script_invalid_path, none_cell(), *index);
    return integer::push(k == 0 ? x_of(*series) : y_of(*series));
}

// (x, y) ordering: x decides, y breaks a tie. A point2D! operand compares
// the pair as a point2D!.
i32 compare(Cell* value1, Cell* value2, i32 op) {
    const u32 t = cell::type_of(*value2);
    if (t == type::point2D) {
        if (op == actions::op::same || op == actions::op::hash) return 1;
        Cell p = point::make2D(x_of(*value1), y_of(*value1));
        return point::compare(&p, value2, op);
    }
    if (t != type::pair) return -2;
    const i32 x1 = x_of(*value1), x2 = x_of(*value2);
    if (x1 != x2) return x1 < x2 ? -1 : 1;
    const i32 y1 = y_of(*value1), y2 = y_of(*value2);
    return y1 < y2 ? -1 : y1 > y2 ? 1 : 0;
}

void absolute() {
    Cell* v = stack::arguments;
    *v = make(integer::abs(x_of(*v)), integer::abs(y_of(*v)));
}

void add() { do_math(integer::op::add); }
void subtract() { do_math(integer::op::subtract); }
void multiply() { do_math(integer::op::multiply); }
void divide() { do_math(integer::op::divide); }
void remainder() { do_math(integer::op::remainder); }
void and_() { do_math(integer::op::and_); }
void or_() { do_math(integer::op::or_); }
void xor_() { do_math(integer::op::xor_); }

void reverse(Cell* series, Cell* part, Cell* skip) {
    if (part || skip) fire(ErrorId::internal_not_done);
    *series = make(y_of(*series), x_of(*series));
}

// Each coordinate is rounded by the integer! round (a pair scale gives x its
// x and y its y); a float result is truncated back, and one beyond 32 bits
// is math/overflow, as absolute's is.
void round(Cell* value, Cell* scale, bool even, bool down, bool half_down, bool floor, bool ceiling,
           bool half_ceiling) {
    const u32 st = scale ? cell::type_of(*scale) : type::none;
    if (st == type::money) fire(ErrorId::script_not_related, stack::get_call(), datatype::make(type::money));
    const Cell p = *value;
    i32 out[2];
    for (int i = 0; i < 2; i++) {
        Cell v = cell::integer(i == 0 ? x_of(p) : y_of(p));
        Cell s = scale ? *scale : none_cell();
        if (st == type::pair) s = cell::integer(i == 0 ? x_of(*scale) : y_of(*scale));
        actions::round(&v, scale ? &s : nullptr, even, down, half_down, floor, ceiling, half_ceiling);
        if (cell::type_of(v) == type::integer) {
            out[i] = integer::get(v);
        } else {
            const double d = cell::get_float(v);
            if (!in_range(d)) fire(ErrorId::math_overflow);
            out[i] = static_cast<i32>(d);
        }
    }
    *value = make(out[0], out[1]);
}

// /seed seeds the generator with x XOR y (the result is unset!); otherwise
// each coordinate that is not 0 becomes a uniform draw for it.
void random(Cell* value, bool seed, bool secure, bool) {
    const i32 x = x_of(*value), y = y_of(*value);
    if (seed) {
        random::seed(x ^ y);
        *value = unset::value;
        return;
    }
    *value = make(x ? random::int_uniform_distr(secure, x) : 0, y ? random::int_uniform_distr(secure, y) : 0);
}

constexpr ActionTable pair_actions = {
    .make = make_, .random = random, .to = make_, .form = form, .mold = mold, .eval_path = eval_path,
    .compare = compare, .absolute = absolute, .add = add, .divide = divide, .multiply = multiply,
    .negate = negate, .remainder = remainder, .round = round, .subtract = subtract,
    .and_ = and_, .or_ = or_, .xor_ = xor_, .pick = pick, .reverse = reverse,
};

}  // namespace

void init() { registry::add(type::pair, 0, "pair!", pair_actions); }

}  // namespace oru::pair
