// String values and their buffers: making strings, reading and writing
// characters at any unit with widening, concatenation across units,
// comparison, molded-text escapes and the loaders of external text. Any
// allocation here can move the buffer, so each step fetches it again through
// its node; addresses are turned into character indexes before a call that
// can widen or grow, and back afterwards.
#include "runtime/datatypes/string.h"

#include "interpreter/stack.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/fire.h"
#include "runtime/float_text.h"
#include "runtime/system.h"
#include "runtime/unicode.h"

#include <algorithm>
#include <vector>

namespace oru::string {

// The cell is often one just pushed, still holding what an earlier use left
// there: it is cleared before the allocation, which may collect and mark it.
void make_at(Cell& str, i32 n) {
    str.header = type::unset;
    Node node = memory::alloc_series(n == 0 ? 1 : n, 1, 0);
    str = cell::make(type::string, 0, node, 0);
}

void make_at_unit(Cell& str, i32 n, u32 unit) {
    str.header = type::unset;
    Node node = memory::alloc_codepoints(n, unit);
    str = cell::make(type::string, 0, node, 0);
}

i32 rs_length_q(const Cell& str) {
    i32 total = static_cast<i32>(memory::buffer(cell::node(str))->length());
    i32 head = cell::head_index(str);
    if (head < 0) head = 0;
    return head >= total ? 0 : total - head;
}

u8* rs_head(Cell& str) {
    SeriesBuffer* s = memory::buffer(cell::node(str));
    i32 total = static_cast<i32>(s->length());
    i32 head = cell::head_index(str);
    if (head > total) {
        head = total;
        str.data1 = static_cast<u32>(total);
    }
    if (head < 0) head = 0;
    return s->head_ptr() + static_cast<size_t>(head) * s->unit();
}

SeriesBuffer* append_char(SeriesBuffer* s, u32 cp) {
    const Node node = s->node;
    switch (s->unit()) {
        case 1:
            if (cp > 0x7F) {
                s = cp > 0xFFFF ? unicode::widen_to_ucs4(s) : unicode::widen_to_ucs2(s);
                return append_char(s, cp);
            }
            *memory::reserve_bytes(node, 1) = static_cast<u8>(cp);
            break;
        case 2:
            if (cp > 0xFFFF) return append_char(unicode::widen_ucs2_to_ucs4(s), cp);
            {
                u16 v = static_cast<u16>(cp);
                std::memcpy(memory::reserve_bytes(node, 2), &v, sizeof v);
            }
            break;
        default:
            std::memcpy(memory::reserve_bytes(node, 4), &cp, sizeof cp);
            break;
    }
    return memory::buffer(node);
}

SeriesBuffer* append_char(Node n, u32 cp) { return append_char(memory::buffer(n), cp); }

i32 concatenate_literal(const Cell& str, const char* text) {
    const Node node = cell::node(str);
    i32 n = 0;
    for (const u8* p = reinterpret_cast<const u8*>(text); *p; p++, n++) append_char(node, *p);
    return n;
}

void concatenate_bytes(const Cell& str, const u8* bytes, i32 n) {
    const Node node = cell::node(str);
    for (i32 i = 0; i < n; i++) append_char(node, bytes[i]);
}

// ---------------------------------------------------------------------------
// Local helpers

namespace {

constexpr i64 max_bytes = 0x7FFFFFF0;  // largest data area a buffer may ask for

// A byte count that must fit a buffer size.
i32 checked_bytes(i64 n) {
    if (n < 0 || n > max_bytes) fire(ErrorId::internal_no_memory);
    return static_cast<i32>(n);
}

// The unit that stores/pokes/loaders need for a code point.
inline u32 unit_for(u32 cp) { return cp < 0x100 ? 1 : cp < 0x10000 ? 2 : 4; }

// Widens the buffer to at least `unit` bytes per character.
SeriesBuffer* widen_to(SeriesBuffer* s, u32 unit) {
    const u32 have = s->unit();
    if (have >= unit) return s;
    if (have == 1) return unit == 2 ? unicode::widen_to_ucs2(s) : unicode::widen_to_ucs4(s);
    return unicode::widen_ucs2_to_ucs4(s);
}

// Makes room for `bytes` from the buffer's first unit; when short, the
// buffer grows to twice that (or to the size limit), copying its content.
SeriesBuffer* room_for(SeriesBuffer* s, i64 bytes) {
    if (static_cast<i64>(s->head) + bytes <= s->size) return s;
    checked_bytes(bytes);
    const i64 want = std::min(std::max<i64>(2 * bytes, 16), max_bytes);
    return memory::expand_series_copy(s, static_cast<i32>(want));
}

// The head index of a string value clamped to [0, length].
inline i32 clamped_head(const Cell& str, const SeriesBuffer* s) {
    const i32 len = static_cast<i32>(s->length());
    const i32 head = cell::head_index(str);
    return head < 0 ? 0 : head > len ? len : head;
}

// The characters of a string value from its head. Valid until the next
// allocation.
struct Run {
    const u8* p;
    i32 length;
    u32 unit;
    u32 at(i32 i) const { return get_char(p + static_cast<size_t>(i) * unit, unit); }
};

Run run_of(const Cell& str) {
    SeriesBuffer* s = memory::buffer(cell::node(str));
    const i32 head = clamped_head(str, s);
    return {s->head_ptr() + static_cast<size_t>(head) * s->unit(), static_cast<i32>(s->length()) - head, s->unit()};
}

inline bool string_family_q(u32 t) {
    return t == type::string || t == type::file || t == type::url || t == type::email || t == type::ref;
}

// A symbol! taken as a string stands for its name string from position 0,
// decoded once and cached in the symbol's cell, which keeps it alive. The
// value comes by copy: a cell of the symbol block moves when the block grows.
Cell as_string(Cell v) {
    if (cell::type_of(v) != type::symbol) return v;
    Node str = v.data2;
    if (!str) {
        // A copy of the symbol's cell does not know its id: the name, already
        // interned, gives it back without making anything new.
        SeriesBuffer* name = memory::buffer(v.data3);
        const i32 id = symbol::make_from(name->head_ptr(), static_cast<i32>(name->tail - name->head));
        str = symbol::cache_string(id)->data2;
    }
    return cell::make(type::string, 0, str, 0);
}

// The escapes of the control characters 0-31, then the double quote and the
// caret: the character written after the caret, 0 for none.
constexpr char control_escapes[] = "@ABCDEFGH-/KLMNOPQRSTUVWXYZ[\\]^_";
static_assert(sizeof control_escapes == 33, "one escape per control character");

inline char escape_of(u32 cp) {
    if (cp < 32) return control_escapes[cp];
    if (cp == '"') return '"';
    if (cp == '^') return '^';
    return 0;
}

constexpr char hex_digits[] = "0123456789ABCDEF";

// The scratch buffer of swap_bytes: its standing size, kept between calls.
constexpr size_t swap_standing = 256;
u8 swap_scratch[swap_standing];

}  // namespace

// ---------------------------------------------------------------------------
// Reading and small helpers

i32 rs_abs_length_q(const Cell& str) { return static_cast<i32>(memory::buffer(cell::node(str))->length()); }

bool rs_tail_q(const Cell& str) { return cell::head_index(str) >= rs_abs_length_q(str); }

u32 rs_abs_at(const Cell& str, i32 index) {
    SeriesBuffer* s = memory::buffer(cell::node(str));
    if (index < 0 || index >= static_cast<i32>(s->length())) fire(ErrorId::script_out_of_range, cell::integer(index));
    return get_char(s->head_ptr() + static_cast<size_t>(index) * s->unit(), s->unit());
}

void rs_reset(Cell& str) {
    SeriesBuffer* s = memory::buffer(cell::node(str));
    s->tail = s->head;
    s->flags = (s->flags & ~sflag::unit_mask) | 1;
    str.data1 = 0;
}

i32 rs_find_char(const Cell& str, u32 cp) {
    const Run r = run_of(str);
    for (i32 i = 0; i < r.length; i++)
        if (r.at(i) == cp) return i;
    return -1;
}

bool find_char_skip(const Cell& str, u32 cp, i32 skip, bool case_) {
    const Run r = run_of(str);
    if (skip < 1) skip = 1;
    if (!case_) cp = unicode::case_fold(cp, false);
    for (i64 i = 0; i < r.length; i += skip) {
        u32 c = r.at(static_cast<i32>(i));
        if (!case_) c = unicode::case_fold(c, false);
        if (c == cp) return true;
    }
    return false;
}

bool starts_with_q(const Cell& str, const char* text) {
    const Run r = run_of(str);
    i32 i = 0;
    for (const u8* t = reinterpret_cast<const u8*>(text); *t; t++, i++) {
        if (i >= r.length) return false;
        const u32 c = r.at(i);
        if (c > 0xFF || c != *t) return false;
    }
    return true;
}

void rs_truncate(SeriesBuffer* s, i32 n) {
    if (n < 0) return;
    const i64 end = static_cast<i64>(s->head) + static_cast<i64>(n) * s->unit();
    if (end <= s->size && end < s->tail) s->tail = static_cast<u32>(end);
}

void remove_chars(const Cell& str, i32 index, i32 n) {
    SeriesBuffer* s = memory::buffer(cell::node(str));
    const i32 len = static_cast<i32>(s->length());
    if (index < 0 || index >= len || n < 1) return;
    if (n > len - index) n = len - index;
    const u32 unit = s->unit();
    u8* at = s->head_ptr() + static_cast<size_t>(index) * unit;
    std::memmove(at, at + static_cast<size_t>(n) * unit, static_cast<size_t>(len - index - n) * unit);
    s->tail -= static_cast<u32>(n) * unit;
}

Cell* push(const Cell& str) { return stack::push_value(str); }

const char* byte_to_hex(u8 b) {
    static char text[3];
    text[0] = hex_digits[b >> 4];
    text[1] = hex_digits[b & 15];
    text[2] = 0;
    return text;
}

const char* to_hex(i32 value, bool short_form) {
    static char text[9];
    const i32 sign = value < 0 ? -1 : 0;
    int i = 8;
    text[8] = 0;
    // The shift is arithmetic, so a negative value reaches -1 after at most
    // eight digits and a positive one 0.
    for (i32 v = value; v != sign && i > 0; v >>= 4) text[--i] = hex_digits[v & 15];
    if (short_form) {
        if (i == 8) {  // no digit: 0 or -1
            text[6] = text[7] = sign ? 'F' : '0';
            return text + 6;
        }
        return text + i;
    }
    while (i > 0) text[--i] = sign ? 'F' : '0';
    return text;
}

double to_float(const u8* p, i32 len, bool* error) {
    const char* start = reinterpret_cast<const char*>(p);
    i32 remaining = 0;
    const double d = float_text::text_to_float(start, start + (len < 0 ? 0 : len), 0, &remaining);
    *error = remaining != 0;
    return d;
}

// ---------------------------------------------------------------------------
// Writing characters

SeriesBuffer* poke_char(SeriesBuffer* s, u8* p, u32 cp) {
    const u32 unit = s->unit();
    const ptrdiff_t off = p - s->head_ptr();
    const i64 index = off / static_cast<ptrdiff_t>(unit);
    if (off < 0 || off % static_cast<ptrdiff_t>(unit) != 0 || static_cast<i64>(s->head) + off + unit > s->size)
        fire(ErrorId::script_out_of_range, cell::integer(static_cast<i32>(index)));
    s = widen_to(s, unit_for(cp));
    // Widening keeps room for the used characters and one more, not for a
    // position further out in the old data area.
    s = room_for(s, (index + 1) * s->unit());
    put_char(s->head_ptr() + index * s->unit(), s->unit(), cp);
    return s;
}

SeriesBuffer* overwrite_char(SeriesBuffer* s, i32 index, u32 cp) {
    if (index < 0) fire(ErrorId::script_out_of_range, cell::integer(index));
    s = widen_to(s, unit_for(cp));
    const u32 unit = s->unit();
    const i64 end = (static_cast<i64>(index) + 1) * unit;
    s = room_for(s, end);
    const i64 used = s->tail - s->head;
    if (index * static_cast<i64>(unit) > used)  // skipped characters: no stale bytes in the text
        std::memset(s->tail_ptr(), 0, static_cast<size_t>(index * static_cast<i64>(unit) - used));
    put_char(s->head_ptr() + static_cast<size_t>(index) * unit, unit, cp);
    if (end > used) s->tail = s->head + static_cast<u32>(end);
    return s;
}

SeriesBuffer* insert_char_at(SeriesBuffer* s, i32 index, u32 cp) {
    s = widen_to(s, unit_for(cp));
    const u32 unit = s->unit();
    const i32 len = static_cast<i32>(s->length());
    if (index < 0) index = 0;
    if (index > len) index = len;
    s = room_for(s, (static_cast<i64>(len) + 1) * unit);
    u8* at = s->head_ptr() + static_cast<size_t>(index) * unit;
    std::memmove(at + unit, at, static_cast<size_t>(len - index) * unit);
    put_char(at, unit, cp);
    s->tail += unit;
    return s;
}

void move_chars(const Cell& source, i32 bytes, const Cell& target) {
    const Node sn = cell::node(source), tn = cell::node(target);
    std::vector<u32> chars;
    {
        const Run r = run_of(source);
        i32 count = bytes > 0 ? bytes / static_cast<i32>(r.unit) : 0;
        if (count > r.length) count = r.length;
        chars.reserve(static_cast<size_t>(count));
        for (i32 i = 0; i < count; i++) chars.push_back(r.at(i));
    }
    const i32 count = static_cast<i32>(chars.size());
    if (count == 0) return;
    i32 from = clamped_head(source, memory::buffer(sn));
    i32 to = clamped_head(target, memory::buffer(tn));
    if (sn == tn) {
        // One buffer: the run leaves first, then lands where the target index
        // pointed among the characters that stay.
        if (to >= from && to <= from + count) return;
        remove_chars(cell::make(type::string, 0, sn, 0), from, count);
        if (to > from) to -= count;
        for (i32 k = 0; k < count; k++) insert_char_at(memory::buffer(tn), to + k, chars[static_cast<size_t>(k)]);
        return;
    }
    for (i32 k = 0; k < count; k++) insert_char_at(memory::buffer(tn), to + k, chars[static_cast<size_t>(k)]);
    remove_chars(cell::make(type::string, 0, sn, 0), from, count);
}

i32 concatenate(const Cell& target, const Cell& source, i32 part, i32 offset, bool keep, i32 how) {
    // Both copied before either name is decoded (see as_string).
    const Cell t0 = target, s0 = source;
    const Cell t = as_string(t0);
    const Cell src = as_string(s0);
    const Node tn = cell::node(t), sn = cell::node(src);

    // Units: the target takes a wider source's unit; a narrower source is
    // widened in place unless the caller keeps it as it is.
    u32 tu = memory::buffer(tn)->unit();
    u32 su = memory::buffer(sn)->unit();
    if (tu < su) tu = widen_to(memory::buffer(tn), su)->unit();
    else if (su < tu && !keep) su = widen_to(memory::buffer(sn), tu)->unit();

    i32 n = run_of(src).length;
    if (part >= 0 && part < n) n = part;
    const i64 bytes = static_cast<i64>(n) * tu;
    if (bytes == 0) return 0;

    SeriesBuffer* tb = memory::buffer(tn);
    {
        // Twice the room needed when short; the source follows through its
        // node when it shares the buffer.
        const i64 need = checked_bytes(static_cast<i64>(tb->tail - tb->head) + bytes);
        if (tb->head + need > tb->size)
            tb = memory::expand_series_copy(tb, static_cast<i32>(std::min(2 * need, max_bytes)));
    }
    const i64 len = tb->length();
    const i64 head = clamped_head(t, tb);
    i64 at = len;  // character where the run goes
    if (how != mode::append) at = std::clamp<i64>(head + offset, 0, len);
    u8* base = tb->head_ptr();
    SeriesBuffer* sb = memory::buffer(sn);  // tb itself when they share it
    i64 from = static_cast<i64>(clamped_head(src, sb)) * su;  // bytes from sb's first unit

    if (how == mode::insert) {
        std::memmove(base + at * tu + bytes, base + at * tu, static_cast<size_t>((len - at) * tu));
        // A source run from the insertion point on moved up with the rest; one
        // before it still reads intact (the bytes at the gap are not yet
        // overwritten).
        if (sn == tn && from >= at * tu) from += bytes;
    }
    u8* dst = base + at * tu;
    const u8* p = sb->head_ptr() + from;
    if (su != tu) {  // kept narrower source: one character at a time
        for (i32 k = 0; k < n; k++)
            put_char(dst + static_cast<size_t>(k) * tu, tu, get_char(p + static_cast<size_t>(k) * su, su));
    } else {
        std::memmove(dst, p, static_cast<size_t>(bytes));
    }

    i64 end = (at * tu) + bytes;  // append and overwrite: the end of the run
    if (how == mode::insert) end = len * tu + bytes;
    else if (how != mode::append && end < len * tu) end = len * tu;
    tb->tail = tb->head + static_cast<u32>(end);
    return n;
}

void swap_bytes(u8* base, i32 a, u8* second, i32 b, i32 gap) {
    if (a < 0 || b < 0 || gap < 0 || second != base + a + gap) return;
    const size_t small = static_cast<size_t>(std::min(a, b));
    // A run larger than the scratch's standing size gets a block of its own
    // for this call, freed on the way out.
    struct Scratch {
        u8* p;
        bool own;
        explicit Scratch(size_t n)
            : p(n > swap_standing ? static_cast<u8*>(heap::allocate(n)) : swap_scratch), own(n > swap_standing) {}
        ~Scratch() {
            if (own) heap::free(p);
        }
        Scratch(const Scratch&) = delete;
        Scratch& operator=(const Scratch&) = delete;
    } scratch(small);
    const size_t la = static_cast<size_t>(a), lb = static_cast<size_t>(b), lg = static_cast<size_t>(gap);
    u8* end = second + lb;
    if (la <= lb) {
        // A aside; gap and B slide to the front, B rotates before the gap; A last.
        std::memcpy(scratch.p, base, la);
        std::memmove(base, base + la, lg + lb);
        std::rotate(base, base + lg, base + lg + lb);
        std::memcpy(end - la, scratch.p, la);
    } else {
        // B aside; A and the gap slide to the back, the gap rotates before A; B first.
        std::memcpy(scratch.p, second, lb);
        std::memmove(base + lb, base, la + lg);
        std::rotate(base + lb, base + lb + la, end);
        std::memcpy(base, scratch.p, lb);
    }
}

// ---------------------------------------------------------------------------
// Comparison

i32 compare_strings(const Cell& s1, const Cell& s2, i32 op, bool prefix) {
    // Symbols first: two uncached symbols carry node 0 and would look alike.
    const Cell a0 = s1, b0 = s2;
    const Cell a = as_string(a0);
    const Cell b = as_string(b0);
    const bool same_place = cell::node(a) == cell::node(b) && cell::head_index(a) == cell::head_index(b);
    if (op == 9) return same_place ? 0 : -1;
    const bool equality = op <= 2 || op >= 9;
    if (same_place && (op <= 2 || op == 12)) return 0;

    const Run x = run_of(a), y = run_of(b);
    i32 n = y.length;
    if (prefix) {
        if (y.length == 0) return op == 12 ? 1 : 0;
        if (x.length < y.length) return 1;
    } else if (x.length != y.length) {
        if (equality || y.length == 0) return 1;
        if (x.length < y.length) n = x.length;
    } else if (x.length == 0) {
        return 0;
    }

    const bool fold = op != 2 && op != 8;
    for (i32 i = 0; i < n; i++) {
        u32 c1 = x.at(i), c2 = y.at(i);
        if (fold) {
            c1 = unicode::case_fold(c1, false);
            c2 = unicode::case_fold(c2, false);
        }
        if (c1 != c2) return c1 > c2 ? 1 : -1;
    }
    if (prefix) return 0;
    return x.length > y.length ? 1 : x.length < y.length ? -1 : 0;
}

bool equal_q(const Cell& str, const Cell& value, i32 op) {
    const u32 vt = cell::type_of(value);
    if (string_family_q(vt)) return compare_strings(str, value, op, true) == 0;
    if (vt == type::char_) {
        const Run r = run_of(str);
        if (r.length == 0) return false;
        u32 c = r.at(0), v = value.data2;
        if (op != 2) {
            c = unicode::case_fold(c, false);
            v = unicode::case_fold(v, false);
        }
        return c == v;
    }
    if (vt == type::tag) {
        const Run r = run_of(str);
        const i64 tag_len = run_of(value).length;
        if (r.length < tag_len + 2 || r.at(0) != '<' || r.at(static_cast<i32>(tag_len + 1)) != '>') return false;
        Cell inside = str;
        inside.data1 = static_cast<u32>(clamped_head(str, memory::buffer(cell::node(str))) + 1);
        return compare_strings(inside, value, op, true) == 0;
    }
    return false;
}

// ---------------------------------------------------------------------------
// Molded text

i32 append_escaped_char(Node buffer, u32 cp, bool all) {
    if (cp == 0x1E || (cp >= 0x80 && cp <= 0x9F) || (all && cp > 0x7F)) {
        const char* hex = to_hex(static_cast<i32>(cp), true);
        const i32 digits = static_cast<i32>(std::strlen(hex));
        char text[16] = "^(";
        std::memcpy(text + 2, hex, static_cast<size_t>(digits));
        text[2 + digits] = ')';
        text[3 + digits] = 0;
        return concatenate_literal(cell::make(type::string, 0, buffer, 0), text);
    }
    char e = cp < 95 ? escape_of(cp) : cp == 127 ? '~' : 0;
    if (e) {
        append_char(buffer, '^');
        append_char(buffer, static_cast<u8>(e));
        return 2;
    }
    append_char(buffer, cp);
    return 1;
}

QuotesAndLines count_quotes_and_lines(const Cell& str, i32 n) {
    const Run r = run_of(str);
    if (n < 0 || n > r.length) n = r.length;
    QuotesAndLines out{0, 0};
    for (i32 i = 0; i < n; i++) {
        const u32 c = r.at(i);
        if (c == '"') out.quotes++;
        else if (c == '\n') out.lines++;
    }
    return out;
}

bool brace_balanced_q(const Cell& str, i32 from, i32 to) {
    SeriesBuffer* s = memory::buffer(cell::node(str));
    const i32 len = static_cast<i32>(s->length());
    if (to > len) to = len;
    if (from < 0) from = 0;
    const u32 unit = s->unit();
    i32 depth = 0;
    for (i32 i = from; i < to; i++) {
        const u32 c = get_char(s->head_ptr() + static_cast<size_t>(i) * unit, unit);
        if (c == '{') depth++;
        else if (c == '}' && --depth == 0) return true;
    }
    return false;
}

// ---------------------------------------------------------------------------
// Loading external text

Cell* load_star(const u8* src, i32 size, Cell* target, i32 enc) {
    // Unknown encodings are the caller's error, not the end of the process.
    if (enc != encoding::utf8 && enc != encoding::utf16le) fire(ErrorId::script_invalid_arg, cell::integer(enc));
    static const u8 nothing[2] = {0, 0};
    if (!src || size < 0) {  // a null address would mean the string's own cache to the UTF-16 loader
        src = nothing;
        size = 0;
    }
    const Node n = enc == encoding::utf8 ? unicode::load_utf8(src, size, 0, nullptr, false)
                                         : unicode::load_utf16(src, size, nullptr, false);
    const Cell str = cell::make(type::string, 0, n, 0);
    if (!target) return stack::push_value(str);
    *target = str;
    return target;
}

Cell* load(const u8* src, i32 size, i32 enc) { return load_star(src, size, nullptr, enc); }

Cell* load_in(const u8* src, i32 size, const Cell& blk, i32 enc) {
    // The new string stays on the stack, where the collector sees it, while
    // the block grows.
    const Cell str = *load_star(src, size, nullptr, enc);
    Cell* slot = memory::alloc_tail(cell::node(blk));
    *slot = str;
    stack::pop(1);
    return slot;
}

Cell* load_utf8_checked(const u8* src, i32 size) {
    const u8* end = src + (size < 0 ? 0 : size);
    for (const u8* p = src; p < end;) {
        if (*p < 0x80) {
            p++;
            continue;
        }
        const u8* start = p;
        i32 cp;
        p = unicode::fast_decode_utf8_char(p, end, &cp);
        if (cp == unicode::invalid) {
            // The error carries the undecoded bytes from the bad sequence on.
            const i32 rest = static_cast<i32>(end - start);
            const Node bin = memory::alloc_bytes(rest);
            std::memcpy(memory::reserve_bytes(bin, rest), start, static_cast<size_t>(rest));
            fire(ErrorId::access_invalid_utf8, cell::make(type::binary, 0, bin, 0));
        }
    }
    return load_star(src, size, nullptr, encoding::utf8);
}

Cell* load_utf8_checked(const Cell& bin) {
    // Decoding allocates, which may move the binary's buffer: work on a copy.
    SeriesBuffer* s = memory::buffer(cell::node(bin));
    const i64 head = std::clamp<i64>(cell::head_index(bin), 0, s->tail - s->head);
    std::vector<u8> bytes(s->head_ptr() + head, s->tail_ptr());
    return load_utf8_checked(bytes.data(), static_cast<i32>(bytes.size()));
}

}  // namespace oru::string
