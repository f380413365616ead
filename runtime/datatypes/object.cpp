// object!: class ids, field access, the change-handler record and its calls,
// making and copying, the serializer behind form and mold, and the actions.
// Anything that copies, binds, adds a field or runs a handler may move every
// buffer: fields are reached by context node and index and fetched again
// after each such call, and values in flight are held on the data stack.
#include "runtime/datatypes/object.h"

#include "interpreter/actions.h"
#include "interpreter/stack.h"
#include "runtime/cycles.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/function.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/unset.h"
#include "runtime/datatypes/word.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/registry.h"
#include "runtime/words.h"

#include <algorithm>
#include <exception>
#include <initializer_list>

namespace oru::object {

namespace {

i32 class_counter = class_id_base;
SpecEvaluator spec_evaluator = nullptr;
HandlerCaller handler_caller = nullptr;

inline i32 symbol_of(const Cell& w) { return static_cast<i32>(w.data2); }
inline i32 canonical_of(const Cell& w) { return symbol::canonical(symbol_of(w)); }
inline bool named(const Cell& w, i32 sym) { return symbol_of(w) > 0 && canonical_of(w) == symbol::canonical(sym); }

inline Cell block_of(Node n) { return cell::make(type::block, 0, n, 0); }

// object! and its children (error!, port!) share the cell and the context.
inline bool object_like(u32 t) { return t == type::object || t == type::error || t == type::port; }

inline bool any_word(u32 t) { return t >= type::word && t <= type::get_word; }

inline i32 size_of(Node ctx) { return context::length(ctx); }
inline Cell* values_of(Node ctx) { return context::values(ctx); }
inline Node values_node(Node ctx) { return context::cell_of(ctx)->data2; }

// The handler fields' symbols.
inline i32 on_change_symbol() { return symbol_of(words::word::on_change); }
inline i32 on_deep_symbol() { return symbol_of(words::word::on_deep_change); }

// Appends fixed text to the buffer string; returns the budget less its length.
i32 text(Cell* buffer, const char* s, i32 budget) { return budget - string::concatenate_literal(*buffer, s); }

// --- The change-handler record ----------------------------------------------

inline u32 encode(i32 index, i32 locals) {
    return (static_cast<u32>(index) << 16) | (static_cast<u32>(locals) & 0xFFFF);
}
inline Cell* record_cell(Node record, i32 which) { return memory::buffer(record)->cells() + which; }

inline bool function_like(u32 t) { return t == type::function || t == type::routine; }

// The handler's spec node, 0 for a value that is no function.
inline Node spec_node(const Cell& fn) { return function_like(cell::type_of(fn)) ? function::spec_of(fn) : 0; }
inline i32 locals_of(const Cell& fn) { return function::count_locals(function::spec_of(fn), 0, false); }

// The locals count of a record cell, counted again when the handler's spec
// is no longer the one the count was taken from.
i32 refresh_locals(Node record, i32 which, const Cell& fn) {
    Cell* c = record_cell(record, which);
    const Node spec = function::spec_of(fn);
    if (c->data3 != spec) {
        const i32 n = locals_of(fn);
        c = record_cell(record, which);
        c->data2 = encode(handler_index(record, which), n);
        c->data3 = spec;
    }
    return handler_locals(record, which);
}

// Opens a frame named `name` for the handler (a data-stack cell), pushes the
// arguments and the locals, runs the handler's code and closes the frame,
// dropping its result.
void run_handler(Cell* fn, const Cell& name, std::initializer_list<Cell> args, i32 locals) {
    if (!handler_caller) fire(ErrorId::internal_not_done);
    Cell* saved = stack::top;
    stack::mark(name, function::context_of(*fn));
    for (const Cell& a : args) stack::push(a);
    function::init_locals(locals);
    handler_caller(*fn);
    stack::unwind_func();
    stack::top = saved;
}

// Stores v into field i of the object, reporting to on-change* unless the
// field is one of the handler fields h1 and h2.
void store_field(const Cell& obj, i32 i, const Cell& value, i32 h1, i32 h2) {
    const Node ctx = context_of(obj);
    const Cell v = value;
    context::word_at(ctx, i)->header |= context::assigned;
    if (!record_of(obj) || i == h1 || i == h2) {
        values_of(ctx)[i] = v;
        return;
    }
    stack::Mark mark;
    Cell* o = stack::push(obj);
    Cell* w = stack::push(*context::word_at(ctx, i));
    Cell* old = stack::push(values_of(ctx)[i]);
    Cell* nv = stack::push(v);
    values_of(ctx)[i] = v;
    fire_on_set(o, w, old, nv);
}

// Replaces field i of ctx by a copy of its value (deep with `deep`).
void replace_with_copy(Node ctx, i32 i, bool deep, Cell* types) {
    stack::Mark mark;
    Cell* src = stack::push(values_of(ctx)[i]);
    Cell* result = stack::push(none::value);
    const Cell got = *actions::copy(src, result, nullptr, deep, types);
    values_of(ctx)[i] = got;
}

// The types the deep copy without /types replaces by copies.
bool deep_copied(u32 t) {
    switch (t) {
        case type::block: case type::paren: case type::string: case type::file: case type::url:
        case type::path: case type::lit_path: case type::set_path: case type::get_path:
        case type::tag: case type::email: case type::ref: return true;
        default: return false;
    }
}

// A new block holding what `each` appends for every field, written to *out.
template <class Each>
void field_block(const Cell& obj, Cell* out, i32 per_field, Each each) {
    const Node ctx = context_of(obj);
    stack::Mark mark;
    Cell* r = stack::push(none::value);
    block::make_at(*r, size_of(ctx) * per_field);
    for (i32 i = 0; i < size_of(ctx); i++) each(*r, ctx, i);
    *out = *r;
}

// Step 5 of eval-path: a missing or unset field.
Cell* missing_field(const Cell& path, const Cell& element, bool get, bool tail) {
    if (get && tail) return stack::push(none::value);
    if (tail) fire(ErrorId::script_invalid_path, path, element);
    fire(ErrorId::script_unset_path, path, element);
}

}  // namespace

// ---------------------------------------------------------------------------
// Class ids and fields

i32 new_class_id() { return ++class_counter; }

i32 find_word(const Cell& obj, const Cell& word) { return context::find_word(context_of(obj), symbol_of(word), true); }

const Cell* rs_select(const Cell& obj, const Cell& word) {
    const i32 i = find_word(obj, word);
    return i < 0 ? &none::value : values_of(context_of(obj)) + i;
}

Cell* get_field(Node ctx, i32 index) { return context::word_at(ctx, index); }

Cell* get_first_word(const Cell& obj) { return get_field(context_of(obj), 0); }

Cell* field_value(Node ctx, i32 index) { return values_of(ctx) + index; }

void set_field(Node ctx, i32 index, const Cell& value) {
    const Cell v = value;
    context::word_at(ctx, index)->header |= context::assigned;
    values_of(ctx)[index] = v;
}

Cell* get_values(const Cell& obj) { return values_of(context_of(obj)); }

i32 get_size(const Cell& obj) { return size_of(context_of(obj)); }

void clear_newlines(Node values) {
    SeriesBuffer* s = memory::buffer(values);
    Cell* c = s->cells();
    for (u32 i = 0, n = s->length(); i < n; i++) cell::clear_new_line(c[i]);
}

void clear_set_flags(Node ctx) {
    for (i32 i = 0; i < size_of(ctx); i++) context::word_at(ctx, i)->header &= ~context::assigned;
}

void set_many(Cell& obj_cell, const Cell& value_cell, bool any, bool only, bool some) {
    const Cell obj = obj_cell;
    const Node ctx = context_of(obj);
    const Node rec = record_of(obj);
    const i32 h1 = rec ? handler_index(rec, handler::on_change) : -1;
    const i32 h2 = rec ? handler_index(rec, handler::on_deep_change) : -1;
    stack::Mark mark;
    const Cell* value = stack::push(value_cell);  // held while handlers run
    const u32 vt = cell::type_of(*value);

    if (only || !(vt == type::block || object_like(vt))) {
        for (i32 i = 0; i < size_of(ctx); i++) store_field(obj, i, *value, h1, h2);
        return;
    }
    const bool from_object = vt != type::block;
    // The value field i takes, or null when it keeps its own.
    auto source = [&](i32 i) -> const Cell* {
        if (from_object) {
            const i32 j = context::find_word(context_of(*value), symbol_of(*context::word_at(ctx, i)), true);
            return j < 0 ? nullptr : values_of(context_of(*value)) + j;
        }
        const i32 at = std::max(cell::head_index(*value), 0) + i;
        SeriesBuffer* s = series::buffer_of(*value);
        return at < static_cast<i32>(s->length()) ? s->cells() + at : &none::value;
    };
    if (!some && !any) {
        for (i32 i = 0; i < size_of(ctx); i++) {
            const Cell* v = source(i);
            if (v && cell::type_of(*v) == type::unset)
                fire(ErrorId::script_need_value, *context::word_at(ctx, i));
        }
    }
    for (i32 i = 0; i < size_of(ctx); i++) {
        const Cell* v = source(i);
        if (!v || (some && cell::type_of(*v) == type::none)) continue;
        store_field(obj, i, *v, h1, h2);
    }
}

// ---------------------------------------------------------------------------
// Change handlers

Node make_on_set_record(i32 on_change, i32 on_change_locals, i32 on_deep, i32 on_deep_locals, Node on_change_spec,
                        Node on_deep_spec) {
    const Node rec = memory::alloc_cells(2);
    SeriesBuffer* s = memory::buffer(rec);
    s->tail = s->head + 2 * sizeof(Cell);
    s->cells()[handler::on_change] = cell::make(type::pair, 0, encode(on_change, on_change_locals), on_change_spec);
    s->cells()[handler::on_deep_change] = cell::make(type::pair, 0, encode(on_deep, on_deep_locals), on_deep_spec);
    return rec;
}

i32 handler_index(Node record, i32 which) {
    const u32 high = record_cell(record, which)->data2 >> 16;
    return high == 0xFFFF ? -1 : static_cast<i32>(high);
}

i32 handler_locals(Node record, i32 which) { return static_cast<i32>(record_cell(record, which)->data2 & 0xFFFF); }

bool has_on_deep_q(const Cell& obj) {
    return record_of(obj) != 0 && handler_index(record_of(obj), handler::on_deep_change) >= 0;
}

Node build_on_set(Node ctx) {
    const i32 change = context::find_word(ctx, on_change_symbol(), true);
    const i32 deep = context::find_word(ctx, on_deep_symbol(), true);
    if (change < 0 && deep < 0) return 0;
    i32 counts[2] = {0, 0};
    Node specs[2] = {0, 0};
    const i32 fields[2] = {change, deep};
    for (int k = 0; k < 2; k++) {
        if (fields[k] < 0) continue;
        const Cell fn = values_of(ctx)[fields[k]];
        const u32 t = cell::type_of(fn);
        if (!function_like(t))
            fire(ErrorId::script_bad_field_set, *context::word_at(ctx, fields[k]), datatype::make(t));
        counts[k] = locals_of(fn);
        specs[k] = spec_node(fn);
    }
    return make_on_set_record(change, counts[0], deep, counts[1], specs[0], specs[1]);
}

void fire_on_set(Cell* obj, Cell* word, Cell* old_value, Cell* new_value) {
    const Node rec = record_of(*obj);
    if (!rec) return;
    const i32 index = handler_index(rec, handler::on_change);
    if (index < 0) return;
    const Node ctx = context_of(*obj);
    stack::Mark mark;
    Cell* fn = stack::push(values_of(ctx)[index]);
    if (cell::type_of(*fn) != type::function) fire(ErrorId::script_invalid_obj_evt, *fn);
    const i32 locals = refresh_locals(rec, handler::on_change, *fn);
    Cell* w = word;
    if (word::context_of(*word) != ctx) {
        w = stack::push(*word);
        context::bind_word(ctx, *w);
    }
    run_handler(fn, words::word::on_change, {*w, *old_value, *new_value}, locals);
}

void fire_on_set_top(Cell* obj, Cell* word) {
    Cell* old = stack::last_pushed();
    fire_on_set(obj, word, old, old - 1);
}

void fire_on_set_word(const Cell& holder, const Cell& word) {
    Cell* old = stack::last_pushed();
    stack::Mark mark;
    Cell* w = stack::push(word);
    Cell* obj = stack::push(*context::get(holder));
    if (!object_like(cell::type_of(*obj))) return;
    fire_on_set(obj, w, old, old - 1);
}

void fire_on_set_ctx(Node ctx, const Cell& word) {
    Cell* old = stack::last_pushed();
    stack::Mark mark;
    Cell* w = stack::push(word);
    Cell* obj = stack::push(*context::self(ctx));
    if (!object_like(cell::type_of(*obj))) return;
    fire_on_set(obj, w, old, old - 1);
}

void fire_on_deep(const Cell& owner, const Cell& word, const Cell& target, const Cell& action,
                  const Cell* new_value, i32 index, i32 part) {
    const Node rec = record_of(owner);
    if (!rec) fire(ErrorId::script_invalid_obj_evt, owner);
    const i32 field = handler_index(rec, handler::on_deep_change);
    if (field < 0) return;
    stack::Mark mark;
    Cell* fn = stack::push(values_of(context_of(owner))[field]);
    if (cell::type_of(*fn) != type::function) return;
    const i32 locals = refresh_locals(rec, handler::on_deep_change, *fn);
    run_handler(fn, words::word::on_deep_change,
                {owner, word, target, action, new_value ? *new_value : none::value, cell::integer(index),
                 cell::integer(part)},
                locals);
}

bool holds_object_q(const Cell& word, Node obj_ctx) {
    const Cell* v = context::get(word);
    return object_like(cell::type_of(*v)) && context_of(*v) == obj_ctx;
}

bool holds_object_at_q(Node ctx, i32 index, Node obj_ctx) {
    const Cell* vals = values_of(ctx);
    if (!vals || index < 0 || index >= size_of(ctx)) return false;
    return object_like(cell::type_of(vals[index])) && context_of(vals[index]) == obj_ctx;
}

// ---------------------------------------------------------------------------
// Making and copying

Cell* make_empty_at(Cell& c, i32 slots) {
    const Node ctx = context::create(slots, false, true, 0, context::kind::object);
    c = make_cell(ctx, 0, 0);
    *context::self(ctx) = c;
    return &c;
}

Cell* make_at(Node ctx, i32 class_id) {
    Cell* obj = stack::push(make_cell(ctx, class_id, 0));
    *context::self(ctx) = *obj;
    if (!context::on_stack_q(ctx)) {
        const Node vals = values_node(ctx);
        if (memory::buffer(vals)->length() == 0)
            for (i32 i = 0; i < size_of(ctx); i++) *memory::alloc_tail(vals) = unset::value;
    }
    return obj;
}

Cell* push_with_handlers(Node ctx, i32 on_change, i32 on_change_locals, i32 on_deep, i32 on_deep_locals) {
    Cell* obj = stack::last_pushed();
    const Node change_spec = on_change >= 0 ? spec_node(values_of(ctx)[on_change]) : 0;
    const Node deep_spec = on_deep >= 0 ? spec_node(values_of(ctx)[on_deep]) : 0;
    obj->data3 = make_on_set_record(on_change, on_change_locals, on_deep, on_deep_locals, change_spec, deep_spec);
    *context::self(ctx) = *obj;
    if (on_deep >= 0) series::ownership.set(*obj, *obj, *context::word_at(ctx, on_deep));
    return obj;
}

Cell* push(Node ctx, i32 class_id, Node record) {
    Cell* obj = stack::push(make_cell(ctx, class_id, record));
    *context::self(ctx) = *obj;
    return obj;
}

void finish(Cell& obj, Node ctx) {
    const Node rec = build_on_set(ctx);
    obj.data3 = rec;
    *context::self(ctx) = obj;
    if (rec) {
        const i32 deep = handler_index(rec, handler::on_deep_change);
        if (deep >= 0) series::ownership.set(obj, obj, *context::word_at(ctx, deep));
    }
}

void copy_into(const Cell& source_cell, Cell* target, bool deep, const Cell* types, bool rebuild) {
    const Cell source = source_cell;
    const Node from = context_of(source);
    const i32 n = size_of(from);
    const Node ctx = context::create(n, false, true, from, context::kind::object);
    *target = make_cell(ctx, class_of(source), rebuild ? 0 : record_of(source), cell::type_of(source));
    *context::self(ctx) = *target;
    std::copy_n(values_of(from), n, values_of(ctx));

    if (deep && !types) {
        for (i32 i = 0; i < n; i++) {
            const u32 t = cell::type_of(values_of(ctx)[i]);
            if (deep_copied(t)) replace_with_copy(ctx, i, true, nullptr);
            else if (t == type::function) rebind_function(ctx, i);
        }
    } else {
        for (i32 i = 0; i < n; i++)
            if (cell::type_of(values_of(ctx)[i]) == type::function) rebind_function(ctx, i);
        if (types) {
            stack::Mark mark;
            const Cell* kinds = stack::push(*types);
            if (deep) {
                // An object met again inside its own deep copy would copy forever.
                if (cycles::find(from)) fire(ErrorId::internal_no_cycle);
                cycles::Guard guard(from);
                block::copy_nested_types(block_of(values_node(ctx)), true, *kinds);
            } else {
                block::copy_nested_types(block_of(values_node(ctx)), false, *kinds);
            }
        }
    }
    if (rebuild) finish(*target, ctx);
}

void duplicate(Node source_ctx, Node target_ctx, bool copy_all) {
    const i32 n = std::min(size_of(source_ctx), size_of(target_ctx));
    for (i32 i = 0; i < n; i++) {
        const Cell v = values_of(source_ctx)[i];
        const u32 t = cell::type_of(v);
        if (!series::series_q(t)) {
            if (copy_all) values_of(target_ctx)[i] = v;
            continue;
        }
        stack::Mark mark;
        Cell* src = stack::push(v);
        Cell* result = stack::push(none::value);
        Cell* got = stack::push(*actions::copy(src, result, nullptr, true, nullptr));
        if (series::block_like_q(t)) context::bind(*got, target_ctx, true);
        values_of(target_ctx)[i] = *got;
    }
}

bool extend_from(Node ctx, const Cell& spec_cell) {
    stack::Mark mark;
    const Cell* spec = stack::push(spec_cell);
    const Node from = context_of(*spec);
    const i32 before = size_of(ctx);
    for (i32 i = 0; i < size_of(from); i++) {
        const Cell w = *context::word_at(from, i);
        context::set_or_add(ctx, w, values_of(from)[i]);
    }
    for (i32 i = 0; i < size_of(ctx); i++) {
        const u32 t = cell::type_of(values_of(ctx)[i]);
        if (series::series_q(t)) replace_with_copy(ctx, i, true, nullptr);
        else if (t == type::function) rebind_function(ctx, i);
    }
    return size_of(ctx) > before;
}

void rebind_function(Node ctx, i32 index) {
    stack::Mark mark;
    Cell* fn = stack::push(values_of(ctx)[index]);
    const Cell body = *function::extra_cell(*fn, function::extra::body);
    if (cell::type_of(body) == type::none) fire(ErrorId::script_bad_func_def, *fn);

    Cell* src = stack::push(body);
    Cell* result = stack::push(none::value);
    Cell* copy = stack::push(*actions::copy(src, result, nullptr, true, nullptr));
    context::bind(*copy, ctx, true);

    // The new function gets its own context, so the two functions' locals
    // never share slots.
    const Node own = function::context_of(*fn);
    const Node fresh = context::create(size_of(own), context::on_stack_q(own), false, own, context::kind::function);
    stack::push(cell::make(type::word, fresh, 0, 0xFFFFFFFFu));  // keeps it alive while the function is made
    context::bind(*copy, fresh, false);

    const Cell spec = block_of(function::spec_of(*fn));
    function::push(spec, *copy, fresh, 0, ctx, fn->header & function::attribute::mask);
    Cell made = *stack::last_pushed();
    made.header = (made.header & ~flag::new_line) | (fn->header & flag::new_line);
    values_of(ctx)[index] = made;
}

void construct_fields(Node ctx, const Cell& spec_cell, bool only) {
    stack::Mark mark;
    const Cell* spec = stack::push(spec_cell);
    const Node n = cell::node(*spec);
    auto length = [n] { return static_cast<i32>(memory::buffer(n)->length()); };
    auto at = [n](i32 i) { return memory::buffer(n)->cells()[i]; };
    i32 pending = -1;  // the first set-word waiting for its value
    for (i32 i = std::max(cell::head_index(*spec), 0);; i++) {
        const bool end = i >= length();
        Cell v = end ? none::value : at(i);
        if (!end && cell::type_of(v) == type::set_word) {
            if (pending < 0) pending = i;
            continue;
        }
        if (pending >= 0) {
            if (!only && cell::type_of(v) == type::word) {
                if (named(v, words::sym::true_) || named(v, words::sym::yes) || named(v, words::sym::on))
                    v = logic::true_value;
                else if (named(v, words::sym::false_) || named(v, words::sym::no) || named(v, words::sym::off))
                    v = logic::false_value;
                else if (named(v, words::sym::none))
                    v = none::value;
            }
            for (i32 k = pending; k < i; k++) context::set_or_add(ctx, at(k), v);
            pending = -1;
        }
        if (end) break;
    }
}

Cell* construct(const Cell& proto_cell, const Cell& spec_cell, bool only) {
    const Cell proto = proto_cell, spec = spec_cell;
    Cell* r = stack::push(none::value);
    Cell* held = stack::push(spec);
    if (object_like(cell::type_of(proto))) {
        stack::push(proto);
        copy_into(proto, r, true, nullptr, true);
    } else {
        make_empty_at(*r, 4);
        r->data2 = static_cast<u32>(new_class_id());
        *context::self(context_of(*r)) = *r;
    }
    construct_fields(context_of(*r), *held, only);
    stack::top = r + 1;
    return r;
}

// ---------------------------------------------------------------------------
// Text

i32 serialize(const Cell& object, Cell* buffer, bool only, bool all, bool flat, Cell* part, i32 budget, bool indent,
              i32 tabs, bool mold) {
    const Cell obj = object;
    const Node ctx = context_of(obj);
    if (size_of(ctx) == 0) return budget;
    const i32 change = symbol::canonical(on_change_symbol()), deep = symbol::canonical(on_deep_symbol());
    // Mold's layout: a line for each pair, indented.
    const bool lines = mold && indent && !flat && !only;
    const char* separator = mold && flat ? " " : "\n";

    cycles::Guard guard(ctx);
    if (lines) budget = text(buffer, "\n", budget);
    bool first = true;
    for (i32 i = 0; i < size_of(ctx); i++) {
        if (budget <= 0) break;
        const Cell w = *context::word_at(ctx, i);
        if (!all && (canonical_of(w) == change || canonical_of(w) == deep)) continue;
        if (lines) budget = mold_indent(*buffer, tabs, budget);
        else if (!first) budget = text(buffer, separator, budget);
        first = false;

        stack::Mark mark;
        Cell* name = stack::push(cell::make(type::word, w.data1, w.data2, w.data3));
        budget = actions::form(name, buffer, part, budget);
        budget = text(buffer, ": ", budget);
        Cell* v = stack::push(values_of(ctx)[i]);
        if (cell::type_of(*v) == 0) cell::set_type(*v, type::unset);
        if (cell::type_of(*v) == type::word) budget = text(buffer, "'", budget);
        budget = actions::mold(v, buffer, false, all, flat, part, budget, tabs);
        if (lines) budget = text(buffer, "\n", budget);
    }
    if (lines && tabs - 1 >= 1) budget = mold_indent(*buffer, tabs - 1, budget);
    return budget;
}

// ---------------------------------------------------------------------------
// Services of the evaluator

void set_spec_evaluator(SpecEvaluator evaluate) { spec_evaluator = evaluate; }
void set_handler_caller(HandlerCaller call) { handler_caller = call; }

// ---------------------------------------------------------------------------
// Actions

Cell* make(Cell* proto, Cell* spec, u32 t) {
    const u32 st = cell::type_of(*spec);
    const bool from_object = object_like(st);
    if (!from_object && st != type::block) fire(ErrorId::syntax_malconstruct, *spec);
    // Without the evaluator a block spec cannot be run: refuse before
    // anything is bound.
    if (st == type::block && !spec_evaluator) fire(ErrorId::internal_not_done);

    const bool has_proto = object_like(cell::type_of(*proto));
    Cell* r = stack::push(none::value);
    if (has_proto) copy_into(*proto, r, true, nullptr, false);
    else make_empty_at(*r, 4);
    cell::set_type(*r, t);
    const Node ctx = context_of(*r);

    if (from_object) {
        if (extend_from(ctx, *spec)) r->data2 = static_cast<u32>(new_class_id());
        *context::self(ctx) = *r;
    } else {
        const bool grew = context::collect_set_words(ctx, *spec);
        if (grew || !has_proto) r->data2 = static_cast<u32>(new_class_id());
        *context::self(ctx) = *r;
        context::bind(*spec, ctx, true);
        if (has_proto) duplicate(context_of(*proto), ctx, false);
        spec_evaluator(*spec);
        clear_set_flags(ctx);
        clear_newlines(values_node(ctx));
    }
    finish(*r, ctx);
    stack::top = r + 1;
    return r;
}

void reflect(Cell* value, u32 field) {
    const Cell obj = *value;
    const Node ctx = context_of(obj);
    const i32 f = symbol::canonical(static_cast<i32>(field));
    auto is = [f](i32 sym) { return sym > 0 && f == symbol::canonical(sym); };

    if (is(symbol_of(words::word::changed))) {
        field_block(obj, value, 1, [](const Cell& blk, Node c, i32 i) {
            const Cell w = *context::word_at(c, i);
            if (w.header & context::assigned) block::rs_append(blk, cell::make(type::word, w.data1, w.data2, w.data3));
        });
    } else if (is(words::sym::class_)) {
        *value = cell::integer(class_of(obj));
    } else if (is(words::sym::words)) {
        field_block(obj, value, 1, [](const Cell& blk, Node c, i32 i) {
            const Cell w = *context::word_at(c, i);
            block::rs_append(blk, cell::make(type::word, w.data1, w.data2, w.data3));
        });
    } else if (is(words::sym::values)) {
        field_block(obj, value, 1, [](const Cell& blk, Node c, i32 i) { block::rs_append(blk, values_of(c)[i]); });
    } else if (is(words::sym::body)) {
        field_block(obj, value, 2, [](const Cell& blk, Node c, i32 i) {
            const Cell w = *context::word_at(c, i);
            block::rs_append(blk, cell::make(type::set_word | flag::new_line, w.data1, w.data2, w.data3));
            Cell v = values_of(c)[i];
            if (cell::type_of(v) == type::word) cell::set_type(v, type::lit_word);
            else if (cell::type_of(v) == type::path) cell::set_type(v, type::lit_path);
            block::rs_append(blk, v);
        });
    } else if (is(words::sym::owner)) {
        *value = logic::make((context::cell_of(ctx)->header & owner_flag) != 0);
    } else if (is(words::sym::events_q)) {
        *value = logic::make(record_of(obj) != 0);
    } else {
        fire(ErrorId::internal_not_done);
    }
}

i32 form(Cell* value, Cell* buffer, Cell* part, i32 limit) {
    i32 budget = limit;
    if (cycles::mold_marker(*value, *buffer, budget, false)) return budget;
    return serialize(*value, buffer, false, false, false, part, budget, false, 0, false);
}

i32 mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, i32 limit, i32 indent) {
    i32 budget = limit;
    if (cycles::mold_marker(*value, *buffer, budget, true)) return budget;
    if (!only) budget = text(buffer, "make object! [", budget);
    // Without the enclosing brackets the pairs stay at the current level.
    budget = serialize(*value, buffer, only, all, flat, part, budget, true, only ? indent : indent + 1, true);
    if (!only) budget = text(buffer, "]", budget);
    return budget;
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell*, Cell*, i32, bool, bool get, bool tail,
                bool) {
    const Cell where = path ? *path : none::value;
    if (!any_word(cell::type_of(*element))) fire(ErrorId::script_invalid_path, where, *element);
    const Node ctx = context_of(*parent);
    i32 index = word::index_of(*element);
    if (word::context_of(*element) != ctx || index < 0) {
        index = context::find_word(ctx, symbol_of(*element), true);
        if (index < 0) return missing_field(where, *element, get, tail);
        element->data1 = ctx;
        element->data3 = static_cast<u32>(index);
    }
    if (value) {
        stack::Mark mark;
        const Cell obj = *parent;
        Cell* w = stack::push(*element);
        if (!record_of(obj)) {
            context::set_in(*w, *value, ctx, false);
            return value;
        }
        Cell* o = stack::push(obj);
        Cell* old = stack::push(values_of(ctx)[index]);
        Cell* nv = stack::push(*value);
        context::set_in(*w, *nv, ctx, false);
        fire_on_set(o, w, old, nv);
        return value;
    }
    const Cell v = values_of(ctx)[index];
    if (cell::type_of(v) == type::unset) return missing_field(where, *element, get, tail);
    return stack::push(v);
}

i32 compare(Cell* value1, Cell* value2, i32 op) {
    // port! compares with this too: ports with ports, objects with objects.
    if (cell::type_of(*value2) != cell::type_of(*value1)) return -2;
    const Node a = context_of(*value1), b = context_of(*value2);
    if (a == b) return 0;
    if (op == actions::op::same) return -1;  // same?: only one context is the same
    if (cycles::find(a)) return cycles::find(b) ? 0 : -1;
    const i32 na = size_of(a), nb = size_of(b);
    if (na != nb) return na > nb ? 1 : -1;

    auto number = [](u32 t) { return t == type::integer || t == type::float_ || t == type::percent; };
    auto word_family = [](u32 t) { return t >= type::word && t <= type::issue; };
    cycles::Guard guard_a(a);
    cycles::Guard guard_b(b);
    for (i32 i = 0; i < na; i++) {
        const i32 wa = canonical_of(*context::word_at(a, i)), wb = canonical_of(*context::word_at(b, i));
        if (wa != wb) return wa < wb ? -1 : 1;
        stack::Mark mark;
        Cell* va = stack::push(values_of(a)[i]);
        Cell* vb = stack::push(values_of(b)[i]);
        if (cell::type_of(*va) == 0) cell::set_type(*va, type::unset);
        if (cell::type_of(*vb) == 0) cell::set_type(*vb, type::unset);
        const u32 ta = cell::type_of(*va), tb = cell::type_of(*vb);
        i32 r;
        if (ta == tb || (word_family(ta) && word_family(tb)) || (number(ta) && number(tb)))
            r = actions::compare_raw(va, vb, op);
        else
            r = ta < tb ? -1 : 1;
        if (r != 0) return r;
    }
    return 0;
}

Cell* copy(Cell* value, Cell* result, Cell* part, bool deep, Cell* types) {
    if (part) fire(ErrorId::script_invalid_refine_arg, words::refinement::part, *part);
    copy_into(*value, result, deep, types, true);
    return result;
}

Cell* put(Cell* obj, Cell* key, Cell* value, bool case_) {
    if (cell::type_of(*key) != type::word) fire(ErrorId::script_invalid_key_type, datatype::make(cell::type_of(*key)));
    return eval_path(obj, key, value, nullptr, nullptr, nullptr, 0, case_, false, false, false);
}

Cell* select(Cell* obj, Cell* value, Cell*, bool, bool, bool, bool, Cell*, Cell*, bool, bool) {
    const u32 t = cell::type_of(*value);
    if (!any_word(t)) fire(ErrorId::script_invalid_type, datatype::make(t));
    return stack::push(*rs_select(*obj, *value));
}

Cell* modify(Cell* target, Cell* field, Cell* value, bool) {
    const u32 ft = cell::type_of(*field);
    const bool word = any_word(ft);
    const u32 vt = cell::type_of(*value);
    if (word && named(*field, symbol_of(words::word::changed))) {
        if (vt != type::none) fire(ErrorId::script_invalid_arg, *value);
        clear_set_flags(context_of(*target));
    } else if (word && named(*field, words::sym::owner)) {
        series::ownership.set(*target, *target, *field);
    } else if (word && named(*field, words::sym::owned)) {
        if (vt == type::none) {
            series::ownership.unbind(*target);
        } else if (vt == type::block) {
            if (block::rs_length_q(*value) < 2) fire(ErrorId::script_invalid_arg, *value);
            const Cell* c = series::buffer_of(*value)->cells() + cell::head_index(*value);
            const Cell owner = c[0], owner_word = c[1];
            series::ownership.set(*target, owner, owner_word);
        } else {
            fire(ErrorId::script_invalid_arg, *value);
        }
    } else {
        fire(ErrorId::internal_not_done);
    }
    return value;
}

namespace {

constexpr ActionTable object_actions = {
    .make = make, .reflect = reflect, .form = form, .mold = mold, .eval_path = eval_path,
    .compare = compare, .copy = copy, .put = put, .select = select, .modify = modify,
};

}  // namespace

void init() {
    class_counter = class_id_base;
    context::set_on_change_hook(fire_on_set);
    registry::add(type::object, 0, "object!", object_actions);
}

}  // namespace oru::object
