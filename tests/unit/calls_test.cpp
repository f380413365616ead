// Runtime calls of compiled code: root records, argument checks against
// typesets, the float range check, refinement clearing and the select/switch
// lookup (never past the block's tail).
#include "runtime/calls.h"

#include "interpreter/stack.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/typeset.h"
#include "runtime/datatypes/unset.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/system.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <optional>

using namespace oru;

namespace {

class Calls : public ::testing::Test {
protected:
    void SetUp() override {
        memory::init();
        symbol::init(4000);
        stack::init(memory::alloc_fixed_series(stack::data_cells, 16, 0),
                    memory::alloc_fixed_series(stack::frame_block_cells, 16, 0));
        datatype::init();
        unset::init();
        none::init();
        logic::init();
        typeset::init();
        stack::mark_native(stack::word(0));
        stack::push(unset::value);
    }
    void TearDown() override {
        set_root_block(0);
        stack::shutdown();
        memory::release_all();
    }

    template <class F>
    std::optional<ErrorId> error_of(F&& f) {
        Cell* saved = stack::top;
        std::optional<ErrorId> id;
        stack::mark_try(stack::word(0));
        try {
            f();
            stack::unwind();
        } catch (const SystemThrow& t) {
            EXPECT_EQ(t.code, throw_code::error);
            id = pending_error.id;
        }
        stack::top = saved;
        return id;
    }

    template <class F>
    void in_frame(F&& body) {
        Cell* saved = stack::top;
        stack::mark_native(stack::word(0));
        body();
        stack::unwind();
        stack::top = saved;
    }

    static Cell block_of(std::initializer_list<Cell> cells, i32 room = 8) {
        Node n = memory::alloc_cells(room);
        for (const Cell& c : cells) *memory::alloc_tail(n) = c;
        return cell::make(type::block, 0, n, 0);
    }
};

bool same(const Cell& a, const Cell& b) { return std::memcmp(&a, &b, sizeof(Cell)) == 0; }

Cell of(std::initializer_list<u32> types) {
    Cell ts = typeset::make();
    for (u32 t : types) typeset::set_bit(ts, t);
    return ts;
}

TEST_F(Calls, FloatRangeIsCheckedNeverUndefined) {
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    struct Case {
        Cell value;
        std::optional<i32> expected;  // none: out of range
    } cases[] = {
        {cell::float_(2147483647.0), 2147483647},
        {cell::float_(2147483648.0), std::nullopt},
        {cell::float_(2147483647.5), std::nullopt},  // above the limit, though it would truncate into range
        {cell::float_(-2147483648.0), std::numeric_limits<i32>::min()},
        {cell::float_(-2147483648.5), std::nullopt},
        {cell::float_(-0.5), 0},
        {cell::float_(1.99), 1},
        {cell::float_(-1.99), -1},
        {cell::float_(nan), std::nullopt},
        {cell::float_(inf), std::nullopt},
        {cell::float_(-inf), std::nullopt},
        {cell::integer(-7), -7},
        {cell::make(type::percent, 0, cell::float_(12.9).data2, cell::float_(12.9).data3), 12},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(cell::get_float(c.value));
        i32 got = 0;
        std::optional<ErrorId> err = error_of([&] { got = check_float_range(c.value); });
        if (c.expected) {
            EXPECT_EQ(err, std::nullopt);
            EXPECT_EQ(got, *c.expected);
        } else {
            EXPECT_EQ(err, ErrorId::script_out_of_range);
            EXPECT_TRUE(same(pending_error.args[0], c.value));
        }
    }
    EXPECT_EQ(error_of([] { check_float_range(none::value); }), ErrorId::script_invalid_arg);
}

TEST_F(Calls, ArgumentTypeChecks) {
    // Type 0 is bit 7 of byte 0.
    Cell zero_only = of({0});
    Cell zero_value = cell::make(0);
    EXPECT_EQ(check_arg_type(zero_only, 1, &zero_value), &zero_value);
    Cell logic_only = of({type::logic});
    EXPECT_EQ(error_of([&] { check_arg_type(logic_only, 1, &zero_value); }), ErrorId::script_expect_arg);

    Cell number = cell::integer(5);
    EXPECT_EQ(error_of([&] { check_arg_type(logic_only, 3, &number); }), ErrorId::script_expect_arg);
    EXPECT_EQ(cell::type_of(pending_error.args[0]), type::word);  // the call's name
    EXPECT_TRUE(same(pending_error.args[1], datatype::make(type::integer)));
    EXPECT_TRUE(same(pending_error.args[2], cell::integer(3)));

    // Refinement-guarded checks: only a set refinement checks.
    for (const Cell& refinement : {logic::false_value, none::value})
        EXPECT_EQ(check_arg_type_at(refinement, logic_only, 2, &number), &number);
    EXPECT_EQ(error_of([&] { check_arg_type_at(logic::true_value, logic_only, 2, &number); }),
              ErrorId::script_expect_arg);

    // Checks by stack index; a negative index skips.
    in_frame([&] {
        stack::push(logic::true_value);
        stack::push(cell::integer(1));
        EXPECT_EQ(check_arg_type_index(0, logic_only, 1), 0);
        EXPECT_EQ(check_arg_type_index(-1, logic_only, 2), -1);
        EXPECT_EQ(error_of([&] { check_arg_type_index(1, logic_only, 2); }), ErrorId::script_expect_arg);
    });

    // An unset argument.
    Cell u = unset::value;
    EXPECT_EQ(check_arg_set(1, &number), &number);
    EXPECT_EQ(error_of([&] { check_arg_set(2, &u); }), ErrorId::script_expect_arg);
    EXPECT_TRUE(same(pending_error.args[1], datatype::make(type::unset)));
}

TEST_F(Calls, ClearRefinementArgs) {
    in_frame([] {
        for (i32 i = 0; i < 5; i++) stack::push(cell::integer(i));  // result, refinement, three arguments
        Cell* args = stack::arguments;
        clear_refinement_args(none::value, 1, 2);
        EXPECT_TRUE(same(args[1], cell::integer(1)));
        EXPECT_EQ(cell::type_of(args[2]), type::none);
        EXPECT_EQ(cell::type_of(args[3]), type::none);
        EXPECT_TRUE(same(args[4], cell::integer(4)));
        args[2] = cell::integer(2);
        clear_refinement_args(cell::integer(0), 1, 2);  // any value but none and false is true
        EXPECT_TRUE(same(args[1], logic::true_value));
        EXPECT_TRUE(same(args[2], cell::integer(2)));
    });
}

TEST_F(Calls, FindInBlock) {
    const Cell L = datatype::make(type::logic), N = datatype::make(type::none);
    const Cell T = logic::true_value, F = logic::false_value, n = none::value;
    const Cell body1 = block_of({cell::integer(1)}), body2 = block_of({cell::integer(2)});
    const Cell pairs = block_of({L, T, N, F});
    Cell pairs_at_2 = pairs;
    pairs_at_2.data1 = 2;
    const Cell cases_block = block_of({L, N, body1, T, body2});
    struct Case {
        const char* what;
        Cell key, block;
        bool push, block_flag;
        Cell expected;
    } cases[] = {
        {"select a key", N, pairs, false, false, F},
        {"pairs skip the values", T, pairs, false, false, n},
        {"from the block's position", L, pairs_at_2, false, false, n},
        {"one cell at a time", T, pairs, true, false, N},
        {"the last cell is its own result", F, pairs, true, false, F},
        {"a case's body", L, cases_block, true, true, body1},
        {"shared body", N, cases_block, true, true, body1},
        {"next body", T, cases_block, true, true, body2},
        {"a block key is never found", body1, block_of({body1, body1}), true, false, n},
        {"types must match", cell::integer(1), block_of({T, cell::integer(1)}), false, false, n},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        in_frame([&] {
            stack::push(c.key);
            stack::push(c.block);
            Cell* before = stack::top;
            find_in_block(c.push, c.block_flag);
            if (c.push) {
                ASSERT_EQ(stack::top, before + 1);
                EXPECT_TRUE(same(*stack::last_pushed(), c.expected));
            } else {
                EXPECT_EQ(stack::top, before);
                EXPECT_TRUE(same(*stack::arguments, c.expected));
            }
        });
    }
}

TEST_F(Calls, FindInBlockStopsAtTheTail) {
    // A case value with no body after it: the search must not read the stale
    // block! cell that lies in the buffer just past the tail.
    const Cell N = datatype::make(type::none);
    Cell blk = block_of({datatype::make(type::logic), N, logic::true_value}, 8);
    SeriesBuffer* s = memory::buffer(cell::node(blk));
    s->cells()[3] = block_of({});
    in_frame([&] {
        stack::push(N);
        stack::push(blk);
        find_in_block(true, true);
        EXPECT_EQ(cell::type_of(*stack::last_pushed()), type::none);
    });
}

TEST_F(Calls, LiteralRecordsOfTheRootBlock) {
    Node root = memory::alloc_fixed_series(8, 16, 0);
    *memory::alloc_tail(root) = cell::integer(10);
    *memory::alloc_tail(root) = cell::make(type::object, 77, 5, 0);
    set_root_block(root);
    EXPECT_EQ(literal_cell(0), memory::buffer(root)->cells());
    EXPECT_EQ(literal_cell(0)->data2, 10u);
    EXPECT_EQ(literal_node(1), 77u);
    for (i32 n : {2, 7, -1}) EXPECT_EQ(error_of([&] { literal_cell(n); }), ErrorId::internal_limit_hit) << n;
}

}  // namespace
