// native!, action! and op!: the native table, the makers, reflection, and
// the printing and comparison handlers the three types share.
//
// The makers allocate (the auxiliary block, the empty context): they read
// everything they need from their argument before the first allocation, and
// the value they build sits on the data stack before any node hangs from it,
// so the collector always reaches what is made.
#include "runtime/datatypes/native.h"

#include "interpreter/actions.h"
#include "interpreter/stack.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/registry.h"
#include "runtime/words.h"

#include <climits>

namespace oru::native {

Entry table[table_slots];
i32 table_count = 1;

void reset_table() {
    for (Entry& e : table) e = nullptr;
    table_count = 1;
}

void register_entries(i32 count, const Entry* entries) {
    for (i32 i = 0; i < count && table_count <= table_slots; i++) table[table_count++ - 1] = entries[i];
}

namespace {

// The context cell of a new empty function context (values on the data
// stack). Only this copy of the cell is kept, not the context's own buffer.
Cell empty_context_cell() {
    const Node ctx = context::create(0, true, false, 0, context::kind::function);
    return *context::cell_of(ctx);
}

[[noreturn]] void bad_make_arg(u32 t, const Cell& arg) { fire(ErrorId::script_bad_make_arg, datatype::make(t), arg); }

// True when slot (1-based) of the native or action table holds an entry.
bool slot_filled_q(u32 t, i32 slot) {
    if (t == type::native) return entry_at(slot) != nullptr;
    return slot >= 1 && slot <= static_cast<i32>(action::count) && actions::table[slot - 1] != nullptr;
}

}  // namespace

Cell* make(Cell*, Cell* spec, u32 t) {
    const Cell arg = *spec;
    if (cell::type_of(arg) != type::block) bad_make_arg(t, arg);
    SeriesBuffer* s = memory::buffer(cell::node(arg));
    const i32 head = cell::head_index(arg);
    if (head < 0 || static_cast<i32>(s->length()) - head != 2) bad_make_arg(t, arg);
    const Cell first = s->cells()[head];
    const Cell second = s->cells()[head + 1];
    // The spec must be a block, and the slot one that holds an entry: a
    // value on an empty slot would call nothing.
    if (cell::type_of(first) != type::block || cell::type_of(second) != type::integer) bad_make_arg(t, arg);
    const i32 slot = static_cast<i32>(second.data2);
    if (!slot_filled_q(t, slot)) bad_make_arg(t, arg);

    Cell* value = stack::push(cell::make(t, static_cast<u32>(slot - 1), cell::node(first), 0));
    const Node aux = memory::alloc_cells(2);
    value->data3 = aux;  // rooted through the pushed value from here on
    const Cell ctx = empty_context_cell();
    *memory::alloc_tail(aux) = ctx;  // room for both cells: no allocation
    *memory::alloc_tail(aux) = none::value;
    return value;
}

void reflect(Cell* value, u32 field) {
    const Cell v = *value;
    const i32 f = symbol::canonical(static_cast<i32>(field));
    if (f == symbol::canonical(words::sym::spec)) {
        *stack::arguments = cell::make(type::block, 0, spec_of(v), 0);
        return;
    }
    if (f != symbol::canonical(words::sym::body)) fire(ErrorId::internal_not_done);
    const u32 wrapped = cell::type_of(v) == type::op ? op::wrapped_type(v) : 0;
    if (wrapped == type::function || wrapped == type::routine) {
        SeriesBuffer* x = memory::buffer(v.data3);
        Cell body = x->length() > 0 ? x->cells()[0] : none::value;
        if (cell::type_of(body) == type::block) {
            const Node copy = memory::copy_series_part(cell::node(body), cell::head_index(body), INT32_MAX);
            body = cell::make(type::block, 0, copy, 0);
        }
        *stack::arguments = body;
        return;
    }
    // Entries are table indexes, so the slot needs no search of the table.
    *stack::arguments = cell::integer(slot_of(v));
}

namespace {

// --- Actions shared by native!, action! and op! ------------------------------

i32 form(Cell* value, Cell* buffer, Cell*, i32 limit) {
    const char* text = "?op?";
    if (cell::type_of(*value) == type::native) text = "?native?";
    else if (cell::type_of(*value) == type::action) text = "?action?";
    return limit - string::concatenate_literal(*buffer, text);
}

// Molds v from a data-stack cell, so the collector sees it while molding allocates.
i32 mold_value(const Cell& v, Cell* buffer, bool all, bool flat, Cell* part, i32 limit, i32 indent) {
    Cell* saved = stack::top;
    Cell* c = stack::push(v);
    limit = actions::mold(c, buffer, false, all, flat, part, limit, indent);
    stack::top = saved;
    return limit;
}

// "make native! [" spec "]", "make action! [" spec "]".
i32 mold(Cell* value, Cell* buffer, bool, bool all, bool flat, Cell* part, i32 limit, i32 indent) {
    const Cell v = *value;
    limit -= string::concatenate_literal(*buffer, cell::type_of(v) == type::native ? "make native! [" : "make action! [");
    limit = mold_value(cell::make(type::block, 0, spec_of(v), 0), buffer, all, flat, part, limit, indent);
    return limit - string::concatenate_literal(*buffer, "]");
}

// "make op! func " spec body for an op of a function; else "make op! [" spec "]".
// An anonymous native frame is open meanwhile, so that an error raised while
// molding names no caller.
i32 mold_op(Cell* value, Cell* buffer, bool, bool all, bool flat, Cell* part, i32 limit, i32 indent) {
    const Cell v = *value;
    const bool function = op::wrapped_type(v) == type::function;
    const Cell spec = cell::make(type::block, 0, spec_of(v), 0);
    limit -= string::concatenate_literal(*buffer, "make op! ");
    limit -= string::concatenate_literal(*buffer, function ? "func " : "[");
    Cell* saved = stack::top;
    stack::mark_native(stack::word(stack::anon_symbol));
    limit = mold_value(spec, buffer, all, flat, part, limit, indent);
    stack::unwind();
    stack::top = saved;
    if (!function) return limit - string::concatenate_literal(*buffer, "]");
    SeriesBuffer* x = memory::buffer(v.data3);
    const Cell body = x->length() > 0 ? x->cells()[0] : none::value;
    return mold_value(body, buffer, all, flat, part, limit, indent);
}

inline i32 three_way(u32 a, u32 b) { return a < b ? -1 : a > b ? 1 : 0; }

// Equal when the same entry (or, for ops of functions, the same function
// context). An op's wrapped type is compared first: a native's and an
// action's entries are indexes into different tables.
i32 compare(Cell* value1, Cell* value2, i32 code) {
    const u32 t = cell::type_of(*value1);
    if (cell::type_of(*value2) != t) return -2;
    switch (code) {
        case 0: case 1: case 2: case 7: case 8: case 9: case 12:
            if (t == type::op) {
                if (const i32 r = three_way(op::wrapped_type(*value1), op::wrapped_type(*value2))) return r;
            }
            return three_way(value1->data1, value2->data1);
        default:
            return -2;
    }
}

constexpr ActionTable native_actions = {
    .make = make, .reflect = reflect, .form = form, .mold = mold, .compare = compare,
};

}  // namespace

void init() {
    reset_table();
    registry::add(type::native, 0, "native!", native_actions);
}

}  // namespace oru::native

namespace oru::action {

namespace {

constexpr ActionTable action_actions = {
    .make = native::make, .reflect = inherit, .form = inherit, .mold = inherit, .compare = inherit,
};

}  // namespace

void init() { registry::add(type::action, type::native, "action!", action_actions); }

}  // namespace oru::action

namespace oru::op {

bool valid_spec_q(const Cell& spec) {
    SeriesBuffer* s = memory::buffer(cell::node(spec));
    const i32 length = static_cast<i32>(s->length());
    const i32 local = symbol::canonical(static_cast<i32>(words::refinement::local.data2));
    const i32 extern_ = symbol::canonical(static_cast<i32>(words::refinement::extern_.data2));
    i32 arguments = 0;
    for (i32 i = cell::head_index(spec) < 0 ? 0 : cell::head_index(spec); i < length; i++) {
        const Cell& c = s->cells()[i];
        switch (cell::type_of(c)) {
            case type::word:
                arguments++;
                break;
            case type::lit_word:
            case type::get_word:
                if (arguments == 0) return false;  // the left operand is always evaluated
                arguments++;
                break;
            case type::set_word:
                return arguments == 2;
            case type::refinement: {
                const i32 sym = symbol::canonical(static_cast<i32>(c.data2));
                if (sym != local && sym != extern_) return false;
                return arguments == 2;
            }
            default:
                break;  // doc strings, type blocks
        }
    }
    return arguments == 2;
}

Cell* make(Cell*, Cell* spec, u32) {
    const Cell v = *spec;
    const u32 t = cell::type_of(v);
    if (t != type::native && t != type::action && t != type::function && t != type::routine)
        fire(ErrorId::script_invalid_type, datatype::make(t));
    if (!valid_spec_q(cell::make(type::block, 0, native::spec_of(v), 0))) fire(ErrorId::script_bad_op_spec);
    Cell* result = stack::push(v);
    result->header = type::op | (t << flag::op_fn_type_shift);
    if (t == type::function || t == type::routine) {
        // The op shares the extra block; the function waits in its fourth cell.
        SeriesBuffer* x = memory::buffer(v.data3);
        if (static_cast<i32>(x->length()) > extra_function_cell) x->cells()[extra_function_cell] = v;
    }
    return result;
}

namespace {

constexpr ActionTable op_actions = {
    .make = make, .reflect = inherit, .form = inherit, .mold = native::mold_op, .compare = inherit,
};

}  // namespace

void init() { registry::add(type::op, type::native, "op!", op_actions); }

}  // namespace oru::op
