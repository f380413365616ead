// hash!: making, converting, copying, molding and sorting, with the action
// table at the bottom. Everything else is block!'s, which keeps the index.
#include "runtime/datatypes/hash.h"

#include "interpreter/stack.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/fire.h"
#include "runtime/hashtable.h"
#include "runtime/memory.h"
#include "runtime/registry.h"

#include <algorithm>
#include <cmath>

namespace oru::hash {

namespace {

constexpr i64 max_cells = 0x7FFFFFF0 / sizeof(Cell);

// Makes the block value (a data-stack cell at its head) a hash! whose own
// index covers its cells.
Cell* index_in_place(Cell* r) {
    const i32 n = std::max(1, block::rs_length_q(*r));
    r->data3 = 0;
    const Node table = hashtable::init(n, r, hashtable::kind::hash, 0);
    cell::set_type(*r, type::hash);
    r->data3 = table;
    return r;
}

// The room make hash! n leaves: at least 1 value; NaN is out of range, a
// count past the largest block more than memory allows.
i32 room_of(const Cell& spec) {
    double d = cell::type_of(spec) == type::integer ? static_cast<i32>(spec.data2) : cell::get_float(spec);
    if (std::isnan(d)) fire(ErrorId::script_out_of_range, spec);
    d = std::trunc(d);
    if (d > static_cast<double>(max_cells)) fire(ErrorId::internal_no_memory);
    return d < 1 ? 1 : static_cast<i32>(d);
}

// The values are copied as a block's (a block! under /deep or /types);
// a whole copy from the head takes the index table for table, any other
// gets a new index over its values.
Cell* copy(Cell* value, Cell* result, Cell* part, bool deep, Cell* types) {
    const Cell source = *value;
    if (!result) result = stack::push(none::value);
    const bool whole = !part && !deep && !types && cell::head_index(source) == 0;
    result = block::copy(value, result, part, deep, types);
    result->data3 = 0;
    cell::set_type(*result, type::hash);
    // Table positions count from the buffer's data start: a verbatim table
    // fits only a copy whose cells lie at the same offsets.
    if (whole && memory::buffer(cell::node(source))->head == memory::buffer(cell::node(*result))->head) {
        result->data3 = hashtable::copy(source.data3, cell::node(*result));
        return result;
    }
    result->data1 = 0;
    return index_in_place(result);
}

Cell* to(Cell* proto, Cell* spec, u32) {
    if (cell::type_of(*spec) == type::hash) return copy(spec, nullptr, nullptr, false, nullptr);
    return index_in_place(block::to(proto, spec, type::block));
}

Cell* make(Cell* proto, Cell* spec, u32 t) {
    switch (cell::type_of(*spec)) {
        case type::integer:
        case type::float_: {
            Cell* r = stack::push(none::value);
            block::make_at(*r, room_of(*spec));
            const Node table = hashtable::init(room_of(*spec), r, hashtable::kind::hash, 0);
            cell::set_type(*r, type::hash);
            r->data3 = table;
            return r;
        }
        case type::block: return index_in_place(block::clone(*spec, false, false));
        default: return to(proto, spec, t);
    }
}

// "make hash! " and the block's mold; /only gives the bare block mold.
i32 mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, i32 limit, i32 indent) {
    if (only) return block::mold_enclosed(value, buffer, "[", "]", true, all, flat, part, limit, indent);
    string::concatenate_literal(*buffer, "make hash! ");
    return block::mold_enclosed(value, buffer, "[", "]", false, all, flat, part, limit - 11, indent);
}

// Sorted as a block; then the index is rebuilt from the cells now in place.
Cell* sort(Cell* series, bool case_, Cell* skip, Cell* compare, Cell* part, bool all, bool reverse, bool stable) {
    Cell* r = block::sort(series, case_, skip, compare, part, all, reverse, stable);
    series::hash_rebuild(series->data3, cell::node(*series));
    return r;
}

// trim: block!'s handler rebuilds the index itself.
constexpr ActionTable hash_actions = {
    .make = make, .reflect = inherit, .to = to, .form = inherit, .mold = mold,
    .eval_path = inherit, .compare = inherit,
    .append = inherit, .at = inherit, .back = inherit, .change = inherit, .clear = inherit, .copy = copy,
    .find = inherit, .head = inherit, .head_q = inherit, .index_q = inherit, .insert = inherit, .length_q = inherit,
    .move = inherit, .next = inherit, .pick = inherit, .poke = inherit, .put = inherit, .remove = inherit,
    .reverse = inherit, .select = inherit, .sort = sort, .skip = inherit, .swap = inherit, .tail = inherit,
    .tail_q = inherit, .take = inherit, .trim = inherit, .modify = inherit,
};

}  // namespace

void init() { registry::add(type::hash, type::block, "hash!", hash_actions); }

}  // namespace oru::hash
