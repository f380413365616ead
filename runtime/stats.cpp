// Memory statistics, read straight from the memory record. Building the
// detailed blocks allocates: the target and each block being filled live on
// the data stack while the walk goes on.
#include "runtime/stats.h"

#include "interpreter/stack.h"
#include "runtime/collector.h"
#include "runtime/datatypes/block.h"
#include "runtime/memory.h"
#include "runtime/system.h"

#include <vector>

namespace oru::debug {

i64 tracked_heap_bytes() { return static_cast<i64>(heap::bytes()); }
i64 (*heap_bytes)() = tracked_heap_bytes;

namespace {

struct CollectionOff {
    bool was = collector::enable(false);
    ~CollectionOff() { collector::enable(was); }
};

// An integer! below 2^31, else a float!: a figure is never cut short.
Cell big_number(i64 v) { return v < (i64{1} << 31) ? cell::integer(static_cast<i32>(v)) : cell::float_(static_cast<double>(v)); }

// Appends a triple block, on a new line, to the block on the stack at `list`.
void append_triple(Cell* list, i64 a, i64 b, i64 c) {
    Cell* t = stack::push();
    block::make_at(*t, 3);
    block::rs_append(*t, big_number(a));
    block::rs_append(*t, big_number(b));
    block::rs_append(*t, big_number(c));
    t->header |= flag::new_line;
    block::rs_append(*list, *t);
    stack::pop(1);
}

// Frames are counted once up front: appending allocates and may add frames.
template <class F>
void each_node_frame(F&& f) {
    for (memory::NodeFrame* n = memory::record.n_head; n; n = n->next) f(*n);
}

}  // namespace

double memory_stats(Cell* target, i32 mode) {
    CollectionOff off;
    if (mode <= 1) {
        double total = 0;
        each_node_frame([&](memory::NodeFrame& n) { total += 4.0 * n.used; });
        for (memory::SeriesFrame* f = memory::record.s_head; f; f = f->next) total += static_cast<double>(f->top - f->first());
        for (memory::BigHeader* b = memory::record.b_head; b; b = b->next) total += b->buffer()->size;
        return total;
    }
    Cell* dst = stack::push(*target);
    // Snapshots first: the appends below take nodes and series memory.
    struct Triple { i64 a, b, c; };
    auto take = [](auto&& fill) {
        Cell* list = stack::push();
        block::make_at(*list, 8);
        fill(list);
        return list;
    };
    i32 frames = 0;
    each_node_frame([&](memory::NodeFrame&) { frames++; });
    // Held by vectors: an append that raises no-memory leaks nothing.
    std::vector<Triple> nodes(static_cast<size_t>(frames));
    i32 k = 0;
    each_node_frame([&](memory::NodeFrame& n) { nodes[k++] = {n.capacity - n.used, n.used, n.capacity}; });
    i32 sframes = 0;
    for (memory::SeriesFrame* f = memory::record.s_head; f; f = f->next) sframes++;
    std::vector<Triple> series(static_cast<size_t>(sframes));
    k = 0;
    for (memory::SeriesFrame* f = memory::record.s_head; f; f = f->next)
        series[k++] = {f->end - f->top, f->top - f->first(), f->end - f->first()};
    i32 bigs = 0;
    for (memory::BigHeader* b = memory::record.b_head; b; b = b->next) bigs++;
    std::vector<i64> sizes(static_cast<size_t>(bigs));
    k = 0;
    for (memory::BigHeader* b = memory::record.b_head; b; b = b->next) sizes[k++] = b->buffer()->size;
    u64 os_total = memory::record.total;

    Cell* list = take([&](Cell* l) { for (i32 i = 0; i < frames; i++) append_triple(l, nodes[i].a, nodes[i].b, nodes[i].c); });
    block::rs_append(*dst, *list);
    stack::pop(1);
    list = take([&](Cell* l) { for (i32 i = 0; i < sframes; i++) append_triple(l, series[i].a, series[i].b, series[i].c); });
    block::rs_append(*dst, *list);
    stack::pop(1);
    list = take([&](Cell* l) { for (i32 i = 0; i < bigs; i++) block::rs_append(*l, big_number(sizes[i])); });
    block::rs_append(*dst, *list);
    stack::pop(1);
    block::rs_append(*dst, big_number(static_cast<i64>(os_total)));
    block::rs_append(*dst, heap_bytes ? big_number(heap_bytes()) : cell::make(type::none));
    *target = *dst;
    stack::pop(1);
    return static_cast<double>(os_total);
}

}  // namespace oru::debug
