// The word family: makers, slot reads and writes with the unset checks, the
// family operations of each word type, then the action handlers and the six
// registrations. Adding a global word allocates: values are read into
// locals (or onto the data stack) before, and slots fetched again after.
#include "runtime/datatypes/word.h"

#include "interpreter/actions.h"
#include "interpreter/stack.h"
#include "runtime/calls.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/unset.h"
#include "runtime/fire.h"
#include "runtime/hashtable.h"
#include "runtime/memory.h"
#include "runtime/registry.h"
#include "runtime/runtime.h"
#include "runtime/unicode.h"
#include "runtime/words.h"

#include <string>

namespace oru {

namespace {

word::LexerHooks lexer{};

inline bool unset_q(const Cell& v) { return cell::type_of(v) == type::unset; }

inline Cell retyped(Cell w, u32 t) {
    cell::set_type(w, t);
    return w;
}

inline void append_to_root(const Cell& v) {
    if (root_block()) *memory::alloc_tail(root_block()) = v;
}

// The slot's value cell for a write: a function context that is not running
// has none (script/not-in-context with the slot's word).
Cell* slot_for_write(Node ctx, i32 index) {
    Cell* vals = context::values(ctx);
    if (!vals) fire(ErrorId::script_not_in_context, *context::word_at(ctx, index));
    return vals + index;
}

// Stores v into slot `index`; an object's field word is flagged assigned.
Cell* store_field(Node ctx, i32 index, const Cell& v) {
    Cell* slot = slot_for_write(ctx, index);
    *slot = v;
    if (!context::on_stack_q(ctx) && context::kind_of(ctx) == context::kind::object)
        context::word_at(ctx, index)->header |= context::assigned;
    return slot;
}

// The UTF-8 name of a symbol, copied out of its buffer: appending to another
// buffer can move it.
std::string name_of(i32 sym) {
    SeriesBuffer* s = memory::buffer(symbol::at(sym)->data3);
    return std::string(reinterpret_cast<const char*>(s->head_ptr()), s->tail - s->head);
}

// The character cap that a /part argument puts on a formed name, as on a
// formed string: its integer when that is not negative, else none (-1).
i32 part_cap(const Cell* part) {
    if (!part || cell::type_of(*part) != type::integer) return -1;
    return static_cast<i32>(part->data2);
}

// Appends the symbol's name to the buffer string, one code point at a time,
// at most `cap` of them when cap >= 0; returns the name's length in
// characters (the budget counts the whole name, as for a formed string).
i32 append_name(const Cell& buffer, i32 sym, i32 cap = -1) {
    const std::string name = name_of(sym);
    const Node out = cell::node(buffer);
    const u8* p = reinterpret_cast<const u8*>(name.data());
    const u8* end = p + name.size();
    i32 n = 0;
    while (p < end) {
        i32 cp;
        const u8* next = unicode::fast_decode_utf8_char(p, end, &cp);
        if (cp < 0) {  // a byte that does not decode stands for itself
            cp = *p;
            next = p + 1;
        }
        if (cap < 0 || n < cap) string::append_char(out, static_cast<u32>(cp));
        p = next;
        n++;
    }
    return n;
}

}  // namespace

// ===========================================================================
// word!

namespace word {

Cell of_symbol(i32 sym) {
    const Cell unbound = cell::make(type::word, 0, static_cast<u32>(sym), 0xFFFFFFFFu);
    const i32 slot = context::add_word(context::global, unbound);
    return cell::make(type::word, context::global, static_cast<u32>(sym), static_cast<u32>(slot));
}

Cell load(const char* name) {
    const Cell w = context::add_global_word(symbol::make(name), true, true);
    if (root_allocation) append_to_root(w);
    return w;
}

void make_at(i32 sym, Cell* cell) { *cell = of_symbol(sym); }

Cell* make_in(i32 sym, const Cell& block) {
    const Cell w = of_symbol(sym);
    Cell* c = memory::alloc_tail(cell::node(block));
    *c = w;
    return c;
}

Cell* make_in_from_name(const char* name, const Cell& block) { return make_in(symbol::make(name), block); }

Cell* push_symbol(i32 sym) { return stack::push_value(of_symbol(sym)); }

Cell* push(const Cell& w) { return stack::push_value(w); }

Cell* context_word_at(Node ctx, i32 index) { return context::word_at(ctx, index); }

Cell* push_context_word(Node ctx, i32 index) { return stack::push_value(*context::word_at(ctx, index)); }

Cell find_or_global(Node ctx, i32 sym) {
    if (const Cell* w = context::find_word_cell(ctx, sym, false)) return *w;
    return context::make_global_word(sym);
}

void keep(const Cell& w) { append_to_root(w); }

void bind_predefined() {
    auto rooted = [](Cell& c, const Cell& made) {
        c = made;
        if (root_allocation) append_to_root(c);
    };
#define ORU_BIND_WORD(name, spelling) \
    rooted(words::word::name, context::add_global_word(symbol_of(words::word::name), true, true));
#define ORU_BIND_REFINEMENT(name, spelling) rooted(words::refinement::name, words::refinement::name);
#define ORU_BIND_ISSUE(name, spelling) rooted(words::issue::name, issue::of_symbol(symbol_of(words::issue::name)));
    ORU_PREDEFINED_WORDS(ORU_BIND_WORD)
    ORU_PREDEFINED_REFINEMENTS(ORU_BIND_REFINEMENT)
    ORU_PREDEFINED_ISSUES(ORU_BIND_ISSUE)
#undef ORU_BIND_WORD
#undef ORU_BIND_REFINEMENT
#undef ORU_BIND_ISSUE
}

Cell* value_at(Node ctx, i32 index) {
    Cell* vals = context::values(ctx);
    if (!vals) fire(ErrorId::script_not_defined, *context::word_at(ctx, index));
    return vals + index;
}

Cell* get_value(Node ctx, i32 index) { return value_at(ctx, index); }

Cell* push_local(Node ctx, i32 index) { return stack::push_value(*value_at(ctx, index)); }

Cell* get(const Cell& w) {
    const Cell v = *context::get(w);
    if (unset_q(v)) fire(ErrorId::script_no_value, w);
    return stack::push_value(v);
}

Cell* push_value(const Cell& w) { return stack::push_value(*context::get(w)); }

Cell* get_in_object(const Cell& w) {
    Cell* v = context::get(w);
    if (unset_q(*v)) fire(ErrorId::script_no_value, w);
    return v;
}

Cell* set_checked(Cell& w) {
    const Cell v = *stack::last_pushed();
    if (unset_q(v)) fire(ErrorId::script_need_value, w);
    return context::set(w, v);
}

Cell* set(Cell& w) {
    Cell* slot = set_checked(w);
    stack::reset();
    return slot;
}

void set_from_args() {
    Cell* args = stack::arguments;
    if (unset_q(args[1])) fire(ErrorId::script_need_value, args[0]);
    context::set(args[0], args[1]);
    stack::set_last(stack::arguments[1]);
}

Cell* set_value(Node ctx, i32 index) {
    const Cell v = *stack::last_pushed();
    if (unset_q(v)) fire(ErrorId::script_need_value, *context::word_at(ctx, index));
    Cell* slot = slot_for_write(ctx, index);
    *slot = v;
    return slot;
}

Cell* set_field(Node ctx, i32 index) {
    Cell* slot = store_field(ctx, index, *stack::last_pushed());
    stack::reset();
    return slot;
}

Cell* set_field_keep(Node ctx, i32 index) { return store_field(ctx, index, *stack::last_pushed()); }

Cell* set_field_push_old(const Cell& value, Node ctx, i32 index) {
    const Cell v = value;
    stack::push_value(*slot_for_write(ctx, index));
    return store_field(ctx, index, v);
}

Cell* set_field_from_result(Node ctx, i32 index) { return store_field(ctx, index, *stack::arguments); }

void copy_result_checked(Cell* out) {
    const Cell v = *stack::arguments;
    if (unset_q(v)) fire(ErrorId::script_need_value);
    *out = v;
}

Cell* push_as_string(const Cell& w) {
    const i32 sym = symbol_of(w);
    const Node str = symbol::get(sym)->data2;
    return stack::push_value(cell::make(type::string, 0, str, 0));
}

Cell* symbol_cell(const Cell& w) { return symbol::get(symbol_of(w)); }

i32 scan_type(const Cell& w) {
    if (!lexer.scan_type) fire(ErrorId::internal_not_done);
    const std::string name = name_of(symbol_of(w));
    return lexer.scan_type(reinterpret_cast<const u8*>(name.data()), static_cast<i32>(name.size()));
}

void set_lexer_hooks(const LexerHooks& hooks) { lexer = hooks; }

}  // namespace word

// ===========================================================================
// The family operations of the other word types

namespace {

Cell* make_in_as(const char* name, const Cell& block, u32 t) {
    Cell* c = word::make_in_from_name(name, block);
    cell::set_type(*c, t);
    return c;
}

Cell load_as(const char* name, u32 t) {
    const Cell w = retyped(context::add_global_word(symbol::make(name), true, true), t);
    if (root_allocation) append_to_root(w);
    return w;
}

Cell* push_as(const Cell& w, u32 t) { return stack::push_value(retyped(w, t)); }

Cell* push_context_word_as(Node ctx, i32 index, u32 t) {
    return stack::push_value(retyped(*context::word_at(ctx, index), t));
}

Cell* set_to(Cell& w, Cell* value) {
    context::set(w, *value);
    return value;
}

}  // namespace

#define ORU_WORD_FAMILY(ns, t)                                                                          \
    namespace ns {                                                                                      \
    Cell* make_in(const char* name, const Cell& block) { return make_in_as(name, block, t); }           \
    Cell* push(const Cell& w) { return push_as(w, t); }                                                 \
    Cell* push_context_word(Node ctx, i32 index) { return push_context_word_as(ctx, index, t); }       \
    Cell* set(Cell& w, Cell* value) { return set_to(w, value); }                                        \
    }

ORU_WORD_FAMILY(lit_word, type::lit_word)
ORU_WORD_FAMILY(set_word, type::set_word)
ORU_WORD_FAMILY(get_word, type::get_word)
ORU_WORD_FAMILY(refinement, type::refinement)
#undef ORU_WORD_FAMILY

namespace lit_word {
Cell load(const char* name) { return load_as(name, type::lit_word); }
Cell* get(const Cell& w) { return context::get(w); }
}  // namespace lit_word

namespace set_word {
Cell load(const char* name) { return load_as(name, type::set_word); }
Cell* get(const Cell& w) { return context::get(w); }
Cell* set(Node ctx, i32 index) {
    Cell* slot = word::set_value(ctx, index);
    stack::reset();
    return slot;
}
}  // namespace set_word

namespace get_word {
Cell load(const char* name) { return load_as(name, type::get_word); }
Cell* get(const Cell& w) { return stack::push_value(*context::get(w)); }
}  // namespace get_word

namespace refinement {
Cell load(const char* name) {
    const Cell r = cell::make(type::refinement, 0, static_cast<u32>(symbol::make(name)), 0xFFFFFFFFu);
    append_to_root(r);
    return r;
}
Cell* get(const Cell& w) { return context::get(w); }
}  // namespace refinement

namespace issue {

Cell of_symbol(i32 sym) { return cell::make(type::issue, context::global, static_cast<u32>(sym), 0xFFFFFFFFu); }

Cell load(const char* name) {
    const Cell i = of_symbol(symbol::make(name));
    if (root_allocation && root_block())
        append_to_root(i);
    else
        stack::push_value(i);
    return i;
}

void make_at(i32 sym, Cell* cell) { *cell = of_symbol(sym); }

Cell* make_in(i32 sym, const Cell& block) {
    Cell* c = memory::alloc_tail(cell::node(block));
    *c = of_symbol(sym);
    return c;
}

Cell* push(const Cell& i) { return stack::push_value(i); }

}  // namespace issue

// ===========================================================================
// Actions

namespace {

// A one-character string! of the char!'s code point, pushed on the stack.
Cell* push_char_string(const Cell& ch) {
    Cell* str = stack::push_value(unset::value);
    string::make_at(*str, 1);
    string::append_char(cell::node(*str), ch.data2);
    return str;
}

// The word that the text loads as: the first value, which must be of the
// word family (script/invalid-chars otherwise).
Cell load_word(const Cell& text) {
    if (!lexer.load_value) fire(ErrorId::internal_not_done);
    Cell* out = stack::push_value(unset::value);
    lexer.load_value(text, out);
    const Cell v = *out;
    if (!word::any_word_type_q(cell::type_of(v))) fire(ErrorId::script_invalid_chars);
    return v;
}

[[noreturn]] void bad_to(u32 t, const Cell& value) { fire(ErrorId::script_bad_to_arg, datatype::make(t), value); }

// make and to: the result carries only the target type, every flag cleared.
Cell* make(Cell*, Cell* spec, u32 t) {
    const Cell s = *spec;
    Cell w;
    switch (cell::type_of(s)) {
        case type::datatype: {
            const u32 sym = datatype::symbol_of(s.data1);
            if (!sym) bad_to(t, s);
            w = word::of_symbol(static_cast<i32>(sym));
            break;
        }
        case type::logic: w = word::of_symbol(s.data1 ? words::sym::true_ : words::sym::false_); break;
        case type::string: w = load_word(s); break;
        case type::char_: w = load_word(*push_char_string(s)); break;
        case type::word:
        case type::set_word:
        case type::lit_word:
        case type::get_word: w = s; break;
        case type::refinement:
        case type::issue: {
            const i32 scanned = word::scan_type(s);
            if (scanned != static_cast<i32>(type::word) && scanned != static_cast<i32>(type::set_word) &&
                scanned != static_cast<i32>(type::lit_word) && scanned != static_cast<i32>(type::get_word))
                bad_to(t, s);
            w = s;
            context::bind_word(context::global, w);
            break;
        }
        default: bad_to(t, s);
    }
    w.header = t;
    return stack::push_value(w);
}

// The name as a string is formed: a /part argument caps the characters
// written, and the budget goes down by the whole name.
i32 form(Cell* value, Cell* buffer, Cell* part, i32 limit) {
    return limit - append_name(*buffer, word::symbol_of(*value), part_cap(part));
}

i32 mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* part, i32 limit, i32) {
    return form(value, buffer, part, limit);
}

// The typed molds: one character before or after the name.
template <char Prefix, char Suffix>
i32 mold_marked(Cell* value, Cell* buffer, bool, bool, bool, Cell* part, i32 limit, i32) {
    const i32 sym = word::symbol_of(*value);
    const Node out = cell::node(*buffer);
    if (Prefix) string::append_char(out, static_cast<u8>(Prefix));
    const i32 n = append_name(*buffer, sym, part_cap(part));
    if (Suffix) string::append_char(out, static_cast<u8>(Suffix));
    return limit - n - 1;
}

// The names compared as text under an ordering code: symbol!'s compare.
i32 compare_names(i32 s1, i32 s2, i32 op) { return actions::compare_raw(symbol::at(s1), symbol::at(s2), op); }

// 0 equal, 1 different, -2 not comparable; the orderings give -1, 0, 1.
i32 compare(Cell* value1, Cell* value2, i32 op) {
    const u32 t1 = cell::type_of(*value1), t2 = cell::type_of(*value2);
    if ((t2 == type::issue && t1 != type::issue) || !word::any_word_type_q(t2)) return -2;
    const i32 s1 = word::symbol_of(*value1), s2 = word::symbol_of(*value2);
    const bool word_lit = (t1 == type::word && t2 == type::lit_word) || (t1 == type::lit_word && t2 == type::word);
    const bool canonical_eq = symbol::canonical(s1) == symbol::canonical(s2);
    switch (op) {
        case 9:  // same?
            return s1 == s2 && value1->data1 == value2->data1 && t1 == t2 ? 0 : 1;
        case 10:
            if (word_lit) return s1 == s2 ? 0 : 1;
            [[fallthrough]];
        case 2:  // strict-equal?
            return t1 == t2 && s1 == s2 ? 0 : 1;
        case 11:
            if (word_lit) return canonical_eq ? 0 : 1;
            return t1 == t2 && canonical_eq ? 0 : 1;
        case 0:   // equal?
        case 1:   // not-equal?
        case 12:  // the equality of find and select
            return canonical_eq ? 0 : 1;
        default: return compare_names(s1, s2, op);
    }
}

// Slot + 1, or none for an unresolved word (stack convention).
void index_q() {
    const i32 index = word::index_of(*stack::arguments);
    *stack::arguments = index >= 0 ? cell::integer(index + 1) : none::value;
}

// issue!: text and characters become issues of their text; the other word
// types are retyped as they are; anything else goes through word!'s make.
Cell* issue_make(Cell* proto, Cell* spec, u32 t) {
    const Cell s = *spec;
    switch (cell::type_of(s)) {
        case type::string: return stack::push_value(issue::of_symbol(symbol::make_from_string(s)));
        case type::char_: {
            const Cell str = *push_char_string(s);
            return stack::push_value(issue::of_symbol(symbol::make_from_string(str)));
        }
        default:
            if (word::any_word_type_q(cell::type_of(s))) {
                Cell w = s;
                w.header = t;
                return stack::push_value(w);
            }
            return make(proto, spec, t);
    }
}

i32 issue_compare(Cell* value1, Cell* value2, i32 op) {
    if (cell::type_of(*value2) != type::issue) return -2;
    return compare(value1, value2, op);
}

constexpr ActionTable word_actions = {
    .make = make, .to = make, .form = form, .mold = mold, .compare = compare, .index_q = index_q,
};

// The children differ from word! only in their molds (issue! also in make,
// to and compare, and neither refinement! nor issue! has index?).
constexpr ActionTable typed_actions(action_fn::Mold mold_fn, bool index) {
    ActionTable t = {
        .make = inherit, .to = inherit, .form = inherit, .mold = mold_fn, .compare = inherit,
    };
    if (index) t.index_q = inherit;
    return t;
}

constexpr ActionTable issue_actions = {
    .make = issue_make, .to = issue_make, .form = inherit, .mold = mold_marked<'#', 0>, .compare = issue_compare,
};

}  // namespace

void word::init() { registry::add(type::word, type::symbol, "word!", word_actions); }
void lit_word::init() {
    registry::add(type::lit_word, type::word, "lit-word!", typed_actions(mold_marked<'\'', 0>, true));
}
void set_word::init() {
    registry::add(type::set_word, type::word, "set-word!", typed_actions(mold_marked<0, ':'>, true));
}
void get_word::init() {
    registry::add(type::get_word, type::word, "get-word!", typed_actions(mold_marked<':', 0>, true));
}
void refinement::init() {
    registry::add(type::refinement, type::word, "refinement!", typed_actions(mold_marked<'/', 0>, false));
}
void issue::init() { registry::add(type::issue, type::word, "issue!", issue_actions); }

}  // namespace oru
