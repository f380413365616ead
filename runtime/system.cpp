// The system layer: throw and catch levels, process set-up, fault signals,
// tracked heap blocks and the fatal runtime-error report.
//
// The fault path runs in a signal handler on an alternate stack, possibly with
// a damaged heap: it formats into a stack buffer, writes with write(2), and
// leaves with _exit. Nothing on that path allocates or walks heap lists.
#include "runtime/system.h"

#include "runtime/console.h"

#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <initializer_list>
#include <sys/wait.h>
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

// The display the message window goes to, read once at start-up: the fault
// path must not call getenv.
char display_env[256];

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
// its own process, so it is safe even when this one is damaged.
void show_message_window(const char* title, const char* text) {
    if (!display_env[0]) return;
    pid_t pid = fork();
    if (pid != 0) return;
    // In the child: detach from the parent's output and exec the viewer.
    char display[300] = "DISPLAY=";
    put_str(display, 8, sizeof display, display_env);
    char* const envp[] = {display, nullptr};
    const char* argv[] = {"xmessage", "-center", "-title", title, text, nullptr};
    execve("/usr/bin/xmessage", const_cast<char* const*>(argv), envp);
    _exit(0);
}

// Writes the report and ends the process; safe in a signal handler.
[[noreturn]] void fatal_report(int code, uintptr_t address) {
    if (code == 0) _exit(0);
    char msg[256];
    size_t n = put_str(msg, 0, sizeof msg, "*** Runtime Error ");
    n = put_dec(msg, n, sizeof msg, code);
    n = put_str(msg, n, sizeof msg, ": ");
    n = put_str(msg, n, sizeof msg, runtime_error_text(code));
    n = put_str(msg, n, sizeof msg, "\n*** at: ");
    n = put_hex8(msg, n, sizeof msg, static_cast<u32>(address));
    n = put_str(msg, n, sizeof msg, "h");
    msg[n] = 0;
    show_message_window("Oru App Error", msg);
    msg[n++] = '\n';
    ssize_t ignored = write(2, msg, n);
    (void)ignored;
    _exit(code);
}

}  // namespace

const char* runtime_error_text(int code) {
    for (const ErrorText& e : error_texts)
        if (e.code == code) return e.text;
    return "unknown error code!";
}

[[noreturn]] void runtime_error(int code, uintptr_t address) {
    console::flush();
    if (code != 0) {
        // Write the report first: freeing the blocks must not be able to hide it.
        heap::free_all();
    }
    fatal_report(code, address);
}

// ---------------------------------------------------------------------------
// Fault signals

namespace {

// Maps a fault signal onto the runtime error numbers.
int map_signal(int sig, const siginfo_t* info, const ucontext_t* uc) {
    uintptr_t addr = reinterpret_cast<uintptr_t>(info->si_addr);
    switch (sig) {
    case SIGSEGV: {
        // A fault just below the stack, or near the stack pointer, is the
        // stack running out.
        uintptr_t sp = uc ? static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RSP]) : 0;
        bool near_sp = sp && addr + 65536 >= sp && addr <= sp + 65536;
        bool below_stack = runtime.stack_low && addr < runtime.stack_low &&
                           addr + (1u << 20) >= runtime.stack_low;
        return near_sp || below_stack ? 19 : 1;
    }
    case SIGBUS:
        return info->si_code == BUS_ADRALN ? 2 : 16;
    case SIGFPE:
        switch (info->si_code) {
        case FPE_INTDIV: return 13;
        case FPE_INTOVF: return 14;
        case FPE_FLTDIV: return 7;
        case FPE_FLTOVF: return 10;
        case FPE_FLTUND: return 12;
        case FPE_FLTRES: return 8;
        case FPE_FLTINV: return 9;
        case FPE_FLTSUB: return 5;
        default: return 99;
        }
    case SIGILL:
        switch (info->si_code) {
        case ILL_PRVOPC:
        case ILL_PRVREG: return 15;
        default: return 17;
        }
    case SIGTRAP:
        return 3;
    default:
        return 99;
    }
}

void fault_handler(int sig, siginfo_t* info, void* context) {
    const ucontext_t* uc = static_cast<const ucontext_t*>(context);
    int code = map_signal(sig, info, uc);
    uintptr_t pc = uc ? static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]) : 0;
    fatal_report(code, pc);
}

void install_fault_handlers() {
    struct sigaction sa {};
    sa.sa_sigaction = fault_handler;
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER | SA_RESETHAND;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP}) sigaction(sig, &sa, nullptr);
    // A closed pipe reading our output is a write error, ignored, not a death.
    signal(SIGPIPE, SIG_IGN);
}

// Builds the raw command-line text: arguments joined by blanks, those that
// hold blanks (or are empty) quoted.
char* build_command_line(int argc, char** argv) {
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

}  // namespace

void init_thread() {
    // The alternate stack lets the handler run after the thread's own stack
    // is exhausted. It is never freed: it serves until the thread ends.
    static thread_local void* alt_stack = nullptr;
    if (!alt_stack) {
        size_t size = 1 << 16;
        alt_stack = std::malloc(size);
        if (alt_stack) {
            stack_t ss{};
            ss.ss_sp = alt_stack;
            ss.ss_size = size;
            sigaltstack(&ss, nullptr);
        }
    }
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        void* addr = nullptr;
        size_t size = 0;
        if (pthread_attr_getstack(&attr, &addr, &size) == 0) {
            runtime.stack_low = reinterpret_cast<uintptr_t>(addr);
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

void* thread_main(void* p) {
    auto* start = static_cast<ThreadStart*>(p);
    init_thread();
    start->body(start->arg);
    return nullptr;
}

}  // namespace

void run_with_stack(size_t stack_bytes, void (*body)(void*), void* arg) {
    ThreadStart start{body, arg};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, stack_bytes);
    pthread_t thread;
    if (pthread_create(&thread, &attr, thread_main, &start) != 0) {
        // No thread with a large stack: run here, with the stack we have.
        pthread_attr_destroy(&attr);
        body(arg);
        return;
    }
    pthread_attr_destroy(&attr);
    pthread_join(thread, nullptr);
}

void init_process(int argc, char** argv) {
    const char* display = std::getenv("DISPLAY");
    if (display && std::strlen(display) < sizeof display_env) std::strcpy(display_env, display);
    install_fault_handlers();
    init_thread();
    // The argument vector, each argument in a tracked block.
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

// Finds the block holding p, searching from the most recent: blocks are
// mostly freed soon after they are made.
Block* find(void* p) {
    for (Block* b = last; b; b = b->prev)
        if (b + 1 == p) return b;
    return nullptr;
}

[[noreturn]] void out_of_memory() {
    runtime_error(94, reinterpret_cast<uintptr_t>(__builtin_return_address(0)));
}

void link(Block* b, size_t size) {
    b->size = size;
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
}

}  // namespace

void* allocate(size_t size) {
    if (size > SIZE_MAX - sizeof(Block)) out_of_memory();
    Block* b = static_cast<Block*>(std::malloc(size + sizeof(Block)));
    if (!b) out_of_memory();
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
    if (size > SIZE_MAX - sizeof(Block)) out_of_memory();
    // Resize in place or move, keeping the block's place in the list.
    Block* prev = b->prev;
    Block* next = b->next;
    Block* nb = static_cast<Block*>(std::realloc(b, size + sizeof(Block)));
    if (!nb) out_of_memory();
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
    runtime.argv = nullptr;
    runtime.command_line = nullptr;
}

size_t count() { return blocks; }

}  // namespace heap

// ---------------------------------------------------------------------------
// Typed print and numeric helpers

void print_typed(int count, const TypedItem* items) {
    char buf[64];
    for (int i = 0; i < count; i++) {
        const TypedItem& it = items[i];
        switch (it.tag) {
        case TypedItem::logic: console::print_text(it.b ? "true" : "false"); break;
        case TypedItem::integer: std::snprintf(buf, sizeof buf, "%i", it.i); console::print_text(buf); break;
        case TypedItem::character: buf[0] = it.c; buf[1] = 0; console::print_text(buf); break;
        case TypedItem::float32: std::snprintf(buf, sizeof buf, "%.7g", static_cast<double>(it.f)); console::print_text(buf); break;
        case TypedItem::float64: std::snprintf(buf, sizeof buf, "%.16g", it.d); console::print_text(buf); break;
        case TypedItem::text: console::print_text(it.s ? it.s : ""); break;
        default: std::snprintf(buf, sizeof buf, "%08X", it.u); console::print_text(buf); break;
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
