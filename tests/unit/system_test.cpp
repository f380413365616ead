// System layer: catch levels, tracked heap blocks, runtime error texts and
// exits, numeric helpers.
#include "runtime/system.h"

#include <gtest/gtest.h>

#include <cmath>

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
