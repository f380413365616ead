// char!: conversions and their range errors, code-point arithmetic that
// must stay within 0 to 0x10FFFF, comparison against integer!, the mold
// escapes, and the handlers inherited from integer!.
#include "interpreter/actions.h"
#include "interpreter/stack.h"
#include "runtime/datatypes/char.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/string.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/runtime.h"
#include "runtime/system.h"

#include "support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <optional>
#include <string>

using namespace oru;

namespace {

using namespace test;

class Char : public ::testing::Test {
protected:
    void SetUp() override {
        runtime_init();
        integer::init();
        char_::init();
        float_::init();
    }
    void TearDown() override { runtime_shutdown(); }

    Outcome to_char(const Cell& spec, bool make = false) {
        return run_native([&] {
            Cell* proto = stack::push(cell::make(type::datatype, type::char_));
            Cell* s = stack::push(spec);
            stack::set_last(*(make ? actions::make(proto, s) : actions::to(proto, s)));
        });
    }

    // The characters a form or mold handler appends, and the budget it gives back.
    std::u32string text_of(u32 cp, bool mold, bool all, i32* left) {
        Cell* buffer = stack::push();
        string::make_at(*buffer, 16);
        Cell v = char_::make_cell(static_cast<i32>(cp));
        *left = mold ? actions::mold(&v, buffer, false, all, false, nullptr, 100, 0)
                     : actions::form(&v, buffer, nullptr, 100);
        SeriesBuffer* s = memory::buffer(cell::node(*buffer));
        std::u32string out;
        for (u32 i = 0; i < s->length(); i++) out += static_cast<char32_t>(string::get_char(s->head_ptr() + i * s->unit(), s->unit()));
        stack::pop(1);
        return out;
    }

    static Cell string_of(const std::u32string& text, i32 head = 0) {
        Cell s;
        string::make_at(s, 16);
        for (char32_t c : text) string::append_char(cell::node(s), static_cast<u32>(c));
        s.data1 = static_cast<u32>(head);
        return s;
    }

    static Cell binary_of(std::initializer_list<u8> bytes) {
        Node n = memory::alloc_bytes(16);
        u8* p = memory::reserve_bytes(n, static_cast<i32>(bytes.size()));
        for (u8 b : bytes) *p++ = b;
        return cell::make(type::binary, 0, n);
    }
};

void expect_char(const Outcome& o, i32 cp) {
    ASSERT_FALSE(o.error) << error_id_name(*o.error);
    ASSERT_EQ(cell::type_of(o.value), type::char_);
    EXPECT_EQ(char_::get(o.value), cp);
}

TEST_F(Char, Conversions) {
    struct Case {
        Cell spec;
        std::optional<i32> cp;
        ErrorId error;
    } cases[] = {
        {cell::integer(65), 'A', {}},
        {cell::integer(0), 0, {}},
        {cell::integer(0x10FFFF), 0x10FFFF, {}},
        {cell::integer(0x110000), {}, ErrorId::script_out_of_range},
        {cell::integer(-1), {}, ErrorId::script_out_of_range},
        {char_::make_cell(0x20AC), 0x20AC, {}},
        {cell::float_(65.9), 'A', {}},
        {cell::float_(-0.5), 0, {}},  // truncated toward zero
        {cell::float_(-1.0), {}, ErrorId::script_out_of_range},
        {cell::float_(1114112.0), {}, ErrorId::script_out_of_range},
        {cell::float_(1114111.9), 0x10FFFF, {}},
        {cell::float_(1e300), {}, ErrorId::script_out_of_range},
        {cell::float_(float_::nan), {}, ErrorId::script_out_of_range},
        {string_of(U"abc"), 'a', {}},
        {string_of(U"abc", 2), 'c', {}},
        {string_of(U"x\U0001F600"), 'x', {}},
        {string_of(U"\U0001F600x"), 0x1F600, {}},
        {string_of(U""), {}, ErrorId::script_bad_to_arg},
        {string_of(U"ab", 2), {}, ErrorId::script_bad_to_arg},
        {binary_of({0xC3, 0xA9, 0x41}), 0xE9, {}},
        {binary_of({0x41}), 'A', {}},
        {binary_of({0xF0, 0x9F, 0x98, 0x80}), 0x1F600, {}},
        {binary_of({0xC3}), {}, ErrorId::access_invalid_utf8},  // cut off
        {binary_of({0xFF, 0x41}), {}, ErrorId::access_invalid_utf8},
        {binary_of({}), {}, ErrorId::script_bad_to_arg},
        {logic::true_value, {}, ErrorId::script_bad_to_arg},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; i++) {
        const Case& c = cases[i];
        SCOPED_TRACE("case " + std::to_string(i));
        for (bool make : {false, true}) {
            const Outcome o = to_char(c.spec, make);
            if (c.cp) expect_char(o, *c.cp);
            else expect_error(o, c.error);
        }
    }
    // The refused value travels with the error.
    expect_error(to_char(cell::integer(0x110000)), ErrorId::script_out_of_range);
    EXPECT_EQ(integer::get(pending_error.args[0]), 0x110000);
}

TEST_F(Char, ArithmeticStaysACodePoint) {
    struct Case {
        void (*action)();
        i32 l;
        Cell r;
        std::optional<i32> cp;  // absent: math/overflow
    } cases[] = {
        {actions::add, 'a', cell::integer(1), 'b'},
        {actions::add, 'a', char_::make_cell(1), 'b'},
        {actions::add, 'a', cell::float_(1.9), 'b'},  // truncated
        {actions::add, 'a', cell::float_(-1.9), '`'},
        {actions::add, 0x10FFFF, cell::integer(1), {}},
        {actions::subtract, 'a', char_::make_cell('b'), {}},  // negative
        {actions::subtract, 'b', char_::make_cell('a'), 1},
        {actions::divide, 'd', cell::integer(3), 33},  // the quotient truncates
        {actions::divide, 'd', cell::integer(-1), {}},
        {actions::multiply, 0x10000, cell::integer(0x10000), {}},  // beyond 32 bits
        {actions::multiply, 0x100, cell::integer(0x100), 0x10000},
        {actions::remainder, 'd', cell::integer(7), 2},
        {actions::add, 'a', cell::float_(3e9), {}},
        {actions::add, 'a', cell::float_(float_::nan), {}},
        {actions::add, 1, cell::integer(INT32_MAX), {}},
        {actions::and_, 'a', cell::integer(0x5F), 'A'},
        {actions::or_, 'A', cell::integer(0x20), 'a'},
        {actions::xor_, 'a', cell::integer(0x20), 'A'},
        {actions::or_, 'A', cell::integer(-1), {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.l));
        const Outcome o = math(c.action, char_::make_cell(c.l), c.r);
        if (c.cp) expect_char(o, *c.cp);
        else expect_error(o, ErrorId::math_overflow);
    }
    expect_error(math(actions::divide, char_::make_cell('a'), cell::integer(0)), ErrorId::math_zero_divide);
    expect_error(math(actions::remainder, char_::make_cell('a'), char_::make_cell(0)), ErrorId::math_zero_divide);
    expect_error(math(actions::add, char_::make_cell('a'), logic::true_value), ErrorId::script_invalid_type);
    expect_error(math(actions::add, char_::make_cell('a'), cell::make(type::percent)), ErrorId::script_invalid_type);
    // No negate, power, round or complement for characters.
    expect_error(run_native([] { actions::negate(stack::push(char_::make_cell('a'))); }), ErrorId::script_expect_arg);
    expect_error(math(actions::power, char_::make_cell('a'), cell::integer(2)), ErrorId::script_expect_arg);
    // An integer! on the left with a char! gives an integer!.
    const Outcome o = math(actions::add, cell::integer(1), char_::make_cell('a'));
    ASSERT_FALSE(o.error);
    EXPECT_EQ(cell::type_of(o.value), type::integer);
    EXPECT_EQ(integer::get(o.value), 'b');
}

TEST_F(Char, CompareWithIntegersByValue) {
    Cell a = char_::make_cell('a'), b = char_::make_cell('b'), upper = char_::make_cell('A');
    Cell n = cell::integer('a'), f = cell::float_(97.0);
    EXPECT_TRUE(actions::compare(&a, &n, actions::op::equal));
    EXPECT_FALSE(actions::compare(&a, &n, actions::op::strict_equal));
    EXPECT_FALSE(actions::compare(&a, &n, actions::op::hash));
    EXPECT_TRUE(actions::compare(&a, &b, actions::op::lesser));
    EXPECT_FALSE(actions::compare(&a, &upper, actions::op::equal));  // no case folding here
    EXPECT_TRUE(actions::compare(&a, &a, actions::op::strict_equal));
    EXPECT_EQ(actions::compare_raw(&a, &f, actions::op::equal), -2);
    expect_error(run_native([&] { actions::compare(&a, &f, actions::op::lesser); }), ErrorId::script_invalid_compare);
}

TEST_F(Char, FormAndMoldEscapes) {
    struct Case {
        u32 cp;
        bool all;
        std::u32string molded;
    } cases[] = {
        {'a', false, U"#\"a\""},
        {'\t', false, U"#\"^-\""},
        {'\n', false, U"#\"^/\""},
        {0, false, U"#\"^@\""},
        {27, false, U"#\"^[\""},
        {'"', false, U"#\"^\"\""},
        {'^', false, U"#\"^^\""},
        {0x7F, false, U"#\"^~\""},
        {0x1E, false, U"#\"^(1E)\""},
        {0x85, false, U"#\"^(85)\""},
        {0xE9, false, U"#\"\u00E9\""},
        {0xE9, true, U"#\"^(E9)\""},
        {0x20AC, true, U"#\"^(20AC)\""},
        {0x1F600, false, U"#\"\U0001F600\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cp);
        i32 left;
        EXPECT_EQ(text_of(c.cp, true, c.all, &left), c.molded);
        EXPECT_EQ(left, 100 - static_cast<i32>(c.molded.size()));
        EXPECT_EQ(text_of(c.cp, false, false, &left), std::u32string(1, static_cast<char32_t>(c.cp)));
        EXPECT_EQ(left, 99);
    }
}

TEST_F(Char, InheritsFromInteger) {
    Cell a = char_::make_cell('a'), b = char_::make_cell('b');
    EXPECT_TRUE(actions::odd_q(&a));
    EXPECT_TRUE(actions::even_q(&b));
    const Outcome o = run_native([] {
        stack::push(char_::make_cell('x'));
        actions::absolute();
    });
    expect_char(o, 'x');
    Cell* pushed = char_::push(0x41);
    EXPECT_EQ(cell::type_of(*pushed), type::char_);
    EXPECT_EQ(char_::get(*pushed), 0x41);
    stack::pop(1);
}

}  // namespace
