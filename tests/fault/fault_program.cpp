// Commits one deliberate fault, named by the first argument, so the tests can
// check the runtime error report and the exit status.
#include "runtime/system.h"

#include <cstdint>
#include <cstring>

namespace {

volatile int zero = 0;
volatile int numerator = 1000;
volatile int* volatile null_pointer = nullptr;

// Recurses until the stack runs out; the flag keeps the compiler from
// proving the recursion endless.
volatile bool keep_going = true;
int recurse(int depth) {
    volatile char frame[4096];
    frame[0] = static_cast<char>(depth);
    if (!keep_going) return frame[0];
    return recurse(depth + 1) + frame[0];
}

void fault(void* arg) {
    const char* mode = static_cast<const char*>(arg);
    if (!std::strcmp(mode, "null-read")) {
        int v = *null_pointer;
        (void)v;
    } else if (!std::strcmp(mode, "div-zero")) {
        volatile int v = numerator / zero;
        (void)v;
    } else if (!std::strcmp(mode, "stack-overflow")) {
        recurse(0);
    } else if (!std::strcmp(mode, "no-catch")) {
        // A throw that only the top level catches.
        oru::u32 code = oru::catch_level(oru::throw_code::top_level, [] { oru::system_throw(0x1234); });
        oru::top_level_catch(code);
    } else if (!std::strcmp(mode, "out-of-memory")) {
        oru::heap::allocate(SIZE_MAX / 2);
    } else if (!std::strcmp(mode, "damaged-heap")) {
        // A stray write over a tracked block's links, then a fault: the
        // report must not walk the heap list.
        void* p = oru::heap::allocate(16);
        std::memset(static_cast<char*>(p) - 32, 0x5A, 32);
        int v = *null_pointer;
        (void)v;
    } else if (!std::strcmp(mode, "int3")) {
        __asm__ volatile("int3");
    } else if (!std::strcmp(mode, "ud2")) {
        __builtin_trap();
    } else if (!std::strcmp(mode, "escape")) {
        // A throw nothing catches: the thread's own top level reports it.
        oru::system_throw(0x1234);
    } else if (!std::strcmp(mode, "quiet")) {
        oru::u32 code = oru::catch_level(oru::throw_code::top_level, [] { oru::system_throw(oru::throw_code::quiet_exit); });
        oru::top_level_catch(code);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    oru::init_process(argc, argv);
    oru::run_with_stack(8u << 20, fault, argv[1]);
    return 3;  // no fault happened
}
