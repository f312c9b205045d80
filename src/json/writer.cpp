// The compact text form: no whitespace, keys in byte order (kept so by the
// value model), shortest round-trip floats in a fixed layout, UTF-8 raw.
#include <charconv>
#include <cmath>
#include <cstring>

#include "json/internal.hpp"

namespace orvan::json {
namespace {

// 0: copy as is; otherwise the character after the backslash ('u' means \u00XX).
constexpr auto kEscapes = [] {
    struct Table {
        char c[256];
    } t{};
    for (int i = 0; i < 0x20; ++i) t.c[i] = 'u';
    t.c['"'] = '"';
    t.c['\\'] = '\\';
    t.c['\b'] = 'b';
    t.c['\t'] = 't';
    t.c['\n'] = 'n';
    t.c['\f'] = 'f';
    t.c['\r'] = 'r';
    return t;
}();

void write_string(std::string_view s, std::string& out) {
    out.push_back('"');
    const char* p = s.data();
    const char* end = p + s.size();
    while (p < end) {
        const char* run = p;
        while (p < end && kEscapes.c[static_cast<unsigned char>(*p)] == 0) ++p;
        out.append(run, p);
        if (p == end) break;
        const char e = kEscapes.c[static_cast<unsigned char>(*p)];
        if (e == 'u') {
            static constexpr char kHex[] = "0123456789abcdef";
            const auto c = static_cast<unsigned char>(*p);
            const char esc[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
            out.append(esc, 6);
        } else {
            const char esc[2] = {'\\', e};
            out.append(esc, 2);
        }
        ++p;
    }
    out.push_back('"');
}

template <class Int>
void write_integer(Int value, std::string& out) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, r.ptr);
}

// Lays the shortest digits d1..dn with decimal exponent e (value = d1.d2..dn
// x 10^e) out as "123.45", "0.00001", "1e+16" or "1.5e-7".
void layout_double(bool negative, const char* digits, int n, int e, std::string& out) {
    if (negative) out.push_back('-');
    if (e >= -5 && e <= 15) {
        if (n <= e + 1) {
            out.append(digits, static_cast<std::size_t>(n));
            out.append(static_cast<std::size_t>(e + 1 - n), '0');
            out.append(".0");
        } else if (e >= 0) {
            out.append(digits, static_cast<std::size_t>(e + 1));
            out.push_back('.');
            out.append(digits + e + 1, static_cast<std::size_t>(n - e - 1));
        } else {
            out.append("0.");
            out.append(static_cast<std::size_t>(-e - 1), '0');
            out.append(digits, static_cast<std::size_t>(n));
        }
        return;
    }
    out.push_back(digits[0]);
    if (n > 1) {
        out.push_back('.');
        out.append(digits + 1, static_cast<std::size_t>(n - 1));
    }
    out.push_back('e');
    out.push_back(e < 0 ? '-' : '+');
    write_integer(e < 0 ? -e : e, out);
}

void write_double(double d, std::string& out) {
    if (d == 0) {
        out.append(std::signbit(d) ? "-0.0" : "0.0");
        return;
    }
    // The standard library's shortest round-trip digits, in scientific form:
    // "[-]d[.ddd]e[+-]xx"; only the layout around them is ours.
    char buf[40];
    auto r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
    const char* p = buf;
    const bool negative = *p == '-';
    if (negative) ++p;
    char digits[24];
    int n = 0;
    for (; *p != 'e'; ++p) {
        if (*p != '.') digits[n++] = *p;
    }
    ++p;  // 'e'
    int e = 0;
    std::from_chars(*p == '+' ? p + 1 : p, r.ptr, e);
    while (n > 1 && digits[n - 1] == '0') --n;
    layout_double(negative, digits, n, e, out);
}

void write_value(const Value& v, std::string& out) {
    switch (v.kind()) {
        case Value::Kind::Null: out.append("null"); return;
        case Value::Kind::Bool: out.append(v.as_bool() ? "true" : "false"); return;
        case Value::Kind::Uint: write_integer(v.as_uint(), out); return;
        case Value::Kind::Int: write_integer(v.as_int(), out); return;
        case Value::Kind::Double: write_double(v.as_double(), out); return;
        case Value::Kind::String: write_string(v.as_string(), out); return;
        case Value::Kind::Array: {
            out.push_back('[');
            bool first = true;
            for (const Value& item : v.elements()) {
                if (!first) out.push_back(',');
                first = false;
                write_value(item, out);
            }
            out.push_back(']');
            return;
        }
        case Value::Kind::Object: {
            out.push_back('{');
            bool first = true;
            for (const Member& m : v.members()) {
                if (!first) out.push_back(',');
                first = false;
                write_string(m.key, out);
                out.push_back(':');
                write_value(m.value, out);
            }
            out.push_back('}');
            return;
        }
    }
}

}  // namespace

void write_compact(const Value& v, std::string& out) { write_value(v, out); }

std::string write_compact(const Value& v) {
    std::string out;
    write_value(v, out);
    return out;
}

}  // namespace orvan::json
