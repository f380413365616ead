// libFuzzer target for the writers: arbitrary bytes as data. Each method's
// stream, measured then written at its exact size, must read back to the
// data with our reader and with zlib's; with less room the writer answers
// "too small" with the same size and the stream's first bytes. Data that is
// already whole gzip members passes through gzip unchanged.
#include "codec_fuzz.h"
#include "codecs/zlib_gzip.h"

using namespace oru;
using namespace oru::fuzz;

namespace {

using Writer = int (*)(u8*, u64&, const u8*, u64);

Bytes written(Writer write, const u8* data, size_t size) {
    u64 need = 0;
    check(write(nullptr, need, data, size) == deflate::too_small);   // a stream is never empty
    std::unique_ptr<u8[]> exact(new u8[need]);
    u64 n = need;
    check(write(exact.get(), n, data, size) == deflate::ok && n == need);
    Bytes out(exact.get(), exact.get() + need);
    for (u64 cap : {need - 1, need / 2}) {
        std::unique_ptr<u8[]> small(cap ? new u8[cap] : nullptr);
        u64 m = cap;
        check(write(small.get(), m, data, size) == deflate::too_small && m == need);
        check(cap == 0 || std::memcmp(small.get(), out.data(), cap) == 0);
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 16) return -1;
    const Bytes in(data, data + size);
    struct Method { Writer write; Reader read; int bits; };
    const Method methods[] = {{deflate::compress, deflate::decompress, -15},
                              {zlib::compress, zlib::decompress, 15},
                              {gzip::compress, gzip::decompress, 31}};
    for (const Method& m : methods) {
        Bytes s = written(m.write, data, size);
        if (m.write == gzip::compress && gzip::valid_members(data, size)) {
            check(s == in);
            continue;
        }
        Decoded d = check_capacities(m.read, s.data(), s.size(), true);
        check(d.status == deflate::ok && d.out == in);
        ZlibRead z = zlib_read(s.data(), s.size(), m.bits, size + 1);
        check(z.status == Z_STREAM_END && z.out == in && z.used == s.size());
    }
    return 0;
}
