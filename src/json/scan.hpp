// Byte-level scanning shared by the parser and the writer: whitespace, plain
// string runs, UTF-8 validation and small conversions. SSE2 (part of every
// x86-64) handles 16 bytes at a time; other targets use the scalar loops.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace orvan::json::scan {

inline bool is_whitespace(unsigned char c) {
    return c == ' ' || c == '\n' || c == '\r' || c == '\t';
}

// First byte at or after p that is not JSON whitespace (or end).
inline const char* skip_whitespace(const char* p, const char* end) {
    // Most gaps are empty or one byte; long ones are indentation.
    if (p == end || static_cast<unsigned char>(*p) > ' ') return p;
#if defined(__SSE2__)
    while (end - p >= 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i ws = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8(' ')),
                                                     _mm_cmpeq_epi8(x, _mm_set1_epi8('\n'))),
                                        _mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('\r')),
                                                     _mm_cmpeq_epi8(x, _mm_set1_epi8('\t'))));
        const unsigned other = ~static_cast<unsigned>(_mm_movemask_epi8(ws)) & 0xFFFF;
        if (other != 0) return p + __builtin_ctz(other);
        p += 16;
    }
#endif
    while (p < end && is_whitespace(static_cast<unsigned char>(*p))) ++p;
    return p;
}

// Bytes that end a plain run inside a string being parsed: quote, backslash,
// controls, and non-ASCII (which must be validated).
inline bool stops_string(unsigned char c) {
    return c == '"' || c == '\\' || c < 0x20 || c >= 0x80;
}

inline const char* string_run(const char* p, const char* end) {
#if defined(__SSE2__)
    while (end - p >= 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        // Signed compare: bytes from 0x80 up are negative, so below 0x20 too.
        const __m128i stop = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('"')),
                                                       _mm_cmpeq_epi8(x, _mm_set1_epi8('\\'))),
                                          _mm_cmplt_epi8(x, _mm_set1_epi8(0x20)));
        const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(stop));
        if (mask != 0) return p + __builtin_ctz(mask);
        p += 16;
    }
#endif
    while (p < end && !stops_string(static_cast<unsigned char>(*p))) ++p;
    return p;
}

// Bytes the writer must escape: quote, backslash and controls.
inline bool needs_escape(unsigned char c) {
    return c == '"' || c == '\\' || c < 0x20;
}

// Copies the bytes at `from` to `to` up to the first byte that must be
// escaped, the end (`left` bytes away) or 16 bytes, whichever comes first,
// and returns how many it copied. Reads and writes 16 bytes whatever `left`
// is: both sides need that much room.
inline std::size_t copy_plain(char* to, const char* from, std::size_t left) {
#if defined(__SSE2__)
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to), x);
    const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(x, _mm_set1_epi8(0x1F)), x);
    const __m128i stop = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('"')), _mm_cmpeq_epi8(x, _mm_set1_epi8('\\'))),
        control);
    unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(stop));
    if (left < 16) mask |= 1u << left;
    return mask == 0 ? 16 : static_cast<std::size_t>(__builtin_ctz(mask));
#else
    std::memcpy(to, from, 16);
    const std::size_t limit = left < 16 ? left : 16;
    std::size_t n = 0;
    while (n < limit && !needs_escape(static_cast<unsigned char>(from[n]))) ++n;
    return n;
#endif
}

// Length of the well-formed UTF-8 sequence at p (no surrogates, no overlongs,
// nothing above U+10FFFF), or -(1 + index of the first bad byte); that index
// may be end - p when the text stops inside the sequence.
inline int utf8_sequence(const unsigned char* p, const unsigned char* end) {
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
    if (end - p < len) {
        for (int i = 1; p + i < end; ++i) {
            if (p[i] < (i == 1 ? lo : 0x80) || p[i] > (i == 1 ? hi : 0xBF)) return -(1 + i);
        }
        return -(1 + static_cast<int>(end - p));
    }
    if (p[1] < lo || p[1] > hi) return -2;
    for (int i = 2; i < len; ++i) {
        if ((p[i] & 0xC0) != 0x80) return -(1 + i);
    }
    return len;
}

// Validates the run of non-ASCII sequences starting at p (*p >= 0x80) and
// returns where it ends. On a bad sequence sets `bad` to its first bad byte
// (the last byte of the text if the text ends inside it).
inline const char* utf8_run(const char* p, const char* end, const char*& bad) {
    auto* u = reinterpret_cast<const unsigned char*>(p);
    auto* e = reinterpret_cast<const unsigned char*>(end);
    do {
        const int len = utf8_sequence(u, e);
        if (len < 0) {
            const auto* at = u + (-len - 1);
            bad = reinterpret_cast<const char*>(at < e ? at : e - 1);
            return reinterpret_cast<const char*>(u);
        }
        u += len;
    } while (u < e && *u >= 0x80);
    return reinterpret_cast<const char*>(u);
}

// The four hex digits at p (either case) as a number, or -1.
inline int hex4(const char* p) {
    int value = 0;
    for (int i = 0; i < 4; ++i) {
        const char c = p[i];
        int h;
        if (c >= '0' && c <= '9') {
            h = c - '0';
        } else if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f') {
            h = (c | 0x20) - 'a' + 10;
        } else {
            return -1;
        }
        value = value << 4 | h;
    }
    return value;
}

// Writes code point cp (not a surrogate, at most U+10FFFF); returns the length.
inline std::size_t encode_utf8(std::uint32_t cp, char* out) {
    if (cp < 0x80) {
        out[0] = static_cast<char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<char>(0xC0 | (cp >> 6));
        out[1] = static_cast<char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (cp >> 12));
        out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (cp >> 18));
    out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (cp & 0x3F));
    return 4;
}

// The word loads below read memory in the machine's byte order and swap
// where that order is not the one they promise.
static_assert(std::endian::native == std::endian::little || std::endian::native == std::endian::big,
              "mixed-endian targets are not supported");

// Digits eight at a time: the bytes at p as an integer whose lowest byte is
// the first character, whatever the machine's byte order.
inline std::uint64_t load8(const char* p) {
    std::uint64_t chunk;
    std::memcpy(&chunk, p, 8);
    if constexpr (std::endian::native == std::endian::big) chunk = __builtin_bswap64(chunk);
    return chunk;
}

// The bytes at p as an integer whose highest byte is the first one, so that
// comparing two such integers compares the bytes in order.
inline std::uint64_t load8_ordered(const char* p) {
    std::uint64_t chunk;
    std::memcpy(&chunk, p, 8);
    if constexpr (std::endian::native == std::endian::little) chunk = __builtin_bswap64(chunk);
    return chunk;
}

// How many of the eight bytes in `chunk` (first byte lowest) are ASCII
// digits before the first byte that is not. Carries in the test only run
// upward, so bytes after the first non-digit cannot disturb the count.
inline int leading_digits(std::uint64_t chunk) {
    const std::uint64_t t = ((chunk & 0xF0F0F0F0F0F0F0F0) |
                             (((chunk + 0x0606060606060606) & 0xF0F0F0F0F0F0F0F0) >> 4)) ^
                            0x3333333333333333;
    return t == 0 ? 8 : __builtin_ctzll(t) >> 3;
}

// The value of the first k (1..8, never 0) digits of `chunk`: moved to the top and
// padded with leading '0's, then combined pairwise with a few multiplies.
inline std::uint32_t parse_digits(std::uint64_t chunk, int k) {
    if (k < 8) chunk = (chunk << (8 * (8 - k))) | (0x3030303030303030 >> (8 * k));
    chunk -= 0x3030303030303030;
    chunk = chunk * 10 + (chunk >> 8);
    chunk = (((chunk & 0x000000FF000000FF) * 0x000F424000000064) +
             (((chunk >> 16) & 0x000000FF000000FF) * 0x0000271000000001)) >>
            32;
    return static_cast<std::uint32_t>(chunk);
}

inline constexpr std::uint64_t kPowersOfTenInt[9] = {1,      10,      100,      1000,     10000,
                                                     100000, 1000000, 10000000, 100000000};

// 10^0 .. 10^22: every one exactly representable as a double.
inline constexpr double kExactPowersOfTen[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                                 1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                                 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

}  // namespace orvan::json::scan
