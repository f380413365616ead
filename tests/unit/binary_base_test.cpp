// The base 2/16/58/64 codecs: decoding tables of valid and invalid texts per
// base (nothing dropped silently), the encoders' known outputs, round trips
// in every base and unit within the room enbase makes, and the value-level
// encode and decode.
#include "interpreter/stack.h"
#include "runtime/datatypes/binary.h"
#include "runtime/datatypes/binary_base.h"
#include "runtime/datatypes/string.h"
#include "runtime/memory.h"
#include "runtime/random.h"
#include "runtime/runtime.h"

#include "support.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

using namespace oru;

namespace {

using Bytes = std::vector<u8>;

class BinaryBase : public ::testing::Test {
protected:
    void SetUp() override { runtime_init(); }
    void TearDown() override { runtime_shutdown(); }

    // Decodes the code points at `unit` bytes each; nullopt for invalid text.
    static std::optional<Bytes> decode(i32 base, const std::u32string& text, u32 unit = 1) {
        std::vector<u8> chars(text.size() * unit);
        for (size_t i = 0; i < text.size(); i++) string::put_char(chars.data() + i * unit, unit, text[i]);
        using Decoder = Node (*)(const u8*, i32, u32);
        const Decoder d = base == 2 ? binary::decode_2 : base == 16 ? binary::decode_16
                        : base == 58 ? binary::decode_58 : binary::decode_64;
        const Node n = d(chars.data(), static_cast<i32>(text.size()), unit);
        if (!n) return std::nullopt;
        SeriesBuffer* s = memory::buffer(n);
        return Bytes(s->head_ptr(), s->tail_ptr());
    }

    // The text of the bytes, written into exactly the room enbase makes.
    static std::string encode(i32 base, const Bytes& bytes) {
        const i64 room = binary::encoded_room(static_cast<i64>(bytes.size()), base);
        std::vector<u8> out(static_cast<size_t>(room));
        using Encoder = u8* (*)(const u8*, u8*, i32);
        const Encoder e = base == 2 ? binary::encode_2 : base == 16 ? binary::encode_16
                        : base == 58 ? binary::encode_58 : binary::encode_64;
        const u8* end = e(bytes.data(), out.data(), static_cast<i32>(bytes.size()));
        EXPECT_LE(end - out.data(), room);
        return std::string(reinterpret_cast<const char*>(out.data()), static_cast<size_t>(end - out.data()));
    }
};

struct DecodeCase {
    i32 base;
    std::u32string text;
    std::optional<Bytes> bytes;  // nullopt: invalid
};

TEST_F(BinaryBase, DecodesValidTextsAndRejectsTheRest) {
    const std::optional<Bytes> invalid;
    const DecodeCase cases[] = {
        // base 2: whole bytes only; white space and comments anywhere
        {2, U"", Bytes{}},
        {2, U"00000001 ; one\n", Bytes{0x01}},
        {2, U"0000 0001\t11111111", Bytes{0x01, 0xFF}},
        {2, U"0000000", invalid},               // seven digits
        {2, U"00000002", invalid},
        {2, U"0000000\u00B9", invalid},         // a character above 127
        // base 16: pairs of digits, either case
        {16, U"", Bytes{}},
        {16, U"0A 0b", Bytes{0x0A, 0x0B}},
        {16, U"01;02 is a comment\n03", Bytes{0x01, 0x03}},
        {16, U"ABC", invalid},                  // an odd digit is no byte
        {16, U"0G", invalid},
        {16, U"\u00C1B", invalid},              // not read as its low 7 bits
        {16, U"'0A", invalid},                  // the apostrophe is skipped only in bases 58 and 64
        // base 58: "1" digits are leading zero bytes
        {58, U"112", Bytes{0, 0, 1}},
        {58, U"11", Bytes{0, 0}},
        {58, U"", Bytes{}},
        {58, U"5R", Bytes{0x01, 0x00}},
        {58, U"1 1'2\n", Bytes{0, 0, 1}},
        {58, U"10", invalid},
        {58, U"2\u00E9", invalid},              // no longer the end of the text
        // base 64
        {64, U"YWJj", Bytes{'a', 'b', 'c'}},
        {64, U"YWI=", Bytes{'a', 'b'}},
        {64, U"YQ==", Bytes{'a'}},
        {64, U"Y W\tJ\nj'", Bytes{'a', 'b', 'c'}},
        {64, U"YQ", Bytes{'a'}},                // unpadded digits decode
        {64, U"YWI", Bytes{'a', 'b'}},
        {64, U"YQ= ;done\n=", Bytes{'a'}},
        {64, U"YQ=", Bytes{'a'}},
        {64, U"Y", invalid},                    // one digit is no byte
        {64, U"Y===", invalid},
        {64, U"====", invalid},
        {64, U"YQ==YQ==", invalid},             // text after the padding
        {64, U"YWI==", invalid},
        {64, U"YWJj\u00E9", invalid},
        {64, U"YW-j", invalid},
    };
    for (const DecodeCase& c : cases) {
        const std::optional<Bytes> got = decode(c.base, c.text);
        EXPECT_EQ(got, c.bytes) << "base " << c.base << " text " << test::utf8(c.text);
    }
}

TEST_F(BinaryBase, EncodesKnownTexts) {
    EXPECT_EQ(encode(58, {0, 0, 1}), "112");
    EXPECT_EQ(encode(58, {0, 0}), "11");
    EXPECT_EQ(encode(58, {}), "");
    EXPECT_EQ(encode(58, {1, 0}), "5R");  // 256 = 4 x 58 + 24
    EXPECT_EQ(encode(64, {'a', 'b', 'c'}), "YWJj");
    EXPECT_EQ(encode(64, {'a', 'b'}), "YWI=");
    EXPECT_EQ(encode(64, {'a'}), "YQ==");
    EXPECT_EQ(encode(16, {0x0A, 0xFF}), "0AFF");
    EXPECT_EQ(encode(2, {0x81}), "10000001");
}

// Random bytes of every length up to 70 (and a few long runs, leading zeros
// included) come back from their text in every base, read as 1-, 2- and
// 4-byte text.
TEST_F(BinaryBase, RoundTripsInEveryBaseAndUnit) {
    random::seed(22);
    std::vector<Bytes> inputs;
    for (size_t n = 0; n <= 70; n++) {
        Bytes b(n);
        for (u8& x : b) x = static_cast<u8>(random::rand());
        if (n % 7 == 3) std::fill(b.begin(), b.begin() + static_cast<long>(n / 3), u8{0});
        inputs.push_back(b);
    }
    inputs.push_back(Bytes(1000, 0xFF));
    inputs.push_back(Bytes(513, 0));
    for (i32 base : {2, 16, 58, 64}) {
        for (const Bytes& b : inputs) {
            const std::string text = encode(base, b);
            const std::u32string chars(text.begin(), text.end());
            for (u32 unit : {1u, 2u, 4u})
                EXPECT_EQ(decode(base, chars, unit), b) << "base " << base << " length " << b.size();
        }
    }
}

TEST_F(BinaryBase, EncodesAndDecodesValues) {
    test::in_frame([] {
        Cell* str = stack::push();
        string::make_at(*str, 4);
        string::append_char(cell::node(*str), 0xE9);  // é: encoded as its two UTF-8 bytes
        const Cell* text = binary::encode(64, *str);
        EXPECT_EQ(test::ascii(*text), "w6k=");
        const Cell* bytes = binary::decode(64, *text);
        ASSERT_EQ(cell::type_of(*bytes), type::binary);
        EXPECT_EQ(Bytes(binary::rs_head(*bytes), binary::rs_tail(*bytes)), (Bytes{0xC3, 0xA9}));

        // Both read from the value's position.
        Cell second = *bytes;
        second.data1 = 1;
        const Cell* hex = binary::encode(16, second);
        EXPECT_EQ(test::ascii(*hex), "A9");
        Cell digit = *hex;
        digit.data1 = 1;  // "9" alone is half a byte
        EXPECT_EQ(cell::type_of(*binary::decode(16, digit)), type::none);
    });
}

TEST_F(BinaryBase, RefusesOtherBasesAndTypes) {
    EXPECT_EQ(test::error_unrolled([] { binary::encode(10, cell::integer(1)); }), ErrorId::script_invalid_arg);
    EXPECT_EQ(test::error_unrolled([] { binary::decode(32, cell::integer(1)); }), ErrorId::script_invalid_arg);
    EXPECT_EQ(test::error_unrolled([] { binary::decode(64, cell::integer(1)); }), ErrorId::script_invalid_arg);
}

}  // namespace
