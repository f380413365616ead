// The collector: reclaiming, compaction with contents intact, big buffers,
// node-frame evacuation, external resources and the callback limit.
#include "interpreter/stack.h"
#include "runtime/collector.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/function.h"
#include "runtime/datatypes/object.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/ownership.h"
#include "runtime/resources.h"
#include "runtime/runtime.h"
#include "runtime/stats.h"
#include "runtime/system.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>

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

}  // namespace
