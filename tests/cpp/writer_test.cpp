// The compact text form: exact bytes for every kind of value.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <ostream>
#include <string>

#include "json/json.hpp"

namespace {

using orvan::json::Value;
using orvan::json::write_compact;

struct DoubleCase {
    double value;
    const char* text;
};

// Readable test names in ctest output instead of raw bytes.
void PrintTo(const DoubleCase& c, std::ostream* os) {
    *os << c.text;
}

class WriteDouble : public ::testing::TestWithParam<DoubleCase> {};

TEST_P(WriteDouble, GoldenText) {
    EXPECT_EQ(write_compact(Value::real(GetParam().value)), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Layout, WriteDouble,
    ::testing::Values(
        // Signed zeros and integral values keep a ".0".
        DoubleCase{0.0, "0.0"}, DoubleCase{-0.0, "-0.0"}, DoubleCase{1.0, "1.0"},
        DoubleCase{-1.0, "-1.0"}, DoubleCase{100.0, "100.0"},
        DoubleCase{123456789.0, "123456789.0"},
        // The fixed layout reaches up to exponent 15 and down to -5.
        DoubleCase{1e15, "1000000000000000.0"},
        DoubleCase{9999999999999998.0, "9999999999999998.0"}, DoubleCase{1e16, "1e+16"},
        DoubleCase{1.2345678901234568e17, "1.2345678901234568e+17"}, DoubleCase{1e-5, "0.00001"},
        DoubleCase{0.000025, "0.000025"}, DoubleCase{1e-6, "1e-6"}, DoubleCase{1.5e-6, "1.5e-6"},
        DoubleCase{-1.5e-6, "-1.5e-6"}, DoubleCase{0.1, "0.1"}, DoubleCase{12.5, "12.5"},
        DoubleCase{3.14159, "3.14159"}, DoubleCase{123456.789, "123456.789"},
        // Shortest digits, not the exact binary expansion.
        DoubleCase{0.1 + 0.2, "0.30000000000000004"}, DoubleCase{1.0 / 3.0, "0.3333333333333333"},
        // Extremes: exponent without leading zeros, explicit plus sign.
        DoubleCase{5e-324, "5e-324"}, DoubleCase{-5e-324, "-5e-324"},
        DoubleCase{2.2250738585072014e-308, "2.2250738585072014e-308"},
        DoubleCase{1.7976931348623157e308, "1.7976931348623157e+308"},
        DoubleCase{-1.7976931348623157e308, "-1.7976931348623157e+308"},
        DoubleCase{1.8446744073709552e19, "1.8446744073709552e+19"}, DoubleCase{1e100, "1e+100"},
        DoubleCase{1e21, "1e+21"}, DoubleCase{1e22, "1e+22"}, DoubleCase{1e23, "1e+23"}));

TEST(WriteInteger, FullRanges) {
    EXPECT_EQ(write_compact(Value::uint(0)), "0");
    EXPECT_EQ(write_compact(Value::uint(std::numeric_limits<std::uint64_t>::max())),
              "18446744073709551615");
    EXPECT_EQ(write_compact(Value::neg_int(-1)), "-1");
    EXPECT_EQ(write_compact(Value::neg_int(std::numeric_limits<std::int64_t>::min())),
              "-9223372036854775808");
}

TEST(WriteLiteral, NullAndBooleans) {
    EXPECT_EQ(write_compact(Value()), "null");
    EXPECT_EQ(write_compact(Value::boolean(true)), "true");
    EXPECT_EQ(write_compact(Value::boolean(false)), "false");
}

struct StringCase {
    std::string input;
    std::string text;
};

void PrintTo(const StringCase& c, std::ostream* os) {
    *os << c.text;
}

class WriteString : public ::testing::TestWithParam<StringCase> {};

TEST_P(WriteString, Escapes) {
    EXPECT_EQ(write_compact(Value::string(GetParam().input)), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Table, WriteString,
    ::testing::Values(StringCase{"", R"("")"}, StringCase{"plain", R"("plain")"},
                      StringCase{"\"", R"("\"")"}, StringCase{"\\", R"("\\")"},
                      StringCase{"\b\t\n\f\r", R"("\b\t\n\f\r")"},
                      // Other controls become \u00XX with lowercase hex; NUL survives.
                      StringCase{std::string("a\0b", 3), R"("a\u0000b")"},
                      StringCase{"\x01\x0b\x1f", R"("\u0001\u000b\u001f")"},
                      // é raw, ESC escaped, solidus and DEL raw.
                      StringCase{"\xc3\xa9\x1b/\x7f", "\"\xc3\xa9\\u001b/\x7f\""},
                      // Non-BMP characters stay as their four UTF-8 bytes.
                      StringCase{"\xf0\x9f\x98\x80", "\"\xf0\x9f\x98\x80\""},
                      StringCase{"\xe2\x80\xa8\xe2\x80\xa9", "\"\xe2\x80\xa8\xe2\x80\xa9\""}));

TEST(WriteContainer, EmptyAndNested) {
    EXPECT_EQ(write_compact(Value::array()), "[]");
    EXPECT_EQ(write_compact(Value::object()), "{}");

    Value inner = Value::array();
    inner.push_back(Value::uint(1));
    inner.push_back(Value());
    inner.push_back(Value::object());
    Value outer = Value::object();
    outer.set("list", std::move(inner));
    outer.set("x", Value::real(0.5));
    EXPECT_EQ(write_compact(outer), R"({"list":[1,null,{}],"x":0.5})");
}

TEST(WriteContainer, KeysInByteOrderNotInsertionOrder) {
    Value obj = Value::object();
    obj.set("b", Value::uint(1));
    obj.set("a", Value::uint(2));
    obj.set("B", Value::uint(3));
    EXPECT_EQ(write_compact(obj), R"({"B":3,"a":2,"b":1})");
}

TEST(WriteContainer, NonBmpKeySortsAfterHighBmpKey) {
    // U+1F600 is above U+FFFD in code points and in UTF-8 bytes (F0 > EF);
    // a UTF-16 order would put it first.
    Value obj = Value::object();
    obj.set("\xf0\x9f\x98\x80", Value::uint(1));
    obj.set("\xef\xbf\xbd", Value::uint(2));
    obj.set("z", Value::uint(3));
    EXPECT_EQ(write_compact(obj), "{\"z\":3,\"\xef\xbf\xbd\":2,\"\xf0\x9f\x98\x80\":1}");
}

TEST(WriteContainer, KeysAreEscapedLikeStrings) {
    Value obj = Value::object();
    obj.set("a\"b\n", Value());
    EXPECT_EQ(write_compact(obj), R"({"a\"b\n":null})");
}

TEST(WriteCompact, AppendsToExistingText) {
    std::string out = "prefix:";
    write_compact(Value::uint(7), out);
    write_compact(Value::boolean(false), out);
    EXPECT_EQ(out, "prefix:7false");
}

}  // namespace
