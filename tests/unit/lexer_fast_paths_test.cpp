// Shortcuts of the lexer, each checked against the general path it stands
// in for: plain decimals against the full float conversion, the word cache
// against names that share its slots, 1-byte string text encoded for a scan
// against the same text scanned as UTF-8, and a value buffer that grows
// while containers are open.
#include "codecs/lexer.h"
#include "interpreter/stack.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/float_text.h"
#include "runtime/memory.h"
#include "runtime/runtime.h"
#include "runtime/unicode.h"
#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>
#include <vector>

using namespace oru;
using oru::test::load;
using oru::test::value_at;

namespace {

class LexerFastPaths : public ::testing::Test {
protected:
    void SetUp() override { runtime_init(); }
    void TearDown() override { runtime_shutdown(); }
};

struct Random {
    u32 x = 0x9E3779B9u;
    u32 below(u32 n) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return x % n;
    }
};

TEST_F(LexerFastPaths, PlainDecimalsGiveTheBitsOfTheFullConversion) {
    // Texts at the edges of the shortcut (15 digits, a point first or last,
    // signed zeros) and just past it (16 digits, exponents, quotes), then
    // random decimals of 1 to 16 digits with the point anywhere.
    std::vector<std::string> texts = {"0.0", "-0.0", "+0.0", ".5", "-.5", "+.5", "1.", "-1.", "0.1", "0.3",
                                      "123456789012345.", ".123456789012345", "99999999999999.9",
                                      "1234567890.123456", "0.000000000000001", "-0.0000000000000001",
                                      "9007199254740.993", "1.5e3", "1'000.5", "2.2250738585072014"};
    Random rnd;
    for (int i = 0; i < 4000; i++) {
        const u32 n = 1 + rnd.below(16);
        std::string digits;
        for (u32 k = 0; k < n; k++) digits += static_cast<char>('0' + rnd.below(10));
        const u32 point = rnd.below(n + 1);
        const char* sign = rnd.below(3) == 0 ? "-" : rnd.below(6) == 0 ? "+" : "";
        texts.push_back(sign + digits.substr(0, point) + "." + digits.substr(point));
    }
    std::string src;
    for (const std::string& t : texts) src += t + " ";
    Cell* blk = load(src);
    ASSERT_EQ(block::rs_length_q(*blk), static_cast<i32>(texts.size()));
    for (size_t i = 0; i < texts.size(); i++) {
        std::string plain;
        for (char c : texts[i])
            if (c != '\'') plain += c;
        i32 rest = 0;
        const double want = float_text::text_to_float(plain.data(), plain.data() + plain.size(), 0, &rest);
        const Cell v = value_at(*blk, static_cast<i32>(i));
        ASSERT_EQ(cell::type_of(v), type::float_) << texts[i];
        EXPECT_EQ(std::bit_cast<u64>(cell::get_float(v)), std::bit_cast<u64>(want)) << texts[i];
    }
}

TEST_F(LexerFastPaths, NamesSharingCacheSlotsKeepTheirOwnSymbols) {
    // Many names of each length, each differing from the others in a few
    // positions (the first, the last, the middle), so that names of one
    // length keep meeting in the cache's slots. Each loaded twice, far apart.
    std::vector<std::string> names;
    for (u32 len : {1u, 2u, 3u, 4u, 5u, 7u, 8u, 9u, 12u, 15u, 16u, 17u, 23u, 27u, 28u}) {
        std::vector<u32> places;
        for (u32 at : {0u, len - 1, len / 2, len / 3, (2 * len) / 3})
            if (std::find(places.begin(), places.end(), at) == places.end()) places.push_back(at);
        for (u32 i = 0; i < 2000; i++) {
            std::string name(len, 'q');
            u32 v = i;
            for (u32 at : places) {
                name[at] = static_cast<char>('k' + v % 16);  // k-z: no hexadecimal digits
                v /= 16;
            }
            if (v) break;  // every variant of a short name made
            names.push_back(name);
        }
    }
    std::string src;
    for (int pass = 0; pass < 2; pass++)
        for (const std::string& n : names) src += n + " ";
    Cell* blk = load(src);
    const i32 count = static_cast<i32>(names.size());
    ASSERT_EQ(block::rs_length_q(*blk), 2 * count);
    for (i32 i = 0; i < 2 * count; i++) {
        const std::string& name = names[static_cast<size_t>(i % count)];
        const Cell w = value_at(*blk, i);
        ASSERT_EQ(cell::type_of(w), type::word) << name;
        ASSERT_EQ(w.data2, static_cast<u32>(symbol::find(name.c_str()))) << name;
        EXPECT_EQ(std::string(symbol::get_c_string(static_cast<i32>(w.data2))), name);
    }
}

TEST_F(LexerFastPaths, OneByteTextLoadsAsItsUtf8) {
    // Latin-1 letters (two UTF-8 bytes each) at every offset around the
    // eight-byte blocks of ASCII, in a word and in a string: load_string of
    // the 1-byte string! gives what a scan of its UTF-8 gives.
    const std::string fill = "abc \"klmnop qrstu\" vw";
    for (const char* letter : {"\xC3\xA9", "\xC2\xB5", "\xC3\xBF"}) {
        for (size_t at = 0; at <= fill.size(); at++) {
            const std::string utf8 = fill.substr(0, at) + letter + fill.substr(at);
            SCOPED_TRACE(utf8);
            Cell* text = stack::push(cell::make(type::string, 0, unicode::load(reinterpret_cast<const u8*>(utf8.data()),
                                                                              static_cast<i32>(utf8.size()))));
            ASSERT_EQ(memory::buffer(cell::node(*text))->unit(), 1u);
            Cell* from_string = stack::push(cell::make(type::none));
            i32 consumed = 0;
            lexer::load_string(from_string, *text, -1, lexer::Mode{}, &consumed);
            EXPECT_EQ(consumed, static_cast<i32>(fill.size()) + 1);
            Cell* from_bytes = load(utf8);
            EXPECT_EQ(test::written(*from_string, true), test::written(*from_bytes, true));
        }
    }
}

TEST_F(LexerFastPaths, ValueBufferGrowsUnderOpenContainers) {
    // Far more cells than the buffer starts with, most of them while two
    // containers are open; the values come out whole and in order.
    std::string src = "[[";
    for (int i = 0; i < 5000; i++) src += std::to_string(i) + " ";
    src += "] x]";
    Cell* blk = load(src);
    ASSERT_EQ(block::rs_length_q(*blk), 1);
    const Cell outer = value_at(*blk, 0);
    ASSERT_EQ(block::rs_length_q(outer), 2);
    const Cell inner = value_at(outer, 0);
    ASSERT_EQ(block::rs_length_q(inner), 5000);
    for (i32 i : {0, 999, 1000, 4999}) EXPECT_EQ(static_cast<i32>(value_at(inner, i).data2), i);
    EXPECT_EQ(cell::type_of(value_at(outer, 1)), type::word);
}

}  // namespace
