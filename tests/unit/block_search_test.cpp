// Block searching and set operations where a script cannot reach yet: a
// hash! (made here over a block, as the hash! module will make it) answers
// find and select through its index exactly as a scan of the same cells
// does, its index follows put, survives a collection, and a set operation
// with a hash! first set gives a hash! with an index of its own.
#include "boot/boot.h"
#include "interpreter/actions.h"
#include "interpreter/evaluator.h"
#include "interpreter/stack.h"
#include "runtime/collector.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/hashtable.h"
#include "runtime/runtime.h"
#include "runtime/system.h"
#include "support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace oru;

namespace {

class BlockSearch : public ::testing::Test {
public:
    void SetUp() override {
        runtime_init();
        interpreter::init();
        boot::define_base();
        stack::push(none::value);
        stack::mark_native(stack::word(0));
        stack::push(none::value);
    }
    void TearDown() override { runtime_shutdown(); }

    // A hash! over a copy of the block, pushed.
    Cell* hashed(const Cell& blk) {
        Cell* h = stack::push();
        *h = *actions::copy(stack::push(blk), stack::push(none::value), nullptr, false, nullptr);
        const Node table = hashtable::init(series::abs_length_q(*h), h, hashtable::kind::hash, 0);
        h->header = type::hash;
        h->data3 = table;
        return h;
    }
};

// Where a find ended: the result's index, or -1 for none.
i32 index_of(const Cell* r) { return cell::type_of(*r) == type::none ? -1 : cell::head_index(*r); }

TEST_F(BlockSearch, HashFindAnswersAsTheScan) {
    Cell* blk = test::load(R"(a b A 1 2 "x" "X" a b 1 c "x" 2 B)");
    Cell* h = hashed(*blk);
    Cell* keys = test::load(R"(a A b B 1 2 "x" "X" c zz 3)");
    Cell two = cell::integer(2), three = cell::integer(3);
    struct Options {
        const char* name;
        bool case_, only, last, reverse, tail;
        Cell* skip;
        Cell* part;
        i32 from;
    };
    const Options options[] = {
        {"plain", false, false, false, false, false, nullptr, nullptr, 0},
        {"case", true, false, false, false, false, nullptr, nullptr, 0},
        {"only", false, true, false, false, false, nullptr, nullptr, 0},
        {"from 4", false, false, false, false, false, nullptr, nullptr, 4},
        {"skip 2", false, false, false, false, false, &two, nullptr, 0},
        {"skip 3 from 1", false, false, false, false, false, &three, nullptr, 1},
        {"last", false, false, true, false, false, nullptr, nullptr, 0},
        {"last from 5", true, false, true, false, false, nullptr, nullptr, 5},
        {"reverse from 10", false, false, false, true, false, nullptr, nullptr, 10},
        {"reverse skip 2 from 13", false, false, false, true, false, &two, nullptr, 13},
        {"reverse /part 3 from 9", false, false, false, true, false, nullptr, &three, 9},
        {"tail", false, false, false, false, true, nullptr, nullptr, 0},
        {"tail skip 2", false, false, false, false, true, &two, nullptr, 0},
        {"part 3 from 2", false, false, false, false, false, nullptr, &three, 2},
    };
    i32 found = 0, missed = 0;
    for (i32 k = 0; k < series::abs_length_q(*keys); k++) {
        const Cell key = test::value_at(*keys, k);
        for (const Options& o : options) {
            stack::Mark mark;
            Cell* b = stack::push(*blk);
            Cell* hh = stack::push(*h);
            b->data1 = hh->data1 = static_cast<u32>(o.from);
            Cell* v = stack::push(key);
            const i32 scan = index_of(block::find(b, v, o.part, o.only, o.case_, false, false, nullptr, o.skip,
                                                  o.last, o.reverse, o.tail, false));
            const i32 through = index_of(block::find(hh, v, o.part, o.only, o.case_, false, false, nullptr, o.skip,
                                                     o.last, o.reverse, o.tail, false));
            EXPECT_EQ(scan, through) << "key " << k << ", " << o.name;
            (scan >= 0 ? found : missed)++;
            const Cell* s1 = block::select(b, v, o.part, o.only, o.case_, false, false, nullptr, o.skip, o.last,
                                           o.reverse);
            const Cell sel_scan = *s1;
            const Cell* s2 = block::select(hh, v, o.part, o.only, o.case_, false, false, nullptr, o.skip, o.last,
                                           o.reverse);
            EXPECT_EQ(sel_scan.header, s2->header) << "select key " << k << ", " << o.name;
            EXPECT_EQ(sel_scan.data2, s2->data2) << "select key " << k << ", " << o.name;
        }
    }
    EXPECT_GT(found, 60);
    EXPECT_GT(missed, 30);
}

// put keeps the index: new keys, replaced values and values after a
// collection (words and blocks hash by node) are all found through it.
TEST_F(BlockSearch, HashIndexFollowsPut) {
    Cell* h = hashed(*test::load("a 1 b [x]"));
    Cell key = test::value_at(*test::load("c"), 0), value = cell::integer(3);
    block::put(h, &key, &value, false);
    Cell a = test::value_at(*test::load("a"), 0), nine = cell::integer(9);
    block::put(h, &a, &nine, false);
    collector::recycle();
    Cell* r = block::select(h, &key, nullptr, false, false, false, false, nullptr, nullptr, false, false);
    EXPECT_EQ(r->data2, 3u);
    r = block::find(h, &nine, nullptr, false, false, false, false, nullptr, nullptr, false, false, false, false);
    EXPECT_EQ(index_of(r), 1);
    Cell one = cell::integer(1);
    r = block::find(h, &one, nullptr, false, false, false, false, nullptr, nullptr, false, false, false, false);
    EXPECT_EQ(index_of(r), -1) << "the replaced value left the index";
    Cell x_block = test::value_at(*h, 3);
    r = block::find(h, &x_block, nullptr, true, false, true, false, nullptr, nullptr, false, false, false, false);
    EXPECT_EQ(index_of(r), 3) << "a block found by identity after the collection";
}

// A hash! first set gives a hash! with an index of its own; a block first
// set with a hash! second gives a block!.
TEST_F(BlockSearch, SetOperationResultTypes) {
    Cell* h = hashed(*test::load("a b c a"));
    Cell* other = test::load("c d");
    test::in_frame([&] {
        stack::push(*h);
        stack::push(*other);
        Cell* r = block::do_set_op(false, 1, string::set_op::union_);
        EXPECT_EQ(cell::type_of(*r), type::hash);
        EXPECT_NE(r->data3, 0u);
        EXPECT_NE(r->data3, h->data3);
        EXPECT_EQ(series::abs_length_q(*r), 4);  // a b c d
        Cell d = test::value_at(*other, 1);
        Cell* found = block::find(r, &d, nullptr, false, false, false, false, nullptr, nullptr, false, false, false,
                                  false);
        EXPECT_EQ(index_of(found), 3);
    });
    test::in_frame([&] {
        stack::push(*other);
        stack::push(*h);
        Cell* r = block::do_set_op(false, 1, string::set_op::intersect);
        EXPECT_EQ(cell::type_of(*r), type::block);
        EXPECT_EQ(r->data3, 0u);
        EXPECT_EQ(series::abs_length_q(*r), 1);  // c
    });
}

}  // namespace
