// Data stack and call-frame stack: overflow limits, where each unwinding
// stops, frame closing and restoring, and the queries over frames.
#include "interpreter/stack.h"
#include "runtime/console.h"
#include "runtime/cycles.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/runtime.h"
#include "runtime/system.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace oru;

namespace {

Cell name(const char* spelling) { return stack::word(symbol::make(spelling)); }

bool same(const Cell& a, const Cell& b) {
    return a.header == b.header && a.data1 == b.data1 && a.data2 == b.data2 && a.data3 == b.data3;
}

// Runs body under a catch point that stops everything; returns the code.
template <class F>
u32 run(F&& body) {
    return catch_level(throw_code::top_level, body);
}

class Stack : public ::testing::Test {
protected:
    void SetUp() override { runtime_init(); }
    void TearDown() override { runtime_shutdown(); }

    // Opens frames by letter: L loop, T try, A try/all, C catch, N native,
    // F function call carrying the body flag, E block evaluation. Before each
    // frame a marker is pushed, so every frame has its own argument base.
    // Returns each frame's own argument base.
    static std::vector<Cell*> open(const char* frames) {
        std::vector<Cell*> bases;
        for (const char* p = frames; *p; p++) {
            stack::push_value(cell::integer(static_cast<i32>(p - frames)));
            Cell n = name(std::string(1, *p).c_str());
            switch (*p) {
            case 'L': stack::mark_loop(n); break;
            case 'T': stack::mark_try(n); break;
            case 'A': stack::mark_try_all(n); break;
            case 'C': stack::mark_catch(n); break;
            case 'N': stack::mark_native(n); break;
            case 'E': stack::mark_interp_eval(n); break;
            case 'F':
                stack::mark(n, 0);
                stack::set_body_flag(true);
                break;
            }
            bases.push_back(stack::arguments);
        }
        return bases;
    }

    static void clear_stacks() {
        stack::frame_top = stack::frame_bottom;
        stack::arguments = stack::top = stack::bottom;
        stack::throw_origin = nullptr;
    }
};

TEST_F(Stack, DataStackHolds19999CellsThenRaisesAndRecovers) {
    Cell* base = stack::top;
    stack::mark_try(name("try"));
    cycles::push(1234);
    for (i32 i = 0; i < stack::data_cells - 1; i++) stack::push_value(cell::integer(i));
    EXPECT_EQ(stack::top - stack::bottom, stack::data_cells - 1);
    EXPECT_TRUE(same(*stack::last_pushed(), cell::integer(stack::data_cells - 2)));

    pending_error = {};
    u32 code = run([] { stack::push(); });
    EXPECT_EQ(code, throw_code::error);
    EXPECT_EQ(pending_error.id, ErrorId::internal_stack_overflow);
    EXPECT_EQ(cycles::depth(), 0) << "the overflow empties the cycle stack";
    EXPECT_EQ(stack::depth(), 0u) << "the try frame caught it and is closed";
    // The error sits above the lowered top, where the try native finds it.
    EXPECT_EQ(stack::top_type(), type::error);
    EXPECT_LT(stack::top, stack::end);
    stack::keep_error_result();
    EXPECT_EQ(stack::arguments, base);
    EXPECT_EQ(stack::top, base + 1);
    EXPECT_EQ(cell::type_of(*stack::arguments), type::error);

    // Usable again, up to the same limit.
    for (i32 i = 0; i < 1000; i++) stack::push_value(cell::integer(i));
    EXPECT_EQ(stack::top - stack::bottom, 1001);
}

TEST_F(Stack, CallStackHolds12000Frames) {
    EXPECT_EQ(stack::frame_end - stack::frame_bottom, 12000);
    Cell n = name("f");
    stack::mark_try(name("try"));
    for (u32 i = 1; i < stack::frame_capacity; i++) stack::mark_native(n);
    EXPECT_EQ(stack::depth(), 12000u);
    Cell* data_top = stack::top;
    pending_error = {};
    u32 code = run([&] { stack::mark_native(n); });
    EXPECT_EQ(code, throw_code::error);
    EXPECT_EQ(pending_error.id, ErrorId::internal_stack_overflow);
    EXPECT_EQ(stack::depth(), 0u);
    // The data top was lowered by 5 cells (not below bottom) before the error
    // was pushed.
    EXPECT_EQ(stack::top, data_top > stack::bottom + 5 ? data_top - 5 + 1 : stack::bottom + 1);
    stack::mark_native(n);  // frames can open again
    EXPECT_EQ(stack::depth(), 1u);
}

// Where each unwinding stops. The last frame is the native doing it, with
// the value 99 and a name as its arguments.
TEST_F(Stack, EachUnwindingStopsAtItsFrameKind) {
    enum class Op { break_, break_value, continue_, return_, return_keep_top, exit, throw_, error };
    struct Case {
        const char* frames;
        Op op;
        u32 code;
        ErrorId error;  // when code is the error code
        u32 depth;      // frames still open afterwards
    } cases[] = {
        {"LN", Op::break_, throw_code::break_, {}, 1},
        {"LN", Op::break_value, throw_code::break_, {}, 1},
        {"LN", Op::continue_, throw_code::continue_, {}, 1},
        {"LTN", Op::break_, throw_code::break_, {}, 1},
        {"LCN", Op::break_, throw_code::break_, {}, 1},            // catch does not stop break
        {"LLN", Op::break_, throw_code::break_, {}, 2},            // the innermost loop
        {"LAN", Op::break_, throw_code::error, ErrorId::throw_break, 1},  // try/all stops it
        {"LAN", Op::continue_, throw_code::error, ErrorId::throw_continue, 1},
        {"TN", Op::break_, throw_code::error, ErrorId::throw_break, 0},
        {"TN", Op::continue_, throw_code::error, ErrorId::throw_continue, 0},
        {"FLN", Op::return_, throw_code::return_, {}, 1},          // the loop is dropped on the way
        {"FLN", Op::exit, throw_code::exit, {}, 1},
        {"F", Op::return_keep_top, throw_code::return_, {}, 1},
        {"TN", Op::return_, throw_code::error, ErrorId::throw_return, 0},
        {"FAN", Op::return_, throw_code::error, ErrorId::throw_return, 1},
        {"CLN", Op::throw_, throw_code::throw_, {}, 1},
        {"TN", Op::throw_, throw_code::error, ErrorId::throw_throw, 0},
        {"CAN", Op::throw_, throw_code::error, ErrorId::throw_throw, 1},
        {"TLN", Op::error, throw_code::error, ErrorId::script_invalid_arg, 0},
        {"TAN", Op::error, throw_code::error, ErrorId::script_invalid_arg, 1},
        {"TCN", Op::error, throw_code::error, ErrorId::script_invalid_arg, 0},
        {"TFLN", Op::error, throw_code::error, ErrorId::script_invalid_arg, 0},
    };
    const Cell label = name("label");
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.frames) + " op " + std::to_string(static_cast<int>(c.op)));
        clear_stacks();
        std::vector<Cell*> bases = open(c.frames);
        stack::push_value(cell::integer(99));
        stack::push_value(label);
        pending_error = {};
        u32 code = run([&] {
            switch (c.op) {
            case Op::break_: stack::throw_break(false, false);
            case Op::break_value: stack::throw_break(true, false);
            case Op::continue_: stack::throw_break(false, true);
            case Op::return_: stack::throw_return(true, false);
            case Op::return_keep_top: stack::throw_return(true, true);
            case Op::exit: stack::throw_return(false, false);
            case Op::throw_: stack::throw_throw(throw_code::throw_);
            case Op::error: fire(ErrorId::script_invalid_arg, cell::integer(99));
            }
        });
        EXPECT_EQ(code, c.code);
        EXPECT_EQ(stack::depth(), c.depth);
        if (code == throw_code::error) {
            EXPECT_EQ(pending_error.id, c.error);
            EXPECT_EQ(stack::top_type(), type::error);
            if (c.error == ErrorId::throw_throw) {
                EXPECT_TRUE(same(pending_error.args[0], cell::integer(99)));
            }
            continue;
        }
        // The stop frame stays open, the stacks at its own argument base.
        ASSERT_GE(c.depth, 1u);
        Cell* base = bases[c.depth - 1];
        EXPECT_EQ(stack::arguments, base);
        switch (c.op) {
        case Op::break_value:
        case Op::return_:
        case Op::return_keep_top:
            EXPECT_TRUE(same(*base, cell::integer(99)));
            EXPECT_EQ(stack::top, base);
            break;
        case Op::throw_:
            EXPECT_EQ(stack::top, base + 2);
            EXPECT_TRUE(same(base[0], cell::integer(99)));
            EXPECT_TRUE(same(base[1], label));
            break;
        default:
            EXPECT_EQ(cell::type_of(*base), type::unset);
            EXPECT_EQ(stack::top, base);
        }
    }
}

TEST_F(Stack, GetCallAfterThrowNamesTheThrower) {
    stack::mark_catch(name("catch"));
    stack::mark(name("thrower"), 0);
    stack::push_value(cell::integer(1));
    stack::mark_native(stack::word(stack::body_symbol));  // anonymous frames are passed over
    stack::mark_native(name("throw"));
    stack::push_value(cell::integer(7));
    ASSERT_EQ(run([] { stack::throw_throw(throw_code::throw_); }), throw_code::throw_);
    EXPECT_EQ(stack::depth(), 1u);
    EXPECT_EQ(stack::get_call().data2, static_cast<u32>(symbol::make("thrower")));
    // The origin is used once; afterwards the walk starts at the top frame.
    EXPECT_EQ(stack::get_call().data2, static_cast<u32>(symbol::make("catch")));
    stack::unwind();
    EXPECT_EQ(stack::get_call().data2, static_cast<u32>(stack::not_found_symbol));
}

TEST_F(Stack, PopNeverGoesBelowBottom) {
    for (i32 i = 0; i < 3; i++) stack::push_value(cell::integer(i));
    stack::pop(2);
    EXPECT_EQ(stack::top - stack::bottom, 1);
    stack::pop(50);
    EXPECT_EQ(stack::top, stack::bottom);
    EXPECT_EQ(stack::last_pushed(), stack::bottom);
}

TEST_F(Stack, ClosingFramesMovesArgumentsAndTop) {
    stack::push_value(cell::integer(0));
    Cell* outer = stack::arguments;
    stack::mark_native(name("f"));
    Cell* inner = stack::arguments;
    stack::push_value(cell::integer(5));
    stack::push_value(cell::integer(6));

    stack::unwind_last();  // result goes to the caller's slot
    EXPECT_EQ(stack::arguments, outer);
    EXPECT_EQ(stack::top, inner + 1);
    EXPECT_TRUE(same(*outer, cell::integer(5)));

    stack::mark_native(name("g"));
    stack::push_value(cell::integer(8));
    stack::unroll();  // drops the callee's result too
    EXPECT_EQ(stack::arguments, outer);
    EXPECT_EQ(stack::top, outer);

    stack::mark_native(name("h"));
    stack::push_value(cell::integer(9));
    stack::unwind_drop();  // the last frame: back to the empty state
    EXPECT_EQ(stack::depth(), 0u);
    EXPECT_EQ(stack::arguments, stack::bottom);
    EXPECT_EQ(stack::top, stack::bottom);

    stack::unwind();  // nothing open: nothing happens below the bottom
    EXPECT_EQ(stack::depth(), 0u);
}

TEST_F(Stack, UnwindToPlacesTheStacksByKeep) {
    for (bool keep : {false, true}) {
        SCOPED_TRACE(keep ? "keep" : "no keep");
        clear_stacks();
        std::vector<Cell*> bases = open("NLNN");
        Cell* innermost = stack::arguments;
        CallFrame* found = stack::unwind_to_loop(keep);
        ASSERT_EQ(found, stack::frame_bottom + 1);
        EXPECT_EQ(stack::depth(), 2u) << "the loop frame stays open";
        EXPECT_EQ(stack::top, innermost + 1);
        EXPECT_EQ(stack::arguments, keep ? bases[1] : bases[0]);
    }
    // Compiled return: the result moves into the function frame's slot.
    clear_stacks();
    std::vector<Cell*> bases = open("NFN");
    stack::set_last(cell::integer(42));
    stack::unwind_to_kind_last(frame_kind::function);
    EXPECT_EQ(stack::depth(), 2u);
    EXPECT_EQ(stack::arguments, bases[1]);
    EXPECT_TRUE(same(*stack::arguments, cell::integer(42)));
}

// Where the walk stops and where it leaves the two pointers, edge cases
// included: the stop frame on top, no frame of the kind (the bottom frame
// stops it), a try/all on the way, and no frame at all.
TEST_F(Stack, UnwindToStopsAndPlacesThePointers) {
    constexpr int bottom = -1;
    struct Case {
        const char* frames;
        u32 kind;
        bool keep;
        int found;      // frame index, or -1 for none
        u32 depth;      // frames open afterwards
        int arguments;  // index into the frames' own bases, or bottom
        bool emptied;   // arguments and top both at bottom
    } cases[] = {
        {"NLNN", frame_kind::loop, false, 1, 2, 0, false},
        {"NLNN", frame_kind::loop, true, 1, 2, 1, false},
        {"NL", frame_kind::loop, true, 1, 2, 1, false},   // the top frame itself: only top moves
        {"NL", frame_kind::loop, false, 1, 2, 0, false},
        {"NN", frame_kind::loop, false, 0, 1, bottom, true},  // reached the bottom: stacks emptied
        {"NN", frame_kind::loop, true, 0, 1, 0, false},
        {"LAN", frame_kind::loop, false, 1, 2, 0, false},  // try/all stops every walk
        {"TAN", frame_kind::try_, true, 1, 2, 1, false},
        {"", frame_kind::loop, false, -1, 0, bottom, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.frames) + (c.keep ? " keep" : " no keep"));
        clear_stacks();
        std::vector<Cell*> bases = open(c.frames);
        Cell* innermost = stack::arguments;
        CallFrame* found = stack::unwind_to(c.kind, c.keep);
        EXPECT_EQ(found, c.found < 0 ? nullptr : stack::frame_bottom + c.found);
        EXPECT_EQ(stack::depth(), c.depth);
        if (c.emptied) {
            EXPECT_EQ(stack::arguments, stack::bottom);
            EXPECT_EQ(stack::top, stack::bottom);
        } else {
            EXPECT_EQ(stack::arguments, c.arguments == bottom ? stack::bottom : bases[c.arguments]);
            EXPECT_EQ(stack::top, innermost + 1);
        }
    }
}

TEST_F(Stack, BreakAndThrowRestoreTheContextsTheyDrop) {
    // A function called inside a loop (or a catch) is left by break (or
    // throw): its context must get back the values reference it had before
    // the call, not keep pointing at dropped cells. (return stops at the
    // function's own body frame, whose call frame its caller closes.)
    Node ctx = memory::alloc_cells(2);
    *memory::alloc_tail(ctx) = cell::make(type::context, 0, 77, 0);
    auto values = [&] { return reinterpret_cast<Cell*>(memory::buffer(ctx)->head_ptr())->data2; };
    struct Case {
        void (*open)(const Cell&);
        void (*leave)();
        u32 code;
    } cases[] = {
        {stack::mark_loop, [] { stack::throw_break(false, false); }, throw_code::break_},
        {stack::mark_catch, [] { stack::push_value(cell::integer(1)); stack::throw_throw(throw_code::throw_); },
         throw_code::throw_},
    };
    for (const Case& c : cases) {
        c.open(name("outer"));
        stack::mark(name("f"), ctx);
        stack::mark_func(stack::word(stack::body_symbol), ctx);
        EXPECT_NE(values(), 77u);
        stack::mark_native(name("leave"));
        EXPECT_EQ(run(c.leave), c.code);
        EXPECT_EQ(values(), 77u);
        stack::unwind_drop();
    }
}

TEST_F(Stack, FunctionFramesRestoreTheContextValuesReference) {
    Node ctx = memory::alloc_cells(2);
    *memory::alloc_tail(ctx) = cell::make(type::context, 0, 77, 0);
    auto values = [&] { return reinterpret_cast<Cell*>(memory::buffer(ctx)->head_ptr())->data2; };
    Cell f = name("f");

    // A recursive call: each level points the context at its own arguments.
    stack::push_value(cell::integer(0));
    stack::mark(f, ctx);
    stack::mark_func(stack::word(stack::body_symbol), ctx);
    const u32 outer = values();
    EXPECT_EQ(outer, stack::index_of(stack::arguments) + 1);  // index + 1: 0 means not running
    stack::push_value(cell::integer(1));
    stack::mark(f, ctx);
    stack::mark_func(stack::word(stack::body_symbol), ctx);
    EXPECT_NE(values(), outer);

    stack::unwind_func();  // the body frame has no context to restore
    EXPECT_NE(values(), outer);
    stack::unwind_func();
    EXPECT_EQ(values(), outer);

    // An error unwinding through a call restores the reference.
    stack::mark_try(name("try"));
    stack::mark(f, ctx);
    stack::mark_func(stack::word(stack::body_symbol), ctx);
    ASSERT_EQ(run([] { fire(ErrorId::math_zero_divide); }), throw_code::error);
    EXPECT_EQ(values(), outer);
    EXPECT_EQ(stack::depth(), 2u);

    // Plain closing leaves it; unwind_drop restores a kind 1 frame.
    stack::unwind();
    stack::unwind();
    EXPECT_EQ(values(), outer) << "not the 77 saved by the outermost call";
    stack::mark(f, ctx);
    reinterpret_cast<Cell*>(memory::buffer(ctx)->head_ptr())->data2 = 5;
    stack::unwind_drop();
    EXPECT_EQ(values(), outer);
}

TEST_F(Stack, MarkRootsReportsWhatFramesHold) {
    Node ctx = memory::alloc_cells(1);
    *memory::alloc_tail(ctx) = cell::make(type::context, 0, 0, 0);
    Node stack_ctx = memory::alloc_cells(1);
    *memory::alloc_tail(stack_ctx) = cell::make(type::context | flag::ctx_on_stack, 0, 0, 0);
    const Node values_node = memory::alloc_cells(1);
    reinterpret_cast<Cell*>(memory::buffer(ctx)->head_ptr())->data2 = values_node;
    reinterpret_cast<Cell*>(memory::buffer(stack_ctx)->head_ptr())->data2 = 3;

    stack::mark(stack::word(symbol::make("f"), 501), ctx);       // name context, callee context, values
    stack::mark(stack::word(symbol::make("g"), 0), stack_ctx);   // values on the stack: not marked
    stack::mark_native(stack::word(symbol::make("self"), 502));  // self: a values node

    static std::vector<Node> contexts, values;
    contexts.clear();
    values.clear();
    stack::mark_roots([](Node n) { contexts.push_back(n); }, [](Node n) { values.push_back(n); });
    EXPECT_EQ(contexts, (std::vector<Node>{501, ctx, stack_ctx}));
    EXPECT_EQ(values, (std::vector<Node>{values_node, 502}));
}

TEST_F(Stack, CollectCallsListsNamedFramesAboveTheBottom) {
    Node blk = memory::alloc_cells(8);
    open("TFNN");
    // Rename the two natives: an anonymous one and a named one.
    stack::frame_top[-2].header = (stack::frame_top[-2].header & 0xFF000000) | (stack::body_symbol << 8);
    stack::collect_calls(cell::make(type::block, 0, blk, 0));
    SeriesBuffer* s = memory::buffer(blk);
    ASSERT_EQ(s->length(), 4u);
    Cell* c = s->cells();
    EXPECT_EQ(c[0].data2, static_cast<u32>(symbol::make("N")));
    EXPECT_EQ(cell::type_of(c[1]), type::integer);
    EXPECT_EQ(c[1].data2, stack::frame_top[-1].base);
    EXPECT_EQ(c[2].data2, static_cast<u32>(symbol::make("F")));
    EXPECT_EQ(c[3].data2, stack::frame_bottom[1].base);
}

TEST_F(Stack, FrameFlagsAndEvalQuery) {
    open("EN");
    EXPECT_TRUE(stack::eval_q(nullptr, false));
    EXPECT_FALSE(stack::eval_q(nullptr, true));
    EXPECT_FALSE(stack::eval_q(stack::frame_bottom, false));

    CallFrame* caller = stack::flag_caller_body();
    ASSERT_EQ(caller, stack::frame_bottom);
    EXPECT_TRUE(caller->header & frame_flag::body);
    EXPECT_EQ(stack::flag_caller_body(), nullptr) << "already flagged";
    stack::clear_body_flag(caller);
    EXPECT_FALSE(caller->header & frame_flag::body);
    EXPECT_EQ(stack::kind_of(*caller), frame_kind::eval);
}

TEST_F(Stack, LargeSymbolIdsKeepTheFrameKind) {
    stack::mark_loop(stack::word(0x12ABCD));
    EXPECT_EQ(stack::kind_of(*stack::top_frame()), frame_kind::loop);
    EXPECT_EQ(stack::symbol_of(*stack::top_frame()), 0x12ABCD);
}

// Uncaught errors end the process with -2. The report goes to standard
// error here so that the death test can read it.
TEST_F(Stack, UncaughtErrorExitsWith254) {
    EXPECT_EXIT(
        {
            console::set_output_fd(2);
            stack::mark_native(name("probe"));
            fire(ErrorId::script_invalid_arg, cell::integer(1));
        },
        ::testing::ExitedWithCode(uncaught_error_status),
        "\\*\\*\\* Script Error: invalid argument: 1\n\\*\\*\\* Where: probe");
    // With no frame open at all nobody catches either, even after an earlier
    // try frame was closed (its stale frame must not count).
    EXPECT_EXIT(
        {
            console::set_output_fd(2);
            stack::mark_try(name("try"));
            stack::unwind();
            fire(ErrorId::math_overflow);
        },
        ::testing::ExitedWithCode(uncaught_error_status),
        "\\*\\*\\* Math Error: math or number overflow\n\\*\\*\\* Where: \\?\\?\\?");
    // A throw that no catch frame stops becomes an uncaught throw error.
    EXPECT_EXIT(
        {
            console::set_output_fd(2);
            stack::mark_native(name("throw"));
            stack::push_value(cell::integer(3));
            stack::throw_throw(throw_code::throw_);
        },
        ::testing::ExitedWithCode(uncaught_error_status), "Throw Error: no catch for throw: 3");
}

}  // namespace
