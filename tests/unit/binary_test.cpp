// binary!'s primitives for other modules: the byte writers (growing, with
// the tail rules of insert and overwrite), the match tests of find and parse
// (never reading past the tail), and values made into a block.
#include "interpreter/actions.h"
#include "interpreter/stack.h"
#include "runtime/datatypes/binary.h"
#include "runtime/datatypes/bitset.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/string.h"
#include "runtime/memory.h"
#include "runtime/runtime.h"

#include "support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace oru;

namespace {

using Bytes = std::vector<u8>;

class Binary : public ::testing::Test {
protected:
    void SetUp() override {
        runtime_init();
        saved = stack::top;
    }
    void TearDown() override {
        stack::top = saved;
        runtime_shutdown();
    }

    static Cell* make(const Bytes& b) { return binary::load_in(b.data(), static_cast<i32>(b.size()), nullptr); }
    static Bytes bytes(const Cell& bin) { return Bytes(binary::rs_head(bin), binary::rs_tail(bin)); }
    static Cell* text(const char* s) {
        Cell* c = stack::push();
        string::make_at(*c, 16);
        string::concatenate_literal(*c, s);
        return c;
    }

    Cell* saved = nullptr;
};

TEST_F(Binary, WritersGrowAndKeepTheTailRules) {
    Cell* b = make({1, 2, 3});
    b->data1 = 1;  // offsets count from the head
    const Bytes long_run(100, 7);
    binary::rs_insert(*b, 1, long_run.data(), 100);
    EXPECT_EQ(binary::rs_length_q(*b), 102);
    EXPECT_EQ(binary::rs_abs_at(*b, 1), 2);
    EXPECT_EQ(binary::rs_abs_at(*b, 2), 7);
    EXPECT_EQ(binary::rs_abs_at(*b, 102), 3);
    const u8 two[] = {9, 9};
    binary::rs_overwrite(*b, 0, two, 2);  // inside: the tail stays
    EXPECT_EQ(binary::rs_length_q(*b), 102);
    binary::rs_overwrite(*b, 101, two, 2);  // past the end: the tail follows
    EXPECT_EQ(binary::rs_length_q(*b), 103);
    binary::rs_append(*b, two, 1);
    EXPECT_EQ(binary::rs_abs_at(*b, 104), 9);
    EXPECT_EQ(test::error_unrolled([&] { binary::rs_abs_at(*b, 105); }), ErrorId::script_out_of_range);
    binary::rs_clear(*b);
    EXPECT_EQ(binary::rs_length_q(*b), 0);
    EXPECT_EQ(binary::rs_abs_at(*b, 0), 1);  // the byte before the head stays
}

TEST_F(Binary, MatchesAtTheHead) {
    Cell* b = make({'a', 'b', 'c'});
    Cell* ab = make({'a', 'b'});
    Cell* abcd = make({'a', 'b', 'c', 'd'});
    Cell* empty = make({});
    EXPECT_TRUE(binary::match_q(*b, *ab, actions::op::equal));
    EXPECT_FALSE(binary::match_q(*b, *abcd, actions::op::equal));  // longer than what is left
    EXPECT_TRUE(binary::match_q(*b, *text("ab"), actions::op::equal));
    EXPECT_TRUE(binary::match_q(*b, cell::make(type::char_, 0, 'a'), actions::op::equal));
    EXPECT_TRUE(binary::match_q(*b, cell::integer('a'), actions::op::equal));
    EXPECT_FALSE(binary::match_q(*b, cell::float_(97.0), actions::op::equal));
    EXPECT_EQ(binary::compare_bytes(*b, *empty, actions::op::equal, true), 0);
    EXPECT_EQ(binary::compare_bytes(*b, *empty, actions::op::not_equal, true), 1);
    EXPECT_EQ(binary::compare_bytes(*b, *ab, actions::op::equal, false), 1);  // lengths differ
    EXPECT_EQ(binary::compare_bytes(*b, *ab, actions::op::lesser, false), 1);
    EXPECT_EQ(binary::compare_bytes(*b, cell::integer(1), actions::op::equal, false), -2);
    b->data1 = 3;  // at the tail nothing matches a byte
    EXPECT_FALSE(binary::match_q(*b, cell::integer(0), actions::op::equal));

    // A bitset of 'a' (byte 12, bit 0x40) and 'c': bytes past its end answer
    // its complement flag.
    Bytes bits(13, 0);
    bits[12] = 0x40 | 0x10;
    Cell* set = make(bits);
    set->header = type::bitset;
    b->data1 = 0;
    EXPECT_TRUE(binary::match_bitset_q(*b, *set));
    b->data1 = 1;
    EXPECT_FALSE(binary::match_bitset_q(*b, *set));
    Cell* high = make({0xF0});
    EXPECT_FALSE(binary::match_bitset_q(*high, *set));
    memory::buffer(cell::node(*set))->flags |= bitset::complement_flag;
    EXPECT_TRUE(binary::match_bitset_q(*high, *set));
}

TEST_F(Binary, MakesValuesInABlock) {
    Cell* blk = stack::push();
    block::make_at(*blk, 1);
    const u8 data[] = {5, 6};
    binary::load_in(data, 2, blk);
    binary::make_in(*blk, 64);
    ASSERT_EQ(block::rs_length_q(*blk), 2);
    EXPECT_EQ(bytes(*block::rs_abs_at(*blk, 0)), (Bytes{5, 6}));
    const Cell made = *block::rs_abs_at(*blk, 1);
    EXPECT_EQ(cell::type_of(made), type::binary);
    EXPECT_EQ(binary::rs_length_q(made), 0);
    EXPECT_GE(memory::buffer(cell::node(made))->size, 64);
}

}  // namespace
