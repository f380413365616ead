// Shared routines of the natives; see natives_shared.h.
#include "interpreter/natives_shared.h"

#include "interpreter/actions.h"
#include "interpreter/stack.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/word.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/system.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace oru::natives {

namespace {

constexpr double pi = 3.141592653589793;

bool number_q(u32 t) { return t == type::integer || t == type::float_ || t == type::percent; }
// float! and percent! keep their double in payload words 2-3.
bool nan_value_q(const Cell& v) {
    const u32 t = cell::type_of(v);
    return (t == type::float_ || t == type::percent) && std::isnan(cell::get_float(v));
}
double number_of(const Cell& v) {
    return cell::type_of(v) == type::integer ? static_cast<double>(static_cast<i32>(v.data2)) : cell::get_float(v);
}

// pair!: x and y as 32-bit integers in payload words 2 and 3.
i32 pair_x(const Cell& v) { return static_cast<i32>(v.data2); }
i32 pair_y(const Cell& v) { return static_cast<i32>(v.data3); }

// point2D! and point3D!: 32-bit floats in payload words 1 to 3.
float point_at(const Cell& v, int i) {
    const u32 w = i == 0 ? v.data1 : i == 1 ? v.data2 : v.data3;
    float f;
    std::memcpy(&f, &w, sizeof f);
    return f;
}
void set_point_at(Cell& v, int i, float f) {
    u32 w;
    std::memcpy(&w, &f, sizeof w);
    (i == 0 ? v.data1 : i == 1 ? v.data2 : v.data3) = w;
}

// tuple!: up to 12 bytes from payload word 1, the length in header bits 19-22.
u32 tuple_length(const Cell& v) { return (v.header >> 19) & 0xF; }
u8 tuple_byte(const Cell& v, u32 i) {
    u8 bytes[12];
    std::memcpy(bytes, &v.data1, sizeof bytes);
    return bytes[i];
}
void set_tuple_byte(Cell& v, u32 i, u8 b) {
    u8 bytes[12];
    std::memcpy(bytes, &v.data1, sizeof bytes);
    bytes[i] = b;
    std::memcpy(&v.data1, bytes, sizeof bytes);
}

template <class T>
T pick_component(bool max_q, T a, T b) {
    return max_q ? (b > a ? b : a) : (b < a ? b : a);
}
// The NaN of the second operand always wins a point component.
float pick_float32(bool max_q, float a, float b) {
    if (std::isnan(b)) return b;
    return pick_component(max_q, a, b);
}

// A float that fits an integer (truncated), for a pair operand.
bool float_to_int(double d, i32& out) {
    if (!(d > -2147483649.0 && d < 2147483648.0)) return false;
    out = static_cast<i32>(d);
    return true;
}

// Component-wise max/min; false when the pair of types is not one of these.
bool max_min_components(bool max_q, Cell& a, const Cell& b) {
    const u32 ta = cell::type_of(a);
    const u32 tb = cell::type_of(b);
    switch (ta) {
    case type::pair: {
        i32 bx, by;
        if (tb == type::pair) {
            bx = pair_x(b);
            by = pair_y(b);
        } else if (tb == type::integer) {
            bx = by = static_cast<i32>(b.data2);
        } else if (tb == type::float_) {
            // percent! is not among a pair's operands: it goes to compare.
            if (!float_to_int(cell::get_float(b), bx)) {
                // Too large for a pair: compare as a point instead.
                Cell p{type::point2D, 0, 0, 0};
                set_point_at(p, 0, static_cast<float>(pair_x(a)));
                set_point_at(p, 1, static_cast<float>(pair_y(a)));
                a = p;
                return max_min_components(max_q, a, b);
            }
            by = bx;
        } else {
            return false;
        }
        a.data2 = static_cast<u32>(pick_component(max_q, pair_x(a), bx));
        a.data3 = static_cast<u32>(pick_component(max_q, pair_y(a), by));
        return true;
    }
    case type::point2D:
    case type::point3D: {
        const int n = ta == type::point2D ? 2 : 3;
        float bs[3];
        if (number_q(tb)) {
            bs[0] = bs[1] = bs[2] = to_float32_arg(b);
        } else if (tb == type::pair) {
            bs[0] = static_cast<float>(pair_x(b));
            bs[1] = static_cast<float>(pair_y(b));
            bs[2] = 0.0f;  // a pair has no z: the z of a 3D point is compared with 0
        } else if (tb == ta) {
            for (int i = 0; i < n; ++i) bs[i] = point_at(b, i);
        } else {
            return false;
        }
        for (int i = 0; i < n; ++i) set_point_at(a, i, pick_float32(max_q, point_at(a, i), bs[i]));
        return true;
    }
    case type::tuple: {
        const u32 len = tuple_length(a);
        if (len > 12) return false;
        if (number_q(tb)) {
            const double d = number_of(b);
            const u8 v = std::isnan(d) ? 0 : d <= 0.0 ? 0 : d >= 255.0 ? 255 : static_cast<u8>(d);
            for (u32 i = 0; i < len; ++i) set_tuple_byte(a, i, pick_component(max_q, tuple_byte(a, i), v));
            return true;
        }
        if (tb == type::tuple && tuple_length(b) == len) {
            for (u32 i = 0; i < len; ++i)
                set_tuple_byte(a, i, pick_component(max_q, tuple_byte(a, i), tuple_byte(b, i)));
            return true;
        }
        return false;
    }
    default:
        return false;
    }
}

constexpr Cell none_value{type::none, 0, 0, 0};

// word!, set-word!, lit-word! and get-word! (the any-word! typeset):
// refinements and issues name no variable.
bool any_word_q(u32 t) { return t >= type::word && t <= type::get_word; }

// Item i (0-based from the value's position) of a block-like series (or of
// a map!'s key/value block), or null past its tail. Valid until the next
// allocation.
Cell* block_item(const Cell& series, i32 i) {
    const i64 at = static_cast<i64>(cell::head_index(series)) + i;
    if (at < 0 || at >= series::abs_length_q(series)) return nullptr;
    return series::buffer_of(series)->cells() + at;
}

// Item i of the values of set: none past the tail, and for the value cell
// of a removed map! pair (its header is 0, which no live value has).
Cell value_item(const Cell& values, i32 i) {
    const Cell* c = block_item(values, i);
    return c && c->header != 0 ? *c : none_value;
}

// Word i (0-based) of a words block, or the single word itself.
Cell word_item(const Cell& words, i32 i) {
    if (!series::block_like_q(cell::type_of(words))) return words;
    const Cell* w = block_item(words, i);
    return w ? *w : none_value;
}

void set_one_word(Cell word, const Cell& value) {
    if (!any_word_q(cell::type_of(word))) fire(ErrorId::script_invalid_arg, word);
    context::set(word, value);
}

// Moves a series position on by n (or back, n negative), never below 0 and
// never past the largest index.
void move_index(Cell& series, i64 n) {
    i64 at = static_cast<i64>(cell::head_index(series)) + n;
    if (at < 0) at = 0;
    if (at > INT32_MAX) at = INT32_MAX;
    series.data1 = static_cast<u32>(at);
}

// A position before the head reads as the head, as the series helpers take
// it: stepping from there would read cells in front of the buffer.
void clamp_head(Cell& series) {
    if (cell::head_index(series) < 0) series.data1 = 0;
}

[[noreturn]] void not_done() { fire(ErrorId::internal_not_done); }

// The map! step: the words get the next pair that was not removed. As in
// every step, the position moves on before the words are set (see
// foreach_next).
bool map_step(Cell& map, const Cell& words) {
    if (!iteration_service.map_match_keys) not_done();
    while (not_tail_q(map)) {
        const Cell at = map;
        move_index(map, 2);
        if (iteration_service.map_match_keys(at, words)) return true;
    }
    return false;
}

}  // namespace

void expect_arg(const Cell& value, const char* argument) {
    fire(ErrorId::script_expect_arg, stack::get_call(), datatype::make(cell::type_of(value)),
         stack::word(symbol::make(argument)));
}

i32 truncate_count(double d) {
    // The open bounds keep every value that truncates into range, and NaN
    // fails both tests.
    if (!(d > -2147483649.0 && d < 2147483648.0)) return integer_indefinite;
    return static_cast<i32>(d);
}

void max_min(bool max_q) {
    Cell* args = stack::arguments;
    const u32 t1 = cell::type_of(args[0]);
    const u32 t2 = cell::type_of(args[1]);
    if (nan_value_q(args[0]) && number_q(t2)) return;
    if (nan_value_q(args[1]) && number_q(t1)) {
        args[0] = args[1];
        return;
    }
    Cell a = args[0];
    if (max_min_components(max_q, a, args[1])) {
        stack::arguments[0] = a;
        return;
    }
    const bool less = actions::compare(&args[0], &args[1], actions::op::lesser);
    args = stack::arguments;
    if (less == max_q) args[0] = args[1];
}

i32 to_int_arg(const Cell& value) {
    if (cell::type_of(value) == type::integer) return static_cast<i32>(value.data2);
    const double d = cell::get_float(value);
    i32 out;
    if (!float_to_int(d, out)) fire(ErrorId::script_type_limit, datatype::make(type::integer));
    return out;
}

float to_float32_arg(const Cell& value) {
    // Beyond the float range the conversion is not defined: such a number
    // becomes the infinity of its sign, as the hardware gives it.
    const double d = number_of(value);
    if (d > std::numeric_limits<float>::max()) return std::numeric_limits<float>::infinity();
    if (d < -std::numeric_limits<float>::max()) return -std::numeric_limits<float>::infinity();
    return static_cast<float>(d);
}

void to_float_arg() {
    Cell& v = *stack::arguments;
    const u32 t = cell::type_of(v);
    if (t == type::float_) return;
    const double d = number_of(v);
    v = cell::float_(d);
}

void trig_arg(bool radians, i32 kind) {
    to_float_arg();
    if (radians) return;
    if (kind < 0 || kind > 2) runtime_error(101, 0);
    Cell& v = *stack::arguments;
    v = cell::float_(degrees_to_radians(cell::get_float(v), static_cast<AngleKind>(kind)));
}

void arc_result(bool radians, i32 kind) {
    to_float_arg();
    Cell& v = *stack::arguments;
    const double x = cell::get_float(v);
    double r;
    switch (kind) {
    case 2: r = std::asin(x); break;
    case 1: r = std::acos(x); break;
    case 0: r = std::atan(x); break;
    default: runtime_error(101, 0);
    }
    if (!radians) r = r * 180.0 / pi;
    v = cell::float_(r);
}

// With a block-like series of values (and no /only), a first pass checks
// every word, and without /any that no value is unset, so that nothing is
// set when one of them fails. Items past the values' tail are none.
void set_words(const Cell& words_arg, const Cell& values_arg, i32 count, bool any, bool only, bool some) {
    const Cell words = words_arg;
    const Cell values = values_arg;
    const u32 vt = cell::type_of(values);
    const bool spread = !only && (series::block_like_q(vt) || vt == type::map);
    if (spread) {
        for (i32 i = 0; i < count; ++i) {
            const Cell w = word_item(words, i);
            if (!any_word_q(cell::type_of(w))) fire(ErrorId::script_invalid_arg, w);
            if (any) continue;
            if (cell::type_of(value_item(values, i)) == type::unset) fire(ErrorId::script_need_value, w);
        }
    }
    for (i32 i = 0; i < count; ++i) {
        const Cell v = spread ? value_item(values, i) : values;
        if (some && cell::type_of(v) == type::none) continue;
        set_one_word(word_item(words, i), v);
    }
}

void set_words_from_series(const Cell& words_arg, const Cell& series_value, i32 count) {
    const Cell words = words_arg;
    const Cell series_arg = series_value;  // the caller's cell may move while pick runs
    stack::Mark mark;
    Cell* s = stack::push_value(series_arg);  // the pick action's own copy
    const u32 si = stack::index_of(s);
    for (i32 i = 1; i <= count; ++i) {
        Cell* picked = actions::pick(stack::at_index(si), i, nullptr);
        const Cell v = picked ? *picked : none_value;
        *stack::at_index(si) = series_arg;
        set_one_word(word_item(words, i - 1), v);
    }
}

IterationService iteration_service{};

bool not_tail_q(const Cell& series) {
    if (cell::type_of(series) == type::image) {
        if (!iteration_service.image_pixels) not_done();
        return cell::head_index(series) < iteration_service.image_pixels(series);
    }
    return cell::head_index(series) < series::abs_length_q(series);
}

// The position moves on before a word is set: setting an object's field
// runs its on-change*, and a continue there must go on with the next record
// rather than set the same one again. `at` (the record's position) shares
// the hidden cell's buffer, which keeps it alive.
bool foreach_next(Cell& series, const Cell& word_arg) {
    clamp_head(series);
    if (!not_tail_q(series)) return false;
    const Cell word = word_arg;
    const Cell at = series;
    move_index(series, 1);
    Cell v;
    if (series::block_like_q(cell::type_of(at))) {
        v = *block_item(at, 0);
    } else {
        stack::Mark mark;
        Cell* s = stack::push_value(at);  // pick may rewrite its argument
        Cell* picked = actions::pick(s, 1, nullptr);
        v = picked ? *picked : none_value;
    }
    set_one_word(word, v);
    return true;
}

bool foreach_next_block(Cell& series, const Cell& words_arg, i32 count) {
    clamp_head(series);
    if (!not_tail_q(series) || count <= 0) return false;
    const Cell words = words_arg;
    const u32 t = cell::type_of(series);
    if (t == type::map) {
        if (count != 2) fire(ErrorId::script_invalid_arg, words);
        return map_step(series, words);
    }
    const Cell at = series;
    move_index(series, count);
    if (t == type::image) {
        if (!iteration_service.image_set_words) not_done();
        iteration_service.image_set_words(at, words);
    } else if (series::block_like_q(t)) {
        set_words(words, at, count, true, false, false);
    } else {
        set_words_from_series(words, at, count);
    }
    return true;
}

bool foreach_next() {
    Cell* a = stack::arguments;
    return foreach_next(a[-2], a[-1]);
}

bool foreach_next_block(i32 count) {
    Cell* a = stack::arguments;
    return foreach_next_block(a[-2], a[-1], count);
}

i32 foreach_next_plain() {
    Cell* a = stack::arguments;
    Cell& series = a[-2];
    if (cell::type_of(a[-1]) != type::word || !series::block_like_q(cell::type_of(series))) return -1;
    Cell* slot = plain_slot(a[-1]);
    if (!slot) return -1;
    clamp_head(series);
    const i32 at = cell::head_index(series);
    if (at >= series::abs_length_q(series)) return 0;
    series.data1 = static_cast<u32>(at + 1);  // below the length, which fits 32 bits
    *slot = series::buffer_of(series)->cells()[at];
    return 1;
}

bool forall_next(bool advance) {
    Cell* a = stack::arguments;
    const Cell start = a[-2];
    Cell word = a[-1];
    Cell* slot = context::get(word);
    // Moving the index of anything but the starting series would rewrite a
    // value the body put there (an integer's payload, another series).
    if (!series::series_q(cell::type_of(*slot)) || cell::node(*slot) != cell::node(start))
        fire(ErrorId::script_bad_loop_series, *slot);
    if (advance) move_index(*slot, 1);
    const Cell now = *slot;
    return !not_tail_q(now);
}

void forall_end() {
    Cell* a = stack::arguments;
    Cell word = a[-1];
    context::set(word, a[-2]);
}

void remove_each_next(i32 count) {
    Cell* a = stack::arguments;
    if (count < 1 || !logic::truth(a[0])) return;
    // The hidden series stays past the record until remove returns: a
    // continue from a change handler that remove runs goes on with the next
    // record, not the same one again.
    Cell& series = a[-2];
    Cell at = series;
    move_index(at, -static_cast<i64>(count));
    stack::Mark mark;
    Cell* s = stack::push_value(at);  // the remove handler rewrites its argument
    Cell* part = count > 1 ? stack::push_value(cell::integer(count)) : nullptr;
    actions::remove(s, part, nullptr);
    if (series::series_q(cell::type_of(*s)) && cell::node(*s) == cell::node(series)) series.data1 = s->data1;
}

void loop_count(Cell& count) {
    if (cell::type_of(count) != type::float_) return;
    count = cell::integer(truncate_count(cell::get_float(count)));
}

void loop_next() { loop_count(*stack::arguments); }

void repeat_next(Cell& word_arg) {
    Cell word = word_arg;
    Cell* slot = context::get(word);
    if (cell::type_of(*slot) != type::integer) return;
    i32 n;
    // The counter never passes the count, which fits 32 bits; past the top it
    // stays put rather than wrap.
    if (__builtin_add_overflow(static_cast<i32>(slot->data2), 1, &n)) return;
    const Node ctx = word::context_of(word);
    if (ctx && context::kind_of(ctx) == context::kind::object) {
        context::set(word, cell::integer(n));
        return;
    }
    slot->data2 = static_cast<u32>(n);
}

Cell* plain_slot(const Cell& word) {
    const Node ctx = word::context_of(word);
    if (!ctx || word::index_of(word) < 0) return nullptr;
    const Cell& c = *context::cell_of(ctx);
    if (!(c.header & context::on_stack) && context::kind_of(ctx) == context::kind::object) return nullptr;
    Cell* vals = context::values(ctx);
    return vals ? vals + word::index_of(word) : nullptr;
}

}  // namespace oru::natives
