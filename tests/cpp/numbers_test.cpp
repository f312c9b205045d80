// Numbers: which of the three forms a text becomes, range limits, rounding
// of decimal texts to doubles, and the written form of doubles checked
// against std::from_chars as an outside oracle.
#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "json/json.hpp"

namespace {

using orvan::json::parse;
using orvan::json::Value;
using orvan::json::write_compact;
using Kind = Value::Kind;

std::uint64_t bits(double d) {
    return std::bit_cast<std::uint64_t>(d);
}

Value parse_ok(const std::string& text) {
    auto result = parse(text);
    EXPECT_TRUE(result.ok()) << text << ": " << result.error().message();
    return result.ok() ? std::move(result).value() : Value();
}

TEST(NumberForm, IntegersWithinRangeStayIntegers) {
    struct Case {
        const char* text;
        Kind kind;
        std::uint64_t magnitude;  // as_uint() for Uint, -as_int() for Int
    };
    const Case cases[] = {
        {"0", Kind::Uint, 0},
        {"7", Kind::Uint, 7},
        {"18446744073709551615", Kind::Uint, 18446744073709551615u},
        {"-1", Kind::Int, 1},
        {"-9223372036854775807", Kind::Int, 9223372036854775807u},
        {"-9223372036854775808", Kind::Int, 9223372036854775808u},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Value v = parse_ok(c.text);
        ASSERT_EQ(v.kind(), c.kind);
        if (c.kind == Kind::Uint) {
            EXPECT_EQ(v.as_uint(), c.magnitude);
        } else {
            EXPECT_EQ(0 - static_cast<std::uint64_t>(v.as_int()), c.magnitude);
        }
        EXPECT_EQ(write_compact(v), c.text);
    }
}

TEST(NumberForm, EverythingElseIsADouble) {
    struct Case {
        const char* text;
        double value;
        const char* written;
    };
    const Case cases[] = {
        {"18446744073709551616", 18446744073709551616.0, "1.8446744073709552e+19"},
        {"99999999999999999999", 1e20, "1e+20"},
        {"-9223372036854775809", -9223372036854775808.0, "-9.223372036854776e+18"},
        {"-0", -0.0, "-0.0"},
        {"-0.0", -0.0, "-0.0"},
        {"0.0", 0.0, "0.0"},
        {"0e5", 0.0, "0.0"},
        {"-0E-5", -0.0, "-0.0"},
        {"1.0", 1.0, "1.0"},
        {"1e0", 1.0, "1.0"},
        {"1E2", 100.0, "100.0"},
        {"1e+2", 100.0, "100.0"},
        {"0.1e1", 1.0, "1.0"},
        {"12.5", 12.5, "12.5"},
        {"1e-7", 1e-7, "1e-7"},
        {"0.00001", 1e-5, "0.00001"},
        {"123456789012345678901234567890", 1.2345678901234568e29, "1.2345678901234568e+29"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Value v = parse_ok(c.text);
        ASSERT_EQ(v.kind(), Kind::Double);
        EXPECT_EQ(bits(v.as_double()), bits(c.value));
        EXPECT_EQ(write_compact(v), c.written);
    }
}

TEST(NumberForm, LongIntegerTextBecomesTheNearestDouble) {
    const std::string ten_to_308 = "1" + std::string(308, '0');
    Value v = parse_ok(ten_to_308);
    ASSERT_EQ(v.kind(), Kind::Double);
    EXPECT_EQ(v.as_double(), 1e308);
    EXPECT_EQ(write_compact(v), "1e+308");
}

TEST(NumberRounding, CorrectlyRoundedAtTheEdges) {
    struct Case {
        const char* text;
        double value;
    };
    const Case cases[] = {
        // Underflow keeps the sign.
        {"1e-400", 0.0},
        {"-1e-400", -0.0},
        {"1e-99999999999999999999", 0.0},
        {"-123.456e-400", -0.0},
        {"0.0000000001e-320", 0.0},
        // Around half the smallest subnormal: ties go to even (zero).
        {"2.4703282292062327e-324", 0.0},
        {"2.4703282292062328e-324", 5e-324},
        {"3e-324", 5e-324},
        {"-3e-324", -5e-324},
        {"4.9406564584124654e-324", 5e-324},
        // Largest double, and a text that still rounds down to it.
        {"1.7976931348623157e308", 1.7976931348623157e308},
        {"1.7976931348623158e308", 1.7976931348623157e308},
        {"-1.7976931348623158e308", -1.7976931348623157e308},
        // Smallest normal and its neighbourhood.
        {"2.2250738585072014e-308", 2.2250738585072014e-308},
        {"2.2250738585072011e-308", 2.225073858507201e-308},
        // Classic hard cases for naive scaling.
        {"9007199254740993.0", 9007199254740992.0},
        {"9007199254740993.0000000001", 9007199254740994.0},
        {"0.1", 0.1},
        {"0.30000000000000004", 0.30000000000000004},
        {"8.988465674311579e307", 8.988465674311579e307},
        {"1.00000000000000011102230246251565404236316680908203125", 1.0},
        {"1.00000000000000011102230246251565404236316680908203126", 1.0000000000000002},
        {"7.2057594037927933e16", 72057594037927936.0},
        // Many digits, large exponents.
        {"0.000000000000000000000000000000000000000000001e+45", 1.0},
        {"100000000000000000000000000000000000000000000e-44", 1.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Value v = parse_ok(c.text);
        ASSERT_EQ(v.kind(), Kind::Double);
        EXPECT_EQ(bits(v.as_double()), bits(c.value)) << v.as_double();
    }
}

// The fixed layout holds exactly the doubles from 1e-5 up to below 1e16.
bool fixed_layout_expected(double d) {
    const double a = std::fabs(d);
    return a == 0 || (a >= 1e-5 && a < 1e16);
}

// Checks the written text's shape independently of how it was produced.
void expect_layout(const std::string& text, double d) {
    const std::size_t e = text.find('e');
    if (fixed_layout_expected(d)) {
        ASSERT_EQ(e, std::string::npos) << text;
        const std::size_t point = text.find('.');
        ASSERT_NE(point, std::string::npos) << text;
        ASSERT_LT(point + 1, text.size()) << text;
        // Only "x.0" may end in a zero.
        if (text.back() == '0') {
            EXPECT_EQ(text[text.size() - 2], '.') << text;
        }
    } else {
        ASSERT_NE(e, std::string::npos) << text;
        ASSERT_LT(e + 2, text.size()) << text;
        EXPECT_TRUE(text[e + 1] == '+' || text[e + 1] == '-') << text;
        EXPECT_NE(text[e + 2], '0') << text;  // no leading zeros in the exponent
        EXPECT_NE(text[e - 1], '0') << text;  // no trailing zeros in the digits
        EXPECT_NE(text[e - 1], '.') << text;
    }
}

void check_round_trip(double d) {
    const std::string text = write_compact(Value::real(d));
    double back = 0;
    auto r = std::from_chars(text.data(), text.data() + text.size(), back);
    ASSERT_EQ(r.ec, std::errc()) << text;
    ASSERT_EQ(r.ptr, text.data() + text.size()) << text;
    ASSERT_EQ(bits(back), bits(d)) << text;
    expect_layout(text, d);

    auto parsed = parse(text);
    ASSERT_TRUE(parsed.ok()) << text << ": " << parsed.error().message();
    ASSERT_EQ(parsed.value().kind(), Kind::Double) << text;
    ASSERT_EQ(bits(parsed.value().as_double()), bits(d)) << text;
}

TEST(NumberRoundTrip, MillionRandomBitPatterns) {
    std::mt19937_64 rng(20240611);
    int checked = 0;
    while (checked < 1000000) {
        const double d = std::bit_cast<double>(rng());
        if (!std::isfinite(d)) continue;
        check_round_trip(d);
        if (::testing::Test::HasFatalFailure()) return;
        ++checked;
    }
    EXPECT_EQ(checked, 1000000);
}

TEST(NumberRoundTrip, LayoutBoundariesAndNeighbours) {
    std::vector<double> values = {1e-5,
                                  1e16,
                                  1e15,
                                  1e-6,
                                  5e-324,
                                  2.2250738585072014e-308,
                                  std::numeric_limits<double>::max(),
                                  9007199254740992.0,
                                  0.1,
                                  1.0};
    for (int p = -320; p <= 308; ++p) values.push_back(std::pow(10.0, p));
    for (std::size_t i = 0, n = values.size(); i < n; ++i) {
        const double v = values[i];
        values.push_back(std::nextafter(v, 0.0));
        values.push_back(std::nextafter(v, std::numeric_limits<double>::infinity()));
    }
    for (double v : values) {
        if (!std::isfinite(v) || v == 0) continue;
        check_round_trip(v);
        check_round_trip(-v);
        if (::testing::Test::HasFatalFailure()) return;
    }
}

TEST(NumberRoundTrip, RandomDecimalTextsMatchFromChars) {
    // Texts of up to 25 significant digits and wide exponents: our reading
    // must agree bit for bit with the correctly rounded from_chars.
    std::mt19937_64 rng(7);
    for (int i = 0; i < 200000; ++i) {
        std::string text;
        if (rng() & 1) text += '-';
        const int int_digits = 1 + static_cast<int>(rng() % 12);
        text += static_cast<char>('1' + rng() % 9);
        for (int k = 1; k < int_digits; ++k) text += static_cast<char>('0' + rng() % 10);
        const int frac_digits = static_cast<int>(rng() % 14);
        if (frac_digits > 0) {
            text += '.';
            for (int k = 0; k < frac_digits; ++k) text += static_cast<char>('0' + rng() % 10);
        }
        text += 'e';
        text += std::to_string(static_cast<int>(rng() % 640) - 330);

        double expected = 0;
        auto r = std::from_chars(text.data(), text.data() + text.size(), expected);
        auto parsed = parse(text);
        if (r.ec == std::errc::result_out_of_range) continue;  // covered by the edge table
        ASSERT_EQ(r.ec, std::errc()) << text;
        ASSERT_TRUE(parsed.ok()) << text << ": " << parsed.error().message();
        ASSERT_EQ(bits(parsed.value().as_double()), bits(expected)) << text;
    }
}

}  // namespace
