// The evaluator's shortcuts for words: the global values and the running
// function's values it keeps at hand must never answer for a word they do
// not hold, whatever state the runtime is in.
#include "interpreter/evaluator.h"

#include "interpreter/natives.h"
#include "interpreter/stack.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/unset.h"
#include "runtime/memory.h"
#include "runtime/runtime.h"
#include "support.h"

#include <gtest/gtest.h>

using namespace oru;

namespace {

class EvaluatorShortcuts : public ::testing::Test {
protected:
    void SetUp() override {
        runtime_init();
        natives::init();
        interpreter::init();  // nothing kept yet
        stack::push(unset::value);
        stack::mark_native(stack::word(0));
    }
    void TearDown() override { runtime_shutdown(); }

    // A block of the given cells, held on the stack.
    Cell block_of(std::initializer_list<Cell> cells) {
        const Node n = memory::alloc_cells(static_cast<i32>(cells.size()) + 1);
        for (const Cell& c : cells) *memory::alloc_tail(n) = c;
        return *stack::push(cell::make(type::block, 0, n, 0));
    }

    // Evaluates the block in a frame of its own; the error id, if any.
    std::optional<ErrorId> eval_error(const Cell& block) {
        return test::error_of([&] {
            stack::push(unset::value);
            stack::mark_native(stack::word(0));
            stack::push(unset::value);
            EXPECT_EQ(interpreter::eval_block(block, true), 0u);
            stack::unroll();
        });
    }
};

// A word bound to no context, with a slot number, read before any global word
// was kept: no-context 0 must not be taken for the kept global context.
TEST_F(EvaluatorShortcuts, UnboundWordWithASlotIsNotDefined) {
    const i32 sym = symbol::make("loose");
    const Cell loose = cell::make(type::word, 0, static_cast<u32>(sym), 0);
    EXPECT_EQ(eval_error(block_of({loose})), ErrorId::script_not_defined);
    // The same after a global word was read and kept.
    Cell global = context::add_global_word(sym, false, false);
    context::set(global, cell::integer(5));
    EXPECT_EQ(eval_error(block_of({global})), std::nullopt);
    EXPECT_EQ(eval_error(block_of({loose})), ErrorId::script_not_defined);
}

// A function context's word read while its function is not running.
TEST_F(EvaluatorShortcuts, FunctionWordOutsideItsCallIsNotInContext) {
    const Node ctx = context::create(2, true, false, 0, context::kind::function);
    const Cell spec_word = cell::make(type::word, 0, static_cast<u32>(symbol::make("arg")), 0);
    context::add_word(ctx, spec_word);
    const Cell bound = cell::make(type::word, ctx, spec_word.data2, 0);
    EXPECT_EQ(eval_error(block_of({bound})), ErrorId::script_not_in_context);
}

}  // namespace
