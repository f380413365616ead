// Predefined words: the ids equal what interning the same text later gives,
// every spelling is interned exactly as written, and the cells are ready,
// unbound words of their types.
#include "runtime/words.h"

#include "runtime/datatypes/symbol.h"
#include "runtime/memory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

using namespace oru;

namespace {

class Words : public ::testing::Test {
protected:
    void SetUp() override {
        memory::init();
        symbol::init(4000);
        // A case variant interned first: the predefined spelling becomes an
        // alias of it and must keep its own spelling and id.
        first_self = symbol::make("SELF");
        words::init();
        words::init_refinements();
        words::init_issues();
    }
    void TearDown() override { memory::release_all(); }
    i32 first_self = 0;
};

struct Named {
    const char* spelling;
    i32 id;
};

TEST_F(Words, IdsMatchLaterInterningAndKeepTheirSpelling) {
    const Named symbols[] = {
#define ORU_TEST_SYMBOL(name, spelling) {spelling, words::sym::name},
        ORU_PREDEFINED_SYMBOLS(ORU_TEST_SYMBOL)
#undef ORU_TEST_SYMBOL
    };
    const Named cells[] = {
#define ORU_TEST_WORD(name, spelling) {spelling, static_cast<i32>(words::word::name.data2)},
        ORU_PREDEFINED_WORDS(ORU_TEST_WORD)
#undef ORU_TEST_WORD
#define ORU_TEST_REFINEMENT(name, spelling) {spelling, static_cast<i32>(words::refinement::name.data2)},
        ORU_PREDEFINED_REFINEMENTS(ORU_TEST_REFINEMENT)
#undef ORU_TEST_REFINEMENT
#define ORU_TEST_ISSUE(name, spelling) {spelling, static_cast<i32>(words::issue::name.data2)},
        ORU_PREDEFINED_ISSUES(ORU_TEST_ISSUE)
#undef ORU_TEST_ISSUE
    };
    static_assert(std::size(symbols) == words::symbol_count);
    static_assert(std::size(cells) == words::word_count + words::refinement_count + words::issue_count);
    for (const Named* list : {static_cast<const Named*>(symbols), static_cast<const Named*>(cells)}) {
        const size_t n = list == symbols ? std::size(symbols) : std::size(cells);
        for (size_t i = 0; i < n; i++) {
            SCOPED_TRACE(list[i].spelling);
            ASSERT_GT(list[i].id, 0);
            EXPECT_EQ(symbol::make(list[i].spelling), list[i].id);
            EXPECT_STREQ(symbol::get_c_string(list[i].id), list[i].spelling);
        }
    }
    // Case-insensitive lookups go through canonical ids.
    EXPECT_NE(words::sym::self, first_self);
    EXPECT_EQ(symbol::canonical(words::sym::self), first_self);
    EXPECT_EQ(symbol::canonical(symbol::make("Self")), first_self);
}

// Symbol ids are given out one by one as spellings are first interned, so the
// ids show the interning order: the symbol list, then the word cells, the
// refinements and the issue, each in its list order.
TEST_F(Words, InternedInListOrder) {
    std::vector<Named> order = {
#define ORU_TEST_SYMBOL(name, spelling) {spelling, words::sym::name},
        ORU_PREDEFINED_SYMBOLS(ORU_TEST_SYMBOL)
#undef ORU_TEST_SYMBOL
#define ORU_TEST_CELL(name, spelling) {spelling, static_cast<i32>(words::word::name.data2)},
        ORU_PREDEFINED_WORDS(ORU_TEST_CELL)
#undef ORU_TEST_CELL
#define ORU_TEST_CELL(name, spelling) {spelling, static_cast<i32>(words::refinement::name.data2)},
        ORU_PREDEFINED_REFINEMENTS(ORU_TEST_CELL)
#undef ORU_TEST_CELL
#define ORU_TEST_CELL(name, spelling) {spelling, static_cast<i32>(words::issue::name.data2)},
        ORU_PREDEFINED_ISSUES(ORU_TEST_CELL)
#undef ORU_TEST_CELL
    };
    std::set<std::string> seen{"SELF"};
    i32 last = first_self;
    for (const Named& n : order) {
        SCOPED_TRACE(n.spelling);
        if (seen.insert(n.spelling).second) {
            EXPECT_EQ(n.id, last + 1);
            last = n.id;
        } else {
            EXPECT_LE(n.id, last);
        }
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(last - first_self + 1));
}

TEST_F(Words, OddSpellingsAreInternedAsWritten) {
    struct Case {
        const Cell& cell;
        const char* spelling;
    } cases[] = {
        {words::word::swaped, "swaped"},       {words::word::put_ed, "put-ed"},
        {words::word::tag_anon, "<anon>"},     {words::word::tag_applied, "<applied>"},
        {words::word::bar, "|"},               {words::word::on_deep_change, "on-deep-change*"},
        {words::refinement::extern_, "extern"}, {words::issue::ooo, "ooo"},
    };
    for (const Case& c : cases) EXPECT_STREQ(symbol::get_c_string(static_cast<i32>(c.cell.data2)), c.spelling);
    EXPECT_STREQ(symbol::get_c_string(words::sym::dash), "-");
    EXPECT_STREQ(symbol::get_c_string(words::sym::events_q), "events?");
    EXPECT_STREQ(symbol::get_c_string(words::sym::any_type), "any-type!");
}

TEST_F(Words, CellsAreUnboundWordsOfTheirType) {
    const Cell* word_cells[] = {
#define ORU_TEST_WORD(name, spelling) &words::word::name,
        ORU_PREDEFINED_WORDS(ORU_TEST_WORD)
#undef ORU_TEST_WORD
    };
    for (const Cell* c : word_cells) {
        EXPECT_EQ(c->header, type::word);
        EXPECT_EQ(c->data1, 0u);
        EXPECT_EQ(c->data3, 0xFFFFFFFFu);
    }
    EXPECT_EQ(words::refinement::part.header, type::refinement);
    EXPECT_EQ(words::issue::ooo.header, type::issue);
    EXPECT_EQ(words::refinement::part.data3, 0xFFFFFFFFu);
    // Repeated spellings get a global each, sharing the id.
    EXPECT_EQ(words::word::collect.data2, words::word::collect_2.data2);
    EXPECT_EQ(words::word::throw_.data2, words::word::throw_2.data2);
    EXPECT_EQ(words::sym::code, words::sym::code_2);
    EXPECT_EQ(static_cast<i32>(words::word::end.data2), words::sym::end);
    EXPECT_EQ(static_cast<i32>(words::refinement::skip.data2), words::sym::skip);
}

}  // namespace
