// Runtime calls of compiled code: root records, argument checks against
// typesets, the float range check, refinement clearing and the select/switch
// lookup (never past the block's tail); calls with refinement positions,
// item-by-item paths, loading a value from text and reporting an error.
#include "runtime/calls.h"

#include "interpreter/actions.h"
#include "interpreter/natives.h"
#include "interpreter/stack.h"
#include "runtime/console.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/native.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/object.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/typeset.h"
#include "runtime/datatypes/unset.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/runtime.h"
#include "runtime/system.h"

#include "support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <optional>
#include <string>
#include <vector>

using namespace oru;

namespace {

using namespace test;

class Calls : public ::testing::Test {
protected:
    void SetUp() override {
        test::start_base();
        stack::mark_native(stack::word(0));
        stack::push(unset::value);
    }
    void TearDown() override {
        set_root_block(0);
        test::stop_base();
    }

    static Cell block_of(std::initializer_list<Cell> cells, i32 room = 8) {
        Node n = memory::alloc_cells(room);
        for (const Cell& c : cells) *memory::alloc_tail(n) = c;
        return cell::make(type::block, 0, n, 0);
    }
};

bool same(const Cell& a, const Cell& b) { return std::memcmp(&a, &b, sizeof(Cell)) == 0; }

Cell of(std::initializer_list<u32> types) {
    Cell ts = typeset::make();
    for (u32 t : types) typeset::set_bit(ts, t);
    return ts;
}

TEST_F(Calls, FloatRangeIsCheckedNeverUndefined) {
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    struct Case {
        Cell value;
        std::optional<i32> expected;  // none: out of range
    } cases[] = {
        {cell::float_(2147483647.0), 2147483647},
        {cell::float_(2147483648.0), std::nullopt},
        {cell::float_(2147483647.5), std::nullopt},  // above the limit, though it would truncate into range
        {cell::float_(-2147483648.0), std::numeric_limits<i32>::min()},
        {cell::float_(-2147483648.5), std::nullopt},
        {cell::float_(-0.5), 0},
        {cell::float_(1.99), 1},
        {cell::float_(-1.99), -1},
        {cell::float_(nan), std::nullopt},
        {cell::float_(inf), std::nullopt},
        {cell::float_(-inf), std::nullopt},
        {cell::integer(-7), -7},
        {cell::make(type::percent, 0, cell::float_(12.9).data2, cell::float_(12.9).data3), 12},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(cell::get_float(c.value));
        i32 got = 0;
        std::optional<ErrorId> err = error_of([&] { got = check_float_range(c.value); });
        if (c.expected) {
            EXPECT_EQ(err, std::nullopt);
            EXPECT_EQ(got, *c.expected);
        } else {
            EXPECT_EQ(err, ErrorId::script_out_of_range);
            EXPECT_TRUE(same(pending_error.args[0], c.value));
        }
    }
    EXPECT_EQ(error_of([] { check_float_range(none::value); }), ErrorId::script_invalid_arg);
}

TEST_F(Calls, ArgumentTypeChecks) {
    // Type 0 is bit 7 of byte 0.
    Cell zero_only = of({0});
    Cell zero_value = cell::make(0);
    EXPECT_EQ(check_arg_type(zero_only, 1, &zero_value), &zero_value);
    Cell logic_only = of({type::logic});
    EXPECT_EQ(error_of([&] { check_arg_type(logic_only, 1, &zero_value); }), ErrorId::script_expect_arg);

    Cell number = cell::integer(5);
    EXPECT_EQ(error_of([&] { check_arg_type(logic_only, 3, &number); }), ErrorId::script_expect_arg);
    EXPECT_EQ(cell::type_of(pending_error.args[0]), type::word);  // the call's name
    EXPECT_TRUE(same(pending_error.args[1], datatype::make(type::integer)));
    EXPECT_TRUE(same(pending_error.args[2], cell::integer(3)));

    // Refinement-guarded checks: only a set refinement checks.
    for (const Cell& refinement : {logic::false_value, none::value})
        EXPECT_EQ(check_arg_type_at(refinement, logic_only, 2, &number), &number);
    EXPECT_EQ(error_of([&] { check_arg_type_at(logic::true_value, logic_only, 2, &number); }),
              ErrorId::script_expect_arg);

    // Checks by stack index; a negative index skips.
    in_frame([&] {
        stack::push(logic::true_value);
        stack::push(cell::integer(1));
        EXPECT_EQ(check_arg_type_index(0, logic_only, 1), 0);
        EXPECT_EQ(check_arg_type_index(-1, logic_only, 2), -1);
        EXPECT_EQ(error_of([&] { check_arg_type_index(1, logic_only, 2); }), ErrorId::script_expect_arg);
    });

    // An unset argument.
    Cell u = unset::value;
    EXPECT_EQ(check_arg_set(1, &number), &number);
    EXPECT_EQ(error_of([&] { check_arg_set(2, &u); }), ErrorId::script_expect_arg);
    EXPECT_TRUE(same(pending_error.args[1], datatype::make(type::unset)));
}

TEST_F(Calls, ClearRefinementArgs) {
    in_frame([] {
        for (i32 i = 0; i < 5; i++) stack::push(cell::integer(i));  // result, refinement, three arguments
        Cell* args = stack::arguments;
        clear_refinement_args(none::value, 1, 2);
        EXPECT_TRUE(same(args[1], cell::integer(1)));
        EXPECT_EQ(cell::type_of(args[2]), type::none);
        EXPECT_EQ(cell::type_of(args[3]), type::none);
        EXPECT_TRUE(same(args[4], cell::integer(4)));
        args[2] = cell::integer(2);
        clear_refinement_args(cell::integer(0), 1, 2);  // any value but none and false is true
        EXPECT_TRUE(same(args[1], logic::true_value));
        EXPECT_TRUE(same(args[2], cell::integer(2)));
    });
}

TEST_F(Calls, FindInBlock) {
    const Cell L = datatype::make(type::logic), N = datatype::make(type::none);
    const Cell T = logic::true_value, F = logic::false_value, n = none::value;
    const Cell body1 = block_of({cell::integer(1)}), body2 = block_of({cell::integer(2)});
    const Cell pairs = block_of({L, T, N, F});
    Cell pairs_at_2 = pairs;
    pairs_at_2.data1 = 2;
    const Cell cases_block = block_of({L, N, body1, T, body2});
    struct Case {
        const char* what;
        Cell key, block;
        bool push, block_flag;
        Cell expected;
    } cases[] = {
        {"select a key", N, pairs, false, false, F},
        {"pairs skip the values", T, pairs, false, false, n},
        {"from the block's position", L, pairs_at_2, false, false, n},
        {"one cell at a time", T, pairs, true, false, N},
        {"the last cell is its own result", F, pairs, true, false, F},
        {"a case's body", L, cases_block, true, true, body1},
        {"shared body", N, cases_block, true, true, body1},
        {"next body", T, cases_block, true, true, body2},
        {"a block key is never found", body1, block_of({body1, body1}), true, false, n},
        {"types must match", cell::integer(1), block_of({T, cell::integer(1)}), false, false, n},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        in_frame([&] {
            stack::push(c.key);
            stack::push(c.block);
            Cell* before = stack::top;
            find_in_block(c.push, c.block_flag);
            if (c.push) {
                ASSERT_EQ(stack::top, before + 1);
                EXPECT_TRUE(same(*stack::last_pushed(), c.expected));
            } else {
                EXPECT_EQ(stack::top, before);
                EXPECT_TRUE(same(*stack::arguments, c.expected));
            }
        });
    }
}

TEST_F(Calls, FindInBlockStopsAtTheTail) {
    // A case value with no body after it: the search must not read the stale
    // block! cell that lies in the buffer just past the tail.
    const Cell N = datatype::make(type::none);
    Cell blk = block_of({datatype::make(type::logic), N, logic::true_value}, 8);
    SeriesBuffer* s = memory::buffer(cell::node(blk));
    s->cells()[3] = block_of({});
    in_frame([&] {
        stack::push(N);
        stack::push(blk);
        find_in_block(true, true);
        EXPECT_EQ(cell::type_of(*stack::last_pushed()), type::none);
    });
}

TEST_F(Calls, LiteralRecordsOfTheRootBlock) {
    Node root = memory::alloc_fixed_series(8, 16, 0);
    *memory::alloc_tail(root) = cell::integer(10);
    *memory::alloc_tail(root) = cell::make(type::object, 77, 5, 0);
    set_root_block(root);
    EXPECT_EQ(literal_cell(0), memory::buffer(root)->cells());
    EXPECT_EQ(literal_cell(0)->data2, 10u);
    EXPECT_EQ(literal_node(1), 77u);
    for (i32 n : {2, 7, -1}) EXPECT_EQ(error_of([&] { literal_cell(n); }), ErrorId::internal_limit_hit) << n;
}

// The calls that need the whole runtime: lexer, evaluator, natives, errors.
class CompiledCalls : public Calls {
protected:
    void SetUp() override {
        runtime_init();
        stack::push(unset::value);
        stack::mark_native(stack::word(0));
        stack::push(unset::value);
    }
    void TearDown() override { runtime_shutdown(); }

    static Cell text(const char* t) {
        Cell* s = stack::push();
        string::make_at(*s, 16);
        string::concatenate_literal(*s, t);
        return *s;
    }
    static Cell global_word(const char* name, const Cell& value) {
        const i32 sym = symbol::make(name);
        context::set_global(sym, value);
        return context::make_global_word(sym);
    }
    static Cell field(const char* name) { return stack::word(symbol::make(name)); }
    static Cell block_at(const Cell& blk, i32 i) { return *block::rs_abs_at(blk, i); }
};

TEST_F(CompiledCalls, LoadValue) {
    struct Case {
        const char* src;
        u32 result_type;
        i32 integer;  // for an integer! result
        i32 loaded;   // values in the loaded block; -1: the target is unset!
    } cases[] = {
        {"", type::unset, 0, -1},
        {"  \n ", type::unset, 0, -1},
        {"7 8", type::integer, 7, 2},
        {"-3", type::integer, -3, 1},
        {"[a b] 1", type::block, 0, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.src);
        in_frame([&] {
            stack::push(text(c.src));  // load-value reads its text from the argument base
            const Cell got = load_value(*stack::arguments);
            ASSERT_EQ(cell::type_of(got), c.result_type);
            if (c.result_type == type::integer) {
                EXPECT_EQ(static_cast<i32>(got.data2), c.integer);
            }
            if (c.loaded < 0) {
                EXPECT_EQ(cell::type_of(*stack::arguments), type::unset);
            } else {
                ASSERT_EQ(cell::type_of(*stack::arguments), type::block);
                EXPECT_EQ(series::abs_length_q(*stack::arguments), c.loaded);
            }
        });
    }
    // Into another slot; the text stays where it was.
    in_frame([&] {
        Cell* src = stack::push(text("[1 2] x"));
        Cell* target = stack::push(none::value);
        const Cell got = load_value_in(*src, target);
        ASSERT_EQ(cell::type_of(got), type::block);
        EXPECT_EQ(series::abs_length_q(got), 2);
        EXPECT_EQ(cell::type_of(*src), type::string);
        EXPECT_EQ(cell::type_of(*target), type::block);
    });
    // Syntax errors are raised, not turned into a value.
    in_frame([&] {
        Cell* src = stack::push(text("[1 2"));
        Cell* target = stack::push(none::value);
        EXPECT_EQ(error_of([&] { load_value_in(*src, target); }), ErrorId::syntax_missing);
    });
}

TEST_F(CompiledCalls, EvalPathItemsOnObjectsAndBlocks) {
    // o: object [a: 1 blk: [10 20 30]]   b: [4 5 6]   n: 5
    Cell* obj = stack::push();
    object::make_empty_at(*obj, 4);
    const Node ctx = object::context_of(*obj);
    context::set_or_add(ctx, field("a"), cell::integer(1));
    Cell* inner = stack::push(block_of({cell::integer(10), cell::integer(20), cell::integer(30)}));
    context::set_or_add(ctx, field("blk"), *inner);
    const Cell o = global_word("o", *obj);
    const Cell b = global_word("b", block_of({cell::integer(4), cell::integer(5), cell::integer(6)}));
    const Cell n = global_word("n", cell::integer(5));
    const Cell a = field("a"), blk = field("blk");

    auto path_of = [](std::vector<Cell> items) {
        Node node = memory::alloc_cells(8);
        for (const Cell& c : items) *memory::alloc_tail(node) = c;
        return cell::make(type::path, 0, node, 0);
    };
    auto get = [&](std::vector<Cell> items) {
        Cell out = none::value;
        in_frame([&] {
            const Cell path = *stack::push(path_of(items));
            stack::push(none::value);  // the slot the result goes into
            Cell* last = stack::top - 1;
            eval_path_items(false, path, items);
            EXPECT_EQ(stack::top, last + 1);
            out = *last;
        });
        return out;
    };
    auto set = [&](std::vector<Cell> items, const Cell& value) {
        in_frame([&] {
            const Cell path = path_of(items);
            stack::push(value);  // the new value, at the argument base
            eval_path_items(true, path, items);
            EXPECT_TRUE(same(*(stack::top - 1), value));
        });
    };

    EXPECT_TRUE(same(get({o, a}), cell::integer(1)));
    EXPECT_TRUE(same(get({b, cell::integer(2)}), cell::integer(5)));
    EXPECT_TRUE(same(get({o, blk, cell::integer(3)}), cell::integer(30)));
    EXPECT_TRUE(same(get({n}), cell::integer(5)));  // a lone word is its value

    set({o, a}, cell::integer(42));
    EXPECT_TRUE(same(*object::rs_select(*context::get(o), a), cell::integer(42)));
    set({b, cell::integer(1)}, cell::integer(-1));
    EXPECT_TRUE(same(block_at(*context::get(b), 0), cell::integer(-1)));
    set({o, blk, cell::integer(2)}, cell::integer(99));
    EXPECT_TRUE(same(block_at(*object::rs_select(*context::get(o), blk), 1), cell::integer(99)));
    EXPECT_TRUE(same(get({o, blk, cell::integer(2)}), cell::integer(99)));

    // An integer has no path access.
    in_frame([&] {
        std::vector<Cell> items{n, cell::integer(1)};
        const Cell path = *stack::push(path_of(items));
        EXPECT_EQ(error_of([&] { eval_path_items(false, path, items); }), ErrorId::script_bad_path_type);
    });
}

namespace {
bool seen_check = false;
std::vector<i32> seen_positions;
i32 seen_slots = 0;
u32 recording_native(bool check, const i32* refinements) {
    seen_check = check;
    seen_positions.assign(refinements, refinements + seen_slots);
    return 0;
}
}  // namespace

TEST_F(CompiledCalls, CallWithRefinements) {
    // A native: the position table, check on, unset refinements' arguments none.
    const i32 slot = natives::slot::browse;
    const native::Entry saved = native::table[slot - 1];
    native::table[slot - 1] = recording_native;
    in_frame([&] {
        for (i32 i = 0; i < 7; i++) stack::push(cell::integer(i));
        seen_slots = 4;
        const RefinementGroup groups[] = {
            {logic::true_value, 1, 2, 1},
            {none::value, 2, 3, 2},
            {cell::integer(0), 4, 5, 0},  // set: anything but none and false
        };
        EXPECT_EQ(call_with_refinements(slot, true, 4, groups), 0u);
        EXPECT_TRUE(seen_check);
        EXPECT_EQ(seen_positions, (std::vector<i32>{2, -1, -1, 5}));
        EXPECT_TRUE(same(stack::arguments[2], cell::integer(2)));
        EXPECT_EQ(cell::type_of(stack::arguments[3]), type::none);
        EXPECT_EQ(cell::type_of(stack::arguments[4]), type::none);
        EXPECT_TRUE(same(stack::arguments[5], cell::integer(5)));

        const RefinementGroup outside[] = {{logic::true_value, 5, 2, 1}};
        const RefinementGroup past_the_stack[] = {{none::value, 1, 1 << 30, 2}};
        using Groups = std::span<const RefinementGroup>;
        for (Groups groups : {Groups(outside), Groups(past_the_stack)})
            EXPECT_EQ(error_of([&] { call_with_refinements(slot, true, 4, groups); }), ErrorId::internal_limit_hit);
        EXPECT_EQ(error_of([&] { call_with_refinements(120, true, 0, {}); }), ErrorId::internal_not_done);
    });
    native::table[slot - 1] = saved;

    // An action: copy value /part range /deep /types kind.
    const Cell source = block_of({cell::integer(1), cell::integer(2), cell::integer(3)});
    for (const Cell& part : {logic::true_value, logic::false_value}) {
        in_frame([&] {
            stack::push(source);
            stack::push(part);
            stack::push(cell::integer(2));
            stack::push(logic::false_value);
            stack::push(logic::false_value);
            stack::push(none::value);
            const RefinementGroup groups[] = {
                {part, 1, 2, 1},
                {logic::false_value, 2, 3, 0},
                {logic::false_value, 3, 5, 1},
            };
            EXPECT_EQ(call_with_refinements(static_cast<i32>(action::copy), false, 3, groups), 0u);
            const Cell copied = *stack::arguments;
            ASSERT_EQ(cell::type_of(copied), type::block);
            EXPECT_NE(cell::node(copied), cell::node(source));
            EXPECT_EQ(series::abs_length_q(copied), logic::truth(part) ? 2 : 3);
            if (!logic::truth(part)) {
                EXPECT_EQ(cell::type_of(stack::arguments[2]), type::none);
            }
        });
    }
    EXPECT_EQ(error_of([] { call_with_refinements(static_cast<i32>(action::set_path), false, 0, {}); }),
              ErrorId::internal_not_done);
}

namespace {
std::string printed;
void capture(const Cell* value, bool new_line) {
    SeriesBuffer* s = memory::buffer(cell::node(*value));
    for (i32 i = cell::head_index(*value); i < static_cast<i32>(s->length()); i++)
        printed += static_cast<char>(string::rs_abs_at(*value, i));
    if (new_line) printed += '\n';
}
}  // namespace

TEST_F(CompiledCalls, ReportErrorPrintsAndLeavesUnset) {
    printed.clear();
    dyn_print::add(capture, nullptr);
    in_frame([&] {
        Cell* before = stack::top;
        CallFrame* frames = stack::frame_top;
        const Cell arg = field("missing");
        EXPECT_NO_THROW(report_error(field("script"), field("no-value"), &arg, nullptr, nullptr));
        EXPECT_EQ(stack::frame_top, frames);
        ASSERT_EQ(stack::top, before + 1);
        EXPECT_EQ(cell::type_of(*before), type::unset);
    });
    dyn_print::remove(capture, nullptr);
    EXPECT_NE(printed.find("missing has no value"), std::string::npos) << printed;
    EXPECT_EQ(printed.back(), '\n');
}

TEST_F(CompiledCalls, ExpectArgNamesTheSpecArgument) {
    // Inside a call of the copy action, argument 1 is named `value`.
    Cell* spec = stack::push(text("[value /part range /deep /types kind] 30"));
    load_value(*spec);  // the loaded block replaces the text at the argument base
    Cell* made = native::make(nullptr, stack::arguments, type::action);
    const Cell copy_word = global_word("copy", *made);
    Cell logic_only = of({type::logic});
    Cell number = cell::integer(1);
    // The check runs right inside the call's frame, with a try frame below.
    Cell* saved = stack::top;
    CallFrame* frames = stack::frame_top;
    stack::mark_try(stack::word(0));
    stack::mark_native(copy_word);
    EXPECT_THROW(check_arg_type(logic_only, 1, &number), SystemThrow);
    EXPECT_EQ(stack::frame_top, frames);
    stack::top = saved;
    EXPECT_EQ(pending_error.id, ErrorId::script_expect_arg);
    EXPECT_EQ(pending_error.args[0].data2, copy_word.data2);  // the call is named
    EXPECT_EQ(cell::type_of(pending_error.args[2]), type::word);
    EXPECT_EQ(std::string(symbol::get_c_string(static_cast<i32>(pending_error.args[2].data2))), "value");
}

}  // namespace
