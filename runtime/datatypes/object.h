// object!: records of named fields, their class ids and change handlers.
//
// An object cell is {header type 32, context node, class id, node of the
// change-handler record or 0}. The context (kind 2, made for an object) holds
// the fields; its self cell holds a copy of the object cell, so a field store
// through a bound word can find the owning object and its handlers. Class ids
// are equal for objects made from one another without new fields; ids made
// at run time come from one counter (1000001 first), 0 marks an empty object
// the runtime made.
//
// The change-handler record is a block of two pair! cells, one for
// `on-change*` and one for `on-deep-change*`: word 2 holds the field index
// shifted left 16 bits or'ed with the handler's locals count (index -1, i.e.
// word 2 >= 0xFFFF0000, when the object lacks that handler), word 3 the node
// of the handler's spec block when the count was taken. A handler replaced by
// another function is noticed at its next call and the count taken again.
//
// Stores into fields through words or paths run `on-change*` after the
// store; the ownership tracker runs `on-deep-change*` when a series an object
// owns changes in place. Both handlers run language code: everything handed
// to them lives on the data stack, and any buffer may have moved when they
// return. Two steps need the evaluator, which installs them: evaluating the
// spec block of `make`, and running a handler's code.
//
// error! (and port!) are children of object!: the helpers below keep the
// value's own type byte, so the children can build on them. The action table
// is at the bottom of object.cpp.
#pragma once

#include "runtime/cell.h"

namespace oru::object {

// Header flag of an object's context cell: the object owns its series.
constexpr u32 owner_flag = 0x10000;
// Class ids made at run time start after this one.
constexpr i32 class_id_base = 1000000;

// Cells of a change-handler record.
namespace handler {
constexpr i32 on_change = 0;
constexpr i32 on_deep_change = 1;
}  // namespace handler

inline Node context_of(const Cell& obj) { return obj.data1; }
inline i32 class_of(const Cell& obj) { return static_cast<i32>(obj.data2); }
inline Node record_of(const Cell& obj) { return obj.data3; }
inline Cell make_cell(Node ctx, i32 class_id, Node record, u32 t = type::object) {
    return cell::make(t, ctx, static_cast<u32>(class_id), record);
}

// --- Class ids and fields ----------------------------------------------------

// The next class id.
i32 new_class_id();

// The field index of the word's symbol (ignoring case), -1 when absent.
i32 find_word(const Cell& obj, const Cell& word);
// The field's value cell, or the shared none value when the object lacks the
// field. Valid until the next allocation.
const Cell* rs_select(const Cell& obj, const Cell& word);
// The word cell of field `index` in the context's word list (the catalog of
// errors is read by field position this way).
Cell* get_field(Node ctx, i32 index);
Cell* get_first_word(const Cell& obj);
// The value cell of field `index`; valid until the next allocation.
Cell* field_value(Node ctx, i32 index);
// Stores a copy of the value into field `index`, flagging the field as
// assigned; no change handler runs.
void set_field(Node ctx, i32 index, const Cell& value);
// The first value cell; valid until the next allocation.
Cell* get_values(const Cell& obj);
// Number of fields.
i32 get_size(const Cell& obj);
// Clears the new-line marker of every cell of a values block.
void clear_newlines(Node values);
// Clears the assigned flag of every word of the context's word list.
void clear_set_flags(Node ctx);
// The `set` native on an object: every field takes the value; with a block
// (field i its i-th value, none past the tail) or an object (fields found by
// name) unless `only`. Without `any` an unset! that would be stored raises
// script/need-value with the field's word; with `some` none values are
// skipped. Fields other than the handler fields report to on-change*.
void set_many(Cell& obj, const Cell& value, bool any, bool only, bool some);

// --- Change handlers -------------------------------------------------------------

// A new record from the field indexes (-1 for an absent handler), their
// locals counts and the handlers' spec nodes.
Node make_on_set_record(i32 on_change, i32 on_change_locals, i32 on_deep, i32 on_deep_locals, Node on_change_spec,
                        Node on_deep_spec);
// The field index (-1 when absent) and locals count of a record cell.
i32 handler_index(Node record, i32 which);
i32 handler_locals(Node record, i32 which);
// True when the object has a record whose on-deep-change* index is set.
bool has_on_deep_q(const Cell& obj);
// The record for the context's on-change*/on-deep-change* fields, or 0 when
// it has neither. A handler field holding anything but a function! or
// routine! raises script/bad-field-set with the field's word and the
// value's datatype.
Node build_on_set(Node ctx);

// Runs on-change* with the field's word, its old and its new value; nothing
// when the object has no on-change* handler. A handler field that no longer
// holds a function! raises script/invalid-obj-evt. All four cells should lie
// on the data stack: the handler evaluates.
void fire_on_set(Cell* obj, Cell* word, Cell* old_value, Cell* new_value);
// fire_on_set with the old value the last pushed cell and the new value the
// cell below it.
void fire_on_set_top(Cell* obj, Cell* word);
// The same for the object that is the value of `holder` (a word).
void fire_on_set_word(const Cell& holder, const Cell& word);
// The same for the object in the context's self cell.
void fire_on_set_ctx(Node ctx, const Cell& word);
// Runs the owner's on-deep-change* with the owner, the field's word, the
// changed value, the action's word, the new value (none when null), the
// index and the count. An owner without a record raises
// script/invalid-obj-evt; a handler field that holds no function! is skipped.
void fire_on_deep(const Cell& owner, const Cell& word, const Cell& target, const Cell& action,
                  const Cell* new_value, i32 index, i32 part);

// True when the word's value is an object of the context obj_ctx.
bool holds_object_q(const Cell& word, Node obj_ctx);
// The same for the value at field `index` of ctx.
bool holds_object_at_q(Node ctx, i32 index, Node obj_ctx);

// --- Making and copying ------------------------------------------------------------

// Makes the cell a new empty object: a context of `slots` slots, class 0,
// no record, stored in its self cell. The cell must not lie in a buffer the
// allocation can move (a data-stack cell).
Cell* make_empty_at(Cell& c, i32 slots);
// Pushes an object for the context with the class id and no record, stored
// in the self cell. An empty values block gets one unset! slot per word.
Cell* make_at(Node ctx, i32 class_id);
// Attaches a new record to the object on the stack top, whose context is
// ctx; with an on-deep-change* index (not -1) the object becomes owner of
// its own series. Stores the object in the self cell and returns it.
Cell* push_with_handlers(Node ctx, i32 on_change, i32 on_change_locals, i32 on_deep, i32 on_deep_locals);
// Pushes an object value and stores it in the self cell.
Cell* push(Node ctx, i32 class_id, Node record);
// Builds and attaches the record of the object (a data-stack cell) whose
// context is ctx; with on-deep-change* the object becomes owner of its
// series. Stores the object in its self cell.
void finish(Cell& obj, Node ctx);

// The copy core. *target (a data-stack cell) becomes an object of the
// source's type with a new context: the source's words and values, its
// class id, and its record (none when `rebuild`). With `deep` and no types
// the block, paren, string, file, url, path, tag, email and ref values are
// deep copies; function! values are always given to the new object
// (rebind_function); with `types` the values of those types are copied
// (deep with `deep`), a deep copy of an object already being copied raising
// internal/no-cycle. With `rebuild` the record is built again (finish).
void copy_into(const Cell& source, Cell* target, bool deep, const Cell* types, bool rebuild);
// Copies the source context's series values deeply into the same slots of
// target_ctx, binding copied blocks, parens, paths and hash! values to it
// (self on); with copy_all the other values are copied too.
void duplicate(Node source_ctx, Node target_ctx, bool copy_all);
// Stores each field of the spec object into ctx (adding missing ones), then
// replaces every series value of ctx by a deep copy and gives every
// function! to the object (rebind_function). True when ctx grew.
bool extend_from(Node ctx, const Cell& spec);
// Replaces the function! in field `index` of ctx by a new function with the
// same spec and a deep copy of its body bound to ctx (self on) and then to
// a copy of the function's own context. A function without a body raises
// script/bad-func-def.
void rebind_function(Node ctx, i32 index);

// construct's field setting: consecutive set-words share the next value
// (none at the end); unless `only`, the words true, yes, on, false, no, off
// and none become their values. Nothing is evaluated.
void construct_fields(Node ctx, const Cell& spec, bool only);
// The construct native's object, pushed: a deep copy of the prototype (a
// none prototype: a new empty object with a new class id), then its fields.
Cell* construct(const Cell& proto, const Cell& spec, bool only);

// --- Text ------------------------------------------------------------------------------

// Writes the fields of the object into the buffer string as "word: value"
// pairs, values molded (a word! value with a leading "'"); the on-change*
// and on-deep-change* fields only with `all`. Form (mold off) separates the
// pairs by a newline; mold with `flat` by a space; mold with `indent` writes
// a newline first, each pair on its own line indented to level `tabs`, and
// indents the closing line to tabs - 1 when that is at least 1; mold with
// neither separates them by newlines. Nested values are molded at level
// `tabs`. Writes nothing for an object without fields; stops once the
// budget is spent. Returns the budget left. The object's context is on the
// cycle stack meanwhile.
i32 serialize(const Cell& obj, Cell* buffer, bool only, bool all, bool flat, Cell* part, i32 budget, bool indent,
              i32 tabs, bool mold);

// --- Services of the evaluator -----------------------------------------------------------

// Evaluates a block (already bound), dropping its result: make's spec.
using SpecEvaluator = void (*)(const Cell& body);
void set_spec_evaluator(SpecEvaluator evaluate);
// Runs a function!'s code. The caller has opened the call frame and pushed
// the arguments and locals from stack::arguments on; the callee leaves its
// result in the result slot.
using HandlerCaller = void (*)(const Cell& fn);
void set_handler_caller(HandlerCaller call);

// --- Handlers shared with the children -----------------------------------------------------

Cell* make(Cell* proto, Cell* spec, u32 t);
void reflect(Cell* value, u32 field);
i32 form(Cell* value, Cell* buffer, Cell* part, i32 limit);
i32 mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, i32 limit, i32 indent);
Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* container, Cell* previous, i32 index,
                bool case_, bool get, bool tail, bool notify);
i32 compare(Cell* value1, Cell* value2, i32 op);
Cell* copy(Cell* value, Cell* result, Cell* part, bool deep, Cell* types);
Cell* put(Cell* obj, Cell* key, Cell* value, bool case_);
Cell* select(Cell* obj, Cell* value, Cell* part, bool only, bool case_, bool same, bool any, Cell* with, Cell* skip,
             bool last, bool reverse);
Cell* modify(Cell* target, Cell* field, Cell* value, bool case_);

// Registers object! (type 32, no parent), installs the field-store hook of
// the context module and starts the class ids again from 1000001.
void init();

}  // namespace oru::object
