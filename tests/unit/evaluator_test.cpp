// The evaluator over hand-built blocks: left-to-right operators, set-words,
// function calls with refinements and typed arguments, paths, errors with
// near and where, the pending unwinding of return, and the stack limit.
#include "interpreter/evaluator.h"

#include "interpreter/actions.h"
#include "interpreter/natives.h"
#include "interpreter/stack.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/function.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/native.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/routine.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/unset.h"
#include "runtime/datatypes/word.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/registry.h"
#include "runtime/runtime.h"
#include "runtime/system.h"
#include "runtime/words.h"
#include "support.h"

#include <gtest/gtest.h>

#include <cctype>
#include <optional>
#include <string>
#include <vector>

using namespace oru;

namespace {

class Evaluator : public ::testing::Test {
protected:
    void SetUp() override {
        runtime_init();
        natives::init();
        interpreter::init();
        for (u32 t = 1; t <= registry::highest_type; t++)
            if (registry::datatypes[t].name)
                context::set_global(static_cast<i32>(datatype::symbol_of(t)), datatype::make(t));
        // + and * as ops of the add and multiply actions.
        define_op("+", action::add);
        define_op("*", action::multiply);
        stack::push(unset::value);
        stack::mark_native(stack::word(0));
    }
    void TearDown() override { runtime_shutdown(); }

    void define_op(const char* name, u32 slot) {
        Cell* spec = stack::push(load_block("[a b] " + std::to_string(slot)));
        Cell* act = native::make(nullptr, spec, type::action);
        Cell* op = op::make(nullptr, act, type::op);
        context::set_global(symbol::make(name), *op);
    }

    // Evaluates the text as a block; the result (a copy).
    Cell run(const std::string& text) {
        const Cell b = *stack::push(load_block(text));
        return test::eval_framed(b);
    }

    // Runs the text under a try frame; the error's id, and the error itself.
    std::optional<ErrorId> error_of(const std::string& text, Cell* error = nullptr) {
        Cell* saved = stack::top;
        CallFrame* frames = stack::frame_top;
        std::optional<ErrorId> id;
        stack::mark_try(stack::word(0));
        try {
            run(text);
            stack::unwind();
        } catch (const SystemThrow& t) {
            EXPECT_EQ(t.code, throw_code::error);
            id = pending_error.id;
            if (error) *error = *stack::last_pushed();  // the try frame is gone already
        }
        EXPECT_EQ(stack::frame_top, frames);
        stack::top = saved;
        return id;
    }

    // A reader for test blocks: integers, words and their variants, paths
    // (a/b, a/b:), [blocks] and (parens).
    Cell load_block(const std::string& text) {
        size_t pos = 0;
        return read_block(text, pos, '\0', type::block);
    }

    // The first value of a block.
    static Cell first_of(const Cell& blk) { return *memory::buffer(cell::node(blk))->cells(); }

    Cell read_block(const std::string& text, size_t& pos, char close, u32 t) {
        const Node n = memory::alloc_cells(8);
        stack::push(cell::make(t, 0, n, 0));  // held while the reader allocates
        for (;;) {
            while (pos < text.size() && std::isspace(static_cast<unsigned char>(text[pos]))) pos++;
            if (pos >= text.size() || text[pos] == close) {
                if (pos < text.size()) pos++;
                stack::pop(1);
                return cell::make(t, 0, n, 0);
            }
            Cell v{};
            const char c = text[pos];
            if (c == '[' || c == '(') {
                pos++;
                v = read_block(text, pos, c == '[' ? ']' : ')', c == '[' ? type::block : type::paren);
            } else {
                size_t end = pos;
                while (end < text.size() && !std::isspace(static_cast<unsigned char>(text[end])) &&
                       text[end] != ']' && text[end] != ')' && text[end] != '[' && text[end] != '(')
                    end++;
                v = token_value(text.substr(pos, end - pos));
                pos = end;
            }
            *memory::alloc_tail(n) = v;
        }
    }

    Cell token_value(std::string token) {
        if (std::isdigit(static_cast<unsigned char>(token[0]))) return cell::integer(std::stoi(token));
        if (token.size() > 1 && token.find('/') != std::string::npos && token[0] != '/') {
            u32 t = type::path;
            if (token.back() == ':') t = type::set_path, token.pop_back();
            const Node n = memory::alloc_cells(4);
            size_t start = 0;
            for (;;) {
                const size_t slash = token.find('/', start);
                *memory::alloc_tail(n) = token_value(token.substr(start, slash - start));
                if (slash == std::string::npos) break;
                start = slash + 1;
            }
            return cell::make(t, 0, n, 0);
        }
        u32 t = type::word;
        if (token[0] == '/') t = type::refinement, token.erase(0, 1);
        else if (token[0] == ':') t = type::get_word, token.erase(0, 1);
        else if (token[0] == '\'') t = type::lit_word, token.erase(0, 1);
        else if (token.size() > 1 && token.back() == ':') t = type::set_word, token.pop_back();
        Cell w = word::of_symbol(symbol::make(token.c_str()));
        cell::set_type(w, t);
        return w;
    }

    // Defines a global function from spec and body texts.
    void define_func(const char* name, const std::string& spec, const std::string& body) {
        // The texts are written with their brackets: take the inner block.
        Cell* s = stack::push(*memory::buffer(cell::node(load_block(spec)))->cells());
        Cell* b = stack::push(*memory::buffer(cell::node(load_block(body)))->cells());
        Cell* fn = function::make_func(*s, *b);
        context::set_global(symbol::make(name), *fn);
    }

    Cell global(const char* name) { return *context::global_slot(symbol::make(name)); }
    static i32 int_of(const Cell& c) {
        EXPECT_EQ(cell::type_of(c), type::integer);
        return static_cast<i32>(c.data2);
    }
};

TEST_F(Evaluator, OperatorsApplyLeftToRightWithoutPrecedence) {
    const struct {
        const char* code;
        i32 expected;
    } cases[] = {
        {"1 + 2 * 3", 9},        // (1 + 2) * 3
        {"2 * 3 + 1", 7},
        {"1 + (2 * 3)", 7},      // a paren groups
        {"4 5 + 6", 11},         // the last expression is the result
        {"x: 2 + 3 x * x", 25},  // a set-word takes the whole expression
    };
    for (const auto& c : cases) EXPECT_EQ(int_of(run(c.code)), c.expected) << c.code;
}

TEST_F(Evaluator, WordKinds) {
    run("v: 42");
    EXPECT_EQ(int_of(global("v")), 42);
    EXPECT_EQ(int_of(run("y: v: 7 y")), 7);  // set-words chain
    EXPECT_EQ(cell::type_of(run(":nothing-here")), type::unset);
    const Cell lit = run("'v");
    EXPECT_EQ(cell::type_of(lit), type::word);
    EXPECT_EQ(lit.data2, static_cast<u32>(symbol::make("v")));
    EXPECT_EQ(cell::type_of(run("")), type::unset);

    Cell err{};
    EXPECT_EQ(error_of("1 z:", &err), ErrorId::script_need_value);
    EXPECT_EQ(error_of("z: :nothing-here"), ErrorId::script_need_value);
    EXPECT_EQ(error_of("nothing-here"), ErrorId::script_no_value);
    EXPECT_EQ(error_of("1 +"), ErrorId::script_no_arg);
    EXPECT_EQ(error_of("+ 1"), ErrorId::script_no_op_arg);
}

TEST_F(Evaluator, FunctionsWithRefinementsAndTypedArguments) {
    define_func("pick-arg", "[a [integer!] /second b /third c d]", "[either-c a b c d]");
    define_func("either-c", "[a b c d]", "[d]");
    define_func("first-of", "[a [integer!] /also b [integer!]]", "[b]");
    define_func("keep", "[a]", "[a]");
    EXPECT_EQ(int_of(run("keep 5")), 5);
    EXPECT_EQ(int_of(run("keep 1 + 2 * 2")), 6);  // an argument takes operators
    EXPECT_EQ(cell::type_of(run("first-of 1")), type::none);  // an absent refinement's argument
    EXPECT_EQ(int_of(run("first-of/also 1 9")), 9);
    EXPECT_EQ(int_of(run("pick-arg/third/second 1 30 40 20")), 40);  // fetched in the path's order

    EXPECT_EQ(error_of("first-of 'x"), ErrorId::script_expect_arg);
    EXPECT_EQ(pending_error.args[0].data2, static_cast<u32>(symbol::make("first-of")));
    EXPECT_EQ(pending_error.args[1].data1, type::word);
    EXPECT_EQ(pending_error.args[2].data2, static_cast<u32>(symbol::make("a")));
    EXPECT_EQ(error_of("first-of/also 1 'x"), ErrorId::script_expect_arg);
    EXPECT_EQ(pending_error.args[2].data2, static_cast<u32>(symbol::make("b")));
    EXPECT_EQ(error_of("first-of/also/also 1 2 3"), ErrorId::script_dup_refine);
    EXPECT_EQ(error_of("first-of/none 1"), ErrorId::script_no_refine);
    EXPECT_EQ(error_of("keep"), ErrorId::script_no_arg);
}

TEST_F(Evaluator, ArgumentKinds) {
    define_func("quote-it", "['a]", "[:a]");
    define_func("as-is", "[:a]", "[:a]");
    define_func("optional", "['a [unset! integer!]]", "[:a]");
    run("v: 42");
    // A lit-word argument quotes a word, evaluates a paren and reads a get-word.
    const Cell w = run("quote-it v");
    EXPECT_EQ(cell::type_of(w), type::word);
    EXPECT_EQ(w.data2, static_cast<u32>(symbol::make("v")));
    EXPECT_EQ(int_of(run("quote-it (1 + 2)")), 3);
    EXPECT_EQ(int_of(run("quote-it :v")), 42);
    // A get-word argument takes the cell as it is: a paren stays unevaluated.
    EXPECT_EQ(cell::type_of(run("as-is (1 + 2)")), type::paren);
    EXPECT_EQ(cell::type_of(run("as-is v")), type::word);
    // The end of the block: unset for a lit-word that accepts it, else no-arg.
    EXPECT_EQ(cell::type_of(run("optional")), type::unset);
    EXPECT_EQ(int_of(run("optional 5")), 5);
    EXPECT_EQ(error_of("quote-it"), ErrorId::script_no_arg);
    EXPECT_EQ(pending_error.args[1].data2, static_cast<u32>(symbol::make("a")));
    EXPECT_EQ(error_of("as-is"), ErrorId::script_no_arg);
}

// Callbacks (sort, parse) call any function-like value over arguments
// they pushed themselves.
TEST_F(Evaluator, CallFunctionTakesEveryFunctionKind) {
    define_func("add-one", "[a]", "[a + 1]");
    const struct {
        const char* fn;
        i32 expected;
    } cases[] = {{"+", 5}, {"add-one", 3}};
    for (const auto& c : cases) {
        stack::push(unset::value);
        stack::mark_native(stack::word(0));
        stack::push(cell::integer(2));
        stack::push(cell::integer(3));
        EXPECT_EQ(interpreter::call_function(global(c.fn), 0, stack::word(0), 0), 0u) << c.fn;
        EXPECT_EQ(int_of(*stack::arguments), c.expected) << c.fn;
        stack::unroll();
    }
}

TEST_F(Evaluator, PathsOnBlocks) {
    run("b: [10 20 30]");
    EXPECT_EQ(int_of(run("b/2")), 20);
    EXPECT_EQ(int_of(run("b/2: 99 b/2")), 99);
    EXPECT_EQ(int_of(run("b/2: 5")), 5);  // a set-path gives the value stored
    EXPECT_EQ(error_of("nothing-here/1"), ErrorId::script_unset_path);
    EXPECT_EQ(error_of("b/2:"), ErrorId::script_need_value);
}

TEST_F(Evaluator, ErrorsCarryNearAndWhere) {
    define_func("fails", "[]", "[1 nothing-here 2]");
    Cell err{};
    ASSERT_EQ(error_of("fails", &err), ErrorId::script_no_value);
    ASSERT_TRUE(error::error_q(err));
    const Cell where = *error::field_at(err, error::field::where);
    EXPECT_EQ(cell::type_of(where), type::word);
    EXPECT_EQ(where.data2, static_cast<u32>(symbol::make("fails")));
    const Cell near = *error::field_at(err, error::field::near);
    ASSERT_EQ(cell::type_of(near), type::block);
    EXPECT_EQ(cell::head_index(near), 1);  // the failing expression of the body
    // The current-code cell is restored once the error has left.
    EXPECT_EQ(cell::type_of(interpreter::current_code), type::unset);
}

TEST_F(Evaluator, RecursionHitsTheStackLimit) {
    define_func("deep", "[n]", "[deep n]");
    // Interpreted recursion nests C++ calls: like oru itself, run it on a
    // thread with the interpreter's large stack, so the language's own
    // limit trips first.
    struct Run {
        decltype(this) test;
        std::optional<ErrorId> id;
    } deep{this, {}};
    run_with_stack(
        interpreter_stack_size,
        [](void* p) {
            auto* r = static_cast<Run*>(p);
            r->id = r->test->error_of("deep 1");
        },
        &deep);
    EXPECT_EQ(deep.id, ErrorId::internal_stack_overflow);
    // The stack is usable again.
    define_func("keep", "[a]", "[a]");
    EXPECT_EQ(int_of(run("keep 3")), 3);
}

// return through the pending road: a native that signals it, and the
// function frame that consumes it without a C++ throw.
u32 test_return(bool, const i32*) { return interpreter::signal_return(true, false); }

TEST_F(Evaluator, ReturnEndsTheFunctionWithoutAThrow) {
    Cell* spec = stack::push(load_block("[value] 80"));
    natives::provide(natives::slot::return_, test_return);
    Cell* ret = native::make(nullptr, spec, type::native);
    context::set_global(symbol::make("return"), *ret);
    define_func("early", "[a]", "[return a + 1 nothing-here]");
    CallFrame* const frames = stack::frame_top;
    EXPECT_EQ(int_of(run("early 4")), 5);
    EXPECT_EQ(interpreter::pending, 0u);
    EXPECT_EQ(stack::frame_top, frames);  // every frame of the call closed
    EXPECT_EQ(error_of("return 1"), ErrorId::throw_return);  // not in a function
}


// --- Routines and apply ------------------------------------------------------

// What the recording routine and native last received, written out.
std::vector<std::string> seen;

std::string describe(const Cell& c) {
    switch (cell::type_of(c)) {
        case type::integer: return std::to_string(static_cast<i32>(c.data2));
        case type::logic: return logic::get(c) ? "true" : "false";
        case type::none: return "none";
        case type::unset: return "unset";
        case type::word: return "word";
        default: return "?";
    }
}

std::string joined() {
    std::string out;
    for (const std::string& s : seen) out += (out.empty() ? "" : " ") + s;
    return out;
}

// An external routine: records every argument cell it is given.
Cell recorded_result{type::integer, 0, 0, 0};
routine::Machine record(const routine::Machine* args, i32 n) {
    seen.clear();
    for (i32 i = n - 1; i >= 0; i--) seen.push_back(describe(*args[i].cell));
    recorded_result = cell::integer(n);
    return routine::Machine{.cell = &recorded_result};
}

// A plain routine: the sum of its integer arguments; records their count.
i32 plain_count = 0;
routine::Machine sum(const routine::Machine* args, i32 n) {
    plain_count = n;
    // a, b, then the /more flag (0 or 1) and c (an integer only when on).
    const i32 total = args[0].integer + args[1].integer + (n > 3 && args[2].integer ? args[3].integer : 0);
    return routine::Machine{.integer = total};
}

// A native: records its argument cells and its refinement positions.
u32 recording_native(bool, const i32* refs) {
    seen.clear();
    for (Cell* c = stack::arguments; c < stack::top; c++) seen.push_back(describe(*c));
    seen.push_back("|");
    for (i32 i = 0; i < 2; i++) seen.push_back(std::to_string(refs ? refs[i] : -9));
    stack::set_result(cell::integer(0));
    return 0;
}

class Applying : public Evaluator {
protected:
    void SetUp() override {
        Evaluator::SetUp();
        context::set_global(symbol::make("true"), logic::true_value);
        context::set_global(symbol::make("false"), logic::false_value);
        context::set_global(symbol::make("none"), none::value);
        define_routine("record", "[a b c d e f]", record, 0, true);
        define_routine("sum", "[a [integer!] b [integer!] /more c [integer!] /local t]", sum,
                       static_cast<i32>(routine::return_integer), false);
        define_func("f", "[a [integer!] /x b /y c d]", "[record a x b y c d]");
        // The native slot borrowed for the recording native, put back after.
        saved = native::table[slot - 1];
        native::table[slot - 1] = recording_native;
        // The recording routine reads another shape than the slot's own, so
        // the value is built without make native!'s shape check.
        const Cell spec = load_block("[a [integer!] /x b /y c d]");
        context::set_global(symbol::make("nat"), *native::build(type::native, slot, first_of(spec), false));
    }
    void TearDown() override {
        native::table[slot - 1] = saved;
        Evaluator::TearDown();
    }

    void define_routine(const char* name, const std::string& spec, routine::Entry fn, i32 rt, bool external) {
        Cell* s = stack::push(*memory::buffer(cell::node(load_block(spec)))->cells());
        routine::push(*s, unset::value, routine::register_entry(fn), rt, external);
        context::set_global(symbol::make(name), stack::top[-1]);
    }

    // Applies the global `fn` to the block; the result.
    Cell apply(const char* fn, const std::string& block, bool all, bool safer = false, bool named = false) {
        // The text is written with its brackets: take the inner block.
        const Cell b = *stack::push(*memory::buffer(cell::node(load_block(block)))->cells());
        const Cell name = word::of_symbol(symbol::make("given"));
        const Cell f = global(fn);
        stack::push(unset::value);
        stack::mark_native(stack::word(0));
        Cell* const base = stack::top;
        EXPECT_EQ(interpreter::apply(f, b, all, safer, named ? &name : nullptr), 0u) << block;
        EXPECT_EQ(stack::top, base + 1) << block;  // the result alone is pushed
        const Cell r = stack::top[-1];
        stack::unroll();
        return r;
    }

    std::optional<ErrorId> apply_error(const char* fn, const std::string& block, bool all, bool named = false) {
        Cell* saved_top = stack::top;
        CallFrame* frames = stack::frame_top;
        std::optional<ErrorId> id;
        stack::mark_try(stack::word(0));
        try {
            apply(fn, block, all, false, named);
            stack::unwind();
        } catch (const SystemThrow& t) {
            EXPECT_EQ(t.code, throw_code::error);
            id = pending_error.id;
        }
        EXPECT_EQ(stack::frame_top, frames);
        stack::top = saved_top;
        return id;
    }

    static constexpr i32 slot = natives::slot::browse;
    native::Entry saved = nullptr;
};

TEST_F(Applying, RoutinesCheckTheirSpecTypes) {
    EXPECT_EQ(int_of(run("sum 3 4")), 7);
    EXPECT_EQ(plain_count, 4);  // a, b, /more and c: the local is not passed
    EXPECT_EQ(int_of(run("sum/more 3 4 5")), 12);  // the flag passes as 1
    EXPECT_EQ(int_of(run("record 1 2 3 4 5 6")), 6);
    EXPECT_EQ(joined(), "1 2 3 4 5 6");

    // A callback call has no arguments description to check against: the
    // routine's own check names the routine, the type given and the argument.
    const struct {
        Cell a, b;
        std::optional<ErrorId> error;
        const char* arg;
    } cases[] = {
        {cell::integer(2), cell::integer(3), std::nullopt, ""},
        {cell::integer(2), logic::true_value, ErrorId::script_expect_arg, "b"},
        {none::value, cell::integer(3), ErrorId::script_expect_arg, "a"},
    };
    const Cell symbol_word = word::of_symbol(symbol::make("sum"));
    for (const auto& c : cases) {
        Cell* saved_top = stack::top;
        CallFrame* frames = stack::frame_top;
        stack::mark_try(stack::word(0));
        stack::push(unset::value);
        stack::mark_native(stack::word(0));
        stack::push(c.a);
        stack::push(c.b);
        std::optional<ErrorId> id;
        try {
            EXPECT_EQ(interpreter::call_function(global("sum"), 0, symbol_word, 0), 0u);
            EXPECT_EQ(int_of(*stack::arguments), 5);
            stack::unroll();
            stack::unwind();
        } catch (const SystemThrow&) {
            id = pending_error.id;
        }
        stack::top = saved_top;
        EXPECT_EQ(stack::frame_top, frames);
        EXPECT_EQ(id, c.error) << c.arg;
        if (c.error) {
            EXPECT_EQ(pending_error.args[0].data2, symbol_word.data2) << "the routine's name";
            EXPECT_EQ(pending_error.args[2].data2, static_cast<u32>(symbol::make(c.arg)));
        }
    }
    // Only the first word of a type block decides; a value that is no word
    // there is an invalid type specifier.
    define_routine("first-only", "[a [integer! logic!]]", sum, static_cast<i32>(routine::return_integer), false);
    EXPECT_EQ(error_of("first-only true"), ErrorId::script_expect_arg);
    EXPECT_EQ(pending_error.args[1].data1, type::logic);
}

TEST_F(Applying, ApplyFillsEveryKindOfCallee) {
    const struct {
        const char* fn;
        const char* block;
        bool all;
        bool safer;
        const char* expected;  // what the recorder saw
    } cases[] = {
        // Functions: the slots of every argument and refinement in spec order.
        {"f", "[1]", false, false, "1 false none false none none"},
        {"f", "[(1 + 2) /y true 3 4]", false, false, "3 false none true 3 4"},
        {"f", "[1 /y false 3 4 /x 7 2]", false, false, "1 true 2 false none none"},
        {"f", "[1 true 2 false 3 4]", true, false, "1 true 2 false none none"},
        {"f", "[1 none 2 7]", true, false, "1 false none true none none"},  // missing at the end: none
        // Natives: the arguments of what is on, and each refinement's position.
        {"nat", "[1]", false, false, "1 | -1 -1"},
        {"nat", "[1 /y true 3 4]", false, false, "1 3 4 | -1 1"},
        {"nat", "[1 /y true 3 4 /x true 2]", false, false, "1 3 4 2 | 3 1"},
        {"nat", "[1 true 2 false 3 4]", true, true, "1 2 | 1 -1"},
        {"nat", "[1 false 2 true 3]", true, false, "1 3 none | -1 1"},
        // Routines: positional, none for what the block lacks.
        {"record", "[1 2]", true, false, "1 2 none none none none"},
    };
    for (const auto& c : cases) {
        seen.clear();
        apply(c.fn, c.block, c.all, c.safer);
        EXPECT_EQ(joined(), c.expected) << c.fn << " " << c.block << (c.all ? " all" : "");
    }
    EXPECT_EQ(int_of(apply("sum", "[3 4]", false)), 7);
    EXPECT_EQ(int_of(apply("sum", "[3 4 /more true 5]", false)), 12);
    EXPECT_EQ(int_of(apply("+", "[2 3]", false)), 5);  // an op! applies its action
    // A function given as a value is not called: each argument is one value.
    EXPECT_EQ(int_of(apply("record", "[f]", true)), 6);
}

TEST_F(Applying, SaferSkipsTheArgumentsOfARefinementThatIsOff) {
    for (const bool all : {false, true}) {
        for (const bool safer : {false, true}) {
            run("v: 1");
            apply("f", all ? "[1 false (v: 9) true 3 4]" : "[1 /x false (v: 9)]", all, safer);
            EXPECT_EQ(int_of(global("v")), safer ? 1 : 9) << all << safer;
        }
    }
}

TEST_F(Applying, ApplyErrors) {
    const struct {
        const char* fn;
        const char* block;
        bool all;
        ErrorId error;
    } cases[] = {
        {"f", "[1 2]", false, ErrorId::script_bad_refine},  // a value where a refinement must be
        {"f", "[1 /z true]", false, ErrorId::script_no_refine},
        {"f", "[1 /x true 2 /x true 3]", false, ErrorId::script_dup_refine},
        {"nat", "[1 /y false 3 4 /y true 5 6]", false, ErrorId::script_dup_refine},
        {"f", "['w]", false, ErrorId::script_expect_arg},
        {"f", "[]", true, ErrorId::script_expect_arg},  // none for the integer! argument
        {"sum", "[1 true]", true, ErrorId::script_expect_arg},
    };
    for (const auto& c : cases) EXPECT_EQ(apply_error(c.fn, c.block, c.all), c.error) << c.fn << " " << c.block;
    // The frame takes the word the function was given by, else <applied>.
    apply_error("f", "['w]", false);
    EXPECT_EQ(pending_error.args[0].data2, words::word::tag_applied.data2);
    apply_error("f", "['w]", false, true);
    EXPECT_EQ(pending_error.args[0].data2, static_cast<u32>(symbol::make("given")));
    EXPECT_EQ(apply_error("f", "[1 /z true]", false), ErrorId::script_no_refine);
    EXPECT_EQ(pending_error.args[1].data2, static_cast<u32>(symbol::make("z")));
}

// An external routine that hands back no result cell.
routine::Machine no_result(const routine::Machine*, i32) { return routine::Machine{.cell = nullptr}; }

TEST_F(Applying, ExternalRoutineWithoutAResultCellGivesUnset) {
    define_routine("no-result", "[a]", no_result, 0, true);
    EXPECT_EQ(cell::type_of(run("no-result 1")), type::unset);
    EXPECT_EQ(cell::type_of(apply("no-result", "[1]", true)), type::unset);
}

// Refinements are not limited to what a native's position array holds, and
// each may still be named once.
TEST_F(Applying, ApplyNamesAnyOfManyRefinements) {
    std::string spec = "[";
    for (i32 i = 1; i <= 70; i++) spec += " /r" + std::to_string(i) + " x" + std::to_string(i);
    define_func("many", spec + "]", "[x70]");
    EXPECT_EQ(int_of(run("many/r70 7")), 7);
    EXPECT_EQ(int_of(apply("many", "[/r70 true 7]", false)), 7);
    EXPECT_EQ(cell::type_of(apply("many", "[/r70 false 7]", false)), type::none);
    EXPECT_EQ(apply_error("many", "[/r70 true 1 /r70 true 2]", false), ErrorId::script_dup_refine);
    EXPECT_EQ(apply_error("many", "[/r6 true 1 /r70 true 2 /r6 false 3]", false), ErrorId::script_dup_refine);
}

// A native that ends with break, for a callback passing a code on.
u32 breaking_native(bool, const i32*) { return interpreter::signal_break(false, false); }

// A callback that is not traced and passes an unwinding code on still puts
// tracing back: the switch belongs to the call alone.
TEST_F(Applying, UntracedCallbackPassingACodeOnRestoresTracing) {
    native::table[slot - 1] = breaking_native;
    const Cell breaker = *native::build(type::native, slot, first_of(load_block("[]")), false);
    for (const u32 bits : {0u, 4u}) {
        Cell* const saved_top = stack::top;
        CallFrame* const frames = stack::frame_top;
        interpreter::callback_bits = bits;
        stack::push(unset::value);
        stack::mark_loop(stack::word(0));
        stack::push(unset::value);
        stack::mark_native(stack::word(0));
        interpreter::set_tracing(true);
        const u32 code = interpreter::call_function(breaker, 0, stack::word(0), 4);
        const bool after = interpreter::tracing;
        interpreter::set_tracing(false);
        EXPECT_EQ(code, throw_code::break_) << bits;
        EXPECT_EQ(interpreter::take_pending(), throw_code::break_) << bits;
        EXPECT_TRUE(after) << bits;
        stack::unwind();  // the loop frame the break stopped at
        EXPECT_EQ(stack::frame_top, frames);
        stack::top = saved_top;
    }
    interpreter::callback_bits = 0;
}

// A routine that answers whether events are delivered while it runs.
routine::Machine tracing_now(const routine::Machine*, i32) {
    return routine::Machine{.integer = interpreter::tracing ? 1 : 0};
}

// An internal callback is traced only when its bit is set; tracing is put
// back afterwards either way.
TEST_F(Applying, CallbackBitsDecideWhetherACallbackIsTraced) {
    define_routine("tracing-now", "[]", tracing_now, static_cast<i32>(routine::return_logic), false);
    const struct {
        u32 bits, bit;
        bool traced;
    } cases[] = {{0, 4, false}, {4, 4, true}, {2 | 8, 4, false}, {0, 0, true}};
    for (const auto& c : cases) {
        interpreter::callback_bits = c.bits;
        interpreter::set_tracing(true);
        stack::push(unset::value);
        stack::mark_native(stack::word(0));
        const u32 code = interpreter::call_function(global("tracing-now"), 0, stack::word(0), c.bit);
        const bool traced = logic::get(*stack::arguments);
        const bool after = interpreter::tracing;
        interpreter::set_tracing(false);
        stack::unroll();
        EXPECT_EQ(code, 0u);
        EXPECT_EQ(traced, c.traced) << c.bits << " " << c.bit;
        EXPECT_TRUE(after);
    }
    interpreter::callback_bits = 0;
}

}  // namespace
