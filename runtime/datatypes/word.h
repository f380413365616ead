// The word family: word! (15), set-word! (16), lit-word! (17), get-word!
// (18), refinement! (19) and issue! (20).
//
// All six share one cell: word 1 the context node the word is bound to (0
// for an unbound refinement), word 2 the symbol id, word 3 the slot in that
// context (-1 until resolved: the symbol is then looked up on the first
// write). They differ in how they mold, which of them the evaluator reads or
// writes, and in their make, to and compare rules. The makers below build
// words for the runtime, the boot program and compiled code; the runtime
// calls read and write slots with the unset checks of the evaluator
// (script/no-value reading an unset value, script/need-value setting one,
// script/not-defined for a word bound nowhere or a local of a function that
// is not running, script/not-in-context writing one).
//
// Word handles are cells, returned by value: a copy of a word cell reaches
// the same slot as the cell itself. Value cells handed out are valid until
// the next allocation. The action tables are at the bottom of word.cpp.
#pragma once

#include "runtime/cell.h"

namespace oru::word {

inline bool any_word_type_q(u32 t) { return t >= type::word && t <= type::issue; }

inline i32 symbol_of(const Cell& w) { return static_cast<i32>(w.data2); }
inline i32 index_of(const Cell& w) { return static_cast<i32>(w.data3); }
inline Node context_of(const Cell& w) { return w.data1; }

// --- Makers ------------------------------------------------------------------

// A word! of the symbol bound in the global context, added there when absent.
Cell of_symbol(i32 sym);

// Interns the name and returns its global word (found ignoring case, with
// the name's own spelling); in root-allocation mode the word is also
// appended to the root block.
Cell load(const char* name);

// Writes of_symbol(sym) into the cell (which must not lie in a buffer that
// adding a global word can move: a data-stack cell or a local).
void make_at(i32 sym, Cell* cell);
// Appends of_symbol(sym) to the block and returns the new cell.
Cell* make_in(i32 sym, const Cell& block);
Cell* make_in_from_name(const char* name, const Cell& block);
Cell* push_symbol(i32 sym);
// Pushes a copy of the word.
Cell* push(const Cell& word);
// The word cell at slot `index` of the context's word list, and a pushed copy.
Cell* context_word_at(Node ctx, i32 index);
Cell* push_context_word(Node ctx, i32 index);
// The context's word for the symbol (exact lookup), else the global word.
Cell find_or_global(Node ctx, i32 sym);
// Appends a copy of the word to the root block.
void keep(const Cell& word);
// Makes the predefined word cells (runtime/words.h) what loading their names
// gives: global words keeping their spellings, and issues of the global
// context (slot -1); the refinements stay unbound. In root-allocation mode
// each cell is also appended to the root block. For start-up, right after
// the predefined words are interned (the global context exists by then).
void bind_predefined();

// --- Reading and writing values ----------------------------------------------------

// The value cell of slot `index`, on the data stack when the values live
// there; script/not-defined (with the slot's word) while a function context
// is not running.
Cell* value_at(Node ctx, i32 index);
Cell* get_value(Node ctx, i32 index);
// Pushes a copy of that value.
Cell* push_local(Node ctx, i32 index);

// Pushes a copy of the word's value; an unset! value raises script/no-value.
Cell* get(const Cell& word);
// Pushes a copy of the word's value, unset! included (the get-word reading).
Cell* push_value(const Cell& word);
// The word's value; an unset! value raises script/no-value.
Cell* get_in_object(const Cell& word);

// Sets the word in its own context to the last pushed value and returns the
// slot; an unset! value raises script/need-value and changes nothing.
Cell* set_checked(Cell& word);
// set_checked, then the stack top goes back to the argument base.
Cell* set(Cell& word);
// The word is the first argument of the current call and the value the
// second: set_checked's rule, then the value goes into the result slot.
void set_from_args();

// Stores the last pushed value into slot `index` and returns the slot; an
// unset! value raises script/need-value with the slot's word.
Cell* set_value(Node ctx, i32 index);
// Stores the last pushed value into slot `index` without the unset check
// (an object's field word gets the assigned flag), then the stack top goes
// back to the argument base.
Cell* set_field(Node ctx, i32 index);
// The same, leaving the stack as it is.
Cell* set_field_keep(Node ctx, i32 index);
// Pushes a copy of the slot's old value, then stores the value (the last
// pushed value before that push) as set_field_keep does.
Cell* set_field_push_old(const Cell& value, Node ctx, i32 index);
// Stores the current call's result slot as set_field_keep does.
Cell* set_field_from_result(Node ctx, i32 index);
// Copies the result slot into *out; an unset! result raises script/need-value.
void copy_result_checked(Cell* out);

// --- Names ----------------------------------------------------------------------------

// Pushes a string! sharing the symbol's cached name string, head 0.
Cell* push_as_string(const Cell& word);
// The symbol cell of the word, its cached string made.
Cell* symbol_cell(const Cell& word);
// The type number of the first value the lexer scans from the word's name.
i32 scan_type(const Cell& word);

// What converting text into words needs from the lexer, which installs it.
// Until then those conversions raise internal/not-done.
struct LexerHooks {
    // The type number of the first value scanned from UTF-8 text (0 for
    // none, error!'s on a syntax error). Raised errors (no memory) go on.
    i32 (*scan_type)(const u8* utf8, i32 len);
    // Loads the text of a string! into *out (a data-stack cell): the first
    // value; unset! when the text holds none; none! when the lexer stopped
    // before the end of the text.
    void (*load_value)(const Cell& text, Cell* out);
};
void set_lexer_hooks(const LexerHooks& hooks);

// Registers word! (parent symbol!).
void init();

}  // namespace oru::word

// The other word types: each operation is the word! one with the type
// replaced (flags kept). set: stores the value through the word's own
// context (change handlers on) and returns it; get: the word's value,
// unset! included (get-word! pushes a copy).

namespace oru::lit_word {
Cell* make_in(const char* name, const Cell& block);
Cell load(const char* name);
Cell* push(const Cell& word);
Cell* push_context_word(Node ctx, i32 index);
Cell* set(Cell& word, Cell* value);
Cell* get(const Cell& word);
void init();  // lit-word! (parent word!)
}  // namespace oru::lit_word

namespace oru::set_word {
Cell* make_in(const char* name, const Cell& block);
Cell load(const char* name);
Cell* push(const Cell& word);
Cell* push_context_word(Node ctx, i32 index);
Cell* set(Cell& word, Cell* value);
Cell* get(const Cell& word);
// word::set_value, then the stack top goes back to the argument base.
Cell* set(Node ctx, i32 index);
void init();  // set-word! (parent word!)
}  // namespace oru::set_word

namespace oru::get_word {
Cell* make_in(const char* name, const Cell& block);
Cell load(const char* name);
Cell* push(const Cell& word);
Cell* push_context_word(Node ctx, i32 index);
Cell* set(Cell& word, Cell* value);
Cell* get(const Cell& word);  // pushes the copy
void init();  // get-word! (parent word!)
}  // namespace oru::get_word

namespace oru::refinement {
Cell* make_in(const char* name, const Cell& block);
// An unbound refinement (context 0, slot -1), appended to the root block.
Cell load(const char* name);
Cell* push(const Cell& word);
Cell* push_context_word(Node ctx, i32 index);
Cell* set(Cell& word, Cell* value);
Cell* get(const Cell& word);
void init();  // refinement! (parent word!)
}  // namespace oru::refinement

namespace oru::issue {
// An issue! of the symbol: global context, slot -1.
Cell of_symbol(i32 sym);
// Interns the name; in root-allocation mode the issue is appended to the
// root block, else pushed. Returns it.
Cell load(const char* name);
void make_at(i32 sym, Cell* cell);
Cell* make_in(i32 sym, const Cell& block);
Cell* push(const Cell& issue);
void init();  // issue! (parent word!)
}  // namespace oru::issue
