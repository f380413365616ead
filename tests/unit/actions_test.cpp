// Action dispatch: the entry table, handler lookup and its errors, the
// compare codes, and the refinement decoding of the stack entries, checked
// against a probe datatype whose handlers record what they receive.
#include "interpreter/actions.h"
#include "interpreter/stack.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/runtime.h"
#include "runtime/system.h"

#include "support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

using namespace oru;

namespace {

constexpr u32 probe = 55;  // a free slot of the type table

struct Seen {
    int calls;
    u32 type;
    u32 proto_type;
    i32 part;
    bool only;
    i32 dup;
    bool append;
    i32 index;
    const Cell* index_cell;
} seen;

Cell returned;

Cell* probe_make(Cell* proto, Cell*, u32 t) {
    seen.calls++;
    seen.type = t;
    seen.proto_type = cell::type_of(*proto);
    returned = cell::integer(7);
    return &returned;
}
i32 probe_form(Cell*, Cell* buffer, Cell*, i32 limit) {
    seen.calls++;
    string::concatenate_literal(*buffer, "abcdefgh");
    return limit - 8;
}
i32 probe_compare(Cell*, Cell*, i32) { return -2; }
bool probe_even(Cell*) { return true; }
bool probe_odd(Cell*) { return false; }
void probe_append(Cell*, Cell*, i32 part, bool only, i32 dup, bool append) {
    seen.calls++;
    seen.part = part;
    seen.only = only;
    seen.dup = dup;
    seen.append = append;
}
void probe_change(Cell*, Cell*, Cell* part, bool, i32) {
    seen.calls++;
    seen.part = part && cell::type_of(*part) == type::integer ? static_cast<i32>(part->data2) : -100;
}
i32 probe_length(Cell* value) { return static_cast<i32>(value->data1); }
Cell* probe_pick(Cell* series, i32 index, Cell* index_cell) {
    seen.index = index;
    seen.index_cell = index_cell;
    return series;
}

Cell name(const char* spelling) { return stack::word(symbol::make(spelling)); }
Cell probe_value(u32 w1 = 0) { return cell::make(probe, w1); }

std::string text_of(const Cell& str) {
    SeriesBuffer* s = memory::buffer(cell::node(str));
    std::string out;
    for (u32 i = static_cast<u32>(cell::head_index(str)); i < s->length(); i++)
        out += static_cast<char>(string::get_char(s->head_ptr() + i * s->unit(), s->unit()));
    return out;
}

// A block of n integers.
Node block_of(i32 n) {
    Node blk = memory::alloc_cells(n);
    for (i32 i = 0; i < n; i++) *memory::alloc_tail(blk) = cell::integer(i);
    return blk;
}

class Actions : public ::testing::Test {
protected:
    void SetUp() override {
        runtime_init();
        registry::add(probe, 0, "probe!",
                      ActionTable{.make = probe_make, .to = probe_make, .form = probe_form, .compare = probe_compare,
                                  .even_q = probe_even, .odd_q = probe_odd, .append = probe_append,
                                  .insert = probe_append, .length_q = probe_length, .pick = probe_pick});
        seen = {};
    }
    void TearDown() override { runtime_shutdown(); }

    // Calls the stack entry of `slot` in a native frame named after it, with
    // the arguments pushed and refinement positions given; returns the
    // result slot.
    static Cell call(u32 slot, const char* spelling, std::initializer_list<Cell> args, std::vector<i32> refs = {}) {
        stack::mark_native(name(spelling));
        for (const Cell& a : args) stack::push_value(a);
        actions::table[slot - 1](refs.empty() ? nullptr : refs.data());
        Cell result = *stack::arguments;
        stack::unroll();
        return result;
    }

    // The error the body raises, caught by a try frame; none when it returns.
    template <class F>
    static std::optional<ErrorId> error_of(F&& body) {
        return test::error_unrolled(std::forward<F>(body));
    }
};

TEST_F(Actions, TableHoldsAnEntryForEverySlotButSetPath) {
    for (u32 slot = 1; slot <= action::count; slot++)
        EXPECT_EQ(actions::table[slot - 1] == nullptr, slot == action::set_path) << "slot " << slot;
}

TEST_F(Actions, MissingHandlerRaisesExpectArg) {
    auto id = error_of([] { call(action::append, "append", {cell::integer(1), cell::integer(2)}, {-1, -1, -1}); });
    ASSERT_EQ(id, ErrorId::script_expect_arg);
    EXPECT_EQ(pending_error.args[0].data2, static_cast<u32>(symbol::make("append")));
    EXPECT_EQ(cell::type_of(pending_error.args[1]), type::datatype);
    EXPECT_EQ(pending_error.args[1].data1, type::integer);
    // A damaged type number is refused, not looked up past the table.
    Cell odd = cell::make(200);
    EXPECT_EQ(error_of([&] { actions::length_q(&odd); }), ErrorId::script_expect_arg);
}

TEST_F(Actions, UncomparableValuesDifferAndCannotBeOrdered) {
    struct Case {
        i32 op;
        std::optional<bool> result;  // none: script/invalid-compare
    } cases[] = {
        {actions::op::equal, false},        {actions::op::not_equal, true}, {actions::op::strict_equal, false},
        {actions::op::lesser, {}},          {actions::op::lesser_equal, {}}, {actions::op::greater, {}},
        {actions::op::greater_equal, {}},   {actions::op::find, false},      {actions::op::same, false},
        {actions::op::strict_find, false},  {actions::op::hash, false},
    };
    for (const Case& c : cases) {
        Cell a = probe_value(), b = cell::integer(1);
        bool got = false;
        auto id = error_of([&] { got = actions::compare(&a, &b, c.op); });
        if (c.result) {
            EXPECT_FALSE(id) << "op " << c.op;
            EXPECT_EQ(got, *c.result) << "op " << c.op;
        } else {
            EXPECT_EQ(id, ErrorId::script_invalid_compare) << "op " << c.op;
        }
    }
}

TEST_F(Actions, CompareValueOrdersFunctionLikeValuesByCode) {
    struct Case {
        Cell a, b;
        i32 expected;
    } cases[] = {
        {cell::make(type::logic, 1), cell::make(type::logic, 0), 1},
        {cell::make(type::logic, 0), cell::make(type::logic, 1), -1},
        {cell::make(type::native, 3), cell::make(type::native, 5), -1},
        {cell::make(type::action, 5), cell::make(type::action, 5), 0},
        {cell::make(type::op, 9), cell::make(type::op, 2), 1},
        {cell::make(type::function, 0, 0, 4), cell::make(type::function, 0, 0, 3), 1},
        {cell::make(type::routine, 0, 0, 3), cell::make(type::routine, 0, 0, 4), -1},
        {probe_value(), probe_value(), -2},  // everything else: the handler's answer
    };
    for (Case& c : cases) EXPECT_EQ(actions::compare_value(&c.a, &c.b, actions::op::sort), c.expected);
}

TEST_F(Actions, MakeAndToTakeTheTypeFromThePrototype) {
    for (u32 slot : {action::make, action::to}) {
        Cell dt = datatype::make(probe), spec = cell::integer(1);
        seen = {};
        Cell r = call(slot, "make", {dt, spec});
        EXPECT_EQ(seen.type, probe);
        EXPECT_EQ(seen.proto_type, type::datatype) << "the handler receives the datatype itself";
        EXPECT_EQ(r.data2, 7u) << "the returned value is stored";
        Cell proto = probe_value();
        seen = {};
        EXPECT_EQ(slot == action::make ? actions::make(&proto, &spec) : actions::to(&proto, &spec), &returned);
        EXPECT_EQ(seen.type, probe);
    }
}

TEST_F(Actions, FormPartLimitsTheText) {
    struct Case {
        std::optional<i32> part;
        const char* text;
        int calls;
    } cases[] = {{{}, "abcdefgh", 1}, {5, "abcde", 1}, {20, "abcdefgh", 1}, {0, "", 0}, {-3, "", 0}};
    for (const Case& c : cases) {
        seen = {};
        Cell r = c.part ? call(action::form, "form", {probe_value(), cell::integer(*c.part)}, {1})
                        : call(action::form, "form", {probe_value()}, {-1});
        ASSERT_EQ(cell::type_of(r), type::string);
        EXPECT_EQ(text_of(r), c.text);
        EXPECT_EQ(seen.calls, c.calls);
    }
}

TEST_F(Actions, AppendDecodesPartAndDup) {
    Node blk = block_of(5), other = block_of(5);
    auto at = [](Node n, i32 i) { return cell::make(type::block, static_cast<u32>(i), n, 0); };
    struct Case {
        std::vector<Cell> args;  // series, value, then refinement arguments
        std::vector<i32> refs;   // part, only, dup
        std::optional<ErrorId> error;
        int calls;
        i32 part, dup;
        bool only;
    } cases[] = {
        {{probe_value(), at(blk, 0)}, {-1, -1, -1}, {}, 1, -1, 1, false},
        {{probe_value(), at(blk, 1), cell::integer(2), cell::integer(3)}, {2, 3, 3}, {}, 1, 2, 3, true},
        {{probe_value(), at(blk, 1), at(blk, 4)}, {2, -1, -1}, {}, 1, 3, 1, false},
        {{probe_value(), at(blk, 1), at(blk, 9)}, {2, -1, -1}, {}, 1, 4, 1, false},  // past the tail: the tail
        {{probe_value(), at(blk, 3), at(blk, 1)}, {2, -1, -1}, {}, 1, -2, 1, false},
        {{probe_value(), at(blk, 1), cell::integer(0)}, {2, -1, -1}, {}, 1, 0, 1, false},   // the handler adds nothing
        {{probe_value(), at(blk, 1), cell::integer(0)}, {-1, -1, 2}, {}, 0, 0, 0, false},  // /dup 0: nothing to do
        {{probe_value(), at(blk, 1), cell::integer(-1)}, {-1, -1, 2}, {}, 0, 0, 0, false},
        {{probe_value(), at(blk, 1), at(other, 2)}, {2, -1, -1}, ErrorId::script_invalid_refine_arg, 0, 0, 0, false},
        {{probe_value(), at(blk, 1), cell::make(type::string, 2, blk)}, {2, -1, -1},
         ErrorId::script_invalid_refine_arg, 0, 0, 0, false},
        {{probe_value(), cell::integer(1), cell::integer(2)}, {2, -1, -1}, ErrorId::script_invalid_part, 0, 0, 0,
         false},
    };
    for (size_t i = 0; i < std::size(cases); i++) {
        const Case& c = cases[i];
        for (u32 slot : {action::append, action::insert}) {
            SCOPED_TRACE("case " + std::to_string(i) + (slot == action::append ? " append" : " insert"));
            seen = {};
            auto id = error_of([&] {
                stack::mark_native(name("append"));
                for (const Cell& a : c.args) stack::push_value(a);
                actions::table[slot - 1](c.refs.data());
            });
            EXPECT_EQ(id, c.error);
            if (id == ErrorId::script_invalid_refine_arg) {
                EXPECT_EQ(pending_error.args[0].data2, static_cast<u32>(symbol::make("part")));
            }
            EXPECT_EQ(seen.calls, c.calls);
            if (!c.calls) continue;
            EXPECT_EQ(seen.part, c.part);
            EXPECT_EQ(seen.dup, c.dup);
            EXPECT_EQ(seen.only, c.only);
            EXPECT_EQ(seen.append, slot == action::append);
        }
    }
}

TEST_F(Actions, ChangeCountsItsPartInTheChangedSeries) {
    // change/part counts the replaced range of the series itself, so the
    // value need not be a series.
    ActionEntry saved[registry::row_size];
    std::memcpy(saved, &registry::actions[type::block * registry::row_size], sizeof saved);
    registry::add(type::block, 0, "block!", ActionTable{.change = probe_change});
    Node blk = block_of(6);
    Cell series = cell::make(type::block, 1, blk, 0);
    call(action::change, "change", {series, cell::integer(9), cell::make(type::block, 4, blk, 0)}, {2, -1, -1});
    EXPECT_EQ(seen.part, 3);
    call(action::change, "change", {series, cell::integer(9), cell::integer(2)}, {2, -1, -1});
    EXPECT_EQ(seen.part, 2);
    call(action::change, "change", {series, cell::integer(9)}, {-1, -1, -1});
    EXPECT_EQ(seen.part, -100) << "no /part: no part cell";
    std::memcpy(&registry::actions[type::block * registry::row_size], saved, sizeof saved);
}

TEST_F(Actions, PickIndexConversion) {
    Cell none_cell = cell::make(type::none);
    struct Case {
        Cell index;
        i32 expected;
    } cases[] = {
        {cell::integer(3), 3},
        {cell::make(type::char_, 0, 0x41), 0x41},
        {cell::make(type::logic, 1), 1},
        {cell::make(type::logic, 0), 2},
        {none_cell, 0},
    };
    for (const Case& c : cases) {
        seen = {};
        call(action::pick, "pick", {probe_value(), c.index});
        EXPECT_EQ(seen.index, c.expected);
        EXPECT_NE(seen.index_cell, nullptr) << "the handler always gets the index cell";
    }
}

TEST_F(Actions, ResultBoxing) {
    Cell r = call(action::length_q, "length?", {probe_value(static_cast<u32>(-1))});
    EXPECT_EQ(cell::type_of(r), type::none);
    r = call(action::length_q, "length?", {probe_value(5)});
    EXPECT_EQ(cell::type_of(r), type::integer);
    EXPECT_EQ(r.data2, 5u);
    r = call(action::even_q, "even?", {probe_value()});
    EXPECT_EQ(r.header, type::logic);
    EXPECT_EQ(r.data1, 1u);
    r = call(action::odd_q, "odd?", {probe_value()});
    EXPECT_EQ(r.header, type::logic);
    EXPECT_EQ(r.data1, 0u);
}

TEST_F(Actions, CopyChecksItsTypesArgumentFirst) {
    auto id = error_of([] { call(action::copy, "copy", {probe_value(), cell::integer(1)}, {-1, -1, 1}); });
    ASSERT_EQ(id, ErrorId::script_expect_arg);
    EXPECT_EQ(pending_error.args[0].data2, static_cast<u32>(symbol::make("copy")));
    EXPECT_EQ(pending_error.args[1].data1, type::integer);
    EXPECT_EQ(pending_error.args[2].data2, static_cast<u32>(symbol::make("kind")));
}

TEST_F(Actions, EvalPathErrorsNameTheStep) {
    Cell parent = probe_value(), element = name("x"), none_cell = cell::make(type::none);
    auto id = error_of([&] {
        actions::eval_path(&parent, &element, &none_cell, &none_cell, &none_cell, &none_cell, 1, false, false, true,
                           false);
    });
    ASSERT_EQ(id, ErrorId::script_bad_path_type2);
    EXPECT_EQ(pending_error.args[0].data2, element.data2);
    EXPECT_EQ(pending_error.args[1].data1, probe);

    // a/b/c where c (index 2) meets a parent without eval-path: "a/b returned
    // a probe! value, so a/b/c could not be accessed" (arg3, arg2, arg1).
    Node elems = memory::alloc_cells(3);
    for (const char* s : {"a", "b", "c"}) *memory::alloc_tail(elems) = name(s);
    Cell path = cell::make(type::path, 0, elems, 0);
    Cell c = name("c");
    id = error_of([&] {
        actions::eval_path(&parent, &c, &none_cell, &path, &none_cell, &element, 2, false, false, true, false);
    });
    ASSERT_EQ(id, ErrorId::script_bad_path_type);
    EXPECT_EQ(cell::type_of(pending_error.args[0]), type::path);
    EXPECT_EQ(pending_error.args[0].data2, elems) << "arg1: the whole path";
    EXPECT_EQ(pending_error.args[1].data1, probe);
    const Cell& cut = pending_error.args[2];
    EXPECT_EQ(cell::type_of(cut), type::path);
    ASSERT_NE(cut.data2, elems) << "arg3: a copy, the path itself stays whole";
    SeriesBuffer* s = memory::buffer(cell::node(cut));
    ASSERT_EQ(s->length(), 2u) << "the items that produced the parent";
    EXPECT_EQ(s->cells()[1].data2, static_cast<u32>(symbol::make("b")));
}

}  // namespace
