// vector!: element access, making, text forms, comparison, element-wise
// arithmetic and the editing handlers, with the action table at the bottom.
//
// Elements are read and written at byte addresses fetched from the node
// right before use. Editing handlers gather the values they write into a
// C++ vector first (number cells hold no node, so nothing there needs the
// collector), check every one against the element type and the new size
// against the largest buffer, and only then tell the owner and move
// elements. Arithmetic with a scalar changes the vector in place; with two
// vectors it makes a new one. Integer and char elements wrap around 32 bits
// on add, subtract and multiply and are stored truncated to their width.
#include "runtime/datatypes/vector.h"

#include "interpreter/actions.h"
#include "interpreter/stack.h"
#include "runtime/cycles.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/word.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/registry.h"
#include "runtime/words.h"

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include <sys/mman.h>

namespace oru::vector {

namespace {

constexpr i64 max_bytes = 0x7FFFFFF0;  // the largest data area of a buffer

inline SeriesBuffer* buf(Node n) { return memory::buffer(n); }
inline i32 length_of(Node n) { return static_cast<i32>(buf(n)->length()); }
inline i32 clamped_head(const Cell& v) { return std::clamp(cell::head_index(v), 0, length_of(cell::node(v))); }
inline i32 rest_of(const Cell& v) { return length_of(cell::node(v)) - clamped_head(v); }
inline u32 width_of(const Cell& v) { return buf(cell::node(v))->unit(); }
inline bool integral(u32 element) { return element == type::integer || element == type::char_; }
inline bool element_type_q(u32 t) {
    return t == type::integer || t == type::char_ || t == type::float_ || t == type::percent;
}
inline i32 saturate(i64 v) { return v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : static_cast<i32>(v); }

// --- Element access ----------------------------------------------------------

// integer! elements read back sign-extended, char! elements as the unsigned
// code point they hold.
inline i32 read_int(const u8* p, u32 width, bool is_signed) {
    switch (width) {
        case 1: return is_signed ? static_cast<int8_t>(*p) : *p;
        case 2: {
            u16 v;
            std::memcpy(&v, p, sizeof v);
            return is_signed ? static_cast<int16_t>(v) : v;
        }
        default: {
            u32 v;
            std::memcpy(&v, p, sizeof v);
            return static_cast<i32>(v);
        }
    }
}

// The low 8, 16 or 32 bits.
inline void write_int(u8* p, u32 width, u32 bits) {
    switch (width) {
        case 1: *p = static_cast<u8>(bits); break;
        case 2: {
            const u16 v = static_cast<u16>(bits);
            std::memcpy(p, &v, sizeof v);
            break;
        }
        default: std::memcpy(p, &bits, sizeof bits);
    }
}

inline double read_float(const u8* p, u32 width) {
    if (width == 4) {
        float f;
        std::memcpy(&f, p, sizeof f);
        return f;
    }
    double d;
    std::memcpy(&d, p, sizeof d);
    return d;
}

// A finite double beyond the single range becomes the infinity of its sign
// (the conversion itself is defined only within the range).
inline float to_single(double d) {
    if (d > FLT_MAX) return std::numeric_limits<float>::infinity();
    if (d < -FLT_MAX) return -std::numeric_limits<float>::infinity();
    return static_cast<float>(d);
}

inline void write_float(u8* p, u32 width, double d) {
    if (width == 4) {
        const float f = to_single(d);
        std::memcpy(p, &f, sizeof f);
    } else {
        std::memcpy(p, &d, sizeof d);
    }
}

// A checked value of the element type into the element at p.
inline void write_value(u8* p, u32 width, u32 element, const Cell& v) {
    if (integral(element)) write_int(p, width, v.data2);
    else write_float(p, width, cell::get_float(v));
}

inline Cell element_cell(u32 element, const u8* p, u32 width) {
    if (integral(element)) return cell::make(element, 0, static_cast<u32>(read_int(p, width, element == type::integer)), 0);
    Cell c = cell::float_(read_float(p, width));
    cell::set_type(c, element);
    return c;
}

// Maps the pages of a new big buffer's first `bytes` bytes of data in one
// call, in huge pages where the kernel has them: a result written whole
// would otherwise take a page fault every 4 KiB. Only a hint, and only for
// big buffers, which have their OS block to themselves.
void populate(Node n, i64 bytes) {
#if defined(MADV_POPULATE_WRITE) && defined(MADV_HUGEPAGE)
    SeriesBuffer* s = buf(n);
    if (!(s->flags & sflag::big)) return;
    constexpr uintptr_t page = 4096;
    const auto start = reinterpret_cast<uintptr_t>(s->data());
    const uintptr_t from = (start + page - 1) & ~(page - 1), to = (start + static_cast<uintptr_t>(bytes)) & ~(page - 1);
    if (to <= from) return;
    madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
    madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
#else
    (void)n, (void)bytes;
#endif
}

// Pushes a new vector of n zero elements.
Cell* push_zeros(i64 n, u32 element, u32 width) {
    Cell* r = stack::push(none::value);
    make_at(*r, n, element, width);
    if (n > 0) {
        populate(cell::node(*r), n * width);
        SeriesBuffer* s = buf(cell::node(*r));
        std::memset(s->head_ptr(), 0, static_cast<size_t>(n) * width);
        s->tail = s->head + static_cast<u32>(n * width);
    }
    return r;
}

// Room for `bytes` bytes from the buffer's head: twice its capacity when
// that is enough (at most the largest buffer), else exactly what is needed.
SeriesBuffer* room_for(Node n, i64 bytes) {
    SeriesBuffer* s = buf(n);
    const i64 capacity = static_cast<i64>(s->size) - s->head;
    if (bytes <= capacity) return s;
    if (bytes > max_bytes) fire(ErrorId::internal_no_memory);
    const i64 want = std::min(2 * capacity >= bytes ? 2 * capacity : bytes, max_bytes);
    return memory::expand_series_copy(s, static_cast<i32>(want));
}

const char* type_name(u32 element) {
    switch (element) {
        case type::integer: return "integer!";
        case type::char_: return "char!";
        case type::float_: return "float!";
        default: return "percent!";
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Element access

void make_at(Cell& cell, i64 count, u32 element, u32 width) {
    if (count < 1) count = 1;
    if (count * width > max_bytes) fire(ErrorId::internal_no_memory);
    const Node n = memory::alloc_series(static_cast<i32>(count), width, 0);
    cell = cell::make(type::vector, 0, n, element);
}

Cell get_value(const Cell& vec, i32 abs_index) {
    SeriesBuffer* s = buf(cell::node(vec));
    const u32 w = s->unit();
    return element_cell(element_type(vec), s->head_ptr() + static_cast<size_t>(abs_index) * w, w);
}

void set_value(const Cell& vec, i32 abs_index, const Cell& value) {
    const u32 vt = cell::type_of(value), element = element_type(vec);
    if (!element_type_q(vt)) fire(ErrorId::script_invalid_type, datatype::make(vt));
    // The bits of a float would make no sense as an integer element.
    if (integral(element) && !integral(vt)) fire(ErrorId::script_invalid_arg, value);
    SeriesBuffer* s = buf(cell::node(vec));
    const u32 w = s->unit();
    u8* p = s->head_ptr() + static_cast<size_t>(abs_index) * w;
    if (integral(element)) write_int(p, w, value.data2);
    else write_float(p, w, integral(vt) ? static_cast<double>(integer::get(value)) : cell::get_float(value));
}

void to_block(const Cell& vec, Cell& result) {
    const Cell v = vec;
    const i32 head = clamped_head(v), n = rest_of(v);
    block::make_at(result, n);
    for (i32 i = 0; i < n; i++) block::rs_append(result, get_value(v, head + i));
}

i32 rs_length(const Cell& vec) { return rest_of(vec); }

void rs_clear(const Cell& vec) {
    SeriesBuffer* s = buf(cell::node(vec));
    s->tail = s->head + static_cast<u32>(clamped_head(vec)) * s->unit();
}

void rs_append_int(const Cell& vec, i32 n) {
    const Node node = cell::node(vec);
    SeriesBuffer* s = room_for(node, static_cast<i64>(buf(node)->tail - buf(node)->head) + 4);
    write_int(s->tail_ptr(), 4, static_cast<u32>(n));
    s->tail += 4;
}

// ---------------------------------------------------------------------------
// Arithmetic

namespace {

namespace op = integer::op;

// The integer operation on two elements: add, subtract and multiply wrap
// around 32 bits; divide and remainder are integer!'s (a quotient truncated,
// zero-divide, -2147483648 by -1 overflow).
inline i32 int_op(i32 code, i32 l, i32 r) {
    switch (code) {
        case op::add: return static_cast<i32>(static_cast<u32>(l) + static_cast<u32>(r));
        case op::subtract: return static_cast<i32>(static_cast<u32>(l) - static_cast<u32>(r));
        case op::multiply: return static_cast<i32>(static_cast<u32>(l) * static_cast<u32>(r));
        case op::or_: return l | r;
        case op::and_: return l & r;
        case op::xor_: return l ^ r;
        default: return integer::do_math_op(l, r, code, nullptr);
    }
}

// The operations whose truncated result does not depend on how the elements
// read back, so that the elements can be taken as unsigned words.
inline bool modular(i32 code) { return code != op::divide && code != op::remainder; }

template <class T, class F>
void each_pair(const u8* a, const u8* b, u8* out, i64 n, F f) {
    for (i64 i = 0; i < n; i++) {
        T x, y;
        std::memcpy(&x, a + i * sizeof(T), sizeof(T));
        std::memcpy(&y, b + i * sizeof(T), sizeof(T));
        const T z = static_cast<T>(f(static_cast<u32>(x), static_cast<u32>(y)));
        std::memcpy(out + i * sizeof(T), &z, sizeof(T));
    }
}

template <class T, class F>
void each_one(u8* p, i64 n, F f) {
    for (i64 i = 0; i < n; i++) {
        T x;
        std::memcpy(&x, p + i * sizeof(T), sizeof(T));
        const T z = static_cast<T>(f(static_cast<u32>(x)));
        std::memcpy(p + i * sizeof(T), &z, sizeof(T));
    }
}

// Two runs of the same width under a modular operation.
template <class T>
void pairs_modular(i32 code, const u8* a, const u8* b, u8* out, i64 n) {
    switch (code) {
        case op::add: each_pair<T>(a, b, out, n, [](u32 x, u32 y) { return x + y; }); break;
        case op::subtract: each_pair<T>(a, b, out, n, [](u32 x, u32 y) { return x - y; }); break;
        case op::multiply: each_pair<T>(a, b, out, n, [](u32 x, u32 y) { return x * y; }); break;
        case op::or_: each_pair<T>(a, b, out, n, [](u32 x, u32 y) { return x | y; }); break;
        case op::and_: each_pair<T>(a, b, out, n, [](u32 x, u32 y) { return x & y; }); break;
        default: each_pair<T>(a, b, out, n, [](u32 x, u32 y) { return x ^ y; }); break;
    }
}

// A run in place against a scalar on the right under a modular operation.
template <class T>
void scalar_modular(i32 code, u8* p, i64 n, u32 r) {
    switch (code) {
        case op::add: each_one<T>(p, n, [r](u32 x) { return x + r; }); break;
        case op::subtract: each_one<T>(p, n, [r](u32 x) { return x - r; }); break;
        case op::multiply: each_one<T>(p, n, [r](u32 x) { return x * r; }); break;
        case op::or_: each_one<T>(p, n, [r](u32 x) { return x | r; }); break;
        case op::and_: each_one<T>(p, n, [r](u32 x) { return x & r; }); break;
        default: each_one<T>(p, n, [r](u32 x) { return x ^ r; }); break;
    }
}

// Float elements have no bitwise operations: script/cannot-use before
// anything changes.
inline void check_float_op(i32 code) {
    if (code > op::remainder) float_::do_math_op(0, 0, code);
}

// Two vectors: a new vector of the larger width and the shorter length
// replaces the first argument.
void math_vectors(i32 code) {
    Cell* args = stack::arguments;
    const u32 element = element_type(args[0]);
    if (element_type(args[1]) != element) fire(ErrorId::script_not_same_type);
    if (!integral(element)) check_float_op(code);
    const u32 wa = width_of(args[0]), wb = width_of(args[1]), w = std::max(wa, wb);
    const i64 n = std::min(rest_of(args[0]), rest_of(args[1]));
    Cell* r = stack::push(none::value);
    make_at(*r, n, element, w);
    populate(cell::node(*r), n * w);
    // Addresses after the allocation; nothing below allocates.
    const u8* a = buf(cell::node(args[0]))->head_ptr() + static_cast<size_t>(clamped_head(args[0])) * wa;
    const u8* b = buf(cell::node(args[1]))->head_ptr() + static_cast<size_t>(clamped_head(args[1])) * wb;
    SeriesBuffer* s = buf(cell::node(*r));
    u8* out = s->head_ptr();
    if (integral(element) && wa == wb && modular(code)) {
        if (w == 1) pairs_modular<u8>(code, a, b, out, n);
        else if (w == 2) pairs_modular<u16>(code, a, b, out, n);
        else pairs_modular<u32>(code, a, b, out, n);
    } else if (integral(element)) {
        const bool is_signed = element == type::integer;
        for (i64 i = 0; i < n; i++) {
            const i32 v = int_op(code, read_int(a + i * wa, wa, is_signed), read_int(b + i * wb, wb, is_signed));
            write_int(out + i * w, w, static_cast<u32>(v));
        }
    } else {
        for (i64 i = 0; i < n; i++)
            write_float(out + i * w, w, float_::do_math_op(read_float(a + i * wa, wa), read_float(b + i * wb, wb), code));
    }
    s->tail = s->head + static_cast<u32>(n * w);
    args[0] = *r;
}

// The math actions: a vector on the left with a vector or a scalar; or a
// scalar on the left that integer!, char! or float! handed over.
void do_math(i32 code) {
    Cell* args = stack::arguments;
    if (cell::type_of(args[0]) != type::vector) {
        do_math_scalar(code, args[1], args[0], true);
        args[0] = args[1];
        return;
    }
    if (cell::type_of(args[1]) == type::vector) math_vectors(code);
    else do_math_scalar(code, args[0], args[1], false);
}

void add() { do_math(op::add); }
void subtract() { do_math(op::subtract); }
void multiply() { do_math(op::multiply); }
void divide() { do_math(op::divide); }
void remainder() { do_math(op::remainder); }
void and_() { do_math(op::and_); }
void or_() { do_math(op::or_); }
void xor_() { do_math(op::xor_); }

}  // namespace

void do_math_scalar(i32 code, const Cell& vec_cell, const Cell& scalar, bool scalar_left) {
    if (code < op::add || code > op::xor_) fire(ErrorId::internal_not_done);
    const Cell vec = vec_cell;
    const u32 element = element_type(vec), st = cell::type_of(scalar);
    double d;
    switch (st) {
        case type::integer:
        case type::char_: d = integer::get(scalar); break;
        case type::float_:
        case type::percent: d = cell::get_float(scalar); break;
        default: fire(ErrorId::internal_not_done);
    }
    const Node node = cell::node(vec);
    const i32 head = clamped_head(vec);
    const i64 n = length_of(node) - head;
    const u32 w = buf(node)->unit();
    // What leaves every element as it is, on the side the scalar is.
    auto identity = [&](double x) {
        if (scalar_left) return (code == op::add && x == 0) || (code == op::multiply && x == 1);
        return ((code == op::add || code == op::subtract) && x == 0) ||
               ((code == op::multiply || code == op::divide) && x == 1);
    };

    if (!integral(element)) {
        check_float_op(code);
        if (identity(d)) return;
        u8* p = buf(node)->head_ptr() + static_cast<size_t>(head) * w;
        for (i64 i = 0; i < n; i++) {
            const double x = read_float(p + i * w, w);
            write_float(p + i * w, w, scalar_left ? float_::do_math_op(d, x, code) : float_::do_math_op(x, d, code));
        }
        return;
    }

    // Truncated toward zero; NaN or beyond 32 bits has no integer.
    if (!integral(st) && !(d > -2147483649.0 && d < 2147483648.0)) fire(ErrorId::math_overflow);
    const i32 r = integral(st) ? integer::get(scalar) : static_cast<i32>(d);
    if (identity(r)) return;
    const bool is_signed = element == type::integer;
    u8* p = buf(node)->head_ptr() + static_cast<size_t>(head) * w;
    auto compute = [&](i32 x) { return scalar_left ? int_op(code, r, x) : int_op(code, x, r); };
    if (!modular(code)) {
        // A dry run first: a zero divisor or an overflow raises before any
        // element changes.
        for (i64 i = 0; i < n; i++) (void)compute(read_int(p + i * w, w, is_signed));
    } else if (!scalar_left || code != op::subtract) {
        // The other modular operations are commutative.
        const u32 bits = static_cast<u32>(r);
        if (w == 1) scalar_modular<u8>(code, p, n, bits);
        else if (w == 2) scalar_modular<u16>(code, p, n, bits);
        else scalar_modular<u32>(code, p, n, bits);
        return;
    }
    for (i64 i = 0; i < n; i++) write_int(p + i * w, w, static_cast<u32>(compute(read_int(p + i * w, w, is_signed))));
}

namespace {

// ---------------------------------------------------------------------------
// Making

// The element type a spec word names, 0 for another word.
u32 element_named(const Cell& word) {
    const std::pair<i32, u32> names[] = {{words::sym::integer, type::integer},
                                         {words::sym::char_, type::char_},
                                         {words::sym::float_, type::float_},
                                         {words::sym::percent, type::percent}};
    const i32 sym = symbol::canonical(word::symbol_of(word));
    for (const auto& [name, element] : names)
        if (sym == symbol::canonical(name)) return element;
    return 0;
}

// A new vector of the values of a block (from its head, each of exactly the
// element type, else script/invalid-arg) followed by zero elements up to
// `count`; values is none for zeros only.
Cell* make_filled(u32 element, u32 width, i64 count, const Cell& values) {
    const bool given = cell::type_of(values) == type::block;
    const Node vn = given ? cell::node(values) : 0;
    const i32 from = given ? clamped_head(values) : 0;
    const i32 nvals = given ? length_of(vn) - from : 0;
    for (i32 i = 0; i < nvals; i++) {
        const Cell& v = buf(vn)->cells()[from + i];
        if (cell::type_of(v) != element) fire(ErrorId::script_invalid_arg, v);
    }
    const i64 total = std::max<i64>(count, nvals);
    Cell* r = push_zeros(total, element, width);
    SeriesBuffer* s = buf(cell::node(*r));  // after the allocation
    for (i32 i = 0; i < nvals; i++) write_value(s->head_ptr() + static_cast<size_t>(i) * width, width, element,
                                                buf(vn)->cells()[from + i]);
    return r;
}

// [type bits count [values]], [type bits [values]], [percent! [values]].
Cell* make_from_spec(const Cell& spec, i32 head, i32 end) {
    const Node bn = cell::node(spec);
    auto at = [&](i32 i) { return buf(bn)->cells()[i]; };
    if (end - head < 2) fire(ErrorId::script_bad_make_arg, datatype::make(type::vector), spec);
    const u32 element = element_named(at(head));
    if (!element) fire(ErrorId::script_bad_make_arg, datatype::make(type::vector), spec);
    i32 i = head + 1;
    u32 width;
    if (cell::type_of(at(i)) == type::integer) {
        const i32 bits = integer::get(at(i++));
        if (element == type::percent) width = 8;
        else if (integral(element) && (bits == 8 || bits == 16 || bits == 32)) width = static_cast<u32>(bits / 8);
        else if (!integral(element) && (bits == 32 || bits == 64)) width = static_cast<u32>(bits / 8);
        else fire(ErrorId::script_bad_make_arg, datatype::make(type::vector), spec);
    } else if (element == type::percent) {
        width = 8;
    } else {
        fire(ErrorId::script_invalid_spec_field, spec);
    }
    i64 count = 0;
    bool counted = false;
    Cell values = none::value;
    if (i < end && cell::type_of(at(i)) == type::integer) {
        count = integer::get(at(i++));
        counted = true;
    }
    if (i < end && cell::type_of(at(i)) == type::block) values = at(i++);
    if (i != end || (!counted && cell::type_of(values) != type::block))
        fire(ErrorId::script_invalid_spec_field, spec);
    return make_filled(element, width, count, values);
}

Cell* make(Cell*, Cell* spec, u32) {
    const Cell sp = *spec;
    switch (cell::type_of(sp)) {
        case type::integer: return push_zeros(integer::get(sp), type::integer, 4);
        case type::float_: {
            const double d = cell::get_float(sp);
            if (std::isnan(d) || d >= 2147483648.0) fire(ErrorId::internal_no_memory);
            return push_zeros(d < 1 ? 0 : static_cast<i64>(d), type::integer, 4);
        }
        case type::block: {
            const i32 head = clamped_head(sp), end = length_of(cell::node(sp));
            if (head == end) return push_zeros(0, type::integer, 4);
            const Cell first = buf(cell::node(sp))->cells()[head];
            const u32 ft = cell::type_of(first);
            if (ft == type::word) return make_from_spec(sp, head, end);
            if (!element_type_q(ft)) fire(ErrorId::script_invalid_type, datatype::make(ft));
            return make_filled(ft, default_width(ft), 0, sp);
        }
        default: fire(ErrorId::internal_not_done);
    }
}

// ---------------------------------------------------------------------------
// Text

// The elements from the head, separated by single spaces; with a part
// budget, output stops once it is spent. Returns the budget left.
i32 write_elements(const Cell& value, Cell* buffer, bool mold, bool all, Cell* part, i32 budget) {
    const Cell v = value;
    const u32 element = element_type(v), w = width_of(v);
    const i32 head = clamped_head(v), n = rest_of(v);
    std::string text;  // number texts, appended in one go
    auto flush = [&] {
        string::concatenate_bytes(*buffer, reinterpret_cast<const u8*>(text.data()), static_cast<i32>(text.size()));
        text.clear();
    };
    for (i32 i = 0; i < n; i++) {
        if (part && budget <= 0) break;
        if (i) {
            text += ' ';
            budget--;
        }
        const Cell e = get_value(v, head + i);  // fetched again: writing a char may move the vector
        const char* piece;
        switch (element) {
            case type::integer: piece = integer::form_signed(integer::get(e)); break;
            case type::float_:
                piece = float_::form_float(cell::get_float(e), w == 4 ? float_::kind::float32 : float_::kind::float_);
                break;
            case type::percent: piece = float_::form_float(cell::get_float(e) * 100.0, float_::kind::percent); break;
            default: {
                flush();
                const u32 cp = e.data2;
                if (!mold) {
                    string::append_char(cell::node(*buffer), cp);
                    budget--;
                } else {
                    budget -= string::concatenate_literal(*buffer, "#\"");
                    budget -= string::append_escaped_char(cell::node(*buffer), cp, all);
                    budget -= string::concatenate_literal(*buffer, "\"");
                }
                continue;
            }
        }
        const size_t len = std::strlen(piece);
        text.append(piece, len);
        budget = saturate(static_cast<i64>(budget) - static_cast<i64>(len));
    }
    flush();
    return budget;
}

i32 form(Cell* value, Cell* buffer, Cell* part, i32 limit) {
    return write_elements(*value, buffer, false, false, part, limit);
}

// make vector! [1 2], make vector! [integer! 16 [1 2]], make vector!
// [integer! 32 []]: the bare elements only when there are some and they
// have their type's default width.
i32 mold(Cell* value, Cell* buffer, bool only, bool all, bool, Cell* part, i32 limit, i32) {
    const Cell v = *value;
    const u32 element = element_type(v), w = width_of(v);
    i32 budget = limit;
    if (!only) budget -= string::concatenate_literal(*buffer, "make vector! [");
    const bool bare = rest_of(v) > 0 && w == default_width(element);
    if (!bare) {
        const std::string prefix = std::string(type_name(element)) + " " + std::to_string(w * 8) + " [";
        budget -= string::concatenate_literal(*buffer, prefix.c_str());
    }
    budget = write_elements(v, buffer, true, all, part, budget);
    if (!bare) budget -= string::concatenate_literal(*buffer, "]");
    if (!only) budget -= string::concatenate_literal(*buffer, "]");
    return budget;
}

// ---------------------------------------------------------------------------
// Comparison

i32 compare(Cell* value1, Cell* value2, i32 code) {
    if (cell::type_of(*value2) != type::vector) return -2;
    const Cell a = *value1, b = *value2;
    const u32 element = element_type(a);
    if (element_type(b) != element) fire(ErrorId::script_not_same_type);
    namespace cmp = actions::op;
    const bool equality = code == cmp::equal || code == cmp::not_equal || code == cmp::strict_equal ||
                          code == cmp::find || code == cmp::strict_find || code == cmp::hash;
    if (cell::node(a) == cell::node(b) && clamped_head(a) == clamped_head(b)) {
        if (code == cmp::same || equality) return 0;
    }
    if (code == cmp::same) return -1;
    const i32 la = rest_of(a), lb = rest_of(b);
    if (equality && la != lb) return 1;
    const u32 wa = width_of(a), wb = width_of(b);
    const u8* pa = buf(cell::node(a))->head_ptr() + static_cast<size_t>(clamped_head(a)) * wa;
    const u8* pb = buf(cell::node(b))->head_ptr() + static_cast<size_t>(clamped_head(b)) * wb;
    const bool is_signed = element == type::integer;
    for (i32 i = 0, n = std::min(la, lb); i < n; i++) {
        if (integral(element)) {
            const i32 x = read_int(pa + static_cast<size_t>(i) * wa, wa, is_signed);
            const i32 y = read_int(pb + static_cast<size_t>(i) * wb, wb, is_signed);
            if (x != y) return x < y ? -1 : 1;
        } else {
            const double x = read_float(pa + static_cast<size_t>(i) * wa, wa);
            const double y = read_float(pb + static_cast<size_t>(i) * wb, wb);
            if (x < y) return -1;
            if (x > y) return 1;
        }
    }
    return la < lb ? -1 : la > lb ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Editing

// The values an edit writes, each checked against the element type: the
// elements of a block!, paren! or hash! (at most `part` of them when part >=
// 0), with `more` also of the path family and of a vector!, else the value
// itself.
std::vector<Cell> values_for(const Cell& series, const Cell& value, i32 part, bool more) {
    const u32 element = element_type(series), vt = cell::type_of(value);
    std::vector<Cell> out;
    const bool list = vt == type::block || vt == type::paren || vt == type::hash ||
                      (more && vt >= type::path && vt <= type::get_path);
    if (list || (more && vt == type::vector)) {
        const Node n = cell::node(value);
        const i32 from = clamped_head(value);
        i64 count = length_of(n) - from;
        if (part >= 0 && part < count) count = part;
        out.reserve(static_cast<size_t>(count));
        for (i32 i = 0; i < count; i++) out.push_back(list ? buf(n)->cells()[from + i] : get_value(value, from + i));
    } else {
        out.push_back(value);
    }
    for (const Cell& v : out)
        if (cell::type_of(v) != element) fire(ErrorId::script_invalid_arg, v);
    return out;
}

// Replaces `replaced` elements at absolute index pos by dup copies of the
// values; the owner hears `before` and `after`. Returns the index past the
// new elements, or -1 when nothing was written because the owner's handler
// changed the series first.
i64 write_values(Cell* series, i32 pos, i64 replaced, const std::vector<Cell>& vals, i32 dup, const Cell& value,
                 const Cell& before, const Cell& after) {
    const Node sn = cell::node(*series);
    const u32 element = element_type(*series), w = buf(sn)->unit();
    const i64 len = length_of(sn);
    const i64 count = static_cast<i64>(vals.size());
    const i64 total = count * dup;
    const i64 new_len = len - replaced + total;
    if (total > max_bytes || new_len * w > max_bytes) fire(ErrorId::internal_no_memory);
    if (total == 0 && replaced == 0) return pos;
    if (!series::notify_before(*series, before, &value, pos, saturate(total))) return -1;
    SeriesBuffer* s = room_for(sn, new_len * w);
    u8* base = s->head_ptr();
    std::memmove(base + (pos + total) * w, base + (pos + replaced) * w, static_cast<size_t>(len - pos - replaced) * w);
    u8* at = base + static_cast<size_t>(pos) * w;
    for (i64 i = 0; i < count; i++) write_value(at + i * w, w, element, vals[static_cast<size_t>(i)]);
    if (dup > 1 && count > 0) oru::fill(at, static_cast<size_t>(count) * w, static_cast<size_t>(dup));
    s->tail = s->head + static_cast<u32>(new_len * w);
    series::notify(*series, after, &value, pos, saturate(total));
    return pos + total;
}

// append and insert: the dispatcher passes /part as a count of the value's
// elements (-1 when absent) and stops a /dup count below 1 itself. Append
// leaves the head where it was; insert moves it past the new elements.
void insertion(Cell* series, Cell* value, i32 part, bool, i32 dup, bool append) {
    if (dup < 1) return;
    series::rest(*series, false);  // a head past the tail comes back to it
    const std::vector<Cell> vals = values_for(*series, *value, part, false);
    const i32 pos = append ? length_of(cell::node(*series)) : clamped_head(*series);
    const i64 next = write_values(series, pos, 0, vals, dup, *value, append ? words::word::append : words::word::insert,
                                  append ? words::word::appended : words::word::inserted);
    if (next >= 0 && !append) series->data1 = static_cast<u32>(next);
}

// change: the /part count of elements (else as many as are written, at most
// the rest) is replaced by dup copies of the values; answers the series just
// past the new elements.
void change(Cell* series, Cell* value, Cell* part, bool, i32 dup) {
    if (dup < 1) return;
    series::rest(*series, false);
    const i32 pos = clamped_head(*series);
    const i64 left = length_of(cell::node(*series)) - pos;
    const std::vector<Cell> vals = values_for(*series, *value, -1, true);
    i64 replaced = static_cast<i64>(vals.size()) * dup;
    if (part) {
        replaced = cell::type_of(*part) == type::integer ? integer::get(*part) : series::part_length(*series, *part);
        if (replaced < 0) replaced = 0;
    }
    replaced = std::min(replaced, left);
    const i64 next = write_values(series, pos, replaced, vals, dup, *value, words::word::change, words::word::changed);
    if (next >= 0) series->data1 = static_cast<u32>(next);
}

// Own handlers; the positional, searching and editing handlers of string!
// and series!, which reach the elements through the vector service.
constexpr ActionTable vector_actions = {
    .make = make, .random = inherit, .reflect = inherit, .form = form, .mold = mold,
    .eval_path = inherit, .compare = compare,
    .add = add, .divide = divide, .multiply = multiply, .remainder = remainder, .subtract = subtract,
    .and_ = and_, .or_ = or_, .xor_ = xor_,
    .append = insertion, .at = inherit, .back = inherit, .change = change, .clear = inherit, .copy = inherit,
    .find = inherit, .head = inherit, .head_q = inherit, .index_q = inherit, .insert = insertion,
    .length_q = inherit, .move = inherit, .next = inherit, .pick = inherit, .poke = inherit, .remove = inherit,
    .reverse = inherit, .select = inherit, .sort = inherit, .skip = inherit, .tail = inherit,
    .tail_q = inherit, .take = inherit, .modify = inherit,
};

}  // namespace

void init() {
    registry::add(type::vector, type::string, "vector!", vector_actions);
    series::vector_service = series::VectorService{get_value, set_value, to_block};
}

}  // namespace oru::vector
