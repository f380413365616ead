// triple!: no script can make one, so its text form is checked here, with
// the /part budget its handlers hand back.
#include "runtime/datatypes/triple.h"
#include "runtime/registry.h"

#include "support.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace oru;

namespace {

class Triple : public test::BaseWithBuffer {
protected:
    void SetUp() override {
        BaseWithBuffer::SetUp();
        triple::init();
    }
};

TEST_F(Triple, FormAndMoldWriteTheMakeSpec) {
    const struct {
        Cell value;
        const char* text;
    } cases[] = {
        {triple::make(1, -2, 3), "make triple! [1 -2 3]"},
        {triple::make(INT32_MIN, 0, INT32_MAX), "make triple! [-2147483648 0 2147483647]"},
    };
    for (const auto& c : cases) {
        for (u32 slot : {action::form, action::mold}) {
            clear_buffer();
            Cell v = c.value;
            const i32 left = slot == action::form
                                 ? registry::handler<action_fn::Form>(type::triple, slot)(&v, buffer, nullptr, 100)
                                 : registry::handler<action_fn::Mold>(type::triple, slot)(&v, buffer, false, false,
                                                                                          false, nullptr, 100, 0);
            EXPECT_EQ(text(), c.text);
            EXPECT_EQ(left, 100 - static_cast<i32>(std::strlen(c.text)));
        }
    }
}

}  // namespace
