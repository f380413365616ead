// The LZ codec: the expander and the compressor. See lz.h for the stream.
//
// Length code (in reading order; the match copies L + 3 bytes):
//   1 vv: L = v           001 vv: L = v + 8         00001 vvvvv: L = v + 20
//   01 vv: L = v + 4      0001 vvv: L = v + 12      00000 (9 bits v): L = v + 52
// Distance code: 4 bits k; k = 0: 3 bits d; else j = k + 2 bits v and
// d = v + 2^j. The copy starts d + 1 bytes back.
#include "codecs/lz.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace oru::lz {

namespace {

constexpr u32 window = 0x40000;      // 262144 bytes back at most
constexpr i32 max_match = 566;
constexpr u32 head3_size = 0x80000;  // then 0x100000 heads of the 4-byte hash
constexpr u32 head4_size = 0x100000;
constexpr u32 chain_mask = 0x3FFFF;
constexpr i32 chain_walk = 256;

inline u32 read32(const u8* p) { return p[0] | u32{p[1]} << 8 | u32{p[2]} << 16 | u32{p[3]} << 24; }
inline void write32(u8* p, u32 v) {
    p[0] = static_cast<u8>(v);
    p[1] = static_cast<u8>(v >> 8);
    p[2] = static_cast<u8>(v >> 16);
    p[3] = static_cast<u8>(v >> 24);
}

// --- Expanding ----------------------------------------------------------------

// Bits of one chunk, low bits of each byte first. Whole bytes are loaded into
// a 64-bit accumulator; nothing is read at or past `end`.
struct BitReader {
    const u8* p;
    const u8* end;
    u64 acc = 0;
    u32 n = 0;  // bits in acc

    // True when k bits (k <= 32) are there to take.
    inline bool has(u32 k) {
        if (n >= k) return true;
        while (n <= 56 && p < end) {
            acc |= u64{*p++} << n;
            n += 8;
        }
        return n >= k;
    }
    inline u32 take(u32 k) {
        const u32 v = static_cast<u32>(acc & ((u64{1} << k) - 1));
        acc >>= k;
        n -= k;
        return v;
    }
    // Where the next chunk starts: the rest of the byte the last token
    // ended in is dropped, whole bytes loaded ahead are given back.
    const u8* next_byte() const { return p - n / 8; }
};

// The length field of a match: L (0 to 563), or -1 when the bits run out.
inline i32 read_length(BitReader& in) {
    static constexpr u8 widths[6] = {2, 2, 2, 3, 5, 9};
    static constexpr u16 bases[6] = {0, 4, 8, 12, 20, 52};
    u32 zeros = 0;
    for (; zeros < 5; zeros++) {
        if (!in.has(1)) return -1;
        if (in.take(1)) break;
    }
    if (!in.has(widths[zeros])) return -1;
    return static_cast<i32>(bases[zeros] + in.take(widths[zeros]));
}

// The distance field d (the copy starts d + 1 bytes back), or -1.
inline i32 read_distance(BitReader& in) {
    if (!in.has(4)) return -1;
    const u32 k = in.take(4);
    if (k == 0) return in.has(3) ? static_cast<i32>(in.take(3)) : -1;
    const u32 j = k + 2;
    if (!in.has(j)) return -1;
    return static_cast<i32>(in.take(j) + (1u << j));
}

// Decodes one chunk of `length` bytes into out; false when it is corrupt.
// Reading stops at in.end; in.p is left after the chunk's last byte.
bool expand_chunk(BitReader& in, u8* out, u32 length) {
    u8* const start = out;
    u8* const stop = out + length;
    while (out < stop) {
        if (!in.has(1)) return false;
        if (!in.take(1)) {
            if (!in.has(8)) return false;
            *out++ = static_cast<u8>(in.take(8));
            continue;
        }
        const i32 l = read_length(in);
        const i32 d = read_distance(in);
        if (l < 0 || d < 0) return false;
        const size_t back = static_cast<size_t>(d) + 1;
        const size_t count = static_cast<size_t>(l) + 3;
        if (back > static_cast<size_t>(out - start) || count > static_cast<size_t>(stop - out)) return false;
        const u8* from = out - back;
        if (back >= count) {
            std::memcpy(out, from, count);
            out += count;
        } else {
            for (size_t i = 0; i < count; i++) *out++ = from[i];  // repeats the pattern
        }
    }
    return true;
}

// --- Compressing ----------------------------------------------------------------

// Bits into the destination, checking for room before every byte.
struct BitWriter {
    u8* out;
    size_t capacity;
    size_t used;
    u64 acc = 0;
    u32 n = 0;
    bool full = false;

    void byte(u8 b) {
        if (used >= capacity) {
            full = true;
            return;
        }
        out[used++] = b;
    }
    void put(u32 value, u32 bits) {
        acc |= u64{value} << n;
        n += bits;
        while (n >= 8) {
            byte(static_cast<u8>(acc));
            acc >>= 8;
            n -= 8;
        }
    }
    // Seven zero bits, then the unfinished byte's rest is dropped: the next
    // chunk starts on a fresh byte.
    void end_chunk() {
        put(0, 7);
        acc = 0;
        n = 0;
    }
};

void put_length(BitWriter& w, u32 l) {
    if (l < 4) w.put(1, 1), w.put(l, 2);
    else if (l < 8) w.put(2, 2), w.put(l - 4, 2);
    else if (l < 12) w.put(4, 3), w.put(l - 8, 2);
    else if (l < 20) w.put(8, 4), w.put(l - 12, 3);
    else if (l < 52) w.put(16, 5), w.put(l - 20, 5);
    else w.put(0, 5), w.put(l - 52, 9);
}

void put_distance(BitWriter& w, u32 d) {
    if (d < 8) {
        w.put(0, 4);
        w.put(d, 3);
        return;
    }
    const u32 j = 31 - static_cast<u32>(__builtin_clz(d));  // 3 to 17
    w.put(j - 2, 4);
    w.put(d - (1u << j), j);
}

// The hash heads and the chain hold a position + 1 counted on a running
// total of all the input coded so far, 0 for none; an entry from before the
// chunk being coded counts as none, which is what emptying the tables at
// each chunk gives, without the cost of it. The tables (7 MiB) are made at
// the first call and kept: mapping them afresh on every call costs more than
// coding a small input. Nothing but tests and benchmarks compresses.
struct Tables {
    u32* head3;  // head3_size heads, then head4_size
    u32* head4;
    u32* chain;
};
u32* kept_tables = nullptr;
u32 running_total = 0;  // positions coded so far, the base of the next call

// The byte at i of a chunk of n bytes; 0 past its end, so the hashes of the
// last positions are defined without reading the next chunk.
inline u32 byte_at(const u8* b, u32 n, u32 i) { return i < n ? b[i] : 0; }
inline u32 hash3(const u8* b, u32 n, u32 i) {
    return ((byte_at(b, n, i) << 14) + (byte_at(b, n, i + 1) << 7) + byte_at(b, n, i + 2)) & 0x7FFFF;
}
inline u32 hash4(const u8* b, u32 n, u32 i) {
    return ((byte_at(b, n, i) << 15) + (byte_at(b, n, i + 1) << 10) + (byte_at(b, n, i + 2) << 5) +
            byte_at(b, n, i + 3)) &
           0xFFFFF;
}

inline i32 match_length(const u8* b, u32 candidate, u32 i, i32 longest) {
    i32 k = 0;
    while (k < longest && b[candidate + static_cast<u32>(k)] == b[i + static_cast<u32>(k)]) k++;
    return k;
}

// How far a farther match must outdo the best: the number of times its
// distance / 16 must be divided by 8 to be no larger than the best's.
inline i32 distance_penalty(u32 distance, u32 best_distance) {
    i32 k = 0;
    for (u32 q = distance / 16; q > best_distance; q /= 8) k++;
    return k;
}

// Codes the chunk of n bytes at b, which starts `base` bytes into the input.
void compress_chunk(BitWriter& w, const Tables& t, const u8* b, u32 n, u32 base) {
    // A table entry e names chunk position e - 1 - base when e > base.
    auto position = [base](u32 e, i64& at) {
        if (e <= base) return false;
        at = static_cast<i64>(e) - 1 - base;
        return true;
    };
    auto enter = [&](u32 i) {
        const u32 h4 = hash4(b, n, i);
        t.head3[hash3(b, n, i)] = base + i + 1;
        t.chain[(base + i) & chain_mask] = t.head4[h4];
        t.head4[h4] = base + i + 1;
    };
    for (u32 i = 0; i < n && !w.full;) {
        const i32 longest = static_cast<i32>(std::min<u32>(max_match, n - i));
        i32 best_length = 0;
        u32 best_distance = 0;
        if (longest >= 3) {
            i64 c3;
            if (position(t.head3[hash3(b, n, i)], c3) && i - c3 <= window) {
                const i32 len = match_length(b, static_cast<u32>(c3), i, longest);
                if (len >= 3) best_length = len, best_distance = static_cast<u32>(i - c3);
            }
            i64 c;
            bool more = best_length < longest && position(t.head4[hash4(b, n, i)], c);
            for (i32 walked = 0; more && walked < chain_walk; walked++) {
                if (i - c > window) break;
                const u32 cu = static_cast<u32>(c);
                const u32 at = static_cast<u32>(best_length);
                if (b[cu + at] == b[i + at] && b[cu] == b[i]) {
                    const i32 len = match_length(b, cu, i, longest);
                    const u32 distance = static_cast<u32>(i - c);
                    if (len > best_length + distance_penalty(distance, best_distance)) {
                        best_length = len;
                        best_distance = distance;
                    }
                    if (best_length >= longest) break;
                }
                more = position(t.chain[(base + cu) & chain_mask], c);
            }
        }
        u32 advance = 1;
        if (best_length < 3 || (best_length == 3 && best_distance > 65536)) {
            w.put(0, 1);
            w.put(b[i], 8);
        } else {
            w.put(1, 1);
            put_length(w, static_cast<u32>(best_length - 3));
            put_distance(w, best_distance - 1);
            advance = static_cast<u32>(best_length);
        }
        for (u32 k = 0; k < advance; k++) enter(i + k);
        i += advance;
    }
    w.end_chunk();
}

}  // namespace

void FreeBuffer::operator()(u8* p) const { std::free(p); }

Buffer decompress(const u8* stream, size_t length, u32* size, Status* status) {
    *size = 0;
    *status = Status::corrupt;
    if (length < header_size) return {};
    const u32 c = read32(stream);
    const u32 expanded = read32(stream + 4);
    if (c > length - header_size) return {};
    // A match of 566 bytes takes 22 bits at least: c bytes of chunks cannot
    // expand beyond c x 8 / 22 x 566 bytes, whatever the header claims.
    if (u64{expanded} * 22 > u64{c} * 8 * max_match) return {};
    Buffer out(static_cast<u8*>(std::malloc(size_t{expanded} + 8)));
    if (!out) {
        *status = Status::no_memory;
        return {};
    }
    const u8* p = stream + header_size;
    const u8* const end = p + c;
    u32 produced = 0;
    while (p < end) {
        if (end - p < 4) return {};
        const u32 chunk = read32(p);
        p += 4;
        if (chunk == 0 || chunk > chunk_size || chunk > expanded - produced) return {};
        BitReader in{p, end};
        if (!expand_chunk(in, out.get() + produced, chunk)) return {};
        p = in.next_byte();
        produced += chunk;
    }
    if (produced != expanded) return {};
    *size = expanded;
    *status = Status::ok;
    return out;
}

i64 compress(const u8* source, size_t length, u8* destination) {
    if (length < static_cast<size_t>(min_input) || length > 0xFFFFFFFFu) return -1;
    constexpr size_t table_words = size_t{head3_size} + head4_size + chain_mask + 1;
    if (!kept_tables) {
        kept_tables = static_cast<u32*>(std::calloc(table_words, sizeof(u32)));
        if (!kept_tables) return -1;
    }
    if (running_total > 0xFFFFFFFFu - length - 1) {  // the positions would wrap: start over
        std::memset(kept_tables, 0, table_words * sizeof(u32));
        running_total = 0;
    }
    const Tables t{kept_tables, kept_tables + head3_size, kept_tables + head3_size + head4_size};
    const u32 base = running_total;
    running_total += static_cast<u32>(length) + 1;
    BitWriter w{destination, length, header_size};
    for (size_t start = 0; start < length && !w.full; start += chunk_size) {
        const u32 n = static_cast<u32>(std::min<size_t>(chunk_size, length - start));
        u8 count[4];
        write32(count, n);
        for (u8 b : count) w.byte(b);
        compress_chunk(w, t, source + start, n, base + static_cast<u32>(start));
    }
    if (w.full) return -1;
    write32(destination, static_cast<u32>(w.used - header_size));
    write32(destination + 4, static_cast<u32>(length));
    return static_cast<i64>(w.used);
}

}  // namespace oru::lz
