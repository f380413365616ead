// block!: cell-buffer helpers, copying and cloning, form, mold, compare,
// path access and the editing handlers, with the action table at the bottom.
//
// Cell addresses are taken from the node again after every call that can
// allocate or dispatch (another type's handler may allocate). A cell being
// passed to a handler is copied to the data stack first, so that the handler
// never holds an address inside a buffer that its own allocations can move.
// Nested form, mold, compare and deep copies push the block's node on the
// cycle stack, so a block that contains itself ends in a marker or an error
// instead of endless recursion.
#include "runtime/datatypes/block.h"

#include "interpreter/actions.h"
#include "interpreter/stack.h"
#include "runtime/calls.h"
#include "runtime/cycles.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/typeset.h"
#include "runtime/datatypes/unset.h"
#include "runtime/fire.h"
#include "runtime/hashtable.h"
#include "runtime/memory.h"
#include "runtime/registry.h"
#include "runtime/system.h"
#include "runtime/words.h"

#include <climits>
#include <cstring>

namespace oru::block {

Loader loader = nullptr;

namespace {

constexpr i32 cell_bytes = sizeof(Cell);
constexpr i64 max_bytes = 0x7FFFFFF0;

inline SeriesBuffer* buf(Node n) { return memory::buffer(n); }
inline Cell* cells(Node n) { return buf(n)->cells(); }
inline i32 length(Node n) { return static_cast<i32>(buf(n)->length()); }

// The head index clamped to [0, length].
inline i32 clamped_head(const Cell& blk) {
    const i32 h = cell::head_index(blk), len = length(cell::node(blk));
    return h < 0 ? 0 : h > len ? len : h;
}

// A heap copy of cells, for sources that live in the buffer being changed.
class CellSnapshot {
public:
    // Nothing is copied (or allocated) for a count of 0.
    CellSnapshot(Node n, i32 first, i32 count) {
        if (count <= 0) return;
        cells_ = static_cast<Cell*>(heap::allocate(static_cast<size_t>(count) * cell_bytes));
        std::memcpy(cells_, memory::buffer(n)->cells() + first, static_cast<size_t>(count) * cell_bytes);
    }
    ~CellSnapshot() {
        if (cells_) heap::free(cells_);
    }
    CellSnapshot(const CellSnapshot&) = delete;
    CellSnapshot& operator=(const CellSnapshot&) = delete;
    const Cell* get() const { return cells_; }

private:
    Cell* cells_ = nullptr;
};

inline void put_text(const Cell& buffer, const char* text) { string::concatenate_literal(buffer, text); }

// The last character written to a buffer string (0 when it is empty).
u32 last_char(const Cell& buffer) {
    SeriesBuffer* s = memory::buffer(cell::node(buffer));
    if (s->tail == s->head) return 0;
    return string::get_char(s->tail_ptr() - s->unit(), s->unit());
}

inline bool any_word_q(u32 t) { return t >= type::word && t <= type::get_word; }

// A block deep operation entering `n`: raises internal/no-cycle (after
// emptying the cycle stack) when the block is already being copied.
void enter_copy(Node n) {
    if (cycles::find(n)) {
        cycles::reset();
        fire(ErrorId::internal_no_cycle);
    }
}

// Replaces the cell at index i of node n by the copy that `copy` gives of it.
template <class Copy>
void replace_with_copy(Node n, i32 i, Copy copy) {
    stack::Mark mark;
    Cell* src = stack::push(cells(n)[i]);
    Cell* result = stack::push(none::value);
    const Cell got = *copy(src, result);
    cells(n)[i] = got;
}

// A new series of type t holding the one value.
Cell* one_value(const Cell& value, u32 t) {
    Cell* r = stack::push(value);  // holds the value while the buffer is made
    const Cell v = *r;
    make_at(*r, 1);
    *memory::alloc_tail(cell::node(*r)) = v;
    cell::set_type(*r, t);
    return r;
}

}  // namespace

// ---------------------------------------------------------------------------
// Cell-buffer helpers

i32 rs_length_q(const Cell& blk) { return length(cell::node(blk)) - cell::head_index(blk); }

bool rs_next(Cell& blk) { return series::move_head(blk, 1); }

Cell* rs_head(Cell& blk) {
    const i32 len = length(cell::node(blk));
    if (cell::head_index(blk) > len) blk.data1 = static_cast<u32>(len);
    return cells(cell::node(blk)) + clamped_head(blk);
}

Cell* rs_tail(const Cell& blk) { return reinterpret_cast<Cell*>(buf(cell::node(blk))->tail_ptr()); }

bool rs_tail_q(const Cell& blk) { return cell::head_index(blk) >= length(cell::node(blk)); }

Cell* rs_abs_at(const Cell& blk, i32 index) { return cells(cell::node(blk)) + index; }

void rs_clear(const Cell& blk) {
    SeriesBuffer* s = buf(cell::node(blk));
    s->tail = s->head + static_cast<u32>(clamped_head(blk)) * cell_bytes;
}

void rs_set_tail(const Cell& blk, i32 index) {
    SeriesBuffer* s = buf(cell::node(blk));
    const i32 len = static_cast<i32>(s->length());
    if (index < 0) index = 0;
    if (index > len) index = len;  // only ever a truncation
    s->tail = s->head + static_cast<u32>(index) * cell_bytes;
}

Cell* rs_append(const Cell& blk, const Cell& value) {
    const Cell v = value;  // the value may lie in the buffer that grows
    Cell* c = memory::alloc_tail(cell::node(blk));
    *c = v;
    return c;
}

void rs_remove_last(Cell& blk) {
    SeriesBuffer* s = buf(cell::node(blk));
    if (s->tail == s->head) return;
    s->tail -= cell_bytes;
    const i32 len = static_cast<i32>(s->length());
    if (cell::head_index(blk) > len) blk.data1 = static_cast<u32>(len);
}

const Cell& rs_append_block(const Cell& dst, const Cell& src) {
    const Node sn = cell::node(src), dn = cell::node(dst);
    const i32 first = clamped_head(src);
    const i32 count = length(sn) - first;
    if (count <= 0) return dst;
    SeriesBuffer* d = series::reserve(dn, count, true);
    // Copying past the destination's tail never overlaps the source cells.
    std::memcpy(d->tail_ptr(), cells(sn) + first, static_cast<size_t>(count) * cell_bytes);
    d->tail += static_cast<u32>(count) * cell_bytes;
    return dst;
}

const Cell* select_value(const Cell& blk, const Cell& value) {
    stack::Mark mark;
    const Node n = cell::node(blk);
    Cell* v = stack::push(value);
    for (i32 i = clamped_head(blk); i < length(n); i++) {
        Cell* c = stack::push(cells(n)[i]);
        const bool equal = actions::compare(v, c, actions::op::hash);
        stack::pop(1);
        if (equal) return i + 1 < length(n) ? cells(n) + i + 1 : &none::value;
    }
    return &none::value;
}

i32 remove_value(const Cell& blk, const Cell& value, bool from_start) {
    stack::Mark mark;
    const Node n = cell::node(blk);
    const i32 head = clamped_head(blk);
    Cell* v = stack::push(value);
    for (i32 i = from_start ? 0 : head; i < length(n); i++) {
        Cell* c = stack::push(cells(n)[i]);
        const bool equal = actions::compare(v, c, actions::op::hash);
        stack::pop(1);
        if (!equal) continue;
        SeriesBuffer* s = buf(n);
        const i32 moved = static_cast<i32>(s->length()) - i - 1;
        std::memmove(s->cells() + i, s->cells() + i + 1, static_cast<size_t>(moved) * cell_bytes);
        s->tail -= cell_bytes;
        if (Node table = series::hash_table_of(blk)) series::hash_removed(table, n, i, 1, moved);
        return i <= head ? 2 : 1;
    }
    return 0;
}

const Cell* select_word(const Cell& blk, const Cell& word, bool exact) {
    const Node n = cell::node(blk);
    const i32 sym = static_cast<i32>(word.data2);
    const i32 canon = symbol::canonical(sym);
    const i32 len = length(n);
    const Cell* c = cells(n);
    for (i32 i = clamped_head(blk); i < len; i++) {
        if (!any_word_q(cell::type_of(c[i]))) continue;
        const i32 s = static_cast<i32>(c[i].data2);
        if (exact ? s == sym : symbol::canonical(s) == canon) return i + 1 < len ? c + i + 1 : &none::value;
    }
    return &none::value;
}

void insert_value(Cell& blk, const Cell& value, bool advance, bool at_start) {
    const Cell v = value;
    const Node n = cell::node(blk);
    const i32 pos = at_start ? 0 : clamped_head(blk);
    const i32 len = length(n);
    SeriesBuffer* s = series::reserve(n, 1, true);
    std::memmove(s->cells() + pos + 1, s->cells() + pos, static_cast<size_t>(len - pos) * cell_bytes);
    s->cells()[pos] = v;
    s->tail += cell_bytes;
    if (Node table = series::hash_table_of(blk)) series::hash_inserted(table, n, pos, 1, len - pos);
    if (advance) blk.data1 = static_cast<u32>(pos + 1);
}

void append_block(Cell& dst, const Cell& src) {
    const Node sn = cell::node(src);
    const i32 first = clamped_head(src);
    const i32 count = length(sn) - first;
    if (count <= 0) return;
    CellSnapshot snapshot(sn, first, count);  // the source may be the destination
    for (i32 k = 0; k < count; k++) insert_value(dst, snapshot.get()[k], true, false);
}

void insert_arg() { insert_value(stack::arguments[-1], stack::arguments[0], true, false); }

namespace {
void append_indexed(const Cell& blk, const Cell& value) {
    Cell* c = rs_append(blk, value);
    if (Node table = series::hash_table_of(blk)) hashtable::put(table, c);
}
}  // namespace

void append_arg() { append_indexed(stack::arguments[0], stack::arguments[1]); }

void append_stack_value() { append_indexed(stack::arguments[-1], stack::arguments[0]); }

Cell* make_at(Cell& c, i32 size) {
    c.header = type::unset;
    const Node n = memory::alloc_cells(size > 1 ? size : 1);
    c = cell::make(type::block, 0, n, 0);
    return &c;
}

Cell* make_fixed_at(Cell& c, i32 size, bool fixed) {
    if (size < 1) size = 1;
    c.header = type::unset;
    const Node n = fixed ? memory::alloc_fixed_series(size, cell_bytes, 0) : memory::alloc_cells_unset(size);
    c = cell::make(type::block, 0, n, 0);
    return &c;
}

namespace {
Cell fixed_global{type::none, 0, 0, 0};  // the block make_fixed_in makes without a parent

// Appends a cell to the parent first and fills it after the allocation, so
// the new node is never held only by a local while the parent grows.
template <class Make>
Cell* make_child(const Cell& parent, Make make_buffer) {
    const Node p = cell::node(parent);
    const i32 index = length(p);
    memory::alloc_tail(p);
    const Node n = make_buffer();
    Cell* c = cells(p) + index;
    *c = cell::make(type::block, 0, n, 0);
    return c;
}
}  // namespace

Cell& fixed_cell() { return fixed_global; }

Cell* make_fixed_in(const Cell* parent, i32 size) {
    if (!parent) return make_fixed_at(fixed_global, size, true);
    if (size < 1) size = 1;
    return make_child(*parent, [size] { return memory::alloc_fixed_series(size, cell_bytes, 0); });
}

Cell* make_in(const Cell* parent, i32 size) {
    const Cell p = parent ? *parent : cell::make(type::block, 0, root_block(), 0);
    return make_child(p, [size] { return memory::alloc_cells(size > 1 ? size : 1); });
}

Cell* push(const Cell& blk) { return stack::push(blk); }

Cell* push_only(i32 size) {
    Cell* c = stack::push(unset::value);
    return make_at(*c, size == 0 ? 1 : size);
}

Cell* clone(const Cell& blk, bool deep, bool any_type) {
    const Cell source = blk;
    const Node sn = cell::node(source);
    const i32 first = clamped_head(source);
    const i32 count = length(sn) - first;
    Cell* r = stack::push(unset::value);
    const Node n = memory::alloc_cells(count > 1 ? count : 1);
    *r = cell::make(cell::type_of(source), 0, n, 0);
    std::memcpy(cells(n), cells(sn) + first, static_cast<size_t>(count) * cell_bytes);
    buf(n)->tail = static_cast<u32>(count) * cell_bytes;
    if (!deep) return r;

    enter_copy(sn);
    cycles::Guard guard(sn);
    for (i32 i = 0; i < count; i++) {
        const Cell c = cells(n)[i];
        const u32 t = cell::type_of(c);
        if (t != type::block && !(any_type && t != type::hash && series::block_like_q(t))) continue;
        stack::Mark mark;
        const Cell* sub = clone(c, true, any_type);
        cells(n)[i] = cell::make(c.header, 0, cell::node(*sub), 0);
    }
    return r;
}

void deep_copy_cells(const Cell& blk) {
    const Node n = cell::node(blk);
    for (i32 i = clamped_head(blk); i < length(n); i++) {
        if (!series::series_q(cell::type_of(cells(n)[i]))) continue;
        replace_with_copy(n, i, [](Cell* src, Cell* result) {
            return actions::copy(src, result, nullptr, true, nullptr);
        });
    }
}

void copy_nested_types(const Cell& blk, bool deep, const Cell& types) {
    const Node n = cell::node(blk);
    const Cell kinds = types;
    for (i32 i = clamped_head(blk); i < length(n); i++) {
        const u32 t = cell::type_of(cells(n)[i]);
        const bool copied_kind = series::series_q(t) || t == type::bitset || t == type::object ||
                                 t == type::error || t == type::map;
        const bool wanted = cell::type_of(kinds) == type::datatype ? datatype::get(kinds) == t
                                                                   : typeset::member_q(kinds, t);
        if (!copied_kind || !wanted) continue;
        replace_with_copy(n, i, [&](Cell* src, Cell* result) {
            Cell* k = stack::push(kinds);
            return actions::copy(src, result, nullptr, deep, deep ? k : nullptr);
        });
    }
}

// ---------------------------------------------------------------------------
// Form, mold, compare

i32 mold_each(const Cell& blk, Cell* buffer, bool only, bool all, bool flat, Cell* part, i32 budget, i32 indent) {
    const Node n = cell::node(blk);
    const i32 first = clamped_head(blk);
    bool closing = false;  // a line break goes before the closing bracket
    {
        cycles::Guard guard(n);
        for (i32 i = first; i < length(n); i++) {
            if (part && budget < 1) break;
            // The cell goes to the stack before the separators are written:
            // writing allocates, and the collector sees only what is rooted.
            stack::Mark mark;
            Cell* c = stack::push(cells(n)[i]);
            const bool at_first = i == first;
            if (!flat && (c->header & flag::new_line)) {
                if (at_first && !only) {
                    indent++;
                    closing = true;
                }
                if (!(only && at_first)) {
                    put_text(*buffer, "\n");
                    budget--;
                }
                budget = mold_indent(*buffer, indent, budget);
            } else if (!at_first) {
                put_text(*buffer, " ");
                budget--;
            }
            budget = actions::mold(c, buffer, false, all, flat, part, budget, indent);
        }
    }
    if (closing) {
        indent--;
        put_text(*buffer, "\n");
        budget = mold_indent(*buffer, indent, budget - 1);
    }
    return budget;
}

i32 form(Cell* value, Cell* buffer, Cell* part, i32 limit) {
    i32 budget = limit;
    if (cycles::mold_marker(*value, *buffer, budget, false)) return budget;
    const Node n = cell::node(*value);
    cycles::Guard guard(n);
    for (i32 i = clamped_head(*value); i < length(n); i++) {
        if (part && budget < 1) break;
        {
            stack::Mark mark;
            budget = actions::form(stack::push(cells(n)[i]), buffer, part, budget);
        }
        if (i + 1 < length(n)) {
            const u32 ch = last_char(*buffer);
            if (ch != '\t' && ch != '\n' && ch != '\r') {
                put_text(*buffer, " ");
                budget--;
            }
        }
    }
    return budget;
}

i32 mold_enclosed(Cell* value, Cell* buffer, const char* open, const char* close, bool only, bool all, bool flat,
                  Cell* part, i32 limit, i32 indent) {
    i32 budget = limit;
    if (cycles::mold_marker(*value, *buffer, budget, true)) return budget;
    if (!only) {
        put_text(*buffer, open);
        budget--;
    }
    budget = mold_each(*value, buffer, only, all, flat, part, budget, indent);
    if (!only) {
        put_text(*buffer, close);
        budget--;
    }
    return budget;
}

namespace {

i32 mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, i32 limit, i32 indent) {
    return mold_enclosed(value, buffer, "[", "]", only, all, flat, part, limit, indent);
}

inline bool number_q(u32 t) { return t == type::integer || t == type::float_ || t == type::percent; }
inline bool word_family_q(u32 t) { return t >= type::word && t <= type::issue; }

// Cells of different types still compare by value when both are words of
// any kind or both are numbers.
inline bool comparable_q(u32 a, u32 b) {
    return a == b || (word_family_q(a) && word_family_q(b)) || (number_q(a) && number_q(b));
}

inline bool equality_op_q(i32 op) {
    return op == actions::op::equal || op == actions::op::not_equal || op == actions::op::strict_equal ||
           op == 10 || op == 11 || op == 12;
}

}  // namespace

i32 compare_each(Cell* a, Cell* b, i32 op) {
    const Node na = cell::node(*a), nb = cell::node(*b);
    const bool same_place = na == nb && cell::head_index(*a) == cell::head_index(*b);
    if (op == 9) return same_place ? 0 : -1;  // same?: the very same series and position
    if (same_place) return 0;
    if (cycles::find(na)) return cycles::find(nb) ? 0 : -1;
    const i32 ha = clamped_head(*a), hb = clamped_head(*b);
    const i32 ra = length(na) - ha, rb = length(nb) - hb;
    if (ra != rb && equality_op_q(op)) return 1;
    // An empty side is not "equal" to a longer one: when either runs out
    // first, the lengths decide below, so [] < [1] and [1] > [] agree.
    cycles::Guard guard_a(na);
    cycles::Guard guard_b(nb);
    const i32 common = ra < rb ? ra : rb;
    for (i32 i = 0; i < common; i++) {
        stack::Mark mark;
        Cell* x = stack::push(cells(na)[ha + i]);
        Cell* y = stack::push(cells(nb)[hb + i]);
        const u32 tx = cell::type_of(*x), ty = cell::type_of(*y);
        if (!comparable_q(tx, ty)) return tx < ty ? -1 : 1;
        const i32 r = actions::compare_value(x, y, op);
        if (r != 0) return r;
    }
    return ra < rb ? -1 : ra > rb ? 1 : 0;
}

namespace {

i32 compare(Cell* value1, Cell* value2, i32 op) {
    const u32 t1 = cell::type_of(*value1), t2 = cell::type_of(*value2);
    if (t1 != t2) {
        const bool paths = (t1 == type::path && t2 == type::lit_path) || (t1 == type::lit_path && t2 == type::path);
        if (!paths || (op != 10 && op != 11)) return -2;
    }
    return compare_each(value1, value2, op);
}

// ---------------------------------------------------------------------------
// Path access

// Getting when `value` is null; setting (the last step of a set-path) when
// it points at the value to store.
Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell*, Cell*, i32, bool case_, bool, bool,
                bool) {
    const u32 et = cell::type_of(*element);
    if (et == type::integer) {
        const i32 n = static_cast<i32>(element->data2);
        return value ? series::poke(parent, n, value, element) : series::pick(parent, n, element);
    }
    if (!value) {
        if (et == type::word && cell::type_of(*parent) != type::hash)
            return stack::push(*select_word(*parent, *element, case_));
        Cell* s = stack::push(*parent);
        Cell* e = stack::push(*element);
        return actions::select(s, e, nullptr, true, case_, false, false, nullptr, nullptr, false, false);
    }
    Cell* s = stack::push(*parent);
    Cell* e = stack::push(*element);
    Cell* found =
        actions::find(s, e, nullptr, false, case_, false, false, nullptr, nullptr, false, false, false, false);
    if (!found || !series::block_like_q(cell::type_of(*found)))
        fire(ErrorId::script_bad_path_set, path ? *path : none::value, *element);
    Cell* at = stack::push(*found);
    series::poke(at, 2, value, nullptr);
    return value;
}

// ---------------------------------------------------------------------------
// Editing

void insert(Cell* series, Cell* value, i32 part, bool only, i32 dup, bool append) {
    if (dup < 1) return;
    const u32 vt = cell::type_of(*value);
    const bool spread = !only && series::block_like_q(vt);  // the value's cells, not the value
    const Node vn = spread ? cell::node(*value) : 0;
    const i32 vfirst = spread ? clamped_head(*value) : 0;
    i64 count = spread ? length(vn) - vfirst : 1;
    if (part >= 0 && part < count) count = part;  // a negative /part means all

    series::rest(*series, false);  // a head index past the tail comes back to it
    const Node n = cell::node(*series);
    const i32 len = length(n);
    const i32 pos = append ? len : cell::head_index(*series);
    if (count > 0) {
        const i64 total = count * dup;
        if (total > INT32_MAX || (static_cast<i64>(len) + total) * cell_bytes > max_bytes)
            fire(ErrorId::internal_no_memory);
        const Cell single = *value;
        // Cells of the series itself are copied aside before anything moves.
        CellSnapshot snapshot(spread ? vn : n, spread ? vfirst : 0, spread && vn == n ? static_cast<i32>(count) : 0);
        const i32 vlen = spread ? length(vn) : 0;
        if (!series::notify_before(*series, append ? words::word::append : words::word::insert, &single, pos,
                                   static_cast<i32>(total)) ||
            (spread && length(vn) != vlen))
            return;
        SeriesBuffer* s = series::reserve(n, total, dup < 5);
        Cell* at = s->cells() + pos;
        std::memmove(at + total, at, static_cast<size_t>(len - pos) * cell_bytes);
        const Cell* from = !spread ? &single : vn == n ? snapshot.get() : cells(vn) + vfirst;
        std::memcpy(at, from, static_cast<size_t>(count) * cell_bytes);
        if (dup > 1) fill(at, static_cast<size_t>(count) * cell_bytes, static_cast<size_t>(dup));
        s->tail += static_cast<u32>(total) * cell_bytes;
        if (Node table = series::hash_table_of(*series))
            series::hash_inserted(table, n, pos, static_cast<i32>(total), len - pos);
        series::notify(*series, append ? words::word::appended : words::word::inserted, &single, pos,
                       static_cast<i32>(total));
        series->data1 = append ? 0 : static_cast<u32>(pos + total);
        return;
    }
    if (append) series->data1 = 0;
}

void change(Cell* series, Cell* value, Cell* part, bool only, i32 dup) {
    if (dup < 1) return;
    series::rest(*series, false);
    const Node n = cell::node(*series);
    const i32 len = length(n);
    const i32 pos = cell::head_index(*series);
    const i32 available = len - pos;
    const u32 vt = cell::type_of(*value);
    const bool spread = !only && series::block_like_q(vt);
    const Node vn = spread ? cell::node(*value) : 0;
    const i32 vfirst = spread ? clamped_head(*value) : 0;
    const i64 count = spread ? length(vn) - vfirst : 1;
    const i64 total = count * dup;
    if (total > INT32_MAX) fire(ErrorId::internal_no_memory);
    i64 replaced = total;
    if (part) replaced = series::part_length(*series, *part);
    if (replaced < 0) replaced = 0;
    if (replaced > available) replaced = available;
    const i64 new_len = len - replaced + total;
    if (new_len * cell_bytes > max_bytes) fire(ErrorId::internal_no_memory);

    const Cell single = *value;
    CellSnapshot snapshot(spread ? vn : n, spread ? vfirst : 0, spread && vn == n ? static_cast<i32>(count) : 0);
    const i32 vlen = spread ? length(vn) : 0;
    if (!series::notify_before(*series, words::word::change, &single, pos, static_cast<i32>(total)) ||
        (spread && length(vn) != vlen))
        return;
    SeriesBuffer* s = new_len > len ? series::reserve(n, new_len - len, false) : buf(n);
    Cell* at = s->cells() + pos;
    std::memmove(at + total, at + replaced, static_cast<size_t>(len - pos - replaced) * cell_bytes);
    const Cell* from = !spread ? &single : vn == n ? snapshot.get() : cells(vn) + vfirst;
    if (count > 0) std::memcpy(at, from, static_cast<size_t>(count) * cell_bytes);  // no snapshot for 0
    if (dup > 1) fill(at, static_cast<size_t>(count) * cell_bytes, static_cast<size_t>(dup));
    s->tail = s->head + static_cast<u32>(new_len) * cell_bytes;
    if (Node table = series::hash_table_of(*series)) series::hash_rebuild(table, n);
    series::notify(*series, words::word::changed, &single, pos, static_cast<i32>(total));
    series->data1 = static_cast<u32>(pos + total);
}

void swap(Cell* series1, Cell* series2) {
    if (!series::block_like_q(cell::type_of(*series2))) fire(ErrorId::script_invalid_arg, *series2);
    if (series::rest(*series1, false) < 1 || series::rest(*series2, false) < 1) return;
    const Node n1 = cell::node(*series1), n2 = cell::node(*series2);
    const i32 i1 = cell::head_index(*series1), i2 = cell::head_index(*series2);
    if (n1 == n2 && i1 == i2) return;  // a cell swapped with itself
    if (!series::notify_before(*series1, words::word::swap, series2, i1, 1) ||
        !series::notify_before(*series2, words::word::swap, series1, i2, 1) || series::tail_q(*series1) ||
        series::tail_q(*series2))
        return;
    const Node t1 = series::hash_table_of(*series1), t2 = series::hash_table_of(*series2);
    if (t1) hashtable::delete_(t1, cells(n1) + i1);
    if (t2) hashtable::delete_(t2, cells(n2) + i2);
    const Cell c = cells(n1)[i1];
    cells(n1)[i1] = cells(n2)[i2];
    cells(n2)[i2] = c;
    if (t1) hashtable::put(t1, cells(n1) + i1);
    if (t2) hashtable::put(t2, cells(n2) + i2);
    series::notify(*series1, words::word::swaped, series2, i1, 1);
    series::notify(*series2, words::word::swaped, series1, i2, 1);
}

Cell* take(Cell* series, Cell* part, bool deep, bool last) {
    Cell* r = series::take(series, part, deep, last);
    if (cell::type_of(*r) == type::none) return r;
    if (!part) {
        // The one taken cell is the result, not a block around it. Nothing
        // was taken when an owner's handler changed the series first: the
        // shared buffer is empty then, and its old cell is no value of ours.
        if (length(cell::node(*r)) < 1) {
            *r = none::value;
            return r;
        }
        *r = cells(cell::node(*r))[0];
        if (deep && series::series_q(cell::type_of(*r))) {
            stack::Mark mark;
            Cell* result = stack::push(none::value);
            *r = *actions::copy(r, result, nullptr, true, nullptr);
        }
        return r;
    }
    if (deep) {
        deep_copy_cells(*r);
        // The copies are new values: a hash! result's index must see them.
        if (Node table = series::hash_table_of(*r)) series::hash_rebuild(table, cell::node(*r));
    }
    return r;
}

// Keeps every cell but none!, in order, from the position to the tail.
void trim(Cell* series, bool, bool, bool, bool, bool, Cell*) {
    const i32 count = series::rest(*series, false);
    const Node n = cell::node(*series);
    const i32 pos = cell::head_index(*series);
    if (!series::notify_before(*series, words::word::trim, nullptr, pos, count)) return;
    SeriesBuffer* s = buf(n);
    Cell* c = s->cells();
    i32 kept = pos;
    for (i32 i = pos; i < pos + count; i++)
        if (cell::type_of(c[i]) != type::none) c[kept++] = c[i];
    s->tail = s->head + static_cast<u32>(kept) * cell_bytes;
    if (Node table = series::hash_table_of(*series)) series::hash_rebuild(table, n);
    series::notify(*series, words::word::trimmed, nullptr, pos, count);
}

}  // namespace

// ---------------------------------------------------------------------------
// Copy, make, to

Cell* copy(Cell* value, Cell* result, Cell* part, bool deep, Cell* types) {
    result = series::copy(value, result, part, false, nullptr);
    if (!deep && !types) return result;
    if (cell::type_of(*result) == type::hash) {
        cell::set_type(*result, type::block);
        result->data3 = 0;
    }
    if (!deep) {
        copy_nested_types(*result, false, *types);
        return result;
    }
    const Node source = cell::node(*value);
    enter_copy(source);
    cycles::Guard guard(source);
    if (types) copy_nested_types(*result, true, *types);
    else deep_copy_cells(*result);
    return result;
}

Cell* make(Cell*, Cell* spec, u32 t) {
    const u32 st = cell::type_of(*spec);
    Cell* r;
    if (series::block_like_q(st)) {
        r = clone(*spec, false, false);
    } else if (st == type::integer || st == type::float_) {
        const i32 size = check_float_range(*spec);
        r = stack::push(unset::value);
        make_at(*r, size);
    } else if (st == type::object || st == type::map) {
        r = stack::push(*spec);
        actions::reflect(r, static_cast<u32>(words::sym::body));
    } else if (st == type::vector) {
        if (!series::vector_service.to_block) fire(ErrorId::internal_not_done);
        r = stack::push(unset::value);
        series::vector_service.to_block(*spec, *r);
    } else {
        fire(ErrorId::script_bad_make_arg, datatype::make(t), *spec);
    }
    cell::set_type(*r, t);
    return r;
}

Cell* to(Cell* proto, Cell* spec, u32 t) {
    const u32 st = cell::type_of(*spec);
    Cell* r;
    if (st == type::object || st == type::map || st == type::vector || series::block_like_q(st))
        return make(proto, spec, t);
    if (st == type::string) {
        if (!loader) fire(ErrorId::internal_not_done);
        r = stack::push(*spec);
        loader(*spec, *r);
    } else if (st == type::typeset) {
        r = stack::push(*spec);
        typeset::to_block(*spec, *r);
    } else {
        r = one_value(*spec, t);
    }
    cell::set_type(*r, t);
    return r;
}

namespace {

// find, put, select and sort are in block_search.cpp.
constexpr ActionTable block_actions = {
    .make = make, .random = inherit, .reflect = inherit, .to = to, .form = form, .mold = mold,
    .eval_path = eval_path, .compare = compare,
    .append = insert, .at = inherit, .back = inherit, .change = change, .clear = inherit, .copy = copy,
    .find = find, .head = inherit, .head_q = inherit, .index_q = inherit, .insert = insert, .length_q = inherit,
    .move = inherit, .next = inherit, .pick = inherit, .poke = inherit, .put = put, .remove = inherit,
    .reverse = inherit, .select = select, .sort = sort, .skip = inherit, .swap = swap, .tail = inherit,
    .tail_q = inherit, .take = take,
    .trim = trim, .modify = inherit,
};

}  // namespace

void init() { registry::add(type::block, type::series, "block!", block_actions); }

}  // namespace oru::block
