// The oru executable: process set-up, then the runtime on a thread with a
// stack large enough for deep interpreted recursion.
#include "runtime/console.h"
#include "runtime/runtime.h"
#include "runtime/system.h"

#include <cstdio>

namespace {

struct Launch {
    int status = 0;
};

void start(void* p) {
    auto* launch = static_cast<Launch*>(p);
    oru::u32 code = oru::catch_level(oru::throw_code::top_level, [&] {
        oru::runtime_init();
        if (oru::runtime.argc > 1) {
            // Scripts need the lexer and the evaluator, which this build lacks.
            std::fprintf(stderr, "*** Error: cannot run %s: this build has no evaluator yet\n", oru::runtime.argv[1]);
            launch->status = 1;
        }
    });
    if (code) oru::top_level_catch(code);
    oru::console::flush();
}

}  // namespace

int main(int argc, char** argv) {
    oru::init_process(argc, argv);
    Launch launch;
    oru::run_with_stack(oru::interpreter_stack_size, start, &launch);
    oru::runtime_shutdown();
    return launch.status;
}
