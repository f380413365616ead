// date!: calendar arithmetic, fields, text and the handlers.
//
// A date is worked on as Parts: its day number, its stored time, its zone
// field and its has-time flag. Every change ends in build(), which carries
// whole days out of the time (so that the local time of day lands in
// [0, 86400)) and packs the day number back, refusing a time that is not
// finite or a year beyond the packed field. Day numbers are 64-bit and all
// divisions floor, so no step wraps and years before 0 count right.
#include "runtime/datatypes/date.h"

#include "interpreter/actions.h"
#include "interpreter/stack.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/path_store.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/object.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/time.h"
#include "runtime/datatypes/unset.h"
#include "runtime/datatypes/word.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/random.h"
#include "runtime/registry.h"
#include "runtime/system_object.h"
#include "runtime/words.h"

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace oru::date {

namespace {

constexpr double day_seconds = 86400.0;

constexpr i64 floor_div(i64 a, i64 b) {
    const i64 q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}
constexpr i64 floor_mod(i64 a, i64 b) { return a - floor_div(a, b) * b; }

// The day number of 1 March of the March-based year y.
constexpr i64 year_start(i64 y) { return 365 * y + floor_div(y, 4) - floor_div(y, 100) + floor_div(y, 400); }

constexpr i64 civil_days(i64 year, i32 month, i64 day) {
    const i32 m = (month + 9) % 12;  // March 0 ... February 11
    return year_start(year - m / 10) + (306 * m + 5) / 10 + (day - 1);
}

constexpr i64 first_day = civil_days(min_year, 1, 1);
constexpr i64 last_day = civil_days(max_year, 12, 31);
constexpr i64 epoch_day = civil_days(1970, 1, 1);
static_assert(civil_days(0, 3, 1) == 0);
// Year 0 is a leap year: March -1 to March 0 holds 29 February 0.
static_assert(civil_days(0, 3, 1) - civil_days(-1, 3, 1) == 366);

}  // namespace

bool leap_year_q(i32 year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

i32 days_in_month(i32 year, i32 month) {
    static const i32 days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12) return 0;
    return month == 2 && leap_year_q(year) ? 29 : days[month - 1];
}

i64 days_from_civil(i64 year, i32 month, i64 day) { return civil_days(year, month, day); }

void civil_from_days(i64 g, i32* year, i32* month, i32* day) {
    i64 y = static_cast<i64>(std::floor((10000.0 * static_cast<double>(g) + 14780.0) / 3652425.0));
    i64 r = g - year_start(y);
    while (r < 0) r = g - year_start(--y);
    while (r >= year_start(y + 1) - year_start(y)) r = g - year_start(++y);
    const i64 mi = (100 * r + 52) / 3060;
    *month = static_cast<i32>((mi + 2) % 12 + 1);
    *year = static_cast<i32>(y + (mi + 2) / 12);
    *day = static_cast<i32>(r - (306 * mi + 5) / 10 + 1);
}

i64 days_of(u32 packed) { return civil_days(year_of(packed), month_of(packed), day_of(packed)); }

i32 year_day(u32 packed) { return static_cast<i32>(days_of(packed) - civil_days(year_of(packed), 1, 1) + 1); }

u32 pack_zone(i32 hours, i32 minutes) {
    const bool west = hours < 0 || (hours == 0 && minutes < 0);
    const u32 h = static_cast<u32>(std::abs(hours)) & 15;
    const u32 q = static_cast<u32>(std::abs(minutes) / 15) & 3;
    return (west && (h | q) ? 64u : 0u) | h << 2 | q;
}

double zone_seconds(u32 zone) {
    const double s = ((zone >> 2) & 15) * 3600.0 + (zone & 3) * 900.0;
    return zone & 64 ? -s : s;
}

namespace {

// A date taken apart.
struct Parts {
    i64 days;
    double time;  // UTC-based, from the local date's midnight
    u32 zone;
    bool has_time;
};

Parts parts_of(const Cell& d) { return {days_of(d.data1), time_of(d), zone_of(d.data1), has_time_q(d.data1)}; }

inline double local_time(const Parts& p) { return p.has_time ? p.time + zone_seconds(p.zone) : 0.0; }

// Carries whole days out of the time, so that the local time of day lies in
// [0, 86400). False for a time that is not finite or beyond any year.
bool normalize(i64& days, double& t, u32 zone) {
    if (!(std::fabs(t) <= 1e13)) return false;  // NaN too
    const double z = zone_seconds(zone) / 3600.0;
    const i64 n = static_cast<i64>(std::trunc(std::trunc(t / 3600.0 + z) / 24.0));
    t -= static_cast<double>(n) * day_seconds;
    days += n;
    if (z * 3600.0 + t < 0) {
        t += day_seconds;
        days -= 1;
    }
    // A tiny negative local time rounds up to a whole day when carried.
    if (z * 3600.0 + t >= day_seconds) {
        t -= day_seconds;
        days += 1;
    }
    return true;
}

// The date of the parts, normalized; false when it leaves the year range.
bool build(Parts p, Cell* out) {
    if (!p.has_time) {
        p.time = 0;
        p.zone = 0;
    }
    if (!normalize(p.days, p.time, p.zone) || p.days < first_day || p.days > last_day) return false;
    i32 y, m, d;
    civil_from_days(p.days, &y, &m, &d);
    const u32 packed = static_cast<u32>(y) << 17 | (p.has_time ? has_time_flag : 0) | static_cast<u32>(m) << 12 |
                       static_cast<u32>(d) << 7 | p.zone;
    *out = cell::make(type::date, packed);
    std::memcpy(&out->data2, &p.time, sizeof p.time);
    return true;
}

// build, or script/type-limit (date!) when the result has no date.
Cell built(const Parts& p) {
    Cell c;
    if (!build(p, &c)) fire(ErrorId::script_type_limit, datatype::make(type::date));
    return c;
}

// The zone field of an offset in seconds (a multiple of 15 minutes below 16
// hours; another offset has no zone field: 0).
u32 zone_from_seconds(double offset) {
    if (!(std::fabs(offset) < 57600.0)) return 0;
    const i32 minutes = static_cast<i32>(offset / 60.0);
    return pack_zone(minutes / 60, minutes % 60);
}

}  // namespace

Cell make(i32 year, i32 month, i32 day, i32 zone_hours, i32 zone_minutes, double local_time, bool has_time) {
    const u32 zone = has_time ? pack_zone(zone_hours, zone_minutes) : 0;
    const u32 packed = static_cast<u32>(year) << 17 | (has_time ? has_time_flag : 0) |
                       static_cast<u32>(month & 15) << 12 | static_cast<u32>(day & 31) << 7 | zone;
    Cell c = cell::float_(has_time ? local_time - zone_seconds(zone) : 0.0);
    cell::set_type(c, type::date);
    c.data1 = packed;
    return c;
}

Cell make_hms(i32 year, i32 month, i32 day, i32 hour, i32 minute, i32 second, i32 nanoseconds) {
    const double t = hour * 3600.0 + minute * 60.0 + second + nanoseconds * 1e-9;
    return built({civil_days(year, month, day), t, 0, true});
}

Cell from_epoch(i64 seconds, double fraction, double offset) {
    const Parts p{epoch_day + floor_div(seconds, 86400), static_cast<double>(floor_mod(seconds, 86400)) + fraction,
                  zone_from_seconds(offset), true};
    return built(p);
}

Cell* push(u32 packed, double time) {
    Cell c = cell::float_(time);
    cell::set_type(c, type::date);
    c.data1 = packed;
    return stack::push(c);
}

void make_in(const Cell& block, u32 packed, double time) {
    Cell* c = memory::alloc_tail(cell::node(block));
    *c = cell::float_(time);
    cell::set_type(*c, type::date);
    c->data1 = packed;
}

namespace {

// --- Fields ----------------------------------------------------------------

inline i32 weekday_of(i64 days) { return static_cast<i32>(floor_mod(days + 2, 7)) + 1; }  // Monday 1
inline i64 jan1(i64 year) { return civil_days(year, 1, 1); }

// The Monday of ISO week 1 of a year.
i64 iso_start(i64 year) {
    const i64 j = jan1(year);
    const i64 b = floor_mod(j + 2, 7);  // Monday 0
    return j - b + (b >= 4 ? 7 : 0);
}

i32 isoweek_of(i64 days, i32 year) {
    if (days < iso_start(year)) return static_cast<i32>((days - iso_start(year - 1)) / 7 + 1);
    if (days >= iso_start(year + 1)) return 1;
    return static_cast<i32>((days - iso_start(year)) / 7 + 1);
}

// Weeks start on Sunday; week 1 holds 1 January.
i32 week_of(i64 days, i32 year) {
    const i64 j = jan1(year);
    const i64 f = floor_mod(j + 3, 7);  // weekday of 1 January, Sunday 0
    const i64 y = days - j + 1;
    return static_cast<i32>(y <= 7 - f ? 1 : (y + f - 1) / 7 + 1);
}

// The accessor named by a path element or pick index: 1-14 or its word
// (any letter case); 0 for anything else.
i32 field_of(const Cell& element) {
    const u32 t = cell::type_of(element);
    if (t == type::integer) {
        const i32 n = integer::get(element);
        return n >= 1 && n <= 14 ? n : 0;
    }
    if (t != type::word) return 0;
    static const struct {
        const i32* sym;
        i32 which;
    } names[] = {
        {&words::sym::date, field::date},         {&words::sym::year, field::year},
        {&words::sym::month, field::month},       {&words::sym::day, field::day},
        {&words::sym::zone, field::zone},         {&words::sym::time, field::time},
        {&words::sym::hour, field::hour},         {&words::sym::minute, field::minute},
        {&words::sym::second, field::second},     {&words::sym::weekday, field::weekday},
        {&words::sym::yearday, field::yearday},   {&words::sym::julian, field::yearday},
        {&words::sym::timezone, field::timezone}, {&words::sym::week, field::week},
        {&words::sym::isoweek, field::isoweek},
    };
    const i32 sym = symbol::canonical(word::symbol_of(element));
    for (const auto& n : names)
        if (symbol::canonical(*n.sym) == sym) return n.which;
    return 0;
}

// The zone field a zone or timezone write gives: an integer is hours (taken
// rem 16), a time! is taken mod 16 hours and split into hours and minutes.
u32 zone_of_value(const Cell& value) {
    switch (cell::type_of(value)) {
        case type::integer: return pack_zone(integer::get(value) % 16, 0);
        case type::time: {
            const double t = std::fmod(time::get(value), 57600.0);
            if (!std::isfinite(t)) fire(ErrorId::script_invalid_arg, value);
            const i32 h = static_cast<i32>(time::hour_of(t));
            const i32 m = time::minute_of(t);
            return pack_zone(h, t < 0 && h == 0 ? -m : m);
        }
        default: fire(ErrorId::script_invalid_arg, value);
    }
}

i64 integer_arg(const Cell& value) {
    if (cell::type_of(value) != type::integer) fire(ErrorId::script_invalid_arg, value);
    return integer::get(value);
}

// Writes a field: the date is taken apart, changed and built again.
void set_field(Cell& date, i32 which, const Cell& value) {
    Parts p = parts_of(date);
    const i32 y = year_of(date.data1), m = month_of(date.data1), d = day_of(date.data1);
    switch (which) {
        case field::date:
            // The calendar date only: this date's time, zone and has-time
            // flag stay, so that the time is neither lost nor half-kept.
            if (cell::type_of(value) != type::date) fire(ErrorId::script_invalid_arg, value);
            p.days = days_of(value.data1);
            break;
        case field::year: p.days = civil_days(integer_arg(value), m, d); break;
        case field::month: {
            const i64 n = integer_arg(value) - 1;
            p.days = civil_days(y + floor_div(n, 12), static_cast<i32>(floor_mod(n, 12)) + 1, d);
            break;
        }
        case field::day: p.days = civil_days(y, m, integer_arg(value)); break;
        case field::zone: {
            // The local date and time stay: the instant moves.
            const double local = local_time(p);
            p.zone = zone_of_value(value);
            p.time = local - zone_seconds(p.zone);
            p.has_time = true;
            break;
        }
        case field::timezone:
            // The instant stays: the local date and time move.
            if (!p.has_time) p.time = 0;
            p.zone = zone_of_value(value);
            p.has_time = true;
            break;
        case field::time:
            if (cell::type_of(value) == type::none) {
                p.has_time = false;
            } else {
                if (cell::type_of(value) != type::time || !std::isfinite(time::get(value)))
                    fire(ErrorId::script_invalid_arg, value);
                p.time = time::get(value) - (p.has_time ? zone_seconds(p.zone) : 0.0);
                if (!p.has_time) p.zone = 0;
                p.has_time = true;
            }
            break;
        case field::hour:
        case field::minute:
        case field::second: {
            // The time's own setter on the local time, taken back as local.
            const double local = time::with_field(local_time(p), which - field::time, value);
            if (!p.has_time) p.zone = 0;
            p.time = local - zone_seconds(p.zone);
            p.has_time = true;
            break;
        }
        case field::weekday: p.days += integer_arg(value) - weekday_of(p.days); break;
        case field::yearday: p.days = jan1(y) + integer_arg(value) - 1; break;
        case field::week: {
            const i64 w = integer_arg(value);
            const i64 j = jan1(y);
            p.days = w > 1 ? j - floor_mod(j + 3, 7) + 7 * (w - 1) : j;
            break;
        }
        default: p.days = iso_start(y) + 7 * (integer_arg(value) - 1); break;  // isoweek
    }
    date = built(p);
}

}  // namespace

Cell* get_field(const Cell& date, i32 which) {
    const Parts p = parts_of(date);
    const u32 packed = date.data1;
    const i32 y = year_of(packed);
    switch (which) {
        case field::date: return push(packed & ~(has_time_flag | zone_mask), 0.0);
        case field::year: return integer::push(y);
        case field::month: return integer::push(month_of(packed));
        case field::day: return integer::push(day_of(packed));
        case field::zone:
        case field::timezone:
            return p.has_time ? time::push(zone_seconds(p.zone)) : stack::push(none::value);
        case field::time: return p.has_time ? time::push(local_time(p)) : stack::push(none::value);
        case field::hour: return integer::push(static_cast<i32>(time::hour_of(local_time(p))));
        case field::minute: return integer::push(time::minute_of(local_time(p)));
        case field::second: return float_::push(time::second_of(local_time(p)));
        case field::weekday: return integer::push(weekday_of(p.days));
        case field::yearday: return integer::push(year_day(packed));
        case field::week: return integer::push(week_of(p.days, y));
        default: return integer::push(isoweek_of(p.days, y));
    }
}

void difference(Cell* a, const Cell& b) {
    const Parts pa = parts_of(*a), pb = parts_of(b);
    *a = time::make(static_cast<double>(pa.days - pb.days) * day_seconds + (pa.time - pb.time));
}

i32 to_epoch(const Cell& date) {
    const Parts p = parts_of(date);
    const double s = static_cast<double>(p.days - epoch_day) * day_seconds + std::floor(p.time + 0.5);
    if (!(s >= -2147483648.0 && s <= 2147483647.0)) fire(ErrorId::script_type_limit, datatype::make(type::integer));
    return static_cast<i32>(s);
}

namespace {

// --- Text --------------------------------------------------------------------

const char* const english_months[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// system/locale/months when the system object holds that field, else none.
// A copy: forming the date allocates, which may move the object's values.
Cell live_months() {
    static system_object::Path months_path{"locale", "months"};
    const Cell* at = system_object::select(months_path);
    return at ? *at : cell::make(type::none);
}

// Appends the first three characters of the month's name from the live
// month list.
void append_live_month(const Cell& buffer, const Cell& months, i32 month) {
    if (cell::type_of(months) != type::block) fire(ErrorId::script_invalid_months);
    if (block::rs_length_q(months) < month) fire(ErrorId::script_invalid_months);
    const Cell name = *block::rs_abs_at(months, cell::head_index(months) + month - 1);
    if (cell::type_of(name) != type::string) fire(ErrorId::script_invalid_months);
    const i32 head = cell::head_index(name) < 0 ? 0 : cell::head_index(name);
    const i32 n = string::rs_length_q(name) < 3 ? string::rs_length_q(name) : 3;
    // Appending may move buffers: each character is read again by index.
    for (i32 i = 0; i < n; i++) string::append_char(cell::node(buffer), string::rs_abs_at(name, head + i));
}

char* put_number(char* p, u32 v, i32 width) {
    char digits[12];
    i32 n = 0;
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v);
    while (n < width) digits[n++] = '0';
    while (n) *p++ = digits[--n];
    return p;
}

}  // namespace

void form_into(const Cell& buffer, const Cell& date) {
    const u32 packed = date.data1;
    const i32 year = year_of(packed);
    const char sep = year < 0 ? '/' : '-';
    char text[time::text_room + 64];
    char* p = put_number(text, static_cast<u32>(day_of(packed)), 1);
    *p++ = sep;
    const Cell months = live_months();
    if (cell::type_of(months) != type::none) {
        *p = '\0';
        string::concatenate_literal(buffer, text);
        append_live_month(buffer, months, month_of(packed));
        p = text;
    } else {
        std::memcpy(p, english_months[month_of(packed) - 1], 3);
        p += 3;
    }
    *p++ = sep;
    if (year < 0) *p++ = '-';
    const u32 a = static_cast<u32>(std::abs(year));
    p = put_number(p, a, a <= 99 ? 4 : 1);
    if (has_time_q(packed)) {
        *p++ = '/';
        const u32 zone = zone_of(packed);
        p += time::format(p, time_of(date) + zone_seconds(zone));
        if (zone != 0) {
            *p++ = zone & 64 ? '-' : '+';
            p = put_number(p, (zone >> 2) & 15, 2);
            *p++ = ':';
            p = put_number(p, (zone & 3) * 15, 2);
        }
    }
    *p = '\0';
    string::concatenate_literal(buffer, text);
}

namespace {

// --- Make and to ---------------------------------------------------------------

[[noreturn]] void refuse(const Cell& spec) { fire(ErrorId::script_bad_to_arg, datatype::make(type::date), spec); }

// The slots of a date spec's values.
enum class Slot : u8 { none, a, b, c, hour, minute, second, float_second, time, zone_hours, zone_minutes, zone_time };

// The spec automaton: per state, the next state and the slot of an
// integer!, a time! and a float! value; -1 is no transition.
struct Step {
    int8_t next;
    Slot slot;
};
constexpr Step x{-1, Slot::none};
constexpr Step automaton[14][3] = {
    {{1, Slot::a}, x, x},
    {{2, Slot::b}, x, x},
    {{3, Slot::c}, x, x},
    {{8, Slot::hour}, {4, Slot::time}, x},
    {{6, Slot::zone_hours}, {5, Slot::zone_time}, x},
    {x, x, x},
    {{7, Slot::zone_minutes}, x, x},
    {x, x, x},
    {{9, Slot::minute}, x, x},
    {{10, Slot::second}, x, {10, Slot::float_second}},
    {{12, Slot::zone_hours}, {11, Slot::zone_time}, x},
    {x, x, x},
    {{13, Slot::zone_minutes}, x, x},
    {x, x, x},
};
// [a b c hour] stops at 8, which is no date.
constexpr bool accepting[14] = {false, false, false, true, true, true, true,
                                true,  false, true,  true, true, true, true};

struct Spec {
    i64 a = 0, b = 0, c = 0;
    i64 hour = 0, minute = 0, second = 0;
    double float_second = 0, time = 0, zone_time = 0;
    i64 zone_hours = 0, zone_minutes = 0;
    bool clock = false, timed = false, zone_is_time = false;
    i32 count = 0;
};

Spec read_spec(const Cell& spec) {
    SeriesBuffer* s = memory::buffer(cell::node(spec));
    const i32 length = static_cast<i32>(s->length());
    const i32 head = cell::head_index(spec) < 0 ? 0 : cell::head_index(spec);
    Spec r;
    i32 state = 0;
    for (i32 i = head; i < length; i++) {
        const Cell& v = s->cells()[i];
        const u32 t = cell::type_of(v);
        const int column = t == type::integer ? 0 : t == type::time ? 1 : t == type::float_ ? 2 : -1;
        if (column < 0) refuse(spec);
        const Step step = automaton[state][column];
        if (step.next < 0) refuse(spec);
        const i64 n = column == 0 ? integer::get(v) : 0;
        const double f = column == 0 ? 0.0 : cell::get_float(v);
        if (column != 0 && !std::isfinite(f)) refuse(spec);
        switch (step.slot) {
            case Slot::a: r.a = n; break;
            case Slot::b: r.b = n; break;
            case Slot::c: r.c = n; break;
            case Slot::hour: r.hour = n; r.clock = true; break;
            case Slot::minute: r.minute = n; break;
            case Slot::second: r.second = n; break;
            case Slot::float_second: r.float_second = f; break;
            case Slot::time: r.time = f; r.timed = true; break;
            case Slot::zone_hours: r.zone_hours = n; break;
            case Slot::zone_minutes: r.zone_minutes = n; break;
            case Slot::zone_time: r.zone_time = f; r.zone_is_time = true; break;
            case Slot::none: break;
        }
        state = step.next;
        r.count++;
    }
    if (!accepting[state]) refuse(spec);
    return r;
}

// make (check on) and to: a date from a spec block. make takes only a valid
// calendar date and a time of day below 24:00 whose parts do not carry; to
// carries them. Either way a zone beyond 15:59 or a year beyond the packed
// field is refused: they do not fit.
Cell from_spec(const Cell& spec, bool check) {
    const Spec r = read_spec(spec);
    i64 day = r.a, month = r.b, year = r.c;
    if (r.a > 99 && r.c < r.a) {
        year = r.a;
        day = r.c;
    }
    i64 zh = r.zone_hours, zm = r.zone_minutes;
    bool west = zh < 0;
    if (r.zone_is_time) {
        zh = static_cast<i64>(time::hour_of(r.zone_time));
        zm = time::minute_of(r.zone_time);
        west = r.zone_time < 0;
    }
    if (std::abs(zh) > 15 || zm < 0 || zm > 59) refuse(spec);
    u32 zone = static_cast<u32>(std::abs(zh)) << 2 | static_cast<u32>(zm / 15);
    if (west && zone) zone |= 64;

    double t = 0;
    if (r.clock) {
        t = static_cast<double>(r.hour) * 3600.0 + static_cast<double>(r.minute) * 60.0 +
            (r.float_second != 0.0 ? r.float_second : static_cast<double>(r.second));
    } else if (r.timed) {
        t = r.time;
    }
    if (check) {
        const bool date_ok = month >= 1 && month <= 12 && year >= min_year && year <= max_year && day >= 1 &&
                             day <= days_in_month(static_cast<i32>(year), static_cast<i32>(month));
        const double second = r.float_second != 0.0 ? r.float_second : static_cast<double>(r.second);
        const bool time_ok = r.clock ? r.hour >= 0 && r.hour <= 23 && r.minute >= 0 && r.minute <= 59 &&
                                           second >= 0 && second < 60
                                     : t >= 0 && t < day_seconds;
        if (!date_ok || !time_ok) refuse(spec);
    }
    const i64 m0 = month - 1;
    const Parts p{civil_days(year + floor_div(m0, 12), static_cast<i32>(floor_mod(m0, 12)) + 1, day),
                  t - zone_seconds(zone), zone, r.count > 3};
    Cell out;
    if (!build(p, &out)) refuse(spec);
    return out;
}

Cell* convert(Cell* spec, bool check) {
    switch (cell::type_of(*spec)) {
        case type::date: return spec;
        case type::block:
        case type::paren:
        case type::hash: return stack::push(from_spec(*spec, check));
        case type::integer:
            if (!check) return stack::push(from_epoch(integer::get(*spec), 0.0, 0.0));
            [[fallthrough]];
        default: refuse(*spec);
    }
}

// --- Actions ---------------------------------------------------------------

Cell* make(Cell*, Cell* spec, u32) { return convert(spec, true); }
Cell* to(Cell*, Cell* spec, u32) { return convert(spec, false); }

i32 form(Cell* value, Cell* buffer, Cell*, i32 limit) {
    const i32 before = string::rs_length_q(*buffer);
    form_into(*buffer, *value);
    return limit - (string::rs_length_q(*buffer) - before);
}

i32 mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* part, i32 limit, i32) {
    return form(value, buffer, part, limit);
}

// /seed seeds the generator from the packed word and the whole seconds.
// Otherwise a day between the first day and this one, and with a time a
// random zone and a random local time of day (a multiple of 24 seconds).
void random(Cell* value, bool seed, bool secure, bool) {
    Parts p = parts_of(*value);
    if (seed) {
        random::seed(static_cast<i32>(value->data1 + static_cast<u32>(static_cast<i32>(std::trunc(p.time)))));
        *value = unset::value;
        return;
    }
    p.days = random::int_uniform_distr(secure, static_cast<i32>(p.days)) - 1;
    if (p.has_time) {
        const i32 r = secure ? random::secure_int() : random::rand();
        p.zone = static_cast<u32>(secure ? random::secure_int() : random::rand()) & zone_mask;
        if ((p.zone & 63) == 0) p.zone = 0;  // no "-00:00"
        const double fraction = r / (secure ? 2147483648.0 : 2147483647.0);
        p.time = std::floor(fraction * 3600.0) / 3600.0 * day_seconds - zone_seconds(p.zone);
    }
    *value = built(p);
}

// By instant: day number x 86400 + stored time, equal within float!'s
// tolerance, so one instant in two zones is equal and orders by when it
// is. same? wants the same calendar date and the same time bits.
i32 compare(Cell* value1, Cell* value2, i32 op) {
    if (cell::type_of(*value2) != type::date) return -2;
    const u32 keys = ~(has_time_flag | zone_mask);
    if (op == actions::op::same)
        return (value1->data1 & keys) == (value2->data1 & keys) &&
                       std::bit_cast<u64>(time_of(*value1)) == std::bit_cast<u64>(time_of(*value2))
                   ? 0
                   : 1;
    const double a = static_cast<double>(days_of(value1->data1)) * day_seconds + time_of(*value1);
    const double b = static_cast<double>(days_of(value2->data1)) * day_seconds + time_of(*value2);
    if (float_::almost_equal_q(a, b)) return 0;
    return a < b ? -1 : 1;
}

// date + days or time, date - days, time or date (whole days between them,
// an integer!). The result keeps the first date's zone.
void do_math(bool subtract) {
    Cell* args = stack::arguments;
    Parts p = parts_of(args[0]);
    const Cell b = args[1];
    switch (cell::type_of(b)) {
        case type::integer: p.days += subtract ? -static_cast<i64>(integer::get(b)) : integer::get(b); break;
        case type::time: {
            const double s = time::get(b);
            p.time += subtract ? -s : s;
            p.has_time = true;
            break;
        }
        case type::date: {
            if (!subtract) fire(ErrorId::script_not_related, words::word::add, datatype::make(type::date));
            const Parts q = parts_of(b);
            i64 days = p.days - q.days;
            double t = p.time - q.time;
            normalize(days, t, p.zone);  // finite: both times are
            args[0] = cell::integer(static_cast<i32>(days));
            return;
        }
        default: fire(ErrorId::script_invalid_type, datatype::make(cell::type_of(b)));
    }
    args[0] = built(p);
}

void add() { do_math(false); }
void subtract() { do_math(true); }

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* container, Cell* previous, i32 index,
                bool, bool, bool, bool) {
    const i32 which = field_of(*element);
    if (!which) fire(ErrorId::script_invalid_path, path ? *path : none::value, *element);
    if (!value) return get_field(*parent, which);
    set_field(*parent, which, *value);
    path_store::store_back(*parent, container, previous, path, index);
    return value;
}

Cell* pick(Cell* value, i32, Cell* index) {
    const i32 which = field_of(*index);
    if (!which) fire(ErrorId::script_out_of_range, *index);
    return get_field(*value, which);
}

constexpr ActionTable date_actions = {
    .make = make, .random = random, .to = to, .form = form, .mold = mold, .eval_path = eval_path,
    .compare = compare, .add = add, .subtract = subtract, .pick = pick,
};

}  // namespace

void init() { registry::add(type::date, 0, "date!", date_actions); }

}  // namespace oru::date
