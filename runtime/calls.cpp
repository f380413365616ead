// Runtime calls of compiled code: root records, argument checks, refinement
// clearing, the select/switch lookup, the range-checked float conversion,
// calls with refinement positions, item-by-item paths, loading a value from
// text and reporting an error without unwinding.
#include "runtime/calls.h"

#include "codecs/lexer.h"
#include "interpreter/actions.h"
#include "interpreter/natives.h"
#include "interpreter/natives_output.h"
#include "interpreter/stack.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/native.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/object.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/typeset.h"
#include "runtime/datatypes/unset.h"
#include "runtime/datatypes/word.h"
#include "runtime/fire.h"
#include "runtime/memory.h"

#include <cmath>
#include <vector>

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

// The argument is named by the word of the called function's spec; a call
// with no spec to read (an unnamed or unknown frame) keeps the number, so the
// message still says which argument it was.
[[noreturn]] void fire_expect_arg(i32 arg_number, u32 t) {
    Cell argument = error::get_call_argument(arg_number - 1);
    if (cell::type_of(argument) == type::none) argument = cell::integer(arg_number);
    fire(ErrorId::script_expect_arg, stack::get_call(), datatype::make(t), argument);
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

u32 call_with_refinements(i32 number, bool natives_table, i32 slots, std::span<const RefinementGroup> groups) {
    if (slots < 0) fire(ErrorId::internal_limit_hit, cell::integer(slots));
    // The position table lives for the duration of the call.
    std::vector<i32> positions(static_cast<size_t>(slots), -1);
    for (const RefinementGroup& g : groups) {
        if (g.position < 1 || g.position > slots) fire(ErrorId::internal_limit_hit, cell::integer(g.position));
        if (logic::truth(g.value)) {
            positions[static_cast<size_t>(g.position - 1)] = g.offset;
        } else if (g.count > 0) {
            // Never write past the data stack, whatever the description says.
            if (g.offset < 0 || g.count > stack::end - stack::arguments - g.offset)
                fire(ErrorId::internal_limit_hit, cell::integer(g.offset));
            for (i32 i = 0; i < g.count; i++) stack::arguments[g.offset + i] = none::value;
        }
    }
    const i32* table = slots > 0 ? positions.data() : nullptr;
    if (natives_table) {
        native::Entry e = native::entry_at(number);
        if (!e) fire(ErrorId::internal_not_done);
        return e(true, table);
    }
    actions::StackEntry e =
        number >= 1 && number <= static_cast<i32>(action::count) ? actions::table[number - 1] : nullptr;
    if (!e) fire(ErrorId::internal_not_done);
    e(table);
    return 0;
}

namespace {

bool path_family(u32 t) { return t >= type::path && t <= type::get_path; }

// Whether a store at the last item of a set-path has owners to notify: the
// parent is an object with an on-change* handler reached through a word, or
// a block-like value that may be owned.
bool notify_owners(const Cell& parent, const Cell& previous) {
    const u32 t = cell::type_of(parent);
    if (t == type::object) {
        const Node record = object::record_of(parent);
        return cell::type_of(previous) == type::word && record &&
               object::handler_index(record, object::handler::on_change) >= 0;
    }
    return t == type::block || t == type::paren || t == type::hash || path_family(t);
}

}  // namespace

void eval_path_items(bool set, const Cell& path_value, std::span<const Cell> items) {
    Cell final_value = none::value;
    {
        stack::Mark mark;
        // Everything the steps work on lives on the data stack: each step may
        // allocate or run language code.
        Cell* path = stack::push(path_value);
        Cell* parent = stack::push(none::value);
        Cell* current = stack::push(items.empty() ? none::value : items[0]);
        Cell* previous = stack::push(none::value);
        Cell* element = stack::push(none::value);
        if (!items.empty() && cell::type_of(items[0]) == type::word) {
            const Node ctx = word::context_of(items[0]);
            *current = *context::get(items[0]);
            if (ctx && ctx != context::global) {
                const Cell owner = *context::self(ctx);
                if (cell::type_of(owner) != type::object) *parent = owner;
            }
        }
        if (!items.empty()) *previous = items[0];
        const i32 n = static_cast<i32>(items.size());
        for (i32 i = 1; i < n; i++) {
            const bool last = i == n - 1;
            *element = items[static_cast<size_t>(i)];
            const bool notify = set && n > 2 && last && notify_owners(*parent, *previous);
            Cell* const work = stack::top;
            Cell* r = actions::eval_path(current, element, set && last ? stack::arguments : nullptr, path, parent,
                                         previous, i, false, false, last, notify);
            const Cell result = r ? *r : none::value;
            stack::top = work;
            *parent = *current;
            *current = result;
            *previous = items[static_cast<size_t>(i)];
        }
        final_value = *current;
    }
    if (stack::top > stack::arguments) *(stack::top - 1) = final_value;
    else stack::push(final_value);
}

Cell load_value_in(const Cell& text_value, Cell* target) {
    stack::Mark mark;
    // The text may be the target itself (load-value): keep it on the stack
    // while the lexer allocates.
    Cell* text = stack::push(text_value);
    const i32 length = series::abs_length_q(*text) - cell::head_index(*text);
    i32 consumed = 0;
    Cell loaded = none::value;
    lexer::load_string(&loaded, *text, -1, lexer::Mode{}, &consumed);
    *target = loaded;
    if (consumed < length) return none::value;
    if (series::abs_length_q(loaded) <= cell::head_index(loaded)) {
        *target = unset::value;
        return *target;
    }
    return *block::rs_abs_at(loaded, cell::head_index(loaded));
}

Cell load_value(const Cell& text) { return load_value_in(text, stack::arguments); }

void report_error(const Cell& category, const Cell& id, const Cell* arg1, const Cell* arg2, const Cell* arg3) {
    // The arguments may lie in buffers that making the error moves.
    Cell* args[3] = {nullptr, nullptr, nullptr};
    const Cell* given[3] = {arg1, arg2, arg3};
    Cell* held = stack::push(category);
    stack::push(id);
    for (int i = 0; i < 3; i++)
        if (given[i]) args[i] = stack::push(*given[i]);
    const Cell name = stack::word(symbol::make(natives::name_of(natives::slot::print)));
    const u32 words_at = stack::index_of(held);
    stack::mark_native(name);
    Cell* w = stack::at_index(words_at);
    error::create(w[0], w[1], args[0], args[1], args[2]);  // pushed at the frame's argument base
    natives::print(true, nullptr);
    stack::set_result(unset::value);
    stack::unwind();
    // The frame's result replaces the cells held for it.
    stack::top = stack::at_index(words_at);
    stack::push(unset::value);
}

}  // namespace oru
