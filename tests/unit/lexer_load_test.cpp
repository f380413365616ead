// Loading fast paths: string text copied straight or decoded (the width,
// escapes and bad bytes wherever they stand), words found again through the
// lexer's cache of loaded words (same symbol and binding as a first load,
// case variants, issues, long names, a cache made under an earlier start-up),
// and values kept while every allocation collects.
#include "codecs/lexer.h"
#include "interpreter/stack.h"
#include "runtime/collector.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/memory.h"
#include "runtime/runtime.h"
#include "support.h"

#include <gtest/gtest.h>

#include <string>

using namespace oru;
using oru::test::load;
using oru::test::value_at;

namespace {

class LexerLoad : public ::testing::Test {
protected:
    void SetUp() override { runtime_init(); }
    void TearDown() override { runtime_shutdown(); }
};

// A string's unit and its characters, non-ASCII ones (and controls) as <code>.
std::string text(const Cell& s) {
    SeriesBuffer* b = memory::buffer(cell::node(s));
    std::string out = std::to_string(b->unit()) + ":";
    for (u32 i = 0; i < b->length(); i++) {
        u32 cp = 0;
        std::memcpy(&cp, b->head_ptr() + i * b->unit(), b->unit());
        out += cp >= 32 && cp < 128 ? std::string(1, static_cast<char>(cp)) : "<" + std::to_string(cp) + ">";
    }
    return out;
}

TEST_F(LexerLoad, StringTextAtEveryOffset) {
    // One special piece at each offset of a 20-character ASCII text, so that
    // it falls in every position of the eight-byte blocks and the byte tail.
    struct Piece {
        const char* source;  // as written between the quotes
        const char* loaded;  // as text() shows it
        u32 unit;
    } pieces[] = {
        {"x", "x", 1},
        {"^/", "<10>", 1},
        {"^^", "^", 1},
        {"^(tab)", "<9>", 1},
        {"\xC3\xA9", "<233>", 2},          // é: its lead byte widens to two bytes
        {"\xE2\x86\x92", "<8594>", 2},     // →
        {"\xF0\x9F\x98\x80", "<128512>", 4},
        {"^(1F600)", "<128512>", 4},
        {"^(0100)", "<256>", 2},
    };
    const std::string fill = "abcdefghijklmnopqrst";
    for (const Piece& piece : pieces) {
        for (size_t at = 0; at <= fill.size(); at++) {
            std::string body = fill.substr(0, at) + piece.source + fill.substr(at);
            std::string want = std::to_string(piece.unit) + ":" + fill.substr(0, at) + piece.loaded + fill.substr(at);
            SCOPED_TRACE(body);
            stack::Mark mark;
            Cell* blk = load("\"" + body + "\" {" + body + "}");
            ASSERT_EQ(block::rs_length_q(*blk), 2);
            EXPECT_EQ(text(value_at(*blk, 0)), want);
            EXPECT_EQ(text(value_at(*blk, 1)), want);
            EXPECT_EQ(cell::type_of(value_at(*blk, 0)), type::string);
        }
    }
}

TEST_F(LexerLoad, BadTextIsAnErrorWhereverItStands) {
    // A stray continuation byte is ASCII-free but no character: the copy
    // path must not take it. Bad escapes likewise.
    const std::string fill = "abcdefghijklmnopqrst";
    for (const char* bad : {"\x80", "\xBF", "\xC3", "\xE2\x86", "^(zz)", "^(110000)"}) {
        for (size_t at = 0; at <= fill.size(); at++) {
            std::string src = "\"" + fill.substr(0, at) + bad + fill.substr(at) + "\"";
            SCOPED_TRACE(src);
            auto id = test::error_of([&] { load(src); });
            ASSERT_TRUE(id.has_value());
            EXPECT_EQ(*id, ErrorId::syntax_invalid);
        }
    }
    // In scan-only mode the same text only ends the scan with error!.
    std::string src = "\"abcdefghij\x80klm\" 1";
    EXPECT_EQ(lexer::scan(nullptr, reinterpret_cast<const u8*>(src.data()), static_cast<i32>(src.size()),
                          {.one = true, .load = false}, nullptr),
              static_cast<i32>(type::error));
}

TEST_F(LexerLoad, WordsFoundAgainBindAsAtFirst) {
    Cell* blk = load("alpha beta alpha: :alpha 'alpha /alpha #alpha Alpha ALPHA alpha beta");
    ASSERT_EQ(block::rs_length_q(*blk), 11);
    const Cell first = value_at(*blk, 0);
    const i32 sym = symbol::find("alpha");
    ASSERT_GT(sym, 0);
    EXPECT_EQ(first.data2, static_cast<u32>(sym));
    EXPECT_EQ(first.data1, context::global);
    EXPECT_EQ(context::word_at(context::global, static_cast<i32>(first.data3))->data2, static_cast<u32>(sym));
    u32 kinds[] = {type::word, type::word, type::set_word, type::get_word, type::lit_word, type::refinement,
                   type::issue, type::word, type::word, type::word, type::word};
    for (i32 i = 0; i < 11; i++) EXPECT_EQ(cell::type_of(value_at(*blk, i)), kinds[i]) << i;
    // Every kind of the same name: the same symbol and global slot (an
    // issue is not bound).
    for (i32 i : {2, 3, 4, 5, 9}) {
        EXPECT_EQ(value_at(*blk, i).data2, first.data2) << i;
        EXPECT_EQ(value_at(*blk, i).data1, first.data1) << i;
        EXPECT_EQ(value_at(*blk, i).data3, first.data3) << i;
    }
    EXPECT_EQ(value_at(*blk, 6).data2, first.data2);
    // Case variants keep their own spelling and share the slot.
    for (i32 i : {7, 8}) {
        EXPECT_NE(value_at(*blk, i).data2, first.data2) << i;
        EXPECT_EQ(symbol::canonical(static_cast<i32>(value_at(*blk, i).data2)), sym) << i;
        EXPECT_EQ(value_at(*blk, i).data3, first.data3) << i;
    }
    EXPECT_EQ(value_at(*blk, 10).data3, value_at(*blk, 1).data3);
    EXPECT_NE(value_at(*blk, 1).data3, first.data3);
}

TEST_F(LexerLoad, IssueFirstThenWordIsBound) {
    Cell* blk = load("#gamma gamma");
    EXPECT_EQ(cell::type_of(value_at(*blk, 0)), type::issue);
    const Cell w = value_at(*blk, 1);
    EXPECT_EQ(cell::type_of(w), type::word);
    EXPECT_EQ(w.data1, context::global);
    EXPECT_EQ(context::word_at(context::global, static_cast<i32>(w.data3))->data2, w.data2);
}

TEST_F(LexerLoad, LongAndNonAsciiNames) {
    const std::string long_name = "a-name-longer-than-any-cache-entry-holds";
    Cell* blk = load(long_name + " caf\xC3\xA9 " + long_name + " caf\xC3\xA9 ab\xC2\xA0" "cd");
    ASSERT_EQ(block::rs_length_q(*blk), 6);
    EXPECT_EQ(value_at(*blk, 0).data2, static_cast<u32>(symbol::find(long_name.c_str())));
    EXPECT_EQ(value_at(*blk, 0).data2, value_at(*blk, 2).data2);
    EXPECT_EQ(value_at(*blk, 0).data3, value_at(*blk, 2).data3);
    EXPECT_EQ(value_at(*blk, 1).data2, static_cast<u32>(symbol::find("caf\xC3\xA9")));
    EXPECT_EQ(value_at(*blk, 1).data3, value_at(*blk, 3).data3);
    // A no-break space ends a word.
    EXPECT_EQ(value_at(*blk, 4).data2, static_cast<u32>(symbol::find("ab")));
    EXPECT_EQ(value_at(*blk, 5).data2, static_cast<u32>(symbol::find("cd")));
    // A ":" inside a word is an error, also for names found in the cache.
    for (const char* bad : {"alpha :alpha:", ":alpha:", "alpha 'alpha:"}) {
        auto id = test::error_of([&] { load(bad); });
        EXPECT_EQ(id, std::optional<ErrorId>(ErrorId::syntax_invalid)) << bad;
    }
}

TEST_F(LexerLoad, CacheFromAnEarlierStartUpIsNotUsed) {
    load("delta epsilon");
    runtime_shutdown();
    runtime_init();
    // Other names first, so that the ids and slots differ from the first run.
    for (const char* name : {"one-new-name", "another-new-name", "epsilon"}) {
        Cell w = context::make_global_word(symbol::make(name));
        (void)w;
    }
    Cell* blk = load("delta epsilon");
    for (i32 i = 0; i < 2; i++) {
        const Cell w = value_at(*blk, i);
        const char* name = i ? "epsilon" : "delta";
        EXPECT_EQ(w.data2, static_cast<u32>(symbol::find(name))) << name;
        EXPECT_EQ(w.data1, context::global) << name;
        EXPECT_EQ(context::word_at(context::global, static_cast<i32>(w.data3))->data2, w.data2) << name;
    }
}

TEST_F(LexerLoad, ValuesKeptWhileEveryAllocationCollects) {
    std::string src;
    for (int i = 0; i < 150; i++)
        src += "[w" + std::to_string(i % 7) + " \"text " + std::to_string(i) + "\" \"caf\xC3\xA9^/\" {b} 1.5 " +
               std::to_string(i) + "] ";
    Cell* blk = stack::push(cell::make(type::none));
    EXPECT_GE(test::load_collecting(blk, src), 450u);
    ASSERT_EQ(block::rs_length_q(*blk), 150);
    for (i32 i : {0, 77, 149}) {
        SCOPED_TRACE(i);
        const Cell inner = value_at(*blk, i);
        ASSERT_EQ(block::rs_length_q(inner), 6);
        EXPECT_EQ(value_at(inner, 0).data2, static_cast<u32>(symbol::find(("w" + std::to_string(i % 7)).c_str())));
        EXPECT_EQ(text(value_at(inner, 1)), "1:text " + std::to_string(i));
        EXPECT_EQ(text(value_at(inner, 2)), "2:caf<233><10>");
        EXPECT_EQ(text(value_at(inner, 3)), "1:b");
        EXPECT_EQ(static_cast<i32>(value_at(inner, 5).data2), i);
    }
}

}  // namespace

namespace {

TEST_F(LexerLoad, AScanDefersCollectionToItsEnd) {
    // Every value a scan makes is kept, so a collection inside it would only
    // mark the scan's own values, again at every full frame. Stress mode
    // collects everywhere regardless.
    const bool was = collector::enable(true);
    const int n = collector::stress() ? 300 : 120000;  // stress() answers only while collection is on
    std::string src;
    for (int i = 0; i < n; i++) src += "[w" + std::to_string(i % 50) + " \"text\" 1.5 a/b] ";
    const u32 start = collector::cycles();
    Cell* blk = test::load(src);
    if (!collector::stress()) {
        EXPECT_EQ(collector::cycles(), start);
    }
    EXPECT_TRUE(collector::enabled_q()) << "collection is enabled again after the scan";
    EXPECT_EQ(block::rs_length_q(*blk), n);
    collector::recycle();
    EXPECT_EQ(block::rs_length_q(value_at(*blk, n - 1)), 4);
    collector::enable(was);
}

}  // namespace

namespace {

TEST_F(LexerLoad, AStressLoadOfADeepNestingCostsWorkInProportionToItsDepth) {
    // A cycle at every allocation marks all the live data each time: loading
    // a nesting N deep, whose live data grows with N, would mark some N^2 / 2
    // levels in all. Paced by a credit per allocation, the cycles do about
    // the credit's work per allocation, and a level of nesting makes one.
    constexpr u64 credit = 64 * 1024;
    const u64 was = collector::set_stress_credit(credit);
    constexpr int depth = 20000;
    const std::string src = std::string(depth, '[') + std::string(depth, ']');
    Cell* blk = stack::push();
    const u64 start = collector::work_done();
    const u32 cycles = test::load_collecting(blk, src);
    const u64 work = collector::work_done() - start;
    collector::set_stress_credit(was);
    EXPECT_GT(cycles, 100u);
    EXPECT_LE(work, 3 * credit * depth) << cycles << " cycles, " << (work >> 20) << " MiB marked";
    Cell inner = *blk;  // the nesting is whole
    for (int i = 0; i < depth; i++) {
        ASSERT_EQ(block::rs_length_q(inner), 1) << "level " << i;
        inner = value_at(inner, 0);
    }
    EXPECT_EQ(block::rs_length_q(inner), 0);
}

}  // namespace
