// float!: value helpers, text forms, tolerant comparison, arithmetic and the
// handlers.
//
// Every float-to-integer conversion here is range-checked before the cast:
// even?/odd? decide on the parity of the exact truncated value, and a round
// to an integer! scale that leaves 32 bits is math/overflow. Operations with
// an operand of another family (tuple!, money!, vector!, the pair and point
// types) are handed to that type's handler through the registry rows.
#include "runtime/datatypes/float.h"

#include "interpreter/actions.h"
#include "interpreter/stack.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/money.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/unset.h"
#include "runtime/fire.h"
#include "runtime/float_text.h"
#include "runtime/memory.h"
#include "runtime/random.h"
#include "runtime/registry.h"
#include "runtime/words.h"

#include <cmath>
#include <cstring>
#include <string>
#include <utility>

namespace oru::float_ {

bool pretty_print_q = true;
bool full_support_q = false;

Cell* box(double d) {
    *stack::arguments = cell::float_(d);
    return stack::arguments;
}

void make_in(const Cell& block, double d) { *memory::alloc_tail(cell::node(block)) = cell::float_(d); }

Cell* push(double d) { return stack::push(cell::float_(d)); }

Cell* push64(u32 low, u32 high) { return stack::push(cell::make(type::float_, 0, low, high)); }

i32 round_to_int(double x) {
    const double v = x + rounding_bias;
    if (std::isnan(v)) return 0;
    if (v >= 2147483647.0) return INT32_MAX;
    if (v <= -2147483648.0) return INT32_MIN;
    return static_cast<i32>(v);
}

double abs_bits(double x) { return std::bit_cast<double>(std::bit_cast<u64>(x) & ~(u64{1} << 63)); }

bool NaN_q(double x) {
    const u64 b = std::bit_cast<u64>(x);
    return (b & (u64{0x7FF} << 52)) == (u64{0x7FF} << 52) && (b & ((u64{1} << 52) - 1)) != 0;
}

bool NaN32_q(float x) { return x != x; }

bool special_q(double x) { return (std::bit_cast<u64>(x) & (u64{0x7FF} << 52)) == (u64{0x7FF} << 52); }

namespace {

// Maps a double's bits onto integers in the order of the values (both zeros
// meet at 2^63), so that neighbouring doubles differ by 1.
inline u64 ordered(double x) {
    const u64 u = std::bit_cast<u64>(x);
    return (u >> 63) ? ~u + 1 : u | (u64{1} << 63);
}

}  // namespace

bool almost_equal_q(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return false;
    if (a == b) return true;
    if (std::fabs(a - b) < zero_threshold) return true;
    const u64 ua = ordered(a), ub = ordered(b);
    return (ua > ub ? ua - ub : ub - ua) <= 10;
}

bool almost_equal32_q(float a, float b) {
    if (a != a || b != b) return false;
    if (a == b) return true;
    const u32 ua = std::bit_cast<u32>(a), ub = std::bit_cast<u32>(b);
    const u32 ma = ua & 0x7FFFFFFF, mb = ub & 0x7FFFFFFF;
    if (ma > 0x7F7FFFFE || mb > 0x7F7FFFFE)
        return ((ua ^ ub) >> 31) == 0 && (ma > mb ? ma - mb : mb - ma) < 0x100000;
    if (ma == 0 && mb == 0) return true;
    const i64 ia = (ua >> 31) ? -static_cast<i64>(ma) : ma;
    const i64 ib = (ub >> 31) ? -static_cast<i64>(mb) : mb;
    return (ia > ib ? ia - ib : ib - ia) <= 10;
}

namespace {

// The first (and the retried) text of form_float.
int first_text(char* out, double x, int kind, bool retry) {
    if (retry) return float_text::format_g(out, x, kind == kind::float32 || kind == kind::time || kind == kind::point ? 5 : 14);
    switch (kind) {
        case kind::float_: return float_text::format_g(out, x, 16);
        case kind::percent: return float_text::format_g(out, x, 13);
        case kind::time: return float_text::form_float_into(out, x, 6, false);
        default: return float_text::format_g(out, x, 7);
    }
}

// Rounding noise: the last two digits of a long text are "01" or "99".
bool noisy(const char* text, int len, const char* e) {
    int digits_end;
    if (!e) {
        const char first = text[0] == '-' ? text[1] : text[0];
        if (len <= 16 || (first == '0' && len <= 17)) return false;
        digits_end = len;
    } else {
        digits_end = static_cast<int>(e - text);
        if (digits_end <= 16) return false;
    }
    const char a = text[digits_end - 2], b = text[digits_end - 1];
    return (a == '0' && b == '1') || (a == '9' && b == '9');
}

}  // namespace

const char* form_float(double x, int kind) {
    static char text[float_text::text_room + 8];
    if (special_q(x)) return NaN_q(x) ? "1.#NaN" : x < 0 ? "-1.#INF" : "1.#INF";
    if (pretty_print_q && std::fabs(x) < zero_threshold)
        return kind == kind::percent32 || kind == kind::percent ? "0%" : kind == kind::point ? "0" : "0.0";

    int len = first_text(text, x, kind, false);
    char* e = std::strchr(text, 'e');
    if (pretty_print_q && noisy(text, len, e)) {
        len = first_text(text, x, kind, true);
        e = std::strchr(text, 'e');
    }
    if (e) {
        // "e+020" -> "e20", "e-005" -> "e-5".
        char* src = e + 1;
        char* dst = e + 1;
        if (*src == '+') src++;
        else if (*src == '-') *dst++ = *src++;
        while (*src == '0' && src[1]) src++;
        while (*src) *dst++ = *src++;
        *dst = '\0';
        len = static_cast<int>(dst - text);
    }
    if (kind == kind::percent32 || kind == kind::percent) {
        text[len++] = '%';
        text[len] = '\0';
    } else if (kind != kind::time && kind != kind::point && !std::strchr(text, '.')) {
        // "5" -> "5.0", "1e20" -> "1.0e20"
        const int at = e ? static_cast<int>(e - text) : len;
        std::memmove(text + at + 2, text + at, static_cast<size_t>(len - at) + 1);
        text[at] = '.';
        text[at + 1] = '0';
    }
    return text;
}

// A generator draw r gives r / (2^31-1) * x; the secure form spreads two
// kernel draws over the 62 bits, (r1 / (2^31-1) + r2) * x / 2^31.
double random_scaled(double x, bool secure) {
    if (!secure) return random::rand() / 2147483647.0 * x;
    const double r1 = random::secure_int();
    const double r2 = random::secure_int();
    return (r1 / 2147483647.0 + r2) * x / 2147483648.0;
}

double do_math_op(double l, double r, i32 op) {
    switch (op) {
        case integer::op::add: return l + r;
        case integer::op::subtract: return l - r;
        case integer::op::multiply: return l * r;
        case integer::op::divide: return l / r;
        case integer::op::remainder:
            if (std::isnan(r)) return nan;
            if (std::isinf(r)) return std::isfinite(l) ? l : nan;
            return std::fmod(l, r);
        default: fire(ErrorId::script_cannot_use, datatype::make(type::float_));
    }
}

namespace {

// The action slot of each operator code. ORDER MATH OPS (integer::op).
constexpr u32 op_slots[] = {action::add, action::subtract, action::multiply, action::divide, action::remainder};

// Runs another type's stack-convention handler on the operands as they stand.
void hand_over(u32 t, u32 slot) {
    reinterpret_cast<action_fn::Stack>(actions::get_action(t, stack::arguments + 1, slot))();
}

inline bool float_family(u32 t) { return t == type::float_ || t == type::percent || t == type::time; }

// A number operand as a double: integer!, char! or the float family.
inline double number_of(const Cell& c) {
    return float_family(cell::type_of(c)) ? get(c) : static_cast<double>(integer::get(c));
}

inline Cell typed(u32 t, double d) {
    Cell c = cell::float_(d);
    cell::set_type(c, t);
    return c;
}

}  // namespace

void do_math(i32 op) {
    if (op < integer::op::add || op > integer::op::remainder) do_math_op(0, 0, op);  // script/cannot-use
    Cell* args = stack::arguments;
    const u32 left = cell::type_of(args[0]);
    const u32 right = cell::type_of(args[1]);
    switch (right) {
        case type::tuple:
        case type::money:
        case type::vector:
            hand_over(right, op_slots[op]);
            return;
        case type::pair:
        case type::point2D:
        case type::point3D:
            if (left == type::time) fire(ErrorId::script_invalid_type, datatype::make(right));
            if (op == integer::op::subtract)
                fire(ErrorId::script_not_related, words::word::subtract, datatype::make(right));
            if (op == integer::op::divide)
                fire(ErrorId::script_not_related, words::word::divide, datatype::make(right));
            std::swap(args[0], args[1]);  // the number becomes the scalar operand
            hand_over(right, op_slots[op]);
            return;
        case type::char_:
            if (left == type::time || left == type::percent)
                fire(ErrorId::script_invalid_type, datatype::make(right));
            break;
        case type::integer:
        case type::float_:
        case type::percent:
        case type::time:
            break;
        default:
            fire(ErrorId::script_invalid_type, datatype::make(right));
    }
    u32 result = type::float_;
    if ((left == type::time) != (right == type::time)) result = type::time;
    else if (left == type::percent) result = type::percent;
    args[0] = typed(result, do_math_op(number_of(args[0]), number_of(args[1]), op));
}

namespace {

// --- Actions ---------------------------------------------------------------

bool string_family(u32 t) {
    return t == type::string || t == type::file || t == type::url || t == type::tag || t == type::email ||
           t == type::ref;
}

// Reads a number text: an optional sign, digits (with "'" separators after
// the first digit), a point ("." or ","), an exponent, or one of the special
// texts; blanks around it are ignored. With `percent` a closing "%" is
// allowed and divides by 100. False when the text is no such number.
bool scan_number(const Cell& text, bool percent, double* out) {
    Cell str = text;
    const i32 n = string::rs_length_q(str);
    const u8* p = string::rs_head(str);
    const u32 unit = memory::buffer(cell::node(str))->unit();
    std::string bytes;
    bytes.reserve(static_cast<size_t>(n));
    for (i32 i = 0; i < n; i++) {
        const u32 c = string::get_char(p + static_cast<size_t>(i) * unit, unit);
        if (c > 0x7F) return false;
        if (c == '\'' && !bytes.empty() && bytes.back() >= '0' && bytes.back() <= '9') continue;
        bytes.push_back(static_cast<char>(c));
    }
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    size_t b = 0, e = bytes.size();
    while (b < e && blank(bytes[b])) b++;
    while (e > b && blank(bytes[e - 1])) e--;
    bool hundredths = false;
    if (percent && e > b && bytes[e - 1] == '%') {
        hundredths = true;
        e--;
    }
    // A digit must start the number (after the sign), or follow its point.
    size_t i = b;
    if (i < e && (bytes[i] == '+' || bytes[i] == '-')) i++;
    const auto digit = [&](size_t k) { return k < e && bytes[k] >= '0' && bytes[k] <= '9'; };
    if (!digit(i) && !(i < e && (bytes[i] == '.' || bytes[i] == ',') && digit(i + 1))) return false;
    i32 remaining;
    const double v = float_text::text_to_float(bytes.data() + b, bytes.data() + e, 0, &remaining);
    if (remaining != 0) return false;
    *out = hundredths ? v / 100.0 : v;
    return true;
}

// m x 10^e for make float! [m e]: correctly rounded when both are whole.
double scaled(double m, double e) {
    if (e == std::trunc(e) && std::fabs(e) <= 1e6) {
        const i64 ie = static_cast<i64>(e);
        if (m == std::trunc(m) && std::fabs(m) < 9.2e18) {
            const double v = float_text::decimal_to_double(static_cast<u64>(std::fabs(m)), ie);
            return std::signbit(m) ? -v : v;
        }
        if (ie >= 0 && ie <= 22) return m * std::pow(10.0, static_cast<double>(ie));
        if (ie < 0 && ie >= -22) return m / std::pow(10.0, static_cast<double>(-ie));
    }
    return m * std::pow(10.0, e);
}

Cell* make(Cell*, Cell* spec, u32 t) {
    const u32 st = cell::type_of(*spec);
    auto refuse = [&]() { fire(ErrorId::script_bad_to_arg, datatype::make(t), *spec); };
    switch (st) {
        case type::block:
        case type::paren:
        case type::hash: {
            SeriesBuffer* s = memory::buffer(cell::node(*spec));
            const i32 length = static_cast<i32>(s->length());
            i32 head = cell::head_index(*spec);
            if (head < 0) head = 0;
            if (length - head != 2) refuse();
            const Cell m = s->cells()[head], e = s->cells()[head + 1];
            for (const Cell* c : {&m, &e}) {
                const u32 ct = cell::type_of(*c);
                if (ct != type::integer && ct != type::float_) refuse();
            }
            return stack::push(typed(t, scaled(number_of(m), number_of(e))));
        }
        case type::char_:
        case type::integer:
            return stack::push(typed(t, static_cast<double>(integer::get(*spec))));
        case type::float_:
        case type::percent:
        case type::time:
            return stack::push(typed(t, get(*spec)));
        case type::binary: {
            SeriesBuffer* s = memory::buffer(cell::node(*spec));
            const i32 length = static_cast<i32>(s->length());
            i32 head = cell::head_index(*spec);
            if (head < 0) head = 0;
            const i32 n = head >= length ? 0 : length - head < 8 ? length - head : 8;
            const u8* p = s->head_ptr() + head;
            u64 bits = 0;
            for (i32 i = 0; i < n; i++) bits = (bits << 8) | p[i];
            return stack::push(typed(t, std::bit_cast<double>(bits)));
        }
        case type::money: return stack::push(typed(t, money::to_float(*spec)));
        default:
            if (string_family(st)) {
                double v;
                if (!scan_number(*spec, t == type::percent, &v)) refuse();
                return stack::push(typed(t, v));
            }
            refuse();
    }
    return nullptr;  // not reached: refuse() raises
}

i32 form(Cell* value, Cell* buffer, Cell*, i32 limit) {
    return limit - string::concatenate_literal(*buffer, form_float(get(*value), kind::float_));
}

i32 mold(Cell* value, Cell* buffer, bool, bool, bool, Cell*, i32 limit, i32) {
    char text[float_text::text_room];
    float_text::form_float_into(text, get(*value), 0, true);
    return limit - string::concatenate_literal(*buffer, text);
}

// Compare codes beyond actions::op that this handler gives their own sense.
constexpr i32 op_identity = 9;       // the same 64-bit pattern
constexpr i32 op_find_equal = 12;    // the equality of find and select

i32 compare(Cell* value1, Cell* value2, i32 op) {
    const u32 t1 = cell::type_of(*value1), t2 = cell::type_of(*value2);
    if ((op == actions::op::strict_equal || op == op_identity || op == op_find_equal) && t2 != t1) return 1;
    double b;
    switch (t2) {
        case type::integer: b = integer::get(*value2); break;
        case type::float_:
        case type::percent:
        case type::time: b = get(*value2); break;
        case type::money: {
            // NaN is unordered against an amount as against any number:
            // the answers below are the ones for this side of the test.
            if (std::isnan(get(*value1))) {
                b = 0.0;
                break;
            }
            // The money comparison with the float as its other operand,
            // asked the other way round and reversed.
            const i32 r = actions::compare_raw(value2, value1, op);
            return r == -2 ? r : -r;
        }
        default: return -2;
    }
    const double a = get(*value1);
    switch (op) {
        case actions::op::equal:
        case actions::op::not_equal: return almost_equal_q(a, b) ? 0 : 1;
        case actions::op::strict_equal: return a == b ? 0 : 1;
        case op_identity: return std::bit_cast<u64>(a) == std::bit_cast<u64>(b) ? 0 : 1;
        default: break;
    }
    if (std::isnan(a) || std::isnan(b)) {
        switch (op) {
            case actions::op::lesser:
            case actions::op::lesser_equal: return 1;   // so every ordering test is false
            case actions::op::greater:
            case actions::op::greater_equal: return -1;
            case actions::op::sort:
            case actions::op::sort_reverse: return 0;
            default: return 1;  // the other equality tests: a NaN equals nothing
        }
    }
    return a < b ? -1 : a > b ? 1 : 0;
}

void absolute() {
    Cell* v = stack::arguments;
    const u32 t = cell::type_of(*v);
    *v = typed(t, abs_bits(get(*v)));
}

void add() { do_math(integer::op::add); }
void subtract() { do_math(integer::op::subtract); }
void multiply() { do_math(integer::op::multiply); }
void divide() { do_math(integer::op::divide); }
void remainder() { do_math(integer::op::remainder); }

void negate(Cell* value) { *value = typed(cell::type_of(*value), 0.0 - get(*value)); }

void power() {
    Cell* args = stack::arguments;
    const u32 et = cell::type_of(args[1]);
    if (et != type::integer && et != type::float_)
        fire(ErrorId::script_expect_arg, stack::get_call(), datatype::make(et),
             stack::word(symbol::make("exponent")));
    const u32 t = cell::type_of(args[0]);
    args[0] = typed(float_family(t) ? t : type::float_, std::pow(number_of(args[0]), number_of(args[1])));
}

// Is the value, truncated toward zero, odd? The parity of the exact
// truncated value: the lowest bit a 32-bit truncation would keep, without
// the undefined cast for values beyond 32 bits. Infinities and NaN have no
// parity: script/type-limit, as converting them to integer! is.
bool odd(const Cell& value) {
    const double d = get(value);
    if (!std::isfinite(d)) fire(ErrorId::script_type_limit, datatype::make(type::integer));
    return std::fmod(std::trunc(d), 2.0) != 0.0;
}

bool even_q(Cell* value) { return !odd(*value); }
bool odd_q(Cell* value) { return odd(*value); }

// Rounds x to a multiple of the scale by the refinements. A scale below 1
// is applied through its reciprocal so that multiples such as 0.01 come out
// exact; a subnormal scale, whose reciprocal would overflow, through its
// frexp mantissa with x moved by the binary exponent.
void round(Cell* value, Cell* scale, bool even, bool down, bool half_down, bool floor, bool ceiling,
           bool half_ceiling) {
    const u32 vt = cell::type_of(*value);
    const u32 st = scale ? cell::type_of(*scale) : 0;
    if (scale && st == type::money) fire(ErrorId::script_not_related, stack::get_call(), datatype::make(type::money));
    if (scale && st != type::integer && !float_family(st)) fire(ErrorId::script_invalid_type, datatype::make(st));
    const double original = number_of(*value);
    double x = original;
    double s;
    if (scale) {
        // A number scale of a percent! value counts in percent (1 is 1%);
        // a percent! scale already holds its fraction.
        s = std::fabs(number_of(*scale));
        if (vt == type::percent && st != type::percent) s /= 100.0;
        // No multiples of zero: the value stays as it is, as an integer
        // or money scale of zero leaves it (not the NaN of x / 0).
        if (s == 0.0) return;
    } else {
        s = vt == type::percent ? 0.01 : 1.0;
    }
    int exponent = 0;
    double y;
    if (s >= 1.0) {
        y = x / s;
    } else {
        int e;
        const double m = std::frexp(s, &e);
        if (e <= -1022) {
            s = m;
            x = std::ldexp(x, -e);
        } else {
            e = 0;
        }
        exponent = e;
        y = x * (1.0 / s);
    }
    const double d = std::fabs(y);
    const double r = std::floor(d) + 0.5;
    auto signed_ = [y](double v) { return y < 0 ? -v : v; };
    double c;
    if (down) c = signed_(std::floor(d));
    else if (floor) c = std::floor(y);
    else if (ceiling) c = std::ceil(y);
    else if (d > r) c = signed_(std::ceil(d));
    else if (d < r) c = signed_(std::floor(d));
    else if (even) c = signed_(std::fmod(d, 2.0) >= 1.0 ? std::ceil(d) : std::floor(d));
    else if (half_down) c = signed_(std::floor(d));
    else if (half_ceiling) c = std::ceil(y);
    else c = signed_(std::ceil(d));

    double result;
    if (s >= 1.0) {
        result = c * s;
        // The largest double, or an infinity reached from a finite value:
        // the multiple does not fit.
        if (std::fabs(result) == largest || (std::isinf(result) && std::isfinite(original)))
            fire(ErrorId::math_overflow);
    } else if (!std::isfinite(y) && std::isfinite(original) && s > 0.0) {
        // x / scale left the double range: x is then far beyond 2^53
        // scales, already a multiple to within its own precision, and every
        // mode keeps it (rather than an infinity).
        result = original;
    } else {
        result = std::ldexp(c / (1.0 / s), exponent);
    }

    if (st == type::integer) {
        // An integer! scale gives an integer!: it must fit in 32 bits.
        if (!(result > -2147483649.0 && result < 2147483648.0)) fire(ErrorId::math_overflow);
        *value = cell::integer(static_cast<i32>(result));
    } else {
        *value = typed(scale ? st : vt, result);
    }
}

// /seed seeds the generator with the two 32-bit halves of the double XORed
// (the result is unset!); otherwise x becomes a random value between 0 and
// x, keeping the value's type (percent! and time! inherit this).
void random(Cell* value, bool seed, bool secure, bool) {
    if (seed) {
        random::seed(static_cast<i32>(value->data2 ^ value->data3));
        *value = unset::value;
        return;
    }
    *value = typed(cell::type_of(*value), random_scaled(get(*value), secure));
}

constexpr ActionTable float_actions = {
    .make = make, .random = random, .to = make, .form = form, .mold = mold,
    .compare = compare, .absolute = absolute, .add = add, .divide = divide, .multiply = multiply,
    .negate = negate, .power = power, .remainder = remainder, .round = round, .subtract = subtract,
    .even_q = even_q, .odd_q = odd_q,
};

}  // namespace

void init() { registry::add(type::float_, 0, "float!", float_actions); }

}  // namespace oru::float_
