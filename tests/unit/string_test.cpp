// String buffers: widening on every write path, concatenation across units
// with part/offset/keep and shared buffers, comparison under each compare
// code with and without case folding, molded-text escapes, hex text and the
// loaders of external text with their errors.
#include "runtime/datatypes/string.h"

#include "interpreter/stack.h"
#include "runtime/collector.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/runtime.h"
#include "runtime/system.h"
#include "runtime/unicode.h"

#include "support.h"

#include <gtest/gtest.h>

#include <climits>
#include <optional>
#include <string>
#include <vector>

using namespace oru;

namespace {

using namespace test;

// A string value holding the code points at the given unit, head index 0.
Cell make(const std::u32string& text, u32 unit = 0) {
    if (!unit)
        for (char32_t c : text) unit = std::max(unit, c < 0x100 ? 1u : c < 0x10000 ? 2u : 4u);
    Cell str;
    string::make_at_unit(str, static_cast<i32>(text.size()), unit ? unit : 1);
    SeriesBuffer* s = memory::buffer(cell::node(str));
    for (size_t i = 0; i < text.size(); i++) string::put_char(s->head_ptr() + i * s->unit(), s->unit(), text[i]);
    s->tail = s->head + static_cast<u32>(text.size()) * s->unit();
    return str;
}

Cell at(Cell str, i32 head) {
    str.data1 = static_cast<u32>(head);
    return str;
}

// The code points from the head.
std::u32string text(const Cell& str) {
    SeriesBuffer* s = memory::buffer(cell::node(str));
    std::u32string out;
    for (u32 i = static_cast<u32>(cell::head_index(str)); i < s->length(); i++)
        out.push_back(string::get_char(s->head_ptr() + i * s->unit(), s->unit()));
    return out;
}
std::u32string whole(const Cell& str) { return text(at(str, 0)); }

u32 unit_of(const Cell& str) { return memory::buffer(cell::node(str))->unit(); }


class Strings : public ::testing::Test {
protected:
    void SetUp() override { runtime_init(); }
    void TearDown() override { runtime_shutdown(); }
};

// A string made into a data-stack cell just pushed: the cell still holds
// what an earlier use left there (here a block whose node is gone) while the
// allocation collects, and the collector marks every cell up to the top. It
// must never see that leftover.
TEST_F(Strings, MadeIntoAFreshStackCellWhileCollecting) {
    const Cell leftover{type::block, 0, 0xBDBDBDBDu, 0};
    using Maker = void (*)(Cell&);
    const Maker makers[] = {[](Cell& c) { string::make_at(c, 16); }, [](Cell& c) { string::make_at_unit(c, 4, 2); }};
    for (Maker make_one : makers) {
        *stack::top = leftover;
        collector::set_stress(true);
        collector::enable(true);
        Cell* c = stack::push();
        make_one(*c);
        collector::enable(false);
        collector::set_stress(false);
        EXPECT_EQ(cell::type_of(*c), type::string);
        stack::pop(1);
    }
}

// --- Widening ---------------------------------------------------------------

// Appending widens a 1-byte buffer from 128 on, the other writes only from
// 256 on; every path keeps the text and ends at the narrowest unit it needs.
TEST_F(Strings, EveryWritePathWidensOnlyAsFarAsNeeded) {
    enum Op { append, poke, overwrite, insert };
    struct Case {
        const char* name;
        std::u32string start;
        u32 unit;
        Op op;
        i32 index;  // poke, overwrite, insert
        char32_t cp;
        u32 want_unit;
        std::u32string want;
    };
    const Case cases[] = {
        {"append ASCII keeps 1", U"abc", 1, append, 0, U'd', 1, U"abcd"},
        {"append 200 widens to 2", U"abc", 1, append, 0, 200, 2, U"abc\u00C8"},
        {"append 127 keeps 1", U"abc", 1, append, 0, 127, 1, U"abc\x7F"},
        {"append astral to 1", U"ab", 1, append, 0, 0x1F600, 4, U"ab\U0001F600"},
        {"append astral to 2", U"a\u20AC", 2, append, 0, 0x10000, 4, U"a\u20AC\U00010000"},
        {"append BMP to 4 stays", U"\U0001F600", 4, append, 0, U'x', 4, U"\U0001F600x"},
        {"poke 200 keeps 1", U"abc", 1, poke, 1, 200, 1, U"a\u00C8c"},
        {"poke 255 keeps 1", U"abc", 1, poke, 2, 255, 1, U"ab\u00FF"},
        {"poke euro widens 1->2", U"abc", 1, poke, 0, 0x20AC, 2, U"\u20ACbc"},
        {"poke astral widens 1->4", U"abc", 1, poke, 2, 0x1F600, 4, U"ab\U0001F600"},
        {"poke astral widens 2->4", U"\u20ACbc", 2, poke, 1, 0x1F600, 4, U"\u20AC\U0001F600c"},
        {"overwrite inside", U"abc", 1, overwrite, 1, 0xE9, 1, U"a\u00E9c"},
        {"overwrite at tail widens", U"abc", 1, overwrite, 3, 0x20AC, 2, U"abc\u20AC"},
        {"overwrite past tail fills 0", U"ab", 1, overwrite, 4, U'z', 1, std::u32string(U"ab") + U'\0' + U'\0' + U'z'},
        {"overwrite astral into 2", U"\u20AC", 2, overwrite, 0, 0x10400, 4, U"\U00010400"},
        {"insert at head", U"bc", 1, insert, 0, U'a', 1, U"abc"},
        {"insert middle widens 1->2", U"ac", 1, insert, 1, 0x3A9, 2, U"a\u03A9c"},
        {"insert at tail widens 2->4", U"a\u03A9", 2, insert, 2, 0x1F600, 4, U"a\u03A9\U0001F600"},
        {"insert past tail clamps", U"ab", 1, insert, 9, U'c', 1, U"abc"},
        {"insert before head clamps", U"bc", 1, insert, -3, U'a', 1, U"abc"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Cell str = make(c.start, c.unit);
        ASSERT_EQ(unit_of(str), c.unit);
        SeriesBuffer* s = memory::buffer(cell::node(str));
        switch (c.op) {
        case append: s = string::append_char(s, c.cp); break;
        case poke: s = string::poke_char(s, s->head_ptr() + c.index * s->unit(), c.cp); break;
        case overwrite: s = string::overwrite_char(s, c.index, c.cp); break;
        case insert: s = string::insert_char_at(s, c.index, c.cp); break;
        }
        EXPECT_EQ(s, memory::buffer(cell::node(str))) << "the returned buffer is the node's";
        EXPECT_EQ(unit_of(str), c.want_unit);
        EXPECT_EQ(whole(str), c.want);
    }
}

// Repeated writes through growth and every widening step keep earlier text.
TEST_F(Strings, LongRunsSurviveGrowthAndWidening) {
    Cell str;
    string::make_at(str, 0);
    std::u32string want;
    for (u32 i = 0; i < 300; i++) {
        const char32_t cp = i < 100 ? U'a' + i % 26 : i < 200 ? 0x400 + i : 0x1F300 + i;
        string::append_char(cell::node(str), cp);
        want.push_back(cp);
    }
    EXPECT_EQ(unit_of(str), 4u);
    EXPECT_EQ(whole(str), want);

    Cell ins = make(U"xy", 1);
    for (u32 i = 0; i < 200; i++) string::insert_char_at(memory::buffer(cell::node(ins)), 1, i < 150 ? U'0' + i % 10 : 0x10000 + i);
    std::u32string expect = U"x";
    for (u32 i = 200; i-- > 0;) expect.push_back(i < 150 ? U'0' + i % 10 : 0x10000 + i);
    expect.push_back(U'y');
    EXPECT_EQ(whole(ins), expect);
}

TEST_F(Strings, PokeOutsideTheDataAreaIsRefused) {
    Cell str = make(U"abc", 1);
    auto e = test::error_unrolled([&] {
        SeriesBuffer* s = memory::buffer(cell::node(str));
        string::poke_char(s, s->head_ptr() + s->size, U'x');
    });
    ASSERT_TRUE(e);
    EXPECT_EQ(*e, ErrorId::script_out_of_range);
    e = test::error_unrolled([&] { string::overwrite_char(memory::buffer(cell::node(str)), -1, U'x'); });
    ASSERT_TRUE(e);
    EXPECT_EQ(*e, ErrorId::script_out_of_range);
    e = test::error_unrolled([&] { string::rs_abs_at(str, 3); });
    ASSERT_TRUE(e);
    EXPECT_EQ(*e, ErrorId::script_out_of_range);
    EXPECT_EQ(whole(str), U"abc");
}

// --- Concatenation --------------------------------------------------------------

TEST_F(Strings, ConcatenateAcrossUnitsWithPartOffsetAndModes) {
    using string::mode::append;
    using string::mode::insert;
    using string::mode::overwrite;
    struct Case {
        const char* name;
        std::u32string target;
        u32 tunit;
        i32 thead;
        std::u32string source;
        u32 sunit;
        i32 shead;
        i32 part, offset;
        bool keep;
        i32 how;
        std::u32string want;  // the whole target buffer
        u32 want_tunit, want_sunit;
        i32 written;
    };
    const Case cases[] = {
        {"append 2 to 1", U"abc", 1, 0, U"\u03A9\u20AC", 2, 0, -1, 0, false, append, U"abc\u03A9\u20AC", 2, 2, 2},
        {"append 4 to 2", U"\u03A9", 2, 0, U"\U0001F600!", 4, 0, -1, 0, false, append, U"\u03A9\U0001F600!", 4, 4, 2},
        {"narrow source widened", U"\u03A9x", 2, 0, U"yz", 1, 0, -1, 0, false, append, U"\u03A9xyz", 2, 2, 2},
        {"narrow source kept", U"\u03A9x", 2, 0, U"y\u00E9", 1, 0, -1, 0, true, append, U"\u03A9xy\u00E9", 2, 1, 2},
        {"1 into 4 kept", U"\U0001F600", 4, 0, U"ab\u00FF", 1, 0, -1, 0, true, append, U"\U0001F600ab\u00FF", 4, 1, 3},
        {"source from its head", U"", 1, 0, U"hello", 1, 2, -1, 0, false, append, U"llo", 1, 1, 3},
        {"part cuts", U">", 1, 0, U"hello", 1, 0, 2, 0, false, append, U">he", 1, 1, 2},
        {"part 0 writes nothing", U">", 1, 0, U"hello", 1, 0, 0, 0, false, append, U">", 1, 1, 0},
        {"part beyond length", U">", 1, 0, U"hi", 1, 0, 10, 0, false, append, U">hi", 1, 1, 2},
        {"empty source", U"abc", 1, 0, U"", 2, 0, -1, 0, true, append, U"abc", 2, 2, 0},  // units first
        {"insert at head+offset", U"hello", 1, 1, U"XY", 1, 0, -1, 2, false, insert, U"helXYlo", 1, 1, 2},
        {"insert wider", U"hello", 1, 0, U"\u20AC", 2, 0, -1, 0, false, insert, U"\u20AChello", 2, 2, 1},
        {"insert kept narrower", U"\u20AC\u20AC", 2, 0, U"ab", 1, 0, -1, 1, true, insert, U"\u20ACab\u20AC", 2, 1, 2},
        {"insert offset past tail", U"ab", 1, 0, U"c", 1, 0, -1, 7, false, insert, U"abc", 1, 1, 1},
        {"overwrite inside", U"hello", 1, 0, U"ab", 1, 0, -1, 0, false, overwrite, U"abllo", 1, 1, 2},
        {"overwrite extends tail", U"hello", 1, 1, U"XYZ", 1, 0, -1, 2, false, overwrite, U"helXYZ", 1, 1, 3},
        {"overwrite wider with part", U"hello", 1, 0, U"\U0001F600\U0001F601\U0001F602", 4, 0, 2, 1, false,
         overwrite, U"h\U0001F600\U0001F601lo", 4, 4, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Cell t = at(make(c.target, c.tunit), c.thead);
        Cell s = at(make(c.source, c.sunit), c.shead);
        EXPECT_EQ(string::concatenate(t, s, c.part, c.offset, c.keep, c.how), c.written);
        EXPECT_EQ(whole(t), c.want);
        EXPECT_EQ(unit_of(t), c.want_tunit);
        EXPECT_EQ(unit_of(s), c.want_sunit);
        EXPECT_EQ(text(s), c.source.substr(static_cast<size_t>(c.shead))) << "the source text is unchanged";
    }
}

// Source and target in one buffer: the run read is the source as it was
// before the write, wherever the insertion point falls.
TEST_F(Strings, ConcatenateWithinOneBuffer) {
    using string::mode::append;
    using string::mode::insert;
    using string::mode::overwrite;
    struct Case {
        i32 thead, shead, part, offset, how;
        std::u32string want;
    };
    const Case cases[] = {
        {0, 0, -1, 0, append, U"abcdabcd"},
        {0, 0, -1, 0, insert, U"abcdabcd"},
        {0, 0, -1, 1, insert, U"aabcdbcd"},
        {0, 2, -1, 0, insert, U"cdabcd"},   // source after the insertion point
        {0, 1, 2, 2, insert, U"abbccd"},    // insertion point inside the source run
        {0, 0, 2, 4, insert, U"abcdab"},
        {0, 2, -1, 0, overwrite, U"cdcd"},
        {0, 0, -1, 2, overwrite, U"ababcd"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "shead " << c.shead << " offset " << c.offset << " how " << c.how);
        for (u32 unit : {1u, 2u, 4u}) {
            Cell t = make(U"abcd", unit);
            Cell s = at(t, c.shead);
            t = at(t, c.thead);
            string::concatenate(t, s, c.part, c.offset, false, c.how);
            EXPECT_EQ(whole(t), c.want) << "unit " << unit;
        }
    }
}

TEST_F(Strings, ConcatenateGrowsAndTakesSymbolNames) {
    Cell t = make(U"x", 1);
    Cell big = make(std::u32string(5000, U'q') + U"\u20AC", 2);
    string::concatenate(t, big, -1, 0, false, string::mode::append);
    EXPECT_EQ(whole(t), U"x" + std::u32string(5000, U'q') + U"\u20AC");

    // A symbol stands for its name, both from the symbol block and as a copy.
    i32 id = symbol::make("Gr\xC3\xBC\xC3\x9F" "e");
    Cell out = make(U"", 1);
    string::concatenate(out, *symbol::at(id), -1, 0, true, string::mode::append);
    const Cell copy = *symbol::at(id);
    string::concatenate(out, copy, -1, 0, true, string::mode::append);
    EXPECT_EQ(whole(out), U"Gr\u00FC\u00DFeGr\u00FC\u00DFe");
    EXPECT_NE(symbol::at(id)->data2, 0u) << "the block's cell caches its string";

    // A copy taken before the name string was cached finds its symbol by name.
    const i32 delta = symbol::make("delta");
    const Cell uncached = *symbol::at(delta);
    ASSERT_EQ(uncached.data2, 0u);
    Cell out2 = make(U"<", 1);
    string::concatenate(out2, uncached, -1, 0, false, string::mode::append);
    EXPECT_EQ(whole(out2), U"<delta");
    EXPECT_NE(symbol::at(delta)->data2, 0u);
}

// --- Other buffer helpers -----------------------------------------------------------

TEST_F(Strings, SmallHelpersReadFromTheHead) {
    Cell s = at(make(U"xxABCabc\u0100", 2), 2);
    EXPECT_EQ(string::rs_length_q(s), 7);
    EXPECT_EQ(string::rs_abs_length_q(s), 9);
    EXPECT_FALSE(string::rs_tail_q(s));
    EXPECT_TRUE(string::rs_tail_q(at(s, 9)));
    EXPECT_EQ(string::rs_abs_at(s, 0), U'x');
    EXPECT_EQ(string::rs_find_char(s, U'a'), 3);
    EXPECT_EQ(string::rs_find_char(s, U'x'), -1);
    // Every second character from the head: A C b \u0100.
    EXPECT_TRUE(string::find_char_skip(s, U'a', 2, false));
    EXPECT_FALSE(string::find_char_skip(s, U'a', 2, true));
    EXPECT_TRUE(string::find_char_skip(s, U'c', 2, false));
    EXPECT_FALSE(string::find_char_skip(s, U'c', 2, true));
    EXPECT_TRUE(string::find_char_skip(s, 0x101, 2, false));  // folded beyond Latin-1
    EXPECT_TRUE(string::find_char_skip(s, U'b', 0, true));    // a skip below 1 steps by 1
    EXPECT_TRUE(string::starts_with_q(s, "ABC"));
    EXPECT_FALSE(string::starts_with_q(s, "abc"));
    EXPECT_TRUE(string::starts_with_q(at(s, 6), "bc"));
    EXPECT_FALSE(string::starts_with_q(at(s, 6), "bc\xC4"));  // a character above 255 first
    EXPECT_FALSE(string::starts_with_q(at(s, 7), "cde"));     // shorter than the text
    EXPECT_TRUE(string::starts_with_q(at(s, 9), ""));

    // Truncate only shortens; remove closes the gap.
    Cell r = make(U"abcdef", 1);
    string::rs_truncate(memory::buffer(cell::node(r)), 9);
    EXPECT_EQ(whole(r), U"abcdef");
    string::rs_truncate(memory::buffer(cell::node(r)), 5);
    EXPECT_EQ(whole(r), U"abcde");
    string::remove_chars(r, 1, 2);
    EXPECT_EQ(whole(r), U"ade");
    string::remove_chars(r, 1, 50);
    EXPECT_EQ(whole(r), U"a");
    string::remove_chars(r, 1, 1);
    EXPECT_EQ(whole(r), U"a");

    // Reset empties, narrows and rewinds.
    Cell w = at(make(U"\U0001F600ab", 4), 2);
    string::rs_reset(w);
    EXPECT_EQ(unit_of(w), 1u);
    EXPECT_EQ(cell::head_index(w), 0);
    EXPECT_EQ(string::rs_length_q(w), 0);
    string::append_char(cell::node(w), U'z');
    EXPECT_EQ(whole(w), U"z");
}

TEST_F(Strings, MoveCharsBetweenAndWithinBuffers) {
    Cell src = at(make(U"ab\u20ACcd", 2), 1);
    Cell dst = at(make(U"XY", 1), 1);
    string::move_chars(src, 2 * 2, dst);  // two characters of 2 bytes
    EXPECT_EQ(whole(src), U"acd");
    EXPECT_EQ(whole(dst), U"Xb\u20ACY");
    EXPECT_EQ(unit_of(dst), 2u);

    Cell one = make(U"abcdef", 1);
    string::move_chars(at(one, 1), 2, at(one, 5));  // "bc" before "f"
    EXPECT_EQ(whole(one), U"adebcf");
    string::move_chars(at(one, 3), 2, at(one, 0));  // "bc" to the front
    EXPECT_EQ(whole(one), U"bcadef");
    string::move_chars(at(one, 0), 2, at(one, 1));  // into itself: nothing
    EXPECT_EQ(whole(one), U"bcadef");
}

TEST_F(Strings, SwapBytesExchangesRunsAroundAGap) {
    struct Case {
        std::string before;
        i32 a, gap, b;
        std::string after;
    };
    std::string big_a(300, 'A'), big_b(400, 'B');
    const Case cases[] = {
        {"AAxBBBB", 2, 1, 4, "BBBBxAA"},
        {"AAAAxxBB", 4, 2, 2, "BBxxAAAA"},
        {"AB", 1, 0, 1, "BA"},
        {"AAAB", 3, 0, 1, "BAAA"},
        {"Axyz", 1, 3, 0, "xyzA"},
        {big_a + "--" + big_b, 300, 2, 400, big_b + "--" + big_a},  // through a grown scratch
    };
    for (const Case& c : cases) {
        std::string m = c.before;
        u8* base = reinterpret_cast<u8*>(m.data());
        string::swap_bytes(base, c.a, base + c.a + c.gap, c.b, c.gap);
        EXPECT_EQ(m, c.after);
    }
    std::string m = "ABCD";
    u8* base = reinterpret_cast<u8*>(m.data());
    string::swap_bytes(base, 1, base + 3, 1, 1);  // inconsistent gap: untouched
    EXPECT_EQ(m, "ABCD");
}

// --- Comparison ------------------------------------------------------------------

TEST_F(Strings, CompareStringsUnderEveryCode) {
    struct Case {
        std::u32string a;
        u32 aunit;
        std::u32string b;
        u32 bunit;
        i32 op;
        bool prefix;
        i32 want;
    };
    const Case cases[] = {
        // equal?, not-equal? and strict-equal? on case variants
        {U"abc", 1, U"ABC", 1, 0, false, 0},
        {U"abc", 1, U"ABC", 1, 1, false, 0},
        {U"abc", 1, U"ABC", 1, 2, false, 1},
        {U"abc", 1, U"ABC", 4, 0, false, 0},  // each side read at its own unit
        {U"abc", 1, U"abd", 1, 0, false, -1},
        {U"ab", 1, U"abc", 1, 0, false, 1},    // lengths differ: unequal
        {U"abc", 1, U"ab", 1, 12, false, 1},
        {U"", 1, U"", 2, 0, false, 0},
        // non-ASCII folding
        {U"\u00C9COLE", 1, U"\u00E9cole", 1, 0, false, 0},
        {U"\u00C9COLE", 1, U"\u00E9cole", 1, 2, false, -1},
        {U"\u041F\u0420\u0418\u0412\u0415\u0422", 2, U"\u043F\u0440\u0438\u0432\u0435\u0442", 2, 0, false, 0},
        {U"\u0391\u0392\u0393", 2, U"\u03B1\u03B2\u03B3", 4, 0, false, 0},
        {U"\U00010400", 4, U"\U00010428", 4, 0, false, 0},  // Deseret, above the BMP
        {U"\U00010400", 4, U"\U00010428", 4, 2, false, -1},
        // orderings: common part, then lengths
        {U"ab", 1, U"abc", 1, 3, false, -1},
        {U"ab", 1, U"abc", 1, 4, false, -1},
        {U"abc", 1, U"ab", 1, 5, false, 1},
        {U"abc", 1, U"ab", 1, 6, false, 1},
        {U"", 1, U"a", 1, 3, false, -1},
        {U"a", 1, U"", 1, 3, false, 1},
        {U"b", 1, U"A", 1, 3, false, 1},   // folded: b > a
        {U"B", 1, U"a", 1, 7, false, 1},
        {U"B", 1, U"a", 1, 8, false, -1},  // case-sensitive sorting: B < a
        {U"ABD", 1, U"abc", 1, 5, false, 1},
        {U"\u00E0", 1, U"\u00C1", 1, 3, false, -1},  // a-grave < a-acute once folded
        // prefix comparisons
        {U"abcdef", 1, U"ABC", 1, 0, true, 0},
        {U"abcdef", 1, U"ABC", 1, 2, true, 1},
        {U"ab", 1, U"abc", 1, 0, true, 1},
        {U"abc", 1, U"", 1, 0, true, 0},
        {U"abc", 1, U"", 1, 12, true, 1},
        {U"abx", 1, U"aby", 1, 0, true, -1},
        // identity of different buffers
        {U"abc", 1, U"abc", 1, 9, false, -1},
        {U"abc", 1, U"abc", 1, 10, false, 0},
        {U"abc", 1, U"ABC", 1, 11, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << utf8(c.a) << " vs " << utf8(c.b) << " op " << c.op << (c.prefix ? " prefix" : ""));
        EXPECT_EQ(string::compare_strings(make(c.a, c.aunit), make(c.b, c.bunit), c.op, c.prefix), c.want);
    }

    // One buffer at one index is identical (op 9) and equal; at another index not identical.
    Cell s = make(U"abcabc", 1);
    EXPECT_EQ(string::compare_strings(s, s, 9, false), 0);
    EXPECT_EQ(string::compare_strings(at(s, 3), at(s, 3), 2, false), 0);
    EXPECT_EQ(string::compare_strings(at(s, 3), s, 9, false), -1);
    EXPECT_EQ(string::compare_strings(at(s, 3), s, 0, true), 1);   // "abc" has no prefix "abcabc"
    EXPECT_EQ(string::compare_strings(s, at(s, 3), 0, true), 0);   // "abcabc" starts with "abc"

    // Symbols compare by name; two different ones are not taken for the same place.
    i32 x = symbol::make("alpha"), y = symbol::make("beta");
    EXPECT_EQ(string::compare_strings(*symbol::at(x), *symbol::at(y), 0, false), 1);
    EXPECT_EQ(string::compare_strings(*symbol::at(x), make(U"ALPHA"), 0, false), 0);
}

TEST_F(Strings, EqualAgainstEachKindOfValue) {
    Cell s = make(U"<b>bold</b>", 1);
    Cell file = make(U"<B>");
    cell::set_type(file, type::file);
    Cell tag = make(U"b");
    cell::set_type(tag, type::tag);
    Cell long_tag = make(U"b>bold</b>x");
    cell::set_type(long_tag, type::tag);
    Cell upper_tag = make(U"B");
    cell::set_type(upper_tag, type::tag);
    const Cell lt = cell::make(type::char_, 0, '<'), big_b = cell::make(type::char_, 0, 'B');
    struct Case {
        Cell str, value;
        i32 op;
        bool want;
    };
    const Case cases[] = {
        {s, file, 0, true},
        {s, file, 2, false},
        {s, lt, 0, true},
        {at(s, 1), big_b, 0, true},
        {at(s, 1), big_b, 2, false},
        {at(s, 11), lt, 0, false},  // at the tail
        {s, tag, 0, true},
        {s, upper_tag, 0, true},
        {s, upper_tag, 2, false},
        {s, long_tag, 0, false},    // no room for the closing bracket
        {at(s, 7), tag, 0, false},  // "</b>": the text after "<" is "/b"
        {s, cell::integer(60), 0, false},
    };
    for (size_t i = 0; i < std::size(cases); i++)
        EXPECT_EQ(string::equal_q(cases[i].str, cases[i].value, cases[i].op), cases[i].want) << "case " << i;
}

// --- Molded text, hex -----------------------------------------------------------------

TEST_F(Strings, EscapesForMoldedText) {
    struct Case {
        char32_t cp;
        bool all;
        std::u32string want;
    };
    const Case cases[] = {
        {0x85, false, U"^(85)"}, {0x80, false, U"^(80)"},   {0x9F, false, U"^(9F)"},
        {0x1E, false, U"^(1E)"}, {0, false, U"^@"},         {1, false, U"^A"},
        {8, false, U"^H"},       {9, false, U"^-"},         {10, false, U"^/"},
        {13, false, U"^M"},      {27, false, U"^["},        {28, false, U"^\\"},
        {29, false, U"^]"},      {31, false, U"^_"},        {'"', false, U"^\""},
        {'^', false, U"^^"},     {0x7F, false, U"^~"},      {'A', false, U"A"},
        {' ', false, U" "},      {'{', false, U"{"},        {0xE9, false, U"\u00E9"},
        {0xE9, true, U"^(E9)"},  {0xA0, false, U"\u00A0"},  {0x20AC, false, U"\u20AC"},
        {0x20AC, true, U"^(20AC)"}, {0x1F600, true, U"^(1F600)"}, {'~', true, U"~"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "code point " << static_cast<u32>(c.cp) << (c.all ? " all" : ""));
        Cell buf = make(U"", 1);
        EXPECT_EQ(string::append_escaped_char(cell::node(buf), c.cp, c.all), static_cast<i32>(c.want.size()));
        EXPECT_EQ(whole(buf), c.want);
    }
}

TEST_F(Strings, QuotesLinesAndBraces) {
    Cell s = at(make(U"x\"a\nb\"\n\n"), 1);
    auto all = string::count_quotes_and_lines(s, -1);
    EXPECT_EQ(all.quotes, 2);
    EXPECT_EQ(all.lines, 3);
    auto part = string::count_quotes_and_lines(s, 3);
    EXPECT_EQ(part.quotes, 1);
    EXPECT_EQ(part.lines, 1);

    Cell b = make(U"{a{b}c}d{e{f}");
    EXPECT_TRUE(string::brace_balanced_q(b, 0, 100));
    EXPECT_TRUE(string::brace_balanced_q(b, 2, 100));
    EXPECT_FALSE(string::brace_balanced_q(b, 0, 6));  // cut before the closing brace
    EXPECT_FALSE(string::brace_balanced_q(b, 8, 100));
    EXPECT_TRUE(string::brace_balanced_q(b, 10, 100));
}

TEST_F(Strings, HexText) {
    struct Case {
        i32 value;
        bool short_form;
        const char* want;
    };
    const Case cases[] = {
        {0, true, "00"},          {0, false, "00000000"},     {0x1E, true, "1E"},
        {255, false, "000000FF"}, {255, true, "FF"},          {0xF, true, "F"},
        {0x100, true, "100"},     {0x12345678, true, "12345678"}, {-1, false, "FFFFFFFF"},
        {-1, true, "FF"},         {-2, false, "FFFFFFFE"},    {INT_MIN, false, "80000000"},
        {INT_MAX, true, "7FFFFFFF"}, {0x1F600, true, "1F600"},
    };
    for (const Case& c : cases)
        EXPECT_STREQ(string::to_hex(c.value, c.short_form), c.want) << c.value << (c.short_form ? " short" : "");
    EXPECT_STREQ(string::byte_to_hex(0xAB), "AB");
    EXPECT_STREQ(string::byte_to_hex(0x05), "05");
}

TEST_F(Strings, FloatOfText) {
    struct Case {
        const char* text;
        double want;
        bool error;
    };
    const Case cases[] = {{"1.5", 1.5, false}, {"-2,25", -2.25, false}, {"1e3", 1000.0, false}, {"7x", 7.0, true}};
    for (const Case& c : cases) {
        bool error = !c.error;
        EXPECT_EQ(string::to_float(reinterpret_cast<const u8*>(c.text), static_cast<i32>(std::strlen(c.text)), &error),
                  c.want)
            << c.text;
        EXPECT_EQ(error, c.error) << c.text;
    }
}

// --- Loading ------------------------------------------------------------------------

TEST_F(Strings, LoadEachEncoding) {
    struct Case {
        const char* name;
        std::vector<u8> bytes;
        i32 size;  // bytes for UTF-8, units for UTF-16LE
        i32 enc;
        std::u32string want;
        u32 unit;
    };
    const Case cases[] = {
        {"utf-8 latin-1", {'c', 'a', 'f', 0xC3, 0xA9}, 5, 0, U"caf\u00E9", 1},
        {"utf-8 bom", {0xEF, 0xBB, 0xBF, 'A'}, 4, 0, U"A", 1},
        {"utf-8 euro", {'a', 0xE2, 0x82, 0xAC}, 4, 0, U"a\u20AC", 2},
        {"utf-8 astral", {0xF0, 0x9F, 0x98, 0x80}, 4, 0, U"\U0001F600", 4},
        {"utf-8 empty", {}, 0, 0, U"", 1},
        {"utf-16 ascii", {'h', 0, 'i', 0}, 2, -1, U"hi", 1},
        {"utf-16 euro", {'A', 0, 0xAC, 0x20}, 2, -1, U"A\u20AC", 2},
        {"utf-16 pair", {0x3D, 0xD8, 0x00, 0xDE, '!', 0}, 3, -1, U"\U0001F600!", 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Cell* before = stack::top;
        Cell* slot = string::load(c.bytes.data(), c.size, c.enc);
        EXPECT_EQ(slot, before) << "pushed on the data stack";
        EXPECT_EQ(cell::type_of(*slot), type::string);
        EXPECT_EQ(whole(*slot), c.want);
        EXPECT_EQ(unit_of(*slot), c.unit);
        stack::pop(1);

        Cell target{};
        EXPECT_EQ(string::load_star(c.bytes.data(), c.size, &target, c.enc), &target);
        EXPECT_EQ(whole(target), c.want);
        EXPECT_EQ(stack::top, before) << "nothing pushed with a target";
    }

    // load-in appends to the block and leaves the stack as it was.
    Cell blk = cell::make(type::block, 0, memory::alloc_cells(1), 0);
    Cell* before = stack::top;
    const u8 one[] = {'o', 'n', 'e'}, two[] = {'t', 0, 'w', 0, 'o', 0};
    string::load_in(one, 3, blk, 0);
    Cell* last = string::load_in(two, 3, blk, -1);
    EXPECT_EQ(stack::top, before);
    SeriesBuffer* b = memory::buffer(cell::node(blk));
    ASSERT_EQ(b->length(), 2u);
    EXPECT_EQ(last, b->cells() + 1);
    EXPECT_EQ(whole(b->cells()[0]), U"one");
    EXPECT_EQ(whole(b->cells()[1]), U"two");
}

// An unknown encoding is an error the script can catch, not the end of the process.
TEST_F(Strings, UnsupportedEncodingRaisesAnError) {
    const u8 text[] = {'a', 'b'};
    for (i32 enc : {1, -2, 8}) {
        Cell target = cell::integer(7);
        auto e = test::error_unrolled([&] { string::load_star(text, 2, &target, enc); });
        ASSERT_TRUE(e) << enc;
        EXPECT_EQ(*e, ErrorId::script_invalid_arg);
        EXPECT_EQ(pending_error.args[0].data2, static_cast<u32>(enc));
        EXPECT_EQ(cell::type_of(target), type::integer) << "the target is left alone";
    }
    Cell blk = cell::make(type::block, 0, memory::alloc_cells(1), 0);
    auto e = test::error_unrolled([&] { string::load_in(text, 2, blk, 5); });
    ASSERT_TRUE(e);
    EXPECT_EQ(*e, ErrorId::script_invalid_arg);
    EXPECT_EQ(memory::buffer(cell::node(blk))->length(), 0u);
}

TEST_F(Strings, CheckedUtf8ReportsTheUndecodedBytes) {
    struct Case {
        const char* name;
        std::vector<u8> bytes;
        std::vector<u8> rest;  // empty: loads
        std::u32string want;
    };
    const Case cases[] = {
        {"valid", {'a', 0xC3, 0xA9, 'b'}, {}, U"a\u00E9b"},
        {"bad lead byte", {'a', 0xFF, 'b', 'c'}, {0xFF, 'b', 'c'}, U""},
        {"cut off", {'a', 0xE2, 0x82}, {0xE2, 0x82}, U""},
        {"bad continuation", {0xC3, 'x'}, {0xC3, 'x'}, U""},
        {"overlong", {'z', 0xC0, 0xAF}, {0xC0, 0xAF}, U""},
        {"surrogate", {0xED, 0xA0, 0x80, 'q'}, {0xED, 0xA0, 0x80, 'q'}, U""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (bool as_binary : {false, true}) {
            Cell result{};
            auto e = test::error_unrolled([&] {
                if (!as_binary) {
                    result = *string::load_utf8_checked(c.bytes.data(), static_cast<i32>(c.bytes.size()));
                } else {
                    // A binary! viewed from its second byte, after a 'p'.
                    Node n = memory::alloc_bytes(static_cast<i32>(c.bytes.size()) + 1);
                    u8* p = memory::reserve_bytes(n, static_cast<i32>(c.bytes.size()) + 1);
                    p[0] = 'p';
                    std::memcpy(p + 1, c.bytes.data(), c.bytes.size());
                    result = *string::load_utf8_checked(cell::make(type::binary, 1, n, 0));
                }
            });
            if (c.rest.empty()) {
                ASSERT_FALSE(e);
                EXPECT_EQ(whole(result), c.want);
                continue;
            }
            ASSERT_TRUE(e);
            EXPECT_EQ(*e, ErrorId::access_invalid_utf8);
            const Cell& bin = pending_error.args[0];
            ASSERT_EQ(cell::type_of(bin), type::binary);
            SeriesBuffer* s = memory::buffer(cell::node(bin));
            EXPECT_EQ(std::vector<u8>(s->head_ptr(), s->tail_ptr()), c.rest);
        }
    }
}

}  // namespace
