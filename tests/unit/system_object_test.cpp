// The kept system object: reads through it see every change, a path whose
// names are interned only later still finds them, the collector keeps the
// object and moves its buffers under the reads, and a runtime started again
// keeps nothing of the previous one.
#include "runtime/system_object.h"

#include "boot/boot.h"
#include "interpreter/evaluator.h"
#include "interpreter/natives_output.h"
#include "interpreter/stack.h"
#include "runtime/collector.h"
#include "runtime/datatypes/none.h"
#include "runtime/runtime.h"
#include "runtime/system.h"

#include "support.h"

#include <gtest/gtest.h>

using namespace oru;

namespace {

class SystemObject : public ::testing::Test {
protected:
    void SetUp() override {
        runtime_init();
        natives_output::register_all();
        interpreter::init();
        root_allocation = false;
        boot::define_base();
        // Start-up kept its own system object: these tests keep theirs.
        system_object::set(none::value);
        base = stack::top;
    }
    void TearDown() override {
        collector::enable(false);
        runtime_shutdown();
    }

    // Evaluates the text; its value.
    Cell run(const std::string& text) {
        stack::top = stack::arguments = base;
        EXPECT_EQ(test::evaluate(text), 0u) << text;
        const Cell v = *stack::arguments;
        stack::top = stack::arguments = base;
        return v;
    }

    Cell* base = nullptr;
};

TEST_F(SystemObject, ReadsFollowTheObjectAndItsFields) {
    static system_object::Path depth{"state", "depth"};
    EXPECT_EQ(system_object::get(), nullptr);
    EXPECT_EQ(system_object::integer_at(depth, -7), -7);

    // The names of the path exist only once the object is made.
    system_object::set(run("held: make object! [state: make object! [depth: 3]]"));
    EXPECT_EQ(system_object::integer_at(depth, -7), 3);
    run("held/state/depth: 4");
    EXPECT_EQ(system_object::integer_at(depth, -7), 4);
    run("held/state: make object! [depth: \"x\"]");
    EXPECT_EQ(system_object::integer_at(depth, -7), -7);
    // A field's letter case is ignored, as in paths.
    run("held/state: make object! [DEPTH: 5]");
    EXPECT_EQ(system_object::integer_at(depth, -7), 5);
    const Cell* v = system_object::select({"state", "depth"});
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->data2, 5u);
    EXPECT_EQ(system_object::select({"state", "depth", "deeper"}), nullptr);
    EXPECT_EQ(system_object::select({"no-such-field"}), nullptr);

    // The word the object came from is not what is read.
    run("held: make object! [state: make object! [depth: 9]]");
    EXPECT_EQ(system_object::integer_at(depth, -7), 5);

    system_object::set(cell::integer(1));  // not an object: none kept
    EXPECT_EQ(system_object::get(), nullptr);
    EXPECT_EQ(system_object::integer_at(depth, -7), -7);
}

TEST_F(SystemObject, TheSlotKeepsTheObjectThroughCollections) {
    static system_object::Path name{"inner", "name"};
    system_object::set(run("make object! [inner: make object! [name: 42]]"));
    collector::enable(true);
    // Garbage made around the object, then full cycles that move what lives.
    run("loop 200 [make object! [a: copy \"garbage\"]]");
    collector::recycle();
    run("loop 200 [copy [1 2 3]]");
    collector::recycle();
    EXPECT_EQ(system_object::integer_at(name, 0), 42);
}

TEST_F(SystemObject, ARuntimeStartedAgainKeepsNothing) {
    static system_object::Path field{"field"};
    system_object::set(run("make object! [field: 1]"));
    EXPECT_EQ(system_object::integer_at(field, 0), 1);
    runtime_shutdown();
    runtime_init();
    EXPECT_EQ(system_object::get(), nullptr);
    EXPECT_EQ(system_object::integer_at(field, 0), 0);
    base = stack::top;
}

}  // namespace
