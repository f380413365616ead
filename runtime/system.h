// The system layer below the language: the system-level throw with catch
// levels, process set-up, tracked heap blocks, the fatal runtime-error report,
// and a few numeric helpers.
//
// The throw is one C++ exception type carrying a 32-bit code. A catch point at
// level L stops every code not above L and lets the others pass (unsigned
// compare). The top level catches everything. Hardware faults arrive as
// signals on an alternate stack and end the process through the fatal report,
// which writes with write(2) only: a fault may have damaged the heap. Under
// the address sanitizer, the signals it handles itself are left to it.
#pragma once

#include "runtime/cell.h"

#include <cstddef>

namespace oru {

// System-level throw codes.
namespace throw_code {
constexpr u32 mem_release = 0x7FFFFFF6;  // the OS refused to release memory
constexpr u32 mem_alloc = 0x7FFFFFF7;    // the OS refused memory
constexpr u32 mem_guard = 0x7FFFFFF8;    // catch level of the memory operations
constexpr u32 throw_ = 0x7FFFFFFA;       // the interpreter's unwinding codes
constexpr u32 exit = 0x7FFFFFFB;
constexpr u32 return_ = 0x7FFFFFFC;
constexpr u32 continue_ = 0x7FFFFFFD;
constexpr u32 break_ = 0x7FFFFFFE;
constexpr u32 error = 0x7FFFFFFF;
constexpr u32 quiet_exit = 0x0BADCAFE;
constexpr u32 top_level = 0xFFFFFFFF;
}  // namespace throw_code

// The one exception type of the runtime.
struct SystemThrow {
    u32 code;
};

// The runtime record: what the system layer knows of the process.
struct RuntimeRecord {
    int argc = 0;
    char** argv = nullptr;       // each argument as UTF-8, in tracked heap blocks
    char* command_line = nullptr;// the raw command line, arguments with blanks quoted
    u32 pending_code = 0;        // code of the throw in progress
    const void* boot_image = nullptr;
    uintptr_t stack_low = 0;     // the interpreter thread's stack bounds
    uintptr_t stack_high = 0;
    uintptr_t fault_fp = 0;      // frame and stack pointer of the context that
    uintptr_t fault_sp = 0;      // faulted, or of the caller of a fatal report
};
extern RuntimeRecord runtime;

// Raises a system-level throw; never returns.
[[noreturn]] void system_throw(u32 code);

// Runs body; a throw whose code is not above level is stopped and its code
// returned (and left in runtime.pending_code); other codes pass on. Returns 0
// when body completes.
template <class F>
u32 catch_level(u32 level, F&& body) {
    try {
        body();
        return 0;
    } catch (const SystemThrow& t) {
        if (t.code > level) throw;
        runtime.pending_code = t.code;
        return t.code;
    }
}

// Handler of the entry point's catch frame.
[[noreturn]] void top_level_catch(u32 code);

// The fatal report: "*** Runtime Error N: text" and "*** at: ADDRh" on
// standard error (and in a message window when there is a display), every
// tracked block freed, exit with the code. Code 0 exits silently with 0.
[[noreturn]] void runtime_error(int code, uintptr_t address);

// The text for a runtime error code ("unknown error code!" when unknown).
const char* runtime_error_text(int code);

// The runtime error number of a fault signal with its si_code (SIGSEGV,
// SIGBUS, SIGFPE, SIGILL, SIGTRAP; 99 for anything else). A SIGSEGV at the
// edge of a stack is decided by the handler, not here: this gives 1.
int signal_error_code(int sig, int si_code);

// Process set-up: fault handlers, stack bounds, standard handles, the command
// line. Called first.
void init_process(int argc, char** argv);

// The raw command-line text rebuilt from an argument vector: the arguments
// joined by single blanks, each one that is empty or holds a blank or a tab
// enclosed in double quotes. The result is a tracked heap block.
char* build_command_line(int argc, const char* const* argv);

// Per-thread part of the set-up: the alternate signal stack and the stack
// bounds of the calling thread (the interpreter's thread calls it).
void init_thread();

// Runs body on a new thread with a stack of the given size (the interpreter
// needs far more than the default) and waits for it. The new thread gets its
// own alternate signal stack and stack bounds. A throw that escapes body ends
// the process through top_level_catch.
void run_with_stack(size_t stack_bytes, void (*body)(void*), void* arg);
constexpr size_t interpreter_stack_size = size_t{512} << 20;
// The interpreter's stack for an address space of `limit` bytes: the full
// size without a limit, else a quarter of it, between 8 MiB and the full
// size. The language's own limits need far less (about 10 MiB at the
// deepest call nesting), and the rest of a limited space is wanted for data;
// under a limit too small for that, a machine stack overflow is reported as
// such.
size_t interpreter_stack_for(u64 limit);

// Tracked heap blocks, all freed by free_all.
namespace heap {
void* allocate(size_t size);
void* allocate_zeroed(size_t size);
void* try_allocate(size_t size);  // null instead of the fatal fault when refused
void free(void* p);  // ignores addresses it did not hand out
void* reallocate(void* p, size_t size);
void free_all();
size_t count();      // blocks currently tracked
size_t bytes();      // bytes the tracked blocks hold (their requested sizes)
}  // namespace heap

// Typed diagnostic print to standard output.
struct TypedItem {
    enum Tag : u32 { logic = 1, integer = 2, character = 3, float32 = 4, float64 = 5, text = 6, hex = 7 };
    Tag tag;
    union {
        bool b;
        i32 i;
        char c;
        float f;
        double d;
        const char* s;
        u32 u;
    };
};
void print_typed(int count, const TypedItem* items);
void print_line_typed(int count, const TypedItem* items);

// (value - 1 + alignment) rounded down to a multiple of alignment (a power of two).
constexpr u64 round_up(u64 value, u64 alignment) { return (value - 1 + alignment) & ~(alignment - 1); }

// Angle kinds of degrees_to_radians.
enum class AngleKind { tangent = 0, cosine = 1, sine = 2 };
double degrees_to_radians(double angle, AngleKind kind);

}  // namespace oru
