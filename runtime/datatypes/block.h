// block!: the series of value cells, its cell-buffer helpers and handlers.
//
// A block value is a series cell (head index, node, extra word) whose buffer
// unit is 16: one value cell per unit. paren!, the path family and hash!
// share the layout and most handlers. Cells carry the new-line flag (header
// bit 30): mold starts a new line before a flagged cell.
//
// Helpers that return a cell address return it inside the buffer: it stays
// valid only until the next allocation, which may grow or move the buffer.
// Cells passed by reference must not lie in a buffer that the helper's own
// allocations can move, unless the helper says it copies them first. The
// action table is at the bottom of block.cpp.
#pragma once

#include "runtime/cell.h"

namespace oru::block {

// --- Cell-buffer helpers ----------------------------------------------------

// Cells from the head index to the tail; negative when the index lies past it.
i32 rs_length_q(const Cell& blk);
// Advances the head index by one unless that passes the tail; true when the
// position is then at the tail.
bool rs_next(Cell& blk);
// The cell at the head index; a head index past the tail is set back first.
Cell* rs_head(Cell& blk);
// The tail address (one past the last cell).
Cell* rs_tail(const Cell& blk);
// True when the position equals the tail.
bool rs_tail_q(const Cell& blk);
// The cell at an absolute index, counted from the buffer's first cell.
Cell* rs_abs_at(const Cell& blk, i32 index);
// Cuts the tail at the head position.
void rs_clear(const Cell& blk);
// Cuts the tail at an absolute index.
void rs_set_tail(const Cell& blk, i32 index);
// Appends a copy of the value (which may lie in the same buffer) at the tail
// and returns the new cell.
Cell* rs_append(const Cell& blk, const Cell& value);
// Drops the last cell when there is one; a head index then past the tail is
// set back to it.
void rs_remove_last(Cell& blk);
// Appends copies of the source's cells from its head (no hash! upkeep).
const Cell& rs_append_block(const Cell& dst, const Cell& src);

// The cell after the first cell (from the head) equal to the value under
// compare code 12, or the shared none value; none too when the match is the
// last cell. Valid until the next allocation.
const Cell* select_value(const Cell& blk, const Cell& value);
// Removes the first cell equal to the value (code 12), searching from the
// head index or, with from_start, from the first cell, and closes the gap.
// Returns 0 when the value is absent; else 2 when the removed cell lay at or
// before the head position (the cells from the position moved down one), 1
// when it lay after it.
i32 remove_value(const Cell& blk, const Cell& value, bool from_start);
// The cell after the first any-word cell (word!, set-word!, lit-word!,
// get-word!) with the word's symbol, compared exactly or by canonical symbol;
// the shared none value when absent or when the match is the last cell.
const Cell* select_word(const Cell& blk, const Cell& word, bool exact);

// Inserts a copy of the value at the head index (the first cell with
// at_start), growing the buffer to twice the needed size when short; a hash!
// index follows. With advance the head index moves past the new cell.
void insert_value(Cell& blk, const Cell& value, bool advance, bool at_start);
// Inserts copies of the source's cells (from its head) at the destination's
// index with insert_value, advancing it.
void append_block(Cell& dst, const Cell& src);
// Compiled code that collects values: the first argument slot's value is
// inserted into the block just below the argument base, advancing it.
void insert_arg();
// Appends the second argument slot's value to the block in the first (hash!
// index kept); the block stays the result.
void append_arg();
// Appends the first argument slot's value to the block just below the
// argument base (hash! index kept).
void append_stack_value();

// Makes the cell an empty block! with a fresh buffer of size cells (at least
// 1); the cell reads unset! while the buffer is allocated. Returns the cell.
Cell* make_at(Cell& c, i32 size);
// As make_at (a negative size counts as 1). With fixed the buffer lives
// outside the collector's frames and never moves; otherwise its cells are
// filled with unset!.
Cell* make_fixed_at(Cell& c, i32 size, bool fixed);
// Appends a new empty fixed-buffer block to the parent, or makes it in a
// dedicated global cell when there is no parent (start-up). Returns the cell.
Cell* make_fixed_in(const Cell* parent, i32 size);
// The dedicated global cell of make_fixed_in without a parent; the collector
// keeps what it holds alive.
Cell& fixed_cell();
// Appends a new empty block to the parent, or to the root block when none.
Cell* make_in(const Cell* parent, i32 size);
// Pushes a copy of the block value on the data stack.
Cell* push(const Cell& blk);
// Pushes a new empty block of size cells (1 when size is 0).
Cell* push_only(i32 size);

// Pushes a new block holding copies of the cells from the source's head to
// its tail, of the source's type. With deep, every block! cell (with
// any_type also paren! and the path family) becomes a deep clone of itself
// keeping its header. A block that contains itself raises internal/no-cycle.
Cell* clone(const Cell& blk, bool deep, bool any_type);
// Replaces every cell of the block (a fresh copy) whose type matches the
// datatype or typeset `types`, among the series types and bitset!, object!,
// error! and map!, by its copy, deep when `deep` is set.
void copy_nested_types(const Cell& blk, bool deep, const Cell& types);

// Molds the cells from the head with new-line markers and indentation;
// returns the budget left. A part cell means a limit is given.
i32 mold_each(const Cell& blk, Cell* buffer, bool only, bool all, bool flat, Cell* part, i32 budget,
              i32 indent);
// Three-way comparison of two block-like values under a compare code: -1,
// 0 or 1 (or a cell comparison's -2).
i32 compare_each(Cell* a, Cell* b, i32 op);

// --- Handlers shared with paren! and the path family -------------------------

Cell* make(Cell* proto, Cell* spec, u32 t);
Cell* to(Cell* proto, Cell* spec, u32 t);
i32 form(Cell* value, Cell* buffer, Cell* part, i32 limit);
// Molds a block-like value between `open` and `close` (left out with only).
i32 mold_enclosed(Cell* value, Cell* buffer, const char* open, const char* close, bool only, bool all, bool flat,
                  Cell* part, i32 limit, i32 indent);
Cell* copy(Cell* value, Cell* result, Cell* part, bool deep, Cell* types);
// The value after replacing every series cell of a copy by its deep copy.
void deep_copy_cells(const Cell& blk);

// --- Searching, sorting and set operations (block_search.cpp) -------------

// The find, select, put and sort handlers (paren!, the path family and
// hash! inherit them). find and select match one cell under compare code 12
// (2 under /case, 9 under /same); without /only a datatype! matches cells of
// its type, a typeset! cells of its types and a block-like value the run of
// its cells. A hash! looks single values up through its index.
Cell* find(Cell* series, Cell* value, Cell* part, bool only, bool case_, bool same, bool any, Cell* with,
           Cell* skip, bool last, bool reverse, bool tail, bool match);
Cell* select(Cell* series, Cell* value, Cell* part, bool only, bool case_, bool same, bool any, Cell* with,
             Cell* skip, bool last, bool reverse);
Cell* put(Cell* series, Cell* key, Cell* value, bool case_);
Cell* sort(Cell* series, bool case_, Cell* skip, Cell* compare, Cell* part, bool all, bool reverse, bool stable);

// The flags word of the record comparators: bit 0 reverse (the records are
// compared the other way round), bit 1 whole records; from bit 2 on, with
// whole records the record size in cells, otherwise the offset in the
// record of the one cell compared.
namespace sort_flag {
constexpr u32 reverse = 1, all = 2, shift = 2;
}
// Three-way order of two records of cells under compare code 7 (or 8, case
// sensitive): each cell by its type's compare action; cells that cannot be
// compared order by type number. The first difference decides.
i32 compare_records(const Cell* a, const Cell* b, i32 op, u32 flags);
// The order a comparator function gives two values: it receives cell2,
// then cell1 (cell1 first under reverse), in a frame named
// <compare-callback>; see sort::answer_order.
i32 compare_call(const Cell& cell1, const Cell& cell2, const Cell& fn, u32 flags);

// The set operations (string::set_op codes) on the block-like series in the
// first two argument slots (the second unused by unique): records of `skip`
// cells, matched by their first cell (letter case kept under case_). The
// result, of the first series' type at index 0 (a hash! with an index of
// its own), replaces the first argument, which is returned. skip below 1
// raises script/invalid-refine-arg.
Cell* do_set_op(bool case_, i32 skip, i32 op);

// to block! of a string! loads it as source text. The lexer installs its
// loader (text, result block); until then the conversion raises
// internal/not-done.
using Loader = void (*)(const Cell& text, Cell& result);
extern Loader loader;

// Registers block! (type 5, parent series!).
void init();

}  // namespace oru::block
