// libFuzzer target for the LZ codec: arbitrary bytes as a stream to expand,
// and as data to compress, which must expand back to itself.
//
// The expander must never read past the input nor write past what it
// allocated, whatever the stream claims; a stream it accepts gives exactly
// the expanded size its header states.
#include "codecs/lz.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

using namespace oru;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 20) return -1;
    u32 n = 0;
    lz::Status status;
    lz::Buffer out = lz::decompress(data, size, &n, &status);
    if (out && size >= 8) {
        const u32 stated = data[4] | u32{data[5]} << 8 | u32{data[6]} << 16 | u32{data[7]} << 24;
        if (n != stated) __builtin_trap();
    }

    std::vector<u8> packed(size);
    const i64 m = lz::compress(data, size, packed.data());
    if (m >= 0) {
        if (static_cast<size_t>(m) > size) __builtin_trap();
        lz::Buffer back = lz::decompress(packed.data(), static_cast<size_t>(m), &n, &status);
        if (!back || n != size || std::memcmp(back.get(), data, size) != 0) __builtin_trap();
    }
    return 0;
}
