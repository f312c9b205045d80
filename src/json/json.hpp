// The JSON core: value model, strict parser and compact writer. No Python here:
// the same library is linked by the extension, the unit tests, json-check, the
// fuzzer and the benchmark.
//
// Rules of use
// - A Value owns its children; copies are deep, moves are cheap (16 bytes).
// - Numbers keep the form they were written in: Uint (0 .. 2^64-1), Int
//   (negative, down to -2^63) or Double (finite; -0.0 kept distinct).
// - Strings are valid UTF-8 without surrogates. Value::string() trusts its
//   caller on this; parse() guarantees it.
// - Object members always iterate (and are written) in ascending byte order of
//   their keys; setting a key that exists replaces its value.
// - parse() reports failures as a ParseError, never by throwing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace orvan::json {

class Value;
struct Member;

class Value {
public:
    enum class Kind : std::uint8_t { Null, Bool, Uint, Int, Double, String, Array, Object };

    Value() noexcept : kind_(Kind::Null), u_(0) {}
    static Value boolean(bool b) noexcept;
    static Value uint(std::uint64_t u) noexcept;
    static Value neg_int(std::int64_t i) noexcept;  // precondition: i < 0
    static Value real(double d) noexcept;           // precondition: finite
    static Value string(std::string_view utf8);
    static Value array();
    static Value object();

    Value(const Value& other);
    Value(Value&& other) noexcept : kind_(other.kind_), u_(other.u_) { other.kind_ = Kind::Null; }
    Value& operator=(const Value& other);
    Value& operator=(Value&& other) noexcept;
    ~Value() {
        if (kind_ >= Kind::String) destroy();
    }

    Kind kind() const noexcept { return kind_; }
    bool as_bool() const noexcept { return b_; }
    std::uint64_t as_uint() const noexcept { return u_; }
    std::int64_t as_int() const noexcept { return i_; }
    double as_double() const noexcept { return d_; }
    std::string_view as_string() const noexcept;

    // Elements of an array or members of an object.
    std::size_t size() const noexcept;
    const Value& operator[](std::size_t i) const noexcept;  // array element
    std::span<const Value> elements() const noexcept;        // empty unless an array
    void push_back(Value v);                                 // array append

    std::span<const Member> members() const noexcept;  // key order; empty unless an object
    void set(std::string_view key, Value v);
    const Value* find(std::string_view key) const noexcept;

    // Deep equality; numbers must have the same form, doubles compare bitwise
    // (so -0.0 differs from 0.0, as it does in the written text).
    friend bool operator==(const Value& a, const Value& b) noexcept;

private:
    friend class Builder;
    struct StringRep;
    using Array = std::vector<Value>;
    using Object = std::vector<Member>;

    void destroy() noexcept;

    Kind kind_;
    union {
        bool b_;
        std::uint64_t u_;
        std::int64_t i_;
        double d_;
        StringRep* s_;
        Array* a_;
        Object* o_;
    };
};

struct Member {
    std::string key;
    Value value;
};

// Appends the compact text of `v`: no whitespace, keys sorted, shortest
// round-trip floats ("1.0", "0.00001", "1e-6", "1e+16"), UTF-8 left raw.
void write_compact(const Value& v, std::string& out);
std::string write_compact(const Value& v);

struct ParseError {
    std::string_view reason;  // a static text such as "expected value"
    std::size_t offset = 0;   // byte offset of the offending byte
    std::size_t line = 1;     // 1-based
    std::size_t column = 0;   // 1-based byte column; 0 only for an empty text
    std::string message() const;  // "{reason} at line {line} column {column}"
};

class ParseResult {
public:
    explicit ParseResult(Value v) noexcept : ok_(true), value_(std::move(v)) {}
    explicit ParseResult(ParseError e) noexcept : ok_(false), error_(e) {}
    bool ok() const noexcept { return ok_; }
    explicit operator bool() const noexcept { return ok_; }
    const Value& value() const& noexcept { return value_; }
    Value&& value() && noexcept { return std::move(value_); }
    const ParseError& error() const noexcept { return error_; }

private:
    bool ok_;
    Value value_;
    ParseError error_;
};

// The maximum nesting of arrays and objects that parse() accepts.
inline constexpr int kMaxDepth = 127;

// Parses exactly one JSON value (surrounded by optional whitespace). Bytes
// that are not valid UTF-8 inside strings fail with "invalid UTF-8".
ParseResult parse(std::string_view text);

}  // namespace orvan::json
