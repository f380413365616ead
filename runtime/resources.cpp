// The external-resource table and the global slot table. The resource table
// is system memory (it holds OS values, never cells); the slot table is a
// block, so its buffer may move at any allocation: cells are fetched through
// its node every time.
#include "runtime/resources.h"

#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/system.h"

#include <cstring>

namespace oru::handles {

namespace {

struct Kind {
    char name[32];
    Release release;
};

Kind* kinds = nullptr;
i32 kind_count = 0;
Slot* slots = nullptr;
i32 capacity = 0;
i32 used_head = -1;
i32 free_head = -1;
i32 used_count = 0;
u32 made_in = 0;  // memory generation of the tables; the heap blocks of an
                  // earlier one went with heap::free_all

// Chains slots [from, to) into the free list, lowest first.
void chain_free(i32 from, i32 to) {
    for (i32 i = to - 1; i >= from; i--) {
        slots[i] = Slot{free_slot, 0, free_head};
        free_head = i;
    }
}

void grow() {
    if (capacity > 0x3FFFFFFF / static_cast<i32>(sizeof(Slot))) fire(ErrorId::internal_no_memory);
    i32 bigger = capacity * 2;
    slots = static_cast<Slot*>(heap::reallocate(slots, sizeof(Slot) * static_cast<size_t>(bigger)));
    chain_free(capacity, bigger);
    capacity = bigger;
}

Slot& at(i32 slot) {
    if (slot < 0 || slot >= capacity || (slots[slot].kind & free_slot)) fire(ErrorId::internal_limit_hit, cell::integer(slot));
    return slots[slot];
}

// Takes the slot out of the used list (the list is short-lived per sweep
// walk; a linear search keeps the record at 12 bytes of payload).
void unlink(i32 slot) {
    i32* link = &used_head;
    while (*link != -1 && *link != slot) link = &slots[*link].next;
    if (*link == slot) *link = slots[slot].next;
}

}  // namespace

void init() {
    if (made_in == memory::generation) shutdown();
    made_in = memory::generation;
    kinds = static_cast<Kind*>(heap::allocate_zeroed(sizeof(Kind) * max_kinds));
    slots = static_cast<Slot*>(heap::allocate(sizeof(Slot) * initial_slots));
    capacity = initial_slots;
    chain_free(0, capacity);
}

void shutdown() {
    if (made_in == memory::generation) {
        heap::free(kinds);
        heap::free(slots);
    }
    kinds = nullptr;
    slots = nullptr;
    kind_count = capacity = used_count = 0;
    used_head = free_head = -1;
}

i32 push(const char* name, Release release) {
    // The kind number is kept in 8 bits of a slot and the array has room for
    // max_kinds: one more is refused, never written past the array.
    if (kind_count >= max_kinds) fire(ErrorId::internal_limit_hit, cell::integer(max_kinds));
    Kind& k = kinds[kind_count];
    std::strncpy(k.name, name ? name : "", sizeof k.name - 1);
    k.name[sizeof k.name - 1] = 0;
    k.release = release;
    return ++kind_count;
}

i32 add(u64 value, i32 kind) {
    if (free_head == -1) grow();
    i32 slot = free_head;
    free_head = slots[slot].next;
    slots[slot] = Slot{static_cast<u32>(kind) & kind_mask, value, used_head};
    used_head = slot;
    used_count++;
    return slot;
}

void release(u32 kind_word, u64 value) {
    i32 k = static_cast<i32>(kind_word & kind_mask);
    if (k == 0 || k > kind_count || !kinds[k - 1].release) return;
    kinds[k - 1].release(value);
}

void set_value(i32 slot, u64 value) {
    Slot& s = at(slot);
    u64 old = s.value;
    s.value = value;
    if (old != value) release(s.kind, old);
}

u64 value(i32 slot) { return at(slot).value; }

i32 kind_of(i32 slot) { return static_cast<i32>(at(slot).kind & kind_mask); }

void free(i32 slot, bool release_value) {
    Slot& s = at(slot);
    if (release_value) release(s.kind, s.value);
    unlink(slot);
    slots[slot] = Slot{free_slot, 0, free_head};
    free_head = slot;
    used_count--;
}

bool mark(i32 slot, const u64* value) {
    if (slot < 0 || slot >= capacity || (slots[slot].kind & free_slot)) return false;
    Slot& s = slots[slot];
    if (value) s.value = *value;
    bool was_clear = !(s.kind & referenced);
    s.kind |= referenced;
    return was_clear;
}

void for_each_of_type(i32 kind, void (*fn)(u64 value)) {
    for (i32 i = used_head; i != -1; i = slots[i].next)
        if (static_cast<i32>(slots[i].kind & kind_mask) == kind) fn(slots[i].value);
}

void sweep() {
    i32* link = &used_head;
    while (*link != -1) {
        i32 i = *link;
        Slot& s = slots[i];
        if (s.kind & referenced) {
            s.kind &= ~referenced;
            link = &s.next;
            continue;
        }
        // Unlinked before the release runs, so a release function that
        // frees other slots never sees this one again.
        *link = s.next;
        u32 kind = s.kind;
        u64 v = s.value;
        s = Slot{free_slot, 0, free_head};
        free_head = i;
        used_count--;
        release(kind, v);
    }
}

i32 count() { return used_count; }

bool ready() { return slots && made_in == memory::generation; }

const char* kind_name(i32 kind) { return kind >= 1 && kind <= kind_count ? kinds[kind - 1].name : nullptr; }

}  // namespace oru::handles

namespace oru::slot_table {

Node block = 0;

namespace {

u32 made_in = 0;  // memory generation of the block

i32 free_head = -1;  // 0-based index of the first free cell

Cell* cells() { return reinterpret_cast<Cell*>(memory::buffer(block)->data()); }
i32 length() { return static_cast<i32>(memory::buffer(block)->tail / sizeof(Cell)); }

// Chains cells [from, to) into the free list, lowest first.
void chain_free(i32 from, i32 to) {
    Cell* c = cells();
    for (i32 i = to - 1; i >= from; i--) {
        c[i] = cell::integer(0);
        c[i].data2 = static_cast<u32>(free_head);
        free_head = i;
    }
}

}  // namespace

Node live_block() { return made_in == memory::generation ? block : 0; }

void init() {
    made_in = memory::generation;
    block = memory::alloc_cells(initial_cells);
    memory::buffer(block)->tail = initial_cells * sizeof(Cell);
    free_head = -1;
    chain_free(0, initial_cells);
}

i32 add(const Cell& value) {
    if (free_head == -1) {
        // The value may lie in a buffer the growth moves: copy it first.
        Cell copy = value;
        i32 n = length();
        SeriesBuffer* s = memory::expand_series_copy(memory::buffer(block), n * 2 * static_cast<i32>(sizeof(Cell)));
        s->tail = static_cast<u32>(n * 2) * sizeof(Cell);
        chain_free(n, n * 2);
        i32 slot = free_head;
        free_head = static_cast<i32>(cells()[slot].data2);
        cells()[slot] = copy;
        return slot + 1;
    }
    i32 slot = free_head;
    Cell* c = cells();
    free_head = static_cast<i32>(c[slot].data2);
    c[slot] = value;
    return slot + 1;
}

Cell* get(i32 n) {
    if (n < 1 || n > length()) fire(ErrorId::internal_limit_hit, cell::integer(n));
    return cells() + (n - 1);
}

void free(i32 n) {
    if (n == 0) return;
    Cell* c = get(n);
    *c = cell::integer(0);
    c->data2 = static_cast<u32>(free_head);
    free_head = n - 1;
}

}  // namespace oru::slot_table
