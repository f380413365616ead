// Contexts: layout of new contexts, the global context's shared slots for
// case variants, adding and finding words, deep binding (self, unknown
// words, cyclic blocks), writes that add words or run on-change*, function
// contexts whose values live on the data stack, and cloning.
#include "runtime/datatypes/context.h"

#include "interpreter/stack.h"
#include "runtime/cycles.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/unset.h"
#include "runtime/datatypes/word.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/runtime.h"
#include "runtime/system.h"
#include "runtime/words.h"

#include "support.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <optional>
#include <vector>

using namespace oru;

namespace {

using namespace test;

class Contexts : public ::testing::Test {
protected:
    void SetUp() override {
        runtime_init();  // registers context! and the word types, makes the global context
        // A frame of the test's own; a marker first, so that no frame's
        // arguments start at the data stack's first cell.
        stack::push(unset::value);
        stack::mark_native(stack::word(0));
        stack::push(unset::value);
    }
    void TearDown() override {
        context::set_on_change_hook(nullptr);
        runtime_shutdown();
    }


    static i32 sym(const char* name) { return symbol::make(name); }
    static Cell unbound(const char* name, u32 t = type::word) {
        return cell::make(t, 0, static_cast<u32>(sym(name)), 0xFFFFFFFFu);
    }
    static Cell bound(Node ctx, const char* name) {
        Cell w = unbound(name);
        EXPECT_GE(context::bind_word(ctx, w), 0) << name;
        return w;
    }

    // A block of the given cells (room for more), held on the data stack.
    static Cell block_of(std::initializer_list<Cell> cells, u32 t = type::block) {
        Node n = memory::alloc_cells(16);
        for (const Cell& c : cells) *memory::alloc_tail(n) = c;
        Cell b = cell::make(t, 0, n, 0);
        stack::push(b);
        return b;
    }
    static Cell* at(const Cell& series, i32 i) { return memory::buffer(cell::node(series))->cells() + i; }

    // An object context holding the named words.
    static Node object_with(std::initializer_list<const char*> names) {
        Node ctx = context::create(0, false, true, 0, context::kind::object);
        for (const char* n : names) context::add_word(ctx, unbound(n));
        return ctx;
    }
    static i32 values_length(Node ctx) {
        return static_cast<i32>(memory::buffer(context::cell_of(ctx)->data2)->length());
    }
};

TEST_F(Contexts, CreateLaysOutTheContextCellAndSelf) {
    Node obj = context::create(0, false, true, 0, context::kind::object);
    const Cell& c = *context::cell_of(obj);
    EXPECT_EQ(cell::type_of(c), type::context);
    EXPECT_EQ(context::kind_of(obj), context::kind::object);
    EXPECT_TRUE(c.header & context::for_object);
    EXPECT_FALSE(context::on_stack_q(obj));
    EXPECT_EQ(cell::type_of(*context::self(obj)), type::unset);
    EXPECT_EQ(context::length(obj), 0);
    ASSERT_NE(context::values(obj), nullptr);

    // A slot count of 0 still makes room: words and values grow in step.
    for (const char* n : {"p", "q", "r", "s", "t", "u"}) context::add_word(obj, unbound(n));
    EXPECT_EQ(context::length(obj), 6);
    EXPECT_EQ(values_length(obj), 6);
    for (i32 i = 0; i < 6; i++) {
        EXPECT_EQ(context::word_at(obj, i)->data1, obj);
        EXPECT_EQ(static_cast<i32>(context::word_at(obj, i)->data3), i);
        EXPECT_EQ(cell::type_of(context::values(obj)[i]), type::unset);
    }

    Node fn = context::create(3, true, false, 0, context::kind::function);
    EXPECT_TRUE(context::on_stack_q(fn));
    EXPECT_EQ(context::kind_of(fn), context::kind::function);
    EXPECT_EQ(context::values(fn), nullptr);  // not running
    EXPECT_EQ(context::cell_of(context::global)->header & context::kind_mask, 0u);
}

TEST_F(Contexts, CaseVariantsShareOneGlobalSlotAndKeepTheirSpelling) {
    const Cell lower = word::load("alpha");
    const Cell upper = word::load("ALPHA");
    EXPECT_NE(upper.data2, lower.data2);  // each spelling keeps its own symbol
    EXPECT_EQ(upper.data3, lower.data3);
    EXPECT_EQ(upper.data1, context::global);

    // An exact global word of a variant gets its own entry carrying the
    // shared slot, and a value cell of its own (lengths stay in step).
    const i32 before = context::length(context::global);
    const Cell mixed = context::make_global_word(sym("Alpha"));
    EXPECT_EQ(mixed.data3, lower.data3);
    EXPECT_EQ(context::length(context::global), before + 1);
    EXPECT_EQ(values_length(context::global), context::length(context::global));
    EXPECT_EQ(context::find_word(context::global, sym("Alpha"), false), static_cast<i32>(lower.data3));

    // Every spelling reaches the one value, whichever wrote it.
    context::set_global(sym("Alpha"), cell::integer(7));
    EXPECT_EQ(context::get(upper)->data2, 7u);
    Cell unresolved = unbound("ALPHA");
    unresolved.data1 = context::global;
    context::set(unresolved, cell::integer(8));
    EXPECT_EQ(unresolved.data3, lower.data3);
    EXPECT_EQ(context::global_slot(sym("alpha"))->data2, 8u);

    // The later spelling entering the context first does not split the slot:
    // the first-interned spelling shares it too.
    sym("beta");
    const Cell variant = context::make_global_word(sym("BETA"));
    const Cell first = context::make_global_word(sym("beta"));
    EXPECT_EQ(first.data3, variant.data3);
    EXPECT_EQ(context::find_value(sym("Beta"), context::global), context::global_slot(sym("BETA")));
}

TEST_F(Contexts, AddFindAndStoreIgnoreCase) {
    Node ctx = object_with({"Key"});
    EXPECT_EQ(context::find_word(ctx, sym("key"), false), -1);
    EXPECT_EQ(context::find_word(ctx, sym("KEY"), true), 0);
    EXPECT_EQ(context::add_word(ctx, unbound("kEy")), 0);  // the variant's slot, nothing added
    EXPECT_EQ(context::length(ctx), 1);

    EXPECT_EQ(context::add_with(ctx, unbound("key"), cell::integer(1)), nullptr);
    Cell* added = context::add_with(ctx, unbound("other"), cell::integer(2));
    ASSERT_NE(added, nullptr);
    EXPECT_EQ(added->data2, 2u);
    context::set_or_add(ctx, unbound("KEY"), cell::integer(3));
    context::set_or_add(ctx, unbound("third"), cell::integer(4));
    EXPECT_EQ(context::length(ctx), 3);
    EXPECT_EQ(context::values(ctx)[0].data2, 3u);
    EXPECT_EQ(context::find_value(sym("THIRD"), ctx)->data2, 4u);

    i32 index = -9;
    EXPECT_EQ(context::find_word_in(ctx, sym("fourth"), true, false, &index), -1);
    EXPECT_EQ(index, -9);  // without the add flag nothing is added
    EXPECT_EQ(context::length(ctx), 3);
    EXPECT_EQ(context::find_word_in(ctx, sym("fourth"), true, true, &index), -1);
    EXPECT_EQ(index, 3);
    EXPECT_EQ(values_length(ctx), 4);
    EXPECT_EQ(context::find_word_in(ctx, sym("FOURTH"), true, true, &index), 3);
    EXPECT_EQ(context::length(ctx), 4);

    Cell spec = block_of({unbound("a", type::set_word), cell::integer(1), unbound("b"),
                          unbound("c", type::set_word), unbound("A", type::set_word)});
    Node fresh = object_with({});
    EXPECT_TRUE(context::collect_set_words(fresh, spec));
    EXPECT_EQ(context::length(fresh), 2);  // a and c; A: shares a
    EXPECT_FALSE(context::collect_set_words(fresh, spec));
}

TEST_F(Contexts, BindWalksNestedSeriesAndBindsSelf) {
    Node ctx = object_with({"a", "b", "self"});
    Cell keep_global = word::load("c");
    Cell inner = block_of({unbound("a"), keep_global, unbound("b", type::get_word)});
    Cell paren = block_of({unbound("B", type::lit_word), unbound("a", type::refinement)}, type::paren);
    Cell path = block_of({unbound("a"), unbound("b")}, type::path);
    Cell body = block_of({unbound("a", type::set_word), inner, paren, path, unbound("self"),
                          unbound("self", type::set_word), unbound("a", type::issue)});

    context::bind(body, ctx, true);
    auto slot_in = [&](const Cell& w) { return w.data1 == ctx ? static_cast<i32>(w.data3) : -100; };
    EXPECT_EQ(slot_in(*at(body, 0)), 0);
    EXPECT_EQ(slot_in(*at(inner, 0)), 0);
    EXPECT_EQ(slot_in(*at(inner, 2)), 1);
    EXPECT_EQ(slot_in(*at(paren, 0)), 1);  // found ignoring case
    EXPECT_EQ(slot_in(*at(paren, 1)), 0);
    EXPECT_EQ(slot_in(*at(path, 1)), 1);
    // A word the context lacks keeps its binding; an issue is never bound.
    EXPECT_EQ(at(inner, 1)->data1, keep_global.data1);
    EXPECT_EQ(at(inner, 1)->data3, keep_global.data3);
    EXPECT_EQ(at(body, 6)->data1, 0u);
    // The word! self reads the self cell; the set-word self: is an ordinary word.
    EXPECT_EQ(at(body, 4)->data1, ctx);
    EXPECT_EQ(static_cast<i32>(at(body, 4)->data3), -1);
    EXPECT_EQ(slot_in(*at(body, 5)), 2);
    *context::self(ctx) = cell::make(type::object, ctx, 0, 0);
    EXPECT_EQ(context::get(*at(body, 4)), context::self(ctx));

    // Without the self flag, self is bound like any other word.
    Cell again = block_of({unbound("self")});
    context::bind(again, ctx, false);
    EXPECT_EQ(slot_in(*at(again, 0)), 2);
}

TEST_F(Contexts, BindingACyclicBlockEnds) {
    Node ctx = object_with({"x"});
    Cell outer = block_of({unbound("x")});
    Cell inner = block_of({outer, unbound("x")}, type::paren);
    *memory::alloc_tail(cell::node(outer)) = outer;  // outer holds itself
    *memory::alloc_tail(cell::node(outer)) = inner;  // and a paren holding it
    context::bind(outer, ctx, false);
    EXPECT_EQ(at(outer, 0)->data1, ctx);
    EXPECT_EQ(at(inner, 1)->data1, ctx);
    EXPECT_EQ(cycles::depth(), 0);
}

TEST_F(Contexts, WritingAnUnresolvedWordAddsItToAnObject) {
    Node ctx = object_with({});
    Cell w = unbound("fresh");
    w.data1 = ctx;
    Cell* slot = context::set_in(w, cell::integer(5), ctx, false);
    EXPECT_EQ(static_cast<i32>(w.data3), 0);
    EXPECT_EQ(context::length(ctx), 1);
    EXPECT_EQ(slot->data2, 5u);
    EXPECT_TRUE(context::word_at(ctx, 0)->header & context::assigned);

    // In a plain context the word is not flagged.
    Node plain = context::create(2, false, false, 0, context::kind::global);
    Cell p = unbound("fresh");
    p.data1 = plain;
    context::set(p, cell::integer(6));
    EXPECT_FALSE(context::word_at(plain, 0)->header & context::assigned);

    // An integer store resolves the slot the same way: an exact entry, a case
    // variant's slot, or a new slot.
    Cell n = unbound("FRESH");
    context::set_integer(ctx, n, 9);
    EXPECT_EQ(static_cast<i32>(n.data3), 0);
    EXPECT_EQ(context::values(ctx)[0].data2, 9u);
    Cell m = unbound("count");
    context::set_integer(ctx, m, 10);
    EXPECT_EQ(static_cast<i32>(m.data3), 1);
    EXPECT_EQ(context::length(ctx), 2);
    EXPECT_EQ(cell::type_of(context::values(ctx)[1]), type::integer);
    EXPECT_EQ(context::values(ctx)[1].data2, 10u);
}

struct ChangeCall {
    i32 word;
    Cell old_value, new_value, stored;
};
std::vector<ChangeCall> change_calls;

TEST_F(Contexts, OnChangeRunsAfterTheStoreWhenAsked) {
    Node ctx = object_with({"f"});
    context::values(ctx)[0] = cell::integer(1);
    *context::self(ctx) = cell::make(type::object, ctx, 0, 77);  // 77: a change-handler record
    change_calls.clear();
    context::set_on_change_hook([](Cell* object, Cell* w, Cell* old_value, Cell* new_value) {
        const Node c = object->data1;
        change_calls.push_back({static_cast<i32>(w->data2), *old_value, *new_value, context::values(c)[0]});
    });

    Cell w = bound(ctx, "f");
    Cell* saved = stack::top;
    context::set_in(w, cell::integer(2), ctx, false);
    EXPECT_TRUE(change_calls.empty());
    Cell* slot = context::set(w, cell::integer(3));
    ASSERT_EQ(change_calls.size(), 1u);
    EXPECT_EQ(change_calls[0].word, sym("f"));
    EXPECT_EQ(change_calls[0].old_value.data2, 2u);
    EXPECT_EQ(change_calls[0].new_value.data2, 3u);
    EXPECT_EQ(change_calls[0].stored.data2, 3u);
    EXPECT_EQ(slot, context::values(ctx));
    EXPECT_EQ(stack::top, saved);

    // An object without a record is not notified.
    context::self(ctx)->data3 = 0;
    context::set(w, cell::integer(4));
    EXPECT_EQ(change_calls.size(), 1u);
}

TEST_F(Contexts, FunctionContextsReadTheirValuesFromTheDataStack) {
    Cell spec = block_of({unbound("a"), cell::integer(0), unbound("B", type::get_word), unbound("doc"),
                          unbound("b", type::set_word), unbound("A", type::lit_word), unbound("ref", type::refinement),
                          unbound("c"), unbound("local", type::refinement), unbound("d")});
    cell::set_type(*at(spec, 3), type::string);  // a doc string: skipped
    Node fn = context::make(spec, true, false, context::kind::function);
    ASSERT_EQ(context::length(fn), 6);  // a b ref c local d; A shares a
    EXPECT_TRUE(context::on_stack_q(fn));
    Cell a = bound(fn, "a"), d = bound(fn, "D");
    EXPECT_EQ(static_cast<i32>(d.data3), 5);

    // Not running: no values to read or write.
    EXPECT_EQ(error_of([&] { context::get(a); }), ErrorId::script_not_in_context);
    EXPECT_EQ(error_of([&] { word::get_value(fn, 0); }), ErrorId::script_not_defined);
    EXPECT_EQ(error_of([&] { context::set(a, cell::integer(1)); }), ErrorId::script_not_in_context);
    EXPECT_EQ(error_of([&] { context::set_integer(fn, d, 1); }), ErrorId::script_not_in_context);
    // Names are looked up in the global context instead.
    context::set_global(sym("a"), cell::integer(99));
    EXPECT_EQ(context::find_value(sym("a"), fn)->data2, 99u);

    // A call: the caller opens the frame and pushes the arguments, the
    // function's body points the context at them.
    stack::mark(stack::word(sym("f")), fn);
    Cell* first = stack::top;
    for (i32 i = 0; i < 6; i++) stack::push(cell::integer(10 + i));
    stack::mark_func(stack::word(stack::body_symbol), fn);
    EXPECT_EQ(context::values(fn), first);
    EXPECT_EQ(context::get(a)->data2, 10u);
    EXPECT_EQ(word::push_local(fn, 3)->data2, 13u);
    context::set(d, cell::integer(50));
    EXPECT_EQ(first[5].data2, 50u);
    EXPECT_EQ(context::values(context::global)[context::find_word(context::global, sym("a"), true)].data2, 99u);

    stack::unwind();       // the body frame
    stack::unwind_func();  // the call frame restores "not running"
    EXPECT_EQ(context::values(fn), nullptr);
    EXPECT_EQ(error_of([&] { context::get(a); }), ErrorId::script_not_in_context);
}

TEST_F(Contexts, CloneGivesTheValueItsOwnContext) {
    Node old = object_with({"a", "b"});
    context::values(old)[0] = cell::integer(1);
    Cell* value = stack::push(cell::make(type::object, old, 5, 0));
    Node fresh = context::clone(*value, context::kind::object);
    EXPECT_NE(fresh, old);
    EXPECT_EQ(value->data1, fresh);
    EXPECT_EQ(context::self(fresh)->data1, fresh);
    EXPECT_TRUE(context::cell_of(fresh)->header & context::for_object);
    ASSERT_EQ(context::length(fresh), 2);
    EXPECT_EQ(values_length(fresh), 2);
    for (i32 i = 0; i < 2; i++) {
        EXPECT_EQ(context::word_at(fresh, i)->data1, fresh);
        EXPECT_EQ(cell::type_of(context::values(fresh)[i]), type::unset);
    }
    EXPECT_EQ(context::find_word(fresh, sym("B"), true), 1);
    // The two word lists are separate from here on.
    context::add_word(fresh, unbound("c"));
    EXPECT_EQ(context::length(old), 2);
    EXPECT_EQ(context::find_word(old, sym("c"), true), -1);
    EXPECT_EQ(context::values(old)[0].data2, 1u);
}

}  // namespace
