// Output and conversion natives; see natives_output.h. The table of slots is
// in register_all at the bottom.
#include "interpreter/natives_output.h"

#include "codecs/lexer_values.h"
#include "interpreter/actions.h"
#include "interpreter/evaluator.h"
#include "interpreter/natives.h"
#include "interpreter/natives_shared.h"
#include "interpreter/natives_system.h"
#include "interpreter/stack.h"
#include "runtime/console.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/function.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/money.h"
#include "runtime/datatypes/object.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/unset.h"
#include "runtime/datatypes/word.h"
#include "runtime/datatypes/context.h"
#include "runtime/fire.h"
#include "runtime/float_text.h"
#include "runtime/memory.h"
#include "runtime/stats.h"
#include "runtime/unicode.h"
#include "runtime/words.h"

#include <cmath>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <limits>

namespace oru::money_cell {

// ORDER CURRENCIES: the start-up list of money_text.h, whose order is the
// stored currency index of a money! value.
#define ORU_CURRENCY_NAME(code) #code,
const char* const currency_names[currencies] = {ORU_CURRENCIES(ORU_CURRENCY_NAME)};
#undef ORU_CURRENCY_NAME
static_assert(currencies == money::boot_currency_count && max_currency_index == money::max_currency_index);

// One lookup for every maker of money! values (money_text.h).
i32 find_currency(const Cell& word) { return money::find_currency(word); }

Cell from_integer(i32 n) { return money::from_integer(n); }
Cell from_float(double d) { return money::from_float(d, false); }
void set_currency(Cell& m, i32 index) { money::set_currency(m, index); }
i32 digit(const Cell& m, i32 k) { return money::digit_at(m, k); }

}  // namespace oru::money_cell

namespace oru::natives {

bool last_lf_q = true;

namespace {

inline bool used(const i32* refinements, int i) { return refinements && refinements[i] >= 0; }

// ---------------------------------------------------------------------------
// print and prin

// Cuts the print buffer back to `start` and restores its position.
void release_buffer(i32 start, u32 saved_head) {
    Cell& buf = print_buffer();
    block::rs_set_tail(buf, start);
    buf.data1 = saved_head;
}

// Gives the print buffer back however the print ends: normally, with a
// pending unwinding, or with an error raised by the reduction or a hook.
struct BufferClaim {
    i32 start;
    u32 saved_head;
    ~BufferClaim() { release_buffer(start, saved_head); }
};

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

// Forms the value (a string! is used from its position) and hands it to the
// print hooks.
void print_formed(Cell* args, bool new_line) {
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
}

u32 print_value(bool new_line) {
    Cell* args = stack::arguments;
    if (cell::type_of(args[0]) == type::block) {
        Cell& buf = print_buffer();
        const BufferClaim claim{series::abs_length_q(buf), buf.data1};
        buf.data1 = static_cast<u32>(claim.start);
        if (const u32 code = reduce_into_buffer(args)) return code;
        Cell reduced = print_buffer();
        reduced.data1 = static_cast<u32>(claim.start);
        args[0] = reduced;
        print_formed(args, new_line);
    } else {
        print_formed(args, new_line);
    }
    last_lf_q = new_line;
    stack::set_result(unset::value);
    return 0;
}

// ---------------------------------------------------------------------------
// stats

// Calls the library's show-memory-stats with the figures block, in a frame
// named after it; its result is dropped.
void show_memory_stats(const Cell& figures) {
    const i32 sym = symbol::make("show-memory-stats");
    const Cell name = stack::word(sym);
    const Cell* slot = context::global_slot(sym);
    if (!slot || cell::type_of(*slot) == type::unset) fire(ErrorId::script_no_value, name);
    const Cell fn = *slot;
    Cell* saved = stack::top;
    if (cell::type_of(fn) == type::function) {
        stack::mark(name, function::context_of(fn));
        stack::push(figures);
        function::init_locals(function::count_locals(function::spec_of(fn), 0, false));
        interpreter::call_handler(fn);
        stack::unwind_func();
    } else {
        stack::mark_native(name);
        stack::push(figures);
        if (interpreter::call_function(fn, 0, name, 0)) interpreter::throw_pending();
        stack::unwind();
    }
    stack::top = saved;
}

// ---------------------------------------------------------------------------
// Value builders

// A pair! coordinate: an integer! as it is, a float! truncated toward zero.
// An infinite or NaN float, or one outside the 32-bit range, raises
// script/invalid-arg with the value.
u32 pair_coordinate(const Cell& v, const char* argument) {
    const u32 t = cell::type_of(v);
    if (t == type::integer) return v.data2;
    if (t != type::float_) expect_arg(v, argument);
    const double d = cell::get_float(v);
    if (!(d > -2147483649.0 && d < 2147483648.0)) fire(ErrorId::script_invalid_arg, v);
    return static_cast<u32>(static_cast<i32>(d));
}

// A point coordinate: the number rounded to single precision, bits of the
// IEEE single, by the conversion the lexer's point literals use (magnitudes
// past half an ulp above the largest single give an infinity).
u32 point_coordinate(const Cell& v, const char* argument) {
    const u32 t = cell::type_of(v);
    double d;
    if (t == type::integer) d = static_cast<i32>(v.data2);
    else if (t == type::float_) d = cell::get_float(v);
    else expect_arg(v, argument);
    return point::to_single(d);
}

// ---------------------------------------------------------------------------
// uppercase and lowercase

u32 change_case(bool upper, const i32* refinements) {
    Cell* args = stack::arguments;
    const u32 t = cell::type_of(args[0]);
    if (t == type::char_) {
        args[0].data2 = unicode::case_fold(args[0].data2, upper);
        return 0;
    }
    if (!series::string_like_q(t)) expect_arg(args[0], "string");
    i32 count = unicode::clip_head(args[0]);
    if (used(refinements, 0)) {
        const i32 part = series::part_length(args[0], args[refinements[0]]);
        count = part < 0 ? 0 : part < count ? part : count;
    }
    unicode::change_case_chars(args[0], count, upper);
    series::notify(args[0], upper ? words::word::uppercase : words::word::lowercase, nullptr,
                   cell::head_index(args[0]), count);
    stack::keep();
    return 0;
}

}  // namespace

u32 print(bool, const i32*) { return print_value(true); }
u32 prin(bool, const i32*) { return print_value(false); }

u32 stats(bool, const i32* refinements) {
    if (used(refinements, 0) || used(refinements, 1)) {
        stack::keep();
        Cell* figures = stack::push();
        block::make_at(*figures, 5);
        debug::memory_stats(figures, 2);
        if (used(refinements, 0)) {
            show_memory_stats(*figures);
            stack::set_result(unset::value);
        } else {
            stack::set_result(*figures);
        }
        return 0;
    }
    const double total = debug::memory_stats(nullptr, 1);
    stack::set_result(total > 2147483647.0 ? cell::float_(total) : cell::integer(static_cast<i32>(total)));
    return 0;
}

u32 as_pair(bool, const i32*) {
    Cell* args = stack::arguments;
    const u32 x = pair_coordinate(args[0], "x");
    const u32 y = pair_coordinate(args[1], "y");
    stack::set_result(Cell{type::pair, 0, x, y});
    return 0;
}

u32 as_point2D(bool, const i32*) {
    Cell* args = stack::arguments;
    const u32 x = point_coordinate(args[0], "x");
    const u32 y = point_coordinate(args[1], "y");
    stack::set_result(Cell{type::point2D, x, y, 0});
    return 0;
}

u32 as_point3D(bool, const i32*) {
    Cell* args = stack::arguments;
    const u32 x = point_coordinate(args[0], "x");
    const u32 y = point_coordinate(args[1], "y");
    const u32 z = point_coordinate(args[2], "z");
    stack::set_result(Cell{type::point3D, x, y, z});
    return 0;
}

u32 as_money(bool, const i32*) {
    Cell* args = stack::arguments;
    if (cell::type_of(args[0]) != type::word) expect_arg(args[0], "currency");
    // The index is stored in one byte: a word found past position 255 of a
    // longer list cannot be kept, and is refused as an unknown one is
    // (stored, it would read back as "no currency").
    const i32 index = money_cell::find_currency(args[0]);
    if (index < 1 || index > money_cell::max_currency_index) fire(ErrorId::script_bad_denom, args[0]);
    Cell m;
    switch (cell::type_of(args[1])) {
    case type::integer: m = money_cell::from_integer(static_cast<i32>(args[1].data2)); break;
    case type::float_: m = money_cell::from_float(cell::get_float(args[1])); break;
    default: expect_arg(args[1], "amount");
    }
    money_cell::set_currency(m, index);
    stack::set_result(m);
    return 0;
}

u32 uppercase(bool, const i32* refinements) { return change_case(true, refinements); }
u32 lowercase(bool, const i32* refinements) { return change_case(false, refinements); }

}  // namespace oru::natives

namespace oru::natives_output {

void stdout_hook(const Cell* value, bool new_line) {
    SeriesBuffer* s = memory::buffer(cell::node(*value));
    const u32 unit = s->unit();
    const i32 count = series::abs_length_q(*value) - cell::head_index(*value);
    const u8* p = s->head_ptr() + static_cast<u32>(cell::head_index(*value)) * unit;
    console::print_units(p, count > 0 ? count * static_cast<i32>(unit) : 0, unit, new_line);
}

routine::Machine last_lf_entry(const routine::Machine*, i32) {
    stack::set_last(logic::make(natives::last_lf_q));
    return routine::Machine{.integer = natives::last_lf_q ? 1 : 0};
}

void define_last_lf() {
    Cell* top = stack::top;
    Cell* spec = stack::push();
    block::make_at(*spec, 1);
    // Return type 0: the entry sets the logic! result itself.
    routine::push(*spec, unset::value, routine::register_entry(last_lf_entry), 0, false);
    // The routine stays on the data stack while interning and setting allocate.
    const Cell* value = stack::top - 1;
    context::set_global(symbol::make("last-lf?"), *value);
    stack::top = top;
}

void register_all() {
    using namespace natives;
    // ORDER NATIVES: the slots are named in natives.h.
    constexpr Provided entries[] = {
        {slot::print, print},           {slot::prin, prin},
        {slot::stats, stats},           {slot::uppercase, uppercase},
        {slot::lowercase, lowercase},   {slot::as_pair, as_pair},
        {slot::as_point2D, as_point2D}, {slot::as_point3D, as_point3D},
        {slot::as_money, as_money},
    };
    static_assert(std::size(entries) == 9);
    provide_all(entries);
    natives_system::register_all();
}

}  // namespace oru::natives_output
