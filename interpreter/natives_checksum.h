// The checksum native: CRC-32, Adler-32 and the TCP checksum as integers,
// MD5 and the SHA digests, and HMACs over them with /with, as binaries.
//
// The method words are interned at start-up and compared by canonical
// symbol, so 'CRC32 names crc32. A native::Entry: arguments at
// stack::arguments, the result in the first of them.
#pragma once

#include "runtime/cell.h"

namespace oru::natives {

u32 checksum(bool check, const i32* refinements);

// Reads a whole file! into a new binary!, which the caller roots at once.
// The file layer installs it; until then a file! argument raises
// internal/not-done.
extern Cell (*read_whole_file)(const Cell& file);

}  // namespace oru::natives

namespace oru::natives_checksum {

// Interns the method words (tcp md5 sha1 crc32 adler32 sha256 sha384 sha512
// hash): runtime start-up, once the symbol table exists.
void init();

// Hands the checksum native to the native table (slot 87).
void register_all();

}  // namespace oru::natives_checksum
