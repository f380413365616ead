// money!: the digit packing, the conversions, the arithmetic and the
// handlers.
//
// Every operation reads its operands' digits into 128-bit magnitudes (a
// value's 22 digits as one count of hundred-thousandths), works on those and
// packs the result with make, which checks nothing: each caller checks its
// result against `limit` first. Handlers read their operands into locals
// before anything can allocate.
#include "runtime/datatypes/money.h"

#include "codecs/lexer_values.h"
#include "interpreter/actions.h"
#include "interpreter/stack.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/object.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/unset.h"
#include "runtime/datatypes/word.h"
#include "runtime/fire.h"
#include "runtime/float_text.h"
#include "runtime/memory.h"
#include "runtime/random.h"
#include "runtime/registry.h"
#include "runtime/system_object.h"
#include "runtime/words.h"

#include <cctype>
#include <cmath>
#include <cstring>
#include <string>

namespace oru::money {

namespace {

constexpr u64 e11 = 100000000000ull;  // ten to the eleventh: half of the 22 digits

// Payload bytes: byte 0 the currency, bytes 1-11 the digits (memory order of
// payload words 1-3).
struct Bytes {
    u8 b[12];
};
Bytes bytes_of(const Cell& m) {
    Bytes p;
    std::memcpy(p.b, &m.data1, sizeof p.b);
    return p;
}

inline u8 bcd(u32 two) { return static_cast<u8>((two / 10) << 4 | (two % 10)); }
inline u32 from_bcd(u8 b) { return (b >> 4) * 10u + (b & 15u); }

[[noreturn]] void overflow() { fire(ErrorId::script_type_limit, datatype::make(type::money)); }
[[noreturn]] void bad_make(const Cell& spec) {
    fire(ErrorId::script_bad_make_arg, datatype::make(type::money), spec);
}

}  // namespace

i32 digit_at(const Cell& m, i32 k) {
    const u8 b = bytes_of(m).b[1 + (k - 1) / 2];
    return k % 2 ? b >> 4 : b & 15;
}

Amount amount_of(const Cell& m) {
    const Bytes p = bytes_of(m);
    // Digits 1-11 and 12-22 each fit 64 bits.
    u64 hi = 0, lo = 0;
    for (i32 i = 1; i <= 5; i++) hi = hi * 100 + from_bcd(p.b[i]);
    hi = hi * 10 + (p.b[6] >> 4);
    lo = p.b[6] & 15u;
    for (i32 i = 7; i <= 11; i++) lo = lo * 100 + from_bcd(p.b[i]);
    return static_cast<Amount>(hi) * e11 + lo;
}

Cell make(bool negative, u32 currency, Amount amount) {
    u64 hi = static_cast<u64>(amount / e11), lo = static_cast<u64>(amount % e11);
    Bytes p;
    p.b[0] = static_cast<u8>(currency);
    for (i32 i = 11; i >= 7; i--, lo /= 100) p.b[i] = bcd(static_cast<u32>(lo % 100));
    p.b[6] = static_cast<u8>((hi % 10) << 4 | lo);  // digit 11 high, digit 12 low
    hi /= 10;
    for (i32 i = 5; i >= 1; i--, hi /= 100) p.b[i] = bcd(static_cast<u32>(hi % 100));
    Cell m = cell::make(type::money | (negative && amount != 0 ? negative_flag : 0));
    std::memcpy(&m.data1, p.b, sizeof p.b);
    return m;
}

bool make_at(Cell& out, bool negative, const u8* code, i32 code_n, const u8* int_digits, i32 int_n,
             const u8* frac_digits, i32 frac_n) {
    i32 currency = 0;
    if (code_n > 0) {
        currency = find_currency(code, code_n);
        if (currency < 1 || currency > max_currency_index) return false;
    }
    Amount whole = 0;
    i32 significant = 0;
    for (i32 i = 0; i < int_n; i++) {
        const u8 c = int_digits[i];
        if (c == '\'') continue;
        if (c < '0' || c > '9') return false;
        if (significant == 0 && c == '0') continue;
        if (++significant > integer_digits) return false;
        whole = whole * 10 + (c - '0');
    }
    u64 fraction = 0;
    i32 taken = 0;
    for (i32 i = 0; i < frac_n && taken < fraction_digits; i++) {
        const u8 c = frac_digits[i];
        if (c == '\'') continue;
        if (c < '0' || c > '9') return false;
        fraction = fraction * 10 + (c - '0');
        taken++;
    }
    for (; taken < fraction_digits; taken++) fraction *= 10;
    out = make(negative, static_cast<u32>(currency), whole * scale + fraction);
    return true;
}

Cell make_at_raw(bool negative, u32 currency, const u8* bytes) {
    Cell m = cell::make(type::money | (negative ? negative_flag : 0));
    u8 b[12];
    b[0] = static_cast<u8>(currency);
    std::memcpy(b + 1, bytes, 11);
    std::memcpy(&m.data1, b, sizeof b);
    return m;
}

Cell from_integer(i32 n) {
    const u64 magnitude = n < 0 ? static_cast<u64>(-static_cast<i64>(n)) : static_cast<u64>(n);
    return make(n < 0, 0, static_cast<Amount>(magnitude) * scale);
}

Cell from_float(double d, bool strict) {
    const double mag = std::fabs(d);
    if (!std::isfinite(d) || mag >= 1e17 || (mag != 0.0 && mag < 1e-05)) bad_make(cell::float_(d));
    if (mag == 0.0) return make(false, 0, 0);
    char text[float_text::max_precision];
    int point = 0;
    const int count = float_text::digits_of(mag, 0, text, &point);
    // Digit i weighs 10^(point - 1 - i), that is 10^(point + 4 - i)
    // hundred-thousandths; the ones below one are past the fifth fraction
    // digit.
    if (strict && count - point > fraction_digits) bad_make(cell::float_(d));
    Amount a = 0;
    int i = 0;
    for (; i < count && point + 4 - i >= 0; i++) a = a * 10 + static_cast<u32>(text[i] - '0');
    for (int e = point + 4 - i; e >= 0; e--) a *= 10;  // the zeros after the last digit
    return make(d < 0, 0, a);
}

double to_float(const Cell& m) {
    const Amount a = amount_of(m);
    double d;
    if (a <= UINT64_MAX) {
        d = float_text::decimal_to_double(static_cast<u64>(a), -fraction_digits);
    } else {
        char text[digits + 1];
        for (i32 k = 1; k <= digits; k++) text[k - 1] = static_cast<char>('0' + digit_at(m, k));
        i32 remaining;
        d = float_text::text_to_float(text, text + digits, -fraction_digits, &remaining);
        if (remaining != 0) fire(ErrorId::script_bad_make_arg, datatype::make(type::float_), m);
    }
    return negative_bit(m) ? -d : d;
}

i32 to_integer_part(const Cell& m) {
    const Amount whole = amount_of(m) / scale;
    const bool negative = negative_bit(m);
    if (whole > (negative ? Amount{2147483648u} : Amount{2147483647u}))
        fire(ErrorId::script_type_limit, datatype::make(type::integer));
    const i64 v = static_cast<i64>(whole);
    return static_cast<i32>(negative ? -v : v);
}

void set_currency(Cell& m, i32 index) {
    Bytes p = bytes_of(m);
    p.b[0] = static_cast<u8>(index);
    std::memcpy(&m.data1, p.b, sizeof p.b);
}

bool zero_q(const Cell& m) { return (m.data1 & 0xFFFFFF00u) == 0 && m.data2 == 0 && m.data3 == 0; }
i32 sign(const Cell& m) { return zero_q(m) ? 0 : negative_bit(m) ? -1 : 1; }
bool negative_q(const Cell& m) { return sign(m) < 0; }
bool positive_q(const Cell& m) { return sign(m) > 0; }

// --- Arithmetic ------------------------------------------------------------------

namespace {

struct Operand {
    bool negative;
    u32 currency;
    Amount amount;
};

Operand operand_of(const Cell& m) { return {negative_bit(m), currency_of(m), amount_of(m)}; }

// An operand of the arithmetic: money! as it is, integer! exactly, float!
// and percent! by their shortest digits (cut after the fifth fraction digit).
Operand as_operand(const Cell& v) {
    switch (cell::type_of(v)) {
        case type::money: return operand_of(v);
        case type::integer: return operand_of(from_integer(integer::get(v)));
        case type::float_:
        case type::percent: return operand_of(from_float(cell::get_float(v), false));
        default: fire(ErrorId::script_invalid_type, datatype::make(cell::type_of(v)));
    }
}

// a + b with signs; the sum's sign is the larger magnitude's.
Operand signed_add(const Operand& a, const Operand& b) {
    if (a.negative == b.negative) return {a.negative, 0, a.amount + b.amount};
    if (a.amount >= b.amount) return {a.negative, 0, a.amount - b.amount};
    return {b.negative, 0, b.amount - a.amount};
}

}  // namespace

void do_math(i32 op) {
    if (op < integer::op::add || op > integer::op::remainder) fire(ErrorId::internal_not_done);
    Cell* args = stack::arguments;
    const u32 t1 = cell::type_of(args[0]), t2 = cell::type_of(args[1]);
    const bool both = t1 == type::money && t2 == type::money;
    if (both && op == integer::op::multiply) fire(ErrorId::script_invalid_type, datatype::make(type::money));
    // A number divided by an amount has no meaning as an amount.
    if (t1 != type::money && (op == integer::op::divide || op == integer::op::remainder) && t2 == type::money)
        fire(ErrorId::script_invalid_type, datatype::make(type::money));
    const Operand a = as_operand(args[0]);
    const Operand b = as_operand(args[1]);
    if (a.currency && b.currency && a.currency != b.currency)
        fire(ErrorId::script_wrong_denom, args[0], args[1]);
    const u32 currency = b.currency ? b.currency : a.currency;
    Operand r{};
    switch (op) {
        case integer::op::add: r = signed_add(a, b); break;
        case integer::op::subtract: r = signed_add(a, {!b.negative, 0, b.amount}); break;
        case integer::op::multiply: {
            Amount p;
            if (__builtin_mul_overflow(a.amount, b.amount, &p)) overflow();
            r = {a.negative != b.negative, 0, p / scale};
            break;
        }
        case integer::op::divide:
            if (b.amount == 0) fire(ErrorId::math_zero_divide);
            r = {a.negative != b.negative, 0, a.amount * scale / b.amount};  // a.amount * scale < 10^27
            break;
        default:  // remainder: the sign is the dividend's
            if (b.amount == 0) fire(ErrorId::math_zero_divide);
            r = {a.negative, 0, a.amount % b.amount};
            break;
    }
    if (r.amount >= limit) overflow();
    const Cell result = make(r.negative, currency, r.amount);
    args[0] = both && op == integer::op::divide ? cell::float_(to_float(result)) : result;
}

namespace {

// --- Text ------------------------------------------------------------------------

// system/options/money-digits when the system object holds an integer there,
// else 2; at most 5 (below 1: no fraction).
i32 money_digits() {
    static system_object::Path digits_path{"options", "money-digits"};
    const i32 n = system_object::integer_at(digits_path, 2);
    return n > fraction_digits ? fraction_digits : n;
}

// "-" (a non-zero negative amount), the currency code, "$", the integer
// digits (grouped by "'" in threes when asked) and n fraction digits, cut.
i32 write(const Cell& m, Cell* buffer, i32 limit, bool group, i32 n) {
    char text[96];
    char* p = text;
    if (negative_q(m)) *p++ = '-';
    if (const u32 c = currency_of(m)) p += currency_code(static_cast<i32>(c), p, 32);
    *p++ = '$';
    const Bytes b = bytes_of(m);
    char d[digits];
    for (i32 i = 0; i < 11; i++) {
        d[2 * i] = static_cast<char>('0' + (b.b[1 + i] >> 4));
        d[2 * i + 1] = static_cast<char>('0' + (b.b[1 + i] & 15));
    }
    i32 first = 0;
    while (first < integer_digits - 1 && d[first] == '0') first++;
    for (i32 i = first; i < integer_digits; i++) {
        if (group && i > first && (integer_digits - i) % 3 == 0) *p++ = '\'';
        *p++ = d[i];
    }
    if (n >= 1) {
        *p++ = '.';
        for (i32 i = 0; i < n; i++) *p++ = d[integer_digits + i];
    }
    const i32 len = static_cast<i32>(p - text);
    string::concatenate_bytes(*buffer, reinterpret_cast<const u8*>(text), len);
    return limit - len;
}

i32 form(Cell* value, Cell* buffer, Cell*, i32 limit) { return write(*value, buffer, limit, true, money_digits()); }

i32 mold(Cell* value, Cell* buffer, bool, bool all, bool, Cell*, i32 limit, i32) {
    return write(*value, buffer, limit, false, all ? fraction_digits : money_digits());
}

// --- make and to -----------------------------------------------------------------

bool string_family(u32 t) {
    return t == type::string || t == type::file || t == type::url || t == type::tag || t == type::email ||
           t == type::ref;
}

Cell* to(Cell*, Cell* spec, u32) {
    switch (cell::type_of(*spec)) {
        case type::money: return spec;
        case type::integer: return stack::push(from_integer(integer::get(*spec)));
        case type::float_: return stack::push(from_float(cell::get_float(*spec), true));
        default: break;
    }
    if (!string_family(cell::type_of(*spec)))
        fire(ErrorId::script_bad_to_arg, datatype::make(type::money), *spec);
    Cell text = *spec;
    const i32 n = string::rs_length_q(text);
    i32 error = 0;
    const Cell v = lexer::scan_money(string::rs_head(text), memory::buffer(cell::node(text))->unit(),
                                     n < 0 ? 0 : n, &error);
    if (error) fire(ErrorId::script_bad_to_arg, datatype::make(type::money), *spec);
    return stack::push(v);
}

// [currency amount fraction]: the currency word and the fraction (an
// integer of hundred-thousandths) are optional; a float amount comes last.
Cell from_block(const Cell& spec) {
    SeriesBuffer* s = series::buffer_of(spec);
    const i32 head = cell::head_index(spec) < 0 ? 0 : cell::head_index(spec);
    const i32 n = static_cast<i32>(s->length()) - head;
    if (n < 1 || n > 3) bad_make(spec);
    Cell v[3];
    for (i32 i = 0; i < n; i++) v[i] = s->cells()[head + i];
    i32 i = 0;
    i32 currency = 0;
    if (cell::type_of(v[0]) == type::word) {
        currency = find_currency(v[0]);
        if (currency < 1 || currency > max_currency_index) bad_make(spec);
        i++;
    }
    if (i >= n) bad_make(spec);
    Cell amount;
    switch (cell::type_of(v[i])) {
        case type::integer: amount = from_integer(integer::get(v[i])); break;
        case type::float_:
            if (i + 1 < n) bad_make(spec);
            amount = from_float(cell::get_float(v[i]), true);
            break;
        default: bad_make(spec);
    }
    i++;
    Amount a = amount_of(amount);
    if (i < n) {
        if (cell::type_of(v[i]) != type::integer) bad_make(spec);
        const i32 f = integer::get(v[i]);
        if (f < 0 || f > max_fraction) bad_make(spec);
        a += static_cast<Amount>(f);
        i++;
    }
    if (i < n) bad_make(spec);
    return make(negative_bit(amount), static_cast<u32>(currency), a);
}

Cell* make_(Cell* proto, Cell* spec, u32 t) {
    switch (cell::type_of(*spec)) {
        case type::word: {
            const i32 currency = find_currency(*spec);
            if (currency < 1 || currency > max_currency_index) bad_make(*spec);
            return stack::push(make(false, static_cast<u32>(currency), 0));
        }
        case type::block: return stack::push(from_block(*spec));
        default: return to(proto, spec, t);
    }
}

// --- compare ---------------------------------------------------------------------

i32 sign_of(bool negative, Amount a) { return a == 0 ? 0 : negative ? -1 : 1; }

i32 compare_amounts(bool n1, Amount a1, bool n2, Amount a2) {
    const i32 s1 = sign_of(n1, a1), s2 = sign_of(n2, a2);
    if (s1 != s2) return s1 < s2 ? -1 : 1;
    const i32 r = a1 < a2 ? -1 : a1 > a2 ? 1 : 0;
    return s1 < 0 ? -r : r;
}

// An amount against a float, by value and with both signs: a float beyond
// the amounts or too small to be one still orders, and one with more than
// five fraction digits is unequal to every amount and lies between two of
// them. NaN equals nothing and orders nowhere.
i32 compare_float(const Cell& m, double f, i32 op) {
    if (std::isnan(f)) {
        switch (op) {
            case actions::op::lesser:
            case actions::op::lesser_equal: return 1;  // every ordering test is false
            case actions::op::greater:
            case actions::op::greater_equal: return -1;
            case actions::op::sort:
            case actions::op::sort_reverse: return 0;
            default: return 1;
        }
    }
    const Operand a = operand_of(m);
    const double mag = std::fabs(f);
    if (mag >= 1e17) return f > 0 ? -1 : 1;
    if (mag != 0.0 && mag < 1e-05) {
        // Every non-zero amount is at least 0.00001 in magnitude.
        const i32 s = sign_of(a.negative, a.amount);
        return s != 0 ? s : f > 0 ? -1 : 1;
    }
    if (mag == 0.0) return sign_of(a.negative, a.amount);
    char text[float_text::max_precision];
    int point = 0;
    const int count = float_text::digits_of(mag, 0, text, &point);
    Amount t = 0;
    int i = 0;
    for (; i < count && point + 4 - i >= 0; i++) t = t * 10 + static_cast<u32>(text[i] - '0');
    const bool cut = i < count;
    for (int e = point + 4 - i; e >= 0; e--) t *= 10;
    const i32 r = compare_amounts(a.negative, a.amount, f < 0, t);
    if (r != 0 || !cut) return r;
    return f > 0 ? -1 : 1;  // the float lies past t, away from zero
}

// Sort order of two currencies: none first, then by code, letter case aside.
i32 compare_currencies(u32 c1, u32 c2) {
    if (c1 == c2) return 0;
    if (!c1 || !c2) return c1 ? 1 : -1;
    char a[32], b[32];
    const i32 na = currency_code(static_cast<i32>(c1), a, 32), nb = currency_code(static_cast<i32>(c2), b, 32);
    for (i32 i = 0; i < na && i < nb; i++) {
        const int x = std::toupper(static_cast<unsigned char>(a[i])), y = std::toupper(static_cast<unsigned char>(b[i]));
        if (x != y) return x < y ? -1 : 1;
    }
    if (na != nb) return na < nb ? -1 : 1;
    return c1 < c2 ? -1 : 1;
}

i32 compare(Cell* value1, Cell* value2, i32 op) {
    const u32 t2 = cell::type_of(*value2);
    const bool strict = op == actions::op::strict_equal || op == actions::op::same || op == actions::op::hash;
    if (strict && t2 != type::money) return 1;
    const Cell m = *value1;
    // A number is an amount without a currency, and the sort codes put
    // those before every amount with one: the same order as between two
    // money values, so that a block of both sorts consistently.
    const bool sorting = op == actions::op::sort || op == actions::op::sort_reverse;
    if (sorting && (t2 == type::integer || t2 == type::float_) && currency_of(m)) return 1;
    switch (t2) {
        case type::integer: {
            const Operand a = operand_of(m), b = operand_of(from_integer(integer::get(*value2)));
            return compare_amounts(a.negative, a.amount, b.negative, b.amount);
        }
        case type::float_: return compare_float(m, cell::get_float(*value2), op);
        case type::money: break;
        default: return -2;
    }
    const Operand a = operand_of(m), b = operand_of(*value2);
    const bool compatible = !a.currency || !b.currency || a.currency == b.currency;
    switch (op) {
        case actions::op::lesser:
        case actions::op::lesser_equal:
        case actions::op::greater:
        case actions::op::greater_equal:
            if (!compatible) fire(ErrorId::script_wrong_denom, *value1, *value2);
            break;
        case actions::op::strict_equal:
        case actions::op::same:
            if (a.currency != b.currency) return 1;
            break;
        case actions::op::hash:
            if (b.currency && a.currency != b.currency) return 1;
            break;
        case actions::op::sort:
        case actions::op::sort_reverse:
            if (const i32 c = compare_currencies(a.currency, b.currency)) return c;
            break;
        default:
            if (!compatible) return 1;
            break;
    }
    return compare_amounts(a.negative, a.amount, b.negative, b.amount);
}

// --- Other actions ---------------------------------------------------------------

void absolute() { stack::arguments->header &= ~negative_flag; }
void add() { do_math(integer::op::add); }
void subtract() { do_math(integer::op::subtract); }
void multiply() { do_math(integer::op::multiply); }
void divide() { do_math(integer::op::divide); }
void remainder() { do_math(integer::op::remainder); }

void negate(Cell* value) {
    if (!zero_q(*value)) value->header ^= negative_flag;
}

bool odd_q(Cell* value) { return digit_at(*value, integer_digits) & 1; }
bool even_q(Cell* value) { return !odd_q(value); }

// The magnitude goes to a multiple of the scale: down, or up (away from
// zero), by the first of the mode refinements given, else to the nearest
// with halves up. r = m rem s is the distance down and s - r the distance
// up, so half-way is exactly 2r = s. /even keeps the even quotient.
void round(Cell* value, Cell* scale_value, bool even, bool down, bool half_down, bool floor, bool ceiling,
           bool half_ceiling) {
    const Operand v = operand_of(*value);
    if (v.amount == 0) return;
    Amount s = scale;
    if (scale_value) {
        switch (cell::type_of(*scale_value)) {
            case type::money: s = amount_of(*scale_value); break;
            case type::integer: s = amount_of(from_integer(integer::get(*scale_value))); break;
            case type::float_: s = amount_of(from_float(cell::get_float(*scale_value), true)); break;
            default:
                fire(ErrorId::script_not_related, stack::get_call(), datatype::make(cell::type_of(*scale_value)));
        }
    }
    if (s == 0) return;
    const Amount q = v.amount / s, r = v.amount % s;
    if (r == 0) return;
    const bool half = 2 * r == s;
    const bool nearest_up = r >= s - r;
    bool up;
    if (down) up = false;
    else if (floor) up = v.negative;
    else if (ceiling) up = !v.negative;
    else if (even) up = half ? (q & 1) != 0 : nearest_up;
    else if (half_down) up = half ? false : nearest_up;
    else if (half_ceiling) up = half ? !v.negative : nearest_up;
    else up = nearest_up;
    const Amount out = (q + (up ? 1 : 0)) * s;  // below 2 * 10^22
    if (out >= limit) overflow();
    *value = make(v.negative, v.currency, out);
}

// A uniform draw of 0..n, from three 31-bit draws (n is below 2^74).
Amount uniform(Amount n, bool secure) {
    Amount mask = 1;
    while (mask < n) mask = mask << 1 | 1;
    for (;;) {
        Amount x = 0;
        for (int i = 0; i < 3; i++)
            x = x << 31 | static_cast<u32>(secure ? random::secure_int() : random::rand());
        x &= mask;
        if (x <= n) return x;
    }
}

// /seed seeds the generator from the payload and the sign (the result is
// unset!); otherwise an amount from 0 up to the value's, sign and currency
// kept.
void random(Cell* value, bool seed, bool secure, bool) {
    if (seed) {
        random::seed(static_cast<i32>(value->data1 ^ value->data2 ^ value->data3 ^ (value->header & negative_flag)));
        *value = unset::value;
        return;
    }
    const Operand v = operand_of(*value);
    *value = make(v.negative, v.currency, uniform(v.amount, secure));
}

// --- Accessors -------------------------------------------------------------------

bool named(const Cell& element, i32 sym) {
    const u32 t = cell::type_of(element);
    return t >= type::word && t <= type::get_word &&
           symbol::canonical(word::symbol_of(element)) == symbol::canonical(sym);
}

// 1 for 1 or `code`, 2 for 2 or `amount`, else 0.
int accessor_of(const Cell& element) {
    if (cell::type_of(element) == type::integer) {
        const i32 k = integer::get(element);
        return k == 1 || k == 2 ? k : 0;
    }
    if (named(element, words::sym::code_2)) return 1;
    if (named(element, words::sym::amount)) return 2;
    return 0;
}

// The currency word (none without a currency), or the amount without it.
Cell* field(const Cell& m, int k) {
    if (k == 2) {
        Cell a = m;
        set_currency(a, 0);
        return stack::push(a);
    }
    char code[32];
    const i32 n = currency_code(static_cast<i32>(currency_of(m)), code, sizeof code);
    if (n == 0) return stack::push(none::value);
    return word::push_symbol(symbol::make_from(reinterpret_cast<const u8*>(code), n));
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* container, Cell* previous, i32 index,
                bool, bool, bool, bool) {
    (void)container, (void)previous, (void)index;
    const int k = accessor_of(*element);
    if (!k) fire(ErrorId::script_invalid_path, path ? *path : none::value, *element);
    if (value) fire(ErrorId::script_bad_path_set, path ? *path : none::value, *element);
    return field(*parent, k);
}

Cell* pick(Cell* series, i32, Cell* index) {
    const int k = accessor_of(*index);
    if (!k) fire(ErrorId::script_out_of_range, *index);
    return field(*series, k);
}

constexpr ActionTable money_actions = {
    .make = make_, .random = random, .to = to, .form = form, .mold = mold, .eval_path = eval_path,
    .compare = compare, .absolute = absolute, .add = add, .divide = divide, .multiply = multiply,
    .negate = negate, .remainder = remainder, .round = round, .subtract = subtract, .even_q = even_q,
    .odd_q = odd_q, .pick = pick,
};

}  // namespace

void init() { registry::add(type::money, 0, "money!", money_actions); }

}  // namespace oru::money
