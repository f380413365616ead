// context!: making contexts, finding and adding words, reading and writing
// slots, binding blocks and cloning. Adding a word allocates (word list,
// hash buckets, values), so cells are fetched again by node and index after
// every add, and values held across one go on the data stack.
#include "runtime/datatypes/context.h"

#include "runtime/calls.h"
#include "runtime/cycles.h"
#include "runtime/datatypes/unset.h"
#include "runtime/fire.h"
#include "runtime/hashtable.h"
#include "runtime/registry.h"
#include "runtime/runtime.h"
#include "runtime/words.h"

namespace oru::context {

Node global = 0;

namespace {

OnChange on_change = nullptr;

// Keeps a value on the data stack, where the collector sees it, while the
// caller allocates; release() gives it back (it may have been remapped) and
// drops it. Before the stack exists the local copy is all there is.
class Held {
public:
    explicit Held(const Cell& v) : local_(v), at_(stack::ready() ? stack::push_value(v) : nullptr) {}
    Cell release() {
        if (!at_) return local_;
        Cell v = *at_;
        stack::top = at_;
        return v;
    }

private:
    Cell local_;
    Cell* at_;
};

inline i32 symbol_of(const Cell& word) { return static_cast<i32>(word.data2); }
inline i32 index_of(const Cell& word) { return static_cast<i32>(word.data3); }

// The slot of the word cell at position `pos` of the word list (its word 3:
// a case variant in the global context carries the first spelling's slot).
inline i32 slot_at(Node ctx, i32 pos) { return pos < 0 ? -1 : static_cast<i32>(word_at(ctx, pos)->data3); }

// Appends one unset! value for a new word, unless the values are on the stack.
void append_value(Node ctx) {
    if (on_stack_q(ctx)) return;
    *memory::alloc_tail(cell_of(ctx)->data2) = unset::value;
}

// Adds the symbol, which the caller found absent, and returns its slot. In
// the global context a spelling whose case variant is already there shares
// that variant's slot. `no_variant`: the caller's lookup ignored case, so no
// variant is there and the word list is not probed for one again.
i32 append_word(Node ctx, i32 sym, bool no_variant) {
    const i32 shared = ctx == global && !no_variant ? find_word(ctx, sym, true) : -1;
    i32 pos = -1;
    hashtable::find_word(word_list(ctx), sym, false, ctx, &pos);
    if (shared >= 0) word_at(ctx, pos)->data3 = static_cast<u32>(shared);
    append_value(ctx);
    return shared >= 0 ? shared : pos;
}

// The slot a word takes when it is added to ctx: its case variant's, or the
// next position. Known before the add, so that the word can be updated
// before anything moves.
i32 slot_for(Node ctx, i32 sym) {
    const i32 s = find_word(ctx, sym, true);
    return s >= 0 ? s : length(ctx);
}

// The slot written by set_in and set_integer, resolving (and storing in the
// word) a slot of -1: exact lookup first, else add_word. Returns the slot;
// *word_copy receives the word with the slot, taken before any allocation.
i32 resolve_slot(Cell& word, Node ctx, Cell* word_copy, Cell& value) {
    i32 index = index_of(word);
    if (index < 0) {
        const i32 sym = symbol_of(word);
        index = find_word(ctx, sym, false);
        if (index < 0) {
            index = slot_for(ctx, sym);
            word.data3 = static_cast<u32>(index);
            *word_copy = word;
            Held held(value);
            add_word(ctx, *word_copy);
            value = held.release();
            return index;
        }
        word.data3 = static_cast<u32>(index);
    }
    *word_copy = word;
    return index;
}

bool bindable_series(u32 t) {
    switch (t) {
        case type::block: case type::paren: case type::path: case type::lit_path:
        case type::set_path: case type::get_path: case type::hash: case type::map: return true;
        default: return false;
    }
}

bool bindable_word(u32 t) { return t >= type::word && t <= type::refinement; }

void bind_series(Node node, i32 head, Node ctx, bool self_) {
    if (!node || cycles::find(node)) return;
    cycles::Guard guard(node);
    // Binding allocates nothing, but nested series are fetched again anyway
    // so the walk never leans on an address across the recursion.
    for (i32 i = head < 0 ? 0 : head;; i++) {
        SeriesBuffer* s = memory::buffer(node);
        if (i >= static_cast<i32>(s->length())) break;
        Cell* c = s->cells() + i;
        const u32 t = cell::type_of(*c);
        if (bindable_series(t)) {
            bind_series(cell::node(*c), cell::head_index(*c), ctx, self_);
        } else if (bindable_word(t)) {
            if (self_ && t == type::word && symbol_of(*c) == words::sym::self) {
                c->data1 = ctx;
                c->data3 = 0xFFFFFFFFu;
            } else {
                bind_word(ctx, *c);
            }
        }
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Access

Node word_block(Node ctx) { return hashtable::get_block(ctx); }

Cell* word_at(Node ctx, i32 i) { return hashtable::block_cell(ctx, i); }

i32 length(Node ctx) { return static_cast<i32>(memory::buffer(word_block(ctx))->length()); }

// ---------------------------------------------------------------------------
// Making

Node create(i32 slots, bool values_on_stack, bool object, Node source, u32 kind) {
    if (slots <= 0) slots = 1;
    const Node ctx = memory::alloc_cells(2);
    {
        SeriesBuffer* s = memory::buffer(ctx);
        s->tail = s->head + 2 * sizeof(Cell);
        u32 header = type::context | ((kind << kind_shift) & kind_mask);
        if (values_on_stack) header |= on_stack;
        if (object) header |= for_object;
        s->cells()[0] = cell::make(header);
        s->cells()[1] = unset::value;
    }
    // A word bound to the context keeps it alive while its parts are made.
    Held holder(cell::make(type::word, ctx, 0, 0xFFFFFFFFu));

    Node table;
    i32 words = 0;
    if (source) {
        const Cell src = *cell_of(source);
        table = hashtable::init(slots, &src, hashtable::kind::symbols, 2);
        cell_of(ctx)->data1 = table;
        words = length(ctx);
        for (i32 i = 0; i < words; i++) word_at(ctx, i)->data1 = ctx;
    } else {
        table = hashtable::init(slots, nullptr, hashtable::kind::symbols, 2);
        cell_of(ctx)->data1 = table;
    }
    if (!values_on_stack) {
        const Node vals = memory::alloc_cells(slots > words ? slots : words);
        SeriesBuffer* v = memory::buffer(vals);
        for (i32 i = 0; i < words; i++) v->cells()[i] = unset::value;
        v->tail = v->head + static_cast<u32>(words) * sizeof(Cell);
        cell_of(ctx)->data2 = vals;
    }
    holder.release();
    return ctx;
}

Node make(const Cell& spec_value, bool values_on_stack, bool object, u32 kind) {
    const Cell spec = spec_value;
    const Node node = cell::node(spec);
    const i32 head = cell::head_index(spec) < 0 ? 0 : cell::head_index(spec);
    auto takes_slot = [](u32 t) {
        return t == type::word || t == type::get_word || t == type::lit_word || t == type::refinement;
    };
    i32 count = 0;
    {
        SeriesBuffer* s = memory::buffer(node);
        for (i32 i = head; i < static_cast<i32>(s->length()); i++)
            if (takes_slot(cell::type_of(s->cells()[i]))) count++;
    }
    Held held_spec(spec);
    const Node ctx = create(count, values_on_stack, object, 0, kind);
    Held holder(cell::make(type::word, ctx, 0, 0xFFFFFFFFu));
    for (i32 i = head; i < static_cast<i32>(memory::buffer(node)->length()); i++) {
        const Cell w = memory::buffer(node)->cells()[i];
        if (takes_slot(cell::type_of(w))) add_word(ctx, w);
    }
    holder.release();
    held_spec.release();
    return ctx;
}

void init_global() { global = create(global_slots, false, false, 0, kind::global); }

void init() { registry::add(type::context, 0, "context!", ActionTable{}); }

// ---------------------------------------------------------------------------
// Words

i32 find_word(Node ctx, i32 sym, bool case_) {
    return slot_at(ctx, hashtable::find_word(word_list(ctx), sym, case_, 0, nullptr));
}

Cell* find_word_cell(Node ctx, i32 sym, bool case_) {
    const i32 pos = hashtable::find_word(word_list(ctx), sym, case_, 0, nullptr);
    return pos < 0 ? nullptr : word_at(ctx, pos);
}

i32 find_word_in(Node ctx, i32 sym, bool case_, bool add, i32* index) {
    const i32 slot = find_word(ctx, sym, case_);
    if (slot >= 0 || !add) {
        if (index && slot >= 0) *index = slot;
        return slot;
    }
    const i32 added = append_word(ctx, sym, case_);
    if (index) *index = added;
    return -1;
}

i32 add_word(Node ctx, const Cell& word) {
    const i32 sym = symbol_of(word);
    const i32 slot = find_word(ctx, sym, true);
    return slot >= 0 ? slot : append_word(ctx, sym, true);
}

Cell* add_with(Node ctx, const Cell& word, const Cell& value) {
    const i32 sym = symbol_of(word);
    if (find_word(ctx, sym, true) >= 0) return nullptr;
    Held held(value);
    const i32 slot = append_word(ctx, sym, true);
    const Cell v = held.release();
    Cell* vals = values(ctx);
    if (!vals) return nullptr;  // a function that is not running has nowhere to keep it
    vals[slot] = v;
    return vals + slot;
}

void set_or_add(Node ctx, const Cell& word, const Cell& value) {
    const i32 sym = symbol_of(word);
    i32 slot = find_word(ctx, sym, true);
    Cell v = value;
    if (slot < 0) {
        Held held(v);
        slot = append_word(ctx, sym, true);
        v = held.release();
    }
    Cell* vals = values(ctx);
    if (!vals) fire(ErrorId::script_not_in_context, word);
    vals[slot] = v;
}

bool collect_set_words(Node ctx, const Cell& block) {
    const i32 before = length(ctx);
    const Node node = cell::node(block);
    Held held(block);
    const i32 head = cell::head_index(block) < 0 ? 0 : cell::head_index(block);
    for (i32 i = head; i < static_cast<i32>(memory::buffer(node)->length()); i++) {
        const Cell w = memory::buffer(node)->cells()[i];
        if (cell::type_of(w) == type::set_word) add_word(ctx, w);
    }
    held.release();
    return length(ctx) > before;
}

Cell add_global_word(i32 sym, bool case_, bool spelling) {
    const i32 pos = hashtable::find_word(word_list(global), sym, case_, 0, nullptr);
    if (pos >= 0) {
        Cell w = *word_at(global, pos);
        if (spelling) w.data2 = static_cast<u32>(sym);
        return w;
    }
    const i32 slot = append_word(global, sym, case_);
    return cell::make(type::word, global, static_cast<u32>(sym), static_cast<u32>(slot));
}

Cell make_global_word(i32 sym) {
    const Cell w = add_global_word(sym, false, false);
    if (root_allocation && root_block()) *memory::alloc_tail(root_block()) = w;
    return w;
}

// ---------------------------------------------------------------------------
// Values

Cell* find_value(i32 sym, Node ctx) {
    if (on_stack_q(ctx)) ctx = global;
    const i32 slot = find_word(ctx, sym, true);
    if (slot < 0) return nullptr;
    Cell* vals = values(ctx);
    return vals ? vals + slot : nullptr;
}

void set_global(i32 sym, const Cell& value) {
    i32 slot = find_word(global, sym, false);
    Cell v = value;
    if (slot < 0) {
        Held held(v);
        slot = index_of(make_global_word(sym));
        v = held.release();
    }
    values(global)[slot] = v;
}

Cell* global_slot(i32 sym) {
    const i32 slot = find_word(global, sym, true);
    return slot < 0 ? nullptr : values(global) + slot;
}

Cell* get_slow(const Cell& word) {
    const Node ctx = word.data1;
    if (!ctx) fire(ErrorId::script_not_defined, word);
    const i32 index = index_of(word);
    if (index >= 0) [[likely]] {
        Cell* vals = values(ctx);
        if (!vals) fire(ErrorId::script_not_in_context, word);
        return vals + index;
    }
    if (symbol_of(word) == words::sym::self) return self(ctx);
    fire(ErrorId::script_no_value, word);
}

void set_on_change_hook(OnChange hook) { on_change = hook; }

Cell* set_in(Cell& word, const Cell& value, Node ctx, bool notify) {
    Cell v = value, w;
    const i32 index = resolve_slot(word, ctx, &w, v);
    Cell* vals = values(ctx);
    if (!vals) fire(ErrorId::script_not_in_context, w);
    if (!on_stack_q(ctx) && kind_of(ctx) == kind::object) {
        word_at(ctx, index)->header |= assigned;
        const Cell owner = *self(ctx);
        if (notify && on_change && cell::type_of(owner) == type::object && owner.data3 != 0) {
            // The handler evaluates: everything it gets lives on the stack.
            Cell* saved = stack::top;
            Cell* args = stack::push_value(owner);
            stack::push_value(w);
            stack::push_value(vals[index]);
            stack::push_value(v);
            values(ctx)[index] = v;
            on_change(args, args + 1, args + 2, args + 3);
            stack::top = saved;
            return values(ctx) + index;
        }
    }
    vals[index] = v;
    return vals + index;
}

Cell* set_slow(Cell& word, const Cell& value) {
    const Node ctx = word.data1;
    if (!ctx) fire(ErrorId::script_not_defined, word);
    return set_in(word, value, ctx, true);
}

void set_integer(Node ctx, Cell& word, i32 value) {
    Cell v = cell::integer(value), w;
    const i32 index = resolve_slot(word, ctx, &w, v);
    Cell* vals = values(ctx);
    if (!vals) fire(ErrorId::script_not_in_context, w);
    vals[index] = v;
}

// ---------------------------------------------------------------------------
// Binding

i32 bind_word(Node ctx, Cell& word) {
    const i32 slot = find_word(ctx, symbol_of(word), true);
    if (slot < 0) return -1;
    word.data1 = ctx;
    word.data3 = static_cast<u32>(slot);
    return slot;
}

void bind(const Cell& block, Node ctx, bool self_) {
    bind_series(cell::node(block), cell::head_index(block), ctx, self_);
}

Node clone(Cell& value, u32 kind) {
    const Node old = value.data1;
    const u32 header = cell_of(old)->header;
    Held held(value);
    const Node fresh =
        create(length(old), (header & on_stack) != 0, (header & for_object) != 0, old, kind);
    Cell v = held.release();
    v.data1 = fresh;
    *self(fresh) = v;
    value = v;
    return fresh;
}

}  // namespace oru::context
