// series! actions: positions and clamping past the tail, /part by count and
// by position, take, remove, reverse and move edge cases, pick and poke on
// cells, characters and bytes, the ownership notifications around each
// change, and the hash! index kept in step with the cells.
#include "interpreter/actions.h"
#include "interpreter/stack.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/fire.h"
#include "runtime/hashtable.h"
#include "runtime/memory.h"
#include "runtime/registry.h"
#include "runtime/runtime.h"
#include "runtime/system.h"

#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <vector>

using namespace oru;

namespace {

using namespace test;

// integer! comparison, until the integer module registers its own.
i32 integer_compare(Cell* a, Cell* b, i32) {
    if (cell::type_of(*b) != type::integer) return -2;
    i32 x = static_cast<i32>(a->data2), y = static_cast<i32>(b->data2);
    return x < y ? -1 : x > y ? 1 : 0;
}

struct Notice {
    std::string action;
    i32 index, count;
};
std::vector<Notice> notices;

i32 record_check(const Cell&, const Cell& action, const Cell*, i32 index, i32 count) {
    notices.push_back({symbol::get_c_string(static_cast<i32>(action.data2)), index, count});
    return 0;
}

// An owner's handler standing in for language code: runs on every check
// (not again while it runs itself).
std::function<void(const Cell& value, const std::string& action)> owner_handler;
i32 run_owner_handler(const Cell& value, const Cell& action, const Cell*, i32, i32) {
    static bool busy = false;
    if (busy || !owner_handler) return 0;
    busy = true;
    owner_handler(value, symbol::get_c_string(static_cast<i32>(action.data2)));
    busy = false;
    return 1;
}

class Series : public ::testing::Test {
protected:
    void SetUp() override {
        runtime_init();
        series::init();
        block::init();
        stand_in(type::integer, 0, "integer!", ActionTable{.compare = integer_compare}, action::compare);
        // string!, binary! and hash! take their parents' handlers until their modules land.
        ActionTable inherited{};
#define ORU_INHERIT(n, member, spelling, fn) inherited.member = inherit;
        ORU_ACTIONS(ORU_INHERIT)
#undef ORU_INHERIT
        stand_in(type::string, type::series, "string!", inherited, action::pick);
        stand_in(type::binary, type::series, "binary!", inherited, action::pick);
        stand_in(type::hash, type::block, "hash!", inherited, action::pick);
        notices.clear();
    }
    void TearDown() override {
        series::reset_ownership();
        owner_handler = nullptr;
        // The stand-ins leave no rows behind for tests that skip start-up.
        for (u32 t : stand_ins) {
            std::fill_n(registry::actions + t * registry::row_size, registry::row_size, nullptr);
            registry::datatypes[t] = {};
        }
        runtime_shutdown();
    }

    // Registers a stand-in for a type whose module has not registered `slot`.
    void stand_in(u32 t, u32 parent, const char* spelling, const ActionTable& table, u32 slot) {
        if (registry::entry(t, slot)) return;
        registry::add(t, parent, spelling, table);
        stand_ins.push_back(t);
    }
    std::vector<u32> stand_ins;

    // A block of the integers, at head index `head`.
    static Cell ints(std::initializer_list<i32> values, i32 head = 0) {
        Node n = memory::alloc_cells(static_cast<i32>(values.size()) + 1);
        for (i32 v : values) *memory::alloc_tail(n) = cell::integer(v);
        return cell::make(type::block, static_cast<u32>(head), n, 0);
    }
    // The integers of a block from its head (-999 for any other value).
    static std::vector<i32> values(const Cell& blk) {
        std::vector<i32> out;
        SeriesBuffer* s = memory::buffer(cell::node(blk));
        for (u32 i = cell::head_index(blk); i < s->length(); i++) {
            const Cell& c = s->cells()[i];
            out.push_back(cell::type_of(c) == type::integer ? static_cast<i32>(c.data2) : -999);
        }
        return out;
    }
    static std::vector<i32> all(const Cell& blk) {
        Cell at0 = blk;
        at0.data1 = 0;
        return values(at0);
    }
    static Cell text(const char* s) {
        Cell str;
        string::make_at(str, 16);
        string::concatenate_literal(str, s);
        return str;
    }
    static std::string chars(const Cell& str) {
        SeriesBuffer* s = memory::buffer(cell::node(str));
        std::string out;
        for (u32 i = 0; i < s->length(); i++) {
            u32 cp = string::get_char(s->head_ptr() + i * s->unit(), s->unit());
            out += cp < 0x80 ? std::string(1, static_cast<char>(cp)) : "<" + std::to_string(cp) + ">";
        }
        return out;
    }

    // Calls the stack entry of an action with the arguments pushed and the
    // refinement positions given (-1 absent); returns the result slot.
    // Calls a stack-convention handler itself with the arguments pushed.
    static Cell call_direct(void (*fn)(), std::initializer_list<Cell> args) {
        stack::mark_native(name("test"));
        for (const Cell& a : args) stack::push_value(a);
        fn();
        Cell result = *stack::arguments;
        stack::unroll();
        return result;
    }

    static std::string arg_word(int i) {
        return symbol::get_c_string(static_cast<i32>(pending_error.args[i].data2));
    }
};

TEST_F(Series, PositionsClampAtBothEnds) {
    struct Case {
        u32 slot;
        i32 head;
        std::optional<i32> offset;
        i32 expected;
    } cases[] = {
        {action::at, 2, 0, 2},     {action::at, 2, 1, 2},      {action::at, 2, -1, 1},
        {action::at, 2, 3, 4},     {action::at, 2, 100, 5},    {action::at, 2, -100, 0},
        {action::skip, 2, 0, 2},   {action::skip, 2, 2, 4},    {action::skip, 2, 9, 5},
        {action::skip, 2, -9, 0},  {action::next, 4, {}, 5},   {action::next, 5, {}, 5},
        {action::back, 0, {}, 0},  {action::back, 3, {}, 2},   {action::head, 3, {}, 0},
        {action::tail, 1, {}, 5},
    };
    // Children call the shared handlers directly, around what they change.
    const std::pair<u32, void (*)()> direct[] = {
        {action::at, series::at},     {action::skip, series::skip}, {action::next, series::next},
        {action::back, series::back}, {action::head, series::head}, {action::tail, series::tail},
    };
    for (const Case& c : cases) {
        Cell blk = ints({0, 1, 2, 3, 4}, c.head);
        Cell r = c.offset ? call_action(c.slot, {blk, cell::integer(*c.offset)}) : call_action(c.slot, {blk});
        EXPECT_EQ(cell::head_index(r), c.expected) << "slot " << c.slot << " from " << c.head;
        EXPECT_EQ(cell::node(r), cell::node(blk));
        for (const auto& [slot, fn] : direct) {
            if (slot != c.slot) continue;
            Cell d = c.offset ? call_direct(fn, {blk, cell::integer(*c.offset)}) : call_direct(fn, {blk});
            EXPECT_EQ(cell::head_index(d), c.expected) << "direct slot " << c.slot << " from " << c.head;
        }
    }
    EXPECT_EQ(test::error_unrolled([] { call_action(action::at, {ints({1}), cell::make(type::none)}); }), ErrorId::script_invalid_arg);
}

TEST_F(Series, HeadIndexPastAShortenedTail) {
    Cell blk = ints({1, 2, 3, 4, 5}, 4);
    Cell early = blk;
    early.data1 = 2;
    call_action(action::clear, {early});  // the buffer now ends at 2
    EXPECT_EQ(call_action(action::index_q, {blk}).data2, 5u) << "index? keeps the position";
    EXPECT_EQ(cell::type_of(call_action(action::tail_q, {blk})), type::logic);
    EXPECT_EQ(call_action(action::tail_q, {blk}).data1, 1u);
    EXPECT_EQ(cell::type_of(call_action(action::pick, {blk, cell::integer(1)})), type::none);
    EXPECT_EQ(series::length_q(&blk), 0);
    EXPECT_EQ(cell::head_index(blk), 2) << "length? moves the index back to the tail";
    EXPECT_EQ(call_action(action::head_q, {blk}).data1, 0u);
    EXPECT_EQ(call_direct(series::index_q, {blk}).data2, 3u);
    EXPECT_EQ(call_direct(series::tail_q_, {blk}).data1, 1u);
    EXPECT_EQ(call_direct(series::head_q, {blk}).data1, 0u);
}

TEST_F(Series, PickAndPokeCountFromThePosition) {
    Cell blk = ints({10, 20, 30, 40}, 2);
    struct Case {
        i32 n;
        std::optional<i32> picked;  // none when absent
    } cases[] = {{1, 30}, {2, 40}, {3, {}}, {0, {}}, {-1, 20}, {-2, 10}, {-3, {}}};
    for (const Case& c : cases) {
        Cell r = call_action(action::pick, {blk, cell::integer(c.n)});
        if (c.picked) EXPECT_EQ(static_cast<i32>(r.data2), *c.picked) << c.n;
        else EXPECT_EQ(cell::type_of(r), type::none) << c.n;
    }
    EXPECT_EQ(call_action(action::pick, {blk, cell::make(type::logic, 0)}).data2, 40u) << "false picks the second";

    EXPECT_EQ(call_action(action::poke, {blk, cell::integer(-1), cell::integer(7)}).data2, 7u);
    EXPECT_EQ(all(blk), (std::vector<i32>{10, 7, 30, 40}));
    for (i32 n : {0, 3, -3}) {
        EXPECT_EQ(test::error_unrolled([&] { call_action(action::poke, {blk, cell::integer(n), cell::integer(1)}); }),
                  ErrorId::script_out_of_range);
        EXPECT_EQ(cell::type_of(pending_error.args[0]), type::integer);
        EXPECT_EQ(static_cast<i32>(pending_error.args[0].data2), n);
    }
}

TEST_F(Series, PokeCharactersAndBytes) {
    Cell str = text("abc");
    EXPECT_EQ(call_action(action::pick, {str, cell::integer(2)}).data2, static_cast<u32>('b'));
    EXPECT_EQ(cell::type_of(call_action(action::pick, {str, cell::integer(2)})), type::char_);
    call_action(action::poke, {str, cell::integer(1), cell::make(type::char_, 0, 200)});
    EXPECT_EQ(memory::buffer(cell::node(str))->unit(), 1u) << "a 1-byte string keeps code points up to 255";
    call_action(action::poke, {str, cell::integer(3), cell::make(type::char_, 0, 0x20AC)});
    EXPECT_EQ(memory::buffer(cell::node(str))->unit(), 2u);
    EXPECT_EQ(chars(str), "<200>b<8364>");
    EXPECT_EQ(test::error_unrolled([&] { call_action(action::poke, {str, cell::integer(1), cell::integer(65)}); }),
              ErrorId::script_invalid_arg);

    Node bytes = memory::alloc_bytes(4);
    *memory::reserve_bytes(bytes, 1) = 1;
    *memory::reserve_bytes(bytes, 1) = 2;
    Cell bin = cell::make(type::binary, 0, bytes, 0);
    call_action(action::poke, {bin, cell::integer(2), cell::integer(0x1FF)});
    Cell byte = call_action(action::pick, {bin, cell::integer(2)});
    EXPECT_EQ(cell::type_of(byte), type::integer);
    EXPECT_EQ(byte.data2, 0xFFu) << "the low 8 bits";
    EXPECT_EQ(test::error_unrolled([&] { call_action(action::poke, {bin, cell::integer(1), ints({1})}); }),
              ErrorId::script_invalid_arg);
}

TEST_F(Series, PartTakesACountOrAPositionInTheSameSeries) {
    // remove/part by count, by position, and refusals.
    Cell blk = ints({1, 2, 3, 4, 5}, 1);
    call_action(action::remove, {blk, cell::integer(2)}, {1, -1});
    EXPECT_EQ(all(blk), (std::vector<i32>{1, 4, 5}));
    Cell to = blk;
    to.data1 = 3;
    call_action(action::remove, {blk, to}, {1, -1});
    EXPECT_EQ(all(blk), (std::vector<i32>{1}));
    Cell before = ints({1, 2, 3}, 2), back = before;
    back.data1 = 0;
    call_action(action::remove, {before, back}, {1, -1});
    EXPECT_EQ(all(before), (std::vector<i32>{1, 2, 3})) << "a position behind the head removes nothing";

    for (Cell bad : {ints({1, 2}), text("ab"), cell::make(type::none)}) {
        Cell target = ints({1, 2, 3});
        EXPECT_EQ(test::error_unrolled([&] { call_action(action::remove, {target, bad}, {1, -1}); }),
                  ErrorId::script_invalid_refine_arg);
        EXPECT_EQ(arg_word(0), "part");
        EXPECT_EQ(all(target), (std::vector<i32>{1, 2, 3}));
    }

    // copy/part: counts, positions, a negative count and pairs.
    Cell src = ints({1, 2, 3, 4, 5}, 2);
    Cell pos = src;
    pos.data1 = 4;
    struct Case {
        Cell part;
        std::vector<i32> expected;
    } cases[] = {
        {cell::integer(2), {3, 4}},   {cell::integer(10), {3, 4, 5}},   {pos, {3, 4}},
        {cell::integer(-1), {2}},     {cell::integer(-5), {1, 2}},      {cell::integer(0), {}},
        {cell::make(type::pair, 0, 2, 4), {4, 5}},
    };
    for (const Case& c : cases) {
        Cell r = call_action(action::copy, {src, c.part}, {1, -1, -1});
        EXPECT_EQ(values(r), c.expected);
        EXPECT_NE(cell::node(r), cell::node(src));
    }
}

TEST_F(Series, TakeEdgeCases) {
    struct Case {
        const char* what;
        i32 head;
        std::optional<i32> part;  // a count
        std::optional<i32> part_at;  // a position
        bool last;
        std::vector<i32> taken;  // from the result block
        std::vector<i32> left;   // the whole buffer afterwards
    } cases[] = {
        {"part 2", 1, 2, {}, false, {2, 3}, {1, 4, 5}},
        {"part 0 takes nothing", 2, 0, {}, false, {}, {1, 2, 3, 4, 5}},
        {"last part 0 takes nothing", 2, 0, {}, true, {}, {1, 2, 3, 4, 5}},
        {"part beyond the rest", 3, 9, {}, false, {4, 5}, {1, 2, 3}},
        {"negative: before the position", 3, -2, {}, false, {2, 3}, {1, 4, 5}},
        {"negative beyond the head", 1, -4, {}, false, {1}, {2, 3, 4, 5}},
        {"last, negative: nothing", 3, -2, {}, true, {}, {1, 2, 3, 4, 5}},
        {"last part 2", 1, 2, {}, true, {4, 5}, {1, 2, 3}},
        {"position", 1, {}, 3, false, {2, 3}, {1, 4, 5}},
        {"position behind the head", 3, {}, 1, false, {}, {1, 2, 3, 4, 5}},
        {"last, position", 1, {}, 3, true, {4, 5}, {1, 2, 3}},
    };
    for (const Case& c : cases) {
        Cell blk = ints({1, 2, 3, 4, 5}, c.head);
        Cell part = c.part ? cell::integer(*c.part) : blk;
        if (c.part_at) part.data1 = static_cast<u32>(*c.part_at);
        Cell r = call_action(action::take, {blk, part}, {1, -1, c.last ? 0 : -1});
        ASSERT_EQ(cell::type_of(r), type::block) << c.what;
        EXPECT_EQ(values(r), c.taken) << c.what;
        EXPECT_EQ(all(blk), c.left) << c.what;
    }

    Cell empty = ints({1, 2}, 2);
    EXPECT_EQ(cell::type_of(call_action(action::take, {empty}, {-1, -1, -1})), type::none);
    EXPECT_EQ(all(empty), (std::vector<i32>{1, 2})) << "untouched, the values before the position too";
    Cell one = ints({1, 2, 3}, 1);
    EXPECT_EQ(call_action(action::take, {one}, {-1, -1, 0}).data2, 3u) << "take/last: the cell itself";
    EXPECT_EQ(all(one), (std::vector<i32>{1, 2}));
}

TEST_F(Series, ReverseRangesAndSkip) {
    struct Case {
        i32 head;
        std::optional<i32> part, skip;
        std::vector<i32> expected;
        std::optional<ErrorId> error;
    } cases[] = {
        {0, {}, {}, {6, 5, 4, 3, 2, 1}, {}},
        {1, 3, {}, {1, 4, 3, 2, 5, 6}, {}},
        {2, 99, {}, {1, 2, 6, 5, 4, 3}, {}},
        {0, {}, 2, {5, 6, 3, 4, 1, 2}, {}},
        {0, {}, 3, {4, 5, 6, 1, 2, 3}, {}},
        {0, {}, 6, {1, 2, 3, 4, 5, 6}, {}},  // one record: nothing to swap
        {0, 0, {}, {1, 2, 3, 4, 5, 6}, {}},
        {6, {}, {}, {1, 2, 3, 4, 5, 6}, {}},
        {1, {}, 2, {1, 2, 3, 4, 5, 6}, ErrorId::script_invalid_refine_arg},  // 5 cells in records of 2
        {0, {}, 7, {1, 2, 3, 4, 5, 6}, ErrorId::script_invalid_refine_arg},
        {0, {}, 0, {1, 2, 3, 4, 5, 6}, ErrorId::script_out_of_range},
    };
    for (const Case& c : cases) {
        Cell blk = ints({1, 2, 3, 4, 5, 6}, c.head);
        auto id = test::error_unrolled([&] {
            if (c.part && c.skip) call_action(action::reverse, {blk, cell::integer(*c.part), cell::integer(*c.skip)}, {1, 2});
            else if (c.part) call_action(action::reverse, {blk, cell::integer(*c.part)}, {1, -1});
            else if (c.skip) call_action(action::reverse, {blk, cell::integer(*c.skip)}, {-1, 1});
            else call_action(action::reverse, {blk}, {-1, -1});
        });
        EXPECT_EQ(id, c.error);
        EXPECT_EQ(all(blk), c.expected);
    }
    Cell blk = ints({1, 2, 3, 4});
    EXPECT_EQ(test::error_unrolled([&] { call_action(action::reverse, {blk, cell::make(type::none)}, {-1, 1}); }),
              ErrorId::script_invalid_refine_arg);
    EXPECT_EQ(arg_word(0), "skip");
}

TEST_F(Series, MoveWithinAndBetweenSeries) {
    struct Case {
        i32 from, to;
        std::optional<i32> part;
        std::vector<i32> expected;
    } cases[] = {
        {3, 1, {}, {1, 4, 2, 3, 5}},   // before the target element
        {0, 2, {}, {2, 3, 1, 4, 5}},   // after the target element
        {0, 5, 2, {3, 4, 5, 1, 2}},    // to the tail
        {1, 1, {}, {1, 2, 3, 4, 5}},   // onto itself
        {0, 1, 3, {1, 2, 3, 4, 5}},    // into its own run
        {1, 4, 3, {1, 2, 3, 4, 5}},    // too little room after the target
        {4, 0, 9, {5, 1, 2, 3, 4}},    // the count is cut to the rest
        {5, 0, {}, {1, 2, 3, 4, 5}},   // nothing left at the source
    };
    for (const Case& c : cases) {
        Cell blk = ints({1, 2, 3, 4, 5}, c.from), target = blk;
        target.data1 = static_cast<u32>(c.to);
        if (c.part) call_action(action::move, {blk, target, cell::integer(*c.part)}, {2});
        else call_action(action::move, {blk, target}, {-1});
        EXPECT_EQ(all(blk), c.expected) << c.from << " -> " << c.to;
    }

    Cell a = ints({1, 2, 3}), b = ints({7, 8}, 1);
    Cell r = call_action(action::move, {a, b, cell::integer(2)}, {2});
    EXPECT_EQ(cell::node(r), cell::node(b));
    EXPECT_EQ(cell::head_index(r), 1) << "the target as given";
    EXPECT_EQ(all(a), (std::vector<i32>{3}));
    EXPECT_EQ(all(b), (std::vector<i32>{7, 1, 2, 8}));

    Cell narrow = text("ab"), wide = text("xy");
    call_action(action::poke, {wide, cell::integer(1), cell::make(type::char_, 0, 0x3A9)});
    call_action(action::move, {wide, narrow}, {-1});
    EXPECT_EQ(memory::buffer(cell::node(narrow))->unit(), 2u) << "the target widens";
    EXPECT_EQ(chars(narrow), "<937>ab");
    EXPECT_EQ(chars(wide), "y");

    EXPECT_EQ(test::error_unrolled([&] { call_action(action::move, {ints({1}), text("a")}, {-1}); }), ErrorId::script_move_bad);
    EXPECT_EQ(test::error_unrolled([&] { call_action(action::move, {ints({1}), cell::integer(3)}, {-1}); }),
              ErrorId::script_expect_arg);
}

TEST_F(Series, ChangesNotifyBeforeAndAfter) {
    series::ownership.check = record_check;
    struct Case {
        const char* what;
        std::function<void(Cell&)> run;
        std::vector<std::string> expected;  // "action index count"
    } cases[] = {
        {"poke", [](Cell& b) { call_action(action::poke, {b, cell::integer(2), cell::integer(9)}); },
         {"poke 2 1", "poked 2 1"}},
        {"clear", [](Cell& b) { call_action(action::clear, {b}); }, {"clear 1 4", "cleared 1 0"}},
        {"remove", [](Cell& b) { call_action(action::remove, {b, cell::integer(2)}, {1, -1}); },
         {"remove 1 2", "removed 1 0"}},
        {"take/last", [](Cell& b) { call_action(action::take, {b}, {-1, -1, 0}); }, {"take 4 1", "taken 4 1"}},
        {"reverse", [](Cell& b) { call_action(action::reverse, {b}, {-1, -1}); }, {"reverse 1 4", "reversed 1 4"}},
        {"append", [](Cell& b) { call_action(action::append, {b, cell::integer(6)}, {-1, -1, -1}); },
         {"append 5 1", "appended 5 1"}},
        {"insert", [](Cell& b) { call_action(action::insert, {b, cell::integer(6)}, {-1, -1, -1}); },
         {"insert 1 1", "inserted 1 1"}},
        {"poke out of range: nothing",
         [](Cell& b) { test::error_unrolled([&] { call_action(action::poke, {b, cell::integer(9), cell::integer(1)}); }); }, {}},
        {"clear at the tail: nothing", [](Cell& b) { b.data1 = 5; call_action(action::clear, {b}); }, {}},
    };
    for (const Case& c : cases) {
        Cell blk = ints({1, 2, 3, 4, 5}, 1);
        notices.clear();
        c.run(blk);
        std::vector<std::string> got;
        for (const Notice& n : notices) got.push_back(n.action + " " + std::to_string(n.index) + " " +
                                                      std::to_string(n.count));
        EXPECT_EQ(got, c.expected) << c.what;
    }
}

TEST_F(Series, OwnerHandlersThatChangeTheSeriesFirst) {
    series::ownership.check = run_owner_handler;
    // The handler empties the block it is told about before take runs: the
    // take is dropped, and what a former take left in the shared buffer is
    // not handed out.
    EXPECT_EQ(call_action(action::take, {ints({7})}, {-1, -1, -1}).data2, 7u);
    Cell blk = ints({1, 2, 3});
    owner_handler = [](const Cell& v, const std::string& action) {
        if (action == "take") call_action(action::clear, {v});
    };
    EXPECT_EQ(cell::type_of(call_action(action::take, {blk}, {-1, -1, -1})), type::none);
    EXPECT_EQ(all(blk), std::vector<i32>{});
    Cell blk2 = ints({1, 2, 3});
    Cell part = call_action(action::take, {blk2, cell::integer(2)}, {1, -1, -1});
    EXPECT_EQ(cell::type_of(part), type::block);
    EXPECT_EQ(values(part), std::vector<i32>{});

    // A take inside the handler reuses the shared buffer with its own unit;
    // the outer take still gets its one character.
    Cell str = text("abc");
    static Cell other;
    other = ints({5, 6});
    owner_handler = [](const Cell& v, const std::string& action) {
        if (action == "take" && cell::type_of(v) == type::string) call_action(action::take, {other}, {-1, -1, -1});
    };
    Cell* taken = series::take(stack::push(str), nullptr, false, false);
    EXPECT_EQ(chars(*taken), "a");
    EXPECT_EQ(chars(str), "bc");
    EXPECT_EQ(all(other), std::vector<i32>{6});

    // move between two blocks: whichever handler runs second may have changed
    // the other series; then nothing moves.
    static Cell origin, target;
    for (bool origin_changed : {true, false}) {
        origin = ints({1, 2, 3});
        target = ints({7, 8}, 1);
        owner_handler = [origin_changed](const Cell& v, const std::string& action) {
            if (action != "move") return;
            if (origin_changed && cell::node(v) == cell::node(target)) call_action(action::clear, {origin});
            if (!origin_changed && cell::node(v) == cell::node(origin)) {
                Cell t0 = target;
                t0.data1 = 0;
                call_action(action::clear, {t0});
            }
        };
        call_action(action::move, {origin, target, cell::integer(2)}, {2});
        const std::vector<i32> empty, untouched_origin{1, 2, 3}, untouched_target{7, 8};
        EXPECT_EQ(all(origin), origin_changed ? empty : untouched_origin);
        EXPECT_EQ(all(target), origin_changed ? untouched_target : empty);
    }
}

TEST_F(Series, ReflectAndModifyOwned) {
    Cell blk = ints({1});
    Cell v = blk;
    series::reflect(&v, static_cast<u32>(symbol::make("owned")));
    EXPECT_EQ(cell::type_of(v), type::none) << "nothing owns it";
    v = blk;
    EXPECT_EQ(test::error_unrolled([&] { series::reflect(&v, static_cast<u32>(symbol::make("size"))); }),
              ErrorId::internal_not_done);
    Cell field = name("owned"), none_value = cell::make(type::none);
    EXPECT_EQ(cell::type_of(*series::modify(&blk, &field, &none_value, false)), type::none);
    Cell bad = cell::integer(1);
    EXPECT_EQ(test::error_unrolled([&] { series::modify(&blk, &field, &bad, false); }), ErrorId::script_invalid_arg);
}

TEST_F(Series, HashIndexFollowsTheCells) {
    Cell h = ints({10, 20, 30, 40, 50, 60});
    cell::set_type(h, type::hash);
    h.data3 = hashtable::init(6, &h, hashtable::kind::hash, 0);
    const Node table = h.data3, n = cell::node(h);
    // Each key's position in the block, as the index finds it (-1 when absent).
    auto where = [&](i32 key) {
        Cell k = cell::integer(key);
        Cell* c = hashtable::find(table, &k, series::item_of(n, 0), 1, 0, false, false);
        return c ? static_cast<i32>(c - memory::buffer(n)->cells()) : -1;
    };
    auto check = [&](const char* what) {
        std::vector<i32> cells = all(h);
        for (size_t i = 0; i < cells.size(); i++) EXPECT_EQ(where(cells[i]), static_cast<i32>(i)) << what;
    };
    Cell at1 = h;
    at1.data1 = 1;
    call_action(action::remove, {at1, cell::integer(2)}, {1, -1});
    EXPECT_EQ(where(20), -1);
    check("remove");
    call_action(action::poke, {h, cell::integer(1), cell::integer(11)});
    EXPECT_EQ(where(10), -1);
    check("poke");
    call_action(action::reverse, {h}, {-1, -1});
    check("reverse");
    Cell taken = call_action(action::take, {h, cell::integer(2)}, {1, -1, -1});
    EXPECT_EQ(cell::type_of(taken), type::hash);
    EXPECT_NE(taken.data3, 0u) << "the taken cells get a table of their own";
    check("take");
    Cell target = h;
    target.data1 = 1;
    call_action(action::move, {h, target}, {-1});
    check("move");
    call_action(action::clear, {at1});
    EXPECT_EQ(all(h).size(), 1u);
    check("clear");
}

}  // namespace
