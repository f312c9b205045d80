// Parsing: every failure reason with its position, nesting limits, escapes,
// duplicate keys, whitespace and UTF-8 validation.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "json/json.hpp"

namespace {

using orvan::json::parse;
using orvan::json::Value;
using orvan::json::write_compact;

struct Failure {
    std::string text;
    std::string message;  // "{reason} at line {line} column {column}"
};

void expect_failures(const std::vector<Failure>& cases) {
    for (const Failure& c : cases) {
        SCOPED_TRACE("input: " + c.text);
        auto result = parse(c.text);
        ASSERT_FALSE(result.ok()) << "accepted as " << write_compact(result.value());
        EXPECT_EQ(result.error().message(), c.message);
    }
}

struct Success {
    std::string text;
    std::string compact;
};

void expect_successes(const std::vector<Success>& cases) {
    for (const Success& c : cases) {
        SCOPED_TRACE("input: " + c.text);
        auto result = parse(c.text);
        ASSERT_TRUE(result.ok()) << result.error().message();
        EXPECT_EQ(write_compact(result.value()), c.compact);
    }
}

TEST(ParseError, EmptyAndBlankTexts) {
    expect_failures({
        // An empty text has no offending byte: column 0.
        {"", "EOF while parsing a value at line 1 column 0"},
        {"   ", "EOF while parsing a value at line 1 column 3"},
        {"\t\r", "EOF while parsing a value at line 1 column 2"},
        // The final line feed belongs to the line it ends.
        {"\n", "EOF while parsing a value at line 1 column 1"},
        {"\n\n", "EOF while parsing a value at line 2 column 1"},
        {"\n \n ", "EOF while parsing a value at line 3 column 1"},
    });
}

TEST(ParseError, Literals) {
    expect_failures({
        {"nul", "EOF while parsing a value at line 1 column 3"},
        {"t", "EOF while parsing a value at line 1 column 1"},
        {"fals", "EOF while parsing a value at line 1 column 4"},
        {"nulx", "expected ident at line 1 column 4"},
        {"trUe", "expected ident at line 1 column 3"},
        {"falsE", "expected ident at line 1 column 5"},
        {"[tru]", "expected ident at line 1 column 5"},
        {"[nul", "EOF while parsing a value at line 1 column 4"},
        {"nullx", "trailing characters at line 1 column 5"},
        {"true false", "trailing characters at line 1 column 6"},
        {"None", "expected value at line 1 column 1"},
        {"True", "expected value at line 1 column 1"},
    });
}

TEST(ParseError, WhatJsonDumpsWritesForNonFiniteFloats) {
    expect_failures({
        {"NaN", "expected value at line 1 column 1"},
        {"Infinity", "expected value at line 1 column 1"},
        {"-Infinity", "invalid number at line 1 column 2"},
        {"[NaN]", "expected value at line 1 column 2"},
        {"[-Infinity]", "invalid number at line 1 column 3"},
        {"{\"a\": NaN}", "expected value at line 1 column 7"},
    });
}

TEST(ParseError, NumberSyntax) {
    expect_failures({
        {"01", "invalid number at line 1 column 2"},
        {"-01", "invalid number at line 1 column 3"},
        {"[00]", "invalid number at line 1 column 3"},
        {"-a", "invalid number at line 1 column 2"},
        {"- 1", "invalid number at line 1 column 2"},
        {"1.a", "invalid number at line 1 column 3"},
        {"1.e1", "invalid number at line 1 column 3"},
        {"[1.]", "invalid number at line 1 column 4"},
        {"1ex", "invalid number at line 1 column 3"},
        {"1e+x", "invalid number at line 1 column 4"},
        {"[1e]", "invalid number at line 1 column 4"},
        {"1e+-1", "invalid number at line 1 column 4"},
        // Cut short by the end of the text.
        {"-", "EOF while parsing a value at line 1 column 1"},
        {"[-", "EOF while parsing a value at line 1 column 2"},
        {"1.", "EOF while parsing a value at line 1 column 2"},
        {"1e", "EOF while parsing a value at line 1 column 2"},
        {"1E-", "EOF while parsing a value at line 1 column 3"},
        // Not numbers at all.
        {"+1", "expected value at line 1 column 1"},
        {".5", "expected value at line 1 column 1"},
        {"1.5.3", "trailing characters at line 1 column 4"},
        {"0x10", "trailing characters at line 1 column 2"},
        {"1 2", "trailing characters at line 1 column 3"},
    });
}

TEST(ParseError, NumberOutOfRangePointsAtItsLastByte) {
    expect_failures({
        {"1e309", "number out of range at line 1 column 5"},
        {"-1e400", "number out of range at line 1 column 6"},
        {"[1.5E+999]", "number out of range at line 1 column 9"},
        {"1" + std::string(400, '0'), "number out of range at line 1 column 401"},
        {"-1" + std::string(309, '0') + ".5", "number out of range at line 1 column 313"},
        {"0.001e312", "number out of range at line 1 column 9"},
        {"1e99999999999999999999", "number out of range at line 1 column 22"},
        // Past the midpoint between the largest double and 2^1024.
        {"1.7976931348623159e308", "number out of range at line 1 column 22"},
    });
}

TEST(ParseError, Strings) {
    expect_failures({
        {"\"", "EOF while parsing a string at line 1 column 1"},
        {"\"abc", "EOF while parsing a string at line 1 column 4"},
        {"\"\\", "EOF while parsing a string at line 1 column 2"},
        {"[\"a\\\"]", "EOF while parsing a string at line 1 column 6"},
        {"\"a\nb\"",
         "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
        {std::string("\"\0\"", 3),
         "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 2"},
        {"\"\x1f\"",
         "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 2"},
        {"\"\\x\"", "invalid escape at line 1 column 3"},
        {"\"\\U0041\"", "invalid escape at line 1 column 3"},
        {"\"\\'\"", "invalid escape at line 1 column 3"},
        // A u escape is read as four bytes and judged as a whole.
        {"\"\\u12x4\"", "invalid escape at line 1 column 7"},
        {"\"\\u00G0\"", "invalid escape at line 1 column 7"},
        {"\"\\u12\"", "EOF while parsing a string at line 1 column 6"},
        {"\"\\u", "EOF while parsing a string at line 1 column 3"},
        {"'single'", "expected value at line 1 column 1"},
    });
}

TEST(ParseError, Surrogates) {
    expect_failures({
        // What json.dumps writes for lone surrogates.
        {"\"\\ud800\"", "unexpected end of hex escape at line 1 column 8"},
        {"\"\\udc00\"", "lone leading surrogate in hex escape at line 1 column 7"},
        {"[\"\\uDBFF\"]", "unexpected end of hex escape at line 1 column 9"},
        {"\"\\ud800x\"", "unexpected end of hex escape at line 1 column 8"},
        {"\"\\ud800\\n\"", "unexpected end of hex escape at line 1 column 9"},
        {"\"\\ud800\\u0041\"", "lone leading surrogate in hex escape at line 1 column 13"},
        {"\"\\ud800\\ud800\"", "lone leading surrogate in hex escape at line 1 column 13"},
        {"\"\\ude00\\ud83d\"", "lone leading surrogate in hex escape at line 1 column 7"},
        {"\"\\ud800", "EOF while parsing a string at line 1 column 7"},
        {"\"\\ud800\\", "EOF while parsing a string at line 1 column 8"},
        {"\"\\ud800\\u12", "EOF while parsing a string at line 1 column 11"},
    });
}

TEST(ParseError, InvalidUtf8PointsAtTheFirstBadByte) {
    expect_failures({
        {"\"\xff\"", "invalid UTF-8 at line 1 column 2"},
        {"\"\x80\"", "invalid UTF-8 at line 1 column 2"},
        {"\"ab\xc3\"",
         "invalid UTF-8 at line 1 column 5"},  // truncated: the quote is not a continuation
        {"\"\xc0\xaf\"", "invalid UTF-8 at line 1 column 2"},          // overlong '/'
        {"\"\xe0\x80\xaf\"", "invalid UTF-8 at line 1 column 3"},      // overlong, three bytes
        {"\"\xf0\x80\x80\xaf\"", "invalid UTF-8 at line 1 column 3"},  // overlong, four bytes
        {"\"\xed\xa0\x80\"", "invalid UTF-8 at line 1 column 3"},      // encoded surrogate D800
        {"\"\xed\xbf\xbf\"", "invalid UTF-8 at line 1 column 3"},      // encoded surrogate DFFF
        {"\"\xf4\x90\x80\x80\"", "invalid UTF-8 at line 1 column 3"},  // above U+10FFFF
        {"\"\xf5\x80\x80\x80\"", "invalid UTF-8 at line 1 column 2"},
        {"\"\xe2\x82\"", "invalid UTF-8 at line 1 column 4"},
        {"\"\xf0\x9f\x98\"", "invalid UTF-8 at line 1 column 5"},
        {"\"\xc3", "invalid UTF-8 at line 1 column 2"},
        {"{\"k\xfe\":1}", "invalid UTF-8 at line 1 column 4"},
        // Outside strings a non-ASCII byte is simply not a value.
        {"\xff", "expected value at line 1 column 1"},
        {"\xef\xbb\xbf{}", "expected value at line 1 column 1"},  // byte order mark
    });
}

TEST(ParseError, Arrays) {
    expect_failures({
        {"[", "EOF while parsing a list at line 1 column 1"},
        {"[ ", "EOF while parsing a list at line 1 column 2"},
        {"[1", "EOF while parsing a list at line 1 column 2"},
        {"[1 ", "EOF while parsing a list at line 1 column 3"},
        {"[1,", "EOF while parsing a value at line 1 column 3"},
        {"[1,]", "trailing comma at line 1 column 4"},
        {"[1, ]", "trailing comma at line 1 column 5"},
        {"[1 2]", "expected `,` or `]` at line 1 column 4"},
        {"[1:2]", "expected `,` or `]` at line 1 column 3"},
        {"[1}", "expected `,` or `]` at line 1 column 3"},
        {"[,1]", "expected value at line 1 column 2"},
        {"[1,,2]", "expected value at line 1 column 4"},
        {"[}", "expected value at line 1 column 2"},
        {"]", "expected value at line 1 column 1"},
        {"[[]", "EOF while parsing a list at line 1 column 3"},
        {"[]]", "trailing characters at line 1 column 3"},
    });
}

TEST(ParseError, Objects) {
    expect_failures({
        {"{", "EOF while parsing an object at line 1 column 1"},
        {"{\"a\"", "EOF while parsing an object at line 1 column 4"},
        {"{\"a\" ", "EOF while parsing an object at line 1 column 5"},
        {"{\"a\":", "EOF while parsing a value at line 1 column 5"},
        {"{\"a\":1", "EOF while parsing an object at line 1 column 6"},
        {"{\"a\":1,", "EOF while parsing a value at line 1 column 7"},
        {"{\"a", "EOF while parsing a string at line 1 column 3"},
        {"{\"a\" 1}", "expected `:` at line 1 column 6"},
        {"{\"a\",1}", "expected `:` at line 1 column 5"},
        {"{\"a\":1 \"b\":2}", "expected `,` or `}` at line 1 column 8"},
        {"{\"a\":1]", "expected `,` or `}` at line 1 column 7"},
        {"{\"a\":1,}", "trailing comma at line 1 column 8"},
        {"{1:2}", "key must be a string at line 1 column 2"},
        {"{,}", "key must be a string at line 1 column 2"},
        {"{\"a\":1,2}", "key must be a string at line 1 column 8"},
        {"{'a':1}", "key must be a string at line 1 column 2"},
        {"{null:1}", "key must be a string at line 1 column 2"},
        {"{\"a\":}", "expected value at line 1 column 6"},
        {"{}}", "trailing characters at line 1 column 3"},
    });
}

TEST(ParseError, PositionsOnLaterLines) {
    expect_failures({
        {"[\n1,\n  x]", "expected value at line 3 column 3"},
        {"{\n\"a\": 1\n\n,}", "trailing comma at line 4 column 2"},
        {"[1,\r\n2,\r\n]", "trailing comma at line 3 column 1"},  // CR is just a byte
        {"\n\n\n   tru", "EOF while parsing a value at line 4 column 6"},
        {"[\n\"x\n\"]",
         "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 3"},
        {"{}\n\n  ,", "trailing characters at line 3 column 3"},
        {"[1,\n", "EOF while parsing a value at line 1 column 4"},
        {"[\n  1e999\n]", "number out of range at line 2 column 7"},
    });
}

TEST(ParseError, OnlyFourWhitespaceCharacters) {
    expect_failures({
        {"\f1", "expected value at line 1 column 1"},
        {"\v1", "expected value at line 1 column 1"},
        {"1\f", "trailing characters at line 1 column 2"},
        {"[1,\xc2\xa0"
         "2]",
         "expected value at line 1 column 4"},  // no-break space
    });
    expect_successes({{" \t\r\n1 \t\r\n", "1"}, {"\r\n[\t1\r,\n2 ]\n", "[1,2]"}});
}

TEST(ParseError, ErrorCarriesOffsetLineAndColumn) {
    auto result = parse("[1,\n  ?]");
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().reason, "expected value");
    EXPECT_EQ(result.error().offset, 6u);
    EXPECT_EQ(result.error().line, 2u);
    EXPECT_EQ(result.error().column, 3u);
}

std::string nested_arrays(int depth) {
    return std::string(static_cast<std::size_t>(depth), '[') +
           std::string(static_cast<std::size_t>(depth), ']');
}

TEST(ParseNesting, At127LevelsAcceptedAt128Refused) {
    auto ok = parse(nested_arrays(127));
    ASSERT_TRUE(ok) << ok.error().message();
    EXPECT_EQ(write_compact(ok.value()), nested_arrays(127));

    expect_failures({
        {nested_arrays(128), "recursion limit exceeded at line 1 column 128"},
        {std::string(128, '['), "recursion limit exceeded at line 1 column 128"},
        {std::string(5000, '['), "recursion limit exceeded at line 1 column 128"},
        {" " + nested_arrays(128), "recursion limit exceeded at line 1 column 129"},
    });
}

TEST(ParseNesting, ObjectsAndArraysShareTheBudget) {
    std::string objects;
    for (int i = 0; i < 128; ++i) objects += "{\"a\":";
    // The 128th brace sits after 127 five-byte prefixes.
    expect_failures({{objects, "recursion limit exceeded at line 1 column 636"}});

    std::string mixed;
    for (int i = 0; i < 127; ++i) mixed += i % 2 ? "{\"k\":" : "[";
    std::string closing;
    for (int i = 126; i >= 0; --i) closing += i % 2 ? "}" : "]";
    auto ok = parse(mixed + "1" + closing);
    EXPECT_TRUE(ok) << ok.error().message();
    expect_failures({{mixed + "[]" + closing, "recursion limit exceeded at line 1 column 380"}});
}

TEST(ParseNesting, LeavingAContainerGivesTheUnitBack) {
    // Two sibling chains of 126 inside one array never exceed 127 at once.
    const std::string chain = nested_arrays(126);
    auto ok = parse("[" + chain + "," + chain + "]");
    EXPECT_TRUE(ok) << ok.error().message();
    // The error position is inside the second chain, not the first.
    const std::string deep = nested_arrays(127);
    expect_failures(
        {{"[" + chain + "," + deep + "]", "recursion limit exceeded at line 1 column 381"}});
}

TEST(ParseString, EscapesDecodeToUtf8) {
    expect_successes({
        {R"("\u0041\u00e9\u20AC\/")", "\"A\xc3\xa9\xe2\x82\xac/\""},
        {R"("\"\\\b\f\n\r\t")", R"("\"\\\b\f\n\r\t")"},
        {R"("\u0000")", R"("\u0000")"},
        {R"("\u001B\u007f")", "\"\\u001b\x7f\""},
        {R"("\ud83d\ude00")", "\"\xf0\x9f\x98\x80\""},
        {R"("\uD800\uDC00")", "\"\xf0\x90\x80\x80\""},          // lowest pair: U+10000
        {R"("\uDBFF\uDFFF")", "\"\xf4\x8f\xbf\xbf\""},          // highest pair: U+10FFFF
        {R"("\uFFFF\uFFFE")", "\"\xef\xbf\xbf\xef\xbf\xbe\""},  // noncharacters are characters
        {"\"\xf4\x8f\xbf\xbf\xc2\x80\xdf\xbf\xe0\xa0\x80\"",
         "\"\xf4\x8f\xbf\xbf\xc2\x80\xdf\xbf\xe0\xa0\x80\""},
        {"\"\x7f\"", "\"\x7f\""},
    });
}

TEST(ParseString, KeysDecodeLikeValues) {
    auto result = parse(R"({"\u00e9\ud83d\ude00":1,"a\nb":2})");
    ASSERT_TRUE(result);
    const Value& obj = result.value();
    ASSERT_NE(obj.find("\xc3\xa9\xf0\x9f\x98\x80"), nullptr);
    EXPECT_EQ(obj.find("\xc3\xa9\xf0\x9f\x98\x80")->as_uint(), 1u);
    ASSERT_NE(obj.find("a\nb"), nullptr);
    EXPECT_EQ(obj.find("a\nb")->as_uint(), 2u);
}

TEST(ParseString, EmbeddedNulKeepsItsLength) {
    auto result = parse(R"(["a\u0000b"])");
    ASSERT_TRUE(result);
    EXPECT_EQ(result.value()[0].as_string(), std::string_view("a\0b", 3));
}

TEST(ParseObject, DuplicateKeysLastOneWins) {
    expect_successes({
        {R"({"a":1,"a":2})", R"({"a":2})"},
        {R"({"a":1,"b":0,"a":3})", R"({"a":3,"b":0})"},
        {R"({"a":{"x":1},"a":[]})", R"({"a":[]})"},
        {R"({"b":1,"a":2,"b":3,"a":4,"b":5})", R"({"a":4,"b":5})"},
        // Keys that only look alike once escaped are the same key.
        {R"({"\u0061":1,"a":2})", R"({"a":2})"},
        {R"({"a":2,"\u0061":1})", R"({"a":1})"},
    });
}

TEST(ParseObject, MembersSortedByBytes) {
    expect_successes({
        {R"({"b":1,"a":2,"B":3})", R"({"B":3,"a":2,"b":1})"},
        {R"({"ab":1,"a":2,"":3,"b":4})", R"({"":3,"a":2,"ab":1,"b":4})"},
        {R"({"\ud83d\ude00":1,"\uffff":2,"\u00e9":3})",
         "{\"\xc3\xa9\":3,\"\xef\xbf\xbf\":2,\"\xf0\x9f\x98\x80\":1}"},
    });
}

TEST(ParseDocument, ValuesOfEveryKind) {
    expect_successes({
        {"null", "null"},
        {"true", "true"},
        {"false", "false"},
        {"[]", "[]"},
        {"{}", "{}"},
        {"[ ]", "[]"},
        {"{ }", "{}"},
        {"\"\"", "\"\""},
        {R"([null,true,false,0,-1,0.5,"s",[],{}])", R"([null,true,false,0,-1,0.5,"s",[],{}])"},
        {R"({"a":[{"b":[{"c":null}]}]})", R"({"a":[{"b":[{"c":null}]}]})"},
    });
}

TEST(ParseDocument, RoundTripThroughCompactText) {
    const std::string text = R"(
        {"z": [1, -2, 3.25e2, 1e-7, -0.0, 18446744073709551615, -9223372036854775808,
               18446744073709551616, "\u00e9\ud834\udd1e\t", {"": {}}, []],
         "a": {"nested": [true, false, null], "B": "x"}, "Z": 0.1})";
    auto first = parse(text);
    ASSERT_TRUE(first) << first.error().message();
    const std::string compact = write_compact(first.value());
    auto second = parse(compact);
    ASSERT_TRUE(second) << second.error().message();
    EXPECT_EQ(second.value(), first.value());
    EXPECT_EQ(write_compact(second.value()), compact);
    EXPECT_EQ(
        compact,
        "{\"Z\":0.1,\"a\":{\"B\":\"x\",\"nested\":[true,false,null]},\"z\":[1,-2,325.0,1e-7,-0.0,"
        "18446744073709551615,-9223372036854775808,1.8446744073709552e+19,"
        "\"\xc3\xa9\xf0\x9d\x84\x9e\\t\",{\"\":{}},[]]}");
}

TEST(ParseDocument, ResultMovesItsValueOut) {
    auto result = parse(R"(["x"])");
    ASSERT_TRUE(result.ok());
    Value taken = std::move(result).value();
    EXPECT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0].as_string(), "x");
}

}  // namespace
