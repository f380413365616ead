// Ownership tracking: binding walks, cycles, first owner wins, weak owners.
#include "interpreter/stack.h"
#include "runtime/collector.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/object.h"
#include "runtime/memory.h"
#include "runtime/ownership.h"
#include "runtime/runtime.h"

#include <gtest/gtest.h>

using namespace oru;

namespace {

class Ownership : public ::testing::Test {
protected:
    void SetUp() override {
        runtime_init();
        collector::init();
        ownership::init();
    }
    void TearDown() override { runtime_shutdown(); }
};

Cell new_object() { return object::make_cell(context::create(1, false, true, 0, context::kind::object), 0, 0); }
Cell block_of(Node n) { return cell::make(type::block, 0, n, 0); }

TEST_F(Ownership, CyclicBlocksBindAndUnbindAndTheFirstOwnerWins) {
    Cell* first = stack::push(new_object());
    Cell* second = stack::push(new_object());
    Node outer = memory::alloc_cells(4);
    Node inner = memory::alloc_cells(4);
    *memory::alloc_tail(outer) = block_of(inner);
    *memory::alloc_tail(inner) = block_of(outer);  // a cycle
    Cell* blk = stack::push(block_of(outer));
    Cell word = stack::word(1);
    ownership::set(*blk, *first, word);
    ownership::set(*blk, *second, word);
    ASSERT_NE(ownership::owner_of(inner), nullptr);
    EXPECT_EQ(ownership::owner_of(inner)->data1, first->data1);
    EXPECT_TRUE(memory::buffer(inner)->flags & sflag::owned);
    ownership::unbind(*blk);
    EXPECT_EQ(ownership::owner_of(outer), nullptr);
    EXPECT_EQ(ownership::owner_of(inner), nullptr);
    EXPECT_FALSE(memory::buffer(inner)->flags & sflag::owned);
}

TEST_F(Ownership, RecordsOfADeadOwnerAreDroppedByTheCollector) {
    Cell owner = new_object();
    Node owned = memory::alloc_cells(2);
    Cell* blk = stack::push(block_of(owned));
    ownership::bind(*blk, owner, stack::word(1));
    ASSERT_NE(ownership::owner_of(owned), nullptr);
    collector::recycle();  // the owner is held weakly: nothing else refers to it
    EXPECT_EQ(ownership::owner_of(blk->data2), nullptr);
    EXPECT_EQ(ownership::check(*blk, stack::word(1), nullptr, 0, 1), 0);
    // The buffer is free to be owned again: its owned flag went with the record.
    EXPECT_FALSE(memory::buffer(blk->data2)->flags & sflag::owned);
    Cell* next = stack::push(new_object());
    ownership::bind(*blk, *next, stack::word(1));
    ASSERT_NE(ownership::owner_of(blk->data2), nullptr);
    EXPECT_EQ(ownership::owner_of(blk->data2)->data1, next->data1);
}

}  // namespace
