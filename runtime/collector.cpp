// The collector: marking by type from the roots, sweeps of the external
// resources and the ownership records, sliding compaction of the series
// frames, release of dead big buffers and the batched return of freed nodes.
//
// Invariant while a cycle runs: nothing allocates series memory. Marking
// uses an explicit work list instead of recursion, so deeply nested blocks
// cannot overflow the machine stack.
#include "runtime/collector.h"

#include "interpreter/stack.h"
#include "runtime/calls.h"
#include "runtime/cycles.h"
#include "runtime/datatypes/image_backend.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/fire.h"
#include "runtime/hashtable.h"
#include "runtime/memory.h"
#include "runtime/ownership.h"
#include "runtime/records.h"
#include "runtime/resources.h"
#include "runtime/system.h"
#include "runtime/unicode.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

namespace oru::collector {

namespace {

using memory::buffer;

bool enabled = false;
bool running = false;
bool nodes_on = true;
i32 stress_mode = -1;  // -1 until the environment is read
u32 cycle_count = 0;
u32 nodes_cycle_count = 0;
// Stress mode's pacing (see stress_collect): the credit earned since the
// last cycle, and the live bytes that cycle found.
u64 credit = 0;
u64 last_live = 0;
u64 credit_per_allocation = default_stress_credit;
u64 total_work = 0;

Marker markers[max_markers];
i32 marker_fill = 0;

ptrmap::PtrMap* remap = nullptr;
constexpr i32 remap_size = 20000;

// Nodes whose cells still need marking.
Node* work = nullptr;
size_t work_fill = 0, work_capacity = 0;
u32 work_generation = 0;

// Fixed buffers marked this cycle: they live outside the frames, so
// compaction does not clear their marks.
Node* fixed_marked = nullptr;
size_t fixed_fill = 0, fixed_capacity = 0;

constexpr size_t freed_queue_size = 20000;
Node freed_queue[freed_queue_size];
size_t freed_fill = 0;

// Work arrays live in the tracked heap, which heap::free_all empties at
// process end; a new memory manager starts them afresh.
void reset_arrays_if_stale() {
    if (work_generation == memory::generation) return;
    work_generation = memory::generation;
    work = nullptr;
    fixed_marked = nullptr;
    work_fill = work_capacity = fixed_fill = fixed_capacity = 0;
}

void push(Node*& array, size_t& fill, size_t& capacity, Node n) {
    if (fill == capacity) {
        capacity = capacity ? capacity * 2 : 4096;
        array = static_cast<Node*>(heap::reallocate(array, capacity * sizeof(Node)));
    }
    array[fill++] = n;
}

// A node slot holds an address while its node is live, the next free node
// (below 2^32) while free: a free node is never taken for a buffer.
inline bool live_slot(Node n) { return n && memory::node_slots[n] >= (u64{1} << 32); }

void flush_freed() {
    std::sort(freed_queue, freed_queue + freed_fill);
    for (size_t i = 0; i < freed_fill; i++) {
        Node n = freed_queue[i];
        memory::free_node(&memory::node_frames[memory::frame_number(n)], n);
    }
    freed_fill = 0;
}

// Queues a dead buffer's node; a node that already names another buffer
// (the buffer was replaced) is left alone.
void queue_free(SeriesBuffer* s) {
    Node n = s->node;
    if (!n || !live_slot(n) || buffer(n) != s) return;
    memory::node_slots[n] = 0;  // no longer a buffer: a second queueing is refused
    if (freed_fill == freed_queue_size) flush_freed();
    freed_queue[freed_fill++] = n;
}

Node remapped(Node old_node) {
    if (!remap) return 0;
    u32* v = ptrmap::get(remap, old_node);
    return v ? *v : 0;
}

void drain();

// --- Marking by type ------------------------------------------------------------

using CellMarker = void (*)(Cell& c);

void mark_nothing(Cell&) {}
void mark_series_cells(Cell& c) {
    if (c.data2) mark_values(&c.data2);
}
void mark_string(Cell& c) {
    mark_node(&c.data2);
    if (c.data3) mark_node(&c.data3);
}
void mark_symbol(Cell& c) {
    mark_node(&c.data3);
    if (c.data2) mark_node(&c.data2);
}
void mark_data_node(Cell& c) {
    if (c.data2) mark_node(&c.data2);
}
// An image's record, and through it the resource entry of its pixels.
void mark_image(Cell& c) {
    if (c.data2 && mark_node(&c.data2)) image_backend::mark_record(c.data2);
}
void mark_object(Cell& c) {
    if (c.data1) mark_context(&c.data1);
    if (!c.data3 || !mark_node(&c.data3)) return;
    // The change-handler record: pair cells whose word 3 is a handler's spec
    // block node, compared later with the handler's current spec.
    SeriesBuffer* s = buffer(c.data3);
    for (Cell* p = s->cells(), *end = reinterpret_cast<Cell*>(s->tail_ptr()); p < end; p++)
        if (p->data3) mark_values(&p->data3);
}
void mark_context_cell(Cell& c) {
    static constexpr hashtable::MarkHooks hooks{mark_node, mark_block};
    if (c.data1) hashtable::mark(&c.data1, hooks);
    if (!(c.header & flag::ctx_on_stack) && c.data2) mark_values(&c.data2);
}
void mark_word(Cell& c) {
    if (!c.data1) return;
    if (static_cast<i32>(c.data2) == stack::self_symbol) mark_values(&c.data1);
    else mark_context(&c.data1);
}
void mark_native(Cell& c) {
    if (c.data2) mark_values(&c.data2);
    if (c.data3) mark_values(&c.data3);
}
void mark_function(Cell& c) {
    if (c.data1) mark_context(&c.data1);
    if (c.data2) mark_values(&c.data2);
    if (!c.data3 || !mark_node(&c.data3)) return;
    SeriesBuffer* s = buffer(c.data3);
    push(work, work_fill, work_capacity, c.data3);
    // Extra-block cell 4 of a function names the owning object's context as
    // an integer!: it is kept alive and renumbered with the function. A
    // routine keeps its return type number there instead, which is no node.
    const u32 t = cell::type_of(c);
    const bool routine_q = t == type::routine ||
        (t == type::op && ((c.header & flag::op_fn_type_mask) >> flag::op_fn_type_shift) == type::routine);
    if (!routine_q && s->tail - s->head >= 5 * sizeof(Cell)) {
        Cell& owner = s->cells()[4];
        if (cell::type_of(owner) == type::integer && owner.data2) mark_context(&owner.data2);
    }
}
void mark_op(Cell& c) {
    u32 wrapped = (c.header & flag::op_fn_type_mask) >> flag::op_fn_type_shift;
    if (wrapped == type::function || wrapped == type::routine) mark_function(c);
    else mark_native(c);
}
void mark_hash(Cell& c) {
    static constexpr hashtable::MarkHooks hooks{mark_node, mark_block};
    if (c.data2) mark_values(&c.data2);
    if (c.data3) hashtable::mark(&c.data3, hooks);
}
void mark_handle(Cell& c) {
    if (static_cast<i32>(c.data3) >= 0 && handles::ready()) handles::mark(static_cast<i32>(c.data3));
}
void mark_event(Cell& c) {
    if ((c.header & flag::event_keep) && c.data2) mark_values(&c.data2);
}

// One row per type that holds nodes; every other type marks nothing.
struct MarkTable {
    CellMarker row[256];
    constexpr MarkTable() : row{} {
        for (auto& r : row) r = mark_nothing;
        for (u32 t : {type::block, type::paren, type::path, type::lit_path, type::set_path, type::get_path})
            row[t] = mark_series_cells;
        for (u32 t : {type::string, type::file, type::url, type::tag, type::email, type::ref}) row[t] = mark_string;
        row[type::symbol] = mark_symbol;
        for (u32 t : {type::bitset, type::vector, type::binary}) row[t] = mark_data_node;
        row[type::image] = mark_image;
        for (u32 t : {type::object, type::error, type::port}) row[t] = mark_object;
        row[type::context] = mark_context_cell;
        for (u32 t : {type::word, type::set_word, type::lit_word, type::get_word, type::refinement, type::issue})
            row[t] = mark_word;
        row[type::native] = mark_native;
        row[type::action] = mark_native;
        row[type::op] = mark_op;
        row[type::function] = mark_function;
        row[type::routine] = mark_function;
        row[type::hash] = mark_hash;
        row[type::map] = mark_hash;
        row[type::handle] = mark_handle;
        row[type::event] = mark_event;
    }
};
constexpr MarkTable mark_table;

bool draining = false;

void drain() {
    if (draining) return;
    draining = true;
    while (work_fill) {
        Node n = work[--work_fill];
        SeriesBuffer* s = buffer(n);
        // Cells may be marked (and nodes renumbered in place) while walking:
        // nothing allocates, so the buffer stays where it is.
        for (Cell* c = s->cells(), *end = reinterpret_cast<Cell*>(s->tail_ptr()); c < end; c++)
            mark_table.row[cell::type_of(*c)](*c);
    }
    draining = false;
}

// --- Roots ------------------------------------------------------------------------

void mark_context_value(Node n) { mark_context(&n); }
void mark_values_value(Node n) { mark_values(&n); }

// Call frames hold nodes by value: renumbered here before they are marked.
void remap_frames() {
    if (!remap || !stack::ready()) return;
    for (CallFrame* f = stack::frame_bottom; f < stack::frame_top; f++) {
        if (Node m = remapped(f->name_ctx)) f->name_ctx = m;
        if (Node m = remapped(f->fn_ctx)) f->fn_ctx = m;
        if (f->fn_ctx && f->values && !(context::cell_of(f->fn_ctx)->header & flag::ctx_on_stack))
            if (Node m = remapped(f->values)) f->values = m;
    }
}

void mark_roots() {
    static constexpr hashtable::MarkHooks hooks{mark_node, mark_block};
    if (Node root = root_block()) {
        mark_values(&root);
        set_root_block(root);
    }
    if (symbol::block) mark_values(&symbol::block);
    if (symbol::table) hashtable::mark(&symbol::table, hooks);
    if (Node* own = ownership::live_table_slot()) hashtable::mark(own, hooks);
    if (stack::ready()) {
        mark_block(stack::bottom, stack::top);
        remap_frames();
        stack::mark_roots(mark_context_value, mark_values_value);
    }
    if (context::global) mark_context(&context::global);
    if (Node t = series::take_buffer()) mark_node(&t);
    if (Node t = unicode::loading_node()) mark_node(&t);
    mark_cell(block::fixed_cell());
    if (Node t = hashtable::scratch_table()) hashtable::mark(&t, hooks);
    if (slot_table::live_block()) mark_values(&slot_table::block);
    drain();
    for (i32 i = 0; i < marker_fill; i++)
        if (markers[i]) {
            markers[i]();
            drain();
        }
}

// The ownership records between marking and their sweep. Owners and field
// words are held weakly, so marking has not renumbered them after a node
// compaction: that is done here, before the sweep judges owners by their
// nodes. A record whose owner died is about to be dropped: its buffer loses
// the owned flag, so that another owner can take it later.
void settle_ownership(Node table) {
    hashtable::Table* t = hashtable::record(table);
    if (t->kind != hashtable::kind::ownership) return;
    const u32* flags = reinterpret_cast<const u32*>(buffer(static_cast<Node>(t->flags))->data());
    const i32* keys = reinterpret_cast<const i32*>(buffer(static_cast<Node>(t->keys))->data());
    u8* records = buffer(static_cast<Node>(t->block))->data();
    for (u32 b = 0, cap = static_cast<u32>(t->capacity); b < cap; b++) {
        if (hashtable::bucket::state(flags, b) != hashtable::bucket::live) continue;
        Cell* rec = reinterpret_cast<Cell*>(records + keys[b]);
        Cell& owner = rec[2];
        Cell& word = rec[3];
        if (remap) {
            if (Node m = remapped(owner.data1)) owner.data1 = m;
            u32 wt = cell::type_of(word);
            if (wt >= type::word && wt <= type::issue)
                if (Node m = remapped(word.data1)) word.data1 = m;
        }
        bool owner_live = live_slot(owner.data1) && (buffer(owner.data1)->flags & sflag::mark);
        if (!owner_live && live_slot(rec->data1)) buffer(rec->data1)->flags &= ~sflag::owned;
    }
}

// --- Node compaction --------------------------------------------------------------

bool frame_holds(memory::NodeFrame* f, Node n) { return n && memory::frame_number(n) == f->number; }

// Nodes that modules hold by value and cannot be renumbered keep their frame.
bool pinned(memory::NodeFrame* f) {
    return frame_holds(f, series::take_buffer()) || frame_holds(f, hashtable::scratch_table());
}

Node take_free_node(memory::NodeFrame*& target) {
    while (target && (!target->free || target->releasing)) target = target->next;
    if (!target) return 0;
    Node n = target->free;
    target->free = static_cast<Node>(memory::node_slots[n]);
    target->used++;
    return n;
}

void plan_node_compaction() {
    memory::NodeFrame* target = memory::record.n_head;
    while (target && (!target->free || target->releasing)) target = target->next;
    if (!target) return;
    i64 free_nodes = 0;
    for (memory::NodeFrame* f = memory::record.n_head; f; f = f->next)
        if (f->free && !f->releasing) free_nodes += f->capacity - f->used;
    bool moved = false;
    constexpr u32 stable = (1u << (age_threshold + 1)) - 1;
    for (memory::NodeFrame* f = memory::record.n_tail; f; f = f->prev) {
        if ((f->history & stable) != stable || f->used == 0 || f->used >= 5000 || free_nodes <= 10000 || f == target || pinned(f))
            continue;
        f->releasing = true;
        Node base = f->number << memory::node_slot_bits;
        for (u32 i = 1; i <= f->capacity; i++) {
            Node old = base + i;
            if (!live_slot(old)) continue;
            Node fresh = take_free_node(target);
            if (!fresh) break;  // nowhere to go: the frame keeps what is left
            memory::node_slots[fresh] = memory::node_slots[old];
            SeriesBuffer* s = buffer(fresh);
            if (s->node == old) s->node = fresh;
            if (!remap) remap = ptrmap::create(remap_size);
            ptrmap::put(remap, old, fresh);
            memory::node_slots[old] = 0;
            f->used--;
        }
        if (f->used != 0) f->releasing = false;
        moved = true;
        free_nodes -= 10000;
    }
    if (moved) nodes_cycle_count++;
}

// --- Compaction of the series frames -------------------------------------------

inline u8* next_buffer(u8* p) {
    return p + reinterpret_cast<SeriesBuffer*>(p)->size + memory::buffer_overhead;
}

// Compacts one frame; live runs go into the free tail of `pred`, the nearest
// frame before it that holds data, while it has plenty of room.
void compact_frame(memory::SeriesFrame* f, memory::SeriesFrame* pred) {
    u8* const old_top = f->top;
    u8* dest = nullptr;  // set at the first buffer that does not stay put
    u8* p = f->first();
    while (p < f->top) {
        auto* s = reinterpret_cast<SeriesBuffer*>(p);
        u8* after = next_buffer(p);
        size_t bytes = static_cast<size_t>(after - p);
        if (!(s->flags & sflag::mark)) {
            queue_free(s);
            if (!dest) dest = p;
            p = after;
            continue;
        }
        s->flags &= ~sflag::mark;
        // Into the predecessor's free tail while it has plenty of room.
        if (pred && pred->end - pred->top > memory::min_frame_room &&
            static_cast<size_t>(pred->end - pred->top) > bytes) {
            memory::reuse(pred->top, bytes);
            std::memcpy(pred->top, p, bytes);
            memory::set_buffer(s->node, reinterpret_cast<SeriesBuffer*>(pred->top));
            pred->top += bytes;
            if (!dest) dest = p;
        } else if (dest) {
            memory::reuse(dest, bytes);  // it may have held a moved-from buffer's data
            std::memmove(dest, p, bytes);
            memory::set_buffer(reinterpret_cast<SeriesBuffer*>(dest)->node, reinterpret_cast<SeriesBuffer*>(dest));
            dest += bytes;
        }
        p = after;
    }
    if (dest) {
        f->top = dest;
        memory::poison(dest, static_cast<size_t>(old_top - dest));  // all moved away or dead
    }
}

// Frames that end up empty stay in the list until the end of the cycle,
// when memory::settle_series_frames decides which go back to the OS and which
// are kept as room. Meanwhile they are passed over as predecessors: a frame
// emptied into its predecessor would otherwise take in the whole of the next
// frame, and that one the next, so that every live buffer moved at every
// cycle without the frames ever filling up.
void compact_series_frames() {
    memory::SeriesFrame* pred = nullptr;
    for (memory::SeriesFrame* f = memory::record.s_head; f; f = f->next) {
        compact_frame(f, pred);
        if (f->top != f->first()) pred = f;
    }
}

void sweep_big_buffers() {
    memory::BigHeader** link = &memory::record.b_head;
    while (*link) {
        memory::BigHeader* b = *link;
        SeriesBuffer* s = b->buffer();
        if (s->flags & sflag::mark) {
            s->flags &= ~sflag::mark;
            link = &b->next;
            continue;
        }
        queue_free(s);
        *link = b->next;
        memory::free_os_block(b);
    }
}

u32 run_cycle(bool nodes) {
    if (running) return cycle_count;
    reset_arrays_if_stale();
    running = true;
    memory::moves++;  // buffers move and nodes may be renumbered from here on
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (nodes && nodes_on) plan_node_compaction();
    mark_roots();
    if (remap) {
        cycles::remap(remapped);
        // A running function's context may have a new number: the evaluator's
        // record of it is read again before its next use.
        stack::reference_writes++;
    }
    if (handles::ready()) handles::sweep();
    if (Node* own = ownership::live_table_slot()) {
        settle_ownership(*own);
        hashtable::sweep(*own);
    }
    compact_series_frames();
    sweep_big_buffers();
    last_live = memory::settle_series_frames();
    total_work += last_live;
    credit = 0;
    for (size_t i = 0; i < fixed_fill; i++)
        if (live_slot(fixed_marked[i])) buffer(fixed_marked[i])->flags &= ~sflag::mark;
    fixed_fill = 0;
    flush_freed();
    cycle_count++;
    memory::update_node_frames(cycle_count);
    if (remap) {
        ptrmap::destroy(remap);
        remap = nullptr;
    }
    memory::moves++;  // anything kept during the cycle is stale too
    std::atomic_thread_fence(std::memory_order_seq_cst);
    running = false;
    return cycle_count;
}

}  // namespace

// --- Interface ------------------------------------------------------------------

void init() {
    cycle_count = nodes_cycle_count = 0;
    credit = last_live = total_work = 0;
    marker_fill = 0;
    running = false;
    nodes_on = true;
    freed_fill = 0;
    reset_arrays_if_stale();
}

void collect_if_enabled() {
    if (!enabled || running) return;
    run_cycle(false);
}

void stress_collect() {
    if (!enabled || running) return;
    credit += credit_per_allocation;
    if (credit >= last_live) run_cycle(false);
}

u64 set_stress_credit(u64 bytes) {
    const u64 was = credit_per_allocation;
    credit_per_allocation = bytes;
    return was;
}

u64 work_done() { return total_work; }

u32 recycle() { return run_cycle(false); }

u32 compact_nodes() { return run_cycle(true); }

u32 cycles() { return cycle_count; }
u32 nodes_cycles() { return nodes_cycle_count; }

bool stress() {
    if (stress_mode < 0) {
        const char* v = std::getenv("ORU_GC_STRESS");
        stress_mode = v && v[0] && std::strcmp(v, "0") != 0 ? 1 : 0;
    }
    return stress_mode == 1 && enabled && !running;
}

bool stress_set() {
    stress();
    return stress_mode == 1;
}

bool set_stress(bool on) {
    stress();
    bool was = stress_mode == 1;
    stress_mode = on ? 1 : 0;
    return was;
}

bool enable(bool on) {
    bool was = enabled;
    enabled = on;
    return was;
}
bool enabled_q() { return enabled; }

bool nodes_enabled(bool on) {
    bool was = nodes_on;
    nodes_on = on;
    return was;
}

bool active() { return running; }

void register_marker(Marker fn) {
    // The array has max_markers entries: one more is refused, never written past it.
    if (marker_fill >= max_markers) fire(ErrorId::internal_limit_hit, cell::integer(max_markers));
    markers[marker_fill++] = fn;
}

void unregister_marker(Marker fn) {
    for (i32 i = 0; i < marker_fill; i++)
        if (markers[i] == fn) markers[i] = nullptr;
}

bool mark_node(Node* slot) {
    Node n = *slot;
    if (!n) return false;
    if (remap)
        if (Node m = remapped(n)) *slot = n = m;
    if (!live_slot(n)) return false;
    SeriesBuffer* s = buffer(n);
    if (s->flags & sflag::mark) return false;
    s->flags |= sflag::mark;
    if (s->flags & sflag::fixed) push(fixed_marked, fixed_fill, fixed_capacity, n);
    return true;
}

void unmark_node(Node n) {
    if (live_slot(n)) buffer(n)->flags &= ~sflag::mark;
}

void mark_block(Cell* first, Cell* end) {
    for (Cell* c = first; c < end; c++) mark_table.row[cell::type_of(*c)](*c);
    drain();
}

void mark_values(Node* slot) {
    if (!mark_node(slot)) return;
    if (buffer(*slot)->unit() == sizeof(Cell)) push(work, work_fill, work_capacity, *slot);
    drain();
}

void mark_context(Node* slot) {
    if (!mark_node(slot)) return;
    push(work, work_fill, work_capacity, *slot);  // the context cell and the owner cell
    drain();
}

void mark_cell(Cell& c) {
    mark_table.row[cell::type_of(c)](c);
    drain();
}

}  // namespace oru::collector
