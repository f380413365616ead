// series!: position helpers, ownership notifications, hash! index upkeep and
// the 21 shared handlers, with the action table at the bottom.
//
// Positions are counted in units from the buffer's first used unit; byte
// addresses are recomputed from the node after every call that can allocate
// (growth, widening, pushes, the ownership hook, find), since any of them may
// move the buffer.
#include "runtime/datatypes/series.h"

#include "interpreter/actions.h"
#include "interpreter/stack.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/unset.h"
#include "runtime/fire.h"
#include "runtime/hashtable.h"
#include "runtime/random.h"
#include "runtime/registry.h"
#include "runtime/system.h"
#include "runtime/unicode.h"
#include "runtime/words.h"

#include <climits>
#include <cstring>
#include <utility>

namespace oru::series {

namespace {

i32 no_check(const Cell&, const Cell&, const Cell*, i32, i32) { return 0; }
Cell no_owner(const Cell&) { return none::value; }
void no_unbind(const Cell&) {}
void no_set(const Cell&, const Cell&, const Cell&) {}

Node shared_take = 0;  // take without /part reuses this one-element buffer

inline i32 clamp32(i64 v) { return v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : static_cast<i32>(v); }

inline void set_head(Cell& v, i64 i) { v.data1 = static_cast<u32>(clamp32(i)); }

// Canonical symbol test against a predefined symbol.
inline bool is_symbol(i32 sym, i32 predefined) {
    return sym > 0 && symbol::canonical(sym) == symbol::canonical(predefined);
}

// A heap block freed when the scope ends, error unwinding included.
class TempBlock {
public:
    // Nothing is allocated for 0 bytes.
    explicit TempBlock(size_t n) : p_(n ? static_cast<u8*>(heap::allocate(n)) : nullptr) {}
    ~TempBlock() {
        if (p_) heap::free(p_);
    }
    TempBlock(const TempBlock&) = delete;
    TempBlock& operator=(const TempBlock&) = delete;
    u8* get() const { return p_; }

private:
    u8* p_;
};

// Widens a string buffer to at least `unit` bytes per character.
SeriesBuffer* widen_to(Node n, u32 unit) {
    SeriesBuffer* s = memory::buffer(n);
    if (s->unit() >= unit) return s;
    if (s->unit() == 1) return unit == 2 ? unicode::widen_to_ucs2(s) : unicode::widen_to_ucs4(s);
    return unicode::widen_ucs2_to_ucs4(s);
}

[[noreturn]] void not_done() { fire(ErrorId::internal_not_done); }

// What a planned change rests on: the series' used bytes and its unit. An
// owner's handler that runs in between may change either.
struct Extent {
    u32 used, unit;
    bool operator==(const Extent&) const = default;
};
Extent extent_of(const Cell& v) {
    SeriesBuffer* s = buffer_of(v);
    return {s->tail - s->head, s->unit()};
}

}  // namespace

Ownership ownership{no_check, no_owner, no_unbind, no_set};
void reset_ownership() { ownership = Ownership{no_check, no_owner, no_unbind, no_set}; }

VectorService vector_service{};

bool notify_before(const Cell& value, const Cell& action, const Cell* new_value, i32 index, i32 count) {
    const Extent planned = extent_of(value);
    ownership.check(value, action, new_value, index, count);
    return extent_of(value) == planned;
}

// ---------------------------------------------------------------------------
// Position helpers

bool move_head(Cell& v, i32 n) {
    const i64 len = abs_length_q(v);
    const i64 to = static_cast<i64>(cell::head_index(v)) + n;
    if (to >= 0 && to <= len) set_head(v, to);
    return to >= len;
}

i32 get_position(i32 base) {
    const Cell* args = stack::arguments;
    if (cell::type_of(args[1]) != type::integer) fire(ErrorId::script_invalid_arg, args[1]);
    const i32 offset = static_cast<i32>(args[1].data2);
    if (base == 1 && offset <= 0) base = 0;
    const i64 len = abs_length_q(args[0]);
    i64 i = static_cast<i64>(cell::head_index(args[0])) + offset - base;
    return static_cast<i32>(i < 0 ? 0 : i > len ? len : i);
}

i32 rest(Cell& v, bool from_start) {
    const i32 len = abs_length_q(v);
    const i32 head = cell::head_index(v);
    if (head > len) {
        v.data1 = static_cast<u32>(len);
        return from_start ? len : 0;
    }
    if (head < 0) v.data1 = 0;  // no position lies before the first unit
    if (from_start || head < 0) return len;
    return len - head;
}

Cell word_of(const char* spelling) { return stack::word(symbol::make(spelling)); }

i32 part_length(const Cell& series, const Cell& part) {
    if (cell::type_of(part) == type::integer) return static_cast<i32>(part.data2);
    if (same_series_q(series, part))
        return clamp32(static_cast<i64>(cell::head_index(part)) - cell::head_index(series));
    fire(ErrorId::script_invalid_refine_arg, word_of("part"), part);
}

SeriesBuffer* reserve(Node n, i64 units, bool doubled) {
    SeriesBuffer* s = memory::buffer(n);
    const i64 bytes = units * static_cast<i64>(s->unit());
    if (static_cast<i64>(s->tail) + bytes <= s->size) return s;
    constexpr i64 max_bytes = 0x7FFFFFF0;
    i64 want = static_cast<i64>(s->tail - s->head) + bytes;
    if (want > max_bytes) fire(ErrorId::internal_no_memory);
    // Doubling is only headroom: near the limit the exact size still fits.
    if (doubled) want = want * 2 > max_bytes ? max_bytes : want * 2;
    return memory::expand_series_copy(s, static_cast<i32>(want));
}

// ---------------------------------------------------------------------------
// hash! index upkeep

void hash_rebuild(Node table, Node blk) { hashtable::resize(table, static_cast<i32>(memory::buffer(blk)->length())); }

void hash_removed(Node table, Node blk, i32 i, i32 count, i32 moved) {
    const i32 first = item_of(blk, i);
    if (hashtable::shift(table, -count, first + count, moved, true)) hash_rebuild(table, blk);
}

void hash_inserted(Node table, Node blk, i32 i, i32 count, i32 moved) {
    if (hashtable::shift(table, count, item_of(blk, i), moved, true)) {
        hash_rebuild(table, blk);
        return;
    }
    for (i32 k = 0; k < count; k++) {
        i32 flag = 0;
        hashtable::put_key(table, memory::buffer(blk)->cells() + i + k, &flag);
        if (flag == 2) return;  // the table grew and indexed every cell
    }
}

// ---------------------------------------------------------------------------
// Handlers

void reflect(Cell* value, u32 field) {
    if (!is_symbol(static_cast<i32>(field), words::sym::owned)) not_done();
    *value = ownership.owner(*value);
}

// Stack convention: the series at stack::arguments is the result slot.
void at() { stack::arguments->data1 = static_cast<u32>(get_position(1)); }
void skip() { stack::arguments->data1 = static_cast<u32>(get_position(0)); }
void back() {
    Cell& v = *stack::arguments;
    if (cell::head_index(v) > 0) v.data1--;
}
void head() { stack::arguments->data1 = 0; }
void head_q() { *stack::arguments = logic::make(cell::head_index(*stack::arguments) == 0); }
void index_q() {
    *stack::arguments = cell::integer(clamp32(static_cast<i64>(cell::head_index(*stack::arguments)) + 1));
}
void next() { move_head(*stack::arguments, 1); }
void tail() { stack::arguments->data1 = static_cast<u32>(abs_length_q(*stack::arguments)); }
void tail_q_() { *stack::arguments = logic::make(tail_q(*stack::arguments)); }

namespace {

// The absolute index of pick and poke: n counts from 1 forwards, -1 is the
// element before the position; -1 when n is 0 or the index is outside.
i64 pick_at(const Cell& series, i32 n) {
    if (n == 0) return -1;
    const i64 i = static_cast<i64>(cell::head_index(series)) + (n > 0 ? n - 1 : n);
    return i < 0 || i >= abs_length_q(series) ? -1 : i;
}

}  // namespace

void clear(Cell* series) {
    const i32 count = rest(*series, false);
    if (count < 1) return;
    const i32 i = cell::head_index(*series);
    if (!notify_before(*series, words::word::clear, nullptr, i, count)) return;
    const Node n = cell::node(*series);
    if (Node table = hash_table_of(*series)) hashtable::remove_range(table, item_of(n, i), count);
    SeriesBuffer* s = memory::buffer(n);
    s->tail = s->head + static_cast<u32>(i) * s->unit();
    notify(*series, words::word::cleared, nullptr, i, 0);
}

Cell* copy(Cell* value, Cell* result, Cell* part, bool, Cell*) {
    const i64 len = abs_length_q(*value);
    i64 head = cell::head_index(*value);
    if (head < 0) head = 0;
    i64 start = head;
    i64 count = len - head > 0 ? len - head : 0;
    if (part) {
        switch (cell::type_of(*part)) {
            case type::integer: count = static_cast<i32>(part->data2); break;
            case type::pair: {  // x..y: from the x-th element up to the y-th, excluded
                const i64 x = static_cast<i32>(part->data2), y = static_cast<i32>(part->data3);
                start = x < 0 ? head + x : head + x - 1;
                if (start < 0) start = 0;
                count = y < x ? 0 : y - x;
                break;
            }
            default: count = part_length(*value, *part); break;
        }
        if (count < 0) {  // the elements before the position
            start -= -count;
            if (start < 0) {
                start = 0;
                count = head;
            } else {
                count = -count;
            }
        }
    }
    if (start > len) start = len, count = 0;
    if (start + count > len) count = len - start;

    const u32 t = cell::type_of(*value);
    const u32 header = t | (value->header & flag::new_line);
    const u32 extra = t == type::vector ? value->data3 : 0;
    const u32 unit = buffer_of(*value)->unit();
    const Node n = memory::alloc_series(count > 0 ? static_cast<i32>(count) : 1, unit, 0);
    SeriesBuffer* src = buffer_of(*value);
    SeriesBuffer* dst = memory::buffer(n);
    constexpr u32 kept = ~(sflag::fixed | sflag::big | sflag::mark | sflag::owned | sflag::mid_head);
    dst->flags = (src->flags & kept) | (dst->flags & (sflag::fixed | sflag::big));
    const size_t bytes = static_cast<size_t>(count) * unit;
    std::memcpy(dst->data(), src->head_ptr() + static_cast<size_t>(start) * unit, bytes);
    dst->head = 0;
    dst->tail = static_cast<u32>(bytes);
    if (!result) result = stack::push();
    *result = cell::make(header, 0, n, extra);
    return result;
}

i32 length_q(Cell* value) { return rest(*value, false); }

Cell* move(Cell* origin, Cell* target, Cell* part) {
    const u32 st = cell::type_of(*origin), tt = cell::type_of(*target);
    if (!series_q(tt)) fire(ErrorId::script_expect_arg, words::word::move, datatype::make(tt), word_of("target"));
    const i32 available = rest(*origin, false);
    if (available < 1) return target;
    i32 count = 1;
    if (part) {
        count = part_length(*origin, *part);
        if (count < 1) return target;
        if (count > available) count = available;
    }
    const Node sn = cell::node(*origin), tn = cell::node(*target);
    const i32 src = cell::head_index(*origin);
    i32 dst = cell::head_index(*target);
    if (dst < 0) dst = 0;

    if (sn == tn) {
        const i32 len = abs_length_q(*origin);
        if (dst > len) dst = len;
        if (dst == src) return target;
        if (dst > src && dst < len && len - dst < count) return origin;
        // A target inside the moved run has no place to receive it.
        if (dst > src && dst < src + count) return target;
        if (!notify_before(*origin, words::word::move, nullptr, src, count)) return target;
        const u32 u = buffer_of(*origin)->unit();
        TempBlock tmp(static_cast<size_t>(count) * u);
        u8* base = memory::buffer(sn)->head_ptr();
        auto at = [&](i64 i) { return base + static_cast<size_t>(i) * u; };
        std::memcpy(tmp.get(), at(src), static_cast<size_t>(count) * u);
        i32 target_item;  // the hash index's view of where the run went
        if (dst < src) {  // before the target element
            std::memmove(at(dst + count), at(dst), static_cast<size_t>(src - dst) * u);
            std::memcpy(at(dst), tmp.get(), static_cast<size_t>(count) * u);
            target_item = dst;
        } else if (dst >= len) {  // at the end
            std::memmove(at(src), at(src + count), static_cast<size_t>(len - src - count) * u);
            std::memcpy(at(len - count), tmp.get(), static_cast<size_t>(count) * u);
            target_item = len - 1;
        } else {  // after the target element
            std::memmove(at(src), at(src + count), static_cast<size_t>(dst + 1 - src - count) * u);
            std::memcpy(at(dst + 1 - count), tmp.get(), static_cast<size_t>(count) * u);
            target_item = dst;
        }
        if (Node table = hash_table_of(*origin))
            hashtable::move(table, item_of(sn, target_item), item_of(sn, src), count);
        notify(*origin, words::word::moved, nullptr, src, count);
        return target;
    }

    const bool sb = block_like_q(st), tb = block_like_q(tt), ss = string_like_q(st), ts = string_like_q(tt);
    const u32 su = buffer_of(*origin)->unit(), tu0 = buffer_of(*target)->unit();
    // Vector elements move only between vectors of one element type, whose
    // units are then their widths: the bits of another kind of element (or
    // of a character) would be read as something else.
    const bool vectors_differ = (st == type::vector || tt == type::vector) &&
                                (st != tt || origin->data3 != target->data3);
    if ((sb && !tb) || (tb && !sb) || (su != tu0 && !(ss && ts)) || vectors_differ)
        fire(ErrorId::script_move_bad, datatype::make(st), datatype::make(tt));
    {
        const i32 tlen = abs_length_q(*target);
        if (dst > tlen) dst = tlen;
    }
    // Either owner's handler may change either series (the target's handler
    // runs after the origin's was checked): both must still be as planned.
    const Extent planned_origin = extent_of(*origin), planned_target = extent_of(*target);
    notify(*origin, words::word::move, nullptr, src, count);
    notify(*target, words::word::move, nullptr, dst, count);
    if (!(extent_of(*origin) == planned_origin && extent_of(*target) == planned_target)) return target;

    // Strings of different units: the target takes the wider unit first.
    if (ss && ts && tu0 < su) widen_to(tn, su);
    SeriesBuffer* t = reserve(tn, count, true);
    const u32 tu = t->unit();
    const i32 tlen = static_cast<i32>(t->length());
    u8* tbase = t->head_ptr();
    std::memmove(tbase + static_cast<size_t>(dst + count) * tu, tbase + static_cast<size_t>(dst) * tu,
                 static_cast<size_t>(tlen - dst) * tu);
    t->tail += static_cast<u32>(count) * tu;
    SeriesBuffer* s = memory::buffer(sn);
    const u8* from = s->head_ptr() + static_cast<size_t>(src) * su;
    u8* to = tbase + static_cast<size_t>(dst) * tu;
    if (su == tu) {
        std::memcpy(to, from, static_cast<size_t>(count) * su);
    } else {  // a wider target: each code point converted
        for (i32 k = 0; k < count; k++) {
            u32 cp = string::get_char(from + static_cast<size_t>(k) * su, su);
            if (tu == 2) {
                u16 v = static_cast<u16>(cp);
                std::memcpy(to + static_cast<size_t>(k) * 2, &v, 2);
            } else {
                std::memcpy(to + static_cast<size_t>(k) * 4, &cp, 4);
            }
        }
    }
    const i32 slen = static_cast<i32>(s->length());
    u8* sbase = s->head_ptr();
    std::memmove(sbase + static_cast<size_t>(src) * su, sbase + static_cast<size_t>(src + count) * su,
                 static_cast<size_t>(slen - src - count) * su);
    s->tail -= static_cast<u32>(count) * su;
    if (Node table = hash_table_of(*origin)) hash_rebuild(table, sn);
    if (Node table = hash_table_of(*target)) hash_rebuild(table, tn);
    notify(*origin, words::word::moved, nullptr, src, count);
    notify(*target, words::word::moved, nullptr, dst, count);
    return target;
}

Cell* pick(Cell* series, i32 n, Cell*) {
    const i64 i = pick_at(*series, n);
    if (i < 0) return none::push();
    const u32 t = cell::type_of(*series);
    SeriesBuffer* s = buffer_of(*series);
    if (block_like_q(t) || t == type::map) return s->cells() + i;
    if (t == type::vector) {
        if (!vector_service.get_value) not_done();
        return stack::push(vector_service.get_value(*series, static_cast<i32>(i)));
    }
    const u8* p = s->head_ptr() + static_cast<size_t>(i) * s->unit();
    if (t == type::binary) return stack::push(cell::integer(*p));
    return stack::push(cell::make(type::char_, 0, string::get_char(p, s->unit())));
}

Cell* poke(Cell* series, i32 n, Cell* value, Cell*) {
    const i64 found = pick_at(*series, n);
    if (found < 0) fire(ErrorId::script_out_of_range, cell::integer(n));
    const i32 i = static_cast<i32>(found);
    const u32 t = cell::type_of(*series), vt = cell::type_of(*value);
    // Every check comes before the first notification.
    if (t == type::vector) {
        if (!vector_service.set_value) not_done();
        if (vt != series->data3) fire(ErrorId::script_invalid_arg, *value);
    } else if (t == type::binary) {
        if (vt != type::integer && vt != type::char_) fire(ErrorId::script_invalid_arg, *value);
    } else if (!block_like_q(t)) {
        if (vt != type::char_) fire(ErrorId::script_invalid_arg, *value);
    }
    const Cell v = *value;
    const Node node = cell::node(*series);
    if (!notify_before(*series, words::word::poke, &v, i, 1)) return value;
    if (block_like_q(t)) {
        const Node table = hash_table_of(*series);
        if (table) hashtable::delete_(table, memory::buffer(node)->cells() + i);
        memory::buffer(node)->cells()[i] = v;
        if (table) hashtable::put(table, memory::buffer(node)->cells() + i);
    } else if (t == type::vector) {
        vector_service.set_value(*series, i, v);
    } else if (t == type::binary) {
        memory::buffer(node)->head_ptr()[i] = static_cast<u8>(v.data2);
    } else {
        string::overwrite_char(memory::buffer(node), i, v.data2);  // widens when needed
    }
    notify(*series, words::word::poked, &v, i, 1);
    return value;
}

void remove(Cell* series, Cell* part, Cell* key) {
    i32 count = 1;
    if (part) {
        count = part_length(*series, *part);
        if (count < 1) return;
    }
    rest(*series, false);
    i32 i = cell::head_index(*series);
    if (i < 0) i = 0;
    if (key) {
        // find/case on copies: a find handler may rewrite its first argument.
        Cell* s = stack::push(*series);
        Cell* k = stack::push(*key);
        Cell* found = actions::find(s, k, nullptr, false, true, false, false, nullptr, nullptr, false, false, false,
                                    false);
        if (!found || !same_series_q(*found, *series)) {
            *series = none::value;
            return;
        }
        i = cell::head_index(*found) > 0 ? cell::head_index(*found) : 0;
        count = count == INT32_MAX ? INT32_MAX : count + 1;
    }
    const i32 len = abs_length_q(*series);
    if (i >= len) return;
    if (!notify_before(*series, words::word::remove, nullptr, i, count)) return;
    const Node node = cell::node(*series);
    SeriesBuffer* s = memory::buffer(node);
    const u32 u = s->unit();
    i32 moved = 0;
    if (static_cast<i64>(i) + count >= len) {
        count = len - i;
        s->tail = s->head + static_cast<u32>(i) * u;
    } else {
        moved = len - i - count;
        u8* at = s->head_ptr() + static_cast<size_t>(i) * u;
        std::memmove(at, at + static_cast<size_t>(count) * u, static_cast<size_t>(moved) * u);
        s->tail -= static_cast<u32>(count) * u;
    }
    if (Node table = hash_table_of(*series)) hash_removed(table, node, i, count, moved);
    notify(*series, words::word::removed, nullptr, i, 0);
}

void reverse(Cell* series, Cell* part, Cell* skip) {
    const i32 available = rest(*series, false);
    if (available < 1) return;
    i32 count = available;
    if (part) {
        count = part_length(*series, *part);
        if (count < 1) return;
        if (count > available) count = available;
    }
    i32 size = 1;
    if (skip) {
        if (cell::type_of(*skip) != type::integer) fire(ErrorId::script_invalid_refine_arg, word_of("skip"), *skip);
        size = static_cast<i32>(skip->data2);
        if (size < 1) fire(ErrorId::script_out_of_range, *skip);
        if (size == count) return;
        if (size > count || count % size != 0) fire(ErrorId::script_invalid_refine_arg, word_of("skip"), *skip);
    }
    const i32 i = cell::head_index(*series);
    if (!notify_before(*series, words::word::reverse, nullptr, i, count)) return;
    const Node node = cell::node(*series);
    const Node table = hash_table_of(*series);
    if (table) hashtable::remove_range(table, item_of(node, i), count);

    const size_t record = static_cast<size_t>(size) * buffer_of(*series)->unit();
    u8 local[16];  // one element; only records of several go to the heap
    TempBlock heap_record(record > sizeof local ? record : 0);
    u8* temp = record > sizeof local ? heap_record.get() : local;
    SeriesBuffer* s = memory::buffer(node);
    u8* first = s->head_ptr() + static_cast<size_t>(i) * s->unit();
    for (i32 a = 0, b = count / size - 1; a < b; a++, b--) {
        u8* pa = first + static_cast<size_t>(a) * record;
        u8* pb = first + static_cast<size_t>(b) * record;
        std::memcpy(temp, pa, record);
        std::memcpy(pa, pb, record);
        std::memcpy(pb, temp, record);
    }
    if (table) {
        for (i32 k = 0; k < count; k++) {
            i32 flag = 0;
            hashtable::put_key(table, memory::buffer(node)->cells() + i + k, &flag);
            if (flag == 2) break;
        }
    }
    notify(*series, words::word::reversed, nullptr, i, count);
}

Node take_buffer() { return shared_take; }

Cell* take(Cell* series, Cell* part, bool, bool last) {
    const i32 available = rest(*series, false);
    if (available < 1) return none::push();
    const u32 t = cell::type_of(*series);
    const i32 head = cell::head_index(*series);
    const i32 len = abs_length_q(*series);
    i32 count = 1;
    bool before = false;  // a negative count takes the elements before the position
    if (part) {
        i64 c;
        if (cell::type_of(*part) == type::integer) {
            c = static_cast<i32>(part->data2);
        } else if (same_series_q(*series, *part)) {
            const i64 p = cell::head_index(*part);
            c = p < head ? 0 : last ? len - p : p - head;
        } else {
            fire(ErrorId::script_invalid_refine_arg, word_of("part"), *part);
        }
        if (c < 0) {
            if (last) c = 0;
            else c = -c, before = true;
        }
        const i64 room = before ? head : available;
        count = static_cast<i32>(c > room ? room : c);
    }
    const i32 start = last ? len - count : before ? head - count : head;
    const u32 unit = buffer_of(*series)->unit();

    Node rn;
    if (part) {
        rn = memory::alloc_series(count > 0 ? count : 1, unit, 0);
    } else {
        if (!shared_take) shared_take = memory::alloc_fixed_series(1, sizeof(Cell), 0);
        rn = shared_take;
    }
    Cell* result = stack::push(cell::make(t, 0, rn, t == type::vector ? series->data3 : 0));
    // Empties the result buffer; the shared one also takes the series' unit.
    // Done again after the owner's handler, which may itself have taken.
    auto empty_result = [&] {
        SeriesBuffer* r = memory::buffer(rn);
        if (!part) r->flags = (r->flags & ~sflag::unit_mask) | unit;
        r->head = r->tail = 0;
    };
    // A hash! result gets an index of its own over the cells it holds.
    auto finish = [&] {
        if (part && t == type::hash) result->data3 = hashtable::init(count, result, hashtable::kind::hash, 0);
        return result;
    };
    empty_result();
    if (count == 0) return finish();  // an empty take changes nothing

    const bool planned = notify_before(*series, words::word::take, nullptr, start, count);
    empty_result();
    if (!planned) return finish();
    const Node node = cell::node(*series);
    SeriesBuffer* s = memory::buffer(node);
    SeriesBuffer* r = memory::buffer(rn);
    u8* from = s->head_ptr() + static_cast<size_t>(start) * unit;
    const size_t bytes = static_cast<size_t>(count) * unit;
    std::memcpy(r->data(), from, bytes);
    r->tail = static_cast<u32>(bytes);
    const i32 moved = len - start - count;
    std::memmove(from, from + bytes, static_cast<size_t>(moved) * unit);
    s->tail -= static_cast<u32>(bytes);
    if (Node table = hash_table_of(*series)) hash_removed(table, node, start, count, moved);
    finish();
    notify(*series, words::word::taken, nullptr, start, count);
    return result;
}

Cell* modify(Cell* target, Cell* field, Cell* value, bool) {
    const u32 ft = cell::type_of(*field);
    const bool word = ft >= type::word && ft <= type::get_word;
    if (!word || !is_symbol(static_cast<i32>(field->data2), words::sym::owned)) not_done();
    switch (cell::type_of(*value)) {
        case type::none: ownership.unbind(*target); break;
        case type::block:
            if (rest(*value, false) < 2) fire(ErrorId::script_invalid_arg, *value);
            {
                // The owner and the word go to the stack: the tracker allocates,
                // which may move the block they sit in.
                const Cell* c = buffer_of(*value)->cells() + cell::head_index(*value);
                Cell* owner = stack::push(c[0]);
                Cell* word = stack::push(c[1]);
                ownership.set(*target, *owner, *word);
            }
            break;
        default: fire(ErrorId::script_invalid_arg, *value);
    }
    return value;
}

namespace {

// random (/seed, /secure, /only). /seed seeds the generator with the
// MurmurHash3 of the bytes from the position to the tail (the result is
// unset!). /only picks one element of the rest, as pick gives it (none when
// the rest is empty). Otherwise the rest is shuffled in place: each position
// from the current one swaps with one drawn uniformly from itself to the
// tail, so every order is equally likely.
void random(Cell* series, bool seed, bool secure, bool only) {
    i32 count = rest(*series, false);
    const i32 i = cell::head_index(*series);
    if (seed) {
        SeriesBuffer* s = buffer_of(*series);
        const u8* p = s->head_ptr() + static_cast<size_t>(i) * s->unit();
        random::seed(static_cast<i32>(hashtable::murmur3_hash(p, count * static_cast<i32>(s->unit()))));
        *series = unset::value;
        return;
    }
    const bool unchanged = notify_before(*series, words::word::random, nullptr, i, count);
    if (only) {
        count = rest(*series, false);  // the ownership hook may have changed it
        if (count < 1) {
            *series = none::value;
            return;
        }
        const i32 r = random::int_uniform_distr(secure, count);
        *series = *actions::pick(series, r, nullptr);  // copied before anything allocates
        return;
    }
    if (!unchanged) return;
    const Node node = cell::node(*series);
    const Node table = hash_table_of(*series);
    if (table) hashtable::remove_range(table, item_of(node, i), count);
    // Drawing allocates nothing, so the buffer stays where it is.
    SeriesBuffer* s = memory::buffer(node);
    const size_t u = s->unit();
    u8* first = s->head_ptr() + static_cast<size_t>(i) * u;
    for (i32 k = 0; k < count; k++) {
        const i32 r = random::int_uniform_distr(secure, count - k);
        u8* a = first + static_cast<size_t>(k) * u;
        u8* b = first + static_cast<size_t>(k + r - 1) * u;
        for (size_t byte = 0; byte < u; byte++) std::swap(a[byte], b[byte]);
    }
    if (table) {
        for (i32 k = 0; k < count; k++) {
            i32 flag = 0;
            hashtable::put_key(table, memory::buffer(node)->cells() + i + k, &flag);
            if (flag == 2) break;
        }
    }
    notify(*series, words::word::randomized, nullptr, i, count);
}

constexpr ActionTable series_actions = {
    .random = random, .reflect = reflect, .at = at, .back = back, .clear = clear, .copy = copy,
    .head = head, .head_q = head_q, .index_q = index_q, .length_q = length_q,
    .move = move, .next = next, .pick = pick, .poke = poke, .remove = remove,
    .reverse = reverse, .skip = skip, .tail = tail, .tail_q = tail_q_, .take = take,
    .modify = modify,
};

}  // namespace

void init() {
    shared_take = 0;  // a buffer of an earlier memory manager
    registry::add(type::series, 0, "series!", series_actions);
}

}  // namespace oru::series
