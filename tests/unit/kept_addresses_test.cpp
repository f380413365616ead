// Addresses kept across calls: memory::moves must change whenever a kept
// buffer address may have gone stale, and the evaluator's kept global values
// must follow the global values block wherever it moves.
#include "interpreter/evaluator.h"

#include "interpreter/natives.h"
#include "interpreter/natives_eval.h"
#include "interpreter/stack.h"
#include "runtime/collector.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/function.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/object.h"
#include "runtime/datatypes/routine.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/unset.h"
#include "runtime/memory.h"
#include "runtime/runtime.h"
#include "support.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

using namespace oru;

namespace {

class KeptAddresses : public ::testing::Test {
protected:
    void SetUp() override {
        runtime_init();
        natives::init();
        interpreter::init();
        stack::push(unset::value);
        stack::mark_native(stack::word(0));
    }
    void TearDown() override {
        collector::set_stress(false);
        runtime_shutdown();
    }

    // A block of the given cells, held on the stack.
    Cell block_of(std::initializer_list<Cell> cells) {
        const Node n = memory::alloc_cells(static_cast<i32>(cells.size()) + 1);
        for (const Cell& c : cells) *memory::alloc_tail(n) = c;
        return *stack::push(cell::make(type::block, 0, n, 0));
    }

    // Evaluates the block in a frame of its own; the result. What the test
    // pushed stays on the stack (the blocks it holds must outlive collections).
    Cell eval(const Cell& block) {
        Cell* const saved = stack::top;
        const Cell r = test::eval_framed(block);
        stack::top = saved;
        return r;
    }
};

i32 int_of(const Cell& c) {
    EXPECT_EQ(cell::type_of(c), type::integer);
    return static_cast<i32>(c.data2);
}

TEST_F(KeptAddresses, MovesCountsWhatCanStaleABufferAddress) {
    const Node n = memory::alloc_cells(2);
    struct Case {
        const char* what;
        std::function<void()> run;
        bool bumps;
    } cases[] = {
        {"allocation", [] { memory::alloc_cells(100); }, false},
        {"tail write", [&] { *memory::alloc_tail(n) = unset::value; }, false},
        {"growth", [&] { memory::expand_series_copy(memory::buffer(n), 0); }, true},
        {"collection", [] { collector::recycle(); }, true},
        {"runtime restart", [this] { runtime_shutdown(); SetUp(); }, true},
    };
    for (const Case& c : cases) {
        const u64 before = memory::moves;
        c.run();
        EXPECT_EQ(memory::moves != before, c.bumps) << c.what;
    }
}

// The global values block moved between two reads of a global word (grown
// past its room, compacted by a collection, grown with a collection at
// every allocation): reads and writes through the evaluator reach the block where
// it is now, never the copy left behind.
TEST_F(KeptAddresses, GlobalValuesFollowTheBlock) {
    Cell g = context::add_global_word(symbol::make("kept-g"), false, false);
    Cell set_g = g;
    cell::set_type(set_g, type::set_word);
    context::set(g, cell::integer(1));
    const Cell read = block_of({g});
    EXPECT_EQ(int_of(eval(read)), 1);  // the global values are kept now
    const Node values = context::cell_of(context::global)->data2;
    i32 grown = 0;
    const auto grow = [&] {
        const SeriesBuffer* at = memory::buffer(values);
        while (memory::buffer(values) == at)
            context::add_global_word(symbol::make(("kept-grow-" + std::to_string(grown++)).c_str()), false, false);
    };
    struct Case {
        const char* what;
        std::function<void()> move;
    } cases[] = {
        {"growth", grow},
        {"collection", [] { collector::recycle(); }},
        {"growth in stress mode",
         [&] {
             collector::set_stress(true);
             collector::enable(true);
             grow();
             collector::enable(false);
             collector::set_stress(false);
         }},
    };
    i32 v = 1;
    for (const Case& c : cases) {
        const SeriesBuffer* at = memory::buffer(values);
        const u64 moves = memory::moves;
        c.move();
        EXPECT_NE(memory::moves, moves) << c.what;
        EXPECT_NE(memory::buffer(values), at) << c.what << ": the block did not move, the case proves nothing";
        // A write through the context: the evaluator's read must see it.
        context::set(g, cell::integer(++v));
        EXPECT_EQ(int_of(eval(read)), v) << c.what;
        // A write through the evaluator: the context must see it.
        const Cell write = block_of({set_g, cell::integer(++v)});
        EXPECT_EQ(int_of(eval(write)), v) << c.what;
        EXPECT_EQ(int_of(*context::get(g)), v) << c.what;
    }
}

// A running function's values moved by a road other than the evaluator's
// own calls: a routine runs a second activation of the function through
// mark_func (the values reference now names the routine's cells) and
// evaluates a block of the function's words there. The reads inside must
// see the second activation's values, the reads after it the first's again.
Cell nested_block{type::unset, 0, 0, 0};
Cell nested_seen{type::unset, 0, 0, 0};
Node nested_ctx = 0;
routine::Machine run_nested(const routine::Machine*, i32) {
    stack::mark(stack::word(stack::body_symbol), nested_ctx);
    stack::push(cell::integer(99));
    stack::mark_func(stack::word(stack::body_symbol), nested_ctx);
    stack::push(unset::value);
    EXPECT_EQ(interpreter::eval_block(nested_block, true), 0u);
    nested_seen = *stack::arguments;
    stack::unwind_func();
    stack::unwind_func();
    return routine::Machine{.cell = &nested_seen};
}

TEST_F(KeptAddresses, RunningFunctionFollowsItsValuesReference) {
    const i32 n_sym = symbol::make("kept-n");
    const Cell n_word = cell::make(type::word, 0, static_cast<u32>(n_sym), 0xFFFFFFFF);
    const Cell probe_word = context::add_global_word(symbol::make("kept-probe"), false, false);
    Cell* probe_spec = stack::push(block_of({}));
    routine::push(*probe_spec, unset::value, routine::register_entry(run_nested), 0, true);
    context::set(const_cast<Cell&>(probe_word), stack::top[-1]);
    // f: func [kept-n] [kept-probe kept-n]
    Cell* spec = stack::push(block_of({n_word}));
    Cell* body = stack::push(block_of({probe_word, n_word}));
    Cell* fn = function::make_func(*spec, *body);
    nested_ctx = function::context_of(*fn);
    nested_block = *stack::push(block_of({n_word}));
    context::bind(nested_block, nested_ctx, false);
    const Cell f_word = context::add_global_word(symbol::make("kept-f"), false, false);
    context::set(const_cast<Cell&>(f_word), *fn);
    nested_seen = unset::value;
    EXPECT_EQ(int_of(eval(block_of({f_word, cell::integer(5)}))), 5);  // read after the nested run
    EXPECT_EQ(int_of(nested_seen), 99);                                 // read inside it
}

Cell recycled{type::unset, 0, 0, 0};
routine::Machine run_recycle(const routine::Machine*, i32) {
    collector::recycle();
    return routine::Machine{.cell = &recycled};
}

// A callback passes over the cell at the top, which lies under its frame
// while it runs. Left as a dead string naming the node number that an
// object's context has since taken, it had the collector mark the context
// without walking it, and the object's words and values died under it.
TEST_F(KeptAddresses, CellACallbackPassesOverIsNoStaleRoot) {
    const Cell o_word = cell::make(type::word, 0, static_cast<u32>(symbol::make("kept-o")), 0xFFFFFFFF);
    const Cell a_word = cell::make(type::word, 0, static_cast<u32>(symbol::make("kept-a")), 0xFFFFFFFF);
    Cell a_set = a_word;
    cell::set_type(a_set, type::set_word);
    const Cell recycle_word = context::add_global_word(symbol::make("kept-recycle"), false, false);
    Cell* recycle_spec = stack::push(block_of({}));
    routine::push(*recycle_spec, unset::value, routine::register_entry(run_recycle), 0, true);
    context::set(const_cast<Cell&>(recycle_word), stack::top[-1]);
    // f: func [kept-o] [kept-recycle kept-o]
    Cell* spec = stack::push(block_of({o_word}));
    Cell* body = stack::push(block_of({recycle_word, o_word}));
    const Cell fn = *function::make_func(*spec, *body);
    stack::push(fn);

    // The object lives only in this C++ array until the callback pushes it.
    Cell* const base = stack::top;
    Cell* fields = stack::push(block_of({a_set, cell::integer(7)}));
    Cell args[1] = {*object::construct(none::value, *fields, false)};
    stack::top = base;
    *stack::top = cell::make(type::string, 0, object::context_of(args[0]), 0);

    const Cell answer = natives::call_callback(fn, stack::word(symbol::make("kept-f")), 0, args, 1);
    ASSERT_EQ(cell::type_of(answer), type::object);
    Cell* held = stack::push(answer);
    const Cell* a = object::rs_select(*held, a_word);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(int_of(*a), 7);
}

}  // namespace
