// The external-resource table and the global slot table.
//
// OS objects that language values hold (images, fonts, objects of the GUI
// backend) live in the resource table: a handle! cell keeps the slot number
// in word 3, the collector marks the slots it reaches and the sweep releases
// every slot left unmarked through its kind's release function, exactly once.
// Kinds are registered by name with their release function; at most
// max_kinds of them, a further one is refused with internal/limit-hit.
//
// The global slot table keeps language values alive for the GUI backend
// while only a native object refers to them: a block whose free cells are
// integer! cells chained through word 2. The collector marks it as a root.
#pragma once

#include "runtime/cell.h"

namespace oru::handles {

using Release = void (*)(u64 value);

constexpr i32 max_kinds = 20;
constexpr i32 initial_slots = 1000;

// Kind word bits of a slot.
constexpr u32 referenced = 0x80000000;
constexpr u32 free_slot = 0x40000000;
constexpr u32 kind_mask = 0xFF;

struct Slot {
    u32 kind;   // kind number in bits 0-7, plus referenced or free_slot
    u64 value;
    i32 next;   // next slot of the used or free list, -1 ends it
};

// Kind table and 1000 free slots (runtime start-up, after memory::init).
// Calling it again forgets every slot without releasing anything.
void init();
// Frees the tables (process end); releases nothing.
void shutdown();

// Registers a kind; returns its number (1-based). The 21st is refused.
i32 push(const char* name, Release release);
// Takes a slot for the value, doubling the table when none is free.
i32 add(u64 value, i32 kind);
// Calls the kind's release function (none for kind 0 or a kind without one).
void release(u32 kind_word, u64 value);
// Replaces the value; a changed old value is released.
void set_value(i32 slot, u64 value);
u64 value(i32 slot);
i32 kind_of(i32 slot);
// Releases the value when asked, then puts the slot on the free list.
void free(i32 slot, bool release_value);
// Sets the referenced bit (and the value when given); true when it was clear.
bool mark(i32 slot, const u64* value = nullptr);
// Calls fn with the value of every used slot of the kind.
void for_each_of_type(i32 kind, void (*fn)(u64 value));
// Releases and frees every used slot not referenced; clears the bit of the others.
void sweep();
// Used slots.
i32 count();
// True once init ran under the current memory manager.
bool ready();
// The name of a kind, or null.
const char* kind_name(i32 kind);

}  // namespace oru::handles

namespace oru::slot_table {

constexpr i32 initial_cells = 100;

// The table's block (0 before init); the collector marks it with its cells.
extern Node block;

// The block when init ran under the current memory manager, else 0.
Node live_block();
// Makes the block of 100 free cells (runtime start-up, step 19).
void init();
// Copies the value into the first free cell; returns its 1-based number.
i32 add(const Cell& value);
// Cell n (1-based), valid until the next allocation.
Cell* get(i32 n);
// Cell n becomes free; 0 is ignored.
void free(i32 n);

}  // namespace oru::slot_table
