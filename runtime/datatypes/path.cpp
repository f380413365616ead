// The path family: make, to, form, mold and the four registrations.
#include "runtime/datatypes/path.h"

#include "interpreter/actions.h"
#include "interpreter/stack.h"
#include "runtime/calls.h"
#include "runtime/cycles.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/unset.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/registry.h"

namespace oru::path {

namespace {

Cell* retype_push(Cell& blk, u32 t) {
    cell::set_type(blk, t);
    return stack::push(blk);
}

// An empty series of type t with room for `capacity` cells, pushed.
Cell* push_empty(u32 t, i32 capacity) {
    Cell* r = stack::push(unset::value);
    block::make_at(*r, capacity);
    cell::set_type(*r, t);
    return r;
}

// Writes the values from the head separated by "/", formed or molded.
i32 write(Cell* value, Cell* buffer, bool mold, bool all, bool flat, Cell* part, i32 limit, i32 indent) {
    i32 budget = limit;
    if (cycles::mold_marker(*value, *buffer, budget, mold)) return budget;
    const u32 t = cell::type_of(*value);
    if (mold && (t == type::lit_path || t == type::get_path)) {
        string::concatenate_literal(*buffer, t == type::lit_path ? "'" : ":");
        budget--;
    }
    const Node n = cell::node(*value);
    {
        cycles::Guard guard(n);
        i32 i = cell::head_index(*value);
        if (i < 0) i = 0;
        for (; i < static_cast<i32>(memory::buffer(n)->length()); i++) {
            if (part && budget < 1) break;
            {
                Cell* top = stack::top;
                Cell* c = stack::push(memory::buffer(n)->cells()[i]);
                budget = mold ? actions::mold(c, buffer, false, all, flat, part, budget, indent)
                              : actions::form(c, buffer, part, budget);
                stack::top = top;
            }
            if (i + 1 < static_cast<i32>(memory::buffer(n)->length())) {
                string::concatenate_literal(*buffer, "/");
                budget--;
            }
        }
    }
    if (mold && t == type::set_path) {
        string::concatenate_literal(*buffer, ":");
        budget--;
    }
    return budget;
}

// A table taking every slot from the parent.
constexpr ActionTable all_inherited() {
    ActionTable t{};
#define ORU_INHERIT(n, member, spelling, fn) t.member = inherit;
    ORU_ACTIONS(ORU_INHERIT)
#undef ORU_INHERIT
    return t;
}

}  // namespace

Cell* push(Cell& blk) { return retype_push(blk, type::path); }

Cell* make_at(Cell& c, i32 capacity) {
    block::make_at(c, capacity);
    cell::set_type(c, type::path);
    return &c;
}

Cell* make(Cell*, Cell* spec, u32 t) {
    const u32 st = cell::type_of(*spec);
    if (series::block_like_q(st)) {
        Cell* r = block::clone(*spec, false, false);
        cell::set_type(*r, t);
        return r;
    }
    if (st == type::integer || st == type::float_ || st == type::percent) {
        const i32 capacity = check_float_range(*spec);
        return push_empty(t, capacity < 1 ? 1 : capacity);
    }
    fire(ErrorId::script_bad_make_arg, datatype::make(t), *spec);
}

Cell* to(Cell* proto, Cell* spec, u32 t) {
    const u32 st = cell::type_of(*spec);
    if (st != type::object && st != type::typeset && st != type::map) return block::to(proto, spec, t);
    const Cell v = *spec;  // read before the allocations
    Cell* r = push_empty(t, 1);
    *memory::alloc_tail(cell::node(*r)) = v;
    return r;
}

i32 form(Cell* value, Cell* buffer, Cell* part, i32 limit) {
    return write(value, buffer, false, false, false, part, limit, 0);
}

i32 mold(Cell* value, Cell* buffer, bool, bool all, bool flat, Cell* part, i32 limit, i32 indent) {
    return write(value, buffer, true, all, flat, part, limit, indent);
}

namespace {

// path! takes block!'s handlers except its own make, to, form, mold and copy;
// it has no random, sort or trim.
constexpr ActionTable path_actions = [] {
    ActionTable t = all_inherited();
    t.make = make;
    t.to = to;
    t.form = form;
    t.mold = mold;
    t.copy = block::copy;
    t.random = {};
    t.sort = {};
    t.trim = {};
    return t;
}();

// lit-path!, set-path! and get-path!: path!'s handlers, with their own mold.
constexpr ActionTable child_actions = [] {
    ActionTable t = all_inherited();
    t.mold = mold;
    return t;
}();

}  // namespace

void init() { registry::add(type::path, type::block, "path!", path_actions); }

}  // namespace oru::path

namespace oru::lit_path {
Cell* push(Cell& blk) {
    cell::set_type(blk, type::lit_path);
    return stack::push(blk);
}
void init() { registry::add(type::lit_path, type::path, "lit-path!", oru::path::child_actions); }
}  // namespace oru::lit_path

namespace oru::set_path {
Cell* push(Cell& blk) {
    cell::set_type(blk, type::set_path);
    return stack::push(blk);
}
void init() { registry::add(type::set_path, type::path, "set-path!", oru::path::child_actions); }
}  // namespace oru::set_path

namespace oru::get_path {
Cell* push(Cell& blk) {
    cell::set_type(blk, type::get_path);
    return stack::push(blk);
}
void init() { registry::add(type::get_path, type::path, "get-path!", oru::path::child_actions); }
}  // namespace oru::get_path
