// Base-64 text of 64 MiB: the rates of the enbase/debase encoder and decoder
// (binary::encode and binary::decode on values, output allocated as they
// allocate it), best of five runs each.
//   bench_binary_base                 the rates, on bytes made here
//   bench_binary_base --write FILE    writes those bytes for the Python twin
//   bench_binary_base --time FILE     times the bytes of FILE and prints
//                                     "encode-s decode-s text-crc bytes-crc",
//                                     the line bench/binary_base.py prints
// The bytes come from a fixed-seed xorshift, so every run sees the same data.
#include "interpreter/checksum.h"
#include "interpreter/stack.h"
#include "runtime/collector.h"
#include "runtime/datatypes/binary.h"
#include "runtime/datatypes/binary_base.h"
#include "runtime/memory.h"
#include "runtime/runtime.h"
#include "runtime/system.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using namespace oru;

namespace {

constexpr size_t size = size_t{64} << 20;
constexpr int runs = 5;

std::vector<u8> make_bytes() {
    std::vector<u8> b(size);
    u64 x = 0x9E3779B97F4A7C15ull;
    for (size_t i = 0; i < size; i += 8) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        std::memcpy(b.data() + i, &x, 8);
    }
    return b;
}

u32 crc_of(const Cell& v) {
    SeriesBuffer* s = memory::buffer(cell::node(v));
    return checksum::crc32(checksum::crc32_init, s->head_ptr(), s->tail - s->head);
}

struct Result {
    double encode, decode;
    u32 text_crc, bytes_crc;
};

Result measure(const std::vector<u8>& bytes) {
    using clock = std::chrono::steady_clock;
    Result r{1e30, 1e30, 0, 0};
    Cell* bin = binary::load_in(bytes.data(), static_cast<i32>(bytes.size()), nullptr);
    for (int i = 0; i < runs; i++) {
        Cell* mark = stack::top;
        auto t0 = clock::now();
        Cell* text = binary::encode(64, *bin);
        auto t1 = clock::now();
        Cell* back = binary::decode(64, *text);
        auto t2 = clock::now();
        r.encode = std::min(r.encode, std::chrono::duration<double>(t1 - t0).count());
        r.decode = std::min(r.decode, std::chrono::duration<double>(t2 - t1).count());
        r.text_crc = crc_of(*text);
        r.bytes_crc = crc_of(*back);
        stack::top = mark;
        collector::recycle();  // the last run's 150 MB go before the next is timed
    }
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    init_process(argc, argv);
    runtime_init();
    collector::enable(true);
    const std::string mode = argc > 2 ? argv[1] : "";
    std::vector<u8> bytes;
    if (mode == "--time") {
        std::ifstream f(argv[2], std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    } else {
        bytes = make_bytes();
    }
    if (mode == "--write") {
        std::ofstream(argv[2], std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                       static_cast<std::streamsize>(bytes.size()));
    } else {
        const Result r = measure(bytes);
        if (mode == "--time") {
            std::printf("%.4f %.4f %08x %08x\n", r.encode, r.decode, r.text_crc, r.bytes_crc);
        } else {
            const double mib = static_cast<double>(bytes.size()) / (1 << 20);
            std::printf("enbase 64 of %.0f MiB   %8.1f MiB/s  (best %.3f s)\n", mib, mib / r.encode, r.encode);
            std::printf("debase 64 of its text  %8.1f MiB/s  (best %.3f s)\n", mib / r.decode, r.decode);
        }
    }
    runtime_shutdown();
    return 0;
}
