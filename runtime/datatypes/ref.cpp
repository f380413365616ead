// ref!: mold with the at sign, and the registration.
#include "runtime/datatypes/ref.h"

#include "interpreter/stack.h"
#include "runtime/datatypes/string.h"
#include "runtime/registry.h"

namespace oru::ref {

Cell* push(const Cell& value) { return stack::push(value); }

namespace {

i32 mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* part, i32 limit, i32) {
    string::concatenate_literal(*buffer, "@");
    return registry::handler<action_fn::Form>(type::string, action::form)(value, buffer, part, limit - 1);
}

constexpr ActionTable ref_actions = {
    .make = inherit, .reflect = inherit, .to = inherit, .form = inherit, .mold = mold, .compare = inherit,
    .at = inherit, .back = inherit, .change = inherit, .clear = inherit, .copy = inherit, .find = inherit,
    .head = inherit, .head_q = inherit, .index_q = inherit, .insert = inherit, .length_q = inherit,
    .move = inherit, .next = inherit, .pick = inherit, .poke = inherit, .remove = inherit, .reverse = inherit,
    .select = inherit, .skip = inherit, .swap = inherit, .tail = inherit, .tail_q = inherit, .take = inherit,
    .modify = inherit,
};

}  // namespace

void init() { registry::add(type::ref, type::string, "ref!", ref_actions); }

}  // namespace oru::ref
