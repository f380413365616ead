// Checks the fuzz targets of the compression codecs share.
//
// A reader's contract, whatever the input: measuring (no destination)
// answers a status and a size; with a destination of exactly that size the
// output fits (a container may then find a bad check value, which it can
// only compare once the output is stored); with less room the answer is
// "too small" with the same size and the first bytes stored; no byte is
// read or written outside the buffers (each destination is allocated at its
// exact capacity, so the sanitizers see any overrun). A broken contract
// traps. zlib serves as the oracle of the differential checks.
#pragma once

#include "codecs/deflate.h"

#include <zlib.h>

#include <cstring>
#include <memory>
#include <vector>

namespace oru::fuzz {

using Bytes = std::vector<u8>;
using Reader = int (*)(u8*, u64&, const u8*, u64);

inline void check(bool ok) {
    if (!ok) __builtin_trap();
}

struct Decoded {
    int measured;   // status of the measuring call
    int status;     // status with the exact destination (the measured one when that was an error)
    Bytes out;
};

inline Decoded check_capacities(Reader read, const u8* data, size_t size, bool container) {
    u64 need = 0;
    int measured = read(nullptr, need, data, size);
    check(measured >= deflate::ok && measured <= deflate::malformed);
    if (measured != deflate::ok && measured != deflate::too_small) return {measured, measured, {}};
    check((measured == deflate::ok) == (need == 0));

    std::unique_ptr<u8[]> exact(need ? new u8[need] : nullptr);
    u64 n = need;
    int status = read(exact.get(), n, data, size);
    check(status == deflate::ok || (container && status == deflate::bad_container));
    if (status != deflate::ok) return {measured, status, {}};
    check(n == need);
    Bytes out(exact.get(), exact.get() + need);

    for (u64 cap : {need - 1, need / 2}) {
        if (need == 0) break;
        std::unique_ptr<u8[]> small(cap ? new u8[cap] : nullptr);
        u64 m = cap;
        check(read(small.get(), m, data, size) == deflate::too_small);
        check(m == need);
        check(cap == 0 || std::memcmp(small.get(), out.data(), cap) == 0);
    }
    return {measured, status, out};
}

// zlib's reading of a stream in one call (window bits -15 raw, 15 zlib, 31
// gzip): its status, output and the input bytes it used.
struct ZlibRead {
    int status;
    Bytes out;
    size_t used;
};

// Room for any output of an input of `size` bytes, so that zlib never stops
// for want of it.
inline size_t room_for(size_t size) { return size * deflate::max_ratio + 1024; }

// A scratch output for the largest input a target takes, made once.
inline u8* scratch(size_t room) {
    static Bytes buf;
    if (buf.size() < room) buf.resize(room);
    return buf.data();
}

inline ZlibRead zlib_read(const u8* data, size_t size, int bits, size_t room) {
    z_stream z{};
    check(inflateInit2(&z, bits) == Z_OK);
    u8* out = scratch(room);
    z.next_in = const_cast<u8*>(data);
    z.avail_in = static_cast<uInt>(size);
    z.next_out = out;
    z.avail_out = static_cast<uInt>(room);
    int st = inflate(&z, Z_FINISH);
    ZlibRead r{st, Bytes(out, out + z.total_out), z.total_in};
    inflateEnd(&z);
    return r;
}

}  // namespace oru::fuzz
