// error!: language errors as objects, the error catalog they consult, and
// their report.
//
// An error! (type 34, child of object!) is an object cell {header, context
// node, class id 1, 0} whose context is a copy of the standard error
// prototype: the ten fields code, type, id, arg1, arg2, arg3, near, where,
// stack, files, always at those positions. `type` and `id` are words bound to
// the catalog: an object of the ten categories (throw ... internal), each an
// object whose fields are code, type (the display text), then one message
// per id. An error's code is 100 x category position + id position - 2
// (counting the catalog fields from 0, so the first id has the round code).
//
// The catalog and the prototype are built at start-up from error_catalog.h
// (init_catalog) and kept in the root block; start-up hands the catalog to
// system/catalog/errors. Errors read system/catalog/errors,
// system/standard/error, system/state/stack-trace and
// system/state/source-files through the system object on each use
// (system_object.h); the built objects and the two settings below stand in
// while the system object lacks a field.
//
// Making an error allocates, and any allocation may move buffers: fields are
// read through the context node again after every call that can allocate,
// and the errors made here are pushed on the data stack. The action table is
// at the bottom of error.cpp.
#pragma once

#include "runtime/cell.h"
#include "runtime/error_ids.h"

namespace oru::error {

// Field positions in an error's context.
namespace field {
constexpr i32 code = 0, type = 1, id = 2, arg1 = 3, arg2 = 4, arg3 = 5, near = 6, where = 7, stack = 8, files = 9;
constexpr i32 count = 10;
}  // namespace field

constexpr u32 class_id = 1;

// The position of the `stack` field.
constexpr i32 stack_index() { return field::stack; }

// What stands in for system/state/stack-trace while the system object has
// no such field: an integer! (1). A positive integer makes the report list
// call frames: 1 the function calls, 2 and above every named frame.
extern Cell stack_trace;
// What stands in for system/state/source-files: a block! of the files being
// run (none); capture_stack copies it into `files` when it is a non-empty
// block.
extern Cell source_files;

// --- The catalog -----------------------------------------------------------

// Builds the catalog and the standard error prototype (objects kept in the
// root block). Runtime start-up calls it once symbols, contexts and the data
// stack exist; raising an error before then builds them on first use.
void init_catalog();
bool ready();

// The catalog object and the standard error prototype in use: the system
// object's when it holds them, else the built ones (none before
// init_catalog).
Cell catalog();
Cell standard();
// The built objects (the cells must be object!s); init_catalog sets them.
void set_catalog(const Cell& catalog);
void set_standard(const Cell& standard);

// --- Making errors -----------------------------------------------------------

// The error internal/no-memory raises: one error! made when the catalog and
// the prototype are set and kept in the root block, since making an error
// allocates and the allocation that failed would fail again. Each raise
// reuses it. None before the catalog exists.
Cell no_memory_error();

// A new error! of the id, by catalog position, with the arguments given
// (null: none), pushed on the data stack; returns the stack cell. Raises
// nothing of its own: a catalog without the position leaves unbound words.
Cell* create(ErrorId id, const Cell* arg1 = nullptr, const Cell* arg2 = nullptr, const Cell* arg3 = nullptr);
// The same from the category and id words (make error! [type id]): a word
// that names no category or id raises script/invalid-spec-field.
Cell* create(const Cell& type_word, const Cell& id_word, const Cell* arg1 = nullptr, const Cell* arg2 = nullptr,
             const Cell* arg3 = nullptr);

// make error!: an integer! code, a block [category id], a block of set-words
// and values, or a string (user/message with it as arg1). The new error is
// pushed and returned.
Cell* make(Cell* proto, Cell* spec, u32 type);

// Evaluates a block, for make error! with a block of set-words. The evaluator
// installs it; until then each set-word takes the value that follows it as
// it stands (a lit-word as its word).
using EvalBlock = void (*)(const Cell& block);
void set_eval_hook(EvalBlock hook);

// --- Fields ----------------------------------------------------------------------

// True for an error! cell with a context.
bool error_q(const Cell& value);
// The value cell of field i (valid until the next allocation).
Cell* field_at(const Cell& error, i32 i);
// The error's code field as an id (internal/invalid-error when it is no
// integer! or no catalog code).
ErrorId id_of(const Cell& error);
// Stores the value in `where` only while `where` is none.
void set_where(const Cell& error, const Cell& value);
// The symbols of the `type` and `id` words (0 when they are no words).
i32 get_type(const Cell& error);
i32 get_id(const Cell& error);

// The n-th (from 0) word!, lit-word!, get-word! or refinement! of the spec of
// the function being called (the value of the innermost named frame's name:
// native!, action!, op!, function! or routine!), or none.
Cell get_call_argument(i32 n);

// Turns an integer! `stack` (the frame count when raised) into a block of the
// frame names (stack::frame_words) and copies a non-empty source_files into
// `files`; nothing for other values.
void capture_stack(const Cell& error);

// --- Action handlers -------------------------------------------------------------

// The report: "*** <type>: <message>", "\n*** Where: ...", "\n*** Near : ..."
// and, when due, the Stack and Files lines. Returns the budget left.
i32 form(Cell* value, Cell* buffer, Cell* part, i32 limit);
i32 mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, i32 limit, i32 indent);
i32 compare(Cell* value1, Cell* value2, i32 op);

// Registers error! (type 34, parent object!).
void init();

}  // namespace oru::error
