// The loop steps of the natives as compiled library code calls them: the
// loop's hidden cells lie below the argument base of the running frame (the
// series two cells below, the word or word block one below, remove-each's
// record size three below) and each step reads and moves them in place. Also
// the map! and image! branches, whose element access their modules provide.
#include "boot/boot.h"
#include "codecs/lexer.h"
#include "interpreter/evaluator.h"
#include "interpreter/natives_series.h"
#include "interpreter/natives_shared.h"
#include "interpreter/stack.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/native.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/word.h"
#include "runtime/fire.h"
#include "runtime/runtime.h"
#include "runtime/words.h"
#include "support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

using namespace oru;

namespace {

class LoopSteps : public ::testing::Test {
public:
    void SetUp() override { runtime_init(); }
    void TearDown() override {
        natives::iteration_service = {};
        runtime_shutdown();
    }

    // The first value of the text, its words bound in the global context.
    static Cell item(const char* text) {
        Cell* top = stack::top;
        Cell* out = stack::push();
        i32 consumed = 0;
        lexer::scan(out, reinterpret_cast<const u8*>(text), static_cast<i32>(std::strlen(text)), lexer::Mode{},
                    &consumed);
        context::bind(*out, context::global, false);
        const Cell v = *block::rs_head(*out);
        stack::top = top;
        return v;
    }
    static Cell global(const char* name) { return *context::get(word::load(name)); }
    static void set_global(const char* name, const Cell& v) {
        Cell w = word::load(name);
        context::set(w, v);
    }
    static std::string mold(const Cell& v) { return test::written(v, true); }

    // Evaluates the text (with the base words defined); its value molded.
    static std::string run(const char* text) {
        std::string shown;
        test::in_frame([&] {
            stack::push(item((std::string("[") + text + "]").c_str()));
            stack::mark_native(words::word::tag_body);
            stack::push(Cell{type::unset, 0, 0, 0});
            interpreter::eval_block_throwing(stack::arguments[-1], true);
            shown = mold(*stack::arguments);
            stack::unwind();
        });
        return shown;
    }

    // Opens a frame as compiled code's loop runs in: the hidden cells
    // (record size when given, series, words) then the frame with an unset
    // result slot. Returns the series cell.
    static Cell* open_loop(const Cell& series, const Cell& words, i32 record = 0) {
        if (record) stack::push(cell::integer(record));
        Cell* s = stack::push(series);
        stack::push(words);
        stack::mark_native(words::word::tag_body);
        stack::push(Cell{type::unset, 0, 0, 0});
        return s;
    }
};

// Each step sets the words from the hidden series and moves it on; the
// caller's series value is a copy and stays where it was.
TEST_F(LoopSteps, ForeachStepsWalkTheHiddenSeries) {
    struct Case {
        const char* series;
        const char* words;   // one word, or a block of them
        std::vector<std::string> steps;  // the words' values at each step, molded
    } cases[] = {
        {"[1 2 3]", "x", {"1", "2", "3"}},
        {"next [1 2 3]", "x", {"2", "3"}},
        {"[1 2 3]", "[a b]", {"1 2", "3 none"}},
        {"[1 [2] c]", "[a b c]", {"1 [2] c"}},
        {"\"ab\"", "x", {"#\"a\"", "#\"b\""}},
        {"\"abc\"", "[a b]", {"#\"a\" #\"b\"", "#\"c\" none"}},
        {"a/b", "x", {"a", "b"}},
        {"[]", "[a b]", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.series) + " " + c.words);
        Cell series = item(c.series);
        if (std::strncmp(c.series, "next ", 5) == 0) {
            series = item(c.series + 5);
            series.data1 = 1;
        }
        const Cell words = item(c.words);
        const bool several = cell::type_of(words) == type::block;
        const i32 n = several ? block::rs_length_q(words) : 1;
        const i32 start = cell::head_index(series);
        test::in_frame([&] {
            Cell* s = open_loop(series, words);
            std::vector<std::string> seen;
            while (several ? natives::foreach_next_block(n) : natives::foreach_next()) {
                std::string line;
                for (i32 i = 0; i < n; i++) {
                    const Cell w = several ? block::rs_head(const_cast<Cell&>(words))[i] : words;
                    if (i) line += ' ';
                    line += mold(*context::get(w));
                }
                seen.push_back(line);
                EXPECT_EQ(cell::head_index(*s), start + n * static_cast<i32>(seen.size()));
                ASSERT_LE(seen.size(), c.steps.size());
            }
            EXPECT_EQ(seen, c.steps);
            stack::unwind();
        });
        EXPECT_EQ(cell::head_index(series), start);
    }
}

// A word block with anything but word!, set-word!, get-word! or lit-word!
// stops the step before any word is set.
TEST_F(LoopSteps, WordBlockOfABlockLoopHoldsOnlyWords) {
    set_global("a", cell::integer(0));
    for (const char* words : {"[a 1]", "[a /b]", "[a #b]"}) {
        SCOPED_TRACE(words);
        const Cell w = item(words);
        auto id = test::error_of([&] {
            open_loop(item("[1 2]"), w);
            natives::foreach_next_block(2);
        });
        ASSERT_TRUE(id);
        EXPECT_EQ(*id, ErrorId::script_invalid_arg);
        EXPECT_EQ(mold(global("a")), "0");
    }
}

// forall: the word moves in place, reports the tail, and is set back to the
// starting series at the end; a word the body pointed elsewhere is refused
// rather than having its payload rewritten.
TEST_F(LoopSteps, ForallStepsMoveTheWordAndRestoreIt) {
    const Cell blk = item("[1 2 3]");
    set_global("s", blk);
    test::in_frame([&] {
        open_loop(blk, word::load("s"));
        EXPECT_FALSE(natives::forall_next(false));
        EXPECT_EQ(cell::head_index(global("s")), 0);
        EXPECT_FALSE(natives::forall_next(true));
        EXPECT_FALSE(natives::forall_next(true));
        EXPECT_EQ(mold(global("s")), "[3]");
        EXPECT_TRUE(natives::forall_next(true));
        natives::forall_end();
        EXPECT_EQ(mold(global("s")), "[1 2 3]");
        stack::unwind();
    });
    for (const char* other : {"5", "[1 2 3]", "\"abc\""}) {
        SCOPED_TRACE(other);
        set_global("s", item(other));
        auto id = test::error_of([&] {
            open_loop(blk, word::load("s"));
            natives::forall_next(true);
        });
        ASSERT_TRUE(id);
        EXPECT_EQ(*id, ErrorId::script_bad_loop_series);
        EXPECT_EQ(mold(global("s")), other);  // untouched
    }
}

// remove-each: a truthy body value removes the record just visited and the
// next step starts at the record that followed it; the last, partial record
// is removed whole.
TEST_F(LoopSteps, RemoveEachNextRemovesTheVisitedRecord) {
    struct Case {
        const char* data;
        const char* words;
        std::vector<bool> remove;  // the body's value at each step
        const char* left;
    } cases[] = {
        {"[1 2 3 4 5]", "[a b]", {false, true, true}, "[1 2]"},
        {"[1 2 3 4 5]", "[a b]", {true, false, false}, "[3 4 5]"},
        {"[1 2 3]", "x", {true, true, true}, "[]"},
        {"[1 2 3]", "x", {false, true, false}, "[1 3]"},
        {"\"abcd\"", "[a b]", {true, false}, "\"cd\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.data) + " " + c.words);
        const Cell data = item(c.data);
        const Cell words = item(c.words);
        const bool several = cell::type_of(words) == type::block;
        const i32 n = several ? block::rs_length_q(words) : 1;
        test::in_frame([&] {
            stack::push(data);  // held for the collector
            open_loop(data, words, n);
            EXPECT_EQ(stack::arguments[-3].data2, static_cast<u32>(n));
            size_t step = 0;
            while (several ? natives::foreach_next_block(n) : natives::foreach_next()) {
                ASSERT_LT(step, c.remove.size());
                *stack::arguments = c.remove[step++] ? Cell{type::logic, 1, 0, 0} : Cell{type::none, 0, 0, 0};
                natives::remove_each_next(n);
            }
            EXPECT_EQ(step, c.remove.size());
            EXPECT_EQ(mold(data), c.left);
            stack::unwind();
        });
    }
}

// A stand-in map module: the key/value block of a map! at its position; a
// removed pair has a value cell whose header is 0.
bool fake_match_keys(const Cell& map, const Cell& words) {
    const Cell* pair = series::buffer_of(map)->cells() + cell::head_index(map);
    if (pair[1].header == 0) return false;
    const Cell key = pair[0], value = pair[1];
    Cell k = block::rs_head(const_cast<Cell&>(words))[0];
    Cell v = block::rs_head(const_cast<Cell&>(words))[1];
    context::set(k, key);
    context::set(v, value);
    return true;
}

TEST_F(LoopSteps, MapStepTakesTwoWordsAndSkipsRemovedPairs) {
    Cell map = item("[k1 1 k2 2 k3 3]");
    block::rs_head(map)[3].header = 0;  // k2's pair was removed
    cell::set_type(map, type::map);
    const Cell two = item("[k v]");

    // The map! module installs its step at start-up: take it out to see the
    // loop refuse without one, then put it back.
    const auto installed = natives::iteration_service.map_match_keys;
    natives::iteration_service.map_match_keys = nullptr;
    auto no_module = test::error_of([&] {
        open_loop(map, two);
        natives::foreach_next_block(2);
    });
    ASSERT_TRUE(no_module);
    EXPECT_EQ(*no_module, ErrorId::internal_not_done);

    natives::iteration_service.map_match_keys = fake_match_keys;
    auto three = test::error_of([&] {
        open_loop(map, item("[k v w]"));
        natives::foreach_next_block(3);
    });
    ASSERT_TRUE(three);
    EXPECT_EQ(*three, ErrorId::script_invalid_arg);

    test::in_frame([&] {
        open_loop(map, two);
        std::vector<std::string> seen;
        while (natives::foreach_next_block(2)) seen.push_back(mold(global("k")) + " " + mold(global("v")));
        EXPECT_EQ(seen, (std::vector<std::string>{"k1 1", "k3 3"}));
        stack::unwind();
    });

    // set spreads a map!'s items too; a removed value reads as none.
    natives::set_words(item("[a b c d]"), map, 4, true, false, false);
    EXPECT_EQ(mold(global("b")), "1");
    EXPECT_EQ(mold(global("d")), "none");
    natives::iteration_service.map_match_keys = installed;
}

// A stand-in image module: 3 pixels; the word gets the pixel's position.
i32 fake_pixels(const Cell&) { return 3; }
void fake_set_words(const Cell& image, const Cell& words) {
    Cell w = block::rs_head(const_cast<Cell&>(words))[0];
    context::set(w, cell::integer(cell::head_index(image)));
}

TEST_F(LoopSteps, ImageStepUsesTheImageModule) {
    // The pixel count is the module's to tell, whatever the cell holds.
    Cell image = item("[0 0 0 0 0 0 0 0]");
    cell::set_type(image, type::image);
    const natives::IterationService saved = natives::iteration_service;
    natives::iteration_service.image_pixels = fake_pixels;
    natives::iteration_service.image_set_words = fake_set_words;
    test::in_frame([&] {
        open_loop(image, item("[p]"));
        std::vector<std::string> seen;
        while (natives::foreach_next_block(1)) seen.push_back(mold(global("p")));
        EXPECT_EQ(seen, (std::vector<std::string>{"0", "1", "2"}));
        stack::unwind();
    });
    natives::iteration_service = saved;
}

// The counter of a compiled repeat: incremented in place, and in an object
// stored again through the setter so that on-change* sees every step.
TEST_F(LoopSteps, RepeatNextNotifiesObjectFields) {
    interpreter::init();
    boot::define_base();
    run("seen: copy [] o: make object! [n: 1 on-change*: func [word old new] [append seen new]] "
        "w: in o 'n g: 1 v: 'g");
    for (const char* name : {"w", "v"}) {
        Cell counter = global(name);
        for (int i = 0; i < 3; i++) natives::repeat_next(counter);
    }
    EXPECT_EQ(run("reduce [o/n g seen]"), "[4 4 [2 3 4]]");
    // A counter past the top stays there rather than wrap.
    run("g: 2147483647");
    Cell g = global("v");
    natives::repeat_next(g);
    EXPECT_EQ(run("g"), "2147483647");
}

// A position in front of the head (not made by the language, but a cell can
// hold one) steps from the head instead of reading before the buffer.
TEST_F(LoopSteps, StepsFromAPositionBeforeTheHeadStartAtTheHead) {
    for (const char* words : {"x", "[x]"}) {
        SCOPED_TRACE(words);
        Cell series = item("[1 2]");
        series.data1 = static_cast<u32>(-3);
        const Cell w = item(words);
        test::in_frame([&] {
            Cell* s = open_loop(series, w);
            std::vector<std::string> seen;
            while (cell::type_of(w) == type::block ? natives::foreach_next_block(1) : natives::foreach_next())
                seen.push_back(mold(global("x")));
            EXPECT_EQ(seen, (std::vector<std::string>{"1", "2"}));
            EXPECT_EQ(cell::head_index(*s), 2);
            stack::unwind();
        });
    }
}

// The block form of set: with a block of values every word is checked (and,
// without /any, every value) before any word is set; /only and values that
// are not a block give every word the value itself; /some skips none.
TEST_F(LoopSteps, SetWordsChecksEveryWordBeforeSettingAny) {
    interpreter::init();
    boot::define_base();
    struct Case {
        const char* call;
        const char* outcome;  // [ok-or-error-id a b]
    } cases[] = {
        {"set [a b] [1]", "[ok 1 none]"},
        {"set [a b] next [1 2 3]", "[ok 2 3]"},
        {"set [a b] reduce [1 ()]", "[need-value 0 0]"},
        {"set/any [a b] reduce [1 ()]", "[ok 1 unset]"},
        {"set [a 1] [2 3]", "[invalid-arg 0 0]"},
        {"set [a 1] 5", "[invalid-arg 5 0]"},  // one value: each word is checked as it is set
        {"set [a b] 7", "[ok 7 7]"},
        {"set [a b] \"xy\"", "[ok \"xy\" \"xy\"]"},
        {"set/only [a b] [1 2]", "[ok [1 2] [1 2]]"},
        {"set/some [a b] reduce [none 2]", "[ok 0 2]"},
        {"set/some [a b] none", "[ok 0 0]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.call);
        const std::string text = std::string("a: 0 b: 0 e: try [") + c.call +
                                 " none] reduce [either error! = type? e [e/id] ['ok] :a :b]";
        EXPECT_EQ(run(text.c_str()), c.outcome);
    }
}

// max and min component by component: tuples with a number (clamped to a
// byte) or a tuple of their length, points with numbers, pairs or points
// (a NaN component of the second always wins); other pairs of values go to
// the compare action.
TEST_F(LoopSteps, MaxMinWorksComponentByComponent) {
    auto tuple = [](std::initializer_list<u8> bytes) {
        Cell t{type::tuple | static_cast<u32>(bytes.size()) << 19, 0, 0, 0};
        u8 raw[12] = {};
        std::copy(bytes.begin(), bytes.end(), raw);
        std::memcpy(&t.data1, raw, sizeof raw);
        return t;
    };
    auto point = [](u32 t, float x, float y, float z = 0.0f) {
        Cell p{t, 0, 0, 0};
        std::memcpy(&p.data1, &x, 4);
        std::memcpy(&p.data2, &y, 4);
        if (t == type::point3D) std::memcpy(&p.data3, &z, 4);
        return p;
    };
    auto shown = [](const test::Outcome& o) -> std::string {
        if (o.error) return error_id_name(*o.error);
        const Cell& v = o.value;
        std::string s;
        if (cell::type_of(v) == type::tuple) {
            u8 raw[12];
            std::memcpy(raw, &v.data1, sizeof raw);
            for (u32 i = 0; i < ((v.header >> 19) & 0xF); ++i) s += (i ? "." : "") + std::to_string(raw[i]);
        } else if (cell::type_of(v) == type::point2D || cell::type_of(v) == type::point3D) {
            const u32 w[3] = {v.data1, v.data2, v.data3};
            for (int i = 0; i < (cell::type_of(v) == type::point2D ? 2 : 3); ++i) {
                float f;
                std::memcpy(&f, &w[i], 4);
                s += (i ? "," : "(") + (std::isnan(f) ? std::string("nan") : std::to_string(static_cast<int>(f)));
            }
            s += ")";
        } else if (cell::type_of(v) == type::pair) {
            s = std::to_string(static_cast<i32>(v.data2)) + "x" + std::to_string(static_cast<i32>(v.data3));
        } else {
            s = mold(v);
        }
        return s;
    };
    const float nan = std::nanf("");
    struct Case {
        bool max_q;
        Cell a, b;
        const char* result;
    } cases[] = {
        {true, tuple({1, 2, 3}), cell::integer(2), "2.2.3"},
        {false, tuple({1, 2, 3}), cell::integer(2), "1.2.2"},
        {true, tuple({1, 200}), cell::integer(300), "255.255"},
        {false, tuple({1, 200}), cell::float_(-4.5), "0.0"},
        {true, tuple({1, 9, 3}), tuple({4, 5, 6}), "4.9.6"},
        {false, tuple({1, 9, 3}), tuple({4, 5, 6}), "1.5.3"},
        {true, point(type::point2D, 1, 5), cell::integer(3), "(3,5)"},
        {false, point(type::point2D, 1, 5), Cell{type::pair, 0, 2, 2}, "(1,2)"},
        {true, point(type::point2D, 1, 5), point(type::point2D, nan, 0), "(nan,5)"},
        {false, point(type::point3D, 1, 5, -2), Cell{type::pair, 0, 2, 2}, "(1,2,-2)"},
        {true, point(type::point3D, 1, 5, -2), point(type::point3D, 4, 4, 4), "(4,5,4)"},
        {true, Cell{type::pair, 0, 1, 5}, Cell{type::pair, 0, 3, 3}, "3x5"},
        {true, Cell{type::pair, 0, 1, 5}, cell::float_(2.9), "2x5"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.result);
        const test::Outcome o = test::run_native([&] {
            stack::push(c.a);
            stack::push(c.b);
            natives::max_min(c.max_q);
        });
        EXPECT_EQ(shown(o), c.result);
    }
    // Mixed lengths, a float first and a percent! beside a pair are not
    // combined: they go to the compare action, which orders tuples of two
    // lengths and cannot compare the others.
    const test::Outcome longer = test::run_native([&] {
        stack::push(tuple({1, 2, 3}));
        stack::push(tuple({1, 2}));
        natives::max_min(true);
    });
    EXPECT_EQ(shown(longer), "1.2.3");
    const Cell percent{type::percent, 0, 0, 0};
    const std::pair<Cell, Cell> to_compare[] = {
        {cell::float_(1.2), tuple({1, 2, 3})},
        {Cell{type::pair, 0, 1, 5}, percent},
    };
    for (const auto& [a, b] : to_compare) {
        const test::Outcome o = test::run_native([&] {
            stack::push(a);
            stack::push(b);
            natives::max_min(true);
        });
        EXPECT_TRUE(o.error) << shown(o);
    }
}

// The natives themselves: a map! walked with one word, an empty word block,
// and (from compiled code, which the native checks itself) a wrong argument
// reported in the order of the spec.
TEST_F(LoopSteps, SeriesNativesRefuseWhatTheyCannotWalk) {
    Cell map = item("[k1 1]");
    cell::set_type(map, type::map);
    const Cell body = item("[]");
    Cell at_tail = item("[a]");
    at_tail.data1 = 1;
    struct Case {
        native::Entry native;
        Cell args[3];
        ErrorId id;
        int arg;           // the error argument to check
        const char* shown;  // molded
    } cases[] = {
        {natives::foreach, {item("k"), map, body}, ErrorId::script_invalid_arg, 0, "k"},
        {natives::foreach, {item("[]"), item("[1]"), body}, ErrorId::script_invalid_arg, 0, "[]"},
        {natives::remove_each, {at_tail, item("[1]"), body}, ErrorId::script_invalid_arg, 0, "[]"},
        {natives::foreach, {cell::integer(5), cell::integer(6), cell::integer(7)}, ErrorId::script_expect_arg, 2,
         "word"},
        {natives::foreach, {item("[]"), cell::integer(6), cell::integer(7)}, ErrorId::script_expect_arg, 2, "series"},
        {natives::remove_each, {item("[]"), map, body}, ErrorId::script_expect_arg, 2, "data"},
        {natives::forall, {item("k"), cell::integer(6)}, ErrorId::script_expect_arg, 2, "body"},
    };
    set_global("k", item("[1 2]"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.shown);
        const test::Outcome o = test::run_native([&] {
            for (const Cell& a : c.args) stack::push(a);
            c.native(true, nullptr);
        });
        test::expect_error(o, c.id);
        EXPECT_EQ(mold(pending_error.args[c.arg]), c.shown);
    }
}

}  // namespace
