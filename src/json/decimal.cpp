// Decimal to double, correctly rounded, for the common case of at most 19
// significant digits: w x 10^q from one or two 64x64-bit products with a
// 128-bit approximation of 5^q (the Eisel-Lemire method). The approximation
// decides the rounding for all but a sliver of inputs; those are reported
// as undecided and the caller falls back to std::from_chars.
#include <bit>
#include <cstdint>

#include "json/internal.hpp"

namespace orvan::json {
namespace {

struct Pow5 {
    std::uint64_t high, low;
};

constexpr Pow5 kPowersOfFive[] = {
#include "json/pow5_table.inc"
};
constexpr int kSmallestPower = -342;
constexpr int kLargestPower = 308;
static_assert(std::size(kPowersOfFive) == kLargestPower - kSmallestPower + 1);

constexpr int kMantissaBits = 52;
constexpr int kMinimumExponent = -1023;
constexpr int kInfinitePower = 0x7FF;

struct U128 {
    std::uint64_t high, low;
};

inline U128 multiply(std::uint64_t a, std::uint64_t b) {
    const unsigned __int128 r = static_cast<unsigned __int128>(a) * b;
    return {static_cast<std::uint64_t>(r >> 64), static_cast<std::uint64_t>(r)};
}

// floor(q * log2(10)) + 63, exact for |q| < 1500.
inline int binary_exponent(int q) {
    return (((152170 + 65536) * q) >> 16) + 63;
}

double from_bits(std::uint64_t sign, int power2, std::uint64_t mantissa) {
    return std::bit_cast<double>(sign | (static_cast<std::uint64_t>(power2) << kMantissaBits) |
                                 mantissa);
}

// The leading bits of w x 5^q (w normalised). 55 significant bits are needed
// (52 stored, the implicit one, a rounding bit and one to spare); the low
// half of the table entry refines them only when the bits below are all ones
// and a carry could reach them. False when even that cannot decide.
bool scaled_product(std::uint64_t w, long q, U128& product) {
    const Pow5& t = kPowersOfFive[q - kSmallestPower];
    product = multiply(w, t.high);
    constexpr std::uint64_t kPrecisionMask = ~std::uint64_t{0} >> (kMantissaBits + 3);
    if ((product.high & kPrecisionMask) != kPrecisionMask) return true;
    const U128 second = multiply(w, t.low);
    product.low += second.high;
    if (second.high > product.low) ++product.high;
    // Still all ones: the truncated table entry cannot decide, except where
    // 5^q is exact in 128 bits (or its reciprocal is exact enough).
    return !(product.low == ~std::uint64_t{0} && (q < -27 || q > 55));
}

// A result below the smallest normal exponent (power2 <= 0): the mantissa
// shifted into place and rounded, or a zero of the given sign.
double subnormal(std::uint64_t sign, std::uint64_t mantissa, int power2) {
    if (-power2 + 1 >= 64) return std::bit_cast<double>(sign);
    mantissa >>= -power2 + 1;
    mantissa += mantissa & 1;
    mantissa >>= 1;
    // Rounding up may carry into the smallest normal exponent.
    power2 = mantissa < (std::uint64_t{1} << kMantissaBits) ? 0 : 1;
    return from_bits(sign, power2, mantissa & ((std::uint64_t{1} << kMantissaBits) - 1));
}

// A normal result: rounds the 54-bit mantissa to 53 (ties to even where the
// value is exactly halfway), or reports an overflow.
DecimalResult normal(std::uint64_t sign, std::uint64_t mantissa, int power2, bool halfway,
                     double& out) {
    if (halfway) mantissa &= ~std::uint64_t{1};
    mantissa += mantissa & 1;
    mantissa >>= 1;
    if (mantissa >= (std::uint64_t{2} << kMantissaBits)) {
        mantissa = std::uint64_t{1} << kMantissaBits;
        ++power2;
    }
    mantissa &= ~(std::uint64_t{1} << kMantissaBits);
    if (power2 >= kInfinitePower) return DecimalResult::Overflow;
    out = from_bits(sign, power2, mantissa);
    return DecimalResult::Ok;
}

}  // namespace

DecimalResult decimal_to_double(std::uint64_t w, long q, bool negative, double& out) {
    const std::uint64_t sign = negative ? std::uint64_t{1} << 63 : 0;
    if (w == 0 || q < kSmallestPower) {  // below half the smallest subnormal
        out = std::bit_cast<double>(sign);
        return DecimalResult::Ok;
    }
    if (q > kLargestPower) return DecimalResult::Overflow;

    const int lz = std::countl_zero(w);
    U128 product;
    if (!scaled_product(w << lz, q, product)) return DecimalResult::Undecided;
    const int upper_bit = static_cast<int>(product.high >> 63);
    const int shift = upper_bit + 64 - kMantissaBits - 3;
    const std::uint64_t mantissa = product.high >> shift;
    const int power2 = binary_exponent(static_cast<int>(q)) + upper_bit - lz - kMinimumExponent;
    if (power2 <= 0) {
        out = subnormal(sign, mantissa, power2);
        return DecimalResult::Ok;
    }
    // Exactly halfway between two doubles is possible only for small q.
    const bool halfway = product.low <= 1 && q >= -4 && q <= 23 && (mantissa & 3) == 1 &&
                         (mantissa << shift) == product.high;
    return normal(sign, mantissa, power2, halfway, out);
}

}  // namespace orvan::json
