// context!: name-to-value tables and binding.
//
// A context is a two-cell series buffer known by its node. Cell 0, the
// context cell (type 14), holds the kind in header bits 11-12 (0 global and
// plain, 1 function, 2 object), flag::ctx_on_stack when the values live on
// the data stack and context::for_object for contexts made for objects; word
// 1 is the word list (a symbols-kind hash table whose block holds one word!
// cell per slot, in slot order) and word 2 the values: the node of a block
// with one cell per slot, or, for values on the data stack, the data-stack
// cell index of the first value plus one while the owning function runs and
// 0 while it does not (a function may start at the stack's first cell).
// Cell 1, the self cell, holds the owning object! or function! (unset! until
// the owner stores itself there).
//
// Invariant: without values on the stack the word list and the values block
// have the same length; every word added appends one unset! value.
//
// Lookups that bind or add compare canonical symbol ids, so they ignore
// letter case while each word keeps its own spelling. The slot of a symbol
// is word 3 of its cell in the word list: in the global context a spelling
// that differs only in case gets its own entry carrying the slot of the first
// spelling, so every spelling reaches one value.
//
// Adding words and values allocates, and any allocation may move buffers:
// value cells handed out are valid until the next allocation. Word cells
// passed by reference and updated (binding, resolving a slot) must not lie
// in a buffer that the call can move when the call adds a word.
#pragma once

#include "interpreter/stack.h"
#include "runtime/cell.h"
#include "runtime/memory.h"

namespace oru::context {

namespace kind {
constexpr u32 global = 0;    // the global context and plain contexts
constexpr u32 function = 1;  // arguments, refinements and locals of a function
constexpr u32 object = 2;
}  // namespace kind

constexpr u32 kind_shift = 11;
constexpr u32 kind_mask = 0x1800;
constexpr u32 on_stack = flag::ctx_on_stack;  // values live on the data stack
constexpr u32 for_object = 0x1000000;         // made for an object (kept through cloning)
// On a word cell of an object's word list: the field has been assigned.
constexpr u32 assigned = 0x2000;

constexpr i32 global_slots = 4000;

// The global context (0 before init_global).
extern Node global;

// --- Access ----------------------------------------------------------------

inline Cell* cell_of(Node ctx) { return memory::buffer(ctx)->cells(); }
inline Cell* self(Node ctx) { return cell_of(ctx) + 1; }
inline u32 kind_of(Node ctx) { return (cell_of(ctx)->header & kind_mask) >> kind_shift; }
inline bool on_stack_q(Node ctx) { return (cell_of(ctx)->header & on_stack) != 0; }
// The word list's hash table.
inline Node word_list(Node ctx) { return cell_of(ctx)->data1; }
// The block of word cells of the word list.
Node word_block(Node ctx);
// Word cell i of the word list.
Cell* word_at(Node ctx, i32 i);
// Number of words (slots).
i32 length(Node ctx);

// The first value cell, or null while a function context's function is not
// running.
inline Cell* values(Node ctx) {
    const Cell& c = *cell_of(ctx);
    // On the stack the reference is the first value's cell index + 1 (0: not running).
    if (c.header & on_stack) return c.data2 ? stack::at_index(c.data2 - 1) : nullptr;
    return memory::buffer(c.data2)->cells();
}

// --- Making ------------------------------------------------------------------

// A new context of `slots` slots (0 taken as 1) of the given kind. With a
// source context the word list starts as a copy of the source's, its word
// cells bound to the new context, and the values (unless on the stack) as
// one unset! per word.
Node create(i32 slots, bool values_on_stack, bool object, Node source, u32 kind);

// A context with one slot for each word!, get-word!, lit-word! and
// refinement! of the spec block from its head (case variants share a slot).
Node make(const Cell& spec, bool values_on_stack, bool object, u32 kind);

// Makes the global context (runtime start-up, right after the symbol table).
void init_global();

// Registers context! (type 14, no parent, no actions).
void init();

// --- Words ---------------------------------------------------------------------

// The slot of the symbol, -1 when absent; with case_ any spelling of the
// same canonical id matches.
i32 find_word(Node ctx, i32 sym, bool case_);

// The word cell of the symbol in the word list (its own spelling's entry
// when looked up exactly), or null.
Cell* find_word_cell(Node ctx, i32 sym, bool case_);

// As find_word; with add, a missing symbol is added (its new slot goes to
// *index and the result is -1).
i32 find_word_in(Node ctx, i32 sym, bool case_, bool add, i32* index);

// The slot of the word's symbol (ignoring case), adding the word (and an
// unset! value, unless the values are on the stack) when absent.
i32 add_word(Node ctx, const Cell& word);

// When the word is absent: adds it with a copy of the value and returns the
// new value cell. Null when it was already there (nothing is stored).
Cell* add_with(Node ctx, const Cell& word, const Cell& value);

// Stores a copy of the value into the word's slot (ignoring case), adding
// the word when absent.
void set_or_add(Node ctx, const Cell& word, const Cell& value);

// Adds every set-word! of the block from its head; true when the context grew.
bool collect_set_words(Node ctx, const Cell& block);

// The global word of a symbol, looked up exactly or ignoring case and added
// when absent. With `spelling`, a word found under another spelling comes
// back carrying the requested symbol (and the shared slot).
Cell add_global_word(i32 sym, bool case_, bool spelling);

// The global word of a symbol (exact lookup, added when absent); in
// root-allocation mode the word is also appended to the root block.
Cell make_global_word(i32 sym);

// --- Values ----------------------------------------------------------------------

// The value cell of the symbol (ignoring case), or null when absent. A
// context whose values live on the stack is looked up in the global
// context instead.
Cell* find_value(i32 sym, Node ctx);

// Stores a copy of the value into the symbol's global slot (exact lookup),
// adding the global word when absent.
void set_global(i32 sym, const Cell& value);

// The symbol's global value cell (ignoring case), or null when absent.
Cell* global_slot(i32 sym);

// The value cell of a word in its own context. Slot -1 reads the self cell
// for the word `self`; any other unresolved word raises script/no-value. A
// function context that is not running raises script/not-in-context, a word
// bound to no context script/not-defined.
Cell* get_slow(const Cell& word);
inline Cell* get(const Cell& word) {
    const Node ctx = word.data1;
    const i32 index = static_cast<i32>(word.data3);
    if (ctx && index >= 0) [[likely]] {
        if (Cell* vals = values(ctx)) [[likely]] return vals + index;
    }
    return get_slow(word);
}

// Calls on-change* of an object: the object, the field's word, its old and
// its new value (all on the data stack). The object module installs it.
using OnChange = void (*)(Cell* object, Cell* word, Cell* old_value, Cell* new_value);
void set_on_change_hook(OnChange hook);

// Writes a copy of the value into the word's slot of ctx and returns the
// slot. A word whose slot is -1 is resolved first (exact lookup, else added
// through add_word) and the slot is stored in the word. Object fields get the
// assigned flag; with notify the owning object's on-change* runs after the
// store. A function context that is not running raises
// script/not-in-context.
Cell* set_in(Cell& word, const Cell& value, Node ctx, bool notify);

// set_in on the word's own context, change handlers on. Inline: a resolved
// word of a context that is no object's (nothing to flag, no handler to
// run) is one store.
Cell* set_slow(Cell& word, const Cell& value);
inline Cell* set(Cell& word, const Cell& value) {
    const Node ctx = word.data1;
    const i32 index = static_cast<i32>(word.data3);
    if (ctx && index >= 0) [[likely]] {
        const Cell& c = *cell_of(ctx);
        if ((c.header & on_stack) || ((c.header & kind_mask) >> kind_shift) != kind::object) {
            if (Cell* vals = values(ctx)) [[likely]] {
                vals[index] = value;
                return vals + index;
            }
        }
    }
    return set_slow(word, value);
}

// Stores an integer! into the word's slot (resolving a slot of -1 as set_in).
void set_integer(Node ctx, Cell& word, i32 value);

// --- Binding -----------------------------------------------------------------------

// When ctx holds the word's symbol (ignoring case), binds the word there and
// returns the slot; otherwise leaves it as it was and returns -1.
i32 bind_word(Node ctx, Cell& word);

// Binds every word of the block, deeply (blocks, parens, paths, hash!),
// skipping series already being bound. With self_, the word! `self` is
// bound to the context with slot -1 (it reads the self cell).
void bind(const Cell& block, Node ctx, bool self_);

// Gives the value (a function or object held where allocation cannot move
// it) a new context of the given kind with the same words, unset! values
// and the old context's on-stack and object flags; the value is stored in
// the new self cell. Returns the new context.
Node clone(Cell& value, u32 kind);

}  // namespace oru::context
