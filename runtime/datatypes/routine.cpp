// routine!: the maker, the entry table and the actions of its own. What is
// made stays on the data stack until the routine value holds it.
#include "runtime/datatypes/routine.h"

#include "interpreter/actions.h"
#include "interpreter/stack.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/function.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/unset.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/registry.h"

#include <algorithm>
#include <vector>

namespace oru::routine {

namespace {

// The entry table: index i + 1 is entries[i]. Entries are code addresses of
// the program, the same in every start-up, so the table outlives shutdown.
std::vector<Entry>& entries() {
    static std::vector<Entry> table;
    return table;
}

i32 length(Node n) { return static_cast<i32>(memory::buffer(n)->length()); }

}  // namespace

u32 register_entry(Entry fn) {
    std::vector<Entry>& table = entries();
    auto it = std::find(table.begin(), table.end(), fn);
    if (it != table.end()) return static_cast<u32>(it - table.begin()) + 1;
    table.push_back(fn);
    return static_cast<u32>(table.size());
}

Entry entry(u32 index) {
    const std::vector<Entry>& table = entries();
    return index >= 1 && index <= table.size() ? table[index - 1] : nullptr;
}

u32 get_arity(const Cell& routine) { return (routine.header >> arity_shift) & arity_mask; }

void set_arity(Cell& routine) {
    const Node spec = function::spec_of(routine);
    u32 count = 0;
    for (i32 i = 0; i < length(spec); i++)
        if (cell::type_of(memory::buffer(spec)->cells()[i]) == type::word) count++;
    // Five bits: a larger count would read back as a smaller arity.
    if (count > arity_mask) fire(ErrorId::script_bad_func_def, cell::make(type::block, 0, spec, 0));
    routine.header = (routine.header & ~(arity_mask << arity_shift)) | (count << arity_shift);
}

u32 return_type(const Cell& routine) { return function::extra_cell(routine, return_cell)->data2; }

void push(const Cell& spec_value, const Cell& body_value, u32 entry_index, i32 return_type_, bool external_) {
    Cell spec = spec_value;
    const Cell body = body_value;
    const u32 rt = return_type_ < 0 ? 0 : static_cast<u32>(return_type_);
    if (rt != 0 && rt != return_logic && rt != return_integer && rt != return_float)
        fire(ErrorId::script_invalid_arg, cell::integer(return_type_));

    Cell* out = stack::push(none::value);  // becomes the routine value
    Cell* held = stack::push(none::value);
    const Node spec_node = cell::node(spec);
    const i32 len = length(spec_node);
    const i32 head = std::clamp(cell::head_index(spec), 0, len);
    if (head > 0) spec = cell::make(type::block, 0, memory::copy_series_part(spec_node, head, len - head), 0);
    else spec.data1 = 0;
    *held = spec;

    const Node extra_node = memory::alloc_cells_unset(function::extra::cells);
    *out = cell::make(type::block, 0, extra_node, 0);
    {
        SeriesBuffer* s = memory::buffer(extra_node);
        s->tail = s->head + function::extra::cells * sizeof(Cell);
        Cell* e = s->cells();
        for (i32 i = 0; i < function::extra::cells; i++) e[i] = unset::value;
        e[function::extra::body] = cell::type_of(body) == type::unset ? none::value : body;
        e[function::extra::entry] = cell::integer(static_cast<i32>(entry_index));
        e[return_cell] = cell::integer(static_cast<i32>(rt));
    }

    const Node ctx = context::make(spec, true, false, context::kind::function);
    Cell value = cell::make(type::routine | (external_ ? external : 0), ctx, cell::node(spec), extra_node);
    set_arity(value);
    *out = value;
    *context::self(ctx) = value;
    stack::top = held;
}

namespace {

// --- Actions ---------------------------------------------------------------

i32 form(Cell*, Cell* buffer, Cell*, i32 limit) {
    string::concatenate_literal(*buffer, "?routine?");
    return limit - 10;
}

// routine [spec] [body]; a body that is no block is written after a space.
i32 mold(Cell* value, Cell* buffer, bool, bool all, bool flat, Cell* part, i32 limit, i32 indent) {
    const Cell r = *value;
    string::concatenate_literal(*buffer, "routine ");
    i32 budget = limit - 8;
    Cell spec = cell::make(type::block, 0, function::spec_of(r), 0);
    budget = actions::mold(&spec, buffer, false, all, flat, part, budget, indent);
    Cell body = *function::extra_cell(r, function::extra::body);
    if (cell::type_of(body) != type::block) {
        string::concatenate_literal(*buffer, " ");
        budget -= 1;
    }
    return actions::mold(&body, buffer, false, all, flat, part, budget, indent);
}

i32 compare(Cell* value1, Cell* value2, i32 op) {
    if (cell::type_of(*value2) != type::routine) return -2;
    switch (op) {
        case 0: case 1: case 2: case 7: case 8: case 9: case 12: {
            const Node a = function::extra_of(*value1), b = function::extra_of(*value2);
            return a < b ? -1 : a > b ? 1 : 0;
        }
        default: return -2;
    }
}

constexpr ActionTable routine_actions = {
    .reflect = inherit, .form = form, .mold = mold, .compare = compare,
};

}  // namespace

void init() { registry::add(type::routine, type::function, "routine!", routine_actions); }

}  // namespace oru::routine
