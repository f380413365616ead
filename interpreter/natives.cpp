// The native table's set-up: every slot 1-107 gets its routine (or the
// not-done stand-in) in the fixed slot order, and the print buffer is made.
#include "interpreter/natives.h"

#include "runtime/datatypes/block.h"
#include "runtime/fire.h"

namespace oru::natives {

namespace {

constexpr const char* names[count] = {
#define ORU_NATIVE_NAME(name, word, shape) word,
    ORU_NATIVES(ORU_NATIVE_NAME)
#undef ORU_NATIVE_NAME
};

constexpr const char* shapes[count] = {
#define ORU_NATIVE_SHAPE(name, word, shape) shape,
    ORU_NATIVES(ORU_NATIVE_SHAPE)
#undef ORU_NATIVE_SHAPE
};

// Routines handed over by the native groups, by slot - 1.
native::Entry provided[count] = {};
bool filled = false;
Cell print_block{type::none, 0, 0, 0};

}  // namespace

const char* name_of(i32 slot) { return slot >= 1 && slot <= count ? names[slot - 1] : nullptr; }

const char* shape_of(i32 slot) { return slot >= 1 && slot <= count ? shapes[slot - 1] : nullptr; }

u32 not_done(bool, const i32*) { fire(ErrorId::internal_not_done); }

void provide(i32 slot, native::Entry entry) {
    if (slot < 1 || slot > count || !entry) return;
    provided[slot - 1] = entry;
    if (filled) native::table[slot - 1] = entry;
}

Cell& print_buffer() { return print_block; }

void init() {
    native::Entry entries[count];
    for (i32 i = 0; i < count; i++) entries[i] = provided[i] ? provided[i] : not_done;
    native::reset_table();
    native::register_entries(count, entries);
    filled = true;
    print_block = *block::make_in(nullptr, 32);
}

}  // namespace oru::natives
