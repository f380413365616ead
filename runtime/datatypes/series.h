// series!: the abstract parent of every sequence type, its 21 shared action
// handlers and the position helpers.
//
// No value carries type 42; block!, paren!, the path family, hash!, the
// string family, binary!, vector! and image! inherit these handlers through
// the registry and replace the ones they need. A series value is a cell
// {header, head index (signed, in units), node, per-type extra word}; the
// buffer's flags give the unit (1, 2, 4, 8 or 16 bytes). The rest length is
// never below 0: helpers clamp a head index past a shortened tail back to it.
//
// Every allocation may move any buffer, so handlers keep nodes and indexes and
// fetch buffer addresses again after each call that can allocate. Handlers
// that change a series in place tell the ownership tracker before and after
// the change (see Ownership). The action table is at the bottom of series.cpp.
#pragma once

#include "runtime/cell.h"
#include "runtime/memory.h"

namespace oru::series {

// --- Type classes -----------------------------------------------------------

// block!, paren!, the path family and hash!: buffers of cells.
inline bool block_like_q(u32 t) {
    return t == type::block || t == type::paren || (t >= type::path && t <= type::get_path) || t == type::hash;
}
// string!, file!, url!, tag!, email!, ref!: buffers of code points.
inline bool string_like_q(u32 t) {
    return t == type::string || t == type::file || t == type::url || t == type::tag || t == type::email ||
           t == type::ref;
}
// Every type with a series buffer.
inline bool series_q(u32 t) {
    return block_like_q(t) || string_like_q(t) || t == type::binary || t == type::vector || t == type::image;
}

// Two values refer to the same series: same type and same node.
inline bool same_series_q(const Cell& a, const Cell& b) {
    return cell::type_of(a) == cell::type_of(b) && cell::node(a) == cell::node(b);
}

// --- Position helpers -------------------------------------------------------

inline SeriesBuffer* buffer_of(const Cell& v) { return memory::buffer(cell::node(v)); }

// Buffer length in units, ignoring the head index.
inline i32 abs_length_q(const Cell& v) { return static_cast<i32>(buffer_of(v)->length()); }

// True when the position is at or past the tail.
inline bool tail_q(const Cell& v) { return cell::head_index(v) >= abs_length_q(v); }

// Adds n to the head index when the new position is not past the tail;
// returns true when head index + n is at or past the tail.
bool move_head(Cell& v, i32 n);

// The head index that `at` (base 1) and `skip` (base 0) give for the series
// at stack::arguments and the offset after it: head + offset - base, clamped
// to [0, buffer length]; base 1 with an offset of 0 or less counts as base 0.
// A non-integer offset raises script/invalid-arg.
i32 get_position(i32 base);

// The rest length. With from_start the head index is ignored. A head index
// past the buffer length is set back to it and 0 is returned (the length with
// from_start); a negative one is set to 0.
i32 rest(Cell& v, bool from_start);

// The /part count against a series: an integer!, or a position in the same
// series (its head index minus the series' head index). Anything else raises
// script/invalid-refine-arg with the word `part` and the value.
i32 part_length(const Cell& series, const Cell& part);

// A word cell for an error argument (`part`, `skip`, ...).
Cell word_of(const char* spelling);

// Makes room for `units` more units at the tail of the node's buffer; when
// short, the buffer grows to the needed size, doubled when `doubled` (capped
// at the largest buffer). A needed size beyond it raises internal/no-memory.
// Returns the buffer to use.
SeriesBuffer* reserve(Node n, i64 units, bool doubled);

// --- Ownership notifications ------------------------------------------------

// The ownership tracker's entry points. Every in-place change calls `check`
// twice: before the change with the action word (`poke`, `clear`, ...) and
// after it with the past form (`poked`, `cleared`, ...), with the index and
// count of the affected range and the new value when the action has one.
// The ownership module installs its own functions at start-up; until then
// they do nothing (no series is owned).
struct Ownership {
    // (value, action word, new value or null, index, count) -> 1 when an
    // owner's on-deep-change* ran, else 0.
    i32 (*check)(const Cell& value, const Cell& action, const Cell* new_value, i32 index, i32 count);
    // The owner object recorded for the series, or none.
    Cell (*owner)(const Cell& value);
    // Drops the series' owner.
    void (*unbind)(const Cell& value);
    // Makes `owner` own the series under the field word.
    void (*set)(const Cell& value, const Cell& owner, const Cell& word);
};
extern Ownership ownership;
void reset_ownership();  // back to the defaults that do nothing

inline void notify(const Cell& value, const Cell& action, const Cell* new_value, i32 index, i32 count) {
    ownership.check(value, action, new_value, index, count);
}

// The notification before a change. An owner's handler runs language code,
// which may itself change the series: a change planned on the old length
// and unit is then dropped (false) instead of applied to a buffer it no
// longer fits.
bool notify_before(const Cell& value, const Cell& action, const Cell* new_value, i32 index, i32 count);

// --- Services of later modules ----------------------------------------------

// vector! elements: the vector module installs these. Until it does, pick,
// poke and the block conversions of a vector raise internal/not-done.
struct VectorService {
    Cell (*get_value)(const Cell& vec, i32 abs_index);                    // element as a value
    void (*set_value)(const Cell& vec, i32 abs_index, const Cell& value); // value of the element type
    void (*to_block)(const Cell& vec, Cell& result);                      // new block! of the elements
};
extern VectorService vector_service;

// --- hash! index upkeep -----------------------------------------------------
// A hash! value's extra word holds its table's node; the table indexes cell
// positions counted from the buffer's first cell. These keep it in step after
// the cells moved; a shift the table refuses rebuilds the whole index.

inline Node hash_table_of(const Cell& v) { return cell::type_of(v) == type::hash ? v.data3 : 0; }
// Absolute item position of head-relative index i in the node's buffer.
inline i32 item_of(Node n, i32 i) { return static_cast<i32>(memory::buffer(n)->head / sizeof(Cell)) + i; }
// `count` cells at index i were removed; `moved` cells followed them down.
void hash_removed(Node table, Node blk, i32 i, i32 count, i32 moved);
// `count` cells were inserted at index i; `moved` cells after them moved up.
void hash_inserted(Node table, Node blk, i32 i, i32 count, i32 moved);
// Rebuilds the whole index from the block.
void hash_rebuild(Node table, Node blk);

// --- The shared action handlers ---------------------------------------------
// Children call these around what they change (block! take and copy do).

void reflect(Cell* value, u32 field);
void at();
void back();
void clear(Cell* series);
Cell* copy(Cell* value, Cell* result, Cell* part, bool deep, Cell* types);
void head();
void head_q();
void index_q();
i32 length_q(Cell* value);
Cell* move(Cell* origin, Cell* target, Cell* part);
void next();
Cell* pick(Cell* series, i32 index, Cell* index_cell);
Cell* poke(Cell* series, i32 index, Cell* value, Cell* index_cell);
void remove(Cell* series, Cell* part, Cell* key);
void reverse(Cell* series, Cell* part, Cell* skip);
void skip();
void tail();
void tail_q_();
Cell* take(Cell* series, Cell* part, bool deep, bool last);
Cell* modify(Cell* target, Cell* field, Cell* value, bool case_);

// The node of the one-element buffer that take without /part reuses (0 until
// the first such take); the collector keeps it alive.
Node take_buffer();

// Registers series! (type 42, no parent). Also forgets state of an earlier
// start-up (the shared take buffer).
void init();

}  // namespace oru::series
