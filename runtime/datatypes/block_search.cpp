// block!: find, select, put, sort and the set operations, which paren!, the
// path family and hash! inherit.
//
// Cells are matched through the dispatcher's compare (the searched cell's
// type decides) and copied to the data stack before a handler sees them:
// any handler may allocate, and so move the buffer being searched, which is
// read again by node and index after every comparison. A hash! looks values
// up through its index where that gives what a scan would.
//
// Sorting never hands a comparator an address inside a series buffer. With
// the built-in record order the records are sorted in a copy in system
// memory (compare handlers may allocate, which may move the block; the
// copy's cells are still held by the block, so the collector keeps what
// they refer to) and written back. A comparator function runs language code
// that can collect or change the block: it sorts a permutation of record
// numbers, reads the records through the node at each comparison, and the
// permutation is applied only if the range still exists.
#include "runtime/datatypes/block.h"

#include "interpreter/actions.h"
#include "interpreter/stack.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/typeset.h"
#include "runtime/fire.h"
#include "runtime/hashtable.h"
#include "runtime/memory.h"
#include "runtime/sort.h"
#include "runtime/unicode.h"
#include "runtime/words.h"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace oru::block {

namespace {

constexpr i32 cell_bytes = sizeof(Cell);

inline SeriesBuffer* buf(Node n) { return memory::buffer(n); }
inline Cell* cells(Node n) { return buf(n)->cells(); }
inline i32 length(Node n) { return static_cast<i32>(buf(n)->length()); }

inline i32 clamped_head(const Cell& blk) {
    const i32 h = cell::head_index(blk), len = length(cell::node(blk));
    return h < 0 ? 0 : h > len ? len : h;
}

inline i32 clamp32(i64 v) { return v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : static_cast<i32>(v); }

struct FreeMemory {
    void operator()(void* p) const { std::free(p); }
};
template <class T>
using SystemBlock = std::unique_ptr<T, FreeMemory>;

// count elements of system memory; internal/no-memory when refused.
template <class T>
SystemBlock<T> system_block(i64 count) {
    const u64 bytes = static_cast<u64>(count > 0 ? count : 1) * sizeof(T);
    SystemBlock<T> p(static_cast<T*>(std::malloc(bytes)));
    if (!p) fire(ErrorId::internal_no_memory);
    return p;
}

// True when the block cell matches the value under the compare code: the
// cell's type decides. Both go to the data stack first.
bool match(const Cell& item, const Cell& value, i32 op) {
    if (cell::type_of(item) == type::integer && cell::type_of(value) == type::integer &&
        (op == actions::op::strict_equal || op == actions::op::same || op == actions::op::hash))
        return item.data2 == value.data2;
    stack::Mark mark;
    Cell* a = stack::push(item);
    Cell* b = stack::push(value);
    return actions::compare(a, b, op);
}

i32 find_op(bool case_, bool same) {
    return same ? actions::op::same : case_ ? actions::op::strict_equal : actions::op::hash;
}

// ---------------------------------------------------------------------------
// Searching

// What find looks for and how.
struct Search {
    i32 op = actions::op::hash;
    bool only = false;
    bool same = false;
    bool last = false;
    bool reverse = false;
    bool match = false;
    Cell* part = nullptr;
    Cell* skip = nullptr;
};

// Where a search ended: the index of the match (-1: none), the cells it
// covers, and whether it was found scanning backwards.
struct Found {
    i32 at = -1;
    i32 length = 1;
    bool sequence = false;
    bool backward = false;
    i32 step = 1;
};

enum class Kind { one, type, typeset, sequence };

// The range and the candidates of a search over `series`, or none.
Found search(Cell& series, const Cell& value, const Search& s) {
    Found none_found;
    const Node n = cell::node(series);
    const i32 len = length(n);
    if (len == 0) return none_found;
    const i32 pos = clamped_head(series);
    if (!s.reverse && pos >= len) return none_found;

    i32 step = 1;
    if (s.skip) {
        if (cell::type_of(*s.skip) != type::integer)
            fire(ErrorId::script_invalid_refine_arg, series::word_of("skip"), *s.skip);
        step = static_cast<i32>(s.skip->data2);
        if (step < 1) fire(ErrorId::script_out_of_range, *s.skip);
    }

    // Forward searches end at the last cell `end`; backward ones (/reverse)
    // stop at `lower`.
    i64 end = len - 1, lower = 0;
    if (s.part) {
        i64 count;
        if (cell::type_of(*s.part) == type::integer) {
            count = static_cast<i32>(s.part->data2);
        } else if (series::same_series_q(series, *s.part)) {
            const i64 at = std::clamp<i64>(cell::head_index(*s.part), 0, len);
            count = s.reverse ? pos - at : at - pos;
        } else {
            fire(ErrorId::script_invalid_refine_arg, series::word_of("part"), *s.part);
        }
        if (count < 1) return none_found;
        if (s.reverse) lower = std::max<i64>(0, pos - count);
        else end = std::min<i64>(end, pos + count - 1);
    }

    const u32 vt = cell::type_of(value);
    Kind kind = Kind::one;
    i64 seq = 1;
    if (!s.only) {
        if (vt == type::datatype) kind = Kind::type;
        else if (vt == type::typeset) kind = Kind::typeset;
        else if (series::block_like_q(vt)) kind = Kind::sequence;
    }
    stack::Mark mark;
    Cell* v = stack::push(value);  // the value may lie in the searched buffer
    Node vn = 0;
    i32 vfirst = 0;
    if (kind == Kind::sequence) {
        vn = cell::node(*v);
        vfirst = clamped_head(*v);
        seq = length(vn) - vfirst;
        if (seq < 1) return none_found;  // an empty sequence matches nowhere
    }

    auto matches_at = [&](i64 i) -> bool {
        if (i + seq > length(n)) return false;  // the block shrank under a handler
        switch (kind) {
            case Kind::type: return cell::type_of(cells(n)[i]) == v->data1;
            case Kind::typeset: return typeset::member_q(*v, cell::type_of(cells(n)[i]));
            case Kind::one: return match(cells(n)[i], *v, s.op);
            case Kind::sequence:
                for (i64 k = 0; k < seq; ++k) {
                    if (i + k >= length(n) || vfirst + k >= length(vn)) return false;  // changed under us
                    if (!match(cells(n)[i + k], cells(vn)[vfirst + k], s.op)) return false;
                }
                return true;
        }
        return false;
    };

    Found found;
    found.length = static_cast<i32>(seq);
    found.sequence = kind == Kind::sequence;
    found.step = step;
    found.backward = s.last || s.reverse;

    // A hash! looks single values up through its index, starting at the
    // position, as the scan below would; the cases its index cannot answer
    // the same way scan.
    const Node table = series::hash_table_of(series);
    // (Its /last takes the farthest hit in the whole block, which is no
    // record start under /skip and may lie past a /part end.)
    const bool hashed = table && !s.match && kind == Kind::one && !(vt == type::object && !s.same) &&
                        !(series::block_like_q(vt) && !s.same) && !(s.last && !s.reverse && (step > 1 || s.part));
    if (hashed) {
        const Cell* hit = hashtable::find(table, v, series::item_of(n, pos), step, s.op, s.last, s.reverse);
        if (!hit) return none_found;
        const i64 j = hit - cells(n);
        if (j > end || j < lower) return none_found;
        found.at = static_cast<i32>(j);
        return found;
    }

    if (s.reverse) {
        for (i64 i = pos - seq; i >= lower; i -= step) {
            if (matches_at(i)) {
                found.at = static_cast<i32>(i);
                return found;
            }
            if (s.match) break;
        }
    } else if (s.last) {
        // The record starts from the position on, the last that leaves room.
        const i64 room = end - seq + 1 - pos;
        if (room < 0) return none_found;
        for (i64 i = pos + room / step * step; i >= pos; i -= step) {
            if (i + seq - 1 <= end && matches_at(i)) {
                found.at = static_cast<i32>(i);
                return found;
            }
            if (s.match) break;
        }
    } else {
        for (i64 i = pos; i + seq - 1 <= end; i += step) {
            if (i + seq - 1 >= length(n)) break;  // the block shrank under a handler
            if (matches_at(i)) {
                found.at = static_cast<i32>(i);
                return found;
            }
            if (s.match) break;
        }
    }
    return none_found;
}

Search search_of(Cell* part, bool only, bool case_, bool same, Cell* skip, bool last, bool reverse, bool match_) {
    Search s;
    s.op = find_op(case_, same);
    s.only = only;
    s.same = same;
    s.last = last;
    s.reverse = reverse;
    s.match = match_;
    s.part = part;
    s.skip = skip;
    return s;
}

}  // namespace

Cell* find(Cell* series, Cell* value, Cell* part, bool only, bool case_, bool same, bool, Cell*, Cell* skip,
           bool last, bool reverse, bool tail, bool match_) {
    const Found f = search(*series, *value, search_of(part, only, case_, same, skip, last, reverse, match_));
    if (f.at < 0) return stack::push(none::value);
    i64 at = f.at;
    if (tail) {
        // Past the matched sequence; one cell on scanning backwards, one
        // record on scanning forwards.
        at += f.sequence ? f.length : f.backward ? 1 : f.step;
        at = std::min<i64>(at, length(cell::node(*series)));
    }
    Cell* r = stack::push(*series);
    r->data1 = static_cast<u32>(at);
    return r;
}

Cell* select(Cell* series, Cell* value, Cell* part, bool only, bool case_, bool same, bool, Cell*, Cell* skip,
             bool last, bool reverse) {
    const Found f = search(*series, *value, search_of(part, only, case_, same, skip, last, reverse, false));
    if (f.at < 0) return stack::push(none::value);
    const i64 after = static_cast<i64>(f.at) + f.length;
    const Node n = cell::node(*series);
    if (after >= length(n)) return stack::push(none::value);
    return stack::push(cells(n)[after]);
}

// put: the key is found as one value (exactly under /case); absent, the key
// and the value are appended; present, the value after it is replaced, or
// appended when the key is the last cell. An equal value changes nothing
// and tells no owner.
Cell* put(Cell* series, Cell* key, Cell* value, bool case_) {
    Search s;
    s.op = case_ ? actions::op::strict_equal : actions::op::hash;
    s.only = true;
    const Found f = search(*series, *key, s);
    const Node n = cell::node(*series);
    const Node table = series::hash_table_of(*series);
    const i32 len = length(n);
    if (f.at >= 0 && f.at + 1 < len) {
        const i32 at = f.at + 1;
        if (match(cells(n)[at], *value, actions::op::hash)) return value;
        if (!series::notify_before(*series, words::word::put, value, at, 1)) return value;
        if (at >= length(n)) return value;
        if (table) hashtable::delete_(table, cells(n) + at);
        cells(n)[at] = *value;
        if (table) hashtable::put(table, cells(n) + at);
        series::notify(*series, words::word::put_ed, value, at, 1);
        return value;
    }
    const i32 count = f.at >= 0 ? 1 : 2;  // the value alone, or the key and the value
    if (!series::notify_before(*series, words::word::put, value, len, count)) return value;
    const i32 at = length(n);
    if (count == 2) rs_append(*series, *key);
    rs_append(*series, *value);
    if (table) series::hash_inserted(table, n, at, count, 0);
    series::notify(*series, words::word::put_ed, value, at, count);
    return value;
}

// ---------------------------------------------------------------------------
// Sorting

namespace {

// Case folding of the characters 0-255, from the case-fold table.
const u32* fold_bytes() {
    static u32 table[256];
    static bool made = false;
    if (!made) {
        for (u32 c = 0; c < 256; c++) table[c] = unicode::case_fold(c, false);
        made = true;
    }
    return table;
}

// What string::compare_strings answers for two strings under the sort
// codes (7 folds letter case, 8 does not), read in place when both hold
// one byte a character: the first differing character decides, then the
// lengths.
i32 order_strings(const Cell& x, const Cell& y, i32 op) {
    SeriesBuffer* a = buf(cell::node(x));
    SeriesBuffer* b = buf(cell::node(y));
    if (a->unit() != 1 || b->unit() != 1) return string::compare_strings(x, y, op, false);
    const i32 la = static_cast<i32>(a->length()), lb = static_cast<i32>(b->length());
    const i32 ha = std::clamp(cell::head_index(x), 0, la), hb = std::clamp(cell::head_index(y), 0, lb);
    const u8* p = a->head_ptr() + ha;
    const u8* q = b->head_ptr() + hb;
    const i32 na = la - ha, nb = lb - hb, n = std::min(na, nb);
    if (op == actions::op::sort_reverse) {
        const int r = n ? std::memcmp(p, q, static_cast<size_t>(n)) : 0;
        if (r) return r < 0 ? -1 : 1;
    } else {
        const u32* fold = fold_bytes();
        for (i32 i = 0; i < n; ++i) {
            const u32 c = fold[p[i]], d = fold[q[i]];
            if (c != d) return c < d ? -1 : 1;
        }
    }
    return na < nb ? -1 : na > nb ? 1 : 0;
}

}  // namespace

i32 compare_records(const Cell* a, const Cell* b, i32 op, u32 flags) {
    if (flags & sort_flag::reverse) std::swap(a, b);
    i32 first = 0, count = 1;
    if (flags & sort_flag::all) count = static_cast<i32>(flags >> sort_flag::shift);
    else first = static_cast<i32>(flags >> sort_flag::shift);
    for (i32 k = first; k < first + count; ++k) {
        const Cell& x = a[k];
        const Cell& y = b[k];
        const u32 tx = cell::type_of(x), ty = cell::type_of(y);
        i32 r;
        if (tx == type::integer && ty == type::integer) {
            const i32 p = static_cast<i32>(x.data2), q = static_cast<i32>(y.data2);
            r = p < q ? -1 : p > q ? 1 : 0;
        } else if (tx == ty && series::string_like_q(tx) && (op == actions::op::sort || op == actions::op::sort_reverse)) {
            r = order_strings(x, y, op);  // string! compare's own answer
        } else {
            // Handlers get the cells where they are: the caller's records
            // lie outside every series buffer, so nothing they allocate
            // moves them.
            r = actions::compare_value(const_cast<Cell*>(&x), const_cast<Cell*>(&y), op);
            if (r == -2) r = static_cast<i32>(tx) - static_cast<i32>(ty);
        }
        if (r != 0) return r;
    }
    return 0;
}

namespace {

struct RecordOrder {
    i32 op;
    u32 flags;
};

i32 by_records(const void* a, const void* b, const void* user, const void*) {
    const auto* o = static_cast<const RecordOrder*>(user);
    return compare_records(static_cast<const Cell*>(a), static_cast<const Cell*>(b), o->op, o->flags);
}

// What a comparator function needs: the records lie at `first` + i x size
// cells of the node; with whole records they go to the scratch blocks.
struct CallOrder {
    const Cell* fn;
    Node node;
    i64 first, size, total;
    u32 flags;
    Cell* scratch;  // two data-stack cells, or null
};

// Fills a scratch block with record i.
void fill_scratch(Cell& scratch, const CallOrder& o, i64 i) {
    const Node sn = cell::node(scratch);
    SeriesBuffer* s = buf(sn);
    s->tail = s->head;
    scratch.data1 = 0;
    s = series::reserve(sn, o.size, false);
    std::memcpy(s->tail_ptr(), cells(o.node) + o.first + i * o.size, static_cast<size_t>(o.size) * cell_bytes);
    s->tail += static_cast<u32>(o.size) * cell_bytes;
}

}  // namespace

i32 compare_call(const Cell& cell1, const Cell& cell2, const Cell& fn, u32 flags) {
    const Cell answer = flags & sort_flag::reverse ? sort::call_comparator(fn, cell1, cell2)
                                                    : sort::call_comparator(fn, cell2, cell1);
    return sort::answer_order(answer);
}

namespace {

i32 by_call(const void* a, const void* b, const void* user, const void*) {
    const auto* o = static_cast<const CallOrder*>(user);
    i32 ia, ib;
    std::memcpy(&ia, a, sizeof ia);
    std::memcpy(&ib, b, sizeof ib);
    // A function that emptied or shortened the block has nothing left to
    // compare: the rest of the sort is moot, the result is not applied.
    if (length(o->node) < o->first + o->total) return 0;
    if (o->scratch) {
        fill_scratch(o->scratch[0], *o, ia);
        fill_scratch(o->scratch[1], *o, ib);
        return compare_call(o->scratch[0], o->scratch[1], *o->fn, o->flags);
    }
    const i64 offset = o->flags >> sort_flag::shift;
    const Cell x = cells(o->node)[o->first + ia * o->size + offset];
    const Cell y = cells(o->node)[o->first + ib * o->size + offset];
    return compare_call(x, y, *o->fn, o->flags);
}

// Sorts the records through the comparator function and applies the order
// when the range still exists.
void sort_by_call(Cell& series, i64 first, i64 records, i64 size, Cell* fn, u32 flags, bool whole, bool stable) {
    const Node n = cell::node(series);
    SystemBlock<i32> order = system_block<i32>(records);
    for (i64 i = 0; i < records; ++i) order.get()[i] = static_cast<i32>(i);
    Cell* scratch = nullptr;
    if (whole) {
        scratch = stack::push();
        make_at(scratch[0], static_cast<i32>(size));
        stack::push();
        make_at(scratch[1], static_cast<i32>(size));
    }
    const CallOrder o{fn, n, first, size, records * size, flags, scratch};
    if (stable) sort::merge(order.get(), static_cast<i32>(records), sizeof(i32), &o, nullptr, by_call);
    else sort::quick(order.get(), static_cast<i32>(records), sizeof(i32), &o, nullptr, by_call);
    if (length(n) < first + records * size) return;
    SystemBlock<Cell> copy = system_block<Cell>(records * size);
    std::memcpy(copy.get(), cells(n) + first, static_cast<size_t>(records * size) * cell_bytes);
    Cell* to = cells(n) + first;
    for (i64 k = 0; k < records; ++k)
        std::memcpy(to + k * size, copy.get() + order.get()[k] * size, static_cast<size_t>(size) * cell_bytes);
}

// A block of strings of one type and one byte a character sorts by keys:
// each string's first eight characters (folded unless case-sensitive)
// packed into one integer, its characters' address and length. Most
// comparisons end at the packed prefix without reading the strings, and
// none needs the node table: nothing allocates while the keys are sorted,
// so the addresses hold. The order is order_strings': a shorter string
// pads its prefix with zeros, which sort first as its length would.
struct StringKey {
    u64 prefix;
    const u8* chars;
    u32 length;
    u32 index;
};

struct KeyOrder {
    bool fold, reverse;
};

i32 by_keys(const void* a, const void* b, const void* user, const void*) {
    const auto* o = static_cast<const KeyOrder*>(user);
    const auto* x = static_cast<const StringKey*>(o->reverse ? b : a);
    const auto* y = static_cast<const StringKey*>(o->reverse ? a : b);
    if (x->prefix != y->prefix) return x->prefix < y->prefix ? -1 : 1;
    const u32 n = std::min(x->length, y->length);
    if (o->fold) {
        const u32* fold = fold_bytes();
        for (u32 i = 8; i < n; ++i) {
            const u32 c = fold[x->chars[i]], d = fold[y->chars[i]];
            if (c != d) return c < d ? -1 : 1;
        }
    } else if (n > 8) {
        const int r = std::memcmp(x->chars + 8, y->chars + 8, n - 8);
        if (r) return r < 0 ? -1 : 1;
    }
    return x->length < y->length ? -1 : x->length > y->length ? 1 : 0;
}

// True when the records (one cell each) were sorted by keys; false, with
// nothing done, when they are not all such strings.
bool sort_strings(Cell& series, i64 first, i64 records, i32 op, u32 flags, bool stable) {
    if (flags & ~sort_flag::reverse) return false;  // whole records or a column: the general road
    const Node n = cell::node(series);
    const Cell* c = cells(n) + first;
    const u32 t = cell::type_of(c[0]);
    if (!series::string_like_q(t)) return false;
    const bool fold = op == actions::op::sort;
    const u32* folding = fold_bytes();
    if (fold)
        for (u32 k = 0; k < 256; ++k)
            if (folding[k] > 0xFF) return false;  // folded characters must fit the packed bytes
    for (i64 i = 0; i < records; ++i)
        if (cell::type_of(c[i]) != t || buf(cell::node(c[i]))->unit() != 1) return false;
    SystemBlock<StringKey> keys = system_block<StringKey>(records);
    c = cells(n) + first;  // the allocation is not a series': nothing moved, fetched again all the same
    for (i64 i = 0; i < records; ++i) {
        SeriesBuffer* b = buf(cell::node(c[i]));
        const i32 len = static_cast<i32>(b->length());
        const i32 head = std::clamp(cell::head_index(c[i]), 0, len);
        StringKey& k = keys.get()[i];
        k.chars = b->head_ptr() + head;
        k.length = static_cast<u32>(len - head);
        k.index = static_cast<u32>(i);
        k.prefix = 0;
        for (u32 j = 0; j < 8; ++j) {
            const u64 ch = j < k.length ? (fold ? folding[k.chars[j]] : k.chars[j]) : 0;
            k.prefix |= ch << (56 - 8 * j);
        }
    }
    const KeyOrder order{fold, (flags & sort_flag::reverse) != 0};
    if (stable) sort::merge(keys.get(), static_cast<i32>(records), sizeof(StringKey), &order, nullptr, by_keys);
    else sort::quick(keys.get(), static_cast<i32>(records), sizeof(StringKey), &order, nullptr, by_keys);
    SystemBlock<Cell> copy = system_block<Cell>(records);
    std::memcpy(copy.get(), cells(n) + first, static_cast<size_t>(records) * cell_bytes);
    Cell* to = cells(n) + first;
    for (i64 i = 0; i < records; ++i) to[i] = copy.get()[keys.get()[i].index];
    return true;
}

// Integers compare without a handler and allocate nothing: a block of
// them sorts in place.
template <bool reverse>
i32 by_integers(const void* a, const void* b, const void*, const void*) {
    i32 x, y;
    std::memcpy(&x, static_cast<const u8*>(reverse ? b : a) + offsetof(Cell, data2), sizeof x);
    std::memcpy(&y, static_cast<const u8*>(reverse ? a : b) + offsetof(Cell, data2), sizeof y);
    return x < y ? -1 : x > y ? 1 : 0;
}

bool sort_integers(Cell& series, i64 first, i64 records, u32 flags, bool stable) {
    if (flags & ~sort_flag::reverse) return false;
    const Node n = cell::node(series);
    const Cell* c = cells(n) + first;
    for (i64 i = 0; i < records; ++i)
        if (cell::type_of(c[i]) != type::integer) return false;
    const sort::Comparator cmp = flags & sort_flag::reverse ? by_integers<true> : by_integers<false>;
    if (stable) sort::merge(cells(n) + first, static_cast<i32>(records), cell_bytes, nullptr, nullptr, cmp);
    else sort::quick(cells(n) + first, static_cast<i32>(records), cell_bytes, nullptr, nullptr, cmp);
    return true;
}

// Sorts the records by the cells' own order in a copy, written back after.
void sort_by_records(Cell& series, i64 first, i64 records, i64 size, i32 op, u32 flags, bool stable) {
    if (size == 1 && (sort_integers(series, first, records, flags, stable) ||
                      sort_strings(series, first, records, op, flags, stable)))
        return;
    const Node n = cell::node(series);
    const i64 count = records * size;
    SystemBlock<Cell> copy = system_block<Cell>(count);
    std::memcpy(copy.get(), cells(n) + first, static_cast<size_t>(count) * cell_bytes);
    const RecordOrder order{op, flags};
    const i32 record_bytes = static_cast<i32>(size * cell_bytes);
    if (stable) sort::merge(copy.get(), static_cast<i32>(records), record_bytes, &order, nullptr, by_records);
    else sort::quick(copy.get(), static_cast<i32>(records), record_bytes, &order, nullptr, by_records);
    if (length(n) < first + count) return;
    std::memcpy(cells(n) + first, copy.get(), static_cast<size_t>(count) * cell_bytes);
}

}  // namespace

Cell* sort(Cell* series, bool case_, Cell* skip, Cell* compare, Cell* part, bool all, bool reverse, bool stable) {
    i32 len = series::rest(*series, false);
    i32 head = cell::head_index(*series);
    if (part) {
        const i32 count = series::part_length(*series, *part);
        if (count < 0) {  // the cells before the position; the position moves back to them
            const i64 start = static_cast<i64>(head) + count;
            if (start < 0) {
                series->data1 = 0;
                return series;
            }
            head = static_cast<i32>(start);
            series->data1 = static_cast<u32>(head);
            len = clamp32(-static_cast<i64>(count));
        } else if (count < len) {
            len = count;
        }
    }
    if (len <= 0) return series;
    i32 size = 1;
    if (skip) {
        if (cell::type_of(*skip) != type::integer)
            fire(ErrorId::script_invalid_refine_arg, series::word_of("skip"), *skip);
        size = static_cast<i32>(skip->data2);
        if (size < 1 || size > len || len % size != 0)
            fire(ErrorId::script_invalid_refine_arg, series::word_of("skip"), *skip);
    }
    if (all && !skip) fire(ErrorId::script_bad_refines);
    const i32 op = case_ ? actions::op::sort_reverse : actions::op::sort;
    u32 flags = reverse ? sort_flag::reverse : 0;
    bool call = false;
    if (all) flags |= sort_flag::all | static_cast<u32>(size) << sort_flag::shift;
    if (compare) {
        switch (cell::type_of(*compare)) {
            case type::function: call = true; break;
            case type::integer: {
                if (all || !skip) fire(ErrorId::script_bad_refines);
                const i32 column = static_cast<i32>(compare->data2);
                if (column < 1 || column > size) fire(ErrorId::script_out_of_range, *compare);
                flags |= static_cast<u32>(column - 1) << sort_flag::shift;
                break;
            }
            default: fire(ErrorId::script_invalid_refine_arg, series::word_of("compare"), *compare);
        }
    }
    if (!series::notify_before(*series, words::word::sort, nullptr, head, len)) return series;
    const i64 records = len / size;
    stack::Mark mark;
    if (call) sort_by_call(*series, head, records, size, compare, flags, all, stable);
    else sort_by_records(*series, head, records, size, op, flags, stable);
    series::notify(*series, words::word::sorted, nullptr, head, len);
    return series;
}

// ---------------------------------------------------------------------------
// Set operations

namespace {

// A kind 0 index over a block, held by a hash! cell on the data stack so
// that the collector keeps the index (and the block) while it is in use.
Cell* push_index(const Cell& blk, i32 size) {
    Cell* c = stack::push(blk);
    const Node table = hashtable::init(size < 1 ? 1 : size, c, hashtable::kind::hash, 0);
    c->header = type::hash;
    c->data3 = table;
    return c;
}

}  // namespace

Cell* do_set_op(bool case_, i32 skip, i32 op) {
    using namespace string::set_op;
    if (skip < 1) fire(ErrorId::script_invalid_refine_arg, series::word_of("skip"), cell::integer(skip));
    Cell* a = stack::arguments;
    Cell* b = a + 1;
    series::rest(*a, false);
    if (op != unique) series::rest(*b, false);
    const u32 result_type = cell::type_of(*a);
    const i32 lookup_op = case_ ? hashtable::op::strict_equal : hashtable::op::equal;
    const i32 find_case_op = case_ ? actions::op::strict_equal : actions::op::hash;
    const i64 room = static_cast<i64>(rs_length_q(*a)) + (op == union_ ? rs_length_q(*b) : 0);

    stack::Mark mark;
    // The result's own index holds the first cell of each record added, for
    // the test "already in the result".
    Cell* result = stack::push(none::value);
    make_at(*result, clamp32(std::max<i64>(room, 1)));
    Cell* index = push_index(*result, clamp32(std::max<i64>(room, 1)));
    const Node rn = cell::node(*result);

    // Membership in the other series: its own index when it is a hash!, else
    // an index made over it; block-like cells are found with find/only.
    Cell* other_index[2] = {nullptr, nullptr};
    auto index_of = [&](Cell* s, int k) -> Node {
        if (Node t = series::hash_table_of(*s)) return t;
        if (!other_index[k]) other_index[k] = push_index(*s, rs_length_q(*s));
        return other_index[k]->data3;
    };
    auto find_only = [&](Cell& in, const Cell& c, i32 step) {
        Search s;
        s.op = find_case_op;
        s.only = true;
        Cell step_cell = cell::integer(step);
        s.skip = &step_cell;
        return search(in, c, s).at >= 0;
    };
    auto walk = [&](Cell* from, Cell* other, int k) {
        const Node fn = cell::node(*from);
        for (i64 i = clamped_head(*from); i < length(fn); i += skip) {
            const Cell first = cells(fn)[i];
            const bool block_like = series::block_like_q(cell::type_of(first));
            if (op == intersect || op == exclude || op == difference) {
                bool in_other;
                if (block_like) {
                    in_other = find_only(*other, first, skip);
                } else {
                    const Node t = index_of(other, k);
                    Cell key = first;
                    in_other = hashtable::find(t, &key, series::item_of(cell::node(*other), clamped_head(*other)),
                                               skip, lookup_op, false, false) != nullptr;
                }
                if (in_other != (op == intersect)) continue;
            }
            Cell key = first;
            const bool present = block_like ? find_only(*result, first, 1)
                                            : hashtable::find(index->data3, &key, series::item_of(rn, 0), 1,
                                                              lookup_op, false, false) != nullptr;
            if (present) continue;
            const i64 count = std::min<i64>(skip, length(fn) - i);
            const i32 at = length(rn);
            SeriesBuffer* r = series::reserve(rn, count, true);
            std::memcpy(r->tail_ptr(), cells(fn) + i, static_cast<size_t>(count) * cell_bytes);
            r->tail += static_cast<u32>(count) * cell_bytes;
            if (!block_like) hashtable::put(index->data3, cells(rn) + at);
        }
    };
    walk(a, b, 1);
    if (op == union_ || op == difference) walk(b, a, 0);

    Cell out = *result;
    out.header = result_type;
    out.data1 = 0;
    out.data3 = 0;
    if (result_type == type::hash) {
        // A hash! result gets an index of its own over all its cells.
        Cell* indexed = push_index(out, length(rn));
        out.data3 = indexed->data3;
    }
    *a = out;
    return a;
}

}  // namespace oru::block
