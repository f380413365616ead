// The lexer's loaders for times, dates, money, pairs, tuples, percents,
// points, binaries and the string-like kinds: the cells they make (type,
// payload words, buffer contents), the syntax errors their checks raise, and
// money from text.
#include "boot/boot.h"
#include "codecs/lexer.h"
#include "codecs/lexer_values.h"
#include "interpreter/evaluator.h"
#include "interpreter/natives_output.h"
#include "interpreter/stack.h"
#include "runtime/collector.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/money_text.h"
#include "runtime/float_text.h"
#include "runtime/memory.h"
#include "runtime/runtime.h"
#include "support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <optional>
#include <string>

using namespace oru;
using oru::test::load;
using oru::test::value_at;

namespace {

class LexerLoaders : public ::testing::Test {
protected:
    void SetUp() override {
        runtime_init();
        lexer::init();
    }
    void TearDown() override { runtime_shutdown(); }
};

std::string num(double d) { return float_text::form_float(d, 0, false); }

double payload_double(const Cell& c) {
    double d;
    std::memcpy(&d, &c.data2, sizeof d);
    return d;
}

// The characters of a string-like value, non-ASCII ones as <code>.
std::string chars(const Cell& s) {
    SeriesBuffer* b = memory::buffer(cell::node(s));
    std::string out;
    for (u32 i = 0; i < b->length(); i++) {
        u32 cp = 0;
        std::memcpy(&cp, b->head_ptr() + i * b->unit(), b->unit());
        out += cp >= 32 && cp < 127 ? std::string(1, static_cast<char>(cp)) : "<" + std::to_string(cp) + ">";
    }
    return out;
}

std::string money_text(const Cell& m) {
    std::string out = m.header & money::negative_flag ? "-" : "";
    if (money::currency_of(m)) out += "#" + std::to_string(money::currency_of(m));
    out += "$";
    std::string whole;
    for (i32 k = 1; k <= 17; k++)
        if (!whole.empty() || money::digit_at(m, k) || k == 17) whole += static_cast<char>('0' + money::digit_at(m, k));
    out += whole + ".";
    for (i32 k = 18; k <= 22; k++) out += static_cast<char>('0' + money::digit_at(m, k));
    return out;
}

// A compact description of one value of the later kinds.
std::string describe(const Cell& v) {
    std::string nl = v.header & flag::new_line ? "^" : "";
    switch (cell::type_of(v)) {
        case type::time: return nl + "time " + num(payload_double(v));
        case type::percent: return nl + "percent " + num(payload_double(v));
        case type::pair: return nl + "pair " + std::to_string(static_cast<i32>(v.data2)) + "," + std::to_string(static_cast<i32>(v.data3));
        case type::tuple: {
            u8 b[12];
            std::memcpy(b, &v.data1, sizeof b);
            std::string out = "tuple";
            for (i32 i = 0; i < tuple::length_of(v); i++) out += (i ? "." : " ") + std::to_string(b[i]);
            for (i32 i = tuple::length_of(v); i < 12; i++)
                if (b[i]) out += " (garbage)";
            return nl + out;
        }
        case type::point2D:
            return nl + "point " + num(point::from_single(v.data1)) + "," + num(point::from_single(v.data2));
        case type::point3D:
            return nl + "point " + num(point::from_single(v.data1)) + "," + num(point::from_single(v.data2)) + "," +
                   num(point::from_single(v.data3));
        case type::date: {
            i32 packed = static_cast<i32>(v.data1);
            char buf[80];
            std::snprintf(buf, sizeof buf, "date %d-%d-%d", packed >> 17, (packed >> 12) & 15, (packed >> 7) & 31);
            std::string out = buf;
            if (packed & (1 << 16)) out += " t" + num(payload_double(v)) + " z" + std::to_string(packed & 127);
            else if (payload_double(v) != 0 || (packed & 127)) out += " (time or zone without the flag)";
            return nl + out;
        }
        case type::money: return nl + "money " + money_text(v);
        case type::binary: {
            SeriesBuffer* b = memory::buffer(cell::node(v));
            std::string out = "binary ";
            for (u32 i = b->head; i < b->tail; i++) {
                char hex[3];
                std::snprintf(hex, sizeof hex, "%02X", b->data()[i]);
                out += hex;
            }
            return nl + out;
        }
        case type::file: return nl + "file " + chars(v);
        case type::url: return nl + "url " + chars(v);
        case type::tag: return nl + "tag " + chars(v);
        case type::email: return nl + "email " + chars(v);
        case type::ref: return nl + "ref " + chars(v);
        case type::string: return nl + "string " + chars(v);
        case type::integer: return nl + "integer " + std::to_string(static_cast<i32>(v.data2));
        case type::word: return nl + "word";
        case type::block: return nl + "block";
        default: return nl + "type " + std::to_string(cell::type_of(v));
    }
}

// Every value the text loads, described and separated by " | ".
std::string load(const std::string& src) {
    Cell out;
    lexer::scan(&out, reinterpret_cast<const u8*>(src.data()), static_cast<i32>(src.size()), {}, nullptr);
    std::string text;
    for (i32 i = 0; i < block::rs_length_q(out); i++) text += (i ? " | " : "") + describe(*block::rs_abs_at(out, i));
    return text;
}

i32 scan_type(const std::string& src) {
    return lexer::scan(nullptr, reinterpret_cast<const u8*>(src.data()), static_cast<i32>(src.size()),
                       lexer::Mode{.one = true, .load = false}, nullptr);
}

struct Case {
    const char* src;
    const char* want;
};

void expect_loads(std::initializer_list<Case> cases) {
    for (const Case& c : cases) EXPECT_EQ(load(c.src), c.want) << c.src;
}

TEST_F(LexerLoaders, TimesAreSeconds) {
    expect_loads({
        {"1:30", "time 5400"},
        {"1:30.5", "time 90.5"},  // minutes and seconds when a fraction follows
        {"-1:30", "time -5400"},
        {"1:75", "time 8100"},  // minutes are not limited to 59
        {"1:02:03.5", "time 3723.5"},
        {"1:30. 1:02:03.", "time 90 | time 3723"},
        {"-0:30", "time -1800"},
        {"100:00:00", "time 360000"},
        {"1'000:00", "time 3600000"},
    });
}

TEST_F(LexerLoaders, DatesPackDayMonthYearZoneAndUtcTime) {
    expect_loads({
        {"1-Jan-2020", "date 2020-1-1"},
        {"2020-01-01", "date 2020-1-1"},
        {"01/02/03", "date 2003-2-1"},  // the first field is the day up to 99
        {"1-Jan-99 1-Jan-49", "date 1999-1-1 | date 2049-1-1"},
        {"1-Jan-0099", "date 99-1-1"},  // four digits: the year as written
        {"5/Mar/-0044", "date -44-3-5"},
        {"29-feb-2020 1-sept-2020 1-DECEMBER-2020", "date 2020-2-29 | date 2020-9-1 | date 2020-12-1"},
        {"2020-W01-1 2020-W01 2020-W53-7", "date 2019-12-30 | date 2019-12-30 | date 2021-1-3"},
        {"2021-W01-5", "date 2021-1-8"},
        {"2020-032 2020-366", "date 2020-2-1 | date 2020-12-31"},
        // Days and weeks past the year's last count on; week 0 comes before week 1.
        {"2021-366 2020-W54 2020-W00-7", "date 2022-1-1 | date 2021-1-4 | date 2019-12-29"},
        // Local 1:00 at +05:00 is 20:00 UTC of the day before: -14400 seconds.
        {"1-Jan-2000/1:00+05:00", "date 2000-1-1 t-14400 z20"},
        {"1-Jan-2020/10:00-3:30", "date 2020-1-1 t48600 z78"},
        {"2020-01-01T10:00:30.5Z", "date 2020-1-1 t36030.5 z0"},
        {"2020-01-01/10:00+0530", "date 2020-1-1 t16200 z22"},
        {"20200101T1200Z", "date 2020-1-1 t43200 z0"},
        {"20200101T120000.5+0530", "date 2020-1-1 t23400.5 z22"},
        {"2020-W01-1T10:00", "date 2019-12-30 t36000 z0"},
        {"2020-032T23:59:59", "date 2020-2-1 t86399 z0"},
    });
}

TEST_F(LexerLoaders, MoneyPacksSignCurrencyAndDigits) {
    expect_loads({
        {"$1'234.50", "money $1234.50000"},
        {"-EUR$10", "money -#47$10.00000"},
        {"ORU$1 usd$0.5", "money #123$1.00000 | money #155$0.50000"},
        {"$00012.00001", "money $12.00001"},
        {"$99999999999999999.99999", "money $99999999999999999.99999"},
        {"+$0", "money $0.00000"},
    });
    // Sign in header bit 14, currency in payload byte 0, BCD from byte 1 on.
    Cell m;
    const char* src = "-USD$12.5";
    lexer::scan(&m, reinterpret_cast<const u8*>(src), 9, {.one = true}, nullptr);
    EXPECT_EQ(m.header, type::money | 1u << 14);
    u8 bytes[12];
    std::memcpy(bytes, &m.data1, sizeof bytes);
    EXPECT_EQ(bytes[0], 155);
    EXPECT_EQ(bytes[8], 0x01);   // digits 15-16
    EXPECT_EQ(bytes[9], 0x25);   // digits 17-18: units 2, first fraction digit 5
    EXPECT_EQ(bytes[11], 0x00);
}

TEST_F(LexerLoaders, PairsTuplesPercentsAndPoints) {
    expect_loads({
        {"2x3 -2x-3 1'000X+2", "pair 2,3 | pair -2,-3 | pair 1000,2"},
        {"-2147483648x2147483647", "pair -2147483648,2147483647"},
        {"1.2.3 255.0.0.128", "tuple 1.2.3 | tuple 255.0.0.128"},
        {"1.2.3.4.5.6.7.8.9.10.11.12", "tuple 1.2.3.4.5.6.7.8.9.10.11.12"},
        {"50% 12.5% -1'0%", "percent 0.5 | percent 0.125 | percent -0.1"},
        {"(1, 2) (1, 2, 3)", "point 1,2 | point 1,2,3"},
        {"( 1.5 ,\t-2 )", "point 1.5,-2"},
        {"(1e300, -1.#INF, 0)", "point 1.#INF,-1.#INF,0"},
        {"1 (1, 2)\n(3, 4)", "integer 1 | point 1,2 | ^point 3,4"},
        {"[(1, 2)] a", "block | word"},
    });
    // The tuple's length sits in header bits 19-22, its first byte lowest.
    Cell t;
    lexer::scan(&t, reinterpret_cast<const u8*>("7.8.9.10"), 8, {.one = true}, nullptr);
    EXPECT_EQ(t.header, type::tuple | 4u << 19);
    EXPECT_EQ(t.data1, 0x0A090807u);
    EXPECT_EQ(t.data2, 0u);
}

// Coordinates round to the nearest single: past the largest single by less
// than half a unit in the last place is still the largest single, from the
// half-way point on an infinity. The as-point natives share the conversion.
TEST(PointSingles, RoundToNearest) {
    const float largest = std::numeric_limits<float>::max();
    const double half_ulp = std::ldexp(1.0, 103);
    auto single = [](double d) {
        u32 bits = point::to_single(d);
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return f;
    };
    const float inf = std::numeric_limits<float>::infinity();
    struct {
        double in;
        float want;
    } cases[] = {
        {largest, largest},
        {largest + half_ulp / 2, largest},
        {std::nextafter(largest + half_ulp, 0.0), largest},
        {largest + half_ulp, inf},  // the tie goes to even: the infinity
        {1e300, inf},
        {-(largest + half_ulp / 2), -largest},
        {-(largest + half_ulp), -inf},
        {0.1, 0.1f},
        {-0.0, -0.0f},
        {1e-50, 0.0f},
    };
    for (const auto& c : cases) {
        const float got = single(c.in);
        u32 a, b;
        std::memcpy(&a, &got, sizeof a);
        std::memcpy(&b, &c.want, sizeof b);
        EXPECT_EQ(a, b) << c.in;
    }
    EXPECT_TRUE(std::isnan(single(std::numeric_limits<double>::quiet_NaN())));
}

TEST_F(LexerLoaders, PointLiteralsRoundToTheLargestSingle) {
    // 3.4028235e38 lies above the largest single, within half an ulp.
    expect_loads({
        {"(3.4028235e38, -3.4028235e38) (3.4028236e38, 0)", "point 3.4028234663852886e38,-3.4028234663852886e38 | point 1.#INF,0"},
    });
}

TEST_F(LexerLoaders, BinariesInThreeBases) {
    expect_loads({
        {"#{0A0b} #{}", "binary 0A0B | binary "},
        {"16#{ff 00 ; a comment\n 7F}", "binary FF007F"},
        {"2#{00000001 11111111}", "binary 01FF"},
        {"64#{AQID} 64#{AQ==} 64#{AQI=} 64#{YWJj\nYWI=}", "binary 010203 | binary 01 | binary 0102 | binary 6162636162"},
        {"#{00}a", "binary 00 | word"},  // the "}" belongs to the token
        // Line feeds inside the token do not mark it as starting a line.
        {"1\n#{00\n01} <a\nb> %{\n}%", "integer 1 | ^binary 0001 | tag a<10>b | string <10>"},
    });
}

TEST_F(LexerLoaders, StringLikeKinds) {
    expect_loads({
        {"%a/b.txt %\"a b^/\" %\"\"", "file a/b.txt | file a b<10> | file "},
        {"%a%20b %a%zz %%41", "file a b | file a%zz | file A"},
        {"http://x.com/a%20b?q=1 ftp://h/%C3%A9 http://h/%C3", "url http://x.com/a b?q=1 | url ftp://h/<233> | url http://h/%C3"},
        {"http://h/%E2%82%AC http://h/%C3%28 http://h/%80", "url http://h/<8364> | url http://h/<195>( | url http://h/<128>"},
        {"<a href=\"x>y\"> <b^/>", "tag a href=\"x>y\" | tag b^/"},
        {"a@b.com @name @", "email a@b.com | ref name | ref "},
        {"%{a}b}% %%{x}%% %{a^/b}%", "string a}b | string x | string a^/b"},
        {"%%{a}% b}%% c", "string a}% b | word"},
        {"%{\xC3\xA9}%", "string <233>"},
    });
    // Wide characters widen the buffer: 2 bytes for U+20AC.
    Cell u;
    const char* src = "http://h/%E2%82%AC";
    lexer::scan(&u, reinterpret_cast<const u8*>(src), static_cast<i32>(std::strlen(src)), {.one = true}, nullptr);
    EXPECT_EQ(memory::buffer(cell::node(u))->unit(), 2u);
}

TEST_F(LexerLoaders, CaretEscapes) {
    expect_loads({
        {"\"^(null)^(back)^(TAB)^(Line)^(page)^(esc)^(DEL)\"", "string <0><8><9><10><12><27><127>"},
        {"\"^@^\"^-^/^^^{^}^~\"", "string <0>\"<9><10>^{}<127>"},
        {"\"^a^z^A^Z^[^\\^]^_\"", "string <1><26><1><26><27><28><29><31>"},
        {"\"^1^\xC3\xA9^(A)^(0a)^(aBc)^(10FFFF)\"", "string 1<233><10><10><2748><1114111>"},
        // Carets stand for themselves where escapes are not decoded.
        {"%a^b <^/> %{^/}%", "file a^b | tag ^/ | string ^/"},
        {"%\"^(41)^/\"", "file A<10>"},
    });
    // Bad codes, a code past U+10FFFF, and a ")" more than 7 bytes after the "(".
    for (const char* src : {"\"^(G)\"", "\"^()\"", "\"^(12\"", "\"^(110000)\"", "\"^(0010FFF)\"", "\"a^\"",
                            "%\"^(nul)\""}) {
        SCOPED_TRACE(src);
        auto id = test::error_of([&] { load(src); });
        ASSERT_TRUE(id.has_value());
        EXPECT_EQ(*id, ErrorId::syntax_invalid);
        EXPECT_EQ(pending_error.args[0].data1, src[0] == '%' ? type::file : type::string);
    }
    // Six digits are the most a code may have, leading zeros included.
    EXPECT_EQ(load("\"^(00FFFF)\""), "string <65535>");
}

struct ErrorCase {
    const char* src;
    u32 type;  // the datatype the syntax error names
};

TEST_F(LexerLoaders, SyntaxErrorsNameTheDatatype) {
    ErrorCase cases[] = {
        // times
        {"1:30:", type::time}, {"1:30.5.5", type::time}, {"1:2:3:4", type::time}, {"1'':30", type::time},
        {"2147483648:00", type::time},
        // dates: calendar, fields, separators, time and zone ranges, forms
        {"29-Feb-2021", type::date}, {"32-Jan-2020", type::date}, {"1-13-2020", type::date},
        {"1-Foo-2020", type::date}, {"1-Ju-2020", type::date}, {"1-Jan/2020", type::date},
        {"2020-01-01/24:00", type::date}, {"2020-01-01/10:60", type::date}, {"2020-01-01/1:00:60", type::date},
        {"1-Jan-2020/10:00+16", type::date}, {"1-Jan-2020/", type::date}, {"20200101T1200", type::date},
        {"10000-01-01", type::date}, {"1-Jan-10000", type::date},
        {"2020-000", type::date}, {"9999-366", type::date}, {"2020-W5", type::date}, {"2020-W01-8", type::date},
        {"9999-W53", type::date},
        // money: apostrophes, decimal mark, digit counts, currency
        {"$1.", type::money}, {"$1'", type::money}, {"$'1", type::money}, {"$1''0", type::money},
        {"$1'.5", type::money}, {"$1.5'0", type::money}, {"$1.123456", type::money},
        {"$123456789012345678", type::money}, {"XYZ$1", type::money}, {"US$1", type::money}, {"-$", type::money},
        // pairs and tuples
        {"2.5x3", type::pair}, {"1''2x3", type::integer}, {"99999999999x1", type::pair}, {"2147483648x1", type::pair},
        {"256.1.1", type::tuple}, {"1.2.3.4.5.6.7.8.9.10.11.12.13", type::tuple},
        // binaries: prefixes, digit counts, characters, padding
        {"8#{00}", type::binary}, {"016#{00}", type::binary}, {"#{ABC}", type::binary}, {"#{0G}", type::binary},
        {"#{\xC3\xA9}", type::binary}, {"2#{0000001}", type::binary}, {"2#{00000002}", type::binary},
        {"64#{AQI}", type::binary}, {"64#{A===}", type::binary}, {"64#{AQ==AQID}", type::binary},
        // points
        {"(1, 2, 3, 4)", type::point3D}, {"(1 2, 3)", type::point2D}, {"(1, 2e)", type::point2D},
        {"(1.#NAF, 2)", type::point2D}, {"(1,)", type::point2D},
        // URLs that start like words, raw strings that do not close
        {":a:b", type::get_word}, {"'a:b", type::lit_word}, {"%%{a}%%%", type::string}, {"%%{a}% b", type::string},
    };
    for (const ErrorCase& c : cases) {
        SCOPED_TRACE(c.src);
        pending_error = {};
        auto id = test::error_of([&] { load(c.src); });
        ASSERT_TRUE(id.has_value());
        EXPECT_EQ(*id, ErrorId::syntax_invalid);
        EXPECT_EQ(pending_error.args[0].data1, c.type);
        // Scan-only modes report the error as the token type, quietly.
        EXPECT_EQ(scan_type(c.src), static_cast<i32>(type::error));
    }
}

TEST_F(LexerLoaders, ScanOnlyGivesTheTypes) {
    Case cases[] = {
        {"1:30", "43"}, {"1-Jan-2020 x", "47"}, {"$1 x", "49"}, {"2x3", "37"}, {"1.2.3", "39"},
        {"50%", "38"},  {"(1, 2) x", "51"},     {"#{00}", "41"}, {"%a", "8"}, {"a:b", "9"},
        {"<a>", "44"},  {"a@b", "45"},          {"@a", "50"},    {"%{a}%", "7"},
    };
    for (const Case& c : cases) EXPECT_EQ(std::to_string(scan_type(c.src)), c.want) << c.src;
    // Prescan follows the structure only: a point's coordinates are not read.
    const char* src = "(1 2, 3) x";
    EXPECT_EQ(lexer::scan(nullptr, reinterpret_cast<const u8*>(src), 10, lexer::Mode{.one = true, .scan = false}, nullptr),
              static_cast<i32>(type::point2D));
}

TEST_F(LexerLoaders, ValuesSurviveCollectionsWhileLoading) {
    // Many buffers made in one scan, each allocation collecting and
    // compacting: the values made so far must be kept and found again.
    std::string src;
    for (int i = 0; i < 200; i++) src += "#{0102} %f" + std::to_string(i) + " <t> 1:30 ";
    Cell* blk = stack::push(cell::make(type::none));
    EXPECT_GE(test::load_collecting(blk, src), 600u);
    ASSERT_EQ(block::rs_length_q(*blk), 800);
    EXPECT_EQ(describe(*block::rs_abs_at(*blk, 0)), "binary 0102");
    EXPECT_EQ(describe(*block::rs_abs_at(*blk, 797)), "file f199");
    EXPECT_EQ(describe(*block::rs_abs_at(*blk, 798)), "tag t");
    stack::pop(1);
}

TEST_F(LexerLoaders, MoneyFromText) {
    auto scan = [](const char* s, i32* err) {
        return lexer::scan_money(reinterpret_cast<const u8*>(s), 1, static_cast<i32>(std::strlen(s)), err);
    };
    i32 err;
    Case good[] = {
        {"$1.50", "money $1.50000"}, {"USD$1", "money #155$1.00000"}, {"1.5", "money $1.50000"},
        {"-1'000.25", "money -$1000.25000"}, {"eur$0.123456", "money #47$0.12345"},
    };
    for (const Case& c : good) {
        Cell m = scan(c.src, &err);
        EXPECT_EQ(err, 0) << c.src;
        EXPECT_EQ(describe(m), c.want) << c.src;
    }
    for (const char* bad : {"USD1", "$", "", "1.", ".5", "1''0", "1'.5", "1.5'0", "1.2.3", "abc", "'1", "1'",
                            "USD$", "XYZ$1", "$1e2", "123456789012345678"}) {
        Cell m = scan(bad, &err);
        EXPECT_EQ(err, -1) << bad;
        EXPECT_EQ(cell::type_of(m), type::none) << bad;
    }
    // Characters of any width.
    const u16 wide[] = {'$', '7', '.', '2'};
    Cell m = lexer::scan_money(reinterpret_cast<const u8*>(wide), 2, 4, &err);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(describe(m), "money $7.20000");
}

// Money literals, money from text and as-money find their currency in one
// place: system/locale/currencies/list when the system object holds that
// block, else the start-up list. A position past 255 cannot be stored.
class LexerCurrencies : public ::testing::Test {
protected:
    void SetUp() override {
        runtime_init();
        natives_output::register_all();
        interpreter::init();
        root_allocation = false;
        boot::define_base();
        collector::enable(true);
        base = stack::top;
    }
    void TearDown() override {
        collector::enable(false);
        runtime_shutdown();
    }

    // Loads, binds and evaluates the text; the last value.
    Cell run(const std::string& text) {
        stack::top = stack::arguments = base;
        CallFrame* frames = stack::frame_top;
        Cell v{};
        try {
            EXPECT_EQ(test::evaluate(text), 0u) << text;
            v = *stack::arguments;
        } catch (const SystemThrow&) {
            ADD_FAILURE() << text << ": error " << error_id_name(pending_error.id);
        }
        interpreter::pending = 0;
        stack::frame_top = frames;
        stack::arguments = stack::top = base;
        return v;
    }

    // The currency index of a money literal, or -1 when the literal raises
    // its syntax error (which must name money!).
    i32 literal(const char* src) {
        Cell m{};
        pending_error = {};
        auto id = test::error_of([&] {
            lexer::scan(&m, reinterpret_cast<const u8*>(src), static_cast<i32>(std::strlen(src)), {.one = true}, nullptr);
        });
        if (id) {
            EXPECT_EQ(*id, ErrorId::syntax_invalid) << src;
            EXPECT_EQ(pending_error.args[0].data1, type::money) << src;
            return -1;
        }
        EXPECT_EQ(cell::type_of(m), type::money) << src;
        return static_cast<i32>(money::currency_of(m));
    }
    // The same through money from text.
    i32 text(const char* src) {
        i32 err;
        Cell m = lexer::scan_money(reinterpret_cast<const u8*>(src), 1, static_cast<i32>(std::strlen(src)), &err);
        return err ? -1 : static_cast<i32>(money::currency_of(m));
    }

    Cell* base = nullptr;
};

TEST_F(LexerCurrencies, OneLookupForLiteralsTextAndAsMoney) {
    // The system object's start-up list, letter case ignored.
    EXPECT_EQ(literal("usd$1"), 155);
    EXPECT_EQ(text("EUR$1"), 47);
    EXPECT_EQ(run("as-money 'Usd 1").data1 & 0xFF, 155u);
    EXPECT_EQ(literal("ABC$1"), -1);
    // Another list, set past its guard, replaces it for every maker alike.
    run("set-quiet in system/locale/currencies 'list [ABC usd]");
    EXPECT_EQ(literal("abc$1"), 1);
    EXPECT_EQ(literal("USD$1"), 2);
    EXPECT_EQ(text("Abc$1"), 1);
    EXPECT_EQ(run("as-money 'abc 1").data1 & 0xFF, 1u);
    EXPECT_EQ(literal("EUR$1"), -1);
    EXPECT_EQ(text("EUR$1"), -1);
    // A list that is not a block: the start-up list again.
    run("set-quiet in system/locale/currencies 'list none");
    EXPECT_EQ(literal("EUR$1"), 47);
}

TEST_F(LexerCurrencies, AnIndexPastOneByteIsRefused) {
    run("list: copy [] loop 254 [append list 'AAA] append list 'YYY append list 'ZZZ "
        "set-quiet in system/locale/currencies 'list list");
    EXPECT_EQ(money::find_currency(reinterpret_cast<const u8*>("zzz"), 3), 256);
    EXPECT_EQ(literal("YYY$1"), 255);
    EXPECT_EQ(literal("ZZZ$1"), -1);
    EXPECT_EQ(text("ZZZ$1"), -1);
    EXPECT_EQ(text("yyy$1"), 255);
}

TEST_F(LexerLoaders, DayNumbers) {
    // Day 0 is 1 March of year 0; the round trip holds across leap days.
    EXPECT_EQ(date::days_from_civil(0, 3, 1), 0);
    for (i32 g : {0, 59, 60, 365, 730119, 730120, 738000, 1000000}) {
        i32 y, m, d;
        date::civil_from_days(g, &y, &m, &d);
        EXPECT_EQ(date::days_from_civil(y, m, d), g) << g;
    }
    // 1 March 2000 is a Wednesday: (days + 2) mod 7 + 1 = 3.
    EXPECT_EQ((date::days_from_civil(2000, 3, 1) + 2) % 7 + 1, 3);
}

}  // namespace
