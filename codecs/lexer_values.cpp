// Values of the later token kinds: literal checks and value cells.
//
// The parsers read one token's bytes and never allocate, so the lexer can
// run them in every mode (scan-only modes only want the verdict). The
// builders keep the cell layouts of the datatypes exactly, so the values stay
// valid when those modules land.
#include "codecs/lexer_values.h"

#include "runtime/datatypes/string.h"
#include "runtime/float_text.h"
#include "runtime/memory.h"
#include "runtime/unicode.h"

#include <cmath>
#include <limits>
#include <string>

namespace oru {

// --- Token parsers ------------------------------------------------------------------

namespace lexer {
namespace {

bool digit_q(u8 c) { return c >= '0' && c <= '9'; }
bool hex_value(u8 c, u32* v) {
    if (c >= '0' && c <= '9') return *v = c - '0', true;
    if (c >= 'a' && c <= 'f') return *v = c - 'a' + 10, true;
    if (c >= 'A' && c <= 'F') return *v = c - 'A' + 10, true;
    return false;
}
bool letter_q(u8 c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
u8 upper(u8 c) { return c >= 'a' && c <= 'z' ? static_cast<u8>(c - 32) : c; }

// Reads digits at p into *v, at most 2^31 - 1; with quotes a "'" may follow
// a digit (two in a row are refused, as in integers). False when there is no
// digit or the value is larger.
bool read_number(const u8*& p, const u8* e, bool quotes, i64* v) {
    *v = 0;
    i32 count = 0;
    for (; p < e; p++) {
        if (*p == '\'' && quotes && count > 0) {
            if (p + 1 < e && p[1] == '\'') return false;
            continue;
        }
        if (!digit_q(*p)) break;
        *v = *v * 10 + (*p - '0');
        if (*v > std::numeric_limits<i32>::max()) return false;
        count++;
    }
    return count > 0;
}

// Seconds: digits, optionally "." or "," and more digits.
bool read_seconds(const u8*& p, const u8* e, double* out) {
    std::string text;
    while (p < e && digit_q(*p)) text.push_back(static_cast<char>(*p++));
    if (text.empty()) return false;
    if (p < e && (*p == '.' || *p == ',')) {
        text.push_back('.');
        for (p++; p < e && digit_q(*p); p++) text.push_back(static_cast<char>(*p));
    }
    if (text.size() > 312) return false;
    i32 rest = 0;
    *out = float_text::text_to_float(text.data(), text.data() + text.size(), 0, &rest);
    return rest == 0;
}

// A run of exactly n digits at p.
bool fixed_digits(const u8*& p, const u8* e, i32 n, i32* v) {
    *v = 0;
    if (e - p < n) return false;
    for (i32 i = 0; i < n; i++, p++) {
        if (!digit_q(*p)) return false;
        *v = *v * 10 + (*p - '0');
    }
    return true;
}

i32 digit_run(const u8* p, const u8* e) {
    i32 n = 0;
    while (p + n < e && digit_q(p[n])) n++;
    return n;
}

struct Clock {
    double time = 0;           // local time of day in seconds
    i32 zone_h = 0, zone_m = 0;  // signed; the minutes carry the sign too
    bool has_time = false;
};

// A zone after its sign character: hours and optional minutes ("5", "05",
// "05:30", "0530"). Hours -15..15, minutes 0..59.
bool read_zone(const u8*& p, const u8* e, bool west, Clock& c) {
    i32 n = digit_run(p, e);
    i32 h = 0, m = 0;
    if (n == 1 || n == 2) {
        fixed_digits(p, e, n, &h);
        if (p < e && *p == ':') {
            p++;
            i32 k = digit_run(p, e);
            if (k < 1 || k > 2) return false;
            fixed_digits(p, e, k, &m);
        }
    } else if (n == 3 || n == 4) {
        fixed_digits(p, e, n - 2, &h);
        fixed_digits(p, e, 2, &m);
    } else {
        return false;
    }
    if (h > 15 || m > 59) return false;
    c.zone_h = west ? -h : h;
    c.zone_m = west ? -m : m;
    return true;
}

// The time of a date (hours ":" minutes, optionally ":" seconds) and an
// optional zone; it must end the token.
bool read_clock(const u8*& p, const u8* e, Clock& c) {
    i64 h, m;
    double s = 0;
    if (!read_number(p, e, false, &h) || p >= e || *p++ != ':') return false;
    if (!read_number(p, e, false, &m)) return false;
    if (p < e && *p == ':') {
        p++;
        if (!read_seconds(p, e, &s)) return false;
    }
    if (h > 23 || m > 59 || !(s < 60)) return false;
    c.time = static_cast<double>(h) * 3600 + static_cast<double>(m) * 60 + s;
    c.has_time = true;
    if (p < e && *p == 'Z') {
        p++;
    } else if (p < e && (*p == '+' || *p == '-')) {
        bool west = *p++ == '-';
        if (!read_zone(p, e, west, c)) return false;
    }
    return p == e;
}

// A month field: 1 or 2 digits, or a prefix of 3 to 9 letters of a month name.
i32 read_month(const u8*& p, const u8* e) {
    static const char* names[12] = {"JANUARY", "FEBRUARY", "MARCH",     "APRIL",   "MAY",      "JUNE",
                                    "JULY",    "AUGUST",   "SEPTEMBER", "OCTOBER", "NOVEMBER", "DECEMBER"};
    i32 n = digit_run(p, e);
    if (n > 0) {
        i32 m;
        if (n > 2) return 0;
        fixed_digits(p, e, n, &m);
        return m;
    }
    while (p + n < e && letter_q(p[n])) n++;
    if (n < 3 || n > 9) return 0;
    for (i32 m = 0; m < 12; m++) {
        const char* name = names[m];
        i32 i = 0;
        while (i < n && name[i] && upper(p[i]) == static_cast<u8>(name[i])) i++;
        if (i == n) {
            p += n;
            return m + 1;
        }
    }
    return 0;
}

u32 finish_date(i32 year, i32 month, i32 day, const Clock& c, Cell* out) {
    if (year < -9999 || year > 9999 || month < 1 || month > 12) return type::date;
    if (day < 1 || day > date::days_in_month(year, month)) return type::date;
    if (out) *out = date::make(year, month, day, c.zone_h, c.zone_m, c.time, c.has_time);
    return 0;
}

// A date from a day number (week and ordinal forms).
u32 finish_days(i32 days, const Clock& c, Cell* out) {
    i32 y, m, d;
    date::civil_from_days(days, &y, &m, &d);
    return finish_date(y, m, d, c, out);
}

// An optional "T" and time after a week or ordinal date.
bool read_optional_clock(const u8*& p, const u8* e, Clock& c) {
    if (p == e) return true;
    if (*p++ != 'T') return false;
    return read_clock(p, e, c);
}

// Compact form after a 4-digit year: MMDD "T" HHMM, then "Z" or seconds
// optionally followed by "Z" or a zone of 4 digits.
u32 compact_date(i32 year, const u8* p, const u8* e, Cell* out) {
    i32 month, day, h, m;
    Clock c;
    if (!fixed_digits(p, e, 2, &month) || !fixed_digits(p, e, 2, &day)) return type::date;
    if (p >= e || *p++ != 'T') return type::date;
    if (!fixed_digits(p, e, 2, &h) || !fixed_digits(p, e, 2, &m)) return type::date;
    double s = 0;
    if (p < e && *p == 'Z') {
        p++;
    } else {
        if (!read_seconds(p, e, &s)) return type::date;
        if (p < e && *p == 'Z') {
            p++;
        } else if (p < e && (*p == '+' || *p == '-')) {
            bool west = *p++ == '-';
            if (digit_run(p, e) != 4 || !read_zone(p, e, west, c)) return type::date;
        }
    }
    if (p != e || h > 23 || m > 59 || !(s < 60)) return type::date;
    c.time = h * 3600.0 + m * 60.0 + s;
    c.has_time = true;
    return finish_date(year, month, day, c, out);
}

}  // namespace

u32 parse_time(const u8* s, const u8* e, Cell* out) {
    const u8* p = s;
    bool negative = false;
    if (p < e && (*p == '+' || *p == '-')) negative = *p++ == '-';
    i64 a, b;
    if (!read_number(p, e, true, &a) || p >= e || *p++ != ':') return type::time;
    if (!read_number(p, e, true, &b)) return type::time;  // also a "-" or nothing after ":"
    double value;
    if (p < e && (*p == '.' || *p == ',')) {
        // Minutes and seconds with a fraction: 1:30.5 is 90.5 seconds.
        std::string sec = std::to_string(b) + ".";
        for (p++; p < e && digit_q(*p); p++) sec.push_back(static_cast<char>(*p));
        if (p != e || sec.size() > 312) return type::time;
        i32 rest = 0;
        double f = float_text::text_to_float(sec.data(), sec.data() + sec.size(), 0, &rest);
        if (rest != 0) return type::time;
        value = static_cast<double>(a) * 60 + f;
    } else {
        double sec = 0;
        if (p < e) {
            if (*p++ != ':' || !read_seconds(p, e, &sec) || p != e) return type::time;
        }
        value = static_cast<double>(a) * 3600 + static_cast<double>(b) * 60 + sec;
    }
    if (out) *out = time::make(negative ? 0.0 - value : value);
    return 0;
}

u32 parse_date(const u8* s, const u8* e, Cell* out) {
    const u8* p = s;
    bool negative = p < e && *p == '-';
    if (negative) p++;
    i32 n1 = digit_run(p, e);
    if (n1 == 0) return type::date;
    if (n1 > 4) {
        i32 year;
        if (n1 != 8) return type::date;
        fixed_digits(p, e, 4, &year);
        return compact_date(negative ? -year : year, p, e, out);
    }
    i32 v1;
    fixed_digits(p, e, n1, &v1);
    if (negative) v1 = -v1;
    if (p >= e) return type::date;
    Clock c;
    // Week form: a 4-character year, "-W", the week, an optional weekday.
    if (*p == '-' && e - p > 1 && p[1] == 'W') {
        if (p - s != 4) return type::date;
        p += 2;
        i32 week, weekday = 1;
        // Any two digits: a week past the year's last counts on into the next
        // year, as setting the week of a date does.
        if (!fixed_digits(p, e, 2, &week)) return type::date;
        if (p < e && *p == '-') {
            p++;
            if (!fixed_digits(p, e, 1, &weekday) || weekday < 1 || weekday > 7) return type::date;
        }
        if (!read_optional_clock(p, e, c)) return type::date;
        i32 jan1 = date::days_from_civil(v1, 1, 1);
        i32 b = ((jan1 + 2) % 7 + 7) % 7;  // weekday of 1 January, Monday 0
        i32 start = jan1 - b + (b >= 4 ? 7 : 0);
        return finish_days(start + (week - 1) * 7 + weekday - 1, c, out);
    }
    // Ordinal form: the year, "-" and the day of the year in 3 digits.
    if (*p == '-' && digit_run(p + 1, e) == 3 && (p + 4 == e || p[4] == 'T')) {
        i32 yday;
        p++;
        fixed_digits(p, e, 3, &yday);
        // Day 0 is refused; a day past the year's last counts on into the next
        // year, as setting the day of the year does.
        if (yday < 1) return type::date;
        if (!read_optional_clock(p, e, c)) return type::date;
        return finish_days(date::days_from_civil(v1, 1, 1) + yday - 1, c, out);
    }
    // Day, month and year (or year, month and day) with one separator.
    u8 sep = *p++;
    if (sep != '/' && sep != '-') return type::date;
    i32 month = read_month(p, e);
    if (month == 0 || p >= e || *p++ != sep) return type::date;
    bool negative3 = p < e && *p == '-';
    if (negative3) p++;
    i32 n3 = digit_run(p, e), v3;
    if (n3 == 0 || n3 > 4) return type::date;
    fixed_digits(p, e, n3, &v3);
    i32 year, day;
    if (v1 > 99 && !negative3 && v3 <= 31) {
        year = v1, day = v3;
    } else {
        day = v1;
        year = negative3 ? -v3 : v3;
        if (n3 <= 2 && !negative3) year += year > 49 ? 1900 : 2000;
    }
    if (p < e) {
        if (*p != '/' && *p != 'T') return type::date;
        p++;
        if (!read_clock(p, e, c)) return type::date;
    }
    return finish_date(year, month, day, c, out);
}

u32 parse_money(const u8* s, const u8* e, Cell* out) {
    const u8* p = s;
    bool negative = false;
    if (p < e && (*p == '+' || *p == '-')) negative = *p++ == '-';
    const u8* code = p;
    while (p < e && letter_q(*p)) p++;
    i32 code_n = static_cast<i32>(p - code);
    if ((code_n != 0 && code_n != 3) || p >= e || *p++ != '$') return type::money;
    // Integer digits: "'" only between digits, never doubled or last.
    const u8* whole = p;
    i32 significant = 0;
    for (; p < e && (digit_q(*p) || *p == '\''); p++) {
        if (*p == '\'') {
            if (p == whole || p[-1] == '\'' || p + 1 >= e || !digit_q(p[1])) return type::money;
            continue;
        }
        if (significant > 0 || *p != '0') significant++;
    }
    const u8* whole_end = p;
    if (whole_end == whole || significant > money::integer_digits) return type::money;
    const u8* frac = p;
    if (p < e && (*p == '.' || *p == ',')) {
        frac = ++p;
        while (p < e && digit_q(*p)) p++;
        if (p == frac || p - frac > money::fraction_digits) return type::money;
    }
    if (p != e) return type::money;
    Cell v;
    if (!money::make_at(v, negative, code, code_n, whole, static_cast<i32>(whole_end - whole), frac,
                        static_cast<i32>(p - frac)))
        return type::money;
    if (out) *out = v;
    return 0;
}

namespace {
// One half of a pair: an optional sign and digits ("'" allowed, never two in
// a row). 0 or the error's datatype.
u32 pair_half(const u8*& p, const u8* e, i32* out) {
    bool negative = false;
    if (p < e && (*p == '+' || *p == '-')) negative = *p++ == '-';
    i64 v = 0;
    i32 digits = 0;
    for (; p < e && (digit_q(*p) || *p == '\''); p++) {
        if (*p == '\'') {
            if (p + 1 < e && p[1] == '\'') return type::integer;
            continue;
        }
        if (++digits > 10) return type::pair;
        v = v * 10 + (*p - '0');
    }
    if (digits == 0) return type::pair;
    if (negative) v = -v;
    if (v > std::numeric_limits<i32>::max() || v < std::numeric_limits<i32>::min()) return type::pair;
    *out = static_cast<i32>(v);
    return 0;
}
}  // namespace

u32 parse_pair(const u8* s, const u8* e, Cell* out) {
    for (const u8* q = s; q < e; q++)
        if (*q == '.') return type::pair;
    const u8* p = s;
    i32 x, y;
    if (u32 err = pair_half(p, e, &x)) return err;
    if (p >= e || (*p != 'x' && *p != 'X')) return type::pair;
    p++;
    if (u32 err = pair_half(p, e, &y)) return err;
    if (p != e) return type::pair;
    if (out) *out = pair::make(x, y);
    return 0;
}

u32 parse_tuple(const u8* s, const u8* e, Cell* out) {
    u8 bytes[12];
    i32 parts = 0;
    for (const u8* p = s;; p++) {
        i32 v = 0, digits = 0;
        for (; p < e && digit_q(*p); p++, digits++) v = v > 255 ? v : v * 10 + (*p - '0');
        if (digits == 0 || v > 255 || parts == 12) return type::tuple;
        bytes[parts++] = static_cast<u8>(v);
        if (p == e) break;
        if (*p != '.') return type::tuple;
    }
    if (parts < 3) return type::tuple;
    if (out) *out = tuple::make(bytes, parts);
    return 0;
}

u32 parse_binary(const u8* s, const u8* e, std::vector<u8>& bytes) {
    const u8* p = s;
    i32 base = 16;
    if (i32 n = digit_run(p, e)) {
        std::string prefix(reinterpret_cast<const char*>(p), static_cast<size_t>(n));
        if (prefix != "2" && prefix != "16" && prefix != "64") return type::binary;
        base = std::stoi(prefix);
        p += n;
    }
    if (e - p < 2 || p[0] != '#' || p[1] != '{') return type::binary;
    p += 2;
    // The digits without white space and ";" comments.
    std::string digits;
    for (; p < e; p++) {
        if (*p == ';') {
            while (p < e && *p != '\n') p++;
            if (p == e) break;
            continue;
        }
        if (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') continue;
        digits.push_back(static_cast<char>(*p));
    }
    bytes.clear();
    if (base == 16) {
        if (digits.size() % 2) return type::binary;
        bytes.reserve(digits.size() / 2);
        for (size_t i = 0; i < digits.size(); i += 2) {
            u32 hi, lo;
            if (!hex_value(static_cast<u8>(digits[i]), &hi) || !hex_value(static_cast<u8>(digits[i + 1]), &lo))
                return type::binary;
            bytes.push_back(static_cast<u8>(hi << 4 | lo));
        }
    } else if (base == 2) {
        if (digits.size() % 8) return type::binary;
        bytes.reserve(digits.size() / 8);
        for (size_t i = 0; i < digits.size(); i += 8) {
            u32 b = 0;
            for (size_t k = i; k < i + 8; k++) {
                if (digits[k] != '0' && digits[k] != '1') return type::binary;
                b = b << 1 | static_cast<u32>(digits[k] - '0');
            }
            bytes.push_back(static_cast<u8>(b));
        }
    } else {
        // Groups of 4 characters give 3 bytes; "=" pads the last group of 2 or 3.
        static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        if (digits.size() % 4) return type::binary;
        bytes.reserve(digits.size() * 3 / 4);
        for (size_t i = 0; i < digits.size(); i += 4) {
            u32 group = 0;
            i32 n = 0;
            for (size_t k = i; k < i + 4; k++) {
                const char* at = digits[k] == '=' ? nullptr : std::strchr(alphabet, digits[k]);
                if (digits[k] == '=') {
                    // Padding only closes the last group, after 2 or 3 digits.
                    if (i + 4 != digits.size() || n < 2 || (k + 1 < i + 4 && digits[k + 1] != '=')) return type::binary;
                    continue;
                }
                if (!at || digits[k] == 0) return type::binary;
                group = group << 6 | static_cast<u32>(at - alphabet);
                n++;
            }
            group <<= 6 * (4 - n);
            for (i32 b = 0; b < n - 1; b++) bytes.push_back(static_cast<u8>(group >> (16 - 8 * b)));
        }
    }
    return 0;
}

Cell scan_money(const u8* text, u32 unit, i32 count, i32* error) {
    *error = -1;
    Cell none = cell::make(type::none);
    std::string t;
    for (i32 i = 0; i < count; i++) {
        u32 c = string::get_char(text + static_cast<size_t>(i) * unit, unit);
        if (c == 0 || c > 0x7F) return none;
        t.push_back(static_cast<char>(c));
    }
    auto b = reinterpret_cast<const u8*>(t.data());
    const u8* p = b;
    const u8* e = b + t.size();
    bool negative = false;
    if (p < e && (*p == '+' || *p == '-')) negative = *p++ == '-';
    const u8* code = p;
    i32 code_n = 0;
    if (e - p >= 3 && letter_q(p[0]) && letter_q(p[1]) && letter_q(p[2])) {
        code_n = 3;
        p += 3;
        if (p >= e || *p != '$' || e - p < 2) return none;
    }
    if (p < e && *p == '$') p++;
    // Digits, "'" groups and at most one ".".
    const u8* digits = p;
    const u8* point = nullptr;
    if (p == e) return none;
    for (; p < e; p++) {
        u8 c = *p;
        if (digit_q(c)) continue;
        bool first = p == digits, last = p + 1 == e;
        if (c == '\'') {
            if (first || last || p[-1] == '\'' || p[-1] == '.' || point) return none;
        } else if (c == '.') {
            if (first || last || p[-1] == '\'' || point) return none;
            point = p;
        } else {
            return none;
        }
    }
    const u8* int_end = point ? point : e;
    const u8* frac = point ? point + 1 : e;
    Cell v;
    if (!money::make_at(v, negative, code, code_n, digits, static_cast<i32>(int_end - digits), frac,
                        static_cast<i32>(e - frac)))
        return none;
    *error = 0;
    return v;
}

}  // namespace lexer
}  // namespace oru
