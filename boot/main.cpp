// The oru executable: process set-up, then the runtime on a thread with a
// stack large enough for deep interpreted recursion.
#include "boot/boot.h"
#include "interpreter/natives_output.h"
#include "runtime/collector.h"
#include "runtime/console.h"
#include "runtime/fire.h"
#include "runtime/platform/platform.h"
#include "runtime/runtime.h"
#include "runtime/system.h"

namespace {

struct Launch {
    int status = 0;
};

// x87 arithmetic rounds to double precision with every exception masked
// (control word 0x27F), so that any x87 code computes as the SSE doubles do.
// The thread's own setting: the runtime runs on this thread.
void set_float_control() {
#if defined(__x86_64__) || defined(__i386__)
    const unsigned short control = 0x27F;
    asm volatile("fldcw %0" : : "m"(control));
#endif
}

void start(void* p) {
    auto* launch = static_cast<Launch*>(p);
    set_float_control();
    oru::u32 code = oru::catch_level(oru::throw_code::top_level, [&] {
        oru::natives_output::register_all();
        oru::runtime_init();
        // Once the boot image's handles are fetched (nothing to fetch yet),
        // values go to the data stack again and collection may run.
        oru::root_allocation = false;
        oru::boot::define_base();
        oru::collector::enable(true);
        launch->status = oru::boot::launch(oru::runtime.argc, oru::runtime.argv);
    });
    // An error thrown this far was raised before errors could be reported:
    // in start-up, where running out of memory is the fatal out of memory.
    if (code == oru::throw_code::error && oru::pending_error.id == oru::ErrorId::internal_no_memory)
        oru::runtime_error(94, 0);
    if (code) oru::top_level_catch(code);
    oru::console::flush();
}

}  // namespace

int main(int argc, char** argv) {
    oru::init_process(argc, argv);
    Launch launch;
    oru::run_with_stack(oru::interpreter_stack_for(oru::platform::address_space_limit()), start, &launch);
    oru::runtime_shutdown();
    return launch.status;
}
