// Memory manager: OS blocks, node frames, series frames, series buffers and
// their growth.
//
// Allocation in a series frame is a pointer bump and node allocation a
// free-list pop; a frame search happens only when the current frame is full.
// When no frame has room, the budget the last cycle left (see min_free_room
// in memory.h) pays for new frames and big buffers; once it cannot pay for
// the request (or the OS refuses it), the allocation that finds no room runs
// a cycle first.
// Any allocation may run the collector, which may move buffers: code here
// that holds a buffer across an allocation fetches it again through its node.
#include "runtime/memory.h"

#include "runtime/budget.h"
#include "runtime/collector.h"
#include "runtime/fire.h"
#include "runtime/platform/platform.h"
#include "runtime/sanitizer.h"
#include "runtime/system.h"

#include <sys/mman.h>

namespace oru::memory {

Record record;
u64* node_slots = nullptr;
NodeFrame* node_frames = nullptr;
u32 frames_limit = max_node_frames;
u32 generation = 0;
u64 moves = 0;
u32 refuse_os_blocks = 0;

namespace {

constexpr size_t page = 4096;
constexpr size_t huge_page = size_t{2} << 20;
constexpr size_t os_prefix = 16;  // the rounded size, kept before the caller's address
constexpr size_t frame_span = size_t{1} << node_slot_bits;
constexpr u32 fixup_pairs = 1000;

u32 free_frame_number = 0;  // next never-used frame number
u32 node_frames_in_use = 0;

// The OS's refusal as a language error; any other code the memory
// operations' catch level stopped goes on its way.
[[noreturn]] void raise_refusal(u32 code) {
    if (code >= throw_code::mem_release && code <= throw_code::mem_guard)
        fire(code == throw_code::mem_release ? ErrorId::internal_wrong_mem : ErrorId::internal_no_memory);
    system_throw(code);
}

// Runs an OS memory call under the memory operations' catch level.
template <class F>
void guarded(F&& f) {
    if (u32 code = catch_level(throw_code::mem_guard, f)) raise_refusal(code);
}

// An OS block as allocate_os_block gives it, or null when the OS refuses it.
void* map_os_block(size_t size, bool executable) {
    if (size > SIZE_MAX - os_prefix - page) return nullptr;
    size_t rounded = round_up(size + os_prefix, page);
    budget::take_os_bytes(record.total, rounded);
    if (refuse_os_blocks) {
        refuse_os_blocks--;
        return nullptr;
    }
    void* p = nullptr;
    u32 code = catch_level(throw_code::mem_guard, [&] { p = platform::allocate_virtual(rounded, executable); });
    if (code == throw_code::mem_alloc) return nullptr;
    if (code) raise_refusal(code);
    *static_cast<u64*>(p) = rounded;
    record.total += rounded;
#ifdef MADV_HUGEPAGE
    // Big buffers (large blocks, hash indexes) are read and written all over:
    // huge pages take one fault and one TLB entry per 2 MiB instead of 512.
    // Only a hint: a kernel without them refuses, harmlessly.
    if (rounded >= huge_page) madvise(p, rounded, MADV_HUGEPAGE);
#endif
    return static_cast<u8*>(p) + os_prefix;
}

size_t region_bytes() { return size_t{frames_limit} * frame_span * sizeof(u64); }
size_t records_bytes() { return sizeof(NodeFrame) * frames_limit; }

// Committed bytes of a node frame's slots: slot 0 and the capacity's slots.
size_t node_frame_bytes(u32 capacity) { return round_up((size_t{capacity} + 1) * sizeof(u64), page); }

u32 alloc_frame_number() {
    // Reuse a number whose frame was released, else take a new one.
    for (u32 i = 1; i < free_frame_number; i++)
        if (node_frames[i].number == 0) return i;
    if (free_frame_number >= frames_limit) fire(ErrorId::internal_no_memory);
    return free_frame_number++;
}

// Links a new buffer of `size` data bytes at `at`.
SeriesBuffer* init_buffer(u8* at, i32 size, u32 unit, i32 offset, u32 extra_flags) {
    auto* s = reinterpret_cast<SeriesBuffer*>(at);
    s->size = size;
    s->node = 0;
    s->flags = unit | sflag::in_use | sflag::allocated | extra_flags;
    u32 start = 0;
    if (offset == -1) {
        start = static_cast<u32>(size / 2);
        s->flags |= sflag::mid_head;
    } else if (offset > 0) {
        start = static_cast<u32>(offset);
    }
    s->head = s->tail = start;
    return s;
}

// True when the budget the last cycle left covers taking `bytes` more from
// the OS without a cycle; the budget is then spent. Only while collection is
// enabled (with it off nothing collects anyway) and never in stress mode,
// which collects at every allocation whatever the budget. A request beyond
// what is left collects first, as without a budget: one large big buffer
// must not take the heap past the room a cycle kept. Nor is it spent while
// half the node region is in use: node allocation never collects, and the
// garbage made between cycles holds nodes too.
bool spend_budget(u64 bytes) {
    if (record.s_budget < bytes || !collector::enabled_q() || collector::stress() || collector::active()) return false;
    if (node_frames_in_use >= frames_limit / 2) return false;
    record.s_budget -= bytes;
    return true;
}

// The OS refused what the budget was to pay for: the rest of the budget is
// void, and the caller collects before it asks again.
void budget_refused() { record.s_budget = 0; }

// A new series frame of the next frame size, inserted by address; null when
// the OS refuses it.
SeriesFrame* map_series_frame() {
    u32 size = record.s_size;
    size_t bytes = size + SeriesFrame::header_size();
    auto* f = static_cast<SeriesFrame*>(map_os_block(bytes, false));
    if (!f) return nullptr;
    if (record.s_size < record.s_max) record.s_size *= 2;
#ifdef MADV_POPULATE_WRITE
    // A frame fills from start to end: map its pages in one call instead of
    // one page fault each. Only a hint: a kernel without it refuses, harmlessly.
    madvise(reinterpret_cast<u8*>(f) - os_prefix, round_up(bytes + os_prefix, page), MADV_POPULATE_WRITE);
#endif
    f->size = bytes;
    f->top = f->first();
    f->end = reinterpret_cast<u8*>(f) + bytes;
    f->next = f->prev = nullptr;
    poison(f->top, static_cast<size_t>(f->end - f->top));  // handed out by allocation only
    // Keep the list sorted by address.
    SeriesFrame* after = nullptr;
    for (SeriesFrame* g = record.s_head; g && g < f; g = g->next) after = g;
    f->prev = after;
    f->next = after ? after->next : record.s_head;
    if (f->next) f->next->prev = f;
    else record.s_tail = f;
    if (after) after->next = f;
    else record.s_head = f;
    return f;
}

// A new frame that takes `need` bytes: of the maximum size when the next
// frame size is not above need. Null when the OS refuses it.
SeriesFrame* map_frame_for(u64 need) {
    if (need >= record.s_size) record.s_size = record.s_max;
    return map_series_frame();
}

SeriesFrame* new_frame_for(u64 need) {
    SeriesFrame* f = map_frame_for(need);
    if (!f) fire(ErrorId::internal_no_memory);
    return f;
}

// Takes a big buffer: an OS block of its own, never moved by compaction,
// appended to the big-buffer list (few and large, so the walk is cheap).
SeriesBuffer* alloc_big(u64 need, i32 size, u32 unit, i32 offset) {
    u64 request = need + big_header;
    void* block = nullptr;
    if (spend_budget(request) && !(block = map_os_block(request, false))) budget_refused();
    if (!block) {
        collector::collect_if_enabled();
        block = allocate_os_block(request);
    }
    auto* b = static_cast<BigHeader*>(block);
    b->next = nullptr;
    b->link = nullptr;
    b->size = request;
    BigHeader** at = &record.b_head;
    while (*at) at = &(*at)->next;
    *at = b;
    return init_buffer(reinterpret_cast<u8*>(b->buffer()), size, unit, offset, sflag::big);
}

// The first frame, from the start of the list, with room for need bytes.
SeriesFrame* find_frame(u64 need) {
    for (SeriesFrame* f = record.s_head; f; f = f->next)
        if (reinterpret_cast<uintptr_t>(f->top) + need < reinterpret_cast<uintptr_t>(f->end)) return f;
    return nullptr;
}

// count x unit rounded up to 16. A negative count is a request no OS grants.
i32 checked_size(i64 count, u32 unit) {
    if (count < 0) fire(ErrorId::internal_no_memory);
    i64 bytes = count * static_cast<i64>(unit);
    bytes = static_cast<i64>(round_up(static_cast<u64>(bytes), 16));
    if (bytes > 0x7FFFFFF0) fire(ErrorId::internal_no_memory);
    return static_cast<i32>(bytes);
}

}  // namespace

// ---------------------------------------------------------------------------
// OS blocks

void* allocate_os_block(size_t size, bool executable) {
    void* p = map_os_block(size, executable);
    if (!p) fire(ErrorId::internal_no_memory);
    return p;
}

void free_os_block(void* p) {
    u8* block = static_cast<u8*>(p) - os_prefix;
    u64 rounded = *reinterpret_cast<u64*>(block);
    // The addresses may be mapped again, by anyone: they go back unmarked.
    sanitizer::unpoison(block, rounded);
    guarded([&] { platform::free_virtual(block, rounded); });
    record.total -= rounded;
}

// ---------------------------------------------------------------------------
// Set-up and release

u32 node_frames_for(u64 limit) {
    constexpr u64 least = 64;
    const u64 frames = limit / 8 / (frame_span * sizeof(u64));
    if (frames >= max_node_frames) return max_node_frames;
    return static_cast<u32>(frames > least ? frames : least);
}

void init() {
    // A new memory manager starts with collection off, whatever an earlier
    // one (an earlier start-up in the same process) left behind.
    collector::enable(false);
    generation++;
    moves++;
    record = Record{};
    free_frame_number = 1;
    node_frames_in_use = 0;
    refuse_os_blocks = 0;
    // The node region and the frame records are reserved once, untouched
    // pages cost nothing but addresses, which a limited process is short of.
    frames_limit = node_frames_for(platform::address_space_limit());
    void* slots = mmap(nullptr, region_bytes(), PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    void* frames = mmap(nullptr, records_bytes(), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                        -1, 0);
    if (slots == MAP_FAILED || frames == MAP_FAILED) runtime_error(94, 0);
    node_slots = static_cast<u64*>(slots);
    node_frames = static_cast<NodeFrame*>(frames);
    record.fixup = static_cast<u32*>(heap::allocate(sizeof(u32) * 2 * fixup_pairs));
    record.fixup_fill = record.fixup;
    record.fixup_capacity = fixup_pairs;
}

void release_all() {
    if (!node_slots) return;
    moves++;
    // At process end a block the OS will not take back is no reason to stop:
    // unmap directly and let nothing throw.
    auto release = [](void* p) {
        u8* block = static_cast<u8*>(p) - os_prefix;
        const u64 rounded = *reinterpret_cast<u64*>(block);
        sanitizer::unpoison(block, rounded);
        munmap(block, rounded);
    };
    for (SeriesFrame* f = record.s_head; f;) {
        SeriesFrame* next = f->next;
        release(f);
        f = next;
    }
    for (BigHeader* b = record.b_head; b;) {
        BigHeader* next = b->next;
        release(b);
        b = next;
    }
    munmap(node_slots, region_bytes());
    munmap(node_frames, records_bytes());
    heap::free(record.fixup);
    node_slots = nullptr;
    node_frames = nullptr;
    record = Record{};
}

// ---------------------------------------------------------------------------
// Nodes

NodeFrame* new_node_frame(u32 count) {
    if (count == 0 || count > frame_span - 1) count = node_frame_capacity;
    size_t bytes = node_frame_bytes(count);
    budget::take_os_bytes(record.total, bytes);
    u32 number = alloc_frame_number();
    u64* slots = node_slots + size_t{number} * frame_span;
    if (mprotect(slots, bytes, PROT_READ | PROT_WRITE) != 0) fire(ErrorId::internal_no_memory);
    record.total += bytes;
    node_frames_in_use++;
    NodeFrame* f = &node_frames[number];
    *f = NodeFrame{};
    f->number = number;
    f->capacity = count;
    f->stamp = collector::cycles();
    // Chain every node into the free list in address order. Slot 0 of frame
    // 1 would be node 0, "no node": slots start at 1 in every frame.
    Node base = number << node_slot_bits;
    for (u32 i = 1; i < count; i++) slots[i] = base + i + 1;
    slots[count] = 0;
    f->free = base + 1;
    f->prev = record.n_tail;
    if (record.n_tail) record.n_tail->next = f;
    else record.n_head = f;
    record.n_tail = f;
    if (!record.n_active) record.n_active = f;
    return f;
}

Node alloc_node() {
    NodeFrame* f = record.n_active;
    if (!f || !f->free || f->releasing) [[unlikely]] {
        f = nullptr;
        for (NodeFrame* g = record.n_head; g; g = g->next)
            if (g->free && !g->releasing) {
                f = g;
                break;
            }
        if (!f) f = new_node_frame(node_frame_capacity);
        record.n_active = f;
    }
    Node n = f->free;
    f->free = static_cast<Node>(node_slots[n]);
    node_slots[n] = 0;
    f->used++;
    return n;
}

void free_node(NodeFrame* f, Node n) {
    node_slots[n] = f->free;
    f->free = n;
    f->used--;
}

void release_node_frame(NodeFrame* f) {
    if (f->prev) f->prev->next = f->next;
    else record.n_head = f->next;
    if (f->next) f->next->prev = f->prev;
    else record.n_tail = f->prev;
    if (record.n_active == f) record.n_active = record.n_head;
    u64* slots = node_slots + size_t{f->number} * frame_span;
    size_t bytes = node_frame_bytes(f->capacity);
    madvise(slots, bytes, MADV_DONTNEED);
    mprotect(slots, bytes, PROT_NONE);
    record.total -= bytes;
    node_frames_in_use--;
    f->number = 0;
}

void update_node_frames(u32 cycle) {
    (void)cycle;
    // Empty frames of the full size go back to the OS an eighth of the mapped
    // nodes a cycle at most: a program making garbage at a steady rate would
    // otherwise give its frames back and map them again every cycle, and
    // each release flushes the TLB of every CPU the process ran on.
    u64 mapped = 0, kept = 0;
    for (NodeFrame* f = record.n_head; f; f = f->next) {
        mapped += f->capacity;
        if (f->used != 0 && !f->releasing) kept += f->capacity;
    }
    NodeFrame* current = nullptr;
    for (NodeFrame* f = record.n_head; f;) {
        NodeFrame* next = f->next;
        const bool spare = f->capacity == node_frame_capacity && kept + f->capacity <= mapped - mapped / 8;
        if (f->releasing || (f->used == 0 && !spare)) {
            release_node_frame(f);
        } else {
            if (f->used == 0) kept += f->capacity;
            if (!current && f->used < f->capacity) current = f;
            f->history = (f->history << 1) | (f->previous_used == f->used ? 1u : 0u);
            f->previous_used = f->used;
        }
        f = next;
    }
    record.n_active = current ? current : record.n_head;
}

// ---------------------------------------------------------------------------
// Series frames and buffers

// The next size doubles only once the frame is had: a refused request
// leaves the sizes as they were.
SeriesFrame* new_series_frame() {
    SeriesFrame* f = map_series_frame();
    if (!f) fire(ErrorId::internal_no_memory);
    return f;
}

SeriesFrame* frame_after_collection(u64 need) {
    SeriesFrame* f = find_frame(need);
    if (f && f->end - f->top >= min_frame_room) return f;
    return new_frame_for(need);
}

u64 free_room_for(u64 live) {
    u64 room = live / free_ratio_den * free_ratio_num + live % free_ratio_den * free_ratio_num / free_ratio_den;
    return room > min_free_room ? room : min_free_room;
}

u64 settle_series_frames() {
    u64 live = 0, room = 0;
    for (SeriesFrame* f = record.s_head; f; f = f->next) {
        live += static_cast<u64>(f->top - f->first());
        room += static_cast<u64>(f->end - f->top);
    }
    for (BigHeader* b = record.b_head; b; b = b->next) live += b->size;
    live += record.external;
    const u64 keep = free_room_for(live);
    // Emptied frames go back to the OS, from the highest address down (live
    // data slides towards the first frames), only while the others still
    // hold the room to keep: a frame released now would be mapped again
    // before the next cycle. One frame always stays.
    for (SeriesFrame* f = record.s_tail; f && record.s_head != record.s_tail;) {
        SeriesFrame* prev = f->prev;
        const u64 frame_room = static_cast<u64>(f->end - f->top);
        if (f->top == f->first() && room - frame_room >= keep) {
            if (prev) prev->next = f->next;
            else record.s_head = f->next;
            if (f->next) f->next->prev = prev;
            else record.s_tail = prev;
            if (record.s_active == f) record.s_active = nullptr;
            free_os_block(f);
            room -= frame_room;
        }
        f = prev;
    }
    record.s_budget = keep > room ? keep - room : 0;
    if (!record.s_active) {
        SeriesFrame* f = record.s_head;
        while (f && f->end - f->top < min_frame_room) f = f->next;
        record.s_active = f ? f : record.s_head;
    }
    return live;
}

void charge_external(u64 bytes) {
    if (!spend_budget(bytes)) {
        collector::collect_if_enabled();
        record.s_budget = record.s_budget > bytes ? record.s_budget - bytes : 0;
    }
    record.external += bytes;
}

void release_external(u64 bytes) { record.external = record.external > bytes ? record.external - bytes : 0; }

SeriesBuffer* alloc_series_buffer(i32 count, u32 unit, i32 offset) {
    i32 size = checked_size(count, unit);
    u64 need = static_cast<u64>(size) + buffer_overhead;
    if (need >= max_frame_size) return alloc_big(need, size, unit, offset);

    // A stress collection may compact or release frames: the room check
    // below runs on whatever frame is current afterwards.
    if (collector::stress()) [[unlikely]] collector::stress_collect();
    SeriesFrame* f = record.s_active;
    if (!f || reinterpret_cast<uintptr_t>(f->top) + need >= reinterpret_cast<uintptr_t>(f->end)) [[unlikely]] {
        f = find_frame(need);
        if (!f) {
            // No frame has room: a new frame while the last cycle's budget
            // lasts, else (or when the OS refuses it) a cycle first.
            if (spend_budget(need < record.s_size ? record.s_size : record.s_max) && !(f = map_frame_for(need)))
                budget_refused();
            if (!f) {
                collector::collect_if_enabled();
                f = frame_after_collection(need);
            }
        }
        record.s_active = f;
    }
    u8* at = f->top;
    f->top += need;
    reuse(at, need);
    return init_buffer(at, size, unit, offset, 0);
}

Node alloc_series(i32 count, u32 unit, i32 offset) {
    SeriesBuffer* s = alloc_series_buffer(count, unit, offset);
    // The node comes second: taking it never collects, so s stays put.
    Node n = alloc_node();
    s->node = n;
    set_buffer(n, s);
    return n;
}

Node alloc_fixed_series(i32 count, u32 unit, i32 offset) {
    i32 size = checked_size(count, unit);
    // 12 bytes of padding keep the data 16-aligned after the heap's header.
    u8* block = static_cast<u8*>(heap::allocate(static_cast<size_t>(size) + sizeof(SeriesBuffer) + 12));
    SeriesBuffer* s = init_buffer(block + 12, size, unit, offset, sflag::fixed);
    Node n = alloc_node();
    s->node = n;
    set_buffer(n, s);
    return n;
}

Node alloc_cells(i32 count) { return alloc_series(count, 16, 0); }

Node alloc_cells_unset(i32 count) {
    Node n = alloc_cells(count);
    SeriesBuffer* s = buffer(n);
    auto* c = reinterpret_cast<Cell*>(s->data());
    for (i32 i = 0, k = s->size / 16; i < k; i++) c[i] = Cell{type::unset, 0, 0, 0};
    return n;
}

Node alloc_bytes(i32 count) { return alloc_series(count == 0 ? 16 : count, 1, 0); }

Node alloc_codepoints(i32 count, u32 unit) {
    if (count == 0) count = static_cast<i32>(unit ? 16 / unit : 16);
    return alloc_series(count, unit, 0);
}

Node alloc_bytes_filled(i32 count, u8 byte) {
    Node n = alloc_bytes(count);
    SeriesBuffer* s = buffer(n);
    fill_bytes(s->data(), s->end_ptr(), byte);
    return n;
}

void set_buffer_flag(Node n, u32 bits) { buffer(n)->flags |= bits; }

// ---------------------------------------------------------------------------
// Growth

namespace {

// Where a buffer lives: these flag bits belong to the buffer, not the series.
constexpr u32 placement_bits = sflag::big | sflag::fixed;

// Gives the node a larger buffer and drops the old one; *old receives the
// old buffer, still intact: nothing allocates between here and its use.
SeriesBuffer* expand(SeriesBuffer* s, i32 new_size, SeriesBuffer** old) {
    u32 unit = s->unit() ? s->unit() : 1;
    Node n = s->node;
    if (new_size == 0) {
        if (s->size > 0x3FFFFFF0) fire(ErrorId::internal_no_memory);
        // Doubling an empty buffer would give it no room at all.
        new_size = s->size ? s->size * 2 : 16;
    }
    if (new_size < 1) fire(ErrorId::internal_no_memory);
    // Rounded up to whole units: the caller asked for at least new_size bytes.
    SeriesBuffer* fresh = alloc_series_buffer(static_cast<i32>((new_size + unit - 1) / unit), unit, 0);
    s = buffer(n);  // the allocation may have collected and moved it
    // The series keeps its flags; the new buffer keeps its own placement (a
    // fixed series grows into a frame buffer, which the collector may move).
    fresh->flags = (s->flags & ~placement_bits) | (fresh->flags & placement_bits);
    fresh->node = n;
    u32 used = s->tail - s->head;
    moves++;  // the node's buffer and head change: kept addresses are stale
    fresh->head = 0;
    fresh->tail = used <= static_cast<u32>(fresh->size) ? used : static_cast<u32>(fresh->size);
    set_buffer(n, fresh);
    s->node = 0;
    s->flags &= ~sflag::in_use;
    if (old) *old = s;              // the caller copies, then poisons it
    else poison(s->data(), static_cast<size_t>(s->size));
    return fresh;
}

}  // namespace

SeriesBuffer* expand_series(SeriesBuffer* s, i32 new_size) { return expand(s, new_size, nullptr); }

namespace {

// expand_series_copy; returns the bytes copied in *copied.
SeriesBuffer* expand_copy(SeriesBuffer* s, i32 new_size, u32* copied) {
    SeriesBuffer* old = nullptr;
    SeriesBuffer* fresh = expand(s, new_size, &old);
    // Everything from the old head to the end of its data area (callers may
    // have written past the tail before moving it), but not beyond it.
    u32 bytes = static_cast<u32>(old->size) - old->head;
    if (bytes > static_cast<u32>(fresh->size)) bytes = static_cast<u32>(fresh->size);
    std::memcpy(fresh->data(), old->head_ptr(), bytes);
    poison(old->data(), static_cast<size_t>(old->size));
    *copied = bytes;
    return fresh;
}

}  // namespace

SeriesBuffer* expand_series_copy(SeriesBuffer* s, i32 new_size) {
    u32 copied = 0;
    return expand_copy(s, new_size, &copied);
}

// The fill starts where the copied data ends: at the old size when the old
// head was at the data start, earlier when it was not.
SeriesBuffer* expand_series_filled(SeriesBuffer* s, i32 new_size, u8 byte) {
    u32 copied = 0;
    SeriesBuffer* fresh = expand_copy(s, new_size, &copied);
    fill_bytes(fresh->data() + copied, fresh->end_ptr(), byte);
    return fresh;
}

// ---------------------------------------------------------------------------
// Copies

Node copy_series_buffer(SeriesBuffer* s) {
    Node src = s->node;
    Node n = alloc_series(s->size, 1, 0);
    s = buffer(src);
    SeriesBuffer* d = buffer(n);
    d->flags = (s->flags & ~(placement_bits | sflag::mark)) | (d->flags & placement_bits);
    d->head = s->head;
    d->tail = s->tail;
    std::memcpy(d->data(), s->data(), static_cast<size_t>(s->size));
    return n;
}

Node copy_series_part(Node src, i32 offset, i32 count) {
    SeriesBuffer* s = buffer(src);
    u32 unit = s->unit() ? s->unit() : 1;
    i32 len = static_cast<i32>(s->length());
    // Clamp the range to what the buffer holds.
    if (offset < 0) offset = 0;
    if (offset > len) offset = len;
    if (count < 0) count = 0;
    if (count > len - offset) count = len - offset;
    Node n = alloc_series(count, unit, 0);
    s = buffer(src);
    SeriesBuffer* d = buffer(n);
    d->flags = (s->flags & ~(placement_bits | sflag::mark | sflag::owned)) | (d->flags & placement_bits);
    u32 bytes = static_cast<u32>(count) * unit;
    std::memcpy(d->data(), s->head_ptr() + static_cast<u32>(offset) * unit, bytes);
    d->head = 0;
    d->tail = bytes;
    return n;
}

// ---------------------------------------------------------------------------
// Tail operations

Cell* alloc_tail_raw(SeriesBuffer* s) {
    if (s->tail + sizeof(Cell) > static_cast<u32>(s->size)) [[unlikely]]
        s = expand_series_copy(s, 0);
    Cell* c = reinterpret_cast<Cell*>(s->tail_ptr());
    c->header = type::unset;
    s->tail += sizeof(Cell);
    return c;
}

Cell* alloc_tail(Node n) { return alloc_tail_raw(buffer(n)); }

u8* reserve_bytes(Node n, i32 count) {
    SeriesBuffer* s = buffer(n);
    if (count < 0) fire(ErrorId::internal_no_memory);
    if (static_cast<u64>(s->tail) + static_cast<u64>(count) > static_cast<u64>(s->size)) [[unlikely]] {
        // Either amount leaves room for the request once the head moves to 0.
        i64 want = count > s->size ? 2 * static_cast<i64>(count) : 2 * static_cast<i64>(s->size);
        if (want > 0x7FFFFFF0) fire(ErrorId::internal_no_memory);
        s = expand_series_copy(s, static_cast<i32>(want));
    }
    u8* at = s->tail_ptr();
    s->tail += static_cast<u32>(count);
    return at;
}

void poison(void* start, size_t bytes) {
    if (bytes == 0) return;
    if (sanitizer::address) sanitizer::poison(start, bytes);
    else if (collector::stress_set()) std::memset(start, poison_byte, bytes);
}

void reuse(void* start, size_t bytes) { sanitizer::unpoison(start, bytes); }

void fill_bytes(u8* start, u8* end, u8 byte) {
    if (end > start) std::memset(start, byte, static_cast<size_t>(end - start));
}

void zero_words(u32* start, u32* end) {
    if (end > start) std::memset(start, 0, static_cast<size_t>(end - start) * sizeof(u32));
}

}  // namespace oru::memory
