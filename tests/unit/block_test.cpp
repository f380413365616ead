// block!: make and to, form and mold (new-line markers, indentation, cycle
// markers, budgets), comparison (an empty operand included), deep copies and
// their cycle guard, insertion and change (a block into itself included),
// take, swap, trim, path access and the cell-buffer helpers.
#include "interpreter/actions.h"
#include "interpreter/stack.h"
#include "runtime/cycles.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/paren.h"
#include "runtime/datatypes/path.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/typeset.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/registry.h"
#include "runtime/runtime.h"
#include "runtime/system.h"

#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

using namespace oru;

namespace {

using namespace test;

// integer! and word! text and comparison, until their modules register.
i32 integer_form(Cell* v, Cell* buffer, Cell*, i32 limit) {
    return limit - string::concatenate_literal(*buffer, std::to_string(static_cast<i32>(v->data2)).c_str());
}
i32 integer_mold(Cell* v, Cell* buffer, bool, bool, bool, Cell* part, i32 limit, i32) {
    return integer_form(v, buffer, part, limit);
}
i32 integer_compare(Cell* a, Cell* b, i32) {
    if (cell::type_of(*b) != type::integer) return -2;
    i32 x = static_cast<i32>(a->data2), y = static_cast<i32>(b->data2);
    return x < y ? -1 : x > y ? 1 : 0;
}
i32 word_mold(Cell* v, Cell* buffer, bool, bool, bool, Cell*, i32 limit, i32) {
    return limit - string::concatenate_literal(*buffer, symbol::get_c_string(static_cast<i32>(v->data2)));
}

class Block : public ::testing::Test {
protected:
    void SetUp() override {
        runtime_init();
        series::init();
        block::init();
        path::init();
        paren::init();
        stand_in(type::integer, "integer!",
                 ActionTable{.form = integer_form, .mold = integer_mold, .compare = integer_compare});
        stand_in(type::word, "word!", ActionTable{.form = integer_form, .mold = word_mold});
        cycles::reset();
    }
    void TearDown() override {
        cycles::reset();
        // The stand-ins leave no rows behind for tests that skip start-up.
        for (u32 t : stand_ins) {
            std::fill_n(registry::actions + t * registry::row_size, registry::row_size, nullptr);
            registry::datatypes[t] = {};
        }
        runtime_shutdown();
    }

    // Registers a stand-in for a type whose module has not registered mold.
    void stand_in(u32 t, const char* spelling, const ActionTable& table) {
        if (registry::entry(t, action::mold)) return;
        registry::add(t, 0, spelling, table);
        stand_ins.push_back(t);
    }
    std::vector<u32> stand_ins;

    static Cell w(const char* s) { return cell::make(type::word, 0, static_cast<u32>(symbol::make(s)), 0xFFFFFFFF); }
    static Cell nl(Cell c) {
        c.header |= flag::new_line;
        return c;
    }
    static Cell make_block(std::initializer_list<Cell> cells, u32 t = type::block, i32 head = 0) {
        Node n = memory::alloc_cells(static_cast<i32>(cells.size()) + 1);
        for (const Cell& c : cells) *memory::alloc_tail(n) = c;
        return cell::make(t, static_cast<u32>(head), n, 0);
    }
    static Cell ints(std::initializer_list<i32> values, i32 head = 0) {
        Node n = memory::alloc_cells(static_cast<i32>(values.size()) + 1);
        for (i32 v : values) *memory::alloc_tail(n) = cell::integer(v);
        return cell::make(type::block, static_cast<u32>(head), n, 0);
    }
    static Cell* at(const Cell& blk, i32 i) { return memory::buffer(cell::node(blk))->cells() + i; }
    static i32 length(const Cell& blk) { return static_cast<i32>(memory::buffer(cell::node(blk))->length()); }

    static std::string mold(const Cell& v, bool only = false, bool flat = false) {
        return test::written(v, true, only, flat);
    }
    static std::string form(const Cell& v) { return test::written(v, false); }
};

TEST_F(Block, MakeAndTo) {
    struct Case {
        u32 slot, t;
        Cell spec;
        std::string molded;
        i32 room;  // cells the buffer holds at least
    } cases[] = {
        {action::make, type::block, cell::integer(0), "[]", 1},
        {action::make, type::block, cell::integer(-5), "[]", 1},
        {action::make, type::block, cell::float_(3.9), "[]", 3},
        {action::make, type::paren, ints({1, 2}, 1), "(2)", 1},
        {action::to, type::block, cell::integer(5), "[5]", 1},
        {action::to, type::paren, ints({1, 2}), "(1 2)", 2},
    };
    for (const Case& c : cases) {
        Cell r = call_action(c.slot, {datatype::make(c.t), c.spec});
        EXPECT_EQ(cell::type_of(r), c.t);
        EXPECT_EQ(cell::head_index(r), 0);
        EXPECT_EQ(mold(r), c.molded);
        EXPECT_GE(memory::buffer(cell::node(r))->size, c.room * 16);
        if (series::block_like_q(cell::type_of(c.spec))) {
            EXPECT_NE(cell::node(r), cell::node(c.spec)) << "a copy";
        }
    }
    Cell ts = typeset::make();
    typeset::set_bit(ts, type::integer);
    typeset::set_bit(ts, type::block);
    Cell r = call_action(action::to, {datatype::make(type::block), ts});
    EXPECT_EQ(length(r), 2);
    EXPECT_EQ(cell::type_of(*at(r, 0)), type::word);

    EXPECT_EQ(test::error_unrolled([] { call_action(action::make, {datatype::make(type::block), cell::make(type::logic, 1)}); }),
              ErrorId::script_bad_make_arg);
    EXPECT_EQ(pending_error.args[0].data1, type::block);
    EXPECT_EQ(cell::type_of(pending_error.args[1]), type::logic);
}

TEST_F(Block, MoldWritesNewLinesAndIndentation) {
    struct Case {
        Cell value;
        bool only, flat;
        const char* expected;
    } cases[] = {
        {make_block({cell::integer(1), cell::integer(2)}), false, false, "[1 2]"},
        {make_block({cell::integer(1), nl(cell::integer(2))}), false, false, "[1\n2]"},
        {make_block({nl(cell::integer(1)), nl(cell::integer(2))}), false, false, "[\n    1\n    2\n]"},
        {make_block({nl(cell::integer(1)), nl(cell::integer(2))}), true, false, "1\n2"},
        {make_block({nl(cell::integer(1)), nl(cell::integer(2))}), false, true, "[1 2]"},
        {make_block({cell::integer(1), make_block({nl(cell::integer(2)), cell::integer(3)})}), false, false,
         "[1 [\n    2 3\n]]"},
        {make_block({nl(make_block({nl(cell::integer(2))}))}), false, false, "[\n    [\n        2\n    ]\n]"},
        {make_block({cell::integer(1), nl(cell::integer(2))}, type::paren), false, false, "(1\n2)"},
        {make_block({cell::integer(1), cell::integer(2)}, type::paren), true, false, "1 2"},
        {ints({1, 2, 3}, 1), false, false, "[2 3]"},
    };
    for (const Case& c : cases) EXPECT_EQ(mold(c.value, c.only, c.flat), c.expected);
}

TEST_F(Block, SelfReferenceWritesMarkers) {
    Cell blk = ints({1});
    block::rs_append(blk, blk);
    EXPECT_EQ(mold(blk), "[1 [...]]");
    EXPECT_EQ(form(blk), "1 ...");
    Cell p = make_block({cell::integer(1)}, type::paren);
    block::rs_append(p, p);
    EXPECT_EQ(mold(p), "(1 (...))");
    // Through another block and back.
    Cell outer = ints({}), inner = make_block({}, type::paren);
    block::rs_append(outer, inner);
    block::rs_append(inner, outer);
    EXPECT_EQ(mold(outer), "[([...])]");
    EXPECT_EQ(cycles::depth(), 0);
}

TEST_F(Block, FormAndMoldBudgets) {
    EXPECT_EQ(form(make_block({cell::integer(1), ints({2, 3}), cell::integer(4)})), "1 2 3 4");
    Cell blk = ints({1, 2, 3, 4, 5, 6, 7, 8});
    Cell r = call_action(action::mold, {blk, cell::integer(5)}, {-1, -1, -1, 1});
    EXPECT_EQ(ascii(r), "[1 2 ");
    // The handler stops once the budget is spent instead of molding it all.
    Cell* buffer = stack::push();
    string::make_at(*buffer, 16);
    Cell part = cell::integer(3);
    i32 left = actions::mold(stack::push(blk), buffer, false, false, false, &part, 3, 0);
    EXPECT_LE(left, 0);
    EXPECT_EQ(ascii(*buffer), "[1 2]") << "the closing bracket still goes out; the caller cuts";
}

TEST_F(Block, CompareOrdersByLengthWhenOneSideRunsOut) {
    struct Case {
        Cell a, b;
        i32 op, expected;
    } cases[] = {
        {ints({}), ints({1}), actions::op::lesser, -1},
        {ints({1}), ints({}), actions::op::lesser, 1},
        {ints({}), ints({}), actions::op::lesser, 0},
        {ints({}), ints({1}), actions::op::equal, 1},
        {ints({1, 2}), ints({1, 3}), actions::op::lesser, -1},
        {ints({1, 2}), ints({1}), actions::op::lesser, 1},
        {ints({1, 2}), ints({1, 2}), actions::op::equal, 0},
        {ints({5, 1}, 1), ints({1}), actions::op::equal, 0},
        {ints({1}), make_block({cell::make(type::logic, 1)}), actions::op::lesser, 1},  // by type number
        {make_block({cell::make(type::none)}), ints({0}), actions::op::lesser, -1},
        {ints({1}), make_block({cell::integer(1)}, type::paren), actions::op::equal, -2},
        {make_block({cell::integer(1)}, type::path), make_block({cell::integer(1)}, type::lit_path), 10, 0},
        {make_block({cell::integer(1)}, type::path), make_block({cell::integer(1)}, type::lit_path),
         actions::op::equal, -2},
    };
    for (Case& c : cases) EXPECT_EQ(actions::compare_raw(&c.a, &c.b, c.op), c.expected) << mold(c.a) << mold(c.b);

    // The boolean tests agree in both directions.
    Cell empty = ints({}), one = ints({1});
    EXPECT_TRUE(actions::compare(&empty, &one, actions::op::lesser));
    EXPECT_TRUE(actions::compare(&one, &empty, actions::op::greater));
    EXPECT_FALSE(actions::compare(&empty, &one, actions::op::greater_equal));
    // same? asks for the same series and position.
    Cell a = ints({1}), b = a, c = ints({1});
    EXPECT_EQ(actions::compare_raw(&a, &b, 9), 0);
    EXPECT_EQ(actions::compare_raw(&a, &c, 9), -1);
    // Two blocks that each contain themselves compare without endless recursion.
    Cell x = ints({1}), y = ints({1});
    block::rs_append(x, x);
    block::rs_append(y, y);
    EXPECT_EQ(actions::compare_raw(&x, &y, actions::op::equal), 0);
    EXPECT_EQ(cycles::depth(), 0);
}

TEST_F(Block, DeepCopiesAndTheCycleGuard) {
    Cell inner = ints({2, 3});
    Cell blk = make_block({cell::integer(1), nl(inner), cell::make(type::none)});
    Cell shallow = call_action(action::copy, {blk}, {-1, -1, -1});
    EXPECT_EQ(cell::node(*at(shallow, 1)), cell::node(inner));
    Cell deep = call_action(action::copy, {blk}, {-1, 0, -1});
    EXPECT_NE(cell::node(*at(deep, 1)), cell::node(inner));
    EXPECT_TRUE(at(deep, 1)->header & flag::new_line) << "the copied cell keeps its flags";
    EXPECT_EQ(mold(deep), mold(blk));
    Cell typed = call_action(action::copy, {blk, datatype::make(type::block)}, {-1, -1, 1});
    EXPECT_NE(cell::node(*at(typed, 1)), cell::node(inner));
    Cell untyped = call_action(action::copy, {blk, datatype::make(type::paren)}, {-1, -1, 1});
    EXPECT_EQ(cell::node(*at(untyped, 1)), cell::node(inner));

    Cell cyclic = ints({1});
    block::rs_append(cyclic, make_block({cell::integer(2)}));
    block::rs_append(*at(cyclic, 1), cyclic);
    EXPECT_EQ(test::error_unrolled([&] { call_action(action::copy, {cyclic}, {-1, 0, -1}); }), ErrorId::internal_no_cycle);
    EXPECT_EQ(cycles::depth(), 0);
    EXPECT_EQ(test::error_unrolled([&] { block::clone(cyclic, true, false); }), ErrorId::internal_no_cycle);
    EXPECT_EQ(cycles::depth(), 0);
    // A block shared twice (not a cycle) copies fine.
    Cell shared = ints({7});
    Cell twice = make_block({shared, shared});
    Cell copied = call_action(action::copy, {twice}, {-1, 0, -1});
    EXPECT_EQ(mold(copied), "[[7] [7]]");
}

TEST_F(Block, InsertAppendAndChange) {
    Cell blk = ints({1, 2, 3}, 1);
    Cell r = call_action(action::append, {blk, ints({8, 9})}, {-1, -1, -1});
    EXPECT_EQ(cell::head_index(r), 0) << "append returns the head";
    EXPECT_EQ(mold(r), "[1 2 3 8 9]");
    r = call_action(action::insert, {blk, ints({7, 6})}, {-1, -1, -1});
    EXPECT_EQ(cell::head_index(r), 3) << "insert returns the position after the insertion";
    EXPECT_EQ(mold(r), "[2 3 8 9]");
    r = call_action(action::insert, {blk, ints({4, 5, 6}), cell::integer(2)}, {2, -1, -1});
    EXPECT_EQ(mold(r), "[7 6 2 3 8 9]") << "/part keeps the first two";
    r = call_action(action::append, {blk, ints({4}), cell::integer(3)}, {-1, -1, 2});
    EXPECT_EQ(mold(r), "[1 4 5 7 6 2 3 8 9 4 4 4]") << "/dup";
    r = call_action(action::append, {ints({1}), ints({2})}, {-1, 0, -1});
    EXPECT_EQ(mold(r), "[1 [2]]") << "/only";
    r = call_action(action::insert, {ints({1}), ints({2}), cell::integer(0)}, {-1, -1, 2});
    EXPECT_EQ(mold(r), "[1]") << "/dup 0 inserts nothing";

    // A block into itself, at the tail and in the middle.
    Cell self = ints({1, 2});
    call_action(action::append, {self, self}, {-1, -1, -1});
    EXPECT_EQ(mold(self), "[1 2 1 2]");
    Cell mid = ints({1, 2, 3}, 1);
    r = call_action(action::insert, {mid, mid}, {-1, -1, -1});
    EXPECT_EQ(mold(call_action(action::head, {r})), "[1 2 3 2 3]");

    Cell c = ints({1, 2, 3, 4});
    r = call_action(action::change, {c, ints({8, 9})}, {-1, -1, -1});
    EXPECT_EQ(cell::head_index(r), 2);
    EXPECT_EQ(mold(c), "[8 9 3 4]");
    call_action(action::change, {c, cell::integer(0), cell::integer(3)}, {2, -1, -1});
    EXPECT_EQ(mold(c), "[0 4]") << "/part replaces three with one";
    r = call_action(action::change, {c, cell::integer(5), cell::integer(3)}, {-1, -1, 2});
    EXPECT_EQ(mold(c), "[5 5 5]") << "/dup replaces as many as it inserts, cut to the rest";
    Cell tail_change = ints({1}, 1);
    call_action(action::change, {tail_change, ints({2, 3})}, {-1, -1, -1});
    EXPECT_EQ(mold(call_action(action::head, {tail_change})), "[1 2 3]");
    Cell own = ints({1, 2, 3});
    Cell from = own;
    from.data1 = 1;
    call_action(action::change, {own, from}, {-1, -1, -1});
    EXPECT_EQ(mold(own), "[2 3 3]") << "the source is read before the block changes";
}

TEST_F(Block, TakeSwapAndTrim) {
    Cell ab = make_block({w("a"), w("b")});
    Cell r = call_action(action::take, {ab}, {-1, -1, -1});
    EXPECT_EQ(cell::type_of(r), type::word) << "take without /part gives the cell";
    EXPECT_EQ(mold(r), "a");
    Cell ab2 = make_block({w("a"), w("b")});
    EXPECT_EQ(mold(call_action(action::take, {ab2, cell::integer(1)}, {1, -1, -1})), "[a]");
    EXPECT_EQ(mold(ab2), "[b]");
    Cell inner = ints({5});
    Cell nested = make_block({inner, inner});
    r = call_action(action::take, {nested}, {-1, 0, -1});
    EXPECT_NE(cell::node(r), cell::node(inner)) << "/deep copies the taken series";
    r = call_action(action::take, {nested, cell::integer(1)}, {1, 0, -1});
    EXPECT_NE(cell::node(*at(r, 0)), cell::node(inner));
    EXPECT_EQ(cell::type_of(call_action(action::take, {nested}, {-1, -1, -1})), type::none);

    Cell x = ints({1, 2}), y = ints({3, 4}, 1);
    r = call_action(action::swap, {x, y});
    EXPECT_EQ(cell::node(r), cell::node(x));
    EXPECT_EQ(mold(x), "[4 2]");
    EXPECT_EQ(mold(call_action(action::head, {y})), "[3 1]");
    Cell at_tail = ints({9}, 1);
    call_action(action::swap, {x, at_tail});
    EXPECT_EQ(mold(x), "[4 2]") << "nothing at a tail";
    EXPECT_EQ(test::error_unrolled([&] { call_action(action::swap, {x, cell::integer(1)}); }), ErrorId::script_invalid_arg);

    Cell t = make_block({cell::make(type::none), cell::integer(1), cell::make(type::none), cell::integer(2),
                         cell::make(type::none)}, type::block, 1);
    call_action(action::trim, {t}, {-1, -1, -1, -1, -1, -1});
    EXPECT_EQ(mold(call_action(action::head, {t})), "[none 1 2]") << "from the position on";
}

TEST_F(Block, PathAccess) {
    Cell blk = make_block({w("a"), cell::integer(1), w("B"), cell::integer(2), w("c")});
    struct Case {
        Cell element;
        bool case_;
        std::string expected;
    } cases[] = {
        {cell::integer(2), false, "1"},  {cell::integer(9), false, "none"}, {w("a"), false, "1"},
        {w("b"), false, "2"},            {w("b"), true, "none"},            {w("B"), true, "2"},
        {w("c"), false, "none"},         {w("z"), false, "none"},
    };
    for (Case& c : cases) {
        Cell* top = stack::top;
        Cell* r = actions::eval_path(&blk, &c.element, nullptr, nullptr, nullptr, nullptr, 1, c.case_, false, true,
                                     false);
        EXPECT_EQ(mold(*r), c.expected) << mold(c.element);
        stack::top = top;
    }
    Cell two = cell::integer(2), value = cell::integer(7);
    actions::eval_path(&blk, &two, &value, nullptr, nullptr, nullptr, 1, false, false, true, false);
    EXPECT_EQ(mold(blk), "[a 7 B 2 c]");
    Cell nine = cell::integer(9);
    EXPECT_EQ(test::error_unrolled([&] {
                  actions::eval_path(&blk, &nine, &value, nullptr, nullptr, nullptr, 1, false, false, true, false);
              }),
              ErrorId::script_out_of_range);
}

TEST_F(Block, CellHelpers) {
    Cell blk = ints({1, 2, 3}, 1);
    EXPECT_EQ(block::rs_length_q(blk), 2);
    EXPECT_EQ(block::rs_head(blk)->data2, 2u);
    EXPECT_FALSE(block::rs_next(blk));
    EXPECT_TRUE(block::rs_next(blk));
    EXPECT_TRUE(block::rs_tail_q(blk));
    EXPECT_TRUE(block::rs_next(blk)) << "stays at the tail";
    EXPECT_EQ(cell::head_index(blk), 3);
    block::rs_remove_last(blk);
    EXPECT_EQ(cell::head_index(blk), 2) << "brought back to the shorter tail";
    EXPECT_EQ(block::rs_length_q(blk), 0);

    Cell pairs = make_block({w("x"), cell::integer(1), cell::integer(5), cell::integer(6)});
    EXPECT_EQ(block::select_value(pairs, cell::integer(5))->data2, 6u);
    EXPECT_EQ(cell::type_of(*block::select_value(pairs, cell::integer(6))), type::none) << "the last cell";
    EXPECT_EQ(block::select_word(pairs, w("X"), false)->data2, 1u);
    EXPECT_EQ(cell::type_of(*block::select_word(pairs, w("X"), true)), type::none);
    Cell nums = ints({4, 5, 4}, 1);
    EXPECT_EQ(block::remove_value(nums, cell::integer(4), false), 1) << "after the position";
    EXPECT_EQ(block::remove_value(nums, cell::integer(4), false), 0) << "only before the position";
    EXPECT_EQ(block::remove_value(nums, cell::integer(4), true), 2);
    EXPECT_EQ(mold(call_action(action::head, {nums})), "[5]");

    Cell dst = ints({1, 2});
    block::insert_value(dst, cell::integer(0), true, false);
    EXPECT_EQ(cell::head_index(dst), 1);
    block::append_block(dst, dst);  // itself, from its position
    EXPECT_EQ(mold(call_action(action::head, {dst})), "[0 1 2 1 2]");
    block::rs_append_block(dst, ints({3}));
    EXPECT_EQ(mold(call_action(action::head, {dst})), "[0 1 2 1 2 3]");
    // rs-set-tail only cuts: the cells past the tail are no values.
    Cell cut = ints({1, 2, 3});
    block::rs_set_tail(cut, 9);
    EXPECT_EQ(length(cut), 3);
    block::rs_set_tail(cut, 1);
    EXPECT_EQ(mold(cut), "[1]");

    Cell parent = ints({});
    Cell* child = block::make_in(&parent, 4);
    EXPECT_EQ(cell::type_of(*child), type::block);
    Cell* fixed = block::make_fixed_in(&parent, 2);
    EXPECT_TRUE(memory::buffer(cell::node(*fixed))->flags & sflag::fixed);
    EXPECT_EQ(mold(parent), "[[] []]");
}

}  // namespace
