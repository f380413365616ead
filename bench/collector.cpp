// Collector benchmark: a heap of live blocks and strings, with garbage made
// in between, collected repeatedly. Prints the time per cycle, per live MB,
// and the peak resident set.
#include "interpreter/stack.h"
#include "runtime/collector.h"
#include "runtime/memory.h"
#include "runtime/runtime.h"
#include "runtime/stats.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sys/resource.h>

using namespace oru;

int main(int argc, char** argv) {
    i32 live_count = argc > 1 ? std::atoi(argv[1]) : 20000;
    runtime_init();
    collector::init();
    // One holder block on the data stack reaches every live value.
    Node holder = memory::alloc_cells(live_count);
    stack::push(cell::make(type::block, 0, holder, 0));
    for (i32 i = 0; i < live_count; i++) {
        Node n = (i & 1) ? memory::alloc_bytes(64) : memory::alloc_cells(4);
        if (i & 1) memory::reserve_bytes(n, 64);
        else
            for (i32 k = 0; k < 4; k++) *memory::alloc_tail(n) = cell::integer(k);
        *memory::alloc_tail(holder) = cell::make((i & 1) ? type::string : type::block, 0, n, 0);
        for (i32 g = 0; g < 3; g++) memory::alloc_cells(6);  // garbage in between
    }
    double live_mb = debug::memory_stats(nullptr, 1) / (1024.0 * 1024.0);
    const i32 rounds = 20;
    auto t0 = std::chrono::steady_clock::now();
    for (i32 r = 0; r < rounds; r++) collector::recycle();
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    double live_after = debug::memory_stats(nullptr, 1) / (1024.0 * 1024.0);
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    std::printf("%-28s %10.3f ms/cycle  %8.3f ms/live MB  (live %.2f MB, before %.2f MB)\n", "collector cycle",
                s * 1000 / rounds, s * 1000 / rounds / live_after, live_after, live_mb);
    std::printf("%-28s %10ld KB\n", "peak RSS", ru.ru_maxrss);
    runtime_shutdown();
    return 0;
}
