// time!: fields, text, arithmetic and the handlers.
//
// Every double-to-integer step is range-checked first: an hour past 32 bits
// is script/type-limit when read as an integer!, and the text writes the
// hours from the double itself. Make and to refuse non-finite seconds, so a
// time only becomes infinite or NaN through float arithmetic. Operations
// with an operand of another family go to float!'s arithmetic, which hands
// them to that type or raises; time + date goes to date!'s add through the
// registry row.
#include "runtime/datatypes/time.h"

#include "interpreter/actions.h"
#include "interpreter/stack.h"
#include "runtime/calls.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/path_store.h"
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

#include <cmath>
#include <cstdio>
#include <cstring>
#include <utility>

namespace oru::time {

void make_in(const Cell& block, double seconds) { *memory::alloc_tail(cell::node(block)) = make(seconds); }

Cell* push(double seconds) { return stack::push(make(seconds)); }

double hour_of(double seconds) { return std::trunc(seconds / hour); }

i32 minute_of(double seconds) {
    const double m = std::floor(std::fmod(std::fabs(seconds), hour) / minute);
    return std::isfinite(m) ? static_cast<i32>(m) : 0;  // 0-59
}

double second_of(double seconds) { return std::fmod(seconds, minute); }

double with_field(double seconds, i32 which, const Cell& value) {
    const u32 vt = cell::type_of(value);
    double x;
    if (vt == type::integer) {
        x = integer::get(value);
    } else if (vt == type::float_ && which == field::second) {
        x = cell::get_float(value);
        if (!std::isfinite(x)) fire(ErrorId::script_invalid_arg, value);
    } else {
        fire(ErrorId::script_invalid_arg, value);
    }
    bool negative = seconds < 0;
    const double a = std::fabs(seconds);
    double h = std::floor(a / hour);
    double m = std::floor(std::fmod(a, hour) / minute);
    double s = std::fmod(a, minute);
    switch (which) {
        case field::hour:
            negative = negative || x < 0;
            h = std::fabs(x);
            break;
        case field::minute: m = x; break;
        default: s = x; break;
    }
    const double r = h * hour + m * minute + s;
    return negative ? -r : r;
}

namespace {

// The seconds text: "00" below 1e-06, else the float text with a "0" in
// front of a single digit ("05", "05.5"). Returns the length.
i32 seconds_text(double s, char* out) {
    if (s < 1e-06) s = 0;
    if (s == std::floor(s)) {  // whole seconds, the common case: two digits
        const i32 n = static_cast<i32>(s);
        out[0] = static_cast<char>('0' + n / 10);
        out[1] = static_cast<char>('0' + n % 10);
        out[2] = '\0';
        return 2;
    }
    const char* text = float_::form_float(s, float_::kind::time);
    const bool pad = text[1] == '\0' || text[1] == '.';
    return std::snprintf(out, 32, "%s%s", pad ? "0" : "", text);
}

}  // namespace

i32 format(char* out, double seconds) {
    if (!std::isfinite(seconds))
        return std::snprintf(out, text_room, "%s", float_::form_float(seconds, float_::kind::float_));
    char* p = out;
    if (seconds < 0) *p++ = '-';
    double a = std::fabs(seconds);
    char sec[32];
    i32 sec_n = seconds_text(std::fmod(a, minute), sec);
    if (sec[0] == '6') {
        // Seconds just below a minute that round up to "60": the text carries
        // into the minute instead.
        a = std::floor(a / minute) * minute + minute;
        sec_n = seconds_text(0.0, sec);
    }
    const double h = std::floor(a / hour);
    const i32 m = static_cast<i32>(std::floor(std::fmod(a, hour) / minute));
    // Hours past 2^53 have no fraction to lose: "%.0f" writes them exactly.
    if (h < 9007199254740992.0) {
        char digits[20];
        i32 n = 0;
        for (u64 v = static_cast<u64>(h);; v /= 10) {
            digits[n++] = static_cast<char>('0' + v % 10);
            if (v < 10) break;
        }
        while (n) *p++ = digits[--n];
    } else {
        p += std::snprintf(p, text_room - 40, "%.0f", h);
    }
    *p++ = ':';
    *p++ = static_cast<char>('0' + m / 10);
    *p++ = static_cast<char>('0' + m % 10);
    *p++ = ':';
    std::memcpy(p, sec, static_cast<size_t>(sec_n) + 1);
    return static_cast<i32>(p - out) + sec_n;
}

void form_into(const Cell& buffer, double seconds) {
    char text[text_room];
    format(text, seconds);
    string::concatenate_literal(buffer, text);
}

namespace {

// --- Actions ---------------------------------------------------------------

bool string_family(u32 t) {
    return t == type::string || t == type::file || t == type::url || t == type::tag || t == type::email ||
           t == type::ref;
}

[[noreturn]] void refuse(const Cell& spec) { fire(ErrorId::script_bad_to_arg, datatype::make(type::time), spec); }

// [hours minutes seconds], one to three values: integers, the seconds a
// float too; only the hours may be negative, and their sign is the time's.
double from_block(const Cell& spec) {
    SeriesBuffer* s = memory::buffer(cell::node(spec));
    const i32 length = static_cast<i32>(s->length());
    const i32 head = cell::head_index(spec) < 0 ? 0 : cell::head_index(spec);
    const i32 n = length - head;
    if (n < 1 || n > 3) refuse(spec);
    double part[3] = {0, 0, 0};
    for (i32 i = 0; i < n; i++) {
        const Cell& v = s->cells()[head + i];
        const u32 vt = cell::type_of(v);
        if (vt == type::integer) part[i] = integer::get(v);
        else if (vt == type::float_ && i == 2 && std::isfinite(cell::get_float(v))) part[i] = cell::get_float(v);
        else refuse(spec);
        if (i > 0 && part[i] < 0) refuse(spec);
    }
    const double r = std::fabs(part[0]) * hour + part[1] * minute + part[2];
    return part[0] < 0 ? -r : r;
}

// make and to: one handler.
Cell* to(Cell*, Cell* spec, u32) {
    const u32 st = cell::type_of(*spec);
    switch (st) {
        case type::time: return spec;
        case type::integer: return push(integer::get(*spec));
        case type::float_:
        case type::percent:
            if (!std::isfinite(cell::get_float(*spec))) refuse(*spec);
            return push(cell::get_float(*spec));
        case type::block:
        case type::paren:
        case type::hash: return push(from_block(*spec));
        default: break;
    }
    if (!string_family(st)) refuse(*spec);
    Cell* loaded = stack::push();
    const Cell v = load_value_in(*spec, loaded);
    if (cell::type_of(v) != type::time) refuse(*spec);
    return stack::push(v);
}

i32 form(Cell* value, Cell* buffer, Cell*, i32 limit) {
    const i32 before = string::rs_length_q(*buffer);
    form_into(*buffer, get(*value));
    return limit - (string::rs_length_q(*buffer) - before);
}

i32 mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* part, i32 limit, i32) {
    return form(value, buffer, part, limit);
}

// The field a path element or pick index names: 1-3 or hour, minute,
// second (any letter case); 0 for anything else.
i32 field_of(const Cell& element) {
    const u32 t = cell::type_of(element);
    if (t == type::integer) {
        const i32 n = integer::get(element);
        return n >= 1 && n <= 3 ? n : 0;
    }
    if (t != type::word) return 0;
    const i32 sym = symbol::canonical(word::symbol_of(element));
    if (sym == symbol::canonical(words::sym::hour)) return field::hour;
    if (sym == symbol::canonical(words::sym::minute)) return field::minute;
    if (sym == symbol::canonical(words::sym::second)) return field::second;
    return 0;
}

Cell* push_field(double seconds, i32 which) {
    switch (which) {
        case field::hour: {
            const double h = hour_of(seconds);
            if (!(h >= -2147483648.0 && h <= 2147483647.0))
                fire(ErrorId::script_type_limit, datatype::make(type::integer));
            return integer::push(static_cast<i32>(h));
        }
        case field::minute: return integer::push(minute_of(seconds));
        default: return float_::push(second_of(seconds));
    }
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* container, Cell* previous, i32 index,
                bool, bool, bool, bool) {
    const i32 which = field_of(*element);
    if (!which) fire(ErrorId::script_invalid_path, path ? *path : none::value, *element);
    if (!value) return push_field(get(*parent), which);
    *parent = make(with_field(get(*parent), which, *value));
    path_store::store_back(*parent, container, previous, path, index);
    return value;
}

Cell* pick(Cell* value, i32, Cell* index) {
    const i32 which = field_of(*index);
    if (!which) {
        if (cell::type_of(*index) == type::word) fire(ErrorId::script_invalid_path, none::value, *index);
        fire(ErrorId::script_out_of_range, *index);
    }
    return push_field(get(*value), which);
}

// time op time and time op number stay times (time / time is a float!,
// time x time and time - date are not related); time + date is the date
// moved by the time. Other operands, and a number on the left, go through
// float!'s arithmetic.
void do_math(i32 op) {
    Cell* args = stack::arguments;
    const u32 right = cell::type_of(args[1]);
    // integer! hands number op time over with the number on the left: the
    // float arithmetic, which types the result time!.
    if (cell::type_of(args[0]) != type::time) return float_::do_math(op);
    if (right == type::date) {
        if (op != integer::op::add)
            fire(ErrorId::script_not_related, op == integer::op::subtract ? words::word::subtract
                                              : op == integer::op::multiply ? words::word::multiply
                                                                            : words::word::divide,
                 datatype::make(type::time));
        std::swap(args[0], args[1]);
        reinterpret_cast<action_fn::Stack>(actions::get_action(type::date, &args[0], action::add))();
        return;
    }
    double r;
    switch (right) {
        case type::integer: r = integer::get(args[1]); break;
        case type::float_:
        case type::percent: r = cell::get_float(args[1]); break;
        case type::time:
            if (op == integer::op::multiply)
                fire(ErrorId::script_not_related, words::word::multiply, datatype::make(type::time));
            r = get(args[1]);
            if (op == integer::op::divide) {
                args[0] = cell::float_(get(args[0]) / r);
                return;
            }
            break;
        default:
            float_::do_math(op);
            return;
    }
    args[0] = make(float_::do_math_op(get(args[0]), r, op));
}

void add() { do_math(integer::op::add); }
void subtract() { do_math(integer::op::subtract); }
void multiply() { do_math(integer::op::multiply); }
void divide() { do_math(integer::op::divide); }

// float!'s rounding of the seconds, typed time!. An integer! scale is given
// as a float: it names a multiple of seconds, not a 32-bit result.
void round(Cell* value, Cell* scale, bool even, bool down, bool half_down, bool floor, bool ceiling,
           bool half_ceiling) {
    Cell s;
    if (scale && cell::type_of(*scale) == type::integer) {
        s = cell::float_(integer::get(*scale));
        scale = &s;
    }
    registry::handler<action_fn::Round>(type::float_, action::round)(value, scale, even, down, half_down, floor,
                                                                      ceiling, half_ceiling);
    *value = make(cell::get_float(*value));
}

// The whole seconds of t moved 1e-06 away from zero, mod 60: their parity.
bool odd(const Cell& value) {
    const double t = get(value);
    if (!std::isfinite(t)) fire(ErrorId::script_type_limit, datatype::make(type::integer));
    const double s = std::trunc(std::fmod(t < 0 ? t - 1e-06 : t + 1e-06, minute));
    return static_cast<i32>(s) % 2 != 0;
}

bool even_q(Cell* value) { return !odd(*value); }
bool odd_q(Cell* value) { return odd(*value); }

constexpr ActionTable time_actions = {
    .make = to, .random = inherit, .to = to, .form = form, .mold = mold, .eval_path = eval_path,
    .compare = inherit, .absolute = inherit, .add = add, .divide = divide, .multiply = multiply,
    .negate = inherit, .remainder = inherit, .round = round, .subtract = subtract,
    .even_q = even_q, .odd_q = odd_q, .pick = pick,
};

}  // namespace

void init() { registry::add(type::time, type::float_, "time!", time_actions); }

}  // namespace oru::time
