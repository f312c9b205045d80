// The JSON core: value model, strict parser and compact writer. No Python here:
// the same library is linked by the extension, the unit tests, json-check, the
// fuzzer and the benchmark.
//
// Rules of use
// - A Value owns its children; copies are deep, moves are cheap (16 bytes).
//   Children are reachable only as const: the root is the one mutable handle.
// - Numbers keep the form they were written in: Uint (0 .. 2^64-1), Int
//   (negative, down to -2^63) or Double (finite; -0.0 kept distinct).
// - Strings are valid UTF-8 without surrogates. Value::string() trusts its
//   caller on this; parse() guarantees it.
// - Object members always iterate (and are written) in ascending byte order of
//   their keys; setting a key that exists replaces its value.
// - parse() reports failures as a ParseError, never by throwing. A parsed tree
//   lives in one block-allocated region owned by its root container; it is
//   freed with that root, however the root was moved around.
#pragma once

#include <bit>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace orvan::json {

class Value;
struct Member;
struct RegionChunk;

// ---- Representation (not for direct use) ----------------------------------
// A string's bytes follow its length; a container's items follow its header.
// `region` is set only on the root container of a parsed tree: the memory
// its descendants live in, freed with it.
struct StringRep {
    std::size_t size;
    char* data() noexcept { return reinterpret_cast<char*>(this + 1); }
    const char* data() const noexcept { return reinterpret_cast<const char*>(this + 1); }
};

template <class Item>
struct ContainerRep {
    using item_type = Item;
    std::size_t size;
    std::size_t capacity;
    RegionChunk* region;
    Item* items() noexcept { return reinterpret_cast<Item*>(this + 1); }
    const Item* items() const noexcept { return reinterpret_cast<const Item*>(this + 1); }
};
using ArrayRep = ContainerRep<Value>;
using ObjectRep = ContainerRep<Member>;
// ---------------------------------------------------------------------------

// An object member's key: an immutable UTF-8 string that reads as a
// std::string_view.
class Key {
  public:
    Key() noexcept;
    explicit Key(std::string_view text);
    Key(const Key& other);
    Key(Key&& other) noexcept : tag_(other.tag_), owned_(other.owned_), rep_(other.rep_) {
        other.reset();
    }
    Key& operator=(const Key& other);
    Key& operator=(Key&& other) noexcept;
    ~Key() {
        if (owned_) release();
    }

    std::string_view view() const noexcept { return {rep_->data(), rep_->size}; }
    operator std::string_view() const noexcept { return view(); }
    const char* data() const noexcept { return view().data(); }
    std::size_t size() const noexcept { return view().size(); }
    bool empty() const noexcept { return size() == 0; }

    friend bool operator==(const Key& a, std::string_view b) noexcept { return a.view() == b; }
    friend bool operator==(const Key& a, const Key& b) noexcept { return a.view() == b.view(); }
    friend std::strong_ordering operator<=>(const Key& a, std::string_view b) noexcept {
        return a.view() <=> b;
    }
    friend std::strong_ordering operator<=>(const Key& a, const Key& b) noexcept {
        return a.view() <=> b.view();
    }

  private:
    friend class Value;
    friend class Builder;
    void reset() noexcept;
    void release() noexcept;

    // Same layout as a string Value, so the parser can build members in place.
    std::uint8_t tag_;
    bool owned_;
    const StringRep* rep_;
};

class Value {
  public:
    enum class Kind : std::uint8_t { Null, Bool, Uint, Int, Double, String, Array, Object };

    Value() noexcept : kind_(Kind::Null), owned_(false), u_(0) {}
    static Value boolean(bool b) noexcept { return Value(Kind::Bool, std::uint64_t{b}); }
    static Value uint(std::uint64_t u) noexcept { return Value(Kind::Uint, u); }
    // precondition: i < 0
    static Value neg_int(std::int64_t i) noexcept {
        return Value(Kind::Int, static_cast<std::uint64_t>(i));
    }
    // precondition: finite
    static Value real(double d) noexcept {
        return Value(Kind::Double, std::bit_cast<std::uint64_t>(d));
    }
    static Value string(std::string_view utf8);
    static Value array() noexcept;
    static Value object() noexcept;

    Value(const Value& other);
    Value(Value&& other) noexcept : kind_(other.kind_), owned_(other.owned_), u_(other.u_) {
        other.kind_ = Kind::Null;
        other.owned_ = false;
    }
    Value& operator=(const Value& other);
    Value& operator=(Value&& other) noexcept;
    ~Value() {
        if (owned_) destroy();
    }

    Kind kind() const noexcept { return kind_; }
    bool as_bool() const noexcept { return u_ != 0; }
    std::uint64_t as_uint() const noexcept { return u_; }
    std::int64_t as_int() const noexcept { return i_; }
    double as_double() const noexcept { return d_; }
    std::string_view as_string() const noexcept {
        return kind_ == Kind::String ? std::string_view(s_->data(), s_->size) : std::string_view();
    }

    // Elements of an array or members of an object.
    std::size_t size() const noexcept {
        return kind_ == Kind::Array ? a_->size : kind_ == Kind::Object ? o_->size : 0;
    }
    const Value& operator[](std::size_t i) const noexcept {
        return a_->items()[i];
    }                                                  // array element
    std::span<const Value> elements() const noexcept;  // empty unless an array
    void push_back(Value v);                           // array append

    std::span<const Member> members() const noexcept;  // key order; empty unless an object
    void set(std::string_view key, Value v);
    const Value* find(std::string_view key) const noexcept;

    // Deep equality; numbers must have the same form, doubles compare bitwise
    // (so -0.0 differs from 0.0, as it does in the written text).
    friend bool operator==(const Value& a, const Value& b) noexcept;

  private:
    friend class Builder;
    Value(Kind kind, std::uint64_t bits) noexcept : kind_(kind), owned_(false), u_(bits) {}
    void destroy() noexcept;

    Kind kind_;
    // Whether this Value frees its heap part. Parsed children and the shared
    // empty containers are not owned: their memory belongs to the root's region
    // or to no one.
    bool owned_;
    union {
        std::uint64_t u_;
        std::int64_t i_;
        double d_;
        const StringRep* s_;
        ArrayRep* a_;
        ObjectRep* o_;
    };
};

struct Member {
    Key key;
    Value value;
};

inline std::span<const Value> Value::elements() const noexcept {
    if (kind_ != Kind::Array) return {};
    return {a_->items(), a_->size};
}

inline std::span<const Member> Value::members() const noexcept {
    if (kind_ != Kind::Object) return {};
    return {o_->items(), o_->size};
}

// Appends the compact text of `v`: no whitespace, keys sorted, shortest
// round-trip floats ("1.0", "0.00001", "1e-6", "1e+16"), UTF-8 left raw.
void write_compact(const Value& v, std::string& out);
std::string write_compact(const Value& v);

struct ParseError {
    std::string_view reason;      // a static text such as "expected value"
    std::size_t offset = 0;       // byte offset of the offending byte
    std::size_t line = 1;         // 1-based
    std::size_t column = 0;       // 1-based byte column; 0 only for an empty text
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
// Throws only std::bad_alloc.
ParseResult parse(std::string_view text);

}  // namespace orvan::json
