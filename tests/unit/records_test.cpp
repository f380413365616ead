// Record tables and the node remap map: each against a standard-library
// oracle under random puts, lookups and deletes with growth, then the edge
// cases: record reuse, the same-capacity rebuild, keys that node compaction
// moved, reset, the ownership sweep and marking, and a remap map that may
// not grow.
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/records.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/system.h"
#include "runtime/unicode.h"

#include "support.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <unordered_map>
#include <vector>

using namespace oru;
namespace ht = oru::hashtable;

namespace {

class Records : public ::testing::Test {
protected:
    void SetUp() override {
        test::start_symbols();
    }
    void TearDown() override { memory::release_all(); }
};

ht::Table* rec(Node table) { return ht::record(table); }

// Makes the table look built before the last collection.
void age(Node table) { rec(table)->stamp += 1; }

i32 records_in_block(Node table) {
    return static_cast<i32>(memory::buffer(static_cast<Node>(rec(table)->block))->tail) / rec(table)->slots;
}

}  // namespace

TEST_F(Records, PointerRecordsMatchOracle) {
    std::mt19937 rng(31337);
    Node table = ht::init(4, nullptr, ht::kind::pointer, 2);
    std::unordered_map<u32, u32> model;
    for (int step = 0; step < 20000; step++) {
        u32 key = 1 + rng() % 600;
        u32 r = rng() % 10;
        if (r < 4) {
            Cell* v = ht::put_ptr(table, key);
            ASSERT_EQ(v[-1].header, type::unset) << "the key cell of a live record";
            ASSERT_EQ(v[-1].data1, key);
            ASSERT_EQ(v[0].header, type::unset);
            ASSERT_EQ(v[1].header, type::unset);
            u32 value = rng();
            v[0] = cell::make(type::integer, 0, value);
            v[1] = cell::make(type::integer, 0, ~value);
            model[key] = value;
        } else if (r < 6) {
            Cell* v = ht::delete_ptr(table, key);
            ASSERT_EQ(v != nullptr, model.erase(key) == 1);
            if (v) {
                ASSERT_EQ(v[-1].header, 0u) << "a deleted record's key cell";
            }
        } else {
            Cell* v = ht::get_ptr(table, key);
            auto it = model.find(key);
            ASSERT_EQ(v != nullptr, it != model.end()) << "step " << step;
            if (v) {
                ASSERT_EQ(v[0].data2, it->second);
                ASSERT_EQ(v[1].data2, ~it->second);
            }
        }
        if (step % 1000 == 999) age(table);  // the next access re-inserts every record
        ASSERT_EQ(rec(table)->size, static_cast<i32>(model.size()));
        ASSERT_LT(rec(table)->occupied, rec(table)->capacity);
    }
    EXPECT_GE(rec(table)->capacity, 512);
    for (auto& [key, value] : model) {
        Cell* v = ht::get_ptr(table, key);
        ASSERT_NE(v, nullptr);
        EXPECT_EQ(v[0].data2, value);
    }
}

TEST_F(Records, ADeletedKeyReusesItsRecord) {
    Node table = ht::init(16, nullptr, ht::kind::pointer, 1);
    ht::put_ptr(table, 10)[0] = cell::integer(1);
    ht::put_ptr(table, 20)[0] = cell::integer(2);
    i32 before = records_in_block(table);
    Cell* first = ht::delete_ptr(table, 10);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(ht::get_ptr(table, 10), nullptr);
    EXPECT_EQ(ht::delete_ptr(table, 10), nullptr);
    Cell* again = ht::put_ptr(table, 10);
    EXPECT_EQ(again, first) << "the same record slot";
    EXPECT_EQ(again[0].header, type::unset) << "its values come back unset";
    EXPECT_EQ(records_in_block(table), before);
    EXPECT_EQ(ht::get_ptr(table, 20)[0].data2, 2u);
    EXPECT_EQ(ht::put_ptr(table, 20)[0].header, type::unset) << "every put hands back unset values";
}

TEST_F(Records, AFullTableOfDeletedRecordsIsRebuiltAtTheSameCapacity) {
    Node table = ht::init(4, nullptr, ht::kind::pointer, 1);
    ASSERT_EQ(rec(table)->capacity, 8);
    ASSERT_EQ(rec(table)->limit, 6);
    for (u32 k = 1; k <= 6; k++) ht::put_ptr(table, k * 7)[0] = cell::integer(static_cast<i32>(k));
    for (u32 k = 1; k <= 5; k++) ht::delete_ptr(table, k * 7);
    EXPECT_EQ(rec(table)->size, 1);
    EXPECT_EQ(rec(table)->occupied, 6);
    ht::put_ptr(table, 100)[0] = cell::integer(100);
    EXPECT_EQ(rec(table)->capacity, 8) << "fewer than half live: same capacity";
    EXPECT_EQ(rec(table)->occupied, 2) << "the deleted buckets are gone";
    EXPECT_EQ(records_in_block(table), 2) << "and so are their records";
    EXPECT_EQ(ht::get_ptr(table, 42)[0].data2, 6u);
    EXPECT_EQ(ht::get_ptr(table, 100)[0].data2, 100u);
    EXPECT_EQ(ht::get_ptr(table, 7), nullptr);
}

TEST_F(Records, KeysMovedByNodeCompactionAreFoundByTheirNewNodes) {
    Node table = ht::init(8, nullptr, ht::kind::pointer, 1);
    std::vector<Node> keys;
    for (i32 i = 0; i < 12; i++) {
        keys.push_back(memory::alloc_bytes(16));
        ht::put_ptr(table, keys.back())[0] = cell::integer(i);
    }
    // Compaction moves keys[3] to a new node; marking rewrites the key.
    static Node from, to;
    from = keys[3];
    to = memory::alloc_node();
    memory::set_buffer(to, memory::buffer(from));
    static std::set<Node> marked;
    marked.clear();
    ht::MarkHooks hooks{
        [](Node* slot) {
            if (*slot == from) *slot = to;
            return marked.insert(*slot).second;
        },
        [](Cell*, Cell*) {},
    };
    Node root = table;
    ht::mark(&root, hooks);
    EXPECT_TRUE(marked.count(to));
    EXPECT_TRUE(marked.count(keys[7])) << "every live record's key";
    age(table);  // the collection completed

    Cell* v = ht::get_ptr(table, to);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v[0].data2, 3u);
    EXPECT_EQ(ht::get_ptr(table, from), nullptr);
    EXPECT_EQ(ht::get_ptr(table, keys[11])[0].data2, 11u);
}

TEST_F(Records, ResetRecordsStayGoneAfterACollection) {
    Node table = ht::init(8, nullptr, ht::kind::pointer, 0);
    for (u32 k = 1; k <= 5; k++) ht::put_ptr(table, k);
    ht::reset(table);
    EXPECT_EQ(rec(table)->size, 0);
    age(table);
    EXPECT_EQ(ht::get_ptr(table, 3), nullptr) << "a re-insertion must not bring them back";
    EXPECT_EQ(rec(table)->size, 0);
    ht::put_ptr(table, 3);
    EXPECT_NE(ht::get_ptr(table, 3), nullptr);
}

TEST_F(Records, TheOwnershipSweepDropsRecordsOfDeadOwnersAndKeys) {
    // Records of four cells: key, owned value, owner object, field word.
    Node table = ht::init(1000, nullptr, ht::kind::ownership, 3);
    struct Case {
        bool key_alive, owner_alive, kept;
    } cases[] = {{true, true, true}, {true, false, false}, {false, true, false}, {false, false, false}};
    std::vector<Node> keys, owners;
    for (const Case& c : cases) {
        keys.push_back(memory::alloc_cells(1));
        owners.push_back(memory::alloc_cells(2));
        Cell* v = ht::put_ptr(table, keys.back());
        v[0] = cell::make(type::block, 0, keys.back(), 0);
        v[1] = cell::make(type::object, owners.back(), 0, 0);
        v[2] = cell::make(type::word, owners.back(), 1, 0);
        if (c.key_alive) memory::set_buffer_flag(keys.back(), sflag::mark);
        if (c.owner_alive) memory::set_buffer_flag(owners.back(), sflag::mark);
    }
    // Marking holds the owned values and leaves owners to their own roots.
    static std::vector<std::pair<Cell*, Cell*>> ranges;
    ranges.clear();
    ht::MarkHooks hooks{[](Node*) { return true; },
                        [](Cell* a, Cell* b) { ranges.emplace_back(a, b); }};
    Node root = table;
    ht::mark(&root, hooks);
    i32 owned = 0;
    for (auto& [a, b] : ranges)
        for (Cell* c = a; c < b; c++) {
            EXPECT_EQ(cell::type_of(*c), type::block) << "never the owner or its word";
            owned++;
        }
    EXPECT_EQ(owned, 4);

    ht::sweep(table);
    EXPECT_EQ(rec(table)->size, 1);
    for (size_t i = 0; i < std::size(cases); i++) {
        EXPECT_EQ(ht::get_ptr(table, keys[i]) != nullptr, cases[i].kept) << i;
    }
}

TEST_F(Records, OwnershipRecordsMatchOracleThroughSweeps) {
    // Random puts, deletes and lookups on an ownership table, with growth,
    // re-insertion after a collection, and sweeps that drop the records whose
    // owned node or owner died; the oracle drops the same ones.
    std::mt19937 rng(8086);
    Node table = ht::init(4, nullptr, ht::kind::ownership, 3);
    std::vector<Node> keys, owners;
    for (i32 i = 0; i < 400; i++) keys.push_back(memory::alloc_bytes(16));
    for (i32 i = 0; i < 20; i++) owners.push_back(memory::alloc_cells(2));
    struct Owned {
        i32 owner;
        u32 tag;
    };
    std::unordered_map<Node, Owned> model;
    auto mark = [](Node n, bool on) {
        SeriesBuffer* s = memory::buffer(n);
        s->flags = on ? s->flags | sflag::mark : s->flags & ~sflag::mark;
    };
    i32 sweeps = 0, swept = 0;
    for (int step = 0; step < 20000; step++) {
        Node key = keys[rng() % keys.size()];
        u32 r = rng() % 100;
        if (r < 40) {
            i32 o = static_cast<i32>(rng() % owners.size());
            u32 tag = rng();
            Cell* v = ht::put_ptr(table, key);
            for (i32 i = -1; i < 3; i++) ASSERT_EQ(v[i].header, type::unset) << "every cell of a put record";
            ASSERT_EQ(v[-1].data1, key);
            v[0] = cell::make(type::block, 0, key, tag);
            v[1] = cell::make(type::object, owners[o], 0, 0);
            v[2] = cell::make(type::word, owners[o], 1, 0);
            model[key] = {o, tag};
        } else if (r < 55) {
            Cell* v = ht::delete_ptr(table, key);
            ASSERT_EQ(v != nullptr, model.erase(key) == 1);
            if (v) { ASSERT_EQ(v[-1].header, 0u); }
        } else if (r < 99) {
            Cell* v = ht::get_ptr(table, key);
            auto it = model.find(key);
            ASSERT_EQ(v != nullptr, it != model.end()) << "step " << step;
            if (v) {
                ASSERT_EQ(v[0].data3, it->second.tag);
                ASSERT_EQ(v[1].data1, owners[it->second.owner]);
            }
        } else {
            // A collection: a random part of the keys and owners survived.
            std::set<Node> alive;
            for (Node k : keys)
                if (rng() % 4) alive.insert(k);
            for (Node o : owners)
                if (rng() % 5) alive.insert(o);
            for (Node k : keys) mark(k, alive.count(k));
            for (Node o : owners) mark(o, alive.count(o));
            ht::sweep(table);
            for (auto it = model.begin(); it != model.end();) {
                bool dead = !alive.count(it->first) || !alive.count(owners[it->second.owner]);
                if (dead) swept++;
                it = dead ? model.erase(it) : std::next(it);
            }
            for (Node k : keys) mark(k, false);
            for (Node o : owners) mark(o, false);
            sweeps++;
            age(table);  // the next access re-inserts the records left
        }
        ASSERT_EQ(rec(table)->size, static_cast<i32>(model.size()));
        ASSERT_LT(rec(table)->occupied, rec(table)->capacity);
    }
    EXPECT_GT(sweeps, 50);
    EXPECT_GT(swept, 100);
    EXPECT_GE(rec(table)->capacity, 256);
    for (Node k : keys) {
        auto it = model.find(k);
        Cell* v = ht::get_ptr(table, k);
        ASSERT_EQ(v != nullptr, it != model.end());
        if (v) { EXPECT_EQ(v[0].data3, it->second.tag); }
    }
}

// --- The node remap map ----------------------------------------------------------

TEST_F(Records, RemapMapMatchesOracle) {
    std::mt19937 rng(5);
    ptrmap::PtrMap* map = ptrmap::create(0);
    EXPECT_EQ(map->capacity, 8);
    EXPECT_EQ(map->limit, 6);
    std::unordered_map<u32, u32> model;
    for (int step = 0; step < 30000; step++) {
        u32 key = rng() % 2000;
        u32 r = rng() % 10;
        if (r < 5) {
            u32 value = rng();
            ptrmap::put(map, key, value);
            model[key] = value;
        } else if (r < 7) {
            ptrmap::delete_(map, key);
            model.erase(key);
        } else {
            u32* v = ptrmap::get(map, key);
            auto it = model.find(key);
            ASSERT_EQ(v != nullptr, it != model.end());
            ASSERT_EQ(ptrmap::find(map, key) >= 0, it != model.end());
            if (v) {
                ASSERT_EQ(*v, it->second);
            }
        }
        ASSERT_EQ(ptrmap::size_q(map), static_cast<i32>(model.size()));
    }
    std::map<u32, u32> walked;
    for (u32* p = ptrmap::next(map, nullptr); p; p = ptrmap::next(map, p)) walked[p[0]] = p[1];
    std::map<u32, u32> want(model.begin(), model.end());
    EXPECT_EQ(walked, want);
    EXPECT_GE(map->capacity, 2048);

    ptrmap::clear(map);
    EXPECT_EQ(ptrmap::size_q(map), 0);
    EXPECT_EQ(ptrmap::next(map, nullptr), nullptr);
    ptrmap::destroy(map);
}

TEST_F(Records, ARemapMapThatCannotGrowFillsItsBucketsThenRefusesNewKeys) {
    u64 saved = ptrmap::max_pair_bytes;
    ptrmap::PtrMap* map = ptrmap::create(4);
    ptrmap::max_pair_bytes = u64(map->capacity) * 8;  // the pairs may not be reallocated larger
    i32 capacity = map->capacity;
    EXPECT_EQ(ptrmap::resize(map, capacity * 2), -1);
    EXPECT_EQ(map->capacity, capacity) << "a refused resize leaves the map as it was";

    // Past the limit the map goes on taking keys until every bucket is used.
    for (u32 k = 1; k <= static_cast<u32>(capacity); k++) ptrmap::put(map, k, k * 10);
    EXPECT_EQ(map->capacity, capacity);
    EXPECT_EQ(map->size, capacity);
    for (u32 k = 1; k <= static_cast<u32>(capacity); k++) {
        ASSERT_NE(ptrmap::get(map, k), nullptr) << k;
        EXPECT_EQ(*ptrmap::get(map, k), k * 10);
    }

    // Full: a new key is refused and overwrites nothing.
    EXPECT_THROW(ptrmap::put(map, 1000, 1), SystemThrow);
    EXPECT_EQ(pending_error.id, ErrorId::internal_no_memory);
    EXPECT_EQ(map->size, capacity);
    EXPECT_EQ(ptrmap::get(map, 1000), nullptr);
    for (u32 k = 1; k <= static_cast<u32>(capacity); k++) EXPECT_EQ(*ptrmap::get(map, k), k * 10) << k;
    ptrmap::put(map, 2, 99);  // an existing key still takes its new value
    EXPECT_EQ(*ptrmap::get(map, 2), 99u);

    // A deleted bucket takes the next new key.
    ptrmap::delete_(map, 3);
    ptrmap::put(map, 1000, 1);
    EXPECT_EQ(*ptrmap::get(map, 1000), 1u);
    EXPECT_EQ(ptrmap::get(map, 3), nullptr);
    EXPECT_EQ(map->size, capacity);

    ptrmap::max_pair_bytes = saved;
    ptrmap::put(map, 2000, 2);
    EXPECT_GT(map->capacity, capacity);
    EXPECT_EQ(*ptrmap::get(map, 2000), 2u);
    for (u32 k : {1u, 2u, 4u, 1000u}) EXPECT_NE(ptrmap::get(map, k), nullptr) << k;
    ptrmap::destroy(map);
}
