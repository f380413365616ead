// The signature cached beside an arguments description: the evaluator trusts
// it in place of walking the description (operators between integers, the
// refinement positions of callbacks), so it must say exactly what the
// description holds.
#include "interpreter/natives.h"
#include "interpreter/stack.h"
#include "runtime/datatypes/function.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/memory.h"
#include "runtime/runtime.h"

#include <gtest/gtest.h>

#include <string>

using namespace oru;

namespace {

class EvaluatorSignature : public ::testing::Test {
protected:
    void SetUp() override {
        runtime_init();
        natives::init();
    }
    void TearDown() override { runtime_shutdown(); }

    // A spec block from a picture: "a" a word, "'a" a lit-word, ":a" a
    // get-word, "/a" a refinement, "a:" a set-word.
    Cell spec_of(std::initializer_list<const char*> items) {
        const Node n = memory::alloc_cells(static_cast<i32>(items.size()) + 1);
        const Cell* held = stack::push(cell::make(type::block, 0, n, 0));
        for (const char* item : items) {
            u32 t = type::word;
            if (*item == '\'') t = type::lit_word;
            else if (*item == ':') t = type::get_word;
            else if (*item == '/') t = type::refinement;
            std::string name = t == type::word ? item : item + 1;
            if (t == type::word && name.size() > 1 && name.back() == ':') {
                t = type::set_word;
                name.pop_back();
            }
            const i32 sym = symbol::make(name.c_str());
            *memory::alloc_tail(n) = cell::make(t, 0, static_cast<u32>(sym), 0xFFFFFFFF);
        }
        return *held;
    }
    u32 signature(std::initializer_list<const char*> items, bool native) {
        return function::signature_of(function::build_arguments(spec_of(items), native));
    }
};

TEST_F(EvaluatorSignature, SaysWhatTheDescriptionHolds) {
    namespace sig = function::signature;
    struct Case {
        std::initializer_list<const char*> spec;
        bool plain, integer_pair;
        u32 refinements;
        bool direct;  // then arity and locals too
        i32 arity, locals;
    };
    const Case cases[] = {
        {{}, true, false, 0, true, 0, 0},
        {{"a"}, true, false, 0, true, 1, 0},
        {{"a", "b"}, true, true, 0, true, 2, 0},
        {{"a", "b", "c"}, true, false, 0, true, 3, 0},
        {{"a", "b", "/r", "c"}, false, true, 1, true, 2, 0},          // a refinement's argument is no third
        {{"a", "/r", "b", "/s"}, false, false, 2, true, 1, 0},        // one fixed argument only
        {{"'a", "b"}, false, false, 0, false, 0, 0},                  // a quoted argument takes no evaluated integer
        {{"a", ":b"}, false, false, 0, false, 0, 0},
        {{"a", "/r", ":b"}, false, false, 1, true, 1, 0},             // a refinement's argument is not fetched first
        {{"a", "b", "/local", "x", "y"}, true, true, 0, true, 2, 3},  // locals are no items
        {{"a", "return:"}, true, false, 0, true, 1, 0},               // the return type is not fetched
        {{"a", "return:", "b"}, true, false, 0, false, 0, 0},         // an argument after it is no longer first
    };
    for (bool native : {false, true}) {
        for (const Case& c : cases) {
            const u32 s = signature(c.spec, native);
            SCOPED_TRACE(testing::Message() << "case " << (&c - cases) << (native ? " native" : " function"));
            EXPECT_TRUE(s & sig::valid);
            EXPECT_EQ((s & sig::plain) != 0, c.plain);
            EXPECT_EQ((s & sig::integer_pair) != 0, c.integer_pair);
            EXPECT_EQ(sig::refinements(s), c.refinements);
            EXPECT_EQ((s & sig::direct) != 0, c.direct);
            if (c.direct) {
                EXPECT_EQ(sig::arity(s), c.arity);
                // A native's description ends with its refinement count.
                EXPECT_EQ(sig::locals(s), native && c.refinements ? static_cast<i32>(c.refinements) : c.locals);
            }
        }
    }
}

}  // namespace
