// Memory statistics: the detailed figures agree with the memory record and
// with the one-number total, whatever frames and big buffers exist.
#include "interpreter/stack.h"
#include "runtime/collector.h"
#include "runtime/datatypes/block.h"
#include "runtime/memory.h"
#include "runtime/runtime.h"
#include "runtime/stats.h"

#include <gtest/gtest.h>

#include <vector>

using namespace oru;

namespace {

class Stats : public ::testing::Test {
protected:
    i64 (*default_heap_bytes)() = debug::heap_bytes;
    void SetUp() override { runtime_init(); }
    void TearDown() override {
        debug::heap_bytes = default_heap_bytes;
        collector::enable(false);
        runtime_shutdown();
    }

    // The detailed figures in a block on the data stack.
    Cell* detailed() {
        Cell* target = stack::push();
        block::make_at(*target, 5);
        debug::memory_stats(target, 2);
        return target;
    }
};

Cell item(const Cell& blk, i32 i) { return memory::buffer(cell::node(blk))->cells()[cell::head_index(blk) + i]; }
i32 length(const Cell& blk) { return block::rs_length_q(blk); }
i64 number(const Cell& v) {
    return cell::type_of(v) == type::integer ? static_cast<i32>(v.data2) : static_cast<i64>(cell::get_float(v));
}

// The triples of part 1 or 2 as rows of three numbers; each triple block
// must carry the new-line marker.
std::vector<std::vector<i64>> triples(const Cell& part) {
    std::vector<std::vector<i64>> rows;
    for (i32 i = 0; i < length(part); i++) {
        const Cell t = item(part, i);
        EXPECT_EQ(cell::type_of(t), type::block);
        EXPECT_NE(t.header & flag::new_line, 0u);
        EXPECT_EQ(length(t), 3);
        rows.push_back({number(item(t, 0)), number(item(t, 1)), number(item(t, 2))});
    }
    return rows;
}

}  // namespace

TEST_F(Stats, DetailedFiguresMatchTheRecordAndTheTotal) {
    // A full node frame, a second one, and a big buffer.
    while (memory::record.n_head->used < memory::record.n_head->capacity) memory::alloc_node();
    memory::alloc_node();
    const Node big = memory::alloc_bytes(3 << 20);
    ASSERT_NE(memory::buffer(big)->flags & sflag::big, 0u);

    Cell* target = stack::push();
    block::make_at(*target, 5);
    const double total = debug::memory_stats(nullptr, 1);
    EXPECT_GT(total, 0);
    EXPECT_LT(total, static_cast<double>(memory::record.total));
    debug::memory_stats(target, 2);
    const Cell figures = *target;
    ASSERT_EQ(length(figures), 5);

    i64 derived = 0;
    const auto nodes = triples(item(figures, 0));
    i32 frames = 0;
    for (auto* f = memory::record.n_head; f; f = f->next) frames++;
    ASSERT_EQ(static_cast<i32>(nodes.size()), frames);
    ASSERT_GE(frames, 2);
    EXPECT_EQ(nodes[0][0], 0);  // the full frame shows no free node
    for (const auto& row : nodes) {
        EXPECT_EQ(row[0] + row[1], row[2]);
        derived += 4 * row[1];
    }
    for (const auto& row : triples(item(figures, 1))) {
        EXPECT_EQ(row[0] + row[1], row[2]);
        EXPECT_GT(row[1], 0);
        derived += row[1];
    }
    const Cell bigs = item(figures, 2);
    bool found = false;
    for (i32 i = 0; i < length(bigs); i++) {
        const i64 size = number(item(bigs, i));
        derived += size;
        if (size == memory::buffer(big)->size) found = true;
    }
    EXPECT_TRUE(found);
    // The one-number total is what the figures add up to: the detailed walk
    // takes its figures before it allocates anything.
    EXPECT_EQ(static_cast<double>(derived), total);

    EXPECT_EQ(cell::type_of(item(figures, 3)), type::integer);
    EXPECT_EQ(number(item(figures, 3)), static_cast<i64>(memory::record.total));
    EXPECT_EQ(cell::type_of(item(figures, 4)), type::integer);  // the tracked heap's total
    debug::heap_bytes = nullptr;
    const Cell without = *detailed();
    EXPECT_EQ(cell::type_of(item(without, 4)), type::none);  // no heap total known
}

TEST_F(Stats, HeapTotalIsAnIntegerOrAFloatBeyond31Bits) {
    debug::heap_bytes = [] { return i64{1234}; };
    Cell figures = *detailed();
    EXPECT_EQ(cell::type_of(item(figures, 4)), type::integer);
    EXPECT_EQ(number(item(figures, 4)), 1234);
    debug::heap_bytes = [] { return i64{1} << 31; };
    figures = *detailed();
    EXPECT_EQ(cell::type_of(item(figures, 4)), type::float_);
    EXPECT_EQ(cell::get_float(item(figures, 4)), 2147483648.0);
}

TEST_F(Stats, CollectionSettingIsRestored) {
    for (bool on : {true, false}) {
        collector::enable(on);
        debug::memory_stats(nullptr, 1);
        EXPECT_EQ(collector::enabled_q(), on);
        detailed();
        EXPECT_EQ(collector::enabled_q(), on);
    }
}
