// The checksum methods beyond the running CRC-32 and Adler-32 of
// checksum.h: the CRC-32 on carry-less multiplication, the TCP checksum,
// the MD5 and SHA digests and HMAC over them.
//
// Digests come from OpenSSL's libcrypto (EVP); every call's result is
// checked, and a failure raises internal/feature-na rather than leaving
// whatever the buffer held. HMAC (RFC 2104) is built here over those
// digests. Nothing here allocates series: the byte runs may lie in series
// buffers for the length of one call.
#pragma once

#include "runtime/cell.h"

#include <cstddef>

namespace oru::checksum {

// Algorithm codes.
namespace algorithm {
constexpr i32 tcp = 0, crc32 = 1, md5 = 2, sha1 = 3, sha256 = 4, sha384 = 5, sha512 = 6;
}

// The longest digest (sha512): the room every digest is written into.
constexpr size_t max_digest = 64;

// Digest bytes of a code (md5 16, sha1 20, sha256 32, sha384 48, sha512
// 64), 0 for the others.
i32 digest_length(i32 code);
// The HMAC block size: 128 bytes for sha384 and sha512, 64 for the others.
i32 block_size(i32 code);

// checksum::crc32 (same running values and results), on carry-less
// multiplication when the processor has it and the run is long enough.
u32 crc32_fast(u32 running, const u8* p, size_t n);
// True when crc32_fast takes the carry-less road for long runs.
bool clmul_available();

// The Internet checksum (RFC 1071) as a 16-bit value: big-endian 16-bit
// words summed with end-around carry (an odd last byte is a high byte),
// inverted.
u32 tcp(const u8* p, size_t n);

// Writes the digest of the bytes into out (digest_length(code) bytes). An
// unknown code raises script/invalid-arg with it; a digest the library does
// not give, internal/feature-na.
void hash(const u8* p, size_t n, i32 code, u8* out);

// Writes the HMAC of the bytes under the key into out (digest_length(code)
// bytes). A key longer than the block size is replaced by its digest.
void hmac(const u8* p, size_t n, const u8* key, size_t key_length, i32 code, u8* out);

}  // namespace oru::checksum
