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

int frame_count() {
    int n = 0;
    for (memory::SeriesFrame* f = memory::record.s_head; f; f = f->next) n++;
    return n;
}

// Leaves every series frame full except `room_in`, which keeps `room` bytes.
// Its end moves, not its top, so buffers stay aligned whatever the room.
void fill_frames_but(memory::SeriesFrame* room_in, i64 room) {
    for (memory::SeriesFrame* f = memory::record.s_head; f; f = f->next)
        if (f != room_in) f->top = f->end;
    room_in->end = room_in->top + room;
}

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
    // Big buffers are in the big list, in creation order, not in any frame.
    Node bigger = memory::alloc_cells(0x30000);
    ASSERT_NE(memory::record.b_head, nullptr);
    EXPECT_EQ(memory::record.b_head->buffer(), memory::buffer(big));
    ASSERT_NE(memory::record.b_head->next, nullptr);
    EXPECT_EQ(memory::record.b_head->next->buffer(), memory::buffer(bigger));
    EXPECT_EQ(memory::record.b_head->next->next, nullptr);
}

TEST_F(Memory, BuffersInAFrameFollowEachOther) {
    // The collector walks a frame from its first buffer by size + 24.
    Node nodes[] = {memory::alloc_cells(0), memory::alloc_bytes(5), memory::alloc_series(17, 1, -1),
                    memory::alloc_cells(3), memory::alloc_codepoints(3, 4)};
    u8* at = memory::record.s_head->first();
    for (Node n : nodes) {
        EXPECT_EQ(at, reinterpret_cast<u8*>(memory::buffer(n)));
        at += memory::buffer(n)->size + memory::buffer_overhead;
    }
    EXPECT_EQ(at, memory::record.s_head->top);
}

TEST_F(Memory, FrameFoundAfterACollectionNeedsRoomToSpare) {
    // Below 0xCCCC free bytes the found frame is passed over for a new one,
    // even though the request would fit.
    struct Case {
        i64 room;
        bool kept;
    } cases[] = {{0xCCCB, false}, {0xCCCC, true}, {0x10000, true}};
    for (const Case& c : cases) {
        memory::release_all();
        memory::init();
        memory::alloc_cells(1);
        memory::SeriesFrame* target = memory::record.s_head;
        fill_frames_but(target, c.room);
        int frames = frame_count();
        memory::SeriesFrame* got = memory::frame_after_collection(64 + memory::buffer_overhead);
        if (c.kept) {
            EXPECT_EQ(got, target) << c.room;
            EXPECT_EQ(frame_count(), frames);
        } else {
            EXPECT_NE(got, target) << c.room;
            EXPECT_EQ(frame_count(), frames + 1);
            EXPECT_EQ(got->top, got->first());
        }
    }
}

TEST_F(Memory, FrameFoundBeforeACollectionIsUsedWhateverItsRoom) {
    // The current frame is full; the search finds another with a little room.
    memory::alloc_cells(1);
    memory::SeriesFrame* little = memory::record.s_head;
    memory::SeriesFrame* current = memory::new_series_frame();
    memory::record.s_active = current;
    fill_frames_but(little, 0x100);
    u8* top = little->top;
    int frames = frame_count();
    SeriesBuffer* s = memory::alloc_series_buffer(16, 1, 0);
    EXPECT_EQ(reinterpret_cast<u8*>(s), top);
    EXPECT_EQ(memory::record.s_active, little);
    EXPECT_EQ(frame_count(), frames);
    // With no frame left that fits, a new frame is made.
    memory::alloc_series_buffer(0x200, 1, 0);
    EXPECT_EQ(frame_count(), frames + 1);
}

TEST_F(Memory, RequestAboveTheNextFrameSizeGetsAMaximumFrame) {
    // The next frame would be 1 MiB; a 1.5 MiB buffer needs the 2 MiB frame.
    Node n = memory::alloc_bytes(0x180000);
    EXPECT_FALSE(is_big(n));
    memory::SeriesFrame* f = memory::record.s_head;
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->size - memory::SeriesFrame::header_size(), u64{memory::max_frame_size});
    EXPECT_EQ(memory::record.s_size, memory::max_frame_size);
    EXPECT_LE(memory::buffer(n)->end_ptr(), f->end);
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

TEST_F(Memory, AfterACycleEmptyFramesBeyondTheRoomToKeepAreReleased) {
    // Eight frames (1 MiB, then 2 MiB ones) with `used` bytes in the first
    // `filled` of them, 2 MiB each past the first. Emptied frames go from the
    // highest address down while the rest keep the room (at least 8 MiB, else
    // the live size); a shortfall becomes the budget. Full frames stay.
    constexpr u64 mib = u64{1} << 20;
    struct Case {
        const char* what;
        int filled;
        int left;       // frames that stay
        u64 budget;
    } cases[] = {
        {"little live data", 1, 5, 0},         // 0.5 + 4 x 2 MiB of room left: the minimum is met
        {"live data past the minimum", 5, 8, 2 * mib},  // 8.5 MiB live, 6.5 MiB of room
        {"frames all in use", 8, 8, 14 * mib},          // 14.5 MiB live, 0.5 MiB of room
    };
    for (const Case& c : cases) {
        memory::release_all();
        memory::init();
        memory::alloc_cells(1);
        for (int i = 1; i < 8; i++) memory::new_series_frame();
        int k = 0;
        u64 live = 0;
        for (memory::SeriesFrame* f = memory::record.s_head; f; f = f->next, k++) {
            if (k >= c.filled) {
                f->top = f->first();
                continue;
            }
            u64 used = k == 0 ? 0x80000 : 2 * mib;  // the first frame half full
            f->top = f->first() + used;
            live += used;
        }
        u64 total = memory::record.total;
        EXPECT_EQ(memory::settle_series_frames(), live) << c.what;
        EXPECT_EQ(frame_count(), c.left) << c.what;
        EXPECT_EQ(memory::record.s_budget, c.budget) << c.what;
        EXPECT_LE(memory::record.total, total) << c.what;
        // What stays is the lowest frames, in order; the current frame is one of them.
        bool current_kept = false;
        for (memory::SeriesFrame* f = memory::record.s_head; f; f = f->next) {
            if (f->next) EXPECT_LT(f, f->next);
            else EXPECT_EQ(memory::record.s_tail, f);
            current_kept |= f == memory::record.s_active;
        }
        EXPECT_TRUE(current_kept) << c.what;
    }
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
    EXPECT_EQ(s->size, 112);  // whole cells, at least the bytes asked for
    EXPECT_EQ(s->unit(), 16u);
    EXPECT_EQ(memory::expand_series(s, 0)->size, 224);
    // An empty buffer doubles to one unit's worth, not to nothing.
    EXPECT_EQ(memory::expand_series(memory::buffer(memory::alloc_cells(0)), 0)->size, 16);
    oru::pending_error = {};
    EXPECT_THROW(memory::expand_series(memory::buffer(n), -5), SystemThrow);
    EXPECT_EQ(pending_error.id, ErrorId::internal_no_memory);
}

TEST_F(Memory, ExpansionKeepsTheSeriesFlagsButNotThePlacement) {
    // A fixed series grows into a frame buffer, which is not fixed.
    Node f = memory::alloc_fixed_series(2, 16, 0);
    memory::set_buffer_flag(f, sflag::owned);
    SeriesBuffer* s = memory::expand_series_copy(memory::buffer(f), 0);
    EXPECT_FALSE(s->flags & sflag::fixed);
    EXPECT_TRUE(s->flags & sflag::owned);
    EXPECT_EQ(s->unit(), 16u);
    EXPECT_TRUE(s->flags & sflag::in_use);
    // Growing past the threshold gives a big buffer, shrinking back a frame one.
    Node m = memory::alloc_series(4, 16, -1);
    s = memory::expand_series(memory::buffer(m), 0x200000);
    EXPECT_TRUE(s->flags & sflag::big);
    EXPECT_TRUE(s->flags & sflag::mid_head);
    s = memory::expand_series(s, 64);
    EXPECT_FALSE(s->flags & sflag::big);
    EXPECT_EQ(memory::buffer(m), s);
}

TEST_F(Memory, ExpansionFilledFillsTheNewPart) {
    Node n = memory::alloc_bytes_filled(16, 0xAB);
    SeriesBuffer* s = memory::expand_series_filled(memory::buffer(n), 48, 0x5A);
    for (int i = 0; i < 16; i++) EXPECT_EQ(s->data()[i], 0xAB);
    for (int i = 16; i < 48; i++) EXPECT_EQ(s->data()[i], 0x5A);
}

TEST_F(Memory, ExpansionFromAMovedHeadCopiesOnlyTheBuffer) {
    // With the head 8 bytes in, 24 bytes are the old buffer's; everything
    // after them is new and filled, nothing is read past the old buffer.
    Node n = memory::alloc_bytes(32);
    u8* p = memory::reserve_bytes(n, 32);
    for (int i = 0; i < 32; i++) p[i] = static_cast<u8>('a' + i);
    memory::buffer(n)->head = 8;
    SeriesBuffer* s = memory::expand_series_filled(memory::buffer(n), 64, 0x5A);
    EXPECT_EQ(s->head, 0u);
    EXPECT_EQ(s->length(), 24u);
    for (int i = 0; i < 24; i++) EXPECT_EQ(s->data()[i], 'a' + 8 + i) << i;
    for (int i = 24; i < 64; i++) EXPECT_EQ(s->data()[i], 0x5A) << i;
}

TEST_F(Memory, TailAppendsGrowByDoubling) {
    Node empty = memory::alloc_cells(0);
    memory::alloc_tail(empty)->data1 = 7;
    EXPECT_EQ(memory::buffer(empty)->size, 16);
    EXPECT_EQ(memory::buffer(empty)->cells()[0].data1, 7u);
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
    struct Case {
        i32 used, more;  // a 16-byte buffer holding `used` bytes gets `more`
        i32 size;        // data area afterwards
    } cases[] = {
        {10, 6, 16},     // fits exactly: no growth
        {10, 7, 32},     // short, not above the old size: double
        {10, 16, 32},
        {10, 100, 208},  // above the old size: 2 x 100, rounded to 16
    };
    for (const Case& c : cases) {
        Node n = memory::alloc_bytes(16);
        memory::reserve_bytes(n, c.used)[0] = 'x';
        u8* p = memory::reserve_bytes(n, c.more);
        SeriesBuffer* s = memory::buffer(n);
        EXPECT_EQ(s->size, c.size) << c.more;
        EXPECT_EQ(p, s->data() + c.used);
        EXPECT_EQ(s->length(), static_cast<u32>(c.used + c.more));
        EXPECT_EQ(s->data()[0], 'x');
    }
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

TEST_F(Memory, RefusalsBecomeLanguageErrors) {
    memory::alloc_bytes(16);  // the first frames, so that the total stays put below
    u64 before = memory::record.total;
    struct Case {
        const char* what;
        void (*request)();
        ErrorId id;
    } cases[] = {
        {"OS refuses memory", [] { memory::allocate_os_block(SIZE_MAX / 2); }, ErrorId::internal_no_memory},
        {"negative count", [] { memory::alloc_series(-1, 16, 0); }, ErrorId::internal_no_memory},
        {"too large", [] { memory::alloc_series(0x10000000, 16, 0); }, ErrorId::internal_no_memory},
        {"negative reserve", [] { memory::reserve_bytes(memory::alloc_bytes(16), -1); }, ErrorId::internal_no_memory},
        {"OS refuses release", [] {
             // A block whose recorded size the OS cannot unmap (0 bytes).
             void* p = memory::allocate_os_block(10);
             u64* size = reinterpret_cast<u64*>(static_cast<u8*>(p) - 16);
             u64 real = *size;
             *size = 0;
             u32 code = catch_level(throw_code::error, [&] { memory::free_os_block(p); });
             *size = real;
             memory::free_os_block(p);
             if (code) system_throw(code);
         },
         ErrorId::internal_wrong_mem},
    };
    for (const Case& c : cases) {
        oru::pending_error = {};
        EXPECT_THROW(c.request(), SystemThrow) << c.what;
        EXPECT_EQ(pending_error.id, c.id) << c.what;
        EXPECT_EQ(memory::record.total, before) << c.what;
    }
}

TEST_F(Memory, NodeFrameUpkeepAfterACollection) {
    // Four small frames: empty, being released, full, partly used.
    memory::NodeFrame* f[4];
    for (auto& frame : f) frame = memory::new_node_frame(4);
    u64 total = memory::record.total;
    u32 empty_number = f[0]->number;
    f[1]->used = 2;
    f[1]->releasing = true;
    f[2]->used = 4;
    f[3]->used = 1;
    memory::update_node_frames(0);
    EXPECT_EQ(memory::record.n_head, f[2]);
    EXPECT_EQ(f[2]->next, f[3]);
    EXPECT_EQ(f[3]->next, nullptr);
    EXPECT_EQ(memory::record.n_tail, f[3]);
    EXPECT_EQ(memory::record.n_active, f[3]) << "the first frame with a free node";
    EXPECT_LT(memory::record.total, total);
    // History: bit 0 says whether used stayed the same over the last cycle.
    EXPECT_EQ(f[2]->history, 0u);
    EXPECT_EQ(f[2]->previous_used, 4u);
    memory::update_node_frames(1);
    f[3]->used = 2;
    memory::update_node_frames(2);
    EXPECT_EQ(f[2]->history, 3u);
    EXPECT_EQ(f[3]->history, 2u);
    // A released frame's number is given out again.
    EXPECT_EQ(memory::new_node_frame(4)->number, empty_number);
}
