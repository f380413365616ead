// Datatype registry: inheritance per slot and the action-count check.
#include "runtime/registry.h"
#include "runtime/console.h"

#include <gtest/gtest.h>

#include <string>

using namespace oru;

namespace {

i32 parent_form(Cell*, Cell*, Cell*, i32 limit) { return limit - 1; }
i32 child_form(Cell*, Cell*, Cell*, i32 limit) { return limit - 2; }
i32 parent_compare(Cell*, Cell*, i32) { return 0; }
i32 parent_length(Cell*) { return 7; }

constexpr u32 parent_type = 55;  // free slots of the table, used only here
constexpr u32 child_type = 56;

}  // namespace

TEST(Registry, ChildrenInheritPerSlot) {
    // With no parent, inherit means unsupported (never the raw marker).
    registry::add(parent_type, 0, "parent!",
                  ActionTable{.form = parent_form, .compare = parent_compare, .copy = inherit,
                              .length_q = parent_length});
    EXPECT_EQ(registry::entry(parent_type, action::copy), nullptr);
    registry::add(child_type, parent_type, "child!",
                  ActionTable{.form = child_form, .compare = inherit, .copy = inherit, .length_q = {}});
    EXPECT_EQ(registry::handler<action_fn::Form>(child_type, action::form), &child_form);
    EXPECT_EQ(registry::handler<action_fn::Compare>(child_type, action::compare), &parent_compare);
    // Inheriting an unsupported entry keeps it unsupported; an absent one is not inherited.
    EXPECT_EQ(registry::entry(child_type, action::copy), nullptr);
    EXPECT_EQ(registry::entry(child_type, action::length_q), nullptr);
    EXPECT_EQ(registry::handler<action_fn::Length>(parent_type, action::length_q), &parent_length);
    EXPECT_STREQ(registry::datatypes[child_type].name, "child!");
    EXPECT_EQ(registry::datatypes[child_type].name_length, 5u);
    EXPECT_GE(registry::highest_type, child_type);
}

// The report goes to standard output; here to standard error, where the
// death test reads it.
TEST(RegistryDeathTest, WrongActionCountStopsWithFailure) {
    ActionEntry entries[63] = {};
    for (int count : {61, 63}) {
        const std::string expected = "\\*\\*\\* Datatype Error: invalid actions count for type: 55\n"
                                     "\\*\\*\\* Found: " + std::to_string(count) + "\n"
                                     "\\*\\*\\* Expected: 62\n";
        EXPECT_EXIT(
            {
                console::set_output_fd(2);
                registry::register_datatype(parent_type, 0, "parent!", entries, count);
            },
            ::testing::ExitedWithCode(1), expected);
    }
}
