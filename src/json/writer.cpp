// The compact text form: no whitespace, keys in byte order (kept so by the
// value model), shortest round-trip floats in a fixed layout, UTF-8 raw.
//
// Output goes through a small local buffer that is appended to the caller's
// string in large pieces, so each token costs a few stores rather than a
// std::string append.
#include <charconv>
#include <cmath>
#include <cstring>

#include "json/internal.hpp"
#include "json/scan.hpp"

namespace orvan::json {
namespace {

class Writer {
  public:
    explicit Writer(std::string& out) noexcept : out_(out), p_(buf_) {}
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    void value(const Value& v);
    void flush() {
        out_.append(buf_, p_);
        p_ = buf_;
    }

  private:
    static constexpr std::size_t kSize = 8192;

    // Room for n more bytes (n <= kSize): strings pass through 16 bytes at a
    // time, so no single step needs more than a few dozen.
    void need(std::size_t n) {
        if (static_cast<std::size_t>(buf_ + kSize - p_) < n) flush();
    }
    void put(char c) {
        need(1);
        *p_++ = c;
    }
    void put(const char* s, std::size_t n) {
        need(n);
        std::memcpy(p_, s, n);
        p_ += n;
    }

    void string(std::string_view s);
    void real(double d);
    template <class Int>
    void integer(Int i) {
        need(24);
        p_ = std::to_chars(p_, p_ + 24, i).ptr;
    }

    std::string& out_;
    char* p_;
    char buf_[kSize];
};

// 0: copy as is; otherwise the character after the backslash ('u' means \u00XX).
constexpr auto kEscapes = [] {
    struct Table {
        char c[256];
    } t{};
    for (int i = 0; i < 0x20; ++i) t.c[i] = 'u';
    t.c[static_cast<unsigned char>('"')] = '"';
    t.c[static_cast<unsigned char>('\\')] = '\\';
    t.c[static_cast<unsigned char>('\b')] = 'b';
    t.c[static_cast<unsigned char>('\t')] = 't';
    t.c[static_cast<unsigned char>('\n')] = 'n';
    t.c[static_cast<unsigned char>('\f')] = 'f';
    t.c[static_cast<unsigned char>('\r')] = 'r';
    return t;
}();

void Writer::string(std::string_view s) {
    put('"');
    const char* p = s.data();
    const char* end = p + s.size();
    for (;;) {
        need(16);
        // Copies up to 16 plain bytes (over-reading into the string's slack,
        // see kStringSlack) and stops at the first byte to escape or the end.
        const std::size_t n = scan::copy_plain(p_, p, static_cast<std::size_t>(end - p));
        p += n;
        p_ += n;
        if (n == 16) continue;
        if (p == end) break;
        const auto c = static_cast<unsigned char>(*p++);
        const char e = kEscapes.c[c];
        need(6);
        *p_++ = '\\';
        *p_++ = e;
        if (e == 'u') {
            static constexpr char kHex[] = "0123456789abcdef";
            *p_++ = '0';
            *p_++ = '0';
            *p_++ = kHex[c >> 4];
            *p_++ = kHex[c & 15];
        }
    }
    put('"');
}

// Rewrites, in place, the standard library's shortest round-trip form of a
// double in scientific notation ("[-]d[.ddd]e[+-]dd[d]": digits d1..dn with
// decimal exponent E, value = d1.d2..dn x 10^E) into our layout: fixed for
// -5 <= E <= 15 ("123.45", "100.0", "0.00001"), else "d[.ddd]e[+-]E" without
// leading zeros ("1e+16", "1.5e-7"). Returns the new end. The buffer must
// have room for 26 bytes from `s`; moves are short loops (n <= 17).
char* layout_double(char* s, char* end) {
    char* m = s + (*s == '-');  // the first digit
    char* e = end - 4;          // "e+dd" at least
    while (*e != 'e') --e;
    const bool exp_negative = e[1] == '-';
    int exp = 0;  // magnitude
    for (const char* q = e + 2; q < end; ++q) exp = exp * 10 + (*q - '0');
    if (exp_negative ? exp > 5 : exp > 15) {
        char* q = e + 1;
        *q++ = exp_negative ? '-' : '+';
        if (exp >= 100) *q++ = static_cast<char>('0' + exp / 100);
        if (exp >= 10) *q++ = static_cast<char>('0' + exp / 10 % 10);
        *q++ = static_cast<char>('0' + exp % 10);
        return q;
    }
    if (exp_negative) exp = -exp;
    // Digits: m[0], then m[2] .. e[-1] after the point (if there is one).
    const int n = e - m > 1 ? static_cast<int>(e - m) - 1 : 1;
    if (exp >= 0) {
        if (n <= exp + 1) {  // integral: all digits, zeros, ".0"
            for (int i = 1; i < n; ++i) m[i] = m[i + 1];
            char* q = m + n;
            for (int i = n; i <= exp; ++i) *q++ = '0';
            *q++ = '.';
            *q++ = '0';
            return q;
        }
        for (int i = 1; i <= exp; ++i) m[i] = m[i + 1];  // the point moves right by exp
        m[exp + 1] = '.';
        return e;
    }
    // 0.000ddd: the digits move right to make room for "0." and -exp - 1 zeros.
    const int shift = 1 - exp;
    for (int i = n - 1; i >= 1; --i) m[i + shift] = m[i + 1];
    m[shift] = m[0];
    m[0] = '0';
    m[1] = '.';
    for (int i = 2; i < shift; ++i) m[i] = '0';
    return m + shift + n;
}

void Writer::real(double d) {
    need(32);
    if (d == 0) {
        const bool negative = std::signbit(d);
        std::memcpy(p_, "-0.0", 4);
        if (!negative) std::memcpy(p_, "0.0", 3);
        p_ += negative ? 4 : 3;
        return;
    }
    char* end = std::to_chars(p_, p_ + 32, d, std::chars_format::scientific).ptr;
    p_ = layout_double(p_, end);
}

void Writer::value(const Value& v) {
    switch (v.kind()) {
        case Value::Kind::Null:
            put("null", 4);
            return;
        case Value::Kind::Bool:
            v.as_bool() ? put("true", 4) : put("false", 5);
            return;
        case Value::Kind::Uint:
            integer(v.as_uint());
            return;
        case Value::Kind::Int:
            integer(v.as_int());
            return;
        case Value::Kind::Double:
            real(v.as_double());
            return;
        case Value::Kind::String:
            string(v.as_string());
            return;
        case Value::Kind::Array: {
            put('[');
            bool first = true;
            for (const Value& item : v.elements()) {
                if (!first) put(',');
                first = false;
                value(item);
            }
            put(']');
            return;
        }
        case Value::Kind::Object: {
            put('{');
            bool first = true;
            for (const Member& m : v.members()) {
                if (!first) put(',');
                first = false;
                string(m.key.view());
                put(':');
                value(m.value);
            }
            put('}');
            return;
        }
    }
}

}  // namespace

void write_compact(const Value& v, std::string& out) {
    Writer w(out);
    w.value(v);
    w.flush();
}

std::string write_compact(const Value& v) {
    std::string out;
    write_compact(v, out);
    return out;
}

}  // namespace orvan::json
