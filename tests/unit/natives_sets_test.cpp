// The encoding natives' plumbing to the base codecs that binary! will
// install (stand-ins here): what enbase hands an encoder (a string's UTF-8
// bytes, a binary from its position), the room it makes, debase's none for
// text a decoder refuses; and the sizes that are too long: enbase's room
// past the largest buffer, the merge sort's buffer past 32 bits.
#include "boot/boot.h"
#include "interpreter/evaluator.h"
#include "interpreter/natives_sets.h"
#include "interpreter/stack.h"
#include "runtime/datatypes/none.h"
#include "runtime/memory.h"
#include "runtime/runtime.h"
#include "runtime/sort.h"
#include "runtime/system.h"
#include "support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using namespace oru;

namespace {

// A stand-in base-16 codec: upper-case digits; a decoder that accepts only
// an even count of digits.
u8* encode_hex(const u8* bytes, u8* out, i32 n) {
    static const char* digits = "0123456789ABCDEF";
    for (i32 i = 0; i < n; i++) {
        *out++ = static_cast<u8>(digits[bytes[i] >> 4]);
        *out++ = static_cast<u8>(digits[bytes[i] & 15]);
    }
    return out;
}

Node decode_hex(const u8* text, i32 count, u32 unit) {
    if (count % 2 || unit != 1) return 0;
    const Node n = memory::alloc_bytes(count / 2 + 1);
    SeriesBuffer* b = memory::buffer(n);
    auto value = [](u8 c) { return c <= '9' ? c - '0' : c - 'A' + 10; };
    for (i32 i = 0; i < count; i += 2) b->data()[b->head + i / 2] = static_cast<u8>(value(text[i]) << 4 | value(text[i + 1]));
    b->tail = b->head + static_cast<u32>(count / 2);
    return n;
}

class EncodingNatives : public ::testing::Test {
public:
    void SetUp() override {
        runtime_init();
        interpreter::init();
        boot::define_base();
        natives::set_service.encode[natives::base_slot(16)] = encode_hex;
        natives::set_service.decode[natives::base_slot(16)] = decode_hex;
        base = stack::top;
    }
    void TearDown() override {
        natives::set_service = {};
        runtime_shutdown();
    }
    // The result of a line, or the error's id as an integer!.
    Cell run(const char* text) {
        stack::top = stack::arguments = base;
        CallFrame* frames = stack::frame_top;
        Cell r{};
        const auto error = test::error_of([&] {
            EXPECT_EQ(test::evaluate(text), 0u);
            r = *stack::arguments;
        });
        stack::frame_top = frames;
        stack::top = stack::arguments = base;
        if (error) return cell::integer(static_cast<i32>(*error));
        return r;
    }
    Cell* base = nullptr;
};

TEST_F(EncodingNatives, EnbaseAndDebaseThroughTheCodecs) {
    const Cell text = run(R"(enbase/base "é" 16)");
    ASSERT_EQ(cell::type_of(text), type::string);
    EXPECT_EQ(test::ascii(text), "C3A9") << "the UTF-8 bytes, not the code point";
    const Cell bytes = run(R"(enbase/base #{0102FF} 16)");
    ASSERT_EQ(cell::type_of(bytes), type::string);
    EXPECT_EQ(test::ascii(bytes), "0102FF");
    EXPECT_EQ(test::ascii(run(R"(enbase/base "" 16)")), "");
    const Cell decoded = run(R"(debase/base "C3A9" 16)");
    ASSERT_EQ(cell::type_of(decoded), type::binary);
    SeriesBuffer* b = memory::buffer(cell::node(decoded));
    ASSERT_EQ(b->length(), 2u);
    EXPECT_EQ(b->head_ptr()[0], 0xC3);
    EXPECT_EQ(cell::head_index(decoded), 0);
    EXPECT_EQ(cell::type_of(run(R"(debase/base "C3A" 16)")), type::none) << "refused text gives none";
    EXPECT_EQ(cell::type_of(run(R"(debase "QQ==")")), type::binary) << "base 64 through binary!'s codec";
}

TEST_F(EncodingNatives, RoomsAndTooLong) {
    struct Case {
        i64 n;
        i32 base;
        i64 room;
    } cases[] = {
        {0, 64, 5},  {1, 64, 6},  {3, 64, 9},     {32, 64, 49}, {0, 58, 0},        {5, 58, 10},
        {1, 16, 34}, {64, 16, 162}, {1, 2, 12},   {16, 2, 136}, {100, 10, -1},
    };
    for (const Case& c : cases) EXPECT_EQ(natives::encoded_room(c.n, c.base), c.room) << c.n << " base " << c.base;
    const auto id = test::error_of([] { natives::encoded_room(i64{0x7FFFFFFF}, 2); });
    ASSERT_TRUE(id);
    EXPECT_EQ(*id, ErrorId::script_too_long);
    // The merge buffer of n / 2 cells past 32 bits: refused before any
    // allocation or any read of the records.
    u8 record[16] = {};
    const auto merge = test::error_of([&] {
        sort::merge(record, 0x7FFFFFFF, 16, nullptr, nullptr, [](const void*, const void*, const void*, const void*) {
            return 0;
        });
    });
    ASSERT_TRUE(merge);
    EXPECT_EQ(*merge, ErrorId::script_too_long);
}

}  // namespace
