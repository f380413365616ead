// The core of compress and decompress: method words, round trips, the
// errors raised, the sizes it is willing to allocate for a claimed size,
// and data that moves whenever the output is made or grown.
#include "codecs/deflate.h"
#include "codecs/zlib_gzip.h"
#include "interpreter/compress.h"
#include "runtime/datatypes/word.h"
#include "runtime/runtime.h"
#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

using namespace oru;
using compress::Method;

namespace {

using Bytes = std::vector<u8>;

// Buffers whose data moves to a new copy (the old one scribbled over) every
// time the output is made or grown, as a series buffer may when allocation
// compacts; it records the largest output asked for.
class MovingBuffers final : public compress::Buffers {
public:
    explicit MovingBuffers(const Bytes& d) : copy_(d), data_(d) {}
    const u8* data() override { return copy_.data(); }
    u8* make(u64 cap) override {
        move_data();
        out_.assign(cap, 0);
        largest = std::max(largest, cap);
        return out_.data();
    }
    u8* grow(u64 cap) override {
        move_data();
        out_.resize(cap);
        largest = std::max(largest, cap);
        return out_.data();
    }
    Bytes result(u64 n) const { return Bytes(out_.begin(), out_.begin() + static_cast<long>(n)); }
    u64 largest = 0;

private:
    void move_data() {
        std::fill(copy_.begin(), copy_.end(), 0xA5);
        copy_ = data_;   // a fresh allocation
    }
    Bytes copy_;
    const Bytes data_;
    Bytes out_;
};

Bytes mixed(size_t n, u32 seed) {
    std::mt19937 g(seed);
    Bytes b;
    while (b.size() < n) {
        if (g() % 4 == 0) {
            for (int i = 0; i < 200; i++) b.push_back(static_cast<u8>(g()));
        } else {
            const char* line = g() % 2 ? "compress the data, decompress it\n" : "value: 12345, next: 67890\n";
            b.insert(b.end(), line, line + std::strlen(line));
        }
    }
    b.resize(n);
    return b;
}

class Compress : public ::testing::Test {
protected:
    void SetUp() override { runtime_init(); }
    void TearDown() override { runtime_shutdown(); }

    static std::optional<ErrorId> error_of(auto&& body) { return test::error_unrolled(body); }

    static Bytes encode(Method m, const Bytes& in) {
        MovingBuffers b(in);
        return b.result(compress::encode(m, b, in.size()));
    }
    static Bytes decode(Method m, const Bytes& in, i64 hint = -1, u64* largest = nullptr) {
        MovingBuffers b(in);
        Bytes out = b.result(compress::decode(m, b, in.size(), hint));
        if (largest) *largest = b.largest;
        return out;
    }
};

TEST_F(Compress, MethodWordsByCanonicalSymbol) {
    EXPECT_EQ(compress::method_of(word::load("zlib")), Method::zlib);
    EXPECT_EQ(compress::method_of(word::load("DEFLATE")), Method::deflate);
    EXPECT_EQ(compress::method_of(word::load("Gzip")), Method::gzip);
    EXPECT_EQ(error_of([] { compress::method_of(word::load("lz")); }), ErrorId::script_invalid_arg);
}

// Round trips with the data moving under the codec at every output call;
// random data needs the writer's second attempt (it outgrows length + 32).
TEST_F(Compress, RoundTripsWhileTheDataMoves) {
    for (Method m : {Method::zlib, Method::deflate, Method::gzip}) {
        for (const Bytes& in : {Bytes{}, mixed(300000, 1), mixed(5000, 2)}) {
            Bytes packed = encode(m, in);
            EXPECT_EQ(decode(m, packed), in);
            EXPECT_EQ(decode(m, packed, static_cast<i64>(in.size())), in);
        }
        std::mt19937 g(3);
        Bytes noise(100000);
        for (auto& x : noise) x = static_cast<u8>(g());
        Bytes packed = encode(m, noise);
        EXPECT_GT(packed.size(), noise.size() + 32);
        EXPECT_EQ(decode(m, packed), noise);
    }
}

TEST_F(Compress, DamagedDataRaisesInvalidData) {
    Bytes data = mixed(20000, 4);
    for (Method m : {Method::zlib, Method::deflate, Method::gzip}) {
        Bytes packed = encode(m, data);
        Bytes corrupt = packed;
        corrupt[corrupt.size() / 2] ^= 0x10;
        corrupt[corrupt.size() / 2 + 1] ^= 0x77;
        Bytes truncated(packed.begin(), packed.begin() + static_cast<long>(packed.size() / 2));
        EXPECT_EQ(error_of([&] { decode(m, truncated); }), ErrorId::script_invalid_data) << static_cast<int>(m);
        // Raw deflate has no check value: changed literals go unnoticed.
        if (m != Method::deflate) {
            EXPECT_EQ(error_of([&] { decode(m, corrupt); }), ErrorId::script_invalid_data) << static_cast<int>(m);
        }
    }
}

// Claimed sizes are hints: the output first asked for never exceeds what
// the data can yield (1032 bytes a byte), and a false claim is invalid data.
TEST_F(Compress, ClaimedSizesAreCappedHints) {
    Bytes data = mixed(1000, 5);
    Bytes g = encode(Method::gzip, data);
    g[g.size() - 1] = 0x7F;   // ISIZE claims about 2 GB
    u64 largest = 0;
    EXPECT_EQ(error_of([&] { decode(Method::gzip, g, -1, &largest); }), ErrorId::script_invalid_data);
    EXPECT_LE(largest, g.size() * deflate::max_ratio);

    Bytes z = encode(Method::zlib, data);
    EXPECT_EQ(decode(Method::zlib, z, i64{1} << 40, &largest), data);
    EXPECT_LE(largest, z.size() * deflate::max_ratio);
    EXPECT_GT(largest, data.size());   // the hint was taken, capped
}

// A deflate stream of `tokens` matches of 258 bytes after one literal:
// the literal/length code gives 'a' and 256 two bits and 285 (length 258)
// one; the one distance code (distance 1) has one bit. Each 258 bytes cost
// two bits.
Bytes run_stream(u64 tokens) {
    std::vector<u8> bits;
    auto put = [&](u32 v, int n) {
        for (int i = 0; i < n; i++) bits.push_back((v >> i) & 1);
    };
    auto code = [&](u32 c, int n) {   // Huffman codes: most significant bit first
        for (int i = n - 1; i >= 0; i--) bits.push_back((c >> i) & 1);
    };
    put(1, 1);
    put(2, 2);
    put(286 - 257, 5);
    put(0, 5);
    put(19 - 4, 4);
    // Code-length code: symbols 0, 1, 2 and 18 two bits each, so 00, 01, 10, 11.
    const int order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    for (int sym : order) put(sym == 0 || sym == 1 || sym == 2 || sym == 18 ? 2 : 0, 3);
    auto zeros = [&](int n) {
        for (; n >= 11; n -= std::min(n, 138)) {
            code(3, 2);
            put(static_cast<u32>(std::min(n, 138) - 11), 7);
        }
        for (; n > 0; n--) code(0, 2);
    };
    zeros('a');
    code(2, 2);  // 'a'
    zeros(256 - 'a' - 1);
    code(2, 2);  // 256
    zeros(285 - 257);
    code(1, 2);  // 285
    code(1, 2);  // distance code 0
    // Codes now: 285 -> 0, 'a' -> 10, 256 -> 11; the distance code -> 0.
    code(2, 2);
    // The tokens are all zero bits; then 256.
    u64 total = bits.size() + 2 * tokens + 2;
    Bytes s((total + 7) / 8, 0);
    for (size_t i = 0; i < bits.size(); i++) s[i / 8] |= static_cast<u8>(bits[i] << (i % 8));
    for (u64 i = total - 2; i < total; i++) s[i / 8] |= static_cast<u8>(1u << (i % 8));
    return s;
}

// 2 MB of stream that expands past the largest binary: no-memory, after at
// most the first output's worth of memory was taken.
TEST_F(Compress, BombRaisesNoMemory) {
    Bytes bomb = run_stream(deflate::max_output / 258 + 2);
    u64 largest = 0;
    EXPECT_EQ(error_of([&] { decode(Method::deflate, bomb, -1, &largest); }), ErrorId::internal_no_memory);
    EXPECT_LE(largest, u64{64} << 20);
    // Short of it, the same kind of stream decodes, growing past the first output.
    Bytes run = run_stream(40000);
    EXPECT_EQ(decode(Method::deflate, run, -1, &largest), Bytes(1 + u64{258} * 40000, 'a'));
}

}  // namespace
