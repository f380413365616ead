// native!, action! and op!: make from [spec slot] with its refusals (empty
// table slots included), the cell and auxiliary block made, op! making and
// the op spec rule, reflection, form and mold, and comparison.
#include "interpreter/actions.h"
#include "interpreter/stack.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/native.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/unset.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/registry.h"
#include "runtime/runtime.h"
#include "runtime/system.h"
#include "runtime/words.h"

#include "support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

using namespace oru;

namespace {

using namespace test;

u32 some_native(bool, const i32*) { return 0; }

// What the stand-in block mold saw at each call: the innermost frame's name.
std::vector<i32> frames_seen;

// A stand-in for block!'s mold (the block module is not linked into these
// tests): "[n]" for a block of n values.
i32 mold_block(Cell* value, Cell* buffer, bool, bool, bool, Cell*, i32 limit, i32) {
    const CallFrame* f = stack::top_frame();
    frames_seen.push_back(f ? stack::symbol_of(*f) : 0);
    const std::string text = "[" + std::to_string(memory::buffer(cell::node(*value))->length()) + "]";
    return limit - string::concatenate_literal(*buffer, text.c_str());
}

class Native : public ::testing::Test {
protected:
    void SetUp() override {
        runtime_init();
        native::init();
        action::init();
        op::init();
        // The natives module fills slots 1-107 at start-up.
        native::Entry entries[107];
        for (native::Entry& e : entries) e = some_native;
        native::register_entries(107, entries);
    }
    void TearDown() override { runtime_shutdown(); }

    Outcome make(u32 t, const Cell& arg) {
        return run_native([&] {
            Cell* proto = stack::push(cell::make(type::datatype, t));
            Cell* spec = stack::push(arg);
            stack::set_last(*actions::make(proto, spec));
        });
    }
    Cell made(u32 t, const Cell& arg) {
        Outcome o = make(t, arg);
        EXPECT_FALSE(o.error) << error_id_name(*o.error);
        return o.value;
    }

    static Cell word(u32 t, const char* name) { return cell::make(t, 0, symbol::make(name), 0xFFFFFFFF); }
    static Cell block(std::initializer_list<Cell> cells) {
        const Node n = memory::alloc_cells(cells.size() ? static_cast<i32>(cells.size()) : 1);
        for (const Cell& c : cells) *memory::alloc_tail(n) = c;
        return cell::make(type::block, 0, n, 0);
    }
    // A function! cell as the function module lays it out: context, spec,
    // and a five-cell extra block whose first cell is the body.
    static Cell function(u32 t, const Cell& spec, const Cell& body) {
        const Cell extra = block({body, unset::value, unset::value, unset::value, unset::value});
        return cell::make(t, 0, cell::node(spec), cell::node(extra));
    }
    Cell two_args() { return block({word(type::word, "a"), word(type::word, "b")}); }

    Cell reflect(const Cell& v, i32 field, std::optional<ErrorId>* error = nullptr) {
        Outcome o = run_native([&] { actions::reflect(stack::push(v), static_cast<u32>(field)); });
        if (error) *error = o.error;
        return o.value;
    }
};

TEST_F(Native, MakeRefusesBadArgumentsAndEmptySlots) {
    const Cell spec = two_args();
    struct Case {
        const char* what;
        u32 type;
        Cell arg;
    } cases[] = {
        {"slot 0", type::native, block({spec, cell::integer(0)})},
        {"slot 121", type::native, block({spec, cell::integer(121)})},
        {"empty slot 108", type::native, block({spec, cell::integer(108)})},
        {"empty slot 120", type::native, block({spec, cell::integer(120)})},
        {"negative slot", type::native, block({spec, cell::integer(-1)})},
        {"spec not a block", type::native, block({cell::integer(5), cell::integer(1)})},
        {"spec a word", type::native, block({word(type::word, "if"), cell::integer(1)})},
        {"slot not an integer", type::native, block({spec, none::value})},
        {"one value", type::native, block({spec})},
        {"three values", type::native, block({spec, cell::integer(1), cell::integer(2)})},
        {"not a block", type::native, cell::integer(1)},
        {"action slot 0", type::action, block({spec, cell::integer(0)})},
        {"action slot 63", type::action, block({spec, cell::integer(63)})},
        {"action slot 8: set-path has no entry", type::action, block({spec, cell::integer(8)})},
        {"action spec not a block", type::action, block({none::value, cell::integer(1)})},
        // The spec must have the shape the slot's routine reads (equal? takes
        // two evaluated arguments, add two, move two and /part).
        {"an argument short", type::native, block({block({word(type::word, "a")}), cell::integer(25)})},
        {"a refinement more", type::native,
         block({block({word(type::word, "a"), word(type::word, "b"), word(type::refinement, "x")}),
                cell::integer(25)})},
        {"a refinement short", type::action, block({spec, cell::integer(37)})},
        {"a lit-word for a word", type::native,
         block({block({word(type::lit_word, "a"), word(type::word, "b")}), cell::integer(25)})},
        {"locals", type::native,
         block({block({word(type::word, "a"), word(type::word, "b"), word(type::refinement, "local"),
                       word(type::word, "c")}),
                cell::integer(25)})},
        {"wider types than the routine takes (if: a block)", type::native, block({spec, cell::integer(1)})},
        {"a routine not built yet has no shape", type::native, block({spec, cell::integer(40)})},
        {"eval-path has no action! spec", type::action, block({spec, cell::integer(7)})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Outcome o = make(c.type, c.arg);
        ASSERT_TRUE(o.error);
        EXPECT_EQ(*o.error, ErrorId::script_bad_make_arg);
        EXPECT_EQ(pending_error.args[0].data1, c.type);  // the datatype, then the argument
        EXPECT_EQ(pending_error.args[1].data2, c.arg.data2);
    }
}

// Start-up's check of the defined words against the shapes: each word must
// hold a value of its slot whose spec has the shape exactly, so a library
// spec narrower than what the routine reads, or with a renamed refinement,
// is found as surely as a missing word.
TEST_F(Native, CheckDefinedFindsSpecsUnlikeTheirShapes) {
    auto define = [&](const char* name, u32 t, std::initializer_list<Cell> spec, i32 slot) {
        const Cell v = made(t, block({block(spec), cell::integer(slot)}));
        context::set_global(symbol::make(name), v);
    };
    define("add", type::action, {word(type::word, "a"), word(type::word, "b")}, 11);
    // not reads any value, unset! included: an untyped argument excludes it.
    define("not", type::native, {word(type::word, "value")}, 33);
    define("random", type::action,
           {word(type::word, "value"), word(type::refinement, "seed"), word(type::refinement, "secure"),
            word(type::refinement, "other")},
           2);
    // equal?'s word holds the add action.
    context::set_global(symbol::make("equal?"), *context::global_slot(symbol::make("add")));
    const std::string faults = native::check_defined();
    auto has = [&](const std::string& line) { return faults.find(line + "\n") != std::string::npos; };
    EXPECT_EQ(faults.find("add ("), std::string::npos) << "add has its shape";
    EXPECT_TRUE(has("not (slot 33): other argument types")) << faults;
    EXPECT_TRUE(has("random (slot 2): another refinement name")) << faults;
    EXPECT_TRUE(has("equal? (slot 25): the word holds no native! of its slot")) << faults;
    EXPECT_TRUE(has("if (slot 1): the word holds no native! of its slot")) << faults;
}

TEST_F(Native, MakeBuildsTheCellAndItsAuxiliaryBlock) {
    const Cell spec = two_args();
    for (i32 slot : {25, 32}) {
        SCOPED_TRACE(slot);
        const Cell v = made(type::native, block({spec, cell::integer(slot)}));
        EXPECT_EQ(cell::type_of(v), type::native);
        EXPECT_EQ(v.data1, static_cast<u32>(slot - 1));  // an index, not an address
        EXPECT_EQ(native::entry_of(v), some_native);
        EXPECT_EQ(v.data2, cell::node(spec));
        SeriesBuffer* aux = memory::buffer(v.data3);
        ASSERT_EQ(aux->length(), 2u);
        const Cell& ctx = aux->cells()[0];
        EXPECT_EQ(cell::type_of(ctx), type::context);
        EXPECT_EQ((ctx.header >> 11) & 3, 1u) << "a function context";
        EXPECT_TRUE(ctx.header & flag::ctx_on_stack);
        EXPECT_NE(ctx.data1, 0u) << "with a word list";
        EXPECT_EQ(ctx.data2, 0u) << "and no values while nothing runs";
        // The arguments description, made with the value from the spec as it
        // was checked, so that nothing changed later widens it.
        EXPECT_EQ(cell::type_of(aux->cells()[1]), type::block);
    }
    // An entry alone is not enough: slot 108 once filled has no shape.
    native::Entry more[] = {some_native};
    native::register_entries(1, more);
    EXPECT_TRUE(make(type::native, block({spec, cell::integer(108)})).error);

    // The argument is read from its position.
    Cell at1 = block({none::value, spec, cell::integer(26)});
    at1.data1 = 1;
    EXPECT_EQ(made(type::native, at1).data1, 25u);

    const Cell a = made(type::action, block({spec, cell::integer(11)}));
    EXPECT_EQ(cell::type_of(a), type::action);
    EXPECT_EQ(a.data1, 10u);
}

TEST_F(Native, TheTableDropsEntriesPastItsLastSlot) {
    native::Entry entries[20];
    for (native::Entry& e : entries) e = some_native;
    native::register_entries(20, entries);  // 107 + 20 > 120
    EXPECT_EQ(native::table_count, 121);
    EXPECT_EQ(native::entry_at(120), some_native);
    EXPECT_EQ(native::entry_at(121), nullptr);
    EXPECT_EQ(native::entry_at(0), nullptr);
}

TEST_F(Native, OpSpecRule) {
    const Cell a = word(type::word, "a"), b = word(type::word, "b"), c = word(type::word, "c");
    const Cell doc = cell::make(type::string), types = block({});
    struct Case {
        const char* what;
        Cell spec;
        bool valid;
    } cases[] = {
        {"two words", block({a, b}), true},
        {"docs and type blocks skipped", block({doc, a, types, doc, b, types}), true},
        {"get-word second", block({a, word(type::get_word, "b")}), true},
        {"lit-word second", block({a, word(type::lit_word, "b")}), true},
        {"get-word first", block({word(type::get_word, "a"), b}), false},
        {"lit-word first", block({word(type::lit_word, "a"), b}), false},
        {"three arguments", block({a, b, c}), false},
        {"one argument", block({a}), false},
        {"/local ends the walk", block({a, b, word(type::refinement, "local"), c}), true},
        {"/LOCAL in any case", block({a, b, word(type::refinement, "LOCAL"), c}), true},
        {"/extern ends the walk", block({a, b, word(type::refinement, "extern"), c}), true},
        {"another refinement", block({a, b, word(type::refinement, "only")}), false},
        {"return: ends the walk", block({a, b, word(type::set_word, "return"), types, c}), true},
        {"arguments after /local do not count", block({word(type::refinement, "local"), a, b}), false},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        EXPECT_EQ(op::valid_spec_q(k.spec), k.valid);
    }
}

TEST_F(Native, MakingOps) {
    const Cell spec2 = two_args();
    const Cell nat = made(type::native, block({spec2, cell::integer(25)}));
    const Cell act = made(type::action, block({spec2, cell::integer(11)}));
    for (const Cell& v : {nat, act}) {
        const Cell o = made(type::op, v);
        EXPECT_EQ(o.header, type::op | (cell::type_of(v) << 16));
        EXPECT_EQ(op::wrapped_type(o), cell::type_of(v));
        EXPECT_EQ(o.data1, v.data1);
        EXPECT_EQ(o.data2, v.data2);
        EXPECT_EQ(o.data3, v.data3);
    }

    // An op of a function shares its extra block and leaves the function
    // in the block's fourth cell.
    const Cell body = block({cell::integer(1), cell::integer(2)});
    for (u32 t : {type::function, type::routine}) {
        SCOPED_TRACE(t);
        const Cell fn = function(t, spec2, body);
        const Cell o = made(type::op, fn);
        EXPECT_EQ(o.header, type::op | (t << 16));
        EXPECT_EQ(o.data3, fn.data3);
        const Cell& kept = memory::buffer(fn.data3)->cells()[op::extra_function_cell];
        EXPECT_EQ(kept.header, fn.header);
        EXPECT_EQ(kept.data2, fn.data2);
    }

    struct Bad {
        const char* what;
        Cell value;
        ErrorId id;
    } bad[] = {
        {"three arguments", function(type::function, block({word(type::word, "a"), word(type::word, "b"),
                                                           word(type::word, "c")}), body),
         ErrorId::script_bad_op_spec},
        {"lit-word first", function(type::function, block({word(type::lit_word, "a"), word(type::word, "b")}), body),
         ErrorId::script_bad_op_spec},
        {"action with a refinement", made(type::action, block({block({word(type::word, "a"), word(type::word, "b"),
                                                                      word(type::refinement, "part"),
                                                                      word(type::word, "c")}),
                                                               cell::integer(37)})),
         ErrorId::script_bad_op_spec},
        {"an integer", cell::integer(1), ErrorId::script_invalid_type},
        {"an op", made(type::op, nat), ErrorId::script_invalid_type},
    };
    for (const Bad& k : bad) {
        SCOPED_TRACE(k.what);
        Outcome o = make(type::op, k.value);
        ASSERT_TRUE(o.error);
        EXPECT_EQ(*o.error, k.id);
    }
}

TEST_F(Native, Reflect) {
    const Cell spec = two_args();
    const Cell nat = made(type::native, block({spec, cell::integer(25)}));
    const Cell act = made(type::action, block({spec, cell::integer(11)}));

    const Cell s = reflect(nat, words::sym::spec);
    EXPECT_EQ(cell::type_of(s), type::block);
    EXPECT_EQ(cell::node(s), cell::node(spec)) << "the spec itself, not a copy";

    // body: the 1-based table slot (the equal? native's is 25), also through an op.
    EXPECT_EQ(reflect(nat, words::sym::body).data2, 25u);
    EXPECT_EQ(reflect(act, words::sym::body).data2, 11u);
    EXPECT_EQ(reflect(made(type::op, act), words::sym::body).data2, 11u);

    // An op of a function: a copy of the function's body.
    const Cell body = block({cell::integer(7), cell::integer(8)});
    const Cell fn_op = made(type::op, function(type::function, spec, body));
    const Cell copy = reflect(fn_op, words::sym::body);
    ASSERT_EQ(cell::type_of(copy), type::block);
    EXPECT_NE(cell::node(copy), cell::node(body));
    SeriesBuffer* cb = memory::buffer(cell::node(copy));
    ASSERT_EQ(cb->length(), 2u);
    EXPECT_EQ(cb->cells()[1].data2, 8u);

    std::optional<ErrorId> error;
    reflect(nat, words::sym::words, &error);
    ASSERT_TRUE(error);
    EXPECT_EQ(*error, ErrorId::internal_not_done);
}

TEST_F(Native, FormMoldAndCompare) {
    const ActionTable stand_in{.mold = mold_block};
    registry::add(type::block, 0, "block!", stand_in);

    const Cell spec = two_args();
    const Cell nat = made(type::native, block({spec, cell::integer(26)}));
    const Cell act = made(type::action, block({spec, cell::integer(26)}));
    const Cell fn = function(type::function, spec, block({cell::integer(1), cell::integer(2), cell::integer(3)}));
    struct Case {
        Cell value;
        const char* form;
        const char* mold;
    } cases[] = {
        {nat, "?native?", "make native! [[2]]"},
        {act, "?action?", "make action! [[2]]"},
        {made(type::op, nat), "?op?", "make op! [[2]]"},
        {made(type::op, fn), "?op?", "make op! func [2][3]"},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.mold);
        Cell* buffer = stack::push();
        string::make_at(*buffer, 16);
        EXPECT_EQ(actions::form(&c.value, buffer, nullptr, 100), 100 - static_cast<i32>(std::strlen(c.form)));
        SeriesBuffer* s = memory::buffer(cell::node(*buffer));
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(s->head_ptr()), s->length()), c.form);
        s->tail = s->head;
        frames_seen.clear();
        Cell* before = stack::top;
        const u32 depth = stack::depth();
        EXPECT_EQ(actions::mold(&c.value, buffer, false, false, false, nullptr, 100, 0),
                  100 - static_cast<i32>(std::strlen(c.mold)));
        s = memory::buffer(cell::node(*buffer));
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(s->head_ptr()), s->length()), c.mold);
        EXPECT_EQ(stack::top, before);
        EXPECT_EQ(stack::depth(), depth);
        // An op's spec is molded inside an anonymous native frame.
        ASSERT_FALSE(frames_seen.empty());
        if (cell::type_of(c.value) == type::op) {
            EXPECT_EQ(frames_seen[0], stack::anon_symbol);
        } else {
            EXPECT_NE(frames_seen[0], stack::anon_symbol);
        }
        stack::pop(1);
    }

    Cell n1 = nat, n2 = made(type::native, block({spec, cell::integer(27)})), a1 = act;
    EXPECT_EQ(actions::compare_raw(&n1, &n1, actions::op::equal), 0);
    EXPECT_EQ(actions::compare_raw(&n1, &n2, actions::op::equal), -1);
    EXPECT_EQ(actions::compare_raw(&n2, &n1, actions::op::strict_equal), 1);
    EXPECT_EQ(actions::compare_raw(&n1, &n2, actions::op::lesser), -2) << "natives have no order";
    EXPECT_EQ(actions::compare_raw(&n1, &a1, actions::op::equal), -2);
    EXPECT_EQ(actions::compare_raw(&a1, &n1, actions::op::equal), -2);
    // Slot 26 of the native table and slot 26 of the action table are
    // different entries, so their ops differ too.
    Cell o1 = made(type::op, nat), o2 = made(type::op, act), o3 = made(type::op, nat);
    EXPECT_NE(actions::compare_raw(&o1, &o2, actions::op::equal), 0);
    EXPECT_EQ(actions::compare_raw(&o1, &o3, actions::op::equal), 0);
}

}  // namespace
