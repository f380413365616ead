// binary!: buffer primitives, the bytes of values, and the handlers of the
// byte series, with the action table at the bottom.
//
// Editing handlers first gather the bytes they write (a binary read where it
// lies, anything else into a heap vector, since forming a value for change
// allocates), then check the new size against the largest buffer before the
// owner hears of the change or anything moves; so an error leaves the series
// as it was. Bytes from the series' own buffer are copied aside first. The
// buffer is fetched through its node after every call that can allocate.
#include "runtime/datatypes/binary.h"

#include "interpreter/actions.h"
#include "interpreter/natives_sets.h"
#include "interpreter/stack.h"
#include "runtime/cycles.h"
#include "runtime/datatypes/binary_base.h"
#include "runtime/datatypes/bitset.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/tuple.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/registry.h"
#include "runtime/unicode.h"
#include "runtime/words.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>

namespace oru::binary {

ImageBytes image_bytes = nullptr;

namespace {

constexpr i64 max_bytes = 0x7FFFFFF0;  // the largest data area of a buffer

inline SeriesBuffer* buf(Node n) { return memory::buffer(n); }
// Units (bytes, for a binary) from the buffer's first unit to its tail.
inline i32 length_of(Node n) { return static_cast<i32>(buf(n)->length()); }

// The head index clamped to [0, length].
inline i32 clamped_head(const Cell& v) { return std::clamp(cell::head_index(v), 0, length_of(cell::node(v))); }

inline i32 saturate(i64 v) { return v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : static_cast<i32>(v); }

// Room for `bytes` bytes from the buffer's head: twice its capacity when that
// is enough (at most the largest buffer), else exactly what is needed.
SeriesBuffer* room_for(Node n, i64 bytes) {
    SeriesBuffer* s = buf(n);
    const i64 capacity = static_cast<i64>(s->size) - s->head;
    if (bytes <= capacity) return s;
    if (bytes > max_bytes) fire(ErrorId::internal_no_memory);
    const i64 want = std::min(2 * capacity >= bytes ? 2 * capacity : bytes, max_bytes);
    return memory::expand_series_copy(s, static_cast<i32>(want));
}

// Copies the bytes aside: a source that is itself a series buffer would move
// with the growth.
void put_bytes(const Cell& bin, i64 offset, const u8* src, i32 n, bool insert) {
    if (n < 0) n = 0;
    const Node node = cell::node(bin);
    const i64 head = clamped_head(bin);
    const i64 len = length_of(node);
    const i64 at = head + std::clamp<i64>(offset, 0, len - head);
    const i64 end = insert ? len + n : std::max(len, at + n);
    SeriesBuffer* s = room_for(node, end);
    u8* base = s->head_ptr();
    if (insert) std::memmove(base + at + n, base + at, static_cast<size_t>(len - at));
    if (n) std::memcpy(base + at, src, static_cast<size_t>(n));
    s->tail = s->head + static_cast<u32>(end);
}

}  // namespace

// ---------------------------------------------------------------------------
// Buffer primitives

i32 rs_length_q(const Cell& bin) { return length_of(cell::node(bin)) - clamped_head(bin); }
u8* rs_head(const Cell& bin) { return buf(cell::node(bin))->head_ptr() + clamped_head(bin); }
u8* rs_tail(const Cell& bin) { return buf(cell::node(bin))->tail_ptr(); }
bool rs_tail_q(const Cell& bin) { return cell::head_index(bin) >= length_of(cell::node(bin)); }

u8 rs_abs_at(const Cell& bin, i32 offset) {
    if (offset < 0 || offset >= length_of(cell::node(bin))) fire(ErrorId::script_out_of_range, cell::integer(offset));
    return buf(cell::node(bin))->head_ptr()[offset];
}

void rs_clear(const Cell& bin) {
    SeriesBuffer* s = buf(cell::node(bin));
    s->tail = s->head + static_cast<u32>(clamped_head(bin));
}

bool rs_skip(Cell& bin, i32 n) { return series::move_head(bin, n); }

void rs_append(const Cell& bin, const u8* src, i32 n) { put_bytes(bin, length_of(cell::node(bin)), src, n, true); }
void rs_insert(const Cell& bin, i32 offset, const u8* src, i32 n) { put_bytes(bin, offset, src, n, true); }
void rs_overwrite(const Cell& bin, i32 offset, const u8* src, i32 n) { put_bytes(bin, offset, src, n, false); }

// ---------------------------------------------------------------------------
// Making values

void make_at(Cell& cell, i32 capacity) {
    cell = cell::make(type::binary, 0, memory::alloc_bytes(capacity < 0 ? 0 : capacity), 0);
}

Cell* make_in(const Cell& blk, i32 capacity) {
    stack::Mark mark;
    Cell* held = stack::push(none::value);
    make_at(*held, capacity);
    Cell* c = memory::alloc_tail(cell::node(blk));  // may collect: the new value is on the stack
    *c = *held;
    return c;
}

Cell load(const u8* src, i32 n) {
    if (n < 0) n = 0;
    const Node node = memory::alloc_bytes(n);
    SeriesBuffer* b = buf(node);
    if (n > 0) std::memcpy(b->head_ptr(), src, static_cast<size_t>(n));
    b->tail = b->head + static_cast<u32>(n);
    return cell::make(type::binary, 0, node, 0);
}

Cell* load_in(const u8* src, i32 n, const Cell* blk) {
    if (!blk) return stack::push(load(src, n));
    stack::Mark mark;  // the value is held here until the block holds it
    Cell* held = stack::push(load(src, n));
    Cell* c = memory::alloc_tail(cell::node(*blk));
    *c = *held;
    return c;
}

Cell* push(const Cell& bin) { return stack::push(bin); }

// ---------------------------------------------------------------------------
// Bytes of values

void to_byte(u8* dst, const Cell& value) {
    const u32 t = cell::type_of(value);
    if (t != type::integer && t != type::char_) fire(ErrorId::script_invalid_arg, value);
    *dst = static_cast<u8>(value.data2);
}

void append_utf8(const Cell& str, std::vector<u8>& out) {
    const Node n = cell::node(str);
    SeriesBuffer* s = buf(n);
    const u32 unit = s->unit();
    const i32 head = std::clamp(cell::head_index(str), 0, static_cast<i32>(s->length()));
    const u8* p = s->head_ptr() + static_cast<size_t>(head) * unit;
    const u8* end = s->tail_ptr();
    out.reserve(out.size() + static_cast<size_t>(end - p) / unit);
    for (; p < end; p += unit) {
        const u32 cp = string::get_char(p, unit);
        if (cp < 0x80) {
            out.push_back(static_cast<u8>(cp));
        } else {
            u8 seq[4];
            const int k = unicode::encode_utf8_char(cp, seq);
            out.insert(out.end(), seq, seq + k);
        }
    }
}

namespace {

// The formed text of a value as UTF-8 (change writes what it cannot take as bytes).
void append_formed(const Cell& value, std::vector<u8>& out) {
    stack::Mark mark;
    Cell* text = stack::push(none::value);
    string::make_at(*text, 16);
    actions::form(stack::push(value), text, nullptr, INT32_MAX);
    append_utf8(*text, out);
}

void gather(const Cell& value, Use use, size_t limit, std::vector<u8>& out) {
    if (out.size() >= limit) return;
    const u32 t = cell::type_of(value);
    switch (t) {
        case type::char_: {
            u8 seq[4];
            const int k = unicode::encode_utf8_char(value.data2, seq);
            out.insert(out.end(), seq, seq + k);
            break;
        }
        case type::integer: {
            const i32 v = static_cast<i32>(value.data2);
            if (v < -128 || v > 255) fire(ErrorId::script_invalid_arg, value);
            out.push_back(static_cast<u8>(v));
            break;
        }
        case type::binary: {
            const Node n = cell::node(value);
            const i32 from = clamped_head(value);
            const u8* p = buf(n)->head_ptr() + from;
            out.insert(out.end(), p, p + (length_of(n) - from));
            break;
        }
        case type::tuple: {
            u8 bytes[12];
            std::memcpy(bytes, &value.data1, sizeof bytes);
            out.insert(out.end(), bytes, bytes + std::clamp(tuple::length_of(value), 0, 12));
            break;
        }
        case type::block:
        case type::paren:
        case type::hash: {
            const Node n = cell::node(value);
            // A block that holds itself has no end to its bytes.
            if (cycles::find(n)) fire(ErrorId::internal_too_deep);
            cycles::Guard guard(n);
            for (i32 i = clamped_head(value); i < length_of(n) && out.size() < limit; i++) {
                const Cell item = buf(n)->cells()[i];  // fetched again each time: forming may move the block
                gather(item, use, limit, out);
            }
            break;
        }
        default:
            if (series::string_like_q(t)) append_utf8(value, out);
            else if (use == Use::change) append_formed(value, out);
            else fire(ErrorId::script_bad_to_arg, datatype::make(type::binary), value);
    }
    if (out.size() > limit) out.resize(limit);
}

}  // namespace

void get_bytes(const Cell& value, Use use, i64 cap, std::vector<u8>& out) {
    const size_t limit = cap < 0 ? SIZE_MAX : out.size() + static_cast<size_t>(cap);
    gather(value, use, limit, out);
}

// ---------------------------------------------------------------------------
// Comparing bytes

i32 compare_bytes(const Cell& bin, const Cell& value, i32 op, bool match) {
    const u32 vt = cell::type_of(value);
    if (vt != type::binary && !series::string_like_q(vt)) return -2;
    const Node n1 = cell::node(bin);
    const i32 h1 = clamped_head(bin);
    if (vt == type::binary && cell::node(value) == n1 && clamped_head(value) == h1) {
        if (op == actions::op::same || op == actions::op::equal || op == actions::op::not_equal ||
            op == actions::op::strict_equal || op == actions::op::hash)
            return 0;
    }
    if (op == actions::op::same) return -1;

    std::vector<u8> text;  // an any-string's UTF-8
    const u8* p2 = nullptr;
    i64 len2;
    if (vt == type::binary) {
        len2 = rs_length_q(value);
    } else {
        append_utf8(value, text);
        p2 = text.data();
        len2 = static_cast<i64>(text.size());
    }
    const i64 len1 = length_of(n1) - h1;
    const bool equality = op == actions::op::equal || op == actions::op::not_equal ||
                          op == actions::op::strict_equal || op == actions::op::hash;
    i64 common;
    if (match) {
        if (len2 == 0) return op == actions::op::equal || op == actions::op::strict_equal || op == actions::op::hash ? 0 : 1;
        if (len1 < len2) return 1;
        common = len2;
    } else {
        if (equality && len1 != len2) return 1;
        common = std::min(len1, len2);
    }
    const u8* p1 = buf(n1)->head_ptr() + h1;
    if (!p2) p2 = rs_head(value);
    const int c = common ? std::memcmp(p1, p2, static_cast<size_t>(common)) : 0;
    if (c) return c < 0 ? -1 : 1;
    if (match) return 0;
    return len1 < len2 ? -1 : len1 > len2 ? 1 : 0;
}

bool match_q(const Cell& bin, const Cell& value, i32 op) {
    const u32 vt = cell::type_of(value);
    if (vt == type::char_ || vt == type::integer) return !rs_tail_q(bin) && *rs_head(bin) == value.data2;
    if (vt != type::binary && !series::string_like_q(vt)) return false;
    return compare_bytes(bin, value, op, true) == 0;
}

bool match_bitset_q(const Cell& bin, const Cell& bits) {
    if (rs_tail_q(bin)) return false;
    return bitset::test(bits, *rs_head(bin));
}

namespace {

// ---------------------------------------------------------------------------
// Writing bytes into the series

// Bytes to write: a binary read where it lies (never the target's own
// buffer), or gathered into `own`.
struct Source {
    std::vector<u8> own;
    Node node = 0;
    i32 from = 0;
    i64 n = 0;
};

// The bytes of a value for the series, at most `part` of them when part >= 0.
Source source_of(const Cell& series, const Cell& value, Use use, i32 part) {
    Source src;
    if (cell::type_of(value) == type::binary && cell::node(value) != cell::node(series)) {
        src.node = cell::node(value);
        src.from = clamped_head(value);
        src.n = length_of(src.node) - src.from;
        if (part >= 0 && part < src.n) src.n = part;
        return src;
    }
    get_bytes(value, use, part, src.own);
    src.n = static_cast<i64>(src.own.size());
    return src;
}

// Replaces `replaced` bytes at absolute index pos with dup copies of the
// source; the owner hears `before` and `after`. Returns the index past the
// new bytes, or -1 when nothing was written because the owner's handler
// changed the series (or the source) first.
i64 write_bytes(Cell* series, i32 pos, i64 replaced, const Source& src, i32 dup, const Cell& value,
                const Cell& before, const Cell& after) {
    const Node sn = cell::node(*series);
    const i64 len = length_of(sn);
    const i64 total = src.n * dup;
    const i64 new_len = len - replaced + total;
    if (total > max_bytes || new_len > max_bytes) fire(ErrorId::internal_no_memory);
    if (total == 0 && replaced == 0) return pos;
    if (!series::notify_before(*series, before, &value, pos, saturate(total))) return -1;
    if (src.node && length_of(src.node) < src.from + src.n) return -1;
    SeriesBuffer* s = room_for(sn, new_len);
    u8* base = s->head_ptr();
    std::memmove(base + pos + total, base + pos + replaced, static_cast<size_t>(len - pos - replaced));
    if (src.n > 0) {
        const u8* from = src.node ? buf(src.node)->head_ptr() + src.from : src.own.data();  // after the growth
        std::memcpy(base + pos, from, static_cast<size_t>(src.n));
        if (dup > 1) fill(base + pos, static_cast<size_t>(src.n), static_cast<size_t>(dup));
    }
    s->tail = s->head + static_cast<u32>(new_len);
    series::notify(*series, after, &value, pos, saturate(total));
    return pos + total;
}

// ---------------------------------------------------------------------------
// Handlers

// to binary! (and make of binary! from anything but a size): the bytes of a
// value, pushed as a new binary!.
Cell* make_binary(Cell* spec, u32) {
    const Cell v = *spec;
    const u32 t = cell::type_of(v);
    std::vector<u8> bytes;
    switch (t) {
        case type::binary: {
            const i32 from = clamped_head(v);
            Cell* r = stack::push(none::value);
            *r = cell::make(type::binary, 0,
                            memory::copy_series_part(cell::node(v), from, length_of(cell::node(v)) - from), 0);
            return r;
        }
        case type::integer: {
            const u32 x = v.data2;
            for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<u8>(x >> shift));
            break;
        }
        case type::float_:
        case type::percent: {
            u64 x;
            std::memcpy(&x, &v.data2, sizeof x);
            for (int shift = 56; shift >= 0; shift -= 8) bytes.push_back(static_cast<u8>(x >> shift));
            break;
        }
        case type::issue: {
            // Decoded from a copy: decoding allocates, and the name lives in a buffer.
            const std::string digits = symbol::get_c_string(static_cast<i32>(v.data2));
            const Node n = decode_16(reinterpret_cast<const u8*>(digits.data()), static_cast<i32>(digits.size()), 1);
            if (!n) fire(ErrorId::script_invalid_data, v);
            return stack::push(cell::make(type::binary, 0, n, 0));
        }
        case type::bitset: {  // the bit bytes as they are stored
            SeriesBuffer* s = buf(cell::node(v));
            bytes.assign(s->head_ptr(), s->tail_ptr());
            break;
        }
        case type::image:
            if (!image_bytes) fire(ErrorId::internal_not_done);
            image_bytes(v, bytes);
            break;
        case type::char_:
        case type::tuple:
        case type::block:
        case type::paren:
        case type::hash: get_bytes(v, Use::append, -1, bytes); break;
        default:
            if (!series::string_like_q(t)) fire(ErrorId::script_bad_to_arg, datatype::make(type::binary), v);
            append_utf8(v, bytes);
    }
    if (bytes.size() > static_cast<size_t>(max_bytes)) fire(ErrorId::internal_no_memory);
    return load_in(bytes.data(), static_cast<i32>(bytes.size()), nullptr);
}

Cell* to(Cell*, Cell* spec, u32 t) { return make_binary(spec, t); }

// form and mold: "#{", upper-case hex digits with a line break after every
// 32nd byte when there are more than 30, "}". Under /part every character
// counts against the budget and output stops before a byte that does not fit
// whole.
i32 mold(Cell* value, Cell* buffer, bool only, bool, bool flat, Cell* part, i32 limit, i32 indent) {
    static constexpr char hex[] = "0123456789ABCDEF";
    const Cell v = *value;
    const i64 count = rs_length_q(v);
    const bool breaks = !flat && count > 30;
    const std::string inner(static_cast<size_t>(4 * (indent + 1 > 0 ? indent + 1 : 0)), ' ');
    const std::string outer(static_cast<size_t>(4 * (indent > 0 ? indent : 0)), ' ');
    i64 budget = limit;
    std::string text;
    text.reserve(static_cast<size_t>(std::min<i64>(count * 2 + count / 32 * (1 + inner.size()) + 16, max_bytes)));
    bool cut = false;
    auto put = [&](const std::string& s) {
        if (part && budget <= 0) cut = true;
        if (cut) return;
        text += s;
        budget -= static_cast<i64>(s.size());
    };
    if (!only) put("#{");
    if (breaks) put("\n" + inner);
    const u8* p = rs_head(v);  // nothing below allocates until the text is appended
    for (i64 i = 0; i < count && !cut; i++) {
        if (part && budget < 2) {
            cut = true;
            break;
        }
        text += hex[p[i] >> 4];
        text += hex[p[i] & 15];
        budget -= 2;
        if (breaks && (i + 1) % 32 == 0) put("\n" + inner);
    }
    if (breaks && count % 32 != 0) put("\n" + outer);
    if (!only) put("}");
    string::concatenate_bytes(*buffer, reinterpret_cast<const u8*>(text.data()), static_cast<i32>(text.size()));
    return saturate(budget);
}

i32 form(Cell* value, Cell* buffer, Cell* part, i32 limit) {
    return mold(value, buffer, false, false, false, part, limit, 0);
}

// Binaries only, byte by byte.
i32 compare(Cell* value1, Cell* value2, i32 op) {
    if (cell::type_of(*value2) != type::binary) return -2;
    return compare_bytes(*value1, *value2, op, false);
}

// and~, or~, xor~ (integer::op codes 6, 5, 7): a new binary as long as the
// longer argument; past the shorter one, and~ gives zeros and the others the
// longer one's bytes.
void bitwise(char op) {
    Cell* args = stack::arguments;
    if (cell::type_of(args[1]) != type::binary) fire(ErrorId::script_invalid_arg, args[1]);
    const i32 la = rs_length_q(args[0]), lb = rs_length_q(args[1]);
    const i32 longer = std::max(la, lb), shorter = std::min(la, lb);
    Cell* r = stack::push(none::value);
    make_at(*r, longer);
    const u8* a = rs_head(args[0]);  // after the allocation
    const u8* b = rs_head(args[1]);
    SeriesBuffer* s = buf(cell::node(*r));
    u8* o = s->head_ptr();
    for (i32 i = 0; i < shorter; i++) o[i] = op == '&' ? a[i] & b[i] : op == '|' ? a[i] | b[i] : a[i] ^ b[i];
    if (op == '&') std::memset(o + shorter, 0, static_cast<size_t>(longer - shorter));
    else std::memcpy(o + shorter, (la > lb ? a : b) + shorter, static_cast<size_t>(longer - shorter));
    s->tail = s->head + static_cast<u32>(longer);
    args[0] = *r;
}

void and_() { bitwise('&'); }
void or_() { bitwise('|'); }
void xor_() { bitwise('^'); }

// Inverts the bytes from the head in place and answers the same series.
Cell* complement(Cell* value) {
    const i32 n = rs_length_q(*value), pos = clamped_head(*value);
    if (n == 0) return value;
    if (!series::notify_before(*value, series::word_of("complement"), nullptr, pos, n)) return value;
    u8* p = rs_head(*value);
    for (i32 i = 0; i < rs_length_q(*value) && i < n; i++) p[i] = static_cast<u8>(~p[i]);
    series::notify(*value, series::word_of("complemented"), nullptr, pos, n);
    return value;
}

// append and insert: the dispatcher passes /part as a byte count of the value
// (-1 when absent) and stops a /dup count below 1 itself. Append answers the
// series at its head, insert the series just past the new bytes.
void insertion(Cell* series, Cell* value, i32 part, bool, i32 dup, bool append) {
    if (dup < 1) return;
    stack::Mark mark;  // a formed value's text
    series::rest(*series, false);
    const Source src = source_of(*series, *value, Use::append, part);
    const i32 pos = append ? length_of(cell::node(*series)) : clamped_head(*series);
    const i64 next = write_bytes(series, pos, 0, src, dup, *value, append ? words::word::append : words::word::insert,
                                 append ? words::word::appended : words::word::inserted);
    if (next < 0) return;
    series->data1 = append ? 0 : static_cast<u32>(next);
}

// change: the /part count of bytes (else as many as are written, at most the
// rest) is replaced by dup copies of the value's bytes; a value without bytes
// writes its formed text. Answers the series just past the new bytes.
void change(Cell* series, Cell* value, Cell* part, bool, i32 dup) {
    if (dup < 1) return;
    stack::Mark mark;
    series::rest(*series, false);
    const i32 pos = clamped_head(*series);
    const i64 left = length_of(cell::node(*series)) - pos;
    const Source src = source_of(*series, *value, Use::change, -1);
    i64 replaced = src.n * dup;
    if (part) {
        replaced = cell::type_of(*part) == type::integer ? static_cast<i32>(part->data2)
                                                         : series::part_length(*series, *part);
        if (replaced < 0) replaced = 0;
    }
    replaced = std::min(replaced, left);
    const i64 next = write_bytes(series, pos, replaced, src, dup, *value, words::word::change, words::word::changed);
    if (next >= 0) series->data1 = static_cast<u32>(std::min<i64>(next, length_of(cell::node(*series))));
}

// trim: /with removes every byte of the value's bytes (or every byte in a
// bitset!) anywhere; /all every zero byte; otherwise zero bytes go at the
// head (/head), the tail (/tail) or both.
void trim(Cell* series, bool head, bool tail, bool auto_, bool lines, bool all, Cell* with) {
    std::vector<u8> set;
    if (with) {
        const u32 wt = cell::type_of(*with);
        if (wt == type::bitset) {
            for (u32 b = 0; b < 256; b++)
                if (bitset::test(*with, b)) set.push_back(static_cast<u8>(b));
        } else if (wt != type::binary && wt != type::char_ && wt != type::integer && !series::string_like_q(wt)) {
            fire(ErrorId::script_invalid_arg, *with);
        } else {
            get_bytes(*with, Use::append, -1, set);
        }
    } else if (!all && (auto_ || lines)) {
        fire(ErrorId::internal_not_done);
    }
    const i32 count = series::rest(*series, false);
    const i32 pos = cell::head_index(*series);
    if (count == 0) return;
    if (!series::notify_before(*series, words::word::trim, nullptr, pos, count)) return;
    bool drop[256] = {};
    if (with) {
        for (u8 b : set) drop[b] = true;
    } else {
        drop[0] = true;
    }
    const Node n = cell::node(*series);
    SeriesBuffer* s = buf(n);
    u8* p = s->head_ptr() + pos;
    i32 kept = 0;
    if (with || all) {
        for (i32 i = 0; i < count; i++)
            if (!drop[p[i]]) p[kept++] = p[i];
    } else {
        i32 from = 0, to = count;
        if (head || !tail)
            while (from < to && p[from] == 0) from++;
        if (tail || !head)
            while (to > from && p[to - 1] == 0) to--;
        kept = to - from;
        std::memmove(p, p + from, static_cast<size_t>(kept));
    }
    s->tail = s->head + static_cast<u32>(pos + kept);
    series::notify(*series, words::word::trimmed, nullptr, pos, count);
}

// Own handlers; make (sizes through string!, the rest through make_binary),
// the positional, searching and editing handlers of string! and series!.
constexpr ActionTable binary_actions = {
    .make = inherit, .random = inherit, .reflect = inherit, .to = to, .form = form, .mold = mold,
    .eval_path = inherit, .compare = compare,
    .and_ = and_, .complement = complement, .or_ = or_, .xor_ = xor_,
    .append = insertion, .at = inherit, .back = inherit, .change = change, .clear = inherit, .copy = inherit,
    .find = inherit, .head = inherit, .head_q = inherit, .index_q = inherit, .insert = insertion,
    .length_q = inherit, .move = inherit, .next = inherit, .pick = inherit, .poke = inherit, .remove = inherit,
    .reverse = inherit, .select = inherit, .sort = inherit, .skip = inherit, .swap = inherit, .tail = inherit,
    .tail_q = inherit, .take = inherit, .trim = trim, .modify = inherit,
};

}  // namespace

void init() {
    registry::add(type::binary, type::string, "binary!", binary_actions);
    string::binary_maker = make_binary;
    // The codecs of enbase and debase.
    natives::SetService& codecs = natives::set_service;
    codecs.encode[natives::base_slot(2)] = encode_2;
    codecs.encode[natives::base_slot(16)] = encode_16;
    codecs.encode[natives::base_slot(58)] = encode_58;
    codecs.encode[natives::base_slot(64)] = encode_64;
    codecs.decode[natives::base_slot(2)] = decode_2;
    codecs.decode[natives::base_slot(16)] = decode_16;
    codecs.decode[natives::base_slot(58)] = decode_58;
    codecs.decode[natives::base_slot(64)] = decode_64;
}

}  // namespace oru::binary
