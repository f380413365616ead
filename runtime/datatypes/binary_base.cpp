// Binary-to-text encodings: the base 2, 16, 58 and 64 encoders and decoders.
//
// Each decoder classifies characters through one 256-entry table (a digit
// value, or skip, comment, padding, invalid; every code point above 255 is
// invalid) and reads text of any unit through a small reader, so one
// template serves 1-, 2- and 4-byte text. Bases 16 and 64 take whole
// digit groups on a fast path and fall back to the character loop at the
// first character that is no digit. Base 58 converts between big numbers in
// limbs of several digits at a time (58^5 per limb when encoding, 32 bits
// when decoding) on heap scratch, never in a series buffer. Nothing here
// allocates between fetching a buffer address and its last use.
#include "runtime/datatypes/binary_base.h"

#include "interpreter/stack.h"
#include "runtime/datatypes/binary.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/series.h"
#include "runtime/fire.h"
#include "runtime/memory.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace oru::binary {

namespace {

constexpr i64 max_bytes = 0x7FFFFFF0;  // the largest data area of a buffer

// What a table says about a character: a digit value below 64, or one of these.
constexpr u8 skip = 64, bad = 128, pad = 129, comment = 130;

struct Table {
    u8 v[256];
};

// Bases 2 and 16: every character up to 32 is skipped.
constexpr Table low_table(int base) {
    Table t{};
    for (int c = 0; c < 256; c++) t.v[c] = c <= 32 ? skip : bad;
    t.v[static_cast<u8>(';')] = comment;
    for (int d = 0; d < (base == 2 ? 2 : 10); d++) t.v['0' + d] = static_cast<u8>(d);
    if (base == 16) {
        for (int d = 0; d < 6; d++) {
            t.v['A' + d] = static_cast<u8>(10 + d);
            t.v['a' + d] = static_cast<u8>(10 + d);
        }
    }
    return t;
}

constexpr char alphabet58[] = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";
constexpr char alphabet64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
static_assert(sizeof alphabet58 == 59 && sizeof alphabet64 == 65);

// Bases 58 and 64: the alphabet's digits, and a fixed set of skipped characters.
constexpr Table high_table(const char* alphabet, int n, bool padding) {
    Table t{};
    for (int c = 0; c < 256; c++) t.v[c] = bad;
    for (int i = 0; i < n; i++) t.v[static_cast<u8>(alphabet[i])] = static_cast<u8>(i);
    for (int c : {8, 9, 10, 12, 13, 32, 39}) t.v[c] = skip;
    t.v[static_cast<u8>(';')] = comment;
    if (padding) t.v[static_cast<u8>('=')] = pad;
    return t;
}

constexpr Table table2 = low_table(2);
constexpr Table table16 = low_table(16);
constexpr Table table58 = high_table(alphabet58, 58, false);
constexpr Table table64 = high_table(alphabet64, 64, true);

// Characters of Unit bytes each, read with memcpy: text copied out of a
// buffer need not be aligned to its unit.
template <u32 Unit>
struct Chars {
    const u8* p;
    u32 operator[](i32 i) const {
        if constexpr (Unit == 1) {
            return p[i];
        } else if constexpr (Unit == 2) {
            u16 v;
            std::memcpy(&v, p + static_cast<size_t>(i) * 2, 2);
            return v;
        } else {
            u32 v;
            std::memcpy(&v, p + static_cast<size_t>(i) * 4, 4);
            return v;
        }
    }
};

inline u8 classify(const Table& t, u32 c) { return c < 256 ? t.v[c] : bad; }

// The index of the line feed that ends the comment starting at i, or n.
template <class C>
i32 comment_end(const C& text, i32 n, i32 i) {
    while (i < n && text[i] != '\n') i++;
    return i;
}

// Each decoder writes at out (room: decoded_room) and returns the byte
// count, or -1 for invalid text.

template <class C>
i64 decode_2_text(const C& text, i32 n, u8* out) {
    u8* o = out;
    u32 acc = 0;
    int bits = 0;
    for (i32 i = 0; i < n; i++) {
        const u8 v = classify(table2, text[i]);
        if (v < 2) {
            acc = acc << 1 | v;
            if (++bits == 8) {
                *o++ = static_cast<u8>(acc);
                acc = 0;
                bits = 0;
            }
        } else if (v == comment) {
            i = comment_end(text, n, i);
        } else if (v != skip) {
            return -1;
        }
    }
    return bits ? -1 : o - out;
}

template <class C>
i64 decode_16_text(const C& text, i32 n, u8* out) {
    u8* o = out;
    i32 i = 0;
    i32 high = -1;  // the first digit of a byte, while its second is awaited
    for (;;) {
        if (high < 0) {
            for (; i + 2 <= n; i += 2) {
                const u8 a = classify(table16, text[i]), b = classify(table16, text[i + 1]);
                if ((a | b) & 0xF0) break;
                *o++ = static_cast<u8>(a << 4 | b);
            }
        }
        if (i >= n) break;
        const u8 v = classify(table16, text[i++]);
        if (v < 16) {
            if (high < 0) {
                high = v;
            } else {
                *o++ = static_cast<u8>(high << 4 | v);
                high = -1;
            }
        } else if (v == comment) {
            i = comment_end(text, n, i);
        } else if (v != skip) {
            return -1;
        }
    }
    return high >= 0 ? -1 : o - out;
}

template <class C>
i64 decode_64_text(const C& text, i32 n, u8* out) {
    u8* o = out;
    i32 i = 0;
    u32 acc = 0;
    int digits = 0;  // of the current group of 4
    for (;;) {
        if (digits == 0) {
            for (; i + 4 <= n; i += 4) {
                const u8 a = classify(table64, text[i]), b = classify(table64, text[i + 1]),
                         c = classify(table64, text[i + 2]), d = classify(table64, text[i + 3]);
                if ((a | b | c | d) & 0xC0) break;
                const u32 v = static_cast<u32>(a) << 18 | static_cast<u32>(b) << 12 | static_cast<u32>(c) << 6 | d;
                o[0] = static_cast<u8>(v >> 16);
                o[1] = static_cast<u8>(v >> 8);
                o[2] = static_cast<u8>(v);
                o += 3;
            }
        }
        if (i >= n) break;
        const u8 v = classify(table64, text[i++]);
        if (v < 64) {
            acc = acc << 6 | v;
            if (++digits == 4) {
                o[0] = static_cast<u8>(acc >> 16);
                o[1] = static_cast<u8>(acc >> 8);
                o[2] = static_cast<u8>(acc);
                o += 3;
                acc = 0;
                digits = 0;
            }
        } else if (v == comment) {
            i = comment_end(text, n, i);
        } else if (v == pad) {
            // The data ends here. Two digits may be followed by a second "=";
            // after that only skipped characters and comments.
            if (digits < 2) return -1;
            i32 more_pads = digits == 2 ? 1 : 0;
            for (; i < n; i++) {
                const u8 w = classify(table64, text[i]);
                if (w == comment) i = comment_end(text, n, i);
                else if (w == pad && more_pads > 0) more_pads--;
                else if (w != skip) return -1;
            }
            break;
        } else if (v != skip) {
            return -1;
        }
    }
    // A group that was not padded: 2 or 3 digits still make 1 or 2 bytes.
    if (digits == 1) return -1;
    if (digits == 2) *o++ = static_cast<u8>(acc >> 4);
    if (digits == 3) {
        o[0] = static_cast<u8>(acc >> 10);
        o[1] = static_cast<u8>(acc >> 2);
        o += 2;
    }
    return o - out;
}

// Base-58 digit values to bytes: the leading zero digits ("1") give zero
// bytes; the rest is one big-endian number, turned into 32-bit limbs five
// digits at a time (58^5 < 2^30, so a limb times it plus the carry stays
// within 64 bits).
i64 bytes_of_58(const std::vector<u8>& d, u8* out) {
    size_t z = 0;
    while (z < d.size() && d[z] == 0) z++;
    std::vector<u32> limbs;  // least significant first
    for (size_t i = z; i < d.size();) {
        const size_t k = std::min<size_t>(5, d.size() - i);
        u64 mul = 1, carry = 0;
        for (size_t j = 0; j < k; j++) {
            mul *= 58;
            carry = carry * 58 + d[i + j];
        }
        for (u32& limb : limbs) {
            const u64 v = static_cast<u64>(limb) * mul + carry;
            limb = static_cast<u32>(v);
            carry = v >> 32;
        }
        if (carry) limbs.push_back(static_cast<u32>(carry));
        i += k;
    }
    u8* o = out;
    if (z > 0) std::memset(o, 0, z);
    o += z;
    bool started = false;  // leading zero bytes of the number are dropped
    for (size_t k = limbs.size(); k-- > 0;) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            const u8 b = static_cast<u8>(limbs[k] >> shift);
            if (!started && b == 0) continue;
            started = true;
            *o++ = b;
        }
    }
    return o - out;
}

template <class C>
i64 decode_58_text(const C& text, i32 n, u8* out) {
    std::vector<u8> digits;
    digits.reserve(static_cast<size_t>(n));
    for (i32 i = 0; i < n; i++) {
        const u8 v = classify(table58, text[i]);
        if (v < 58) digits.push_back(v);
        else if (v == comment) i = comment_end(text, n, i);
        else if (v != skip) return -1;
    }
    return bytes_of_58(digits, out);
}

template <u32 Unit>
i64 decode_unit(i32 base, const u8* text, i32 n, u8* out) {
    const Chars<Unit> chars{text};
    switch (base) {
        case 2: return decode_2_text(chars, n, out);
        case 16: return decode_16_text(chars, n, out);
        case 58: return decode_58_text(chars, n, out);
        default: return decode_64_text(chars, n, out);
    }
}

Node decode_with(i32 base, const u8* text, i32 count, u32 unit) {
    if (count < 0) count = 0;
    const Node n = memory::alloc_bytes(static_cast<i32>(decoded_room(base, count)));
    SeriesBuffer* s = memory::buffer(n);
    const i64 length = decode_into(base, text, count, unit, s->head_ptr());
    if (length < 0) return 0;
    s->tail = s->head + static_cast<u32>(length);
    return n;
}

using Encoder = u8* (*)(const u8*, u8*, i32);

Encoder encoder_of(i32 base) {
    switch (base) {
        case 2: return encode_2;
        case 16: return encode_16;
        case 58: return encode_58;
        default: return encode_64;
    }
}

void check_base(i32 base) {
    if (!base_q(base)) fire(ErrorId::script_invalid_arg, cell::integer(base));
}

}  // namespace

// ---------------------------------------------------------------------------
// Encoders

u8* encode_2(const u8* bytes, u8* out, i32 n) {
    for (i32 i = 0; i < n; i++)
        for (int bit = 7; bit >= 0; bit--) *out++ = static_cast<u8>('0' + ((bytes[i] >> bit) & 1));
    return out;
}

u8* encode_16(const u8* bytes, u8* out, i32 n) {
    static constexpr char digits[] = "0123456789ABCDEF";
    for (i32 i = 0; i < n; i++) {
        out[0] = static_cast<u8>(digits[bytes[i] >> 4]);
        out[1] = static_cast<u8>(digits[bytes[i] & 15]);
        out += 2;
    }
    return out;
}

// The bytes after the leading zeros, as one number in limbs of 58^5, are
// multiplied in four bytes at a time; then each limb gives five digits (the
// top one without its leading zeros) after one "1" per leading zero byte.
u8* encode_58(const u8* bytes, u8* out, i32 n) {
    constexpr u32 limb_base = 58u * 58u * 58u * 58u * 58u;
    i32 z = 0;
    while (z < n && bytes[z] == 0) z++;
    std::vector<u32> limbs;  // least significant first, each below limb_base
    limbs.reserve(static_cast<size_t>(n - z) * 7 / 25 + 2);
    for (i32 i = z; i < n;) {
        const i32 k = std::min(4, n - i);
        const u64 mul = u64{1} << (8 * k);
        u64 carry = 0;
        for (i32 j = 0; j < k; j++) carry = carry << 8 | bytes[i + j];
        for (u32& limb : limbs) {
            const u64 v = static_cast<u64>(limb) * mul + carry;
            limb = static_cast<u32>(v % limb_base);
            carry = v / limb_base;
        }
        while (carry) {
            limbs.push_back(static_cast<u32>(carry % limb_base));
            carry /= limb_base;
        }
        i += k;
    }
    if (z > 0) std::memset(out, '1', static_cast<size_t>(z));  // out may be null when n is 0
    out += z;
    for (size_t k = limbs.size(); k-- > 0;) {
        u8 digits[5];
        u32 v = limbs[k];
        for (int j = 4; j >= 0; j--) {
            digits[j] = static_cast<u8>(alphabet58[v % 58]);
            v /= 58;
        }
        int from = 0;
        if (k + 1 == limbs.size())
            while (from < 4 && digits[from] == '1') from++;  // the top limb's leading zeros
        for (int j = from; j < 5; j++) *out++ = digits[j];
    }
    return out;
}

u8* encode_64(const u8* bytes, u8* out, i32 n) {
    i32 i = 0;
    for (; i + 3 <= n; i += 3) {
        const u32 v = static_cast<u32>(bytes[i]) << 16 | static_cast<u32>(bytes[i + 1]) << 8 | bytes[i + 2];
        out[0] = static_cast<u8>(alphabet64[v >> 18]);
        out[1] = static_cast<u8>(alphabet64[(v >> 12) & 63]);
        out[2] = static_cast<u8>(alphabet64[(v >> 6) & 63]);
        out[3] = static_cast<u8>(alphabet64[v & 63]);
        out += 4;
    }
    if (i < n) {
        const bool two = n - i == 2;
        const u32 v = static_cast<u32>(bytes[i]) << 16 | (two ? static_cast<u32>(bytes[i + 1]) << 8 : 0u);
        out[0] = static_cast<u8>(alphabet64[v >> 18]);
        out[1] = static_cast<u8>(alphabet64[(v >> 12) & 63]);
        out[2] = two ? static_cast<u8>(alphabet64[(v >> 6) & 63]) : '=';
        out[3] = '=';
        out += 4;
    }
    return out;
}

// ---------------------------------------------------------------------------
// Decoders

Node decode_2(const u8* text, i32 count, u32 unit) { return decode_with(2, text, count, unit); }
Node decode_16(const u8* text, i32 count, u32 unit) { return decode_with(16, text, count, unit); }
Node decode_58(const u8* text, i32 count, u32 unit) { return decode_with(58, text, count, unit); }
Node decode_64(const u8* text, i32 count, u32 unit) { return decode_with(64, text, count, unit); }

// Room for the bytes of count characters in a base: at most a byte a
// character in bases 2, 16 and 58; 3 bytes for 4 digits in base 64.
i64 decoded_room(i32 base, i64 count) {
    switch (base) {
        case 2: return count / 8;
        case 16: return count / 2;
        case 64: return (count * 3 + 9) / 4;
        default: return count;
    }
}

i64 decode_into(i32 base, const u8* text, i32 count, u32 unit, u8* out) {
    if (count < 0) count = 0;
    switch (unit) {
        case 1: return decode_unit<1>(base, text, count, out);
        case 2: return decode_unit<2>(base, text, count, out);
        default: return decode_unit<4>(base, text, count, out);
    }
}

bool base_q(i32 base) { return base == 2 || base == 16 || base == 58 || base == 64; }

i64 encoded_room(i64 n, i32 base) {
    switch (base) {
        case 2: return n * 8 + (n / 8) * 2 + 4;
        case 16: return n * 2 + n / 32 + 32;
        case 58: return n * 2;
        case 64: return (n / 3) * 4 + ((n % 3) * 4) / 3 + (n / 32) * 2 + 5;
        default: return -1;
    }
}

// ---------------------------------------------------------------------------
// Values

Cell* encode(i32 base, const Cell& value) {
    check_base(base);
    const Cell v = value;
    const u32 t = cell::type_of(v);
    if (t != type::binary && !series::string_like_q(t)) fire(ErrorId::script_invalid_arg, v);
    Cell* result = stack::push(none::value);
    stack::Mark mark;
    stack::push(v);  // keeps the source alive while the text is made

    std::vector<u8> utf8;
    Node source = 0;
    i32 from = 0, n;
    if (t == type::binary) {
        source = cell::node(v);
        from = std::clamp(cell::head_index(v), 0, static_cast<i32>(memory::buffer(source)->length()));
        n = static_cast<i32>(memory::buffer(source)->length()) - from;
    } else {
        append_utf8(v, utf8);
        n = static_cast<i32>(utf8.size());
    }
    const i64 room = encoded_room(n, base);
    if (room > max_bytes) fire(ErrorId::script_too_long);
    const Node text = memory::alloc_bytes(static_cast<i32>(room));
    *result = cell::make(type::string, 0, text, 0);
    const u8* in = source ? memory::buffer(source)->head_ptr() + from : utf8.data();
    SeriesBuffer* s = memory::buffer(text);
    const u8* end = encoder_of(base)(in, s->head_ptr(), n);
    s->tail = s->head + static_cast<u32>(end - s->head_ptr());
    return result;
}

Cell* decode(i32 base, const Cell& text) {
    check_base(base);
    const Cell v = text;
    const u32 t = cell::type_of(v);
    if (t != type::binary && !series::string_like_q(t)) fire(ErrorId::script_invalid_arg, v);
    Cell* result = stack::push(none::value);
    stack::Mark mark;
    stack::push(v);  // keeps the text alive while the bytes are made

    const Node tn = cell::node(v);
    const i32 length = static_cast<i32>(memory::buffer(tn)->length());
    const i32 from = std::clamp(cell::head_index(v), 0, length);
    const i32 count = length - from;
    const Node out = memory::alloc_bytes(static_cast<i32>(decoded_room(base, count)));
    SeriesBuffer* src = memory::buffer(tn);  // after the allocation, which may have moved it
    const u32 unit = src->unit();
    SeriesBuffer* dst = memory::buffer(out);
    const i64 bytes = decode_into(base, src->head_ptr() + static_cast<size_t>(from) * unit, count, unit,
                                  dst->head_ptr());
    if (bytes >= 0) {
        dst->tail = dst->head + static_cast<u32>(bytes);
        *result = cell::make(type::binary, 0, out, 0);
    }
    return result;
}

}  // namespace oru::binary
