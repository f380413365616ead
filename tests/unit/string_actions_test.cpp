// string! actions: mold's choice of quotes or braces and its escapes, the
// form/mold /part budgets, find and select with their refinements, trim with
// each refinement, append/insert/change across units (the series into
// itself included), sort with /case /skip /compare /all /part /reverse
// /stable, comparison with letter case folded beyond ASCII, make/to,
// path access, take, swap, the set operations, and a run of them with a
// collection at every allocation.
#include "interpreter/actions.h"
#include "interpreter/stack.h"
#include "runtime/collector.h"
#include "runtime/cycles.h"
#include "runtime/datatypes/bitset.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/char.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/registry.h"
#include "runtime/runtime.h"
#include "runtime/sort.h"
#include "runtime/system.h"
#include "runtime/unicode.h"

#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

using namespace oru;

namespace {

using namespace test;

using namespace test;

constexpr i32 absent = -1;  // a refinement that is not given

// A string value holding the code points at the given unit (the narrowest
// that holds them when 0), positioned at `head`.
Cell str(const std::u32string& text, u32 unit = 0, i32 head = 0, u32 t = type::string) {
    if (!unit) {
        unit = 1;
        for (char32_t c : text) unit = std::max(unit, c < 0x100 ? 1u : c < 0x10000 ? 2u : 4u);
    }
    Cell s;
    string::make_at_unit(s, static_cast<i32>(text.size()), unit);
    SeriesBuffer* b = memory::buffer(cell::node(s));
    for (size_t i = 0; i < text.size(); i++) string::put_char(b->head_ptr() + i * unit, unit, text[i]);
    b->tail = b->head + static_cast<u32>(text.size()) * unit;
    s.header = t;
    s.data1 = static_cast<u32>(head);
    return s;
}

Cell at(Cell s, i32 head) {
    s.data1 = static_cast<u32>(head);
    return s;
}

Cell ch(char32_t c) { return cell::make(type::char_, 0, static_cast<u32>(c), 0); }
Cell w(const char* s) { return stack::word(symbol::make(s)); }

// The code points from the head, and of the whole buffer.
std::u32string text(const Cell& s) {
    SeriesBuffer* b = memory::buffer(cell::node(s));
    std::u32string out;
    for (u32 i = static_cast<u32>(std::max(cell::head_index(s), 0)); i < b->length(); i++)
        out.push_back(string::get_char(b->head_ptr() + i * b->unit(), b->unit()));
    return out;
}
std::u32string whole(const Cell& s) { return text(at(s, 0)); }
u32 unit_of(const Cell& s) { return memory::buffer(cell::node(s))->unit(); }

Cell block_of(std::initializer_list<Cell> cells) {
    Node n = memory::alloc_cells(static_cast<i32>(cells.size()) + 1);
    for (const Cell& c : cells) *memory::alloc_tail(n) = c;
    return cell::make(type::block, 0, n, 0);
}

class StringActions : public ::testing::Test {
protected:
    void SetUp() override {
        runtime_init();
        if (!registry::entry(type::string, action::form)) {
            string::init();
            registered.push_back(type::string);
        }
        if (!registry::entry(type::char_, action::form)) {
            char_::init();
            registered.push_back(type::char_);
        }
        // file! stands for the children of string!, which take every handler
        // from it, until its module registers.
        if (!registry::entry(type::file, action::form)) {
            ActionTable all_inherited;
#define ORU_INHERIT_SLOT(n, member, spelling, fn) all_inherited.member = inherit;
            ORU_ACTIONS(ORU_INHERIT_SLOT)
#undef ORU_INHERIT_SLOT
            registry::add(type::file, type::string, "file!", all_inherited);
            registered.push_back(type::file);
        }
        cycles::reset();
    }
    void TearDown() override {
        cycles::reset();
        // No row left behind for tests that skip start-up.
        for (u32 t : registered) {
            std::fill_n(registry::actions + t * registry::row_size, registry::row_size, nullptr);
            registry::datatypes[t] = {};
        }
        runtime_shutdown();
    }
    std::vector<u32> registered;

    static std::u32string mold(const Cell& v, bool all = false) {
        return text(call_action(action::mold, {v}, {absent, all ? 0 : absent, absent, absent}));
    }
    static std::u32string form(const Cell& v) { return text(call_action(action::form, {v}, {absent})); }
};

// --- Form and mold ----------------------------------------------------------

// Quotes unless the text holds three line feeds, a double quote, or is 50
// characters long; braces keep their pairs, escape the strays and keep real
// line breaks; both escape the controls, 0x1E, 0x80-0x9F and, with /all,
// everything above 0x7F.
TEST_F(StringActions, MoldChoosesQuotesOrBracesAndEscapes) {
    struct Case {
        std::u32string in;
        bool all;
        std::u32string out;
    } cases[] = {
        {U"abc", false, U"\"abc\""},
        {U"", false, U"\"\""},
        {U"a\nb\nc", false, U"\"a^/b^/c\""},
        {U"a\nb\nc\nd", false, U"{a\nb\nc\nd}"},
        {U"say \"hi\"", false, U"{say \"hi\"}"},
        {std::u32string(49, U'x'), false, U"\"" + std::u32string(49, U'x') + U"\""},
        {std::u32string(50, U'x'), false, U"{" + std::u32string(50, U'x') + U"}"},
        {U"tab\tx", false, U"\"tab^-x\""},
        {U"^", false, U"\"^^\""},
        {U"{}", false, U"\"{}\""},
        {std::u32string(1, U'\0'), false, U"\"^@\""},
        {U"\x1E\x7F", false, U"\"^(1E)^~\""},
        {U"\u0085", false, U"\"^(85)\""},
        {U"\u00E9\u20AC", false, U"\"\u00E9\u20AC\""},
        {U"\u00E9\u20AC", true, U"\"^(E9)^(20AC)\""},
        {U"\"{a}", false, U"{\"{a}}"},
        {U"\"{a", false, U"{\"^{a}"},
        {U"\"a}", false, U"{\"a^}}"},
        {U"\"{a}}{", false, U"{\"{a}^}^{}"},
        {U"\"{{}", false, U"{\"^{^{^}}"},
        {U"\"{}{", false, U"{\"{}^{}"},
        {U"\"^\t\n", false, U"{\"^^^-\n}"},
        {U"\"\u00E9", true, U"{\"^(E9)}"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(utf8(c.in));
        EXPECT_EQ(utf8(mold(str(c.in), c.all)), utf8(c.out));
    }
    // From the head; a head past a shortened tail molds as empty.
    EXPECT_EQ(utf8(mold(str(U"abc", 0, 1))), "\"bc\"");
    EXPECT_EQ(utf8(mold(str(U"abc", 0, 7))), "\"\"");
}

TEST_F(StringActions, FormAndMoldBudgets) {
    Cell s = str(U"abcdef");
    EXPECT_EQ(utf8(form(str(U"a\"b\n", 0, 1))), "\"b\n");
    EXPECT_EQ(utf8(text(call_action(action::form, {s, cell::integer(3)}, {1}))), "abc");
    EXPECT_EQ(utf8(text(call_action(action::form, {s, cell::integer(0)}, {1}))), "");
    EXPECT_EQ(utf8(text(call_action(action::mold, {s, cell::integer(4)}, {absent, absent, absent, 1}))), "\"abc");

    // The handlers' answers: the budget less the length (form), less the
    // molded range and its two delimiters (mold).
    Cell* buffer = stack::push();
    string::make_at(*buffer, 16);
    Cell part = cell::integer(3);
    EXPECT_EQ(actions::form(stack::push(s), buffer, &part, 3), -3);
    EXPECT_EQ(utf8(text(*buffer)), "abc") << "only the budget's worth is written";
    string::make_at(*buffer, 16);
    EXPECT_EQ(actions::mold(stack::push(s), buffer, false, false, false, &part, 3, 0), -2);
    EXPECT_EQ(utf8(text(*buffer)), "\"abc\"");
    string::make_at(*buffer, 16);
    EXPECT_EQ(actions::mold(stack::push(s), buffer, false, false, false, nullptr, 100, 0), 92);

    // The brace rule looks at the whole length, the line feeds only at the range.
    Cell long_text = str(std::u32string(60, U'x'));
    EXPECT_EQ(utf8(text(call_action(action::mold, {long_text, cell::integer(4)}, {absent, absent, absent, 1}))), "{xxx");
    Cell lines = str(U"a\nb\nc\nd");
    EXPECT_EQ(utf8(text(call_action(action::mold, {lines, cell::integer(4)}, {absent, absent, absent, 1}))), "\"a^/");
    EXPECT_EQ(utf8(text(call_action(action::mold, {lines, cell::integer(6)}, {absent, absent, absent, 1}))), "{a\nb\nc");

    // Inside a block the string takes what the budget leaves it.
    Cell blk = block_of({str(U"abcdef"), str(U"xyz")});
    EXPECT_EQ(utf8(text(call_action(action::mold, {blk, cell::integer(6)}, {absent, absent, absent, 1}))), "[\"abcd");
    EXPECT_EQ(utf8(text(call_action(action::form, {blk, cell::integer(8)}, {1}))), "abcdef x");
}

// --- Searching --------------------------------------------------------------

TEST_F(StringActions, FindWithRefinements) {
    struct Refs {
        std::optional<Cell> part{};
        bool case_ = false, same = false;
        std::optional<i32> skip{};
        bool last = false, reverse = false, tail = false, match = false;
    };
    struct Case {
        const char* name;
        Cell series;
        Cell value;
        Refs r;
        i32 expected;  // head index of the result, -1 for none
    };
    Cell abcabc = str(U"abcabc");
    Cell abcd = str(U"abcd");
    const Case cases[] = {
        {"char folds", str(U"aBcabc"), ch('b'), {}, 1},
        {"char /case", str(U"aBcabc"), ch('b'), {.case_ = true}, 4},
        {"char /same", str(U"aA"), ch('A'), {.same = true}, 1},
        {"run folds", abcabc, str(U"BC"), {}, 1},
        {"run /case", abcabc, str(U"BC"), {.case_ = true}, -1},
        {"run /last", abcabc, str(U"bc"), {.last = true}, 4},
        {"/reverse from the tail", at(abcabc, 6), str(U"bc"), {.reverse = true}, 4},
        {"/reverse before the head", at(abcabc, 4), ch('a'), {.reverse = true}, 3},
        {"/reverse run from the character before the head", at(abcabc, 4), str(U"ab"), {.reverse = true}, 3},
        {"/reverse run cut by the tail", at(abcabc, 6), str(U"ca"), {.reverse = true}, 2},
        {"/reverse at the head", abcabc, str(U"bc"), {.reverse = true}, -1},
        {"/tail after a run", abcabc, str(U"bc"), {.tail = true}, 3},
        {"/tail after a char", abcabc, ch('c'), {.tail = true}, 3},
        {"/match", abcabc, str(U"ab"), {.match = true}, 0},
        {"/match /tail", abcabc, str(U"ab"), {.tail = true, .match = true}, 2},
        {"/match elsewhere", abcabc, str(U"bc"), {.match = true}, -1},
        {"/match /reverse", at(abcabc, 2), str(U"ab"), {.reverse = true, .match = true}, -1},
        {"/part too short", abcd, ch('c'), {.part = cell::integer(2)}, -1},
        {"/part reaches", abcd, ch('c'), {.part = cell::integer(3)}, 2},
        {"/part 0", abcd, ch('a'), {.part = cell::integer(0)}, -1},
        {"/part position", abcd, ch('c'), {.part = at(abcd, 3)}, 2},
        {"/part position short", abcd, ch('c'), {.part = at(abcd, 2)}, -1},
        {"/part run across the end", abcd, str(U"cd"), {.part = cell::integer(3)}, -1},
        {"/skip", abcabc, ch('b'), {.skip = 2}, 4},
        {"/skip misses", abcabc, ch('c'), {.skip = 3}, -1},
        {"/last /part", abcabc, ch('a'), {.part = cell::integer(4), .last = true}, 3},
        {"/reverse /part short", at(abcabc, 6), ch('a'), {.part = cell::integer(2), .reverse = true}, -1},
        {"/reverse /part", at(abcabc, 6), ch('a'), {.part = cell::integer(3), .reverse = true}, 3},
        {"/reverse /part position", at(abcabc, 6), ch('a'), {.part = at(abcabc, 3), .reverse = true}, 3},
        {"integer formed", str(U"a12b"), cell::integer(12), {}, 1},
        {"word spelling", abcd, w("CD"), {}, 2},
        {"Latin-1 folds", str(U"x\u00C9y"), str(U"\u00E9"), {}, 1},
        {"Latin-1 /case", str(U"x\u00C9y"), str(U"\u00E9"), {.case_ = true}, -1},
        {"Greek folds across units", str(U"\u0391\u0392\u0393"), str(U"\u03B2\u03B3"), {}, 1},
        {"astral folds", str(U"x\U00010400"), ch(0x10428), {}, 1},
        {"empty run", abcd, str(U""), {}, -1},
        {"at the tail", at(abcd, 4), ch('a'), {}, -1},
        {"from the head", at(abcabc, 2), ch('a'), {}, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Cell part = c.r.part.value_or(none::value), skip = cell::integer(c.r.skip.value_or(1));
        Cell* r = actions::find(stack::push(c.series), stack::push(c.value), c.r.part ? &part : nullptr, false,
                                c.r.case_, c.r.same, false, nullptr, c.r.skip ? &skip : nullptr, c.r.last,
                                c.r.reverse, c.r.tail, c.r.match);
        if (c.expected < 0) {
            EXPECT_EQ(cell::type_of(*r), type::none);
        } else {
            ASSERT_EQ(cell::type_of(*r), type::string);
            EXPECT_EQ(cell::node(*r), cell::node(c.series));
            EXPECT_EQ(cell::head_index(*r), c.expected);
        }
    }

    Cell skip0 = cell::integer(0), other = str(U"abcd");
    EXPECT_EQ(test::error_unrolled([&] {
                  actions::find(stack::push(abcd), stack::push(ch('a')), nullptr, false, false, false, true, nullptr,
                                nullptr, false, false, false, false);
              }),
              ErrorId::internal_not_done)
        << "/any";
    EXPECT_EQ(test::error_unrolled([&] {
                  actions::find(stack::push(abcd), stack::push(ch('a')), nullptr, false, false, false, false, &skip0,
                                nullptr, false, false, false, false);
              }),
              ErrorId::internal_not_done) << "/with";
    EXPECT_EQ(test::error_unrolled([&] {
                  actions::find(stack::push(abcd), stack::push(ch('a')), nullptr, false, false, false, false, nullptr,
                                &skip0, false, false, false, false);
              }),
              ErrorId::script_out_of_range);
    EXPECT_EQ(test::error_unrolled([&] {
                  actions::find(stack::push(abcd), stack::push(ch('a')), &other, false, false, false, false, nullptr,
                                nullptr, false, false, false, false);
              }),
              ErrorId::script_invalid_refine_arg);
}

// A bitset matches any character whose bit is set; beyond its bits the
// complement flag answers.
TEST_F(StringActions, FindCharacterOfBitset) {
    Node bits = memory::alloc_bytes(16);
    u8* p = memory::reserve_bytes(bits, 16);  // 128 bits: ASCII
    std::memset(p, 0, 16);
    p['c' / 8] |= static_cast<u8>(0x80 >> ('c' % 8));
    Cell set = cell::make(type::bitset, 0, bits, 0);
    Cell s = str(U"ab\u00E9c");
    Cell* r = actions::find(stack::push(s), stack::push(set), nullptr, false, false, false, false, nullptr, nullptr,
                            false, false, false, false);
    EXPECT_EQ(cell::head_index(*r), 3);
    memory::buffer(bits)->flags |= bitset::complement_flag;  // complemented: the numbers past the bits are in it
    r = actions::find(stack::push(s), stack::push(set), nullptr, false, false, false, false, nullptr, nullptr, false,
                      false, false, false);
    EXPECT_EQ(cell::head_index(*r), 2) << "é lies beyond the 128 bits";
}

TEST_F(StringActions, SelectGivesTheCharacterAfterTheMatch) {
    struct Case {
        const char* name;
        Cell series, value;
        bool last;
        i32 expected;  // code point, -1 for none
    } cases[] = {
        {"char", str(U"abc"), ch('a'), false, 'b'},
        {"run", str(U"abc"), str(U"AB"), false, 'c'},
        {"at the end", str(U"abc"), ch('c'), false, -1},
        {"run to the end", str(U"abc"), str(U"bc"), false, -1},
        {"formed value skips its whole text", str(U"a12b"), cell::integer(12), false, 'b'},
        {"word", str(U"key=v"), w("key"), false, '='},
        {"/last", str(U"axay"), ch('a'), true, 'y'},
        {"absent", str(U"abc"), ch('z'), false, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Cell* r = actions::select(stack::push(c.series), stack::push(c.value), nullptr, false, false, false, false,
                                  nullptr, nullptr, c.last, false);
        if (c.expected < 0) {
            EXPECT_EQ(cell::type_of(*r), type::none);
        } else {
            ASSERT_EQ(cell::type_of(*r), type::char_);
            EXPECT_EQ(r->data2, static_cast<u32>(c.expected));
        }
    }
}

// --- Trim -------------------------------------------------------------------

TEST_F(StringActions, TrimRefinements) {
    enum { none_ = 0, head = 1, tail = 2, lines = 4, all = 8 };
    struct Case {
        std::u32string in;
        i32 pos;
        int flags;
        std::optional<Cell> with;
        std::u32string out;  // the whole buffer
    } cases[] = {
        {U"  a  b  ", 0, none_, {}, U"a  b"},
        {U"  a \n  b  \n", 0, none_, {}, U"a\nb\n"},
        {U"a\n", 0, none_, {}, U"a\n"},
        {U"\n\na\n\n", 0, none_, {}, U"a\n"},
        {U"a  \n\n   \n b", 0, none_, {}, U"a\n\n\nb"},
        {U"\u3000a\u00A0", 0, none_, {}, U"a"},
        {U"xx  a  ", 2, none_, {}, U"xxa"},
        {U"  a  ", 0, head, {}, U"a  "},
        {U"  a  ", 0, tail, {}, U"  a"},
        {U"a\n", 0, tail, {}, U"a"},
        {U"  a \n ", 0, head | tail, {}, U"a"},
        {U"  a   b  ", 0, lines, {}, U"a b"},
        {U"\ta\n\nb ", 0, lines, {}, U"a b"},
        {U"a\u3000\u2000b", 0, lines, {}, U"a b"},
        {U" a b\tc\r\n", 0, all, {}, U"abc"},
        {U"\u00A0a b", 0, all, {}, U"\u00A0ab"},
        {U"abcabc", 0, none_, str(U"b"), U"acac"},
        {U"abcabc", 0, none_, ch('a'), U"bcbc"},
        {U"abcabc", 0, none_, cell::integer('c'), U"abab"},
        {U"abcabc", 3, none_, str(U"ac"), U"abcb"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(utf8(c.in));
        Cell s = str(c.in, 0, c.pos);
        Cell with = c.with.value_or(none::value);
        Cell* slot = stack::push(s);
        actions::trim(slot, c.flags & head, c.flags & tail, false, c.flags & lines, c.flags & all,
                      c.with ? &with : nullptr);
        EXPECT_EQ(utf8(whole(s)), utf8(c.out));
        EXPECT_EQ(cell::head_index(*slot), c.pos);
    }
    // The set may be the series itself.
    Cell s = str(U"abc");
    actions::trim(stack::push(s), false, false, false, false, false, &s);
    EXPECT_EQ(whole(s), U"");

    EXPECT_EQ(test::error_unrolled([&] { actions::trim(stack::push(str(U" a")), false, false, true, false, false, nullptr); }),
              ErrorId::internal_not_done);
    Cell bad = block_of({});
    EXPECT_EQ(test::error_unrolled([&] { actions::trim(stack::push(str(U" a")), false, false, false, false, false, &bad); }),
              ErrorId::script_invalid_arg);
}

// --- Append, insert, change -------------------------------------------------

TEST_F(StringActions, AppendInsertChangeAcrossUnits) {
    enum Op { append, insert, change };
    struct Case {
        const char* name;
        Op op;
        Cell series;
        Cell value;
        i32 part;  // -1: none
        i32 dup;
        std::u32string out;
        u32 unit;
        i32 head;  // of the result
    };
    Cell tag = str(U"b", 0, 0, type::tag);
    const Case cases[] = {
        {"append wider", append, str(U"abc"), str(U"\u20AC"), -1, 1, U"abc\u20AC", 2, 0},
        {"append narrower", append, str(U"ab\u20AC"), str(U"cd"), -1, 1, U"ab\u20ACcd", 2, 0},
        {"append Latin-1 char widens", append, str(U"ab"), ch(0xE9), -1, 1, U"ab\u00E9", 2, 0},
        {"append ASCII char keeps", append, str(U"ab"), ch('c'), -1, 1, U"abc", 1, 0},
        {"append astral char", append, str(U"ab"), ch(0x1F600), -1, 1, U"ab\U0001F600", 4, 0},
        {"append astral text to 2", append, str(U"\u20AC"), str(U"\U0001F600x"), -1, 1, U"\u20AC\U0001F600x", 4, 0},
        {"append 4 to 4 narrower", append, str(U"\U0001F600"), str(U"\u00E9"), -1, 1, U"\U0001F600\u00E9", 4, 0},
        {"append from a later head", append, str(U"abc", 0, 2), str(U"d"), -1, 1, U"abcd", 1, 0},
        {"append tag", append, str(U"x"), tag, -1, 1, U"x<b>", 1, 0},
        {"append/part tag counts brackets", append, str(U"x"), tag, 2, 1, U"x<b", 1, 0},
        {"append/part", append, str(U"abc"), str(U"defg"), 2, 1, U"abcde", 1, 0},
        {"append/dup", append, str(U"a"), str(U"xy"), -1, 3, U"axyxyxy", 1, 0},
        {"append integer", append, str(U"x"), cell::integer(42), -1, 1, U"x42", 1, 0},
        {"append block joins", append, str(U"x"), block_of({w("a"), cell::integer(1), str(U"b"), ch('c')}), -1, 1,
         U"xa1bc", 1, 0},
        {"append/part block counts elements", append, str(U"x"), block_of({w("ab"), cell::integer(12), str(U"c")}), 2,
         1, U"xab12", 1, 0},
        {"append/dup block", append, str(U""), block_of({w("a"), cell::integer(1)}), -1, 2, U"a1a1", 1, 0},
        {"insert wider", insert, str(U"bc"), str(U"a\u20AC"), -1, 1, U"a\u20ACbc", 2, 2},
        {"insert/dup", insert, str(U"ab", 0, 1), str(U"x"), -1, 3, U"axxxb", 1, 4},
        {"insert at the tail", insert, str(U"ab", 0, 2), str(U"c"), -1, 1, U"abc", 1, 3},
        {"insert past the tail", insert, str(U"ab", 0, 9), str(U"c"), -1, 1, U"abc", 1, 3},
        {"insert astral", insert, str(U"ab", 0, 1), ch(0x10400), -1, 1, U"a\U00010400b", 4, 2},
        {"insert/part", insert, str(U"ab", 0, 1), str(U"xyz"), 2, 1, U"axyb", 1, 3},
        {"insert integer", insert, str(U"ab", 0, 1), cell::integer(-7), -1, 1, U"a-7b", 1, 3},
        {"change", change, str(U"abcdef", 0, 1), str(U"XY"), -1, 1, U"aXYdef", 1, 3},
        {"change/part", change, str(U"abcdef", 0, 1), str(U"XY"), 4, 1, U"aXYf", 1, 3},
        {"change/part 0 inserts", change, str(U"abc", 0, 1), str(U"X"), 0, 1, U"aXbc", 1, 2},
        {"change longer than what is left", change, str(U"abc", 0, 1), str(U"WXYZ"), -1, 1, U"aWXYZ", 1, 5},
        {"change/dup", change, str(U"abcdef"), str(U"x"), -1, 3, U"xxxdef", 1, 3},
        {"change/part/dup", change, str(U"abcdef"), str(U"x"), 1, 3, U"xxxbcdef", 1, 3},
        {"change at the tail appends", change, str(U"abc", 0, 3), str(U"de"), 1, 1, U"abcde", 1, 5},
        {"change widens", change, str(U"abc", 0, 1), ch(0x20AC), -1, 1, U"a\u20ACc", 2, 2},
        {"change never narrows", change, str(U"a\u20ACc", 0, 1), str(U"b"), -1, 1, U"abc", 2, 2},
        {"change formed", change, str(U"abcd", 0, 1), cell::integer(42), -1, 1, U"a42d", 1, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Cell* s = stack::push(c.series);
        Cell* v = stack::push(c.value);
        Cell part = cell::integer(c.part);
        switch (c.op) {
            case append: actions::append(s, v, c.part, false, c.dup); break;
            case insert: actions::insert(s, v, c.part, false, c.dup); break;
            case change: actions::change(s, v, c.part >= 0 ? &part : nullptr, false, c.dup); break;
        }
        EXPECT_EQ(utf8(whole(*s)), utf8(c.out));
        EXPECT_EQ(unit_of(*s), c.unit);
        EXPECT_EQ(cell::head_index(*s), c.head);
        EXPECT_EQ(cell::type_of(*s), type::string);
    }
}

// The series written into itself reads the text as it was before the write.
TEST_F(StringActions, WritingASeriesIntoItself) {
    Cell s = str(U"ab");
    actions::append(stack::push(s), stack::push(s), -1, false, 2);
    EXPECT_EQ(whole(s), U"ababab");

    s = str(U"abc");
    Cell* pos = stack::push(at(s, 2));
    actions::insert(pos, stack::push(s), -1, false, 1);
    EXPECT_EQ(whole(s), U"ababcc");
    EXPECT_EQ(cell::head_index(*pos), 5);

    s = str(U"abcd");
    Cell* head = stack::push(s);
    actions::change(head, stack::push(at(s, 2)), nullptr, false, 1);
    EXPECT_EQ(whole(s), U"cdcd");
    EXPECT_EQ(cell::head_index(*head), 2);

    // Appending a wide text to itself while it grows past its first buffer.
    s = str(U"\u20AC" + std::u32string(40, U'x'));
    actions::append(stack::push(s), stack::push(at(s, 40)), -1, false, 3);
    EXPECT_EQ(whole(s), U"\u20AC" + std::u32string(40, U'x') + U"xxx");

    // Through the stack entry: /dup 0 changes nothing.
    s = str(U"ab");
    call_action(action::append, {s, str(U"c"), cell::integer(0)}, {absent, absent, 2});
    EXPECT_EQ(whole(s), U"ab");
}

// --- Sort -------------------------------------------------------------------

TEST_F(StringActions, SortRefinements) {
    enum { plain = 0, case_ = 1, all = 2, reverse = 4, stable = 8 };
    struct Case {
        const char* name;
        Cell series;
        int flags;
        std::optional<i32> skip, compare;
        std::optional<Cell> part;
        std::u32string out;  // whole buffer
        i32 head;
    };
    Cell dcba = str(U"dcba");
    const Case cases[] = {
        {"folds", str(U"dcBa"), plain, {}, {}, {}, U"aBcd", 0},
        {"/case", str(U"dcBa"), case_, {}, {}, {}, U"Bacd", 0},
        {"/reverse", str(U"abCd"), reverse, {}, {}, {}, U"dCba", 0},
        {"/skip by first", str(U"c1a2b3"), plain, 2, {}, {}, U"a2b3c1", 0},
        {"/skip /compare column", str(U"c1a3b2"), plain, 2, 2, {}, U"c1b2a3", 0},
        {"/skip /all", str(U"b2a9a1"), all, 2, {}, {}, U"a1a9b2", 0},
        {"/skip /reverse", str(U"a1c2b3"), reverse, 2, {}, {}, U"c2b3a1", 0},
        {"/part", str(U"dcba"), plain, {}, {}, cell::integer(2), U"cdba", 0},
        {"/part position", dcba, plain, {}, {}, at(dcba, 2), U"cdba", 0},
        {"/part longer than the rest", str(U"zdcba", 0, 2), plain, {}, {}, cell::integer(9), U"zdabc", 2},
        {"/part negative", str(U"dcba", 0, 2), plain, {}, {}, cell::integer(-2), U"cdba", 0},
        {"/part negative past the start", str(U"dcba", 0, 1), plain, {}, {}, cell::integer(-3), U"dcba", 0},
        {"from the head", str(U"zcab", 0, 1), plain, {}, {}, {}, U"zabc", 1},
        {"/stable keeps case twins in order", str(U"bAaB"), stable, {}, {}, {}, U"AabB", 0},
        {"Latin-1 folds in a 1-byte buffer", str(U"\u00E9\u00C9aE", 1), stable, {}, {}, {}, U"aE\u00E9\u00C9", 0},
        {"Latin-1 folds in a 2-byte buffer", str(U"\u00E9\u00C9aE", 2), stable, {}, {}, {}, U"aE\u00E9\u00C9", 0},
        {"Greek folds", str(U"\u03B3\u0391\u03B2"), plain, {}, {}, {}, U"\u0391\u03B2\u03B3", 0},
        {"/stable /case records", str(U"b1a2b0"), stable | case_, 2, {}, {}, U"a2b1b0", 0},
        {"/stable /reverse", str(U"aAbB"), stable | reverse, {}, {}, {}, U"bBaA", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Cell* s = stack::push(c.series);
        Cell skip = cell::integer(c.skip.value_or(1)), compare = cell::integer(c.compare.value_or(1));
        Cell part = c.part.value_or(none::value);
        Cell* r = actions::sort(s, c.flags & case_, c.skip ? &skip : nullptr, c.compare ? &compare : nullptr,
                                c.part ? &part : nullptr, c.flags & all, c.flags & reverse, c.flags & stable);
        EXPECT_EQ(utf8(whole(*r)), utf8(c.out));
        EXPECT_EQ(cell::head_index(*r), c.head);
    }

    struct Bad {
        const char* name;
        bool all;
        std::optional<Cell> skip, compare;
        ErrorId id;
    } bad[] = {
        {"/all without /skip", true, {}, {}, ErrorId::script_bad_refines},
        {"/skip not dividing", false, cell::integer(3), {}, ErrorId::script_invalid_refine_arg},
        {"/skip 0", false, cell::integer(0), {}, ErrorId::script_invalid_refine_arg},
        {"/skip too large", false, cell::integer(8), {}, ErrorId::script_invalid_refine_arg},
        {"/compare column past the record", false, cell::integer(2), cell::integer(3), ErrorId::script_out_of_range},
        {"/compare column without /skip", false, {}, cell::integer(1), ErrorId::script_bad_refines},
        {"/compare column with /all", true, cell::integer(2), cell::integer(1), ErrorId::script_bad_refines},
        {"/compare string", false, {}, str(U"x"), ErrorId::script_invalid_refine_arg},
    };
    for (const Bad& b : bad) {
        SCOPED_TRACE(b.name);
        Cell s = str(U"dcba");
        Cell skip = b.skip.value_or(none::value), compare = b.compare.value_or(none::value);
        EXPECT_EQ(test::error_unrolled([&] {
                      actions::sort(stack::push(s), false, b.skip ? &skip : nullptr, b.compare ? &compare : nullptr,
                                    nullptr, b.all, false, false);
                  }),
                  b.id);
        EXPECT_EQ(whole(s), U"dcba") << "nothing moves before the checks pass";
    }
}

// A comparator function's answer orders string records as it orders block
// records: an integer answer by its own sign, as block sorting takes it.
TEST_F(StringActions, ComparatorAnswers) {
    struct Case {
        Cell answer;
        i32 order;
    } cases[] = {
        {logic::make(true), 1},   {logic::make(false), -1}, {cell::integer(5), 5},   {cell::integer(-3), -3},
        {cell::integer(0), 0},    {cell::float_(0.5), 1},   {cell::float_(-2.0), -1}, {cell::float_(0.0), 0},
        {none::value, -1},        {str(U"x"), 1},
    };
    for (const Case& c : cases) EXPECT_EQ(sort::answer_order(c.answer), c.order);
}

// --- Compare ----------------------------------------------------------------

TEST_F(StringActions, CompareFoldsBeyondAscii) {
    struct Case {
        const char* name;
        Cell a, b;
        i32 op, expected;
    } cases[] = {
        {"Latin-1 equal", str(U"\u00C9COLE"), str(U"\u00E9cole"), 0, 0},
        {"Latin-1 strict", str(U"\u00C9COLE"), str(U"\u00E9cole"), 2, -1},
        {"across units", str(U"\u00C4\u00D6\u00DC", 2), str(U"\u00E4\u00F6\u00FC", 1), 0, 0},
        {"Greek", str(U"\u0391\u0392\u0393"), str(U"\u03B1\u03B2\u03B3"), 0, 0},
        {"Cyrillic ordering folds", str(U"\u042F"), str(U"\u0430"), 3, 1},
        {"Cyrillic ordering /case", str(U"\u042F"), str(U"\u0430"), 8, -1},
        {"astral", str(U"\U00010400"), str(U"\U00010428"), 0, 0},
        {"astral strict", str(U"\U00010400"), str(U"\U00010428"), 2, -1},
        {"lesser", str(U"abc"), str(U"abd"), 3, -1},
        {"prefix is lesser", str(U"ab"), str(U"abc"), 3, -1},
        {"string against file", str(U"a"), str(U"A", 0, 0, type::file), 0, 0},
        {"string against file, not-equal", str(U"a"), str(U"b", 0, 0, type::file), 1, -1},
        {"string against file, ordering", str(U"a"), str(U"a", 0, 0, type::file), 3, -2},
        {"string against file, strict", str(U"a"), str(U"a", 0, 0, type::file), 2, -2},
        {"string against integer", str(U"1"), cell::integer(1), 0, -2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Cell* a = stack::push(c.a);
        Cell* b = stack::push(c.b);
        EXPECT_EQ(actions::compare_raw(a, b, c.op), c.expected);
    }
    EXPECT_EQ(test::error_unrolled([&] { actions::compare(stack::push(str(U"a")), stack::push(str(U"a", 0, 0, type::file)), 3); }),
              ErrorId::script_invalid_compare);
}

// --- Make, to, path access, take, swap -------------------------------------

TEST_F(StringActions, MakeAndTo) {
    Cell r = call_action(action::make, {datatype::make(type::string), cell::integer(10)});
    EXPECT_EQ(cell::type_of(r), type::string);
    EXPECT_EQ(whole(r), U"");
    EXPECT_GE(memory::buffer(cell::node(r))->size, 10);
    r = call_action(action::make, {datatype::make(type::file), cell::float_(3.7)});
    EXPECT_EQ(cell::type_of(r), type::file);
    EXPECT_EQ(test::error_unrolled([] { call_action(action::make, {datatype::make(type::string), cell::integer(-1)}); }),
              ErrorId::script_out_of_range);

    const Cell ref = cell::make(type::refinement, 0, static_cast<u32>(symbol::make("r")), ~0u);
    struct Case {
        const char* name;
        u32 slot, t;
        Cell spec;
        std::u32string out;
    } cases[] = {
        {"block joins formed values", action::to, type::string, block_of({w("a"), cell::integer(1), str(U"b c")}),
         U"a1b c"},
        {"string copies", action::to, type::string, str(U"abc", 0, 1), U"bc"},
        {"file from string", action::to, type::file, str(U"x\u20AC"), U"x\u20AC"},
        {"word", action::to, type::string, w("abc"), U"abc"},
        {"refinement to string drops the slash", action::to, type::string, ref, U"r"},
        {"refinement to file keeps it", action::to, type::file, ref, U"/r"},
        {"integer", action::to, type::string, cell::integer(-12), U"-12"},
        {"char", action::to, type::string, ch(0xE9), U"\u00E9"},
        {"make of a string copies", action::make, type::string, str(U"q"), U"q"},
        {"make of a block joins", action::make, type::file, block_of({w("a"), str(U"b")}), U"ab"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Cell out = call_action(c.slot, {datatype::make(c.t), c.spec});
        EXPECT_EQ(cell::type_of(out), c.t);
        EXPECT_EQ(cell::head_index(out), 0);
        EXPECT_EQ(utf8(whole(out)), utf8(c.out));
        if (series::string_like_q(cell::type_of(c.spec))) {
            EXPECT_NE(cell::node(out), cell::node(c.spec)) << "a copy";
        }
    }
    // binary! holds UTF-8.
    Node bytes = memory::alloc_bytes(8);
    std::memcpy(memory::reserve_bytes(bytes, 3), "a\xC3\xA9", 3);
    r = call_action(action::to, {datatype::make(type::string), cell::make(type::binary, 0, bytes, 0)});
    EXPECT_EQ(whole(r), U"a\u00E9");
    std::memcpy(memory::reserve_bytes(bytes, 1), "\xFF", 1);
    const Cell bad = cell::make(type::binary, 0, bytes, 0);
    EXPECT_EQ(test::error_unrolled([&] { call_action(action::to, {datatype::make(type::string), bad}); }), ErrorId::access_invalid_utf8);

    EXPECT_EQ(test::error_unrolled([] { call_action(action::to, {datatype::make(type::string), none::value}); }),
              ErrorId::script_bad_to_arg);
    EXPECT_EQ(pending_error.args[0].data1, type::string);
}

TEST_F(StringActions, PathAccess) {
    auto path = [](Cell parent, Cell element, const Cell* value) {
        Cell* v = value ? stack::push(*value) : nullptr;
        return *actions::eval_path(stack::push(parent), stack::push(element), v, nullptr, nullptr, nullptr, 1,
                                   false, true, true, false);
    };
    Cell s = str(U"abc");
    EXPECT_EQ(path(s, cell::integer(2), nullptr).data2, static_cast<u32>('b'));
    EXPECT_EQ(cell::type_of(path(s, cell::integer(9), nullptr)), type::none);
    Cell x = ch('X');
    path(s, cell::integer(2), &x);
    EXPECT_EQ(whole(s), U"aXc");
    EXPECT_EQ(path(s, str(U"x"), nullptr).data2, static_cast<u32>('c')) << "selects, letter case folded";
    Cell z = ch(0x20AC);
    path(s, ch('a'), &z);
    EXPECT_EQ(whole(s), U"a\u20ACc") << "the character after the match's first one";
    EXPECT_EQ(test::error_unrolled([&] { path(s, w("a"), nullptr); }), ErrorId::script_invalid_path);
    EXPECT_EQ(test::error_unrolled([&] { path(s, ch('q'), &z); }), ErrorId::script_bad_path_set);
}

TEST_F(StringActions, TakeAndSwap) {
    Cell s = str(U"abc\u20AC");
    Cell r = call_action(action::take, {s}, {absent, absent, absent});
    EXPECT_EQ(cell::type_of(r), type::char_);
    EXPECT_EQ(r.data2, static_cast<u32>('a'));
    r = call_action(action::take, {s}, {absent, absent, 1});
    EXPECT_EQ(r.data2, 0x20ACu);
    r = call_action(action::take, {s, cell::integer(1)}, {1, absent, absent});
    EXPECT_EQ(cell::type_of(r), type::string) << "/part keeps a string";
    EXPECT_EQ(whole(r), U"b");
    EXPECT_EQ(whole(s), U"c");

    Cell a = str(U"abc"), b = str(U"\u20ACx");
    actions::swap(stack::push(a), stack::push(b));
    EXPECT_EQ(whole(a), U"\u20ACbc");
    EXPECT_EQ(unit_of(a), 2u);
    EXPECT_EQ(whole(b), U"ax");
    Cell t = str(U"");
    actions::swap(stack::push(a), stack::push(t));
    EXPECT_EQ(whole(a), U"\u20ACbc") << "nothing at a tail";
    EXPECT_EQ(test::error_unrolled([&] { actions::swap(stack::push(a), stack::push(block_of({}))); }),
              ErrorId::script_invalid_arg);
    Node bytes = memory::alloc_bytes(4);
    *memory::reserve_bytes(bytes, 1) = 'z';
    EXPECT_EQ(test::error_unrolled([&] { actions::swap(stack::push(a), stack::push(cell::make(type::binary, 0, bytes, 0))); }),
              ErrorId::script_invalid_arg)
        << "a byte cannot take the euro sign";
}

// Positional actions come from series!.
TEST_F(StringActions, InheritsTheSeriesHandlers) {
    Cell s = str(U"ab\u20AC", 0, 1);
    EXPECT_EQ(actions::length_q(stack::push(s)), 2);
    EXPECT_EQ(call_action(action::pick, {s, cell::integer(2)}).data2, 0x20ACu);
    Cell c = call_action(action::copy, {s}, {absent, absent, absent});
    EXPECT_EQ(whole(c), U"b\u20AC");
    EXPECT_EQ(registry::entry(type::string, action::put), nullptr);
}

// --- Set operations ---------------------------------------------------------

TEST_F(StringActions, SetOperations) {
    struct Case {
        const char* name;
        i32 op;
        Cell a, b;
        bool case_;
        i32 skip;
        std::u32string out;
    } cases[] = {
        {"unique folds", string::set_op::unique, str(U"aAbBa"), none::value, false, 1, U"ab"},
        {"unique /case", string::set_op::unique, str(U"aAbBa"), none::value, true, 1, U"aAbB"},
        {"union", string::set_op::union_, str(U"abca"), str(U"bcd\u20AC"), false, 1, U"abcd\u20AC"},
        {"intersect", string::set_op::intersect, str(U"abc"), str(U"BCD"), false, 1, U"bc"},
        {"intersect /case", string::set_op::intersect, str(U"abc"), str(U"BcD"), true, 1, U"c"},
        {"exclude", string::set_op::exclude, str(U"abc"), str(U"bcd"), false, 1, U"a"},
        {"difference", string::set_op::difference, str(U"abc"), str(U"bcd"), false, 1, U"ad"},
        {"unique /skip", string::set_op::unique, str(U"a1a2b3"), none::value, false, 2, U"a1b3"},
        {"from the heads", string::set_op::union_, str(U"zab", 0, 1), str(U"xbc", 0, 1), false, 1, U"abc"},
        {"Latin-1 folds", string::set_op::unique, str(U"\u00E9\u00C9"), none::value, false, 1, U"\u00E9"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        stack::mark_native(w("test"));
        stack::push_value(c.a);
        stack::push_value(c.b);
        Cell r = *string::do_set_op(c.case_, c.skip, c.op);
        stack::unroll();
        EXPECT_EQ(cell::type_of(r), type::string);
        EXPECT_EQ(cell::head_index(r), 0);
        EXPECT_NE(cell::node(r), cell::node(c.a));
        EXPECT_EQ(utf8(whole(r)), utf8(c.out));
    }
    EXPECT_EQ(test::error_unrolled([] {
                  stack::mark_native(w("test"));
                  stack::push_value(str(U"a"));
                  stack::push_value(str(U"b"));
                  string::do_set_op(false, 0, string::set_op::union_);
              }),
              ErrorId::script_invalid_refine_arg);
}

}  // namespace

// --- Collector discipline ---------------------------------------------------

// Every handler keeps nodes and indexes across allocations: with a collection
// (and compaction) at every allocation the results stay the same. The values
// live on the data stack, where the collector finds them.
TEST_F(StringActions, SurvivesACollectionAtEveryAllocation) {
    struct Stress {
        bool enabled = collector::enable(true);
        bool stressed = collector::set_stress(true);
        ~Stress() {
            collector::set_stress(stressed);
            collector::enable(enabled);
        }
    } stress;
    const u32 cycles = collector::cycles();
    auto keep = [](const Cell& v) { return stack::push(v); };

    Cell* s = keep(str(U"ab"));
    Cell* blk = keep(block_of({}));
    block::rs_append(*blk, cell::integer(12));
    block::rs_append(*blk, *keep(str(U"\u20ACx")));
    block::rs_append(*blk, w("word"));
    actions::append(s, blk, -1, false, 3);  // formed: "12€xword" three times
    EXPECT_EQ(utf8(whole(*s)), utf8(U"ab12\u20ACxword12\u20ACxword12\u20ACxword"));
    Cell* pos = keep(at(*s, 2));
    actions::insert(pos, keep(*s), -1, false, 2);  // itself, twice: 26 + 52 characters
    EXPECT_EQ(cell::head_index(*pos), 54);
    Cell* r = actions::find(keep(*s), keep(cell::integer(12)), nullptr, false, false, false, false, nullptr, nullptr,
                            true, false, false, false);
    EXPECT_EQ(cell::head_index(*r), 70);
    actions::change(keep(at(*s, 1)), keep(ch(0x1F600)), nullptr, false, 4);
    EXPECT_EQ(unit_of(*s), 4u);
    EXPECT_EQ(utf8(whole(*s).substr(0, 7)), utf8(U"a\U0001F600\U0001F600\U0001F600\U0001F6002\u20AC"));

    Cell* t = keep(*actions::to(keep(datatype::make(type::string)), blk));
    EXPECT_EQ(utf8(whole(*t)), utf8(U"12\u20ACxword"));
    Cell* m = keep(str(U""));
    actions::mold(keep(*t), m, false, true, false, nullptr, 0x7FFFFFFF, 0);
    EXPECT_EQ(utf8(whole(*m)), "\"12^(20AC)xword\"");
    actions::sort(t, false, nullptr, nullptr, nullptr, false, false, true);
    EXPECT_EQ(utf8(whole(*t)), utf8(U"12dorwx\u20AC"));
    actions::trim(keep(*t), false, false, false, false, false, keep(str(U"d\u20AC")));
    EXPECT_EQ(utf8(whole(*t)), "12orwx");

    stack::mark_native(w("test"));
    stack::push_value(*t);
    stack::push_value(str(U"xyz\U0001F600"));
    Cell u = *string::do_set_op(false, 1, string::set_op::union_);
    EXPECT_EQ(utf8(whole(u)), utf8(U"12orwxyz\U0001F600"));
    stack::unroll();
    EXPECT_GT(collector::cycles(), cycles + 10) << "a collection ran at each allocation";
}
