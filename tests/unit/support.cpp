#include "support.h"

#include "codecs/lexer.h"
#include "interpreter/actions.h"
#include "interpreter/evaluator.h"
#include "runtime/collector.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/typeset.h"
#include "runtime/datatypes/unset.h"
#include "runtime/memory.h"
#include "runtime/unicode.h"

namespace oru::test {

void start_symbols() {
    memory::init();
    unicode::init_case_tables();
    symbol::init(4000);
}

void start_base() {
    memory::init();
    symbol::init(4000);
    stack::init(memory::alloc_fixed_series(stack::data_cells, 16, 0),
                memory::alloc_fixed_series(stack::frame_block_cells, 16, 0));
    datatype::init();
    unset::init();
    none::init();
    logic::init();
    typeset::init();
}

void stop_base() {
    stack::shutdown();
    memory::release_all();
}

Cell* open_buffer_frame() {
    Cell* buffer = stack::push();
    string::make_at(*buffer, 16);
    stack::mark_native(stack::word(0));
    stack::push(unset::value);
    return buffer;
}

void BaseWithBuffer::clear_buffer() { memory::buffer(cell::node(*buffer))->tail = 0; }

void expect_integer(const Outcome& o, i32 v) {
    ASSERT_FALSE(o.error) << error_id_name(*o.error);
    ASSERT_EQ(cell::type_of(o.value), type::integer);
    EXPECT_EQ(integer::get(o.value), v);
}

Cell name(const char* spelling) { return stack::word(symbol::make(spelling)); }

std::string ascii(const Cell& string) {
    SeriesBuffer* s = memory::buffer(cell::node(string));
    std::string out;
    for (u32 i = 0; i < s->length(); i++)
        out.push_back(static_cast<char>(string::get_char(s->head_ptr() + i * s->unit(), s->unit())));
    return out;
}

std::string written(const Cell& v, bool mold, bool only, bool flat) {
    Cell* top = stack::top;
    Cell* buffer = stack::push();
    string::make_at(*buffer, 16);
    Cell* value = stack::push(v);
    if (mold) actions::mold(value, buffer, only, false, flat, nullptr, 0x7FFFFFFF, 0);
    else actions::form(value, buffer, nullptr, 0x7FFFFFFF);
    std::string out = ascii(*buffer);
    stack::top = top;
    return out;
}

std::string utf8(const std::u32string& s) {
    std::string out;
    for (char32_t c : s) {
        u8 b[4];
        int n = unicode::encode_utf8_char(c, b);
        out.append(reinterpret_cast<char*>(b), static_cast<size_t>(n));
    }
    return out;
}

Cell call_action(u32 slot, std::initializer_list<Cell> args, const std::vector<i32>& refs) {
    stack::mark_native(name("test"));
    for (const Cell& a : args) stack::push_value(a);
    actions::table[slot - 1](refs.empty() ? nullptr : refs.data());
    Cell result = *stack::arguments;
    stack::unroll();
    return result;
}

Cell* load(const std::string& src) {
    Cell* blk = stack::push(cell::make(type::none));
    lexer::scan(blk, reinterpret_cast<const u8*>(src.data()), static_cast<i32>(src.size()), {}, nullptr);
    return blk;
}

u32 load_collecting(Cell* blk, const std::string& src) {
    const bool stress = collector::set_stress(true);
    const bool on = collector::enable(true);
    const u32 start = collector::cycles();
    lexer::scan(blk, reinterpret_cast<const u8*>(src.data()), static_cast<i32>(src.size()), {}, nullptr);
    collector::enable(on);
    collector::set_stress(stress);
    return collector::cycles() - start;
}

u32 evaluate(const std::string& src) {
    Cell* code = load(src);
    context::bind(*code, context::global, false);
    stack::mark_try(stack::word(0));
    stack::mark_native(stack::word(0));
    return interpreter::eval_block(*code, true);
}

Cell eval_framed(const Cell& block) {
    stack::push(unset::value);
    stack::mark_native(stack::word(0));
    stack::push(unset::value);
    EXPECT_EQ(interpreter::eval_block(block, true), 0u);
    const Cell r = *stack::arguments;
    stack::unroll();
    return r;
}

Cell value_at(const Cell& blk, i32 i) { return *block::rs_abs_at(blk, i); }

}  // namespace oru::test
