// The deflate writer: one block with the fixed Huffman codes.
//
// Its output for an input is fixed byte for byte, so the steps below are
// exact, not heuristics to tune. Walking the input, each position hashes
// its next three bytes to one of 1024 buckets of four recent positions; the
// first slot holding an earlier position less than 32768 bytes back whose
// three bytes equal the current three gives a match, extended up to 258
// bytes; otherwise the byte is a literal. After each step (a literal or a
// whole match) the step's start goes into its bucket, in a slot picked by
// the three bytes where the next step begins. Position 0 is stored as 0,
// which reads as empty: the first three bytes of any input are literals
// anyway, as no match is looked for before three bytes precede a position.
//
// Bits go into a 64-bit accumulator and leave from its low end, 32 at a
// time. A byte is stored only while the output position is below the end,
// but the position always advances, so it ends at the size the stream needs.
#include "codecs/deflate.h"

#include <array>
#include <cstring>

namespace oru::deflate {
namespace {

constexpr u32 buckets = 1024;
constexpr u32 slots = 4;
constexpr u32 window = 32768;
constexpr u32 min_match = 3;
constexpr u32 max_match = 258;

// Length codes 257-285: base lengths and extra bits (RFC 1951 3.2.5).
constexpr u16 length_base[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                 31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr u8 length_extra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr u16 distance_base[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,    49,    65,    97,    129,
                                   193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr u8 distance_extra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

constexpr u32 reverse(u32 code, u32 len) {
    u32 r = 0;
    for (u32 i = 0; i < len; i++) r |= ((code >> i) & 1) << (len - 1 - i);
    return r;
}

// A code ready to write: its bits in the order they leave (Huffman codes
// reversed, extra bits behind them) and their count.
struct Bits {
    u32 bits;
    u32 count;
};

// The fixed literal/length code of a symbol (RFC 1951 3.2.6).
constexpr Bits fixed_code(u32 sym) {
    if (sym < 144) return {reverse(0x30 + sym, 8), 8};
    if (sym < 256) return {reverse(0x190 + sym - 144, 9), 9};
    if (sym < 280) return {reverse(sym - 256, 7), 7};
    return {reverse(0xC0 + sym - 280, 8), 8};
}

// A distance code: its bits with room for the extra value, and its base.
struct DistanceCode {
    Bits code;
    u32 base;
};

struct Codes {
    std::array<Bits, 256> literal{};
    std::array<Bits, max_match + 1> length{};      // by match length, extra bits included
    std::array<DistanceCode, 512> distance{};      // by distance: see distance_bits
    Bits end{};
};

constexpr Codes make_codes() {
    Codes c{};
    for (u32 s = 0; s < 256; s++) c.literal[s] = fixed_code(s);
    c.end = fixed_code(256);
    for (u32 code = 0; code < 29; code++) {
        Bits h = fixed_code(257 + code);
        u32 n = 1u << length_extra[code];
        for (u32 e = 0; e < n && length_base[code] + e <= max_match; e++)
            c.length[length_base[code] + e] = {h.bits | e << h.count, h.count + length_extra[code]};
    }
    // Entries 0-255 by distance - 1; 256-511 by (distance - 1) >> 7 for the
    // distances above 256, whose codes all hold at least 7 extra bits. The
    // extra value is filled in when writing.
    for (u32 code = 0; code < 30; code++) {
        DistanceCode dc{{reverse(code, 5), 5u + distance_extra[code]}, distance_base[code]};
        u32 first = distance_base[code], last = first + (1u << distance_extra[code]) - 1;
        for (u32 d = first; d <= last; d++) {
            if (d <= 256) c.distance[d - 1] = dc;
            else c.distance[256 + ((d - 1) >> 7)] = dc;
        }
    }
    return c;
}

constexpr Codes codes = make_codes();

// The distance code's bits, its extra value included.
inline Bits distance_bits(u32 d) {
    const DistanceCode& c = d <= 256 ? codes.distance[d - 1] : codes.distance[256 + ((d - 1) >> 7)];
    return {c.code.bits | (d - c.base) << 5, c.code.count};
}


inline u64 load64(const u8* p) {
    u64 v;
    std::memcpy(&v, p, 8);
    return v;
}

inline u32 three_bytes(const u8* p) { return u32{p[0]} << 16 | u32{p[1]} << 8 | p[2]; }

inline u32 bucket_of(u32 v) {
    u32 x = v ^ (v >> 16);
    x *= 0x7FEB352Du;
    x ^= x >> 15;
    x *= 0x846CA68Bu;
    x ^= x >> 16;
    return x & (buckets - 1);
}

inline u32 slot_of(u32 v) { return ((v >> 14) - v) & (slots - 1); }

struct BitWriter {
    u8* out;
    u64 cap;
    u64 pos = 0;
    u64 acc = 0;
    u32 count = 0;   // bits in acc, below 32 between calls

    // n <= 32 bits; the accumulator then holds below 64.
    void put(u32 bits, u32 n) {
        acc |= u64{bits} << count;
        count += n;
        if (count >= 32) {
            if (pos + 8 <= cap) {
                std::memcpy(out + pos, &acc, 8);   // the upper four bytes are rewritten later
            } else {
                for (u32 k = 0; k < 4; k++)
                    if (pos + k < cap) out[pos + k] = static_cast<u8>(acc >> (8 * k));
            }
            pos += 4;
            acc >>= 32;
            count -= 32;
        }
    }

    // Pads with zero bits to a byte boundary and writes what is left.
    void finish() {
        while (count > 0) {
            if (pos < cap) out[pos] = static_cast<u8>(acc);
            pos++;
            acc >>= 8;
            count = count > 8 ? count - 8 : 0;
        }
    }
};

// Bytes p[0..) and q[0..) agree for the result, up to max.
inline u32 match_length(const u8* p, const u8* q, u32 max) {
    u32 n = 0;
    while (n + 8 <= max) {
        u64 x = load64(p + n) ^ load64(q + n);
        if (x) return n + static_cast<u32>(__builtin_ctzll(x) >> 3);
        n += 8;
    }
    while (n < max && p[n] == q[n]) n++;
    return n;
}

}  // namespace

int compress(u8* dst, u64& size, const u8* src, u64 len) {
    BitWriter w{dst, dst ? size : 0};
    w.put(0b011, 3);   // BFINAL 1, BTYPE 01 (fixed codes)

    // Positions are kept in 32 bits. Past 4 GiB (twice the largest
    // binary) stored positions no longer pass the window test, so only
    // literals follow: the stream stays valid.
    u32 table[buckets * slots];
    std::memset(table, 0, sizeof table);

    u64 i = 0;
    // Where fewer than three bytes remain at a position, no bucket is taken
    // and nothing is stored: no later position can look for a match (a match
    // needs three bytes), so storing could not change the output. For the
    // same reason a step whose next position has fewer than three bytes left
    // stores nothing.
    while (i + min_match <= len) {
        const u8* at = src + i;
        u32 v = three_bytes(at);
        u32* bucket = table + bucket_of(v) * slots;
        u64 next = i + 1;
        bool matched = false;
        if (i >= min_match) {
            for (u32 s = 0; s < slots; s++) {
                u64 p = bucket[s];
                if (p == 0 || p >= i || i - p >= window) continue;
                if (three_bytes(src + p) != v) continue;
                u64 room = len - i;
                u32 max = room < max_match ? static_cast<u32>(room) : max_match;
                u32 n = min_match + match_length(src + p + min_match, at + min_match, max - min_match);
                const Bits& lb = codes.length[n];
                w.put(lb.bits, lb.count);
                Bits db = distance_bits(static_cast<u32>(i - p));
                w.put(db.bits, db.count);
                next = i + n;
                matched = true;
                break;
            }
        }
        if (!matched) {
            const Bits& b = codes.literal[*at];
            w.put(b.bits, b.count);
        }
        if (next + min_match <= len) bucket[slot_of(three_bytes(src + next))] = static_cast<u32>(i);
        i = next;
    }
    for (; i < len; i++) w.put(codes.literal[src[i]].bits, codes.literal[src[i]].count);
    w.put(codes.end.bits, codes.end.count);
    w.finish();

    u64 cap = dst ? size : 0;
    size = w.pos;
    return w.pos <= cap ? ok : too_small;
}

}  // namespace oru::deflate
