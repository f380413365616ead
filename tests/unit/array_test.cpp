// Arrays on series buffers: element access, search, insertion and removal,
// and growth that moves the buffer under an unchanged node.
#include "runtime/array.h"
#include "runtime/memory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using namespace oru;

namespace {

class Array : public ::testing::Test {
protected:
    void SetUp() override { memory::init(); }
    void TearDown() override { memory::release_all(); }
};

std::vector<i32> ints(Node a) {
    std::vector<i32> out;
    for (i32 i = 1; i <= array::length_q(a); ++i) out.push_back(array::pick_int(a, i));
    return out;
}

void* ptr(uintptr_t v) { return reinterpret_cast<void*>(v); }

}  // namespace

TEST_F(Array, IntegersFindInsertRemove) {
    Node a = array::make(2, array::int_unit);
    EXPECT_EQ(memory::buffer(a)->unit(), 4u);
    EXPECT_EQ(array::length_q(a), 0);
    EXPECT_EQ(array::find_int(a, 0), -1);

    for (i32 v : {10, -20, 30}) array::append_int(a, v);
    EXPECT_EQ(ints(a), (std::vector<i32>{10, -20, 30}));
    EXPECT_EQ(array::find_int(a, -20), 4) << "byte offsets";
    EXPECT_EQ(array::find_int(a, 30), 8);
    EXPECT_EQ(array::find_int(a, 99), -1);

    array::insert_int(a, 5, 0);
    array::insert_int(a, 25, 3);
    array::insert_int(a, 35, 5);  // at the length: appends
    EXPECT_EQ(ints(a), (std::vector<i32>{5, 10, -20, 25, 30, 35}));

    array::remove_at(a, 4, 8);  // 10 and -20
    EXPECT_EQ(ints(a), (std::vector<i32>{5, 25, 30, 35}));
    array::remove_at(a, 12, 100);  // clamped to the used part
    EXPECT_EQ(ints(a), (std::vector<i32>{5, 25, 30}));
    array::remove_at(a, 12, 4);  // past the end: nothing
    EXPECT_EQ(ints(a), (std::vector<i32>{5, 25, 30}));

    Node b = array::copy(a);
    array::clear(a);
    EXPECT_EQ(array::length_q(a), 0);
    EXPECT_EQ(ints(b), (std::vector<i32>{5, 25, 30}));
    array::append_int(a, 1);
    EXPECT_EQ(ints(b), (std::vector<i32>{5, 25, 30})) << "the copy is independent";
}

TEST_F(Array, PointersAreFullWidth) {
    Node a = array::make(1, array::ptr_unit);
    EXPECT_EQ(memory::buffer(a)->unit(), 8u);
    // Values that differ only above bit 31 must stay apart.
    void* low = ptr(0x1234);
    void* high = ptr(0x7FFF00001234);
    array::append_ptr(a, low);
    array::append_ptr(a, high);
    EXPECT_EQ(array::length_q(a), 2);
    EXPECT_EQ(array::pick_ptr(a, 2), high);
    EXPECT_EQ(array::find_ptr(a, high), 8);
    array::poke_ptr(a, 1, ptr(0xABCDEF0123));
    EXPECT_EQ(array::pick_ptr(a, 1), ptr(0xABCDEF0123));
    EXPECT_EQ(array::find_ptr(a, low), -1);

    array::remove_ptr(a, ptr(0x999));  // absent: unchanged
    EXPECT_EQ(array::length_q(a), 2);
    array::remove_ptr(a, ptr(0xABCDEF0123));
    EXPECT_EQ(array::length_q(a), 1);
    EXPECT_EQ(array::pick_ptr(a, 1), high);
    array::remove_ptr(a, high);  // the only element
    EXPECT_EQ(array::length_q(a), 0);
    EXPECT_EQ(array::find_ptr(a, high), -1);
}

TEST_F(Array, RemovePtrTakesTheFirstOfEqualElements) {
    Node a = array::make(0, array::ptr_unit);
    for (uintptr_t v : {1, 2, 1, 3}) array::append_ptr(a, ptr(v));
    array::remove_ptr(a, ptr(1));
    ASSERT_EQ(array::length_q(a), 3);
    EXPECT_EQ(array::pick_ptr(a, 1), ptr(2));
    EXPECT_EQ(array::pick_ptr(a, 2), ptr(1));
    EXPECT_EQ(array::pick_ptr(a, 3), ptr(3));
}

TEST_F(Array, GrowthMovesTheBufferAndKeepsTheContents) {
    struct Case {
        u32 unit;
        i32 initial;
    } cases[] = {{array::int_unit, 0}, {array::int_unit, 3}, {array::ptr_unit, 0}, {array::byte_unit, 1}};
    for (const Case& c : cases) {
        Node a = array::make(c.initial, c.unit);
        int moves = 0;
        u8* last = array::data(a);
        for (i32 i = 0; i < 3000; ++i) {
            if (c.unit == array::int_unit) {
                if (i % 3 == 0)
                    array::insert_int(a, i, 0);
                else
                    array::append_int(a, i);
            } else if (c.unit == array::ptr_unit) {
                array::append_ptr(a, ptr(0x100000000u + static_cast<uintptr_t>(i)));
            } else {
                array::append_byte(a, static_cast<u8>(i));
            }
            if (array::data(a) != last) ++moves, last = array::data(a);
        }
        EXPECT_GE(moves, 3) << "unit " << c.unit;
        EXPECT_EQ(memory::buffer(a)->node, a);
        ASSERT_EQ(array::length_q(a), 3000);
        if (c.unit == array::int_unit) {
            // Inserted at the front: 2997, ..., 3, 0; then the appended ones in order.
            std::vector<i32> expected;
            for (i32 i = 2997; i >= 0; i -= 3) expected.push_back(i);
            for (i32 i = 0; i < 3000; ++i)
                if (i % 3) expected.push_back(i);
            EXPECT_EQ(ints(a), expected);
        } else {
            for (i32 i = 0; i < 3000; ++i) {
                if (c.unit == array::ptr_unit)
                    ASSERT_EQ(array::pick_ptr(a, i + 1), ptr(0x100000000u + static_cast<uintptr_t>(i))) << i;
                else
                    ASSERT_EQ(array::pick_byte(a, i + 1), static_cast<u8>(i)) << i;
            }
        }
    }
}

TEST_F(Array, GrowthFollowsTheTailAllocation) {
    // A full array doubles; a request larger than the whole buffer grows it
    // to twice the request.
    Node ints = array::make(4, array::int_unit);
    i32 sizes[] = {16, 16, 16, 16, 32, 32, 32, 32, 64};
    for (i32 i = 0; i < 9; ++i) {
        array::append_int(ints, i);
        EXPECT_EQ(memory::buffer(ints)->size, sizes[i]) << "after " << i + 1 << " appends";
    }

    Node bytes = array::make(16, array::byte_unit);
    u8 block[64] = {};
    struct {
        i32 count, size;
    } steps[] = {{16, 16}, {40, 80}, {30, 160}, {1, 160}};
    for (auto& s : steps) {
        array::append_bytes(bytes, block, s.count);
        EXPECT_EQ(memory::buffer(bytes)->size, s.size) << "appending " << s.count;
    }
    EXPECT_EQ(array::length_q(bytes), 87);
}

TEST_F(Array, AppendBytesReturnsTheCopyEvenFromItself) {
    Node a = array::make(16, array::byte_unit);
    const char* text = "0123456789abcdef";
    u8* at = array::append_bytes(a, text, 16);
    EXPECT_EQ(at, array::data(a));
    EXPECT_EQ(std::memcmp(at, text, 16), 0);
    EXPECT_EQ(memory::buffer(a)->size, 16) << "full, so the next append grows";

    // The source is the array's own data, which moves as the append grows it.
    at = array::append_bytes(a, array::data(a) + 4, 8);
    EXPECT_EQ(at, array::data(a) + 16);
    EXPECT_EQ(std::memcmp(at, "456789ab", 8), 0);
    EXPECT_EQ(array::length_q(a), 24);
    EXPECT_EQ(array::pick_byte(a, 24), 'b');
    EXPECT_EQ(array::append_bytes(a, text, 0), array::data(a) + 24);
    EXPECT_EQ(array::length_q(a), 24);
}
