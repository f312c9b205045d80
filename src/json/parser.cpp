// Strict JSON parsing. Error positions name the byte at which a rule failed
// (for an early end of text, the last byte), so messages read
// "{reason} at line {line} column {column}".
//
// The tree is built bottom-up: finished values wait on a stack until their
// container closes, then move in one piece into the parse's region, so a
// container costs one bump allocation and no reallocation. Only the root
// container lives on the heap; it carries the region.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <system_error>

#include "json/internal.hpp"
#include "json/scan.hpp"

namespace orvan::json {
namespace {

constexpr std::string_view kEofValue = "EOF while parsing a value";
constexpr std::string_view kEofList = "EOF while parsing a list";
constexpr std::string_view kEofObject = "EOF while parsing an object";
constexpr std::string_view kEofString = "EOF while parsing a string";
constexpr std::string_view kExpectedValue = "expected value";
constexpr std::string_view kExpectedIdent = "expected ident";
constexpr std::string_view kInvalidNumber = "invalid number";
constexpr std::string_view kOutOfRange = "number out of range";
constexpr std::string_view kControl =
    "control character (\\u0000-\\u001F) found while parsing a string";
constexpr std::string_view kInvalidEscape = "invalid escape";
constexpr std::string_view kEndOfHexEscape = "unexpected end of hex escape";
constexpr std::string_view kLoneSurrogate = "lone leading surrogate in hex escape";
constexpr std::string_view kInvalidUtf8 = "invalid UTF-8";
constexpr std::string_view kTrailingComma = "trailing comma";
constexpr std::string_view kListComma = "expected `,` or `]`";
constexpr std::string_view kObjectComma = "expected `,` or `}`";
constexpr std::string_view kColon = "expected `:`";
constexpr std::string_view kKeyString = "key must be a string";
constexpr std::string_view kDepth = "recursion limit exceeded";
constexpr std::string_view kTrailing = "trailing characters";

// The one-letter escapes, and what each stands for, place by place.
constexpr std::string_view kEscapeLetters = "\"\\/bfnrt";
constexpr std::string_view kEscapedChars = "\"\\/\b\f\n\r\t";
static_assert(kEscapeLetters.size() == kEscapedChars.size());

inline bool is_digit(char c) {
    return static_cast<unsigned char>(c - '0') < 10;
}

// Finished values waiting for their container. Everything on it belongs to
// the region (or is a scalar), so its slots are raw memory: nothing to destroy.
// Small documents never leave the inline slots.
class ValueStack {
  public:
    ValueStack() noexcept : data_(reinterpret_cast<Value*>(inline_)) {}
    ValueStack(const ValueStack&) = delete;
    ValueStack& operator=(const ValueStack&) = delete;
    ~ValueStack() {
        if (data_ != reinterpret_cast<Value*>(inline_)) ::operator delete(data_);
    }

    // Field by field into the slot: building the value elsewhere and copying
    // its 16 bytes would stall on store forwarding.
    void push(Value&& v) {
        if (size_ == capacity_) grow();
        new (data_ + size_) Value(std::move(v));
        ++size_;
    }
    std::size_t size() const noexcept { return size_; }
    Value* at(std::size_t i) noexcept { return data_ + i; }
    void truncate(std::size_t n) noexcept { size_ = n; }

  private:
    static constexpr std::size_t kInline = 64;

    void grow() {
        const std::size_t capacity = capacity_ * 2;
        auto* data = static_cast<Value*>(::operator new(capacity * sizeof(Value)));
        relocate(data, data_, size_, sizeof(Value));
        if (data_ != reinterpret_cast<Value*>(inline_)) ::operator delete(data_);
        data_ = data;
        capacity_ = capacity;
    }

    alignas(Value) unsigned char inline_[kInline * sizeof(Value)];
    Value* data_;
    std::size_t size_ = 0;
    std::size_t capacity_ = kInline;
};

// Copies finished items from the stack into their container's rep (never
// overlapping). Most containers are small: skip the library call for them.
inline void copy_items(void* to, const void* from, std::size_t bytes) noexcept {
    if (bytes <= 64) {
        auto* d = static_cast<char*>(to);
        auto* s = static_cast<const char*>(from);
        for (std::size_t i = 0; i < bytes; i += 16) std::memcpy(d + i, s + i, 16);
    } else {
        std::memcpy(to, from, bytes);
    }
}

// A number's digits as an integer and a decimal exponent: the value is
// mantissa x 10^exponent, exactly unless a nonzero digit past the 19th
// significant one had to be dropped.
struct Decimal {
    std::uint64_t mantissa = 0;
    int significant = 0;  // digits in mantissa, leading zeros excluded
    long exponent = 0;
    bool exact = true;
};

class Parser {
  public:
    explicit Parser(std::string_view text)
        : begin_(text.data()),
          p_(begin_),
          end_(begin_ + text.size()),
          // Parsed trees take roughly as many bytes as their text; start near
          // that so most documents fit in one or two chunks.
          region_(
              std::clamp<std::size_t>(text.size() + text.size() / 4, 256, std::size_t{8} << 20)) {}

    bool parse_document(Value& out);

    ParseError error;

  private:
    [[gnu::cold, gnu::noinline]] bool fail(std::string_view reason, const char* at);
    [[gnu::cold, gnu::noinline]] bool fail_eof(std::string_view reason) {
        return fail(reason, end_ - 1);
    }

    void skip_whitespace() noexcept { p_ = scan::skip_whitespace(p_, end_); }
    bool at_root() const noexcept { return depth_budget_ == kMaxDepth; }

    bool parse_value();
    bool parse_literal(const char* word, std::size_t length, Value&& v);
    [[gnu::noinline]] bool parse_literal_slow(const char* word, std::size_t length);
    bool parse_number();
    bool push_integer(const char* digits, bool negative, const Decimal& d);
    bool push_double(const char* start, bool negative, const Decimal& d);
    [[gnu::noinline]] bool parse_double_slow(const char* start, int significant, long exponent);
    bool parse_string();
    [[gnu::noinline]] bool parse_escaped_string(const char* start);
    bool parse_escape();
    bool parse_hex4(std::uint32_t& out);
    template <bool (Parser::*kParseItem)(), void (Parser::*kClose)(std::size_t)>
    bool parse_container(char closer, std::string_view eof_reason, std::string_view no_comma);
    bool after_item(char closer, std::string_view eof_reason, std::string_view no_comma,
                    bool& closed);
    bool parse_array();
    bool parse_object();
    bool parse_member();
    void finish_string(const char* data, std::size_t size);
    template <class Rep>
    Rep* exact_rep(const void* items, std::size_t n, Rep* empty, Rep* (*heap)(std::size_t));
    void close_array(std::size_t base);
    void close_object(std::size_t base);

    const char* begin_;
    const char* p_;
    const char* end_;
    int depth_budget_ = kMaxDepth + 1;
    Region region_;
    ValueStack stack_;
    std::string scratch_;
    MemberSorter sorter_;
};

bool Parser::fail(std::string_view reason, const char* at) {
    error.reason = reason;
    if (at < begin_) {  // an empty text has no offending byte
        error.offset = 0;
        error.line = 1;
        error.column = 0;
        return false;
    }
    const char* line_start = begin_;
    std::size_t line = 1;
    for (const char* q = begin_; q < at; ++q) {
        if (*q == '\n') {
            ++line;
            line_start = q + 1;
        }
    }
    error.offset = static_cast<std::size_t>(at - begin_);
    error.line = line;
    error.column = static_cast<std::size_t>(at - line_start) + 1;
    return false;
}

bool Parser::parse_document(Value& out) {
    skip_whitespace();
    if (p_ == end_) return fail_eof(kEofValue);
    if (!parse_value()) return false;
    Value root;
    relocate(&root, stack_.at(0), 1, sizeof(Value));
    stack_.truncate(0);
    const Value::Kind kind = root.kind();
    if (kind == Value::Kind::String) {
        // A lone string is copied out so the region can go.
        root = Value::string(root.as_string());
    } else if (kind == Value::Kind::Array || kind == Value::Kind::Object) {
        Builder::adopt(root);  // the heap rep made for the root, for now without its region
    }
    skip_whitespace();
    if (p_ != end_) return fail(kTrailing, p_);
    if (kind == Value::Kind::Array) Builder::array_rep(root)->region = region_.release();
    if (kind == Value::Kind::Object) Builder::object_rep(root)->region = region_.release();
    out = std::move(root);
    return true;
}

// Precondition: p_ < end_, at a byte that is not whitespace. Pushes one value.
bool Parser::parse_value() {
    switch (*p_) {
        case '"':
            ++p_;
            return parse_string();
        case '[':
            return parse_array();
        case '{':
            return parse_object();
        case 'n':
            return parse_literal("null", 4, Value());
        case 't':
            return parse_literal("true", 4, Value::boolean(true));
        case 'f':
            return parse_literal("false", 5, Value::boolean(false));
        case '-':
        case '0':
        case '1':
        case '2':
        case '3':
        case '4':
        case '5':
        case '6':
        case '7':
        case '8':
        case '9':
            return parse_number();
        default:
            return fail(kExpectedValue, p_);
    }
}

bool Parser::parse_literal(const char* word, std::size_t length, Value&& v) {
    if (static_cast<std::size_t>(end_ - p_) < length || std::memcmp(p_, word, length) != 0) {
        return parse_literal_slow(word, length);
    }
    p_ += length;
    stack_.push(std::move(v));
    return true;
}

// Finds which byte breaks the literal: a wrong letter, or the end of the text.
bool Parser::parse_literal_slow(const char* word, std::size_t length) {
    for (std::size_t i = 1; i < length; ++i) {
        if (p_ + i == end_) return fail_eof(kEofValue);
        if (p_[i] != word[i]) return fail(kExpectedIdent, p_ + i);
    }
    return fail(kExpectedIdent, p_);  // not reached: the literal matched
}

// After an item: a comma, which must lead to another item, or the closer,
// which sets `closed` and is left for the caller to step over.
bool Parser::after_item(char closer, std::string_view eof_reason, std::string_view no_comma,
                        bool& closed) {
    skip_whitespace();
    if (p_ == end_) return fail_eof(eof_reason);
    if (*p_ == ',') {
        ++p_;
        skip_whitespace();
        if (p_ == end_) return fail_eof(kEofValue);
        if (*p_ == closer) return fail(kTrailingComma, p_);
        return true;
    }
    if (*p_ != closer) return fail(no_comma, p_);
    closed = true;
    return true;
}

// From the opening bracket to past the closer, one level deeper meanwhile;
// the items are left on the stack for `kClose` to gather.
template <bool (Parser::*kParseItem)(), void (Parser::*kClose)(std::size_t)>
bool Parser::parse_container(char closer, std::string_view eof_reason, std::string_view no_comma) {
    if (--depth_budget_ == 0) return fail(kDepth, p_);
    ++p_;
    const std::size_t base = stack_.size();
    skip_whitespace();
    if (p_ == end_) return fail_eof(eof_reason);
    bool closed = *p_ == closer;
    while (!closed) {
        if (!(this->*kParseItem)() || !after_item(closer, eof_reason, no_comma, closed)) {
            return false;
        }
    }
    ++p_;
    (this->*kClose)(base);
    ++depth_budget_;
    return true;
}

bool Parser::parse_array() {
    return parse_container<&Parser::parse_value, &Parser::close_array>(']', kEofList, kListComma);
}

bool Parser::parse_object() {
    return parse_container<&Parser::parse_member, &Parser::close_object>('}', kEofObject,
                                                                         kObjectComma);
}

// A key and its value, pushed as two Values that read as one Member.
bool Parser::parse_member() {
    if (*p_ != '"') return fail(kKeyString, p_);
    ++p_;
    if (!parse_string()) return false;  // the key, laid out like a Key
    skip_whitespace();
    if (p_ == end_) return fail_eof(kEofObject);
    if (*p_ != ':') return fail(kColon, p_);
    ++p_;
    skip_whitespace();
    if (p_ == end_) return fail_eof(kEofValue);
    return parse_value();
}

// Moves the items above `base` on the stack into a rep of exactly their
// number: in the region, or on the heap for the root. Empty containers
// share one rep, which is never written.
template <class Rep>
Rep* Parser::exact_rep(const void* items, std::size_t n, Rep* empty, Rep* (*heap)(std::size_t)) {
    const std::size_t bytes = n * sizeof(typename Rep::item_type);
    Rep* rep = empty;
    if (at_root()) {
        rep = heap(n);
    } else if (n != 0) {
        rep = static_cast<Rep*>(region_.allocate(sizeof(Rep) + bytes));
        rep->capacity = n;
        rep->region = nullptr;
    }
    if (n != 0) {
        rep->size = n;
        copy_items(rep->items(), items, bytes);
    }
    return rep;
}

void Parser::close_array(std::size_t base) {
    const std::size_t n = stack_.size() - base;
    ArrayRep* rep = exact_rep(stack_.at(base), n, &kEmptyArray, Builder::new_array);
    stack_.truncate(base);
    stack_.push(Builder::region_array(rep));
}

// Each key and value pair on the stack already has a Member's layout; they
// are put in key order there, so the rep gets only the members that stay.
void Parser::close_object(std::size_t base) {
    auto* members = reinterpret_cast<Member*>(stack_.at(base));
    const std::size_t n = sorter_.sort(members, (stack_.size() - base) / 2);
    ObjectRep* rep = exact_rep(members, n, &kEmptyObject, Builder::new_object);
    stack_.truncate(base);
    stack_.push(Builder::region_object(rep));
}

// ---- Strings ---------------------------------------------------------------

void Parser::finish_string(const char* data, std::size_t size) {
    const StringRep* rep = kEmptyString;
    if (size != 0) {
        auto* made = static_cast<StringRep*>(region_.allocate(sizeof(StringRep) + size));
        made->size = size;
        std::memcpy(made->data(), data, size);
        rep = made;
    }
    stack_.push(Builder::region_string(rep));
}

// After the opening quote. Plain strings are validated in place and copied
// once; the first escape hands over to the decoding path.
bool Parser::parse_string() {
    const char* start = p_;
    for (;;) {
        p_ = scan::string_run(p_, end_);
        if (p_ == end_) return fail_eof(kEofString);
        const auto c = static_cast<unsigned char>(*p_);
        if (c == '"') {
            finish_string(start, static_cast<std::size_t>(p_ - start));
            ++p_;
            return true;
        }
        if (c == '\\') return parse_escaped_string(start);
        if (c < 0x20) return fail(kControl, p_);
        const char* bad = nullptr;
        p_ = scan::utf8_run(p_, end_, bad);
        if (bad) return fail(kInvalidUtf8, bad);
    }
}

bool Parser::parse_escaped_string(const char* start) {
    scratch_.assign(start, p_);
    for (;;) {
        const char* run = p_;
        p_ = scan::string_run(p_, end_);
        scratch_.append(run, p_);
        if (p_ == end_) return fail_eof(kEofString);
        const auto c = static_cast<unsigned char>(*p_);
        if (c == '"') {
            ++p_;
            finish_string(scratch_.data(), scratch_.size());
            return true;
        }
        if (c == '\\') {
            ++p_;
            if (!parse_escape()) return false;
        } else if (c < 0x20) {
            return fail(kControl, p_);
        } else {
            const char* bad = nullptr;
            run = p_;
            p_ = scan::utf8_run(p_, end_, bad);
            if (bad) return fail(kInvalidUtf8, bad);
            scratch_.append(run, p_);
        }
    }
}

bool Parser::parse_hex4(std::uint32_t& out) {
    if (end_ - p_ < 4) {
        p_ = end_;
        return fail_eof(kEofString);
    }
    const int value = scan::hex4(p_);
    p_ += 4;
    if (value < 0) return fail(kInvalidEscape, p_ - 1);
    out = static_cast<std::uint32_t>(value);
    return true;
}

bool Parser::parse_escape() {
    if (p_ == end_) return fail_eof(kEofString);
    const char e = *p_++;
    if (const std::size_t i = kEscapeLetters.find(e); i != std::string_view::npos) {
        scratch_.push_back(kEscapedChars[i]);
        return true;
    }
    if (e != 'u') return fail(kInvalidEscape, p_ - 1);
    std::uint32_t cp = 0;
    if (!parse_hex4(cp)) return false;
    if (cp >= 0xDC00 && cp <= 0xDFFF) return fail(kLoneSurrogate, p_ - 1);
    if (cp >= 0xD800 && cp <= 0xDBFF) {
        for (char expected : {'\\', 'u'}) {
            if (p_ == end_) return fail_eof(kEofString);
            if (*p_ != expected) return fail(kEndOfHexEscape, p_);
            ++p_;
        }
        std::uint32_t low = 0;
        if (!parse_hex4(low)) return false;
        if (low < 0xDC00 || low > 0xDFFF) return fail(kLoneSurrogate, p_ - 1);
        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
    }
    char utf8[4];
    scratch_.append(utf8, scan::encode_utf8(cp, utf8));
    return true;
}

// ---- Numbers ---------------------------------------------------------------

// Reads a run of digits into `d`, eight at a time where possible, and
// returns where the run ends. Integer digits past the 19th raise the
// exponent; fraction digits lower it as they enter the mantissa.
template <bool kFraction>
const char* read_digits(const char* p, const char* end, Decimal& d) {
    if (kFraction && d.mantissa == 0) {  // zeros right after "0." only scale the rest
        const char* zeros = p;
        while (p < end && *p == '0') ++p;
        d.exponent -= p - zeros;
    }
    while (end - p >= 8 && d.significant <= 11) {
        const std::uint64_t chunk = scan::load8(p);
        const int k = scan::leading_digits(chunk);
        if (k == 0) break;
        d.mantissa = d.mantissa * scan::kPowersOfTenInt[k] + scan::parse_digits(chunk, k);
        d.significant += k;
        if (kFraction) d.exponent -= k;
        p += k;
        if (k < 8) return p;
    }
    for (; p < end && is_digit(*p); ++p) {
        const auto digit = static_cast<unsigned>(*p - '0');
        if (d.significant < 19) {
            d.mantissa = d.mantissa * 10 + digit;
            ++d.significant;
            if (kFraction) --d.exponent;
        } else {
            if (!kFraction) ++d.exponent;
            d.exact &= digit == 0;
        }
    }
    return p;
}

// One pass over the text checks the syntax and gathers the digits. Plain
// integers that fit become Uint or Int; everything else a double.
bool Parser::parse_number() {
    const char* start = p_;
    const char* p = p_;
    const bool negative = *p == '-';
    if (negative) ++p;
    if (p == end_) return fail_eof(kEofValue);
    Decimal d;
    const char* digits = p;
    if (*p == '0') {
        ++p;
        if (p < end_ && is_digit(*p)) return fail(kInvalidNumber, p);
    } else if (is_digit(*p)) {
        p = read_digits<false>(p, end_, d);
    } else {
        return fail(kInvalidNumber, p);
    }
    if (p == end_ || (*p != '.' && (*p | 0x20) != 'e')) {
        p_ = p;
        return push_integer(digits, negative, d);
    }
    if (*p == '.') {
        ++p;
        if (p == end_) return fail_eof(kEofValue);
        if (!is_digit(*p)) return fail(kInvalidNumber, p);
        p = read_digits<true>(p, end_, d);
    }
    if (p < end_ && (*p | 0x20) == 'e') {
        ++p;
        bool exp_negative = false;
        if (p < end_ && (*p == '+' || *p == '-')) exp_negative = *p++ == '-';
        if (p == end_) return fail_eof(kEofValue);
        if (!is_digit(*p)) return fail(kInvalidNumber, p);
        long e = 0;
        for (; p < end_ && is_digit(*p); ++p) {
            if (e < 100000000) e = e * 10 + (*p - '0');  // far past any double's range
        }
        d.exponent += exp_negative ? -e : e;
    }
    p_ = p;
    return push_double(start, negative, d);
}

// An integer text (no fraction, no exponent) ending at p_.
bool Parser::push_integer(const char* digits, bool negative, const Decimal& d) {
    if (p_ - digits <= 19) {  // all digits are in the mantissa
        if (!negative) {
            stack_.push(Value::uint(d.mantissa));
        } else if (d.mantissa == 0) {
            stack_.push(Value::real(-0.0));  // "-0" is the double -0.0
        } else if (d.mantissa <= std::uint64_t{1} << 63) {
            stack_.push(Value::neg_int(static_cast<std::int64_t>(0 - d.mantissa)));
        } else {
            return parse_double_slow(digits - 1, 0, 0);
        }
        return true;
    }
    // Twenty digits may still fit 2^64 - 1; negative ones are below -2^63.
    std::uint64_t value = 0;
    bool fits = !negative && p_ - digits == 20;
    for (const char* q = digits; fits && q < p_; ++q) {
        fits = !__builtin_mul_overflow(value, 10u, &value) &&
               !__builtin_add_overflow(value, static_cast<unsigned>(*q - '0'), &value);
    }
    if (fits) {
        stack_.push(Value::uint(value));
        return true;
    }
    return parse_double_slow(negative ? digits - 1 : digits, 0, 0);
}

bool Parser::push_double(const char* start, bool negative, const Decimal& d) {
    if (d.mantissa == 0) {
        stack_.push(Value::real(negative ? -0.0 : 0.0));
        return true;
    }
    // Both operands exact, so a single rounding: the correctly rounded result.
    if (d.exact && d.mantissa <= (std::uint64_t{1} << 53) && d.exponent >= -22 &&
        d.exponent <= 22) {
        double v = static_cast<double>(d.mantissa);
        v = d.exponent < 0 ? v / scan::kExactPowersOfTen[-d.exponent]
                           : v * scan::kExactPowersOfTen[d.exponent];
        stack_.push(Value::real(negative ? -v : v));
        return true;
    }
    if (d.exact) {
        double v;
        switch (decimal_to_double(d.mantissa, d.exponent, negative, v)) {
            case DecimalResult::Ok:
                stack_.push(Value::real(v));
                return true;
            case DecimalResult::Overflow:
                return fail(kOutOfRange, p_ - 1);
            case DecimalResult::Undecided:
                break;
        }
    }
    return parse_double_slow(start, d.significant, d.exponent);
}

// The general case, correctly rounded by std::from_chars. A result out of
// range is an error if too large and a signed zero if too small; the decimal
// exponent of the first significant digit (significant - 1 + exponent) tells
// which. Integer texts (significant == 0) can only be too large.
bool Parser::parse_double_slow(const char* start, int significant, long exponent) {
    double v = 0;
    const auto r = std::from_chars(start, p_, v);
    if (r.ec == std::errc::result_out_of_range) {
        if (significant == 0 || significant - 1 + exponent > 0) return fail(kOutOfRange, p_ - 1);
        v = *start == '-' ? -0.0 : 0.0;
    } else if (r.ec != std::errc() || r.ptr != p_ || !std::isfinite(v)) {
        return fail(kOutOfRange, p_ - 1);  // not reached for texts that passed the syntax check
    }
    stack_.push(Value::real(v));
    return true;
}

}  // namespace

std::string ParseError::message() const {
    return std::string(reason) + " at line " + std::to_string(line) + " column " +
           std::to_string(column);
}

ParseResult parse(std::string_view text) {
    Parser parser(text);
    Value value;
    if (!parser.parse_document(value)) return ParseResult(parser.error);
    return ParseResult(std::move(value));
}

}  // namespace orvan::json
