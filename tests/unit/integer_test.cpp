// integer!: arithmetic that overflows into float!, the math errors, remainder
// and power edge cases, round's refinements, range-checked conversions, the
// text form and comparison. Actions go through the dispatcher as the
// evaluator calls them: operands at stack::arguments, the result in the first.
#include "interpreter/actions.h"
#include "interpreter/stack.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/registry.h"
#include "runtime/runtime.h"
#include "runtime/system.h"
#include "runtime/words.h"

#include "support.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <cstdio>
#include <string>
#include <vector>

using namespace oru;

namespace {

using namespace test;

// What an action left: the result slot, or the error it raised.
class Integer : public ::testing::Test {
protected:
    void SetUp() override {
        runtime_init();
        integer::init();
    }
    void TearDown() override { runtime_shutdown(); }

    // Runs body in a native frame of its own, inside a try frame; the result
    // slot afterwards, or the error.
    Outcome to_integer(const Cell& spec) {
        return run_native([&] {
            Cell* proto = stack::push(cell::make(type::datatype, type::integer));
            Cell* s = stack::push(spec);
            stack::set_last(*actions::to(proto, s));
        });
    }

    static Cell time(double seconds) {
        Cell c = cell::float_(seconds);
        cell::set_type(c, type::time);
        return c;
    }
};

void expect_float(const Outcome& o, double d) {
    ASSERT_FALSE(o.error) << error_id_name(*o.error);
    ASSERT_EQ(cell::type_of(o.value), type::float_);
    EXPECT_EQ(cell::get_float(o.value), d);
}

TEST_F(Integer, OverflowAndInexactDivisionGiveFloats) {
    struct Case {
        void (*action)();
        i32 l, r;
        std::optional<i32> whole;
        double real;
    } cases[] = {
        {actions::add, 2147483647, 1, {}, 2147483648.0},
        {actions::add, -2147483648, -1, {}, -2147483649.0},
        {actions::add, 2147483646, 1, 2147483647, 0},
        {actions::subtract, -2147483648, 1, {}, -2147483649.0},
        {actions::subtract, 0, -2147483648, {}, 2147483648.0},
        {actions::subtract, -2147483648, -1, -2147483647, 0},
        {actions::multiply, 65536, 65536, {}, 4294967296.0},
        {actions::multiply, -2147483648, -1, {}, 2147483648.0},
        {actions::multiply, 46341, 46341, {}, 2147488281.0},
        {actions::multiply, 46340, -46340, -2147395600, 0},
        {actions::divide, 7, 2, {}, 3.5},
        {actions::divide, -7, 2, {}, -3.5},
        {actions::divide, 1, 3, {}, 1.0 / 3.0},
        {actions::divide, 6, 3, 2, 0},
        {actions::divide, -2147483648, 2, -1073741824, 0},
        {actions::divide, -2147483648, -2, 1073741824, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.l) + " op " + std::to_string(c.r));
        Outcome o = math(c.action, cell::integer(c.l), cell::integer(c.r));
        if (c.whole) expect_integer(o, *c.whole);
        else expect_float(o, c.real);
    }
    // A char! right operand counts by its code point.
    expect_integer(math(actions::add, cell::integer(1), cell::make(type::char_, 0, 64)), 65);
}

TEST_F(Integer, OnlyZeroDivisorsAndTheLoneOverflowRaise) {
    struct Case {
        void (*action)();
        i32 l, r;
        ErrorId id;
    } cases[] = {
        {actions::divide, 1, 0, ErrorId::math_zero_divide},
        {actions::divide, 0, 0, ErrorId::math_zero_divide},
        {actions::divide, -2147483648, -1, ErrorId::math_overflow},
        {actions::remainder, 5, 0, ErrorId::math_zero_divide},
        {actions::remainder, -2147483648, -1, ErrorId::math_overflow},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.l) + " op " + std::to_string(c.r));
        expect_error(math(c.action, cell::integer(c.l), cell::integer(c.r)), c.id);
    }
    // |-2147483648| and -(-2147483648) do not fit either.
    expect_error(run_native([] {
                     stack::push(cell::integer(INT32_MIN));
                     actions::absolute();
                 }),
                 ErrorId::math_overflow);
    expect_error(run_native([] { actions::negate(stack::push(cell::integer(INT32_MIN))); }), ErrorId::math_overflow);
}

TEST_F(Integer, TheCoreWithoutAResultCell) {
    // Compiled code calls the core for a machine result: with nowhere to put
    // a float, an overflow is an error rather than a wrapped number, and a
    // division truncates.
    EXPECT_EQ(integer::do_math_op(7, 2, integer::op::divide, nullptr), 3);
    EXPECT_EQ(integer::do_math_op(-7, 2, integer::op::divide, nullptr), -3);
    EXPECT_EQ(integer::do_math_op(-7, 2, integer::op::remainder, nullptr), -1);
    expect_error(run_native([] { integer::do_math_op(INT32_MAX, 1, integer::op::add, nullptr); }), ErrorId::math_overflow);
    expect_error(run_native([] { integer::do_math_op(INT32_MIN, 2, integer::op::multiply, nullptr); }),
                 ErrorId::math_overflow);
    // With a result cell the integer goes into its value word only, so a
    // char! result cell stays a char!.
    Cell c = cell::make(type::char_, 0, 65);
    EXPECT_EQ(integer::do_math_op(65, 1, integer::op::add, &c), 66);
    EXPECT_EQ(cell::type_of(c), type::char_);
    EXPECT_EQ(c.data2, 66u);
}

TEST_F(Integer, RemainderKeepsTheSignOfTheLeftOperand) {
    struct Case {
        i32 l, r, expected;
    } cases[] = {
        {-7, 2, -1}, {7, -2, 1}, {-7, -2, -1}, {7, 2, 1}, {6, 3, 0},
        {-2147483648, 2, 0}, {-2147483648, 2147483647, -1}, {2147483647, -2147483648, 2147483647},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.l) + " rem " + std::to_string(c.r));
        expect_integer(math(actions::remainder, cell::integer(c.l), cell::integer(c.r)), c.expected);
    }
}

TEST_F(Integer, BitwiseOperators) {
    expect_integer(math(actions::and_, cell::integer(0x0FF0), cell::integer(0x00FF)), 0x00F0);
    expect_integer(math(actions::or_, cell::integer(0x0F00), cell::integer(0x00F0)), 0x0FF0);
    expect_integer(math(actions::xor_, cell::integer(-1), cell::integer(0x0F)), ~0x0F);
    Outcome c = run_native([] { stack::set_last(*actions::complement(stack::push(cell::integer(0)))); });
    expect_integer(c, -1);
    // The float arithmetic has no bitwise operators.
    expect_error(math(actions::and_, cell::integer(1), cell::float_(1.0)), ErrorId::script_cannot_use);
}

TEST_F(Integer, PowerStaysIntegerUntilItOverflows) {
    struct Case {
        i32 base;
        Cell exponent;
        std::optional<i32> whole;
        double real;
    } cases[] = {
        {2, cell::integer(30), 1 << 30, 0},
        {2, cell::integer(31), {}, 2147483648.0},
        {-2, cell::integer(31), INT32_MIN, 0},  // the last product just fits
        {-2, cell::integer(32), {}, 4294967296.0},
        {3, cell::integer(20), {}, 3486784401.0},
        {46341, cell::integer(1), 46341, 0},  // never squared: no false overflow
        {-1, cell::integer(2147483647), -1, 0},
        {0, cell::integer(0), 1, 0},
        {7, cell::integer(0), 1, 0},
        {2, cell::integer(-1), {}, 0.5},  // a negative exponent goes to the float power
        {4, cell::float_(0.5), {}, 2.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.base));
        Outcome o = math(actions::power, cell::integer(c.base), c.exponent);
        if (c.whole) expect_integer(o, *c.whole);
        else expect_float(o, c.real);
    }
    expect_error(math(actions::power, cell::integer(2), logic::true_value), ErrorId::script_expect_arg);
    EXPECT_EQ(pending_error.args[1].data1, type::logic);
}

TEST_F(Integer, RoundRefinements) {
    enum Mode { none_, even, down, half_down, floor, ceiling, half_ceiling };
    struct Case {
        i32 n;
        std::optional<i32> scale;  // absent: no /to
        Mode mode;
        std::optional<i32> expected;  // absent: math/overflow
    } cases[] = {
        {17, 5, none_, 15},
        {18, 5, none_, 20},
        {-18, 5, none_, -20},
        {25, 10, none_, 30},  // halves go away from zero by default
        {-25, 10, none_, -30},
        {25, 10, even, 20},
        {35, 10, even, 40},
        {-25, 10, even, -20},
        {25, 10, half_down, 20},
        {-25, 10, half_down, -20},
        {25, 10, half_ceiling, 30},
        {-25, 10, half_ceiling, -20},
        {-17, 5, floor, -20},
        {17, 5, floor, 15},
        {17, 5, ceiling, 20},
        {-17, 5, ceiling, -15},
        {-18, 5, down, -15},
        {19, 5, down, 15},
        {17, -5, none_, 15},  // the scale's sign does not matter
        {17, 0, none_, 17},
        {17, {}, none_, 17},
        {0, 7, ceiling, 0},
        {15, 5, ceiling, 15},
        {INT32_MIN, 10, none_, INT32_MIN},  // returned as it is
        {INT32_MIN, 3, ceiling, INT32_MIN},
        {2147483647, 10, none_, {}},  // up is the answer and does not fit
        {2147483647, 10, ceiling, {}},
        {-2147483647, 10, floor, {}},
        {2147483641, 10, none_, 2147483640},  // down is the answer: no overflow
        {2147483647, 10, down, 2147483640},
        {2147483647, 10, floor, 2147483640},
        {-2147483647, 10, ceiling, -2147483640},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.n) + " /to " + (c.scale ? std::to_string(*c.scale) : "-") + " mode " +
                     std::to_string(c.mode));
        Outcome o = run_native([&] {
            Cell* v = stack::push(cell::integer(c.n));
            Cell* s = c.scale ? stack::push(cell::integer(*c.scale)) : nullptr;
            actions::round(v, s, c.mode == even, c.mode == down, c.mode == half_down, c.mode == floor,
                           c.mode == ceiling, c.mode == half_ceiling);
        });
        if (c.expected) expect_integer(o, *c.expected);
        else expect_error(o, ErrorId::math_overflow);
    }
    // A scale of -2147483648 has no magnitude; a money! scale is refused.
    expect_error(run_native([] {
                     Cell* v = stack::push(cell::integer(5));
                     actions::round(v, stack::push(cell::integer(INT32_MIN)), false, false, false, false, false,
                                    false);
                 }),
                 ErrorId::math_overflow);
    expect_error(run_native([] {
                     Cell* v = stack::push(cell::integer(5));
                     actions::round(v, stack::push(cell::make(type::money)), false, false, false, false, false,
                                    false);
                 }),
                 ErrorId::script_not_related);
}

TEST_F(Integer, ToIntegerChecksTheRange) {
    struct Case {
        Cell spec;
        std::optional<i32> expected;  // absent: script/type-limit
    } cases[] = {
        {cell::float_(2147483647.0), 2147483647},
        {cell::float_(2147483648.0), {}},
        {cell::float_(-2147483648.0), INT32_MIN},
        {cell::float_(-2147483649.0), {}},
        {cell::float_(1e300), {}},
        {cell::float_(-std::numeric_limits<double>::infinity()), {}},
        {cell::float_(std::numeric_limits<double>::quiet_NaN()), {}},
        {cell::float_(-1.9), -1},
        {cell::float_(1.9), 1},
        {time(1.5), 2},
        {time(-1.5), -1},
        {time(2147483647.4), 2147483647},
        {time(2147483647.5), {}},
        {time(-2147483648.0), -2147483647},  // -2147483647.5, toward zero
        {time(-2147483649.0), INT32_MIN},
        {time(-2147483649.5), {}},
        {time(3e9), {}},
        {time(std::numeric_limits<double>::quiet_NaN()), {}},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(std::to_string(cell::get_float(c.spec)) + " type " + std::to_string(cell::type_of(c.spec)));
        Outcome o = to_integer(c.spec);
        if (c.expected) expect_integer(o, *c.expected);
        else expect_error(o, ErrorId::script_type_limit);
    }
    Cell percent = cell::float_(1e10);
    cell::set_type(percent, type::percent);
    expect_error(to_integer(percent), ErrorId::script_type_limit);
}

TEST_F(Integer, ToIntegerOfOtherValues) {
    expect_integer(to_integer(cell::integer(-5)), -5);
    expect_integer(to_integer(cell::make(type::char_, 0, 0x20AC)), 0x20AC);
    auto issue = [](const char* text) { return cell::make(type::issue, 0, symbol::make(text), 0xFFFFFFFF); };
    expect_integer(to_integer(issue("ff")), 255);
    expect_integer(to_integer(issue("7FFFFFFF")), INT32_MAX);
    expect_integer(to_integer(issue("FFFFFFFF")), -1);
    expect_error(to_integer(issue("123456789")), ErrorId::script_invalid_data);
    expect_error(to_integer(issue("12g")), ErrorId::script_invalid_data);
    // A binary! gives the big-endian value of up to four bytes from its head.
    Node bytes = memory::alloc_bytes(8);
    const u8 data[] = {0x01, 0x02, 0x03, 0x04, 0x05};
    std::memcpy(memory::reserve_bytes(bytes, 5), data, 5);
    expect_integer(to_integer(cell::make(type::binary, 1, bytes)), 0x02030405);
    expect_integer(to_integer(cell::make(type::binary, 3, bytes)), 0x0405);
    expect_integer(to_integer(cell::make(type::binary, 9, bytes)), 0);
    expect_error(to_integer(logic::true_value), ErrorId::script_bad_to_arg);
    EXPECT_EQ(pending_error.args[0].data1, type::integer);
    // make takes a logic! too.
    Outcome made = run_native([] {
        Cell* proto = stack::push(cell::make(type::datatype, type::integer));
        stack::set_last(*actions::make(proto, stack::push(logic::true_value)));
    });
    expect_integer(made, 1);
}

TEST_F(Integer, FormAndMold) {
    const i32 values[] = {0, 7, -45, 2147483647, INT32_MIN};
    const char* texts[] = {"0", "7", "-45", "2147483647", "-2147483648"};
    for (int i = 0; i < 5; i++) {
        EXPECT_STREQ(integer::form_signed(values[i]), texts[i]);
        Cell* buffer = stack::push();
        string::make_at(*buffer, 16);
        Cell v = cell::integer(values[i]);
        const i32 n = static_cast<i32>(std::strlen(texts[i]));
        EXPECT_EQ(actions::form(&v, buffer, nullptr, 100), 100 - n);
        EXPECT_EQ(actions::mold(&v, buffer, false, false, false, nullptr, 100, 0), 100 - n);
        SeriesBuffer* s = memory::buffer(cell::node(*buffer));
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(s->head_ptr()), s->length()),
                  std::string(texts[i]) + texts[i]);
        stack::pop(1);
    }
}

TEST_F(Integer, CompareAndPredicates) {
    Cell a = cell::integer(3), b = cell::integer(5), ch = cell::make(type::char_, 0, 3);
    EXPECT_EQ(actions::compare_raw(&a, &b, actions::op::lesser), -1);
    EXPECT_EQ(actions::compare_raw(&b, &a, actions::op::lesser), 1);
    EXPECT_EQ(actions::compare_raw(&a, &ch, actions::op::equal), 0);
    // Strict equality and the find equality never match another type.
    EXPECT_EQ(actions::compare_raw(&a, &ch, actions::op::strict_equal), 1);
    EXPECT_EQ(actions::compare_raw(&a, &ch, actions::op::hash), 1);
    Cell t = logic::true_value;
    EXPECT_EQ(actions::compare_raw(&a, &t, actions::op::equal), -2);
    Cell m = cell::integer(INT32_MIN), x = cell::integer(INT32_MAX);
    EXPECT_EQ(actions::compare_raw(&m, &x, actions::op::lesser), -1);

    Cell even = cell::integer(-2), odd = cell::integer(-3);
    EXPECT_TRUE(actions::even_q(&even));
    EXPECT_FALSE(actions::odd_q(&even));
    EXPECT_TRUE(actions::odd_q(&odd));
    expect_integer(run_native([] { actions::negate(stack::push(cell::integer(INT32_MAX))); }), -INT32_MAX);
    expect_integer(run_native([] {
                       stack::push(cell::integer(-9));
                       actions::absolute();
                   }),
                   9);
}

// What the stand-in handlers of other types saw: one line per call, the
// handler and its operands.
std::vector<std::string> calls;

std::string describe(const Cell& c) {
    switch (cell::type_of(c)) {
        case type::integer: return "integer=" + std::to_string(integer::get(c));
        case type::float_: {
            char text[32];
            std::snprintf(text, sizeof text, "float=%g", cell::get_float(c));
            return text;
        }
        case type::pair: return c.data1 ? "-pair" : "pair";  // data1 marks a negated stand-in
        case type::date: return "date";
        case type::money: return "money";
        default: return "type " + std::to_string(cell::type_of(c));
    }
}

void stack_call(const char* what) {
    calls.push_back(std::string(what) + " " + describe(stack::arguments[0]) + " " + describe(stack::arguments[1]));
}
void add_stand_in() { stack_call("add"); }
void multiply_stand_in() { stack_call("multiply"); }
void negate_stand_in(Cell* v) {
    calls.push_back("negate " + describe(*v));
    v->data1 ^= 1;
}
i32 compare_stand_in(Cell* a, Cell* b, i32) {
    calls.push_back("compare " + describe(*a) + " " + describe(*b));
    return 1;  // the first value is the greater
}
void round_stand_in(Cell* v, Cell* scale, bool, bool, bool, bool, bool, bool) {
    calls.push_back("round " + describe(*v) + " " + (scale ? describe(*scale) : "-"));
}

TEST_F(Integer, OperandsOfOtherTypesAreHandedOver) {
    registry::add(type::float_, 0, "float!",
                  ActionTable{.compare = compare_stand_in, .add = add_stand_in, .round = round_stand_in});
    registry::add(type::pair, 0, "pair!",
                  ActionTable{.add = add_stand_in, .multiply = multiply_stand_in, .negate = negate_stand_in});
    registry::add(type::date, 0, "date!", ActionTable{.add = add_stand_in});
    registry::add(type::money, 0, "money!", ActionTable{.compare = compare_stand_in});
    const Cell pair = cell::make(type::pair), date = cell::make(type::date), money = cell::make(type::money);
    struct Case {
        void (*action)();
        Cell right;
        std::vector<std::string> expected;
    } cases[] = {
        // The float arithmetic takes the integer on the left as it is.
        {actions::add, cell::float_(0.5), {"add integer=1 float=0.5"}},
        // n - p is -p + n; n * p is p * n; n + d adds n days to d.
        {actions::subtract, pair, {"negate pair", "add -pair integer=1"}},
        {actions::multiply, pair, {"multiply pair integer=1"}},
        {actions::add, date, {"add date integer=1"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected.back());
        calls.clear();
        Outcome o = math(c.action, cell::integer(1), c.right);
        ASSERT_FALSE(o.error) << error_id_name(*o.error);
        EXPECT_EQ(calls, c.expected);
    }

    // Against a float the integer is compared as a float; against money the
    // money comparison is asked the other way round and its answer reversed.
    Cell three = cell::integer(3), half = cell::float_(2.5);
    calls.clear();
    EXPECT_EQ(actions::compare_raw(&three, &half, actions::op::lesser), 1);
    EXPECT_EQ(calls, std::vector<std::string>{"compare float=3 float=2.5"});
    Cell m = money;
    calls.clear();
    EXPECT_EQ(actions::compare_raw(&three, &m, actions::op::lesser), -1);
    EXPECT_EQ(calls, std::vector<std::string>{"compare money integer=3"});

    // A scale of another type rounds the value as a float.
    calls.clear();
    Outcome o = run_native([] {
        Cell* v = stack::push(cell::integer(17));
        actions::round(v, stack::push(cell::float_(2.5)), false, false, false, false, false, false);
    });
    ASSERT_FALSE(o.error) << error_id_name(*o.error);
    EXPECT_EQ(calls, std::vector<std::string>{"round float=17 float=2.5"});
}

TEST_F(Integer, OperandsOfOtherTypes) {
    // The checks that come before handing the operation to the other type.
    expect_error(math(actions::divide, cell::integer(1), cell::make(type::pair)), ErrorId::script_not_related);
    EXPECT_EQ(pending_error.args[0].data2, words::word::divide.data2);
    expect_error(math(actions::subtract, cell::integer(1), cell::make(type::tuple)), ErrorId::script_not_related);
    EXPECT_EQ(pending_error.args[0].data2, words::word::subtract.data2);
    expect_error(math(actions::multiply, cell::integer(1), cell::make(type::date)), ErrorId::script_not_related);
    EXPECT_EQ(pending_error.args[1].data1, type::integer);
    expect_error(math(actions::add, cell::integer(1), none::value), ErrorId::script_invalid_type);
    EXPECT_EQ(pending_error.args[0].data1, type::none);
}

}  // namespace
