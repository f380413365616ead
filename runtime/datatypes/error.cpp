// error!: making error values, the catalog objects, the report form and the
// action table.
//
// Every error is a copy of the standard prototype's context typed error!; its
// `type` and `id` words name a category of the catalog and a message of that
// category. Allocation may move any buffer: field cells are fetched through
// the context node after each call that can allocate, values being written
// are copied onto the data stack first, and what is made here is pushed
// there until it is reachable. The action table is at the bottom.
#include "runtime/datatypes/error.h"

#include "interpreter/actions.h"
#include "interpreter/stack.h"
#include "runtime/calls.h"
#include "runtime/cycles.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/object.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/word.h"
#include "runtime/error_catalog.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/registry.h"
#include "runtime/system_object.h"

#include <cstring>

namespace oru::error {

Cell stack_trace = cell::integer(1);
Cell source_files = none::value;

namespace {

Cell catalog_cell = none::value;
Cell standard_cell = none::value;
EvalBlock eval_hook = nullptr;

// The symbols the catalog and the report look for, interned by init_catalog.
struct Symbols {
    i32 fields[field::count];
    i32 code, type;       // the first two fields of a category
    i32 syntax;           // its arguments are formed, not molded
    i32 internal, invalid_error;
};
Symbols syms{};

constexpr const char* field_spellings[field::count] = {"code", "type",  "id",    "arg1",  "arg2",
                                                       "arg3", "near",  "where", "stack", "files"};

// Cuts of the report: each message argument, and the Near and Files values.
constexpr i32 argument_cut = 80;
constexpr i32 near_cut = 40;

// Pops what a step pushed, whatever it left behind; while a throw unwinds
// the top stays where the unwinding put it (above the error it pushed).
using StackMark = stack::Mark;

inline bool word_q(const Cell& c) { return word::any_word_type_q(cell::type_of(c)); }
inline bool object_like_q(const Cell& c) {
    const u32 t = cell::type_of(c);
    return (t == type::object || t == type::error) && c.data1 != 0;
}

// system/catalog/errors and system/standard/error, read through the system
// object on each use; the objects built here stand in while the system
// object lacks them (before start-up builds it, or after a script replaced
// a field with something else).
system_object::Path catalog_path{"catalog", "errors"};
system_object::Path standard_path{"standard", "error"};
system_object::Path stack_trace_path{"state", "stack-trace"};
system_object::Path source_files_path{"state", "source-files"};

Node catalog_ctx() {
    const Cell* c = system_object::select(catalog_path);
    if (c && object_like_q(*c)) return c->data1;
    return object_like_q(catalog_cell) ? catalog_cell.data1 : 0;
}

// Errors read their fields by position: a prototype must have them all.
Node standard_ctx() {
    const Cell* s = system_object::select(standard_path);
    if (s && object_like_q(*s) && context::length(s->data1) >= field::count) return s->data1;
    return object_like_q(standard_cell) ? standard_cell.data1 : 0;
}

// system/state/stack-trace, or the setting that stands in for it.
Cell stack_trace_setting() {
    const Cell* v = system_object::select(stack_trace_path);
    return v ? *v : stack_trace;
}

Cell source_files_setting() {
    const Cell* v = system_object::select(source_files_path);
    return v ? *v : source_files;
}

// A word of the symbol bound to slot `slot` of ctx.
inline Cell bound_word(Node ctx, i32 slot) {
    return cell::make(type::word, ctx, context::word_at(ctx, slot)->data2, static_cast<u32>(slot));
}

// The value of slot i of ctx (an object's context: values in a block).
inline Cell* slot(Node ctx, i32 i) { return context::values(ctx) + i; }

i32 put(Cell* buffer, const char* text) { return string::concatenate_literal(*buffer, text); }

// --- Building the catalog ----------------------------------------------------

// A new object context of `slots` slots whose object is pushed (so that it
// stays reachable while its fields are made); returns the stack cell.
Cell* push_object(i32 slots) {
    Cell* obj = stack::push(none::value);
    const Node ctx = context::create(slots, false, true, 0, context::kind::object);
    *obj = object::make_cell(ctx, object::new_class_id(), 0);
    *context::self(ctx) = *obj;
    return obj;
}

// Adds a field holding a copy of the value (which must not lie in a buffer
// the addition can move).
void add_field(Node ctx, i32 sym, const Cell& value) {
    const i32 i = context::add_word(ctx, stack::word(sym));
    *slot(ctx, i) = value;
}

// A new string of ASCII text, pushed.
Cell* push_text(const char* text) {
    Cell* s = stack::push(none::value);
    string::make_at(*s, static_cast<i32>(std::strlen(text)));
    string::concatenate_literal(*s, text);
    return s;
}

Cell argument_word(const error_catalog::MessagePart& p) {
    const u32 t = p.kind == error_catalog::PartKind::get_word ? type::get_word : type::word;
    return cell::make(t, 0, static_cast<u32>(syms.fields[field::arg1 + p.arg - 1]), 0xFFFFFFFF);
}

// The message of an entry as the catalog keeps it, pushed.
Cell* push_message(const error_catalog::Entry& e) {
    using error_catalog::PartKind;
    switch (e.shape()) {
        case error_catalog::Shape::string: return push_text(e.parts[0].text);
        case error_catalog::Shape::word: return stack::push(argument_word(e.parts[0]));
        case error_catalog::Shape::block: break;
    }
    Cell* blk = stack::push(none::value);
    block::make_at(*blk, e.count);
    for (int i = 0; i < e.count; i++) {
        const error_catalog::MessagePart& p = e.parts[i];
        StackMark mark;
        const Cell part = p.kind == PartKind::text ? *push_text(p.text) : argument_word(p);
        block::rs_append(*blk, part);
    }
    return blk;
}

void intern_symbols() {
    for (i32 i = 0; i < field::count; i++) syms.fields[i] = symbol::make(field_spellings[i]);
    syms.code = syms.fields[field::code];
    syms.type = syms.fields[field::type];
    syms.syntax = symbol::make("syntax");
    syms.internal = symbol::make("internal");
    syms.invalid_error = symbol::make("invalid-error");
}

// The catalog and the prototype live in the root block, where the collector
// keeps them; the cells here are their copies and the record numbers say
// where. A runtime started again has a new root block, which no longer holds
// them there: ready() notices, and they are built again.
i32 catalog_record = -1;
i32 standard_record = -1;
// The no-memory error, made ahead of need (see no_memory_error), and the
// memory manager it was made under.
i32 no_memory_record = -1;
u32 no_memory_generation = 0;

i32 keep(const Cell& value) {
    const Node root = root_block();
    if (!root) return -1;
    const i32 n = static_cast<i32>(memory::buffer(root)->length());
    *memory::alloc_tail(root) = value;
    return n;
}

bool kept(i32 record, const Cell& value) {
    const Node root = root_block();
    if (!root || record < 0 || static_cast<u32>(record) >= memory::buffer(root)->length()) return false;
    const Cell& c = memory::buffer(root)->cells()[record];
    return c.header == value.header && c.data1 == value.data1 && c.data2 == value.data2 && c.data3 == value.data3;
}

// --- Catalog lookups -----------------------------------------------------------

// The context of category position `pos`, or 0.
Node category_at(i32 pos) {
    const Node cat = catalog_ctx();
    if (!cat || pos < 0 || pos >= context::length(cat)) return 0;
    const Cell& c = *slot(cat, pos);
    return object_like_q(c) ? c.data1 : 0;
}

// The catalog position of the category named by the word, or -1.
i32 category_position(const Cell& word) {
    const Node cat = catalog_ctx();
    if (!cat || !word_q(word)) return -1;
    const i32 pos = context::find_word(cat, word::symbol_of(word), true);
    return pos >= 0 && category_at(pos) ? pos : -1;
}

// The position of the id named by the word in the category, or -1. The
// first two fields (code and type) are no ids.
i32 id_position(Node category, const Cell& word) {
    if (!category || !word_q(word)) return -1;
    const i32 pos = context::find_word(category, word::symbol_of(word), true);
    return pos >= 2 ? pos : -1;
}

// The word naming catalog entry (category, position), bound where it lives;
// an unbound word of the built-in spelling when the catalog lacks it.
Cell category_word(i32 pos, ErrorId fallback) {
    if (category_at(pos)) return bound_word(catalog_ctx(), pos);
    const u32 c = static_cast<u32>(category_of(fallback));
    const char* name = c < error_category_count ? error_catalog::categories[c].spelling : "internal";
    return stack::word(symbol::make(name));
}

Cell id_word(i32 category, i32 pos, ErrorId fallback) {
    const Node cat = category_at(category);
    if (cat && pos >= 2 && pos < context::length(cat)) return bound_word(cat, pos);
    const error_catalog::Entry* e = error_catalog::find(fallback);
    return stack::word(symbol::make(e ? e->spelling : "invalid-error"));
}

// --- Making ------------------------------------------------------------------------

// A fresh error: a copy of the standard prototype's context typed error!,
// pushed.
Cell* push_new_error() {
    if (!ready()) init_catalog();
    const Node proto = standard_ctx();
    const Node ctx = context::create(field::count, false, true, proto, context::kind::object);
    const i32 n = context::length(proto);
    Cell* src = context::values(proto);
    Cell* dst = context::values(ctx);
    for (i32 i = 0; i < n; i++) dst[i] = src[i];
    // Pushed only now (nothing allocates in between), so that an overflow's
    // few cells of room hold the arguments and the error.
    Cell* e = stack::push(object::make_cell(ctx, class_id, 0, type::error));
    *context::self(ctx) = *e;
    return e;
}

void set_arguments(Node ctx, const Cell* a1, const Cell* a2, const Cell* a3) {
    const Cell* args[3] = {a1, a2, a3};
    for (i32 i = 0; i < 3; i++) *slot(ctx, field::arg1 + i) = args[i] ? *args[i] : none::value;
}

[[noreturn]] void invalid_spec_field(i32 which) {
    fire(ErrorId::script_invalid_spec_field, stack::word(syms.fields[which]));
}

// Sets type, id and code of the error from its category and id words, as
// make error! with a block does: a word that names no category or id of it
// raises invalid-spec-field.
void set_code_from_words(Node ctx) {
    const Cell type_word = *slot(ctx, field::type);
    const i32 cat = category_position(type_word);
    if (cat < 0) invalid_spec_field(field::type);
    const Cell id = *slot(ctx, field::id);
    const i32 pos = id_position(category_at(cat), id);
    if (pos < 0) invalid_spec_field(field::id);
    *slot(ctx, field::code) = cell::integer(100 * cat + pos - 2);
}

// The set-words of the spec, each taking the value after it as it stands
// (a lit-word becoming its word): what make error! does until the evaluator
// installs its hook.
void set_fields_literally(Node ctx, const Cell& spec) {
    const Node n = cell::node(spec);
    for (i32 i = cell::head_index(spec); i < static_cast<i32>(memory::buffer(n)->length()); i++) {
        const Cell c = memory::buffer(n)->cells()[i];
        if (cell::type_of(c) != type::set_word) continue;
        Cell v = i + 1 < static_cast<i32>(memory::buffer(n)->length()) ? memory::buffer(n)->cells()[i + 1]
                                                                       : none::value;
        if (cell::type_of(v) == type::set_word) continue;
        if (cell::type_of(v) == type::lit_word) cell::set_type(v, type::word);
        const i32 f = context::find_word(ctx, word::symbol_of(c), true);
        if (f >= 0) *slot(ctx, f) = v;
    }
}

Cell* make_from_code(const Cell& spec) {
    Cell* e = push_new_error();
    const i32 code = static_cast<i32>(spec.data2);
    const Node cat_ctx = catalog_ctx();
    if (code < 0 || code / 100 >= context::length(cat_ctx) || !category_at(code / 100))
        fire(ErrorId::script_out_of_range, spec);
    const i32 cat = code / 100, pos = code % 100 + 2;
    const Node ctx = e->data1;
    *slot(ctx, field::code) = spec;
    *slot(ctx, field::type) = bound_word(cat_ctx, cat);
    const Node category = category_at(cat);
    if (pos >= context::length(category)) fire(ErrorId::script_out_of_range, spec);
    *slot(ctx, field::id) = bound_word(category, pos);
    return e;
}

Cell* make_from_block(const Cell& spec) {
    const Node n = cell::node(spec);
    const i32 head = cell::head_index(spec);
    const i32 len = block::rs_length_q(spec);
    const Cell first = len > 0 ? memory::buffer(n)->cells()[head] : none::value;
    switch (cell::type_of(first)) {
        case type::word: {
            const i32 cat = category_position(first);
            if (cat < 0) invalid_spec_field(field::type);
            if (len < 2) invalid_spec_field(field::id);
            const Cell second = memory::buffer(n)->cells()[head + 1];
            if (cell::type_of(second) != type::word) fire(ErrorId::script_invalid_arg, second);
            const Node category = category_at(cat);
            const i32 pos = id_position(category, second);
            if (pos < 0) invalid_spec_field(field::id);
            Cell* e = push_new_error();
            const Node ctx = e->data1;
            *slot(ctx, field::code) = cell::integer(100 * cat + pos - 2);
            *slot(ctx, field::type) = bound_word(catalog_ctx(), cat);
            *slot(ctx, field::id) = bound_word(category_at(cat), pos);
            return e;
        }
        case type::set_word: {
            Cell* e = push_new_error();
            const Node ctx = e->data1;
            context::bind(spec, ctx, true);
            if (eval_hook) eval_hook(spec);
            else set_fields_literally(ctx, spec);
            set_code_from_words(ctx);
            return e;
        }
        default:
            // The offending value goes with the error, so the report says
            // what was wrong.
            fire(ErrorId::internal_invalid_error, first);
    }
}

// --- The report ---------------------------------------------------------------------

// Writes a copy of the value into the buffer, formed or molded (only and
// flat as given), and cuts what it wrote to `cut` characters. Returns the
// budget the handler left, counted from `cut`.
i32 write_cut(const Cell& value, Cell* buffer, bool mold, bool only, bool flat, i32 cut) {
    StackMark mark;
    const i32 before = string::rs_abs_length_q(*buffer);
    Cell part = cell::integer(cut);
    Cell* v = stack::push(value);
    Cell* p = stack::push(part);
    const i32 left = mold ? actions::mold(v, buffer, only, false, flat, p, cut, 0) : actions::form(v, buffer, p, cut);
    if (string::rs_abs_length_q(*buffer) > before + cut)
        string::rs_truncate(memory::buffer(cell::node(*buffer)), before + cut);
    return left;
}

// Forms a copy of the value into the buffer; returns the budget left. A
// string goes in as it is.
i32 write_formed(const Cell& value, Cell* buffer, i32 budget) {
    // A copy: the value may lie in a buffer that growing the text moves.
    const Cell v = value;
    if (cell::type_of(v) == type::string)
        return budget - string::concatenate(*buffer, v, -1, 0, true, string::mode::append);
    StackMark mark;
    return actions::form(stack::push(v), buffer, nullptr, budget);
}

// Turns the error into internal/invalid-error with arg1 := the culprit.
void make_invalid(Node ctx, const Cell& culprit) {
    const Cell c = culprit;
    *slot(ctx, field::arg1) = c;
    const Node cat = catalog_ctx();
    const i32 internal = cat ? context::find_word(cat, syms.internal, true) : -1;
    const Node category = category_at(internal);
    const i32 pos = category ? context::find_word(category, syms.invalid_error, true) : -1;
    *slot(ctx, field::type) = internal >= 0 ? bound_word(cat, internal) : stack::word(syms.internal);
    *slot(ctx, field::id) = pos >= 2 ? bound_word(category, pos) : stack::word(syms.invalid_error);
}

// The category context and the message of the error; a type or id that the
// catalog lacks turns the error into internal/invalid-error first. The
// message is copied out (a word message replaced by the error's field of
// that name); none when even internal/invalid-error is missing.
Node find_message(Node ctx, Cell& message) {
    message = none::value;
    i32 cat = category_position(*slot(ctx, field::type));
    if (cat < 0) {
        make_invalid(ctx, *slot(ctx, field::type));
        cat = category_position(*slot(ctx, field::type));
    }
    Node category = category_at(cat);
    i32 pos = id_position(category, *slot(ctx, field::id));
    if (category && pos < 0) {
        make_invalid(ctx, *slot(ctx, field::id));
        cat = category_position(*slot(ctx, field::type));
        category = category_at(cat);
        pos = id_position(category, *slot(ctx, field::id));
    }
    if (pos < 0) return category;
    message = *slot(category, pos);
    if (word_q(message)) {
        // A word message (user/message's arg1) stands for the error's field.
        const i32 f = context::find_word(ctx, word::symbol_of(message), true);
        message = f >= 0 ? *slot(ctx, f) : none::value;
    }
    return category;
}

// A block message: strings as they are, argument words replaced by the
// error's fields, one space between parts. Inside an anonymous native frame,
// unless opening one would overwrite a closed frame the error's stack field
// still names (the Stack line reads those frames afterwards).
i32 write_message_block(Node ctx, const Cell& message, Cell* buffer, i32 budget, bool formed) {
    const Cell& st = *slot(ctx, field::stack);
    const bool frame =
        !(cell::type_of(st) == type::integer && static_cast<i32>(st.data2) > static_cast<i32>(stack::depth()));
    StackMark mark;
    Cell* msg = stack::push(message);
    if (frame) stack::mark_native(stack::word(stack::body_symbol));
    const Node n = cell::node(*msg);
    for (i32 i = cell::head_index(*msg); i < static_cast<i32>(memory::buffer(n)->length()); i++) {
        if (i > cell::head_index(*msg)) budget -= put(buffer, " ");
        const Cell part = memory::buffer(n)->cells()[i];
        if (cell::type_of(part) == type::string) {
            budget = write_formed(part, buffer, budget);
        } else if (word_q(part)) {
            const i32 f = context::find_word(ctx, word::symbol_of(part), true);
            const Cell arg = f >= 0 ? *slot(ctx, f) : none::value;
            const i32 before = string::rs_abs_length_q(*buffer);
            write_cut(arg, buffer, !formed, false, false, argument_cut);
            budget -= string::rs_abs_length_q(*buffer) - before;
        } else {
            budget = write_formed(part, buffer, budget);
        }
    }
    if (frame) stack::unwind();
    return budget;
}

}  // namespace

// ---------------------------------------------------------------------------
// The catalog

void init_catalog() {
    intern_symbols();
    StackMark mark;
    using error_catalog::categories;
    using error_catalog::entries;

    Cell* catalog = push_object(error_category_count);
    u32 next = 0;  // the next entry, in catalog order
    for (u32 c = 0; c < error_category_count; c++) {
        StackMark category_mark;
        const u32 ids = error_catalog::id_count(c);
        Cell* category = push_object(static_cast<i32>(2 + ids));
        const Node cctx = category->data1;
        add_field(cctx, syms.code, cell::integer(static_cast<i32>(categories[c].code)));
        add_field(cctx, syms.type, *push_text(categories[c].type));
        for (u32 k = 0; k < ids; k++, next++) {
            StackMark message_mark;
            const Cell msg = *push_message(entries[next]);
            add_field(cctx, symbol::make(entries[next].spelling), msg);
        }
        add_field(catalog->data1, symbol::make(categories[c].spelling), *category);
    }

    Cell* standard = push_object(field::count);
    for (i32 i = 0; i < field::count; i++) add_field(standard->data1, syms.fields[i], none::value);

    set_catalog(*catalog);
    set_standard(*standard);
}

namespace {

// Makes the error that internal/no-memory raises, once the catalog and the
// prototype it copies are in place.
void prepare_no_memory() {
    if (!ready()) return;
    Cell* top = stack::top;
    no_memory_record = keep(*create(ErrorId::internal_no_memory));
    no_memory_generation = memory::generation;
    stack::top = top;
}

}  // namespace

Cell no_memory_error() {
    const Node root = root_block();
    if (!root || no_memory_record < 0 || no_memory_generation != memory::generation ||
        static_cast<u32>(no_memory_record) >= memory::buffer(root)->length())
        return none::value;
    const Cell e = memory::buffer(root)->cells()[no_memory_record];
    return error_q(e) && id_of(e) == ErrorId::internal_no_memory ? e : none::value;
}

bool ready() {
    return object_like_q(catalog_cell) && object_like_q(standard_cell) && kept(catalog_record, catalog_cell) &&
           kept(standard_record, standard_cell);
}

Cell catalog() {
    const Cell* c = system_object::select(catalog_path);
    return c && object_like_q(*c) ? *c : catalog_cell;
}

Cell standard() {
    const Cell* s = system_object::select(standard_path);
    return s && object_like_q(*s) && context::length(s->data1) >= field::count ? *s : standard_cell;
}

void set_catalog(const Cell& c) {
    if (!object_like_q(c)) return;
    catalog_cell = c;
    catalog_record = keep(c);
    prepare_no_memory();  // its words name the catalog
}

void set_standard(const Cell& s) {
    // Errors read their fields by position: the prototype must have them all.
    if (!object_like_q(s) || context::length(s.data1) < field::count) return;
    standard_cell = s;
    standard_record = keep(s);
    prepare_no_memory();  // a copy of the prototype
}

// ---------------------------------------------------------------------------
// Making errors

Cell* create(ErrorId id, const Cell* a1, const Cell* a2, const Cell* a3) {
    Cell* e = push_new_error();
    const i32 code = static_cast<i32>(id);
    const Cell type_word = category_word(code / 100, id);
    const Cell id_w = id_word(code / 100, code % 100 + 2, id);
    const Node ctx = e->data1;
    *slot(ctx, field::code) = cell::integer(code);
    *slot(ctx, field::type) = type_word;
    *slot(ctx, field::id) = id_w;
    set_arguments(ctx, a1, a2, a3);
    return e;
}

Cell* create(const Cell& type_word, const Cell& id_word_, const Cell* a1, const Cell* a2, const Cell* a3) {
    Cell* e = push_new_error();
    const Node ctx = e->data1;
    *slot(ctx, field::type) = type_word;
    *slot(ctx, field::id) = id_word_;
    set_code_from_words(ctx);
    set_arguments(ctx, a1, a2, a3);
    return e;
}

Cell* make(Cell*, Cell* spec, u32) {
    if (!ready()) init_catalog();
    switch (cell::type_of(*spec)) {
        case type::integer: return make_from_code(*spec);
        case type::block: return make_from_block(*spec);
        case type::string: return create(ErrorId::user_message, spec);
        default: fire(ErrorId::script_bad_make_arg, datatype::make(type::error), *spec);
    }
}

void set_eval_hook(EvalBlock hook) { eval_hook = hook; }

// ---------------------------------------------------------------------------
// Fields

bool error_q(const Cell& value) { return cell::type_of(value) == type::error && value.data1 != 0; }

Cell* field_at(const Cell& error, i32 i) { return slot(error.data1, i); }

ErrorId id_of(const Cell& error) {
    const Cell& code = *field_at(error, field::code);
    if (cell::type_of(code) != type::integer || !error_catalog::find(static_cast<ErrorId>(code.data2)))
        return ErrorId::internal_invalid_error;
    return static_cast<ErrorId>(code.data2);
}

void set_where(const Cell& error, const Cell& value) {
    Cell* where = field_at(error, field::where);
    if (cell::type_of(*where) == type::none) *where = value;
}

i32 get_type(const Cell& error) {
    const Cell& t = *field_at(error, field::type);
    return word_q(t) ? word::symbol_of(t) : 0;
}

i32 get_id(const Cell& error) {
    const Cell& t = *field_at(error, field::id);
    return word_q(t) ? word::symbol_of(t) : 0;
}

Cell get_call_argument(i32 n) {
    const CallFrame* f = stack::top_frame();
    while (f && stack::anonymous(*f)) f = f > stack::frame_bottom ? f - 1 : nullptr;
    if (!f) return none::value;
    const Node ctx = f->name_ctx ? f->name_ctx : context::global;
    const Cell* fn = ctx ? context::find_value(stack::symbol_of(*f), ctx) : nullptr;
    if (!fn) return none::value;
    switch (cell::type_of(*fn)) {
        case type::native:
        case type::action:
        case type::op:
        case type::function:
        case type::routine: break;
        default: return none::value;
    }
    SeriesBuffer* spec = memory::buffer(fn->data2);
    for (u32 i = 0; i < spec->length(); i++) {
        const Cell& c = spec->cells()[i];
        switch (cell::type_of(c)) {
            case type::word:
            case type::lit_word:
            case type::get_word:
            case type::refinement:
                if (n-- == 0) return c;
                break;
            default: break;
        }
    }
    return none::value;
}

void capture_stack(const Cell& error) {
    if (!error_q(error)) return;
    const Cell err = error;
    const Cell st = *field_at(err, field::stack);
    if (cell::type_of(st) != type::integer) return;
    const Cell trace = stack_trace_setting();
    const i32 level =
        cell::type_of(trace) == type::integer && static_cast<i32>(trace.data2) > 0 ? static_cast<i32>(trace.data2) : 1;
    const i32 recorded = static_cast<i32>(st.data2);
    StackMark mark;
    Cell* names = stack::push(none::value);
    block::make_at(*names, 20);
    stack::frame_words(level, *names, recorded > 0 ? static_cast<u32>(recorded) : 0);
    *field_at(err, field::stack) = *names;
    // On the stack: the copy allocates, and the block must stay reachable.
    const Cell* sources = stack::push(source_files_setting());
    if (cell::type_of(*sources) == type::block && block::rs_length_q(*sources) > 0) {
        Cell* files = stack::push(none::value);
        block::make_at(*files, block::rs_length_q(*sources));
        block::rs_append_block(*files, *sources);
        *field_at(err, field::files) = *files;
    }
}

// ---------------------------------------------------------------------------
// Action handlers

i32 form(Cell* value, Cell* buffer, Cell*, i32 limit) {
    if (!ready()) init_catalog();
    StackMark mark;
    // The error stays on the stack while the report allocates.
    const Node ctx = stack::push(*value)->data1;
    i32 budget = limit - put(buffer, "*** ");

    Cell message;
    const Node category = find_message(ctx, message);
    const i32 before = string::rs_abs_length_q(*buffer);
    if (category) write_formed(*slot(category, 1), buffer, budget);
    put(buffer, ": ");
    budget -= string::rs_abs_length_q(*buffer) - before;

    const Cell type_word = *slot(ctx, field::type);
    const bool syntax =
        word_q(type_word) && symbol::canonical(word::symbol_of(type_word)) == symbol::canonical(syms.syntax);
    switch (cell::type_of(message)) {
        case type::string: budget = write_formed(message, buffer, budget); break;
        case type::block: budget = write_message_block(ctx, message, buffer, budget, syntax); break;
        default: make_invalid(ctx, *slot(ctx, field::type)); break;
    }

    budget -= put(buffer, "\n*** Where: ");
    const Cell where = *slot(ctx, field::where);
    if (word_q(where) || cell::type_of(where) == type::string) budget = write_formed(where, buffer, budget);
    else budget -= put(buffer, "???");

    put(buffer, "\n*** Near : ");
    budget = write_cut(*slot(ctx, field::near), buffer, true, true, true, near_cut);

    const Cell trace = stack_trace_setting();
    if (cell::type_of(trace) == type::integer && static_cast<i32>(trace.data2) > 0) {
        const Cell st = *slot(ctx, field::stack);
        if (cell::type_of(st) == type::integer) {
            put(buffer, "\n*** Stack: ");
            budget = stack::form_frames(static_cast<i32>(trace.data2), st, buffer, budget);
        } else if (cell::type_of(st) == type::block) {
            put(buffer, "\n*** Stack: ");
            budget = write_formed(st, buffer, budget);
        }
    }

    const Cell files = *slot(ctx, field::files);
    if (cell::type_of(files) == type::block) {
        put(buffer, "\n*** Files: ");
        budget = write_cut(files, buffer, true, true, true, near_cut);
    }
    return budget;
}

i32 mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, i32 limit, i32 indent) {
    i32 budget = limit;
    if (cycles::mold_marker(*value, *buffer, budget, true)) return budget;
    if (!only) budget -= put(buffer, "make error! [");
    budget = object::serialize(*value, buffer, only, all, flat, part, budget, true, indent + 1, true);
    if (!only) budget -= put(buffer, "]");
    return budget;
}

i32 compare(Cell* value1, Cell* value2, i32 op) {
    if (cell::type_of(*value2) != type::error) return -2;
    StackMark mark;
    // Compared as objects: the object handler takes object! operands.
    Cell* a = stack::push(*value1);
    Cell* b = stack::push(*value2);
    cell::set_type(*a, type::object);
    cell::set_type(*b, type::object);
    return actions::compare_raw(a, b, op);
}

constexpr ActionTable error_actions = {
    .make = make, .reflect = inherit, .form = form, .mold = mold, .eval_path = inherit, .compare = compare,
    .copy = inherit, .find = inherit, .select = inherit,
};

void init() { registry::add(type::error, type::object, "error!", error_actions); }

}  // namespace oru::error
