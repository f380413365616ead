// float!: the display forms of form and mold, tolerant and strict
// comparison, mixed arithmetic with integer! and char!, round's refinements,
// range-checked conversions, make/to. Actions go through the dispatcher as
// the evaluator calls them: operands at stack::arguments, the result in the
// first.
#include "interpreter/actions.h"
#include "interpreter/stack.h"
#include "runtime/datatypes/char.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/string.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/registry.h"
#include "runtime/runtime.h"
#include "runtime/system.h"

#include "support.h"

#include <gtest/gtest.h>

#include <bit>
#include <climits>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <optional>
#include <string>

using namespace oru;

namespace {

using namespace test;

const double inf = std::numeric_limits<double>::infinity();
const double nan_ = std::numeric_limits<double>::quiet_NaN();

Cell typed(u32 t, double d) {
    Cell c = cell::float_(d);
    cell::set_type(c, t);
    return c;
}

// percent! and time! register as children of float!; until their modules
// exist, stand-ins that inherit every float! handler take their place.
void register_float_children() {
    ActionTable children;
    children.make = inherit;
    children.to = inherit;
    children.form = inherit;
    children.mold = inherit;
    children.compare = inherit;
    children.absolute = inherit;
    children.add = inherit;
    children.divide = inherit;
    children.multiply = inherit;
    children.negate = inherit;
    children.power = inherit;
    children.remainder = inherit;
    children.round = inherit;
    children.subtract = inherit;
    children.even_q = inherit;
    children.odd_q = inherit;
    registry::add(type::percent, type::float_, "percent!", children);
    registry::add(type::time, type::float_, "time!", children);
}

class Float : public ::testing::Test {
protected:
    void SetUp() override {
        runtime_init();
        integer::init();
        char_::init();
        float_::init();
        register_float_children();
        float_::pretty_print_q = true;
    }
    void TearDown() override {
        float_::pretty_print_q = true;
        runtime_shutdown();
    }

    // Runs body in a native frame inside a try frame; the result slot
    // afterwards, or the error.
    Outcome convert(bool make, u32 target, const Cell& spec) {
        return run_native([&] {
            Cell* proto = stack::push(cell::make(type::datatype, target));
            Cell* s = stack::push(spec);
            stack::set_last(*(make ? actions::make(proto, s) : actions::to(proto, s)));
        });
    }

    Outcome rounded(const Cell& v, std::optional<Cell> scale, int mode) {
        return run_native([&] {
            Cell* value = stack::push(v);
            Cell* s = scale ? stack::push(*scale) : nullptr;
            actions::round(value, s, mode == 1, mode == 2, mode == 3, mode == 4, mode == 5, mode == 6);
        });
    }

    // The text a form or mold handler appends.
    std::string text_of(const Cell& v, bool mold) {
        Cell* buffer = stack::push();
        string::make_at(*buffer, 16);
        Cell value = v;
        const i32 left = mold ? actions::mold(&value, buffer, false, false, false, nullptr, 1000, 0)
                              : actions::form(&value, buffer, nullptr, 1000);
        SeriesBuffer* s = memory::buffer(cell::node(*buffer));
        std::string out(reinterpret_cast<const char*>(s->head_ptr()), s->length());
        EXPECT_EQ(left, 1000 - static_cast<i32>(out.size())) << out;
        stack::pop(1);
        return out;
    }

    static Cell string_of(const char* text) {
        Cell s;
        string::make_at(s, 16);
        string::concatenate_literal(s, text);
        return s;
    }
};

void expect_float(const Outcome& o, double d, u32 t = type::float_) {
    ASSERT_FALSE(o.error) << error_id_name(*o.error);
    ASSERT_EQ(cell::type_of(o.value), t);
    EXPECT_EQ(std::bit_cast<u64>(cell::get_float(o.value)), std::bit_cast<u64>(d))
        << cell::get_float(o.value) << " vs " << d;
}

TEST_F(Float, FormShowsTheDisplayForms) {
    struct Case {
        double value;
        const char* pretty;
        const char* plain;
    } cases[] = {
        {0.1 + 0.7, "0.8", "0.7999999999999999"},
        {4.35 * 100, "435.0", "434.9999999999999"},
        {1e20, "1.0e20", "1.0e20"},
        {1e16, "1.0e16", "1.0e16"},
        {1e15, "1000000000000000.0", "1000000000000000.0"},
        {123456789012345.0, "123456789012345.0", "123456789012345.0"},
        {1e-5, "1.0e-5", "1.0e-5"},
        {1e-4, "0.0001", "0.0001"},
        {5.0, "5.0", "5.0"},
        {-2.5, "-2.5", "-2.5"},
        {1e-17, "0.0", "1.0e-17"},
        {-0.0, "0.0", "-0.0"},
        {0.0, "0.0", "0.0"},
        {1.0 / 3.0, "0.3333333333333333", "0.3333333333333333"},
        {2.0 / 3.0, "0.6666666666666666", "0.6666666666666666"},
        {1.0000000000000002, "1.0", "1.0"},
        {123.456, "123.456", "123.456"},
        {1.7976931348623157e308, "1.797693134862316e308", "1.797693134862316e308"},
        {inf, "1.#INF", "1.#INF"},
        {-inf, "-1.#INF", "-1.#INF"},
        {nan_, "1.#NaN", "1.#NaN"},
    };
    for (const Case& c : cases) {
        float_::pretty_print_q = true;
        EXPECT_EQ(text_of(cell::float_(c.value), false), c.pretty) << c.value;
        float_::pretty_print_q = false;
        EXPECT_EQ(text_of(cell::float_(c.value), false), c.plain) << c.value;
    }
}

TEST_F(Float, FormFloatKindsOfOtherCallers) {
    struct Case {
        double value;
        int kind;
        const char* text;
    } cases[] = {
        {0.5, float_::kind::percent, "0.5%"},
        {12.5, float_::kind::percent, "12.5%"},
        {1e-20, float_::kind::percent, "0%"},
        {0.1 + 0.7, float_::kind::percent, "0.8%"},
        {1.5, float_::kind::time, "1.5"},
        {2.0, float_::kind::time, "2"},
        {59.9999999, float_::kind::time, "60"},
        {1e-20, float_::kind::time, "0.0"},
        {3.0, float_::kind::point, "3"},
        {1e-20, float_::kind::point, "0"},
        {0.1f, float_::kind::float32, "0.1"},
        {1e20, float_::kind::float32, "1.0e20"},
        {1234567.0, float_::kind::float32, "1234567.0"},
        {12345678.0, float_::kind::float32, "1.234568e7"},
        {-1e-10, float_::kind::float32, "-1.0e-10"},
    };
    for (const Case& c : cases) EXPECT_STREQ(float_::form_float(c.value, c.kind), c.text) << c.value;
}

TEST_F(Float, MoldShowsTheShortestExactDigits) {
    struct Case {
        double value;
        const char* text;
    } cases[] = {
        {0.1, "0.1"},
        {0.1 + 0.7, "0.7999999999999999"},
        {0.1 + 0.2, "0.30000000000000004"},
        {100.0, "100.0"},
        {1e16, "10000000000000000.0"},
        {1e17, "1.0e17"},
        {1e-7, "0.0000001"},
        {1e-8, "1.0e-8"},
        {-0.0, "-0.0"},
        {5e-324, "5.0e-324"},
        {1.7976931348623157e308, "1.7976931348623157e308"},
        {inf, "1.#INF"},
        {nan_, "1.#NaN"},
    };
    float_::pretty_print_q = true;  // mold does not look at it
    for (const Case& c : cases) EXPECT_EQ(text_of(cell::float_(c.value), true), c.text);
}

TEST_F(Float, ToleratedAndStrictEquality) {
    auto cmp = [](double a, const Cell& b, i32 op) {
        Cell x = cell::float_(a), y = b;
        return actions::compare(&x, &y, op);
    };
    const Cell point3 = cell::float_(0.3);
    EXPECT_TRUE(cmp(0.1 + 0.2, point3, actions::op::equal));
    EXPECT_FALSE(cmp(0.1 + 0.2, point3, actions::op::not_equal));
    EXPECT_FALSE(cmp(0.1 + 0.2, point3, actions::op::strict_equal));
    // Ten units in the last place are equal, eleven are not.
    double ten = 1.0, eleven;
    for (int i = 0; i < 10; i++) ten = std::nextafter(ten, 2.0);
    eleven = std::nextafter(ten, 2.0);
    EXPECT_TRUE(cmp(1.0, cell::float_(ten), actions::op::equal));
    EXPECT_FALSE(cmp(1.0, cell::float_(eleven), actions::op::equal));
    // Tiny values are equal within the absolute tolerance.
    EXPECT_TRUE(cmp(1e-17, cell::float_(-1e-17), actions::op::equal));
    EXPECT_TRUE(cmp(0.0, cell::float_(-0.0), actions::op::strict_equal));
    // Identity (code 9) compares the bit patterns.
    Cell zero = cell::float_(0.0), minus_zero = cell::float_(-0.0);
    EXPECT_EQ(actions::compare_raw(&zero, &minus_zero, 9), 1);
    EXPECT_EQ(actions::compare_raw(&zero, &zero, 9), 0);
    // integer! on the right: converted; strict equality wants the same type.
    EXPECT_TRUE(cmp(3.0, cell::integer(3), actions::op::equal));
    EXPECT_FALSE(cmp(3.0, cell::integer(3), actions::op::strict_equal));
    EXPECT_TRUE(cmp(2.5, cell::integer(3), actions::op::lesser));
    // Integer on the left goes through the same comparison.
    Cell three = cell::integer(3), f3 = cell::float_(3.0);
    EXPECT_TRUE(actions::compare(&three, &f3, actions::op::equal));
    // Other types: not comparable.
    Cell f = cell::float_(1.0), t = logic::true_value;
    EXPECT_EQ(actions::compare_raw(&f, &t, actions::op::equal), -2);
    EXPECT_FALSE(actions::compare(&f, &t, actions::op::equal));
}

TEST_F(Float, NaNIsNeverEqualNorOrdered) {
    Cell n = cell::float_(nan_), five = cell::float_(5.0);
    for (i32 op : {actions::op::lesser, actions::op::lesser_equal, actions::op::greater, actions::op::greater_equal}) {
        EXPECT_FALSE(actions::compare(&n, &five, op)) << op;
        EXPECT_FALSE(actions::compare(&five, &n, op)) << op;
    }
    EXPECT_FALSE(actions::compare(&n, &n, actions::op::equal));
    EXPECT_FALSE(actions::compare(&n, &n, actions::op::strict_equal));
    EXPECT_TRUE(actions::compare(&n, &five, actions::op::not_equal));
    // The equality of find and select: a NaN matches nothing.
    EXPECT_FALSE(actions::compare(&n, &five, actions::op::hash));
    EXPECT_FALSE(actions::compare(&five, &n, actions::op::hash));
}

TEST_F(Float, MixedArithmetic) {
    struct Case {
        void (*action)();
        Cell l, r;
        double result;
        u32 type;
    } cases[] = {
        {actions::add, cell::float_(1.5), cell::integer(2), 3.5, type::float_},
        {actions::add, cell::integer(2), cell::float_(1.5), 3.5, type::float_},  // integer! hands over
        {actions::subtract, cell::integer(1), cell::float_(0.25), 0.75, type::float_},
        {actions::multiply, cell::float_(1.5), char_::make_cell(2), 3.0, type::float_},
        {actions::divide, cell::float_(1.0), cell::float_(0.0), inf, type::float_},
        {actions::divide, cell::float_(-1.0), cell::integer(0), -inf, type::float_},
        {actions::divide, cell::integer(7), cell::float_(2.0), 3.5, type::float_},
        {actions::remainder, cell::float_(7.5), cell::integer(2), 1.5, type::float_},
        {actions::remainder, cell::float_(-7.5), cell::float_(2.0), -1.5, type::float_},
        {actions::remainder, cell::float_(7.5), cell::float_(inf), 7.5, type::float_},
        {actions::add, typed(type::percent, 0.5), cell::float_(0.25), 0.75, type::percent},
        {actions::add, cell::float_(0.25), typed(type::percent, 0.5), 0.75, type::float_},
        {actions::multiply, typed(type::time, 60.0), cell::integer(2), 120.0, type::time},
        {actions::add, cell::float_(1.0), typed(type::time, 60.0), 61.0, type::time},
        {actions::subtract, typed(type::time, 60.0), typed(type::time, 15.0), 45.0, type::float_},
        {actions::add, cell::float_(1e308), cell::float_(1e308), inf, type::float_},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(cell::get_float(c.l)) + " op " + std::to_string(cell::get_float(c.r)));
        expect_float(math(c.action, c.l, c.r), c.result, c.type);
    }
    // 0 / 0 and remainders by 0 or NaN: NaN, no error.
    Outcome o = math(actions::divide, cell::float_(0.0), cell::float_(0.0));
    ASSERT_FALSE(o.error);
    EXPECT_TRUE(std::isnan(cell::get_float(o.value)));
    o = math(actions::remainder, cell::float_(1.0), cell::float_(0.0));
    EXPECT_TRUE(std::isnan(cell::get_float(o.value)));
    o = math(actions::remainder, cell::float_(inf), cell::float_(inf));
    EXPECT_TRUE(std::isnan(cell::get_float(o.value)));
    o = math(actions::remainder, cell::float_(1.0), cell::float_(nan_));
    EXPECT_TRUE(std::isnan(cell::get_float(o.value)));
    // Refused right operands.
    expect_error(math(actions::add, cell::float_(1.0), logic::true_value), ErrorId::script_invalid_type);
    expect_error(math(actions::add, typed(type::percent, 1.0), char_::make_cell(1)), ErrorId::script_invalid_type);
    expect_error(math(actions::add, typed(type::time, 1.0), char_::make_cell(1)), ErrorId::script_invalid_type);
    expect_error(math(actions::subtract, cell::float_(1.0), cell::make(type::pair)), ErrorId::script_not_related);
    expect_error(math(actions::divide, cell::float_(1.0), cell::make(type::point2D)), ErrorId::script_not_related);
    // The float arithmetic has no bitwise operators.
    expect_error(run_native([] { float_::do_math(integer::op::and_); }), ErrorId::script_cannot_use);
}

TEST_F(Float, NegateAbsoluteAndPower) {
    expect_float(run_native([] { actions::negate(stack::push(cell::float_(0.0))); }), 0.0);  // 0.0 - x: not -0.0
    expect_float(run_native([] { actions::negate(stack::push(cell::float_(2.5))); }), -2.5);
    expect_float(run_native([] { actions::negate(stack::push(typed(type::percent, 0.5))); }), -0.5, type::percent);
    expect_float(run_native([] {
                     stack::push(cell::float_(-0.0));
                     actions::absolute();
                 }),
                 0.0);
    expect_float(run_native([] {
                     stack::push(cell::float_(-inf));
                     actions::absolute();
                 }),
                 inf);
    expect_float(math(actions::power, cell::float_(2.0), cell::float_(0.5)), std::sqrt(2.0));
    expect_float(math(actions::power, cell::float_(2.0), cell::integer(-2)), 0.25);
    expect_error(math(actions::power, cell::float_(2.0), typed(type::percent, 0.5)), ErrorId::script_expect_arg);
    EXPECT_EQ(pending_error.args[1].data1, type::percent);
}

TEST_F(Float, RoundRefinements) {
    enum { none_, even, down, half_down, floor, ceiling, half_ceiling };
    struct Case {
        double value;
        std::optional<Cell> scale;
        int mode;
        double result;
    } cases[] = {
        {2.5, {}, none_, 3.0},
        {2.5, {}, even, 2.0},
        {3.5, {}, even, 4.0},
        {2.5, {}, half_down, 2.0},
        {-2.5, {}, none_, -3.0},
        {-2.5, {}, half_ceiling, -2.0},
        {2.5, {}, half_ceiling, 3.0},
        {-2.5, {}, even, -2.0},
        {2.4, {}, none_, 2.0},
        {2.6, {}, half_down, 3.0},
        {-2.7, {}, down, -2.0},
        {-2.2, {}, floor, -3.0},
        {-2.7, {}, ceiling, -2.0},
        {1.234, cell::float_(0.01), none_, 1.23},
        {1.235, cell::float_(0.01), none_, 1.24},
        {-1.234, cell::float_(-0.01), floor, -1.24},
        {17.0, cell::float_(5.0), none_, 15.0},
        {18.0, cell::float_(5.0), none_, 20.0},
        {25.0, cell::float_(10.0), even, 20.0},
        {1e300, cell::float_(1e300), none_, 1e300},
        {1e-310, cell::float_(1e-315), none_, 1e-310},  // a subnormal scale: no overflow of its reciprocal
        // x / scale beyond the double range: x is already a multiple to
        // within its precision, not an infinity.
        {1e308, cell::float_(0.01), none_, 1e308},
        {-1e308, cell::float_(0.01), floor, -1e308},
        {1e300, cell::float_(5e-324), ceiling, 1e300},
        {1e10, cell::float_(1.5e-323), none_, 1e10},
        {inf, {}, none_, inf},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.value) + " mode " + std::to_string(c.mode));
        const Outcome o = rounded(cell::float_(c.value), c.scale, c.mode);
        ASSERT_FALSE(o.error) << error_id_name(*o.error);
        const double got = cell::get_float(o.value);
        if (std::isinf(c.result)) EXPECT_EQ(got, c.result);
        else EXPECT_NEAR(got, c.result, std::fabs(c.result) * 1e-15 + 1e-317);
        EXPECT_EQ(cell::type_of(o.value), type::float_);
    }
    // An integer! scale gives an integer!.
    expect_integer(rounded(cell::float_(3.7), cell::integer(1), none_), 4);
    expect_integer(rounded(cell::float_(-3.5), cell::integer(1), none_), -4);
    expect_integer(rounded(cell::float_(2147483647.4), cell::integer(1), none_), INT32_MAX);
    // Beyond 32 bits there is no integer! for it.
    expect_error(rounded(cell::float_(2147483647.5), cell::integer(1), none_), ErrorId::math_overflow);
    expect_error(rounded(cell::float_(1e12), cell::integer(10), none_), ErrorId::math_overflow);
    expect_error(rounded(cell::float_(nan_), cell::integer(1), none_), ErrorId::math_overflow);
    // A percent! value: scale 0.01 by default; /to divides the scale by 100.
    expect_float(rounded(typed(type::percent, 0.12345), {}, none_), 0.12, type::percent);
    // With /to the result takes the scale's type.
    expect_float(rounded(typed(type::percent, 0.12345), cell::float_(0.1), none_), 0.123);
    // Rounding up past the largest double.
    expect_error(rounded(cell::float_(1.7976931348623157e308), cell::float_(1e308), none_), ErrorId::math_overflow);
    expect_error(rounded(cell::float_(1.0), cell::make(type::money), none_), ErrorId::script_not_related);
    // integer! hands a float scale over: the result takes the scale's type.
    expect_float(rounded(cell::integer(7), cell::float_(2.0), none_), 8.0);
}

TEST_F(Float, EvenAndOddBeyond32Bits) {
    struct Case {
        double value;
        bool odd;
    } cases[] = {
        {2.5, false}, {3.9, true}, {-3.5, true}, {-0.5, false}, {0.0, false},
        {4294967297.0, true}, {4294967296.0, false}, {-2147483649.0, true},
        {9007199254740991.0, true}, {1e300, false}, {-1e300, false},
    };
    for (const Case& c : cases) {
        Cell v = cell::float_(c.value);
        EXPECT_EQ(actions::odd_q(&v), c.odd) << c.value;
        EXPECT_EQ(actions::even_q(&v), !c.odd) << c.value;
    }
    expect_error(run_native([] { actions::even_q(stack::push(cell::float_(inf))); }), ErrorId::script_type_limit);
    expect_error(run_native([] { actions::odd_q(stack::push(cell::float_(nan_))); }), ErrorId::script_type_limit);
}

TEST_F(Float, MakeAndTo) {
    struct Case {
        const char* text;
        std::optional<double> value;  // absent: script/bad-to-arg
    } texts[] = {
        {"1.5", 1.5},
        {"-2e3", -2000.0},
        {" 0,25 ", 0.25},
        {"1'000.5", 1000.5},
        {".5", 0.5},
        {"1.#INF", inf},
        {"0.1000000000000000000000000000001", 0.1},
        {"", {}},
        {"  ", {}},
        {"abc", {}},
        {"1.5x", {}},
        {"e5", {}},
        {"-", {}},
        {"1.5%", {}},
    };
    for (const Case& c : texts) {
        SCOPED_TRACE(c.text);
        const Outcome o = convert(false, type::float_, string_of(c.text));
        if (c.value) expect_float(o, *c.value);
        else expect_error(o, ErrorId::script_bad_to_arg);
    }
    // percent! takes a percent text, or a plain number as the fraction.
    expect_float(convert(false, type::percent, string_of("50%")), 0.5, type::percent);
    expect_float(convert(false, type::percent, string_of("0.5")), 0.5, type::percent);
    expect_float(convert(true, type::float_, cell::integer(-7)), -7.0);
    expect_float(convert(true, type::float_, char_::make_cell('A')), 65.0);
    expect_float(convert(true, type::percent, cell::float_(0.5)), 0.5, type::percent);
    expect_float(convert(true, type::float_, typed(type::time, 90.5)), 90.5);
    // binary!: up to 8 bytes big-endian as the bit pattern.
    Node bytes = memory::alloc_bytes(16);
    const u8 data[] = {0x3F, 0xF8, 0, 0, 0, 0, 0, 0, 0xFF};
    std::memcpy(memory::reserve_bytes(bytes, 9), data, 9);
    expect_float(convert(false, type::float_, cell::make(type::binary, 0, bytes)), 1.5);
    expect_float(convert(false, type::float_, cell::make(type::binary, 8, bytes)), std::bit_cast<double>(u64{0xFF}));
    // [m e]: m x 10^e, correctly rounded.
    auto pair = [](const Cell& m, const Cell& e) {
        Node n = memory::alloc_cells(4);
        *memory::alloc_tail(n) = m;
        *memory::alloc_tail(n) = e;
        return cell::make(type::block, 0, n);
    };
    expect_float(convert(true, type::float_, pair(cell::integer(2), cell::integer(3))), 2000.0);
    expect_float(convert(true, type::float_, pair(cell::integer(1), cell::integer(23))), 1e23);
    expect_float(convert(true, type::float_, pair(cell::integer(-5), cell::integer(-1))), -0.5);
    expect_float(convert(true, type::float_, pair(cell::float_(1.5), cell::integer(2))), 150.0);
    expect_float(convert(true, type::float_, pair(cell::integer(1), cell::integer(400))), inf);
    expect_error(convert(true, type::float_, pair(cell::integer(1), logic::true_value)), ErrorId::script_bad_to_arg);
    Cell three = pair(cell::integer(1), cell::integer(2));
    *memory::alloc_tail(cell::node(three)) = cell::integer(3);
    expect_error(convert(true, type::float_, three), ErrorId::script_bad_to_arg);
    expect_error(convert(false, type::float_, logic::true_value), ErrorId::script_bad_to_arg);
    EXPECT_EQ(pending_error.args[0].data1, type::float_);
}

TEST(FloatHelpers, RoundToIntSaturatesAndThirtyTwoBitEquality) {
    // x + 0.49999999999999994, truncated: the bias keeps the double just
    // below one half at 0, where adding 0.5 would round up to 1.
    EXPECT_EQ(float_::round_to_int(0.49999999999999994), 0);
    EXPECT_EQ(float_::round_to_int(0.5), 1);
    EXPECT_EQ(float_::round_to_int(1.5), 2);
    EXPECT_EQ(float_::round_to_int(2.4), 2);
    EXPECT_EQ(float_::round_to_int(-1.7), -1);
    EXPECT_EQ(float_::round_to_int(1e20), INT32_MAX);
    EXPECT_EQ(float_::round_to_int(-1e20), INT32_MIN);
    EXPECT_EQ(float_::round_to_int(nan_), 0);
    EXPECT_TRUE(float_::almost_equal32_q(1.0f, std::nextafter(1.0f, 2.0f)));
    float f = 1.0f;
    for (int i = 0; i < 11; i++) f = std::nextafter(f, 2.0f);
    EXPECT_FALSE(float_::almost_equal32_q(1.0f, f));
    EXPECT_TRUE(float_::almost_equal32_q(0.0f, -0.0f));
    EXPECT_FALSE(float_::almost_equal32_q(std::nanf(""), std::nanf("")));
    EXPECT_TRUE(float_::almost_equal32_q(std::numeric_limits<float>::infinity(), std::numeric_limits<float>::max()));
    EXPECT_FALSE(float_::almost_equal32_q(std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::max()));
    EXPECT_TRUE(float_::NaN_q(nan_));
    EXPECT_FALSE(float_::NaN_q(inf));
    EXPECT_TRUE(float_::special_q(-inf));
    EXPECT_EQ(float_::abs_bits(-0.0), 0.0);
    EXPECT_FALSE(std::signbit(float_::abs_bits(-0.0)));
    EXPECT_EQ(float_::largest, std::numeric_limits<double>::max());
    EXPECT_EQ(float_::rounding_bias, 0.49999999999999994);
}

}  // namespace
