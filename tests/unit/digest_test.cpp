// The checksum methods under the checksum native: FIPS 180 and RFC 1321
// digests, RFC 2202 and RFC 4231 HMACs (short keys, keys hashed first for
// being longer than the block), the carry-less CRC-32 against the table
// CRC-32 at every alignment and length around its bulk size, and the TCP
// checksum, past the length where a 32-bit sum would overflow.
#include "interpreter/checksum.h"
#include "interpreter/digest.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

using namespace oru;

namespace {

using checksum::algorithm::md5;
using checksum::algorithm::sha1;
using checksum::algorithm::sha256;
using checksum::algorithm::sha384;
using checksum::algorithm::sha512;

std::string hex(const u8* p, size_t n) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; i++) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

std::string digest(const std::string& data, i32 code) {
    u8 out[checksum::max_digest];
    checksum::hash(reinterpret_cast<const u8*>(data.data()), data.size(), code, out);
    return hex(out, static_cast<size_t>(checksum::digest_length(code)));
}

std::string hmac(const std::string& key, const std::string& data, i32 code) {
    u8 out[checksum::max_digest];
    checksum::hmac(reinterpret_cast<const u8*>(data.data()), data.size(), reinterpret_cast<const u8*>(key.data()),
                   key.size(), code, out);
    return hex(out, static_cast<size_t>(checksum::digest_length(code)));
}

TEST(Digest, KnownDigests) {
    const std::string abc = "abc";
    EXPECT_EQ(digest(abc, md5), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(digest("", md5), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(digest(abc, sha1), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(digest(abc, sha256), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(digest("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", sha256),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(digest(abc, sha384),
              "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7");
    EXPECT_EQ(digest(abc, sha512),
              "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feeb"
              "bd454d4423643ce80e2a9ac94fa54ca49f");
}

TEST(Digest, Hmac) {
    const std::string hi = "Hi There", jefe = "what do ya want for nothing?";
    const std::string large = "Test Using Larger Than Block-Size Key - Hash Key First";
    struct Case {
        std::string key, data;
        i32 code;
        const char* expected;
    } cases[] = {
        {std::string(16, '\x0b'), hi, md5, "9294727a3638bb1c13f48ef8158bfc9d"},
        {"Jefe", jefe, md5, "750c783e6ab0b503eaa86e310a5db738"},
        {std::string(80, '\xaa'), large, md5, "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd"},
        {std::string(20, '\x0b'), hi, sha1, "b617318655057264e28bc0b6fb378c8ef146be00"},
        {"Jefe", jefe, sha1, "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
        {std::string(80, '\xaa'), large, sha1, "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
        {std::string(20, '\x0b'), hi, sha256, "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {"Jefe", jefe, sha256, "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        {std::string(131, '\xaa'), large, sha256, "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
        {std::string(20, '\x0b'), hi, sha384,
         "afd03944d84895626b0825f4ab46907f15f9dadbe4101ec682aa034c7cebc59cfaea9ea9076ede7f4af152e8b2fa9cb6"},
        {std::string(131, '\xaa'), large, sha384,
         "4ece084485813e9088d2c63a041bc5b44f9ef1012a2b588f3cd11f05033ac4c60c2ef6ab4030fe8296248df163f44952"},
        {std::string(20, '\x0b'), hi, sha512,
         "87aa7cdea5ef619d4ff0b4241a1d6cb02379f4e2ce4ec2787ad0b30545e17cdedaa833b7d6b8a702038b274eaea3f4e4"
         "be9d914eeb61f1702e696c203a126854"},
        {"Jefe", jefe, sha512,
         "164b7a7bfcf819e2e395fbe73b56e0a387bd64222e831fd610270cd7ea2505549758bf75c05a994a6d034f65f8f0e6fd"
         "caeab1a34d4a6b4b636e070a38bce737"},
        {std::string(131, '\xaa'), large, sha512,
         "80b24263c7c1a3ebb71493c1dd7be8b49b46d1f41b4aeec1121b013783f8f3526b56d037e05f2598bd0fd2215d6a1e52"
         "95e64f73f63f0aec8b915a985d786598"},
    };
    for (const Case& c : cases) EXPECT_EQ(hmac(c.key, c.data, c.code), c.expected) << c.code << " key " << c.key.size();
}

// The carry-less road gives the table's values (and running values) for
// every length around its 16- and 64-byte steps and any alignment.
TEST(Digest, CarrylessCrcMatchesTheTable) {
    std::mt19937 gen(3);
    std::vector<u8> data(5000);
    for (u8& b : data) b = static_cast<u8>(gen());
    for (size_t offset = 0; offset < 16; offset += 5) {
        for (size_t n = 0; n < 300; n++) {
            const u8* p = data.data() + offset;
            ASSERT_EQ(checksum::crc32_fast(0, p, n), checksum::crc32(0, p, n)) << "n=" << n;
            ASSERT_EQ(checksum::crc32_fast(0x12345678, p, n), checksum::crc32(0x12345678, p, n)) << "n=" << n;
        }
    }
    EXPECT_EQ(checksum::crc32_fast(0, data.data(), data.size()), checksum::crc32(0, data.data(), data.size()));
    const std::string nine = "123456789";
    EXPECT_EQ(checksum::crc32_fast(0, reinterpret_cast<const u8*>(nine.data()), 9), 0xCBF43926u);
}

TEST(Digest, Tcp) {
    const u8 one[] = {0x01};
    EXPECT_EQ(checksum::tcp(one, 1), 0xFEFFu);
    EXPECT_EQ(checksum::tcp(nullptr, 0), 0xFFFFu);
    const u8 rfc1071[] = {0x00, 0x01, 0xF2, 0x03, 0xF4, 0xF5, 0xF6, 0xF7};
    EXPECT_EQ(checksum::tcp(rfc1071, sizeof rfc1071), static_cast<u32>(~0xDDF2u & 0xFFFF));
    // 1 MiB of 0xFF bytes: every word is 0xFFFF, whose one's-complement sum
    // is 0xFFFF; a 32-bit sum would have wrapped long before the end.
    const std::vector<u8> ones(1 << 20, 0xFF);
    EXPECT_EQ(checksum::tcp(ones.data(), ones.size()), 0u);
    std::vector<u8> mixed(300001);
    for (size_t i = 0; i < mixed.size(); i++) mixed[i] = static_cast<u8>(i * 7 + 3);
    unsigned long long sum = 0;
    for (size_t i = 0; i < mixed.size(); i += 2)
        sum += (static_cast<unsigned long long>(mixed[i]) << 8) | (i + 1 < mixed.size() ? mixed[i + 1] : 0);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    EXPECT_EQ(checksum::tcp(mixed.data(), mixed.size()), static_cast<u32>(~sum & 0xFFFF));
}

}  // namespace
