// function!: the spec dialect, the makers, locals, the arguments description
// and the actions. Blocks are walked by node and cell index and the buffer is
// fetched again after every call that can allocate; what is made here stays
// on the data stack until a rooted value holds it.
#include "runtime/datatypes/function.h"

#include "interpreter/actions.h"
#include "interpreter/stack.h"
#include "runtime/cycles.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/typeset.h"
#include "runtime/datatypes/unset.h"
#include "runtime/datatypes/word.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/registry.h"
#include "runtime/words.h"

#include <algorithm>
#include <vector>

namespace oru::function {

namespace {

// --- Block walking ---------------------------------------------------------

// Cells in use in a block buffer.
i32 length(Node n) { return static_cast<i32>(memory::buffer(n)->length()); }

// A copy of cell i of a block buffer (i counted from the buffer's head).
Cell at(Node n, i32 i) { return memory::buffer(n)->cells()[i]; }

// A series value's position, clamped to [0, length].
i32 position(const Cell& series) {
    const i32 head = cell::head_index(series);
    return std::clamp(head, 0, length(cell::node(series)));
}

inline u32 type_at(Node n, i32 i) { return i < length(n) ? cell::type_of(at(n, i)) : 0; }

// The canonical symbol id of a word-family cell.
inline i32 canonical(const Cell& w) { return symbol::canonical(static_cast<i32>(w.data2)); }

inline bool is_refinement(const Cell& v, i32 sym) {
    return cell::type_of(v) == type::refinement && canonical(v) == symbol::canonical(sym);
}
inline bool is_local(const Cell& v) { return is_refinement(v, static_cast<i32>(words::refinement::local.data2)); }

inline Cell block_of(Node n) { return cell::make(type::block, 0, n, 0); }

// Appends the value to the block buffer. Taken by value: the allocation may
// move the buffer a referenced cell lies in.
void append(Node n, Cell v) { *memory::alloc_tail(n) = v; }

// The value of a word met in a type block: script/no-value when it has none.
Cell type_word_value(const Cell& w) {
    const Cell v = *word::get(w);
    stack::pop(1);
    return v;
}

}  // namespace

Cell* extra_cell(const Cell& fn, i32 i) { return memory::buffer(extra_of(fn))->cells() + i; }

// --- The spec dialect ------------------------------------------------------

i32 attribute_flags(const Cell& block) {
    const Node n = cell::node(block);
    i32 flags = 0;
    for (i32 i = position(block); i < length(n); i++) {
        const Cell v = at(n, i);
        if (cell::type_of(v) != type::word) return -1;
        const i32 sym = canonical(v);
        if (sym == symbol::canonical(words::sym::trace)) flags |= static_cast<i32>(attribute::trace);
        else if (sym == symbol::canonical(words::sym::no_trace)) flags |= static_cast<i32>(attribute::no_trace);
    }
    return flags;
}

void check_type_block(const Cell& block) {
    const Node n = cell::node(block);
    for (i32 i = position(block); i < length(n); i++) {
        Cell v = at(n, i);
        if (cell::type_of(v) == type::word) v = type_word_value(v);
        switch (cell::type_of(v)) {
            case type::datatype: case type::typeset: case type::word: break;
            default: fire(ErrorId::script_invalid_type_spec, v);
        }
    }
}

void check_duplicates(const Cell& spec) {
    const Node n = cell::node(spec);
    std::vector<i32> seen;
    for (i32 i = position(spec); i < length(n); i++) {
        const Cell v = at(n, i);
        switch (cell::type_of(v)) {
            case type::word: case type::lit_word: case type::get_word: case type::refinement: break;
            default: continue;
        }
        const i32 sym = canonical(v);
        if (std::find(seen.begin(), seen.end(), sym) != seen.end()) fire(ErrorId::script_dup_vars, v);
        seen.push_back(sym);
    }
}

u32 validate(const Cell& spec_value) {
    const Cell spec = spec_value;  // the argument may lie in a buffer that moves
    const Node n = cell::node(spec);
    auto bad = [&spec]() { fire(ErrorId::script_bad_func_def, spec); };
    i32 i = position(spec);
    u32 flags = 0;

    if (type_at(n, i) == type::block) {  // the attribute block
        const i32 f = attribute_flags(at(n, i));
        if (f < 0) bad();
        flags = static_cast<u32>(f);
        i++;
    }

    bool locals = false;    // after /local
    bool returned = false;  // after return:
    while (i < length(n)) {
        const Cell v = at(n, i++);
        switch (cell::type_of(v)) {
            case type::string: break;  // doc strings go anywhere
            case type::word: case type::lit_word: case type::get_word:
                if (locals) {
                    if (cell::type_of(v) != type::word) bad();
                    break;
                }
                if (returned) bad();
                if (type_at(n, i) == type::block) check_type_block(at(n, i++));
                while (type_at(n, i) == type::string) i++;
                if (type_at(n, i) == type::block) bad();  // the type block must come before the doc strings
                break;
            case type::refinement: {
                if (!is_local(v) && (locals || returned)) bad();
                if (is_local(v)) locals = true;
                switch (type_at(n, i)) {
                    case 0: case type::word: case type::get_word: case type::lit_word: case type::refinement:
                    case type::set_word: case type::string: break;
                    default: bad();
                }
                break;
            }
            case type::set_word:
                if (canonical(v) != symbol::canonical(words::sym::return_) || returned || locals) bad();
                returned = true;
                if (type_at(n, i) != type::block) bad();
                i++;  // the return type block is not checked
                switch (type_at(n, i)) {
                    case 0: case type::refinement: case type::string: break;
                    default: bad();
                }
                break;
            default: bad();
        }
    }
    check_duplicates(spec);
    return flags;
}

namespace {

// What `collect_locals` gathers: canonical ids left out or already taken,
// and the words to append, in a block held on the data stack.
struct Collector {
    std::vector<i32> taken;  // ids only: nothing here refers to a buffer
    Node words;

    bool has(i32 sym) const { return std::find(taken.begin(), taken.end(), sym) != taken.end(); }
    void exclude(const Cell& w) {
        if (!has(canonical(w))) taken.push_back(canonical(w));
    }
    void add(const Cell& w) {
        if (has(canonical(w))) return;
        taken.push_back(canonical(w));
        Cell local = w;
        cell::set_type(local, type::word);
        cell::clear_new_line(local);
        append(words, local);
    }
};

// The words, get-words and lit-words of the block after foreach or
// remove-each (its top level only).
void add_loop_words(const Cell& block, Collector& c) {
    const Node n = cell::node(block);
    for (i32 i = position(block); i < length(n); i++) {
        const Cell w = at(n, i);
        const u32 t = cell::type_of(w);
        if (t == type::word || t == type::get_word || t == type::lit_word) c.add(w);
    }
}

// Collects from a body block and, deeply, from the blocks and parens in it.
// A block met again on the way down is not walked twice.
void walk_body(const Cell& block, Collector& c) {
    const Node n = cell::node(block);
    if (cycles::find(n)) return;
    cycles::Guard guard(n);
    const i32 foreach_ = symbol::canonical(words::sym::foreach);
    const i32 remove_each = symbol::canonical(words::sym::remove_each);
    const i32 repeat = symbol::canonical(words::sym::repeat);
    for (i32 i = position(block); i < length(n); i++) {
        const Cell v = at(n, i);
        switch (cell::type_of(v)) {
            case type::block: case type::paren: walk_body(v, c); break;
            case type::set_word: c.add(v); break;
            case type::word: {
                const i32 sym = canonical(v);
                if (sym != foreach_ && sym != remove_each && sym != repeat) break;
                if (i + 1 >= length(n)) break;
                const Cell next = at(n, i + 1);
                const u32 t = cell::type_of(next);
                if (t == type::word || t == type::set_word) c.add(next);
                else if (t == type::block && sym != repeat) add_loop_words(next, c);
                break;
            }
            default: break;
        }
    }
}

}  // namespace

void collect_locals(const Cell& spec_value, const Cell& body_value) {
    const Cell spec = spec_value, body = body_value;
    const Node n = cell::node(spec);
    const i32 head = position(spec);
    Collector c;
    c.words = memory::alloc_cells(8);
    Cell* held = stack::push(block_of(c.words));  // keeps the words reachable

    // /extern: its words are left out, those after a /local that follows
    // them are locals already; /extern and all after it leave the spec.
    i32 ext = -1;
    for (i32 i = head; i < length(n) && ext < 0; i++)
        if (is_refinement(at(n, i), static_cast<i32>(words::refinement::extern_.data2))) ext = i;
    if (ext >= 0) {
        for (i32 i = head; i < length(n); i++) {
            const Cell v = at(n, i);
            switch (cell::type_of(v)) {
                case type::block: case type::string: case type::word: case type::set_word: case type::get_word:
                case type::lit_word: case type::refinement: break;
                default: fire(ErrorId::script_bad_func_extern, v);
            }
        }
        bool keep = false;
        for (i32 i = ext + 1; i < length(n); i++) {
            const Cell v = at(n, i);
            if (is_local(v)) keep = true;
            else if (word::any_word_type_q(cell::type_of(v))) keep ? c.add(v) : c.exclude(v);
        }
        SeriesBuffer* s = memory::buffer(n);
        s->tail = s->head + static_cast<u32>(ext) * sizeof(Cell);
    }

    // The spec's own names.
    for (i32 i = head; i < length(n); i++) {
        const Cell v = at(n, i);
        if (word::any_word_type_q(cell::type_of(v))) c.exclude(v);
    }

    walk_body(body, c);

    if (length(c.words) > 0) {
        bool has_local = false;
        for (i32 i = head; i < length(n); i++) has_local = has_local || is_local(at(n, i));
        if (!has_local) append(n, words::refinement::local);
        const i32 local_sym = symbol::canonical(static_cast<i32>(words::word::local.data2));
        for (i32 i = 0; i < length(c.words); i++) {
            const Cell w = at(c.words, i);
            if (canonical(w) != local_sym) append(n, w);
        }
    }
    stack::top = held;
}

i32 count_locals(Node spec, i32 start, bool required) {
    i32 i = std::max(start, 0);
    while (i < length(spec) && !is_local(at(spec, i))) i++;
    if (i >= length(spec)) return required ? -1 : 0;
    i32 count = 1;
    for (i++; i < length(spec); i++) {
        const u32 t = cell::type_of(at(spec, i));
        if (t == type::word) count++;
        else if (t == type::set_word || t == type::refinement) break;
    }
    return count;
}

void init_locals(i32 n) {
    if (n < 1) return;
    stack::push(logic::false_value);
    for (i32 i = 1; i < n; i++) stack::push(none::value);
}

// --- Function values -------------------------------------------------------

Node push(const Cell& spec_value, const Cell& body_value, Node ctx, u32 entry, Node owner, u32 flags) {
    Cell spec = spec_value, body = body_value;
    Cell* out = stack::push(none::value);  // becomes the function value
    Cell* held = stack::push(none::value);

    // A spec taken from its middle is copied from there.
    const i32 head = position(spec);
    if (head > 0) spec = block_of(memory::copy_series_part(cell::node(spec), head, length(cell::node(spec)) - head));
    else spec.data1 = 0;
    held[0] = spec;

    const Node extra_node = memory::alloc_cells_unset(extra::cells);
    *out = block_of(extra_node);  // reachable while the context is made
    {
        SeriesBuffer* s = memory::buffer(extra_node);
        s->tail = s->head + extra::cells * sizeof(Cell);
        for (i32 i = 0; i < extra::cells; i++) s->cells()[i] = unset::value;
    }

    const bool own_context = ctx == 0;
    if (own_context) ctx = context::make(spec, true, false, context::kind::function);

    *out = cell::make(type::function | (flags & attribute::mask), ctx, cell::node(spec), extra_node);
    *context::self(ctx) = *out;
    stack::top = held;  // the function value holds everything now

    Cell* e = memory::buffer(extra_node)->cells();
    e[extra::body] = none::value;
    if (entry) e[extra::entry] = cell::integer(static_cast<i32>(entry));
    if (owner) e[extra::owner] = cell::integer(static_cast<i32>(owner));

    if (cell::type_of(body) == type::block) {
        body.data1 = static_cast<u32>(position(body));
        Cell* result = stack::push(none::value);
        Cell copy = *actions::copy(&body, result, nullptr, true, nullptr);
        copy.data1 = 0;
        stack::top = result;
        memory::buffer(extra_node)->cells()[extra::body] = copy;
        if (own_context) context::bind(copy, ctx, false);
    }
    return ctx;
}

Cell* make_func(const Cell& spec_value, const Cell& body_value) {
    const Cell spec = spec_value, body = body_value;
    const u32 flags = validate(spec);
    push(spec, body, 0, 0, 0, flags);
    return stack::last_pushed();
}

// --- Arguments description -------------------------------------------------

namespace {

// Appends to the description the typeset of an argument or of return:, from
// the type block at spec cell i when there is one (then i moves past it). No
// type block, or an empty one, gives the default typeset (every type but
// unset!); a word in the block that has no value, or whose value names no
// type, raises script/invalid-type-spec with the word.
void add_typeset(Node desc, Node spec, i32& i, u32 kind) {
    const Cell list = block_of(desc);
    const bool typed = type_at(spec, i) == type::block;
    const Cell types = typed ? at(spec, i++) : none::value;
    if (typed && position(types) < length(cell::node(types))) typeset::make_with(list, types);
    else typeset::make_default(list);
    SeriesBuffer* s = memory::buffer(desc);
    s->cells()[s->length() - 1].header |= kind;
}

}  // namespace

Node build_arguments(const Cell& spec_value, bool native) {
    const Cell spec = spec_value;
    const Node n = cell::node(spec);
    const Node desc = memory::alloc_cells(8);
    Cell* held = stack::push(block_of(desc));
    i32 refinements = 0;
    i32 locals = -1;
    i32 i = position(spec);
    while (i < length(n)) {
        const Cell v = at(n, i++);
        switch (cell::type_of(v)) {
            case type::word: add_typeset(desc, n, i, arg_kind::word); break;
            case type::get_word: add_typeset(desc, n, i, arg_kind::get_word); break;
            case type::lit_word: add_typeset(desc, n, i, arg_kind::lit_word); break;
            case type::refinement:
                if (is_local(v)) {
                    // The local words are slots, not items: skip to the next set-word.
                    locals = count_locals(n, i - 1, false);
                    while (i < length(n) && type_at(n, i) != type::set_word && type_at(n, i) != type::refinement) i++;
                } else {
                    Cell r = v;
                    if (native) r.data3 = static_cast<u32>(refinements + 1);
                    refinements++;
                    append(desc, r);
                }
                break;
            case type::set_word:
                if (canonical(v) != symbol::canonical(words::sym::return_)) fire(ErrorId::script_bad_func_def, v);
                add_typeset(desc, n, i, arg_kind::return_);
                break;
            default: break;  // doc strings, the attribute block
        }
    }
    if (locals >= 0) append(desc, cell::integer(locals));
    if (native && refinements > 0) append(desc, cell::integer(refinements));
    stack::top = held;
    return desc;
}

u32 signature_of(Node desc) {
    const SeriesBuffer* b = memory::buffer(desc);
    const Cell* items = const_cast<SeriesBuffer*>(b)->cells();
    const i32 count = static_cast<i32>((b->tail - b->head) / sizeof(Cell));
    auto takes_integer = [](const Cell& item) {
        return cell::type_of(item) == type::typeset && (item.header & arg_kind::mask) == arg_kind::word &&
               typeset::member_q(item, type::integer);
    };
    u32 sig = signature::valid | signature::plain;
    u32 refinements = 0;
    i32 arguments = 0;  // fixed arguments, before the first refinement
    bool fixed = true;
    bool direct = true;      // the fixed arguments are evaluated ones and come first
    bool past_args = false;  // an item other than a fixed argument has been seen
    i32 last_integer = 0;
    for (i32 d = 0; d < count; d++) {
        const u32 t = cell::type_of(items[d]);
        if (t == type::refinement) {
            sig &= ~signature::plain;
            if (refinements < 255) refinements++;
            fixed = false;
            past_args = true;
        } else if (t == type::typeset) {
            const u32 kind = items[d].header & arg_kind::mask;
            if (kind == arg_kind::return_) {
                past_args = true;
                continue;
            }
            if (kind != arg_kind::word) sig &= ~signature::plain;
            if (fixed) {
                if (past_args || kind != arg_kind::word) direct = false;
                arguments++;
            }
        } else {
            past_args = true;
            if (t == type::integer) last_integer = static_cast<i32>(items[d].data2);
            else direct = false;
        }
    }
    if (arguments == 2 && count >= 2 && takes_integer(items[0]) && takes_integer(items[1]))
        sig |= signature::integer_pair;
    if (direct && arguments < 256 && last_integer >= 0 && last_integer < 256 &&
        refinements <= signature::most_refinements)
        sig |= signature::direct | static_cast<u32>(arguments) | (static_cast<u32>(last_integer) << 8);
    return sig | (refinements << signature::refinements_shift);
}

Node arguments(const Cell& fn_value) {
    const Cell fn = fn_value;
    const Cell cached = *extra_cell(fn, extra::arguments);
    if (cell::type_of(cached) == type::block) return cell::node(cached);
    const Node desc = build_arguments(block_of(spec_of(fn)), false);
    Cell c = block_of(desc);
    c.data3 = signature_of(desc);
    *extra_cell(fn, extra::arguments) = c;
    return desc;
}

// --- Actions ---------------------------------------------------------------

namespace {

// make function! [spec body ...]: the first two values must be blocks.
Cell* make(Cell*, Cell* arg, u32) {
    const Cell spec = *arg;
    if (cell::type_of(spec) != type::block) fire(ErrorId::script_bad_func_def, spec);
    const Node n = cell::node(spec);
    const i32 i = position(spec);
    if (length(n) - i < 2 || type_at(n, i) != type::block || type_at(n, i + 1) != type::block)
        fire(ErrorId::script_bad_func_def, spec);
    return make_func(at(n, i), at(n, i + 1));
}

// spec: the spec block itself; body: the body (or none); words: a copy of
// the context's word list bound to the function's context.
void reflect(Cell* value, u32 field) {
    const Cell fn = *value;
    const i32 sym = symbol::canonical(static_cast<i32>(field));
    if (sym == symbol::canonical(words::sym::spec)) {
        stack::set_last(block_of(spec_of(fn)));
    } else if (sym == symbol::canonical(words::sym::body)) {
        stack::set_last(*extra_cell(fn, extra::body));
    } else if (sym == symbol::canonical(words::sym::words)) {
        const Node ctx = context_of(fn);
        const Node list = context::word_block(ctx);
        const Node copy = memory::copy_series_part(list, 0, length(list));
        Cell* w = memory::buffer(copy)->cells();
        for (i32 i = 0; i < length(copy); i++) {
            w[i].data1 = ctx;
            w[i].data3 = static_cast<u32>(i);
        }
        stack::set_last(block_of(copy));
    } else {
        fire(ErrorId::internal_not_done);
    }
}

i32 form(Cell*, Cell* buffer, Cell*, i32 limit) {
    string::concatenate_literal(*buffer, "?function?");
    return limit - 10;
}

// func [spec] [body], or func [spec] none for a function without a body.
i32 mold(Cell* value, Cell* buffer, bool, bool all, bool flat, Cell* part, i32 limit, i32 indent) {
    const Cell fn = *value;
    string::concatenate_literal(*buffer, "func ");
    i32 budget = limit - 5;
    Cell spec = block_of(spec_of(fn));
    budget = actions::mold(&spec, buffer, false, all, flat, part, budget, indent);
    Cell body = *extra_cell(fn, extra::body);
    if (cell::type_of(body) == type::none) {
        string::concatenate_literal(*buffer, " none");
        return budget - 5;
    }
    return actions::mold(&body, buffer, false, all, flat, part, budget, indent);
}

// Only the same function is equal: the extra blocks are compared.
i32 compare(Cell* value1, Cell* value2, i32 op) {
    if (cell::type_of(*value2) != type::function) return -2;
    switch (op) {
        case 0: case 1: case 2: case 7: case 8: case 9: case 12: {
            const Node a = extra_of(*value1), b = extra_of(*value2);
            return a < b ? -1 : a > b ? 1 : 0;
        }
        default: return -2;
    }
}

constexpr ActionTable function_actions = {
    .make = make, .reflect = reflect, .form = form, .mold = mold, .compare = compare,
};

}  // namespace

void init() { registry::add(type::function, type::context, "function!", function_actions); }

}  // namespace oru::function
