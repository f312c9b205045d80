// Strict JSON parsing. Error positions name the byte at which a rule failed
// (for an early end of text, the last byte), so messages read
// "{reason} at line {line} column {column}".
#include <algorithm>
#include <charconv>
#include <cmath>
#include <system_error>

#include "json/internal.hpp"

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

// 1 for bytes that end a plain run inside a string: '"', '\\', controls, non-ASCII.
constexpr auto kStringStops = [] {
    struct Table {
        bool stop[256];
    } t{};
    for (int i = 0; i < 0x20; ++i) t.stop[i] = true;
    for (int i = 0x80; i < 0x100; ++i) t.stop[i] = true;
    t.stop['"'] = t.stop['\\'] = true;
    return t;
}();

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void append_utf8(std::uint32_t cp, std::string& out) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Length of the well-formed UTF-8 sequence at p (no surrogates, no overlongs),
// or -(1 + index of the first bad byte).
int utf8_sequence(const unsigned char* p, const unsigned char* end) {
    const unsigned char c = *p;
    int len;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;  // U+D800..U+DFFF are not characters
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else {
        return -1;
    }
    for (int i = 1; i < len; ++i) {
        if (p + i >= end) return -(1 + i);
        const unsigned char b = p[i];
        if (b < (i == 1 ? lo : 0x80) || b > (i == 1 ? hi : 0xBF)) return -(1 + i);
    }
    return len;
}

class Parser {
public:
    explicit Parser(std::string_view text)
        : begin_(text.data()), p_(begin_), end_(begin_ + text.size()) {}

    bool parse_document(Value& out) {
        if (!parse_value(out)) return false;
        skip_whitespace();
        if (p_ != end_) return fail(kTrailing, p_);
        return true;
    }

    ParseError error;

private:
    [[gnu::cold]] bool fail(std::string_view reason, const char* at);
    bool fail_eof(std::string_view reason) { return fail(reason, end_ - 1); }

    void skip_whitespace() {
        while (p_ < end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
    }

    bool parse_value(Value& out);
    bool parse_literal(std::string_view rest);
    bool parse_number(Value& out);
    bool parse_string(std::string& out);
    bool parse_escape(std::string& out);
    bool parse_hex4(std::uint32_t& out);
    bool parse_array(Value& out);
    bool parse_object(Value& out);
    bool number_out_of_range(const char* start, Value& out);

    const char* begin_;
    const char* p_;
    const char* end_;
    int depth_budget_ = kMaxDepth + 1;
    std::string scratch_;
};

bool Parser::fail(std::string_view reason, const char* at) {
    error.reason = reason;
    if (at < begin_) {  // an empty text has no offending byte
        error.offset = 0;
        error.line = 1;
        error.column = 0;
        return false;
    }
    const std::size_t offset = static_cast<std::size_t>(at - begin_);
    const char* line_start = begin_;
    std::size_t line = 1;
    for (const char* q = begin_; q < at; ++q) {
        if (*q == '\n') {
            ++line;
            line_start = q + 1;
        }
    }
    error.offset = offset;
    error.line = line;
    error.column = static_cast<std::size_t>(at - line_start) + 1;
    return false;
}

bool Parser::parse_value(Value& out) {
    skip_whitespace();
    if (p_ == end_) return fail_eof(kEofValue);
    switch (*p_) {
        case 'n': ++p_; out = Value(); return parse_literal("ull");
        case 't': ++p_; out = Value::boolean(true); return parse_literal("rue");
        case 'f': ++p_; out = Value::boolean(false); return parse_literal("alse");
        case '"': {
            ++p_;
            scratch_.clear();
            if (!parse_string(scratch_)) return false;
            out = Value::string(scratch_);
            return true;
        }
        case '[':
        case '{': {
            if (--depth_budget_ == 0) return fail(kDepth, p_);
            const bool is_array = *p_++ == '[';
            const bool ok = is_array ? parse_array(out) : parse_object(out);
            ++depth_budget_;
            return ok;
        }
        default:
            if (*p_ == '-' || is_digit(*p_)) return parse_number(out);
            return fail(kExpectedValue, p_);
    }
}

bool Parser::parse_literal(std::string_view rest) {
    for (char expected : rest) {
        if (p_ == end_) return fail_eof(kEofValue);
        if (*p_ != expected) return fail(kExpectedIdent, p_);
        ++p_;
    }
    return true;
}

bool Parser::parse_number(Value& out) {
    const char* start = p_;
    const bool negative = *p_ == '-';
    if (negative) ++p_;
    if (p_ == end_) return fail_eof(kEofValue);
    if (*p_ == '0') {
        ++p_;
        if (p_ < end_ && is_digit(*p_)) return fail(kInvalidNumber, p_);
    } else if (is_digit(*p_)) {
        while (p_ < end_ && is_digit(*p_)) ++p_;
    } else {
        return fail(kInvalidNumber, p_);
    }
    const char* int_end = p_;
    bool integral = true;
    if (p_ < end_ && *p_ == '.') {
        ++p_;
        if (p_ == end_) return fail_eof(kEofValue);
        if (!is_digit(*p_)) return fail(kInvalidNumber, p_);
        while (p_ < end_ && is_digit(*p_)) ++p_;
        integral = false;
    }
    if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
        ++p_;
        if (p_ < end_ && (*p_ == '+' || *p_ == '-')) ++p_;
        if (p_ == end_) return fail_eof(kEofValue);
        if (!is_digit(*p_)) return fail(kInvalidNumber, p_);
        while (p_ < end_ && is_digit(*p_)) ++p_;
        integral = false;
    }
    if (integral) {
        const char* digits = negative ? start + 1 : start;
        std::uint64_t u = 0;
        auto r = std::from_chars(digits, int_end, u);
        if (r.ec == std::errc()) {
            if (!negative) {
                out = Value::uint(u);
                return true;
            }
            if (u != 0 && u <= (std::uint64_t{1} << 63)) {
                out = Value::neg_int(static_cast<std::int64_t>(0 - u));
                return true;
            }
        }
    }
    // Correctly rounded (std::from_chars), where a cheaper scaling by powers
    // of ten could be off by one unit in the last place for long inputs.
    double d = 0;
    auto r = std::from_chars(start, p_, d);
    if (r.ec == std::errc::result_out_of_range || (r.ec == std::errc() && std::isinf(d))) {
        return number_out_of_range(start, out);
    }
    out = Value::real(d);
    return true;
}

// from_chars refuses both overflow and underflow; only overflow is an error,
// underflow reads as a zero of the number's sign.
bool Parser::number_out_of_range(const char* start, Value& out) {
    const bool negative = *start == '-';
    const char* p = negative ? start + 1 : start;
    long long magnitude = 0;  // decimal exponent of the first significant digit
    bool seen_point = false, found = false;
    long long int_digits = 0, leading_fraction_zeros = 0;
    for (; p < p_ && *p != 'e' && *p != 'E'; ++p) {
        if (*p == '.') {
            seen_point = true;
        } else if (!found && *p == '0') {
            if (seen_point) ++leading_fraction_zeros;
        } else {
            found = true;
            if (!seen_point) ++int_digits;
        }
    }
    magnitude = int_digits > 0 ? int_digits - 1 : -(leading_fraction_zeros + 1);
    long long exponent = 0;
    if (p < p_) {
        ++p;
        const bool exp_negative = *p == '-';
        if (*p == '+' || *p == '-') ++p;
        for (; p < p_; ++p) exponent = std::min(exponent * 10 + (*p - '0'), 1LL << 40);
        if (exp_negative) exponent = -exponent;
    }
    if (magnitude + exponent > 0) return fail(kOutOfRange, p_ - 1);
    out = Value::real(negative ? -0.0 : 0.0);
    return true;
}

bool Parser::parse_string(std::string& out) {
    for (;;) {
        const char* run = p_;
        while (p_ < end_ && !kStringStops.stop[static_cast<unsigned char>(*p_)]) ++p_;
        out.append(run, p_);
        if (p_ == end_) return fail_eof(kEofString);
        const auto c = static_cast<unsigned char>(*p_);
        if (c == '"') {
            ++p_;
            return true;
        }
        if (c == '\\') {
            ++p_;
            if (!parse_escape(out)) return false;
        } else if (c < 0x20) {
            return fail(kControl, p_);
        } else {
            const int len = utf8_sequence(reinterpret_cast<const unsigned char*>(p_),
                                          reinterpret_cast<const unsigned char*>(end_));
            if (len < 0) return fail(kInvalidUtf8, std::min(p_ + (-len - 1), end_ - 1));
            out.append(p_, static_cast<std::size_t>(len));
            p_ += len;
        }
    }
}

bool Parser::parse_hex4(std::uint32_t& out) {
    if (end_ - p_ < 4) {
        p_ = end_;
        return fail_eof(kEofString);
    }
    std::uint32_t value = 0;
    bool ok = true;
    for (int i = 0; i < 4; ++i) {
        const int h = hex_value(p_[i]);
        ok = ok && h >= 0;
        value = value << 4 | static_cast<std::uint32_t>(h & 15);
    }
    p_ += 4;
    if (!ok) return fail(kInvalidEscape, p_ - 1);
    out = value;
    return true;
}

bool Parser::parse_escape(std::string& out) {
    if (p_ == end_) return fail_eof(kEofString);
    const char e = *p_++;
    switch (e) {
        case '"': case '\\': case '/': out.push_back(e); return true;
        case 'b': out.push_back('\b'); return true;
        case 'f': out.push_back('\f'); return true;
        case 'n': out.push_back('\n'); return true;
        case 'r': out.push_back('\r'); return true;
        case 't': out.push_back('\t'); return true;
        case 'u': break;
        default: return fail(kInvalidEscape, p_ - 1);
    }
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
    append_utf8(cp, out);
    return true;
}

bool Parser::parse_array(Value& out) {
    std::vector<Value> elements;
    skip_whitespace();
    if (p_ == end_) return fail_eof(kEofList);
    if (*p_ != ']') {
        for (;;) {
            elements.emplace_back();
            if (!parse_value(elements.back())) return false;
            skip_whitespace();
            if (p_ == end_) return fail_eof(kEofList);
            if (*p_ == ']') break;
            if (*p_ != ',') return fail(kListComma, p_);
            ++p_;
            skip_whitespace();
            if (p_ == end_) return fail_eof(kEofValue);
            if (*p_ == ']') return fail(kTrailingComma, p_);
        }
    }
    ++p_;
    out = Builder::array(std::move(elements));
    return true;
}

// Sorts members by key once the object is complete; of equal keys the one
// written last wins, as if each had been inserted in turn.
void sort_members(std::vector<Member>& members) {
    auto less = [](const Member& a, const Member& b) { return a.key < b.key; };
    if (std::is_sorted(members.begin(), members.end(), less)) {
        auto dup = std::adjacent_find(members.begin(), members.end(),
                                      [](const Member& a, const Member& b) { return a.key == b.key; });
        if (dup == members.end()) return;
    }
    std::stable_sort(members.begin(), members.end(), less);
    std::size_t kept = 0;
    for (std::size_t i = 0; i < members.size(); ++i) {
        if (i + 1 < members.size() && members[i + 1].key == members[i].key) continue;
        if (kept != i) members[kept] = std::move(members[i]);
        ++kept;
    }
    members.resize(kept);
}

bool Parser::parse_object(Value& out) {
    std::vector<Member> members;
    skip_whitespace();
    if (p_ == end_) return fail_eof(kEofObject);
    if (*p_ != '}') {
        for (;;) {
            if (*p_ != '"') return fail(kKeyString, p_);
            ++p_;
            members.emplace_back();
            if (!parse_string(members.back().key)) return false;
            skip_whitespace();
            if (p_ == end_) return fail_eof(kEofObject);
            if (*p_ != ':') return fail(kColon, p_);
            ++p_;
            if (!parse_value(members.back().value)) return false;
            skip_whitespace();
            if (p_ == end_) return fail_eof(kEofObject);
            if (*p_ == '}') break;
            if (*p_ != ',') return fail(kObjectComma, p_);
            ++p_;
            skip_whitespace();
            if (p_ == end_) return fail_eof(kEofValue);
            if (*p_ == '}') return fail(kTrailingComma, p_);
        }
    }
    ++p_;
    sort_members(members);
    out = Builder::object(std::move(members));
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
