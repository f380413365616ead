// tag!: form and mold with the brackets, and the registration.
#include "runtime/datatypes/tag.h"

#include "interpreter/stack.h"
#include "runtime/datatypes/string.h"
#include "runtime/registry.h"

namespace oru::tag {

Cell* push(const Cell& value) { return stack::push(value); }

namespace {

// "<", string!'s form of the text with one character less of budget, ">".
i32 form(Cell* value, Cell* buffer, Cell* part, i32 limit) {
    string::concatenate_literal(*buffer, "<");
    const i32 budget = registry::handler<action_fn::Form>(type::string, action::form)(value, buffer, part, limit - 1);
    string::concatenate_literal(*buffer, ">");
    return budget - 1;
}

i32 mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* part, i32 limit, i32) {
    return form(value, buffer, part, limit);
}

constexpr ActionTable tag_actions = {
    .make = inherit, .reflect = inherit, .to = inherit, .form = form, .mold = mold, .eval_path = inherit,
    .compare = inherit,
    .append = inherit, .at = inherit, .back = inherit, .change = inherit, .clear = inherit, .copy = inherit,
    .find = inherit, .head = inherit, .head_q = inherit, .index_q = inherit, .insert = inherit,
    .length_q = inherit, .move = inherit, .next = inherit, .pick = inherit, .poke = inherit, .put = inherit,
    .remove = inherit, .reverse = inherit, .select = inherit, .skip = inherit, .swap = inherit, .tail = inherit,
    .tail_q = inherit, .take = inherit, .modify = inherit,
};

}  // namespace

void init() { registry::add(type::tag, type::string, "tag!", tag_actions); }

}  // namespace oru::tag
