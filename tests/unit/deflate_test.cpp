// Deflate, zlib and gzip: the writer's exact bytes, the writer against a
// plain transcription of its steps, both directions against zlib (the
// library, as an oracle), and every reader status from a small crafted
// stream.
#include "codecs/deflate.h"
#include "codecs/zlib_gzip.h"
#include "interpreter/checksum.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

using namespace oru;

namespace {

using Bytes = std::vector<u8>;

Bytes of(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes hex(const char* h) {
    Bytes out;
    for (const char* p = h; *p;) {
        if (*p == ' ') {
            p++;
            continue;
        }
        out.push_back(static_cast<u8>(std::stoi(std::string(p, 2), nullptr, 16)));
        p += 2;
    }
    return out;
}

std::string hex_of(const Bytes& b) {
    std::string s;
    char buf[4];
    for (u8 x : b) {
        std::snprintf(buf, sizeof buf, "%s%02X", s.empty() ? "" : " ", x);
        s += buf;
    }
    return s;
}

Bytes cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

using Writer = int (*)(u8*, u64&, const u8*, u64);
using Reader = int (*)(u8*, u64&, const u8*, u64);

Bytes write(Writer w, const Bytes& in) {
    u64 size = 0;
    EXPECT_EQ(w(nullptr, size, in.data(), in.size()), deflate::too_small);   // never empty
    Bytes out(size);
    u64 n = size;
    EXPECT_EQ(w(out.data(), n, in.data(), in.size()), deflate::ok);
    EXPECT_EQ(n, size);
    return out;
}

struct Read {
    int status;
    Bytes out;
};

// Measures, then reads into a destination of exactly the measured size.
Read read(Reader r, const Bytes& in) {
    u64 size = 0;
    int st = r(nullptr, size, in.data(), in.size());
    if (st != deflate::too_small) return {st, {}};
    Bytes out(size);
    st = r(out.data(), size, in.data(), in.size());
    out.resize(size);
    return {st, out};
}

// --- Test data ---------------------------------------------------------------

Bytes random_bytes(size_t n, u32 seed) {
    std::mt19937 g(seed);
    Bytes b(n);
    for (auto& x : b) x = static_cast<u8>(g());
    return b;
}

Bytes text(size_t n, u32 seed) {
    static const char* words[] = {"the ", "deflate ", "stream ", "of ", "a ", "block\n", "value ", "int x = 0;\n",
                                  "return ", "window ", "match ", "literal "};
    std::mt19937 g(seed);
    Bytes b;
    while (b.size() < n) {
        const char* w = words[g() % 12];
        b.insert(b.end(), w, w + std::strlen(w));
    }
    b.resize(n);
    return b;
}

// Runs of varying bytes and lengths, and short repeated patterns.
Bytes runs(size_t n, u32 seed) {
    std::mt19937 g(seed);
    Bytes b;
    while (b.size() < n) {
        u32 len = g() % 700 + 1, period = g() % 5 + 1;
        u8 pat[5];
        for (auto& p : pat) p = static_cast<u8>(g() % 4);
        for (u32 i = 0; i < len; i++) b.push_back(pat[i % period]);
    }
    b.resize(n);
    return b;
}

// --- A plain transcription of the writer's steps ----------------------------

struct BitOut {
    Bytes bytes;
    u64 n = 0;
    void put(u32 v, u32 count) {
        for (u32 i = 0; i < count; i++, n++) {
            if (n % 8 == 0) bytes.push_back(0);
            bytes.back() |= static_cast<u8>(((v >> i) & 1) << (n % 8));
        }
    }
    void code(u32 c, u32 len) {   // Huffman codes go most significant bit first
        for (u32 i = len; i-- > 0;) put((c >> i) & 1, 1);
    }
    void zeros(u64 count) {
        n += count;
        bytes.resize((n + 7) / 8, 0);
    }
};

void fixed_symbol(BitOut& o, u32 s) {
    if (s < 144) o.code(0x30 + s, 8);
    else if (s < 256) o.code(0x190 + s - 144, 9);
    else if (s < 280) o.code(s - 256, 7);
    else o.code(0xC0 + s - 280, 8);
}

const u32 len_base[29] = {3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 15, 17, 19, 23, 27, 31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
const u32 len_extra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
const u32 dist_base[30] = {1, 2, 3, 4, 5, 7, 9, 13, 17, 25, 33, 49, 65, 97, 129, 193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
const u32 dist_extra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

void fixed_match(BitOut& o, u32 len, u32 dist) {
    u32 c = 28;
    if (len < 258)
        for (c = 0; c + 1 < 28 && len_base[c + 1] <= len; c++) {}
    fixed_symbol(o, 257 + c);
    o.put(len - len_base[c], len_extra[c]);
    u32 d = 0;
    while (d + 1 < 30 && dist_base[d + 1] <= dist) d++;
    o.code(d, 5);
    o.put(dist - dist_base[d], dist_extra[d]);
}

Bytes plain_deflate(const Bytes& in) {
    BitOut o;
    o.put(1, 1);
    o.put(1, 2);
    std::vector<u32> table(1024 * 4, 0);
    size_t n = in.size(), i = 0;
    auto v_at = [&](size_t p) { return u32{in[p]} << 16 | u32{in[p + 1]} << 8 | in[p + 2]; };
    while (i < n) {
        size_t next = i + 1;
        if (i + 3 > n) {   // the last two positions: literals, nothing stored
            fixed_symbol(o, in[i]);
            i = next;
            continue;
        }
        u32 v = v_at(i);
        u32 x = v ^ (v >> 16);
        x *= 0x7FEB352Du;
        x ^= x >> 15;
        x *= 0x846CA68Bu;
        x ^= x >> 16;
        u32 bucket = x & 0x3FF;
        bool matched = false;
        if (i >= 3) {
            for (u32 s = 0; s < 4 && !matched; s++) {
                size_t p = table[bucket * 4 + s];
                if (p == 0 || p >= i || i - p >= 32768) continue;
                if (in[p] != in[i] || in[p + 1] != in[i + 1] || in[p + 2] != in[i + 2]) continue;
                size_t len = 3;
                while (len < 258 && i + len < n && in[p + len] == in[i + len]) len++;
                fixed_match(o, static_cast<u32>(len), static_cast<u32>(i - p));
                next = i + len;
                matched = true;
            }
        }
        if (!matched) fixed_symbol(o, in[i]);
        if (next + 3 <= n) {
            u32 w = v_at(next);
            table[bucket * 4 + (((w >> 14) - w) & 3)] = static_cast<u32>(i);
        }
        i = next;
    }
    fixed_symbol(o, 256);
    return o.bytes;
}

// --- The writer --------------------------------------------------------------

TEST(Deflate, ExactBytesOfShortInputs) {
    struct Case { const char* name; Writer w; Bytes in; const char* out; };
    const Bytes a10(10, 'a'), a600(600, 'a');
    const Case cases[] = {
        {"deflate empty", deflate::compress, {}, "03 00"},
        {"deflate a", deflate::compress, of("a"), "4B 04 00"},
        // Three literals, then a match of 7 at distance 1.
        {"deflate a x 10", deflate::compress, a10, "4B 4C 4C 84 02 00"},
        // Three literals, 258 at distance 1, then 258 and 81 at distance 258:
        // the slot keeps the start of the previous step.
        {"deflate a x 600", deflate::compress, a600, "4B 4C 4C 1C 05 A3 21 40 F5 10 00 00"},
        {"zlib empty", zlib::compress, {}, "78 01 03 00 00 00 00 01"},
        {"zlib a", zlib::compress, of("a"), "78 01 4B 04 00 00 62 00 62"},
        {"gzip empty", gzip::compress, {}, "1F 8B 08 00 00 00 00 00 04 04 03 00 00 00 00 00 00 00 00 00"},
        {"gzip a", gzip::compress, of("a"), "1F 8B 08 00 00 00 00 00 04 04 4B 04 00 43 BE B7 E8 01 00 00 00"},
    };
    for (const Case& c : cases) EXPECT_EQ(hex_of(write(c.w, c.in)), c.out) << c.name;
}

// Too small a destination: the bytes that fit are the stream's first, the
// size reported is the whole; nothing is written past the capacity.
TEST(Deflate, SmallDestinationReportsTheSizeNeeded) {
    Bytes in = text(5000, 1);
    Bytes whole = write(deflate::compress, in);
    for (u64 cap : {u64{0}, u64{1}, u64{7}, u64{8}, whole.size() / 2, whole.size() - 1}) {
        Bytes out(cap + 16, 0xEE);
        u64 size = cap;
        EXPECT_EQ(deflate::compress(out.data(), size, in.data(), in.size()), deflate::too_small);
        EXPECT_EQ(size, whole.size());
        EXPECT_TRUE(std::equal(out.begin(), out.begin() + static_cast<long>(cap), whole.begin())) << cap;
        EXPECT_TRUE(std::all_of(out.begin() + static_cast<long>(cap), out.end(), [](u8 b) { return b == 0xEE; })) << cap;
    }
    for (Writer w : {zlib::compress, gzip::compress}) {
        u64 size = 5;
        Bytes out(5);
        EXPECT_EQ(w(out.data(), size, in.data(), in.size()), deflate::too_small);
        EXPECT_EQ(size, write(w, in).size());
    }
}

TEST(Deflate, WriterMatchesThePlainTranscription) {
    std::vector<std::pair<std::string, Bytes>> inputs;
    for (size_t n : {0, 1, 2, 3, 4, 5, 257, 258, 259, 260, 261, 262, 32767, 32768, 32769, 32770, 65535, 65536, 65537})
        inputs.push_back({"random " + std::to_string(n), random_bytes(n, static_cast<u32>(n))});
    for (size_t n : {3, 4, 258, 261, 262, 263, 519, 32768, 65536, 70000}) {
        inputs.push_back({"run " + std::to_string(n), Bytes(n, 'z')});
        inputs.push_back({"runs " + std::to_string(n), runs(n, static_cast<u32>(n))});
        inputs.push_back({"text " + std::to_string(n), text(n, static_cast<u32>(n))});
    }
    // Text with long stretches copied from far back, across the window's edge.
    Bytes far = text(40000, 7);
    far.insert(far.end(), far.begin() + 7000, far.begin() + 20000);
    inputs.push_back({"far", far});
    for (auto& [name, in] : inputs) {
        Bytes ours = write(deflate::compress, in);
        EXPECT_EQ(ours, plain_deflate(in)) << name;
        // And the stream is valid deflate with the input as its data.
        Read r = read(deflate::decompress, ours);
        EXPECT_EQ(r.status, deflate::ok) << name;
        EXPECT_TRUE(r.out == in) << name;
    }
}

// --- zlib as the oracle ------------------------------------------------------

// zlib's stream of the data with the given format (window bits -15 raw, 15
// zlib, 31 gzip), level and strategy; with `flushes`, a sync and a full
// flush in the middle (empty stored blocks, blocks ending mid-stream).
Bytes zlib_stream(const Bytes& in, int bits, int level, int strategy, bool flushes) {
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, bits, 8, strategy), Z_OK);
    Bytes out(deflateBound(&z, in.size()) + 64);
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    size_t third = in.size() / 3;
    auto feed = [&](size_t from, size_t to, int flush) {
        z.next_in = const_cast<u8*>(in.data() + from);
        z.avail_in = static_cast<uInt>(to - from);
        EXPECT_NE(::deflate(&z, flush), Z_STREAM_ERROR);
    };
    if (flushes) {
        feed(0, third, Z_SYNC_FLUSH);
        feed(third, 2 * third, Z_FULL_FLUSH);
    } else {
        third = 0;
    }
    feed(flushes ? 2 * third : 0, in.size(), Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// zlib's reading of a stream; the status is Z_STREAM_END when it decoded a
// whole stream, whose end must be the end of the input.
struct ZlibRead {
    int status;
    Bytes out;
    bool all_input;
};
ZlibRead zlib_read(const Bytes& in, int bits, size_t expect) {
    z_stream z{};
    EXPECT_EQ(inflateInit2(&z, bits), Z_OK);
    Bytes out(expect + 1);
    z.next_in = const_cast<u8*>(in.data());
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    int st = inflate(&z, Z_FINISH);
    out.resize(z.total_out);
    bool all = z.avail_in == 0;
    inflateEnd(&z);
    return {st, out, all};
}

TEST(Deflate, ReadsZlibStreamsOfEveryLevelAndStrategy) {
    const Bytes empty;
    const Bytes mixed = cat(cat(text(15000, 3), random_bytes(3000, 4)), cat(runs(15000, 5), text(7000, 6)));
    struct Format { const char* name; int bits; Reader r; };
    const Format formats[] = {{"raw", -15, deflate::decompress}, {"zlib", 15, zlib::decompress}, {"gzip", 31, gzip::decompress}};
    const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};
    for (const Format& f : formats)
        for (int level = 0; level <= 9; level++)
            for (int strategy : strategies)
                for (bool flushes : {false, true})
                    for (const Bytes* in : {&mixed, &empty}) {
                        Bytes z = zlib_stream(*in, f.bits, level, strategy, flushes);
                        Read r = read(f.r, z);
                        EXPECT_EQ(r.status, deflate::ok) << f.name << " level " << level << " strategy " << strategy;
                        EXPECT_TRUE(r.out == *in) << f.name << " level " << level << " strategy " << strategy;
                    }
}

TEST(Deflate, ZlibReadsOurStreams) {
    for (const Bytes& in : {Bytes{}, of("a"), text(100000, 8), runs(100000, 9), random_bytes(20000, 10)}) {
        ZlibRead raw = zlib_read(write(deflate::compress, in), -15, in.size());
        ZlibRead zl = zlib_read(write(zlib::compress, in), 15, in.size());
        ZlibRead gz = zlib_read(write(gzip::compress, in), 31, in.size());
        for (const ZlibRead* r : {&raw, &zl, &gz}) {
            EXPECT_EQ(r->status, Z_STREAM_END);
            EXPECT_TRUE(r->out == in);
            EXPECT_TRUE(r->all_input);
        }
    }
}

// --- Reader statuses from crafted streams ------------------------------------

// Canonical codes (most significant bit first) of a code's lengths.
std::vector<u32> canonical(const std::vector<u8>& lens) {
    u32 count[16] = {}, next[16] = {};
    for (u8 l : lens) count[l]++;
    count[0] = 0;
    for (u32 l = 1, code = 0; l < 16; l++) {
        code = (code + count[l - 1]) << 1;
        next[l] = code;
    }
    std::vector<u32> codes(lens.size());
    for (size_t s = 0; s < lens.size(); s++)
        if (lens[s]) codes[s] = next[lens[s]]++;
    return codes;
}

// The code-length code every crafted header uses: 4 bits for 0-12, 5 for
// 13-18 (complete), all 19 lengths sent.
const u8 clen_order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
std::vector<u8> clen_lens() {
    std::vector<u8> l(19, 4);
    for (int s = 13; s < 19; s++) l[s] = 5;
    return l;
}

// A dynamic block header with raw HLIT/HDIST counts and code-length symbols
// (symbol, extra value).
void dynamic_header(BitOut& o, bool final, u32 hlit, u32 hdist, const std::vector<std::pair<u32, u32>>& syms) {
    o.put(final, 1);
    o.put(2, 2);
    o.put(hlit - 257, 5);
    o.put(hdist - 1, 5);
    o.put(19 - 4, 4);
    std::vector<u8> cl = clen_lens();
    for (u8 s : clen_order) o.put(cl[s], 3);
    std::vector<u32> codes = canonical(cl);
    for (auto [s, extra] : syms) {
        o.code(codes[s], cl[s]);
        if (s == 16) o.put(extra, 2);
        if (s == 17) o.put(extra, 3);
        if (s == 18) o.put(extra, 7);
    }
}

// A dynamic header sending the literal/length and distance lengths as they are.
void dynamic_header(BitOut& o, bool final, const std::vector<u8>& lit, const std::vector<u8>& dist) {
    std::vector<std::pair<u32, u32>> syms;
    for (u8 l : lit) syms.push_back({l, 0});
    for (u8 l : dist) syms.push_back({l, 0});
    dynamic_header(o, final, static_cast<u32>(lit.size()), static_cast<u32>(dist.size()), syms);
}

// Literal/length lengths: 'a' and 256 two bits, 285 (length 258) one bit.
std::vector<u8> lit_a_end_258() {
    std::vector<u8> l(286, 0);
    l['a'] = 2;
    l[256] = 2;
    l[285] = 1;
    return l;
}

Bytes fixed_tokens(const std::vector<std::pair<u32, u32>>& tokens) {   // (literal) or (length, distance)
    BitOut o;
    o.put(1, 1);
    o.put(1, 2);
    for (auto [a, b] : tokens) {
        if (b == 0) fixed_symbol(o, a);
        else fixed_match(o, a, b);
    }
    fixed_symbol(o, 256);
    return o.bytes;
}

TEST(Deflate, ReaderStatuses) {
    struct Case { const char* name; Bytes in; int status; const char* out; };
    std::vector<Case> cases;
    auto add = [&](const char* name, Bytes in, int status, const char* out = "") {
        cases.push_back({name, std::move(in), status, out});
    };
    add("stored", hex("01 03 00 FC FF 61 62 63"), deflate::ok, "61 62 63");
    add("stored, then fixed", cat(hex("00 02 00 FD FF 78 79"), hex("4B 04 00")), deflate::ok, "78 79 61");
    add("a run", hex("4B 4C 4C 84 02 00"), deflate::ok, "61 61 61 61 61 61 61 61 61 61");
    add("stored past the input", hex("01 05 00 FA FF 61 62"), deflate::truncated);
    add("stored header cut", hex("01 05 00"), deflate::truncated);
    add("cut inside a block", hex("4B 4C 4C"), deflate::truncated);
    add("no final block", hex("00 00 00 FF FF"), deflate::truncated);
    add("empty input", {}, deflate::truncated);
    add("block type 3", hex("07"), deflate::bad_block_type);
    add("distance before the start", fixed_tokens({{'a', 0}, {3, 2}}), deflate::too_far);
    add("NLEN not the complement", hex("01 01 00 00 00 61"), deflate::malformed);
    add("fixed literal code 286", [] {
        BitOut o;
        o.put(1, 1);
        o.put(1, 2);
        fixed_symbol(o, 286);
        return o.bytes;
    }(), deflate::malformed);
    add("fixed distance code 30", [] {
        BitOut o;
        o.put(1, 1);
        o.put(1, 2);
        fixed_symbol(o, 'a');
        fixed_symbol(o, 257);
        o.code(30, 5);
        return o.bytes;
    }(), deflate::malformed);

    // Dynamic headers.
    auto dyn = [](u32 hlit, u32 hdist, std::vector<std::pair<u32, u32>> syms) {
        BitOut o;
        dynamic_header(o, true, hlit, hdist, syms);
        o.put(0, 16);
        return o.bytes;
    };
    add("HLIT 287", dyn(287, 1, {}), deflate::malformed);
    add("HDIST 31", dyn(257, 31, {}), deflate::malformed);
    add("repeat with no previous length", dyn(257, 1, {{16, 0}}), deflate::malformed);
    add("repeat past the lengths", dyn(257, 1, {{18, 127}, {18, 127}, {2, 0}}), deflate::malformed);
    auto block = [](std::vector<u8> lit, std::vector<u8> dist, auto body) {
        BitOut o;
        dynamic_header(o, true, lit, dist);
        std::vector<u32> lc = canonical(lit), dc = canonical(dist);
        body(o, lc, lit, dc, dist);
        o.put(0, 16);
        return o.bytes;
    };
    auto just_end = [](BitOut& o, auto& lc, auto& ll, auto&, auto&) { o.code(lc[256], ll[256]); };
    std::vector<u8> over = lit_a_end_258();
    over['b'] = 1;
    add("over-subscribed", block(over, {1}, just_end), deflate::malformed);
    std::vector<u8> incomplete = lit_a_end_258();
    incomplete[285] = 0;
    add("incomplete", block(incomplete, {1}, just_end), deflate::malformed);
    std::vector<u8> no_end = lit_a_end_258();
    no_end[256] = 0;
    no_end['b'] = 2;
    add("no code for 256", block(no_end, {1}, [](BitOut& o, auto& lc, auto& ll, auto&, auto&) {
        o.code(lc['a'], ll['a']);
    }), deflate::malformed);
    // The allowed incomplete codes: a single one-bit distance code, and none.
    add("single distance code", block(lit_a_end_258(), {1}, [](BitOut& o, auto& lc, auto& ll, auto& dc, auto& dl) {
        o.code(lc['a'], ll['a']);
        o.code(lc[285], ll[285]);
        o.code(dc[0], dl[0]);
        o.code(lc[256], ll[256]);
    }), deflate::ok, nullptr);
    add("the unused half of a single code", block(lit_a_end_258(), {1}, [](BitOut& o, auto& lc, auto& ll, auto&, auto&) {
        o.code(lc['a'], ll['a']);
        o.code(lc[285], ll[285]);
        o.code(1, 1);
    }), deflate::malformed);
    add("no distance codes", block(lit_a_end_258(), {0}, [](BitOut& o, auto& lc, auto& ll, auto&, auto&) {
        o.code(lc['a'], ll['a']);
        o.code(lc[256], ll[256]);
    }), deflate::ok, "61");
    add("a length with no distance codes", block(lit_a_end_258(), {0}, [](BitOut& o, auto& lc, auto& ll, auto&, auto&) {
        o.code(lc['a'], ll['a']);
        o.code(lc[285], ll[285]);
    }), deflate::malformed);

    for (const Case& c : cases) {
        Read r = read(deflate::decompress, c.in);
        EXPECT_EQ(r.status, c.status) << c.name;
        if (c.out == nullptr) {
            EXPECT_EQ(r.out, cat(Bytes{'a'}, Bytes(258, 'a'))) << c.name;
        } else if (*c.out) {
            EXPECT_EQ(hex_of(r.out), c.out) << c.name;
        }
        // zlib agrees on which streams are valid.
        ZlibRead z = zlib_read(c.in, -15, 1000);
        EXPECT_EQ(z.status == Z_STREAM_END, c.status == deflate::ok) << c.name;
    }
}

// A destination too small, or none: what fits is stored, the rest counted;
// the size is the whole, and nothing lands past the capacity.
TEST(Deflate, ReaderCountsPastTheDestination) {
    Bytes data = cat(text(3000, 11), runs(3000, 12));
    const std::pair<Writer, Reader> methods[] = {{deflate::compress, deflate::decompress},
                                                 {zlib::compress, zlib::decompress},
                                                 {gzip::compress, gzip::decompress}};
    for (auto [w, rd] : methods) {
        Bytes stream = write(w, data);
        for (u64 cap : {u64{0}, u64{1}, u64{300}, data.size() - 1, data.size()}) {
            Bytes out(cap + 300, 0xEE);
            u64 size = cap;
            int st = rd(cap ? out.data() : nullptr, size, stream.data(), stream.size());
            EXPECT_EQ(st, cap == data.size() ? deflate::ok : deflate::too_small) << cap;
            EXPECT_EQ(size, data.size());
            EXPECT_TRUE(std::equal(out.begin(), out.begin() + static_cast<long>(cap), data.begin())) << cap;
            EXPECT_TRUE(std::all_of(out.begin() + static_cast<long>(cap), out.end(), [](u8 b) { return b == 0xEE; }));
        }
    }
}

// An output that grows, the input moving to a fresh copy (the old one
// scribbled over) at every growth; it records the sizes asked for.
struct GrowingIo final : deflate::Io {
    Bytes data, copy, buf;
    std::vector<u64> grows;
    explicit GrowingIo(const Bytes& d, u64 first) : data(d), copy(d), buf(first) {
        growable = true;
        out = buf.data();
        cap = first;
    }
    const u8* input() override { return copy.data(); }
    bool grow(u64 need) override {
        grows.push_back(need);
        std::fill(copy.begin(), copy.end(), 0xA5);
        copy = data;
        buf.resize(need);
        out = buf.data();
        cap = need;
        return true;
    }
};

// Growing doubles until the next size would pass measure_after; then the
// rest is counted first and the output grows once, to its exact size, or
// not at all when the rest of the stream is bad.
TEST(Deflate, GrowingOutputCountsTheRestBeforeGrowingLarge) {
    Bytes data = cat(text(200000, 14), runs(100000, 15));
    Bytes stream = write(deflate::compress, data);
    GrowingIo io(stream, 1000);
    io.measure_after = 200000;
    u64 produced, end;
    EXPECT_EQ(deflate::inflate(io, stream.size(), 0, 0, produced, end), deflate::ok);
    EXPECT_EQ(produced, data.size());
    EXPECT_EQ(end, stream.size());
    EXPECT_TRUE(Bytes(io.buf.begin(), io.buf.begin() + static_cast<long>(produced)) == data);
    EXPECT_EQ(io.grows, (std::vector<u64>{65536, 131072, data.size()}));

    // A stream cut short past the threshold: the count finds it, and the
    // output does not grow for it.
    Bytes cut(stream.begin(), stream.end() - 2);
    GrowingIo g(cut, 1000);
    g.measure_after = 200000;
    EXPECT_EQ(deflate::inflate(g, cut.size(), 0, 0, produced, end), deflate::truncated);
    EXPECT_EQ(g.grows, (std::vector<u64>{65536, 131072}));
}

// 2 KB of stream that would expand past the largest binary: counting stops
// there, with a size above the largest binary and nothing stored.
TEST(Deflate, ReaderStopsCountingPastTheLargestBinary) {
    BitOut o;
    std::vector<u8> lit = lit_a_end_258();
    dynamic_header(o, true, lit, {1});
    std::vector<u32> lc = canonical(lit);
    o.code(lc['a'], 2);
    // Code 285 (one bit 0) then distance 1 (one bit 0), over and over.
    ASSERT_EQ(lc[285], 0u);
    o.zeros(2 * (deflate::max_output / 258 + 10));
    o.code(lc[256], 2);
    u64 size = 0;
    EXPECT_EQ(deflate::decompress(nullptr, size, o.bytes.data(), o.bytes.size()), deflate::too_small);
    EXPECT_GT(size, deflate::max_output);
    EXPECT_LT(size, deflate::max_output + 600);
}

// --- Containers --------------------------------------------------------------

// A gzip member with the given flags and fields around the deflate stream
// of `data`.
Bytes member(const Bytes& data, u8 flags, const Bytes& fields) {
    Bytes m = hex("1F 8B 08");
    m.push_back(flags);
    m = cat(m, hex("00 00 00 00 00 03"));
    m = cat(m, fields);
    if (flags & 2) {
        u32 crc = checksum::crc32(0, m.data(), m.size());
        m.push_back(static_cast<u8>(crc));
        m.push_back(static_cast<u8>(crc >> 8));
    }
    m = cat(m, write(deflate::compress, data));
    u32 crc = checksum::crc32(0, data.data(), data.size());
    u32 n = static_cast<u32>(data.size());
    for (u32 v : {crc, n})
        for (int i = 0; i < 4; i++) m.push_back(static_cast<u8>(v >> (8 * i)));
    return m;
}

TEST(Containers, ReaderStatuses) {
    Bytes hello = of("hello, hello, hello");
    Bytes z = write(zlib::compress, hello);
    Bytes g = write(gzip::compress, hello);
    auto changed = [](Bytes b, size_t at, u8 v) {
        b[at] = v;
        return b;
    };
    Bytes named = member(hello, 8 | 2, cat(of("name.txt"), Bytes{0}));
    Bytes extra = member(hello, 4 | 16, cat(hex("03 00 41 42 43"), cat(of("note"), Bytes{0})));
    Bytes zlib_9c = cat(hex("78 9C"), Bytes(z.begin() + 2, z.end()));

    struct Case { const char* name; Reader r; Bytes in; int status; };
    const Case cases[] = {
        {"zlib", zlib::decompress, z, deflate::ok},
        {"zlib 78 9C", zlib::decompress, zlib_9c, deflate::ok},
        {"zlib under 6 bytes", zlib::decompress, hex("78 01 03 00 00"), deflate::bad_container},
        {"zlib check bits", zlib::decompress, changed(z, 1, 0x02), deflate::bad_container},
        {"zlib CM 7", zlib::decompress, hex("77 09 03 00 00 00 00 01"), deflate::bad_container},
        {"zlib window bit 7", zlib::decompress, hex("88 1C 03 00 00 00 00 01"), deflate::bad_container},
        {"zlib FDICT", zlib::decompress, hex("78 20 03 00 00 00 00 01"), deflate::bad_container},
        {"zlib Adler-32", zlib::decompress, changed(z, z.size() - 1, z.back() ^ 1), deflate::bad_container},
        {"zlib a byte after", zlib::decompress, cat(z, Bytes{0}), deflate::bad_container},
        {"zlib stream into the check value", zlib::decompress, hex("78 01 4B 4C 4C 84 02"), deflate::truncated},
        {"zlib stream's status", zlib::decompress, hex("78 01 07 00 00 00 01"), deflate::bad_block_type},
        {"gzip", gzip::decompress, g, deflate::ok},
        {"gzip FNAME FHCRC", gzip::decompress, named, deflate::ok},
        {"gzip FNAME FHCRC, header byte changed", gzip::decompress, changed(named, 4, 1), deflate::bad_container},
        {"gzip FEXTRA FCOMMENT", gzip::decompress, extra, deflate::ok},
        {"gzip two members", gzip::decompress, cat(g, named), deflate::ok},
        {"gzip under 18 bytes", gzip::decompress, Bytes(g.begin(), g.begin() + 17), deflate::bad_container},
        {"gzip magic", gzip::decompress, changed(g, 1, 0x8C), deflate::bad_container},
        {"gzip CM", gzip::decompress, changed(g, 2, 7), deflate::bad_container},
        {"gzip reserved flag", gzip::decompress, changed(g, 3, 32), deflate::bad_container},
        {"gzip CRC", gzip::decompress, changed(g, g.size() - 8, g[g.size() - 8] ^ 1), deflate::bad_container},
        {"gzip ISIZE too large", gzip::decompress, changed(g, g.size() - 4, g[g.size() - 4] + 1), deflate::bad_container},
        {"gzip ISIZE too small", gzip::decompress, changed(g, g.size() - 4, g[g.size() - 4] - 1), deflate::bad_container},
        {"gzip trailing bytes", gzip::decompress, cat(g, hex("00 00")), deflate::bad_container},
        {"gzip a byte short", gzip::decompress, Bytes(g.begin(), g.end() - 1), deflate::truncated},
        // Header fields that run into the last eight bytes.
        {"gzip XLEN past the trailer", gzip::decompress, cat(hex("1F 8B 08 04 00 00 00 00 00 03 09 00"), Bytes(8, 0)), deflate::bad_container},
        {"gzip name into the trailer", gzip::decompress, cat(hex("1F 8B 08 08 00 00 00 00 00 03 41 42 43"), hex("44 00 00 00 00 00 00 00")), deflate::bad_container},
        {"gzip FHCRC missing", gzip::decompress, cat(hex("1F 8B 08 02 00 00 00 00 00 03"), Bytes(8, 0)), deflate::bad_container},
        {"gzip stream's status", gzip::decompress, cat(hex("1F 8B 08 00 00 00 00 00 00 03 07"), Bytes(8, 0)), deflate::bad_block_type},
    };
    for (const Case& c : cases) {
        Read r = read(c.r, c.in);
        EXPECT_EQ(r.status, c.status) << c.name;
        if (c.status == deflate::ok) {
            Bytes want = std::string(c.name) == "gzip two members" ? cat(hello, hello) : hello;
            EXPECT_EQ(r.out, want) << c.name;
        }
    }
}

TEST(Containers, GzipPassesOnlyWholeValidMembersThrough) {
    Bytes data = text(2000, 13);
    Bytes g = write(gzip::compress, data);
    Bytes two = cat(g, member(of("more"), 8, cat(of("x"), Bytes{0})));
    EXPECT_EQ(write(gzip::compress, g), g);
    EXPECT_EQ(write(gzip::compress, two), two);
    // Data that only starts like a member is compressed like any other:
    // reading the result gives it back.
    Bytes damaged = g;
    damaged[20] ^= 0x55;
    for (const Bytes& in : {Bytes(g.begin(), g.end() - 1), damaged, cat(g, Bytes{1}), hex("1F 8B 08 00")}) {
        Bytes out = write(gzip::compress, in);
        EXPECT_NE(out, in);
        Read r = read(gzip::decompress, out);
        EXPECT_EQ(r.status, deflate::ok);
        EXPECT_EQ(r.out, in);
    }
}

}  // namespace
