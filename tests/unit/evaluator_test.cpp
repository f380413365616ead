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
#include "runtime/datatypes/native.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/unset.h"
#include "runtime/datatypes/word.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/registry.h"
#include "runtime/runtime.h"
#include "runtime/system.h"

#include <gtest/gtest.h>

#include <cctype>
#include <optional>
#include <string>

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
        stack::push(unset::value);
        stack::mark_native(stack::word(0));
        stack::push(unset::value);
        EXPECT_EQ(interpreter::eval_block(b, true), 0u);
        const Cell r = *stack::arguments;
        stack::unroll();
        return r;
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

}  // namespace
