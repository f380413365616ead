// Running checksums of byte runs: the standard CRC-32 and Adler-32.
//
// Both take the value of the bytes before (the running value) and return the
// value with the new bytes added, so a stream can be checked piece by piece:
// crc32(crc32(0, a, n), b, m) == crc32 of a followed by b. Start a CRC-32 at
// crc32_init (0) and an Adler-32 at adler32_init (1); the checksum of no bytes
// is the start value. The gzip and zlib codecs call these directly; the
// `checksum` native builds on them.
//
// CRC-32 is the reflected form (polynomial 0xEDB88320, register preset to all
// ones and inverted at the end; the running value passed in and out is the
// inverted one). Its table is built at compile time; the bulk loop reads
// eight bytes per step through seven more derived tables.
#pragma once

#include "runtime/cell.h"

#include <cstddef>

namespace oru::checksum {

inline constexpr u32 crc32_init = 0;
inline constexpr u32 adler32_init = 1;

// The CRC-32 of `running`'s bytes followed by p[0..n).
u32 crc32(u32 running, const u8* p, size_t n);

// The Adler-32 of `running`'s bytes followed by p[0..n).
u32 adler32(u32 running, const u8* p, size_t n);

// The byte table of the CRC-32: entry k is k shifted right eight times, each
// step xoring 0xEDB88320 when the bit shifted out was 1.
const u32* crc32_table();

}  // namespace oru::checksum
