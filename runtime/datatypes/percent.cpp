// percent!: the text form; everything else comes from float!.
#include "runtime/datatypes/percent.h"

#include "interpreter/stack.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/string.h"
#include "runtime/memory.h"
#include "runtime/registry.h"

namespace oru::percent {

void make_in(const Cell& block, double fraction) { *memory::alloc_tail(cell::node(block)) = make(fraction); }

Cell* push(double fraction) { return stack::push(make(fraction)); }

namespace {

// The fraction times 100 in the float printer's percent form, "%" included.
i32 form(Cell* value, Cell* buffer, Cell*, i32 limit) {
    return limit - string::concatenate_literal(*buffer, float_::form_float(get(*value) * 100.0, float_::kind::percent));
}

i32 mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* part, i32 limit, i32) {
    return form(value, buffer, part, limit);
}

constexpr ActionTable percent_actions = {
    .make = inherit, .random = inherit, .to = inherit, .form = form, .mold = mold,
    .compare = inherit, .absolute = inherit, .add = inherit, .divide = inherit, .multiply = inherit,
    .negate = inherit, .power = inherit, .remainder = inherit, .round = inherit, .subtract = inherit,
    .even_q = inherit, .odd_q = inherit,
};

}  // namespace

void init() { registry::add(type::percent, type::float_, "percent!", percent_actions); }

}  // namespace oru::percent
