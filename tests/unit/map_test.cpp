// map!'s pair block under churn: removed pairs are dropped once they
// outnumber the live ones, which a script cannot see (it only sees the live
// pairs).
#include "boot/boot.h"
#include "interpreter/evaluator.h"
#include "interpreter/stack.h"
#include "runtime/collector.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/runtime.h"
#include "runtime/system.h"
#include "support.h"

#include <gtest/gtest.h>

using namespace oru;

namespace {

class MapPairs : public ::testing::Test {
public:
    void SetUp() override {
        runtime_init();
        interpreter::init();
        boot::define_base();
        root_allocation = false;
        collector::enable(true);
        base = stack::top;
    }
    void TearDown() override { runtime_shutdown(); }

    // Evaluates the text; its last value.
    Cell run(const char* text) {
        stack::top = stack::arguments = base;
        CallFrame* frames = stack::frame_top;
        EXPECT_EQ(test::evaluate(text), 0u) << text;
        const Cell r = *stack::arguments;
        stack::frame_top = frames;
        stack::arguments = stack::top = base;
        return r;
    }

    // Cells in the pair block of the map in the word m.
    i64 pair_cells() {
        const Cell m = run("m");
        EXPECT_EQ(cell::type_of(m), type::map);
        return memory::buffer(cell::node(m))->length();
    }

    Cell* base = nullptr;
};

TEST_F(MapPairs, ChurnKeepsThePairBlockSmall) {
    // A cache: every key put, then removed.
    run("m: make map! [] repeat i 5000 [put m i i remove/key m i]");
    EXPECT_LE(pair_cells(), 4);
    // The removed pairs go at the next new key, not at the removal.
    run("m: make map! [] repeat i 100 [put m i i] repeat i 90 [remove/key m i]");
    EXPECT_EQ(pair_cells(), 200) << "removing alone moves nothing";
    run("put m 'new 0");
    EXPECT_EQ(pair_cells(), 2 * 11);
}

}  // namespace
