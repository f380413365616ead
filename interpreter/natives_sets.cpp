// Set and text-encoding natives; see natives_sets.h. The table of slots is
// at the bottom.
#include "interpreter/natives_sets.h"

#include "codecs/lexer_values.h"
#include "codecs/url_text.h"
#include "interpreter/natives.h"
#include "interpreter/stack.h"
#include "runtime/datatypes/bitset.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/typeset.h"
#include "runtime/datatypes/word.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/unicode.h"

#include <cstring>
#include <iterator>
#include <string>
#include <vector>

namespace oru::natives {

SetService set_service{};

namespace {

inline bool used(const i32* refinements, int i) { return refinements && refinements[i] >= 0; }
inline Cell* ref_arg(const i32* refinements, int i) { return stack::arguments + refinements[i]; }

[[noreturn]] void not_done() { fire(ErrorId::internal_not_done); }

// script/expect-arg for an argument outside the native's types (reached
// when check? is off, or through a spec that names a wider type until the
// argument's datatype registers).
[[noreturn]] void expect_arg(const Cell& value, const char* argument) {
    fire(ErrorId::script_expect_arg, stack::get_call(), datatype::make(cell::type_of(value)),
         stack::word(symbol::make(argument)));
}

inline bool any_list_q(u32 t) { return t == type::block || t == type::hash; }

// The set dispatcher: set1 (and set2 except for unique) at the argument
// base, then /case and /skip size.
u32 set_operation(i32 op, const i32* refinements) {
    Cell* args = stack::arguments;
    const bool case_ = used(refinements, 0);
    const i32 skip = used(refinements, 1) ? static_cast<i32>(ref_arg(refinements, 1)->data2) : 1;
    const u32 t1 = cell::type_of(args[0]);
    if (op != string::set_op::unique) {
        const u32 t2 = cell::type_of(args[1]);
        if (any_list_q(t1) ? !any_list_q(t2) : t2 != t1)
            fire(ErrorId::script_expect_val, datatype::make(t1), datatype::make(t2));
    }
    switch (t1) {
        case type::block:
        case type::hash: block::do_set_op(case_, skip, op); break;
        case type::string: string::do_set_op(case_, skip, op); break;
        case type::typeset: typeset::set_op(op); break;
        case type::bitset:
            if (!set_service.bitset_bitwise) not_done();
            set_service.bitset_bitwise(op);
            break;
        case type::date:
            if (op == string::set_op::difference) {
                if (!set_service.date_difference) not_done();
                set_service.date_difference();
                break;
            }
            [[fallthrough]];
        default:
            expect_arg(args[0], op == string::set_op::unique ? "set" : "set2");
    }
    stack::keep();
    return 0;
}

// The UTF-8 bytes of a text from its position, outside every buffer.
std::vector<u8> utf8_of(const Cell& text) {
    Cell* copy = stack::push(text);
    i32 length = -1;
    const u8* bytes = unicode::to_utf8(*copy, &length);
    std::vector<u8> out(bytes, bytes + length);
    stack::pop(1);
    return out;
}

// A new string! of the bytes, each one character.
void result_text(const std::string& text) {
    Cell* r = stack::push();
    string::make_at(*r, static_cast<i32>(text.size()));
    string::concatenate_bytes(*r, reinterpret_cast<const u8*>(text.data()), static_cast<i32>(text.size()));
    stack::set_result(*r);
}

i32 base_of(const i32* refinements) {
    if (!used(refinements, 0)) return 64;
    return static_cast<i32>(ref_arg(refinements, 0)->data2);
}

}  // namespace

u32 union_(bool, const i32* r) { return set_operation(string::set_op::union_, r); }
u32 intersect(bool, const i32* r) { return set_operation(string::set_op::intersect, r); }
u32 unique(bool, const i32* r) { return set_operation(string::set_op::unique, r); }
u32 difference(bool, const i32* r) { return set_operation(string::set_op::difference, r); }
u32 exclude(bool, const i32* r) { return set_operation(string::set_op::exclude, r); }

u32 complement_q(bool, const i32*) {
    Cell* args = stack::arguments;
    if (cell::type_of(args[0]) != type::bitset) expect_arg(args[0], "bits");
    stack::set_result(logic::make(bitset::complement_q(args[0])));
    return 0;
}

// "%XX" escapes of the text become characters; an escaped UTF-8 sequence
// becomes one.
u32 dehex(bool, const i32*) {
    const std::vector<u8> bytes = utf8_of(stack::arguments[0]);
    std::vector<u32> cps;
    if (!url::decode(bytes.data(), bytes.data() + bytes.size(), cps)) fire(ErrorId::script_invalid_arg, stack::arguments[0]);
    Cell* r = stack::push();
    string::make_at(*r, static_cast<i32>(cps.size()));
    const Node n = cell::node(*r);
    for (u32 cp : cps) string::append_char(n, cp);
    stack::set_result(*r);
    return 0;
}

// Every byte of the UTF-8 text outside the class becomes "%XX": a string!
// escapes every reserved character, the other text types keep a URL's
// delimiters.
u32 enhex(bool, const i32*) {
    const Cell value = stack::arguments[0];
    const i32 mode = cell::type_of(value) == type::string ? url::strict_mode : 255;
    const std::vector<u8> bytes = utf8_of(value);
    std::string out;
    url::encode(bytes.data(), bytes.size(), mode, out);
    result_text(out);
    return 0;
}

i32 base_slot(i32 base) {
    switch (base) {
        case 2: return 0;
        case 16: return 1;
        case 58: return 2;
        case 64: return 3;
        default: return -1;
    }
}

i64 encoded_room(i64 n, i32 base) {
    i64 room;
    switch (base) {
        case 64: room = n / 3 * 4 + n % 3 * 4 / 3 + n / 32 * 2 + 5; break;
        case 58: room = n * 2; break;
        case 16: room = n * 2 + n / 32 + 32; break;
        case 2: room = n * 8 + n / 8 * 2 + 4; break;
        default: return -1;
    }
    if (room > 0x7FFFFFF0) fire(ErrorId::script_too_long);
    return room;
}

u32 debase(bool, const i32* refinements) {
    const i32 base = base_of(refinements);
    const i32 slot = base_slot(base);
    if (slot < 0) fire(ErrorId::script_invalid_arg, *ref_arg(refinements, 0));
    if (!set_service.decode[slot]) not_done();
    // The characters from the position, copied out: the decoder allocates.
    Cell text = stack::arguments[0];
    const i32 count = series::rest(text, false);
    SeriesBuffer* s = memory::buffer(cell::node(text));
    const u32 unit = s->unit();
    const u8* from = s->head_ptr() + static_cast<size_t>(cell::head_index(text)) * unit;
    const std::vector<u8> chars(from, from + static_cast<size_t>(count) * unit);
    stack::set_result(none::value);
    const Node n = set_service.decode[slot](chars.data(), count, unit);
    if (n) stack::set_result(cell::make(type::binary, 0, n, 0));
    return 0;
}

u32 enbase(bool, const i32* refinements) {
    const i32 base = base_of(refinements);
    Cell value = stack::arguments[0];
    const u32 t = cell::type_of(value);
    if (t != type::string && t != type::binary) expect_arg(value, "value");
    const i32 slot = base_slot(base);
    if (slot < 0) fire(ErrorId::script_invalid_arg, *ref_arg(refinements, 0));
    if (!set_service.encode[slot]) not_done();
    std::vector<u8> utf8;
    i64 n;
    if (t == type::string) {
        utf8 = utf8_of(value);
        n = static_cast<i64>(utf8.size());
    } else {
        n = series::rest(value, false);
    }
    const i64 room = encoded_room(n, base);
    Cell* r = stack::push();
    string::make_at(*r, static_cast<i32>(room));
    const u8* in = t == type::string ? utf8.data()
                                     : memory::buffer(cell::node(value))->head_ptr() + cell::head_index(value);
    SeriesBuffer* out = memory::buffer(cell::node(*r));
    const u8* end = set_service.encode[slot](in, out->head_ptr(), static_cast<i32>(n));
    out->tail = out->head + static_cast<u32>(end - out->head_ptr());
    stack::set_result(*r);
    return 0;
}

// The 32-bit value as 8 hexadecimal digits, or its last `size` digits.
u32 to_hex(bool, const i32* refinements) {
    const i32 value = static_cast<i32>(stack::arguments[0].data2);
    std::string digits = string::to_hex(value, false);
    if (used(refinements, 0)) {
        const Cell size = *ref_arg(refinements, 0);
        const i32 n = static_cast<i32>(size.data2);
        if (n <= 0) fire(ErrorId::script_invalid_arg, size);
        if (static_cast<size_t>(n) < digits.size()) digits.erase(0, digits.size() - static_cast<size_t>(n));
    }
    stack::set_result(issue::of_symbol(symbol::make(digits.c_str())));
    return 0;
}

}  // namespace oru::natives

namespace oru::natives_sets {

void register_all() {
    using namespace natives;
    // ORDER NATIVES: the slots are named in natives.h.
    constexpr Provided entries[] = {
        {slot::union_, union_},         {slot::intersect, intersect}, {slot::unique, unique},
        {slot::difference, difference}, {slot::exclude, exclude},     {slot::complement_q, complement_q},
        {slot::dehex, dehex},           {slot::enhex, enhex},         {slot::to_hex, to_hex},
        {slot::debase, debase},         {slot::enbase, enbase},
    };
    static_assert(std::size(entries) == 11);
    provide_all(entries);
}

}  // namespace oru::natives_sets
