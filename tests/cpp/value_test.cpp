// The value model: ownership, copies, equality and object member rules.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "json/json.hpp"

namespace {

using orvan::json::Key;
using orvan::json::Member;
using orvan::json::parse;
using orvan::json::Value;
using orvan::json::write_compact;
using Kind = Value::Kind;

std::vector<std::string> keys_of(const Value& obj) {
    std::vector<std::string> keys;
    for (const Member& m : obj.members()) keys.emplace_back(std::string_view(m.key));
    return keys;
}

TEST(ValueObject, SetReplacesAndKeepsKeyOrder) {
    Value obj = Value::object();
    obj.set("b", Value::uint(1));
    obj.set("a", Value::uint(2));
    obj.set("B", Value::uint(3));
    obj.set("a", Value::string("again"));
    EXPECT_EQ(obj.size(), 3u);
    EXPECT_EQ(keys_of(obj), (std::vector<std::string>{"B", "a", "b"}));
    ASSERT_NE(obj.find("a"), nullptr);
    EXPECT_EQ(obj.find("a")->as_string(), "again");
    EXPECT_EQ(obj.find("A"), nullptr);
    EXPECT_EQ(obj.find(""), nullptr);
}

TEST(ValueObject, KeysCompareAsUnsignedBytes) {
    // A signed-char comparison would put the non-ASCII keys first.
    Value obj = Value::object();
    for (const char* key : {"\xc3\xa9", "~", "\xf0\x9f\x98\x80", "", "\x7f", "\xef\xbf\xbf"}) {
        obj.set(key, Value());
    }
    EXPECT_EQ(keys_of(obj), (std::vector<std::string>{"", "~", "\x7f", "\xc3\xa9", "\xef\xbf\xbf",
                                                      "\xf0\x9f\x98\x80"}));
}

TEST(ValueObject, KeysMayHoldNul) {
    Value obj = Value::object();
    obj.set(std::string_view("a\0b", 3), Value::uint(1));
    obj.set("a", Value::uint(2));
    EXPECT_EQ(obj.size(), 2u);
    EXPECT_EQ(obj.find(std::string_view("a\0b", 3))->as_uint(), 1u);
    EXPECT_EQ(write_compact(obj), R"({"a":2,"a\u0000b":1})");
}

TEST(ValueObject, ManyKeysInReverseOrder) {
    Value obj = Value::object();
    for (int i = 999; i >= 0; --i)
        obj.set("k" + std::to_string(1000 + i), Value::uint(static_cast<unsigned>(i)));
    ASSERT_EQ(obj.size(), 1000u);
    std::string previous;
    for (const Member& m : obj.members()) {
        EXPECT_LT(previous, std::string_view(m.key));
        previous = std::string_view(m.key);
    }
    EXPECT_EQ(obj.find("k1500")->as_uint(), 500u);
}

TEST(ValueAccess, WrongKindGivesEmptyViews) {
    const Value values[] = {Value(), Value::boolean(true), Value::uint(3), Value::string("abc")};
    for (const Value& v : values) {
        EXPECT_EQ(v.size(), 0u);
        EXPECT_TRUE(v.elements().empty());
        EXPECT_TRUE(v.members().empty());
        EXPECT_EQ(v.find("abc"), nullptr);
    }
    EXPECT_EQ(Value::uint(3).as_string(), "");
    EXPECT_TRUE(Value::object().elements().empty());
    EXPECT_TRUE(Value::array().members().empty());
}

TEST(ValueArray, PushBackAndIndex) {
    Value arr = Value::array();
    arr.push_back(Value::string("x"));
    arr.push_back(Value::neg_int(-5));
    arr.push_back(Value::array());
    ASSERT_EQ(arr.size(), 3u);
    EXPECT_EQ(arr[0].as_string(), "x");
    EXPECT_EQ(arr[1].as_int(), -5);
    EXPECT_EQ(arr[2].kind(), Kind::Array);
    EXPECT_EQ(arr.elements().size(), 3u);
}

TEST(ValueOwnership, CopiesAreDeep) {
    Value original = Value::object();
    Value list = Value::array();
    list.push_back(Value::string("shared?"));
    original.set("list", std::move(list));

    Value copy = original;
    Value assigned;
    assigned = original;
    original.set("list", Value::uint(0));

    for (const Value* v : {&copy, &assigned}) {
        ASSERT_EQ(v->find("list")->kind(), Kind::Array);
        EXPECT_EQ((*v->find("list"))[0].as_string(), "shared?");
    }
    EXPECT_EQ(write_compact(original), R"({"list":0})");
}

TEST(ValueOwnership, MovesLeaveNull) {
    Value s = Value::string("text");
    Value t = std::move(s);
    EXPECT_EQ(s.kind(), Kind::Null);  // NOLINT(bugprone-use-after-move): documented state
    EXPECT_EQ(t.as_string(), "text");

    Value u = Value::array();
    u = std::move(t);
    EXPECT_EQ(t.kind(), Kind::Null);  // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(u.as_string(), "text");
}

TEST(ValueOwnership, SelfAssignmentKeepsTheValue) {
    Value v = Value::string("same");
    Value& alias = v;
    v = alias;
    EXPECT_EQ(v.as_string(), "same");
    v = std::move(alias);
    EXPECT_EQ(v.as_string(), "same");
}

TEST(ValueEquality, NumbersCompareWithTheirForm) {
    struct Case {
        Value a, b;
        bool equal;
    };
    const Case cases[] = {
        {Value::uint(1), Value::uint(1), true},
        {Value::uint(1), Value::real(1.0), false},
        {Value::neg_int(-1), Value::real(-1.0), false},
        {Value::real(0.0), Value::real(-0.0), false},
        {Value::real(-0.0), Value::real(-0.0), true},
        {Value::real(0.1), Value::real(0.1), true},
        {Value(), Value::boolean(false), false},
        {Value::boolean(true), Value::boolean(true), true},
        {Value::string("a"), Value::string("a"), true},
        {Value::string("a"), Value::string(std::string_view("a\0", 2)), false},
        {Value::array(), Value::object(), false},
        {Value::array(), Value::array(), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(write_compact(c.a) + " vs " + write_compact(c.b));
        EXPECT_EQ(c.a == c.b, c.equal);
        EXPECT_EQ(c.b == c.a, c.equal);
    }
}

TEST(ValueEquality, ContainersCompareDeeply) {
    auto make = [](const char* key, std::uint64_t n) {
        Value obj = Value::object();
        Value arr = Value::array();
        arr.push_back(Value::uint(n));
        obj.set(key, std::move(arr));
        return obj;
    };
    EXPECT_EQ(make("k", 1), make("k", 1));
    EXPECT_FALSE(make("k", 1) == make("k", 2));
    EXPECT_FALSE(make("k", 1) == make("j", 1));
    Value bigger = make("k", 1);
    bigger.set("z", Value());
    EXPECT_FALSE(make("k", 1) == bigger);
}

Value parsed(const char* text) {
    auto result = parse(text);
    EXPECT_TRUE(result) << result.error().message();
    return std::move(result).value();
}

TEST(ParsedTree, RootStaysMutable) {
    Value obj = parsed(R"({"b":[1,2],"a":{"x":"y"},"c":"s"})");
    obj.set("a", Value::uint(1));         // replaces a parsed member
    obj.set("aa", Value::string("new"));  // inserts between parsed ones
    obj.set("b", obj);                    // a deep copy of the whole tree
    EXPECT_EQ(write_compact(obj),
              R"({"a":1,"aa":"new","b":{"a":1,"aa":"new","b":[1,2],"c":"s"},"c":"s"})");

    Value arr = parsed(R"([{"k":[true]},"x"])");
    for (int i = 0; i < 100; ++i)
        arr.push_back(Value::uint(static_cast<unsigned>(i)));  // grows past the parsed size
    EXPECT_EQ(arr.size(), 102u);
    EXPECT_EQ(write_compact(arr[0]), R"({"k":[true]})");
    EXPECT_EQ(arr[101].as_uint(), 99u);
}

TEST(ParsedTree, OutlivesItsResultAndMovesAnywhere) {
    std::vector<Value> kept;
    Value holder = Value::object();
    for (int i = 0; i < 50; ++i) {
        Value tree = parsed(R"({"list":[{"deep":["a","b"]}],"n":-1.5})");
        if (i % 2) {
            kept.push_back(std::move(tree));  // moved again as the vector grows
        } else {
            holder.set("k" + std::to_string(i), std::move(tree));
        }
    }
    for (const Value& v : kept)
        EXPECT_EQ(write_compact(v), R"({"list":[{"deep":["a","b"]}],"n":-1.5})");
    EXPECT_EQ(write_compact(*holder.find("k0")), R"({"list":[{"deep":["a","b"]}],"n":-1.5})");

    // Copies of parsed children are independent of the tree they came from.
    Value child = kept.front().find("list")->elements()[0];
    kept.clear();
    holder = Value();
    EXPECT_EQ(write_compact(child), R"({"deep":["a","b"]})");
}

TEST(ParsedTree, ResultCopiesAreDeep) {
    auto result = parse(R"(["x",{"y":[]}])");
    ASSERT_TRUE(result);
    Value copy = result.value();  // the const& overload copies
    EXPECT_EQ(copy, result.value());
    copy.push_back(Value());
    EXPECT_EQ(result.value().size(), 2u);
    EXPECT_EQ(copy.size(), 3u);
}

TEST(KeyType, ReadsAsAStringView) {
    const Key empty;
    EXPECT_TRUE(empty.empty());
    EXPECT_EQ(empty, "");

    Key a("alpha");
    Key b = a;  // deep copy
    Key c = std::move(a);
    EXPECT_EQ(b, "alpha");
    EXPECT_EQ(c, b);
    EXPECT_TRUE(a.empty());  // NOLINT(bugprone-use-after-move): documented state
    EXPECT_LT(Key("B"), Key("a"));
    EXPECT_LT(Key("a"), std::string_view("ab"));
    EXPECT_GT(Key("\xc3\xa9"), std::string_view("z"));
    b = Key(std::string_view("x\0y", 3));
    EXPECT_EQ(b.size(), 3u);
    EXPECT_EQ(std::string(b), std::string("x\0y", 3));
}

}  // namespace
