// unset!: support routines and the make, to, form, mold and compare handlers.
#include "runtime/datatypes/unset.h"

#include "interpreter/stack.h"
#include "runtime/datatypes/string.h"
#include "runtime/memory.h"
#include "runtime/registry.h"

namespace oru::unset {

Cell* box() {
    *stack::arguments = value;
    return stack::arguments;
}

Cell* push() { return stack::push(value); }

void make_in(const Cell& block) { *memory::alloc_tail(cell::node(block)) = value; }

namespace {

// --- Actions ---------------------------------------------------------------

// make and to: a new unset whatever the spec.
Cell* make(Cell*, Cell*, u32) { return push(); }

i32 form(Cell*, Cell*, Cell*, i32 limit) { return limit; }

i32 mold(Cell*, Cell* buffer, bool, bool all, bool, Cell*, i32 limit, i32) {
    return limit - string::concatenate_literal(*buffer, all ? "#(unset)" : "unset");
}

i32 compare(Cell*, Cell* value2, i32 op) {
    if (cell::type_of(*value2) != type::unset) return -2;
    switch (op) {
        case 0: case 1: case 2: case 7: case 8: case 9: case 12: return 0;
        default: return -2;
    }
}

constexpr ActionTable unset_actions = {
    .make = make, .to = make, .form = form, .mold = mold, .compare = compare,
};

}  // namespace

void init() { registry::add(type::unset, 0, "unset!", unset_actions); }

}  // namespace oru::unset
