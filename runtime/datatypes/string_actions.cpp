// string!: the action handlers of the text type, the set operations on
// strings, and the registration (string! is a child of series! and inherits
// its positional handlers; url!, file!, tag!, email!, ref!, binary! and
// vector! inherit these in turn unless they register their own).
//
// Buffers hold 1, 2 or 4 bytes a character and widen when a wider character
// arrives, which rewrites (and may move) the whole buffer; growth moves it
// too. Handlers keep nodes and character indexes, never addresses, across a
// call that can allocate or dispatch, and text that will be written into the
// buffer it comes from is copied aside first. Values formed on the way (a
// block appended to a string, a number searched for) live in strings on the
// data stack, where the collector sees them. The action table is at the
// bottom.
#include "runtime/datatypes/string.h"

#include "interpreter/actions.h"
#include "interpreter/stack.h"
#include "runtime/calls.h"
#include "runtime/cycles.h"
#include "runtime/datatypes/bitset.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/registry.h"
#include "runtime/sort.h"
#include "runtime/unicode.h"
#include "runtime/words.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <numeric>
#include <vector>

namespace oru::string {

BinaryMaker binary_maker = nullptr;

namespace {

constexpr i64 max_bytes = 0x7FFFFFF0;  // largest data area a buffer may ask for
constexpr i32 no_limit = 0x7FFFFFFF;   // the form/mold budget without /part

// The string family: the text types whose values search, compare and fold
// as text.
inline bool family_q(u32 t) { return series::string_like_q(t); }

inline SeriesBuffer* buf(Node n) { return memory::buffer(n); }
inline i32 length_of(Node n) { return static_cast<i32>(buf(n)->length()); }

// The head index clamped to [0, length].
inline i32 clamped_head(const Cell& v) {
    const i32 h = cell::head_index(v), len = length_of(cell::node(v));
    return h < 0 ? 0 : h > len ? len : h;
}

// The code point at an absolute index (no bounds check).
inline u32 char_at(Node n, i32 i) {
    SeriesBuffer* s = buf(n);
    return get_char(s->head_ptr() + static_cast<size_t>(i) * s->unit(), s->unit());
}

inline i32 saturate(i64 v) { return v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : static_cast<i32>(v); }

// The unit that appending a character needs: 1 up to 127, 2 up to 0xFFFF.
inline u32 append_unit(u32 cp) { return cp < 0x80 ? 1 : cp < 0x10000 ? 2 : 4; }

// Restores the data stack's top when the scope ends normally: the
// temporaries a handler pushed (formed values, scratch strings) go together.
// While an error unwinds the top stays put, above the error cell.
using StackMark = stack::Mark;

// A stored handler's answer: the temporaries above `base` are dropped and the
// value is pushed in their place.
Cell* give(Cell* base, const Cell& value) {
    const Cell v = value;
    stack::top = base;
    return stack::push(v);
}

// A new empty string on the data stack with room for n characters.
Cell* push_string(i32 n, u32 unit) {
    Cell* c = stack::push(none::value);
    make_at_unit(*c, n < 16 ? 16 : n, unit);
    return c;
}

// Widens the node's buffer to at least `unit` bytes a character.
SeriesBuffer* widen(Node n, u32 unit) {
    SeriesBuffer* s = buf(n);
    if (s->unit() >= unit) return s;
    if (s->unit() == 1) return unit == 2 ? unicode::widen_to_ucs2(s) : unicode::widen_to_ucs4(s);
    return unicode::widen_ucs2_to_ucs4(s);
}

// Makes room for `bytes` of data from the buffer's first unit: the buffer
// grows to what is needed, or to twice its size when that is more.
SeriesBuffer* room(Node n, i64 bytes) {
    SeriesBuffer* s = buf(n);
    if (static_cast<i64>(s->head) + bytes <= s->size) return s;
    i64 want = bytes < 2 * static_cast<i64>(s->size) ? 2 * static_cast<i64>(s->size) : bytes;
    if (want > max_bytes) want = max_bytes;
    if (bytes > want) fire(ErrorId::internal_no_memory);
    return memory::expand_series_copy(s, static_cast<i32>(want));
}

// Sets the tail to `count` characters from the first unit.
inline void set_length(Node n, i64 count) {
    SeriesBuffer* s = buf(n);
    s->tail = s->head + static_cast<u32>(count * s->unit());
}

// A bitset! test: a code point beyond the bits answers the complement flag.
inline bool match_bitset(const Cell& bits, u32 cp) { return bitset::test(bits, cp); }

[[noreturn]] void not_done() { fire(ErrorId::internal_not_done); }

// ---------------------------------------------------------------------------
// The text a change writes

// What append, insert and change write: the first n characters of a string
// value from its head, or one code point.
struct Text {
    Cell str{};      // the source string (unused for a single character)
    bool single = false;
    u32 cp = 0;
    i32 n = 0;       // characters written once
    u32 unit = 1;    // the unit the target needs for them
};

// Forms the value into a new string on the data stack: a block!, paren! or
// hash! element by element without separators (at most `part` elements),
// anything else whole (cut to `part` characters). A negative part means all.
Cell* formed(const Cell& value, i32 part) {
    Cell* out = push_string(16, 1);
    Cell* v = stack::push(value);
    const u32 t = cell::type_of(value);
    if (t == type::block || t == type::paren || t == type::hash) {
        const Node n = cell::node(value);
        cycles::Guard guard(n);  // an element that is the block itself forms as "..."
        i32 count = length_of(n) - clamped_head(value);
        if (part >= 0 && part < count) count = part;
        for (i32 k = 0; k < count; k++) {
            const i32 i = clamped_head(*v) + k;
            if (i >= length_of(n)) break;  // a form that shortened the block
            StackMark mark;
            actions::form(stack::push(buf(n)->cells()[i]), out, nullptr, no_limit);
        }
    } else {
        actions::form(v, out, nullptr, no_limit);
        if (part >= 0) rs_truncate(buf(cell::node(*out)), part);
    }
    stack::top = v;  // the copy of the value goes, the string stays
    return out;
}

// The text of a value for append, insert and change, cut to `part`
// characters (all when negative). Temporaries go on the data stack.
Text text_of(const Cell& value, i32 part) {
    Text t;
    const u32 vt = cell::type_of(value);
    if (vt == type::char_) {
        t.single = true;
        t.cp = value.data2;
        t.n = 1;
        t.unit = append_unit(t.cp);
        return t;
    }
    if (vt == type::tag) {  // written between its brackets, which /part counts
        Cell* s = push_string(rs_length_q(value) + 2, buf(cell::node(value))->unit());
        concatenate_literal(*s, "<");
        concatenate(*s, value, -1, 0, true, mode::append);
        concatenate_literal(*s, ">");
        t.str = *s;
    } else if (family_q(vt)) {
        t.str = value;
    } else {
        t.str = *formed(value, part);  // /part already applied (elements of a block)
        part = -1;
    }
    t.n = rs_length_q(t.str);
    if (part >= 0 && part < t.n) t.n = part;
    t.unit = buf(cell::node(t.str))->unit();
    return t;
}

// Replaces `replaced` characters at absolute index pos of the series with
// dup copies of the text, widening and growing the buffer as needed; the
// owner (if any) is told `before` and `after`. Returns the index just past
// the new text, or -1 when the owner's handler changed the series first
// (nothing is written then).
i32 write_text(Cell* series, i32 pos, i32 replaced, const Text& text, i32 dup, const Cell& value,
               const Cell& before, const Cell& after) {
    const Node sn = cell::node(*series);
    const i32 len = length_of(sn);
    pos = std::clamp(pos, 0, len);
    replaced = std::clamp(replaced, 0, len - pos);
    const i64 total = static_cast<i64>(text.n) * dup;
    const u32 unit = std::max(buf(sn)->unit(), text.unit);
    const i64 new_len = len - replaced + total;
    if (total > INT32_MAX || new_len * unit > max_bytes) fire(ErrorId::internal_no_memory);
    if (total == 0 && replaced == 0) return pos;
    if (!series::notify_before(*series, before, &value, pos, static_cast<i32>(total))) return -1;
    // The owner's handler may have shortened the text as well.
    if (!text.single && rs_length_q(text.str) < text.n) return -1;

    // Text from the series' own buffer is copied aside before anything moves.
    std::vector<u32> own;
    if (!text.single && cell::node(text.str) == sn) {
        const i32 from = clamped_head(text.str);
        own.reserve(static_cast<size_t>(text.n));
        for (i32 k = 0; k < text.n; k++) own.push_back(char_at(sn, from + k));
    }
    widen(sn, unit);
    SeriesBuffer* s = room(sn, new_len * unit);
    u8* base = s->head_ptr();
    std::memmove(base + (pos + total) * unit, base + static_cast<i64>(pos + replaced) * unit,
                 static_cast<size_t>(len - pos - replaced) * unit);
    u8* at = base + static_cast<size_t>(pos) * unit;
    if (text.single) {
        put_char(at, unit, text.cp);
    } else if (!own.empty()) {
        for (i32 k = 0; k < text.n; k++)
            put_char(at + static_cast<size_t>(k) * unit, unit, own[static_cast<size_t>(k)]);
    } else if (text.n > 0) {
        SeriesBuffer* src = buf(cell::node(text.str));  // nothing allocates from here on
        const u32 su = src->unit();
        const u8* p = src->head_ptr() + static_cast<size_t>(clamped_head(text.str)) * su;
        if (su == unit) {
            std::memcpy(at, p, static_cast<size_t>(text.n) * unit);
        } else {
            for (i32 k = 0; k < text.n; k++)
                put_char(at + static_cast<size_t>(k) * unit, unit, get_char(p + static_cast<size_t>(k) * su, su));
        }
    }
    if (dup > 1 && text.n > 0) fill(at, static_cast<size_t>(text.n) * unit, static_cast<size_t>(dup));
    set_length(sn, new_len);
    series::notify(*series, after, &value, pos, static_cast<i32>(total));
    return static_cast<i32>(pos + total);
}

// ---------------------------------------------------------------------------
// Searching

// What find looks for.
struct Needle {
    enum Kind { character, bitset, run, element } kind = character;
    u32 cp = 0;      // character
    Cell value{};    // bitset or element: the value itself; run: the string
    i32 length = 1;  // characters a match covers
};

struct FindOptions {
    Cell* part = nullptr;
    bool fold = false;  // case-insensitive (string family, no /case or /same)
    Cell* skip = nullptr;
    bool last = false;
    bool reverse = false;
    bool match = false;
};

// The needle for a value searched in the series. Formed values and tags'
// texts go on the data stack.
Needle needle_of(const Cell& series, const Cell& value) {
    Needle nd;
    const u32 st = cell::type_of(series), vt = cell::type_of(value);
    const bool elements = st == type::binary || st == type::vector;
    if (vt == type::char_ && st != type::vector) {
        nd.cp = value.data2;
        return nd;
    }
    if (vt == type::bitset) {
        nd.kind = Needle::bitset;
        nd.value = value;
        return nd;
    }
    // A vector's elements are numbers of any kind; each is compared with the
    // value as a value (no text of theirs can match).
    if (st == type::vector || (elements && (vt == type::integer || vt == type::float_ || vt == type::char_))) {
        nd.kind = Needle::element;
        nd.value = value;
        return nd;
    }
    nd.kind = Needle::run;
    if (family_q(vt)) {
        nd.value = value;
    } else if (vt == type::word) {
        const i32 id = static_cast<i32>(value.data2);
        nd.value = cell::make(type::string, 0, symbol::cache_string(id)->data2, 0);
    } else if (vt == type::binary) {
        if (st != type::binary) fire(ErrorId::script_invalid_arg, value);
        nd.value = value;
    } else {
        nd.value = *formed(value, -1);
    }
    nd.length = rs_length_q(nd.value);
    return nd;
}

inline u32 folded(u32 c, bool fold) { return fold ? unicode::case_fold(c, false) : c; }

// An element of a binary! or vector! series against an integer!, float! or
// char! value.
bool element_matches(const Cell& series, i32 i, const Cell& value) {
    if (cell::type_of(series) == type::binary) {
        const u32 vt = cell::type_of(value);
        if (vt == type::float_) return static_cast<double>(char_at(cell::node(series), i)) == cell::get_float(value);
        return char_at(cell::node(series), i) == value.data2;
    }
    if (!series::vector_service.get_value) not_done();
    StackMark mark;
    Cell* e = stack::push(series::vector_service.get_value(series, i));
    Cell* v = stack::push(value);
    return actions::compare(e, v, actions::op::equal);
}

// True when the needle matches at absolute index i (the run fits).
bool matches_at(const Cell& series, i32 i, const Needle& nd, bool fold) {
    const Node sn = cell::node(series);
    switch (nd.kind) {
        case Needle::character: return folded(char_at(sn, i), fold) == folded(nd.cp, fold);
        case Needle::bitset: return match_bitset(nd.value, char_at(sn, i));
        case Needle::element: return element_matches(series, i, nd.value);
        case Needle::run: break;
    }
    const Node vn = cell::node(nd.value);
    const i32 from = clamped_head(nd.value);
    for (i32 k = 0; k < nd.length; k++)
        if (folded(char_at(sn, i + k), fold) != folded(char_at(vn, from + k), fold)) return false;
    return true;
}

// The absolute index of the match, or -1. Refinement checks come first.
i32 search(const Cell& series, const Needle& nd, const FindOptions& o) {
    const Node sn = cell::node(series);
    const i32 len = length_of(sn);
    const i32 head = clamped_head(series);
    i32 step = 1;
    if (o.skip) {
        if (cell::type_of(*o.skip) != type::integer)
            fire(ErrorId::script_invalid_refine_arg, series::word_of("skip"), *o.skip);
        step = static_cast<i32>(o.skip->data2);
        if (step < 1) fire(ErrorId::script_out_of_range, *o.skip);
    }
    i64 count = -1;  // the /part range in characters
    if (o.part) {
        if (cell::type_of(*o.part) == type::integer) {
            count = static_cast<i32>(o.part->data2);
        } else if (series::same_series_q(series, *o.part)) {
            // A position: the characters between it and the head, on the side
            // the search goes.
            const i64 p = std::clamp(cell::head_index(*o.part), 0, len);
            count = o.reverse ? head - p : p - head;
        } else {
            fire(ErrorId::script_invalid_refine_arg, series::word_of("part"), *o.part);
        }
        if (count < 1) return -1;
    }
    const i32 L = nd.length;
    if (L < 1) return -1;  // an empty run matches nowhere

    if (o.reverse) {
        if (o.match) return -1;
        // Candidates start at the character before the head (a run may reach
        // past the head, not past the tail).
        const i64 bound = count < 0 ? 0 : std::max<i64>(0, head - count);
        for (i64 i = std::min<i64>(static_cast<i64>(head) - 1, static_cast<i64>(len) - L); i >= bound; i -= step)
            if (matches_at(series, static_cast<i32>(i), nd, o.fold)) return static_cast<i32>(i);
        return -1;
    }
    if (head >= len) return -1;
    const i64 end = count < 0 ? len : std::min<i64>(len, head + count);
    if (o.match) return head + L <= end && matches_at(series, head, nd, o.fold) ? head : -1;
    if (o.last) {
        for (i64 i = end - L; i >= head; i -= step)
            if (matches_at(series, static_cast<i32>(i), nd, o.fold)) return static_cast<i32>(i);
        return -1;
    }
    for (i64 i = head; i + L <= end; i += step)
        if (matches_at(series, static_cast<i32>(i), nd, o.fold)) return static_cast<i32>(i);
    return -1;
}

// The element at an absolute index as a value: char!, or integer! for a
// binary!, or the vector's element.
Cell element_value(const Cell& series, i32 i) {
    switch (cell::type_of(series)) {
        case type::binary: return cell::integer(static_cast<i32>(char_at(cell::node(series), i)));
        case type::vector:
            if (!series::vector_service.get_value) not_done();
            return series::vector_service.get_value(series, i);
        default: return cell::make(type::char_, 0, char_at(cell::node(series), i), 0);
    }
}

// ---------------------------------------------------------------------------
// Sorting

// What the record comparator needs; the flags word of the sort comparators
// is spelled out: bit 0 reverse, bit 1 whole records, the record size or
// the compared offset.
struct SortSpec {
    u32 unit;
    bool is_float;   // a vector! of float! or percent! elements
    bool is_signed;  // a vector! of integer! elements (two's complement)
    int fold;        // 0 none, 1 A-Z only (binary!), 2 the case-fold table
    bool reverse;
    bool whole;      // every element of the record, else the one at offset
    i32 size;        // elements a record
    i32 offset;
};

inline u32 sort_fold(u32 c, int fold) {
    if (fold == 0) return c;
    if (c < 0x80) return c >= 'A' && c <= 'Z' ? c + 32 : c;
    return fold == 2 ? unicode::case_fold(c, false) : c;
}

i32 compare_elements(const u8* a, const u8* b, const SortSpec& sp) {
    if (sp.is_float) {
        double x, y;
        if (sp.unit == 4) {
            float fx, fy;
            std::memcpy(&fx, a, 4);
            std::memcpy(&fy, b, 4);
            x = fx, y = fy;
        } else {
            std::memcpy(&x, a, 8);
            std::memcpy(&y, b, 8);
        }
        return x > y ? 1 : x < y ? -1 : 0;  // NaN compares equal to everything
    }
    if (sp.is_signed) {
        const u32 ux = get_char(a, sp.unit), uy = get_char(b, sp.unit);
        const i32 x = sp.unit == 1 ? static_cast<int8_t>(ux) : sp.unit == 2 ? static_cast<int16_t>(ux) : static_cast<i32>(ux);
        const i32 y = sp.unit == 1 ? static_cast<int8_t>(uy) : sp.unit == 2 ? static_cast<int16_t>(uy) : static_cast<i32>(uy);
        return x > y ? 1 : x < y ? -1 : 0;
    }
    if (sp.unit == 8) {
        u64 x, y;
        std::memcpy(&x, a, 8);
        std::memcpy(&y, b, 8);
        return x > y ? 1 : x < y ? -1 : 0;
    }
    const u32 x = sort_fold(get_char(a, sp.unit), sp.fold), y = sort_fold(get_char(b, sp.unit), sp.fold);
    return x > y ? 1 : x < y ? -1 : 0;
}

// Three-way order of two records (negative: a sorts first).
i32 compare_records(const u8* a, const u8* b, const SortSpec& sp) {
    i32 r = 0;
    if (sp.whole) {
        for (i32 k = 0; k < sp.size && r == 0; k++)
            r = compare_elements(a + static_cast<size_t>(k) * sp.unit, b + static_cast<size_t>(k) * sp.unit, sp);
    } else {
        const size_t off = static_cast<size_t>(sp.offset) * sp.unit;
        r = compare_elements(a + off, b + off, sp);
    }
    return sp.reverse ? -r : r;
}

i32 by_units(const void* a, const void* b, const void* user, const void*) {
    return compare_records(static_cast<const u8*>(a), static_cast<const u8*>(b), *static_cast<const SortSpec*>(user));
}

// Sorts n records of `size` elements at base in place. The comparator never
// allocates, so the address stays valid throughout.
void sort_records(u8* base, i32 n, const SortSpec& sp, bool stable) {
    const i32 record = sp.size * static_cast<i32>(sp.unit);
    if (stable) sort::merge(base, n, record, &sp, nullptr, by_units);
    else sort::quick(base, n, record, &sp, nullptr, by_units);
}

// A comparator function's view of the records: `size` elements from
// `first` + i x size of the series' buffer; whole records go to the
// function as new series of the same type, else their first elements.
struct CallSpec {
    const Cell* fn;
    const Cell* series;
    i64 first, size, total;
    bool whole, reverse;
};

i32 by_call(const void* a, const void* b, const void* user, const void*) {
    const auto* o = static_cast<const CallSpec*>(user);
    i32 ia, ib;
    std::memcpy(&ia, a, sizeof ia);
    std::memcpy(&ib, b, sizeof ib);
    const Node n = cell::node(*o->series);
    // A function that emptied or shortened the series has nothing left to
    // compare: the rest of the sort is moot, the result is not applied.
    if (length_of(n) < o->first + o->total) return 0;
    StackMark mark;
    Cell* x;
    Cell* y;
    if (o->whole) {
        const u32 t = cell::type_of(*o->series);
        const u32 extra = t == type::vector ? o->series->data3 : 0;  // a vector's element type
        const Node nx = memory::copy_series_part(n, static_cast<i32>(o->first + ia * o->size), static_cast<i32>(o->size));
        x = stack::push(cell::make(t, 0, nx, extra));
        const Node ny = memory::copy_series_part(n, static_cast<i32>(o->first + ib * o->size), static_cast<i32>(o->size));
        y = stack::push(cell::make(t, 0, ny, extra));
    } else {
        x = stack::push(element_value(*o->series, static_cast<i32>(o->first + ia * o->size)));
        y = stack::push(element_value(*o->series, static_cast<i32>(o->first + ib * o->size)));
    }
    const Cell answer = o->reverse ? sort::call_comparator(*o->fn, *x, *y) : sort::call_comparator(*o->fn, *y, *x);
    return sort::answer_order(answer);
}

// Sorts the records through the comparator function: a permutation of
// record numbers is sorted (the function may collect or change the series)
// and applied when the range still exists.
void sort_by_call(const Cell& series, i64 first, i64 records, i64 size, const Cell* fn, bool whole, bool reverse,
                  bool stable) {
    std::vector<i32> order(static_cast<size_t>(records));
    std::iota(order.begin(), order.end(), 0);
    const CallSpec o{fn, &series, first, size, records * size, whole, reverse};
    if (stable) sort::merge(order.data(), static_cast<i32>(records), sizeof(i32), &o, nullptr, by_call);
    else sort::quick(order.data(), static_cast<i32>(records), sizeof(i32), &o, nullptr, by_call);
    const Node n = cell::node(series);
    if (length_of(n) < first + records * size) return;
    SeriesBuffer* s = buf(n);
    const size_t unit = s->unit(), record = static_cast<size_t>(size) * unit;
    u8* at = s->head_ptr() + static_cast<size_t>(first) * unit;
    const std::vector<u8> copy(at, at + static_cast<size_t>(records) * record);
    for (size_t k = 0; k < order.size(); k++)
        std::memcpy(at + k * record, copy.data() + static_cast<size_t>(order[k]) * record, record);
}

// ---------------------------------------------------------------------------
// Trimming

// Whitespace at the ends and between words: 1-32 and the Unicode spaces.
bool unicode_space_q(u32 c) {
    return c == 0x85 || c == 0xA0 || c == 0x1680 || c == 0x180E || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 ||
           c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}
inline bool space_q(u32 c) { return (c >= 1 && c <= 32) || unicode_space_q(c); }
// Whitespace inside a line: space, tab and the Unicode spaces.
inline bool inline_space_q(u32 c) { return c == ' ' || c == '\t' || unicode_space_q(c); }

// Compacts the characters [pos, end) of the buffer in place: each kept
// character is written at the next output index. Writing never widens (only
// characters read from the buffer, a space or a line feed are written).
class Compactor {
public:
    Compactor(Node n, i32 pos) : n_(n), w_(pos) {}
    u32 read(i32 i) const { return char_at(n_, i); }
    void write(u32 c) {
        SeriesBuffer* s = buf(n_);
        put_char(s->head_ptr() + static_cast<size_t>(w_++) * s->unit(), s->unit(), c);
    }
    i32 out() const { return w_; }
    void back_to(i32 w) { w_ = w; }
    void finish() { set_length(n_, w_); }

private:
    Node n_;
    i32 w_;
};

// Removes every character of the set from [pos, tail): the characters of a
// string-family or binary! value, one char! or integer! code point, the
// members of a bitset!, or by default tab, line feed, carriage return and
// space.
void trim_with(const Cell& series, i32 pos, const Cell* with) {
    const Node n = cell::node(series);
    const i32 end = length_of(n);
    if (with && cell::type_of(*with) == type::bitset) {
        // Nothing here allocates: the bits stay where they are.
        const Cell bits = *with;
        Compactor c(n, pos);
        for (i32 i = pos; i < end; i++) {
            const u32 ch = c.read(i);
            if (!match_bitset(bits, ch)) c.write(ch);
        }
        c.finish();
        return;
    }
    std::vector<u32> set;
    if (!with) {
        set = {'\t', '\n', '\r', ' '};
    } else {
        const u32 wt = cell::type_of(*with);
        if (wt == type::char_ || wt == type::integer) {
            set.push_back(with->data2);
        } else {  // string or binary: copied, since it may be the series itself
            const Node wn = cell::node(*with);
            for (i32 i = clamped_head(*with); i < length_of(wn); i++) set.push_back(char_at(wn, i));
        }
    }
    Compactor c(n, pos);
    for (i32 i = pos; i < end; i++) {
        const u32 ch = c.read(i);
        if (std::find(set.begin(), set.end(), ch) == set.end()) c.write(ch);
    }
    c.finish();
}

// Drops leading and trailing whitespace and turns each run of whitespace
// between words into one space.
void trim_lines(const Cell& series, i32 pos) {
    const Node n = cell::node(series);
    const i32 end = length_of(n);
    Compactor c(n, pos);
    bool word = false, gap = false;
    for (i32 i = pos; i < end; i++) {
        const u32 ch = c.read(i);
        if (space_q(ch)) {
            gap = word;
            continue;
        }
        if (gap) c.write(' ');
        gap = false;
        word = true;
        c.write(ch);
    }
    c.finish();
}

// Leading whitespace goes unless only /tail is given, trailing whitespace
// unless only /head is given. With neither, every line also loses the spaces
// and tabs at its end and at its start, and a line feed among the removed
// trailing whitespace comes back as one line feed at the end.
void trim_ends(const Cell& series, i32 pos, bool head, bool tail) {
    const Node n = cell::node(series);
    i32 from = pos, to = length_of(n);
    Compactor c(n, pos);
    if (!tail || head)
        while (from < to && space_q(c.read(from))) from++;
    bool trailing_line = false;
    if (!head || tail)
        while (to > from && space_q(c.read(to - 1)))
            if (c.read(--to) == '\n') trailing_line = true;
    const bool lines = !head && !tail;
    bool line_start = true;
    i32 run = -1;  // output index where the current run of in-line spaces began
    for (i32 i = from; i < to; i++) {
        const u32 ch = c.read(i);
        if (lines) {
            if (ch == '\n') {
                if (run >= 0) c.back_to(run);
                run = -1;
                line_start = true;
                c.write(ch);
                continue;
            }
            if (inline_space_q(ch)) {
                if (line_start) continue;
                if (run < 0) run = c.out();
            } else {
                run = -1;
                line_start = false;
            }
        }
        c.write(ch);
    }
    if (trailing_line && !tail) c.write('\n');  // room: the line feed itself was removed
    c.finish();
}

// ---------------------------------------------------------------------------
// Handlers

Cell* to(Cell* proto, Cell* spec, u32 t);
void insertion(Cell* series, Cell* value, i32 part, bool only, i32 dup, bool append);

// make: a number gives an empty value with room for that many characters;
// binary! goes to the binary maker; anything else as `to`.
Cell* make(Cell* proto, Cell* spec, u32 t) {
    const u32 st = cell::type_of(*spec);
    if (st == type::integer || st == type::float_) {
        const i32 size = check_float_range(*spec);
        if (size < 0) fire(ErrorId::script_out_of_range, *spec);
        Cell* r = stack::push(none::value);
        make_at(*r, size);
        cell::set_type(*r, t);
        return r;
    }
    if (t == type::binary) {
        if (st == type::money) fire(ErrorId::script_bad_make_arg, datatype::make(t), *spec);
        if (!binary_maker) not_done();
        return binary_maker(spec, t);
    }
    return to(proto, spec, t);
}

Cell* to(Cell*, Cell* spec, u32 t) {
    const u32 st = cell::type_of(*spec);
    if (st == type::none) fire(ErrorId::script_bad_to_arg, datatype::make(t), *spec);
    if (t == type::binary) {
        if (!binary_maker) not_done();
        return binary_maker(spec, t);
    }
    Cell* base = stack::top;
    Cell* r;
    if (st == type::block || st == type::paren || st == type::hash) {
        r = push_string(16, 1);
        insertion(r, spec, -1, false, 1, true);
    } else if (family_q(st)) {
        r = series::copy(spec, stack::push(none::value), nullptr, false, nullptr);
    } else if (st == type::refinement) {
        // string! takes the bare name, the other text types keep the slash.
        r = push_string(16, 1);
        Cell* v = stack::push(*spec);
        if (t == type::string) actions::form(v, r, nullptr, no_limit);
        else actions::mold(v, r, false, false, false, nullptr, no_limit, 0);
    } else if (st == type::binary) {
        r = load_utf8_checked(*spec);
    } else {
        r = push_string(16, 1);
        actions::form(stack::push(*spec), r, nullptr, no_limit);
    }
    Cell out = *r;
    out.header = t;  // the type byte; no flag of the spec carries over
    return give(base, out);
}

// Appends the characters from the head (at most the /part budget).
i32 form(Cell* value, Cell* buffer, Cell* part, i32 limit) {
    const i32 len = rs_length_q(*value);
    concatenate(*buffer, *value, part ? std::clamp(limit, 0, len) : -1, 0, true, mode::append);
    return saturate(static_cast<i64>(limit) - len);
}

// "..." with escapes, or {...} when the text holds three or more line feeds
// or a double quote, or is 50 characters or longer.
i32 mold(Cell* value, Cell* buffer, bool, bool all, bool, Cell* part, i32 limit, i32) {
    const Cell str = *value;
    const i32 full = rs_length_q(str);
    const i32 n = part ? std::clamp(limit, 0, full) : full;
    const QuotesAndLines q = count_quotes_and_lines(str, n);
    const bool braces = q.lines >= 3 || q.quotes > 0 || full >= 50;
    const Node bn = cell::node(*buffer), sn = cell::node(str);
    const i32 head = clamped_head(str);

    append_char(bn, braces ? '{' : '"');
    bool balanced = true;  // every "{" so far has its "}" in the range
    i32 depth = 0;
    for (i32 i = 0; i < n; i++) {
        const u32 c = char_at(sn, head + i);
        if (!braces) {
            append_escaped_char(bn, c, all);
            continue;
        }
        switch (c) {
            case '{':
                if (balanced && !brace_balanced_q(str, head + i, head + n)) balanced = false;
                if (balanced) {
                    append_char(bn, '{');
                    depth++;
                } else {
                    concatenate_literal(*buffer, "^{");
                }
                break;
            case '}':
                if (depth > 0) {
                    append_char(bn, '}');
                    depth--;
                } else {
                    concatenate_literal(*buffer, "^}");
                }
                break;
            case '"': append_char(bn, '"'); break;
            case '^': concatenate_literal(*buffer, "^^"); break;
            case '\n': append_char(bn, '\n'); break;  // braces keep real line breaks
            default: append_escaped_char(bn, c, all); break;
        }
    }
    append_char(bn, braces ? '}' : '"');
    return saturate(static_cast<i64>(limit) - n - 2);
}

Cell* find(Cell* series, Cell* value, Cell* part, bool only, bool case_, bool same, bool any, Cell* with,
           Cell* skip, bool last, bool reverse, bool tail, bool match);
Cell* select(Cell* series, Cell* value, Cell* part, bool only, bool case_, bool same, bool any, Cell* with,
             Cell* skip, bool last, bool reverse);

// An integer picks or pokes; a word is no string path; anything else
// selects, or when setting, finds and pokes the character after the match's
// first one.
Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell*, Cell*, i32, bool case_, bool, bool,
                bool) {
    const u32 et = cell::type_of(*element);
    if (et == type::integer) {
        const i32 n = static_cast<i32>(element->data2);
        return value ? series::poke(parent, n, value, element) : series::pick(parent, n, element);
    }
    const Cell where = path ? *path : none::value;
    if (et == type::word) fire(ErrorId::script_invalid_path, where, *element);
    Cell* s = stack::push(*parent);
    Cell* e = stack::push(*element);
    if (!value) return select(s, e, nullptr, false, case_, false, false, nullptr, nullptr, false, false);
    Cell* found = find(s, e, nullptr, false, case_, false, false, nullptr, nullptr, false, false, false, false);
    if (cell::type_of(*found) == type::none) fire(ErrorId::script_bad_path_set, where, *element);
    series::poke(stack::push(*found), 2, value, nullptr);
    return value;
}

// Text against text of the family; a different type compares only for
// equal? and not-equal?.
i32 compare(Cell* value1, Cell* value2, i32 op) {
    const u32 t1 = cell::type_of(*value1), t2 = cell::type_of(*value2);
    if (t1 != t2 && (!family_q(t2) || (op != actions::op::equal && op != actions::op::not_equal))) return -2;
    return compare_strings(*value1, *value2, op, false);
}

// append and insert: the dispatcher has turned /part into a count of the
// value's characters (elements for a block), -1 when absent, and returned
// already for a /dup count below 1. Append answers the series at its head,
// insert just past the new text.
void insertion(Cell* series, Cell* value, i32 part, bool, i32 dup, bool append) {
    if (dup < 1) return;
    StackMark mark;
    series::rest(*series, false);  // a head past the tail comes back to it
    const Text text = text_of(*value, part);
    const i32 len = length_of(cell::node(*series));
    const i32 pos = append ? len : clamped_head(*series);
    const i32 next = write_text(series, pos, 0, text, dup, *value, append ? words::word::append : words::word::insert,
                                append ? words::word::appended : words::word::inserted);
    if (next < 0) return;
    series->data1 = append ? 0 : static_cast<u32>(next);
}

// Replaces the /part count of characters (else as many as are written, cut
// to what is left) by dup copies of the value's text; answers the series
// just past the new text.
void change(Cell* series, Cell* value, Cell* part, bool, i32 dup) {
    if (dup < 1) return;
    StackMark mark;
    series::rest(*series, false);
    const i32 pos = clamped_head(*series);
    const i64 left = length_of(cell::node(*series)) - pos;
    i64 replaced = -1;
    if (part) {
        replaced = cell::type_of(*part) == type::integer ? static_cast<i32>(part->data2)
                                                         : series::part_length(*series, *part);
        if (replaced < 0) replaced = 0;
    }
    const Text text = text_of(*value, -1);
    if (replaced < 0) replaced = static_cast<i64>(text.n) * dup;
    if (left <= 0) replaced = 0;  // at the tail: an append
    if (replaced > left) replaced = left;
    const i32 next = write_text(series, pos, static_cast<i32>(replaced), text, dup, *value, words::word::change,
                                words::word::changed);
    if (next >= 0) series->data1 = static_cast<u32>(next);
}

Cell* find(Cell* series, Cell* value, Cell* part, bool, bool case_, bool same, bool any, Cell* with, Cell* skip,
           bool last, bool reverse, bool tail, bool match) {
    Cell* base = stack::top;
    const Cell s = *series;
    const i32 len = length_of(cell::node(s));
    if (len == 0 || (!reverse && cell::head_index(s) >= len)) return give(base, none::value);
    if (any || with) not_done();  // wildcard search is not supported on text
    const Needle nd = needle_of(s, *value);
    FindOptions o;
    o.part = part;
    o.fold = !case_ && !same && family_q(cell::type_of(s));
    o.skip = skip;
    o.last = last;
    o.reverse = reverse;
    o.match = match;
    const i32 at = search(s, nd, o);
    if (at < 0) return give(base, none::value);
    Cell r = s;
    r.data1 = static_cast<u32>(tail ? at + nd.length : at);
    return give(base, r);
}

// The element right after the match, or none.
Cell* select(Cell* series, Cell* value, Cell* part, bool, bool case_, bool same, bool any, Cell* with, Cell* skip,
             bool last, bool reverse) {
    Cell* base = stack::top;
    const Cell s = *series;
    const i32 len = length_of(cell::node(s));
    if (len == 0 || (!reverse && cell::head_index(s) >= len)) return give(base, none::value);
    if (any || with) not_done();
    const Needle nd = needle_of(s, *value);
    FindOptions o;
    o.part = part;
    o.fold = !case_ && !same && family_q(cell::type_of(s));
    o.skip = skip;
    o.last = last;
    o.reverse = reverse;
    const i32 at = search(s, nd, o);
    // Past the whole matched text, a formed value's included.
    const i64 after = static_cast<i64>(at) + nd.length;
    if (at < 0 || after >= length_of(cell::node(s))) return give(base, none::value);
    return give(base, element_value(s, static_cast<i32>(after)));
}

Cell* sort(Cell* series, bool case_, Cell* skip, Cell* compare, Cell* part, bool all, bool reverse, bool stable) {
    i32 len = series::rest(*series, false);
    i32 head = cell::head_index(*series);
    if (part) {
        const i32 count = cell::type_of(*part) == type::integer ? static_cast<i32>(part->data2)
                                                                : series::part_length(*series, *part);
        if (count < 0) {  // the characters before the position; the head moves back to them
            const i64 start = static_cast<i64>(head) + count;
            if (start < 0) {
                series->data1 = 0;
                return series;
            }
            head = static_cast<i32>(start);
            series->data1 = static_cast<u32>(head);
            len = static_cast<i32>(-static_cast<i64>(count));
        } else if (count < len) {
            len = count;
        }
    }
    if (len <= 0) return series;
    i32 size = 1;
    if (skip) {
        if (cell::type_of(*skip) != type::integer)
            fire(ErrorId::script_invalid_refine_arg, series::word_of("skip"), *skip);
        size = static_cast<i32>(skip->data2);
        if (size < 1 || size > len || len % size != 0)
            fire(ErrorId::script_invalid_refine_arg, series::word_of("skip"), *skip);
    }
    if (all && !skip) fire(ErrorId::script_bad_refines);
    i32 offset = 0;
    if (compare) {
        switch (cell::type_of(*compare)) {
            case type::integer: {
                if (all || !skip) fire(ErrorId::script_bad_refines);
                const i32 column = static_cast<i32>(compare->data2);
                if (column < 1 || column > size) fire(ErrorId::script_out_of_range, *compare);
                offset = column - 1;
                break;
            }
            case type::function: break;
            default: fire(ErrorId::script_invalid_refine_arg, series::word_of("compare"), *compare);
        }
    }
    const u32 t = cell::type_of(*series);
    const Node n = cell::node(*series);
    SortSpec sp{};
    sp.unit = buf(n)->unit();
    sp.is_float = t == type::vector && (series->data3 == type::float_ || series->data3 == type::percent);
    sp.is_signed = t == type::vector && series->data3 == type::integer;
    sp.fold = case_ || t == type::vector ? 0 : family_q(t) ? 2 : 1;
    sp.reverse = reverse;
    sp.whole = all && skip;
    sp.size = size;
    sp.offset = offset;
    if (!series::notify_before(*series, words::word::sort, nullptr, head, len)) return series;
    if (compare && cell::type_of(*compare) == type::function) {
        StackMark mark;
        const Cell* kept = stack::push(*series);  // a copy the function cannot move
        sort_by_call(*kept, head, len / size, size, compare, all, reverse, stable);
    } else {
        sort_records(buf(n)->head_ptr() + static_cast<size_t>(head) * buf(n)->unit(), len / size, sp, stable);
    }
    series::notify(*series, words::word::sorted, nullptr, head, len);
    return series;
}

// Exchanges the first characters of two text series (or a binary!).
void swap(Cell* series1, Cell* series2) {
    const u32 t1 = cell::type_of(*series1), t2 = cell::type_of(*series2);
    if (!family_q(t2) && t2 != type::binary) fire(ErrorId::script_invalid_arg, *series2);
    if (series::rest(*series1, false) < 1 || series::rest(*series2, false) < 1) return;
    const Node n1 = cell::node(*series1), n2 = cell::node(*series2);
    const i32 i1 = cell::head_index(*series1), i2 = cell::head_index(*series2);
    const u32 c1 = char_at(n1, i1), c2 = char_at(n2, i2);
    // A byte series holds bytes: a wider character would widen it into text.
    if (t1 == type::binary && c2 > 0xFF) fire(ErrorId::script_invalid_arg, cell::make(type::char_, 0, c2, 0));
    if (t2 == type::binary && c1 > 0xFF) fire(ErrorId::script_invalid_arg, cell::make(type::char_, 0, c1, 0));
    if (!series::notify_before(*series1, words::word::swap, series2, i1, 1) ||
        !series::notify_before(*series2, words::word::swap, series1, i2, 1) || series::tail_q(*series1) ||
        series::tail_q(*series2))
        return;
    const u32 a = char_at(n1, i1), b = char_at(n2, i2);
    SeriesBuffer* s1 = buf(n1);
    poke_char(s1, s1->head_ptr() + static_cast<size_t>(i1) * s1->unit(), b);
    SeriesBuffer* s2 = buf(n2);  // fetched again: the first poke may have moved it
    poke_char(s2, s2->head_ptr() + static_cast<size_t>(i2) * s2->unit(), a);
    series::notify(*series1, words::word::swaped, series2, i1, 1);
    series::notify(*series2, words::word::swaped, series1, i2, 1);
}

// series! take; one character taken without /part is that character.
Cell* take(Cell* series, Cell* part, bool deep, bool last) {
    if (cell::type_of(*series) == type::vector && !series::vector_service.get_value) not_done();
    Cell* r = series::take(series, part, deep, last);
    if (part || cell::type_of(*r) == type::none || length_of(cell::node(*r)) != 1) return r;
    *r = element_value(*r, 0);
    return r;
}

void trim(Cell* series, bool head, bool tail, bool auto_, bool lines, bool all, Cell* with) {
    if (with) {
        const u32 wt = cell::type_of(*with);
        if (!family_q(wt) && wt != type::binary && wt != type::char_ && wt != type::integer && wt != type::bitset)
            fire(ErrorId::script_invalid_arg, *with);
    } else if (auto_ && !all) {
        not_done();
    }
    const i32 count = series::rest(*series, false);
    const i32 pos = cell::head_index(*series);
    if (!series::notify_before(*series, words::word::trim, nullptr, pos, count)) return;
    if (all || with) trim_with(*series, pos, with);
    else if (lines) trim_lines(*series, pos);
    else trim_ends(*series, pos, head, tail);
    series::notify(*series, words::word::trimmed, nullptr, pos, count);
}

}  // namespace

// ---------------------------------------------------------------------------
// Set operations

Cell* do_set_op(bool case_, i32 skip, i32 op) {
    Cell* a = stack::arguments;
    Cell* b = a + 1;
    if (skip < 1) fire(ErrorId::script_invalid_refine_arg, series::word_of("skip"), cell::integer(skip));
    series::rest(*a, false);
    if (op != set_op::unique) series::rest(*b, false);
    const bool both = op == set_op::union_ || op == set_op::difference;  // walks the second series too
    const Node an = cell::node(*a);
    const u32 unit = std::max(buf(an)->unit(), both ? buf(cell::node(*b))->unit() : 1u);
    const i64 room = static_cast<i64>(rs_length_q(*a)) + (op == set_op::union_ ? rs_length_q(*b) : 0);

    StackMark mark;
    Cell* r = push_string(saturate(room), unit);
    const Node rn = cell::node(*r);
    auto walk = [&](const Cell& from, const Cell& other) {
        const Node fn = cell::node(from);
        for (i64 i = clamped_head(from); i < length_of(fn); i += skip) {
            const u32 c = char_at(fn, static_cast<i32>(i));
            bool keep = true;
            if (op == set_op::intersect) keep = find_char_skip(other, c, skip, case_);
            else if (op == set_op::exclude || op == set_op::difference) keep = !find_char_skip(other, c, skip, case_);
            if (!keep || find_char_skip(*r, c, skip, case_)) continue;
            const i64 end = std::min<i64>(i + skip, length_of(fn));
            for (i64 k = i; k < end; k++)
                overwrite_char(buf(rn), length_of(rn), char_at(fn, static_cast<i32>(k)));
        }
    };
    walk(*a, *b);
    if (both) walk(*b, *a);
    Cell result = *r;
    result.header = cell::type_of(*a);
    *a = result;
    return a;
}

namespace {

// Own handlers, then the positional and editing ones of series!.
constexpr ActionTable string_actions = {
    .make = make, .random = inherit, .reflect = inherit, .to = to, .form = form, .mold = mold,
    .eval_path = eval_path, .compare = compare,
    .append = insertion, .at = inherit, .back = inherit, .change = change, .clear = inherit, .copy = inherit,
    .find = find, .head = inherit, .head_q = inherit, .index_q = inherit, .insert = insertion,
    .length_q = inherit, .move = inherit, .next = inherit, .pick = inherit, .poke = inherit, .remove = inherit,
    .reverse = inherit, .select = select, .sort = sort, .skip = inherit, .swap = swap, .tail = inherit,
    .tail_q = inherit, .take = take, .trim = trim, .modify = inherit,
};

}  // namespace

void init() { registry::add(type::string, type::series, "string!", string_actions); }

}  // namespace oru::string
