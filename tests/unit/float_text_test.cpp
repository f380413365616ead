// Float text conversion: shortest digits that round-trip, fixed precision,
// the text layout, and correctly rounded reading. The C library's strtod and
// printf (both exact on this platform) serve as the independent oracle for
// random inputs; the layout rules and the special texts are checked by table.
#include "runtime/float_text.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <random>
#include <string>

using namespace oru;
using namespace oru::float_text;

namespace {

u64 bits(double d) { return std::bit_cast<u64>(d); }

double parse(const std::string& s, i32* remaining = nullptr, i32 extra = 0) {
    i32 rem;
    const double d = text_to_float(s.data(), s.data() + s.size(), extra, &rem);
    if (remaining) *remaining = rem;
    return d;
}

// Random finite non-zero doubles: any pattern, subnormals, the common
// exponent range, and patterns with few mantissa bits (round decimal values
// and ties live there), both signs.
double random_double(std::mt19937_64& g) {
    for (;;) {
        u64 b = g();
        switch (g() % 5) {
            case 0: break;
            case 1: b &= 0x800FFFFFFFFFFFFFull; break;  // subnormal
            case 2: b = (b & 0x800FFFFFFFFFFFFFull) | (static_cast<u64>(1023 + static_cast<int>(g() % 140) - 70) << 52); break;
            case 3: b = (b & 0xFFF0000000000000ull) | (g() & 0xFFF); break;
            default: b = (b & 0xFFF0000000000000ull) | (0xFFFFFFFFFFFFFull - (g() & 0xF)); break;
        }
        const double d = std::bit_cast<double>(b);
        if (std::isfinite(d) && d != 0) return d;
    }
}

// The shortest text of d built from digits_of.
std::string shortest_text(double d) {
    char digits[32];
    int point;
    const int n = digits_of(d, 0, digits, &point);
    return std::string(d < 0 ? "-0." : "0.") + std::string(digits, static_cast<size_t>(n)) + "e" +
           std::to_string(point);
}

}  // namespace

TEST(FloatText, ShortestDigitsRoundTripEveryPattern) {
    std::mt19937_64 g(20240611);
    std::vector<double> values = {std::numeric_limits<double>::denorm_min(), -std::numeric_limits<double>::denorm_min(),
                                  std::numeric_limits<double>::min(), std::numeric_limits<double>::max(),
                                  -std::numeric_limits<double>::max(), std::nextafter(std::numeric_limits<double>::min(), 0.0),
                                  1.0, 0.1, 1e23, 5e-324, 9007199254740993.0, 2.2250738585072011e-308};
    for (int i = 0; i < 300000; i++) values.push_back(random_double(g));
    int failures = 0;
    for (size_t i = 0; i < values.size() && failures < 10; i++) {
        const double d = values[i];
        const std::string text = shortest_text(d);
        // Ours and the C library's reading both give the same double back.
        i32 rem = -1;
        if (bits(parse(text, &rem)) != bits(d) || rem != 0 || bits(std::strtod(text.c_str(), nullptr)) != bits(d)) {
            ADD_FAILURE() << std::hexfloat << d << " -> " << text;
            failures++;
            continue;
        }
        if (i % 16) continue;
        // Shortest: no correctly rounded text with fewer digits reads back;
        // closest: of its length, it is the correctly rounded one.
        char digits[32];
        int point;
        const int n = digits_of(d, 0, digits, &point);
        char ref[64];
        for (int p = 1; p < n; p++) {
            std::snprintf(ref, sizeof ref, "%.*e", p - 1, d);
            if (std::strtod(ref, nullptr) == d) {
                ADD_FAILURE() << std::hexfloat << d << ": " << ref << " is shorter than " << text;
                failures++;
            }
        }
        std::snprintf(ref, sizeof ref, "%.*e", n - 1, d);
        if (std::strtod(ref, nullptr) == d && std::strtod(ref, nullptr) != 0) {
            EXPECT_EQ(std::strtod(ref, nullptr), parse(text));
            std::string ref_digits;
            for (const char* c = ref; *c && *c != 'e'; c++)
                if (*c >= '0' && *c <= '9') ref_digits += *c;
            while (ref_digits.size() > 1 && ref_digits.back() == '0') ref_digits.pop_back();
            if (ref_digits != std::string(digits, static_cast<size_t>(n))) {
                ADD_FAILURE() << std::hexfloat << d << ": closest is " << ref << ", got " << text;
                failures++;
            }
        }
    }
}

TEST(FloatText, FormFloatTextReadsBackExactly) {
    // The layouts molding writes (positional, "0.000...", exponent form, with
    // and without the point-zero flag) all read back to the same double.
    std::mt19937_64 g(31337);
    int failures = 0;
    for (int i = 0; i < 200000 && failures < 10; i++) {
        double d = random_double(g);
        // Also values whose decimal point falls within the positional range.
        if (i % 4 == 0) d = std::ldexp(d - std::trunc(d), static_cast<int>(g() % 100) - 40);
        if (d == 0 || !std::isfinite(d)) continue;
        const bool flag = i & 1;
        const std::string text = form_float(d, 0, flag);
        i32 rem = -1;
        const double back = parse(text, &rem);
        if (bits(back) != bits(d) || rem != 0 || text.size() >= static_cast<size_t>(text_room)) {
            ADD_FAILURE() << std::hexfloat << d << " -> " << text;
            failures++;
        }
    }
}

TEST(FloatText, FixedPrecisionIsPrintfG) {
    std::mt19937_64 g(77);
    const double inf = std::numeric_limits<double>::infinity();
    char ours[text_room], ref[64];
    int failures = 0;
    auto check = [&](double d, int p) {
        std::snprintf(ref, sizeof ref, "%.*g", p, d);
        format_g(ours, d, p);
        if (std::strcmp(ours, ref) != 0 && failures++ < 10) ADD_FAILURE() << std::hexfloat << d << " %." << p << "g: " << ours << " vs " << ref;
    };
    for (int i = 0; i < 200000; i++) check(random_double(g), 1 + static_cast<int>(g() % max_precision));
    // Decimal ties (k5 x 10^e) round to even, also where the power of ten
    // used for scaling is inexact and the exact comparison decides.
    for (long k = 1; k < 400; k += 3)
        for (int e = -25; e <= 30; e++)
            for (int p = 1; p <= 4; p++) check(static_cast<double>(k * 10 + 5) * std::pow(10.0, e), p);
    // Powers of ten and their neighbours sit on the digit-count boundary,
    // where the first estimate of the decimal exponent is most often off.
    for (int e = -323; e <= 308; e++) {
        const double p = std::strtod(("1e" + std::to_string(e)).c_str(), nullptr);
        for (double d : {p, std::nextafter(p, 0.0), std::nextafter(p, inf), p * 9.999999999999999, p * 9.5})
            if (std::isfinite(d) && d != 0)
                for (int prec = 1; prec <= max_precision; prec++) check(d, prec);
    }
    for (double d : {0.5, 1.5, 2.5, 0.125, 0.375, 1.25e20, 1e22, 1e23, 9.5, 99.5, 999.5, -2.5})
        for (int p = 1; p <= 17; p++) check(d, p);
    check(0.0, 6);
    check(-0.0, 6);
}

TEST(FloatText, LayoutOfFormFloat) {
    struct Case {
        double value;
        int precision;
        bool point_zero;
        const char* text;
    } cases[] = {
        {1e17, 0, true, "1.0e17"},
        {1e16, 0, true, "10000000000000000.0"},
        {1e-7, 0, true, "0.0000001"},
        {1e-8, 0, true, "1.0e-8"},
        {1e-8, 0, false, "1e-8"},
        {0.1, 0, true, "0.1"},
        {100.0, 0, true, "100.0"},
        {100.0, 0, false, "100"},
        {-0.0, 0, true, "-0.0"},
        {-0.0, 0, false, "-0"},
        {0.0, 0, true, "0.0"},
        {0.0, 0, false, "0"},
        {-1.5, 0, true, "-1.5"},
        {123456789012345680.0, 0, true, "1.2345678901234568e17"},
        {12345678901234567.0, 0, true, "12345678901234568.0"},
        {0.1 + 0.2, 0, true, "0.30000000000000004"},
        {5e-324, 0, true, "5.0e-324"},
        {-1.7976931348623157e308, 0, true, "-1.7976931348623157e308"},
        {1.234e-5, 0, true, "0.00001234"},
        {std::numeric_limits<double>::infinity(), 0, true, "1.#INF"},
        {-std::numeric_limits<double>::infinity(), 0, true, "-1.#INF"},
        {std::numeric_limits<double>::quiet_NaN(), 0, true, "1.#NaN"},
        // Fixed precision: the seconds of a time! text.
        {59.9999999, 6, false, "60"},
        {1.5, 6, false, "1.5"},
        {12.3456789, 6, false, "12.3457"},
        {0.000012345678, 6, false, "0.0000123457"},
        {2.5, 1, false, "2"},
        {3.5, 1, false, "4"},
    };
    for (const Case& c : cases) {
        EXPECT_STREQ(form_float(c.value, c.precision, c.point_zero), c.text) << std::hexfloat << c.value;
        char out[text_room];
        EXPECT_EQ(form_float_into(out, c.value, c.precision, c.point_zero), static_cast<int>(std::strlen(c.text)));
    }
}

TEST(FloatText, DigitGeneratorSpecialCodes) {
    int point, count;
    bool negative;
    EXPECT_STREQ(dtoa(std::numeric_limits<double>::quiet_NaN(), 0, &point, &negative, &count, false), "1.#NaN");
    EXPECT_EQ(point, point_special);
    EXPECT_FALSE(negative);
    EXPECT_STREQ(dtoa(-std::numeric_limits<double>::infinity(), 0, &point, &negative, &count, false), "-1.#INF");
    EXPECT_EQ(point, point_special);
    EXPECT_STREQ(dtoa(-0.0, 0, &point, &negative, &count, true), "-0.0");
    EXPECT_EQ(point, point_zero);
    EXPECT_TRUE(negative);
    EXPECT_STREQ(dtoa(-1234.5, 0, &point, &negative, &count, false), "12345");
    EXPECT_EQ(point, 4);
    EXPECT_EQ(count, 5);
    EXPECT_TRUE(negative);
    // Precision: at most that many digits, no trailing zeros.
    EXPECT_STREQ(dtoa(1.0 / 3.0, 5, &point, &negative, &count, false), "33333");
    EXPECT_EQ(point, 0);
    EXPECT_STREQ(dtoa(0.5, 5, &point, &negative, &count, false), "5");
    EXPECT_STREQ(dtoa(9.99999, 3, &point, &negative, &count, false), "1");
    EXPECT_EQ(point, 2);
}

TEST(FloatText, ReadingEdgeCases) {
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        const char* text;
        double value;
        i32 remaining;
    } cases[] = {
        {"1.#INF", inf, 0},
        {"-1.#INF", -inf, 0},
        {"1.#inf", inf, 0},
        {"1e400", inf, 0},
        {"-1e400", -inf, 0},
        {"1e-400", 0.0, 0},
        {"-1e-400", 0.0, 0},  // an underflow is +0.0
        {"-0.0", -0.0, 0},
        {"-0", 0.0, 0},
        {"000", 0.0, 0},
        {"+2.5", 2.5, 0},
        {"1,5", 1.5, 0},  // a comma is a decimal point
        {"0,000125", 0.000125, 0},
        {"12.", 12.0, 0},
        {".5", 0.5, 0},
        // The exponent saturates instead of wrapping in 32 bits.
        {"1e4294967297", inf, 0},
        {"1e-4294967297", 0.0, 0},
        {"1e2147483648", inf, 0},
        {"1e99999999999999999999", inf, 0},
        {"0.0000001e4294967303", inf, 0},
        {"123e-4294967296", 0.0, 0},
        // Where reading stops: after the mantissa, or after the exponent.
        {"12abc", 12.0, 3},
        {"1.5e", 1.5, 1},
        {"1.5e+", 1.5, 2},
        {"2e3x", 2000.0, 1},
        {"7.25%", 7.25, 1},
        // Boundaries of the double range.
        {"4.9406564584124654e-324", std::numeric_limits<double>::denorm_min(), 0},
        {"2.4703282292062327e-324", 0.0, 0},
        {"2.4703282292062328e-324", std::numeric_limits<double>::denorm_min(), 0},
        {"2.2250738585072011e-308", std::nextafter(std::numeric_limits<double>::min(), 0.0), 0},
        {"2.2250738585072014e-308", std::numeric_limits<double>::min(), 0},
        {"1.7976931348623157e308", std::numeric_limits<double>::max(), 0},
        {"1.7976931348623158e308", std::numeric_limits<double>::max(), 0},
        {"1.7976931348623159e308", inf, 0},
        // Ties to even between two doubles.
        {"9007199254740993", 9007199254740992.0, 0},
        {"9007199254740995", 9007199254740996.0, 0},
        {"9007199254740993.0000000000000000000000001", 9007199254740994.0, 0},
        {"1e23", 1e23, 0},
        {"8.98846567431158e307", 8.98846567431158e307, 0},
    };
    for (const Case& c : cases) {
        i32 rem = -1;
        const double d = parse(c.text, &rem);
        EXPECT_EQ(bits(d), bits(c.value)) << c.text << " gave " << std::hexfloat << d;
        EXPECT_EQ(rem, c.remaining) << c.text;
    }
    // A quiet NaN with the standard pattern, whatever the sign.
    EXPECT_EQ(bits(parse("1.#NaN")), 0x7FF8000000000000ull);
    EXPECT_EQ(bits(parse("-1.#NAN")), 0x7FF8000000000000ull);
    // The caller's extra exponent moves the point.
    EXPECT_EQ(parse("15", nullptr, -1), 1.5);
    EXPECT_EQ(parse("1e308", nullptr, 1), std::numeric_limits<double>::infinity());
    // decimal_to_double is the same rounding for a mantissa and an exponent.
    EXPECT_EQ(decimal_to_double(1, 23), 1e23);
    EXPECT_EQ(decimal_to_double(18446744073709551615ull, 0), 18446744073709551616.0);
    EXPECT_EQ(decimal_to_double(0, 5), 0.0);
}

TEST(FloatText, LongInputsRoundCorrectly) {
    // 0.1 with 60 significant digits, just above and below the double 0.1.
    EXPECT_EQ(parse("0.100000000000000000000000000000000000000000000000000000000001"), 0.1);
    EXPECT_EQ(parse("0.0999999999999999999999999999999999999999999999999999999999999"), 0.1);
    // The exact expansion of a halfway point, then a digit past it: the
    // decision falls on the last of 768 digits.
    const double x = 1.0, y = std::nextafter(1.0, 2.0);
    char text[1400];
    std::snprintf(text, sizeof text, "%.1200Le", (static_cast<long double>(x) + y) / 2);
    std::string half(text);
    const size_t e = half.find('e');
    std::string mantissa = half.substr(0, e), exponent = half.substr(e);
    EXPECT_EQ(parse(mantissa + exponent), 1.0);  // tie: to even
    EXPECT_EQ(parse(mantissa + "1" + exponent), y);
    // Thousands of digits: leading and trailing zeros, and non-zero digits
    // past the 800 kept ones still count.
    EXPECT_EQ(parse("1" + std::string(5000, '0') + "e-5000"), 1.0);
    EXPECT_EQ(parse("0." + std::string(5000, '0') + "1e5001"), 1.0);
    std::string long_tie = "9007199254740993" + std::string(2000, '0');
    EXPECT_EQ(parse(long_tie + "e-2000"), 9007199254740992.0);
    EXPECT_EQ(parse(long_tie + "1e-2001"), 9007199254740994.0);
    // Random long texts against the C library.
    std::mt19937_64 g(5);
    for (int i = 0; i < 20000; i++) {
        std::string s = (g() & 1) ? "-" : "";
        const int digits = 1 + static_cast<int>(g() % (i % 10 == 0 ? 900 : 40));
        for (int k = 0; k < digits; k++) s += static_cast<char>('0' + g() % 10);
        if (g() & 1) s.insert(s.size() - g() % static_cast<u64>(digits), ".");
        s += "e" + std::to_string(static_cast<int>(g() % 720) - 360);
        double want = std::strtod(s.c_str(), nullptr);
        // An underflow of non-zero digits is +0.0; zeros keep their sign.
        if (want == 0 && s.find_first_of("123456789") < s.find('e')) want = 0.0;
        const double got = parse(s);
        if (bits(got) != bits(want)) {
            ADD_FAILURE() << s.substr(0, 80) << " gave " << std::hexfloat << got << " want " << want;
            break;
        }
    }
}

TEST(FloatText, HalfwayPointsBetweenNeighbours) {
    // The exact decimal expansion of (x + next(x)) / 2 reads as the even one
    // of the two; with a digit added, as the upper one; cut short, as x.
    std::mt19937_64 g(99);
    char text[1400];
    for (int i = 0; i < 3000; i++) {
        u64 b = g() & 0x7FFFFFFFFFFFFFFFull;
        if (i % 3 == 0) b &= (u64{1} << 52) - 1;
        if (i % 5 == 0) b = (b & 0x7FF0000000000000ull) | (g() & 0xFF);
        const double x = std::bit_cast<double>(b), y = std::nextafter(x, INFINITY);
        if (!std::isfinite(y)) continue;
        std::snprintf(text, sizeof text, "%.1200Le", (static_cast<long double>(x) + y) / 2);
        std::string s(text);
        const size_t e = s.find('e');
        const std::string mantissa = s.substr(0, e), exponent = s.substr(e);
        ASSERT_EQ(parse(mantissa + exponent), (b & 1) ? y : x) << mantissa.substr(0, 40) << exponent;
        ASSERT_EQ(parse(mantissa + "1" + exponent), y) << mantissa.substr(0, 40) << exponent;
        std::string below = mantissa;
        size_t last = below.find_last_not_of('0');
        below[last]--;
        below.resize(last + 1);
        ASSERT_EQ(parse(below + "9999" + exponent), x) << mantissa.substr(0, 40) << exponent;
    }
}
