// port! with a native actor: a scheme registered from C++ (add_native_actor,
// add_scheme) whose ports the action dispatcher serves from the native
// table without reaching the port! handlers (an empty entry is
// access/no-port-action), and make_port from a url! through the decode_url
// hook. A script cannot make a handle!, so these run here.
#include "runtime/datatypes/port.h"

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

int native_calls = 0;

// length?: the port's `data` field when it is an integer, else 99.
i32 native_length(Cell* port) {
    native_calls++;
    const Cell data = *object::rs_select(*port, stack::word(symbol::make("data")));
    return cell::type_of(data) == type::integer ? static_cast<i32>(data.data2) : 99;
}

// Decodes any URL as the native scheme with the host "decoded".
Cell* decode(const Cell&) { return test::load("scheme: 'native host: \"decoded\""); }

class PortNative : public ::testing::Test {
protected:
    void SetUp() override {
        runtime_init();
        boot::define_base();
        root_allocation = false;
        collector::enable(true);
        base = stack::top;
        native_calls = 0;
    }
    void TearDown() override {
        port::decode_url = nullptr;
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

    i32 integer_of(const char* text) {
        Cell v{};
        EXPECT_FALSE(run(text, &v)) << text;
        EXPECT_EQ(cell::type_of(v), type::integer) << text;
        return static_cast<i32>(v.data2);
    }

    // The molded text of a value, held on the stack while molding allocates.
    static std::string molded(const Cell& v) {
        Cell* held = stack::push(v);
        std::string text = test::written(*held, true);
        stack::pop(1);
        return text;
    }

    Cell* base = nullptr;
};

TEST_F(PortNative, ActionsComeFromTheNativeTable) {
    ActionTable table{};
    table.length_q = native_length;
    const Cell handle = port::add_native_actor(table);
    EXPECT_EQ(port::native_actor(handle)[action::length_q - action::append],
              reinterpret_cast<ActionEntry>(native_length));
    port::add_scheme("native", "Native", handle);

    Cell v{};
    ASSERT_FALSE(run("s: pick system/schemes 2 reduce [pick system/schemes 1 s/name s/title]", &v));
    EXPECT_EQ(molded(v), "[native native \"Native\"]");
    ASSERT_FALSE(run("p: make port! [scheme: 'native] type? p/actor", &v));
    EXPECT_EQ(v.data1, type::handle);

    EXPECT_EQ(integer_of("length? p"), 99);
    EXPECT_EQ(integer_of("p/data: 7 length? p"), 7);
    EXPECT_EQ(native_calls, 2);
    // Empty entries, read and write included: the port! handlers, which
    // would run open, copy and close, are never reached.
    for (const char* empty : {"clear p", "read p", "write p 1", "open p", "open? p"})
        EXPECT_EQ(run(empty), ErrorId::access_no_port_action) << empty;

    // A handle that names no native actor (another class, or a resource
    // slot) leaves the port to the port! handlers, which find no object.
    for (const Cell other : {cell::make(type::handle, 3, handle.data2, static_cast<u32>(-1)),
                             cell::make(type::handle, 0, handle.data2, 0)}) {
        EXPECT_EQ(port::native_actor(other), nullptr);
        const Cell p = *context::global_slot(symbol::make("p"));
        object::set_field(object::context_of(p),
                          context::find_word(object::context_of(p), symbol::make("actor"), false), other);
        EXPECT_EQ(run("length? p"), ErrorId::access_invalid_port);
    }
    EXPECT_EQ(native_calls, 2);
}

TEST_F(PortNative, MakePortFromAUrlThroughTheDecoder) {
    ActionTable table{};
    table.length_q = native_length;
    port::add_scheme("native", nullptr, port::add_native_actor(table));

    EXPECT_EQ(run("make port! http://x/"), ErrorId::access_no_scheme);
    port::decode_url = decode;
    Cell* url = test::load("http://x/");
    const Cell* made = port::make_port(test::value_at(*url, 0));  // kept on the stack
    ASSERT_EQ(cell::type_of(*made), type::port);
    context::set_global(symbol::make("p"), *made);
    Cell v{};
    ASSERT_FALSE(run("reduce [p/scheme p/spec/host length? make port! %file]", &v));
    EXPECT_EQ(molded(v), "[native \"decoded\" 99]");
}

}  // namespace
