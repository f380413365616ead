// bitset!: the spec language, making, the text form, the bitwise and set
// operations and the editing handlers, with the action table at the bottom.
//
// Every edit walks its spec twice: a first pass checks it and finds the
// highest number (raising the spec's errors before anything changes), the
// bitset grows once, and a second pass sets, clears or tests the bits. The
// walks allocate nothing, so they may read the spec's and the bitset's
// buffers through addresses; everything is fetched again after the growth.
#include "runtime/datatypes/bitset.h"

#include "interpreter/natives_sets.h"
#include "interpreter/stack.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/fire.h"
#include "runtime/registry.h"
#include "runtime/words.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <string>

namespace oru::bitset {

namespace {

// The most bytes a bitset holds: 8 x the count must stay a 32-bit length,
// and the highest number a spec may name follows from it.
constexpr i64 max_bytes = INT32_MAX / 8;
constexpr i64 max_number = max_bytes * 8 - 1;
// A number beyond every bitset, for tests of huge floats.
constexpr i64 beyond = i64{1} << 40;

inline i32 saturate(i64 v) { return v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : static_cast<i32>(v); }

// Which action walks a spec: it decides the error of a value the spec
// language does not know, and whether a negative number is an error.
enum class Use { make, to, edit, test };

[[noreturn]] void bad_spec(const Cell& v, Use use) {
    switch (use) {
        case Use::make: fire(ErrorId::script_bad_make_arg, datatype::make(type::bitset), v);
        case Use::to: fire(ErrorId::script_bad_to_arg, datatype::make(type::bitset), v);
        default: fire(ErrorId::script_invalid_arg, v);
    }
}

inline bool number_q(u32 t) { return t == type::char_ || t == type::integer || t == type::float_; }

// The number a char!, integer! or float! (truncated) names. Negative numbers,
// NaN and numbers past the largest bitset raise script/out-of-range, except
// when testing: then a negative number or NaN is -1 (never a member) and a
// huge one lies past every bitset.
i64 number_of(const Cell& v, Use use) {
    i64 n;
    switch (cell::type_of(v)) {
        case type::char_: n = v.data2; break;
        case type::integer: n = static_cast<i32>(v.data2); break;
        default: {
            const double d = cell::get_float(v);
            if (std::isnan(d)) n = -1;
            else if (d >= static_cast<double>(beyond)) n = beyond;
            else if (d <= -1.0) n = -1;
            else n = static_cast<i64>(std::trunc(d));
        }
    }
    if (n >= 0 && n <= max_number) return n;
    if (use != Use::test) fire(ErrorId::script_out_of_range, v);
    return n < 0 ? -1 : beyond;
}

inline bool dash_q(const Cell& c) {
    return cell::type_of(c) == type::word && symbol::canonical(static_cast<i32>(c.data2)) == words::sym::dash;
}

// Calls f(lo, hi) for each inclusive range of numbers the spec names, in
// order (lo is -1 for a number that can never be a member: testing only).
// Allocates nothing.
template <class F>
void walk(const Cell& spec, Use use, F&& f) {
    const u32 t = cell::type_of(spec);
    if (number_q(t)) {
        const i64 n = number_of(spec, use);
        f(n, n);
        return;
    }
    if (series::string_like_q(t)) {
        SeriesBuffer* s = memory::buffer(cell::node(spec));
        const u32 unit = s->unit();
        const i64 len = s->length();
        for (i64 i = std::max(0, cell::head_index(spec)); i < len; i++) {
            const i64 cp = string::get_char(s->head_ptr() + static_cast<size_t>(i) * unit, unit);
            f(cp, cp);
        }
        return;
    }
    if (t == type::block) {
        const Node n = cell::node(spec);
        for (i64 i = std::max(0, cell::head_index(spec)); i < memory::buffer(n)->length();) {
            const Cell* c = memory::buffer(n)->cells();
            const i64 len = memory::buffer(n)->length();
            const u32 vt = cell::type_of(c[i]);
            if ((vt == type::char_ || vt == type::integer) && i + 1 < len && dash_q(c[i + 1])) {
                if (i + 2 >= len) fire(ErrorId::script_past_end);
                if (cell::type_of(c[i + 2]) != vt) fire(ErrorId::script_invalid_arg, c[i + 2]);
                const i64 lo = number_of(c[i], use), hi = number_of(c[i + 2], use);
                if (hi < lo) fire(ErrorId::script_past_end);
                f(lo, hi);
                i += 3;
                continue;
            }
            if (number_q(vt) || series::string_like_q(vt)) walk(c[i], use, f);
            else if (vt == type::binary) fire(ErrorId::internal_not_done);
            else bad_spec(c[i], use);
            i++;
        }
        return;
    }
    if (t == type::binary) fire(ErrorId::internal_not_done);
    bad_spec(spec, use);
}

// The highest number of the spec (-1 when it names none); checks the spec.
i64 highest(const Cell& spec, Use use) {
    i64 h = -1;
    walk(spec, use, [&](i64, i64 hi) { h = std::max(h, hi); });
    return h;
}

// The bits of byte i from bit `from` to bit `to` (0 = most significant).
inline u8 mask(i64 from, i64 to) { return static_cast<u8>((0xFFu >> from) & (0xFFu << (7 - to))); }

void set_range(u8* p, i64 lo, i64 hi) {
    const i64 a = lo >> 3, b = hi >> 3;
    if (a == b) {
        p[a] |= mask(lo & 7, hi & 7);
        return;
    }
    p[a] |= mask(lo & 7, 7);
    std::memset(p + a + 1, 0xFF, static_cast<size_t>(b - a - 1));
    p[b] |= mask(0, hi & 7);
}

// Clears the bits of [lo, hi] that lie within the first `bytes` bytes.
void clear_range(u8* p, i64 bytes, i64 lo, i64 hi) {
    hi = std::min(hi, bytes * 8 - 1);
    if (lo > hi) return;
    const i64 a = lo >> 3, b = hi >> 3;
    if (a == b) {
        p[a] &= static_cast<u8>(~mask(lo & 7, hi & 7));
        return;
    }
    p[a] &= static_cast<u8>(~mask(lo & 7, 7));
    std::memset(p + a + 1, 0, static_cast<size_t>(b - a - 1));
    p[b] &= static_cast<u8>(~mask(0, hi & 7));
}

// True when every number of [lo, hi] is a member.
bool test_range(const u8* p, i64 bytes, bool complement, i64 lo, i64 hi) {
    if (lo < 0) return false;
    if (hi >= bytes * 8) {
        if (!complement) return false;
        hi = bytes * 8 - 1;
        if (lo > hi) return true;
    }
    const i64 a = lo >> 3, b = hi >> 3;
    if (a == b) return (p[a] & mask(lo & 7, hi & 7)) == mask(lo & 7, hi & 7);
    if ((p[a] & mask(lo & 7, 7)) != mask(lo & 7, 7) || (p[b] & mask(0, hi & 7)) != mask(0, hi & 7)) return false;
    for (i64 i = a + 1; i < b; i++)
        if (p[i] != 0xFF) return false;
    return true;
}

bool test_spec(const Cell& bits, const Cell& spec) {
    bool all = true;
    walk(spec, Use::test, [&](i64 lo, i64 hi) {
        if (!all) return;
        SeriesBuffer* s = buffer_of(bits);
        all = test_range(s->head_ptr(), s->tail - s->head, (s->flags & complement_flag) != 0, lo, hi);
    });
    return all;
}

// Makes the bitset hold at least `bytes` bytes; the new bytes answer as the
// numbers past the old end did (0, or 255 when complemented).
void ensure_bytes(const Cell& bits, i64 bytes) {
    const Node n = cell::node(bits);
    SeriesBuffer* s = memory::buffer(n);
    const i64 len = s->tail - s->head;
    if (bytes <= len) return;
    if (bytes > max_bytes) fire(ErrorId::internal_no_memory);
    const u8 fill = (s->flags & complement_flag) ? 0xFF : 0;
    if (static_cast<i64>(s->head) + bytes > s->size) {
        // Room for twice as much: bitsets filled number by number grow often.
        s = memory::expand_series_copy(s, static_cast<i32>(std::min<i64>(bytes * 2, max_bytes)));
    }
    std::memset(s->head_ptr() + len, fill, static_cast<size_t>(bytes - len));
    s->tail = s->head + static_cast<u32>(bytes);
}

inline i64 bytes_for(i64 highest_number) { return highest_number < 0 ? 0 : highest_number / 8 + 1; }

// Sets (or with `clear`, clears) the bits of the spec, telling the owner
// before and after. Clearing past the end of a plain set changes nothing;
// a complemented set first grows to hold the numbers it loses.
void edit(const Cell& bits_arg, const Cell& spec_arg, bool clear, const Cell& action, const Cell& done) {
    stack::Mark mark;
    Cell* bits = stack::push(bits_arg);
    Cell* spec = stack::push(spec_arg);
    highest(*spec, Use::edit);  // the errors come before the owner hears of a change
    series::notify(*bits, action, spec, 0, 0);
    const i64 h = highest(*spec, Use::edit);
    if (!clear || complement_q(*bits)) ensure_bytes(*bits, bytes_for(h));
    u8* p = rs_head(*bits);
    const i64 bytes = byte_length(*bits);
    walk(*spec, Use::edit, [&](i64 lo, i64 hi) {
        if (clear) clear_range(p, bytes, lo, hi);
        else set_range(p, lo, hi);
    });
    series::notify(*bits, done, spec, 0, 0);
}

// A copy of the bits and the complement flag, pushed.
Cell* copy_bits(const Cell& bits_arg) {
    const Cell bits = bits_arg;
    const i32 n = byte_length(bits);
    Cell* r = push_empty(n, false);
    buffer_of(*r)->flags |= buffer_of(bits)->flags & complement_flag;
    std::memcpy(rs_head(*r), rs_head(bits), static_cast<size_t>(n));
    return r;
}

// The bit count of make bitset! n: a negative number or NaN is out of
// range; a count past the largest bitset is more than memory allows.
i64 count_bytes(const Cell& spec) {
    double d = cell::type_of(spec) == type::integer ? static_cast<i32>(spec.data2) : cell::get_float(spec);
    if (std::isnan(d)) fire(ErrorId::script_out_of_range, spec);
    d = std::trunc(d);
    if (d < 0) fire(ErrorId::script_out_of_range, spec);
    if (d > static_cast<double>(max_bytes * 8)) fire(ErrorId::internal_no_memory);
    return (static_cast<i64>(d) + 7) / 8;
}

// A bitset of the binary's bytes from its head, inverted for a "not" set.
Cell* from_binary(const Cell& bin_arg, bool complement) {
    const Cell bin = bin_arg;
    SeriesBuffer* b = memory::buffer(cell::node(bin));
    const i64 n = std::max<i64>(0, static_cast<i64>(b->length()) - std::max(0, cell::head_index(bin)));
    if (n > max_bytes) fire(ErrorId::internal_no_memory);
    Cell* r = push_empty(static_cast<i32>(n), complement);
    b = memory::buffer(cell::node(bin));
    const u8* from = b->head_ptr() + std::max(0, cell::head_index(bin));
    u8* to = rs_head(*r);
    for (i64 i = 0; i < n; i++) to[i] = complement ? static_cast<u8>(~from[i]) : from[i];
    return r;
}

Cell* build(Cell* spec, Use use) {
    const u32 t = cell::type_of(*spec);
    if (t == type::integer || t == type::float_) {
        if (use == Use::to) bad_spec(*spec, use);
        return push_empty(static_cast<i32>(count_bytes(*spec)), false);
    }
    if (t == type::bitset) return copy_bits(*spec);
    if (t == type::binary) return from_binary(*spec, false);
    Cell s = *spec;
    bool complement = false;
    if (t == type::block) {
        const i32 head = std::max(0, cell::head_index(s));
        SeriesBuffer* b = memory::buffer(cell::node(s));
        if (head < static_cast<i32>(b->length()) && cell::type_of(b->cells()[head]) == type::word &&
            symbol::canonical(static_cast<i32>(b->cells()[head].data2)) == words::sym::not_) {
            complement = true;
            s.data1 = static_cast<u32>(head + 1);
            if (head + 1 < static_cast<i32>(b->length()) && cell::type_of(b->cells()[head + 1]) == type::binary) {
                const Cell bin = b->cells()[head + 1];
                return from_binary(bin, true);
            }
        }
    }
    // s names a position in the caller's spec, which the argument keeps alive.
    const i64 bytes = std::max<i64>(bytes_for(highest(s, use)), 1);
    Cell* r = push_empty(static_cast<i32>(bytes), complement);
    u8* p = rs_head(*r);
    walk(s, use, [&](i64 lo, i64 hi) {
        if (complement) clear_range(p, bytes, lo, hi);
        else set_range(p, lo, hi);
    });
    return r;
}

// --- Handlers -----------------------------------------------------------------------

Cell* make(Cell*, Cell* spec, u32) { return build(spec, Use::make); }
Cell* to(Cell*, Cell* spec, u32) { return build(spec, Use::to); }

void reflect(Cell* value, u32 field) { series::reflect(value, field); }

// "make bitset! #{...}", or "make bitset! [not #{...}]" with the bytes
// inverted for a complemented set, so the text reads as its spec. Under
// /part the prefix costs its 13 (or 18) characters, the digits stop once the
// budget is spent and the closing brackets are then left out.
i32 mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* part, i32 limit, i32) {
    static constexpr char hex[] = "0123456789ABCDEF";
    const Cell v = *value;
    const bool complement = complement_q(v);
    const i32 n = byte_length(v);
    std::string text = complement ? "make bitset! [not " : "make bitset! ";
    i64 budget = static_cast<i64>(limit) - static_cast<i64>(text.size());
    text.reserve(text.size() + static_cast<size_t>(n) * 2 + 4);
    text += "#{";
    budget -= 2;
    bool cut = false;
    const u8* p = rs_head(v);
    for (i32 i = 0; i < n; i++) {
        if (part && budget <= 0) {
            cut = true;
            break;
        }
        const u8 b = complement ? static_cast<u8>(~p[i]) : p[i];
        text += hex[b >> 4];
        text += hex[b & 15];
        budget -= 2;
    }
    if (!cut) {
        text += complement ? "}]" : "}";
        budget -= complement ? 2 : 1;
    }
    string::concatenate_bytes(*buffer, reinterpret_cast<const u8*>(text.data()), static_cast<i32>(text.size()));
    return saturate(budget);
}

i32 form(Cell* value, Cell* buffer, Cell* part, i32 limit) {
    return mold(value, buffer, false, false, false, part, limit, 0);
}

Cell* pick(Cell* series, i32 index, Cell* index_cell) {
    const Cell spec = index_cell ? *index_cell : cell::integer(index);
    return stack::push(logic::make(test_spec(*series, spec)));
}

inline bool clearing_q(const Cell& v) {
    switch (cell::type_of(v)) {
        case type::none: return true;
        case type::logic: return !logic::get(v);
        case type::integer: return v.data2 == 0;
        case type::float_: return cell::get_float(v) == 0.0;
        default: return false;
    }
}

Cell* poke(Cell* series, i32 index, Cell* value, Cell* index_cell) {
    const Cell spec = index_cell ? *index_cell : cell::integer(index);
    edit(*series, spec, clearing_q(*value), words::word::poke, words::word::poked);
    return value;
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell*, Cell*, Cell*, i32, bool, bool, bool, bool) {
    if (!value) return pick(parent, 0, element);
    return poke(parent, 0, value, element);
}

// Code 9 tells the same buffer from any other. Otherwise the byte counts
// order first, then (equal flags) the bytes from the last one down, else
// the set without the complement flag is the lesser.
i32 compare(Cell* value1, Cell* value2, i32 op) {
    if (cell::type_of(*value2) != type::bitset) return -2;
    if (op == 9) return cell::node(*value1) == cell::node(*value2) ? 0 : 1;
    const i32 la = byte_length(*value1), lb = byte_length(*value2);
    if (la != lb) return la < lb ? -1 : 1;
    if (la == 0) return 0;
    const bool fa = complement_q(*value1), fb = complement_q(*value2);
    if (fa != fb) return fa ? 1 : -1;
    const u8* a = rs_head(*value1);
    const u8* b = rs_head(*value2);
    for (i32 i = la - 1; i >= 0; i--)
        if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    return 0;
}

// A copy with every byte inverted and the complement flag toggled.
Cell* inverted(const Cell& bits) {
    Cell* r = copy_bits(bits);
    u8* p = rs_head(*r);
    for (i32 i = 0, n = byte_length(*r); i < n; i++) p[i] = static_cast<u8>(~p[i]);
    buffer_of(*r)->flags ^= complement_flag;
    return r;
}

void negate(Cell* value) { *value = *inverted(*value); }
Cell* complement(Cell* value) { return inverted(*value); }

void and_() { do_bitwise(6); }
void or_() { do_bitwise(5); }
void xor_() { do_bitwise(7); }

void append(Cell* series, Cell* value, i32, bool, i32, bool append_) {
    edit(*series, *value, false, append_ ? words::word::append : words::word::insert,
         append_ ? words::word::appended : words::word::inserted);
}

void clear(Cell* value) {
    const Cell bits = *value;
    series::notify(bits, words::word::clear, nullptr, 0, 0);
    std::memset(rs_head(bits), complement_q(bits) ? 0xFF : 0, static_cast<size_t>(byte_length(bits)));
    series::notify(bits, words::word::cleared, nullptr, 0, 0);
}

Cell* copy(Cell* value, Cell*, Cell*, bool, Cell*) { return copy_bits(*value); }

Cell* find(Cell* series, Cell* value, Cell*, bool, bool, bool, bool, Cell*, Cell*, bool, bool, bool, bool) {
    return stack::push(test_spec(*series, *value) ? logic::make(true) : none::value);
}

i32 length_of(Cell* value) { return saturate(length_q(*value)); }

void remove(Cell* series, Cell*, Cell* key) {
    if (!key) fire(ErrorId::script_missing_arg);
    edit(*series, *key, true, words::word::remove, words::word::removed);
}

Cell* modify(Cell* target, Cell* field, Cell* value, bool case_) {
    return series::modify(target, field, value, case_);
}

constexpr ActionTable bitset_actions = {
    .make = make, .reflect = reflect, .to = to, .form = form, .mold = mold,
    .eval_path = eval_path, .compare = compare, .negate = negate,
    .and_ = and_, .complement = complement, .or_ = or_, .xor_ = xor_,
    .append = append, .clear = clear, .copy = copy, .find = find, .insert = append,
    .length_q = length_of, .pick = pick, .poke = poke, .remove = remove, .modify = modify,
};

}  // namespace

Cell* push_empty(i32 bytes, bool complement) {
    Cell* r = stack::push(none::value);
    const Node n = memory::alloc_bytes(bytes);
    SeriesBuffer* s = memory::buffer(n);
    std::memset(s->data(), complement ? 0xFF : 0, static_cast<size_t>(bytes));
    s->tail = static_cast<u32>(bytes);
    if (complement) s->flags |= complement_flag;
    *r = cell::make(type::bitset, 0, n, 0);
    return r;
}

// Each operand reads as its bytes, then as its flag's byte (0 or 255)
// forever, and the result's flag is the operation on the flags: so a
// complemented operand keeps the numbers past its stored bytes. The
// result is as long as the longer operand; and~ ends at the common length
// when the shorter operand is plain (the rest would be zeros), an
// intersection keeps the longer length.
void do_bitwise(i32 op) {
    Cell* args = stack::arguments;
    if (cell::type_of(args[1]) != type::bitset) fire(ErrorId::script_invalid_type, datatype::make(cell::type_of(args[1])));
    if (op == string::set_op::unique) return;
    enum { or_op, xor_op, and_op, and_not_op } kind;
    switch (op) {
        case 5: case string::set_op::union_: kind = or_op; break;
        case 7: case string::set_op::difference: kind = xor_op; break;
        case 6: case string::set_op::intersect: kind = and_op; break;
        case string::set_op::exclude: kind = and_not_op; break;
        default: fire(ErrorId::script_invalid_arg, cell::integer(op));
    }
    const i32 la = byte_length(args[0]), lb = byte_length(args[1]);
    const u8 fa = complement_q(args[0]) ? 0xFF : 0, fb = complement_q(args[1]) ? 0xFF : 0;
    i32 length = std::max(la, lb);
    if (op == 6 && (la < lb ? fa : fb) == 0) length = std::min(la, lb);
    auto apply = [kind](u8 a, u8 b) -> u8 {
        switch (kind) {
            case or_op: return a | b;
            case xor_op: return a ^ b;
            case and_op: return a & b;
            default: return static_cast<u8>(a & ~b);
        }
    };
    Cell* r = push_empty(length, false);
    args = stack::arguments;
    const u8* a = rs_head(args[0]);
    const u8* b = rs_head(args[1]);
    u8* o = rs_head(*r);
    for (i32 i = 0; i < length; i++) o[i] = apply(i < la ? a[i] : fa, i < lb ? b[i] : fb);
    if (apply(fa, fb)) buffer_of(*r)->flags |= complement_flag;
    args[0] = *r;
}

void init() {
    registry::add(type::bitset, 0, "bitset!", bitset_actions);
    natives::set_service.bitset_bitwise = do_bitwise;
}

}  // namespace oru::bitset
