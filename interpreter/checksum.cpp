// CRC-32 and Adler-32 over byte runs (see checksum.h).
//
// CRC-32: crc = table[(crc ^ byte) & 0xFF] ^ (crc >> 8) per byte. The bulk
// loop takes eight bytes at a time: table k holds the effect of a byte
// followed by k zero bytes, so the eight lookups of one step are independent
// and their xor is the register after all eight bytes (slicing by eight).
//
// Adler-32: a = 1 + sum of bytes, b = sum of the successive a, both modulo
// 65521. The sums are reduced once per block of 3854 bytes: from a, b below
// 65521, b after L bytes is at most 65520 * (L + 1) + 255 * L * (L + 1) / 2,
// which for L = 3854 is 2146894275, still below 2^31.
#include "interpreter/checksum.h"

#include <array>
#include <cstring>

namespace oru::checksum {
namespace {

using Tables = std::array<std::array<u32, 256>, 8>;

constexpr Tables make_tables() {
    Tables t{};
    for (u32 k = 0; k < 256; k++) {
        u32 c = k;
        for (int i = 0; i < 8; i++) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        t[0][k] = c;
    }
    for (u32 k = 0; k < 256; k++)
        for (int s = 1; s < 8; s++) t[s][k] = (t[s - 1][k] >> 8) ^ t[0][t[s - 1][k] & 0xFF];
    return t;
}

constexpr Tables tables = make_tables();

inline u32 load_le32(const u8* p) {
    u32 v;
    std::memcpy(&v, p, 4);
    return v;   // x86-64 is little-endian
}

constexpr u32 adler_mod = 65521;
constexpr size_t adler_block = 3854;

}  // namespace

const u32* crc32_table() { return tables[0].data(); }

u32 crc32(u32 running, const u8* p, size_t n) {
    u32 c = ~running;
    while (n >= 8) {
        u32 lo = load_le32(p) ^ c;
        u32 hi = load_le32(p + 4);
        c = tables[7][lo & 0xFF] ^ tables[6][(lo >> 8) & 0xFF] ^ tables[5][(lo >> 16) & 0xFF] ^
            tables[4][lo >> 24] ^ tables[3][hi & 0xFF] ^ tables[2][(hi >> 8) & 0xFF] ^
            tables[1][(hi >> 16) & 0xFF] ^ tables[0][hi >> 24];
        p += 8;
        n -= 8;
    }
    while (n--) c = tables[0][(c ^ *p++) & 0xFF] ^ (c >> 8);
    return ~c;
}

u32 adler32(u32 running, const u8* p, size_t n) {
    u32 a = running & 0xFFFF;
    u32 b = running >> 16;
    while (n > 0) {
        size_t len = n < adler_block ? n : adler_block;
        n -= len;
        for (; len >= 16; len -= 16, p += 16) {
            for (int i = 0; i < 16; i++) {
                a += p[i];
                b += a;
            }
        }
        while (len--) {
            a += *p++;
            b += a;
        }
        a %= adler_mod;
        b %= adler_mod;
    }
    return b << 16 | a;
}

}  // namespace oru::checksum
