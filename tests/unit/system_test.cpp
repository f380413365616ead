// System layer: catch levels, tracked heap blocks, runtime error texts and
// exits, numeric helpers.
#include "runtime/console.h"
#include "runtime/system.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cmath>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

using namespace oru;

TEST(CatchLevel, StopsCodesNotAboveItsLevel) {
    struct Case {
        u32 level;
        u32 code;
        bool caught;
    } cases[] = {
        {throw_code::mem_guard, throw_code::mem_alloc, true},
        {throw_code::mem_guard, throw_code::mem_guard, true},
        {throw_code::mem_guard, throw_code::error, false},
        {throw_code::break_, throw_code::continue_, true},
        {throw_code::break_, throw_code::error, false},
        {throw_code::top_level, throw_code::error, true},
        {throw_code::top_level, throw_code::quiet_exit, true},
        {0, 1, false},
    };
    for (const Case& c : cases) {
        bool escaped = false;
        u32 got = 0;
        try {
            got = catch_level(c.level, [&] { system_throw(c.code); });
        } catch (const SystemThrow& t) {
            escaped = true;
            EXPECT_EQ(t.code, c.code);
        }
        EXPECT_EQ(!escaped, c.caught) << std::hex << c.level << " " << c.code;
        if (c.caught) {
            EXPECT_EQ(got, c.code);
        }
        EXPECT_EQ(runtime.pending_code, c.code);
    }
    EXPECT_EQ(catch_level(throw_code::top_level, [] {}), 0u);
}

TEST(CatchLevel, NestedLevelsPassOuterCodesOut) {
    // An inner loop-level catch lets an error through to the outer catch.
    u32 outer = catch_level(throw_code::error, [] {
        u32 inner = catch_level(throw_code::break_, [] { system_throw(throw_code::error); });
        ADD_FAILURE() << "inner caught " << inner;
    });
    EXPECT_EQ(outer, throw_code::error);
}

TEST(Heap, TrackedBlocks) {
    heap::free_all();
    void* a = heap::allocate(10);
    void* b = heap::allocate_zeroed(100);
    EXPECT_EQ(heap::count(), 2u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 16, 0u);
    for (int i = 0; i < 100; i++) EXPECT_EQ(static_cast<u8*>(b)[i], 0);
    int local = 0;
    heap::free(&local);  // not a tracked block: ignored
    EXPECT_EQ(heap::count(), 2u);
    heap::free(a);
    EXPECT_EQ(heap::count(), 1u);
    heap::free(a);  // already freed: ignored
    EXPECT_EQ(heap::count(), 1u);
    heap::free_all();
    EXPECT_EQ(heap::count(), 0u);
}

TEST(Heap, Reallocate) {
    heap::free_all();
    void* p = heap::reallocate(nullptr, 8);  // address 0 allocates
    ASSERT_NE(p, nullptr);
    std::memcpy(p, "abcdefg", 8);
    void* first = heap::allocate(4);
    void* q = heap::reallocate(p, 100000);
    EXPECT_STREQ(static_cast<char*>(q), "abcdefg");
    EXPECT_EQ(heap::count(), 2u);
    EXPECT_EQ(heap::reallocate(q, 0), nullptr);  // size 0 frees
    EXPECT_EQ(heap::count(), 1u);
    heap::free(first);
    EXPECT_EQ(heap::count(), 0u);
}

TEST(RuntimeError, MessageTable) {
    struct Case {
        int code;
        const char* text;
    } cases[] = {
        {1, "access violation"},        {6, "float denormal operan"},
        {13, "integer divide by zero"}, {19, "stack error or overflow"},
        {34, "Bus error"},              {35, "unknown error code!"},
        {94, "out of memory"},          {95, "no CATCH for THROW"},
        {96, "unknown error code!"},    {97, "unknown error code!"},
        {101, "no value matched in SWITCH"}, {-1, "unknown error code!"},
    };
    for (const Case& c : cases) EXPECT_STREQ(runtime_error_text(c.code), c.text) << c.code;
}

TEST(RuntimeErrorDeathTest, ReportsAndExitsWithTheCode) {
    EXPECT_EXIT(runtime_error(0, 0), ::testing::ExitedWithCode(0), "^$");
    EXPECT_EXIT(runtime_error(98, 0x1234ABCD), ::testing::ExitedWithCode(98),
                "\\*\\*\\* Runtime Error 98: assertion failed\n\\*\\*\\* at: 1234ABCDh");
    EXPECT_EXIT(runtime_error(96, 0), ::testing::ExitedWithCode(96), "Runtime Error 96: unknown error code!");
    EXPECT_EXIT(top_level_catch(throw_code::quiet_exit), ::testing::ExitedWithCode(0), "^$");
    EXPECT_EXIT(top_level_catch(throw_code::error), ::testing::ExitedWithCode(95), "no CATCH for THROW");
}

TEST(RuntimeError, SignalsMapToFaultNumbers) {
    struct Case {
        int sig, si_code, code;
    } cases[] = {
        {SIGSEGV, SEGV_MAPERR, 1},   {SIGSEGV, SEGV_ACCERR, 1},  {SIGSEGV, SI_KERNEL, 1},
        {SIGSEGV, SEGV_BNDERR, 5},   {SIGSEGV, SI_USER, 32},     {SIGBUS, BUS_ADRALN, 2},
        {SIGBUS, BUS_ADRERR, 27},    {SIGBUS, BUS_MCEERR_AO, 30}, {SIGBUS, SI_USER, 34},
        {SIGFPE, FPE_INTDIV, 13},    {SIGFPE, FPE_INTOVF, 14},   {SIGFPE, FPE_FLTDIV, 7},
        {SIGFPE, FPE_FLTINV, 9},     {SIGFPE, FPE_FLTSUB, 5},    {SIGFPE, SI_USER, 33},
        {SIGILL, ILL_ILLOPC, 17},    {SIGILL, ILL_ILLOPN, 23},   {SIGILL, ILL_PRVOPC, 15},
        {SIGILL, ILL_PRVREG, 31},    {SIGILL, ILL_BADSTK, 19},   {SIGILL, SI_USER, 17},
        {SIGTRAP, SI_KERNEL, 3},     {SIGTRAP, TRAP_TRACE, 4},   {SIGINT, SI_USER, 99},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(signal_error_code(c.sig, c.si_code), c.code) << c.sig << " " << c.si_code;
        EXPECT_STRNE(runtime_error_text(c.code), "unknown error code!") << c.code;
    }
}

TEST(RuntimeErrorDeathTest, ThrowEscapingTheInterpreterThread) {
    // The thread's outermost catch is the top level's.
    EXPECT_EXIT(run_with_stack(1 << 20, [](void*) { system_throw(0x1234); }, nullptr),
                ::testing::ExitedWithCode(95), "\\*\\*\\* Runtime Error 95: no CATCH for THROW");
    EXPECT_EXIT(run_with_stack(1 << 20, [](void*) { system_throw(throw_code::quiet_exit); }, nullptr),
                ::testing::ExitedWithCode(0), "^$");
}

TEST(Process, InterpreterThreadHasItsStack) {
    struct Seen {
        uintptr_t low, high, local;
    } seen{};
    run_with_stack(
        64 << 20,
        [](void* p) {
            int local = 0;
            *static_cast<Seen*>(p) = {runtime.stack_low, runtime.stack_high, reinterpret_cast<uintptr_t>(&local)};
        },
        &seen);
    EXPECT_GE(seen.high - seen.low, uintptr_t{64} << 20);
    EXPECT_GT(seen.local, seen.low);
    EXPECT_LT(seen.local, seen.high);
}

TEST(Process, CommandLineQuotesArgumentsWithBlanks) {
    struct Case {
        std::vector<const char*> args;
        const char* line;
    } cases[] = {
        {{"oru"}, "oru"},
        {{"/opt/my apps/oru", "a", "b c"}, "\"/opt/my apps/oru\" a \"b c\""},
        {{"oru", "", "tab\there"}, "oru \"\" \"tab\there\""},
        {{"oru", "a\"b", "x"}, "oru a\"b x"},  // quotes alone need no quoting
        {{}, ""},
    };
    for (const Case& c : cases) {
        char* line = build_command_line(static_cast<int>(c.args.size()), c.args.data());
        EXPECT_STREQ(line, c.line);
        heap::free(line);
    }
}

TEST(ProcessDeathTest, InitProcessKeepsTheArguments) {
    // Run in a child: init_process installs the fault handlers process-wide.
    auto check = [] {
        const char* args[] = {"oru", "my script.oru", "-v", nullptr};
        init_process(3, const_cast<char**>(args));
        bool ok = runtime.argc == 3 && runtime.argv[3] == nullptr && runtime.argv[1] != args[1] &&
                  !std::strcmp(runtime.argv[1], "my script.oru") && !std::strcmp(runtime.argv[2], "-v") &&
                  !std::strcmp(runtime.command_line, "oru \"my script.oru\" -v");
        int local = 0;
        auto at = reinterpret_cast<uintptr_t>(&local);
        ok = ok && runtime.stack_low < at && at < runtime.stack_high;
        _exit(ok ? 0 : 1);
    };
    EXPECT_EXIT(check(), ::testing::ExitedWithCode(0), "");
}

TEST(TypedPrint, ItemsFollowEachOtherAndLineEnds) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    console::set_output_fd(fds[1]);
    TypedItem items[9];
    items[0].tag = TypedItem::logic, items[0].b = true;
    items[1].tag = TypedItem::logic, items[1].b = false;
    items[2].tag = TypedItem::integer, items[2].i = -42;
    items[3].tag = TypedItem::character, items[3].c = 'Z';
    items[4].tag = TypedItem::float32, items[4].f = 1.0f / 3.0f;
    items[5].tag = TypedItem::float64, items[5].d = 0.1;
    items[6].tag = TypedItem::text, items[6].s = "ab c";
    items[7].tag = TypedItem::hex, items[7].u = 0xBEEF;
    items[8].tag = static_cast<TypedItem::Tag>(42), items[8].u = 0xDEADBEEF;  // any other tag
    print_typed(9, items);
    print_line_typed(2, items);
    console::set_output_fd(1);
    close(fds[1]);
    std::string out;
    char buf[256];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    EXPECT_EQ(out, "truefalse-42Z0.33333330.1ab c0000BEEFDEADBEEFtruefalse\n");
}

TEST(Numeric, RoundUp) {
    EXPECT_EQ(round_up(0, 16), 0u);
    EXPECT_EQ(round_up(1, 16), 16u);
    EXPECT_EQ(round_up(16, 16), 16u);
    EXPECT_EQ(round_up(17, 16), 32u);
    EXPECT_EQ(round_up(4097, 4096), 8192u);
}

TEST(Numeric, DegreesToRadians) {
    struct Case {
        double deg;
        AngleKind kind;
        double folded;  // degrees after folding
    } cases[] = {
        {30, AngleKind::cosine, 30},    {390, AngleKind::cosine, 30},   {270, AngleKind::cosine, -90},
        {-270, AngleKind::cosine, 90},  {180, AngleKind::cosine, 180},  {150, AngleKind::sine, 30},
        {-150, AngleKind::sine, -30},   {100, AngleKind::sine, 80},     {135, AngleKind::tangent, -45},
        {-135, AngleKind::tangent, 45}, {45, AngleKind::tangent, 45},   {720, AngleKind::sine, 0},
    };
    for (const Case& c : cases) {
        double r = degrees_to_radians(c.deg, c.kind);
        EXPECT_NEAR(r, c.folded * M_PI / 180.0, 1e-12) << c.deg;
    }
    // Folding keeps the function's value.
    for (double d = -720; d <= 720; d += 7.5) {
        EXPECT_NEAR(std::sin(degrees_to_radians(d, AngleKind::sine)), std::sin(d * M_PI / 180), 1e-9) << d;
        EXPECT_NEAR(std::cos(degrees_to_radians(d, AngleKind::cosine)), std::cos(d * M_PI / 180), 1e-9) << d;
    }
}
