// function! and routine!: the spec dialect's checks on a table of specs,
// the locals that `function` collects, /local counts, the arguments
// description, and the values: their extra block, context and body binding,
// mold, form, compare and reflect, and routines with their entry table.
#include "runtime/datatypes/function.h"

#include "interpreter/actions.h"
#include "interpreter/stack.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/paren.h"
#include "runtime/datatypes/routine.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/typeset.h"
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
#include <cstring>
#include <optional>
#include <string>

using namespace oru;

namespace {

using namespace test;

class Functions : public ::testing::Test {
protected:
    void SetUp() override {
        runtime_init();
        series::init();
        block::init();
        context::init();
        word::init();
        lit_word::init();
        set_word::init();
        get_word::init();
        refinement::init();
        issue::init();
        paren::init();
        function::init();
        routine::init();
        context::init_global();
        // What the boot image does first: each datatype word names its datatype.
        for (u32 t = 1; t <= registry::highest_type; t++)
            if (registry::datatypes[t].name)
                context::set_global(static_cast<i32>(datatype::symbol_of(t)), datatype::make(t));
        Cell any_block = typeset::make();
        typeset::set_bit(any_block, type::block);
        typeset::set_bit(any_block, type::paren);
        context::set_global(symbol::make("any-block"), any_block);
        context::set_global(symbol::make("alias"), word::of_symbol(symbol::make("integer!")));

        stack::push(unset::value);
        stack::mark_native(stack::word(0));
        buffer = stack::push();
        string::make_at(*buffer, 16);
    }
    void TearDown() override { runtime_shutdown(); }


    // --- A small reader for test blocks ----------------------------------
    // Words (bound in the global context), set-words, get-words, lit-words,
    // refinements, integers, "strings", and nested [blocks] and (parens).
    // The block is held on the data stack.
    Cell load(const std::string& text) {
        size_t pos = 0;
        Cell b = read_block(text, pos, '\0', type::block);
        stack::push(b);
        return b;
    }

    Cell read_block(const std::string& text, size_t& pos, char close, u32 t) {
        const Node n = memory::alloc_cells(8);
        for (;;) {
            while (pos < text.size() && std::isspace(static_cast<unsigned char>(text[pos]))) pos++;
            if (pos >= text.size() || text[pos] == close) {
                if (pos < text.size()) pos++;
                return cell::make(t, 0, n, 0);
            }
            Cell v{};
            const char c = text[pos];
            if (c == '[' || c == '(') {
                pos++;
                v = read_block(text, pos, c == '[' ? ']' : ')', c == '[' ? type::block : type::paren);
            } else if (c == '"') {
                const size_t end = text.find('"', pos + 1);
                string::make_at(v, 8);
                string::concatenate_literal(v, text.substr(pos + 1, end - pos - 1).c_str());
                pos = end + 1;
            } else {
                size_t end = pos;
                while (end < text.size() && !std::isspace(static_cast<unsigned char>(text[end])) &&
                       text[end] != ']' && text[end] != ')' && text[end] != '[' && text[end] != '(')
                    end++;
                std::string token = text.substr(pos, end - pos);
                pos = end;
                v = token_value(token);
            }
            *memory::alloc_tail(n) = v;
        }
    }

    static Cell token_value(std::string token) {
        if (std::isdigit(static_cast<unsigned char>(token[0]))) return cell::integer(std::stoi(token));
        u32 t = type::word;
        if (token[0] == '/') t = type::refinement, token.erase(0, 1);
        else if (token[0] == ':') t = type::get_word, token.erase(0, 1);
        else if (token[0] == '\'') t = type::lit_word, token.erase(0, 1);
        else if (token.back() == ':') t = type::set_word, token.pop_back();
        Cell w = word::of_symbol(symbol::make(token.c_str()));
        cell::set_type(w, t);
        return w;
    }

    // The reverse, for the cell types the reader makes (and a few more).
    static std::string show(const Cell& v) {
        const u32 t = cell::type_of(v);
        const std::string name = t >= type::word && t <= type::issue ? symbol::get_c_string(static_cast<i32>(v.data2)) : "";
        switch (t) {
            case type::word: return name;
            case type::set_word: return name + ":";
            case type::get_word: return ":" + name;
            case type::lit_word: return "'" + name;
            case type::refinement: return "/" + name;
            case type::integer: return std::to_string(static_cast<i32>(v.data2));
            case type::none: return "none";
            case type::string: return "\"" + ascii(v) + "\"";
            case type::block: case type::paren: {
                std::string out = t == type::block ? "[" : "(";
                const SeriesBuffer* s = memory::buffer(cell::node(v));
                for (i32 i = cell::head_index(v); i < static_cast<i32>(s->length()); i++) {
                    if (i > cell::head_index(v)) out += " ";
                    out += show(memory::buffer(cell::node(v))->cells()[i]);
                }
                return out + (t == type::block ? "]" : ")");
            }
            default: return "?" + std::to_string(t);
        }
    }

    static Cell* cells(const Cell& series) { return memory::buffer(cell::node(series))->cells(); }
    static i32 length(const Cell& series) { return static_cast<i32>(memory::buffer(cell::node(series))->length()); }

    Cell* buffer = nullptr;
};

// --- The spec dialect ---------------------------------------------------------

TEST_F(Functions, SpecValidation) {
    const u32 ok = 0;
    struct Case {
        const char* spec;
        std::optional<ErrorId> error;
        u32 flags = 0;
        const char* culprit = nullptr;  // the error's argument, when it is a word
    } cases[] = {
        // Accepted.
        {"", std::nullopt},
        {"a [integer!] \"doc\"", std::nullopt},
        {"\"doc\" a [integer! issue!] \"doc\" \"more\" 'b :c [any-block] /only d [block!] \"d\" /local e f",
         std::nullopt},
        {"a return: [integer!] /local b", std::nullopt},
        {"return: [integer!] \"doc\" /local b", std::nullopt},
        {"/local", std::nullopt},
        {"a [integer!] /only /part b", std::nullopt},
        {"[trace] a", std::nullopt, function::attribute::trace},
        {"[no-trace catch] a", std::nullopt, function::attribute::no_trace},
        {"[] a", std::nullopt},
        {"a return: [no-such-type]", std::nullopt},  // the return type block is not checked
        // The type block must come before the doc strings.
        {"a \"doc\" [integer!]", ErrorId::script_bad_func_def},
        {"a [integer!] \"doc\" [string!]", ErrorId::script_bad_func_def},
        {"a [integer!] [string!]", ErrorId::script_bad_func_def},
        // Attribute blocks hold only words, and only at the head.
        {"[trace 1] a", ErrorId::script_bad_func_def},
        {"\"doc\" [trace] a", ErrorId::script_bad_func_def},
        // return: is typed, comes once, before /local and after the arguments.
        {"return: [integer!] a", ErrorId::script_bad_func_def},
        {"return: [integer!] /only", ErrorId::script_bad_func_def},
        {"return: [integer!] return: [integer!]", ErrorId::script_bad_func_def},
        {"return:", ErrorId::script_bad_func_def},
        {"return: integer!", ErrorId::script_bad_func_def},
        {"/local a return: [integer!]", ErrorId::script_bad_func_def},
        {"a b: [integer!]", ErrorId::script_bad_func_def},
        // Refinements: none after /local, no block after one.
        {"/local a /only", ErrorId::script_bad_func_def},
        {"/only [integer!]", ErrorId::script_bad_func_def},
        {"/local 'a", ErrorId::script_bad_func_def},
        {"/local :a", ErrorId::script_bad_func_def},
        {"/local a [integer!]", ErrorId::script_bad_func_def},
        {"a 1", ErrorId::script_bad_func_def},
        // Names are unique ignoring case, whatever their kind.
        {"a /local b a", ErrorId::script_dup_vars, ok, "a"},
        {"a A", ErrorId::script_dup_vars, ok, "A"},
        {"a /only 'only", ErrorId::script_dup_vars, ok, "only"},
        {"a /local b /local", ErrorId::script_dup_vars, ok, "local"},
        // Type blocks name types.
        {"a [1]", ErrorId::script_invalid_type_spec},
        {"a [integer! \"text\"]", ErrorId::script_invalid_type_spec},
        {"a [no-such-type]", ErrorId::script_no_value, ok, "no-such-type"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.spec);
        Cell* top = stack::top;
        const Cell spec = load(c.spec);
        u32 flags = 0xFFFF;
        EXPECT_EQ(error_of([&] { flags = function::validate(spec); }), c.error);
        if (!c.error) {
            EXPECT_EQ(flags, c.flags);
        }
        if (c.error == ErrorId::script_bad_func_def) {
            EXPECT_EQ(cell::node(pending_error.args[0]), cell::node(spec)) << "the spec is the argument";
        }
        if (c.culprit) {
            EXPECT_STREQ(symbol::get_c_string(static_cast<i32>(pending_error.args[0].data2)), c.culprit);
        }
        stack::top = top;
    }
}

TEST_F(Functions, InvalidTypeSpecNamesTheValue) {
    // A type block word is read through its context: the error carries the
    // value it gave, not the word; a literal carries itself.
    context::set_global(symbol::make("one"), cell::integer(1));
    context::set_global(symbol::make("text"), cell::make(type::none));
    struct Case {
        const char* spec;
        u32 type;
    } cases[] = {{"a [1]", type::integer}, {"a [one]", type::integer}, {"a [integer! text]", type::none},
                 {"a [[integer!]]", type::block}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.spec);
        Cell* top = stack::top;
        const Cell spec = load(c.spec);
        EXPECT_EQ(error_of([&] { function::validate(spec); }), ErrorId::script_invalid_type_spec);
        EXPECT_EQ(cell::type_of(pending_error.args[0]), c.type);
        stack::top = top;
    }
}

TEST_F(Functions, ValidationStartsAtTheSpecsPosition) {
    Cell spec = load("1 2 a [integer!]");
    EXPECT_EQ(error_of([&] { function::validate(spec); }), ErrorId::script_bad_func_def);
    spec.data1 = 2;
    EXPECT_EQ(error_of([&] { function::validate(spec); }), std::nullopt);
}

// --- Locals ---------------------------------------------------------------------

TEST_F(Functions, CollectLocals) {
    struct Case {
        const char* spec;
        const char* body;
        const char* result;
    } cases[] = {
        {"", "", "[]"},
        {"a", "a: 1", "[a]"},  // nothing collected: no /local
        {"a", "b: 1 c: [d: 2 (e: 3) [[f: 4]]] a: 4 b: 5", "[a /local b c d e f]"},
        {"A", "a: 1 B: 2 b: 3", "[A /local B]"},  // case variants are one name
        {"a /local b", "b: 1 c: 2", "[a /local b c]"},
        {"a [integer!] \"doc\" /only o", "o: 1 x: 2", "[a [integer!] \"doc\" /only o /local x]"},
        // The loop words of foreach, remove-each and repeat.
        {"", "foreach x s [y: 1] foreach [k :v 'w] m [] remove-each r s [] repeat i 10 []",
         "[/local x y k v w r i]"},
        {"", "foreach k: s [] repeat [q] 3", "[/local k]"},
        {"", "print foreach", "[]"},
        // A nested function's spec is walked like any block: its return: is collected.
        {"a", "f: func [x return: [integer!]] [y: 1 a: 2]", "[a /local f return y]"},
        // /extern: its words stay out; words after a later /local are locals.
        {"a /extern b", "a: 1 b: 2 c: 3", "[a /local c]"},
        {"/extern x /local y", "x: 1 z: 2", "[/local y z]"},
        {"a /local l /extern x", "x: 1 z: 2", "[a /local l z]"},
        {"a /extern", "", "[a]"},
        // The set-word local: is dropped, the /local it caused stays.
        {"", "local: 1 x: 2", "[/local x]"},
        {"", "local: 1", "[/local]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.spec) + " | " + c.body);
        Cell* top = stack::top;
        const Cell spec = load(c.spec);
        const Cell body = load(c.body);
        EXPECT_EQ(error_of([&] { function::collect_locals(spec, body); }), std::nullopt);
        EXPECT_EQ(show(spec), c.result);
        EXPECT_EQ(stack::top, top + 2) << "the scratch block is dropped";
        stack::top = top;
    }

    // With /extern, a spec value of another type is reported as such.
    const Cell spec = load("a 1 /extern b");
    EXPECT_EQ(error_of([&] { function::collect_locals(spec, load("")); }), ErrorId::script_bad_func_extern);
    EXPECT_EQ(pending_error.args[0].data2, 1u);
}

TEST_F(Functions, CollectLocalsInABodyThatHoldsItself) {
    const Cell spec = load("");
    const Cell body = load("a: [b: 1]");
    *memory::alloc_tail(cell::node(body)) = body;
    *memory::alloc_tail(cell::node(cells(body)[1])) = body;
    EXPECT_EQ(error_of([&] { function::collect_locals(spec, body); }), std::nullopt);
    EXPECT_EQ(show(spec), "[/local a b]");
}

TEST_F(Functions, CountAndPushLocals) {
    const Cell with = load("a /local b c \"doc\" d");
    const Cell without = load("a b");
    EXPECT_EQ(function::count_locals(cell::node(with), 0, false), 4);
    EXPECT_EQ(function::count_locals(cell::node(with), 0, true), 4);
    EXPECT_EQ(function::count_locals(cell::node(load("a /local b c")), 0, true), 3);
    EXPECT_EQ(function::count_locals(cell::node(without), 0, false), 0);
    EXPECT_EQ(function::count_locals(cell::node(without), 0, true), -1);
    // Counting stops at the next set-word (a native's return:).
    EXPECT_EQ(function::count_locals(cell::node(load("/local a return: [integer!] b")), 0, false), 2);

    for (i32 n : {0, 1, 3}) {
        SCOPED_TRACE(n);
        Cell* top = stack::top;
        function::init_locals(n);
        ASSERT_EQ(stack::top - top, std::max(n, 0));
        if (n > 0) {
            EXPECT_EQ(cell::type_of(top[0]), type::logic);
            EXPECT_FALSE(logic::get(top[0]));
        }
        for (i32 i = 1; i < n; i++) EXPECT_EQ(cell::type_of(top[i]), type::none);
        stack::top = top;
    }
}

// --- The arguments description ---------------------------------------------------

TEST_F(Functions, ArgumentsDescription) {
    auto types = [](std::initializer_list<u32> list) {
        Cell ts = typeset::make();
        for (u32 t : list) typeset::set_bit(ts, t);
        return ts;
    };
    Cell any = cell::make(type::typeset, ~0u, ~0u, ~0u);
    typeset::clear_bit(any, type::unset);

    const Cell spec = load("[trace] \"doc\" a [integer! issue!] \"a\" 'b :c [any-block] return: [logic!] "
                           "/only d [] /part e [integer! alias [x]] /local f g");
    const Node desc = function::build_arguments(spec, false);
    const Cell d = cell::make(type::block, 0, desc, 0);
    struct Item {
        u32 type;
        u32 kind;
        Cell typeset;
        const char* refinement;
    } expected[] = {
        {type::typeset, function::arg_kind::word, types({type::integer, type::issue}), nullptr},
        {type::typeset, function::arg_kind::lit_word, any, nullptr},
        {type::typeset, function::arg_kind::get_word, types({type::block, type::paren}), nullptr},
        {type::typeset, function::arg_kind::return_, types({type::logic}), nullptr},
        {type::refinement, 0, {}, "only"},
        {type::typeset, function::arg_kind::word, any, nullptr},  // an empty type block is the default
        {type::refinement, 0, {}, "part"},
        // A word whose value is a word stands for object!; a block is skipped.
        {type::typeset, function::arg_kind::word, types({type::integer, type::object}), nullptr},
        {type::integer, 0, {}, nullptr},  // the /local slots: /local, f, g
    };
    ASSERT_EQ(length(d), static_cast<i32>(std::size(expected)));
    for (size_t i = 0; i < std::size(expected); i++) {
        SCOPED_TRACE(i);
        const Cell c = cells(d)[i];
        ASSERT_EQ(cell::type_of(c), expected[i].type);
        if (expected[i].type == type::typeset) {
            EXPECT_EQ(c.header & function::arg_kind::mask, expected[i].kind);
            EXPECT_EQ(c.data1, expected[i].typeset.data1);
            EXPECT_EQ(c.data2, expected[i].typeset.data2);
            EXPECT_EQ(c.data3, expected[i].typeset.data3);
        } else if (expected[i].refinement) {
            EXPECT_STREQ(symbol::get_c_string(static_cast<i32>(c.data2)), expected[i].refinement);
        } else {
            EXPECT_EQ(c.data2, 3u);
        }
    }
}

TEST_F(Functions, ArgumentsDescriptionOfANative) {
    // Refinements carry their ordinal, and their count closes the block.
    const Cell spec = load("series value /part length [integer!] /only");
    const Cell d = cell::make(type::block, 0, function::build_arguments(spec, true), 0);
    ASSERT_EQ(length(d), 6);
    EXPECT_EQ(cell::type_of(cells(d)[2]), type::refinement);
    EXPECT_EQ(cells(d)[2].data3, 1u);
    EXPECT_EQ(cell::type_of(cells(d)[4]), type::refinement);
    EXPECT_EQ(cells(d)[4].data3, 2u);
    EXPECT_EQ(cell::type_of(cells(d)[5]), type::integer);
    EXPECT_EQ(cells(d)[5].data2, 2u);

    // A set-word other than return: has no place in a spec.
    const Cell bad = load("a b: [integer!]");
    EXPECT_EQ(error_of([&] { function::build_arguments(bad, false); }), ErrorId::script_bad_func_def);
    EXPECT_EQ(cell::type_of(pending_error.args[0]), type::set_word);

    // Native specs are not validated first: a type word without a value
    // names itself in the error.
    const Cell unknown = load("a [integer! no-such-type]");
    EXPECT_EQ(error_of([&] { function::build_arguments(unknown, true); }), ErrorId::script_invalid_type_spec);
    EXPECT_EQ(cell::type_of(pending_error.args[0]), type::word);
    EXPECT_STREQ(symbol::get_c_string(static_cast<i32>(pending_error.args[0].data2)), "no-such-type");
}

// --- Function values -----------------------------------------------------------

TEST_F(Functions, PushBuildsTheValueItsContextAndExtraBlock) {
    const Cell spec = load("a /only b");
    const Cell body = load("a + [b c (a)]");
    Cell* top = stack::top;
    const Node ctx = function::push(spec, body, 0, 0, 0, function::attribute::trace);
    ASSERT_EQ(stack::top, top + 1) << "only the value stays pushed";
    const Cell fn = top[0];
    EXPECT_EQ(fn.header, type::function | function::attribute::trace);
    EXPECT_EQ(function::context_of(fn), ctx);
    EXPECT_EQ(function::spec_of(fn), cell::node(spec)) << "a spec at its head is not copied";

    // A function context: values on the stack, one slot per name, and the
    // function itself in the self cell.
    EXPECT_EQ(context::kind_of(ctx), context::kind::function);
    EXPECT_TRUE(context::on_stack_q(ctx));
    EXPECT_EQ(context::length(ctx), 3);
    const Cell self = *context::self(ctx);
    EXPECT_EQ(std::memcmp(&self, &fn, sizeof fn), 0);

    // The extra block: a deep copy of the body bound to the context, then
    // unset! cells.
    ASSERT_EQ(memory::buffer(function::extra_of(fn))->length(), 5u);
    const Cell copy = *function::extra_cell(fn, function::extra::body);
    ASSERT_EQ(cell::type_of(copy), type::block);
    EXPECT_NE(cell::node(copy), cell::node(body));
    EXPECT_EQ(show(copy), show(body));
    const Cell inner = cells(copy)[2];
    EXPECT_NE(cell::node(inner), cell::node(cells(body)[2])) << "nested blocks are copied too";
    struct Bound {
        Cell word;
        Node ctx;
        i32 slot;
    } bound[] = {
        {cells(copy)[0], ctx, 0},                          // a
        {cells(inner)[0], ctx, 2},                         // b, inside a nested block
        {cells(cells(inner)[2])[0], ctx, 0},               // a, inside a paren
        {cells(copy)[1], context::global, -2},             // + stays global
        {cells(inner)[1], context::global, -2},            // c too
        {cells(body)[0], context::global, -2},             // the original is left alone
    };
    for (const Bound& b : bound) {
        SCOPED_TRACE(show(b.word));
        EXPECT_EQ(word::context_of(b.word), b.ctx);
        if (b.slot >= 0) {
            EXPECT_EQ(word::index_of(b.word), b.slot);
        }
    }
    for (i32 i = 1; i < function::extra::cells; i++)
        EXPECT_EQ(cell::type_of(*function::extra_cell(fn, i)), type::unset) << i;
}

TEST_F(Functions, PushWithAGivenContext) {
    // A spec taken from its middle is copied from there; the given context
    // is used as it is and the body is not bound to it.
    Cell spec = load("1 x y");
    spec.data1 = 1;
    const Node given = context::make(load("x y"), true, false, context::kind::function);
    const Cell body = load("x");
    Cell* top = stack::top;
    EXPECT_EQ(function::push(spec, body, given, 7, 99, function::attribute::no_trace), given);
    const Cell fn = top[0];
    EXPECT_EQ(fn.header, type::function | function::attribute::no_trace);
    EXPECT_NE(function::spec_of(fn), cell::node(spec));
    EXPECT_EQ(show(cell::make(type::block, 0, function::spec_of(fn), 0)), "[x y]");
    EXPECT_EQ(context::self(given)->data3, fn.data3);
    EXPECT_EQ(word::context_of(cells(*function::extra_cell(fn, function::extra::body))[0]), context::global);
    EXPECT_EQ(cell::type_of(*function::extra_cell(fn, function::extra::entry)), type::integer);
    EXPECT_EQ(function::extra_cell(fn, function::extra::entry)->data2, 7u);
    EXPECT_EQ(cell::type_of(*function::extra_cell(fn, function::extra::owner)), type::integer);
    EXPECT_EQ(function::extra_cell(fn, function::extra::owner)->data2, 99u);

    // No body: none; a spec position past the tail counts as the tail.
    spec.data1 = 10;
    function::push(spec, none::value, 0, 0, 0, 0);
    const Cell empty = stack::top[-1];
    EXPECT_EQ(cell::type_of(*function::extra_cell(empty, function::extra::body)), type::none);
    EXPECT_EQ(memory::buffer(function::spec_of(empty))->length(), 0u);
    EXPECT_EQ(cell::type_of(*function::extra_cell(empty, function::extra::entry)), type::unset);
}

TEST_F(Functions, MakeChecksItsBlock) {
    Cell proto = datatype::make(type::function);
    Cell good = load("[a [integer!]] [a] extra");
    const Cell* made = actions::make(&proto, &good);
    ASSERT_EQ(cell::type_of(*made), type::function);
    EXPECT_EQ(show(*function::extra_cell(*made, function::extra::body)), "[a]");

    for (const char* text : {"[a]", "[a] b", "a [b]", "[a \"doc\" [integer!]] []", "[a a] []"}) {
        SCOPED_TRACE(text);
        Cell arg = load(text);
        const ErrorId expected = std::string(text) == "[a a] []" ? ErrorId::script_dup_vars : ErrorId::script_bad_func_def;
        EXPECT_EQ(error_of([&] { actions::make(&proto, &arg); }), expected);
    }
    Cell number = cell::integer(1);
    EXPECT_EQ(error_of([&] { actions::make(&proto, &number); }), ErrorId::script_bad_func_def);
}

TEST_F(Functions, FormMoldAndCompare) {
    const Cell with_body = *function::make_func(load("a /only"), load("a + b"));
    const Cell without = (function::push(load("x"), none::value, 0, 0, 0, 0), stack::top[-1]);
    const Cell twin = *function::make_func(load("a /only"), load("a + b"));
    constexpr i32 no_part = 0x7FFFFFFF;

    struct Case {
        Cell fn;
        const char* mold;
    } cases[] = {{with_body, "func [a /only][a + b]"}, {without, "func [x] none"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mold);
        Cell v = c.fn;
        memory::buffer(cell::node(*buffer))->tail = 0;
        EXPECT_EQ(actions::mold(&v, buffer, false, false, false, nullptr, no_part, 0),
                  no_part - static_cast<i32>(std::strlen(c.mold)));
        EXPECT_EQ(ascii(*buffer), c.mold);
        memory::buffer(cell::node(*buffer))->tail = 0;
        EXPECT_EQ(actions::form(&v, buffer, nullptr, 100), 90);
        EXPECT_EQ(ascii(*buffer), "?function?");
    }

    // Only the same function compares equal; orderings are not defined.
    Cell a = with_body, a2 = with_body, b = twin, n = cell::integer(1);
    const i32 equality_codes[] = {0, 1, 2, 7, 8, 9, 12};
    for (i32 op : equality_codes) {
        SCOPED_TRACE(op);
        EXPECT_EQ(actions::compare_raw(&a, &a2, op), 0);
        EXPECT_NE(actions::compare_raw(&a, &b, op), 0);
        EXPECT_EQ(actions::compare_raw(&a, &b, op), -actions::compare_raw(&b, &a, op));
        EXPECT_EQ(actions::compare_raw(&a, &n, op), -2);
    }
    for (i32 op : {3, 4, 5, 6, 10, 11}) EXPECT_EQ(actions::compare_raw(&a, &a2, op), -2) << op;
    EXPECT_TRUE(actions::compare(&a, &a2, 0));
    EXPECT_FALSE(actions::compare(&a, &b, 0));
}

TEST_F(Functions, ReflectAndArguments) {
    const Cell spec = load("a /only b");
    const Cell fn = *function::make_func(spec, load("a"));
    auto reflect = [&](i32 field) {
        Cell result{};
        stack::mark_native(stack::word(0));
        stack::push(fn);
        actions::reflect(stack::arguments, static_cast<u32>(field));
        result = *stack::arguments;
        stack::unwind();
        stack::pop(1);
        return result;
    };
    const Cell s = reflect(words::sym::spec);
    EXPECT_EQ(cell::type_of(s), type::block);
    EXPECT_EQ(cell::node(s), cell::node(spec)) << "the spec itself, not a copy";
    const Cell b = reflect(words::sym::body);
    EXPECT_EQ(cell::node(b), cell::node(*function::extra_cell(fn, function::extra::body)));
    const Cell w = reflect(words::sym::words);
    EXPECT_EQ(show(w), "[a only b]");
    EXPECT_NE(cell::node(w), context::word_block(function::context_of(fn)));
    for (i32 i = 0; i < 3; i++) {
        EXPECT_EQ(cell::type_of(cells(w)[i]), type::word);
        EXPECT_EQ(word::context_of(cells(w)[i]), function::context_of(fn));
        EXPECT_EQ(word::index_of(cells(w)[i]), i);
    }
    EXPECT_EQ(error_of([&] { reflect(symbol::make("title")); }), ErrorId::internal_not_done);

    // The arguments description is built once and kept in the extra block.
    const Node desc = function::arguments(fn);
    EXPECT_EQ(function::arguments(fn), desc);
    EXPECT_EQ(cell::node(*function::extra_cell(fn, function::extra::arguments)), desc);
    EXPECT_EQ(memory::buffer(desc)->length(), 3u);
}

// --- Routines ---------------------------------------------------------------------

routine::Machine twice(const routine::Machine* args, i32) { return routine::Machine{.integer = args[0].integer * 2}; }
routine::Machine other(const routine::Machine*, i32) { return routine::Machine{.integer = 0}; }

TEST_F(Functions, RoutineEntriesAreTableIndexes) {
    const u32 i = routine::register_entry(twice);
    EXPECT_GE(i, 1u);
    EXPECT_EQ(routine::register_entry(twice), i);
    EXPECT_NE(routine::register_entry(other), i);
    EXPECT_EQ(routine::entry(i), twice);
    EXPECT_EQ(routine::entry(0), nullptr);
    EXPECT_EQ(routine::entry(100000), nullptr);
    const routine::Machine arg{.integer = 21};
    EXPECT_EQ(routine::entry(i)(&arg, 1).integer, 42);
}

TEST_F(Functions, RoutineValues) {
    const u32 entry = routine::register_entry(twice);
    const Cell spec = load("a [integer!] b [logic!] /local c"), body = load("twice a"), spec2 = load("a");
    Cell* top = stack::top;
    routine::push(spec, body, entry, routine::return_integer, false);
    routine::push(spec2, none::value, entry, -1, true);
    routine::push(spec2, cell::integer(5), entry, routine::return_logic, false);
    ASSERT_EQ(stack::top, top + 3);
    const Cell plain = top[0], external = top[1], odd_body = top[2];

    EXPECT_EQ(plain.header, type::routine | (3u << routine::arity_shift));
    EXPECT_EQ(routine::get_arity(plain), 3u);
    EXPECT_EQ(external.header, 0x801Du | (1u << routine::arity_shift));
    EXPECT_EQ(routine::return_type(plain), type::integer);
    EXPECT_EQ(routine::return_type(external), 0u) << "no return type";
    EXPECT_EQ(function::extra_cell(plain, function::extra::entry)->data2, entry);
    EXPECT_EQ(context::self(function::context_of(plain))->data3, plain.data3);
    EXPECT_EQ(context::length(function::context_of(plain)), 4);

    constexpr i32 no_part = 0x7FFFFFFF;
    struct Case {
        Cell value;
        const char* mold;
    } cases[] = {{plain, "routine [a [integer!] b [logic!] /local c][twice a]"},
                 {external, "routine [a] none"},
                 {odd_body, "routine [a] 5"}};  // a body that is no block is kept and written after a space
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mold);
        Cell v = c.value;
        memory::buffer(cell::node(*buffer))->tail = 0;
        EXPECT_EQ(actions::mold(&v, buffer, false, false, false, nullptr, no_part, 0),
                  no_part - static_cast<i32>(std::strlen(c.mold)));
        EXPECT_EQ(ascii(*buffer), c.mold);
        memory::buffer(cell::node(*buffer))->tail = 0;
        EXPECT_EQ(actions::form(&v, buffer, nullptr, 100), 90);
        EXPECT_EQ(ascii(*buffer), "?routine?");
    }

    // Compared only with routines; reflect is the function's.
    Cell a = plain, b = external, fn = *function::make_func(load("a"), load("a"));
    EXPECT_EQ(actions::compare_raw(&a, &a, 0), 0);
    EXPECT_NE(actions::compare_raw(&a, &b, 0), 0);
    EXPECT_EQ(actions::compare_raw(&a, &fn, 0), -2);
    EXPECT_EQ(actions::compare_raw(&fn, &a, 0), -2);
    EXPECT_NE(registry::entry(type::routine, action::reflect), nullptr);
    EXPECT_EQ(registry::entry(type::routine, action::make), nullptr);

    // Return types other than logic!, integer! and float!, and more words
    // than five bits count, are refused.
    EXPECT_EQ(error_of([&] { routine::push(load("a"), none::value, entry, 5, false); }), ErrorId::script_invalid_arg);
    std::string many;
    for (int i = 0; i < 32; i++) many += "w" + std::to_string(i) + " ";
    EXPECT_EQ(error_of([&] { routine::push(load(many), none::value, entry, 0, false); }), ErrorId::script_bad_func_def);
    routine::push(load(many.substr(0, many.size() - 4)), none::value, entry, 0, false);
    EXPECT_EQ(routine::get_arity(stack::top[-1]), 31u);
}

}  // namespace
