// The collector: reclaiming, compaction with contents intact, big buffers,
// node-frame evacuation, external resources and the callback limit.
#include "interpreter/stack.h"
#include "runtime/collector.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/function.h"
#include "runtime/datatypes/object.h"
#include "runtime/datatypes/routine.h"
#include "runtime/datatypes/unset.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/ownership.h"
#include "runtime/resources.h"
#include "runtime/runtime.h"
#include "runtime/sanitizer.h"
#include "runtime/stats.h"
#include "runtime/system.h"
#include "runtime/unicode.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <optional>
#include <vector>

using namespace oru;

namespace {

class Collector : public ::testing::Test {
protected:
    void SetUp() override {
        runtime_init();
        handles::init();
        slot_table::init();
        collector::init();
    }
    void TearDown() override {
        collector::init();  // forgets this test's mark callbacks
        collector::set_stress(false);
        collector::enable(false);
        handles::shutdown();
        runtime_shutdown();
    }
};

Cell block_of(Node n) { return cell::make(type::block, 0, n, 0); }

// A block of `count` integers pushed on the data stack; returns its node.
Node live_block(i32 count, i32 base) {
    Node n = memory::alloc_cells(count);
    for (i32 i = 0; i < count; i++) *memory::alloc_tail(n) = cell::integer(base + i);
    stack::push(block_of(n));
    return n;
}

// The error a body raises under a try frame, or none.
template <class F>
std::optional<ErrorId> error_of(F&& body) {
    pending_error = {};
    Cell* base = stack::top;
    stack::mark_try(stack::word(symbol::make("try")));
    u32 code = catch_level(throw_code::error, [&] { body(); });
    std::optional<ErrorId> id;
    if (code == throw_code::error) id = pending_error.id;
    else stack::unroll();
    stack::frame_top = stack::frame_bottom;
    stack::arguments = stack::top = base;
    return id;
}

void make_garbage(i32 count) {
    for (i32 i = 0; i < count; i++) memory::alloc_cells(8);
}

// A byte series of `count` units of width `unit`, element k = k * 7 + unit.
Node filled_series(i32 count, u32 unit) {
    Node n = memory::alloc_series(count, unit, 0);
    u8* p = memory::reserve_bytes(n, count * static_cast<i32>(unit));
    for (i32 k = 0; k < count; k++) {
        u32 v = static_cast<u32>(k * 7) + unit;
        std::memcpy(p + k * unit, &v, unit);
    }
    return n;
}

bool series_intact(Node n, i32 count, u32 unit) {
    SeriesBuffer* s = memory::buffer(n);
    if (s->length() != static_cast<u32>(count) || s->unit() != unit) return false;
    for (i32 k = 0; k < count; k++) {
        u32 v = 0, want = static_cast<u32>(k * 7) + unit;
        std::memcpy(&v, s->head_ptr() + k * unit, unit);
        if (unit < 4) want &= (1u << (8 * unit)) - 1;
        if (v != want) return false;
    }
    return true;
}

TEST_F(Collector, UnreachableSeriesAreReclaimedAndTheirNodesReused) {
    Node keep = live_block(4, 100);
    u8* top_before = memory::record.s_active->top;
    make_garbage(500);
    Node last_dead = memory::alloc_cells(8);
    ASSERT_GT(memory::record.s_active->top, top_before);
    collector::recycle();
    // Everything made after `keep` is garbage, and start-up may have left
    // some of its own before it: the frame ends at or below where it was.
    EXPECT_LE(memory::record.s_active->top, top_before);
    // The freed nodes go back on the free lists: a fresh allocation reuses one.
    std::map<Node, bool> seen;
    for (i32 i = 0; i < 600; i++) seen[memory::alloc_node()] = true;
    EXPECT_TRUE(seen.count(last_dead));
    EXPECT_EQ(memory::buffer(keep)->cells()[3].data2, 103u);
}

TEST_F(Collector, LiveValuesSurviveCompactionWithContentsIntact) {
    make_garbage(50);  // dead buffers below the live ones make them slide
    Node outer = live_block(2, 0);
    make_garbage(50);
    const u32 units[] = {1, 2, 4};
    Node strings[3];
    for (i32 w = 0; w < 3; w++) {
        strings[w] = filled_series(100, units[w]);
        *memory::alloc_tail(outer) = cell::make(type::string, 0, strings[w], 0);
        make_garbage(20);
    }
    // A nested block that holds itself and the outer block (a cycle).
    Node inner = live_block(3, 50);
    stack::pop(1);
    *memory::alloc_tail(inner) = block_of(inner);
    *memory::alloc_tail(inner) = block_of(outer);
    *memory::alloc_tail(outer) = block_of(inner);
    // A context holding a string through an object value.
    Node ctx = context::create(2, false, true, 0, context::kind::object);
    stack::push(object::make_cell(ctx, 0, 0));
    Node text = filled_series(33, 1);
    context::add_with(ctx, stack::word(symbol::make("field")), cell::make(type::string, 0, text, 0));
    make_garbage(50);

    SeriesBuffer* before = memory::buffer(outer);
    collector::recycle();
    EXPECT_NE(memory::buffer(outer), before) << "garbage below it was reclaimed";
    SeriesBuffer* o = memory::buffer(outer);
    ASSERT_EQ(o->length(), 6u);
    EXPECT_EQ(o->cells()[1].data2, 1u);
    for (i32 w = 0; w < 3; w++) EXPECT_TRUE(series_intact(strings[w], 100, units[w])) << "width " << units[w];
    SeriesBuffer* in = memory::buffer(inner);
    ASSERT_EQ(in->length(), 5u);
    EXPECT_EQ(in->cells()[2].data2, 52u);
    EXPECT_EQ(in->cells()[3].data2, inner);
    EXPECT_EQ(in->cells()[4].data2, outer);
    EXPECT_TRUE(series_intact(context::values(ctx)[0].data2, 33, 1));
    // No mark bit survives a cycle.
    EXPECT_EQ(memory::buffer(outer)->flags & sflag::mark, 0u);
    EXPECT_EQ(memory::buffer(ctx)->flags & sflag::mark, 0u);
}

TEST_F(Collector, AFunctionKeepsItsContextSpecBodyAndOwnerThroughCompaction) {
    make_garbage(50);
    // An object's context that only the function refers to (its owner).
    Node owner = context::create(1, false, true, 0, context::kind::object);
    stack::push(object::make_cell(owner, 0, 0));
    Node text = filled_series(20, 2);
    context::add_with(owner, stack::word(symbol::make("f")), cell::make(type::string, 0, text, 0));
    Node spec = live_block(0, 0);
    *memory::alloc_tail(spec) = stack::word(symbol::make("arg"));
    Node body = live_block(3, 70);
    function::push(block_of(spec), block_of(body), 0, 0, owner, 0);
    Cell fn = stack::top[-1];
    stack::top[-4] = fn;  // the object, spec and body are dropped: the function alone holds them
    stack::pop(3);
    make_garbage(50);
    collector::recycle();
    make_garbage(50);
    collector::recycle();

    Cell now = stack::top[-1];
    ASSERT_EQ(cell::type_of(now), type::function);
    EXPECT_EQ(context::length(function::context_of(now)), 1);
    Cell* b = function::extra_cell(now, function::extra::body);
    ASSERT_EQ(cell::type_of(*b), type::block);
    SeriesBuffer* bs = memory::buffer(b->data2);
    ASSERT_EQ(bs->length(), 3u);
    EXPECT_EQ(bs->cells()[2].data2, 72u);
    EXPECT_EQ(memory::buffer(function::spec_of(now))->length(), 1u);
    Cell* o = function::extra_cell(now, function::extra::owner);
    ASSERT_EQ(cell::type_of(*o), type::integer);
    EXPECT_EQ(context::length(o->data2), 1);
    EXPECT_TRUE(series_intact(context::values(o->data2)[0].data2, 20, 2)) << "the owner is held strongly";
}

TEST_F(Collector, ARoutinesReturnTypeIsNoOwnerContext) {
    // A routine keeps its return type number where a function keeps its
    // owner's context node; the collector must not take it for a node.
    Node spec = live_block(0, 0);
    *memory::alloc_tail(spec) = stack::word(symbol::make("arg"));
    for (i32 rt : {static_cast<i32>(routine::return_logic), static_cast<i32>(routine::return_integer),
                   static_cast<i32>(routine::return_float)}) {
        routine::push(block_of(spec), unset::value, 0, rt, false);
        make_garbage(20);
        collector::recycle();
        EXPECT_EQ(routine::return_type(stack::top[-1]), static_cast<u32>(rt));
        stack::pop(1);
    }
}

TEST_F(Collector, AStringBeingLoadedSurvivesCollectionsWhileItWidensAndGrows) {
    // Widening and growing allocate while only the load holds the new node.
    // ASCII first, so that widening at the arrows must move the buffer.
    std::string text = "ab" + std::string(600, 'x');
    for (int i = 0; i < 300; i++) text += "x\xC3\xA9\xE2\x86\x92";  // x e-acute arrow
    collector::enable(true);
    collector::set_stress(true);
    make_garbage(20);
    Node n = unicode::load(reinterpret_cast<const u8*>(text.data()), static_cast<i32>(text.size()));
    stack::push(cell::make(type::string, 0, n, 0));
    // Had the load's node been reclaimed, these would take it over.
    for (i32 i = 0; i < 20; i++) live_block(8, i);
    collector::set_stress(false);
    collector::recycle();
    SeriesBuffer* s = memory::buffer(n);
    ASSERT_EQ(s->unit(), 2u);
    ASSERT_EQ(s->length(), 602u + 900u);
    const u8* p = s->head_ptr();
    auto at = [&](u32 i) { u16 c; std::memcpy(&c, p + 2 * i, 2); return c; };
    EXPECT_EQ(at(0), u'a');
    EXPECT_EQ(at(601), u'x');
    EXPECT_EQ(at(603), 0xE9);
    EXPECT_EQ(at(1501), 0x2192);
}

TEST_F(Collector, ABufferLeftBehindByExpansionIsReclaimed) {
    make_garbage(20);
    Node n = live_block(10, 0);
    SeriesBuffer* old = memory::buffer(n);
    SeriesBuffer* grown = memory::expand_series_copy(old, 64 * static_cast<i32>(sizeof(Cell)));
    ASSERT_NE(grown, old);
    ASSERT_EQ(old->node, 0u);
    collector::recycle();
    // The dropped copy and the garbage below it are gone: the live one slid down.
    EXPECT_LE(reinterpret_cast<u8*>(memory::buffer(n)), reinterpret_cast<u8*>(old));
    EXPECT_EQ(memory::buffer(n)->length(), 10u);
    EXPECT_EQ(memory::buffer(n)->cells()[9].data2, 9u);
}

// True when every byte of [p, p + n) reads as released memory: unaddressable
// under the address sanitizer, else (in stress mode) the poison pattern.
bool poisoned(const u8* p, size_t n) {
    for (size_t i = 0; i < n; i++) {
#ifdef ORU_ADDRESS_SANITIZER
        if (!__asan_address_is_poisoned(p + i)) return false;
#else
        if (p[i] != memory::poison_byte) return false;
#endif
    }
    return true;
}

TEST_F(Collector, MemoryABufferLeavesReadsAsPoisonUntilHandedOutAgain) {
    collector::set_stress(true);  // the pattern is written in stress mode
    struct Case {
        const char* what;
        u8* (*leave)();  // the data a buffer leaves behind
        size_t bytes;
    } cases[] = {
        {"replaced by a larger buffer",
         [] {
             const Node n = live_block(4, 0);
             u8* data = memory::buffer(n)->data();
             memory::expand_series_copy(memory::buffer(n), 0);
             EXPECT_EQ(memory::buffer(n)->cells()[3].data2, 3u) << "the copy is whole";
             return data;
         },
         64},
        {"dead at a cycle",
         [] {
             u8* data = memory::buffer(memory::alloc_bytes(100))->data();
             collector::recycle();
             return data;
         },
         112},
        {"slid down by a cycle",
         [] {
             make_garbage(4);
             const Node n = live_block(4, 0);
             u8* data = memory::buffer(n)->data();
             collector::recycle();
             EXPECT_LT(memory::buffer(n)->data(), data);
             EXPECT_EQ(memory::buffer(n)->cells()[3].data2, 3u) << "the moved buffer is whole";
             return data;  // now in the frame's free room: the garbage below was larger
         },
         64},
    };
    for (const Case& c : cases) {
        const u8* left = c.leave();
        EXPECT_TRUE(poisoned(left, c.bytes)) << c.what;
    }
    // The free room is handed out clean.
    collector::recycle();
    const Node fresh = memory::alloc_cells(64);
    SeriesBuffer* s = memory::buffer(fresh);
    for (i32 i = 0; i < 64; i++) *memory::alloc_tail(fresh) = cell::integer(i);
    EXPECT_EQ(s->cells()[63].data2, 63u);
}

TEST_F(Collector, AValueHeldOnlyOnTheDataStackSurvivesStressMode) {
    Node keep = live_block(10, 7);
    collector::set_stress(true);
    collector::enable(true);
    u32 start = collector::cycles();
    for (i32 i = 0; i < 200; i++) make_garbage(1);
    collector::enable(false);
    EXPECT_GE(collector::cycles() - start, 200u);
    EXPECT_EQ(memory::buffer(keep)->length(), 10u);
    EXPECT_EQ(memory::buffer(keep)->cells()[9].data2, 16u);
}

TEST_F(Collector, BigBuffersAreFreedWhenDeadAndNeverMoved) {
    make_garbage(100);
    Node big = memory::alloc_bytes(3 * 1024 * 1024);
    stack::push(cell::make(type::binary, 0, big, 0));
    SeriesBuffer* at = memory::buffer(big);
    ASSERT_TRUE(at->flags & sflag::big);
    collector::recycle();
    EXPECT_EQ(memory::buffer(big), at);
    u64 total = memory::record.total;
    stack::pop(1);
    collector::recycle();
    EXPECT_LT(memory::record.total, total - 3 * 1024 * 1024);
    EXPECT_EQ(memory::record.b_head, nullptr);
}

TEST_F(Collector, SparseStableNodeFramesAreEvacuated) {
    make_garbage(12000);  // fills the first node frame and starts another
    Node keep = live_block(3, 40);
    ASSERT_NE(memory::frame_number(keep), memory::frame_number(memory::record.n_head->number << memory::node_slot_bits));
    for (i32 i = 0; i < 8; i++) collector::recycle();  // the frames' use stays unchanged
    u32 moved = collector::nodes_cycles();
    collector::compact_nodes();
    EXPECT_EQ(collector::nodes_cycles(), moved + 1);
    Node now = stack::top[-1].data2;
    EXPECT_NE(now, keep);
    EXPECT_EQ(memory::buffer(now)->node, now);
    EXPECT_EQ(memory::buffer(now)->cells()[2].data2, 42u);
}

TEST_F(Collector, OwnershipRecordsFollowTheirNodesThroughNodeCompaction) {
    ownership::init();
    make_garbage(12000);  // as above: what follows lands in the second node frame
    Cell* owner = stack::push(object::make_cell(context::create(1, false, true, 0, context::kind::object), 0, 0));
    Node owned = live_block(2, 9);
    Node frame = memory::frame_number(owned);
    ASSERT_EQ(memory::frame_number(owner->data1), frame);
    ownership::set(stack::top[-1], *owner, stack::word(symbol::make("field")));
    for (i32 i = 0; i < 8; i++) collector::recycle();
    ASSERT_NE(ownership::owner_of(owned), nullptr);
    collector::compact_nodes();
    Node now = stack::top[-1].data2;
    Node owner_now = stack::top[-2].data1;
    ASSERT_NE(memory::frame_number(now), frame) << "the frame was evacuated";
    // The living owner keeps its record, under the owner's new node.
    Cell* found = ownership::owner_of(now);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->data1, owner_now);
    EXPECT_TRUE(memory::buffer(now)->flags & sflag::owned);
}

std::map<u64, i32> released;

TEST_F(Collector, ExternalResourcesAreReleasedThroughTheirKindExactlyOnce) {
    released.clear();
    i32 kind = handles::push("image", [](u64 v) { released[v]++; });
    i32 kept = handles::add(0xA, kind);
    handles::add(0xB, kind);
    handles::add(0xC, kind);
    stack::push(cell::make(type::handle, 0, 0, static_cast<u32>(kept)));
    collector::recycle();
    collector::recycle();
    EXPECT_EQ(released, (std::map<u64, i32>{{0xB, 1}, {0xC, 1}}));
    stack::pop(1);
    collector::recycle();
    EXPECT_EQ(released[0xA], 1);
    EXPECT_EQ(handles::count(), 0);
}

TEST_F(Collector, TablesAreBoundedAndGrowWhereTheyMay) {
    // The 101st mark callback and the 21st resource kind are refused.
    for (i32 i = 0; i < collector::max_markers; i++) collector::register_marker([] {});
    EXPECT_EQ(error_of([] { collector::register_marker([] {}); }), ErrorId::internal_limit_hit);
    for (i32 i = 0; i < handles::max_kinds; i++) handles::push("k", nullptr);
    EXPECT_EQ(error_of([] { handles::push("one-too-many", nullptr); }), ErrorId::internal_limit_hit);
    // The 1001st resource doubles the table; earlier slots keep their values.
    for (i32 i = 0; i < 1001; i++) handles::add(static_cast<u64>(i) + 1, 1);
    EXPECT_EQ(handles::value(5), 6u);
    // Slot table: a freed slot is the next one handed out, also after growth.
    for (i32 i = 0; i < 150; i++) slot_table::add(cell::integer(i));
    slot_table::free(3);
    EXPECT_EQ(slot_table::add(cell::integer(99)), 3);
    EXPECT_EQ(slot_table::get(150)->data2, 149u);
}

TEST_F(Collector, SlotTableAndCallbacksAreRoots) {
    static Node held;
    held = memory::alloc_cells(4);
    *memory::alloc_tail(held) = cell::integer(5);
    collector::register_marker([] { collector::mark_values(&held); });
    Node via_slot = memory::alloc_cells(4);
    *memory::alloc_tail(via_slot) = cell::integer(6);
    i32 slot = slot_table::add(block_of(via_slot));
    make_garbage(100);
    collector::recycle();
    EXPECT_EQ(memory::buffer(held)->cells()[0].data2, 5u);
    EXPECT_EQ(memory::buffer(slot_table::get(slot)->data2)->cells()[0].data2, 6u);
}

TEST_F(Collector, MemoryStatistics) {
    double used = debug::memory_stats(nullptr, 1);
    EXPECT_GT(used, 0);
    EXPECT_LT(used, static_cast<double>(memory::record.total));
    Cell* target = stack::push();
    block::make_at(*target, 5);
    debug::memory_stats(target, 2);
    SeriesBuffer* s = memory::buffer(target->data2);
    ASSERT_EQ(s->length(), 5u);
    i32 frames = 0;
    for (auto* f = memory::record.n_head; f; f = f->next) frames++;
    EXPECT_EQ(memory::buffer(s->cells()[0].data2)->length(), static_cast<u32>(frames));
    EXPECT_FALSE(collector::enabled_q());
}

// Bytes in use in the series frames plus the big buffers' blocks, and the
// free room of the frames: what a cycle weighs when it keeps room.
u64 frames_live() {
    u64 live = 0;
    for (memory::SeriesFrame* f = memory::record.s_head; f; f = f->next) live += static_cast<u64>(f->top - f->first());
    for (memory::BigHeader* b = memory::record.b_head; b; b = b->next) live += b->size;
    return live;
}
u64 frames_room() {
    u64 room = 0;
    for (memory::SeriesFrame* f = memory::record.s_head; f; f = f->next) room += static_cast<u64>(f->end - f->top);
    return room;
}

constexpr u64 mib = u64{1} << 20;
constexpr i32 block_cells = 62;  // 992 data bytes: about 1 KiB a block in its frame

// A block of `count` cells, pushed, that later blocks are appended to; made
// large enough up front that appending never allocates.
Cell* push_holder(i32 count) {
    Node n = memory::alloc_cells(count);
    return stack::push(block_of(n));
}

// Appends a new block of two integers to the holder on top of the stack.
void hold_new_block(i32 i) {
    Node b = memory::alloc_cells(block_cells);
    *memory::alloc_tail(stack::top[-1].data2) = block_of(b);  // held before anything else allocates
    *memory::alloc_tail(b) = cell::integer(i);
    *memory::alloc_tail(b) = cell::integer(-i);
}

TEST_F(Collector, BuildingLiveDataCostsCollectionWorkInProportionToItsSize) {
    // Each cycle marks and moves all the live data. A cycle at every full
    // frame would take about N / 2 cycles to build N MiB, marking about
    // N^2 / 4 MiB in all (some 1 GiB for 64 MiB). Keeping free room in
    // proportion to the live data spaces the cycles at growing sizes: their
    // count grows with log N and what they mark with N.
    collector::set_stress(false);
    struct Cost {
        u32 cycles;
        double marked;  // live bytes at the cycles, summed
    };
    auto build = [](i32 size_mib) {
        const i32 count = size_mib * 1024;
        push_holder(count);
        collector::recycle();  // the same start for each size
        collector::enable(true);
        const u32 start = collector::cycles();
        u32 seen = start;
        double marked = 0;
        for (i32 i = 0; i < count; i++) {
            hold_new_block(i);
            if (collector::cycles() != seen) {
                seen = collector::cycles();
                marked += static_cast<double>(frames_live());
            }
        }
        collector::enable(false);
        EXPECT_EQ(memory::buffer(stack::top[-1].data2)->length(), static_cast<u32>(count));
        EXPECT_EQ(memory::buffer(memory::buffer(stack::top[-1].data2)->cells()[count - 1].data2)->cells()[1].data2,
                  static_cast<u32>(-(count - 1)));
        stack::pop(1);
        return Cost{seen - start, marked};
    };
    const Cost small = build(16), large = build(64);
    // Four times the data is two doublings more: at most a few more cycles.
    EXPECT_LE(large.cycles, small.cycles + 3) << small.cycles << " cycles for 16 MiB, " << large.cycles << " for 64";
    EXPECT_GE(large.cycles, 1u);
    EXPECT_LE(small.marked, 2.0 * 16 * mib) << small.marked / mib << " MiB marked";
    EXPECT_LE(large.marked, 2.0 * 64 * mib) << large.marked / mib << " MiB marked";
}

TEST_F(Collector, ACycleLeavesRoomInProportionToTheLiveDataBeforeTheNext) {
    collector::set_stress(false);
    // Live data of 0 and 24 MiB: the room before the next cycle is the
    // minimum, then the live size.
    for (i32 live_mib : {0, 24}) {
        const i32 count = live_mib * 1024;
        push_holder(count + 1);
        for (i32 i = 0; i < count; i++) hold_new_block(i);
        // Garbage under the live data, so that the cycle has frames to empty.
        make_garbage(20000);
        collector::recycle();
        const u64 live = frames_live(), room = frames_room();
        const u64 keep = memory::free_room_for(live);
        EXPECT_EQ(keep, live_mib ? live : memory::min_free_room) << live_mib;
        // Kept frames and budget make up the room; no more frames are kept
        // than it takes.
        EXPECT_EQ(room + memory::record.s_budget, std::max(room, keep)) << live_mib;
        EXPECT_LT(room, keep + memory::max_frame_size) << live_mib;
        // Garbage alone now fills that room before a cycle comes.
        collector::enable(true);
        const u32 start = collector::cycles();
        u64 made = 0;
        while (collector::cycles() == start) {
            memory::alloc_cells(block_cells);
            made += block_cells * sizeof(Cell) + memory::buffer_overhead;
            ASSERT_LT(made, 4 * keep) << live_mib;
        }
        collector::enable(false);
        EXPECT_GE(made, keep - memory::max_frame_size) << live_mib;
        EXPECT_LE(made, keep + memory::max_frame_size) << live_mib;
        stack::pop(1);
    }
}

TEST_F(Collector, FramesKeptEmptyDoNotUnpackTheLiveData) {
    // Frames of pure garbage around live blocks mixed with garbage: the
    // cycle empties some frames and keeps them as room. Live data packs
    // into the frames that hold data (each left with no more than a
    // buffer's worth past the spare-room threshold), and a second cycle,
    // with nothing dead, moves nothing.
    collector::set_stress(false);
    const i32 count = 6000;
    push_holder(count);
    make_garbage(30000);
    for (i32 i = 0; i < count; i++) {
        hold_new_block(i);
        make_garbage(3);
    }
    make_garbage(30000);
    collector::recycle();
    std::vector<memory::SeriesFrame*> holding;
    for (memory::SeriesFrame* f = memory::record.s_head; f; f = f->next)
        if (f->top != f->first()) holding.push_back(f);
    ASSERT_GE(holding.size(), 3u);
    for (size_t k = 0; k + 1 < holding.size(); k++)
        EXPECT_LE(holding[k]->end - holding[k]->top, memory::min_frame_room + 1024) << "frame " << k;
    SeriesBuffer* h = memory::buffer(stack::top[-1].data2);
    std::vector<SeriesBuffer*> at;
    for (i32 i = 0; i < count; i++) at.push_back(memory::buffer(h->cells()[i].data2));
    collector::recycle();
    h = memory::buffer(stack::top[-1].data2);
    i32 moved = 0;
    for (i32 i = 0; i < count; i++) moved += memory::buffer(h->cells()[i].data2) != at[static_cast<size_t>(i)];
    EXPECT_EQ(moved, 0);
    EXPECT_EQ(memory::buffer(h->cells()[count - 1].data2)->cells()[0].data2, static_cast<u32>(count - 1));
}

TEST_F(Collector, BigBuffersSpendTheBudgetAndStressModeIgnoresIt) {
    collector::recycle();
    constexpr i64 as_left = -1;  // the budget the cycle left (more than 3 MiB)
    struct Case {
        const char* what;
        bool stress;
        i64 budget;
        bool collects;
    } cases[] = {
        {"within the budget", false, as_left, false},
        {"no budget left", false, 0, true},
        // Spent whole, it would let one large garbage buffer after another
        // pile up past the room a cycle keeps.
        {"budget short of the request", false, static_cast<i64>(mib), true},
        {"stress mode", true, as_left, true},
    };
    for (const Case& c : cases) {
        collector::recycle();
        if (c.budget != as_left) memory::record.s_budget = static_cast<u64>(c.budget);
        const u64 budget = memory::record.s_budget;
        if (c.budget == as_left) {
            ASSERT_GT(budget, 3 * mib) << c.what;
        }
        collector::set_stress(c.stress);
        collector::enable(true);
        const u32 start = collector::cycles();
        memory::alloc_bytes(static_cast<i32>(3 * mib));
        collector::enable(false);
        collector::set_stress(false);
        EXPECT_EQ(collector::cycles() != start, c.collects) << c.what;
        if (!c.collects) {
            EXPECT_LE(memory::record.s_budget, budget - 3 * mib) << c.what;
        }
    }
}

// True when some series frame has room for a buffer of `need` bytes.
bool a_frame_has_room(u64 need) {
    for (memory::SeriesFrame* f = memory::record.s_head; f; f = f->next)
        if (reinterpret_cast<uintptr_t>(f->top) + need < reinterpret_cast<uintptr_t>(f->end)) return true;
    return false;
}

TEST_F(Collector, ARequestTheOsRefusesUnderTheBudgetCollectsAndAsksAgain) {
    collector::set_stress(false);  // stress mode never spends a budget
    // The budget promises room the OS may not have. A refusal voids the
    // budget and collects first, as an allocation without one would; only
    // a second refusal, after the cycle, is internal/no-memory.
    constexpr u64 block_need = block_cells * sizeof(Cell) + memory::buffer_overhead;
    struct Case {
        const char* what;
        bool big;
        bool live;      // the frames are full of live data, not garbage
        u32 refusals;
        bool fails;
    } cases[] = {
        {"frame, garbage to reclaim", false, false, 1, false},
        {"frame, all live", false, true, 1, false},
        {"frame, refused again after the cycle", false, true, 2, true},
        {"big buffer", true, false, 1, false},
        {"big buffer, refused again after the cycle", true, false, 2, true},
    };
    for (const Case& c : cases) {
        collector::recycle();
        Cell* base = stack::top;
        push_holder(static_cast<i32>(frames_room() / block_need) + 16);
        // Every frame full: the next block needs a new one.
        for (i32 i = 0; a_frame_has_room(block_need); i++) {
            if (c.live) hold_new_block(i);
            else memory::alloc_cells(block_cells);
        }
        memory::record.s_budget = 16 * mib;
        memory::refuse_os_blocks = c.refusals;
        collector::enable(true);
        const u32 start = collector::cycles();
        auto request = [&] {
            if (c.big) memory::alloc_bytes(static_cast<i32>(3 * mib));
            else memory::alloc_cells(block_cells);
        };
        EXPECT_EQ(error_of(request), c.fails ? std::optional{ErrorId::internal_no_memory} : std::nullopt) << c.what;
        collector::enable(false);
        EXPECT_EQ(collector::cycles(), start + 1) << c.what;
        EXPECT_EQ(memory::refuse_os_blocks, 0u) << c.what;
        memory::refuse_os_blocks = 0;
        stack::top = base;
    }
}

TEST_F(Collector, GarbageMadeForeverKeepsTheHeapBounded) {
    // Garbage, blocks and now and then a 3 MiB binary, with little live
    // data: the heap never holds more than the live data, the room a cycle
    // keeps (8 MiB) and a request or two. Stress mode, which collects at
    // every allocation and spends no budget, keeps the same frames as room.
    for (bool stress : {false, true}) {
        collector::set_stress(false);
        collector::recycle();
        const u64 base = frames_live();
        const u64 garbage = (stress ? 32 : 256) * mib;
        collector::set_stress(stress);
        collector::enable(true);
        const u32 start = collector::cycles();
        u64 peak = 0, made = 0;
        for (i32 i = 0; made < garbage; i++) {
            if (i % 2048 == 0) {
                memory::alloc_bytes(static_cast<i32>(3 * mib));
                made += 3 * mib;
            } else {
                memory::alloc_cells(block_cells);
                made += block_cells * sizeof(Cell);
            }
            peak = std::max(peak, memory::record.total);
        }
        collector::enable(false);
        collector::set_stress(false);
        EXPECT_GE(collector::cycles() - start, garbage / (16 * mib)) << "a cycle at least every two rooms' worth";
        EXPECT_LT(peak, base + memory::min_free_room + 16 * mib) << peak / mib << " MiB at the peak, stress " << stress;
    }
}

TEST_F(Collector, TheBudgetIsSpentOnlyWhileCollectionIsOnAndGoesWithTheMemoryManager) {
    collector::set_stress(false);  // stress mode never spends a budget
    collector::recycle();
    const u64 budget = memory::record.s_budget;
    ASSERT_GT(budget, 2 * mib);
    // Collection off: new frames are mapped as before, nothing is spent.
    const u64 total = memory::record.total;
    while (memory::record.total < total + 4 * mib) memory::alloc_cells(block_cells);
    EXPECT_EQ(memory::record.s_budget, budget);
    // Collection on: the same allocation spends it before any cycle runs.
    collector::enable(true);
    const u32 start = collector::cycles();
    const u64 on = memory::record.total;
    while (memory::record.total == on && collector::cycles() == start) memory::alloc_cells(block_cells);
    collector::enable(false);
    EXPECT_EQ(collector::cycles(), start);
    EXPECT_LT(memory::record.s_budget, budget);
    // A restarted runtime starts with none: its first frame-filling
    // allocation with collection on runs a cycle.
    handles::shutdown();
    runtime_shutdown();
    runtime_init();
    handles::init();
    slot_table::init();
    collector::init();
    EXPECT_EQ(memory::record.s_budget, 0u);
    collector::enable(true);
    const u64 fresh = memory::record.total;
    while (collector::cycles() == 0 && memory::record.total < fresh + 8 * mib) memory::alloc_cells(block_cells);
    collector::enable(false);
    EXPECT_EQ(collector::cycles(), 1u);
}

}  // namespace
