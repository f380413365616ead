// CRC-32 and Adler-32: known values, and running values that split a run
// anywhere giving the value of the whole.
#include "interpreter/checksum.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace oru;

namespace {

const u8* bytes(const std::string& s) { return reinterpret_cast<const u8*>(s.data()); }

// Bit-at-a-time CRC-32 and the plain Adler-32 definition, as references.
u32 crc32_bitwise(const std::vector<u8>& d) {
    u32 c = 0xFFFFFFFF;
    for (u8 x : d) {
        c ^= x;
        for (int i = 0; i < 8; i++) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    }
    return ~c;
}

u32 adler32_plain(const std::vector<u8>& d) {
    u32 a = 1, b = 0;
    for (u8 x : d) {
        a = (a + x) % 65521;
        b = (b + a) % 65521;
    }
    return b << 16 | a;
}

TEST(Checksum, KnownValues) {
    struct Case { std::string data; u32 crc, adler; };
    const Case cases[] = {
        {"", 0, 1},
        {"abc", 891568578u, 38600999u},
        {"123456789", 0xCBF43926u, 0x091E01DEu},
        {"The quick brown fox jumps over the lazy dog", 0x414FA339u, 0x5BDC0FDAu},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(checksum::crc32(checksum::crc32_init, bytes(c.data), c.data.size()), c.crc) << c.data;
        EXPECT_EQ(checksum::adler32(checksum::adler32_init, bytes(c.data), c.data.size()), c.adler) << c.data;
    }
    EXPECT_EQ(checksum::crc32_table()[1], 0x77073096u);
    EXPECT_EQ(checksum::crc32_table()[255], 0x2D02EF8Du);
}

// Lengths around the eight-byte steps and the Adler block of 3854 (an exact
// multiple and not), all 0xFF bytes for the largest sums, split at every
// kind of place.
TEST(Checksum, RunningValuesMatchTheReferences) {
    for (size_t n : {size_t(1), size_t(7), size_t(8), size_t(9), size_t(3854), size_t(3855),
                     size_t(2 * 3854), size_t(100000)}) {
        for (u8 fill : {u8(0xFF), u8(0)}) {
            std::vector<u8> d(n);
            for (size_t i = 0; i < n; i++) d[i] = fill ? fill : u8(i * 131 + (i >> 7));
            u32 crc = crc32_bitwise(d), adler = adler32_plain(d);
            EXPECT_EQ(checksum::crc32(0, d.data(), n), crc) << n;
            EXPECT_EQ(checksum::adler32(1, d.data(), n), adler) << n;
            for (size_t cut : {size_t(0), size_t(1), n / 3, n - 1, n}) {
                u32 c = checksum::crc32(checksum::crc32(0, d.data(), cut), d.data() + cut, n - cut);
                u32 a = checksum::adler32(checksum::adler32(1, d.data(), cut), d.data() + cut, n - cut);
                EXPECT_EQ(c, crc) << n << " cut " << cut;
                EXPECT_EQ(a, adler) << n << " cut " << cut;
            }
        }
    }
}

}  // namespace
