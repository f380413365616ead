// The path family and paren!: their registrations (what each inherits from
// block! and path!), make and to, and the form and mold of each type,
// cycle markers and the /only paren included.
#include "interpreter/actions.h"
#include "interpreter/stack.h"
#include "runtime/cycles.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/paren.h"
#include "runtime/datatypes/path.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/typeset.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/registry.h"
#include "runtime/runtime.h"
#include "runtime/system.h"

#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>

using namespace oru;

namespace {

using namespace test;

// word! text, until the word module registers its own.
i32 word_form(Cell* v, Cell* buffer, Cell*, i32 limit) {
    return limit - string::concatenate_literal(*buffer, symbol::get_c_string(static_cast<i32>(v->data2)));
}
i32 word_mold(Cell* v, Cell* buffer, bool, bool, bool, Cell* part, i32 limit, i32) {
    return word_form(v, buffer, part, limit);
}

class Path : public ::testing::Test {
protected:
    void SetUp() override {
        runtime_init();
        series::init();
        block::init();
        path::init();
        lit_path::init();
        set_path::init();
        get_path::init();
        paren::init();
        // word! text until the word module registers its own.
        stand_in = !registry::entry(type::word, action::mold);
        if (stand_in) registry::add(type::word, 0, "word!", ActionTable{.form = word_form, .mold = word_mold});
        cycles::reset();
    }
    void TearDown() override {
        cycles::reset();
        if (stand_in) {  // no row left behind for tests that skip start-up
            std::fill_n(registry::actions + type::word * registry::row_size, registry::row_size, nullptr);
            registry::datatypes[type::word] = {};
        }
        runtime_shutdown();
    }
    bool stand_in = false;

    static Cell w(const char* s) { return cell::make(type::word, 0, static_cast<u32>(symbol::make(s)), 0xFFFFFFFF); }
    static Cell series_of(u32 t, std::initializer_list<Cell> cells) {
        Node n = memory::alloc_cells(static_cast<i32>(cells.size()) + 1);
        for (const Cell& c : cells) *memory::alloc_tail(n) = c;
        return cell::make(t, 0, n, 0);
    }
    static std::string write(const Cell& v, bool mold, bool only = false) { return test::written(v, mold, only); }
};

TEST_F(Path, RegistrationsInheritFromBlockAndPath) {
    auto same = [](u32 a, u32 b, u32 slot) { return registry::entry(a, slot) == registry::entry(b, slot); };
    for (u32 slot : {action::pick, action::poke, action::append, action::insert, action::change, action::take,
                     action::compare, action::eval_path, action::at, action::length_q, action::swap})
        EXPECT_TRUE(same(type::path, type::block, slot)) << "path! slot " << slot;
    for (u32 slot : {action::random, action::sort, action::trim}) {
        EXPECT_FALSE(registry::entry(type::path, slot)) << "path! has no slot " << slot;
        EXPECT_TRUE(same(type::paren, type::block, slot)) << "paren! slot " << slot;
    }
    for (u32 slot : {action::make, action::to, action::form, action::mold})
        EXPECT_FALSE(same(type::path, type::block, slot)) << "path!'s own slot " << slot;
    EXPECT_TRUE(same(type::path, type::block, action::copy)) << "the block copy";
    for (u32 t : {type::lit_path, type::set_path, type::get_path}) {
        for (u32 slot : {action::make, action::to, action::form, action::pick, action::copy})
            EXPECT_TRUE(same(t, type::path, slot)) << t << " slot " << slot;
        EXPECT_FALSE(registry::entry(t, action::trim));
        EXPECT_TRUE(registry::entry(t, action::mold));
    }
    EXPECT_FALSE(same(type::paren, type::block, action::mold));
    EXPECT_TRUE(same(type::paren, type::block, action::form));
    EXPECT_STREQ(registry::datatypes[type::set_path].name, "set-path!");
}

TEST_F(Path, FormAndMoldEachType) {
    struct Case {
        u32 t;
        const char* mold;
        const char* form;
    } cases[] = {
        {type::path, "a/b", "a/b"},
        {type::set_path, "a/b:", "a/b"},
        {type::get_path, ":a/b", "a/b"},
        {type::lit_path, "'a/b", "a/b"},
        {type::paren, "(a b)", "a b"},
    };
    for (const Case& c : cases) {
        Cell v = series_of(c.t, {w("a"), w("b")});
        EXPECT_EQ(write(v, true), c.mold) << c.t;
        EXPECT_EQ(write(v, false), c.form) << c.t;
    }
    EXPECT_EQ(write(series_of(type::paren, {w("a"), w("b")}), true, true), "a b") << "mold/only of a paren";
    EXPECT_EQ(write(series_of(type::path, {}), true), "");
    Cell deeper = series_of(type::path, {w("a"), series_of(type::paren, {w("x")})});
    EXPECT_EQ(write(deeper, true), "a/(x)");
}

TEST_F(Path, SelfReferenceWritesTheMarker) {
    Cell p = series_of(type::path, {w("a")});
    block::rs_append(p, p);
    EXPECT_EQ(write(p, true), "a/...");
    EXPECT_EQ(write(p, false), "a/...");
    Cell s = series_of(type::set_path, {w("a")});
    block::rs_append(s, s);
    EXPECT_EQ(write(s, true), "a/...:");
    EXPECT_EQ(cycles::depth(), 0);
}

TEST_F(Path, MakeAndTo) {
    struct Case {
        u32 slot, t;
        Cell spec;
        const char* molded;
        i32 room;
    } cases[] = {
        {action::make, type::path, cell::integer(0), "", 1},
        {action::make, type::path, cell::float_(2.7), "", 2},
        {action::make, type::set_path, cell::integer(3), ":", 3},
        {action::make, type::get_path, series_of(type::block, {w("a"), w("b")}), ":a/b", 2},
        {action::to, type::lit_path, series_of(type::paren, {w("x")}), "'x", 1},
        {action::to, type::path, w("solo"), "solo", 1},
    };
    for (const Case& c : cases) {
        Cell r = call_action(c.slot, {datatype::make(c.t), c.spec});
        EXPECT_EQ(cell::type_of(r), c.t);
        EXPECT_EQ(write(r, true), c.molded);
        EXPECT_GE(memory::buffer(cell::node(r))->size, c.room * 16);
    }
    // object!, typeset! and map! values become the one value of a path.
    for (Cell one : {cell::make(type::object, 7, 0, 0), typeset::make()}) {
        Cell r = call_action(action::to, {datatype::make(type::path), one});
        EXPECT_EQ(series::abs_length_q(r), 1);
        EXPECT_EQ(cell::type_of(memory::buffer(cell::node(r))->cells()[0]), cell::type_of(one));
    }
    EXPECT_EQ(test::error_unrolled([&] { call_action(action::make, {datatype::make(type::path), cell::make(type::logic, 1)}); }),
              ErrorId::script_bad_make_arg);
    EXPECT_EQ(pending_error.args[0].data1, type::path);
}

}  // namespace
