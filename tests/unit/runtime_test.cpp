// Runtime start-up and shutdown: the state each step leaves behind, in the
// order later steps rely on, and a clean second start.
#include "interpreter/actions.h"
#include "interpreter/stack.h"
#include "runtime/calls.h"
#include "runtime/collector.h"
#include "runtime/cycles.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/registry.h"
#include "runtime/runtime.h"
#include "runtime/system.h"
#include "runtime/words.h"

#include <gtest/gtest.h>

using namespace oru;

TEST(Runtime, StartUpLeavesEachStepsState) {
    runtime_init();
    EXPECT_TRUE(root_allocation);
    EXPECT_FALSE(collector::enable(false)) << "collection stays disabled during start-up";

    // Datatype modules registered in their order, then the dispatch table.
    const u32 registered[] = {type::datatype, type::unset, type::none, type::logic, type::symbol, type::typeset};
    // More modules join step 8 as they land; these are there from the start.
    for (u32 t : registered) EXPECT_NE(registry::datatypes[t].name, nullptr) << t;
    u32 highest = 0;
    for (u32 t = 0; t < registry::table_types; t++)
        if (registry::datatypes[t].name) highest = t;
    EXPECT_EQ(registry::highest_type, highest);
    EXPECT_EQ(registry::datatypes[55].name, nullptr);
    EXPECT_NE(actions::table[action::form - 1], nullptr);

    // The first frames, the fixed blocks, and the stacks on them.
    ASSERT_NE(memory::record.n_head, nullptr);
    EXPECT_EQ(memory::record.n_head->capacity, startup::first_node_frame);
    EXPECT_NE(memory::record.s_active, nullptr);
    SeriesBuffer* root = memory::buffer(root_block());
    EXPECT_EQ(root->size, startup::root_cells * 16);
    EXPECT_TRUE(root->flags & sflag::fixed);
    ASSERT_TRUE(stack::ready());
    EXPECT_EQ(stack::end - stack::bottom, stack::data_cells);
    EXPECT_EQ(static_cast<u32>(stack::frame_end - stack::frame_bottom), stack::frame_capacity);
    EXPECT_EQ(stack::top, stack::bottom);
    EXPECT_EQ(stack::arguments, stack::bottom);
    EXPECT_EQ(stack::depth(), 0u);

    // Names exist once symbols do: datatype words (14), predefined words (15),
    // and the anonymous frame names the stacks cache (17).
    for (u32 t : registered) EXPECT_EQ(registry::datatypes[t].word, static_cast<u32>(symbol::find(registry::datatypes[t].name)));
    EXPECT_NE(stack::body_symbol, 0);
    EXPECT_EQ(words::word::tag_body.data2, static_cast<u32>(stack::body_symbol));
    EXPECT_EQ(words::word::tag_anon.data2, static_cast<u32>(stack::anon_symbol));
    EXPECT_EQ(words::word::tag_not_found.data2, static_cast<u32>(stack::not_found_symbol));

    runtime_shutdown();
    EXPECT_FALSE(stack::ready());
    EXPECT_EQ(heap::count(), 0u);
}

TEST(Runtime, StartsAgainAfterShutdown) {
    runtime_init();
    const u32 highest = registry::highest_type;
    stack::mark_native(stack::word(1));
    stack::push_value(cell::integer(1));
    registry::add(55, 0, "leftover!", ActionTable{});
    cycles::push(1234);  // a node of the memory about to go
    runtime_shutdown();

    runtime_init();
    EXPECT_EQ(stack::depth(), 0u);
    EXPECT_EQ(stack::top, stack::bottom);
    EXPECT_EQ(registry::datatypes[55].name, nullptr);
    EXPECT_EQ(registry::highest_type, highest);
    EXPECT_EQ(cycles::depth(), 0);
    runtime_shutdown();
}

// A type registered after start-up (event! by the boot program) raises the
// highest registered type and gets its word at once; make_words covers it.
TEST(Runtime, LateRegistrationGetsItsWord) {
    struct Session {
        Session() { runtime_init(); }
        ~Session() { runtime_shutdown(); }  // also when an assertion returns early
    } session;
    ASSERT_EQ(symbol::find("late!"), 0);
    registry::add(55, type::none, "late!", ActionTable{.form = inherit});
    EXPECT_EQ(registry::highest_type, 55u);
    const i32 sym = symbol::find("late!");
    ASSERT_NE(sym, 0);
    EXPECT_EQ(registry::datatypes[55].word, static_cast<u32>(sym));
    EXPECT_EQ(registry::entry(55, action::form), registry::entry(type::none, action::form));
    registry::datatypes[55].word = 0;
    datatype::make_words();
    EXPECT_EQ(registry::datatypes[55].word, static_cast<u32>(sym));
}

TEST(Runtime, FireBeforeTheStacksExistThrowsStraight) {
    ASSERT_FALSE(stack::ready());
    pending_error = {};
    EXPECT_THROW(fire(ErrorId::internal_no_memory), SystemThrow);
    EXPECT_EQ(pending_error.id, ErrorId::internal_no_memory);
}
