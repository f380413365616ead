// Matching over the parse input: the literal match of one value, datatype
// tests, the fast repetition of a plain value and the search of `to` and
// `thru`, for block-like, string and binary inputs.
//
// The loops over string and binary buffers read the units through one
// buffer address taken at their start: nothing inside them allocates. They
// never read a unit at or past the end index (the tail, or the /part limit
// on the first input level). Items of block-like inputs are compared through
// the compare action, which may allocate, so those loops fetch each item
// again from its index.
#include "interpreter/parse_engine.h"

#include "codecs/lexer.h"
#include "interpreter/actions.h"
#include "runtime/datatypes/bitset.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/typeset.h"
#include "runtime/fire.h"
#include "runtime/registry.h"
#include "runtime/unicode.h"

#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace oru::parse {

namespace {

inline u32 fold(u32 c) { return unicode::case_fold(c, false); }

// A string-family value (not tag!): matched as text.
inline bool text_value_q(u32 t) { return series::string_like_q(t) && t != type::tag; }

// The units of a series from its buffer's first unit; valid until the next
// allocation.
struct Units {
    const u8* p;
    u32 unit;
    u32 at(i32 i) const { return string::get_char(p + static_cast<size_t>(i) * unit, unit); }
};
Units units_of(const Cell& s) {
    SeriesBuffer* b = series::buffer_of(s);
    return {b->head_ptr(), b->unit()};
}

// A bitset's bits: a code point beyond them answers the complement flag.
struct Bits {
    const u8* p;
    u64 bytes;
    bool complement;
    bool test(u32 cp) const { return bitset::test(p, bytes, complement, cp); }
};
Bits bits_of(const Cell& bits) {
    SeriesBuffer* b = series::buffer_of(bits);
    return {b->head_ptr(), b->tail - b->head, (b->flags & bitset::complement_flag) != 0};
}

// Units of a series value from its head to its tail.
i32 rest_of(const Cell& v) {
    const i32 n = series::abs_length_q(v) - cell::head_index(v);
    return n > 0 ? n : 0;
}

// The bytes a string or binary value stands for when matched against a
// binary input: a binary's own bytes, a string's UTF-8.
std::string bytes_of(const Cell& v) {
    std::string out;
    const i32 n = rest_of(v);
    const Units u = units_of(v);
    const i32 head = cell::head_index(v);
    if (cell::type_of(v) == type::binary) {
        out.assign(reinterpret_cast<const char*>(u.p) + head, static_cast<size_t>(n));
        return out;
    }
    for (i32 i = 0; i < n; i++) {
        u8 b[4];
        const int k = unicode::encode_utf8_char(u.at(head + i), b);
        out.append(reinterpret_cast<const char*>(b), static_cast<size_t>(k > 0 ? k : 0));
    }
    return out;
}

// The units a value matches at position i of a string input (end: the end
// index), or -1.
i32 text_match(const Cell& input, i32 i, i32 end, const Cell& v, i32 op) {
    const i32 avail = end - i;
    if (avail <= 0) return -1;
    const u32 vt = cell::type_of(v);
    switch (vt) {
        case type::bitset: return bits_of(v).test(units_of(input).at(i)) ? 1 : -1;
        case type::char_: {
            u32 c = units_of(input).at(i), w = v.data2;
            if (op != 2) c = fold(c), w = fold(w);
            return c == w ? 1 : -1;
        }
        case type::binary: {
            const i32 l = rest_of(v);
            if (l > avail) return -1;
            const Units in = units_of(input);
            const u8* b = units_of(v).p + cell::head_index(v);
            for (i32 k = 0; k < l; k++)
                if (in.at(i + k) != b[k]) return -1;
            return l;
        }
        case type::tag: {
            const i32 l = rest_of(v);
            if (l + 2 > avail) return -1;
            Cell at = input;
            at.data1 = static_cast<u32>(i);
            return string::equal_q(at, v, op) ? l + 2 : -1;
        }
        default: {
            if (!text_value_q(vt)) return -1;
            const i32 l = rest_of(v);
            if (l > avail) return -1;
            Cell at = input;
            at.data1 = static_cast<u32>(i);
            return string::equal_q(at, v, op) ? l : -1;
        }
    }
}

// The bytes a value matches at position i of a binary input, or -1.
i32 bytes_match(const Cell& input, i32 i, i32 end, const Cell& v) {
    const i32 avail = end - i;
    if (avail <= 0) return -1;
    const u8* p = units_of(input).p + i;
    const u32 vt = cell::type_of(v);
    switch (vt) {
        case type::bitset: return bits_of(v).test(*p) ? 1 : -1;
        case type::char_:
        case type::integer: return v.data2 == *p ? 1 : -1;
        case type::binary: {
            const i32 l = rest_of(v);
            if (l > avail) return -1;
            return std::memcmp(p, units_of(v).p + cell::head_index(v), static_cast<size_t>(l)) == 0 ? l : -1;
        }
        default: {
            if (!series::string_like_q(vt)) return -1;
            const std::string b = bytes_of(v);
            const i32 l = static_cast<i32>(b.size());
            if (l > avail) return -1;
            return std::memcmp(units_of(input).p + i, b.data(), b.size()) == 0 ? l : -1;
        }
    }
}

// A character needs folding when some other code point folds with it: ASCII
// other than letters never does.
inline bool fold_needed(u32 w) { return w >= 128 || (w >= 'A' && w <= 'Z') || (w >= 'a' && w <= 'z'); }

// Units from i up to stop (exclusive) that equal w, or are in the bitset:
// the first that does not (`run`), or the first that does (`find`).
template <bool Run, class Test>
i32 scan_units(const Units& u, i32 i, i32 stop, Test test) {
    switch (u.unit) {
        case 1:
            for (; i < stop; i++)
                if (test(u.p[i]) != Run) return i;
            return stop;
        case 2:
            for (; i < stop; i++)
                if (test(string::get_char(u.p + static_cast<size_t>(i) * 2, 2)) != Run) return i;
            return stop;
        default:
            for (; i < stop; i++)
                if (test(string::get_char(u.p + static_cast<size_t>(i) * 4, 4)) != Run) return i;
            return stop;
    }
}

// Scans a string or binary input for a char! or bitset! value: with `run`
// the index of the first unit from i that does not match (at most stop),
// else the first that does (stop when none).
template <bool Run>
i32 scan(const Cell& input, i32 i, i32 stop, const Cell& v, bool folding) {
    // A position already past the stop (an edit or /part limit left it
    // there) has nothing to scan; memchr would take the negative size as huge.
    if (i >= stop) return i;
    const Units u = units_of(input);
    if (cell::type_of(v) == type::bitset) {
        const Bits b = bits_of(v);
        return scan_units<Run>(u, i, stop, [&](u32 c) { return b.test(c); });
    }
    const u32 w = v.data2;
    if (folding && fold_needed(w)) {
        const u32 fw = fold(w);
        return scan_units<Run>(u, i, stop, [&](u32 c) { return fold(c) == fw; });
    }
    if (!Run && u.unit == 1) {
        if (w > 255) return stop;
        const void* hit = std::memchr(u.p + i, static_cast<int>(w), static_cast<size_t>(stop - i));
        return hit ? static_cast<i32>(static_cast<const u8*>(hit) - u.p) : stop;
    }
    return scan_units<Run>(u, i, stop, [&](u32 c) { return c == w; });
}

}  // namespace

bool Engine::compare_item(i32 index, const Cell& v) {
    Cell item = *cell_at(*in, index);
    Cell rule = v;
    const u32 it = cell::type_of(item), vt = cell::type_of(rule);
    // Lit-words match words of their spelling: ignoring case (11), or only
    // the same symbol under /case (10).
    const i32 code = vt == type::lit_word || vt == type::lit_path ? (op == 2 ? 10 : 11) : op;
    if (it >= registry::table_types || !registry::entry(it, action::compare)) return false;
    return actions::compare(&item, &rule, code);
}

bool Engine::match_type(const Cell& v) {
    const bool dt = cell::type_of(v) == type::datatype;
    if (in_type() != type::binary) {
        const u32 t = cell::type_of(*cell_at(*in, idx()));
        return dt ? datatype::get(v) == t : typeset::member_q(v, t);
    }
    // A binary input holds source text: scan one value at the position.
    const i32 i = idx();
    const i32 n = end_index() - i;
    const Units u = units_of(*in);
    std::vector<u8> text(u.p + i, u.p + i + n);
    i32 consumed = 0;
    const i32 t = lexer::scan(nullptr, text.data(), n, lexer::Mode{.one = true, .load = false}, &consumed);
    if (t <= 0) return false;
    const bool ok = dt ? datatype::get(v) == static_cast<u32>(t) : typeset::member_q(v, static_cast<u32>(t));
    if (ok && consumed > 1) set_idx(i + (consumed < n ? consumed : n) - 1);  // the advance adds the last unit
    return ok;
}

bool Engine::match_here(const Cell& v) {
    const u32 it = in_type(), vt = cell::type_of(v);
    const i32 i = idx(), end = end_index();
    if (i >= end)
        return series::string_like_q(it) && (vt == type::string || vt == type::file || vt == type::url) &&
               rest_of(v) == 0;
    i32 n;
    if (it == type::binary) n = bytes_match(*in, i, end, v);
    else if (series::string_like_q(it)) n = text_match(*in, i, end, v, op);
    else n = compare_item(i, v) ? 1 : -1;
    if (n < 0) return false;
    set_idx(i + n);
    return true;
}

bool Engine::loop_value(const Cell& v, i32 min, i32 max) {
    const i32 i0 = idx(), end = end_index();
    const i32 r = end - i0;
    if (r <= 0 || r < min) return min == 0;
    const i32 cap = max < 0 ? INT32_MAX : max;
    const u32 it = in_type(), vt = cell::type_of(v);
    i32 count = 0, i = i0;
    if (series::string_like_q(it) || it == type::binary) {
        if (vt == type::char_ || vt == type::bitset) {
            const i32 stop = cap < r ? i0 + cap : end;
            i = scan<true>(*in, i0, stop, v, vt == type::char_ && op != 2 && it != type::binary);
            count = i - i0;
        } else if (series::string_like_q(vt) || vt == type::binary) {
            if (rest_of(v) == 0) return true;  // an empty value matches without counting
            while (count < cap && i < end) {
                const i32 n = it == type::binary ? bytes_match(*in, i, end, v) : text_match(*in, i, end, v, op);
                if (n <= 0) break;
                i += n;
                count++;
            }
        }
        // Any other value matches no unit.
    } else {
        while (count < cap && i < end && compare_item(i, v)) {
            i++;
            count++;
        }
    }
    set_idx(i);
    return count >= min;
}

bool Engine::find_value(const Cell& v, i32* start) {
    const i32 i0 = idx(), end = end_index();
    const u32 it = in_type(), vt = cell::type_of(v);
    if (!series::string_like_q(it) && it != type::binary) {
        for (i32 p = i0; p < end; p++) {
            if (compare_item(p, v)) {
                *start = p;
                set_idx(p + 1);
                return true;
            }
        }
        return false;
    }
    if (!series::string_like_q(vt) && vt != type::binary && vt != type::char_ && vt != type::bitset)
        oru::fire(ErrorId::script_parse_rule, v);
    if (vt == type::char_ || vt == type::bitset) {
        const i32 p = scan<false>(*in, i0, end, v, vt == type::char_ && op != 2 && it != type::binary);
        if (p >= end) return false;
        *start = p;
        set_idx(p + 1);
        return true;
    }
    const bool binary = it == type::binary;
    const i32 l = binary ? static_cast<i32>(bytes_of(v).size()) : rest_of(v) + (vt == type::tag ? 2 : 0);
    // Positions whose first unit cannot begin a match are passed over.
    const bool text_first = !binary && l > 0 && vt != type::binary;
    const u32 first = text_first ? (vt == type::tag ? '<' : units_of(v).at(cell::head_index(v))) : 0;
    const bool folding = op != 2;
    for (i32 p = i0; p + l <= end; p++) {
        if (text_first) {
            const u32 c = units_of(*in).at(p);
            if (c != first && !(folding && fold(c) == fold(first))) continue;
        }
        const i32 n = binary ? bytes_match(*in, p, end, v) : text_match(*in, p, end, v, op);
        if (n >= 0) {
            *start = p;
            set_idx(p + n);
            return true;
        }
    }
    return false;
}

}  // namespace oru::parse
