// Hash tables: the hash functions, the sizes at creation, and each key kind
// against a standard-library oracle under random operations (puts, deletes,
// equal keys, shifts, moves and growth), plus the edge cases of the index:
// case variants sharing a bucket, address keys after a collection, copies
// owning their groups, map! keys, context word lists.
#include "interpreter/stack.h"
#include "runtime/array.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/fire.h"
#include "runtime/hashtable.h"
#include "runtime/memory.h"
#include "runtime/system.h"
#include "runtime/unicode.h"

#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

using namespace oru;
namespace ht = oru::hashtable;

namespace {

class HashTables : public ::testing::Test {
protected:
    void SetUp() override {
        test::start_symbols();
    }
    void TearDown() override { memory::release_all(); }
};

// A string! cell over a new buffer of the narrowest unit.
Cell string_cell(const std::u32string& text, u32 type = type::string) {
    u32 unit = 1;
    for (char32_t c : text) unit = std::max<u32>(unit, c > 0xFFFF ? 4 : c > 0xFF ? 2 : 1);
    Node n = memory::alloc_series(static_cast<i32>(text.size()), unit, 0);
    SeriesBuffer* s = memory::buffer(n);
    for (size_t i = 0; i < text.size(); i++) {
        u32 c = text[i];
        std::memcpy(s->data() + i * unit, &c, unit);
    }
    s->tail = static_cast<u32>(text.size() * unit);
    return cell::make(type, 0, n, 0);
}

Cell* at(Node blk, i32 i) { return reinterpret_cast<Cell*>(memory::buffer(blk)->data()) + i; }
i32 length(Node blk) { return static_cast<i32>(memory::buffer(blk)->tail / sizeof(Cell)); }

i32 append(Node blk, const Cell& c) {
    i32 i = length(blk);
    *memory::alloc_tail(blk) = c;
    return i;
}

i32 position(Node blk, const Cell* c) { return c ? static_cast<i32>(c - at(blk, 0)) : -1; }

std::u32string fold(const std::u32string& s) {
    std::u32string out;
    for (char32_t c : s) out.push_back(unicode::case_fold(c, false));
    return out;
}

Cell word(u32 type, const char* name) { return cell::make(type, 0, static_cast<u32>(symbol::make(name)), 0xFFFFFFFF); }

// A table's view for the checks.
ht::Table* rec(Node table) { return ht::record(table); }

}  // namespace

// --- Hash functions ----------------------------------------------------------

TEST_F(HashTables, MurmurMatchesThePublishedVectors) {
    struct Case {
        const char* text;
        i32 len;
        u32 seed;
        u32 want;
    } cases[] = {
        {"", 0, 0, 0},
        {"", 0, 1, 0x514E28B7},
        {"", 0, 0xFFFFFFFF, 0x81F16F39},
        {"\0\0\0\0", 4, 0, 0x2362F9DE},
        {"aaaa", 4, 0x9747B28C, 0x5A97808A},
        {"abc", 3, 0, 0xB3DD93FA},
        {"Hello, world!", 13, 0x9747B28C, 0x24884CBA},
        {"The quick brown fox jumps over the lazy dog", 43, 0x9747B28C, 0x2FA826CD},
    };
    u32 saved = ht::seed();
    for (const Case& c : cases) {
        ht::set_seed(c.seed);
        EXPECT_EQ(ht::murmur3_hash(c.text, c.len), c.want) << '"' << c.text << "\" seed " << c.seed;
    }
    ht::set_seed(saved);
    EXPECT_EQ(ht::mix32(0), 0u);
    EXPECT_EQ(ht::mix32(1), 0x514E28B7u) << "the finaliser alone is the hash of nothing under seed 1";
}

TEST_F(HashTables, NameHashIsMurmurOfTheAsciiLoweredName) {
    std::mt19937 rng(7);
    const std::string alphabet = "AZaz@[`{09_-!\xC3\x89\xC3\xA9";  // the letters' neighbours stay as they are
    for (int n = 0; n < 300; n++) {
        std::string name;
        for (int i = 0, len = static_cast<int>(rng() % 13); i < len; i++) name += alphabet[rng() % alphabet.size()];
        std::string lowered = name;
        for (char& ch : lowered)
            if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch | 0x60);
        EXPECT_EQ(ht::name_hash(reinterpret_cast<const u8*>(name.data()), static_cast<i32>(name.size())),
                  ht::murmur3_hash(lowered.data(), static_cast<i32>(lowered.size())))
            << name;
    }
}

TEST_F(HashTables, HashValueFollowsTheKeyType) {
    EXPECT_EQ(ht::hash_value(cell::integer(42), false), ht::mix32(42));
    EXPECT_EQ(ht::hash_value(cell::make(type::char_, 0, 'a'), false), ht::mix32('a'));
    EXPECT_EQ(ht::hash_value(cell::make(type::none), false), 0xFFFFFFFFu);
    EXPECT_EQ(ht::hash_value(cell::make(type::unset), false), 0xFFFFFFFEu);
    EXPECT_EQ(ht::hash_value(cell::make(type::context, 1, 2, 3), false), 0u) << "unhashed types share 0";

    // Words hash by canonical id, so case variants and word types meet.
    EXPECT_EQ(ht::hash_value(word(type::word, "Name"), false), ht::hash_value(word(type::set_word, "nAME"), false));
    EXPECT_EQ(ht::hash_value(word(type::word, "name"), false),
              ht::mix32(static_cast<u32>(symbol::canonical(symbol::make("name")))));

    // Strings: case folded unless asked, the unit does not matter.
    Cell lower = string_cell(U"straße"), upper = string_cell(U"STRAßE"), wide = string_cell(U"straße\u0100");
    EXPECT_EQ(ht::hash_value(lower, false), ht::hash_value(upper, false));
    EXPECT_NE(ht::hash_value(lower, true), ht::hash_value(upper, true));
    Cell wide_prefix = wide;
    wide_prefix.header = ht::limited_string;
    wide_prefix.data3 = 6;
    EXPECT_EQ(ht::hash_value(wide_prefix, false), ht::hash_value(lower, false)) << "a limited string hashes its prefix";
    Cell tail = lower;
    tail.data1 = 99;  // a head past the tail hashes as empty
    EXPECT_EQ(ht::hash_value(tail, false), ht::hash_value(string_cell(U""), false));

    // Payload words, as murmur of the named bytes.
    Cell f = cell::float_(1.5);
    EXPECT_EQ(ht::hash_value(f, false), ht::murmur3_hash(&f.data2, 8));
    Cell blk = cell::make(type::block, 3, 77, 5);
    EXPECT_EQ(ht::hash_value(blk, false), ht::murmur3_hash(&blk.data1, 8));
    Cell money = cell::make(type::money | 0x4000 | 0x200, 1, 2, 3);
    Cell money_plain = cell::make(type::money | 0x4000, 1, 2, 3);
    EXPECT_EQ(ht::hash_value(money, false), ht::hash_value(money_plain, false)) << "only the type and sign count";
    EXPECT_NE(ht::hash_value(money, false), ht::hash_value(cell::make(type::money, 1, 2, 3), false));
    EXPECT_TRUE(ht::address_key_q(type::block));
    EXPECT_FALSE(ht::address_key_q(type::string));
}

TEST_F(HashTables, CapacityAndLimitAtCreation) {
    struct Case {
        i32 size, kind, values;
        i32 capacity, limit;
    } cases[] = {
        {4000, ht::kind::symbols, 1, 16384, 12615},  // sizes of 4000 and more double for symbols
        {1000, ht::kind::ownership, 3, 2048, 1576},
        {1024, ht::kind::pointer, 1, 2048, 1576},
        {4, ht::kind::hash, 0, 8, 6},
        {0, ht::kind::map, 0, 8, 6},
        {4000, ht::kind::hash, 0, 8192, 6307},
    };
    for (const Case& c : cases) {
        Node t = ht::init(c.size, nullptr, c.kind, c.values);
        EXPECT_EQ(rec(t)->capacity, c.capacity) << c.size;
        EXPECT_EQ(rec(t)->limit, c.limit) << c.size;
        EXPECT_EQ(rec(t)->kind, c.kind);
        EXPECT_EQ(rec(t)->size, 0);
        if (c.kind >= ht::kind::pointer) { EXPECT_EQ(rec(t)->slots, (c.values + 1) * 16); }
    }
    EXPECT_EQ(ht::next_pow2(1), 1u);
    EXPECT_EQ(ht::next_pow2(1025), 2048u);
    EXPECT_THROW(ht::next_pow2((u64{1} << 30) + 1), SystemThrow);
}

// --- Kind 0: hash! ---------------------------------------------------------------

namespace {

// A hash! item of the model: an integer or a string.
struct Item {
    bool text;
    i32 n;
    std::u32string s;
};

bool equal(const Item& a, const Item& b, i32 op) {
    if (a.text != b.text) return false;
    if (!a.text) return a.n == b.n;
    return op == ht::op::strict_equal ? a.s == b.s : fold(a.s) == fold(b.s);
}

std::u32string class_of(const Item& it) { return it.text ? U"s" + fold(it.s) : U"i" + std::u32string(1, it.n); }

Cell item_cell(const Item& it) { return it.text ? string_cell(it.s) : cell::integer(it.n); }

// The position find must give, by a plain scan of the model.
i32 scan(const std::vector<Item>& v, const Item& key, i32 head, i32 skip, i32 op, bool last, bool reverse) {
    if (reverse) last = true;
    i32 best = -1;
    for (i32 j = 0; j < static_cast<i32>(v.size()); j++) {
        if (!equal(v[j], key, op)) continue;
        i32 off = last ? head - 1 - j : j - head;
        if (((off % skip) + skip) % skip != 0) continue;
        if (!reverse && j >= head) {
            if (!last) return j;
            best = j;
        } else if (reverse && j < head) {
            best = j;
        }
    }
    return best;
}

const std::vector<Item> item_pool = {
    {false, 1, {}},        {false, 2, {}},        {false, 3, {}},         {false, 4, {}},
    {false, 5, {}},        {false, 6, {}},        {false, 7, {}},         {false, 8, {}},
    {true, 0, U"ab"},      {true, 0, U"AB"},      {true, 0, U"Ab"},       {true, 0, U"cd"},
    {true, 0, U"CD"},      {true, 0, U"x"},       {true, 0, U"5"},        {true, 0, U"\u00e9t\u00e9"},
    {true, 0, U"\u00c9T\u00c9"}, {true, 0, U"\u03c9"}, {true, 0, U"\u03a9"}, {true, 0, U""},
};

}  // namespace

TEST_F(HashTables, HashKindMatchesOracle) {
    std::mt19937 rng(20240611);
    std::vector<Item> pool = item_pool;
    for (i32 n = 9; n < 120; n++) pool.push_back({false, n, {}});  // enough distinct keys to grow

    Node blk = memory::alloc_cells(0);
    Cell hash_cell = cell::make(type::hash, 0, blk, 0);
    Node table = ht::init(0, &hash_cell, ht::kind::hash, 0);
    std::vector<Item> model;
    auto pick = [&] { return pool[rng() % (rng() % 4 == 0 ? pool.size() : item_pool.size())]; };

    auto check_everything = [&] {
        std::set<std::u32string> classes;
        for (const Item& it : model) classes.insert(class_of(it));
        ASSERT_EQ(rec(table)->size, static_cast<i32>(classes.size())) << "one live bucket per class of equal keys";
        ASSERT_LT(rec(table)->occupied, rec(table)->capacity);
        for (const Item& key : item_pool) {
            Cell k = item_cell(key);
            for (i32 op : {ht::op::equal, ht::op::strict_equal}) {
                i32 end = static_cast<i32>(model.size());
                for (i32 head : {0, end / 2, end}) {
                    ASSERT_EQ(position(blk, ht::find(table, &k, head, 1, op, false, false)),
                              scan(model, key, head, 1, op, false, false));
                    ASSERT_EQ(position(blk, ht::find(table, &k, head, 1, op, true, false)),
                              scan(model, key, head, 1, op, true, false));
                    ASSERT_EQ(position(blk, ht::find(table, &k, head, 1, op, false, true)),
                              scan(model, key, head, 1, op, false, true));
                }
            }
        }
    };

    i32 moves = 0, shifts = 0;
    for (int step = 0; step < 3000; step++) {
        i32 end = static_cast<i32>(model.size());
        u32 r = rng() % 100;
        if (r < 40 || end < 4) {  // append
            Item it = pick();
            Cell c = item_cell(it);
            i32 i = append(blk, c);
            ht::put(table, at(blk, i));
            model.push_back(it);
        } else if (r < 55) {  // insert in the middle: shift the entries up, then index the new item
            Item it = pick();
            i32 p = static_cast<i32>(rng() % end);
            Cell c = item_cell(it);
            memory::alloc_tail(blk);
            std::memmove(at(blk, p + 1), at(blk, p), static_cast<size_t>(end - p) * sizeof(Cell));
            *at(blk, p) = c;
            ASSERT_EQ(ht::shift(table, 1, p, end - p, true), 0);
            ht::put(table, at(blk, p));
            model.insert(model.begin() + p, it);
            shifts++;
        } else if (r < 70) {  // remove one item: the drop removes it and shifts the rest down
            i32 p = static_cast<i32>(rng() % end);
            ASSERT_EQ(ht::shift(table, -1, p + 1, end - p - 1, true), 0);
            std::memmove(at(blk, p), at(blk, p + 1), static_cast<size_t>(end - p - 1) * sizeof(Cell));
            memory::buffer(blk)->tail -= sizeof(Cell);
            model.erase(model.begin() + p);
            shifts++;
        } else if (r < 75) {  // remove a range
            i32 f = static_cast<i32>(rng() % end);
            i32 n = 1 + static_cast<i32>(rng() % std::min(4, end - f));
            ht::remove_range(table, f, n);
            ASSERT_EQ(ht::shift(table, -n, f + n, end - f - n, true), 0);
            std::memmove(at(blk, f), at(blk, f + n), static_cast<size_t>(end - f - n) * sizeof(Cell));
            memory::buffer(blk)->tail -= static_cast<u32>(n) * sizeof(Cell);
            model.erase(model.begin() + f, model.begin() + f + n);
        } else if (r < 82) {  // move a run inside the block
            i32 f = static_cast<i32>(rng() % end);
            i32 n = 1 + static_cast<i32>(rng() % std::min(3, end - f));
            i32 t = static_cast<i32>(rng() % end);
            if (t >= f && t < f + n) continue;
            i32 dist = t - f;
            if (dist > 0) dist -= n - 1;
            i32 lo = dist > 0 ? f : f + dist, hi = dist > 0 ? f + n + dist : f + n;
            auto to = [&](i32 v) { return v >= f && v < f + n ? v + dist : dist > 0 ? v - n : v + n; };
            std::vector<Item> items(model.begin() + lo, model.begin() + hi);
            std::vector<Cell> cells(at(blk, lo), at(blk, hi));
            for (i32 x = lo; x < hi; x++) {
                model[to(x)] = items[x - lo];
                *at(blk, to(x)) = cells[x - lo];
            }
            ht::move(table, t, f, n);
            moves++;
        } else {  // look up one key with random head, skip and flags
            Item key = pick();
            Cell k = item_cell(key);
            i32 head = static_cast<i32>(rng() % (end + 1));
            i32 skip = 1 + static_cast<i32>(rng() % 3);
            i32 op = rng() % 2 ? ht::op::equal : ht::op::strict_equal;
            bool last = rng() % 2, reverse = rng() % 3 == 0;
            ASSERT_EQ(position(blk, ht::find(table, &k, head, skip, op, last, reverse)),
                      scan(model, key, head, skip, op, last, reverse))
                << "step " << step << " head " << head << " skip " << skip << " op " << op << " last " << last
                << " reverse " << reverse;
        }
        if (step % 100 == 0) {
            check_everything();
            if (HasFatalFailure()) return;
        }
    }
    check_everything();
    EXPECT_GT(rec(table)->capacity, 64) << "the index grew on the way";
    EXPECT_GT(moves, 0);
    EXPECT_GT(shifts, 0);

    // A rebuild from the block gives the same answers.
    ht::resize(table, length(blk));
    check_everything();
}

TEST_F(HashTables, CaseVariantsShareOneBucket) {
    Node blk = memory::alloc_cells(0);
    for (const char32_t* s : {U"Key", U"other", U"KEY", U"key"}) append(blk, string_cell(s));
    Cell h = cell::make(type::hash, 0, blk, 0);
    Node table = ht::init(4, &h, ht::kind::hash, 0);
    EXPECT_EQ(rec(table)->size, 2) << "the three spellings are one group";

    Cell key = string_cell(U"kEy");
    EXPECT_EQ(position(blk, ht::find(table, &key, 0, 1, ht::op::equal, false, false)), 0);
    EXPECT_EQ(position(blk, ht::find(table, &key, 0, 1, ht::op::equal, true, false)), 3);
    EXPECT_EQ(position(blk, ht::find(table, &key, 0, 1, ht::op::strict_equal, false, false)), -1);
    Cell exact = string_cell(U"KEY");
    EXPECT_EQ(position(blk, ht::find(table, &exact, 0, 1, ht::op::strict_equal, false, false)), 2);
    EXPECT_EQ(position(blk, ht::find(table, &key, 3, 1, ht::op::equal, false, true)), 2)
        << "reverse: the closest equal item before the head";

    ht::delete_(table, at(blk, 0));
    EXPECT_EQ(rec(table)->size, 2) << "the group keeps its bucket while it has items";
    EXPECT_EQ(position(blk, ht::find(table, &key, 0, 1, ht::op::equal, false, false)), 2);
    ht::delete_(table, at(blk, 2));
    ht::delete_(table, at(blk, 3));
    EXPECT_EQ(rec(table)->size, 1);
    EXPECT_EQ(ht::find(table, &key, 0, 1, ht::op::equal, false, false), nullptr);
    ht::delete_(table, at(blk, 3));  // a second delete of the same item changes nothing
    EXPECT_EQ(rec(table)->size, 1);
    Cell other = string_cell(U"OTHER");
    EXPECT_EQ(position(blk, ht::find(table, &other, 0, 1, ht::op::equal, false, false)), 1);
}

TEST_F(HashTables, ShiftRefusesMoreThanTheLimit) {
    Node blk = memory::alloc_cells(0);
    for (i32 i = 0; i < 10; i++) append(blk, cell::integer(i));
    Cell h = cell::make(type::hash, 0, blk, 0);
    Node table = ht::init(10, &h, ht::kind::hash, 0);
    EXPECT_EQ(ht::shift(table, 1, 0, ht::shift_limit + 1, true), 1);
    Cell seven = cell::integer(7);
    EXPECT_EQ(position(blk, ht::find(table, &seven, 0, 1, ht::op::equal, false, false)), 7) << "nothing moved";
    EXPECT_EQ(ht::shift(table, 0, 0, ht::shift_limit, false), 0);
}

TEST_F(HashTables, AddressKeysAreReindexedAfterACollection) {
    Node blk = memory::alloc_cells(0);
    std::vector<Node> inner;
    for (i32 i = 0; i < 20; i++) {
        inner.push_back(memory::alloc_cells(1));
        append(blk, cell::make(type::block, 0, inner.back(), 0));
    }
    Cell h = cell::make(type::hash, 0, blk, 0);
    Node table = ht::init(20, &h, ht::kind::hash, 0);
    i32 stamp = rec(table)->stamp;
    EXPECT_NE(stamp, 0) << "block! keys stamp the index";

    // Node compaction gives item 5 a new node; the index learns it on the
    // first lookup after the collection.
    Node moved = memory::alloc_node();
    memory::set_buffer(moved, memory::buffer(inner[5]));
    at(blk, 5)->data2 = moved;
    rec(table)->stamp = stamp + 1;  // as if a cycle ran since the index was built
    Cell key = cell::make(type::block, 0, moved, 0);
    EXPECT_EQ(position(blk, ht::find(table, &key, 0, 1, ht::op::equal, false, false)), 5);
    EXPECT_EQ(rec(table)->stamp, stamp);
    EXPECT_EQ(rec(table)->size, 20);

    Node plain_blk = memory::alloc_cells(0);
    append(plain_blk, cell::integer(1));
    Cell p = cell::make(type::hash, 0, plain_blk, 0);
    EXPECT_EQ(rec(ht::init(1, &p, ht::kind::hash, 0))->stamp, 0) << "integer keys never need it";
}

TEST_F(HashTables, CopyOwnsItsGroups) {
    Node blk = memory::alloc_cells(0);
    for (i32 v : {1, 2, 1, 1, 3}) append(blk, cell::integer(v));
    Cell h = cell::make(type::hash, 0, blk, 0);
    Node source = ht::init(5, &h, ht::kind::hash, 0);
    Node copy_blk = memory::copy_series_buffer(memory::buffer(blk));
    Node copied = ht::copy(source, copy_blk);
    EXPECT_EQ(static_cast<Node>(rec(copied)->block), copy_blk);
    EXPECT_NE(rec(copied)->duplicates, rec(source)->duplicates);

    // Removing the equal items from the copy leaves the source's group whole.
    for (i32 i : {0, 2}) ht::delete_(copied, at(copy_blk, i));
    Cell one = cell::integer(1);
    EXPECT_EQ(position(copy_blk, ht::find(copied, &one, 0, 1, ht::op::equal, false, false)), 3);
    EXPECT_EQ(position(blk, ht::find(source, &one, 0, 1, ht::op::equal, false, false)), 0);
    EXPECT_EQ(position(blk, ht::find(source, &one, 1, 1, ht::op::equal, false, false)), 2);
    EXPECT_EQ(position(blk, ht::find(source, &one, 0, 1, ht::op::equal, true, false)), 3);

    ht::reset(copied);
    EXPECT_EQ(rec(copied)->size, 0);
    EXPECT_EQ(ht::find(copied, &one, 0, 1, ht::op::equal, false, false), nullptr);
    EXPECT_EQ(position(blk, ht::find(source, &one, 0, 1, ht::op::equal, false, false)), 0);
}

TEST_F(HashTables, FindNextWalksEqualKeysAlongTheProbe) {
    Node blk = memory::alloc_cells(0);
    for (const char* n : {"alpha", "ALPHA", "beta", "Alpha"}) append(blk, word(type::word, n));
    Cell m = cell::make(type::map, 0, blk, 0);
    Node table = ht::init(4, &m, ht::kind::map, 0);  // pairs: alpha ALPHA, beta Alpha
    append(blk, word(type::set_word, "Alpha"));
    append(blk, cell::integer(0));
    ht::put(table, at(blk, 4));
    // Keys at 0 (set-word alpha), 2 (set-word beta), 4 (set-word Alpha).
    Cell key = word(type::set_word, "alpha");
    std::set<i32> seen;
    i32 bucket = -1, home = 0, step = 0;
    while (Cell* c = ht::find_next(table, &key, &bucket, &home, &step)) seen.insert(position(blk, c));
    EXPECT_EQ(seen, (std::set<i32>{0, 4}));
    EXPECT_GT(home, 0);
}

// --- Kind 1: map! ----------------------------------------------------------------

namespace {

struct Key {
    u32 type;  // word types, integer!, float!, string!
    i32 n;
    std::u32string s;
};

Cell key_cell(const Key& k) {
    switch (k.type) {
        case type::integer: return cell::integer(k.n);
        case type::float_: return cell::float_(k.n);
        case type::string: return string_cell(k.s);
        default: return cell::make(k.type, 0, static_cast<u32>(k.n), 0xFFFFFFFF);
    }
}

bool word_key(u32 t) { return t == type::word || t == type::set_word || t == type::get_word || t == type::lit_word; }

// Strict identity of a map! key (word types are stored as set-words).
std::u32string strict_of(const Key& k) {
    if (word_key(k.type)) return U"w" + std::u32string(1, k.n);
    if (k.type == type::string) return U"s" + k.s;
    return std::u32string(1, k.type) + std::u32string(1, k.n);
}

// Identity under equality: words by canonical id, strings folded.
std::u32string equal_of(const Cell& c) {
    u32 t = cell::type_of(c);
    if (word_key(t)) return U"w" + std::u32string(1, symbol::canonical(static_cast<i32>(c.data2)));
    if (t == type::string) {
        SeriesBuffer* s = memory::buffer(c.data2);
        std::u32string text;
        for (u32 i = 0; i < s->length(); i++) {
            u32 ch = 0;
            std::memcpy(&ch, s->data() + i * s->unit(), s->unit());
            text.push_back(ch);
        }
        return U"s" + fold(text);
    }
    if (t == type::float_) return std::u32string(1, t) + std::u32string(1, static_cast<i32>(cell::get_float(c)));
    return std::u32string(1, t) + std::u32string(1, static_cast<i32>(c.data2));
}

}  // namespace

TEST_F(HashTables, MapKindMatchesOracle) {
    std::mt19937 rng(424242);
    std::vector<Key> pool;
    for (const char* n : {"alpha", "Alpha", "ALPHA", "beta", "Beta", "gamma"})
        for (u32 t : {type::word, type::set_word, type::get_word, type::lit_word})
            pool.push_back({t, symbol::make(n), {}});
    for (i32 i = 1; i < 60; i++) pool.push_back({type::integer, i, {}});
    for (i32 i = 1; i < 4; i++) pool.push_back({type::float_, i, {}});
    for (const char32_t* s : {U"k", U"K", U"key", U"KEY", U"Key", U""}) pool.push_back({type::string, 0, s});

    Node blk = memory::alloc_cells(0);
    Cell m = cell::make(type::map, 0, blk, 0);
    Node table = ht::init(0, &m, ht::kind::map, 0);
    struct Entry {
        i32 value;
        bool removed;
    };
    std::unordered_map<std::u32string, Entry> model;

    auto check = [&](const Key& key) {
        Cell k = key_cell(key);
        Cell* found = ht::find(table, &k, 0, 1, ht::op::strict_equal, false, false);
        auto it = model.find(strict_of(key));
        ASSERT_EQ(found != nullptr, it != model.end()) << "strict lookup";
        if (found) {
            i32 i = position(blk, found);
            ASSERT_EQ(i % 2, 0) << "keys sit at every second cell";
            const Cell& value = *at(blk, i + 1);
            ASSERT_EQ(value.header == 0, it->second.removed);
            if (!it->second.removed) { ASSERT_EQ(static_cast<i32>(value.data2), it->second.value); }
            if (word_key(key.type)) { ASSERT_EQ(cell::type_of(*found), type::set_word); }
        }
        Cell* loose = ht::find(table, &k, 0, 1, ht::op::equal, false, false);
        bool any = false;
        for (const Key& other : pool)
            if (model.count(strict_of(other)) && equal_of(key_cell(other)) == equal_of(k)) any = true;
        ASSERT_EQ(loose != nullptr, any) << "equal lookup";
        if (loose) { ASSERT_EQ(equal_of(*loose), equal_of(k)); }
    };

    for (int step = 0; step < 4000; step++) {
        const Key& key = pool[rng() % pool.size()];
        Cell k = key_cell(key);
        Cell* found = ht::find(table, &k, 0, 1, ht::op::strict_equal, false, false);
        u32 r = rng() % 10;
        if (r < 5) {
            i32 v = static_cast<i32>(rng() % 1000);
            if (found) {
                if (at(blk, position(blk, found) + 1)->header == 0) continue;  // removed pairs stay removed here
                at(blk, position(blk, found) + 1)->data2 = static_cast<u32>(v);
            } else {
                i32 i = append(blk, k);
                append(blk, cell::integer(v));
                ht::put(table, at(blk, i));
                if (word_key(key.type)) cell::set_type(*at(blk, i), type::set_word);  // as the map! module does
            }
            model[strict_of(key)].value = v;
        } else if (r < 7) {
            if (!found) continue;
            ht::delete_(table, found);
            model[strict_of(key)].removed = true;
        } else {
            check(key);
            if (HasFatalFailure()) return;
        }
    }
    i32 live = 0;
    for (auto& [k, e] : model) live += e.removed ? 0 : 1;
    EXPECT_EQ(rec(table)->size, live);
    EXPECT_EQ(rec(table)->occupied, static_cast<i32>(model.size())) << "removed pairs keep their buckets";
    for (const Key& key : pool) {
        check(key);
        if (HasFatalFailure()) return;
    }
    EXPECT_GE(rec(table)->capacity, 128);
}

TEST_F(HashTables, MapFromABlockFoldsRepeatedKeys) {
    Node blk = memory::alloc_cells(0);
    append(blk, word(type::set_word, "a"));
    append(blk, cell::integer(1));
    append(blk, cell::integer(1));  // integer 1 and float 1.0 are different keys
    append(blk, cell::integer(2));
    append(blk, word(type::word, "a"));  // the same key as the set-word
    append(blk, cell::integer(3));
    append(blk, cell::float_(1.0));
    append(blk, cell::integer(4));
    append(blk, word(type::set_word, "A"));  // another spelling: another key under strict equality
    append(blk, cell::integer(5));
    Cell m = cell::make(type::map, 0, blk, 0);
    Node table = ht::init(4, &m, ht::kind::map, 0);

    ASSERT_EQ(length(blk), 8) << "the repeated pair left the block";
    EXPECT_EQ(rec(table)->size, 4);
    EXPECT_EQ(cell::type_of(*at(blk, 0)), type::set_word);
    EXPECT_EQ(at(blk, 1)->data2, 3u) << "the first pair's place, the last pair's value";
    EXPECT_EQ(cell::type_of(*at(blk, 4)), type::float_);
    EXPECT_EQ(at(blk, 7)->data2, 5u);

    Cell w = word(type::word, "a");
    EXPECT_EQ(position(blk, ht::find(table, &w, 0, 1, ht::op::strict_equal, false, false)), 0)
        << "a word! key finds the set-word!";
    EXPECT_EQ(w.header, type::word) << "the caller's key is left as it was";
    Cell f = cell::float_(1.0), i = cell::integer(1);
    EXPECT_EQ(position(blk, ht::find(table, &f, 0, 1, ht::op::equal, false, false)), 4);
    EXPECT_EQ(position(blk, ht::find(table, &i, 0, 1, ht::op::equal, false, false)), 2);

    // A length-limited string finds a string key by its prefix.
    append(blk, string_cell(U"pre"));
    append(blk, cell::integer(6));
    ht::put(table, at(blk, 8));
    Cell limited = string_cell(U"PREFIX", ht::limited_string);
    limited.data3 = 3;
    EXPECT_EQ(position(blk, ht::find(table, &limited, 0, 1, ht::op::equal, false, false)), 8);
}

namespace {
Cell held_during_hook;
i32 hooks_seen;
void recording_hook(Node block, i32 index) {
    held_during_hook = *(oru::stack::top - 1);
    const Cell* key = reinterpret_cast<const Cell*>(memory::buffer(block)->data()) + index;
    if (++hooks_seen == 3 && key->data2 == 99) throw SystemThrow{0x7FFFFFFB};  // as an exit passing through
}
}  // namespace

TEST_F(HashTables, IndexingABlockKeepsTheTableOnTheDataStack) {
    // While a new map! indexes its block (the key hook may allocate), the
    // data stack holds a map! value naming the table, so a collection keeps
    // the table; the cell goes away afterwards. When a throw passes, the
    // catch point resets the stack, not the holder (an error cell may lie above).
    stack::init(memory::alloc_fixed_series(stack::data_cells, 16, 0),
                memory::alloc_fixed_series(stack::frame_block_cells, 16, 0));
    Cell* top = stack::top;
    ht::set_map_key_hook(recording_hook);
    Node blk = memory::alloc_cells(0);
    for (i32 v : {1, 10, 2, 20, 3, 30}) append(blk, cell::integer(v));
    Cell m = cell::make(type::map, 0, blk, 0);
    hooks_seen = 0;
    Node table = ht::init(4, &m, ht::kind::map, 0);
    EXPECT_EQ(hooks_seen, 3);
    EXPECT_EQ(cell::type_of(held_during_hook), type::map);
    EXPECT_EQ(held_during_hook.data2, blk);
    EXPECT_EQ(held_during_hook.data3, table);
    EXPECT_EQ(stack::top, top);

    Node failing = memory::alloc_cells(0);
    for (i32 v : {1, 10, 2, 20, 99, 30}) append(failing, cell::integer(v));
    Cell f = cell::make(type::map, 0, failing, 0);
    hooks_seen = 0;
    EXPECT_THROW(ht::init(4, &f, ht::kind::map, 0), SystemThrow);
    EXPECT_GT(stack::top, top) << "a passing throw leaves the top to the catch point";
    stack::top = top;  // what a catch point does
    ht::set_map_key_hook(nullptr);

    // A hash! is held the same way, as a hash! value.
    Node items = memory::alloc_cells(0);
    for (i32 v : {5, 6, 5}) append(items, cell::integer(v));
    Cell h = cell::make(type::hash, 0, items, 0);
    Node index = ht::init(3, &h, ht::kind::hash, 0);
    EXPECT_EQ(stack::top, top);
    EXPECT_EQ(cell::type_of(*top), type::hash) << "the cell it used";
    EXPECT_EQ(top->data3, index);
    stack::shutdown();
}

// --- Kind 2: context word lists ---------------------------------------------

TEST_F(HashTables, WordListMatchesOracle) {
    std::mt19937 rng(99);
    std::vector<i32> syms;
    for (i32 i = 0; i < 700; i++) {
        std::string name = "w" + std::to_string(i % 350);
        if (i >= 350) name[0] = 'W';  // case variants of the first half
        syms.push_back(symbol::make(name.c_str()));
    }
    constexpr Node context = 4321;
    Node table = ht::init(1, nullptr, ht::kind::symbols, 2);
    std::unordered_map<i32, i32> slots;  // symbol -> slot
    std::vector<i32> order;

    for (int step = 0; step < 5000; step++) {
        i32 sym = syms[rng() % syms.size()];
        u32 r = rng() % 3;
        if (r == 0) {
            i32 slot = -2;
            i32 result = ht::find_word(table, sym, false, context, &slot);
            auto it = slots.find(sym);
            if (it != slots.end()) {
                ASSERT_EQ(result, it->second);
                ASSERT_EQ(slot, it->second);
            } else {
                ASSERT_EQ(result, -1) << "added";
                ASSERT_EQ(slot, static_cast<i32>(order.size()));
                slots[sym] = slot;
                order.push_back(sym);
            }
        } else if (r == 1) {
            auto it = slots.find(sym);
            ASSERT_EQ(ht::find_word(table, sym, false, 0, nullptr), it == slots.end() ? -1 : it->second);
        } else {
            i32 got = ht::find_word(table, sym, true, 0, nullptr);
            bool any = false;
            for (i32 s : order) any |= symbol::canonical(s) == symbol::canonical(sym);
            ASSERT_EQ(got >= 0, any);
            if (got >= 0) { ASSERT_EQ(symbol::canonical(order[got]), symbol::canonical(sym)); }
        }
    }
    ASSERT_EQ(rec(table)->size, static_cast<i32>(order.size()));
    EXPECT_GT(rec(table)->capacity, 16) << "the word list grew in place";
    Node words = static_cast<Node>(rec(table)->block);
    ASSERT_EQ(length(words), static_cast<i32>(order.size()));
    for (i32 i = 0; i < length(words); i++) {
        const Cell& w = *at(words, i);
        ASSERT_EQ(w.header, type::word);
        ASSERT_EQ(w.data1, context);
        ASSERT_EQ(static_cast<i32>(w.data2), order[i]);
        ASSERT_EQ(static_cast<i32>(w.data3), i);
    }
}

TEST_F(HashTables, ContextWordListsCopyAndLookUpThroughTheContext) {
    Node source = ht::init(4, nullptr, ht::kind::symbols, 2);
    i32 slot;
    for (const char* n : {"one", "two", "three"}) ht::find_word(source, symbol::make(n), false, 77, &slot);
    Node ctx = memory::alloc_cells(2);
    *memory::alloc_tail(ctx) = cell::make(type::context, source, 0, 0);
    *memory::alloc_tail(ctx) = cell::make(type::unset);

    EXPECT_EQ(static_cast<i32>(ht::block_cell(ctx, 1)->data2), symbol::make("two"));
    EXPECT_EQ(ht::get_block(ctx), static_cast<Node>(rec(source)->block));
    EXPECT_EQ(ht::flags(ctx), static_cast<Node>(rec(source)->flags));

    // A new context's list starts as a copy of another's.
    Cell c = cell::make(type::context, source, 0, 0);
    Node copied = ht::init(3, &c, ht::kind::symbols, 2);
    EXPECT_NE(rec(copied)->block, rec(source)->block);
    ht::find_word(copied, symbol::make("four"), false, 78, &slot);
    EXPECT_EQ(slot, 3);
    EXPECT_EQ(ht::find_word(source, symbol::make("four"), false, 0, nullptr), -1);
    EXPECT_EQ(ht::find_word(copied, symbol::make("THREE"), true, 0, nullptr), 2);
    EXPECT_EQ(ht::find_word(copied, symbol::make("THREE"), false, 0, nullptr), -1);
}
