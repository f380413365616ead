// The parse engine over inputs and rules that scripts cannot make yet:
// binary! input (literal bytes, datatypes scanned from the bytes as source
// text, copies and kept bytes) and bitset! rules over strings of each unit
// width and over bytes. The engine runs on hand-made cells.
#include "boot/boot.h"
#include "interpreter/parse.h"
#include "interpreter/stack.h"
#include "runtime/collector.h"
#include "runtime/datatypes/bitset.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/memory.h"
#include "runtime/runtime.h"
#include "support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using namespace oru;

namespace {

class Parse : public ::testing::Test {
public:
    void SetUp() override {
        runtime_init();
        boot::define_base();  // the datatype words
        collector::enable(true);
    }
    void TearDown() override { runtime_shutdown(); }

    static Cell binary(const std::string& bytes) {
        const Node n = memory::alloc_bytes(static_cast<i32>(bytes.size()) + 1);
        SeriesBuffer* b = memory::buffer(n);
        std::memcpy(b->head_ptr(), bytes.data(), bytes.size());
        b->tail = b->head + static_cast<u32>(bytes.size());
        return cell::make(type::binary, 0, n, 0);
    }

    // A bitset! of `size` bytes holding the code points of `members`; with
    // `complement` every code point beyond its bits is in it too.
    static Cell bitset(const std::u32string& members, bool complement = false, i32 size = 32) {
        const Node n = memory::alloc_bytes(size);
        SeriesBuffer* b = memory::buffer(n);
        std::memset(b->head_ptr(), 0, static_cast<size_t>(size));
        b->tail = b->head + static_cast<u32>(size);
        for (char32_t c : members) b->head_ptr()[c / 8] |= static_cast<u8>(0x80u >> (c % 8));
        if (complement) b->flags |= bitset::complement_flag;
        return cell::make(type::bitset, 0, n, 0);
    }

    // Sets a global word (the value is held on the stack while the word is made).
    static void set(const char* name, const Cell& v) {
        Cell* held = stack::push(v);
        context::set_global(symbol::make(name), *held);
        stack::top = held;
    }
    static Cell get(const char* name) { return *context::global_slot(symbol::make(name)); }

    // Parses the input with the rules (source text, words bound globally).
    static Cell parse(const Cell& input, const std::string& rules, i32 comparison = 0) {
        Cell* in = stack::push(input);
        Cell* r = test::load(rules);
        context::bind(*r, context::global, false);
        const Cell result = *parse::process(*in, *r, comparison, 0, nullptr);
        stack::top = in;
        return result;
    }
    static bool matches(const Cell& input, const std::string& rules, i32 comparison = 0) {
        const Cell r = parse(input, rules, comparison);
        EXPECT_EQ(cell::type_of(r), type::logic) << rules;
        return logic::get(r);
    }

    static std::string bytes(const Cell& bin) {
        SeriesBuffer* b = memory::buffer(cell::node(bin));
        return std::string(reinterpret_cast<const char*>(b->head_ptr()) + cell::head_index(bin),
                           b->length() - static_cast<u32>(cell::head_index(bin)));
    }
};

TEST_F(Parse, BinaryLiterals) {
    const Cell* bin = stack::push(binary("ab=c"));  // held across the collections
    EXPECT_TRUE(matches(*bin, "[\"ab\" #\"=\" skip]"));
    EXPECT_TRUE(matches(*bin, "[#{6162} quote 61 #\"c\"]"));  // an integer is one byte
    EXPECT_FALSE(matches(*bin, "[\"AB\" to end]"));          // bytes compare exactly
    EXPECT_TRUE(matches(*bin, "[thru #\"=\" #\"c\"]"));
    EXPECT_TRUE(matches(*bin, "[to \"=c\" 2 skip]"));
    EXPECT_TRUE(matches(binary("\xC3\xA9!"), "[\"\xC3\xA9\" #\"!\"]"));  // a string matches as UTF-8
    EXPECT_TRUE(matches(binary("aaab"), "[some #\"a\" #\"b\"]"));
}

TEST_F(Parse, BinaryDatatypesScanSourceText) {
    EXPECT_TRUE(matches(binary("1"), "[integer!]"));
    EXPECT_TRUE(matches(binary("123 abc"), "[integer! skip word!]"));
    EXPECT_FALSE(matches(binary("abc"), "[integer!]"));
    EXPECT_TRUE(matches(binary("\"s\" 12"), "[string! skip integer!]"));
}

TEST_F(Parse, BinaryCaptures) {
    EXPECT_TRUE(matches(binary("abcd"), "[skip copy x 2 skip set y skip]"));
    EXPECT_EQ(cell::type_of(get("x")), type::binary);
    EXPECT_EQ(bytes(get("x")), "bc");
    EXPECT_EQ(cell::type_of(get("y")), type::integer);
    EXPECT_EQ(static_cast<i32>(get("y").data2), 'd');

    const Cell kept = parse(binary("abc"), "[collect [keep skip keep pick to end]]");
    ASSERT_EQ(cell::type_of(kept), type::block);
    ASSERT_EQ(block::rs_length_q(kept), 3);
    for (i32 i = 0; i < 3; i++) EXPECT_EQ(static_cast<i32>(block::rs_abs_at(kept, i)->data2), 'a' + i);

    Cell* bin = stack::push(binary("a-b"));
    EXPECT_TRUE(matches(*bin, "[skip remove #\"-\" skip]"));
    EXPECT_EQ(bytes(*bin), "ab");
}

TEST_F(Parse, BitsetRules) {
    set("lower", bitset(U"abcdefghijklmnopqrstuvwxyz"));
    set("digit", bitset(U"0123456789"));
    set("beyond", bitset(U"a", true, 16));  // 'a' and everything past its 128 bits
    Cell* narrow = stack::push();
    string::make_at(*narrow, 8);
    string::concatenate_literal(*narrow, "abc123");
    EXPECT_TRUE(matches(*narrow, "[some lower 3 digit]"));
    EXPECT_TRUE(matches(*narrow, "[to digit 3 skip]"));
    EXPECT_TRUE(matches(*narrow, "[thru #\"c\" 3 digit]"));

    // A 4-byte string: the units past the bitset's bits answer its complement flag.
    Cell* wide = stack::push(*test::load("\"a\xF0\x9F\x98\x80\xF0\x9F\x98\x80x\""));
    *wide = *block::rs_abs_at(*wide, 0);
    EXPECT_TRUE(matches(*wide, "[3 beyond #\"x\"]"));
    EXPECT_FALSE(matches(*wide, "[some lower end]"));
    EXPECT_TRUE(matches(*wide, "[skip to lower skip]"));

    EXPECT_TRUE(matches(binary("ab9"), "[some lower digit]"));
    EXPECT_TRUE(matches(binary("\xFF"), "[beyond]"));
}

}  // namespace
