// Runtime calls of compiled code: root records, argument checks, refinement
// clearing, the select/switch lookup and the range-checked float conversion.
#include "runtime/calls.h"

#include "interpreter/actions.h"
#include "interpreter/stack.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/typeset.h"
#include "runtime/fire.h"
#include "runtime/memory.h"

#include <cmath>

namespace oru {

namespace {
Node root = 0;
}  // namespace

void set_root_block(Node r) { root = r; }
Node root_block() { return root; }

Cell* literal_cell(i32 n) {
    SeriesBuffer* s = memory::buffer(root);
    if (n < 0 || static_cast<u32>(n) >= s->length()) fire(ErrorId::internal_limit_hit, cell::integer(n));
    return s->cells() + n;
}

Node literal_node(i32 n) { return literal_cell(n)->data1; }

[[noreturn]] void fire_55(const Cell& arg1, const Cell& arg2) { fire(ErrorId::script_bad_make_arg, arg1, arg2); }

// The argument is named by its number: naming it by the word of the called
// function's spec needs the function's arguments description.
[[noreturn]] void fire_expect_arg(i32 arg_number, u32 t) {
    fire(ErrorId::script_expect_arg, stack::get_call(), datatype::make(t), cell::integer(arg_number));
}

Cell* check_arg_type(const Cell& typeset, i32 arg_number, Cell* value) {
    const u32 t = cell::type_of(*value);
    if (!typeset::member_q(typeset, t)) fire_expect_arg(arg_number, t);
    return value;
}

i32 check_arg_type_index(i32 index, const Cell& typeset, i32 arg_number) {
    if (index >= 0) check_arg_type(typeset, arg_number, stack::arguments + index);
    return index;
}

Cell* check_arg_type_at(const Cell& refinement, const Cell& typeset, i32 arg_number, Cell* value) {
    return logic::truth(refinement) ? check_arg_type(typeset, arg_number, value) : value;
}

Cell* check_arg_set(i32 arg_number, Cell* value) {
    if (cell::type_of(*value) == type::unset) fire_expect_arg(arg_number, type::unset);
    return value;
}

i32 check_float_range(const Cell& value) {
    switch (cell::type_of(value)) {
        case type::integer: return static_cast<i32>(value.data2);
        case type::float_:
        case type::percent: {
            const double d = cell::get_float(value);
            // The negated tests also catch NaN.
            if (!(d <= 2147483647.0) || !(d >= -2147483648.0)) fire(ErrorId::script_out_of_range, value);
            return static_cast<i32>(std::trunc(d));
        }
        default: fire(ErrorId::script_invalid_arg, value);
    }
}

void clear_refinement_args(const Cell& value, i32 index, i32 count) {
    Cell* slot = stack::arguments + index;
    if (logic::truth(value)) {
        *slot = logic::true_value;
        return;
    }
    for (i32 i = 1; i <= count; i++) slot[i] = none::value;
}

// The key is never a block. Cells are visited from the block's position, one
// at a time for switch-like lookups that push (push_flag), else every second
// cell (key/value pairs). A match has the key's type and compares equal
// (operation 0). The result is the cell after the match; with block_flag the
// first block! after it (a switch body); the match itself when it is the
// block's last cell. When no block! follows a switch case the search stops at
// the tail and the result is none, as when nothing matches.
void find_in_block(bool push_flag, bool block_flag) {
    Cell* key = stack::arguments;
    Cell result = none::value;
    const u32 key_type = cell::type_of(*key);
    if (key_type != type::block) {
        // The block stays in its stack slot, which keeps it alive; its node
        // and buffer are read from there again after every comparison, which
        // may allocate.
        const Cell& blk = stack::arguments[1];
        const i32 step = push_flag ? 1 : 2;
        i32 i = cell::head_index(blk) < 0 ? 0 : cell::head_index(blk);
        for (;; i += step) {
            const i32 length = static_cast<i32>(memory::buffer(cell::node(blk))->length());
            if (i >= length) break;
            // A copy: the comparison may allocate and move the block's buffer.
            Cell candidate = memory::buffer(cell::node(blk))->cells()[i];
            if (cell::type_of(candidate) != key_type || !actions::compare(&candidate, key, 0)) continue;
            SeriesBuffer* s = memory::buffer(cell::node(blk));
            const i32 n = static_cast<i32>(s->length());
            if (i + 1 >= n) {
                result = s->cells()[i];
            } else if (!block_flag) {
                result = s->cells()[i + 1];
            } else {
                for (i32 j = i + 1; j < n; j++)
                    if (cell::type_of(s->cells()[j]) == type::block) {
                        result = s->cells()[j];
                        break;
                    }
            }
            break;
        }
    }
    if (push_flag) stack::push(result);
    else stack::set_last(result);
}

}  // namespace oru
