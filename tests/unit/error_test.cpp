// error!: the catalog objects and their codes, make error! from codes, blocks
// and strings, the report's lines and cuts, fire caught by a try frame, the
// stack capture, and the uncaught report with its exit status.
#include "runtime/datatypes/error.h"

#include "interpreter/actions.h"
#include "interpreter/stack.h"
#include "runtime/console.h"
#include "runtime/collector.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/function.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/object.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/word.h"
#include "runtime/error_catalog.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/registry.h"
#include "runtime/runtime.h"
#include "runtime/system.h"
#include "runtime/unicode.h"

#include "support.h"

#include <gtest/gtest.h>

#include <cctype>
#include <optional>
#include <string>

using namespace oru;

namespace {

class Errors : public ::testing::Test {
protected:
    void SetUp() override {
        runtime_init();
        if (!registry::datatypes[type::object].name) object::init();
        if (!registry::datatypes[type::error].name) error::init();
        if (!error::ready()) error::init_catalog();
        error::stack_trace = cell::integer(1);
        error::source_files = none::value;
    }
    void TearDown() override {
        error::stack_trace = cell::integer(1);
        error::source_files = none::value;
        runtime_shutdown();
    }

    static std::string text_of(Cell str) {
        i32 length = -1;
        return reinterpret_cast<const char*>(unicode::to_utf8(str, &length));
    }
    static std::string spelling(i32 sym) { return symbol::get_c_string(sym); }

    // The report of an error, formed without a limit.
    static std::string report(const Cell& error) {
        Cell* saved = stack::top;
        Cell* e = stack::push(error);
        Cell* buffer = stack::push(none::value);
        string::make_at(*buffer, 64);
        error::form(e, buffer, nullptr, 0x7FFFFFFF);
        std::string s = text_of(*buffer);
        stack::top = saved;
        return s;
    }

    // Runs f under a try frame; the error it raises (its id), or nothing.
    template <class F>
    std::optional<ErrorId> error_of(F&& f) {
        return test::error_of(std::forward<F>(f));
    }

    static Cell make_error(const Cell& spec) {
        Cell* s = stack::push(spec);
        Cell proto = cell::make(type::datatype, type::error);
        return *error::make(&proto, s, type::error);
    }

    static Cell field(const Cell& e, i32 i) { return *error::field_at(e, i); }

    // A small reader for test blocks: words, set-words, get-words,
    // lit-words, refinements, integers, "strings" and nested [blocks]. The
    // block is held on the data stack.
    static Cell load(const std::string& text) {
        size_t pos = 0;
        Cell* b = stack::push(none::value);
        *b = read_block(text, pos);
        return *b;
    }
    static Cell read_block(const std::string& text, size_t& pos) {
        Cell* blk = stack::push(none::value);
        block::make_at(*blk, 8);
        for (;;) {
            while (pos < text.size() && std::isspace(static_cast<unsigned char>(text[pos]))) pos++;
            if (pos >= text.size() || text[pos] == ']') {
                pos++;
                return *blk;
            }
            Cell* v = stack::push(none::value);
            if (text[pos] == '[') {
                pos++;
                *v = read_block(text, pos);
            } else if (text[pos] == '"') {
                const size_t end = text.find('"', pos + 1);
                string::make_at(*v, 8);
                string::concatenate_literal(*v, text.substr(pos + 1, end - pos - 1).c_str());
                pos = end + 1;
            } else {
                size_t end = pos;
                while (end < text.size() && !std::isspace(static_cast<unsigned char>(text[end])) &&
                       text[end] != ']' && text[end] != '[')
                    end++;
                std::string token = text.substr(pos, end - pos);
                pos = end;
                if (std::isdigit(static_cast<unsigned char>(token[0])) || token[0] == '-') {
                    *v = cell::integer(std::stoi(token));
                } else {
                    u32 t = type::word;
                    if (token[0] == '/') t = type::refinement, token.erase(0, 1);
                    else if (token[0] == ':') t = type::get_word, token.erase(0, 1);
                    else if (token[0] == '\'') t = type::lit_word, token.erase(0, 1);
                    else if (token.back() == ':') t = type::set_word, token.pop_back();
                    *v = word::of_symbol(symbol::make(token.c_str()));
                    cell::set_type(*v, t);
                }
            }
            block::rs_append(*blk, *v);
        }
    }

    static Cell string_of(const char* text) {
        Cell* s = stack::push(none::value);
        string::make_at(*s, 8);
        string::concatenate_literal(*s, text);
        return *s;
    }

    // The category object's context in the catalog, by spelling.
    static Node category(const char* name) {
        const Node cat = error::catalog().data1;
        const i32 i = context::find_word(cat, symbol::make(name), true);
        return i < 0 ? 0 : context::values(cat)[i].data1;
    }
    static Cell message(const char* cat, const char* id) {
        const Node c = category(cat);
        return context::values(c)[context::find_word(c, symbol::make(id), true)];
    }
};

// Codes follow the catalog positions; make error! from a code finds the
// category and id words.
TEST_F(Errors, CodesNameTheirCategoryAndId) {
    struct Case {
        i32 code;
        const char* type;
        const char* id;
    } cases[] = {
        {0, "throw", "break"},          {4, "throw", "while-cond"},       {100, "note", "no-load"},
        {300, "script", "no-value"},    {393, "script", "ob-invalid-record"}, {400, "math", "zero-divide"},
        {514, "access", "invalid-cmd"}, {800, "user", "message"},         {910, "internal", "invalid-error"},
        {913, "internal", "deprecated"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        const Cell e = make_error(cell::integer(c.code));
        EXPECT_EQ(cell::type_of(e), type::error);
        EXPECT_EQ(field(e, error::field::code).data2, static_cast<u32>(c.code));
        EXPECT_EQ(spelling(error::get_type(e)), c.type);
        EXPECT_EQ(spelling(error::get_id(e)), c.id);
        // Bound to the catalog: the type word's context is the catalog's.
        EXPECT_EQ(word::context_of(field(e, error::field::type)), error::catalog().data1);
        // The id is the same one fire raises for that code.
        const Cell raised = *error::create(static_cast<ErrorId>(c.code));
        EXPECT_EQ(error::get_id(raised), error::get_id(e));
        EXPECT_EQ(error::id_of(raised), static_cast<ErrorId>(c.code));
    }
}

TEST_F(Errors, CatalogHoldsTheCategoriesInOrder) {
    const Node cat = error::catalog().data1;
    const char* names[] = {"throw", "note", "syntax", "script", "math", "access", "reserved1", "reserved2", "user",
                           "internal"};
    const char* types[] = {"Throw Error", "note",            "Syntax Error",    "Script Error", "Math Error",
                           "Access Error", "Reserved1 Error", "Reserved2 Error", "User Error",   "Internal Error"};
    const i32 fields[] = {7, 3, 9, 96, 5, 17, 2, 2, 3, 16};  // code and type, then the ids
    ASSERT_EQ(context::length(cat), 10);
    for (i32 i = 0; i < 10; i++) {
        SCOPED_TRACE(names[i]);
        EXPECT_EQ(spelling(word::symbol_of(*context::word_at(cat, i))), names[i]);
        const Node c = category(names[i]);
        ASSERT_EQ(context::length(c), fields[i]);
        EXPECT_EQ(spelling(word::symbol_of(*context::word_at(c, 0))), "code");
        EXPECT_EQ(spelling(word::symbol_of(*context::word_at(c, 1))), "type");
        EXPECT_EQ(context::values(c)[0].data2, static_cast<u32>(100 * i));
        EXPECT_EQ(text_of(context::values(c)[1]), types[i]);
    }
    // Messages as the catalog keeps them: strings, blocks, and user/message's
    // word.
    EXPECT_EQ(text_of(message("throw", "break")), "no loop to break");
    EXPECT_EQ(text_of(message("internal", "routines")),
              "routines require compilation, from OS shell: `oru -r <script.oru>`");
    EXPECT_EQ(cell::type_of(message("user", "message")), type::word);
    EXPECT_EQ(spelling(word::symbol_of(message("user", "message"))), "arg1");

    const Cell no_load = message("note", "no-load");
    ASSERT_EQ(cell::type_of(no_load), type::block);
    EXPECT_EQ(text_of(*block::rs_abs_at(no_load, 0)), "cannot load: ") << "ends in a blank";
    EXPECT_EQ(cell::type_of(*block::rs_abs_at(no_load, 1)), type::get_word);

    // A block message part by part: [:arg1 "does not allow" :arg2 "for its" :arg3 "argument"].
    const Cell expect_arg = message("script", "expect-arg");
    ASSERT_EQ(block::rs_length_q(expect_arg), 6);
    const char* parts[] = {":arg1", "does not allow", ":arg2", "for its", ":arg3", "argument"};
    for (i32 i = 0; i < 6; i++) {
        const Cell& p = *block::rs_abs_at(expect_arg, i);
        if (parts[i][0] == ':') {
            EXPECT_EQ(cell::type_of(p), type::get_word);
            EXPECT_EQ(":" + spelling(word::symbol_of(p)), parts[i]);
        } else {
            EXPECT_EQ(text_of(p), parts[i]);
        }
    }
    // internal/deprecated uses the plain words arg1 and arg2.
    const Cell deprecated = message("internal", "deprecated");
    EXPECT_EQ(cell::type_of(*block::rs_abs_at(deprecated, 0)), type::word);
    EXPECT_EQ(cell::type_of(*block::rs_abs_at(deprecated, 2)), type::word);
}

// Every catalog message, as built, matches the message data part by part.
TEST_F(Errors, EveryCatalogMessageMatchesItsData) {
    for (const error_catalog::Entry& e : error_catalog::entries) {
        const u32 code = static_cast<u32>(e.id);
        SCOPED_TRACE(e.spelling);
        const Node c = category(error_catalog::categories[code / 100].spelling);
        const i32 pos = static_cast<i32>(code % 100 + 2);
        ASSERT_LT(pos, context::length(c));
        EXPECT_EQ(spelling(word::symbol_of(*context::word_at(c, pos))), e.spelling);
        const Cell m = context::values(c)[pos];
        if (e.shape() == error_catalog::Shape::string) {
            EXPECT_EQ(text_of(m), e.parts[0].text);
            continue;
        }
        if (e.shape() == error_catalog::Shape::word) {
            EXPECT_EQ(cell::type_of(m), type::word);
            continue;
        }
        ASSERT_EQ(block::rs_length_q(m), e.count);
        for (i32 i = 0; i < e.count; i++) {
            const Cell& p = *block::rs_abs_at(m, i);
            if (e.parts[i].kind == error_catalog::PartKind::text) {
                EXPECT_EQ(text_of(p), e.parts[i].text);
            } else {
                EXPECT_EQ(spelling(word::symbol_of(p)), "arg" + std::to_string(e.parts[i].arg));
            }
        }
    }
}

TEST_F(Errors, MakeFromAnOutOfRangeCodeRaises) {
    // Past the categories, past script's 96 fields, reserved1 without ids,
    // negative.
    for (i32 code : {1000, 399, 394, 600, 700, 801, -1}) {
        SCOPED_TRACE(code);
        EXPECT_EQ(error_of([&] { make_error(cell::integer(code)); }), ErrorId::script_out_of_range);
        EXPECT_EQ(pending_error.args[0].data2, static_cast<u32>(code));
    }
}

TEST_F(Errors, MakeFromABlock) {
    const Cell e = make_error(load("math overflow"));
    EXPECT_EQ(field(e, error::field::code).data2, 401u);
    EXPECT_EQ(spelling(error::get_id(e)), "overflow");

    struct Case {
        const char* spec;
        ErrorId error;
        const char* culprit;  // the word the error names, when any
    } cases[] = {
        {"script bogus", ErrorId::script_invalid_spec_field, "id"},
        {"bogus overflow", ErrorId::script_invalid_spec_field, "type"},
        {"math", ErrorId::script_invalid_spec_field, "id"},
        {"math code", ErrorId::script_invalid_spec_field, "id"},  // code and type are no ids
        {"math 5", ErrorId::script_invalid_arg, nullptr},
        {"5 math", ErrorId::internal_invalid_error, nullptr},
        {"", ErrorId::internal_invalid_error, nullptr},
        {"type: 'math id: 'bogus", ErrorId::script_invalid_spec_field, "id"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.spec);
        EXPECT_EQ(error_of([&] { make_error(load(c.spec)); }), c.error);
        if (c.culprit) {
            EXPECT_EQ(spelling(word::symbol_of(pending_error.args[0])), c.culprit);
        }
    }

    // Set-words fill the fields; the code follows from type and id.
    const Cell f = make_error(load("type: 'math id: 'positive arg1: 7"));
    EXPECT_EQ(field(f, error::field::code).data2, 402u);
    EXPECT_EQ(field(f, error::field::arg1).data2, 7u);
}

TEST_F(Errors, MakeFromAStringOrAnythingElse) {
    const Cell e = make_error(string_of("custom failure"));
    EXPECT_EQ(field(e, error::field::code).data2, 800u);
    EXPECT_EQ(report(e), "*** User Error: custom failure\n*** Where: ???\n*** Near : none");

    EXPECT_EQ(error_of([&] { make_error(cell::make(type::none)); }), ErrorId::script_bad_make_arg);
    EXPECT_EQ(pending_error.args[0].data1, type::error);
}

// The report: arguments formed for syntax errors and molded for the others,
// each cut at 80 characters; Near molded flat without brackets and cut at
// 40; Where from the field or "???".
TEST_F(Errors, ReportLines) {
    const Cell ab = load("a b");
    Cell* foo = stack::push(word::of_symbol(symbol::make("foo")));
    std::string long_mold = "[";
    for (i32 i = 10; i < 50; i++) long_mold += std::to_string(i) + (i < 49 ? " " : "]");
    std::string numbers;
    for (i32 i = 10; i < 50; i++) numbers += std::to_string(i) + " ";
    const Cell many = load(numbers);
    std::string long_text_str;
    for (i32 i = 0; i < 100; i++) long_text_str += static_cast<char>('a' + i % 26);
    const std::string long_text_mold = "{" + long_text_str + "}";  // a long string molds in braces
    const Cell long_text = string_of(long_text_str.c_str());

    struct Case {
        ErrorId id;
        const Cell* args[3];
        std::string first_line;
    } cases[] = {
        {ErrorId::math_zero_divide, {}, "*** Math Error: attempt to divide by zero"},
        {ErrorId::script_no_value, {foo}, "*** Script Error: foo has no value"},
        {ErrorId::script_invalid_arg, {&ab}, "*** Script Error: invalid argument: [a b]"},
        {ErrorId::syntax_invalid, {&ab, foo, &ab}, "*** Syntax Error: a b invalid foo at a b"},
        {ErrorId::script_invalid_arg, {&many}, "*** Script Error: invalid argument: " + long_mold.substr(0, 80)},
        {ErrorId::script_expect_arg, {foo}, "*** Script Error: foo does not allow none for its none argument"},
        {ErrorId::script_invalid_arg,
         {&long_text},
         "*** Script Error: invalid argument: " + long_text_mold.substr(0, 80)},
        {ErrorId::syntax_bad_char,
         {&long_text},
         "*** Syntax Error: " + long_text_str.substr(0, 80) + " invalid character at none"},
        {ErrorId::note_no_load, {&ab}, "*** note: cannot load:  [a b]"},
        {ErrorId::internal_bad_path, {&ab}, "*** Internal Error: bad path: [a b]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.first_line);
        const Cell e = *error::create(c.id, c.args[0], c.args[1], c.args[2]);
        EXPECT_EQ(report(e), c.first_line + "\n*** Where: ???\n*** Near : none");
    }

    Cell e = *error::create(ErrorId::math_overflow);
    *error::field_at(e, error::field::near) = many;
    error::set_where(e, word::of_symbol(symbol::make("probe")));
    error::set_where(e, word::of_symbol(symbol::make("later")));  // only while none
    EXPECT_EQ(report(e), "*** Math Error: math or number overflow\n*** Where: probe\n*** Near : " +
                             numbers.substr(0, 40));
}

// The whole report of a script error with three arguments, raised inside a
// function call: each argument molded in its place, Where naming the call,
// Near molded flat without its brackets, Stack listing the function.
TEST_F(Errors, ScriptErrorReportWithArguments) {
    const Cell fn = *function::make_func(load("value"), load(""));
    context::set_global(symbol::make("probe-fn"), fn);
    const Cell near = load("probe-fn \"text\" [1 2]");
    const Cell arg2 = string_of("two words");
    const Cell arg3 = load("x y");

    stack::mark_try(stack::word(symbol::make("try")));
    stack::mark(word::of_symbol(symbol::make("probe-fn")), 0);
    ASSERT_EQ(catch_level(throw_code::top_level,
                          [&] {
                              fire(ErrorId::script_expect_arg, word::of_symbol(symbol::make("probe-fn")), arg2,
                                   arg3);
                          }),
              throw_code::error);
    stack::keep_error_result();
    const Cell e = *stack::arguments;
    ASSERT_EQ(cell::type_of(e), type::error);
    *error::field_at(e, error::field::near) = near;
    EXPECT_EQ(report(e), "*** Script Error: probe-fn does not allow \"two words\" for its [x y] argument\n"
                         "*** Where: probe-fn\n"
                         "*** Near : probe-fn \"text\" [1 2]\n"
                         "*** Stack: probe-fn ");
    error::stack_trace = cell::integer(0);
    EXPECT_EQ(report(e), "*** Script Error: probe-fn does not allow \"two words\" for its [x y] argument\n"
                         "*** Where: probe-fn\n"
                         "*** Near : probe-fn \"text\" [1 2]");
}

TEST_F(Errors, ReportOfAnErrorTheCatalogLacks) {
    // A type that names no category, then an id that names no message.
    const Cell bogus = make_error(cell::integer(400));
    *error::field_at(bogus, error::field::type) = word::of_symbol(symbol::make("bogus"));
    EXPECT_EQ(report(bogus), "*** Internal Error: invalid error object field value: bogus\n"
                             "*** Where: ???\n*** Near : none");
    EXPECT_EQ(spelling(error::get_id(bogus)), "invalid-error");

    const Cell no_id = make_error(cell::integer(400));
    *error::field_at(no_id, error::field::id) = word::of_symbol(symbol::make("nothing"));
    EXPECT_EQ(report(no_id), "*** Internal Error: invalid error object field value: nothing\n"
                             "*** Where: ???\n*** Near : none");

    // user/message whose arg1 is no string: no message is written.
    const Cell user = make_error(cell::integer(800));
    *error::field_at(user, error::field::arg1) = cell::integer(5);
    EXPECT_EQ(report(user), "*** User Error: \n*** Where: ???\n*** Near : none");
}

TEST_F(Errors, StackAndFilesLines) {
    Cell e = *error::create(ErrorId::math_overflow);
    *error::field_at(e, error::field::stack) = load("f g");
    const std::string head = "*** Math Error: math or number overflow\n*** Where: ???\n*** Near : none";
    EXPECT_EQ(report(e), head + "\n*** Stack: f g");
    error::stack_trace = cell::integer(0);
    EXPECT_EQ(report(e), head) << "only while stack-trace is a positive integer";
    error::stack_trace = none::value;
    EXPECT_EQ(report(e), head);
    error::stack_trace = cell::integer(1);

    *error::field_at(e, error::field::files) = load("a b");
    EXPECT_EQ(report(e), head + "\n*** Stack: f g\n*** Files: a b");
}

// fire under a try frame: the error! value is left for the try native, with
// where naming the innermost call and stack the frame count when raised.
TEST_F(Errors, FireCaughtByTryLeavesTheErrorValue) {
    Cell* base = stack::top;
    stack::mark_try(stack::word(symbol::make("try")));
    stack::mark_native(word::of_symbol(symbol::make("alpha")));
    stack::mark_native(word::of_symbol(symbol::make("beta")));
    stack::push(cell::integer(1));
    const u32 code = catch_level(throw_code::top_level, [] { fire(ErrorId::script_invalid_arg, cell::integer(42)); });
    ASSERT_EQ(code, throw_code::error);
    EXPECT_EQ(stack::depth(), 0u);
    stack::keep_error_result();
    EXPECT_EQ(stack::arguments, base);
    const Cell e = *stack::arguments;
    ASSERT_EQ(cell::type_of(e), type::error);
    EXPECT_EQ(error_id_of(e), ErrorId::script_invalid_arg);
    EXPECT_EQ(pending_error.id, ErrorId::script_invalid_arg);
    EXPECT_EQ(field(e, error::field::arg1).data2, 42u);
    EXPECT_EQ(cell::type_of(field(e, error::field::arg2)), type::none);
    EXPECT_EQ(spelling(word::symbol_of(field(e, error::field::where))), "beta");
    EXPECT_EQ(field(e, error::field::stack).data2, 3u);
    EXPECT_EQ(report(e), "*** Script Error: invalid argument: 42\n*** Where: beta\n*** Near : none\n*** Stack: ")
        << "no function among the frames";

    // Every named frame from level 2, read from the closed frames.
    error::stack_trace = cell::integer(2);
    EXPECT_EQ(report(e),
              "*** Script Error: invalid argument: 42\n*** Where: beta\n*** Near : none\n*** Stack: try alpha beta ");
    // Captured: the names become a block, which later frames cannot overwrite.
    error::capture_stack(e);
    ASSERT_EQ(cell::type_of(field(e, error::field::stack)), type::block);
    stack::mark_native(word::of_symbol(symbol::make("gamma")));
    stack::unwind();
    EXPECT_EQ(report(e),
              "*** Script Error: invalid argument: 42\n*** Where: beta\n*** Near : none\n*** Stack: try alpha beta");
}

// An error! value raised as it is (do of an error) is what pending_error
// then describes, not the error fired before it.
TEST_F(Errors, RaisingAnErrorValueUpdatesThePendingError) {
    Cell* base = stack::top;
    ASSERT_EQ(error_of([] { fire(ErrorId::script_no_value, cell::integer(1)); }), ErrorId::script_no_value);
    stack::top = base;
    Cell* e = stack::push(make_error(cell::integer(911)));
    const Cell raised = *e;
    EXPECT_EQ(error_of([&] { raise_value(raised); }), ErrorId::internal_routines);
    EXPECT_EQ(pending_error.id, ErrorId::internal_routines);
    stack::top = base;
}

// Out of memory, raising no-memory asks for none: making an error allocates,
// and the allocation would fail again, raising no-memory again, and so on
// until the machine stack ran out. The error made at start-up is raised
// instead, each time with the fields of that raise.
TEST_F(Errors, NoMemoryIsRaisedWithoutAllocating) {
    collector::enable(true);
    memory::refuse_os_blocks = 0xFFFFFFFF;  // no more frames: the heap is what start-up made
    Cell* chain = stack::push(none::value);
    // The error a body raises under a try frame and a frame named `name`
    // (interned first: a new symbol takes memory).
    for (const char* name : {"try", "alpha", "beta"}) symbol::make(name);
    const auto raised = [](const char* name, auto body) {
        Cell* base = stack::top;
        stack::mark_try(stack::word(symbol::make("try")));
        stack::mark_native(word::of_symbol(symbol::make(name)));
        EXPECT_EQ(catch_level(throw_code::top_level, body), throw_code::error);
        stack::keep_error_result();
        const Cell e = *stack::arguments;
        stack::top = base;
        return e;
    };
    const Cell first = raised("alpha", [chain] {
        for (;;) {  // a chain of small blocks, every one live, until one cannot be had
            Cell* link = stack::push(none::value);
            block::make_at(*link, 2);
            block::rs_append(*link, *chain);
            *chain = *link;
            stack::pop(1);
        }
    });
    ASSERT_EQ(error_id_of(first), ErrorId::internal_no_memory);
    EXPECT_EQ(spelling(word::symbol_of(field(first, error::field::where))), "alpha");

    const u32 cycles = collector::cycles();
    const u32 refusals = memory::refuse_os_blocks;
    const Cell again = raised("beta", [] { fire(ErrorId::internal_no_memory); });
    EXPECT_EQ(collector::cycles(), cycles) << "an allocation would have collected first";
    EXPECT_EQ(memory::refuse_os_blocks, refusals) << "nor asked the OS for memory";
    ASSERT_EQ(error_id_of(again), ErrorId::internal_no_memory);
    EXPECT_EQ(spelling(word::symbol_of(field(again, error::field::where))), "beta");

    memory::refuse_os_blocks = 0;
    *chain = none::value;
    EXPECT_EQ(report(again), "*** Internal Error: not enough memory\n*** Where: beta\n*** Near : none\n*** Stack: ");
    collector::enable(false);
}

// At level 1 the stack lists the frames whose name holds a function!.
TEST_F(Errors, CapturedStackListsFunctionCalls) {
    const Cell spec = load("a b /c d");
    const Cell body = load("");
    const Cell fn = *function::make_func(spec, body);
    context::set_global(symbol::make("fun"), fn);
    const Cell source = load("x");
    error::source_files = source;

    stack::mark_try(stack::word(symbol::make("try")));
    stack::mark(word::of_symbol(symbol::make("fun")), 0);
    stack::mark_native(word::of_symbol(symbol::make("nat")));
    // The function being called is the innermost named frame's.
    EXPECT_EQ(cell::type_of(error::get_call_argument(0)), type::none) << "nat is no function";
    stack::unwind();
    struct Case {
        i32 n;
        u32 type;
        const char* name;
    } args[] = {{0, type::word, "a"}, {1, type::word, "b"}, {2, type::refinement, "c"}, {3, type::word, "d"}};
    for (const auto& a : args) {
        const Cell w = error::get_call_argument(a.n);
        EXPECT_EQ(cell::type_of(w), a.type);
        EXPECT_EQ(spelling(word::symbol_of(w)), a.name);
    }
    EXPECT_EQ(cell::type_of(error::get_call_argument(4)), type::none);
    stack::mark_native(word::of_symbol(symbol::make("nat")));

    ASSERT_EQ(catch_level(throw_code::top_level, [] { fire(ErrorId::math_zero_divide); }), throw_code::error);
    stack::keep_error_result();
    const Cell e = *stack::arguments;
    error::capture_stack(e);
    const Cell names = field(e, error::field::stack);
    ASSERT_EQ(block::rs_length_q(names), 1);
    EXPECT_EQ(spelling(word::symbol_of(*block::rs_abs_at(names, 0))), "fun");
    const Cell files = field(e, error::field::files);
    ASSERT_EQ(cell::type_of(files), type::block);
    EXPECT_NE(cell::node(files), cell::node(source)) << "a copy";
    EXPECT_EQ(block::rs_length_q(files), 1);
}

TEST_F(Errors, MoldComparePath) {
    const Cell e = make_error(cell::integer(400));
    Cell* v = stack::push(e);
    Cell* buffer = stack::push(none::value);
    string::make_at(*buffer, 64);
    actions::mold(v, buffer, false, false, true, nullptr, 0x7FFFFFFF, 0);
    EXPECT_EQ(text_of(*buffer), "make error! [code: 400 type: 'math id: 'zero-divide arg1: none arg2: none "
                                "arg3: none near: none where: none stack: none files: none]");

    Cell* other = stack::push(make_error(cell::integer(400)));
    EXPECT_EQ(actions::compare_raw(v, v, actions::op::equal), 0);
    Cell* obj = stack::push(*other);
    cell::set_type(*obj, type::object);
    EXPECT_EQ(actions::compare_raw(v, obj, actions::op::equal), -2) << "an object! is no error!";

    Cell* id = stack::push(word::of_symbol(symbol::make("id")));
    const Cell* got = actions::eval_path(v, id, nullptr, nullptr, nullptr, nullptr, 0, false, true, true, false);
    EXPECT_EQ(spelling(word::symbol_of(*got)), "zero-divide");
}

// An error nothing catches prints its report and ends the process with -2.
// The report goes to standard error here so that the death test can read it.
TEST_F(Errors, UncaughtErrorPrintsTheReportAndExits) {
    EXPECT_EXIT(
        {
            console::set_output_fd(2);
            stack::mark_native(word::of_symbol(symbol::make("probe")));
            fire(ErrorId::script_invalid_arg, cell::integer(1));
        },
        ::testing::ExitedWithCode(uncaught_error_status),
        "\\*\\*\\* Script Error: invalid argument: 1\n\\*\\*\\* Where: probe\n\\*\\*\\* Near : none\n");
}

}  // namespace
