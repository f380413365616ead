// The lexer: token kinds to values, containers and paths, syntax errors with
// their line numbers, escapes, and the text conversions.
#include "codecs/lexer.h"
#include "interpreter/stack.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/fire.h"
#include "runtime/float_text.h"
#include "runtime/memory.h"
#include "runtime/runtime.h"
#include "runtime/system.h"

#include <gtest/gtest.h>

#include <string>

using namespace oru;

namespace {

class Lexer : public ::testing::Test {
protected:
    void SetUp() override {
        runtime_init();
        lexer::init();
    }
    void TearDown() override { runtime_shutdown(); }
};

// A compact description of a value: type letters and contents, nested.
std::string describe(const Cell& v);
std::string describe_block(const Cell& b) {
    std::string out;
    for (i32 i = cell::head_index(b); i < static_cast<i32>(memory::buffer(cell::node(b))->length()); i++) {
        if (!out.empty()) out += ' ';
        out += describe(*block::rs_abs_at(b, i));
    }
    return out;
}
std::string text_of(const Cell& s) {
    SeriesBuffer* b = memory::buffer(cell::node(s));
    std::string out;
    for (u32 i = 0; i < b->length(); i++) {
        u32 cp = 0;
        std::memcpy(&cp, b->head_ptr() + i * b->unit(), b->unit());
        out += cp < 128 ? std::string(1, static_cast<char>(cp)) : "<" + std::to_string(cp) + ">";
    }
    return out;
}
std::string describe(const Cell& v) {
    std::string nl = v.header & flag::new_line ? "^" : "";
    switch (cell::type_of(v)) {
        case type::integer: return nl + "i" + std::to_string(static_cast<i32>(v.data2));
        case type::float_: return nl + "f" + float_text::form_float(cell::get_float(v), 0, true);
        case type::char_: return nl + "c" + std::to_string(v.data2);
        case type::string: return nl + "s\"" + text_of(v) + "\"";
        case type::word: return nl + "w:" + symbol::get_c_string(static_cast<i32>(v.data2));
        case type::set_word: return nl + "sw:" + symbol::get_c_string(static_cast<i32>(v.data2));
        case type::get_word: return nl + "gw:" + symbol::get_c_string(static_cast<i32>(v.data2));
        case type::lit_word: return nl + "lw:" + symbol::get_c_string(static_cast<i32>(v.data2));
        case type::refinement: return nl + "r:" + symbol::get_c_string(static_cast<i32>(v.data2));
        case type::issue: return nl + "#:" + symbol::get_c_string(static_cast<i32>(v.data2));
        case type::block: return nl + "[" + describe_block(v) + "]";
        case type::paren: return nl + "(" + describe_block(v) + ")";
        case type::path: return nl + "p(" + describe_block(v) + ")";
        case type::set_path: return nl + "sp(" + describe_block(v) + ")";
        case type::get_path: return nl + "gp(" + describe_block(v) + ")";
        case type::lit_path: return nl + "lp(" + describe_block(v) + ")";
        case type::none: return nl + "none";
        case type::logic: return nl + (v.data1 ? "true" : "false");
        case type::datatype: return nl + "dt" + std::to_string(v.data1);
        default: return nl + "?" + std::to_string(cell::type_of(v));
    }
}

std::string load(const std::string& src) {
    Cell out;
    lexer::scan(&out, reinterpret_cast<const u8*>(src.data()), static_cast<i32>(src.size()), {}, nullptr);
    return describe_block(out);
}

TEST_F(Lexer, TokensToValues) {
    struct Case {
        const char* src;
        const char* want;
    } cases[] = {
        {"1 2", "i1 i2"},
        {"1\n2", "i1 ^i2"},
        {"abc", "w:abc"},
        {"a: :b 'c /d #e", "sw:a gw:b lw:c r:d #:e"},
        {"/ // < <=", "w:/ w:// w:< w:<="},
        {"2147483647 -2147483648", "i2147483647 i-2147483648"},
        {"2147483648", "f2147483648.0"},
        {"12345678901", "f12345678901.0"},
        {"1'000'000 +5", "i1000000 i5"},
        {"1.5 1e2 1E2 .5 -0.25", "f1.5 f100.0 f100.0 f0.5 f-0.25"},
        {"FFh 1EFh ABh FFFFFFFFh AB", "i255 i495 i171 i-1 w:AB"},
        {"1.#INF -1.#inf", "f1.#INF f-1.#INF"},
        {"#\"a\" #\"^(line)\" #\"^-\" #\"^A\" #\"\xC3\xA9\"", "c97 c10 c9 c1 c233"},
        {"\"ab^/c\" \"^(tab)\" \"\"", "s\"ab\nc\" s\"\t\" s\"\""},
        {"\"^(1F600)\"", "s\"<128512>\""},
        {"{a{b}c} {x\ny}", "s\"a{b}c\" s\"x\ny\""},
        {"[1 [2 (3)]] ()", "[i1 [i2 (i3)]] ()"},
        {"a/b/1 :a/b 'a/b a/b: c", "p(w:a w:b i1) gp(w:a w:b) lp(w:a w:b) sp(w:a w:b) w:c"},
        {"a/(b)/c [x/y]", "p(w:a (w:b) w:c) [p(w:x w:y)]"},
        {"#(none) #(true) #(INTEGER!)", "none true dt11"},
        {"; comment\n1", "^i1"},
        {"\xC2\xA0word", "w:word"},
        {"\xC2\xA0", ""},
        // A line feed before no-break spaces still marks the word after them.
        {"1\n\xC2\xA0word \xC2\xA0x", "i1 ^w:word w:x"},
    };
    for (auto& c : cases) EXPECT_EQ(load(c.src), c.want) << c.src;
}

struct ErrorCase {
    const char* src;
    ErrorId id;
    u32 arg1;  // datatype number or missing char
    const char* line;
    const char* near;
};

TEST_F(Lexer, SyntaxErrorsCarryLineAndNearText) {
    ErrorCase cases[] = {
        {"[a (b]", ErrorId::syntax_missing, ')', "(line 1)", "]"},
        {"[a", ErrorId::syntax_missing, ']', "(line 1)", "[a"},
        {"1\n2\n1 $", ErrorId::syntax_invalid, type::money, "(line 3)", "$"},
        {"\"abc", ErrorId::syntax_invalid, type::string, "(line 1)", "\"abc"},
        {"\"^(110000)\"", ErrorId::syntax_invalid, type::string, "(line 1)", "^(110000)\""},
        {"#\"ab\"", ErrorId::syntax_invalid, type::char_, "(line 1)", "#\"ab\""},
        {"1''0", ErrorId::syntax_invalid, type::integer, "(line 1)", "1''0"},
        {"123456789h", ErrorId::syntax_invalid, type::integer, "(line 1)", "123456789h"},
        {"1.#FOO", ErrorId::syntax_invalid, type::float_, "(line 1)", "1.#FOO"},
        {"x\n}", ErrorId::syntax_bad_char, 0, "(line 2)", "}"},
        {"{abc", ErrorId::syntax_invalid, type::string, "(line 1)", "{abc"},
        {"#(foo)", ErrorId::syntax_malconstruct, 0, "(line 1)", "#(foo)"},
        {"1.2.256", ErrorId::syntax_invalid, type::tuple, "(line 1)", "1.2.256"},
        {"2.5x3", ErrorId::syntax_invalid, type::pair, "(line 1)", "2.5x3"},
        {"1.2e%", ErrorId::syntax_invalid, type::float_, "(line 1)", "1.2e%"},
        {"(x , y)", ErrorId::syntax_invalid, type::point2D, "(line 1)", "(x , y)"},
        {"a ,", ErrorId::syntax_invalid, type::point2D, "(line 1)", ","},
        {"#[a]", ErrorId::syntax_invalid, type::map, "(line 1)", "#[a]"},
        {"a b c d e f g h i j k l m n o p q r s t u v w x y z \xFF", ErrorId::syntax_bad_char, 0, "(line 1)", ""},
        // The near text ends at 30 bytes, but never inside a character.
        {"\"aaaaaaaaaaaaaaaaaaaaaaaaaaaa\xC3\xA9" "b", ErrorId::syntax_invalid, type::string, "(line 1)", "\"aaaaaaaaaaaaaaaaaaaaaaaaaaaa"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.src);
        pending_error = {};
        Cell* base = stack::top;
        stack::mark_try(stack::word(symbol::make("try")));
        u32 code = catch_level(throw_code::error, [&] { load(c.src); });
        if (code != throw_code::error) stack::unroll();
        stack::frame_top = stack::frame_bottom;
        stack::arguments = stack::top = base;
        ASSERT_EQ(code, throw_code::error);
        EXPECT_EQ(pending_error.id, c.id);
        if (c.id == ErrorId::syntax_missing) {
            EXPECT_EQ(pending_error.args[0].data2, c.arg1);
        }
        if (c.id == ErrorId::syntax_invalid) {
            EXPECT_EQ(pending_error.args[0].data1, c.arg1);
        }
        const Cell& line = pending_error.args[c.id == ErrorId::syntax_missing || c.id == ErrorId::syntax_invalid ? 1 : 0];
        EXPECT_EQ(text_of(line), c.line);
        const Cell& near = pending_error.args[c.id == ErrorId::syntax_missing || c.id == ErrorId::syntax_invalid ? 2 : 1];
        EXPECT_LE(text_of(near).size(), 30u);
        if (*c.near) {
            EXPECT_EQ(text_of(near), c.near);
        }
    }
}

TEST_F(Lexer, ScanOnlyAndOneValueModes) {
    auto type_of = [](const char* s, lexer::Mode m) {
        return lexer::scan(nullptr, reinterpret_cast<const u8*>(s), static_cast<i32>(std::strlen(s)), m, nullptr);
    };
    lexer::Mode scan_only{.one = true, .load = false};
    EXPECT_EQ(type_of("123 abc", scan_only), static_cast<i32>(type::integer));
    EXPECT_EQ(type_of("1.5", scan_only), static_cast<i32>(type::float_));
    EXPECT_EQ(type_of("2020-01-01", scan_only), static_cast<i32>(type::date));
    EXPECT_EQ(type_of("1 $", lexer::Mode{.load = false}), static_cast<i32>(type::error));
    EXPECT_EQ(type_of("[a", lexer::Mode{.scan = false}), static_cast<i32>(type::error));
    // The values of these types come later; their tokens are checked already.
    struct {
        const char* src;
        u32 want;
    } tokens[] = {
        {"<a> b", type::tag}, {"#{00} b", type::binary}, {"%\"a b\" c", type::file}, {"50% b", type::percent},
        {"1.2.3", type::tuple}, {"2x3", type::pair}, {"1.2.256", type::error}, {"2.5x3", type::error},
        {"1x", type::error}, {"1.2e%", type::error},
    };
    for (auto& t : tokens) EXPECT_EQ(type_of(t.src, scan_only), static_cast<i32>(t.want)) << t.src;
    // Maps and points nest without their values being made.
    EXPECT_NE(type_of("[#[a] (1, 2)]", lexer::Mode{.load = false}), static_cast<i32>(type::error));
    EXPECT_NE(type_of("[#[a] (1, 2)]", lexer::Mode{.scan = false}), static_cast<i32>(type::error));
    i32 rest = 0;
    for (const char* src : {"<a> b", "#{00} b", "%\"a b\" c", "50% b"}) {
        lexer::scan(nullptr, reinterpret_cast<const u8*>(src), static_cast<i32>(std::strlen(src)), scan_only, &rest);
        EXPECT_EQ(src[rest], ' ') << src;  // the closing character belongs to the token
    }

    Cell out;
    i32 used = 0;
    const char* src = "[1 2] 3";
    EXPECT_EQ(lexer::scan(&out, reinterpret_cast<const u8*>(src), 7, {.one = true}, &used), static_cast<i32>(type::block));
    EXPECT_EQ(describe(out), "[i1 i2]");
    EXPECT_EQ(used, 5);
}

TEST_F(Lexer, TextConversions) {
    i32 err;
    auto text = [](const char* s) { return reinterpret_cast<const u8*>(s); };
    EXPECT_EQ(lexer::scan_integer(text("-2147483648"), 1, 11, &err), std::numeric_limits<i32>::min());
    EXPECT_EQ(err, 0);
    EXPECT_EQ(lexer::scan_integer(text("2147483648"), 1, 10, &err), 0);
    EXPECT_EQ(err, -2);
    EXPECT_EQ(lexer::scan_integer(text("1'2x"), 1, 4, &err), 12);
    EXPECT_EQ(err, -1);
    EXPECT_EQ(lexer::scan_float(text("1,5"), 1, 3, &err), 1.5);
    EXPECT_EQ(err, 0);
    lexer::scan_float(text("1.2.3"), 1, 5, &err);
    EXPECT_EQ(err, -1);
}

}  // namespace
