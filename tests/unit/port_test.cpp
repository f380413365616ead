// port! with a handle! actor: make accepts it, and the action dispatcher
// takes the port actions from the native table the handle names (an empty
// entry is access/no-port-action) without reaching the port! handlers. A
// script cannot make a handle!, so the actor is set here.
#include "boot/boot.h"
#include "interpreter/actions.h"
#include "interpreter/evaluator.h"
#include "interpreter/stack.h"
#include "runtime/collector.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/object.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/fire.h"
#include "runtime/runtime.h"
#include "runtime/system.h"
#include "support.h"

#include <gtest/gtest.h>

#include <optional>

using namespace oru;

namespace {

constexpr u32 table_slot = 5;  // the resource slot the test's handle names
int native_calls = 0;

i32 native_length(Cell*) {
    native_calls++;
    return 99;
}

ActionEntry native_table[action::count - action::append + 1] = {};

const ActionEntry* table_of(const Cell& handle) { return handle.data3 == table_slot ? native_table : nullptr; }

class PortHandle : public ::testing::Test {
protected:
    void SetUp() override {
        runtime_init();
        boot::define_base();
        root_allocation = false;
        collector::enable(true);
        base = stack::top;
        native_calls = 0;
        native_table[action::length_q - action::append] = reinterpret_cast<ActionEntry>(native_length);
    }
    void TearDown() override {
        actions::native_actors = nullptr;
        runtime_shutdown();
    }

    // Evaluates the text; its value, or the id of the error it raised.
    std::optional<ErrorId> run(const char* text, Cell* value = nullptr) {
        stack::top = stack::arguments = base;
        CallFrame* frames = stack::frame_top;
        std::optional<ErrorId> error;
        try {
            EXPECT_EQ(test::evaluate(text), 0u) << text;
            if (value) *value = *stack::arguments;
        } catch (const SystemThrow& t) {
            EXPECT_EQ(t.code, throw_code::error) << text;
            error = pending_error.id;
        }
        interpreter::pending = 0;
        stack::frame_top = frames;
        stack::arguments = stack::top = base;
        return error;
    }

    // Sets a field of the object held by a global word.
    static void set_field(const char* global, const char* field, const Cell& value) {
        const Cell obj = *context::global_slot(symbol::make(global));
        const i32 i = context::find_word(object::context_of(obj), symbol::make(field), false);
        ASSERT_GE(i, 0);
        object::set_field(object::context_of(obj), i, value);
    }

    Cell* base = nullptr;
};

TEST_F(PortHandle, ActionsComeFromTheNativeTable) {
    ASSERT_FALSE(run("native: make system/standard/scheme [name: 'native actor: make object! [length?: func [p] [1]]]"
                     " insert system/schemes reduce ['native native]"));
    set_field("native", "actor", cell::make(type::handle, 0, 0, table_slot));
    Cell v{};
    ASSERT_FALSE(run("p: make port! [scheme: 'native] type? p/actor", &v));
    EXPECT_EQ(v.data1, type::handle);

    // Without a table for it, the port! handlers find no object actor.
    EXPECT_EQ(run("length? p"), ErrorId::access_invalid_port);
    EXPECT_EQ(native_calls, 0);

    actions::native_actors = table_of;
    ASSERT_FALSE(run("length? p", &v));
    EXPECT_EQ(cell::type_of(v), type::integer);
    EXPECT_EQ(static_cast<i32>(v.data2), 99);
    EXPECT_EQ(native_calls, 1);
    EXPECT_EQ(run("clear p"), ErrorId::access_no_port_action);
    EXPECT_EQ(run("read p"), ErrorId::access_no_port_action);

    // A handle that names no table leaves the port to its own handlers.
    set_field("p", "actor", cell::make(type::handle, 0, 0, table_slot + 1));
    EXPECT_EQ(run("length? p"), ErrorId::access_invalid_port);
    EXPECT_EQ(native_calls, 1);
}

}  // namespace
