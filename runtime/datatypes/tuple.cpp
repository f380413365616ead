// tuple!: value helpers, the byte arithmetic and the handlers.
//
// Handlers copy the bytes out of the cell, work on the copy and store a
// whole new cell, so a result never keeps bytes past its length. Byte
// arithmetic runs in 64 bits or in doubles and is clamped before it is
// stored.
#include "runtime/datatypes/tuple.h"

#include "interpreter/actions.h"
#include "interpreter/stack.h"
#include "runtime/calls.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/path_store.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/unset.h"
#include "runtime/fire.h"
#include "runtime/random.h"
#include "runtime/registry.h"
#include "runtime/words.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

namespace oru::tuple {

namespace {

struct Bytes {
    u8 b[max_length] = {};
};

inline Bytes bytes_of(const Cell& t) {
    Bytes out;
    std::memcpy(out.b, &t.data1, sizeof out.b);
    return out;
}

inline Cell none_cell() { return Cell{type::none, 0, 0, 0}; }

}  // namespace

Cell make(const u8* bytes, i32 n) {
    u8 room[max_length] = {};
    if (n < 0) n = 0;
    if (n > max_length) n = max_length;
    std::memcpy(room, bytes, static_cast<size_t>(n));
    Cell c = cell::make(type::tuple | static_cast<u32>(n) << length_shift);
    std::memcpy(&c.data1, room, sizeof room);
    return c;
}

Cell* push(i32 length, u32 w1, u32 w2, u32 w3) {
    const u32 words[3] = {w1, w2, w3};
    u8 bytes[max_length];
    std::memcpy(bytes, words, sizeof bytes);
    return stack::push(make(bytes, length));
}

Cell* make_from_ints(i32 count, const i32* values) {
    u8 bytes[max_length] = {};
    const i32 n = std::clamp(count, 0, max_length);
    for (i32 i = 0; i < n; i++) bytes[i] = static_cast<u8>(values[i] & 0xFF);
    return stack::push(make(bytes, std::max(n, min_length)));
}

bool zero_q(const Cell& t) {
    const Bytes b = bytes_of(t);
    const i32 n = std::min(length_of(t), max_length);
    for (i32 i = 0; i < n; i++)
        if (b.b[i]) return false;
    return true;
}

i32 compare(Cell* value1, Cell* value2, i32) {
    if (cell::type_of(*value2) != type::tuple) return -2;
    const Bytes a = bytes_of(*value1), b = bytes_of(*value2);
    const i32 n = std::min(std::max(length_of(*value1), length_of(*value2)), max_length);
    for (i32 i = 0; i < n; i++)
        if (a.b[i] != b.b[i]) return a.b[i] < b.b[i] ? -1 : 1;
    return 0;
}

namespace {

inline u8 clamp_byte(i64 v) { return static_cast<u8>(v < 0 ? 0 : v > 255 ? 255 : v); }

// NaN gives 0, everything else is clamped and truncated.
inline u8 clamp_byte(double d) {
    if (!(d > 0.0)) return 0;
    if (d >= 255.0) return 255;
    return static_cast<u8>(d);
}

// b op n in 64 bits: nothing overflows, so the clamp sees the true result.
// Division and remainder by 0 raise math/zero-divide; division truncates.
i64 byte_op(i32 b, i32 n, i32 op) {
    switch (op) {
        case integer::op::add: return static_cast<i64>(b) + n;
        case integer::op::subtract: return static_cast<i64>(b) - n;
        case integer::op::multiply: return static_cast<i64>(b) * n;
        case integer::op::divide:
            if (n == 0) fire(ErrorId::math_zero_divide);
            return static_cast<i64>(b) / n;
        case integer::op::remainder:
            if (n == 0) fire(ErrorId::math_zero_divide);
            return static_cast<i64>(b) % n;
        case integer::op::or_: return b | n;
        case integer::op::and_: return b & n;
        default: return b ^ n;
    }
}

}  // namespace

void do_math(i32 op) {
    if (op < integer::op::add || op > integer::op::xor_) fire(ErrorId::internal_not_done);
    Cell* args = stack::arguments;
    const u32 lt = cell::type_of(args[0]);
    if (lt != type::tuple) {
        // A number on the left (float! and percent! hand the operands over
        // as they stand): only the commutative operations make sense.
        if (op == integer::op::subtract) fire(ErrorId::script_not_related, words::word::subtract, datatype::make(lt));
        if (op == integer::op::divide) fire(ErrorId::script_not_related, words::word::divide, datatype::make(lt));
        std::swap(args[0], args[1]);
    }
    const Cell right = args[1];
    const u32 rt = cell::type_of(right);
    const Bytes a = bytes_of(args[0]);
    i32 len = std::min(length_of(args[0]), max_length);
    u8 out[max_length] = {};
    switch (rt) {
        case type::integer: {
            const i32 n = integer::get(right);
            for (i32 i = 0; i < len; i++) out[i] = clamp_byte(byte_op(a.b[i], n, op));
            break;
        }
        case type::tuple: {
            const Bytes b = bytes_of(right);
            len = std::max(len, std::min(length_of(right), max_length));
            for (i32 i = 0; i < len; i++) out[i] = clamp_byte(byte_op(a.b[i], b.b[i], op));
            break;
        }
        case type::float_:
        case type::percent: {
            const double f = cell::get_float(right);
            if ((op == integer::op::divide || op == integer::op::remainder) && f == 0.0)
                fire(ErrorId::math_zero_divide);
            for (i32 i = 0; i < len; i++) out[i] = clamp_byte(float_::do_math_op(a.b[i], f, op));
            break;
        }
        default:
            fire(ErrorId::script_invalid_type, datatype::make(rt));
    }
    args[0] = make(out, len);
}

namespace {

// --- Actions ---------------------------------------------------------------

[[noreturn]] void refuse(const Cell& spec) { fire(ErrorId::script_bad_to_arg, datatype::make(type::tuple), spec); }

// The value of one hexadecimal digit, or -1. Bytes above 127 (parts of
// UTF-8 sequences) and control characters are no digits.
int hex_digit(u8 c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// #F80 (each digit d as d x 17), #FF8800 (digit pairs) or #FF880080 (four
// bytes); anything else is script/invalid-data with the issue.
Cell from_issue(const Cell& issue) {
    const char* text = symbol::get_c_string(static_cast<i32>(issue.data2));
    const size_t n = std::strlen(text);
    if (n != 3 && n != 6 && n != 8) fire(ErrorId::script_invalid_data, issue);
    u8 digits[8];
    for (size_t i = 0; i < n; i++) {
        const int d = hex_digit(static_cast<u8>(text[i]));
        if (d < 0) fire(ErrorId::script_invalid_data, issue);
        digits[i] = static_cast<u8>(d);
    }
    u8 bytes[4] = {};
    if (n == 3) {
        for (int i = 0; i < 3; i++) bytes[i] = static_cast<u8>(digits[i] * 17);
        return make(bytes, 3);
    }
    for (size_t i = 0; i < n / 2; i++) bytes[i] = static_cast<u8>(digits[2 * i] << 4 | digits[2 * i + 1]);
    return make(bytes, static_cast<i32>(n / 2));
}

// One byte of a block spec: an integer! or char! in 0-255, or a float!
// that truncates into that range.
u8 spec_byte(const Cell& v, const Cell& spec) {
    switch (cell::type_of(v)) {
        case type::integer:
        case type::char_: {
            const i32 n = integer::get(v);
            if (n < 0 || n > 255) refuse(spec);
            return static_cast<u8>(n);
        }
        case type::float_: {
            const double d = cell::get_float(v);
            if (!(d > -1.0 && d < 256.0)) refuse(spec);
            return static_cast<u8>(static_cast<i32>(d));
        }
        default: refuse(spec);
    }
}

// make and to: a tuple, a block of at most 12 bytes, the first bytes of a
// binary, an issue's hexadecimal digits, or the text of a tuple.
Cell* make_(Cell*, Cell* spec, u32) {
    const u32 st = cell::type_of(*spec);
    u8 bytes[max_length] = {};
    switch (st) {
        case type::tuple: return spec;
        case type::block:
        case type::paren:
        case type::hash: {
            SeriesBuffer* s = series::buffer_of(*spec);
            const i32 length = static_cast<i32>(s->length());
            const i32 head = std::clamp(cell::head_index(*spec), 0, length);
            const i32 n = length - head;
            if (n > max_length) refuse(*spec);
            for (i32 i = 0; i < n; i++) bytes[i] = spec_byte(s->cells()[head + i], *spec);
            return stack::push(make(bytes, std::max(n, min_length)));
        }
        case type::binary: {
            SeriesBuffer* s = series::buffer_of(*spec);
            const i32 length = static_cast<i32>(s->length());
            const i32 head = std::clamp(cell::head_index(*spec), 0, length);
            const i32 n = std::min(length - head, max_length);
            std::memcpy(bytes, s->head_ptr() + head, static_cast<size_t>(n));
            return stack::push(make(bytes, std::max(n, min_length)));
        }
        case type::issue: return stack::push(from_issue(*spec));
        default:
            if (series::string_like_q(st)) {
                Cell* out = stack::push(none_cell());
                const Cell loaded = load_value_in(*spec, out);
                if (cell::type_of(loaded) != type::tuple) refuse(*spec);
                *out = loaded;
                return out;
            }
            refuse(*spec);
    }
}

i32 form(Cell* value, Cell* buffer, Cell*, i32 limit) {
    const Bytes b = bytes_of(*value);
    const i32 n = std::min(length_of(*value), max_length);
    i32 written = 0;
    for (i32 i = 0; i < n; i++) {
        if (i) written += string::concatenate_literal(*buffer, ".");
        written += string::concatenate_literal(*buffer, integer::form_signed(b.b[i]));
    }
    return limit - written;
}

i32 mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* part, i32 limit, i32) {
    return form(value, buffer, part, limit);
}

// The byte an index names, 0-based: an integer! within 1..length (else
// script/out-of-range); any other index is script/invalid-type.
i32 byte_index(const Cell& tuple, const Cell& index) {
    const u32 t = cell::type_of(index);
    if (t != type::integer) fire(ErrorId::script_invalid_type, datatype::make(t));
    const i32 n = integer::get(index);
    if (n < 1 || n > length_of(tuple)) fire(ErrorId::script_out_of_range, index);
    return n - 1;
}

// t/n reads byte n; t/n: v stores an integer clamped to 0-255, or with none
// cuts the tuple before byte n (never below 3 bytes).
Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* container, Cell* previous, i32 index,
                bool, bool, bool, bool) {
    const i32 k = byte_index(*parent, *element);
    Bytes b = bytes_of(*parent);
    if (!value) return integer::push(b.b[k]);
    i32 len = length_of(*parent);
    switch (cell::type_of(*value)) {
        case type::integer: b.b[k] = clamp_byte(static_cast<i64>(integer::get(*value))); break;
        case type::none:
            std::fill(b.b + k, b.b + max_length, u8{0});
            len = std::max(k, min_length);
            break;
        default: fire(ErrorId::script_invalid_type, datatype::make(cell::type_of(*value)));
    }
    *parent = make(b.b, len);
    path_store::store_back(*parent, container, previous, path, index);
    return value;
}

Cell* pick(Cell* series, i32, Cell* index) { return integer::push(bytes_of(*series).b[byte_index(*series, *index)]); }

void add() { do_math(integer::op::add); }
void subtract() { do_math(integer::op::subtract); }
void multiply() { do_math(integer::op::multiply); }
void divide() { do_math(integer::op::divide); }
void remainder() { do_math(integer::op::remainder); }
void and_() { do_math(integer::op::and_); }
void or_() { do_math(integer::op::or_); }
void xor_() { do_math(integer::op::xor_); }

Cell* complement(Cell* value) {
    Bytes b = bytes_of(*value);
    const i32 len = std::min(length_of(*value), max_length);
    for (i32 i = 0; i < len; i++) b.b[i] = static_cast<u8>(~b.b[i]);
    *value = make(b.b, len);
    return value;
}

i32 length_q(Cell* value) { return length_of(*value); }

// The bytes within the length reversed; /part n reverses the first n only,
// /skip k reverses the order of k-byte groups.
void reverse(Cell* series, Cell* part, Cell* skip) {
    const i32 len = std::min(length_of(*series), max_length);
    i32 n = len;
    if (part) {
        if (cell::type_of(*part) != type::integer) fire(ErrorId::script_invalid_refine_arg, words::refinement::part, *part);
        if (integer::get(*part) < 0) fire(ErrorId::script_out_of_range, *part);
        n = std::min(integer::get(*part), len);
    }
    i32 k = 1;
    if (skip) {
        if (cell::type_of(*skip) != type::integer) fire(ErrorId::script_invalid_refine_arg, words::refinement::skip, *skip);
        k = integer::get(*skip);
        if (k < 1) fire(ErrorId::script_out_of_range, *skip);
        if (k == n) return;
        if (k > n || n % k != 0) fire(ErrorId::script_invalid_refine_arg, words::refinement::skip, *skip);
    }
    const Bytes b = bytes_of(*series);
    Bytes out = b;
    const i32 groups = n / k;
    for (i32 g = 0; g < groups; g++)
        std::memcpy(out.b + g * k, b.b + (groups - 1 - g) * k, static_cast<size_t>(k));
    *series = make(out.b, len);
}

// /seed seeds the generator with the XOR of the payload words (the result
// is unset!); otherwise every byte b becomes a uniform draw in 0..b.
void random(Cell* value, bool seed, bool secure, bool) {
    if (seed) {
        random::seed(static_cast<i32>(value->data1 ^ value->data2 ^ value->data3));
        *value = unset::value;
        return;
    }
    Bytes b = bytes_of(*value);
    const i32 len = std::min(length_of(*value), max_length);
    for (i32 i = 0; i < len; i++) b.b[i] = static_cast<u8>(random::int_uniform_distr(secure, b.b[i] + 1) - 1);
    *value = make(b.b, len);
}

constexpr ActionTable tuple_actions = {
    .make = make_, .random = random, .to = make_, .form = form, .mold = mold, .eval_path = eval_path,
    .compare = compare, .add = add, .divide = divide, .multiply = multiply, .remainder = remainder,
    .subtract = subtract, .and_ = and_, .complement = complement, .or_ = or_, .xor_ = xor_,
    .length_q = length_q, .pick = pick, .reverse = reverse,
};

}  // namespace

void init() { registry::add(type::tuple, 0, "tuple!", tuple_actions); }

}  // namespace oru::tuple
