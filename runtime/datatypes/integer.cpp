// integer!: value helpers, the arithmetic core with its overflow rules, and
// the handlers.
//
// No arithmetic here may wrap or trap: sums, differences and products go
// through the checked builtins, and every float-to-integer conversion is
// range-checked first. Operations with an operand of another type are handed
// to that type's handlers through the registry rows, never called directly,
// so the numeric modules link in any order.
#include "runtime/datatypes/integer.h"

#include "codecs/lexer.h"
#include "interpreter/actions.h"
#include "interpreter/stack.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/date.h"
#include "runtime/datatypes/money.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/unset.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/random.h"
#include "runtime/registry.h"
#include "runtime/words.h"

#include <climits>
#include <cmath>
#include <optional>
#include <utility>

namespace oru::integer {

bool float_out_of_range_q(const Cell& f) {
    const double d = cell::get_float(f);
    // Written as negations so that a NaN is out of range too.
    return !(d <= 2147483647.0) || !(d >= -2147483648.0);
}

i32 abs(i32 n) {
    if (n == INT32_MIN) fire(ErrorId::math_overflow);
    return n < 0 ? -n : n;
}

i32 arg_value() { return get(*stack::arguments); }

i32 get_arg() { return cell::type_of(*stack::arguments) == type::integer ? get(*stack::arguments) : 0; }

Cell* box(i32 n) {
    *stack::arguments = cell::integer(n);
    return stack::arguments;
}

void make_in(const Cell& block, i32 n) { *memory::alloc_tail(cell::node(block)) = cell::integer(n); }

Cell* push(i32 n) { return stack::push(cell::integer(n)); }

i32 from_binary(const Cell& bin) {
    SeriesBuffer* s = memory::buffer(cell::node(bin));
    const i32 length = static_cast<i32>(s->length());
    i32 head = cell::head_index(bin);
    if (head < 0) head = 0;
    if (head > length) head = length;
    const i32 n = length - head < 4 ? length - head : 4;
    const u8* p = s->head_ptr() + head;
    u32 v = 0;
    for (i32 i = 0; i < n; i++) v = (v << 8) | p[i];
    return static_cast<i32>(v);
}

i32 from_issue(const Cell& issue) {
    const char* text = symbol::get_c_string(static_cast<i32>(issue.data2));
    u32 v = 0;
    i32 digits = 0;
    for (const char* p = text; *p; p++, digits++) {
        const char c = *p;
        u32 d;
        if (c >= '0' && c <= '9') d = static_cast<u32>(c - '0');
        else if (c >= 'a' && c <= 'f') d = static_cast<u32>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F') d = static_cast<u32>(c - 'A' + 10);
        else fire(ErrorId::script_invalid_data, issue);
        if (digits == 8) fire(ErrorId::script_invalid_data, issue);
        v = (v << 4) | d;
    }
    // Eight digits fill all 32 bits: #FFFFFFFF is -1.
    return static_cast<i32>(v);
}

const char* form_signed(i32 n) {
    static char text[12];  // 11 characters and the terminator
    if (n == 0) return "0";
    if (n == INT32_MIN) return "-2147483648";
    char* p = text + sizeof text - 1;
    *p = '\0';
    for (i32 a = n < 0 ? -n : n; a; a /= 10) *--p = static_cast<char>('0' + a % 10);
    if (n < 0) *--p = '-';
    return p;
}

namespace {

// An add, subtract or multiply that left 32 bits: the same operation in
// double precision, or math/overflow when there is no cell to hold it.
i32 overflowed(double value, Cell* result) {
    if (!result) fire(ErrorId::math_overflow);
    *result = cell::float_(value);
    return 0;
}

}  // namespace

i32 do_math_op(i32 l, i32 r, i32 op, Cell* result) {
    i32 v;
    switch (op) {
        case op::add:
        case op::subtract:
        case op::multiply:
        case op::or_:
        case op::and_:
        case op::xor_:
            // The core the evaluator's in-place road and the compiled-code
            // fast paths share.
            if (!math(op, l, r, &v)) return overflowed(overflow_value(op, l, r), result);
            break;
        case op::divide:
            if (r == 0) fire(ErrorId::math_zero_divide);
            if (l == INT32_MIN && r == -1) fire(ErrorId::math_overflow);
            if (result && l % r != 0) {
                *result = cell::float_(static_cast<double>(l) / r);
                return 0;
            }
            v = l / r;
            break;
        case op::remainder:
            if (r == 0) fire(ErrorId::math_zero_divide);
            if (l == INT32_MIN && r == -1) fire(ErrorId::math_overflow);
            v = l % r;  // the sign of l
            break;
        default: fire(ErrorId::internal_not_done);
    }
    if (result) result->data2 = static_cast<u32>(v);
    return v;
}

namespace {

// The action slot of each operator code. ORDER MATH OPS.
constexpr u32 op_slots[] = {action::add,       action::subtract, action::multiply, action::divide,
                            action::remainder, action::or_,      action::and_,     action::xor_};
static_assert(sizeof op_slots / sizeof op_slots[0] == 8);

// Runs the stack-convention handler of type t for an action on the operands
// at stack::arguments; an empty entry is script/expect-arg.
void hand_over(u32 t, u32 slot) {
    reinterpret_cast<action_fn::Stack>(actions::get_action(t, stack::arguments + 1, slot))();
}

[[noreturn]] void not_related(const Cell& word) {
    fire(ErrorId::script_not_related, word, datatype::make(type::integer));
}

}  // namespace

void do_math(i32 op) {
    if (op < op::add || op > op::xor_) fire(ErrorId::internal_not_done);
    Cell* args = stack::arguments;
    const u32 right = cell::type_of(args[1]);
    const u32 slot = op_slots[op];
    switch (right) {
        case type::integer:
        case type::char_:
            do_math_op(get(args[0]), get(args[1]), op, &args[0]);
            return;
        case type::float_:
        case type::percent:
        case type::time:
            // The float arithmetic takes an integer! on the left as a float
            // (percent! and time! inherit it); it has no bitwise operators.
            if (op > op::remainder) fire(ErrorId::script_cannot_use, datatype::make(type::float_));
            hand_over(right, slot);
            return;
        case type::vector:
        case type::money:
            // Those types' arithmetic takes the integer as the scalar on the left.
            hand_over(right, slot);
            return;
        case type::pair:
        case type::point2D:
        case type::point3D:
            if (op == op::divide) not_related(words::word::divide);
            std::swap(args[0], args[1]);  // the integer becomes the right operand
            if (op == op::subtract) {
                actions::negate(&args[0]);  // n - p is -p + n
                hand_over(right, action::add);
            } else {
                hand_over(right, slot);
            }
            return;
        case type::tuple:
            if (op == op::subtract) not_related(words::word::subtract);
            if (op == op::divide) not_related(words::word::divide);
            std::swap(args[0], args[1]);
            hand_over(right, slot);
            return;
        case type::date:
            if (op != op::add) not_related(words::word::subtract);
            std::swap(args[0], args[1]);  // a number of days added to the date
            hand_over(right, action::add);
            return;
        default:
            fire(ErrorId::script_invalid_type, datatype::make(right));
    }
}

namespace {

// The power of a non-negative exponent by squaring, or nothing when a
// multiplication leaves 32 bits. The base is squared only while exponent
// bits remain, so an overflow there means the result overflows too.
std::optional<i32> power_of(i32 base, i32 exponent) {
    i32 result = 1;
    for (u32 e = static_cast<u32>(exponent);;) {
        if ((e & 1) && __builtin_mul_overflow(result, base, &result)) return std::nullopt;
        e >>= 1;
        if (!e) return result;
        if (__builtin_mul_overflow(base, base, &base)) return std::nullopt;
    }
}

// --- Actions ---------------------------------------------------------------

// The integer a text spells from its position: the lexer's scanner takes a
// sign and "'" separators. A bad character or an overflow is
// script/bad-to-arg; so is a text without a digit (the scanner alone would
// read "" or "-" as 0).
i32 from_text(Cell& text) {
    const i32 n = string::rs_length_q(text);
    const u8* p = string::rs_head(text);
    const u32 unit = memory::buffer(cell::node(text))->unit();
    bool digit = false;
    for (i32 i = 0; i < n && !digit; i++) {
        const u32 c = string::get_char(p + static_cast<size_t>(i) * unit, unit);
        digit = c >= '0' && c <= '9';
    }
    i32 error = 0;
    const i32 v = digit ? lexer::scan_integer(p, unit, n, &error) : 0;
    if (!digit || error != 0) fire(ErrorId::script_bad_to_arg, datatype::make(type::integer), text);
    return v;
}

Cell* to(Cell*, Cell* spec, u32) {
    switch (cell::type_of(*spec)) {
        case type::integer: return spec;
        case type::char_: return push(get(*spec));
        case type::string: case type::file: case type::url: case type::tag: case type::email: case type::ref:
            return push(from_text(*spec));
        case type::float_:
        case type::percent:
            if (float_out_of_range_q(*spec)) fire(ErrorId::script_type_limit, datatype::make(type::integer));
            return push(static_cast<i32>(cell::get_float(*spec)));  // toward zero
        case type::time: {
            // Seconds rounded half up, then truncated toward zero. A time
            // whose result leaves 32 bits (or is NaN) is refused as a float is.
            const double d = cell::get_float(*spec) + 0.5;
            if (!(d < 2147483648.0) || !(d > -2147483649.0))
                fire(ErrorId::script_type_limit, datatype::make(type::integer));
            return push(static_cast<i32>(d));
        }
        case type::issue: return push(from_issue(*spec));
        case type::binary: return push(from_binary(*spec));
        case type::date: return push(date::to_epoch(*spec));  // Unix time
        case type::money: return push(money::to_integer_part(*spec));
        default:
            fire(ErrorId::script_bad_to_arg, datatype::make(type::integer), *spec);
    }
}

Cell* make(Cell* proto, Cell* spec, u32 t) {
    if (cell::type_of(*spec) == type::logic) return push(spec->data1 ? 1 : 0);
    return to(proto, spec, t);
}

i32 form(Cell* value, Cell* buffer, Cell*, i32 limit) {
    return limit - string::concatenate_literal(*buffer, form_signed(get(*value)));
}

i32 mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* part, i32 limit, i32) {
    return form(value, buffer, part, limit);
}

inline i32 three_way(i32 a, i32 b) { return a < b ? -1 : a > b ? 1 : 0; }

i32 compare(Cell* value1, Cell* value2, i32 op) {
    const u32 t = cell::type_of(*value2);
    if ((op == actions::op::strict_equal || op == actions::op::hash) && t != type::integer) return 1;
    switch (t) {
        case type::integer:
        case type::char_:
            return three_way(get(*value1), get(*value2));
        case type::float_:
        case type::percent:
        case type::time: {
            // The float comparison, with the integer as a float.
            Cell f = cell::float_(get(*value1));
            return actions::compare_raw(&f, value2, op);
        }
        case type::money: {
            // The money comparison takes the integer as its other operand:
            // asked the other way round, its answer is reversed.
            const i32 r = actions::compare_raw(value2, value1, op);
            return r == -2 ? r : -r;
        }
        default:
            return -2;
    }
}

void absolute() { stack::arguments->data2 = static_cast<u32>(abs(get(*stack::arguments))); }

void add() { do_math(op::add); }
void subtract() { do_math(op::subtract); }
void multiply() { do_math(op::multiply); }
void divide() { do_math(op::divide); }
void remainder() { do_math(op::remainder); }
void and_() { do_math(op::and_); }
void or_() { do_math(op::or_); }
void xor_() { do_math(op::xor_); }

void negate(Cell* value) {
    const i32 n = get(*value);
    if (n == INT32_MIN) fire(ErrorId::math_overflow);
    value->data2 = static_cast<u32>(-n);
}

Cell* complement(Cell* value) {
    value->data2 = ~value->data2;
    return value;
}

bool even_q(Cell* value) { return (value->data2 & 1) == 0; }
bool odd_q(Cell* value) { return (value->data2 & 1) != 0; }

void power() {
    Cell* args = stack::arguments;
    const u32 et = cell::type_of(args[1]);
    if (et != type::integer && et != type::float_)
        fire(ErrorId::script_expect_arg, stack::get_call(), datatype::make(et),
             stack::word(symbol::make("exponent")));
    const i32 base = get(args[0]);
    if (et == type::integer && get(args[1]) >= 0) {
        if (const std::optional<i32> r = power_of(base, get(args[1]))) {
            args[0].data2 = static_cast<u32>(*r);
            return;
        }
    }
    // A float or negative exponent, or an overflow: the float power.
    const double e = et == type::integer ? static_cast<double>(get(args[1])) : cell::get_float(args[1]);
    args[0] = cell::float_(std::pow(static_cast<double>(base), e));
}

// Rounds |n| to a multiple of the scale by the refinements; the result keeps
// n's sign. `down` is the multiple toward zero, `up` the one away from it;
// up can leave 32 bits, which is math/overflow when up is the answer.
void round(Cell* value, Cell* scale, bool even, bool down, bool half_down, bool floor, bool ceiling,
           bool half_ceiling) {
    if (scale && cell::type_of(*scale) == type::money)
        fire(ErrorId::script_not_related, stack::get_call(), datatype::make(type::money));
    const i32 n = get(*value);
    if (n == INT32_MIN) return;
    if (scale && cell::type_of(*scale) != type::integer) {
        // A zero scale leaves n as it is, whatever its type.
        const u32 st = cell::type_of(*scale);
        if ((st == type::float_ || st == type::percent || st == type::time) && cell::get_float(*scale) == 0.0) return;
        // Another scale type: the float rounding, with n as a float.
        *value = cell::float_(n);
        actions::round(value, scale, even, down, half_down, floor, ceiling, half_ceiling);
        return;
    }
    const i64 s = scale ? abs(get(*scale)) : 1;
    if (s == 0) return;
    const i64 a = n < 0 ? -static_cast<i64>(n) : n;
    const i64 r = a % s;
    if (r == 0) return;
    const i64 lo = a - r;
    const i64 hi = a + (s - r);
    auto up = [hi] {
        if (hi > INT32_MAX) fire(ErrorId::math_overflow);
        return hi;
    };
    const i64 sign = n < 0 ? -1 : 1;
    i64 result;
    if (down) result = sign * lo;
    else if (floor) result = n > 0 ? lo : -up();
    else if (ceiling) result = n >= 0 ? up() : -lo;
    else if (r < s - r) result = sign * lo;
    else if (r > s - r) result = sign * up();
    else if (even) result = sign * ((a / s) % 2 ? up() : lo);  // exactly half: to the even multiple
    else if (half_down) result = sign * lo;
    else if (half_ceiling) result = n >= 0 ? up() : -lo;
    else result = sign * up();
    value->data2 = static_cast<u32>(static_cast<i32>(result));
}

// /seed seeds the generator with the value (the result is unset!); otherwise
// a non-zero n becomes a uniform draw for n (1..n, or -|n|..-1 when n < 0)
// and 0 stays 0. Only the payload changes, so char! inherits this and keeps
// its type.
void random(Cell* value, bool seed, bool secure, bool) {
    if (seed) {
        random::seed(get(*value));
        *value = unset::value;
        return;
    }
    value->data2 = static_cast<u32>(random::int_uniform_distr(secure, get(*value)));
}

constexpr ActionTable integer_actions = {
    .make = make, .random = random, .to = to, .form = form, .mold = mold,
    .compare = compare, .absolute = absolute, .add = add, .divide = divide, .multiply = multiply,
    .negate = negate, .power = power, .remainder = remainder, .round = round, .subtract = subtract,
    .even_q = even_q, .odd_q = odd_q, .and_ = and_, .complement = complement, .or_ = or_, .xor_ = xor_,
};

}  // namespace

void init() { registry::add(type::integer, 0, "integer!", integer_actions); }

}  // namespace oru::integer
