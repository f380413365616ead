// Helpers the unit tests share: starting a subset of the runtime, catching
// language errors in a try frame, running a body in a native frame, calling
// an action's stack entry, and reading a string buffer's text.
#pragma once

#include "interpreter/stack.h"
#include "runtime/cell.h"
#include "runtime/error_ids.h"
#include "runtime/fire.h"
#include "runtime/system.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace oru::test {

// Memory, symbols with case tables: what symbol-level tests need.
void start_symbols();

// Memory, symbols, a fixed data and frame stack, and the base datatypes
// (datatype!, unset!, none!, logic!, typeset!); stop_base undoes it.
void start_base();
void stop_base();

// A word cell naming `spelling`, for frames.
Cell name(const char* spelling);

// A string buffer's text from its head, one byte per character (ASCII texts).
std::string ascii(const Cell& string);

// Molds (or forms) v into a new string buffer with no length limit; the
// text, one byte per character. The data stack is left as it was.
std::string written(const Cell& v, bool mold, bool only = false, bool flat = false);

// Code points as UTF-8, for readable failure messages.
std::string utf8(const std::u32string& s);

// The values of src scanned into a block held on the data stack; its cell.
Cell* load(const std::string& src);

// The scan of src into *blk with the collector on and collecting at every
// allocation; the number of cycles it ran.
u32 load_collecting(Cell* blk, const std::string& src);

// Scans src, binds it to the global context and evaluates it inside a try
// frame and a native frame of its own; the pending unwinding code (0 when
// it ran to its end). The result is at *stack::arguments.
u32 evaluate(const std::string& src);

// Evaluates the block (kept on the stack by the caller) in a native frame
// of its own whose result slot starts unset; its value. The frame is gone
// afterwards; what was pushed before stays.
Cell eval_framed(const Cell& block);

// The value at 0-based position i of a block from its head.
Cell value_at(const Cell& blk, i32 i);

// Pushes a 16-character string buffer, then opens a native frame with an
// unset result slot above it; the buffer's cell.
Cell* open_buffer_frame();

// A fixture over start_base with a string buffer and a native frame of the
// test's own above it, so that the frame's result slot lies above the buffer.
class BaseWithBuffer : public ::testing::Test {
protected:
    void SetUp() override {
        start_base();
        buffer = open_buffer_frame();
    }
    void TearDown() override { stop_base(); }

    // The buffer's text, one byte per character (ASCII texts).
    std::string text() const { return ascii(*buffer); }
    void clear_buffer();

    Cell* buffer = nullptr;
};

// Runs f in a try frame above the caller's frames; the id of the error it
// raised, if any. The frames below stay as they were.
template <class F>
std::optional<ErrorId> error_of(F&& f) {
    Cell* saved = stack::top;
    std::optional<ErrorId> id;
    stack::mark_try(stack::word(0));
    try {
        f();
        stack::unwind();
    } catch (const SystemThrow& t) {
        EXPECT_EQ(t.code, throw_code::error);
        id = pending_error.id;
    }
    stack::top = saved;
    return id;
}

// Runs body in a try frame for tests that hold no frame of their own; the id
// of the error it raised, if any. Afterwards the frame stack is empty and
// the data stack is back where it was.
template <class F>
std::optional<ErrorId> error_unrolled(F&& body) {
    pending_error = {};
    Cell* base = stack::top;
    stack::mark_try(name("try"));
    u32 code = catch_level(throw_code::error, [&] { body(); });
    std::optional<ErrorId> id;
    if (code == throw_code::error) id = pending_error.id;
    else stack::unroll();
    stack::frame_top = stack::frame_bottom;
    stack::arguments = stack::top = base;
    return id;
}

// Opens a native frame for body, then closes it and drops what it pushed.
template <class F>
void in_frame(F&& body) {
    Cell* saved = stack::top;
    stack::mark_native(stack::word(0));
    body();
    stack::unwind();
    stack::top = saved;
}

// What a body run in a native frame left: its result slot, or its error.
struct Outcome {
    std::optional<ErrorId> error;
    Cell value{};
};

// Runs body in a native frame inside a try frame.
template <class F>
Outcome run_native(F&& body) {
    Cell* saved = stack::top;
    Outcome out;
    stack::mark_try(stack::word(0));
    try {
        stack::mark_native(stack::word(0));
        body();
        out.value = *stack::arguments;
        stack::unwind();
        stack::unwind();
    } catch (const SystemThrow& t) {
        EXPECT_EQ(t.code, throw_code::error);
        out.error = pending_error.id;
    }
    stack::top = saved;
    return out;
}

// Checks that the outcome is the error id.
inline void expect_error(const Outcome& o, ErrorId id) {
    ASSERT_TRUE(o.error) << "no error; result type " << cell::type_of(o.value);
    EXPECT_EQ(*o.error, id) << error_id_name(*o.error);
}

// Checks that the outcome is the integer! v.
void expect_integer(const Outcome& o, i32 v);

// A stack-convention action on two operands, run by run_native.
inline Outcome math(void (*action)(), const Cell& l, const Cell& r) {
    return run_native([&] {
        stack::push(l);
        stack::push(r);
        action();
    });
}

// Runs an action's stack entry with the arguments and refinement positions
// (none when refs is empty); the result slot's value.
Cell call_action(u32 slot, std::initializer_list<Cell> args, const std::vector<i32>& refs = {});

}  // namespace oru::test
