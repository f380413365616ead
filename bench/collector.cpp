// Collector benchmark: builds a heap of live blocks and strings (100 MB by
// default) while making garbage in between (1 GB by default) with collection
// enabled, then times full collections. A collection's cost should follow the
// live data, not the garbage. Arguments: live MB, garbage MB.
#include "interpreter/stack.h"
#include "runtime/collector.h"
#include "runtime/memory.h"
#include "runtime/runtime.h"
#include "runtime/stats.h"
#include "runtime/system.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sys/resource.h>

using namespace oru;

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
    const double live_target_mb = argc > 1 ? std::atof(argv[1]) : 100.0;
    const double garbage_target_mb = argc > 2 ? std::atof(argv[2]) : 1000.0;
    init_process(argc, argv);
    runtime_init();
    // Each live value: a block of 4 cells or a 64-byte string, plus its cell
    // in the holder (about 100 bytes in all).
    const i32 live_count = static_cast<i32>(live_target_mb * 1024 * 1024 / 100);
    const i32 garbage_each = static_cast<i32>(garbage_target_mb / live_target_mb);  // 120-byte blocks per live value
    // One holder block on the data stack reaches every live value.
    Node holder = memory::alloc_cells(live_count);
    stack::push(cell::make(type::block, 0, holder, 0));
    collector::enable(true);
    const u32 cycles_before = collector::cycles();
    auto t_build = std::chrono::steady_clock::now();
    for (i32 i = 0; i < live_count; i++) {
        Node n = (i & 1) ? memory::alloc_bytes(64) : memory::alloc_cells(4);
        // Hold the new value at once: the garbage below may collect.
        *memory::alloc_tail(cell::node(*stack::last_pushed())) = cell::make((i & 1) ? type::string : type::block, 0, n, 0);
        if (i & 1) memory::reserve_bytes(n, 64);
        else
            for (i32 k = 0; k < 4; k++) *memory::alloc_tail(n) = cell::integer(k);
        for (i32 g = 0; g < garbage_each; g++) memory::alloc_cells(6);
    }
    const double build_s = seconds_since(t_build);
    const u32 automatic = collector::cycles() - cycles_before;
    // Taken from the OS at the end of the build: the live data plus the room
    // the collector keeps between cycles.
    const double os_mb = static_cast<double>(memory::record.total) / (1024.0 * 1024.0);
    const double live_mb = debug::memory_stats(nullptr, 1) / (1024.0 * 1024.0);
    // The garbage the build left since its last cycle (up to the room the
    // collector keeps, about the live size) is collected first, untimed: the
    // rounds time collections of the live data alone.
    collector::recycle();
    const i32 rounds = 5;
    auto t0 = std::chrono::steady_clock::now();
    for (i32 r = 0; r < rounds; r++) collector::recycle();
    const double per_cycle_ms = seconds_since(t0) * 1000 / rounds;
    const double live_after = debug::memory_stats(nullptr, 1) / (1024.0 * 1024.0);
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    std::printf("%-28s %10.1f s   (%u automatic collections, %.0f MB garbage made, %.1f MB from the OS)\n",
                "build with garbage", build_s, automatic, garbage_each * 120.0 * live_count / (1024 * 1024), os_mb);
    std::printf("%-28s %10.3f ms/cycle  %8.3f ms/live MB  (live %.1f MB, %.1f MB before)\n", "full collection",
                per_cycle_ms, per_cycle_ms / live_after, live_after, live_mb);
    std::printf("%-28s %10ld KB\n", "peak RSS", ru.ru_maxrss);
    runtime_shutdown();
    return 0;
}
