// Mold cycle tracking: the depth limit, the markers and their budgets, the
// guard, node remapping; indentation and the pattern fill.
#include "runtime/cycles.h"

#include "runtime/datatypes/string.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/system.h"

#include "support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace oru;

namespace {

class Cycles : public ::testing::Test {
protected:
    void SetUp() override {
        memory::init();
        cycles::reset();
        string::make_at(buffer, 16);
    }
    void TearDown() override {
        cycles::reset();
        memory::release_all();
    }

    // The buffer's text (1-byte characters only).
    std::string text() const { return test::ascii(buffer); }

    Cell buffer{};
};

TEST_F(Cycles, TheThousandthPushRaisesTooDeepAndEmptiesTheStack) {
    for (Node n = 1; n < 1000; n++) cycles::push(n);
    EXPECT_EQ(cycles::depth(), 999);
    EXPECT_TRUE(cycles::find(1));
    EXPECT_TRUE(cycles::find(999));
    try {
        cycles::push(1000);
        FAIL() << "no error";
    } catch (const SystemThrow& t) {
        EXPECT_EQ(t.code, throw_code::error);
        EXPECT_EQ(pending_error.id, ErrorId::internal_too_deep);
    }
    EXPECT_EQ(cycles::depth(), 0);
    EXPECT_FALSE(cycles::find(1));
    // Usable again at once.
    cycles::push(7);
    EXPECT_TRUE(cycles::find(7));
}

TEST_F(Cycles, PopAndDropNeverGoBelowEmpty) {
    cycles::pop();
    EXPECT_EQ(cycles::depth(), 0);
    for (Node n = 1; n <= 5; n++) cycles::push(n);
    cycles::drop(2);
    EXPECT_EQ(cycles::depth(), 3);
    EXPECT_FALSE(cycles::find(4));
    EXPECT_TRUE(cycles::find(3));
    cycles::drop(10);
    EXPECT_EQ(cycles::depth(), 0);
    cycles::drop(-1);
    EXPECT_EQ(cycles::depth(), 0);
}

TEST_F(Cycles, MarkersByTypeAndMode) {
    struct Case {
        u32 type;
        const char* mold;
    } cases[] = {
        {type::block, "[...]"},         {type::hash, "[...]"},     {type::paren, "(...)"},
        {type::map, "#[...]"},          {type::path, "..."},       {type::lit_path, "..."},
        {type::set_path, "..."},        {type::get_path, "..."},   {type::object, "make object! [...]"},
    };
    const Node node = 42;
    cycles::push(node);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mold);
        // An object is known by its context (word 1), a series by its node (word 2).
        Cell v = c.type == type::object ? cell::make(c.type, node, 99, 0) : cell::make(c.type, 99, node, 0);
        for (bool mold : {true, false}) {
            memory::buffer(cell::node(buffer))->tail = 0;
            i32 budget = 100;
            ASSERT_TRUE(cycles::mold_marker(v, buffer, budget, mold));
            const std::string expected = mold ? c.mold : "...";
            EXPECT_EQ(text(), expected);
            EXPECT_EQ(budget, 100 - static_cast<i32>(expected.size()));
        }
        // The other identity word does not count.
        Cell other = c.type == type::object ? cell::make(c.type, 99, node, 0) : cell::make(c.type, node, 99, 0);
        i32 budget = 100;
        EXPECT_FALSE(cycles::mold_marker(other, buffer, budget, true));
        EXPECT_EQ(budget, 100);
    }
    // Types without a marker are never reported, even when their node is on the stack.
    memory::buffer(cell::node(buffer))->tail = 0;
    i32 budget = 100;
    EXPECT_FALSE(cycles::mold_marker(cell::make(type::string, 0, node, 0), buffer, budget, true));
    EXPECT_EQ(text(), "");
    EXPECT_EQ(budget, 100);
}

TEST_F(Cycles, GuardPopsWhenAnErrorUnwinds) {
    cycles::push(1);
    try {
        cycles::Guard g(2);
        EXPECT_TRUE(cycles::find(2));
        fire(ErrorId::internal_not_done);
    } catch (const SystemThrow&) {
    }
    EXPECT_FALSE(cycles::find(2));
    EXPECT_EQ(cycles::depth(), 1);
}

TEST_F(Cycles, RemapFollowsMovedNodes) {
    for (Node n : {10u, 20u, 30u}) cycles::push(n);
    cycles::remap([](Node old_node) -> Node { return old_node == 20 ? 21 : 0; });
    EXPECT_TRUE(cycles::find(10));
    EXPECT_FALSE(cycles::find(20));
    EXPECT_TRUE(cycles::find(21));
    EXPECT_TRUE(cycles::find(30));
}

TEST_F(Cycles, IndentWritesFourSpacesALevel) {
    EXPECT_EQ(mold_indent(buffer, 3, 100), 88);
    EXPECT_EQ(text(), std::string(12, ' '));
    EXPECT_EQ(mold_indent(buffer, 0, 5), 5);
    EXPECT_EQ(mold_indent(buffer, -2, 5), 5);
    EXPECT_EQ(text().size(), 12u);
}

TEST(Fill, RepeatsTheFirstUnit) {
    for (size_t unit : {1u, 3u, 16u}) {
        for (size_t count : {0u, 1u, 2u, 3u, 5u, 8u, 1000u}) {
            SCOPED_TRACE(testing::Message() << "unit " << unit << " count " << count);
            // Exactly sized, with one guard unit after it that must stay untouched.
            std::vector<u8> mem((count + 1) * unit, 0xEE);
            for (size_t i = 0; i < unit; i++) mem[i] = static_cast<u8>(i + 1);
            fill(mem.data(), unit, count);
            for (size_t k = 1; k < count; k++)
                for (size_t i = 0; i < unit; i++) ASSERT_EQ(mem[k * unit + i], static_cast<u8>(i + 1));
            for (size_t i = std::max<size_t>(count, 1) * unit; i < mem.size(); i++) ASSERT_EQ(mem[i], 0xEE);
        }
    }
}

}  // namespace
