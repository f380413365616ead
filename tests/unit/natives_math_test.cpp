// Comparison, logic and math natives, run as a script would run them: text
// read by the lexer, bound to the global context holding the base words,
// evaluated by the evaluator. Each case is a line of code and the expected
// result shown as text.
#include "boot/boot.h"
#include "codecs/lexer.h"
#include "interpreter/evaluator.h"
#include "interpreter/natives_math.h"
#include "interpreter/stack.h"
#include "runtime/datatypes/context.h"
#include "runtime/fire.h"
#include "runtime/runtime.h"
#include "runtime/system.h"
#include "support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string>

using namespace oru;

namespace {

class NativesMath : public ::testing::Test {
public:
    void SetUp() override {
        runtime_init();
        natives_math::register_all();
        interpreter::init();
        boot::define_base();
        base = stack::top;
    }
    void TearDown() override { runtime_shutdown(); }

    // Loads, binds and evaluates the text; the result shown as text.
    std::string run(const char* text) {
        stack::top = stack::arguments = base;
        std::string shown;
        CallFrame* frames = stack::frame_top;
        try {
            const u32 c = test::evaluate(text);
            EXPECT_EQ(c, 0u) << text;
            shown = show(*stack::arguments);
        } catch (const SystemThrow& t) {
            shown = t.code == throw_code::error ? "error " + std::to_string(static_cast<int>(pending_error.id))
                                                : "throw " + std::to_string(t.code);
        }
        interpreter::pending = 0;
        stack::frame_top = frames;
        stack::arguments = stack::top = base;
        return shown;
    }

    static std::string show(const Cell& v) {
        char buf[64];
        switch (cell::type_of(v)) {
        case type::integer: return std::to_string(static_cast<i32>(v.data2));
        case type::logic: return v.data1 ? "true" : "false";
        case type::none: return "none";
        case type::float_:
            std::snprintf(buf, sizeof buf, "%.17g", cell::get_float(v));
            return buf;
        default: return "type " + std::to_string(cell::type_of(v));
        }
    }

    Cell* base = nullptr;
};

struct Case {
    const char* code;
    std::string expected;
};

std::string err(ErrorId id) { return "error " + std::to_string(static_cast<int>(id)); }

void check_table(NativesMath& t, std::initializer_list<Case> cases) {
    for (const Case& c : cases) EXPECT_EQ(t.run(c.code), c.expected) << c.code;
}

}  // namespace

TEST_F(NativesMath, ComparisonsAcrossTypes) {
    const std::string invalid = err(ErrorId::script_invalid_compare);
    check_table(*this, {
        // integers, and through the infix operators made from the natives
        {"equal? 1 1", "true"},              {"equal? 1 2", "false"},
        {"not-equal? 1 2", "true"},          {"1 <> 1", "false"},
        {"lesser? 1 2", "true"},             {"lesser? 2 1", "false"},
        {"greater? 2 1", "true"},            {"3 > 3", "false"},
        {"lesser-or-equal? 2 2", "true"},    {"3 <= 2", "false"},
        {"greater-or-equal? 2 2", "true"},   {"1 >= 2", "false"},
        {"-2147483648 < 2147483647", "true"},
        // integers against floats, floats
        {"1 = 1.0", "true"},                 {"1 < 1.5", "true"},
        {"2.5 > 2", "true"},                 {"0.1 + 0.2 = 0.3", "true"},
        // strings: equal? ignores case, strict-equal? does not
        {"\"abc\" = \"ABC\"", "true"},      {"strict-equal? \"abc\" \"ABC\"", "false"},
        {"\"abc\" == \"abc\"", "true"},     {"\"abc\" < \"abd\"", "true"},
        // words
        {"'a = 'a", "true"},                 {"'a = 'b", "false"},
        {"equal? 'a 'A", "true"},
        // different types: equality says they differ, ordering cannot tell
        {"1 = \"1\"", "false"},              {"1 <> \"1\"", "true"},
        {"equal? none 0", "false"},
        {"1 < \"1\"", invalid},              {"\"a\" > 1", invalid},
        {"lesser-or-equal? 1 none", invalid}, {"greater-or-equal? 'a 1", invalid},
    });
}

TEST_F(NativesMath, SameAndNot) {
    check_table(*this, {
        {"same? 1 1", "true"},               {"same? 1 2", "false"},
        {"same? 1 1.0", "false"},            {"same? 1.0 1.0", "true"},
        {"same? 0.0 -0.0", "false"},         {"same? none none", "true"},
        {"same? \"a\" \"a\"", "false"},     {"s: \"a\" same? s s", "true"},
        {"s: \"ab\" same? s next s", "false"}, {"b: [1] same? b b", "true"},
        {"same? 'a 'a", "true"},             {"same? 'a 'b", "false"},
        {"same? :print :print", "true"},     {"same? :print :prin", "false"},
        {"1 =? 1", "true"},
        {"not none", "true"},                {"not false", "true"},
        {"not true", "false"},               {"not 0", "false"},
        {"not \"\"", "false"},
    });
}

TEST_F(NativesMath, NumberTests) {
    check_table(*this, {
        {"zero? 0", "true"},                 {"zero? 1", "false"},
        {"zero? 0.0", "true"},               {"zero? -0.0", "true"},
        {"zero? #\"^@\"", "true"},           {"zero? #\"a\"", "false"},
        {"sign? -5", "-1"},                  {"sign? 0", "0"},
        {"sign? 7", "1"},                    {"sign? -0.0", "0"},
        {"sign? 0.5", "1"},                  {"sign? -2147483648", "-1"},
        {"negative? -1", "true"},            {"negative? 0", "false"},
        {"positive? 0", "false"},            {"positive? 1e-300", "true"},
        {"negative? -0.0", "false"},
        {"NaN? 1", "false"},                 {"NaN? 1.0", "false"},
        {"NaN? square-root -1.0", "true"},
        {"sign? square-root -1", "0"},       {"positive? square-root -1", "false"},
        {"zero? square-root -1", "false"},
        // outside the argument types
        {"zero? \"0\"", err(ErrorId::script_expect_arg)},
        {"sign? none", err(ErrorId::script_expect_arg)},
    });
}

TEST_F(NativesMath, MaxMin) {
    check_table(*this, {
        {"max 1 2", "2"},                    {"max 2 1", "2"},
        {"min 1 2", "1"},                    {"min -1 -2", "-2"},
        {"max 1 2.5", "2.5"},                {"min 1 2.5", "1"},
        {"\"b\" = max \"a\" \"b\"", "true"}, {"\"a\" = min \"a\" \"b\"", "true"},
        // a NaN operand wins
        {"NaN? max 1.0 square-root -1", "true"},
        {"max 1 none", err(ErrorId::script_expect_arg)},
        {"min 1 \"a\"", err(ErrorId::script_invalid_compare)},
    });
}

TEST_F(NativesMath, Shift) {
    check_table(*this, {
        {"shift 1 32", "0"},                 {"shift -8 40", "-1"},
        {"shift -8 1", "-4"},                {"shift 16 -3", "16"},
        {"shift/left 1 31", "-2147483648"},  {"shift/left 1 32", "0"},
        {"shift/logical -1 28", "15"},       {"shift/logical -1 32", "0"},
        {"shift/left/logical 1 4", "16"},    {"shift/logical/left 3 1", "6"},
    });
}

TEST_F(NativesMath, TrigonometryAndLogs) {
    check_table(*this, {
        {"sine 180", "0"},                   {"sine 90", "1"},
        {"sine 30", "0.49999999999999994"},  {"cosine 90", "0"},
        {"cosine 0", "1"},                   {"cosine 180", "-1"},
        {"tangent 90", "inf"},               {"tangent -90", "-inf"},
        {"tangent 270", "-inf"},             {"tangent 45", "0.99999999999999989"},
        {"sine/radians 0", "0"},             {"cosine/radians 0.0", "1"},
        {"arcsine 1", "90"},                 {"arcsine/radians 1", "1.5707963267948966"},
        {"arccosine 1", "0"},                {"arctangent 1", "45"},
        {"arctangent2 1 1", "45"},           {"arctangent2/radians 0 -1", "3.1415926535897931"},
        {"log-2 8", "3"},                    {"log-10 1000", "3"},
        {"log-e 1", "0"},                    {"exp 0", "1"},
        {"square-root 16", "4"},             {"log-e 0", "-inf"},
    });
}
