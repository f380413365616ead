// zlib (RFC 1950) and gzip (RFC 1952) containers around raw deflate.
//
// Written streams are fixed: zlib is 78 01, the deflate stream and the
// Adler-32 of the data big-endian; a gzip member is 1F 8B 08 00 00 00 00 00
// 04 04, the deflate stream, then the CRC-32 and the length of the data
// (ISIZE, modulo 2^32), both little-endian.
//
// The readers trust nothing in the container. The check value follows the
// deflate stream's end (not merely the input's last bytes) and must match;
// a gzip member's data must have exactly ISIZE bytes; gzip members may
// follow one another, each decoded and appended, but any other bytes after
// a container are refused. Header fields of gzip must end before the last
// eight bytes.
//
// Statuses are those of deflate.h: 0 done, 1 the output did not fit (the
// size then is the size needed), 2 not a valid container, 3-6 the deflate
// stream's faults. With the output counted past the destination (status 1)
// the check values cannot be compared; the retry with room compares them.
#pragma once

#include "codecs/deflate.h"

namespace oru::zlib {

// Writes the zlib stream of src[0..len) into dst (capacity `size`).
int compress(u8* dst, u64& size, const u8* src, u64 len);

// Reads a zlib stream into dst (capacity `size`, null to measure).
int decompress(u8* dst, u64& size, const u8* src, u64 len);
// The same over an Io whose output may grow; `size` receives the output size.
int decompress(deflate::Io& io, u64 len, u64& size);

}  // namespace oru::zlib

namespace oru::gzip {

// Writes a gzip member of src[0..len) into dst (capacity `size`). Input that
// is already one or more whole valid gzip members is copied unchanged.
int compress(u8* dst, u64& size, const u8* src, u64 len);

// Reads gzip members into dst (capacity `size`, null to measure).
int decompress(u8* dst, u64& size, const u8* src, u64 len);
// The same over an Io whose output may grow; `size` receives the output size.
int decompress(deflate::Io& io, u64 len, u64& size);

// The ISIZE in the input's last four bytes, 0 when it is shorter than a
// member: a size hint only.
u64 size_hint(const u8* src, u64 len);

// True when src[0..len) is one or more whole valid gzip members (decodes
// them into memory of its own to compare their CRCs).
bool valid_members(const u8* src, u64 len);

}  // namespace oru::gzip
