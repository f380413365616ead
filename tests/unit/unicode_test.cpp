// Unicode text: the UTF-8 decoders against an independent reference, the
// loaders' widening and edge cases, UTF-16 in and out, the conversion cache,
// case mapping, display widths and the generated tables.
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/system.h"
#include "runtime/unicode.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace oru;
namespace uc = oru::unicode;

namespace {

class Unicode : public ::testing::Test {
protected:
    void SetUp() override {
        memory::init();
        uc::init_case_tables();
    }
    void TearDown() override { memory::release_all(); }
};

using Bytes = std::vector<u8>;

Cell string_cell(Node n) { return cell::make(type::string, 0, n, 0); }

// The code points of a string value from its head.
std::u32string chars(const Cell& str) {
    SeriesBuffer* s = memory::buffer(cell::node(str));
    std::u32string out;
    for (u32 i = cell::head_index(str); i < s->length(); i++) {
        const u8* p = s->head_ptr() + i * s->unit();
        u32 c = 0;
        std::memcpy(&c, p, s->unit());  // little-endian: the low bytes come first
        out.push_back(c);
    }
    return out;
}

u32 unit_of(Node n) { return memory::buffer(n)->unit(); }

// Loads UTF-8 from an exactly sized heap copy, so that a read past the end
// shows under the address sanitizer.
Node load_exact(const Bytes& b, i32* remaining = nullptr, bool crlf = false, Node into = 0) {
    std::vector<u8> copy(b);
    return uc::load_utf8(copy.data(), static_cast<i32>(copy.size()), into, remaining, crlf);
}

// Raises an error and returns its id and first argument.
template <class F>
std::pair<ErrorId, Cell> error_of(F&& f) {
    try {
        f();
    } catch (const SystemThrow& t) {
        EXPECT_EQ(t.code, throw_code::error);
        return {pending_error.id, pending_error.args[0]};
    }
    ADD_FAILURE() << "no error raised";
    return {};
}

// Independent reference for one UTF-8 sequence: assembles the bits first and
// judges the value afterwards. Returns the code point, -1 when the bytes end
// inside a sequence that is still well-formed so far, -2 when malformed.
i32 reference_decode(const u8* p, int n, int* used) {
    u8 b = p[0];
    int len = b < 0x80 ? 1 : (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 0;
    if (len == 0) return -2;
    u32 c = len == 1 ? b : b & (0xFF >> (len + 1));
    int i = 1;
    for (; i < len && i < n; i++) {
        if ((p[i] & 0xC0) != 0x80) return -2;
        c = (c << 6) | (p[i] & 0x3F);
    }
    static const u32 min_for[] = {0, 0, 0x80, 0x800, 0x10000};
    if (i < len) {
        // Only a prefix: malformed already when no completion can be valid.
        u32 lo = c, hi = c;
        for (int k = i; k < len; k++) lo <<= 6, hi = (hi << 6) | 0x3F;
        if (hi < min_for[len] || lo > 0x10FFFF) return -2;
        if (lo >= 0xD800 && hi <= 0xDFFF) return -2;
        return -1;
    }
    if (c < min_for[len] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return -2;
    *used = len;
    return static_cast<i32>(c);
}

}  // namespace

// --- UTF-8 decoding ------------------------------------------------------

TEST(UnicodeUtf8, EveryCodePointRoundTripsThroughBothDecoders) {
    u8 buf[4];
    for (u32 cp = 0; cp <= 0x10FFFF; cp++) {
        if (cp >= 0xD800 && cp <= 0xDFFF) continue;
        int n = uc::encode_utf8_char(cp, buf);
        ASSERT_EQ(n, uc::utf8_char_size(cp));
        ASSERT_EQ(uc::utf8_seq_length(buf[0]), n == 1 ? 0 : n);
        i32 got;
        const u8* after = uc::fast_decode_utf8_char(buf, buf + n, &got);
        ASSERT_EQ(got, static_cast<i32>(cp)) << std::hex << cp;
        ASSERT_EQ(after, buf + n);
        i32 count = n;
        ASSERT_EQ(uc::decode_utf8_char(buf, &count), static_cast<i32>(cp));
        ASSERT_EQ(count, n);
    }
}

TEST(UnicodeUtf8, FastDecoderAgreesWithReferenceOnAllShortSequences) {
    // Every two-byte input and every three-byte input led by 0xE0-0xF4, each
    // bounded at its exact end.
    auto check = [](const u8* seq, int n) {
        int used = 0;
        i32 want = reference_decode(seq, n, &used);
        i32 got;
        const u8* after = uc::fast_decode_utf8_char(seq, seq + n, &got);
        ASSERT_LE(after, seq + n);
        if (want >= 0) {
            ASSERT_EQ(got, want);
            ASSERT_EQ(after, seq + used);
        } else {
            ASSERT_EQ(got, -1) << std::hex << int(seq[0]) << ' ' << int(seq[1]);
        }
    };
    u8 s[3];
    for (int a = 0; a < 256; a++)
        for (int b = 0; b < 256; b++) {
            s[0] = static_cast<u8>(a), s[1] = static_cast<u8>(b);
            check(s, 2);
            if (a >= 0xE0 && a <= 0xF4)
                for (int c = 0; c < 256; c++) {
                    s[2] = static_cast<u8>(c);
                    check(s, 3);
                }
        }
}

TEST(UnicodeUtf8, StrictDecoderAgreesWithReference) {
    // Every lead and second byte, followed by a good and a bad third and
    // fourth byte, with 1 to 4 bytes available.
    for (int a = 0x80; a < 256; a++)
        for (int b = 0; b < 256; b++)
            for (u8 tail : {u8(0x80), u8(0xBF), u8(0x41), u8(0xC0)})
                for (int n = 1; n <= 4; n++) {
                    u8 s[4] = {static_cast<u8>(a), static_cast<u8>(b), tail, 0x80};
                    int used = 0;
                    i32 want = reference_decode(s, n, &used);
                    i32 count = n;
                    if (want == -2) {
                        auto [id, arg] = error_of([&] { uc::decode_utf8_char(s, &count); });
                        ASSERT_EQ(id, ErrorId::access_invalid_utf8) << std::hex << a << ' ' << b << ' ' << n;
                        ASSERT_EQ(arg.data2, static_cast<u32>(a));
                    } else {
                        ASSERT_EQ(uc::decode_utf8_char(s, &count), want) << std::hex << a << ' ' << b << ' ' << n;
                        ASSERT_EQ(count, want == -1 ? 0 : used);
                    }
                }
}

TEST(UnicodeUtf8, MalformedSequencesTable) {
    struct Case {
        const char* what;
        Bytes in;
        i32 fast;  // fast decoder's result; the strict one raises for all of these
    } cases[] = {
        {"overlong 2-byte NUL", {0xC0, 0x80}, -1},
        {"overlong 2-byte", {0xC1, 0xBF}, -1},
        {"overlong 3-byte", {0xE0, 0x80, 0xAF}, -1},
        {"overlong 4-byte", {0xF0, 0x8F, 0xBF, 0xBF}, -1},
        {"high surrogate", {0xED, 0xA0, 0x80}, -1},
        {"low surrogate", {0xED, 0xBF, 0xBF}, -1},
        {"above U+10FFFF", {0xF4, 0x90, 0x80, 0x80}, -1},
        {"lead 0xF5", {0xF5, 0x80, 0x80, 0x80}, -1},
        {"lead 0xFF", {0xFF}, -1},
        {"lone continuation", {0x80}, -1},
        {"ASCII where a continuation belongs", {0xE2, 0x41, 0x82}, -1},
    };
    for (const Case& c : cases) {
        i32 cp;
        uc::fast_decode_utf8_char(c.in.data(), c.in.data() + c.in.size(), &cp);
        EXPECT_EQ(cp, c.fast) << c.what;
        i32 count = static_cast<i32>(c.in.size());
        auto [id, arg] = error_of([&] { uc::decode_utf8_char(c.in.data(), &count); });
        EXPECT_EQ(id, ErrorId::access_invalid_utf8) << c.what;
        EXPECT_EQ(arg.data2, c.in[0]) << c.what;
    }
}

TEST(UnicodeUtf8, DecodersStopAtTheEnd) {
    // Each input is cut inside a sequence; a read past the end would show
    // under the sanitizer since the vectors are sized exactly.
    for (Bytes in : {Bytes{0xE2, 0x82}, Bytes{0xF0, 0x9F, 0x98}, Bytes{0xC3}, Bytes{0xF4}}) {
        i32 cp;
        EXPECT_EQ(uc::fast_decode_utf8_char(in.data(), in.data() + in.size(), &cp), in.data() + in.size());
        EXPECT_EQ(cp, -1);
        i32 count = static_cast<i32>(in.size());
        EXPECT_EQ(uc::decode_utf8_char(in.data(), &count), -1);
        EXPECT_EQ(count, 0);
        EXPECT_EQ(uc::utf8_length(in.data(), in.data() + in.size()), 1);
        EXPECT_EQ(uc::utf8_skip_chars(in.data(), in.data() + in.size(), 5), in.data() + in.size());
    }
}

TEST(UnicodeUtf8, LengthAndSkip) {
    // a, é, €, 😀, an invalid byte (one code point of the count), z
    Bytes s = {'a', 0xC3, 0xA9, 0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0x98, 0x80, 0xFF, 'z'};
    const u8* b = s.data();
    const u8* e = b + s.size();
    EXPECT_EQ(uc::utf8_length(b, e), 6);
    EXPECT_EQ(uc::utf8_length(b, b), 0);
    struct {
        i32 n;
        long offset;
    } skips[] = {{0, 0}, {1, 1}, {2, 3}, {3, 6}, {4, 10}, {5, 11}, {6, 12}, {99, 12}};
    for (auto& k : skips) EXPECT_EQ(uc::utf8_skip_chars(b, e, k.n) - b, k.offset) << k.n;
}

TEST(UnicodeUtf8, SizesAndLimitedEncoding) {
    struct {
        u8 lead;
        int len;
    } leads[] = {{0x00, 0}, {0x7F, 0}, {0x80, 0}, {0xBF, 0}, {0xC0, 2},
                 {0xDF, 2}, {0xE0, 3}, {0xEF, 3}, {0xF0, 4}, {0xFF, 4}};
    for (auto& l : leads) EXPECT_EQ(uc::utf8_seq_length(l.lead), l.len) << int(l.lead);

    u32 units[] = {0x41, 0xE9, 0x20AC, 0x1F600};
    EXPECT_EQ(uc::utf8_encoded_size(reinterpret_cast<u8*>(units), reinterpret_cast<u8*>(units + 4), 4), 1 + 2 + 3 + 4);

    u8 out[4] = {0, 0, 0, 0};
    EXPECT_EQ(uc::encode_utf8_char_limit(0x20AC, out, 2), 2);
    EXPECT_EQ(out[0], 0xE2);
    EXPECT_EQ(out[1], 0x82);
    EXPECT_EQ(out[2], 0);
    EXPECT_EQ(uc::encode_utf8_char_limit(0x20AC, out, 0), 0);
    EXPECT_EQ(uc::encode_utf8_char_limit(0x41, out, 9), 1);

    using Raise = void (*)();
    Raise raisers[] = {
        [] { u8 b[4]; uc::encode_utf8_char(0x110000, b); },
        [] { uc::utf8_char_size(0x110000); },
        [] {
            u32 big = 0x7FFFFFFF;
            uc::utf8_encoded_size(reinterpret_cast<u8*>(&big), reinterpret_cast<u8*>(&big + 1), 4);
        },
    };
    for (Raise f : raisers) {
        auto [id, arg] = error_of(f);
        EXPECT_EQ(id, ErrorId::script_invalid_char);
        EXPECT_EQ(cell::type_of(arg), type::integer);
    }
}

// --- Loading UTF-8 -------------------------------------------------------

TEST_F(Unicode, LoadEdgeCases) {
    struct Case {
        const char* what;
        Bytes in;
        bool crlf;
        std::u32string want;
        u32 unit;
        i32 remaining;
    } cases[] = {
        {"BOM alone", {0xEF, 0xBB, 0xBF}, false, U"", 1, 0},
        {"BOM then A", {0xEF, 0xBB, 0xBF, 0x41}, false, U"A", 1, 0},
        {"BOM not at the start stays", {0x41, 0xEF, 0xBB, 0xBF}, false, U"A\uFEFF", 2, 0},
        {"empty", {}, false, U"", 1, 0},
        {"Latin-1 stays 1 byte", {'a', 'b', 'c', 0xC3, 0xA9}, false, U"abc\u00E9", 1, 0},
        {"euro widens to 2", {'a', 'b', 'c', 0xC3, 0xA9, 0xE2, 0x82, 0xAC}, false, U"abc\u00E9\u20AC", 2, 0},
        {"emoji widens to 4",
         {'a', 'b', 'c', 0xC3, 0xA9, 0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0x98, 0x80},
         false,
         U"abc\u00E9\u20AC\U0001F600",
         4,
         0},
        {"emoji straight from 1 to 4", {'x', 0xF0, 0x9F, 0x98, 0x80, 'y'}, false, U"x\U0001F600y", 4, 0},
        {"cut off with 2 left", {0x61, 0xE2, 0x82}, false, U"a", 1, 2},
        {"cut off after widening", {0xE2, 0x82, 0xAC, 0xF0, 0x9F}, false, U"\u20AC", 2, 2},
        {"CRLF and lone CR become LF", {'a', '\r', '\n', 'b', '\r', 'c', '\r'}, true, U"a\nb\nc\n", 1, 0},
        {"CR kept without the flag", {'a', '\r', '\n'}, false, U"a\r\n", 1, 0},
    };
    for (const Case& c : cases) {
        i32 remaining = -7;
        Node n = load_exact(c.in, &remaining, c.crlf);
        EXPECT_EQ(chars(string_cell(n)), c.want) << c.what;
        EXPECT_EQ(unit_of(n), c.unit) << c.what;
        EXPECT_EQ(remaining, c.remaining) << c.what;
    }
}

TEST_F(Unicode, LoadRaisesOnMalformedInput) {
    for (Bytes in : {Bytes{'a', 0xC0, 0x80}, Bytes{'a', 0xED, 0xA0, 0x80}, Bytes{0xE2, 0x41, 0x82}, Bytes{'a', 0x80}}) {
        auto [id, arg] = error_of([&] { load_exact(in); });
        EXPECT_EQ(id, ErrorId::access_invalid_utf8);
    }
}

TEST_F(Unicode, LoadReusesAndWidensAGivenBuffer) {
    // Long enough that each widening must grow the buffer and keep all text.
    std::string ascii(300, 'q');
    Bytes first(ascii.begin(), ascii.end());
    Node n = load_exact(first);
    Bytes second(ascii.begin(), ascii.end());
    for (u8 b : Bytes{0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0x98, 0x80, 'z'}) second.push_back(b);
    EXPECT_EQ(load_exact(second, nullptr, false, n), n);
    std::u32string want(300, U'q');
    want += U"\u20AC\U0001F600z";
    EXPECT_EQ(chars(string_cell(n)), want);
    EXPECT_EQ(unit_of(n), 4u);

    // A wide buffer keeps its unit for narrow text.
    Cell str = string_cell(n);
    Bytes third = {'h', 'i'};
    uc::load_utf8_into(third.data(), 2, str, nullptr);
    EXPECT_EQ(chars(str), U"hi");
    EXPECT_EQ(unit_of(n), 4u);
}

TEST_F(Unicode, LoadGrowsAfterAnEarlyWidening) {
    // A wide character first, then much ASCII: the widened buffer must keep
    // growing while the text goes on.
    // The growth steps are n / 4 bytes at unit 2 and n bytes at unit 4 (n the
    // input size), each new size rounded up to 16: for n = 1003 at unit 2,
    // 1008 -> 1264 -> 1520 -> 1776 -> 2032; for n = 1004 at unit 4,
    // 1008 -> 2016 -> 3024 -> 4032.
    struct {
        Bytes lead;
        char32_t cp;
        u32 unit;
        i32 size;
    } cases[] = {{{0xE2, 0x82, 0xAC}, U'\u20AC', 2, 2032}, {{0xF0, 0x9F, 0x98, 0x80}, U'\U0001F600', 4, 4032}};
    for (auto& c : cases) {
        Bytes text = c.lead;
        text.insert(text.end(), 1000, 'x');
        Node n = load_exact(text);
        std::u32string want(1, c.cp);
        want.append(1000, U'x');
        EXPECT_EQ(chars(string_cell(n)), want);
        EXPECT_EQ(unit_of(n), c.unit);
        EXPECT_EQ(memory::buffer(n)->size, c.size) << "unit " << c.unit;
    }
}

TEST_F(Unicode, WideningRewritesInPlace) {
    Bytes text = {'a', 0xC3, 0xBF, 'z'};  // a ÿ z
    Node n = load_exact(text);
    ASSERT_EQ(unit_of(n), 1u);
    SeriesBuffer* s = uc::widen_to_ucs2(memory::buffer(n));
    EXPECT_EQ(s, memory::buffer(n));
    EXPECT_EQ(s->unit(), 2u);
    EXPECT_EQ(chars(string_cell(n)), U"a\u00FFz");
    s = uc::widen_ucs2_to_ucs4(s);
    EXPECT_EQ(s->unit(), 4u);
    EXPECT_EQ(s->length(), 3u);
    EXPECT_EQ(chars(string_cell(n)), U"a\u00FFz");

    Node m = load_exact(text);
    s = uc::widen_to_ucs4(memory::buffer(m));
    EXPECT_EQ(s->unit(), 4u);
    EXPECT_EQ(chars(string_cell(m)), U"a\u00FFz");
}

// --- Converting to UTF-8 -------------------------------------------------

TEST_F(Unicode, WideningGrowsToTheStatedSizes) {
    // A buffer exactly full of `used` bytes grows to 2 x used + 2 (1 -> 2),
    // 4 x used + 4 (1 -> 4) or 2 x used + 4 (2 -> 4) bytes, rounded up to 16;
    // one that already has that room is rewritten where it is.
    struct {
        u32 from, to;
        i32 used, size_before, size_after;
        bool moves;
    } cases[] = {
        {1, 2, 32, 32, 80, true},    // 66
        {1, 4, 32, 32, 144, true},   // 132
        {2, 4, 48, 48, 112, true},   // 100
        {1, 2, 32, 80, 80, false},   // 66 fit in 80
        {2, 4, 48, 112, 112, false}, // 100 fit in 112
    };
    for (auto& c : cases) {
        Node n = memory::alloc_series(c.size_before / static_cast<i32>(c.from), c.from, 0);
        SeriesBuffer* s = memory::buffer(n);
        ASSERT_EQ(s->size, c.size_before);
        std::u32string want;
        for (i32 i = 0; i < c.used / static_cast<i32>(c.from); i++) {
            u32 cp = c.from == 1 ? 0xA0u + static_cast<u32>(i) : 0x4E00u + static_cast<u32>(i);
            std::memcpy(s->data() + static_cast<size_t>(i) * c.from, &cp, c.from);
            want.push_back(cp);
        }
        s->tail = static_cast<u32>(c.used);
        SeriesBuffer* w = c.from == 2 ? uc::widen_ucs2_to_ucs4(s) : c.to == 2 ? uc::widen_to_ucs2(s) : uc::widen_to_ucs4(s);
        EXPECT_EQ(w, memory::buffer(n));
        EXPECT_EQ(w != s, c.moves) << c.from << "->" << c.to << " used " << c.used;
        EXPECT_EQ(w->size, c.size_after) << c.from << "->" << c.to << " used " << c.used;
        EXPECT_EQ(w->unit(), c.to);
        EXPECT_EQ(chars(string_cell(n)), want);
    }
}

TEST_F(Unicode, ConversionCachesHaveTheStatedSizes) {
    // A fresh string's cache is made (unit + 1) x (length + 1) bytes for
    // units 1 and 2, 4 x (length + 1) for unit 4, and 2 x length + 2 + the
    // extra bytes of the converted range for UTF-16; all rounded up to 16.
    struct {
        Bytes one;  // a character repeated 40 times
        i32 size;
    } utf8[] = {
        {{'x'}, 96},                     // 2 x 41 = 82
        {{0xE2, 0x82, 0xAC}, 128},       // 3 x 41 = 123
        {{0xF0, 0x9F, 0x98, 0x80}, 176}, // 4 x 41 = 164
    };
    for (auto& c : utf8) {
        Bytes text;
        for (int i = 0; i < 40; i++) text.insert(text.end(), c.one.begin(), c.one.end());
        Cell str = string_cell(load_exact(text));
        i32 len = -1;
        u8* out = uc::to_utf8(str, &len);
        EXPECT_EQ(Bytes(out, out + len), text);
        EXPECT_EQ(memory::buffer(str.data3)->size, c.size) << "unit " << unit_of(cell::node(str));
    }

    // "\nabc" 10 times: 2 extra bytes a LF, counted over the converted part only.
    struct {
        i32 length;
        i32 units, size;
    } utf16[] = {
        {-1, 50, 112},  // 80 + 2 + 20 = 102
        {10, 13, 32},   // 20 + 2 + 6 = 28
    };
    Bytes lines;
    for (int i = 0; i < 10; i++) lines.insert(lines.end(), {'\n', 'a', 'b', 'c'});
    for (auto& c : utf16) {
        Cell str = string_cell(load_exact(lines));
        i32 len = c.length;
        u16* out = uc::to_utf16_part(str, &len, true);
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(len, c.units);
        EXPECT_EQ(out[len], 0);
        EXPECT_EQ(memory::buffer(str.data3)->size, c.size) << "length " << c.length;
    }
}

TEST_F(Unicode, ToUtf8InTheCache) {
    Bytes text = {'a', '\n', 0xC3, 0xA9, 0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0x98, 0x80};
    Cell str = string_cell(load_exact(text));
    i32 len = -1;
    u8* out = uc::to_utf8(str, &len);
    EXPECT_EQ(Bytes(out, out + len), text);
    EXPECT_EQ(out[len], 0);
    EXPECT_NE(str.data3, 0u);

    len = -1;
    out = uc::to_utf8_crlf(str, &len, true);
    Bytes crlf = text;
    crlf.insert(crlf.begin() + 1, '\r');
    EXPECT_EQ(Bytes(out, out + len), crlf);

    len = 3;  // a, LF, é
    out = uc::to_utf8(str, &len);
    EXPECT_EQ(len, 4);
    EXPECT_EQ(out[4], 0);

    // From the head index on; a length past the tail is cut to it.
    str.data1 = 4;
    len = 100;
    out = uc::to_utf8(str, &len);
    EXPECT_EQ(Bytes(out, out + len), Bytes(text.begin() + 7, text.end()));

    // A unit-1 string of LFs at the cache's smallest size.
    Bytes lfs(40, '\n');
    Cell lines = string_cell(load_exact(lfs));
    len = -1;
    out = uc::to_utf8_crlf(lines, &len, true);
    EXPECT_EQ(len, 80);
    EXPECT_LE(81, memory::buffer(lines.data3)->size);
}

TEST_F(Unicode, ToUtf8IntoAndLimit) {
    Bytes text = {'a', 0xE2, 0x82, 0xAC, 'b'};  // a € b
    Cell str = string_cell(load_exact(text));
    u8 out[32];
    std::memset(out, 0xEE, sizeof out);
    EXPECT_EQ(uc::to_utf8_into(str, out, -1, true), 5);
    EXPECT_EQ(Bytes(out, out + 6), Bytes({'a', 0xE2, 0x82, 0xAC, 'b', 0}));
    EXPECT_EQ(uc::to_utf8_into(str, out, 2, false), 4);

    struct {
        i32 room, limit;
        bool nul;
        i32 written;
    } cases[] = {
        {16, 0, false, 5}, {16, -3, true, 5}, {16, 1, false, 1}, {3, 0, false, 3},  // € cut after 2 bytes
        {3, 0, true, 2},   {1, 0, true, 0},   {0, 0, true, 0},   {0, 0, false, 0},
    };
    for (auto& c : cases) {
        std::memset(out, 0xEE, sizeof out);
        EXPECT_EQ(uc::to_utf8_into_limit(str, out, c.room, c.limit, c.nul), c.written) << c.room << ' ' << c.limit;
        EXPECT_EQ(out[std::max(c.room, 0)], 0xEE) << "wrote past the room " << c.room;
        if (c.nul && c.room > 0) {
            EXPECT_EQ(out[c.written], 0);
        }
    }
}

// --- UTF-16 --------------------------------------------------------------

namespace {
Bytes utf16le(std::initializer_list<u16> units) {
    Bytes b;
    for (u16 u : units) b.push_back(static_cast<u8>(u)), b.push_back(static_cast<u8>(u >> 8));
    return b;
}
}  // namespace

TEST_F(Unicode, Utf16UnitAndLoad) {
    struct Case {
        const char* what;
        Bytes in;
        bool cr;
        u32 unit;
        std::u32string want;
    } cases[] = {
        {"ASCII", utf16le({'h', 'i'}), false, 1, U"hi"},
        {"Latin-1", utf16le({'h', 0xE9}), false, 1, U"h\u00E9"},
        {"BMP", utf16le({'h', 0x20AC}), false, 2, U"h\u20AC"},
        {"pair", utf16le({0xD83D, 0xDE00, 'x'}), false, 4, U"\U0001F600x"},
        {"high at the end", utf16le({'x', 0xD83D}), false, 4, U"x\uFFFD"},
        {"high before non-low", utf16le({0xD83D, 'x'}), false, 4, U"\uFFFDx"},
        {"lone low", utf16le({0xDE00, 'x'}), false, 4, U"\uFFFDx"},
        {"two highs", utf16le({0xD800, 0xD800, 0xDC00}), false, 4, U"\uFFFD\U00010000"},
        {"every CR dropped", utf16le({'a', '\r', '\n', 'b', '\r'}), true, 1, U"a\nb"},
        {"CR kept", utf16le({'a', '\r'}), false, 1, U"a\r"},
    };
    for (const Case& c : cases) {
        i32 count = static_cast<i32>(c.in.size() / 2);
        EXPECT_EQ(uc::utf16_unit(c.in.data(), count), c.unit) << c.what;
        Node n = uc::load_utf16(c.in.data(), count, nullptr, c.cr);
        EXPECT_EQ(unit_of(n), c.unit) << c.what;
        EXPECT_EQ(chars(string_cell(n)), c.want) << c.what;
    }
}

TEST_F(Unicode, LoadUtf16IntoAStringAndFromItsCache) {
    Cell str = string_cell(load_exact(Bytes{'o', 'l', 'd'}));
    Bytes wide = utf16le({0x4E00, 'a', 0xD83D, 0xDE00});
    EXPECT_EQ(uc::load_utf16(wide.data(), 4, &str, false), cell::node(str));
    EXPECT_EQ(chars(str), U"\u4E00a\U0001F600");
    EXPECT_EQ(unit_of(cell::node(str)), 4u);

    // Null address: the text is in the string's conversion cache.
    Bytes text = utf16le({'c', 'a', 'c', 'h', 'e', 0x20AC});
    u8* cache = uc::scratch_buffer(str, static_cast<i32>(text.size()));
    std::memcpy(cache, text.data(), text.size());
    uc::load_utf16(nullptr, 6, &str, false);
    EXPECT_EQ(chars(str), U"cache\u20AC");
    EXPECT_EQ(unit_of(cell::node(str)), 2u);
}

TEST_F(Unicode, ToUtf16) {
    Bytes text = {'a', '\n', 0xF0, 0x90, 0x80, 0x80, 0xE2, 0x82, 0xAC};  // a LF U+10000 €
    Cell str = string_cell(load_exact(text));
    u16* out = uc::to_utf16(str);
    std::u16string got(reinterpret_cast<char16_t*>(out));
    EXPECT_EQ(got, u"a\r\n\xD800\xDC00\u20AC");
    // The cache had room for the CR, the pair and the closing 0.
    EXPECT_GE(memory::buffer(str.data3)->size, static_cast<i32>((got.size() + 1) * 2));

    i32 len = 3;
    out = uc::to_utf16_part(str, &len, false);
    EXPECT_EQ(len, 4);  // a LF D800 DC00
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(out)), u"a\n\xD800\xDC00");

    // Only U+10000 alone, at the smallest cache.
    Cell one = string_cell(load_exact(Bytes{0xF0, 0x90, 0x80, 0x80}));
    len = -1;
    out = uc::to_utf16_part(one, &len, true);
    EXPECT_EQ(len, 2);
    EXPECT_EQ(out[0], 0xD800);
    EXPECT_EQ(out[1], 0xDC00);
    EXPECT_EQ(out[2], 0);

    // A code point above U+10FFFF (only a unit-4 buffer can hold one) gives null.
    u32 bad = 0x110000;
    std::memcpy(memory::buffer(cell::node(one))->head_ptr(), &bad, 4);
    len = -1;
    EXPECT_EQ(uc::to_utf16_part(one, &len, false), nullptr);
}

TEST(UnicodeUtf16, EncodeCountAndAscii) {
    struct {
        u32 cp;
        int n;
        u16 a, b;
    } cases[] = {{0x41, 1, 0x41, 0}, {0xFFFF, 1, 0xFFFF, 0}, {0x10000, 2, 0xD800, 0xDC00}, {0x1F600, 2, 0xD83D, 0xDE00},
                 {0x10FFFF, 2, 0xDBFF, 0xDFFF}, {0x110000, 0, 0, 0}};
    for (auto& c : cases) {
        u16 out[2] = {0, 0};
        EXPECT_EQ(uc::encode_utf16_char(c.cp, out), c.n) << std::hex << c.cp;
        EXPECT_EQ(out[0], c.a);
        EXPECT_EQ(out[1], c.b);
    }
    u16 units[] = {'a', '\n', 0x20AC, '\n'};
    EXPECT_EQ(uc::count_utf16_extra(reinterpret_cast<u8*>(units), reinterpret_cast<u8*>(units + 4), 2), 4);
    u32 wide[] = {0x10000, 'x', '\n'};
    EXPECT_EQ(uc::count_utf16_extra(reinterpret_cast<u8*>(wide), reinterpret_cast<u8*>(wide + 3), 4), 4);

    u16 out[8];
    uc::ascii_to_utf16("abc", out);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(out)), u"abc");
}

// --- Windows-1251 --------------------------------------------------------

TEST_F(Unicode, LoadCp1251) {
    Bytes cyr = {'A', 0xC0, 0xE1, 0xA8, 0x88, 0x98, '\r', '\n', 0xFF};
    Node n = uc::load_cp1251(cyr.data(), static_cast<i32>(cyr.size()), nullptr, true);
    EXPECT_EQ(unit_of(n), 2u);
    EXPECT_EQ(chars(string_cell(n)), U"A\u0410\u0431\u0401\u20AC\u0098\n\u044F");

    Bytes latin = {0xA0, 0xA9, 'x'};  // bytes whose code points are below 0x100
    n = uc::load_cp1251(latin.data(), 3, nullptr, false);
    EXPECT_EQ(unit_of(n), 1u);
    EXPECT_EQ(chars(string_cell(n)), U"\u00A0\u00A9x");
}

// --- Case ----------------------------------------------------------------

TEST_F(Unicode, CaseMappingTable) {
    struct {
        u32 cp, upper, lower, either;
    } cases[] = {
        {'a', 'A', 'a', 'A'},
        {'A', 'A', 'a', 'a'},
        {'1', '1', '1', '1'},
        {0xDF, 0xDF, 0xDF, 0xDF},            // sharp s: upper case "SS", no one letter
        {0xFF, 0x178, 0xFF, 0x178},          // ÿ -> Ÿ leaves Latin-1
        {0xB5, 0x39C, 0xB5, 0x39C},          // micro sign -> Greek capital mu
        {0x130, 0x130, 'i', 'i'},            // İ
        {0x1F88, 0x1F88, 0x1F80, 0x1F80},    // titlecase Greek: upper case two letters
        {0xFF5A, 0xFF3A, 0xFF5A, 0xFF3A},    // fullwidth z
        {0x10D0, 0x1C90, 0x10D0, 0x1C90},    // Georgian (Unicode 11)
        {0xA794, 0xA794, 0xA794, 0xA794},    // its capital came in Unicode 12
        {0x10428, 0x10400, 0x10428, 0x10400},
        {0x10400, 0x10400, 0x10428, 0x10428},
        {0x1E922, 0x1E900, 0x1E922, 0x1E900},
        {0x1E900, 0x1E900, 0x1E922, 0x1E922},
        {0x1E943, 0x1E921, 0x1E943, 0x1E921},
        {0x10570, 0x10570, 0x10570, 0x10570},  // Vithkuqi: Unicode 14, not mapped
        {0x1F600, 0x1F600, 0x1F600, 0x1F600},
        {0x110000, 0x110000, 0x110000, 0x110000},
    };
    for (auto& c : cases) {
        EXPECT_EQ(uc::to_upper(c.cp), c.upper) << std::hex << c.cp;
        EXPECT_EQ(uc::case_fold(c.cp, true), c.upper) << std::hex << c.cp;
        EXPECT_EQ(uc::case_fold(c.cp, false), c.lower) << std::hex << c.cp;
        EXPECT_EQ(uc::to_lower_or_upper(c.cp), c.either) << std::hex << c.cp;
    }
}

TEST_F(Unicode, ChangeCaseOfAString) {
    // Upper-casing ÿ needs the 2-byte unit; the rest of the string survives the widening.
    Cell str = string_cell(load_exact(Bytes{'a', 0xC3, 0xBF, 'b', 'c'}));
    uc::change_case_chars(str, 100, true);
    EXPECT_EQ(chars(str), U"A\u0178BC");
    EXPECT_EQ(unit_of(cell::node(str)), 2u);

    // From the head index, count characters; a negative count maps none.
    Cell part = string_cell(load_exact(Bytes{'a', 'b', 'c', 'd'}));
    part.data1 = 1;
    uc::change_case_chars(part, 2, true);
    part.data1 = 0;
    EXPECT_EQ(chars(part), U"aBCd");
    uc::change_case_chars(part, -1, true);
    EXPECT_EQ(chars(part), U"aBCd");

    // Lower-casing an Adlam capital in a 4-byte string; a head past the tail is cut back.
    Cell adlam = string_cell(load_exact(Bytes{0xF0, 0x9E, 0xA4, 0x80, 'Q'}));  // U+1E900 Q
    uc::change_case_chars(adlam, 2, false);
    EXPECT_EQ(chars(adlam), U"\U0001E922q");
    adlam.data1 = 9;
    uc::change_case_chars(adlam, 2, true);
    EXPECT_EQ(adlam.data1, 2u);
}

// --- Display width -------------------------------------------------------

TEST_F(Unicode, DisplayWidths) {
    struct {
        u32 cp;
        int width, cjk;
    } cases[] = {
        {0, 0, 0},          {'\t', 1, 1},       {'A', 1, 1},         {0x7F, 1, 1},       {0x9F, 1, 1},
        {0xA1, 1, 2},       {0xAD, 1, 2},       {0x300, 0, 0},       {0x301, 0, 0},      {0x36F, 0, 0},
        {0x370, 1, 1},      {0x489, 0, 0},      {0x1100, 2, 2},      {0x115F, 2, 2},     {0x1160, 1, 1},
        {0x200B, 0, 0},     {0x2010, 1, 2},     {0x4E00, 2, 2},      {0xE000, 1, 2},     {0xFE0F, 0, 0},
        {0xFF21, 2, 2},     {0xFFFD, 1, 2},     {0x1F600, 2, 2},     {0x1FAF6, 2, 2},    {0x1FAF7, 1, 1},
        {0x1E94A, 0, 0},    {0x20000, 2, 2},    {0x2FFFD, 2, 2},     {0x2FFFE, 1, 1},    {0x3FFFD, 2, 2},
        {0xE0001, 1, 1},    {0xE0100, 0, 0},    {0xE01EF, 0, 0},     {0xF0000, 1, 2},    {0x10FFFD, 1, 2},
        {0x10FFFF, 1, 1},   {0x110000, 1, 1},
    };
    for (auto& c : cases) {
        EXPECT_EQ(uc::display_width(c.cp), c.width) << std::hex << c.cp;
        EXPECT_EQ(uc::display_width_cjk(c.cp), c.cjk) << std::hex << c.cp;
    }
}

TEST(UnicodeRanges, InRanges) {
    const u32 ranges[] = {10, 20, 30, 30, 40, 50};
    struct {
        u32 cp;
        bool in;
    } cases[] = {{0, false}, {9, false}, {10, true}, {15, true}, {20, true}, {21, false}, {29, false},
                 {30, true}, {31, false}, {40, true}, {50, true}, {51, false}, {0xFFFFFFFF, false}};
    for (auto& c : cases) EXPECT_EQ(uc::in_ranges_q(c.cp, ranges, 6), c.in) << c.cp;
    EXPECT_FALSE(uc::in_ranges_q(10, ranges, 0));
    EXPECT_TRUE(uc::in_ranges_q(10, ranges, 2));
    EXPECT_FALSE(uc::in_ranges_q(30, ranges, 2));
}

// --- Generated tables ----------------------------------------------------

TEST(UnicodeTables, SizesAndTellingRows) {
    using P = std::pair<u32, u32>;
    auto pair = [](const uc::CasePair& p) { return P{p.from, p.to}; };
    struct {
        const uc::CasePair* table;
        int count, want;
        P first, last;
    } pairs[] = {
        {uc::upper_pairs, uc::upper_pairs_count, 1175, {'a', 'A'}, {0xFF5A, 0xFF3A}},
        {uc::lower_pairs, uc::lower_pairs_count, 1158, {'A', 'a'}, {0xFF3A, 0xFF5A}},
        {uc::upper_pairs_astral, uc::upper_pairs_astral_count, 225, {0x10428, 0x10400}, {0x1E943, 0x1E921}},
        {uc::lower_pairs_astral, uc::lower_pairs_astral_count, 225, {0x10400, 0x10428}, {0x1E921, 0x1E943}},
    };
    for (auto& t : pairs) {
        EXPECT_EQ(t.count, t.want);
        EXPECT_EQ(pair(t.table[0]), t.first);
        EXPECT_EQ(pair(t.table[t.count - 1]), t.last);
        for (int i = 1; i < t.count; i++) ASSERT_LT(t.table[i - 1].from, t.table[i].from) << "sorted, no duplicates";
    }

    struct {
        const u32* table;
        int count, want;
        std::vector<P> head, tail;
    } ranges[] = {
        {uc::zero_width_ranges, uc::zero_width_ranges_count, 339, {{0x300, 0x36F}, {0x483, 0x489}, {0x591, 0x5BD}},
         {{0x1E8D0, 0x1E8D6}, {0x1E944, 0x1E94A}, {0xE0100, 0xE01EF}}},
        {uc::wide_ranges, uc::wide_ranges_count, 122, {{0x1100, 0x115F}, {0x231A, 0x231B}, {0x2329, 0x232A}},
         {{0x1FAF0, 0x1FAF6}, {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD}}},
        {uc::ambiguous_ranges, uc::ambiguous_ranges_count, 156, {{0xA1, 0xA1}, {0xA4, 0xA4}, {0xA7, 0xA8}},
         {{0xFFFD, 0xFFFD}, {0xF0000, 0xFFFFD}, {0x100000, 0x10FFFD}}},
    };
    for (auto& t : ranges) {
        EXPECT_EQ(t.count, t.want);
        for (int i = 0; i < 3; i++) {
            EXPECT_EQ((P{t.table[2 * i], t.table[2 * i + 1]}), t.head[i]);
            int j = t.count - 3 + i;
            EXPECT_EQ((P{t.table[2 * j], t.table[2 * j + 1]}), t.tail[i]);
        }
        for (int i = 0; i < t.count; i++) {
            ASSERT_LE(t.table[2 * i], t.table[2 * i + 1]);
            if (i) {
                ASSERT_LT(t.table[2 * i - 1] + 1, t.table[2 * i]) << "sorted, disjoint and merged";
            }
        }
    }

    EXPECT_EQ(uc::cp1251_high[0], 0x0402);
    EXPECT_EQ(uc::cp1251_high[0x40], 0x0410);
    EXPECT_EQ(uc::cp1251_high[0x7F], 0x044F);
}
