// datatype!, unset!, none! and logic!: form and mold into a buffer, the
// truth rules and the strict test, compare codes, make/to, the logic
// operators and the none actions; the string buffer helpers they write with.
#include "interpreter/stack.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/typeset.h"
#include "runtime/datatypes/unset.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/registry.h"
#include "runtime/system.h"

#include "support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>

using namespace oru;

namespace {

using namespace test;

class Values : public test::BaseWithBuffer {
protected:
    // Calls a stack-convention handler on two arguments; the result slot.
    Cell call2(u32 t, u32 slot, const Cell& a, const Cell& b) {
        Cell result;
        in_frame([&] {
            stack::push(a);
            stack::push(b);
            registry::handler<action_fn::Stack>(t, slot)();
            result = *stack::arguments;
        });
        return result;
    }
};

constexpr i32 no_part = 0x7FFFFFFF;

TEST_F(Values, FormAndMoldIntoTheBuffer) {
    struct Case {
        Cell value;
        const char* form;
        const char* mold;
        const char* mold_all;
    } cases[] = {
        {none::value, "none", "none", "#(none)"},
        {logic::true_value, "true", "true", "#(true)"},
        {logic::false_value, "false", "false", "#(false)"},
        {unset::value, "", "unset", "#(unset)"},
        {datatype::make(type::logic), "logic", "logic!", "#(logic!)"},
        {datatype::make(type::typeset), "typeset", "typeset!", "#(typeset!)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mold);
        Cell v = c.value;
        const u32 t = cell::type_of(v);
        auto form = registry::handler<action_fn::Form>(t, action::form);
        auto mold = registry::handler<action_fn::Mold>(t, action::mold);
        // Each handler appends after what the buffer holds and returns the
        // limit less what it wrote.
        clear_buffer();
        string::concatenate_literal(*buffer, ">");
        EXPECT_EQ(form(&v, buffer, nullptr, 100), 100 - static_cast<i32>(std::strlen(c.form)));
        EXPECT_EQ(text(), std::string(">") + c.form);
        clear_buffer();
        EXPECT_EQ(mold(&v, buffer, false, false, false, nullptr, no_part, 0),
                  no_part - static_cast<i32>(std::strlen(c.mold)));
        EXPECT_EQ(text(), c.mold);
        clear_buffer();
        EXPECT_EQ(mold(&v, buffer, false, true, false, nullptr, 50, 0),
                  50 - static_cast<i32>(std::strlen(c.mold_all)));
        EXPECT_EQ(text(), c.mold_all);
    }
}

TEST_F(Values, TruthAndTheStrictTest) {
    struct Case {
        Cell value;
        bool truthy;
    } cases[] = {
        {none::value, false},         {logic::false_value, false},  {logic::true_value, true},
        {unset::value, true},         {cell::integer(0), true},     {datatype::make(type::none), true},
        {cell::make(type::logic, 0, 7, 7), false},  // only payload word 1 counts
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(cell::type_of(c.value));
        EXPECT_EQ(logic::truth(c.value), c.truthy);
        *stack::arguments = c.value;
        EXPECT_EQ(logic::false_q(), !c.truthy);
        if (cell::type_of(c.value) == type::unset) continue;
        EXPECT_EQ(logic::truth_strict(c.value), c.truthy);
        EXPECT_EQ(logic::true_top_q(), c.truthy);
        EXPECT_EQ(logic::true_value_q(c.value, true, none::value), c.truthy);
    }
    // unset: truthy, except for the strict tests.
    EXPECT_EQ(error_of([] { logic::truth_strict(unset::value); }), ErrorId::script_no_return);
    EXPECT_EQ(error_of([] {
                  *stack::arguments = unset::value;
                  logic::true_top_q();
              }),
              ErrorId::script_no_return);
    const Cell name = stack::word(symbol::make("flag"));
    EXPECT_EQ(error_of([&] { logic::true_value_q(unset::value, true, name); }), ErrorId::script_no_value);
    EXPECT_EQ(pending_error.args[0].data2, name.data2);
    EXPECT_TRUE(logic::true_value_q(unset::value, false, name));
}

TEST_F(Values, LastTrueReadsTheLastPushedValueAboveTheBase) {
    // Nothing pushed in the frame: the result slot, never the cell below it.
    in_frame([] {
        stack::arguments[-1] = logic::false_value;
        *stack::arguments = logic::true_value;
        EXPECT_TRUE(logic::last_true_q());
        stack::arguments[-1] = logic::true_value;
        *stack::arguments = none::value;
        EXPECT_FALSE(logic::last_true_q());
    });
    in_frame([] {
        stack::push(logic::false_value);  // the result slot
        EXPECT_FALSE(logic::last_true_q());
        stack::push(logic::true_value);
        EXPECT_TRUE(logic::last_true_q());
        stack::push(none::value);
        EXPECT_FALSE(logic::last_true_q());
    });
}

TEST_F(Values, CompareCodes) {
    const Cell t = logic::true_value, f = logic::false_value, n = none::value, u = unset::value;
    const Cell dl = datatype::make(type::logic), dn = datatype::make(type::none);
    struct Case {
        Cell a, b;
        i32 op, expected;
    } cases[] = {
        // logic!: the payload difference for the equality and sort codes.
        {f, t, 7, -1}, {t, f, 8, 1}, {t, t, 0, 0}, {t, f, 0, 1}, {t, f, 12, 1},
        {f, t, 3, -2}, {t, f, 5, -2}, {t, n, 0, -2},
        // none! and unset!: equal to their own kind only.
        {n, n, 0, 0}, {n, n, 8, 0}, {n, n, 3, -2}, {n, f, 0, -2},
        {u, u, 7, 0}, {u, u, 1, 0}, {u, n, 0, -2}, {u, u, 6, -2},
        // datatype!: 0 for the same type, 1 for anything else, -2 for orderings.
        {dl, dl, 0, 0}, {dl, dn, 1, 1}, {dl, cell::integer(type::logic), 0, 1},
        {dl, dl, 9, 0}, {dl, dl, 3, -2}, {dl, dl, 7, -2},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "types " << cell::type_of(c.a) << "/" << cell::type_of(c.b) << " op "
                                        << c.op);
        auto compare = registry::handler<action_fn::Compare>(cell::type_of(c.a), action::compare);
        EXPECT_EQ(compare(&c.a, &c.b, c.op), c.expected);
    }
}

TEST_F(Values, LogicMakeAndTo) {
    Cell proto = datatype::make(type::logic);
    auto make = registry::handler<action_fn::Make>(type::logic, action::make);
    auto to = registry::handler<action_fn::Make>(type::logic, action::to);
    const Cell string_value = cell::make(type::string, 0, memory::alloc_bytes(4), 0);
    struct Case {
        Cell spec;
        bool made, converted;
    } cases[] = {
        {cell::integer(0), false, true},
        {cell::integer(-3), true, true},
        {cell::float_(0.0), false, true},
        {cell::float_(-0.0), false, true},
        {cell::float_(std::numeric_limits<double>::quiet_NaN()), true, true},
        {cell::make(type::percent, 0, 0, 0), false, true},
        {string_value, true, true},
        {none::value, false, false},
        {logic::false_value, false, false},
        {logic::true_value, true, true},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "spec type " << cell::type_of(c.spec));
        Cell* made = make(&proto, &c.spec, type::logic);
        EXPECT_EQ(cell::type_of(*made), type::logic);
        EXPECT_EQ(logic::get(*made), c.made);
        Cell* converted = to(&proto, &c.spec, type::logic);
        EXPECT_EQ(logic::get(*converted), c.converted);
    }
    // A logic! spec is returned as it is.
    Cell spec = logic::true_value;
    EXPECT_EQ(to(&proto, &spec, type::logic), &spec);
}

TEST_F(Values, LogicOperators) {
    const Cell t = logic::true_value, f = logic::false_value;
    for (const Cell& a : {t, f})
        for (const Cell& b : {t, f}) {
            const bool x = logic::get(a), y = logic::get(b);
            EXPECT_EQ(logic::get(call2(type::logic, action::and_, a, b)), x && y);
            EXPECT_EQ(logic::get(call2(type::logic, action::or_, a, b)), x || y);
            EXPECT_EQ(logic::get(call2(type::logic, action::xor_, a, b)), x != y);
        }
    // The second operand must be a logic! too.
    EXPECT_EQ(error_of([&] { call2(type::logic, action::and_, t, cell::integer(1)); }), ErrorId::script_expect_arg);
    EXPECT_EQ(cell::type_of(pending_error.args[1]), type::datatype);
    EXPECT_EQ(datatype::get(pending_error.args[1]), type::integer);
    // complement flips its argument in place.
    Cell v = logic::true_value;
    Cell* r = registry::handler<action_fn::Stored>(type::logic, action::complement)(&v);
    EXPECT_EQ(r, &v);
    EXPECT_FALSE(logic::get(v));
}

TEST_F(Values, NoneAnswersNoneToSeriesActions) {
    Cell n = none::value, key = cell::integer(1);
    EXPECT_EQ(registry::handler<action_fn::Length>(type::none, action::length_q)(&n), -1);
    auto select = registry::handler<action_fn::Select>(type::none, action::select);
    Cell* sel = select(&n, &key, nullptr, false, false, false, false, nullptr, nullptr, false, false);
    EXPECT_EQ(cell::type_of(*sel), type::none);
    Cell* taken = registry::handler<action_fn::Take>(type::none, action::take)(&n, nullptr, false, false);
    EXPECT_EQ(cell::type_of(*taken), type::none);
    auto find = registry::handler<action_fn::Find>(type::none, action::find);
    Cell* found = find(&n, &key, nullptr, false, false, false, false, nullptr, nullptr, false, false, false, false);
    EXPECT_EQ(cell::type_of(*found), type::none);
    // clear and remove write the result slot.
    in_frame([] {
        stack::push(cell::integer(5));
        registry::handler<action_fn::Value>(type::none, action::clear)(stack::arguments);
        EXPECT_EQ(cell::type_of(*stack::arguments), type::none);
        *stack::arguments = cell::integer(5);
        registry::handler<action_fn::Remove>(type::none, action::remove)(stack::arguments, nullptr, nullptr);
        EXPECT_EQ(cell::type_of(*stack::arguments), type::none);
    });
}

TEST_F(Values, UnsetAndNoneMakeIgnoreTheSpec) {
    Cell spec = cell::integer(9), proto = datatype::make(type::unset);
    EXPECT_EQ(cell::type_of(*registry::handler<action_fn::Make>(type::unset, action::make)(&proto, &spec, type::unset)),
              type::unset);
    EXPECT_EQ(cell::type_of(*registry::handler<action_fn::Make>(type::none, action::to)(&proto, &spec, type::none)),
              type::none);
}

TEST_F(Values, DatatypeWordsAreTheTypeNames) {
    datatype::make_words();
    EXPECT_EQ(datatype::symbol_of(type::logic), static_cast<u32>(symbol::make("logic!")));
    EXPECT_EQ(registry::datatypes[type::typeset].word, static_cast<u32>(symbol::make("typeset!")));
    EXPECT_STREQ(datatype::name_of(type::none), "none!");
    EXPECT_STREQ(datatype::name_of(200), "");
}

// The string helpers behind form and mold: widening on append.
TEST_F(Values, AppendWidensOnlyWhenNeeded) {
    Cell* s = stack::push();
    string::make_at(*s, 0);
    const Node n = cell::node(*s);
    EXPECT_EQ(memory::buffer(n)->unit(), 1u);
    string::append_char(n, 'a');
    string::append_char(n, 0x7F);
    EXPECT_EQ(memory::buffer(n)->unit(), 1u);
    // 128-255 fit a byte but an append widens for them.
    string::append_char(n, 200);
    EXPECT_EQ(memory::buffer(n)->unit(), 2u);
    string::append_char(n, 0xFFFF);
    EXPECT_EQ(memory::buffer(n)->unit(), 2u);
    SeriesBuffer* b = string::append_char(n, 0x1F600);
    EXPECT_EQ(b, memory::buffer(n));
    EXPECT_EQ(b->unit(), 4u);
    const u32 expected[] = {'a', 0x7F, 200, 0xFFFF, 0x1F600};
    ASSERT_EQ(string::rs_length_q(*s), 5);
    for (u32 i = 0; i < 5; i++) EXPECT_EQ(string::get_char(b->head_ptr() + 4 * i, 4), expected[i]);

    // A 1-byte buffer goes straight to 4 bytes for a character above 0xFFFF.
    Cell* s2 = stack::push();
    string::make_at(*s2, 1);
    for (int i = 0; i < 40; i++) string::append_char(cell::node(*s2), 'x');  // grows past its first size
    string::append_char(cell::node(*s2), 0x10000);
    EXPECT_EQ(memory::buffer(cell::node(*s2))->unit(), 4u);
    EXPECT_EQ(string::rs_length_q(*s2), 41);
    EXPECT_EQ(string::get_char(string::rs_head(*s2) + 40 * 4, 4), 0x10000u);
}

TEST_F(Values, HeadPastTheTailIsClampedBack) {
    Cell* s = stack::push();
    string::make_at_unit(*s, 0, 2);
    string::concatenate_literal(*s, "abc");
    s->data1 = 10;
    EXPECT_EQ(string::rs_length_q(*s), 0);
    u8* head = string::rs_head(*s);
    EXPECT_EQ(cell::head_index(*s), 3);
    EXPECT_EQ(head, memory::buffer(cell::node(*s))->head_ptr() + 6);
    s->data1 = 1;
    EXPECT_EQ(string::rs_length_q(*s), 2);
    EXPECT_EQ(string::get_char(string::rs_head(*s), 2), static_cast<u32>('b'));
}

}  // namespace
