// print and prin: a value formed (a block reduced first) and handed to the
// print hooks.
#include "interpreter/natives_output.h"

#include "interpreter/actions.h"
#include "interpreter/evaluator.h"
#include "interpreter/natives.h"
#include "interpreter/stack.h"
#include "runtime/console.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/unset.h"
#include "runtime/memory.h"
#include "runtime/words.h"

namespace oru::natives {

bool last_lf_q = true;

namespace {

// Cuts the print buffer back to `start` and restores its position.
void release_buffer(i32 start, u32 saved_head) {
    Cell& buf = print_buffer();
    block::rs_set_tail(buf, start);
    buf.data1 = saved_head;
}

// Reduces the block at args[0] into the print buffer from its tail; the
// values start where it was. Returns the pending code (0 when complete). Each
// expression runs in a frame named <body>, as any and all do.
u32 reduce_into_buffer(Cell* args) {
    const Cell* blk = stack::push_value(args[0]);
    i32 pc = cell::head_index(*blk);
    const i32 end = series::abs_length_q(*blk);
    while (pc < end) {
        stack::top = const_cast<Cell*>(blk) + 1;
        stack::mark_native(words::word::tag_body);
        pc = interpreter::eval_expression(*blk, pc, end, false, false, false);
        if (interpreter::pending) return interpreter::pending;
        block::rs_append(print_buffer(), *stack::arguments);
        stack::unwind();
    }
    stack::top = const_cast<Cell*>(blk);
    return 0;
}

u32 print_value(bool new_line) {
    Cell* args = stack::arguments;
    Cell& buf = print_buffer();
    const u32 saved_head = buf.data1;
    const i32 start = series::abs_length_q(buf);
    const bool is_block = cell::type_of(args[0]) == type::block;
    if (is_block) {
        buf.data1 = static_cast<u32>(start);
        u32 code = 0;
        try {
            code = reduce_into_buffer(args);
        } catch (const SystemThrow&) {
            release_buffer(start, saved_head);
            throw;
        }
        if (code) {
            release_buffer(start, saved_head);
            return code;
        }
        Cell reduced = print_buffer();
        reduced.data1 = static_cast<u32>(start);
        args[0] = reduced;
    }
    stack::keep();
    Cell* text = args;
    if (cell::type_of(args[0]) != type::string) {
        Cell* buffer = stack::push();
        string::make_at(*buffer, 16);
        actions::form(args, buffer, nullptr, 0x7FFFFFFF);
        text = stack::top - 1;
    } else if (cell::head_index(*text) > series::abs_length_q(*text)) {
        text->data1 = static_cast<u32>(series::abs_length_q(*text));
    }
    dyn_print::call_value_hooks(text, new_line);
    if (is_block) release_buffer(start, saved_head);
    last_lf_q = new_line;
    stack::set_result(unset::value);
    return 0;
}

}  // namespace

u32 print(bool, const i32*) { return print_value(true); }
u32 prin(bool, const i32*) { return print_value(false); }

}  // namespace oru::natives

namespace oru::natives_output {

void stdout_hook(const Cell* value, bool new_line) {
    SeriesBuffer* s = memory::buffer(cell::node(*value));
    const u32 unit = s->unit();
    const i32 count = series::abs_length_q(*value) - cell::head_index(*value);
    const u8* p = s->head_ptr() + static_cast<u32>(cell::head_index(*value)) * unit;
    console::print_units(p, count > 0 ? count * static_cast<i32>(unit) : 0, unit, new_line);
}

void register_all() {
    natives::provide(natives::slot::print, natives::print);
    natives::provide(natives::slot::prin, natives::prin);
}

}  // namespace oru::natives_output
