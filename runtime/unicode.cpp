// Unicode text: conversions between string buffers and UTF-8 / UTF-16, the
// case tables and terminal widths.
//
// Every loader and conversion bounds its reads by the input's end, so no
// malformed or truncated input reads past a buffer. Per-character paths are
// table lookups without allocation; buffers grow (and may move) only when a
// string widens or outgrows its room, and are then fetched again.
// Units are read and written through memcpy helpers: widening rewrites a
// buffer in place at another width, and typed pointers there would alias.
#include "runtime/unicode.h"

#include "runtime/fire.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace oru::unicode {

static_assert(std::endian::native == std::endian::little, "UTF-16LE is the machine's own order");

const u8 utf8_dfa[364] = {
    // Byte classes: 00-7F 0, 80-8F 1, 90-9F 9, A0-BF 7, C0-C1 8, C2-DF 2,
    // E0 10, E1-EC 3, ED 4, EE-EF 3, F0 11, F1-F3 6, F4 5, F5-FF 8.
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9,
    7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7,
    8, 8, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
    10, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 4, 3, 3, 11, 6, 6, 6, 5, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8,
    // Transitions: 12 classes a state.
    0, 12, 24, 36, 60, 96, 84, 12, 12, 12, 48, 72,   // 0: accept
    12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12,  // 12: reject
    12, 0, 12, 12, 12, 12, 12, 0, 12, 0, 12, 12,     // 24: one continuation left
    12, 24, 12, 12, 12, 12, 12, 24, 12, 24, 12, 12,  // 36: two left
    12, 12, 12, 12, 12, 12, 12, 24, 12, 12, 12, 12,  // 48: after E0 (A0-BF only)
    12, 24, 12, 12, 12, 12, 12, 12, 12, 24, 12, 12,  // 60: after ED (80-9F only)
    12, 12, 12, 12, 12, 12, 12, 36, 12, 36, 12, 12,  // 72: after F0 (90-BF only)
    12, 36, 12, 12, 12, 12, 12, 36, 12, 36, 12, 12,  // 84: three left
    12, 36, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12,  // 96: after F4 (80-8F only)
};

namespace {

// --- Unit access ---------------------------------------------------------

inline u16 get16(const u8* p) {
    u16 v;
    std::memcpy(&v, p, 2);
    return v;
}
inline u32 get32(const u8* p) {
    u32 v;
    std::memcpy(&v, p, 4);
    return v;
}
inline void put16(u8* p, u32 v) {
    u16 w = static_cast<u16>(v);
    std::memcpy(p, &w, 2);
}
inline void put32(u8* p, u32 v) { std::memcpy(p, &v, 4); }

inline u32 get_char(const u8* p, u32 unit) {
    if (unit == 1) return *p;
    if (unit == 2) return get16(p);
    return get32(p);
}
inline void put_char(u8* p, u32 unit, u32 c) {
    if (unit == 1) *p = static_cast<u8>(c);
    else if (unit == 2) put16(p, c);
    else put32(p, c);
}

// The unit that holds a code point.
inline u32 unit_for(u32 c) { return c < 0x100 ? 1 : c < 0x10000 ? 2 : 4; }

[[noreturn]] void invalid_char(u32 cp) { fire(ErrorId::script_invalid_char, cell::integer(static_cast<i32>(cp))); }
[[noreturn]] void invalid_utf8(u8 lead) { fire(ErrorId::access_invalid_utf8, cell::integer(lead)); }
[[noreturn]] void no_memory() { fire(ErrorId::internal_no_memory); }

// A byte count that must fit a buffer size.
i32 checked_bytes(i64 n) {
    if (n < 0 || n > 0x7FFFFFF0) no_memory();
    return static_cast<i32>(n);
}

inline void set_unit(SeriesBuffer* s, u32 unit) { s->flags = (s->flags & ~sflag::unit_mask) | unit; }

// Grows s so that its data area holds `bytes` from its head (the head moves
// to the data start when it grows). Copies the content when `copy` is set.
SeriesBuffer* ensure_room(SeriesBuffer* s, i64 bytes, bool copy) {
    if (static_cast<i64>(s->size) - s->head >= bytes) return s;
    i32 want = checked_bytes(std::max<i64>(bytes, 16));
    return copy ? memory::expand_series_copy(s, want) : memory::expand_series(s, want);
}

// The characters of a string value from its head to the tail. Valid until
// the next allocation.
struct Chars {
    const u8* p;
    i32 length;
    u32 unit;
};

Chars chars_of(const Cell& str) {
    SeriesBuffer* s = memory::buffer(cell::node(str));
    u32 unit = s->unit();
    i32 total = static_cast<i32>(s->length());
    i32 head = cell::head_index(str);
    if (head < 0) head = 0;
    if (head > total) head = total;
    return {s->head_ptr() + static_cast<size_t>(head) * unit, total - head, unit};
}

// Appends code points to a buffer from its head, widening and growing it as
// needed. Holds the buffer address between calls: nothing else may allocate
// while a writer is in use.
class Writer {
public:
    Writer(Node n, i32 growth) : node_(n), s_(memory::buffer(n)), unit_(s_->unit()), growth_(growth) {}

    void put(u32 c) {
        if (c >= 0x100 && unit_for(c) > unit_) [[unlikely]] widen(unit_for(c));
        if (static_cast<i64>(s_->head) + pos_ + unit_ > s_->size) [[unlikely]] grow();
        put_char(s_->head_ptr() + pos_, unit_, c);
        pos_ += unit_;
    }
    // Fast path for a byte known to fit every unit.
    void put_ascii(u8 b) {
        if (unit_ != 1 || s_->head + pos_ >= static_cast<u32>(s_->size)) [[unlikely]] return put(b);
        s_->head_ptr()[pos_++] = b;
    }
    Node finish() {
        s_->tail = s_->head + pos_;
        return node_;
    }

private:
    void widen(u32 to) {
        s_->tail = s_->head + pos_;
        if (to == 2) s_ = widen_to_ucs2(s_);
        else if (unit_ == 1) s_ = widen_to_ucs4(s_);
        else s_ = widen_ucs2_to_ucs4(s_);
        pos_ = pos_ / unit_ * to;
        unit_ = to;
    }
    void grow() {
        s_->tail = s_->head + pos_;
        i64 step = std::max<i64>(unit_ == 2 ? growth_ / 4 : growth_, 16);
        s_ = memory::expand_series_copy(s_, checked_bytes(s_->size + step));
    }

    Node node_;
    SeriesBuffer* s_;
    u32 unit_;
    u32 pos_ = 0;     // bytes written from the head
    i32 growth_;      // input size: the growth step
};

// Widens the `count` units of `from` bytes at the buffer head to `to` bytes,
// from the end so that nothing is overwritten first.
void rewrite_wider(SeriesBuffer* s, u32 count, u32 from, u32 to) {
    u8* p = s->head_ptr();
    for (size_t i = count; i-- > 0;) put_char(p + i * to, to, get_char(p + i * from, from));
    s->tail = s->head + count * to;
    set_unit(s, to);
}

SeriesBuffer* widen(SeriesBuffer* s, u32 from, u32 to, i64 room) {
    u32 count = (s->tail - s->head) / from;
    s = ensure_room(s, room, true);
    rewrite_wider(s, count, from, to);
    return s;
}

// Case tables of the BMP: 0 means the code point maps to itself.
i32 upper_table[0x10000];
i32 lower_table[0x10000];

}  // namespace

// --- UTF-8 ---------------------------------------------------------------

const u8* fast_decode_utf8_char(const u8* p, const u8* end, i32* cp) {
    if (p >= end) {
        *cp = invalid;
        return end;
    }
    u32 b = *p++;
    u32 type = utf8_dfa[b];
    u32 c = (0xFFu >> type) & b;
    u32 state = utf8_dfa[256 + type];
    while (state != utf8_accept && state != utf8_reject) {
        if (p == end) {
            *cp = invalid;
            return end;
        }
        b = *p++;
        c = (c << 6) | (b & 0x3F);
        state = utf8_dfa[256 + state + utf8_dfa[b]];
    }
    *cp = state == utf8_accept ? static_cast<i32>(c) : invalid;
    return p;
}

i32 utf8_length(const u8* start, const u8* end) {
    i32 n = 0;
    for (const u8* p = start; p < end; n++) {
        if (*p < 0x80) {
            p++;
            continue;
        }
        i32 cp;
        p = fast_decode_utf8_char(p, end, &cp);
    }
    return n;
}

const u8* utf8_skip_chars(const u8* start, const u8* end, i32 n) {
    const u8* p = start;
    for (; n > 0 && p < end; n--) {
        if (*p < 0x80) {
            p++;
            continue;
        }
        i32 cp;
        p = fast_decode_utf8_char(p, end, &cp);
    }
    return p;
}

int utf8_seq_length(u8 lead) {
    if (lead >= 0xF0) return 4;
    if (lead >= 0xE0) return 3;
    if (lead >= 0xC0) return 2;
    return 0;
}

int utf8_char_size(u32 cp) {
    if (cp < 0x80) return 1;
    if (cp < 0x800) return 2;
    if (cp < 0x10000) return 3;
    if (cp < 0x110000) return 4;
    invalid_char(cp);
}

i32 utf8_encoded_size(const u8* start, const u8* end, u32 unit) {
    i64 n = 0;
    for (const u8* p = start; unit && end - p >= static_cast<ptrdiff_t>(unit); p += unit)
        n += utf8_char_size(get_char(p, unit));
    return checked_bytes(n);
}

int encode_utf8_char(u32 cp, u8* dst) {
    if (cp < 0x80) {
        dst[0] = static_cast<u8>(cp);
        return 1;
    }
    if (cp < 0x800) {
        dst[0] = static_cast<u8>(0xC0 | (cp >> 6));
        dst[1] = static_cast<u8>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        dst[0] = static_cast<u8>(0xE0 | (cp >> 12));
        dst[1] = static_cast<u8>(0x80 | ((cp >> 6) & 0x3F));
        dst[2] = static_cast<u8>(0x80 | (cp & 0x3F));
        return 3;
    }
    if (cp < 0x110000) {
        dst[0] = static_cast<u8>(0xF0 | (cp >> 18));
        dst[1] = static_cast<u8>(0x80 | ((cp >> 12) & 0x3F));
        dst[2] = static_cast<u8>(0x80 | ((cp >> 6) & 0x3F));
        dst[3] = static_cast<u8>(0x80 | (cp & 0x3F));
        return 4;
    }
    invalid_char(cp);
}

int encode_utf8_char_limit(u32 cp, u8* dst, i32 room) {
    if (room <= 0) return 0;
    u8 bytes[4];
    int n = encode_utf8_char(cp, bytes);
    if (n > room) n = room;
    std::memcpy(dst, bytes, static_cast<size_t>(n));
    return n;
}

i32 decode_utf8_char(const u8* p, i32* count) {
    u32 lead = p[0];
    i32 avail = *count;
    if (lead < 0x80) {
        *count = 1;
        return static_cast<i32>(lead);
    }
    // Lead bytes 0x80-0xC1 are continuations or always overlong; 0xF5 and up
    // would lead past U+10FFFF.
    i32 need = 0;
    u32 low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (lead < 0xC2) invalid_utf8(static_cast<u8>(lead));
    else if (lead < 0xE0) need = 2;
    else if (lead < 0xF0) {
        need = 3;
        if (lead == 0xE0) low = 0xA0;        // overlong below U+0800
        else if (lead == 0xED) high = 0x9F;  // U+D800-DFFF
    } else if (lead < 0xF5) {
        need = 4;
        if (lead == 0xF0) low = 0x90;        // overlong below U+10000
        else if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
    } else {
        invalid_utf8(static_cast<u8>(lead));
    }
    // Check what is there before deciding the sequence is only cut off: a bad
    // byte can never become valid with more input.
    i32 have = std::min(avail, need);
    if (have > 1 && (p[1] < low || p[1] > high)) invalid_utf8(static_cast<u8>(lead));
    for (i32 i = 2; i < have; i++)
        if ((p[i] & 0xC0) != 0x80) invalid_utf8(static_cast<u8>(lead));
    if (avail < need) {
        *count = 0;
        return invalid;
    }
    u32 c = lead & (0x7Fu >> need);
    for (i32 i = 1; i < need; i++) c = (c << 6) | (p[i] & 0x3F);
    *count = need;
    return static_cast<i32>(c);
}

// --- String buffers ------------------------------------------------------

SeriesBuffer* widen_to_ucs2(SeriesBuffer* s) {
    i64 used = s->tail - s->head;
    return widen(s, 1, 2, 2 * used + 2);
}

SeriesBuffer* widen_to_ucs4(SeriesBuffer* s) {
    i64 used = s->tail - s->head;
    return widen(s, 1, 4, 4 * used + 4);
}

SeriesBuffer* widen_ucs2_to_ucs4(SeriesBuffer* s) {
    i64 used = s->tail - s->head;
    return widen(s, 2, 4, 2 * used + 4);
}

i32 clip_head(Cell& str) {
    i32 total = static_cast<i32>(memory::buffer(cell::node(str))->length());
    i32 head = cell::head_index(str);
    if (head > total) {
        head = total;
        str.data1 = static_cast<u32>(total);
    }
    return head < 0 ? total : total - head;
}

u8* scratch_buffer(Cell& str, i32 size) {
    if (size < 1) size = 1;
    Node n = str.data3;
    if (!n) {
        n = memory::alloc_bytes(size);
        str.data3 = n;
    } else if (memory::buffer(n)->size < size) {
        memory::expand_series(memory::buffer(n), size);
    }
    return memory::buffer(n)->data();
}

namespace {
// The new buffer a load is filling: nothing else holds its node until the
// load returns it, and widening or growing it allocates, so the collector
// marks it as a root (see loading_node).
Node loading = 0;
struct LoadingRoot {
    Node saved = loading;
    explicit LoadingRoot(Node n) { loading = n; }
    ~LoadingRoot() { loading = saved; }
};
}  // namespace

Node loading_node() { return loading; }

Node load_utf8(const u8* src, i32 size, Node node, i32* remaining, bool crlf) {
    if (size < 0) size = 0;
    const bool fresh = !node;
    if (fresh) {
        node = memory::alloc_series(size ? size : 1, 1, 0);
    } else {
        SeriesBuffer* s = memory::buffer(node);
        ensure_room(s, static_cast<i64>(size) * s->unit(), false);
    }
    const u8* p = src;
    const u8* end = src + size;
    if (size >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) p += 3;

    LoadingRoot root(fresh ? node : loading);
    Writer out(node, size);
    i32 left = 0;
    while (p < end) {
        u32 c = *p;
        if (c < 0x80) {
            p++;
            if (c == 0x0D && crlf) {
                if (p < end && *p == 0x0A) continue;  // CR LF: the LF follows
                c = 0x0A;
            }
            out.put_ascii(static_cast<u8>(c));
            continue;
        }
        i32 used = static_cast<i32>(end - p);
        i32 cp = decode_utf8_char(p, &used);
        if (cp == invalid) {
            left = static_cast<i32>(end - p);
            break;
        }
        p += used;
        out.put(static_cast<u32>(cp));
    }
    if (remaining) *remaining = left;
    return out.finish();
}

Node load_utf8_into(const u8* src, i32 size, Cell& str, i32* remaining) {
    return load_utf8(src, size, cell::node(str), remaining, false);
}

Node load(const u8* src, i32 size) { return load_utf8(src, size, 0, nullptr, false); }

// --- Conversion to UTF-8 -------------------------------------------------

u8* to_utf8(Cell& str, i32* length) { return to_utf8_crlf(str, length, false); }

u8* to_utf8_crlf(Cell& str, i32* length, bool crlf) {
    Chars ch = chars_of(str);
    i32 len = *length;
    if (len < 0 || len > ch.length) len = ch.length;
    // Enough for every code point at its longest, LF as CR LF included.
    i64 per = ch.unit == 4 ? 4 : ch.unit + 1;
    u8* dst = scratch_buffer(str, checked_bytes(per * (static_cast<i64>(len) + 1)));
    ch = chars_of(str);  // the cache allocation may have moved the string
    u8* q = dst;
    const u8* p = ch.p;
    for (i32 i = 0; i < len; i++, p += ch.unit) {
        u32 c = get_char(p, ch.unit);
        if (c < 0x80) {
            if (c == 0x0A && crlf) *q++ = 0x0D;
            *q++ = static_cast<u8>(c);
        } else {
            q += encode_utf8_char(c, q);
        }
    }
    *q = 0;
    *length = static_cast<i32>(q - dst);
    return dst;
}

i32 to_utf8_into(const Cell& str, u8* dst, i32 limit, bool nul) {
    Chars ch = chars_of(str);
    i32 len = limit < 0 || limit > ch.length ? ch.length : limit;
    u8* q = dst;
    const u8* p = ch.p;
    for (i32 i = 0; i < len; i++, p += ch.unit) {
        u32 c = get_char(p, ch.unit);
        if (c < 0x80) *q++ = static_cast<u8>(c);
        else q += encode_utf8_char(c, q);
    }
    if (nul) *q = 0;
    return static_cast<i32>(q - dst);
}

i32 to_utf8_into_limit(const Cell& str, u8* dst, i32 room, i32 limit, bool nul) {
    if (nul) room--;  // keep a byte for the 0
    if (room < 0) return 0;
    Chars ch = chars_of(str);
    i32 len = limit < 1 || limit > ch.length ? ch.length : limit;
    i32 n = 0;
    const u8* p = ch.p;
    for (i32 i = 0; i < len && n < room; i++, p += ch.unit)
        n += encode_utf8_char_limit(get_char(p, ch.unit), dst + n, room - n);
    if (nul) dst[n] = 0;
    return n;
}

// --- UTF-16LE ------------------------------------------------------------

u32 utf16_unit(const u8* src, i32 count) {
    u32 unit = 1;
    for (i32 i = 0; i < count; i++) {
        u8 high = src[2 * i + 1];
        if (high >= 0xD8 && high <= 0xDF) return 4;
        if (high) unit = 2;
    }
    return unit;
}

Node load_utf16(const u8* src, i32 count, Cell* str, bool cr) {
    if (count < 0) count = 0;
    // Text in the string's cache lives in a series buffer: fetch it again
    // after anything that allocates.
    Node src_node = 0;
    if (!src) {
        src_node = str ? str->data3 : 0;
        if (!src_node) count = 0;
        else count = std::min(count, memory::buffer(src_node)->size / 2);
        src = src_node ? memory::buffer(src_node)->data() : nullptr;
    }
    u32 unit = count ? utf16_unit(src, count) : 1;
    Node node;
    if (!str) {
        node = memory::alloc_codepoints(count, unit);
    } else {
        node = cell::node(*str);
        SeriesBuffer* s = memory::buffer(node);
        s = ensure_room(s, static_cast<i64>(count) * unit, false);
        set_unit(s, unit);
    }
    if (src_node) src = memory::buffer(src_node)->data();
    SeriesBuffer* s = memory::buffer(node);
    u8* q = s->head_ptr();
    u32 n = 0;
    for (i32 i = 0; i < count; i++) {
        u32 c = get16(src + 2 * i);
        if (c == 0x0D && cr) continue;
        if (unit == 4 && c >= 0xD800 && c <= 0xDFFF) {
            // Pair a high surrogate with the low one after it; anything else
            // unpaired becomes U+FFFD rather than a code point no string holds.
            u32 next = i + 1 < count ? get16(src + 2 * (i + 1)) : 0;
            if (c <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF) {
                c = 0x10000 + (((c & 0x3FF) << 10) | (next & 0x3FF));
                i++;
            } else {
                c = replacement_char;
            }
        }
        put_char(q + static_cast<size_t>(n) * unit, unit, c);
        n++;
    }
    s->tail = s->head + n * unit;
    return node;
}

i32 count_utf16_extra(const u8* start, const u8* end, u32 unit) {
    i64 n = 0;
    for (const u8* p = start; unit && end - p >= static_cast<ptrdiff_t>(unit); p += unit) {
        u32 c = get_char(p, unit);
        if (c == 0x0A || c >= 0x10000) n += 2;
    }
    return checked_bytes(n);
}

void ascii_to_utf16(const char* src, u16* dst) {
    while (*src) *dst++ = static_cast<u8>(*src++);
    *dst = 0;
}

int encode_utf16_char(u32 cp, u16* dst) {
    if (cp < 0x10000) {
        dst[0] = static_cast<u16>(cp);
        return 1;
    }
    if (cp < 0x110000) {
        cp -= 0x10000;
        dst[0] = static_cast<u16>(0xD800 | (cp >> 10));
        dst[1] = static_cast<u16>(0xDC00 | (cp & 0x3FF));
        return 2;
    }
    return 0;
}

u16* to_utf16(Cell& str) {
    i32 length = -1;
    return to_utf16_part(str, &length, true);
}

u16* to_utf16_part(Cell& str, i32* length, bool crlf) {
    Chars ch = chars_of(str);
    i32 len = *length;
    if (len < 0 || len > ch.length) len = ch.length;
    i64 extra = count_utf16_extra(ch.p, ch.p + static_cast<size_t>(len) * ch.unit, ch.unit);
    u8* dst = scratch_buffer(str, checked_bytes(2 * static_cast<i64>(len) + 2 + extra));
    ch = chars_of(str);  // the cache allocation may have moved the string
    u8* q = dst;
    const u8* p = ch.p;
    for (i32 i = 0; i < len; i++, p += ch.unit) {
        u32 c = get_char(p, ch.unit);
        if (c < 0x10000) {
            if (c == 0x0A && crlf) {
                put16(q, 0x0D);
                q += 2;
            }
            put16(q, c);
            q += 2;
        } else if (c < 0x110000) {
            c -= 0x10000;
            put16(q, 0xD800 | (c >> 10));
            put16(q + 2, 0xDC00 | (c & 0x3FF));
            q += 4;
        } else {
            *length = 0;
            return nullptr;
        }
    }
    put16(q, 0);
    *length = static_cast<i32>((q - dst) / 2);
    return reinterpret_cast<u16*>(dst);
}

// --- Single-byte text ----------------------------------------------------

Node load_cp1251(const u8* src, i32 size, Cell* str, bool crlf) {
    if (size < 0) size = 0;
    u32 unit = 1;
    for (i32 i = 0; i < size; i++)
        if (src[i] >= 0x80 && cp1251_high[src[i] - 0x80] >= 0x100) {
            unit = 2;
            break;
        }
    Node node;
    if (!str) {
        node = memory::alloc_codepoints(size, unit);
    } else {
        node = cell::node(*str);
        SeriesBuffer* s = ensure_room(memory::buffer(node), static_cast<i64>(size) * unit, false);
        set_unit(s, unit);
    }
    SeriesBuffer* s = memory::buffer(node);
    u8* q = s->head_ptr();
    u32 n = 0;
    for (i32 i = 0; i < size; i++) {
        u32 c = src[i] < 0x80 ? src[i] : cp1251_high[src[i] - 0x80];
        if (c == 0x0D && crlf) {
            if (i + 1 < size && src[i + 1] == 0x0A) continue;
            c = 0x0A;
        }
        put_char(q + static_cast<size_t>(n) * unit, unit, c);
        n++;
    }
    s->tail = s->head + n * unit;
    return node;
}

// --- Case ----------------------------------------------------------------

// The tables begin as zeros and the pairs never change, so a later start-up
// writes the same entries again and nothing needs clearing: writing only the
// pairs' entries leaves most of the tables' pages untouched.
void init_case_tables() {
    for (const CasePair& p : upper_pairs) upper_table[p.from] = static_cast<i32>(p.to);
    for (const CasePair& p : lower_pairs) lower_table[p.from] = static_cast<i32>(p.to);
}

u32 case_fold(u32 cp, bool upper) {
    if (cp < 0x10000) {
        i32 to = (upper ? upper_table : lower_table)[cp];
        return to ? static_cast<u32>(to) : cp;
    }
    const CasePair* first = upper ? upper_pairs_astral : lower_pairs_astral;
    const CasePair* last = first + (upper ? upper_pairs_astral_count : lower_pairs_astral_count);
    if (cp < first->from || cp > last[-1].from) return cp;
    const CasePair* at = std::lower_bound(first, last, cp, [](const CasePair& p, u32 c) { return p.from < c; });
    return at != last && at->from == cp ? at->to : cp;
}

u32 to_upper(u32 cp) { return case_fold(cp, true); }

u32 to_lower_or_upper(u32 cp) {
    u32 up = case_fold(cp, true);
    return up != cp ? up : case_fold(cp, false);
}

void change_case_chars(Cell& str, i32 count, bool upper) {
    i32 avail = clip_head(str);
    if (count > avail) count = avail;
    if (count <= 0) return;
    Node node = cell::node(str);
    SeriesBuffer* s = memory::buffer(node);
    u32 unit = s->unit();
    u32 head = static_cast<u32>(std::max(cell::head_index(str), 0));
    for (u32 i = head, stop = head + static_cast<u32>(count); i < stop; i++) {
        u8* p = s->head_ptr() + static_cast<size_t>(i) * unit;
        u32 c = get_char(p, unit);
        u32 m = case_fold(c, upper);
        if (m == c) continue;
        u32 need = unit_for(m);
        if (need > unit) {
            // Widening rewrites (and may move) the buffer; the index stays.
            if (unit == 2) s = widen_ucs2_to_ucs4(s);
            else s = need == 2 ? widen_to_ucs2(s) : widen_to_ucs4(s);
            unit = need;
            p = s->head_ptr() + static_cast<size_t>(i) * unit;
        }
        put_char(p, unit, m);
    }
}

// --- Display width -------------------------------------------------------

bool in_ranges_q(u32 cp, const u32* ranges, i32 words) {
    if (words < 2 || cp < ranges[0] || cp > ranges[words - 1]) return false;
    // The last range whose first code point is not above cp.
    i32 lo = 0, hi = words / 2 - 1;
    while (lo < hi) {
        i32 mid = (lo + hi + 1) / 2;
        if (ranges[2 * mid] <= cp) lo = mid;
        else hi = mid - 1;
    }
    return cp >= ranges[2 * lo] && cp <= ranges[2 * lo + 1];
}

int display_width(u32 cp) {
    if (cp == 0) return 0;
    if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) return 1;
    if (cp < std::min(zero_width_ranges[0], wide_ranges[0])) return 1;  // the common case
    if (in_ranges_q(cp, zero_width_ranges, 2 * zero_width_ranges_count)) return 0;
    if (in_ranges_q(cp, wide_ranges, 2 * wide_ranges_count)) return 2;
    return 1;
}

int display_width_cjk(u32 cp) {
    if (in_ranges_q(cp, ambiguous_ranges, 2 * ambiguous_ranges_count)) return 2;
    return display_width(cp);
}

}  // namespace oru::unicode
