// Symbols: interning with canonical ids against an oracle through the symbol
// table's growth, the case rule (a, A and a), names, the cached string and
// the compare handler.
#include "runtime/datatypes/symbol.h"
#include "runtime/hashtable.h"
#include "runtime/memory.h"
#include "runtime/registry.h"
#include "runtime/system.h"
#include "runtime/unicode.h"

#include "support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

using namespace oru;

namespace {

class Symbols : public ::testing::Test {
protected:
    void SetUp() override {
        test::start_symbols();
    }
    void TearDown() override { memory::release_all(); }
};

std::string ascii_lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c | 0x20);
    return s;
}

}  // namespace

TEST_F(Symbols, CaseVariantsShareOneCanonicalIdAndKeepTheirSpellings) {
    i32 n = symbol::make("a");
    EXPECT_EQ(n, 1) << "ids start at 1";
    EXPECT_EQ(symbol::make("A"), n + 1);
    EXPECT_EQ(symbol::make("a"), n);
    EXPECT_EQ(symbol::make("A"), n + 1);

    EXPECT_EQ(symbol::resolve(n), n);
    EXPECT_EQ(symbol::canonical(n + 1), n);
    EXPECT_EQ(symbol::alias_of(n), -1);
    EXPECT_EQ(symbol::alias_of(n + 1), n);
    EXPECT_STREQ(symbol::get_c_string(n), "a");
    EXPECT_STREQ(symbol::get_c_string(n + 1), "A");

    EXPECT_EQ(symbol::make_nocase("A"), n) << "ignoring case gives the earliest spelling";
    EXPECT_EQ(symbol::make_nocase("B"), n + 2) << "a new name is a new canonical symbol";
    EXPECT_EQ(symbol::alias_of(n + 2), -1);
    EXPECT_EQ(symbol::make("b"), n + 3);
    EXPECT_EQ(symbol::canonical(n + 3), n + 2);

    EXPECT_EQ(symbol::find("A"), n + 1);
    EXPECT_EQ(symbol::find("missing"), 0) << "find interns nothing";
    EXPECT_EQ(symbol::make("missing"), n + 4);
}

TEST_F(Symbols, NamesAreUtf8WithATrailingZero) {
    struct Case {
        const char* a;
        const char* b;
        bool same_canonical;
    } cases[] = {
        {"\xC3\xA9t\xC3\xA9", "\xC3\x89t\xC3\x89", false},  // non-ASCII letters are not folded
        {"\xC3\xA9T\xC3\xA9", "\xC3\xA9t\xC3\xA9", true},
        {"print", "PRINT", true},
        {"a-b", "A-B", true},
        {"@", "`", false},  // neighbours of the letters are not letters
        {"[", "{", false},
        {"", "", true},
    };
    for (const Case& c : cases) {
        i32 a = symbol::make(c.a), b = symbol::make(c.b);
        EXPECT_EQ(symbol::canonical(a) == symbol::canonical(b), c.same_canonical) << c.a << " " << c.b;
        EXPECT_STREQ(symbol::get_c_string(b), c.b);
        EXPECT_EQ(symbol::name_length(b), static_cast<i32>(std::strlen(c.b)));
    }
    i32 empty = symbol::make("");
    Cell* sym = symbol::at(empty);
    EXPECT_EQ(cell::type_of(*sym), type::symbol);
    EXPECT_EQ(memory::buffer(sym->data3)->tail, 0u);
    EXPECT_EQ(*memory::buffer(sym->data3)->data(), 0) << "one NUL byte of storage";
    EXPECT_EQ(sym->data2, 0u) << "no cached string yet";

    // A name handed over inside a series buffer.
    Node bytes = memory::alloc_bytes(16);
    std::memcpy(memory::buffer(bytes)->data(), "xxprintyy", 9);
    EXPECT_EQ(symbol::make_from(memory::buffer(bytes)->data() + 2, 5), symbol::make("print"));
}

TEST_F(Symbols, InterningMatchesOracleThroughGrowth) {
    std::mt19937 rng(2718);
    std::unordered_map<std::string, i32> ids;
    std::unordered_map<std::string, i32> first;  // lowered name -> earliest id
    const char letters[] = "abAB";
    i32 next = 1;
    auto check = [&](const std::string& name) {
        i32 id = symbol::make(name.c_str());
        auto it = ids.find(name);
        if (it == ids.end()) {
            ASSERT_EQ(id, next++) << name;
            ids[name] = id;
            first.emplace(ascii_lower(name), id);
        } else {
            ASSERT_EQ(id, it->second) << name;
        }
        i32 canon = first.at(ascii_lower(name));
        ASSERT_EQ(symbol::canonical(id), canon) << name;
        ASSERT_EQ(symbol::alias_of(canon), -1) << "an alias always names a canonical symbol";
        ASSERT_EQ(symbol::make_nocase(name.c_str()), canon);
    };
    for (int step = 0; step < 40000; step++) {
        std::string name;
        for (int i = 0, len = static_cast<int>(rng() % 10); i < len; i++) name += letters[rng() % 4];
        check(name);
        if (HasFatalFailure()) return;
    }
    EXPECT_GT(hashtable::record(symbol::table)->capacity, 16384) << "the table grew in place";
    for (auto& [name, id] : ids) {
        ASSERT_EQ(symbol::find(name.c_str()), id);
        ASSERT_STREQ(symbol::get_c_string(id), name.c_str());
    }
    EXPECT_EQ(hashtable::record(symbol::table)->size, static_cast<i32>(ids.size()));
}

TEST_F(Symbols, CachedStringHoldsTheDecodedName) {
    i32 id = symbol::make("\xC3\xA9t\xC3\xA9!");
    Cell* sym = symbol::get(id);
    ASSERT_NE(sym->data2, 0u);
    SeriesBuffer* s = memory::buffer(sym->data2);
    ASSERT_EQ(s->length(), 4u);
    EXPECT_EQ(s->head_ptr()[0], 0xE9);
    EXPECT_EQ(s->head_ptr()[3], '!');
    Node cached = sym->data2;
    EXPECT_EQ(symbol::get(id)->data2, cached) << "made once";

    Cell str = cell::make(type::string, 0, cached, 0);
    EXPECT_EQ(symbol::make_from_string(str), id);
    str.data1 = 1;
    EXPECT_EQ(symbol::make_from_string(str), symbol::make("t\xC3\xA9!")) << "from the string's head";
}

TEST_F(Symbols, CompareHandler) {
    symbol::init_datatype();
    EXPECT_EQ(registry::handler<action_fn::Compare>(type::symbol, action::compare), &symbol::compare);
    struct Case {
        const char* a;
        const char* b;
        i32 op;
        i32 want;
    } cases[] = {
        {"abc", "ABC", 0, 0},  {"abc", "ABC", 2, 1},  {"abc", "abc", 2, 0},
        {"ab", "abc", 0, 1},   {"ab", "abc", 3, -1},  {"abd", "ABC", 3, 1},
        {"", "a", 3, -1},      {"\xC3\xA9", "\xC3\x89", 0, 0},  {"b", "A", 8, 1},
        {"abc", "abc", 9, 0},  {"abc", "ABC", 9, -1},  // same?: the same symbol only
    };
    for (const Case& c : cases) {
        Cell a = *symbol::at(symbol::make(c.a)), b = *symbol::at(symbol::make(c.b));
        EXPECT_EQ(symbol::compare(&a, &b, c.op), c.want) << c.a << " " << c.b << " op " << c.op;
    }
    Cell a = *symbol::at(symbol::make("x"));
    Cell i = cell::integer(1);
    EXPECT_EQ(symbol::compare(&a, &i, 0), -2);
}

TEST_F(Symbols, AnyTypeWordIsKnownByItsCanonicalId) {
    Cell w = cell::make(type::word, 0, static_cast<u32>(symbol::make("ANY-TYPE!")), 0);
    EXPECT_FALSE(symbol::any_type_word_q(w)) << "any-type! is not interned yet";
    i32 any = symbol::make("any-type!");
    EXPECT_TRUE(symbol::any_type_word_q(w)) << "case variants share the canonical id";
    Cell exact = cell::make(type::word, 0, static_cast<u32>(any), 0);
    EXPECT_TRUE(symbol::any_type_word_q(exact));
    Cell other = cell::make(type::word, 0, static_cast<u32>(symbol::make("any")), 0);
    EXPECT_FALSE(symbol::any_type_word_q(other));
}
