// The system layer: throw and catch levels, process set-up, fault signals,
// tracked heap blocks and the fatal runtime-error report.
//
// The fault path runs in a signal handler on an alternate stack, possibly with
// a damaged heap: it formats into a stack buffer, writes with write(2), starts
// the message window (when there is a display) with _Fork and execve, and
// leaves with _exit. Nothing on that path allocates, locks or walks heap lists.
// The non-signal report (runtime_error) frees the tracked blocks, but only
// after the report is out.
#include "runtime/system.h"

#include "runtime/console.h"
#include "runtime/sanitizer.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <new>
#include <pthread.h>
#include <unistd.h>

namespace oru {

RuntimeRecord runtime;

// ---------------------------------------------------------------------------
// Throw

[[noreturn]] void system_throw(u32 code) {
    runtime.pending_code = code;
    throw SystemThrow{code};
}

[[noreturn]] void top_level_catch(u32 code) {
    if (code == throw_code::quiet_exit) runtime_error(0, 0);
    runtime_error(95, reinterpret_cast<uintptr_t>(&top_level_catch));
}

// ---------------------------------------------------------------------------
// Runtime error messages

namespace {

struct ErrorText {
    int code;
    const char* text;
};

constexpr ErrorText error_texts[] = {
    {1, "access violation"},
    {2, "invalid alignment"},
    {3, "breakpoint"},
    {4, "single step"},
    {5, "bounds exceeded"},
    {6, "float denormal operan"},
    {7, "float divide by zero"},
    {8, "float inexact result"},
    {9, "float invalid operation"},
    {10, "float overflow"},
    {11, "float stack check"},
    {12, "float underflow"},
    {13, "integer divide by zero"},
    {14, "integer overflow"},
    {15, "privileged instruction"},
    {16, "invalid virtual address"},
    {17, "illegal instruction"},
    {18, "non-continuable exception"},
    {19, "stack error or overflow"},
    {20, "invalid disposition"},
    {21, "guard page"},
    {22, "invalid handle"},
    {23, "illegal operand"},
    {24, "illegal addressing mode"},
    {25, "illegal trap"},
    {26, "coprocessor error"},
    {27, "non-existent physical address"},
    {28, "object specific hardware error"},
    {29, "hardware memory error consumed AR"},
    {30, "hardware memory error consumed AO"},
    {31, "privileged register"},
    {32, "segmentation fault"},
    {33, "FPU error"},
    {34, "Bus error"},
    {94, "out of memory"},
    {95, "no CATCH for THROW"},
    {98, "assertion failed"},
    {99, "unknown error"},
    {100, "no value matched in CASE"},
    {101, "no value matched in SWITCH"},
};

// The environment the message window needs ("NAME=value"), copied at
// start-up: the fault path must not call getenv, and the language may change
// the environment later.
struct EnvCopy {
    char text[512];
};
EnvCopy display_env, xauthority_env, home_env;

void copy_env(EnvCopy& to, const char* name) {
    to.text[0] = 0;
    const char* value = std::getenv(name);
    if (!value || !value[0]) return;
    size_t n = std::strlen(name), v = std::strlen(value);
    if (n + 1 + v + 1 > sizeof to.text) return;  // too long to pass on: leave it out
    std::memcpy(to.text, name, n);
    to.text[n] = '=';
    std::memcpy(to.text + n + 1, value, v + 1);
}

// Async-signal-safe formatting helpers.
size_t put_str(char* dst, size_t at, size_t cap, const char* s) {
    while (*s && at + 1 < cap) dst[at++] = *s++;
    return at;
}

size_t put_dec(char* dst, size_t at, size_t cap, int v) {
    char tmp[16];
    int n = 0;
    unsigned u = v < 0 ? 0u - static_cast<unsigned>(v) : static_cast<unsigned>(v);
    do {
        tmp[n++] = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u);
    if (v < 0 && at + 1 < cap) dst[at++] = '-';
    while (n && at + 1 < cap) dst[at++] = tmp[--n];
    return at;
}

size_t put_hex8(char* dst, size_t at, size_t cap, u32 v) {
    for (int shift = 28; shift >= 0 && at + 1 < cap; shift -= 4)
        dst[at++] = "0123456789ABCDEF"[(v >> shift) & 0xF];
    return at;
}

// Shows the report in a message window when there is a display. The window is
// its own process, started with the async-signal-safe _Fork and exec, so it
// is safe even when this process is damaged; it does not hold our exit back.
void show_message_window(const char* title, const char* text) {
    if (!display_env.text[0]) return;
    pid_t pid = _Fork();
    if (pid != 0) return;  // the parent, or no child
    // The child: its own session, no hold on our streams or other files (a
    // reader waiting for our output to end must not wait for the window).
    setsid();
    int null_fd = open("/dev/null", O_RDWR);
    if (null_fd >= 0) {
        dup2(null_fd, 0);
        dup2(null_fd, 1);
        dup2(null_fd, 2);
    }
    close_range(3, ~0u, 0);
    char* envp[4];
    int n = 0;
    for (EnvCopy* e : {&display_env, &xauthority_env, &home_env})
        if (e->text[0]) envp[n++] = e->text;
    envp[n] = nullptr;
    const char* argv[] = {"xmessage", "-center", "-title", title, text, nullptr};
    execve("/usr/bin/xmessage", const_cast<char* const*>(argv), envp);
    _exit(0);
}

// Writes "*** Runtime Error N: text" and "*** at: XXXXXXXXh" to standard
// error, then shows them in the message window. Safe in a signal handler:
// a stack buffer, write(2) and the window's fork and exec, nothing else.
void report(int code, uintptr_t address) {
    char msg[256];
    size_t n = put_str(msg, 0, sizeof msg, "*** Runtime Error ");
    n = put_dec(msg, n, sizeof msg, code);
    n = put_str(msg, n, sizeof msg, ": ");
    n = put_str(msg, n, sizeof msg, runtime_error_text(code));
    n = put_str(msg, n, sizeof msg, "\n*** at: ");
    n = put_hex8(msg, n, sizeof msg, static_cast<u32>(address));
    n = put_str(msg, n, sizeof msg, "h");
    msg[n] = '\n';
    for (size_t done = 0; done < n + 1;) {
        ssize_t w = write(2, msg + done, n + 1 - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) break;
        done += static_cast<size_t>(w);
    }
    msg[n] = 0;
    show_message_window("Oru App Error", msg);
}

}  // namespace

const char* runtime_error_text(int code) {
    for (const ErrorText& e : error_texts)
        if (e.code == code) return e.text;
    return "unknown error code!";
}

[[noreturn]] void runtime_error(int code, uintptr_t address) {
    // Our own output goes first, then the report: freeing the blocks comes
    // last, so that a damaged heap cannot hide the report.
    console::flush();
    std::fflush(nullptr);
    if (code != 0) report(code, address);
    heap::free_all();
    _exit(code);
}

// ---------------------------------------------------------------------------
// Fault signals

namespace {

// Runtime errors by signal and si_code; the `any_code` row of a signal is its
// default. The codes above 22 name the Linux fault kinds.
constexpr int any_code = INT_MIN;
struct SignalCode {
    int sig;
    int si_code;
    int error;
};
constexpr SignalCode signal_codes[] = {
    {SIGSEGV, SEGV_MAPERR, 1},  {SIGSEGV, SEGV_ACCERR, 1},  {SIGSEGV, SEGV_BNDERR, 5},
    {SIGSEGV, SEGV_PKUERR, 1},  {SIGSEGV, SI_KERNEL, 1},    {SIGSEGV, any_code, 32},
    {SIGBUS, BUS_ADRALN, 2},    {SIGBUS, BUS_ADRERR, 27},   {SIGBUS, BUS_OBJERR, 28},
    {SIGBUS, BUS_MCEERR_AR, 29}, {SIGBUS, BUS_MCEERR_AO, 30}, {SIGBUS, any_code, 34},
    {SIGFPE, FPE_INTDIV, 13},   {SIGFPE, FPE_INTOVF, 14},   {SIGFPE, FPE_FLTDIV, 7},
    {SIGFPE, FPE_FLTOVF, 10},   {SIGFPE, FPE_FLTUND, 12},   {SIGFPE, FPE_FLTRES, 8},
    {SIGFPE, FPE_FLTINV, 9},    {SIGFPE, FPE_FLTSUB, 5},    {SIGFPE, any_code, 33},
    {SIGILL, ILL_ILLOPC, 17},   {SIGILL, ILL_ILLOPN, 23},   {SIGILL, ILL_ILLADR, 24},
    {SIGILL, ILL_ILLTRP, 25},   {SIGILL, ILL_PRVOPC, 15},   {SIGILL, ILL_PRVREG, 31},
    {SIGILL, ILL_COPROC, 26},   {SIGILL, ILL_BADSTK, 19},   {SIGILL, any_code, 17},
    {SIGTRAP, TRAP_TRACE, 4},   {SIGTRAP, any_code, 3},     // int3 arrives as SI_KERNEL
};

constexpr int fault_signals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP};

// Below every thread's stack lies a guard region of this size (run_with_stack
// asks for it); a fault there, or next to the stack pointer, is the stack
// running out.
constexpr uintptr_t stack_guard = uintptr_t{1} << 20;
constexpr uintptr_t near_stack_pointer = 65536;

// The calling thread's lowest stack address, for the handler. Zero-initialised
// and of internal linkage: in the executable, reading it is one %fs-relative
// load, with no TLS set-up call that could allocate inside the handler.
thread_local uintptr_t thread_stack_low = 0;

bool is_stack_overflow(uintptr_t addr, uintptr_t sp) {
    bool near_sp = sp && addr + near_stack_pointer >= sp && addr <= sp + near_stack_pointer;
    bool below_stack = thread_stack_low && addr < thread_stack_low && addr + stack_guard + 4096 >= thread_stack_low;
    return near_sp || below_stack;
}

// Runs on the alternate stack, perhaps with a damaged heap: reports with
// write(2) and leaves with _exit, touching no heap structure.
void fault_handler(int sig, siginfo_t* info, void* context) {
    const auto* uc = static_cast<const ucontext_t*>(context);
    uintptr_t pc = 0, sp = 0, fp = 0;
#if defined(__x86_64__)
    if (uc) {
        pc = static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]);
        sp = static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RSP]);
        fp = static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RBP]);
    }
#endif
    runtime.fault_fp = fp;
    runtime.fault_sp = sp;
    int code = signal_error_code(sig, info->si_code);
    if (sig == SIGSEGV && code == 1 && is_stack_overflow(reinterpret_cast<uintptr_t>(info->si_addr), sp)) code = 19;
    report(code, pc);
    _exit(code);
}

// True when a handler other than the default or ignore is installed.
bool handled(int sig) {
    struct sigaction old {};
    if (sigaction(sig, nullptr, &old) != 0) return false;
    if (old.sa_flags & SA_SIGINFO) return old.sa_sigaction != nullptr;
    return old.sa_handler != SIG_DFL && old.sa_handler != SIG_IGN;
}

void install_fault_handlers() {
    struct sigaction sa {};
    sa.sa_sigaction = fault_handler;
    // A fault inside the handler itself ends the process by the default action.
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER | SA_RESETHAND;
    sigemptyset(&sa.sa_mask);
    for (int sig : fault_signals) {
        // The address sanitizer's own handler, where it set one, reports a
        // fault with the access and the stacks behind it (a read of poisoned
        // series memory that left the process, a stack overflow): it stays.
        if (sanitizer::address && handled(sig)) continue;
        sigaction(sig, &sa, nullptr);
    }
    // A closed pipe is a write error for the descriptor that met it; the
    // console turns one on the output back into SIGPIPE's death.
    signal(SIGPIPE, SIG_IGN);
}

// The alternate signal stack of a thread, given back when the thread ends.
struct AltStack {
    void* memory = nullptr;
    ~AltStack() {
        if (!memory) return;
        stack_t ss{};
        ss.ss_flags = SS_DISABLE;
        sigaltstack(&ss, nullptr);
        std::free(memory);
    }
};
thread_local AltStack alt_stack;

}  // namespace

int signal_error_code(int sig, int si_code) {
    int fallback = 99;
    for (const SignalCode& s : signal_codes) {
        if (s.sig != sig) continue;
        if (s.si_code == si_code) return s.error;
        if (s.si_code == any_code) fallback = s.error;
    }
    return fallback;
}

char* build_command_line(int argc, const char* const* argv) {
    size_t len = 1;
    for (int i = 0; i < argc; i++) len += std::strlen(argv[i]) + 3;
    char* line = static_cast<char*>(heap::allocate(len));
    size_t at = 0;
    for (int i = 0; i < argc; i++) {
        if (i) line[at++] = ' ';
        bool quote = !argv[i][0] || std::strpbrk(argv[i], " \t");
        if (quote) line[at++] = '"';
        size_t n = std::strlen(argv[i]);
        std::memcpy(line + at, argv[i], n);
        at += n;
        if (quote) line[at++] = '"';
    }
    line[at] = 0;
    return line;
}

void init_thread() {
    // The alternate stack lets the handler run after the thread's own stack
    // is exhausted.
    if (!alt_stack.memory) {
        size_t size = 1 << 16;
        long want = sysconf(_SC_SIGSTKSZ);
        if (want > 0 && size < 4 * static_cast<size_t>(want)) size = 4 * static_cast<size_t>(want);
        alt_stack.memory = std::malloc(size);
        if (alt_stack.memory) {
            stack_t ss{};
            ss.ss_sp = alt_stack.memory;
            ss.ss_size = size;
            sigaltstack(&ss, nullptr);
        }
    }
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        void* addr = nullptr;
        size_t size = 0;
        if (pthread_attr_getstack(&attr, &addr, &size) == 0) {
            thread_stack_low = reinterpret_cast<uintptr_t>(addr);
            runtime.stack_low = thread_stack_low;
            runtime.stack_high = runtime.stack_low + size;
        }
        pthread_attr_destroy(&attr);
    }
}

namespace {

struct ThreadStart {
    void (*body)(void*);
    void* arg;
};

// The outermost catch of a thread: a throw that nothing caught below is
// "no CATCH for THROW" (or the quiet exit).
void run_body(void (*body)(void*), void* arg) {
    try {
        body(arg);
    } catch (const SystemThrow& t) {
        top_level_catch(t.code);
    } catch (const std::bad_alloc&) {
        runtime_error(94, 0);
    }
}

void* thread_main(void* p) {
    auto* start = static_cast<ThreadStart*>(p);
    init_thread();
    run_body(start->body, start->arg);
    return nullptr;
}

}  // namespace

size_t interpreter_stack_for(u64 limit) {
    constexpr u64 least = u64{8} << 20;
    const u64 quarter = limit / 4 / 4096 * 4096;
    if (quarter >= interpreter_stack_size) return interpreter_stack_size;
    return static_cast<size_t>(quarter > least ? quarter : least);
}

void run_with_stack(size_t stack_bytes, void (*body)(void*), void* arg) {
    ThreadStart start{body, arg};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, stack_bytes);
    // A wide guard: a frame with large locals must not step over it.
    pthread_attr_setguardsize(&attr, stack_guard);
    pthread_t thread;
    if (pthread_create(&thread, &attr, thread_main, &start) != 0) {
        // No thread with a large stack: run here, with the stack we have.
        pthread_attr_destroy(&attr);
        run_body(body, arg);
        return;
    }
    pthread_attr_destroy(&attr);
    pthread_join(thread, nullptr);
}

namespace {

// A standard descriptor the process was started without is held by
// /dev/null opened for reading: the next file opened would take its number
// and receive the output (or be read as input). Reads then find the end of
// input and writes fail, so output to a closed standard output is the write
// error it was, not data written into a file.
void hold_standard_descriptors() {
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int null_fd = open("/dev/null", O_RDONLY);
        if (null_fd >= 0 && null_fd != fd) {
            dup2(null_fd, fd);
            close(null_fd);
        }
    }
}

}  // namespace

void init_process(int argc, char** argv) {
    hold_standard_descriptors();
    copy_env(display_env, "DISPLAY");
    copy_env(xauthority_env, "XAUTHORITY");
    copy_env(home_env, "HOME");
    install_fault_handlers();
    init_thread();
    // The argument vector, each argument in a tracked block. Linux hands the
    // arguments over as bytes; they are taken as UTF-8.
    runtime.argc = argc;
    runtime.argv = static_cast<char**>(heap::allocate(sizeof(char*) * (static_cast<size_t>(argc) + 1)));
    for (int i = 0; i < argc; i++) {
        size_t n = std::strlen(argv[i]) + 1;
        runtime.argv[i] = static_cast<char*>(heap::allocate(n));
        std::memcpy(runtime.argv[i], argv[i], n);
    }
    runtime.argv[argc] = nullptr;
    runtime.command_line = build_command_line(argc, argv);
}

// ---------------------------------------------------------------------------
// Tracked heap blocks

namespace heap {
namespace {

// The tracking header keeps the caller's data 16-aligned.
struct Block {
    Block* prev;
    Block* next;
    size_t size;
    size_t reserved;  // keeps the data 16-aligned
};
static_assert(sizeof(Block) == 32);

Block* first = nullptr;
Block* last = nullptr;
size_t blocks = 0;
size_t total = 0;  // bytes held by the tracked blocks

// Finds the block holding p, searching from the most recent: blocks are
// mostly freed soon after they are made.
Block* find(void* p) {
    for (Block* b = last; b; b = b->prev)
        if (b + 1 == p) return b;
    return nullptr;
}

// The heap refused: runtime error 94, reported at the call site that asked
// (the return address of allocate or reallocate), with that frame recorded.
[[noreturn]] void out_of_memory(void* caller, void* frame) {
    runtime.fault_fp = reinterpret_cast<uintptr_t>(frame);
    runtime.fault_sp = 0;
    runtime_error(94, reinterpret_cast<uintptr_t>(caller));
}

void link(Block* b, size_t size) {
    b->size = size;
    total += size;
    b->next = nullptr;
    b->prev = last;
    if (last) last->next = b;
    else first = b;
    last = b;
    blocks++;
}

void unlink(Block* b) {
    if (b->prev) b->prev->next = b->next;
    else first = b->next;
    if (b->next) b->next->prev = b->prev;
    else last = b->prev;
    blocks--;
    total -= b->size;
}

}  // namespace

void* allocate(size_t size) {
    Block* b = nullptr;
    if (size <= SIZE_MAX - sizeof(Block)) b = static_cast<Block*>(std::malloc(size + sizeof(Block)));
    if (!b) out_of_memory(__builtin_return_address(0), __builtin_frame_address(0));
    link(b, size);
    return b + 1;
}

void* try_allocate(size_t size) {
    Block* b = nullptr;
    if (size <= SIZE_MAX - sizeof(Block)) b = static_cast<Block*>(std::malloc(size + sizeof(Block)));
    if (!b) return nullptr;
    link(b, size);
    return b + 1;
}

void* allocate_zeroed(size_t size) {
    void* p = allocate(size);
    std::memset(p, 0, size);
    return p;
}

void free(void* p) {
    if (!p) return;
    Block* b = find(p);
    if (!b) return;
    unlink(b);
    std::free(b);
}

void* reallocate(void* p, size_t size) {
    if (!p) return allocate(size);
    if (size == 0) {
        free(p);
        return nullptr;
    }
    Block* b = find(p);
    if (!b) return nullptr;
    // Resize in place or move, keeping the block's place in the list. A
    // refusal leaves the block as it was; the process ends anyway.
    Block* prev = b->prev;
    Block* next = b->next;
    Block* nb = nullptr;
    if (size <= SIZE_MAX - sizeof(Block)) nb = static_cast<Block*>(std::realloc(b, size + sizeof(Block)));
    if (!nb) out_of_memory(__builtin_return_address(0), __builtin_frame_address(0));
    total = total - nb->size + size;
    nb->size = size;
    if (prev) prev->next = nb;
    else first = nb;
    if (next) next->prev = nb;
    else last = nb;
    return nb + 1;
}

void free_all() {
    Block* b = first;
    while (b) {
        Block* next = b->next;
        std::free(b);
        b = next;
    }
    first = last = nullptr;
    blocks = 0;
    total = 0;
    runtime.argv = nullptr;
    runtime.command_line = nullptr;
}

size_t count() { return blocks; }
size_t bytes() { return total; }

}  // namespace heap

// ---------------------------------------------------------------------------
// Typed print and numeric helpers

// Items one after the other, no separators, through the console's own
// printers (so the formats are theirs: "%i", "%.7g", "%.16g", "%08X").
void print_typed(int count, const TypedItem* items) {
    for (int i = 0; i < count; i++) {
        const TypedItem& it = items[i];
        switch (it.tag) {
        case TypedItem::logic: console::print_text(it.b ? "true" : "false"); break;
        case TypedItem::integer: console::print_integer(it.i); break;
        case TypedItem::character: console::print_char(static_cast<u8>(it.c)); break;
        case TypedItem::float32: console::print_float32(it.f); break;
        case TypedItem::float64: console::print_float(it.d); break;
        case TypedItem::text: console::print_text(it.s ? it.s : ""); break;
        default: console::print_hex(it.u); break;  // any other tag: a 32-bit value
        }
    }
    console::flush();
}

void print_line_typed(int count, const TypedItem* items) {
    print_typed(count, items);
    console::print_text("\n");
    console::flush();
}

double degrees_to_radians(double angle, AngleKind kind) {
    double a = std::fmod(angle, 360.0);
    if (a > 180.0) a -= 360.0;
    else if (a < -180.0) a += 360.0;
    if (kind == AngleKind::tangent) {
        // The tangent repeats every 180 degrees: fold into -90..90.
        if (a > 90.0) a -= 180.0;
        else if (a < -90.0) a += 180.0;
    } else if (kind == AngleKind::sine) {
        // sin(180 - a) = sin(a): mirror about 90 into -90..90.
        if (a > 90.0) a = 180.0 - a;
        else if (a < -90.0) a = -180.0 - a;
    }
    return a * 3.14159265358979323846 / 180.0;
}

}  // namespace oru
