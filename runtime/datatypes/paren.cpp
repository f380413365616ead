// paren!: its mold and its registration; everything else is block!'s.
#include "runtime/datatypes/paren.h"

#include "interpreter/stack.h"
#include "runtime/datatypes/block.h"
#include "runtime/registry.h"

namespace oru::paren {

Cell* push(Cell& blk) {
    cell::set_type(blk, type::paren);
    return stack::push(blk);
}

i32 mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, i32 limit, i32 indent) {
    return block::mold_enclosed(value, buffer, "(", ")", only, all, flat, part, limit, indent);
}

namespace {

// Every slot inherited from block!, mold excepted.
constexpr ActionTable paren_actions = [] {
    ActionTable t{};
#define ORU_INHERIT(n, member, spelling, fn) t.member = inherit;
    ORU_ACTIONS(ORU_INHERIT)
#undef ORU_INHERIT
    t.mold = mold;
    return t;
}();

}  // namespace

void init() { registry::add(type::paren, type::block, "paren!", paren_actions); }

}  // namespace oru::paren
