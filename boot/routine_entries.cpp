// C++ entries of the quiet setters, collect-calls, write-stdout, the tuple
// makers, count-chars and null-handle. External entries get their argument
// cells last first and hand back a result cell; a result that must be made
// is pushed, and the caller copies it before the stack is cut back.
#include "boot/routine_entries.h"

#include "interpreter/actions.h"
#include "interpreter/natives_shared.h"
#include "interpreter/stack.h"
#include "runtime/console.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/handle.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/tuple.h"
#include "runtime/datatypes/unset.h"
#include "runtime/fire.h"
#include "runtime/unicode.h"

#include <algorithm>

namespace oru::boot::routines {

namespace {

using routine::Machine;

Machine result(const Cell& v) { return Machine{.cell = stack::push(v)}; }

bool any_word_q(u32 t) {
    return t == type::word || t == type::set_word || t == type::lit_word || t == type::get_word;
}

bool slot_series_q(u32 t) { return t == type::block || t == type::paren || (t >= type::path && t <= type::get_path); }

// The components in spec order, the first negative one raising
// script/invalid-arg.
void check_components(const Machine* a, i32 n) {
    for (i32 i = 0; i < n; i++)
        if (a[i].integer < 0) fire(ErrorId::script_invalid_arg, cell::integer(a[i].integer));
}

// A plain routine's result: set in the result slot; the machine value is
// not read (return type 0).
Machine set_result(const Cell& v) {
    stack::set_last(v);
    return Machine{.integer = 0};
}

}  // namespace

Machine set_quiet(const Machine* a, i32) {
    const Cell value = *a[0].cell;
    Cell w = *a[1].cell;
    if (!any_word_q(cell::type_of(w))) natives::expect_arg(w, "word");
    if (!w.data1) fire(ErrorId::script_not_defined, w);
    context::set_in(w, value, w.data1, false);
    return result(value);
}

Machine set_slot_quiet(const Machine* a, i32) {
    const Cell value = *a[0].cell;
    const Cell s = *a[1].cell;
    if (!slot_series_q(cell::type_of(s))) natives::expect_arg(s, "series");
    const i32 at = cell::head_index(s);
    if (at >= 0 && at < series::abs_length_q(s)) series::buffer_of(s)->cells()[at] = value;
    return result(unset::value);
}

Machine collect_calls(const Machine* a, i32) {
    const Cell blk = *a[0].cell;
    stack::collect_calls(blk);
    return set_result(blk);
}

Machine write_stdout(const Machine* a, i32) {
    Cell* text = stack::push(*a[0].cell);
    const u32 t = cell::type_of(*text);
    if (t == type::binary) {
        // Bytes go out as they are: the data may be UTF-8 already, or no text.
        const i32 from = std::max(cell::head_index(*text), 0);
        const i32 len = series::abs_length_q(*text);
        if (from < len) console::write_bytes(series::buffer_of(*text)->head_ptr() + from, len - from);
        return result(unset::value);
    }
    if (!series::string_like_q(t)) {
        Cell* buffer = stack::push();
        string::make_at(*buffer, 16);
        actions::form(text, buffer, nullptr, 0x7FFFFFFF);
        text = buffer;
    }
    SeriesBuffer* s = series::buffer_of(*text);
    const i32 from = std::max(cell::head_index(*text), 0);
    const i32 count = series::abs_length_q(*text) - from;
    if (count > 0)
        console::print_units(s->head_ptr() + static_cast<u32>(from) * s->unit(), count * static_cast<i32>(s->unit()),
                             s->unit(), false);
    return result(unset::value);
}

Machine as_color(const Machine* a, i32) {
    check_components(a, 3);
    const u8 bytes[3] = {static_cast<u8>(a[0].integer), static_cast<u8>(a[1].integer), static_cast<u8>(a[2].integer)};
    return set_result(tuple::make(bytes, 3));
}

// The four components make one 32-bit word, a | b << 8 | c << 16 | d << 24,
// so that a component above 255 spills into the next byte.
Machine as_ipv4(const Machine* a, i32) {
    check_components(a, 4);
    u32 w = 0;
    for (i32 i = 0; i < 4; i++) w |= static_cast<u32>(a[i].integer) << (8 * i);
    const u8 bytes[4] = {static_cast<u8>(w), static_cast<u8>(w >> 8), static_cast<u8>(w >> 16),
                         static_cast<u8>(w >> 24)};
    return set_result(tuple::make(bytes, 4));
}

i32 count_utf8_between(const u8* bytes, i32 length, i32 from, i32 to) {
    from = std::clamp(from, 0, length);
    to = std::clamp(to, 0, length);
    return to <= from ? 0 : unicode::utf8_length(bytes + from, bytes + to);
}

Machine count_chars(const Machine* a, i32) {
    const Cell start = *a[0].cell;
    const Cell pos = *a[1].cell;
    const i32 n = count_utf8_between(series::buffer_of(start)->head_ptr(), series::abs_length_q(start),
                                     cell::head_index(start), cell::head_index(pos));
    return set_result(cell::integer(n));
}

Machine null_handle(const Machine*, i32) { return result(handle::boot_make()); }

}  // namespace oru::boot::routines
