// handle!: makers, form, mold, compare and the registration.
#include "runtime/datatypes/handle.h"

#include "interpreter/actions.h"
#include "interpreter/stack.h"
#include "runtime/datatypes/string.h"
#include "runtime/memory.h"
#include "runtime/registry.h"

namespace oru::handle {

namespace {
#define ORU_HANDLE_CLASS_NAME(name, spelling) spelling,
constexpr const char* class_names[] = {ORU_HANDLE_CLASSES(ORU_HANDLE_CLASS_NAME)};
#undef ORU_HANDLE_CLASS_NAME
static_assert(sizeof class_names / sizeof class_names[0] == klass::count);
}  // namespace

const char* class_name(u32 k) { return k < klass::count ? class_names[k] : ""; }

void box(u32 value, u32 k) { stack::set_last(make(value, k)); }

Cell* make_at(Cell& c, u32 value, u32 k) {
    c = make(value, k);
    return &c;
}

void make_in(const Cell& block, u32 value, u32 k) { *memory::alloc_tail(cell::node(block)) = make(value, k); }

namespace {

// --- Actions ---------------------------------------------------------------

// The value as 8 upper-case hex digits and "h": 000000FFh.
i32 form(Cell* value, Cell* buffer, Cell*, i32 limit) {
    i32 n = string::concatenate_literal(*buffer, string::to_hex(static_cast<i32>(value_of(*value)), false));
    n += string::concatenate_literal(*buffer, "h");
    return limit - n;
}

// "handle!"; with /all the value and the class: #[handle! 000000FFh window].
i32 mold(Cell* value, Cell* buffer, bool, bool all, bool, Cell* part, i32 limit, i32) {
    if (!all) return limit - string::concatenate_literal(*buffer, "handle!");
    Cell h = *value;  // the value may lie in a buffer that writing moves
    i32 budget = limit - string::concatenate_literal(*buffer, "#[handle! ");
    budget = form(&h, buffer, part, budget);
    if (class_of(h) > klass::null && class_of(h) < klass::count) {
        budget -= string::concatenate_literal(*buffer, " ");
        budget -= string::concatenate_literal(*buffer, class_name(class_of(h)));
    }
    return budget - string::concatenate_literal(*buffer, "]");
}

bool equality_op(i32 op) {
    return op == actions::op::equal || op == actions::op::not_equal || op == actions::op::strict_equal ||
           op == actions::op::same || op == actions::op::find || op == actions::op::strict_find ||
           op == actions::op::hash;
}

// Two handles are equal when they hold the same value of the same class;
// they order by value (signed), then by class. Another type is unequal and
// has no order with a handle.
i32 compare(Cell* value1, Cell* value2, i32 op) {
    const bool equality = equality_op(op);
    if (cell::type_of(*value2) != type::handle) return equality ? 1 : -2;
    const i32 a = static_cast<i32>(value_of(*value1)), b = static_cast<i32>(value_of(*value2));
    const u32 ka = class_of(*value1), kb = class_of(*value2);
    if (equality) return a == b && ka == kb ? 0 : 1;
    if (a != b) return a < b ? -1 : 1;
    return ka < kb ? -1 : ka > kb ? 1 : 0;
}

constexpr ActionTable handle_actions = {.form = form, .mold = mold, .compare = compare};

}  // namespace

void init() { registry::add(type::handle, type::integer, "handle!", handle_actions); }

}  // namespace oru::handle
