// The deflate reader: stored, fixed and dynamic blocks.
//
// Bits come from a 64-bit buffer. While eight input bytes remain it is
// refilled with one unaligned load to at least 56 bits; the bits above the
// count are then the next unread byte's, which the following refill puts
// back in the same place, so they never need clearing. Near the end of the
// input it is refilled a byte at a time; missing input reads as zero bits,
// and consuming any of those bits is truncation.
//
// Huffman codes decode through tables indexed by the next bits (reversed,
// as they arrive): a root table of 2^10 entries for literals and lengths
// (2^8 for distances) and, behind a root entry, a sub-table for the codes
// longer than the root. An entry packs what the symbol means (a literal, a
// base length or distance with its extra-bit count, the end of the block, a
// sub-table) with the bits to consume; an entry of zero is invalid.
//
// A hot loop decodes while at least eight input bytes and 274 output bytes
// remain (a match writes up to 15 bytes past its end in 16-byte copies);
// everything else, near the ends, goes one symbol at a time with every
// check. Output beyond the destination is counted, not stored; a growable
// output (Io::grow) grows instead. Before growing past Io::measure_after
// the reader counts the rest of the stream on a copy of its state, so that a
// stream expanding past the largest binary is refused before that memory is
// taken, and the output then grows once, to its exact size.
#include "codecs/deflate.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace oru::deflate {
namespace {

// Entry layout: bits 0-3 the code length at this table level, bits 4-7 the
// kind, bits 8-11 the extra bits (for a sub-table: its index bits), bits
// 16-31 the value (literal, base, symbol, or the sub-table's offset).
constexpr u32 k_literal = 0x10, k_base = 0x20, k_sub = 0x40, k_end = 0x80;

constexpr u32 entry(u32 kind, u32 len, u32 extra, u32 value) { return value << 16 | extra << 8 | kind | len; }
inline u32 len_of(u32 e) { return e & 15; }
inline u32 extra_of(u32 e) { return (e >> 8) & 15; }
inline u32 value_of(u32 e) { return e >> 16; }

constexpr u32 lit_root = 10, dist_root = 8, clen_root = 7;
// Root table plus the worst case of sub-tables: a sub-table of 2^k entries
// holds at least k + 1 codes (a complete code under its prefix whose longest
// code is k bits longer than the root), so at most 288 / 6 tables of 32 for
// literals/lengths and 32 / 8 of 128 for distances.
constexpr u32 lit_size = (1u << lit_root) + 288 / 6 * 32;
constexpr u32 dist_size = (1u << dist_root) + 32 / 8 * 128;
constexpr u32 clen_size = 1u << clen_root;

constexpr u16 length_base[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                 31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr u8 length_extra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr u16 distance_base[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,    49,    65,    97,    129,
                                   193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr u8 distance_extra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr u8 clen_order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

enum class Alphabet { literal, distance, clen };

// What a symbol means, as an entry without its code length; 0 for symbols
// no stream may use (literal/length 286-287, distances 30-31).
inline u32 meaning(Alphabet a, u32 sym) {
    switch (a) {
    case Alphabet::literal:
        if (sym < 256) return entry(k_literal, 0, 0, sym);
        if (sym == 256) return entry(k_end, 0, 0, 0);
        if (sym < 286) return entry(k_base, 0, length_extra[sym - 257], length_base[sym - 257]);
        return 0;
    case Alphabet::distance:
        return sym < 30 ? entry(k_base, 0, distance_extra[sym], distance_base[sym]) : 0;
    case Alphabet::clen:
        return entry(k_literal, 0, 0, sym);
    }
    return 0;
}

inline u32 reverse_bits(u32 code, u32 len) {
    u32 r = 0;
    for (u32 i = 0; i < len; i++, code >>= 1) r = r << 1 | (code & 1);
    return r;
}

// Builds the decoding table of a canonical code from its lengths. False
// for a code no valid stream has: over-subscribed, or incomplete other
// than by the two allowed cases: a single code of one bit (literal/length
// and distance codes), or no code at all (distances of an all-literal
// block; the table is then all invalid entries).
bool build(u32* table, u32 size, u32 root, const u8* lens, u32 n, Alphabet a) {
    u32 count[16] = {};
    for (u32 s = 0; s < n; s++) count[lens[s]]++;
    count[0] = 0;
    i32 left = 1;
    u32 codes = 0;
    for (u32 l = 1; l <= 15; l++) {
        left = left * 2 - static_cast<i32>(count[l]);
        if (left < 0) return false;
        codes += count[l];
    }
    if (left > 0) {
        bool single = codes == 1 && count[1] == 1 && a != Alphabet::clen;
        bool none = codes == 0 && a == Alphabet::distance;
        if (!single && !none) return false;
    }
    std::memset(table, 0, sizeof(u32) << root);

    // Symbols sorted by code length, then by symbol: the canonical order.
    u32 offset[17] = {};
    for (u32 l = 1; l <= 15; l++) offset[l + 1] = offset[l] + count[l];
    u16 sorted[288];
    for (u32 s = 0; s < n; s++)
        if (lens[s]) sorted[offset[lens[s]]++] = static_cast<u16>(s);

    u32 remaining[16];
    std::memcpy(remaining, count, sizeof remaining);
    u32 code = 0;                 // the next code, most significant bit first
    u32 next_sub = 1u << root;    // where the next sub-table goes
    u32 sub_prefix = ~0u, sub_at = 0, sub_bits = 0;
    u32 k = 0;
    for (u32 l = 1; l <= 15; l++) {
        for (u32 c = 0; c < count[l]; c++, code++, k++) {
            u32 sym = sorted[k];
            u32 rev = reverse_bits(code, l);
            u32 e = meaning(a, sym);
            remaining[l]--;
            if (l <= root) {
                if (e) e |= l;
                for (u32 i = rev; i < (1u << root); i += 1u << l) table[i] = e;
                continue;
            }
            u32 prefix = rev & ((1u << root) - 1);
            if (prefix != sub_prefix) {
                // A new sub-table, just wide enough for the codes that share
                // this prefix: they follow in canonical order.
                sub_bits = l - root;
                i32 room = 1 << sub_bits;
                room -= static_cast<i32>(remaining[l] + 1);
                while (room > 0 && root + sub_bits < 15) {
                    sub_bits++;
                    room = room * 2 - static_cast<i32>(remaining[root + sub_bits]);
                }
                if (next_sub + (1u << sub_bits) > size) return false;   // cannot happen for a complete code
                sub_prefix = prefix;
                sub_at = next_sub;
                next_sub += 1u << sub_bits;
                std::memset(table + sub_at, 0, sizeof(u32) << sub_bits);
                table[prefix] = entry(k_sub, root, sub_bits, sub_at);
            }
            u32 sub_len = l - root;
            if (e) e |= sub_len;
            for (u32 i = rev >> root; i < (1u << sub_bits); i += 1u << sub_len) table[sub_at + i] = e;
        }
        code <<= 1;
    }
    return true;
}

struct FixedTables {
    u32 lit[lit_size];
    u32 dist[dist_size];
    FixedTables() {
        u8 lens[288];
        std::fill(lens, lens + 144, 8);
        std::fill(lens + 144, lens + 256, 9);
        std::fill(lens + 256, lens + 280, 7);
        std::fill(lens + 280, lens + 288, 8);
        build(lit, lit_size, lit_root, lens, 288, Alphabet::literal);
        std::fill(lens, lens + 32, 5);
        build(dist, dist_size, dist_root, lens, 32, Alphabet::distance);
    }
};

const FixedTables& fixed_tables() {
    static const FixedTables t;
    return t;
}

inline u64 load64(const u8* p) {
    u64 v;
    std::memcpy(&v, p, 8);
    return v;
}

inline u64 mask(u32 n) { return (u64{1} << n) - 1; }

// Copies a match of len bytes from dist back; may write up to 15 bytes past
// the end (the hot loop keeps that room).
inline void copy_match(u8* out, u32 dist, u32 len) {
    const u8* src = out - dist;
    u8* end = out + len;
    if (dist >= 16) {
        do {
            std::memcpy(out, src, 16);
            out += 16;
            src += 16;
        } while (out < end);
    } else if (dist >= 8) {
        do {
            std::memcpy(out, src, 8);
            out += 8;
            src += 8;
        } while (out < end);
    } else if (dist == 1) {
        std::memset(out, *src, len);
    } else {
        // Repeat the pattern until it is eight bytes away, then copy by eights.
        while (out < end && out - src < 8) *out++ = *src++;
        while (out < end) {
            std::memcpy(out, src, 8);
            out += 8;
            src += 8;
        }
    }
}

constexpr u64 hot_out_room = 258 + 16;

enum class Phase : u8 { header, stored, codes, done };

// The whole state of a run: copying it gives a reader that continues the
// same stream (used to count the rest of the output before growing).
struct Reader {
    Io* io;
    const u8* in;      // the input (fetched again after io->grow)
    u64 in_len;
    u64 in_pos;        // next unread input byte
    u64 bitbuf = 0;
    u32 bitcnt = 0;
    u8* out;           // the output, null when cap is 0
    u64 cap;           // bytes of out that may be stored
    u64 pos;           // output bytes so far, counted past cap
    u64 start;         // the stream's first output byte: distances stop there
    u64 limit;
    bool counting;     // out is full and cannot grow: count only
    bool measured = false;
    bool growable;
    Phase phase = Phase::header;
    bool last = false;
    u32 stored_left = 0;
    const u32* lit = nullptr;
    const u32* dist = nullptr;
    u32 lit_own[lit_size];
    u32 dist_own[dist_size];

    void refill() {
        while (bitcnt <= 56 && in_pos < in_len) {
            bitbuf |= u64{in[in_pos++]} << bitcnt;
            bitcnt += 8;
        }
    }
    // Refills and tells whether n bits are there.
    bool need(u32 n) {
        if (bitcnt < n) refill();
        return bitcnt >= n;
    }
    u32 take(u32 n) {
        u32 v = static_cast<u32>(bitbuf & mask(n));
        bitbuf >>= n;
        bitcnt -= n;
        return v;
    }

    // The entry for the next code (its length counted from the root in
    // `total`); zero-padded when the input ends.
    u32 lookup(const u32* table, u32 root, u32& total) const {
        u32 e = table[bitbuf & mask(root)];
        total = len_of(e);
        if (e & k_sub) {
            e = table[value_of(e) + ((bitbuf >> root) & mask(extra_of(e)))];
            total = root + len_of(e);
        }
        return e;
    }

    // Room for n more output bytes at pos, growing the output when it may.
    // False: the bytes are counted only (from here to the end of the run),
    // or a run of the rest of the stream found it invalid or too large
    // (*stop holds that status).
    bool room(u64 n, u64 stored_skip, int* stop) {
        if (pos + n <= cap) return true;
        if (counting) return false;
        if (!growable) {
            counting = true;
            return false;
        }
        u64 need = pos + n;
        u64 target = std::max({need, cap * 2, u64{1} << 16});
        if (target > io->measure_after && !measured) {
            measured = true;
            u64 total;
            int r = count_rest(n, stored_skip, total);
            if (r != ok && r != too_small) {
                *stop = r;
                return false;
            }
            if (total > limit) {
                pos = total;
                *stop = too_small;
                return false;
            }
            target = total;
        }
        if (target > limit) target = std::max(need, limit);
        if (need > limit || !io->grow(target)) {
            counting = true;
            return false;
        }
        in = io->input();
        out = io->out;
        cap = io->cap;
        return pos + n <= cap;
    }

    // Counts the output of the rest of the stream on a copy of this state:
    // n bytes about to be written, and stored_skip input bytes they come
    // from (in a stored block).
    int count_rest(u64 n, u64 stored_skip, u64& total) {
        auto copy = std::make_unique<Reader>(*this);
        copy->pos += n;
        copy->in_pos += stored_skip;
        copy->stored_left -= static_cast<u32>(stored_skip);
        copy->cap = 0;
        copy->out = nullptr;
        copy->counting = true;
        copy->growable = false;
        int r = copy->run();
        total = copy->pos;
        return r;
    }

    int header();
    int dynamic_tables();
    int stored();
    template <bool Store>
    int hot(bool& block_end);
    int slow_symbol(bool& block_end);
    int codes();
    int run();
};

int Reader::header() {
    if (!need(3)) return truncated;
    last = take(1);
    switch (take(2)) {
    case 0: {
        // Drop to the byte boundary and hand the buffered bytes back.
        take(bitcnt & 7);
        in_pos -= bitcnt >> 3;
        bitbuf = 0;
        bitcnt = 0;
        if (in_len - in_pos < 4) return truncated;
        u32 len = in[in_pos] | u32{in[in_pos + 1]} << 8;
        u32 nlen = in[in_pos + 2] | u32{in[in_pos + 3]} << 8;
        in_pos += 4;
        if ((len ^ nlen) != 0xFFFF) return malformed;
        stored_left = len;
        phase = Phase::stored;
        return ok;
    }
    case 1:
        lit = fixed_tables().lit;
        dist = fixed_tables().dist;
        phase = Phase::codes;
        return ok;
    case 2: {
        int r = dynamic_tables();
        if (r != ok) return r;
        lit = lit_own;
        dist = dist_own;
        phase = Phase::codes;
        return ok;
    }
    default:
        return bad_block_type;
    }
}

int Reader::dynamic_tables() {
    if (!need(14)) return truncated;
    u32 hlit = take(5) + 257, hdist = take(5) + 1, hclen = take(4) + 4;
    if (hlit > 286 || hdist > 30) return malformed;
    u8 clens[19] = {};
    for (u32 i = 0; i < hclen; i++) {
        if (!need(3)) return truncated;
        clens[clen_order[i]] = static_cast<u8>(take(3));
    }
    u32 clen_table[clen_size];
    if (!build(clen_table, clen_size, clen_root, clens, 19, Alphabet::clen)) return malformed;

    u8 lens[286 + 30];
    u32 total = hlit + hdist;
    for (u32 n = 0; n < total;) {
        refill();
        u32 e = clen_table[bitbuf & mask(clen_root)];
        if (len_of(e) > bitcnt) return truncated;
        take(len_of(e));
        u32 sym = value_of(e);
        if (sym < 16) {
            lens[n++] = static_cast<u8>(sym);
            continue;
        }
        u32 repeat;
        u8 value = 0;
        if (sym == 16) {
            if (n == 0) return malformed;
            if (!need(2)) return truncated;
            repeat = 3 + take(2);
            value = lens[n - 1];
        } else if (sym == 17) {
            if (!need(3)) return truncated;
            repeat = 3 + take(3);
        } else {
            if (!need(7)) return truncated;
            repeat = 11 + take(7);
        }
        if (n + repeat > total) return malformed;
        std::memset(lens + n, value, repeat);
        n += repeat;
    }
    if (lens[256] == 0) return malformed;
    if (!build(lit_own, lit_size, lit_root, lens, hlit, Alphabet::literal)) return malformed;
    if (!build(dist_own, dist_size, dist_root, lens + hlit, hdist, Alphabet::distance)) return malformed;
    return ok;
}

int Reader::stored() {
    while (stored_left > 0) {
        u64 avail = in_len - in_pos;
        if (avail == 0) return truncated;
        u64 n = std::min<u64>(stored_left, avail);
        int stop = ok;
        if (room(n, n, &stop)) {
            std::memcpy(out + pos, in + in_pos, n);
        } else {
            if (stop != ok) return stop;
            if (pos < cap) std::memcpy(out + pos, in + in_pos, cap - pos);
        }
        pos += n;
        in_pos += n;
        stored_left -= static_cast<u32>(n);
        if (pos > limit) return too_small;
    }
    phase = last ? Phase::done : Phase::header;
    return ok;
}

// The hot loop: decodes until the block ends or an edge is near. With Store
// false it only counts (the output is full).
template <bool Store>
int Reader::hot(bool& block_end) {
    if (in_len - in_pos < 8 || (Store && pos + hot_out_room > cap)) return ok;
    const u8* ip = in + in_pos;
    const u8* ip_stop = in + in_len - 8;
    u64 bb = bitbuf;
    u32 bc = bitcnt;
    u8* op = Store ? out + pos : nullptr;
    u8* op_stop = Store ? out + cap - hot_out_room : nullptr;
    const u8* op_start = Store ? out + start : nullptr;
    u64 count = pos;
    const u64 count_stop = limit;
    const u32* lt = lit;
    const u32* dt = dist;
    int status = ok;

    while (ip <= ip_stop && (Store ? op <= op_stop : count <= count_stop)) {
        bb |= load64(ip) << bc;
        ip += (63 - bc) >> 3;
        bc |= 56;

        u32 e = lt[bb & mask(lit_root)];
        if (e & k_sub) {
            bb >>= lit_root;
            bc -= lit_root;
            e = lt[value_of(e) + (bb & mask(extra_of(e)))];
        }
        bb >>= len_of(e);
        bc -= len_of(e);
        if (e & k_literal) {
            if constexpr (Store) *op++ = static_cast<u8>(value_of(e));
            else count++;
            // A second literal fits in the bits left (at least 41).
            u32 e2 = lt[bb & mask(lit_root)];
            if (e2 & k_literal) {
                bb >>= len_of(e2);
                bc -= len_of(e2);
                if constexpr (Store) *op++ = static_cast<u8>(value_of(e2));
                else count++;
            }
            continue;
        }
        if (e & k_base) {
            u32 len = value_of(e) + static_cast<u32>(bb & mask(extra_of(e)));
            bb >>= extra_of(e);
            bc -= extra_of(e);
            u32 d = dt[bb & mask(dist_root)];
            if (d & k_sub) {
                bb >>= dist_root;
                bc -= dist_root;
                d = dt[value_of(d) + (bb & mask(extra_of(d)))];
            }
            bb >>= len_of(d);
            bc -= len_of(d);
            if (!(d & k_base)) {
                status = malformed;
                break;
            }
            u32 distance = value_of(d) + static_cast<u32>(bb & mask(extra_of(d)));
            bb >>= extra_of(d);
            bc -= extra_of(d);
            if constexpr (Store) {
                if (distance > static_cast<u64>(op - op_start)) {
                    status = too_far;
                    break;
                }
                copy_match(op, distance, len);
                op += len;
            } else {
                if (distance > count - start) {
                    status = too_far;
                    break;
                }
                count += len;
            }
            continue;
        }
        if (e & k_end) {
            block_end = true;
            break;
        }
        status = malformed;
        break;
    }
    // Bits above the count are dropped: the slow path reads them again.
    in_pos = static_cast<u64>(ip - in);
    bitbuf = bb & mask(bc);
    bitcnt = bc;
    pos = Store ? static_cast<u64>(op - out) : count;
    return status;
}

// One symbol with every check (near the ends of input or output).
int Reader::slow_symbol(bool& block_end) {
    refill();
    u32 total;
    u32 e = lookup(lit, lit_root, total);
    if (!(e & (k_literal | k_base | k_end))) return malformed;
    if (total > bitcnt) return truncated;
    bitbuf >>= total;
    bitcnt -= total;
    int stop = ok;
    if (e & k_literal) {
        if (room(1, 0, &stop)) out[pos] = static_cast<u8>(value_of(e));
        else if (stop != ok) return stop;
        pos++;
        return pos > limit ? too_small : ok;
    }
    if (e & k_end) {
        block_end = true;
        return ok;
    }
    if (!need(extra_of(e))) return truncated;
    u32 len = value_of(e) + take(extra_of(e));
    refill();
    u32 d = lookup(dist, dist_root, total);
    if (!(d & k_base)) return malformed;
    if (total > bitcnt) return truncated;
    bitbuf >>= total;
    bitcnt -= total;
    if (!need(extra_of(d))) return truncated;
    u32 distance = value_of(d) + take(extra_of(d));
    if (distance > pos - start) return too_far;
    if (room(len, 0, &stop)) {
        u8* p = out + pos;
        const u8* from = p - distance;
        for (u32 i = 0; i < len; i++) p[i] = from[i];
    } else {
        if (stop != ok) return stop;
        for (u64 i = pos, end = pos + len; i < end && i < cap; i++) out[i] = out[i - distance];
    }
    pos += len;
    return pos > limit ? too_small : ok;
}

int Reader::codes() {
    for (;;) {
        if (pos > limit) return too_small;
        bool block_end = false;
        int r = counting ? hot<false>(block_end) : hot<true>(block_end);
        if (r != ok) return r;
        if (!block_end) {
            r = slow_symbol(block_end);
            if (r != ok) return r;
        }
        if (block_end) {
            phase = last ? Phase::done : Phase::header;
            return ok;
        }
    }
}

int Reader::run() {
    for (;;) {
        int r = ok;
        switch (phase) {
        case Phase::header: r = header(); break;
        case Phase::stored: r = stored(); break;
        case Phase::codes: r = codes(); break;
        case Phase::done: return pos > cap ? too_small : ok;
        }
        if (r != ok) return r;
    }
}

}  // namespace

int inflate(Io& io, u64 len, u64 from, u64 at, u64& produced, u64& end) {
    auto r = std::make_unique<Reader>();
    r->io = &io;
    r->in = io.input();
    r->in_len = len;
    r->in_pos = from;
    r->out = io.cap ? io.out : nullptr;
    r->cap = r->out ? io.cap : 0;
    r->pos = at;
    r->start = at;
    r->limit = io.limit;
    r->counting = r->pos > r->cap;
    r->growable = io.growable;
    int status = r->run();
    produced = r->pos - at;
    // The stream ends at the byte holding its last bit.
    end = r->in_pos - (r->bitcnt >> 3);
    return status;
}

int decompress(u8* dst, u64& size, const u8* src, u64 len) {
    BufferIo io(dst, size, src);
    u64 produced, end;
    int r = inflate(io, len, 0, 0, produced, end);
    size = produced;
    return r;
}

}  // namespace oru::deflate
