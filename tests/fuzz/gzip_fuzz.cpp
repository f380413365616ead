// libFuzzer target for the gzip container reader: arbitrary bytes as gzip
// members. The capacity contract (codec_fuzz.h); zlib, which reads one
// member a call, as the oracle of the first: what we read starts with what
// zlib reads, and a single member zlib reads using the whole input, we read.
#include "codec_fuzz.h"
#include "codecs/zlib_gzip.h"

#include <algorithm>

using namespace oru;
using namespace oru::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 12) return -1;
    Decoded d = check_capacities(gzip::decompress, data, size, true);
    ZlibRead z = zlib_read(data, size, 31, room_for(size));
    if (d.status == deflate::ok) {
        check(z.status == Z_STREAM_END && z.out.size() <= d.out.size());
        check(std::equal(z.out.begin(), z.out.end(), d.out.begin()));
        if (z.used == size) check(z.out == d.out);
    }
    if (z.status == Z_STREAM_END && z.used == size) check(d.status == deflate::ok);
    return 0;
}
