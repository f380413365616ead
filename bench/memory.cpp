// Allocation rates of the memory manager: 16-byte cells, small strings, and
// repeated tail appends with doubling growth. Prints "name rate" lines.
#include "runtime/memory.h"
#include "runtime/system.h"

#include <chrono>
#include <cstdio>

using namespace oru;

namespace {

template <class F>
void measure(const char* name, long count, F&& f) {
    auto t0 = std::chrono::steady_clock::now();
    f(count);
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("%-28s %12.0f allocations/s  (%ld in %.3f s)\n", name, count / s, count, s);
}

}  // namespace

int main(int argc, char** argv) {
    init_process(argc, argv);
    memory::init();
    measure("cell (16 bytes)", 4'000'000, [](long n) {
        for (long i = 0; i < n; i++) memory::alloc_cells(1);
    });
    measure("small string (10 chars)", 4'000'000, [](long n) {
        for (long i = 0; i < n; i++) memory::alloc_codepoints(10, 1);
    });
    measure("tail append (one block)", 20'000'000, [](long n) {
        Node blk = memory::alloc_cells(0);
        for (long i = 0; i < n; i++) memory::alloc_tail(blk)->data2 = static_cast<u32>(i);
    });
    memory::release_all();
    return 0;
}
