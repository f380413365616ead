// CRC-32 on carry-less multiplication, the TCP checksum, digests through
// OpenSSL and HMAC; see digest.h.
//
// The carry-less CRC-32 folds 64 bytes at a time into four 128-bit lanes:
// a lane X followed by d more bits stands for X x^d, and multiplying its two
// 64-bit halves by x^(d+32) and x^(d-32) modulo the polynomial (in the
// bit-reflected order the CRC uses, hence the constants shifted by one)
// gives a 128-bit value with the same remainder at the next lane's place.
// The last lane is reduced to 64 bits, then to 32 by Barrett reduction
// (mu = x^64 / P). The constants are computed here from the polynomial.
#include "interpreter/digest.h"

#include "interpreter/checksum.h"
#include "runtime/fire.h"
#include "runtime/platform/shared_library.h"

#include <openssl/evp.h>

#include <cstring>
#include <memory>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace oru::checksum {

namespace {

// --- CRC-32 constants: x^n mod P, bit-reflected, shifted left by one -------

constexpr u64 polynomial = 0x104C11DB7;  // x^32 + ... + 1, normal order

constexpr u64 reflect(u64 v, int bits) {
    u64 r = 0;
    for (int i = 0; i < bits; i++)
        if (v & (u64{1} << i)) r |= u64{1} << (bits - 1 - i);
    return r;
}

constexpr u64 x_power_mod(int n) {
    u64 r = 1;
    for (int i = 0; i < n; i++) {
        r <<= 1;
        if (r & (u64{1} << 32)) r ^= polynomial;
    }
    return r;
}

constexpr u64 fold_constant(int n) { return reflect(x_power_mod(n), 32) << 1; }

// floor(x^64 / P), by long division over GF(2).
constexpr u64 barrett_mu() {
    u64 q = 0;
    unsigned __int128 a = static_cast<unsigned __int128>(1) << 64;
    for (int s = 32; s >= 0; s--) {
        if (a & (static_cast<unsigned __int128>(1) << (s + 32))) {
            q |= u64{1} << s;
            a ^= static_cast<unsigned __int128>(polynomial) << s;
        }
    }
    return q;
}

constexpr u64 k1 = fold_constant(4 * 128 + 32), k2 = fold_constant(4 * 128 - 32);
constexpr u64 k3 = fold_constant(128 + 32), k4 = fold_constant(128 - 32);
constexpr u64 k5 = fold_constant(64);
constexpr u64 mu = reflect(barrett_mu(), 33), poly = reflect(polynomial, 33);
static_assert(k1 == 0x154442bd4 && k4 == 0x0ccaa009e && mu == 0x1F7011641 && poly == 0x1DB710641);

#if defined(__x86_64__)

#define ORU_CLMUL __attribute__((target("pclmul,sse4.1")))

ORU_CLMUL inline __m128i load(const u8* q) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q)); }

// The lane's two halves times the constants' halves, on top of `next`.
ORU_CLMUL inline __m128i fold(__m128i x, __m128i k, __m128i next) {
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11)), next);
}

ORU_CLMUL u32 crc32_clmul(u32 c, const u8* p, size_t n) {
    // n >= 64 and a multiple of 16; c is the register (not inverted).
    const __m128i k1k2 = _mm_set_epi64x(static_cast<long long>(k2), static_cast<long long>(k1));
    const __m128i k3k4 = _mm_set_epi64x(static_cast<long long>(k4), static_cast<long long>(k3));
    const __m128i k5k0 = _mm_set_epi64x(0, static_cast<long long>(k5));
    const __m128i poly_mu = _mm_set_epi64x(static_cast<long long>(mu), static_cast<long long>(poly));
    const __m128i mask32 = _mm_set_epi32(0, 0, 0, -1);
    __m128i x0 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(c)));
    __m128i x1 = load(p + 16), x2 = load(p + 32), x3 = load(p + 48);
    p += 64;
    n -= 64;
    while (n >= 64) {
        x0 = fold(x0, k1k2, load(p));
        x1 = fold(x1, k1k2, load(p + 16));
        x2 = fold(x2, k1k2, load(p + 32));
        x3 = fold(x3, k1k2, load(p + 48));
        p += 64;
        n -= 64;
    }
    __m128i x = fold(x0, k3k4, x1);
    x = fold(x, k3k4, x2);
    x = fold(x, k3k4, x3);
    while (n >= 16) {
        x = fold(x, k3k4, load(p));
        p += 16;
        n -= 16;
    }
    // 128 bits to 96, to 64, then Barrett to 32.
    x = _mm_xor_si128(_mm_clmulepi64_si128(x, k3k4, 0x10), _mm_srli_si128(x, 8));
    x = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x, mask32), k5k0, 0x00), _mm_srli_si128(x, 4));
    __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x, mask32), poly_mu, 0x10);
    t = _mm_clmulepi64_si128(_mm_and_si128(t, mask32), poly_mu, 0x00);
    return static_cast<u32>(_mm_extract_epi32(_mm_xor_si128(x, t), 1));
}

bool detect_clmul() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
}

#else

u32 crc32_clmul(u32 c, const u8*, size_t) { return c; }
bool detect_clmul() { return false; }

#endif

const bool has_clmul = detect_clmul();

// --- Digests -------------------------------------------------------------------

#define ORU_CRYPTO_FUNCTIONS(X)                                                                              \
    X(EVP_md5) X(EVP_sha1) X(EVP_sha256) X(EVP_sha384) X(EVP_sha512) X(EVP_MD_CTX_new) X(EVP_MD_CTX_free) \
    X(EVP_DigestInit_ex) X(EVP_DigestUpdate) X(EVP_DigestFinal_ex)
ORU_CRYPTO_FUNCTIONS(ORU_LIBRARY_POINTER)

// libcrypto is loaded at the first digest (runtime/platform/shared_library.h):
// most runs compute none, and loading it costs every start.
bool crypto_loaded() {
    static const bool loaded = platform::load_library("libcrypto.so.3", {ORU_CRYPTO_FUNCTIONS(ORU_LIBRARY_SYMBOL)});
    return loaded;
}

const EVP_MD* digest_of(i32 code) {
    if (!crypto_loaded()) fire(ErrorId::internal_feature_na);
    switch (code) {
        case algorithm::md5: return EVP_md5();
        case algorithm::sha1: return EVP_sha1();
        case algorithm::sha256: return EVP_sha256();
        case algorithm::sha384: return EVP_sha384();
        case algorithm::sha512: return EVP_sha512();
        default: fire(ErrorId::script_invalid_arg, cell::integer(code));
    }
}

struct FreeContext {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};

// A digest over two runs, one after the other.
void digest_two(i32 code, const u8* a, size_t an, const u8* b, size_t bn, u8* out) {
    const EVP_MD* md = digest_of(code);
    std::unique_ptr<EVP_MD_CTX, FreeContext> ctx(EVP_MD_CTX_new());
    unsigned int written = 0;
    if (!md || !ctx || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1 ||
        (an && EVP_DigestUpdate(ctx.get(), a, an) != 1) || (bn && EVP_DigestUpdate(ctx.get(), b, bn) != 1) ||
        EVP_DigestFinal_ex(ctx.get(), out, &written) != 1 || static_cast<i32>(written) != digest_length(code))
        fire(ErrorId::internal_feature_na);
}

}  // namespace

i32 digest_length(i32 code) {
    switch (code) {
        case algorithm::md5: return 16;
        case algorithm::sha1: return 20;
        case algorithm::sha256: return 32;
        case algorithm::sha384: return 48;
        case algorithm::sha512: return 64;
        default: return 0;
    }
}

i32 block_size(i32 code) { return code == algorithm::sha384 || code == algorithm::sha512 ? 128 : 64; }

bool clmul_available() { return has_clmul; }

u32 crc32_fast(u32 running, const u8* p, size_t n) {
    if (!has_clmul || n < 64) return crc32(running, p, n);
    const size_t bulk = n & ~size_t{15};
    const u32 c = crc32_clmul(~running, p, bulk);
    return crc32(~c, p + bulk, n - bulk);
}

u32 tcp(const u8* p, size_t n) {
    // A 64-bit sum: 32 bits overflow past 128 KiB of data.
    u64 sum = 0;
    size_t i = 0;
    for (; i + 1 < n; i += 2) sum += static_cast<u32>(p[i]) << 8 | p[i + 1];
    if (i < n) sum += static_cast<u32>(p[i]) << 8;
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return ~static_cast<u32>(sum) & 0xFFFF;
}

void hash(const u8* p, size_t n, i32 code, u8* out) { digest_two(code, p, n, nullptr, 0, out); }

void hmac(const u8* p, size_t n, const u8* key, size_t key_length, i32 code, u8* out) {
    const size_t block = static_cast<size_t>(block_size(code));
    const size_t length = static_cast<size_t>(digest_length(code));
    if (!length) digest_of(code);  // raises for a code without a digest
    u8 short_key[max_digest];
    if (key_length > block) {
        hash(key, key_length, code, short_key);
        key = short_key;
        key_length = length;
    }
    u8 inner_pad[128] = {}, outer_pad[128] = {};
    std::memcpy(inner_pad, key, key_length);
    std::memcpy(outer_pad, key, key_length);
    for (size_t i = 0; i < block; i++) {
        inner_pad[i] ^= 0x36;
        outer_pad[i] ^= 0x5C;
    }
    u8 inner[max_digest];
    digest_two(code, inner_pad, block, p, n, inner);
    digest_two(code, outer_pad, block, inner, length, out);
}

}  // namespace oru::checksum
