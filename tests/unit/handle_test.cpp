// handle!: scripts only reach the null handle, so the text of other classes
// and values, the /part budget and the comparison rules are checked here.
#include "interpreter/actions.h"
#include "runtime/datatypes/handle.h"
#include "runtime/datatypes/integer.h"
#include "runtime/registry.h"

#include "support.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace oru;

namespace {

class Handle : public test::BaseWithBuffer {
protected:
    void SetUp() override {
        BaseWithBuffer::SetUp();
        integer::init();
        handle::init();
    }
    i32 write(Cell v, bool mold, bool all) {
        clear_buffer();
        return mold ? registry::handler<action_fn::Mold>(type::handle, action::mold)(&v, buffer, false, all, false,
                                                                                      nullptr, 100, 0)
                    : registry::handler<action_fn::Form>(type::handle, action::form)(&v, buffer, nullptr, 100);
    }
    i32 compare(Cell a, Cell b, i32 op) {
        return registry::handler<action_fn::Compare>(type::handle, action::compare)(&a, &b, op);
    }
};

TEST_F(Handle, FormAndMoldShowValueAndClass) {
    const struct {
        Cell value;
        bool mold, all;
        const char* text;
    } cases[] = {
        {handle::make(255, handle::klass::window), false, false, "000000FFh"},
        {handle::make(255, handle::klass::window), true, false, "handle!"},
        {handle::make(255, handle::klass::window), true, true, "#[handle! 000000FFh window]"},
        {handle::make(0xDEADBEEF, handle::klass::rich_text), true, true, "#[handle! DEADBEEFh rich-text]"},
        {handle::make(7, handle::klass::fd), true, true, "#[handle! 00000007h fd]"},
        {handle::boot_make(), true, true, "#[handle! 00000000h]"},
        {handle::make(1, 99), true, true, "#[handle! 00000001h]"},  // a class beyond the table has no name
    };
    for (const auto& c : cases) {
        const i32 left = write(c.value, c.mold, c.all);
        EXPECT_EQ(text(), c.text);
        EXPECT_EQ(left, 100 - static_cast<i32>(std::strlen(c.text))) << c.text;
    }
    EXPECT_EQ(static_cast<i32>(handle::boot_make().data3), -1);  // no resource slot
}

TEST_F(Handle, EqualityNeedsValueAndClassAndOtherTypesHaveNoOrder) {
    namespace op = actions::op;
    const Cell w5 = handle::make(5, handle::klass::window), f5 = handle::make(5, handle::klass::font);
    const Cell w9 = handle::make(9, handle::klass::window), neg = handle::make(0xFFFFFFFF, handle::klass::window);
    EXPECT_EQ(compare(w5, w5, op::equal), 0);
    EXPECT_EQ(compare(w5, f5, op::equal), 1);
    EXPECT_EQ(compare(w5, f5, op::strict_equal), 1);
    EXPECT_EQ(compare(w5, w9, op::lesser), -1);
    EXPECT_EQ(compare(neg, w5, op::lesser), -1);  // values compare as signed
    EXPECT_EQ(compare(f5, w5, op::sort), 1);      // equal values: the class orders
    const Cell five = cell::integer(5);
    for (i32 o : {op::equal, op::not_equal, op::strict_equal, op::same}) EXPECT_EQ(compare(w5, five, o), 1) << o;
    for (i32 o : {op::lesser, op::greater, op::greater_equal, op::sort}) EXPECT_EQ(compare(w5, five, o), -2) << o;
}

}  // namespace
