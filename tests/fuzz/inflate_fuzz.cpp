// libFuzzer target for the deflate reader: arbitrary bytes as a raw stream.
//
// The capacity contract (codec_fuzz.h); the same result through an output
// that grows from one byte and counts the rest of the stream early; and zlib
// as the oracle: a stream we read, zlib reads to the same bytes ending at
// the same input byte, and the other way round.
#include "codec_fuzz.h"

using namespace oru;
using namespace oru::fuzz;

namespace {

// A growing output, starting at one byte; it counts the rest of the stream
// before growing past `measure`. (Unset bytes: zeroing them costs the
// fuzzer more than the decoding.)
struct Growing final : deflate::Io {
    const u8* src;
    std::unique_ptr<u8[]> buf{new u8[1]};
    Growing(const u8* s, u64 measure) : src(s) {
        growable = true;
        measure_after = measure;
        out = buf.get();
        cap = 1;
    }
    const u8* input() override { return src; }
    bool grow(u64 need) override {
        std::unique_ptr<u8[]> b(new u8[need]);
        std::memcpy(b.get(), buf.get(), cap);
        buf = std::move(b);
        out = buf.get();
        cap = need;
        return true;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 12) return -1;  // longer streams add time, not coverage
    Decoded d = check_capacities(deflate::decompress, data, size, false);

    // Where the stream ends, from a run with room for everything.
    u64 produced = 0, end = 0;
    deflate::BufferIo io(scratch(room_for(size)), room_for(size), data);
    check(deflate::inflate(io, size, 0, 0, produced, end) == d.status);

    Growing g(data, size & 1 ? 4096 : u64{1} << 30);
    u64 grown = 0, gend = 0;
    check(deflate::inflate(g, size, 0, 0, grown, gend) == d.status);
    if (d.status == deflate::ok) check(grown == d.out.size() && (grown == 0 || std::memcmp(g.buf.get(), d.out.data(), grown) == 0));

    ZlibRead z = zlib_read(data, size, -15, room_for(size));
    if (d.status == deflate::ok) check(z.status == Z_STREAM_END && z.out == d.out && z.used == end);
    if (z.status == Z_STREAM_END) check(d.status == deflate::ok);
    return 0;
}
