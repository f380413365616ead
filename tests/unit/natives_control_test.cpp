// Conditional, loop, function-making and unwinding natives, run through the
// evaluator over blocks read by a tiny test reader (integers, floats, words
// and their forms, paths, blocks, parens); and the shared routines of the
// natives that need no evaluation (loop counts, max/min, set-words).
#include "interpreter/evaluator.h"
#include "interpreter/natives.h"
#include "interpreter/natives_control.h"
#include "interpreter/natives_shared.h"
#include "interpreter/stack.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/native.h"
#include "runtime/datatypes/word.h"
#include "runtime/fire.h"
#include "runtime/runtime.h"
#include "runtime/system.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <optional>
#include <string>

using namespace oru;

namespace {

struct Outcome {
    std::optional<ErrorId> error;
    Cell value{};
};

// Specs of the natives under test, as their words and slots.
struct NativeSpec {
    const char* word;
    i32 slot;
    const char* spec;
};
const NativeSpec native_specs[] = {
    {"if", natives::slot::if_, "cond [any-type!] then-blk"},
    {"unless", natives::slot::unless, "cond [any-type!] then-blk"},
    {"either", natives::slot::either, "cond [any-type!] true-blk false-blk"},
    {"any", natives::slot::any, "conds"},
    {"all", natives::slot::all, "conds"},
    {"while", natives::slot::while_, "cond body"},
    {"until", natives::slot::until, "body"},
    {"loop", natives::slot::loop, "count body"},
    {"repeat", natives::slot::repeat, "'word value body"},
    {"forever", natives::slot::forever, "body"},
    {"func", natives::slot::func, "spec body"},
    {"function", natives::slot::function, "spec body"},
    {"does", natives::slot::does, "body"},
    {"has", natives::slot::has, "vars body"},
    {"switch", natives::slot::switch_, "value [any-type!] cases /default case"},
    {"case", natives::slot::case_, "cases /all"},
    {"try", natives::slot::try_, "block /all /keep"},
    {"break", natives::slot::break_, "/return value [any-type!]"},
    {"continue", natives::slot::continue_, ""},
    {"exit", natives::slot::exit, ""},
    {"return", natives::slot::return_, "value [any-type!]"},
    {"throw", natives::slot::throw_, "value [any-type!] /name word"},
    {"catch", natives::slot::catch_, "block /name word"},
};

class NativesControl : public ::testing::Test {
public:
    void SetUp() override {
        runtime_init();
        natives_control::register_all();
        natives::init();
        interpreter::init();
        set_global("none", Cell{type::none, 0, 0, 0});
        set_global("true", Cell{type::logic, 1, 0, 0});
        set_global("false", Cell{type::logic, 0, 0, 0});
        set_global("any-type!", Cell{type::typeset, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF});
        // No datatype words exist here, so the specs leave their types out:
        // the values are built without make native!'s check of the types.
        for (const NativeSpec& n : native_specs) {
            Cell* spec = read(n.spec);
            Cell* v = native::build(type::native, n.slot, *spec, false);
            set_global(n.word, *v);
        }
        base = stack::top;
    }
    void TearDown() override { runtime_shutdown(); }

    static void set_global(const char* name, const Cell& value) {
        Cell w = word::load(name);
        context::set(w, value);
    }

    // --- the reader: pushes the block of the text and returns it.
    const char* p = nullptr;
    Cell* read(const char* text) {
        p = text;
        return read_block(0);
    }
    Cell* read_block(char close) {
        Cell* blk = stack::push();
        block::make_at(*blk, 4);
        for (;;) {
            while (*p == ' ') ++p;
            if (!*p || *p == close) {
                if (*p) ++p;
                break;
            }
            Cell* top = stack::top;
            Cell v = read_value();
            block::rs_append(*blk, v);
            stack::top = top;
        }
        if (close == ')') cell::set_type(*blk, type::paren);
        return blk;
    }
    Cell read_value() {
        if (*p == '[') { ++p; return *read_block(']'); }
        if (*p == '(') { ++p; return *read_block(')'); }
        std::string t;
        while (*p && *p != ' ' && *p != ']' && *p != ')' && *p != '[') t += *p++;
        if (std::isdigit(static_cast<unsigned char>(t[0])) || (t[0] == '-' && t.size() > 1)) {
            if (t.find('.') != std::string::npos) return cell::float_(std::strtod(t.c_str(), nullptr));
            return cell::integer(static_cast<i32>(std::strtol(t.c_str(), nullptr, 10)));
        }
        const size_t slash = t.find('/', 1);
        if (slash != std::string::npos && t[0] != '/') {
            Cell* path = stack::push();
            block::make_at(*path, 4);
            size_t s = 0;
            while (s <= t.size()) {
                size_t e = t.find('/', s);
                if (e == std::string::npos) e = t.size();
                block::rs_append(*path, word::load(t.substr(s, e - s).c_str()));
                s = e + 1;
            }
            cell::set_type(*path, type::path);
            return *path;
        }
        u32 ty = type::word;
        if (t[0] == '\'') ty = type::lit_word, t.erase(0, 1);
        else if (t[0] == ':') ty = type::get_word, t.erase(0, 1);
        else if (t[0] == '/') ty = type::refinement, t.erase(0, 1);
        else if (t.back() == ':') ty = type::set_word, t.pop_back();
        Cell w = word::load(t.c_str());
        cell::set_type(w, ty);
        return w;
    }

    // Evaluates the text inside a try frame, as a script's top level would.
    Outcome run(const char* text) {
        stack::top = base;
        Outcome out;
        Cell* code = read(text);
        CallFrame* frames = stack::frame_top;
        stack::mark_try(stack::word(0));
        try {
            stack::mark_native(stack::word(0));
            const u32 c = interpreter::eval_block(*code, true);
            EXPECT_EQ(c, 0u) << text;
            out.value = *stack::arguments;
            stack::unwind();
            stack::unwind();
        } catch (const SystemThrow& t) {
            EXPECT_EQ(t.code, throw_code::error) << text;
            out.error = pending_error.id;
        }
        interpreter::pending = 0;
        stack::frame_top = frames;
        stack::arguments = stack::top = base;
        return out;
    }
    Cell* base = nullptr;
};

// The value of a run as text: integers, none, unset, logic, errors.
std::string show(const Outcome& o) {
    if (o.error) return "error " + std::to_string(static_cast<int>(*o.error));
    switch (cell::type_of(o.value)) {
    case type::integer: return std::to_string(static_cast<i32>(o.value.data2));
    case type::none: return "none";
    case type::unset: return "unset";
    case type::logic: return o.value.data1 ? "true" : "false";
    case type::function: return "function";
    case type::error: return "error-value " + std::to_string(static_cast<int>(error_id_of(o.value)));
    default: return "type " + std::to_string(cell::type_of(o.value));
    }
}
std::string err(ErrorId id) { return "error " + std::to_string(static_cast<int>(id)); }

struct Case {
    const char* code;
    std::string expected;
};

void check_table(NativesControl& t, std::initializer_list<Case> cases) {
    for (const Case& c : cases) EXPECT_EQ(show(t.run(c.code)), c.expected) << c.code;
}

}  // namespace

TEST_F(NativesControl, Conditionals) {
    check_table(*this, {
        {"if true [1]", "1"},
        {"if false [1]", "none"},
        {"if none [1]", "none"},
        {"if () [1]", "1"},  // an unset condition is truthy
        {"unless false [2]", "2"},
        {"unless 0 [2]", "none"},
        {"either true [1] [2]", "1"},
        {"either none [1] [2]", "2"},
        {"either () [1] [2]", err(ErrorId::script_no_return)},
        {"any []", "none"},
        {"any [none false 3]", "3"},
        {"any [none false]", "none"},
        {"all []", "none"},
        {"all [1 none 2]", "none"},
        {"all [1 2 3]", "3"},
        {"switch 1 [1.0 [10] 1 [20]]", "20"},
        {"switch [x] [[x] [10]]", "none"},
        {"switch 3 [1 [10]]", "none"},
        {"switch/default 3 [1 [10]] [30]", "30"},
        {"switch/default 1 [1] [30]", "none"},  // a match with no block after it
        {"switch 2 [1 2 3 [23] 4 [4]]", "23"},
        {"case []", "none"},
        {"case [false [1] true [2]]", "2"},
        {"case [true 5]", "5"},
        {"case [false [1]]", "none"},
        {"case/all [true [1] false [2]]", "none"},
        {"case/all [false [1] true [2]]", "2"},
        {"case [true]", err(ErrorId::script_need_value)},
        {"case [() [1]]", err(ErrorId::script_no_return)},
    });
}

TEST_F(NativesControl, Loops) {
    check_table(*this, {
        {"loop 3 [7]", "7"},
        {"repeat i 2.9 [i]", "2"},
        {"loop 0 [1]", "none"},
        {"loop -1 [1]", "none"},
        {"loop 10000000000.0 [1]", "none"},  // beyond 32 bits: does not run
        {"loop 3 [break/return 7]", "7"},
        {"loop 3 [break]", "unset"},
        {"repeat i 3 [i]", "3"},
        {"repeat i 3 [i] i", "3"},
        {"repeat i 0 [i]", "none"},
        {"repeat i 5 [break/return i]", "1"},
        {"repeat i 3 [if true [continue] 0]", "unset"},
        {"while [true] [break/return 5]", "unset"},
        {"x: true while [x] [x: false 9]", "unset"},
        {"while [break] [1]", err(ErrorId::throw_while_cond)},
        {"while [continue] [1]", err(ErrorId::throw_while_cond)},
        {"while [()] [1]", err(ErrorId::script_no_return)},
        {"until [break/return 5]", "5"},
        {"until [3]", "3"},
        {"until [()]", err(ErrorId::script_no_return)},
        {"x: false until [if x [break/return 4] x: true continue]", "4"},
        {"forever [break]", "unset"},
        {"forever [break/return 6]", "6"},
        {"break", err(ErrorId::throw_break)},
        {"continue", err(ErrorId::throw_continue)},
        {"loop 2 [try/all [break]]", "error-value " + std::to_string(static_cast<int>(ErrorId::throw_break))},
    });
}

TEST_F(NativesControl, FunctionsAndReturn) {
    check_table(*this, {
        {"f: func [a] [a] f 4", "4"},
        {"f: func [a] [loop 3 [return a] 0] f 5", "5"},
        {"f: func [] [loop 3 [exit] 0] f", "unset"},
        {"f: does [8] f", "8"},
        {"f: has [x] [x: 3 x] f", "3"},
        {"f: has [x] [x] f", "none"},
        {"f: function [a] [b: a b] f 2", "2"},
        {"f: func [a] [while [true] [return a]] f 9", "9"},
        {"return 1", err(ErrorId::throw_return)},
        {"exit", err(ErrorId::throw_return)},
        {"f: func [] [try/all [return 1] 2] f", "2"},
    });
}

TEST_F(NativesControl, ThrowCatchTry) {
    check_table(*this, {
        {"catch [throw 1]", "1"},
        {"catch [loop 3 [throw 2] 0]", "2"},
        {"catch/name [throw/name 1 'a] 'a", "1"},
        {"catch/name [throw/name 2 'B] [a b]", "2"},
        {"catch [catch/name [throw 1] 'a]", "1"},
        {"catch/name [throw 1] 'a", err(ErrorId::throw_throw)},
        {"catch [catch/name [throw/name 3 'b] 'a]", "3"},
        {"catch/name [throw/name 1 'a] [a 1]", err(ErrorId::script_invalid_refine_arg)},
        {"catch [catch/name [throw 1] [a 1]]", err(ErrorId::script_invalid_refine_arg)},
        {"throw 1", err(ErrorId::throw_throw)},
        {"loop 2 [catch [break/return 4]]", "4"},
        {"try [1]", "1"},
        {"try [case [true]]", "error-value " + std::to_string(static_cast<int>(ErrorId::script_need_value))},
        {"loop 3 [try [break/return 5]]", "5"},
        {"catch [try/all [throw 1]]", "error-value " + std::to_string(static_cast<int>(ErrorId::throw_throw))},
    });
}

// ---------------------------------------------------------------------------
// Shared routines

TEST(NativesShared, FloatCountsTruncateWithoutUndefinedBehaviour) {
    struct { double in; i32 out; } cases[] = {
        {2.9, 2}, {-2.9, -2}, {0.0, 0}, {2147483647.0, 2147483647}, {2147483647.9, 2147483647},
        {-2147483648.0, INT32_MIN}, {-2147483648.9, INT32_MIN},
        {2147483648.0, natives::integer_indefinite}, {1e300, natives::integer_indefinite},
        {-1e300, natives::integer_indefinite}, {NAN, natives::integer_indefinite},
        {INFINITY, natives::integer_indefinite}, {-INFINITY, natives::integer_indefinite},
    };
    for (auto& c : cases) EXPECT_EQ(natives::truncate_count(c.in), c.out) << c.in;
    Cell big = cell::float_(1e10);
    natives::loop_count(big);
    EXPECT_EQ(cell::type_of(big), type::integer);
    EXPECT_LT(static_cast<i32>(big.data2), 0);  // so a loop over it does not run
}

class NativesSharedRt : public ::testing::Test {
protected:
    void SetUp() override { runtime_init(); }
    void TearDown() override { runtime_shutdown(); }
    // Runs max_min in a frame over two arguments; returns the result.
    Outcome max_min(bool max_q, const Cell& a, const Cell& b) {
        Outcome out;
        Cell* saved = stack::top;
        stack::mark_try(stack::word(0));
        try {
            stack::mark_native(stack::word(0));
            stack::push_value(a);
            stack::push_value(b);
            natives::max_min(max_q);
            out.value = *stack::arguments;
            stack::unwind();
            stack::unwind();
        } catch (const SystemThrow&) {
            out.error = pending_error.id;
        }
        stack::top = saved;
        return out;
    }
};

TEST_F(NativesSharedRt, MaxMin) {
    const Cell nan = cell::float_(NAN);
    const Cell one = cell::integer(1);
    for (bool max_q : {true, false}) {
        EXPECT_TRUE(std::isnan(cell::get_float(max_min(max_q, one, nan).value)));
        EXPECT_TRUE(std::isnan(cell::get_float(max_min(max_q, nan, one).value)));
    }
    // Equal values: max keeps the first, min takes the second.
    EXPECT_EQ(cell::type_of(max_min(true, one, cell::float_(1.0)).value), type::integer);
    EXPECT_EQ(cell::type_of(max_min(false, one, cell::float_(1.0)).value), type::float_);
    EXPECT_EQ(static_cast<i32>(max_min(true, one, cell::integer(5)).value.data2), 5);
    EXPECT_EQ(static_cast<i32>(max_min(false, one, cell::integer(5)).value.data2), 1);
    // pair! component by component: min 1x5 3 is 1x3.
    const Outcome p = max_min(false, Cell{type::pair, 0, 1, 5}, cell::integer(3));
    EXPECT_EQ(cell::type_of(p.value), type::pair);
    EXPECT_EQ(static_cast<i32>(p.value.data2), 1);
    EXPECT_EQ(static_cast<i32>(p.value.data3), 3);
    // A float too large for a pair turns it into a point.
    EXPECT_EQ(cell::type_of(max_min(true, Cell{type::pair, 0, 1, 5}, cell::float_(1e20)).value), type::point2D);
}

TEST_F(NativesSharedRt, ToIntArg) {
    EXPECT_EQ(natives::to_int_arg(cell::float_(-3.7)), -3);
    for (double d : {3e9, -3e9, static_cast<double>(NAN), static_cast<double>(INFINITY)}) {
        stack::mark_try(stack::word(0));
        EXPECT_THROW(natives::to_int_arg(cell::float_(d)), SystemThrow) << d;
        EXPECT_EQ(pending_error.id, ErrorId::script_type_limit) << d;
        stack::frame_top = stack::frame_bottom;
        stack::arguments = stack::top = stack::bottom;
    }
}

// The loops, catch and try stop only the interpreter's own codes: a quit or
// a memory failure goes on as the system-level throw it is.
TEST(NativesShared, GuardsPassForeignCodesOn) {
    for (u32 level : {throw_code::break_, throw_code::throw_, throw_code::error}) {
        for (u32 code : {throw_code::quiet_exit, throw_code::mem_alloc}) {
            try {
                interpreter::guard(level, [&]() -> u32 { system_throw(code); });
                ADD_FAILURE() << "stopped " << code << " at " << level;
            } catch (const SystemThrow& t) {
                EXPECT_EQ(t.code, code);
            }
        }
        EXPECT_EQ(interpreter::guard(level, []() -> u32 { system_throw(throw_code::throw_); }), throw_code::throw_);
    }
    EXPECT_EQ(interpreter::guard(throw_code::error, []() -> u32 { system_throw(throw_code::error); }),
              throw_code::error);
}
