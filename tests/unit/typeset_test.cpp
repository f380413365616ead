// typeset!: the bit layout in memory order, building typesets from specs,
// mold and form with and without /only and /part, compare, the set operations
// and complement.
#include "runtime/datatypes/typeset.h"

#include "interpreter/stack.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/unset.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/registry.h"
#include "runtime/system.h"

#include "support.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string>

using namespace oru;

namespace {

using namespace test;

class Typeset : public test::BaseWithBuffer {
protected:
    // A set-operation step on the stack: the result slot after it.
    Cell op_on(const Cell& a, const Cell& b, i32 op) {
        Cell* saved = stack::top;
        stack::mark_native(stack::word(0));
        stack::push(a);
        stack::push(b);
        typeset::set_op(op);
        Cell result = *stack::arguments;
        stack::unwind();
        stack::top = saved;
        return result;
    }

    // A block holding the given cells.
    static Cell block_of(std::initializer_list<Cell> cells) {
        Node n = memory::alloc_cells(4);
        for (const Cell& c : cells) *memory::alloc_tail(n) = c;
        return cell::make(type::block, 0, n, 0);
    }
};

Cell of(std::initializer_list<u32> types) {
    Cell ts = typeset::make();
    for (u32 t : types) typeset::set_bit(ts, t);
    return ts;
}

std::array<u8, 12> payload(const Cell& ts) {
    std::array<u8, 12> b;
    std::memcpy(b.data(), &ts.data1, 12);
    return b;
}

TEST_F(Typeset, BitsLieInPayloadBytesInMemoryOrder) {
    struct Case {
        u32 type;
        int byte;
        u8 mask;
    } cases[] = {{0, 0, 0x80}, {1, 0, 0x40}, {7, 0, 0x01}, {8, 1, 0x80}, {33, 4, 0x40}, {54, 6, 0x02}, {95, 11, 0x01}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        Cell ts = of({c.type});
        std::array<u8, 12> expected{};
        expected[c.byte] = c.mask;
        EXPECT_EQ(payload(ts), expected);
        for (u32 t = 0; t < 100; t++) EXPECT_EQ(typeset::member_q(ts, t), t == c.type) << t;
    }
    Cell all = cell::make(type::typeset, ~0u, ~0u, ~0u);
    EXPECT_TRUE(typeset::member_q(all, 95));
    EXPECT_FALSE(typeset::member_q(all, 96));
    EXPECT_FALSE(typeset::member_q(all, 255));
}

TEST_F(Typeset, MoldAndForm) {
    const Cell two = of({type::typeset, type::logic});
    const Cell empty = typeset::make();
    auto mold = registry::handler<action_fn::Mold>(type::typeset, action::mold);
    auto form = registry::handler<action_fn::Form>(type::typeset, action::form);
    struct Case {
        Cell ts;
        bool only;
        const char* text;
    } cases[] = {
        {two, false, "make typeset! [logic! typeset!]"},
        {two, true, "logic! typeset!"},
        {empty, false, "make typeset! []"},
        {empty, true, ""},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.text);
        clear_buffer();
        const i32 left = mold(&c.ts, buffer, c.only, false, false, nullptr, 1000, 0);
        EXPECT_EQ(text(), c.text);
        EXPECT_EQ(left, 1000 - static_cast<i32>(std::strlen(c.text)));
        if (c.only) continue;
        clear_buffer();
        EXPECT_EQ(form(&c.ts, buffer, nullptr, 1000), left);
        EXPECT_EQ(text(), c.text);
    }
    // With /part the names stop once the budget is spent; the dispatcher cuts the rest.
    Cell part = cell::integer(20), ts = two;
    clear_buffer();
    EXPECT_EQ(mold(&ts, buffer, false, false, false, &part, 20, 0), 20 - 15 - 7);
    EXPECT_EQ(text(), "make typeset! [logic! ");
}

TEST_F(Typeset, MakeFromBlocksAndTypesets) {
    auto make = registry::handler<action_fn::Make>(type::typeset, action::make);
    auto to = registry::handler<action_fn::Make>(type::typeset, action::to);
    Cell proto = datatype::make(type::typeset);
    Cell spec = block_of({datatype::make(type::logic), of({type::unset, type::none}), datatype::make(type::logic)});
    Cell* ts = make(&proto, &spec, type::typeset);
    EXPECT_EQ(payload(*ts), payload(of({type::logic, type::unset, type::none})));
    // From the block's position on.
    spec.data1 = 1;
    EXPECT_EQ(payload(*to(&proto, &spec, type::typeset)), payload(of({type::logic, type::unset, type::none})));
    spec.data1 = 2;
    EXPECT_EQ(payload(*to(&proto, &spec, type::typeset)), payload(of({type::logic})));
    // A typeset is returned as it is.
    Cell same = of({type::none});
    EXPECT_EQ(make(&proto, &same, type::typeset), &same);

    Cell bad_element = block_of({datatype::make(type::none), cell::integer(1)});
    EXPECT_EQ(error_of([&] { make(&proto, &bad_element, type::typeset); }), ErrorId::script_invalid_arg);
    EXPECT_EQ(cell::type_of(pending_error.args[0]), type::integer);
    Cell one = cell::integer(1);
    EXPECT_EQ(error_of([&] { to(&proto, &one, type::typeset); }), ErrorId::script_bad_to_arg);
    EXPECT_EQ(datatype::get(pending_error.args[0]), type::typeset);
    EXPECT_EQ(pending_error.args[1].data2, 1u);
    // An unbound word has no value.
    Cell with_word = block_of({stack::word(symbol::make("integer!"))});
    EXPECT_EQ(error_of([&] { make(&proto, &with_word, type::typeset); }), ErrorId::script_no_value);
}

TEST_F(Typeset, FindNeedsADatatype) {
    auto find = registry::handler<action_fn::Find>(type::typeset, action::find);
    Cell ts = of({type::logic}), logic_type = datatype::make(type::logic), none_type = datatype::make(type::none);
    auto run = [&](Cell* v) {
        return find(&ts, v, nullptr, false, false, false, false, nullptr, nullptr, false, false, false, false);
    };
    EXPECT_TRUE(logic::get(*run(&logic_type)));
    EXPECT_FALSE(logic::get(*run(&none_type)));
    Cell one = cell::integer(1);
    EXPECT_EQ(error_of([&] { run(&one); }), ErrorId::script_invalid_arg);
}

TEST_F(Typeset, SetOperations) {
    const Cell a = of({type::logic, type::none}), b = of({type::none, type::unset});
    const Cell logic_type = datatype::make(type::logic);
    struct Case {
        i32 op;
        Cell second;
        Cell expected;
    } cases[] = {
        {8, b, a},                                                   // unique
        {9, b, of({type::logic, type::none, type::unset})},          // union
        {5, b, of({type::logic, type::none, type::unset})},          // or~
        {10, b, of({type::none})},                                   // intersect
        {6, b, of({type::none})},                                    // and~
        {12, b, of({type::logic, type::unset})},                     // difference
        {7, b, of({type::logic, type::unset})},                      // xor~
        {11, b, of({type::logic})},                                  // exclude
        {11, logic_type, of({type::none})},                          // exclude a datatype
        {9, datatype::make(type::typeset), of({type::logic, type::none, type::typeset})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.op);
        Cell r = op_on(a, c.second, c.op);
        EXPECT_EQ(cell::type_of(r), type::typeset);
        EXPECT_EQ(payload(r), payload(c.expected));
    }
    EXPECT_EQ(error_of([&] { op_on(a, cell::integer(3), 9); }), ErrorId::script_invalid_arg);
}

TEST_F(Typeset, ComplementInvertsAll96Bits) {
    Cell empty = typeset::make();
    Cell* c = registry::handler<action_fn::Stored>(type::typeset, action::complement)(&empty);
    EXPECT_NE(c, &empty);
    const std::array<u8, 12> nothing{};
    EXPECT_EQ(payload(empty), nothing);
    std::array<u8, 12> all;
    all.fill(0xFF);
    EXPECT_EQ(payload(*c), all);
    EXPECT_EQ(typeset::count(*c), static_cast<i32>(registry::highest_type));
    EXPECT_EQ(typeset::count(empty), 0);
}

TEST_F(Typeset, CompareEqualityAndOrderByMemberCount) {
    auto compare = registry::handler<action_fn::Compare>(type::typeset, action::compare);
    Cell one = of({type::typeset}), other_one = of({type::none}), two = of({type::logic, type::none});
    Cell also_two = of({type::logic, type::none}), zero_bit = of({0});
    Cell empty = typeset::make(), dt = datatype::make(type::none);
    struct Case {
        Cell *a, *b;
        i32 op, expected;
    } cases[] = {
        {&two, &also_two, 0, 0}, {&two, &one, 1, 1}, {&two, &also_two, 12, 0},
        // Type 0 is not counted but does take part in equality.
        {&zero_bit, &empty, 0, 1}, {&zero_bit, &empty, 7, 0},
        {&one, &two, 7, -1}, {&two, &one, 8, 1}, {&one, &other_one, 7, 0},
        {&one, &two, 3, -2}, {&one, &dt, 0, -2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "op " << c.op);
        EXPECT_EQ(compare(c.a, c.b, c.op), c.expected);
    }
}

TEST_F(Typeset, DefaultAndSpecTypesets) {
    Cell blk = block_of({});
    typeset::make_default(blk);
    Cell* made = memory::buffer(cell::node(blk))->cells();
    for (u32 t = 0; t < 96; t++) EXPECT_EQ(typeset::member_q(*made, t), t != type::unset) << t;

    // A block in a type spec is skipped.
    Cell spec = block_of({datatype::make(type::none), block_of({}), of({type::logic})});
    typeset::make_with(blk, spec);
    EXPECT_EQ(payload(memory::buffer(cell::node(blk))->cells()[1]), payload(of({type::none, type::logic})));
    Cell bad = block_of({cell::integer(4)});
    EXPECT_EQ(error_of([&] { typeset::make_with(blk, bad); }), ErrorId::script_invalid_type_spec);
    EXPECT_EQ(pending_error.args[0].data2, 4u);
}

TEST_F(Typeset, ToBlockListsTheTypeWords) {
    Cell* result = stack::push();
    typeset::to_block(of({type::typeset, type::none, 0, 90}), *result);
    SeriesBuffer* s = memory::buffer(cell::node(*result));
    ASSERT_EQ(s->length(), 2u);  // type 0 and unregistered numbers have no words
    EXPECT_EQ(cell::type_of(s->cells()[0]), type::word);
    EXPECT_EQ(static_cast<i32>(s->cells()[0].data2), symbol::make("none!"));
    EXPECT_EQ(static_cast<i32>(s->cells()[1].data2), symbol::make("typeset!"));
}

}  // namespace
