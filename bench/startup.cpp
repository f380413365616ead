// Start-up in process: the runtime's own start (runtime_init), the decode
// of the boot image and the evaluation of its modules, timed apart. Each
// round starts the runtime afresh in this process, as oru does once; the
// first round (what a process pays: its pages are touched for the first
// time) and the best of the 19 others are printed, in milliseconds.
#include "boot/boot.h"
#include "boot/image.h"
#include "codecs/lexer.h"
#include "interpreter/natives_output.h"
#include "runtime/collector.h"
#include "runtime/platform/platform.h"
#include "runtime/runtime.h"
#include "runtime/system.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

using namespace oru;

namespace {

double now_ms() {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct Times {
    double init = 1e9, decode = 1e9, modules = 1e9;
};

struct Best {
    Times first;  // the first round: what a process pays, its pages untouched
    Times best;   // the best later round
};

void rounds(void* p) {
    auto* best = static_cast<Best*>(p);
    natives_output::register_all();
    for (int round = 0; round < 20; round++) {
        const double t0 = now_ms();
        runtime_init();
        const double t1 = now_ms();
        boot::load_image();
        const double t2 = now_ms();
        boot::run_library();
        const double t3 = now_ms();
        runtime_shutdown();
        Times& t = round == 0 ? best->first : best->best;
        t.init = std::min(t.init, t1 - t0);
        t.decode = std::min(t.decode, t2 - t1);
        t.modules = std::min(t.modules, t3 - t2);
    }
}

}  // namespace

int main(int argc, char** argv) {
    init_process(argc, argv);
    Best best;
    const u64 scans = lexer::scan_count;
    run_with_stack(interpreter_stack_for(platform::address_space_limit()), rounds, &best);
    std::printf("%-16s %10s %10s\n", "in process", "first-ms", "best-ms");
    std::printf("%-16s %10.3f %10.3f\n", "runtime start", best.first.init, best.best.init);
    std::printf("%-16s %10.3f %10.3f  (image of %zu bytes)\n", "image decode", best.first.decode, best.best.decode,
                boot::image_size);
    std::printf("%-16s %10.3f %10.3f\n", "module code", best.first.modules, best.best.modules);
    std::printf("%-24s %8llu\n", "lexer scans", static_cast<unsigned long long>(lexer::scan_count - scans));
    return 0;
}
