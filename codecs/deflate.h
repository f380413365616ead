// Raw deflate streams (RFC 1951): the writer and the reader.
//
// The writer makes one block with the fixed Huffman codes, finding matches
// through a table of 1024 buckets of four recent positions; its output for a
// given input is fixed byte for byte. The reader takes all three block types.
//
// Both work on caller-supplied buffers and answer a status. A destination
// that is too small is not an error to them: they go on to the end, storing
// what fits and counting the rest, and answer `too_small` with the size that
// was needed, so the caller can retry once with a buffer of that size. No
// byte is read outside the source or written outside the destination, with
// a null destination (capacity 0) as well; neither allocates.
//
// The reader also runs on an Io whose output can grow as it decodes, so that
// a caller that does not know the size need not decode twice. Output larger
// than the largest series buffer is never produced: counting stops once it
// passes that, and the answer is `too_small` with a size above max_output.
#pragma once

#include "runtime/cell.h"

#include <cstddef>

namespace oru::deflate {

// Statuses of the writers and readers of the compression codecs.
enum Status : int {
    ok = 0,
    too_small = 1,       // the output did not fit: the size reported is the size needed
    bad_container = 2,   // not a valid zlib or gzip container
    truncated = 3,       // the stream needs input past the end of the source
    bad_block_type = 4,  // block type 3
    too_far = 5,         // a distance reaches before the start of the output
    malformed = 6,       // a stored length, code table or symbol that no valid stream holds
};

// The largest output the readers produce: the data size of the largest
// series buffer (memory::checked_size refuses more).
inline constexpr u64 max_output = 0x7FFFFFF0;

// The most output one input byte can give: a length code of 258 and a
// distance code of one bit each make two bits yield 258 bytes. A size claim
// above 1032 x the input's length is a lie.
inline constexpr u64 max_ratio = 1032;

// Deflates src[0..len) into dst (capacity `size`). Answers ok with the
// stream's length in `size`, or too_small with the length it needs.
int compress(u8* dst, u64& size, const u8* src, u64 len);

// Inflates the stream at src[0..len) into dst (capacity `size`; dst may be
// null with capacity 0 to measure). Answers ok or too_small with the bytes
// produced in `size` (for too_small: the whole size needed, or a size above
// max_output once counting stopped there), or an error status. Input after
// the final block is not read.
int decompress(u8* dst, u64& size, const u8* src, u64 len);

// The buffers of a decoding run whose output may grow. The output may move
// when it grows, and so may the input (series buffers move when allocation
// compacts them): the reader fetches both again after every call to grow.
struct Io {
    u8* out = nullptr;    // the output buffer, null when cap is 0
    u64 cap = 0;          // its capacity
    u64 limit = max_output;
    bool growable = false;   // grow may give more room
    // Before growing the output past this size the reader counts the rest
    // of the stream (without storing it), so that it refuses a stream too
    // large for `limit` before taking that memory, and grows once, exactly.
    u64 measure_after = u64{64} << 20;
    // The current address of the input, whose length is fixed for the run.
    virtual const u8* input() = 0;
    // Makes the output at least `need` bytes (up to `limit`), keeping the
    // bytes in it, and sets out and cap. False when it cannot: the reader
    // then counts the rest of the output without storing it.
    virtual bool grow(u64 need) { return false; }
    virtual ~Io() = default;
};

// An Io over a fixed destination (null: capacity 0) and source.
struct BufferIo final : Io {
    const u8* src;
    BufferIo(u8* dst, u64 capacity, const u8* s) : src(s) {
        out = dst;
        cap = dst ? capacity : 0;
    }
    const u8* input() override { return src; }
};

// One decoding run over an Io: inflates the stream starting at input byte
// `from` (of `len` input bytes) into the output from byte `at` on (earlier
// output bytes are not reachable by distances). `produced` receives the bytes
// produced by this stream (as for decompress, possibly counted past cap), and
// `end` the input offset just after the stream's final byte.
int inflate(Io& io, u64 len, u64 from, u64 at, u64& produced, u64& end);

}  // namespace oru::deflate
