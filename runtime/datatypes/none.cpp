// none!: support routines and the handlers. The series-like actions answer
// none, so that code can treat a missing series and an empty one alike.
#include "runtime/datatypes/none.h"

#include "interpreter/stack.h"
#include "runtime/datatypes/string.h"
#include "runtime/memory.h"
#include "runtime/registry.h"

namespace oru::none {

Cell* box() {
    *stack::arguments = value;
    return stack::arguments;
}

Cell* push() { return stack::push(value); }

void make_in(const Cell& block) { *memory::alloc_tail(cell::node(block)) = value; }

namespace {

// --- Actions ---------------------------------------------------------------

// make and to: a new none whatever the spec.
Cell* make(Cell*, Cell*, u32) { return push(); }

i32 form(Cell*, Cell* buffer, Cell*, i32 limit) { return limit - string::concatenate_literal(*buffer, "none"); }

i32 mold(Cell*, Cell* buffer, bool, bool all, bool, Cell*, i32 limit, i32) {
    return limit - string::concatenate_literal(*buffer, all ? "#(none)" : "none");
}

i32 compare(Cell*, Cell* value2, i32 op) {
    if (cell::type_of(*value2) != type::none) return -2;
    switch (op) {
        case 0: case 1: case 2: case 7: case 8: case 9: case 12: return 0;
        default: return -2;
    }
}

void clear(Cell*) { box(); }

Cell* find(Cell*, Cell*, Cell*, bool, bool, bool, bool, Cell*, Cell*, bool, bool, bool, bool) { return push(); }

Cell* select(Cell*, Cell*, Cell*, bool, bool, bool, bool, Cell*, Cell*, bool, bool) { return push(); }

// -1: the length? action reports none.
i32 length_q(Cell*) { return -1; }

void remove(Cell*, Cell*, Cell*) { box(); }

Cell* take(Cell*, Cell*, bool, bool) { return push(); }

constexpr ActionTable none_actions = {
    .make = make, .to = make, .form = form, .mold = mold, .compare = compare,
    .clear = clear, .find = find, .length_q = length_q, .remove = remove,
    .select = select, .take = take,
};

}  // namespace

void init() { registry::add(type::none, 0, "none!", none_actions); }

}  // namespace oru::none
