// libFuzzer target for the zlib container reader: arbitrary bytes as a zlib
// stream. The capacity contract (codec_fuzz.h), and zlib as the oracle: a
// stream we read, zlib reads to the same bytes using the whole input; a
// stream zlib reads using the whole input, we read.
#include "codec_fuzz.h"
#include "codecs/zlib_gzip.h"

using namespace oru;
using namespace oru::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 12) return -1;
    Decoded d = check_capacities(zlib::decompress, data, size, true);
    ZlibRead z = zlib_read(data, size, 15, room_for(size));
    if (d.status == deflate::ok) check(z.status == Z_STREAM_END && z.out == d.out && z.used == size);
    if (z.status == Z_STREAM_END && z.used == size) check(d.status == deflate::ok);
    return 0;
}
