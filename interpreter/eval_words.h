// The evaluator's word slots: a word's value read and written through what
// is kept of the global context's values and of the innermost running
// function's, checked on every use against memory::moves and
// stack::reference_writes, so that the common read is a compare and a load.
// What is kept lives in evaluator.cpp; everything here is inline, as every
// road of the evaluator reads words.
//
// A slot's address is valid only until the next call that can allocate or
// evaluate: read it, use it, drop it.
#pragma once

#include "interpreter/stack.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/word.h"
#include "runtime/fire.h"
#include "runtime/memory.h"

namespace oru::interpreter::eval {

// --- Global words --------------------------------------------------------------------

// Most words the evaluator reads are bound in the global context, whose
// values are reached through two buffers (the context's, then its values
// block's), one load depending on the next. The evaluator keeps the address
// of the values block's buffer and of its first cell with memory::moves as
// it was then: while moves keeps that value, neither the buffer nor its head
// has moved (a collection, the block growing and a restarted runtime all
// bump it), so a read is the word's context compared with the kept one, one
// compare of moves and the slot's load. On a mismatch the slow road reads
// through the context again and refreshes what is kept. The node of the
// values block is the context's for its whole life.
// ctx is never a node (all ones) while nothing is kept, so that no word,
// not even an unbound one (context 0), matches it.
struct GlobalValues {
    Node ctx = ~0u;
    u64 moves = 0;
    const SeriesBuffer* buffer = nullptr;
    Cell* cells = nullptr;
};

extern GlobalValues globals;

// Reads the global context again and keeps its values (slow road).
void refresh_globals();

// The global values block when the word is bound there (slot resolved) and
// what is kept is current; else null. Only a word of the kept context
// refreshes what is kept here, so that words of other contexts pay one
// compare; word_slot and set_word_value take the first global word they
// meet while nothing is kept (or another global context is) and keep it.
inline const SeriesBuffer* global_values(const Cell& w) {
    if (word::context_of(w) == globals.ctx && word::index_of(w) >= 0) [[likely]] {
        if (globals.moves == memory::moves) [[likely]] {
            // Kept only with its buffer (refresh_globals), so never null
            // here: callers testing the result then need no second test.
            if (!globals.buffer) __builtin_unreachable();
            return globals.buffer;
        }
        refresh_globals();
    }
    return nullptr;
}

// On the slow road: keeps the global values when the word is a global one
// while they are not kept.
inline void keep_globals_for(const Cell& w) {
    const Node ctx = word::context_of(w);
    if (ctx != globals.ctx && ctx && ctx == context::global) [[unlikely]] refresh_globals();
}

// The innermost running function's context and where its values start on
// the data stack (run_function sets it right after it stores the values
// reference, and puts the outer one back), so that its words are read the
// same way. What is kept is current while stack::reference_writes keeps the
// value it had when it was made: every other write of a function context's
// values reference (a frame opened with mark_func, closed or dropped) bumps
// it. The evaluator's own writes keep it in step: run_function makes and
// restores the whole record, and land_on puts back only references of
// frames whose calls have ended, each the reference in force where the
// frame was opened. On a mismatch the context's cell is read again.
// ctx is never a node (all ones) while no function runs.
struct RunningFunction {
    Node ctx = ~0u;
    u32 ref = 0;       // the context's values reference: cell index + 1
    Cell* values = nullptr;
    u64 writes = stack::reference_writes;  // as it was when the record was made
};
extern RunningFunction running;

// Reads the running function's context cell again: the record is brought up
// to date when the context's values are on the stack, else null.
Cell* refresh_running(const Cell& w);

[[gnu::always_inline]] inline Cell* running_slot(const Cell& w) {
    if (word::context_of(w) != running.ctx || word::index_of(w) < 0) return nullptr;
    if (running.writes != stack::reference_writes) [[unlikely]] return refresh_running(w);
    // A record naming a context always has its values (a place on the data
    // stack), so that a caller's test of the slot is no second test.
    if (!running.values) __builtin_unreachable();
    return running.values + word::index_of(w);
}

// context::get through the kept global values and running function.
inline Cell* word_slot(const Cell& w) {
    if (global_values(w)) [[likely]] return globals.cells + word::index_of(w);
    if (Cell* slot = running_slot(w)) return slot;
    keep_globals_for(w);
    return context::get(w);
}

// context::set through the kept global values and running function.
[[gnu::always_inline]] inline void set_word_value(Cell& w, const Cell& value) {
    if (global_values(w)) [[likely]] {
        globals.cells[word::index_of(w)] = value;
        return;
    }
    if (Cell* slot = running_slot(w)) {
        *slot = value;
        return;
    }
    keep_globals_for(w);
    context::set(w, value);
}

// The value a word reads for evaluation: unset raises script/no-value.
inline const Cell* lookup(const Cell& w) {
    const Cell* v = word_slot(w);
    if (cell::type_of(*v) == type::unset) [[unlikely]] fire(ErrorId::script_no_value, w);
    return v;
}

// The value of a bound word without raising anything (the infix lookahead):
// null when the word is unbound, unknown or its function is not running.
const Cell* peek_slow(const Cell& w, Node ctx, i32 i);

// The common case reads the slot straight from a values block: its length
// is the word list's (a context's invariant), so the bound check needs no
// word-list lookup.
inline const Cell* peek(const Cell& w) {
    if (const SeriesBuffer* b = global_values(w)) [[likely]] {
        const i32 i = word::index_of(w);
        return i < static_cast<i32>((b->tail - b->head) / sizeof(Cell)) ? globals.cells + i : nullptr;
    }
    const Node ctx = word::context_of(w);
    if (ctx == 0) return nullptr;
    const i32 i = word::index_of(w);
    const Cell& c = *context::cell_of(ctx);
    if (i < 0 || (c.header & context::on_stack)) [[unlikely]]
        return peek_slow(w, ctx, i);
    const SeriesBuffer* vals = memory::buffer(c.data2);
    if (i >= static_cast<i32>((vals->tail - vals->head) / sizeof(Cell))) return nullptr;
    return reinterpret_cast<const Cell*>(const_cast<SeriesBuffer*>(vals)->head_ptr()) + i;
}

// Within one computation that allocates nothing, what is kept of the global
// values, once found current, stays current: kept_globals makes
// global_values' check once and gives the count of values (-1 when the
// check fails or nothing is kept), and kept_slot then reads a word of the
// global context with the context test alone (null otherwise: the word
// goes the usual way). What is kept must be the global context's: then no
// read in between can refresh it (global_values refreshes only on a failed
// check or for a global context other than the kept one).
inline i32 kept_globals() {
    // ctx is all ones while nothing is kept, never the global context's node.
    if (globals.ctx != context::global) return -1;
    if (globals.moves != memory::moves) return -1;
    const SeriesBuffer* b = globals.buffer;
    return static_cast<i32>((b->tail - b->head) / sizeof(Cell));
}
inline Cell* kept_slot(const Cell& w, i32 kept) {
    const i32 i = word::index_of(w);
    return word::context_of(w) == globals.ctx && i >= 0 && i < kept ? globals.cells + i : nullptr;
}

// The slot a word reads without raising anything: through the kept global
// values or running function, else its context's values; null when the
// word is unbound or unresolved or its context has no values.
[[gnu::always_inline]] inline const Cell* quiet_slot(const Cell& w) {
    if (global_values(w)) [[likely]] return globals.cells + word::index_of(w);
    if (Cell* slot = running_slot(w)) return slot;
    const Node ctx = word::context_of(w);
    const i32 i = word::index_of(w);
    if (!ctx || i < 0) return nullptr;
    const Cell* values = context::values(ctx);
    return values ? values + i : nullptr;
}

// The value of a word that may hold an op!, as peek reads it: a global
// word's slot straight from the kept values, whose length its index is
// within (word_slot reads it the same way), else peek's.
[[gnu::always_inline]] inline const Cell* op_peek(const Cell& w) {
    if (global_values(w)) [[likely]] return globals.cells + word::index_of(w);
    return peek(w);
}

// A word's slot through the kept global values or running function when
// what is kept is current, with no call to bring it up to date; else null.
[[gnu::always_inline]] inline const Cell* kept_word_slot(const Cell& w) {
    const Node ctx = word::context_of(w);
    const i32 i = word::index_of(w);
    if (i < 0) return nullptr;
    if (ctx == globals.ctx && globals.moves == memory::moves) return globals.cells + i;
    if (ctx == running.ctx && running.writes == stack::reference_writes) return running.values + i;
    return nullptr;
}

}  // namespace oru::interpreter::eval
