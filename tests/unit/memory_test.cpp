// Memory manager: buffer sizes and placement, the big-buffer and frame
// thresholds, node reuse, growth and copies.
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/system.h"

#include <gtest/gtest.h>

using namespace oru;

namespace {

class Memory : public ::testing::Test {
protected:
    void SetUp() override { memory::init(); }
    void TearDown() override { memory::release_all(); }
};

bool is_big(Node n) { return memory::buffer(n)->flags & sflag::big; }

}  // namespace

TEST_F(Memory, ZeroRequestsGiveTheMinimumSizes) {
    struct Case {
        Node n;
        i32 size;
        u32 unit;
    } cases[] = {
        {memory::alloc_cells(0), 0, 16},
        {memory::alloc_bytes(0), 16, 1},
        {memory::alloc_codepoints(0, 1), 16, 1},
        {memory::alloc_codepoints(0, 2), 16, 2},
        {memory::alloc_codepoints(0, 4), 16, 4},
        {memory::alloc_series(3, 1, 0), 16, 1},
        {memory::alloc_series(17, 1, 0), 32, 1},
        {memory::alloc_cells(5), 80, 16},
    };
    for (const Case& c : cases) {
        SeriesBuffer* s = memory::buffer(c.n);
        EXPECT_EQ(s->size, c.size);
        EXPECT_EQ(s->unit(), c.unit);
        EXPECT_EQ(s->node, c.n);
        EXPECT_EQ(s->head, 0u);
        EXPECT_EQ(s->tail, 0u);
        EXPECT_EQ(s->flags & (sflag::in_use | sflag::allocated), sflag::in_use | sflag::allocated);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(s->data()) % 8, 0u) << "cell data must stay 8-aligned";
    }
}

TEST_F(Memory, OffsetMinusOnePlacesTheHeadMidBuffer) {
    SeriesBuffer* s = memory::buffer(memory::alloc_series(8, 16, -1));
    EXPECT_EQ(s->size, 128);
    EXPECT_EQ(s->head, 64u);
    EXPECT_EQ(s->tail, 64u);
    EXPECT_TRUE(s->flags & sflag::mid_head);
}

TEST_F(Memory, BigBufferThreshold) {
    // Need = size + 24: 2 MiB - 32 bytes still fits a frame, 2 MiB - 16 does not.
    Node in_frame = memory::alloc_series(0x200000 - 32, 1, 0);
    Node big = memory::alloc_series(0x200000 - 16, 1, 0);
    EXPECT_FALSE(is_big(in_frame));
    EXPECT_TRUE(is_big(big));
    EXPECT_EQ(memory::buffer(big)->size, 0x200000 - 16);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(memory::buffer(big)->data()) % 16, 0u);
    // The big buffer is in the big list, not in any frame.
    ASSERT_NE(memory::record.b_head, nullptr);
    EXPECT_EQ(memory::record.b_head->buffer(), memory::buffer(big));
}

TEST_F(Memory, FramesDoubleUpToTheMaximum) {
    memory::alloc_cells(1);
    ASSERT_NE(memory::record.s_head, nullptr);
    EXPECT_EQ(memory::record.s_head->size - memory::SeriesFrame::header_size(), 0x100000u);
    EXPECT_EQ(memory::record.s_size, 0x200000u);
    memory::SeriesFrame* f = memory::new_series_frame();
    EXPECT_EQ(f->size - memory::SeriesFrame::header_size(), 0x200000u);
    EXPECT_EQ(memory::record.s_size, 0x200000u);
    // The frame list stays sorted by address.
    for (memory::SeriesFrame* g = memory::record.s_head; g && g->next; g = g->next) EXPECT_LT(g, g->next);
}

TEST_F(Memory, NodesAreReusedAfterFree) {
    Node a = memory::alloc_node();
    Node b = memory::alloc_node();
    EXPECT_NE(a, 0u);
    EXPECT_NE(a, b);
    memory::NodeFrame* f = &memory::node_frames[memory::frame_number(a)];
    u32 used = f->used;
    memory::free_node(f, a);
    EXPECT_EQ(f->used, used - 1);
    EXPECT_EQ(memory::alloc_node(), a);
}

TEST_F(Memory, NodeFramesHoldTenThousandNodes) {
    memory::alloc_node();
    memory::NodeFrame* first = memory::record.n_head;
    for (u32 i = 1; i < memory::node_frame_capacity; i++) memory::alloc_node();
    EXPECT_EQ(first->used, memory::node_frame_capacity);
    EXPECT_EQ(first->free, 0u);
    Node next = memory::alloc_node();
    EXPECT_NE(memory::frame_number(next), first->number);
    EXPECT_EQ(memory::record.n_tail->used, 1u);
}

TEST_F(Memory, ExpansionMovesTheBufferAndFollowsTheNode) {
    Node n = memory::alloc_bytes(16);
    u8* p = memory::reserve_bytes(n, 5);
    std::memcpy(p, "hello", 5);
    SeriesBuffer* old = memory::buffer(n);
    SeriesBuffer* fresh = memory::expand_series_copy(old, 0);
    EXPECT_NE(fresh, old);
    EXPECT_EQ(memory::buffer(n), fresh);
    EXPECT_EQ(fresh->size, 32);
    EXPECT_EQ(fresh->node, n);
    EXPECT_EQ(fresh->length(), 5u);
    EXPECT_EQ(std::memcmp(fresh->head_ptr(), "hello", 5), 0);
    EXPECT_EQ(old->node, 0u);
    EXPECT_FALSE(old->flags & sflag::in_use);
}

TEST_F(Memory, ExpansionSizes) {
    Node n = memory::alloc_cells(2);
    SeriesBuffer* s = memory::expand_series(memory::buffer(n), 100);
    EXPECT_EQ(s->size, 112);
    EXPECT_EQ(s->unit(), 16u);
    oru::pending_error = {};
    EXPECT_THROW(memory::expand_series(memory::buffer(n), -5), SystemThrow);
    EXPECT_EQ(pending_error.id, ErrorId::internal_no_memory);
}

TEST_F(Memory, ExpansionFilledFillsTheNewPart) {
    Node n = memory::alloc_bytes_filled(16, 0xAB);
    SeriesBuffer* s = memory::expand_series_filled(memory::buffer(n), 48, 0x5A);
    for (int i = 0; i < 16; i++) EXPECT_EQ(s->data()[i], 0xAB);
    for (int i = 16; i < 48; i++) EXPECT_EQ(s->data()[i], 0x5A);
}

TEST_F(Memory, TailAppendsGrowByDoubling) {
    Node blk = memory::alloc_cells(1);
    for (u32 i = 0; i < 1000; i++) memory::alloc_tail(blk)->data2 = i;
    SeriesBuffer* s = memory::buffer(blk);
    EXPECT_EQ(s->length(), 1000u);
    EXPECT_EQ(s->size, 16 * 1024);
    for (u32 i = 0; i < 1000; i++) {
        EXPECT_EQ(s->cells()[i].header, type::unset);
        EXPECT_EQ(s->cells()[i].data2, i);
    }
}

TEST_F(Memory, ReserveBytesGrowsEnough) {
    Node n = memory::alloc_bytes(16);
    memory::reserve_bytes(n, 10);
    u8* p = memory::reserve_bytes(n, 100);  // more than the old size: 2 x 100
    EXPECT_EQ(memory::buffer(n)->size, 208);
    EXPECT_EQ(p, memory::buffer(n)->data() + 10);
    EXPECT_EQ(memory::buffer(n)->length(), 110u);
}

TEST_F(Memory, CopiesKeepContentsAndFlags) {
    Node n = memory::alloc_codepoints(8, 2);
    u8* p = memory::reserve_bytes(n, 8);
    for (int i = 0; i < 8; i++) p[i] = static_cast<u8>('a' + i);
    memory::set_buffer_flag(n, sflag::owned);
    Node whole = memory::copy_series_buffer(memory::buffer(n));
    SeriesBuffer* w = memory::buffer(whole);
    EXPECT_EQ(w->node, whole);
    EXPECT_EQ(w->unit(), 2u);
    EXPECT_EQ(w->length(), 4u);
    EXPECT_EQ(std::memcmp(w->head_ptr(), "abcdefgh", 8), 0);
    Node part = memory::copy_series_part(n, 1, 2);
    SeriesBuffer* q = memory::buffer(part);
    EXPECT_EQ(q->unit(), 2u);
    EXPECT_EQ(q->length(), 2u);
    EXPECT_EQ(std::memcmp(q->head_ptr(), "cdef", 4), 0);
    EXPECT_FALSE(q->flags & sflag::owned);
    // A part past the end is clamped to what is there.
    EXPECT_EQ(memory::buffer(memory::copy_series_part(n, 3, 10))->length(), 1u);
}

TEST_F(Memory, CellsUnsetAndFixedSeries) {
    SeriesBuffer* s = memory::buffer(memory::alloc_cells_unset(3));
    auto* c = reinterpret_cast<Cell*>(s->data());
    for (int i = 0; i < 3; i++) EXPECT_EQ(c[i].header, type::unset);
    Node f = memory::alloc_fixed_series(4, 16, 0);
    EXPECT_TRUE(memory::buffer(f)->flags & sflag::fixed);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(memory::buffer(f)->data()) % 16, 0u);
}

TEST_F(Memory, OsBlocksAreCountedInTheTotal) {
    u64 before = memory::record.total;
    void* p = memory::allocate_os_block(10);
    EXPECT_EQ(memory::record.total, before + 4096);
    memory::free_os_block(p);
    EXPECT_EQ(memory::record.total, before);
}
