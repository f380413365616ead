// point2D! and point3D!: coordinate helpers, arithmetic and the handlers the
// twins share.
//
// Handlers read every coordinate into locals before they append text or run
// another handler: the value may lie in a buffer that allocation moves.
#include "runtime/datatypes/point.h"

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
#include "runtime/datatypes/word.h"
#include "runtime/fire.h"
#include "runtime/hashtable.h"
#include "runtime/random.h"
#include "runtime/registry.h"
#include "runtime/words.h"

#include <bit>
#include <cmath>
#include <limits>

namespace oru::point {

u32 to_single(double d) {
    // Half a unit in the last place above the largest single: the tie rounds
    // to even, which is the infinity (the largest single's last bit is 1).
    constexpr double overflow = 3.4028235677973366e38;
    constexpr float largest = std::numeric_limits<float>::max();
    static_assert(overflow == static_cast<double>(largest) + 0x1p103);
    float f;
    if (std::isnan(d)) f = std::numeric_limits<float>::quiet_NaN();
    else if (d >= overflow) f = std::numeric_limits<float>::infinity();
    else if (d <= -overflow) f = -std::numeric_limits<float>::infinity();
    else if (d > largest) f = largest;
    else if (d < -largest) f = -largest;
    else f = static_cast<float>(d);
    u32 bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
}

double from_single(u32 bits) {
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

Cell make2D(double x, double y) { return cell::make(type::point2D, to_single(x), to_single(y)); }
Cell make3D(double x, double y, double z) {
    return cell::make(type::point3D, to_single(x), to_single(y), to_single(z));
}

namespace {

inline float single_of(u32 bits) {
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}
inline u32 word_of(const Cell& p, int i) { return i == 0 ? p.data1 : i == 1 ? p.data2 : p.data3; }

inline bool float_like(u32 t) { return t == type::float_ || t == type::percent; }

}  // namespace

void do_math(i32 op) {
    if (op < integer::op::add || op > integer::op::remainder) float_::do_math_op(0, 0, op);  // script/cannot-use
    Cell* args = stack::arguments;
    const u32 t = cell::type_of(args[0]);
    const int n = count_of(t);
    const Cell right = args[1];
    const u32 rt = cell::type_of(right);
    double operand[3] = {0, 0, 0};
    bool single_scale = false;
    if (rt == type::integer) {
        operand[0] = operand[1] = operand[2] = integer::get(right);
    } else if (float_like(rt)) {
        operand[0] = operand[1] = operand[2] = cell::get_float(right);
        // A scale factor works on the stored singles directly.
        single_scale = op == integer::op::multiply || op == integer::op::divide;
    } else if (rt == type::pair && t == type::point2D) {
        operand[0] = static_cast<i32>(right.data2);
        operand[1] = static_cast<i32>(right.data3);
    } else if (rt == t) {
        for (int i = 0; i < n; i++) operand[i] = get(right, i);
    } else {
        fire(ErrorId::script_invalid_type, datatype::make(rt));
    }
    Cell result = args[0];
    for (int i = 0; i < n; i++) {
        if (single_scale) {
            const float a = single_of(word_of(args[0], i));
            const float b = single_of(to_single(operand[i]));
            const float r = op == integer::op::multiply ? a * b : a / b;
            set(result, i, r);
        } else {
            set(result, i, float_::do_math_op(get(args[0], i), operand[i], op));
        }
    }
    args[0] = result;
}

void negate(Cell* value) {
    const int n = count_of(cell::type_of(*value));
    for (int i = 0; i < n; i++) set(*value, i, 0.0 - get(*value, i));
}

i32 compare(Cell* value1, Cell* value2, i32 op) {
    const u32 t = cell::type_of(*value1);
    Cell other = *value2;
    if (cell::type_of(other) == type::pair && t == type::point2D) {
        // Identity and the hash tables' equality keep the types apart.
        if (op == actions::op::same || op == actions::op::hash) return 1;
        other = make2D(static_cast<i32>(other.data2), static_cast<i32>(other.data3));
    } else if (cell::type_of(other) != t) {
        return -2;
    }
    const int n = count_of(t);
    switch (op) {
        case actions::op::equal:
        case actions::op::not_equal:
        case actions::op::find:
            for (int i = 0; i < n; i++)
                if (!float_::almost_equal32_q(single_of(word_of(*value1, i)), single_of(word_of(other, i)))) return 1;
            return 0;
        case actions::op::strict_equal:
        case actions::op::strict_find:
            for (int i = 0; i < n; i++)
                if (!(single_of(word_of(*value1, i)) == single_of(word_of(other, i)))) return 1;
            return 0;
        case actions::op::same:
        case actions::op::hash:
            for (int i = 0; i < n; i++)
                if (word_of(*value1, i) != word_of(other, i)) return 1;
            return 0;
        default:
            // Ordering: the first coordinates that are not near-equal decide.
            for (int i = 0; i < n; i++) {
                const float a = single_of(word_of(*value1, i)), b = single_of(word_of(other, i));
                if (float_::almost_equal32_q(a, b)) continue;
                const double d = static_cast<double>(a) - b;
                return d < 0 ? -1 : d > 0 ? 1 : 0;
            }
            return 0;
    }
}

namespace {

// --- Actions ---------------------------------------------------------------

inline Cell none_cell() { return Cell{type::none, 0, 0, 0}; }

[[noreturn]] void refuse(u32 t, const Cell& spec) { fire(ErrorId::script_bad_to_arg, datatype::make(t), spec); }

Cell made(u32 t, const double c[3]) { return t == type::point2D ? make2D(c[0], c[1]) : make3D(c[0], c[1], c[2]); }

// make and to: a point of the type, a number for every coordinate, a pair,
// a point2D! for a point3D! (z 0), a block of numbers, or the text of one.
Cell* make_(Cell*, Cell* spec, u32 t) {
    const u32 st = cell::type_of(*spec);
    const int n = count_of(t);
    double c[3] = {0, 0, 0};
    if (st == t) return spec;
    switch (st) {
        case type::integer:
            c[0] = c[1] = c[2] = integer::get(*spec);
            break;
        case type::float_:
            c[0] = c[1] = c[2] = cell::get_float(*spec);
            break;
        case type::pair:
            c[0] = static_cast<i32>(spec->data2);
            c[1] = static_cast<i32>(spec->data3);
            break;
        case type::point2D:
            if (t != type::point3D) refuse(t, *spec);
            c[0] = get(*spec, 0);
            c[1] = get(*spec, 1);
            break;
        case type::block: {
            SeriesBuffer* s = series::buffer_of(*spec);
            const i32 length = static_cast<i32>(s->length());
            i32 head = cell::head_index(*spec);
            if (head < 0) head = 0;
            if (length - head < n) fire(ErrorId::syntax_malconstruct, *spec);
            for (int i = 0; i < n; i++) {
                const Cell& v = s->cells()[head + i];
                const u32 vt = cell::type_of(v);
                if (vt == type::integer) c[i] = integer::get(v);
                else if (vt == type::float_) c[i] = cell::get_float(v);
                else fire(ErrorId::syntax_malconstruct, *spec);
            }
            break;
        }
        case type::string: {
            Cell* out = stack::push(none_cell());
            const Cell loaded = load_value_in(*spec, out);
            if (cell::type_of(loaded) != t) refuse(t, *spec);
            *out = loaded;
            return out;
        }
        default:
            refuse(t, *spec);
    }
    return stack::push(made(t, c));
}

i32 form(Cell* value, Cell* buffer, Cell*, i32 limit) {
    const Cell p = *value;
    const int n = count_of(cell::type_of(p));
    i32 written = string::concatenate_literal(*buffer, "(");
    for (int i = 0; i < n; i++) {
        if (i) written += string::concatenate_literal(*buffer, ", ");
        written += string::concatenate_literal(*buffer, float_::form_float(get(p, i), float_::kind::point));
    }
    written += string::concatenate_literal(*buffer, ")");
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

// The coordinate an accessor names (0-based): 1, 2, 3 or x, y, z. -1 for
// an integer outside the coordinates, -2 for anything else. The word z on a
// point2D! is script/cannot-use.
int coordinate_of(const Cell& element, u32 t) {
    const int n = count_of(t);
    if (cell::type_of(element) == type::integer) {
        const i32 k = integer::get(element);
        return k >= 1 && k <= n ? k - 1 : -1;
    }
    if (named(element, words::sym::x)) return 0;
    if (named(element, words::sym::y)) return 1;
    if (named(element, words::sym::z)) {
        if (t == type::point2D) fire(ErrorId::script_cannot_use, element, datatype::make(t));
        return 2;
    }
    return -2;
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* container, Cell* previous, i32 index,
                bool, bool, bool, bool) {
    const u32 t = cell::type_of(*parent);
    const int k = coordinate_of(*element, t);
    if (k < 0) fire(ErrorId::script_invalid_path, path ? *path : none_cell(), *element);
    if (!value) return float_::push(get(*parent, k));
    const u32 vt = cell::type_of(*value);
    if (vt == type::integer) set(*parent, k, integer::get(*value));
    else if (vt == type::float_) set(*parent, k, cell::get_float(*value));
    else fire(ErrorId::script_invalid_type, datatype::make(vt));
    path_store::store_back(*parent, container, previous, path, index);
    return value;
}

Cell* pick(Cell* series, i32, Cell* index) {
    const int k = coordinate_of(*index, cell::type_of(*series));
    if (k == -2 && cell::type_of(*index) >= type::word && cell::type_of(*index) <= type::get_word)
        fire(ErrorId::script_invalid_path, none_cell(), *index);
    if (k < 0) fire(ErrorId::script_out_of_range, *index);
    return float_::push(get(*series, k));
}

void absolute() {
    Cell* v = stack::arguments;
    const int n = count_of(cell::type_of(*v));
    for (int i = 0; i < n; i++) set(*v, i, std::fabs(get(*v, i)));
}

void add() { do_math(integer::op::add); }
void subtract() { do_math(integer::op::subtract); }
void multiply() { do_math(integer::op::multiply); }
void divide() { do_math(integer::op::divide); }
void remainder() { do_math(integer::op::remainder); }

// point2D! swaps x and y, point3D! x and z.
void reverse(Cell* series, Cell* part, Cell* skip) {
    if (part || skip) fire(ErrorId::internal_not_done);
    u32& last = cell::type_of(*series) == type::point2D ? series->data2 : series->data3;
    std::swap(series->data1, last);
}

// Rounds every coordinate as a float!. A point or pair scale gives one
// scale per coordinate (0 for a z it lacks); any other scale serves them
// all. A zero scale keeps its coordinate: as an integer scale of 0 does,
// rather than the NaN of dividing by it. An integer! scale rounds as a
// float! scale of that value, so that coordinates beyond 32 bits round too.
void round(Cell* value, Cell* scale, bool even, bool down, bool half_down, bool floor, bool ceiling,
           bool half_ceiling) {
    const u32 st = scale ? cell::type_of(*scale) : type::none;
    if (st == type::money) fire(ErrorId::script_not_related, stack::get_call(), datatype::make(type::money));
    const int n = count_of(cell::type_of(*value));
    Cell scales[3];
    for (int i = 0; i < n; i++) {
        if (st == type::pair) {
            scales[i] = cell::float_(i == 0 ? static_cast<i32>(scale->data2) : i == 1 ? static_cast<i32>(scale->data3) : 0);
        } else if (st == type::point2D || st == type::point3D) {
            scales[i] = cell::float_(i < count_of(st) ? get(*scale, i) : 0.0);
        } else if (st == type::integer) {
            scales[i] = cell::float_(integer::get(*scale));
        } else {
            scales[i] = scale ? *scale : none_cell();
        }
    }
    Cell result = *value;
    for (int i = 0; i < n; i++) {
        const bool scaled = cell::type_of(scales[i]) != type::none;
        if (scaled && cell::type_of(scales[i]) == type::float_ && cell::get_float(scales[i]) == 0.0) continue;
        Cell v = cell::float_(get(*value, i));
        actions::round(&v, scaled ? &scales[i] : nullptr, even, down, half_down, floor, ceiling, half_ceiling);
        set(result, i, cell::type_of(v) == type::integer ? integer::get(v) : cell::get_float(v));
    }
    *value = result;
}

// MurmurHash3 x86_32 of n whole words with seed 0. Not the hash tables'
// hash: theirs starts from a per-process seed, and seeding the generator
// from a point must repeat the same sequence in every run.
u32 seed_hash(const u32* words, int n) {
    u32 h = 0;
    for (int i = 0; i < n; i++) {
        u32 k = words[i] * 0xCC9E2D51u;
        k = std::rotl(k, 15) * 0x1B873593u;
        h ^= k;
        h = std::rotl(h, 13) * 5 + 0xE6546B64u;
    }
    return hashtable::mix32(h ^ static_cast<u32>(4 * n));
}

// /seed seeds the generator with the MurmurHash3 of the coordinates' bytes
// (the result is unset!); otherwise every coordinate c that is not 0
// becomes a random float between 0 and c.
void random(Cell* value, bool seed, bool secure, bool) {
    const int n = count_of(cell::type_of(*value));
    if (seed) {
        const u32 words[3] = {value->data1, value->data2, value->data3};
        random::seed(static_cast<i32>(seed_hash(words, n)));
        *value = unset::value;
        return;
    }
    for (int i = 0; i < n; i++) {
        const double c = get(*value, i);
        if (c != 0.0) set(*value, i, float_::random_scaled(c, secure));
    }
}

constexpr ActionTable point_actions = {
    .make = make_, .random = random, .to = make_, .form = form, .mold = mold, .eval_path = eval_path,
    .compare = compare, .absolute = absolute, .add = add, .divide = divide, .multiply = multiply,
    .negate = negate, .remainder = remainder, .round = round, .subtract = subtract,
    .pick = pick, .reverse = reverse,
};

}  // namespace

}  // namespace oru::point

namespace oru::point2D {
Cell* push(double x, double y) { return stack::push(point::make2D(x, y)); }
void init() { registry::add(type::point2D, 0, "point2D!", point::point_actions); }
}  // namespace oru::point2D

namespace oru::point3D {
Cell* push(double x, double y, double z) { return stack::push(point::make3D(x, y, z)); }
void init() { registry::add(type::point3D, 0, "point3D!", point::point_actions); }
}  // namespace oru::point3D
