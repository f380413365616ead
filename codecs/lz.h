// The LZ codec: an LZ77 coder with a bit-level token stream.
//
// A stream is an 8-byte header (the byte count c of the chunks after it and
// the expanded size, both u32 little-endian), then chunks back to back: each
// a u32 expanded length (1 to 1 MiB) and a bit stream that ends on a byte
// boundary. Bits are taken from the low end of each byte first; a token is
// a literal (0, then the 8 bits of the byte) or a match (1, a length code
// and a distance code) that copies 3 to 566 bytes from 1 to 262144 bytes
// back within the same chunk, byte by byte, so that an overlapping copy
// repeats its pattern. Chunks are coded apart: a match never reaches into
// an earlier chunk.
//
// The expander trusts nothing in a stream: it reads no byte past the length
// it is given, refuses an expanded size that the chunk bytes could not
// produce, and requires the chunks to fill it exactly. The compressor is the
// format's only producer; nothing in the system compresses its documents
// (the ORUBIN decoder expands those marked compressed).
#pragma once

#include "runtime/cell.h"

#include <cstddef>
#include <memory>

namespace oru::lz {

constexpr size_t header_size = 8;
constexpr u32 chunk_size = 0x100000;
constexpr i32 min_input = 128;  // shorter input is not compressed

enum class Status {
    ok,
    corrupt,    // the stream is not one the compressor can have written
    no_memory,  // the expanded size could not be allocated
};

struct FreeBuffer {
    void operator()(u8* p) const;
};
using Buffer = std::unique_ptr<u8[], FreeBuffer>;

// Expands the stream held in the `length` bytes at `stream`. On ok the
// expanded bytes come back with their count in *size; the buffer is freed
// when the result goes (8 bytes of slack follow the data). Anything else
// comes back empty.
Buffer decompress(const u8* stream, size_t length, u32* size, Status* status);

// Writes the stream of `length` bytes at `source` into `destination`, which
// has room for `length` bytes, and returns its size, header included; -1 when
// the input is shorter than min_input bytes or the stream would not fit in
// `length` bytes (the destination then holds nothing usable). The tables
// (7 MiB) are made at the first call and kept for the next ones.
i64 compress(const u8* source, size_t length, u8* destination);

}  // namespace oru::lz
