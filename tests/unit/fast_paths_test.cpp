// The compiled-code fast paths of the actions module: the integer, float and
// block cases against what the full actions give (the same values, the
// overflow to float!), the fallback road's frame named by the word, and
// what each entry leaves on the data stack.
#include "boot/boot.h"
#include "interpreter/actions.h"
#include "interpreter/evaluator.h"
#include "interpreter/stack.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/fire.h"
#include "runtime/runtime.h"
#include "runtime/system.h"
#include "support.h"

#include <gtest/gtest.h>

#include <climits>

using namespace oru;

namespace {

class FastPaths : public ::testing::Test {
public:
    void SetUp() override {
        runtime_init();
        interpreter::init();
        boot::define_base();
        stack::push(none::value);
        stack::mark_native(stack::word(0));  // a caller's frame with its result slot
        stack::push(none::value);
    }
    void TearDown() override { runtime_shutdown(); }

    Cell word(const char* name) { return stack::word(symbol::make(name)); }
    Cell* block_of(std::initializer_list<i32> values) {
        Cell* b = stack::push();
        block::make_at(*b, 4);
        for (i32 v : values) block::rs_append(*b, cell::integer(v));
        return b;
    }
    // The value the full action gives for l op r, through its stack entry.
    Cell action_result(u32 slot, const Cell& l, const Cell& r) {
        return test::call_action(slot, {l, r});
    }
};

bool same_value(const Cell& a, const Cell& b) {
    return a.header == b.header && a.data1 == b.data1 && a.data2 == b.data2 && a.data3 == b.data3;
}

TEST_F(FastPaths, IntegerMathMatchesTheActions) {
    const Cell add = word("add");
    struct Op {
        i32 code;
        u32 slot;
    } ops[] = {{actions::math_code::add, action::add},       {actions::math_code::subtract, action::subtract},
               {actions::math_code::multiply, action::multiply}, {actions::math_code::or_, action::or_},
               {actions::math_code::and_, action::and_},       {actions::math_code::xor_, action::xor_}};
    const i32 values[] = {0, 1, -1, 7, -3, 65536, INT32_MAX, INT32_MIN};
    for (const Op& op : ops)
        for (i32 l : values)
            for (i32 r : values) {
                Cell* top = stack::top;
                const Cell fast = *actions::math_op(op.code, add, cell::integer(l), cell::integer(r));
                EXPECT_EQ(stack::top, top + 1);
                stack::top = top;
                const Cell full = action_result(op.slot, cell::integer(l), cell::integer(r));
                EXPECT_TRUE(same_value(fast, full)) << op.code << " " << l << " " << r;
            }
    const Cell w = word("w");
    EXPECT_EQ(cell::get_float(*actions::math_op_int(0, w, cell::integer(INT32_MAX), 1)), 2147483648.0);
    EXPECT_EQ(cell::get_float(*actions::math_op_int(1, w, cell::integer(INT32_MIN), 1)), -2147483649.0);
    EXPECT_EQ(cell::get_float(*actions::math_op_int(2, w, cell::integer(65536), 65536)), 4294967296.0);
    EXPECT_EQ(cell::get_float(*actions::math_op(2, w, cell::float_(1.5), cell::float_(-2.0))), -3.0);
}

// Other operands go to the action in a frame named by the word: a mixed
// sum is the action's, an error names the word.
TEST_F(FastPaths, OtherOperandsTakeTheActionsRoad) {
    Cell* top = stack::top;
    const Cell mixed = *actions::math_op(0, word("plus"), cell::integer(1), cell::float_(0.5));
    EXPECT_EQ(cell::get_float(mixed), 1.5);
    EXPECT_EQ(stack::top, top + 1);
    stack::top = top;
    Cell* blk = block_of({1});
    const Cell b = *blk;
    const auto id = test::error_of([&] { actions::math_op(0, word("plus"), b, cell::integer(1)); });
    ASSERT_TRUE(id);
    EXPECT_EQ(*id, ErrorId::script_expect_arg);
    EXPECT_EQ(symbol::canonical(static_cast<i32>(pending_error.where.data2)), symbol::canonical(symbol::make("plus")));
    const auto order = test::error_of([&] { actions::compare_op(3, word("less"), b, cell::integer(1)); });
    ASSERT_TRUE(order);
    EXPECT_EQ(*order, ErrorId::script_invalid_compare);
    EXPECT_EQ(symbol::canonical(static_cast<i32>(pending_error.where.data2)), symbol::canonical(symbol::make("less")));
}

TEST_F(FastPaths, Comparisons) {
    const Cell w = word("w");
    Cell* top = stack::top;
    EXPECT_TRUE(logic::get(*actions::compare_op_int(3, w, cell::integer(1), 2)));
    EXPECT_FALSE(logic::get(*actions::compare_op(0, w, cell::integer(1), cell::float_(1.5))));
    EXPECT_TRUE(logic::get(*actions::compare_op(0, w, cell::integer(1), cell::float_(1.0))));
    EXPECT_EQ(stack::top, top + 3);
    // The test leaves the stack alone; negate inverts it.
    top = stack::top;
    EXPECT_TRUE(actions::compare_test_int(6, w, cell::integer(2), 2, false));
    EXPECT_FALSE(actions::compare_test_int(6, w, cell::integer(2), 2, true));
    EXPECT_TRUE(actions::compare_test(1, w, cell::integer(2), cell::float_(2.5), false));
    EXPECT_EQ(stack::top, top);
    // The set form writes the caller's result slot.
    EXPECT_TRUE(actions::compare_set_int(5, w, cell::integer(3), 2));
    EXPECT_TRUE(logic::get(*stack::arguments));
    EXPECT_FALSE(actions::compare_set(2, w, cell::integer(3), cell::float_(3.0)));
    EXPECT_FALSE(logic::get(*stack::arguments));
    // The top forms replace the last pushed value.
    Cell* first = stack::push(cell::integer(5));
    Cell* r = actions::compare_op_top_int(4, w, *first, 5);
    EXPECT_EQ(r, first);
    EXPECT_TRUE(logic::get(*first));
    Cell* second = stack::push(cell::integer(5));
    Cell* m = actions::math_op_top_int(0, w, *second, 1);
    EXPECT_EQ(m, second);
    EXPECT_EQ(second->data2, 6u);
}

TEST_F(FastPaths, BlockSteps) {
    const Cell w = word("w");
    Cell* b = block_of({10, 20, 30});
    auto step = [&](const Cell& v, i32 op) { return *actions::fast_step(v, op, w); };
    EXPECT_EQ(step(*b, actions::step_code::length_q).data2, 3u);
    Cell at_tail = *b;
    at_tail.data1 = 3;
    EXPECT_EQ(step(at_tail, actions::step_code::next).data1, 3u);
    EXPECT_EQ(step(*b, actions::step_code::back).data1, 0u);
    EXPECT_EQ(step(*b, actions::step_code::tail).data1, 3u);
    EXPECT_TRUE(logic::get(step(at_tail, actions::step_code::tail_q)));
    EXPECT_EQ(step(at_tail, actions::step_code::index_q).data2, 4u);
    EXPECT_EQ(actions::fast_pick(*b, 2, w)->data2, 20u);
    EXPECT_EQ(cell::type_of(*actions::fast_pick(*b, 0, w)), type::none);
    EXPECT_EQ(cell::type_of(*actions::fast_pick(*b, 4, w)), type::none);
    // Another series takes the actions: "abc".
    Cell* s = stack::push();
    string::make_at(*s, 3);
    string::concatenate_literal(*s, "abc");
    EXPECT_EQ(step(*s, actions::step_code::length_q).data2, 3u);
    EXPECT_EQ(step(*s, actions::step_code::next).data1, 1u);
    const Cell picked = *actions::fast_pick(*s, 2, w);
    EXPECT_EQ(cell::type_of(picked), type::char_);
    EXPECT_EQ(picked.data2, static_cast<u32>('b'));
}

}  // namespace
